// The seams of the template package: store changes (where the journaling
// setters plug in), read marks, mail, timed actions and outside programs.
#include <sys/stat.h>
#include <unistd.h>

#include "Eval.h"
#include "ForumRead.h"
#include "FrmBk.h"
#include "Ma.h"
#include "ForumAcc.h"
#include "ForumUser.h"
#include "Ht.h"
#include "Qu.h"
#include "Td.h"
#include "Template.h"
#include "TemplateInt.h"
#include "Thread.h"

namespace quil {

int64_t TplStoreEpoch = 0;

// ---------------------------------------------------------------------------
// Store changes.  Every change a keyword makes to the conference arrives
// here and goes on through the journaling setter of the roll-forward log
// (FrmBk.h), which records it (and, with replication, forwards it) before
// it is made.  Only the hit and post counters go to the store directly:
// they have no journaling setter (a crash may lose the counts since the
// last save).

uint16_t TplStoreCatItemCreate(const ForumFile& folder, const St& type,
                               const St& name, const St& title,
                               ChHandle author, St* finalName) {
  ++TplStoreEpoch;
  return FrmBkFileItemCreate(folder, type, name, title, author, false,
                             finalName);
}

uint16_t TplStoreCatItemDestroy(const ForumFile& folder, const St& name) {
  ++TplStoreEpoch;
  return FrmBkCatItemDestroy(folder, name);
}

void TplStoreItemText(const ForumFile& item, TplItemText which, St value) {
  ++TplStoreEpoch;
  switch (which) {
    case TplItemText::kTitle: return FrmBkFileSetTitle(item, std::move(value));
    case TplItemText::kHtml: return FrmBkFileSetHtml(item, std::move(value));
    case TplItemText::kHtmlBanner: return FrmBkFileSetHtmlBanner(item, std::move(value));
    case TplItemText::kHtmlFooter: return FrmBkFileSetHtmlFooter(item, std::move(value));
    case TplItemText::kTemplate: return FrmBkFileSetTemplate(item, std::move(value));
    case TplItemText::kFolderEmail: return FrmBkFileSetFolderEmail(item, std::move(value));
    case TplItemText::kArchiveTo: return FrmBkFileSetArchiveTo(item, std::move(value));
    case TplItemText::kNewsgroup: return FrmBkCategorySetNewsgroup(item, std::move(value));
    case TplItemText::kUrl: return FrmBkFileSetUrl(item, std::move(value));
    case TplItemText::kFolderEmailPw: return FrmBkFileSetFolderEmailPw(item, std::move(value));
    case TplItemText::kFolderEmailReply:
      return FrmBkFileSetFolderEmailReply(item, std::move(value));
    case TplItemText::kFolderEmailReplyTo:
      return FrmBkFileSetFolderEmailReplyTo(item, std::move(value));
    case TplItemText::kFolderEmailFrom: return FrmBkFileSetFolderEmailFrom(item, std::move(value));
    case TplItemText::kBackground: return FrmBkFileSetBackground(item, std::move(value));
  }
}

void TplStoreItemInt(const ForumFile& item, TplItemInt which, int32_t value) {
  ++TplStoreEpoch;
  switch (which) {
    case TplItemInt::kArchiveDays: return FrmBkCategorySetArchiveDays(item, value);
    case TplItemInt::kSortSeq: return FrmBkFileSetSortSeq(item, value);
    case TplItemInt::kFolderEmailPostThru: return FrmBkFileSetFolderEmailPostThru(item, value);
    case TplItemInt::kFolderEmailStripSig: return FrmBkFileSetFolderEmailStripSig(item, value);
    case TplItemInt::kListItems: return FrmBkFileSetListItems(item, value);
    // The hit and post counters: no journaling setter.
    case TplItemInt::kHits: return ForumSetHits(item, value);
    case TplItemInt::kPosts: return ForumSetPosts(item, value);
    case TplItemInt::kChildrenHits: return ForumSetChildrenHits(item, value);
    case TplItemInt::kChildrenPosts: return ForumSetChildrenPosts(item, value);
    // What the tree operations keep: set by them alone, never by a keyword
    // (a replay gets them right by replaying the operations).
    case TplItemInt::kSize:
    case TplItemInt::kNextForum:
    case TplItemInt::kCategoryCount:
    case TplItemInt::kLinkFolders:
    case TplItemInt::kLinkWebs:
    case TplItemInt::kDeletedCount:
      MA_CHECK(TemplateDebugFlag, false, "TplStoreItemInt--a counter of the tree operations");
      return;
  }
}

// The item takes the bits as its own: they leave its Inherits mask too.
void TplStoreItemFlags(const ForumFile& item, uint32_t bits, bool on) {
  ++TplStoreEpoch;
  uint32_t flags = ForumFileStoredFlags(item);
  uint32_t changed = on ? flags | bits : flags & ~bits;
  uint32_t inherits = ForumFileInherits(item);
  if (inherits & bits) FrmBkFileSetInherits(item, inherits & ~bits);
  if (changed != flags) FrmBkFileSetFlags(item, changed);
  ForumFileFlagsPropagate(item);
}

void TplStoreItemDate(const ForumFile& item, bool created, LgDbTd value) {
  ++TplStoreEpoch;
  if (created) FrmBkFileSetCreateDate(item, value);
  else FrmBkFileSetDate(item, value);
}

void TplStoreItemUser(const ForumFile& item, ChHandle user) {
  ++TplStoreEpoch;
  FrmBkFileSetUser(item, user);
}

void TplStoreLinkUrl(const ForumFile& link, St url) {
  ++TplStoreEpoch;
  FrmBkLinkSetUrl(link, std::move(url));
}

void TplStoreLinkType(const ForumFile& link, int kind) {
  ++TplStoreEpoch;
  FrmBkLinkSetType(link, kind);
}

void TplStoreMessageCreate(const ForumFile& discussion, ChHandle author,
                           const St& title, const St& contentType,
                           const St& body, int32_t replyTo, int32_t* index) {
  ++TplStoreEpoch;
  if (index) *index = -1;
  // A post the log cannot take is not made: the index stays -1.
  (void)FrmBkForumItemCreate(discussion, author, title, contentType, body,
                             replyTo, false, index);
}

bool TplStoreMessageDestroy(const ForumFile& discussion, int32_t index) {
  ++TplStoreEpoch;
  return FrmBkItemDestroy(discussion, index);
}

// A message that is gone (2304) or a log that cannot take the record
// leaves the message as it was; the keyword has no result to give.
void TplStoreMessageTitle(const ForumFile& discussion, int32_t index,
                          St title) {
  ++TplStoreEpoch;
  (void)FrmBkItemSetTitle(discussion, index, std::move(title));
}

void TplStoreMessageBody(const ForumFile& discussion, int32_t index,
                         const St& body) {
  ++TplStoreEpoch;
  (void)FrmBkItemSetData(discussion, index, body);
}

void TplStoreMessageAuthor(const ForumFile& discussion, int32_t index,
                           ChHandle author) {
  ++TplStoreEpoch;
  (void)FrmBkItemSetAuthor(discussion, index, author);
}

void TplStoreMessageDate(const ForumFile& discussion, int32_t index,
                         LgDbTd date) {
  ++TplStoreEpoch;
  (void)FrmBkItemSetDate(discussion, index, date);
}

void TplStoreMessageId(const ForumFile& discussion, int32_t index,
                       const St& messageId) {
  ++TplStoreEpoch;
  (void)FrmBkItemSetMessageId(discussion, index, messageId);
}

uint16_t TplStoreUserCreate(ForumRoot root, int kind, const St& name,
                            const St& email, const St& digest, ChHandle* user) {
  ++TplStoreEpoch;
  return FrmBkUserCreate(root, kind, name, email, digest, user);
}

uint16_t TplStoreUserDestroy(ForumRoot root, ChHandle user) {
  ++TplStoreEpoch;
  return FrmBkUserDestroy(root, user);
}

uint16_t TplStoreUserSetName(ForumRoot root, ChHandle user, const St& name) {
  ++TplStoreEpoch;
  return FrmBkUserSetName(root, user, name);
}

void TplStoreUserText(ForumRoot root, ChHandle user, TplUserText which,
                      St value) {
  ++TplStoreEpoch;
  switch (which) {
    case TplUserText::kEmail:
      return FrmBkUserSetEmail(root, user, std::move(value));
#define TPL_USER_SET_TEXT(name) \
  case TplUserText::k##name:    \
    return FrmBkUserSet##name(root, user, std::move(value));
      FORUM_USER_TEXTS(TPL_USER_SET_TEXT)
#undef TPL_USER_SET_TEXT
  }
}

void TplStoreUserInt(ForumRoot root, ChHandle user, TplUserInt which,
                     int32_t value) {
  ++TplStoreEpoch;
  switch (which) {
#define TPL_USER_SET_INT(name, dflt) \
  case TplUserInt::k##name:          \
    return FrmBkUserSet##name(root, user, value);
    FORUM_USER_INTS(TPL_USER_SET_INT)
#undef TPL_USER_SET_INT
  }
}

void TplStoreUserFlags(ForumRoot root, ChHandle user, uint32_t flags) {
  ++TplStoreEpoch;
  FrmBkUserSetFlags(root, user, flags);
}

void TplStoreUserPassword(ForumRoot root, ChHandle user, St digest) {
  ++TplStoreEpoch;
  FrmBkUserSetPassword(root, user, std::move(digest));
}

uint16_t TplStoreGroupCreate(ForumRoot root, const St& name, ChHandle* group) {
  ++TplStoreEpoch;
  return FrmBkGroupCreate(root, name, group);
}

uint16_t TplStoreGroupDestroy(ForumRoot root, ChHandle group) {
  ++TplStoreEpoch;
  return FrmBkGroupDestroy(root, group);
}

uint16_t TplStoreGroupAddUser(ForumRoot root, ChHandle group, ChHandle user) {
  ++TplStoreEpoch;
  return FrmBkGroupAddUser(root, group, user);
}

uint16_t TplStoreGroupRemoveUser(ForumRoot root, ChHandle group,
                                 ChHandle user) {
  ++TplStoreEpoch;
  return FrmBkGroupRemoveUser(root, group, user);
}

void TplStoreRecordField(ForumRoot root, ChHandle rec, const St& field,
                         St value) {
  ++TplStoreEpoch;
  // A record the log cannot name (a document) keeps its fields.
  (void)FrmBkRecordSetField(root, rec, field, std::move(value));
}

void TplStoreAccEnable(const ForumFile& item, ChHandle principal,
                       uint32_t mask) {
  ++TplStoreEpoch;
  FrmBkAccEnable(item, principal, mask);
}

void TplStoreAccInhibit(const ForumFile& item, ChHandle principal,
                        uint32_t mask) {
  ++TplStoreEpoch;
  FrmBkAccInhibit(item, principal, mask);
}

void TplStoreAccClear(const ForumFile& item) {
  ++TplStoreEpoch;
  FrmBkAccClear(item);
}

void TplStoreSysopField(ForumRoot root, const char* field, St value) {
  ++TplStoreEpoch;
  // A text setting with a setter of its own goes through it (the backup
  // settings re-arm the periodic backup); others are named fields.
  std::string_view name(field);
#define TPL_SYSOP_TEXT(setting)                             \
  if (name == #setting)                                     \
    return FrmBkSysopSet##setting(root, std::move(value));
  FORUM_SYSOP_TEXTS(TPL_SYSOP_TEXT)
#undef TPL_SYSOP_TEXT
  ChHandle rec = ForumRootSysopRec(root);
  if (rec) (void)FrmBkRecordSetField(root, rec, StCStrXfm(field), std::move(value));
}

// ---------------------------------------------------------------------------
// Read marks: the forum's (ForumRead.h), set through their journaling
// setters.  A registered user's marks say what is new; guests have none
// and follow the forum's guest rule (a message is new while it is younger
// than the sysop's GuestNewHours, any other item is always new).

bool TplMarkIsNew(ForumRoot root, ChHandle user, const ForumFile& item) {
  if (!root || !item) return false;
  // A discussion counts as new while it has a message the user has not
  // read, as in folder listings.
  if (ForumFileIsForum(item)) return ForumHasNewMessages(item, user);
  return ForumIsNew(item, user);
}

bool TplMarkMessageIsNew(ForumRoot root, ChHandle user, const ForumFile& discussion,
                         int32_t index) {
  // ForumItemIsNew answers false for a deleted message itself: looking the
  // record up here first cost a second search of the discussion's list.
  if (!root || !discussion) return false;
  return ForumItemIsNew(discussion, index, user);
}

void TplMarkRead(ForumRoot root, ChHandle user, const ForumFile& item, int32_t index) {
  if (!root || !item || !ForumUserHasMarks(root, user)) return;
  if (ForumFileIsForum(item)) {
    if (index < 0) {
      FrmBkSetHighwaterAll(user, item);
    } else if (ForumItemRec(item, index)) {
      FrmBkSetHighwater(user, item, index);
    }
    return;
  }
  FrmBkSetHighwater(user, item, index < 0 ? 0 : index);
}

// ---------------------------------------------------------------------------
// Mail.

namespace {

std::vector<TemplateEmailFn>& EmailHooks() {
  static std::vector<TemplateEmailFn> hooks;
  return hooks;
}

std::vector<TemplateEmailLogFn>& EmailLogHooks() {
  static std::vector<TemplateEmailLogFn> hooks;
  return hooks;
}

// Log lines are one line: line breaks become blanks.
std::string OneLine(std::string_view text, size_t max) {
  std::string out(text.substr(0, max));
  for (char& c : out)
    if (c == '\r' || c == '\n') c = ' ';
  return out;
}

}  // namespace

void TemplateOnEmail(TemplateEmailFn fn) {
  if (fn) EmailHooks().push_back(std::move(fn));
}

void TemplateOnEmailLog(TemplateEmailLogFn fn) {
  if (fn) EmailLogHooks().push_back(std::move(fn));
}

void TemplateMailHooksClear() {
  EmailHooks().clear();
  EmailLogHooks().clear();
}

bool TemplateEmailSend(ForumRoot root, const St& recipients,
                       const St& message) {
  for (const TemplateEmailFn& fn : EmailHooks())
    if (fn(root, recipients, message)) return true;
  Wf_log_write("Template email (no mail gateway) To: %s Size=%d Text: %s",
               OneLine(recipients.View(), 500).c_str(), int(message.Length()),
               OneLine(message.View(), 2000).c_str());
  return false;
}

void TemplateEmailLog(const St& facility, const St& level, const St& text) {
  if (!EmailLogHooks().empty()) {
    for (const TemplateEmailLogFn& fn : EmailLogHooks())
      fn(facility, level, text);
    return;
  }
  Wf_log_write("Email log %s %s: %s", OneLine(facility.View(), 64).c_str(),
               OneLine(level.View(), 64).c_str(),
               OneLine(text.View(), 2000).c_str());
}

// ---------------------------------------------------------------------------
// Timed actions.

namespace {

struct QueuedAction {
  TemplateSite* site;
  St macro;
  ChHandle user;
  St param1, param2;
  int32_t id = 0;
};

std::vector<std::unique_ptr<QueuedAction>>& Actions() {
  static std::vector<std::unique_ptr<QueuedAction>> actions;
  return actions;
}

void RunAction(intptr_t argument, int32_t) {
  auto* a = reinterpret_cast<QueuedAction*>(argument);
  std::unique_ptr<QueuedAction> owner;
  auto& all = Actions();
  for (size_t i = 0; i < all.size(); ++i)
    if (all[i].get() == a) {
      owner = std::move(all[i]);
      all.erase(all.begin() + long(i));
      break;
    }
  if (!owner) return;
  auto& ids = owner->site->queued;
  for (size_t i = 0; i < ids.size(); ++i)
    if (ids[i] == owner->id) {
      ids.erase(ids.begin() + long(i));
      break;
    }
  TemplateSite& site = *owner->site;
  TemplateRef macro;
  if (!TemplateFileLookup(site, owner->macro, ForumFile(), &macro)) return;
  TemplateSite* saved = &TemplateCurrentSite();
  TemplateSetCurrentSite(&site);
  struct Back {
    TemplateSite* s;
    ~Back() { TemplateSetCurrentSite(s); }
  } back{saved};
  Buf buf;
  BufOpen(buf, kBufOpenSmallSize);
  std::unique_ptr<ExprContext> ctx =
      ExprContextCreate(owner->user, St(), ForumFile(), nullptr);
  ctx->qParam1 = owner->param1;
  ctx->qParam2 = owner->param2;
  BufEvalTemplate(buf, macro, *ctx);
}

}  // namespace

void TplQueueInit(TemplateSite& site) { site.queueOn = true; }

void TplQueueTerm(TemplateSite& site) {
  TplQueueClear(site);
  site.queueOn = false;
}

int32_t TplQueue(TemplateSite& site, const St& macro, ChHandle user,
                 int32_t delaySeconds, St param1, St param2) {
  if (!site.queueOn || macro.Empty()) return 0;
  if (delaySeconds < 0) delaySeconds = 0;
  if (delaySeconds > 366 * 86400) delaySeconds = 366 * 86400;
  auto a = std::make_unique<QueuedAction>();
  a->site = &site;
  a->macro = macro;
  a->user = user;
  a->param1 = std::move(param1);
  a->param2 = std::move(param2);
  QueuedAction* raw = a.get();
  Actions().push_back(std::move(a));
  raw->id = QuRamAdd(delaySeconds * 1000, RunAction,
                     reinterpret_cast<intptr_t>(raw));
  site.queued.push_back(raw->id);
  return raw->id;
}

void TplQueueClear(TemplateSite& site) {
  for (int32_t id : site.queued) QuRamKill(id);
  site.queued.clear();
  auto& all = Actions();
  for (size_t i = all.size(); i-- > 0;)
    if (all[i]->site == &site) all.erase(all.begin() + long(i));
}

// ---------------------------------------------------------------------------
// Outside programs.

namespace {

// A word for the shell, taken literally: '...' with ' written '\''.
std::string ShellQuote(std::string_view word) {
  std::string out = "'";
  for (char c : word) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  out += '\'';
  return out;
}

}  // namespace

int32_t TemplateRunProgram(const TemplateSite& site, const St& command,
                           const std::vector<St>* environment, St* output) {
  *output = St();
  std::vector<std::string> words;
  std::string_view rest = command.View();
  while (!rest.empty() && words.size() < 64) {
    size_t b = 0;
    while (b < rest.size() && StCharIsWhiteSpace(uint8_t(rest[b]))) ++b;
    rest.remove_prefix(b);
    if (rest.empty()) break;
    size_t e = 0;
    while (e < rest.size() && !StCharIsWhiteSpace(uint8_t(rest[e]))) ++e;
    words.emplace_back(rest.substr(0, e));
    rest.remove_prefix(e);
  }
  if (words.empty()) return 2;
  std::string program;
  struct stat st;
  if (!TemplateSiteFilePath(site, words[0], &program) ||
      stat(program.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      access(program.c_str(), X_OK) != 0)
    return 2;
  std::string cmd = "cd " + ShellQuote(site.docDir) + " && timeout -s KILL " +
                    std::to_string(kTemplateProgramSeconds) + " ";
  char cwd[4096];
  std::string absolute = program;
  if (program[0] != '/' && getcwd(cwd, sizeof cwd))
    absolute = std::string(cwd) + "/" + program;
  cmd += ShellQuote(absolute);
  for (size_t i = 1; i < words.size(); ++i) cmd += " " + ShellQuote(words[i]);
  cmd += " </dev/null 2>/dev/null | head -c " +
         std::to_string(kTemplateProgramOutput);
  return ForumThreadsRunScript(cmd.c_str(), environment, output);
}

}  // namespace quil
