// The save protocol, as three steps:
//
//   ChSaveFreeze  (main thread) freezes what the save writes: the sorted
//                 changed pages (cache pages marked for the save, transient
//                 pages marked with bit 29), the changed space-map pieces,
//                 the type table and the header; the part starts a new,
//                 empty changed-page list.
//   ChSaveWrite   (the writer) writes the file in the protocol's order:
//                 marker set and header; type table; space-map pieces; the
//                 pages in ascending order with a sync every 15; sync, marker
//                 cleared, sync, header, sync.  It reads only frozen state and
//                 records its progress and first error in the save record.
//   ChSaveFinish  (main thread) releases the frozen state: on success the
//                 written pages are clean and their transient copies freed;
//                 on failure every frozen change becomes pending again.
//
// A crash between the first and the last header write leaves the marker
// set, and the next open refuses the file (status 4).
#include <algorithm>

#include "ChInt.h"
#include "Ma.h"

namespace quil {

void ChSaveFreeze(ChPartRec& p) {
  ChFiRec& f = *p.file;
  ChBgSave& s = f.save;
  s.state = ChSaveState::kActive;
  s.error = 0;
  s.progress = "";

  std::vector<uint32_t> list;
  list.swap(p.changed);
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
  s.pages.clear();
  s.cachePages.clear();
  s.pageData.clear();
  s.transSlots.clear();
  s.inSave.assign(p.pageCount, 0);
  for (uint32_t page : list) {
    if (page >= p.changedBit.size() || !p.changedBit[page]) continue;
    p.changedBit[page] = 0;
    uint32_t entry = ChPte(p, page);
    switch (entry & kPteWhere) {
      case kPteTrans:
        ChPteSet(p, page, entry | kPteSaveBit);
        s.cachePages.push_back(-1);
        s.pageData.push_back(nullptr);
        s.transSlots.push_back(entry & kPteValue);
        break;
      case kPteCache: {
        auto idx = int32_t(entry & kPteValue);
        ChCachePage& cp = ChCp(idx);
        if (cp.flags & kCpMarkedForSave)
          MaAssertFailure("ChBgSaveStart--page already marked for BgSave, duplicate");
        cp.flags = uint16_t((cp.flags & ~kCpModified) | kCpMarkedForSave);
        s.cachePages.push_back(idx);
        s.pageData.push_back(cp.data);
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
    s.inSave[page] = 1;
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
  ChBgSave& s = f.save;
  uint16_t status = 0;
  uint8_t head[kChPageSize];
  s.progress = "start";

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
    s.progress = status == 0 ? done : failed;
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
    const uint8_t* src = s.pageData[i];
    if (s.cachePages[i] < 0) {
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
  s.state = ChSaveState::kComplete;
}

uint16_t ChSaveFinish(ChFiRec& f, ChPartRec& p) {
  ChBgSave& s = f.save;
  bool ok = s.error == 0;
  for (size_t i = 0; i < s.pages.size(); ++i) {
    uint32_t page = s.pages[i];
    uint32_t entry = ChPte(p, page);
    uint32_t where = entry & kPteWhere;
    if (s.cachePages[i] >= 0) {
      ChCachePage& cp = ChCp(s.cachePages[i]);
      cp.flags &= uint16_t(~kCpMarkedForSave);
      if (!ok) {
        cp.flags |= kCpModified;
      } else if (cp.transSlot >= 0 && !(cp.flags & kCpModified)) {
        // The transient copy is now in the file.
        ChTransFree(uint32_t(cp.transSlot));
        cp.transSlot = -1;
      }
    } else if (!ok) {
      // The page stays pending in its slot unless it moved on meanwhile.
      uint32_t slot = s.transSlots[i];
      bool kept = (where == kPteTrans && (entry & kPteValue) == slot) ||
                  (where == kPteCache &&
                   ChCp(int32_t(entry & kPteValue)).transSlot == int32_t(slot));
      if (!kept) ChTransFree(slot);
    } else {
      uint32_t slot = s.transSlots[i];
      if (where == kPteTrans && (entry & kPteValue) == slot) {
        entry = kPteFile;
        ChTransFree(slot);
      } else if (where == kPteCache) {
        ChCachePage& cp = ChCp(int32_t(entry & kPteValue));
        if (cp.transSlot == int32_t(slot) && !(cp.flags & kCpModified)) {
          cp.transSlot = -1;
          ChTransFree(slot);
        } else if (cp.transSlot != int32_t(slot)) {
          ChTransFree(slot);
        }
      } else {
        ChTransFree(slot);  // changed since and written to another slot
      }
    }
    if (!ok) ChPartMarkChanged(p, page);
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
  } else if (s.utChanged) {
    f.types.offset = f.head[kHdUtOffset];
    f.types.stamp = f.head[kHdUtStamp];
  }
  s.pages.clear();
  s.cachePages.clear();
  s.pageData.clear();
  s.transSlots.clear();
  s.inSave.clear();
  s.mapPieces.clear();
  s.mapBytes.clear();
  s.utBytes.clear();
  s.state = ChSaveState::kIdle;
  return s.error;
}

}  // namespace quil
