// The keywords that need nothing beyond the template language: control and
// output, page values, form values, strings, numbers and dates.
#include <cstring>
#include <random>
#include <string>

#include "Eval.h"
#include "Template.h"
#include "Td.h"
#include "TemplateInt.h"

namespace quil {

namespace {

constexpr int32_t kRandomStringMax = 4096;

// ---------------------------------------------------------------------------
// Control, output and page values.

void KwNop(ExprCall&) {}

// The macro is looked up among the macros of the template being walked and
// of the templates it is nested in; for an evaluated text (.eval,
// .evalTemplate) then among those of the template that evaluated it; then
// for the current path's folder (folder template sets, the site file).
void KwUse(ExprCall& c) {
  ExprContext& ctx = c.Context();
  St name = c.ArgSt(0);
  TemplateRef m;
  Template* t = ctx.CurrentTemplate();
  while (t && !m) {
    Template* top = t;
    for (; t && !m; t = t->Parent()) {
      m = t->FindMacro(name.View());
      top = t;
    }
    if (!m) t = ctx.EvalCaller(top);
  }
  const ExprHooks& hooks = ExprGetHooks();
  if (!m) m = hooks.macroLookup ? hooks.macroLookup(ctx, name)
                                : TemplateUseLookup(ctx, name);
  ExprCallMacro(ctx, m);
}

void KwWhileLimitReset(ExprCall& c) { c.Context().WhileLimitReset(); }
void KwClearOutput(ExprCall& c) { c.Context().ClearOutput(); }
void KwPageIs(ExprCall& c) {
  c.Return(int32_t(c.Context().pageType == c.Item().value));
}
void KwLoginIs(ExprCall& c) {
  c.Return(int32_t(c.Context().loginType == c.Item().value));
}
void KwRegisterIs(ExprCall& c) {
  c.Return(int32_t(c.Context().registerType == c.Item().value));
}
void KwErrorTitle(ExprCall& c) { c.Return(c.Context().errTitle); }
void KwError(ExprCall& c) { c.Return(c.Context().errMsg); }
void KwActionPath(ExprCall& c) { c.Return(c.Context().actionPath); }
void KwCr(ExprCall& c) { c.Return(StCreateOne('\r')); }
void KwLf(ExprCall& c) { c.Return(StCreateOne('\n')); }
void KwCrLf(ExprCall& c) { c.Return(StCStrXfm("\r\n")); }

// Pads the current output line with blanks up to the column given.
void KwPad(ExprCall& c) {
  ExprContext& ctx = c.Context();
  std::string_view out = ctx.Output().View();
  size_t nl = out.rfind('\n');
  int64_t column = int64_t(out.size() - (nl == std::string_view::npos ? 0 : nl + 1));
  int64_t want = c.Item().value;
  static const char kBlanks[] = "                                ";
  while (column < want && !ctx.Stopped()) {
    int64_t n = want - column < 32 ? want - column : 32;
    ctx.Write(std::string_view(kBlanks, size_t(n)));
    column += n;
  }
}

// ---------------------------------------------------------------------------
// Form values.

const St* FormValue(ExprContext& ctx, const St& name) {
  for (const auto& [n, v] : ctx.formValues)
    if (n == name) return &v;
  return nullptr;
}

// A form or cookie value by name: the request's when the rendering has
// one, else the values given to the context.
void KwForm(ExprCall& c) {
  ExprContext& ctx = c.Context();
  St name = c.ArgSt(0);
  if (ctx.request) return c.Return(ctx.request->Value(name.View()));
  if (const St* v = FormValue(ctx, name)) c.Return(*v);
}

void KwHasValue(ExprCall& c) {
  ExprContext& ctx = c.Context();
  St name = c.ArgSt(0);
  if (ctx.request) return c.ReturnBool(ctx.request->HasValue(name.View()));
  c.ReturnBool(FormValue(ctx, name) != nullptr);
}

// Every value of the name, separated by commas.
void KwGetAllValues(ExprCall& c) {
  ExprContext& ctx = c.Context();
  St name = c.ArgSt(0);
  std::vector<St> values;
  if (ctx.request) {
    ctx.request->AllValues(name.View(), &values);
  } else {
    for (const auto& [n, v] : ctx.formValues)
      if (n == name) values.push_back(v);
  }
  St out;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out = StAppend(std::move(out), ',');
    out = StAppendView(std::move(out), values[i].View());
  }
  c.Return(std::move(out));
}

// ---------------------------------------------------------------------------
// Numbers.

void KwRandomString(ExprCall& c) {
  static const char kChars[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 gen{std::random_device{}()};
  int32_t n = c.ArgInt(0);
  if (n < 0) n = 0;
  if (n > kRandomStringMax) n = kRandomStringMax;
  St s = StAlloc(n);
  char* p = s.MutableChars();
  std::uniform_int_distribution<int> pick(0, int(sizeof kChars) - 2);
  for (int32_t i = 0; i < n; ++i) p[i] = kChars[pick(gen)];
  c.Return(std::move(s));
}

void KwNumberFormat(ExprCall& c) {
  St number = c.ReceiverSt();
  St format = c.ArgSt(0);
  St out;
  if (ExprNumberFormat(number.View(), format.View(), &out)) {
    c.Return(std::move(out));
    return;
  }
  // A format that does not fit the number is the template's error, shown
  // in the page rather than halting the server.
  ExprContext& ctx = c.Context();
  ctx.Write("<b>%% Number format does not match the number: ");
  ctx.Write(ExprSgml(format.View()).View());
  ctx.Write(" %%</b>");
}

void KwIntWithCommas(ExprCall& c) {
  c.Return(StStIntCommaXfm(c.ReceiverInt()));
}

void KwIntToHex(ExprCall& c) {
  c.Return(StHexNoZerosIntXfm(uint32_t(c.ReceiverInt())));
}

// Hexadecimal text, with or without a leading "." (unique ids) or "0x".
void KwHexToInt(ExprCall& c) {
  St s = c.ReceiverSt();
  std::string_view v = s.View();
  if (!v.empty() && v[0] == '.') v.remove_prefix(1);
  else if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X'))
    v.remove_prefix(2);
  uint32_t out = 0;
  for (char ch : v) {
    int d = ch >= '0' && ch <= '9'   ? ch - '0'
            : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
            : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                     : -1;
    if (d < 0) {
      out = 0;
      break;
    }
    out = out * 16 + uint32_t(d);
  }
  c.Return(int32_t(out));
}

// ---------------------------------------------------------------------------
// Strings.

// Position of pat in s at or after from, or npos.
size_t Find(std::string_view s, std::string_view pat, size_t from = 0) {
  return pat.empty() ? std::string_view::npos : s.find(pat, from);
}

void KwHead(ExprCall& c) {
  St s = c.ReceiverSt();
  St sep = c.ArgSt(0);
  size_t at = Find(s.View(), sep.View());
  if (at == std::string_view::npos) c.Return(std::move(s));
  else c.Return(StSubstr(s, 0, int32_t(at)));
}

void KwTail(ExprCall& c) {
  St s = c.ReceiverSt();
  St sep = c.ArgSt(0);
  size_t at = Find(s.View(), sep.View());
  if (at != std::string_view::npos)
    c.Return(StSubstr(s, int32_t(at) + sep.Length(), s.Length()));
}

void KwToUrl(ExprCall& c) { c.Return(StToUrlQuote(c.ReceiverSt())); }
void KwFromUrl(ExprCall& c) { c.Return(StFromUrlQuote(c.ReceiverSt())); }
void KwToSgml(ExprCall& c) { c.Return(StToSgml(c.ReceiverSt())); }
void KwFromSgml(ExprCall& c) { c.Return(StFromSgml(c.ReceiverSt())); }

// Escaped text with "<br>" before each line break.
void KwPlainTextToHtml(ExprCall& c) {
  St s = StToSgml(c.ReceiverSt());
  std::string out;
  out.reserve(size_t(s.Length()) + 16);
  std::string_view v = s.View();
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\r' || v[i] == '\n') {
      out += "<br>";
      out += v[i];
      if (v[i] == '\r' && i + 1 < v.size() && v[i + 1] == '\n') out += v[++i];
    } else {
      out += v[i];
    }
  }
  c.Return(StFromView(out));
}

