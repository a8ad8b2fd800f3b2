// Chunk strings: the one-chunk form byte for byte, the split into pieces at
// 4,062 and 4,063 bytes, hashing and comparison, lists of strings and sets,
// the shared-string table and its counts, and strings read by a new process.
#include <map>
#include <random>

#include "ChLi.h"
#include "ChSt.h"
#include "Sl.h"
#include "Ex.h"
#include "halt_text.h"
#include "lists_test_util.h"

using namespace quil;
using quiltest::HaltText;

namespace {

class ChStTest : public storetest::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    StoreRegisterTypes();
  }
};

St Bytes(uint32_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = char(rng());
  return StFromView(s);
}

// The piece lengths of a chunk string: one entry for a single chunk.
std::vector<uint32_t> PieceLengths(ChHandle h) {
  std::vector<uint32_t> out;
  auto add = [&](ChHandle piece) {
    EXPECT_EQ(ChType(piece), kChStType);
    out.push_back(Ld16(static_cast<const uint8_t*>(ChDeref(piece))));
  };
  if (ChType(h) == kChStType) {
    add(h);
    return out;
  }
  ChLiGenIter it = ChLiGenStart(h, kChLiNodeType);
  uint32_t piece;
  while (ChLiGenNext(it, &piece, nullptr, kChLiNodeType)) add(piece);
  return out;
}

TEST_F(ChStTest, ShortStringIsOneChunkByteForByte) {
  ChPart part = NewPart();
  ChHandle h = StToChStXfm(StFromView("abc"), ChPartNear(part));
  EXPECT_EQ(ChType(h), kChStType);
  EXPECT_EQ(ChSize(h), 12u);  // length + 9
  EXPECT_EQ(ChunkBytes(h), std::string("\x03\x00" "abc" "\0" "\0\0\0\0\0\0", 12));
  EXPECT_EQ(ChStToStXfm(h), "abc");
  ChHandle empty = StToChStXfm(St(), ChPartNear(part));
  EXPECT_EQ(ChSize(empty), 9u);
  St back = ChStToStXfm(empty);
  EXPECT_FALSE(back.IsNil());
  EXPECT_EQ(back.Length(), 0);
  EXPECT_TRUE(ChStToStXfm(0).IsNil());
  EXPECT_TRUE(ChStToStXfm(kChNil).IsNil());
}

TEST_F(ChStTest, LengthsAroundThePieceSize) {
  ChPart part = NewPart();
  struct Case {
    uint32_t length;
    std::vector<uint32_t> pieces;
    bool list;
  } cases[] = {{4062, {4062}, false},
               {4063, {4063}, true},
               {4064, {4063, 1}, true},
               {8126, {4063, 4063}, true},
               {8200, {4063, 4063, 74}, true},
               {70000, {}, true}};
  cases[5].pieces.assign(17, 4063);
  cases[5].pieces.push_back(929);
  for (const Case& c : cases) {
    St s = Bytes(c.length, c.length);
    ChHandle h = StToChStXfm(s, ChPartNear(part));
    EXPECT_EQ(ChType(h), c.list ? kChLiNodeType : kChStType) << c.length;
    EXPECT_EQ(PieceLengths(h), c.pieces) << c.length;
    EXPECT_EQ(ChStLength(h), c.length);
    EXPECT_TRUE(ChStToStXfm(h) == s) << c.length;
    EXPECT_EQ(ChStHash(h), StHash(s)) << c.length;
    if (c.list) {
      uint32_t first;
      ASSERT_TRUE(ChLiGenFirst(h, &first, nullptr, kChLiNodeType));
      EXPECT_EQ(ChSize(first), 4072u);  // 4,063 + 9
    }
    ChStDestroy(h);
  }
  // Every piece and node went: only the part information is left.
  ChIter it;
  ChStartFID(it, part);
  int chunks = 0;
  while (ChNext(it) != kChNil) ++chunks;
  EXPECT_EQ(chunks, 1);
}

