// The RAM queue: scheduling callbacks and running the due ones.  Target:
// more than 2 million callbacks a second (add plus run).
#include <benchmark/benchmark.h>

#include <vector>

#include "Ht.h"
#include "Ma.h"
#include "Qu.h"

using namespace quil;

namespace {

int64_t runs = 0;
void Count(intptr_t, int32_t) { ++runs; }

struct QueueUp {
  QueueUp() {
    HtInitRtns(kPkgInit, kPkgVersion);
    QuInitRtns(kPkgDebug, 1);  // checks on, as in service
    QuInitRtns(kPkgInit, kPkgVersion);
  }
};

void Setup() { static QueueUp up; }

// Adds a batch of callbacks that are due at once, then runs them.
void BM_QuRamAddAndRunDue(benchmark::State& state) {
  Setup();
  const int batch = int(state.range(0));
  runs = 0;
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i) QuRamAdd(0, Count, i);
    QuProcess(1000, 0);
  }
  if (runs != int64_t(state.iterations()) * batch)
    state.SkipWithError("not every callback ran");
  state.SetItemsProcessed(runs);
}
BENCHMARK(BM_QuRamAddAndRunDue)->Arg(1)->Arg(100)->Arg(10000);

// Timers with spread delays (inserted in the middle of the list), all
// cancelled before they fall due: the cost of the sorted insertion and of
// QuRamKill.
void BM_QuRamAddSpreadAndKill(benchmark::State& state) {
  Setup();
  const int batch = int(state.range(0));
  std::vector<int32_t> ids(static_cast<size_t>(batch), 0);
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i)
      ids[size_t(i)] = QuRamAdd(100000 + (i * 7919) % 1000, Count, i);
    for (int i = batch - 1; i >= 0; --i) QuRamKill(ids[size_t(i)]);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * batch);
}
BENCHMARK(BM_QuRamAddSpreadAndKill)->Arg(10)->Arg(100);

}  // namespace

BENCHMARK_MAIN();