void KwHtmlStripTags(ExprCall& c) {
  St s = c.ReceiverSt();
  std::string out;
  bool inTag = false;
  for (char ch : s.View()) {
    if (inTag) inTag = ch != '>';
    else if (ch == '<') inTag = true;
    else out += ch;
  }
  c.Return(StFromView(out));
}

bool UrlStart(std::string_view v, size_t i) {
  for (const char* scheme : {"http://", "https://", "ftp://", "mailto:"}) {
    size_t n = strlen(scheme);
    if (v.size() - i >= n && ExprEqualNoCase(v.substr(i, n), scheme)) {
      // Only at the start of a word.
      return i == 0 || !ExprTokenChar(uint8_t(v[i - 1]));
    }
  }
  return false;
}

// URLs outside tags become links: <a href="URL">URL</a>.
void KwHttpToLinks(ExprCall& c) {
  St s = c.ReceiverSt();
  std::string_view v = s.View();
  std::string out;
  bool inTag = false, inAnchor = false;
  for (size_t i = 0; i < v.size();) {
    char ch = v[i];
    if (inTag) {
      inTag = ch != '>';
      out += ch;
      ++i;
      continue;
    }
    if (ch == '<') {
      inTag = true;
      if (v.size() - i >= 3 && ExprEqualNoCase(v.substr(i, 2), "<a") &&
          ExprIsBlank(uint8_t(v[i + 2])))
        inAnchor = true;
      if (v.size() - i >= 4 && ExprEqualNoCase(v.substr(i, 4), "</a>"))
        inAnchor = false;
      out += ch;
      ++i;
      continue;
    }
    if (!inAnchor && UrlStart(v, i)) {
      size_t end = i;
      while (end < v.size() && !ExprIsBlank(uint8_t(v[end])) && v[end] != '<' &&
             v[end] != '>' && v[end] != '"')
        ++end;
      while (end > i && strchr(".,;:!?)'", v[end - 1])) --end;
      std::string_view url = v.substr(i, end - i);
      out += "<a href=\"";
      out += url;
      out += "\">";
      out += url;
      out += "</a>";
      i = end;
      continue;
    }
    out += ch;
    ++i;
  }
  c.Return(StFromView(out));
}

