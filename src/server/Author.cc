// The package framework: the one table of the package order, AuthorInit,
// AuthorTerm and the split of the memory budget.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "Af.h"
#include "Bt.h"
#include "Ch.h"
#include "ChLi.h"
#include "ChSt.h"
#include "Doc.h"
#include "Ex.h"
#include "Fi.h"
#include "Forum.h"
#include "FrmBk.h"
#include "Ha.h"
#include "Ht.h"
#include "Ma.h"
#include "Ql.h"
#include "Qu.h"
#include "Td.h"
#include "Sess.h"
#include "Sl.h"
#include "Strm.h"
#include "Tcp.h"
#include "Thread.h"
#include "Ut.h"

namespace quil {

uint32_t AppChPages = 50;
uint32_t AppSmallObjHeap = 460000;
uint32_t AppMinChPages = 50;
uint32_t AppMinSmallObjHeap = 460000;
bool AppHeapIsUserSpecified = false;
bool AuthorCountChecks = false;

namespace {

// One step of start-up.  A package step calls its entry with initSelector
// (1, or 5 for a second stage) and terminates with 2 (or 6).  A custom step
// (the chunk store's ChInit/ChTerm and the like) has its own pair; its init
// returning false makes AuthorInit fail.
struct AuthorStep {
  const char* name;
  uint16_t (*rtns)(int selector, int32_t value);
  int initSelector;
  // Place in the termination sequence, counted from the first package
  // terminated.  The sequence is not the exact reverse of the start-up
  // order, so each step carries its own place:
  //    0 FrmBk       1 Forum(2)    2 ShipConTerm  3 BtmDb     4 BtihDb    5 Bti1Db
  //    6 BtiDb       7 BtDb         8 Sl(6)     9 Aux(6)   10 InOut
  //   11 TCP(6)     12 Sess        13 Strm     14 UDP      15 TCP
  //   16 Comm       17 Cx          18 Af       19 Doc      20 Qu
  //   21 Shr        22 IvSl        23 Sl       24 Bt       25 ChLi
  //   26 ChTerm     27 Fi          28 Ut       29 Td       30 Ha
  //   31 Thread     32 Math        33 MaR      34 Aux      35 ChRt
  int termRank;
  bool (*init)() = nullptr;
  void (*term)() = nullptr;
};

// The start-up order.  Packages that do not exist yet have no row; each
// arrives with its rows in its place:
//   ChRt Aux MaR Math Thread Ha Td Ut Fi, stale temporary files removed,
//   ChInit (AppChPages pages, then AppMinChPages), ChLi Bt Sl IvSl Shr Qu
//   Doc Af Sl(5) Cx TCP UDP Comm Strm Sess TCP(5) InOut Aux(5) BtDb BtiDb
//   Bti1Db BtihDb BtmDb ShipConInit Forum.
bool RemoveStaleTemporaryFiles();
bool ChStart();
const AuthorStep kAuthorSteps[] = {
    {"ThreadInitRtns", ThreadInitRtns, kPkgInit, 31},
    {"HaInitRtns", HaInitRtns, kPkgInit, 30},
    {"TdInitRtns", TdInitRtns, kPkgInit, 29},
    {"UtInitRtns", UtInitRtns, kPkgInit, 28},
    {"FiInitRtns", FiInitRtns, kPkgInit, 27},
    {"stale temporary files", nullptr, kPkgInit, 26, RemoveStaleTemporaryFiles, nullptr},
    {"ChInit", nullptr, kPkgInit, 26, ChStart, ChTerm},
    {"ChLiInitRtns", ChLiInitRtns, kPkgInit, 25},
    {"BtInitRtns", BtInitRtns, kPkgInit, 24},
    {"SlInitRtns", SlInitRtns, kPkgInit, 23},
    {"IvSlInitRtns", IvSlInitRtns, kPkgInit, 22},
    {"ShrInitRtns", ShrInitRtns, kPkgInit, 21},
    {"QuInitRtns", QuInitRtns, kPkgInit, 20},
    {"DocInitRtns", DocInitRtns, kPkgInit, 19},
    {"AfInitRtns", AfInitRtns, kPkgInit, 18},
    {"SlInitRtns(5)", SlInitRtns, kPkgInit2, 8},
    {"TCPInitRtns", TCPInitRtns, kPkgInit, 15},
    {"UDPInitRtns", UDPInitRtns, kPkgInit, 14},
    {"StrmInitRtns", StrmInitRtns, kPkgInit, 13},
    {"SessInitRtns", SessInitRtns, kPkgInit, 12},
    {"TCPInitRtns(5)", TCPInitRtns, kPkgInit2, 11},
    {"BtDbInitRtns", BtDbInitRtns, kPkgInit, 7},
    {"BtiDbInitRtns", BtiDbInitRtns, kPkgInit, 6},
    {"Bti1DbInitRtns", Bti1DbInitRtns, kPkgInit, 5},
    {"BtihDbInitRtns", BtihDbInitRtns, kPkgInit, 4},
    {"BtmDbInitRtns", BtmDbInitRtns, kPkgInit, 3},
    {"ForumInitRtns", ForumInitRtns, kPkgInit, 1},
    {"FrmBkInitRtns", FrmBkInitRtns, kPkgInit, 0},
};

// Transient files ("AU000000" and a suffix) that a process which did not
// end in order left in the working directory.  A file still open in a live
// process keeps its data when its name goes.
bool RemoveStaleTemporaryFiles() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(".", error)) {
    std::string name = entry.path().filename().string();
    if (name.size() > 8 && name.compare(0, 8, "AU000000") == 0 && entry.is_regular_file(error))
      std::filesystem::remove(entry.path(), error);
  }
  return true;
}

