// Buf: the page buffer.  Pages, mails, log records and protocol messages
// are all built by appending to one of these and taking the string out at
// the end.
//
// A Buf is an St used as a growable buffer plus a write position.  BufOpen
// reserves 8,000 bytes, BufOpenSmall 200.  When an append does not fit, the
// capacity grows by its own size until it holds 100,000 bytes and by
// 100,000 bytes after that (repeatedly, until the append fits).  BufClose
// cuts the string to the written length, hands it over and leaves the
// buffer empty (closed); a closed buffer may be opened again.
//
// The buffer owns its string; BufAddS consumes the string it is given.  The
// written bytes are never shared while the buffer is open, so appends write
// in place.
//
// Threads: a buffer belongs to one thread (under the run lock, or private
// to a thread such as the save thread).
#pragma once

#include <cstdint>
#include <string_view>

#include "St.h"

namespace quil {

constexpr int32_t kBufOpenSize = 8000;
constexpr int32_t kBufOpenSmallSize = 200;
constexpr int32_t kBufDoubleLimit = 100000;  // doubling stops here
constexpr int32_t kBufGrowStep = 100000;     // then it grows by this much

class Buf {
 public:
  Buf() = default;
  Buf(const Buf&) = delete;
  Buf& operator=(const Buf&) = delete;
  Buf(Buf&& other) noexcept
      : str_(std::move(other.str_)), pos_(other.pos_) {
    other.pos_ = 0;
  }
  Buf& operator=(Buf&& other) noexcept {
    str_ = std::move(other.str_);
    pos_ = other.pos_;
    other.pos_ = 0;
    return *this;
  }

  bool IsOpen() const noexcept { return !str_.IsNil(); }
  // Bytes written so far.
  int32_t Position() const noexcept { return pos_; }
  // The written bytes; valid until the next append or BufClose.
  std::string_view View() const noexcept {
    return std::string_view(str_.CStr(), size_t(pos_));
  }
  // Cuts the written bytes back to n (n <= Position()); used to undo a
  // partial append (a template whose output is discarded).
  void Truncate(int32_t n) noexcept {
    if (n >= 0 && n < pos_) pos_ = n;
  }

 private:
  friend void BufOpen(Buf& buf, int32_t reserve);
  friend void BufAddData(Buf& buf, const void* bytes, int32_t length);
  friend St BufClose(Buf& buf);
  friend char* BufReserveTail(Buf& buf, int32_t length);
  St str_;
  int32_t pos_ = 0;
};

// Opens buf with room for reserve bytes (an open buffer is emptied first).
void BufOpen(Buf& buf, int32_t reserve = kBufOpenSize);
inline void BufOpenSmall(Buf& buf) { BufOpen(buf, kBufOpenSmallSize); }

// Appends.  REQUIRES: buf is open (halts with "BufAdd--buffer not open").
void BufAddData(Buf& buf, const void* bytes, int32_t length);
inline void BufAddC(Buf& buf, const char* cstring) {
  BufAddData(buf, cstring, StCStrSize(cstring));
}
inline void BufAddView(Buf& buf, std::string_view text) {
  BufAddData(buf, text.data(), int32_t(text.size()));
}
// Consumes str.
void BufAddS(Buf& buf, St str);
// Appends a reference to str without consuming it.
inline void BufAddSt(Buf& buf, const St& str) {
  BufAddData(buf, str.CStr(), str.Length());
}
void BufAddInt(Buf& buf, int64_t value);  // decimal
void BufAddChar(Buf& buf, uint8_t byte);

// Room for length more bytes at the end, returned for the caller to fill;
// the position advances by length.  For formatters that write in place.
char* BufReserveTail(Buf& buf, int32_t length);

// The written bytes as a string; the buffer is left closed.  A closed
// buffer gives nil.
St BufClose(Buf& buf);

}  // namespace quil
