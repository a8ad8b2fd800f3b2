// The MD5 message digest (RFC 1321): password digests, session codes and
// APOP.
#include <cstring>

#include "St.h"

namespace quil {

namespace {

// Per-step left rotations, four per round.
constexpr int kShift[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// T[i] = floor(2^32 * abs(sin(i + 1))).
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a,
    0xa8304613, 0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be,
    0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340,
    0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8,
    0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c,
    0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92,
    0xffeff47d, 0x85845dd1, 0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1,
    0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
         uint32_t(p[3]) << 24;
}

void StoreLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

// Transforms the state with one 64-byte block.
void Md5Block(uint32_t state[4], const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLe32(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int g;
    switch (i / 16) {
      case 0:
        f = (b & c) | (~b & d);
        g = i;
        break;
      case 1:
        f = (b & d) | (c & ~d);
        g = (5 * i + 1) % 16;
        break;
      case 2:
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
        break;
      default:
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
        break;
    }
    uint32_t rotated = Rotl(a + f + kSine[i] + x[g], kShift[i / 16][i % 4]);
    a = d;
    d = c;
    c = b;
    b = b + rotated;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void MD5Init(MD5Context* context) {
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
  context->count = 0;
}

void MD5Update(MD5Context* context, const void* input, size_t length) {
  const auto* p = static_cast<const uint8_t*>(input);
  size_t have = size_t(context->count % 64);
  context->count += length;
  if (have > 0) {
    size_t take = 64 - have < length ? 64 - have : length;
    memcpy(context->buffer + have, p, take);
    p += take;
    length -= take;
    if (have + take < 64) return;
    Md5Block(context->state, context->buffer);
  }
  for (; length >= 64; p += 64, length -= 64) Md5Block(context->state, p);
  if (length > 0) memcpy(context->buffer, p, length);
}

void MD5Final(uint8_t digest[kMd5DigestSize], MD5Context* context) {
  // Pad with 0x80 and zeros to 56 bytes mod 64, then the bit count, low
  // byte first.
  uint8_t bits[8];
  uint64_t bitCount = context->count * 8;
  for (int i = 0; i < 8; ++i) bits[i] = uint8_t(bitCount >> (8 * i));
  static constexpr uint8_t kPadding[64] = {0x80};
  size_t have = size_t(context->count % 64);
  MD5Update(context, kPadding, have < 56 ? 56 - have : 120 - have);
  MD5Update(context, bits, 8);
  for (int i = 0; i < 4; ++i) StoreLe32(digest + 4 * i, context->state[i]);
  memset(context, 0, sizeof *context);
}

void HashMd5(const void* bytes, size_t length, uint8_t digest[kMd5DigestSize]) {
  MD5Context context;
  MD5Init(&context);
  MD5Update(&context, bytes, length);
  MD5Final(digest, &context);
}

St StHashMd5(const St& str) {
  StCheck(str, "StHashMd5-- str");
  St out = StAlloc(kMd5DigestSize);
  HashMd5(str.CStr(), size_t(str.Length()),
          reinterpret_cast<uint8_t*>(out.MutableChars()));
  return out;
}

}  // namespace quil
