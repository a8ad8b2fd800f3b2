// The seams of the template package: store changes (where the journaling
// setters plug in), read marks, mail, timed actions and outside programs.
#include <sys/stat.h>
#include <unistd.h>

#include "Eval.h"
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
// Store changes.  THE JOURNALING SEAM: every change a keyword makes to the
// conference arrives here and nowhere else.  Integration with the
// roll-forward log replaces each body with the matching FrmBk... setter,
// which logs the change, forwards it to slaves and then applies it.

uint16_t TplStoreCatItemCreate(const ForumFile& folder, const St& type,
                               const St& name, const St& title,
                               ChHandle author, St* finalName) {
  ++TplStoreEpoch;
  return ForumCatItemCreate(folder, type, name, title, author, false,
                            finalName);
}

uint16_t TplStoreCatItemDestroy(const ForumFile& folder, const St& name) {
  ++TplStoreEpoch;
  return ForumCatItemDestroy(folder, name);
}

void TplStoreItemText(const ForumFile& item, TplItemText which, St value) {
  ++TplStoreEpoch;
  switch (which) {
    case TplItemText::kTitle:
      return ForumSetTitle(item, std::move(value));
#define TPL_SET_TEXT(name, field) \
  case TplItemText::k##name:      \
    return ForumSet##name(item, std::move(value));
      FORUM_FILE_TEXTS(TPL_SET_TEXT)
#undef TPL_SET_TEXT
  }
}

void TplStoreItemInt(const ForumFile& item, TplItemInt which, int32_t value) {
  ++TplStoreEpoch;
  switch (which) {
#define TPL_SET_INT(name, field, dflt) \
  case TplItemInt::k##name:      \
    return ForumSet##name(item, value);
    FORUM_FILE_INTS(TPL_SET_INT)
#undef TPL_SET_INT
  }
}

// The item takes the bits as its own: they leave its Inherits mask too.
void TplStoreItemFlags(const ForumFile& item, uint32_t bits, bool on) {
  ++TplStoreEpoch;
  uint32_t flags = ForumFileStoredFlags(item);
  uint32_t changed = on ? flags | bits : flags & ~bits;
  uint32_t inherits = ForumFileInherits(item);
  if (inherits & bits) ForumSetInherits(item, inherits & ~bits);
  if (changed != flags) ForumSetFlags(item, changed);
  ForumFileFlagsPropagate(item);
}

void TplStoreItemDate(const ForumFile& item, bool created, LgDbTd value) {
  ++TplStoreEpoch;
  if (created) ForumSetCreateDate(item, value);
  else ForumSetDate(item, value);
}

void TplStoreItemUser(const ForumFile& item, ChHandle user) {
  ++TplStoreEpoch;
  ForumSetUser(item, user);
}

void TplStoreLinkUrl(const ForumFile& link, St url) {
  ++TplStoreEpoch;
  ForumLinkSetUrl(link, std::move(url));
}

void TplStoreLinkType(const ForumFile& link, int kind) {
  ++TplStoreEpoch;
  ForumLinkSetType(link, kind);
}

void TplStoreMessageCreate(const ForumFile& discussion, ChHandle author,
                           const St& title, const St& contentType,
                           const St& body, int32_t replyTo, int32_t* index) {
  ++TplStoreEpoch;
  (void)ForumItemCreate(discussion, author, title, contentType, body, replyTo, false,
                  index);
}

bool TplStoreMessageDestroy(const ForumFile& discussion, int32_t index) {
  ++TplStoreEpoch;
  return ForumItemDestroy(discussion, index) == 0;
}

void TplStoreMessageTitle(const ForumFile& discussion, int32_t index,
                          St title) {
  ++TplStoreEpoch;
  (void)ForumItemSetTitle(discussion, index, std::move(title));
}

void TplStoreMessageBody(const ForumFile& discussion, int32_t index,
                         const St& body) {
  ++TplStoreEpoch;
  (void)ForumItemSetData(discussion, index, body);
}

void TplStoreMessageAuthor(const ForumFile& discussion, int32_t index,
                           ChHandle author) {
  ++TplStoreEpoch;
  (void)ForumItemSetAuthor(discussion, index, author);
}

void TplStoreMessageDate(const ForumFile& discussion, int32_t index,
                         LgDbTd date) {
  ++TplStoreEpoch;
  (void)ForumItemSetDate(discussion, index, date);
}

void TplStoreMessageId(const ForumFile& discussion, int32_t index,
                       const St& messageId) {
  ++TplStoreEpoch;
  (void)ForumItemSetMessageId(discussion, index, messageId);
}

