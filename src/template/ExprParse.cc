// The statement and expression parser.
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "Expr.h"
#include "Ma.h"
#include "Td.h"
#include "Template.h"
#include "TemplateInt.h"

namespace quil {

bool ExprDebugFlag = true;

namespace {

// ---------------------------------------------------------------------------
// Local-variable names (TemplateNameToLocal).

struct ViewHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>()(s);
  }
};

std::mutex localMutex;
std::unordered_map<std::string, int32_t, ViewHash, std::equal_to<>> localNames;
std::vector<std::string> localList;

ExprHooks hooks;

}  // namespace

// Names are keyed upper-cased: a local variable ignores case as keywords,
// statement words and macro names do, so `Count` and `count` are one
// variable.  The first spelling seen is the one ExprLocalName gives back.
int32_t ExprGetLocalIx(std::string_view name) {
  char buf[128];
  std::string longKey;
  std::string_view key;
  if (name.size() <= sizeof buf) {
    for (size_t i = 0; i < name.size(); ++i)
      buf[i] = char(StASCIIUpper[uint8_t(name[i])]);
    key = std::string_view(buf, name.size());
  } else {
    longKey.assign(name);
    for (char& c : longKey) c = char(StASCIIUpper[uint8_t(c)]);
    key = longKey;
  }
  std::lock_guard<std::mutex> lock(localMutex);
  auto it = localNames.find(key);
  if (it != localNames.end()) return it->second;
  int32_t slot = int32_t(localList.size());
  localList.emplace_back(name);
  localNames.emplace(std::string(key), slot);
  return slot;
}

int32_t TemplateLocalCount() {
  std::lock_guard<std::mutex> lock(localMutex);
  return int32_t(localList.size());
}

St ExprLocalName(int32_t slot) {
  std::lock_guard<std::mutex> lock(localMutex);
  if (slot < 0 || size_t(slot) >= localList.size()) return StCreate();
  return StFromView(localList[size_t(slot)]);
}

void ExprLocalNamesClear() {
  std::lock_guard<std::mutex> lock(localMutex);
  localNames.clear();
  localList.clear();
}

void ExprSetHooks(const ExprHooks& h) { hooks = h; }
const ExprHooks& ExprGetHooks() { return hooks; }

St ExprSgml(std::string_view text) { return StToSgml(StFromView(text)); }

St ExprBuildError(std::string_view message, std::string_view statement,
                  int32_t position) {
  size_t pos = position < 0 ? 0 : size_t(position);
  if (pos > statement.size()) pos = statement.size();
  St out = StReserve(St(), int32_t(message.size() + statement.size() + 16));
  out = StAppendView(std::move(out), message);
  out = StAppendView(std::move(out), ": ");
  out = StCat(std::move(out), ExprSgml(statement.substr(0, pos)));
  out = StAppendView(std::move(out), "</b>");
  out = StCat(std::move(out), ExprSgml(statement.substr(pos)));
  return StAppendView(std::move(out), "<b>");
}

namespace {

// ---------------------------------------------------------------------------
// Lexer.

enum class Tok : uint8_t {
  kEnd,
  kWord,
  kString,
  kChar,
  kOp,
  kLParen,
  kRParen,
  kComma,
  kDot,
  kBad,     // a byte that starts no token
  kBadOp,   // a single "=" or "|"
};

struct Token {
  Tok type = Tok::kEnd;
  ExprOp op = kOpAdd;
  size_t pos = 0;
  size_t end = 0;  // one past the token
};

class Lexer {
 public:
  Lexer(std::string_view s, size_t pos) : s_(s), pos_(pos) {}

  size_t Pos() const { return pos_; }
  void SetPos(size_t p) { pos_ = p; }
  std::string_view Text(const Token& t) const {
    return s_.substr(t.pos, t.end - t.pos);
  }

  void SkipBlanks() {
    while (pos_ < s_.size() && ExprIsBlank(uint8_t(s_[pos_]))) ++pos_;
  }

  Token Peek() {
    size_t save = pos_;
    Token t = Next();
    pos_ = save;
    return t;
  }

