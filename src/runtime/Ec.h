// Ec: error codes and their texts.
//
// Ordinary failures are returned as 16-bit codes in a 32-bit result, 0 meaning
// success; callers compare the low 16 bits only.  EcToSt is the one place
// where the texts live.
#pragma once

#include <cstdint>

#include "St.h"

namespace quil {

// Product name used in the text of code 3.
extern const char kEcProductName[];

// The text of code (low 16 bits only); "error #N." for codes without one.
St EcToSt(uint32_t code);

}  // namespace quil
