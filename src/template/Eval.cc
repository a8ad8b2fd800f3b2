// The evaluator: value stack, operators, statements and the piece walk.
#include "Eval.h"

#include <array>
#include <charconv>
#include <cstring>

#include "Ma.h"
#include "Qu.h"
#include "TemplateInt.h"
#include "Thread.h"

namespace quil {

namespace {

std::array<ExprKeywordFn, kExprKeywordCodes> handlers{};
std::array<int32_t, kExprKeywordCodes> selectors{};
std::array<bool, kExprKeywordCodes> stable{};
// The table entry of each code, filled as codes are first called.
std::array<const ExprKeyword*, kExprKeywordCodes> entries{};

// Sets a variable for the lifetime of the guard and puts the old value back
// when it ends, on every path (a keyword may raise).
template <class T>
class Restore {
 public:
  Restore(T& ref, T value) : ref_(ref), saved_(ref) { ref_ = value; }
  ~Restore() { ref_ = saved_; }
  Restore(const Restore&) = delete;
  Restore& operator=(const Restore&) = delete;

 private:
  T& ref_;
  T saved_;
};

constexpr std::string_view kWhileLimitMessage =
    "<b>While loop limit reached</b><br>";
constexpr std::string_view kMacroDepthMessage =
    "<b>%% Macro calls nested too deep %%</b>";
constexpr std::string_view kSizeLimitMessage =
    "<b>%% Output limit reached %%</b>";

// Text of a value for appending: a view into its string, or its decimal
// digits in buf.
std::string_view ValueView(const ExprValue& v, char (&buf)[16]) {
  if (v.type == kValueInt) {
    auto r = std::to_chars(buf, buf + sizeof buf, v.i);
    return std::string_view(buf, size_t(r.ptr - buf));
  }
  return v.s.View();
}

}  // namespace

// ---------------------------------------------------------------------------
// Context.

ExprContext::ExprContext(int32_t whileLimit)
    : stack_(32), whileBudget_(whileLimit), whileReset_(whileLimit) {}

ExprContext::~ExprContext() = default;

void ExprContext::Write(std::string_view text) {
  if (text.empty() || stopped_) return;
  Buf& out = Output();
  if (!out.IsOpen()) BufOpen(out);
  if (sizeLimit_ > 0 &&
      int64_t(out.Position()) + int64_t(text.size()) > sizeLimit_)
    return Stop(true);
  memcpy(BufReserveTail(out, int32_t(text.size())), text.data(), text.size());
}

void ExprContext::WriteInt(int64_t value) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  Write(std::string_view(buf, size_t(r.ptr - buf)));
}

// A literal run, with the certificate put into its self-referring links
// (the offsets TemplateParse found) when the rendering has one.
void ExprContext::WriteLiteral(const Template& t, const TemplatePiece& p) {
  std::string_view lit = t.Literal(p);
  if (p.selfCount == 0 || certificate.Empty()) return Write(lit);
  const std::vector<int32_t>& refs = t.SelfRefs();
  size_t at = 0;
  for (int32_t k = 0; k < p.selfCount; ++k) {
    size_t off = size_t(refs[size_t(p.selfFirst + k)]);
    Write(lit.substr(at, off - at));
    Write(certificate.View());
    at = off;
  }
  Write(lit.substr(at));
}

void ExprContext::ClearOutput() {
  Buf& out = Output();
  out.Truncate(out_ ? outStart_ : 0);
  lastYield_ = out.Position();
}

void ExprContext::Stop(bool sizeLimit) {
  if (stopped_) return;
  stopped_ = true;
  if (sizeLimit) {
    Buf& out = Output();
    if (!out.IsOpen()) BufOpen(out);
    BufAddView(out, kSizeLimitMessage);
  }
}

void ExprContext::NoteUnavailable(int code) {
  for (int16_t c : unavailable_)
    if (c == code) return;
  if (unavailable_.size() < 1024) unavailable_.push_back(int16_t(code));
}

void ExprContext::SetFamilyState(int family,
                                 std::unique_ptr<ExprContextExt> state) {
  if (family < 0) return;
  if (family_.size() <= size_t(family)) family_.resize(size_t(family) + 1);
  family_[size_t(family)] = std::move(state);
}

