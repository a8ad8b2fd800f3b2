// Saving: a random workload in a small cache saved and read back by a new
// process, checked by the operator tool; failed writes; the sync rhythm.
#include <unistd.h>

#include <cstdio>
#include <map>
#include <random>

#include "Ex.h"
#include "store_test_util.h"

using namespace quil;
using storetest::SelfPath;
using storetest::ReadFileBytes;
using storetest::WriteFileBytes;

namespace {

struct ModelChunk {
  uint16_t type = kUtTypeRaw;
  std::string bytes;
  uint32_t refs = 0;
};
using Model = std::map<ChHandle, ModelChunk>;

// List-head chunks hold handles in their first three words; the model keeps
// them, like the chunks' own handles, in file form so that a process that
// opens the file under another part number compares equal.
std::string FileFormBytes(const ModelChunk& c) {
  std::string b = c.bytes;
  if (c.type == kUtTypeListHead)
    for (int i = 0; i < 3; ++i) {
      uint32_t v = storetest::Le32At(b, size_t(4 * i));
      v = ChHandleToFile(v);
      memcpy(b.data() + 4 * i, &v, 4);
    }
  return b;
}

void WriteModel(const std::string& path, const Model& model) {
  std::string out;
  for (const auto& [h, c] : model) {
    out += std::to_string(ChHandleToFile(h)) + " " + std::to_string(c.type) + " " +
           std::to_string(c.refs) + " " + std::to_string(c.bytes.size()) + "\n";
    out += FileFormBytes(c);
  }
  WriteFileBytes(path, out);
}

std::string ChunkBytesOf(ChHandle h) {
  return std::string(static_cast<const char*>(ChDeref(h)), ChSize(h));
}

class ChSave : public storetest::StoreTest {
 protected:
  uint32_t CachePages() const override { return 8; }
};

TEST_F(ChSave, RandomWorkloadSurvivesSaveAndReopenInANewProcess) {
  ChPart part = NewPart();
  Model model;
  std::mt19937 rng(20261205);
  struct Held {
    ChHandle h;
    uint8_t* data;
  };
  std::vector<Held> held;
  auto pick = [&](bool unlocked) -> ChHandle {
    if (model.empty()) return 0;
    for (int tries = 0; tries < 20; ++tries) {
      auto it = model.begin();
      std::advance(it, rng() % model.size());
      bool isHeld = false;
      for (const Held& x : held) isHeld |= x.h == it->first;
      if (!unlocked || !isHeld) return it->first;
    }
    return 0;
  };
  auto release = [&] {
    ChUnlockMod(held.front().data);
    held.erase(held.begin());
  };
  auto randomBytes = [&](size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = char(rng());
    return s;
  };
  int saves = 0;
  for (int step = 0; step < 4000; ++step) {
    int op = int(rng() % 100);
    if (op < 35 || model.size() < 10) {
      ChHandle near = pick(false);
      if (!near || rng() % 4 == 0) near = ChPartNear(part);
      ModelChunk c;
      if (rng() % 10 == 0) {
        c.type = kUtTypeListHead;
        c.bytes = randomBytes(16);
        for (int i = 0; i < 3; ++i) {
          uint32_t v = rng() % 3 == 0 ? kChNil : pick(false);
          memcpy(c.bytes.data() + 4 * i, &v, 4);
        }
      } else {
        uint32_t r = rng() % 100;
        size_t len = r < 70 ? rng() % 200 : r < 95 ? 200 + rng() % 1800 : rng() % 4073;
        c.bytes = randomBytes(len);
      }
      model[NewChunk(near, c.bytes, c.type)] = c;
    } else if (op < 48) {
      ChHandle h = pick(true);
      if (!h || model[h].type != kUtTypeRaw) continue;
      ModelChunk c = model[h];
      size_t len = rng() % 3 ? rng() % 400 : rng() % 4073;
      c.bytes.resize(len, '\0');
      ChHandle moved = ChResize(h, uint32_t(len));
      model.erase(h);
      model[moved] = c;
    } else if (op < 63) {
      ChHandle h = pick(true);
      if (!h) continue;
      auto* data = static_cast<uint8_t*>(ChLock(h));
      ModelChunk& c = model[h];
      size_t from = c.type == kUtTypeListHead ? 12 : 0;
      for (size_t i = from; i < c.bytes.size(); i += 1 + rng() % 16) {
        c.bytes[i] = char(rng());
        data[i] = uint8_t(c.bytes[i]);
      }
      held.push_back({h, data});
      if (held.size() > 5) release();
    } else if (op < 73) {
      ChHandle h = pick(true);
      if (!h || model[h].refs != 0) continue;
      ChDestroy(h);
      model.erase(h);
    } else if (op < 78) {
      ChHandle h = pick(false);
      if (!h) continue;
      ModelChunk& c = model[h];
      if (c.refs > 0 && rng() % 2) {
        c.refs = ChDecRefCount(h);
      } else {
        c.refs = ChIncRefCount(h);
      }
    } else if (op < 98) {
      ChHandle h = pick(false);
      if (!h) continue;
      ASSERT_EQ(ChunkBytes(h), model[h].bytes) << "step " << step;
    } else {
      while (!held.empty()) release();
      uint32_t rev;
      ASSERT_EQ(ChPartSave(part, 0, &rev), 0);
      std::string report;
      if (++saves % 8 == 0) {
        ASSERT_TRUE(ChCheck(part, &report)) << report;
      }
    }
  }
  while (!held.empty()) release();
  uint32_t rev;
  ASSERT_EQ(ChPartSave(part, 0, &rev), 0);
  EXPECT_GT(saves, 10);
  EXPECT_GT(ChState.transNext, 20u);  // the data went through the transient file
  EXPECT_GT(ChPageCount(part), 3 * CachePages());
  std::string report;
  ASSERT_TRUE(ChCheck(part, &report)) << report;
  for (const auto& [h, c] : model) ASSERT_EQ(ChunkBytes(h), c.bytes);
  WriteModel("model.txt", model);
  ASSERT_EQ(ChFiClose(ChGetChFi(part)), 0);

  std::string out;
  std::string cmd = "QUIL_STORE_VERIFY_DB=" + dir_ + "/quil.db QUIL_STORE_VERIFY_MODEL=" +
                    dir_ + "/model.txt " + SelfPath() +
                    " --gtest_filter=ChSaveHelper.VerifyFileAgainstModel";
  EXPECT_EQ(storetest::RunCommand(cmd, &out), 0) << out;
  EXPECT_NE(out.find("[       OK ] ChSaveHelper.VerifyFileAgainstModel"), std::string::npos)
      << out;

  // The pages only: the chunks hold made-up handles.
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " check -pages quil.db", &out), 0)
      << out;
  EXPECT_EQ(out, "quil.db: ok\n");
  // One flipped page number is damage.
  std::string bytes = ReadFileBytes("quil.db");
  size_t page3 = 593920 + 3 * 4096;
  bytes[page3 + 15] ^= 0x40;
  WriteFileBytes("flipped.db", bytes);
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " check flipped.db", &out), 1) << out;
  EXPECT_NE(out.find("page 3: stored page number is 67"), std::string::npos) << out;
}

