// ChInt: the chunk store's shared internals.  Only src/store includes this.
//
// DATABASE FILE (all structural integers big-endian)
//
//   OFFSET    SIZE      MEANING
//   0         4,096     header page
//   4,096     524,288   space map: bit p (byte p/8, value 1 << p%8) set when
//                       disk page p is allocated; data page N = disk page
//                       145 + N; written in 4,096-byte pieces, changed only
//   528,384   65,536    type table of the registered types the file uses
//   593,920   ...       data page N at 593,920 + N * 4,096
//
// HEADER PAGE (20 words, zeros, one word at 4,092)
//
//   OFFSET  SIZE  MEANING
//   0       4     magic 0x41555448 "AUTH"
//   4       4     revision, advanced by every save
//   8       4     reserved 0
//   12      4     format version 20
//   16      4     page size 4,096
//   20      8     reserved -1, -1
//   28      8     reserved 0
//   36      4     maximum pages (bits in the space map)
//   40      4     torn-header tolerance: non-zero accepts a revision copy
//                 that differs
//   44      12    reserved 0
//   56      4     type table offset (528,384, 0 when there is none)
//   60      4     type table pages
//   64      4     type table entries
//   68      4     type table stamp
//   72      4     flags: 1 always, 2 little-endian writer, 16/32/64 real
//                 format; 19 as written here; 0 read as 19
//   76      4     save in progress: 1 from the start of a save until its
//                 final header write
//   4,092   4     revision copy
//
// TYPE TABLE ENTRY
//
//   OFFSET  SIZE  MEANING
//   0       2     entry length
//   2       2     number of component types n
//   4       4     first definition word
//   8       4     second definition word
//   12      2     byte length of the string list
//   14      2n    component types (file-local numbers)
//   14+2n   ...   string list: per string a 16-bit length L, L bytes, 0;
//                 the first string is the layout template
//   ...     ...   the type's name in the same form
//
//   File-local numbers are 0x8000 + the entry's position, counted from 1.
//
// DATA PAGE (memory form: the same offsets, integers in host order)
//
//   OFFSET  SIZE  MEANING
//   0       2     free-space size (4,080 in an empty page)
//   2       2     offset of the root of the free-block tree (0: none)
//   4       2     flags: 8 entirely free; 1, 2, 16/32/64 as in the header
//   6       1     file-local number of the owning part (1, the master)
//   7       1     the same, second copy
//   8       4     header revision when the page was written
//   12      4     file form: the page number (0x12345678 in a filler page);
//                 memory form: the cache page index of the page
//   16      ...   blocks, exactly covering the remaining 4,080 bytes
//
// BLOCK (16-byte aligned, size a multiple of 16)
//
//   OFFSET  SIZE  MEANING
//   0       2     size of the physically preceding block (0 for the first)
//   2       2     allocated: chunk length + 8; free: block size
//   4       2     chunk type; 0 marks a free block
//   6       2     allocated: bits 0-12 reference count, 13-15 lock count
//                 (0 in a saved page); free: offset of the parent tree
//                 node, or of the preceding block of the same size
//   8       ...   allocated: chunk data
//   8       2     free: first child (smaller sizes)
//   10      2     free: next free block of the same size
//   12      2     free: second child (larger sizes)
//   14      1     free: number of tree nodes under the first child
//   15      1     free: number of tree nodes under the second child
//
//   The free blocks of a page form a binary search tree by size; blocks of
//   a size already in the tree are chained behind its node at offset 10 and
//   point back at offset 6.  Free blocks are never adjacent: freeing merges.
//
// PAGE-TABLE ENTRY (32 bits, one per page number of a part)
//
//   BITS   MEANING
//   30-31  00 in the part's database file, 01 in the transient file,
//          10 in the memory cache, 11 not allocated
//   29     the page belongs to the background save in progress
//   0-28   transient slot / cache page index / next free page number
//          (0x1FFFFFFF ends the free list)
//
// Locking: the save mutex ChBgSaveMutex serialises the main thread with the
// background save writer around page-table entries, the LRU list and file
// reads and writes.  While no writer can be running (ChBgSavesOut == 0) the
// main thread is alone and ChSaveGuard does not take the mutex.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "Ch.h"
#include "Fi.h"
#include "Ut.h"

