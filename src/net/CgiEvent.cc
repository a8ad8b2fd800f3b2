#include "CgiEvent.h"

#include "Ma.h"

namespace quil {

namespace {
CgiProcessorFn gCgiProcessor = nullptr;

constexpr std::string_view kNoProcessorBody =
    "<HTML><HEAD><TITLE>503 Service Unavailable</TITLE></HEAD><BODY><H1>"
    "503 Service Unavailable</H1></BODY></HTML>";
}  // namespace

void CgiEventReset(CgiEvent& event) {
  CgiFrontEnd frontEnd = event.frontEnd;
  event = CgiEvent();
  event.frontEnd = frontEnd;
}

St CgiEventPair(const CgiEvent& event, std::string_view name) {
  for (const CgiPair& p : event.cgiPairs) {
    std::string_view n = p.name.View();
    if (n.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < n.size() && same; ++i)
      same = StASCIIUpper[uint8_t(n[i])] == StASCIIUpper[uint8_t(name[i])];
    if (same) return p.value;
  }
  return St();
}

void CgiSetProcessor(CgiProcessorFn fn) {
  MA_CHECK(true, gCgiProcessor == nullptr,
           "CgiSetProcessor--processor already set");
  gCgiProcessor = fn;
}

void CgiClearProcessor() { gCgiProcessor = nullptr; }

bool CgiHasProcessor() { return gCgiProcessor != nullptr; }

void CgiProcess(CgiEvent& event) {
  if (gCgiProcessor) {
    gCgiProcessor(event);
    return;
  }
  St r = StCStrXfm(
      "HTTP/1.1 503 Service Unavailable\r\nMIME-Version: 1.0\r\n"
      "Cache-Control: private\r\nConnection: close\r\n"
      "Content-type: text/html\r\nContent-length: ");
  r = StAppendView(std::move(r), std::to_string(kNoProcessorBody.size()));
  r = StAppendView(std::move(r), "\r\n\r\n");
  r = StAppendView(std::move(r), kNoProcessorBody);
  event.result = std::move(r);
}

}  // namespace quil