  Token Next() {
    SkipBlanks();
    Token t;
    t.pos = pos_;
    if (pos_ >= s_.size() || s_[pos_] == '#' ||
        (s_[pos_] == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '/')) {
      t.type = Tok::kEnd;
      t.pos = t.end = s_.size();
      pos_ = s_.size();
      return t;
    }
    uint8_t c = uint8_t(s_[pos_]);
    if (ExprTokenChar(c)) {
      while (pos_ < s_.size() && ExprTokenChar(uint8_t(s_[pos_]))) ++pos_;
      t.type = Tok::kWord;
    } else if (c == '"' || c == '\'') {
      ++pos_;
      while (pos_ < s_.size()) {
        if (uint8_t(s_[pos_]) == c) {
          if (pos_ + 1 < s_.size() && uint8_t(s_[pos_ + 1]) == c) {
            pos_ += 2;
            continue;
          }
          ++pos_;
          break;
        }
        ++pos_;
      }
      t.type = c == '"' ? Tok::kString : Tok::kChar;
    } else {
      ++pos_;
      auto two = [&](char next) {
        if (pos_ < s_.size() && s_[pos_] == next) {
          ++pos_;
          return true;
        }
        return false;
      };
      t.type = Tok::kOp;
      switch (c) {
        case '(': t.type = Tok::kLParen; break;
        case ')': t.type = Tok::kRParen; break;
        case ',': t.type = Tok::kComma; break;
        case '.': t.type = Tok::kDot; break;
        case '+': t.op = kOpAdd; break;
        case '-': t.op = kOpSub; break;
        case '*': t.op = kOpMul; break;
        case '/': t.op = kOpDiv; break;
        case '%': t.op = kOpRem; break;
        case '&': t.op = two('&') ? kOpAnd : kOpCat; break;
        case '|':
          if (two('|')) t.op = kOpOr;
          else t.type = Tok::kBadOp;
          break;
        case '=':
          if (two('=')) t.op = kOpEq;
          else t.type = Tok::kBadOp;
          break;
        case '!': t.op = two('=') ? kOpNe : kOpNot; break;
        case '<': t.op = two('=') ? kOpLe : kOpLt; break;
        case '>': t.op = two('=') ? kOpGe : kOpGt; break;
        default: t.type = Tok::kBad; break;
      }
    }
    t.end = pos_;
    return t;
  }

  // Next character after blanks, or 0 at the end.
  char PeekChar() {
    SkipBlanks();
    return pos_ < s_.size() ? s_[pos_] : 0;
  }

 private:
  std::string_view s_;
  size_t pos_;
};

// The contents of a quoted token with doubled quotes undone.
St DecodeQuoted(std::string_view tok) {
  char q = tok[0];
  St out = StReserve(St(), int32_t(tok.size()));
  char* p = out.MutableChars();
  size_t i = 1;
  int32_t n = 0;
  while (i < tok.size()) {
    if (tok[i] == q) {
      if (i + 1 < tok.size() && tok[i + 1] == q) {
        p[n++] = q;
        i += 2;
        continue;
      }
      break;
    }
    p[n++] = tok[i++];
  }
  out.SetLength(n);
  return out;
}

int32_t CharConstant(std::string_view tok) {
  St bytes = DecodeQuoted(tok);
  uint32_t v = 0;
  for (int32_t i = 0; i < bytes.Length(); ++i) v = v * 256u + bytes[i];
  return int32_t(v);
}

bool WordIsInteger(std::string_view w, int32_t* out) {
  int64_t v = 0;
  for (char c : w) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > 2147483647) return false;
  }
  *out = int32_t(v);
  return true;
}

int Precedence(ExprOp op) {
  switch (op) {
    case kOpNeg:
    case kOpPlus:
    case kOpNot:
      return 8;
    case kOpMul:
    case kOpDiv:
    case kOpRem:
    case kOpCat:
      return 7;
    case kOpAdd:
    case kOpSub:
      return 6;
    case kOpLt:
    case kOpGt:
    case kOpLe:
    case kOpGe:
      return 5;
    case kOpEq:
    case kOpNe:
      return 4;
    case kOpAnd:
      return 3;
    case kOpOr:
      return 2;
  }
  MaHalt("Unknown operator type");
}

// Binding strength of a pending operator or text argument, on a doubled
// scale so that a text argument fits between levels 6 and 7.
constexpr int kTextArgPrecedence = 13;

bool IsUnary(uint8_t op) {
  return op == kOpNeg || op == kOpPlus || op == kOpNot;
}

// Change of the value-stack depth caused by one item.
int StackEffect(const ExprItem& it) {
  switch (it.kind) {
    case kItemOperator:
      return IsUnary(it.sub) ? 0 : -1;
    case kItemKeyword:
      return 1 - it.argc;
    case kItemMethod:
      return -it.argc;
    default:
      return 1;
  }
}

// The field name with its prefix (not doubled); session names have none.
St FieldName(ExprKwArg scope, std::string_view name) {
  const char* prefix = scope == ExprKwArg::kUser || scope == ExprKwArg::kAuthor
                           ? UserFieldPrefix
                       : scope == ExprKwArg::kPath ? PathFieldPrefix
                       : scope == ExprKwArg::kSite ? GlobalFieldPrefix
                                                   : "";
  size_t n = strlen(prefix);
  if (n == 0 || (name.size() >= n && ExprEqualNoCase(name.substr(0, n), prefix)))
    return StFromView(name);
  return StAppendView(StCStrXfm(prefix), name);
}

