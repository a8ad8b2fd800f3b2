// Segment lists: the map use (empty list, gaps, random keys against a
// std::map), positional operations against a simple model, the list chunk
// byte for byte, balance through growth and shrinking, callbacks, back
// pointers, moves between lists, consistency checks and repair, and lists
// saved and checked again by a new process.
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "ChLi.h"
#include "Sl.h"
#include "halt_text.h"
#include "lists_test_util.h"

using namespace quil;
using quiltest::HaltText;

namespace {

// Value chunks are one-node chunk lists (a type every reader of the file
// knows): the back pointer goes in the datum at offset 8, the key is the
// second datum at offset 12.
constexpr int16_t kBack = 8;

class SlTest : public storetest::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    StoreRegisterTypes();
    part_ = NewPart();
  }
  ChHandle Near() const { return ChPartNear(part_); }
  ChHandle NewValue(uint32_t key) {
    return ChLiGenAppend(ChLiGenCreate(Near(), kChLiNodeType), 0, key, kChLiNodeType);
  }
  int CountType(uint16_t type) {
    ChIter it;
    ChStartFID(it, part_);
    int n = 0;
    for (ChHandle h; (h = ChNext(it)) != kChNil;) n += ChType(h) == type;
    return n;
  }
  // Random sets, clears and reads of keys as a sparse map, checked against
  // model every 500 steps.  Handle values are value chunks made on demand.
  void RandomMap(ChHandle list, bool handles, std::map<uint32_t, uint32_t>& model,
                 std::map<uint32_t, ChHandle>& values, std::mt19937& rng, int steps) {
    for (int step = 0; step < steps; ++step) {
      uint32_t key = rng() % 8 == 0 ? rng() % 2000000 : rng() % 3000;
      uint32_t r = rng() % 10;
      if (r < 6) {
        uint32_t v = uint32_t(rng()) | 1;
        if (handles) {
          auto it = values.find(key);
          if (it == values.end()) it = values.emplace(key, NewValue(key)).first;
          v = it->second;
        }
        SlReplaceSeg(list, v, key, 1, 1);
        model[key] = v;
      } else if (r < 8) {
        SlReplaceSeg(list, 0, key, 1, 1);
        model.erase(key);
      } else {
        auto it = model.find(key);
        ASSERT_EQ(SlGetInterval(list, key, nullptr, nullptr), it == model.end() ? 0 : it->second);
      }
      if (step % 500 == 499) {
        std::string report;
        ASSERT_TRUE(SlConsistency(list, &report)) << step << "\n" << report;
        std::map<uint32_t, uint32_t> seen;
        SlSegIter it = SlSegStart(list, 0);
        uint32_t v, start, len;
        while (SlSegNext(it, &v, &start, &len)) {
          if (!v) continue;
          ASSERT_EQ(len, 1u);
          seen[start] = v;
        }
        ASSERT_EQ(seen, model) << step;
        ASSERT_EQ(SlGetApproxCount(list), model.size());
      }
    }
  }
  void ExpectSound(ChHandle list) {
    std::string report;
    EXPECT_TRUE(SlConsistency(list, &report)) << report;
  }
  ChPart part_ = 0;
};

struct Seg {
  uint32_t len, val;
  bool operator==(const Seg&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Seg& s) {
  return o << "(" << s.len << "," << s.val << ")";
}

std::vector<Seg> Segments(ChHandle list) {
  std::vector<Seg> out;
  SlSegIter it = SlSegStart(list, 0);
  uint32_t v, start, len, expect = 0;
  while (SlSegNext(it, &v, &start, &len)) {
    EXPECT_EQ(start, expect);
    expect += len;
    out.push_back(Seg{len, v});
  }
  EXPECT_EQ(expect, SlGetLength(list));
  return out;
}

// The segment sequence the list must hold, kept the plain way.
struct Model {
  std::vector<Seg> segs;