// Appends the closing tags of elements left open, innermost first.
void KwHtmlClosure(ExprCall& c) {
  static const char* const kPaired[] = {
      "a",  "b",  "big", "blockquote", "center", "code",  "div",    "em",
      "font", "h1", "h2", "h3",  "h4",  "h5",     "h6",     "i",    "ol",
      "pre", "s",  "small", "span", "strike", "strong", "sub",  "sup",
      "table", "td", "th", "tr", "tt", "u", "ul"};
  St s = c.ReceiverSt();
  std::string_view v = s.View();
  std::vector<std::string> open;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '<') continue;
    size_t j = i + 1;
    bool closing = j < v.size() && v[j] == '/';
    if (closing) ++j;
    size_t k = j;
    while (k < v.size() && (ExprTokenChar(uint8_t(v[k])))) ++k;
    std::string_view name = v.substr(j, k - j);
    const char* known = nullptr;
    for (const char* p : kPaired)
      if (ExprEqualNoCase(p, name)) known = p;
    if (!known) continue;
    if (!closing) {
      if (open.size() < 1024) open.emplace_back(known);
      continue;
    }
    for (size_t d = open.size(); d-- > 0;) {
      if (open[d] == known) {
        open.resize(d);
        break;
      }
    }
  }
  std::string tail;
  for (size_t d = open.size(); d-- > 0;) tail += "</" + open[d] + ">";
  c.Return(StAppendView(std::move(s), tail));
}

// Without an argument the length; with one the number of (non-overlapping)
// occurrences of it.
void KwCount(ExprCall& c) {
  St s = c.ReceiverSt();
  if (!c.Written(0)) {
    c.Return(s.Length());
    return;
  }
  St pat = c.ArgSt(0);
  int32_t n = 0;
  for (size_t at = Find(s.View(), pat.View()); at != std::string_view::npos;
       at = Find(s.View(), pat.View(), at + size_t(pat.Length())))
    ++n;
  c.Return(n);
}

