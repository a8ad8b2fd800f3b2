// The request text: its split into command, certificate and location, the
// command number, locations, the browser flags and the history ring.
#include <strings.h>

#include "CgiInt.h"
#include "Ht.h"

namespace quil {

St History[kCgiHistorySize];
int HistoryIx = 0;

void CgiSplitRequestText(const St& text, CgiRequestParts* parts) {
  *parts = CgiRequestParts();
  int32_t at = StIndex(text, 0, '@');
  if (at < 0) {
    parts->locationOnly = true;
    parts->commandText = StStIntXfm(kCgiCmdShow);
    parts->cert = StCreate();
    parts->location = text.IsNil() ? StCreate() : text;
    return;
  }
  parts->commandText = at == 0 ? StCreate() : StSubstr(text, 0, at);
  St rest = at + 1 < text.Length() ? StSubstr(text, at + 1, text.Length() - at - 1) : StCreate();
  int32_t at2 = StIndex(rest, 0, '@');
  if (at2 < 0) {
    parts->cert = rest;
    parts->location = StCreate();
    return;
  }
  parts->cert = at2 == 0 ? StCreate() : StSubstr(rest, 0, at2);
  parts->location =
      at2 + 1 < rest.Length() ? StSubstr(rest, at2 + 1, rest.Length() - at2 - 1) : StCreate();
}

namespace {
bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }
bool IsNameStart(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
}  // namespace

int CgiCommandNumber(St* commandText, bool* needsLogin) {
  *needsLogin = false;
  St& text = *commandText;
  int32_t n = text.Length();
  if (n >= 2 && IsDigit(text[0]) && text[n - 1] == 'L') {
    text = StSubstr(text, 0, n - 1);
    *needsLogin = true;
    --n;
  }
  if (n == 0) return kCgiCmdBadUrl;
  if (IsNameStart(text[0])) return kCgiCmdMacro;
  int64_t value = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (!IsDigit(text[i])) return kCgiCmdBadUrl;
    value = value * 10 + (text[i] - '0');
    if (value > kCgiMaxCommand) return kCgiCmdBadUrl;
  }
  return value >= 1 ? int(value) : kCgiCmdBadUrl;
}

bool CgiKeptRequest(const St& location, St* commandText, St* rest) {
  int32_t at = StIndex(location, 0, '@');
  if (at <= 0) return false;
  uint8_t c = location[0];
  if (!IsDigit(c) && !IsNameStart(c)) return false;
  for (int32_t i = 1; i < at; ++i) {
    uint8_t d = location[i];
    if (!IsDigit(d) && !IsNameStart(d)) return false;
  }
  *commandText = StSubstr(location, 0, at);
  *rest = at + 1 < location.Length() ? StSubstr(location, at + 1, location.Length() - at - 1)
                                     : StCreate();
  return true;
}

St RestorePathDelimiter(St text) {
  std::string_view v = text.View();
  if (v.find('%') == std::string_view::npos) return text;
  std::string out;
  out.reserve(v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '%' && i + 2 < v.size() && v[i + 1] == '2' && (v[i + 2] == 'F' || v[i + 2] == 'f')) {
      out += '/';
      i += 2;
      continue;
    }
    out += v[i];
  }
  return StFromView(out);
}

St CgiLocationQuote(St location) { return RestorePathDelimiter(StToUrlQuote(std::move(location))); }

ForumFile CgiOpenLocation(ForumRoot root, const St& location) {
  if (!root || location.Empty()) return ForumFile();
  return ForumFileOpen(root, CgiLocationQuote(location));
}

uint32_t CgiBrowserFlags(const St& agent) {
  std::string_view a = agent.View();
  uint32_t flags = 0;
  if (a.size() >= 8 && strncasecmp(a.data(), "Mozilla/", 8) == 0) flags |= kCgiBrowserMozilla;
  auto contains = [a](std::string_view w) {
    for (size_t i = 0; i + w.size() <= a.size(); ++i)
      if (strncasecmp(a.data() + i, w.data(), w.size()) == 0) return true;
    return false;
  };
  if (contains("AOL")) flags |= kCgiBrowserAol;
  if (contains("MSIE 3")) flags |= kCgiBrowserMsie3;
  return flags;
}

void CgiHistoryAdd(const St& text) {
  St kept = text.Length() > kCgiHistoryTextMax ? StSubstr(text, 0, kCgiHistoryTextMax) : text;
  History[HistoryIx] = kept.IsNil() ? StCreate() : std::move(kept);
  HistoryIx = (HistoryIx + 1) % kCgiHistorySize;
}

StList CgiHistoryList() {
  StList list;
  for (int i = 0; i < kCgiHistorySize; ++i) {
    const St& s = History[(HistoryIx + i) % kCgiHistorySize];
    if (!s.IsNil()) list.push_back(s);
  }
  return list;
}

void CgiHistoryDump() {
  Wf_log_write(" Request history:");
  for (const St& text : CgiHistoryList()) Wf_log_write(" History %s", text.CStr());
}

}  // namespace quil
