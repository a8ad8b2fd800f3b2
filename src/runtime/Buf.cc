#include "Buf.h"

#include <charconv>
#include <climits>
#include <cstring>

#include "Ma.h"

namespace quil {

namespace {

// Capacity after growing from cap until need bytes fit: doubling below
// kBufDoubleLimit, steps of kBufGrowStep above it.
int32_t BufGrownCapacity(int32_t cap, int64_t need) {
  int64_t c = cap > 0 ? cap : kBufOpenSmallSize;
  while (c < need) c += c < kBufDoubleLimit ? c : kBufGrowStep;
  MA_CHECK(true, c <= INT32_MAX - 64, "BufAdd--buffer too large");
  return int32_t(c);
}

}  // namespace

void BufOpen(Buf& buf, int32_t reserve) {
  buf.str_ = StReserve(StCreate(), reserve > 0 ? reserve : 1);
  buf.pos_ = 0;
}

char* BufReserveTail(Buf& buf, int32_t length) {
  MA_CHECK(true, buf.IsOpen(), "BufAdd--buffer not open");
  int64_t need = int64_t(buf.pos_) + length;
  if (need > buf.str_.Capacity()) {
    // The string's length is kept at the write position so that StReserve
    // copies exactly the written bytes.
    buf.str_.SetLength(buf.pos_);
    buf.str_ = StReserve(std::move(buf.str_),
                         BufGrownCapacity(buf.str_.Capacity(), need));
  }
  char* at = buf.str_.MutableChars() + buf.pos_;
  buf.pos_ += length;
  return at;
}

void BufAddData(Buf& buf, const void* bytes, int32_t length) {
  if (length <= 0) {
    MA_CHECK(true, buf.IsOpen(), "BufAdd--buffer not open");
    return;
  }
  char* at = BufReserveTail(buf, length);
  std::memcpy(at, bytes, size_t(length));
}

void BufAddS(Buf& buf, St str) { BufAddData(buf, str.CStr(), str.Length()); }

void BufAddInt(Buf& buf, int64_t value) {
  char text[24];
  auto r = std::to_chars(text, text + sizeof text, value);
  BufAddData(buf, text, int32_t(r.ptr - text));
}

void BufAddChar(Buf& buf, uint8_t byte) {
  char* at = BufReserveTail(buf, 1);
  *at = char(byte);
}

St BufClose(Buf& buf) {
  if (!buf.IsOpen()) return St();
  buf.str_.SetLength(buf.pos_);
  St out = std::move(buf.str_);
  buf.pos_ = 0;
  return out;
}

}  // namespace quil
