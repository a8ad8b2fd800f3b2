// Li: in-memory lists.
//
// A list is a circular doubly linked ring of nodes; the list value stands for
// its first node and the empty list has no node at all.  The first node's
// previous node is the last node, so both ends are reached in one step.
//
// Li<T> owns its ring and is move-only.  T is a small value: a 32-bit chunk
// handle, an int32_t, a pointer the list does not own, or an St, which the
// list then owns (destroying a list of strings releases its strings, which is
// StLiDestroy).  Any type with a noexcept move constructor and a default
// value works; the membership functions also need operator==.
//
// Nodes are fixed-size blocks taken from a per-thread free list of blocks of
// the node's size and given back to it, so a list built and destroyed in a
// loop does not go to the system heap each time.  ListStats counts the lists
// that hold at least one node, the nodes and the iterators of every thread,
// for leak checks: all three return to zero when everything is destroyed.
//
// Entries: a node pointer (LiEntry<T>) names one position in a list; the
// *Entry functions return or take one so that a caller can later move,
// delete or change that node in constant time.  An entry stays valid until
// its node is removed from its list; passing an entry of another list is not
// detected.
//
// Positions (LiGetData, LiSetData, LiGetIndex) are counted from 1, like the
// members of a set.  Data are compared with T's operator== (for St: the
// bytes, not the block).
//
// Consistency checks (LiDebugFlag; the server turns it on): a ring that does
// not close halts with "LiDestroy-- bad list" when the list is destroyed and
// with "LiStart-- illegal list" when an iteration starts; the C++ type makes
// such a ring impossible except through memory corruption or a misused entry,
// so the checks stay for those.  Using an iterator after LiStop (or a
// default-constructed or moved-from one) halts with "LiNext-- null
// iterator".
//
// The clean-up forms of the exception package (ExLiDestroy, ExLiStop) are
// the destructors of Li and LiIter: an unwinding frame releases both.
//
// Thread use: a list is not thread-safe; it is used under the run lock or
// within one thread.  Different threads may use different lists at the same
// time (the free lists are per thread, the statistics are atomic).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <type_traits>
#include <utility>

#include "Ma.h"
#include "St.h"

namespace quil {

// Debug flag of the lists package: ring and iterator checks.
extern bool LiDebugFlag;

struct ListStatsStruct {
  std::atomic<int64_t> lists{0};      // lists holding at least one node
  std::atomic<int64_t> nodes{0};      // nodes in all lists
  std::atomic<int64_t> iterators{0};  // iterators between LiStart and LiStop
};
extern ListStatsStruct ListStats;

template <class T>
struct LiNode {
  explicit LiNode(T datum) noexcept : data(std::move(datum)) {}
  LiNode* next = nullptr;
  LiNode* prev = nullptr;
  T data;
};
template <class T>
using LiEntry = LiNode<T>*;
// A parameter that takes its type from the list argument, so that
// LiAppend(list, 0) or an entry of nullptr work for any T.
template <class T>
using LiArg = std::type_identity_t<T>;

namespace li_detail {

// Cache of free blocks of one size, one per thread.  Trivially destructible
// so that it can still be reached while the thread's other thread-local
// objects are destroyed; `closed` is set once the drain below has run, after
// which blocks go straight back to the system heap.
struct FreeList {
  void* head;
  int32_t count;
  bool closed;
};
constexpr int32_t kMaxCachedNodes = 1 << 16;

template <size_t Size>
inline thread_local FreeList freeList{nullptr, 0, false};

template <size_t Size>
struct FreeListDrain {
  FreeListDrain() = default;
  FreeListDrain(const FreeListDrain&) = delete;
  FreeListDrain& operator=(const FreeListDrain&) = delete;
  ~FreeListDrain() {
    FreeList& f = freeList<Size>;
    while (void* block = f.head) {
      f.head = *static_cast<void**>(block);
      std::free(block);
    }
    f.count = 0;
    f.closed = true;
  }
};

template <size_t Size>
void* TakeBlock() {
  FreeList& f = freeList<Size>;
  if (void* block = f.head) {
    f.head = *static_cast<void**>(block);
    --f.count;
    return block;
  }
  void* block = std::malloc(Size);
  if (!block) MaMemHalt();
  return block;
}

template <size_t Size>
void GiveBlock(void* block) noexcept {
  // Declared here so that a thread that caches blocks frees them at its end.
  static thread_local FreeListDrain<Size> drain;
  FreeList& f = freeList<Size>;
  if (f.closed || f.count >= kMaxCachedNodes) {
    std::free(block);
    return;
  }
  *static_cast<void**>(block) = f.head;
  f.head = block;
  ++f.count;
}

}  // namespace li_detail

template <class T>
class Li {
 public:
  using Node = LiNode<T>;

