// Session codes, certificate texts and the login cookie.
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "Auth.h"
#include "Ht.h"

namespace quil {

namespace {

void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

constexpr std::string_view kCodeAlphabet =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr std::string_view kCookieName = "quilUser";

uint32_t guestCounter = 0;

bool AllDigits(std::string_view s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

uint32_t Decimal(std::string_view s) {
  uint32_t v = 0;
  for (char c : s) v = v * 10 + uint32_t(c - '0');
  return v;
}

}  // namespace

char AuthCodeChar(uint8_t byte) { return kCodeAlphabet[byte % kCodeAlphabet.size()]; }

St AuthCodeFromDigest(const uint8_t digest[16], uint32_t sequence) {
  char chars[kAuthCodeLength];
  int n = 0;
  for (int i = 0; i < 6; ++i) chars[n++] = AuthCodeChar(digest[i]);
  for (int i = 0; i < 5; ++i, sequence >>= 6) chars[n++] = AuthCodeChar(uint8_t(sequence & 0x3F));
  char code[kAuthCodeLength];
  for (int i = 0; i < kAuthCodeLength; ++i) code[kAuthCodeOrder[i]] = chars[i];
  return StFromView(std::string_view(code, kAuthCodeLength));
}

St AuthCodeFromInputs(uint32_t counter, uint32_t systemTime, uint32_t timeOfDay, uint32_t random,
                      uint32_t sequence) {
  uint8_t input[16];
  PutBe32(input, counter);
  PutBe32(input + 4, systemTime);
  PutBe32(input + 8, timeOfDay);
  PutBe32(input + 12, random);
  uint8_t digest[kMd5DigestSize];
  HashMd5(input, sizeof input, digest);
  return AuthCodeFromDigest(digest, sequence);
}

St AuthNewCode(uint32_t sequence) {
  static uint32_t calls = 0;
  static std::mt19937 random{std::random_device{}()};
  timeval tv;
  gettimeofday(&tv, nullptr);
  return AuthCodeFromInputs(++calls, uint32_t(SysTime()),
                            uint32_t(tv.tv_sec % 86400) * 1000000u + uint32_t(tv.tv_usec),
                            uint32_t(random()), sequence);
}

bool AuthParse(const St& cert, AuthCertParts* parts) {
  *parts = AuthCertParts();
  std::string_view s = cert.View();
  size_t caret = s.rfind('^');
  if (caret == std::string_view::npos || !AllDigits(s.substr(caret + 1))) return false;
  parts->sequence = Decimal(s.substr(caret + 1));
  std::string_view head = s.substr(0, caret);
  // The code never holds "-", "." or "^"; a tag may hold anything but "^".
  size_t dash = head.find('-');
  std::string_view coded = head.substr(0, dash);
  if (dash != std::string_view::npos) parts->tag = StFromView(head.substr(dash + 1));
  size_t dot = coded.find('.');
  if (dot != std::string_view::npos) {
    if (!AllDigits(coded.substr(0, dot))) return false;
    uint32_t bucket = Decimal(coded.substr(0, dot));
    if (bucket >= uint32_t(kAuthBuckets)) return false;
    parts->bucket = int(bucket);
    coded = coded.substr(dot + 1);
  }
  parts->code = StFromView(coded);
  return true;
}

St AuthConstruct(int bucket, const St& code, const St& tag, uint32_t sequence) {
  std::string s;
  if (code.Length() >= 3 && bucket >= 0) s += std::to_string(bucket) + ".";
  s += code.View();
  if (!tag.IsNil()) {
    s += '-';
    s += tag.View();
  }
  s += '^';
  s += std::to_string(sequence);
  return StFromView(s);
}

St AuthTag(const St& cert) {
  AuthCertParts parts;
  if (!AuthParse(cert, &parts)) return St();
  return parts.tag;
}

St AuthGuest(const St& tag) { return AuthConstruct(-1, St(), tag, ++guestCounter); }

uint32_t AuthGuestCounter() { return guestCounter; }

St AuthCookieLine(const St& name, const St& digest) {
  std::string s = "Set-Cookie: ";
  s += kCookieName;
  s += '=';
  s += StToHex(name).View();
  s += '@';
  s += StToHex(digest).View();
  s += "; path=/\r\n";
  return StFromView(s);
}

bool AuthCookieParse(const St& header, St* name, St* digest) {
  std::string_view rest = header.View();
  while (!rest.empty()) {
    size_t end = rest.find(';');
    std::string_view item = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    size_t eq = item.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = item.substr(0, eq), value = item.substr(eq + 1);
    while (!key.empty() && (key.front() == ' ' || key.front() == '\t')) key.remove_prefix(1);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r' ||
                              value.back() == '\n'))
      value.remove_suffix(1);
    if (key.size() != kCookieName.size() || strncasecmp(key.data(), kCookieName.data(), key.size()) != 0)
      continue;
    size_t at = value.find('@');
    if (at == std::string_view::npos) return false;
    *name = StFromHex(StFromView(value.substr(0, at)));
    *digest = StFromHex(StFromView(value.substr(at + 1)));
    return !name->IsNil() && !digest->IsNil() && name->Length() > 0;
  }
  return false;
}

}  // namespace quil
