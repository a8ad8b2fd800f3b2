// Bit sets over 1..n.
#include "Se.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "Ma.h"

namespace quil {

bool SeDebugFlag = true;
SetStatsStruct SetStats;

namespace {

void CheckSet(const Se& set, const char* what) {
  MA_CHECK(SeDebugFlag, !set.IsNil(), what);
}

// Word i of set, 0 beyond its last word.
uint32_t WordAt(const Se& set, int32_t i) {
  return i < set.WordCount() ? set.Words()[i] : 0;
}

// Mask of the valid bits of the last word.
uint32_t LastWordMask(int32_t size) {
  int32_t used = size % 32;
  return used == 0 ? ~0u : (1u << used) - 1;
}

bool InRange(const Se& set, int32_t member) {
  return member >= 1 && member <= set.Size();
}

uint32_t Bit(int32_t member) { return 1u << ((member - 1) % 32); }

}  // namespace

// ---------------------------------------------------------------------------
// The value.

Se::Se(const Se& other) : size_(other.size_) {
  if (!size_) return;
  words_ = std::make_unique<uint32_t[]>(size_t(WordCount()));
  std::memcpy(words_.get(), other.words_.get(), size_t(WordCount()) * 4);
  SetStats.sets.fetch_add(1, std::memory_order_relaxed);
}

Se::Se(Se&& other) noexcept
    : size_(std::exchange(other.size_, 0)), words_(std::move(other.words_)) {}

Se& Se::operator=(const Se& other) {
  if (this != &other) *this = Se(other);
  return *this;
}

Se& Se::operator=(Se&& other) noexcept {
  if (this != &other) {
    Reset();
    size_ = std::exchange(other.size_, 0);
    words_ = std::move(other.words_);
  }
  return *this;
}

Se::~Se() { Reset(); }

void Se::Reset() noexcept {
  if (size_) SetStats.sets.fetch_sub(1, std::memory_order_relaxed);
  size_ = 0;
  words_.reset();
}

// ---------------------------------------------------------------------------
// Creating and destroying.

Se SeCreate(int32_t size) {
  if (size < 1) MaAssertFailure("SeCreate-- Illegal size");
  Se set;
  set.size_ = size;
  set.words_ = std::make_unique<uint32_t[]>(size_t(Se::WordsFor(size)));
  SetStats.sets.fetch_add(1, std::memory_order_relaxed);
  return set;
}

void SeDestroy(Se& set) { set.Reset(); }

Se SeDup(const Se& set) { return Se(set); }

void SeCopy(Se& to, const Se& from) {
  CheckSet(to, "SeCopy-- set");
  int32_t n = to.WordCount();
  for (int32_t i = 0; i < n; ++i) to.Words()[i] = WordAt(from, i);
  to.Words()[n - 1] &= LastWordMask(to.Size());
}

Se SeSingleton(int32_t size, int32_t member) {
  Se set = SeCreate(size);
  SeAddMember(set, member);
  return set;
}

Se SeCvtSize(Se set, int32_t size) {
  Se out = SeCreate(size);
  SeCopy(out, set);
  return out;
}

int32_t SeByteLength(const Se& set) {
  return set.IsNil() ? 0 : 4 + 4 * set.WordCount();
}

// ---------------------------------------------------------------------------
// Members.

bool SeMember(const Se& set, int32_t member) {
  CheckSet(set, "SeMember-- set");
  if (!InRange(set, member)) return false;
  return (set.Words()[(member - 1) / 32] & Bit(member)) != 0;
}

void SeAddMember(Se& set, int32_t member) {
  MA_CHECK(SeDebugFlag, InRange(set, member), "SeAddMember-- member");
  if (InRange(set, member)) set.Words()[(member - 1) / 32] |= Bit(member);
}

void SeRemoveMember(Se& set, int32_t member) {
  MA_CHECK(SeDebugFlag, InRange(set, member), "SeRemoveMember-- member");
  if (InRange(set, member)) set.Words()[(member - 1) / 32] &= ~Bit(member);
}

bool SeIsEmpty(const Se& set) {
  CheckSet(set, "SeIsEmpty-- set");
  for (int32_t i = 0; i < set.WordCount(); ++i)
    if (set.Words()[i]) return false;
  return true;
}

int32_t SeNMembers(const Se& set) {
  CheckSet(set, "SeNMembers-- Invalid Set.");
  int32_t count = 0;
  for (int32_t i = 0; i < set.WordCount(); ++i) {
    uint32_t w = set.Words()[i];
    count += SeBitCount[w & 0xFF] + SeBitCount[(w >> 8) & 0xFF] +
             SeBitCount[(w >> 16) & 0xFF] + SeBitCount[w >> 24];
  }
  return count;
}

namespace {

int32_t MaxWords(const Se& a, const Se& b) {
  return std::max(a.WordCount(), b.WordCount());
}

}  // namespace

bool SeIsEqual(const Se& a, const Se& b) {
  CheckSet(a, "SeIsEqual-- set");
  CheckSet(b, "SeIsEqual-- set");
  for (int32_t i = 0; i < MaxWords(a, b); ++i)
    if (WordAt(a, i) != WordAt(b, i)) return false;
  return true;
}

int SeCompare(const Se& a, const Se& b) {
  CheckSet(a, "SeCompare-- set");
  CheckSet(b, "SeCompare-- set");
  int32_t n = MaxWords(a, b);
  for (int32_t i = 0; i < n; ++i) {
    uint32_t diff = WordAt(a, i) ^ WordAt(b, i);
    if (!diff) continue;
    // The smallest member in only one of the sets decides: that set comes
    // first unless the other has no member beyond it (then the other is a
    // prefix of it).
    int bit = std::countr_zero(diff);
    bool inA = (WordAt(a, i) >> bit) & 1;
    const Se& other = inA ? b : a;
    uint32_t above = bit == 31 ? 0 : WordAt(other, i) >> (bit + 1);
    bool otherGoesOn = above != 0;
    for (int32_t j = i + 1; !otherGoesOn && j < other.WordCount(); ++j)
      otherGoesOn = other.Words()[j] != 0;
    return inA == otherGoesOn ? kStBefore : kStAfter;
  }
  return kStEqual;
}

bool SeSubset(const Se& a, const Se& b) {
  CheckSet(a, "SeSubset-- set");
  CheckSet(b, "SeSubset-- set");
  for (int32_t i = 0; i < a.WordCount(); ++i)
    if (a.Words()[i] & ~WordAt(b, i)) return false;
  return true;
}

bool SeOverlap(const Se& a, const Se& b) {
  CheckSet(a, "SeOverlap-- set");
  CheckSet(b, "SeOverlap-- set");
  int32_t n = std::min(a.WordCount(), b.WordCount());
  for (int32_t i = 0; i < n; ++i)
    if (a.Words()[i] & b.Words()[i]) return true;
  return false;
}

bool SeMatchWithMask(const Se& a, const Se& b, const Se& mask) {
  CheckSet(a, "SeMatchWithMask-- set");
  CheckSet(b, "SeMatchWithMask-- set");
  CheckSet(mask, "SeMatchWithMask-- set");
  for (int32_t i = 0; i < mask.WordCount(); ++i)
    if ((WordAt(a, i) ^ WordAt(b, i)) & mask.Words()[i]) return false;
  return true;
}

// ---------------------------------------------------------------------------
// Algebra.

void SeUnion(Se& to, const Se& from) {
  CheckSet(to, "SeUnion-- set");
  int32_t n = to.WordCount();
  for (int32_t i = 0; i < n; ++i) to.Words()[i] |= WordAt(from, i);
  to.Words()[n - 1] &= LastWordMask(to.Size());
}

void SeIntersect(Se& to, const Se& from) {
  CheckSet(to, "SeIntersect-- set");
  for (int32_t i = 0; i < to.WordCount(); ++i) to.Words()[i] &= WordAt(from, i);
}

void SeDifference(Se& to, const Se& from) {
  CheckSet(to, "SeDifference-- set");
  for (int32_t i = 0; i < to.WordCount(); ++i)
    to.Words()[i] &= ~WordAt(from, i);
}

void SeComplement(Se& set) {
  CheckSet(set, "SeComplement-- set");
  int32_t n = set.WordCount();
  for (int32_t i = 0; i < n; ++i) set.Words()[i] = ~set.Words()[i];
  set.Words()[n - 1] &= LastWordMask(set.Size());
}

namespace {

// A character set with the bytes of chars.
Se CharSetOf(const St& chars, int32_t size) {
  Se set = SeCreate(size);
  for (uint8_t c : chars.View())
    if (c + 1 <= size) set.Words()[c / 32] |= 1u << (c % 32);
  return set;
}

}  // namespace

void SeCharAccumulateUnion(Se& set, const St& chars) {
  CheckSet(set, "SeCharAccumulateUnion-- set");
  SeUnion(set, CharSetOf(chars, set.Size()));
}

void SeCharIntersect(Se& set, const St& chars) {
  CheckSet(set, "SeCharIntersect-- set");
  SeIntersect(set, CharSetOf(chars, set.Size()));
}

void SeCharDifference(Se& set, const St& chars) {
  CheckSet(set, "SeCharDifference-- set");
  SeDifference(set, CharSetOf(chars, set.Size()));
}

Se SeCreateEquivalence(const Se& chars, StTable table) {
  CheckSet(chars, "SeCreateEquivalence-- set");
  Se out = SeCvtSize(chars, 256);
  if (table == StLiteral) return out;
  bool images[256] = {};
  for (int c = 0; c < 256; ++c)
    if (SeMember(chars, c + 1)) images[table[c]] = true;
  for (int c = 0; c < 256; ++c)
    if (images[table[c]]) out.Words()[c / 32] |= 1u << (c % 32);
  return out;
}

// ---------------------------------------------------------------------------
// Iterating.

int32_t SeNextMemberFrom(const Se& set, int32_t from) {
  CheckSet(set, "SeNext-- set");
  if (from < 1) from = 1;
  if (from > set.Size()) return 0;
  int32_t i = (from - 1) / 32;
  uint32_t w = set.Words()[i] & (~0u << ((from - 1) % 32));
  for (;;) {
    if (w) return i * 32 + std::countr_zero(w) + 1;
    if (++i >= set.WordCount()) return 0;
    w = set.Words()[i];
  }
}

SeIter SeStart(const Se& set) {
  CheckSet(set, "SeStart-- set");
  return SeIter(set);
}

bool SeNext(SeIter& iter, int32_t* member) {
  *member = 0;
  if (!iter.set_ || iter.position_ < 0) return false;
  int32_t next = SeNextMemberFrom(*iter.set_, iter.position_ + 1);
  iter.position_ = next ? next : -1;
  *member = next;
  return next != 0;
}

void SeStop(SeIter& iter) {
  iter.set_ = nullptr;
  iter.position_ = 0;
}

int32_t SeFirst(const Se& set) { return SeNextMemberFrom(set, 1); }

int32_t SeInverseFirst(const Se& set) {
  CheckSet(set, "SeInverseFirst-- set");
  for (int32_t i = 0; i < set.WordCount(); ++i) {
    uint32_t free = ~set.Words()[i];
    if (!free) continue;
    int32_t e = i * 32 + std::countr_zero(free) + 1;
    return e <= set.Size() ? e : 0;
  }
  return 0;
}

}  // namespace quil
