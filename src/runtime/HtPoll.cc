// The event loop's descriptor table, its loop hooks and one poll() wait.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "Ht.h"
#include "HtInt.h"

namespace quil {

namespace {

struct FdEntry {
  unsigned interest = 0;
  uint32_t generation = 0;  // changes whenever the descriptor is (re)watched
  std::shared_ptr<HtFdHandler> handler;  // null: not watched
};

// Indexed by descriptor.
std::vector<FdEntry>& Table() {
  static std::vector<FdEntry> table;
  return table;
}

uint32_t nextGeneration = 1;

std::vector<HtLoopHook>& Hooks(HtLoopStage stage) {
  static std::vector<HtLoopHook> before, after;
  return stage == HtLoopStage::kBeforeWait ? before : after;
}

FdEntry* Find(int fd) {
  auto& table = Table();
  if (fd < 0 || size_t(fd) >= table.size() || !table[size_t(fd)].handler)
    return nullptr;
  return &table[size_t(fd)];
}

short Events(unsigned interest) {
  short events = 0;
  if (interest & kHtRead) events |= POLLIN;
  if (interest & kHtWrite) events |= POLLOUT;
  return events;
}

// What a wait found on p, limited to what was asked for; errors and
// hang-ups count as everything asked for.
unsigned ReadyBits(const pollfd& p) {
  unsigned ready = 0;
  if (p.revents & (POLLIN | POLLPRI)) ready |= kHtRead;
  if (p.revents & POLLOUT) ready |= kHtWrite;
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) ready |= kHtRead | kHtWrite;
  return ready & ((p.events & POLLIN ? kHtRead : 0u) |
                  (p.events & POLLOUT ? kHtWrite : 0u));
}

}  // namespace

void HtFdWatch(int fd, unsigned interest, HtFdHandler handler) {
  if (fd < 0) return;
  auto& table = Table();
  if (size_t(fd) >= table.size()) table.resize(size_t(fd) + 1);
  FdEntry& e = table[size_t(fd)];
  e.interest = interest;
  e.generation = nextGeneration++;
  e.handler = std::make_shared<HtFdHandler>(std::move(handler));
}

void HtFdSetInterest(int fd, unsigned interest) {
  if (FdEntry* e = Find(fd)) e->interest = interest;
}

void HtFdUnwatch(int fd) {
  if (FdEntry* e = Find(fd)) *e = FdEntry{};
}

bool HtFdIsWatched(int fd) { return Find(fd) != nullptr; }

void HtLoopHookAdd(HtLoopStage stage, HtLoopHook hook) {
  Hooks(stage).push_back(hook);
}

void HtLoopHookRemove(HtLoopStage stage, HtLoopHook hook) {
  auto& hooks = Hooks(stage);
  hooks.erase(std::remove(hooks.begin(), hooks.end(), hook), hooks.end());
}

void HtLoopHooksRun(HtLoopStage stage) {
  // A hook may add or remove hooks; run the ones present at the start.
  std::vector<HtLoopHook> hooks = Hooks(stage);
  for (HtLoopHook hook : hooks) hook();
}

HtPollPass::HtPollPass(int extraReadFd) : extraFd_(extraReadFd) {
  int wake = HtWakeReadFd();
  if (wake >= 0) fds_.push_back({wake, POLLIN, 0});
  if (extraReadFd >= 0) fds_.push_back({extraReadFd, POLLIN, 0});
  auto& table = Table();
  for (size_t fd = 0; fd < table.size(); ++fd) {
    const FdEntry& e = table[fd];
    if (!e.handler || e.interest == 0 || int(fd) == extraReadFd) continue;
    fds_.push_back({int(fd), Events(e.interest), 0});
  }
}

int HtPollPass::Wait(int timeoutMs) {
  for (auto& p : fds_) p.revents = 0;
  int n = poll(fds_.data(), nfds_t(fds_.size()), timeoutMs < 0 ? -1 : timeoutMs);
  if (n < 0 && errno == EINTR) return 0;
  return n;
}

unsigned HtPollPass::Ready(int fd) const {
  for (const auto& p : fds_) {
    if (p.fd == fd) return ReadyBits(p);
  }
  return 0;
}

void HtPollPass::Dispatch() const {
  int wake = HtWakeReadFd();
  // Remember which registration each ready descriptor belonged to, so that a
  // handler that closes and reuses a descriptor does not get a stale mark.
  struct Due {
    int fd;
    unsigned ready;
    uint32_t generation;
  };
  std::vector<Due> due;
  for (const auto& p : fds_) {
    if (p.revents == 0) continue;
    if (p.fd == wake) {
      char buf[64];
      while (read(wake, buf, sizeof buf) > 0) {
      }
      continue;
    }
    if (p.fd == extraFd_) continue;
    const FdEntry* e = Find(p.fd);
    unsigned ready = ReadyBits(p);
    if (e && ready) due.push_back({p.fd, ready, e->generation});
  }
  for (const Due& d : due) {
    FdEntry* e = Find(d.fd);
    if (!e || e->generation != d.generation) continue;
    std::shared_ptr<HtFdHandler> handler = e->handler;  // may unwatch itself
    (*handler)(d.fd, d.ready);
  }
}

std::string HtPollPass::Describe(bool ready) const {
  std::string read = "read", write = "write";
  int wake = HtWakeReadFd();
  for (const auto& p : fds_) {
    if (p.fd == wake) continue;
    bool r, w;
    if (ready) {
      unsigned got = ReadyBits(p);
      r = got & kHtRead;
      w = got & kHtWrite;
    } else {
      r = p.events & POLLIN;
      w = p.events & POLLOUT;
    }
    if (r) read += " " + std::to_string(p.fd);
    if (w) write += " " + std::to_string(p.fd);
  }
  return read + " " + write;
}

}  // namespace quil
