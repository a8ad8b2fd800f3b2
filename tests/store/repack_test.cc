// Repack: a sparse database copied densely, in pieces from the RAM queue on
// a simulated clock or by quil-dbtool repack; every chunk is found again
// under its new handle through the handles of the other chunks, the copy
// passes the check, and a damaged page gives up only what follows the
// damage.
#include "ChSt.h"
#include "Store.h"
#include "bgsave_test_util.h"

using namespace quil;
using storetest::fakeNow;
using storetest::ReadFileBytes;

namespace {


std::vector<std::string> logLines;
void KeepLog(const std::string& line) { logLines.push_back(line); }

std::string Pattern(uint32_t i) {
  std::string s(20 + (i * 7717) % 1500, '\0');
  for (size_t k = 0; k < s.size(); ++k) s[k] = char(i * 13 + k);
  return s;
}

struct Ended {
  int calls = 0;
  uint16_t status = 0xFFFF;
};

void RecordEnd(intptr_t arg, const std::string&, uint16_t status) {
  auto* e = reinterpret_cast<Ended*>(arg);
  ++e->calls;
  e->status = status;
}

constexpr uint32_t kChunks = 900;

class Repack : public storetest::BgSaveTest {
 protected:
  bool FakeClock() const override { return true; }

  void SetUp() override {
    storetest::BgSaveTest::SetUp();
    logLines.clear();
    ChSetRecordLogFn(KeepLog);
  }

  void TearDown() override {
    ChSetRecordLogFn(nullptr);
    storetest::BgSaveTest::TearDown();
  }

  // kChunks raw chunks, two thirds of them destroyed again, and for each
  // survivor an index node (a list-head chunk) near it: next node, the
  // data chunk, the node three data chunks back, and its number.  The
  // first node is the root.  Saved.
  ChPart SparsePart() {
    ChPart part = NewPart();
    std::vector<ChHandle> data;
    for (uint32_t i = 0; i < kChunks; ++i) data.push_back(NewChunk(ChPartNear(part), Pattern(i)));
    for (uint32_t i = 0; i < kChunks; ++i)
      if (i % 3 != 0) ChDestroy(data[i]);
    std::vector<ChHandle> nodes;
    for (uint32_t i = 0; i < kChunks; i += 3) {
      uint32_t words[4] = {kChNil, data[i], i >= 3 ? nodes.back() : kChNil, i};
      nodes.push_back(NewChunk(data[i], std::string(reinterpret_cast<char*>(words), 16),
                               kUtTypeListHead));
    }
    for (size_t n = 0; n + 1 < nodes.size(); ++n) {
      ChLocked node(nodes[n]);
      node.As<uint32_t>()[0] = nodes[n + 1];
      node.MarkModified();
    }
    ChSetRoot(part, nodes[0]);
    Save(part);
    WaitSaved(part);
    return part;
  }

