// The authentication array: 256 buckets of login sessions, looked up by
// code, ended by time-out, by removal or when their user goes away.
#include <algorithm>
#include <array>
#include <ctime>
#include <list>
#include <string_view>
#include <unordered_map>

#include "Auth.h"
#include "Ma.h"

namespace quil {

namespace {

using Bucket = std::list<AuthSession>;

struct AuthState {
  std::array<Bucket, kAuthBuckets> buckets;
  // Every session by its code (a view of the code held by the session).
  std::unordered_map<std::string_view, Bucket::iterator> byCode;
  AuthHooks hooks;
  int32_t count = 0;
  int32_t highWater = 0;
  int64_t (*clock)() = nullptr;
};

AuthState& State() {
  static AuthState state;
  return state;
}

int64_t Now() {
  AuthState& s = State();
  return s.clock ? s.clock() : int64_t(time(nullptr));
}

const AuthHooks& Hooks() {
  const AuthHooks& h = State().hooks;
  if (!h.userIsLegal) MaHalt("Auth-- hooks not installed");
  return h;
}

int BucketOf(ChHandle user) { return int(user % kAuthBuckets); }

// A session for this address?  Another address counts only when the sysop
// and the user both ask for the check.
bool AddressFits(const AuthSession& s, const St& remote) {
  if (s.remote.View() == remote.View()) return true;
  const AuthHooks& h = Hooks();
  // A guest has no setting of its own: the sysop's check decides.
  return !(h.sysopChecksRemote() && (s.user == 0 || h.userChecksRemote(s.user)));
}

bool IsLive(const AuthSession& s, int64_t now) {
  const AuthHooks& h = Hooks();
  int64_t idle = now - s.lastUse;
  if (idle > h.sysopLogoutSeconds()) return false;
  if (s.user == 0) return true;
  return h.userIsLegal(s.user) && idle <= h.userLogoutSeconds(s.user);
}

void End(Bucket& bucket, Bucket::iterator it) {
  AuthState& s = State();
  s.byCode.erase(it->code.View());
  bucket.erase(it);
  --s.count;
}

// Ends the sessions of bucket for which drop holds.
template <typename Pred>
void EndWhere(Bucket& bucket, Pred drop) {
  for (auto it = bucket.begin(); it != bucket.end();) {
    auto next = std::next(it);
    if (drop(*it)) End(bucket, it);
    it = next;
  }
}

// The live session of user for remote in its bucket, dead ones ended.
AuthSession* FindUser(ChHandle user, const St& remote) {
  Bucket& bucket = State().buckets[size_t(BucketOf(user))];
  int64_t now = Now();
  for (auto it = bucket.begin(); it != bucket.end();) {
    auto next = std::next(it);
    if (it->user == user && AddressFits(*it, remote)) {
      if (IsLive(*it, now)) return &*it;
      End(bucket, it);
    }
    it = next;
  }
  return nullptr;
}

// The live session of the guest visit with this counter (its sequence),
// dead ones ended on the way; created when make is true and there is none.
AuthSession* FindGuest(uint32_t counter, const St& remote, bool make) {
  AuthState& state = State();
  int b = int(counter % kAuthBuckets);
  Bucket& bucket = state.buckets[size_t(b)];
  int64_t now = Now();
  for (auto it = bucket.begin(); it != bucket.end();) {
    auto next = std::next(it);
    if (it->user == 0 && it->sequence == counter && AddressFits(*it, remote)) {
      if (IsLive(*it, now)) return &*it;
      End(bucket, it);
    }
    it = next;
  }
  if (!make) return nullptr;
  AuthSession& fresh = bucket.emplace_back();
  fresh.remote = remote;
  fresh.lastUse = fresh.created = now;
  fresh.bucket = b;
  fresh.sequence = counter;
  state.highWater = std::max(state.highWater, ++state.count);
  return &fresh;
}

}  // namespace

void AuthSetHooks(AuthHooks hooks) { State().hooks = std::move(hooks); }
void AuthSetLoginCounter(std::function<void(ChHandle user)> count) {
  State().hooks.countLogin = std::move(count);
}

void AuthSetClock(int64_t (*now)()) { State().clock = now; }

AuthSession* AuthLookupCert(int bucket, const St& code, const St& remote) {
  AuthState& s = State();
  auto found = s.byCode.find(code.View());
  if (found == s.byCode.end()) return nullptr;
  auto it = found->second;
  if (bucket >= 0 && it->bucket != bucket) return nullptr;
  if (!AddressFits(*it, remote)) return nullptr;
  if (IsLive(*it, Now())) return &*it;
  End(s.buckets[size_t(it->bucket)], it);
  return nullptr;
}

bool AuthLookupUser(ChHandle user, const St& remote) {
  AuthSession* s = FindUser(user, remote);
  if (s) s->lastUse = Now();
  return s != nullptr;
}

void AuthInstallUser(ChHandle user, const St& remote, St* cert, bool temporary,
                     const St& reason) {
  AuthState& state = State();
  const AuthHooks& h = Hooks();
  AuthCertParts old;
  bool parsed = AuthParse(*cert, &old);
  St tag = parsed ? old.tag : St();
  AuthSession* s = FindUser(user, remote);
  h.countLogin(user);
  if (s) {
    s->lastUse = Now();
    s->sequence = std::max(s->sequence, parsed ? old.sequence : 0) + 1;
  } else {
    Bucket& bucket = state.buckets[size_t(BucketOf(user))];
    AuthSession& fresh = bucket.emplace_back();
    fresh.user = user;
    fresh.temporary = temporary;
    fresh.code = AuthNewCode(h.nextSequence());
    fresh.remote = remote;
    fresh.lastUse = fresh.created = Now();
    fresh.bucket = BucketOf(user);
    state.byCode.emplace(fresh.code.View(), std::prev(bucket.end()));
    state.highWater = std::max(state.highWater, ++state.count);
    if (h.replicate) h.replicate(user, fresh.code);
    s = &fresh;
  }
  *cert = AuthConstruct(s->bucket, s->code, tag, s->sequence);
  if (h.logRequests && h.logRequests() && h.log) {
    std::string line = " InstallUser ";
    line += h.userName ? h.userName(user).View() : std::string_view();
    line += "==";
    line += cert->View();
    line += reason.View();
    line += " CertRemote=";
    line += remote.View();
    h.log(StFromView(line));
  }
}

ChHandle AuthenticateUser(St* cert, const St& remote, bool* madeGuest) {
  *madeGuest = false;
  AuthCertParts parts;
  bool parsed = AuthParse(*cert, &parts);
  if (parsed && parts.code.Length() == 0) {  // a guest's own certificate
    if (AuthSession* s = FindGuest(parts.sequence, remote, false)) s->lastUse = Now();
    return 0;
  }
  if (parsed) {
    if (AuthSession* s = AuthLookupCert(parts.bucket, parts.code, remote)) {
      s->lastUse = Now();
      return s->user;
    }
  }
  *cert = AuthGuest(parsed ? parts.tag : St());
  *madeGuest = true;
  return 0;
}

AuthSessionObject* AuthGetSession(const St& cert, const St& remote,
                                  const std::function<std::unique_ptr<AuthSessionObject>()>& make) {
  AuthCertParts parts;
  if (!AuthParse(cert, &parts)) return nullptr;
  // A guest visit gets its session when it first needs the object.
  AuthSession* s = parts.code.Length() == 0 ? FindGuest(parts.sequence, remote, true)
                                            : AuthLookupCert(parts.bucket, parts.code, remote);
  if (!s) return nullptr;
  if (!s->object && make) s->object = make();
  return s->object.get();
}

void AuthRemoveUser(ChHandle user) {
  if (user == 0) return;  // guests end by time-out only
  EndWhere(State().buckets[size_t(BucketOf(user))],
           [&](const AuthSession& s) { return s.user == user; });
}

void AuthRemoveUserIp(ChHandle user, const St& remote) {
  EndWhere(State().buckets[size_t(BucketOf(user))], [&](const AuthSession& s) {
    return s.user == user && s.remote.View() == remote.View();
  });
}

void AuthRemoveAuthCode(const St& code) {
  for (Bucket& bucket : State().buckets)
    EndWhere(bucket, [&](const AuthSession& s) { return s.code.View() == code.View(); });
}

void AuthRemoveAll() {
  for (Bucket& bucket : State().buckets) EndWhere(bucket, [](const AuthSession&) { return true; });
}

int32_t AuthSessionCount() { return State().count; }
int32_t AuthSessionHighWater() { return State().highWater; }

}  // namespace quil
