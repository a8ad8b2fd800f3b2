// Fi: the file layer under the chunk store and the forum.
//
// Every system call that the store and the forum make on a file goes
// through this package: open, create, read and write at absolute positions,
// length, data sync, directory sync, rename, unlink, whole small files.
// Keeping them in one place translates host errors into status codes in one
// place (FiErrnoXfm) and lets tests put a fault-injecting layer under the
// store (below): the Nth read, write, sync or rename fails, and a power cut
// drops every byte that was never synced.
//
// Status codes (16-bit, 0 for success; texts in Ec.h):
//   205  kEcFiNotOpen   the file is not open ("Bad handle passed to FiXX call.")
//   207  kEcNoDirectory a directory on the path is missing (ENOTDIR)
//   208  kEcNoFile      no such file (ENOENT)
//   209  kEcTooManyOpen EMFILE, ENFILE
//   211  kEcDiskFull    ENOSPC, EDQUOT, or fewer bytes written than asked
//   213  kEcAccessDenied EACCES, EPERM
//   214  kEcEndOfFile   nothing could be read at that position
//   225  kEcNameExists  FiCreate of a path that exists (EEXIST)
//   230  kEcWriteProtected EROFS
//   233  kEcMediaError  EIO
//   3000 + errno        any other host error (the host band of Ec.h)
//
// Invariants: an FiFile owns its descriptor and closes it when destroyed;
// its recorded end (FiGetEOF) is the file's length at open, advanced by
// every write that reaches past it and set by FiSetLength.
//
// Threads: an FiFile is used by one thread at a time for writing (the
// thread that holds the run lock, or the background save writer while it
// owns the save); reads at absolute positions may run beside it.  The fault
// layer and its counters may be used from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "Ec.h"

namespace quil {

constexpr uint16_t kFiStatusNotOpen = kEcFiNotOpen;
constexpr uint16_t kFiStatusNoFile = kEcNoFile;
constexpr uint16_t kFiStatusDiskFull = kEcDiskFull;
constexpr uint16_t kFiStatusEof = kEcEndOfFile;
constexpr uint16_t kFiStatusExists = kEcNameExists;

// Open modes.
enum FiMode : int {
  kFiReadOnly = 1,
  kFiReadWrite = 3,
};

// When set, reads and writes are atomic with respect to each other (pread and
// pwrite at absolute positions), so the store need not take its save lock
// around each one.  Off by default: the store serialises its file access.
extern bool FiAtomicIoFlag;
extern bool FiDebugFlag;

// An open file.  Non-copyable; moving transfers the descriptor.
class FiFile {
 public:
  FiFile() = default;
  ~FiFile();
  FiFile(FiFile&& other) noexcept;
  FiFile& operator=(FiFile&& other) noexcept;
  FiFile(const FiFile&) = delete;
  FiFile& operator=(const FiFile&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }

