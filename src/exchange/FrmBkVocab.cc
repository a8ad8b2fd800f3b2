// The vocabulary of change records and the record names of the settings
// and user fields.
#include "FrmBkInt.h"
#include "Ha.h"
#include "Ma.h"

namespace quil {

namespace {

// The keyword hash FrmBkHa: name -> keyword number (case-sensitive).
KwHash& FrmBkHa() {
  static KwHash table = [] {
    KwHash t = KwHashCreateCount(256, true);
    for (size_t i = 0; i < frmbk::kVocabulary.size(); ++i)
      KwHashAdd(t, StFromView(frmbk::kVocabulary[i]), int32_t(i));
    return t;
  }();
  return table;
}

}  // namespace

const std::vector<const char*>& FrmBkVocabulary() {
  static const std::vector<const char*> names = [] {
    std::vector<const char*> v;
    for (std::string_view n : frmbk::kVocabulary) v.push_back(n.data());
    return v;
  }();
  return names;
}

int FrmBkKeyword(std::string_view name) {
  int32_t value = -1;
  return KwHashLookup(FrmBkHa(), name, &value) ? value : -1;
}

// Every setting of ForumSet.h with the record name it is written under;
// nullptr: the setting has no name in the vocabulary and is written as
// "field=" its setter's suffix " value=" ....
const std::vector<FrmBkKey>& FrmBkSysopKeys() {
  static const std::vector<FrmBkKey> keys = {
      {"AllowGuests", "allowGuests"},
      {"AllowAutoRegister", "allowAutoRegister"},
      {"LogFile", "logFile"},
      {"LogErrAndExit", "logErrAndExit"},
      {"LogRequest", "logRequest"},
      {"LogPost", "logPost"},
      {"ServePictures", "servePictures"},
      {"TopicShowSysop", "folderShowSysop"},
      {"ConvShowSysop", "discussShowSysop"},
      {"TopicShowAuthor", "folderShowAuthor"},
      {"ConvShowAuthor", "discussShowAuthor"},
      {"HideTimeDate", "hideTimeDate"},
      {"ShowPrepared", "showPrepared"},
      {"ServeUserInfoPictures", "serveUserInfoPictures"},
      {"ShowDeletedMsg", "showDeletedMsg"},
      {"SearchEnabled", "searchEnabled"},
      {"TopSearchEnabled", "topSearchEnabled"},
      {"LoginOnce", "setLoginOnce"},
      {"UseTemplates", "useTemplates"},
      {"PwCaseSensitive", "pwCaseSensitive"},
      {"RollForwardLog", "rollForward"},
      {"UseCookies", "useCookies"},
      {"IsNameServer", "isNameServer"},
      {"IsNameServerClient", "isNameClient"},
      {"EmailValidate", "emailValidate"},
      {"ProvisionalIsReadOnly", "provisionalIsReadOnly"},
      {"ProvisionalIsModerated", "provisionalIsModerated"},
      {"ShowTimes", "showTimes"},
      {"UseEmailScript", "useEmailScript"},
      {"LiveFanoutCanRecord", "liveFanoutCanRecord"},
      {"SessRecord", "sessRecord"},
      {"SessRecordData", "sessRecordData"},
      {"ForumOneSearch", "forumOneSearch"},
      {"LogSynch", "logSynch"},
      {"SaveSlaveSynch", "saveSlaveSynch"},
      {"TrackUserPosts", "trackUserPosts"},
      {"ObjectionablePhone", "objectionablePhone"},
      {"CheckRemoteAddr", "checkRemoteAddr"},
      {"DefaultNewUsersCookie", "defaultNewUsersCookie"},
      {"DefaultOldUsersCookie", "defaultOldUsersCookie"},
      {"HostIsTemplate", "hostIsTemplate"},
      {"SecureServer", "secureServer"},
      {"ShowGetInfoTop", "showGetInfoTop"},
      {"ShowGetInfo", "showGetInfo"},
      {"CommonLogCombined", "commonLogCombined"},
      {"HostQuickEdit", "hostQuickEdit"},
      {"UserDefaultThreading", "userDefaultThreading"},
      {"UserDefaultReplyTo", "userDefaultReplyTo"},
      {"UserDefaultSummaryButton", "userDefaultSummaryButton"},
      {"NntpReceiveEnclosures", "nntpReceiveEnclosures"},
      {"NntpSendEnclosures", "nntpSendEnclosures"},
      {"HttpUploads", "httpUploads"},
      {"HttpDownloads", "httpDownloads"},
      {"LogAuthentication", "logAuthentication"},
      {"UserIsText", "userIsText"},
      {"VirtualForums", "virtualForums"},
      {"Pop3RequireApop", "pop3RequireApop"},
      {"IsLiveControl", "isLiveControl"},
      {"IsLiveFanout", "isLiveFanout"},
      {"UseLiveControl", "useLiveControl"},
      {"LogoutTimeout", "logoutTime"},
      {"TopicMax", "maxData"},
      {"UserPictWidth", "userPictWidth"},
      {"UserPictHeight", "userPictHeight"},
      {"CatForumSeq", "catForumSeq"},
      {"MaxCols", "maxCols"},
      {"SiteKind", nullptr},
      {"BackupCount", "backupCount"},
      {"NameServerPort", "namePort"},
      {"TitleMax", "titleMax"},
      {"FolderHeadingMax", "folderHeadingMax"},
      {"DiscussionHeadingMax", "discussionHeadingMax"},
      {"MessageMax", "messageMax"},
      {"EmailStorage", "emailStorage"},
      {"EmailMessages", "emailMessages"},
      {"MaxDnsEntries", "maxDnsEntries"},
      {"SmtpMaxMessage", "smtpMaxMessage"},
      {"ImapMaxMessage", "imapMaxMessage"},
      {"SmtpAfterLogin", "smtpAfterLogin"},
      {"MirrorThreads", "mirrorThreads"},
      {"FanoutClientsMax", "fanoutClientsMax"},
      {"FanoutAudioMax", "fanoutAudioMax"},
      {"FanoutmTropMax", "fanoutmTropMax"},
      {"LiveFanoutSocks", "liveFanoutSocks"},
      {"LiveFanoutSocksPort", "liveFanoutSocksPort"},
      {"WebMaxListens", "webMaxListens"},
      {"GuestNewHours", "guestNewHours"},
      {"NntpMaxSessions", "nntpMaxSessions"},
      {"EmailSessions", "emailSessions"},
      {"Pop3MaxSessions", "pop3MaxSessions"},
      {"ImapMaxSessions", "imapMaxSessions"},
      {"SmtpMaxSessions", "smtpMaxSessions"},
      {"Pop3Timeout", "pop3Timeout"},
      {"SmtpTimeout", "smtpTimeout"},
      {"NntpTimeout", "nntpTimeout"},
      {"ZirevuzTimeout", "zirevuzTimeout"},
      {"ImapTimeout", "imapTimeout"},
      {"LdapServerTimeout", "ldapServerTimeout"},
      {"LdapServerMaxSessions", "ldapServerMaxSessions"},
      {"DefaultPictRev", nullptr},
      {"DbVersion", nullptr},
      {"WhileLimit", "whileLimit"},
      {"MemUserSpecified", nullptr},
      {"MemSmallObjHeap", "smallObjectHeap"},
      {"MemChPages", "chunkPages"},
      {"LiveQuilPort", "liveQuilPort"},
      {"LiveFanoutPort", "liveFanoutPort"},
      {"LiveFaninPort", "liveFaninPort"},
      {"LiveClientPort", "liveClientPort"},
      {"LdapPort", "ldapPort"},
      {"LdapServerPort", "ldapServerPort"},
      {"HtmlBanner", "banner"},
      {"HtmlFooter", "footer"},
      {"HtmlTopLevel", "topLevelHtml"},
      {"HtmlLogin", "login"},
      {"HtmlPassword", "passwordHtml"},
      {"HtmlRegister", "register"},
      {"HtmlRegisterComplete", "registered"},
      {"HtmlGuestLogin", "guestLogin"},
      {"HtmlCategory", "defaultFolder"},
      {"HtmlTopic", "defaultDiscuss"},
      {"EditHelp", "editHelp"},
      {"PostHelp", "postHelp"},
      {"UnknownUserHelp", "unknownUserHelp"},
      {"Objectionable", "objectionable"},
      {"SiteKind", nullptr},
      {"ObjectionablePhone", "objectionablePhone"},
      {"Greeting", "greeting"},
      {"ServerName", "serverName"},
      {"HtmlTitle", "title"},
      {"HtmlBodyPre", "folderBodyPre"},
      {"HtmlBodyItem", "folderBodyItem"},
      {"HtmlBodyPost", "folderBodyPost"},
      {"HtmlBodyEmpty", "folderBodyEmpty"},
      {"HtmlDiscussPre", "discussPre"},
      {"HtmlDiscussPost", "discussPost"},
      {"MessagePre", "messagePre"},
      {"Message", "message"},
      {"MessageBetween", "messageBetween"},
      {"MessagePost", "messagePost"},
      {"ToolbarPre", "toolbarPre"},
      {"ToolbarNL", "toolbarNL"},
      {"ToolbarPost", "toolbarPost"},
      {"PictSizes", "pictSizes"},
      {"Recent", "recent"},
      {"TimeFormat", "timeFormat"},
      {"ResponseDate", "responseDate"},
      {"BackgroundPattern", "background"},
      {"ImagesDir", "imagesDir"},
      {"HelpDir", "helpDir"},
      {"AltScript", "altScript"},
      {"MimeType", "mimeType"},
      {"DefaultCmd", "defaultCmd"},
      {"UrlPreQuery", nullptr},
      {"CookieDomain", "cookieDomain"},
      {"EmailAddress", "email"},
      {"Site", "site"},
      {"HostAlias", "hostAlias"},
      {"EmailDomains", "emailDomains"},
      {"SmtpRouting", "smtpRouting"},
      {"SmtpAllowDeny", "smtpAllowDeny"},
      {"RelayAllowDeny", "relayAllowDeny"},
      {"Pop3AllowDeny", "pop3AllowDeny"},
      {"ImapAllowDeny", "imapAllowDeny"},
      {"LdapAllowDeny", "ldapAllowDeny"},
      {"DbAccessAllowDeny", "dbAccessAllowDeny"},
      {"LogEmailFile", "logEmailFile"},
      {"UrlBase", nullptr},
      {"BackupPeriod", "backupPeriod"},
      {"BackupTime", "backupTime"},
      {"BackupLastDate", "backupLastDate"},
      {"LiveCtrlIp", "liveCtrlIp"},
      {"LiveQuilIps", "liveQuilIps"},
      {"LiveFanoutIps", "liveFanoutIps"},
      {"LiveFanoutJava", "liveFanoutJava"},
      {"LiveFanoutName", "liveFanoutName"},
      {"LiveFanoutSocksIp", "liveFanoutSocksIp"},
      {"LiveFanoutSocksUsername", "liveFanoutSocksUsername"},
      {"LiveFanoutSocksPassword", "liveFanoutSocksPassword"},
      {"Master", "master"},
      {"SlaveList", "slaveList"},
      {"NameServer", "nameServer"},
      {"NameClientList", "nameClientList"},
      {"FolderMirrorList", "folderMirrorList"},
      {"LdapIp", "ldapIp"},
      {"LdapPasswd", "ldapPasswd"},
      {"LdapDN", "ldapDN"},
      {"LdapServerDN", "ldapServerDN"},
  };
  return keys;
}

// Every user field of ForumUser.h with a setter, and its record name.
const std::vector<FrmBkKey>& FrmBkUserKeys() {
  static const std::vector<FrmBkKey> keys = {
      {"PictParams", "pictParams"},
      {"HomePage", "homePage"},
      {"Bio", "bio"},
      {"Urls", "urls"},
      {"2ndLine", "2ndLine"},
      {"ChatPreference", "chatPreferences"},
      {"EmailCode", "userEmailCode"},
      {"ForwardTo", "userForwardTo"},
      {"ImapSubscriptions", "userImapSubscriptions"},
      {"Apop", "apop"},
      {"LogoutTime", "logoutTime"},
      {"MaxData", "maxData"},
      {"LoginCount", nullptr},
      {"PictureRev", nullptr},
      {"CatForumSeq", "catForumSeq"},
      {"RespNameSize", "respNameSize"},
      {"RespInfoSize", "respInfoSize"},
      {"RespBodySize", "respBodySize"},
      {"MaxMessages", "maxMessages"},
      {"EmailStorage", "emailStorage"},
      {"EmailMessages", "emailMessages"},
      {"Date", "date"},
      {"LastLogin", "lastLogin"},
      {"ThisLogin", nullptr},
      {"LastExport", "userLastExport"},
  };
  return keys;
}

}  // namespace quil
