// FrmBkInt: what the sources of the exchange package share -- the
// vocabulary with its keyword numbers, the log file behind a root's sink,
// the per-root state and the internal steps of replay and backup.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "Fi.h"
#include "FrmBk.h"

namespace quil {
namespace frmbk {

// Every tag and attribute name of change records, in table order; a
// name's keyword number is its index.
inline constexpr std::array<std::string_view, 417> kVocabulary = {
    "restart", "recentAdd", "recentRemove", "date", "createDate", "flags", "inherits",
    "showAuthor", "contentType", "showMessageTitle", "showTreeView", "showReplyTo",
    "showLinkToParent", "showLinkToPrevious", "showSummaryButton",
    "showByUserPreferences", "showItems", "banner", "footer", "background", "structure",
    "sortSeq", "template", "field", "value", "nextUnique", "name", "mimeType", "email",
    "apop", "showPictures", "showPictBorder", "picture", "pictParams", "homePage",
    "chatPreferences", "logoutTime", "maxData", "isSysop", "incLogin", "respNameSize",
    "respInfoSize", "respBodySize", "maxMessages", "2ndLine", "userEmailCode",
    "userForwardTo", "userImapSubscriptions", "userLastExport", "bio", "urls",
    "catForumSeq", "showPrepared", "lastLogin", "userPostsReset", "allowGuests",
    "allowAutoRegister", "logFile", "logErrAndExit", "logRequest", "logPost",
    "logAuthentication", "servePictures", "serveUserInfoPictures", "folderShowSysop",
    "discussShowSysop", "folderShowAuthor", "discussShowAuthor", "hideTimeDate",
    "httpBasic", "listTopItems", "showDeletedMsg", "searchEnabled", "topSearchEnabled",
    "searchIndexTime", "searchIndexTimeFlag", "searchIndexMsgs", "sitePort", "namePort",
    "liveClientPort", "fanoutClientsMax", "fanoutAudioMax", "fanoutmTropMax",
    "dbAccessPort", "dbAccessSessions", "liveQuilPort", "liveFanoutPort",
    "liveFaninPort", "liveFanoutSocks", "liveFanoutSocksPort", "fcgiPort",
    "fcgiMaxConnects", "fcgiMaxReqPerConnect", "webMaxListens", "nntpMaxSessions",
    "emailSessions", "httpToFcgiPort", "emailDomains", "smtpRouting", "pop3Ip",
    "imapIp", "smtpIp", "zevuzivIp", "smtpAllowDeny", "relayAllowDeny", "pop3AllowDeny",
    "imapAllowDeny", "ldapAllowDeny", "dbAccessAllowDeny", "siteCharset", "httpToFcgi",
    "httpToFcgiCount", "searchIndexMsgsFlag", "searchIndexFlag", "guestNewHours",
    "whileLimit", "pop3MaxSessions", "pop3Timeout", "imapMaxSessions", "imapTimeout",
    "smtpMaxSessions", "ldapServerMaxSessions", "ldapServerTimeout", "smtpTimeout",
    "nntpTimeout", "smtpOutHoldHours", "zirevuzTimeout", "lastExportFields",
    "cookieDomain", "imagesDir", "liveCtrlIp", "validateReturnBox", "validatePassword",
    "liveQuilIps", "liveFanoutIps", "folderMirrorList", "commonLog", "master",
    "slaveList", "webPort", "cgiPort", "nntpMirror", "emailPush", "emailPull",
    "emailBoxes", "usePop3", "useImap", "ldapServerEnabled", "webEmail", "dbAccessAll",
    "logEmail", "logPmp", "renameEnclosuresOnDelete", "ldapEnabled", "useSmtp",
    "smtpForwarding", "smtp8Bit", "nntp8Bit", "smtpVrfy", "smtpExpn", "pop3RequireApop",
    "nameServer", "nameClientList", "liveFanoutJava", "liveFanoutName", "webData",
    "webScript", "validateDns", "helpDir", "fcgiPassThrough", "fcgiIps",
    "liveFanoutSocksIp", "liveFanoutSocksUsername", "liveFanoutSocksPassword",
    "altScript", "emailScript", "nntp", "httpTopLevel", "trackUserPosts",
    "objectionablePhone", "setLoginOnce", "useTemplates", "pwCaseSensitive",
    "rollForward", "useCookies", "oldCookies", "checkRemoteAddr", "userThreadingBySite",
    "userThreading", "userReplyTo", "userSummaryButton", "requireApop", "mailboxCreate",
    "mailboxDestroy", "mailboxRename", "defaultNewUsersCookie", "defaultOldUsersCookie",
    "hostIsTemplate", "showTimes", "sessRecord", "sessRecordData", "logSynch",
    "saveSlaveSynch", "isSlave", "isMaster", "isNameServer", "isNameClient",
    "isLiveControl", "isLiveFanout", "useLiveControl", "liveFanoutCanRecord",
    "noContentLength", "useFcgi", "commonLogCombined", "useEmailScript", "useNntp",
    "nntpReceiveEnclosures", "nntpSendEnclosures", "httpUploads", "httpDownloads",
    "virtualForums", "hostQuickEdit", "forumOneSearch", "userIsText",
    "userDefaultThreading", "userDefaultSummaryButton", "userDefaultReplyTo",
    "secureServer", "showGetInfoTop", "showGetInfo", "isProvisional", "site", "images",
    "help", "login", "passwordHtml", "register", "registered", "guestLogin",
    "topLevelHtml", "ldapIp", "smtpSpam", "backupPeriod", "backupTime",
    "backupLastDate", "statsPeriod", "statsTo", "statsLastDate", "warnLastDate",
    "statsFormat", "logEmailFile", "ldapPort", "ldapPasswd", "ldapDN", "ldapServerPort",
    "ldapServerDN", "defaultFolder", "defaultDiscuss", "defaultPicture",
    "defaultPictParams", "timeFormat", "hostAlias", "headPre", "headPost", "editHelp",
    "pictSizes", "toolbarPre", "toolbarNL", "toolbarPost", "serverName", "greeting",
    "recent", "discussPre", "discussPost", "folderBodyPre", "folderBodyItem",
    "folderBodyPost", "folderBodyEmpty", "title", "objectionable", "postHelp",
    "unknownUserHelp", "messagePre", "message", "messageBetween", "messagePost",
    "86Email", "remove", "ispRemove", "userCode", "defaultCmd", "emailValidate",
    "provisionalIsReadOnly", "provisionalIsModerated", "validateTemplate",
    "responseDate", "folderMax", "userPictWidth", "userPictHeight", "timeDelta",
    "maxPictWidth", "maxPictHeight", "toolbarAcross", "maxCols", "backupCount",
    "smallObjectHeap", "chunkPages", "titleMax", "folderHeadingMax",
    "discussionHeadingMax", "messageMax", "emailStorage", "emailMessages",
    "maxDnsEntries", "smtpMaxMessage", "imapMaxMessage", "smtpAfterLogin",
    "mirrorThreads", "enable", "inhibit", "clearAcc", "clearInhibit", "subscrClear",
    "subscrAdd", "subscrRemove", "f", "highwater", "highwaterBack", "body", "author",
    "deleteItem", "purge", "url", "container", "linkType", "folder", "discussion",
    "web", "showDescription", "u", "g", "add", "create", "createg", "new", "moderated",
    "type", "update", "approved", "to", "pwmd5", "guest", "destroy", "moveTo",
    "deletePermits", "deleteInhibits", "modItemDate", "response", "ec", "eof",
    "synched", "db", "size", "count", "names", "cert", "switch", "stamp", "remote",
    "ack", "hasAudio", "hasmTrop", "itemSource", "source", "playFile", "recordFile",
    "playDate", "playLoopback", "playTime", "playLeader", "playTrailer", "maxUsers",
    "anonymous", "permanent", "mainRoom", "save", "unique", "id", "archiveTo",
    "archiveDays", "newsgroup", "newsgroupCreated", "nntpMode", "nntpSendTo",
    "nntpSendUsername", "nntpSendPassword", "nntpGetFrom", "nntpGetFromMode",
    "nntpGetUsername", "nntpGetPassword", "parent", "other", "messageId", "boundary",
    "from", "alternative", "headerTo", "enclosure", "forwardEmail", "folderEmail",
    "emailPw", "emailReply", "emailPostThru", "emailReplyTo", "emailFrom",
    "emailStripSig", "masterSave"};

// The keyword number of a name known at compile time; a name outside the
// vocabulary does not compile.
consteval int Kw(std::string_view name) {
  for (size_t i = 0; i < kVocabulary.size(); ++i)
    if (kVocabulary[i] == name) return int(i);
  throw "not in the vocabulary";
}

// The file behind a root's log sink.  Records are appended to a buffer
// that goes to the file with one write at the end of each pass of the
// event loop (Flush, from FrmBkLogPass), or sooner when it fills, or before
// a sync; Sync makes everything appended durable.  In the durable mode a
// thread of the log runs the fdatasync calls that FrmBkLogPass asks for, so
// that the event loop goes on while the disk works.
class LogFile : public ForumLogSink {
 public:
  LogFile() = default;
  ~LogFile() override;
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens (creating when missing) path for appending; 0 or the status.
  [[nodiscard]] uint16_t Open(const std::string& path);
  int64_t Position() override { return end_ + int64_t(pending_.size()); }
  uint16_t Append(std::string_view bytes) override;
  uint16_t Sync() override;
  // Writes the buffered records to the file; 0 or the status (the records
  // then stay buffered).
  uint16_t Flush();
  // Cuts the log back to position (a withdrawn record).
  void CutBack(int64_t position);
  const std::string& Path() const { return path_; }
  // The length of the log in the file (what a kill leaves).
  int64_t FileEnd() const { return end_; }

