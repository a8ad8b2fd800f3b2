// The roll-forward log file, the group commit of its writes and syncs, and
// the record log.
//
// Group commit: a record is appended to the log's buffer when it is made
// and counted in a sequence.  Once per pass of the event loop the hook
// FrmBkLogPass writes the buffer to the file with one write call; from then
// on the records survive the death of the process, and without the durable
// mode that is when they count as acknowledged (the durable sequence moves
// on and the FrmBkOnDurable callbacks run).  In the durable mode the pass
// then hands the log's sync thread the sequence written so far; the thread
// runs one fdatasync, stores the sequence it covered and wakes the loop
// (HtWake); the next pass moves the durable sequence on.  So one write and,
// in the durable mode, one fdatasync cover every change of a pass (and of
// the passes run while the previous sync was on the disk).
#include <unistd.h>

#include <vector>

#include "Ch.h"
#include "Ec.h"
#include "FrmBkInt.h"
#include "Ht.h"
#include "Ma.h"

namespace quil {

namespace {

std::atomic<uint64_t> written{0};  // records appended to any log
uint64_t flushed = 0;              // records written to their file
uint64_t durable = 0;              // records known to be on disk
bool durableMode = false;
constexpr size_t kFlushAt = 256 * 1024;

std::vector<FrmBkDurableFn>& DurableList() {
  static std::vector<FrmBkDurableFn> list;
  return list;
}

uint64_t Acknowledged() { return durableMode ? durable : flushed; }

// Moves the acknowledged sequence on to upTo and tells the callbacks.
void Deliver(uint64_t before) {
  uint64_t now = Acknowledged();
  if (now <= before || DurableList().empty()) return;
  for (auto& fn : DurableList()) fn(now);
  // Responses released now go out in the next pass, which must not wait.
  HtWake();
}

}  // namespace

namespace frmbk {

LogFile::~LogFile() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  if (file_.IsOpen()) {
    (void)Flush();
    // What was written stays safe across the close: a later sync of another
    // log does not cover this one.
    if (durableMode) (void)FiSync(file_);
    (void)FiClose(file_);
  }
}

uint16_t LogFile::Open(const std::string& path) {
  path_ = path;
  uint16_t status = FiExists(path) ? FiOpen(path, kFiReadWrite, file_) : FiCreate(path, file_);
  if (status != 0) return status;
  end_ = FiGetEOF(file_);
  syncedBytes_.store(end_);
  return 0;
}

uint16_t LogFile::Append(std::string_view bytes) {
  if (!file_.IsOpen()) return kFiStatusNotOpen;
  pending_.append(bytes);
  return pending_.size() >= kFlushAt ? Flush() : 0;
}

uint16_t LogFile::Flush() {
  if (pending_.empty()) return 0;
  uint16_t status = 0;
  int64_t n = FiWrite(file_, pending_.data(), end_, int64_t(pending_.size()), status);
  if (status != 0) {
    // A partial record must not stay: the replay would stop at it.  The
    // records stay buffered for the next try.
    if (n > 0) (void)FiSetLength(file_, end_);
    return status;
  }
  end_ += n;
  pending_.clear();
  return 0;
}

uint16_t LogFile::Sync() {
  uint16_t status = Flush();
  if (status == 0) status = FiSync(file_);
  if (status == 0) syncedBytes_.store(end_);
  return status;
}

void LogFile::CutBack(int64_t position) {
  if (position < 0 || position >= Position()) return;
  if (position >= end_) {
    pending_.resize(size_t(position - end_));
    return;
  }
  pending_.clear();
  if (FiSetLength(file_, position) == 0) end_ = position;
}

void LogFile::RequestSync(uint64_t upTo) {
  if (!thread_.joinable()) thread_ = std::thread([this] { SyncThread(); });
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (upTo > requested_.load()) {
      requested_.store(upTo);
      requestedBytes_ = end_;
    }
  }
  wake_.notify_all();
}

void LogFile::SyncThread() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || requested_.load() > synced_.load(); });
    if (stop_) return;
    uint64_t target = requested_.load();
    int64_t bytes = requestedBytes_;
    lock.unlock();
    // Only the descriptor is used here; the loop thread's writes at other
    // positions may go on meanwhile and are covered by a later sync.
    uint16_t status = FiSync(file_);
    syncStatus_.store(status);
    lock.lock();
    if (status == 0) {
      syncedBytes_.store(bytes);
      synced_.store(target);
    }
    HtWake();
    if (status != 0) {
      // Retried on the next request.
      requested_.store(synced_.load());
    }
  }
}

LogFile* LogOf(ForumRoot root) {
  return root ? dynamic_cast<LogFile*>(ForumLogSinkOf(root)) : nullptr;
}

