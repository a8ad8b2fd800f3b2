// The file layer: one place for the system calls of the store and the
// forum, and the fault-injecting layer the tests put under them.
#include "Fi.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <vector>

#include "Ma.h"

namespace quil {

bool FiAtomicIoFlag = false;
bool FiDebugFlag = true;

// The one way into an FiFile's fields, for the functions of this file.
struct FiAccess {
  static int& Fd(FiFile& f) { return f.fd_; }
  static int Fd(const FiFile& f) { return f.fd_; }
  static int64_t& Eof(FiFile& f) { return f.eof_; }
  static int64_t Eof(const FiFile& f) { return f.eof_; }
  static std::string& Path(FiFile& f) { return f.path_; }
};

namespace {

PkgState fiPkg{false, true, false};

// ---------------------------------------------------------------------------
// The fault-injecting layer.

std::array<std::atomic<int64_t>, kFiCallKinds> callCounts{};
// Set while any fault is armed, tracking is on or the layer is dead: only
// then do calls take the layer's mutex.
std::atomic<bool> faultArmed{false};

// A change to a tracked file since its last sync: bytes at pos, or (with
// truncateTo >= 0) a new length.
struct FiChange {
  int64_t pos = 0;
  std::string bytes;
  int64_t truncateTo = -1;
};

struct FiTracked {
  std::string durable;  // the contents as of the last sync
  std::vector<FiChange> pending;
  bool createdUnsynced = false;  // the name is not durable yet
};

struct FiFaults {
  std::mutex mutex;
  std::array<int64_t, kFiCallKinds> failAt{};
  std::array<uint16_t, kFiCallKinds> failStatus{};
  int64_t cutAt = 0;
  FiCut cutHow = FiCut::kDropAll;
  uint32_t cutSeed = 0;
  bool tracking = false;
  bool dead = false;
  std::map<std::string, FiTracked> files;  // by path
};

FiFaults& Faults() {
  static FiFaults faults;
  return faults;
}

uint16_t DeadStatus() { return FiErrnoXfm(EIO); }

void Rearm(FiFaults& ff) {
  bool any = ff.tracking || ff.dead || ff.cutAt > 0;
  for (int64_t n : ff.failAt) any |= n > 0;
  faultArmed.store(any);
}

std::string DirOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Reads the whole file at path with the host's calls (not counted).
std::string HostReadAll(const std::string& path) {
  std::string out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, size_t(n));
  }
  ::close(fd);
  return out;
}

void Apply(std::string& image, const FiChange& c) {
  if (c.truncateTo >= 0) {
    image.resize(size_t(c.truncateTo), '\0');
    return;
  }
  size_t end = size_t(c.pos) + c.bytes.size();
  if (image.size() < end) image.resize(end, '\0');
  image.replace(size_t(c.pos), c.bytes.size(), c.bytes);
}

// What a power cut leaves of a tracked file.
std::string AfterCut(const FiTracked& t, FiCut how, std::mt19937& rng) {
  std::string image = t.durable;
  if (how == FiCut::kDropAll) return image;
  for (const FiChange& c : t.pending) {
    switch (rng() % 3) {
      case 0:  // lost
        break;
      case 1:  // reached the disk
        Apply(image, c);
        break;
      default: {  // torn: some of its sectors reached the disk
        if (c.truncateTo >= 0) {
          Apply(image, c);
          break;
        }
        for (size_t at = 0; at < c.bytes.size(); at += 512) {
          if (rng() % 2) continue;
          FiChange piece{c.pos + int64_t(at), c.bytes.substr(at, 512), -1};
          Apply(image, piece);
        }
      }
    }
  }
  return image;
}

void PowerCutLocked(FiFaults& ff, FiCut how, uint32_t seed) {
  std::mt19937 rng(seed);
  for (auto& [path, t] : ff.files) {
    if (t.createdUnsynced) {
      ::unlink(path.c_str());
      continue;
    }
    std::string image = AfterCut(t, how, rng);
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) continue;
    MA_CHECK(true, ::ftruncate(fd, off_t(image.size())) == 0 &&
                       ::pwrite(fd, image.data(), image.size(), 0) == ssize_t(image.size()),
             "FiFaultPowerCut-- cannot write the image left by the cut");
    ::close(fd);
  }
  // Tracking goes on from what the cut left.
  std::map<std::string, FiTracked> kept;
  for (auto& [path, t] : ff.files)
    if (!t.createdUnsynced) kept[path].durable = HostReadAll(path);
  ff.files = std::move(kept);
}

