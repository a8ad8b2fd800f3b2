// Fi: the file layer under the chunk store.
//
// Every system call that the store makes on a file goes through this
// package: open, create, read and write at absolute positions, length,
// data sync, rename, unlink.  Keeping them in one place lets tests make the
// Nth write fail or count the syncs (FiFaultHook), and translates host
// errors into status codes in one place (FiErrnoXfm).
//
// Status codes (16-bit, 0 for success):
//   205  the file is not open ("Bad handle passed to FiXX call.")
//   211  fewer bytes were written than asked ("Disk is full.")
//   214  nothing could be read at that position ("End of file.")
//   225  FiCreate of a path that exists ("Filename already exists.")
//   otherwise the host error number (errno) of the failed call.
//
// Invariants: an FiFile owns its descriptor and closes it when destroyed;
// its recorded end (FiGetEOF) is the file's length at open, advanced by
// every write that reaches past it and set by FiSetLength.
//
// Threads: an FiFile is used by one thread at a time (the thread that holds
// the run lock, or the background save writer while it owns the save).  The
// fault hook and the counters are atomic and may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace quil {

constexpr uint16_t kFiStatusNotOpen = 205;
constexpr uint16_t kFiStatusDiskFull = 211;
constexpr uint16_t kFiStatusEof = 214;
constexpr uint16_t kFiStatusExists = 225;

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
  int Fd() const { return fd_; }
  const std::string& Path() const { return path_; }

 private:
  friend uint16_t FiOpen(const std::string&, int, FiFile&);
  friend uint16_t FiCreate(const std::string&, FiFile&);
  friend uint16_t FiCreateUnique(const std::string&, const std::string&,
                                 FiFile&);
  friend uint16_t FiClose(FiFile&);
  friend int64_t FiWrite(FiFile&, const void*, int64_t, int64_t, uint16_t&);
  friend int64_t FiGetEOF(const FiFile&);
  friend uint16_t FiSetLength(FiFile&, int64_t);
  friend uint16_t FiRename(FiFile&, const std::string&);
  // Takes over descriptor fd (closing a previous one) and reads its length.
  uint16_t Adopt(int fd, const std::string& path);
  int fd_ = -1;
  int64_t eof_ = 0;
  std::string path_;
};

// Opens an existing file in mode (kFiReadOnly or kFiReadWrite).
[[nodiscard]] uint16_t FiOpen(const std::string& path, int mode, FiFile& file);
// Creates a new file for reading and writing; 225 when the path exists.
[[nodiscard]] uint16_t FiCreate(const std::string& path, FiFile& file);
// Creates a new file named prefix followed by random characters in directory
// dir ("" for the working directory): the default prefix gives the names
// "AUXXXXXX" (six random characters).  The name is file.Path().
[[nodiscard]] uint16_t FiCreateUnique(const std::string& dir,
                                      const std::string& prefix, FiFile& file);
inline uint16_t FiCreateUnique(const std::string& dir, FiFile& file) {
  return FiCreateUnique(dir, "AU", file);
}
// Closes the file (205 when not open).  Destruction closes silently.
uint16_t FiClose(FiFile& file);
[[nodiscard]] uint16_t FiDelete(const std::string& path);
// Renames a closed path.
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
// The recorded end of the file.
int64_t FiGetEOF(const FiFile& file);
// The length on disk (fstat).
int64_t FiGetLength(FiFile& file, uint16_t& status);
[[nodiscard]] uint16_t FiSetLength(FiFile& file, int64_t length);
// Makes the written data durable (fdatasync): the sync points of the save
// protocol rely on it.
[[nodiscard]] uint16_t FiSync(FiFile& file);
// Device and inode of an open file, for recognising a file opened twice.
[[nodiscard]] uint16_t FiIdentity(FiFile& file, uint64_t& device,
                                  uint64_t& inode);

// The one translation of host errors into status codes.
uint16_t FiErrnoXfm(int error);

// Test hook: counts and injected failures.  failWriteAt = N > 0 makes the Nth
// write from now fail with failStatus (and nothing is written); the counter
// then disarms.  Counters only grow.
struct FiFaultHook {
  std::atomic<int64_t> writes{0};
  std::atomic<int64_t> reads{0};
  std::atomic<int64_t> syncs{0};
  std::atomic<int64_t> failWriteAt{0};
  std::atomic<uint16_t> failStatus{kFiStatusDiskFull};
};
extern FiFaultHook FiHook;
// Arms the hook: the nth write from now fails with status.
void FiFailNthWrite(int64_t n, uint16_t status);

// Package entry: 1 initialise, 2 terminate, 3 debug flag.
uint16_t FiInitRtns(int selector, int32_t value);

}  // namespace quil
