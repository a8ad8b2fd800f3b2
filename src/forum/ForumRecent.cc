// The site's list of recent items: the sysop setting Recent, at most ten
// paths separated by single blanks, newest first (ForumRead.h).
#include "ForumInt.h"
#include "ForumRead.h"
#include "Ma.h"

namespace quil {

namespace {

std::vector<std::string_view> Paths(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    size_t blank = text.find(' ');
    std::string_view path = text.substr(0, blank);
    if (!path.empty()) out.push_back(path);
    text.remove_prefix(blank == std::string_view::npos ? text.size() : blank + 1);
  }
  return out;
}

// Each path followed by one blank.
St Join(const std::vector<std::string_view>& paths) {
  std::string text;
  for (std::string_view p : paths) {
    text += p;
    text += ' ';
  }
  return StFromView(text);
}

}  // namespace

void ForumRecentAdd(ForumRoot root, const St& path) {
  MA_CHECK(ForumDebugFlag, path.View().find(' ') == std::string_view::npos,
           "ForumRecentAdd--Path contains a blank");
  St stored = ForumSysopRecent(root);
  std::vector<std::string_view> paths = Paths(stored.View());
  while (paths.size() >= size_t(kForumRecentMax)) paths.pop_back();
  paths.insert(paths.begin(), path.View());
  ForumSysopSetRecent(root, Join(paths));
}

void ForumRecentRemove(ForumRoot root, const St& path) {
  St stored = ForumSysopRecent(root);
  std::vector<std::string_view> paths = Paths(stored.View());
  size_t before = paths.size();
  std::erase(paths, path.View());
  if (paths.size() != before) ForumSysopSetRecent(root, Join(paths));
}

int32_t ForumRecentCount(ForumRoot root) {
  return int32_t(Paths(ForumSysopRecent(root).View()).size());
}

St ForumRecentPath(ForumRoot root, int32_t n) {
  St stored = ForumSysopRecent(root);
  std::vector<std::string_view> paths = Paths(stored.View());
  if (n < 0 || size_t(n) >= paths.size()) return St();
  return StFromView(paths[size_t(n)]);
}

ForumFile ForumRecentOpen(ForumRoot root, int32_t n) {
  St path = ForumRecentPath(root, n);
  return path.IsNil() ? ForumFile() : ForumFileOpen(root, path);
}

}  // namespace quil
