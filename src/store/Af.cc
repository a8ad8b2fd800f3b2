// Application files: open, create, save and close with the application's
// root and callbacks.
#include "Af.h"

#include <algorithm>
#include <vector>

#include "Ma.h"

namespace quil {

bool AfDebugFlag = true;

namespace {

PkgState afPkg{false, true, false};
AfRootOpenFn rootOpen = nullptr;
AfRootCloseFn rootClose = nullptr;
AfSaveLogFn saveLog = nullptr;

std::vector<AfCallback>& SaveList() {
  static std::vector<AfCallback> list;
  return list;
}

std::vector<AfCallback>& CloseList() {
  static std::vector<AfCallback> list;
  return list;
}

void ListInsert(std::vector<AfCallback>& list, AfCallback fn) {
  if (std::find(list.begin(), list.end(), fn) == list.end()) list.push_back(fn);
}

void ListRemove(std::vector<AfCallback>& list, AfCallback fn) {
  list.erase(std::remove(list.begin(), list.end(), fn), list.end());
}

// Runs the callbacks, the most recently registered first.  A copy is walked
// so that a callback may remove itself.
void ListRun(const std::vector<AfCallback>& list, ChPart part) {
  std::vector<AfCallback> copy = list;
  for (auto it = copy.rbegin(); it != copy.rend(); ++it) (*it)(part);
}

uint16_t RootOpen(ChPart part) { return rootOpen ? rootOpen(part) : 0; }
void RootClose(ChPart part) {
  if (rootClose) rootClose(part);
}

// The master part of an open file, then its root; the file is closed when
// either fails.
uint16_t AfStart(ChFi file, bool create, ChPart* out) {
  ChPart part = 0;
  uint16_t status = create ? ChFiPartCreate(file, &part) : ChFiPartOpen(file, &part);
  if (status == 0) status = RootOpen(part);
  if (status != 0) {
    if (create) {
      (void)ChFiDestroy(file);
    } else {
      (void)ChFiClose(file);
    }
    return status;
  }
  *out = part;
  return 0;
}

std::string DirOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

void AfSetRootFns(AfRootOpenFn open, AfRootCloseFn close) {
  rootOpen = open;
  rootClose = close;
}

void AfSetSaveLogFn(AfSaveLogFn fn) { saveLog = fn; }

uint16_t AfCreate(const std::string& path, ChPart* out) {
  ChFi file;
  uint16_t status = ChFiCreate(path, &file);
  if (status != 0) return status;
  return AfStart(file, true, out);
}

uint16_t AfOpen(const std::string& path, ChPart* out) {
  ChFi file;
  uint16_t status = ChFiOpen(path, kChFiReadWrite, &file);
  if (status != 0) return status;
  return AfStart(file, false, out);
}

uint16_t AfSave(ChPart part, int mode, uint32_t* revision) {
  ChFi file = ChGetChFi(part);
  MA_CHECK(AfDebugFlag, file && ChFiGetMaster(file) == part,
           "AfSave-- not a master part");
  if (!ChPartIsModified(part)) {
    if (revision) *revision = ChGetRev(part);
    return 0;
  }
  RootClose(part);
  ListRun(SaveList(), part);
  uint32_t rev = 0;
  uint16_t status = ChPartSave(part, mode, &rev);
  uint16_t reopened = RootOpen(part);
  if (status == 0 && saveLog) saveLog(part, rev);
  if (revision) *revision = rev;
  return status != 0 ? status : reopened;
}

uint16_t AfSaveAs(ChPart part, const std::string& path) {
  ChFi old = ChGetChFi(part);
  MA_CHECK(AfDebugFlag, old && ChFiGetMaster(old) == part,
           "AfSaveAs-- not a master part");
  if (FiExists(path)) return kEcFileExists;
  ChFi temp;
  uint16_t status = ChFiCreateTemp(DirOf(path), &temp);
  if (status != 0) return status;
  RootClose(part);
  ListRun(SaveList(), part);
  status = ChPartDup(part, temp);
  if (status != 0) {
    // Nothing moved: the temporary file goes (its own status is of no
    // interest beside the failure) and the root opens as it was before.
    (void)ChFiDestroy(temp);
    MA_CHECK(AfDebugFlag, RootOpen(part) == 0, "AfSaveAs-- root does not open again");
    return status;
  }
  uint32_t rev = 0;
  status = ChPartSave(part, 0, &rev);
  // A background save must reach the disk before the file gets its name.
  if (status == 0) ChBgSaveCleanupWait(temp);
  if (status == 0) status = ChFiMakePermanent(temp, path);
  // The old file is closed unchanged (its saves were waited for).
  if (status == 0) (void)ChFiClose(old);
  uint16_t reopened = RootOpen(part);
  if (status == 0 && saveLog) saveLog(part, rev);
  return status != 0 ? status : reopened;
}

uint16_t AfClose(ChPart part) {
  ChFi file = ChGetChFi(part);
  MA_CHECK(AfDebugFlag, file != nullptr, "AfClose-- not a file part");
  ListRun(CloseList(), part);
  RootClose(part);
  return ChFiClose(file);
}

uint16_t AfDestroy(ChPart part) {
  ChFi file = ChGetChFi(part);
  MA_CHECK(AfDebugFlag, file != nullptr, "AfDestroy-- not a file part");
  std::string path = ChFiPath(file);
  uint16_t status = AfClose(part);
  uint16_t deleted = FiDelete(path);
  return status != 0 ? status : deleted;
}

void AfCloseAnyInsert(AfCallback fn) { ListInsert(CloseList(), fn); }
void AfCloseAnyRemove(AfCallback fn) { ListRemove(CloseList(), fn); }
void AfSaveAnyInsert(AfCallback fn) { ListInsert(SaveList(), fn); }
void AfSaveAnyRemove(AfCallback fn) { ListRemove(SaveList(), fn); }

uint16_t AfInitRtns(int selector, int32_t value) {
  PkgSteps steps;
  steps.init = [] {
    SaveList().clear();
    CloseList().clear();
    return uint16_t(0);
  };
  uint16_t result = PkgDispatch(afPkg, "AfInitRtns", selector, value, steps);
  if (selector == kPkgDebug) AfDebugFlag = afPkg.debug;
  return result;
}

}  // namespace quil
