// The integer kinds and BtmDb: node sizes and split points of every kind,
// unsigned key order and ties, Set replacing or inserting, BtmDb's signed
// order, its one entry per pair of keys and its field setters; an insert
// or removal that the store raises out of leaves the tree as it was.
#include <functional>
#include <random>
#include <set>

#include "Ex.h"
#include "bt_test_util.h"
#include "halt_text.h"

using namespace quil;
using storetest::Le32At;

namespace {

using BtIntTest = bttest::BtTest;

struct KindShape {
  const char* name;
  std::function<ChHandle(ChHandle)> create;
  std::function<bool(ChHandle, uint32_t)> insert;  // entry number i
  uint32_t max;
  uint32_t nodeBytes;
  uint16_t headType, nodeType;
};

TEST_F(BtIntTest, EveryKindFillsOneNodeThenSplitsHalfOneHalf) {
  std::vector<KindShape> kinds = {
      {"BtDb", BtDbCreate,
       [](ChHandle t, uint32_t i) {
         char b[16];
         snprintf(b, sizeof b, "k%05u", i);
         return BtDbInsert(t, StCStrXfm(b), 0, 0);
       },
       62, 3984, 626, 627},
      {"BtiDb", BtiDbCreate, [](ChHandle t, uint32_t i) { return BtiDbInsert(t, i, 0, 0); },
       200, 4016, 628, 630},
      {"Bti1Db", Bti1DbCreate, [](ChHandle t, uint32_t i) { return Bti1DbInsert(t, i, 0); },
       250, 4016, 634, 635},
      {"BtihDb", BtihDbCreate, [](ChHandle t, uint32_t i) { return BtihDbInsert(t, i, 0); },
       250, 4016, 636, 637},
      {"BtmDb", BtmDbCreate,
       [](ChHandle t, uint32_t i) {
         BtmEntry e;
         e.key1 = int32_t(i) - 50;
         return BtmDbInsert(t, e);
       },
       90, 3976, 631, 632},
  };
  for (const KindShape& k : kinds) {
    SCOPED_TRACE(k.name);
    ChHandle tree = k.create(near_);
    EXPECT_EQ(ChType(tree), k.headType);
    EXPECT_EQ(ChSize(tree), 20u);
    // Reverse order: every insert goes to slot 0 and shifts the rest.
    for (uint32_t i = k.max; i >= 1; --i) ASSERT_TRUE(k.insert(tree, i));
    ChHandle leaf = Le32At(ChunkBytes(tree), 0);
    EXPECT_EQ(ChType(leaf), k.nodeType);
    EXPECT_EQ(ChSize(leaf), k.nodeBytes);
    EXPECT_EQ(Le32At(ChunkBytes(leaf), 0), k.max);
    ASSERT_TRUE(k.insert(tree, 0));
    std::string head = ChunkBytes(tree);
    EXPECT_EQ(Le32At(head, 8), 2u);
    std::string root = ChunkBytes(Le32At(head, 0));
    EXPECT_EQ(Le32At(root, 0), 1u);
    EXPECT_EQ(Le32At(root, 4), k.max + 1);
    uint32_t counts = 4 * (2 + k.max + 1);  // the children's counts
    EXPECT_EQ(Le32At(root, counts), k.max / 2);
    EXPECT_EQ(Le32At(root, counts + 4), k.max / 2);
    EXPECT_EQ(Le32At(ChunkBytes(Le32At(root, 8)), 0), k.max / 2);
    EXPECT_EQ(Le32At(ChunkBytes(Le32At(root, 12)), 0), k.max / 2);
  }
}

TEST_F(BtIntTest, IntegerKeysAreUnsignedAndTiesGoByTheWordsInOrder) {
  ChHandle tree = BtiDbCreate(near_);
  EXPECT_TRUE(BtiDbInsert(tree, 0x80000000u, 1, 1));
  EXPECT_TRUE(BtiDbInsert(tree, 1, 9, 9));
  EXPECT_TRUE(BtiDbInsert(tree, 7, 2, 1));
  EXPECT_TRUE(BtiDbInsert(tree, 7, 1, 5));
  EXPECT_TRUE(BtiDbInsert(tree, 7, 2, 0));
  EXPECT_FALSE(BtiDbInsert(tree, 7, 2, 0));
  std::vector<std::array<uint32_t, 3>> got;
  std::array<uint32_t, 3> e;
  for (uint32_t i = 0; BtiDbIndex(tree, i, &e[0], &e[1], &e[2]); ++i) got.push_back(e);
  EXPECT_EQ(got, (std::vector<std::array<uint32_t, 3>>{
                     {1, 9, 9}, {7, 1, 5}, {7, 2, 0}, {7, 2, 1}, {0x80000000u, 1, 1}}));
  uint32_t w1, w2, pos;
  ASSERT_TRUE(BtiDbLookup(tree, 7, &w1, &w2));
  EXPECT_EQ(w1 * 10 + w2, 15u);
  ASSERT_TRUE(BtiDbLookupLast(tree, 7, &w1, &w2, &pos));
  EXPECT_EQ(w1 * 10 + w2, 21u);
  EXPECT_EQ(pos, 3u);
  ASSERT_TRUE(BtiDbLookupFirst(tree, 7, nullptr, nullptr, &pos));
  EXPECT_EQ(pos, 1u);
  EXPECT_FALSE(BtiDbLookup(tree, 8, &w1, &w2));
  EXPECT_FALSE(BtiDbRemoveExact(tree, 7, 1, 6));
  ASSERT_TRUE(BtiDbRemove(tree, 7, &w1, &w2));  // the first with the key
  EXPECT_EQ(w1 * 10 + w2, 15u);
  EXPECT_TRUE(BtiDbRemoveExact(tree, 7, 2, 1));
  EXPECT_EQ(BtiDbCount(tree), 3u);
  EXPECT_EQ(BtiDbRev(tree), 7u);
  // Keys are kept most significant byte first.
  std::string leaf = ChunkBytes(Le32At(ChunkBytes(tree), 0));
  EXPECT_EQ(leaf.substr(3216, 12), std::string("\0\0\0\1\0\0\0\7\x80\0\0\0", 12));
}

TEST_F(BtIntTest, SetChangesAKeysOnlyValueInPlaceAndTheFirstOfSeveral) {
  ChHandle t1 = Bti1DbCreate(near_);
  Bti1DbSet(t1, 5, 50);
  Bti1DbSet(t1, 5, 51);
  EXPECT_EQ(Bti1DbRev(t1), 1u);  // the second changed the entry in place
  ASSERT_TRUE(Bti1DbInsert(t1, 5, 60));
  Bti1DbSet(t1, 5, 70);  // replaces 51, the first: the order must hold
  uint32_t k, v;
  ASSERT_TRUE(Bti1DbIndex(t1, 0, &k, &v));
  EXPECT_EQ(k * 100 + v, 560u);
  ASSERT_TRUE(Bti1DbIndex(t1, 1, &k, &v));
  EXPECT_EQ(k * 100 + v, 570u);
  EXPECT_EQ(Bti1DbCount(t1), 2u);
  ChHandle th = BtihDbCreate(near_);
  BtihDbSet(th, 0xFFFFFFFFu, 0x123);
  BtihDbSet(th, 0xFFFFFFFFu, 0);
  ChHandle h = 1;
  ASSERT_TRUE(BtihDbLookup(th, 0xFFFFFFFFu, &h));
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(BtihDbCount(th), 1u);
}

TEST_F(BtIntTest, MessageIndexOrdersBySignedKeysWithOneEntryPerPair) {
  ChHandle tree = BtmDbCreate(near_);
  auto entry = [](int32_t k1, int32_t k2, uint32_t date) {
    BtmEntry e;
    e.key1 = k1;
    e.key2 = k2;
    e.date = date;
    return e;
  };
  EXPECT_TRUE(BtmDbInsert(tree, entry(3, 0, 1)));
  EXPECT_TRUE(BtmDbInsert(tree, entry(-5, 0, 2)));
  EXPECT_TRUE(BtmDbInsert(tree, entry(3, -1, 3)));
  EXPECT_TRUE(BtmDbInsert(tree, entry(INT32_MIN, 7, 4)));
  EXPECT_FALSE(BtmDbInsert(tree, entry(3, 0, 99)));  // same keys, other fields
  std::vector<uint32_t> dates;
  BtmEntry e;
  for (uint32_t i = 0; BtmDbIndex(tree, i, &e); ++i) dates.push_back(e.date);
  EXPECT_EQ(dates, (std::vector<uint32_t>{4, 2, 3, 1}));
  uint32_t pos;
  ASSERT_TRUE(BtmDbLookupFirst(tree, 3, &e, &pos));
  EXPECT_EQ(e.key2, -1);
  EXPECT_EQ(pos, 2u);
  ASSERT_TRUE(BtmDbLookupLast(tree, 3, &e, &pos));
  EXPECT_EQ(e.key2, 0);
  EXPECT_EQ(pos, 3u);
  EXPECT_FALSE(BtmDbLookupFirst(tree, 4, &e, &pos));
  EXPECT_FALSE(BtmDbRemove(tree, 3, 1));
  EXPECT_TRUE(BtmDbRemove(tree, 3, -1));
  EXPECT_EQ(BtmDbRev(tree), 5u);
}

TEST_F(BtIntTest, MessageFieldSettersChangeOneFieldAndNotTheRevision) {
  ChHandle tree = BtmDbCreate(near_);
  BtmEntry e;
  e.key1 = -2;
  e.key2 = 9;
  e.flags = 123;
  e.uniqueId = 0xABCDEF;
  e.message = NewChunk(near_, "message");
  ASSERT_TRUE(BtmDbInsert(tree, e));
  ChHandle author = NewChunk(near_, "author");
  EXPECT_TRUE(BtmDbSetDate(tree, -2, 9, 20240229, 235959));
  EXPECT_TRUE(BtmDbSetDeleted(tree, -2, 9, true));
  EXPECT_TRUE(BtmDbSetHasMsgId(tree, -2, 9, true));
  EXPECT_TRUE(BtmDbSetArticle(tree, -2, 9, 0x3FFFFFFF));
  EXPECT_TRUE(BtmDbSetUniqueId(tree, -2, 9, 77));
  EXPECT_TRUE(BtmDbSetAuthor(tree, -2, 9, author));
  EXPECT_FALSE(BtmDbSetDate(tree, -2, 8, 1, 1));
  EXPECT_EQ(BtmDbRev(tree), 1u);
  BtmEntry got;
  ASSERT_TRUE(BtmDbLookup(tree, -2, 9, &got));
  BtmEntry want = e;
  want.date = 20240229;
  want.time = 235959;
  want.flags = 0xFFFFFFFFu;
  want.uniqueId = 77;
  want.author = author;
  EXPECT_EQ(got, want);
  EXPECT_TRUE(BtmDbSetDeleted(tree, -2, 9, false));
  EXPECT_TRUE(BtmDbSetArticle(tree, -2, 9, 5));
  ASSERT_TRUE(BtmDbLookup(tree, -2, 9, &got));
  EXPECT_EQ(got.flags, kBtmHasMsgId | 5);
  // The flags word sits at word 634 of the node.
  std::string node = ChunkBytes(Le32At(ChunkBytes(tree), 0));
  EXPECT_EQ(Le32At(node, 4 * 634), kBtmHasMsgId | 5);
  EXPECT_EQ(Le32At(node, 4 * 904), author);
  EXPECT_EQ(quiltest::HaltText([&] { (void)BtmDbSetArticle(tree, -2, 9, 0x40000000); }),
            "assert:BtmDbSetArticle--article");
}

TEST_F(BtIntTest, PackageEntriesFollowThePackageRules) {
  EXPECT_EQ(BtiDbInitRtns(1, kPkgVersion), 0);
  EXPECT_EQ(quiltest::HaltText([] { (void)BtiDbInitRtns(1, kPkgVersion); }),
            "assert:BtiDbInitRtns-- Pkg already init");
  EXPECT_EQ(BtiDbInitRtns(2, 0), 0);
  EXPECT_EQ(quiltest::HaltText([] { (void)BtmDbInitRtns(1, 18); }),
            "assert:BtmDbInitRtns-- Wrong version");
  // The debug flag gates the handle checks.
  EXPECT_EQ(BtInitRtns(3, 0), 0);
  EXPECT_FALSE(BtDebugFlag);
  EXPECT_EQ(BtInitRtns(3, 1), 0);
  EXPECT_TRUE(BtDebugFlag);
}

}  // namespace

