// Template language speed: parsing a 1 MiB template file, and evaluating a
// loop of string concatenations and comparisons (ns per loop iteration).
#include <benchmark/benchmark.h>

#include <string>

#include "Eval.h"
#include "Td.h"
#include "Template.h"

namespace {

using namespace quil;

// A site template file of about 1 MiB: HTML with statements of every kind,
// macros, and the odd single "%".
std::string SiteFile() {
  std::string block =
      "<tr><td class=\"item\">A line of page text, 100% literal, with words "
      "and markup</td>\r\n"
      "%% macro listItem %%\r\n"
      "<td>%% if pathIsFolder %%<a href=\"%% pathUrl %%\">"
      "%% pathTitle.toSGML %%</a>%% elseif pathIsMessage %%"
      "%% pathBody.plainTextToHtml %%%% else %%%% pathTitle %%%% endif %%</td>\r\n"
      "%% set count count + 1 %%%% set row \"r\" & count %%\r\n"
      "%% while i < 10 %%%% set i i + 1 %%%% if i == 5 %%%% continue %%"
      "%% endif %%<i>%% i %%</i>%% endwhile %%\r\n"
      "%% use footer %%%% date(\"Www, D1 Mmm Y4\") %%"
      "%% \"abc\".substr(1, 2).toUpper & 12345.intWithCommas %%\r\n"
      "%% endmacro %%\r\n"
      "%% if form(\"mode\") == \"edit\" && userIsSysop || 3 * (4 + 5) > 20 %%"
      "<p>Editing</p>%% endif %%\r\n";
  std::string text;
  while (text.size() < (size_t(1) << 20)) text += block;
  return text;
}

void BM_TemplateParse1MiB(benchmark::State& state) {
  ExprParseInit();
  St text = StFromView(SiteFile());
  for (auto _ : state) {
    TemplateRef t = TemplateParse(text);
    benchmark::DoNotOptimize(t.get());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * text.Length());
}
BENCHMARK(BM_TemplateParse1MiB)->Unit(benchmark::kMillisecond);

constexpr int kLoops = 10000;

void BM_TemplateLoop10000(benchmark::State& state) {
  TemplateRef t = TemplateParse(StFromView(
      "%% set i 0 %%%% set s \"\" %%%% set n 0 %%"
      "%% while i < 10000 %%"
      "%% set s s & \"ab\" %%"
      "%% set t \"item\" & i %%"
      "%% if t == \"item5000\" || s < \"b\" %%%% set n n + 1 %%%% endif %%"
      "%% set i i + 1 %%"
      "%% endwhile %%%% n %%"));
  for (auto _ : state) {
    ExprContext ctx(kLoops + 10);
    St out = TemplateProcess(t, ctx);
    if (out.Str() != "10000") state.SkipWithError("wrong result");
  }
  state.counters["ns/iteration"] = benchmark::Counter(
      double(state.iterations()) * kLoops,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_TemplateLoop10000)->Unit(benchmark::kMicrosecond);

void BM_TdToSt(benchmark::State& state) {
  Td t = TdFromSeconds(983797449, true);
  for (auto _ : state) {
    St s = TdToSt(t, "Www, D1 Mmm Y4 H4:I2:S2 G$MT");
    benchmark::DoNotOptimize(s.Rep());
  }
}
BENCHMARK(BM_TdToSt);

}  // namespace

BENCHMARK_MAIN();
