// Read marks over a folder of 10,000 discussions (1 to 3 messages each), a
// registered user who has read every other one:
//   - a folder page with and without the new-item marks: ForumCatListPage
//     (newest first, the user's read right on every child) of 50 entries
//     and of all 10,000, then, for the marked form, ForumEntryIsNew on
//     every entry of the page (target: the marked page costs at most 10%
//     more than the plain one);
//   - the read-mark update of showing a message (ForumSetHighwater, each
//     call storing a larger mark) and the "has new messages" test of one
//     discussion (ForumHasNewMessages).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <vector>

#include "Ch.h"
#include "ForumRead.h"
#include "ForumUser.h"
#include "Qu.h"
#include "Store.h"
#include "Ut.h"

using namespace quil;

namespace {

constexpr int kDiscussions = 10000;

St Text(const std::string& s) { return StFromView(s); }

// A new database in a scratch directory (the working directory while it is
// open) with the folder and the user; closed and removed at exit.
struct BigFolder {
  std::filesystem::path dir, oldDir;
  ForumRoot root = nullptr;
  ForumFile folder;
  std::vector<ForumFile> sample;  // 1,000 discussions held open
  ChHandle user = 0;
  BigFolder() {
    char tmpl[] = "/tmp/quil-bench-read-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    dir = tmpl;
    oldDir = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    (void)UtInitRtns(kPkgInit, kPkgVersion);
    StoreRegisterTypes();
    (void)QuInitRtns(kPkgInit, kPkgVersion);
    if (ChInit(kPkgVersion, 4096) != 0) abort();
    if (ForumInitRtns(kPkgInit, kPkgVersion) != 0) abort();
    ForumDbOpenOptions options;
    root = ForumDbOpenI("quil.db", &options);
    St final;
    if (ForumCatItemCreate(ForumTopFolder(root), Text("forum-category"), Text("Big"), Text("Big"),
                           0, true, &final) != 0)
      abort();
    folder = ForumFileHasChild(ForumTopFolder(root), final);
    if (ForumUserCreate(root, kForumUserRegistered, Text("Ann Lee"), St(), St(), &user) != 0)
      abort();
    std::mt19937 rng(11);
    for (int i = 0; i < kDiscussions; ++i) {
      St name;
      if (ForumCatItemCreate(folder, Text("forum-topic"), Text("x"), Text("t" + std::to_string(i)),
                             0, true, &name) != 0)
        abort();
      ForumFile d = ForumFileHasChild(folder, name);
      int messages = 1 + int(rng() % 3);
      for (int m = 0; m < messages; ++m)
        if (ForumItemCreate(d, 0, St(), Text("text"), Text("body"), -1, true, nullptr) != 0) abort();
      if (i % 2 == 0) ForumSetHighwaterAll(user, d);
      if (i % 10 == 0) sample.push_back(d);
    }
  }
  ~BigFolder() {
    sample.clear();
    folder = ForumFile();
    ForumDbCloseI(root);
    if (ForumInitRtns(kPkgTerm, 0) != 0) abort();
    ChTerm();
    (void)QuInitRtns(kPkgTerm, 0);
    (void)UtInitRtns(kPkgTerm, 0);
    std::filesystem::current_path(oldDir);
    std::filesystem::remove_all(dir);
  }
};

BigFolder& Folder() {
  static BigFolder f;
  return f;
}

// Arguments: entries on the page, with the new-item marks (1) or without.
void BM_FolderPage(benchmark::State& state) {
  BigFolder& f = Folder();
  int32_t count = int32_t(state.range(0));
  bool marks = state.range(1) != 0;
  int64_t fresh = 0, expected = 0;
  for (auto _ : state) {
    int32_t total = 0;
    std::vector<ChHandle> page =
        ForumCatListPage(f.folder, f.user, kForumSeqRevCreate, 0, count, &total);
    if (marks)
      for (ChHandle entry : page) fresh += ForumEntryIsNew(f.root, entry, f.user);
    benchmark::DoNotOptimize(page.data());
    state.PauseTiming();
    // Discussion n (named by its number) was read when n is odd.
    int32_t n = 0;
    if (marks)
      for (ChHandle entry : page) expected += StIntStXfm(ForumCatItemName(f.root, entry), &n) && n % 2 == 0;
    state.ResumeTiming();
  }
  if (fresh != expected) state.SkipWithError("the new discussions are not those not read");
  state.SetItemsProcessed(int64_t(state.iterations()) * count);
}
BENCHMARK(BM_FolderPage)
    ->Args({50, 0})
    ->Args({50, 1})
    ->Args({kDiscussions, 0})
    ->Args({kDiscussions, 1})
    ->Unit(benchmark::kMicrosecond);

// The new-item marks alone, over the entries of the whole folder: the cost
// the marked page adds to the plain one.
void BM_EntryMarks(benchmark::State& state) {
  BigFolder& f = Folder();
  int32_t total = 0;
  std::vector<ChHandle> page =
      ForumCatListPage(f.folder, f.user, kForumSeqRevCreate, 0, kDiscussions, &total);
  int64_t fresh = 0;
  for (auto _ : state)
    for (ChHandle entry : page) fresh += ForumEntryIsNew(f.root, entry, f.user);
  if (fresh != int64_t(state.iterations()) * kDiscussions / 2)
    state.SkipWithError("every other discussion should be new");
  state.SetItemsProcessed(int64_t(state.iterations()) * kDiscussions);
}
BENCHMARK(BM_EntryMarks)->Unit(benchmark::kMicrosecond);

void BM_SetHighwater(benchmark::State& state) {
  BigFolder& f = Folder();
  size_t k = 0;
  int32_t index = 10;
  for (auto _ : state) {
    ForumSetHighwater(f.user, f.sample[k], index);
    if (++k == f.sample.size()) {
      k = 0;
      ++index;  // the next round stores larger marks again
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_SetHighwater);

void BM_HasNewMessages(benchmark::State& state) {
  BigFolder& f = Folder();
  size_t k = 0;
  int64_t fresh = 0;
  for (auto _ : state) {
    fresh += ForumHasNewMessages(f.sample[k], f.user);
    if (++k == f.sample.size()) k = 0;
  }
  benchmark::DoNotOptimize(fresh);
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_HasNewMessages);

}  // namespace

BENCHMARK_MAIN();
