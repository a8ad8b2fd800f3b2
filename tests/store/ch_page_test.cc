// Blocks within one page: random allocation, freeing and resizing against a
// model, with the whole page verified after every step, and the checker
// catching damage.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "ChInt.h"

using namespace quil;

namespace {

struct alignas(4096) Page {
  uint8_t bytes[4096];
};

TEST(ChPage, EmptyPageIsOneFreeBlock) {
  Page pg{};
  ChPgInitEmpty(pg.bytes, 1);
  EXPECT_EQ(Ld16(pg.bytes + kPgFree), 4080);
  EXPECT_EQ(Ld16(pg.bytes + kPgRoot), 16);
  EXPECT_TRUE(Ld16(pg.bytes + kPgFlags) & kPgFlagEmpty);
  EXPECT_EQ(BlkGet(pg.bytes, 16, kBlkSize), 4080);
  std::string why;
  EXPECT_TRUE(ChPgVerify(pg.bytes, true, &why)) << why;
  EXPECT_EQ(ChPgLargestFree(pg.bytes), 4080u);
}

TEST(ChPage, ExactFitIsPreferredAndNeighboursMerge) {
  Page pg{};
  ChPgInitEmpty(pg.bytes, 1);
  uint32_t a = ChPgAlloc(pg.bytes, 40);   // 48
  uint32_t b = ChPgAlloc(pg.bytes, 100);  // 112
  uint32_t c = ChPgAlloc(pg.bytes, 8);    // 16
  uint32_t d = ChPgAlloc(pg.bytes, 200);  // 208
  for (uint32_t off : {a, b, c, d}) BlkSet(pg.bytes, off, kBlkType, kUtTypeRaw);
  EXPECT_EQ(a, 16u);
  EXPECT_EQ(b, 64u);
  EXPECT_EQ(c, 176u);
  ChPgFree(pg.bytes, b);
  EXPECT_EQ(BlkGet(pg.bytes, c, kBlkPrev), 112);
  // A 112-byte block fits exactly into b's hole rather than the big tail.
  EXPECT_EQ(ChPgAlloc(pg.bytes, 104), b);
  BlkSet(pg.bytes, b, kBlkType, kUtTypeRaw);
  ChPgFree(pg.bytes, a);
  ChPgFree(pg.bytes, c);
  ChPgFree(pg.bytes, b);  // merges with both neighbours
  EXPECT_EQ(BlkGet(pg.bytes, 16, kBlkType), 0);
  EXPECT_EQ(BlkGet(pg.bytes, 16, kBlkSize), 48 + 112 + 16);
  EXPECT_EQ(BlkGet(pg.bytes, d, kBlkPrev), 176);
  ChPgFree(pg.bytes, d);
  EXPECT_EQ(Ld16(pg.bytes + kPgFree), 4080);
  EXPECT_TRUE(Ld16(pg.bytes + kPgFlags) & kPgFlagEmpty);
  EXPECT_TRUE(ChPgVerify(pg.bytes, true, nullptr));
}

TEST(ChPage, RandomOperationsKeepThePageSound) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 40; ++round) {
    Page pg{};
    ChPgInitEmpty(pg.bytes, 1);
    std::map<uint32_t, std::string> model;  // offset -> contents
    for (int step = 0; step < 400; ++step) {
      int op = int(rng() % 10);
      if (op < 5 || model.empty()) {
        uint32_t len = rng() % 4 ? rng() % 120 : rng() % 1500;
        uint32_t off = ChPgAlloc(pg.bytes, len);
        if (off == 0) {
          EXPECT_LT(ChPgLargestFree(pg.bytes), ChRound16(len + 8));
          continue;
        }
        BlkSet(pg.bytes, off, kBlkType, kUtTypeRaw);
        std::string data(len, char('a' + step % 26));
        memcpy(pg.bytes + off + 8, data.data(), len);
        model[off] = data;
      } else {
        auto it = model.begin();
        std::advance(it, rng() % model.size());
        uint32_t off = it->first;
        if (op < 8) {
          ChPgFree(pg.bytes, off);
          model.erase(it);
        } else {
          uint32_t len = rng() % 300;
          if (ChPgResize(pg.bytes, off, len)) {
            std::string& data = it->second;
            data.resize(len, '#');
            memcpy(pg.bytes + off + 8, data.data(), len);
          }
        }
      }
      std::string why;
      ASSERT_TRUE(ChPgVerify(pg.bytes, true, &why)) << "round " << round << " step "
                                                    << step << "\n" << why;
      for (auto& [off, data] : model) {
        ASSERT_EQ(BlkGet(pg.bytes, off, kBlkSize), data.size() + 8);
        ASSERT_EQ(memcmp(pg.bytes + off + 8, data.data(), data.size()), 0);
      }
    }
  }
}

TEST(ChPage, VerifyFindsDamage) {
  Page pg{};
  ChPgInitEmpty(pg.bytes, 1);
  uint32_t offs[6];
  for (auto& off : offs) {
    off = ChPgAlloc(pg.bytes, 50);
    BlkSet(pg.bytes, off, kBlkType, kUtTypeRaw);
  }
  ChPgFree(pg.bytes, offs[1]);
  ChPgFree(pg.bytes, offs[3]);
  ASSERT_TRUE(ChPgVerify(pg.bytes, true, nullptr));
  auto broken = [&](auto&& damage, const char* expect) {
    Page copy = pg;
    damage(copy.bytes);
    std::string why;
    EXPECT_FALSE(ChPgVerify(copy.bytes, true, &why)) << expect;
    EXPECT_NE(why.find(expect), std::string::npos) << why;
  };
  broken([&](uint8_t* p) { BlkSet(p, offs[2], kBlkPrev, 32); }, "previous-size");
  broken([&](uint8_t* p) { St16(p + kPgFree, 100); }, "free-space size");
  broken([&](uint8_t* p) { p[Ld16(p + kPgRoot) + kBlkCount1] ^= 1; }, "counts");
  broken([&](uint8_t* p) { St16(p + kPgRoot, 0); }, "holds 0 of 3");
  broken([&](uint8_t* p) { BlkSet(p, offs[0], kBlkSize, 5000); }, "past the end");
  broken([&](uint8_t* p) { BlkSet(p, offs[4], kBlkStatus, 0x2000); }, "lock count");
  broken([&](uint8_t* p) { p[kPgPart2] = 2; }, "part numbers");
  EXPECT_TRUE(ChPgVerify(pg.bytes, false, nullptr));
}

}  // namespace