  // Opens path and walks the index from the root: every node and data
  // chunk must be where the handles say.  Returns the data pages of the
  // file; skip names numbers whose chunks may be lost.
  uint32_t VerifyFile(const std::string& path, const std::vector<uint32_t>& skip = {}) {
    ChFi f;
    EXPECT_EQ(ChFiOpen(path, kChFiReadOnly, &f), 0);
    if (!f) return 0;
    ChPart part;
    EXPECT_EQ(ChFiPartOpen(f, &part), 0);
    ChHandle node = ChGetRoot(part), back = kChNil;
    uint32_t expect = 0;
    auto skipped = [&](uint32_t i) {
      return std::find(skip.begin(), skip.end(), i) != skip.end();
    };
    while (node != kChNil && expect < kChunks) {
      EXPECT_TRUE(ChIsLegal(node)) << expect;
      if (!ChIsLegal(node) || ChType(node) != kUtTypeListHead) break;
      uint32_t words[4];
      memcpy(words, ChDeref(node), 16);
      EXPECT_EQ(words[3], expect);
      if (!skipped(expect)) {
        EXPECT_TRUE(ChIsLegal(words[1]) && ChSize(words[1]) == Pattern(expect).size() &&
                    ChunkBytes(words[1]) == Pattern(expect))
            << "data chunk " << expect;
      }
      EXPECT_EQ(words[2], back) << expect;
      back = node;
      node = words[0];
      expect += 3;
    }
    EXPECT_EQ(expect, kChunks);
    ChIter it;
    ChStartFID(it, part);
    uint32_t chunks = 0;
    while (ChNext(it) != kChNil) ++chunks;
    EXPECT_EQ(chunks, 2 * kChunks / 3 + 1);
    std::string report;
    EXPECT_TRUE(ChCheck(part, &report)) << report;
    uint32_t pages = ChPageCount(part);
    EXPECT_EQ(ChFiClose(f), 0);
    return pages;
  }
};

TEST_F(Repack, PiecesFromTheQueueMakeADenseCopyWithItsHandlesRewritten) {
  ChPart part = SparsePart();
  uint32_t before = ChPageCount(part);
  Ended ended;
  EXPECT_EQ(ChBackupPercent(part), 100);
  ASSERT_EQ(ChStartRepack(part, "packed.db", RecordEnd, intptr_t(&ended)), 0);
  EXPECT_EQ(ChBackupPercent(part), 0);
  EXPECT_TRUE(ChInBackup(part));
  int last = 0, pieces = 0;
  while (ended.calls == 0 && pieces < 1000) {
    fakeNow += 100;
    QuProcess(100, 0);
    ++pieces;
    if (ended.calls == 0) {
      int percent = ChBackupPercent(part);
      EXPECT_GE(percent, last);
      EXPECT_LT(percent, 100);
      last = percent;
    }
  }
  ASSERT_EQ(ended.calls, 1);
  EXPECT_EQ(ended.status, 0);
  EXPECT_GT(pieces, 3);
  EXPECT_GT(last, 50);
  EXPECT_EQ(ChBackupPercent(part), 100);
  EXPECT_FALSE(ChInBackup(part));

  std::string out;
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " check packed.db", &out), 0)
      << out;
  uint32_t after = VerifyFile("packed.db");
  EXPECT_LT(after * 2, before) << before << " pages repacked into " << after;
  EXPECT_EQ(int64_t(ReadFileBytes("packed.db").size()),
            kChFirstDataPos + int64_t(after) * 4096);
  ASSERT_FALSE(logLines.empty());
  bool cacheLine = false;
  for (const std::string& line : logLines)
    cacheLine |= line.rfind("* Repack Cache Total=", 0) == 0 &&
                 line.find(" Used=") != std::string::npos &&
                 line.find(" Needed=") != std::string::npos;
  EXPECT_TRUE(cacheLine);
  // The transient map is gone and the part can be saved again.
  NewChunk(ChPartNear(part), "more");
  Save(part);
  WaitSaved(part);
}

// The shared-string table hangs off the part information, not off a chunk:
// the copy must carry its handle over too, or every shared string is lost.
TEST_F(Repack, SharedStringsKeepTheirTableInTheCopy) {
  StoreRegisterTypes();
  // Filler first and destroyed afterwards, so that the table and the
  // strings sit on late pages that the repack moves to the front.
  ChPart part = NewPart();
  std::vector<ChHandle> filler;
  for (uint32_t i = 0; i < 400; ++i) filler.push_back(NewChunk(ChPartNear(part), Pattern(i)));
  ChHandle last = filler.back();
  for (int i = 0; i < 40; ++i)
    (void)ChStPrivShrCvt(StToChStXfm(StFromView("word " + std::to_string(i % 10)), last));
  for (ChHandle h : filler) ChDestroy(h);
  Save(part);
  WaitSaved(part);
  ASSERT_EQ(ShrTableSize(part), 10u);
  ASSERT_EQ(ChFiClose(ChGetChFi(part)), 0);
  std::string out, tool = storetest::DbToolPath();
  ASSERT_EQ(storetest::RunCommand(tool + " repack quil.db packed.db", &out), 0) << out;
  EXPECT_EQ(storetest::RunCommand(tool + " check packed.db", &out), 0) << out;

  ChFi f;
  ASSERT_EQ(ChFiOpen("packed.db", kChFiReadOnly, &f), 0);
  ChPart packed;
  ASSERT_EQ(ChFiPartOpen(f, &packed), 0);
  EXPECT_EQ(ShrTableSize(packed), 10u);
  std::string report;
  EXPECT_TRUE(ShrConsistency(packed, &report)) << report;
  int counted = 0;
  ChIter it;
  ChStartFID(it, packed);
  for (ChHandle h = ChNext(it); h != kChNil; h = ChNext(it))
    if (ChStIsShared(h)) {
      EXPECT_EQ(ShrCount(h), 4u);
      counted += int(ShrCount(h));
    }
  EXPECT_EQ(counted, 40);
  EXPECT_EQ(ChFiClose(f), 0);
}

