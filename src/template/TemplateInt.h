// Internals shared by the template parser and evaluator.  Not for use outside
// src/template.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Eval.h"
#include "Expr.h"
#include "Template.h"

namespace quil {

// The "Powered by" picture of the factory footer, a GIF (TemplateImages.cc).
std::string_view TemplatePoweredByGif();
// The site's icon for "/favicon.ico" (TemplateImages.cc).
std::string_view TemplateFavicon();

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

// Installs the built-in keyword handlers; called once when the keyword
// table is built.  Each family file has its own installer.
void ExprInstallBuiltins();
void ExprInstallUserBuiltins();
void ExprInstallPathBuiltins();
void ExprInstallSiteBuiltins();
void ExprInstallIoBuiltins();
void ExprInstallContainerBuiltins();

// The default behaviours behind ExprHooks (TemplateRender.cc): fields of the
// user, author, path, site and session scopes, and the macro look-up of
// `use` for the context's folder.  code is the scope keyword's, noted as
// unavailable when the context has no root.
St TemplateFieldGet(ExprContext& ctx, ExprKwArg scope, int code,
                    const St& name);
void TemplateFieldSet(ExprContext& ctx, ExprKwArg scope, int code,
                      const St& name, St value);
TemplateRef TemplateUseLookup(ExprContext& ctx, const St& name);

// Finds the self-referring links of every literal run of t (and of its
// macros, which share its pieces' text) and records them in the pieces.
void TemplateSelfRefBuild(Template& t, const St& siteString, const St& urlBase);

// ---------------------------------------------------------------------------
// Helpers of the keyword families (EvalForum.cc).

// The rendering's root; null (with the keyword noted unavailable) when the
// context has none.
ForumRoot KwRoot(ExprCall& c);
// A message handle's discussion and index; false for anything else.
bool TemplateMessageOf(const ForumFile& item, ForumFile* discussion,
                       int32_t* index);
// The record of an item (a message's own record), 0 for none.
ChHandle TemplateItemRecord(const ForumFile& item);
ChHandle TemplateItemAuthor(const ForumFile& item);
// The author of the context's path, or the one set for the page.
ChHandle TemplateAuthorOf(ExprContext& ctx);
St TemplateItemTitle(const ForumFile& item);
LgDbTd TemplateItemDate(const ForumFile& item, bool created);
// A record's text field by name (nil when absent).
St TemplateRecText(ChHandle rec, const char* field);
// The location of an item for links: its unique path.
St TemplateLocation(const ForumFile& item);
// A link to this server: the site's URL base (or "?" when it has none), the
// command, "@", the certificate when the command takes one, "@" and the
// location.
St TemplateLink(ExprContext& ctx, int command, std::string_view location);
// A unique identifier as lower-case hexadecimal, and back (a leading "."
// allowed); 0 when the text is not one.
St TemplateIdText(int32_t id);
int32_t TemplateIdFromText(std::string_view text);
// A user or group record by unique identifier (0 when none is).
ChHandle TemplatePrincipalById(ForumRoot root, int32_t id);
// The name of a user as pages show it ("First Last").
St TemplateDisplayName(ForumRoot root, ChHandle user);
// A stored date in format; "" for a date never set.
St TemplateDate(const LgDbTd& td, std::string_view format);
// The site's time format (sysop TimeFormat, default "H2:I2a Mmm D1, Y4").
St TemplateTimeFormat(ForumRoot root);
// Renders a page fragment into the output with one level of nesting; at
// the depth limit writes "<b>%% " + tooDeep + " %%</b>" instead.
void TemplateRenderFragment(ExprContext& ctx, const TemplateRef& t,
                            const char* tooDeep);
// Facts about one item that keywords ask for again and again while a list
// entry is written, kept per context for the item asked about last (most
// often the current path): whether it is a message, its discussion and
// index, its record, and the fields read from that record.  A message's
// fields are read from its record directly (the store's item accessors
// look the message up by index each time).
// The site's cache of messages (TemplateSite::messages): the open handle
// and record of each message position a list showed, and the fields read
// from each record.  Valid for one root at one pair of revision counters
// (every change of a message or of the tree moves one of them); emptied
// when it holds more than kBytes of text or kEntries entries.  The handles
// keep their messages open: the cache is emptied (TemplateCacheTerm)
// before the root closes.
struct TemplateMessageCache {
  static constexpr int64_t kBytes = int64_t(16) << 20;
  static constexpr size_t kEntries = 20000;
  struct Entry {
    bool haveTitle = false, haveBody = false, haveDate = false,
         haveAuthor = false, haveNumber = false;
    St title, body;
    LgDbTd date;
    ChHandle author = 0;
    bool hasNumber = false;
    int32_t number = 0;
    St dateFormat, dateText;  // the date written in dateFormat
    St path;                  // the name path
    // What TemplateMessageRun::AddStable wrote for the message with a
    // template, and the author's name and time format it was written
    // with (the rest of what such a template reads is the message's own,
    // and a change of it empties the cache).  A page writes a message
    // through one or two templates, so a short list.
    struct Cooked {
      TemplateRef t;  // held, so that its address names no other template
      St authorName, timeFormat, text;
    };
    std::vector<Cooked> cooked;
  };
  struct Position {
    ForumFile handle;  // empty for a deleted message
    ChHandle rec = 0;
  };
  ForumRoot root = nullptr;
  int32_t structRev = -1, msgRev = -1;
  int64_t bytes = 0;
  int64_t generation = 0;  // new each time the cache is emptied
  std::unordered_map<ChHandle, Entry> entries;
  std::unordered_map<uint64_t, Position> positions;  // discussion id, index

