// Internals shared by the source files of the host package.
#pragma once

namespace quil {

// Read end of the wake pipe, -1 before HtInitRtns.
int HtWakeReadFd();

}  // namespace quil
