// The memory cache of pages and the transient file behind it.
//
// Cache pages are 4,096-byte, 4,096-aligned buffers that never move, so a
// locked chunk's pointer stays valid; a page's cache index is kept in its
// number word, which finds the descriptor from any pointer into the page.
// Allocated pages are kept in a least-recently-used list (head: most
// recent).  Taking a page for a load evicts the least recently used page
// that is neither locked nor frozen for a save: a changed page is first
// written to the transient file ("flush to trans"), whose slot then stands
// in the page-table entry.  When every page is locked the cache grows.
#include <cstdlib>

#include "ChInt.h"
#include "Ex.h"
#include "Ma.h"

namespace quil {

namespace {

void LruUnlink(int32_t idx) {
  ChCachePage& cp = ChCp(idx);
  if (cp.prev >= 0) ChCp(cp.prev).next = cp.next; else ChState.lruHead = cp.next;
  if (cp.next >= 0) ChCp(cp.next).prev = cp.prev; else ChState.lruTail = cp.prev;
  cp.prev = cp.next = -1;
}

void LruPushHead(int32_t idx) {
  ChCachePage& cp = ChCp(idx);
  cp.prev = -1;
  cp.next = ChState.lruHead;
  if (ChState.lruHead >= 0) ChCp(ChState.lruHead).prev = idx;
  ChState.lruHead = idx;
  if (ChState.lruTail < 0) ChState.lruTail = idx;
}

bool CacheExtend(uint32_t pages) {
  void* mem = std::aligned_alloc(kChPageSize, size_t(pages) * kChPageSize);
  if (!mem) return false;
  memset(mem, 0, size_t(pages) * kChPageSize);
  ChState.cacheBlocks.emplace_back(static_cast<uint8_t*>(mem), std::free);
  uint8_t* base = ChState.cacheBlocks.back().get();
  for (uint32_t i = 0; i < pages; ++i) {
    auto idx = int32_t(ChState.cache.size());
    ChCachePage cp;
    cp.data = base + size_t(i) * kChPageSize;
    cp.next = ChState.freeCache;
    ChState.freeCache = idx;
    St32(cp.data + kPgNumber, uint32_t(idx));
    ChState.cache.push_back(cp);
  }
  return true;
}

uint32_t TransAlloc() {
  if (!ChState.transFree.empty()) {
    uint32_t slot = ChState.transFree.back();
    ChState.transFree.pop_back();
    return slot;
  }
  if (ChState.transNext >= kPteValue) ExRaise(kEcTransientFull);
  return ChState.transNext++;
}

// Writes a page out of the cache and points its entry at where it now is.
void CacheEvict(int32_t idx) {
  ChCachePage& cp = ChCp(idx);
  ChPartRec* p = ChPartGet(cp.part);
  MA_CHECK(ChDebugFlag, p != nullptr, "ChCacheTake-- cache page of no part");
  uint32_t old = ChPte(*p, cp.page);
  // A page of the save in progress is not in the database file yet, so it
  // cannot be dropped for the file's copy even when unchanged.
  bool mustWrite = (cp.flags & kCpModified) ||
                   (cp.transSlot < 0 && (!p->file || (old & kPteSaveBit)));
  if (mustWrite) {
    // A slot that a save in progress reads from is left to it (and freed
    // when the save finishes); the changed page takes a new one.
    if (cp.transSlot >= 0 && (old & kPteSaveBit) &&
        ChBgSaveOwnsSlot(*p, cp.page, uint32_t(cp.transSlot)))
      cp.transSlot = -1;
    uint32_t slot = cp.transSlot >= 0 ? uint32_t(cp.transSlot) : TransAlloc();
    uint16_t status;
    {
      ChSaveGuard guard(true);
      status = FiWriteAt(ChState.trans, cp.data, int64_t(slot) * kChPageSize, kChPageSize);
    }
    if (status != 0) {
      if (cp.transSlot < 0) ChTransFree(slot);
      ExRaise(status);
    }
    cp.transSlot = int32_t(slot);
    cp.flags &= uint16_t(~kCpModified);
  }
  uint32_t entry = cp.transSlot >= 0 ? kPteTrans | uint32_t(cp.transSlot) : kPteFile;
  ChPteSet(*p, cp.page, entry | (old & kPteSaveBit));
  {
    ChSaveGuard guard;
    LruUnlink(idx);
  }
  cp.flags = 0;
  cp.part = 0;
  cp.transSlot = -1;
}

}  // namespace

uint16_t ChCacheInit(uint32_t pages) {
  ChState.cache.clear();
  ChState.cacheBlocks.clear();
  ChState.lruHead = ChState.lruTail = ChState.freeCache = -1;
  ChState.cache.reserve(pages);
  if (pages > 0 && !CacheExtend(pages)) return kExHostMemory;
  ChState.scratch = std::make_unique<uint8_t[]>(kChPageSize);
  ChState.transFree.clear();
  ChState.transNext = 0;
  return FiCreateUnique("", "AU000000", ChState.trans);
}

void ChCacheTerm() {
  if (ChState.trans.IsOpen()) {
    std::string path = ChState.trans.Path();
    (void)FiClose(ChState.trans);
    (void)FiDelete(path);
  }
  ChState.cache.clear();
  ChState.cacheBlocks.clear();
  ChState.lruHead = ChState.lruTail = ChState.freeCache = -1;
  ChState.scratch.reset();
}

int32_t ChCacheTake() {
  if (ChState.freeCache < 0) {
    int32_t victim = ChState.lruTail;
    while (victim >= 0) {
      const ChCachePage& cp = ChCp(victim);
      if (cp.locks == 0 && !(cp.flags & kCpMarkedForSave)) break;
      victim = cp.prev;
    }
    if (victim >= 0) {
      CacheEvict(victim);
      return victim;
    }
    if (!CacheExtend(std::max<uint32_t>(16, uint32_t(ChState.cache.size() / 8))))
      ExRaise(kExNoMemory);
  }
  int32_t idx = ChState.freeCache;
  ChState.freeCache = ChCp(idx).next;
  ChCp(idx).next = -1;
  return idx;
}

void ChCacheRelease(int32_t idx) {
  ChCachePage& cp = ChCp(idx);
  if (cp.flags & kCpAllocated) {
    ChSaveGuard guard;
    LruUnlink(idx);
  }
  cp.flags = 0;
  cp.part = 0;
  cp.locks = 0;
  cp.transSlot = -1;
  cp.next = ChState.freeCache;
  ChState.freeCache = idx;
}

int32_t ChBgSaveSwitchCp(int32_t idx) {
  if (!(ChCp(idx).flags & kCpMarkedForSave)) return idx;
  // The writer goes on with the frozen page; the server changes a copy.
  int32_t copy = ChCacheTake();  // may grow the cache: no references before
  ChCachePage& from = ChCp(idx);
  ChCachePage& to = ChCp(copy);
  ChPartRec* p = ChPartGet(from.part);
  MA_CHECK(ChDebugFlag, p != nullptr && from.locks == 0,
           "ChBgSaveSwitchCp-- frozen page of no part or locked");
  memcpy(to.data, from.data, kChPageSize);
  uint32_t page = from.page;
  {
    ChSaveGuard guard;
    LruUnlink(idx);
    from.flags = kCpMarkedForSave | kCpDetached;
  }
  ChCacheInstall(copy, *p, page, kPteSaveBit);
  return copy;
}

void ChCacheTouch(int32_t idx) {
  if (idx == ChState.lruHead) return;
  ChSaveGuard guard;
  LruUnlink(idx);
  LruPushHead(idx);
}

void ChCacheMarkModified(int32_t idx) {
  ChCachePage& cp = ChCp(idx);
  cp.flags |= kCpModified;
  ChPartRec* p = ChPartGet(cp.part);
  ChPartMarkChanged(*p, cp.page);
}

void ChTransFree(uint32_t slot) { ChState.transFree.push_back(slot); }

uint16_t ChTransRead(uint32_t slot, uint8_t* buf) {
  ChSaveGuard guard(true);
  return FiReadAt(ChState.trans, buf, int64_t(slot) * kChPageSize, kChPageSize);
}

int32_t ChPgAllocFill(ChPartRec& p, uint32_t page) {
  uint32_t entry = ChPte(p, page);
  uint32_t where = entry & kPteWhere;
  if (where == kPteCache) return int32_t(entry & kPteValue);
  if (where == kPteFree || (where == kPteFile && !p.file))
    MaAssertFailure("ChPgAllocFill-- page not in original or temp file");
  int32_t idx = ChCacheTake();
  ChCachePage& cp = ChCp(idx);
  uint16_t status;
  if (where == kPteTrans) {
    status = ChTransRead(entry & kPteValue, cp.data);
    if (status == 0) cp.transSlot = int32_t(entry & kPteValue);
  } else {
    status = ChFiReadPgX(*p.file, ChState.scratch.get(), page,
                         ChFiPagePos(page), ChFixAllPages);
    if (status == 0) {
      uint32_t at = 0;
      int r = ChFiUtXlateIn(ChState.scratch.get(), cp.data, p.number,
                            p.file->types, &at);
      std::string where = "ChPgAllocFill-- page " + std::to_string(page) + " of " +
                          p.file->path;
      if (r != kUtOk) {
        where += ", offset " + std::to_string(at) + ": ";
        if (ChFixAllPages) {
          status = kEcBadPage;
        } else if (r >= kChXlateNoTemplate) {
          MaAssertFailure(where + ChXlateResultText(r));
        } else {
          UtXlateHalt(r, where);
        }
      } else {
        // The page header and the free-block tree come from the disk too:
        // they are checked before anything follows them.
        std::string why;
        if (!ChPgVerify(cp.data, true, &why)) {
          if (!ChFixAllPages) MaAssertFailure(where + ": " + why.substr(0, why.find('\n')));
          status = kEcBadPage;
        }
      }
    }
  }
  if (status != 0) {
    ChCacheRelease(idx);
    p.catast = true;
    ExRaise(status);
  }
  ChCacheInstall(idx, p, page, entry & kPteSaveBit);
  return idx;
}

void ChCacheInstall(int32_t idx, ChPartRec& p, uint32_t page, uint32_t saveBit) {
  ChCachePage& cp = ChCp(idx);
  St32(cp.data + kPgNumber, uint32_t(idx));
  cp.page = page;
  cp.part = p.number;
  cp.flags = kCpAllocated;
  cp.locks = 0;
  ChPteSet(p, page, kPteCache | uint32_t(idx) | saveBit);
  ChSaveGuard guard;
  LruPushHead(idx);
}

void ChCacheDropPart(ChPartRec& p) {
  for (size_t i = 0; i < ChState.cache.size(); ++i) {
    ChCachePage& cp = ChState.cache[i];
    if (!(cp.flags & kCpAllocated) || cp.part != p.number) continue;
    if (cp.transSlot >= 0) ChTransFree(uint32_t(cp.transSlot));
    ChCacheRelease(int32_t(i));
  }
  for (uint32_t page = 0; page < p.pageCount; ++page) {
    uint32_t entry = ChPte(p, page);
    if ((entry & kPteWhere) == kPteTrans) ChTransFree(entry & kPteValue);
  }
}

}  // namespace quil