  // Empties the cache when it no longer fits root's present state.
  void Validate(ForumRoot root);
};

// The message at index of discussion d (empty when deleted), through the
// site's cache; *rec is its record.
ForumFile TemplateCachedMessage(ExprContext& ctx, const ForumFile& d,
                                int32_t index, ChHandle* rec);

// Counts the changes made through the TplStore seam; cached facts of an
// older count are read again.
extern int64_t TplStoreEpoch;

struct TemplateFacts {
  ForumFile item;        // held while cached
  bool message = false;
  ForumFile discussion;  // a message's
  int32_t index = -1;
  ChHandle rec = 0;      // the item's record (a message's own)
};
const TemplateFacts& TemplateFactsOf(ExprContext& ctx, const ForumFile& item);
// The site cache's entry of a message item (null for any other item).
TemplateMessageCache::Entry* TemplateFactEntry(ExprContext& ctx, const ForumFile& item);
// Tells the cache what a list already knows about a message.
void TemplateFactsPrime(ExprContext& ctx, const ForumFile& item,
                        const ForumFile& discussion, int32_t index,
                        ChHandle rec);
// The item's title, body, date, author and name path through the cache.
St TemplateFactTitle(ExprContext& ctx, const ForumFile& item);
St TemplateFactBody(ExprContext& ctx, const ForumFile& item);
LgDbTd TemplateFactDate(ExprContext& ctx, const ForumFile& item, bool created);
ChHandle TemplateFactAuthor(ExprContext& ctx, const ForumFile& item);
St TemplateFactPath(ExprContext& ctx, const ForumFile& item);
// The item's date in format (a message's through the site's cache).
St TemplateFactDateText(ExprContext& ctx, const ForumFile& item, bool created,
                        const St& format);
// A message's stored MessageNumber; false when it has none.
bool TemplateFactNumber(ExprContext& ctx, const ForumFile& item, int32_t* number);
// A user's shown name, remembered for the rendering.
St TemplateFactUserName(ExprContext& ctx, ChHandle user);
// The site's time format, read once per rendering.
St TemplateFactTimeFormat(ExprContext& ctx);

// The session variable name of the context (nil when unset).
St TemplateSessionGet(ExprContext& ctx, const St& name);
void TemplateSessionSet(ExprContext& ctx, const St& name, St value);
ChHandle TemplateScopeRecord(ExprContext& ctx, ExprKwArg scope);

// Registration tables of the family files.
struct KwEntry {
  const char* name;
  ExprKeywordFn fn;
  int32_t selector;
};
void KwInstall(std::span<const KwEntry> entries);

// Family state numbers of ExprContext::FamilyState.
constexpr int kFamilyContainers = 0;
constexpr int kFamilyFiles = 1;
constexpr int kFamilyXml = 2;
constexpr int kFamilySession = 3;
constexpr int kFamilyFacts = 4;

}  // namespace quil
