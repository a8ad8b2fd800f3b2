// St: the one string type of the server.
//
// An St is a reference-counted, length-counted byte string with copy-on-write.
// The value is a single pointer to a heap block laid out as
//
//   OFFSET  SIZE  MEANING
//   0       4     reference count (a new string starts at 1)
//   4       4     length in bytes (never negative)
//   8       4     capacity in bytes (room for characters, terminator excluded)
//   12      2     heap type, always 5 for strings (checked in debug mode)
//   14      2     unused
//   16      n+1   the characters and one terminating zero byte
//
// so an St can be handed to any routine that wants a zero-terminated C string.
// The characters may contain zero bytes: the length, not the terminator, is
// authoritative.
//
// The nil string (a default-constructed St) is not a block.  Every operation
// accepts it; it has length 0 and compares equal to the empty string, but
// IsNil() tells the two apart, and operations that return "nothing" return nil.
//
// Ownership: copying an St is StDup (a count increment); destroying one is
// StDestroy.  A block whose count is above 1 is shared and is never changed in
// place: every modifying operation first takes a private copy (StSoleOwner).
// Operations that take an St by value consume it: pass std::move(s) when the
// caller no longer needs s, or a copy when it does.  Operations that only read
// take const St&.
//
// Thread use: strings are used under the run lock (or within one thread); the
// count is not atomic.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quil {

// Comparison results used by StCompare and every ordered container.
constexpr int kStBefore = 1;
constexpr int kStEqual = 2;
constexpr int kStAfter = 3;

// Heap type of string blocks.
constexpr uint16_t kStHeapType = 5;

struct StRep {
  uint32_t refs;
  int32_t len;
  int32_t cap;
  uint16_t heapType;
  uint16_t unused;
  char* Chars() noexcept { return reinterpret_cast<char*>(this + 1); }
  const char* Chars() const noexcept {
    return reinterpret_cast<const char*>(this + 1);
  }
};
static_assert(sizeof(StRep) == 16);

// Debug flag of the strings package: argument checks and live counts.
extern bool StDebugFlag;
// Number of live string blocks (leak checks).
extern int64_t StrStats;

void StFreeRep(StRep* rep) noexcept;

class St {
 public:
  constexpr St() noexcept = default;
  St(const St& other) noexcept : rep_(other.rep_) {
    if (rep_) ++rep_->refs;
  }
  St(St&& other) noexcept : rep_(other.rep_) { other.rep_ = nullptr; }
  St& operator=(const St& other) noexcept {
    if (other.rep_) ++other.rep_->refs;
    Release();
    rep_ = other.rep_;
    return *this;
  }
  St& operator=(St&& other) noexcept {
    if (this != &other) {
      Release();
      rep_ = other.rep_;
      other.rep_ = nullptr;
    }
    return *this;
  }
  ~St() { Release(); }

  bool IsNil() const noexcept { return rep_ == nullptr; }
  int32_t Length() const noexcept { return rep_ ? rep_->len : 0; }
  bool Empty() const noexcept { return Length() == 0; }
  // The characters, zero-terminated; "" for nil.  Valid while this St lives
  // and is not changed.
  const char* CStr() const noexcept { return rep_ ? rep_->Chars() : ""; }
  const uint8_t* Bytes() const noexcept {
    return reinterpret_cast<const uint8_t*>(CStr());
  }
  std::string_view View() const noexcept {
    return rep_ ? std::string_view(rep_->Chars(), size_t(rep_->len))
                : std::string_view();
  }
  std::string Str() const { return std::string(View()); }
  uint8_t operator[](int32_t i) const noexcept { return Bytes()[i]; }
  uint32_t RefCount() const noexcept { return rep_ ? rep_->refs : 0; }

  // Writable characters.  REQUIRES: not nil and RefCount() == 1 (call
  // StSoleOwner first).
  char* MutableChars() noexcept { return rep_->Chars(); }
  // Sets the length of a sole-owned string within its capacity and writes the
  // terminator.  REQUIRES: 0 <= n <= capacity.
  void SetLength(int32_t n) noexcept {
    rep_->len = n;
    rep_->Chars()[n] = 0;
  }
  int32_t Capacity() const noexcept { return rep_ ? rep_->cap : 0; }

  // Raw access for code that keeps strings outside of St values (containers
  // of 32-bit data, the chunk store's caches).  Release gives up this value's
  // reference; Adopt takes one over.
  StRep* ReleaseRep() noexcept {
    StRep* r = rep_;
    rep_ = nullptr;
    return r;
  }
  static St Adopt(StRep* rep) noexcept {
    St s;
    s.rep_ = rep;
    return s;
  }
  StRep* Rep() const noexcept { return rep_; }

 private:
  void Release() noexcept {
    if (rep_ && --rep_->refs == 0) StFreeRep(rep_);
    rep_ = nullptr;
  }
  StRep* rep_ = nullptr;
};

// Byte-exact equality (nil equals empty).
inline bool operator==(const St& a, const St& b) noexcept {
  return a.View() == b.View();
}
inline bool operator==(const St& a, std::string_view b) noexcept {
  return a.View() == b;
}

// ---------------------------------------------------------------------------
// Creation.  Each returns a new string with count 1.

