// Ec: error codes and their texts.
//
// Ordinary failures are returned as 16-bit codes in a 32-bit result, 0 meaning
// success; callers compare the low 16 bits only.  EcToSt is the one place
// where the texts live.
#pragma once

#include <cstdint>

#include "St.h"

namespace quil {

// The forum store's codes (2300-2320): X(name, code, text).  The forum
// names each one kForum<name> (Forum.h); EcToSt gives its text.
#define EC_FORUM_CODES(X)                                                    \
  X(NameInUse, 2300, "Duplicate name.")                                      \
  X(NameEmpty, 2301, "This forum name is not allowed.")                      \
  X(BadType, 2302, "Unknown type.")                                          \
  X(NotContainer, 2303, "Access not allowed.")                               \
  X(NoEntry, 2304, "No item.")                                               \
  X(UserNameInUse, 2305, "User name already in use.")                        \
  X(UserIsSysop, 2306, "Cannot destroy sysop users.")                        \
  X(TooManyContainers, 2307, "Too many containers for a user or group.")     \
  X(UserAlreadyInGroup, 2308, "Already present in that group.")              \
  X(UserNotFound, 2309, "Not found.")                                        \
  X(GroupNameInUse, 2310,                                                    \
    "Group name already in use (by a user or another group).")               \
  X(UserNotInGroup, 2311, "User not present in group.")                      \
  X(NotSupported, 2312, "This command is not supported.")                    \
  X(UserNameIsGroup, 2313, "User name in use as a group name.")              \
  X(GroupNameIsUser, 2314, "Group name in use as a username.")               \
  X(MoveIntoItself, 2315,                                                    \
    "Attempt to move a folder into itself or one of its children")           \
  X(UserRenameSysop, 2317, "Cannot rename the sysop.")                       \
  X(IntegerName, 2318, "Cannot use numeric folder names.")                   \
  X(EnclosureInUse, 2319, "Enclosure ID is already in use.")                 \
  X(BadUser, 2320, "Bad user handle")

// Product name used in the text of code 3.
extern const char kEcProductName[];

// The text of code (low 16 bits only); "error #N." for codes without one.
St EcToSt(uint32_t code);

}  // namespace quil