  uint32_t Length() const {
    uint32_t n = 0;
    for (const Seg& s : segs) n += s.len;
    return n;
  }
  void Norm() {
    std::vector<Seg> out;
    for (const Seg& s : segs) {
      if (s.len == 0) continue;
      if (s.val == 0 && !out.empty() && out.back().val == 0) {
        out.back().len += s.len;
      } else {
        out.push_back(s);
      }
    }
    segs = out;
  }
  // Cuts so that a segment starts at pos; returns its index.
  size_t CutAt(uint32_t pos) {
    uint32_t at = 0;
    for (size_t i = 0; i < segs.size(); ++i) {
      if (at == pos) return i;
      if (pos < at + segs[i].len) {
        Seg tail{at + segs[i].len - pos, segs[i].val};
        segs[i].len = pos - at;
        segs.insert(segs.begin() + long(i) + 1, tail);
        return i + 1;
      }
      at += segs[i].len;
    }
    return segs.size();
  }
  void Add(uint32_t val, uint32_t pos, uint32_t len) {
    if (len == 0) return;
    if (pos > Length()) segs.push_back(Seg{pos - Length(), 0});
    size_t i = CutAt(pos);
    segs.insert(segs.begin() + long(i), Seg{len, val});
    Norm();
  }
  void Subtract(uint32_t pos, uint32_t len) {
    if (pos >= Length()) return;
    uint64_t end = std::min<uint64_t>(uint64_t(pos) + len, Length());
    uint64_t at = 0;
    // Each segment loses the positions of the range it holds.
    for (Seg& s : segs) {
      uint64_t from = std::max<uint64_t>(at, pos), to = std::min<uint64_t>(at + s.len, end);
      at += s.len;
      if (from < to) s.len -= uint32_t(to - from);
    }
    Norm();
  }
  uint32_t RemoveSeg(uint32_t pos) {
    uint32_t at = 0;
    for (size_t i = 0; i < segs.size(); ++i) {
      if (pos < at + segs[i].len) {
        uint32_t v = segs[i].val;
        segs.erase(segs.begin() + long(i));
        Norm();
        return v;
      }
      at += segs[i].len;
    }
    return 0;
  }
  void Replace(uint32_t val, uint32_t pos, uint32_t oldLen, uint32_t newLen) {
    if (pos + oldLen > Length()) segs.push_back(Seg{pos + oldLen - Length(), 0});
    Norm();
    Subtract(pos, oldLen);
    Add(val, pos, newLen);
  }
};

TEST_F(SlTest, EmptyListAnswersZeroEverywhere) {
  for (uint16_t kind : {kSlPlainLeaf, kSlHandleLeaf}) {
    ChHandle list = SlCreate(kSlNoBackPointer, 0, 0, Near(), 56, kind);
    for (uint32_t pos : {0u, 1u, 7u, 100000u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
      uint32_t start = 1, length = 1;
      EXPECT_EQ(SlGetInterval(list, pos, &start, &length), 0u);
      EXPECT_EQ(start, 0u);
      EXPECT_EQ(length, 0xFFFFFFFFu);
    }
    EXPECT_TRUE(SlIsEmpty(list));
    EXPECT_EQ(SlGetLength(list), 0u);
    EXPECT_EQ(SlGetApproxCount(list), 0u);
    ExpectSound(list);
  }
}

TEST_F(SlTest, ListChunkByteForByte) {
  ChHandle app = NewChunk(Near(), "app");
  ChHandle list = SlCreate(kSlNoBackPointer, 0, app, Near(), 4, kSlPlainLeaf);
  EXPECT_EQ(ChType(list), kSlListType);
  EXPECT_EQ(ChSize(list), 40u + 32u);
  SlReplaceSeg(list, 0xABCD, 2, 1, 1);
  auto w = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  auto h = [](uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
  std::string expect = w(list) + w(list) + w(0) + w(app) + h(4) + h(412) + h(0xFFFF) + h(2) +
                       w(3) + w(2) + w(1) + h(0) + h(0) + w(2) + w(0) + w(1) + w(0xABCD) +
                       std::string(16, '\0');
  EXPECT_EQ(ChunkBytes(list), expect);
  EXPECT_EQ(SlGetAppData(list), app);
}

TEST_F(SlTest, KeysSevenThenThreeLeaveGapsBetween) {
  ChHandle list = SlCreate(kSlNoBackPointer, 0, 0, Near(), 56, kSlHandleLeaf);
  ChHandle h7 = NewValue(7), h3 = NewValue(3);
  SlReplaceSeg(list, h7, 7, 1, 1);
  SlReplaceSeg(list, h3, 3, 1, 1);
  EXPECT_EQ(Segments(list), (std::vector<Seg>{{3, 0}, {1, h3}, {3, 0}, {1, h7}}));
  uint32_t start, length;
  EXPECT_EQ(SlGetInterval(list, 5, &start, &length), 0u);
  EXPECT_EQ(start, 4u);
  EXPECT_EQ(length, 3u);
  for (uint32_t k : {0u, 1u, 2u, 4u, 5u, 6u}) EXPECT_EQ(SlGetInterval(list, k, nullptr, nullptr), 0u);
  EXPECT_EQ(SlGetInterval(list, 3, nullptr, nullptr), h3);
  EXPECT_EQ(SlGetInterval(list, 7, nullptr, nullptr), h7);
  EXPECT_EQ(SlGetInterval(list, 8, &start, &length), 0u);
  EXPECT_EQ(start, 8u);
  EXPECT_EQ(length, ~8u);
  EXPECT_EQ(SlGetApproxCount(list), 2u);
  // Clearing a key leaves one joined gap.
  SlReplaceSeg(list, 0, 3, 1, 1);
  EXPECT_EQ(Segments(list), (std::vector<Seg>{{7, 0}, {1, h7}}));
  ExpectSound(list);
}

TEST_F(SlTest, SettingAGapKeyWritesInPlace) {
  ChHandle list = SlCreate(kSlNoBackPointer, 0, 0, Near(), 4, kSlPlainLeaf);
  SlAddSeg(list, 5, 0, 1);
  SlAddSeg(list, 0, 1, 1);
  SlAddSeg(list, 6, 2, 1);
  uint32_t segsBefore = uint32_t(Segments(list).size());
  SlReplaceSeg(list, 9, 1, 1, 1);
  EXPECT_EQ(Segments(list), (std::vector<Seg>{{1, 5}, {1, 9}, {1, 6}}));
  EXPECT_EQ(uint32_t(Segments(list).size()), segsBefore);
  // A longer gap is cut around the new segment.
  SlAddSeg(list, 0, 3, 5);
  SlReplaceSeg(list, 4, 5, 2, 2);
  EXPECT_EQ(Segments(list), (std::vector<Seg>{{1, 5}, {1, 9}, {1, 6}, {2, 0}, {2, 4}, {1, 0}}));
}

// Both kinds and the smallest and largest capacity, as a sparse map against
// std::map, then saved and read by a new process.
TEST_F(SlTest, RandomMapsFollowStdMapAndSurviveReopen) {
  std::mt19937 rng(77);
  ChHandle root = ChLiGenCreate(Near(), kChLiNodeType);
  std::ostringstream modelText;
  for (uint16_t cap : {uint16_t(4), uint16_t(56)}) {
    for (bool handles : {false, true}) {
      ChHandle list = SlCreate(handles ? kBack : kSlNoBackPointer, 0, 0, Near(), cap,
                               handles ? kSlHandleLeaf : kSlPlainLeaf);
      std::map<uint32_t, uint32_t> model;
      std::map<uint32_t, ChHandle> values;
      RandomMap(list, handles, model, values, rng, 12000);
      if (HasFatalFailure()) return;
      root = ChLiGenAppend(root, list, cap * 2u + handles, kChLiNodeType);
      modelText << cap * 2 + handles << " " << model.size() << "\n";
      for (auto& [k, v] : model) modelText << k << " " << (handles ? 0 : v) << "\n";
    }
  }
  storetest::WriteFileBytes("model.txt", modelText.str());
  ChSetRoot(part_, root);
  uint32_t rev;
  ASSERT_EQ(ChPartSave(part_, 0, &rev), 0);
  ASSERT_EQ(ChFiClose(ChGetChFi(part_)), 0);
  std::string out;
  EXPECT_TRUE(liststest::RunInNewProcess("SlReopened.MapsCheckAgain", dir_ + "/quil.db", &out))
      << out;
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " check quil.db", &out), 0) << out;
}

class SlReopened : public liststest::ReopenedFile {};

TEST_F(SlReopened, MapsCheckAgain) {
  std::istringstream in(storetest::ReadFileBytes("model.txt"));
  ChLiGenIter it = ChLiGenStart(Root(), kChLiNodeType);
  uint32_t list, tag, lists = 0;
  while (ChLiGenNext(it, &list, &tag, kChLiNodeType)) {
    ++lists;
    uint32_t fileTag, count;
    in >> fileTag >> count;
    ASSERT_EQ(fileTag, tag);
    bool handles = tag & 1;
    std::string report;
    ASSERT_TRUE(SlConsistency(list, &report)) << report;
    ASSERT_EQ(SlGetApproxCount(list), count);
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t k, v;
      in >> k >> v;
      uint32_t got = SlGetInterval(list, k, nullptr, nullptr);
      if (handles) {
        ASSERT_TRUE(ChIsLegal(got)) << k;
        EXPECT_EQ(Ld32(static_cast<const uint8_t*>(ChDeref(got)) + 12), k);
        uint32_t start, len;
        ASSERT_TRUE(SlSegGetLoc(list, got, &start, &len));
        EXPECT_EQ(start, k);
        EXPECT_EQ(SlSegGetRoot(got, kBack), list);
      } else {
        EXPECT_EQ(got, v) << k;
      }
    }
  }
  EXPECT_EQ(lists, 4u);
}