void KwGetChar(ExprCall& c) {
  St s = c.ReceiverSt();
  int32_t i = c.ArgInt(0);
  c.Return(i >= 0 && i < s.Length() ? int32_t(s[i]) : 0);
}

// Replaces the byte at the index (the end: appends); a string argument
// gives its first byte.
void KwPutChar(ExprCall& c) {
  St s = c.ReceiverSt();
  int32_t i = c.ArgInt(0);
  St arg = c.ArgSt(1);
  int32_t v;
  uint8_t byte = StIntStXfm(arg, &v) ? uint8_t(v) : arg.Empty() ? 0 : arg[0];
  if (i >= 0 && i < s.Length()) s = StSet(std::move(s), i, byte);
  else if (i == s.Length()) s = StAppend(std::move(s), byte);
  c.Return(std::move(s));
}

void KwSubstr(ExprCall& c) {
  St s = c.ReceiverSt();
  int32_t start = c.ArgInt(0);
  int32_t count = c.Written(1) ? c.ArgInt(1) : s.Length();
  if (start < 0) start = 0;
  c.Return(StSubstr(s, start, count));
}

void KwLookup(ExprCall& c) {
  St s = c.ReceiverSt();
  St pat = c.ArgSt(0);
  size_t at = Find(s.View(), pat.View());
  c.Return(at == std::string_view::npos ? -1 : int32_t(at));
}

void KwNameToFirstLast(ExprCall& c) {
  c.Return(StNameToFirstLast(c.ReceiverSt()));
}
void KwNameToLastFirst(ExprCall& c) {
  c.Return(StNameToLastCommaFirst(c.ReceiverSt()));
}
void KwGetFirstName(ExprCall& c) { c.Return(StFirstName(c.ReceiverSt())); }
void KwGetLastName(ExprCall& c) { c.Return(StLastName(c.ReceiverSt())); }
void KwTrim(ExprCall& c) { c.Return(StStripBlanks(c.ReceiverSt())); }
void KwToUpper(ExprCall& c) {
  c.Return(StTranslate(c.ReceiverSt(), StLatinUpper));
}
void KwToLower(ExprCall& c) {
  c.Return(StTranslate(c.ReceiverSt(), StLatinLower));
}
void KwEval(ExprCall& c) {
  c.Return(ExprEvalSt(c.Context(), c.ReceiverSt()));
}
void KwEvalTemplate(ExprCall& c) {
  c.Return(ExprEvalTemplateSt(c.Context(), c.ReceiverSt()));
}
// Japanese text in whatever encoding to JIS (mail) or Shift JIS (pages).
void KwToJis(ExprCall& c) { c.Return(StToJis(c.ReceiverSt())); }
void KwToShiftJis(ExprCall& c) { c.Return(StToShiftJis(c.ReceiverSt())); }
void KwToBase64(ExprCall& c) { c.Return(StToBase64(c.ReceiverSt())); }
void KwFromBase64(ExprCall& c) { c.Return(StFromBase64(c.ReceiverSt())); }
void KwToQuotedPrintable(ExprCall& c) {
  c.Return(StToQuotedPrintable(c.ReceiverSt()));
}
void KwFromQuotedPrintable(ExprCall& c) {
  c.Return(StFromQuotedPrintable(c.ReceiverSt()));
}
// True when the text can go out as quoted-printable just as it is.
void KwCanUseQuotedPrintable(ExprCall& c) {
  St s = c.ReceiverSt();
  c.Return(int32_t(StBytesAreQuotedPrintable(s.CStr(), s.Length())));
}
void KwIsStandardText(ExprCall& c) {
  c.Return(int32_t(StIsStandardText(c.ReceiverSt())));
}
void KwToIsoQuoted(ExprCall& c) {
  St charset = c.ArgSt(0);
  c.Return(StToIsoQuoted(c.ReceiverSt(), charset.View()));
}
void KwStripEncodedWords(ExprCall& c) {
  c.Return(StStripEncodedWords(c.ReceiverSt()));
}

