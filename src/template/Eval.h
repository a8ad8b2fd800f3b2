// Eval: the evaluator of parsed templates and the evaluation context.
//
// An ExprContext holds everything one rendering needs: the value stack, the
// output buffer, the local-variable slots of `set`, the while-loop budget,
// the nesting depth of template calls, the conference side of the request
// (root, current user, certificate, current path, the request itself) and
// the page values that the page handlers set before evaluation (error
// texts, action path, login and register types, edit-form values, the list
// item being rendered ...).  Template.h creates contexts for the forum
// (BufAddTemplate and its wrappers); a context made here directly has no
// root, and the keywords of the store then give nothing.
//
// Values on the stack are integers (signed 32-bit), strings (St) or
// references to a local-variable slot.  A string popped for an integer
// operation converts with StIntStXfm (0 when it is not an integer); an
// integer popped for a string operation becomes its decimal text.  Truth:
// an integer is true when not 0, a string when not empty.  Comparisons: two
// integers numerically, two strings bytewise; an integer and a string that
// converts entirely to an integer numerically, otherwise as strings.
// Arithmetic wraps at 32 bits; division and remainder by 0 give 0.
//
// Keywords run through a table of handlers indexed by keyword code
// (ExprKeywordRegister).  The template package installs every handler it
// has when the keyword table is built; a keyword without a handler (chat,
// news, search and the other services not built yet) takes its arguments
// and gives the nil string, like an unset variable, and the context records
// it (Unavailable()) so that the caller can report it.  A keyword of the
// store in a context without a root is recorded the same way.
//
// Errors in templates never stop a page: error expressions and the limits
// write their messages into the output.  Two guards of this implementation
// stop a runaway evaluation: the size limit (no string or output above it;
// "<b>%% Output limit reached %%</b>") and an optional step limit (a cap on
// statements evaluated, for tests and fuzzing).
//
// State restored by scope guards: the output buffer, the current template
// and the nesting depth are put back by guards when a template or a macro
// call ends, also when an exception (ExRaise, or a C++ exception from a
// keyword) passes through, so that a frame that catches it finds the
// context as it was before the call.
//
// Thread use: a context belongs to one request thread; templates are shared
// read-only.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "Buf.h"
#include "Expr.h"
#include "Forum.h"
#include "St.h"
#include "Template.h"

namespace quil {

class TemplateRequest;
struct TemplateSite;

constexpr int32_t kExprDefaultWhileLimit = 1000;
constexpr int32_t kExprMaxMacroDepth = 50;
constexpr int64_t kExprDefaultSizeLimit = int64_t(64) << 20;

enum ExprValueType : uint8_t {
  kValueInt = 1,
  kValueString = 2,
  kValueRef = 3,  // i: local slot
};

struct ExprValue {
  ExprValueType type = kValueString;
  int32_t i = 0;
  St s;
};

// Data of the layers above (the script binding), kept per rendering.
class ExprContextExt {
 public:
  virtual ~ExprContextExt() = default;
};

class ExprContext {
 public:
  explicit ExprContext(int32_t whileLimit = kExprDefaultWhileLimit);
  ~ExprContext();
  ExprContext(const ExprContext&) = delete;
  ExprContext& operator=(const ExprContext&) = delete;

  // Output.  Writes go to the buffer adopted by BufEvalTemplate or to the
  // context's own one.
  void Write(std::string_view text);
  void WriteInt(int64_t value);
  Buf& Output() { return out_ ? *out_ : own_; }
  // Bytes written into the current buffer.
  int32_t OutputLength() { return Output().Position(); }
  // Cuts the current buffer back to where this context began writing into
  // it (clearOutput): what the page handler wrote before the template stays.
  void ClearOutput();

  // While budget.
  int32_t WhileLimit() const { return whileReset_; }
  int32_t WhileBudget() const { return whileBudget_; }
  void WhileLimitReset() { whileBudget_ = whileReset_; }
  void SetWhileLimit(int32_t limit) { whileBudget_ = whileReset_ = limit; }