Template* ExprContext::EvalCaller(const Template* root) const {
  for (size_t i = evalCallers_.size(); i-- > 0;)
    if (evalCallers_[i].first == root) return evalCallers_[i].second;
  return nullptr;
}

// First use: one slot per local name known so far, and 50 more.
ExprValue& ExprContext::GrowSlots(int32_t slot) {
  size_t n = size_t(TemplateLocalCount()) + 50;
  if (n <= size_t(slot)) n = size_t(slot) + 50;
  locals_.resize(n);
  return locals_[size_t(slot)];
}

const ExprValue& ExprContext::Local(int32_t slot) { return Slot(slot); }

void ExprContext::SetLocal(int32_t slot, ExprValue value) {
  Slot(slot) = std::move(value);
}

void ExprContextSetErrTitle(ExprContext& ctx, St title) {
  ctx.errTitle = std::move(title);
}
void ExprContextSetErrMsg(ExprContext& ctx, St message) {
  ctx.errMsg = std::move(message);
}
void ExprContextSetActionPath(ExprContext& ctx, St path) {
  ctx.actionPath = std::move(path);
}
void ExprContextSetLoginType(ExprContext& ctx, int type) {
  ctx.loginType = type;
}
void ExprContextSetRegisterType(ExprContext& ctx, int type) {
  ctx.registerType = type;
}
void ExprContextSetPageType(ExprContext& ctx, int pageType) {
  ctx.pageType = pageType;
}
void ExprContextAddFormValue(ExprContext& ctx, St name, St value) {
  ctx.formValues.emplace_back(std::move(name), std::move(value));
}
void ExprContextSetAuthorID(ExprContext& ctx, ChHandle author) {
  ctx.authorOverride = author;
  ctx.hasAuthorOverride = true;
}
void ExprContextSetEdit(ExprContext& ctx, ExprEdit field, St value) {
  ctx.edit[size_t(field)] = std::move(value);
}
void ExprContextSetEditFolder(ExprContext& ctx, ExprEditForm form) {
  ctx.edit = std::move(form);
}
void ExprContextSetAddDiscussion(ExprContext& ctx, ExprEditForm form) {
  ctx.edit = std::move(form);
}
void ExprContextSetAddLink(ExprContext& ctx, ExprEditForm form) {
  ctx.edit = std::move(form);
}
void ExprContextSetAddLive(ExprContext& ctx, ExprEditForm form) {
  ctx.edit = std::move(form);
}
void ExprContextSetAddMessage(ExprContext& ctx, ExprEditForm form) {
  ctx.edit = std::move(form);
}
void ExprContextSetMessage(ExprContext& ctx, St message) {
  ctx.message = std::move(message);
}
void ExprContextSetTitle(ExprContext& ctx, St title) {
  ctx.title = std::move(title);
}
void ExprContextSetShowAuthor(ExprContext& ctx, bool on) {
  ctx.showAuthor = on;
}
void ExprContextSetAddMsgItem(ExprContext& ctx, const ExprMsgItem& item) {
  ctx.msgItem = item;
}
void ExprContextSetAddMsgList(ExprContext& ctx, ExprMsgList list) {
  ctx.msgList = std::move(list);
}
void ExprContextSetPrefs(ExprContext& ctx, ExprPrefsForm prefs) {
  ctx.prefs = std::move(prefs);
}

// ---------------------------------------------------------------------------
// Handlers.

bool ExprKeywordRegister(std::string_view name, ExprKeywordFn fn) {
  return ExprKeywordRegisterArg(name, fn, 0);
}

bool ExprKeywordRegisterArg(std::string_view name, ExprKeywordFn fn,
                            int32_t selector) {
  const ExprKeyword* kw = ExprKeywordLookup(name);
  if (!kw) return false;
  handlers[size_t(kw->code)] = fn;
  selectors[size_t(kw->code)] = selector;
  stable[size_t(kw->code)] = ExprKeywordIsStable(kw->name);
  return true;
}

uint64_t ExprUnstableCalls = 0;

