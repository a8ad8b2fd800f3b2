// Template: parsed templates, their pieces and their nested macros.
//
// A template text is literal text with statements between "%%" brackets.
// TemplateParse cuts it into pieces, one per bracket plus a leading one; each
// piece holds the parsed statement of its bracket and the literal text that
// follows it:
//
//   T0 %% e1 %% T1 %% e2 %% T2   gives the pieces (none, T0) (e1, T1) (e2, T2)
//
// Pieces are walked in order; a statement that says the walk must not go on
// in sequence (if, else, while, break, continue, return) sends it to the
// piece's jump target instead, without writing the piece's literal.
//
// "macro NAME" ... "endmacro" brackets cut a named template out of the text:
// its pieces belong to the new template, which is registered in the enclosing
// template's macro table (names compared ASCII case-insensitively).  Macros
// nest.  A macro shares its parent's text (one St block) and points back at
// its parent; the parent's destruction clears that pointer.
//
// Ownership: templates are reference-counted through TemplateRef.  A parsed
// template is never changed after TemplateParse returns (except the extension
// flag and the script library, which the loader sets before sharing it), so
// many evaluations may share it.  Destroying a deep tree of macros does not
// recurse.
//
// Thread use: under the run lock (counts are not atomic).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Expr.h"
#include "St.h"

namespace quil {

extern bool TemplateDebugFlag;

class Template;

// A counted reference to a Template; copying adds a reference.
class TemplateRef {
 public:
  TemplateRef() = default;
  TemplateRef(const TemplateRef& other) noexcept;
  TemplateRef(TemplateRef&& other) noexcept : p_(other.p_) {
    other.p_ = nullptr;
  }
  TemplateRef& operator=(const TemplateRef& other) noexcept;
  TemplateRef& operator=(TemplateRef&& other) noexcept;
  ~TemplateRef() { Release(); }

  Template* get() const noexcept { return p_; }
  Template* operator->() const noexcept { return p_; }
  Template& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool operator==(const TemplateRef& o) const noexcept { return p_ == o.p_; }

  // A new template with count 1 and no pieces.
  static TemplateRef Create(St name, St text, Template* parent);
  // A further reference to an existing template (the evaluator holds the
  // template it walks this way).
  static TemplateRef Share(Template* t) noexcept;

 private:
  void Release() noexcept;
  Template* p_ = nullptr;
};

// Script functions collected from a template, compiled by the script layer.
class TemplateScript {
 public:
  virtual ~TemplateScript() = default;
};

struct TemplatePiece {
  int32_t litOff = 0;  // literal run in the template's text
  int32_t litLen = 0;
  int32_t jump = -1;   // piece taken when the walk does not go on; -1: end
  Expr expr;
};

class Template {
  struct Key {};

 public:
  explicit Template(Key) {}
  ~Template();
  Template(const Template&) = delete;
  Template& operator=(const Template&) = delete;

  const St& Name() const noexcept { return name_; }  // nil for a whole text
  const St& Text() const noexcept { return text_; }
  Template* Parent() const noexcept { return parent_; }
  int32_t RefCount() const noexcept { return refs_; }
  bool IsExtn() const noexcept { return isExtn_; }
  void SetExtn(bool on) noexcept { isExtn_ = on; }

  const std::vector<TemplatePiece>& Pieces() const noexcept { return pieces_; }
  const std::vector<ExprItem>& Items() const noexcept { return items_; }
  std::string_view Literal(const TemplatePiece& p) const noexcept {
    return text_.View().substr(size_t(p.litOff), size_t(p.litLen));
  }

  // Nested macros.  Find: null when absent.
  bool HasMacros() const noexcept { return macros_ && !macros_->empty(); }
  TemplateRef FindMacro(std::string_view name) const;
  void ForEachMacro(const std::function<void(const TemplateRef&)>& fn) const;

  // Script functions: the collected source and the compiled library.
  const St& ScriptSource() const noexcept { return scriptSource_; }
  TemplateScript* Script() const noexcept { return script_.get(); }
  void SetScript(std::unique_ptr<TemplateScript> script) {
    script_ = std::move(script);
  }

 private:
  friend class TemplateRef;
  friend class ExprParseState;

  int32_t refs_ = 1;
  St name_;
  St text_;
  Template* parent_ = nullptr;
  bool isExtn_ = false;
  std::unique_ptr<std::unordered_map<std::string, TemplateRef>> macros_;
  std::vector<TemplatePiece> pieces_;
  std::vector<ExprItem> items_;
  St scriptSource_;
  std::unique_ptr<TemplateScript> script_;
};

// Spelled-out reference operations.  TemplateDestroy releases t's reference
// and leaves t null ("TemplateDestroy--TmplRefCount" when the count is
// already below 1).
TemplateRef TemplateRefInc(const TemplateRef& t);
void TemplateDestroy(TemplateRef& t);

// Parses a whole template text (consumed).  siteString and urlBase are the
// site context's strings used for links back to this server; japanese makes
// the bracket scan step over double-byte characters.  Never fails: errors
// become error expressions.  Returns a template with count 1.
TemplateRef TemplateParse(St text, const St& siteString = St(),
                          const St& urlBase = St(), bool japanese = false);

// Parses text as one statement (an assignment when it begins with "set",
// else an expression): a template of one piece.
TemplateRef TemplateParseStatement(St text);

// Looks name (consumed) up in t's own macro table.
bool TemplateLookup(const TemplateRef& t, St name, TemplateRef* found);
bool TemplateIsExtn(const TemplateRef& t);
// True for null, for no pieces, and for one empty literal piece.
bool TemplateIsEmpty(const TemplateRef& t);

// One bracket found by TemplateParseNext.
struct TemplateBracket {
  int32_t litEnd = 0;    // the literal run is [from, litEnd)
  int32_t stmtOff = 0;   // the statement, without the percent signs
  int32_t stmtLen = 0;
  int32_t next = 0;      // where the next search starts
};

// Finds the next bracket at or after from: "%%" opens, the next "%%" closes
// (a single "%" is literal), one line break (CR, CR LF or LF) after the
// closing "%%" is swallowed, and a bracket never closed takes the rest of
// the text.  False when no bracket opens (the rest is literal).  In japanese
// mode the two bytes of JIS and Shift-JIS double-byte characters are never
// taken for "%".
bool TemplateParseNext(const St& text, int32_t from, bool japanese,
                       TemplateBracket* out);

// Page types 1 to 73 and their names (the operands of pageIs).
constexpr int kTemplatePageTypes = 73;
const char* TemplatePageTypeName(int pageType);  // null out of range
int TemplatePageTypeFromName(std::string_view name);  // 0 when unknown

// Package entry: 1 init, 2 term, 3 debug flag.  The keyword table belongs
// to ExprInitRtns.
uint16_t TemplateInitRtns(int selector, int32_t value);

}  // namespace quil
