// Chunks: create, destroy, lock, resize, reference counts, iteration.
#include <algorithm>

#include "ChInt.h"
#include "Ma.h"

namespace quil {

namespace {

[[noreturn]] void Fail(const char* fn, const char* what) {
  MaAssertFailure(std::string(fn) + "-- " + what);
}

// The block of a chunk, its page loaded into the cache.  Halts for handles
// that name no chunk.
struct ChAt {
  ChPartRec* part;
  uint32_t page;
  uint32_t offset;
  int32_t cache;
  uint8_t* block;
};

uint64_t changeCount = 0;

// With change set, a page frozen for a background save is first moved to a
// copy (ChBgSaveSwitchCp), so that the save keeps what it froze.
ChAt ChResolve(ChHandle h, const char* fn, bool change = false) {
  ChPartRec* p = ChPartGet(ChPartOf(h));
  uint32_t page = ChPageOf(h);
  uint32_t off = ChOffsetOf(h);
  if (ChDebugFlag && (!p || off < kPgHeadSize || page >= p->pageCount))
    Fail(fn, "Illegal Ch");
  uint32_t entry = ChPte(*p, page);
  int32_t idx;
  if ((entry & kPteWhere) == kPteCache) {
    idx = int32_t(entry & kPteValue);
  } else {
    if ((entry & kPteWhere) == kPteFree)
      Fail(fn, "Chunk reference is to an empty page");
    idx = ChPgAllocFill(*p, page);
  }
  if (change) {
    ++changeCount;
    idx = ChBgSaveSwitchCp(idx);
  }
  uint8_t* block = ChCp(idx).data + off;
  if (ChDebugFlag && BlkGet(block, 0, kBlkType) == 0)
    Fail(fn, "Bad chunk, (possibly destroyed)?");
  return ChAt{p, page, off, idx, block};
}

// The cache page of a pointer handed out by ChLock or ChCreate.
int32_t ChCacheOfPointer(const void* data, const char* fn) {
  int32_t idx = ChCpOfData(data);
  auto base = reinterpret_cast<uintptr_t>(data) & ~uintptr_t(kChPageSize - 1);
  if (ChDebugFlag && (idx < 0 || size_t(idx) >= ChState.cache.size() ||
                      reinterpret_cast<uintptr_t>(ChCp(idx).data) != base))
    Fail(fn, "Bad pointer");
  return idx;
}

uint8_t* ChUnlock(void* data, const char* fn, int32_t* idx) {
  *idx = ChCacheOfPointer(data, fn);
  uint8_t* block = static_cast<uint8_t*>(data) - kBlkData;
  uint16_t status = BlkGet(block, 0, kBlkStatus);
  if (ChDebugFlag && status < kChLockUnit) Fail(fn, "Chunk is not locked");
  if (ChDebugFlag && (ChCp(*idx).flags & kCpMarkedForSave))
    Fail(fn, "page frozen for a save holds a lock");
  BlkSet(block, 0, kBlkStatus, uint16_t(status - kChLockUnit));
  --ChCp(*idx).locks;
  return block;
}

void MarkModified(int32_t idx) {
  ++changeCount;
  if (!(ChCp(idx).flags & kCpModified)) ChCacheMarkModified(idx);
}

// Frees the chunk's block; a page left empty goes back to the free pages.
void ChChunkFree(const ChAt& at) {
  uint8_t* pg = ChCp(at.cache).data;
  ChPgFree(pg, at.offset);
  bool empty = Ld16(pg + kPgFree) == kPgRoom;
  if (empty && (at.page != 0 || !at.part->file)) {
    ChPageFree(*at.part, at.page, at.cache);
    return;
  }
  MarkModified(at.cache);
  if (Ld16(pg + kPgFree) >= kChPageSize / 2) at.part->roomHint = at.page;
}

}  // namespace

void* ChCreate(uint16_t type, uint32_t length, ChHandle near, ChHandle* out) {
  if (ChState.inhibit) MaAssertFailure("ChCreate--chunk access inhibited");
  if (length > kChMaxChunk) MaAssertFailure("ChCreate-- Invalid chunk length requested");
  if (type == 0 || !UtLayoutOf(type))
    MaAssertFailure("ChCreate-- Missing relocation template ID = " +
                    std::to_string(type));
  ChPart part = ChPartOf(near);
  ChPartRec* p = ChPartGet(part);
  if (!p) MaAssertFailure("ChCreate-- Illegal near handle");
  if ((type & kUtRegisteredBit) && p->file) p->file->types.Enter(type);

  // The near handle's page, then the page last seen with room, then a new one.
  int32_t idx = -1;
  uint32_t off = 0, page = 0;
  uint32_t tries[2] = {ChPageOf(near), p->roomHint};
  for (uint32_t candidate : tries) {
    if (candidate >= p->pageCount || (ChPte(*p, candidate) & kPteWhere) == kPteFree)
      continue;
    if (idx >= 0 && candidate == page) continue;
    page = candidate;
    idx = ChPgAllocFill(*p, page);
    if ((ChCp(idx).flags & kCpMarkedForSave) &&
        ChPgLargestFree(ChCp(idx).data) >= ChRound16(length + 8))
      idx = ChBgSaveSwitchCp(idx);
    off = ChPgAlloc(ChCp(idx).data, length);
    if (off) break;
  }
  if (!off) {
    idx = ChCreateNewPage(*p, &page);
    off = ChPgAlloc(ChCp(idx).data, length);
    MA_CHECK(ChDebugFlag, off != 0, "ChCreate-- new page has no room");
  }
  p->roomHint = page;
  uint8_t* block = ChCp(idx).data + off;
  BlkSet(block, 0, kBlkType, type);
  BlkSet(block, 0, kBlkStatus, kChLockUnit);
  memset(block + kBlkData, 0, length);
  ++ChCp(idx).locks;
  MarkModified(idx);
  ChCacheTouch(idx);
  *out = ChHandleMake(part, page, off);
  return block + kBlkData;
}

uint64_t ChChangeCount() { return changeCount; }
ChUncountedChanges::ChUncountedChanges() : saved_(changeCount) {}
ChUncountedChanges::~ChUncountedChanges() { changeCount = saved_; }

void ChDestroy(ChHandle h) {
  ChAt at = ChResolve(h, "ChDestroy", true);
  uint16_t status = BlkGet(at.block, 0, kBlkStatus);
  if (status & kChRefMask) MaAssertFailure("ChDestroy-- Reference count not zero");
  if (status >= kChLockUnit) MaAssertFailure("ChDestroy-- Chunk is locked");
  ChChunkFree(at);
}

void* ChDeref(ChHandle h) {
  if (ChState.inhibit) MaAssertFailure("ChDeref--chunk access inhibited");
  ChAt at = ChResolve(h, "ChDeref");
  ChCacheTouch(at.cache);
  return at.block + kBlkData;
}

void* ChLock(ChHandle h) {
  if (ChState.inhibit) MaAssertFailure("ChLock--chunk access inhibited");
  ChAt at = ChResolve(h, "ChLock", true);
  uint16_t status = BlkGet(at.block, 0, kBlkStatus);
  if ((status >> 13) == kChMaxLocks)
    MaAssertFailure("ChLock-- Chunk is already locked maximum times");
  BlkSet(at.block, 0, kBlkStatus, uint16_t(status + kChLockUnit));
  ++ChCp(at.cache).locks;
  ChCacheTouch(at.cache);
  return at.block + kBlkData;
}

void ChUnlockMod(void* data) {
  int32_t idx;
  ChUnlock(data, "ChUnlockMod", &idx);
  MarkModified(idx);
}

void ChUnlockNoMod(void* data) {
  int32_t idx;
  ChUnlock(data, "ChUnlockNoMod", &idx);
}

bool ChIsLocked(ChHandle h) {
  return BlkGet(ChResolve(h, "ChIsLocked").block, 0, kBlkStatus) >= kChLockUnit;
}

void ChMarkModified(ChHandle h) { MarkModified(ChResolve(h, "ChMarkModified", true).cache); }

ChHandle ChResize(ChHandle h, uint32_t length) {
  if (length > kChMaxChunk) MaAssertFailure("ChResize-- Invalid chunk length requested");
  ChAt at = ChResolve(h, "ChResize", true);
  uint16_t status = BlkGet(at.block, 0, kBlkStatus);
  if (status >= kChLockUnit) MaAssertFailure("ChResize-- Chunk is locked");
  uint32_t old = BlkGet(at.block, 0, kBlkSize) - 8u;
  if (ChPgResize(ChCp(at.cache).data, at.offset, length)) {
    if (length > old) memset(at.block + kBlkData + old, 0, length - old);
    MarkModified(at.cache);
    return h;
  }
  // Move: copy out, create near the old place, copy in, free the old block.
  uint16_t type = BlkGet(at.block, 0, kBlkType);
  uint8_t saved[kChMaxChunk];
  memcpy(saved, at.block + kBlkData, old);
  ChHandle moved;
  auto* data = static_cast<uint8_t*>(ChCreate(type, length, h, &moved));
  memcpy(data, saved, std::min(old, length));
  uint8_t* block = data - kBlkData;
  BlkSet(block, 0, kBlkStatus, uint16_t(kChLockUnit | (status & kChRefMask)));
  ChUnlockMod(data);
  ChChunkFree(ChResolve(h, "ChResize", true));
  return moved;
}

ChHandle ChDup(ChHandle h, ChHandle near) {
  ChAt at = ChResolve(h, "ChDup");
  uint16_t type = BlkGet(at.block, 0, kBlkType);
  uint32_t length = BlkGet(at.block, 0, kBlkSize) - 8u;
  uint8_t saved[kChMaxChunk];
  memcpy(saved, at.block + kBlkData, length);
  ChHandle copy;
  void* data = ChCreate(type, length, near, &copy);
  memcpy(data, saved, length);
  ChUnlockMod(data);
  return copy;
}

uint32_t ChSize(ChHandle h) {
  return BlkGet(ChResolve(h, "ChSize").block, 0, kBlkSize) - 8u;
}

uint16_t ChType(ChHandle h) { return BlkGet(ChResolve(h, "ChType").block, 0, kBlkType); }

uint32_t ChGetRefCount(ChHandle h) {
  return BlkGet(ChResolve(h, "ChGetRefCount").block, 0, kBlkStatus) & kChRefMask;
}

void ChSetRefCount(ChHandle h, uint32_t count) {
  MA_CHECK(ChDebugFlag, count <= kChPermanentRefs, "ChSetRefCount-- count too large");
  ChAt at = ChResolve(h, "ChSetRefCount", true);
  uint16_t status = BlkGet(at.block, 0, kBlkStatus);
  BlkSet(at.block, 0, kBlkStatus, uint16_t((status & ~kChRefMask) | count));
  MarkModified(at.cache);
}

uint32_t ChIncRefCount(ChHandle h) {
  ChAt at = ChResolve(h, "ChIncRefCount", true);
  uint16_t status = BlkGet(at.block, 0, kBlkStatus);
  uint32_t refs = status & kChRefMask;
  if (refs == kChPermanentRefs) return refs;
  BlkSet(at.block, 0, kBlkStatus, uint16_t(status + 1));
  MarkModified(at.cache);
  return refs + 1;
}

uint32_t ChDecRefCount(ChHandle h) {
  ChAt at = ChResolve(h, "ChDecRefCount", true);
  uint16_t status = BlkGet(at.block, 0, kBlkStatus);
  uint32_t refs = status & kChRefMask;
  if (refs == kChPermanentRefs) return refs;
  if (refs == 0) MaAssertFailure("ChDecRefCount-- Reference count is zero");
  BlkSet(at.block, 0, kBlkStatus, uint16_t(status - 1));
  MarkModified(at.cache);
  return refs - 1;
}

bool ChIsLegal(ChHandle h) {
  if (h == 0 || (h & 0xFF) == 0) return false;
  ChPart part = ChPartOf(h);
  if (uint32_t(part) == ChFiConstant()) return false;
  ChPartRec* p = ChPartGet(part);
  if (!p || ChPageOf(h) >= p->pageCount) return false;
  return (ChPte(*p, ChPageOf(h)) & kPteWhere) != kPteFree;
}

bool ChIsInTemp(ChHandle h) { return ChPartOf(h) == kChTransientPart; }

bool ChIsInMaster(ChHandle h) {
  ChPartRec* p = ChPartGet(ChPartOf(h));
  return p && p->file && p->file->master == p->number;
}

bool ChIsCrossLink(ChHandle a, ChHandle b) {
  return ChIsLegal(a) && ChIsLegal(b) && ChGetFile(a) != ChGetFile(b);
}

// ---------------------------------------------------------------------------
// Iteration.

namespace {

ChPart NextOpenPart(ChPart after) {
  for (size_t n = size_t(after) + 1; n < ChState.parts.size(); ++n)
    if (ChState.parts[n]) return ChPart(n);
  return 0;
}

}  // namespace

void ChStartAll(ChIter& it) {
  it = ChIter();
  it.part = NextOpenPart(0);
  it.done = it.part == 0;
}

void ChStartFID(ChIter& it, ChPart part) {
  it = ChIter();
  it.part = part;
  it.onlyPart = part;
  it.done = ChPartGet(part) == nullptr;
}

ChHandle ChNext(ChIter& it) {
  while (!it.done) {
    ChPartRec* p = ChPartGet(it.part);
    if (!p || it.page >= p->pageCount) {
      it.part = it.onlyPart ? 0 : NextOpenPart(it.part);
      it.page = 0;
      it.offset = 0;
      it.done = it.part == 0;
      continue;
    }
    if ((ChPte(*p, it.page) & kPteWhere) == kPteFree) {
      ++it.page;
      it.offset = 0;
      continue;
    }
    const uint8_t* pg = ChCp(ChPgAllocFill(*p, it.page)).data;
    // Walk from the start: blocks may have merged since the last call.
    for (uint32_t off = kPgHeadSize; off < kChPageSize; off += BlkBytes(pg, off)) {
      if (off >= it.offset && BlkGet(pg, off, kBlkType) != 0) {
        it.offset = off + 1;
        return ChHandleMake(it.part, it.page, off);
      }
    }
    ++it.page;
    it.offset = 0;
  }
  return kChNil;
}

void ChStop(ChIter& it) { it.done = true; }

}  // namespace quil
