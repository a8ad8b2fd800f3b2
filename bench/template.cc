// Template language speed: parsing a 1 MiB template file, evaluating a
// loop of string concatenations and comparisons (ns per loop iteration),
// and rendering a discussion page of 50 messages of 1 KiB each from a real
// database through the sysop-setting templates (pages per second on one
// core, and heap allocations per page).
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Ch.h"
#include "Eval.h"
#include "Forum.h"
#include "ForumUser.h"
#include "Qu.h"
#include "Store.h"
#include "Td.h"
#include "Template.h"
#include "Ut.h"

// Every heap allocation of the process is counted (operator new goes
// through malloc too).
namespace {
std::atomic<int64_t> allocations{0};
}
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* malloc(size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}
extern "C" void* realloc(void* p, size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, n);
}
extern "C" void* calloc(size_t n, size_t m) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(n, m);
}

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

// ---------------------------------------------------------------------------
// A discussion page.

constexpr int kMessages = 50;
constexpr int kBodyBytes = 1024;

// The database, in a scratch directory for the benchmark's lifetime.
class DiscussionSite {
 public:
  DiscussionSite() {
    char tmpl[] = "/tmp/quil-bench-template-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    dir_ = tmpl;
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    (void)UtInitRtns(kPkgInit, kPkgVersion);
    StoreRegisterTypes();
    (void)QuInitRtns(kPkgInit, kPkgVersion);
    if (ChInit(kPkgVersion, 2048) != 0) abort();
    (void)ForumInitRtns(kPkgInit, kPkgVersion);
    ForumDbOpenOptions options;
    root = ForumDbOpenI("quil.db", &options);
    ForumFile top = ForumTopFolder(root);
    (void)ForumCatItemCreate(top, StCStrXfm("forum-category"), StCStrXfm("Cafe"),
                             StCStrXfm("The Cafe"), 0, true, nullptr);
    ForumFile cafe = ForumFileOpen(root, StCStrXfm("/Cafe"));
    (void)ForumCatItemCreate(cafe, StCStrXfm("forum-topic"), StCStrXfm("x"),
                             StCStrXfm("Brewing methods compared"), 0, true, nullptr);
    discussion = ForumFileOpen(root, StCStrXfm("/Cafe/1"));
    ChHandle authors[5];
    const char* names[5] = {"Lee, Ann", "Ray, Bob", "Cho, Kim", "Diaz, Luz", "Ng, Tam"};
    for (int i = 0; i < 5; ++i)
      (void)ForumUserCreate(root, kForumUserRegistered, StCStrXfm(names[i]), St(),
                            StHashMd5(StCStrXfm("pw")), &authors[i]);
    std::string body;
    while (body.size() < size_t(kBodyBytes))
      body += "<p>Pour-over needs a steady hand & 93 degree water; the grind "
              "matters more than the kettle.</p>\n";
    body.resize(size_t(kBodyBytes));
    for (int i = 0; i < kMessages; ++i) {
      int32_t index;
      (void)ForumItemCreate(discussion, authors[i % 5],
                      StFromView(i % 3 ? "" : "On grinders"), StCStrXfm("text"),
                      StFromView(body), i > 0 ? i - 1 : -1, true, &index);
    }
    ForumSysopSetHtmlTitle(root, StCStrXfm("Tea and Coffee"));
    ForumSysopSetHtmlDiscussPre(root, StCStrXfm(
        "<h1>%% pathTitle.toSGML %%</h1><p class=\"meta\">%% pathMessageCount %% "
        "messages in <a href=\"%% parentUrl %%\">%% parentTitle.toSGML %%</a></p>"));
    ForumSysopSetMessagePre(root, StCStrXfm("<ol class=\"messages\">"));
    ForumSysopSetMessage(root, StCStrXfm(
        "<li class=\"message\" id=\"m%% pathItemNumber %%\"><header>"
        "<span class=\"author\">%% authorName.toSGML %%</span> <time>%% pathDate %%</time>"
        "%% if pathTitle %%<h2>%% pathTitle.toSGML %%</h2>%% endif %%</header>"
        "<div class=\"body\">%% pathBody %%</div><footer>"
        "%% if itemCanEdit %%<a href=\"?53@@%% pathFull %%\">Edit</a> %% endif %%"
        "<a href=\"?229@@%% pathFull %%\">Reply</a></footer></li>"));
    ForumSysopSetMessageBetween(root, StCStrXfm("\n"));
    ForumSysopSetMessagePost(root, StCStrXfm("</ol>"));
    ForumSysopSetHtmlDiscussPost(root, StCStrXfm(
        "<p><a class=\"button\" href=\"?229@@%% pathFull %%\">Reply</a></p>"));
    ForumSysopSetHtmlFooter(root, StCStrXfm(
        "<footer class=\"site-footer\">%% siteTitle.toSGML %% &middot; %% programPromo %%"
        "</footer>"));
    TemplateSite& site = TemplateMainSite();
    site.root = root;
    ForumTemplateCache(site);
    viewer = authors[1];
    // The page as a page handler builds it: the head, the heading before,
    // the messages, the heading after, the footer.
    head = TemplateParse(StCStrXfm(
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        "<title>%% siteTitle.toSGML %% - %% pathTitle.toSGML %%</title>"
        "<link rel=\"stylesheet\" href=\"/quil.css\"></head><body><main class=\"page\">"));
    list = TemplateParse(StCStrXfm("%% pathItemsAll %%"));
  }
  ~DiscussionSite() {
    head = list = TemplateRef();
    discussion = ForumFile();
    TemplateSite& site = TemplateMainSite();
    TemplateCacheTerm(site);
    site.root = nullptr;
    ForumDbCloseI(root);
    (void)ForumInitRtns(kPkgTerm, 0);
    ChTerm();
    (void)QuInitRtns(kPkgTerm, 0);
    (void)UtInitRtns(kPkgTerm, 0);
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }

