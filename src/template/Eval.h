// Eval: the evaluator of parsed templates.
//
// An ExprContext holds everything one rendering needs: the value stack, the
// output buffer, the local-variable slots of `set`, the while-loop budget,
// the nesting depth of macro calls, and the page values that the page
// handlers set before evaluation (error texts, action path, login and
// register types, form values).  Layers above the template language keep
// their own per-rendering data (user, path, request) in an ExprContextExt.
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
// Keywords run through a table of handlers indexed by keyword code.  The
// template layer installs the handlers that need nothing beyond it (strings,
// numbers, dates, control and output); the layers that own users, paths,
// mail, files and scripts register theirs with ExprKeywordRegister.  A
// keyword without a handler takes its arguments and gives the nil string,
// like an unset variable, and the context records it (Unavailable())
// so that the caller can report it.
//
// Errors in templates never stop a page: error expressions and the limits
// write their messages into the output.  Two guards of this implementation
// stop a runaway evaluation: the size limit (no string or output above it;
// "<b>%% Output limit reached %%</b>") and an optional step limit (a cap on
// statements evaluated, for tests and fuzzing).
//
// Thread use: a context belongs to one request thread; templates are shared
// read-only.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "Expr.h"
#include "St.h"
#include "Template.h"

namespace quil {

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

// Data of the layers above, kept per rendering.
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

  // Output.  Writes go to the adopted buffer (BufEvalTemplate) or to the
  // context's own one.
  void Write(std::string_view text);
  void WriteInt(int64_t value);
  St& Output() { return out_ ? *out_ : own_; }
  // The context's own output, leaving it empty.
  St TakeOutput();
  // Empties the current output (clearOutput).
  void ClearOutput();

  // While budget.
  int32_t WhileLimit() const { return whileReset_; }
  int32_t WhileBudget() const { return whileBudget_; }
  void WhileLimitReset() { whileBudget_ = whileReset_; }

  // Nesting of template calls (use, .eval, and the named page fragments of
  // the layers above): EnterNesting is false at the limit of 50, and the
  // caller then writes its own message instead of the template.
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

  // Page values.
  St errTitle;
  St errMsg;
  St actionPath;
  int pageType = 0;      // 1..73, 0 none
  int loginType = 0;     // index in kExprLoginTypes
  int registerType = 0;  // index in kExprRegisterTypes
  std::vector<std::pair<St, St>> formValues;

  // Data of the upper layers.
  ExprContextExt* Ext() const { return ext_.get(); }
  void SetExt(std::unique_ptr<ExprContextExt> ext) { ext_ = std::move(ext); }

  // Codes of keywords met without a handler, in order of first use.
  const std::vector<int16_t>& Unavailable() const { return unavailable_; }
  void NoteUnavailable(int code);

  // Local variables by slot (the value, never a reference).
  const ExprValue& Local(int32_t slot);
  void SetLocal(int32_t slot, ExprValue value);

 private:
  friend class ExprRunner;
  friend class ExprCall;
  friend void ExprCallMacro(ExprContext& ctx, const TemplateRef& m);
  friend St TemplateProcess(const TemplateRef& t, ExprContext& ctx);
  friend void BufEvalTemplate(St& buf, const TemplateRef& t, ExprContext& ctx);
  friend St ExprEvalSt(ExprContext& ctx, const St& text);
  friend St ExprEvalTemplateSt(ExprContext& ctx, const St& text);
  friend bool ExprEval(const Expr& e, const ExprItem* items, ExprContext& ctx);

  ExprValue& Slot(int32_t slot) {
    return size_t(slot) < locals_.size() ? locals_[size_t(slot)]
                                         : GrowSlots(slot);
  }
  ExprValue& GrowSlots(int32_t slot);

  std::vector<ExprValue> stack_;
  size_t sp_ = 0;
  std::vector<ExprValue> locals_;
  St own_;
  St* out_ = nullptr;
  int64_t lastYield_ = 0;
  int32_t whileBudget_;
  int32_t whileReset_;
  int32_t macroDepth_ = 0;
  Template* current_ = nullptr;
  int64_t sizeLimit_ = kExprDefaultSizeLimit;
  int64_t stepLimit_ = 0;
  int64_t steps_ = 0;
  bool stopped_ = false;
  std::vector<int16_t> unavailable_;
  std::unique_ptr<ExprContextExt> ext_;
};

// Page-value setters (the page handlers call them before evaluation).
void ExprContextSetErrTitle(ExprContext& ctx, St title);
void ExprContextSetErrMsg(ExprContext& ctx, St message);
void ExprContextSetActionPath(ExprContext& ctx, St path);
void ExprContextSetLoginType(ExprContext& ctx, int type);
void ExprContextSetRegisterType(ExprContext& ctx, int type);
void ExprContextSetPageType(ExprContext& ctx, int pageType);
void ExprContextAddFormValue(ExprContext& ctx, St name, St value);

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
  bool IsMethod() const { return item_.kind == kItemMethod; }
  int Argc() const { return argc_; }  // arguments written (after trimming)
  bool Written(int i) const { return i < argc_; }

  // Arguments stay readable while the handler evaluates templates (they are
  // addressed by stack position, not by pointer).
  St ArgSt(int i) const;
  int32_t ArgInt(int i) const;
  bool ArgTruth(int i) const;
  // The value left of the dot.  REQUIRES: IsMethod().
  St ReceiverSt() const;
  int32_t ReceiverInt() const;

  void Return(St value) {
    result_.type = kValueString;
    result_.s = std::move(value);
  }
  void Return(int32_t value) {
    result_.type = kValueInt;
    result_.i = value;
    result_.s = St();
  }
  ExprValue& Result() { return result_; }

 private:
  St DefaultArg(int i) const;

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
// The handler of a code, or null.
ExprKeywordFn ExprKeywordHandler(int code);

// ---------------------------------------------------------------------------
// Evaluation.

// Evaluates one statement; true when the walk goes on in sequence.
bool ExprEval(const Expr& e, const ExprItem* items, ExprContext& ctx);

// Walks template t, writing into buf (adopted as the context's output when
// it has none).  A null template adds nothing.
void BufEvalTemplate(St& buf, const TemplateRef& t, ExprContext& ctx);
// The output of t in a fresh buffer.
St TemplateProcess(const TemplateRef& t, ExprContext& ctx);

// Parses text as one statement (assignment or expression) or as a whole
// template and evaluates it in ctx, returning what it wrote.  Counts as one
// level of macro nesting.
St ExprEvalSt(ExprContext& ctx, const St& text);
St ExprEvalTemplateSt(ExprContext& ctx, const St& text);

// Calls macro m as `use` does: one nesting level, with the depth limit.
void ExprCallMacro(ExprContext& ctx, const TemplateRef& m);

// Formats a number as .numberFormat does.  False when the format has no
// number field.
bool ExprNumberFormat(std::string_view number, std::string_view format,
                      St* out);

}  // namespace quil
