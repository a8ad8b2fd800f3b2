// ChBt, the name-directory tree: look-ups through the callback, refused
// duplicates, bounds, order, depth under sorted and random insertions,
// removals, the chunk layouts, destruction, and a reopened file read by a
// new process.
#include <algorithm>
#include <functional>
#include <map>
#include <random>

#include "ChSt.h"
#include "bt_test_util.h"
#include "halt_text.h"

using namespace quil;
using storetest::Le32At;

namespace {

constexpr uint32_t kCallback = 7;

// Leaves are raw chunks holding their names; names compare without case.
void RegisterNames() {
  ChBtRegisterCallback(kCallback,
                       {[](ChHandle leaf) {
                          return StCreateLen(ChDeref(leaf), int32_t(ChSize(leaf)));
                        },
                        [](const St& key, const St& str) {
                          return StCompare(key, str, StASCIIUpper);
                        }});
}

std::string Upper(std::string s) {
  for (char& c : s) c = char(StASCIIUpper[uint8_t(c)]);
  return s;
}

class ChBtTest : public bttest::BtTest {
 protected:
  void SetUp() override {
    bttest::BtTest::SetUp();
    RegisterNames();
    root_ = ChBtCreate(near_, kCallback);
  }

  ChHandle Leaf(const std::string& name) { return NewChunk(near_, name); }

  // Adds a leaf for name, mirrored in the model (keyed without case).
  bool Add(const std::string& name) {
    ChHandle leaf = Leaf(name);
    bool fresh = !model_.count(Upper(name));
    EXPECT_EQ(ChBtAdd(root_, leaf), fresh) << name;
    if (fresh) model_[Upper(name)] = leaf;
    return fresh;
  }

  // Inner nodes on the longest path from the top.
  int Depth(ChHandle h) {
    if (!h || ChType(h) != 31) return 0;
    std::string n = ChunkBytes(h);
    return 1 + std::max(Depth(Le32At(n, 8)), Depth(Le32At(n, 12)));
  }

  void CheckAgainstModel() {
    std::string report;
    ASSERT_TRUE(ChBtValidate(root_, &report)) << report;
    ASSERT_EQ(ChBtCount(root_), model_.size());
    ChBtIter it;
    ChBtStartAll(it, root_);
    for (const auto& [name, leaf] : model_) ASSERT_EQ(ChBtNext(it), leaf) << name;
    EXPECT_EQ(ChBtNext(it), 0u);
    ChBtStop(it);
  }

