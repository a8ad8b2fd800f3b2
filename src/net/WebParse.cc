// The HTTP request parser, CGI names, the URI table, the top-level
// mapping, the port list, error pages and the common log line.
#include <cstring>

#include "Tcp.h"
#include "Td.h"
#include "WebInt.h"

namespace quil {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view v) {
  while (!v.empty() && IsBlank(v.front())) v.remove_prefix(1);
  while (!v.empty() && IsBlank(v.back())) v.remove_suffix(1);
  return v;
}

bool SameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (StASCIILower[uint8_t(a[i])] != StASCIILower[uint8_t(b[i])]) return false;
  return true;
}

bool PrefixNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameNoCase(text.substr(0, prefix.size()), prefix);
}

void Fail(WebRequest& r, int status, const char* text) {
  r.phase = WebPhase::kError;
  r.errorStatus = status;
  r.errorText = text;
}

// The next blank-separated word of v from *pos.
std::string_view NextWord(std::string_view v, size_t* pos) {
  size_t i = *pos;
  while (i < v.size() && IsBlank(v[i])) ++i;
  size_t start = i;
  while (i < v.size() && !IsBlank(v[i])) ++i;
  *pos = i;
  return v.substr(start, i - start);
}

void TakeRequestLine(WebRequest& r, std::string_view line) {
  if (Trim(line).empty()) return;  // stray line ends before the request
  r.requestLine = StFromView(line);
  size_t pos = 0;
  std::string_view method = NextWord(line, &pos);
  std::string_view uri = NextWord(line, &pos);
  if (uri.empty()) {
    Fail(r, 400, "Bad Request");
    return;
  }
  r.method = StFromView(method);
  r.uri = StFromView(uri);
  if (SameNoCase(method, "GET"))
    r.kind = kWebKindGet;
  else if (SameNoCase(method, "HEAD"))
    r.kind = kWebKindHead;
  else if (SameNoCase(method, "POST"))
    r.kind = kWebKindPost;
  else
    r.kind = kWebKindOther;
  bool more = !NextWord(line, &pos).empty();
  if (!more && r.kind == kWebKindGet) {
    r.kind = kWebKindSimple;
    r.phase = WebPhase::kComplete;
    return;
  }
  r.phase = WebPhase::kHeaders;
}

constexpr char kChatPrefix[] = "/quil?9999@@";

void TakeChat(WebRequest& r) {
  std::string_view rest = r.uri.View().substr(sizeof kChatPrefix - 1);
  auto alnum = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  };
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < rest.size() && words.size() < 2) {
    while (i < rest.size() && !alnum(rest[i])) ++i;
    size_t start = i;
    while (i < rest.size() && alnum(rest[i])) ++i;
    if (i > start) words.push_back(rest.substr(start, i - start));
  }
  r.chat = true;
  r.kind = kWebKindChat;
  r.chatId = 0;
  if (!words.empty()) {
    int64_t id = 0;
    for (char c : words[0]) {
      if (c < '0' || c > '9' || id > 100000000) {
        id = 0;
        break;
      }
      id = id * 10 + (c - '0');
    }
    r.chatId = int32_t(id);
  }
  r.chatH = words.size() > 1 && words[1][0] == 'H';
}

void EndHeaders(WebRequest& r, const WebLimits& limits) {
  if (PrefixNoCase(r.uri.View(), kChatPrefix)) {
    TakeChat(r);
    r.phase = WebPhase::kComplete;
    return;
  }
  // Bodies come with a Content-length only; a chunked one cannot be read.
  St coding = WebRequestHeader(r, "Transfer-Encoding");
  if (!coding.IsNil() && !SameNoCase(coding.View(), "identity")) {
    Fail(r, 411, "Length Required");
    return;
  }
  St length = WebRequestHeader(r, "Content-length");
  if (!length.IsNil()) {
    if (!CgiParseCount(length.View(), &r.contentLength)) {
      Fail(r, 400, "Bad Request");
      return;
    }
    if (r.contentLength > limits.maxBody) {
      Fail(r, 413, "Request Entity Too Large");
      return;
    }
  }
  r.referer = WebRequestHeader(r, "Referer");
  r.userAgent = WebRequestHeader(r, "User-Agent");
  r.phase = WebPhase::kBody;
}

