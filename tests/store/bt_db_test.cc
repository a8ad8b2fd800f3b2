// BtDb: the node layout on disk, the 63rd entry's split, key comparison
// (case, 48-byte cut, prefixes), identity and ties, positions, emptying,
// handle checks, iterations and sorting.
#include <algorithm>
#include <random>

#include "bt_test_util.h"
#include "halt_text.h"

using namespace quil;
using storetest::Le32At;

namespace {

class BtDbTest : public bttest::BtTest {
 protected:
  std::vector<std::string> Keys(ChHandle tree) {
    std::vector<std::string> out;
    St key;
    for (uint32_t i = 0; BtDbIndex(tree, i, &key, nullptr, nullptr); ++i) out.push_back(key.Str());
    return out;
  }
  static std::string Name(int i) {
    char b[16];
    snprintf(b, sizeof b, "user%07d", i);
    return b;
  }
};

TEST_F(BtDbTest, SixtyThirdEntrySplitsTheLeafIntoHalvesUnderANewRoot) {
  ChHandle tree = BtDbCreate(near_);
  std::vector<int> order(63);
  for (int i = 0; i < 63; ++i) order[size_t(i)] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  for (int i = 0; i < 62; ++i) ASSERT_TRUE(BtDbInsert(tree, StFromView(Name(order[size_t(i)])), 0, 0));
  std::string head = ChunkBytes(tree);
  EXPECT_EQ(Le32At(head, 8), 1u);  // height
  ChHandle leaf = Le32At(head, 0);
  EXPECT_EQ(Le32At(ChunkBytes(leaf), 0), 62u);

  ASSERT_TRUE(BtDbInsert(tree, StFromView(Name(order[62])), 0, 0));
  head = ChunkBytes(tree);
  ChHandle root = Le32At(head, 0);
  EXPECT_NE(root, leaf);
  EXPECT_EQ(Le32At(head, 4), 63u);  // revision
  EXPECT_EQ(Le32At(head, 8), 2u);   // height
  EXPECT_EQ(BtDbCount(tree), 63u);
  std::string r = ChunkBytes(root);
  ASSERT_EQ(r.size(), 3984u);
  EXPECT_EQ(Le32At(r, 0), 1u);   // one entry
  EXPECT_EQ(Le32At(r, 4), 63u);  // subtree count
  EXPECT_EQ(r.substr(1008, 11), Name(31));
  EXPECT_EQ(Le32At(r, 4 * 2), leaf);  // the old root is child 0
  EXPECT_EQ(Le32At(r, 4 * 65), 31u);
  EXPECT_EQ(Le32At(r, 4 * 66), 31u);
  std::string left = ChunkBytes(Le32At(r, 8)), right = ChunkBytes(Le32At(r, 12));
  EXPECT_EQ(Le32At(left, 0), 31u);
  EXPECT_EQ(Le32At(right, 0), 31u);
  EXPECT_EQ(left.substr(1008 + 30 * 48, 11), Name(30));
  EXPECT_EQ(right.substr(1008, 11), Name(32));
  // The vacated slots of the left half are zero.
  EXPECT_EQ(left.substr(1008 + 31 * 48), std::string(31 * 48, '\0'));
  // Positions: 0 is the smallest, the count is past the end.
  St key;
  ASSERT_TRUE(BtDbIndex(tree, 0, &key, nullptr, nullptr));
  EXPECT_EQ(key.Str(), Name(0));
  ASSERT_TRUE(BtDbIndex(tree, 31, &key, nullptr, nullptr));  // the root's entry
  EXPECT_EQ(key.Str(), Name(31));
  EXPECT_FALSE(BtDbIndex(tree, 63, &key, nullptr, nullptr));
  EXPECT_EQ(BtDbGetRec(tree, 63), 0u);
  EXPECT_FALSE(BtDbEntryIsLegal(tree, 5));  // handle 0 is no chunk
  std::string report;
  EXPECT_TRUE(BtDbValidate(tree, &report)) << report;
}

TEST_F(BtDbTest, HeaderAndNodeAreWrittenToTheFileByteForByte) {
  ChHandle tree = BtDbCreate(near_);
  ChHandle rec = NewChunk(near_, "record");
  ASSERT_TRUE(BtDbInsert(tree, StFromView("Beta"), rec, 7));
  ASSERT_TRUE(BtDbInsert(tree, StFromView("alpha"), 0x2A, 0xFFFFFFFF));
  BtDbSetAppHnd(tree, rec);
  BtDbSetAppHnd2(tree, 0);
  EXPECT_EQ(BtDbAppHnd(tree), rec);
  EXPECT_EQ(BtDbAppHnd2(tree), 0u);
  ChHandle node = Le32At(ChunkBytes(tree), 0);
  auto pos = [](ChHandle h) { return 593920 + size_t(ChPageOf(h)) * 4096 + ChOffsetOf(h); };
  size_t treeAt = pos(tree), nodeAt = pos(node);
  uint32_t recFile = ChHandleToFile(rec), nodeFile = ChHandleToFile(node);
  SaveAndClose();
  std::string file = storetest::ReadFileBytes("quil.db");

  // Block headers (big-endian, like all structure): length + 8, the type.
  auto be16 = [&](size_t at) { return LdBe16(reinterpret_cast<const uint8_t*>(file.data()) + at); };
  EXPECT_EQ(be16(treeAt + 2), 28);
  EXPECT_EQ(be16(treeAt + 4), 626);
  EXPECT_EQ(be16(nodeAt + 2), 3992);
  EXPECT_EQ(be16(nodeAt + 4), 627);
  // Chunk data in the writer's order (little-endian here).  Header: root,
  // revision, height, application handles (file form).
  std::string h = file.substr(treeAt + 8, 20);
  EXPECT_EQ(Le32At(h, 0), nodeFile);
  EXPECT_EQ(Le32At(h, 4), 2u);  // the application handles are no revision
  EXPECT_EQ(Le32At(h, 8), 1u);
  EXPECT_EQ(Le32At(h, 12), recFile);
  EXPECT_EQ(Le32At(h, 16), 0u);
  // Node: n, count, no children, handles at word 128, words at 190, keys at
  // 1,008, everything else zero.
  std::string n = file.substr(nodeAt + 8, 3984);
  std::string expect(3984, '\0');
  auto put = [&](size_t at, uint32_t v) { memcpy(expect.data() + at, &v, 4); };
  put(0, 2);
  put(4, 2);
  put(4 * 128, 0x2A);  // below 256: stored unchanged
  put(4 * 129, recFile);
  put(4 * 190, 0xFFFFFFFF);
  put(4 * 191, 7);
  memcpy(expect.data() + 1008, "alpha", 5);
  memcpy(expect.data() + 1008 + 48, "Beta", 4);
  EXPECT_EQ(n, expect);
}

TEST_F(BtDbTest, TheIdenticalEntryIsRefusedAndTiesGoByHandleThenWord) {
  ChHandle tree = BtDbCreate(near_);
  EXPECT_TRUE(BtDbInsert(tree, StFromView("Smith"), 20, 1));
  EXPECT_FALSE(BtDbInsert(tree, StFromView("Smith"), 20, 1));
  EXPECT_FALSE(BtDbInsert(tree, StFromView("SMITH"), 20, 1));  // the same key
  EXPECT_TRUE(BtDbInsert(tree, StFromView("smith"), 10, 5));
  EXPECT_TRUE(BtDbInsert(tree, StFromView("SMITH"), 20, 0));
  EXPECT_EQ(BtDbCount(tree), 3u);
  EXPECT_EQ(BtDbRev(tree), 3u);
  std::vector<std::pair<ChHandle, uint32_t>> got;
  for (uint32_t i = 0; i < 3; ++i) {
    ChHandle h;
    uint32_t w;
    ASSERT_TRUE(BtDbIndex(tree, i, nullptr, &h, &w));
    got.emplace_back(h, w);
  }
  EXPECT_EQ(got, (std::vector<std::pair<ChHandle, uint32_t>>{{10, 5}, {20, 0}, {20, 1}}));
  EXPECT_FALSE(BtDbRemove(tree, StFromView("Smith"), 20, 2));
  EXPECT_EQ(BtDbRev(tree), 3u);
  EXPECT_TRUE(BtDbValidateEntry(tree, StFromView("SMITH"), 20, 1));
  EXPECT_TRUE(BtDbRemove(tree, StFromView("SMITH"), 20, 1));
  EXPECT_FALSE(BtDbValidateEntry(tree, StFromView("Smith"), 20, 1));
  EXPECT_EQ(BtDbRev(tree), 4u);
}

TEST_F(BtDbTest, KeysCompareWithoutCaseAndPrefixesFindEveryMatch) {
  ChHandle tree = BtDbCreate(near_);
  for (const char* k : {"Smyth", "smithson", "SMITH", "Smith", "Adams", "Sn"})
    ASSERT_TRUE(BtDbInsert(tree, StCStrXfm(k), ChHandle(k[1]), 0));
  EXPECT_EQ(Keys(tree),
            (std::vector<std::string>{"Adams", "SMITH", "Smith", "smithson", "Smyth", "Sn"}));
  uint32_t first, last;
  ASSERT_TRUE(BtDbLookupFirstIx(tree, StFromView("sm"), &first));
  ASSERT_TRUE(BtDbLookupLastIx(tree, StFromView("sm"), &last));
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(last, 4u);
  ASSERT_TRUE(BtDbLookupLastIx(tree, StFromView("sMiTh"), &last));
  EXPECT_EQ(last, 3u);
  ChHandle h;
  ASSERT_TRUE(BtDbLookupLast(tree, StFromView("SMITH"), &h, nullptr));
  EXPECT_EQ(h, ChHandle('m'));
  EXPECT_EQ(BtDbGetActual(tree, StFromView("smiths")).Str(), "smithson");
  EXPECT_FALSE(BtDbLookupFirst(tree, StFromView("smz"), &h, nullptr));
  EXPECT_FALSE(BtDbLookupFirstIx(tree, StFromView("b"), &first));
  EXPECT_TRUE(BtDbGetActual(tree, StFromView("zz")).IsNil());
  // The empty prefix matches everything.
  ASSERT_TRUE(BtDbLookupLastIx(tree, StCreate(), &last));
  EXPECT_EQ(last, 5u);
}

TEST_F(BtDbTest, AnyBytesSortAsTheirAsciiUpperCaseBytes) {
  // Every byte value but 0 (a key ends at its first zero byte), near the
  // letters' edges most of all ('`', '{', '@', '[', and the Latin-1 letters,
  // which keep their case).
  std::mt19937 rng(9);
  const std::string edges = "`az{@AZ[\xe1\xc1\x80\xff\x01";
  ChHandle tree = BtDbCreate(near_);
  std::vector<std::string> ups;
  for (int i = 0; i < 3000; ++i) {
    std::string key(1 + rng() % 60, '\0');
    for (char& c : key) c = char(rng() % 3 ? edges[rng() % edges.size()] : char(1 + rng() % 255));
    std::string up = key.substr(0, 48);
    for (char& c : up) c = char(StASCIIUpper[uint8_t(c)]);
    up.resize(48, '\0');
    if (BtDbInsert(tree, StFromView(key), 0, 0)) ups.push_back(up);
  }
  std::sort(ups.begin(), ups.end());
  EXPECT_EQ(std::unique(ups.begin(), ups.end()), ups.end());
  for (size_t i = 0; i < ups.size(); ++i) {
    St key;
    ASSERT_TRUE(BtDbIndex(tree, uint32_t(i), &key, nullptr, nullptr));
    std::string up = key.Str();
    for (char& c : up) c = char(StASCIIUpper[uint8_t(c)]);
    up.resize(48, '\0');
    ASSERT_EQ(up, ups[i]) << i;
  }
}

TEST_F(BtDbTest, KeysLongerThan48BytesCompareOnTheirFirst48) {
  ChHandle tree = BtDbCreate(near_);
  std::string base(48, 'k');
  EXPECT_TRUE(BtDbInsert(tree, StFromView(base + "first"), 1, 1));
  EXPECT_FALSE(BtDbInsert(tree, StFromView(base + "second"), 1, 1));
  EXPECT_TRUE(BtDbInsert(tree, StFromView(std::string(47, 'k')), 1, 1));
  St key;
  ASSERT_TRUE(BtDbIndex(tree, 1, &key, nullptr, nullptr));
  EXPECT_EQ(key.Str(), base);
  uint32_t pos;
  ASSERT_TRUE(BtDbLookupFirstIx(tree, StFromView(base + "anything"), &pos));
  EXPECT_EQ(pos, 1u);
  EXPECT_TRUE(BtDbRemove(tree, StFromView(base + "third"), 1, 1));
  EXPECT_EQ(BtDbCount(tree), 1u);
}

TEST_F(BtDbTest, RemovingEverythingLeavesRootZeroAndCountsEveryRevision) {
  ChHandle tree = BtDbCreate(near_);
  std::mt19937 rng(5);
  std::vector<int> ids(4000);
  for (int i = 0; i < 4000; ++i) ids[size_t(i)] = i;
  std::shuffle(ids.begin(), ids.end(), rng);
  for (int i : ids) ASSERT_TRUE(BtDbInsert(tree, StFromView(Name(i)), 0, uint32_t(i)));
  EXPECT_EQ(Le32At(ChunkBytes(tree), 8), 3u);
  uint32_t pagesFull = ChPageCount(part_);
  std::shuffle(ids.begin(), ids.end(), rng);
  for (size_t n = 0; n < ids.size(); ++n) {
    ASSERT_TRUE(BtDbRemove(tree, StFromView(Name(ids[n])), 0, uint32_t(ids[n])));
    if (n % 500 == 0) {
      std::string report;
      ASSERT_TRUE(BtDbValidate(tree, &report)) << report;
    }
  }
  std::string head = ChunkBytes(tree);
  EXPECT_EQ(Le32At(head, 0), 0u);
  EXPECT_EQ(Le32At(head, 8), 0u);
  EXPECT_EQ(BtDbCount(tree), 0u);
  EXPECT_EQ(BtDbRev(tree), 8000u);
  EXPECT_FALSE(BtDbRemove(tree, StFromView(Name(1)), 0, 1));
  EXPECT_EQ(BtDbRev(tree), 8000u);
  // The nodes were destroyed: their pages went back.
  EXPECT_LT(ChPageCount(part_), pagesFull / 10);
  std::string report;
  EXPECT_TRUE(BtDbValidate(tree, &report)) << report;
  EXPECT_TRUE(BtDbInsert(tree, StFromView("again"), 0, 0));
  EXPECT_EQ(Le32At(ChunkBytes(tree), 8), 1u);
}

TEST_F(BtDbTest, DestroyFreesEveryNode) {
  uint32_t before = ChPageCount(part_);
  ChHandle tree = BtDbCreate(near_);
  for (int i = 0; i < 3000; ++i) ASSERT_TRUE(BtDbInsert(tree, StFromView(Name(i)), 0, 0));
  EXPECT_GT(ChPageCount(part_), before + 40);
  BtDbDestroy(tree);
  EXPECT_EQ(ChPageCount(part_), before);
}

TEST_F(BtDbTest, HandlesOfAnotherKindHaltWithTheFunctionsName) {
  ChHandle bti = BtiDbCreate(near_);
  ChHandle db = BtDbCreate(near_);
  EXPECT_EQ(quiltest::HaltText([&] { (void)BtDbIndex(bti, 0, nullptr, nullptr, nullptr); }),
            "assert:BtDbIndex--DbH");
  EXPECT_EQ(quiltest::HaltText([&] { (void)BtDbInsert(bti, StFromView("x"), 0, 0); }),
            "assert:BtDbInsert--DbH");
  EXPECT_EQ(quiltest::HaltText([&] { (void)BtiDbInsert(db, 1, 0, 0); }),
            "assert:BtiDbInsert--DbH");
  EXPECT_EQ(quiltest::HaltText([&] { (void)BtmDbCount(db); }), "assert:BtmDbCount--DbH");
  // A header whose root names a chunk of another type.
  ASSERT_TRUE(BtDbInsert(db, StFromView("x"), 0, 0));
  {
    ChLocked head(db);
    St32(head.Data(), bti);
    head.MarkModified();
  }
  EXPECT_EQ(quiltest::HaltText([&] { (void)BtDbCount(db); }), "assert:BtDbCount--node");
}

TEST_F(BtDbTest, SortRecsOrdersLikeTheTreeAndByNameFollowsIt) {
  std::vector<ChHandle> recs = {5, 3, 9, 1, 7};
  std::map<ChHandle, std::string> names = {
      {5, "delta"}, {3, "Alpha"}, {9, "charlie"}, {1, "BRAVO"}, {7, "alpha"}};
  BtDbSortRecs(recs, [&](ChHandle h) { return StFromView(names[h]); });
  EXPECT_EQ(recs, (std::vector<ChHandle>{3, 7, 1, 9, 5}));

  ChHandle tree = BtDbCreate(near_);
  for (const auto& [h, name] : names) ASSERT_TRUE(BtDbInsert(tree, StFromView(name), h, 0));
  std::vector<ChHandle> some = {42, 9, 5, 43, 1};
  BtDbSortRecsByName(tree, some);
  EXPECT_EQ(some, (std::vector<ChHandle>{1, 9, 5, 42, 43}));
}

// ---------------------------------------------------------------------------
// Iterations.

class BtDbIterTest : public BtDbTest {
 protected:
  void SetUp() override {
    BtDbTest::SetUp();
    tree_ = BtDbCreate(near_);
    // 26 keys "a" to "z", the word is the letter's parity.
    for (char c = 'a'; c <= 'z'; ++c)
      ASSERT_TRUE(BtDbInsert(tree_, StFromView(std::string(1, c)), ChHandle(c), uint32_t(c % 2)));
  }
  static std::string Walk(BtDbIter** iters, int count) {
    std::string out;
    St key;
    while (BtDbNextCommon(iters, count, &key, nullptr, nullptr)) out += key.Str();
    return out;
  }
  static std::string Walk(BtDbIter& it) {
    BtDbIter* one = &it;
    return Walk(&one, 1);
  }
  ChHandle tree_ = 0;
};

TEST_F(BtDbIterTest, SingleRangesForwardAndBack) {
  BtDbIter it;
  BtDbStartFirst(it, tree_, 1, StFromView("W"), true);
  EXPECT_EQ(BtDbIterMaxCount(it), 4u);
  EXPECT_TRUE(BtDbIterIsFirst(it));
  EXPECT_EQ(BtDbIterId(it), 1);
  EXPECT_EQ(Walk(it), "wxyz");
  EXPECT_FALSE(BtDbNextRec(it, nullptr, nullptr, nullptr));
  BtDbStartFirst(it, tree_, 1, StFromView("w"), false);
  EXPECT_EQ(Walk(it), "xyz");
  BtDbStartLast(it, tree_, 2, StFromView("d"), true);
  EXPECT_TRUE(BtDbIterIsLast(it));
  EXPECT_EQ(Walk(it), "dcba");
  BtDbStartLast(it, tree_, 2, StFromView("d"), false);
  EXPECT_EQ(Walk(it), "cba");
  BtDbStartLast(it, tree_, 2, StFromView("0"), true);
  EXPECT_EQ(BtDbIterMaxCount(it), 0u);
  EXPECT_EQ(Walk(it), "");
  BtDbStartForum(it, tree_, 3, 1);
  EXPECT_EQ(Walk(it), "acegikmoqsuwy");
  St key;
  ASSERT_TRUE(BtDbFirstRec(it, &key, nullptr, nullptr));
  EXPECT_EQ(key.Str(), "a");
  BtDbStop(it);
  EXPECT_FALSE(BtDbNextRec(it, nullptr, nullptr, nullptr));
}

TEST_F(BtDbIterTest, CommonWalkCoversWhatEveryIterationCovers) {
  BtDbIter first, last, forum, name;
  BtDbStartFirst(first, tree_, 1, StFromView("f"), true);
  BtDbStartLast(last, tree_, 2, StFromView("m"), false);
  BtDbStartForum(forum, tree_, 3, 0);
  BtDbIter* two[] = {&first, &last};
  EXPECT_EQ(Walk(two, 2), "fghijkl");
  BtDbStartFirst(first, tree_, 1, StFromView("f"), true);
  BtDbStartLast(last, tree_, 2, StFromView("m"), false);
  BtDbIter* back[] = {&last, &first, &forum};
  EXPECT_EQ(Walk(back, 3), "ljhf");

  // Prefix ranges: names in a tree of e-mail addresses.
  ChHandle mail = BtDbCreate(near_);
  for (const char* a : {"ann@x.org", "bob@y.org", "bobby@z.org", "Bob@q.org", "carl@x.org"})
    ASSERT_TRUE(BtDbInsert(mail, StCStrXfm(a), 1, 0));
  BtDbStartEmailName(name, mail, 4, StFromView("bob@"));
  EXPECT_TRUE(BtDbIterIsEmailName(name));
  EXPECT_EQ(BtDbIterMaxCount(name), 2u);
  St key;
  ASSERT_TRUE(BtDbNextRec(name, &key, nullptr, nullptr));
  EXPECT_EQ(key.Str(), "Bob@q.org");
  ASSERT_TRUE(BtDbNextRec(name, &key, nullptr, nullptr));
  EXPECT_EQ(key.Str(), "bob@y.org");
  EXPECT_FALSE(BtDbNextRec(name, &key, nullptr, nullptr));

  BtDbStartFirst(first, tree_, 1, StFromView("a"), true);
  BtDbIter* mixed[] = {&first, &name};
  EXPECT_EQ(quiltest::HaltText([&] { (void)BtDbNextCommon(mixed, 2, nullptr, nullptr, nullptr); }),
            "assert:BtDbNextCommon--different trees");
}

TEST_F(BtDbIterTest, TheWalkGoesOnAfterItsLastEntryWhenTheTreeChanges) {
  BtDbIter it;
  BtDbStartFirst(it, tree_, 1, StFromView("c"), true);
  std::string out;
  St key;
  ChHandle h;
  uint32_t w;
  while (BtDbNextRec(it, &key, &h, &w)) {
    out += key.Str();
    // Take out what was returned and the entry after the next; put in a
    // key before the walk's place and one ahead of it.
    ASSERT_TRUE(BtDbRemove(tree_, key, h, w));
    char c = key.Str()[0];
    if (c + 2 <= 'z')
      (void)BtDbRemove(tree_, StFromView(std::string(1, char(c + 2))), ChHandle(c + 2),
                       uint32_t((c + 2) % 2));
    if (c == 'g') {
      ASSERT_TRUE(BtDbInsert(tree_, StFromView("b2"), 0, 0));
      ASSERT_TRUE(BtDbInsert(tree_, StFromView("k2"), 0, 0));
    }
  }
  EXPECT_EQ(out, "cdghkk2lopstwx");
  BtDbStartLast(it, tree_, 1, StFromView("z"), true);
  out.clear();
  while (BtDbNextRec(it, &key, &h, &w)) {
    out += key.Str();
    ASSERT_TRUE(BtDbRemove(tree_, key, h, w));
  }
  EXPECT_EQ(out, "b2ba");
  EXPECT_EQ(BtDbCount(tree_), 0u);
}

}  // namespace
