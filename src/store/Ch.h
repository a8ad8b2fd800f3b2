// Ch: the chunk store, the system's persistent heap.
//
// Every persistent object is a chunk: a typed block of 0 to 4,072 bytes
// inside a 4,096-byte page of a database file, named by a 32-bit handle.
// Pages live in a memory cache of a fixed number of pages (least recently
// used first out); a changed page that must leave the cache goes to the
// transient file, and changed pages reach the database file only when the
// application saves the part (ChPartSave).
//
// Handles (memory form; the widths are fixed by ChInit from the number of
// files requested, 14 for the server: 5 part bits, 19 page bits):
//   bits 0-7            the chunk's block offset in its page / 16
//   bits 8 ...          the part number (ChPartOf)
//   the bits above      the page number within the part (ChPageOf)
// kChNil (-3) is the nil handle; part number 1 is the transient part (chunks
// that are never saved); the all-ones part number ChFiConstant marks
// constants rather than chunks.  A handle with only the part field set names
// the part itself and is accepted wherever a "near" handle is asked for.
//
// Files and parts: a database file (ChFi) holds one part, its master part.
// A part is opened under a part number taken from the table of open parts;
// handles of its chunks carry that number.  Page 0 of every part holds the
// part information chunk (type 616) with the revision, the date of the last
// save, the root handle and the page count.
//
// Pointers: ChLock returns a pointer that stays valid until the matching
// unlock; ChDeref returns one that stays valid only until the next store
// call that may load, evict or move pages.  A chunk holds at most 7 locks; a
// locked chunk cannot be destroyed, resized or saved.
//
// Errors: misuse and broken invariants halt with the function's name and a
// description ("ChLock-- Bad chunk, (possibly destroyed)?").  Ordinary
// failures are returned as status codes (see Ec.h); failures inside calls
// that return pointers or handles are raised with ExRaise: 8 (transient file
// full), 9 (database file full), 17 (unreadable page while bad pages are
// tolerated), 100 (no cache page), and file-layer statuses.
//
// Threads: every call runs on the thread that holds the run lock.  The
// background save writer is the only other thread that touches store data:
// it reads the pages frozen for its save and shares the page tables, the
// LRU list and the files with the main thread under the save mutex
// ChBgSaveMutex (see ChInt.h).  Changes go through ChLock, ChCreate and the
// other calls here, never by writing through a ChDeref pointer, so that a
// page frozen for a save is copied before it changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Fi.h"

