// The sysop's settings forms: which setting each form holds, the ranges
// its numbers must keep, and the show and process handlers shared by all
// of them.
//
// Decisions:
//   - The settings of services that arrive later (mirror servers, news,
//     e-mail, LDAP, chat, memory) are stored and shown here now; each
//     service reads them when it starts (SEAM: the chat service reads the
//     roles, addresses and ports of 208/209 and the limits of 197/198).
//   - After every stored form the site's cached sysop-setting templates are
//     renewed (ForumTemplateChange), since most forms hold some of them.
//   - The backup form also starts a backup or a repack ("backupNow",
//     "repack"), which answers with DoBackup's report.
#include <iterator>

#include "CgiSysopInt.h"
#include "ForumUser.h"
#include "FrmBk.h"
#include "Template.h"

namespace quil {

namespace {

#define FLAG(name, label, setting)                                                       \
  SysopField {                                                                           \
    name, label, SysopFieldKind::kFlag, ForumSysop##setting, FrmBkSysopSet##setting,     \
        nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr                                \
  }
#define INT(name, label, setting, lo, hi)                                                \
  SysopField {                                                                           \
    name, label, SysopFieldKind::kInt, nullptr, nullptr, ForumSysop##setting,            \
        FrmBkSysopSet##setting, nullptr, nullptr, lo, hi, nullptr                        \
  }
#define LINE(name, label, setting, check)                                                \
  SysopField {                                                                           \
    name, label, SysopFieldKind::kLine, nullptr, nullptr, nullptr, nullptr,              \
        ForumSysop##setting, FrmBkSysopSet##setting, 0, 0, check                         \
  }
#define TEXT(name, label, setting)                                                       \
  SysopField {                                                                           \
    name, label, SysopFieldKind::kText, nullptr, nullptr, nullptr, nullptr,              \
        ForumSysop##setting, FrmBkSysopSet##setting, 0, 0, nullptr                       \
  }

constexpr int32_t kMaxInt = 2147483647;

bool CheckEmail(const St& value, std::string* why) {
  std::string_view v = value.View();
  size_t at = v.find('@');
  if (at == 0 || at == std::string_view::npos || at + 1 == v.size() ||
      v.find_first_of(" \t<>\"") != std::string_view::npos) {
    *why = "must be an e-mail address (name@host).";
    return false;
  }
  return true;
}

// "H:MM" or "HH:MM", a time of day.
bool CheckTimeOfDay(const St& value, std::string* why) {
  std::string_view v = value.View();
  size_t colon = v.find(':');
  bool ok = (colon == 1 || colon == 2) && v.size() == colon + 3;
  int h = 0, m = 0;
  for (size_t i = 0; ok && i < v.size(); ++i) {
    if (i == colon) continue;
    if (v[i] < '0' || v[i] > '9') ok = false;
    else if (i < colon) h = h * 10 + (v[i] - '0');
    else m = m * 10 + (v[i] - '0');
  }
  if (!ok || h > 23 || m > 59) {
    *why = "must be a time of day as H:MM (for example 3:00).";
    return false;
  }
  return true;
}

// Days between backups: a whole number of 0 or more.
bool CheckDays(const St& value, std::string* why) {
  std::string_view v = value.View();
  bool ok = !v.empty() && v.size() <= 5;
  for (char c : v)
    if (c < '0' || c > '9') ok = false;
  if (!ok) *why = "must be a number of days (0 for none).";
  return ok;
}

// A path or URL prefix: no blanks, quotes or angle brackets.
bool CheckPath(const St& value, std::string* why) {
  if (value.View().find_first_of(" \t\r\n<>\"") != std::string_view::npos) {
    *why = "must not contain blanks, quotes or angle brackets.";
    return false;
  }
  return true;
}

// Host names or addresses (with an optional ":port"), separated by blanks
// or commas.
bool CheckAddresses(const St& value, std::string* why) {
  for (char c : value.View()) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == ':' || c == '-' || c == '_' || c == ',' || c == ' ' || c == '[' ||
              c == ']';
    if (!ok) {
      *why = "must be host names or addresses separated by blanks or commas.";
      return false;
    }
  }
  return true;
}

const SysopField kGuestFields[] = {
    FLAG("allowGuests", "Guests may visit the site", AllowGuests),
    FLAG("loginOnce", "Everybody must log in (or enter as a guest) before anything else",
         LoginOnce),
    INT("guestNewHours", "Items younger than this many hours are new to guests", GuestNewHours,
        1, 87600),
    TEXT("guestLogin", "Guest log-in text", HtmlGuestLogin),
    TEXT("unknownUserHelp", "Help for guests who post", UnknownUserHelp),
};

const SysopField kRegUserFields[] = {
    FLAG("allowAutoRegister", "Visitors may register themselves", AllowAutoRegister),
    FLAG("emailValidate", "New users must confirm their e-mail address", EmailValidate),
    FLAG("provisionalIsReadOnly", "Unconfirmed users may only read", ProvisionalIsReadOnly),
    FLAG("provisionalIsModerated", "Posts of unconfirmed users are moderated",
         ProvisionalIsModerated),
    FLAG("pwCaseSensitive", "Passwords are case-sensitive", PwCaseSensitive),
    FLAG("checkRemoteAddr", "A session is bound to the address it began from", CheckRemoteAddr),
    FLAG("useCookies", "Remember users with a cookie", UseCookies),
    FLAG("defaultNewUsersCookie", "New users get the cookie", DefaultNewUsersCookie),
    FLAG("defaultOldUsersCookie", "Users who never chose get the cookie", DefaultOldUsersCookie),
    LINE("cookieDomain", "Cookie domain", CookieDomain, CheckPath),
    INT("logoutTime", "Idle seconds before a session ends", LogoutTimeout, 60, 31536000),
    INT("maxData", "Largest post of a user (bytes)", TopicMax, 100, 100000000),
    FLAG("userDefaultThreading", "New users see discussions threaded", UserDefaultThreading),
    FLAG("userDefaultReplyTo", "New users see what a message replies to", UserDefaultReplyTo),
    FLAG("userDefaultSummaryButton", "New users see the summary button",
         UserDefaultSummaryButton),
    TEXT("login", "Log-in heading", HtmlLogin),
    TEXT("passwordHtml", "Password-form heading", HtmlPassword),
    TEXT("register", "Registration heading", HtmlRegister),
    TEXT("registered", "Registration-complete text", HtmlRegisterComplete),
};

const SysopField kGeneralFields[] = {
    LINE("title", "Title of the site", HtmlTitle, nullptr),
    LINE("serverName", "Name of the server", ServerName, nullptr),
    LINE("site", "Name of the site", Site, nullptr),
    LINE("email", "The sysop's e-mail address", EmailAddress, CheckEmail),
    LINE("imagesDir", "Images directory (URL path)", ImagesDir, CheckPath),
    LINE("helpDir", "Help directory (URL path)", HelpDir, CheckPath),
    LINE("defaultCmd", "Request shown for the bare script address", DefaultCmd, CheckPath),
    LINE("timeFormat", "Time format", TimeFormat, nullptr),
    LINE("responseDate", "Date format of messages", ResponseDate, nullptr),
    INT("siteKind", "Kind of site (0 full, 1 folders only, 2 chat only)", SiteKind, 0, 2),
    INT("titleMax", "Longest title (characters)", TitleMax, 16, 100000),
    INT("folderHeadingMax", "Longest folder heading", FolderHeadingMax, 0, 10000000),
    INT("discussionHeadingMax", "Longest discussion heading", DiscussionHeadingMax, 0, 10000000),
    INT("messageMax", "Longest message", MessageMax, 0, 100000000),
    INT("maxCols", "Columns of a message editor", MaxCols, 10, 1000),
    FLAG("userIsText", "Posts are text only (HTML tags are removed)", UserIsText),
    FLAG("searchEnabled", "Search in folders", SearchEnabled),
    FLAG("topSearchEnabled", "Search at the top level", TopSearchEnabled),
    FLAG("forumOneSearch", "Search within one discussion", ForumOneSearch),
    FLAG("showDeletedMsg", "Show that a message was deleted", ShowDeletedMsg),
    FLAG("hideTimeDate", "Hide times and dates", HideTimeDate),
    TEXT("objectionable", "Objectionable words (posts holding them are moderated)",
         Objectionable),
    FLAG("objectionablePhone", "Telephone numbers count as objectionable", ObjectionablePhone),
};

const SysopField kButtonFields[] = {
    TEXT("pictSizes", "Button pictures and their sizes", PictSizes),
};

const SysopField kTopFields[] = {
    TEXT("topLevelHtml", "Top-level heading", HtmlTopLevel),
    TEXT("banner", "Banner", HtmlBanner),
    TEXT("footer", "Footer", HtmlFooter),
    LINE("background", "Background", BackgroundPattern, nullptr),
    TEXT("greeting", "Greeting", Greeting),
    TEXT("recent", "Recent items", Recent),
};

const SysopField kFolderFields[] = {
    TEXT("defaultFolder", "Default folder heading", HtmlCategory),
    TEXT("folderBodyPre", "Before the list of items", HtmlBodyPre),
    TEXT("folderBodyItem", "One item of the list", HtmlBodyItem),
    TEXT("folderBodyPost", "After the list of items", HtmlBodyPost),
    TEXT("folderBodyEmpty", "An empty folder", HtmlBodyEmpty),
    FLAG("folderShowSysop", "Show the sysop as the author of folders", TopicShowSysop),
    FLAG("folderShowAuthor", "Show the author of folders", TopicShowAuthor),
    INT("catForumSeq", "Order of the items of a folder", CatForumSeq, 0, 15),
};

const SysopField kDiscussFields[] = {
    TEXT("defaultDiscuss", "Default discussion heading", HtmlTopic),
    TEXT("discussPre", "Before the discussion heading", HtmlDiscussPre),
    TEXT("discussPost", "After the discussion heading", HtmlDiscussPost),
    TEXT("messagePre", "Before the messages", MessagePre),
    TEXT("message", "One message", Message),
    TEXT("messageBetween", "Between two messages", MessageBetween),
    TEXT("messagePost", "After the messages", MessagePost),
    FLAG("discussShowSysop", "Show the sysop as the author of discussions", ConvShowSysop),
    FLAG("discussShowAuthor", "Show the author of discussions", ConvShowAuthor),
    FLAG("showPrepared", "Show text as prepared (fixed width)", ShowPrepared),
    TEXT("editHelp", "Help on the edit form", EditHelp),
    TEXT("postHelp", "Help on the post form", PostHelp),
};

const SysopField kToolbarFields[] = {
    TEXT("toolbarPre", "Before the toolbar", ToolbarPre),
    TEXT("toolbarNL", "Between the buttons", ToolbarNL),
    TEXT("toolbarPost", "After the toolbar", ToolbarPost),
};

const SysopField kPictureFields[] = {
    FLAG("servePictures", "Show pictures of users in messages", ServePictures),
    FLAG("serveUserInfoPictures", "Show pictures on user information pages",
         ServeUserInfoPictures),
    INT("userPictWidth", "Width of a user's picture (pixels)", UserPictWidth, 1, 2000),
    INT("userPictHeight", "Height of a user's picture (pixels)", UserPictHeight, 1, 2000),
};

const SysopField kOtherFields[] = {
    FLAG("logFile", "Write the log file", LogFile),
    FLAG("logRequest", "Log every request", LogRequest),
    FLAG("logPost", "Log posted forms", LogPost),
    FLAG("logAuthentication", "Log authentication", LogAuthentication),
    FLAG("showTimes", "Log request times", ShowTimes),
    FLAG("sessRecord", "Record TCP sessions", SessRecord),
    FLAG("sessRecordData", "Record TCP streams", SessRecordData),
    FLAG("commonLogCombined", "Common log in the combined format", CommonLogCombined),
    LINE("logEmailFile", "File of the mail log", LogEmailFile, CheckPath),
    INT("whileLimit", "Most passes of a template loop", WhileLimit, 1, 100000000),
    FLAG("showGetInfo", "Show the information button", ShowGetInfo),
    FLAG("showGetInfoTop", "Show the information button at the top level", ShowGetInfoTop),
    FLAG("hostQuickEdit", "Hosts edit in place", HostQuickEdit),
    FLAG("hostIsTemplate", "Hosts may write template text", HostIsTemplate),
    FLAG("virtualForums", "Virtual sites", VirtualForums),
};

const SysopField kHttpFields[] = {
    FLAG("secureServer", "Links use https", SecureServer),
    LINE("altScript", "Other script name of this server", AltScript, CheckPath),
    LINE("mimeType", "Content type of pages", MimeType, nullptr),
    LINE("urlBase", "Address of the site (when not the one the browser used)", UrlBase,
         CheckPath),
    INT("webMaxListens", "Connections waiting to be accepted", WebMaxListens, 1, 65535),
    INT("maxDnsEntries", "Host names kept (-1 no limit)", MaxDnsEntries, -1, kMaxInt),
    FLAG("httpUploads", "Files may be uploaded", HttpUploads),
    FLAG("httpDownloads", "Files may be downloaded", HttpDownloads),
};

const SysopField kBackupFields[] = {
    FLAG("rollForward", "Keep the roll-forward log", RollForwardLog),
    INT("backupCount", "Backups kept", BackupCount, 1, kFrmBkGenerations),
    LINE("backupPeriod", "Days between backups (0 for none)", BackupPeriod, CheckDays),
    LINE("backupTime", "Time of day of the backup (H:MM)", BackupTime, CheckTimeOfDay),
};

const SysopField kMirrorFields[] = {
    FLAG("isNameServer", "This server is the source of mirrors", IsNameServer),
    FLAG("isNameClient", "This server mirrors a source", IsNameServerClient),
    INT("namePort", "Port of the source", NameServerPort, 1, 65535),
    INT("mirrorThreads", "Mirror threads", MirrorThreads, 1, 1000),
    FLAG("saveSlaveSynch", "Keep the synchronisation records of mirrors", SaveSlaveSynch),
    FLAG("logSynch", "Log mirror synchronisation", LogSynch),
    LINE("nameServer", "Address of the source", NameServer, CheckAddresses),
    TEXT("nameClientList", "Mirrors of this source", NameClientList),
    LINE("master", "Address of the master", Master, CheckAddresses),
    TEXT("slaveList", "Slaves of this master", SlaveList),
    TEXT("folderMirrorList", "Folders mirrored", FolderMirrorList),
};

const SysopField kNntpFields[] = {
    INT("nntpMaxSessions", "News sessions at once", NntpMaxSessions, 0, 10000),
    INT("nntpTimeout", "Idle minutes before a news session ends", NntpTimeout, 1, 10000),
    FLAG("nntpReceiveEnclosures", "Take enclosures from news", NntpReceiveEnclosures),
    FLAG("nntpSendEnclosures", "Send enclosures to news", NntpSendEnclosures),
};

const SysopField kEmailFields[] = {
    TEXT("emailDomains", "Mail domains of this server", EmailDomains),
    TEXT("hostAlias", "Other names of this host", HostAlias),
    TEXT("smtpRouting", "SMTP routing", SmtpRouting),
    TEXT("smtpAllowDeny", "SMTP allow/deny list", SmtpAllowDeny),
    TEXT("relayAllowDeny", "Relay allow/deny list", RelayAllowDeny),
    TEXT("pop3AllowDeny", "POP3 allow/deny list", Pop3AllowDeny),
    TEXT("imapAllowDeny", "IMAP allow/deny list", ImapAllowDeny),
    INT("emailSessions", "Outgoing mail sessions", EmailSessions, 0, 10000),
    INT("pop3MaxSessions", "POP3 sessions", Pop3MaxSessions, 0, 10000),
    INT("imapMaxSessions", "IMAP sessions", ImapMaxSessions, 0, 10000),
    INT("smtpMaxSessions", "SMTP sessions", SmtpMaxSessions, 0, 10000),
    INT("pop3Timeout", "POP3 idle minutes", Pop3Timeout, 1, 10000),
    INT("smtpTimeout", "SMTP idle minutes", SmtpTimeout, 1, 10000),
    INT("imapTimeout", "IMAP idle minutes", ImapTimeout, 1, 10000),
    INT("smtpMaxMessage", "Largest SMTP message (bytes)", SmtpMaxMessage, 1024, kMaxInt),
    INT("imapMaxMessage", "Largest IMAP message (bytes)", ImapMaxMessage, 1024, kMaxInt),
    INT("smtpAfterLogin", "Minutes SMTP is allowed after a POP3 log-in", SmtpAfterLogin, 0,
        100000),
    INT("emailStorage", "Mailbox size of a user (bytes, 0 no limit)", EmailStorage, 0, kMaxInt),
    INT("emailMessages", "Messages in a mailbox (0 no limit)", EmailMessages, 0, kMaxInt),
    FLAG("pop3RequireApop", "POP3 requires APOP", Pop3RequireApop),
    FLAG("useEmailScript", "Mail runs through the site's script", UseEmailScript),
};

const SysopField kLdapFields[] = {
    INT("ldapServerMaxSessions", "LDAP sessions", LdapServerMaxSessions, 0, 10000),
    INT("ldapServerTimeout", "LDAP idle seconds", LdapServerTimeout, 1, 100000),
    TEXT("ldapAllowDeny", "LDAP allow/deny list", LdapAllowDeny),
    TEXT("dbAccessAllowDeny", "Database access allow/deny list", DbAccessAllowDeny),
    LINE("ldapIp", "Address of the LDAP directory this server asks", LdapIp, CheckAddresses),
    INT("ldapPort", "Port of that directory", LdapPort, 1, 65535),
    LINE("ldapDN", "Name this server binds as there (DN)", LdapDN, nullptr),
    LINE("ldapPasswd", "Password this server binds with there", LdapPasswd, nullptr),
    INT("ldapServerPort", "Port of this server's LDAP service", LdapServerPort, 1, 65535),
    LINE("ldapServerDN", "Base name of this server's directory (DN)", LdapServerDN, nullptr),
};

const SysopField kChatFields[] = {
    INT("fanoutClientsMax", "Chat clients of a fan-out server", FanoutClientsMax, 0, 1000000),
    INT("fanoutAudioMax", "Audio streams of a fan-out server", FanoutAudioMax, 0, 1000000),
    INT("fanoutmTropMax", "Media streams of a fan-out server", FanoutmTropMax, 0, 1000000),
    INT("liveFanoutSocks", "Chat through a SOCKS proxy (0 no, 1 yes)", LiveFanoutSocks, 0, 1),
    INT("liveFanoutSocksPort", "Port of the SOCKS proxy", LiveFanoutSocksPort, 1, 65535),
    FLAG("liveFanoutCanRecord", "Chat rooms may be recorded", LiveFanoutCanRecord),
};

// The chat roles of this server and where the parts of the chat service
// meet; a port of 0 leaves the choice to the chat service.
const SysopField kChatBasicFields[] = {
    FLAG("isLiveControl", "This server is the control room", IsLiveControl),
    FLAG("isLiveFanout", "This server is a fan-out server", IsLiveFanout),
    FLAG("useLiveControl", "This server uses a control room", UseLiveControl),
    LINE("liveCtrlIp", "Address of the control room", LiveCtrlIp, CheckAddresses),
    INT("liveQuilPort", "Port where the control room takes conference servers", LiveQuilPort, 0,
        65535),
    LINE("liveQuilIps", "Conference servers the control room accepts", LiveQuilIps,
         CheckAddresses),
    INT("liveFanoutPort", "Port where a fan-out server takes its control room", LiveFanoutPort,
        0, 65535),
    LINE("liveFanoutIps", "Fan-out servers the control room knows", LiveFanoutIps,
         CheckAddresses),
    INT("liveFaninPort", "Port where a fan-out server takes other fan-out servers",
        LiveFaninPort, 0, 65535),
    INT("liveClientPort", "Port where a fan-out server takes chat clients", LiveClientPort, 0,
        65535),
    LINE("liveFanoutName", "Name of this fan-out server", LiveFanoutName, nullptr),
    LINE("liveFanoutJava", "Where this fan-out server's chat applet lies (URL)", LiveFanoutJava,
         CheckPath),
    LINE("liveFanoutSocksIp", "Address of the SOCKS proxy", LiveFanoutSocksIp, CheckAddresses),
    LINE("liveFanoutSocksUsername", "User name at the SOCKS proxy", LiveFanoutSocksUsername,
         nullptr),
    LINE("liveFanoutSocksPassword", "Password at the SOCKS proxy", LiveFanoutSocksPassword,
         nullptr),
};

const SysopField kMemFields[] = {
    INT("memUserSpecified", "Use the sizes below (0 no, 1 yes)", MemUserSpecified, 0, 1),
    // The budget (pages of 4,096 bytes and the heap) is counted in 32 bits.
    INT("smallObjectHeap", "Small-object heap (bytes)", MemSmallObjHeap, 65536, 134217728),
    INT("chunkPages", "Database pages kept in memory", MemChPages, 8, 1000000),
};

std::string AfterBackup(CgiRequest& r) {
  bool repack = CkIsChecked(r.form, "repack");
  if (!repack && !CkIsChecked(r.form, "backupNow")) return std::string();
  std::string report = DoBackup(repack);
  if (!report.empty()) return report;
  return repack ? "The settings have been stored and the repack has started."
                : "The settings have been stored and the backup has started.";
}

// The new sizes take effect by a start of the server in the same process.
std::string MemoryStored(CgiRequest& r) {
  const std::vector<CgiServiceFn>& fns = CgiMemorySettingsFns();
  if (fns.empty()) return "The settings have been stored; they are read at the next start.";
  r.noCache = true;
  for (CgiServiceFn fn : fns) fn();
  return "The settings have been stored; the server starts again with them.";
}

#define FORM(show, process, title, intro, fields, after) \
  SysopForm { show, process, title, intro, fields, int(std::size(fields)), after }

const SysopForm kForms[] = {
    FORM(46, 47, "Guest access", "What visitors who have not registered may do.", kGuestFields,
         nullptr),
    FORM(62, 60, "Registered users", "Registration, passwords, sessions and cookies.",
         kRegUserFields, nullptr),
    FORM(63, 61, "General settings", "The site's name, addresses, limits and search.",
         kGeneralFields, nullptr),
    FORM(101, 102, "Button sizes", "The pictures of the buttons and their sizes.", kButtonFields,
         nullptr),
    FORM(105, 106, "Top level", "Banner, footer, background and the top-level page.",
         kTopFields, nullptr),
    FORM(107, 108, "Folder defaults", "How folders look unless they say otherwise.",
         kFolderFields, nullptr),
    FORM(109, 110, "Discussion defaults", "How discussions look unless they say otherwise.",
         kDiscussFields, nullptr),
    FORM(111, 112, "Toolbar", "The text around the buttons of the toolbar.", kToolbarFields,
         nullptr),
    FORM(113, 114, "Pictures", "Pictures of users.", kPictureFields, nullptr),
    FORM(228, 234, "Other settings and logging", "Logs, records and other switches.",
         kOtherFields, nullptr),
    FORM(226, 227, "HTTP service", "How the web server addresses and serves the site.",
         kHttpFields, nullptr),
    FORM(186, 187,
         "Backup", "The roll-forward log and the backups. Check \"Back up now\" to start one.",
         kBackupFields, AfterBackup),
    FORM(188, 189, "Source and mirror servers",
         "Stored now; the mirror service reads them when it runs.", kMirrorFields, nullptr),
    FORM(231, 232, "News service", "Stored now; the news service reads them when it runs.",
         kNntpFields, nullptr),
    FORM(245, 246, "E-mail services", "Stored now; the mail services read them when they run.",
         kEmailFields, nullptr),
    FORM(247, 248, "LDAP service", "Stored now; the LDAP service reads them when it runs.",
         kLdapFields, nullptr),
    FORM(197, 198, "Chat services", "Stored now; the chat service reads them when it runs.",
         kChatFields, nullptr),
    FORM(208, 209, "Basic chat services",
         "Stored now; the chat service reads them when it runs.", kChatBasicFields, nullptr),
    FORM(133, 134, "Memory", "The server starts again with these sizes once they are stored.",
         kMemFields, MemoryStored),
};

}  // namespace

const SysopForm* SysopFormFind(int command) {
  for (const SysopForm& f : kForms)
    if (f.showCommand == command || f.processCommand == command) return &f;
  return nullptr;
}

void CgiActSysopSettingsShow(CgiRequest& r) {
  if (SysopRefused(r)) return;
  const SysopForm* form = SysopFormFind(r.command);
  if (!form) {
    CgiErrorPage(r, "Unable to process", "This settings page does not exist.");
    return;
  }
  SysopFormShow(r, *form, {}, {}, false);
}

void CgiActSysopSettingsProcess(CgiRequest& r) {
  if (SysopRefused(r)) return;
  const SysopForm* form = SysopFormFind(r.command);
  if (!form) {
    CgiErrorPage(r, "Unable to process", "This settings page does not exist.");
    return;
  }
  std::string error;
  if (!SysopFormStore(r, *form, &error)) {
    SysopFormShow(r, *form, error, {}, true);
    return;
  }
  ForumTemplateChange(r.root);
  std::string note = form->after ? form->after(r) : std::string();
  SysopFormShow(r, *form, {}, note.empty() ? "The settings have been stored." : note, false);
}

}  // namespace quil
