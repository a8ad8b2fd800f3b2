// Periodic saves of a changed root.
//
// A change arms a RAM-queue timer 2,000 ms ahead (once; further changes
// ride on it).  When it fires, a save starts only while no request thread
// waits with a request in progress and no background pass runs; otherwise
// the save waits as a blocked callback until those activities end.  A root
// whose file is being backed up or repacked, or whose previous background
// save is still running, is put back for another 2,000 ms.  The save itself
// is the store's background save: it freezes the changed pages and returns.
#include "Ec.h"
#include "Ex.h"
#include "ForumInt.h"
#include "Ht.h"
#include "Qu.h"
#include "Thread.h"

namespace quil {

namespace {

constexpr int32_t kSaveDelayMs = 2000;

void SaveNow(intptr_t argument, int32_t);

void SaveTimer(intptr_t argument, int32_t) {
  ForumRoot root = reinterpret_cast<ForumRoot>(argument);
  root->saveTimer = 0;
  // Wait for exactly the activities that run now: a blocked entry is let go
  // only when every activity of its mask has ended.
  uint32_t busy = (QuBgActive ? kQuBlockBgPass : 0) | (ForumWaiting > 0 ? kQuBlockRequest : 0);
  if (busy != 0) {
    root->saveTimer = QuRamBlock(SaveNow, argument, busy);
    return;
  }
  SaveNow(argument, 0);
}

void SaveNow(intptr_t argument, int32_t) {
  ForumRoot root = reinterpret_cast<ForumRoot>(argument);
  root->saveTimer = 0;
  if (ChInBackup(root->part) || ChBgSaveActive(root->file)) {
    root->saveTimer = QuRamAdd(kSaveDelayMs, SaveTimer, argument);
    return;
  }
  uint16_t status = ForumRootSave(root);
  if (status != 0) {
    Wf_err_write(("ForumRootSave-- " + EcToSt(status).Str()).c_str());
    ForumSaveArm(root);
  }
}

}  // namespace

void ForumSaveArm(ForumRoot root) {
  root->changed = true;
  if (root->saveTimer == 0)
    root->saveTimer = QuRamAdd(kSaveDelayMs, SaveTimer, reinterpret_cast<intptr_t>(root));
}

void ForumSaveDisarm(ForumRoot root) {
  if (root->saveTimer != 0) QuRamKill(root->saveTimer);
  root->saveTimer = 0;
}

uint16_t ForumRootSave(ForumRoot root) {
  ForumSaveDisarm(root);
  root->changed = false;
  if (!ChPartIsModified(root->part)) return 0;
  uint32_t revision = 0;
  return ChPartSave(root->part, 0, &revision);
}

uint16_t ForumRootSaveWait(ForumRoot root) {
  if (ExTry([&] { ChBgSaveCleanupWait(root->file); })) return 0;
  return uint16_t(ExLastError);
}

}  // namespace quil
