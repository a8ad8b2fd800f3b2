// Bt: persistent B-tree indexes and the name-directory tree.
//
// Five B-tree kinds share one design: a header chunk (root, revision,
// height, two application handles) and node chunks that each fill nearly a
// page.  Every node keeps the number of entries of each child's subtree, so
// an entry is found by its position in sort order as fast as by its key.
//
//   kind     types    max  key                           values
//   BtDb     626/627  62   string, 48 bytes, no case     handle, word
//   BtiDb    628/630  200  unsigned 32-bit integer       word, word
//   Bti1Db   634/635  250  unsigned 32-bit integer       word
//   BtihDb   636/637  250  unsigned 32-bit integer       handle
//   BtmDb    631/632  90   two signed 32-bit integers    the message fields
//
// Entries are ordered by key, then by their values (BtmDb: by its two keys
// only); an entry equal to a present one in all of these is refused.  Node
// layouts: BtInt.h.
//
// Invariants (BtDbValidate checks them): every node but the root holds at
// least half the maximum of entries; the root holds at least one; all leaves
// lie at the same depth, the tree's height; a node's subtree count is its
// entries plus its children's counts; entries are in strictly increasing
// order.  The revision grows by one with every successful insert and
// removal.  An empty tree has root 0, height 0 and count 0.
//
// Errors: a handle that is not a header of the kind halts while the kind's
// debug flag is set, with the function's name and "--DbH"
// ("BtDbIndex--DbH"); a node of the wrong type halts with "--node".  The
// chunk store's raises (a full transient or database file, no cache page)
// pass through; an insert that raises has changed nothing.
//
// Strings: functions that take an St by value consume it; the key strings
// handed out are new strings owned by the caller.
//
// Threads: every call runs on the thread that holds the run lock.
//
// The name-directory tree (ChBt, types 30/31) is a binary tree of separator
// nodes over chunks that belong to the caller, ordered through a callback.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Ch.h"
#include "St.h"