  // The durable mode's sync thread: asks for a sync covering sequence
  // `upTo` (everything written to the file so far).
  void RequestSync(uint64_t upTo);
  uint64_t SyncedSequence() const { return synced_.load(); }
  bool SyncInFlight() const { return requested_.load() > synced_.load(); }
  // The status of the last sync of the thread (0 when it went well).
  uint16_t SyncStatus() const { return syncStatus_.load(); }
  // The log's length the last completed sync covered.
  int64_t SyncedBytes() const { return syncedBytes_.load(); }

 private:
  void SyncThread();
  FiFile file_;
  std::string path_;
  int64_t end_ = 0;       // bytes in the file
  std::string pending_;   // bytes appended after them
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::atomic<uint64_t> requested_{0};
  std::atomic<uint64_t> synced_{0};
  int64_t requestedBytes_ = 0;  // guarded by mutex_
  std::atomic<int64_t> syncedBytes_{0};
  std::atomic<uint16_t> syncStatus_{0};
};

// Forgets the durable callbacks and turns the mode off (termination).
void DurableReset();
// The root's log file (null when it has no sink or another kind of sink).
LogFile* LogOf(ForumRoot root);
// Routes a record given as bytes (RecSendDual without a copy when no
// routes are set).
uint16_t SendView(ForumRoot root, std::string_view text);
// Counts a record written to a log: the new sequence number.
uint64_t CountRecord();

// Where the root's log ends now (-1 without a log file): a setter takes it
// before writing its record so that Withdraw can cut the record off again.
int64_t LogMark(ForumRoot root);
void Withdraw(ForumRoot root, int64_t mark);

// Whether root is being rolled forward now.
void SetRollingForward(ForumRoot root, bool on);
// Forgets the FrmBkOnRollForward and FrmBkOnBackupDone callbacks
// (termination).
void ClearCallbacks();
void ClearBackupCallbacks();
// Runs the FrmBkOnRollForward callbacks.
void NotifyRollForward(ForumRoot root, bool starting);
// Builds the tables of settings and user fields by record name; halts when
// a setting of the store has no row in FrmBkSysopKeys / FrmBkUserKeys.
void CheckTables();
// While a journaling setter runs the plain creation of a user or group, the
// identifier it takes is not recorded again (the creation record carries
// it).
class CreationScope {
 public:
  CreationScope() { ++depth; }
  ~CreationScope() { --depth; }
  CreationScope(const CreationScope&) = delete;
  CreationScope& operator=(const CreationScope&) = delete;
  static inline int depth = 0;
};
// The forum's callback (ForumOnUniqueIdGiven): an identifier given to a
// user or group outside its creation becomes "<u name=" name " unique=" id
// ">".  Other records get theirs at creation, which the replay repeats.
void UniqueIdGiven(ForumRoot root, ChHandle rec, int32_t id);
// The backup period was set: the periodic backup's check is armed when the
// server runs it.
void BackupSettingChanged(ForumRoot root);
// The database open's callback (ForumOnDbOpened): the open-time replay,
// except while a full recovery opens its copy (it replays by itself).
void DbOpened(const std::string& path, ForumRoot root);
// The replication routes (null until replication exists).
RecRoutes* Routes();
// The directory part of a path ("" for a bare name), with its "/".
std::string DirOf(const std::string& path);
// Cuts a record left unfinished at the end of a log (a power cut in the
// middle of a write) back to the end of the last whole record.
void TrimPartialRecord(const std::string& path);

// Installs the journaling setters as the expiration task's move and
// removal (FrmBkInit).
void InstallArchiveOps();

// A setter's record could not be written: the error log hears of it.
void ReportLogFailure(uint16_t status, std::string_view what);

}  // namespace frmbk
}  // namespace quil
