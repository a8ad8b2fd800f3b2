// Helpers of the record-database and name-space tests: a store fixture
// with field names, records of every value kind, and the count of live
// chunks.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "Bt.h"
#include "Ch.h"
#include "ChSt.h"
#include "LgDb.h"
#include "Sl.h"
#include "Store.h"
#include "store_test_util.h"

namespace lgdbtest {

// The chunks of a part, by chunk type.
inline std::map<uint16_t, int> LiveChunks(quil::ChPart part) {
  std::map<uint16_t, int> count;
  quil::ChIter it;
  quil::ChStartFID(it, part);
  for (quil::ChHandle h; (h = quil::ChNext(it)) != quil::kChNil;) ++count[quil::ChType(h)];
  quil::ChStop(it);
  return count;
}

inline int LiveChunkTotal(quil::ChPart part) {
  int n = 0;
  for (auto [type, k] : LiveChunks(part)) n += k;
  return n;
}

inline quil::ChHandle FieldOf(quil::ChHandle rec, const char* name) {
  return quil::LgDbFieldIdGet(rec, quil::StCStrXfm(name));
}

// Fills a record with one value of every kind, several of them with chunks
// of their own, and one field ("Many") holding values of three kinds.
// other is a record the values refer to.  19 fields.
inline void FillEveryKind(quil::ChHandle rec, quil::ChHandle other) {
  using namespace quil;
  auto f = [&](const char* name) { return FieldOf(rec, name); };
  LgDbRecPutInt(rec, f("Int"), -17);
  LgDbRecPutText(rec, f("Text"), StCStrXfm("short text"));
  LgDbRecPutText(rec, f("Long"), StCreateRepeat(9000, 'L'));
  LgDbRecPutTd(rec, f("Date"), LgDbTd{19990707, 123456});
  ChHandle iv = IvSlCreate(rec);
  SlReplaceSeg(iv, 11, 5, 1, 1);
  SlReplaceSeg(iv, 12, 9, 3, 3);
  LgDbRecPutIvSl(rec, f("Highwater"), iv);
  LgDbRecPutRec(rec, f("User"), other);
  LgDbRecPutSr(rec, f("Sr"), {{other, 1}, {0, 2}});
  LgDbRecPutCol(rec, f("Colour"), LgDbCol{3, 255, 128, 0});
  Li<St> paths;
  LiAppend(paths, StCStrXfm("/a/b"));
  LiAppend(paths, StCStrXfm("/c"));
  LgDbRecPutSubscr(rec, f("Subscriptions"), LgDbSubscr{4, 5, StLiToChStLiXfm(paths, rec), 0});
  ChHandle acc = ChLiGenCreate(rec, kChLiNodeType);
  acc = ChLiGenAppend(acc, other, 0x3cffffff, kChLiNodeType);
  acc = ChLiGenAppend(acc, 0, 0x1, kChLiNodeType);
  LgDbRecPutAccPerm(rec, f("AccPerm"), acc);
  LgDbUserPosts posts;
  posts.list1 = ChLiGenAppend(ChLiGenCreate(rec, kChLiNodeType), other, 9, kChLiNodeType);
  posts.word1 = 77;
  for (int i = 0; i < kLgDbUserPostsWords; ++i) posts.counts[i] = uint32_t(i * i);
  LgDbRecPutUserPosts(rec, f("UserPosts"), posts);
  ChHandle bt = BtDbCreate(rec);
  for (int i = 0; i < 400; ++i) BtDbInsert(bt, StStIntXfm(1000 + i), other, uint32_t(i));
  LgDbRecPutBt(rec, f("EmailUsername"), bt);
  ChHandle bti = BtiDbCreate(rec);
  for (uint32_t i = 0; i < 700; ++i) BtiDbInsert(bti, i * 3, i, i + 1);
  LgDbRecPutBti(rec, f("Bti"), bti);
  ChHandle bti1 = Bti1DbCreate(rec);
  Bti1DbSet(bti1, 42, 43);
  LgDbRecPutBti1(rec, f("Bti1"), bti1);
  ChHandle btih = BtihDbCreate(rec);
  BtihDbSet(btih, 250000000, other);
  LgDbRecPutBtih(rec, f("UniqueIdx"), btih);
  ChHandle btm = BtmDbCreate(rec);
  BtmEntry e;
  e.key1 = -5;
  e.key2 = 2;
  e.date = 20240101;
  e.message = other;
  BtmDbInsert(btm, e);
  LgDbRecPutBtm(rec, f("MessageInfo"), btm);
  LgDbRecPutPicture(rec, f("Picture"), LgDbPicture{48, 72, 1, StCreateRepeat(100, 'p')});
  LgDbRecPutPicture(rec, f("Large"), LgDbPicture{640, 480, 2, StCreateRepeat(10000, 'q')});
  ChHandle many = f("Many");
  LgDbRecPutInt(rec, many, 1);
  LgDbRecPutText(rec, many, StCreateRepeat(5000, 'm'));
  LgDbRecPutBt(rec, many, BtDbCreate(rec));
}

// Checks every value FillEveryKind wrote (in this file or a copy).
inline void ExpectEveryKind(quil::ChHandle rec, quil::ChHandle other) {
  using namespace quil;
  auto f = [&](const char* name) { return FieldOf(rec, name); };
  EXPECT_EQ(LgDbRecFieldCount(rec), 19);
  int32_t i = 0;
  EXPECT_TRUE(LgDbRecGetInt(rec, f("Int"), &i));
  EXPECT_EQ(i, -17);
  EXPECT_EQ(LgDbRecGetText(rec, f("Text")), "short text");
  EXPECT_EQ(LgDbRecGetText(rec, f("Long")), StCreateRepeat(9000, 'L'));
  LgDbTd td;
  EXPECT_TRUE(LgDbRecGetTd(rec, f("Date"), &td));
  EXPECT_EQ(td, (LgDbTd{19990707, 123456}));
  ChHandle iv = LgDbRecGetIvSl(rec, f("Highwater"));
  uint32_t start, length;
  EXPECT_EQ(SlGetInterval(iv, 10, &start, &length), 12u);
  EXPECT_EQ(start, 9u);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(SlGetInterval(iv, 5, nullptr, nullptr), 11u);
  EXPECT_EQ(LgDbRecGetRec(rec, f("User")), other);
  std::vector<LgDbSrEntry> sr;
  EXPECT_TRUE(LgDbRecGetSr(rec, f("Sr"), &sr));
  EXPECT_EQ(sr, (std::vector<LgDbSrEntry>{{other, 1}, {0, 2}}));
  LgDbCol col;
  EXPECT_TRUE(LgDbRecGetCol(rec, f("Colour"), &col));
  EXPECT_EQ(col, (LgDbCol{3, 255, 128, 0}));
  LgDbSubscr sub;
  EXPECT_TRUE(LgDbRecGetSubscr(rec, f("Subscriptions"), &sub));
  EXPECT_EQ(sub.word1, 4u);
  EXPECT_EQ(sub.word2, 5u);
  EXPECT_EQ(sub.list2, 0u);
  Li<St> paths = ChStLiToStLiXfm(sub.list1);
  EXPECT_EQ(LiCount(paths), 2);
  EXPECT_EQ(LiFirst(paths), "/a/b");
  ChHandle acc = 0;
  EXPECT_TRUE(LgDbRecGetAccPerm(rec, f("AccPerm"), &acc));
  uint32_t d, d2;
  EXPECT_TRUE(ChLiGenFirst(acc, &d, &d2, kChLiNodeType));
  EXPECT_EQ(d, other);
  EXPECT_EQ(d2, 0x3cffffffu);
  EXPECT_EQ(ChLiGenCount(acc, kChLiNodeType), 2);
  LgDbUserPosts posts;
  EXPECT_TRUE(LgDbRecGetUserPosts(rec, f("UserPosts"), &posts));
  EXPECT_EQ(posts.word1, 77u);
  EXPECT_EQ(posts.counts[239], 239u * 239u);
  EXPECT_TRUE(ChLiGenFirst(posts.list1, &d, &d2, kChLiNodeType));
  EXPECT_EQ(d, other);
  ChHandle bt = LgDbRecGetBt(rec, f("EmailUsername"));
  EXPECT_EQ(BtDbCount(bt), 400u);
  ChHandle h = 0;
  uint32_t w = 0;
  EXPECT_TRUE(BtDbLookupFirst(bt, StCStrXfm("1399"), &h, &w));
  EXPECT_EQ(h, other);
  EXPECT_EQ(w, 399u);
  ChHandle bti = LgDbRecGetBti(rec, f("Bti"));
  EXPECT_EQ(BtiDbCount(bti), 700u);
  uint32_t a = 0, b = 0;
  EXPECT_TRUE(BtiDbLookup(bti, 699 * 3, &a, &b));
  EXPECT_EQ(b, 700u);
  EXPECT_TRUE(Bti1DbLookup(LgDbRecGetBti1(rec, f("Bti1")), 42, &a));
  EXPECT_EQ(a, 43u);
  EXPECT_TRUE(BtihDbLookup(LgDbRecGetBtih(rec, f("UniqueIdx")), 250000000, &h));
  EXPECT_EQ(h, other);
  BtmEntry e;
  EXPECT_TRUE(BtmDbLookup(LgDbRecGetBtm(rec, f("MessageInfo")), -5, 2, &e));
  EXPECT_EQ(e.date, 20240101u);
  EXPECT_EQ(e.message, other);
  LgDbPicture pic;
  EXPECT_TRUE(LgDbRecGetPicture(rec, f("Picture"), &pic));
  EXPECT_EQ(pic.width, 48);
  EXPECT_EQ(pic.data, StCreateRepeat(100, 'p'));
  EXPECT_TRUE(LgDbRecGetPicture(rec, f("Large"), &pic));
  EXPECT_EQ(pic.height, 480);
  EXPECT_EQ(pic.format, 2);
  EXPECT_EQ(pic.data, StCreateRepeat(10000, 'q'));
  ChHandle many = f("Many");
  EXPECT_TRUE(LgDbRecGetInt(rec, many, &i));
  EXPECT_EQ(i, 1);
  EXPECT_EQ(LgDbRecGetText(rec, many).Length(), 5000);
  EXPECT_EQ(BtDbCount(LgDbRecGetBt(rec, many)), 0u);
  EXPECT_TRUE(LgDbRecIsLegal(rec));
}

class LgDbTest : public storetest::PartTest {
 protected:
  quil::ChHandle Field(const std::string& name) const {
    return quil::LgDbFieldIdGet(near_, quil::StFromView(name));
  }
};

}  // namespace lgdbtest
