// Exception frames: the context stack, raise, save and restore.
#include "Ex.h"

#include <string>

#include "Ma.h"

namespace quil {

int32_t ExLastError = 0;
uint8_t ExcepWarnFlag = 1;
bool ExDebugFlag = true;
int ExNumCntxt = 0;

namespace {

struct ExContext {
  int16_t mark;
  int16_t depth;  // -1 while free
};

ExContext contexts[kExMaxContexts];
int curCntxt = 0;  // index of the next free context
bool exInited = false;

void MarkAllFree() {
  for (auto& c : contexts) {
    c.mark = kExContextMark;
    c.depth = -1;
  }
  curCntxt = 0;
  ExNumCntxt = 0;
}

// Contexts live in static storage and start zeroed; give them their marks
// before the first push even if the package has not been initialised yet
// (static constructors of other packages may open frames).
struct ExStaticInit {
  ExStaticInit() { MarkAllFree(); }
} exStaticInit;

void SelfTest() {
  int arrivals = 0;
  bool normal = ExTry([] {
    ExRaise(kExReported);
  });
  if (!normal) ++arrivals;
  if (normal) MaAssertFailure("ExInitRtns-- Exception test failed(2)");
  if (arrivals != 1 || ExLastError != kExReported)
    MaAssertFailure("ExInitRtns-- Exception test failed(1)");
}

}  // namespace

bool ExIsExpectedCode(int32_t code) {
  return (code >= 1 && code <= 17) || (code >= 200 && code <= 299) ||
         code == 2050 || code == 2201 || (code >= 2300 && code <= 2499);
}

int ExICBegin() {
  if (ExDebugFlag) {
    if (ExNumCntxt >= kExMaxContexts - 1)
      MaAssertFailure("ExPushContext-- No more exception contexts");
    if (contexts[curCntxt].mark != kExContextMark)
      MaAssertFailure("ExPushContext-- Not a valid exception context");
    if (contexts[curCntxt].depth != -1)
      MaAssertFailure("ExPushContext-- Exception mismatch");
  } else if (curCntxt >= kExMaxContexts) {
    // Without checks the stack still cannot grow past its array.
    MaAssertFailure("ExPushContext-- No more exception contexts");
  }
  int depth = ExNumCntxt;
  contexts[curCntxt].depth = int16_t(depth);
  ++ExNumCntxt;
  ++curCntxt;
  return depth;
}

void ExEnd() {
  if (curCntxt == 0) MaAssertFailure("ExPopContext-- Exception mismatch");
  --curCntxt;
  ExContext& c = contexts[curCntxt];
  if (ExDebugFlag) {
    if (c.mark != kExContextMark)
      MaAssertFailure("ExPopContext-- Not a valid exception context");
    if (c.depth == -1) MaAssertFailure("ExPopContext-- Exception mismatch");
  }
  c.depth = -1;
  --ExNumCntxt;
}

ExFrame::~ExFrame() {
  // A raise that reached this frame closed it already.
  while (ExNumCntxt > depth_) ExEnd();
}

void ExRaise(int32_t code) {
  // Code 100 would pause a profiler here; there is none to pause.
  for (const auto& c : contexts) {
    if (c.mark != kExContextMark) MaHalt("ExICBegin-- Memory overwrite");
  }
  ExLastError = code;
  if (ExcepWarnFlag && !ExIsExpectedCode(code)) {
    MaHalt("Warning: an exception has been generated, error code: " +
           std::to_string(code));
  }
  if (ExNumCntxt == 0) {
    MaHalt("ExcepPkg:ExRaise - No context handler, ExLastError = " +
           std::to_string(code));
  }
  ExEnd();
  throw ExError{code};
}

uint8_t ExWarningMsg(uint8_t flag) {
  uint8_t previous = ExcepWarnFlag;
  ExcepWarnFlag = flag;
  return previous;
}

int ExSync() { return ExNumCntxt; }

bool ExCheck(int n) { return !ExDebugFlag || ExNumCntxt == n; }

ExSaved ExSave() {
  ExSaved saved;
  if (ExNumCntxt == 0) return saved;
  saved.depths_ = std::make_unique<std::vector<int16_t>>();
  for (int i = 0; i < curCntxt; ++i) {
    saved.depths_->push_back(contexts[i].depth);
    contexts[i].depth = -1;
  }
  curCntxt = 0;
  ExNumCntxt = 0;
  return saved;
}

void ExRestore(ExSaved saved) {
  if (saved.IsNone()) return;
  if (ExNumCntxt != 0)
    MaAssertFailure("ExRestore-- there is already a context in place");
  const auto& depths = *saved.depths_;
  int n = int(depths.size());
  for (int i = 0; i < kExMaxContexts; ++i)
    contexts[i].depth = i < n ? depths[size_t(i)] : int16_t(-1);
  curCntxt = n;
  ExNumCntxt = n;
}

uint16_t ExInitRtns(int selector, int32_t value) {
  switch (selector) {
    case kPkgInit:
      if (ExDebugFlag && exInited) MaAssertFailure("ExInitRtns-- Pkg already init");
      if (ExDebugFlag && value != kPkgVersion)
        MaAssertFailure("ExInitRtns-- Wrong version");
      MarkAllFree();
      ExcepWarnFlag = 1;
      SelfTest();
      exInited = true;
      return 0;
    case kPkgTerm:
      if (ExDebugFlag && !exInited) MaAssertFailure("ExInitRtns-- Pkg not init");
      if (ExDebugFlag && ExNumCntxt != 0)
        MaAssertFailure("ExTerm-- Exception handlers exist");
      exInited = false;
      ExDebugFlag = true;
      ExcepWarnFlag = 1;
      return 0;
    case kPkgDebug:
      ExDebugFlag = value != 0;
      return 0;
    default:
      MaHalt("ExInitRtns-- Selector");
  }
}

}  // namespace quil
