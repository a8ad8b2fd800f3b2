// Record benchmarks, every page cached.
//
//   BM_FieldGetInt    integer reads from 1,000 records of 20 fields (10
//                     integers, 10 short texts), each read a different
//                     record and field (target: over 5,000,000 a second)
//   BM_FieldGetText   short text reads (each a new string)
//   BM_FieldPutInt    integer writes (in place)
//   BM_FieldPutText   short text writes (a new text chunk each)
//   BM_Select         LgDbSelect over 100,000 records sorted by Name, by a
//                     name range of range(0) names plus Size > 500, against
//                     the same query on an in-memory SQLite table with an
//                     index on name; best of three rounds by CPU time:
//                     ours_per_s, sqlite_per_s (queries a second) and ratio
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "LgDb.h"
#include "Store.h"
#include "store_bench.h"

using namespace quil;

namespace {

constexpr int kRecords = 1000;
constexpr int kInts = 10, kTexts = 10;
constexpr int kBatch = 100000;
constexpr uint32_t kSelectRecords = 100000;

// The store with one database file whose pages all fit the cache.
struct Env {
  Env() : scratch((StoreRegisterTypes(), 40000)) {
    ChFi file;
    if (ChFiCreate("records.db", &file) != 0 || ChFiPartCreate(file, &part) != 0) abort();
    near = ChPartNear(part);
    for (int i = 0; i < kInts; ++i) ints.push_back(Id("Int" + std::to_string(i)));
    for (int i = 0; i < kTexts; ++i) texts.push_back(Id("Text" + std::to_string(i)));
    for (int r = 0; r < kRecords; ++r) {
      ChHandle rec = LgDbRecCreate(near);
      for (int i = 0; i < kInts; ++i) {
        LgDbRecPutInt(rec, ints[size_t(i)], r * i);
        LgDbRecPutText(rec, texts[size_t(i)], StFromView("value " + std::to_string(r + i)));
      }
      recs.push_back(rec);
    }
  }
  ~Env() { (void)ChFiClose(ChGetChFi(part)); }
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;
  ChHandle Id(const std::string& name) const { return LgDbFieldIdGet(near, StFromView(name)); }

