// Random sequences of tree and access-list changes against a simple model:
// folders, discussions and folder links are created, moved, renamed and
// deleted, and access lists are given entries, created and cleared.  After
// every step the store must agree with the model -- every item by unique
// identifier and by name path, counts, link walks and the rights of a guest
// and two users everywhere -- and every 100 steps the database is saved,
// closed and checked again by a new process that knows only the model file
// (this test binary, run with QUIL_MODEL_FILE).  The seed is printed;
// QUIL_MODEL_SEED repeats a run.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "ForumAcc.h"
#include "ForumUser.h"
#include "forum_test_util.h"

namespace {

using forumtest::S;
using namespace quil;

// ---------------------------------------------------------------------------
// Rights arithmetic, written out from the rules (not taken from the code).

uint32_t MoveDown(uint32_t mask) {
  static const uint32_t kMoves[][2] = {
      {0x4000, 0x2},        {0x8000, 0x4},           {0x10000, 0x8},
      {0x20000, 0x10},      {0x40000, 0x40},         {0x80000, 0x80},
      {0x100000, 0x400},    {0x200000, 0x800},       {0x800000, 0x400000},
      {0x10000000, 0x4000000}, {0x20000000, 0x8000000}};
  uint32_t out = mask & 0xf3bff321u;
  for (const auto& m : kMoves)
    if (mask & m[0]) out |= m[1];
  return out;
}

struct Class {
  const char* form;
  uint32_t given, taken;
};
const Class kClasses[] = {{"host", 0x3dffffff, 0x2000000},
                          {"participant", 0x3cffffff, 0x3000000},
                          {"moderated", 0x3effffff, 0x1000000},
                          {"readOnly", 0x1, 0x3ffffffe},
                          {"noAccess", 0, 0x3fffffff}};

enum Kind { kFolder, kTopic, kLink };
// What each kind withholds from users below host.
const uint32_t kWithheld[] = {0x6, 0x4000de, 0x4001de};

// Principals of the lists: all guests, all registered users, Ann, Bob, and
// the group Writers (Bob is in it).
constexpr int kPrincipals = 5;
constexpr int kAnn = 2, kBob = 3, kWriters = 4;

struct Item {
  int kind = kFolder;
  int32_t parent = 0;
  std::string name;
  int32_t target = 0;     // links: the folder they lead to
  int32_t nextForum = 1;  // folders: what NextForum reads as
  bool hasList = false;
  std::map<int, uint32_t> given, taken;
};

struct Model {
  std::map<int32_t, Item> items;
  std::set<int32_t> deleted;

  std::vector<int32_t> Children(int32_t folder) const {
    std::vector<int32_t> out;
    for (const auto& [id, it] : items)
      if (it.parent == folder && id != kForumTopId) out.push_back(id);
    return out;
  }
  int32_t ChildNamed(int32_t folder, const std::string& name) const {
    for (int32_t c : Children(folder))
      if (items.at(c).name == name) return c;
    return 0;
  }
  std::string Path(int32_t id) const {
    if (id == kForumTopId) return "/";
    std::string up = Path(items.at(id).parent);
    return (up == "/" ? "" : up) + "/" + items.at(id).name;
  }
  bool AtOrBelow(int32_t a, int32_t b) const {
    for (int32_t x = a; x != 0; x = x == kForumTopId ? 0 : items.at(x).parent)
      if (x == b) return true;
    return false;
  }
  // The first free number from the folder's counter on, and the counter
  // passing it.
  int32_t TakeNumber(int32_t folder) {
    int32_t n = std::max(items[folder].nextForum, 1);
    while (ChildNamed(folder, std::to_string(n)) != 0) ++n;
    PassNumber(folder, n);
    return n;
  }
  void PassNumber(int32_t folder, int32_t n) {
    if (items[folder].nextForum <= n) items[folder].nextForum = n + 1;
  }
  int32_t Owner(int32_t id) const {
    while (!items.at(id).hasList) id = items.at(id).parent;
    return id;
  }
  // The rights of principal index asker (0: a guest) in item id.
  uint32_t Resolve(int32_t id, int asker) const {
    const Item& owner = items.at(Owner(id));
    auto entry = [&](int p, uint32_t* mask) {
      auto g = owner.given.find(p);
      if (g == owner.given.end()) return false;
      auto t = owner.taken.find(p);
      *mask = g->second & ~(t == owner.taken.end() ? 0 : t->second);
      return true;
    };
    uint32_t mask = 0;
    if (asker == 0) {
      if (!entry(0, &mask)) mask = 0;
    } else if (!entry(asker, &mask)) {
      auto g = owner.given.find(kWriters);
      if (asker == kBob && g != owner.given.end()) {
        auto t = owner.taken.find(kWriters);
        mask = g->second & ~(t == owner.taken.end() ? 0 : t->second);
      } else if (!entry(1, &mask)) {
        mask = 0;
      }
    }
    if (Owner(id) != id) mask = MoveDown(mask);
    if (mask & kForumAccHost) return (mask | 0x3cffffff) & ~kForumAccModerated;
    return mask & ~kWithheld[items.at(id).kind];
  }

