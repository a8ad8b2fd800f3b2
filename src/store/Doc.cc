// The document root of a database file and the package entry that
// registers the record database's types.
#include "Doc.h"

#include "ChInt.h"
#include "ChLi.h"
#include "LgDb.h"
#include "Ma.h"
#include "NmSp.h"
#include "Ut.h"

namespace quil {

bool DocDebugFlag = true;

namespace {

PkgState docPkg;

void CheckIndex(int index) {
  if (index < 0 || index >= kDocRootEntries) MaAssertFailure("DocRoot-- index");
}

}  // namespace

ChHandle DocRootGet(ChPart part, bool create) {
  ChHandle root = ChGetRoot(part);
  if (root) {
    MA_CHECK(DocDebugFlag, ChType(root) == kDocRootType,
             "DocRootGet-- root is not a document root");
    return root;
  }
  if (!create) return 0;
  ChUnlockMod(ChCreate(kDocRootType, 4 * kDocRootEntries, ChPartNear(part), &root));
  ChSetRoot(part, root);
  return root;
}

ChHandle DocRootEntry(ChPart part, int index) {
  CheckIndex(index);
  ChHandle root = DocRootGet(part, false);
  return root ? Ld32(static_cast<const uint8_t*>(ChDeref(root)) + 4 * index) : 0;
}

void DocRootSetEntry(ChPart part, int index, ChHandle value) {
  CheckIndex(index);
  ChLocked root(DocRootGet(part, true));
  St32(root.Data() + 4 * index, value);
  root.MarkModified();
}

ChHandle DocNameSpace(ChPart part) {
  if (ChHandle nmsp = DocRootEntry(part, kDocNameSpaceIndex)) return nmsp;
  ChHandle nmsp = NmSpCreate(ChPartNear(part));
  DocRootSetEntry(part, kDocNameSpaceIndex, nmsp);
  return nmsp;
}

void DocObjectEnter(ChPart part, const St& name, ChHandle object) {
  ChHandle nmsp = DocNameSpace(part);
  ChHandle id = object ? NmSpIdGet(nmsp, name) : NmSpLookup(nmsp, name);
  if (id) NmSpSetObject(id, object);
}

ChHandle DocObjectLookup(ChPart part, const St& name, uint16_t kind) {
  ChHandle nmsp = DocRootEntry(part, kDocNameSpaceIndex);
  ChHandle id = nmsp ? NmSpLookup(nmsp, name) : 0;
  ChHandle object = id ? NmSpObject(id) : 0;
  return object && ChLiChunkIsLive(object) && ChType(object) == kind ? object : 0;
}

void DocRegisterTypes() {
  UtRegisterBuiltin(kDocRootType, UtLayout().Times(kDocRootEntries, kUtHandle).Done());
  NmSpRegisterTypes();
  LgDbRegisterTypes();
}

uint16_t DocInitRtns(int selector, int32_t value) {
  PkgSteps steps;
  steps.init = [] {
    DocRegisterTypes();
    return uint16_t(0);
  };
  uint16_t result = PkgDispatch(docPkg, "DocInitRtns", selector, value, steps);
  if (selector == kPkgDebug) DocDebugFlag = NmSpDebugFlag = LgDbDebugFlag = docPkg.debug;
  return result;
}

}  // namespace quil
