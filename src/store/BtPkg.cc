// Package entries of the B-tree kinds and the name-directory tree, and the
// registration of their chunk templates.
#include "BtInt.h"
#include "Ma.h"
#include "Ut.h"

namespace quil {

bool BtDbDebugFlag = true;
bool BtiDbDebugFlag = true;
bool Bti1DbDebugFlag = true;
bool BtihDbDebugFlag = true;
bool BtmDbDebugFlag = true;
bool BtDebugFlag = true;

namespace {

PkgState btDbPkg{false, true, false};
PkgState btiDbPkg{false, true, false};
PkgState bti1DbPkg{false, true, false};
PkgState btihDbPkg{false, true, false};
PkgState btmDbPkg{false, true, false};
PkgState btPkg{false, true, false};

template <class K>
void RegisterKind() {
  UtRegisterBuiltin(K::kHeadType, BtHeaderLayout());
  UtRegisterBuiltin(K::kNodeType, BtNodeLayout<K>());
}

template <class K>
uint16_t KindInitRtns(PkgState& state, const char* entry, int selector, int32_t value,
                      bool& flag) {
  PkgSteps steps;
  steps.init = [] {
    RegisterKind<K>();
    return uint16_t(0);
  };
  uint16_t result = PkgDispatch(state, entry, selector, value, steps);
  if (selector == kPkgDebug) flag = state.debug;
  return result;
}

}  // namespace

void ChBtRegisterTypes();

void BtRegisterTypes() {
  RegisterKind<BtKindDb>();
  RegisterKind<BtKindI>();
  RegisterKind<BtKindI1>();
  RegisterKind<BtKindIh>();
  RegisterKind<BtKindM>();
  ChBtRegisterTypes();
}

uint16_t BtDbInitRtns(int selector, int32_t value) {
  return KindInitRtns<BtKindDb>(btDbPkg, "BtDbInitRtns", selector, value, BtDbDebugFlag);
}

uint16_t BtiDbInitRtns(int selector, int32_t value) {
  return KindInitRtns<BtKindI>(btiDbPkg, "BtiDbInitRtns", selector, value, BtiDbDebugFlag);
}

uint16_t Bti1DbInitRtns(int selector, int32_t value) {
  return KindInitRtns<BtKindI1>(bti1DbPkg, "Bti1DbInitRtns", selector, value,
                                Bti1DbDebugFlag);
}

uint16_t BtihDbInitRtns(int selector, int32_t value) {
  return KindInitRtns<BtKindIh>(btihDbPkg, "BtihDbInitRtns", selector, value,
                                BtihDbDebugFlag);
}

uint16_t BtmDbInitRtns(int selector, int32_t value) {
  return KindInitRtns<BtKindM>(btmDbPkg, "BtmDbInitRtns", selector, value, BtmDbDebugFlag);
}

uint16_t BtInitRtns(int selector, int32_t value) {
  PkgSteps steps;
  steps.init = [] {
    ChBtRegisterTypes();
    return uint16_t(0);
  };
  uint16_t result = PkgDispatch(btPkg, "BtInitRtns", selector, value, steps);
  if (selector == kPkgDebug) BtDebugFlag = btPkg.debug;
  return result;
}

}  // namespace quil
