// Record databases: sparse positions, insertion and removal, membership
// lists, the sort index and its look-ups, destruction, and selections
// checked against a brute-force filter.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "Bt.h"
#include "LgDbInt.h"
#include "Sl.h"
#include "halt_text.h"
#include "lgdb_test_util.h"

using namespace quil;

namespace {

St S(const std::string& s) { return StFromView(s); }

class DbTest : public lgdbtest::LgDbTest {
 protected:
  ChHandle Named(const std::string& name) {
    ChHandle rec = LgDbRecCreate(near_);
    LgDbRecPutText(rec, Field("Name"), S(name));
    return rec;
  }
  std::vector<ChHandle> Walk(ChHandle db) {
    std::vector<ChHandle> out;
    uint32_t pos = kLgDbNoPos;
    while (ChHandle rec = LgDbGetNextRec(db, &pos)) out.push_back(rec);
    return out;
  }
};

TEST_F(DbTest, ADatabaseIsASegmentListWithItsHeadAsApplicationData) {
  ChHandle db = LgDbCreate(near_);
  ChHandle head = LgDbGetHead(db);
  EXPECT_EQ(ChType(db), kSlListType);
  EXPECT_EQ(SlGetAppData(db), head);
  EXPECT_EQ(LgDbRecGetList(head), db);
  EXPECT_EQ(SlGetParams(db).capacity, 8);
  EXPECT_EQ(SlGetParams(db).kind, kSlHandleLeaf);
  EXPECT_EQ(LgDbNext(db, kLgDbNoPos), kLgDbNoPos);
}

TEST_F(DbTest, PositionsAreSparseAndRecordsBelongToTheirDatabase) {
  ChHandle db = LgDbCreate(near_);
  ChHandle a = Named("a"), b = Named("b"), c = Named("c");
  EXPECT_EQ(LgDbRecPut(db, a, 250000000), 0u);
  EXPECT_EQ(LgDbRecPut(db, b, 3), 0u);
  EXPECT_EQ(LgDbLength(db), 250000001u);
  EXPECT_EQ(LgDbCount(db), 2u);
  EXPECT_EQ(LgDbRecGet(db, 250000000), a);
  EXPECT_EQ(LgDbRecGet(db, 4), 0u);
  EXPECT_EQ(LgDbRecGetList(a), db);
  EXPECT_EQ(LgDbNext(db, kLgDbNoPos), 3u);
  EXPECT_EQ(LgDbNext(db, 3), 250000000u);
  EXPECT_EQ(LgDbNext(db, 250000000), kLgDbNoPos);
  EXPECT_EQ(Walk(db), (std::vector<ChHandle>{b, a}));
  // Replacing releases the old record; clearing leaves a gap.
  EXPECT_EQ(LgDbRecPut(db, c, 3), b);
  EXPECT_EQ(LgDbRecGetList(b), 0u);
  EXPECT_EQ(LgDbRecPut(db, 0, 3), c);
  EXPECT_EQ(LgDbRecGetList(c), 0u);
  EXPECT_EQ(LgDbLength(db), 250000001u);
  EXPECT_EQ(LgDbRecPut(db, 0, 300000000), 0u);  // past the end: nothing
  EXPECT_EQ(LgDbLength(db), 250000001u);
  uint32_t pos;
  EXPECT_TRUE(LgDbRecLookup(db, a, &pos));
  EXPECT_EQ(pos, 250000000u);
  EXPECT_FALSE(LgDbRecLookup(db, b, &pos));
}

TEST_F(DbTest, InsertAndRemoveMoveTheLaterPositions) {
  ChHandle db = LgDbCreate(near_);
  std::vector<ChHandle> recs;
  for (int i = 0; i < 40; ++i) {
    recs.push_back(Named("r" + std::to_string(i)));
    EXPECT_EQ(LgDbRecInsert(db, recs.back(), kLgDbNoPos), uint32_t(i));
  }
  ChHandle x = Named("x");
  EXPECT_EQ(LgDbRecInsert(db, x, 10), 10u);
  recs.insert(recs.begin() + 10, x);
  EXPECT_EQ(Walk(db), recs);
  EXPECT_EQ(LgDbRecRemove(db, 0), recs[0]);
  EXPECT_EQ(LgDbRecGetList(recs[0]), 0u);
  recs.erase(recs.begin());
  EXPECT_EQ(Walk(db), recs);
  EXPECT_EQ(LgDbRecRemove(db, 1000), 0u);
  std::string report;
  EXPECT_TRUE(SlConsistency(db, &report)) << report;
}

TEST_F(DbTest, MembershipListsHoldEachRecordOnce) {
  ChHandle group = LgDbCreate(near_);
  ChHandle users = LgDbCreate(near_);
  ChHandle u = Named("user");
  LgDbRecInsert(users, u, kLgDbNoPos);
  LgDbRecAddToList(group, u);
  EXPECT_TRUE(LgDbRecIsInList(group, u));
  EXPECT_EQ(LgDbRecGetList(u), users);  // membership does not move the record
  EXPECT_EQ(quiltest::HaltText([&] { LgDbRecAddToList(group, u); }),
            "assert:LgDbRecAddToList--DbH already in list");
  ChHandle v = Named("other");
  LgDbRecAddToList(group, v);
  EXPECT_TRUE(LgDbRecRemoveFromList(group, u));
  EXPECT_FALSE(LgDbRecRemoveFromList(group, u));
  EXPECT_FALSE(LgDbRecIsInList(group, u));
  EXPECT_EQ(LgDbRecGet(group, 0), v);
}

TEST_F(DbTest, DestroyTakesTheOwnedRecordsAndLeavesTheListedOnes) {
  ChHandle name = Field("Name");
  (void)Field("LgDbIndex");
  ChHandle listed = Named("listed");
  auto before = lgdbtest::LiveChunks(part_);
  ChHandle db = LgDbCreate(near_);
  for (int i = 0; i < 30; ++i) {
    ChHandle r = Named("n" + std::to_string(i));
    LgDbRecPut(db, r, uint32_t(i * 1000));
    LgDbRecInsertSorted(db, r, name);
  }
  LgDbRecAddToList(db, listed);
  LgDbRecPut(db, LgDbRecGet(db, 0), 5);  // one record at two positions
  LgDbDestroy(db);
  EXPECT_EQ(lgdbtest::LiveChunks(part_), before);
  EXPECT_EQ(LgDbRecGetText(listed, name), "listed");
}

// ---------------------------------------------------------------------------
// The sort index.

TEST_F(DbTest, TheIndexOrdersByTheSortFieldIgnoringCase) {
  ChHandle db = LgDbCreate(near_);
  ChHandle name = Field("Name");
  std::vector<std::string> names = {"smith", "Adams", "SMITH", "brown", "Smithers", "", "zed"};
  std::vector<ChHandle> recs;
  for (const auto& n : names) {
    recs.push_back(Named(n));
    EXPECT_TRUE(LgDbRecInsertSorted(db, recs.back(), name, 7));
  }
  EXPECT_FALSE(LgDbRecInsertSorted(db, recs[0], name, 7));  // the same entry
  EXPECT_EQ(LgDbSortField(db), name);
  EXPECT_EQ(LgDbSortedCount(db), 7u);
  EXPECT_EQ(LgDbSortedGet(db, 1), recs[1]);  // "", "Adams", "brown", ...
  EXPECT_EQ(LgDbSortedGet(db, 5), recs[4]);
  uint32_t ix;
  EXPECT_TRUE(LgDbLookupSorted(db, S("BROWN"), &ix));
  EXPECT_EQ(ix, 2u);
  EXPECT_FALSE(LgDbLookupSorted(db, S("c"), &ix));
  EXPECT_EQ(ix, 3u);  // where it would go
  EXPECT_FALSE(LgDbLookupSorted(db, S("zz"), &ix));
  EXPECT_EQ(ix, 7u);
  EXPECT_EQ(LgDbPrefixLookup(db, S("smi"), &ix), LgDbSortedGet(db, 3));
  EXPECT_EQ(ix, 3u);
  EXPECT_EQ(LgDbPrefixLookup(db, S("q"), nullptr), 0u);
  EXPECT_EQ(LgDbTextFind(db, S("SMITH")), recs[2]);
  EXPECT_EQ(LgDbTextFind(db, S("smith")), recs[0]);
  EXPECT_EQ(LgDbTextFind(db, S("Smith")), 0u);
  EXPECT_TRUE(LgDbRecGetSortIx(db, recs[4], &ix));
  EXPECT_EQ(ix, 5u);
  EXPECT_EQ(quiltest::HaltText([&] { LgDbRecInsertSorted(db, recs[0], Field("Title")); }),
            "assert:LgDbRecInsertSorted-- sort field");
  // The index is a tree of the head record, word and all.
  ChHandle index = LgDbIndex(db);
  EXPECT_EQ(LgDbRecGetBt(LgDbGetHead(db), Field("LgDbIndex")), index);
  uint32_t word;
  ASSERT_TRUE(BtDbIndex(index, 0, nullptr, nullptr, &word));
  EXPECT_EQ(word, 7u);
}

TEST_F(DbTest, TextsLongerThanAKeyAreToldApartByTheWholeText) {
  ChHandle db = LgDbCreate(near_);
  ChHandle name = Field("Name");
  std::string stem(48, 'k');
  ChHandle a = Named(stem + "-alpha"), b = Named(stem + "-beta");
  LgDbRecInsertSorted(db, a, name);
  LgDbRecInsertSorted(db, b, name);
  EXPECT_EQ(LgDbTextLookup(db, S(stem + "-BETA")), b);
  EXPECT_EQ(LgDbTextLookup(db, S(stem + "-alpha")), a);
  EXPECT_EQ(LgDbTextLookup(db, S(stem)), 0u);
  uint32_t ix;
  EXPECT_TRUE(LgDbLookupSorted(db, S(stem + "-gamma"), &ix));  // same first 48 bytes
}

TEST_F(DbTest, ARecordIsRemovedFromTheIndexEvenAfterItsTextChanged) {
  ChHandle db = LgDbCreate(near_);
  ChHandle name = Field("Name");
  std::vector<ChHandle> recs;
  for (int i = 0; i < 300; ++i) {
    recs.push_back(Named("member" + std::to_string(i % 50)));
    LgDbRecInsertSorted(db, recs.back(), name, uint32_t(i));
  }
  LgDbRecPutText(recs[77], name, S("renamed"));
  EXPECT_TRUE(LgDbRecRemoveSorted(db, recs[77]));
  EXPECT_FALSE(LgDbRecRemoveSorted(db, recs[77]));
  EXPECT_TRUE(LgDbRecRemoveSorted(db, recs[78]));
  uint32_t ix;
  EXPECT_FALSE(LgDbRecGetSortIx(db, recs[78], &ix));
  EXPECT_EQ(LgDbSortedCount(db), 298u);
  std::string report;
  EXPECT_TRUE(BtDbValidate(LgDbIndex(db), &report)) << report;
}

// ---------------------------------------------------------------------------
// Selection.

struct Row {
  ChHandle rec;
  std::string name;
  bool hasSize;
  int32_t size;
  bool hasDate;
  LgDbTd date;
  std::string title;  // "" when absent
  uint32_t forum;
};

std::string Upper48(const std::string& s) {
  std::string u = s.substr(0, 48);
  for (char& c : u) c = char(StASCIIUpper[uint8_t(c)]);
  return u;
}

class SelectTest : public DbTest {
 protected:
  void Build(int count, bool sorted) {
    std::mt19937 rng(3);
    db_ = LgDbCreate(near_);
    for (int i = 0; i < count; ++i) {
      Row r;
      r.rec = LgDbRecCreate(near_);
      r.name = std::string(1, char('a' + rng() % 6)) + char('a' + rng() % 6) + std::to_string(rng() % 50);
      if (rng() % 3 == 0) r.name[0] = char(toupper(r.name[0]));
      r.hasSize = rng() % 5 != 0;
      r.size = int32_t(rng() % 200) - 50;
      r.hasDate = rng() % 4 != 0;
      r.date = LgDbTd{int32_t(20000101 + rng() % 3), int32_t(rng() % 3) * 10000};
      r.title = rng() % 2 ? "Title " + std::to_string(rng() % 30) : "";
      r.forum = rng() % 3;
      LgDbRecPutText(r.rec, Field("Name"), S(r.name));
      if (r.hasSize) LgDbRecPutInt(r.rec, Field("Size"), r.size);
      if (r.hasDate) LgDbRecPutTd(r.rec, Field("Date"), r.date);
      if (!r.title.empty()) LgDbRecPutText(r.rec, Field("Title"), S(r.title));
      LgDbRecInsert(db_, r.rec, kLgDbNoPos);
      if (sorted) LgDbRecInsertSorted(db_, r.rec, Field("Name"), r.forum);
      rows_.push_back(r);
    }
    if (sorted) {
      std::stable_sort(rows_.begin(), rows_.end(), [](const Row& a, const Row& b) {
        std::string ka = Upper48(a.name), kb = Upper48(b.name);
        return ka != kb ? ka < kb : a.rec < b.rec;
      });
    }
  }

