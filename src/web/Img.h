// Img: the dimensions of uploaded pictures (user pictures, enclosures),
// read from their bytes: GIF by the reader here, JPEG through libjpeg.
//
// GIF LAYOUT (GIF87a and GIF89a; all numbers little-endian):
//
//   OFFSET  SIZE  MEANING
//   0       6     "GIF87a" or "GIF89a"
//   6       2     logical screen width
//   8       2     logical screen height
//   10      1     flags: 0x80 global colour table, size 2^((flags & 7) + 1)
//   11      1     background colour index
//   12      1     pixel aspect ratio
//   13      3*n   global colour table (when flagged)
//   then blocks: 0x21 extension (label, sub-blocks ended by a 0 length),
//                0x2C image descriptor (left 2, top 2, width 2, height 2,
//                flags 1, local colour table, LZW minimum code size 1,
//                sub-blocks), 0x3B trailer.
//
// The picture's size is the logical screen; a screen of 0 by 0 (written by
// some encoders) takes the size of the first image.
//
// Threads: any thread; no state.
#pragma once

#include <cstdint>

#include "St.h"

namespace quil {

struct ImgSize {
  int32_t width = 0;
  int32_t height = 0;
};

// The kind of picture the bytes begin with.
enum class ImgKind { kUnknown, kGif, kJpeg, kPng, kBmp };
ImgKind ImgKindOf(const St& data);

// GIF dimensions; false for bytes that are not a GIF (a bad signature, a
// truncated header or, for a 0 by 0 screen, no readable image descriptor).
bool ImgGifSize(const St& data, ImgSize* size);
// JPEG dimensions from the frame header, read by libjpeg; false for bytes
// libjpeg refuses.  Never prints and never exits.
bool ImgJpegSize(const St& data, ImgSize* size);
// Either of the two, by the bytes' signature.
bool ImgSizeOf(const St& data, ImgSize* size);

}  // namespace quil