TEST_F(SlTest, PositionalOperationsFollowAModel) {
  std::mt19937 rng(99);
  for (uint16_t cap : {uint16_t(4), uint16_t(7), uint16_t(56)}) {
    ChHandle list = SlCreate(kSlNoBackPointer, 0, 0, Near(), cap, kSlPlainLeaf);
    Model m;
    for (int step = 0; step < 5000; ++step) {
      uint32_t len = m.Length();
      uint32_t pos = len ? uint32_t(rng() % (len + 20)) : rng() % 20;
      uint32_t n = 1 + rng() % 12;
      uint32_t v = rng() % 4 == 0 ? 0 : 1 + rng() % 50;
      switch (rng() % 6) {
        case 0:
        case 1:
          SlAddSeg(list, v, pos, n);
          m.Add(v, pos, n);
          break;
        case 2:
          SlSubtract(list, pos, n);
          m.Subtract(pos, n);
          break;
        case 3: {
          uint32_t got = SlRemoveSeg(list, pos);
          ASSERT_EQ(got, m.RemoveSeg(pos)) << step;
          break;
        }
        case 4:
        case 5: {
          uint32_t n2 = rng() % 3 == 0 ? n : 1 + rng() % 12;
          SlReplaceSeg(list, v, pos, n, n2);
          m.Replace(v, pos, n, n2);
          break;
        }
      }
      // Keep the list from growing without bound.
      if (m.Length() > 4000) {
        SlSubtract(list, 0, 1000);
        m.Subtract(0, 1000);
      }
      if (step % 250 == 0) {
        ASSERT_EQ(Segments(list), m.segs) << "capacity " << cap << " step " << step;
        std::string report;
        ASSERT_TRUE(SlConsistency(list, &report)) << report;
      }
    }
    ASSERT_EQ(Segments(list), m.segs);
    SlDestroy(list);
  }
  EXPECT_EQ(CountType(kSlListType) + CountType(kSlInnerType) + CountType(kSlPlainLeaf), 0);
}