namespace quil {

// ---------------------------------------------------------------------------
// File layout constants.

constexpr uint32_t kChMagic = 0x41555448;
constexpr uint32_t kChFormatVersion = 20;
constexpr uint32_t kChHeaderPages = 145;
constexpr int64_t kChMapPos = 4096;
constexpr int64_t kChMapMaxBytes = 524288;
constexpr int64_t kChUtPos = 528384;
constexpr int64_t kChUtMaxBytes = 65536;
constexpr int64_t kChFirstDataPos = 593920;
constexpr uint32_t kChFillerMark = 0x12345678;
constexpr uint32_t kChHeaderFlags = 19;
constexpr uint32_t kChFlagsCleared = 0x72;
constexpr uint8_t kChMasterPartId = 1;
constexpr int kChSyncEvery = 15;

// Header word indices (offset / 4).
enum ChHeadWord : int {
  kHdMagic = 0,
  kHdRevision = 1,
  kHdVersion = 3,
  kHdPageSize = 4,
  kHdReserved5 = 5,
  kHdReserved6 = 6,
  kHdMaxPages = 9,
  kHdTornTolerance = 10,
  kHdUtOffset = 14,
  kHdUtPages = 15,
  kHdUtEntries = 16,
  kHdUtStamp = 17,
  kHdFlags = 18,
  kHdSaving = 19,
  kHdWords = 20,
};
constexpr int kHdRevisionCopyPos = 4092;

// Page header and block offsets.
constexpr uint32_t kPgFree = 0;
constexpr uint32_t kPgRoot = 2;
constexpr uint32_t kPgFlags = 4;
constexpr uint32_t kPgPart = 6;
constexpr uint32_t kPgPart2 = 7;
constexpr uint32_t kPgRevision = 8;
constexpr uint32_t kPgNumber = 12;
constexpr uint32_t kPgHeadSize = 16;
constexpr uint32_t kPgRoom = 4080;

constexpr uint16_t kPgFlagAlways = 1;
constexpr uint16_t kPgFlagLittle = 2;
constexpr uint16_t kPgFlagEmpty = 8;
constexpr uint16_t kPgFlagRealMask = 0x70;

constexpr uint32_t kBlkPrev = 0;
constexpr uint32_t kBlkSize = 2;
constexpr uint32_t kBlkType = 4;
constexpr uint32_t kBlkStatus = 6;  // allocated: refs and locks
constexpr uint32_t kBlkParent = 6;  // free
constexpr uint32_t kBlkData = 8;
constexpr uint32_t kBlkChild1 = 8;
constexpr uint32_t kBlkNext = 10;
constexpr uint32_t kBlkChild2 = 12;
constexpr uint32_t kBlkCount1 = 14;
constexpr uint32_t kBlkCount2 = 15;

constexpr uint16_t kChRefMask = 0x1FFF;
constexpr uint16_t kChLockUnit = 0x2000;
constexpr uint16_t kChMaxLocks = 7;

// Page-table entries.
constexpr uint32_t kPteWhere = 0xC0000000;
constexpr uint32_t kPteFile = 0x00000000;
constexpr uint32_t kPteTrans = 0x40000000;
constexpr uint32_t kPteCache = 0x80000000;
constexpr uint32_t kPteFree = 0xC0000000;
constexpr uint32_t kPteSaveBit = 0x20000000;
constexpr uint32_t kPteValue = 0x1FFFFFFF;
constexpr uint32_t kPteFreeEnd = 0x1FFFFFFF;
constexpr uint32_t kPteSlots = 1024;
constexpr uint32_t kPteSlotSize = 4096;

// ---------------------------------------------------------------------------
// Byte access.

inline uint16_t Ld16(const uint8_t* p) {
  uint16_t v;
  memcpy(&v, p, 2);
  return v;
}
inline uint32_t Ld32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}
inline void St16(uint8_t* p, uint16_t v) { memcpy(p, &v, 2); }
inline void St32(uint8_t* p, uint32_t v) { memcpy(p, &v, 4); }
inline uint16_t LdBe16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t LdBe32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) |
         (uint32_t(p[2]) << 8) | p[3];
}
inline void StBe16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void StBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// Memory-form block fields.
inline uint16_t BlkGet(const uint8_t* pg, uint32_t off, uint32_t field) {
  return Ld16(pg + off + field);
}
inline void BlkSet(uint8_t* pg, uint32_t off, uint32_t field, uint16_t v) {
  St16(pg + off + field, v);
}
inline uint32_t ChRound16(uint32_t n) { return (n + 15) & ~15u; }
// The size of the block at off, free or allocated.
inline uint32_t BlkBytes(const uint8_t* pg, uint32_t off) {
  uint32_t size = BlkGet(pg, off, kBlkSize);
  return BlkGet(pg, off, kBlkType) == 0 ? size : ChRound16(size);
}