TEST_F(ChStTest, HashAndCompare) {
  ChPart part = NewPart();
  ChHandle a = StToChStXfm(StFromView("a"), ChPartNear(part));
  EXPECT_EQ(ChStHash(a), 97u);
  EXPECT_EQ(ChStHash(StToChStXfm(St(), ChPartNear(part))), 0u);
  St big = Bytes(9000, 1);
  ChHandle b1 = StToChStXfm(big, ChPartNear(part));
  ChHandle b2 = StToChStXfm(big, ChPartNear(part));
  St other = big;
  other = StSoleOwner(std::move(other));
  other.MutableChars()[8999] ^= 1;
  ChHandle b3 = StToChStXfm(other, ChPartNear(part));
  EXPECT_TRUE(ChStCompare(b1, b2));
  EXPECT_FALSE(ChStCompare(b1, b3));
  EXPECT_FALSE(ChStCompare(b1, a));
  EXPECT_TRUE(ChStEqualSt(b1, big));
  EXPECT_FALSE(ChStEqualSt(b1, StSubstr(big, 0, 8999)));
}

TEST_F(ChStTest, DupOfAPrivateStringIsACopy) {
  ChPart part = NewPart();
  ChHandle h = StToChStXfm(Bytes(5000, 3), ChPartNear(part));
  ChHandle d = ChStDup(h);
  EXPECT_NE(d, h);
  EXPECT_TRUE(ChStCompare(h, d));
  ChStDestroy(h);
  EXPECT_TRUE(ChStToStXfm(d) == Bytes(5000, 3));
  EXPECT_EQ(ChStCbDup(d) != d, true);
}

TEST_F(ChStTest, ChunkOfAnotherTypeIsNotAString) {
  ChPart part = NewPart();
  ChHandle raw = NewChunk(ChPartNear(part), "raw");
  EXPECT_EQ(HaltText([&] { ChStToStXfm(raw); }), "assert:ChStToStXfm-- not a chunk string");
}

TEST_F(ChStTest, ListsOfStringsAndSets) {
  ChPart part = NewPart();
  Li<St> list;
  LiAppend(list, StFromView("one"));
  LiAppend(list, St());
  LiAppend(list, Bytes(6000, 5));
  ChHandle cl = StLiToChStLiXfm(list, ChPartNear(part));
  EXPECT_EQ(ChLiGenCount(cl, kChLiNodeType), 3);
  Li<St> back = ChStLiToStLiXfm(cl);
  ASSERT_EQ(LiCount(back), 3);
  EXPECT_EQ(LiFirst(back), "one");
  EXPECT_EQ(LiSecond(back).Length(), 0);
  EXPECT_TRUE(LiLast(back) == Bytes(6000, 5));
  ChStLiDestroy(cl);

  Se set = SeCreate(100);
  for (int m : {1, 32, 33, 100}) SeAddMember(set, m);
  ChHandle cs = SeToChSeXfm(set, ChPartNear(part));
  EXPECT_EQ(ChType(cs), kChSeType);
  EXPECT_EQ(ChSize(cs), 8u + 16u);
  EXPECT_EQ(Ld32(static_cast<const uint8_t*>(ChDeref(cs))), 100u);
  Se sback = ChSeToSeXfm(cs);
  EXPECT_TRUE(SeIsEqual(sback, set));
  EXPECT_EQ(sback.Size(), 100);
  ChSeDestroy(cs);
  EXPECT_EQ(SeToChSeXfm(Se(), ChPartNear(part)), 0u);
  EXPECT_TRUE(ChSeToSeXfm(0).IsNil());
  EXPECT_EQ(HaltText([&] { SeToChSeXfm(SeCreate(40000), ChPartNear(part)); }),
            "assert:SeToChSeXfm-- set too large");
}

int CountChunks(ChPart part) {
  ChIter it;
  ChStartFID(it, part);
  int n = 0;
  while (ChNext(it) != kChNil) ++n;
  return n;
}

