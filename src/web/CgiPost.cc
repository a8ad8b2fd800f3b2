// Saved posts: requests refused for want of a login, kept in memory until
// the login that replays them.
#include <deque>

#include "CgiInt.h"
#include "Td.h"

namespace quil {

namespace {

struct SavedPost {
  int mark = 0;
  int64_t created = 0;  // seconds
  int command = 0;
  St commandText;
  St cert;
  St location;
  CgiPairList form;
  CgiUploadList uploads;
  St remote;
};

std::deque<SavedPost>& Posts() {
  static std::deque<SavedPost> posts;
  return posts;
}
int nextMark = 0;

void Expire(int64_t now) {
  auto& posts = Posts();
  while (!posts.empty() && now - posts.front().created > kCgiPostLifetime) posts.pop_front();
}

}  // namespace

bool CgiIsPostMark(int command) {
  return command >= kCgiPostMarkBase && command < kCgiPostMarkBase + kCgiPostMarkSpan;
}

int PostCreate(int command, const St& commandText, const St& cert, const St& location,
               CgiPairList form, CgiUploadList uploads, const St& remote) {
  int64_t now = TdSecondsNow();
  Expire(now);
  auto& posts = Posts();
  while (int32_t(posts.size()) >= kCgiPostSlots) posts.pop_front();
  SavedPost p;
  p.mark = kCgiPostMarkBase + nextMark;
  nextMark = (nextMark + 1) % kCgiPostMarkSpan;
  p.created = now;
  p.command = command;
  p.commandText = commandText;
  p.cert = cert;
  p.location = location;
  p.form = std::move(form);
  p.uploads = std::move(uploads);
  p.remote = remote;
  posts.push_back(std::move(p));
  return posts.back().mark;
}

int PostMark(CgiRequest& r) {
  return PostCreate(r.command, r.commandText, r.cert, r.location, r.form, r.uploads, r.remote);
}

bool PostLookup(CgiRequest& r, int mark) {
  Expire(TdSecondsNow());
  auto& posts = Posts();
  for (auto it = posts.begin(); it != posts.end(); ++it) {
    if (it->mark != mark) continue;
    // Only the browser that sent the post may replay it (an empty address,
    // an AOL browser's, matches only another empty one).
    if (it->remote.View() != r.remote.View()) return false;
    r.command = it->command;
    r.commandText = it->commandText;
    r.location = it->location;
    r.form = std::move(it->form);
    r.uploads = std::move(it->uploads);
    posts.erase(it);
    return true;
  }
  return false;
}

int32_t PostCount() {
  Expire(TdSecondsNow());
  return int32_t(Posts().size());
}

void PostClearAll() {
  Posts().clear();
  nextMark = 0;
}

}  // namespace quil