// The chunk store with AppChPages cache pages, or AppMinChPages when that
// many cannot be had.
bool ChStart() {
  if (ChInit(kPkgVersion, AppChPages) == 0) return true;
  if (AppChPages > AppMinChPages && ChInit(kPkgVersion, AppMinChPages) == 0) {
    AppChPages = AppMinChPages;
    return true;
  }
  HtAlert("", "Interal error. (Cannot allocate minimum number of chunk pages)");
}

int TermSelector(const AuthorStep& step) {
  return step.initSelector == kPkgInit2 ? kPkgTerm2 : kPkgTerm;
}

}  // namespace

bool AuthorGetMemConfig(uint32_t* heapBytes, uint32_t* chunkPages) {
  AppChPages = std::max(AppChPages, AppMinChPages);
  AppSmallObjHeap = std::max(AppSmallObjHeap, AppMinSmallObjHeap);
  const int64_t page = kChPageSize;
  int64_t free = HtGetMemFree();
  int64_t min = int64_t(AppMinChPages) * page + AppMinSmallObjHeap;
  int64_t want = int64_t(AppChPages) * page + AppSmallObjHeap;
  int64_t pages;
  if (free < min) {
    *chunkPages = AppMinChPages;
    *heapBytes = AppMinSmallObjHeap;
    return true;
  }
  if (AppHeapIsUserSpecified && free >= want) {
    pages = AppChPages;
  } else {
    // Two thirds of the budget for the cache, an even number of pages.
    pages = 2 * ((free * 2 / 3) / (2 * page));
    pages = std::max<int64_t>(pages, AppMinChPages);
    int64_t lack = int64_t(AppMinSmallObjHeap) - (free - pages * page);
    if (lack > 0) pages -= (lack + page - 1) / page;
    MA_CHECK(true, pages >= int64_t(AppMinChPages),
             "AuthorGetMemConfig -- don't have enough memory");
  }
  *chunkPages = uint32_t(pages);
  *heapBytes = uint32_t(free - pages * page);
  return true;
}

// The heap is the system allocator: the trace and statistics switches of
// heap and chunks have nothing to switch, so only debug is read.
bool AuthorInit(bool debug, bool, bool, bool) {
  uint32_t heapBytes = 0, chunkPages = 0;
  if (!AuthorGetMemConfig(&heapBytes, &chunkPages))
    HtAlert("", "You need to increase the application size.");
  AppSmallObjHeap = heapBytes;
  AppChPages = chunkPages;

  for (const AuthorStep& step : kAuthorSteps) {
    if (step.rtns) {
      (void)step.rtns(step.initSelector, kPkgVersion);
    } else if (step.init && !step.init()) {
      return false;
    }
  }
  AuthorDebug(debug);
  AuthorCountChecks = access("quiltest", F_OK) == 0;
  return true;
}

void AuthorTerm() {
  std::vector<const AuthorStep*> order;
  for (const AuthorStep& step : kAuthorSteps) order.push_back(&step);
  std::stable_sort(order.begin(), order.end(),
                   [](const AuthorStep* a, const AuthorStep* b) {
                     return a->termRank < b->termRank;
                   });
  for (const AuthorStep* step : order) {
    if (step->rtns) {
      (void)step->rtns(TermSelector(*step), 0);
    } else if (step->term) {
      step->term();
    }
  }
}

void AuthorDebug(bool debug) {
  ExInitRtns(kPkgDebug, debug);
  HtInitRtns(kPkgDebug, debug);
  for (const AuthorStep& step : kAuthorSteps) {
    // Second-stage rows share the package entry of their first stage.
    if (step.rtns && step.initSelector == kPkgInit)
      (void)step.rtns(kPkgDebug, debug);
  }
}

}  // namespace quil
