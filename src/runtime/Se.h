// Se: fixed-size bit sets over the numbers 1 to n.
//
// A set has a size n >= 1 (its largest possible member) and ceil(n / 32)
// 32-bit words of bits: member e (1 <= e <= n) is bit (e - 1) % 32 of word
// (e - 1) / 32, least significant bit first.  Bits beyond n in the last word
// are always clear.  A new set is empty.  The block the server has always
// counted for a set is the size word and the bit words, which is what
// SeByteLength gives:
//
//   OFFSET  SIZE          MEANING
//   0       4             size n
//   4       4 * words     the bits, word 0 first
//
// Character sets are sets of size 256 in which byte c is member c + 1.
//
// Se is a value: copying copies the bits (SeDup), moving leaves the source
// nil.  A nil set (default-constructed, moved-from or after SeDestroy) has
// size 0; it is not a set, and in debug mode (SeDebugFlag) reading one halts
// with "SeMember-- set" or "SeNMembers-- Invalid Set.", which is how the
// checks for a malformed set survive in C++.  SeCreate with a size below 1
// always halts with "SeCreate-- Illegal size".  SetStats counts live
// (non-nil) sets for leak checks.
//
// Operations between two sets that change one of them (SeUnion and its
// kin) keep that set's size: members of the other set beyond it are
// ignored.  Predicates over two sets (SeIsEqual, SeSubset, ...) compare
// members, whatever the sizes.
//
// The exception clean-up forms (ExSeDestroy, ExSeStop) are the destructors.
//
// Thread use: a set is not thread-safe; SetStats is atomic, so different
// threads may use different sets.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "St.h"

namespace quil {

// Debug flag of the sets package: member range and nil checks.
extern bool SeDebugFlag;

struct SetStatsStruct {
  std::atomic<int64_t> sets{0};  // live non-nil sets
};
extern SetStatsStruct SetStats;

namespace se_detail {
constexpr std::array<uint8_t, 256> MakeBitCount() {
  std::array<uint8_t, 256> t{};
  for (size_t i = 1; i < 256; ++i) t[i] = uint8_t((i & 1) + t[i >> 1]);
  return t;
}
}  // namespace se_detail

// Number of one bits of each byte value.
inline constexpr std::array<uint8_t, 256> SeBitCount =
    se_detail::MakeBitCount();

class Se {
 public:
  Se() noexcept = default;
  Se(const Se& other);
  Se(Se&& other) noexcept;
  Se& operator=(const Se& other);
  Se& operator=(Se&& other) noexcept;
  ~Se();

  bool IsNil() const noexcept { return size_ == 0; }
  int32_t Size() const noexcept { return size_; }
  int32_t WordCount() const noexcept { return WordsFor(size_); }
  uint32_t* Words() noexcept { return words_.get(); }
  const uint32_t* Words() const noexcept { return words_.get(); }

  static int32_t WordsFor(int32_t size) noexcept { return (size + 31) / 32; }

 private:
  friend Se SeCreate(int32_t size);
  friend void SeDestroy(Se& set);
  void Reset() noexcept;
  int32_t size_ = 0;
  std::unique_ptr<uint32_t[]> words_;
};

// ---------------------------------------------------------------------------
// Creating and destroying.

// An empty set of the given size; halts "SeCreate-- Illegal size" below 1.
Se SeCreate(int32_t size);
// Leaves set nil.
void SeDestroy(Se& set);
Se SeDup(const Se& set);
// Copies the members of from into to, keeping to's size: members beyond it
// are dropped, the rest of to is cleared.
void SeCopy(Se& to, const Se& from);
// A set of the given size holding only member.
Se SeSingleton(int32_t size, int32_t member);
// The set resized to size (>= 1): members up to size stay, new ones are
// clear.  Consumes set.
Se SeCvtSize(Se set, int32_t size);
// 4 + 4 * words: the bytes of the set's block; 0 for nil.
int32_t SeByteLength(const Se& set);

// ---------------------------------------------------------------------------
// Members.

// False for numbers outside 1..size.
bool SeMember(const Se& set, int32_t member);
// Add or remove one member.  A number outside 1..size halts in debug mode
// ("SeAddMember-- member", "SeRemoveMember-- member") and is ignored
// otherwise.
void SeAddMember(Se& set, int32_t member);
void SeRemoveMember(Se& set, int32_t member);

bool SeIsEmpty(const Se& set);
int32_t SeNMembers(const Se& set);
// Same members.
bool SeIsEqual(const Se& a, const Se& b);
// Orders sets as the increasing sequences of their members, compared like
// strings: at the first member where they differ the smaller number comes
// first, and a set that is a prefix of the other comes first.  The empty set
// comes before every other.  Returns kStBefore, kStEqual or kStAfter.
int SeCompare(const Se& a, const Se& b);
// Every member of a is a member of b.
bool SeSubset(const Se& a, const Se& b);
// a and b have a member in common.
bool SeOverlap(const Se& a, const Se& b);
// a and b agree on every member of mask.
bool SeMatchWithMask(const Se& a, const Se& b, const Se& mask);

// ---------------------------------------------------------------------------
// Algebra in place (to keeps its size).

void SeUnion(Se& to, const Se& from);
void SeIntersect(Se& to, const Se& from);
void SeDifference(Se& to, const Se& from);  // to minus from
void SeComplement(Se& set);                 // within 1..size

// Character sets.  Byte c of chars stands for member c + 1; bytes whose
// member lies beyond the set's size are ignored.
// Adds the bytes of chars.
void SeCharAccumulateUnion(Se& set, const St& chars);
// Keeps only members that are bytes of chars.
void SeCharIntersect(Se& set, const St& chars);
// Removes the bytes of chars.
void SeCharDifference(Se& set, const St& chars);
// A new character set (size 256) closed under the translation table: every
// byte c with table[c] == table[d] for some member d + 1 of chars.  With
// StASCIIUpper, {'a'} gives {'a', 'A'}.  StLiteral gives a copy resized to
// 256.
Se SeCreateEquivalence(const Se& chars, StTable table);

// ---------------------------------------------------------------------------
// Iterating in increasing order.

// Iterator of SeStart: the set and the last member returned.  The set must
// outlive the iterator and keep its size; members added behind the position
// are seen, members removed are not.
class SeIter {
 public:
  SeIter() = default;
  explicit SeIter(const Se& set) : set_(&set) {}

 private:
  friend bool SeNext(SeIter& iter, int32_t* member);
  friend void SeStop(SeIter& iter);
  const Se* set_ = nullptr;
  int32_t position_ = 0;  // the last member returned
};

SeIter SeStart(const Se& set);
// True and the next member, or false and *member = 0.
bool SeNext(SeIter& iter, int32_t* member);
void SeStop(SeIter& iter);
// The first member at or after `from`, or 0.
int32_t SeNextMemberFrom(const Se& set, int32_t from);
// The smallest member, or 0 for the empty set.
int32_t SeFirst(const Se& set);
// The smallest number in 1..size that is not a member, or 0 when all are.
int32_t SeInverseFirst(const Se& set);

}  // namespace quil
