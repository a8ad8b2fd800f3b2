// Ec: error codes and their texts.
//
// Ordinary failures are returned as 16-bit codes in a 32-bit result, 0 meaning
// success; callers compare the low 16 bits only.  EcToSt is the one place
// where the texts live.
//
// Bands, by the layer that gives them:
//   1 - 18        the chunk store and its files       (EC_STORE_CODES)
//   100 - 102     the heaps                           (EC_STORE_CODES)
//   200 - 234     the file layer                      (EC_FILE_CODES)
//   1550 - 1557   TCP connections
//   2200          a database file of the older format (EC_STORE_CODES)
//   2300 - 2320   the forum store
//   2402 - 2416   the web interface, replication and search
//   3000 - 3999   host errors: kEcHostBase + the host's errno value, for the
//                 errno values that no code above names (the file layer
//                 translates them, FiErrnoXfm).  Their text is the host's
//                 description and the number ("Input/output error (host
//                 error 5).").
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

// The store's and the file layer's codes: X(name, code, text).  A null text
// means the code has no text of its own ("error #17.").  Code 3's text is
// assembled from the product name.
#define EC_STORE_CODES(X)                                                       \
  X(kEcTooManyParts, 1, "Too many databases open at one time.")                 \
  X(kEcUntitled, 2, "Attempt to save an untitled file.")                        \
  X(kEcNotDatabase, 3, nullptr)                                                 \
  X(kEcCorrupted, 4, "Corrupted database.")                                     \
  X(kEcNoRevision, 5, "No such revision.")                                      \
  X(kEcFileExists, 6, "Database file already exists.")                          \
  X(kEcNoPageTableMemory, 7, "No more memory for database page table.")         \
  X(kEcTransientFull, 8, "No more pages in transient file.")                    \
  X(kEcDatabaseFull, 9, "No more pages in database file.")                      \
  X(kEcWriteReadOnly, 10, "Internal error, attempt to write read-only database.") \
  X(kEcReadOnlyForWrite, 11, "Attempt to open read-only file with write access.") \
  X(kEcSaveDenied, 12, "Internal error, save denied.")                          \
  X(kEcOldRevision, 13, "Internal error, old revision specified.")              \
  X(kEcNoRelocation, 14, "Internal error, no relocation available for this object.") \
  X(kEcNoMaster, 15, "Internal error, no master partition.")                    \
  X(kEcUserReserved, 16, "Internal error, user already reserved.")              \
  X(kEcBadPage, 17, nullptr)                                                    \
  X(kEcTooLarge, 18, "Database file too large for this version to open.")       \
  X(kEcNoHeapMemory, 100, "No heap memory.")                                    \
  X(kEcHeapInit, 101, "Insufficient inital memory for the heap package.")       \
  X(kEcNoHostMemory, 102, "No host memory.")                                    \
  X(kEcOldFormat, 2200, nullptr)

#define EC_FILE_CODES(X)                                         \
  X(kEcBadHost, 200, "Illegal host spec.")                       \
  X(kEcBadDevice, 201, "Illegal device spec.")                   \
  X(kEcBadDirectory, 202, "Illegal directory spec.")             \
  X(kEcBadFileSpec, 203, "Illegal file spec.")                   \
  X(kEcBadAttributes, 204, "Illegal attributes.")                \
  X(kEcFiNotOpen, 205, "Bad handle passed to FiXX call.")        \
  X(kEcNoDevice, 206, "No such device.")                         \
  X(kEcNoDirectory, 207, "No such directory.")                   \
  X(kEcNoFile, 208, "No such file.")                             \
  X(kEcTooManyOpen, 209, "Too many files open.")                 \
  X(kEcDirectoryFull, 210, "Directory is full.")                 \
  X(kEcDiskFull, 211, "Disk is full.")                           \
  X(kEcFileLocked, 212, "File is locked.")                       \
  X(kEcAccessDenied, 213, "Access is denied.")                   \
  X(kEcEndOfFile, 214, "End of file.")                           \
  X(kEcNotApplicable, 215, "Call is not applicable.")            \
  X(kEcNoHost, 216, "No such host.")                             \
  X(kEcRequestTooLarge, 217, "I/O request is too large.")        \
  X(kEcBadLock, 218, "Invalid lock request.")                    \
  X(kEcFiInit, 219, "FiInit failed.")                            \
  X(kEcAmbiguousDirectory, 220, "Ambiguous directory.")          \
  X(kEcNameExists, 225, "Filename already exists.")              \
  X(kEcAccessMismatch, 226, "Mismatched access permission.")     \
  X(kEcWriteProtected, 230, "Media write protected.")            \
  X(kEcHostError, 231, "General host error.")                    \
  X(kEcMediaError, 233, "Media error occurred, no resolution.")  \
  X(kEcNoDisk, 234, "No disk present.")

#define EC_DECLARE(name, code, text) constexpr uint16_t name = code;
EC_STORE_CODES(EC_DECLARE)
EC_FILE_CODES(EC_DECLARE)
#undef EC_DECLARE

// The band of host errors: kEcHostBase + errno.
constexpr uint16_t kEcHostBase = 3000;
constexpr uint16_t kEcHostLast = 3999;

// The code of host error number error in the host band (kEcHostBase when
// error is out of the band's range).
constexpr uint16_t EcHostCode(int error) {
  return error > 0 && error <= kEcHostLast - kEcHostBase ? uint16_t(kEcHostBase + error)
                                                         : kEcHostBase;
}
// True for a code of the host band.
constexpr bool EcIsHost(uint32_t code) {
  uint16_t c = uint16_t(code & 0xFFFF);
  return c >= kEcHostBase && c <= kEcHostLast;
}

// The text of code (low 16 bits only); "error #N." for codes without one.
St EcToSt(uint32_t code);

}  // namespace quil
