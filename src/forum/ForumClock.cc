// The forum's clock (Forum.h): every date the forum stores or compares.
#include <atomic>

#include "ForumInt.h"

namespace quil {

namespace {
std::atomic<ForumClockFn> clockFn{nullptr};
}  // namespace

void ForumSetClock(ForumClockFn fn) { clockFn.store(fn); }

int64_t ForumSecondsNow() {
  ForumClockFn fn = clockFn.load();
  return fn ? fn() : TdSecondsNow();
}

LgDbTd ForumNow() { return LgDbTdFromTd(TdFromSeconds(ForumSecondsNow(), false)); }

}  // namespace quil
