// Sysop settings: the accessors of the settings record, the factory
// settings, and the settings file "quil.set".
#include "Fi.h"
#include "ForumInt.h"
#include "Ma.h"

namespace quil {

namespace {

ChHandle FlagsField(ForumRoot root, int word) {
  return word == 1 ? root->f.Flags : word == 2 ? root->f.Flags2 : root->f.Flags3;
}

constexpr int32_t kFlagDefaults[3] = {kForumFlagsDefault, kForumFlags2Default,
                                      kForumFlags3Default};

bool FlagGet(ForumRoot root, int word, uint32_t bit, bool inverted) {
  bool set = (uint32_t(root->flags[word - 1]) & bit) != 0;
  return set != inverted;
}

void FlagSet(ForumRoot root, int word, uint32_t bit, bool inverted, bool on) {
  uint32_t value = uint32_t(root->flags[word - 1]);
  value = (on != inverted) ? (value | bit) : (value & ~bit);
  ForumSysopSetFlagsWord(root, word, int32_t(value));
}

void IntSet(ForumRoot root, ChHandle field, int32_t value) {
  LgDbRecPutInt(root->sysopRec, field, value);
  ForumSaveArm(root);
}

void TextSet(ForumRoot root, ChHandle field, St value) {
  ForumRecPutTextOrRemove(root->sysopRec, field, std::move(value));
  ForumSaveArm(root);
}

}  // namespace

int32_t ForumSysopFlagsWord(ForumRoot root, int word) { return root->flags[word - 1]; }

bool ForumSiteIsFoldersOnly(ForumRoot root) {
  return ForumSysopSiteKind(root) == kForumSiteFoldersOnly;
}

void ForumSysopSetFlagsWord(ForumRoot root, int word, int32_t value) {
  root->flags[word - 1] = value;
  IntSet(root, FlagsField(root, word), value);
}

void ForumSysopCacheLoad(ForumRoot root) {
  for (int w = 1; w <= 3; ++w)
    root->flags[w - 1] = ForumRecInt(root->sysopRec, FlagsField(root, w), kFlagDefaults[w - 1]);
}

#define FORUM_SYSOP_FLAG_DEF(name, word, bit, inverted)                                \
  bool ForumSysop##name(ForumRoot root) { return FlagGet(root, word, bit, inverted); } \
  void ForumSysopSet##name(ForumRoot root, bool on) { FlagSet(root, word, bit, inverted, on); }
FORUM_SYSOP_FLAGS(FORUM_SYSOP_FLAG_DEF)
#undef FORUM_SYSOP_FLAG_DEF

#define FORUM_SYSOP_INT_DEF(name, field, dflt)                           \
  int32_t ForumSysop##name(ForumRoot root) {                             \
    return ForumRecInt(root->sysopRec, root->f.sysop##name, dflt);       \
  }                                                                      \
  void ForumSysopSet##name(ForumRoot root, int32_t value) {              \
    IntSet(root, root->f.sysop##name, value);                            \
  }
FORUM_SYSOP_INTS(FORUM_SYSOP_INT_DEF)
#undef FORUM_SYSOP_INT_DEF

#define FORUM_SYSOP_TEXT_DEF(name)                                       \
  St ForumSysop##name(ForumRoot root) {                                  \
    return LgDbRecGetText(root->sysopRec, root->f.sysop##name);          \
  }                                                                      \
  void ForumSysopSet##name(ForumRoot root, St value) {                   \
    TextSet(root, root->f.sysop##name, std::move(value));                \
  }
FORUM_SYSOP_TEXTS(FORUM_SYSOP_TEXT_DEF)
#undef FORUM_SYSOP_TEXT_DEF

void SetSysopToFactory(ForumRoot root) {
  ForumSysopSetLogRequest(root, true);
  ForumSysopSetLogPost(root, false);
  ForumSysopSetLogoutTimeout(root, 3600);
  ForumSysopSetImagesDir(root, StCStrXfm("/Images"));
  ForumSysopSetBackgroundPattern(root, StCStrXfm("#FFFFFF"));
  ForumSysopSetHtmlTopLevel(
      root, StCStrXfm("Choose an item from the list.  (You can change this heading through "
                      "the sysop <tt>control panel</tt>, see the <tt>Banner, footer, "
                      "background, and top-level page appearance</tt> link.)"));
  ForumSysopSetHtmlBanner(root, St());
  ForumSysopSetHtmlFooter(root, St());
  ForumSysopSetHtmlRegister(root,
                            StCStrXfm("Please register by completing all spaces in this form."));
  ForumSysopSetHtmlRegisterComplete(
      root, StCStrXfm("Thank you for registering.  You may now take part in the "
                      "discussions of this site."));
  ForumSysopSetHtmlGuestLogin(root, StCStrXfm("Please log in as our guest."));
  ForumSysopSetHtmlCategory(root, St());
  ForumSysopSetHtmlTopic(root, St());
  ForumSysopSetEditHelp(root, St());
  ForumSysopSetPostHelp(root, StCStrXfm("Type your message in the space below.  Blank lines "
                                        "separate paragraphs."));
  ForumSysopSetUnknownUserHelp(
      root, StCStrXfm("The name you gave is not known here.  Check its spelling, or "
                      "register as a new user."));
  if (root->top) ForumFileSetShowSummary(root->top, true);
  // The default user picture: a blank 1x1 GIF in place of the original
  // "Guest.gif".
  static const uint8_t kGuestGif[] = {
      'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0xff, 0xff, 0xff, 0, 0, 0,
      0x21, 0xf9, 4, 1, 0, 0, 0, 0, 0x2c, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 1, 0, 0x3b};
  LgDbRecPutPicture(root->sysopRec, LgDbFieldIdGet(root->sysopRec, StCStrXfm("UserPicture")),
                    LgDbPicture{48, 72, 1, StCreateLen(kGuestGif, sizeof kGuestGif)});
  ForumSaveArm(root);
}

std::vector<ForumSysopRow> ForumSysopListAll(ForumRoot root) {
  std::vector<ForumSysopRow> rows;
#define FORUM_SYSOP_ROW(name, word, bit, inverted) \
  rows.push_back({#name, ForumSysop##name(root) ? "on" : "off"});
  FORUM_SYSOP_FLAGS(FORUM_SYSOP_ROW)
#undef FORUM_SYSOP_ROW
#define FORUM_SYSOP_ROW(name, field, dflt) \
  rows.push_back({#name, std::to_string(ForumSysop##name(root))});
  FORUM_SYSOP_INTS(FORUM_SYSOP_ROW)
#undef FORUM_SYSOP_ROW
#define FORUM_SYSOP_ROW(name)                                    \
  {                                                              \
    St v = ForumSysop##name(root);                               \
    rows.push_back({#name, v.IsNil() ? "(none)" : v.Str()});     \
  }
  FORUM_SYSOP_TEXTS(FORUM_SYSOP_ROW)
#undef FORUM_SYSOP_ROW
  return rows;
}

// ---------------------------------------------------------------------------
// The settings file.

const char* const kForumSetKeywords[] = {
    "images", "help", "httpBasic", "smallObjectHeap", "diskCache", "isMaster", "isSlave",
    "masterIp", "slaveIps", "webPort", "cgiPort", "masterSlavePort", "useChat",
    "isChatControlRoom", "isChatFanout", "controlRoomIp", "controlRoomQuilIp",
    "controlRoomFanoutIp", "chatClientIp", "fanoutRelayIp", "directAccessIp",
    "directAccessSessions", "dbAccessAll", "useFcgi", "fcgiPort", "fcgiIps", "fcgiMaxConnects",
    "fcgiMaxReqPerConnect", "httpToFcgiPort", "httpToFcgiCount", "httpToFcgi", "useNntp",
    "nntpMirror", "nntpIp", "nntp8Bit", "emailPush", "emailPull", "emailBoxes", "webEmail",
    "logPmp", "usePop3", "pop3Ip", "useSmtp", "smtpIp", "smtpVrfy", "smtpExpn",
    "smtpForwarding", "smtp8Bit", "useImap", "imapIp", "ldapEnabled", "ldapServerEnabled",
    "renameEnclosuresOnDelete", "zevuzivIp", "zevuzivMailbox", "siteCharset", "searchIx",
    // 1: a change counts only once its roll-forward record is on disk.
    "durableLog"};
const int kForumSetKeywordCount = int(sizeof kForumSetKeywords / sizeof kForumSetKeywords[0]);

namespace {

int KeywordIndex(std::string_view keyword) {
  for (int i = 0; i < kForumSetKeywordCount; ++i) {
    if (StCStrCompare(std::string(keyword).c_str(), kForumSetKeywords[i], StASCIIUpper) ==
        kStEqual)
      return i;
  }
  return -1;
}

}  // namespace

bool ForumSetKeywordIsText(int index) {
  std::string_view k = kForumSetKeywords[index];
  auto ends = [&](std::string_view tail) {
    return k.size() >= tail.size() && k.substr(k.size() - tail.size()) == tail;
  };
  // webPort is a list of ports and "ip:port" items, like the setting of
  // the same name in the database.
  return ends("Ip") || ends("Ips") || k == "images" || k == "help" || k == "httpToFcgi" ||
         k == "webPort" ||
         k == "zevuzivMailbox" || k == "siteCharset" || k == "nntpMirror";
}

ForumQuilSettings wfQuilSettings;

ForumQuilSettings::ForumQuilSettings() : values(size_t(kForumSetKeywordCount)) {}

St ForumQuilSettings::Get(const char* keyword) const {
  int i = KeywordIndex(keyword);
  return i < 0 ? St() : values[size_t(i)];
}

int32_t ForumQuilSettings::GetInt(const char* keyword, int32_t dflt) const {
  St v = Get(keyword);
  int32_t n = 0;
  return !v.IsNil() && StIntStXfm(v, &n) ? n : dflt;
}

void ForumQuilSettings::Set(const char* keyword, St value) {
  int i = KeywordIndex(keyword);
  MA_CHECK(true, i >= 0, "ForumQuilSettings--keyword");
  values[size_t(i)] = std::move(value);
}

ForumQuilSettings ForumQuilSettingsParse(const St& text) {
  ForumQuilSettings settings;
  St rest = text;
  while (!rest.IsNil()) {
    St line = StSplitField(&rest, '\n');
    int32_t eq = StIndex(line, 0, '=');
    if (eq < 0) {
      // A keyword without "=" and value: no keyword of the list has none.
      St keyword = StStripBlanks(std::move(line));
      if (keyword.Empty()) continue;
      MaHalt(("Unknown keyword in settings file: " + keyword.Str()).c_str());
    }
    St keyword = StStripBlanks(StSubstr(line, 0, eq));
    St value = StStripBlanks(StSubstr(line, eq + 1, line.Length() - eq - 1));
    if (value.IsNil()) value = StCreate();
    int i = KeywordIndex(keyword.View());
    if (i < 0) MaHalt(("Unknown keyword in settings file: " + keyword.Str()).c_str());
    int32_t n = 0;
    if (!ForumSetKeywordIsText(i) && !StIntStXfm(value, &n))
      MaHalt((std::string("Bad ") + kForumSetKeywords[i] + " value in settings file").c_str());
    settings.values[size_t(i)] = std::move(value);
  }
  return settings;
}

St ForumQuilSettingsText(const ForumQuilSettings& settings) {
  std::string out;
  for (int i = 0; i < kForumSetKeywordCount; ++i) {
    const St& v = settings.values[size_t(i)];
    if (v.IsNil()) continue;
    out += kForumSetKeywords[i];
    out += '=';
    out += v.Str();
    out += '\n';
  }
  return StFromView(out);
}

ForumQuilSettings ForumRootQuilSettingsLoad(const std::string& path) {
  std::string text;
  uint16_t status = FiReadWhole(path, &text);
  if (status == kFiStatusNoFile) return ForumQuilSettings();
  MA_CHECK(true, status == 0, "Error reading settings file");
  return ForumQuilSettingsParse(StFromView(text));
}

uint16_t ForumRootQuilSettingsSave(const ForumQuilSettings& settings, const std::string& path) {
  St text = ForumQuilSettingsText(settings);
  // All or nothing: a crash leaves the old settings or the new ones.
  return FiWriteWhole(path, text.Str());
}

}  // namespace quil