  Li() noexcept = default;
  Li(Li&& other) noexcept : head_(std::exchange(other.head_, nullptr)) {}
  Li& operator=(Li&& other) noexcept {
    if (this != &other) {
      Clear();
      head_ = std::exchange(other.head_, nullptr);
    }
    return *this;
  }
  Li(const Li&) = delete;
  Li& operator=(const Li&) = delete;
  ~Li() { Clear(); }

  Node* Head() const noexcept { return head_; }
  Node* Last() const noexcept { return head_ ? head_->prev : nullptr; }
  bool Empty() const noexcept { return head_ == nullptr; }

  // Range-for over the data, first to last.  The list must not change
  // during the loop (use LiStart/LiNextEntry to delete while walking).
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = T*;
    using reference = T&;
    iterator() = default;
    iterator(Node* node, Node* head) : node_(node), head_(head) {}
    T& operator*() const { return node_->data; }
    T* operator->() const { return &node_->data; }
    iterator& operator++() {
      node_ = node_->next == head_ ? nullptr : node_->next;
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const iterator& o) const { return node_ == o.node_; }

   private:
    Node* node_ = nullptr;
    Node* head_ = nullptr;
  };
  iterator begin() const { return iterator(head_, head_); }
  iterator end() const { return iterator(); }

  // --- Building blocks of the Li functions below. ---

  // A detached node holding datum.
  static Node* MakeNode(T datum) {
    void* block = li_detail::TakeBlock<kBlockSize>();
    Node* node = std::construct_at(static_cast<Node*>(block), std::move(datum));
    ListStats.nodes.fetch_add(1, std::memory_order_relaxed);
    return node;
  }
  // Destroys a detached node and its datum.
  static void FreeNode(Node* node) noexcept {
    std::destroy_at(node);
    li_detail::GiveBlock<kBlockSize>(node);
    ListStats.nodes.fetch_sub(1, std::memory_order_relaxed);
  }
  // Links the detached node n into the ring just before `at`; with `at`
  // null (an empty list) n becomes a one-node ring and the first node.
  // Otherwise the first node does not change.
  void LinkBefore(Node* at, Node* n) noexcept {
    if (!at) {
      n->next = n->prev = n;
      SetHead(n);
      return;
    }
    n->next = at;
    n->prev = at->prev;
    at->prev->next = n;
    at->prev = n;
  }
  // Takes n out of the ring (the node stays allocated); when n was the first
  // node its successor becomes first.
  void Unlink(Node* n) noexcept {
    if (n->next == n) {
      SetHead(nullptr);
    } else {
      n->prev->next = n->next;
      n->next->prev = n->prev;
      if (n == head_) head_ = n->next;
    }
    n->next = n->prev = nullptr;
  }
  // Takes n out of the ring, frees it and returns its datum.
  T TakeNode(Node* n) noexcept {
    Unlink(n);
    T datum = std::move(n->data);
    FreeNode(n);
    return datum;
  }
  // Makes n (a node of this ring, or null for the empty list) the first.
  void SetHead(Node* n) noexcept {
    if (!head_ && n) ListStats.lists.fetch_add(1, std::memory_order_relaxed);
    if (head_ && !n) ListStats.lists.fetch_sub(1, std::memory_order_relaxed);
    head_ = n;
  }
  // Gives up the ring without freeing it and returns its first node.
  Node* ReleaseRing() noexcept {
    Node* h = head_;
    SetHead(nullptr);
    return h;
  }
  // Takes this list's nodes as a chain linked by `next` and ended by null,
  // sets the `prev` links and closes the ring with `first` as first node.
  void AdoptChain(Node* first) noexcept {
    if (!first) return;
    Node* prev = first;
    for (Node* n = first->next; n; n = n->next) {
      n->prev = prev;
      prev = n;
    }
    prev->next = first;
    first->prev = prev;
    SetHead(first);
  }
  // Frees every node with its datum; halts with "LiDestroy-- bad list" on a
  // ring that does not close.
  void Clear() noexcept {
    if (!head_) return;
    Node* last = head_->prev;
    MA_CHECK(LiDebugFlag, last && last->next == head_, "LiDestroy-- bad list");
    last->next = nullptr;
    Node* n = ReleaseRing();
    while (n) {
      Node* next = n->next;
      MA_CHECK(LiDebugFlag, !next || next->prev == n, "LiDestroy-- bad list");
      FreeNode(n);
      n = next;
    }
  }

