// String hot paths: StDup, StCat growing a string to 1 MiB, StCompare, and the
// HTML and URL escapes on 64 KiB of text with nothing to escape and with 10%
// of the bytes escaped.
//
// Targets: StDup under 2 ns; StToSgml over 1 GB/s on text with nothing to
// escape.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>

#include "St.h"

namespace {

using quil::St;

constexpr size_t kTextSize = 64 * 1024;

// Lines of printable words and blanks (for URLs, words joined by "-").  With
// specials, one byte in each ten becomes one of them.
std::string Text(const char* specials, bool forUrl) {
  std::mt19937 rng(42);
  std::string text;
  text.reserve(kTextSize);
  const char letters[] = "etaoinshrdlucmfwypvbgkjqxz";
  const char blank = forUrl ? '-' : ' ';
  while (text.size() < kTextSize) {
    if (text.size() % 72 == 71)
      text += forUrl ? '-' : '\n';
    else
      text += rng() % 6 == 0 ? blank : letters[rng() % 26];
  }
  size_t nSpecials = strlen(specials);
  if (nSpecials > 0)
    for (size_t i = 0; i + 10 <= text.size(); i += 10)
      text[i + rng() % 10] = specials[rng() % nSpecials];
  return text;
}

void BM_StDup(benchmark::State& state) {
  St s = quil::StFromView("a shared string");
  for (auto _ : state) {
    St d = quil::StDup(s);
    benchmark::DoNotOptimize(d);
  }
}
BENCHMARK(BM_StDup);

void BM_StCatTo1MiB(benchmark::State& state) {
  St piece = quil::StFromView("0123456789abcdef0123456789abcdef");  // 32 bytes
  for (auto _ : state) {
    St s = quil::StCreate();
    while (s.Length() < (1 << 20)) s = quil::StCat(std::move(s), piece);
    benchmark::DoNotOptimize(s.CStr());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * (1 << 20));
}
BENCHMARK(BM_StCatTo1MiB);

void BM_StCompare(benchmark::State& state) {
  std::string base = Text("", false);
  St a = quil::StFromView(std::string_view(base).substr(0, size_t(state.range(0))));
  St b = quil::StFromView(a.View());
  quil::StTable table = state.range(1) ? quil::StASCIIUpper : quil::StLiteral;
  for (auto _ : state) benchmark::DoNotOptimize(quil::StCompare(a, b, table));
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_StCompare)->Args({16, 0})->Args({16, 1})->Args({4096, 0})->Args({4096, 1});

template <St (*Escape)(St)>
void RunEscape(benchmark::State& state, const std::string& text) {
  St s = quil::StFromView(text);
  for (auto _ : state) {
    St out = Escape(s);  // s stays shared: each pass converts the same text
    benchmark::DoNotOptimize(out.CStr());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void BM_StToSgmlClean(benchmark::State& state) {
  RunEscape<quil::StToSgml>(state, Text("", false));
}
void BM_StToSgml10Percent(benchmark::State& state) {
  RunEscape<quil::StToSgml>(state, Text("<>&\"\t", false));
}
void BM_StToUrlQuoteClean(benchmark::State& state) {
  RunEscape<quil::StToUrlQuote>(state, Text("", true));
}
void BM_StToUrlQuote10Percent(benchmark::State& state) {
  RunEscape<quil::StToUrlQuote>(state, Text(" /?:=&%", true));
}
BENCHMARK(BM_StToSgmlClean);
BENCHMARK(BM_StToSgml10Percent);
BENCHMARK(BM_StToUrlQuoteClean);
BENCHMARK(BM_StToUrlQuote10Percent);

}  // namespace

BENCHMARK_MAIN();
