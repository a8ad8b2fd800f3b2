// Session look-up: AuthLookupCert by bucket and code among 100,000 live
// sessions of distinct users (target: over 1,000,000 look-ups a second).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "Auth.h"

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
      AuthParse(cert, &p);
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

}  // namespace

BENCHMARK_MAIN();
