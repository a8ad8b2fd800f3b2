// The save protocol, as three steps:
//
//   ChSaveFreeze  (main thread) freezes what the save writes: the sorted
//                 changed pages (cache pages marked for the save, private
//                 copies of pages with locked chunks, transient pages marked
//                 with bit 29), the changed space-map pieces, the type table
//                 and the header; the part starts a new, empty changed-page
//                 list.
//   ChSaveWrite   (the writer) writes the file in the protocol's order:
//                 marker set and header; type table; space-map pieces; the
//                 pages in ascending order with a sync every 15; sync, marker
//                 cleared, sync, header, sync.  It reads only frozen state and
//                 records its progress and first error in the save record.
//   ChSaveFinish  (main thread) releases the frozen state: on success the
//                 written pages are clean and their transient copies freed;
//                 on failure every frozen change becomes pending again.
//
// Between freeze and finish the server may go on changing the part (see
// ChSaveSource in ChInt.h): a page changed since the freeze is in the
// part's new changed-page list, which is how ChSaveFinish tells a page that
// the file now holds from one that has moved on.
//
// A crash between the first and the last header write leaves the marker
// set, and the next open refuses the file (status 4).
#include <algorithm>

#include "ChInt.h"
#include "Ma.h"

namespace quil {

namespace {

void FreezePage(ChSaveRec& s, ChPartRec& p, uint32_t page) {
  uint32_t entry = ChPte(p, page);
  switch (entry & kPteWhere) {
    case kPteTrans:
      ChPteSet(p, page, entry | kPteSaveBit);
      s.sources.push_back(ChSaveSource::kTrans);
      s.cachePages.push_back(-1);
      s.pageData.push_back(nullptr);
      s.transSlots.push_back(entry & kPteValue);
      break;
    case kPteCache: {
      auto idx = int32_t(entry & kPteValue);
      ChCachePage& cp = ChCp(idx);
      if (cp.flags & kCpMarkedForSave)
        MaAssertFailure("ChBgSaveStart--page already marked for BgSave, duplicate");
      cp.flags &= uint16_t(~kCpModified);
      if (cp.locks == 0) {
        cp.flags |= kCpMarkedForSave;
        s.sources.push_back(ChSaveSource::kCache);
        s.pageData.push_back(cp.data);
      } else {
        // Pointers into a page with locked chunks must stay valid, so the
        // save takes a copy and the server keeps the page.
        s.copies.push_back(std::make_unique<uint8_t[]>(kChPageSize));
        memcpy(s.copies.back().get(), cp.data, kChPageSize);
        // The page now counts as clean, so an older transient copy of it
        // must not stand in for it when it is evicted.
        if (cp.transSlot >= 0) {
          ChTransFree(uint32_t(cp.transSlot));
          cp.transSlot = -1;
        }
        s.sources.push_back(ChSaveSource::kCopy);
        s.pageData.push_back(s.copies.back().get());
      }
      ChPteSet(p, page, entry | kPteSaveBit);
      s.cachePages.push_back(idx);
      s.transSlots.push_back(0);
      break;
    }
    case kPteFree:
      MaAssertFailure("ChBgSaveStart--page in OpenChanged is empty");
    default:
      MaAssertFailure(
          "ChBgSaveStart--page in OpenChanged is unmodified in the original file");
  }
  s.pages.push_back(page);
}

bool ChangedSinceFreeze(const ChPartRec& p, uint32_t page) {
  return page < p.changedBit.size() && p.changedBit[page];
}

// A page the save took from the cache (and the server has since copied) or
// from a private copy: settles where the page lives now.  After success a
// copy that has not changed since the freeze equals the file; after failure
// the page must be saved again and must not be taken for clean meanwhile.
void SettleCurrent(ChPartRec& p, uint32_t page, bool ok, uint32_t* entry) {
  uint32_t where = *entry & kPteWhere;
  if (where == kPteFree) return;
  if (!ok) {
    if (where == kPteCache) {
      ChCacheMarkModified(int32_t(*entry & kPteValue));
    } else {
      ChPartMarkChanged(p, page);
    }
    return;
  }
  if (ChangedSinceFreeze(p, page)) return;
  if (where == kPteTrans) {
    ChTransFree(*entry & kPteValue);
    *entry = kPteFile;
  } else if (where == kPteCache) {
    ChCachePage& cp = ChCp(int32_t(*entry & kPteValue));
    if (cp.transSlot >= 0 && !(cp.flags & kCpModified)) {
      ChTransFree(uint32_t(cp.transSlot));
      cp.transSlot = -1;
    }
  }
}

// A page the save read from a transient slot.
void SettleTrans(ChPartRec& p, uint32_t page, uint32_t slot, bool ok, uint32_t* entry) {
  uint32_t where = *entry & kPteWhere;
  bool stillThere = where == kPteTrans && (*entry & kPteValue) == slot;
  ChCachePage* cp = where == kPteCache ? &ChCp(int32_t(*entry & kPteValue)) : nullptr;
  bool cachedFromIt = cp && cp->transSlot == int32_t(slot);
  if (!ok) {
    // The page stays pending in its slot unless it moved on meanwhile.
    if (!stillThere && !cachedFromIt) ChTransFree(slot);
    if (where != kPteFree) ChPartMarkChanged(p, page);
    return;
  }
  if (stillThere) {
    ChTransFree(slot);
    *entry = kPteFile;
  } else if (cachedFromIt) {
    if (!(cp->flags & kCpModified)) {
      cp->transSlot = -1;
      ChTransFree(slot);
    }
  } else {
    ChTransFree(slot);  // changed since and written to another slot
  }
}

}  // namespace

void ChSaveFreeze(ChPartRec& p) {
  ChFiRec& f = *p.file;
  ChSaveRec& s = f.save;
  s.state = ChSaveState::kActive;
  s.error = 0;
  s.part = p.number;
  {
    ChSaveGuard guard;
    s.messages.clear();
  }

  std::vector<uint32_t> list;
  list.swap(p.changed);
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
  s.pages.clear();
  s.sources.clear();
  s.cachePages.clear();
  s.pageData.clear();
  s.transSlots.clear();
  s.copies.clear();
  for (uint32_t page : list) {
    if (page >= p.changedBit.size() || !p.changedBit[page]) continue;
    p.changedBit[page] = 0;
    FreezePage(s, p, page);
  }

  s.mapPieces.swap(f.mapChangedList);
  f.mapChangedList.clear();
  std::sort(s.mapPieces.begin(), s.mapPieces.end());
  s.mapBytes.resize(s.mapPieces.size() * kChPageSize);
  for (size_t i = 0; i < s.mapPieces.size(); ++i) {
    f.mapPieceChanged[s.mapPieces[i]] = 0;
    memcpy(s.mapBytes.data() + i * kChPageSize,
           f.map.data() + size_t(s.mapPieces[i]) * kChPageSize, kChPageSize);
  }

  s.utChanged = f.types.modified;
  if (s.utChanged) {
    uint32_t entries;
    s.utBytes = ChFiUtBytes(f, &entries);
    s.utBytes.resize((s.utBytes.size() + kChPageSize - 1) / kChPageSize * kChPageSize,
                     '\0');
    f.head[kHdUtOffset] = entries ? uint32_t(kChUtPos) : 0;
    f.head[kHdUtPages] = uint32_t(s.utBytes.size() / kChPageSize);
    f.head[kHdUtEntries] = entries;
    f.head[kHdUtStamp] = f.head[kHdRevision];
    f.types.modified = false;
  }
  s.utOut = ChFiUtOutMap(f.types);
  memcpy(s.headWords, f.head, sizeof s.headWords);
  s.headWords[kHdSaving] = 0;
  s.revisionCopy = f.head[kHdRevision];
  if (!s.buffer) s.buffer = std::make_unique<uint8_t[]>(kChPageSize + 16);
  if (!s.readBuffer) s.readBuffer = std::make_unique<uint8_t[]>(kChPageSize);
  p.modified = false;
}

void ChSaveWrite(ChFiRec& f) {
  ChSaveRec& s = f.save;
  uint16_t status = 0;
  uint8_t head[kChPageSize];
  ChBgSaveNote(f, "start");

  auto writeHead = [&](uint32_t marker) {
    uint32_t words[kHdWords];
    memcpy(words, s.headWords, sizeof words);
    words[kHdSaving] = marker;
    ChFiHeadXlateOut(words, s.revisionCopy, head);
    ChSaveGuard guard(true);
    ChFiWriteHeadPiece(f, head, status);
  };

  // Records the outcome of a step; false when it failed.
  auto step = [&](const char* done, const char* failed) {
    ChBgSaveNote(f, status == 0 ? done : failed);
    return status == 0;
  };

  // 1. Marker set, header written (the file extended to the first page).
  if (FiGetEOF(f.file) < kChFirstDataPos) {
    ChSaveGuard guard(true);
    status = FiSetLength(f.file, kChFirstDataPos);
  }
  if (status == 0) writeHead(1);
  bool going = step("write head ok", "error in write head");

  // 2. Type table.
  if (going && s.utChanged) {
    {
      ChSaveGuard guard(true);
      FiWrite(f.file, s.utBytes.data(), kChUtPos, int64_t(s.utBytes.size()), status);
    }
    going = step("write ut ok", "error in write ut");
  }

  // 3. Space-map pieces.
  for (size_t i = 0; going && i < s.mapPieces.size(); ++i) {
    int64_t pos = kChMapPos + int64_t(s.mapPieces[i]) * kChPageSize;
    if (pos >= kChFirstDataPos)
      MaAssertFailure("ChFiWriteMap--space map change past table");
    ChSaveGuard guard(true);
    FiWrite(f.file, s.mapBytes.data() + i * kChPageSize, pos, kChPageSize, status);
  }
  if (going) going = step("write map ok", "error in write map");

  // 4. Pages, in ascending order, a sync every 15.
  uint8_t* out = s.buffer.get();
  for (size_t i = 0; going && status == 0 && i < s.pages.size(); ++i) {
    ChBgSaveHookPage(s.pages[i]);
    const uint8_t* src = s.pageData[i];
    if (s.sources[i] == ChSaveSource::kTrans) {
      status = ChTransRead(s.transSlots[i], s.readBuffer.get());
      src = s.readBuffer.get();
      if (status != 0) break;
    }
    uint32_t at = 0;
    uint16_t type = 0;
    int r = ChFiUtXlateOut(src, out, s.pages[i], s.headWords[kHdRevision], s.utOut,
                           &at, &type);
    if (r == kChXlateNoTemplate)
      MaAssertFailure("ChUtXlateOut-- Missing relocation template, ID = " +
                      std::to_string(type));
    if (r == kChXlateBadBlock)
      MaAssertFailure("ChUtXlateOut-- page " + std::to_string(s.pages[i]) +
                      ", offset " + std::to_string(at) + ": " + ChXlateResultText(r));
    if (r != kUtOk)
      UtXlateHalt(r, "ChUtXlateOut-- page " + std::to_string(s.pages[i]) +
                         ", offset " + std::to_string(at) + ": ");
    status = ChFiWritePgX(f, out, s.pages[i], ChFiPagePos(s.pages[i]));
    if (status == 0 && (i + 1) % kChSyncEvery == 0) {
      ChSaveGuard guard(true);
      status = FiSync(f.file);
    }
  }
  if (going) going = step("page writes done", "error in write pages");

  // 5. Sync, marker cleared, header (with its syncs).
  if (going) {
    {
      ChSaveGuard guard(true);
      status = FiSync(f.file);
    }
    if (status == 0) writeHead(0);
    step("head write done", "error in write head");
  }
  s.error = status;
}

uint16_t ChSaveFinish(ChFiRec& f, ChPartRec& p) {
  ChSaveRec& s = f.save;
  bool ok = s.error == 0;
  for (size_t i = 0; i < s.pages.size(); ++i) {
    uint32_t page = s.pages[i];
    uint32_t entry = ChPte(p, page);
    switch (s.sources[i]) {
      case ChSaveSource::kTrans:
        SettleTrans(p, page, s.transSlots[i], ok, &entry);
        break;
      case ChSaveSource::kCopy:
        SettleCurrent(p, page, ok, &entry);
        break;
      case ChSaveSource::kCache: {
        int32_t idx = s.cachePages[i];
        ChCachePage& cp = ChCp(idx);
        if (cp.flags & kCpDetached) {
          // The server works on a copy; the frozen original goes.
          if (cp.transSlot >= 0) ChTransFree(uint32_t(cp.transSlot));
          ChCacheRelease(idx);
          SettleCurrent(p, page, ok, &entry);
        } else {
          cp.flags &= uint16_t(~kCpMarkedForSave);
          if (!ok) {
            ChCacheMarkModified(idx);
          } else if (cp.transSlot >= 0 && !(cp.flags & kCpModified)) {
            // The transient copy is now in the file.
            ChTransFree(uint32_t(cp.transSlot));
            cp.transSlot = -1;
          }
        }
        break;
      }
    }
    ChPteSet(p, page, entry & ~kPteSaveBit);
  }
  if (!ok) {
    for (uint32_t piece : s.mapPieces) {
      if (!f.mapPieceChanged[piece]) {
        f.mapPieceChanged[piece] = 1;
        f.mapChangedList.push_back(piece);
      }
    }
    if (s.utChanged) f.types.modified = true;
    p.modified = true;
  } else {
    if (s.utChanged) {
      f.types.offset = f.head[kHdUtOffset];
      f.types.stamp = f.head[kHdUtStamp];
    }
    p.revision = s.revision;
    p.saveDate = s.date;
    p.saveTime = s.time;
  }
  s.pages.clear();
  s.sources.clear();
  s.cachePages.clear();
  s.pageData.clear();
  s.transSlots.clear();
  s.copies.clear();
  s.mapPieces.clear();
  s.mapBytes.clear();
  s.utBytes.clear();
  s.state = ChSaveState::kIdle;
  return s.error;
}

}  // namespace quil
