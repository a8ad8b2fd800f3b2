// ForumSet: the sysop settings -- one record of the root database (position
// 4, "sysop-settings", unique identifier 250000003) read through one getter
// per setting and changed through one setter per setting, and the settings
// file "quil.set" that holds the few switches wanted before the database
// is open.
//
// Flag settings live in the three words Flags, Flags2 and Flags3 of the
// record.  The root keeps a copy of each word, read once when the root
// opens; an absent word reads as its default (0x80120105, 0x30000800, 0).
// An inverted flag answers true while its bit is clear.  Integer settings
// read as their default while the field is absent; text settings read as
// nil.  Every setter writes the record, the cached copy, and marks the root
// changed (so the next periodic save takes it along).
//
// Threads: every call runs under the run lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "St.h"

namespace quil {

struct ForumRootRec;
using ForumRoot = ForumRootRec*;

constexpr int32_t kForumFlagsDefault = int32_t(0x80120105u);
constexpr int32_t kForumFlags2Default = int32_t(0x30000800u);
constexpr int32_t kForumFlags3Default = 0;
constexpr int32_t kForumWhileLimitDefault = 1000;

// X(getter suffix, word 1-3, bit, inverted)
#define FORUM_SYSOP_FLAGS(X)                         \
  X(AllowGuests, 1, 0x1u, false)                     \
  X(AllowAutoRegister, 1, 0x4u, false)               \
  X(LogFile, 1, 0x10u, false)                        \
  X(LogErrAndExit, 1, 0x20u, false)                  \
  X(LogRequest, 1, 0x40u, false)                     \
  X(LogPost, 1, 0x80u, false)                        \
  X(ServePictures, 1, 0x100u, false)                 \
  X(TopicShowSysop, 1, 0x200u, false)                \
  X(ConvShowSysop, 1, 0x400u, false)                 \
  X(TopicShowAuthor, 1, 0x800u, false)               \
  X(ConvShowAuthor, 1, 0x1000u, false)               \
  X(HideTimeDate, 1, 0x2000u, false)                 \
  X(ShowPrepared, 1, 0x4000u, false)                 \
  X(ServeUserInfoPictures, 1, 0x20000u, false)       \
  X(ShowDeletedMsg, 1, 0x40000u, true)               \
  X(SearchEnabled, 1, 0x80000u, false)               \
  X(TopSearchEnabled, 1, 0x100000u, false)           \
  X(LoginOnce, 1, 0x200000u, false)                  \
  X(UseTemplates, 1, 0x400000u, false)               \
  X(PwCaseSensitive, 1, 0x800000u, true)             \
  X(RollForwardLog, 1, 0x2000000u, true)             \
  X(UseCookies, 1, 0x10000000u, false)               \
  X(IsNameServer, 1, 0x20000000u, false)             \
  X(IsNameServerClient, 1, 0x40000000u, false)       \
  X(EmailValidate, 2, 0x8u, false)                   \
  X(ProvisionalIsReadOnly, 2, 0x10u, false)          \
  X(ProvisionalIsModerated, 2, 0x20u, false)         \
  X(ShowTimes, 2, 0x40u, false)                      \
  X(UseEmailScript, 2, 0x80u, false)                 \
  X(LiveFanoutCanRecord, 2, 0x100u, false)           \
  X(SessRecord, 2, 0x200u, false)                    \
  X(SessRecordData, 2, 0x400u, false)                \
  X(ForumOneSearch, 2, 0x800u, false)                \
  X(LogSynch, 2, 0x1000u, false)                     \
  X(SaveSlaveSynch, 2, 0x2000u, false)               \
  X(TrackUserPosts, 2, 0x4000u, false)               \
  X(CheckRemoteAddr, 2, 0x20000u, true)              \
  X(DefaultNewUsersCookie, 2, 0x40000u, true)        \
  X(DefaultOldUsersCookie, 2, 0x80000u, true)        \
  X(HostIsTemplate, 2, 0x100000u, false)             \
  X(SecureServer, 2, 0x200000u, false)               \
  X(ShowGetInfoTop, 2, 0x400000u, false)             \
  X(ShowGetInfo, 2, 0x800000u, false)                \
  X(CommonLogCombined, 2, 0x2000000u, false)         \
  X(HostQuickEdit, 2, 0x4000000u, true)              \
  X(UserDefaultThreading, 2, 0x8000000u, false)      \
  X(UserDefaultReplyTo, 2, 0x10000000u, false)       \
  X(UserDefaultSummaryButton, 2, 0x20000000u, false) \
  X(NntpReceiveEnclosures, 2, 0x80000000u, false)    \
  X(NntpSendEnclosures, 3, 0x1u, false)              \
  X(HttpUploads, 3, 0x2u, false)                     \
  X(HttpDownloads, 3, 0x4u, false)                   \
  X(LogAuthentication, 3, 0x10u, false)              \
  X(UserIsText, 3, 0x20u, false)                     \
  X(VirtualForums, 3, 0x40u, false)                  \
  X(Pop3RequireApop, 3, 0x400u, false)               \
  X(ObjectionablePhone, 3, 0x8u, false)              \
  X(IsLiveControl, 3, 0x80u, false)                  \
  X(IsLiveFanout, 3, 0x100u, false)                  \
  X(UseLiveControl, 3, 0x200u, false)

// ObjectionablePhone: telephone numbers in a post send it to the
// moderation queue like objectionable words (StObjectionable's phone rule);
// off by default, the bit chosen among those no other flag uses.
//
// The chat roles this server plays (the chat service reads them when it
// starts): IsLiveControl, the control room; IsLiveFanout, a fan-out
// server; UseLiveControl, a conference server that uses a control room.
// All off by default, their bits chosen among those no other flag uses.
// The chat ports (LiveQuilPort ...) read 0 until the sysop sets one: the
// chat service then picks its own.
// The LDAP ports (the directory this server asks, LdapPort, and the one it
// serves, LdapServerPort) read 389, the port of LDAP, until set.
//
// What a site holds (ForumSysopSiteKind, field SiteKind): a full site; a
// site of folders only, whose folders hold folders, links and container
// items of the chat service but no discussions or chat rooms; a site of
// chat only.  On both of the last two every granted rights mask loses bits
// 0x180 (ForumAccRestrict), and a folders-only site refuses to create
// anything but folders, links and container items (2303).  The sysop
// chooses the kind; it is kept with the other settings, so that it
// survives restarts and travels with exports.
constexpr int32_t kForumSiteFull = 0;
constexpr int32_t kForumSiteFoldersOnly = 1;
constexpr int32_t kForumSiteChatOnly = 2;

// X(getter suffix, field name, default).  The memory settings (Mem...) are
// read by the memory probe pass of start-up.
#define FORUM_SYSOP_INTS(X)                                 \
  X(LogoutTimeout, LogoutTimeout, 3600)                     \
  X(TopicMax, TopicMaxData, 15000)                          \
  X(UserPictWidth, UserPictureWidth, 48)                    \
  X(UserPictHeight, UserPictureHeight, 72)                  \
  X(CatForumSeq, CatForumSeq, 2)                            \
  X(MaxCols, MaxCols, 70)                                   \
  X(BackupCount, BackupCount, 2)                            \
  X(NameServerPort, NamePort, 1432)                         \
  X(TitleMax, TitleMax, 256)                                \
  X(FolderHeadingMax, FolderHeadingMax, 4000)               \
  X(DiscussionHeadingMax, DiscussionHeadingMax, 4000)       \
  X(MessageMax, MessageMax, 4000)                           \
  X(EmailStorage, EmailStorage, 0)                          \
  X(EmailMessages, EmailMessages, 0)                        \
  X(MaxDnsEntries, MaxDnsEntries, -1)                       \
  X(SmtpMaxMessage, SmtpMaxMessage, 204800)                 \
  X(ImapMaxMessage, ImapMaxMessage, 204800)                 \
  X(SmtpAfterLogin, SmtpAfterLogin, 10)                     \
  X(MirrorThreads, MirrorThreads, 10)                       \
  X(FanoutClientsMax, FanoutClientMax, 200)                 \
  X(FanoutAudioMax, FanoutAudioMax, 0)                      \
  X(FanoutmTropMax, FanoutmTropMax, 0)                      \
  X(LiveFanoutSocks, LiveFanoutSocks, 0)                    \
  X(LiveFanoutSocksPort, LiveFanoutSocksPort, 1080)         \
  X(WebMaxListens, WebMaxListens, 64)                       \
  X(GuestNewHours, GuestNewHours, 168)                      \
  X(NntpMaxSessions, NntpMaxSessions, 10)                   \
  X(EmailSessions, EmailSessions, 12)                       \
  X(Pop3MaxSessions, Pop3MaxSessions, 12)                   \
  X(ImapMaxSessions, ImapMaxSessions, 12)                   \
  X(SmtpMaxSessions, SmtpMaxSessions, 12)                   \
  X(Pop3Timeout, Pop3Timeout, 10)                           \
  X(SmtpTimeout, SmtpTimeout, 10)                           \
  X(NntpTimeout, NntpTimeout, 10)                           \
  X(ZirevuzTimeout, ZirevuzTimeout, 10)                     \
  X(ImapTimeout, ImapTimeout, 30)                           \
  X(LdapServerTimeout, LdapServerTimeout, 30)               \
  X(LdapServerMaxSessions, LdapServerMaxSessions, 6)        \
  X(DefaultPictRev, PictureRev, 0)                          \
  X(DbVersion, DbVersion, 0)                                \
  X(SiteKind, SiteKind, kForumSiteFull)                     \
  X(WhileLimit, WhileLimit, kForumWhileLimitDefault)        \
  X(MemUserSpecified, MemUserSpecified, 0)                  \
  X(MemSmallObjHeap, MemSmallObjHeap, 460000)               \
  X(MemChPages, MemChPages, 50)                             \
  X(LiveQuilPort, LiveQuilPort, 0)                          \
  X(LiveFanoutPort, LiveFanoutPort, 0)                      \
  X(LiveFaninPort, LiveFaninPort, 0)                        \
  X(LiveClientPort, LiveClientPort, 0)                      \
  X(LdapPort, LdapPort, 389)                                \
  X(LdapServerPort, LdapServerPort, 389)

// X(name): getter ForumSysop<name>, field <name>.
#define FORUM_SYSOP_TEXTS(X)                                              \
  X(HtmlBanner) X(HtmlFooter) X(HtmlTopLevel) X(HtmlLogin) X(HtmlPassword) \
  X(HtmlRegister) X(HtmlRegisterComplete) X(HtmlGuestLogin)               \
  X(HtmlCategory) X(HtmlTopic) X(EditHelp) X(PostHelp) X(UnknownUserHelp) \
  X(Objectionable) X(Greeting) X(ServerName) X(HtmlTitle) X(HtmlBodyPre)  \
  X(HtmlBodyItem) X(HtmlBodyPost) X(HtmlBodyEmpty) X(HtmlDiscussPre)      \
  X(HtmlDiscussPost) X(MessagePre) X(Message) X(MessageBetween)           \
  X(MessagePost) X(ToolbarPre) X(ToolbarNL) X(ToolbarPost) X(PictSizes)   \
  X(Recent) X(TimeFormat) X(ResponseDate) X(BackgroundPattern)            \
  X(ImagesDir) X(HelpDir) X(AltScript) X(MimeType) X(DefaultCmd)          \
  X(UrlPreQuery) X(CookieDomain) X(EmailAddress) X(Site) X(HostAlias)     \
  X(EmailDomains) X(SmtpRouting) X(SmtpAllowDeny) X(RelayAllowDeny)       \
  X(Pop3AllowDeny) X(ImapAllowDeny) X(LdapAllowDeny) X(DbAccessAllowDeny) \
  X(LogEmailFile) X(UrlBase)                                              \
  X(BackupPeriod) X(BackupTime) X(BackupLastDate)                        \
  X(LiveCtrlIp) X(LiveQuilIps) X(LiveFanoutIps) X(LiveFanoutJava)         \
  X(LiveFanoutName) X(LiveFanoutSocksIp) X(LiveFanoutSocksUsername)       \
  X(LiveFanoutSocksPassword)                                              \
  X(Master) X(SlaveList) X(NameServer) X(NameClientList)                  \
  X(FolderMirrorList) X(LdapIp) X(LdapPasswd) X(LdapDN) X(LdapServerDN)

#define FORUM_SYSOP_FLAG_DECL(name, word, bit, inverted) \
  bool ForumSysop##name(ForumRoot root);                 \
  void ForumSysopSet##name(ForumRoot root, bool on);
FORUM_SYSOP_FLAGS(FORUM_SYSOP_FLAG_DECL)
#undef FORUM_SYSOP_FLAG_DECL

#define FORUM_SYSOP_INT_DECL(name, field, dflt) \
  int32_t ForumSysop##name(ForumRoot root);     \
  void ForumSysopSet##name(ForumRoot root, int32_t value);
FORUM_SYSOP_INTS(FORUM_SYSOP_INT_DECL)
#undef FORUM_SYSOP_INT_DECL

// Text settings: nil when absent.  A nil value removes the field.
#define FORUM_SYSOP_TEXT_DECL(name)    \
  St ForumSysop##name(ForumRoot root); \
  void ForumSysopSet##name(ForumRoot root, St value);
FORUM_SYSOP_TEXTS(FORUM_SYSOP_TEXT_DECL)
#undef FORUM_SYSOP_TEXT_DECL

// The three flag words as cached (defaults for absent fields) and their
// setters (record and cache).
int32_t ForumSysopFlagsWord(ForumRoot root, int word);
void ForumSysopSetFlagsWord(ForumRoot root, int word, int32_t value);
// Re-reads the cached copies from the record (after the record was changed
// behind the accessors, for example by removing a field).
void ForumSysopCacheLoad(ForumRoot root);

// The factory settings of a new database.
void SetSysopToFactory(ForumRoot root);

// One row of the settings list printed by tools: name and value as text
// ("(none)" for an absent text), flags first, then integers, then texts.
struct ForumSysopRow {
  std::string name;
  std::string value;
};
std::vector<ForumSysopRow> ForumSysopListAll(ForumRoot root);

// ---------------------------------------------------------------------------
// The settings file "quil.set".
//
// One setting per line: keyword "=" value; keyword and value lose their
// outer blanks, keywords are matched ignoring case.  A line holding only
// blanks is skipped; any other line without "=" is a keyword without a
// value, and as no keyword of the list it is refused like any unknown
// keyword.  Switches and counts are decimal integers; the addresses,
// directories and names are texts.

constexpr char kForumSettingsFile[] = "quil.set";

struct ForumQuilSettings {
  // Values by keyword index (kForumSetKeywords order); nil when not given.
  std::vector<St> values;
  ForumQuilSettings();
  // The value of a keyword (exact spelling of the list); nil when absent.
  St Get(const char* keyword) const;
  // A numeric setting; dflt when absent.
  int32_t GetInt(const char* keyword, int32_t dflt) const;
  void Set(const char* keyword, St value);
};

// The keywords in file order.
extern const char* const kForumSetKeywords[];
extern const int kForumSetKeywordCount;
// True for the keywords whose value is a text.
bool ForumSetKeywordIsText(int index);

// Parses the text of a settings file.  Errors halt (MaHalt): "Unknown
// keyword in settings file: " + keyword (for a line without "=", the
// whole line without its outer blanks); "Bad " + keyword + " value in
// settings file" for a numeric keyword whose value is not a decimal
// integer.
ForumQuilSettings ForumQuilSettingsParse(const St& text);
// The text of a settings file: one "keyword=value" line per given setting,
// in keyword order.
St ForumQuilSettingsText(const ForumQuilSettings& settings);
// Reads path (the working directory's "quil.set" by default).  A missing
// file gives empty settings; a read failure is a consistency failure
// ("Error reading settings file").
ForumQuilSettings ForumRootQuilSettingsLoad(const std::string& path = kForumSettingsFile);
// The settings file read at start-up (ForumDbOpen).
extern ForumQuilSettings wfQuilSettings;
// Writes the settings back; returns 0 or the file-layer status.
[[nodiscard]] uint16_t ForumRootQuilSettingsSave(const ForumQuilSettings& settings,
                                                 const std::string& path = kForumSettingsFile);

}  // namespace quil
