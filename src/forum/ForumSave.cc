// Periodic saves of a changed root.
//
// A change arms a RAM-queue timer 2,000 ms ahead (once; further changes
// ride on it).  When it fires, a save starts only while no request thread
// waits with a request in progress and no background pass runs; otherwise
// the save waits as a blocked callback until those activities end.  A root
// whose file is being backed up or repacked, or whose previous background
// save is still running, is put back for another 2,000 ms.  The save itself
// is the store's background save: it freezes the changed pages and returns.
// Every save begins with the save marker of the roll-forward log
// (ForumSetSave, Forum.h).
#include "Auth.h"
#include "Ec.h"
#include "Ex.h"
#include "ForumInt.h"
#include "ForumUser.h"
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
  // A save still in flight first: while it is waited for, other work may
  // change the root, and those changes must come after the new marker.
  while (ChBgSaveActive(root->file)) {
    uint16_t status = ForumRootSaveWait(root);
    if (status != 0) return status;
  }
  if (!ChPartIsModified(root->part)) return 0;
  if (ChInBackup(root->part)) ChStopBackup(root->part);
  ForumSetSave(root, ForumNewSaveCode(root));
  uint32_t revision = 0;
  return ChPartSave(root->part, 0, &revision);
}

// ---------------------------------------------------------------------------
// The save marker.

void ForumSetLogSink(ForumRoot root, std::unique_ptr<ForumLogSink> sink) {
  root->logSink = std::move(sink);
}

std::unique_ptr<ForumLogSink> ForumTakeLogSink(ForumRoot root) {
  return std::move(root->logSink);
}

ForumLogSink* ForumLogSinkOf(ForumRoot root) { return root->logSink.get(); }

St ForumNewSaveCode(ForumRoot root) { return AuthNewCode(ForumRootNextSequence(root)); }

void ForumSetSave(ForumRoot root, const St& code) {
  int64_t position = -1;
  if (ForumLogSink* sink = root->logSink.get()) {
    position = sink->Position();
    std::string marker = "<save id=" + code.Str() + " unique=" +
                         StHexNoZerosIntXfm(uint32_t(ForumNextUniqueId(root))).Str() + ">\r\n";
    uint16_t status = sink->Append(marker);
    if (status == 0) status = sink->Sync();
    if (status != 0) {
      Wf_err_write(("ForumSetSave-- roll-forward log: " + EcToSt(status).Str()).c_str());
      position = -1;
    }
  }
  LgDbRecPutText(root->head, root->f.SaveCode, code);
  LgDbRecPutInt(root->head, root->f.SavePosition, int32_t(uint32_t(uint64_t(position))));
  if (position >= 0x7fffffff) {
    LgDbRecPutInt(root->head, root->f.SavePositionHigh, int32_t(uint64_t(position) >> 32));
  } else if (LgDbRecHasField(root->head, root->f.SavePositionHigh)) {
    (void)LgDbRecFieldRemove(root->head, root->f.SavePositionHigh);
  }
  ForumNotifySaveMarker(root, code, position);
}

bool ForumGetSave(ForumRoot root, St* code, int64_t* position) {
  *code = LgDbRecGetText(root->head, root->f.SaveCode);
  int32_t low = -1;
  if (!LgDbRecGetInt(root->head, root->f.SavePosition, &low)) low = -1;
  int32_t high = 0;
  if (LgDbRecGetInt(root->head, root->f.SavePositionHigh, &high)) {
    *position = int64_t((uint64_t(uint32_t(high)) << 32) | uint32_t(low));
  } else {
    *position = low;
  }
  return !code->Empty() && *position != -1;
}

uint16_t ForumRootSaveWait(ForumRoot root) {
  if (ExTry([&] { ChBgSaveCleanupWait(root->file); })) return 0;
  return uint16_t(ExLastError);
}

}  // namespace quil