// Asked before every call: 0 to go ahead, or the status the call fails with.
uint16_t FaultBefore(FiCall kind) {
  callCounts[size_t(kind)].fetch_add(1, std::memory_order_relaxed);
  if (!faultArmed.load(std::memory_order_relaxed)) return 0;
  FiFaults& ff = Faults();
  std::lock_guard<std::mutex> lock(ff.mutex);
  if (ff.dead) return DeadStatus();
  int64_t& at = ff.failAt[size_t(kind)];
  if (at > 0 && --at == 0) {
    Rearm(ff);
    return ff.failStatus[size_t(kind)];
  }
  if (kind == FiCall::kSync && ff.cutAt > 0 && --ff.cutAt == 0) {
    PowerCutLocked(ff, ff.cutHow, ff.cutSeed);
    ff.dead = true;
    Rearm(ff);
    return DeadStatus();
  }
  return 0;
}

// Before a write or a truncation of file: starts tracking it (its contents
// now count as durable).  Returns the record, or null when not tracking.
FiTracked* TrackedBefore(FiFaults& ff, const FiFile& file) {
  if (!ff.tracking) return nullptr;
  const std::string& path = file.Path();
  auto it = ff.files.find(path);
  if (it == ff.files.end()) {
    it = ff.files.emplace(path, FiTracked()).first;
    it->second.durable = HostReadAll(path);
  }
  return &it->second;
}

void NoteChange(FiFile& file, FiChange change) {
  if (!faultArmed.load(std::memory_order_relaxed)) return;
  FiFaults& ff = Faults();
  std::lock_guard<std::mutex> lock(ff.mutex);
  if (FiTracked* t = TrackedBefore(ff, file)) t->pending.push_back(std::move(change));
}

// Snapshots file before its first tracked change (so that the durable image
// is what it held before the change).
void NoteBeforeChange(const FiFile& file) {
  if (!faultArmed.load(std::memory_order_relaxed)) return;
  FiFaults& ff = Faults();
  std::lock_guard<std::mutex> lock(ff.mutex);
  (void)TrackedBefore(ff, file);
}

void NoteSynced(const FiFile& file) {
  if (!faultArmed.load(std::memory_order_relaxed)) return;
  FiFaults& ff = Faults();
  std::lock_guard<std::mutex> lock(ff.mutex);
  auto it = ff.files.find(file.Path());
  if (it == ff.files.end()) return;
  for (const FiChange& c : it->second.pending) Apply(it->second.durable, c);
  it->second.pending.clear();
}

void NoteCreated(const std::string& path) {
  if (!faultArmed.load(std::memory_order_relaxed)) return;
  FiFaults& ff = Faults();
  std::lock_guard<std::mutex> lock(ff.mutex);
  if (!ff.tracking) return;
  FiTracked& t = ff.files[path];
  t = FiTracked();
  t.createdUnsynced = true;
}

void NoteDirSynced(const std::string& dir) {
  if (!faultArmed.load(std::memory_order_relaxed)) return;
  FiFaults& ff = Faults();
  std::lock_guard<std::mutex> lock(ff.mutex);
  for (auto& [path, t] : ff.files)
    if (DirOf(path) == dir) t.createdUnsynced = false;
}

void NoteRenamed(const std::string& from, const std::string& to) {
  if (!faultArmed.load(std::memory_order_relaxed)) return;
  FiFaults& ff = Faults();
  std::lock_guard<std::mutex> lock(ff.mutex);
  ff.files.erase(to);
  auto it = ff.files.find(from);
  if (it == ff.files.end()) return;
  FiTracked t = std::move(it->second);
  ff.files.erase(it);
  ff.files[to] = std::move(t);
}

void NoteDeleted(const std::string& path) {
  if (!faultArmed.load(std::memory_order_relaxed)) return;
  FiFaults& ff = Faults();
  std::lock_guard<std::mutex> lock(ff.mutex);
  ff.files.erase(path);
}

// Takes over descriptor fd (closing a previous one) and reads its length.
uint16_t Adopt(FiFile& file, int fd, const std::string& path) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    return FiErrnoXfm(e);
  }
  int& mine = FiAccess::Fd(file);
  if (mine >= 0) ::close(mine);
  mine = fd;
  FiAccess::Eof(file) = st.st_size;
  FiAccess::Path(file) = path;
  return 0;
}

}  // namespace

