// Login sessions, certificates and cookies.
//
// A session ties a browser to a user between requests.  Sessions live in
// memory only, in 256 buckets; the certificate is the session's text as
// carried in every link of a page:
//
//   [bucket "."] code ["-" tag] "^" sequence      a user's session
//   "^" counter  or  "-" tag "^" counter          a guest
//
// The bucket and "." appear only when the code has at least three
// characters.  The sequence grows each time the session writes a new
// certificate.
//
// What a session needs to know about its user (is the record still a legal
// user, its own logout time, whether it checks the remote address, a login
// to count) and about the site (the sysop's time-out and address check, the
// root's running sequence) comes through AuthHooks, which the user store
// installs; tests install their own.
//
// Thread use: everything here runs under the run lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "Ch.h"
#include "St.h"

namespace quil {

constexpr int kAuthBuckets = 256;
constexpr int kAuthCodeLength = 11;
// Placement of the eleven code characters (each the previous plus seven,
// modulo eleven).
constexpr int kAuthCodeOrder[kAuthCodeLength] = {0, 7, 3, 10, 6, 2, 9, 5, 1, 8, 4};

// ---------------------------------------------------------------------------
// Session codes.

// The code alphabet: "a"-"z", "A"-"Z", "0"-"9" repeated over 256 entries.
char AuthCodeChar(uint8_t byte);
// The eleven characters from the first six bytes of digest and five groups
// of six bits of sequence (low end first), placed in kAuthCodeOrder.
St AuthCodeFromDigest(const uint8_t digest[16], uint32_t sequence);
// The code of the MD5 digest of the sixteen bytes of counter, systemTime,
// timeOfDay and random (each most significant byte first), with sequence as
// above.
St AuthCodeFromInputs(uint32_t counter, uint32_t systemTime, uint32_t timeOfDay, uint32_t random,
                      uint32_t sequence);
// A new code: a call counter, the system time in milliseconds, the time of
// day in microseconds and four random bytes.
St AuthNewCode(uint32_t sequence);

// ---------------------------------------------------------------------------
// Certificates.

struct AuthCertParts {
  int bucket = -1;        // -1 when the certificate names none
  St code;                // empty for a guest
  St tag;                 // nil when there is no tag
  uint32_t sequence = 0;  // the guest counter for a guest
};

// Splits cert; false for text that is not a certificate (nil or empty, a
// bad bucket or sequence, no "^").
[[nodiscard]] bool AuthParse(const St& cert, AuthCertParts* parts);
// Builds the text of a certificate.
St AuthConstruct(int bucket, const St& code, const St& tag, uint32_t sequence);
// The tag of a certificate, nil when it has none.
St AuthTag(const St& cert);
// A new guest certificate carrying tag (nil for none) with the next guest
// counter.
St AuthGuest(const St& tag);
// The guest counter AuthGuest used last.
uint32_t AuthGuestCounter();

// ---------------------------------------------------------------------------
// Cookies.

// "Set-Cookie: quilUser=" + name in hexadecimal + "@" + digest in
// hexadecimal + "; path=/" CR LF.
St AuthCookieLine(const St& name, const St& digest);
// Reads a Cookie header keyword by keyword; for "quilUser" (any case)
// decodes name and digest.  False when there is no such cookie or its
// value does not decode.
[[nodiscard]] bool AuthCookieParse(const St& header, St* name, St* digest);

// ---------------------------------------------------------------------------
// Sessions.

// What the session table asks of the user store and the site.  Every hook
// must be set before sessions are used (AuthSetHooks).
struct AuthHooks {
  std::function<bool(ChHandle user)> userIsLegal;
  std::function<int32_t(ChHandle user)> userLogoutSeconds;
  std::function<bool(ChHandle user)> userChecksRemote;
  std::function<void(ChHandle user)> countLogin;
  std::function<int32_t()> sysopLogoutSeconds;
  std::function<bool()> sysopChecksRemote;
  std::function<uint32_t()> nextSequence;  // the root's running sequence
  std::function<St(ChHandle user)> userName;  // for log lines
  std::function<bool()> logRequests;
  std::function<void(const St& line)> log;
  // Copies a new session to mirror servers; may be empty.
  std::function<void(ChHandle user, const St& code)> replicate;
};
void AuthSetHooks(AuthHooks hooks);
// Replaces the login counter alone: the journaling layer installs its own
// once the database is open, so that a login's count reaches the log.
void AuthSetLoginCounter(std::function<void(ChHandle user)> count);

// Held for the template language's per-session variables; created on
// first use by its owner.
struct AuthSessionObject {
  virtual ~AuthSessionObject() = default;
};

// A login session, or a guest visit's session (user 0, no code, sequence
// the guest counter of its certificate, bucket that counter modulo 256).
struct AuthSession {
  ChHandle user = 0;
  bool temporary = false;
  St code;
  St remote;
  int64_t lastUse = 0;  // seconds
  int64_t created = 0;
  int bucket = 0;
  uint32_t sequence = 0;
  std::unique_ptr<AuthSessionObject> object;
  int server = 0;
};

// The live session with code in bucket (all buckets for -1) as seen from
// remote; sessions found dead on the way are ended.  Null when none.
AuthSession* AuthLookupCert(int bucket, const St& code, const St& remote);
// True, with the time of last use refreshed, when user has a live session
// for remote.
bool AuthLookupUser(ChHandle user, const St& remote);
// Finds or creates user's session and writes its next certificate into
// *cert (whose tag and sequence it reads).  reason goes to the log line.
void AuthInstallUser(ChHandle user, const St& remote, St* cert, bool temporary,
                     const St& reason);
// The user of a certificate, or 0.  A certificate without a live session
// is replaced by a guest certificate with its tag; *madeGuest tells.
ChHandle AuthenticateUser(St* cert, const St& remote, bool* madeGuest);
// The session object of a live session (created by make on first use).  A
// guest certificate gets a session of its own here the first time; it
// lives until the sysop's time-out, refreshed by AuthenticateUser.
AuthSessionObject* AuthGetSession(const St& cert, const St& remote,
                                  const std::function<std::unique_ptr<AuthSessionObject>()>& make);
// End the sessions of a user, of a user at an address, of one code.
void AuthRemoveUser(ChHandle user);
void AuthRemoveUserIp(ChHandle user, const St& remote);
void AuthRemoveAuthCode(const St& code);
// Ends every session (a restart of the request layer).
void AuthRemoveAll();

// Current sessions and their high-water mark.
int32_t AuthSessionCount();
int32_t AuthSessionHighWater();

// Replaces the clock (seconds) behind session times; null restores it.
void AuthSetClock(int64_t (*now)());

// ---------------------------------------------------------------------------
// The store's side (AuthUser.cc): users are records of the open root, whose
// settings and records the hooks read (installed when the root opens,
// ForumUsersOnOpen).

struct ForumRootRec;
using ForumRoot = ForumRootRec*;

// The cookie line for user, or nil: only for a registered user, when the
// request brought no cookie (cookieReceived false), and when both the
// sysop and the user allow cookies.
St AuthSetCookie(ForumRoot root, ChHandle user, bool cookieReceived);
// The user named by the "quilUser" cookie of a Cookie header, or 0: only
// when the sysop allows cookies, the stored digest equals the cookie's and
// the user takes cookies.
ChHandle AuthCookieLookup(ForumRoot root, const St& header);

// Filters are named templates run with the request's variables; the
// template layer registers the runner.  The runner gives false when there
// is no template of that name, else its output in *output.
using AuthFilterRunFn = std::function<bool(const char* name, St* output)>;
void AuthSetFilterRunner(AuthFilterRunFn fn);
// The filters a site may define.
constexpr char kAuthFilterAuthenticate[] = "authenticateFilter";
constexpr char kAuthFilterLogin[] = "loginFilter";
constexpr char kAuthFilterLoginFailure[] = "loginFailureFilter";
constexpr char kAuthFilterRegisterFailure[] = "registerFailureFilter";
constexpr char kAuthFilterRegisterProcess[] = "registerProcessFilter";
constexpr char kAuthFilterPreferencesProcess[] = "preferencesProcessFilter";
constexpr char kAuthFilterHttpBasicNew[] = "httpBasicNewFilter";
// Runs filter name: true, with the output in *response, when the output
// begins (ignoring case) with "<HTML>" or "HTTP" and so answers the request
// itself.
[[nodiscard]] bool FilterCheck(const char* name, St* response);
// Runs "authenticateFilter": a response of its own goes to *response (true
// in *answered); other output is a user's unique identifier in hexadecimal,
// whose live user is returned (0 otherwise).
ChHandle AuthenticateFilter(ForumRoot root, St* response, bool* answered);

// One request's authentication, in order: HTTP basic authorization (when
// allowed and the request carries a name and password), else the URL's
// certificate (a missing or unknown one becomes a guest certificate); with
// no user yet the cookie, then "authenticateFilter" (which may also answer
// the request); a user found by basic authorization, cookie or filter is
// installed, which gives the certificate for the page's links.  A browser
// whose agent text holds "AOL" has its address cleared first.
struct AuthRequest {
  // In.
  St cert;           // the URL's certificate (nil when none); out: the page's
  St remote;         // the remote address; out: cleared for AOL browsers
  St agent;          // the user agent text
  St basicName;      // HTTP basic authorization, nil when none
  St basicPassword;
  bool basicAllowed = false;  // the site accepts basic authorization
  int command = 0;            // the request's command number
  St cookieHeader;            // the Cookie header, nil when none
  // Out.
  ChHandle user = 0;
  bool madeGuest = false;  // a guest certificate was made for this request
  St response;             // a filter's whole response, nil when none
  St errorTitle;           // an error page to show instead (nil: none)
  St errorText;
};
// Commands on which the sysop may act as the user of the URL's certificate
// while authorized as the sysop by basic authorization.
constexpr int kAuthCmdPreferences = 25;
constexpr int kAuthCmdPreferencesSave = 26;
void AuthenticateRequest(ForumRoot root, AuthRequest* request);

// The log line of a successful authentication step, written when the sysop
// logs authentication: what + " User=" + the user's identifier in
// hexadecimal + " " + type + " " + name.  The text is returned (nil when
// logging is off).
St AuthLogAuthenticated(ForumRoot root, const St& what, ChHandle user);

}  // namespace quil
