// Load of the forum store: a conference of folders, discussions and
// messages of about 1 KiB built through the forum operations, saved, and
// reopened by a new process that lists the top folder.
//
// Full size is 1,000 folders, 100,000 discussions and 1,000,000 messages;
// QUIL_FORUM_LOAD_SCALE (default 0.01) scales all three, so that `make
// bench` stays short.  QUIL_FORUM_LOAD_CACHE sets the chunk cache in pages
// (default 65,536, 256 MiB).  Messages have a title and answer the one
// before them; with QUIL_FORUM_LOAD_PLAIN set they have neither.  The database goes to a scratch directory
// under the current one, or under QUIL_BENCH_DIR.
//
// Counters: msgs_per_s (messages posted per second of the message phase),
// build_s, save_s, file_MB, body_MB and size_ratio (file bytes over raw
// body bytes), reopen_ms (a new process: open without the consistency
// check until the top folder's entries are listed), reopen_checked_ms (the
// same with the check of a first start), peak_rss_MB (of this process,
// after the build).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "Ch.h"
#include "Forum.h"
#include "Qu.h"
#include "Store.h"
#include "Ut.h"
#include "store_bench.h"

using namespace quil;

namespace {

constexpr int kFullFolders = 1000;
constexpr int kFullDiscussions = 100000;
constexpr int kFullMessages = 1000000;
constexpr int kBodyBytes = 1024;

double Scale() {
  const char* env = getenv("QUIL_FORUM_LOAD_SCALE");
  return env ? atof(env) : 0.01;
}

uint32_t CachePages() {
  const char* env = getenv("QUIL_FORUM_LOAD_CACHE");
  return env ? uint32_t(atol(env)) : 65536;
}

void InitPackages() {
  (void)UtInitRtns(kPkgInit, kPkgVersion);
  StoreRegisterTypes();
  (void)QuInitRtns(kPkgInit, kPkgVersion);
}

double Ms(std::chrono::steady_clock::time_point since) {
  return storebench::Seconds(since) * 1000.0;
}

// The message body: about 1 KiB of text that varies with n.
St Body(int n) {
  std::string text;
  text.reserve(kBodyBytes);
  static const char* kWords[] = {"forum", "message", "reply", "thread", "topic", "quill",
                                 "author", "server", "page", "chunk"};
  for (int i = 0; int(text.size()) < kBodyBytes - 12; ++i) {
    text += kWords[(n + i * 7) % 10];
    text += ' ';
  }
  text += std::to_string(n);
  text.resize(kBodyBytes, '.');
  return StFromView(text);
}

// In the child process: open path, list the top folder, print the time.
int Reopen(const char* path, bool check) {
  InitPackages();
  if (ChInit(kPkgVersion, 4096) != 0) return 1;
  if (ForumInitRtns(kPkgInit, kPkgVersion) != 0) abort();
  auto start = std::chrono::steady_clock::now();
  ForumDbOpenOptions options;
  options.check = check;
  ForumRoot root = ForumDbOpenI(path, &options);
  ForumFile top = ForumTopFolder(root);
  uint32_t n = ForumCatItemCount(top);
  size_t bytes = 0;
  for (uint32_t i = 0; i < n; ++i) {
    ChHandle entry = ForumCatItemOpen(top, i);
    bytes += size_t(ForumCatItemName(root, entry).Length() + ForumCatItemTitle(root, entry).Length());
  }
  double ms = Ms(start);
  printf("%.3f %u %zu\n", ms, n, bytes);
  top = ForumFile();
  ForumDbCloseI(root);
  if (ForumInitRtns(kPkgTerm, 0) != 0) abort();
  ChTerm();
  return 0;
}

double ReopenInChild(const std::string& self, const std::string& path, bool check) {
  std::string command = self + (check ? " --reopen-checked " : " --reopen ") + path;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return -1;
  double ms = -1;
  if (fscanf(p, "%lf", &ms) != 1) ms = -1;
  pclose(p);
  return ms;
}

std::string selfPath;

// With QUIL_FORUM_LOAD_CHUNKS set: the live chunks of the part by type
// (count and bytes of their blocks) on standard error, to see where the file's bytes go.
void PrintChunks(ChPart part) {
  std::map<uint16_t, std::pair<int64_t, int64_t>> byType;
  ChIter it;
  ChStartFID(it, part);
  for (ChHandle h; (h = ChNext(it)) != kChNil;) {
    auto& [count, bytes] = byType[ChType(h)];
    ++count;
    bytes += (ChSize(h) + 8 + 15) / 16 * 16;  // the block with its header
  }
  ChStop(it);
  for (auto& [type, cb] : byType)
    fprintf(stderr, "type %5u: %10lld chunks %12lld bytes\n", type, (long long)cb.first,
            (long long)cb.second);
  fprintf(stderr, "pages %u\n", ChPageCount(part));
}

void BM_ForumLoad(benchmark::State& state) {
  const double scale = Scale();
  const int folders = std::max(1, int(kFullFolders * scale));
  const int discussions = std::max(1, int(kFullDiscussions * scale));
  const int messages = std::max(1, int(kFullMessages * scale));
  const bool plain = getenv("QUIL_FORUM_LOAD_PLAIN") != nullptr;
  for (auto _ : state) {
    InitPackages();
    storebench::Scratch scratch(CachePages());
    if (ForumInitRtns(kPkgInit, kPkgVersion) != 0) abort();
    ForumDbOpenOptions options;
    ForumRoot root = ForumDbOpenI("quil.db", &options);
    ForumFile top = ForumTopFolder(root);
    auto buildStart = std::chrono::steady_clock::now();
    std::vector<St> folderNames;
    for (int i = 0; i < folders; ++i) {
      St name = StCat(StCStrXfm("Folder"), StStIntXfm(i));
      if (ForumCatItemCreate(top, StCStrXfm("forum-category"), name,
                             StCat(StCStrXfm("Folder number "), StStIntXfm(i)), 0, true,
                             nullptr) != 0)
        abort();
      folderNames.push_back(name);
    }
    // Discussions spread evenly over the folders, messages evenly over the
    // discussions.
    double messageSeconds = 0;
    int posted = 0;
    int64_t bodyBytes = 0;
    for (int d = 0; d < discussions; ++d) {
      ForumFile folder = ForumFileHasChild(top, folderNames[size_t(d % folders)]);
      St name;
      if (ForumCatItemCreate(folder, StCStrXfm("forum-topic"), St(),
                             StCat(StCStrXfm("Discussion "), StStIntXfm(d)), 0, true, &name) != 0)
        abort();
      ForumFile discussion = ForumFileHasChild(folder, name);
      int count = messages / discussions + (d < messages % discussions ? 1 : 0);
      std::vector<St> bodies;
      for (int m = 0; m < count; ++m) bodies.push_back(Body(posted + m));
      auto start = std::chrono::steady_clock::now();
      for (int m = 0; m < count; ++m) {
        int32_t ix = 0;
        if (ForumItemCreate(discussion, 0, plain ? St() : StCStrXfm("Re: the topic"),
                            StCStrXfm("text"), bodies[size_t(m)], !plain && m > 0 ? m - 1 : -1,
                            false, &ix) != 0)
          abort();
        bodyBytes += bodies[size_t(m)].Length();
      }
      messageSeconds += storebench::Seconds(start);
      posted += count;
    }
    double buildSeconds = storebench::Seconds(buildStart);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto saveStart = std::chrono::steady_clock::now();
    if (ForumRootSave(root) != 0 || ForumRootSaveWait(root) != 0) abort();
    double saveSeconds = storebench::Seconds(saveStart);
    if (getenv("QUIL_FORUM_LOAD_CHUNKS")) PrintChunks(ForumRootPart(root));
    top = ForumFile();
    ForumDbCloseI(root);
    if (ForumInitRtns(kPkgTerm, 0) != 0) abort();
    std::string path = std::filesystem::current_path().string() + "/quil.db";
    double fileBytes = double(std::filesystem::file_size(path));
    ChFileInfo info;
    (void)ChFileInfoGet(path, &info);
    state.counters["data_pages"] = info.dataAllocated;
    double reopenMs = ReopenInChild(selfPath, path, false);
    double reopenCheckedMs = ReopenInChild(selfPath, path, true);
    state.counters["msgs_per_s"] = posted / messageSeconds;
    state.counters["build_s"] = buildSeconds;
    state.counters["save_s"] = saveSeconds;
    state.counters["file_MB"] = fileBytes / 1e6;
    state.counters["body_MB"] = double(bodyBytes) / 1e6;
    state.counters["size_ratio"] = fileBytes / double(bodyBytes);
    state.counters["reopen_ms"] = reopenMs;
    state.counters["reopen_checked_ms"] = reopenCheckedMs;
    state.counters["peak_rss_MB"] = double(usage.ru_maxrss) / 1024.0;
    state.counters["messages"] = posted;
  }
  (void)QuInitRtns(kPkgTerm, 0);
}
BENCHMARK(BM_ForumLoad)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--reopen") return Reopen(argv[2], false);
  if (argc == 3 && std::string(argv[1]) == "--reopen-checked") return Reopen(argv[2], true);
  selfPath = "/proc/" + std::to_string(getpid()) + "/exe";
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) selfPath.assign(buf, size_t(n));
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