 private:
  static_assert(alignof(Node) <= alignof(std::max_align_t));
  static constexpr size_t kBlockSize = (sizeof(Node) + 7) & ~size_t(7);
  Node* head_ = nullptr;
};

// Iterator of LiStart: the list and the next node to visit.  Counted in
// ListStats.iterators from LiStart until LiStop or destruction.  The node
// just returned may be deleted (LiDeleteEntry) before the next call; nodes
// added or removed elsewhere may or may not be visited.  The list object
// must stay where it is (not moved) while the iterator is in use.
template <class T>
class LiIter {
 public:
  using Node = LiNode<T>;
  LiIter() noexcept = default;
  explicit LiIter(const Li<T>& list) noexcept { Begin(list); }
  LiIter(LiIter&& o) noexcept
      : list_(std::exchange(o.list_, nullptr)),
        next_(std::exchange(o.next_, nullptr)),
        current_(std::exchange(o.current_, nullptr)) {}
  LiIter& operator=(LiIter&& o) noexcept {
    if (this != &o) {
      Stop();
      list_ = std::exchange(o.list_, nullptr);
      next_ = std::exchange(o.next_, nullptr);
      current_ = std::exchange(o.current_, nullptr);
    }
    return *this;
  }
  LiIter(const LiIter&) = delete;
  LiIter& operator=(const LiIter&) = delete;
  ~LiIter() { Stop(); }

  bool IsNull() const noexcept { return list_ == nullptr; }

  // (Re)starts on list: the next node is its first.
  void Begin(const Li<T>& list) noexcept {
    Node* h = list.Head();
    MA_CHECK(LiDebugFlag, !h || (h->prev && h->prev->next == h),
             "LiStart-- illegal list");
    if (!list_) ListStats.iterators.fetch_add(1, std::memory_order_relaxed);
    list_ = &list;
    next_ = h;
    current_ = nullptr;
  }
  // The next node, or null after the last.
  Node* NextEntry() noexcept {
    MA_CHECK(LiDebugFlag, list_ != nullptr, "LiNext-- null iterator");
    if (!list_ || !next_) return nullptr;
    current_ = next_;
    next_ = current_->next == list_->Head() ? nullptr : current_->next;
    return current_;
  }
  // The node most recently returned (null before the first).
  Node* Current() const noexcept { return current_; }
  void Stop() noexcept {
    if (list_) ListStats.iterators.fetch_sub(1, std::memory_order_relaxed);
    list_ = nullptr;
    next_ = current_ = nullptr;
  }

 private:
  const Li<T>* list_ = nullptr;
  Node* next_ = nullptr;
  Node* current_ = nullptr;
};

// ---------------------------------------------------------------------------
// Building.  Each datum is consumed (moved into the list).

template <class T>
Li<T> LiCreate() {
  return Li<T>();
}

// Adds datum at the end and returns its node.
template <class T>
LiEntry<T> LiAppendEntry(Li<T>& list, LiArg<T> datum) {
  auto* n = Li<T>::MakeNode(std::move(datum));
  list.LinkBefore(list.Head(), n);
  return n;
}
template <class T>
void LiAppend(Li<T>& list, LiArg<T> datum) {
  LiAppendEntry(list, std::move(datum));
}

