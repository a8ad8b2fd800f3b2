// Random folder operations against a model of the tree: create, delete,
// rename and move with their result codes, checked after every step by
// name path and by unique identifier, and across reopens.
#include <map>
#include <random>
#include <set>

#include "forum_test_util.h"

namespace {

using forumtest::ForumTest;
using forumtest::S;
using namespace quil;

// Folder path ("/a/b") -> unique identifier; "/" is the top folder.
using Model = std::map<std::string, int32_t>;

std::string Parent(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}
std::string Child(const std::string& folder, const std::string& name) {
  return (folder == "/" ? "" : folder) + "/" + name;
}
bool Below(const std::string& path, const std::string& folder) {
  return path == folder || path.rfind(folder + "/", 0) == 0;
}

class ModelTest : public ForumTest {
 protected:
  void Check(const Model& model) {
    for (const auto& [path, id] : model) {
      ForumFile f = Path(path.c_str());
      ASSERT_TRUE(f) << path;
      EXPECT_EQ(ForumFileUniqueId(f), id) << path;
      EXPECT_EQ(ForumFilePath(ForumFileOpenUnique(root_, id)), path);
      int children = 0;
      for (const auto& [p, i] : model) children += p != "/" && Parent(p) == path;
      EXPECT_EQ(ForumFileSize(f), children) << path;
      EXPECT_EQ(int(ForumCatItemCount(f)), children) << path;
    }
  }
};

TEST_F(ModelTest, RandomFolderOperationsAgreeWithTheModel) {
  std::mt19937 rng(8);
  const char* names[] = {"a", "b", "c", "D"};
  Model model{{"/", kForumTopId}};
  auto pick = [&]() {
    auto it = model.begin();
    std::advance(it, rng() % model.size());
    return it->first;
  };
  for (int step = 0; step < 400; ++step) {
    std::string folder = pick();
    std::string name = names[rng() % 4];
    std::string target = Child(folder, name);
    int op = int(rng() % 4);
    ForumFile f = Path(folder.c_str());
    if (op == 0) {
      uint16_t code = ForumCatItemCreate(f, S("forum-category"), S(name.c_str()), S(""), 0,
                                         true, nullptr);
      ASSERT_EQ(code, model.count(target) ? kForumNameInUse : 0) << step;
      if (code == 0) model[target] = ForumFileUniqueId(Path(target.c_str()));
    } else if (folder != "/") {
      std::string parent = Parent(folder);
      ForumFile up = Path(parent.c_str());
      St old = ForumFileName(f);
      bool leaf = true;
      for (const auto& [p, i] : model) leaf = leaf && !(p != folder && Below(p, folder));
      if (op == 1) {
        f = ForumFile();
        ASSERT_EQ(ForumCatItemDestroy(up, old), leaf ? 0 : kForumNoEntry) << step;
        if (leaf) model.erase(folder);
        continue;
      }
      std::string dest = op == 2 ? parent : pick();
      std::string moved = Child(dest, name);
      uint16_t expect = Below(dest, folder) && op == 3 ? kForumMoveIntoItself
                        : model.count(moved) && moved != folder ? kForumNameInUse
                                                                : 0;
      uint16_t code = op == 2 ? ForumCatItemSetName(up, old, S(name.c_str()))
                              : ForumCatItemMove(up, old, Path(dest.c_str()), S(name.c_str()));
      if (op == 3 && moved == folder) expect = kForumNameInUse;  // onto itself
      ASSERT_EQ(code, expect) << step << " " << folder << " -> " << moved;
      if (code == 0) {
        Model next;
        for (const auto& [p, i] : model)
          next[Below(p, folder) ? moved + p.substr(folder.size()) : p] = i;
        model = next;
      }
    }
    f = ForumFile();
    Check(model);
    if (step % 100 == 99) Reopen();
  }
  Reopen();
  Check(model);
  EXPECT_GT(model.size(), 10u);
}

}  // namespace