  std::string Save() const {
    std::ostringstream out;
    for (const auto& [id, it] : items) {
      out << "item " << id << ' ' << it.kind << ' ' << it.parent << ' '
          << (it.name.empty() ? "-" : it.name) << ' ' << it.target << ' ' << it.hasList << ' '
          << it.nextForum << '\n';
      for (const auto& [p, v] : it.given) out << "given " << id << ' ' << p << ' ' << v << '\n';
      for (const auto& [p, v] : it.taken) out << "taken " << id << ' ' << p << ' ' << v << '\n';
    }
    for (int32_t id : deleted) out << "deleted " << id << '\n';
    return out.str();
  }
  static Model Load(const std::string& text) {
    Model m;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
      int32_t id = 0;
      in >> id;
      if (word == "item") {
        Item& it = m.items[id];
        in >> it.kind >> it.parent >> it.name >> it.target >> it.hasList >> it.nextForum;
        if (it.name == "-") it.name.clear();
      } else if (word == "deleted") {
        m.deleted.insert(id);
      } else {
        int p = 0;
        uint32_t v = 0;
        in >> p >> v;
        (word == "given" ? m.items[id].given : m.items[id].taken)[p] = v;
      }
    }
    return m;
  }
};

// The principal handles of a root, by index.
std::vector<ChHandle> Principals(ForumRoot root) {
  return {kForumAccAllGuests, kForumAccAllUsers, ForumUserLookup(root, S("Ann Lee")),
          ForumUserLookup(root, S("Bob Ray")), ForumGroupLookup(root, S("Writers"))};
}

