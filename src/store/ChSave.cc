// The save protocol, as three steps:
//
//   ChSaveFreeze  (main thread) freezes what the save writes: the sorted
//                 changed pages (cache pages marked for the save, private
//                 copies of pages with locked chunks, transient pages marked
//                 with bit 29), the changed space-map pieces, the type table
//                 and the header; the part starts a new, empty changed-page
//                 list.
//   ChSaveWrite   (the writer) first journals what the save will overwrite
//                 in place (ChJnlBegin), then writes the file in the
//                 protocol's order: marker set and header; type table;
//                 space-map pieces; the pages in ascending order with a sync
//                 every 15; sync, marker cleared, sync, header, sync; and
//                 empties the journal.  A failure after the journal rolls the
//                 image back to the last complete save (ChJnlRollback).  It
//                 reads only frozen state and records its progress and first
//                 error in the save record.
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
// set with a complete journal beside the file; the next open writes the
// journal back (ChJnlRecover) and finds the last complete save.
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


// Empties the frozen page lists of s.
void ClearPages(ChSaveRec& s) {
  s.pages.clear();
  s.sources.clear();
  s.cachePages.clear();
  s.pageData.clear();
  s.transSlots.clear();
  s.copies.clear();
}

// The changed space-map pieces, the type table when it changed, and the
// header words, into s; f starts new lists of changes.
void FreezeHead(ChFiRec& f, ChSaveRec& s) {
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
}

// After a failed write of s: its space-map pieces and type table are
// pending again.
void UnfreezeHead(ChFiRec& f, const ChSaveRec& s) {
  for (uint32_t piece : s.mapPieces) {
    if (!f.mapPieceChanged[piece]) {
      f.mapPieceChanged[piece] = 1;
      f.mapChangedList.push_back(piece);
    }
  }
  if (s.utChanged) f.types.modified = true;
}

// The positions of the image that writing s overwrites in place, in
// ascending order: the header, the space-map pieces, the type table, and
// the data pages that the last complete save holds (a page free in the old
// space map holds nothing worth restoring).  The old space-map pieces are
// read from the file.
uint16_t InPlacePositions(ChFiRec& f, const ChSaveRec& s, std::vector<int64_t>* out) {
  int64_t oldLength = FiGetEOF(f.file);
  out->clear();
  out->push_back(0);
  std::vector<uint8_t> oldMap(s.mapPieces.size() * kChPageSize, 0);
  for (size_t i = 0; i < s.mapPieces.size(); ++i) {
    int64_t pos = kChMapPos + int64_t(s.mapPieces[i]) * kChPageSize;
    if (pos >= oldLength) continue;
    out->push_back(pos);
    ChSaveGuard guard(true);
    uint16_t status = ChFiReadAt(f, oldMap.data() + i * kChPageSize, pos, kChPageSize);
    if (status != 0) return status;
  }
  if (s.utChanged) {
    for (size_t at = 0; at < s.utBytes.size(); at += kChPageSize)
      out->push_back(kChUtPos + int64_t(at));
  }
  for (uint32_t page : s.pages) {
    int64_t pos = ChFiPagePos(page);
    if (pos >= oldLength) break;
    uint32_t disk = kChHeaderPages + page;
    uint32_t piece = disk / 8 / kChPageSize;
    auto it = std::lower_bound(s.mapPieces.begin(), s.mapPieces.end(), piece);
    if (it != s.mapPieces.end() && *it == piece) {
      size_t byte = size_t(it - s.mapPieces.begin()) * kChPageSize + (disk / 8) % kChPageSize;
      if (!((oldMap[byte] >> (disk % 8)) & 1)) continue;
    }
    out->push_back(pos);
  }
  return 0;
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
  ClearPages(s);
  for (uint32_t page : list) {
    if (page >= p.changedBit.size() || !p.changedBit[page]) continue;
    p.changedBit[page] = 0;
    FreezePage(s, p, page);
  }

  FreezeHead(f, s);
  p.modified = false;
}

namespace {

// Writes what s froze, in the protocol's order, behind the journal.  The
// progress messages are those of the save ("start" ... "head write done",
// or the "error in ..." that ended it); a failure of the journal, its
// emptying or a rollback adds its own.  Returns 0 or the first failing
// status.
uint16_t WriteFrozen(ChFiRec& f, ChSaveRec& s) {
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

  // 0. The journal of what the steps below overwrite in place.  Until it is
  // complete and synced the image is untouched.
  std::vector<int64_t> positions;
  status = InPlacePositions(f, s, &positions);
  if (status == 0) status = ChJnlBegin(f, positions, s.headWords[kHdRevision]);
  if (status != 0) {
    ChBgSaveNote(f, "error in write journal");
    return status;
  }

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
      status = FiWriteAt(f.file, s.utBytes.data(), kChUtPos, int64_t(s.utBytes.size()));
    }
    going = step("write ut ok", "error in write ut");
  }

  // 3. Space-map pieces.
  for (size_t i = 0; going && status == 0 && i < s.mapPieces.size(); ++i) {
    int64_t pos = kChMapPos + int64_t(s.mapPieces[i]) * kChPageSize;
    if (pos >= kChFirstDataPos)
      MaAssertFailure("ChFiWriteMap--space map change past table");
    ChSaveGuard guard(true);
    status = FiWriteAt(f.file, s.mapBytes.data() + i * kChPageSize, pos, kChPageSize);
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

  // 6. The image is complete and durable: the journal is stale now.  Or the
  // save failed after the journal: the image goes back to the last
  // complete save, or, when that fails too, the file keeps its hot journal
  // and stays in its error state until a rollback succeeds.
  if (status == 0) {
    if (ChJnlCommit(f) != 0) ChBgSaveNote(f, "error in empty journal");
  } else if (ChJnlRollback(f) == 0) {
    ChBgSaveNote(f, "rolled back");
  } else {
    ChBgSaveNote(f, "error in roll back");
  }
  return status;
}

}  // namespace

void ChSaveWrite(ChFiRec& f) { f.save.error = WriteFrozen(f, f.save); }

uint16_t ChSaveFlush(ChFiRec& f) {
  if (f.journal.rollbackPending) {
    uint16_t status = ChJnlRollback(f);
    if (status != 0) return status;
  }
  if (!f.types.modified && f.mapChangedList.empty()) return 0;
  ChSaveRec s;
  FreezeHead(f, s);
  uint16_t status = WriteFrozen(f, s);
  if (status != 0) {
    UnfreezeHead(f, s);
  } else if (s.utChanged) {
    f.types.offset = f.head[kHdUtOffset];
    f.types.stamp = f.head[kHdUtStamp];
  }
  return status;
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
    UnfreezeHead(f, s);
    p.modified = true;
  } else {
    if (s.utChanged) {
      f.types.offset = f.head[kHdUtOffset];
      f.types.stamp = f.head[kHdUtStamp];
    }
    f.diskRevision = s.headWords[kHdRevision];
    p.revision = s.revision;
    p.saveDate = s.date;
    p.saveTime = s.time;
  }
  ClearPages(s);
  s.mapPieces.clear();
  s.mapBytes.clear();
  s.utBytes.clear();
  s.state = ChSaveState::kIdle;
  return s.error;
}

}  // namespace quil
