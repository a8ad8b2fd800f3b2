// The database file format: header, space map, type table, page images and
// the conversion of pages between memory form and file form.
#include <bit>
#include <string>

#include "ChInt.h"
#include "Ma.h"

namespace quil {

namespace {

constexpr bool kHostLittle = std::endian::native == std::endian::little;
constexpr uint16_t kHostPageFlags =
    kPgFlagAlways | (kHostLittle ? kPgFlagLittle : 0) | kUtRealDouble;

struct XlateArg {
  ChPart part = 0;
  const ChTypeTable* types = nullptr;
  const std::vector<uint16_t>* utOut = nullptr;
};

uint32_t HandleIn(uint32_t v, UtDir, const void* arg) {
  return ChHandleFromFile(v, static_cast<const XlateArg*>(arg)->part);
}

uint32_t HandleOut(uint32_t v, UtDir, const void*) { return ChHandleToFile(v); }

bool TypeIn(uint16_t v, UtDir, const void* arg, uint16_t* out) {
  if (!(v & kUtRegisteredBit)) {
    *out = v;
    return true;
  }
  const auto& l2g = static_cast<const XlateArg*>(arg)->types->localToGlobal;
  size_t i = v & 0x7FFF;
  if (i == 0 || i >= l2g.size()) return false;
  *out = l2g[i];
  return true;
}

bool TypeOut(uint16_t v, UtDir, const void* arg, uint16_t* out) {
  if (!(v & kUtRegisteredBit)) {
    *out = v;
    return true;
  }
  const auto& map = *static_cast<const XlateArg*>(arg)->utOut;
  size_t i = v & 0x7FFF;
  if (i >= map.size() || map[i] == 0) return false;
  *out = map[i];
  return true;
}

void PutStr(std::string& out, std::string_view s) {
  if (s.size() > 32767)
    MaAssertFailure("UtfPackStr--cannot handle strings larger than 32K");
  out.push_back(char(s.size() >> 8));
  out.push_back(char(s.size() & 0xFF));
  out.append(s);
  out.push_back('\0');
}

}  // namespace

// ---------------------------------------------------------------------------
// Handles in file form.

uint32_t ChHandleToFile(ChHandle h) {
  uint32_t mid = (h >> 8) & 0xFF;
  if (h == 0 || mid == 0 || mid == 0xFF) return h;
  ChPart part = ChPartOf(h);
  if (part == 0 || uint32_t(part) == ChFiConstant()) return h;
  return (ChPageOf(h) << 10) | 0x100 | (h & 0xFF);
}

ChHandle ChHandleFromFile(uint32_t v, ChPart part) {
  uint32_t mid = (v >> 8) & 0xFF;
  if (v == 0 || mid == 0 || mid == 0xFF || (v & 0x300) != 0x100) return v;
  return ChHandleMake(part, (v >> 10) & ChLayout.pageMask, (v & 0xFF) << 4);
}

// ---------------------------------------------------------------------------
// Header.

void ChFiHeadXlateIn(const uint8_t* page, uint32_t* words, uint32_t* copy) {
  for (int i = 0; i < kHdWords; ++i) words[i] = LdBe32(page + 4 * i);
  *copy = LdBe32(page + kHdRevisionCopyPos);
}

void ChFiHeadXlateOut(const uint32_t* words, uint32_t copy, uint8_t* page) {
  memset(page, 0, kChPageSize);
  for (int i = 0; i < kHdWords; ++i) StBe32(page + 4 * i, words[i]);
  StBe32(page + kHdRevisionCopyPos, copy);
}

void ChFiCreateHead(ChFiRec& f) {
  memset(f.head, 0, sizeof f.head);
  f.head[kHdMagic] = kChMagic;
  f.head[kHdVersion] = kChFormatVersion;
  f.head[kHdPageSize] = kChPageSize;
  f.head[kHdReserved5] = 0xFFFFFFFF;
  f.head[kHdReserved6] = 0xFFFFFFFF;
  f.head[kHdMaxPages] = ChFileMaxPages();
  f.head[kHdFlags] = kChHeaderFlags;
  f.revisionCopy = 0;
  size_t bytes = (ChFileMaxPages() / 8 + kChPageSize - 1) / kChPageSize * kChPageSize;
  f.map.assign(bytes, 0);
  f.mapPieceChanged.assign(bytes / kChPageSize, 0);
  f.mapChangedList.clear();
  if (ChFiMapGet(f, 0)) MaAssertFailure("ChFiCreateHead-- already exists");
  uint32_t first = 0;
  while (first < kChHeaderPages && ChFiMapGet(f, first)) ++first;
  if (first != 0) MaAssertFailure("ChFiCreateHead-- bad header address allocation");
  for (uint32_t p = 0; p < kChHeaderPages; ++p) ChFiMapSet(f, p, true);
}

void ChFiAdvanceToNextRev(ChFiRec& f) {
  f.head[kHdRevision] += 1;
  f.revisionCopy = f.head[kHdRevision];
}

bool ChFiMapGet(const ChFiRec& f, uint32_t diskPage) {
  size_t byte = diskPage / 8;
  return byte < f.map.size() && (f.map[byte] >> (diskPage % 8)) & 1;
}

void ChFiMapSet(ChFiRec& f, uint32_t diskPage, bool allocated) {
  size_t byte = diskPage / 8;
  MA_CHECK(ChDebugFlag, byte < f.map.size(), "ChFiMapSet-- page beyond the map");
  uint8_t bit = uint8_t(1u << (diskPage % 8));
  uint8_t was = f.map[byte];
  f.map[byte] = allocated ? uint8_t(was | bit) : uint8_t(was & ~bit);
  if (was == f.map[byte]) return;
  size_t piece = byte / kChPageSize;
  if (!f.mapPieceChanged[piece]) {
    f.mapPieceChanged[piece] = 1;
    f.mapChangedList.push_back(uint32_t(piece));
  }
}

namespace {

std::string openProblem;

uint16_t Problem(uint16_t status, const std::string& text) {
  openProblem = text;
  return status;
}

}  // namespace

const std::string& ChFiOpenProblem() { return openProblem; }
void ChFiNoteProblem(const std::string& text) { openProblem = text; }

uint16_t ChFiReadHead(ChFiRec& f) {
  uint8_t page[kChPageSize];
  uint16_t status;
  int64_t n = ChFiRead(f, page, 0, kChPageSize, status);
  if (status != 0 && status != kFiStatusEof) return Problem(status, "its header cannot be read");
  if (n < int64_t(kChPageSize))
    return Problem(kEcNotDatabase, "it is shorter than its header page");
  uint32_t words[kHdWords];
  uint32_t copy;
  ChFiHeadXlateIn(page, words, &copy);
  if (words[kHdMagic] != kChMagic)
    return Problem(kEcNotDatabase, "its first bytes are not \"AUTH\"");
  bool clearMarker = false;
  if (words[kHdSaving] != 0) {
    if (!FiExists("ignorecorrupted"))
      return Problem(kEcCorrupted, "a save of it was interrupted (the save-in-progress marker "
                                   "is set) and no journal (" +
                                       ChFiJournalPath(f.path) +
                                       ") restores its last complete save");
    words[kHdSaving] = 0;
    clearMarker = true;
  }
  memcpy(f.headPage, page, kChPageSize);
  if (copy != words[kHdRevision] && words[kHdTornTolerance] == 0)
    return Problem(kEcCorrupted, "its header is torn (revision " +
                                     std::to_string(words[kHdRevision]) +
                                     ", the copy at offset 4092 is " + std::to_string(copy) + ")");
  if (words[kHdVersion] != kChFormatVersion)
    return Problem(kEcOldFormat, "format version " + std::to_string(words[kHdVersion]));
  if (words[kHdFlags] == 0) words[kHdFlags] = kChHeaderFlags;

  std::string why;
  bool forward = false;
  uint16_t st = ChFiReadMapAndTypes(f, words, &why, &forward);
  if (forward) MaAssertFailure("UtfXfmID-- Illegal forward reference");
  if (st != 0) {
    if (why.empty()) why = "its space map or type table cannot be read";
    return Problem(st, why.substr(0, why.find('\n')));
  }
  // Every allocated page must lie inside the file: a file cut short (or a
  // space map that claims pages never written) is refused here rather than
  // met later as an unreadable page.
  int64_t length = ChFiImageLength(f, st);
  if (st != 0) return Problem(st, "its length cannot be read");
  for (uint32_t disk = ChFileMaxPages(); disk-- > kChHeaderPages;) {
    if (!ChFiMapGet(f, disk)) continue;
    if (ChFiPagePos(disk - kChHeaderPages) + int64_t(kChPageSize) > length)
      return Problem(kEcCorrupted, "page " + std::to_string(disk - kChHeaderPages) +
                                       " is allocated but lies past the end of the file (" +
                                       std::to_string(length) + " bytes)");
    break;
  }
  if (clearMarker && !f.readOnly) {
    // "ignorecorrupted": the operator takes the image as it is, on disk too,
    // so that the next open does not refuse it again.  Only the marker word
    // changes; a torn write leaves either header.
    StBe32(page + 4 * kHdSaving, 0);
    ChFiWriteHeadPiece(f, page, st);
    if (st != 0) return st;
    memcpy(f.headPage, page, kChPageSize);
    f.journal.note = "save-in-progress marker cleared (ignorecorrupted)";
    ChRecordLog("* DB " + f.journal.note);
  }
  memcpy(f.head, words, sizeof words);
  f.head[kHdMaxPages] = ChFileMaxPages();
  f.revisionCopy = copy;
  f.diskRevision = words[kHdRevision];
  return 0;
}

uint16_t ChFiReadMapAndTypes(ChFiRec& f, const uint32_t* words,
                             std::string* why, bool* forward) {
  uint16_t status;
  // Space map: the file's maximum pages, within the map region.
  uint32_t fileMax = words[kHdMaxPages];
  int64_t fileBytes = std::min<int64_t>(int64_t(fileMax / 8), kChMapMaxBytes);
  std::vector<uint8_t> map(size_t(std::max<int64_t>(fileBytes, 0)), 0);
  if (!map.empty()) {
    ChFiRead(f, map.data(), kChMapPos, int64_t(map.size()), status);
    if (status != 0 && status != kFiStatusEof) return status;
  }
  // Pages this program cannot address make the file too large to open.
  for (size_t i = ChFileMaxPages() / 8; i < map.size(); ++i) {
    for (uint32_t b = 0; b < 8 && map[i]; ++b)
      if (((map[i] >> b) & 1) && i * 8 + b >= ChFileMaxPages()) {
        if (why) *why += "it holds pages beyond this program's limit\n";
        return kEcTooLarge;
      }
  }
  size_t ours = (ChFileMaxPages() / 8 + kChPageSize - 1) / kChPageSize * kChPageSize;
  map.resize(ours, 0);
  f.map = std::move(map);
  f.mapPieceChanged.assign(ours / kChPageSize, 0);
  f.mapChangedList.clear();

  // Type table.
  uint32_t utOffset = words[kHdUtOffset];
  if (utOffset != f.types.offset || words[kHdUtStamp] != f.types.stamp) {
    f.types = ChTypeTable();
    if (utOffset != 0) {
      int64_t bytes = std::min<int64_t>(int64_t(words[kHdUtPages]) * kChPageSize,
                                        kChUtMaxBytes);
      std::vector<uint8_t> table(size_t(bytes), 0);
      ChFiRead(f, table.data(), utOffset, bytes, status);
      if (status != 0 && status != kFiStatusEof) return status;
      uint16_t st = ChFiUtParse(table.data(), table.size(), words[kHdUtEntries],
                                f.types, why, forward);
      if (st != 0) return st;
    }
    f.types.offset = utOffset;
    f.types.stamp = words[kHdUtStamp];
  }
  return 0;
}

void ChFiWriteHeadPiece(ChFiRec& f, const uint8_t* page, uint16_t& status) {
  status = FiSync(f.file);
  if (status == 0) status = FiWriteAt(f.file, page, 0, kChPageSize);
  if (status == 0) status = FiSync(f.file);
}

// ---------------------------------------------------------------------------
// Type table.

uint16_t ChTypeTable::Enter(uint16_t global) {
  if (!(global & kUtRegisteredBit)) return global;
  auto it = globalToLocal.find(global);
  if (it != globalToLocal.end()) return it->second;
  const UtDefinition* def = UtGetDefinition(global);
  MA_CHECK(ChDebugFlag, def != nullptr, "ChFiUtEnter-- type not registered");
  for (uint16_t c : def->components) Enter(c);
  if (localToGlobal.empty()) localToGlobal.push_back(0);
  uint16_t local = uint16_t(kUtRegisteredBit | localToGlobal.size());
  localToGlobal.push_back(global);
  globalToLocal.emplace(global, local);
  modified = true;
  return local;
}

std::vector<uint16_t> ChFiUtOutMap(const ChTypeTable& types) {
  std::vector<uint16_t> out(size_t(UtRegisteredCount()) + 1, 0);
  for (const auto& [global, local] : types.globalToLocal) {
    if ((global & 0x7FFF) >= out.size()) out.resize((global & 0x7FFF) + 1, 0);
    out[global & 0x7FFF] = local;
  }
  return out;
}

std::string ChFiUtBytes(const ChFiRec& f, uint32_t* entries) {
  std::string out;
  size_t expected = 0;
  *entries = 0;
  for (int i = 1; i <= f.types.Count(); ++i) {
    const UtDefinition* def = UtGetDefinition(f.types.localToGlobal[size_t(i)]);
    std::string list;
    PutStr(list, def->layout);
    for (const auto& s : def->strings) PutStr(list, s);
    std::string entry(14, '\0');
    uint8_t* e = reinterpret_cast<uint8_t*>(entry.data());
    StBe16(e + 2, uint16_t(def->components.size()));
    StBe32(e + 4, def->def1);
    StBe32(e + 8, def->def2);
    StBe16(e + 12, uint16_t(list.size()));
    for (uint16_t c : def->components) {
      uint16_t local = c;
      if (c & kUtRegisteredBit) local = f.types.globalToLocal.at(c);
      entry.push_back(char(local >> 8));
      entry.push_back(char(local & 0xFF));
    }
    entry += list;
    PutStr(entry, def->name);
    if (entry.size() > 0xFFFF)
      MaAssertFailure("ChFiWriteUt--not enough space for Ut tables");
    StBe16(reinterpret_cast<uint8_t*>(entry.data()), uint16_t(entry.size()));
    expected += 14 + 2 * def->components.size() + list.size() + def->name.size() + 3;
    out += entry;
    ++*entries;
  }
  if (out.size() > size_t(kChUtMaxBytes))
    MaAssertFailure("ChFiWriteUt--not enough space for Ut tables");
  MA_CHECK(ChDebugFlag, out.size() == expected, "ChFiWriteUt-- UtLength mismatch");
  return out;
}

uint16_t ChFiUtParse(const uint8_t* bytes, size_t length, uint32_t entries,
                     ChTypeTable& types, std::string* why, bool* forward) {
  *forward = false;
  types = ChTypeTable();
  types.localToGlobal.push_back(0);
  auto bad = [&](size_t at, const std::string& text) {
    if (why) *why += "type table offset " + std::to_string(at) + ": " + text + "\n";
    return kEcCorrupted;
  };
  size_t pos = 0;
  for (uint32_t i = 1; i <= (entries & 0xFFFF); ++i) {
    if (pos + 14 > length) return bad(pos, "entry past the end of the table");
    const uint8_t* e = bytes + pos;
    size_t len = LdBe16(e);
    uint32_t n = LdBe16(e + 2);
    size_t listLen = LdBe16(e + 12);
    if (len < 14 || pos + len > length) return bad(pos, "bad entry length");
    UtDefinition def;
    def.def1 = LdBe32(e + 4);
    def.def2 = LdBe32(e + 8);
    size_t at = 14;
    if (at + 2 * n > len) return bad(pos, "components past the entry");
    for (uint32_t c = 0; c < n; ++c, at += 2) {
      uint16_t local = LdBe16(e + at);
      if (local & kUtRegisteredBit) {
        if ((local & 0x7FFF) == 0 || (local & 0x7FFF) >= i) {
          *forward = true;
          return bad(pos, "Illegal forward reference");
        }
        local = types.localToGlobal[local & 0x7FFF];
      }
      def.components.push_back(local);
    }
    // The string list, then the name.
    std::vector<std::string> strings;
    size_t end = at + listLen;
    if (end > len) return bad(pos, "string list past the entry");
    auto take = [&](size_t limit, std::string* s) {
      if (at + 3 > limit) return false;
      size_t l = LdBe16(e + at);
      if (at + l + 3 > limit || e[at + 2 + l] != 0) return false;
      s->assign(reinterpret_cast<const char*>(e + at + 2), l);
      at += l + 3;
      return true;
    };
    while (at < end) {
      std::string s;
      if (!take(end, &s)) return bad(pos, "bad string in the string list");
      strings.push_back(std::move(s));
    }
    if (!take(len, &def.name) || at != len) return bad(pos, "bad type name");
    if (!strings.empty()) {
      def.layout = std::move(strings.front());
      def.strings.assign(std::make_move_iterator(strings.begin() + 1),
                         std::make_move_iterator(strings.end()));
    }
    if (!def.layout.empty() && UtLayoutCheck(def.layout) != kUtOk)
      return bad(pos, "bad layout template of type " + def.name);
    uint16_t global = UtCreate(def);
    if (global == 0) {
      if (why) *why += "type " + def.name + " differs from the registered type\n";
      return kEcNoRelocation;
    }
    types.localToGlobal.push_back(global);
    types.globalToLocal.emplace(global, uint16_t(kUtRegisteredBit | i));
    pos += len;
  }
  return 0;
}

uint16_t ChFiWriteHead(ChFiRec& f) {
  uint16_t status = 0;
  if (FiGetEOF(f.file) < kChFirstDataPos)
    status = FiSetLength(f.file, kChFirstDataPos);
  if (status == 0 && f.head[kHdSaving] == 0) {
    if (f.types.modified) {
      uint32_t entries;
      std::string table = ChFiUtBytes(f, &entries);
      table.resize((table.size() + kChPageSize - 1) / kChPageSize * kChPageSize, '\0');
      if (!table.empty()) status = FiWriteAt(f.file, table.data(), kChUtPos, int64_t(table.size()));
      f.head[kHdUtOffset] = entries ? uint32_t(kChUtPos) : 0;
      f.head[kHdUtPages] = uint32_t(table.size() / kChPageSize);
      f.head[kHdUtEntries] = entries;
      f.head[kHdUtStamp] = f.head[kHdRevision];
      if (status == 0) {
        f.types.modified = false;
        f.types.offset = f.head[kHdUtOffset];
        f.types.stamp = f.head[kHdUtStamp];
        MA_CHECK(ChDebugFlag, uint32_t(f.types.Count()) == entries,
                 "ChFiWriteUt-- UtTable still modified after write");
      }
    }
    for (uint32_t piece : f.mapChangedList) {
      if (status != 0) break;
      int64_t pos = kChMapPos + int64_t(piece) * kChPageSize;
      if (pos >= kChFirstDataPos) MaAssertFailure("ChFiWriteMap--space map change past table");
      status = FiWriteAt(f.file, f.map.data() + size_t(piece) * kChPageSize, pos, kChPageSize);
    }
    if (status == 0) {
      for (uint32_t piece : f.mapChangedList) f.mapPieceChanged[piece] = 0;
      f.mapChangedList.clear();
    }
  }
  if (status != 0) return status;
  uint8_t page[kChPageSize];
  ChFiHeadXlateOut(f.head, f.revisionCopy, page);
  ChFiWriteHeadPiece(f, page, status);
  return status;
}

// ---------------------------------------------------------------------------
// Pages.

uint16_t ChFiReadPgX(ChFiRec& f, uint8_t* buf, uint32_t page, int64_t pos,
                     bool tolerate) {
  uint16_t status;
  {
    ChSaveGuard guard(true);
    status = ChFiReadAt(f, buf, pos, kChPageSize);
  }
  if (status != 0) return status;
  if (LdBe32(buf + kPgNumber) == page) return 0;
  if (tolerate) return kEcBadPage;
  MaHalt("ChFiReadPg-- page table index in " + f.path + ". " +
         "If this is a database file, then rename it to \"db.save\" and "
         "restart the server to recover from your backup and roll-forward "
         "files. If this is a search index, then delete the index and restart "
         "the server to automatically build a new search index.");
}

uint16_t ChFiWritePgX(ChFiRec& f, const uint8_t* buf, uint32_t page, int64_t pos) {
  if (pos % kChPageSize != 0) MaAssertFailure("ChFiWritePgX--Pos not on page boundary");
  (void)page;
  uint16_t status = 0;
  ChSaveGuard guard(true);
  int64_t end = FiGetEOF(f.file) / kChPageSize * kChPageSize;
  if (end < kChFirstDataPos) end = kChFirstDataPos;
  if (end < pos) {
    uint8_t filler[kChPageSize];
    memcpy(filler, buf, kChPageSize);
    StBe32(filler + kPgNumber, kChFillerMark);
    for (; end < pos && status == 0; end += kChPageSize)
      status = FiWriteAt(f.file, filler, end, kChPageSize);
    if (status != 0) return status;
  }
  return FiWriteAt(f.file, buf, pos, kChPageSize);
}

int ChFiUtXlateOut(const uint8_t* mem, uint8_t* out, uint32_t page,
                   uint32_t revision, const std::vector<uint16_t>& utOut,
                   uint32_t* where, uint16_t* type) {
  XlateArg arg;
  arg.utOut = &utOut;
  UtXlateOps ops;
  ops.handleXfm = HandleOut;
  ops.typeXfm = TypeOut;
  ops.arg = &arg;
  memcpy(out, mem, kChPageSize);
  for (uint32_t off = kPgHeadSize; off < kChPageSize;) {
    *where = off;
    uint16_t prev = BlkGet(mem, off, kBlkPrev);
    uint16_t size = BlkGet(mem, off, kBlkSize);
    uint16_t t = BlkGet(mem, off, kBlkType);
    uint16_t w6 = BlkGet(mem, off, kBlkStatus);
    uint32_t bytes = BlkBytes(mem, off);
    if (bytes < 16 || off + bytes > kChPageSize || (t != 0 && size < 8))
      return kChXlateBadBlock;
    StBe16(out + off + kBlkPrev, prev);
    StBe16(out + off + kBlkSize, size);
    if (t == 0) {
      StBe16(out + off + kBlkType, 0);
      StBe16(out + off + kBlkParent, w6);
      StBe16(out + off + kBlkChild1, BlkGet(mem, off, kBlkChild1));
      StBe16(out + off + kBlkNext, BlkGet(mem, off, kBlkNext));
      StBe16(out + off + kBlkChild2, BlkGet(mem, off, kBlkChild2));
    } else {
      *type = t;
      const std::string* layout = UtLayoutOf(t);
      if (!layout) return kChXlateNoTemplate;
      uint16_t fileType;
      if (!TypeOut(t, UtDir::kOut, &arg, &fileType)) return kUtBadType;
      int r = UtXlateChunk(*layout, mem + off + kBlkData, out + off + kBlkData,
                           size - 8u, UtDir::kOut, ops);
      if (r != kUtOk) return r;
      StBe16(out + off + kBlkType, fileType);
      StBe16(out + off + kBlkStatus, uint16_t(w6 & kChRefMask));
    }
    off += bytes;
  }
  uint16_t flags = Ld16(mem + kPgFlags);
  flags = uint16_t((flags & ~kChFlagsCleared) | kHostPageFlags);
  StBe16(out + kPgFree, Ld16(mem + kPgFree));
  StBe16(out + kPgRoot, Ld16(mem + kPgRoot));
  StBe16(out + kPgFlags, flags);
  StBe32(out + kPgRevision, revision);
  StBe32(out + kPgNumber, page);
  return kUtOk;
}

int ChFiUtXlateIn(const uint8_t* in, uint8_t* mem, ChPart part,
                  const ChTypeTable& types, uint32_t* where) {
  XlateArg arg;
  arg.part = part;
  arg.types = &types;
  uint16_t flags = LdBe16(in + kPgFlags);
  UtXlateOps ops;
  ops.swap = ((flags & kPgFlagLittle) != 0) != kHostLittle;
  ops.realFormat = (flags & kUtRealQuad)       ? kUtRealQuad
                   : (flags & kUtRealExtended) ? kUtRealExtended
                                               : kUtRealDouble;
  ops.handleXfm = HandleIn;
  ops.typeXfm = TypeIn;
  ops.arg = &arg;
  memcpy(mem, in, kChPageSize);
  for (uint32_t off = kPgHeadSize; off < kChPageSize;) {
    *where = off;
    uint16_t prev = LdBe16(in + off + kBlkPrev);
    uint16_t size = LdBe16(in + off + kBlkSize);
    uint16_t t = LdBe16(in + off + kBlkType);
    uint16_t w6 = LdBe16(in + off + kBlkStatus);
    uint32_t bytes = t == 0 ? size : ChRound16(size);
    if (bytes < 16 || bytes % 16 || off + bytes > kChPageSize ||
        (t != 0 && size < 8))
      return kChXlateBadBlock;
    BlkSet(mem, off, kBlkPrev, prev);
    BlkSet(mem, off, kBlkSize, size);
    BlkSet(mem, off, kBlkStatus, w6);
    if (t == 0) {
      BlkSet(mem, off, kBlkType, 0);
      BlkSet(mem, off, kBlkChild1, LdBe16(in + off + kBlkChild1));
      BlkSet(mem, off, kBlkNext, LdBe16(in + off + kBlkNext));
      BlkSet(mem, off, kBlkChild2, LdBe16(in + off + kBlkChild2));
    } else {
      uint16_t global;
      if (!TypeIn(t, UtDir::kIn, &arg, &global)) return kUtBadType;
      const std::string* layout = UtLayoutOf(global);
      if (!layout) return kChXlateNoTemplate;
      int r = UtXlateChunk(*layout, in + off + kBlkData, mem + off + kBlkData,
                           size - 8u, UtDir::kIn, ops);
      if (r != kUtOk) return r;
      BlkSet(mem, off, kBlkType, global);
    }
    off += bytes;
  }
  St16(mem + kPgFree, LdBe16(in + kPgFree));
  St16(mem + kPgRoot, LdBe16(in + kPgRoot));
  St16(mem + kPgFlags, uint16_t((flags & ~kChFlagsCleared) | kHostPageFlags));
  St32(mem + kPgRevision, LdBe32(in + kPgRevision));
  St32(mem + kPgNumber, 0);
  return kUtOk;
}

const char* ChXlateResultText(int result) {
  switch (result) {
    case kChXlateNoTemplate: return "chunk type without layout template";
    case kChXlateBadBlock: return "broken block chain";
    default: return UtXlateResultText(result);
  }
}

}  // namespace quil