  // Nesting of template calls (use, .eval, and the named page fragments):
  // EnterNesting is false at the limit of 50, and the caller then writes its
  // own message instead of the template.  ExprNestingScope pairs the two.
  int32_t MacroDepth() const { return macroDepth_; }
  bool EnterNesting() {
    if (macroDepth_ >= kExprMaxMacroDepth) return false;
    ++macroDepth_;
    return true;
  }
  void LeaveNesting() { --macroDepth_; }
  // The template being walked (null outside an evaluation).
  Template* CurrentTemplate() const { return current_; }

  // Guards: 0 disables.  Evaluation stops (Stopped()) when one is reached.
  void SetSizeLimit(int64_t bytes) { sizeLimit_ = bytes; }
  int64_t SizeLimit() const { return sizeLimit_; }
  void SetStepLimit(int64_t steps) { stepLimit_ = steps; }
  bool Stopped() const { return stopped_; }
  // Stops the evaluation (the size limit: with its message).
  void Stop(bool sizeLimit);

  // ---- The conference side (set by ExprContextCreate, Template.h) ----
  ForumRoot root = nullptr;       // null: no store behind this rendering
  TemplateSite* site = nullptr;   // the virtual site (template file, caches)
  ChHandle user = 0;              // the current user's record, 0 for none
  St certificate;                 // the request's login certificate
  St authTag;                     // its tag (AuthTag)
  ForumFile path;                 // the current path, moved by setPath...
  ForumFile startPath;            // where the rendering started
  ChHandle authorOverride = 0;    // ExprContextSetAuthorID; 0: the item's
  bool hasAuthorOverride = false;
  TemplateRequest* request = nullptr;  // borrowed; outlives the rendering

  // ---- Page values ----
  St errTitle;
  St errMsg;
  St actionPath;
  int pageType = 0;      // 1..73, 0 none
  int loginType = 0;     // index in kExprLoginTypes
  int registerType = 0;  // index in kExprRegisterTypes
  std::vector<std::pair<St, St>> formValues;  // read when there is no request
  ExprEditForm edit;     // editName ... editEmailFrom
  ExprPrefsForm prefs;   // prefsRenameMessage ... prefsPasswordMessage
  St message;            // the page's message (message, responsePost)
  St title;              // the page's title
  bool showAuthor = false;
  bool atEnd = false;    // pathItemsAreAtEnd
  St chatTextGroup;
  St searchToContinue;
  St searchItems;
  ChHandle userShown = 0;  // the user a user-information page shows
  St sysopAuth;            // sysop authorisation value of the sysop pages
  ExprMsgItem msgItem;
  ExprMsgList msgList;
  // Timed actions: the parameters of the action being run.
  St qParam1, qParam2;

  // Data of the upper layers.
  ExprContextExt* Ext() const { return ext_.get(); }
  void SetExt(std::unique_ptr<ExprContextExt> ext) { ext_ = std::move(ext); }
  // Per-rendering state of keyword families that keep some (containers,
  // the file error, XML): created on first use by the family, keyed by a
  // small number of the family's choosing.
  ExprContextExt* FamilyState(int family) const {
    return size_t(family) < family_.size() ? family_[size_t(family)].get()
                                           : nullptr;
  }
  void SetFamilyState(int family, std::unique_ptr<ExprContextExt> state);

  // Codes of keywords met without a handler, in order of first use.
  const std::vector<int16_t>& Unavailable() const { return unavailable_; }
  void NoteUnavailable(int code);

  // Local variables by slot (the value, never a reference).
  const ExprValue& Local(int32_t slot);
  void SetLocal(int32_t slot, ExprValue value);

  // The template whose macros an evaluated text (.eval, .evalTemplate)
  // sees after its own: the template that called it.  Null when root is
  // not such a text.
  Template* EvalCaller(const Template* root) const;

 private:
  friend class ExprRunner;
  friend class ExprCall;
  friend void ExprCallMacro(ExprContext& ctx, const TemplateRef& m);
  friend St TemplateProcess(const TemplateRef& t, ExprContext& ctx);
  friend void BufEvalTemplate(Buf& buf, const TemplateRef& t, ExprContext& ctx);
  friend bool ExprEval(const Expr& e, const ExprItem* items, ExprContext& ctx);
  friend class ExprEvalScope;

  ExprValue& Slot(int32_t slot) {
    return size_t(slot) < locals_.size() ? locals_[size_t(slot)]
                                         : GrowSlots(slot);
  }
  ExprValue& GrowSlots(int32_t slot);
  void WriteLiteral(const Template& t, const TemplatePiece& p);

