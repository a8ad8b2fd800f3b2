// Chunk strings: the one-chunk form byte for byte, the split into pieces at
// 4,062 and 4,063 bytes, hashing and comparison, lists of strings and sets,
// the shared-string table and its counts, and strings read by a new process.
#include <map>
#include <random>

#include "ChLi.h"
#include "ChSt.h"
#include "Sl.h"
#include "halt_text.h"
#include "lists_test_util.h"

using namespace quil;
using quiltest::HaltText;

namespace {

class ChStTest : public storetest::PartTest {
 protected:
  ChHandle Put(const St& s) { return StToChStXfm(s, ChPartNear(part_)); }
  ChHandle Share(const St& s) { return ChStPrivShrCvt(Put(s)); }
  int CountChunks() {
    ChIter it;
    ChStartFID(it, part_);
    int n = 0;
    while (ChNext(it) != kChNil) ++n;
    return n;
  }
  void ExpectTableSound() {
    std::string report;
    EXPECT_TRUE(ShrConsistency(part_, &report)) << report;
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
  std::vector<ChHandle> pieces{h};
  if (ChType(h) == kChLiNodeType) {
    pieces.clear();
    for (ChHandle piece : ChLiHndToLiXfm(h, kChLiNodeType)) pieces.push_back(piece);
  }
  for (ChHandle piece : pieces) {
    EXPECT_EQ(ChType(piece), kChStType);
    out.push_back(Ld16(static_cast<const uint8_t*>(ChDeref(piece))));
  }
  return out;
}

TEST_F(ChStTest, ShortStringIsOneChunkByteForByte) {
  ChHandle h = Put(StFromView("abc"));
  EXPECT_EQ(ChType(h), kChStType);
  EXPECT_EQ(ChunkBytes(h), std::string("\x03\x00" "abc" "\0" "\0\0\0\0\0\0", 12));  // length + 9
  EXPECT_EQ(ChStToStXfm(h), "abc");
  ChHandle empty = Put(St());
  EXPECT_EQ(ChSize(empty), 9u);
  EXPECT_FALSE(ChStToStXfm(empty).IsNil());
  EXPECT_TRUE(ChStToStXfm(0).IsNil());
  ChHandle raw = NewChunk(ChPartNear(part_), "raw");
  EXPECT_EQ(HaltText([&] { ChStToStXfm(raw); }), "assert:ChStToStXfm-- not a chunk string");
}

TEST_F(ChStTest, LengthsAroundThePieceSize) {
  std::vector<uint32_t> seventy(17, 4063);
  seventy.push_back(929);
  struct Case {
    uint32_t length;
    std::vector<uint32_t> pieces;
    bool list;
  } cases[] = {{4062, {4062}, false},          {4063, {4063}, true},
               {4064, {4063, 1}, true},        {8200, {4063, 4063, 74}, true},
               {70000, seventy, true}};
  int before = CountChunks();
  for (const Case& c : cases) {
    St s = Bytes(c.length, c.length);
    ChHandle h = Put(s);
    EXPECT_EQ(ChType(h), c.list ? kChLiNodeType : kChStType) << c.length;
    EXPECT_EQ(PieceLengths(h), c.pieces) << c.length;
    EXPECT_EQ(ChStLength(h), c.length);
    EXPECT_TRUE(ChStToStXfm(h) == s) << c.length;
    EXPECT_EQ(ChStHash(h), StHash(s)) << c.length;
    ChStDestroy(h);
    EXPECT_EQ(CountChunks(), before) << c.length;  // every piece and node went
  }
}

TEST_F(ChStTest, HashCompareAndCopies) {
  EXPECT_EQ(ChStHash(Put(StFromView("a"))), 97u);
  EXPECT_EQ(ChStHash(Put(St())), 0u);
  St big = Bytes(9000, 1);
  St other = StSoleOwner(St(big));
  other.MutableChars()[8999] ^= 1;
  ChHandle b1 = Put(big);
  EXPECT_TRUE(ChStCompare(b1, Put(big)));
  EXPECT_FALSE(ChStCompare(b1, Put(other)));
  EXPECT_FALSE(ChStEqualSt(b1, StSubstr(big, 0, 8999)));
  ChHandle copy = ChStDup(b1);  // a private string is copied
  EXPECT_NE(copy, b1);
  ChStDestroy(b1);
  EXPECT_TRUE(ChStToStXfm(copy) == big);
}

TEST_F(ChStTest, ListsOfStringsAndSets) {
  Li<St> list;
  for (St s : {StFromView("one"), St(), Bytes(6000, 5)}) LiAppend(list, std::move(s));
  ChHandle cl = StLiToChStLiXfm(list, ChPartNear(part_));
  Li<St> back = ChStLiToStLiXfm(cl);
  ASSERT_EQ(LiCount(back), 3);
  EXPECT_EQ(LiFirst(back), "one");
  EXPECT_TRUE(LiLast(back) == Bytes(6000, 5));
  int before = CountChunks();
  ChStLiDestroy(cl);
  EXPECT_EQ(CountChunks(), before - 9);  // 3 nodes, 2 short strings, 2 pieces + 2 nodes

  Se set = SeCreate(100);
  for (int m : {1, 32, 33, 100}) SeAddMember(set, m);
  ChHandle cs = SeToChSeXfm(set, ChPartNear(part_));
  EXPECT_EQ(ChType(cs), kChSeType);
  EXPECT_EQ(ChunkBytes(cs).substr(0, 12), std::string("\x64\0\0\0\x04\0\0\0\x01\0\0\x80", 12));
  EXPECT_TRUE(SeIsEqual(ChSeToSeXfm(cs), set));
  EXPECT_EQ(ChSeToSeXfm(cs).Size(), 100);
  EXPECT_EQ(SeToChSeXfm(Se(), ChPartNear(part_)), 0u);
  EXPECT_EQ(HaltText([&] { SeToChSeXfm(SeCreate(40000), ChPartNear(part_)); }),
            "assert:SeToChSeXfm-- set too large");
}

TEST_F(ChStTest, EqualStringsAreSharedOnceWithACount) {
  St big = Bytes(5000, 8);
  ChHandle a = Put(big);
  EXPECT_EQ(ShrGetChRoot(part_, false), 0u);
  EXPECT_EQ(ChStPrivShrCvt(a), a);
  EXPECT_TRUE(ChStIsShared(a));
  int chunks = CountChunks();
  EXPECT_EQ(Share(big), a);                 // the new copy goes at once
  EXPECT_EQ(CountChunks(), chunks);
  EXPECT_EQ(ShrCount(a), 2u);
  EXPECT_EQ(ChStDup(a), a);
  ChStIncShared(a);
  EXPECT_EQ(ShrCount(a), 4u);
  EXPECT_EQ(ShrTableSize(part_), 1u);
  EXPECT_EQ(HaltText([&] { ChDestroy(a); }), "assert:ChDestroy-- Reference count not zero");
  EXPECT_EQ(HaltText([&] { ChStPrivShrCvt(a); }), "assert:ChStPrivShrCvt-- not shared");
  ChHandle priv = Put(StFromView("p"));
  EXPECT_EQ(HaltText([&] { ChStShrPrivCvt(priv); }), "assert:ChStShrPrivCvt-- already shared");
  // With other owners left, going private gives a copy.
  ChHandle mine = ChStShrPrivCvt(a);
  EXPECT_NE(mine, a);
  EXPECT_FALSE(ChStIsShared(mine));
  EXPECT_EQ(ShrCount(a), 3u);
  ChStDestroy(a);
  ChStCbDestroy(a);
  // The last owner takes the string itself out of the table.
  EXPECT_EQ(ChStShrPrivCvt(a), a);
  EXPECT_FALSE(ChStIsShared(a));
  EXPECT_EQ(ShrTableSize(part_), 0u);
  EXPECT_TRUE(ChStToStXfm(a) == big);
  ExpectTableSound();
}

TEST_F(ChStTest, StringsWithOneHashShareABucket) {
  // "\x03", "\x01\x02" and "\x02\x00" all hash to 3.
  std::vector<ChHandle> shared;
  for (std::string t : {std::string("\x03", 1), std::string("\x01\x02", 2), std::string("\x02\x00", 2)})
    shared.push_back(Share(StFromView(t)));
  EXPECT_EQ(Share(StFromView(std::string("\x01\x02", 2))), shared[1]);
  EXPECT_EQ(ShrTableSize(part_), 3u);
  ChHandle table = ShrGetChRoot(part_, false);
  EXPECT_EQ(ChLiGenCount(SlGetInterval(table, 3, nullptr, nullptr), kChLiNodeType), 3);
  ChStDestroy(shared[0]);  // the bucket's first node: the key follows
  EXPECT_EQ(ChLiGenCount(SlGetInterval(table, 3, nullptr, nullptr), kChLiNodeType), 2);
  ExpectTableSound();
  for (int i : {2, 1, 1}) ChStDestroy(shared[size_t(i)]);
  EXPECT_TRUE(SlIsEmpty(table));
}

// Owners take, duplicate, drop and privatise references to strings of a
// small pool (some long); the count of a shared string must equal the
// owners holding it.  The owners are saved as a list and counted again by
// a new process.
TEST_F(ChStTest, SharedCountsFollowTheirOwnersAndSurviveReopen) {
  std::mt19937 rng(12);
  std::vector<St> pool;
  for (uint32_t i = 0; i < 40; ++i) pool.push_back(Bytes(i % 7 == 0 ? 4500 + i : 1 + i % 9, i % 20));
  std::vector<ChHandle> owners;
  for (int step = 0; step < 3000; ++step) {
    uint32_t r = rng() % 10;
    size_t i = owners.empty() ? 0 : rng() % owners.size();
    if (r < 4 || owners.empty()) {
      owners.push_back(Share(pool[rng() % pool.size()]));
    } else if (r < 6) {
      owners.push_back(ChStDup(owners[i]));
    } else if (r < 9) {
      ChStDestroy(owners[i]);
      owners.erase(owners.begin() + long(i));
    } else {
      owners[i] = ChStPrivShrCvt(ChStShrPrivCvt(owners[i]));
    }
    if (step % 300 == 0) {
      std::map<ChHandle, uint32_t> counts;
      for (ChHandle h : owners) ++counts[h];
      for (auto& [h, n] : counts) ASSERT_EQ(ShrCount(h), n) << step;
      ASSERT_EQ(ShrTableSize(part_), counts.size());
      ExpectTableSound();
    }
  }
  ChHandle holders = ChLiGenCreate(ChPartNear(part_), kChLiNodeType);
  for (ChHandle h : owners) holders = ChLiGenAppend(holders, h, 0, kChLiNodeType);
  std::string out;
  EXPECT_TRUE(liststest::SaveAndCheckInNewProcess(part_, holders, "ChStReopened.SharedCountsAgain", &out))
      << out;
}

TEST_F(ChStTest, StringsReadBackInANewProcess) {
  ChHandle root = ChLiGenCreate(ChPartNear(part_), kChLiNodeType);
  for (uint32_t n : {0u, 4062u, 4063u, 8200u, 30000u})
    root = ChLiGenAppend(root, StToChStXfm(Bytes(n, n), root), n, kChLiNodeType);
  Se set = SeCreate(70);
  SeAddMember(set, 69);
  root = ChLiGenAppend(root, SeToChSeXfm(set, root), 0xFFFFFFFFu, kChLiNodeType);
  std::string out;
  EXPECT_TRUE(liststest::SaveAndCheckInNewProcess(part_, root, "ChStReopened.StringsReadBack", &out))
      << out;
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " check quil.db", &out), 0) << out;
}

class ChStReopened : public liststest::ReopenedFile {};

TEST_F(ChStReopened, SharedCountsAgain) {
  std::map<ChHandle, uint32_t> counts;
  for (ChHandle h : ChLiHndToLiXfm(Root(), kChLiNodeType)) ++counts[h];
  ASSERT_FALSE(counts.empty());
  for (auto& [s, n] : counts) EXPECT_EQ(ShrCount(s), n);
  EXPECT_EQ(ShrTableSize(part_), counts.size());
  std::string report;
  EXPECT_TRUE(ShrConsistency(part_, &report)) << report;
}

TEST_F(ChStReopened, StringsReadBack) {
  ChLiGenIter it = ChLiGenStart(Root(), kChLiNodeType);
  uint32_t h, n, seen = 0;
  for (; ChLiGenNext(it, &h, &n, kChLiNodeType); ++seen) {
    if (n == 0xFFFFFFFFu) {
      EXPECT_EQ(SeFirst(ChSeToSeXfm(h)), 69);
      continue;
    }
    EXPECT_TRUE(ChStToStXfm(h) == Bytes(n, n)) << n;
  }
  EXPECT_EQ(seen, 6u);
}

}  // namespace
