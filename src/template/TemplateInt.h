// Internals shared by the template parser and evaluator.  Not for use outside
// src/template.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Expr.h"
#include "Template.h"

namespace quil {

// Bytes of a word (table TokenChar): 0-9, A-Z, a-z, "_".
inline bool ExprTokenChar(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
         (c >= 'a' && c <= 'z') || c == '_';
}

inline bool ExprIsBlank(uint8_t c) { return c < 33; }

// ASCII case-insensitive equality.
bool ExprEqualNoCase(std::string_view a, std::string_view b);

// HTML escaping of text for error messages.
St ExprSgml(std::string_view text);

// The parser state of one template text.  The parser keeps a stack of open
// templates (the text itself and the macros opened in it), each with its own
// open if chains and loops; the last piece of the innermost open template
// always waits for the literal run that follows its bracket.
class ExprParseState {
 public:
  explicit ExprParseState(const TemplateRef& root);
  ~ExprParseState();
  ExprParseState(const ExprParseState&) = delete;
  ExprParseState& operator=(const ExprParseState&) = delete;

  // One literal run and the bracket after it; stmtOff < 0 when the text
  // ends with the literal run.
  void Next(int32_t litOff, int32_t litLen, int32_t stmtOff, int32_t stmtLen);
  // The text as one statement: an assignment or an expression.
  void Single(int32_t stmtOff, int32_t stmtLen);
  // Closes open script functions.
  void Stop();

 private:
  struct IfChain {
    int32_t pendingTest = -1;         // if/elseif piece whose jump is open
    std::vector<int32_t> endJumps;    // end-of-branch pieces
  };
  struct Loop {
    int32_t whilePiece = -1;
    std::vector<int32_t> breaks;
  };
  struct Frame {
    TemplateRef t;
    std::vector<IfChain> ifs;
    std::vector<Loop> loops;
  };

  Template& Cur() { return *frames_.back().t; }
  int32_t AddPiece(ExprKind kind);
  void Statement(std::string_view stmt, bool single);
  void Error(std::string_view message, std::string_view stmt, int32_t pos);
  // Parses stmt[pos..] into new items of the current template; on an error
  // sets *errMsg and *errPos and leaves no items.
  bool ParseExpr(std::string_view stmt, size_t pos, Expr* e,
                 const char** errMsg, int32_t* errPos);
  // As ParseExpr, and an empty expression is "Missing operand".
  bool ParseRequired(std::string_view stmt, size_t pos, Expr* e,
                     const char** errMsg, int32_t* errPos);
  void ParseSet(std::string_view stmt, size_t pos);
  void FunctionStart(std::string_view stmt);
  void FunctionLiteral(std::string_view text);
  void FunctionCode(std::string_view code);
  void FunctionFinish();

  std::vector<Frame> frames_;
  bool inFunction_ = false;
  int32_t braceDepth_ = 0;
  bool sawBrace_ = false;
  std::string funcSource_;
  TemplateRef funcOwner_;
};

// Forgets every local-variable name.  REQUIRES: no parsed template alive.
void ExprLocalNamesClear();

// Installs the built-in keyword handlers (Eval.cc); called once when the
// keyword table is built.
void ExprInstallBuiltins();

}  // namespace quil
