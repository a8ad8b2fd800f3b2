// Ma: halting the process, consistency checks and the package protocol.
//
// A halt ends the process: a failed consistency check (assertion), an
// exhausted heap or an unrecoverable state calls one of the halt routines with
// a message.  The message goes to the installed halt handler (the server
// installs its own, which logs the message and calls MaExit); with no handler
// MaExit runs directly.  MaExit runs the registered clean-up routines, then
// the termination hook (which removes the lock file and the bridge socket)
// and aborts, so a halt always leaves a core image.
//
// A halt routine entered while another halt routine runs aborts at once.
//
// Consistency checks are written MA_CHECK(flag, condition, "Function-- what"):
// when the package's debug flag is set and the condition fails, the check is
// an assertion failure with that message.  The server turns every package's
// debug flag on, so the checks stay active in service.
//
// Package protocol: every package has one entry XxInitRtns(selector, value)
// returning a 16-bit result; PkgDispatch implements the common selector rules
// and messages so that each package only supplies its own steps.
//
// Thread use: halts may be called from any thread; the package protocol runs
// on the main thread during start-up and shutdown.
#pragma once

#include <cstdint>
#include <string>

namespace quil {

using MaHaltFn = void (*)(const char* message);
using MaCleanupFn = void (*)();

// Message used when a halt is given no message.
extern const char kMaDefaultHaltMessage[];

[[noreturn]] void MaHalt(const char* message);
[[noreturn]] void MaHalt(const std::string& message);
[[noreturn]] void MaPause(const char* message);
// The title is not shown.
[[noreturn]] void MaAlert(const char* title, const char* message);
[[noreturn]] void HtAlert(const char* title, const char* message);
[[noreturn]] void MaAssertFailure(const char* message);
[[noreturn]] void MaAssertFailure(const std::string& message);
// Halts with "Heap package-- Out of memory".
[[noreturn]] void MaMemHalt();
// Runs the clean-up routines (newest first), then the termination hook, and
// aborts.  A second entry aborts at once.
[[noreturn]] void MaExit();

void MaSetHaltFn(MaHaltFn fn);
void MaSetAssertFn(MaHaltFn fn);
// Hook run by MaExit after the clean-up routines (removes the lock file and
// socket).  Installed by the server's start-up code.
void MaSetTermSystemFn(MaCleanupFn fn);
// Hook run on the first halt before the handler (flushes the connection
// package's event recorder when it records).
void MaSetRecorderFn(MaHaltFn fn);

// True once a halt has begun; MaHalted() returns the flag and clears it.
extern bool MaHasHalted;
bool MaHalted();

// Clean-up routines run by MaExit.  Registering the same routine twice runs
// it twice; deregistering removes the most recent registration.
void HtFatalReg(MaCleanupFn fn);
void HtFatalDereg(MaCleanupFn fn);

#define MA_CHECK(flag, condition, message)          \
  do {                                              \
    if ((flag) && !(condition))                     \
      ::quil::MaAssertFailure(message);             \
  } while (0)

// ---------------------------------------------------------------------------
// Package protocol.

constexpr int32_t kPkgVersion = 19;

enum PkgSelector : int {
  kPkgInit = 1,
  kPkgTerm = 2,
  kPkgDebug = 3,
  kPkgDebug2 = 4,
  kPkgInit2 = 5,
  kPkgTerm2 = 6,
};

struct PkgState {
  bool inited = false;
  bool debug = false;
  bool debug2 = false;
};

// The steps a package supplies; null steps are absent.  A package without
// init2/term2/debug2 halts on those selectors like on any unknown one.
struct PkgSteps {
  uint16_t (*init)() = nullptr;
  void (*term)() = nullptr;
  void (*init2)() = nullptr;
  void (*term2)() = nullptr;
  bool hasDebug2 = false;
};

// Runs selector for the package named `entry` (for example "QuInitRtns"):
//   1  checks "<entry>-- Pkg already init" and "<entry>-- Wrong version"
//      (value must be 19), runs init, marks the package initialised;
//   2  checks "<entry>-- Pkg not init", runs term, clears the mark;
//   3  sets the debug flag to value; 4 the heavier debug flag;
//   5, 6 run the second-stage steps;
//   any other halts with "<entry>-- Selector".
// The checks are made only while the debug flag is set.
uint16_t PkgDispatch(PkgState& state, const char* entry, int selector,
                     int32_t value, const PkgSteps& steps);

}  // namespace quil