ExprKind SetKind(ExprKwArg scope) {
  switch (scope) {
    case ExprKwArg::kUser: return kExprSetUser;
    case ExprKwArg::kAuthor: return kExprSetAuthor;
    case ExprKwArg::kPath: return kExprSetPath;
    case ExprKwArg::kSite: return kExprSetSite;
    default: return kExprSetSession;
  }
}

// ---------------------------------------------------------------------------
// Expression builder: shunting-yard over an explicit stack, so that neither
// parentheses nor argument lists recurse.

// A pending text argument (kTextArg) is a one-argument keyword written
// without parentheses whose argument is still being read: it binds like a
// prefix operator just below "&" and the other level-7 operators, so the
// argument runs over a concatenation (`use "a" & "b"` calls ab) and stops
// at "+", comparisons and the logical operators (`form x == "y"` compares
// the form value).
struct Pending {
  enum Type : uint8_t { kOperator, kParen, kCall, kTextArg } type;
  uint8_t op = 0;       // operator: ExprOp
  ExprItemKind itemKind = kItemKeyword;  // call: keyword or method
  int32_t code = 0;     // call: keyword code
  int16_t commas = 0;   // call: commas seen
};

struct ParseError {
  const char* message = nullptr;
  int32_t pos = 0;
};

class Builder {
 public:
  Builder(std::string_view stmt, size_t pos, std::vector<ExprItem>& items)
      : stmt_(stmt), lx_(stmt, pos), items_(items), first_(items.size()) {}

  // Parses to the end of the statement.  False with err_ set on an error.
  bool Run();
  ParseError err_;

 private:
  bool Fail(const char* message, size_t pos) {
    err_.message = message;
    err_.pos = int32_t(pos);
    return false;
  }
  void Emit(ExprItemKind kind, uint8_t sub = 0, int32_t code = 0,
            int32_t value = 0, St text = St(), int16_t argc = 0) {
    ExprItem& it = items_.emplace_back();
    it.kind = kind;
    it.sub = sub;
    it.code = code;
    it.value = value;
    it.argc = argc;
    it.text = std::move(text);
  }
  void EmitString(std::string_view s) {
    Emit(kItemString, 0, 0, 0, StFromView(s));
  }
  bool Operand(const Token& t);
  bool Keyword(const ExprKeyword& kw);
  bool WordArgument(const ExprKeyword& kw);
  bool Method(const Token& dot);
  void OpenCall(ExprItemKind kind, int32_t code) {
    Pending p{Pending::kCall};
    p.itemKind = kind;
    p.code = code;
    ops_.push_back(p);
  }
  static bool Poppable(const Pending& p) {
    return p.type == Pending::kOperator || p.type == Pending::kTextArg;
  }
  static int Strength(const Pending& p) {
    return p.type == Pending::kTextArg ? kTextArgPrecedence
                                       : 2 * Precedence(ExprOp(p.op));
  }
  // Emits the top pending operator or text argument.
  void PopPending() {
    const Pending& p = ops_.back();
    if (p.type == Pending::kTextArg)
      Emit(kItemKeyword, 0, p.code, 0, St(), 1);
    else
      Emit(kItemOperator, p.op);
    ops_.pop_back();
  }
  // Emits pending operators down to the nearest parenthesis or call.
  void Unwind() {
    while (!ops_.empty() && Poppable(ops_.back())) PopPending();
  }

  std::string_view stmt_;
  Lexer lx_;
  std::vector<ExprItem>& items_;
  size_t first_;
  std::vector<Pending> ops_;
  bool expectOperand_ = true;
};