bool ExprKeywordIsStable(std::string_view name) {
  auto has = [&](std::string_view part) { return name.find(part) != std::string_view::npos; };
  // Families that read stored state, the user or the request's text.
  static constexpr std::string_view kFamilies[] = {
      "path", "parent", "author", "site", "item", "pict", "msgList", "folderList",
      "toolbar", "user", ".user", "cmdIs", "linkShowDescription", "linkDescription"};
  // Single keywords of the same kind: the sysop's texts, the request's
  // fields, constants and the string and date methods (dates given, not
  // the clock's).
  static constexpr std::string_view kSingles[] = {
      "banner", "footer", "background", "message", "treeIndent", "location",
      "actionPath", "actionPathCommand", "actionPathLocation", "form", "getValue",
      "hasValue", "getAllValues", "noop", "nop", "cr", "lf", "crlf", "pad",
      "version", "platform", "program", "programName", "programNameReg", "copyright",
      "programDesc", "programPromo", "urlBase", ".toSGML", ".toURL", ".fromURL",
      ".fromSGML", ".trim", ".substr", ".substring", ".head", ".tail", ".split",
      ".count", ".toUpper", ".toLower", ".intWithCommas", ".htmlStripTags",
      ".plainTextToHtml", ".httpToLinks", ".htmlClosure", ".getChar", ".lookup",
      ".nameToFirstLast", ".nameToLastFirst", ".getFirstName", ".getLastName",
      ".intToHex", ".hexToInt", ".numberFormat", ".isObjectionable", ".dateFormat",
      ".dateLessThan", ".dateEqual", ".dateGreaterThan", ".dateAddSeconds",
      ".dateSubtractSeconds", ".dateDeltaSeconds", ".selfRef"};
  // What those families also hold that changes the store, reads the
  // clock, the connection or the session, or counts views.
  static constexpr std::string_view kNever[] = {
      "Destroy", "Inc",      "Dec",       "Clear",
      "Delete",  "Export",   "Import",  "Select",  "Search",   "Mark",      "Hits",
      "Posts",   "Subscribe", "Play",   "Record",  "Check",    "Mailbox",   "Inbox",
      "Away",    "LastLogin", "Logout", "Cookie",  "Http",     "ession",    "andom",
      "Synch",   "Template", "Password", "Apop",   "Secure",   "siteHost",  "siteUrl",
      "Codebase", "Tables",  "pathAdd", "userDate", "Remote",  "Alias",     "Mime"};
  bool known = false;
  for (std::string_view f : kFamilies) known = known || name.starts_with(f);
  for (std::string_view k : kSingles) known = known || name == k;
  if (!known) return false;
  for (std::string_view n : kNever)
    if (has(n)) return false;
  // Setters (setPathTitle, .setUserName) and makers (userCreate).
  return !name.starts_with("set") && !name.starts_with(".set") && !name.ends_with("Create");
}

ExprKeywordFn ExprKeywordHandler(int code) {
  if (code < 0 || code >= kExprKeywordCodes) return nullptr;
  return handlers[size_t(code)];
}

int32_t ExprKeywordSelector(int code) {
  if (code < 0 || code >= kExprKeywordCodes) return 0;
  return selectors[size_t(code)];
}

// ---------------------------------------------------------------------------
// The value stack and the items.

class ExprRunner {
 public:
  explicit ExprRunner(ExprContext& ctx) : c_(ctx) {}

  void Run(const ExprItem* items, int32_t count);
  static St EvalParsed(ExprContext& ctx, const TemplateRef& t);

  // The next free stack entry, made room for.
  ExprValue& PushSlot() {
    if (c_.sp_ == c_.stack_.size()) c_.stack_.resize(c_.stack_.size() * 2);
    return c_.stack_[c_.sp_++];
  }
  void PushInt(int32_t i) {
    ExprValue& v = PushSlot();
    v.type = kValueInt;
    v.i = i;
    v.s = St();
  }
  ExprValue Pop() { return std::move(c_.stack_[--c_.sp_]); }

