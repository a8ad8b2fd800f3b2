// Chunk lists: the empty-list handle, the ring on disk, appends and
// removals against a memory model, the same-file rule, iteration with
// deletion, conversions, and a list saved and read by a new process.
#include <deque>
#include <random>
#include <utility>

#include "ChLi.h"
#include "Ex.h"
#include "halt_text.h"
#include "lists_test_util.h"

using namespace quil;
using quiltest::HaltText;

namespace {

constexpr uint16_t kT = kChLiNodeType;

class ChLi : public storetest::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ChLiRegisterNodeType(kT);
  }
};

using Model = std::deque<std::pair<uint32_t, uint32_t>>;

Model Contents(ChHandle list) {
  Model m;
  ChLiGenIter it = ChLiGenStart(list, kT);
  uint32_t d, d2;
  while (ChLiGenNext(it, &d, &d2, kT)) m.emplace_back(d, d2);
  ChLiGenStop(it);
  return m;
}

// The ring read backwards through the previous links.
Model Backwards(ChHandle list) {
  Model m;
  if (ChLiGenIsEmpty(list, kT)) return m;
  ChHandle node = ChLiGenLastEntry(list, kT);
  for (;;) {
    uint32_t d, d2;
    ChLiGenGetDataEntry(node, &d, &d2, kT);
    m.emplace_front(d, d2);
    if (node == list) break;
    node = Ld32(static_cast<const uint8_t*>(ChDeref(node)) + 4);
  }
  return m;
}

TEST_F(ChLi, EmptyListIsThePartFieldOfTheNearHandle) {
  ChPart part = NewPart();
  ChHandle near = NewChunk(ChPartNear(part), "x");
  ChHandle list = ChLiGenCreate(near, kT);
  EXPECT_EQ(list, ChPartNear(part));
  EXPECT_TRUE(ChLiGenIsEmpty(list, kT));
  EXPECT_EQ(ChLiGenCount(list, kT), 0);
  uint32_t d = 7, d2 = 7;
  EXPECT_FALSE(ChLiGenFirst(list, &d, &d2, kT));
  EXPECT_EQ(d, 0u);
  EXPECT_EQ(ChLiGenPop(list, &d, &d2, kT), list);
  EXPECT_TRUE(ChLiGenIsLegal(list, kT));
}

TEST_F(ChLi, AppendToEmptyGivesNewHandleThenKeepsTheFirst) {
  ChPart part = NewPart();
  ChHandle empty = ChLiGenCreate(ChPartNear(part), kT);
  ChHandle list = ChLiGenAppend(empty, 0, 11, kT);
  EXPECT_NE(list, empty);
  EXPECT_FALSE(ChLiGenIsEmpty(list, kT));
  EXPECT_EQ(ChLiGenCount(list, kT), 1);
  EXPECT_EQ(ChLiGenAppend(list, 0, 22, kT), list);
  EXPECT_EQ(ChLiGenCount(list, kT), 2);
  EXPECT_EQ(ChType(list), kT);
  EXPECT_EQ(ChSize(list), 16u);
}

TEST_F(ChLi, NodesFormARingByteForByte) {
  ChPart part = NewPart();
  ChHandle a = NewChunk(ChPartNear(part), "a");
  ChHandle list = ChLiGenCreate(ChPartNear(part), kT);
  ChHandle n1, n2, n3;
  list = ChLiGenAppendEntry(list, a, 1, kT, &n1);
  list = ChLiGenAppendEntry(list, 0, 2, kT, &n2);
  list = ChLiGenAppendEntry(list, 0, 3, kT, &n3);
  EXPECT_EQ(list, n1);
  auto bytes = [](std::initializer_list<uint32_t> words) {
    std::string s;
    for (uint32_t w : words) s.append(reinterpret_cast<const char*>(&w), 4);
    return s;
  };
  EXPECT_EQ(ChunkBytes(n1), bytes({n2, n3, a, 1}));
  EXPECT_EQ(ChunkBytes(n2), bytes({n3, n1, 0, 2}));
  EXPECT_EQ(ChunkBytes(n3), bytes({n1, n2, 0, 3}));
  // New nodes go next to the last one.
  EXPECT_EQ(ChPageOf(n3), ChPageOf(n2));
}

