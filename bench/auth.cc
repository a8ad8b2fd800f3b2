// Session look-up: AuthLookupCert by bucket and code among 100,000 live
// sessions of distinct users (target: over 1,000,000 look-ups a second).
// Rights checks: ForumAccOpCk for a registered user in a folder 20 levels
// below the top folder, whose list it inherits, on a warm cache (target:
// over 5,000,000 checks a second).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <vector>

#include "Auth.h"
#include "Ch.h"
#include "ForumAcc.h"
#include "ForumUser.h"
#include "Qu.h"
#include "Store.h"
#include "Ut.h"

using namespace quil;

namespace {

constexpr uint32_t kSessions = 100000;

struct Sessions {
  std::vector<AuthCertParts> certs;
  St remote = StFromView("192.0.2.1");
  Sessions() {
    AuthHooks h;
    h.userIsLegal = [](ChHandle) { return true; };
    h.userLogoutSeconds = [](ChHandle) { return 600; };
    h.userChecksRemote = [](ChHandle) { return true; };
    h.countLogin = [](ChHandle) {};
    h.sysopLogoutSeconds = [] { return 3600; };
    h.sysopChecksRemote = [] { return true; };
    h.nextSequence = [] {
      static uint32_t n = 0;
      return ++n;
    };
    AuthSetHooks(std::move(h));
    for (uint32_t u = 1; u <= kSessions; ++u) {
      St cert;
      AuthInstallUser(ChHandle(u * 16 + 3), remote, &cert, false, St());
      AuthCertParts p;
      if (!AuthParse(cert, &p)) abort();
      certs.push_back(p);
    }
  }
};

void BM_AuthLookupCert(benchmark::State& state) {
  static Sessions s;
  std::mt19937 rng(5);
  std::vector<uint32_t> order(1 << 16);
  for (uint32_t& i : order) i = rng() % kSessions;
  size_t k = 0, found = 0;
  for (auto _ : state) {
    const AuthCertParts& p = s.certs[order[k++ & 0xFFFF]];
    found += AuthLookupCert(p.bucket, p.code, s.remote) != nullptr;
  }
  if (found != k) state.SkipWithError("a live session was not found");
  state.SetItemsProcessed(int64_t(k));
}
BENCHMARK(BM_AuthLookupCert);

constexpr int kFolderLevels = 20;

// A new database in a scratch directory (the working directory while it is
// open, for the chunk cache's transient file) with a chain of folders and
// one registered user; everything is closed and removed at exit.
struct DeepTree {
  std::filesystem::path dir, oldDir;
  ForumRoot root = nullptr;
  ForumFile deepest;
  ChHandle user = 0;
  DeepTree() {
    char tmpl[] = "/tmp/quil-bench-acc-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    dir = tmpl;
    oldDir = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    (void)UtInitRtns(kPkgInit, kPkgVersion);
    StoreRegisterTypes();
    (void)QuInitRtns(kPkgInit, kPkgVersion);
    if (ChInit(kPkgVersion, 256) != 0) abort();
    if (ForumInitRtns(kPkgInit, kPkgVersion) != 0) abort();
    ForumDbOpenOptions options;
    root = ForumDbOpenI("quil.db", &options);
    ForumFile folder = ForumTopFolder(root);
    for (int level = 1; level <= kFolderLevels; ++level) {
      St name = StFromView("level" + std::to_string(level));
      St final;
      if (ForumCatItemCreate(folder, StFromView("forum-category"), name, name, 0, true, &final) != 0)
        abort();
      folder = ForumFileHasChild(folder, final);
    }
    deepest = folder;
    if (ForumUserCreate(root, kForumUserRegistered, StFromView("Ann Lee"), St(), St(), &user) != 0)
      abort();
  }
  ~DeepTree() {
    deepest = ForumFile();
    ForumDbCloseI(root);
    if (ForumInitRtns(kPkgTerm, 0) != 0) abort();
    ChTerm();
    (void)QuInitRtns(kPkgTerm, 0);
    (void)UtInitRtns(kPkgTerm, 0);
    std::filesystem::current_path(oldDir);
    std::filesystem::remove_all(dir);
  }
};

void BM_ForumAccOpCk(benchmark::State& state) {
  static DeepTree t;
  const uint32_t mask = kForumAccRead | kForumAccPost;
  if (!ForumAccOpCk(t.deepest, t.user, mask)) state.SkipWithError("no rights in the deep folder");
  int64_t granted = 0;
  for (auto _ : state) granted += ForumAccOpCk(t.deepest, t.user, mask);
  if (granted != int64_t(state.iterations())) state.SkipWithError("a check failed");
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_ForumAccOpCk);

}  // namespace

BENCHMARK_MAIN();
