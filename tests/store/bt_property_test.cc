// B-tree property tests: long random sequences of inserts, removes, look-ups
// and setters on each kind, checked against an in-memory model after every
// batch and validated node by node; grown, emptied, grown again, saved, and
// read back and validated by a new process.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <tuple>

#include "bt_test_util.h"

using namespace quil;

namespace {

using Rng = std::mt19937;

std::string Upper48(const std::string& key) {
  std::string up = key.substr(0, 48);
  for (char& c : up) c = char(StASCIIUpper[uint8_t(c)]);
  up.resize(48, '\0');
  return up;
}

// A handle of a chunk in the tree's part (the tie order of handles of one
// part does not depend on the part's number).
ChHandle RandomHandle(Rng& rng, ChPart part) {
  return ChHandleMake(part, rng() % 2000, 16 * (1 + rng() % 250));
}

std::string FileHex(uint32_t v) {
  char b[16];
  snprintf(b, sizeof b, "%08X", v);
  return b;
}

// ---------------------------------------------------------------------------
// One adapter per kind: the entry as the test sees it, its place in the
// order, the kind's calls, and the kind's own look-up checks.

struct DbKind {
  static constexpr const char* kName = "BtDb";
  static constexpr uint32_t kTarget = 6000;
  struct E {
    std::string key;  // as stored: cut at 48
    ChHandle h = 0;
    uint32_t w = 0;
    bool operator==(const E&) const = default;
  };
  using Order = std::tuple<std::string, uint32_t, uint32_t>;
  static Order OrderOf(const E& e) { return {Upper48(e.key), e.h, e.w}; }
  static ChHandle Create(ChHandle near) { return BtDbCreate(near); }
  static bool Insert(ChHandle t, const E& e) { return BtDbInsert(t, StFromView(e.key), e.h, e.w); }
  static bool Remove(ChHandle t, const E& e) { return BtDbRemove(t, StFromView(e.key), e.h, e.w); }
  static bool Index(ChHandle t, uint32_t pos, E* e) {
    St key;
    if (!BtDbIndex(t, pos, &key, &e->h, &e->w)) return false;
    e->key = key.Str();
    return true;
  }
  static uint32_t Count(ChHandle t) { return BtDbCount(t); }
  static uint32_t Rev(ChHandle t) { return BtDbRev(t); }
  static bool Validate(ChHandle t, std::string* r) { return BtDbValidate(t, r); }
  static std::string Line(const E& e) {
    std::string hex;
    for (char c : e.key) hex += FileHex(uint8_t(c)).substr(6);
    return hex + " " + FileHex(ChHandleToFile(e.h)) + " " + std::to_string(e.w);
  }
  static E Random(Rng& rng, ChPart part) {
    E e;
    char name[64];
    snprintf(name, sizeof name, "user%05u", unsigned(rng() % 9000));
    e.key = name;
    for (char& c : e.key)
      if (rng() % 4 == 0) c = char(toupper(c));
    if (rng() % 8 == 0) e.key = std::string(40, 'L') + e.key;  // cut at 48
    e.h = rng() % 5 == 0 ? rng() % 200 : RandomHandle(rng, part);
    e.w = rng() % 3;
    e.key.resize(std::min<size_t>(e.key.size(), 48));
    return e;
  }
  // Prefix look-ups: first and last positions of the keys that begin with
  // a random prefix of a present key, in another case.
  template <class Model>
  static void CheckLookups(ChHandle t, const Model& model, Rng& rng) {
    if (model.empty()) return;
    auto it = model.begin();
    std::advance(it, rng() % model.size());
    std::string prefix = it->second.key.substr(0, rng() % (it->second.key.size() + 1));
    for (char& c : prefix) c = char(rng() % 2 ? tolower(c) : toupper(c));
    std::string up = Upper48(prefix).substr(0, prefix.size());
    uint32_t before = 0, equal = 0;
    for (const auto& [order, e] : model) {
      int c = std::get<0>(order).compare(0, up.size(), up);
      before += c < 0;
      equal += c == 0;
    }
    uint32_t first = 99, last = 99;
    ASSERT_TRUE(BtDbLookupFirstIx(t, StFromView(prefix), &first)) << prefix;
    ASSERT_TRUE(BtDbLookupLastIx(t, StFromView(prefix), &last)) << prefix;
    EXPECT_EQ(first, before) << prefix;
    EXPECT_EQ(last, before + equal - 1) << prefix;
    ChHandle h;
    uint32_t w;
    ASSERT_TRUE(BtDbLookupFirst(t, StFromView(prefix), &h, &w));
    auto at = model.begin();
    std::advance(at, before);
    EXPECT_EQ(h, at->second.h);
    EXPECT_EQ(w, at->second.w);
  }
};

template <class Self, uint32_t Target>
struct IntKindBase {
  static constexpr uint32_t kTarget = Target;
  // Keys crowd a small range (ties) with some above 2^31 (unsigned order).
  static uint32_t RandomKey(Rng& rng) {
    uint32_t k = rng() % (Target * 2);
    return rng() % 10 == 0 ? k | 0x80000000u : k;
  }
  template <class Model>
  static void CheckLookups(ChHandle t, const Model& model, Rng& rng) {
    uint32_t key = RandomKey(rng);
    auto lo = model.lower_bound(typename Self::Order{key, 0, 0});
    auto hi = model.lower_bound(typename Self::Order{key + 1, 0, 0});
    if (key == UINT32_MAX) hi = model.end();
    uint32_t first = 0, last = 0;
    bool found = Self::LookupFirstLast(t, key, &first, &last);
    ASSERT_EQ(found, lo != hi) << key;
    // Positions cost a walk of the model: now and then.
    if (!found || rng() % 16) return;
    EXPECT_EQ(first, uint32_t(std::distance(model.begin(), lo)));
    EXPECT_EQ(last, uint32_t(std::distance(model.begin(), hi)) - 1);
  }
};

struct IKind : IntKindBase<IKind, 30000> {
  static constexpr const char* kName = "BtiDb";
  struct E {
    uint32_t k = 0, w1 = 0, w2 = 0;
    bool operator==(const E&) const = default;
  };
  using Order = std::tuple<uint32_t, uint32_t, uint32_t>;
  static Order OrderOf(const E& e) { return {e.k, e.w1, e.w2}; }
  static ChHandle Create(ChHandle near) { return BtiDbCreate(near); }
  static bool Insert(ChHandle t, const E& e) { return BtiDbInsert(t, e.k, e.w1, e.w2); }
  static bool Remove(ChHandle t, const E& e) { return BtiDbRemoveExact(t, e.k, e.w1, e.w2); }
  static bool Index(ChHandle t, uint32_t pos, E* e) { return BtiDbIndex(t, pos, &e->k, &e->w1, &e->w2); }
  static uint32_t Count(ChHandle t) { return BtiDbCount(t); }
  static uint32_t Rev(ChHandle t) { return BtiDbRev(t); }
  static bool Validate(ChHandle t, std::string* r) { return BtiDbValidate(t, r); }
  static std::string Line(const E& e) {
    return FileHex(e.k) + " " + FileHex(e.w1) + " " + FileHex(e.w2);
  }
  static E Random(Rng& rng, ChPart) { return E{RandomKey(rng), uint32_t(rng() % 3), uint32_t(rng())}; }
  static bool LookupFirstLast(ChHandle t, uint32_t key, uint32_t* first, uint32_t* last) {
    uint32_t a, b, c, d;
    bool f = BtiDbLookupFirst(t, key, &a, &b, first);
    bool l = BtiDbLookupLast(t, key, &c, &d, last);
    EXPECT_EQ(f, l);
    uint32_t k1 = 0, w1 = 0, w2 = 0;
    if (f) {
      EXPECT_TRUE(BtiDbIndex(t, *first, &k1, &w1, &w2));
      EXPECT_EQ(E(k1, w1, w2), E(key, a, b));
    }
    return f;
  }
};

// Bti1Db and BtihDb: one value per entry; the workload also calls Set.
template <bool Handles>
struct OneKind : IntKindBase<OneKind<Handles>, 60000> {
  static constexpr const char* kName = Handles ? "BtihDb" : "Bti1Db";
  struct E {
    uint32_t k = 0, v = 0;
    bool operator==(const E&) const = default;
  };
  using Order = std::tuple<uint32_t, uint32_t, uint32_t>;
  static Order OrderOf(const E& e) { return {e.k, e.v, 0}; }
  static ChHandle Create(ChHandle near) { return Handles ? BtihDbCreate(near) : Bti1DbCreate(near); }
  static bool Insert(ChHandle t, const E& e) {
    return Handles ? BtihDbInsert(t, e.k, e.v) : Bti1DbInsert(t, e.k, e.v);
  }
  static bool Remove(ChHandle t, const E& e) {
    return Handles ? BtihDbRemoveExact(t, e.k, e.v) : Bti1DbRemoveExact(t, e.k, e.v);
  }
  static bool Index(ChHandle t, uint32_t pos, E* e) {
    return Handles ? BtihDbIndex(t, pos, &e->k, &e->v) : Bti1DbIndex(t, pos, &e->k, &e->v);
  }
  static uint32_t Count(ChHandle t) { return Handles ? BtihDbCount(t) : Bti1DbCount(t); }
  static uint32_t Rev(ChHandle t) { return Handles ? BtihDbRev(t) : Bti1DbRev(t); }
  static bool Validate(ChHandle t, std::string* r) {
    return Handles ? BtihDbValidate(t, r) : Bti1DbValidate(t, r);
  }
  static std::string Line(const E& e) {
    return FileHex(e.k) + " " + FileHex(Handles ? ChHandleToFile(e.v) : e.v);
  }
  static E Random(Rng& rng, ChPart part) {
    uint32_t key = OneKind::RandomKey(rng);
    return E{key, Handles ? RandomHandle(rng, part) : uint32_t(rng() % 4)};
  }
  static void Set(ChHandle t, uint32_t k, uint32_t v) {
    Handles ? BtihDbSet(t, k, v) : Bti1DbSet(t, k, v);
  }
  static bool LookupFirstLast(ChHandle t, uint32_t key, uint32_t* first, uint32_t* last) {
    uint32_t a = 0, b = 0, plain = 0;
    bool f = Handles ? BtihDbLookupFirst(t, key, &a, first) : Bti1DbLookupFirst(t, key, &a, first);
    bool l = Handles ? BtihDbLookupLast(t, key, &b, last) : Bti1DbLookupLast(t, key, &b, last);
    bool p = Handles ? BtihDbLookup(t, key, &plain) : Bti1DbLookup(t, key, &plain);
    EXPECT_EQ(f, l);
    EXPECT_EQ(f, p);
    if (f) {
      EXPECT_EQ(a, plain);
    }
    return f;
  }
};

struct MKind {
  static constexpr const char* kName = "BtmDb";
  static constexpr uint32_t kTarget = 8000;
  using E = BtmEntry;
  using Order = std::tuple<int32_t, int32_t>;
  static Order OrderOf(const E& e) { return {e.key1, e.key2}; }
  static ChHandle Create(ChHandle near) { return BtmDbCreate(near); }
  static bool Insert(ChHandle t, const E& e) { return BtmDbInsert(t, e); }
  static bool Remove(ChHandle t, const E& e) { return BtmDbRemove(t, e.key1, e.key2); }
  static bool Index(ChHandle t, uint32_t pos, E* e) { return BtmDbIndex(t, pos, e); }
  static uint32_t Count(ChHandle t) { return BtmDbCount(t); }
  static uint32_t Rev(ChHandle t) { return BtmDbRev(t); }
  static bool Validate(ChHandle t, std::string* r) { return BtmDbValidate(t, r); }
  static std::string Line(const E& e) {
    std::string s;
    for (uint32_t v : {uint32_t(e.key1), uint32_t(e.key2), e.date, e.time, e.extra, e.flags,
                       e.uniqueId, ChHandleToFile(e.message), ChHandleToFile(e.author)})
      s += FileHex(v) + " ";
    return s;
  }
  static E Random(Rng& rng, ChPart part) {
    E e;
    e.key1 = int32_t(rng() % 201) - 100;
    e.key2 = int32_t(rng() % 20001) - 10000;
    if (rng() % 20 == 0) e.key1 = rng() % 2 ? INT32_MIN : INT32_MAX;
    e.date = rng();
    e.time = rng();
    e.extra = rng();
    e.flags = rng();
    e.uniqueId = rng();
    e.message = RandomHandle(rng, part);
    e.author = RandomHandle(rng, part);
    return e;
  }
  template <class Model>
  static void CheckLookups(ChHandle t, Model& model, Rng& rng) {
    if (model.empty()) return;
    auto it = model.begin();
    std::advance(it, rng() % model.size());
    E& e = it->second;
    E got;
    ASSERT_TRUE(BtmDbLookup(t, e.key1, e.key2, &got));
    EXPECT_EQ(got, e);
    // One setter, mirrored in the model.
    switch (rng() % 6) {
      case 0:
        e.date = rng(), e.time = rng();
        EXPECT_TRUE(BtmDbSetDate(t, e.key1, e.key2, e.date, e.time));
        break;
      case 1: {
        bool d = rng() % 2;
        e.flags = d ? e.flags | kBtmDeleted : e.flags & ~kBtmDeleted;
        EXPECT_TRUE(BtmDbSetDeleted(t, e.key1, e.key2, d));
        break;
      }
      case 2: {
        uint32_t a = rng() & kBtmArticleMask;
        e.flags = (e.flags & ~kBtmArticleMask) | a;
        EXPECT_TRUE(BtmDbSetArticle(t, e.key1, e.key2, a));
        break;
      }
      case 3: {
        bool m = rng() % 2;
        e.flags = m ? e.flags | kBtmHasMsgId : e.flags & ~kBtmHasMsgId;
        EXPECT_TRUE(BtmDbSetHasMsgId(t, e.key1, e.key2, m));
        break;
      }
      case 4:
        e.uniqueId = rng();
        EXPECT_TRUE(BtmDbSetUniqueId(t, e.key1, e.key2, e.uniqueId));
        break;
      default:
        e.author = RandomHandle(rng, ChPartOf(t));
        EXPECT_TRUE(BtmDbSetAuthor(t, e.key1, e.key2, e.author));
    }
    uint32_t first = 0, last = 0;
    auto lo = model.lower_bound(Order{e.key1, INT32_MIN});
    auto hi = model.upper_bound(Order{e.key1, INT32_MAX});
    ASSERT_TRUE(BtmDbLookupFirst(t, e.key1, &got, &first));
    EXPECT_EQ(got, lo->second);
    ASSERT_TRUE(BtmDbLookupLast(t, e.key1, &got, &last));
    EXPECT_EQ(first, uint32_t(std::distance(model.begin(), lo)));
    EXPECT_EQ(last, uint32_t(std::distance(model.begin(), hi)) - 1);
  }
};

// ---------------------------------------------------------------------------
// The workload.

template <class K>
class Workload {
 public:
  using Model = std::map<typename K::Order, typename K::E>;

