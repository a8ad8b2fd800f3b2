// The database file byte for byte: header, space map, page images, handles
// in file form, filler pages, the type table, and the checks on open.
#include "Af.h"
#include "Ex.h"
#include "halt_text.h"
#include "store_test_util.h"

using namespace quil;
using storetest::Be32At;
using storetest::Le32At;
using storetest::PutBe32At;
using storetest::ReadFileBytes;
using storetest::WriteFileBytes;

namespace {

class ChFormat : public storetest::StoreTest {
 protected:
  // A saved file with a master part and one raw chunk on page 1.
  std::string SavedFile() {
    ChPart part = NewPart();
    ChHandle big = NewChunk(ChPartNear(part), std::string(4000, 'x'));
    EXPECT_EQ(ChPageOf(big), 1u);
    uint32_t rev;
    EXPECT_EQ(ChPartSave(part, 0, &rev), 0);
    EXPECT_EQ(ChFiClose(ChGetChFi(part)), 0);
    return "quil.db";
  }

  uint16_t OpenStatus(const std::string& path) {
    ChFi f = nullptr;
    uint16_t status = ChFiOpen(path, kChFiReadWrite, &f);
    if (status == 0) {
      EXPECT_EQ(ChFiClose(f), 0);
    }
    return status;
  }
};

TEST_F(ChFormat, NewFileIsExactlyTheHeaderRegion) {
  ChFi f;
  ASSERT_EQ(ChFiCreate("quil.db", &f), 0);
  ASSERT_EQ(ChFiClose(f), 0);
  std::string bytes = ReadFileBytes("quil.db");
  ASSERT_EQ(bytes.size(), 593920u);

  std::string head(4096, '\0');
  const uint32_t words[20] = {0x41555448, 0, 0, 20, 4096, 0xFFFFFFFF, 0xFFFFFFFF,
                              0, 0, ChFileMaxPages(), 0, 0, 0, 0, 0, 0, 0, 0, 19, 0};
  for (int i = 0; i < 20; ++i) PutBe32At(head, size_t(4 * i), words[i]);
  EXPECT_EQ(bytes.substr(0, 4096), head);
  EXPECT_EQ(bytes.substr(0, 4), "AUTH");
  EXPECT_EQ(ChFileMaxPages(), 524448u);

  // The first 145 bits of the space map, least significant bit first.
  std::string map(524288, '\0');
  for (int i = 0; i < 18; ++i) map[size_t(i)] = '\xFF';
  map[18] = '\x01';
  EXPECT_EQ(bytes.substr(4096, 524288), map);
  EXPECT_EQ(bytes.substr(528384), std::string(65536, '\0'));
}

TEST_F(ChFormat, CreateRefusesAnExistingFile) {
  storetest::Touch("quil.db");
  ChFi f;
  EXPECT_EQ(ChFiCreate("quil.db", &f), 6);
}

TEST_F(ChFormat, FirstSaveOfAPartWritesPageZero) {
  ChPart part = NewPart();
  ChSetRoot(part, ChPartInfoHandle(part));
  uint32_t rev = 0;
  ASSERT_EQ(ChPartSave(part, 0, &rev), 0);
  EXPECT_EQ(rev, 1u);
  ASSERT_EQ(ChFiClose(ChGetChFi(part)), 0);
  std::string bytes = ReadFileBytes("quil.db");
  ASSERT_EQ(bytes.size(), 593920u + 4096);
  EXPECT_EQ(Be32At(bytes, 4), 1u);     // revision
  EXPECT_EQ(Be32At(bytes, 4092), 1u);  // its copy
  EXPECT_EQ(Be32At(bytes, 76), 0u);    // save marker cleared
  EXPECT_EQ(uint8_t(bytes[4096 + 18]), 0x03);  // disk pages 144 and 145

  // Page 0: header, the part information block, one free block.
  std::string page = bytes.substr(593920);
  std::string expectHead(16, '\0');
  const uint8_t head[16] = {0x0E, 0xC0, 0x01, 0x40, 0x00, 0x13, 1, 1,
                            0, 0, 0, 1, 0, 0, 0, 0};
  memcpy(expectHead.data(), head, 16);
  EXPECT_EQ(page.substr(0, 16), expectHead);
  const uint8_t info[8] = {0, 0, 0x01, 0x28, 0x02, 0x68, 0, 0};
  EXPECT_EQ(page.substr(16, 8), std::string(reinterpret_cast<const char*>(info), 8));
  EXPECT_EQ(Le32At(page, 24), 1u);               // word 0: revision
  EXPECT_EQ(Le32At(page, 24 + 20), 0x0101u);     // word 5: root in file form
  EXPECT_EQ(Le32At(page, 24 + 28), 1u);          // word 7: page count
  const uint8_t freeBlock[16] = {0x01, 0x30, 0x0E, 0xC0, 0, 0, 0, 0,
                                 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(page.substr(320, 16),
            std::string(reinterpret_cast<const char*>(freeBlock), 16));
  EXPECT_EQ(page.substr(336), std::string(4096 - 336, '\0'));
}

TEST_F(ChFormat, HandleFileForm) {
  EXPECT_EQ(ChHandleToFile(ChHandleMake(3, 5, 48)), 5379u);
  EXPECT_EQ(ChHandleFromFile(5379, 3), ChHandleMake(3, 5, 48));
  for (uint32_t v : {0u, 0xFFFFFFFFu, kChNil, 0x12u, 0x7F00FF12u})
    EXPECT_EQ(ChHandleToFile(v), v) << v;
  EXPECT_EQ(ChHandleFromFile(0xFFFFFFFD, 3), kChNil);
  EXPECT_EQ(ChHandleFromFile(0x2FF, 3), 0x2FFu);  // bit 9 set: not a handle
}

TEST_F(ChFormat, HandleInsideAChunkIsStoredInFileForm) {
  ChPart part = NewPart();
  ChHandle near = ChPartNear(part);
  NewChunk(near, std::string(3768, 'a'));  // fills page 0 after the part info
  for (int i = 0; i < 4; ++i) NewChunk(near, std::string(4072, 'b'));
  ChHandle first = NewChunk(near, std::string(24, 'c'));
  ChHandle target = NewChunk(first, std::string(8, 'd'));
  ASSERT_EQ(ChPageOf(target), 5u);
  ASSERT_EQ(ChOffsetOf(target), 48u);
  ChHandle list;
  auto* words = static_cast<uint32_t*>(ChCreate(kUtTypeListHead, 16, target, &list));
  words[0] = target;
  words[1] = kChNil;
  words[2] = 0;
  words[3] = 77;
  ChUnlockMod(words);
  ASSERT_EQ(ChOffsetOf(list), 64u);
  uint32_t rev;
  ASSERT_EQ(ChPartSave(part, 0, &rev), 0);
  std::string bytes = ReadFileBytes("quil.db");
  size_t data = 593920 + 5 * 4096 + 64 + 8;
  EXPECT_EQ(Le32At(bytes, data), 5379u);
  EXPECT_EQ(Le32At(bytes, data + 4), kChNil);
  EXPECT_EQ(Le32At(bytes, data + 8), 0u);
  EXPECT_EQ(Le32At(bytes, data + 12), 77u);
  ChFi f = ChGetChFi(part);
  ASSERT_EQ(ChFiClose(f), 0);

  // Read back under another part number, handles follow the part.
  ChFi again;
  ASSERT_EQ(ChFiOpen("quil.db", kChFiReadOnly, &again), 0);
  ChPart reopened;
  ASSERT_EQ(ChFiPartOpen(again, &reopened), 0);
  ChHandle list2 = ChHandleMake(reopened, 5, 64);
  auto* back = static_cast<const uint32_t*>(ChDeref(list2));
  EXPECT_EQ(back[0], ChHandleMake(reopened, 5, 48));
  EXPECT_EQ(back[1], kChNil);
  EXPECT_EQ(ChFiClose(again), 0);
}

TEST_F(ChFormat, PagesWrittenPastTheEndGetFillersBefore) {
  ChPart part = NewPart();
  ChHandle near = ChPartNear(part);
  NewChunk(near, std::string(3768, 'a'));
  for (int i = 1; i <= 6; ++i) NewChunk(near, std::string(4072, char('0' + i)));
  uint32_t rev;
  ASSERT_EQ(ChPartSave(part, 0, &rev), 0);
  ASSERT_EQ(ReadFileBytes("quil.db").size(), 593920u + 7 * 4096);

  ChHandle gone[3];
  for (auto& h : gone) h = NewChunk(near, std::string(4072, 'g'));
  ChHandle kept = NewChunk(near, std::string(4072, 'k'));
  ASSERT_EQ(ChPageOf(kept), 10u);
  for (ChHandle h : gone) ChDestroy(h);
  ASSERT_EQ(ChPartSave(part, 0, &rev), 0);

  std::string bytes = ReadFileBytes("quil.db");
  ASSERT_EQ(bytes.size(), 593920u + 11 * 4096);
  std::string page10 = bytes.substr(593920 + 10 * 4096, 4096);
  EXPECT_EQ(Be32At(page10, 12), 10u);
  for (int p = 7; p <= 9; ++p) {
    std::string filler = bytes.substr(593920 + size_t(p) * 4096, 4096);
    EXPECT_EQ(filler.substr(12, 4), "\x12\x34\x56\x78") << p;
    EXPECT_EQ(filler.substr(0, 12), page10.substr(0, 12)) << p;
    EXPECT_EQ(filler.substr(16), page10.substr(16)) << p;
  }
  // Disk pages 144-151 allocated; the freed 152-154 clear; 155 allocated.
  EXPECT_EQ(uint8_t(bytes[4096 + 18]), 0xFF);
  EXPECT_EQ(uint8_t(bytes[4096 + 19]), 0x08);
  EXPECT_EQ(ChFiClose(ChGetChFi(part)), 0);
}

TEST_F(ChFormat, ShortFileAndWrongMagicAreRefusedWith3) {
  WriteFileBytes("short.db", std::string(4095, 'A'));
  EXPECT_EQ(OpenStatus("short.db"), 3);
  std::string bytes = ReadFileBytes(SavedFile());
  bytes[0] = 'B';
  WriteFileBytes("magic.db", bytes);
  EXPECT_EQ(OpenStatus("magic.db"), 3);
  ChFi f;
  // ENOENT is the file layer's "No such file.", not the store's 2.
  EXPECT_EQ(ChFiOpen("missing.db", kChFiReadWrite, &f), kEcNoFile);
}

TEST_F(ChFormat, SaveMarkerIsRefusedWith4UnlessIgnorecorrupted) {
  std::string bytes = ReadFileBytes(SavedFile());
  PutBe32At(bytes, 76, 1);
  WriteFileBytes("quil.db", bytes);
  EXPECT_EQ(OpenStatus("quil.db"), 4);
  storetest::Touch("ignorecorrupted");
  ChFi f;
  ASSERT_EQ(ChFiOpen("quil.db", kChFiReadWrite, &f), 0);
  EXPECT_EQ(ChFiGet(f)->head[kHdSaving], 0u);
  // Cleared on disk as well: the next open does not refuse the file again.
  EXPECT_EQ(Be32At(ReadFileBytes("quil.db"), 76), 0u);
  EXPECT_NE(ChFiOpenNote(f).find("ignorecorrupted"), std::string::npos);
  ChPart part;
  ASSERT_EQ(ChFiPartOpen(f, &part), 0);
  EXPECT_EQ(ChSize(ChHandleMake(part, 1, 16)), 4000u);
  uint32_t rev;
  ChSetRoot(part, 0);
  ASSERT_EQ(ChPartSave(part, 0, &rev), 0);
  EXPECT_EQ(ChFiClose(f), 0);
  EXPECT_EQ(Be32At(ReadFileBytes("quil.db"), 76), 0u);
}

TEST_F(ChFormat, TornHeaderIsRefusedUnlessTolerated) {
  std::string bytes = ReadFileBytes(SavedFile());
  PutBe32At(bytes, 4092, 7);
  WriteFileBytes("quil.db", bytes);
  EXPECT_EQ(OpenStatus("quil.db"), 4);
  PutBe32At(bytes, 40, 1);
  WriteFileBytes("quil.db", bytes);
  EXPECT_EQ(OpenStatus("quil.db"), 0);
}

TEST_F(ChFormat, OtherVersionIs2200AndZeroFlagsRead19) {
  std::string bytes = ReadFileBytes(SavedFile());
  std::string old = bytes;
  PutBe32At(old, 12, 19);
  WriteFileBytes("old.db", old);
  EXPECT_EQ(OpenStatus("old.db"), 2200);
  PutBe32At(bytes, 72, 0);
  WriteFileBytes("quil.db", bytes);
  ChFi f;
  ASSERT_EQ(ChFiOpen("quil.db", kChFiReadOnly, &f), 0);
  EXPECT_EQ(ChFiGet(f)->head[kHdFlags], 19u);
  EXPECT_EQ(ChFiClose(f), 0);
}

TEST_F(ChFormat, FileOpenedTwiceIsTheSameRecord) {
  SavedFile();
  ChFi a, b;
  ASSERT_EQ(ChFiOpen("quil.db", kChFiReadWrite, &a), 0);
  ASSERT_EQ(ChFiOpen("./quil.db", kChFiReadWrite, &b), 0);
  EXPECT_EQ(a, b);
  EXPECT_EQ(ChFiClose(a), 0);
  EXPECT_EQ(ChState.files.size(), 1u);
  EXPECT_EQ(ChFiClose(b), 0);
  EXPECT_TRUE(ChState.files.empty());
}

TEST_F(ChFormat, MismatchedPageNumberHaltsWithRecoveryAdvice) {
  std::string bytes = ReadFileBytes(SavedFile());
  PutBe32At(bytes, 593920 + 4096 + 12, 9);
  WriteFileBytes("quil.db", bytes);
  std::string text = quiltest::HaltText([] {
    ChFi f;
    ChPart part;
    if (ChFiOpen("quil.db", kChFiReadWrite, &f) || ChFiPartOpen(f, &part)) return;
    ChDeref(ChHandleMake(part, 1, 16));
  });
  EXPECT_EQ(text,
            "halt:ChFiReadPg-- page table index in quil.db. If this is a database "
            "file, then rename it to \"db.save\" and restart the server to recover "
            "from your backup and roll-forward files. If this is a search index, "
            "then delete the index and restart the server to automatically build "
            "a new search index.");
}

TEST_F(ChFormat, MismatchedPageNumberReports17WhenTolerated) {
  std::string bytes = ReadFileBytes(SavedFile());
  PutBe32At(bytes, 593920 + 4096 + 12, 9);
  WriteFileBytes("quil.db", bytes);
  ChFixAllPages = true;
  ChFi f;
  ChPart part;
  ASSERT_EQ(ChFiOpen("quil.db", kChFiReadWrite, &f), 0);
  ASSERT_EQ(ChFiPartOpen(f, &part), 0);
  {
    ExQuietScope quiet;
    EXPECT_FALSE(ExTry([&] { ChDeref(ChHandleMake(part, 1, 16)); }));
  }
  ChFixAllPages = false;
  EXPECT_EQ(ExLastError, 17);
  EXPECT_TRUE(ChPartIsCatast(part));
  EXPECT_EQ(quiltest::HaltText([&] {
              uint32_t rev;
              (void)ChPartSave(part, 0, &rev);
            }),
            "assert:ChPartSave-- partition has had prior read errors and cannot "
            "be saved");
  EXPECT_EQ(ChFiClose(f), 0);
}

TEST_F(ChFormat, RegisteredTypesGoToTheTypeTable) {
  UtDefinition def;
  def.name = "ChFormat.Pair";
  def.def1 = 7;
  def.def2 = 9;
  def.layout = UtLayout().Op(kUtHandle).Op(kUtInt32).Done();
  uint16_t type = UtCreate(def);
  ASSERT_NE(type, 0);
  ChPart part = NewPart();
  ChHandle h = NewChunk(ChPartNear(part), std::string(8, '\0'), type);
  uint32_t rev;
  ASSERT_EQ(ChPartSave(part, 0, &rev), 0);
  ASSERT_EQ(ChFiClose(ChGetChFi(part)), 0);

  std::string bytes = ReadFileBytes("quil.db");
  EXPECT_EQ(Be32At(bytes, 56), 528384u);
  EXPECT_EQ(Be32At(bytes, 60), 1u);
  EXPECT_EQ(Be32At(bytes, 64), 1u);
  std::string layout = def.layout;
  std::string entry;
  auto be16 = [&](size_t v) {
    entry.push_back(char(v >> 8));
    entry.push_back(char(v & 0xFF));
  };
  size_t listLen = layout.size() + 3;
  size_t total = 14 + listLen + def.name.size() + 3;
  be16(total);
  be16(0);
  entry += std::string("\0\0\0\x07\0\0\0\x09", 8);
  be16(listLen);
  be16(layout.size());
  entry += layout + '\0';
  be16(def.name.size());
  entry += def.name + '\0';
  EXPECT_EQ(bytes.substr(528384, entry.size()), entry);
  // The chunk's type in the file is the file-local number.
  size_t block = 593920 + 4096 * ChPageOf(h) + ChOffsetOf(h);
  EXPECT_EQ(uint8_t(bytes[block + 4]), 0x80);
  EXPECT_EQ(uint8_t(bytes[block + 5]), 0x01);

  ChFi f;
  ChPart again;
  ASSERT_EQ(ChFiOpen("quil.db", kChFiReadWrite, &f), 0);
  ASSERT_EQ(ChFiPartOpen(f, &again), 0);
  EXPECT_EQ(ChType(ChHandleMake(again, ChPageOf(h), ChOffsetOf(h))), type);
  EXPECT_EQ(ChFiClose(f), 0);
}

TEST_F(ChFormat, ForwardReferenceInTheTypeTableHalts) {
  UtDefinition def;
  def.name = "ChFormat.Forward";
  def.layout = UtLayout().Op(kUtInt32).Done();
  uint16_t type = UtCreate(def);
  ChPart part = NewPart();
  NewChunk(ChPartNear(part), std::string(4, '\0'), type);
  uint32_t rev;
  ASSERT_EQ(ChPartSave(part, 0, &rev), 0);
  ASSERT_EQ(ChFiClose(ChGetChFi(part)), 0);
  std::string bytes = ReadFileBytes("quil.db");
  // Give the only entry a component that names itself.
  std::string t = bytes.substr(528384, 4096);
  size_t len = (size_t(uint8_t(t[0])) << 8) | uint8_t(t[1]);
  std::string e;
  e.push_back(char((len + 2) >> 8));
  e.push_back(char((len + 2) & 0xFF));
  e += std::string("\0\x01", 2);
  e += t.substr(4, 10);
  e += std::string("\x80\x01", 2);
  e += t.substr(14, len - 14);
  std::string patched = bytes;
  patched.replace(528384, e.size(), e);
  WriteFileBytes("quil.db", patched);
  EXPECT_EQ(quiltest::HaltText([] {
              ChFi f;
              (void)ChFiOpen("quil.db", kChFiReadWrite, &f);
            }),
            "assert:UtfXfmID-- Illegal forward reference");
}

}  // namespace