// Adds datum at the front (it becomes the first) and returns its node.
// LiPush and LiPushEntry are the same operations.
template <class T>
LiEntry<T> LiPrependEntry(Li<T>& list, LiArg<T> datum) {
  auto* n = Li<T>::MakeNode(std::move(datum));
  list.LinkBefore(list.Head(), n);
  list.SetHead(n);
  return n;
}
template <class T>
void LiPrepend(Li<T>& list, LiArg<T> datum) {
  LiPrependEntry(list, std::move(datum));
}
template <class T>
LiEntry<T> LiPushEntry(Li<T>& list, LiArg<T> datum) {
  return LiPrependEntry(list, std::move(datum));
}
template <class T>
void LiPush(Li<T>& list, LiArg<T> datum) {
  LiPrependEntry(list, std::move(datum));
}

// Inserts datum before `at` (a node of list; before the first node it
// becomes the first) and returns the new node.  REQUIRES: at is a node of
// list, or null when list is empty.
template <class T>
LiEntry<T> LiPreInsertEntry(Li<T>& list, LiArg<LiEntry<T>> at, LiArg<T> datum) {
  auto* n = Li<T>::MakeNode(std::move(datum));
  list.LinkBefore(at, n);
  if (at == list.Head()) list.SetHead(n);
  return n;
}

// Inserts datum after `at` and returns the new node.  REQUIRES: as above.
template <class T>
LiEntry<T> LiPostInsertEntry(Li<T>& list, LiArg<LiEntry<T>> at,
                             LiArg<T> datum) {
  auto* n = Li<T>::MakeNode(std::move(datum));
  list.LinkBefore(at ? at->next : nullptr, n);
  return n;
}

template <class T>
void LiMoveEntryToFirst(Li<T>& list, LiArg<LiEntry<T>> entry) {
  if (entry == list.Head()) return;
  list.Unlink(entry);
  list.LinkBefore(list.Head(), entry);
  list.SetHead(entry);
}

template <class T>
void LiMoveEntryToLast(Li<T>& list, LiArg<LiEntry<T>> entry) {
  if (entry == list.Last()) return;
  if (entry == list.Head()) {
    list.SetHead(entry->next);  // turning the ring moves the first to last
    return;
  }
  list.Unlink(entry);
  list.LinkBefore(list.Head(), entry);
}

// Joins: the nodes of other follow those of list; other is consumed.
template <class T>
void LiCat(Li<T>& list, Li<T> other) {
  if (other.Empty()) return;
  if (list.Empty()) {
    list = std::move(other);
    return;
  }
  auto* aFirst = list.Head();
  auto* aLast = list.Last();
  auto* bLast = other.Last();
  auto* bFirst = other.ReleaseRing();
  aLast->next = bFirst;
  bFirst->prev = aLast;
  bLast->next = aFirst;
  aFirst->prev = bLast;
}

// A new list with copies of the data (for St: added references).
template <class T>
Li<T> LiDup(const Li<T>& list) {
  Li<T> copy;
  for (const T& d : list) LiAppend(copy, T(d));
  return copy;
}

// ---------------------------------------------------------------------------
// Taking out.

// Removes the first node and returns its datum; T() on the empty list.
template <class T>
T LiPop(Li<T>& list) {
  return list.Empty() ? T() : list.TakeNode(list.Head());
}

// Removes the last node and returns its datum; T() on the empty list.
template <class T>
T LiPopLast(Li<T>& list) {
  return list.Empty() ? T() : list.TakeNode(list.Last());
}

// As LiPop, but false (and *datum = T()) on the empty list.
template <class T>
bool LiPopChk(Li<T>& list, T* datum) {
  bool any = !list.Empty();
  *datum = LiPop(list);
  return any;
}

// Removes the node (destroying its datum).  REQUIRES: entry is in list.
template <class T>
void LiDeleteEntry(Li<T>& list, LiArg<LiEntry<T>> entry) {
  list.Unlink(entry);
  Li<T>::FreeNode(entry);
}

// Removes the first node whose datum equals datum; false when none does.
template <class T>
bool LiDelete(Li<T>& list, const LiArg<T>& datum) {
  for (auto* n = list.Head(); n;) {
    if (n->data == datum) {
      LiDeleteEntry(list, n);
      return true;
    }
    n = n->next == list.Head() ? nullptr : n->next;
  }
  return false;
}

