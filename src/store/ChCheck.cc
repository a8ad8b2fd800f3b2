// Consistency checks: of an open part (page table, pages) and, offline, of
// a database file on disk (what quil-dbtool check runs).
#include <algorithm>
#include <set>

#include "ChInt.h"
#include "Ec.h"
#include "Ma.h"

namespace quil {

namespace {

constexpr ChPart kCheckPart = 2;  // part number used to read handles offline

// Appends the page-table problems of part p to *why.
void PageTableProblems(const ChPartRec& p, std::string* why) {
  auto bad = [&](uint32_t page, const std::string& text) {
    *why += "page table: page " + std::to_string(page) + ": " + text + "\n";
  };
  std::vector<uint8_t> slotFree(ChState.transNext, 0);
  for (uint32_t slot : ChState.transFree) {
    if (slot >= slotFree.size() || slotFree[slot]) {
      *why += "transient slot " + std::to_string(slot) + " freed twice or unknown\n";
      continue;
    }
    slotFree[slot] = 1;
  }
  auto slotOk = [&](uint32_t slot) { return slot < slotFree.size() && !slotFree[slot]; };
  uint32_t freeEntries = 0, allocated = 0;
  for (uint32_t page = 0; page < p.pageCount; ++page) {
    uint32_t entry = ChPte(p, page);
    uint32_t value = entry & kPteValue;
    bool inMap = p.file && ChFiMapGet(*p.file, kChHeaderPages + page);
    switch (entry & kPteWhere) {
      case kPteCache: {
        ++allocated;
        if (value >= ChState.cache.size()) {
          bad(page, "cache index out of range");
          break;
        }
        const ChCachePage& cp = ChState.cache[value];
        if (!(cp.flags & kCpAllocated) || cp.part != p.number || cp.page != page ||
            Ld32(cp.data + kPgNumber) != value)
          bad(page, "cache page does not hold this page");
        if (cp.transSlot >= 0 && !slotOk(uint32_t(cp.transSlot)))
          bad(page, "cache page names a free transient slot");
        if (p.file && !inMap) bad(page, "allocated page clear in the space map");
        break;
      }
      case kPteTrans:
        ++allocated;
        if (!slotOk(value)) bad(page, "transient slot is free or unknown");
        if (p.file && !inMap) bad(page, "allocated page clear in the space map");
        break;
      case kPteFile:
        ++allocated;
        if (!p.file || !inMap) bad(page, "database-file page not in the space map");
        break;
      default:
        ++freeEntries;
        if (inMap) bad(page, "free page set in the space map");
        if (page == 0 && p.file) bad(page, "part information page is free");
        break;
    }
  }
  if (allocated != p.allocated)
    *why += "page table: " + std::to_string(allocated) + " pages allocated, " +
            std::to_string(p.allocated) + " counted\n";
  uint32_t walked = 0;
  for (uint32_t page = p.freeHead; page != kPteFreeEnd; ++walked) {
    if (page >= p.pageCount || walked > p.pageCount ||
        (ChPte(p, page) & kPteWhere) != kPteFree) {
      *why += "page table: free list broken at page " + std::to_string(page) + "\n";
      return;
    }
    page = ChPte(p, page) & kPteValue;
  }
  if (walked != freeEntries)
    *why += "page table: free list holds " + std::to_string(walked) + " of " +
            std::to_string(freeEntries) + " free pages\n";
  for (size_t i = 0; i < ChState.cache.size(); ++i) {
    const ChCachePage& cp = ChState.cache[i];
    if ((cp.flags & kCpAllocated) && cp.part == p.number &&
        (ChPte(p, cp.page) & ~kPteSaveBit) != (kPteCache | uint32_t(i)))
      bad(cp.page, "cache page " + std::to_string(i) + " not named by the table");
  }
}

struct FileChecker {
  std::string* report;
  bool ok = true;
  void Problem(const std::string& text) {
    ok = false;
    *report += text + "\n";
  }
};

}  // namespace

void ChCheckPageTable(ChPart part) {
  ChPartRec* p = ChPartGet(part);
  if (!p) MaAssertFailure("ChCheckPageTable-- Illegal part");
  std::string why;
  PageTableProblems(*p, &why);
  if (!why.empty()) MaAssertFailure("ChCheckPageTable-- " + why);
}

bool ChCheck(ChPart part, std::string* report) {
  ChPartRec* p = ChPartGet(part);
  if (!p) MaAssertFailure("ChCheck-- Illegal part");
  std::string why;
  PageTableProblems(*p, &why);
  std::vector<uint8_t> out(kChPageSize);
  std::vector<uint16_t> utOut;
  if (p->file) utOut = ChFiUtOutMap(p->file->types);
  for (uint32_t page = 0; page < p->pageCount; ++page) {
    if ((ChPte(*p, page) & kPteWhere) == kPteFree) continue;
    const uint8_t* pg = ChCp(ChPgAllocFill(*p, page)).data;
    std::string pageWhy;
    if (!ChPgVerify(pg, false, &pageWhy)) {
      why += "page " + std::to_string(page) + ": " + pageWhy;
      continue;
    }
    if (!p->file) continue;
    uint32_t at = 0;
    uint16_t type = 0;
    int r = ChFiUtXlateOut(pg, out.data(), page, 0, utOut, &at, &type);
    if (r != kUtOk)
      why += "page " + std::to_string(page) + ": offset " + std::to_string(at) +
             ": " + ChXlateResultText(r) + " (type " + std::to_string(type) + ")\n";
  }
  if (report) *report += why;
  return why.empty();
}

uint16_t ChFiOpenImage(const std::string& path, ChFiRec& f) {
  f.path = path;
  f.readOnly = true;
  uint16_t status = FiOpen(path, kFiReadOnly, f.file);
  if (status == 0) status = ChJnlRecover(f);
  return status;
}

bool ChCheckFile(const std::string& path, std::string* report) {
  FileChecker c{report};
  ChFiRec f;
  uint16_t status = ChFiOpenImage(path, f);
  if (status != 0) {
    c.Problem("cannot open " + path + ": " + EcToSt(status).Str());
    return false;
  }
  // A save that was interrupted: what follows checks the image the next
  // open will find once the journal is written back.
  if (!f.journal.note.empty()) *report += "journal: " + f.journal.note + "\n";
  uint8_t page[kChPageSize];
  if (ChFiRead(f, page, 0, kChPageSize, status) < int64_t(kChPageSize)) {
    c.Problem("header: the file is shorter than one page");
    return false;
  }
  uint32_t words[kHdWords];
  uint32_t copy;
  ChFiHeadXlateIn(page, words, &copy);
  if (words[kHdMagic] != kChMagic) {
    c.Problem("header: no \"AUTH\" magic: not a database file");
    return false;
  }
  if (words[kHdVersion] != kChFormatVersion) {
    c.Problem("header: format version " + std::to_string(words[kHdVersion]) +
              ", this program reads " + std::to_string(kChFormatVersion));
    return false;
  }
  if (words[kHdSaving] != 0)
    c.Problem("header: save-in-progress marker set (a save was interrupted) and no "
              "journal that restores the last complete save");
  if (copy != words[kHdRevision] && words[kHdTornTolerance] == 0)
    c.Problem("header: revision " + std::to_string(words[kHdRevision]) +
              " but the copy at offset 4092 is " + std::to_string(copy) +
              " (torn header)");
  if (words[kHdPageSize] != kChPageSize)
    c.Problem("header: page size " + std::to_string(words[kHdPageSize]));
  uint32_t flags = words[kHdFlags] ? words[kHdFlags] : kChHeaderFlags;
  if (!(flags & 1)) c.Problem("header: flags " + std::to_string(flags));
  if (words[kHdUtOffset] != 0 && words[kHdUtOffset] != kChUtPos)
    c.Problem("header: type table offset " + std::to_string(words[kHdUtOffset]));
  if (words[kHdUtPages] * kChPageSize > kChUtMaxBytes)
    c.Problem("header: type table pages " + std::to_string(words[kHdUtPages]));

  std::string why;
  bool forward = false;
  status = ChFiReadMapAndTypes(f, words, &why, &forward);
  if (status != 0) {
    c.Problem("space map or type table: " + EcToSt(status).Str() + "\n" + why);
    return false;
  }
  for (uint32_t p = 0; p < kChHeaderPages; ++p) {
    if (!ChFiMapGet(f, p)) {
      c.Problem("space map: header page " + std::to_string(p) + " not allocated");
      break;
    }
  }

  int64_t length = ChFiImageLength(f, status);
  uint32_t filePages =
      length > kChFirstDataPos ? uint32_t((length - kChFirstDataPos) / kChPageSize) : 0;
  std::vector<uint8_t> mem(kChPageSize);
  uint32_t pageCount = 0, highest = 0;
  bool any = false, hasInfo = false;
  for (uint32_t n = 0; kChHeaderPages + n < ChFileMaxPages(); ++n) {
    if (!ChFiMapGet(f, kChHeaderPages + n)) continue;
    any = true;
    highest = n;
    std::string where = "page " + std::to_string(n) + ": ";
    if (n >= filePages) {
      c.Problem(where + "allocated but past the end of the file");
      continue;
    }
    status = ChFiReadAt(f, page, ChFiPagePos(n), kChPageSize);
    if (status != 0) {
      c.Problem(where + "cannot be read: " + EcToSt(status).Str());
      continue;
    }
    uint32_t stored = LdBe32(page + kPgNumber);
    if (stored != n) {
      c.Problem(where + (stored == kChFillerMark
                             ? std::string("is a filler page")
                             : "stored page number is " + std::to_string(stored)));
      continue;
    }
    if (!(LdBe16(page + kPgFlags) & kPgFlagAlways))
      c.Problem(where + "flags " + std::to_string(LdBe16(page + kPgFlags)));
    uint32_t at = 0;
    int r = ChFiUtXlateIn(page, mem.data(), kCheckPart, f.types, &at);
    if (r != kUtOk) {
      c.Problem(where + "offset " + std::to_string(at) + ": " + ChXlateResultText(r));
      continue;
    }
    std::string pageWhy;
    if (!ChPgVerify(mem.data(), true, &pageWhy)) c.Problem(where + pageWhy.substr(0, pageWhy.size() - 1));
    if (n == 0) {
      const uint8_t* info = mem.data() + kPgHeadSize;
      if (BlkGet(info, 0, kBlkType) != kUtTypePartInfo ||
          BlkGet(info, 0, kBlkSize) != 288 + 8) {
        c.Problem(where + "no part information chunk at offset 16");
      } else {
        hasInfo = true;
        pageCount = Ld32(info + kBlkData + 7 * 4);
      }
    }
  }
  if (any && !ChFiMapGet(f, kChHeaderPages))
    c.Problem("page 0: data pages allocated without the part information page");
  if (hasInfo && highest >= pageCount)
    c.Problem("part information: page count " + std::to_string(pageCount) +
              " but page " + std::to_string(highest) + " is allocated");
  return c.ok;
}

bool ChFileNeverSaved(const std::string& path) {
  FiFile file;
  if (FiOpen(path, kFiReadOnly, file) != 0) return false;
  uint16_t status;
  int64_t length = FiGetLength(file, status);
  if (status != 0 || length > kChFirstDataPos) return false;
  uint8_t page[kChPageSize];
  int64_t got = FiRead(file, page, 0, kChPageSize, status);
  if (status != 0 && status != kFiStatusEof) return false;
  if (std::all_of(page, page + got, [](uint8_t b) { return b == 0; })) return true;
  return got >= 8 && LdBe32(page) == kChMagic && LdBe32(page + 4) == 0;
}

uint16_t ChFileInfoGet(const std::string& path, ChFileInfo* info) {
  ChFiRec f;
  info->journalPath = ChFiJournalPath(path);
  {
    ChJournalInfo j;
    FiFile jf;
    uint16_t status = ChJnlLoad(info->journalPath, jf, &j);
    if (status != 0) return status;
    info->journalExists = j.exists;
    info->journalComplete = j.complete;
    info->journalWhy = j.why;
    info->journalRecords = j.records;
    info->journalRestores = j.restores;
    info->journalSaved = j.savedRevision;
  }
  uint16_t status = ChFiOpenImage(path, f);
  if (status != 0) return status;
  info->journalNote = f.journal.note;
  info->journalHot = f.journal.overlayLength >= 0;
  uint8_t page[kChPageSize];
  if (ChFiRead(f, page, 0, kChPageSize, status) < int64_t(kChPageSize)) return kEcNotDatabase;
  uint32_t w[kHdWords];
  ChFiHeadXlateIn(page, w, &info->revisionCopy);
  if (w[kHdMagic] != kChMagic) return kEcNotDatabase;
  info->magic = w[kHdMagic];
  info->revision = w[kHdRevision];
  info->version = w[kHdVersion];
  info->pageSize = w[kHdPageSize];
  info->maxPages = w[kHdMaxPages];
  info->tornTolerance = w[kHdTornTolerance];
  info->utOffset = w[kHdUtOffset];
  info->utPages = w[kHdUtPages];
  info->utEntries = w[kHdUtEntries];
  info->utStamp = w[kHdUtStamp];
  info->flags = w[kHdFlags];
  info->saving = w[kHdSaving];
  info->fileLength = ChFiImageLength(f, status);
  if (info->fileLength > kChFirstDataPos)
    info->filePages = uint32_t((info->fileLength - kChFirstDataPos) / kChPageSize);
  std::string why;
  bool forward = false;
  status = ChFiReadMapAndTypes(f, w, &why, &forward);
  if (status != 0) return status;
  for (uint32_t p = 0; p < ChFileMaxPages(); ++p) {
    if (!ChFiMapGet(f, p)) continue;
    ++info->mapAllocated;
    if (p >= kChHeaderPages) ++info->dataAllocated;
  }
  for (int i = 1; i <= f.types.Count(); ++i) {
    const UtDefinition* def = UtGetDefinition(f.types.localToGlobal[size_t(i)]);
    info->typeTable += std::to_string(0x8000 + i) + " " + def->name +
                       ": layout " + std::to_string(def->layout.size()) +
                       " bytes, definition " + std::to_string(def->def1) + " " +
                       std::to_string(def->def2) + ", " +
                       std::to_string(def->components.size()) + " components\n";
  }
  if (ChFiMapGet(f, kChHeaderPages) && info->filePages > 0) {
    std::vector<uint8_t> mem(kChPageSize);
    uint32_t at;
    status = ChFiReadAt(f, page, kChFirstDataPos, kChPageSize);
    if (status == 0 && LdBe32(page + kPgNumber) == 0 &&
        ChFiUtXlateIn(page, mem.data(), kCheckPart, f.types, &at) == kUtOk &&
        BlkGet(mem.data(), kPgHeadSize, kBlkType) == kUtTypePartInfo) {
      const uint8_t* words = mem.data() + kPgHeadSize + kBlkData;
      info->hasPartInfo = true;
      info->partRevision = Ld32(words);
      info->partDate = Ld32(words + 4);
      info->partTime = Ld32(words + 8);
      info->partRoot = ChHandleToFile(Ld32(words + 20));
      info->partPageCount = Ld32(words + 28);
    }
  }
  return 0;
}

}  // namespace quil
