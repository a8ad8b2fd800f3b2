// Expr: the expression language of templates.
//
// A template text holds statements and expressions between "%%" brackets
// (Template.h cuts the text into pieces).  This package turns the text of one
// bracket into an Expr: a statement kind and a run of items in postfix order
// (constants and variables push a value, operators pop their operands and
// push the result, keywords and methods pop their arguments and push one
// result).  Eval.h runs them.
//
// Lexical rules: a statement is the bracket's text with leading and trailing
// white space (bytes below 33) removed.  A word is a run of 0-9, A-Z, a-z and
// "_".  A word that converts entirely to a 32-bit decimal integer is an
// integer; "..." is a string in which "" stands for one double quote; '...'
// is a character constant (each byte shifted in: 'AB' is 65*256+66) in which
// '' stands for one single quote.  An unterminated string or character
// constant runs to the end of the statement.  "#" or "//" where an operand or
// an operator is expected ends the statement.
//
// Operators, higher binding tighter, all left-associative:
//   9 "." method     8 unary - + !     7 * / % &     6 + -
//   5 < > <= >=      4 == !=           3 &&          2 ||
// Operands: literals, keywords (the table below, case-insensitive), any other
// word (a local variable), a parenthesised expression, and a scope keyword
// (user, author, path, site, session and their ...Field twins) followed by a
// dot and a field name.
//
// Arguments.  A keyword or method may be followed by an argument list in
// parentheses.  Keywords of kind kKwText take one argument, written either in
// parentheses (an ordinary expression) or without them as a text
// expression: the word right after the keyword is taken as text, and the
// argument runs on over "&" and the other operators that bind as tightly
// (and over methods), stopping at "+", "-", comparisons and the logical
// operators.  So `use footer` calls the macro "footer", `use "a" & "b"` the
// macro "ab", `form x == "y"` compares the form value x with "y", and
// `form(name)` reads the form value named by the variable name.  Date
// keywords (kKwDate) take an optional format in parentheses or as a string
// literal.  Word keywords (kKwWord) take a word checked at parse time:
// `pageIs login`, `loginIs noSlots`, `registerIs badEmail`,
// `userFolderSortBy alphabetically`, `pad 50`,
// `lastLogin < 12/31/1999.23:59:59`.
//
// Errors never stop parsing: a bracket with an error becomes an error
// expression whose output is "<b>%% " + ExprBuildError(...) + " %%</b>".
//
// Thread use: parsing runs under the run lock (the local-name table is
// process-wide and guarded by its own mutex; the keyword table is read-only
// once built).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "LgDb.h"
#include "St.h"

