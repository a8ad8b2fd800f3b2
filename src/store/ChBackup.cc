// Backup: a byte copy of a part's database file taken piece by piece from
// the RAM queue while the server runs, and the one process-wide slot that
// backups and repacks take in turn.
//
// The copy is of the file on disk, which only saves change; a part is not
// saved while its file is copied (ChPartSave halts), so the copy is the
// image of the last completed save.  Jobs wait in line: the front job runs
// (its RAM entry copies a piece and schedules the next), the others start
// in order as the one before them ends.
#include <deque>

#include "ChInt.h"
#include "Ma.h"
#include "Qu.h"

namespace quil {

namespace {

std::deque<std::unique_ptr<ChCopyJob>>& Jobs() {
  static std::deque<std::unique_ptr<ChCopyJob>> jobs;
  return jobs;
}

ChCopyJob* FindJob(ChPart part) {
  for (auto& j : Jobs())
    if (part == 0 || j->part == part) return j.get();
  return nullptr;
}

void BackupPieceCb(intptr_t, int32_t);

// Starts the front job if it is waiting.
void StartFront() {
  if (Jobs().empty()) return;
  ChCopyJob& j = *Jobs().front();
  if (j.running) return;
  j.running = true;
  if (j.start) j.start(j);
  j.ramId = QuRamAdd(j.pieceMs, BackupPieceCb, 0);
}

// Runs one piece of the front job and schedules the next; ends the job when
// the piece says so.  Returns true when it ended.
bool JobStep() {
  ChCopyJob& j = *Jobs().front();
  if (j.ramId) QuRamKill(j.ramId);
  j.ramId = 0;
  uint16_t status = 0;
  if (!j.piece(j, &status)) {
    j.ramId = QuRamAdd(j.pieceMs, BackupPieceCb, 0);
    return false;
  }
  std::unique_ptr<ChCopyJob> done = std::move(Jobs().front());
  Jobs().pop_front();
  if (done->finish) done->finish(*done, status);
  (void)FiClose(done->dest);
  if (status != 0) (void)FiDelete(done->destination);
  StartFront();
  if (done->callback) done->callback(done->argument, done->destination, status);
  return true;
}

void BackupPieceCb(intptr_t, int32_t) {
  if (!Jobs().empty()) {
    Jobs().front()->ramId = 0;
    (void)JobStep();
  }
}

// A backup piece: the next kChLargeBufCount bytes.
bool BackupPiece(ChCopyJob& j, uint16_t* status) {
  ChPartRec* p = ChPartGet(j.part);
  if (!p || !p->file) {
    *status = kFiStatusNotOpen;
    return true;
  }
  int64_t n = std::min<int64_t>(kChLargeBufCount, j.total - j.done);
  *status = ChCopyBytes(*p->file, j.dest, j.done, n, j.buffer);
  if (*status != 0) return true;
  j.done += n;
  if (j.done < j.total) return false;
  *status = FiSync(j.dest);
  return true;
}

}  // namespace

uint16_t ChCopyBytes(ChFiRec& from, FiFile& to, int64_t pos, int64_t length,
                     std::vector<uint8_t>& buffer) {
  buffer.resize(size_t(kChLargeBufCount));
  while (length > 0) {
    int64_t n = std::min<int64_t>(length, kChLargeBufCount);
    uint16_t status;
    {
      ChSaveGuard guard(true);
      status = ChFiReadAt(from, buffer.data(), pos, n);
    }
    if (status != 0) return status;
    status = FiWriteAt(to, buffer.data(), pos, n);
    if (status != 0) return status;
    pos += n;
    length -= n;
  }
  return 0;
}

uint16_t ChCreateDestination(const std::string& path, FiFile& file) {
  if (FiExists(path)) {
    uint16_t status = FiDelete(path);
    if (status != 0) return status;
  }
  return FiCreate(path, file);
}

uint16_t ChJobQueue(std::unique_ptr<ChCopyJob> job) {
  ChPartRec* p = ChPartGet(job->part);
  MA_CHECK(ChDebugFlag, p != nullptr && p->file != nullptr,
           "ChStartBackup-- not a part of a database file");
  // A save in flight first: the copy starts from a completed save.
  ChBgSaveCleanupWait(p->file->handle);
  uint16_t status = ChCreateDestination(job->destination, job->dest);
  if (status != 0) return status;
  Jobs().push_back(std::move(job));
  StartFront();
  return 0;
}

std::unique_ptr<ChCopyJob> ChJobNew(ChPart part, const std::string& destination,
                                    ChBackupCb callback, intptr_t argument, int32_t pieceMs) {
  auto job = std::make_unique<ChCopyJob>();
  job->part = part;
  job->destination = destination;
  job->callback = callback;
  job->argument = argument;
  job->pieceMs = pieceMs;
  return job;
}

uint16_t ChStartBackup(ChPart part, const std::string& destination, ChBackupCb callback,
                       intptr_t argument) {
  auto job = ChJobNew(part, destination, callback, argument, kChBackupPieceMs);
  job->start = [](ChCopyJob& j) {
    uint16_t status;
    j.total = ChFiImageLength(*ChPartGet(j.part)->file, status);
    if (status != 0) j.total = 0;  // the first piece meets the error again
  };
  job->piece = BackupPiece;
  return ChJobQueue(std::move(job));
}

bool ChInBackup(ChPart part) { return FindJob(part) != nullptr; }

bool ChRepackDoPiece(ChPart part) {
  if (Jobs().empty() || Jobs().front()->part != part || !Jobs().front()->running)
    return !ChInBackup(part);
  return JobStep();
}

bool ChBackupBlocksSave(const ChPartRec& p) { return FindJob(p.number) != nullptr; }

int ChBackupPercent(ChPart part) {
  ChCopyJob* j = FindJob(part);
  if (!j) return 100;  // percent
  int64_t total = j->total / kChPageSize;
  if (total <= 0) return 0;
  return int((j->done / kChPageSize) * 100 / total);
}

void ChStopBackup(ChPart part) {
  auto& jobs = Jobs();
  for (auto it = jobs.begin(); it != jobs.end(); ++it) {
    if ((*it)->part != part) continue;
    std::unique_ptr<ChCopyJob> job = std::move(*it);
    bool front = it == jobs.begin();
    jobs.erase(it);
    if (job->ramId) QuRamKill(job->ramId);
    if (job->running && job->finish) job->finish(*job, kChJobStopped);
    (void)FiClose(job->dest);
    (void)FiDelete(job->destination);
    if (front) StartFront();
    return;
  }
}

uint16_t ChBackupFile(const std::string& source, const std::string& destination) {
  ChFileInfo info;
  uint16_t status = ChFileInfoGet(source, &info);
  if (status != 0) return status;
  // The copy is of the last complete save: through the journal when the
  // last save was interrupted.
  ChFiRec from;
  status = ChFiOpenImage(source, from);
  if (status != 0) return status;
  int64_t length = ChFiImageLength(from, status);
  if (status != 0) return status;
  FiFile to;
  status = FiCreate(destination, to);
  if (status == kFiStatusExists) return kEcFileExists;
  if (status != 0) return status;
  std::vector<uint8_t> buffer;
  status = ChCopyBytes(from, to, 0, length, buffer);
  if (status == 0) status = FiSync(to);
  uint16_t closed = FiClose(to);
  if (status == 0) status = closed;
  if (status != 0) (void)FiDelete(destination);
  return status;
}

}  // namespace quil