  ChHandle db_ = 0;
  std::vector<Row> rows_;
};

bool Ord(int32_t op, int c) {
  switch (op) {
    case kLgDbOpEq: return c == 0;
    case kLgDbOpNe: return c != 0;
    case kLgDbOpLt: return c < 0;
    case kLgDbOpGt: return c > 0;
    case kLgDbOpLe: return c <= 0;
    default: return c >= 0;
  }
}

TEST_F(SelectTest, RangesAndConditionsAgreeWithABruteForceFilter) {
  Build(1500, true);
  std::mt19937 rng(17);
  int nonEmpty = 0;
  const char* keys[] = {"a", "Ab", "ab3", "c", "cF1", "d", "e", "EE49", "f", "zz"};
  for (int q = 0; q < 300; ++q) {
    LgDbRange range;
    bool hasFirst = rng() % 2, hasLast = rng() % 2, hasEmail = rng() % 5 == 0,
         byForum = rng() % 4 == 0;
    std::string first = keys[rng() % 10], last = keys[rng() % 10], email = keys[rng() % 10];
    if (hasFirst) {
      range.first = S(first);
      range.firstInclusive = rng() % 2;
    }
    if (hasLast) {
      range.last = S(last);
      range.lastInclusive = rng() % 2;
    }
    if (hasEmail) range.emailName = S(email);
    range.byForum = byForum;
    range.forum = rng() % 3;
    // Up to two conditions: on Size, Date or Title.
    Li<ChHandle> fields;
    Li<int32_t> ops;
    Li<LgDbValue> values;
    struct C { int what; int32_t op; int32_t n; LgDbTd td; std::string text; };
    std::vector<C> conds;
    for (int k = rng() % 3; k > 0; --k) {
      C c{int(rng() % 3), int32_t(1 + rng() % 10), int32_t(rng() % 200) - 50,
          LgDbTd{int32_t(20000101 + rng() % 3), int32_t(rng() % 3) * 10000},
          rng() % 3 ? "Title " + std::to_string(rng() % 30) : "title 1"};
      if (c.what != 2 && (c.op == kLgDbOpPrefix || c.op == kLgDbOpContains)) c.op = kLgDbOpGe;
      conds.push_back(c);
      const char* field = c.what == 0 ? "Size" : c.what == 1 ? "Date" : "Title";
      LiAppend(fields, Field(field));
      LiAppend(ops, c.op);
      LiAppend(values, c.what == 0   ? LgDbIntValue(c.n)
                       : c.what == 1 ? LgDbTdValue(c.td)
                                     : LgDbTextValue(S(c.text)));
    }
    uint32_t max = rng() % 4 == 0 ? 1 + rng() % 20 : 0;

    std::vector<ChHandle> want;
    for (const Row& r : rows_) {
      std::string k = Upper48(r.name);
      if (hasFirst && (range.firstInclusive ? k < Upper48(first) : k <= Upper48(first))) continue;
      if (hasLast && (range.lastInclusive ? k > Upper48(last) : k >= Upper48(last))) continue;
      if (hasEmail && k.compare(0, Upper48(email).size(), Upper48(email)) != 0) continue;
      if (byForum && r.forum != range.forum) continue;
      bool pass = true;
      for (const C& c : conds) {
        bool has = c.what == 0 ? r.hasSize : c.what == 1 ? r.hasDate : !r.title.empty();
        if (c.op == kLgDbOpPresent) pass = has;
        else if (c.op == kLgDbOpAbsent) pass = !has;
        else if (!has) pass = false;
        else if (c.what == 0) pass = Ord(c.op, r.size < c.n ? -1 : r.size > c.n);
        else if (c.what == 1) pass = Ord(c.op, LgDbTdCompare(r.date, c.td) - kStEqual);
        else {
          std::string t = Upper48(r.title), v = Upper48(c.text);
          if (c.op == kLgDbOpPrefix) pass = t.compare(0, v.size(), v) == 0;
          else if (c.op == kLgDbOpContains) pass = t.find(v) != std::string::npos;
          else pass = Ord(c.op, t.compare(v));
        }
        if (!pass) break;
      }
      if (pass) want.push_back(r.rec);
      if (max && want.size() == max) break;
    }
    Li<ChHandle> got = LgDbSelect(db_, std::move(range), std::move(fields), std::move(ops),
                                  std::move(values), max);
    std::vector<ChHandle> gotV(got.begin(), got.end());
    ASSERT_EQ(gotV, want) << "query " << q;
    nonEmpty += !want.empty();
  }
  EXPECT_GT(nonEmpty, 150);
}

TEST_F(SelectTest, WithoutAnIndexEveryRecordIsACandidateInPositionOrder) {
  Build(300, false);
  Li<ChHandle> fields;
  Li<int32_t> ops;
  Li<LgDbValue> values;
  LiAppend(fields, Field("Size"));
  LiAppend(ops, int32_t(kLgDbOpLt));
  LiAppend(values, LgDbIntValue(0));
  Li<ChHandle> got = LgDbSelect(db_, LgDbRange(), std::move(fields), std::move(ops),
                                std::move(values), 0);
  std::vector<ChHandle> want;
  for (const Row& r : rows_) {
    if (r.hasSize && r.size < 0) want.push_back(r.rec);
  }
  EXPECT_EQ(std::vector<ChHandle>(got.begin(), got.end()), want);

  LgDbRange range;
  range.first = S("a");
  EXPECT_EQ(quiltest::HaltText([&] { LgDbSelect(db_, std::move(range), {}, {}, {}, 0); }),
            "assert:LgDbSelect--no index");
}

TEST_F(SelectTest, MissingOperatorsAndValuesHalt) {
  Build(5, true);
  EXPECT_EQ(quiltest::HaltText([&] {
              Li<ChHandle> fields;
              LiAppend(fields, Field("Size"));
              LgDbSelect(db_, LgDbRange(), std::move(fields), {}, {}, 0);
            }),
            "assert:LgDbSelect--missing Op");
  ChHandle rec = rows_[0].rec;
  EXPECT_EQ(quiltest::HaltText([&] {
              Li<ChHandle> fields;
              Li<int32_t> ops;
              LiAppend(fields, Field("Size"));
              LiAppend(ops, int32_t(kLgDbOpEq));
              LgDbSelectRec(rec, fields, ops, {});
            }),
            "assert:LgDbSelectRec--missing Value");
  EXPECT_EQ(quiltest::HaltText([&] {
              LgDbSelectField(rec, Field("Name"), kLgDbOpPrefix, LgDbIntValue(1));
            }),
            "assert:LgDbSelectField-- Op needs a text");
  // Present and absent need no value: without one they ask for an integer.
  Li<ChHandle> fields;
  Li<int32_t> ops;
  LiAppend(fields, Field("Name"));
  LiAppend(ops, int32_t(kLgDbOpPresent));
  EXPECT_FALSE(LgDbSelectRec(rec, fields, ops, {}));
}

}  // namespace