TEST_F(Repack, DbToolRepacksAFileOffline) {
  ChPart part = SparsePart();
  uint32_t before = ChPageCount(part);
  ASSERT_EQ(ChFiClose(ChGetChFi(part)), 0);
  std::string out, tool = storetest::DbToolPath();
  EXPECT_EQ(storetest::RunCommand(tool + " repack quil.db packed.db", &out), 0) << out;
  EXPECT_NE(out.find("* Repack Cache Total="), std::string::npos) << out;
  EXPECT_NE(out.find("quil.db -> packed.db: repacked\n"), std::string::npos) << out;
  EXPECT_EQ(storetest::RunCommand(tool + " check packed.db", &out), 0) << out;
  EXPECT_LT(VerifyFile("packed.db") * 2, before);
  EXPECT_EQ(storetest::RunCommand(tool + " repack quil.db packed.db", &out), 1) << out;
  EXPECT_NE(out.find("(status 6)"), std::string::npos) << out;
}

TEST_F(Repack, ADamagedPageLosesOnlyWhatFollowsTheDamage) {
  ChPart part = SparsePart();
  // The page of data chunk 300: find the block after its first chunk.
  ChHandle node = ChGetRoot(part);
  ChHandle target = 0;
  while (node != kChNil) {
    const auto* words = static_cast<const uint32_t*>(ChDeref(node));
    if (words[3] == 300) target = words[1];
    node = words[0];
  }
  ASSERT_NE(target, 0u);
  ASSERT_EQ(ChFiClose(ChGetChFi(part)), 0);
  std::string bytes = ReadFileBytes("quil.db");
  size_t page = size_t(kChFirstDataPos) + size_t(ChPageOf(target)) * 4096;
  size_t off = ChOffsetOf(target);
  size_t next = off + ((LdBe16(reinterpret_cast<const uint8_t*>(bytes.data()) + page + off + 2) + 15) & ~15u);
  ASSERT_LT(next, 4096u);
  bytes[page + next + 2] = 0;  // a block size of 0
  bytes[page + next + 3] = 0;
  storetest::WriteFileBytes("damaged.db", bytes);
  std::string out, tool = storetest::DbToolPath();
  EXPECT_EQ(storetest::RunCommand(tool + " repack damaged.db packed.db", &out), 0) << out;
  EXPECT_NE(out.find("* Repack page " + std::to_string(ChPageOf(target)) +
                     " damaged at offset " + std::to_string(next)),
            std::string::npos)
      << out;
  EXPECT_EQ(storetest::RunCommand(tool + " check packed.db", &out), 0) << out;
  ChFi f;
  ASSERT_EQ(ChFiOpen("packed.db", kChFiReadOnly, &f), 0);
  ChPart packed;
  ASSERT_EQ(ChFiPartOpen(f, &packed), 0);
  // The chunk before the damage is still there.
  bool found = false;
  ChIter it;
  ChStartFID(it, packed);
  for (ChHandle h = ChNext(it); h != kChNil; h = ChNext(it))
    found |= ChType(h) == kUtTypeRaw && ChunkBytes(h) == Pattern(300);
  EXPECT_TRUE(found);
  EXPECT_EQ(ChFiClose(f), 0);
}

}  // namespace
