// Reversible scrambling of stored text.
#include "St.h"

namespace quil {

namespace {

constexpr uint32_t kCryptSeed = 0x5D1A3C27u;
constexpr int kPrintable = 95;  // bytes 32-126

// The key stream: a linear congruential generator seeded from the key.  Its
// constants are part of the stored format.
struct KeyStream {
  uint32_t state;
  explicit KeyStream(std::string_view key)
      : state(kCryptSeed ^ StBytesHash(key.data(), key.size())) {}
  int Next() {
    state = state * 1103515245u + 12345u;
    return int((state >> 16) % kPrintable);
  }
};

St Rotate(St str, std::string_view key, int sign) {
  if (str.Empty()) return str;
  str = StSoleOwner(std::move(str));
  KeyStream keys(key);
  char* p = str.MutableChars();
  for (int32_t i = 0; i < str.Length(); ++i) {
    int k = keys.Next();
    uint8_t c = uint8_t(p[i]);
    if (c < 32 || c > 126) continue;
    p[i] = char(32 + (c - 32 + sign * k + kPrintable) % kPrintable);
  }
  return str;
}

}  // namespace

St StEncrypt(St str, std::string_view key) {
  StCheck(str, "StEncrypt-- str");
  return Rotate(std::move(str), key, 1);
}

St StDecrypt(St str, std::string_view key) {
  StCheck(str, "StDecrypt-- str");
  return Rotate(std::move(str), key, -1);
}

}  // namespace quil