// ---------------------------------------------------------------------------
// Pages in memory form (ChPage.cc).

// Makes pg an empty page owned by part id partId.
void ChPgInitEmpty(uint8_t* pg, uint8_t partId);
// Allocates a block for a chunk of length bytes; returns its offset, or 0
// when no free block is large enough.  The block's type, status and data are
// left for the caller.
uint32_t ChPgAlloc(uint8_t* pg, uint32_t length);
// Frees the block at off, merging with free neighbours.
void ChPgFree(uint8_t* pg, uint32_t off);
// Changes the length of the chunk at off in place; false when the block
// cannot grow where it is (nothing changed then).
bool ChPgResize(uint8_t* pg, uint32_t off, uint32_t length);
// The size of the largest free block.
uint32_t ChPgLargestFree(const uint8_t* pg);
// Checks a memory-form page: block chain, sizes, free-block tree, free-space
// total, flags.  With savedForm, lock counts must be 0.  Returns true when
// sound; otherwise appends the problem to *why.
bool ChPgVerify(const uint8_t* pg, bool savedForm, std::string* why);

// ---------------------------------------------------------------------------
// Files (ChFile.cc).

// File-local type numbers of one file.
struct ChTypeTable {
  std::vector<uint16_t> localToGlobal;  // index: local & 0x7FFF; [0] unused
  std::unordered_map<uint16_t, uint16_t> globalToLocal;
  bool modified = false;
  uint32_t stamp = 0;  // header stamp of the table as loaded or written
  uint32_t offset = 0;
  // Enters a registered type (and its components first); returns its
  // file-local number.
  uint16_t Enter(uint16_t global);
  int Count() const { return int(localToGlobal.size()) - 1; }
};

// The background save of one file.  The main thread fills it when a save
// starts (ChSaveFreeze); the writer reads only these frozen fields; the
// main thread finishes it (ChSaveFinish).
//
// State machine (state is the only field both threads write):
//
//   kIdle --ChBgSaveStart (main)--> kActive --writer done--> kComplete
//   kComplete --ChPoll / ChBgSaveCleanupWait (main, ChSaveFinish)--> kIdle
//
// Each frozen page comes from one source:
//   kCache  a cache page marked for the save (kCpMarkedForSave).  The main
//           thread never changes its bytes: a change first moves the page to
//           a copy (ChBgSaveSwitchCp) and the original is detached
//           (kCpDetached, out of the LRU list) until the save finishes.
//   kCopy   a private copy taken at the freeze, for a page with locked
//           chunks (whose pointers must stay where they are).
//   kTrans  a transient-file slot owned by the save until it finishes.
// While a page is in the save its page-table entry carries bit 29, which
// also tells eviction that the database file does not hold the page yet.
enum class ChSaveState : uint8_t { kIdle, kActive, kComplete };
enum class ChSaveSource : uint8_t { kCache, kCopy, kTrans };

struct ChSaveRec {
  std::atomic<ChSaveState> state{ChSaveState::kIdle};
  uint16_t error = 0;
  bool background = false;        // a writer thread runs this save
  ChPart part = 0;
  // Applied to the part when the save succeeds.
  uint32_t revision = 0, date = 0, time = 0;
  uint32_t headWords[kHdWords] = {};  // header to write (marker aside)
  uint32_t revisionCopy = 0;
  std::vector<uint32_t> pages;    // sorted page numbers
  std::vector<ChSaveSource> sources;
  std::vector<int32_t> cachePages;  // kCache: the cache page index
  std::vector<const uint8_t*> pageData;  // kCache, kCopy: the bytes
  std::vector<uint32_t> transSlots; // kTrans: the slot
  std::vector<std::unique_ptr<uint8_t[]>> copies;  // kCopy bytes
  std::vector<uint32_t> mapPieces;  // changed space-map pieces
  std::vector<uint8_t> mapBytes;    // their bytes, 4,096 per piece
  bool utChanged = false;
  std::string utBytes;              // the type table to write
  std::vector<uint16_t> utOut;      // global (& 0x7FFF) -> file-local
  std::unique_ptr<uint8_t[]> buffer;  // 4,112 bytes
  std::unique_ptr<uint8_t[]> readBuffer;  // 4,096 bytes
  // Waits in progress (ChBgSaveWaitIdle): the waiter finishes the save,
  // so ChPoll leaves it alone.
  int waiters = 0;
  // Completion callback (ChBgSaveSetCb), kept across saves.
  ChBgSaveCb callback = nullptr;
  intptr_t argument = 0;
  // Progress messages of the current or last save, guarded by
  // ChBgSaveMutex.
  std::vector<std::string> messages;
};

