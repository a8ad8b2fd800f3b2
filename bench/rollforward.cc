// The roll-forward log: what it costs to post, and how fast it replays.
//
// BM_PostRate posts messages of about 300 bytes through the journaling
// setter in three modes on a fresh database each: the log off (rollForward
// off: no record is built), the log on, and the durable mode, in which one
// loop pass takes 64 posts (64 clients each with a post in flight) and the
// group commit's fdatasync runs beside the posting; the durable rate counts
// until the last post is on disk.  Counters: posts_per_s_off, _log,
// _durable (wall time) and syncs (fdatasync calls of the durable run); then
// the log's cost measured on one database with the log on and off in
// turns (InterleavedRates): posts_per_cpu_s_off and _log (processor time of
// the posting thread, which a shared machine disturbs far less than wall
// time) and log_cost_pct (the processor time a post costs more with the
// log).
//
// BM_ReplayRate builds a log of QUIL_ROLL_BENCH_RECORDS records (default
// 1,000,000) made as a busy site makes them -- for every 1,000 changes a
// new discussion, 300 posts, 300 message title edits, 200 item attribute
// changes (titles, flags, sort orders), 100 user field changes and 99
// settings -- then opens the database the log began from, whose open
// replays it (timed from the start to the end of the replay).
// Counters: records, log_MB, replay_s, records_per_s (wall time) and
// records_per_cpu_s.
//
// QUIL_ROLL_BENCH_POSTS sets the posts per mode (default 20,000);
// QUIL_ROLL_BENCH_CACHE the chunk cache in pages (default 65,536);
// QUIL_ROLL_BENCH_MODES=0 leaves out the three separate runs.  The databases go to a scratch directory under
// /tmp (or QUIL_BENCH_DIR).
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Ch.h"
#include "Fi.h"
#include "Forum.h"
#include "ForumEi.h"
#include "FrmBk.h"
#include "FrmBkInt.h"
#include "Qu.h"
#include "Store.h"
#include "Ut.h"

using namespace quil;