// Removes every node whose datum is accepted by pred; returns how many.
template <class T, class Pred>
int32_t LiRemoveIf(Li<T>& list, Pred pred) {
  int32_t removed = 0;
  auto* n = list.Head();
  if (!n) return 0;
  auto* last = list.Last();
  for (;;) {
    auto* next = n->next;
    bool atEnd = n == last;
    if (pred(n->data)) {
      LiDeleteEntry(list, n);
      ++removed;
    }
    if (atEnd) break;
    n = next;
  }
  return removed;
}

// Removes every node whose datum equals datum; returns how many.
template <class T>
int32_t LiRemove(Li<T>& list, const LiArg<T>& datum) {
  return LiRemoveIf(list, [&](const T& d) { return d == datum; });
}

// Discards the first count nodes (all of them when the list is shorter);
// returns how many went.
template <class T>
int32_t LiDrop(Li<T>& list, int32_t count = 1) {
  int32_t dropped = 0;
  while (dropped < count && !list.Empty()) {
    LiDeleteEntry(list, list.Head());
    ++dropped;
  }
  return dropped;
}

// Removes repeated data, keeping the first occurrence of each; returns how
// many nodes went.  Quadratic: meant for short lists.
template <class T>
int32_t LiEliminate(Li<T>& list) {
  int32_t removed = 0;
  // Only nodes after `keep` are deleted, so the first node never changes.
  for (auto* keep = list.Head(); keep;
       keep = keep->next == list.Head() ? nullptr : keep->next) {
    for (auto* n = keep->next; n != list.Head();) {
      auto* next = n->next;
      if (n->data == keep->data) {
        LiDeleteEntry(list, n);
        ++removed;
      }
      n = next;
    }
  }
  return removed;
}

// ---------------------------------------------------------------------------
// Reading.

// Walks the ring.
template <class T>
int32_t LiCount(const Li<T>& list) {
  int32_t count = 0;
  for (auto it = list.begin(); it != list.end(); ++it) ++count;
  return count;
}

template <class T>
bool LiIsEmpty(const Li<T>& list) {
  return list.Empty();
}

// The first, second and last data; T() when there is no such node.
template <class T>
T LiFirst(const Li<T>& list) {
  return list.Empty() ? T() : list.Head()->data;
}
template <class T>
T LiSecond(const Li<T>& list) {
  auto* h = list.Head();
  return h && h->next != h ? h->next->data : T();
}
template <class T>
T LiLast(const Li<T>& list) {
  return list.Empty() ? T() : list.Last()->data;
}

// The node at position index (1 = first), or null.
template <class T>
LiEntry<T> LiGetEntry(const Li<T>& list, int32_t index) {
  if (index < 1) return nullptr;
  for (auto* n = list.Head(); n; n = n->next == list.Head() ? nullptr : n->next)
    if (--index == 0) return n;
  return nullptr;
}

// The datum at position index (1 = first): true and *datum, or false and
// *datum = T() past either end.
template <class T>
bool LiGetData(const Li<T>& list, int32_t index, T* datum) {
  auto* n = LiGetEntry(list, index);
  *datum = n ? n->data : T();
  return n != nullptr;
}

// Replaces the datum at position index; false (datum dropped) past an end.
template <class T>
bool LiSetData(Li<T>& list, int32_t index, LiArg<T> datum) {
  auto* n = LiGetEntry(list, index);
  if (n) n->data = std::move(datum);
  return n != nullptr;
}

// The position (1 = first) of the first node holding datum: true and
// *index, or false and *index = 0.
template <class T>
bool LiGetIndex(const Li<T>& list, const LiArg<T>& datum, int32_t* index) {
  int32_t i = 0;
  for (const T& d : list) {
    ++i;
    if (d == datum) {
      *index = i;
      return true;
    }
  }
  *index = 0;
  return false;
}

template <class T>
bool LiIsMember(const Li<T>& list, const LiArg<T>& datum) {
  for (const T& d : list)
    if (d == datum) return true;
  return false;
}