  // The value itself (a reference resolved to its slot).
  const ExprValue& Deref(const ExprValue& v) {
    return v.type == kValueRef ? c_.Slot(v.i) : v;
  }
  int32_t ToInt(const ExprValue& raw) {
    const ExprValue& v = Deref(raw);
    if (v.type == kValueInt) return v.i;
    int32_t out;
    StIntStXfm(v.s, &out);
    return out;
  }
  St ToSt(const ExprValue& raw) {
    const ExprValue& v = Deref(raw);
    return v.type == kValueInt ? StStIntXfm(v.i) : v.s;
  }
  bool Truth(const ExprValue& raw) {
    const ExprValue& v = Deref(raw);
    return v.type == kValueInt ? v.i != 0 : !v.s.Empty();
  }
  void WriteValue(const ExprValue& raw) {
    const ExprValue& v = Deref(raw);
    if (v.type == kValueInt) c_.WriteInt(v.i);
    else c_.Write(v.s.View());
  }

 private:
  void Operator(uint8_t op);
  void Concat();
  int Compare(const ExprValue& a, const ExprValue& b);
  void Call(const ExprItem& it);

  ExprContext& c_;
};

int ExprRunner::Compare(const ExprValue& ra, const ExprValue& rb) {
  const ExprValue& a = Deref(ra);
  const ExprValue& b = Deref(rb);
  auto num = [](int64_t x, int64_t y) { return x < y ? -1 : x > y ? 1 : 0; };
  if (a.type == kValueInt && b.type == kValueInt) return num(a.i, b.i);
  int32_t v;
  if (a.type == kValueInt && StIntStXfm(b.s, &v)) return num(a.i, v);
  if (b.type == kValueInt && StIntStXfm(a.s, &v)) return num(v, b.i);
  char ba[16], bb[16];
  std::string_view x = ValueView(a, ba), y = ValueView(b, bb);
  int r = StArrayCompare(x.data(), int32_t(x.size()), y.data(),
                         int32_t(y.size()), StLiteral);
  return r == kStBefore ? -1 : r == kStAfter ? 1 : 0;
}

void ExprRunner::Concat() {
  ExprValue& l = c_.stack_[c_.sp_ - 2];
  ExprValue& r = c_.stack_[c_.sp_ - 1];
  St s;
  if (l.type == kValueString) s = std::move(l.s);
  else s = ToSt(l);
  char buf[16];
  std::string_view tail = ValueView(Deref(r), buf);
  if (c_.sizeLimit_ > 0 &&
      int64_t(s.Length()) + int64_t(tail.size()) > c_.sizeLimit_) {
    c_.Stop(true);
    s = St();
  } else if (!tail.empty()) {
    s = StAppendData(std::move(s), tail.data(), int32_t(tail.size()));
  } else if (s.IsNil()) {
    s = StCreate();
  }
  l.type = kValueString;
  l.s = std::move(s);
  r.s = St();
  --c_.sp_;
}

void ExprRunner::Operator(uint8_t op) {
  if (op == kOpCat) return Concat();
  if (op == kOpNeg || op == kOpPlus || op == kOpNot) {
    ExprValue& v = c_.stack_[c_.sp_ - 1];
    int32_t r = op == kOpNot ? !Truth(v)
                : op == kOpNeg ? int32_t(0u - uint32_t(ToInt(v)))
                               : ToInt(v);
    v.type = kValueInt;
    v.i = r;
    v.s = St();
    return;
  }
  ExprValue& a = c_.stack_[c_.sp_ - 2];
  ExprValue& b = c_.stack_[c_.sp_ - 1];
  int32_t r = 0;
  switch (op) {
    case kOpAdd:
      r = int32_t(uint32_t(ToInt(a)) + uint32_t(ToInt(b)));
      break;
    case kOpSub:
      r = int32_t(uint32_t(ToInt(a)) - uint32_t(ToInt(b)));
      break;
    case kOpMul:
      r = int32_t(uint32_t(int64_t(ToInt(a)) * int64_t(ToInt(b))));
      break;
    case kOpDiv:
    case kOpRem: {
      int64_t x = ToInt(a), y = ToInt(b);
      if (y != 0) r = int32_t(uint32_t(op == kOpDiv ? x / y : x % y));
      break;
    }
    case kOpEq: r = Compare(a, b) == 0; break;
    case kOpNe: r = Compare(a, b) != 0; break;
    case kOpLt: r = Compare(a, b) < 0; break;
    case kOpGt: r = Compare(a, b) > 0; break;
    case kOpLe: r = Compare(a, b) <= 0; break;
    case kOpGe: r = Compare(a, b) >= 0; break;
    case kOpAnd: r = Truth(a) && Truth(b); break;
    case kOpOr: r = Truth(a) || Truth(b); break;
    default:
      MaHalt("Unknown operator type");
  }
  a.type = kValueInt;
  a.i = r;
  a.s = St();
  b.s = St();
  --c_.sp_;
}