uint64_t CountRecord() { return written.fetch_add(1) + 1; }

int64_t LogMark(ForumRoot root) {
  LogFile* log = LogOf(root);
  return log ? log->Position() : -1;
}

void Withdraw(ForumRoot root, int64_t mark) {
  if (LogFile* log = LogOf(root)) log->CutBack(mark);
}

void ReportLogFailure(uint16_t status, std::string_view what) {
  Wf_err_write(("roll-forward log: " + std::string(what) + ": " + EcToSt(status).Str()).c_str());
}

}  // namespace frmbk

uint16_t FrmBkLogAttach(ForumRoot root, const std::string& path) {
  auto log = std::make_unique<frmbk::LogFile>();
  uint16_t status = log->Open(path);
  if (status != 0) return status;
  ForumSetLogSink(root, std::move(log));
  return 0;
}

bool FrmBkLogIsOpen(ForumRoot root) { return ForumLogSinkOf(root) != nullptr; }

// ---------------------------------------------------------------------------
// The durable mode.

void FrmBkSetDurableMode(bool on) {
  uint64_t before = Acknowledged();
  if (!on) durable = flushed;
  durableMode = on;
  Deliver(before);
}

bool FrmBkDurableMode() { return durableMode; }
uint64_t FrmBkLogSequence() { return written.load(); }
uint64_t FrmBkLogDurableSequence() { return Acknowledged(); }
void FrmBkOnDurable(FrmBkDurableFn fn) { DurableList().push_back(std::move(fn)); }

void frmbk::DurableReset() {
  DurableList().clear();
  durableMode = false;
  flushed = durable = written.load();
}

int64_t FrmBkLogDurablePosition(ForumRoot root) {
  frmbk::LogFile* log = frmbk::LogOf(root);
  if (!log) return -1;
  return durableMode ? log->SyncedBytes() : log->FileEnd();
}

void FrmBkLogFlush(ForumRoot root) {
  uint64_t before = Acknowledged();
  frmbk::LogFile* log = frmbk::LogOf(root);
  uint64_t now = written.load();
  if (log) {
    uint16_t status = log->Flush();
    if (status != 0) {
      static uint16_t reported = 0;
      if (reported != status) frmbk::ReportLogFailure(status, "write");
      reported = status;
      return;
    }
  }
  flushed = now;
  Deliver(before);
}

void FrmBkLogPass() {
  ForumRoot root = wfForumRoot;
  FrmBkLogFlush(root);
  if (!durableMode) return;
  uint64_t before = Acknowledged();
  frmbk::LogFile* log = frmbk::LogOf(root);
  if (!log) {
    // No log: nothing waits for a disk.
    durable = flushed;
    Deliver(before);
    return;
  }
  if (log->SyncedSequence() > durable) durable = std::min(log->SyncedSequence(), flushed);
  Deliver(before);
  if (log->SyncStatus() != 0) {
    static uint16_t reported = 0;
    if (reported != log->SyncStatus()) frmbk::ReportLogFailure(log->SyncStatus(), "sync");
    reported = log->SyncStatus();
  }
  if (flushed > durable && !log->SyncInFlight()) log->RequestSync(flushed);
}

void FrmBkDurableFlush() {
  uint64_t before = Acknowledged();
  frmbk::LogFile* log = frmbk::LogOf(wfForumRoot);
  uint64_t now = written.load();
  if (log && log->Sync() != 0) return;
  flushed = durable = now;
  Deliver(before);
}

// ---------------------------------------------------------------------------
// The record log.

namespace {

FiFile recordFile;
int64_t recordEnd = 0;

void StoreRecordLine(const std::string& line) { FrmBkRecordLine(line); }

}  // namespace

bool FrmBkRecordIsOn() { return recordFile.IsOpen(); }

uint16_t FrmBkRecordStart(const std::string& path) {
  FrmBkRecordStop();
  uint16_t status = FiExists(path) ? FiOpen(path, kFiReadWrite, recordFile)
                                   : FiCreate(path, recordFile);
  if (status != 0) return status;
  recordEnd = FiGetEOF(recordFile);
  ChSetRecordLogFn(StoreRecordLine);
  return 0;
}

void FrmBkRecordStop() {
  if (!recordFile.IsOpen()) return;
  ChSetRecordLogFn(nullptr);
  (void)FiClose(recordFile);
  recordEnd = 0;
}

void FrmBkRecordLine(std::string_view line) {
  if (!recordFile.IsOpen()) return;
  std::string text(line);
  text += "\r\n";
  uint16_t status = 0;
  int64_t n = FiWrite(recordFile, text.data(), recordEnd, int64_t(text.size()), status);
  if (status == 0) recordEnd += n;
}

}  // namespace quil