  Workload(ChPart part, uint32_t seed) : part_(part), rng_(seed) {
    tree_ = K::Create(ChPartNear(part));
  }

  // Runs ops random operations, inserting with probability growth percent;
  // checks everything every batch operations.
  void Run(int ops, int growth, int batch) {
    for (int step = 0; step < ops; ++step) {
      int r = int(rng_() % 100);
      uint32_t before = K::Rev(tree_);
      if (r < growth) {
        typename K::E e = K::Random(rng_, part_);
        bool fresh = !model_.count(K::OrderOf(e));
        ASSERT_EQ(K::Insert(tree_, e), fresh) << K::kName << " step " << step;
        if (fresh) model_[K::OrderOf(e)] = e;
        ASSERT_EQ(K::Rev(tree_), before + fresh);
      } else if (r < 97 && !model_.empty()) {
        // A present entry, near a random one.
        auto it = model_.lower_bound(K::OrderOf(K::Random(rng_, part_)));
        if (it == model_.end()) it = model_.begin();
        ASSERT_TRUE(K::Remove(tree_, it->second)) << K::kName << " step " << step;
        model_.erase(it);
        ASSERT_EQ(K::Rev(tree_), before + 1);
      } else if (r < 98) {
        typename K::E e = K::Random(rng_, part_);
        bool present = model_.count(K::OrderOf(e));
        ASSERT_EQ(K::Remove(tree_, e), present);
        if (present) model_.erase(K::OrderOf(e));
      } else {
        Extra();
        K::CheckLookups(tree_, model_, rng_);
      }
      if (::testing::Test::HasFatalFailure()) return;
      if ((step + 1) % batch == 0) CheckAll();
    }
    CheckAll();
  }