void ExprRunner::Call(const ExprItem& it) {
  const ExprKeyword*& entry = entries[size_t(it.code)];
  if (!entry) entry = &ExprKeywordByCode(it.code);
  const ExprKeyword& kw = *entry;
  int argc = it.argc;
  if (kw.maxArgs >= 0 && argc > kw.maxArgs) {
    for (; argc > kw.maxArgs; --argc) c_.stack_[--c_.sp_].s = St();
  }
  bool method = it.kind == kItemMethod;
  size_t base = c_.sp_ - size_t(argc) - (method ? 1 : 0);
  ExprCall call(c_, it, base + (method ? 1 : 0), argc, kw);
  if (!stable[size_t(it.code)]) ++ExprUnstableCalls;
  if (ExprKeywordFn fn = handlers[size_t(it.code)]) fn(call);
  else c_.NoteUnavailable(it.code);
  for (size_t i = base + 1; i < c_.sp_; ++i) c_.stack_[i].s = St();
  // A keyword without arguments pushes onto a slot not yet in use.
  if (base == c_.stack_.size()) c_.stack_.resize(c_.stack_.size() * 2);
  c_.stack_[base] = std::move(call.Result());
  c_.sp_ = base + 1;
}

void ExprRunner::Run(const ExprItem* items, int32_t count) {
  for (int32_t k = 0; k < count; ++k) {
    const ExprItem& it = items[k];
    switch (it.kind) {
      case kItemInt:
        PushInt(it.value);
        break;
      case kItemString: {
        ExprValue& v = PushSlot();
        v.type = kValueString;
        v.s = it.text;
        break;
      }
      case kItemLocal: {
        c_.Slot(it.value);
        ExprValue& v = PushSlot();
        v.type = kValueRef;
        v.i = it.value;
        v.s = St();
        break;
      }
      case kItemField: {
        const ExprHooks& hooks = ExprGetHooks();
        // Session fields live outside the store.
        if (hooks.fieldGet || ExprKwArg(it.sub) == ExprKwArg::kSession) ++ExprUnstableCalls;
        St value = hooks.fieldGet
                       ? hooks.fieldGet(c_, ExprKwArg(it.sub), it.text)
                       : TemplateFieldGet(c_, ExprKwArg(it.sub), it.code, it.text);
        ExprValue& v = PushSlot();
        v.type = kValueString;
        v.s = std::move(value);
        break;
      }
      case kItemOperator:
        Operator(it.sub);
        break;
      case kItemKeyword:
      case kItemMethod:
        Call(it);
        break;
    }
  }
}

// ---------------------------------------------------------------------------
// Calls.

int32_t ExprCall::Selector() const { return selectors[size_t(item_.code)]; }

const ExprValue& ExprCall::Raw(size_t position) const {
  const ExprValue& v = ctx_.stack_[position];
  return v.type == kValueRef ? ctx_.Slot(v.i) : v;
}

bool ExprCall::ReceiverIsInt() const {
  return Raw(first_ - 1).type == kValueInt;
}

St ExprCall::ArgSt(int i) const {
  if (i < argc_) return ExprRunner(ctx_).ToSt(ctx_.stack_[first_ + size_t(i)]);
  return DefaultArg(i);
}

int32_t ExprCall::ArgInt(int i) const {
  if (i < argc_) return ExprRunner(ctx_).ToInt(ctx_.stack_[first_ + size_t(i)]);
  int32_t v;
  StIntStXfm(DefaultArg(i), &v);
  return v;
}

bool ExprCall::ArgTruth(int i) const {
  if (i < argc_) return ExprRunner(ctx_).Truth(ctx_.stack_[first_ + size_t(i)]);
  return !DefaultArg(i).Empty();
}

St ExprCall::ReceiverSt() const {
  return ExprRunner(ctx_).ToSt(ctx_.stack_[first_ - 1]);
}