TEST_F(SlTest, TreeGrowsAndShrinksBackIntoTheListChunk) {
  ChHandle list = SlCreate(kSlNoBackPointer, 0, 0, Near(), 4, kSlPlainLeaf);
  for (uint32_t i = 0; i < 4; ++i) SlAddSeg(list, i + 1, i, 1);
  EXPECT_EQ(CountType(kSlPlainLeaf), 0);  // four entries fit the list chunk
  SlAddSeg(list, 5, 4, 1);
  EXPECT_EQ(CountType(kSlPlainLeaf), 2);
  EXPECT_EQ(CountType(kSlInnerType), 1);
  for (uint32_t i = 5; i < 1000; ++i) SlAddSeg(list, i + 1, i / 2, 1);
  ExpectSound(list);
  EXPECT_GT(CountType(kSlInnerType), 20);
  // Height: leaves of 2 to 4 entries, inner nodes of 2 to 4 children.
  uint16_t height = Ld16(static_cast<const uint8_t*>(ChDeref(list)) + 36);
  EXPECT_GE(height, 5);
  EXPECT_LE(height, 10);
  std::mt19937 rng(5);
  while (SlGetLength(list) > 0) {
    SlRemoveSeg(list, rng() % SlGetLength(list));
    if (SlGetLength(list) % 97 == 0) ExpectSound(list);
  }
  ExpectSound(list);
  EXPECT_EQ(CountType(kSlPlainLeaf) + CountType(kSlInnerType), 0);
  EXPECT_EQ(Ld32(static_cast<const uint8_t*>(ChDeref(list))), list);
}

