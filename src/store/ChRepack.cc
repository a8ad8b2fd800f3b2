// Repack: a dense copy of a part's database file, taken piece by piece from
// the RAM queue like a backup (it holds the same process-wide slot).
//
// Phase 1, the pieces (ChRepackDoPiece, every 100 ms): the header region
// (header, space map, type table: the first 593,920 bytes) is copied
// unchanged; then the data pages of the file are read 16 KiB at a time.
// Every page that the space map of the file (as it was when the repack
// started) says is allocated and that carries its own page number is
// checked (FixupPage), converted to memory form, and its chunks are packed
// one after another into new pages (ChRepackStartPage, ChRepackAddCh,
// ChRepackStopPage), which are written to the destination in ascending
// order from page 0.  Each move is entered in the map from old handles to
// new ones: an integer B-tree in the transient part, with a repack cache in
// front of it (400 bytes per page of the file, a bucket of moves per old
// page).  The part information chunk, the first chunk of page 0, lands at
// the same place in the new page 0.
//
// Phase 2, the fixup (ChRepackFixup): every new page is read back and the
// handles inside its chunks (the fields their layout templates name) are
// rewritten through the map; the part information gets the new page count.
// Finally the space map of the destination is rewritten for its pages.
//
// The roll-forward log must be enabled before a repack; the caller checks.
#include <algorithm>

#include "Bt.h"
#include "ChInt.h"
#include "Ma.h"
#include "Qu.h"