  // Removes every entry left, in random order.
  void Drain(int batch) {
    std::vector<typename K::E> all;
    for (const auto& [order, e] : model_) all.push_back(e);
    std::shuffle(all.begin(), all.end(), rng_);
    for (size_t i = 0; i < all.size(); ++i) {
      ASSERT_TRUE(K::Remove(tree_, all[i])) << K::kName << " drain " << i;
      model_.erase(K::OrderOf(all[i]));
      if ((i + 1) % size_t(batch) == 0) CheckAll();
      if (::testing::Test::HasFatalFailure()) return;
    }
    CheckAll();
  }

  void CheckAll() {
    std::string report;
    ASSERT_TRUE(K::Validate(tree_, &report)) << K::kName << "\n" << report;
    ASSERT_EQ(K::Count(tree_), model_.size()) << K::kName;
    uint32_t pos = 0;
    for (const auto& [order, e] : model_) {
      typename K::E got;
      ASSERT_TRUE(K::Index(tree_, pos, &got)) << K::kName << " " << pos;
      ASSERT_EQ(K::Line(got), K::Line(e)) << K::kName << " at " << pos;
      ++pos;
    }
    typename K::E past;
    EXPECT_FALSE(K::Index(tree_, pos, &past));
  }

  // The model in the form written for the new process: the tree's handle
  // in file form, then one line per entry.
  std::string Dump() const {
    std::string out = std::string(K::kName) + " " + FileHex(ChHandleToFile(tree_)) + " " +
                      std::to_string(model_.size()) + "\n";
    for (const auto& [order, e] : model_) out += K::Line(e) + "\n";
    return out;
  }