struct CutLog {
  static inline std::vector<std::vector<uint32_t>> calls;
  static uint32_t Cut(ChHandle list, uint32_t value, uint32_t removed, uint32_t kept) {
    calls.push_back({list, value, removed, kept});
    return 0;
  }
  static uint32_t Dup(ChHandle, uint32_t value, uint32_t, uint32_t) { return value + 1000; }
};

TEST_F(SlTest, MethodZeroHearsEveryCutOfAValue) {
  static SlCallback cb;
  cb.methods[kSlCbCut] = CutLog::Cut;
  ChHandle handle = SlCbRegister(3, &cb);
  EXPECT_EQ(SlCbLookup(handle), &cb);
  CutLog::calls.clear();
  ChHandle list = SlCreate(kSlNoBackPointer, handle, 0, Near(), 8, kSlPlainLeaf);
  SlAddSeg(list, 11, 0, 5);
  SlAddSeg(list, 22, 5, 5);
  SlSubtract(list, 3, 4);  // 2 from 11, 2 from 22
  EXPECT_EQ(CutLog::calls, (std::vector<std::vector<uint32_t>>{{list, 11, 2, 3}, {list, 22, 2, 3}}));
  CutLog::calls.clear();
  EXPECT_EQ(SlRemoveSeg(list, 0), 11u);  // the value goes to the caller
  EXPECT_TRUE(CutLog::calls.empty());
  SlAddSeg(list, 0, 3, 2);
  SlReplaceSeg(list, 33, 0, 3, 1);  // replaces all of 22
  EXPECT_EQ(CutLog::calls, (std::vector<std::vector<uint32_t>>{{list, 22, 3, 0}}));
  CutLog::calls.clear();
  SlDestroy(list);
  EXPECT_EQ(CutLog::calls, (std::vector<std::vector<uint32_t>>{{list, 33, 1, 0}}));

  static SlCallback nine;
  nine.count = 9;
  ChHandle bad = SlCbRegister(4, &nine);
  EXPECT_EQ(HaltText([&] { SlCreate(kSlNoBackPointer, bad, 0, Near(), 8, kSlPlainLeaf); }),
            "assert:SlCreate-- wrong number of Callback cases");
  EXPECT_EQ(HaltText([&] {
              SlCreate(kSlNoBackPointer, SlCbRegister(5, nullptr), 0, Near(), 8, kSlPlainLeaf);
            }),
            "assert:SlCreate-- wrong number of Callback cases");
}

TEST_F(SlTest, HandleValuesMustLieInTheListsFile) {
  ChPart other = NewPart("other.db");
  ChHandle foreign = NewChunk(ChPartNear(other), "f");
  ChHandle list = SlCreate(kSlNoBackPointer, 0, 0, Near(), 8, kSlHandleLeaf);
  EXPECT_EQ(HaltText([&] { SlAddSeg(list, foreign, 0, 1); }),
            "assert:SlAddSeg--Segment not in same chunk file");
  EXPECT_EQ(HaltText([&] { SlReplaceSeg(list, foreign, 4, 1, 1); }),
            "assert:SlAddSeg--Segment not in same chunk file");
  EXPECT_EQ(HaltText([&] { SlAddSeg(list, 12345, 0, 1); }),
            "assert:SlAddSeg--Segment not in same chunk file");
  // Plain lists take any word.
  ChHandle plain = SlCreate(kSlNoBackPointer, 0, 0, Near(), 8, kSlPlainLeaf);
  SlAddSeg(plain, foreign, 0, 1);
  EXPECT_EQ(SlGetInterval(plain, 0, nullptr, nullptr), foreign);
}

