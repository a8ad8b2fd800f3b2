// Sessions on the real user store: the session hooks read the root's
// records and settings; cookies; the filter call points; the log lines of
// authentication.
#include <strings.h>

#include "Auth.h"
#include "ForumUserInt.h"
#include "Ht.h"

namespace quil {

namespace {

AuthFilterRunFn& FilterRunner() {
  static AuthFilterRunFn fn;
  return fn;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

}  // namespace

void ForumAuthHooksInstall(ForumRoot root) {
  AuthHooks h;
  h.userIsLegal = [root](ChHandle user) { return ForumUserIsLegal(root, user); };
  h.userLogoutSeconds = [root](ChHandle user) { return ForumUserLogoutTime(root, user); };
  h.userChecksRemote = [root](ChHandle user) {
    return (ForumUserFlags(root, user) & kForumUserNoRemoteCheck) == 0;
  };
  h.countLogin = [root](ChHandle user) { ForumUserIncLogin(root, user); };
  h.sysopLogoutSeconds = [root] { return ForumSysopLogoutTimeout(root); };
  h.sysopChecksRemote = [root] { return ForumSysopCheckRemoteAddr(root); };
  h.nextSequence = [root] { return ForumRootNextSequence(root); };
  h.userName = [root](ChHandle user) { return ForumUserName(root, user); };
  h.logRequests = [root] { return ForumSysopLogRequest(root); };
  h.log = [](const St& line) { Wf_log_write("%s", line.CStr()); };
  AuthSetHooks(std::move(h));
  ForumUserStateOf(root).hooksInstalled = true;
}

void ForumAuthHooksRemove(ForumRoot) {
  AuthRemoveAll();
  AuthSetHooks(AuthHooks());
}

St AuthSetCookie(ForumRoot root, ChHandle user, bool cookieReceived) {
  if (cookieReceived || ForumUserGetType(root, user) != kForumUserRegistered) return St();
  if (!ForumSysopUseCookies(root) || !ForumUserCookiesOn(root, user)) return St();
  St digest = ForumUserPassword(root, user);
  if (digest.IsNil()) return St();
  return AuthCookieLine(ForumUserName(root, user), digest);
}

ChHandle AuthCookieLookup(ForumRoot root, const St& header) {
  if (!ForumSysopUseCookies(root)) return 0;
  St name, digest;
  if (!AuthCookieParse(header, &name, &digest)) return 0;
  ChHandle user = ForumUserLookup(root, name);
  if (ForumUserGetType(root, user) != kForumUserRegistered) return 0;
  St stored = ForumUserPassword(root, user);
  if (stored.IsNil() || stored.View() != digest.View()) return 0;
  return ForumUserCookiesOn(root, user) ? user : 0;
}

void AuthSetFilterRunner(AuthFilterRunFn fn) { FilterRunner() = std::move(fn); }

bool FilterCheck(const char* name, St* response) {
  St output;
  if (!FilterRunner() || !FilterRunner()(name, &output)) return false;
  std::string_view text = output.View();
  if (!StartsWithNoCase(text, "<HTML>") && !StartsWithNoCase(text, "HTTP")) return false;
  *response = std::move(output);
  return true;
}

ChHandle AuthenticateFilter(ForumRoot root, St* response, bool* answered) {
  *answered = false;
  St output;
  if (!FilterRunner() || !FilterRunner()(kAuthFilterAuthenticate, &output)) return 0;
  std::string_view text = output.View();
  if (StartsWithNoCase(text, "<HTML>") || StartsWithNoCase(text, "HTTP")) {
    *response = std::move(output);
    *answered = true;
    return 0;
  }
  uint32_t id = 0;
  if (!StHexStXfm(StStripBlanks(std::move(output)), &id) || id == 0) return 0;
  ChHandle user = ForumRecFromUniqueId(root, int32_t(id));
  return ForumUserIsLegal(root, user) ? user : 0;
}

namespace {

St Cat(std::string_view a, std::string_view b) { return StFromView(std::string(a) + std::string(b)); }

// Step 1: basic authorization.  False when the request was answered (a
// filter's response or the auto-registration error).
bool AuthenticateBasic(ForumRoot root, AuthRequest* r) {
  // The name is looked up as the password check does (by name, then as an
  // e-mail address); only a name found neither way is new.
  bool found = false;
  ChHandle user = ForumUserCheckPassword(root, r->basicName, r->basicPassword, &found);
  if (!found) {
    if (FilterCheck(kAuthFilterHttpBasicNew, &r->response)) return false;
    ChHandle created = 0;
    uint16_t status = ForumUserCreate(root, kForumUserRegistered, r->basicName, St(),
                                      StHashMd5(r->basicPassword), &created);
    if (status != 0) {
      r->errorTitle = StCStrXfm("Auto-registration error");
      r->errorText = Cat("Auto-registration for basic authorization failed: ",
                         std::to_string(status));
      return false;
    }
    user = ForumUserCheckPassword(root, r->basicName, r->basicPassword, &found);
  }
  ChHandle asUser = 0;
  if (user != 0 && ForumUserGetSysop(root, user) &&
      (r->command == kAuthCmdPreferences || r->command == kAuthCmdPreferencesSave)) {
    bool guest = false;
    St cert = r->cert;
    asUser = AuthenticateUser(&cert, r->remote, &guest);
  }
  if (asUser != 0) {
    r->user = asUser;
    return true;
  }
  r->cert = AuthGuest(AuthTag(r->cert));
  r->madeGuest = user == 0;
  if (user != 0) {
    (void)AuthLogAuthenticated(root, StCStrXfm(" Authenticate via HTTP basic: "), user);
    AuthInstallUser(user, r->remote, &r->cert, false, StCStrXfm(" basic"));
    r->user = user;
  }
  return true;
}

}  // namespace

void AuthenticateRequest(ForumRoot root, AuthRequest* r) {
  r->user = 0;
  r->madeGuest = false;
  if (r->agent.View().find("AOL") != std::string_view::npos) {
    if (ForumSysopLogAuthentication(root))
      Wf_log_write(" Authenticate for AOL browser, IP was: %s", r->remote.CStr());
    r->remote = StCreate();
  }
  if (r->basicAllowed && !r->basicName.Empty() && !r->basicPassword.IsNil()) {
    // A refused password leaves a guest, whom the cookie or the filter may
    // still name.
    if (!AuthenticateBasic(root, r) || r->user != 0) return;
  } else {
    St presented = r->cert;
    r->user = AuthenticateUser(&r->cert, r->remote, &r->madeGuest);
    if (r->user != 0) {
      (void)AuthLogAuthenticated(
          root,
          Cat(" Authenticate via Quil authCert: ", presented.Str() + " IP:" + r->remote.Str()),
          r->user);
      return;
    }
  }
  ChHandle user = 0;
  St reason;
  if (!r->cookieHeader.IsNil()) {
    user = AuthCookieLookup(root, r->cookieHeader);
    if (user != 0) {
      (void)AuthLogAuthenticated(root, Cat(" Authenticate via Quil cookie: ", r->cookieHeader.View()),
                                 user);
      reason = StCStrXfm(" cookie");
    }
  }
  if (user == 0) {
    bool answered = false;
    user = AuthenticateFilter(root, &r->response, &answered);
    if (answered) return;
    if (user != 0) reason = StCStrXfm(" filter");
  }
  if (user == 0) return;
  AuthInstallUser(user, r->remote, &r->cert, false, reason);
  r->user = user;
}

St AuthLogAuthenticated(ForumRoot root, const St& what, ChHandle user) {
  if (!ForumSysopLogAuthentication(root)) return St();
  std::string line(what.View());
  line += " User=";
  line += StHexNoZerosIntXfm(uint32_t(ForumUserUniqueId(root, user))).View();
  line += ' ';
  if (ForumUserIsRecord(user)) line += LgDbFieldIdText(LgDbRecGetTextId(user, root->f.Type)).View();
  line += ' ';
  line += ForumUserName(root, user).View();
  St result = StFromView(line);
  Wf_log_write("%s", result.CStr());
  return result;
}

}  // namespace quil
