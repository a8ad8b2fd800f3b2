// The rollback journal and the fault-injecting file layer under real saves:
// the journal's bytes; a power cut at every sync point of a save (with
// every unsynced byte dropped, and with a random part of them kept or torn);
// a failed read, write, sync, truncation or open at every call of a save; a
// failed rename of a save-as.  After each, the file reopens as one of the
// two complete saves (never a mixture), the read-only view through the
// journal agrees with the rollback, and the whole-file check passes.
//
// The seed of the random cuts is printed; QUIL_TEST_SEED replays it.
#include <algorithm>
#include <cstdio>
#include <random>

#include "Af.h"
#include "Ex.h"
#include "Qu.h"
#include "Thread.h"
#include "halt_text.h"
#include "store_test_util.h"

using namespace quil;
using storetest::Be32At;
using storetest::ReadFileBytes;
using storetest::WriteFileBytes;

namespace {

constexpr uint32_t kEntries = 60;

uint32_t TestSeed() {
  const char* env = getenv("QUIL_TEST_SEED");
  uint32_t seed = env ? uint32_t(strtoul(env, nullptr, 10)) : std::random_device{}();
  printf("[ seed     ] QUIL_TEST_SEED=%u\n", seed);
  return seed;
}

// A chunk's bytes are a function of its number and the generation that
// wrote it, so that a file mixing two saves shows a chunk whose bytes do
// not match the generation its index entry names.
std::string DataBytes(uint32_t i, uint32_t gen) {
  std::string s(16 + (i * 7919 + gen * 104729) % 3000, '\0');
  memcpy(s.data(), &i, 4);
  memcpy(s.data() + 4, &gen, 4);
  for (size_t k = 8; k < s.size(); ++k) s[k] = char((i * 31 + gen * 17 + k) & 0xFF);
  return s;
}

using Generations = std::vector<uint32_t>;

// A part whose root is an index chunk naming kEntries data chunks with the
// generation of each.
class Workload {
 public:
  void Create(const std::string& path) {
    ASSERT_EQ(ChFiCreate(path, &file_), 0);
    ASSERT_EQ(ChFiPartCreate(file_, &part_), 0);
    void* data = ChCreate(kUtTypeRaw, kEntries * 8, ChPartNear(part_), &index_);
    ChUnlockMod(data);
    ChSetRoot(part_, index_);
    for (uint32_t i = 0; i < kEntries; ++i) {
      handles_.push_back(Put(i, 0, ChPartNear(part_)));
      gens_.push_back(0);
    }
    WriteIndex();
  }

  // Opens path and reads the index; every chunk must hold the bytes of its
  // generation.
  void Open(const std::string& path, int mode) {
    ASSERT_EQ(ChFiOpen(path, mode, &file_), 0);
    ASSERT_EQ(ChFiPartOpen(file_, &part_), 0);
    index_ = ChGetRoot(part_);
    ASSERT_TRUE(ChIsLegal(index_));
    ASSERT_EQ(ChSize(index_), kEntries * 8);
    std::vector<uint32_t> words(kEntries * 2);
    memcpy(words.data(), ChDeref(index_), kEntries * 8);
    handles_.clear();
    gens_.clear();
    for (uint32_t i = 0; i < kEntries; ++i) {
      ChHandle h = ChHandleFromFile(words[2 * i], part_);
      ASSERT_TRUE(ChIsLegal(h)) << "entry " << i;
      std::string bytes(static_cast<const char*>(ChDeref(h)), ChSize(h));
      ASSERT_TRUE(bytes == DataBytes(i, words[2 * i + 1]))
          << "entry " << i << " does not hold generation " << words[2 * i + 1];
      handles_.push_back(h);
      gens_.push_back(words[2 * i + 1]);
    }
  }

