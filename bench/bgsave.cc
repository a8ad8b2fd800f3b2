// Background save and backup benchmarks.
//
//   BM_SaveStartHoldUp      how long ChPartSave holds the calling (request)
//                           thread when it starts a background save of
//                           50,000 changed pages: freezing the page list and
//                           starting the writer, not the writing (target:
//                           under 20 ms).  cached:1 has every page in the
//                           cache, cached:0 most of them in the transient file.
//   BM_BgSaveVsSequential   a background save of 50,000 pages from its start
//                           to its completion, against the same bytes written
//                           sequentially in 4,096-byte writes with one
//                           fdatasync per 15 pages, the two taking turns;
//                           "ratio" is the save's speed over the sequential
//                           writes' (the synchronous save's target is 0.7).
//   BM_BgSaveJournalShare   the same save of 50,000 pages rewritten in place
//                           (the worst case of the rollback journal: every
//                           page is journaled), timed in two parts: until the
//                           writer reaches its first page (the journal
//                           written and synced, the marker set) and the rest.
//                           "journal_share" is the first part over the whole,
//                           "slowdown" the whole over the rest: how much
//                           slower the journal makes the save (target: at
//                           most 1.3).
//   BM_BackupCopy           backup pieces run back to back: MB/s of the copy.
//   BM_ChangesDuringBackup  a stream of chunk changes for two seconds while a
//                           backup copies a piece every 200 ms from the RAM
//                           queue (backup:1) or none runs (backup:0): changes
//                           per second, and the longest pass of the queue
//                           loop (the stall a piece causes).
//
// Files go to a directory under the current one (QUIL_BENCH_DIR overrides).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "Ch.h"
#include "Ht.h"
#include "Ma.h"
#include "Qu.h"
#include "Ut.h"
#include "store_bench.h"

using namespace quil;

namespace {

constexpr uint32_t kSavePages = 50000;

using storebench::Seconds;
using storebench::WriteSequential;

// A part of pages - 1 chunks of 4,000 bytes, each on a page of its own.
struct BigPart {
  ChPart part = 0;
  std::vector<ChHandle> chunks;

  BigPart(const std::string& name, uint32_t pages) {
    ChFi file;
    if (ChFiCreate(name, &file) || ChFiPartCreate(file, &part)) abort();
    chunks = storebench::FillPages(part, pages);
  }
  ~BigPart() { (void)ChFiClose(ChGetChFi(part)); }
  BigPart(const BigPart&) = delete;
  BigPart& operator=(const BigPart&) = delete;

  void ChangeAll() { storebench::ChangeAll(part, chunks); }