int32_t ExprCall::ReceiverInt() const {
  return ExprRunner(ctx_).ToInt(ctx_.stack_[first_ - 1]);
}

St ExprCall::DefaultArg(int i) const {
  const char* d = kw_.defaults;
  if (!d) return St();
  for (int k = 0; k < i; ++k) {
    d = strchr(d, '|');
    if (!d) return St();
    ++d;
  }
  const char* end = strchr(d, '|');
  return StCreateLen(d, end ? int32_t(end - d) : int32_t(strlen(d)));
}

// ---------------------------------------------------------------------------
// Statements.

bool ExprEval(const Expr& e, const ExprItem* items, ExprContext& ctx) {
  ExprRunner run(ctx);
  const ExprItem* first = items + e.first;
  switch (e.kind) {
    case kExprNone:
    case kExprElse:
    case kExprEndIf:
    case kExprEndWhile:
      return true;
    case kExprFunction:
      // Until the script binding compiles functions, the place of each one
      // says so in the page.
      if (!ExprGetHooks().scriptCompile)
        ctx.Write("<b>%% Server-side scripts are not available %%</b>");
      return true;
    case kExprEndChain:
    case kExprLoopBack:
    case kExprBreak:
    case kExprContinue:
    case kExprReturn:
      return false;
    case kExprError:
      ctx.Write("<b>%% ");
      ctx.Write(e.text.View());
      ctx.Write(" %%</b>");
      return true;
    default:
      break;
  }
  if (e.kind == kExprWhile) {
    if (ctx.whileBudget_ > 0) --ctx.whileBudget_;
    if (ctx.whileBudget_ <= 0) {
      ctx.Write(kWhileLimitMessage);
      return false;
    }
    if (e.count == 0) return false;
  }
  size_t base = ctx.sp_;
  if (e.kind == kExprSetLocal && e.appendInPlace) {
    run.Run(first + 1, e.count - 2);
    MA_CHECK(ExprDebugFlag, ctx.sp_ == base + 1,
             "ExprEval--result string from interior operand");
    ExprValue rhs = run.Pop();
    St tail = run.ToSt(rhs);  // a copy when rhs is this very slot
    ExprValue& slot = ctx.Slot(e.target);
    if (slot.type != kValueString) {
      slot.s = StStIntXfm(slot.i);
      slot.type = kValueString;
    }
    if (ctx.sizeLimit_ > 0 &&
        int64_t(slot.s.Length()) + tail.Length() > ctx.sizeLimit_) {
      ctx.Stop(true);
    } else {
      slot.s = StCat(std::move(slot.s), std::move(tail));
      if (slot.s.IsNil()) slot.s = StCreate();
    }
    return true;
  }
  run.Run(first, e.count);
  MA_CHECK(ExprDebugFlag, ctx.sp_ == base + (e.count > 0 ? 1 : 0),
           "ExprEval--result string from interior operand");
  if (e.count == 0) return true;
  ExprValue v = run.Pop();
  switch (e.kind) {
    case kExprPlain:
      run.WriteValue(v);
      return true;
    case kExprIf:
    case kExprElseIf:
    case kExprWhile:
      return run.Truth(v);
    case kExprSetLocal: {
      if (v.type == kValueRef) {
        if (v.i == e.target) return true;
        v = ctx.Slot(v.i);
      }
      ctx.Slot(e.target) = std::move(v);
      return true;
    }
    case kExprSetPath:
    case kExprSetUser:
    case kExprSetAuthor:
    case kExprSetSite:
    case kExprSetSession: {
      const ExprHooks& hooks = ExprGetHooks();
      ExprKwArg scope = e.kind == kExprSetPath     ? ExprKwArg::kPath
                        : e.kind == kExprSetUser   ? ExprKwArg::kUser
                        : e.kind == kExprSetAuthor ? ExprKwArg::kAuthor
                        : e.kind == kExprSetSite   ? ExprKwArg::kSite
                                                   : ExprKwArg::kSession;
      if (hooks.fieldSet) {
        hooks.fieldSet(ctx, scope, e.text, run.ToSt(v));
      } else {
        static const char* const kScopeNames[] = {"", "user", "author", "path",
                                                  "site", "session"};
        TemplateFieldSet(ctx, scope,
                         ExprKeywordLookup(kScopeNames[int(scope)])->code,
                         e.text, run.ToSt(v));
      }
      return true;
    }
    case kExprBroadcast: {
      const ExprHooks& hooks = ExprGetHooks();
      if (hooks.broadcast) hooks.broadcast(ctx, run.ToSt(v));
      return true;
    }
    default:
      MaAssertFailure("ExprEval--unknown statement kind");
  }
}

