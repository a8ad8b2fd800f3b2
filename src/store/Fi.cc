// The file layer: one place for the store's system calls.
#include "Fi.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "Ma.h"

namespace quil {

bool FiAtomicIoFlag = false;
bool FiDebugFlag = true;
FiFaultHook FiHook;

namespace {

PkgState fiPkg{false, true, false};

// Returns true when the hook says this write must fail.
bool FiWriteShouldFail() {
  FiHook.writes.fetch_add(1, std::memory_order_relaxed);
  int64_t at = FiHook.failWriteAt.load(std::memory_order_relaxed);
  if (at <= 0) return false;
  if (at == 1) {
    FiHook.failWriteAt.store(0, std::memory_order_relaxed);
    return true;
  }
  FiHook.failWriteAt.store(at - 1, std::memory_order_relaxed);
  return false;
}

}  // namespace

uint16_t FiErrnoXfm(int error) {
  switch (error) {
    case 0: return 0;
    case EBADF: return kFiStatusNotOpen;
    case ENOSPC: return kFiStatusDiskFull;
    case EEXIST: return kFiStatusExists;
    default: return uint16_t(error);
  }
}

FiFile::~FiFile() {
  if (fd_ >= 0) ::close(fd_);
}

FiFile::FiFile(FiFile&& other) noexcept
    : fd_(other.fd_), eof_(other.eof_), path_(std::move(other.path_)) {
  other.fd_ = -1;
  other.eof_ = 0;
}

FiFile& FiFile::operator=(FiFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    eof_ = other.eof_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
    other.eof_ = 0;
  }
  return *this;
}

uint16_t FiFile::Adopt(int fd, const std::string& path) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    return FiErrnoXfm(e);
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  eof_ = st.st_size;
  path_ = path;
  return 0;
}

uint16_t FiOpen(const std::string& path, int mode, FiFile& file) {
  int flags = (mode == kFiReadOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC;
  int fd = ::open(path.c_str(), flags);
  if (fd < 0) return FiErrnoXfm(errno);
  return file.Adopt(fd, path);
}

uint16_t FiCreate(const std::string& path, FiFile& file) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return FiErrnoXfm(errno);
  return file.Adopt(fd, path);
}

uint16_t FiCreateUnique(const std::string& dir, const std::string& prefix,
                        FiFile& file) {
  std::string pattern = dir;
  if (!pattern.empty() && pattern.back() != '/') pattern += '/';
  pattern += prefix + "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return FiErrnoXfm(errno);
  fchmod(fd, 0644);
  return file.Adopt(fd, std::string(name.data()));
}

uint16_t FiClose(FiFile& file) {
  if (file.fd_ < 0) return kFiStatusNotOpen;
  int rc = ::close(file.fd_);
  file.fd_ = -1;
  file.eof_ = 0;
  return rc == 0 ? 0 : FiErrnoXfm(errno);
}

uint16_t FiDelete(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? 0 : FiErrnoXfm(errno);
}

uint16_t FiRename(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : FiErrnoXfm(errno);
}

uint16_t FiRename(FiFile& file, const std::string& to) {
  if (file.fd_ < 0) return kFiStatusNotOpen;
  uint16_t status = FiRename(file.path_, to);
  if (status == 0) file.path_ = to;
  return status;
}

bool FiExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

int64_t FiRead(FiFile& file, void* buffer, int64_t position, int64_t length,
               uint16_t& status) {
  status = 0;
  if (!file.IsOpen()) {
    status = kFiStatusNotOpen;
    return 0;
  }
  FiHook.reads.fetch_add(1, std::memory_order_relaxed);
  int64_t done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < length) {
    ssize_t n = ::pread(file.Fd(), out + done, size_t(length - done),
                        off_t(position + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      status = FiErrnoXfm(errno);
      return done;
    }
    if (n == 0) break;
    done += n;
  }
  if (done == 0 && length > 0) status = kFiStatusEof;
  return done;
}

int64_t FiWrite(FiFile& file, const void* buffer, int64_t position,
                int64_t length, uint16_t& status) {
  status = 0;
  if (file.fd_ < 0) {
    status = kFiStatusNotOpen;
    return 0;
  }
  if (FiWriteShouldFail()) {
    status = FiHook.failStatus.load(std::memory_order_relaxed);
    return 0;
  }
  int64_t done = 0;
  auto* in = static_cast<const char*>(buffer);
  while (done < length) {
    ssize_t n = ::pwrite(file.fd_, in + done, size_t(length - done),
                         off_t(position + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      status = FiErrnoXfm(errno);
      break;
    }
    if (n == 0) break;
    done += n;
  }
  if (position + done > file.eof_) file.eof_ = position + done;
  if (status == 0 && done < length) status = kFiStatusDiskFull;
  return done;
}

int64_t FiGetEOF(const FiFile& file) { return file.eof_; }

int64_t FiGetLength(FiFile& file, uint16_t& status) {
  status = 0;
  if (!file.IsOpen()) {
    status = kFiStatusNotOpen;
    return 0;
  }
  struct stat st;
  if (fstat(file.Fd(), &st) != 0) {
    status = FiErrnoXfm(errno);
    return 0;
  }
  return st.st_size;
}

uint16_t FiSetLength(FiFile& file, int64_t length) {
  if (file.fd_ < 0) return kFiStatusNotOpen;
  if (::ftruncate(file.fd_, off_t(length)) != 0) return FiErrnoXfm(errno);
  file.eof_ = length;
  return 0;
}

uint16_t FiSync(FiFile& file) {
  if (!file.IsOpen()) return kFiStatusNotOpen;
  FiHook.syncs.fetch_add(1, std::memory_order_relaxed);
  return ::fdatasync(file.Fd()) == 0 ? 0 : FiErrnoXfm(errno);
}

uint16_t FiIdentity(FiFile& file, uint64_t& device, uint64_t& inode) {
  if (!file.IsOpen()) return kFiStatusNotOpen;
  struct stat st;
  if (fstat(file.Fd(), &st) != 0) return FiErrnoXfm(errno);
  device = uint64_t(st.st_dev);
  inode = uint64_t(st.st_ino);
  return 0;
}

void FiFailNthWrite(int64_t n, uint16_t status) {
  FiHook.failStatus.store(status, std::memory_order_relaxed);
  FiHook.failWriteAt.store(n, std::memory_order_relaxed);
}

uint16_t FiInitRtns(int selector, int32_t value) {
  PkgSteps steps;
  steps.init = [] {
    FiHook.failWriteAt.store(0);
    return uint16_t(0);
  };
  uint16_t result = PkgDispatch(fiPkg, "FiInitRtns", selector, value, steps);
  if (selector == kPkgDebug) FiDebugFlag = fiPkg.debug;
  return result;
}

}  // namespace quil