// The rollback journal of one file (ChJournal.cc).  Written by the save's
// writer (or the main thread for a flush or an open) while it owns the file.
struct ChJournalRec {
  FiFile file;             // open from the first save of this open on
  bool nameSynced = false; // its directory entry is durable
  uint32_t salt = 0;       // of the records of the journal being written
  // A save failed after it had touched the image and the rollback failed
  // too: the journal is hot on disk, and no save may start before a
  // rollback succeeds (the error state of the file).
  bool rollbackPending = false;
  // Read-only opens of a file whose save was interrupted read the image
  // the journal restores: the journal's records by database position (the
  // offset of the bytes in the journal file) and the length before the
  // save; overlayLength < 0 when there is no such overlay.
  std::map<int64_t, int64_t> overlay;
  int64_t overlayLength = -1;
  // What the open found and did, for the operator ("" when nothing).
  std::string note;
};

struct ChFiRec {
  ChFi handle;             // this file's checked handle
  FiFile file;
  std::string path;
  bool readOnly = false;
  bool temporary = false;
  int opens = 1;
  uint64_t device = 0, inode = 0;
  uint32_t head[kHdWords] = {};
  uint32_t revisionCopy = 0;
  // The revision of the last complete save on disk (what a rollback
  // restores).
  uint32_t diskRevision = 0;
  uint8_t headPage[kChPageSize] = {};  // private copy as read
  std::vector<uint8_t> map;             // whole pieces
  std::vector<uint8_t> mapPieceChanged;
  std::vector<uint32_t> mapChangedList;
  ChTypeTable types;
  ChPart master = 0;
  ChSaveRec save;
  ChJournalRec journal;
  bool masterOnDisk = false;
};

// The open file of a checked handle, or null for a handle that names no
// open file.
ChFiRec* ChFiGet(ChFi file);
// The open file of a checked handle; halts with what ("ChFiPath-- Illegal
// ChFi") for any other handle.
ChFiRec& ChFiOrHalt(ChFi file, const char* what);

// Reads from the database file as FiRead does, through the overlay of a
// read-only open of an interrupted save when there is one.  Every read of
// a database file's image goes through here.
int64_t ChFiRead(ChFiRec& f, void* buffer, int64_t pos, int64_t length, uint16_t& status);
// Exactly length bytes (214 when the image ends first).
[[nodiscard]] uint16_t ChFiReadAt(ChFiRec& f, void* buffer, int64_t pos, int64_t length);
// The length of the image (as ChFiRead sees it).
int64_t ChFiImageLength(ChFiRec& f, uint16_t& status);

// ---------------------------------------------------------------------------
// The rollback journal (ChJournal.cc).
//
// Before a save (or a flush) overwrites any byte of the image in place, the
// bytes it will overwrite go to the journal beside the database file and are
// synced; only then is the save marker set.  A save that ends cleanly
// empties the journal.  So at any moment:
//   - the journal is incomplete (or empty):  the image was not touched;
//   - the journal is complete and the header shows the save marker (or is
//     torn, or unreadable): the save was interrupted, and writing the
//     journal's records back (and cutting the file to its old length)
//     restores the last complete save;
//   - the journal is complete and the header is whole without the marker:
//     the save either had not begun to write or had ended; the image is
//     complete and the journal is stale.
//
// JOURNAL FILE (ChFiJournalPath: the database path + "-journal"; big-endian)
//
//   OFFSET  SIZE  MEANING
//   0       8     magic "QuilJrnl"
//   8       4     journal format 1
//   12      4     page size 4,096
//   16      4     salt: chosen per save, part of every record's checksum
//   20      4     number of records
//   24      4     revision the records restore (the last complete save)
//   28      4     revision of the save that wrote the journal
//   32      8     length of the database file before the save
//   40      4     CRC-32 of bytes 0-39
//   44      ...   zero up to 4,096
//
// RECORD (from offset 4,096, one after another, 4,112 bytes each)
//
//   OFFSET  SIZE  MEANING
//   0       8     position in the database file (a multiple of 4,096)
//   8       4     CRC-32 of the salt, the position and the 4,096 bytes
//   12      4     zero
//   16      4096  the bytes the database file held there before the save
//
// The header is written (and synced) only after every record is synced, so
// a journal whose header is valid and whose records all check is complete.
// Only bytes inside the old length of the file are journaled: what a save
// writes past it goes with the cut to the old length.

