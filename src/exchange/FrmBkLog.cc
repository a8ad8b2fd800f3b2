// The roll-forward log file, the durable mode's group commit, and the
// record log.
//
// Group commit: every record is written (one write call) when it is made
// and counted in a sequence.  Without the durable mode the durable
// sequence follows the written one at once.  In the durable mode the loop
// hook FrmBkDurablePass runs once per pass of the event loop: when records
// wait and no sync is in flight it hands the log's sync thread the
// sequence written so far; the thread runs one fdatasync, stores the
// sequence it covered and wakes the loop (HtWake); the next pass moves the
// durable sequence on and runs the FrmBkOnDurable callbacks.  So one
// fdatasync covers every change of a pass (and of the passes run while the
// previous one was on the disk).
#include <unistd.h>

#include <vector>

#include "Ch.h"
#include "Ec.h"
#include "FrmBkInt.h"
#include "Ht.h"
#include "Ma.h"

namespace quil {

namespace {

std::atomic<uint64_t> written{0};  // records written to any log
uint64_t durable = 0;              // records known to be on disk
bool durableMode = false;

std::vector<FrmBkDurableFn>& DurableList() {
  static std::vector<FrmBkDurableFn> list;
  return list;
}

void Deliver(uint64_t upTo) {
  if (upTo <= durable) return;
  durable = upTo;
  for (auto& fn : DurableList()) fn(durable);
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
  return 0;
}

uint16_t LogFile::Append(std::string_view bytes) {
  uint16_t status = 0;
  int64_t n = FiWrite(file_, bytes.data(), end_, int64_t(bytes.size()), status);
  if (status != 0) {
    // A partial record must not stay: the replay would stop at it.
    if (n > 0) (void)FiSetLength(file_, end_);
    return status;
  }
  end_ += n;
  return 0;
}

uint16_t LogFile::Sync() { return FiSync(file_); }

void LogFile::CutBack(int64_t position) {
  if (position < 0 || position >= end_) return;
  if (FiSetLength(file_, position) == 0) end_ = position;
}

void LogFile::RequestSync(uint64_t upTo) {
  if (!thread_.joinable()) thread_ = std::thread([this] { SyncThread(); });
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (upTo > requested_.load()) requested_.store(upTo);
  }
  wake_.notify_all();
}

void LogFile::SyncThread() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || requested_.load() > synced_.load(); });
    if (stop_) return;
    uint64_t target = requested_.load();
    lock.unlock();
    // Only the descriptor is used here; the loop thread's writes at other
    // positions may go on meanwhile and are covered by a later sync.
    uint16_t status = FiSync(file_);
    syncStatus_.store(status);
    lock.lock();
    if (status == 0) synced_.store(target);
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
  durableMode = on;
  if (!on) Deliver(written.load());
}

bool FrmBkDurableMode() { return durableMode; }
uint64_t FrmBkLogSequence() { return written.load(); }
uint64_t FrmBkLogDurableSequence() { return durableMode ? durable : written.load(); }
void FrmBkOnDurable(FrmBkDurableFn fn) { DurableList().push_back(std::move(fn)); }

void FrmBkDurablePass() {
  if (!durableMode) return;
  frmbk::LogFile* log = frmbk::LogOf(wfForumRoot);
  if (!log) {
    // No log: nothing waits for a disk.
    Deliver(written.load());
    return;
  }
  Deliver(log->SyncedSequence());
  if (log->SyncStatus() != 0) {
    static uint16_t reported = 0;
    if (reported != log->SyncStatus()) frmbk::ReportLogFailure(log->SyncStatus(), "sync");
    reported = log->SyncStatus();
  }
  uint64_t now = written.load();
  if (now > durable && !log->SyncInFlight()) log->RequestSync(now);
}

void FrmBkDurableFlush() {
  frmbk::LogFile* log = frmbk::LogOf(wfForumRoot);
  uint64_t now = written.load();
  if (log && now > durable) {
    if (log->Sync() != 0) return;
  }
  Deliver(now);
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
