// Records: the chunk chain and its slots byte for byte, values of several
// kinds in one field, the text forms, destruction by kind (counted in live
// chunks), copies, walks over damaged chains, the halts for wrong handles,
// and random field operations against a model.
#include <map>
#include <random>
#include <string>
#include <variant>

#include "Bt.h"
#include "ChSt.h"
#include "LgDbInt.h"
#include "NmSp.h"
#include "Sl.h"
#include "halt_text.h"
#include "lgdb_test_util.h"

using namespace quil;

namespace {

St S(const std::string& s) { return StFromView(s); }

uint32_t Word(ChHandle chunk, int word) {
  return Ld32(static_cast<const uint8_t*>(ChDeref(chunk)) + 4 * word);
}

class RecordTest : public lgdbtest::LgDbTest {
 protected:
  int Records() { return lgdbtest::LiveChunks(part_)[kLgDbRecType]; }
};

// ---------------------------------------------------------------------------
// The chain.

TEST_F(RecordTest, ANewRecordIsOneChunkOfZeros) {
  ChHandle rec = LgDbRecCreate(near_);
  EXPECT_EQ(ChType(rec), kLgDbRecType);
  EXPECT_EQ(ChunkBytes(rec), std::string(48, '\0'));
  ChHandle f = Field("Size");
  LgDbRecPutInt(rec, f, 7);
  ChHandle v = Word(rec, 3);
  std::string want(48, '\0');
  memcpy(&want[8], &f, 4);
  memcpy(&want[12], &v, 4);
  EXPECT_EQ(ChunkBytes(rec), want);
  EXPECT_EQ(ChType(v), kLgDbIntType);
  EXPECT_EQ(ChunkBytes(v), std::string("\x07\0\0\0", 4));
}

TEST_F(RecordTest, ASixthFieldAppendsASecondChunkAndAllSixAreRead) {
  ChHandle rec = LgDbRecCreate(near_);
  for (int i = 0; i < 5; ++i) LgDbRecPutInt(rec, Field("f" + std::to_string(i)), i * 10);
  EXPECT_EQ(Word(rec, 1), 0u);
  EXPECT_EQ(Records(), 1);
  LgDbRecPutText(rec, Field("f5"), S("six"));
  EXPECT_EQ(Records(), 2);
  ChHandle second = Word(rec, 1);
  ASSERT_NE(second, 0u);
  EXPECT_EQ(Word(second, 2), Field("f5"));
  EXPECT_EQ(Word(second, 1), 0u);
  for (int i = 0; i < 5; ++i) {
    int32_t v = -1;
    EXPECT_TRUE(LgDbRecGetInt(rec, Field("f" + std::to_string(i)), &v));
    EXPECT_EQ(v, i * 10);
  }
  EXPECT_EQ(LgDbRecGetText(rec, Field("f5")), "six");
  EXPECT_EQ(LgDbRecFieldCount(rec), 6);
  // A freed slot of the first chunk is taken before the second's.
  EXPECT_TRUE(LgDbRecFieldRemove(rec, Field("f2")));
  LgDbRecPutInt(rec, Field("f6"), 66);
  EXPECT_EQ(Word(rec, 6), Field("f6"));
  EXPECT_EQ(Records(), 2);
  EXPECT_EQ(quiltest::HaltText([&] { LgDbRecFieldAdd(rec, Field("f6")); }),
            "assert:LgDbRecFieldAdd-- field already present");
  LgDbSlot slot = LgDbRecFieldAdd(rec, Field("Empty"));
  EXPECT_EQ(slot.chunk, second);
  EXPECT_EQ(LgDbSlotValue(slot), 0u);
  LgDbFieldPutText(slot, S("hello"));
  EXPECT_EQ(LgDbFieldGetText(LgDbRecFieldLookup(rec, Field("EMPTY"))), "hello");
}

// ---------------------------------------------------------------------------
// Kinds.

TEST_F(RecordTest, TheInteger5AndTheText5LiveSideBySide) {
  ChHandle rec = LgDbRecCreate(near_);
  ChHandle f = Field("Value");
  LgDbRecPutInt(rec, f, 5);
  LgDbRecPutText(rec, f, S("5"));
  int32_t v = 0;
  EXPECT_TRUE(LgDbRecGetInt(rec, f, &v));
  EXPECT_EQ(v, 5);
  EXPECT_EQ(LgDbRecGetText(rec, f), "5");
  EXPECT_EQ(LgDbRecFieldCount(rec), 1);
  // The slot holds a list: one node per kind, the kind in the second datum.
  ChHandle list = LgDbSlotValue(LgDbRecFieldLookup(rec, f));
  EXPECT_EQ(LgDbKindOf(list), kLgDbMultiKind);
  uint32_t d, kind;
  ChLiGenLast(list, &d, &kind, kChLiNodeType);
  EXPECT_EQ(kind, kLgDbTextType);
  // Writers replace their own kind only.
  LgDbRecPutInt(rec, f, 6);
  LgDbRecPutText(rec, f, S("six"));
  LgDbRecPutTd(rec, f, LgDbTd{20240229, 235959});
  EXPECT_TRUE(LgDbRecGetInt(rec, f, &v));
  EXPECT_EQ(v, 6);
  EXPECT_EQ(LgDbRecGetText(rec, f), "six");
  EXPECT_EQ(ChLiGenCount(LgDbSlotValue(LgDbRecFieldLookup(rec, f)), kChLiNodeType), 3);
  // Removing kinds collapses the list back to a single value.
  EXPECT_TRUE(LgDbRecFieldRemoveKind(rec, f, kLgDbTdType));
  EXPECT_TRUE(LgDbRecFieldRemoveKind(rec, f, kLgDbIntType));
  EXPECT_FALSE(LgDbRecFieldRemoveKind(rec, f, kLgDbIntType));
  EXPECT_EQ(ChType(LgDbSlotValue(LgDbRecFieldLookup(rec, f))), kLgDbTextType);
  EXPECT_TRUE(LgDbRecFieldRemoveKind(rec, f, kLgDbTextType));
  EXPECT_FALSE(LgDbRecHasField(rec, f));
}

TEST_F(RecordTest, IntegersChangeInPlace) {
  ChHandle rec = LgDbRecCreate(near_);
  ChHandle f = Field("Count");
  LgDbRecPutInt(rec, f, 1);
  ChHandle h = LgDbIntHnd(rec, f);
  EXPECT_EQ(LgDbRecPlusInt(rec, f, 41), 42);
  EXPECT_EQ(LgDbIntHnd(rec, f), h);
  EXPECT_EQ(LgDbIntHndInc(h), 43);
  LgDbIntHndSet(h, -9);
  EXPECT_EQ(LgDbIntHndValue(h), -9);
  EXPECT_EQ(LgDbRecPlusInt(rec, Field("Fresh"), 3), 3);
  EXPECT_EQ(LgDbIntHnd(rec, Field("Absent")), 0u);
  ChHandle tree = BtDbCreate(near_);
  LgDbRecPutBt(rec, Field("B"), tree);
  LgDbRecPutBt(rec, Field("B"), tree);  // the same tree again is kept
  EXPECT_EQ(BtDbCount(tree), 0u);
}

TEST_F(RecordTest, TextsOf4072BytesOrMoreGoToATextBuffer) {
  ChHandle rec = LgDbRecCreate(near_);
  std::mt19937 rng(5);
  for (int n : {0, 1, 4062, 4063, 4071, 4072, 4048 * 3, 20000}) {
    std::string text(size_t(n), '\0');
    for (char& c : text) c = char(rng());
    ChHandle f = Field("Body");
    LgDbRecPutText(rec, f, S(text));
    ChHandle h = LgDbRecGetTextBuf(rec, f);
    uint16_t type = ChType(h);
    if (n >= 4072) {
      EXPECT_EQ(type, kLgDbTextBufType) << n;
      EXPECT_EQ(Word(h, 0), uint32_t(n));
    } else {
      EXPECT_EQ(type, n > 4062 ? kChLiNodeType : kLgDbTextType) << n;
    }
    EXPECT_EQ(LgDbRecGetText(rec, f).Str(), text) << n;
    EXPECT_EQ(LgDbTextHndLength(h), uint32_t(n));
    std::string joined;
    int pieces = 0;
    for (const St& piece : LgDbRecGetTextLi(rec, f)) {
      joined += piece.Str();
      ++pieces;
    }
    EXPECT_EQ(joined, text);
    EXPECT_EQ(pieces, n >= 4072 ? (n + 4047) / 4048 : n > 4062 ? (n + 4062) / 4063 : 1) << n;
  }
  // A long text in a list of values is still a text.
  LgDbRecPutInt(rec, Field("Body"), 3);
  EXPECT_EQ(LgDbRecGetText(rec, Field("Body")).Length(), 20000);
}

TEST_F(RecordTest, TextIdentifiersGoThroughTheNameSpace) {
  ChHandle rec = LgDbRecCreate(near_);
  ChHandle type = Field("forum-root");
  LgDbRecPutTextId(rec, Field("Type"), type);
  EXPECT_EQ(LgDbRecGetText(rec, Field("Type")), "forum-root");
  LgDbRecPutText(rec, Field("Type"), S("FORUM-ROOT"));
  EXPECT_EQ(LgDbRecGetTextId(rec, Field("Type")), type);
  LgDbRecPutText(rec, Field("Type"), StCreateRepeat(3001, 't'));
  EXPECT_EQ(LgDbRecGetTextId(rec, Field("Type")), 0u);
}

TEST_F(RecordTest, WrongHandlesHalt) {
  ChHandle notRec = LgDbTextToHnd(S("x"), near_);
  ChHandle rec = LgDbRecCreate(near_);
  EXPECT_EQ(quiltest::HaltText([&] { LgDbRecPutInt(notRec, Field("A"), 1); }),
            "assert:LgDbRecPutInt-- RecH");
  EXPECT_EQ(quiltest::HaltText([&] { LgDbRecFieldPut(notRec, Field("A"), notRec); }),
            "assert:LgDbRecFieldPut-- RecH");
  EXPECT_EQ(quiltest::HaltText([&] { LgDbRecPutRec(rec, Field("A"), notRec); }),
            "assert:LgDbRecPutRec-- Value");
  EXPECT_EQ(quiltest::HaltText([&] { LgDbRecPutBt(rec, Field("A"), rec); }),
            "assert:LgDbRecPutBt-- Value");
  ChHandle fake = ChLiGenAppend(ChLiGenCreate(near_, kChLiNodeType), rec, 0, kChLiNodeType);
  EXPECT_EQ(quiltest::HaltText([&] { LgDbRecFieldPut(rec, Field("A"), fake); }),
            "assert:LgDbRecFieldPut-- Text");
  EXPECT_EQ(quiltest::HaltText([&] { LgDbRecPutInt(rec, notRec, 1); }),
            "assert:LgDbRecPutInt-- Field");
}

// ---------------------------------------------------------------------------
// Destruction and copies.

TEST_F(RecordTest, DestroyingARecordDestroysEveryValueButTheRecordsItReferences) {
  ChHandle other = LgDbRecCreate(near_);
  // Intern the names first: they stay with the file.
  ChHandle scratch = LgDbRecCreate(near_);
  lgdbtest::FillEveryKind(scratch, other);
  LgDbRecDestroy(scratch);
  const auto before = lgdbtest::LiveChunks(part_);

  ChHandle rec = LgDbRecCreate(near_);
  lgdbtest::FillEveryKind(rec, other);
  auto during = lgdbtest::LiveChunks(part_);
  auto was = before;
  EXPECT_EQ(during[kLgDbRecType] - was[kLgDbRecType], 4);  // 19 fields: 4 chunks
  EXPECT_GT(during[627], was[627] + 1);                    // BtDb nodes
  EXPECT_GT(during[630], was[630] + 1);                    // BtiDb nodes
  EXPECT_GT(during[kLgDbTextBufType], 0);
  EXPECT_GT(during[kLgDbPictDataType], 1);
  LgDbRecDestroy(rec);
  EXPECT_EQ(lgdbtest::LiveChunks(part_), before);
  EXPECT_EQ(ChType(other), kLgDbRecType);  // the referenced record stays
}

TEST_F(RecordTest, ClearKeepsTheFirstChunkAndItsDatabaseWord) {
  ChHandle db = LgDbCreate(near_);
  ChHandle rec = LgDbRecCreate(near_);
  LgDbRecInsert(db, rec, kLgDbNoPos);
  std::vector<ChHandle> fields;
  for (int i = 0; i < 12; ++i) fields.push_back(Field("c" + std::to_string(i)));
  int before = lgdbtest::LiveChunkTotal(part_);
  for (ChHandle f : fields) LgDbRecPutText(rec, f, S("v"));
  LgDbRecClear(rec);
  EXPECT_EQ(lgdbtest::LiveChunkTotal(part_), before);
  EXPECT_EQ(LgDbRecGetList(rec), db);
  EXPECT_EQ(LgDbRecFieldCount(rec), 0);
}

TEST_F(RecordTest, DupAndCopyToGiveIndependentCopies) {
  ChHandle other = LgDbRecCreate(near_);
  ChHandle rec = LgDbRecCreate(near_);
  lgdbtest::FillEveryKind(rec, other);
  auto before = lgdbtest::LiveChunks(part_);
  ChHandle dup = LgDbRecDup(rec, near_);
  lgdbtest::ExpectEveryKind(dup, other);
  EXPECT_NE(LgDbRecGetBt(dup, Field("EmailUsername")), LgDbRecGetBt(rec, Field("EmailUsername")));
  LgDbRecPutInt(dup, Field("Int"), 1);
  int32_t v;
  EXPECT_TRUE(LgDbRecGetInt(rec, Field("Int"), &v));
  EXPECT_EQ(v, -17);
  // The copy shares no chunk with the original.
  LgDbRecDestroy(dup);
  EXPECT_EQ(lgdbtest::LiveChunks(part_), before);

  // Into another file: names are interned there.
  ChPart part2 = NewPart("second.db");
  ChHandle from = LgDbRecCreate(near_);
  LgDbRecPutText(from, Field("Title"), S("t"));
  LgDbRecPutInt(from, Field("Size"), 3);
  ChHandle to = LgDbRecCreate(ChPartNear(part2));
  ChHandle size2 = LgDbFieldIdGet(ChPartNear(part2), S("Size"));
  LgDbRecPutInt(to, size2, 9);
  LgDbRecPutText(to, size2, S("kept"));
  LgDbRecCopyTo(from, to);
  EXPECT_EQ(LgDbRecGetText(to, LgDbFieldIdGet(ChPartNear(part2), S("TITLE"))), "t");
  EXPECT_TRUE(LgDbRecGetInt(to, size2, &v));
  EXPECT_EQ(v, 3);
  EXPECT_EQ(LgDbRecGetText(to, size2), "kept");
}

// ---------------------------------------------------------------------------
// Walks.

TEST_F(RecordTest, WalksVisitEveryFieldAndEveryTree) {
  ChHandle other = LgDbRecCreate(near_);
  ChHandle rec = LgDbRecCreate(near_);
  lgdbtest::FillEveryKind(rec, other);
  std::vector<std::string> names;
  LgDbRecIter it = LgDbRecStart(rec);
  ChHandle f, v;
  while (LgDbRecNext(it, &f, &v, nullptr)) names.push_back(LgDbFieldIdText(f).Str());
  EXPECT_EQ(names.size(), 19u);
  EXPECT_EQ(names.front(), "Int");
  EXPECT_EQ(names.back(), "Many");
  std::map<std::string, uint16_t> trees;
  LgDbRecBtIter bt = LgDbRecBtStart(rec);
  ChHandle tree;
  uint16_t kind;
  while (LgDbRecBtNext(bt, &f, &tree, &kind)) trees[LgDbFieldIdText(f).Str()] = kind;
  LgDbRecBtStop(bt);
  EXPECT_EQ(trees, (std::map<std::string, uint16_t>{{"Bti", kLgDbBtiType},
                                                    {"Bti1", kLgDbBti1Type},
                                                    {"EmailUsername", kLgDbBtType},
                                                    {"Many", kLgDbBtType},
                                                    {"MessageInfo", kLgDbBtmType},
                                                    {"UniqueIdx", kLgDbBtihType}}));
  EXPECT_TRUE(LgDbRecIsLegal(rec));
}

TEST_F(RecordTest, ADamagedHandleIsMissingInsteadOfAHalt) {
  ChHandle rec = LgDbRecCreate(near_);
  for (int i = 0; i < 8; ++i) LgDbRecPutInt(rec, Field("d" + std::to_string(i)), i);
  ChHandle second = Word(rec, 1);
  ChHandle gone = LgDbRecCreate(near_);
  ChDestroy(gone);
  EXPECT_FALSE(LgDbDataIsLegal(gone));
  EXPECT_FALSE(LgDbDataIsLegal(second + 1));                      // inside a block
  EXPECT_FALSE(LgDbDataIsLegal(ChHandleMake(part_, 5000, 16)));   // past the part
  EXPECT_TRUE(LgDbDataIsLegal(second));
  // Break the chain: the walk stops after the first chunk's fields.
  {
    ChLocked c(rec);
    St32(c.Data() + 4, gone);
    c.MarkModified();
  }
  int fields = 0;
  LgDbRecIter it = LgDbRecStart(rec);
  while (LgDbRecNext(it, nullptr, nullptr, nullptr)) ++fields;
  EXPECT_EQ(fields, 5);
  EXPECT_FALSE(LgDbRecIsLegal(rec));
  // A value handle that names nothing also ends the walk.
  {
    ChLocked c(rec);
    St32(c.Data() + 4, second);
    St32(c.Data() + 12, gone);
    c.MarkModified();
  }
  fields = 0;
  it = LgDbRecStart(rec);
  while (LgDbRecNext(it, nullptr, nullptr, nullptr)) ++fields;
  EXPECT_EQ(fields, 0);
  EXPECT_FALSE(LgDbRecIsLegal(rec));
}

// ---------------------------------------------------------------------------
// Random field operations against a model.

using ModelValue = std::map<uint16_t, std::variant<int32_t, std::string, LgDbTd>>;

TEST_F(RecordTest, RandomPutsGetsAndRemovesAgreeWithAModel) {
  std::mt19937 rng(11);
  std::vector<ChHandle> fields;
  for (int i = 0; i < 23; ++i) fields.push_back(Field("m" + std::to_string(i)));
  int baseline = lgdbtest::LiveChunkTotal(part_);
  ChHandle rec = LgDbRecCreate(near_);
  std::map<ChHandle, ModelValue> model;

  auto check = [&] {
    for (ChHandle f : fields) {
      auto it = model.find(f);
      ModelValue want = it == model.end() ? ModelValue() : it->second;
      ASSERT_EQ(LgDbRecHasField(rec, f), !want.empty());
      int32_t i = 0;
      bool hasInt = LgDbRecGetInt(rec, f, &i);
      ASSERT_EQ(hasInt, want.count(kLgDbIntType) != 0);
      if (hasInt) {
        ASSERT_EQ(i, std::get<int32_t>(want[kLgDbIntType]));
      }
      St text = LgDbRecGetText(rec, f);
      ASSERT_EQ(!text.IsNil(), want.count(kLgDbTextType) != 0);
      if (!text.IsNil()) {
        ASSERT_EQ(text.Str(), std::get<std::string>(want[kLgDbTextType]));
      }
      LgDbTd td;
      bool hasTd = LgDbRecGetTd(rec, f, &td);
      ASSERT_EQ(hasTd, want.count(kLgDbTdType) != 0);
      if (hasTd) {
        ASSERT_EQ(td, std::get<LgDbTd>(want[kLgDbTdType]));
      }
    }
    ASSERT_EQ(LgDbRecFieldCount(rec), int32_t(model.size()));
    ASSERT_TRUE(LgDbRecIsLegal(rec));
  };

  for (int step = 0; step < 6000; ++step) {
    ChHandle f = fields[rng() % fields.size()];
    switch (rng() % 7) {
      case 0:
      case 1: {
        int32_t v = int32_t(rng());
        LgDbRecPutInt(rec, f, v);
        model[f][kLgDbIntType] = v;
        break;
      }
      case 2:
      case 3: {
        std::string t(rng() % 3 == 0 ? rng() % 6000 : rng() % 20, char('a' + rng() % 26));
        LgDbRecPutText(rec, f, StFromView(t));
        model[f][kLgDbTextType] = t;
        break;
      }
      case 4: {
        LgDbTd td{int32_t(rng() % 30000000), int32_t(rng() % 240000)};
        LgDbRecPutTd(rec, f, td);
        model[f][kLgDbTdType] = td;
        break;
      }
      case 5: {
        uint16_t kinds[] = {kLgDbIntType, kLgDbTextType, kLgDbTdType};
        uint16_t k = kinds[rng() % 3];
        bool had = model.count(f) && model[f].count(k);
        ASSERT_EQ(LgDbRecFieldRemoveKind(rec, f, k), had);
        if (had) {
          model[f].erase(k);
          if (model[f].empty()) model.erase(f);
        }
        break;
      }
      default:
        ASSERT_EQ(LgDbRecFieldRemove(rec, f), model.erase(f) == 1);
    }
    if (step % 200 == 0) check();
  }
  check();
  LgDbRecDestroy(rec);
  EXPECT_EQ(lgdbtest::LiveChunkTotal(part_), baseline);
}

}  // namespace