namespace quil {

using ChHandle = uint32_t;
constexpr ChHandle kChNil = 0xFFFFFFFDu;  // -3

// A part number (index in the table of open parts).
using ChPart = int;
constexpr ChPart kChTransientPart = 1;

// A checked handle of an open database file: the number of its slot in
// the table of open files and the generation of that slot.  A handle kept
// past ChFiClose names a slot whose generation has moved on, so a call with
// it halts ("...-- Illegal ChFi") instead of reading a closed file's memory.
// The default handle (also written nullptr) names no file.
struct ChFiRec;
struct ChFi {
  uint32_t slot = 0;  // 0: no file
  uint32_t generation = 0;
  ChFi() = default;
  ChFi(std::nullptr_t) {}  // NOLINT: "no file", as a null pointer was
  explicit operator bool() const { return slot != 0; }
  friend bool operator==(ChFi a, ChFi b) = default;
};

constexpr uint32_t kChPageSize = 4096;
constexpr uint32_t kChMaxChunk = 4072;  // ChMaxInPage
constexpr uint32_t kChFilesForServer = 14;

// Open modes of ChFiOpen.
constexpr int kChFiReadOnly = 1;
constexpr int kChFiReadWrite = 3;

// Handle layout, fixed by ChInit.
struct ChHandleLayout {
  uint32_t partBits;
  uint32_t partMask;   // also ChFiConstant
  uint32_t pageShift;  // 8 + partBits
  uint32_t pageMask;
  uint32_t fileMaxPages;  // ChFileMaxPages
};
extern ChHandleLayout ChLayout;

inline ChPart ChPartOf(ChHandle h) {
  return ChPart((h >> 8) & ChLayout.partMask);
}
inline uint32_t ChPageOf(ChHandle h) { return h >> ChLayout.pageShift; }
inline uint32_t ChOffsetOf(ChHandle h) { return (h & 0xFF) << 4; }
inline ChHandle ChHandleMake(ChPart part, uint32_t page, uint32_t offset) {
  return (page << ChLayout.pageShift) | (uint32_t(part) << 8) | (offset >> 4);
}
// The near handle that names a part.
inline ChHandle ChPartNear(ChPart part) { return uint32_t(part) << 8; }
inline uint32_t ChFiConstant() { return ChLayout.partMask; }
// Largest page count of a part's file: (145 + page mask + 32) rounded down
// to a multiple of 32.
inline uint32_t ChFileMaxPages() { return ChLayout.fileMaxPages; }
// Sets the widths for filesRequested (1-62); ChInit calls it.  Halts with
// "ChInit-- too many files requested" above 62.
void ChHandleLayoutSet(uint32_t filesRequested);

// The file form of a handle: offset / 16 in bits 0-7, bit 8 set, bit 9
// clear, page number in bits 10-31.  0 and values whose bits 8-15 are all 0
// or all 1 (-1 and kChNil among them) are stored unchanged, as are constants.
uint32_t ChHandleToFile(ChHandle h);
// The memory form of a file handle read from a page of part.
ChHandle ChHandleFromFile(uint32_t v, ChPart part);

// ---------------------------------------------------------------------------
// Package life.

extern bool ChDebugFlag;
// Page-table checking, turned on by a file "chcheck" in the working directory.
extern bool ChCheckFlag;
// Bad pages are tolerated (a read reports 17), turned on by a file
// "fixallpages" in the working directory.
extern bool ChFixAllPages;

// Initialises the store: version must be 19; cachePages is the number of
// cache pages (AppChPages); the handle layout is fixed from filesRequested.
// Creates the transient file ("AU000000" prefix) in the working directory.
// Returns 0, 102 when the cache cannot be allocated, or a file-layer status.
[[nodiscard]] uint16_t ChInit(int32_t version, uint32_t cachePages,
                              uint32_t filesRequested = kChFilesForServer);
// Terminates: halts with "ChTerm-- Error- Open Chunk files" while database
// files are open and "ChTerm-- Error- Locked chunks" while chunks are locked;
// removes the transient file.
void ChTerm();
bool ChIsInitialised();

// Inhibits chunk access (ChCreate, ChDeref, ChLock halt while set); returns
// the previous setting.
bool ChAllocsInhibit(bool inhibit);

// ---------------------------------------------------------------------------
// Chunks.

// Creates a chunk of type and length in the part of near, on near's page
// when it has room, and returns its data (zero-filled), locked once; the
// handle is stored in *out.  Halts with "ChCreate-- Invalid chunk length
// requested" above 4,072 bytes and "ChCreate-- Missing relocation template
// ID = N" for a type without template.  A registered type is entered in the
// file's type table.
void* ChCreate(uint16_t type, uint32_t length, ChHandle near, ChHandle* out);
// Frees a chunk.  REQUIRES: reference count 0 ("ChDestroy-- Reference count
// not zero") and no lock ("ChDestroy-- Chunk is locked").  A page left empty
// is returned to the part's free pages.
void ChDestroy(ChHandle h);
// The data of a chunk, not locked (see the pointer rules above).
void* ChDeref(ChHandle h);
// The data of a chunk, locked once.  The eighth lock halts ("ChLock-- Chunk
// is already locked maximum times").
void* ChLock(ChHandle h);
// Unlock a pointer returned by ChLock or ChCreate, marking the page changed
// or not.
void ChUnlockMod(void* data);
void ChUnlockNoMod(void* data);
bool ChIsLocked(ChHandle h);
// Marks the chunk's page changed without a lock.
void ChMarkModified(ChHandle h);

// Counts every change of a chunk (created, written, resized, destroyed):
// what was computed from the store at one count still holds while the
// count is the same.  Changes made while a ChUncountedChanges guard lives
// are not counted: the writes of tallies that nothing computed from the
// store shows (the hit counters of a page view), which would otherwise
// move the count with every request.
uint64_t ChChangeCount();
class ChUncountedChanges {
 public:
  ChUncountedChanges();
  ~ChUncountedChanges();
  ChUncountedChanges(const ChUncountedChanges&) = delete;
  ChUncountedChanges& operator=(const ChUncountedChanges&) = delete;