  std::vector<ExprValue> stack_;
  size_t sp_ = 0;
  std::vector<ExprValue> locals_;
  Buf own_;
  Buf* out_ = nullptr;
  int32_t outStart_ = 0;  // where this context began writing into *out_
  int32_t lastYield_ = 0;
  int32_t whileBudget_;
  int32_t whileReset_;
  int32_t macroDepth_ = 0;
  Template* current_ = nullptr;
  int64_t sizeLimit_ = kExprDefaultSizeLimit;
  int64_t stepLimit_ = 0;
  int64_t steps_ = 0;
  bool stopped_ = false;
  std::vector<int16_t> unavailable_;
  std::vector<std::pair<const Template*, Template*>> evalCallers_;
  std::unique_ptr<ExprContextExt> ext_;
  std::vector<std::unique_ptr<ExprContextExt>> family_;
};

// Creates the context of one rendering for the forum: the site's root (the
// current site's), the user (0: a guest or nobody), the certificate and its
// tag, the current path (empty: none) with the starting path and the
// author, the request (borrowed), and the sysop's while-loop budget.
// Opening a message written by somebody else marks it seen for the user.
std::unique_ptr<ExprContext> ExprContextCreate(ChHandle user,
                                               const St& certificate,
                                               const ForumFile& path,
                                               TemplateRequest* request);
void ExprContextDestroy(std::unique_ptr<ExprContext>& ctx);

// Page-value setters (the page handlers call them before evaluation).
void ExprContextSetErrTitle(ExprContext& ctx, St title);
void ExprContextSetErrMsg(ExprContext& ctx, St message);
void ExprContextSetActionPath(ExprContext& ctx, St path);
void ExprContextSetLoginType(ExprContext& ctx, int type);
void ExprContextSetRegisterType(ExprContext& ctx, int type);
void ExprContextSetPageType(ExprContext& ctx, int pageType);
void ExprContextAddFormValue(ExprContext& ctx, St name, St value);
void ExprContextSetAuthorID(ExprContext& ctx, ChHandle author);
// The edit-form values: one value, or a whole form (the folder, discussion,
// link, chat and message forms all use the same keywords).
void ExprContextSetEdit(ExprContext& ctx, ExprEdit field, St value);
void ExprContextSetEditFolder(ExprContext& ctx, ExprEditForm form);
void ExprContextSetAddDiscussion(ExprContext& ctx, ExprEditForm form);
void ExprContextSetAddLink(ExprContext& ctx, ExprEditForm form);
void ExprContextSetAddLive(ExprContext& ctx, ExprEditForm form);
void ExprContextSetAddMessage(ExprContext& ctx, ExprEditForm form);
void ExprContextSetMessage(ExprContext& ctx, St message);
void ExprContextSetTitle(ExprContext& ctx, St title);
void ExprContextSetShowAuthor(ExprContext& ctx, bool on);
void ExprContextSetAddMsgItem(ExprContext& ctx, const ExprMsgItem& item);
void ExprContextSetAddMsgList(ExprContext& ctx, ExprMsgList list);
void ExprContextSetPrefs(ExprContext& ctx, ExprPrefsForm prefs);

// ---------------------------------------------------------------------------
// Keyword handlers.

// One keyword or method being run.  Arguments are numbered from 0; a missing
// argument reads as its default from the keyword table (nil when none).
class ExprCall {
 public:
  ExprCall(ExprContext& ctx, const ExprItem& item, size_t first, int argc,
           const ExprKeyword& kw)
      : ctx_(ctx), item_(item), first_(first), argc_(argc), kw_(kw) {}
  ExprCall(const ExprCall&) = delete;
  ExprCall& operator=(const ExprCall&) = delete;

  ExprContext& Context() const { return ctx_; }
  const ExprItem& Item() const { return item_; }
  int Code() const { return item_.code; }
  const ExprKeyword& Keyword() const { return kw_; }
  bool IsMethod() const { return item_.kind == kItemMethod; }
  int Argc() const { return argc_; }  // arguments written (after trimming)
  bool Written(int i) const { return i < argc_; }
  // The number registered with the handler (ExprKeywordRegisterArg).
  int32_t Selector() const;