constexpr int64_t kChJournalHeadSize = 4096;
constexpr int64_t kChJournalRecordSize = 16 + kChPageSize;

// What a journal file holds.
struct ChJournalInfo {
  bool exists = false;
  bool complete = false;     // a valid header and every record checks
  std::string why;           // why it is not complete
  uint32_t records = 0;
  uint32_t restores = 0;     // revision the records restore
  uint32_t savedRevision = 0;  // revision of the save that wrote it
  int64_t oldLength = 0;
  // Record positions in the database file and their offsets in the journal.
  std::vector<std::pair<int64_t, int64_t>> positions;
};

// Reads and verifies the journal at journalPath (file: an open journal, or
// a closed FiFile to open it read-only).
[[nodiscard]] uint16_t ChJnlLoad(const std::string& journalPath, FiFile& file,
                                 ChJournalInfo* info);
// True when journal info applies to the database header page head (the
// first 4,096 bytes of the file, or fewer when short): the save it
// journals was interrupted.
bool ChJnlIsHot(const ChJournalInfo& info, const uint8_t* head, int64_t headBytes);
// Run by ChFiOpen before the header is read.  Read/write: rolls back a hot
// journal (the records written back, the file cut to its old length, synced,
// the journal deleted) and deletes a stale one.  Read-only: a hot journal
// becomes the overlay through which the image is read; nothing is written.
// Returns 0 or the status of a failed call (the files are left as they
// were, apart from a rollback that may be repeated).
[[nodiscard]] uint16_t ChJnlRecover(ChFiRec& f);
// Writes the journal of the in-place writes at positions (sorted, multiples
// of 4,096; those at or past the file's length are left out) of a save
// that will write revision newRevision, and syncs it.  Returns 0 or a
// status (the image is untouched then).
[[nodiscard]] uint16_t ChJnlBegin(ChFiRec& f, const std::vector<int64_t>& positions,
                                  uint32_t newRevision);
// The save ended cleanly: the journal is emptied.
[[nodiscard]] uint16_t ChJnlCommit(ChFiRec& f);
// The save failed after its journal was begun: a complete journal is
// written back whatever the header shows (the save did not complete for
// its caller, and the journal restores the last complete save exactly),
// then emptied; an incomplete one means the image was not touched.
// Returns 0 or a status; on failure the file stays in its error state
// (rollbackPending) and the next save or flush tries again first.
[[nodiscard]] uint16_t ChJnlRollback(ChFiRec& f);
// Closes and deletes the journal of a file being closed when it holds
// nothing that an open would need.
void ChJnlClose(ChFiRec& f);
// Opens the image of the database file at path read-only into f, outside
// the store's table of open files (the offline checks): the file, and the
// journal's overlay when a save was interrupted.
[[nodiscard]] uint16_t ChFiOpenImage(const std::string& path, ChFiRec& f);

// Sets the text ChFiOpenProblem returns.
void ChFiNoteProblem(const std::string& text);
// Header words in host order from the 4,096 file bytes, and back.
void ChFiHeadXlateIn(const uint8_t* page, uint32_t* words, uint32_t* copy);
void ChFiHeadXlateOut(const uint32_t* words, uint32_t copy, uint8_t* page);
void ChFiCreateHead(ChFiRec& f);
// Reads and checks the header, then the space map and the type table.
[[nodiscard]] uint16_t ChFiReadHead(ChFiRec& f);
// The space map and type table part of ChFiReadHead, for the header words
// given; reports a forward reference in the type table through *forward.
[[nodiscard]] uint16_t ChFiReadMapAndTypes(ChFiRec& f, const uint32_t* words,
                                           std::string* why, bool* forward);
