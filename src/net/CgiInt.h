// Internals of the CGI bridge shared with its tests and fuzz harness: the
// request parser and the shaping of the answer.
//
// A bridge request, as quil-cgi sends it over quil.socket:
//
//   PART        FORM
//   lines       "key:value\n" (the ":" within the first 21 characters) or
//               a line without such a ":" -- the method; "\r" before "\n"
//               is dropped
//   end         "\n" (an empty line)
//   body        exactly n bytes when a line "n:<decimal>" announced them
//
// Keys: "extra-path" (query), "remote-addr", "server-name", "cookie",
// "remote-user", "user-agent", "from", "script-name", "content-type"; a
// value is appended to what its key already holds; other keys are ignored.
// Limits: the lines together at most 64 KiB, the body at most the
// configured maximum.
//
// The answer: the processor's response with its first line removed when it
// begins with "HTTP", a "Server:" line right after that removed too, and
// every carriage return removed up to and including the first empty line;
// the body follows unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "CgiEvent.h"

namespace quil {

constexpr size_t kCgiMaxRequestLines = 64 * 1024;
constexpr size_t kCgiKeyMax = 20;

enum class CgiParseState : uint8_t {
  kLines,  // reading lines up to the empty line
  kBody,   // reading the announced body
  kDone,   // complete: event holds the request
  kFailed, // refused: errorText says why
};

struct CgiBridgeRequest {
  CgiParseState state = CgiParseState::kLines;
  std::string line;        // the line being read (without its "\n")
  size_t lineBytes = 0;    // bytes of lines so far
  int64_t bodyLength = 0;  // announced by "n"
  CgiEvent event;
  // The request as received, for the echo mode.
  std::string raw;
  bool keepRaw = false;
  std::string errorText;   // when failed
};

// Feeds input; returns the bytes consumed (input after the end of the
// request is left alone).  eof says the client has closed: an unfinished
// request then fails ("missing blank line to terminate request", "client
// dropt connection while sending post").
size_t CgiBridgeParse(CgiBridgeRequest& r, std::string_view input, bool eof,
                      int64_t maxBody);

// The answer sent to the bridge client for a processor response.
std::string CgiBridgeAnswer(std::string_view response);

// The echo mode's response for a complete request: a plain-text copy of it
// (sent through CgiBridgeAnswer like any other).
std::string CgiBridgeEchoResponse(const CgiBridgeRequest& r);

}  // namespace quil