St StCreate();                                  // the empty string, not nil
St StAlloc(int32_t length);                     // contents unset, terminated
St StCreateLen(const void* bytes, int32_t length);
St StCreateRepeat(int32_t length, uint8_t byte);
St StCreateOne(uint8_t byte);
St StCStrXfm(const char* cstring);              // null gives nil
St StFromView(std::string_view text);           // copy of any byte range
St StStIntXfm(int64_t value);                   // decimal text
// Resize: makes str sole-owned and sets its length (contents beyond the old
// length unset); nil gives a fresh string of that length.
St StRAlloc(St str, int32_t length);
// Ensures room for at least `capacity` characters without changing the length.
St StReserve(St str, int32_t capacity);

// ---------------------------------------------------------------------------
// Reference handling.

St StDup(const St& str);          // debug check "StDup-- str."
void StDestroy(St& str) noexcept; // releases and leaves str nil
St StSoleOwner(St str);           // copy-on-write step

// Exception clean-up forms: identical to StDestroy, kept for the clean-up
// lists of long operations.
void ExStDestroy(St& str) noexcept;

// Debug-mode argument check: halts with `what` unless str is nil or a valid
// string block.
void StCheck(const St& str, const char* what);

// ---------------------------------------------------------------------------
// Reading.

int32_t StByteLength(const St& str);   // length + 5; nil gives 0
int32_t StCStrSize(const char* cstring);
// Position of byte at or after start; -1 when none, when start is at or past
// the end, or for nil.
int32_t StIndex(const St& str, int32_t start, uint8_t byte);
// Position of byte at or before start, searching backwards; -1 when none.
int32_t StIndexLast(const St& str, int32_t start, uint8_t byte);
// Position of the first byte at or after start that is one of delims.
int32_t StMIndex(const St& str, int32_t start, const St& delims);
bool StIsPrefixC(const St& str, const char* prefix);
bool StIsPrefixCNoCase(const St& str, const char* prefix);
bool StIsPrefixCNoCaseLatin(const St& str, const char* prefix);
// Parses the whole text as a decimal integer with optional sign; out is set to
// 0 first.  False for nil, empty, trailing junk or overflow.
bool StIntStXfm(const St& str, int32_t* out);

// ---------------------------------------------------------------------------
// Changing.  Each consumes its St arguments and returns the result.

St StCat(St a, St b);
St StAppend(St str, uint8_t byte);
St StAppendData(St str, const void* bytes, int32_t length);
// Appends the first `length` bytes of src (clipped to its length).
St StAppendLength(St str, const St& src, int32_t length);
inline St StAppendView(St str, std::string_view text) {
  return StAppendData(std::move(str), text.data(), int32_t(text.size()));
}
// Reads only: the bytes from start, count clipped to the end; start at or
// past the end gives nil; an empty input gives the empty string.
St StSubstr(const St& str, int32_t start, int32_t count);
// Every double quote becomes two; returned unchanged when there is none.
St StToDoubleQuote(St str);

// ---------------------------------------------------------------------------
// Comparison and hashing.

// A translation table maps every byte before comparison.  StLiteral compares
// bytes unmapped.
using StTable = const uint8_t*;
constexpr StTable StLiteral = nullptr;

namespace st_detail {
enum class Fold { kAsciiLower, kAsciiUpper, kLatinLower, kLatinUpper };
constexpr std::array<uint8_t, 256> MakeFoldTable(Fold fold) {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    int m = c;
    bool lower = fold == Fold::kAsciiLower || fold == Fold::kLatinLower;
    bool latin = fold == Fold::kLatinLower || fold == Fold::kLatinUpper;
    if (lower && c >= 'A' && c <= 'Z') m = c + 32;
    if (!lower && c >= 'a' && c <= 'z') m = c - 32;
    // Latin-1: 0xC0-0xDE <-> 0xE0-0xFE, except the multiplication sign 0xD7
    // and the division sign 0xF7; 0xDF and 0xFF have no other case.
    if (latin && lower && c >= 0xC0 && c <= 0xDE && c != 0xD7) m = c + 32;
    if (latin && !lower && c >= 0xE0 && c <= 0xFE && c != 0xF7) m = c - 32;
    t[size_t(c)] = uint8_t(m);
  }
  return t;
}
inline constexpr auto kAsciiLower = MakeFoldTable(Fold::kAsciiLower);
inline constexpr auto kAsciiUpper = MakeFoldTable(Fold::kAsciiUpper);
inline constexpr auto kLatinLower = MakeFoldTable(Fold::kLatinLower);
inline constexpr auto kLatinUpper = MakeFoldTable(Fold::kLatinUpper);
}  // namespace st_detail

inline constexpr StTable StASCIILower = st_detail::kAsciiLower.data();
inline constexpr StTable StASCIIUpper = st_detail::kAsciiUpper.data();
inline constexpr StTable StLatinLower = st_detail::kLatinLower.data();
inline constexpr StTable StLatinUpper = st_detail::kLatinUpper.data();

// Three-way comparison: kStBefore, kStEqual or kStAfter.  Nil is empty.
int StCompare(const St& a, const St& b, StTable table);
int StCStrCompare(const char* a, const char* b, StTable table);
int StArrayCompare(const void* a, int32_t alen, const void* b, int32_t blen,
                   StTable table);
bool StArrayEqual(const void* a, const void* b, int32_t length, StTable table);

// The byte hash used for strings everywhere: h = h + ((h >> 1) ^ c).
uint32_t StBytesHash(const void* bytes, size_t length) noexcept;
inline uint32_t StHash(const St& str) noexcept {
  return StBytesHash(str.CStr(), size_t(str.Length()));
}

}  // namespace quil