// Holds the store against the model; gtest failures say where.
void Check(ForumRoot root, const Model& m, const std::string& when) {
  std::vector<ChHandle> who = Principals(root);
  const ChHandle askers[] = {0, who[kAnn], who[kBob]};
  for (const auto& [id, it] : m.items) {
    ForumFile f = ForumFileOpenUnique(root, id);
    ASSERT_TRUE(f) << when << " id " << id;
    std::string path = m.Path(id);
    EXPECT_EQ(ForumFilePath(f).Str(), path) << when;
    const int kinds[] = {kForumKindFolder, kForumKindDiscussion, kForumKindLink};
    EXPECT_EQ(ForumFileKind(f), kinds[it.kind]) << when << " " << path;
    if (it.kind != kLink) {
      EXPECT_EQ(ForumFileOpen(root, StFromView(path)), f) << when << path;
    }
    if (it.kind == kFolder) {
      std::vector<int32_t> children = m.Children(id);
      int folders = 0, folderLinks = 0;
      for (int32_t c : children) {
        folders += m.items.at(c).kind == kFolder;
        folderLinks += m.items.at(c).kind == kLink;
      }
      EXPECT_EQ(ForumFileSize(f), int32_t(children.size())) << when << " " << path;
      EXPECT_EQ(ForumCatItemCount(f), children.size()) << when << " " << path;
      EXPECT_EQ(ForumFileCategoryCount(f), folders) << when << " " << path;
      EXPECT_EQ(ForumFileLinkFolders(f), folderLinks) << when << " " << path;
    }
    if (it.kind == kLink) {
      ForumFile walked = ForumFileOpen(root, StFromView(path));
      if (m.deleted.count(it.target)) {
        EXPECT_FALSE(walked) << when << " link " << path;
      } else if (m.AtOrBelow(it.parent, it.target)) {
        // A link up the tree ends the walk in its own folder.
        EXPECT_EQ(ForumFileUniqueId(walked), it.parent) << when << " link " << path;
      } else {
        EXPECT_EQ(ForumFileUniqueId(walked), it.target) << when << " link " << path;
        EXPECT_EQ(ForumFileUniquePath(walked),
                  StCat(ForumUniquePathOf(id), ForumUniquePathOf(it.target)))
            << when << " link " << path;
      }
    }
    EXPECT_EQ(ForumAccHasList(f), it.hasList) << when << " " << path;
    for (int a = 0; a < 3; ++a) {
      int asker = a == 0 ? 0 : a == 1 ? kAnn : kBob;
      EXPECT_EQ(ForumAccResolve(f, askers[a]), m.Resolve(id, asker))
          << when << " " << path << " asker " << asker;
    }
  }
  for (int32_t id : m.deleted) EXPECT_FALSE(ForumFileOpenUnique(root, id)) << when << " " << id;
}

