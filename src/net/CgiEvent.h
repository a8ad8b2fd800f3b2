// CgiEvent: the request record that the front ends (the HTTP server, the
// CGI bridge, the FastCGI responder, the interactive -stdio session) hand to
// the request processor, and the seam through which they reach it.
//
// Every field is a string, nil when absent, except the CGI pairs.
//
//   FIELD        HTTP SERVER                         CGI BRIDGE LINE KEY
//   query        query string, else the path after   "extra-path"
//                the script name
//   serverName   local host name (":port" unless 80) "server-name"
//   remoteUser   nil                                 "remote-user"
//   userAgent    User-Agent header                   "user-agent"
//   method       always "POST"                       the line without a key
//   body         content-length bytes (nil for 0)    the "n" bytes
//   result       the complete response, written by the request processor
//   scriptName   the matched URI prefix              "script-name"
//   from         From header                         "from"
//   remoteAddr   client address, dotted              "remote-addr"
//   cookie       Cookie header                       "cookie"
//   contentType  Content-Type header                 "content-type"
//   spare1/2     filled by neither front end
//   cgiPairs     request headers under CGI names, then "request_method",
//                "query_string", "remote_addr", "server_name",
//                "content_type", "remote_user", "script_name" (each only
//                when non-empty); empty from the bridge
//
// The processor (ForumCgiProcessUrl, in the web layer) registers itself with
// CgiSetProcessor when request processing starts; the front ends call
// CgiProcess.  There is exactly one processor: registering a second one
// while one is set is a consistency failure, so nothing replaces it
// silently.  Until one is registered, CgiProcess answers with a plain
// "503 Service Unavailable" response, so that a front end started without
// request processing still answers every request.
//
// One request at a time: CgiProcess marks CgiActive (and counts the request
// in CgiThreadCount) for the length of the call.  A front end asks
// CgiBlockedBy first; when something is in the way it blocks its own
// continuation in the RAM queue on that bit (QuRamBlock) and is resumed when
// the activity ends.  While a request's thread waits for something
// (ForumThreadsWait), CgiActive and HttpRequest are saved and cleared, so
// another request may enter meanwhile (the slot registered by
// CgiStateSlotAdd).
//
//   BIT  IN THE WAY WHILE                       RELEASED BY
//   1    a request is being processed           CgiProcess at its end
//   2    a background pass runs (QuBgActive)    QuBgCk at its end
//   16   something waits for every request to   CgiProcess when the last
//        end (a reset of the request service)   request thread ends
//
// The CGI bridge (quil.socket) is the second front end of this package:
// an outside web server runs the small client program quil-cgi, which
// passes each request over the Unix socket and prints the answer.  Its
// wire format and checks are in CgiInt.h.
//
// Threads: under the run lock.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "Ht.h"
#include "St.h"

namespace quil {

struct CgiPair {
  St name;
  St value;
};
using CgiPairList = std::vector<CgiPair>;

// How the request arrived; the response header depends on it.
enum class CgiFrontEnd : uint8_t {
  kHttp = 1,    // the built-in HTTP server: full status line and headers
  kBridge = 2,  // the CGI bridge (quil.socket)
  kFcgi = 3,    // the FastCGI responder
  kStdio = 4,   // the interactive -stdio session
};

struct CgiEvent {
  St query;
  St serverName;
  St remoteUser;
  St userAgent;
  St method;
  St body;
  St result;
  St scriptName;
  St from;
  St remoteAddr;
  St cookie;
  St contentType;
  St spare1;
  St spare2;
  CgiPairList cgiPairs;
  CgiFrontEnd frontEnd = CgiFrontEnd::kHttp;
};

// Releases every string and the pairs; every field becomes nil.
void CgiEventReset(CgiEvent& event);

// The value of the CGI pair named name (ASCII case-insensitive), nil when
// absent.
St CgiEventPair(const CgiEvent& event, std::string_view name);

using CgiProcessorFn = void (*)(CgiEvent& event);

// Registers the request processor.  REQUIRES: none registered
// ("CgiSetProcessor--processor already set").
void CgiSetProcessor(CgiProcessorFn fn);
// Removes it (request processing is ending).
void CgiClearProcessor();
bool CgiHasProcessor();

// Runs the request processor on event, which leaves the complete response
// in event.result.  REQUIRES: CgiBlockedBy() == 0 ("CgiProcess--request
// already active" when CgiActive is set).
void CgiProcess(CgiEvent& event);

// A request is inside the processor.
extern bool CgiActive;
// Requests that have entered the processor and not finished (waiting ones
// included).
extern int32_t CgiThreadCount;
// The request being processed came through the built-in HTTP server.
extern bool HttpRequest;

// A byte count as a request announces it (Content-length, the bridge's
// "n"): decimal digits, blanks around them allowed, at most 18 digits.
bool CgiParseCount(std::string_view text, int64_t* out);

// Block bit: a callback waits until no request thread runs.
constexpr uint32_t kCgiBlockRequests = 16;
// What keeps a new request out of the processor now: 0, 1 (CgiActive), 2
// (QuBgActive) or 16 (requests are held back).
uint32_t CgiBlockedBy();

// Registers (and removes) the per-request state slot of CgiActive and
// HttpRequest with the thread package.  The session package does this at
// initialisation.
void CgiStateSlotAdd();
void CgiStateSlotRemove();

// ---------------------------------------------------------------------------
// The CGI bridge.

constexpr char kCgiBridgeSocket[] = "quil.socket";
constexpr char kCgiBridgeTestClient[] = "quil.test";

// Opens the bridge socket in the working directory: first connects to it as
// the test client "quil.test" (success means another server listens: "Is
// Quillmoot already running?..."), removes an old socket file, binds,
// listens (backlog 1024, non-blocking).  Returns the descriptor; failures
// are reported with code 590.
int CgiBridgeOpen(const char* socketName = kCgiBridgeSocket);

// Settings of the bridge: the clock skew (seconds, -1: no limit), the echo
// mode (-echo: every request is answered with a plain-text copy of
// itself), the most post bytes a request may announce.
struct CgiBridgeSettings {
  int32_t clockSkew = 600;
  bool echo = false;
  int64_t maxBody = 8 * 1024 * 1024;
};
void CgiBridgeConfigure(const CgiBridgeSettings& settings);

// True while a bridge request is being served (the listen socket is then
// left out of the waits).
bool CgiBridgeBusy();
// Accepts the waiting connection on listenFd and serves it: checks the
// client's socket file, reads the request, runs it, sends the answer,
// closes.  Problems end only this request and are reported (client-caused
// ones with code 600).
void CgiBridgeAccept(int listenFd);
// Drops the request being served (shutdown).
void CgiBridgeReset();
// The user id owning the socket file of the client being served.
int32_t CgiBridgeClientOwner();
// Fills note while a bridge request is being served (for the error log).
bool CgiBridgeRequestNote(WfRequestNote* note);

}  // namespace quil
