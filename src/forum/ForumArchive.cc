// Expiration of discussions: the folder settings, the background task and
// the expiring of one discussion; the record log (ForumModerated.h).
#include <deque>

#include "Ec.h"
#include "ForumInt.h"
#include "ForumModerated.h"
#include "Ht.h"
#include "Ma.h"
#include "Qu.h"
#include "Thread.h"

namespace quil {

namespace {

// The task's state: one per process, for the root the server runs.
struct ArchiveState {
  ForumRoot root = nullptr;
  int32_t queueId = 0;  // the task's RAM-queue entry, 0 when none
  bool running = false;
  LgDbTd runDate;
  std::deque<int32_t> pending;
};

ArchiveState& State() {
  static ArchiveState state;
  return state;
}

std::vector<ArchiveBusyFn>& BusyList() {
  static std::vector<ArchiveBusyFn> list;
  return list;
}

// The installed operations; empty members: the forum's own.
ArchiveBgOps& Ops() {
  static ArchiveBgOps ops;
  return ops;
}

std::vector<ForumRecordFn>& RecordList() {
  static std::vector<ForumRecordFn> list;
  return list;
}

// runDate's day minus days, as YYYYMMDD: a discussion dated on or before it
// has gone days whole days without a post.
int32_t DayLimit(LgDbTd runDate, int32_t days) {
  Td t = LgDbTdToTd(runDate);
  t.day -= days;
  t.hour = 12;  // noon: a change of summer time cannot move the day
  t.minute = t.second = 0;
  return LgDbTdFromTd(TdFromSeconds(TdToSeconds(t, false), false)).date;
}

void Schedule(int32_t delayMs) {
  State().queueId = QuRamAdd(delayMs, ArchiveBgProcess, 0);
}

// The same check the idle loop makes: nothing but the root's own four
// handles may be open around the work.
void OpenItemsCk(ForumRoot root, const char* where) {
  MA_CHECK(ForumDebugFlag, ForumOpenItemCount(root) <= 4,
           (std::string("ArchiveBgDoArchive-- open items left at ") + where).c_str());
}

// Adds the expired discussions of one folder record, then recurses.
void AddFolder(ForumRoot root, ChHandle folderRec, LgDbTd runDate, std::vector<int32_t>* list) {
  const ForumFieldIds& f = root->f;
  ChHandle db = LgDbRecGetList(folderRec);
  if (db == 0) return;
  int32_t days = ForumRecInt(folderRec, f.ArchiveDays, 0);
  int32_t limit = days > 0 ? DayLimit(runDate, days) : 0;
  std::vector<ChHandle> subfolders;
  uint32_t count = LgDbSortedCount(db);
  for (uint32_t ix = 0; ix < count; ++ix) {
    ChHandle entry = LgDbSortedGet(db, ix);
    ChHandle child = entry ? LgDbRecGetRec(entry, f.File) : 0;
    if (child == 0) continue;
    ChHandle type = LgDbRecGetTextId(child, f.Type);
    if (type == root->t.Category) {
      subfolders.push_back(child);
    } else if (type == root->t.Topic && days > 0) {
      if (uint32_t(ForumRecInt(child, f.Flags, 0)) & kForumFlagPermanent) continue;
      LgDbTd date;
      if (!LgDbRecGetTd(child, f.Date, &date)) continue;
      if (date.date <= limit) list->push_back(ForumUniqueIdFromRec(root, child));
    }
  }
  for (ChHandle sub : subfolders) AddFolder(root, sub, runDate, list);
}

}  // namespace

// ---------------------------------------------------------------------------
// Settings.

int32_t ForumCategoryArchiveDays(const ForumFile& folder) {
  return ForumFileIsCategory(folder) ? ForumFileArchiveDays(folder) : 0;
}

void ForumCategorySetArchiveDays(const ForumFile& folder, int32_t days) {
  MA_CHECK(ForumDebugFlag, ForumFileIsCategory(folder), "ForumCategorySetArchiveDays--File");
  if (days > 0) {
    ForumSetArchiveDays(folder, days);
    return;
  }
  ForumRoot root = ForumFileRoot(folder);
  (void)LgDbRecFieldRemove(ForumFileRecord(folder), root->f.ArchiveDays);
  ForumFileChanged(folder);
}

St ForumCategoryArchiveTo(const ForumFile& folder) {
  return ForumFileIsCategory(folder) ? ForumFileArchiveTo(folder) : St();
}

void ForumCategorySetArchiveTo(const ForumFile& folder, St to) {
  MA_CHECK(ForumDebugFlag, ForumFileIsCategory(folder), "ForumCategorySetArchiveTo--File");
  ForumSetArchiveTo(folder, to.Empty() ? St() : std::move(to));
}

// ---------------------------------------------------------------------------
// The record log.

void ForumOnRecord(ForumRecordFn fn) { RecordList().push_back(std::move(fn)); }

void ForumRecord(const St& line) {
  if (RecordList().empty()) {
    // Wf_log_write puts the blank in front itself.
    std::string text = line.Str();
    if (!text.empty() && text[0] == ' ') text.erase(0, 1);
    Wf_log_write("%s", text.c_str());
    return;
  }
  for (auto& fn : RecordList()) fn(line);
}

void ArchiveBgOnBusy(ArchiveBusyFn fn) { BusyList().push_back(std::move(fn)); }

void ArchiveBgSetOps(ArchiveBgOps ops) {
  MA_CHECK(true, !Ops().move && !Ops().destroy, "ArchiveBgSetOps--twice");
  Ops() = std::move(ops);
}

void ForumModCallbacksClear() {
  Ops() = ArchiveBgOps();
  BusyList().clear();
  RecordList().clear();
}

// ---------------------------------------------------------------------------
// The task.

void ArchiveBgInit(ForumRoot root) {
  ArchiveBgTerm();
  if (wfQuilSettings.GetInt("isSlave", 0) != 0) return;
  State().root = root;
  Schedule(kArchiveStartMs);
}

void ArchiveBgTerm() {
  ArchiveState& s = State();
  if (s.queueId != 0) QuRamKill(s.queueId);
  s.queueId = 0;
  s.root = nullptr;
  s.running = false;
  s.pending.clear();
}

bool ArchiveBgTimeHasCome() {
  return TdFromSeconds(ForumSecondsNow(), false).hour == kArchiveHour;
}

void ArchiveBgAddLi(const ForumFile& folder, LgDbTd runDate, std::vector<int32_t>* list) {
  if (!ForumFileIsCategory(folder)) return;
  AddFolder(ForumFileRoot(folder), ForumFileRecord(folder), runDate, list);
}

void ArchiveBgBuildLi(ForumRoot root, LgDbTd runDate) {
  ArchiveState& s = State();
  s.runDate = runDate;
  std::vector<int32_t> list;
  ArchiveBgAddLi(ForumTopFolder(root), runDate, &list);
  s.pending.assign(list.begin(), list.end());
  s.running = !s.pending.empty();
}

void ArchiveBgProcess(intptr_t, int32_t) {
  ArchiveState& s = State();
  s.queueId = 0;
  if (s.root == nullptr) return;
  // Wait for exactly the activities that run now: a blocked entry goes on
  // when all of them have ended.
  uint32_t busy = (QuBgActive ? kQuBlockBgPass : 0) | (ForumWaiting > 0 ? kQuBlockRequest : 0);
  if (busy != 0) {
    s.queueId = QuRamBlock(ArchiveBgProcess, 0, busy);
    return;
  }
  for (auto& fn : BusyList()) {
    if (fn()) {
      Schedule(kArchiveStepMs);
      return;
    }
  }
  if (!s.running) {
    if (!ArchiveBgTimeHasCome()) {
      Schedule(kArchiveRecheckMs);
      return;
    }
    ArchiveBgBuildLi(s.root, ForumNow());
    Schedule(s.running ? kArchiveStepMs : kArchiveRecheckMs);
    return;
  }
  int32_t id = s.pending.front();
  s.pending.pop_front();
  (void)ArchiveBgDoArchive(s.root, id);
  s.running = !s.pending.empty();
  Schedule(s.running ? kArchiveStepMs : kArchiveRecheckMs);
}

ArchiveBgStatus ArchiveBgState() {
  const ArchiveState& s = State();
  ArchiveBgStatus status;
  status.scheduled = s.queueId != 0;
  status.running = s.running;
  status.runDate = s.runDate;
  status.pending.assign(s.pending.begin(), s.pending.end());
  return status;
}

uint16_t ArchiveBgDoArchive(ForumRoot root, int32_t uniqueId) {
  OpenItemsCk(root, "archive start");
  uint16_t status = 0;
  {
    ForumFile discussion = ForumFileOpenUnique(root, uniqueId);
    if (!ForumFileIsForum(discussion) ||
        LgDbRecGetTextId(ForumFileRecord(discussion), root->f.Type) != root->t.Topic)
      return 0;
    ForumFile folder = ForumFileParent(discussion);
    if (!ForumFileIsCategory(folder)) return 0;
    St name = ForumFileName(discussion);
    std::string line = " * Expiration \"" + ForumFilePath(folder).Str() +
                       ForumFileTitle(discussion).Str() + "\" (" +
                       ForumFileUniquePath(discussion).Str() + ") ";
    St to = ForumCategoryArchiveTo(folder);
    ForumFile target;
    if (!to.Empty() && to != kArchivePurge) target = ForumFileOpen(root, to);
    if (ForumFileIsCategory(target)) {
      status = Ops().move ? Ops().move(folder, name, target)
                          : ForumCatItemMove(folder, name, target, St());
      if (status == 0)
        line += "to \"" + ForumFilePath(target).Str() + "\" (" +
                ForumFileUniquePath(target).Str() + ")";
    } else {
      bool purge = to == kArchivePurge;
      if (!purge) status = ForumDeletedFileAppend(discussion);
      // A discussion that could not be saved stays: removing it would lose
      // it for good.
      if (status == 0)
        status = Ops().destroy ? Ops().destroy(folder, name) : ForumCatItemDestroy(folder, name);
      if (status == 0) line += purge ? "purged" : "to deleted file";
    }
    if (status != 0) line = " * Expiration processing ERROR: " + EcToSt(status).Str();
    ForumRecord(StFromView(line));
  }
  OpenItemsCk(root, "archive stop");
  return status;
}

}  // namespace quil