TEST_F(SlTest, BackPointersFollowSegmentsThroughSplitsAndMerges) {
  ChHandle list = SlCreate(kBack, 0, 0, Near(), 4, kSlHandleLeaf);
  std::vector<ChHandle> vals;
  for (uint32_t i = 0; i < 300; ++i) {
    vals.push_back(NewValue(i));
    SlAddSeg(list, vals.back(), 0, 2);  // each new one goes first
  }
  ExpectSound(list);
  for (uint32_t i = 0; i < 300; ++i) {
    uint32_t start, len;
    ASSERT_TRUE(SlSegGetLoc(list, vals[i], &start, &len));
    EXPECT_EQ(start, 2 * (299 - i));
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(SlSegGetRoot(vals[i], kBack), list);
  }
  uint32_t s, l;
  EXPECT_EQ(SlSegPreceding(list, vals[10], &s, &l), vals[11]);
  EXPECT_EQ(s, 2u * 288);
  EXPECT_EQ(SlSegFollowing(list, vals[10], &s, &l), vals[9]);
  EXPECT_EQ(SlSegPreceding(list, vals[299], &s, &l), 0u);
  EXPECT_EQ(l, 0u);
  EXPECT_EQ(SlSegFollowing(list, vals[0], &s, &l), 0u);
  for (uint32_t i = 0; i < 250; ++i) SlRemoveSeg(list, 2 * (i * 7 % (300 - i)));
  ExpectSound(list);
  ChHandle stranger = NewValue(999);
  EXPECT_FALSE(SlSegGetLoc(list, stranger, &s, &l));
  // Changing the offset rewrites every back pointer.
  SlParams p = SlGetParams(list);
  EXPECT_EQ(p.backOffset, kBack);
  p.backOffset = 4;  // the previous link of the value rings
  SlSetParams(list, p);
  ExpectSound(list);
  p.capacity = 8;
  EXPECT_EQ(HaltText([&] { SlSetParams(list, p); }),
            "assert:SlSetParams-- capacity and leaf kind are fixed");
}

TEST_F(SlTest, MovesBetweenListsKeepTheSegments) {
  std::mt19937 rng(3);
  ChHandle a = SlCreate(kSlNoBackPointer, 0, 0, Near(), 5, kSlPlainLeaf);
  Model ma;
  for (int i = 0; i < 400; ++i) {
    uint32_t v = rng() % 3 == 0 ? 0 : 1 + rng() % 9;
    uint32_t n = 1 + rng() % 5;
    SlAddSeg(a, v, ma.Length(), n);
    ma.Add(v, ma.Length(), n);
  }
  auto slice = [](const Model& m, uint32_t pos, uint32_t len) {
    Model cut = m;
    cut.Subtract(pos + len, cut.Length());
    cut.Subtract(0, pos);
    return cut;
  };
  // Copy, cut, paste back: the list is as before.
  ChHandle copy = SlCopyInterval(a, 100, 300, Near());
  EXPECT_EQ(Segments(copy), slice(ma, 100, 300).segs);
  ChHandle cut = SlCutInterval(a, 100, 300, Near());
  EXPECT_EQ(Segments(cut), Segments(copy));
  Model rest = ma;
  rest.Subtract(100, 300);
  EXPECT_EQ(Segments(a), rest.segs);
  SlPasteInterval(a, 100, cut);
  EXPECT_EQ(Segments(a), ma.segs);
  ExpectSound(a);
  // Split and join.
  uint32_t total = ma.Length();
  ChHandle tail = SlSplit(a, 500, Near());
  EXPECT_EQ(SlGetLength(a), 500u);
  EXPECT_EQ(SlGetLength(tail), total - 500);
  SlJoin(a, tail);
  EXPECT_EQ(Segments(a), ma.segs);
  EXPECT_EQ(CountType(kSlListType), 2);  // a and the copy
  // Propagate: a range of the copy over a new list.
  ChHandle b = SlCreate(kSlNoBackPointer, 0, 0, Near(), 5, kSlPlainLeaf);
  SlAddSeg(b, 77, 0, 50);
  SlPropagate(copy, b, 10, 400);  // the copy holds 300 positions
  Model mb;
  mb.Add(77, 0, 10);
  for (const Seg& s : slice(ma, 110, 290).segs) mb.Add(s.val, mb.Length(), s.len);
  mb.Add(0, mb.Length(), 110);
  mb.Norm();
  EXPECT_EQ(Segments(b), mb.segs);
  ExpectSound(b);
  // Pasting past the end first adds a gap.
  ChHandle c = SlCreate(kSlNoBackPointer, 0, 0, Near(), 5, kSlPlainLeaf);
  SlAddSeg(c, 1, 0, 1);
  ChHandle d = SlCreate(kSlNoBackPointer, 0, 0, Near(), 5, kSlPlainLeaf);
  SlAddSeg(d, 2, 0, 2);
  SlPasteInterval(c, 5, d);
  EXPECT_EQ(Segments(c), (std::vector<Seg>{{1, 1}, {4, 0}, {2, 2}}));
}