 private:
  uint64_t saved_;
};

// Changes a chunk's length (new bytes are zero): in place when the block can
// grow, otherwise by moving the chunk (type and reference count go with
// it).  Returns the handle, which changes when the chunk moved.  REQUIRES:
// not locked ("ChResize-- Chunk is locked").
ChHandle ChResize(ChHandle h, uint32_t length);
// ChResize on a handle variable, which follows the chunk when it moves.
inline void ChCvtSize(ChHandle* h, uint32_t length) { *h = ChResize(*h, length); }
// ChResize by another name, for callers that keep the new handle elsewhere.
inline ChHandle ChXfmSize(ChHandle h, uint32_t length) { return ChResize(h, length); }
// Copies a chunk into the part of near; returns the new handle.
ChHandle ChDup(ChHandle h, ChHandle near);

uint32_t ChSize(ChHandle h);
uint16_t ChType(ChHandle h);
inline uint32_t ChMaxInPage() { return kChMaxChunk; }

// Reference counts: bits 0-12 of the chunk's status word.  8,191 is
// permanent.  Increment and decrement return the new value.
constexpr uint32_t kChPermanentRefs = 8191;
uint32_t ChGetRefCount(ChHandle h);
void ChSetRefCount(ChHandle h, uint32_t count);
uint32_t ChIncRefCount(ChHandle h);
uint32_t ChDecRefCount(ChHandle h);

// True for a non-zero handle with a non-zero offset field, in an open part
// other than the constant part, below the part's page count, on an
// allocated page.
bool ChIsLegal(ChHandle h);
bool ChIsInTemp(ChHandle h);
bool ChIsInMaster(ChHandle h);
// True for a chunk of a part other than its file's master part.  Files hold
// only a master part, so this is false for every chunk of an open file.
bool ChIsInSecondary(ChHandle h);
// Multi-user files are not supported (ChFiIsMultiUser).
inline bool ChIsInMultiUser(ChHandle) { return false; }
// True when a and b are chunks of different files.
bool ChIsCrossLink(ChHandle a, ChHandle b);

// Iteration over every chunk of every open part (ChStartAll) or of one part
// (ChStartFID).  ChNext returns kChNil at the end.  Pages may be loaded
// (and others evicted) on the way.
struct ChIter {
  ChPart part = 0;       // current part
  ChPart onlyPart = 0;   // 0: every part
  uint32_t page = 0;
  uint32_t offset = 0;   // offset of the next block to look at, 0 to start
  bool done = true;
};
void ChStartAll(ChIter& it);
void ChStartFID(ChIter& it, ChPart part);
ChHandle ChNext(ChIter& it);
void ChStop(ChIter& it);

// RAII lock: unlocks with ChUnlockMod when MarkModified was called, with
// ChUnlockNoMod otherwise.
class ChLocked {
 public:
  explicit ChLocked(ChHandle h) : data_(static_cast<uint8_t*>(ChLock(h))) {}
  ~ChLocked() {
    if (data_) modified_ ? ChUnlockMod(data_) : ChUnlockNoMod(data_);
  }
  ChLocked(const ChLocked&) = delete;
  ChLocked& operator=(const ChLocked&) = delete;
  uint8_t* Data() const { return data_; }
  template <class T>
  T* As() const {
    return reinterpret_cast<T*>(data_);
  }
  void MarkModified() { modified_ = true; }

