// Corrupt database files: copies of a small conference with bytes flipped
// (in the header, the space map, the type table, page headers, block
// headers and chunk data), with pages zeroed, and cut short, each put
// through quil-dbtool check and a start of the real server.  Every case
// must end with a clear message: the tool reports the file sound or
// damaged (status 0 or 1) or halts with its message; the server serves
// (and stops in order on SIGTERM) or halts with its message.  No other
// signal, no hang, and under the sanitizers no report.
//
// The seed is printed; QUIL_CORRUPT_SEED replays a run.
// DISABLED_RandomCorruptionSoak runs QUIL_CORRUPT_CASES cases (default
// 3,000): make soak.
#include <signal.h>

#include <fstream>
#include <random>

#include "conference.h"
#include "quil_process.h"

using namespace quiltest;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

constexpr size_t kFirstData = 593920;

// One corruption of base, described in *what.
std::string Corrupt(const std::string& base, std::mt19937& rng, std::string* what) {
  std::string b = base;
  size_t pages = (b.size() - kFirstData) / 4096;
  auto flip = [&](size_t at) {
    if (at >= b.size()) return;
    uint8_t mask = uint8_t(1u << (rng() % 8));
    b[at] = char(uint8_t(b[at]) ^ mask);
    *what += " flip " + std::to_string(at) + "^" + std::to_string(mask);
  };
  switch (rng() % 8) {
    case 0:  // header words
      for (int n = 1 + int(rng() % 3); n > 0; --n) flip(rng() % 80);
      break;
    case 1:  // space map and type table
      for (int n = 1 + int(rng() % 4); n > 0; --n)
        flip(4096 + rng() % (kFirstData - 4096));
      break;
    case 2:  // page headers
      for (int n = 1 + int(rng() % 3); n > 0; --n)
        flip(kFirstData + (rng() % pages) * 4096 + rng() % 16);
      break;
    case 3: {  // the first block headers of a page
      size_t page = kFirstData + (rng() % pages) * 4096;
      for (int n = 1 + int(rng() % 4); n > 0; --n) flip(page + 16 + rng() % 64);
      break;
    }
    case 4:  // anywhere in the data pages
      for (int n = 1 + int(rng() % 8); n > 0; --n)
        flip(kFirstData + rng() % (b.size() - kFirstData));
      break;
    case 5: {  // a page of zeros
      size_t page = rng() % pages;
      memset(b.data() + kFirstData + page * 4096, 0, 4096);
      *what += " zero page " + std::to_string(page);
      break;
    }
    case 6: {  // cut short at a page boundary
      size_t keep = kFirstData + (rng() % pages) * 4096;
      b.resize(keep);
      *what += " cut to " + std::to_string(keep);
      break;
    }
    default: {  // cut anywhere
      size_t keep = rng() % b.size();
      b.resize(keep);
      *what += " cut to " + std::to_string(keep);
      break;
    }
  }
  return b;
}

bool SanitizerReport(const std::string& text) {
  return text.find("AddressSanitizer") != std::string::npos ||
         text.find("runtime error:") != std::string::npos ||
         text.find("LeakSanitizer") != std::string::npos;
}

struct Tally {
  int sound = 0, damaged = 0, toolHalts = 0, served = 0, refused = 0;
};

void CorruptionCases(int cases) {
  const char* env = getenv("QUIL_CORRUPT_SEED");
  uint32_t seed = env ? uint32_t(strtoul(env, nullptr, 10)) : std::random_device{}();
  printf("[ seed     ] QUIL_CORRUPT_SEED=%u\n", seed);
  std::mt19937 rng(seed);
  ScratchDir built;
  BuildConference(built, 4, 3, 25);
  if (::testing::Test::HasFatalFailure()) return;
  std::string base = ReadAll(built.File("quil.db"));
  ASSERT_GT(base.size(), kFirstData + 4096);
  // QUIL_CORRUPT_ONLY=N replays case N alone and leaves its file in
  // /tmp/quil-corrupt.db.
  const char* only = getenv("QUIL_CORRUPT_ONLY");
  Tally t;
  for (int i = 0; i < cases; ++i) {
    std::string what = "case " + std::to_string(i) + ":";
    ScratchDir dir;
    std::string corrupted = Corrupt(base, rng, &what);
    if (only && atoi(only) != i) continue;
    if (only) WriteAll("/tmp/quil-corrupt.db", corrupted);
    WriteAll(dir.File("quil.db"), corrupted);
    what += " (QUIL_CORRUPT_SEED=" + std::to_string(seed) + ")";

    std::string out;
    int status = RunCommand(DbTool() + " check " + dir.File("quil.db"), &out);
    ASSERT_FALSE(SanitizerReport(out)) << what << "\n" << out;
    if (status == 0 || status == 1) {
      (status == 0 ? t.sound : t.damaged) += 1;
      ASSERT_NE(out.find(status == 0 ? ": ok" : ": damaged"), std::string::npos) << what << out;
    } else {
      // The specified halt: a message naming what failed, then abort.
      ASSERT_EQ(status, -SIGABRT) << what << "\n" << out;
      ASSERT_NE(out.find("--"), std::string::npos) << what << "\n" << out;
      ++t.toolHalts;
    }

    Quil q(dir.path(), {"-server", "-trace"});
    bool serving = q.ErrUntil("select: wait", 20000);
    if (serving) q.Signal(SIGTERM);
    Ended e = q.Wait(30000);
    ASSERT_FALSE(SanitizerReport(e.err)) << what << "\n" << e.err;
    if (serving) {
      ++t.served;
      // Serving a file the tool found sound or damaged alike; it ends in
      // order or halts with its message at the save on the way out.
      ASSERT_TRUE((e.exited && e.status == 0) || e.signal == SIGABRT)
          << what << "\n" << e.err;
    } else {
      ++t.refused;
      ASSERT_EQ(e.signal, SIGABRT) << what << ": exited " << e.exited << " status "
                                   << e.status << "\n" << e.err;
      ASSERT_NE(e.err.find("--"), std::string::npos) << what << "\n" << e.err;
    }
    if (e.signal == SIGABRT) {
      ASSERT_EQ(e.err.find("Segmentation"), std::string::npos) << what << "\n" << e.err;
      ASSERT_EQ(e.err.find("No context handler"), std::string::npos) << what << "\n" << e.err;
    }
  }
  printf("[ cases    ] %d: the tool found %d sound, %d damaged, halted on %d; the server "
         "served %d, refused %d\n",
         cases, t.sound, t.damaged, t.toolHalts, t.served, t.refused);
  if (!only) {
    EXPECT_GT(t.damaged, 0);
    EXPECT_GT(t.refused, 0);
  }
}

TEST(Corruption, DamagedFilesEndInAClearMessage) { CorruptionCases(200); }

TEST(Corruption, DISABLED_RandomCorruptionSoak) {
  const char* cases = getenv("QUIL_CORRUPT_CASES");
  CorruptionCases(cases ? atoi(cases) : 3000);
}

}  // namespace