uint16_t TplStoreUserCreate(ForumRoot root, int kind, const St& name,
                            const St& email, const St& digest, ChHandle* user) {
  ++TplStoreEpoch;
  return ForumUserCreate(root, kind, name, email, digest, user);
}

uint16_t TplStoreUserDestroy(ForumRoot root, ChHandle user) {
  ++TplStoreEpoch;
  return ForumUserDestroy(root, user);
}

uint16_t TplStoreUserSetName(ForumRoot root, ChHandle user, const St& name) {
  ++TplStoreEpoch;
  return ForumUserSetName(root, user, name);
}

void TplStoreUserText(ForumRoot root, ChHandle user, TplUserText which,
                      St value) {
  ++TplStoreEpoch;
  switch (which) {
    case TplUserText::kEmail:
      return ForumUserSetEmail(root, user, std::move(value));
#define TPL_USER_SET_TEXT(name) \
  case TplUserText::k##name:    \
    return ForumUserSet##name(root, user, std::move(value));
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
    return ForumUserSet##name(root, user, value);
    FORUM_USER_INTS(TPL_USER_SET_INT)
#undef TPL_USER_SET_INT
  }
}

void TplStoreUserFlags(ForumRoot root, ChHandle user, uint32_t flags) {
  ++TplStoreEpoch;
  ForumUserSetFlags(root, user, flags);
}

void TplStoreUserPassword(ForumRoot root, ChHandle user, St digest) {
  ++TplStoreEpoch;
  ForumUserSetPassword(root, user, std::move(digest));
}

uint16_t TplStoreGroupCreate(ForumRoot root, const St& name, ChHandle* group) {
  ++TplStoreEpoch;
  return ForumGroupCreate(root, name, group);
}

uint16_t TplStoreGroupDestroy(ForumRoot root, ChHandle group) {
  ++TplStoreEpoch;
  return ForumGroupDestroy(root, group);
}

uint16_t TplStoreGroupAddUser(ForumRoot root, ChHandle group, ChHandle user) {
  ++TplStoreEpoch;
  return ForumGroupAddUser(root, group, user);
}

uint16_t TplStoreGroupRemoveUser(ForumRoot root, ChHandle group,
                                 ChHandle user) {
  ++TplStoreEpoch;
  return ForumGroupRemoveUser(root, group, user);
}

void TplStoreRecordField(ForumRoot root, ChHandle rec, const St& field,
                         St value) {
  ++TplStoreEpoch;
  if (value.IsNil()) {
    ChHandle id = LgDbFieldIdLookup(rec, field);
    if (id) LgDbRecFieldRemove(rec, id);
  } else {
    LgDbRecPutText(rec, LgDbFieldIdGet(rec, field), std::move(value));
  }
  ForumChanged(root, false);
}

void TplStoreAccEnable(const ForumFile& item, ChHandle principal,
                       uint32_t mask) {
  ++TplStoreEpoch;
  ForumAccEnable(item, principal, mask);
}

void TplStoreAccInhibit(const ForumFile& item, ChHandle principal,
                        uint32_t mask) {
  ++TplStoreEpoch;
  ForumAccInhibit(item, principal, mask);
}

void TplStoreAccClear(const ForumFile& item) { ForumAccClear(item); }

void TplStoreSysopField(ForumRoot root, const char* field, St value) {
  ++TplStoreEpoch;
  ChHandle rec = ForumRootSysopRec(root);
  if (rec) TplStoreRecordField(root, rec, StCStrXfm(field), std::move(value));
}

// ---------------------------------------------------------------------------
// Read marks: the guests' rule for everyone until the read-mark package
// exists (Template.h).

namespace {

// Seconds since 1970 of a stored date.
int64_t Seconds(const LgDbTd& td) {
  return TdToSeconds(LgDbTdToTd(td), false);
}

int64_t NewCutoff(ForumRoot root) {
  return TdSecondsNow() - int64_t(ForumSysopGuestNewHours(root)) * 3600;
}

}  // namespace

bool TplMarkIsNew(ForumRoot root, ChHandle, const ForumFile& item) {
  if (!root || !item) return false;
  return Seconds(ForumFileDate(item)) > NewCutoff(root);
}

bool TplMarkMessageIsNew(ForumRoot root, ChHandle, const ForumFile& discussion,
                         int32_t index) {
  if (!root || !discussion || !ForumItemRec(discussion, index)) return false;
  return Seconds(ForumItemDate(discussion, index)) > NewCutoff(root);
}

void TplMarkRead(ForumRoot, ChHandle, const ForumFile&, int32_t) {}

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
