// B-tree benchmarks against SQLite, side by side in one process.  Both keep
// every page in memory (the chunk cache holds the whole tree; SQLite runs an
// in-memory database with a large page cache) and work in one transaction.
//
//   BM_IntInsert      1,000,000 distinct random 32-bit keys into a BtiDb
//                     against an INTEGER PRIMARY KEY table
//   BM_IntLookup      1,000,000 point look-ups of present keys in both
//   BM_NameInsert     1,000,000 names "user0012345" in random order into a
//                     BtDb against a table with an indexed TEXT COLLATE
//                     NOCASE column
//   BM_NamePosition   the entry at a random position: BtDbIndex against
//                     ORDER BY name LIMIT 1 OFFSET n (SQLite walks the
//                     index, so it runs a few hundred of its queries)
//
// Each runs both sides three times in turn on this one thread and reports
// the best rates by CPU time, bt_per_s and sqlite_per_s (operations per
// second), and ratio, ours over SQLite's (target: at least 2).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "Bt.h"
#include "Ch.h"

using namespace quil;

namespace {

constexpr uint32_t kCount = 1000000;
constexpr int kSqlOffsetQueries = 300;

// The chunk store in a scratch directory, with a cache that holds every
// tree built here; the trees live in the transient part.
class Store {
 public:
  Store() {
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/quil-bt-XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) abort();
    dir_ = name.data();
    std::filesystem::current_path(dir_);
    BtRegisterTypes();
    if (ChInit(19, 90000) != 0) abort();
  }
  ~Store() {
    ChTerm();
    std::filesystem::remove_all(dir_);
  }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  ChHandle Near() const { return ChPartNear(kChTransientPart); }

 private:
  std::string dir_;
};

Store& TheStore() {
  static Store store;
  return store;
}

class Sql {
 public:
  Sql() {
    if (sqlite3_open(":memory:", &db_) != SQLITE_OK) abort();
    Exec("PRAGMA cache_size=-2000000");
    Exec("PRAGMA journal_mode=OFF");
    Exec("PRAGMA synchronous=OFF");
  }
  ~Sql() { sqlite3_close(db_); }
  Sql(const Sql&) = delete;
  Sql& operator=(const Sql&) = delete;
  void Exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
      fprintf(stderr, "%s: %s\n", sql, err);
      abort();
    }
  }
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) abort();
    return s;
  }

 private:
  sqlite3* db_ = nullptr;
};

// CPU time of the calling thread: the machine may be shared, and both sides
// run on this one thread.
double CpuNow() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Runs ours and theirs (each returns the operations it did) in turn, three
// rounds, and reports the best rate of each side and their ratio.
template <class Ours, class Theirs>
void Compare(benchmark::State& state, Ours ours, Theirs theirs) {
  double bt = 0, sql = 0;
  for (int round = 0; round < 3; ++round) {
    double t0 = CpuNow();
    double n = ours();
    bt = std::max(bt, n / (CpuNow() - t0));
    t0 = CpuNow();
    n = theirs();
    sql = std::max(sql, n / (CpuNow() - t0));
  }
  state.counters["bt_per_s"] = bt;
  state.counters["sqlite_per_s"] = sql;
  state.counters["ratio"] = bt / sql;
}

// ---------------------------------------------------------------------------
// Integer keys.

struct IntData {
  IntData() {
    std::mt19937 rng(1);
    std::unordered_set<uint32_t> seen;
    while (keys.size() < kCount) {
      auto k = uint32_t(rng());
      if (seen.insert(k).second) keys.push_back(k);
    }
  }
  std::vector<uint32_t> keys;  // distinct, random order
  ChHandle tree = 0;
  Sql sql;
};

IntData& Ints() {
  static IntData d;
  return d;
}

// The tree and the table with every key, built once.
void IntBuild(IntData& d) {
  if (d.tree) BtiDbDestroy(d.tree);
  d.tree = BtiDbCreate(TheStore().Near());
  for (uint32_t i = 0; i < kCount; ++i) BtiDbInsert(d.tree, d.keys[i], i, 0);
}

