// Fuzz harness for the SGML tag reader.
//
// The input is read twice: whole, and in pieces whose sizes come from its
// first byte (down to one byte per read); both must give the same tags with
// the same text before each.  Every attribute list has an even length.
// Then each 64-byte slice of the input is written as an attribute value the
// way change records write values (StToSgml, quoted when HtmlNeedQuotes
// says so) and must read back byte for byte.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Sgml.h"

using namespace quil;

namespace {

class PieceSource : public SgmlSource {
 public:
  PieceSource(std::string_view bytes, int step) : bytes_(bytes), step_(step) {}
  int32_t Read(uint8_t* buffer, int32_t max) override {
    size_t n = std::min({bytes_.size() - pos_, size_t(max), size_t(step_)});
    memcpy(buffer, bytes_.data() + pos_, n);
    pos_ += n;
    return int32_t(n);
  }

 private:
  std::string_view bytes_;
  int step_;
  size_t pos_ = 0;
};

struct Tag {
  std::string text, name;
  int isStart, ends;
  std::vector<std::string> attrs;
  bool operator==(const Tag&) const = default;
};

std::vector<Tag> Read(SgmlSource* source) {
  SgmlReader reader = SgmlParseStart(source);
  std::vector<Tag> tags;
  std::string pending;
  St text, name;
  uint8_t isStart, ends;
  Li<St> attrs;
  while (SgmlParseNext(reader.get(), &text, &name, &isStart, &ends, &attrs)) {
    if (LiCount(attrs) % 2 != 0) abort();
    pending += text.Str();
    if (name.IsNil()) continue;
    Tag t{pending, name.Str(), isStart, ends, {}};
    for (const St& a : attrs) t.attrs.push_back(a.IsNil() ? std::string("\x01nil") : a.Str());
    tags.push_back(std::move(t));
    pending.clear();
  }
  return tags;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  int step = size > 0 ? 1 + data[0] % 64 : 1;
  PieceSource whole(input, kSgmlBufferSize);
  PieceSource pieces(input, step);
  if (Read(&whole) != Read(&pieces)) abort();

  for (size_t at = 0; at < size; at += 64) {
    std::string value(input.substr(at, 64));
    St escaped = StToSgml(StFromView(value));
    std::string written = "<t a=";
    bool quote = HtmlNeedQuotes(escaped.View());
    if (quote) written += '"';
    written += escaped.Str();
    if (quote) written += '"';
    written += ">";
    SgmlStringSource source(written);
    std::vector<Tag> back = Read(&source);
    if (back.size() != 1 || back[0].attrs.size() != 2 || back[0].attrs[1] != value) abort();
  }
  return 0;
}