  ChHandle Tree() const { return tree_; }
  size_t Size() const { return model_.size(); }

 private:
  // Set on the one-value kinds, mirrored in the model: the first entry with
  // the key takes the value.
  void Extra() {
    if constexpr (requires { K::Set(0, 0, 0); }) {
      typename K::E e = K::Random(rng_, part_);
      auto it = model_.lower_bound(typename K::Order{e.k, 0, 0});
      if (it != model_.end() && it->second.k == e.k) {
        if (it->second.v == e.v) {
          K::Set(tree_, e.k, e.v);
          return;
        }
        model_.erase(it);
      }
      model_[K::OrderOf(e)] = e;
      K::Set(tree_, e.k, e.v);
    }
  }

  ChPart part_;
  Rng rng_;
  ChHandle tree_;
  Model model_;
};

class BtProperty : public bttest::BtTest {
 protected:
  uint32_t CachePages() const override { return 48; }

  // Grows to the kind's target, empties the tree, grows it to half the
  // target again.
  template <class K>
  std::string GrowEmptyGrow(uint32_t seed) {
    Workload<K> w(part_, seed);
    int batch = int(K::kTarget / 3);
    w.Run(int(K::kTarget * 2), 80, batch);
    if (HasFatalFailure()) return "";
    EXPECT_GT(w.Size(), K::kTarget * 9 / 10) << K::kName;
    // Three levels: rotations and merges happen above the leaves too.
    EXPECT_EQ(storetest::Le32At(ChunkBytes(w.Tree()), 8), 3u) << K::kName;
    uint32_t revBefore = K::Rev(w.Tree());
    w.Run(int(K::kTarget), 15, batch);
    size_t removes = w.Size();
    w.Drain(batch);
    if (HasFatalFailure()) return "";
    // Emptied: root 0, count 0; every removal counted (and the inserts
    // that came with them).
    EXPECT_EQ(storetest::Le32At(ChunkBytes(w.Tree()), 0), 0u) << K::kName;
    EXPECT_EQ(storetest::Le32At(ChunkBytes(w.Tree()), 8), 0u) << K::kName;
    EXPECT_GE(K::Rev(w.Tree()), revBefore + removes);
    w.Run(int(K::kTarget), 75, batch);
    return w.Dump();
  }