namespace quil {

class Template;
class TemplateRef;
class ExprContext;

extern bool ExprDebugFlag;

// ---------------------------------------------------------------------------
// Keyword table: 814 names with codes 0 to 803.  Aliases share a code; names
// beginning with "." are methods.

constexpr int kExprKeywordNames = 814;
constexpr int kExprKeywordCodes = 804;

enum ExprKwKind : uint8_t {
  kKwValue,   // plain keyword, optional argument list
  kKwMethod,  // written after a value and a dot
  kKwScope,   // user/author/path/site/session: "scope.name" is a field
  kKwWord,    // one word argument checked at parse time
  kKwText,    // one argument: (expression), a word as text, or a literal
  kKwDate,    // optional format: (expression) or a string literal
};

// Scope of a field (kKwScope) or the word list of a kKwWord keyword.
enum class ExprKwArg : uint8_t {
  kNone,
  kUser,
  kAuthor,
  kPath,
  kSite,
  kSession,
  kWordPage,
  kWordLogin,
  kWordRegister,
  kWordLastLogin,
  kWordFolderSort,
  kWordPad,
};

struct ExprKeyword {
  const char* name;
  int16_t code;
  ExprKwKind kind;
  ExprKwArg arg;
  // Most arguments the keyword takes; surplus written arguments are dropped
  // before it runs.  -1: any number (the handler sees them all).
  int8_t maxArgs;
  // Defaults of missing trailing arguments, "|"-separated; a position past
  // the last default has none (nil).  Null when there are none.
  const char* defaults;
};

// The whole table in code order (aliases next to their first name).
std::span<const ExprKeyword> ExprKeywords();
// Case-insensitive look-up; methods are looked up with their dot.  Null when
// the name is not a keyword.
const ExprKeyword* ExprKeywordLookup(std::string_view name);
// The first name of a code.  REQUIRES: 0 <= code < kExprKeywordCodes.
const ExprKeyword& ExprKeywordByCode(int code);

// Builds the keyword table (and installs the built-in keyword handlers).
// Called on first use when nobody called it; calling it again does nothing.
void ExprParseInit();
// Releases the keyword table and the local-variable names.  REQUIRES: no
// parsed template is alive.
void ExprParseTerm();

// Word lists of the word keywords (indices are what the context compares).
inline constexpr const char* kExprLoginTypes[] = {"normal", "failure",
                                                  "noSlots", "noRegister"};
inline constexpr const char* kExprRegisterTypes[] = {
    "normal",      "failure", "noName",     "duplicateName", "invalidName",
    "noEmail",     "badEmail", "noPassword", "badPassword",  "masterSync"};
inline constexpr const char* kExprFolderSortTypes[] = {
    "oldestCreated", "newestModified", "default", "newestCreated",
    "alphabetically"};

// Field-name prefixes of the record database.
inline constexpr char UserFieldPrefix[] = "user_";
inline constexpr char PathFieldPrefix[] = "path_";
inline constexpr char GlobalFieldPrefix[] = "global_";
// Format of date objects (dateGmt, dateObj, the .date... methods).
inline constexpr char DateObjectFormat[] = "Y4-M2-D2-H4.I2.S2";

// ---------------------------------------------------------------------------
// Parsed expressions.

enum ExprOp : uint8_t {
  kOpAdd = 3,
  kOpSub = 4,
  kOpNeg = 5,
  kOpPlus = 6,
  kOpNot = 7,
  kOpMul = 8,
  kOpDiv = 9,
  kOpRem = 10,
  kOpCat = 11,
  kOpEq = 12,
  kOpNe = 13,
  kOpLt = 14,
  kOpGt = 15,
  kOpLe = 16,
  kOpGe = 17,
  kOpAnd = 18,
  kOpOr = 19,
};

enum ExprItemKind : uint8_t {
  kItemOperator = 2,  // sub: ExprOp
  kItemInt = 3,       // value
  kItemString = 4,    // text
  kItemKeyword = 5,   // code, argc; value: word index (kKwWord keywords)
  kItemLocal = 6,     // value: slot
  kItemField = 7,     // sub: ExprKwArg scope; text: full field name
  kItemMethod = 8,    // code, argc (the receiver lies below the arguments)
};

struct ExprItem {
  ExprItemKind kind = kItemInt;
  uint8_t sub = 0;
  int16_t argc = 0;
  int32_t code = 0;
  int32_t value = 0;
  St text;
};

// Statement kinds.  Kinds 21, 23, 24, 26 to 29 and 38 only steer the walk.
enum ExprKind : uint8_t {
  kExprNone = 0,        // a piece without a statement
  kExprPlain = 1,       // the value is written to the output
  kExprError = 2,       // text: the error text of ExprBuildError
  kExprIf = 20,         // false: jump to the next branch or the end
  kExprElse = 21,       // start of the else branch
  kExprElseIf = 22,     // like if
  kExprEndChain = 23,   // end of a taken branch: jump to the endif
  kExprEndIf = 24,      // target after the chain
  kExprWhile = 25,      // false or budget spent: jump past the loop
  kExprBreak = 26,      // jump past the loop
  kExprContinue = 27,   // jump to the test
  kExprEndWhile = 28,   // target after the loop
  kExprLoopBack = 29,   // end of the body: jump to the test
  kExprReturn = 30,     // ends the current template
  kExprSetPath = 31,    // text: field name
  kExprSetUser = 32,
  kExprSetAuthor = 33,
  kExprSetSite = 34,
  kExprSetLocal = 35,   // target: slot
  kExprSetSession = 36,
  kExprBroadcast = 37,  // the value goes to the chat layer
  kExprFunction = 38,   // a script function was collected here
};

// One statement: items [first, first + count) of its template's item array.
struct Expr {
  ExprKind kind = kExprNone;
  // set x x & ...: the evaluator appends to the slot in place.
  bool appendInPlace = false;
  int32_t first = 0;
  int32_t count = 0;
  int32_t target = -1;
  St text;
};

// "message: " + escaped statement up to position + "</b>" + escaped rest +
// "<b>".  position is clipped to the statement.
St ExprBuildError(std::string_view message, std::string_view statement,
                  int32_t position);

// ---------------------------------------------------------------------------
// Local variables: one process-wide table from name to slot.  Names ignore
// ASCII case, as keywords, statement words and macro names do.

// The slot of name, created on first sight.
int32_t ExprGetLocalIx(std::string_view name);
// Number of local names known so far.
int32_t TemplateLocalCount();
// The name of a slot (empty when out of range).
St ExprLocalName(int32_t slot);

// ---------------------------------------------------------------------------
// Page values that the page handlers give a rendering (Eval.h).

// The edit-form values of an item being added, edited or moderated, one
// per keyword from editName to editEmailFrom, in keyword order.
enum class ExprEdit : int {
  kName, kNewsgroup, kPassword, kEmail, kTitle, kHeading, kMessage, kBanner,
  kFooter, kBackground, kTemplate, kModeratedMessage, kModeratedDiscussion,
  kModeratedFolder, kShowAuthor, kUrl, kFolderIcon, kShowDescription,
  kSortSeq, kEmailMirror, kEmailPW, kEmailStripSig, kEmailPostThru,
  kEmailReply, kEmailReplyTo, kEmailFrom,
};
constexpr int kExprEditCount = 26;
using ExprEditForm = std::array<St, kExprEditCount>;

// The values of the preferences page, prefsRenameMessage to
// prefsPasswordMessage in keyword order.
constexpr int kExprPrefsCount = 8;
using ExprPrefsForm = std::array<St, kExprPrefsCount>;

// One entry of a message or folder list being rendered (the item... keywords).
struct ExprMsgItem {
  LgDbTd date;
  int32_t number = 0;      // itemNumber: position in the list, from 1
  int32_t count = 0;       // itemCount: entries in the list
  int32_t depth = 0;       // thread depth of the entry
  int32_t baseDepth = 0;   // itemBaseDepth
  bool threaded = false;   // itemIsThreaded
  bool canEdit = false;
  bool canDelete = false;
  bool showOperations = false;
};

// The list around the entries (the msgList... keywords): links and counts of
// the pages before and after, and whether the list is empty or threaded.
struct ExprMsgList {
  St previous;
  St following;
  int32_t countPrevious = 0;
  int32_t countFollowing = 0;
  bool empty = false;
  bool threaded = false;
};

// ---------------------------------------------------------------------------
// Overrides of the evaluator's own behaviour, for tests and for the layers
// above.  Each may be null, the default: `use` then looks macros up for the
// context's folder and site file, fields are read from and written to the
// store (through the TplStore seam), broadcasts go nowhere until the chat
// service exists, the yield is the background queue's turn (QuBgCk) and the
// quit test reads the server's quit flag.

struct ExprHooks {
  // `use NAME` after the template's own macros: the folder and site-file
  // look-up for the context's path.  Null result: not found.
  TemplateRef (*macroLookup)(ExprContext& ctx, const St& name) = nullptr;
  // Read and write a field of a scope (kUser, kAuthor, kPath, kSite with the
  // prefixed field name; kSession with the bare name).
  St (*fieldGet)(ExprContext& ctx, ExprKwArg scope, const St& name) = nullptr;
  void (*fieldSet)(ExprContext& ctx, ExprKwArg scope, const St& name,
                   St value) = nullptr;
  // Parse time: a field name was seen (registers it with the record store).
  void (*fieldDeclare)(const St& name) = nullptr;
  // The value of a broadcast statement.
  void (*broadcast)(ExprContext& ctx, St text) = nullptr;
  // A script function was collected for template t (source as built by the
  // parser; may be called several times for one template).
  void (*scriptCompile)(Template& t, St source) = nullptr;
  // Called every 100 bytes of output (the background queue's turn).
  void (*yield)() = nullptr;
  // True when the server is quitting: evaluation stops.
  bool (*quit)() = nullptr;
};

void ExprSetHooks(const ExprHooks& hooks);
const ExprHooks& ExprGetHooks();

// Package entry: 1 builds the keyword table, 2 releases it, 3 debug flag.
uint16_t ExprInitRtns(int selector, int32_t value);

}  // namespace quil
