// Opening with the roll-forward log: the open-time replay and the full
// recovery from the newest backup.
#include <cstdio>

#include "Auth.h"
#include "Ec.h"
#include "FrmBkInt.h"
#include "Ht.h"
#include "Ma.h"

namespace quil {

namespace frmbk {

std::string DirOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

void TrimPartialRecord(const std::string& path) {
  FiFile file;
  if (FiOpen(path, kFiReadWrite, file) != 0) return;
  int64_t end = FiGetEOF(file);
  // Raw ">" never occurs inside a value (StToSgml escapes it), so the last
  // one ends the last whole record.
  std::vector<uint8_t> buffer(65536);
  int64_t keep = 0;
  for (int64_t hi = end; hi > 0 && keep == 0;) {
    int64_t lo = std::max<int64_t>(0, hi - int64_t(buffer.size()));
    uint16_t status = 0;
    int64_t n = FiRead(file, buffer.data(), lo, hi - lo, status);
    if (status != 0 || n != hi - lo) return;
    for (int64_t i = n - 1; i >= 0; --i) {
      if (buffer[size_t(i)] == '>') {
        keep = lo + i + 1;
        break;
      }
    }
    hi = lo;
  }
  // The line end of that record stays.
  uint8_t tail[2] = {0, 0};
  uint16_t status = 0;
  int64_t n = keep < end ? FiRead(file, tail, keep, std::min<int64_t>(2, end - keep), status) : 0;
  if (n >= 1 && tail[0] == '\r') ++keep;
  if (n >= 2 && tail[0] == '\r' && tail[1] == '\n') ++keep;
  if (n == 1 && tail[0] == '\n') ++keep;
  if (keep < end) {
    // Only white space after the last record is no damage.
    std::vector<uint8_t> rest(size_t(end - keep));
    if (FiRead(file, rest.data(), keep, end - keep, status) == end - keep && status == 0) {
      bool blank = true;
      for (uint8_t b : rest) blank = blank && (b == '\r' || b == '\n' || b == ' ');
      if (blank) return;
    }
    if (FiSetLength(file, keep) == 0) {
      (void)FiSync(file);
      FrmBkRecordLine("* Roll-forward log: " + std::to_string(end - keep) +
                      " bytes of an unfinished record cut off at " + std::to_string(keep));
    }
  }
}

bool fullRecovery = false;

void DbOpened(const std::string& path, ForumRoot root) {
  if (!fullRecovery) (void)ForumDbOpenRollForward(path, root);
  // The forum's session hooks count logins with the plain setter; a login
  // is a change like any other.
  AuthSetLoginCounter([root](ChHandle user) { FrmBkUserIncLogin(root, user); });
}

}  // namespace frmbk

namespace {

// Replays path from position with code expected; the result.  A file that
// cannot be read, or a position at or past its end, gives a result with
// nothing matched.
FrmBkReplayResult ReplayFrom(ForumRoot root, const std::string& path, int64_t position,
                             const St& code) {
  FrmBkFileSource source;
  if (source.Open(path, position) != 0 || position >= source.Length()) return {};
  return FrmBkRollForwardEx(root, &source, code);
}

}  // namespace

bool ForumDbOpenRollForward(const std::string& path, ForumRoot root) {
  std::string dir = frmbk::DirOf(path);
  std::string log1 = dir + FrmBkRollName("1");
  St code;
  int64_t position = -1;
  bool marked = ForumGetSave(root, &code, &position);
  if (!ForumSysopRollForwardLog(root) && !(marked && FiExists(log1))) return true;
  {
    FiFile probe;
    uint16_t status = FiExists(log1) ? FiOpen(log1, kFiReadWrite, probe) : FiCreate(log1, probe);
    if (status != 0) {
      Wf_err_write(("ForumDbOpenRollForward-- " + log1 + ": " + EcToSt(status).Str()).c_str());
      return false;
    }
  }
  FrmBkSetDurableMode(wfQuilSettings.GetInt("durableLog", 0) != 0);
  if (marked) {
    if (!FrmBkRecordIsOn()) (void)FrmBkRecordStart(dir + kFrmBkProgressFile);
    frmbk::NotifyRollForward(root, true);
    FrmBkReplayResult first = ReplayFrom(root, log1, position, code);
    if (!first.markerMatched) {
      std::string log2 = dir + FrmBkRollName("2");
      FrmBkReplayResult second = FiExists(log2) ? ReplayFrom(root, log2, position, code)
                                                : FrmBkReplayResult{};
      if (second.markerMatched) {
        if (second.error.empty()) {
          FrmBkFileSource rest;
          if (rest.Open(log1, 0) == 0) (void)FrmBkRollForwardEx(root, &rest, St());
        }
      } else {
        FrmBkRecordLine("* Roll-forward: save marker " + code.Str() + " at " +
                        std::to_string(position) + " not found in " + FrmBkRollName("1") +
                        " or " + FrmBkRollName("2"));
      }
    }
    frmbk::NotifyRollForward(root, false);
  }
  // The replay may have turned the setting off (its record was logged).
  if (!ForumSysopRollForwardLog(root)) return true;
  frmbk::TrimPartialRecord(log1);
  uint16_t status = FrmBkLogAttach(root, log1);
  if (status == 0) status = ForumLogSinkOf(root)->Append("<restart>\r\n");
  if (status != 0) {
    Wf_err_write(("ForumDbOpenRollForward-- " + log1 + ": " + EcToSt(status).Str()).c_str());
    ForumSetLogSink(root, nullptr);
    return false;
  }
  ForumSetSave(root, ForumNewSaveCode(root));
  return true;
}

bool ForumDbRollForward(const std::string& path, ChFi* file) {
  *file = nullptr;
  std::string dir = frmbk::DirOf(path);
  std::string log1 = dir + FrmBkRollName("1");
  std::string backup = dir + FrmBkDbName("1");
  if (!FiExists(log1) || !FiExists(backup)) return false;
  FiFile from;
  if (FiOpen(backup, kFiReadOnly, from) != 0) return false;
  char note[1024];
  snprintf(note, sizeof note,
           "Starting roll-forward from backup database.\nAfter the initial copy from %s1 to %s, "
           "you can check progress by using 'tail logRoll'.\n(The logRoll file is updated every "
           "1,000 items or on any error.)\n",
           kFrmBkDbPrefix, path.c_str());
  Wf_err_write(note);
  // The file that would not open is kept aside.
  if (FiExists(path)) {
    (void)FiDelete(path + ".bad");
    if (FiRename(path, path + ".bad") != 0) return false;
  }
  {
    FiFile to;
    if (FiCreate(path, to) != 0) return false;
    std::vector<uint8_t> block(51200);
    for (int64_t at = 0;;) {
      uint16_t status = 0;
      int64_t n = FiRead(from, block.data(), at, int64_t(block.size()), status);
      if (status == kFiStatusEof || (status == 0 && n == 0)) break;
      if (status != 0) MaHalt("ForumDbRollForward--read error copying backup database");
      FiWrite(to, block.data(), at, n, status);
      if (status != 0) MaHalt("ForumDbRollForward--write error copying backup database");
      at += n;
      if (n < int64_t(block.size())) break;
    }
    if (FiSync(to) != 0) MaHalt("ForumDbRollForward--write error copying backup database");
  }
  // The copy must hold the conference.
  uint16_t status = 0;
  if (ForumRoot probe = ForumDbOpenReadOnly(path, &status)) {
    ForumDbCloseReadOnly(probe);
  } else {
    (void)FiDelete(path);
    return false;
  }
  ForumDbOpenOptions options;
  options.check = false;
  frmbk::fullRecovery = true;
  ForumRoot root = ForumDbOpenI(path, &options);
  frmbk::fullRecovery = false;
  (void)FrmBkRecordStart(dir + kFrmBkProgressFile);
  FrmBkRecordLine("** Recovering user database from backup files");
  frmbk::NotifyRollForward(root, true);
  FrmBkFileSource source;
  if (source.Open(log1, 0) == 0) (void)FrmBkRollForwardEx(root, &source, St());
  frmbk::NotifyRollForward(root, false);
  FrmBkRecordLine("** Recovery complete");
  // The save that closes the copy writes its marker into the log, so that
  // the changes made after the recovery are replayed onto it.
  frmbk::TrimPartialRecord(log1);
  if (FrmBkLogAttach(root, log1) == 0) (void)ForumLogSinkOf(root)->Append("<restart>\r\n");
  ChMarkModified(ForumRootHead(root));
  ForumDbCloseI(root);
  return true;
}

}  // namespace quil
