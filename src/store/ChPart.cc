// The store's life, database files and parts: page tables, free pages,
// the part information chunk, roots.
#include <algorithm>

#include "ChInt.h"
#include "Ex.h"
#include "Ma.h"
#include "Qu.h"
#include "QuPersist.h"

namespace quil {

bool ChDebugFlag = true;
bool ChCheckFlag = false;
bool ChFixAllPages = false;
ChStore ChState;
std::atomic<int> ChBgSavesOut{0};
std::mutex ChBgSaveMutex;

ChHandleLayout ChLayout = {5, 31, 13, 0x7FFFF, (145 + 0x7FFFF + 32) & ~31u};

namespace {

// Words of the part information chunk.
enum PartInfoWord : int {
  kPiRevision = 0,
  kPiDate = 1,
  kPiTime = 2,
  kPiRoot = 5,
  kPiRootExtra = 6,
  kPiPageCount = 7,
};
constexpr uint32_t kPartInfoSize = 288;
constexpr uint32_t kPartInfoOffset = 16;


// Links every unallocated page number below the page count into the free
// list, lowest first.
void PartBuildFreeList(ChPartRec& p) {
  p.freeHead = kPteFreeEnd;
  p.allocated = 0;
  for (uint32_t page = p.pageCount; page-- > 0;) {
    bool used = p.file && ChFiMapGet(*p.file, kChHeaderPages + page);
    if (page == 0 || used) {
      if (page != 0) ChPteSet(p, page, kPteFile);
      ++p.allocated;
    } else {
      ChPteSet(p, page, kPteFree | p.freeHead);
      p.freeHead = page;
    }
  }
}

ChPartRec& PartNew(ChPart number, ChFiRec* file) {
  auto rec = std::make_unique<ChPartRec>();
  rec->number = number;
  rec->file = file;
  ChState.parts[size_t(number)] = std::move(rec);
  return *ChState.parts[size_t(number)];
}

void PartDrop(ChPartRec& p) {
  // A backup or repack of the part cannot go on without it, nor can the
  // queued entries in its chunks.
  while (ChInBackup(p.number)) ChStopBackup(p.number);
  QuForgetPart(p.number);
  for (const ChCachePage& cp : ChState.cache) {
    if ((cp.flags & kCpAllocated) && cp.part == p.number && cp.locks != 0)
      MaAssertFailure("ChPartClose-- Chunk is locked");
  }
  ChCacheDropPart(p);
  if (p.file && p.file->master == p.number) p.file->master = 0;
  ChState.parts[size_t(p.number)].reset();
}

// Gives rec a slot of the handle table and enters it in the open files.
ChFi FileEnter(std::unique_ptr<ChFiRec> rec) {
  auto& slots = ChState.fileSlots;
  uint32_t slot = 1;
  while (slot < slots.size() && slots[slot]) ++slot;
  if (slot == slots.size()) {
    slots.push_back(nullptr);
    ChState.fileGenerations.push_back(0);
  }
  ChFi handle;
  handle.slot = slot;
  handle.generation = ++ChState.fileGenerations[slot];
  slots[slot] = rec.get();
  rec->handle = handle;
  ChState.files.push_back(std::move(rec));
  return handle;
}

uint16_t FileAdd(std::unique_ptr<ChFiRec> rec, ChFi* out) {
  uint16_t status = FiIdentity(rec->file, rec->device, rec->inode);
  if (status != 0) return status;
  *out = FileEnter(std::move(rec));
  return 0;
}

// Makes a new, empty file record on an open, empty file and writes the
// first header.
uint16_t FileStart(std::unique_ptr<ChFiRec> rec, ChFi* out) {
  ChFiCreateHead(*rec);
  uint16_t status = ChFiWriteHead(*rec);
  if (status != 0) {
    std::string path = rec->path;
    rec.reset();
    (void)FiDelete(path);
    return status;
  }
  return FileAdd(std::move(rec), out);
}

void LocalDateTime(uint32_t* date, uint32_t* time) {
  time_t now = ::time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  *date = uint32_t((t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday);
  *time = uint32_t(t.tm_hour * 10000 + t.tm_min * 100 + t.tm_sec);
}

}  // namespace

// ---------------------------------------------------------------------------
// Life.

void ChHandleLayoutSet(uint32_t files) {
  if (files > 62) MaAssertFailure("ChInit-- too many files requested");
  uint32_t bits = files <= 6 ? 4 : files <= 14 ? 5 : files <= 30 ? 6 : 7;
  ChLayout.partBits = bits;
  ChLayout.partMask = (1u << bits) - 1;
  ChLayout.pageShift = 8 + bits;
  ChLayout.pageMask = (1u << (32 - ChLayout.pageShift)) - 1;
  ChLayout.fileMaxPages = (kChHeaderPages + ChLayout.pageMask + 32) & ~31u;
}

uint16_t ChInit(int32_t version, uint32_t cachePages, uint32_t files) {
  MA_CHECK(ChDebugFlag, !ChState.initialised, "ChInit-- Pkg already init");
  MA_CHECK(ChDebugFlag, version == kPkgVersion, "ChInit-- Wrong version");
  ChHandleLayoutSet(files);
  ChCheckFlag = FiExists("chcheck");
  ChFixAllPages = FiExists("fixallpages");
  uint16_t status = ChCacheInit(cachePages);
  if (status != 0) {
    ChCacheTerm();
    return status;
  }
  PartNew(kChTransientPart, nullptr);
  ChState.inhibit = false;
  ChState.initialised = true;
  ChBgSaveSetEnabled(false);
  QuSetBgIoPollFn(ChPoll);
  QuSetBgSaveActiveFn(ChBgSaveInProgress);
  return 0;
}

void ChTerm() {
  MA_CHECK(ChDebugFlag, ChState.initialised, "ChTerm-- Pkg not init");
  if (!ChState.files.empty()) MaAssertFailure("ChTerm-- Error- Open Chunk files");
  for (const ChCachePage& cp : ChState.cache)
    if (cp.locks != 0) MaAssertFailure("ChTerm-- Error- Locked chunks");
  for (auto& p : ChState.parts)
    if (p) PartDrop(*p);
  ChCacheTerm();
  QuSetBgIoPollFn(nullptr);
  QuSetBgSaveActiveFn(nullptr);
  ChState.initialised = false;
}

bool ChIsInitialised() { return ChState.initialised; }

bool ChAllocsInhibit(bool inhibit) {
  bool was = ChState.inhibit;
  ChState.inhibit = inhibit;
  return was;
}

void ChBgSaveLock() { ChBgSaveMutex.lock(); }
void ChBgSaveUnlock() { ChBgSaveMutex.unlock(); }

// ---------------------------------------------------------------------------
// Page tables.

void ChPteSet(ChPartRec& p, uint32_t page, uint32_t entry) {
  auto& slot = p.slots[page / kPteSlotSize];
  if (!slot) {
    auto fresh = std::make_unique<uint32_t[]>(kPteSlotSize);
    std::fill_n(fresh.get(), kPteSlotSize, kPteFree | kPteFreeEnd);
    ChSaveGuard guard;
    slot = std::move(fresh);
  }
  ChSaveGuard guard;
  slot[page % kPteSlotSize] = entry;
}

void ChPartMarkChanged(ChPartRec& p, uint32_t page) {
  p.modified = true;
  if (page >= p.changedBit.size())
    p.changedBit.resize(std::max<size_t>(page + 1, p.pageCount), 0);
  if (p.changedBit[page]) return;
  p.changedBit[page] = 1;
  p.changed.push_back(page);
}

int32_t ChCreateNewPage(ChPartRec& p, uint32_t* pageOut) {
  int32_t idx = ChCacheTake();
  uint32_t page;
  if (p.freeHead != kPteFreeEnd) {
    page = p.freeHead;
    p.freeHead = ChPte(p, page) & kPteValue;
  } else {
    page = p.pageCount;
    bool full = page > ChLayout.pageMask ||
                (p.file && kChHeaderPages + page >= ChFileMaxPages());
    if (full) {
      ChCacheRelease(idx);
      ExRaise(p.file ? kEcDatabaseFull : kEcTransientFull);
    }
    p.pageCount = page + 1;
  }
  ChPgInitEmpty(ChCp(idx).data, p.fileId);
  ChCacheInstall(idx, p, page, 0);
  if (p.file) ChFiMapSet(*p.file, kChHeaderPages + page, true);
  ++p.allocated;
  ChCacheMarkModified(idx);
  *pageOut = page;
  return idx;
}

void ChPageFree(ChPartRec& p, uint32_t page, int32_t idx) {
  MA_CHECK(ChDebugFlag, page != 0 || !p.file, "ChPageFree-- part information page");
  ChCachePage& cp = ChCp(idx);
  MA_CHECK(ChDebugFlag, cp.locks == 0, "ChPageFree-- page is locked");
  MA_CHECK(ChDebugFlag, !(cp.flags & kCpMarkedForSave),
           "ChPageFree-- page frozen for a save");
  // A transient copy that a save in progress reads is freed by the save.
  if (cp.transSlot >= 0 && !ChBgSaveOwnsSlot(p, page, uint32_t(cp.transSlot)))
    ChTransFree(uint32_t(cp.transSlot));
  ChCacheRelease(idx);
  ChPteSet(p, page, kPteFree | p.freeHead);
  p.freeHead = page;
  if (page < p.changedBit.size()) p.changedBit[page] = 0;
  if (p.file) ChFiMapSet(*p.file, kChHeaderPages + page, false);
  --p.allocated;
  p.modified = true;
  if (p.roomHint == page) p.roomHint = kPteFreeEnd;
}

ChPart ChPartAllocNumber() {
  for (uint32_t n = 2; n < ChLayout.partMask && n < ChState.parts.size(); ++n)
    if (!ChState.parts[n]) return ChPart(n);
  return 0;
}

// ---------------------------------------------------------------------------
// Files.

ChFiRec* ChFiGet(ChFi file) {
  if (file.slot == 0 || file.slot >= ChState.fileSlots.size() ||
      ChState.fileGenerations[file.slot] != file.generation)
    return nullptr;
  return ChState.fileSlots[file.slot];
}

ChFiRec& ChFiOrHalt(ChFi file, const char* what) {
  ChFiRec* f = ChFiGet(file);
  if (!f) MaAssertFailure(what);
  return *f;
}

uint16_t ChFiCreate(const std::string& path, ChFi* out) {
  if (FiExists(path)) return kEcFileExists;
  auto rec = std::make_unique<ChFiRec>();
  uint16_t status = FiCreate(path, rec->file);
  if (status == kFiStatusExists) return kEcFileExists;
  if (status != 0) return status;
  rec->path = path;
  return FileStart(std::move(rec), out);
}

uint16_t ChFiCreateTemp(const std::string& dir, ChFi* out) {
  auto rec = std::make_unique<ChFiRec>();
  uint16_t status = FiCreateUnique(dir, rec->file);
  if (status != 0) return status;
  rec->path = rec->file.Path();
  rec->temporary = true;
  return FileStart(std::move(rec), out);
}

uint16_t ChFiMakePermanent(ChFi file, const std::string& path) {
  ChFiRec& f = ChFiOrHalt(file, "ChFiMakePermanent-- Illegal ChFi");
  uint16_t status = FiRename(f.file, path);
  // The new name must survive a power cut before anything relies on it.
  if (status == 0) status = FiSyncDir(path);
  if (status != 0) return status;
  f.path = path;
  f.temporary = false;
  return 0;
}

uint16_t ChFiOpen(const std::string& path, int mode, ChFi* out) {
  auto rec = std::make_unique<ChFiRec>();
  uint16_t status =
      FiOpen(path, mode == kChFiReadOnly ? kFiReadOnly : kFiReadWrite, rec->file);
  if (status != 0) return status;
  status = FiIdentity(rec->file, rec->device, rec->inode);
  if (status != 0) return status;
  for (auto& f : ChState.files) {
    if (f->device == rec->device && f->inode == rec->inode) {
      if (f->readOnly && mode != kChFiReadOnly) return kEcReadOnlyForWrite;
      ++f->opens;
      *out = f->handle;
      return 0;
    }
  }
  rec->path = path;
  rec->readOnly = mode == kChFiReadOnly;
  ChFiNoteProblem("");
  // An interrupted save is rolled back (or, read-only, read as rolled
  // back) before anything reads the image.
  status = ChJnlRecover(*rec);
  if (status != 0) ChFiNoteProblem("its journal cannot be read or written back");
  if (status == 0) status = ChFiReadHead(*rec);
  if (status != 0) return status;
  rec->masterOnDisk = ChFiMapGet(*rec, kChHeaderPages);
  *out = FileEnter(std::move(rec));
  return 0;
}

uint16_t ChFiClose(ChFi file) {
  ChFiRec& f = ChFiOrHalt(file, "ChFiClose-- Illegal ChFi");
  if (--f.opens > 0) return 0;
  uint16_t saved = ChBgSaveWaitIdle(f, false);
  if (ChPartRec* p = ChPartGet(f.master)) PartDrop(*p);
  ChJnlClose(f);
  uint16_t status = FiClose(f.file);
  if (saved != 0) status = saved;
  ChState.fileSlots[file.slot] = nullptr;
  ++ChState.fileGenerations[file.slot];
  ChFiRec* gone = &f;
  auto& files = ChState.files;
  files.erase(std::remove_if(files.begin(), files.end(),
                             [gone](const auto& r) { return r.get() == gone; }),
              files.end());
  return status;
}

uint16_t ChFiDestroy(ChFi file) {
  ChFiRec& f = ChFiOrHalt(file, "ChFiDestroy-- Illegal ChFi");
  std::string path = f.path;
  f.opens = 1;
  uint16_t status = ChFiClose(file);
  uint16_t del = FiDelete(path);
  return status != 0 ? status : del;
}

uint16_t ChFiFlush(ChFi file) {
  ChFiRec& f = ChFiOrHalt(file, "ChFiFlush-- Illegal ChFi");
  if (f.readOnly) return kEcWriteReadOnly;
  ChBgSaveCleanupWait(file);
  return ChSaveFlush(f);
}

const std::string& ChFiPath(ChFi file) {
  return ChFiOrHalt(file, "ChFiPath-- Illegal ChFi").path;
}
bool ChFiIsReadOnly(ChFi file) {
  return ChFiOrHalt(file, "ChFiIsReadOnly-- Illegal ChFi").readOnly;
}
ChPart ChFiGetMaster(ChFi file) {
  return ChFiOrHalt(file, "ChFiGetMaster-- Illegal ChFi").master;
}
bool ChFiHasMaster(ChFi file) {
  const ChFiRec& f = ChFiOrHalt(file, "ChFiHasMaster-- Illegal ChFi");
  return f.master != 0 || f.masterOnDisk;
}
const std::string& ChFiOpenNote(ChFi file) {
  return ChFiOrHalt(file, "ChFiOpenNote-- Illegal ChFi").journal.note;
}

// ---------------------------------------------------------------------------
// Parts.

ChHandle ChPartInfoHandle(ChPart part) {
  return ChHandleMake(part, 0, kPartInfoOffset);
}

uint16_t ChFiPartCreate(ChFi file, ChPart* out) {
  ChFiRec* f = &ChFiOrHalt(file, "ChFiPartCreate-- Illegal ChFi");
  if (ChFiHasMaster(file)) return kEcFileExists;
  ChPart n = ChPartAllocNumber();
  if (n == 0) return kEcTooManyParts;
  ChPartRec& p = PartNew(n, f);
  p.revision = f->head[kHdRevision];
  f->master = n;
  uint32_t page;
  ChCreateNewPage(p, &page);
  ChHandle info;
  auto* words = static_cast<uint32_t*>(
      ChCreate(kUtTypePartInfo, kPartInfoSize, ChPartNear(n), &info));
  MA_CHECK(ChDebugFlag, info == ChPartInfoHandle(n),
           "ChFiPartCreate-- part information not at its place");
  words[kPiRevision] = p.revision;
  words[kPiDate] = p.saveDate;
  words[kPiTime] = p.saveTime;
  words[kPiPageCount] = p.pageCount;
  ChUnlockMod(words);
  *out = n;
  return 0;
}

uint16_t ChFiPartOpen(ChFi file, ChPart* out) {
  ChFiRec* f = &ChFiOrHalt(file, "ChFiPartOpen-- Illegal ChFi");
  if (f->master != 0) {
    *out = f->master;
    return 0;
  }
  ChFiNoteProblem("");
  if (!f->masterOnDisk) {
    ChFiNoteProblem("it holds no master part (page 0 is free in its space map)");
    return kEcNoMaster;
  }
  ChPart n = ChPartAllocNumber();
  if (n == 0) return kEcTooManyParts;
  ChPartRec& p = PartNew(n, f);
  p.pageCount = 1;
  ChPteSet(p, 0, kPteFile);
  f->master = n;
  uint16_t status = 0;
  uint32_t words[kPartInfoSize / 4];
  bool loaded = ExTry([&] {
    ChHandle info = ChPartInfoHandle(n);
    const uint8_t* block = ChCp(ChPgAllocFill(p, 0)).data + kPartInfoOffset;
    if (BlkGet(block, 0, kBlkType) != kUtTypePartInfo ||
        BlkGet(block, 0, kBlkSize) != kPartInfoSize + 8) {
      status = kEcCorrupted;
      return;
    }
    memcpy(words, ChDeref(info), sizeof words);
  });
  if (!loaded) status = uint16_t(ExLastError);
  if (status == 0 && (words[kPiPageCount] == 0 ||
                      words[kPiPageCount] - 1 > ChLayout.pageMask))
    status = kEcTooLarge;
  if (status != 0) {
    ChFiNoteProblem(status == kEcTooLarge ? "its part information gives a page count beyond "
                                            "this program's limit"
                                          : "page 0 holds no part information");
    PartDrop(p);
    return status;
  }
  p.revision = words[kPiRevision];
  p.saveDate = words[kPiDate];
  p.saveTime = words[kPiTime];
  p.root = words[kPiRoot];
  p.rootExtra = words[kPiRootExtra];
  p.pageCount = words[kPiPageCount];
  PartBuildFreeList(p);
  if (ChCheckFlag) ChCheckPageTable(n);
  *out = n;
  return 0;
}

void ChPartClose(ChPart part) {
  ChPartRec& p = ChPartOrHalt(part, "ChPartClose-- Illegal part");
  MA_CHECK(ChDebugFlag, p.file != nullptr, "ChPartClose-- transient part");
  // The part's unsaved changes go with it; a save of them that failed is
  // noted for the operator (the file itself is whole: the failed save's
  // journal was written back, or is left for the next open).
  uint16_t status = ChBgSaveWaitIdle(*p.file, false);
  if (status != 0)
    ChRecordLog("* DB save of " + p.file->path + " failed as its part closed: " +
                EcToSt(status).Str());
  PartDrop(p);
}

ChFi ChGetChFi(ChPart part) {
  ChPartRec* p = ChPartGet(part);
  return p && p->file ? p->file->handle : ChFi();
}

ChFi ChGetFile(ChHandle h) { return ChGetChFi(ChPartOf(h)); }

uint16_t ChPartDup(ChPart part, ChFi destFile) {
  ChPartRec& p = ChPartOrHalt(part, "ChPartDup-- Illegal part");
  ChFiRec* dest = &ChFiOrHalt(destFile, "ChPartDup-- Illegal ChFi");
  MA_CHECK(ChDebugFlag, p.file != nullptr && dest != p.file && !ChFiHasMaster(destFile),
           "ChPartDup-- bad destination");
  ChBgSaveCleanupWait(p.file->handle);
  // Every page must reach the new file: pages still only in the old file are
  // loaded (and, when evicted, go to the transient file).
  uint16_t status = 0;
  bool ok = ExTry([&] {
    for (uint32_t page = 0; page < p.pageCount; ++page) {
      uint32_t where = ChPte(p, page) & kPteWhere;
      if (where == kPteFree) continue;
      // A cached page must leave the cache through the transient file now:
      // the new file does not hold it.
      if (where == kPteFile) {
        ChCacheMarkModified(ChPgAllocFill(p, page));
      } else if (where == kPteCache) {
        ChCacheMarkModified(int32_t(ChPte(p, page) & kPteValue));
      } else {
        ChPartMarkChanged(p, page);
      }
      ChFiMapSet(*dest, kChHeaderPages + page, true);
    }
  });
  if (!ok) status = uint16_t(ExLastError);
  if (status != 0) return status;
  ChPartSwitch(part, destFile);
  return 0;
}

void ChPartSwitch(ChPart part, ChFi destFile) {
  ChPartRec& p = ChPartOrHalt(part, "ChPartSwitch-- Illegal part");
  ChFiRec* dest = &ChFiOrHalt(destFile, "ChPartSwitch-- Illegal ChFi");
  MA_CHECK(ChDebugFlag, p.file != nullptr && dest != p.file && !ChFiHasMaster(destFile),
           "ChPartSwitch-- bad destination");
  for (int i = 1; i <= p.file->types.Count(); ++i)
    dest->types.Enter(p.file->types.localToGlobal[size_t(i)]);
  dest->head[kHdRevision] = p.file->head[kHdRevision];
  dest->revisionCopy = dest->head[kHdRevision];
  p.file->master = 0;
  p.file = dest;
  dest->master = part;
}

void ChPartRevert(ChPart) { MaAssertFailure("ChPartRevert--not implemented"); }

bool ChPartIsModified(ChPart part) {
  return ChPartOrHalt(part, "ChPartIsModified-- Illegal part").modified;
}

uint32_t ChPartChangedPages(ChPart part) {
  const ChPartRec& p = ChPartOrHalt(part, "ChPartChangedPages-- Illegal part");
  return uint32_t(std::count(p.changedBit.begin(), p.changedBit.end(), 1));
}

uint32_t ChPartPageCount(ChPart part) {
  return ChPartOrHalt(part, "ChPartPageCount-- Illegal part").pageCount;
}

uint32_t ChPageCount(ChPart part) {
  return ChPartOrHalt(part, "ChPageCount-- Illegal part").allocated;
}

uint32_t ChPageLimit() {
  return std::min(ChLayout.pageMask + 1, ChFileMaxPages() - kChHeaderPages);
}

uint32_t ChAvailablePages(ChPart part) {
  return ChPageLimit() - ChPageCount(part);
}

bool ChPartIsCatast(ChPart part) {
  return ChPartOrHalt(part, "ChPartIsCatast-- Illegal part").catast;
}

void ChPartMarkCatast(ChPart part) {
  ChPartOrHalt(part, "ChPartMarkCatast-- Illegal part").catast = true;
}

uint32_t ChGetRev(ChPart part) {
  return ChPartOrHalt(part, "ChGetRev-- Illegal part").revision;
}

ChHandle ChGetRoot(ChPart part) {
  return ChPartOrHalt(part, "ChGetRoot-- Illegal part").root;
}

void ChSetRoot(ChPart part, ChHandle root) {
  ChPartRec& p = ChPartOrHalt(part, "ChSetRoot-- Illegal part");
  p.root = root;
  p.modified = true;
}

uint32_t ChGetRootExtra(ChPart part) {
  return ChPartOrHalt(part, "ChGetRootExtra-- Illegal part").rootExtra;
}

void ChSetRootExtra(ChPart part, uint32_t value) {
  ChPartRec& p = ChPartOrHalt(part, "ChSetRootExtra-- Illegal part");
  p.rootExtra = value;
  p.modified = true;
}

// ---------------------------------------------------------------------------
// Saving (the steps are in ChSave.cc).

uint16_t ChPartSave(ChPart part, int mode, uint32_t* revision) {
  (void)mode;  // the replace-all save is the only mode
  ChPartRec& p = ChPartOrHalt(part, "ChPartSave-- Illegal part");
  if (!p.file) MaAssertFailure("ChPartSave-- attempt to save transient file");
  ChFiRec& f = *p.file;
  if (f.readOnly) MaAssertFailure("ChPartSave-- file is R/O");
  if (p.catast)
    MaAssertFailure(
        "ChPartSave-- partition has had prior read errors and cannot be saved");
  // 1. The previous save of the file first (queued work runs meanwhile).
  ChBgSaveCleanupWait(f.handle);
  MA_CHECK(ChDebugFlag, ChPartGet(part) == &p && p.file == &f,
           "ChPartSave-- part closed while waiting for the previous save");
  if (ChBackupBlocksSave(p)) MaAssertFailure("ChPartSave-- backup in progress");
  if (ChCheckFlag) ChCheckPageTable(part);

  // 2, 3. The next revision, recorded in the part information.
  ChFiAdvanceToNextRev(f);
  uint32_t date, time;
  LocalDateTime(&date, &time);
  {
    ChLocked info(ChPartInfoHandle(part));
    auto* words = info.As<uint32_t>();
    words[kPiRevision] = f.head[kHdRevision];
    words[kPiDate] = date;
    words[kPiTime] = time;
    words[kPiRoot] = p.root;
    words[kPiRootExtra] = p.rootExtra;
    words[kPiPageCount] = p.pageCount;
    info.MarkModified();
  }
  f.save.revision = f.head[kHdRevision];
  f.save.date = date;
  f.save.time = time;
  if (revision) *revision = f.head[kHdRevision];
  // 4 to 7 and the writing (ChBgSave.cc).
  return ChBgSaveStart(p);
}

ChPartRec& ChPartOrHalt(ChPart part, const char* what) {
  ChPartRec* p = ChPartGet(part);
  if (!p) MaAssertFailure(what);
  return *p;
}

}  // namespace quil