// How many nodes hold datum.
template <class T>
int32_t LiEqualCount(const Li<T>& list, const LiArg<T>& datum) {
  int32_t count = 0;
  for (const T& d : list)
    if (d == datum) ++count;
  return count;
}

// New lists from two lists, which are only read; each is quadratic, meant
// for short lists.
// The data of a that occur in b, in a's order.
template <class T>
Li<T> LiCommon(const Li<T>& a, const Li<T>& b) {
  Li<T> out;
  for (const T& d : a)
    if (LiIsMember(b, d)) LiAppend(out, T(d));
  return out;
}
// The data of a that do not occur in b, in a's order.
template <class T>
Li<T> LiExclude(const Li<T>& a, const Li<T>& b) {
  Li<T> out;
  for (const T& d : a)
    if (!LiIsMember(b, d)) LiAppend(out, T(d));
  return out;
}
// The data of a, followed by each datum of b not yet present (in b's order).
template <class T>
Li<T> LiOR(const Li<T>& a, const Li<T>& b) {
  Li<T> out = LiDup(a);
  for (const T& d : b)
    if (!LiIsMember(out, d)) LiAppend(out, T(d));
  return out;
}

// ---------------------------------------------------------------------------
// Iterating.

template <class T>
LiIter<T> LiStart(const Li<T>& list) {
  return LiIter<T>(list);
}
// Restarts an existing iterator (null or not) at the first node of list.
template <class T>
void LiStartIter(LiIter<T>& iter, const Li<T>& list) {
  iter.Begin(list);
}
// The next node, or null after the last.
template <class T>
LiEntry<T> LiNextEntry(LiIter<T>& iter) {
  return iter.NextEntry();
}
// True and a copy of the next datum, or false and *datum = T().
template <class T>
bool LiNext(LiIter<T>& iter, T* datum) {
  auto* n = iter.NextEntry();
  *datum = n ? n->data : T();
  return n != nullptr;
}
// Replaces the datum of the node most recently returned by LiNext or
// LiNextEntry.  REQUIRES: that node is still in the list.
template <class T>
void LiDataAssign(LiIter<T>& iter, LiArg<T> datum) {
  MA_CHECK(LiDebugFlag, !iter.IsNull(), "LiNext-- null iterator");
  if (auto* n = iter.Current()) n->data = std::move(datum);
}
template <class T>
void LiStop(LiIter<T>& iter) {
  iter.Stop();
}

// ---------------------------------------------------------------------------
// Destroying.  The list is left empty and may be used again.

template <class T>
void LiDestroy(Li<T>& list) {
  list.Clear();
}
// A list of strings releases its strings with its nodes.
inline void StLiDestroy(Li<St>& list) { list.Clear(); }

// ---------------------------------------------------------------------------
// Sorting.

// Sorts list by merging, stably: equal data keep their order.  compare(a, b)
// returns kStBefore, kStEqual or kStAfter (1, 2, 3); a node moves before an
// earlier one only on kStAfter.  Whatever the comparison needs besides the
// two data is captured by the callable.  O(n log n), no allocation.
template <class T, class Compare>
void SrtMerge(Li<T>& list, Compare&& compare) {
  using Node = LiNode<T>;
  Node* head = list.Head();
  if (!head || head->next == head) return;
  head->prev->next = nullptr;  // a null-terminated chain while sorting
  for (size_t width = 1;; width *= 2) {
    Node* p = head;
    head = nullptr;
    Node** tail = &head;
    int merges = 0;
    while (p) {
      ++merges;
      Node* q = p;
      size_t pSize = 0;
      while (pSize < width && q) {
        ++pSize;
        q = q->next;
      }
      size_t qSize = width;
      while (pSize > 0 || (qSize > 0 && q)) {
        bool fromP = pSize > 0 && (qSize == 0 || !q ||
                                   compare(std::as_const(p->data),
                                           std::as_const(q->data)) != kStAfter);
        Node* take;
        if (fromP) {
          take = p;
          p = p->next;
          --pSize;
        } else {
          take = q;
          q = q->next;
          --qSize;
        }
        *tail = take;
        tail = &take->next;
      }
      p = q;
    }
    *tail = nullptr;
    if (merges <= 1) break;
  }
  list.AdoptChain(head);
}

}  // namespace quil