// Run in a new process by the test above: reads the database file and
// compares every chunk with the model.
TEST(ChSaveHelper, VerifyFileAgainstModel) {
  const char* db = getenv("QUIL_STORE_VERIFY_DB");
  const char* modelPath = getenv("QUIL_STORE_VERIFY_MODEL");
  if (!db || !modelPath) GTEST_SKIP() << "run by RandomWorkloadSurvivesSave...";
  std::string dir = std::filesystem::path(db).parent_path();
  std::filesystem::current_path(dir);
  ASSERT_EQ(ChInit(19, 8), 0);
  ChFi f;
  ASSERT_EQ(ChFiOpen(db, kChFiReadOnly, &f), 0);
  ChPart part;
  ASSERT_EQ(ChFiPartOpen(f, &part), 0);
  std::string text = ReadFileBytes(modelPath);
  size_t at = 0, count = 0;
  while (at < text.size()) {
    size_t eol = text.find('\n', at);
    unsigned long fh, type, refs, len;
    ASSERT_EQ(sscanf(text.substr(at, eol - at).c_str(), "%lu %lu %lu %lu", &fh, &type,
                     &refs, &len),
              4);
    std::string bytes = text.substr(eol + 1, len);
    at = eol + 1 + len;
    ChHandle h = ChHandleFromFile(uint32_t(fh), part);
    ASSERT_TRUE(ChIsLegal(h)) << fh;
    ASSERT_EQ(ChType(h), type) << fh;
    ASSERT_EQ(ChGetRefCount(h), refs) << fh;
    ModelChunk c;
    c.type = uint16_t(type);
    c.bytes = ChunkBytesOf(h);
    ASSERT_EQ(FileFormBytes(c), bytes) << fh;
    ++count;
  }
  ChIter it;
  ChStartFID(it, part);
  size_t seen = 0;
  while (ChNext(it) != kChNil) ++seen;
  EXPECT_EQ(seen, count + 1);  // and the part information
  std::string report;
  EXPECT_TRUE(ChCheck(part, &report)) << report;
  ASSERT_EQ(ChFiClose(f), 0);
  ChTerm();
}

