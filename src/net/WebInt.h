// Internals of the HTTP server shared by its source files, its tests and
// its fuzz harness: the incremental request parser, the connection record,
// the URI table, the file cache and the response builders.
//
// The request as parsed (the connection record's request part):
//
//   FIELD          FROM
//   requestLine    the first line as received (without CR LF), for the log
//   method, uri    its first and second blank-separated words
//   kind           1 simple GET (no version: no headers, body only),
//                  2 GET, 3 HEAD, 4 POST, 5 chat hand-off, 6 other
//   headers        names and values in arrival order; a line starting with
//                  a blank or tab continues the previous value (joined with
//                  ","); a repeated name (any case) gets the new value
//                  appended after ","; names and values trimmed of blanks
//   contentLength  the "Content-length" value (0 when absent)
//   body           exactly contentLength bytes (nil when 0)
//
// Lines end with LF; a CR before it is dropped.  Empty lines before the
// request line are skipped.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "CgiEvent.h"
#include "Sess.h"
#include "Strm.h"
#include "Web.h"

namespace quil {

enum WebKind : uint8_t {
  kWebKindSimple = 1,
  kWebKindGet = 2,
  kWebKindHead = 3,
  kWebKindPost = 4,
  kWebKindChat = 5,
  kWebKindOther = 6,
};

enum class WebPhase : uint8_t { kRequestLine, kHeaders, kBody, kComplete, kError };

struct WebHeader {
  St name;
  St value;
};

struct WebRequest {
  WebPhase phase = WebPhase::kRequestLine;
  size_t scan = 0;  // how far the input has been searched for a line end
  int kind = 0;
  St requestLine, method, uri;
  std::vector<WebHeader> headers;
  size_t lastHeader = SIZE_MAX;  // the header a continuation line extends
  size_t headerBytes = 0;
  int64_t contentLength = 0;
  St body;
  St referer, userAgent;
  // Chat hand-off ("/quil?9999@@" and the chat id, "H" flag).
  bool chat = false;
  int32_t chatId = 0;
  bool chatH = false;
  // When phase is kError: the status and its text ("414", "Request-URI Too
  // Long").
  int errorStatus = 0;
  const char* errorText = nullptr;
};

struct WebLimits {
  size_t maxLine = kWebMaxLine;
  size_t maxHeaderBytes = kWebMaxHeaderBytes;
  int32_t maxHeaderLines = kWebMaxHeaderLines;
  int64_t maxBody = 8 * 1024 * 1024;
};

// Parses as much of in as completes steps, consuming what it used; stops
// at kComplete (the rest of in is left alone) or kError.
WebPhase WebRequestParse(WebRequest& r, Strm& in, const WebLimits& limits);
// The value of a header (any case), nil when absent.
St WebRequestHeader(const WebRequest& r, std::string_view name);
// A header name as a CGI variable name: "-" becomes "_" and "http_" goes in
// front of every name but Content_Length and Content_Type (any case).
St WebCgiName(const St& headerName);

// ---------------------------------------------------------------------------
// The URI table.

enum WebUriType : uint8_t {
  kWebUriFile = 1,
  kWebUriForum = 3,
  kWebUriCgi = 4,
  kWebUriAcgi = 6,
  kWebUriScript = 7,
  kWebUriMoved = 8,
  kWebUriMovedTemp = 9,
  kWebUriClose = 10,
  kWebUriChatPost = 11,
};

struct WebUriEntry {
  std::string prefix;     // matched against the path (or, when it holds a
                          // "?", against the whole URI, ignoring case)
  int type = kWebUriFile;
  std::string directory;  // files: under the data directory; redirects:
                          // the target
};

// The entry for a URI (the decoded path and the raw URI); null when none.
const WebUriEntry* WebUriFind(const std::vector<WebUriEntry>& table, const St& path,
                              const St& uri);
// The httpTopLevel rule for the URI "/": the replacement URI, or nil when
// no item applies.
St WebTopLevelMap(const St& rule, uint32_t localIp, uint16_t localPort);
// Splits a webPort setting into (address, port) items.
std::vector<std::pair<uint32_t, uint16_t>> WebPortItems(const St& setting);

// ---------------------------------------------------------------------------
// Responses.

// "HTTP/1.1 404 Not Found\r\nServer:..." with the error page as body.
St WebErrorResponse(const St& releaseText, int status, const char* text);
// The 200 header of a file: "HTTP/1.1 200 OK\r\nServer:" ... "\r\n\r\n".
St WebFileHeader(const St& releaseText, const St& lastModified, const char* contentType,
                 int64_t length);
// The common log line (with "\n").
std::string WebLogLine(uint32_t remoteIp, int64_t nowSeconds, const St& requestLine,
                       int status, int64_t bytes, bool combined, const St& referer,
                       const St& userAgent);

// ---------------------------------------------------------------------------
// The file cache.

struct ServeFile {
  St path;
  St lastModified;  // "Last-Modified: <date>\r\n"
  bool loaded = false;
  int64_t size = 0;
  St contents;
  int32_t uses = 0;
  // The complete 200 header for the file's content type, made on first
  // use.
  St header;
  const char* headerType = nullptr;
};

// Largest file the cache loads; larger ones are treated as missing.
constexpr int64_t kWebMaxCachedFile = 512LL * 1024 * 1024;

// The cached file for path, loaded on first use; null when it does not
// exist or cannot be read (failures are not cached).
ServeFile* ServeFileOpen(const St& path);
bool ServeFileExists(const ServeFile* f);
const St& ServeFileGetData(const ServeFile* f);
St ServeFileHeader(ServeFile* f, const St& releaseText, const char* contentType,
                   int64_t length);
void ServeFileClose(ServeFile* f);
int32_t ServeFileCacheCount();

}  // namespace quil