TEST_F(ChLi, RandomOperationsFollowAMemoryModel) {
  ChPart part = NewPart();
  std::mt19937 rng(4242);
  ChHandle list = ChLiGenCreate(ChPartNear(part), kT);
  Model model;
  for (int step = 0; step < 3000; ++step) {
    uint32_t d2 = uint32_t(rng());
    switch (rng() % 8) {
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
        uint32_t d = 1, x = 1;
        list = ChLiGenPop(list, &d, &x, kT);
        if (model.empty()) {
          EXPECT_EQ(x, 0u);
        } else {
          EXPECT_EQ(x, model.front().second);
          model.pop_front();
        }
        break;
      }
      case 4: {
        if (model.empty()) break;
        auto victim = model[rng() % model.size()];
        bool found = false;
        list = ChLiGenDeleteMatch(list, victim.first, victim.second, kT, &found);
        EXPECT_TRUE(found);
        for (auto it = model.begin(); it != model.end(); ++it)
          if (*it == victim) {
            model.erase(it);
            break;
          }
        break;
      }
      case 5: {
        // Delete every node whose word is odd while walking.
        if (rng() % 20) break;
        ChLiGenIter it = ChLiGenStart(list, kT);
        uint32_t d, x;
        while (ChLiGenNext(it, &d, &x, kT))
          if (x & 1) ChLiGenIterDeleteEntry(it, kT);
        list = it.list;
        std::erase_if(model, [](const auto& p) { return p.second & 1; });
        break;
      }
      case 6: {
        int32_t n = int32_t(rng() % 3);
        list = ChLiGenDrop(list, n, kT);
        for (int32_t i = 0; i < n && !model.empty(); ++i) model.pop_front();
        break;
      }
      case 7:
        EXPECT_EQ(ChLiGenIsMember(list, 0, d2, kT),
                  std::find(model.begin(), model.end(), std::make_pair(0u, d2)) !=
                      model.end());
        break;
    }
    if (step % 100 == 0) {
      ASSERT_EQ(Contents(list), model) << step;
      ASSERT_EQ(Backwards(list), model) << step;
      ASSERT_TRUE(ChLiGenIsLegal(list, kT)) << step;
    }
  }
  ASSERT_EQ(Contents(list), model);
  ASSERT_EQ(ChLiGenCount(list, kT), int32_t(model.size()));
  list = ChLiGenDestroy(list, kT);
  EXPECT_TRUE(ChLiGenIsEmpty(list, kT));
}

TEST_F(ChLi, DupCatAndOr) {
  ChPart part = NewPart();
  ChHandle a = ChLiGenCreate(ChPartNear(part), kT);
  ChHandle b = a;
  for (uint32_t i = 1; i <= 3; ++i) a = ChLiGenAppend(a, 0, i, kT);
  for (uint32_t i = 3; i <= 5; ++i) b = ChLiGenAppend(b, 0, i, kT);
  ChHandle o = ChLiGenOR(a, b, kT);
  EXPECT_EQ(Contents(o), (Model{{0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}}));
  ChHandle d = ChLiGenDup(a, kT);
  EXPECT_NE(d, a);
  EXPECT_EQ(Contents(d), Contents(a));
  ChHandle c = ChLiGenCat(a, b, kT);
  EXPECT_EQ(c, a);
  EXPECT_EQ(Contents(c), (Model{{0, 1}, {0, 2}, {0, 3}, {0, 3}, {0, 4}, {0, 5}}));
  EXPECT_EQ(Backwards(c), Contents(c));
  EXPECT_EQ(ChLiGenCat(ChLiGenCreate(a, kT), d, kT), d);
}