[[nodiscard]] uint16_t ChFiWriteHead(ChFiRec& f);
// Sync, write the header page, sync; the first failing status in status.
void ChFiWriteHeadPiece(ChFiRec& f, const uint8_t* page, uint16_t& status);
void ChFiAdvanceToNextRev(ChFiRec& f);
bool ChFiMapGet(const ChFiRec& f, uint32_t diskPage);
void ChFiMapSet(ChFiRec& f, uint32_t diskPage, bool allocated);
// The type table as file bytes; the count of entries in *entries.
std::string ChFiUtBytes(const ChFiRec& f, uint32_t* entries);
// Parses a type table into types, registering its types by name.  Returns 0,
// 14 (conflict with a registered type) or 4 (malformed: *why says how;
// forward references are reported with *forward set).
[[nodiscard]] uint16_t ChFiUtParse(const uint8_t* bytes, size_t length, uint32_t entries,
                     ChTypeTable& types, std::string* why, bool* forward);
// Reads page number page into buf (file form) and checks its number word.
// Returns 0, 17 (bad page, tolerated) or a file status; halts on a bad
// page unless tolerated.
[[nodiscard]] uint16_t ChFiReadPgX(ChFiRec& f, uint8_t* buf, uint32_t page, int64_t pos,
                     bool tolerate);
// Writes a file-form page at pos, filler pages first when pos lies past the
// end of the file.  Returns 0 or a file status.
[[nodiscard]] uint16_t ChFiWritePgX(ChFiRec& f, const uint8_t* buf, uint32_t page,
                      int64_t pos);
inline int64_t ChFiPagePos(uint32_t page) {
  return kChFirstDataPos + int64_t(page) * kChPageSize;
}

// Page conversion.  Out: memory page mem to file form in out (page number,
// revision, flags set), with the type numbers of utOut.  In: file page to
// memory form for part.  Return kUtOk or a UtXlateResult, with the
// offending block's offset in *where and (Out) the type in *type.
int ChFiUtXlateOut(const uint8_t* mem, uint8_t* out, uint32_t page,
                   uint32_t revision, const std::vector<uint16_t>& utOut,
                   uint32_t* where, uint16_t* type);
int ChFiUtXlateIn(const uint8_t* in, uint8_t* mem, ChPart part,
                  const ChTypeTable& types, uint32_t* where);
std::vector<uint16_t> ChFiUtOutMap(const ChTypeTable& types);
// Results of the page conversions besides those of UtXlateChunk.
constexpr int kChXlateNoTemplate = 100;
constexpr int kChXlateBadBlock = 101;
const char* ChXlateResultText(int result);

// ---------------------------------------------------------------------------
// Cache (ChCache.cc).

constexpr uint16_t kCpAllocated = 1;
constexpr uint16_t kCpModified = 16;
constexpr uint16_t kCpMarkedForSave = 32;
// A cache page frozen for a save that the server has since replaced by a
// copy: out of the LRU list and the page table, released by ChSaveFinish.
constexpr uint16_t kCpDetached = 64;

struct ChCachePage {
  uint8_t* data = nullptr;  // 4,096 bytes, 4,096-aligned, never moves
  uint32_t page = 0;
  ChPart part = 0;
  uint16_t flags = 0;
  uint16_t locks = 0;       // locks held on chunks of this page
  int32_t transSlot = -1;   // transient slot with a copy of this page
  int32_t prev = -1;        // LRU list, head most recently used
  int32_t next = -1;
};

// ---------------------------------------------------------------------------
// Parts (ChPart.cc).

struct ChPartRec {
  ChPart number = 0;
  ChFiRec* file = nullptr;  // null for the transient part
  uint8_t fileId = kChMasterPartId;
  std::array<std::unique_ptr<uint32_t[]>, kPteSlots> slots;
  uint32_t freeHead = kPteFreeEnd;
  uint32_t pageCount = 0;
  uint32_t allocated = 0;  // allocated pages
  // The part information (words of the type 616 chunk).
  uint32_t revision = 0, saveDate = 0xFFFFFFFF, saveTime = 0xFFFFFFFF;
  ChHandle root = 0;
  uint32_t rootExtra = 0;
  std::vector<uint32_t> changed;       // OpenChanged
  std::vector<uint8_t> changedBit;     // per page number
  uint32_t roomHint = kPteFreeEnd;     // a page believed to have room
  bool modified = false;
  bool catast = false;
};

struct ChStore {
  bool initialised = false;
  bool inhibit = false;
  std::array<std::unique_ptr<ChPartRec>, 128> parts;
  std::vector<std::unique_ptr<ChFiRec>> files;
  // The table behind checked file handles: per slot the open file (null
  // when free) and the slot's generation, advanced at every close.  Slot 0
  // is never used.
  std::vector<ChFiRec*> fileSlots{nullptr};
  std::vector<uint32_t> fileGenerations{0};
  // Cache.
  std::vector<ChCachePage> cache;
  std::vector<std::unique_ptr<uint8_t[], void (*)(void*)>> cacheBlocks;
  int32_t lruHead = -1, lruTail = -1;
  int32_t freeCache = -1;  // chained through next
  // Transient file.
  FiFile trans;
  std::vector<uint32_t> transFree;
  uint32_t transNext = 0;
  // Scratch page for reads.
  std::unique_ptr<uint8_t[]> scratch;
};
extern ChStore ChState;