void TakeHeaderLine(WebRequest& r, std::string_view line, const WebLimits& limits) {
  if (line.empty()) {
    EndHeaders(r, limits);
    return;
  }
  if (int32_t(r.headers.size()) >= limits.maxHeaderLines) {
    Fail(r, 431, "Request Header Fields Too Large");
    return;
  }
  if (IsBlank(line[0])) {
    if (r.headers.empty()) return;
    WebHeader& h = r.lastHeader < r.headers.size() ? r.headers[r.lastHeader] : r.headers.back();
    h.value = StAppendView(StAppendView(std::move(h.value), ","), Trim(line));
    return;
  }
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;  // not a header: ignored
  std::string_view name = Trim(line.substr(0, colon));
  std::string_view value = Trim(line.substr(colon + 1));
  if (name.empty()) return;
  for (size_t i = 0; i < r.headers.size(); ++i) {
    if (SameNoCase(r.headers[i].name.View(), name)) {
      r.headers[i].value = StAppendView(StAppendView(std::move(r.headers[i].value), ","), value);
      r.lastHeader = i;
      return;
    }
  }
  r.headers.push_back({StFromView(name), StFromView(value)});
  r.lastHeader = r.headers.size() - 1;
}

}  // namespace

WebPhase WebRequestParse(WebRequest& r, Strm& in, const WebLimits& limits) {
  while (r.phase == WebPhase::kRequestLine || r.phase == WebPhase::kHeaders) {
    size_t size = size_t(in.Size());
    std::string_view all = in.PeekAll();
    size_t nl = r.scan < size ? all.find('\n', r.scan) : std::string_view::npos;
    size_t lineLen = nl == std::string_view::npos ? size : nl;
    if (r.phase == WebPhase::kRequestLine) {
      if (lineLen > limits.maxLine) {
        Fail(r, 414, "Request-URI Too Long");
        break;
      }
    } else if (r.headerBytes + lineLen > limits.maxHeaderBytes) {
      Fail(r, 431, "Request Header Fields Too Large");
      break;
    }
    if (nl == std::string_view::npos) {
      r.scan = size;
      return r.phase;
    }
    std::string_view line = all.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (r.phase == WebPhase::kRequestLine) {
      TakeRequestLine(r, line);
    } else {
      r.headerBytes += nl + 1;
      TakeHeaderLine(r, line, limits);
    }
    in.Consume(nl + 1);
    r.scan = 0;
  }
  if (r.phase == WebPhase::kBody && in.Size() >= r.contentLength) {
    if (r.contentLength > 0) r.body = in.Take(size_t(r.contentLength));
    r.phase = WebPhase::kComplete;
  }
  return r.phase;
}

St WebRequestHeader(const WebRequest& r, std::string_view name) {
  for (const WebHeader& h : r.headers)
    if (SameNoCase(h.name.View(), name)) return h.value;
  return St();
}

St WebCgiName(const St& headerName) {
  std::string n = headerName.Str();
  for (char& c : n)
    if (c == '-') c = '_';
  if (SameNoCase(n, "Content_Length") || SameNoCase(n, "Content_Type")) return StFromView(n);
  return StFromView("http_" + n);
}

// ---------------------------------------------------------------------------

const WebUriEntry* WebUriFind(const std::vector<WebUriEntry>& table, const St& path,
                              const St& uri) {
  for (const WebUriEntry& e : table) {
    if (e.prefix.find('?') != std::string::npos) {
      if (PrefixNoCase(uri.View(), e.prefix)) return &e;
    } else if (path.View().substr(0, e.prefix.size()) == e.prefix) {
      return &e;
    }
  }
  return nullptr;
}