bool Builder::Run() {
  for (;;) {
    Token t = lx_.Next();
    if (expectOperand_) {
      switch (t.type) {
        case Tok::kEnd:
          if (items_.size() == first_ && ops_.empty()) return true;
          return Fail("Missing operand", t.pos);
        case Tok::kOp:
          if (t.op == kOpSub || t.op == kOpAdd || t.op == kOpNot) {
            Pending p{Pending::kOperator};
            p.op = t.op == kOpSub ? kOpNeg : t.op == kOpAdd ? kOpPlus : kOpNot;
            ops_.push_back(p);
            break;
          }
          return Fail("Missing operand", t.pos);
        case Tok::kLParen:
          ops_.push_back(Pending{Pending::kParen});
          break;
        case Tok::kRParen: {
          // An empty argument list: "keyword()" or "x.method( )".
          size_t before = t.pos;
          while (before > 0 && ExprIsBlank(uint8_t(stmt_[before - 1]))) --before;
          if (!ops_.empty() && ops_.back().type == Pending::kCall &&
              ops_.back().commas == 0 && before > 0 && stmt_[before - 1] == '(') {
            Emit(ops_.back().itemKind, 0, ops_.back().code);
            ops_.pop_back();
            expectOperand_ = false;
            break;
          }
          return Fail("Missing operand", t.pos);
        }
        case Tok::kBadOp:
          return Fail("Missing operator", t.pos);
        case Tok::kWord:
        case Tok::kString:
        case Tok::kChar:
          if (!Operand(t)) return false;
          break;
        default:
          return Fail("Missing operand", t.pos);
      }
      continue;
    }
    switch (t.type) {
      case Tok::kOp: {
        if (t.op == kOpNot) return Fail("Missing operator", t.pos);
        int prec = 2 * Precedence(t.op);
        while (!ops_.empty() && Poppable(ops_.back()) &&
               Strength(ops_.back()) >= prec)
          PopPending();
        Pending p{Pending::kOperator};
        p.op = t.op;
        ops_.push_back(p);
        expectOperand_ = true;
        break;
      }
      case Tok::kDot:
        if (!Method(t)) return false;
        break;
      case Tok::kComma:
        Unwind();
        if (ops_.empty() || ops_.back().type != Pending::kCall)
          return Fail("Missing operator", t.pos);
        if (ops_.back().commas == INT16_MAX - 1)
          return Fail("Missing right paren", t.pos);
        ++ops_.back().commas;
        expectOperand_ = true;
        break;
      case Tok::kRParen:
        Unwind();
        if (ops_.empty()) return Fail("Missing left paren", t.pos);
        if (ops_.back().type == Pending::kCall) {
          const Pending& call = ops_.back();
          Emit(call.itemKind, 0, call.code, 0, St(), int16_t(call.commas + 1));
        }
        ops_.pop_back();
        break;
      case Tok::kEnd:
        Unwind();
        if (!ops_.empty()) return Fail("Missing right paren", t.pos);
        return true;
      default:
        return Fail("Missing operator", t.pos);
    }
  }
}

bool Builder::Operand(const Token& t) {
  expectOperand_ = false;
  std::string_view text = lx_.Text(t);
  if (t.type == Tok::kString) {
    Emit(kItemString, 0, 0, 0, DecodeQuoted(text));
    return true;
  }
  if (t.type == Tok::kChar) {
    Emit(kItemInt, 0, 0, CharConstant(text));
    return true;
  }
  int32_t v;
  if (WordIsInteger(text, &v)) {
    Emit(kItemInt, 0, 0, v);
    return true;
  }
  const ExprKeyword* kw = ExprKeywordLookup(text);
  if (!kw) {
    Emit(kItemLocal, 0, 0, ExprGetLocalIx(text));
    return true;
  }
  return Keyword(*kw);
}

bool Builder::Keyword(const ExprKeyword& kw) {
  switch (kw.kind) {
    case kKwScope: {
      size_t save = lx_.Pos();
      if (lx_.PeekChar() == '.') {
        lx_.Next();
        Token name = lx_.Next();
        if (name.type != Tok::kWord) return Fail("Missing operand", name.pos);
        St field = FieldName(kw.arg, lx_.Text(name));
        if (hooks.fieldDeclare) hooks.fieldDeclare(field);
        Emit(kItemField, uint8_t(kw.arg), kw.code, 0, std::move(field));
        return true;
      }
      lx_.SetPos(save);
      break;
    }
    case kKwWord:
      return WordArgument(kw);
    case kKwText: {
      if (lx_.PeekChar() == '(') {
        lx_.Next();
        OpenCall(kItemKeyword, kw.code);
        expectOperand_ = true;
        return true;
      }
      // Without parentheses the argument is a text expression: the word
      // right after the keyword is text (`use footer` names the macro
      // footer, not the keyword), and what follows joins it by the
      // binding of a text argument (see Pending).  A keyword followed by
      // nothing that can start an operand takes no argument.
      size_t save = lx_.Pos();
      Token arg = lx_.Next();
      if (arg.type == Tok::kWord) {
        EmitString(lx_.Text(arg));
      } else if (arg.type == Tok::kString) {
        Emit(kItemString, 0, 0, 0, DecodeQuoted(lx_.Text(arg)));
      } else if (arg.type == Tok::kChar) {
        Emit(kItemInt, 0, 0, CharConstant(lx_.Text(arg)));
      } else {
        lx_.SetPos(save);
        Emit(kItemKeyword, 0, kw.code);
        return true;
      }
      Pending p{Pending::kTextArg};
      p.code = kw.code;
      ops_.push_back(p);
      return true;
    }
    case kKwDate: {
      if (lx_.PeekChar() == '(') break;
      size_t save = lx_.Pos();
      Token arg = lx_.Next();
      if (arg.type == Tok::kString) {
        Emit(kItemString, 0, 0, 0, DecodeQuoted(lx_.Text(arg)));
        Emit(kItemKeyword, 0, kw.code, 0, St(), 1);
        return true;
      }
      lx_.SetPos(save);
      break;
    }
    default:
      break;
  }
  if (lx_.PeekChar() == '(') {
    lx_.Next();
    OpenCall(kItemKeyword, kw.code);
    expectOperand_ = true;
    return true;
  }
  Emit(kItemKeyword, 0, kw.code);
  return true;
}