// Background saves whose writer may still be running.  Changed only by the
// main thread, before a writer starts and after it has finished, so a
// writer always reads it above 0; atomic because writers of other files
// read it (ChSaveGuard) while the main thread changes it.
extern std::atomic<int> ChBgSavesOut;
extern std::mutex ChBgSaveMutex;

// Takes the save mutex while a writer may be running.  An io guard (around
// one file read or write) does not when FiAtomicIoFlag is set.
class ChSaveGuard {
 public:
  explicit ChSaveGuard(bool io = false)
      : locked_(ChBgSavesOut > 0 && !(io && FiAtomicIoFlag)) {
    if (locked_) ChBgSaveMutex.lock();
  }
  ~ChSaveGuard() {
    if (locked_) ChBgSaveMutex.unlock();
  }
  ChSaveGuard(const ChSaveGuard&) = delete;
  ChSaveGuard& operator=(const ChSaveGuard&) = delete;

 private:
  bool locked_;
};

inline ChPartRec* ChPartGet(ChPart part) {
  return part > 0 && part < int(ChState.parts.size()) ? ChState.parts[size_t(part)].get()
                                                 : nullptr;
}
// The part of an open part number; halts with what for any other number.
ChPartRec& ChPartOrHalt(ChPart part, const char* what);
// The page-table entry of page (kPteFree when beyond the table).
inline uint32_t ChPte(const ChPartRec& p, uint32_t page) {
  const auto& slot = p.slots[page / kPteSlotSize];
  if (page >= p.pageCount || !slot) return kPteFree | kPteFreeEnd;
  return slot[page % kPteSlotSize];
}
void ChPteSet(ChPartRec& p, uint32_t page, uint32_t entry);

// Returns the cache page index holding page (loading it if needed).
int32_t ChPgAllocFill(ChPartRec& p, uint32_t page);
// Takes a free cache page (evicting the least recently used unlocked page,
// growing the cache when every page is locked).
int32_t ChCacheTake();
// Makes cache page idx hold page of part p (entry, LRU head).
void ChCacheInstall(int32_t idx, ChPartRec& p, uint32_t page, uint32_t saveBit);
// Returns a cache page to the free list (dropping its contents).
void ChCacheRelease(int32_t index);
void ChCacheTouch(int32_t index);
// Marks the cached page changed: modified flag and the changed-page list.
void ChCacheMarkModified(int32_t index);
// Frees a transient slot.
void ChTransFree(uint32_t slot);
// Reads a transient slot into buf.
[[nodiscard]] uint16_t ChTransRead(uint32_t slot, uint8_t* buf);
[[nodiscard]] uint16_t ChCacheInit(uint32_t pages);
void ChCacheTerm();
// Drops every cache page and transient slot of a part.
void ChCacheDropPart(ChPartRec& p);
inline ChCachePage& ChCp(int32_t index) { return ChState.cache[size_t(index)]; }
// The cache page index kept in a memory page's number word.
inline int32_t ChCpOfData(const void* data) {
  auto base = reinterpret_cast<uintptr_t>(data) & ~uintptr_t(kChPageSize - 1);
  return int32_t(Ld32(reinterpret_cast<const uint8_t*>(base) + kPgNumber));
}

void ChPartMarkChanged(ChPartRec& p, uint32_t page);
// Allocates a new, empty page in the part (cached, changed); returns its
// cache page index and number.
int32_t ChCreateNewPage(ChPartRec& p, uint32_t* page);
// Returns an empty page to the part's free pages.
void ChPageFree(ChPartRec& p, uint32_t page, int32_t cacheIndex);
ChPart ChPartAllocNumber();

// Save steps (ChSave.cc).  Freeze and Finish run on the main thread, Write
// on the writer (or inline without background saving).
void ChSaveFreeze(ChPartRec& p);
void ChSaveWrite(ChFiRec& f);
// Writes the changed space-map pieces and type table of f and its header
// in place, behind the journal and the marker as a save does (ChFiFlush);
// nothing when neither changed.  An earlier failed save's rollback is
// retried first.  Main thread, no save in flight.
[[nodiscard]] uint16_t ChSaveFlush(ChFiRec& f);
[[nodiscard]] uint16_t ChSaveFinish(ChFiRec& f, ChPartRec& p);

