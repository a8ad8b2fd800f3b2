// Fuzz harness for the HTTP request parser.
//
// The first input byte chooses the limits (small ones reach the refusals
// quickly); the rest is cut into pieces whose sizes come from the input
// itself and fed to the parser as they would arrive from a socket.  Checks:
// the parser ends in a known phase with a known status; a complete request
// has exactly its announced body; no header value exceeds what came in;
// the URI table, the top-level mapping and the port list take the same
// bytes without failing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "WebInt.h"

using namespace quil;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > (1u << 20)) return 0;
  WebLimits limits;
  if (data[0] & 1) {
    limits.maxLine = 64;
    limits.maxHeaderBytes = 256;
    limits.maxHeaderLines = 4;
    limits.maxBody = 32;
  }
  uint8_t step = uint8_t(data[1] | 1);
  std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);
  WebRequest r;
  Strm in;
  size_t at = 0;
  WebPhase phase = r.phase;
  while (at < input.size()) {
    size_t n = std::min<size_t>(input.size() - at, size_t(step));
    in.WriteView(input.substr(at, n));
    at += n;
    phase = WebRequestParse(r, in, limits);
    if (phase == WebPhase::kComplete || phase == WebPhase::kError) break;
    step = uint8_t(step * 5 + 3);  // vary the piece sizes
  }
  switch (phase) {
    case WebPhase::kError:
      if (r.errorStatus != 400 && r.errorStatus != 411 && r.errorStatus != 413 &&
          r.errorStatus != 414 && r.errorStatus != 431)
        abort();
      break;
    case WebPhase::kComplete:
      if (!r.chat && r.kind != kWebKindSimple && r.body.Length() != r.contentLength) abort();
      if (r.contentLength > limits.maxBody) abort();
      break;
    default:
      if (r.requestLine.Length() > int32_t(limits.maxLine)) abort();
      break;
  }
  if (r.headerBytes > limits.maxHeaderBytes + limits.maxLine) abort();
  for (const WebHeader& h : r.headers) {
    if (size_t(h.value.Length()) > size || h.name.Length() == 0) abort();
    St cgi = WebCgiName(h.name);
    if (cgi.Length() < h.name.Length()) abort();
  }
  std::vector<WebUriEntry> table = {{"/Quil", kWebUriForum, ""},
                                    {"/quil?9998@@", kWebUriClose, ""},
                                    {"", kWebUriFile, "./"}};
  St uri = r.uri.IsNil() ? StFromView(input.substr(0, 200)) : r.uri;
  if (WebUriFind(table, StFromUrlQuote(uri), uri) == nullptr) abort();
  (void)WebTopLevelMap(uri, 0x7F000001, 8080);
  (void)WebPortItems(uri);
  (void)WebSuffixLookup(uri.View());
  return 0;
}
