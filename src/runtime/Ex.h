// Ex: numbered exceptions with a bounded, process-wide frame stack.
//
// Code that can fail raises a code with ExRaise; the nearest open frame
// receives it and either absorbs it or raises it again outward.  Frames are
// C++ objects: ExFrame pushes a context when it is constructed and pops it
// when it goes out of scope; ExRaise pops the innermost context itself (so a
// handler never closes its frame) and throws ExError, which the frame's
// try/catch receives.  The usual idiom is ExTry:
//
//   if (!ExTry([&] { ...protected body... })) {
//     // the frame is already closed; ExLastError holds the code
//     if (ExLastError != 2400) ExRaise(ExLastError);   // pass it on
//     ...absorb...
//   }
//
// Invariants (verified while ExDebugFlag is set):
//   - at most 127 contexts are open at a time (kExMaxContexts - 1);
//   - every context carries the validity mark 66 and a depth number, -1 while
//     the context is free;
//   - a raise with no open frame halts;
//   - while ExcepWarnFlag is set, raising a code outside the expected set halts
//     with "Warning: an exception has been generated, error code: N".
//
// Thread use: the stack, ExLastError and the flags are process-wide and used
// only by the thread that holds the run lock.  A thread that gives up the run
// lock saves its frames with ExSave and puts them back with ExRestore after it
// has taken the lock again, so each thread sees only its own frames.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace quil {

constexpr int kExMaxContexts = 128;
constexpr int16_t kExContextMark = 66;

// Codes raised across the system.
constexpr int32_t kExReported = 2400;    // an error text waits to be written
constexpr int32_t kExQuitting = 2401;    // unwind silently: the server quits
constexpr int32_t kExNoMemory = 100;     // heap or chunk cache exhausted
constexpr int32_t kExHostMemory = 102;   // host refused more memory

// What ExRaise throws.  Only frames catch it.
struct ExError {
  int32_t code;
};

extern int32_t ExLastError;
extern uint8_t ExcepWarnFlag;
extern bool ExDebugFlag;
extern int ExNumCntxt;

// Package protocol: 1 initialises and self-tests, 2 terminates (and sets both
// ExDebugFlag and ExcepWarnFlag), 3 sets the debug flag; other selectors halt
// with "ExInitRtns-- Selector".
uint16_t ExInitRtns(int selector, int32_t value);

// True when code may be raised while warnings are on: 1-17, 200-299, 2050,
// 2201 and 2300-2499.
bool ExIsExpectedCode(int32_t code);

// Low-level push and pop, used by ExFrame.  ExICBegin returns the depth of the
// new context.
int ExICBegin();
void ExEnd();

// Raises code: records it in ExLastError, applies the warning rule, pops the
// innermost context and throws to its frame.  Halts with
// "ExcepPkg:ExRaise - No context handler, ExLastError = N" when no frame is
// open and "ExICBegin-- Memory overwrite" when a context lost its mark.
[[noreturn]] void ExRaise(int32_t code);

// One exception frame.  Not copyable; its context is closed when it goes out
// of scope unless a raise closed it already.
class ExFrame {
 public:
  ExFrame() : depth_(ExICBegin()) {}
  ~ExFrame();
  ExFrame(const ExFrame&) = delete;
  ExFrame& operator=(const ExFrame&) = delete;

 private:
  int depth_;
};

// Runs body inside a frame.  Returns true when it ended normally, false when
// an exception arrived (the code is in ExLastError, the frame is closed).
template <class Body>
bool ExTry(Body&& body) {
  ExFrame frame;
  try {
    body();
  } catch (const ExError&) {
    return false;
  }
  return true;
}

// Sets ExcepWarnFlag and returns its previous value.
uint8_t ExWarningMsg(uint8_t flag);

// Turns warnings off for its lifetime (for code that expects an exception as
// a normal outcome) and restores the previous value on every path.
class ExQuietScope {
 public:
  ExQuietScope() : previous_(ExWarningMsg(0)) {}
  ~ExQuietScope() { ExWarningMsg(previous_); }
  ExQuietScope(const ExQuietScope&) = delete;
  ExQuietScope& operator=(const ExQuietScope&) = delete;

 private:
  uint8_t previous_;
};

// Number of open frames.
int ExSync();
// True if n frames are open; always true while the debug flag is clear.
bool ExCheck(int n);

// A saved frame stack.  A default-constructed (or moved-from) value is the
// "none" value that ExSave returns when no frame is open.
class ExSaved {
 public:
  ExSaved() = default;
  bool IsNone() const { return depths_ == nullptr; }
  int Count() const { return depths_ ? int(depths_->size()) : -3; }

 private:
  friend ExSaved ExSave();
  friend void ExRestore(ExSaved saved);
  std::unique_ptr<std::vector<int16_t>> depths_;
};

// Moves every open frame into a saved stack and leaves the stack empty;
// returns none when no frame is open.
ExSaved ExSave();
// Puts a saved stack back ("ExRestore-- there is already a context in place"
// if frames are open).  None does nothing.
void ExRestore(ExSaved saved);

}  // namespace quil