TEST_F(ChStTest, EqualStringsAreSharedOnceWithACount) {
  ChPart part = NewPart();
  St big = Bytes(5000, 8);
  ChHandle a = StToChStXfm(big, ChPartNear(part));
  ChHandle b = StToChStXfm(big, ChPartNear(part));
  EXPECT_FALSE(ChStIsShared(a));
  EXPECT_EQ(ShrGetChRoot(part, false), 0u);
  ChHandle sa = ChStPrivShrCvt(a);
  EXPECT_EQ(sa, a);
  EXPECT_TRUE(ChStIsShared(a));
  EXPECT_TRUE(ShrIsShared(a));
  EXPECT_NE(ShrGetChRoot(part, false), 0u);
  int chunks = CountChunks(part);
  ChHandle sb = ChStPrivShrCvt(b);  // b's chunks go, a gains a count
  EXPECT_EQ(sb, a);
  EXPECT_EQ(ShrCount(a), 2u);
  EXPECT_EQ(CountChunks(part), chunks - 4);  // two pieces and their nodes
  EXPECT_EQ(ChStDup(a), a);
  ChStIncShared(a);
  EXPECT_EQ(ShrCount(a), 4u);
  EXPECT_EQ(ShrTableSize(part), 1u);
  // A shared string is not destroyed behind the table's back.
  EXPECT_EQ(HaltText([&] { ChDestroy(a); }), "assert:ChDestroy-- Reference count not zero");
  EXPECT_EQ(HaltText([&] { ChStPrivShrCvt(a); }), "assert:ChStPrivShrCvt-- not shared");
  ChHandle priv = StToChStXfm(StFromView("p"), ChPartNear(part));
  EXPECT_EQ(HaltText([&] { ChStShrPrivCvt(priv); }), "assert:ChStShrPrivCvt-- already shared");
  // Three owners let go; the fourth turns it private again.
  ChStDestroy(a);
  ChStCbDestroy(a);
  ExChStDestroy(a);
  EXPECT_EQ(ShrCount(a), 1u);
  EXPECT_EQ(ChStShrPrivCvt(a), a);
  EXPECT_FALSE(ChStIsShared(a));
  EXPECT_EQ(ShrTableSize(part), 0u);
  EXPECT_TRUE(ChStToStXfm(a) == big);
  std::string report;
  EXPECT_TRUE(ShrConsistency(part, &report)) << report;
}

TEST_F(ChStTest, SharedToPrivateWithOtherOwnersGivesACopy) {
  ChPart part = NewPart();
  ChHandle s = ChStPrivShrCvt(StToChStXfm(StFromView("name"), ChPartNear(part)));
  ChStIncShared(s);
  ChHandle mine = ChStShrPrivCvt(s);
  EXPECT_NE(mine, s);
  EXPECT_FALSE(ChStIsShared(mine));
  EXPECT_EQ(ChStToStXfm(mine), "name");
  EXPECT_EQ(ShrCount(s), 1u);
  ChStDestroy(s);
  EXPECT_EQ(ShrTableSize(part), 0u);
  EXPECT_EQ(ChStToStXfm(mine), "name");
}

TEST_F(ChStTest, StringsWithOneHashShareABucket) {
  ChPart part = NewPart();
  // "\x03", "\x01\x02" and "\x02\x00" all hash to 3.
  std::vector<std::string> texts = {std::string("\x03", 1), std::string("\x01\x02", 2),
                                    std::string("\x02\x00", 2)};
  std::vector<ChHandle> shared;
  for (const std::string& t : texts) {
    ChHandle h = StToChStXfm(StFromView(t), ChPartNear(part));
    EXPECT_EQ(ChStHash(h), 3u);
    shared.push_back(ChStPrivShrCvt(h));
  }
  EXPECT_EQ(ShrTableSize(part), 3u);
  EXPECT_EQ(ChStPrivShrCvt(StToChStXfm(StFromView(texts[1]), ChPartNear(part))), shared[1]);
  EXPECT_EQ(ShrCount(shared[1]), 2u);
  ChHandle table = ShrGetChRoot(part, false);
  ChHandle bucket = SlGetInterval(table, 3, nullptr, nullptr);
  EXPECT_EQ(ChLiGenCount(bucket, kChLiNodeType), 3);
  // Taking out the bucket's first node moves the key to the next.
  ChStDestroy(shared[0]);
  EXPECT_EQ(ChLiGenCount(SlGetInterval(table, 3, nullptr, nullptr), kChLiNodeType), 2);
  std::string report;
  EXPECT_TRUE(ShrConsistency(part, &report)) << report;
  ChStDestroy(shared[2]);
  ChStDestroy(shared[1]);
  ChStDestroy(shared[1]);
  EXPECT_EQ(SlGetInterval(table, 3, nullptr, nullptr), 0u);
  EXPECT_TRUE(SlIsEmpty(table));
}