 private:
  uint8_t* data_;
  bool modified_ = false;
};

// ---------------------------------------------------------------------------
// Files and parts.

// Creates a database file (none may exist at path: 6), writes its header,
// space map and zero fill to the first data page, and opens it read/write.
// The file has no part yet (ChFiPartCreate).
[[nodiscard]] uint16_t ChFiCreate(const std::string& path, ChFi* out);
// Creates a database file under a unique temporary name ("AUXXXXXX") in dir.
[[nodiscard]] uint16_t ChFiCreateTemp(const std::string& dir, ChFi* out);
// Renames a temporary file to path (replacing what is there).
[[nodiscard]] uint16_t ChFiMakePermanent(ChFi file, const std::string& path);
// Opens a database file in mode (kChFiReadOnly or kChFiReadWrite).  A file
// that is open already (same device and inode) is returned again with its
// open count raised.  Before the header is read, the rollback journal beside
// the file (its path + "-journal") is looked at: when it shows that a save
// was interrupted, a read/write open writes it back, which restores the last
// complete save, and a read-only open reads the file as restored without
// writing anything; a journal of no use is deleted (read/write).
// ChFiOpenNote tells what was done.  A set save marker without such a journal
// refuses the file (4) unless a file "ignorecorrupted" exists in the working
// directory: then the marker is cleared, on disk too when the file is open
// for writing, and the image is taken as it is.  Statuses: 3 (not a
// database file), 4 (interrupted save without its journal, or torn header),
// 2200 (other format version), 18 (pages beyond this program's limit), 14
// (a type table entry conflicts with a registered type), file-layer
// statuses (of the file or its journal).
[[nodiscard]] uint16_t ChFiOpen(const std::string& path, int mode, ChFi* out);
// Why the last ChFiOpen or ChFiPartOpen that failed could not open its file
// ("page 12 is allocated but lies past the end of the file (40960 bytes)"),
// for the operator; "" when it gave no reason.
const std::string& ChFiOpenProblem();
// What the open of file found and did about an interrupted save ("the save
// of revision 8 was interrupted; the journal quil.db-journal restores
// revision 7 (12 pages); rolled back"), or "" when there was nothing.
const std::string& ChFiOpenNote(ChFi file);
// The journal file of the database file at path: path + "-journal".
inline std::string ChFiJournalPath(const std::string& path) { return path + "-journal"; }
// Closes one open of a file; the last one closes its parts (discarding
// unsaved changes), its journal (deleted unless a failed save left it to
// the next open) and the file.  Halts with "ChPartClose-- Chunk is locked"
// when a chunk of the file is locked.  Returns 0, the status of a save
// still in flight that failed, or that of closing.
[[nodiscard]] uint16_t ChFiClose(ChFi file);
// Closes and deletes the file.
[[nodiscard]] uint16_t ChFiDestroy(ChFi file);
// Writes the type table and changed space-map pieces of a file, and its
// header, behind the journal and the save marker as a save does (nothing
// when neither changed).  10 for a read-only file.
[[nodiscard]] uint16_t ChFiFlush(ChFi file);
inline bool ChFiIsMultiUser(ChFi) { return false; }
const std::string& ChFiPath(ChFi file);
bool ChFiIsReadOnly(ChFi file);

// Creates the master part of a file that has none: page 0 with the part
// information chunk.  Returns 0, 1 (too many parts open) or 6 (the file has
// a master part).
[[nodiscard]] uint16_t ChFiPartCreate(ChFi file, ChPart* out);
// Opens the master part.  Returns 0, 1 (too many parts), 15 (no master
// part), or a read status.
[[nodiscard]] uint16_t ChFiPartOpen(ChFi file, ChPart* out);
// The master part if it is open, 0 otherwise.
ChPart ChFiGetMaster(ChFi file);
// True when the file holds a master part (open or not).
bool ChFiHasMaster(ChFi file);
void ChPartClose(ChPart part);
ChFi ChGetChFi(ChPart part);
ChFi ChGetFile(ChHandle h);

// Saves the part's changes to its file with the save protocol and returns
// the new revision in *revision.  Waits first for a save of the same file
// still in flight (ChBgSaveCleanupWait, which raises that save's error).
// With background saving (ChBgSaveEnabled) the pages are frozen, a writer
// thread writes them, and 0 is returned at once: the save's status comes at
// completion (ChPoll).  Otherwise the writing happens here and the status
// is returned: 0 or the first file-layer status.  After a failure the
// changes stay pending (and the file's save marker stays set on disk).
// Halts for the transient part ("ChPartSave-- attempt to save transient
// file"), a read-only file ("ChPartSave-- file is R/O"), a part whose file
// is being backed up or repacked ("ChPartSave-- backup in progress") and a
// part that had read errors ("ChPartSave-- partition has had prior read
// errors and cannot be saved").
[[nodiscard]] uint16_t ChPartSave(ChPart part, int mode, uint32_t* revision);
// Moves the part into file dest (a new, empty file): every page of the part
// is loaded and marked changed so that the next save writes all of it
// there, and the part belongs to dest from now on.  The previous file is
// left open for the caller to close.
[[nodiscard]] uint16_t ChPartDup(ChPart part, ChFi dest);
// The last step of ChPartDup: the part, its type table and revision now
// belong to dest (whose master it becomes); the previous file keeps no
// master part.  REQUIRES: every page of the part is changed since the last
// save, so that the next save writes all of it to dest.
void ChPartSwitch(ChPart part, ChFi dest);
[[noreturn]] void ChPartRevert(ChPart part);

bool ChPartIsModified(ChPart part);
uint32_t ChPartChangedPages(ChPart part);
// Page numbers in use: 0 .. count-1 may be allocated.
uint32_t ChPartPageCount(ChPart part);
// Allocated pages of the part.
uint32_t ChPageCount(ChPart part);
uint32_t ChPageLimit();
uint32_t ChAvailablePages(ChPart part);
bool ChPartIsCatast(ChPart part);
void ChPartMarkCatast(ChPart part);

uint32_t ChGetRev(ChPart part);
ChHandle ChGetRoot(ChPart part);
void ChSetRoot(ChPart part, ChHandle root);
// The further word saved with the root (word 6 of the part information).
uint32_t ChGetRootExtra(ChPart part);
void ChSetRootExtra(ChPart part, uint32_t value);
// The handle of the part information chunk.
ChHandle ChPartInfoHandle(ChPart part);

// ---------------------------------------------------------------------------
// Background save.
//
// Each file has at most one save in flight: idle -> active (ChPartSave) ->
// complete (the writer is done) -> idle (ChPoll, or a wait below).  While
// it is active the server goes on changing chunks; a page frozen for the
// save is copied before its first change (copy on change), so the file
// receives exactly the state of the moment the save began.  A save's write
// error is raised as an exception with the file layer's status when the
// save is finished; otherwise the file's completion callback runs.
//
// A new save, a backup, a repack, a close and a flush of the same file wait
// for the save in flight: they yield (giving up the run lock for a moment
// when it exists), run one event-loop pass and up to 100 milliseconds of
// queued work, and go round again until it is done.

// Background saving is used when it is switched on and threads are
// available (ThreadsAvail); it is off after ChInit, so that a save by a
// tool or a test completes before ChPartSave returns.  The server switches
// it on at start-up.
void ChBgSaveSetEnabled(bool on);
bool ChBgSaveEnabled();
// True from the start of a save of file until it has been finished.
bool ChBgSaveActive(ChFi file);
// True while any file has a save in flight.
bool ChBgSaveInProgress();
// Called with argument when a save of file completes without error.
using ChBgSaveCb = void (*)(ChFi file, intptr_t argument);
void ChBgSaveSetCb(ChFi file, ChBgSaveCb callback, intptr_t argument);
// Waits until file has no save in flight (see above), finishing a
// completed one; raises its error as an exception.
void ChBgSaveCleanupWait(ChFi file);
// Finishes every completed save (called from the queue loop, QuProcess).
// Raises the error of the first failed one.
void ChPoll();
// The progress messages recorded under "ChBgSave" for the current or last
// save of file, oldest first: "start", "write head ok", "write ut ok",
// "write map ok", "page writes done", "head write done" or the "error in
// write ..." that ended it, and "save complete" once it is finished.
std::vector<std::string> ChBgSaveMessages(ChFi file);

// The save mutex and the save lock (see ChInt.h).
void ChBgSaveLock();
void ChBgSaveUnlock();

// Test hooks of the writer.  PauseAt makes the next writer stop before it
// reads page (of any file) until Release; WaitPaused waits up to timeoutMs
// for a writer to stop there and says whether it did.  SetPageDelay makes
// the writer wait micros microseconds before every page (0: none).
void ChBgSaveHookPauseAt(uint32_t page);
bool ChBgSaveHookWaitPaused(int timeoutMs);
void ChBgSaveHookRelease();
void ChBgSaveHookSetPageDelay(int micros);

// The record log: lines beginning "* " about saves ("* DB save pages N @T")
// and repacks.  The layer that keeps the log installs the writer; none is
// installed after ChInit.
using ChRecordLogFn = void (*)(const std::string& line);
void ChSetRecordLogFn(ChRecordLogFn fn);

// ---------------------------------------------------------------------------
// Backup and repack.
//
// Both copy a part's database file as it is on disk (the last completed
// save) into another file, piece by piece from the RAM queue, while the
// server keeps serving.  They share one process-wide slot: a backup or
// repack started while another runs waits in line and starts when it ends.
// While either runs for a part, the part is not saved.

// Piece size of a backup (ChLargeBufCount) and the spacing of pieces.
constexpr int64_t kChLargeBufCount = 131072;
constexpr int32_t kChBackupPieceMs = 200;

// Called when a backup or repack ends: with argument, the destination path
// and the status (0 when the copy is complete).
using ChBackupCb = void (*)(intptr_t argument, const std::string& destination,
                            uint16_t status);

// Starts a backup of part's file into destination (created or truncated):
// waits for a save in flight, then every 200 milliseconds copies the next
// 131,072 bytes to the same position in destination, until the end of the
// file, and calls callback.  Returns 0, or the status of creating
// destination.
[[nodiscard]] uint16_t ChStartBackup(ChPart part, const std::string& destination,
                                     ChBackupCb callback, intptr_t argument);
// True while a backup or repack of part runs or waits for its turn (part
// 0: of any part).
bool ChInBackup(ChPart part);
// 100 when no backup or repack of part runs; otherwise (bytes done /
// 4,096) * 100 / (bytes to do / 4,096), the two phases of a repack
// counting together.
int ChBackupPercent(ChPart part);
// Ends a running or waiting backup or repack of part without calling its
// callback and deletes its unfinished destination.
void ChStopBackup(ChPart part);
// Starts a repack of part's file into destination (created or truncated):
// a dense copy of the file as it is on disk, made in pieces every 100
// milliseconds in the same slot as backups.  The chunks of the allocated
// pages are packed into as few pages as they fill, in the order of the old
// pages, and the handles inside them (the fields their layout templates
// name) are rewritten to the new places; the part information chunk stays
// at the start of page 0.  A damaged page gives what precedes the damage.
// Progress and the size of the repack cache go to the record log.  Returns
// 0, or the status of creating destination.  The roll-forward log must be
// enabled first (the caller refuses otherwise).
[[nodiscard]] uint16_t ChStartRepack(ChPart part, const std::string& destination,
                                     ChBackupCb callback, intptr_t argument);
// Runs the next piece of part's running backup or repack at once instead of
// at its turn in the RAM queue.  Returns true when none runs or waits for
// part any more (the callback has run).
bool ChRepackDoPiece(ChPart part);
// Copies a database file offline, in pieces of kChLargeBufCount bytes, into
// destination, which must not exist (6).  Refuses a file that does not open
// as a database file with the open status.
[[nodiscard]] uint16_t ChBackupFile(const std::string& source,
                                    const std::string& destination);

// ---------------------------------------------------------------------------
// Checks.

// Verifies every page of an open part (block chains, free-block trees,
// templates) and its page table; returns true when sound, otherwise false
// with a description in *report.
bool ChCheck(ChPart part, std::string* report);
// Verifies the page table of a part against the cache and the transient
// file; halts on the first inconsistency (run by saves when ChCheckFlag).
void ChCheckPageTable(ChPart part);

// Where a page is and how full it is (ChGetPageInfo).
enum class ChPageWhere : uint8_t { kFree, kFile, kTransient, kCache };
struct ChPageInfo {
  ChPart part = 0;
  uint32_t page = 0;
  ChPageWhere where = ChPageWhere::kFree;
  bool inSave = false;  // frozen for the background save in progress
  uint32_t revision = 0;
  uint32_t chunks = 0;
  uint32_t usedBytes = 0;  // blocks of chunks, headers included
  uint32_t freeBytes = 0;
  uint32_t largestFree = 0;
};
// The page of handle h (any handle on the page will do).  A free page or an
// unknown part gives where == kFree and no counts.  Loads the page.
ChPageInfo ChGetPageInfo(ChHandle h);

// Calls visit with every chunk of part, its type and size; returns the
// number of chunks.  visit may be empty (a count only).
uint32_t ChScanChunks(ChPart part,
                      const std::function<void(ChHandle, uint16_t, uint32_t)>& visit);

// Allocation totals of a part.
struct ChAllocInfo {
  uint32_t pageCount = 0;   // page numbers in use
  uint32_t pages = 0;       // allocated pages
  uint32_t emptyPages = 0;  // allocated pages without chunks
  uint64_t chunks = 0;
  uint64_t usedBytes = 0;
  uint64_t freeBytes = 0;
  uint32_t largestFree = 0;
};
ChAllocInfo ChGetAllocInfo(ChPart part);

// Checks every handle stored in the chunks of part (found through their
// layout templates): each must be 0, nil, a constant or a legal chunk of
// the part's own file.  Returns the number of problems, one line each in
// *report (may be null).
uint32_t ChCrossChk(ChPart part, std::string* report);

// Offline check of a database file, opened read-only (through its journal
// when a save was interrupted, as the next open will see it): header, space
// map, type table, and every allocated page (page number, flags, owning
// part, block chain, free-block tree, chunk types against their templates).
// Appends one line per problem to *report (and a line about the journal
// when there is one to write back); returns true when no problem.
bool ChCheckFile(const std::string& path, std::string* report);

// Follows every handle stored in the chunks of part from the part's roots
// (the part information chunk: root and further word) and checks what it
// reaches against the space map: a handle to a page that the space map
// says is free (a live page that the next allocation would overwrite) or
// to no chunk.  Returns the number of problems, one line each in *report;
// *reached (may be null) gets the number of chunks reached.
uint32_t ChCheckReachable(ChPart part, std::string* report, uint64_t* reached);

// Summary of a database file for operators.
struct ChFileInfo {
  uint32_t magic = 0, revision = 0, revisionCopy = 0, version = 0;
  uint32_t pageSize = 0, maxPages = 0, tornTolerance = 0;
  uint32_t utOffset = 0, utPages = 0, utEntries = 0, utStamp = 0;
  uint32_t flags = 0, saving = 0;
  int64_t fileLength = 0;
  uint32_t mapAllocated = 0;   // bits set in the space map
  uint32_t dataAllocated = 0;  // of those, data pages
  uint32_t filePages = 0;      // data pages the file's length holds
  bool hasPartInfo = false;
  uint32_t partRevision = 0, partDate = 0, partTime = 0;
  uint32_t partRoot = 0, partPageCount = 0;
  std::string typeTable;  // one line per entry
  // The rollback journal beside the file.
  std::string journalPath;
  bool journalExists = false;
  bool journalComplete = false;  // valid header, every record checks
  bool journalHot = false;       // the last save was interrupted: the
                                 // fields above describe the restored image
  std::string journalWhy;        // why it is not complete
  std::string journalNote;       // what the next open will do
  uint32_t journalRecords = 0, journalRestores = 0, journalSaved = 0;
};
// True when the database file at path provably holds no conference: no
// data page, and a header page of zeros (its creation ended before the
// header was written) or of revision 0 (no save of it ever completed).
bool ChFileNeverSaved(const std::string& path);

// Reads the header, the space map, the type table and the part information
// of a file; returns 0 or the status that opening would give.
[[nodiscard]] uint16_t ChFileInfoGet(const std::string& path, ChFileInfo* info);

}  // namespace quil
