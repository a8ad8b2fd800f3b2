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
