// Segment lists: the map use (empty list, gaps, random keys against a
// std::map, saved and checked again by a new process), positional
// operations against a plain model, the list chunk byte for byte, growth
// and shrinking, callbacks, back pointers, moves between lists, and the
// consistency check with repair.
#include <map>
#include <random>
#include <sstream>

#include "ChLi.h"
#include "ChSt.h"
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

struct Seg {
  uint32_t len, val;
  bool operator==(const Seg&) const = default;
};
[[maybe_unused]] std::ostream& operator<<(std::ostream& o, const Seg& s) {
  return o << "(" << s.len << "," << s.val << ")";
}
using Segs = std::vector<Seg>;

Segs Segments(ChHandle list) {
  Segs out;
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

// The segment sequence a list must hold, kept the plain way.
struct Model {
  Segs segs;

  uint32_t Length() const {
    uint32_t n = 0;
    for (const Seg& s : segs) n += s.len;
    return n;
  }
  // Drops empty segments and joins neighbouring gaps.
  void Norm() {
    Segs out;
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
  void Add(uint32_t val, uint32_t pos, uint32_t len) {
    if (pos > Length()) segs.push_back(Seg{pos - Length(), 0});
    uint32_t at = 0;
    size_t i = 0;
    for (; i < segs.size() && at + segs[i].len <= pos; ++i) at += segs[i].len;
    if (i < segs.size() && at < pos) {  // cut the segment in two
      segs.insert(segs.begin() + long(i) + 1, Seg{at + segs[i].len - pos, segs[i].val});
      segs[i++].len = pos - at;
    }
    segs.insert(segs.begin() + long(i), Seg{len, val});
    Norm();
  }
  // Each segment loses the positions of the range it holds.
  void Subtract(uint32_t pos, uint32_t len) {
    uint64_t end = uint64_t(pos) + len, at = 0;
    for (Seg& s : segs) {
      uint64_t from = std::max<uint64_t>(at, pos), to = std::min<uint64_t>(at + s.len, end);
      at += s.len;
      if (from < to) s.len -= uint32_t(to - from);
    }
    Norm();
  }
  uint32_t RemoveSeg(uint32_t pos) {
    uint32_t at = 0;
    for (size_t i = 0; i < segs.size(); at += segs[i++].len) {
      if (pos >= at + segs[i].len) continue;
      uint32_t v = segs[i].val;
      segs.erase(segs.begin() + long(i));
      Norm();
      return v;
    }
    return 0;
  }
  void Replace(uint32_t val, uint32_t pos, uint32_t oldLen, uint32_t newLen) {
    if (pos + oldLen > Length()) Add(0, Length(), pos + oldLen - Length());
    Subtract(pos, oldLen);
    Add(val, pos, newLen);
  }
  Model Slice(uint32_t pos, uint32_t len) const {
    Model m = *this;
    m.Subtract(pos + len, m.Length());
    m.Subtract(0, pos);
    return m;
  }
};

class SlTest : public storetest::PartTest {
 protected:
  ChHandle Near() const { return near_; }
  ChHandle Plain(uint16_t cap = 4) {
    return SlCreate(kSlNoBackPointer, 0, 0, Near(), cap, kSlPlainLeaf);
  }
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
  void ExpectSound(ChHandle list) {
    std::string report;
    EXPECT_TRUE(SlConsistency(list, &report)) << report;
  }
  // Random sets, clears and reads of keys, checked against model every 500
  // steps.  Handle values are value chunks, one per key.
  void RandomMap(ChHandle list, bool handles, std::map<uint32_t, uint32_t>& model, int steps) {
    std::mt19937 rng{list};
    std::map<uint32_t, ChHandle> values;
    for (int step = 1; step <= steps; ++step) {
      uint32_t key = rng() % 8 == 0 ? rng() % 2000000 : rng() % 3000;
      uint32_t r = rng() % 10;
      if (r < 6) {
        uint32_t v = uint32_t(rng()) | 1;
        if (handles) {
          auto it = values.find(key);
          v = it != values.end() ? it->second : (values[key] = NewValue(key));
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
      if (step % 500) continue;
      std::string report;
      ASSERT_TRUE(SlConsistency(list, &report)) << step << "\n" << report;
      std::map<uint32_t, uint32_t> seen;
      uint32_t start = 0;
      for (const Seg& s : Segments(list)) {
        if (s.val) {
          ASSERT_EQ(s.len, 1u);
          seen[start] = s.val;
        }
        start += s.len;
      }
      ASSERT_EQ(seen, model) << step;
      ASSERT_EQ(SlGetApproxCount(list), model.size());
    }
  }
};

TEST_F(SlTest, EmptyListAndKeysSevenThenThree) {
  ChHandle list = SlCreate(kSlNoBackPointer, 0, 0, Near(), 56, kSlHandleLeaf);
  for (uint32_t pos : {0u, 1u, 100000u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
    uint32_t start = 1, length = 1;
    EXPECT_EQ(SlGetInterval(list, pos, &start, &length), 0u);
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(length, 0xFFFFFFFFu);
  }
  EXPECT_TRUE(SlIsEmpty(list));
  ChHandle h7 = NewValue(7), h3 = NewValue(3);
  SlReplaceSeg(list, h7, 7, 1, 1);
  SlReplaceSeg(list, h3, 3, 1, 1);
  EXPECT_EQ(Segments(list), (Segs{{3, 0}, {1, h3}, {3, 0}, {1, h7}}));
  uint32_t start, length;
  EXPECT_EQ(SlGetInterval(list, 5, &start, &length), 0u);
  EXPECT_EQ(start, 4u);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(SlGetInterval(list, 3, nullptr, nullptr), h3);
  EXPECT_EQ(SlGetInterval(list, 8, &start, &length), 0u);
  EXPECT_EQ(length, ~8u);
  EXPECT_EQ(SlGetApproxCount(list), 2u);
  // A key whose gap is exactly one position is set in place.
  SlReplaceSeg(list, 0, 3, 1, 1);
  EXPECT_EQ(Segments(list), (Segs{{7, 0}, {1, h7}}));
  SlReplaceSeg(list, 0, 7, 1, 1);
  SlReplaceSeg(list, h3, 7, 1, 1);
  EXPECT_EQ(Segments(list), (Segs{{7, 0}, {1, h3}}));
  ExpectSound(list);
}

TEST_F(SlTest, ListChunkByteForByte) {
  ChHandle app = NewChunk(Near(), "app");
  ChHandle list = SlCreate(kSlNoBackPointer, 0, app, Near(), 4, kSlPlainLeaf);
  SlReplaceSeg(list, 0xABCD, 2, 1, 1);
  auto w = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  auto h = [](uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
  EXPECT_EQ(ChType(list), kSlListType);
  EXPECT_EQ(ChunkBytes(list), w(list) + w(list) + w(0) + w(app) + h(4) + h(412) + h(0xFFFF) +
                                  h(2) + w(3) + w(2) + w(1) + h(0) + h(0) + w(2) + w(0) + w(1) +
                                  w(0xABCD) + std::string(16, '\0'));
  EXPECT_EQ(SlGetAppData(list), app);
}

// Both kinds at the smallest and largest capacity, as a sparse map against
// std::map, then saved and read by a new process.
TEST_F(SlTest, RandomMapsFollowStdMapAndSurviveReopen) {
  ChHandle root = ChLiGenCreate(Near(), kChLiNodeType);
  std::ostringstream text;
  for (uint16_t cap : {uint16_t(4), uint16_t(56)}) {
    for (bool handles : {false, true}) {
      ChHandle list = SlCreate(handles ? kBack : kSlNoBackPointer, 0, 0, Near(), cap,
                               handles ? kSlHandleLeaf : kSlPlainLeaf);
      std::map<uint32_t, uint32_t> model;
      RandomMap(list, handles, model, 12000);
      if (HasFatalFailure()) return;
      root = ChLiGenAppend(root, list, cap * 2u + handles, kChLiNodeType);
      text << model.size() << "\n";
      for (auto& [k, v] : model) text << k << " " << (handles ? 0 : v) << "\n";
    }
  }
  storetest::WriteFileBytes("model.txt", text.str());
  std::string out;
  EXPECT_TRUE(liststest::SaveAndCheckInNewProcess(part_, root, "SlReopened.MapsCheckAgain", &out))
      << out;
  // The pages only: the maps hold made-up handles.
  EXPECT_EQ(storetest::RunCommand(storetest::DbToolPath() + " check -pages quil.db", &out), 0)
      << out;
}

class SlReopened : public liststest::ReopenedFile {};

TEST_F(SlReopened, MapsCheckAgain) {
  std::istringstream in(storetest::ReadFileBytes("model.txt"));
  ChLiGenIter it = ChLiGenStart(Root(), kChLiNodeType);
  uint32_t list, tag, lists = 0, count;
  for (; ChLiGenNext(it, &list, &tag, kChLiNodeType) && in >> count; ++lists) {
    std::string report;
    ASSERT_TRUE(SlConsistency(list, &report)) << report;
    ASSERT_EQ(SlGetApproxCount(list), count);
    for (uint32_t i = 0, k, v; i < count && in >> k >> v; ++i) {
      uint32_t got = SlGetInterval(list, k, nullptr, nullptr), start;
      if (!(tag & 1)) {
        EXPECT_EQ(got, v) << k;
        continue;
      }
      ASSERT_TRUE(ChIsLegal(got)) << k;
      EXPECT_EQ(Ld32(static_cast<const uint8_t*>(ChDeref(got)) + 12), k);
      ASSERT_TRUE(SlSegGetLoc(list, got, &start, nullptr));
      EXPECT_EQ(start, k);
      EXPECT_EQ(SlSegGetRoot(got, kBack), list);
    }
  }
  EXPECT_EQ(lists, 4u);
}

TEST_F(SlTest, PositionalOperationsFollowAModel) {
  std::mt19937 rng(99);
  for (uint16_t cap : {uint16_t(4), uint16_t(7), uint16_t(56)}) {
    ChHandle list = Plain(cap);
    Model m;
    for (int step = 0; step < 5000; ++step) {
      uint32_t pos = uint32_t(rng() % (m.Length() + 20));
      uint32_t n = 1 + rng() % 12, n2 = rng() % 3 ? 1 + rng() % 12 : n;
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
        case 3:
          ASSERT_EQ(SlRemoveSeg(list, pos), m.RemoveSeg(pos)) << step;
          break;
        default:
          SlReplaceSeg(list, v, pos, n, n2);
          m.Replace(v, pos, n, n2);
      }
      if (m.Length() > 4000) {
        SlSubtract(list, 0, 1000);
        m.Subtract(0, 1000);
      }
      if (step % 250 == 0) {
        ASSERT_EQ(Segments(list), m.segs) << "capacity " << cap << " step " << step;
        ExpectSound(list);
      }
    }
    SlDestroy(list);
  }
  EXPECT_EQ(CountType(kSlListType) + CountType(kSlInnerType) + CountType(kSlPlainLeaf), 0);
}

TEST_F(SlTest, TreeGrowsAndShrinksBackIntoTheListChunk) {
  ChHandle list = Plain();
  for (uint32_t i = 0; i < 4; ++i) SlAddSeg(list, i + 1, i, 1);
  EXPECT_EQ(CountType(kSlPlainLeaf), 0);  // four entries fit the list chunk
  SlAddSeg(list, 5, 4, 1);
  EXPECT_EQ(CountType(kSlPlainLeaf), 2);
  EXPECT_EQ(CountType(kSlInnerType), 1);
  for (uint32_t i = 5; i < 1000; ++i) SlAddSeg(list, i + 1, i / 2, 1);
  ExpectSound(list);
  uint16_t height = Ld16(static_cast<const uint8_t*>(ChDeref(list)) + 36);
  EXPECT_GE(height, 5);  // 2 to 4 entries a node
  EXPECT_LE(height, 10);
  std::mt19937 rng(5);
  while (SlGetLength(list) > 0) {
    SlRemoveSeg(list, rng() % SlGetLength(list));
    if (SlGetLength(list) % 97 == 0) ExpectSound(list);
  }
  EXPECT_EQ(CountType(kSlPlainLeaf) + CountType(kSlInnerType), 0);
  EXPECT_EQ(Ld32(static_cast<const uint8_t*>(ChDeref(list))), list);
}

struct CbLog {
  static inline std::vector<std::vector<uint32_t>> cuts;
  static uint32_t Cut(ChHandle list, uint32_t value, uint32_t removed, uint32_t kept) {
    cuts.push_back({list, value, removed, kept});
    return 0;
  }
  static uint32_t Dup(ChHandle, uint32_t value, uint32_t, uint32_t) { return value + 1000; }
};

TEST_F(SlTest, MethodsHearCutsAndCopies) {
  static SlCallback cb;
  cb.methods[kSlCbCut] = CbLog::Cut;
  cb.methods[kSlCbDup] = CbLog::Dup;
  ChHandle handle = SlCbRegister(3, &cb);
  ChHandle list = SlCreate(kSlNoBackPointer, handle, 0, Near(), 8, kSlPlainLeaf);
  SlAddSeg(list, 11, 0, 5);
  SlAddSeg(list, 22, 5, 5);
  EXPECT_EQ(Segments(SlCopyInterval(list, 4, 2, Near())), (Segs{{1, 1011}, {1, 1022}}));
  SlSubtract(list, 3, 4);  // 2 from each
  using Calls = std::vector<std::vector<uint32_t>>;
  EXPECT_EQ(CbLog::cuts, (Calls{{list, 11, 2, 3}, {list, 22, 2, 3}}));
  CbLog::cuts.clear();
  EXPECT_EQ(SlRemoveSeg(list, 0), 11u);  // the value goes to the caller
  SlAddSeg(list, 0, 3, 2);
  SlReplaceSeg(list, 33, 0, 3, 1);  // replaces all of 22
  EXPECT_EQ(CbLog::cuts, (Calls{{list, 22, 3, 0}}));
  CbLog::cuts.clear();
  SlDestroy(list);
  EXPECT_EQ(CbLog::cuts, (Calls{{list, 33, 1, 0}}));
  static SlCallback nine;
  nine.count = 9;
  for (ChHandle bad : {SlCbRegister(4, &nine), SlCbRegister(5, nullptr)})
    EXPECT_EQ(HaltText([&] { SlCreate(kSlNoBackPointer, bad, 0, Near(), 8, kSlPlainLeaf); }),
              "assert:SlCreate-- wrong number of Callback cases");
}

TEST_F(SlTest, HandleValuesMustLieInTheListsFile) {
  ChHandle foreign = NewChunk(ChPartNear(NewPart("other.db")), "f");
  ChHandle list = SlCreate(kSlNoBackPointer, 0, 0, Near(), 8, kSlHandleLeaf);
  EXPECT_EQ(HaltText([&] { SlAddSeg(list, foreign, 0, 1); }),
            "assert:SlAddSeg--Segment not in same chunk file");
  EXPECT_EQ(HaltText([&] { SlReplaceSeg(list, 12345, 4, 1, 1); }),
            "assert:SlAddSeg--Segment not in same chunk file");
  ChHandle plain = Plain();
  SlAddSeg(plain, foreign, 0, 1);  // plain lists take any word
  EXPECT_EQ(SlGetInterval(plain, 0, nullptr, nullptr), foreign);
}

TEST_F(SlTest, BackPointersFollowSegmentsThroughSplitsAndMerges) {
  ChHandle list = SlCreate(kBack, 0, 0, Near(), 4, kSlHandleLeaf);
  std::vector<ChHandle> vals;
  for (uint32_t i = 0; i < 300; ++i) {
    vals.push_back(NewValue(i));
    SlAddSeg(list, vals.back(), 0, 2);  // each new one goes first
  }
  for (uint32_t i = 0; i < 300; i += 7) {
    uint32_t start, len;
    ASSERT_TRUE(SlSegGetLoc(list, vals[i], &start, &len));
    EXPECT_EQ(start, 2 * (299 - i));
    EXPECT_EQ(SlSegGetRoot(vals[i], kBack), list);
  }
  uint32_t s, l;
  EXPECT_EQ(SlSegPreceding(list, vals[10], &s, &l), vals[11]);
  EXPECT_EQ(s, 2u * 288);
  EXPECT_EQ(SlSegFollowing(list, vals[10], &s, &l), vals[9]);
  EXPECT_EQ(SlSegFollowing(list, vals[0], &s, &l), 0u);
  EXPECT_EQ(l, 0u);
  for (uint32_t i = 0; i < 250; ++i) SlRemoveSeg(list, 2 * (i * 7 % (300 - i)));
  ExpectSound(list);
  EXPECT_FALSE(SlSegGetLoc(list, NewValue(999), &s, &l));
  SlParams p = SlGetParams(list);
  p.backOffset = 0;  // the next link of the value rings
  SlSetParams(list, p);
  ExpectSound(list);  // every back pointer moved
  p.capacity = 8;
  EXPECT_EQ(HaltText([&] { SlSetParams(list, p); }),
            "assert:SlSetParams-- capacity and leaf kind are fixed");
}

TEST_F(SlTest, MovesBetweenListsKeepTheSegments) {
  std::mt19937 rng(3);
  ChHandle a = Plain(5);
  Model ma;
  for (int i = 0; i < 400; ++i) {
    uint32_t v = rng() % 3 ? 1 + rng() % 9 : 0, n = 1 + rng() % 5;
    SlAddSeg(a, v, ma.Length(), n);
    ma.Add(v, ma.Length(), n);
  }
  ChHandle copy = SlCopyInterval(a, 100, 300, Near());
  EXPECT_EQ(Segments(copy), ma.Slice(100, 300).segs);
  ChHandle cut = SlCutInterval(a, 100, 300, Near());
  EXPECT_EQ(Segments(cut), ma.Slice(100, 300).segs);
  SlPasteInterval(a, 100, cut);
  EXPECT_EQ(Segments(a), ma.segs);
  SlJoin(a, SlSplit(a, 500, Near()));
  EXPECT_EQ(Segments(a), ma.segs);
  ExpectSound(a);
  EXPECT_EQ(CountType(kSlListType), 2);  // a and the copy; the rest went
  // A range of the copy over a shorter list: what the copy lacks is a gap.
  ChHandle b = Plain(5);
  SlAddSeg(b, 77, 0, 50);
  SlPropagate(copy, b, 10, 400);
  Model mb;
  mb.Add(77, 0, 10);
  for (const Seg& s : ma.Slice(110, 290).segs) mb.Add(s.val, mb.Length(), s.len);
  mb.Add(0, mb.Length(), 110);
  EXPECT_EQ(Segments(b), mb.segs);
  ExpectSound(b);
  ChHandle c = Plain(), d = Plain();
  SlAddSeg(c, 1, 0, 1);
  SlAddSeg(d, 2, 0, 2);
  SlPasteInterval(c, 5, d);  // past the end: a gap first
  EXPECT_EQ(Segments(c), (Segs{{1, 1}, {4, 0}, {2, 2}}));
}

TEST_F(SlTest, ConsistencyFindsDamageAndRepairMendsIt) {
  ChHandle list = Plain();
  for (uint32_t i = 0; i < 60; ++i) SlAddSeg(list, i % 5 ? i : 0, i, 1 + i % 3);
  Segs before = Segments(list);
  ChHandle top = Ld32(static_cast<const uint8_t*>(ChDeref(list)));
  auto poke = [](ChHandle h, uint32_t at, uint32_t v) {
    ChLocked c(h);
    St32(c.Data() + at, v);
    c.MarkModified();
  };
  poke(top, 16, Ld32(static_cast<const uint8_t*>(ChDeref(top)) + 16) + 1);
  std::string report;
  EXPECT_FALSE(SlConsistency(list, &report));
  EXPECT_NE(report.find("subtree holds"), std::string::npos) << report;
  EXPECT_NE(HaltText([&] { SlCheck(list); }).find("assert:SlCheck-- node 0x"), std::string::npos);
  SlRepair(list);
  ExpectSound(list);
  EXPECT_EQ(Segments(list), before);
  // Two gaps side by side in the list chunk.
  ChHandle small = Plain();
  for (uint32_t v : {1u, 0u, 2u}) SlAddSeg(small, v, SlGetLength(small), 1);
  poke(small, 40 + 8 * 2 + 4, 0);
  report.clear();
  EXPECT_FALSE(SlConsistency(small, &report));
  EXPECT_NE(report.find("gap next to a gap"), std::string::npos) << report;
  SlRepair(small);
  EXPECT_EQ(Segments(small), (Segs{{1, 1}, {2, 0}}));
  ExpectSound(small);
  ChHandle raw = NewChunk(Near(), "raw");
  EXPECT_FALSE(SlConsistency(raw, &report));
  EXPECT_EQ(HaltText([&] { SlGetLength(raw); }), "assert:SlGetLength-- illegal list");
}

TEST(ListPackages, EntriesFollowThePackageRules) {
  EXPECT_EQ(HaltText([] {
              for (auto rtns : {ChLiInitRtns, SlInitRtns, IvSlInitRtns, ShrInitRtns})
                (void)rtns(kPkgInit, kPkgVersion);
              (void)SlInitRtns(kPkgInit2, kPkgVersion);
              (void)SlInitRtns(kPkgTerm2, 0);
              (void)SlInitRtns(kPkgTerm, 0);
              (void)SlInitRtns(kPkgInit, 18);
            }),
            "assert:SlInitRtns-- Wrong version");
  EXPECT_EQ(HaltText([] {
              (void)ShrInitRtns(kPkgInit, kPkgVersion);
              (void)ShrInitRtns(kPkgInit, kPkgVersion);
            }),
            "assert:ShrInitRtns-- Pkg already init");
}

}  // namespace
