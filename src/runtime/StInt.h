// Internals shared by the string package's source files.  Not for use
// outside src/runtime/St*.cc.
#pragma once

#include <cstdint>
#include <limits>

#include "Ma.h"

namespace quil::st_internal {

// Result length of a conversion, counted in 64 bits so that a huge expansion
// halts as exhausted memory instead of wrapping.
inline int32_t CheckedLength(int64_t length) {
  if (length < 0 || length > std::numeric_limits<int32_t>::max() - 64)
    MaMemHalt();
  return int32_t(length);
}

// Value of a hexadecimal digit of either case, or -1.
inline int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline constexpr char kUpperHex[] = "0123456789ABCDEF";
inline constexpr char kLowerHex[] = "0123456789abcdef";

// Writes "=XX" or "%XX" style escapes: mark, then two upper-case digits.
inline char* PutHexEscape(char* q, char mark, uint8_t c) {
  *q++ = mark;
  *q++ = kUpperHex[c >> 4];
  *q++ = kUpperHex[c & 15];
  return q;
}

}  // namespace quil::st_internal