  ChHandle root_ = 0;
  std::map<std::string, ChHandle> model_;
};

TEST_F(ChBtTest, AnEmptyTreeFindsNothing) {
  EXPECT_TRUE(ChBtIsEmpty(root_));
  EXPECT_EQ(ChBtLookup(root_, StFromView("x")), 0u);
  EXPECT_EQ(ChBtDelete(root_, StFromView("x")), 0u);
  ChHandle below = 1, above = 1;
  ChBtBounds(root_, StFromView("x"), &below, &above);
  EXPECT_EQ(below + above, 0u);
  EXPECT_EQ(ChunkBytes(root_), std::string("\7\0\0\0\0\0\0\0\0\0\0\0", 12));
}

TEST_F(ChBtTest, OneLeafIsTheTopAndASecondMakesAnInnerNode) {
  ChHandle b = Leaf("Bravo");
  ASSERT_TRUE(ChBtAdd(root_, b));
  EXPECT_EQ(Le32At(ChunkBytes(root_), 4), b);
  EXPECT_EQ(ChBtLookup(root_, StFromView("BRAVO")), b);
  EXPECT_FALSE(ChBtAdd(root_, Leaf("bravo")));
  ChHandle a = Leaf("alpha");
  ASSERT_TRUE(ChBtAdd(root_, a));
  ChHandle top = Le32At(ChunkBytes(root_), 4);
  EXPECT_EQ(ChType(top), 31);
  std::string n = ChunkBytes(top);
  ASSERT_EQ(n.size(), 16u);
  EXPECT_EQ(Le32At(n, 0), 0u);  // no parent
  EXPECT_EQ(ChStToStXfm(Le32At(n, 4)).Str(), "Bravo");
  EXPECT_EQ(Le32At(n, 8), a);
  EXPECT_EQ(Le32At(n, 12), b);
  EXPECT_EQ(Le32At(ChunkBytes(root_), 8), 2u);
  EXPECT_FALSE(ChBtIsEmpty(root_));
  EXPECT_EQ(ChBtDelete(root_, StFromView("ALPHA")), a);
  EXPECT_EQ(Le32At(ChunkBytes(root_), 4), b);  // the inner node went
  EXPECT_EQ(ChBtDelete(root_, StFromView("bravo")), b);
  EXPECT_TRUE(ChBtIsEmpty(root_));
}

TEST_F(ChBtTest, SortedInsertionsStayShallow) {
  for (int i = 0; i < 4000; ++i) {
    char name[16];
    snprintf(name, sizeof name, "field%05d", i);
    ASSERT_TRUE(Add(name));
  }
  CheckAgainstModel();
  int depth = Depth(Le32At(ChunkBytes(root_), 4));
  EXPECT_LE(depth, int(std::log2(4000.0) * 1.71) + 1);
  EXPECT_GE(depth, 12);
}

TEST_F(ChBtTest, RandomAddsAndDeletesMatchAModel) {
  std::mt19937 rng(21);
  auto name = [&] {
    std::string s = "n" + std::to_string(rng() % 3000);
    for (char& c : s) c = char(rng() % 2 ? c : toupper(c));
    return s;
  };
  for (int step = 0; step < 6000; ++step) {
    if (rng() % 3) {
      Add(name());
    } else {
      std::string n = name();
      auto it = model_.find(Upper(n));
      ChHandle got = ChBtDelete(root_, StFromView(n));
      ASSERT_EQ(got, it == model_.end() ? 0 : it->second) << n;
      if (it != model_.end()) model_.erase(it);
    }
    if (step % 1000 == 999) CheckAgainstModel();
    if (HasFatalFailure()) return;
  }
  CheckAgainstModel();
  EXPECT_LE(Depth(Le32At(ChunkBytes(root_), 4)), int(std::log2(3000.0) * 1.71) + 2);
  // Look-ups and bounds of present and absent names.
  for (int i = 0; i < 500; ++i) {
    std::string n = name() + (i % 2 ? "" : "x");
    auto hit = model_.find(Upper(n));
    EXPECT_EQ(ChBtLookup(root_, StFromView(n)), hit == model_.end() ? 0 : hit->second);
    ChHandle below, above;
    ChBtBounds(root_, StFromView(n), &below, &above);
    auto up = model_.upper_bound(Upper(n));
    auto low = model_.lower_bound(Upper(n));
    EXPECT_EQ(below, up == model_.begin() ? 0 : std::prev(up)->second) << n;
    EXPECT_EQ(above, low == model_.end() ? 0 : low->second) << n;
  }
}

TEST_F(ChBtTest, DestroyKeepsTheLeavesAndFreesTheRest) {
  uint32_t before = ChPageCount(part_);
  std::vector<ChHandle> leaves;
  for (int i = 0; i < 300; ++i) {
    // Leaves on pages of their own, so that only the tree's pages come back.
    ChHandle leaf = NewChunk(near_, std::to_string(i) + std::string(3000, '.'));
    leaves.push_back(leaf);
  }
  ChBtRegisterCallback(8, {[](ChHandle leaf) {
                             std::string s = ChunkBytes(leaf);
                             return StFromView(s.substr(0, s.find('.')));
                           },
                           [](const St& key, const St& str) {
                             return StCompare(key, str, StLiteral);
                           }});
  uint32_t withLeaves = ChPageCount(part_);
  ChHandle root = ChBtCreate(near_, 8);
  for (ChHandle leaf : leaves) ASSERT_TRUE(ChBtAdd(root, leaf));
  EXPECT_EQ(ChBtLookup(root, StFromView("123")), leaves[123]);
  EXPECT_GT(ChPageCount(part_), withLeaves);
  ChBtDestroy(root);
  EXPECT_EQ(ChPageCount(part_), withLeaves);
  for (ChHandle leaf : leaves) EXPECT_TRUE(ChIsLegal(leaf));
  EXPECT_GT(withLeaves, before);
}

TEST_F(ChBtTest, MisuseHaltsWithTheFunctionsName) {
  EXPECT_EQ(quiltest::HaltText([&] { (void)ChBtCreate(near_, 99); }),
            "assert:ChBtCreate--callback");
  EXPECT_EQ(quiltest::HaltText([&] { ChBtRegisterCallback(256, {}); }),
            "assert:ChBtRegisterCallback--id");
  ChHandle notRoot = Leaf("x");
  EXPECT_EQ(quiltest::HaltText([&] { (void)ChBtLookup(notRoot, StFromView("x")); }),
            "assert:ChBtLookup--root");
}

TEST_F(ChBtTest, ASavedTreeIsFoundAgainByANewProcess) {
  std::mt19937 rng(4);
  for (int i = 0; i < 1500; ++i) Add("Name" + std::to_string(rng() % 100000));
  ChSetRoot(part_, root_);
  std::string names;
  for (const auto& [name, leaf] : model_) names += name + "\n";
  SaveAndClose();
  storetest::WriteFileBytes("names.txt", names);
  bttest::RunHelperInNewProcess(dir_, "ChBtHelper.VerifyNamesInNewProcess");
}

// Run in a new process by the test above.
class ChBtHelper : public liststest::ReopenedFile {};

TEST_F(ChBtHelper, VerifyNamesInNewProcess) {
  RegisterNames();
  ChHandle root = Root();
  std::string report;
  ASSERT_TRUE(ChBtValidate(root, &report)) << report;
  std::string names = storetest::ReadFileBytes("names.txt");
  size_t count = 0;
  for (size_t at = 0; at < names.size(); ++count) {
    size_t eol = names.find('\n', at);
    std::string name = names.substr(at, eol - at);
    ChHandle leaf = ChBtLookup(root, StFromView(name));
    ASSERT_NE(leaf, 0u) << name;
    EXPECT_EQ(Upper(std::string(static_cast<const char*>(ChDeref(leaf)), ChSize(leaf))), name);
    at = eol + 1;
  }
  EXPECT_EQ(ChBtCount(root), count);
}

}  // namespace
