// Name spaces: the hash byte for byte, probing past collisions and around
// the end of the key range, case-insensitive look-up, the length limit,
// and objects found by name through the document root.
#include <string>

#include "Doc.h"
#include "NmSp.h"
#include "Sl.h"
#include "halt_text.h"
#include "lgdb_test_util.h"

using namespace quil;

namespace {

St S(const std::string& s) { return StFromView(s); }

class NmSpTest : public lgdbtest::LgDbTest {
 protected:
  void SetUp() override {
    lgdbtest::LgDbTest::SetUp();
    nmsp_ = NmSpCreate(near_);
  }
  // The name chunk stored at a key of the map.
  ChHandle At(uint32_t key) const { return SlGetInterval(nmsp_, key, nullptr, nullptr); }

  ChHandle nmsp_ = 0;
};

TEST(NmSpHash, GroupsOfFourShiftedZeroOneTwoAndTheTail) {
  EXPECT_EQ(NmSpNameHash(S("")), 0u);
  EXPECT_EQ(NmSpNameHash(S("A")), 0x41u);
  EXPECT_EQ(NmSpNameHash(S("ABC")), 0x414243u);
  EXPECT_EQ(NmSpNameHash(S("ABCD")), 0x41424344u);
  EXPECT_EQ(NmSpNameHash(S("ABCDE")), 0x41424344u ^ (0x45u << 1));
  EXPECT_EQ(NmSpNameHash(S("ABCDEFGHIJ")),
            0x41424344u ^ (0x45464748u << 1) ^ (0x494Au << 2));
  // The fourth group is shifted by 0 again; bits shifted out are lost.
  EXPECT_EQ(NmSpNameHash(S("ABCDEFGHIJKLMNOP")),
            0x41424344u ^ (0x45464748u << 1) ^ (0x494A4B4Cu << 2) ^ 0x4D4E4F50u);
  EXPECT_EQ(NmSpNameHash(S(std::string("\xC0\0\0\0\xC0\0\0\0", 8))),
            0xC0000000u ^ uint32_t(0xC0000000u << 1));
}

TEST(NmSpHash, UpperCasesAsciiOnlyAndFoldsAllOnesToZero) {
  EXPECT_EQ(NmSpNameHash(S("name")), NmSpNameHash(S("NAME")));
  EXPECT_NE(NmSpNameHash(S("\xe9")), NmSpNameHash(S("\xc9")));  // Latin-1 stays
  EXPECT_EQ(NmSpNameHash(S("\xff\xff\xff\xff")), 0u);
}

TEST_F(NmSpTest, NamesDifferingInCaseShareOneIdentifier) {
  ChHandle id = NmSpIdGet(nmsp_, S("Name"));
  EXPECT_EQ(NmSpIdGet(nmsp_, S("NAME")), id);
  EXPECT_EQ(NmSpLookup(nmsp_, S("name")), id);
  EXPECT_EQ(NmSpNameGet(nmsp_, id), "Name");  // as first added
  EXPECT_EQ(NmSpCount(nmsp_), 1u);
  EXPECT_EQ(ChType(id), kNmSpNameType);
  // The chunk: object 0, the length, the bytes.
  EXPECT_EQ(ChunkBytes(id), std::string("\0\0\0\0\x04\0\0\0Name", 12));
  EXPECT_EQ(At(NmSpNameHash(S("Name"))), id);
  // Adding always adds; look-ups keep finding the first.
  EXPECT_NE(NmSpNameAdd(nmsp_, S("name")), id);
  EXPECT_EQ(NmSpIdGet(nmsp_, S("nAmE")), id);
}

TEST_F(NmSpTest, EqualHashesTakeConsecutiveKeysAndBothAreFound) {
  // "AB" is a tail of 0x4142 shifted 0, "\0\0AB" a group of the same value.
  St a = S("AB"), b = S(std::string("\0\0AB", 4));
  ASSERT_EQ(NmSpNameHash(a), NmSpNameHash(b));
  uint32_t key = NmSpNameHash(a);
  ChHandle ia = NmSpIdGet(nmsp_, a), ib = NmSpIdGet(nmsp_, b);
  EXPECT_NE(ia, ib);
  EXPECT_EQ(At(key), ia);
  EXPECT_EQ(At(key + 1), ib);
  EXPECT_EQ(NmSpLookup(nmsp_, a), ia);
  EXPECT_EQ(NmSpLookup(nmsp_, b), ib);
  // A third name hashing to the next key probes past the second.
  St c = S("AC");
  ASSERT_EQ(NmSpNameHash(c), key + 1);
  ChHandle ic = NmSpIdGet(nmsp_, c);
  EXPECT_EQ(At(key + 2), ic);
  EXPECT_EQ(NmSpLookup(nmsp_, c), ic);
  // A name absent from a chain is not found, and the probe stops at the gap.
  EXPECT_EQ(NmSpLookup(nmsp_, S(std::string("\0\0\0\0AB", 6))), 0u);
  std::string report;
  EXPECT_TRUE(NmSpCheck(nmsp_, &report)) << report;
}

TEST_F(NmSpTest, ProbingWrapsFromTheLastKeyToZero) {
  St a = S("\xff\xff\xff\xfe"), b = S(std::string("\xff\xff\xff\xfe\0\0\0\0", 8));
  ASSERT_EQ(NmSpNameHash(a), 0xFFFFFFFEu);
  ASSERT_EQ(NmSpNameHash(b), 0xFFFFFFFEu);
  ChHandle ia = NmSpIdGet(nmsp_, a), ib = NmSpIdGet(nmsp_, b);
  EXPECT_EQ(At(0xFFFFFFFEu), ia);
  EXPECT_EQ(At(0), ib);
  EXPECT_EQ(NmSpLookup(nmsp_, b), ib);
  std::string report;
  EXPECT_TRUE(NmSpCheck(nmsp_, &report)) << report;
}

TEST_F(NmSpTest, NamesOfAtMost3000BytesAreAccepted) {
  St longest = StCreateRepeat(3000, 'x');
  ChHandle id = NmSpIdGet(nmsp_, longest);
  EXPECT_EQ(NmSpIdText(id), longest);
  EXPECT_EQ(quiltest::HaltText([&] { NmSpIdGet(nmsp_, StCreateRepeat(3001, 'x')); }),
            "assert:NmSpAddName-- Name is too long");
  EXPECT_EQ(quiltest::HaltText([&] { NmSpNameAdd(nmsp_, StCreateRepeat(3001, 'y')); }),
            "assert:NmSpAddName-- Name is too long");
  EXPECT_EQ(quiltest::HaltText([&] { NmSpNameAdd(nmsp_, St()); }), "assert:NmSpNameAdd-- Name");
}

TEST_F(NmSpTest, CheckFindsANameAwayFromItsHash) {
  ChHandle id = NmSpIdGet(nmsp_, S("Moved"));
  uint32_t key = NmSpNameHash(S("Moved"));
  SlReplaceSeg(nmsp_, 0, key, 1, 1);
  SlReplaceSeg(nmsp_, id, key + 5, 1, 1);
  std::string report;
  EXPECT_FALSE(NmSpCheck(nmsp_, &report));
  EXPECT_NE(report.find("empty key"), std::string::npos) << report;
  EXPECT_EQ(NmSpLookup(nmsp_, S("Moved")), 0u);
}

// ---------------------------------------------------------------------------
// The document root.

TEST_F(NmSpTest, ObjectsAreFoundByNameAndKind) {
  EXPECT_EQ(DocObjectLookup(part_, S("forum.db"), kLgDbRecType), 0u);
  ChHandle head = LgDbGetHead(LgDbCreate(near_));
  DocObjectEnter(part_, S("forum.db"), head);
  EXPECT_EQ(DocObjectLookup(part_, S("FORUM.DB"), kLgDbRecType), head);
  EXPECT_EQ(DocObjectLookup(part_, S("forum.db"), kLgDbIntType), 0u);
  // The name is an ordinary name of the space: a field of that name has
  // the same identifier.
  EXPECT_EQ(NmSpObject(Field("Forum.Db")), head);
  DocObjectEnter(part_, S("forum.db"), 0);
  EXPECT_EQ(DocObjectLookup(part_, S("forum.db"), kLgDbRecType), 0u);
}

TEST_F(NmSpTest, TheNameSpaceHangsAtEntry13OfTheRootAndLookupsCreateNothing) {
  ChPart other = NewPart("other.db");
  int before = lgdbtest::LiveChunkTotal(other);
  EXPECT_EQ(DocObjectLookup(other, S("x"), kLgDbRecType), 0u);
  EXPECT_EQ(LgDbFieldIdLookup(ChPartNear(other), S("x")), 0u);
  EXPECT_EQ(lgdbtest::LiveChunkTotal(other), before);

  ChHandle id = LgDbFieldIdGet(ChPartNear(other), S("Title"));
  ChHandle root = ChGetRoot(other);
  EXPECT_EQ(ChType(root), kDocRootType);
  EXPECT_EQ(ChSize(root), 64u);
  EXPECT_EQ(NmSpLookup(DocRootEntry(other, kDocNameSpaceIndex), S("title")), id);
  EXPECT_EQ(DocRootEntry(other, 12), 0u);
  // Identifiers belong to their file.
  EXPECT_NE(Field("Title"), id);
  EXPECT_EQ(LgDbNameDup(id, near_), Field("Title"));
}

}  // namespace
