// Container hot paths: keyword look-up (the template language looks up every
// name it reads), list append and pop through the node free list, walking a
// list, and counting set members.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "Ha.h"
#include "Li.h"
#include "Se.h"

namespace {

using namespace quil;

// About the size of the template language's vocabulary.
std::vector<std::string> Keywords() {
  std::vector<std::string> words;
  const char* stems[] = {"folder", "message", "user",  "site",  "date",
                         "title",  "count",   "url",   "group", "access",
                         "chat",   "mail",    "search", "page",  "link"};
  const char* tails[] = {"", "Name", "Id", "Count", "Url", "List", "Of",
                         "Is", "Set", "Last", "First", "Time", "Path"};
  for (const char* s : stems)
    for (const char* t : tails) words.push_back(std::string(s) + t);
  return words;
}

void BM_KwHashLookup(benchmark::State& state) {
  auto words = Keywords();
  KwHash table = KwHashCreate();
  for (size_t i = 0; i < words.size(); ++i)
    KwHashAdd(table, StFromView(words[i]), int32_t(i));
  size_t i = 0;
  for (auto _ : state) {
    int32_t value;
    benchmark::DoNotOptimize(KwHashLookup(table, words[i], &value));
    benchmark::DoNotOptimize(value);
    if (++i == words.size()) i = 0;
  }
  state.counters["keywords"] = double(words.size());
}
BENCHMARK(BM_KwHashLookup);

void BM_KiHashLookup(benchmark::State& state) {
  KiHash table = KiHashCreateCount(1021);
  for (int32_t k = 0; k < 4096; ++k) KiHashAdd(table, k * 7, k);
  int32_t k = 0;
  for (auto _ : state) {
    int32_t value;
    benchmark::DoNotOptimize(KiHashLookup(table, k * 7, &value));
    k = (k + 1) & 4095;
  }
}
BENCHMARK(BM_KiHashLookup);

void BM_LiAppendPop(benchmark::State& state) {
  Li<int32_t> list;
  for (int32_t i = 0; i < 16; ++i) LiAppend(list, i);
  int32_t i = 0;
  for (auto _ : state) {
    LiAppend(list, ++i);
    benchmark::DoNotOptimize(LiPop(list));
  }
}
BENCHMARK(BM_LiAppendPop);

void BM_LiWalk(benchmark::State& state) {
  Li<int32_t> list;
  for (int32_t i = 0; i < 1000; ++i) LiAppend(list, i);
  for (auto _ : state) {
    int64_t sum = 0;
    for (int32_t d : list) sum += d;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_LiWalk);

void BM_SeNMembers(benchmark::State& state) {
  Se set = SeCreate(4096);
  for (int32_t e = 1; e <= 4096; e += 3) SeAddMember(set, e);
  for (auto _ : state) benchmark::DoNotOptimize(SeNMembers(set));
  state.SetBytesProcessed(state.iterations() * 4096 / 8);
}
BENCHMARK(BM_SeNMembers);

}  // namespace

BENCHMARK_MAIN();
