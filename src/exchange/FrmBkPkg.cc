// The package entry of the exchange layer and the save-marker callback.
#include "FrmBkInt.h"
#include "Ht.h"
#include "Ma.h"

namespace quil {

bool FrmBkDebugFlag = true;

namespace {

PkgState frmBkPkg{false, true, false};

// The save-marker callback of the conference: on a master, the slaves hear
// of the save (replication's part).
void FrmBkSetSave(ForumRoot root, const St& code, int64_t position) {
  if (RecRoutes* routes = frmbk::Routes()) routes->MasterSaved(root, code, position);
}

}  // namespace

void FrmBkInit() {
  (void)FrmBkKeyword("restart");  // builds FrmBkHa
  frmbk::CheckTables();
  SgmlParseInit();
  // The forum clears its callback lists when it terminates, so each
  // initialisation (after the forum's) registers again.
  ForumOnSaveMarker(FrmBkSetSave);
  ForumOnDbOpened(frmbk::DbOpened);
  ForumOnUniqueIdGiven(frmbk::UniqueIdGiven);
  // Expiration moves and removes through the journaling setters (the
  // forum forgets them with its callbacks when it terminates).
  frmbk::InstallArchiveOps();
  HtLoopHookAdd(HtLoopStage::kBeforeWait, FrmBkLogPass);
}

uint16_t FrmBkInitRtns(int selector, int32_t value) {
  PkgSteps steps;
  steps.init = [] {
    FrmBkInit();
    return uint16_t(0);
  };
  steps.term = [] {
    HtLoopHookRemove(HtLoopStage::kBeforeWait, FrmBkLogPass);
    FrmBkBackupTaskStop();
    FrmBkDurableFlush();
    frmbk::DurableReset();
    frmbk::ClearCallbacks();
    FrmBkRecordStop();
    SgmlParseTerm();
  };
  uint16_t result = PkgDispatch(frmBkPkg, "FrmBkInitRtns", selector, value, steps);
  if (selector == kPkgDebug) FrmBkDebugFlag = frmBkPkg.debug;
  return result;
}

}  // namespace quil
