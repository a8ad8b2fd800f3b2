// Records of every value type and a sorted database, saved to a file and
// read back by a new process: values, names, positions, the index and a
// selection.
#include <string>

#include "Doc.h"
#include "NmSp.h"
#include "lgdb_test_util.h"
#include "lists_test_util.h"

using namespace quil;

namespace {

constexpr int kMembers = 300;
constexpr uint32_t kFilledAt = 250000000;

std::string MemberName(int i) { return "member" + std::to_string(1000 + i); }

// Members whose name lies in [first, last] with Size above limit.
int Expected(int first, int last, int limit) {
  int n = 0;
  for (int i = first; i <= last; ++i) n += (i * 7) % 100 > limit;
  return n;
}

Li<ChHandle> SelectMembers(ChHandle db, int first, int last, int limit) {
  LgDbRange range;
  range.first = StFromView(MemberName(first));
  range.last = StFromView(MemberName(last));
  Li<ChHandle> fields;
  Li<int32_t> ops;
  Li<LgDbValue> values;
  LiAppend(fields, lgdbtest::FieldOf(db, "Size"));
  LiAppend(ops, int32_t(kLgDbOpGt));
  LiAppend(values, LgDbIntValue(limit));
  return LgDbSelect(db, std::move(range), std::move(fields), std::move(ops), std::move(values), 0);
}

class ReopenTest : public lgdbtest::LgDbTest {};

TEST_F(ReopenTest, EveryValueTypeReadsBackInANewProcess) {
  ChHandle db = LgDbCreate(near_);
  ChHandle name = Field("Name");
  ChHandle other = LgDbRecCreate(near_);
  LgDbRecPutText(other, name, StCStrXfm("referenced"));
  LgDbRecInsert(db, other, kLgDbNoPos);
  ChHandle rec = LgDbRecCreate(near_);
  lgdbtest::FillEveryKind(rec, other);
  LgDbRecPut(db, rec, kFilledAt);
  for (int i = 0; i < kMembers; ++i) {
    ChHandle m = LgDbRecCreate(near_);
    LgDbRecPutText(m, name, StFromView(MemberName(i)));
    LgDbRecPutInt(m, Field("Size"), (i * 7) % 100);
    LgDbRecPut(db, m, 1 + uint32_t(i));
    LgDbRecInsertSorted(db, m, name, uint32_t(i % 3));
  }
  EXPECT_EQ(LiCount(SelectMembers(db, 10, 200, 50)), Expected(10, 200, 50));
  DocObjectEnter(part_, StCStrXfm("lgdb.test"), LgDbGetHead(db));

  uint32_t revision;
  ASSERT_EQ(ChPartSave(part_, 0, &revision), 0);
  std::string path = std::filesystem::absolute(ChFiPath(ChGetChFi(part_)));
  ASSERT_EQ(ChFiClose(ChGetChFi(part_)), 0);
  std::string report;
  EXPECT_TRUE(ChCheckFile(path, &report)) << report;
  std::string out;
  EXPECT_TRUE(liststest::RunInNewProcess("LgDbReopened.EveryValueReadsBack", path, &out)) << out;
}

class LgDbReopened : public liststest::ReopenedFile {};

TEST_F(LgDbReopened, EveryValueReadsBack) {
  ChHandle head = DocObjectLookup(part_, StCStrXfm("LGDB.TEST"), kLgDbRecType);
  ASSERT_NE(head, 0u);
  ChHandle db = LgDbRecGetList(head);
  EXPECT_EQ(LgDbGetHead(db), head);
  ChHandle other = LgDbRecGet(db, 0);
  ChHandle rec = LgDbRecGet(db, kFilledAt);
  ASSERT_NE(rec, 0u);
  ASSERT_NE(other, 0u);
  EXPECT_EQ(LgDbRecGetList(rec), db);
  ChHandle name = lgdbtest::FieldOf(db, "name");
  EXPECT_EQ(LgDbRecGetText(other, name), "referenced");
  lgdbtest::ExpectEveryKind(rec, other);

  EXPECT_EQ(LgDbCount(db), uint32_t(kMembers + 2));
  EXPECT_EQ(LgDbSortedCount(db), uint32_t(kMembers));
  EXPECT_EQ(LgDbSortField(db), name);
  ChHandle m = LgDbTextLookup(db, StFromView(MemberName(123)));
  ASSERT_NE(m, 0u);
  uint32_t ix;
  EXPECT_TRUE(LgDbRecGetSortIx(db, m, &ix));
  EXPECT_EQ(ix, 123u);
  EXPECT_EQ(LgDbRecGet(db, 124), m);
  EXPECT_EQ(LiCount(SelectMembers(db, 10, 200, 50)), Expected(10, 200, 50));
  EXPECT_EQ(LiCount(SelectMembers(db, 0, 299, -1)), kMembers);
  std::string report;
  EXPECT_TRUE(NmSpCheck(DocRootEntry(part_, kDocNameSpaceIndex), &report)) << report;
}

}  // namespace
