// Runs a function in a forked child with halt and assertion handlers that
// print the message, and returns what they printed: "assert:<message>" for
// MaAssertFailure, "halt:<message>" for MaHalt, "" when fn returned.
#pragma once

#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

#include "Ma.h"
#include "child.h"

namespace quiltest {

inline void SayTagged(const char* tag, const char* message) {
  (void)!write(1, tag, strlen(tag));
  (void)!write(1, message, strlen(message));
}

inline std::string HaltText(const std::function<void()>& fn) {
  return RunInChild([&] {
           quil::MaSetAssertFn([](const char* m) { SayTagged("assert:", m); });
           quil::MaSetHaltFn([](const char* m) { SayTagged("halt:", m); });
           fn();
         })
      .out;
}

}  // namespace quiltest