void IntSqlBuild(IntData& d) {
  d.sql.Exec("DROP TABLE IF EXISTS t");
  d.sql.Exec("CREATE TABLE t(k INTEGER PRIMARY KEY, a INTEGER, b INTEGER)");
  d.sql.Exec("BEGIN");
  sqlite3_stmt* ins = d.sql.Prepare("INSERT INTO t VALUES(?, ?, 0)");
  for (uint32_t i = 0; i < kCount; ++i) {
    sqlite3_bind_int64(ins, 1, d.keys[i]);
    sqlite3_bind_int64(ins, 2, i);
    if (sqlite3_step(ins) != SQLITE_DONE) abort();
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  d.sql.Exec("COMMIT");
}

void BM_IntInsert(benchmark::State& state) {
  IntData& d = Ints();
  for (auto _ : state) {
    Compare(
        state,
        [&] {
          IntBuild(d);
          return kCount;
        },
        [&] {
          IntSqlBuild(d);
          return kCount;
        });
    if (BtiDbCount(d.tree) != kCount) state.SkipWithError("count");
  }
}
BENCHMARK(BM_IntInsert)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_IntLookup(benchmark::State& state) {
  IntData& d = Ints();
  if (!d.tree) {
    IntBuild(d);
    IntSqlBuild(d);
  }
  std::vector<uint32_t> probes(d.keys);
  std::shuffle(probes.begin(), probes.end(), std::mt19937(2));
  uint64_t sum = 0, sqlSum = 0;
  for (auto _ : state) {
    Compare(
        state,
        [&] {
          sum = 0;
          for (uint32_t k : probes) {
            uint32_t a = 0, b = 0;
            BtiDbLookup(d.tree, k, &a, &b);
            sum += a;
          }
          return kCount;
        },
        [&] {
          sqlSum = 0;
          d.sql.Exec("BEGIN");
          sqlite3_stmt* sel = d.sql.Prepare("SELECT a, b FROM t WHERE k = ?");
          for (uint32_t k : probes) {
            sqlite3_bind_int64(sel, 1, k);
            if (sqlite3_step(sel) != SQLITE_ROW) abort();
            sqlSum += uint64_t(sqlite3_column_int64(sel, 0));
            sqlite3_reset(sel);
          }
          sqlite3_finalize(sel);
          d.sql.Exec("COMMIT");
          return kCount;
        });
    if (sum != sqlSum) state.SkipWithError("different answers");
  }
}
BENCHMARK(BM_IntLookup)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// Names.

struct NameData {
  NameData() {
    std::vector<uint32_t> ids(kCount);
    for (uint32_t i = 0; i < kCount; ++i) ids[i] = i;
    std::shuffle(ids.begin(), ids.end(), std::mt19937(3));
    char b[32];
    for (uint32_t id : ids) {
      snprintf(b, sizeof b, "user%07u", id);
      names.emplace_back(b);
    }
  }
  std::vector<std::string> names;  // "user0012345", random order
  ChHandle tree = 0;
  Sql sql;
};

NameData& Names() {
  static NameData d;
  return d;
}

void NameBuild(NameData& d) {
  if (d.tree) BtDbDestroy(d.tree);
  d.tree = BtDbCreate(TheStore().Near());
  for (uint32_t i = 0; i < kCount; ++i) BtDbInsert(d.tree, StFromView(d.names[i]), i + 1, 0);
}

void NameSqlBuild(NameData& d) {
  d.sql.Exec("DROP TABLE IF EXISTS u");
  d.sql.Exec("CREATE TABLE u(id INTEGER PRIMARY KEY, name TEXT COLLATE NOCASE)");
  d.sql.Exec("CREATE INDEX u_name ON u(name)");
  d.sql.Exec("BEGIN");
  sqlite3_stmt* ins = d.sql.Prepare("INSERT INTO u(name) VALUES(?)");
  for (uint32_t i = 0; i < kCount; ++i) {
    sqlite3_bind_text(ins, 1, d.names[i].data(), int(d.names[i].size()), SQLITE_STATIC);
    if (sqlite3_step(ins) != SQLITE_DONE) abort();
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  d.sql.Exec("COMMIT");
}

void BM_NameInsert(benchmark::State& state) {
  NameData& d = Names();
  for (auto _ : state) {
    Compare(
        state,
        [&] {
          NameBuild(d);
          return kCount;
        },
        [&] {
          NameSqlBuild(d);
          return kCount;
        });
    if (BtDbCount(d.tree) != kCount) state.SkipWithError("count");
  }
}
BENCHMARK(BM_NameInsert)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_NamePosition(benchmark::State& state) {
  NameData& d = Names();
  if (!d.tree) {
    NameBuild(d);
    NameSqlBuild(d);
  }
  std::mt19937 rng(4);
  std::vector<uint32_t> positions(kCount);
  for (uint32_t& p : positions) p = rng() % kCount;
  for (auto _ : state) {
    uint64_t sum = 0;
    Compare(
        state,
        [&] {
          for (uint32_t p : positions) {
            St key;
            BtDbIndex(d.tree, p, &key, nullptr, nullptr);
            sum += uint64_t(key.View()[10]);
          }
          return kCount;
        },
        [&] {
          d.sql.Exec("BEGIN");
          sqlite3_stmt* sel =
              d.sql.Prepare("SELECT name FROM u ORDER BY name LIMIT 1 OFFSET ?");
          for (int q = 0; q < kSqlOffsetQueries; ++q) {
            sqlite3_bind_int64(sel, 1, positions[size_t(q)]);
            if (sqlite3_step(sel) != SQLITE_ROW) abort();
            sum += uint64_t(sqlite3_column_text(sel, 0)[10]);
            sqlite3_reset(sel);
          }
          sqlite3_finalize(sel);
          d.sql.Exec("COMMIT");
          return kSqlOffsetQueries;
        });
    benchmark::DoNotOptimize(sum);
    // Both answer the same at the positions SQLite was asked.
    sqlite3_stmt* sel = d.sql.Prepare("SELECT name FROM u ORDER BY name LIMIT 1 OFFSET ?");
    for (int q = 0; q < 20; ++q) {
      St key;
      BtDbIndex(d.tree, positions[size_t(q)], &key, nullptr, nullptr);
      sqlite3_bind_int64(sel, 1, positions[size_t(q)]);
      if (sqlite3_step(sel) != SQLITE_ROW ||
          !(key == reinterpret_cast<const char*>(sqlite3_column_text(sel, 0))))
        state.SkipWithError("different answers");
      sqlite3_reset(sel);
    }
    sqlite3_finalize(sel);
  }
}
BENCHMARK(BM_NamePosition)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