TEST_F(ChSave, FailedWriteIsRolledBackAndSavingAgainRecovers) {
  ChPart part = NewPart();
  std::vector<ChHandle> chunks;
  for (int i = 0; i < 40; ++i)
    chunks.push_back(NewChunk(ChPartNear(part), std::string(3000, char('a' + i % 26))));
  uint32_t rev;
  ASSERT_EQ(ChPartSave(part, 0, &rev), 0);
  int failures = 0;
  for (int n = 1;; ++n) {
    for (int i = 0; i < 40; i += 3) {
      ChLocked c(chunks[size_t(i)]);
      c.Data()[n % 3000] = uint8_t(n);
      c.MarkModified();
    }
    chunks.push_back(NewChunk(ChPartNear(part), std::string(2000, char(n))));
    std::string before = ReadFileBytes("quil.db");
    FiFaultFailNth(FiCall::kWrite, n, kFiStatusDiskFull);
    uint16_t status = ChPartSave(part, 0, &rev);
    FiFaultFailNth(FiCall::kWrite, 0, kFiStatusDiskFull);
    if (status == 0) break;
    ++failures;
    ASSERT_EQ(status, kFiStatusDiskFull) << n;
    // Whichever write failed (journal, header, map, a page, the last
    // header), the file is the last complete save again, byte for byte.
    ASSERT_TRUE(ReadFileBytes("quil.db") == before) << "write " << n;
    EXPECT_TRUE(ChPartIsModified(part));
    ChCheckPageTable(part);
    ASSERT_EQ(ChPartSave(part, 0, &rev), 0) << n;
    EXPECT_EQ(storetest::Be32At(ReadFileBytes("quil.db"), 76), 0u);
  }
  EXPECT_GT(failures, 10);  // journal, head, map, every page, the final head
  std::vector<std::string> expect;
  for (ChHandle h : chunks) expect.push_back(ChunkBytes(h));
  ASSERT_EQ(ChFiClose(ChGetChFi(part)), 0);
  EXPECT_FALSE(FiExists("quil.db-journal"));  // a clean close leaves none
  ChFi f;
  ASSERT_EQ(ChFiOpen("quil.db", kChFiReadOnly, &f), 0);
  ASSERT_EQ(ChFiPartOpen(f, &part), 0);
  for (size_t i = 0; i < chunks.size(); ++i)
    EXPECT_EQ(ChunkBytes(ChHandleMake(part, ChPageOf(chunks[i]), ChOffsetOf(chunks[i]))),
              expect[i]);
  EXPECT_EQ(ChFiClose(f), 0);
}

TEST_F(ChSave, InterruptedSaveIsRolledBackFromItsJournalOrRefusedWithout) {
  ChPart part = NewPart();
  std::vector<ChHandle> chunks;
  for (int i = 0; i < 20; ++i)
    chunks.push_back(NewChunk(ChPartNear(part), std::string(3000, 'z')));
  uint32_t rev;
  ASSERT_EQ(ChPartSave(part, 0, &rev), 0);
  std::string saved = ReadFileBytes("quil.db");
  for (ChHandle h : chunks) {
    ChLocked c(h);
    memset(c.Data(), 'y', 3000);
    c.MarkModified();
  }
  NewChunk(ChPartNear(part), std::string(3000, 'x'));
  // The machine goes off at the sixth sync of the save: journal (2), header
  // (2), the first 15 pages (1), then the last pages, which are lost, as is
  // the rollback.  The image mixes the two saves, with the marker set.
  FiFaultTrack(true);
  FiFaultCutAtSync(6, FiCut::kDropAll, 1);
  EXPECT_EQ(ChPartSave(part, 0, &rev), kEcMediaError);  // EIO
  EXPECT_TRUE(FiFaultDead());
  ASSERT_EQ(ChFiClose(ChGetChFi(part)), 0);
  FiFaultReset();
  std::string crashed = ReadFileBytes("quil.db");
  std::string journal = ReadFileBytes("quil.db-journal");
  ASSERT_TRUE(crashed != saved);
  EXPECT_EQ(storetest::Be32At(crashed, 76), 1u);

  // Without its journal the file is refused, and the check says why.
  ASSERT_EQ(FiDelete("quil.db-journal"), 0);
  ChFi f;
  EXPECT_EQ(ChFiOpen("quil.db", kChFiReadWrite, &f), kEcCorrupted);
  std::string out;
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " check quil.db", &out), 1);
  EXPECT_NE(out.find("save-in-progress marker set"), std::string::npos) << out;
  EXPECT_NE(out.find("no journal"), std::string::npos) << out;

  // With it, the tools read the last complete save and change nothing...
  WriteFileBytes("quil.db-journal", journal);
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " check quil.db", &out), 0) << out;
  EXPECT_NE(out.find("journal: the save of revision"), std::string::npos) << out;
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " info quil.db", &out), 0) << out;
  EXPECT_NE(out.find("that save was interrupted"), std::string::npos) << out;
  EXPECT_NE(out.find("save in progress:     0"), std::string::npos) << out;
  ASSERT_EQ(ChFiOpen("quil.db", kChFiReadOnly, &f), 0);
  ASSERT_EQ(ChFiPartOpen(f, &part), 0);
  EXPECT_EQ(ChGetRev(part), rev - 1);
  EXPECT_EQ(ChunkBytes(ChHandleMake(part, ChPageOf(chunks[0]), ChOffsetOf(chunks[0]))),
            std::string(3000, 'z'));
  ASSERT_EQ(ChFiClose(f), 0);
  EXPECT_TRUE(ReadFileBytes("quil.db") == crashed);
  EXPECT_TRUE(ReadFileBytes("quil.db-journal") == journal);

  // ...and a read/write open writes it back: the file is the last save.
  ASSERT_EQ(ChFiOpen("quil.db", kChFiReadWrite, &f), 0);
  EXPECT_NE(ChFiOpenNote(f).find("rolled back"), std::string::npos) << ChFiOpenNote(f);
  EXPECT_FALSE(FiExists("quil.db-journal"));
  EXPECT_TRUE(ReadFileBytes("quil.db") == saved);
  ASSERT_EQ(ChFiClose(f), 0);
}

