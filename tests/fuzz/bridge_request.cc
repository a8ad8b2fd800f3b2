// Fuzz harness for the CGI bridge: the request parser fed in pieces (the
// end of input at the end), and the shaping of an answer.
//
// Checks: the parser ends done or failed (with a reason) once the input
// has ended; a done request's body has exactly the announced length; the
// request as kept for the echo mode is a prefix of the input; the shaped
// answer has no carriage return before its first empty line and keeps the
// body that follows byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "CgiInt.h"

using namespace quil;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 20)) return 0;
  uint8_t step = uint8_t(data[0] | 1);
  std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  CgiBridgeRequest r;
  r.keepRaw = true;
  size_t at = 0;
  while (at < input.size() && r.state != CgiParseState::kDone &&
         r.state != CgiParseState::kFailed) {
    size_t n = std::min<size_t>(input.size() - at, step);
    at += CgiBridgeParse(r, input.substr(at, n), false, 4096);
    step = uint8_t(step * 7 + 1);
    if (n == 0) break;
  }
  CgiBridgeParse(r, input.substr(std::min(at, input.size())), true, 4096);
  if (r.state == CgiParseState::kLines || r.state == CgiParseState::kBody) abort();
  if (r.state == CgiParseState::kFailed && r.errorText.empty()) abort();
  if (r.state == CgiParseState::kDone && r.event.body.Length() != r.bodyLength) abort();
  if (input.substr(0, r.raw.size()) != r.raw) abort();

  // The header lines of the answer, up to the first empty one, hold no
  // carriage return.
  std::string answer = CgiBridgeAnswer(input);
  for (size_t pos = 0; pos < answer.size();) {
    size_t nl = answer.find('\n', pos);
    std::string_view line = std::string_view(answer).substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    if (line.find('\r') != std::string_view::npos) abort();
    if (line.empty() || nl == std::string::npos) break;
    pos = nl + 1;
  }
  if (answer.size() > input.size()) abort();
  return 0;
}
