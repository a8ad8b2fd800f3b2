// Hash tables: bucket placement and walk order, keyword and integer tables
// against std models, repeated keys, iterations, statistics, the package
// entry and the consistency checks.
#include "Ha.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "halt_text.h"

using namespace quil;
using quiltest::HaltText;

namespace {

struct StatsSnapshot {
  int64_t tables = HaStats.tables, entries = HaStats.entries,
          iterations = HaStats.iterations, strings = StrStats,
          nodes = ListStats.nodes;
  void ExpectUnchanged() const {
    EXPECT_EQ(HaStats.tables, tables);
    EXPECT_EQ(HaStats.entries, entries);
    EXPECT_EQ(HaStats.iterations, iterations);
    EXPECT_EQ(StrStats, strings);
    EXPECT_EQ(ListStats.nodes, nodes);
  }
};

std::vector<int32_t> WalkKeys(KiHash& table) {
  std::vector<int32_t> keys;
  auto iter = HaStart(table);
  KiEntry* e;
  while (HaNext(iter, &e)) keys.push_back(e->key);
  HaStop(iter);
  return keys;
}

// A table that allows repeated keys, with a payload to tell them apart.
struct Tagged {
  int32_t key = 0;
  std::string payload;
};
struct TaggedTraits {
  using Key = int32_t;
  uint32_t Hash(int32_t k) const { return uint32_t(k); }
  bool Equal(int32_t a, int32_t b) const { return a == b; }
  int32_t GetKey(const Tagged& t) const { return t.key; }
};
using TaggedTable = Ha<Tagged, TaggedTraits>;

TEST(KwHash, KeyHashUsesLastEightBytesUpperCased) {
  EXPECT_EQ(KwKeyHash(""), 0u);
  EXPECT_EQ(KwKeyHash("ab"), 192u);  // 'A' = 65, then 'B' ^ 130
  EXPECT_EQ(KwKeyHash("AB"), 192u);
  EXPECT_EQ(KwKeyHash("abcdefghij"), KwKeyHash("xxcdefghij"));
  EXPECT_EQ(KwKeyHash("abcdefghij"), KwKeyHash("CDEFGHIJ"));
  EXPECT_EQ(KwKeyHash("abcdefghi"), KwKeyHash("xbcdefghi"));
  EXPECT_NE(KwKeyHash("abcdefgh"), KwKeyHash("xbcdefgh"));  // 'A' odd, 'X' even
  EXPECT_LT(KwKeyHash("\xff\xff\xff\xff\xff\xff\xff\xff"), 256u);
}

TEST(KwHash, CaseRuleOfEachKindOfTable) {
  StatsSnapshot before;
  {
    KwHash anyCase = KwHashCreate();
    KwHash exact = KwHashCreateCase();
    EXPECT_EQ(anyCase.BucketCount(), 64);
    KwHashAdd(anyCase, StCStrXfm("COLOR"), 5);
    KwHashAdd(exact, StCStrXfm("COLOR"), 5);
    int32_t v = -1;
    EXPECT_TRUE(KwHashLookup(anyCase, "Color", &v));
    EXPECT_EQ(v, 5);
    EXPECT_FALSE(KwHashLookup(exact, "Color", &v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(KwHashLookupNc(exact, StCStrXfm("color"), &v));
    EXPECT_EQ(v, 5);
    KwHashAdd(exact, StCStrXfm("Color"), 6);  // another keyword here
    EXPECT_TRUE(KwHashLookup(exact, StCStrXfm("Color"), &v));
    EXPECT_EQ(v, 6);
    EXPECT_TRUE(KwHashRemove(anyCase, "color"));
    EXPECT_FALSE(KwHashRemove(anyCase, "color"));
    EXPECT_EQ(HaCount(anyCase), 0);
  }
  before.ExpectUnchanged();
}

TEST(KwHash, SameHashKeywordsAreToldApartByCompare) {
  KwHash table = KwHashCreate();
  KwHashAdd(table, StCStrXfm("abcdefghij"), 1);
  KwHashAdd(table, StCStrXfm("xxcdefghij"), 2);
  int32_t bucket = table.BucketOf(KwKeyHash("abcdefghij"));
  EXPECT_EQ(LiCount(table.Bucket(bucket)), 2);
  int32_t v;
  EXPECT_TRUE(KwHashLookup(table, "XXCDEFGHIJ", &v));
  EXPECT_EQ(v, 2);
  EXPECT_TRUE(KwHashLookup(table, "abcdefghij", &v));
  EXPECT_EQ(v, 1);
  EXPECT_FALSE(KwHashLookup(table, "yycdefghij", &v));
}

TEST(KwHash, AddingPresentKeywordHalts) {
  EXPECT_EQ(HaltText([] {
              KwHash table = KwHashCreate();
              KwHashAdd(table, StCStrXfm("Name"), 1);
              KwHashAdd(table, StCStrXfm("NAME"), 2);
            }),
            "halt:KwHashAdd--Kw already present");
}

TEST(KwHash, WalkGivesKeywordsAndValues) {
  KwHash table = KwHashCreateCount(1);
  for (const char* k : {"if", "else", "endif"})
    KwHashAdd(table, StCStrXfm(k), int32_t(strlen(k)));
  auto iter = KwHashStart(table);
  St keyword;
  int32_t value;
  std::vector<std::string> seen;
  while (KwHashNext(iter, &keyword, &value)) {
    EXPECT_EQ(value, keyword.Length());
    seen.push_back(keyword.Str());
  }
  EXPECT_TRUE(keyword.IsNil());
  EXPECT_EQ(seen, (std::vector<std::string>{"if", "else", "endif"}));
}

// Random adds, removes and look-ups against a map of upper-cased keys.
TEST(KwHash, RandomOperationsMatchModel) {
  StatsSnapshot before;
  std::mt19937 rng(2024);
  const char* letters = "aAbBcC";
  {
    KwHash table = KwHashCreate();
    std::map<std::string, int32_t> model;
    for (int step = 0; step < 5000; ++step) {
      std::string key;
      for (size_t i = 0, n = rng() % 11; i < n; ++i) key += letters[rng() % 6];
      std::string upper = key;
      for (char& c : upper) c = char(StASCIIUpper[uint8_t(c)]);
      int32_t v = -1;
      bool present = model.count(upper) > 0;
      switch (rng() % 3) {
        case 0:
          if (!present) {
            KwHashAdd(table, StFromView(key), step);
            model[upper] = step;
          }
          break;
        case 1:
          EXPECT_EQ(KwHashRemove(table, key), present);
          model.erase(upper);
          break;
        case 2:
          EXPECT_EQ(KwHashLookup(table, key, &v), present);
          EXPECT_EQ(v, present ? model[upper] : 0);
          break;
      }
      ASSERT_EQ(HaCount(table), int32_t(model.size()));
    }
  }
  before.ExpectUnchanged();
}

TEST(KiHash, WalkIsBucketOrderThenInsertionOrder) {
  KiHash table = KiHashCreateCount(4);
  for (int32_t k : {5, 1, 9, 2, 6, -1, 4}) KiHashAdd(table, k, k * 10);
  // Buckets: 0 {4}, 1 {5, 1, 9}, 2 {2, 6}, 3 {-1}: -1 & 0x7FFFFFFF is odd.
  EXPECT_EQ(WalkKeys(table), (std::vector<int32_t>{4, 5, 1, 9, 2, 6, -1}));
  int32_t v;
  EXPECT_TRUE(KiHashLookup(table, -1, &v));
  EXPECT_EQ(v, -10);
  EXPECT_TRUE(KiHashRemove(table, 1));
  EXPECT_EQ(WalkKeys(table), (std::vector<int32_t>{4, 5, 9, 2, 6, -1}));
  EXPECT_EQ(KiHashCreate().BucketCount(), 64);
}

TEST(HaGeneric, RepeatedKeysLookUpInInsertionOrder) {
  StatsSnapshot before;
  {
    TaggedTable table = HaCreate<Tagged, TaggedTraits>(3);
    HaInsert(table, Tagged{4, "first"});
    HaInsert(table, Tagged{7, "other"});  // same bucket as 4
    HaInsert(table, Tagged{4, "second"});
    Tagged* found = nullptr;
    ASSERT_TRUE(HaLookup(table, 4, &found));
    EXPECT_EQ(found->payload, "first");
    const TaggedTable& view = table;
    const Tagged* constFound = nullptr;
    EXPECT_FALSE(HaLookup(view, 5, &constFound));
    EXPECT_EQ(constFound, nullptr);

    std::vector<std::string> all;
    {
      auto iter = HaLookupStart(table, 4);
      EXPECT_EQ(table.Iterations(), 1);
      while (HaLookupNext(iter, &found)) all.push_back(found->payload);
      HaLookupStop(iter);
    }
    EXPECT_EQ(all, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(table.Iterations(), 0);

    Tagged removed;
    EXPECT_TRUE(HaRemove(table, 4, &removed));
    EXPECT_EQ(removed.payload, "first");
    ASSERT_TRUE(HaLookup(table, 4, &found));
    EXPECT_EQ(found->payload, "second");
    EXPECT_EQ(HaCount(table), 2);
    HaDestroy(table);
    EXPECT_FALSE(table.IsLive());
    EXPECT_EQ(HaStats.tables, before.tables);
  }
  before.ExpectUnchanged();
}

TEST(HaGeneric, RemovingTheCurrentEntryDuringAWalk) {
  KiHash table = KiHashCreateCount(2);
  for (int32_t k = 0; k < 10; ++k) KiHashAdd(table, k, k);
  {
    auto iter = HaStart(table);
    KiEntry* e;
    int visited = 0;
    while (HaNext(iter, &e)) {
      ++visited;
      if (e->key % 3 == 0) {
        EXPECT_TRUE(KiHashRemove(table, e->key));
      }
    }
    EXPECT_EQ(visited, 10);
  }
  EXPECT_EQ(WalkKeys(table), (std::vector<int32_t>{2, 4, 8, 1, 5, 7}));
}

TEST(HaChecks, InsertWhileIteratingHalts) {
  EXPECT_EQ(HaltText([] {
              KiHash table = KiHashCreate();
              auto iter = HaStart(table);
              KiHashAdd(table, 1, 1);
            }),
            "assert:HaInsert-- cannot insert while iterating.");
  EXPECT_EQ(HaltText([] {
              KiHash table = KiHashCreate();
              auto iter = HaLookupStart(table, 1);
              HaInsert(table, KiEntry{1, 1});
            }),
            "assert:HaInsert-- cannot insert while iterating.");
}

TEST(HaChecks, TableWithoutTagHalts) {
  EXPECT_EQ(HaltText([] {
              KiHash table = KiHashCreate();
              KiHash moved = std::move(table);
              HaInsert(table, KiEntry{1, 1});
            }),
            "assert:HaInsert-- HaPtr");
  EXPECT_EQ(HaltText([] {
              KiHash table = KiHashCreate();
              HaDestroy(table);
              int32_t v;
              (void)KiHashLookup(table, 1, &v);
            }),
            "assert:HaLookup-- HaPtr");
  EXPECT_EQ(HaltText([] {
              KiHash never;
              auto iter = HaStart(never);
            }),
            "assert:HaStart-- HaPtr.");
  EXPECT_EQ(HaltText([] {
              KiHash table = KiHashCreate();
              auto iter = HaStart(table);
              HaDestroy(table);
            }),
            "assert:HaDestroy-- active iteration");
}

TEST(HaChecks, BucketCountLimits) {
  EXPECT_EQ(HaltText([] { (void)KiHashCreateCount(0); }),
            "assert:HaCreate-- Illegal size");
  EXPECT_EQ(HaltText([] { (void)KiHashCreateCount(kHaMaxBuckets); }),
            "assert:HaCreate-- Illegal size");
  EXPECT_EQ(KiHashCreateCount(kHaMaxBuckets - 1).BucketCount(), 16363);
}

TEST(HaInitRtns, DebugSelectorDrivesTheChecks) {
  EXPECT_EQ(HaltText([] { (void)HaInitRtns(kPkgInit, 18); }),
            "assert:HaInitRtns-- Wrong version");
  EXPECT_EQ(HaltText([] {
              (void)HaInitRtns(kPkgDebug, 0);
              KiHash table = KiHashCreate();
              auto iter = HaStart(table);
              KiHashAdd(table, 1, 1);  // allowed without checks
              HaStop(iter);
              (void)HaInitRtns(kPkgDebug, 1);
              iter = HaStart(table);
              KiHashAdd(table, 2, 2);
            }),
            "assert:HaInsert-- cannot insert while iterating.");
}

}  // namespace
