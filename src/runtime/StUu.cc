// uuencoding: lines, whole files, and the pictures posted inside message
// text.
#include <algorithm>
#include <string>

#include "St.h"
#include "StInt.h"

namespace quil {

namespace {

char UuChar(uint32_t v) { return v == 0 ? '`' : char(v + 32); }

// Value of an encoded character, or -1 outside " " to "`".
int UuValue(uint8_t c) { return c >= 32 && c <= 96 ? (c - 32) & 63 : -1; }

}  // namespace

int32_t UuEncodeLineCount(int32_t length) {
  MA_CHECK(StDebugFlag, length >= 0 && length <= kUuLineBytes,
           "UuEncodeLineCount-- length");
  return 1 + 4 * ((length + 2) / 3);
}

int32_t UuEncodeLine(const void* bytes, int32_t length, char* out) {
  MA_CHECK(StDebugFlag, length >= 0 && length <= kUuLineBytes,
           "UuEncodeLine-- length");
  auto* p = static_cast<const uint8_t*>(bytes);
  char* q = out;
  *q++ = UuChar(uint32_t(length));
  for (int32_t i = 0; i < length; i += 3) {
    uint32_t v = uint32_t(p[i]) << 16;
    if (i + 1 < length) v |= uint32_t(p[i + 1]) << 8;
    if (i + 2 < length) v |= p[i + 2];
    *q++ = UuChar(v >> 18);
    *q++ = UuChar((v >> 12) & 63);
    *q++ = UuChar((v >> 6) & 63);
    *q++ = UuChar(v & 63);
  }
  return int32_t(q - out);
}

int32_t UuDecodeLineCount(const void* line, int32_t length) {
  auto* p = static_cast<const uint8_t*>(line);
  if (length <= 0) return -1;
  int count = UuValue(p[0]);
  if (count < 0) return -1;
  int32_t needed = 1 + 4 * ((count + 2) / 3);
  for (int32_t i = 1; i < needed && i < length; ++i)
    if (UuValue(p[i]) < 0) return -1;
  return count;
}

int32_t UuDecodeLine(const void* line, int32_t length, char* out) {
  int32_t count = UuDecodeLineCount(line, length);
  if (count < 0) return -1;
  auto* p = static_cast<const uint8_t*>(line);
  auto at = [&](int32_t i) -> uint32_t {
    return i < length ? uint32_t(UuValue(p[i])) : 0;
  };
  int32_t n = 0;
  for (int32_t i = 1; n < count; i += 4) {
    uint32_t v = at(i) << 18 | at(i + 1) << 12 | at(i + 2) << 6 | at(i + 3);
    out[n++] = char(v >> 16);
    if (n < count) out[n++] = char(v >> 8);
    if (n < count) out[n++] = char(v);
  }
  return n;
}

St StUuEncode(const St& data, std::string_view name) {
  StCheck(data, "StUuEncode-- data");
  std::string out = "begin 644 ";
  out += name;
  out += "\r\n";
  char line[1 + 4 * 15];
  for (int32_t i = 0; i < data.Length(); i += kUuLineBytes) {
    int32_t n = std::min(kUuLineBytes, data.Length() - i);
    out.append(line, size_t(UuEncodeLine(data.CStr() + i, n, line)));
    out += "\r\n";
  }
  out += "`\r\nend\r\n";
  return StFromView(out);
}

namespace {

// One uuencoded block found in text: [start, end) covers the lines from
// "begin" to "end" with its line break.
struct UuBlock {
  int32_t start = -1, end = -1;
  St name, data;
};

// Finds the next complete, well-formed block at or after from.
UuBlock FindBlock(const St& text, int32_t from) {
  int32_t ix = from;
  while (ix < text.Length()) {
    int32_t lineStart = ix;
    St line = StDocGetLine(text, &ix);
    std::string_view v = line.View();
    if (v.substr(0, 6) != "begin ") continue;
    // "begin", an octal mode, the name (which may hold blanks).
    size_t m = 6;
    while (m < v.size() && v[m] == ' ') ++m;
    size_t modeStart = m;
    while (m < v.size() && v[m] >= '0' && v[m] <= '7') ++m;
    if (m == modeStart || m >= v.size() || v[m] != ' ') continue;
    UuBlock block;
    block.start = lineStart;
    block.name = StFromView(v.substr(m + 1));
    std::string data;
    bool ok = false;
    int32_t scan = ix;
    while (scan < text.Length()) {
      St body = StDocGetLine(text, &scan);
      std::string_view b = body.View();
      while (!b.empty() && (b.back() == ' ' || b.back() == '\t'))
        b.remove_suffix(1);
      if (b == "end") {
        ok = true;
        break;
      }
      if (b.empty()) continue;
      char out[64];
      int32_t n = UuDecodeLine(b.data(), int32_t(b.size()), out);
      if (n < 0) break;
      data.append(out, size_t(n));
    }
    if (!ok) continue;
    block.end = scan;
    block.data = StFromView(data);
    return block;
  }
  return UuBlock();
}

bool IsPictureName(const St& name) {
  std::string lower(name.View());
  for (char& c : lower) c = char(StASCIILower[uint8_t(c)]);
  for (std::string_view ext : {".gif", ".jpg", ".jpeg", ".jpe", ".png", ".bmp"})
    if (lower.size() > ext.size() &&
        lower.compare(lower.size() - ext.size(), ext.size(), ext) == 0)
      return true;
  return false;
}

}  // namespace

St StUuDecode(const St& text, St* name) {
  StCheck(text, "StUuDecode-- text");
  UuBlock block = FindBlock(text, 0);
  if (block.start < 0) return St();
  if (name) *name = std::move(block.name);
  return std::move(block.data);
}

St UuDecodePict(St text, StList* names, StList* pictures) {
  StCheck(text, "UuDecodePict-- text");
  std::string rest;
  int32_t copied = 0;
  bool found = false;
  for (int32_t from = 0;;) {
    UuBlock block = FindBlock(text, from);
    if (block.start < 0) break;
    from = block.end;
    if (!IsPictureName(block.name)) continue;
    found = true;
    rest.append(text.CStr() + copied, size_t(block.start - copied));
    copied = block.end;
    names->push_back(std::move(block.name));
    pictures->push_back(std::move(block.data));
  }
  if (!found) return text;
  rest.append(text.CStr() + copied, size_t(text.Length() - copied));
  return StFromView(rest);
}

}  // namespace quil