  void SaveAndWait() {
    uint32_t rev;
    if (ChPartSave(part, 0, &rev) != 0) abort();
    ChBgSaveCleanupWait(ChGetChFi(part));
  }
};

// Background saving on, the RAM queue running, for the life of the object.
class BgScratch : public storebench::Scratch {
 public:
  explicit BgScratch(uint32_t cachePages) : Scratch(cachePages) {
    ChBgSaveSetEnabled(true);
    if (QuInitRtns(kPkgInit, kPkgVersion) != 0) abort();
  }
  ~BgScratch() {
    (void)QuInitRtns(kPkgTerm, 0);
    ChBgSaveSetEnabled(false);
  }
};

void BM_SaveStartHoldUp(benchmark::State& state) {
  bool cached = state.range(0) != 0;
  BgScratch scratch(cached ? kSavePages + 100 : 2000);
  BigPart big("quil.db", kSavePages);
  big.SaveAndWait();
  for (auto _ : state) {
    big.ChangeAll();
    if (ChPartChangedPages(big.part) != kSavePages) abort();
    auto start = std::chrono::steady_clock::now();
    uint32_t rev;
    if (ChPartSave(big.part, 0, &rev) != 0) abort();
    state.SetIterationTime(Seconds(start));
    ChBgSaveCleanupWait(ChGetChFi(big.part));
  }
}
BENCHMARK(BM_SaveStartHoldUp)->Arg(1)->Arg(0)->ArgName("cached")
    ->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

void BM_BgSaveVsSequential(benchmark::State& state) {
  BgScratch scratch(kSavePages + 100);
  BigPart big("quil.db", kSavePages);
  big.SaveAndWait();
  int fd = open("baseline", O_RDWR | O_CREAT, 0644);
  if (fd < 0) abort();
  WriteSequential(fd, kSavePages);
  double saveTotal = 0, seqTotal = 0;
  int round = 0;
  for (auto _ : state) {
    big.ChangeAll();
    double save = 0, seq = 0;
    for (int turn = 0; turn < 2; ++turn) {
      auto start = std::chrono::steady_clock::now();
      if ((turn + round) % 2 == 0) {
        big.SaveAndWait();
        save = Seconds(start);
      } else {
        WriteSequential(fd, kSavePages);
        seq = Seconds(start);
      }
    }
    ++round;
    state.SetIterationTime(save);
    saveTotal += save;
    seqTotal += seq;
  }
  close(fd);
  double bytes = double(state.iterations()) * kSavePages * kChPageSize;
  state.counters["save_MBps"] = bytes / saveTotal / 1e6;
  state.counters["sequential_MBps"] = bytes / seqTotal / 1e6;
  state.counters["ratio"] = seqTotal / saveTotal;
}
BENCHMARK(BM_BgSaveVsSequential)->Unit(benchmark::kMillisecond)->Iterations(3)
    ->UseManualTime();

void BM_BgSaveJournalShare(benchmark::State& state) {
  BgScratch scratch(kSavePages + 100);
  BigPart big("quil.db", kSavePages);
  big.SaveAndWait();
  double journalTotal = 0, total = 0;
  for (auto _ : state) {
    big.ChangeAll();
    ChBgSaveHookPauseAt(0);  // page 0 is written first
    auto start = std::chrono::steady_clock::now();
    uint32_t rev;
    if (ChPartSave(big.part, 0, &rev) != 0) abort();
    if (!ChBgSaveHookWaitPaused(600000)) abort();
    double journal = Seconds(start);
    ChBgSaveHookRelease();
    ChBgSaveCleanupWait(ChGetChFi(big.part));
    double whole = Seconds(start);
    state.SetIterationTime(whole);
    journalTotal += journal;
    total += whole;
  }
  double bytes = double(state.iterations()) * kSavePages * kChPageSize;
  state.counters["save_MBps"] = bytes / total / 1e6;
  state.counters["without_journal_MBps"] = bytes / (total - journalTotal) / 1e6;
  state.counters["journal_share"] = journalTotal / total;
  state.counters["slowdown"] = total / (total - journalTotal);
}
BENCHMARK(BM_BgSaveJournalShare)->Unit(benchmark::kMillisecond)->Iterations(3)
    ->UseManualTime();

constexpr uint32_t kBackupPages = 20000;

void BM_BackupCopy(benchmark::State& state) {
  BgScratch scratch(4096);
  BigPart big("quil.db", kBackupPages);
  big.SaveAndWait();
  int64_t bytes = 0;
  for (auto _ : state) {
    if (ChStartBackup(big.part, "quil.bak", nullptr, 0) != 0) abort();
    while (!ChRepackDoPiece(big.part)) {
    }
    bytes += int64_t(std::filesystem::file_size("quil.bak"));
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_BackupCopy)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ChangesDuringBackup(benchmark::State& state) {
  bool backup = state.range(0) != 0;
  BgScratch scratch(4096);
  BigPart big("quil.db", kBackupPages);
  big.SaveAndWait();
  std::mt19937 rng(1);
  double changes = 0, seconds = 0, longest = 0;
  for (auto _ : state) {
    if (backup && ChStartBackup(big.part, "quil.bak", nullptr, 0) != 0) abort();
    auto start = std::chrono::steady_clock::now();
    int64_t n = 0;
    while (Seconds(start) < 2.0) {
      for (int i = 0; i < 64; ++i, ++n) {
        // The hot set stays in the cache, as a server's does.
        ChLocked c(big.chunks[rng() % 2000]);
        c.Data()[n % 4000] = uint8_t(n);
        c.MarkModified();
      }
      auto pass = std::chrono::steady_clock::now();
      QuProcess(100, 0);
      longest = std::max(longest, Seconds(pass));
    }
    seconds += Seconds(start);
    changes += double(n);
    if (backup) ChStopBackup(big.part);
  }
  state.counters["changes_per_s"] = changes / seconds;
  state.counters["longest_pass_ms"] = longest * 1000;
}
BENCHMARK(BM_ChangesDuringBackup)->Arg(0)->Arg(1)->ArgName("backup")
    ->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