namespace {

// A cache of 8 pages under a tree of some 40 nodes: inserts and removes load
// and evict pages, and an eviction whose write to the transient file fails
// raises in the middle of them.
class BtFaultTest : public bttest::BtTest {
 protected:
  uint32_t CachePages() const override { return 8; }
};

TEST_F(BtFaultTest, AnInsertOrRemoveThatRaisesChangesNothing) {
  ChHandle tree = BtiDbCreate(near_);
  std::mt19937 rng(17);
  std::set<uint32_t> model;
  while (model.size() < 6000) {
    uint32_t k = rng() % 100000;
    if (model.insert(k).second) {
      ASSERT_TRUE(BtiDbInsert(tree, k, k, 0));
    }
  }
  int raised = 0;
  for (int n = 1; n <= 400; ++n) {
    uint32_t k = rng() % 100000;
    bool insert = rng() % 2;
    uint32_t rev = BtiDbRev(tree);
    FiFaultFailNth(FiCall::kWrite, 1 + n % 3, kFiStatusDiskFull);
    bool done = false;
    bool finished = ExTry([&] {
      done = insert ? BtiDbInsert(tree, k, k, 0) : BtiDbRemoveExact(tree, k, k, 0);
    });
    FiFaultFailNth(FiCall::kWrite, 0, kFiStatusDiskFull);
    if (!finished) {
      ++raised;
      EXPECT_EQ(ExLastError, kFiStatusDiskFull);
      EXPECT_EQ(BtiDbRev(tree), rev);
    } else if (done && insert) {
      model.insert(k);
    } else if (done) {
      model.erase(k);
    }
    ASSERT_EQ(BtiDbCount(tree), model.size()) << n;
    if (n % 50 == 0) {
      std::string report;
      ASSERT_TRUE(BtiDbValidate(tree, &report)) << report;
    }
  }
  EXPECT_GT(raised, 20);
  uint32_t pos = 0;
  for (uint32_t k : model) {
    uint32_t got;
    ASSERT_TRUE(BtiDbIndex(tree, pos++, &got, nullptr, nullptr));
    ASSERT_EQ(got, k);
  }
  for (auto& cp : ChState.cache) EXPECT_EQ(cp.locks, 0);
}

}  // namespace