  // Runs the workload on kind K, saves, and has a new process check the
  // file against the model.
  template <class K>
  void RunAndVerifyInNewProcess(uint32_t seed) {
    std::string dump = GrowEmptyGrow<K>(seed);
    ASSERT_FALSE(HasFatalFailure());
    // A small cache: the tree went through the transient file.
    EXPECT_GT(ChState.transNext, 10u);
    SaveAndClose();
    storetest::WriteFileBytes("model.txt", dump);
    bttest::RunHelperInNewProcess(dir_, "BtPropertyHelper.VerifyTreesInNewProcess");
  }
};

TEST_F(BtProperty, BtDbMatchesItsModelThroughGrowthEmptyingAndANewProcess) {
  RunAndVerifyInNewProcess<DbKind>(11);
}

TEST_F(BtProperty, BtiDbMatchesItsModelThroughGrowthEmptyingAndANewProcess) {
  RunAndVerifyInNewProcess<IKind>(12);
}

TEST_F(BtProperty, Bti1DbMatchesItsModelThroughGrowthEmptyingAndANewProcess) {
  RunAndVerifyInNewProcess<OneKind<false>>(13);
}

TEST_F(BtProperty, BtihDbMatchesItsModelThroughGrowthEmptyingAndANewProcess) {
  RunAndVerifyInNewProcess<OneKind<true>>(14);
}

TEST_F(BtProperty, BtmDbMatchesItsModelThroughGrowthEmptyingAndANewProcess) {
  RunAndVerifyInNewProcess<MKind>(15);
}

// Checks one tree of the dump against the file.
template <class K>
void VerifyTree(ChPart part, std::istream& in, uint32_t fileTree, size_t count) {
  ChHandle tree = ChHandleFromFile(fileTree, part);
  std::string report;
  ASSERT_TRUE(K::Validate(tree, &report)) << K::kName << "\n" << report;
  ASSERT_EQ(K::Count(tree), count) << K::kName;
  std::string line;
  for (uint32_t pos = 0; pos < count; ++pos) {
    std::getline(in, line);
    typename K::E got;
    ASSERT_TRUE(K::Index(tree, pos, &got));
    ASSERT_EQ(K::Line(got), line) << K::kName << " at " << pos;
  }
}

// Run in a new process by the tests above.
class BtPropertyHelper : public liststest::ReopenedFile {};

TEST_F(BtPropertyHelper, VerifyTreesInNewProcess) {
  ChPart part = part_;
  std::ifstream in("model.txt");
  std::string head;
  int trees = 0;
  while (std::getline(in, head)) {
    std::istringstream h(head);
    std::string kind, hex;
    size_t count;
    h >> kind >> hex >> count;
    uint32_t fileTree = uint32_t(strtoul(hex.c_str(), nullptr, 16));
    if (kind == "BtDb") VerifyTree<DbKind>(part, in, fileTree, count);
    if (kind == "BtiDb") VerifyTree<IKind>(part, in, fileTree, count);
    if (kind == "Bti1Db") VerifyTree<OneKind<false>>(part, in, fileTree, count);
    if (kind == "BtihDb") VerifyTree<OneKind<true>>(part, in, fileTree, count);
    if (kind == "BtmDb") VerifyTree<MKind>(part, in, fileTree, count);
    ASSERT_FALSE(::testing::Test::HasFailure()) << kind;
    ++trees;
  }
  EXPECT_EQ(trees, 1);
}

}  // namespace