// Owners take, duplicate and drop references to strings from a small pool
// (some long); each owner is a node of a holder list, so the count of a
// shared string must equal the nodes that hold it.  Saved and counted
// again by a new process.
TEST_F(ChStTest, SharedCountsFollowTheirOwnersAndSurviveReopen) {
  ChPart part = NewPart();
  std::mt19937 rng(12);
  std::vector<St> pool;
  for (uint32_t i = 0; i < 40; ++i) pool.push_back(Bytes(i % 7 == 0 ? 4500 + i : 1 + i % 9, i % 20));
  std::vector<ChHandle> owners;  // one entry per reference
  for (int step = 0; step < 3000; ++step) {
    uint32_t r = rng() % 10;
    if (r < 4 || owners.empty()) {
      const St& s = pool[rng() % pool.size()];
      owners.push_back(ChStPrivShrCvt(StToChStXfm(s, ChPartNear(part))));
    } else if (r < 6) {
      owners.push_back(ChStDup(owners[rng() % owners.size()]));
    } else if (r < 9) {
      size_t i = rng() % owners.size();
      ChStDestroy(owners[i]);
      owners.erase(owners.begin() + long(i));
    } else {
      // One owner goes private and back.
      size_t i = rng() % owners.size();
      ChHandle mine = ChStShrPrivCvt(owners[i]);
      owners[i] = ChStPrivShrCvt(mine);
    }
    if (step % 300 == 0) {
      std::map<ChHandle, uint32_t> counts;
      for (ChHandle h : owners) ++counts[h];
      for (auto& [h, n] : counts) ASSERT_EQ(ShrCount(h), n) << step;
      ASSERT_EQ(ShrTableSize(part), counts.size());
      std::string report;
      ASSERT_TRUE(ShrConsistency(part, &report)) << report;
    }
  }
  ChHandle holders = ChLiGenCreate(ChPartNear(part), kChLiNodeType);
  for (ChHandle h : owners) holders = ChLiGenAppend(holders, h, 0, kChLiNodeType);
  ChSetRoot(part, holders);
  uint32_t rev;
  ASSERT_EQ(ChPartSave(part, 0, &rev), 0);
  ASSERT_EQ(ChFiClose(ChGetChFi(part)), 0);
  std::string out;
  EXPECT_TRUE(liststest::RunInNewProcess("ChStReopened.SharedCountsAgain", dir_ + "/quil.db", &out))
      << out;
}

TEST_F(ChStTest, StringsReadBackInANewProcess) {
  ChPart part = NewPart();
  ChHandle root = ChLiGenCreate(ChPartNear(part), kChLiNodeType);
  for (uint32_t n : {0u, 1u, 4062u, 4063u, 8200u, 30000u}) {
    ChHandle s = StToChStXfm(Bytes(n, n), root);
    root = ChLiGenAppend(root, s, n, kChLiNodeType);
  }
  Se set = SeCreate(70);
  SeAddMember(set, 69);
  root = ChLiGenAppend(root, SeToChSeXfm(set, root), 0xFFFFFFFFu, kChLiNodeType);
  ChSetRoot(part, root);
  uint32_t rev;
  ASSERT_EQ(ChPartSave(part, 0, &rev), 0);
  ASSERT_EQ(ChFiClose(ChGetChFi(part)), 0);
  std::string out;
  EXPECT_TRUE(liststest::RunInNewProcess("ChStReopened.StringsReadBack", dir_ + "/quil.db", &out))
      << out;
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " check quil.db", &out), 0) << out;
}

class ChStReopened : public liststest::ReopenedFile {};

TEST_F(ChStReopened, SharedCountsAgain) {
  std::map<ChHandle, uint32_t> counts;
  ChLiGenIter it = ChLiGenStart(Root(), kChLiNodeType);
  uint32_t h;
  while (ChLiGenNext(it, &h, nullptr, kChLiNodeType)) ++counts[h];
  ASSERT_FALSE(counts.empty());
  for (auto& [s, n] : counts) {
    EXPECT_TRUE(ChStIsShared(s));
    EXPECT_EQ(ShrCount(s), n);
  }
  EXPECT_EQ(ShrTableSize(part_), counts.size());
  std::string report;
  EXPECT_TRUE(ShrConsistency(part_, &report)) << report;
}

TEST_F(ChStReopened, StringsReadBack) {
  ChLiGenIter it = ChLiGenStart(Root(), kChLiNodeType);
  uint32_t h, n, seen = 0;
  while (ChLiGenNext(it, &h, &n, kChLiNodeType)) {
    ++seen;
    if (n == 0xFFFFFFFFu) {
      Se set = ChSeToSeXfm(h);
      EXPECT_EQ(set.Size(), 70);
      EXPECT_EQ(SeFirst(set), 69);
      continue;
    }
    EXPECT_TRUE(ChStToStXfm(h) == Bytes(n, n)) << n;
    EXPECT_EQ(ChStHash(h), StHash(Bytes(n, n))) << n;
  }
  EXPECT_EQ(seen, 7u);
}

}  // namespace