// The background writer (ChBgSave.cc).
//
// Freezes the part's changes (ChSaveFreeze) and starts the writer; without
// background saving, or when no thread can be started, writes and finishes
// in the calling thread.  Returns 0, or the status of an inline save.
// REQUIRES: the file's save is idle and the revision has been advanced.
[[nodiscard]] uint16_t ChBgSaveStart(ChPartRec& p);
// The writer thread: ChSaveWrite, then the completion flag and a poll.
void ChBgSave(ChFiRec* f);
// Finishes a completed save (ChSaveFinish), logs "save complete" and drops
// the save from ChBgSavesOut; then raises the writer's error with ExRaise
// when raise is set (returns it otherwise), or runs the completion
// callback.  REQUIRES: state kComplete.
[[nodiscard]] uint16_t ChBgSaveComplete(ChFiRec& f, bool raise);
// Waits until the file's save is idle, finishing it on the way.  Returns
// its error when raise is false.
[[nodiscard]] uint16_t ChBgSaveWaitIdle(ChFiRec& f, bool raise);
// Before a change to cache page index: when the page is frozen for a save,
// moves the page to a copy (page-table entry under the save mutex) and
// returns the copy's index; otherwise returns index.
int32_t ChBgSaveSwitchCp(int32_t index);
// True when slot is the transient slot a save in progress reads for page.
bool ChBgSaveOwnsSlot(const ChPartRec& p, uint32_t page, uint32_t slot);
// Appends a progress message of f's save (any thread).
void ChBgSaveNote(ChFiRec& f, const char* message);
// Writes a line to the record log when one is installed.
void ChRecordLog(const std::string& line);
// Test hook of the writer, before it reads each page (ChBgSave.cc).
void ChBgSaveHookPage(uint32_t page);

// ---------------------------------------------------------------------------
// Backup and repack jobs (ChBackup.cc, ChRepack.cc).
//
// One job at a time holds the process-wide slot; the others wait in line.
// The running job's piece routine runs from the RAM queue every pieceMs
// milliseconds until it says it is done; then the destination is closed
// (and deleted unless the status is 0), the next job starts and the job's
// callback runs.

// The status a stopped job's finish routine receives.
constexpr uint16_t kChJobStopped = 0xFFFF;

struct ChCopyJob {
  ChPart part = 0;
  std::string destination;
  FiFile dest;
  ChBackupCb callback = nullptr;
  intptr_t argument = 0;
  int32_t pieceMs = 0;
  int32_t ramId = 0;  // the scheduled piece, 0 when none
  bool running = false;
  int64_t done = 0, total = 0;  // bytes, for ChBackupPercent
  std::vector<uint8_t> buffer;
  // When the job gets the slot.
  void (*start)(ChCopyJob& job) = nullptr;
  // One piece; true when the job is done (with *status set).
  bool (*piece)(ChCopyJob& job, uint16_t* status) = nullptr;
  // When it ends or is stopped, before the destination is closed.
  void (*finish)(ChCopyJob& job, uint16_t status) = nullptr;
  std::shared_ptr<void> state;  // the repack's own state
};

// A job with its destination, callback and spacing filled in.
std::unique_ptr<ChCopyJob> ChJobNew(ChPart part, const std::string& destination,
                                    ChBackupCb callback, intptr_t argument, int32_t pieceMs);
// Waits for a save of the job's part in flight, creates (or truncates) the
// destination and puts the job in line.  Returns 0 or the status of
// creating the destination.
[[nodiscard]] uint16_t ChJobQueue(std::unique_ptr<ChCopyJob> job);
// Copies length bytes at pos from one file to the same position in the
// other, in pieces of kChLargeBufCount through buffer.
[[nodiscard]] uint16_t ChCopyBytes(ChFiRec& from, FiFile& to, int64_t pos,
                                   int64_t length, std::vector<uint8_t>& buffer);
// Creates path, replacing a file that is there.
[[nodiscard]] uint16_t ChCreateDestination(const std::string& path, FiFile& file);
// True while a backup or repack of the part runs or waits, during which the
// part is not saved.
bool ChBackupBlocksSave(const ChPartRec& p);

}  // namespace quil
