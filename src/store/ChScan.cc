// Chunk statistics and cross-file checks: where a page is and how full,
// every chunk of a part with its type and size, the allocation totals of a
// part, and the handles stored in chunks checked against their own file.
#include <algorithm>

#include "ChInt.h"
#include "Ma.h"
#include "Ut.h"

namespace quil {

namespace {

ChPageWhere WhereOf(uint32_t pte) {
  switch (pte & kPteWhere) {
    case kPteFile: return ChPageWhere::kFile;
    case kPteTrans: return ChPageWhere::kTransient;
    case kPteCache: return ChPageWhere::kCache;
    default: return ChPageWhere::kFree;
  }
}

// Adds the blocks of a loaded page to info.
void CountBlocks(const uint8_t* pg, ChPageInfo* info) {
  for (uint32_t off = kPgHeadSize; off < kChPageSize; off += BlkBytes(pg, off)) {
    uint32_t bytes = BlkBytes(pg, off);
    if (bytes == 0) break;  // a damaged chain; ChCheck reports it
    if (BlkGet(pg, off, kBlkType) == 0) {
      info->freeBytes += bytes;
      info->largestFree = std::max(info->largestFree, bytes);
    } else {
      ++info->chunks;
      info->usedBytes += bytes;
    }
  }
}

// True when h names the start of an allocated block (ChIsLegal only looks
// at the page).
bool IsLiveChunk(ChHandle h) {
  ChPartRec* p = ChPartGet(ChPartOf(h));
  const uint8_t* pg = ChCp(ChPgAllocFill(*p, ChPageOf(h))).data;
  uint32_t want = ChOffsetOf(h);
  for (uint32_t off = kPgHeadSize; off < kChPageSize && off <= want; off += BlkBytes(pg, off)) {
    if (off == want) return BlkGet(pg, off, kBlkType) != 0;
    if (BlkBytes(pg, off) == 0) break;
  }
  return false;
}

struct CrossArg {
  ChHandle chunk;
  ChFiRec* file;
  std::string* report;
  uint32_t problems = 0;
};

uint32_t CheckHandle(uint32_t value, UtDir, const void* arg) {
  auto* a = static_cast<CrossArg*>(const_cast<void*>(arg));
  ChHandle h = value;
  uint32_t partBits = (h >> 8) & ChLayout.partMask;
  // 0, nil, -1 and constants are not references.
  if (h == 0 || partBits == 0 || partBits == ChLayout.partMask) return value;
  const char* problem = nullptr;
  if (!ChIsLegal(h) || !IsLiveChunk(h))
    problem = "dangling handle ";
  else if (ChIsInTemp(h))
    problem = "handle into the transient file ";
  else if (ChPartGet(ChPartOf(h))->file != a->file)
    problem = "cross-file handle ";
  if (problem) {
    ++a->problems;
    if (a->report)
      *a->report += "chunk " + std::to_string(a->chunk) + ": " + problem + std::to_string(h) + "\n";
  }
  return value;
}

}  // namespace

ChPageInfo ChGetPageInfo(ChHandle h) {
  ChPageInfo info;
  ChPartRec* p = ChPartGet(ChPartOf(h));
  if (!p) return info;
  info.part = p->number;
  info.page = ChPageOf(h);
  uint32_t pte = ChPte(*p, info.page);
  info.where = WhereOf(pte);
  if (info.where == ChPageWhere::kFree) return info;
  info.inSave = (pte & kPteSaveBit) != 0;
  const uint8_t* pg = ChCp(ChPgAllocFill(*p, info.page)).data;
  info.revision = Ld32(pg + kPgRevision);
  CountBlocks(pg, &info);
  return info;
}

uint32_t ChScanChunks(ChPart part, const std::function<void(ChHandle, uint16_t, uint32_t)>& visit) {
  ChPartOrHalt(part, "ChScanChunks-- Illegal part");
  ChIter it;
  ChStartFID(it, part);
  uint32_t n = 0;
  for (ChHandle h = ChNext(it); h != kChNil; h = ChNext(it), ++n)
    if (visit) visit(h, ChType(h), ChSize(h));
  return n;
}

ChAllocInfo ChGetAllocInfo(ChPart part) {
  ChPartRec& p = ChPartOrHalt(part, "ChGetAllocInfo-- Illegal part");
  ChAllocInfo info;
  info.pageCount = p.pageCount;
  for (uint32_t page = 0; page < p.pageCount; ++page) {
    uint32_t pte = ChPte(p, page);
    if ((pte & kPteWhere) == kPteFree) continue;
    ++info.pages;
    ChPageInfo pi = ChGetPageInfo(ChHandleMake(part, page, kPgHeadSize));
    info.chunks += pi.chunks;
    info.usedBytes += pi.usedBytes;
    info.freeBytes += pi.freeBytes;
    info.largestFree = std::max(info.largestFree, pi.largestFree);
    if (pi.chunks == 0) ++info.emptyPages;
  }
  return info;
}

uint32_t ChCrossChk(ChPart part, std::string* report) {
  ChPartRec& p = ChPartOrHalt(part, "ChCrossChk-- Illegal part");
  CrossArg arg{0, p.file, report};
  UtXlateOps ops;
  ops.handleXfm = CheckHandle;
  ops.arg = &arg;
  std::vector<uint8_t> scratch;
  ChScanChunks(part, [&](ChHandle h, uint16_t type, uint32_t size) {
    const std::string* layout = UtLayoutOf(type);
    if (!layout || layout->empty() || size == 0) return;
    // The page may leave the cache while other pages load: copy first.
    const auto* data = static_cast<const uint8_t*>(ChDeref(h));
    std::vector<uint8_t> copy(data, data + size);
    scratch.resize(size);
    arg.chunk = h;
    int result = UtXlateChunk(*layout, copy.data(), scratch.data(), size, UtDir::kOut, ops);
    if (result != kUtOk) {
      ++arg.problems;
      if (report)
        *report += "chunk " + std::to_string(h) + ": " + UtXlateResultText(result) + "\n";
    }
  });
  return arg.problems;
}

namespace {

struct ReachArg {
  ChPartRec* part = nullptr;
  ChHandle chunk = 0;
  std::string* report = nullptr;
  uint32_t problems = 0;
  std::vector<uint8_t> seen;        // by page: chunk offsets / 16, a bit each
  std::vector<ChHandle> pending;
};

bool SeenGet(const ReachArg& a, ChHandle h) {
  size_t bit = size_t(ChPageOf(h)) * 256 + (h & 0xFF);
  return bit / 8 < a.seen.size() && (a.seen[bit / 8] >> (bit % 8)) & 1;
}

void SeenSet(ReachArg& a, ChHandle h) {
  size_t bit = size_t(ChPageOf(h)) * 256 + (h & 0xFF);
  if (bit / 8 >= a.seen.size()) a.seen.resize(bit / 8 + 1, 0);
  a.seen[bit / 8] = uint8_t(a.seen[bit / 8] | (1u << (bit % 8)));
}

void Reach(ReachArg& a, ChHandle h) {
  uint32_t partBits = (h >> 8) & ChLayout.partMask;
  if (h == 0 || partBits == 0 || partBits == ChLayout.partMask) return;
  std::string problem;
  uint32_t page = ChPageOf(h);
  if (ChPartOf(h) != a.part->number) {
    problem = "handle " + std::to_string(h) + " to another part";
  } else if (page >= a.part->pageCount) {
    problem = "handle " + std::to_string(h) + " to page " + std::to_string(page) +
              ", past the part's page count";
  } else if ((ChPte(*a.part, page) & kPteWhere) == kPteFree) {
    problem = "page " + std::to_string(page) + " is reached (handle " + std::to_string(h) +
              ") but free in the space map";
  } else if (ChOffsetOf(h) < kPgHeadSize || !IsLiveChunk(h)) {
    problem = "handle " + std::to_string(h) + " names no chunk of page " + std::to_string(page);
  }
  if (!problem.empty()) {
    ++a.problems;
    if (a.report) *a.report += "chunk " + std::to_string(a.chunk) + ": " + problem + "\n";
    return;
  }
  if (SeenGet(a, h)) return;
  SeenSet(a, h);
  a.pending.push_back(h);
}

uint32_t ReachHandle(uint32_t value, UtDir, const void* arg) {
  Reach(*static_cast<ReachArg*>(const_cast<void*>(arg)), value);
  return value;
}

}  // namespace

uint32_t ChCheckReachable(ChPart part, std::string* report, uint64_t* reached) {
  ChPartRec& p = ChPartOrHalt(part, "ChCheckReachable-- Illegal part");
  ReachArg arg;
  arg.part = &p;
  arg.report = report;
  UtXlateOps ops;
  ops.handleXfm = ReachHandle;
  ops.arg = &arg;
  arg.chunk = ChPartInfoHandle(part);
  Reach(arg, ChPartInfoHandle(part));
  Reach(arg, p.root);
  // The further word keeps its handle (the shared-string table) in file form.
  Reach(arg, ChHandleFromFile(p.rootExtra, part));
  std::vector<uint8_t> copy, scratch;
  uint64_t count = 0;
  while (!arg.pending.empty()) {
    ChHandle h = arg.pending.back();
    arg.pending.pop_back();
    ++count;
    uint16_t type = ChType(h);
    uint32_t size = ChSize(h);
    const std::string* layout = UtLayoutOf(type);
    if (!layout || layout->empty() || size == 0) continue;
    const auto* data = static_cast<const uint8_t*>(ChDeref(h));
    copy.assign(data, data + size);
    scratch.resize(size);
    arg.chunk = h;
    int result = UtXlateChunk(*layout, copy.data(), scratch.data(), size, UtDir::kOut, ops);
    if (result != kUtOk) {
      ++arg.problems;
      if (report) *report += "chunk " + std::to_string(h) + ": " + UtXlateResultText(result) + "\n";
    }
  }
  if (reached) *reached = count;
  return arg.problems;
}

bool ChIsInSecondary(ChHandle h) {
  ChPartRec* p = ChPartGet(ChPartOf(h));
  return p && p->file && p->file->master != p->number;
}

}  // namespace quil