namespace {

bool IsSeparator(char c) { return c == ' ' || c == ',' || c == '\n' || c == '\r' || c == '\t'; }

std::vector<std::string_view> Items(std::string_view text) {
  std::vector<std::string_view> items;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsSeparator(text[i])) ++i;
    size_t start = i;
    while (i < text.size() && !IsSeparator(text[i])) ++i;
    if (i > start) items.push_back(text.substr(start, i - start));
  }
  return items;
}

bool IsNumber(std::string_view v) {
  if (v.empty()) return false;
  for (char c : v)
    if (c < '0' || c > '9') return false;
  return true;
}

bool IsAddress(std::string_view v) {
  uint32_t a;
  size_t colon = v.find(':');
  if (colon != std::string_view::npos)
    return TcpStToIp(v.substr(0, colon), &a) && IsNumber(v.substr(colon + 1));
  return TcpStToIp(v, &a);
}

}  // namespace

St WebTopLevelMap(const St& rule, uint32_t localIp, uint16_t localPort) {
  std::string ip = TcpIpToSt(localIp).Str();
  std::string port = std::to_string(localPort);
  for (std::string_view item : Items(rule.View())) {
    size_t eq = item.find('=');
    if (eq == std::string_view::npos) {
      if (!IsNumber(item) && !IsAddress(item)) return StFromView(item);
      continue;
    }
    std::string_view key = item.substr(0, eq);
    if (!key.empty() && key[0] == ':') key.remove_prefix(1);
    if (key == ip || key == ip + ":" + port || key == port) return StFromView(item.substr(eq + 1));
  }
  return St();
}

std::vector<std::pair<uint32_t, uint16_t>> WebPortItems(const St& setting) {
  std::vector<std::pair<uint32_t, uint16_t>> out;
  for (std::string_view item : Items(setting.View())) {
    uint32_t address = 0;
    std::string_view port = item;
    size_t colon = item.rfind(':');
    if (colon != std::string_view::npos) {
      if (!TcpStToIp(item.substr(0, colon), &address)) continue;
      port = item.substr(colon + 1);
    }
    if (!IsNumber(port) || port.size() > 6) continue;
    int32_t n = int32_t(std::stol(std::string(port)));
    if (n <= 0 || n >= 65536) continue;
    out.emplace_back(address, uint16_t(n));
  }
  return out;
}

// ---------------------------------------------------------------------------

St WebErrorResponse(const St& releaseText, int status, const char* text) {
  std::string what = std::to_string(status) + " " + text;
  std::string body = "<HTML><HEAD><TITLE>" + what + "</TITLE></HEAD><BODY><H1>" + what +
                     "</H1></BODY></HTML>";
  std::string r = "HTTP/1.1 " + what + "\r\nServer:" + releaseText.Str() +
                  "\r\nMIME-Version: 1.0\r\nCache-Control: private\r\nConnection: close\r\n"
                  "Content-type: text/html\r\nContent-length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body;
  return StFromView(r);
}

St WebFileHeader(const St& releaseText, const St& lastModified, const char* contentType,
                 int64_t length) {
  std::string r = "HTTP/1.1 200 OK\r\nServer:" + releaseText.Str() +
                  "\r\nMIME-Version: 1.0\r\nCache-Control: private\r\nConnection: close\r\n" +
                  lastModified.Str() + "Content-type: " + contentType +
                  "\r\nContent-length: " + std::to_string(length) + "\r\n\r\n";
  return StFromView(r);
}

std::string WebLogLine(uint32_t remoteIp, int64_t nowSeconds, const St& requestLine, int status,
                       int64_t bytes, bool combined, const St& referer, const St& userAgent) {
  std::string line = TcpIpToSt(remoteIp).Str() + " - - [" +
                     TdToSt(TdFromSeconds(nowSeconds, true), "D2/Mmm/Y4:H4:I2:S2").Str() +
                     "] \"" + requestLine.Str() + "\" " + std::to_string(status) + " " +
                     std::to_string(bytes);
  if (combined) line += " \"" + referer.Str() + "\" \"" + userAgent.Str() + "\"";
  return line + "\n";
}

}  // namespace quil
