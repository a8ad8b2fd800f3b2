// Page information, chunk scans, allocation totals and the cross-file check.
#include <cstring>

#include "store_test_util.h"

using namespace quil;

namespace {

class ChScan : public storetest::StoreTest {
 protected:
  // A list-head chunk (four handle-or-integer words) holding words.
  ChHandle Node(ChHandle near, const uint32_t (&words)[4]) {
    return NewChunk(near, std::string(reinterpret_cast<const char*>(words), 16), kUtTypeListHead);
  }
};

TEST_F(ChScan, PagesChunksAndTotalsAgree) {
  ChPart part = NewPart();
  std::vector<ChHandle> chunks;
  for (uint32_t i = 0; i < 50; ++i) chunks.push_back(NewChunk(ChPartNear(part), std::string(300 + i, 'x')));
  ChDestroy(chunks[7]);
  uint32_t raw = 0, sizes = 0;
  uint32_t n = ChScanChunks(part, [&](ChHandle h, uint16_t type, uint32_t size) {
    EXPECT_TRUE(ChIsLegal(h));
    if (type == kUtTypeRaw) {
      ++raw;
      sizes += size;
    }
  });
  EXPECT_EQ(raw, 49u);
  EXPECT_EQ(sizes, 49 * 300 + (49 * 50 / 2) - 7);
  EXPECT_EQ(n, raw + 1);  // and the part information
  EXPECT_EQ(ChScanChunks(part, nullptr), n);

  ChAllocInfo all = ChGetAllocInfo(part);
  EXPECT_EQ(all.chunks, n);
  EXPECT_EQ(all.pages, ChPageCount(part));
  EXPECT_EQ(all.usedBytes + all.freeBytes, uint64_t(all.pages) * (4096 - 16));
  EXPECT_GE(all.largestFree, 300u + 7 + 8);  // the destroyed chunk's block at least

  ChPageInfo page = ChGetPageInfo(chunks[0]);
  EXPECT_EQ(page.part, part);
  EXPECT_EQ(page.page, ChPageOf(chunks[0]));
  EXPECT_EQ(page.where, ChPageWhere::kCache);
  EXPECT_GE(page.chunks, 1u);
  EXPECT_EQ(page.usedBytes + page.freeBytes, 4096u - 16);
  EXPECT_EQ(ChGetPageInfo(ChHandleMake(part, ChPartPageCount(part) + 5, 16)).where,
            ChPageWhere::kFree);
  EXPECT_FALSE(ChIsInSecondary(chunks[0]));
  EXPECT_FALSE(ChIsInMultiUser(chunks[0]));
}

TEST_F(ChScan, ResizeThroughTheHandleVariable) {
  ChPart part = NewPart();
  ChHandle a = NewChunk(ChPartNear(part), "abc");
  // Fill the page so that growing must move the chunk.
  while (ChPageOf(NewChunk(a, std::string(500, 'f'))) == ChPageOf(a)) {
  }
  ChHandle before = a;
  ChCvtSize(&a, 3000);
  EXPECT_NE(a, before);
  EXPECT_EQ(ChSize(a), 3000u);
  EXPECT_EQ(memcmp(ChDeref(a), "abc", 3), 0);
  EXPECT_EQ(ChSize(ChXfmSize(a, 10)), 10u);
}

TEST_F(ChScan, HandlesIntoOtherFilesAndFreedChunksAreReported) {
  ChPart part = NewPart();
  ChPart other = NewPart("other.db");
  ChHandle mine = NewChunk(ChPartNear(part), "mine");
  ChHandle theirs = NewChunk(ChPartNear(other), "theirs");
  ChHandle gone = NewChunk(ChPartNear(part), "gone");
  Node(mine, {mine, kChNil, 0, 12345});
  std::string report;
  EXPECT_EQ(ChCrossChk(part, &report), 0u) << report;

  ChHandle cross = Node(mine, {theirs, 0, 0, 0});
  ChDestroy(gone);
  ChHandle dangling = Node(mine, {gone, 0, 0, 0});
  EXPECT_EQ(ChCrossChk(part, &report), 2u);
  EXPECT_NE(report.find("chunk " + std::to_string(cross) + ": cross-file handle " +
                        std::to_string(theirs) + "\n"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("chunk " + std::to_string(dangling) + ": dangling handle "),
            std::string::npos)
      << report;
  EXPECT_EQ(ChCrossChk(other, nullptr), 0u);
}

}  // namespace