  ForumRoot root = nullptr;
  ForumFile discussion;
  ChHandle viewer = 0;
  TemplateRef head, list;

 private:
  std::string dir_;
  std::filesystem::path old_;
};

// cold: before each page the root's message revision moves (as a post
// elsewhere on the site does), so that the site's message cache is emptied
// and every message is read from the store again.
void RenderPages(benchmark::State& state, bool cold) {
  DiscussionSite site;
  St cert = StCStrXfm("ab.cdefghijkl-x^7");
  const ForumFile& d = site.discussion;
  Buf buf;
  int64_t bytes = 0, allocs = 0;
  for (auto _ : state) {
    if (cold) ForumChanged(site.root, false);
    int64_t before = allocations.load(std::memory_order_relaxed);
    BufOpen(buf);
    BufAddTemplate(buf, site.head, site.viewer, cert, d, nullptr);
    BufAddTemplate(buf, HtmlDiscussPreTemplate(d), site.viewer, cert, d, nullptr);
    BufAddTemplate(buf, site.list, site.viewer, cert, d, nullptr);
    BufAddTemplate(buf, HtmlDiscussPostTemplate(d), site.viewer, cert, d, nullptr);
    BufAddC(buf, "</main>");
    BufAddTemplate(buf, HtmlFooterTemplate(d), site.viewer, cert, d, nullptr);
    BufAddC(buf, "</BODY></HTML>");
    St out = BufClose(buf);
    bytes += out.Length();
    allocs += allocations.load(std::memory_order_relaxed) - before;
    benchmark::DoNotOptimize(out.Rep());
  }
  state.SetBytesProcessed(bytes);
  state.counters["pages/s"] =
      benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["allocs/page"] =
      double(allocs) / double(state.iterations() ? state.iterations() : 1);
  state.counters["bytes/page"] =
      double(bytes) / double(state.iterations() ? state.iterations() : 1);
}

void BM_DiscussionPage50(benchmark::State& state) { RenderPages(state, false); }
void BM_DiscussionPage50Cold(benchmark::State& state) { RenderPages(state, true); }
BENCHMARK(BM_DiscussionPage50Cold)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DiscussionPage50)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