namespace quil {

namespace {

constexpr int32_t kRepackPieceMs = 100;
constexpr int64_t kRepackBufBytes = 16384;
constexpr int kRepackReadsPerPiece = 8;  // 128 KiB of pages per piece
constexpr size_t kRepackCachePerPage = 400;
constexpr uint32_t kPartInfoExtraWord = 6;
constexpr uint32_t kPartInfoPageCountWord = 7;

struct Move {
  uint32_t from;
  uint32_t to;
};

struct RepackRec {
  ChPart part = 0;
  uint32_t revision = 0;
  std::vector<uint8_t> map;       // the space map as the repack began
  uint32_t oldPages = 0;          // data pages the snapshot may hold
  uint32_t nextOld = 0;           // next old page to read
  bool headerCopied = false;
  bool fixup = false;
  uint32_t nextFix = 0;           // next new page to fix
  std::vector<uint8_t> buffer;    // 16 KiB of file pages
  std::unique_ptr<uint8_t[]> fixed;  // one old page, repaired
  std::unique_ptr<uint8_t[]> mem; // one page in memory form
  std::unique_ptr<uint8_t[]> out; // one page in file form
  std::unique_ptr<uint8_t[]> page;  // the new page being filled
  uint32_t newPages = 0;          // new pages written (the one filling aside)
  bool filling = false;
  ChHandle tree = 0;              // old handle -> new handle
  // The repack cache: per old page a bucket of moves.
  std::vector<Move> cache;
  std::vector<uint16_t> cacheCount;
  size_t perPage = 0;
  uint64_t moves = 0, cached = 0;
  uint32_t damaged = 0, unmapped = 0;
  std::vector<uint16_t> utOut;
  uint16_t startError = 0;        // reading the header or space map
};

RepackRec& Rec(ChCopyJob& j) { return *static_cast<RepackRec*>(j.state.get()); }

// Progress in pages: the old file, then the new pages (estimated as the old
// data pages until the fixup starts).
void Progress(ChCopyJob& j) {
  RepackRec& r = Rec(j);
  uint32_t secondPhase = r.fixup ? r.newPages : r.oldPages;
  uint32_t done = (r.headerCopied ? kChHeaderPages : 0) + r.nextOld + (r.fixup ? r.nextFix : 0);
  j.total = int64_t(kChHeaderPages + r.oldPages + secondPhase) * kChPageSize;
  j.done = int64_t(done) * kChPageSize;
}

bool MapGet(const std::vector<uint8_t>& map, uint32_t diskPage) {
  size_t byte = diskPage / 8;
  return byte < map.size() && (map[byte] >> (diskPage % 8)) & 1;
}

void AllocCache(RepackRec& r) {
  size_t bytes = size_t(std::max<uint32_t>(r.oldPages, 1)) * kRepackCachePerPage;
  for (;;) {
    try {
      r.perPage = bytes / std::max<uint32_t>(r.oldPages, 1) / sizeof(Move);
      r.cache.resize(r.perPage * r.oldPages);
      r.cacheCount.assign(r.oldPages, 0);
      return;
    } catch (const std::bad_alloc&) {
      bytes = bytes * 2 / 3;
      r.cache.clear();
    }
  }
}

void MapAdd(RepackRec& r, ChHandle from, ChHandle to) {
  Bti1DbSet(r.tree, from, to);
  ++r.moves;
  uint32_t page = ChPageOf(from);
  if (page < r.oldPages && r.cacheCount[page] < r.perPage) {
    r.cache[page * r.perPage + r.cacheCount[page]++] = {from, to};
    ++r.cached;
  }
}

bool MapLookup(RepackRec& r, ChHandle from, ChHandle* to) {
  uint32_t page = ChPageOf(from);
  if (page < r.oldPages) {
    const Move* bucket = r.cache.data() + page * r.perPage;
    for (uint16_t i = 0; i < r.cacheCount[page]; ++i) {
      if (bucket[i].from == from) {
        *to = bucket[i].to;
        return true;
      }
    }
  }
  uint32_t word;
  if (!Bti1DbLookup(r.tree, from, &word)) return false;
  *to = word;
  return true;
}

uint16_t WritePage(ChCopyJob& j, uint32_t page, const uint8_t* mem) {
  RepackRec& r = Rec(j);
  uint32_t at = 0;
  uint16_t type = 0;
  int result = ChFiUtXlateOut(mem, r.out.get(), page, r.revision, r.utOut, &at, &type);
  if (result != kUtOk)
    MaAssertFailure("ChRepack-- page " + std::to_string(page) + ", offset " +
                    std::to_string(at) + ": " + ChXlateResultText(result));
  uint16_t status;
  FiWrite(j.dest, r.out.get(), ChFiPagePos(page), kChPageSize, status);
  return status;
}

void ChRepackStartPage(RepackRec& r) {
  St32(r.page.get() + kPgNumber, 0);
  ChPgInitEmpty(r.page.get(), kChMasterPartId);
  r.filling = true;
}

uint16_t ChRepackStopPage(ChCopyJob& j) {
  RepackRec& r = Rec(j);
  r.filling = false;
  return WritePage(j, r.newPages++, r.page.get());
}

// Packs the chunk of the block at off of the old page (memory form) into
// the new page, starting another when it is full, and enters the move.
uint16_t ChRepackAddCh(ChCopyJob& j, const uint8_t* old, uint32_t oldPage, uint32_t off) {
  RepackRec& r = Rec(j);
  uint32_t length = BlkGet(old, off, kBlkSize) - 8u;
  uint16_t status = 0;
  uint32_t at = r.filling ? ChPgAlloc(r.page.get(), length) : 0;
  if (at == 0) {
    if (r.filling) status = ChRepackStopPage(j);
    if (status != 0) return status;
    ChRepackStartPage(r);
    at = ChPgAlloc(r.page.get(), length);
  }
  uint8_t* pg = r.page.get();
  BlkSet(pg, at, kBlkType, BlkGet(old, off, kBlkType));
  BlkSet(pg, at, kBlkStatus, uint16_t(BlkGet(old, off, kBlkStatus) & kChRefMask));
  memcpy(pg + at + kBlkData, old + off + kBlkData, length);
  if (oldPage == 0 && off == kPgHeadSize)
    MA_CHECK(ChDebugFlag, r.newPages == 0 && at == kPgHeadSize,
             "ChRepackAddCh-- part information not at its place");
  MapAdd(r, ChHandleMake(r.part, oldPage, off), ChHandleMake(r.part, r.newPages, at));
  return 0;
}

// Repairs the block chain of a file-form page: where it first goes wrong,
// the rest of the page becomes one free block, so that the chunks before
// the damage are kept.  Returns that offset, or kChPageSize when the page
// is whole.
uint32_t FixupPage(uint8_t* pg) {
  for (uint32_t off = kPgHeadSize; off < kChPageSize;) {
    uint16_t size = LdBe16(pg + off + kBlkSize);
    uint16_t type = LdBe16(pg + off + kBlkType);
    uint32_t bytes = type == 0 ? size : ChRound16(size);
    if (bytes < 16 || bytes % 16 || off + bytes > kChPageSize || (type != 0 && size < 8)) {
      memset(pg + off + kBlkSize, 0, kChPageSize - off - kBlkSize);
      StBe16(pg + off + kBlkSize, uint16_t(kChPageSize - off));
      return off;
    }
    off += bytes;
  }
  return kChPageSize;
}

// One old page: repaired, into memory form and packed.
uint16_t RepackOldPage(ChCopyJob& j, const uint8_t* file, uint32_t page) {
  RepackRec& r = Rec(j);
  memcpy(r.fixed.get(), file, kChPageSize);
  uint32_t good = FixupPage(r.fixed.get());
  uint32_t at = 0;
  int result = ChFiUtXlateIn(r.fixed.get(), r.mem.get(), r.part, ChPartGet(r.part)->file->types, &at);
  if (good != kChPageSize || result != kUtOk) {
    ++r.damaged;
    ChRecordLog("* Repack page " + std::to_string(page) + " damaged at offset " +
                std::to_string(good != kChPageSize ? good : at));
    if (result != kUtOk) return 0;  // nothing of it can be read
  }
  const uint8_t* mem = r.mem.get();
  for (uint32_t off = kPgHeadSize; off < kChPageSize; off += BlkBytes(mem, off)) {
    if (BlkGet(mem, off, kBlkType) == 0) continue;
    uint16_t status = ChRepackAddCh(j, mem, page, off);
    if (status != 0) return status;
  }
  return 0;
}

uint32_t Remap(uint32_t value, UtDir, const void* arg) {
  auto& r = *static_cast<RepackRec*>(const_cast<void*>(arg));
  if (value == 0 || value == kChNil || (value & 0xFF) == 0 || ChPartOf(value) != r.part)
    return value;
  ChHandle to;
  if (MapLookup(r, value, &to)) return to;
  ++r.unmapped;
  return value;
}

// Phase 2: rewrites the handles of one new page.
uint16_t ChRepackFixup(ChCopyJob& j, uint32_t page) {
  RepackRec& r = Rec(j);
  uint16_t status;
  int64_t got = FiRead(j.dest, r.out.get(), ChFiPagePos(page), kChPageSize, status);
  if (status == 0 && got != int64_t(kChPageSize)) status = kFiStatusEof;
  if (status != 0) return status;
  uint32_t at = 0;
  ChFiRec* f = ChPartGet(r.part)->file;
  if (ChFiUtXlateIn(r.out.get(), r.page.get(), r.part, f->types, &at) != kUtOk)
    MaAssertFailure("ChRepackFixup-- new page " + std::to_string(page) + " unreadable");
  uint8_t* pg = r.page.get();
  UtXlateOps ops;
  ops.handleXfm = Remap;
  ops.arg = &r;
  for (uint32_t off = kPgHeadSize; off < kChPageSize; off += BlkBytes(pg, off)) {
    uint16_t type = BlkGet(pg, off, kBlkType);
    if (type == 0) continue;
    const std::string* layout = UtLayoutOf(type);
    uint32_t length = BlkGet(pg, off, kBlkSize) - 8u;
    std::vector<uint8_t> copy(pg + off + kBlkData, pg + off + kBlkData + length);
    int result = UtXlateChunk(*layout, copy.data(), pg + off + kBlkData, length, UtDir::kOut, ops);
    if (result != kUtOk) UtXlateHalt(result, "ChRepackFixup-- ");
    if (page == 0 && off == kPgHeadSize) {
      uint8_t* info = pg + off + kBlkData;
      St32(info + 4 * kPartInfoPageCountWord, r.newPages);
      // The further root word is a plain integer to the template but holds a
      // handle in file form (the shared-string table): move it too.
      uint32_t extra = Ld32(info + 4 * kPartInfoExtraWord);
      ChHandle moved = Remap(ChHandleFromFile(extra, r.part), UtDir::kOut, &r);
      St32(info + 4 * kPartInfoExtraWord, ChHandleToFile(moved));
    }
  }
  return WritePage(j, page, pg);
}

uint16_t WriteSpaceMap(ChCopyJob& j) {
  RepackRec& r = Rec(j);
  std::vector<uint8_t> map(r.map.size(), 0);
  for (uint32_t p = 0; p < kChHeaderPages + r.newPages; ++p)
    map[p / 8] = uint8_t(map[p / 8] | (1u << (p % 8)));
  uint16_t status;
  FiWrite(j.dest, map.data(), kChMapPos, int64_t(map.size()), status);
  return status;
}

void RepackStart(ChCopyJob& j) {
  RepackRec& r = Rec(j);
  ChFiRec* f = ChPartGet(r.part)->file;
  // The space map and revision of the file as it is on disk.
  uint8_t head[kChPageSize] = {};
  uint16_t status;
  {
    ChSaveGuard guard(true);
    status = ChFiReadAt(*f, head, 0, kChPageSize);
  }
  r.startError = status;
  uint32_t words[kHdWords], copy;
  ChFiHeadXlateIn(head, words, &copy);
  r.revision = words[kHdRevision];
  r.map.assign(size_t(std::min<int64_t>(words[kHdMaxPages] / 8, kChMapMaxBytes)), 0);
  if (r.startError == 0) {
    ChSaveGuard guard(true);
    r.startError = ChFiReadAt(*f, r.map.data(), kChMapPos, int64_t(r.map.size()));
  }
  for (uint32_t p = uint32_t(r.map.size() * 8); p-- > kChHeaderPages;) {
    if (MapGet(r.map, p)) {
      r.oldPages = p - kChHeaderPages + 1;
      break;
    }
  }
  r.buffer.resize(size_t(kRepackBufBytes));
  r.fixed = std::make_unique<uint8_t[]>(kChPageSize);
  r.mem = std::make_unique<uint8_t[]>(kChPageSize);
  r.out = std::make_unique<uint8_t[]>(kChPageSize);
  r.page = std::make_unique<uint8_t[]>(kChPageSize);
  r.utOut = ChFiUtOutMap(f->types);
  AllocCache(r);
  BtRegisterTypes();
  r.tree = Bti1DbCreate(ChPartNear(kChTransientPart));
  Progress(j);
}

bool RepackPiece(ChCopyJob& j, uint16_t* status) {
  RepackRec& r = Rec(j);
  ChFiRec* f = ChPartGet(r.part)->file;
  *status = r.startError;
  if (*status != 0) return true;
  if (!r.headerCopied) {
    *status = ChCopyBytes(*f, j.dest, 0, kChFirstDataPos, j.buffer);
    r.headerCopied = true;
  } else if (!r.fixup) {
    for (int n = 0; n < kRepackReadsPerPiece && r.nextOld < r.oldPages && *status == 0; ++n) {
      uint32_t first = r.nextOld;
      uint32_t count = std::min<uint32_t>(uint32_t(kRepackBufBytes / kChPageSize),
                                          r.oldPages - first);
      int64_t got;
      {
        ChSaveGuard guard(true);
        got = ChFiRead(*f, r.buffer.data(), ChFiPagePos(first),
                     int64_t(count) * kChPageSize, *status);
      }
      if (*status == kFiStatusEof) *status = 0;
      for (uint32_t i = 0; i < count && *status == 0; ++i) {
        uint32_t page = first + i;
        const uint8_t* pg = r.buffer.data() + size_t(i) * kChPageSize;
        bool inFile = int64_t(i + 1) * kChPageSize <= got;
        if (MapGet(r.map, kChHeaderPages + page) && inFile && LdBe32(pg + kPgNumber) == page)
          *status = RepackOldPage(j, pg, page);
      }
      r.nextOld = first + count;
    }
    if (*status == 0 && r.nextOld >= r.oldPages) {
      if (r.filling) *status = ChRepackStopPage(j);
      r.fixup = true;
    }
  } else {
    for (int n = 0; n < kRepackReadsPerPiece * 4 && r.nextFix < r.newPages && *status == 0; ++n)
      *status = ChRepackFixup(j, r.nextFix++);
  }
  Progress(j);
  if (*status != 0) return true;
  if (!r.fixup || r.nextFix < r.newPages) return false;
  *status = WriteSpaceMap(j);
  if (*status == 0) *status = FiSync(j.dest);
  return true;
}

void RepackFinish(ChCopyJob& j, uint16_t status) {
  RepackRec& r = Rec(j);
  if (r.tree) Bti1DbDestroy(r.tree);
  r.tree = 0;
  if (status == kChJobStopped) return;
  ChRecordLog("* Repack Cache Total=" + std::to_string(r.cache.size() * sizeof(Move)) +
              " Used=" + std::to_string(r.cached * sizeof(Move)) +
              " Needed=" + std::to_string(r.moves * sizeof(Move)));
  ChRecordLog("* Repack pages " + std::to_string(r.oldPages) + " -> " +
              std::to_string(r.newPages) + ", chunks " + std::to_string(r.moves) +
              ", damaged pages " + std::to_string(r.damaged) + ", unknown handles " +
              std::to_string(r.unmapped) + ", status " + std::to_string(status));
}

}  // namespace

uint16_t ChStartRepack(ChPart part, const std::string& destination, ChBackupCb callback,
                       intptr_t argument) {
  auto job = ChJobNew(part, destination, callback, argument, kRepackPieceMs);
  auto rec = std::make_shared<RepackRec>();
  rec->part = part;
  job->state = rec;
  job->start = RepackStart;
  job->piece = RepackPiece;
  job->finish = RepackFinish;
  return ChJobQueue(std::move(job));
}

}  // namespace quil