 private:
  friend struct FiAccess;
  int fd_ = -1;
  int64_t eof_ = 0;
  std::string path_;
};

// Opens an existing file in mode (kFiReadOnly or kFiReadWrite).
[[nodiscard]] uint16_t FiOpen(const std::string& path, int mode, FiFile& file);
// Creates a new file for reading and writing; 225 when the path exists.
// The new name is durable only after FiSyncDir.
[[nodiscard]] uint16_t FiCreate(const std::string& path, FiFile& file);
// Creates a new file named prefix followed by random characters in directory
// dir ("" for the working directory): the default prefix gives the names
// "AUXXXXXX" (six random characters).  The name is file.Path().
[[nodiscard]] uint16_t FiCreateUnique(const std::string& dir,
                                      const std::string& prefix, FiFile& file);
[[nodiscard]] inline uint16_t FiCreateUnique(const std::string& dir, FiFile& file) {
  return FiCreateUnique(dir, "AU", file);
}
// Closes the file (205 when not open).  Destruction closes silently.
[[nodiscard]] uint16_t FiClose(FiFile& file);
[[nodiscard]] uint16_t FiDelete(const std::string& path);
// Renames a closed path (replacing what is at to).  Durable after FiSyncDir.
[[nodiscard]] uint16_t FiRename(const std::string& from, const std::string& to);
// Renames an open file; its Path() follows.
[[nodiscard]] uint16_t FiRename(FiFile& file, const std::string& to);
bool FiExists(const std::string& path);

// Reads up to length bytes at position; returns the count read.  Status 205
// when not open, 214 when nothing could be read, otherwise 0 (a short read
// at the end of the file is not an error) or the host error.
int64_t FiRead(FiFile& file, void* buffer, int64_t position, int64_t length,
               uint16_t& status);
// Writes length bytes at position and advances the recorded end; returns the
// count written.  Status 211 when fewer bytes were written, host errors
// otherwise.
int64_t FiWrite(FiFile& file, const void* buffer, int64_t position,
                int64_t length, uint16_t& status);
// Reads exactly length bytes at position: 0, 214 when the file ends first,
// or the status of FiRead.
[[nodiscard]] uint16_t FiReadAt(FiFile& file, void* buffer, int64_t position,
                                int64_t length);
// Writes exactly length bytes at position: 0 or the status of FiWrite.
[[nodiscard]] uint16_t FiWriteAt(FiFile& file, const void* buffer, int64_t position,
                                 int64_t length);
// The recorded end of the file.
int64_t FiGetEOF(const FiFile& file);
// The length on disk (fstat).
int64_t FiGetLength(FiFile& file, uint16_t& status);
[[nodiscard]] uint16_t FiSetLength(FiFile& file, int64_t length);
// Makes the written data durable (fdatasync): the sync points of the save
// protocol rely on it.
[[nodiscard]] uint16_t FiSync(FiFile& file);
// Makes the names in the directory holding path durable (fsync of the
// directory): after FiCreate, FiRename and FiDelete.
[[nodiscard]] uint16_t FiSyncDir(const std::string& path);
// Device and inode of an open file, for recognising a file opened twice.
[[nodiscard]] uint16_t FiIdentity(FiFile& file, uint64_t& device,
                                  uint64_t& inode);

// Reads the whole file at path into *out: 0, 208 when there is none, or the
// status of the failed call.
[[nodiscard]] uint16_t FiReadWhole(const std::string& path, std::string* out);
// Replaces the file at path by bytes, all or nothing: the bytes go to a new
// file beside it, are synced, and the new file is renamed over path (the
// directory synced after).  A failure leaves path as it was.
[[nodiscard]] uint16_t FiWriteWhole(const std::string& path, const std::string& bytes);

// The one translation of host errors (errno) into status codes: the named
// codes above, otherwise kEcHostBase + error.
uint16_t FiErrnoXfm(int error);

// ---------------------------------------------------------------------------
// The fault-injecting layer, for tests.
//
// Every call is counted by kind.  Nothing else happens until a test arms a
// fault: then each call first asks the layer whether it may go ahead.
//   - FiFaultFailNth: the nth call of a kind from now fails with a status
//     and does nothing (once).
//   - FiFaultTrack: from now on the layer remembers, for every file written
//     through it, what was written since its last sync.  FiFaultPowerCut
//     puts every such file back to what a power cut may leave: its synced
//     bytes, and with kKeepSome a random choice (from the seed) of the
//     writes never synced, each whole, torn into 512-byte sectors, or not at
//     all; a file created while tracking whose directory was never synced is
//     removed.  Renames and deletions count as durable at once.
//   - FiFaultCutAtSync: the nth sync from now does not happen; the power is
//     cut instead (as FiFaultPowerCut) and the layer goes dead: every later
//     call fails with the host error EIO until FiFaultReset, as calls of a
//     process whose machine went off never return.

enum class FiCall : uint8_t { kOpen, kRead, kWrite, kSync, kRename, kTruncate, kDelete };
constexpr int kFiCallKinds = 7;
enum class FiCut : uint8_t { kDropAll, kKeepSome };

// Calls of kind made since the process started (failed ones included).
int64_t FiFaultCalls(FiCall kind);
// The nth call of kind from now fails with status (n = 0 disarms).
void FiFaultFailNth(FiCall kind, int64_t n, uint16_t status);
void FiFaultTrack(bool on);
void FiFaultPowerCut(FiCut how, uint32_t seed);
void FiFaultCutAtSync(int64_t n, FiCut how, uint32_t seed);
// True once a cut at a sync has happened (until FiFaultReset).
bool FiFaultDead();
// Disarms every fault, forgets what was tracked and revives the layer; the
// counters go on.
void FiFaultReset();

// Package entry: 1 initialise (faults disarmed), 2 terminate, 3 debug flag.
[[nodiscard]] uint16_t FiInitRtns(int selector, int32_t value);

}  // namespace quil