// Index of word in list (case-insensitive), or -1.
template <size_t N>
int FindWord(const char* const (&list)[N], std::string_view word) {
  for (size_t i = 0; i < N; ++i)
    if (ExprEqualNoCase(list[i], word)) return int(i);
  return -1;
}

bool Builder::WordArgument(const ExprKeyword& kw) {
  if (kw.arg == ExprKwArg::kWordLastLogin) {
    static const char kMsg[] = "Must be \"lastLogin < MM/DD/YYYY.HH:MM:SS\"";
    Token lt = lx_.Next();
    if (lt.type != Tok::kOp || lt.op != kOpLt) return Fail(kMsg, lt.pos);
    lx_.SkipBlanks();
    size_t start = lx_.Pos(), end = start;
    while (end < stmt_.size()) {
      char c = stmt_[end];
      if (!((c >= '0' && c <= '9') || c == '/' || c == '.' || c == ':')) break;
      ++end;
    }
    Td when;
    if (end == start || stmt_[start] < '0' || stmt_[start] > '9' ||
        !TdParse(stmt_.substr(start, end - start), &when))
      return Fail(kMsg, start);
    lx_.SetPos(end);
    Emit(kItemString, 0, 0, 0, TdToSt(when, DateObjectFormat));
    Emit(kItemKeyword, 0, kw.code, 0, St(), 1);
    return true;
  }
  bool paren = lx_.PeekChar() == '(';
  if (paren) lx_.Next();
  Token w = lx_.Next();
  std::string_view word = w.type == Tok::kWord ? lx_.Text(w) : std::string_view();
  int index = -1;
  const char* msg = "";
  switch (kw.arg) {
    case ExprKwArg::kWordPage:
      index = TemplatePageTypeFromName(word);
      if (index == 0) index = -1;
      msg = "Unknown page type";
      break;
    case ExprKwArg::kWordLogin:
      index = FindWord(kExprLoginTypes, word);
      msg = "Unknown login type";
      break;
    case ExprKwArg::kWordRegister:
      index = FindWord(kExprRegisterTypes, word);
      msg = "Unknown register type";
      break;
    case ExprKwArg::kWordFolderSort:
      index = FindWord(kExprFolderSortTypes, word);
      msg = "Unknown folder sort sequence";
      break;
    default: {  // pad
      int32_t column;
      msg = "Must be \"pad toColumn\" (e.g. \"pad 50\")";
      if (w.type == Tok::kWord && WordIsInteger(word, &column)) index = column;
      break;
    }
  }
  if (index < 0) return Fail(msg, w.pos);
  if (paren) {
    Token close = lx_.Next();
    if (close.type != Tok::kRParen) return Fail("Missing right paren", close.pos);
  }
  Emit(kItemKeyword, 0, kw.code, index);
  return true;
}

bool Builder::Method(const Token& dot) {
  Token name = lx_.Next();
  const ExprKeyword* kw = nullptr;
  if (name.type == Tok::kWord) {
    std::string_view w = lx_.Text(name);
    if (w.size() < 64) {
      char buf[65];
      buf[0] = '.';
      memcpy(buf + 1, w.data(), w.size());
      kw = ExprKeywordLookup(std::string_view(buf, w.size() + 1));
    }
  }
  if (!kw || kw->kind != kKwMethod) return Fail("Missing function", dot.pos);
  if (lx_.PeekChar() == '(') {
    lx_.Next();
    OpenCall(kItemMethod, kw->code);
    expectOperand_ = true;
    return true;
  }
  Emit(kItemMethod, 0, kw->code);
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && ExprIsBlank(uint8_t(s.front()))) s.remove_prefix(1);
  while (!s.empty() && ExprIsBlank(uint8_t(s.back()))) s.remove_suffix(1);
  return s;
}