  // Rewrites, moves, destroys and creates chunks (pages freed and taken,
  // space-map pieces changed), and a registered type's chunk now and then
  // (the type table changed).
  void Change(uint32_t gen, std::mt19937& rng) {
    for (int n = 0; n < 25; ++n) {
      uint32_t i = rng() % kEntries;
      if (rng() % 3 == 0) {
        ChDestroy(handles_[i]);
        handles_[i] = Put(i, gen, ChPartNear(part_));
      } else {
        handles_[i] = ChResize(handles_[i], uint32_t(DataBytes(i, gen).size()));
        Overwrite(i, gen);
      }
      gens_[i] = gen;
    }
    if (rng() % 2 == 0) {
      UtDefinition def;
      def.name = "JournalTestType" + std::to_string(gen);
      def.layout = UtLayout().Op(kUtInt32).Done();
      ChHandle h;
      ChUnlockMod(ChCreate(UtCreate(def), 4, ChPartNear(part_), &h));
    }
    WriteIndex();
  }

  uint16_t Save() {
    uint32_t rev = 0;
    return ChPartSave(part_, 0, &rev);
  }

  uint16_t Close() {
    ChFi f = file_;
    file_ = nullptr;
    return ChFiClose(f);
  }

  ChFi file() const { return file_; }
  ChPart part() const { return part_; }
  const Generations& gens() const { return gens_; }

 private:
  ChHandle Put(uint32_t i, uint32_t gen, ChHandle near) {
    std::string bytes = DataBytes(i, gen);
    ChHandle h;
    void* d = ChCreate(kUtTypeRaw, uint32_t(bytes.size()), near, &h);
    memcpy(d, bytes.data(), bytes.size());
    ChUnlockMod(d);
    return h;
  }

  void Overwrite(uint32_t i, uint32_t gen) {
    std::string bytes = DataBytes(i, gen);
    ChLocked c(handles_[i]);
    memcpy(c.Data(), bytes.data(), bytes.size());
    c.MarkModified();
  }

  void WriteIndex() {
    ChLocked index(index_);
    auto* words = index.As<uint32_t>();
    for (uint32_t i = 0; i < kEntries; ++i) {
      words[2 * i] = ChHandleToFile(handles_[i]);
      words[2 * i + 1] = gens_[i];
    }
    index.MarkModified();
  }

  ChFi file_ = nullptr;
  ChPart part_ = 0;
  ChHandle index_ = 0;
  std::vector<ChHandle> handles_;
  Generations gens_;
};

class Journal : public storetest::StoreTest {
 protected:
  // A small cache, so that changed pages also go through the transient file.
  uint32_t CachePages() const override { return 24; }

  // The last complete save: a file saved twice (its first save created it).
  void SetUp() override {
    StoreTest::SetUp();
    Workload w;
    w.Create("quil.db");
    ASSERT_EQ(w.Save(), 0);
    std::mt19937 rng(7);
    w.Change(1, rng);
    ASSERT_EQ(w.Save(), 0);
    before_ = w.gens();
    ASSERT_EQ(w.Close(), 0);
    base_ = ReadFileBytes("quil.db");
    ASSERT_FALSE(FiExists("quil.db-journal"));
  }

  // Puts the last complete save back and opens it with the next changes
  // made (the same every time): the generations they give are after_.
  void Reopen(Workload& w) {
    WriteFileBytes("quil.db", base_);
    (void)FiDelete("quil.db-journal");  // none, or one a case left
    w.Open("quil.db", kChFiReadWrite);
    std::mt19937 rng(11);
    w.Change(2, rng);
    after_ = w.gens();
  }

  // The file as the next open finds it: read-only through the journal
  // first (nothing written), then read/write (the journal written back);
  // both must show the same complete save.  Returns its generations.
  Generations Reopened(const std::string& what, const std::string& path = "quil.db") {
    std::string report;
    EXPECT_TRUE(ChCheckFile(path, &report)) << what << "\n" << report;
    Workload ro;
    ro.Open(path, kChFiReadOnly);
    Generations seen = ro.gens();
    EXPECT_EQ(ro.Close(), 0);
    Workload rw;
    rw.Open(path, kChFiReadWrite);
    EXPECT_EQ(rw.gens(), seen) << what;
    EXPECT_FALSE(FiExists(path + "-journal")) << what;
    std::string check;
    EXPECT_TRUE(ChCheck(rw.part(), &check)) << what << "\n" << check;
    EXPECT_EQ(rw.Close(), 0);
    return seen;
  }

