// Chunks: sizes, locks, reference counts, destroy, resize, placement,
// iteration, the cache and the transient file, and the store's life.
#include <map>

#include "halt_text.h"
#include "store_test_util.h"

using namespace quil;
using quiltest::HaltText;

namespace {

class ChChunk : public storetest::StoreTest {};

// A cache far smaller than the data.
class ChSmallCache : public storetest::StoreTest {
 protected:
  uint32_t CachePages() const override { return 4; }
};

uint32_t PageFree(ChHandle h) {
  auto base = reinterpret_cast<uintptr_t>(ChDeref(h)) & ~uintptr_t(4095);
  return Ld16(reinterpret_cast<const uint8_t*>(base) + kPgFree);
}

TEST(ChLayoutTable, WidthsFollowTheFilesRequested) {
  struct Row {
    uint32_t files, mask, shift;
  } rows[] = {{1, 15, 12}, {6, 15, 12}, {7, 31, 13}, {14, 31, 13},
              {15, 63, 14}, {30, 63, 14}, {31, 127, 15}, {62, 127, 15}};
  for (const Row& r : rows) {
    ChHandleLayoutSet(r.files);
    EXPECT_EQ(ChLayout.partMask, r.mask) << r.files;
    EXPECT_EQ(ChLayout.pageShift, r.shift) << r.files;
    EXPECT_EQ(ChFileMaxPages(), (145 + ChLayout.pageMask + 32) & ~31u) << r.files;
  }
  ChHandleLayoutSet(14);
  EXPECT_EQ(ChLayout.pageMask, 0x7FFFFu);
  EXPECT_EQ(HaltText([] { ChHandleLayoutSet(63); }),
            "assert:ChInit-- too many files requested");
}

TEST_F(ChChunk, LargestChunkFillsAPageAndOneMoreByteIsRefused) {
  ChHandle h;
  void* data = ChCreate(kUtTypeRaw, 4072, ChPartNear(kChTransientPart), &h);
  ChUnlockMod(data);
  EXPECT_EQ(ChSize(h), 4072u);
  EXPECT_EQ(ChOffsetOf(h), 16u);
  EXPECT_EQ(PageFree(h), 0u);
  EXPECT_EQ(ChMaxInPage(), 4072u);
  EXPECT_EQ(HaltText([] {
              ChHandle x;
              ChCreate(kUtTypeRaw, 4073, ChPartNear(kChTransientPart), &x);
            }),
            "assert:ChCreate-- Invalid chunk length requested");
}

TEST_F(ChChunk, TypeWithoutTemplateIsRefused) {
  EXPECT_EQ(HaltText([] {
              ChHandle x;
              ChCreate(4321, 8, ChPartNear(kChTransientPart), &x);
            }),
            "assert:ChCreate-- Missing relocation template ID = 4321");
}

TEST_F(ChChunk, PermanentReferenceCountStays) {
  ChHandle h = NewChunk(ChPartNear(kChTransientPart), "abc");
  EXPECT_EQ(ChGetRefCount(h), 0u);
  EXPECT_EQ(ChIncRefCount(h), 1u);
  EXPECT_EQ(ChDecRefCount(h), 0u);
  ChSetRefCount(h, 8190);
  EXPECT_EQ(ChIncRefCount(h), 8191u);
  EXPECT_EQ(ChIncRefCount(h), 8191u);
  EXPECT_EQ(ChDecRefCount(h), 8191u);
  EXPECT_EQ(ChGetRefCount(h), 8191u);
  // The count does not spill into the lock bits.
  EXPECT_FALSE(ChIsLocked(h));
  EXPECT_EQ(HaltText([] {
              ChHandle x = NewChunk(ChPartNear(kChTransientPart), "x");
              ChDecRefCount(x);
            }),
            "assert:ChDecRefCount-- Reference count is zero");
}

TEST_F(ChChunk, SevenLocksAndTheEighthHalts) {
  ChHandle h = NewChunk(ChPartNear(kChTransientPart), "locked");
  ChSetRefCount(h, 5);
  void* p = nullptr;
  for (int i = 0; i < 7; ++i) p = ChLock(h);
  EXPECT_TRUE(ChIsLocked(h));
  EXPECT_EQ(ChGetRefCount(h), 5u);
  EXPECT_EQ(HaltText([h] { ChLock(h); }),
            "assert:ChLock-- Chunk is already locked maximum times");
  for (int i = 0; i < 7; ++i) ChUnlockNoMod(p);
  EXPECT_FALSE(ChIsLocked(h));
  EXPECT_EQ(ChGetRefCount(h), 5u);
  EXPECT_EQ(HaltText([p] { ChUnlockNoMod(p); }),
            "assert:ChUnlockNoMod-- Chunk is not locked");
}

TEST_F(ChChunk, DestroyRequiresNoReferencesAndNoLocks) {
  ChHandle near = ChPartNear(kChTransientPart);
  ChHandle keep = NewChunk(near, "keep");
  ChHandle h = NewChunk(keep, "doomed");
  ChIncRefCount(h);
  EXPECT_EQ(HaltText([h] { ChDestroy(h); }),
            "assert:ChDestroy-- Reference count not zero");
  ChDecRefCount(h);
  void* p = ChLock(h);
  EXPECT_EQ(HaltText([h] { ChDestroy(h); }), "assert:ChDestroy-- Chunk is locked");
  ChUnlockNoMod(p);
  ChDestroy(h);
  EXPECT_EQ(HaltText([h] { ChLock(h); }),
            "assert:ChLock-- Bad chunk, (possibly destroyed)?");
  ChDestroy(keep);  // the page is empty now and goes back
  EXPECT_FALSE(ChIsLegal(keep));
  EXPECT_EQ(HaltText([keep] { ChDeref(keep); }),
            "assert:ChDeref-- Chunk reference is to an empty page");
}

TEST_F(ChChunk, IllegalHandles) {
  ChHandle h = NewChunk(ChPartNear(kChTransientPart), "x");
  EXPECT_TRUE(ChIsLegal(h));
  EXPECT_FALSE(ChIsLegal(0));
  EXPECT_FALSE(ChIsLegal(kChNil));
  EXPECT_FALSE(ChIsLegal(h & ~0xFFu));                         // no offset
  EXPECT_FALSE(ChIsLegal(ChHandleMake(9, 0, 16)));             // part not open
  EXPECT_FALSE(ChIsLegal(ChHandleMake(1, 40, 16)));            // beyond count
  EXPECT_FALSE(ChIsLegal(ChHandleMake(ChPart(ChFiConstant()), 0, 16)));
  EXPECT_TRUE(ChIsInTemp(h));
  EXPECT_FALSE(ChIsInMaster(h));
  EXPECT_EQ(HaltText([] { ChDeref(ChHandleMake(9, 0, 16)); }),
            "assert:ChDeref-- Illegal Ch");
}

TEST_F(ChChunk, ChunksGoNearTheirNeighbour) {
  ChPart part = NewPart();
  ChHandle a = NewChunk(ChPartNear(part), std::string(3000, 'a'));
  ChHandle b = NewChunk(ChPartNear(part), std::string(3000, 'b'));
  ChHandle nearA = NewChunk(a, std::string(500, 'c'));
  ChHandle nearB = NewChunk(b, std::string(500, 'd'));
  EXPECT_NE(ChPageOf(a), ChPageOf(b));
  EXPECT_EQ(ChPageOf(nearA), ChPageOf(a));
  EXPECT_EQ(ChPageOf(nearB), ChPageOf(b));
  EXPECT_TRUE(ChIsInMaster(a));
  EXPECT_EQ(ChGetFile(a), ChGetChFi(part));
  EXPECT_TRUE(ChCheck(part, nullptr));
}

TEST_F(ChChunk, ResizeInPlaceAndByMoving) {
  ChHandle near = ChPartNear(kChTransientPart);
  ChHandle h = NewChunk(near, "0123456789");
  ChSetRefCount(h, 3);
  EXPECT_EQ(ChResize(h, 4), h);
  EXPECT_EQ(ChunkBytes(h), "0123");
  EXPECT_EQ(ChResize(h, 100), h);  // grows into the free space behind it
  EXPECT_EQ(ChunkBytes(h), std::string("0123") + std::string(96, '\0'));
  ChHandle wall = NewChunk(h, std::string(3900, 'w'));
  EXPECT_EQ(ChPageOf(wall), ChPageOf(h));
  ChHandle moved = ChResize(h, 2000);  // no room left in the page
  EXPECT_NE(moved, h);
  EXPECT_NE(ChPageOf(moved), ChPageOf(h));
  EXPECT_EQ(ChunkBytes(moved).substr(0, 4), "0123");
  EXPECT_EQ(ChSize(moved), 2000u);
  EXPECT_EQ(ChGetRefCount(moved), 3u);
  EXPECT_EQ(ChType(moved), kUtTypeRaw);
  EXPECT_EQ(ChunkBytes(wall), std::string(3900, 'w'));
  void* p = ChLock(moved);
  EXPECT_EQ(HaltText([moved] { ChResize(moved, 10); }),
            "assert:ChResize-- Chunk is locked");
  ChUnlockNoMod(p);
}

TEST_F(ChChunk, DupCopiesIntoTheNearPart) {
  ChPart part = NewPart();
  ChHandle h = NewChunk(ChPartNear(kChTransientPart), "payload", kUtTypeChSt);
  ChHandle copy = ChDup(h, ChPartNear(part));
  EXPECT_EQ(ChPartOf(copy), part);
  EXPECT_EQ(ChunkBytes(copy), "payload");
  EXPECT_EQ(ChType(copy), kUtTypeChSt);
  EXPECT_TRUE(ChIsCrossLink(h, copy));
}

TEST_F(ChChunk, IterationVisitsEveryChunkOnce) {
  ChPart part = NewPart();
  std::map<ChHandle, int> seen;
  std::vector<ChHandle> made;
  for (int i = 0; i < 60; ++i)
    made.push_back(NewChunk(ChPartNear(part), std::string(size_t(37 * i % 900), 'i')));
  for (int i = 0; i < 60; i += 3) ChDestroy(made[size_t(i)]);
  ChIter it;
  ChStartFID(it, part);
  int count = 0;
  for (ChHandle h = ChNext(it); h != kChNil; h = ChNext(it)) {
    ++seen[h];
    ++count;
    // Destroying the chunk just returned does not disturb the walk.
    if (ChType(h) == kUtTypeRaw && ChSize(h) == 37) ChDestroy(h);
  }
  ChStop(it);
  EXPECT_EQ(count, 40 + 1);  // and the part information chunk
  for (auto& [h, n] : seen) EXPECT_EQ(n, 1);
  EXPECT_EQ(seen.count(ChPartInfoHandle(part)), 1u);
  ChIter all;
  ChStartAll(all);
  int total = 0;
  while (ChNext(all) != kChNil) ++total;
  EXPECT_GE(total, count - 1);
}

TEST_F(ChChunk, InhibitedAccessHalts) {
  ChHandle h = NewChunk(ChPartNear(kChTransientPart), "x");
  EXPECT_FALSE(ChAllocsInhibit(true));
  EXPECT_EQ(HaltText([h] { ChDeref(h); }), "assert:ChDeref--chunk access inhibited");
  EXPECT_EQ(HaltText([h] { ChLock(h); }), "assert:ChLock--chunk access inhibited");
  EXPECT_EQ(HaltText([] { NewChunk(ChPartNear(kChTransientPart), "y"); }),
            "assert:ChCreate--chunk access inhibited");
  EXPECT_TRUE(ChAllocsInhibit(false));
  EXPECT_EQ(ChunkBytes(h), "x");
}

TEST_F(ChChunk, LockedGuardUnlocksWithOrWithoutMark) {
  ChPart part = NewPart();
  uint32_t rev;
  ASSERT_EQ(ChPartSave(part, 0, &rev), 0);
  EXPECT_FALSE(ChPartIsModified(part));
  {
    ChLocked info(ChPartInfoHandle(part));
    EXPECT_TRUE(ChIsLocked(ChPartInfoHandle(part)));
  }
  EXPECT_FALSE(ChIsLocked(ChPartInfoHandle(part)));
  EXPECT_FALSE(ChPartIsModified(part));
  {
    ChLocked info(ChPartInfoHandle(part));
    info.MarkModified();
  }
  EXPECT_TRUE(ChPartIsModified(part));
  EXPECT_EQ(ChPartChangedPages(part), 1u);
}

TEST_F(ChChunk, EmptyPagesAreReused) {
  ChPart part = NewPart();
  std::vector<ChHandle> big;
  for (int i = 0; i < 5; ++i) big.push_back(NewChunk(ChPartNear(part), std::string(4000, 'p')));
  EXPECT_EQ(ChPageCount(part), 6u);
  for (ChHandle h : big) ChDestroy(h);
  EXPECT_EQ(ChPageCount(part), 1u);
  EXPECT_EQ(ChPartPageCount(part), 6u);
  ChHandle again = NewChunk(ChPartNear(part), std::string(4000, 'q'));
  EXPECT_EQ(ChPageOf(again), 5u);  // the most recently freed page
  EXPECT_EQ(ChPartPageCount(part), 6u);
  EXPECT_TRUE(ChCheck(part, nullptr));
}

TEST_F(ChChunk, TermRefusesOpenFilesAndLockedChunks) {
  EXPECT_EQ(HaltText([this] {
              NewPart();
              ChTerm();
            }),
            "assert:ChTerm-- Error- Open Chunk files");
  EXPECT_EQ(HaltText([] {
              ChLock(NewChunk(ChPartNear(kChTransientPart), "x"));
              ChTerm();
            }),
            "assert:ChTerm-- Error- Locked chunks");
}

TEST_F(ChChunk, MarkerFilesTurnOnChecksAndBadPageTolerance) {
  EXPECT_FALSE(ChCheckFlag);
  EXPECT_FALSE(ChFixAllPages);
  ChTerm();
  storetest::Touch("chcheck");
  storetest::Touch("fixallpages");
  ASSERT_EQ(ChInit(19, 8), 0);
  EXPECT_TRUE(ChCheckFlag);
  EXPECT_TRUE(ChFixAllPages);
  ChTerm();
  std::filesystem::remove("chcheck");
  std::filesystem::remove("fixallpages");
  ASSERT_EQ(ChInit(19, 8), 0);
  EXPECT_FALSE(ChCheckFlag);
  EXPECT_FALSE(ChFixAllPages);
}

TEST_F(ChSmallCache, PagesGoThroughTheTransientFile) {
  ChPart part = NewPart();
  std::vector<ChHandle> made;
  for (int i = 0; i < 40; ++i)
    made.push_back(NewChunk(ChPartNear(part), std::string(3000, char('A' + i % 26))));
  EXPECT_GT(ChState.transNext, 30u);
  EXPECT_EQ(ChState.cache.size(), 4u);
  for (int i = 0; i < 40; ++i)
    EXPECT_EQ(ChunkBytes(made[size_t(i)]), std::string(3000, char('A' + i % 26))) << i;
  // Locked pages stay put while others come and go; when every page is
  // locked the cache grows.
  std::vector<void*> locked;
  for (int i = 0; i < 6; ++i) locked.push_back(ChLock(made[size_t(i)]));
  for (int i = 6; i < 40; ++i) EXPECT_EQ(ChunkBytes(made[size_t(i)])[0], char('A' + i % 26));
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(static_cast<char*>(locked[size_t(i)])[0], char('A' + i));
    ChUnlockNoMod(locked[size_t(i)]);
  }
  EXPECT_GT(ChState.cache.size(), 4u);
  ChCheckPageTable(part);
  std::string report;
  EXPECT_TRUE(ChCheck(part, &report)) << report;
}

}  // namespace