  storebench::Scratch scratch;
  ChPart part = 0;
  ChHandle near = 0;
  std::vector<ChHandle> ints, texts, recs;
};

Env& TheEnv() {
  static Env env;
  return env;
}

// The k-th access: record and field both change every time.
inline ChHandle RecOf(const Env& e, int k) { return e.recs[size_t(k % kRecords)]; }
inline size_t FieldOf(int k) { return size_t((k + k / kRecords) % kInts); }

void BM_FieldGetInt(benchmark::State& state) {
  Env& e = TheEnv();
  int64_t sum = 0;
  for (auto _ : state) {
    for (int k = 0; k < kBatch; ++k) {
      int32_t v = 0;
      LgDbRecGetInt(RecOf(e, k), e.ints[FieldOf(k)], &v);
      sum += v;
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_FieldGetInt);

void BM_FieldGetText(benchmark::State& state) {
  Env& e = TheEnv();
  int64_t sum = 0;
  for (auto _ : state) {
    for (int k = 0; k < kBatch; ++k) sum += LgDbRecGetText(RecOf(e, k), e.texts[FieldOf(k)]).Length();
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_FieldGetText);

void BM_FieldPutInt(benchmark::State& state) {
  Env& e = TheEnv();
  for (auto _ : state) {
    for (int k = 0; k < kBatch; ++k) LgDbRecPutInt(RecOf(e, k), e.ints[FieldOf(k)], k);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_FieldPutInt);

void BM_FieldPutText(benchmark::State& state) {
  Env& e = TheEnv();
  St text = StCStrXfm("a short text");
  for (auto _ : state) {
    for (int k = 0; k < kBatch; ++k) LgDbRecPutText(RecOf(e, k), e.texts[FieldOf(k)], text);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_FieldPutText);

// ---------------------------------------------------------------------------
// Selection against SQLite.

std::string UserName(uint32_t i) {
  char b[16];
  snprintf(b, sizeof b, "user%06u", i);
  return b;
}

struct SelectData {
  SelectData() {
    Env& e = TheEnv();
    std::vector<uint32_t> order(kSelectRecords);
    for (uint32_t i = 0; i < kSelectRecords; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    std::mt19937 rng(8);
    name = e.Id("Name");
    size = e.Id("Size");
    db = LgDbCreate(e.near);
    if (sqlite3_open(":memory:", &sql) != SQLITE_OK) abort();
    Exec("PRAGMA cache_size=-1000000");
    Exec("CREATE TABLE r(id INTEGER PRIMARY KEY, name TEXT COLLATE NOCASE, size INTEGER)");
    Exec("CREATE INDEX r_name ON r(name)");
    Exec("BEGIN");
    sqlite3_stmt* ins = Prepare("INSERT INTO r VALUES(?, ?, ?)");
    for (uint32_t i : order) {
      int32_t sz = int32_t(rng() % 1000);
      std::string n = UserName(i);
      ChHandle rec = LgDbRecCreate(e.near);
      LgDbRecPutText(rec, name, StFromView(n));
      LgDbRecPutInt(rec, size, sz);
      LgDbRecInsert(db, rec, kLgDbNoPos);
      LgDbRecInsertSorted(db, rec, name);
      sqlite3_bind_int64(ins, 1, rec);
      sqlite3_bind_text(ins, 2, n.data(), int(n.size()), SQLITE_TRANSIENT);
      sqlite3_bind_int(ins, 3, sz);
      if (sqlite3_step(ins) != SQLITE_DONE) abort();
      sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    Exec("COMMIT");
  }
  ~SelectData() { sqlite3_close(sql); }
  void Exec(const char* text) {
    if (sqlite3_exec(sql, text, nullptr, nullptr, nullptr) != SQLITE_OK) abort();
  }
  sqlite3_stmt* Prepare(const char* text) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(sql, text, -1, &s, nullptr) != SQLITE_OK) abort();
    return s;
  }

  ChHandle name = 0, size = 0, db = 0;
  sqlite3* sql = nullptr;
};

std::vector<ChHandle> OurSelect(SelectData& d, const std::string& first, const std::string& last) {
  LgDbRange range;
  range.first = StFromView(first);
  range.last = StFromView(last);
  Li<ChHandle> fields;
  Li<int32_t> ops;
  Li<LgDbValue> values;
  LiAppend(fields, d.size);
  LiAppend(ops, int32_t(kLgDbOpGt));
  LiAppend(values, LgDbIntValue(500));
  Li<ChHandle> got = LgDbSelect(d.db, std::move(range), std::move(fields), std::move(ops),
                                std::move(values), 0);
  return std::vector<ChHandle>(got.begin(), got.end());
}

std::vector<ChHandle> SqlSelect(sqlite3_stmt* sel, const std::string& first, const std::string& last) {
  std::vector<ChHandle> out;
  sqlite3_bind_text(sel, 1, first.data(), int(first.size()), SQLITE_STATIC);
  sqlite3_bind_text(sel, 2, last.data(), int(last.size()), SQLITE_STATIC);
  sqlite3_bind_int(sel, 3, 500);
  while (sqlite3_step(sel) == SQLITE_ROW) out.push_back(ChHandle(sqlite3_column_int64(sel, 0)));
  sqlite3_reset(sel);
  return out;
}

double ThreadCpu() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void BM_Select(benchmark::State& state) {
  static SelectData d;
  const auto span = uint32_t(state.range(0));
  std::mt19937 rng(9);
  std::vector<std::pair<std::string, std::string>> queries;
  for (int q = 0; q < 40; ++q) {
    uint32_t from = rng() % (kSelectRecords - span);
    queries.emplace_back(UserName(from), UserName(from + span - 1));
  }
  sqlite3_stmt* sel = d.Prepare("SELECT id FROM r WHERE name >= ?1 AND name <= ?2 AND size > ?3");
  double ours = 0, theirs = 0;
  size_t rows = 0;
  for (auto _ : state) {
    for (int round = 0; round < 3; ++round) {
      double t0 = ThreadCpu();
      for (const auto& [first, last] : queries) rows += OurSelect(d, first, last).size();
      ours = std::max(ours, double(queries.size()) / (ThreadCpu() - t0));
      t0 = ThreadCpu();
      for (const auto& [first, last] : queries) rows -= SqlSelect(sel, first, last).size();
      theirs = std::max(theirs, double(queries.size()) / (ThreadCpu() - t0));
    }
  }
  // Both give the same records (SQLite in rowid order within equal names:
  // the names are distinct, so in name order too).
  for (const auto& [first, last] : queries) {
    if (OurSelect(d, first, last) != SqlSelect(sel, first, last)) state.SkipWithError("different answers");
  }
  if (rows != 0) state.SkipWithError("different counts");
  sqlite3_finalize(sel);
  state.counters["ours_per_s"] = ours;
  state.counters["sqlite_per_s"] = theirs;
  state.counters["ratio"] = ours / theirs;
}
BENCHMARK(BM_Select)->Arg(1000)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