namespace {

int64_t EnvInt(const char* name, int64_t dflt) {
  const char* env = getenv(name);
  return env ? atoll(env) : dflt;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Processor time of the process (user and system, all threads), which a
// machine shared with other work does not distort as it does wall time.
double CpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

St Body(int64_t n) {
  std::string text = "A message of the benchmark, number " + std::to_string(n) + ". ";
  while (text.size() < 300) text += "Some words of a post that says little. ";
  text.resize(300);
  return StFromView(text);
}

// A scratch directory with the packages up; the working directory moves
// there while it lives.
class Scratch {
 public:
  Scratch() {
    const char* base = getenv("QUIL_BENCH_DIR");
    std::string tmpl = std::string(base ? base : "/tmp") + "/quil-rollbench-XXXXXX";
    dir_ = mkdtemp(tmpl.data());
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    (void)UtInitRtns(kPkgInit, kPkgVersion);
    StoreRegisterTypes();
    (void)QuInitRtns(kPkgInit, kPkgVersion);
    if (ChInit(kPkgVersion, uint32_t(EnvInt("QUIL_ROLL_BENCH_CACHE", 65536))) != 0) abort();
    (void)ForumInitRtns(kPkgInit, kPkgVersion);
    (void)FrmBkInitRtns(kPkgInit, kPkgVersion);
    wfQuilSettings = ForumQuilSettings();
  }
  ~Scratch() {
    (void)FrmBkInitRtns(kPkgTerm, 0);
    (void)ForumInitRtns(kPkgTerm, 0);
    ChTerm();
    (void)QuInitRtns(kPkgTerm, 0);
    (void)UtInitRtns(kPkgTerm, 0);
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }
  ForumRoot Open(const char* path = "quil.db") {
    ForumDbOpenOptions options;
    options.check = false;
    ForumRoot root = ForumDbOpenI(path, &options);
    wfForumRoot = root;
    return root;
  }

 private:
  std::string dir_;
  std::filesystem::path old_;
};

ForumFile NewDiscussion(ForumRoot root, const char* title) {
  St name;
  if (FrmBkFileItemCreate(ForumTopFolder(root), StCStrXfm("forum-topic"), StCStrXfm("x"),
                          StCStrXfm(title), 0, false, &name) != 0)
    abort();
  return ForumFileHasChild(ForumTopFolder(root), name);
}

enum class Mode { kOff, kLog, kDurable };

struct Rate {
  double wall = 0;  // posts per second of wall time
  double cpu = 0;   // posts per second of processor time
  int64_t syncs = 0;
  int64_t writes = 0;
};

// Posts n messages in mode.
Rate PostRate(Mode mode, int64_t n) {
  Scratch scratch;
  ForumRoot root = scratch.Open();
  if (mode == Mode::kOff) {
    ForumSysopSetRollForwardLog(root, false);
    ForumDbCloseI(root);
    root = scratch.Open();
  }
  FrmBkSetDurableMode(mode == Mode::kDurable);
  ForumFile d = NewDiscussion(root, "bench");
  std::vector<St> bodies;
  for (int64_t i = 0; i < 1000; ++i) bodies.push_back(Body(i));
  FrmBkDurableFlush();
  int64_t syncs0 = FiFaultCalls(FiCall::kSync);
  int64_t writes0 = FiFaultCalls(FiCall::kWrite);
  auto start = std::chrono::steady_clock::now();
  double cpu0 = CpuSeconds();
  for (int64_t i = 0; i < n; ++i) {
    if (FrmBkForumItemCreate(d, 0, StCStrXfm("t"), StCStrXfm("text"), bodies[size_t(i % 1000)],
                             -1, true, nullptr) != 0)
      abort();
    // A pass of the event loop serves the requests of 64 clients.
    if (mode == Mode::kDurable && i % 64 == 63) FrmBkLogPass();
  }
  if (mode == Mode::kDurable) {
    while (FrmBkLogDurableSequence() < FrmBkLogSequence()) {
      FrmBkLogPass();
      std::this_thread::yield();
    }
  }
  Rate rate;
  rate.wall = double(n) / Seconds(start);
  rate.cpu = double(n) / (CpuSeconds() - cpu0);
  rate.syncs = FiFaultCalls(FiCall::kSync) - syncs0;
  rate.writes = FiFaultCalls(FiCall::kWrite) - writes0;
  FrmBkSetDurableMode(false);
  d = ForumFile();
  ForumDbCloseI(root);
  return rate;
}

// Processor time of this thread only (the durable mode's sync thread
// apart).
double ThreadCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The log's cost measured on one database: blocks of 500 posts take turns
// with the log on and off (its sink taken away: no record is built, as with
// rollForward off), a loop pass after every 64 posts, so that both see the
// same database, cache and machine.  Posts per second of processor time.
void InterleavedRates(int64_t n, double* off, double* on) {
  Scratch scratch;
  ForumRoot root = scratch.Open();
  ForumFile d = NewDiscussion(root, "bench");
  std::vector<St> bodies;
  for (int64_t i = 0; i < 1000; ++i) bodies.push_back(Body(i));
  std::unique_ptr<ForumLogSink> sink;
  double seconds[2] = {0, 0};
  int64_t posts[2] = {0, 0};
  constexpr int64_t kBlock = 500;
  for (int64_t done = 0; done < 2 * n; done += kBlock) {
    int logged = int((done / kBlock) % 2);
    if (!logged) sink = ForumTakeLogSink(root);
    if (getenv("NULLSINK") && logged) {
      struct Null : ForumLogSink {
        int64_t Position() override { return 0; }
        uint16_t Append(std::string_view) override { return 0; }
        uint16_t Sync() override { return 0; }
      };
      sink = ForumTakeLogSink(root);
      ForumSetLogSink(root, std::make_unique<Null>());
    }
    double t0 = ThreadCpuSeconds();
    for (int64_t i = 0; i < kBlock; ++i) {
      if (FrmBkForumItemCreate(d, 0, StCStrXfm("t"), StCStrXfm("text"),
                               bodies[size_t((done + i) % 1000)], -1, true, nullptr) != 0)
        abort();
      if (i % 64 == 63) FrmBkLogPass();
    }
    FrmBkLogPass();
    seconds[logged] += ThreadCpuSeconds() - t0;
    posts[logged] += kBlock;
    if (!logged || getenv("NULLSINK")) { if (sink) ForumSetLogSink(root, std::move(sink)); }
  }
  *off = double(posts[0]) / seconds[0];
  *on = double(posts[1]) / seconds[1];
  d = ForumFile();
  ForumDbCloseI(root);
}

void BM_PostRate(benchmark::State& state) {
  int64_t n = EnvInt("QUIL_ROLL_BENCH_POSTS", 20000);
  for (auto _ : state) {
    bool modes = EnvInt("QUIL_ROLL_BENCH_MODES", 1) != 0;
    Rate off = modes ? PostRate(Mode::kOff, n) : Rate();
    Rate log = modes ? PostRate(Mode::kLog, n) : Rate();
    Rate durable = modes ? PostRate(Mode::kDurable, n) : Rate();
    double cpuOff = 0, cpuOn = 0;
    InterleavedRates(n, &cpuOff, &cpuOn);
    state.counters["posts_per_s_off"] = off.wall;
    state.counters["posts_per_s_log"] = log.wall;
    state.counters["posts_per_s_durable"] = durable.wall;
    state.counters["syncs"] = double(durable.syncs);
    state.counters["posts_per_cpu_s_off"] = cpuOff;
    state.counters["posts_per_cpu_s_log"] = cpuOn;
    // The processor time a post costs more with the log.
    state.counters["log_cost_pct"] = (cpuOff / cpuOn - 1.0) * 100.0;
  }
}

void BM_ReplayRate(benchmark::State& state) {
  int64_t records = EnvInt("QUIL_ROLL_BENCH_RECORDS", 1000000);
  for (auto _ : state) {
    Scratch scratch;
    ForumRoot root = scratch.Open();
    ChHandle user = 0;
    if (FrmBkUserCreate(root, kForumUserRegistered, StCStrXfm("Bench User"), St(), St(), &user))
      abort();
    ForumFile d = NewDiscussion(root, "first");
    d = ForumFile();
    ForumDbCloseI(root);
    // The log starts from this image.
    std::filesystem::copy_file("quil.db", "start.db");
    root = scratch.Open();
    d = ForumFileHasChild(ForumTopFolder(root), StCStrXfm("1"));
    user = ForumUserLookup(root, StCStrXfm("Bench User"));
    int64_t posted = 0;
    uint64_t first = FrmBkLogSequence();
    for (int64_t i = 0; int64_t(FrmBkLogSequence() - first) < records; ++i) {
      int k = int(i % 1000);
      if (k == 0) {
        d = NewDiscussion(root, "talk");
        posted = 0;
      } else if (k <= 300) {
        (void)FrmBkForumItemCreate(d, user, StCStrXfm("t"), StCStrXfm("text"), Body(i), -1, true,
                                   nullptr);
        ++posted;
      } else if (k <= 600) {
        if (FrmBkItemSetTitle(d, int32_t(i % posted), StFromView("title " + std::to_string(i))) != 0)
          std::abort();
      } else if (k <= 800) {
        switch (k % 3) {
          case 0: FrmBkFileSetTitle(d, StFromView("discussion " + std::to_string(i))); break;
          case 1: FrmBkFileSetShowAuthor(d, i % 2 == 0); break;
          default: FrmBkFileSetSortSeq(d, int32_t(i % 50)); break;
        }
      } else if (k <= 900) {
        FrmBkUserSetBio(root, user, StFromView("bio " + std::to_string(i)));
      } else {
        FrmBkSysopSetMaxCols(root, int32_t(60 + i % 40));
      }
    }
    // The image the log began from, and the log: the open replays it.
    uint64_t made = FrmBkLogSequence() - first;
    d = ForumFile();
    ForumDbCloseReadOnly(root);
    wfForumRoot = nullptr;
    std::filesystem::rename("start.db", "quil.db");
    uint64_t bytes = std::filesystem::file_size("quilroll.1");
    std::chrono::steady_clock::time_point began, ended;
    double cpuBegan = 0, cpuEnded = 0;
    FrmBkOnRollForward([&](ForumRoot, bool starting) {
      (starting ? began : ended) = std::chrono::steady_clock::now();
      (starting ? cpuBegan : cpuEnded) = CpuSeconds();
    });
    root = scratch.Open();
    double seconds = std::chrono::duration<double>(ended - began).count();
    double cpu = cpuEnded - cpuBegan;
    // Every record came back: the last post is there.
    if (ForumNextUniqueId(root) < int32_t(made / 1000)) abort();
    state.counters["records"] = double(made);
    state.counters["log_MB"] = double(bytes) / 1e6;
    state.counters["replay_s"] = seconds;
    state.counters["records_per_s"] = double(made) / seconds;
    state.counters["records_per_cpu_s"] = double(made) / cpu;
    ForumDbCloseReadOnly(root);
    wfForumRoot = nullptr;
  }
}

// The parts of a post record's cost: building the text, and appending it.
void BM_RecordBuild(benchmark::State& state) {
  St body = Body(7);
  LgDbTd date{20240310, 30000};
  for (auto _ : state) {
    RecBuilder r("f");
    r.Attr("f", StCStrXfm(".ee6b286")).Int("new", 12345).Hex("unique", 0xee6b29a);
    r.Attr("title", StCStrXfm("t")).Attr("contentType", StCStrXfm("text"));
    r.Date("date", date).Attr("body", body);
    benchmark::DoNotOptimize(r.Close());
  }
}

void BM_RecordDateNow(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ForumEiTdToSt(LgDbTdNow()));
}

void BM_LogAppend(benchmark::State& state) {
  Scratch scratch;
  frmbk::LogFile log;
  if (log.Open("append.log") != 0) abort();
  std::string record(400, 'x');
  for (auto _ : state) {
    if (log.Append(record) != 0) abort();
  }
}

}  // namespace

BENCHMARK(BM_RecordBuild);
BENCHMARK(BM_RecordDateNow);
BENCHMARK(BM_LogAppend);
BENCHMARK(BM_PostRate)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_ReplayRate)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_MAIN();