// ---------------------------------------------------------------------------
// Templates.

void BufEvalTemplate(Buf& buf, const TemplateRef& t, ExprContext& ctx) {
  if (!t || ctx.stopped_) return;
  if (!buf.IsOpen()) BufOpen(buf);
  TemplateRef hold = t;
  bool adopt = ctx.out_ == nullptr;
  Restore<Buf*> out(ctx.out_, adopt ? &buf : ctx.out_);
  Restore<int32_t> start(ctx.outStart_,
                         adopt ? buf.Position() : ctx.outStart_);
  if (adopt) ctx.lastYield_ = buf.Position();
  Restore<Template*> current(ctx.current_, hold.get());
  const Template& tpl = *hold;
  const std::vector<TemplatePiece>& pieces = tpl.Pieces();
  const ExprItem* items = tpl.Items().data();
  const ExprHooks& hooks = ExprGetHooks();
  const int32_t n = int32_t(pieces.size());
  int32_t i = 0;
  while (i >= 0 && i < n && !ctx.stopped_) {
    const TemplatePiece& p = pieces[size_t(i)];
    if (p.expr.kind == kExprNone || ExprEval(p.expr, items, ctx)) {
      if (p.litLen > 0) ctx.WriteLiteral(tpl, p);
      ++i;
    } else {
      i = p.jump;
    }
    if (ctx.stepLimit_ > 0 && ++ctx.steps_ >= ctx.stepLimit_) ctx.Stop(false);
    int32_t len = ctx.Output().Position();
    if (len - ctx.lastYield_ > 100 || len < ctx.lastYield_) {
      ctx.lastYield_ = len;
      if (hooks.yield) hooks.yield();
      else QuBgCk();
    }
    if (hooks.quit ? hooks.quit() : ForumQuitFlag.load()) ctx.Stop(false);
  }
}

St TemplateProcess(const TemplateRef& t, ExprContext& ctx) {
  Buf buf;
  BufOpen(buf, kBufOpenSmallSize);
  {
    Restore<Buf*> out(ctx.out_, &buf);
    Restore<int32_t> start(ctx.outStart_, 0);
    Restore<int32_t> yielded(ctx.lastYield_, 0);
    BufEvalTemplate(buf, t, ctx);
  }
  return BufClose(buf);
}

void ExprCallMacro(ExprContext& ctx, const TemplateRef& m) {
  if (!m) return;
  ExprNestingScope nest(ctx);
  if (!nest.Entered()) return ctx.Write(kMacroDepthMessage);
  BufEvalTemplate(ctx.Output(), m, ctx);
}

// Registers an evaluated text's caller for its lifetime (EvalCaller).
class ExprEvalScope {
 public:
  ExprEvalScope(ExprContext& ctx, const Template* text)
      : ctx_(ctx) {
    ctx_.evalCallers_.emplace_back(text, ctx_.current_);
  }
  ~ExprEvalScope() { ctx_.evalCallers_.pop_back(); }
  ExprEvalScope(const ExprEvalScope&) = delete;
  ExprEvalScope& operator=(const ExprEvalScope&) = delete;

 private:
  ExprContext& ctx_;
};

St ExprRunner::EvalParsed(ExprContext& ctx, const TemplateRef& t) {
  ExprNestingScope nest(ctx);
  if (!nest.Entered()) {
    ctx.Write(kMacroDepthMessage);
    return St();
  }
  ExprEvalScope scope(ctx, t.get());
  return TemplateProcess(t, ctx);
}

St ExprEvalSt(ExprContext& ctx, const St& text) {
  return ExprRunner::EvalParsed(ctx, TemplateParseStatement(text));
}

St ExprEvalTemplateSt(ExprContext& ctx, const St& text) {
  return ExprRunner::EvalParsed(ctx, TemplateParse(text));
}

}  // namespace quil