  // The file on disk while it is still open (the store would hand back the
  // open record): a copy of it and its journal, reopened.
  Generations Peek(const std::string& what) {
    WriteFileBytes("peek.db", ReadFileBytes("quil.db"));
    (void)FiDelete("peek.db-journal");
    if (FiExists("quil.db-journal"))
      WriteFileBytes("peek.db-journal", ReadFileBytes("quil.db-journal"));
    return Reopened(what, "peek.db");
  }

  // Saves w in the background and returns the journal as it is while the
  // writer waits before its first page (complete, the header marked), with
  // the file's bytes at that moment in *file; the save then completes.
  static std::string JournalWhilePaused(Workload& w, std::string* file) {
    EnableThreads = true;
    ChBgSaveSetEnabled(true);
    EXPECT_EQ(QuInitRtns(kPkgInit, kPkgVersion), 0);
    ChBgSaveHookPauseAt(0);
    EXPECT_EQ(w.Save(), 0);
    EXPECT_TRUE(ChBgSaveHookWaitPaused(10000));
    std::string journal = ReadFileBytes("quil.db-journal");
    *file = ReadFileBytes("quil.db");
    ChBgSaveHookRelease();
    ChBgSaveCleanupWait(w.file());
    ChBgSaveSetEnabled(false);
    (void)QuInitRtns(kPkgTerm, 0);
    return journal;
  }

