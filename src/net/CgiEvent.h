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
// Threads: under the run lock.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

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
// in event.result.
void CgiProcess(CgiEvent& event);

}  // namespace quil
