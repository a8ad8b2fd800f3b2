// QuPersist: the persistent queue -- work kept in the chunk store and run
// from the queue loop (QuProcess, the persistent half alternating with the
// RAM queue).
//
// A queue entry lives inside a chunk that belongs to its owner, at a slot:
// the kQuEntrySize bytes at offset slot * kQuEntrySize, four 32-bit
// integers (the owner's chunk type declares them as such):
//
//   OFFSET  SIZE  MEANING
//   0       4     routine id (QuRoutineSet)
//   4       4     priority: higher runs first
//   8       4     state: kQuIdle, kQuReady, kQuDeferred
//   12      4     node number while queued, kQuNoNode (-3) otherwise
//
// Queued entries are nodes in memory, in one of two balanced trees: the
// ready tree ordered by priority (higher first) and the deferred tree
// ordered by date and then time (earlier first).  Both are heap-ordered
// (every node comes before its children) and balanced by size: an insertion
// walks down from the root, swapping the new node with the resident one
// when the new one comes first, and descends into the smaller subtree (the
// left one on equal counts).  Taking the first entry merges the root's two
// subtrees the same way.
//
// The trees are not saved: a node number found in an entry after a restart
// names no node of this process and the entry counts as not queued; its
// owner enqueues it again.  An entry must be dequeued before its chunk is
// destroyed; closing a part forgets the nodes of its entries.
//
// Deferred entries: a date (YYYYMMDD) and a time (HHMMSS) of the local
// calendar.  One due today gets a tick deadline (now plus the milliseconds
// until its time), one of an earlier day is due at once, one of a later day
// is compared by calendar date and time whenever the queue is examined.
//
// Thread use: everything here runs under the run lock.
#pragma once

#include <cstdint>

#include "Ch.h"

namespace quil {

constexpr uint32_t kQuEntrySize = 16;
constexpr int32_t kQuNoNode = -3;
// Date and time words of QuEnqueueDeferred when there is none.
constexpr int32_t kQuNoDate = -1;
constexpr uint16_t kQuNodeMark = 0x5271;

enum QuEntryState : int32_t {
  kQuIdle = 0,
  kQuReady = 1,
  kQuDeferred = 2,
};

struct QuEntry {
  int32_t routineId;
  int32_t priority;
  int32_t state;
  int32_t node;
};

// The chunk routine table: the routine an entry names, called as
// routine(chunk, slot) when the entry runs.  The entry is idle (out of the
// queue) by then, so the routine may enqueue it again.
using QuRoutine = void (*)(ChHandle chunk, int32_t slot);
void QuRoutineSet(int32_t routineId, QuRoutine routine);

// Access to an entry, with its chunk locked for the life of the object.
// Halts with "QuLock-- slot outside the chunk" when the chunk is too short.
class QuLock {
 public:
  QuLock(ChHandle chunk, int32_t slot);
  ~QuLock() { ChUnlockMod(data_); }
  QuLock(const QuLock&) = delete;
  QuLock& operator=(const QuLock&) = delete;
  QuEntry* operator->() const { return entry_; }
  QuEntry& operator*() const { return *entry_; }

 private:
  void* data_;
  QuEntry* entry_;
};

// Writes a new, idle entry into chunk at slot.
void QuCreateEntry(ChHandle chunk, int32_t routineId, int32_t priority, int32_t slot);
// Queues the entry as ready (nothing when it is queued already).
void QuEnqueue(ChHandle chunk, int32_t slot);
// Queues the entry for date and time (a queued entry is moved).  Both
// kQuNoDate: the same as QuEnqueue.  Only one of them: the assertion
// failure "QuEnqueueDeferred-- bad date/time".
void QuEnqueueDeferred(ChHandle chunk, int32_t date, int32_t time, int32_t slot);
// Takes the entry out of its queue (nothing when it is not queued).
void QuDequeue(ChHandle chunk, int32_t slot);
bool QuIsQueued(ChHandle chunk, int32_t slot);
// Drops the nodes of every entry in part (its file is closing).
void QuForgetPart(ChPart part);

// The persistent half of QuProcess: moves the deferred entries that are due
// to the ready tree, then runs ready entries of at least minPriority, the
// highest first, until SysTime() reaches deadline.  Returns how many ran.
int32_t QuPersistProcess(int64_t deadline, int32_t minPriority);

// Sizes of the two trees.
int32_t QuReadyCount();
int32_t QuDeferredCount();
// Checks both trees (marks, order, subtree counts, parent links, entries
// naming their nodes); returns the greater of their depths.  Halts with
// "QuPersistCheck-- " and what is wrong.
int32_t QuPersistCheck();
// Replaces the local calendar (date YYYYMMDD, time HHMMSS) for tests; null
// restores it.
void QuSetCalendarFn(void (*fn)(int32_t* date, int32_t* time));

extern bool QuPersistDebugFlag;
// Package entry: 1 registers the persistent half with QuProcess, 2 drops
// every node and unregisters, 3 sets the debug flag.
[[nodiscard]] uint16_t QuPersistInitRtns(int selector, int32_t value);

}  // namespace quil
