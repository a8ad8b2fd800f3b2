// Backups: DoBackup and the periodic backup task.
//
// STATES of a backup (one copies at a time in the process; one more may
// wait)
//
//   idle       nothing runs                      DoBackup -> copying, or
//                                                queued when the store is busy
//   queued     waits for the store to be free    retry every second -> copying
//   copying    files rotated, new log, image     store callback -> idle
//              saved, the store copies it        ("quildb.1" in place, or the
//              into "quildb.tmp"                 error reported)
//
// A backup may be queued while another copies: both flags are then set.
#include <cstdio>

#include "Ch.h"
#include "Ec.h"
#include "ForumEi.h"
#include "FrmBkInt.h"
#include "Ht.h"
#include "Ma.h"
#include "Qu.h"
#include "Td.h"

namespace quil {

namespace {

struct Backup {
  bool copying = false;
  bool queued = false;
  bool repack = false;         // of the copy running
  bool queuedRepack = false;   // of the one waiting
  int32_t retryTimer = 0;
  std::string dir;
};

Backup& TheBackup() {
  static Backup backup;
  return backup;
}

std::vector<FrmBkBackupDoneFn>& DoneList() {
  static std::vector<FrmBkBackupDoneFn> list;
  return list;
}

constexpr int32_t kRetryMs = 1000;

// The page line and the log line of one failure of the rotation.
void RotationError(std::string* page, const std::string& text) {
  *page += "<b>" + text + "</b><p>";
  Wf_log_write("**** DB BACKUP ERROR: %s", text.c_str());
}

void Remove(const std::string& path, std::string* page) {
  if (!FiExists(path)) return;
  uint16_t status = FiDelete(path);
  // A generation that could not go is reported once.
  if (status != 0 && page->find("Error deleting " + path + ":") == std::string::npos)
    RotationError(page, "Error deleting " + path + ": " + EcToSt(status).Str());
}

void Rename(const std::string& from, const std::string& to, std::string* page) {
  if (!FiExists(from)) return;
  uint16_t status = FiRename(from, to);
  if (status != 0)
    RotationError(page, "Error renaming " + from + " to " + to + ": " + EcToSt(status).Str());
}

void BackupDone(intptr_t, const std::string& destination, uint16_t status) {
  Backup& b = TheBackup();
  std::string text;
  if (status == 0) {
    std::string final = b.dir + FrmBkDbName("1");
    status = FiRename(destination, final);
    if (status != 0) text = "Error renaming " + destination + " to " + final + ": ";
  } else {
    text = std::string(b.repack ? "Repack" : "Backup") + " into " + destination + " failed: ";
  }
  b.copying = false;
  if (status == 0) {
    Wf_log_write(b.repack ? "DB REPACK DONE" : "DB BACKUP DONE");
    if (ForumRoot root = wfForumRoot)
      FrmBkSysopSetBackupLastDate(root, ForumEiTdToSt(LgDbTdNow()));
  } else {
    text += EcToSt(status).Str();
    // The sysop hears of it by mail once the mail service exists; until
    // then the error log and the callbacks do.
    Wf_err_write(("**** DB BACKUP ERROR: " + text).c_str());
  }
  for (auto& fn : DoneList()) fn(status, text);
}

void Retry(intptr_t, int32_t) {
  Backup& b = TheBackup();
  b.retryTimer = 0;
  if (!b.queued) return;
  b.queued = false;
  std::string page = DoBackup(b.queuedRepack);
  if (!page.empty()) Wf_err_write(("queued backup: " + page).c_str());
}

}  // namespace

std::string FrmBkDbName(std::string_view suffix) {
  return std::string(kFrmBkDbPrefix) + std::string(suffix);
}

std::string FrmBkRollName(std::string_view suffix) {
  return std::string(kFrmBkRollPrefix) + std::string(suffix);
}

bool FrmBkBackupRunning() { return TheBackup().copying || TheBackup().queued; }

void FrmBkOnBackupDone(FrmBkBackupDoneFn fn) { DoneList().push_back(std::move(fn)); }

void frmbk::ClearBackupCallbacks() { DoneList().clear(); }

std::string DoBackup(bool repack) {
  Backup& b = TheBackup();
  ForumRoot root = wfForumRoot;
  MA_CHECK(FrmBkDebugFlag, root != nullptr, "DoBackup--no root");
  // 1. Refusals.
  if (b.queued) return "This backup is waiting to start.";
  // A slave synchronising from this server arrives with replication.
  if (repack && !ForumSysopRollForwardLog(root))
    return "To repack, you must enable the <tt>Produce a roll-forward log</tt> option. Use the "
           "back button, enable this option, and then click on <tt>Backup with Repack</tt> "
           "again.";
  // 2. The store is busy: the backup waits its turn.
  ChPart part = ForumRootPart(root);
  ChFi file = ChGetChFi(part);
  if (b.copying || ChBgSaveActive(file) || ChInBackup(0)) {
    b.queued = true;
    b.queuedRepack = repack;
    b.retryTimer = QuRamAdd(kRetryMs, Retry, 0);
    return "";
  }
  b.repack = repack;
  b.dir = frmbk::DirOf(ChFiPath(file));
  std::string page;
  // 3.
  Wf_log_write(repack ? "DB REPACK START" : "DB BACKUP START");
  // 4. Rotation.
  auto db = [&](int n) { return b.dir + FrmBkDbName(std::to_string(n)); };
  auto roll = [&](int n) { return b.dir + FrmBkRollName(std::to_string(n)); };
  Remove(db(kFrmBkGenerations), &page);
  Remove(roll(kFrmBkGenerations), &page);
  for (int n = kFrmBkGenerations - 1; n >= 1; --n) {
    Rename(db(n), db(n + 1), &page);
    Rename(roll(n), roll(n + 1), &page);
  }
  for (int n = std::max(1, ForumSysopBackupCount(root) + 1); n <= kFrmBkGenerations; ++n) {
    Remove(db(n), &page);
    Remove(roll(n), &page);
  }
  // 5. The new log, beginning with a marker of its own.
  if (ForumSysopRollForwardLog(root)) {
    std::string log1 = roll(1);
    auto log = std::make_unique<frmbk::LogFile>();
    uint16_t status = FiExists(log1) ? kFiStatusExists : log->Open(log1);
    if (status != 0) {
      page += "<b>Error creating roll-forward log " + FrmBkRollName("1") + ": " +
              EcToSt(status).Str() + "</b><p>";
    } else {
      ForumSetLogSink(root, std::move(log));
      ForumSetSave(root, ForumNewSaveCode(root));
    }
  }
  // 6. The image as it is now.
  std::string tmp = b.dir + FrmBkDbName("tmp");
  Remove(tmp, &page);
  uint16_t status = ForumRootSave(root);
  if (status == 0) status = ForumRootSaveWait(root);
  if (status != 0) {
    page += "<b>Error saving the database: " + EcToSt(status).Str() + "</b><p>";
    return page;
  }
  // 7. The copy in the background.
  status = repack ? ChStartRepack(part, tmp, BackupDone, 0)
                  : ChStartBackup(part, tmp, BackupDone, 0);
  if (status != 0) {
    page += "<b>Error creating " + tmp + ": " + EcToSt(status).Str() + "</b><p>";
    return page;
  }
  b.copying = true;
  return page;
}

// ---------------------------------------------------------------------------
// The periodic backup.

namespace {

int32_t taskTimer = 0;
bool taskWanted = false;  // the server runs the periodic backup
constexpr int32_t kTaskMs = 60000;

bool PeriodSet(ForumRoot root) {
  int32_t days = 0;
  St period = ForumSysopBackupPeriod(root);
  return !period.Empty() && ForumEiParseInt(period.View(), &days) && days > 0;
}

void TaskCheck(intptr_t, int32_t) {
  taskTimer = 0;
  ForumRoot root = wfForumRoot;
  if (!root || !PeriodSet(root)) return;  // armed again when a period is set
  if (!FrmBkBackupRunning() &&
      FrmBkBackupDue(ForumSysopBackupPeriod(root), ForumSysopBackupTime(root),
                     ForumSysopBackupLastDate(root), TdSecondsNow())) {
    std::string page = DoBackup(false);
    if (!page.empty()) Wf_err_write(("periodic backup: " + page).c_str());
  }
  taskTimer = QuRamAdd(kTaskMs, TaskCheck, 0);
}

// Arms the check when the server wants it and a period is set.
void TaskArm(ForumRoot root) {
  if (taskWanted && taskTimer == 0 && root && PeriodSet(root))
    taskTimer = QuRamAdd(kTaskMs, TaskCheck, 0);
}

// "H:MM" or "HH:MM" into hours and minutes.
bool ParseTime(const St& text, int* hour, int* minute) {
  std::string_view t = text.View();
  size_t colon = t.find(':');
  if (colon == std::string_view::npos) return false;
  int32_t h = 0, m = 0;
  if (!ForumEiParseInt(t.substr(0, colon), &h) || !ForumEiParseInt(t.substr(colon + 1), &m))
    return false;
  if (h < 0 || h > 23 || m < 0 || m > 59) return false;
  *hour = h;
  *minute = m;
  return true;
}

}  // namespace

bool FrmBkBackupDue(const St& period, const St& time, const St& lastDate, int64_t now) {
  int32_t days = 0;
  if (period.Empty() || !ForumEiParseInt(period.View(), &days) || days <= 0) return false;
  int hour = 3, minute = 0;
  if (!time.Empty() && !ParseTime(time, &hour, &minute)) return false;
  LgDbTd last;
  Td due;
  if (!lastDate.Empty() && ForumEiStToTd(lastDate.View(), &last)) {
    due = LgDbTdToTd(last);
    due.day += days;
  } else {
    due = TdFromSeconds(now, false);
  }
  due.hour = hour;
  due.minute = minute;
  due.second = 0;
  due.millisecond = 0;
  return now >= TdToSeconds(due, false);
}

void FrmBkBackupTaskStart(ForumRoot root) {
  taskWanted = true;
  TaskArm(root);
}

void frmbk::BackupSettingChanged(ForumRoot root) { TaskArm(root); }

void FrmBkBackupTaskStop() {
  taskWanted = false;
  if (taskTimer != 0) QuRamKill(taskTimer);
  taskTimer = 0;
  Backup& b = TheBackup();
  if (b.retryTimer != 0) QuRamKill(b.retryTimer);
  b.retryTimer = 0;
  b.queued = false;
  if (!ChInBackup(0)) b.copying = false;
}

}  // namespace quil