  std::string base_;
  Generations before_, after_;
};

// ---------------------------------------------------------------------------
// The journal's bytes.

TEST_F(Journal, JournalHoldsTheOldBytesOfEveryPlaceTheSaveOverwrites) {
  Workload w;
  Reopen(w);
  uint32_t rev = ChGetRev(w.part());
  std::string old = ReadFileBytes("quil.db");
  std::string now;
  std::string j = JournalWhilePaused(w, &now);
  EXPECT_EQ(Be32At(now, 76), 1u);

  ASSERT_GE(j.size(), 4096u);
  EXPECT_EQ(j.substr(0, 8), "QuilJrnl");
  EXPECT_EQ(Be32At(j, 8), 1u);     // format
  EXPECT_EQ(Be32At(j, 12), 4096u);  // page size
  uint32_t records = Be32At(j, 20);
  EXPECT_EQ(Be32At(j, 24), rev);      // restores the last complete save
  EXPECT_EQ(Be32At(j, 28), rev + 1);  // written by this save
  EXPECT_EQ(uint64_t(Be32At(j, 32)) << 32 | Be32At(j, 36), old.size());
  EXPECT_EQ(j.substr(44, 4096 - 44), std::string(4096 - 44, '\0'));
  ASSERT_EQ(j.size(), 4096u + records * 4112u);
  std::vector<uint64_t> positions;
  for (uint32_t r = 0; r < records; ++r) {
    size_t at = 4096 + size_t(r) * 4112;
    uint64_t pos = uint64_t(Be32At(j, at)) << 32 | Be32At(j, at + 4);
    EXPECT_EQ(pos % 4096, 0u);
    EXPECT_LT(pos, old.size());
    EXPECT_EQ(Be32At(j, at + 12), 0u);
    // The bytes the file held there before the save, byte for byte.
    EXPECT_TRUE(j.substr(at + 16, 4096) == old.substr(pos, 4096)) << "record " << r;
    positions.push_back(pos);
  }
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  ASSERT_FALSE(positions.empty());
  EXPECT_EQ(positions[0], 0u);  // the header comes first
  // Cleanly ended: the journal is emptied, and gone once the file closes.
  EXPECT_EQ(ReadFileBytes("quil.db-journal"), "");
  EXPECT_EQ(w.Close(), 0);
  EXPECT_FALSE(FiExists("quil.db-journal"));
  EXPECT_EQ(Reopened("clean"), after_);
}

TEST_F(Journal, AStaleOrBrokenJournalIsIgnoredAndRemoved) {
  Workload w;
  Reopen(w);
  // A journal of a save that completed: the header is whole, no marker.
  std::string now;
  std::string j = JournalWhilePaused(w, &now);
  ASSERT_EQ(w.Close(), 0);
  std::string saved = ReadFileBytes("quil.db");
  WriteFileBytes("quil.db-journal", j);
  EXPECT_EQ(Reopened("stale"), after_);
  EXPECT_TRUE(ReadFileBytes("quil.db") == saved);

  // A marker with a journal whose record fails its checksum (or that was
  // never finished) restores nothing: the file is refused.
  std::string marked = saved;
  storetest::PutBe32At(marked, 76, 1);
  std::string broken = j;
  broken[4096 + 16 + 100] ^= 1;
  for (const std::string& journal : {broken, j.substr(0, 4096 + 4112)}) {
    WriteFileBytes("quil.db", marked);
    WriteFileBytes("quil.db-journal", journal);
    ChFi f;
    EXPECT_EQ(ChFiOpen("quil.db", kChFiReadWrite, &f), kEcCorrupted);
    EXPECT_TRUE(ReadFileBytes("quil.db") == marked);
  }
}

// ---------------------------------------------------------------------------
// Power cuts.

TEST_F(Journal, PowerCutAtEverySyncOfASaveLeavesOneOfTheTwoSaves) {
  uint32_t seed = TestSeed();
  int cuts = 0, old = 0, fresh = 0;
  for (int k = 1;; ++k) {
    bool completed = false;
    for (FiCut how : {FiCut::kDropAll, FiCut::kKeepSome}) {
      std::string what = "cut at sync " + std::to_string(k) +
                         (how == FiCut::kDropAll ? " dropping all" : " keeping some") +
                         " (QUIL_TEST_SEED=" + std::to_string(seed) + ")";
      Workload w;
      Reopen(w);
      if (HasFatalFailure()) return;
      FiFaultTrack(true);
      FiFaultCutAtSync(k, how, seed + uint32_t(k));
      uint16_t status = w.Save();
      bool cut = FiFaultDead();
      EXPECT_EQ(w.Close(), 0);
      FiFaultReset();
      if (!cut) {
        EXPECT_EQ(status, 0) << what;
        EXPECT_EQ(Reopened(what), after_) << what;
        completed = true;
        break;
      }
      ++cuts;
      EXPECT_NE(status, 0) << what;
      Generations g = Reopened(what);
      ASSERT_TRUE(g == before_ || g == after_) << what << ": a mixture of two saves";
      (g == before_ ? old : fresh) += 1;
      if (HasFailure()) return;
    }
    if (completed) break;
  }
  printf("[ cuts     ] %d: the last complete save %d times, the new one %d times\n", cuts,
         old, fresh);
  EXPECT_GT(cuts, 10);
  EXPECT_GT(old, 0);
}

// ---------------------------------------------------------------------------
// Failed calls.

TEST_F(Journal, AFailedCallAnywhereInASaveLeavesTheLastCompleteSave) {
  const FiCall kinds[] = {FiCall::kOpen, FiCall::kRead, FiCall::kWrite, FiCall::kSync,
                          FiCall::kTruncate};
  const char* names[] = {"open", "read", "write", "sync", "truncate"};
  for (size_t kind = 0; kind < std::size(kinds); ++kind) {
    int failures = 0;
    for (int n = 1;; ++n) {
      std::string what = std::string(names[kind]) + " " + std::to_string(n);
      Workload w;
      Reopen(w);
      if (HasFatalFailure()) return;
      FiFaultFailNth(kinds[kind], n, kEcMediaError);
      uint16_t status = w.Save();
      FiFaultFailNth(kinds[kind], 0, 0);
      if (status == 0) {
        EXPECT_EQ(w.Close(), 0);
        EXPECT_EQ(Reopened(what), after_) << what;
        break;
      }
      ++failures;
      EXPECT_EQ(status, kEcMediaError) << what;
      // The image went back at once: the file is the last complete save
      // even while the server still runs, and a new save goes through.
      Generations g = Peek(what + ", failed");
      EXPECT_EQ(g, before_) << what;
      EXPECT_EQ(w.Save(), 0) << what;
      EXPECT_EQ(w.Close(), 0);
      EXPECT_EQ(Reopened(what + ", saved again"), after_) << what;
      if (HasFailure()) return;
    }
    printf("[ failures ] %s: %d calls of a save\n", names[kind], failures);
    if (kinds[kind] != FiCall::kOpen && kinds[kind] != FiCall::kTruncate) {
      EXPECT_GT(failures, 2) << names[kind];
    }
  }
}

TEST_F(Journal, AFailedRenameOfASaveAsLeavesBothFilesAsTheyWere) {
  ASSERT_EQ(AfInitRtns(kPkgInit, kPkgVersion), 0);
  ChPart part;
  ASSERT_EQ(AfOpen("quil.db", &part), 0);
  NewChunk(ChPartNear(part), std::string(100, 'n'));
  FiFaultFailNth(FiCall::kRename, 1, kEcAccessDenied);
  EXPECT_EQ(AfSaveAs(part, "copy.db"), kEcAccessDenied);
  FiFaultFailNth(FiCall::kRename, 0, 0);
  EXPECT_FALSE(FiExists("copy.db"));
  EXPECT_EQ(AfSaveAs(part, "copy.db"), 0);
  EXPECT_EQ(AfClose(part), 0);
  (void)AfInitRtns(kPkgTerm, 0);
  EXPECT_TRUE(ReadFileBytes("quil.db") == base_);
  std::string report;
  EXPECT_TRUE(ChCheckFile("copy.db", &report)) << report;
}

TEST_F(Journal, AFailedRollbackKeepsTheErrorStateUntilOneSucceeds) {
  Workload w;
  Reopen(w);
  // A page write fails, and so does every write of the rollback after it:
  // the journal stays hot and the file in its error state.
  FiFaultTrack(true);
  FiFaultCutAtSync(6, FiCut::kDropAll, 3);
  EXPECT_NE(w.Save(), 0);
  ASSERT_TRUE(FiFaultDead());
  FiFaultReset();
  EXPECT_TRUE(ChFiGet(w.file())->journal.rollbackPending);
  // The disk works again: the next save first writes the journal back,
  // then saves.
  EXPECT_EQ(w.Save(), 0);
  EXPECT_FALSE(ChFiGet(w.file())->journal.rollbackPending);
  EXPECT_EQ(w.Close(), 0);
  EXPECT_EQ(Reopened("after the error state"), after_);
}

// ---------------------------------------------------------------------------
// Corrupt pages and stale handles.

TEST_F(Journal, APageHeaderFromDiskIsCheckedBeforeItIsUsed) {
  // The free-tree root of page 1 points into the middle of a chunk.
  std::string bytes = base_;
  size_t page1 = 593920 + 4096;
  bytes[page1 + 2] = 0x00;
  bytes[page1 + 3] = 0x28;
  WriteFileBytes("quil.db", bytes);
  std::string text = quiltest::HaltText([] {
    ChFi f;
    ChPart part;
    if (ChFiOpen("quil.db", kChFiReadWrite, &f) || ChFiPartOpen(f, &part)) return;
    ChDeref(ChHandleMake(part, 1, 16));
  });
  EXPECT_EQ(text.rfind("assert:ChPgAllocFill-- page 1 of quil.db: offset ", 0), 0u) << text;
  std::string report;
  EXPECT_FALSE(ChCheckFile("quil.db", &report));
  EXPECT_NE(report.find("page 1: "), std::string::npos) << report;
}

TEST_F(Journal, AFileHandleKeptPastItsCloseHalts) {
  ChFi f;
  ASSERT_EQ(ChFiOpen("quil.db", kChFiReadOnly, &f), 0);
  ASSERT_EQ(ChFiClose(f), 0);
  ChFi again;
  ASSERT_EQ(ChFiOpen("quil.db", kChFiReadOnly, &again), 0);
  EXPECT_EQ(again.slot, f.slot);  // the slot is used again...
  EXPECT_NE(again, f);            // ...under a new generation
  EXPECT_EQ(quiltest::HaltText([&] { (void)ChFiPath(f); }), "assert:ChFiPath-- Illegal ChFi");
  EXPECT_EQ(quiltest::HaltText([&] { (void)ChBgSaveActive(ChFi()); }),
            "assert:ChBgSaveActive-- Illegal ChFi");
  EXPECT_EQ(ChFiClose(again), 0);
}

}  // namespace
