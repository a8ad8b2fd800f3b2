#include "CgiEvent.h"

#include <any>

#include "Ma.h"
#include "Qu.h"
#include "Thread.h"

namespace quil {

bool CgiActive = false;
int32_t CgiThreadCount = 0;
bool HttpRequest = false;

namespace {
CgiProcessorFn gCgiProcessor = nullptr;
int gCgiSlot = 0;

struct CgiSaved {
  bool active;
  bool http;
};

// Ends the request's mark on every path and lets waiting requests go.
struct CgiActiveScope {
  CgiActiveScope() {
    CgiActive = true;
    ++CgiThreadCount;
  }
  ~CgiActiveScope() {
    CgiActive = false;
    --CgiThreadCount;
    QuRamUnblock(kQuBlockRequest);
    if (CgiThreadCount == 0) QuRamUnblock(kCgiBlockRequests);
  }
  CgiActiveScope(const CgiActiveScope&) = delete;
  CgiActiveScope& operator=(const CgiActiveScope&) = delete;
};

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

bool CgiParseCount(std::string_view text, int64_t* out) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.empty() || text.size() > 18) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

uint32_t CgiBlockedBy() {
  if (CgiActive) return kQuBlockRequest;
  if (QuBgActive) return kQuBlockBgPass;
  if (QuRamBlockFlags & kCgiBlockRequests) return kCgiBlockRequests;
  return 0;
}

void CgiStateSlotAdd() {
  if (gCgiSlot != 0) return;
  ThreadStateSlot slot;
  slot.save = [] {
    CgiSaved saved{CgiActive, HttpRequest};
    CgiActive = false;
    HttpRequest = false;
    return std::any(saved);
  };
  slot.restore = [](std::any&& value) {
    CgiSaved saved = std::any_cast<CgiSaved>(value);
    CgiActive = saved.active;
    HttpRequest = saved.http;
  };
  slot.activity = [] { return CgiActive ? kQuBlockRequest : 0u; };
  gCgiSlot = ThreadStateSlotAdd(std::move(slot));
}

void CgiStateSlotRemove() {
  if (gCgiSlot == 0) return;
  ThreadStateSlotRemove(gCgiSlot);
  gCgiSlot = 0;
}

void CgiProcess(CgiEvent& event) {
  MA_CHECK(true, !CgiActive, "CgiProcess--request already active");
  CgiActiveScope active;
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
