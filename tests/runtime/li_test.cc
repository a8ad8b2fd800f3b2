// Lists: ring shape, every operation against a std::deque model, owned
// strings, iterators, merge sort, statistics and the consistency checks.
#include "Li.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "halt_text.h"

using namespace quil;
using quiltest::HaltText;

namespace {

template <class T>
std::vector<T> Items(const Li<T>& list) {
  std::vector<T> out;
  for (const T& d : list) out.push_back(d);
  return out;
}

// The ring closes both ways and holds exactly `count` nodes.
template <class T>
void ExpectRing(const Li<T>& list, size_t count) {
  auto* head = list.Head();
  if (count == 0) {
    EXPECT_EQ(head, nullptr);
    return;
  }
  ASSERT_NE(head, nullptr);
  size_t n = 0;
  auto* node = head;
  do {
    ASSERT_EQ(node->next->prev, node);
    node = node->next;
    ASSERT_LE(++n, count);
  } while (node != head);
  EXPECT_EQ(n, count);
  EXPECT_EQ(list.Last(), head->prev);
}

struct StatsSnapshot {
  int64_t lists = ListStats.lists, nodes = ListStats.nodes,
          iterators = ListStats.iterators;
  void ExpectUnchanged() const {
    EXPECT_EQ(ListStats.lists, lists);
    EXPECT_EQ(ListStats.nodes, nodes);
    EXPECT_EQ(ListStats.iterators, iterators);
  }
};

TEST(LiShape, OneElementIsAOneNodeRingAndPoppingItLeavesNothing) {
  EXPECT_TRUE(LiIsEmpty(LiCreate<int32_t>()));
  StatsSnapshot before;
  Li<int32_t> list;
  LiPush(list, 42);
  EXPECT_EQ(ListStats.lists, before.lists + 1);
  auto* n = list.Head();
  EXPECT_EQ(n->next, n);
  EXPECT_EQ(n->prev, n);
  EXPECT_EQ(LiCount(list), 1);
  EXPECT_EQ(LiPop(list), 42);
  EXPECT_TRUE(LiIsEmpty(list));
  EXPECT_EQ(list.Head(), nullptr);
  before.ExpectUnchanged();
  int32_t d = 5;
  EXPECT_FALSE(LiPopChk(list, &d));
  EXPECT_EQ(d, 0);
  EXPECT_EQ(LiPop(list), 0);
  EXPECT_EQ(LiPopLast(list), 0);
}

TEST(LiSetOps, CommonExcludeOrEliminate) {
  Li<int32_t> a, b;
  for (int32_t d : {1, 2, 2, 3, 4}) LiAppend(a, d);
  for (int32_t d : {4, 5, 2, 5}) LiAppend(b, d);
  EXPECT_EQ(Items(LiCommon(a, b)), (std::vector<int32_t>{2, 2, 4}));
  EXPECT_EQ(Items(LiExclude(a, b)), (std::vector<int32_t>{1, 3}));
  EXPECT_EQ(Items(LiOR(a, b)), (std::vector<int32_t>{1, 2, 2, 3, 4, 5}));
  EXPECT_EQ(LiEqualCount(a, 2), 2);
  EXPECT_EQ(LiEqualCount(b, 7), 0);
  EXPECT_EQ(LiEliminate(b), 1);
  EXPECT_EQ(Items(b), (std::vector<int32_t>{4, 5, 2}));
  Li<int32_t> same;
  for (int32_t d : {6, 6, 6}) LiAppend(same, d);
  EXPECT_EQ(LiEliminate(same), 2);
  ExpectRing(same, 1);
}

// Random sequences of every operation, checked against a deque after each.
TEST(LiModel, RandomOperationsMatchDeque) {
  StatsSnapshot before;
  std::mt19937 rng(12345);
  for (int round = 0; round < 40; ++round) {
    Li<int32_t> list;
    std::deque<int32_t> model;
    for (int step = 0; step < 400; ++step) {
      int32_t v = int32_t(rng() % 12);
      int32_t index = int32_t(rng() % (model.size() + 2));
      auto found = std::find(model.begin(), model.end(), v);
      bool in = index >= 1 && size_t(index) <= model.size();
      auto* entry = LiGetEntry(list, index);
      int32_t d = -1;
      switch (rng() % 12) {
        case 0:
          LiAppend(list, v);
          model.push_back(v);
          break;
        case 1:
          LiPush(list, v);
          model.push_front(v);
          break;
        case 2:
          EXPECT_EQ(LiPop(list), model.empty() ? 0 : model.front());
          if (!model.empty()) model.pop_front();
          break;
        case 3:
          EXPECT_EQ(LiPopLast(list), model.empty() ? 0 : model.back());
          if (!model.empty()) model.pop_back();
          break;
        case 4:
          EXPECT_EQ(LiDelete(list, v), found != model.end());
          if (found != model.end()) model.erase(found);
          break;
        case 5:
          EXPECT_EQ(LiRemove(list, v), int32_t(std::erase(model, v)));
          break;
        case 6:
          d = LiDrop(list, v % 3);
          EXPECT_EQ(d, std::min<int32_t>(v % 3, int32_t(model.size())));
          model.erase(model.begin(), model.begin() + d);
          break;
        case 7:
          EXPECT_EQ(LiGetData(list, index, &d), in);
          EXPECT_EQ(d, in ? model[size_t(index - 1)] : 0);
          if (LiSetData(list, index, v)) model[size_t(index - 1)] = v;
          break;
        case 8:
          if (!entry) break;
          d = model[size_t(index - 1)];
          model.erase(model.begin() + index - 1);
          if (v % 2) {
            LiMoveEntryToFirst(list, entry);
            model.push_front(d);
          } else {
            LiMoveEntryToLast(list, entry);
            model.push_back(d);
          }
          break;
        case 9:
          if (!entry && !model.empty()) break;
          if (v % 2) {
            LiPreInsertEntry(list, entry, v);
            model.insert(model.begin() + (entry ? index - 1 : 0), v);
          } else {
            LiPostInsertEntry(list, entry, v);
            model.insert(model.begin() + (entry ? index : 0), v);
          }
          break;
        case 10: {
          Li<int32_t> other;
          for (int32_t i = 0; i < v % 4; ++i) {
            LiAppend(other, i);
            model.push_back(i);
          }
          LiCat(list, std::move(other));
          EXPECT_TRUE(LiIsEmpty(other));
          break;
        }
        case 11:
          EXPECT_EQ(LiGetIndex(list, v, &d), found != model.end());
          EXPECT_EQ(d, found == model.end() ? 0 : found - model.begin() + 1);
          break;
      }
      ASSERT_EQ(Items(list), std::vector<int32_t>(model.begin(), model.end()))
          << "round " << round << " step " << step;
      ExpectRing(list, model.size());
      EXPECT_EQ(LiCount(list), int32_t(model.size()));
      EXPECT_EQ(LiFirst(list), model.empty() ? 0 : model.front());
      EXPECT_EQ(LiLast(list), model.empty() ? 0 : model.back());
      EXPECT_EQ(LiSecond(list), model.size() < 2 ? 0 : model[1]);
    }
  }
  before.ExpectUnchanged();
}

TEST(LiStrings, ListOwnsItsStrings) {
  int64_t strings = StrStats;
  StatsSnapshot before;
  {
    St shared = StCStrXfm("shared");
    Li<St> list;
    LiAppend(list, StCStrXfm("one"));
    LiAppend(list, shared);  // a second reference
    LiAppend(list, StCStrXfm("three"));
    EXPECT_EQ(shared.RefCount(), 2u);
    EXPECT_TRUE(LiIsMember(list, StCStrXfm("three")));  // by bytes
    Li<St> copy = LiDup(list);
    EXPECT_EQ(shared.RefCount(), 3u);
    EXPECT_EQ(LiPop(copy), "one");
    StLiDestroy(copy);
    EXPECT_EQ(shared.RefCount(), 2u);
    LiDestroy(list);
    EXPECT_EQ(shared.RefCount(), 1u);
    LiAppend(list, StCStrXfm("reused after destroy"));
  }
  EXPECT_EQ(StrStats, strings);
  before.ExpectUnchanged();
}

TEST(LiIterate, VisitsInOrderAndAllowsDeletingCurrent) {
  StatsSnapshot before;
  Li<int32_t> list;
  for (int32_t d = 1; d <= 6; ++d) LiAppend(list, d);
  {
    auto iter = LiStart(list);
    EXPECT_EQ(ListStats.iterators, before.iterators + 1);
    std::vector<int32_t> seen;
    while (auto* e = LiNextEntry(iter)) {
      seen.push_back(e->data);
      if (e->data % 2 == 1) LiDeleteEntry(list, e);  // includes the first
    }
    EXPECT_EQ(seen, (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Items(list), (std::vector<int32_t>{2, 4, 6}));
    int32_t d = -1;
    EXPECT_FALSE(LiNext(iter, &d));  // stays finished
    EXPECT_EQ(d, 0);

    LiStartIter(iter, list);  // reuse: not counted twice
    EXPECT_EQ(ListStats.iterators, before.iterators + 1);
    while (LiNext(iter, &d)) LiDataAssign(iter, d * 10);
    EXPECT_EQ(Items(list), (std::vector<int32_t>{20, 40, 60}));
    LiStop(iter);
    EXPECT_EQ(ListStats.iterators, before.iterators);
  }
  LiDestroy(list);
  before.ExpectUnchanged();
}

TEST(SrtMerge, SortsStablyLikeStableSort) {
  std::mt19937 rng(7);
  using Pair = std::pair<int32_t, int32_t>;  // key, original position
  for (int n : {0, 1, 2, 3, 5, 16, 17, 100, 1000}) {
    Li<Pair> list;
    std::vector<Pair> model;
    for (int i = 0; i < n; ++i) {
      Pair p{int32_t(rng() % 10), i};
      LiAppend(list, p);
      model.push_back(p);
    }
    auto cmp = [](const Pair& a, const Pair& b) {
      return a.first < b.first   ? kStBefore
             : a.first > b.first ? kStAfter
                                 : kStEqual;
    };
    SrtMerge(list, cmp);
    std::stable_sort(
        model.begin(), model.end(),
        [](const Pair& a, const Pair& b) { return a.first < b.first; });
    EXPECT_EQ(Items(list), model) << n;
    ExpectRing(list, size_t(n));
  }
}

TEST(LiThreads, ListsOnSeveralThreadsBalanceTheCounts) {
  StatsSnapshot before;
  Li<int32_t> handedOver;
  std::thread worker([&] {
    for (int round = 0; round < 200; ++round) {
      Li<int32_t> list;
      for (int32_t i = 0; i < 100; ++i) LiAppend(list, i);
      while (LiCount(list) > 50) LiPop(list);
    }
    for (int32_t i = 0; i < 1000; ++i) LiAppend(handedOver, i);
  });
  for (int round = 0; round < 200; ++round) {
    Li<int32_t> list;
    for (int32_t i = 0; i < 100; ++i) LiPush(list, i);
  }
  worker.join();
  // Nodes made on the worker are freed here, after that thread has ended.
  EXPECT_EQ(LiCount(handedOver), 1000);
  LiDestroy(handedOver);
  before.ExpectUnchanged();
}

TEST(LiChecks, HaltTexts) {
  EXPECT_EQ(HaltText([] {
              Li<int32_t> list;
              LiAppend(list, 1);
              auto* second = LiAppendEntry(list, 2);
              LiAppend(list, 3);
              second->prev = second;
              LiDestroy(list);
            }),
            "assert:LiDestroy-- bad list");
  EXPECT_EQ(HaltText([] {
              Li<int32_t> list;
              LiAppend(list, 1);
              LiAppend(list, 2);
              list.Head()->prev->next = list.Head()->prev;
              auto iter = LiStart(list);
            }),
            "assert:LiStart-- illegal list");
  EXPECT_EQ(HaltText([] {
              Li<int32_t> list;
              LiAppend(list, 1);
              auto iter = LiStart(list);
              LiStop(iter);
              int32_t d;
              (void)LiNext(iter, &d);
            }),
            "assert:LiNext-- null iterator");
  EXPECT_EQ(HaltText([] {
              LiIter<int32_t> never;
              LiDataAssign(never, 3);
            }),
            "assert:LiNext-- null iterator");
}

}  // namespace
