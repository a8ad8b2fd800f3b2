// Chunk strings: the one-chunk form byte for byte, the split into pieces at
// 4,062 and 4,063 bytes, hashing and comparison, lists of strings and sets,
// the shared-string table and its counts, and strings read by a new process.
#include <map>
#include <random>

#include "ChLi.h"
#include "ChSt.h"
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
    ChLiRegisterNodeType(kChLiNodeType);
    ChStRegisterTypes();
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
