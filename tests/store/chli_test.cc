// Chunk lists: the empty-list handle, the ring on disk, random changes
// against a memory model, the same-file rule, node types, legality checks,
// conversions, and lists read back by a new process.
#include <deque>
#include <random>
#include <utility>

#include "ChLi.h"
#include "halt_text.h"
#include "lists_test_util.h"

using namespace quil;
using quiltest::HaltText;

namespace {

constexpr uint16_t kT = kChLiNodeType;

class ChLi : public storetest::PartTest {
 protected:
  ChHandle Empty() const { return ChLiGenCreate(near_, kT); }
};

using Model = std::deque<std::pair<uint32_t, uint32_t>>;

// The data forwards through the iterator, checked against the ring walked
// backwards through the previous links.
Model Contents(ChHandle list) {
  Model m, back;
  ChLiGenIter it = ChLiGenStart(list, kT);
  uint32_t d, d2;
  while (ChLiGenNext(it, &d, &d2, kT)) m.emplace_back(d, d2);
  for (ChHandle node = ChLiGenLastEntry(list, kT); node;) {
    ChLiGenGetDataEntry(node, &d, &d2, kT);
    back.emplace_front(d, d2);
    node = node == list ? 0 : Ld32(static_cast<const uint8_t*>(ChDeref(node)) + 4);
  }
  EXPECT_EQ(back, m);
  return m;
}

std::string Words(std::initializer_list<uint32_t> words) {
  std::string s;
  for (uint32_t w : words) s.append(reinterpret_cast<const char*>(&w), 4);
  return s;
}

TEST_F(ChLi, EmptyListAppendsAndTheRingOnDisk) {
  ChHandle near = NewChunk(ChPartNear(part_), "x");
  ChHandle list = ChLiGenCreate(near, kT);
  EXPECT_EQ(list, ChPartNear(part_));
  EXPECT_TRUE(ChLiGenIsEmpty(list, kT));
  EXPECT_EQ(ChLiGenCount(list, kT), 0);
  uint32_t d = 7;
  EXPECT_FALSE(ChLiGenFirst(list, &d, nullptr, kT));
  EXPECT_EQ(d, 0u);
  // The first append gives a new handle, later ones the same first node.
  ChHandle n1, n2, n3;
  ChHandle one = ChLiGenAppendEntry(list, near, 1, kT, &n1);
  EXPECT_NE(one, list);
  EXPECT_EQ(one, n1);
  EXPECT_EQ(ChLiGenAppendEntry(one, 0, 2, kT, &n2), one);
  EXPECT_EQ(ChLiGenCount(one, kT), 2);
  EXPECT_EQ(ChLiGenAppendEntry(one, 0, 3, kT, &n3), one);
  EXPECT_EQ(ChType(n1), kT);
  EXPECT_EQ(ChunkBytes(n1), Words({n2, n3, near, 1}));
  EXPECT_EQ(ChunkBytes(n2), Words({n3, n1, 0, 2}));
  EXPECT_EQ(ChunkBytes(n3), Words({n1, n2, 0, 3}));
  EXPECT_EQ(ChPageOf(n3), ChPageOf(n2));  // made next to the last node
}

TEST_F(ChLi, RandomChangesFollowAMemoryModel) {
  std::mt19937 rng(4242);
  ChHandle list = Empty();
  Model model;
  for (int step = 0; step < 3000; ++step) {
    uint32_t d2 = uint32_t(rng());
    switch (rng() % 7) {
      case 0:
      case 1:
        list = ChLiGenAppend(list, 0, d2, kT);
        model.emplace_back(0, d2);
        break;
      case 2:
        list = ChLiGenPrepend(list, 0, d2, kT);
        model.emplace_front(0, d2);
        break;
      case 3: {
        uint32_t x = 1;
        list = ChLiGenPop(list, nullptr, &x, kT);
        EXPECT_EQ(x, model.empty() ? 0 : model.front().second);
        if (!model.empty()) model.pop_front();
        break;
      }
      case 4: {
        if (model.empty()) break;
        auto victim = model[rng() % model.size()];
        bool found = false;
        list = ChLiGenDeleteMatch(list, victim.first, victim.second, kT, &found);
        EXPECT_TRUE(found);
        model.erase(std::find(model.begin(), model.end(), victim));
        break;
      }
      case 5: {
        if (rng() % 20) break;
        // Delete the odd words while walking.
        ChLiGenIter it = ChLiGenStart(list, kT);
        uint32_t x;
        while (ChLiGenNext(it, nullptr, &x, kT))
          if (x & 1) ChLiGenIterDeleteEntry(it, kT);
        list = it.list;
        std::erase_if(model, [](const auto& p) { return p.second & 1; });
        break;
      }
      case 6: {
        int32_t n = int32_t(rng() % 3);
        list = ChLiGenDrop(list, n, kT);
        model.erase(model.begin(), model.begin() + std::min<long>(n, long(model.size())));
        break;
      }
    }
    if (step % 100 == 0) {
      ASSERT_EQ(Contents(list), model) << step;
      ASSERT_TRUE(ChLiGenIsLegal(list, kT)) << step;
    }
  }
  ASSERT_EQ(ChLiGenCount(list, kT), int32_t(model.size()));
  EXPECT_TRUE(ChLiGenIsEmpty(ChLiGenDestroy(list, kT), kT));
}

TEST_F(ChLi, DupCatAndOr) {
  ChHandle a = Empty(), b = Empty();
  for (uint32_t i = 1; i <= 3; ++i) a = ChLiGenAppend(a, 0, i, kT);
  for (uint32_t i = 3; i <= 5; ++i) b = ChLiGenAppend(b, 0, i, kT);
  EXPECT_EQ(Contents(ChLiGenOR(a, b, kT)), (Model{{0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}}));
  ChHandle d = ChLiGenDup(a, kT);
  EXPECT_NE(d, a);
  EXPECT_EQ(Contents(d), Contents(a));
  EXPECT_EQ(ChLiGenCat(a, b, kT), a);
  EXPECT_EQ(Contents(a), (Model{{0, 1}, {0, 2}, {0, 3}, {0, 3}, {0, 4}, {0, 5}}));
  EXPECT_EQ(ChLiGenCat(Empty(), d, kT), d);
}

TEST_F(ChLi, HandleDataMustLieInTheListsFile) {
  ChPart other = NewPart("two.db");
  ChHandle foreign = NewChunk(ChPartNear(other), "foreign");
  ChHandle list = ChLiGenAppend(Empty(), NewChunk(ChPartNear(part_), "local"), 0, kT);
  EXPECT_EQ(HaltText([&] { ChLiGenAppend(list, foreign, 0, kT); }),
            "assert:ChLiGenAppend-- Data is not in same file as list");
  EXPECT_EQ(HaltText([&] { ChLiGenSetDataEntry(list, list, foreign, 0, kT); }),
            "assert:ChLiGenAppend-- Data is not in same file as list");
  // Words that the file form keeps unchanged are not handles, and the
  // second datum is never one.
  list = ChLiGenAppend(list, 0xFFFF0012u, foreign, kT);
  EXPECT_EQ(ChLiGenCount(list, kT), 2);
}

TEST_F(ChLi, NodesOfAnotherTypeAndBrokenRings) {
  ChHandle n2, n3;
  ChHandle list = ChLiGenAppend(Empty(), 0, 1, kT);
  list = ChLiGenAppendEntry(list, 0, 2, kT, &n2);
  list = ChLiGenAppendEntry(list, 0, 3, kT, &n3);
  ChLiRegisterNodeType(41);
  EXPECT_EQ(HaltText([&] { ChLiGenCount(list, 41); }), "assert:ChLiPkg-- illegal list");
  ChHandle raw = NewChunk(ChPartNear(part_), std::string(16, '\0'));
  EXPECT_EQ(HaltText([&] { ChLiGenAppend(raw, 0, 2, kT); }), "assert:ChLiPkg-- illegal list");
  EXPECT_FALSE(ChLiGenIsLegal(list, 41));
  EXPECT_FALSE(ChLiGenIsLegal(raw, kT));
  // The legality checks never halt on damage.
  ChHandle gone = ChLiGenAppend(Empty(), 0, 9, kT);
  auto poke = [](ChHandle node, uint32_t at, uint32_t v) {
    ChLocked c(node);
    St32(c.Data() + at, v);
    c.MarkModified();
  };
  poke(n2, 8, gone);
  EXPECT_TRUE(ChLiGenDataIsLegal(list, kT));
  ChLiGenDestroy(gone, kT);
  EXPECT_TRUE(ChLiGenIsLegal(list, kT));
  EXPECT_FALSE(ChLiGenDataIsLegal(list, kT));
  poke(n3, 4, list);  // a previous link that skips n2
  EXPECT_FALSE(ChLiGenIsLegal(list, kT));
  poke(n3, 4, n2);
  poke(n2, 0, gone);  // a next link to a destroyed node
  EXPECT_FALSE(ChLiGenIsLegal(list, kT));
}

TEST_F(ChLi, MemoryListConversions) {
  Li<uint32_t> words;
  for (uint32_t w : {0x12345678u, 0u, 7u}) LiAppend(words, w);
  ChHandle ut = LiToChLiUtXfm(words, ChPartNear(part_), kT);
  EXPECT_EQ(Contents(ut), (Model{{0, 0x12345678u}, {0, 0}, {0, 7}}));
  Li<uint32_t> back = ChLiUtToLiXfm(ut, kT);
  EXPECT_EQ(LiCount(back), 3);
  EXPECT_EQ(LiFirst(back), 0x12345678u);
  Li<ChHandle> handles;
  for (char c : {'a', 'b'}) LiAppend(handles, NewChunk(ChPartNear(part_), std::string(1, c)));
  Li<ChHandle> hback = ChLiHndToLiXfm(LiToChLiHndXfm(handles, ChPartNear(part_), kT), kT);
  EXPECT_EQ(LiCount(hback), 2);
  EXPECT_EQ(ChunkBytes(LiLast(hback)), "b");
}

// A list of words that look like handles and a list of handles, read back
// by a process that may give the part another number.
TEST_F(ChLi, SavedListsReadBackInANewProcess) {
  ChHandle words = Empty(), handles = Empty();
  for (uint32_t i = 0; i < 700; ++i) {
    words = ChLiGenAppend(words, 0, 0x01020300u + i, kT);
    handles = ChLiGenAppend(handles, NewChunk(handles, "item" + std::to_string(i)), i, kT);
  }
  ChHandle root = ChLiGenAppend(ChLiGenAppend(Empty(), words, 0, kT), handles, 0, kT);
  std::string out;
  EXPECT_TRUE(liststest::SaveAndCheckInNewProcess(part_, root, "ChLiReopened.ListsReadBack", &out))
      << out;
}

class ChLiReopened : public liststest::ReopenedFile {};

TEST_F(ChLiReopened, ListsReadBack) {
  uint32_t words, handles;
  ASSERT_TRUE(ChLiGenFirst(Root(), &words, nullptr, kT));
  ASSERT_TRUE(ChLiGenLast(Root(), &handles, nullptr, kT));
  ASSERT_TRUE(ChLiGenIsLegal(words, kT));
  ASSERT_TRUE(ChLiGenDataIsLegal(handles, kT));
  uint32_t i = 0;
  for (uint32_t v : ChLiUtToLiXfm(words, kT)) EXPECT_EQ(v, 0x01020300u + i++);
  EXPECT_EQ(i, 700u);
  ChLiGenIter it = ChLiGenStart(handles, kT);
  uint32_t d, d2;
  for (i = 0; ChLiGenNext(it, &d, &d2, kT); ++i) {
    EXPECT_EQ(d2, i);
    EXPECT_EQ(std::string(static_cast<const char*>(ChDeref(d)), ChSize(d)), "item" + std::to_string(i));
  }
  EXPECT_EQ(i, 700u);
}

}  // namespace
