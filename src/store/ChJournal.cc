// The rollback journal of a database file (layout and rules in ChInt.h):
// writing it before a save touches the image, emptying it when the save
// ends, writing it back when a save was interrupted or failed, and reading
// an interrupted file's last complete image without writing (read-only
// opens, the operator tools).
#include <zlib.h>

#include <algorithm>
#include <random>

#include "ChInt.h"
#include "Ma.h"

namespace quil {

namespace {

constexpr char kJnlMagic[8] = {'Q', 'u', 'i', 'l', 'J', 'r', 'n', 'l'};
constexpr uint32_t kJnlFormat = 1;
constexpr int kJnlBatch = 32;  // records per journal write, pages per read

// Journal header fields.
constexpr int kJhFormat = 8;
constexpr int kJhPageSize = 12;
constexpr int kJhSalt = 16;
constexpr int kJhRecords = 20;
constexpr int kJhRestores = 24;
constexpr int kJhSaved = 28;
constexpr int kJhOldLength = 32;
constexpr int kJhCrc = 40;
// Record fields.
constexpr int kJrPos = 0;
constexpr int kJrCrc = 8;
constexpr int kJrData = 16;

std::string JournalPath(const ChFiRec& f) { return ChFiJournalPath(f.path); }

uint32_t Crc(uint32_t crc, const void* p, size_t n) {
  return uint32_t(crc32(crc, static_cast<const Bytef*>(p), uInt(n)));
}

void StBe64(uint8_t* p, int64_t v) {
  StBe32(p, uint32_t(uint64_t(v) >> 32));
  StBe32(p + 4, uint32_t(uint64_t(v)));
}

int64_t LdBe64(const uint8_t* p) {
  return int64_t((uint64_t(LdBe32(p)) << 32) | LdBe32(p + 4));
}

uint32_t RecordCrc(uint32_t salt, const uint8_t* record) {
  uint8_t lead[12];
  StBe32(lead, salt);
  memcpy(lead + 4, record + kJrPos, 8);
  return Crc(Crc(0, lead, sizeof lead), record + kJrData, kChPageSize);
}

uint32_t NewSalt() {
  static std::mt19937 rng{std::random_device{}()};
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  return uint32_t(rng());
}

// Writes the journal's records back into the image: every page but the
// header, the cut to the old length, a sync, then the header and a sync, so
// that a crash in between leaves the marker (and the journal) to do it
// again.
uint16_t WriteBack(ChFiRec& f, FiFile& journal, const ChJournalInfo& info) {
  std::vector<uint8_t> record(static_cast<size_t>(kChJournalRecordSize));
  const std::pair<int64_t, int64_t>* head = nullptr;
  auto put = [&](const std::pair<int64_t, int64_t>& at) -> uint16_t {
    uint16_t status = FiReadAt(journal, record.data(), at.second, kChJournalRecordSize);
    if (status != 0) return status;
    // Checked when the journal was loaded; a record that moved since is
    // not written.
    if (LdBe64(record.data() + kJrPos) != at.first) return kEcCorrupted;
    ChSaveGuard guard(true);
    return FiWriteAt(f.file, record.data() + kJrData, at.first, kChPageSize);
  };
  for (const auto& at : info.positions) {
    if (at.first == 0) {
      head = &at;
      continue;
    }
    if (uint16_t status = put(at)) return status;
  }
  uint16_t status = 0;
  {
    ChSaveGuard guard(true);
    if (FiGetEOF(f.file) > info.oldLength) status = FiSetLength(f.file, info.oldLength);
    if (status == 0) status = FiSync(f.file);
  }
  if (status == 0 && head) status = put(*head);
  if (status == 0) {
    ChSaveGuard guard(true);
    status = FiSync(f.file);
  }
  return status;
}

std::string RevisionText(uint32_t revision) { return "revision " + std::to_string(revision); }

}  // namespace

uint16_t ChJnlLoad(const std::string& journalPath, FiFile& file, ChJournalInfo* info) {
  *info = ChJournalInfo();
  if (!file.IsOpen()) {
    uint16_t status = FiOpen(journalPath, kFiReadOnly, file);
    if (status == kFiStatusNoFile) return 0;
    if (status != 0) return status;
  }
  info->exists = true;
  uint8_t head[kChJournalHeadSize];
  uint16_t status;
  int64_t n = FiRead(file, head, 0, kChJournalHeadSize, status);
  if (status != 0 && status != kFiStatusEof) return status;
  if (n < kJhCrc + 4) {
    info->why = n == 0 ? "empty" : "header cut short";
    return 0;
  }
  if (memcmp(head, kJnlMagic, sizeof kJnlMagic) != 0 || LdBe32(head + kJhFormat) != kJnlFormat ||
      LdBe32(head + kJhPageSize) != kChPageSize) {
    info->why = "no journal header";
    return 0;
  }
  if (LdBe32(head + kJhCrc) != Crc(0, head, kJhCrc)) {
    info->why = "header checksum does not match";
    return 0;
  }
  uint32_t salt = LdBe32(head + kJhSalt);
  info->records = LdBe32(head + kJhRecords);
  info->restores = LdBe32(head + kJhRestores);
  info->savedRevision = LdBe32(head + kJhSaved);
  info->oldLength = LdBe64(head + kJhOldLength);
  std::vector<uint8_t> batch(size_t(kJnlBatch * kChJournalRecordSize));
  for (uint32_t i = 0; i < info->records; i += kJnlBatch) {
    uint32_t count = std::min<uint32_t>(kJnlBatch, info->records - i);
    int64_t offset = kChJournalHeadSize + int64_t(i) * kChJournalRecordSize;
    int64_t got = FiRead(file, batch.data(), offset, count * kChJournalRecordSize, status);
    if (status != 0 && status != kFiStatusEof) return status;
    if (got < int64_t(count) * kChJournalRecordSize) {
      info->why = "record " + std::to_string(i + uint32_t(got / kChJournalRecordSize)) +
                  " of " + std::to_string(info->records) + " missing";
      info->positions.clear();
      return 0;
    }
    for (uint32_t k = 0; k < count; ++k) {
      const uint8_t* r = batch.data() + size_t(k) * kChJournalRecordSize;
      int64_t pos = LdBe64(r + kJrPos);
      if (LdBe32(r + kJrCrc) != RecordCrc(salt, r) || pos < 0 || pos % kChPageSize != 0 ||
          pos >= info->oldLength) {
        info->why = "record " + std::to_string(i + k) + " does not check";
        info->positions.clear();
        return 0;
      }
      info->positions.emplace_back(pos, offset + int64_t(k) * kChJournalRecordSize);
    }
  }
  info->complete = true;
  return 0;
}

bool ChJnlIsHot(const ChJournalInfo& info, const uint8_t* head, int64_t headBytes) {
  if (!info.complete) return false;
  if (headBytes < int64_t(kChPageSize)) return true;  // the header page is gone
  uint32_t words[kHdWords], copy;
  ChFiHeadXlateIn(head, words, &copy);
  if (words[kHdMagic] != kChMagic) return true;
  bool torn = copy != words[kHdRevision];
  // The marker and the revision share the header's first sector: a header
  // with the marker set carries the revision of the save that set it.
  if (words[kHdSaving] != 0) return torn || words[kHdRevision] == info.savedRevision;
  return torn;
}

uint16_t ChJnlRecover(ChFiRec& f) {
  ChJournalRec& j = f.journal;
  std::string path = JournalPath(f);
  ChJournalInfo info;
  FiFile file;
  uint16_t status = ChJnlLoad(path, file, &info);
  if (status != 0) return status;
  if (!info.exists) return 0;
  uint8_t head[kChPageSize];
  int64_t n = FiRead(f.file, head, 0, kChPageSize, status);
  if (status != 0 && status != kFiStatusEof) return status;
  if (!ChJnlIsHot(info, head, n)) {
    // Nothing of the image depends on it.
    if (!f.readOnly) {
      (void)FiClose(file);
      status = FiDelete(path);
      if (status != 0 && status != kFiStatusNoFile)
        j.note = "the stale journal " + path + " could not be removed: " + EcToSt(status).Str();
    }
    return 0;
  }
  std::string what = "the save of " + RevisionText(info.savedRevision) +
                     " was interrupted; the journal " + path + " restores " +
                     RevisionText(info.restores) + " (" + std::to_string(info.records) +
                     " pages)";
  if (f.readOnly) {
    for (const auto& [pos, offset] : info.positions) j.overlay[pos] = offset;
    j.overlayLength = info.oldLength;
    j.file = std::move(file);
    j.note = what + "; read as restored, nothing written";
    return 0;
  }
  // The records were read through a read-only descriptor; writing back needs
  // only the database file.
  status = WriteBack(f, file, info);
  if (status != 0) return status;
  (void)FiClose(file);
  status = FiDelete(path);
  if (status != 0 && status != kFiStatusNoFile) return status;
  j.note = what + "; rolled back";
  ChRecordLog("* DB " + j.note);
  return 0;
}

uint16_t ChJnlBegin(ChFiRec& f, const std::vector<int64_t>& positions, uint32_t newRevision) {
  ChJournalRec& j = f.journal;
  if (j.rollbackPending) {
    uint16_t status = ChJnlRollback(f);
    if (status != 0) return status;
  }
  std::string path = JournalPath(f);
  if (!j.file.IsOpen()) {
    uint16_t status = FiOpen(path, kFiReadWrite, j.file);
    if (status == kFiStatusNoFile) status = FiCreate(path, j.file);
    if (status != 0) return status;
    j.nameSynced = false;
  }
  j.salt = NewSalt();
  int64_t oldLength = FiGetEOF(f.file);
  std::vector<uint8_t> pages(size_t(kJnlBatch) * kChPageSize);
  std::vector<uint8_t> records(size_t(kJnlBatch) * size_t(kChJournalRecordSize));
  uint32_t count = 0;
  size_t i = 0;
  while (i < positions.size() && positions[i] < oldLength) {
    // A run of consecutive positions, read with one call.
    size_t run = 1;
    while (run < size_t(kJnlBatch) && i + run < positions.size() &&
           positions[i + run] == positions[i] + int64_t(run) * kChPageSize &&
           positions[i + run] < oldLength)
      ++run;
    uint16_t status;
    {
      ChSaveGuard guard(true);
      status = FiReadAt(f.file, pages.data(), positions[i], int64_t(run) * kChPageSize);
    }
    if (status != 0) return status;
    for (size_t k = 0; k < run; ++k) {
      uint8_t* r = records.data() + k * size_t(kChJournalRecordSize);
      memset(r, 0, kJrData);
      StBe64(r + kJrPos, positions[i + k]);
      memcpy(r + kJrData, pages.data() + k * kChPageSize, kChPageSize);
      StBe32(r + kJrCrc, RecordCrc(j.salt, r));
    }
    status = FiWriteAt(j.file, records.data(),
                       kChJournalHeadSize + int64_t(count) * kChJournalRecordSize,
                       int64_t(run) * kChJournalRecordSize);
    if (status != 0) return status;
    count += uint32_t(run);
    i += run;
  }
  uint16_t status = FiSync(j.file);
  if (status == 0 && !j.nameSynced) {
    status = FiSyncDir(path);
    j.nameSynced = status == 0;
  }
  if (status != 0) return status;
  uint8_t head[kChJournalHeadSize] = {};
  memcpy(head, kJnlMagic, sizeof kJnlMagic);
  StBe32(head + kJhFormat, kJnlFormat);
  StBe32(head + kJhPageSize, kChPageSize);
  StBe32(head + kJhSalt, j.salt);
  StBe32(head + kJhRecords, count);
  StBe32(head + kJhRestores, f.diskRevision);
  StBe32(head + kJhSaved, newRevision);
  StBe64(head + kJhOldLength, oldLength);
  StBe32(head + kJhCrc, Crc(0, head, kJhCrc));
  status = FiWriteAt(j.file, head, 0, kChJournalHeadSize);
  if (status == 0) status = FiSync(j.file);
  return status;
}

uint16_t ChJnlCommit(ChFiRec& f) {
  // Not synced: until the cut reaches the disk, the header of the file
  // (whole, without the marker) marks the journal as stale.
  return FiSetLength(f.journal.file, 0);
}

uint16_t ChJnlRollback(ChFiRec& f) {
  ChJournalRec& j = f.journal;
  j.rollbackPending = true;
  if (!j.file.IsOpen()) return kFiStatusNotOpen;
  ChJournalInfo info;
  uint16_t status = ChJnlLoad(JournalPath(f), j.file, &info);
  if (status != 0) return status;
  if (info.complete) {
    // The save did not complete for its caller, whatever the header shows
    // (a failed last sync leaves a header without the marker whose bytes
    // may never reach the disk): the image goes back to the last complete
    // save, which writing the journal back restores exactly.
    status = WriteBack(f, j.file, info);
    if (status != 0) return status;
  } else if (!info.exists) {
    // No journal was begun: the image was not touched.
  } else {
    // An incomplete journal beside an image the save may have touched: only
    // a header without the marker proves the image whole.
    uint8_t head[kChPageSize];
    int64_t n;
    {
      ChSaveGuard guard(true);
      n = FiRead(f.file, head, 0, kChPageSize, status);
    }
    if (status != 0 && status != kFiStatusEof) return status;
    uint32_t words[kHdWords], copy;
    ChFiHeadXlateIn(head, words, &copy);
    if (n < int64_t(kChPageSize) || words[kHdSaving] != 0 || copy != words[kHdRevision])
      return kEcCorrupted;
  }
  status = ChJnlCommit(f);
  if (status != 0) return status;
  j.rollbackPending = false;
  return 0;
}

void ChJnlClose(ChFiRec& f) {
  ChJournalRec& j = f.journal;
  j.overlay.clear();
  j.overlayLength = -1;
  if (!j.file.IsOpen()) return;
  (void)FiClose(j.file);  // read or emptied; what matters is on disk
  if (f.readOnly || j.rollbackPending) return;
  uint16_t status = FiDelete(JournalPath(f));
  (void)status;  // an empty journal left behind is stale at the next open
}

// ---------------------------------------------------------------------------
// Reading the image.

int64_t ChFiRead(ChFiRec& f, void* buffer, int64_t pos, int64_t length, uint16_t& status) {
  ChJournalRec& j = f.journal;
  if (j.overlayLength < 0) return FiRead(f.file, buffer, pos, length, status);
  status = 0;
  int64_t want = std::max<int64_t>(0, std::min(length, j.overlayLength - pos));
  if (want == 0) {
    if (length > 0) status = kFiStatusEof;
    return 0;
  }
  int64_t n = FiRead(f.file, buffer, pos, want, status);
  if (status == kFiStatusEof) status = 0;
  if (status != 0) return n;
  auto* out = static_cast<uint8_t*>(buffer);
  uint8_t page[kChPageSize];
  for (auto it = j.overlay.lower_bound(pos / kChPageSize * kChPageSize);
       it != j.overlay.end() && it->first < pos + want; ++it) {
    status = FiReadAt(j.file, page, it->second + kJrData, kChPageSize);
    if (status != 0) return 0;
    int64_t from = std::max(pos, it->first);
    int64_t to = std::min(pos + want, it->first + int64_t(kChPageSize));
    memcpy(out + (from - pos), page + (from - it->first), size_t(to - from));
    n = std::max(n, to - pos);
  }
  if (n == 0) status = kFiStatusEof;
  return n;
}

uint16_t ChFiReadAt(ChFiRec& f, void* buffer, int64_t pos, int64_t length) {
  uint16_t status;
  int64_t n = ChFiRead(f, buffer, pos, length, status);
  if (status == 0 && n < length) status = kFiStatusEof;
  return status;
}

int64_t ChFiImageLength(ChFiRec& f, uint16_t& status) {
  status = 0;
  if (f.journal.overlayLength >= 0) return f.journal.overlayLength;
  return FiGetLength(f.file, status);
}

}  // namespace quil