TEST_F(ChSave, PartMovedToAnotherFileTakesEveryPage) {
  ChPart part = NewPart();
  std::vector<ChHandle> chunks;
  for (int i = 0; i < 20; ++i)
    chunks.push_back(NewChunk(ChPartNear(part), std::string(4000, char('A' + i))));
  uint32_t rev;
  ASSERT_EQ(ChPartSave(part, 0, &rev), 0);
  ChDeref(chunks[0]);  // cached and clean when the move starts
  ChFi old = ChGetChFi(part), moved;
  ASSERT_EQ(ChFiCreateTemp("", &moved), 0);
  ASSERT_EQ(ChPartDup(part, moved), 0);
  EXPECT_EQ(ChPartChangedPages(part), 21u);
  ASSERT_EQ(ChPartSave(part, 0, &rev), 0);
  ASSERT_EQ(ChFiMakePermanent(moved, "moved.db"), 0);
  ASSERT_EQ(ChFiClose(old), 0);
  ASSERT_EQ(ChFiClose(moved), 0);
  std::string out;
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " check moved.db", &out), 0)
      << out;
  ChFi f;
  ASSERT_EQ(ChFiOpen("moved.db", kChFiReadOnly, &f), 0);
  ASSERT_EQ(ChFiPartOpen(f, &part), 0);
  for (int i = 0; i < 20; ++i) {
    ChHandle h = ChHandleMake(part, ChPageOf(chunks[size_t(i)]), ChOffsetOf(chunks[size_t(i)]));
    EXPECT_EQ(ChunkBytes(h), std::string(4000, char('A' + i))) << i;
  }
  EXPECT_EQ(ChFiClose(f), 0);
}

TEST_F(ChSave, SyncsAroundTheHeadersAndEveryFifteenPages) {
  ChPart part = NewPart();
  for (int i = 0; i < 45; ++i) NewChunk(ChPartNear(part), std::string(4000, 's'));
  int64_t syncs = FiFaultCalls(FiCall::kSync);
  int64_t writes = FiFaultCalls(FiCall::kWrite);
  uint32_t rev;
  ASSERT_EQ(ChPartSave(part, 0, &rev), 0);
  // Journal: records, sync, the new journal's directory, header, sync;
  // header: sync, write, sync; 46 pages: 3 syncs; sync; header: 2 syncs.
  EXPECT_EQ(FiFaultCalls(FiCall::kSync) - syncs, 3 + 2 + 3 + 1 + 2);
  // The journal's records of the header and space-map piece (the pages lie
  // past the old end) in one write and its header; two headers, one
  // space-map piece, 46 pages.
  EXPECT_EQ(FiFaultCalls(FiCall::kWrite) - writes, 2 + 2 + 1 + 46);
  // The transient copies are released and the pages now live in the file.
  EXPECT_EQ(ChState.transFree.size(), ChState.transNext);
  ChCheckPageTable(part);
  EXPECT_FALSE(ChPartIsModified(part));
  EXPECT_EQ(ChPartChangedPages(part), 0u);
  EXPECT_EQ(ChGetRev(part), rev);
}

}  // namespace
