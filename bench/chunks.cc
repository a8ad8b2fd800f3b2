// Chunk store benchmarks.
//
//   BM_LockUnlockCached     ChLock + ChUnlockNoMod pairs on cached pages
//                           (target: over 20 million pairs per second)
//   BM_SaveVsSequential     ChPartSave of 50,000 changed pages against the
//                           same bytes written sequentially in 4,096-byte
//                           writes with one fdatasync per 15 pages; the
//                           counter "ratio" is the save's speed over the
//                           sequential writes' (target: at least 0.7)
//
// Both write into a directory under the current one (QUIL_BENCH_DIR
// overrides), so that they use the same disk.  rewrite:0 writes new files,
// rewrite:1 overwrites existing ones.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Ch.h"
#include "Ut.h"
#include "store_bench.h"

using namespace quil;

namespace {

constexpr uint32_t kSavePages = 50000;

using storebench::Scratch;
using storebench::Seconds;
using storebench::WriteSequential;

void BM_LockUnlockCached(benchmark::State& state) {
  Scratch scratch(256);
  const int kChunks = 1024;  // 16 per page over 64 pages
  std::vector<ChHandle> handles;
  ChHandle near = ChPartNear(kChTransientPart);
  for (int i = 0; i < kChunks; ++i) {
    ChHandle h;
    void* data = ChCreate(kUtTypeRaw, 240, near, &h);
    ChUnlockMod(data);
    handles.push_back(h);
    near = h;
  }
  size_t i = 0;
  for (auto _ : state) {
    void* p = ChLock(handles[i]);
    benchmark::DoNotOptimize(p);
    ChUnlockNoMod(p);
    i = (i + 1) & (kChunks - 1);
  }
  state.SetItemsProcessed(state.iterations());
  for (ChHandle h : handles) ChDestroy(h);
}
BENCHMARK(BM_LockUnlockCached);

// Each iteration saves 50,000 changed pages and writes the same number of
// bytes sequentially into another file of the same directory, the two
// taking turns in going first; the iteration time is the save's, and
// "ratio" is the save's speed over the sequential writes' (measured back to
// back, so that the load of a shared machine affects them alike).
void BM_SaveVsSequential(benchmark::State& state) {
  bool rewrite = state.range(0) != 0;
  Scratch scratch(kSavePages + 100);
  double saveTotal = 0, seqTotal = 0;
  int round = 0;
  for (auto _ : state) {
    std::filesystem::remove("quil.db");
    std::filesystem::remove("baseline");
    ChFi file;
    ChPart part;
    if (ChFiCreate("quil.db", &file) || ChFiPartCreate(file, &part)) abort();
    std::vector<ChHandle> chunks = storebench::FillPages(part, kSavePages);
    uint32_t rev;
    int fd = open("baseline", O_RDWR | O_CREAT, 0644);
    if (fd < 0) abort();
    if (rewrite) {
      if (ChPartSave(part, 0, &rev) != 0) abort();
      storebench::ChangeAll(part, chunks);
      WriteSequential(fd, kSavePages);
    }
    if (ChPartChangedPages(part) != kSavePages) abort();
    // The two take turns in going first.
    double save = 0, seq = 0;
    for (int turn = 0; turn < 2; ++turn) {
      auto start = std::chrono::steady_clock::now();
      if ((turn + round) % 2 == 0) {
        if (ChPartSave(part, 0, &rev) != 0) abort();
        save = Seconds(start);
      } else {
        WriteSequential(fd, kSavePages);
        seq = Seconds(start);
      }
    }
    ++round;
    close(fd);
    state.SetIterationTime(save);
    saveTotal += save;
    seqTotal += seq;
    for (ChHandle h : chunks) ChDestroy(h);
    (void)ChFiClose(file);
  }
  double bytes = double(state.iterations()) * kSavePages * kChPageSize;
  state.counters["save_MBps"] = bytes / saveTotal / 1e6;
  state.counters["sequential_MBps"] = bytes / seqTotal / 1e6;
  state.counters["ratio"] = seqTotal / saveTotal;
}
BENCHMARK(BM_SaveVsSequential)->Arg(0)->Arg(1)->ArgName("rewrite")
    ->Unit(benchmark::kMillisecond)->Iterations(4)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
