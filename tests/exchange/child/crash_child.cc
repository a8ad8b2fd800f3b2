// The program the crash tests kill: the server's own start-up (AuthorInit,
// ForumDbOpen with its recovery and open-time replay) on a real database in
// a directory, then a stream of posts through the journaling setters, with
// the event loop's hooks and timers running between them (periodic and
// background saves, the durable mode's group commit).  Until the HTTP front
// end exists, this stands in for clients posting to the running server.
//
//   exchange_crash_child DIR post RUN     posts "RUN-N" for N = 0, 1, ...
//                                         printing "ack RUN-N" once each is
//                                         acknowledged (in the durable mode
//                                         after "synced BYTES", the length of
//                                         "quilroll.1" known on disk)
//   exchange_crash_child DIR verify       prints "have BODY" for every
//                                         message, then stops in order
//
// The first "post" run takes a backup before it prints "ready", so that a
// database left unopenable by a kill can be rebuilt from "quildb.1".
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>

#include "Ch.h"
#include "Ex.h"
#include "Fi.h"
#include "Forum.h"
#include "FrmBk.h"
#include "Ht.h"
#include "Ql.h"
#include "Qu.h"

using namespace quil;

namespace {

void Say(const std::string& line) {
  std::string text = line + "\n";
  HtWriteAll(1, text);
}

void Pass() {
  HtLoopHooksRun(HtLoopStage::kBeforeWait);
  (void)QuProcess(5, 0);
}

ForumFile Discussion(ForumRoot root) {
  ForumFile top = ForumTopFolder(root);
  ForumFile d = ForumFileHasChild(top, StCStrXfm("1"));
  if (d) return d;
  St name;
  if (FrmBkFileItemCreate(top, StCStrXfm("forum-topic"), StCStrXfm("x"), StCStrXfm("crash"), 0,
                          false, &name) != 0)
    abort();
  return ForumFileHasChild(top, name);
}

int Post(const std::string& run) {
  ForumRoot root = wfForumRoot;
  if (!FiExists(FrmBkDbName("1"))) {
    if (!DoBackup(false).empty()) return 3;
    while (!ChRepackDoPiece(ForumRootPart(root))) {
    }
  }
  ForumFile d = Discussion(root);
  Say("ready");
  std::deque<std::pair<uint64_t, std::string>> waiting;
  int64_t shownSynced = -1;
  for (int n = 0;; ++n) {
    std::string body = run + "-" + std::to_string(n);
    if (FrmBkForumItemCreate(d, 0, StCStrXfm("t"), StCStrXfm("text"), StFromView(body), -1, false,
                             nullptr) != 0)
      return 4;
    waiting.emplace_back(FrmBkLogSequence(), body);
    if (n % 40 == 39) (void)ForumRootSave(root);
    Pass();
    int64_t synced = FrmBkLogDurablePosition(root);
    if (FrmBkDurableMode() && synced != shownSynced) {
      Say("synced " + std::to_string(synced));
      shownSynced = synced;
    }
    while (!waiting.empty() && waiting.front().first <= FrmBkLogDurableSequence()) {
      Say("ack " + waiting.front().second);
      waiting.pop_front();
    }
  }
}

int Verify() {
  ForumFile d = ForumFileHasChild(ForumTopFolder(wfForumRoot), StCStrXfm("1"));
  if (d) {
    for (int32_t i = 0; i < ForumFileCount(d); ++i) {
      if (ForumItemRec(d, i) != 0) Say("have " + ForumItemData(d, i).Str());
    }
  }
  d = ForumFile();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || chdir(argv[1]) != 0) return 2;
  std::string mode = argv[2];
  (void)ExInitRtns(kPkgInit, kPkgVersion);
  if (HtInitRtns(kPkgInit, kPkgVersion) != 0) return 2;
  QlInstallLoop();
  HtSetMemSize(AppChPages * kChPageSize + AppSmallObjHeap);
  if (!AuthorInit(true, false, false, false)) return 2;
  FirstTime = false;  // no memory probe pass
  if (!ForumDbOpen()) return 2;
  int status = mode == "post" && argc > 3 ? Post(argv[3]) : Verify();
  ForumDbClose();
  AuthorTerm();
  return status;
}
