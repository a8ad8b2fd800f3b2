// JPEG dimensions through libjpeg: only the headers are read
// (jpeg_read_header), never the image data.
//
// libjpeg reports a fatal error by calling error_exit, whose default ends
// the process.  Ours throws a C++ exception instead (libjpeg's documented
// alternative to longjmp for C++ callers; the library is built with unwind
// tables, as every x86-64 and arm64 Debian object is), and the decompressor
// is destroyed by a guard on every path.  Warnings are not printed.
#include <cstdio>  // jpeglib.h needs FILE and size_t first

#include <jpeglib.h>

#include "Img.h"

namespace quil {

namespace {

struct JpegError {};

[[noreturn]] void ThrowOnError(j_common_ptr) { throw JpegError(); }
void NoMessage(j_common_ptr) {}
void NoWarning(j_common_ptr, int) {}

class Decompressor {
 public:
  Decompressor() {
    info_.err = jpeg_std_error(&err_);
    err_.error_exit = ThrowOnError;
    err_.output_message = NoMessage;
    err_.emit_message = NoWarning;
    jpeg_create_decompress(&info_);
  }
  ~Decompressor() { jpeg_destroy_decompress(&info_); }
  Decompressor(const Decompressor&) = delete;
  Decompressor& operator=(const Decompressor&) = delete;
  jpeg_decompress_struct* Info() { return &info_; }

 private:
  jpeg_error_mgr err_{};
  jpeg_decompress_struct info_{};
};

}  // namespace

bool ImgJpegSize(const St& data, ImgSize* size) {
  if (data.Length() < 4) return false;
  try {
    Decompressor d;
    jpeg_mem_src(d.Info(), const_cast<unsigned char*>(data.Bytes()), static_cast<unsigned long>(data.Length()));
    if (jpeg_read_header(d.Info(), TRUE) != JPEG_HEADER_OK) return false;
    if (d.Info()->image_width == 0 || d.Info()->image_height == 0) return false;
    size->width = int32_t(d.Info()->image_width);
    size->height = int32_t(d.Info()->image_height);
    return true;
  } catch (const JpegError&) {
    return false;
  }
}

}  // namespace quil
