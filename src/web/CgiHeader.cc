// Completing a page: the footer, the certificate in the page's links and
// the HTTP header.
#include <strings.h>

#include "Auth.h"
#include "CgiInt.h"
#include "LgDb.h"
#include "Td.h"

namespace quil {

#ifndef QUIL_VERSION
#error "QUIL_VERSION must be defined by the build (the project version)"
#endif
const char kCgiServerText[] = "Quillmoot/" QUIL_VERSION;

namespace {
bool fcgiOmitLength = false;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The last part of a script path ("/cgi-bin/Quil" gives "Quil").
std::string_view ScriptTail(const St& script) {
  std::string_view s = script.View();
  size_t slash = s.rfind('/');
  return slash == std::string_view::npos ? s : s.substr(slash + 1);
}

// True when text[0, end) ends with tail (ASCII case ignored) and what comes
// before it can start a link target.
bool EndsWithScript(std::string_view text, size_t end, std::string_view tail) {
  if (tail.empty() || end < tail.size()) return false;
  size_t start = end - tail.size();
  if (strncasecmp(text.data() + start, tail.data(), tail.size()) != 0) return false;
  if (start == 0) return true;
  char c = text[start - 1];
  return c == '/' || c == '"' || c == '\'' || c == '=' || c == ' ' || c == '\t' || c == '\n' ||
         c == '\r';
}
}  // namespace

void CgiSetFcgiOmitLength(bool on) { fcgiOmitLength = on; }

St CgiHttpDate(int64_t seconds) { return TdToSt(TdFromSeconds(seconds, true), kCgiHttpDateFormat); }

St HtmlSelfRef(St page, const St& cert, const St& scriptName, const St& altScript) {
  if (cert.Empty() || StIndex(page, 0, '?') < 0) return page;
  std::string_view text = page.View();
  std::string_view tail = ScriptTail(scriptName), alt = ScriptTail(altScript);
  Buf out;
  size_t copied = 0;
  for (size_t q = text.find('?'); q != std::string_view::npos; q = text.find('?', q + 1)) {
    size_t d = q + 1;
    int command = 0;
    while (d < text.size() && IsDigit(text[d]) && d - q <= 3) command = command * 10 + (text[d++] - '0');
    if (d == q + 1 || d + 1 >= text.size() || text[d] != '@' || text[d + 1] != '@') continue;
    if (command < 1 || command > kCgiMaxCommand || CgiSeHas(CgiNoCertSe, command)) continue;
    char before = q > 0 ? text[q - 1] : '\0';
    bool relative = before == '"' || before == '\'' || before == '=';
    if (!relative && !EndsWithScript(text, q, tail) && !EndsWithScript(text, q, alt)) continue;
    if (!out.IsOpen()) BufOpen(out, int32_t(text.size() + 64 * cert.Length()));
    BufAddView(out, text.substr(copied, d + 1 - copied));
    BufAddSt(out, cert);
    copied = d + 1;
  }
  if (!out.IsOpen()) return page;
  BufAddView(out, text.substr(copied));
  return BufClose(out);
}

ForumFile CgiFooterFolder(CgiRequest& r) {
  if (r.footerFolder) return r.footerFolder;
  ForumFile item = CgiOpenLocation(r.root, r.location);
  while (item && !ForumFileIsCategory(item)) item = ForumFileParent(item);
  return item;
}

St PrependHTMLHeader(CgiRequest& r, St page) {
  if (StIsPrefixC(page, "HTTP/")) return page;
  if (r.html && !r.pageComplete) {
    Buf b;
    BufOpen(b, page.Length() + 1024);
    BufAddS(b, std::move(page));
    BufAddS(b, CgiTemplates().footer(r, CgiFooterFolder(r)));
    BufAddC(b, "</BODY></HTML>");
    page = BufClose(b);
    r.pageComplete = true;
  }
  if (r.html) {
    St alt = r.root ? ForumSysopAltScript(r.root) : St();
    page = HtmlSelfRef(std::move(page), r.cert, r.scriptName, alt);
  }

  CgiFrontEnd front = r.event ? r.event->frontEnd : CgiFrontEnd::kHttp;
  Buf h;
  BufOpen(h, 512);
  if (front == CgiFrontEnd::kHttp || front == CgiFrontEnd::kStdio) {
    BufAddC(h, "HTTP/1.1 200 OK\r\nServer: ");
    BufAddC(h, kCgiServerText);
    BufAddC(h, "\r\n");
  }
  BufAddC(h, "MIME-Version: 1.0\r\n");
  if (!r.noCache) BufAddC(h, "Cache-Control: private\r\n");
  BufAddC(h, "Connection: close\r\nDate: ");
  BufAddS(h, CgiHttpDate(TdSecondsNow()));
  BufAddC(h, "\r\n");
  if (r.lastModified.date != 0) {
    BufAddC(h, "Last-Modified: ");
    BufAddS(h, CgiHttpDate(TdToSeconds(LgDbTdToTd(r.lastModified), false)));
    BufAddC(h, "\r\n");
  }
  if (r.noCache) BufAddC(h, "Pragma: no-cache\r\nCache-Control: no-cache\r\n");
  BufAddSt(h, r.extraHeaders);
  BufAddC(h, "Content-type: ");
  St type = r.contentType;
  if (type.Empty() && r.root) type = ForumSysopMimeType(r.root);
  if (type.Empty()) type = StCStrXfm("text/html");
  BufAddS(h, std::move(type));
  BufAddC(h, "\r\n");
  if (!(front == CgiFrontEnd::kFcgi && fcgiOmitLength)) {
    BufAddC(h, "Content-length: ");
    BufAddInt(h, page.Length());
    BufAddC(h, "\r\n");
  }
  if (r.sendCookie && r.root && r.user != 0) BufAddS(h, AuthSetCookie(r.root, r.user, r.cookieReceived));
  BufAddC(h, "\r\n");
  BufAddS(h, std::move(page));
  return BufClose(h);
}

void CgiErrorPage(CgiRequest& r, std::string_view title, std::string_view message) {
  BufOpen(r.page);
  r.html = true;
  r.contentType = St();
  r.pageComplete = false;
  if (!r.footerFolder) r.footerFolder = CgiFooterFolder(r);
  CgiTemplates().errorPage(r, StFromView(title), StFromView(message));
  r.pageComplete = true;
}

}  // namespace quil
