// Templates: references, macros, bracket finding and parsing.
#include "Template.h"

#include <cstring>

#include "Ma.h"
#include "TemplateInt.h"

namespace quil {

bool TemplateDebugFlag = true;

// ---------------------------------------------------------------------------
// References.  Freeing a template releases its macros; a macro freed while
// another template is being freed is queued instead of freed in place, so a
// deep tree of macros is freed by one loop rather than by recursion.

namespace {

thread_local bool freeing = false;
thread_local std::vector<Template*>* freeQueue = nullptr;

void TemplateFree(Template* t) {
  if (freeing) {
    freeQueue->push_back(t);
    return;
  }
  std::vector<Template*> queue{t};
  freeing = true;
  freeQueue = &queue;
  while (!queue.empty()) {
    Template* next = queue.back();
    queue.pop_back();
    std::unique_ptr<Template> owner(next);
  }
  freeQueue = nullptr;
  freeing = false;
}

}  // namespace

TemplateRef::TemplateRef(const TemplateRef& other) noexcept : p_(other.p_) {
  if (p_) ++p_->refs_;
}

TemplateRef& TemplateRef::operator=(const TemplateRef& other) noexcept {
  if (other.p_) ++other.p_->refs_;
  Release();
  p_ = other.p_;
  return *this;
}

TemplateRef& TemplateRef::operator=(TemplateRef&& other) noexcept {
  if (this != &other) {
    Release();
    p_ = other.p_;
    other.p_ = nullptr;
  }
  return *this;
}

void TemplateRef::Release() noexcept {
  Template* t = p_;
  p_ = nullptr;
  if (!t) return;
  MA_CHECK(TemplateDebugFlag, t->refs_ >= 1, "TemplateDestroy--TmplRefCount");
  if (--t->refs_ == 0) TemplateFree(t);
}

TemplateRef TemplateRef::Create(St name, St text, Template* parent) {
  auto owner = std::make_unique<Template>(Template::Key{});
  owner->name_ = std::move(name);
  owner->text_ = std::move(text);
  owner->parent_ = parent;
  TemplateRef ref;
  ref.p_ = owner.release();
  return ref;
}

TemplateRef TemplateRef::Share(Template* t) noexcept {
  TemplateRef ref;
  ref.p_ = t;
  if (t) ++t->refs_;
  return ref;
}

Template::~Template() {
  if (macros_)
    for (auto& [key, macro] : *macros_)
      if (macro && macro->parent_ == this) macro->parent_ = nullptr;
}

TemplateRef Template::FindMacro(std::string_view name) const {
  if (!macros_ || name.size() > 4096) return TemplateRef();
  std::string key(name);
  for (char& c : key) c = char(StASCIIUpper[uint8_t(c)]);
  auto it = macros_->find(key);
  return it == macros_->end() ? TemplateRef() : it->second;
}

void Template::ForEachMacro(
    const std::function<void(const TemplateRef&)>& fn) const {
  if (!macros_) return;
  for (const auto& [key, macro] : *macros_) fn(macro);
}

TemplateRef TemplateRefInc(const TemplateRef& t) { return t; }

void TemplateDestroy(TemplateRef& t) {
  MA_CHECK(TemplateDebugFlag, !t || t->RefCount() >= 1,
           "TemplateDestroy--TmplRefCount");
  t = TemplateRef();
}

bool TemplateLookup(const TemplateRef& t, St name, TemplateRef* found) {
  if (!t) return false;
  TemplateRef m = t->FindMacro(name.View());
  if (!m) return false;
  *found = std::move(m);
  return true;
}

bool TemplateIsExtn(const TemplateRef& t) { return t && t->IsExtn(); }

bool TemplateIsEmpty(const TemplateRef& t) {
  if (!t) return true;
  const auto& pieces = t->Pieces();
  if (pieces.empty()) return true;
  return pieces.size() == 1 && pieces[0].expr.kind == kExprNone &&
         pieces[0].litLen == 0;
}

// ---------------------------------------------------------------------------
// Bracket finding.

namespace {

// Position of the next "%" at or after from, stepping over double-byte
// characters in japanese mode.  Only JIS (7-bit) text can hold a "%" byte
// inside a character: between ESC $ B (or ESC $ @) and ESC ( B / ESC ( J
// bytes go in pairs.  Shift-JIS and EUC second bytes are never "%" (0x25),
// and stepping over Shift-JIS lead bytes would misread EUC text, so both
// are scanned byte by byte.  jis carries the shift state between calls.
int32_t FindPercent(const uint8_t* p, int32_t n, int32_t from, bool japanese,
                    bool* jis) {
  if (!japanese) {
    if (from >= n) return -1;
    const void* hit = memchr(p + from, '%', size_t(n - from));
    return hit ? int32_t(static_cast<const uint8_t*>(hit) - p) : -1;
  }
  for (int32_t i = from; i < n; ++i) {
    uint8_t c = p[i];
    if (c == 27 && i + 2 < n) {
      if (p[i + 1] == '$' && (p[i + 2] == 'B' || p[i + 2] == '@')) {
        *jis = true;
        i += 2;
        continue;
      }
      if (p[i + 1] == '(' && (p[i + 2] == 'B' || p[i + 2] == 'J')) {
        *jis = false;
        i += 2;
        continue;
      }
    }
    if (*jis) {
      if (c >= 33 && c <= 126) ++i;  // both bytes of a JIS character
      continue;
    }
    if (c == '%') return i;
  }
  return -1;
}

bool FindBracket(const St& text, int32_t from, bool japanese, bool* jis,
                 TemplateBracket* out) {
  const uint8_t* p = text.Bytes();
  const int32_t n = text.Length();
  int32_t open = from;
  for (;;) {
    open = FindPercent(p, n, open, japanese, jis);
    if (open < 0 || open + 1 >= n) return false;
    if (p[open + 1] == '%') break;
    ++open;  // a single "%" is literal text
  }
  out->litEnd = open;
  out->stmtOff = open + 2;
  int32_t close = out->stmtOff;
  for (;;) {
    close = FindPercent(p, n, close, japanese, jis);
    if (close < 0 || close + 1 >= n) {
      out->stmtLen = n - out->stmtOff;
      out->next = n;
      return true;
    }
    if (p[close + 1] == '%') break;
    ++close;
  }
  out->stmtLen = close - out->stmtOff;
  int32_t next = close + 2;
  if (next < n && p[next] == '\r') {
    ++next;
    if (next < n && p[next] == '\n') ++next;
  } else if (next < n && p[next] == '\n') {
    ++next;
  }
  out->next = next;
  return true;
}

}  // namespace

bool TemplateParseNext(const St& text, int32_t from, bool japanese,
                       TemplateBracket* out) {
  bool jis = false;
  return FindBracket(text, from, japanese, &jis, out);
}

// ---------------------------------------------------------------------------
// Parsing.

TemplateRef TemplateParse(St text, const St& siteString, const St& urlBase,
                          bool japanese) {
  ExprParseInit();
  if (text.IsNil()) text = StCreate();
  TemplateRef t = TemplateRef::Create(St(), std::move(text), nullptr);
  const St& src = t->Text();
  ExprParseState state(t);
  bool jis = false;
  int32_t pos = 0;
  TemplateBracket b;
  while (FindBracket(src, pos, japanese, &jis, &b)) {
    state.Next(pos, b.litEnd - pos, b.stmtOff, b.stmtLen);
    pos = b.next;
  }
  state.Next(pos, src.Length() - pos, -1, 0);
  state.Stop();
  TemplateSelfRefBuild(*t, siteString, urlBase);
  return t;
}

TemplateRef TemplateParseStatement(St text) {
  ExprParseInit();
  if (text.IsNil()) text = StCreate();
  int32_t len = text.Length();
  TemplateRef t = TemplateRef::Create(St(), std::move(text), nullptr);
  ExprParseState state(t);
  state.Single(0, len);
  state.Stop();
  return t;
}

// ---------------------------------------------------------------------------
// Page types.

namespace {

constexpr const char* kPageTypeNames[kTemplatePageTypes + 1] = {
    nullptr,
    "login", "password", "greeting", "loginToPost", "register", "registered",
    "view", "toolbar", "toplevel", "folder", "addFolder", "editFolder",
    "previewFolder", "editPreviewFolder", "checkDeleteFolder",
    "deletedFolder", "discussion", "discussionTree", "addDiscussion",
    "editDiscussion", "previewDiscussion", "editPreviewDiscussion",
    "checkDeleteDiscussion", "deletedDiscussion", "discussionSummary",
    "addMessage", "replyToMessage", "messageError", "editMessage",
    "previewMessage", "editPreviewMessage", "checkDeleteMessage",
    "deletedMessage", "editHelp", "addLink", "editLink", "deletedLink",
    "addChat", "editChat", "deleteChat", "chatRoom", "HTMLchatRoomEnter",
    "HTMLchatRoom", "editPreferences", "editedPreferences", "userInfo",
    "subscribed", "unsubscribed", "noSubscriptions", "noNewMesssages",
    "accessList", "groups", "search", "searchResults", "sysop", "userMacro",
    "fileToServe", "checkModerated", "emailValidate", "chat", "error",
    "getInfo", "sessionLimit", "startupGeneral", "emailList", "emailRead",
    "emailWrite", "emailReply", "emailForward", "emailDelete", "emailSend",
    "loginFilter", "loginFailureFilter",
};

}  // namespace

const char* TemplatePageTypeName(int pageType) {
  if (pageType < 1 || pageType > kTemplatePageTypes) return nullptr;
  return kPageTypeNames[pageType];
}

int TemplatePageTypeFromName(std::string_view name) {
  for (int i = 1; i <= kTemplatePageTypes; ++i)
    if (ExprEqualNoCase(kPageTypeNames[i], name)) return i;
  return 0;
}

}  // namespace quil