// ---------------------------------------------------------------------------
// Dates.  Date values are strings in DateObjectFormat (other forms that
// TdParse reads are accepted, and so is a count of seconds since 1970).

bool DateSeconds(const St& text, int64_t* secs) {
  Td t;
  if (TdParse(text.View(), &t)) {
    *secs = TdToSeconds(t, false);
    return true;
  }
  int32_t v;
  if (StIntStXfm(text, &v)) {
    *secs = v;
    return true;
  }
  return false;
}

St DateObject(int64_t secs, bool gmt) {
  return TdToSt(TdFromSeconds(secs, gmt), DateObjectFormat);
}

void ReturnNow(ExprCall& c, bool gmt, const char* deflt) {
  St format = c.Written(0) ? c.ArgSt(0) : StCStrXfm(deflt);
  c.Return(TdToSt(TdNow(gmt), format.View()));
}

void KwDate(ExprCall& c) { ReturnNow(c, false, "Mmm D1, Y4"); }
void KwTime(ExprCall& c) { ReturnNow(c, false, "H2:I2a"); }
void KwDateGmt(ExprCall& c) { ReturnNow(c, true, DateObjectFormat); }
void KwDateObj(ExprCall& c) { ReturnNow(c, false, DateObjectFormat); }
void KwSecsFrom1970(ExprCall& c) { c.Return(int32_t(TdSecondsNow())); }
void KwMilliseconds(ExprCall& c) {
  c.Return(int32_t(TdMillisecondsNow() & 0x7fffffff));
}

void KwDateFormat(ExprCall& c) {
  Td t;
  St receiver = c.ReceiverSt();
  St format = c.Written(0) ? c.ArgSt(0) : StCStrXfm("Mmm D1, Y4");
  if (!TdParse(receiver.View(), &t)) {
    int64_t secs;
    if (!DateSeconds(receiver, &secs)) return;
    t = TdFromSeconds(secs, false);
  }
  c.Return(TdToSt(t, format.View()));
}

void AddSeconds(ExprCall& c, int sign) {
  int64_t secs;
  if (!DateSeconds(c.ReceiverSt(), &secs)) return;
  c.Return(DateObject(secs + sign * int64_t(c.ArgInt(0)), false));
}
void KwDateAddSeconds(ExprCall& c) { AddSeconds(c, 1); }
void KwDateSubtractSeconds(ExprCall& c) { AddSeconds(c, -1); }

// -2: either date unreadable.
int CompareDates(ExprCall& c, int64_t* delta) {
  int64_t a, b;
  if (!DateSeconds(c.ReceiverSt(), &a) || !DateSeconds(c.ArgSt(0), &b))
    return -2;
  *delta = a - b;
  return a < b ? -1 : a > b ? 1 : 0;
}

void KwDateDeltaSeconds(ExprCall& c) {
  int64_t d = 0;
  if (CompareDates(c, &d) == -2) return;
  if (d > INT32_MAX) d = INT32_MAX;
  if (d < INT32_MIN) d = INT32_MIN;
  c.Return(int32_t(d));
}
void KwDateLessThan(ExprCall& c) {
  int64_t d;
  c.Return(int32_t(CompareDates(c, &d) == -1));
}
void KwDateEqual(ExprCall& c) {
  int64_t d;
  c.Return(int32_t(CompareDates(c, &d) == 0));
}
void KwDateGreaterThan(ExprCall& c) {
  int64_t d;
  c.Return(int32_t(CompareDates(c, &d) == 1));
}

void KwDateToGmt(ExprCall& c) {
  Td t;
  if (TdParse(c.ReceiverSt().View(), &t))
    c.Return(DateObject(TdToSeconds(t, false), true));
}
void KwDateFromGmt(ExprCall& c) {
  Td t;
  if (TdParse(c.ReceiverSt().View(), &t))
    c.Return(DateObject(TdToSeconds(t, true), false));
}

struct Builtin {
  const char* name;
  ExprKeywordFn fn;
};