// True when items [from, to) leave exactly one value without reaching below
// the value they start on.
bool OneValue(const std::vector<ExprItem>& items, size_t from, size_t to) {
  int depth = 0;
  for (size_t i = from; i < to; ++i) {
    depth += StackEffect(items[i]);
    if (depth < 1) return false;
  }
  return depth == 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Statements.

ExprParseState::ExprParseState(const TemplateRef& root) {
  frames_.push_back(Frame{root, {}, {}});
  AddPiece(kExprNone);
}

ExprParseState::~ExprParseState() = default;

int32_t ExprParseState::AddPiece(ExprKind kind) {
  Template& t = Cur();
  t.pieces_.emplace_back();
  t.pieces_.back().expr.kind = kind;
  t.pieces_.back().litOff = 0;
  return int32_t(t.pieces_.size() - 1);
}

void ExprParseState::Error(std::string_view message, std::string_view stmt,
                           int32_t pos) {
  int32_t p = AddPiece(kExprError);
  Cur().pieces_[size_t(p)].expr.text = ExprBuildError(message, stmt, pos);
}

bool ExprParseState::ParseExpr(std::string_view stmt, size_t pos, Expr* e,
                               const char** errMsg, int32_t* errPos) {
  std::vector<ExprItem>& items = Cur().items_;
  size_t first = items.size();
  Builder b(stmt, pos, items);
  if (!b.Run()) {
    items.resize(first);
    *errMsg = b.err_.message;
    *errPos = b.err_.pos;
    return false;
  }
  e->first = int32_t(first);
  e->count = int32_t(items.size() - first);
  if (e->count > 0)
    MA_CHECK(ExprDebugFlag, OneValue(items, first, items.size()),
             "ExprParseExprDelim--operands not all unwound");
  return true;
}

bool ExprParseState::ParseRequired(std::string_view stmt, size_t pos, Expr* e,
                                   const char** errMsg, int32_t* errPos) {
  if (!ParseExpr(stmt, pos, e, errMsg, errPos)) return false;
  if (e->count > 0) return true;
  *errMsg = "Missing operand";
  *errPos = int32_t(stmt.size());
  return false;
}

void ExprParseState::Next(int32_t litOff, int32_t litLen, int32_t stmtOff,
                          int32_t stmtLen) {
  std::string_view text = frames_.front().t->text_.View();
  if (inFunction_) {
    if (litLen > 0) FunctionLiteral(text.substr(size_t(litOff), size_t(litLen)));
    if (stmtOff >= 0) FunctionCode(text.substr(size_t(stmtOff), size_t(stmtLen)));
    return;
  }
  TemplatePiece& p = Cur().pieces_.back();
  p.litOff = litOff;
  p.litLen = litLen;
  if (stmtOff < 0) return;
  Statement(text.substr(size_t(stmtOff), size_t(stmtLen)), false);
}

void ExprParseState::Single(int32_t stmtOff, int32_t stmtLen) {
  std::string_view text = frames_.front().t->text_.View();
  Statement(text.substr(size_t(stmtOff), size_t(stmtLen)), true);
}

void ExprParseState::Statement(std::string_view raw, bool single) {
  std::string_view stmt = Trim(raw);
  size_t w = 0;
  while (w < stmt.size() && ExprTokenChar(uint8_t(stmt[w]))) ++w;
  std::string_view first = stmt.substr(0, w);
  auto is = [&](const char* word) { return ExprEqualNoCase(first, word); };
  const char* msg = nullptr;
  int32_t pos = 0;
  Expr e;

  if (is("set")) {
    ParseSet(stmt, w);
    return;
  }
  if (!single && w > 0) {
    Frame& f = frames_.back();
    if (is("macro")) {
      std::string_view name = Trim(stmt.substr(w));
      size_t end = 0;
      while (end < name.size() && !ExprIsBlank(uint8_t(name[end]))) ++end;
      name = name.substr(0, end);
      if (name.empty()) return Error("Missing macro name", stmt, int32_t(w));
      Template& parent = Cur();
      TemplateRef macro =
          TemplateRef::Create(StFromView(name), parent.text_, &parent);
      if (!parent.macros_)
        parent.macros_ =
            std::make_unique<std::unordered_map<std::string, TemplateRef>>();
      std::string key(name);
      for (char& c : key) c = char(StASCIIUpper[uint8_t(c)]);
      // A later definition of a name replaces the earlier one.
      TemplateRef& slot = (*parent.macros_)[key];
      if (slot) slot->parent_ = nullptr;
      slot = macro;
      frames_.push_back(Frame{std::move(macro), {}, {}});
      AddPiece(kExprNone);
      return;
    }
    if (is("endmacro")) {
      if (frames_.size() > 1) frames_.pop_back();
      AddPiece(kExprNone);
      return;
    }
    bool elseIf = is("elseif") || is("elsif");
    size_t testPos = w;
    if (is("else")) {
      size_t i = w;
      while (i < stmt.size() && ExprIsBlank(uint8_t(stmt[i]))) ++i;
      size_t j = i;
      while (j < stmt.size() && ExprTokenChar(uint8_t(stmt[j]))) ++j;
      if (j > i && ExprEqualNoCase(stmt.substr(i, j - i), "if")) {
        elseIf = true;
        testPos = j;
      }
    }
    if (is("if") || elseIf) {
      if (elseIf && f.ifs.empty())
        return Error("Missing IF for ELSE", stmt, int32_t(w));
      bool ok = ParseRequired(stmt, testPos, &e, &msg, &pos);
      if (elseIf) {
        IfChain& chain = frames_.back().ifs.back();
        chain.endJumps.push_back(AddPiece(kExprEndChain));
      }
      int32_t piece;
      if (ok) {
        piece = AddPiece(elseIf ? kExprElseIf : kExprIf);
        e.kind = elseIf ? kExprElseIf : kExprIf;
        Cur().pieces_[size_t(piece)].expr = std::move(e);
      } else {
        Error(msg, stmt, pos);
        piece = int32_t(Cur().pieces_.size() - 1);
      }
      if (!elseIf) frames_.back().ifs.emplace_back();
      IfChain& chain = frames_.back().ifs.back();
      if (chain.pendingTest >= 0)
        Cur().pieces_[size_t(chain.pendingTest)].jump = piece;
      chain.pendingTest = ok ? piece : -1;
      return;
    }
    if (is("else")) {
      if (f.ifs.empty()) return Error("Missing IF for ELSE", stmt, int32_t(w));
      f.ifs.back().endJumps.push_back(AddPiece(kExprEndChain));
      int32_t piece = AddPiece(kExprElse);
      IfChain& chain = frames_.back().ifs.back();
      if (chain.pendingTest >= 0)
        Cur().pieces_[size_t(chain.pendingTest)].jump = piece;
      chain.pendingTest = -1;
      return;
    }
    if (is("endif")) {
      if (f.ifs.empty()) return Error("Missing IF for ENDIF", stmt, int32_t(w));
      int32_t piece = AddPiece(kExprEndIf);
      IfChain& chain = frames_.back().ifs.back();
      std::vector<TemplatePiece>& pieces = Cur().pieces_;
      if (chain.pendingTest >= 0) pieces[size_t(chain.pendingTest)].jump = piece;
      for (int32_t j : chain.endJumps) {
        MA_CHECK(ExprDebugFlag, pieces[size_t(j)].expr.kind == kExprEndChain,
                 "ExprParseStart -- illegal ExprIfLi item");
        pieces[size_t(j)].jump = piece;
      }
      frames_.back().ifs.pop_back();
      return;
    }
    if (is("while")) {
      bool ok = ParseRequired(stmt, w, &e, &msg, &pos);
      // A test with an error becomes the error text and a loop never run.
      if (!ok) Error(msg, stmt, pos);
      int32_t piece = AddPiece(kExprWhile);
      if (ok) {
        e.kind = kExprWhile;
        Cur().pieces_[size_t(piece)].expr = std::move(e);
      }
      frames_.back().loops.push_back(Loop{piece, {}});
      return;
    }
    if (is("break")) {
      if (f.loops.empty())
        return Error("Missing WHILE for BREAK", stmt, int32_t(w));
      int32_t piece = AddPiece(kExprBreak);
      frames_.back().loops.back().breaks.push_back(piece);
      return;
    }
    if (is("continue")) {
      if (f.loops.empty())
        return Error("Missing WHILE for CONTINUE", stmt, int32_t(w));
      int32_t target = f.loops.back().whilePiece;
      int32_t piece = AddPiece(kExprContinue);
      Cur().pieces_[size_t(piece)].jump = target;
      return;
    }
    if (is("endwhile")) {
      if (f.loops.empty())
        return Error("Missing WHILE for ENDWHILE", stmt, int32_t(w));
      Loop loop = std::move(f.loops.back());
      f.loops.pop_back();
      int32_t back = AddPiece(kExprLoopBack);
      Cur().pieces_[size_t(back)].jump = loop.whilePiece;
      int32_t end = AddPiece(kExprEndWhile);
      std::vector<TemplatePiece>& pieces = Cur().pieces_;
      pieces[size_t(loop.whilePiece)].jump = end;
      for (int32_t b : loop.breaks) pieces[size_t(b)].jump = end;
      return;
    }
    if (is("return")) {
      AddPiece(kExprReturn);
      return;
    }
    if (is("broadcast")) {
      bool ok = ParseRequired(stmt, w, &e, &msg, &pos);
      if (!ok) return Error(msg, stmt, pos);
      int32_t piece = AddPiece(kExprBroadcast);
      e.kind = kExprBroadcast;
      Cur().pieces_[size_t(piece)].expr = std::move(e);
      return;
    }
    if (is("function") && w < stmt.size() &&
        (stmt[w] == ' ' || stmt[w] == '{' || stmt[w] == '\t' ||
         stmt[w] == '\r' || stmt[w] == '\n')) {
      FunctionStart(stmt);
      return;
    }
  }
  if (!ParseExpr(stmt, 0, &e, &msg, &pos)) return Error(msg, stmt, pos);
  int32_t piece = AddPiece(e.count > 0 ? kExprPlain : kExprNone);
  if (e.count > 0) {
    e.kind = kExprPlain;
    Cur().pieces_[size_t(piece)].expr = std::move(e);
  }
}

void ExprParseState::ParseSet(std::string_view stmt, size_t pos) {
  Lexer lx(stmt, pos);
  Token var = lx.Next();
  if (var.type != Tok::kWord)
    return Error("No variable to set", stmt, int32_t(var.pos));
  std::string_view name = lx.Text(var);
  ExprKind kind = kExprSetLocal;
  int32_t slot = -1;
  St field;
  int32_t dummy;
  const ExprKeyword* kw = ExprKeywordLookup(name);
  if (WordIsInteger(name, &dummy))
    return Error("Illegal variable", stmt, int32_t(var.pos));
  if (kw) {
    if (kw->kind != kKwScope || lx.PeekChar() != '.')
      return Error("Illegal variable", stmt, int32_t(var.pos));
    lx.Next();
    Token f = lx.Next();
    if (f.type != Tok::kWord)
      return Error("No variable to set", stmt, int32_t(f.pos));
    field = FieldName(kw->arg, lx.Text(f));
    if (hooks.fieldDeclare) hooks.fieldDeclare(field);
    kind = SetKind(kw->arg);
  } else {
    slot = ExprGetLocalIx(name);
  }
  Expr e;
  const char* msg = nullptr;
  int32_t errPos = 0;
  if (!ParseRequired(stmt, lx.Pos(), &e, &msg, &errPos))
    return Error(msg, stmt, errPos);
  int32_t piece = AddPiece(kind);
  e.kind = kind;
  e.target = slot;
  e.text = std::move(field);
  if (kind == kExprSetLocal) {
    const std::vector<ExprItem>& items = Cur().items_;
    size_t a = size_t(e.first), z = size_t(e.first + e.count) - 1;
    e.appendInPlace = e.count >= 3 && items[a].kind == kItemLocal &&
                      items[a].value == slot &&
                      items[z].kind == kItemOperator &&
                      items[z].sub == kOpCat && OneValue(items, a + 1, z);
  }
  Cur().pieces_[size_t(piece)].expr = std::move(e);
}

// ---------------------------------------------------------------------------
// Script functions.  The text from "function" on is collected until its
// braces balance: code in brackets is copied, literal runs become
// response.append("...") calls, and a bracket beginning with "=" becomes
// response.append(""+(expression)).

namespace {

void CountBraces(std::string_view code, int32_t* depth, bool* saw) {
  char quote = 0;
  for (size_t i = 0; i < code.size(); ++i) {
    char c = code[i];
    if (quote) {
      if (c == '\\') ++i;
      else if (c == quote) quote = 0;
      continue;
    }
    if (c == '"' || c == '\'' || c == '`') {
      quote = c;
    } else if (c == '/' && i + 1 < code.size() && code[i + 1] == '/') {
      while (i < code.size() && code[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < code.size() && code[i + 1] == '*') {
      size_t end = code.find("*/", i + 2);
      i = end == std::string_view::npos ? code.size() : end + 1;
    } else if (c == '{') {
      ++*depth;
      *saw = true;
    } else if (c == '}') {
      --*depth;
    }
  }
}

}  // namespace

void ExprParseState::FunctionStart(std::string_view stmt) {
  inFunction_ = true;
  braceDepth_ = 0;
  sawBrace_ = false;
  funcOwner_ = frames_.back().t;
  funcSource_.clear();
  FunctionCode(stmt);
}

void ExprParseState::FunctionLiteral(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  funcSource_ += "response.append(\"";
  for (char c : text) {
    uint8_t b = uint8_t(c);
    if (c == '"' || c == '\\') {
      funcSource_ += '\\';
      funcSource_ += c;
    } else if (c == '\n') {
      funcSource_ += "\\n";
    } else if (c == '\r') {
      funcSource_ += "\\r";
    } else if (b < 32 || c == '<') {
      funcSource_ += "\\x";
      funcSource_ += kHex[b >> 4];
      funcSource_ += kHex[b & 15];
    } else {
      funcSource_ += c;
    }
  }
  funcSource_ += "\");\n";
}

void ExprParseState::FunctionCode(std::string_view code) {
  std::string_view stmt = Trim(code);
  if (!stmt.empty() && stmt[0] == '=') {
    funcSource_ += "response.append(\"\"+(";
    funcSource_ += stmt.substr(1);
    funcSource_ += "));\n";
    return;
  }
  funcSource_ += stmt;
  funcSource_ += '\n';
  CountBraces(stmt, &braceDepth_, &sawBrace_);
  if (sawBrace_ && braceDepth_ <= 0) FunctionFinish();
}

void ExprParseState::FunctionFinish() {
  inFunction_ = false;
  Template& owner = *funcOwner_;
  St source = StFromView(funcSource_);
  owner.scriptSource_ = StCat(std::move(owner.scriptSource_), source);
  if (hooks.scriptCompile) hooks.scriptCompile(owner, std::move(source));
  funcOwner_ = TemplateRef();
  funcSource_.clear();
  AddPiece(kExprFunction);
}

void ExprParseState::Stop() {
  if (inFunction_) {
    for (int32_t i = 0; i < braceDepth_; ++i) funcSource_ += "}\n";
    FunctionFinish();
  }
}

}  // namespace quil