class ModelTest : public forumtest::ForumTest {
 protected:
  void TearDown() override {
    held_.clear();
    ForumTest::TearDown();
  }
  // Saves and closes the database and checks it in a new process.
  void CheckInNewProcess(const Model& m, int step) {
    held_.clear();
    top_ = ForumFile();
    Close();
    std::string file = dir_ + "/model.txt";
    std::ofstream(file) << m.Save();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      setenv("QUIL_MODEL_FILE", file.c_str(), 1);
      setenv("QUIL_MODEL_DIR", dir_.c_str(), 1);
      std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
      execl(self.c_str(), self.c_str(), "--gtest_filter=ModelChild.TheSavedStoreAgreesWithTheModel",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the new process disagrees with the model after step " << step;
    Open();
  }
  // Handles kept open across steps, as a request or a cache keeps them:
  // what they cached (paths, flags, access lists) must follow the changes.
  std::map<int32_t, ForumFile> held_;
};

TEST_F(ModelTest, RandomTreeAndAccessChangesAgreeWithTheModel) {
  uint32_t seed = getenv("QUIL_MODEL_SEED") ? uint32_t(atol(getenv("QUIL_MODEL_SEED")))
                                            : uint32_t(std::random_device()());
  printf("seed %u\n", seed);
  std::mt19937 rng(seed);
  auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
  ChHandle user = 0, group = 0;
  ASSERT_EQ(ForumUserCreate(root_, kForumUserRegistered, S("Ann Lee"), St(), St(), &user), 0);
  ASSERT_EQ(ForumUserCreate(root_, kForumUserRegistered, S("Bob Ray"), St(), St(), &user), 0);
  ASSERT_EQ(ForumGroupCreate(root_, S("Writers"), &group), 0);
  ASSERT_EQ(ForumGroupAddUser(root_, group, user), 0);

  Model m;
  Item& top = m.items[kForumTopId];
  top.hasList = true;
  top.given = {{0, kForumAccAllRights}, {1, kForumAccAllRights}};
  const char* names[] = {"a", "b", "Cc", "d"};
  auto ofKind = [&](std::initializer_list<int> kinds, bool topToo) {
    std::vector<int32_t> out;
    for (const auto& [id, it] : m.items)
      if ((topToo || id != kForumTopId) && std::count(kinds.begin(), kinds.end(), it.kind))
        out.push_back(id);
    return out;
  };
  constexpr int kSteps = 400;
  for (int step = 1; step <= kSteps; ++step) {
    std::string when = "step " + std::to_string(step);
    std::vector<int32_t> folders = ofKind({kFolder}, true);
    std::vector<int32_t> movable = ofKind({kFolder, kTopic, kLink}, false);
    int op = pick(10);
    if (op <= 2 || movable.empty()) {
      // Create a folder, a discussion or a folder link.
      int32_t folder = folders[size_t(pick(int(folders.size())))];
      int kind = movable.empty() ? kFolder : pick(3);
      std::string name = names[pick(4)];
      const char* types[] = {"forum-category", "forum-topic", "forum-link"};
      St final;
      uint16_t code = ForumCatItemCreate(ForumFileOpenUnique(root_, folder), S(types[kind]),
                                         S(name.c_str()), S("t"), 0, true, &final);
      if (kind == kFolder && m.ChildNamed(folder, name) != 0) {
        ASSERT_EQ(code, kForumNameInUse) << when;
        continue;
      }
      ASSERT_EQ(code, 0) << when;
      if (kind != kFolder) name = std::to_string(m.TakeNumber(folder));
      ASSERT_EQ(final.Str(), name) << when;
      ForumFile made = ForumFileHasChild(ForumFileOpenUnique(root_, folder), final);
      int32_t id = ForumFileUniqueId(made);
      Item& it = m.items[id];
      it.kind = kind;
      it.parent = folder;
      it.name = name;
      if (kind == kLink) {
        it.target = folders[size_t(pick(int(folders.size())))];
        ForumLinkSetUrl(made, ForumUniquePathOf(it.target));
        ForumLinkSetType(made, kForumLinkFolder);
      }
    } else if (op == 3) {
      // Move.
      int32_t id = movable[size_t(pick(int(movable.size())))];
      Item& it = m.items[id];
      int32_t target = folders[size_t(pick(int(folders.size())))];
      std::string newName = pick(2) ? std::string(names[pick(4)]) : it.name;
      uint16_t code = ForumCatItemMove(ForumFileOpenUnique(root_, it.parent), S(it.name.c_str()),
                                       ForumFileOpenUnique(root_, target), S(newName.c_str()));
      if (it.kind == kFolder && m.AtOrBelow(target, id)) {
        ASSERT_EQ(code, kForumMoveIntoItself) << when;
      } else if (it.kind == kFolder && m.ChildNamed(target, newName) != 0) {
        ASSERT_EQ(code, kForumNameInUse) << when;
      } else {
        ASSERT_EQ(code, 0) << when;
        it.name = it.kind == kFolder ? newName : std::to_string(m.TakeNumber(target));
        it.parent = target;
      }
    } else if (op == 4) {
      // Rename.
      int32_t id = movable[size_t(pick(int(movable.size())))];
      Item& it = m.items[id];
      std::string newName = it.kind == kFolder ? names[pick(4)] : std::to_string(1 + pick(8));
      uint16_t code = ForumCatItemSetName(ForumFileOpenUnique(root_, it.parent),
                                          S(it.name.c_str()), S(newName.c_str()));
      int32_t other = m.ChildNamed(it.parent, newName);
      if (other != 0 && other != id) {
        ASSERT_EQ(code, kForumNameInUse) << when;
      } else {
        ASSERT_EQ(code, 0) << when;
        it.name = newName;
        if (it.kind != kFolder) m.PassNumber(it.parent, std::stoi(newName));
      }
    } else if (op == 5) {
      // Delete.
      int32_t id = movable[size_t(pick(int(movable.size())))];
      Item it = m.items[id];
      uint16_t code =
          ForumCatItemDestroy(ForumFileOpenUnique(root_, it.parent), S(it.name.c_str()));
      if (!m.Children(id).empty()) {
        ASSERT_EQ(code, kForumNoEntry) << when;
      } else {
        ASSERT_EQ(code, 0) << when;
        m.items.erase(id);
        m.deleted.insert(id);
      }
    } else {
      // Access lists of folders and discussions.
      std::vector<int32_t> holders = ofKind({kFolder, kTopic}, true);
      int32_t id = holders[size_t(pick(int(holders.size())))];
      Item& it = m.items[id];
      ForumFile f = ForumFileOpenUnique(root_, id);
      int what = pick(6);
      if (what == 0) {
        bool made = ForumAccCreateList(f);
        ASSERT_EQ(made, !it.hasList) << when;
        if (made) {
          int32_t owner = m.Owner(id);
          bool down = owner != id;
          Item copy = m.items[owner];
          it.given.clear();
          it.taken.clear();
          for (const auto& [p, v] : copy.given) it.given[p] = down ? MoveDown(v) : v;
          for (const auto& [p, v] : copy.taken) it.taken[p] = down ? MoveDown(v) : v;
          it.hasList = true;
        }
      } else if (what == 1) {
        EXPECT_TRUE(ForumAccFormClear(f).Empty());
        if (id == kForumTopId) {
          std::map<int, uint32_t> kept;
          for (int p : {0, 1})
            if (it.given.count(p)) kept[p] = it.given[p];
          it.given = kept;
          it.taken.clear();
        } else {
          it.hasList = false;
          it.given.clear();
          it.taken.clear();
        }
      } else {
        int p = pick(kPrincipals);
        const Class& c = kClasses[pick(5)];
        EXPECT_TRUE(ForumAccFormSetClass(f, Principals(root_)[size_t(p)], S(c.form)).Empty());
        if (!it.hasList) {
          it.hasList = true;
          it.given.clear();
          it.taken.clear();
        }
        it.given[p] = c.given;
        it.taken[p] = c.taken;
      }
    }
    // Now and then hold a handle or let one go.
    if (pick(3) == 0) {
      std::vector<int32_t> all = ofKind({kFolder, kTopic, kLink}, false);
      if (!all.empty()) {
        int32_t id = all[size_t(pick(int(all.size())))];
        if (held_.count(id))
          held_.erase(id);
        else
          held_[id] = ForumFileOpenUnique(root_, id);
      }
    }
    for (auto& [id, f] : held_) {
      if (!m.items.count(id)) continue;
      EXPECT_EQ(ForumFilePath(f).Str(), m.Path(id)) << when << " held";
      for (int asker : {0, kAnn, kBob})
        EXPECT_EQ(ForumAccResolve(f, asker == 0 ? 0 : Principals(root_)[size_t(asker)]),
                  m.Resolve(id, asker))
            << when << " held " << m.Path(id) << " asker " << asker;
    }
    Check(root_, m, when);
    if (HasFatalFailure()) return;
    if (step % 100 == 0) CheckInNewProcess(m, step);
  }
  int withList = 0, links = 0;
  for (const auto& [id, it] : m.items) {
    withList += it.hasList;
    links += it.kind == kLink;
  }
  printf("%zu items (%d links, %d with lists of their own), %zu deleted\n", m.items.size(), links,
         withList, m.deleted.size());
  EXPECT_GT(m.items.size(), 10u);
  EXPECT_GT(m.deleted.size(), 0u);
}

// The half of the check that runs in the new process: only when the model
// test starts it.
TEST(ModelChild, TheSavedStoreAgreesWithTheModel) {
  const char* file = getenv("QUIL_MODEL_FILE");
  const char* dir = getenv("QUIL_MODEL_DIR");
  if (!file || !dir) GTEST_SKIP() << "run by ModelTest in a process of its own";
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  Model m = Model::Load(text.str());
  std::filesystem::current_path(dir);
  ASSERT_EQ(UtInitRtns(kPkgInit, kPkgVersion), 0);
  StoreRegisterTypes();
  ASSERT_EQ(QuInitRtns(kPkgInit, kPkgVersion), 0);
  ASSERT_EQ(ChInit(kPkgVersion, 256), 0);
  ASSERT_EQ(ForumInitRtns(kPkgInit, kPkgVersion), 0);
  // Opened as the server opens it, the consistency check included.
  ForumDbOpenOptions options;
  ForumRoot root = ForumDbOpenI("quil.db", &options);
  Check(root, m, "in the new process");
  ForumDbCloseI(root);
  EXPECT_EQ(ForumInitRtns(kPkgTerm, 0), 0);
  ChTerm();
}

}  // namespace