TEST_F(ChLi, HandleDataMustLieInTheListsFile) {
  ChPart p1 = NewPart("one.db");
  ChPart p2 = NewPart("two.db");
  ChHandle foreign = NewChunk(ChPartNear(p2), "foreign");
  ChHandle local = NewChunk(ChPartNear(p1), "local");
  ChHandle list = ChLiGenAppend(ChLiGenCreate(ChPartNear(p1), kT), local, 0, kT);
  EXPECT_EQ(HaltText([&] { ChLiGenAppend(list, foreign, 0, kT); }),
            "assert:ChLiGenAppend-- Data is not in same file as list");
  EXPECT_EQ(HaltText([&] { ChLiGenSetDataEntry(list, list, foreign, 0, kT); }),
            "assert:ChLiGenAppend-- Data is not in same file as list");
  // Words that the file form keeps unchanged are not handles.
  list = ChLiGenAppend(list, 0xFFFF0012u, 0, kT);
  list = ChLiGenAppend(list, 77, foreign, kT);
  EXPECT_EQ(ChLiGenCount(list, kT), 3);
}

TEST_F(ChLi, NodeOfAnotherTypeIsAnIllegalList) {
  ChPart part = NewPart();
  ChHandle list = ChLiGenAppend(ChLiGenCreate(ChPartNear(part), kT), 0, 1, kT);
  ChLiRegisterNodeType(41);
  EXPECT_EQ(HaltText([&] { ChLiGenCount(list, 41); }), "assert:ChLiPkg-- illegal list");
  EXPECT_EQ(HaltText([&] { ChLiGenAppend(list, 0, 2, 41); }),
            "assert:ChLiPkg-- illegal list");
  ChHandle raw = NewChunk(ChPartNear(part), std::string(16, '\0'));
  EXPECT_EQ(HaltText([&] { ChLiGenStart(raw, kT); }), "assert:ChLiPkg-- illegal list");
  EXPECT_FALSE(ChLiGenIsLegal(list, 41));
  EXPECT_FALSE(ChLiGenIsLegal(raw, kT));
}

TEST_F(ChLi, IsLegalFindsBrokenLinksWithoutHalting) {
  ChPart part = NewPart();
  ChHandle list = ChLiGenCreate(ChPartNear(part), kT);
  ChHandle n2, n3;
  list = ChLiGenAppend(list, 0, 1, kT);
  list = ChLiGenAppendEntry(list, 0, 2, kT, &n2);
  list = ChLiGenAppendEntry(list, 0, 3, kT, &n3);
  ChHandle gone = ChLiGenAppend(ChLiGenCreate(list, kT), 0, 9, kT);
  EXPECT_TRUE(ChLiGenIsLegal(list, kT));
  EXPECT_TRUE(ChLiGenDataIsLegal(list, kT));
  auto poke = [](ChHandle node, uint32_t at, uint32_t v) {
    ChLocked c(node);
    St32(c.Data() + at, v);
    c.MarkModified();
  };
  poke(n2, 8, gone);
  EXPECT_TRUE(ChLiGenDataIsLegal(list, kT));
  ChLiGenDestroy(gone, kT);
  EXPECT_TRUE(ChLiGenIsLegal(list, kT));
  EXPECT_FALSE(ChLiGenDataIsLegal(list, kT));  // a destroyed chunk
  poke(n3, 4, list);                           // previous link skips n2
  EXPECT_FALSE(ChLiGenIsLegal(list, kT));
  poke(n3, 4, n2);
  poke(n2, 0, n2);  // a loop that never returns to the first node
  EXPECT_FALSE(ChLiGenIsLegal(list, kT));
  poke(n2, 0, gone);  // a link to a destroyed node
  EXPECT_FALSE(ChLiGenIsLegal(list, kT));
}

