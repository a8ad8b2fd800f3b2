// Web: the built-in HTTP server -- listeners on the configured ports, the
// connection state machine, static files from the data directory through
// a file cache, forum requests handed to the request processor one at a
// time (CgiProcess), error pages, and the common log.
//
// Connection states (WebProcess runs the machine as far as it can go
// whenever input arrives, after a wait for the request processor, and on
// failure of the session):
//
//   STATE             LEAVES WHEN                         TO
//   1 listening       the session accepted                2 (a replacement
//                                                         listener is made)
//   2 request line    a whole line arrived                3, or 5 for a
//                                                         simple GET
//   3 headers         the empty line arrived              4, or 8/9 for a
//                                                         chat hand-off
//   4 body            content-length bytes arrived        5
//   5 processing      the request was answered            shut down
//   6 CGI program     (answers 501)                       shut down
//   7 forum request   the processor was free and answered shut down
//   8 chat hand-off   the chat service took the session   record released
//   9 finished        -                                   shut down
//
// A connection silent for 2 minutes (states 1-4) is closed without an
// answer.  Limits (answered with an error page, then the connection is
// closed): a request line over 64 KiB gets 414 "Request-URI Too Long",
// headers over 64 KiB or 200 lines 431 "Request Header Fields Too Large", a
// Content-length that is not a number 400 "Bad Request", a chunked body
// 411 "Length Required", a body over maxBody 413 "Request Entity Too
// Large".  A client that asks to be told to go on ("Expect: 100-continue")
// gets "HTTP/1.1 100 Continue" before it sends its body.  Memory per connection is bounded
// by these limits: input beyond them is not read.
//
// Every response carries "Connection: close"; each connection serves one
// request.
//
// The settings are the sysop's (the server fills WebSettings from the
// database and "quil.set"; this layer does not read them itself).
//
// Thread use: under the run lock, on the thread that polls the network.
#pragma once

#include <cstdint>
#include <string_view>

#include "Sess.h"
#include "St.h"

namespace quil {

struct WebSettings {
  bool enable = true;          // webEnable
  // webPort: items separated by blanks, commas or new-lines, each a port or
  // "ip:port"; ports of 65536 and above (and items that are neither) are
  // ignored.
  St port;
  int32_t maxListens = 64;     // webMaxListens: listeners kept per port
  // webData: directory of the static files; nil: "./html"; empty: ".".
  St data;
  St script;                   // webScript: nil: "Quil"
  St commonLog;                // file name; nil or empty: no log
  bool commonLogCombined = false;
  St httpTopLevel;             // mapping of the URI "/"
  St releaseText;              // the "Server:" header's text
  int64_t maxBody = 8 * 1024 * 1024;  // largest request body accepted
  // Chat hand-off: a fan-out server hands "/quil?9999@@" requests that
  // arrive on its chat client port to the chat service.
  bool chatFanout = false;
  uint16_t chatClientPort = 0;
};

constexpr int64_t kWebTimeoutMs = 120000;
constexpr size_t kWebMaxLine = 64 * 1024;
constexpr size_t kWebMaxHeaderBytes = 64 * 1024;
constexpr int32_t kWebMaxHeaderLines = 200;

extern bool WebDebugFlag;

// Reads the settings, opens the common log (created when missing), builds
// the URI table, fixes the data directory, starts the listeners
// (maxListens per port, each port inside its own exception frame: a port
// that cannot be bound is reported and left out).
void WebInit(const WebSettings& settings);
// Closes every connection and listener, the log and the file cache.
void WebTerm();
// Restarts the service with new settings (the sysop changed them).  While
// forum requests are inside the processor or waiting for it, the restart
// waits until the last of them has been shut down.  Returns true when it
// happened at once.
bool WebRestart(const WebSettings& settings);
bool WebRunning();

// The sysop's "Reset File Cache": changed files are served from now on.
void ResetFileCache();

// Template pages (suffix "tpl"): the template layer registers the routine
// that evaluates a file into a page; until then they answer 501.  Returns
// false when the page cannot be made (answered 501 too).
using WebTemplatePageFn = bool (*)(const St& path, const St& contents, St* page);
void WebSetTemplatePageFn(WebTemplatePageFn fn);

// The chat service: takes over a session handed off by "/quil?9999@@" (on
// a fan-out server's chat client port) or "/chatFP" (with the URL-decoded
// POST body, "+" turned into blanks).  Until the chat service registers,
// the first closes without an answer and the second answers 501.
using WebChatHandoffFn = void (*)(Sess* session, int32_t chatId, bool hFlag, const St& body);
void WebSetChatHandoffFn(WebChatHandoffFn fn);

// The suffix table: the type (1 plain file, 2 template page, 3 CGI
// program) and content type of a file-name suffix (the text after the last
// "."; "" when none).
struct WebSuffix {
  int type;
  const char* contentType;
};
WebSuffix WebSuffixLookup(std::string_view suffix);
// Content types of single files of the document directory, given by the
// layer that installs them (the stylesheet and pictures of the built-in
// pages).  Browsers apply a stylesheet only when it comes as "text/css" and
// show an SVG picture only as "image/svg+xml", while the suffix table sends
// both suffixes to "*" ("text/html"); the table stays as it is for every
// other file.  name is relative to the document directory ("quil.css",
// "Images/folder.svg"); a later registration of a name replaces the earlier
// one.  Cleared by WebClearFileContentTypes.
void WebAddFileContentType(std::string_view name, std::string_view contentType);
void WebClearFileContentTypes();
// The registered content type of a file of the document directory, null
// when it has none.
const char* WebFileContentType(std::string_view name);
// Number of entries of the MIME table (146).
int WebMimeTableSize();

// Counts for reports and tests.
int32_t WebListenerCount();
int32_t WebConnectionCount();
int32_t WebQueuedCount();

}  // namespace quil