namespace quil {

extern bool BtDbDebugFlag;
extern bool BtiDbDebugFlag;
extern bool Bti1DbDebugFlag;
extern bool BtihDbDebugFlag;
extern bool BtmDbDebugFlag;
extern bool BtDebugFlag;

// Package entries: 1 registers the kind's chunk templates, 2 terminates,
// 3 sets the kind's debug flag (PkgDispatch rules).
[[nodiscard]] uint16_t BtDbInitRtns(int selector, int32_t value);
[[nodiscard]] uint16_t BtiDbInitRtns(int selector, int32_t value);
[[nodiscard]] uint16_t Bti1DbInitRtns(int selector, int32_t value);
[[nodiscard]] uint16_t BtihDbInitRtns(int selector, int32_t value);
[[nodiscard]] uint16_t BtmDbInitRtns(int selector, int32_t value);
[[nodiscard]] uint16_t BtInitRtns(int selector, int32_t value);
// Registers the templates of all B-tree and name-directory types (what the
// six package entries do); safe to call more than once.
void BtRegisterTypes();

// A position in a tree for walks in order: the path from the root to the
// current entry.  Used by the iterations below; the fields are private to the
// package.
constexpr int kBtCursorLevels = 12;
struct BtCursor {
  ChHandle tree = 0;
  uint32_t pos = 0;
  int depth = 0;  // levels on the path; the last holds the entry
  ChHandle node[kBtCursorLevels] = {};
  int idx[kBtCursorLevels] = {};
};

// ---------------------------------------------------------------------------
// BtDb: string keys (at most 48 bytes kept, compared ignoring ASCII case),
// each with a chunk handle and a 32-bit word.

// Creates an empty tree near a handle; returns the header handle.
ChHandle BtDbCreate(ChHandle near);
// Destroys the nodes and the header (not the chunks the entries name).
void BtDbDestroy(ChHandle tree);
uint32_t BtDbCount(ChHandle tree);
uint32_t BtDbRev(ChHandle tree);
void BtDbSetAppHnd(ChHandle tree, ChHandle app);
void BtDbSetAppHnd2(ChHandle tree, ChHandle app);
ChHandle BtDbAppHnd(ChHandle tree);
ChHandle BtDbAppHnd2(ChHandle tree);

// True when inserted; false when the same key, handle and word are present.
bool BtDbInsert(ChHandle tree, St key, ChHandle handle, uint32_t word);
// True when the identical entry was found and removed.
bool BtDbRemove(ChHandle tree, St key, ChHandle handle, uint32_t word);
// The first / last entry whose key begins with key (ignoring ASCII case; at
// most 48 bytes compared); false when there is none.  Outputs may be null.
bool BtDbLookupFirst(ChHandle tree, St key, ChHandle* handle, uint32_t* word);
bool BtDbLookupLast(ChHandle tree, St key, ChHandle* handle, uint32_t* word);
// The same, giving the entry's 0-based position in sort order.
bool BtDbLookupFirstIx(ChHandle tree, St key, uint32_t* position);
bool BtDbLookupLastIx(ChHandle tree, St key, uint32_t* position);
// The entry at a 0-based position; false at or past the count.  The key is
// the stored key up to its first zero byte.  Outputs may be null.
bool BtDbIndex(ChHandle tree, uint32_t position, St* key, ChHandle* handle,
               uint32_t* word);
// The handle of the entry at a position, 0 at or past the count.
ChHandle BtDbGetRec(ChHandle tree, uint32_t position);
// The stored key (as written, up to its first zero byte) of the first entry
// whose key begins with key; nil when there is none.
St BtDbGetActual(ChHandle tree, St key);
// True when the identical entry is present.
bool BtDbValidateEntry(ChHandle tree, St key, ChHandle handle, uint32_t word);
// True when the entry at position names a legal chunk (ChIsLegal).
bool BtDbEntryIsLegal(ChHandle tree, uint32_t position);
// Checks every node (type, fill, counts, order, height); true when sound,
// otherwise false with one line per problem appended to *report.
bool BtDbValidate(ChHandle tree, std::string* report);

// Sorts handles by the keys keyOf gives them, in the order a BtDb would hold
// them (key ignoring ASCII case on its first 48 bytes, then handle).
void BtDbSortRecs(std::vector<ChHandle>& recs,
                  const std::function<St(ChHandle)>& keyOf);
// Sorts handles by their entries in tree (by name, when tree indexes names);
// handles without an entry go last, in their previous order.
void BtDbSortRecsByName(ChHandle tree, std::vector<ChHandle>& recs);

// Iterations over a BtDb, used by the record database's select.  Each
// iteration covers a range of the tree's entries:
//   BtDbStartFirst      from the first key on (inclusive or not), forward
//   BtDbStartLast       from the last key back (inclusive or not), backward
//   BtDbStartEmailName  the entries whose key begins with name, forward
//   BtDbStartForum      the entries whose word equals forum, forward
// Keys of the first and last forms compare as whole keys (48 bytes, no
// case).  An iteration is tagged with the caller's identifier.  The tree may
// change between steps: the walk then goes on after the entry it returned
// last.
enum class BtDbIterKind : uint8_t { kFirst, kLast, kEmailName, kForum };
struct BtDbIter {
  int32_t id = 0;
  BtDbIterKind kind = BtDbIterKind::kFirst;
  bool started = false;
  bool done = true;
  bool inclusive = true;
  ChHandle tree = 0;
  St key;                // the bound or prefix
  uint32_t forum = 0;
  uint32_t lo = 0, hi = 0;  // the range of positions as of revision rev
  uint32_t rev = 0;
  BtCursor cursor;
  uint8_t lastKey[48] = {};  // the entry returned last
  uint32_t lastValues[2] = {};
};
void BtDbStartFirst(BtDbIter& it, ChHandle tree, int32_t id, St firstKey,
                    bool inclusive);
void BtDbStartLast(BtDbIter& it, ChHandle tree, int32_t id, St lastKey,
                   bool inclusive);
void BtDbStartEmailName(BtDbIter& it, ChHandle tree, int32_t id, St name);
void BtDbStartForum(BtDbIter& it, ChHandle tree, int32_t id, uint32_t forum);
// The next entry of the iteration; false at its end (and from then on).
// Outputs may be null.
bool BtDbNextRec(BtDbIter& it, St* key, ChHandle* handle, uint32_t* word);
// Restarts the iteration and returns its first entry.
bool BtDbFirstRec(BtDbIter& it, St* key, ChHandle* handle, uint32_t* word);
// The common walk of several iterations over the same tree: the entries
// that every one of them covers, in the order of the first.  The first
// iteration carries the walk's position.  Halts with
// "BtDbNextCommon--different trees" when the trees differ.
bool BtDbNextCommon(BtDbIter* const* iters, int count, St* key,
                    ChHandle* handle, uint32_t* word);
void BtDbStop(BtDbIter& it);
int32_t BtDbIterId(const BtDbIter& it);
bool BtDbIterIsFirst(const BtDbIter& it);
bool BtDbIterIsLast(const BtDbIter& it);
bool BtDbIterIsEmailName(const BtDbIter& it);
// The most entries the iteration can visit (its range; the tree's count for
// the forum form).
uint32_t BtDbIterMaxCount(const BtDbIter& it);

// ---------------------------------------------------------------------------
// BtiDb: unsigned 32-bit keys with two words.

ChHandle BtiDbCreate(ChHandle near);
void BtiDbDestroy(ChHandle tree);
uint32_t BtiDbCount(ChHandle tree);
uint32_t BtiDbRev(ChHandle tree);
void BtiDbSetAppHnd(ChHandle tree, ChHandle app);
void BtiDbSetAppHnd2(ChHandle tree, ChHandle app);
ChHandle BtiDbAppHnd(ChHandle tree);
ChHandle BtiDbAppHnd2(ChHandle tree);
bool BtiDbInsert(ChHandle tree, uint32_t key, uint32_t word1, uint32_t word2);
// Removes the first entry with key (its words in the outputs, which may be
// null); false when there is none.
bool BtiDbRemove(ChHandle tree, uint32_t key, uint32_t* word1, uint32_t* word2);
// Removes the identical entry.
bool BtiDbRemoveExact(ChHandle tree, uint32_t key, uint32_t word1, uint32_t word2);
// The first entry with key.
bool BtiDbLookup(ChHandle tree, uint32_t key, uint32_t* word1, uint32_t* word2);
// The first / last entry with key and its position.
bool BtiDbLookupFirst(ChHandle tree, uint32_t key, uint32_t* word1,
                      uint32_t* word2, uint32_t* position);
bool BtiDbLookupLast(ChHandle tree, uint32_t key, uint32_t* word1,
                     uint32_t* word2, uint32_t* position);
bool BtiDbIndex(ChHandle tree, uint32_t position, uint32_t* key,
                uint32_t* word1, uint32_t* word2);
bool BtiDbValidate(ChHandle tree, std::string* report);

// ---------------------------------------------------------------------------
// Bti1Db: unsigned 32-bit keys with one word.  Set keeps one value per key.

ChHandle Bti1DbCreate(ChHandle near);
void Bti1DbDestroy(ChHandle tree);
uint32_t Bti1DbCount(ChHandle tree);
uint32_t Bti1DbRev(ChHandle tree);
void Bti1DbSetAppHnd(ChHandle tree, ChHandle app);
void Bti1DbSetAppHnd2(ChHandle tree, ChHandle app);
ChHandle Bti1DbAppHnd(ChHandle tree);
ChHandle Bti1DbAppHnd2(ChHandle tree);
bool Bti1DbInsert(ChHandle tree, uint32_t key, uint32_t word);
bool Bti1DbRemove(ChHandle tree, uint32_t key, uint32_t* word);
bool Bti1DbRemoveExact(ChHandle tree, uint32_t key, uint32_t word);
// Replaces the word stored for key, inserting the entry when absent.  Where
// several entries have the key, the first is replaced.  A change in place
// leaves the revision as it is.
void Bti1DbSet(ChHandle tree, uint32_t key, uint32_t word);
// The word of the first entry with key.
bool Bti1DbLookup(ChHandle tree, uint32_t key, uint32_t* word);
bool Bti1DbLookupFirst(ChHandle tree, uint32_t key, uint32_t* word, uint32_t* position);
bool Bti1DbLookupLast(ChHandle tree, uint32_t key, uint32_t* word, uint32_t* position);
bool Bti1DbIndex(ChHandle tree, uint32_t position, uint32_t* key, uint32_t* word);
bool Bti1DbValidate(ChHandle tree, std::string* report);

// ---------------------------------------------------------------------------
// BtihDb: unsigned 32-bit keys with one chunk handle.

ChHandle BtihDbCreate(ChHandle near);
void BtihDbDestroy(ChHandle tree);
uint32_t BtihDbCount(ChHandle tree);
uint32_t BtihDbRev(ChHandle tree);
void BtihDbSetAppHnd(ChHandle tree, ChHandle app);
void BtihDbSetAppHnd2(ChHandle tree, ChHandle app);
ChHandle BtihDbAppHnd(ChHandle tree);
ChHandle BtihDbAppHnd2(ChHandle tree);
bool BtihDbInsert(ChHandle tree, uint32_t key, ChHandle handle);
bool BtihDbRemove(ChHandle tree, uint32_t key, ChHandle* handle);
bool BtihDbRemoveExact(ChHandle tree, uint32_t key, ChHandle handle);
void BtihDbSet(ChHandle tree, uint32_t key, ChHandle handle);
bool BtihDbLookup(ChHandle tree, uint32_t key, ChHandle* handle);
bool BtihDbLookupFirst(ChHandle tree, uint32_t key, ChHandle* handle, uint32_t* position);
bool BtihDbLookupLast(ChHandle tree, uint32_t key, ChHandle* handle, uint32_t* position);
bool BtihDbIndex(ChHandle tree, uint32_t position, uint32_t* key, ChHandle* handle);
bool BtihDbValidate(ChHandle tree, std::string* report);

// ---------------------------------------------------------------------------
// BtmDb: the message index of a folder or discussion, ordered by two signed
// keys; one entry per pair of keys.

constexpr uint32_t kBtmDeleted = 0x80000000u;
constexpr uint32_t kBtmHasMsgId = 0x40000000u;
constexpr uint32_t kBtmArticleMask = 0x3FFFFFFFu;

struct BtmEntry {
  int32_t key1 = 0;
  int32_t key2 = 0;
  uint32_t date = 0;
  uint32_t time = 0;
  uint32_t extra = 0;
  uint32_t flags = 0;  // kBtmDeleted, kBtmHasMsgId, article number
  uint32_t uniqueId = 0;
  ChHandle message = 0;
  ChHandle author = 0;
  bool operator==(const BtmEntry&) const = default;
};

ChHandle BtmDbCreate(ChHandle near);
void BtmDbDestroy(ChHandle tree);
uint32_t BtmDbCount(ChHandle tree);
uint32_t BtmDbRev(ChHandle tree);
void BtmDbSetAppHnd(ChHandle tree, ChHandle app);
void BtmDbSetAppHnd2(ChHandle tree, ChHandle app);
ChHandle BtmDbAppHnd(ChHandle tree);
ChHandle BtmDbAppHnd2(ChHandle tree);
// False when an entry with the same two keys is present.
bool BtmDbInsert(ChHandle tree, const BtmEntry& entry);
bool BtmDbRemove(ChHandle tree, int32_t key1, int32_t key2);
// All fields of the entry with the two keys.
bool BtmDbLookup(ChHandle tree, int32_t key1, int32_t key2, BtmEntry* entry);
// The first / last entry whose first key is key1, and its position.
bool BtmDbLookupFirst(ChHandle tree, int32_t key1, BtmEntry* entry, uint32_t* position);
bool BtmDbLookupLast(ChHandle tree, int32_t key1, BtmEntry* entry, uint32_t* position);
bool BtmDbIndex(ChHandle tree, uint32_t position, BtmEntry* entry);
// Field setters of the entry with the two keys: false when there is none.
// They do not change the revision.
bool BtmDbSetDate(ChHandle tree, int32_t key1, int32_t key2, uint32_t date,
                  uint32_t time);
bool BtmDbSetDeleted(ChHandle tree, int32_t key1, int32_t key2, bool deleted);
// REQUIRES: article <= 0x3FFFFFFF ("BtmDbSetArticle--article").
bool BtmDbSetArticle(ChHandle tree, int32_t key1, int32_t key2, uint32_t article);
bool BtmDbSetHasMsgId(ChHandle tree, int32_t key1, int32_t key2, bool has);
bool BtmDbSetUniqueId(ChHandle tree, int32_t key1, int32_t key2, uint32_t uniqueId);
bool BtmDbSetAuthor(ChHandle tree, int32_t key1, int32_t key2, ChHandle author);
bool BtmDbValidate(ChHandle tree, std::string* report);

// ---------------------------------------------------------------------------
// ChBt: the name-directory tree.  A root chunk (type 30, 12 bytes: the
// callback's identifier, the top node, the number of leaves) over a binary
// tree of inner nodes (type 31: the parent inner node or 0, the separator key
// as a chunk string, the left and the right node).  The leaves are the
// caller's chunks (of any type but 31); a tree with one leaf has that leaf as
// its top.  Every leaf of an inner node's left side sorts before its
// separator, every leaf of its right side does not.  Insertions keep the
// depth within a constant factor of log2 of the leaf count by rebuilding the
// subtree that grew out of balance; the tree never owns its leaves.
//
// The callback gives a leaf's key (method 0) and compares a key with a
// string (method 1: kStBefore, kStEqual, kStAfter).  It is registered under
// an identifier from 1 to 255, which the root keeps (a value the file form
// of handles leaves as it is), so a file reopened by another process finds
// it again once the same identifier is registered there.

struct ChBtCallback {
  std::function<St(ChHandle leaf)> keyOf;                   // method 0
  std::function<int(const St& key, const St& str)> compare;  // method 1
};
// Registers (or replaces) the callback of an identifier.  Halts with
// "ChBtRegisterCallback--id" outside 1 to 255.
void ChBtRegisterCallback(uint32_t id, ChBtCallback callback);

// Creates an empty tree near a handle.  Halts with "ChBtCreate--callback"
// when the identifier has no callback.
ChHandle ChBtCreate(ChHandle near, uint32_t callbackId);
// Destroys the root and the inner nodes with their separators; the leaves
// stay.
void ChBtDestroy(ChHandle root);
// Enters a leaf; false when a leaf with an equal key is present.
bool ChBtAdd(ChHandle root, ChHandle leaf);
// Takes out the leaf whose key compares equal to key and returns it; 0 when
// there is none.
ChHandle ChBtDelete(ChHandle root, const St& key);
// The leaf whose key compares equal, or 0.
ChHandle ChBtLookup(ChHandle root, const St& key);
// The last leaf whose key sorts before or equal to key, and the first one
// whose key sorts after or equal to it (both the equal leaf when there is
// one); 0 where there is none.
void ChBtBounds(ChHandle root, const St& key, ChHandle* below, ChHandle* above);
bool ChBtIsEmpty(ChHandle root);
uint32_t ChBtCount(ChHandle root);
// Checks the tree: node types, parent links, the separators against every
// leaf below them, the leaves' order and count.  True when sound; otherwise
// false with one line per problem appended to *report.
bool ChBtValidate(ChHandle root, std::string* report);

// A walk over the leaves in order.  The leaves are taken when the walk
// starts, so the tree may change while it goes on.
struct ChBtIter {
  std::vector<ChHandle> leaves;
  size_t next = 0;
};
void ChBtStartAll(ChBtIter& it, ChHandle root);
// The next leaf, 0 at the end.
ChHandle ChBtNext(ChBtIter& it);
void ChBtStop(ChBtIter& it);

}  // namespace quil
