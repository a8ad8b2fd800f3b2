// Benchmarks of the persistent sequences, all in the transient part with
// every page in the cache:
//
//   BM_SlMapSet/N       N random keys (below 4 * N) set with
//                       SlReplaceSeg(list, value, key, 1, 1) in a new
//                       capacity-56 map; items are keys set
//   BM_SlMapGet/N       SlGetInterval of random keys in a map of N keys
//   BM_StdMapSet/N      the same keys into a std::map, for scale
//   BM_ChLiAppend       ChLiGenAppend to a list of up to 100,000 nodes
//   BM_ChStRoundTrip/N  StToChStXfm and ChStToStXfm of an N-byte string,
//                       then ChStDestroy; bytes are counted
//
// The store works in a scratch directory under the current one.
#include <benchmark/benchmark.h>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Ch.h"
#include "ChLi.h"
#include "ChSt.h"
#include "Sl.h"
#include "Store.h"
#include "store_bench.h"

using namespace quil;

namespace {

// The store in a scratch directory, with the store's chunk types.
class Scratch : public storebench::Scratch {
 public:
  Scratch() : storebench::Scratch(16384) { StoreRegisterTypes(); }
};

const ChHandle kNear = ChPartNear(kChTransientPart);

std::vector<uint32_t> Keys(int64_t n) {
  std::mt19937 rng(1);
  std::vector<uint32_t> keys(static_cast<size_t>(n));
  for (uint32_t& k : keys) k = rng() % uint32_t(4 * n);
  return keys;
}

void BM_SlMapSet(benchmark::State& state) {
  Scratch scratch;
  std::vector<uint32_t> keys = Keys(state.range(0));
  for (auto _ : state) {
    ChHandle map = SlCreate(kSlNoBackPointer, 0, 0, kNear, 56, kSlPlainLeaf);
    for (uint32_t k : keys) SlReplaceSeg(map, k + 1, k, 1, 1);
    state.PauseTiming();
    SlDestroy(map);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SlMapSet)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_SlMapGet(benchmark::State& state) {
  Scratch scratch;
  std::vector<uint32_t> keys = Keys(state.range(0));
  ChHandle map = SlCreate(kSlNoBackPointer, 0, 0, kNear, 56, kSlPlainLeaf);
  for (uint32_t k : keys) SlReplaceSeg(map, k + 1, k, 1, 1);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(SlGetInterval(map, keys[i], nullptr, nullptr));
    if (++i == keys.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
  SlDestroy(map);
}
BENCHMARK(BM_SlMapGet)->Arg(100000);

void BM_StdMapSet(benchmark::State& state) {
  std::vector<uint32_t> keys = Keys(state.range(0));
  for (auto _ : state) {
    std::map<uint32_t, uint32_t> map;
    for (uint32_t k : keys) map[k] = k + 1;
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StdMapSet)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_ChLiAppend(benchmark::State& state) {
  Scratch scratch;
  ChHandle list = ChLiGenCreate(kNear, kChLiNodeType);
  int32_t n = 0;
  for (auto _ : state) {
    list = ChLiGenAppend(list, 0, uint32_t(n), kChLiNodeType);
    if (++n == 100000) {
      state.PauseTiming();
      list = ChLiGenDestroy(list, kChLiNodeType);
      n = 0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
  ChLiGenDestroy(list, kChLiNodeType);
}
BENCHMARK(BM_ChLiAppend);

void BM_ChStRoundTrip(benchmark::State& state) {
  Scratch scratch;
  St text = StCreateRepeat(int32_t(state.range(0)), 'x');
  for (auto _ : state) {
    ChHandle h = StToChStXfm(text, kNear);
    St back = ChStToStXfm(h);
    benchmark::DoNotOptimize(back.Length());
    ChStDestroy(h);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ChStRoundTrip)->Arg(100)->Arg(8200)->Arg(60000);

}  // namespace

BENCHMARK_MAIN();