TEST_F(ChLi, MemoryListConversionsKeepOrderAndWords) {
  ChPart part = NewPart();
  Li<uint32_t> words;
  for (uint32_t w : {0x12345678u, 0u, 0xFFFFFFFFu, 7u}) LiAppend(words, w);
  ChHandle ut = LiToChLiUtXfm(words, ChPartNear(part), kT);
  EXPECT_EQ(Contents(ut), (Model{{0, 0x12345678u}, {0, 0}, {0, 0xFFFFFFFFu}, {0, 7}}));
  Li<uint32_t> back = ChLiUtToLiXfm(ut, kT);
  EXPECT_EQ(LiCount(back), 4);
  EXPECT_EQ(LiFirst(back), 0x12345678u);
  EXPECT_EQ(LiLast(back), 7u);

  Li<ChHandle> handles;
  for (int i = 0; i < 3; ++i) LiAppend(handles, NewChunk(ChPartNear(part), std::string(1, 'a' + i)));
  ChHandle hl = LiToChLiHndXfm(handles, ChPartNear(part), kT);
  Li<ChHandle> hback = ChLiHndToLiXfm(hl, kT);
  EXPECT_EQ(LiCount(hback), 3);
  EXPECT_EQ(ChunkBytes(LiLast(hback)), "c");
  EXPECT_TRUE(ChLiGenIsEmpty(LiToChLiUtXfm(Li<uint32_t>(), ChPartNear(part), kT), kT));
}

// Saves a list of handles (each to a chunk naming its position) and a list
// of plain words, and reads both back in a new process.
TEST_F(ChLi, SavedListReadsBackInANewProcess) {
  ChPart part = NewPart();
  ChHandle words = ChLiGenCreate(ChPartNear(part), kT);
  ChHandle handles = words;
  for (uint32_t i = 0; i < 700; ++i) {
    words = ChLiGenAppend(words, 0, 0x01020300u + i, kT);
    handles = ChLiGenAppend(handles, NewChunk(handles, "item" + std::to_string(i)), i, kT);
  }
  ChHandle root = ChLiGenAppend(ChLiGenCreate(ChPartNear(part), kT), words, 0, kT);
  root = ChLiGenAppend(root, handles, 0, kT);
  ChSetRoot(part, root);
  uint32_t rev;
  ASSERT_EQ(ChPartSave(part, 0, &rev), 0);
  ASSERT_EQ(ChFiClose(ChGetChFi(part)), 0);
  std::string out;
  EXPECT_TRUE(liststest::RunInNewProcess("ChLiReopened.ListsReadBack", dir_ + "/quil.db", &out))
      << out;
}

class ChLiReopened : public liststest::ReopenedFile {};

TEST_F(ChLiReopened, ListsReadBack) {
  ChHandle root = Root();
  ASSERT_TRUE(ChLiGenIsLegal(root, kT));
  uint32_t words, handles;
  ASSERT_TRUE(ChLiGenFirst(root, &words, nullptr, kT));
  ASSERT_TRUE(ChLiGenLast(root, &handles, nullptr, kT));
  ASSERT_TRUE(ChLiGenIsLegal(words, kT));
  ASSERT_TRUE(ChLiGenDataIsLegal(handles, kT));
  ASSERT_EQ(ChLiGenCount(words, kT), 700);
  Li<uint32_t> w = ChLiUtToLiXfm(words, kT);
  uint32_t i = 0;
  for (uint32_t v : w) EXPECT_EQ(v, 0x01020300u + i++);
  ChLiGenIter it = ChLiGenStart(handles, kT);
  uint32_t d, d2;
  i = 0;
  while (ChLiGenNext(it, &d, &d2, kT)) {
    EXPECT_EQ(d2, i);
    EXPECT_EQ(std::string(static_cast<const char*>(ChDeref(d)), ChSize(d)), "item" + std::to_string(i));
    ++i;
  }
  EXPECT_EQ(i, 700u);
}

}  // namespace
