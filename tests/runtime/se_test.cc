// Sets: word layout, algebra against a std::set model, ordering, character
// sets, iteration, statistics and the consistency checks.
#include "Se.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "halt_text.h"

using namespace quil;
using quiltest::HaltText;

namespace {

std::vector<int32_t> Members(const Se& set) {
  std::vector<int32_t> out;
  auto iter = SeStart(set);
  int32_t e;
  while (SeNext(iter, &e)) out.push_back(e);
  SeStop(iter);
  return out;
}

Se SetOf(int32_t size, std::initializer_list<int32_t> members) {
  Se set = SeCreate(size);
  for (int32_t e : members) SeAddMember(set, e);
  return set;
}

TEST(SeLayout, WordsAndBitPositions) {
  Se a = SeCreate(32);
  EXPECT_EQ(a.WordCount(), 1);
  EXPECT_EQ(SeByteLength(a), 8);
  Se b = SeCreate(33);
  EXPECT_EQ(b.WordCount(), 2);
  EXPECT_EQ(SeByteLength(b), 12);
  SeAddMember(b, 33);
  EXPECT_EQ(b.Words()[0], 0u);
  EXPECT_EQ(b.Words()[1], 1u);
  SeAddMember(b, 1);
  SeAddMember(b, 32);
  EXPECT_EQ(b.Words()[0], 0x80000001u);
  EXPECT_TRUE(SeIsEmpty(SeCreate(1)));
  EXPECT_EQ(SeByteLength(Se()), 0);
}

TEST(SeLayout, ComplementSetsNoBitBeyondTheSize) {
  Se s = SeCreate(10);
  SeComplement(s);
  EXPECT_EQ(s.Words()[0], 0x3FFu);
  EXPECT_FALSE(SeMember(s, 0));
  EXPECT_FALSE(SeMember(s, 11));
  EXPECT_EQ(SeInverseFirst(s), 0);
}

TEST(SeValue, CopiesAreIndependentAndCounted) {
  int64_t before = SetStats.sets;
  {
    Se a = SetOf(40, {1, 39});
    Se b = SeDup(a);
    Se c = a;
    SeAddMember(b, 2);
    EXPECT_EQ(Members(a), (std::vector<int32_t>{1, 39}));
    EXPECT_EQ(Members(b), (std::vector<int32_t>{1, 2, 39}));
    EXPECT_EQ(SetStats.sets, before + 3);
    Se d = std::move(c);
    EXPECT_TRUE(c.IsNil());
    EXPECT_EQ(SetStats.sets, before + 3);
    SeDestroy(d);
    EXPECT_EQ(SetStats.sets, before + 2);
    Se single = SeSingleton(100, 77);
    EXPECT_EQ(Members(single), (std::vector<int32_t>{77}));
  }
  EXPECT_EQ(SetStats.sets, before);
}

TEST(SeValue, ResizeAndCopyKeepTheTargetSize) {
  Se a = SetOf(70, {1, 33, 64, 70});
  Se small = SeCvtSize(a, 40);
  EXPECT_EQ(small.Size(), 40);
  EXPECT_EQ(Members(small), (std::vector<int32_t>{1, 33}));
  Se big = SeCvtSize(SeDup(small), 100);
  EXPECT_EQ(Members(big), (std::vector<int32_t>{1, 33}));
  Se target = SetOf(64, {5});
  SeCopy(target, a);
  EXPECT_EQ(Members(target), (std::vector<int32_t>{1, 33, 64}));
}

// Random algebra against std::set, with sets of different sizes.
TEST(SeModel, RandomAlgebraMatchesStdSet) {
  std::mt19937 rng(99);
  auto randomSet = [&](std::set<int32_t>* model) {
    int32_t size = int32_t(rng() % 100) + 1;
    Se s = SeCreate(size);
    for (int i = 0; i < size / 3; ++i) {
      int32_t e = int32_t(rng() % uint32_t(size)) + 1;
      SeAddMember(s, e);
      model->insert(e);
    }
    return s;
  };
  // The numbers 1..n accepted by pred.
  auto where = [](int32_t n, auto pred) {
    std::vector<int32_t> v;
    for (int32_t e = 1; e <= n; ++e)
      if (pred(e)) v.push_back(e);
    return v;
  };
  for (int round = 0; round < 300; ++round) {
    std::set<int32_t> ma, mb, mm;
    Se a = randomSet(&ma), b = randomSet(&mb), mask = randomSet(&mm);
    auto inA = [&](int32_t e) { return ma.count(e) > 0; };
    auto inB = [&](int32_t e) { return mb.count(e) > 0; };
    int32_t na = a.Size();
    ASSERT_EQ(Members(a), std::vector<int32_t>(ma.begin(), ma.end()));
    EXPECT_EQ(SeNMembers(a), int32_t(ma.size()));
    EXPECT_EQ(SeFirst(a), ma.empty() ? 0 : *ma.begin());
    EXPECT_EQ(SeSubset(a, b),
              where(na, [&](int32_t e) { return inA(e) && !inB(e); }).empty());
    EXPECT_EQ(SeOverlap(a, b),
              !where(na, [&](int32_t e) { return inA(e) && inB(e); }).empty());
    EXPECT_EQ(SeIsEqual(a, b), ma == mb);
    EXPECT_EQ(SeCompare(a, b), ma < mb    ? kStBefore
                               : ma == mb ? kStEqual
                                          : kStAfter);
    EXPECT_EQ(SeMatchWithMask(a, b, mask), where(100, [&](int32_t e) {
                                             return mm.count(e) &&
                                                    inA(e) != inB(e);
                                           }).empty());

    Se u = SeDup(a), in = SeDup(a), diff = SeDup(a), comp = SeDup(a);
    SeUnion(u, b);
    SeIntersect(in, b);
    SeDifference(diff, b);
    SeComplement(comp);
    EXPECT_EQ(Members(u),
              where(na, [&](int32_t e) { return inA(e) || inB(e); }));
    EXPECT_EQ(Members(in),
              where(na, [&](int32_t e) { return inA(e) && inB(e); }));
    EXPECT_EQ(Members(diff),
              where(na, [&](int32_t e) { return inA(e) && !inB(e); }));
    auto outside = where(na, [&](int32_t e) { return !inA(e); });
    EXPECT_EQ(Members(comp), outside);
    EXPECT_EQ(SeInverseFirst(a), outside.empty() ? 0 : outside[0]);
  }
}

TEST(SeChars, BytesAreMembersPlusOne) {
  Se s = SeCreate(256);
  SeCharAccumulateUnion(s, StCStrXfm("abc"));
  SeCharAccumulateUnion(s, StCreateOne(0));
  SeCharAccumulateUnion(s, StCreateOne(255));
  EXPECT_EQ(Members(s),
            (std::vector<int32_t>{1, 'a' + 1, 'b' + 1, 'c' + 1, 256}));
  SeCharDifference(s, StCStrXfm("b"));
  SeCharIntersect(s, StCStrXfm("ac\xff"));
  EXPECT_EQ(Members(s), (std::vector<int32_t>{'a' + 1, 'c' + 1, 256}));
  Se small = SeCreate(100);
  SeCharAccumulateUnion(small, StCStrXfm("a\xf0"));  // 0xF0 + 1 > 100
  EXPECT_EQ(Members(small), (std::vector<int32_t>{'a' + 1}));
}

TEST(SeChars, EquivalenceClosesUnderTheTable) {
  Se s = SeCreate(256);
  SeCharAccumulateUnion(s, StCStrXfm("a1"));
  Se eq = SeCreateEquivalence(s, StASCIIUpper);
  EXPECT_EQ(eq.Size(), 256);
  EXPECT_EQ(Members(eq), (std::vector<int32_t>{'1' + 1, 'A' + 1, 'a' + 1}));
  Se same = SeCreateEquivalence(s, StLiteral);
  EXPECT_TRUE(SeIsEqual(same, s));
}

TEST(SeIterate, AddedMembersAheadAreSeen) {
  Se s = SetOf(100, {3, 50});
  auto iter = SeStart(s);
  int32_t e;
  ASSERT_TRUE(SeNext(iter, &e));
  EXPECT_EQ(e, 3);
  SeAddMember(s, 99);
  SeRemoveMember(s, 50);
  ASSERT_TRUE(SeNext(iter, &e));
  EXPECT_EQ(e, 99);
  EXPECT_FALSE(SeNext(iter, &e));
  EXPECT_EQ(e, 0);
  EXPECT_FALSE(SeNext(iter, &e));
  SeStop(iter);
  EXPECT_FALSE(SeNext(iter, &e));
}

TEST(SeChecks, HaltTexts) {
  EXPECT_EQ(HaltText([] { (void)SeCreate(0); }),
            "assert:SeCreate-- Illegal size");
  EXPECT_EQ(HaltText([] { (void)SeCreate(-3); }),
            "assert:SeCreate-- Illegal size");
  EXPECT_EQ(HaltText([] {
              Se gone = SeCreate(5);
              SeDestroy(gone);
              (void)SeMember(gone, 1);
            }),
            "assert:SeMember-- set");
  EXPECT_EQ(HaltText([] {
              Se from = SeCreate(5);
              Se to = std::move(from);
              (void)SeNMembers(from);
            }),
            "assert:SeNMembers-- Invalid Set.");
  EXPECT_EQ(HaltText([] {
              Se s = SeCreate(5);
              SeAddMember(s, 6);
            }),
            "assert:SeAddMember-- member");
}

TEST(SeChecks, WithoutDebugOutOfRangeIsIgnored) {
  SeDebugFlag = false;
  Se s = SeCreate(5);
  SeAddMember(s, 6);
  SeAddMember(s, 0);
  SeRemoveMember(s, 99);
  SeDebugFlag = true;
  EXPECT_TRUE(SeIsEmpty(s));
}

}  // namespace