  // Arguments stay readable while the handler evaluates templates (they are
  // addressed by stack position, not by pointer).
  St ArgSt(int i) const;
  int32_t ArgInt(int i) const;
  bool ArgTruth(int i) const;
  // The value left of the dot.  REQUIRES: IsMethod().
  St ReceiverSt() const;
  int32_t ReceiverInt() const;
  // The receiver's type: an integer receiver is a unique id for the user
  // methods, a string one a hexadecimal id.
  bool ReceiverIsInt() const;

  void Return(St value) {
    result_.type = kValueString;
    result_.s = std::move(value);
  }
  void Return(int32_t value) {
    result_.type = kValueInt;
    result_.i = value;
    result_.s = St();
  }
  void ReturnBool(bool value) { Return(int32_t(value ? 1 : 0)); }
  ExprValue& Result() { return result_; }

 private:
  St DefaultArg(int i) const;
  const ExprValue& Raw(size_t position) const;

  ExprContext& ctx_;
  const ExprItem& item_;
  size_t first_;  // stack position of argument 0; the receiver is below it
  int argc_;
  const ExprKeyword& kw_;
  ExprValue result_;
};

using ExprKeywordFn = void (*)(ExprCall& call);

// Attaches fn to the code of name (and so to its aliases), replacing any
// handler there.  False when name is not a keyword.
bool ExprKeywordRegister(std::string_view name, ExprKeywordFn fn);
// The same with a number that the handler reads as call.Selector(), so that
// one handler serves a family (one field of a table per keyword).
bool ExprKeywordRegisterArg(std::string_view name, ExprKeywordFn fn,
                            int32_t selector);
// The handler of a code, or null, and the number registered with it.
ExprKeywordFn ExprKeywordHandler(int code);
int32_t ExprKeywordSelector(int code);

// Whether a keyword's value follows from nothing but the conference's
// stored state, the site's templates, the user and the request's text and
// cookies: reads of the current path, its parent and author, the site's
// settings, the user's own settings and rights, form fields and the string
// methods.  Never the clock, chance, the session, the connection, files,
// counters of views, or anything that changes the store.  Judged by name,
// and strictly: a keyword not known to be stable is not.
bool ExprKeywordIsStable(std::string_view name);
// Counts the calls of keywords that are not stable (in every context).  A
// page whose rendering left the count as it was can be kept and shown again
// while the store, the templates and the request are the same.
extern uint64_t ExprUnstableCalls;

// ---------------------------------------------------------------------------
// Evaluation.

// Evaluates one statement; true when the walk goes on in sequence.
bool ExprEval(const Expr& e, const ExprItem* items, ExprContext& ctx);

// Walks template t, writing into buf (adopted as the context's output when
// it has none).  A null template adds nothing.
void BufEvalTemplate(Buf& buf, const TemplateRef& t, ExprContext& ctx);
// The output of t in a fresh buffer.
St TemplateProcess(const TemplateRef& t, ExprContext& ctx);

// Parses text as one statement (assignment or expression) or as a whole
// template and evaluates it in ctx, returning what it wrote.  Counts as one
// level of macro nesting.  The evaluated text sees the macros of the
// template that calls it (after its own): `use` inside the text finds the
// caller's macros as if the text stood at the call.
St ExprEvalSt(ExprContext& ctx, const St& text);
St ExprEvalTemplateSt(ExprContext& ctx, const St& text);

// Calls macro m as `use` does: one nesting level, with the depth limit.
void ExprCallMacro(ExprContext& ctx, const TemplateRef& m);

// Enters one level of template nesting for its lifetime; Entered() is false
// at the limit (the caller then writes its own message).
class ExprNestingScope {
 public:
  explicit ExprNestingScope(ExprContext& ctx)
      : ctx_(ctx), entered_(ctx.EnterNesting()) {}
  ~ExprNestingScope() {
    if (entered_) ctx_.LeaveNesting();
  }
  ExprNestingScope(const ExprNestingScope&) = delete;
  ExprNestingScope& operator=(const ExprNestingScope&) = delete;
  bool Entered() const { return entered_; }

 private:
  ExprContext& ctx_;
  bool entered_;
};

// Formats a number as .numberFormat does.  False when the format has no
// number field.
bool ExprNumberFormat(std::string_view number, std::string_view format,
                      St* out);

}  // namespace quil