constexpr Builtin kBuiltins[] = {
    {"noop", KwNop},
    {"use", KwUse},
    {"whileLimitReset", KwWhileLimitReset},
    {"clearOutput", KwClearOutput},
    {"pageIs", KwPageIs},
    {"loginIs", KwLoginIs},
    {"registerIs", KwRegisterIs},
    {"errorTitle", KwErrorTitle},
    {"error", KwError},
    {"actionPath", KwActionPath},
    {"pad", KwPad},
    {"cr", KwCr},
    {"lf", KwLf},
    {"crlf", KwCrLf},
    {"form", KwForm},
    {"hasValue", KwHasValue},
    {"getAllValues", KwGetAllValues},
    {"randomString", KwRandomString},
    {".numberFormat", KwNumberFormat},
    {".intWithCommas", KwIntWithCommas},
    {".intToHex", KwIntToHex},
    {".hexToInt", KwHexToInt},
    {".head", KwHead},
    {".tail", KwTail},
    {".toURL", KwToUrl},
    {".fromURL", KwFromUrl},
    {".toSGML", KwToSgml},
    {".fromSGML", KwFromSgml},
    {".plainTextToHtml", KwPlainTextToHtml},
    {".htmlStripTags", KwHtmlStripTags},
    {".httpToLinks", KwHttpToLinks},
    {".htmlClosure", KwHtmlClosure},
    {".count", KwCount},
    {".getChar", KwGetChar},
    {".putChar", KwPutChar},
    {".substr", KwSubstr},
    {".lookup", KwLookup},
    {".nameToFirstLast", KwNameToFirstLast},
    {".nameToLastFirst", KwNameToLastFirst},
    {".getFirstName", KwGetFirstName},
    {".getLastName", KwGetLastName},
    {".trim", KwTrim},
    {".toUpper", KwToUpper},
    {".toLower", KwToLower},
    {".eval", KwEval},
    {".evalTemplate", KwEvalTemplate},
    {".toBase64", KwToBase64},
    {".fromBase64", KwFromBase64},
    {".toQuotedPrintable", KwToQuotedPrintable},
    {".fromQuotedPrintable", KwFromQuotedPrintable},
    {".isStandardText", KwIsStandardText},
    {".canUseQuotedPrintable", KwCanUseQuotedPrintable},
    {".toIsoQuoted", KwToIsoQuoted},
    {".stripEncodedWords", KwStripEncodedWords},
    {".toJis", KwToJis},
    {".toShiftJis", KwToShiftJis},
    {"date", KwDate},
    {"time", KwTime},
    {"dateGmt", KwDateGmt},
    {"dateObj", KwDateObj},
    {"secsFrom1970", KwSecsFrom1970},
    {"milliseconds", KwMilliseconds},
    {".dateFormat", KwDateFormat},
    {".dateAddSeconds", KwDateAddSeconds},
    {".dateSubtractSeconds", KwDateSubtractSeconds},
    {".dateDeltaSeconds", KwDateDeltaSeconds},
    {".dateLessThan", KwDateLessThan},
    {".dateEqual", KwDateEqual},
    {".dateGreaterThan", KwDateGreaterThan},
    {".dateToGmt", KwDateToGmt},
    {".dateFromGmt", KwDateFromGmt},
};

}  // namespace

void ExprInstallBuiltins() {
  for (const Builtin& b : kBuiltins)
    if (!ExprKeywordRegister(b.name, b.fn))
      MaAssertFailure(std::string("ExprInstallBuiltins--unknown keyword ") +
                      b.name);
  ExprInstallUserBuiltins();
  ExprInstallPathBuiltins();
  ExprInstallSiteBuiltins();
  ExprInstallIoBuiltins();
  ExprInstallContainerBuiltins();
}

namespace {
PkgState exprState;
}  // namespace

uint16_t ExprInitRtns(int selector, int32_t value) {
  if (selector == kPkgDebug) ExprDebugFlag = value != 0;
  PkgSteps steps;
  steps.init = [] {
    ExprParseInit();
    return uint16_t(0);
  };
  steps.term = [] { ExprParseTerm(); };
  return PkgDispatch(exprState, "ExprInitRtns", selector, value, steps);
}

}  // namespace quil