TEST_F(SlTest, CopyUsesMethodOneForValues) {
  static SlCallback cb;
  cb.methods[kSlCbDup] = CutLog::Dup;
  ChHandle list = SlCreate(kSlNoBackPointer, SlCbRegister(6, &cb), 0, Near(), 8, kSlPlainLeaf);
  SlAddSeg(list, 1, 0, 2);
  SlAddSeg(list, 0, 2, 2);
  SlAddSeg(list, 2, 4, 2);
  ChHandle copy = SlCopyInterval(list, 1, 4, Near());
  EXPECT_EQ(Segments(copy), (std::vector<Seg>{{1, 1001}, {2, 0}, {1, 1002}}));
  EXPECT_EQ(SlGetParams(copy).callback, SlGetParams(list).callback);
}

TEST_F(SlTest, ConsistencyFindsDamageAndRepairMendsIt) {
  ChHandle list = SlCreate(kSlNoBackPointer, 0, 0, Near(), 4, kSlPlainLeaf);
  for (uint32_t i = 0; i < 60; ++i) SlAddSeg(list, i % 5 ? i : 0, i, 1 + i % 3);
  ExpectSound(list);
  std::vector<Seg> before = Segments(list);
  // A wrong subtree length in the top node.
  ChHandle top = Ld32(static_cast<const uint8_t*>(ChDeref(list)));
  {
    ChLocked c(top);
    St32(c.Data() + 16, Ld32(c.Data() + 16) + 1);
    c.MarkModified();
  }
  std::string report;
  EXPECT_FALSE(SlConsistency(list, &report));
  EXPECT_NE(report.find("subtree holds"), std::string::npos) << report;
  EXPECT_NE(HaltText([&] { SlCheck(list); }).find("assert:SlCheck-- node 0x"), std::string::npos);
  SlRepair(list);
  ExpectSound(list);
  EXPECT_EQ(Segments(list), before);
  // Two gaps side by side in one leaf.
  ChHandle small = SlCreate(kSlNoBackPointer, 0, 0, Near(), 4, kSlPlainLeaf);
  SlAddSeg(small, 1, 0, 1);
  SlAddSeg(small, 0, 1, 1);
  SlAddSeg(small, 2, 2, 1);
  {
    ChLocked c(small);
    St32(c.Data() + 40 + 8 * 2 + 4, 0);  // the third segment becomes a gap
    c.MarkModified();
  }
  report.clear();
  EXPECT_FALSE(SlConsistency(small, &report));
  EXPECT_NE(report.find("gap next to a gap"), std::string::npos) << report;
  SlRepair(small);
  EXPECT_EQ(Segments(small), (std::vector<Seg>{{1, 1}, {2, 0}}));
  ExpectSound(small);
  // Not a list at all.
  ChHandle raw = NewChunk(Near(), "raw");
  EXPECT_FALSE(SlIsLegal(raw));
  EXPECT_FALSE(SlConsistency(raw, &report));
  EXPECT_EQ(HaltText([&] { SlGetLength(raw); }), "assert:SlGetLength-- illegal list");
}

TEST_F(SlTest, PackageEntries) {
  EXPECT_EQ(HaltText([] {
              SlInitRtns(kPkgInit, kPkgVersion);
              SlInitRtns(kPkgInit2, kPkgVersion);
              SlInitRtns(kPkgTerm2, 0);
              SlInitRtns(kPkgTerm, 0);
              IvSlInitRtns(kPkgInit, kPkgVersion);
              SlInitRtns(kPkgInit, 18);
            }),
            "assert:SlInitRtns-- Wrong version");
  ChHandle iv = IvSlCreate(Near());
  SlParams p = SlGetParams(iv);
  EXPECT_EQ(p.capacity, 8);
  EXPECT_EQ(p.kind, kSlPlainLeaf);
  EXPECT_EQ(p.backOffset, kSlNoBackPointer);
}

}  // namespace