uint16_t FiErrnoXfm(int error) {
  switch (error) {
    case 0: return 0;
    case EBADF: return kEcFiNotOpen;
    case ENOENT: return kEcNoFile;
    case ENOTDIR: return kEcNoDirectory;
    case EMFILE:
    case ENFILE: return kEcTooManyOpen;
    case ENOSPC:
    case EDQUOT: return kEcDiskFull;
    case EACCES:
    case EPERM: return kEcAccessDenied;
    case EEXIST: return kEcNameExists;
    case EROFS: return kEcWriteProtected;
    case EIO: return kEcMediaError;
    default: return EcHostCode(error);
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

uint16_t FiOpen(const std::string& path, int mode, FiFile& file) {
  if (uint16_t st = FaultBefore(FiCall::kOpen)) return st;
  int flags = (mode == kFiReadOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC;
  int fd = ::open(path.c_str(), flags);
  if (fd < 0) return FiErrnoXfm(errno);
  return Adopt(file, fd, path);
}

uint16_t FiCreate(const std::string& path, FiFile& file) {
  if (uint16_t st = FaultBefore(FiCall::kOpen)) return st;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return FiErrnoXfm(errno);
  NoteCreated(path);
  return Adopt(file, fd, path);
}

uint16_t FiCreateUnique(const std::string& dir, const std::string& prefix,
                        FiFile& file) {
  if (uint16_t st = FaultBefore(FiCall::kOpen)) return st;
  std::string pattern = dir;
  if (!pattern.empty() && pattern.back() != '/') pattern += '/';
  pattern += prefix + "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return FiErrnoXfm(errno);
  if (fchmod(fd, 0644) != 0) {
    int e = errno;
    ::close(fd);
    (void)::unlink(name.data());
    return FiErrnoXfm(e);
  }
  NoteCreated(name.data());
  return Adopt(file, fd, std::string(name.data()));
}

uint16_t FiClose(FiFile& file) {
  int& fd = FiAccess::Fd(file);
  if (fd < 0) return kFiStatusNotOpen;
  int rc = ::close(fd);
  fd = -1;
  FiAccess::Eof(file) = 0;
  return rc == 0 ? 0 : FiErrnoXfm(errno);
}

uint16_t FiDelete(const std::string& path) {
  if (uint16_t st = FaultBefore(FiCall::kDelete)) return st;
  if (::unlink(path.c_str()) != 0) return FiErrnoXfm(errno);
  NoteDeleted(path);
  return 0;
}

uint16_t FiRename(const std::string& from, const std::string& to) {
  if (uint16_t st = FaultBefore(FiCall::kRename)) return st;
  if (::rename(from.c_str(), to.c_str()) != 0) return FiErrnoXfm(errno);
  NoteRenamed(from, to);
  return 0;
}

uint16_t FiRename(FiFile& file, const std::string& to) {
  if (!file.IsOpen()) return kFiStatusNotOpen;
  uint16_t status = FiRename(FiAccess::Path(file), to);
  if (status == 0) FiAccess::Path(file) = to;
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
  if ((status = FaultBefore(FiCall::kRead)) != 0) return 0;
  int64_t done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < length) {
    ssize_t n = ::pread(FiAccess::Fd(file), out + done, size_t(length - done),
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
  if (!file.IsOpen()) {
    status = kFiStatusNotOpen;
    return 0;
  }
  if ((status = FaultBefore(FiCall::kWrite)) != 0) return 0;
  NoteBeforeChange(file);
  int64_t done = 0;
  auto* in = static_cast<const char*>(buffer);
  while (done < length) {
    ssize_t n = ::pwrite(FiAccess::Fd(file), in + done, size_t(length - done),
                         off_t(position + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      status = FiErrnoXfm(errno);
      break;
    }
    if (n == 0) break;
    done += n;
  }
  if (done > 0) NoteChange(file, FiChange{position, std::string(in, size_t(done)), -1});
  int64_t& eof = FiAccess::Eof(file);
  if (position + done > eof) eof = position + done;
  if (status == 0 && done < length) status = kFiStatusDiskFull;
  return done;
}

uint16_t FiReadAt(FiFile& file, void* buffer, int64_t position, int64_t length) {
  uint16_t status;
  int64_t n = FiRead(file, buffer, position, length, status);
  if (status == 0 && n < length) status = kFiStatusEof;
  return status;
}

uint16_t FiWriteAt(FiFile& file, const void* buffer, int64_t position, int64_t length) {
  uint16_t status;
  FiWrite(file, buffer, position, length, status);
  return status;
}

int64_t FiGetEOF(const FiFile& file) { return FiAccess::Eof(file); }

int64_t FiGetLength(FiFile& file, uint16_t& status) {
  status = 0;
  if (!file.IsOpen()) {
    status = kFiStatusNotOpen;
    return 0;
  }
  struct stat st;
  if (fstat(FiAccess::Fd(file), &st) != 0) {
    status = FiErrnoXfm(errno);
    return 0;
  }
  return st.st_size;
}

uint16_t FiSetLength(FiFile& file, int64_t length) {
  if (!file.IsOpen()) return kFiStatusNotOpen;
  if (uint16_t st = FaultBefore(FiCall::kTruncate)) return st;
  NoteBeforeChange(file);
  if (::ftruncate(FiAccess::Fd(file), off_t(length)) != 0) return FiErrnoXfm(errno);
  NoteChange(file, FiChange{0, std::string(), length});
  FiAccess::Eof(file) = length;
  return 0;
}

uint16_t FiSync(FiFile& file) {
  if (!file.IsOpen()) return kFiStatusNotOpen;
  if (uint16_t st = FaultBefore(FiCall::kSync)) return st;
  if (::fdatasync(FiAccess::Fd(file)) != 0) return FiErrnoXfm(errno);
  NoteSynced(file);
  return 0;
}

uint16_t FiSyncDir(const std::string& path) {
  if (uint16_t st = FaultBefore(FiCall::kSync)) return st;
  std::string dir = DirOf(path);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FiErrnoXfm(errno);
  int rc = ::fsync(fd);
  int e = errno;
  ::close(fd);
  if (rc != 0) return FiErrnoXfm(e);
  NoteDirSynced(dir);
  return 0;
}

uint16_t FiIdentity(FiFile& file, uint64_t& device, uint64_t& inode) {
  if (!file.IsOpen()) return kFiStatusNotOpen;
  struct stat st;
  if (fstat(FiAccess::Fd(file), &st) != 0) return FiErrnoXfm(errno);
  device = uint64_t(st.st_dev);
  inode = uint64_t(st.st_ino);
  return 0;
}

uint16_t FiReadWhole(const std::string& path, std::string* out) {
  FiFile file;
  uint16_t status = FiOpen(path, kFiReadOnly, file);
  if (status != 0) return status;
  int64_t length = FiGetLength(file, status);
  if (status != 0) return status;
  out->assign(size_t(length), '\0');
  if (length > 0) status = FiReadAt(file, out->data(), 0, length);
  uint16_t closed = FiClose(file);
  return status != 0 ? status : closed;
}

uint16_t FiWriteWhole(const std::string& path, const std::string& bytes) {
  std::string dir = DirOf(path);
  FiFile file;
  uint16_t status = FiCreateUnique(dir == "." ? "" : dir, "AU", file);
  if (status != 0) return status;
  std::string temp = file.Path();
  if (!bytes.empty()) status = FiWriteAt(file, bytes.data(), 0, int64_t(bytes.size()));
  if (status == 0) status = FiSync(file);
  uint16_t closed = FiClose(file);
  if (status == 0) status = closed;
  if (status == 0) status = FiRename(temp, path);
  if (status != 0) {
    (void)FiDelete(temp);  // best effort: the temporary name is of no use
    return status;
  }
  return FiSyncDir(path);
}

// ---------------------------------------------------------------------------
// The fault layer's controls.

int64_t FiFaultCalls(FiCall kind) { return callCounts[size_t(kind)].load(); }

void FiFaultFailNth(FiCall kind, int64_t n, uint16_t status) {
  FiFaults& ff = Faults();
  std::lock_guard<std::mutex> lock(ff.mutex);
  ff.failAt[size_t(kind)] = n;
  ff.failStatus[size_t(kind)] = status;
  Rearm(ff);
}

void FiFaultTrack(bool on) {
  FiFaults& ff = Faults();
  std::lock_guard<std::mutex> lock(ff.mutex);
  ff.tracking = on;
  if (!on) ff.files.clear();
  Rearm(ff);
}

void FiFaultPowerCut(FiCut how, uint32_t seed) {
  FiFaults& ff = Faults();
  std::lock_guard<std::mutex> lock(ff.mutex);
  PowerCutLocked(ff, how, seed);
}

void FiFaultCutAtSync(int64_t n, FiCut how, uint32_t seed) {
  FiFaults& ff = Faults();
  std::lock_guard<std::mutex> lock(ff.mutex);
  ff.cutAt = n;
  ff.cutHow = how;
  ff.cutSeed = seed;
  Rearm(ff);
}

bool FiFaultDead() {
  FiFaults& ff = Faults();
  std::lock_guard<std::mutex> lock(ff.mutex);
  return ff.dead;
}

void FiFaultReset() {
  FiFaults& ff = Faults();
  std::lock_guard<std::mutex> lock(ff.mutex);
  ff.failAt.fill(0);
  ff.cutAt = 0;
  ff.tracking = false;
  ff.dead = false;
  ff.files.clear();
  Rearm(ff);
}

uint16_t FiInitRtns(int selector, int32_t value) {
  PkgSteps steps;
  steps.init = [] {
    FiFaultReset();
    return uint16_t(0);
  };
  uint16_t result = PkgDispatch(fiPkg, "FiInitRtns", selector, value, steps);
  if (selector == kPkgDebug) FiDebugFlag = fiPkg.debug;
  return result;
}

}  // namespace quil
