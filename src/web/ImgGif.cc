// The GIF reader (layout in Img.h).
#include <cstring>

#include "Img.h"

namespace quil {

namespace {

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

// Skips the data sub-blocks at *pos (each a length byte and that many
// bytes, ended by a length of 0); false when the data ends first.
bool SkipSubBlocks(const uint8_t* p, size_t n, size_t* pos) {
  while (*pos < n) {
    uint8_t len = p[(*pos)++];
    if (len == 0) return true;
    *pos += len;
  }
  return false;
}

}  // namespace

ImgKind ImgKindOf(const St& data) {
  std::string_view d = data.View();
  if (d.size() >= 6 && (d.substr(0, 6) == "GIF87a" || d.substr(0, 6) == "GIF89a")) return ImgKind::kGif;
  if (d.size() >= 3 && uint8_t(d[0]) == 0xFF && uint8_t(d[1]) == 0xD8 && uint8_t(d[2]) == 0xFF)
    return ImgKind::kJpeg;
  if (d.size() >= 8 && d.substr(0, 8) == std::string_view("\x89PNG\r\n\x1a\n", 8)) return ImgKind::kPng;
  if (d.size() >= 2 && d.substr(0, 2) == "BM") return ImgKind::kBmp;
  return ImgKind::kUnknown;
}

bool ImgGifSize(const St& data, ImgSize* size) {
  const uint8_t* p = data.Bytes();
  size_t n = size_t(data.Length());
  if (n < 13 || ImgKindOf(data) != ImgKind::kGif) return false;
  ImgSize s{Le16(p + 6), Le16(p + 8)};
  if (s.width != 0 || s.height != 0) {
    *size = s;
    return true;
  }
  size_t pos = 13;
  if (p[10] & 0x80) pos += 3u << ((p[10] & 7) + 1);
  while (pos < n) {
    uint8_t block = p[pos++];
    if (block == 0x2C) {
      if (pos + 9 > n) return false;
      size->width = Le16(p + pos + 4);
      size->height = Le16(p + pos + 6);
      return true;
    }
    if (block != 0x21 || pos >= n) return false;  // the trailer or a broken block
    ++pos;                                         // the extension's label
    if (!SkipSubBlocks(p, n, &pos)) return false;
  }
  return false;
}

bool ImgSizeOf(const St& data, ImgSize* size) {
  switch (ImgKindOf(data)) {
    case ImgKind::kGif:
      return ImgGifSize(data, size);
    case ImgKind::kJpeg:
      return ImgJpegSize(data, size);
    default:
      return false;
  }
}

}  // namespace quil
