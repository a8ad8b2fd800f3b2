// The people's actions: the login form and the login (15, 23), the
// registration form and the registration (18, 20), the preferences form and
// their processing (25, 26) with the log-out, the page of a saved post that
// could not be replayed (45), and the login-to-post form of a guest who
// posts under a registered name.
//
// Every change goes through the journaling setters (FrmBkUser...).  Pages
// come from the page types of the template layer (login, register,
// loginToPost, editPreferences, editedPreferences); the welcome and
// registration-complete pages are the site's "greeting" and "registered"
// macros when it defines them, else message pages.
//
// LOG-OUT.  Command 25 with the form field "logout" (a link
// "?25@@!logout=1", which carries the certificate like every link of 25)
// ends the session of the certificate, makes the page's certificate a new
// guest one with the old tag, tells the browser to forget the login cookie
// ("Set-Cookie: quilUser=; path=/; expires=" a date in 1970) and shows the
// login form.  The log-out rides on 25 because 15 and 23 never carry a
// certificate, and a log-out must know which session to end.
#include <string>

#include "Auth.h"
#include "CgiInt.h"
#include "FrmBk.h"
#include "Img.h"

namespace quil {

namespace {

// Page types of the template layer.
constexpr int kPageLogin = 1;
constexpr int kPageLoginToPost = 4;
constexpr int kPageRegister = 5;
constexpr int kPageEditedPreferences = 45;
// Login and registration states (kExprLoginTypes, kExprRegisterTypes).
constexpr int kLoginNormal = 0;
constexpr int kLoginFailure = 1;
constexpr int kLoginNoRegister = 3;
constexpr int kRegisterNormal = 0;
constexpr int kRegisterFailure = 1;
constexpr int kRegisterNoName = 2;
constexpr int kRegisterDuplicateName = 3;
constexpr int kRegisterInvalidName = 4;
constexpr int kRegisterNoEmail = 5;
constexpr int kRegisterBadEmail = 6;
constexpr int kRegisterNoPassword = 7;
constexpr int kRegisterBadPassword = 8;
// The preference messages (ExprPrefsForm, in keyword order).
constexpr int kPrefsRenameMessage = 0;
constexpr int kPrefsNewName = 1;
constexpr int kPrefsEmailError = 2;
constexpr int kPrefsNewEmail = 3;
constexpr int kPrefsPasswordError = 6;
constexpr int kPrefsPasswordMessage = 7;

// Profile texts are cut to this many bytes (the bio is the longest a page
// shows; longer texts only bloat every page that shows the author).
constexpr int32_t kPrefsTextMax = 4000;
// Bounds of the numeric preferences: at least a minute before an idle
// session ends (less would end it between two pages), at most 30 days;
// at most the messages the long listing (128) shows.
constexpr int32_t kLogoutTimeMin = 60;
constexpr int32_t kLogoutTimeMax = 30 * 24 * 3600;
constexpr int32_t kMaxMessagesMax = 32000;
constexpr int32_t kRespSizeMax = 1000;

constexpr char kPasswordIsName[] = "The password cannot be the same as the user's name";
constexpr char kExpiredCookie[] =
    "Set-Cookie: quilUser=; path=/; expires=Thu, 01 Jan 1970 00:00:00 GMT";

St Cat(std::string_view a, std::string_view b, std::string_view c = {}) {
  std::string s;
  s.reserve(a.size() + b.size() + c.size());
  s.append(a).append(b).append(c);
  return StFromView(s);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

St Field(const CgiRequest& r, std::string_view name) {
  St v = GetValueFromName(r.form, name);
  return v.IsNil() ? StCreate() : v;
}
St Trimmed(const CgiRequest& r, std::string_view name) { return StStripBlanks(Field(r, name)); }

// The item a page of r is about: the location, or the location a kept
// request ("command@location") carries.
ForumFile PagePath(const CgiRequest& r) {
  St commandText, rest;
  if (CgiKeptRequest(r.location, &commandText, &rest)) return CgiOpenLocation(r.root, rest);
  return CgiOpenLocation(r.root, r.location);
}

void NewPage(CgiRequest& r) {
  BufOpen(r.page);
  r.html = true;
  r.pageComplete = false;
  r.contentType = St();
}

// A filter's answer is the whole page (or the whole response).
void Answer(CgiRequest& r, St answer) {
  NewPage(r);
  BufAddS(r.page, std::move(answer));
  r.pageComplete = true;
  r.noCache = true;
}

// Inserts html into r's page: right after the first marker (and the line
// break that follows it), or before the last one.  Nothing when the page
// has no marker (a site's own template).
void PageInsert(CgiRequest& r, std::string_view marker, bool after, const std::string& html) {
  std::string text = BufClose(r.page).Str();
  size_t at = after ? text.find(marker) : text.rfind(marker);
  if (at != std::string::npos) {
    if (after) {
      at += marker.size();
      if (at < text.size() && text[at] == '\n') ++at;
    }
    text.insert(at, html);
  }
  BufOpen(r.page);
  BufAddS(r.page, StFromView(text));
}

void LoginForm(CgiRequest& r, int loginType) {
  ForumFile path = PagePath(r);
  NewPage(r);
  r.noCache = true;
  BufAddTemplateLogin(r.page, TemplateForPage(kPageLogin, path), r.user, r.cert, path, &r,
                      r.location, loginType);
}

void RegisterForm(CgiRequest& r, int registerType, const St& message) {
  ForumFile path = PagePath(r);
  NewPage(r);
  r.noCache = true;
  BufAddTemplateRegister(r.page, TemplateForPage(kPageRegister, path), r.user, r.cert, path, &r,
                         r.location, registerType);
  if (message.Empty()) return;
  // A message of the handler's own (the registration state names the kind
  // of refusal, not its words) goes right after the page's heading.
  PageInsert(r, "</h1>", true,
             "<p class=\"error\" role=\"alert\">" + StToSgml(message).Str() + "</p>\n");
}

// The site's macro name for the page when it defines one (rendered with the
// request's user), else a message page.
void SitePageOr(CgiRequest& r, const char* macro, std::string_view title, const St& message) {
  ForumFile path = PagePath(r);
  TemplateRef t;
  NewPage(r);
  if (TemplateFileLookup(StCStrXfm(macro), path, &t)) {
    BufAddTemplateActionPath(r.page, t, r.user, r.cert, path, &r, r.location);
    return;
  }
  CgiErrorPage(r, title, message.View());
  // A way on, whose link carries the new session's certificate; it goes
  // at the end of the page's main part (a site's error template without
  // one gets none).
  PageInsert(r, "</main>", false, "<p><a class=\"button\" href=\"?14@@\">Go to the conference</a></p>\n");
}

// The user of the request becomes user, with a session of its own whose
// certificate goes into the page's links.
void InstallUser(CgiRequest& r, ChHandle user, const char* reason) {
  CgiSetUser(r, user);
  St cert = r.cert;
  AuthInstallUser(user, r.remote, &cert, false, StCStrXfm(reason));
  r.cert = cert.IsNil() ? StCreate() : cert;
  r.madeGuest = false;
}

bool PasswordIsName(const St& password, const St& typedName, const St& storedName) {
  return EqualNoCase(password.View(), typedName.View()) ||
         EqualNoCase(password.View(), storedName.View());
}

void Logout(CgiRequest& r) {
  AuthCertParts parts;
  if (AuthParse(r.cert, &parts) && !parts.code.Empty()) AuthRemoveAuthCode(parts.code);
  r.cert = AuthGuest(AuthTag(r.cert));
  CgiSetUser(r, 0);
  r.madeGuest = false;
  r.sendCookie = false;
  if (r.root && ForumSysopUseCookies(r.root)) r.AddResponseHeader(StCStrXfm(kExpiredCookie));
  St headers = r.extraHeaders;
  ForwardAction(r, kCgiCmdLoginForm, StCreate());
  r.extraHeaders = headers;
}

// A registered user (or the sysop acting as one) may keep preferences; a
// guest, named or not, is sent to the login form with the request kept.
bool NeedsRegistered(CgiRequest& r) {
  if (r.user != 0 && ForumUserGetType(r.root, r.user) == kForumUserRegistered) return true;
  CgiKeepAndLogin(r);
  return false;
}

// Adds the new user to the groups named in registerGroups (names
// separated by commas or line breaks) that the site's registration page
// offers: a site that lets new users choose groups lists them in its
// registration form (check boxes or options whose value is the group's
// name), and only those may be chosen -- a name typed into the request
// would otherwise make anyone a member of any group, moderators and hosts
// included.  The built-in groups are never chosen this way.
void JoinGroups(CgiRequest& r, ChHandle user) {
  std::string list = Field(r, "registerGroups").Str();
  if (list.empty()) return;
  ForumFile path = PagePath(r);
  Buf offer;
  BufOpen(offer);
  BufAddTemplateRegister(offer, TemplateForPage(kPageRegister, path), r.user, r.cert, path, &r,
                         r.location, kRegisterNormal);
  std::string page = BufClose(offer).Str();
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t end = list.find_first_of(",\r\n", pos);
    if (end == std::string::npos) end = list.size();
    St name = StStripBlanks(StFromView(std::string_view(list).substr(pos, end - pos)));
    pos = end + 1;
    if (name.Empty()) continue;
    std::string value = StToSgml(name).Str();
    if (page.find("value=\"" + value + "\"") == std::string::npos &&
        page.find("value='" + value + "'") == std::string::npos)
      continue;
    ChHandle group = ForumGroupLookup(r.root, name);
    if (!group || group == ForumGroupUsers(r.root) || group == ForumGroupGuests(r.root) ||
        group == ForumGroupList(r.root))
      continue;
    (void)FrmBkGroupAddUser(r.root, group, user);
  }
}

// ---------------------------------------------------------------------------
// Preferences.

// Sets a profile text from the form when the field came and differs.
void PrefsText(CgiRequest& r, std::string_view field, St (*get)(ForumRoot, ChHandle),
               void (*set)(ForumRoot, ChHandle, St)) {
  if (!CkHasName(r.form, field)) return;
  St value = Field(r, field);
  if (value.Length() > kPrefsTextMax) value = StSubstr(value, 0, kPrefsTextMax);
  if (get(r.root, r.user).View() == value.View()) return;
  set(r.root, r.user, value.Empty() ? St() : value);
}

// Sets a number from the form when it came as a number, held in [lo, hi].
void PrefsInt(CgiRequest& r, std::string_view field, int32_t lo, int32_t hi,
              int32_t (*get)(ForumRoot, ChHandle), void (*set)(ForumRoot, ChHandle, int32_t)) {
  int32_t value = 0;
  if (!CkGetIntFromName(r.form, field, &value)) return;
  value = value < lo ? lo : value > hi ? hi : value;
  if (get(r.root, r.user) != value) set(r.root, r.user, value);
}

void PrefsName(CgiRequest& r, ExprPrefsForm& prefs) {
  St name = Trimmed(r, "name");
  if (name.Empty() || ForumUserLookup(r.root, name) == r.user) return;
  uint16_t ec = FrmBkUserSetName(r.root, r.user, name);
  if (ec == 0) {
    prefs[kPrefsRenameMessage] =
        Cat("Your name is now ", StToSgml(StNameToFirstLast(ForumUserName(r.root, r.user))).View(), ".");
    return;
  }
  prefs[kPrefsNewName] = name;
  if (ec == kForumUserRenameSysop)
    prefs[kPrefsRenameMessage] = StCStrXfm("The system operator's name cannot be changed.");
  else
    prefs[kPrefsRenameMessage] =
        Cat("The name \"", StToSgml(name).View(), "\" is taken; your name was not changed.");
}

void PrefsEmail(CgiRequest& r, ExprPrefsForm& prefs) {
  if (!CkHasName(r.form, "email")) return;
  St email = Trimmed(r, "email");
  if (email.View() == ForumUserEmail(r.root, r.user).View()) return;
  if (!CgiEmailIsValid(email)) {
    prefs[kPrefsEmailError] = StCStrXfm("Invalid e-mail address");
    prefs[kPrefsNewEmail] = email;
    return;
  }
  FrmBkUserSetEmail(r.root, r.user, email);
}

void PrefsPassword(CgiRequest& r, ExprPrefsForm& prefs) {
  St password = Field(r, "password");
  if (password.Empty()) return;
  if (CkHasName(r.form, "password2") && Field(r, "password2").View() != password.View()) {
    prefs[kPrefsPasswordError] =
        StCStrXfm("The two passwords are not the same; the password was not changed.");
    return;
  }
  if (PasswordIsName(password, ForumUserName(r.root, r.user), Trimmed(r, "name"))) {
    prefs[kPrefsPasswordError] = StCStrXfm(kPasswordIsName);
    return;
  }
  FrmBkUserSetPassword(r.root, r.user, StHashMd5(password));
  prefs[kPrefsPasswordMessage] = StCStrXfm("Your password has been changed.");
  // The browser's cookie holds the old digest: a new one goes out.
  r.cookieReceived = false;
}

// The check boxes of the form: a box that is not checked is not sent, so an
// absent box is off.
void PrefsFlags(CgiRequest& r) {
  uint32_t flags = ForumUserFlags(r.root, r.user);
  uint32_t was = flags;
  auto box = [&](const char* name, uint32_t bit) {
    flags = CkIsChecked(r.form, name) ? (flags | bit) : (flags & ~bit);
  };
  box("showPictures", kForumUserShowPictures);
  box("threading", kForumUserThreading);
  box("showPrepared", kForumUserShowPrepared);
  bool cookies = CkIsChecked(r.form, "useCookies");
  flags = cookies ? (flags & ~kForumUserCookiesOff) : (flags | kForumUserCookiesOff);
  flags |= kForumUserCookieChosen;
  if (flags != was) FrmBkUserSetFlags(r.root, r.user, flags);
  if (!cookies && r.cookieReceived) {
    r.AddResponseHeader(StCStrXfm(kExpiredCookie));
    r.sendCookie = false;
  }
}

St GetSecondLine(ForumRoot root, ChHandle u) { return ForumUser2ndLine(root, u); }
St GetHomePage(ForumRoot root, ChHandle u) { return ForumUserHomePage(root, u); }
St GetBio(ForumRoot root, ChHandle u) { return ForumUserBio(root, u); }
St GetUrls(ForumRoot root, ChHandle u) { return ForumUserUrls(root, u); }
int32_t GetLogoutTime(ForumRoot root, ChHandle u) { return ForumUserLogoutTime(root, u); }
int32_t GetMaxMessages(ForumRoot root, ChHandle u) { return ForumUserMaxMessages(root, u); }
int32_t GetCatForumSeq(ForumRoot root, ChHandle u) { return ForumUserCatForumSeq(root, u); }
int32_t GetRespNameSize(ForumRoot root, ChHandle u) { return ForumUserRespNameSize(root, u); }
int32_t GetRespInfoSize(ForumRoot root, ChHandle u) { return ForumUserRespInfoSize(root, u); }
int32_t GetRespBodySize(ForumRoot root, ChHandle u) { return ForumUserRespBodySize(root, u); }
void SetSecondLine(ForumRoot root, ChHandle u, St v) { FrmBkUserSet2ndLine(root, u, std::move(v)); }
void SetHomePage(ForumRoot root, ChHandle u, St v) { FrmBkUserSetHomePage(root, u, std::move(v)); }
void SetBio(ForumRoot root, ChHandle u, St v) { FrmBkUserSetBio(root, u, std::move(v)); }
void SetUrls(ForumRoot root, ChHandle u, St v) { FrmBkUserSetUrls(root, u, std::move(v)); }
void SetLogoutTime(ForumRoot root, ChHandle u, int32_t v) { FrmBkUserSetLogoutTime(root, u, v); }
void SetMaxMessages(ForumRoot root, ChHandle u, int32_t v) { FrmBkUserSetMaxMessages(root, u, v); }
void SetCatForumSeq(ForumRoot root, ChHandle u, int32_t v) { FrmBkUserSetCatForumSeq(root, u, v); }
void SetRespNameSize(ForumRoot root, ChHandle u, int32_t v) { FrmBkUserSetRespNameSize(root, u, v); }
void SetRespInfoSize(ForumRoot root, ChHandle u, int32_t v) { FrmBkUserSetRespInfoSize(root, u, v); }
void SetRespBodySize(ForumRoot root, ChHandle u, int32_t v) { FrmBkUserSetRespBodySize(root, u, v); }

}  // namespace

bool CgiEmailIsValid(const St& email) {
  std::string_view e = email.View();
  size_t at = e.find('@');
  if (at == std::string_view::npos || at == 0 || e.find('@', at + 1) != std::string_view::npos)
    return false;
  std::string_view domain = e.substr(at + 1);
  size_t dot = domain.find('.');
  if (domain.empty() || dot == std::string_view::npos || dot == 0 || domain.back() == '.' ||
      domain.find("..") != std::string_view::npos)
    return false;
  for (char c : e) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= ' ' || u == 0x7f || c == '<' || c == '>' || c == '(' || c == ')' || c == ',' ||
        c == ';' || c == ':' || c == '"' || c == '[' || c == ']' || c == '\\')
      return false;
  }
  return true;
}

void CgiActLoginForm(CgiRequest& r) { LoginForm(r, kLoginNormal); }

void CgiActLogin(CgiRequest& r) {
  St name = Trimmed(r, "username");
  St password = Field(r, "password");
  bool found = false;
  ChHandle user = 0;
  if (r.root && !name.Empty() && !password.Empty())
    user = ForumUserCheckPassword(r.root, name, password, &found);
  if (user != 0 && ForumUserGetType(r.root, user) != kForumUserRegistered) user = 0;
  St answer;
  if (user == 0) {
    if (FilterCheck(kAuthFilterLoginFailure, &answer)) return Answer(r, std::move(answer));
    return LoginForm(r, kLoginFailure);
  }
  CgiSetUser(r, user);
  bool answered = FilterCheck(kAuthFilterLogin, &answer);
  InstallUser(r, user, " login");
  if (answered) return Answer(r, std::move(answer));
  if (CgiForwardKept(r)) return;
  SitePageOr(r, "greeting", "Welcome",
             Cat("You are logged in as ", StToSgml(StNameToFirstLast(ForumUserName(r.root, user))).View(), "."));
}

void CgiActRegisterForm(CgiRequest& r) {
  if (r.root && !ForumSysopAllowAutoRegister(r.root)) return LoginForm(r, kLoginNoRegister);
  RegisterForm(r, kRegisterNormal, St());
}

void CgiActRegister(CgiRequest& r) {
  if (!r.root || !ForumSysopAllowAutoRegister(r.root)) return LoginForm(r, kLoginNoRegister);
  St answer;
  if (FilterCheck(kAuthFilterRegisterProcess, &answer)) return Answer(r, std::move(answer));
  St name = Trimmed(r, "username");
  St email = Trimmed(r, "email");
  St password = Field(r, "password");
  int refused = kRegisterNormal;
  St message;
  ChHandle user = 0;
  if (name.Empty()) {
    refused = kRegisterNoName;
  } else if (email.Empty()) {
    refused = kRegisterNoEmail;
  } else if (!CgiEmailIsValid(email)) {
    refused = kRegisterBadEmail;
  } else if (password.Empty()) {
    refused = kRegisterNoPassword;
  } else if (PasswordIsName(password, name, StNameToLastCommaFirst(name))) {
    refused = kRegisterBadPassword;
    message = StCStrXfm(kPasswordIsName);
  } else {
    uint16_t ec = FrmBkUserCreate(r.root, kForumUserRegistered, name, email, StHashMd5(password),
                                  &user);
    if (ec == kForumUserNameInUse) refused = kRegisterDuplicateName;
    else if (ec == kForumUserNameIsGroup) refused = kRegisterInvalidName;
    else if (ec != 0) refused = kRegisterFailure;
  }
  if (refused != kRegisterNormal) {
    if (FilterCheck(kAuthFilterRegisterFailure, &answer)) return Answer(r, std::move(answer));
    return RegisterForm(r, refused, message);
  }
  JoinGroups(r, user);
  InstallUser(r, user, " register");
  if (CgiForwardKept(r)) return;
  SitePageOr(r, "registered", "Registration Complete", StCStrXfm("The user has been registered."));
}

void CgiActPrefsForm(CgiRequest& r) {
  if (CkHasName(r.form, "logout")) return Logout(r);
  if (!NeedsRegistered(r)) return;
  ForumFile path = CgiOpenLocation(r.root, r.location);
  NewPage(r);
  r.noCache = true;
  BufAddTemplatePrefs(r.page, TemplateForPage(kTemplatePageEditPreferences, path), r.user, r.cert,
                      path, &r, ExprPrefsForm{});
}

void CgiActPrefs(CgiRequest& r) {
  if (!NeedsRegistered(r)) return;
  St answer;
  if (FilterCheck(kAuthFilterPreferencesProcess, &answer)) return Answer(r, std::move(answer));
  ExprPrefsForm prefs;
  PrefsName(r, prefs);
  PrefsEmail(r, prefs);
  PrefsPassword(r, prefs);
  PrefsText(r, "secondLine", GetSecondLine, SetSecondLine);
  PrefsText(r, "homePage", GetHomePage, SetHomePage);
  PrefsText(r, "bio", GetBio, SetBio);
  PrefsText(r, "urls", GetUrls, SetUrls);
  PrefsInt(r, "logoutTime", kLogoutTimeMin, kLogoutTimeMax, GetLogoutTime, SetLogoutTime);
  PrefsInt(r, "maxMessages", 0, kMaxMessagesMax, GetMaxMessages, SetMaxMessages);
  PrefsInt(r, "folderSortBy", 0, 4, GetCatForumSeq, SetCatForumSeq);
  PrefsInt(r, "respNameSize", 0, kRespSizeMax, GetRespNameSize, SetRespNameSize);
  PrefsInt(r, "respInfoSize", 0, kRespSizeMax, GetRespInfoSize, SetRespInfoSize);
  PrefsInt(r, "respBodySize", 0, kRespSizeMax, GetRespBodySize, SetRespBodySize);
  PrefsFlags(r);
  St pictureError = CgiPrefsPicture(r);
  if (!pictureError.IsNil()) {
    CgiErrorPage(r, "Picture Not Stored", StToSgml(pictureError).View());
    return;
  }
  ForumFile path = CgiOpenLocation(r.root, r.location);
  NewPage(r);
  BufAddTemplatePrefs(r.page, TemplateForPage(kPageEditedPreferences, path), r.user, r.cert, path,
                      &r, std::move(prefs));
}

void CgiActPostFailed(CgiRequest& r) {
  CgiErrorPage(r, "Post Failed",
               "The post kept over the login could not be found: it was posted already, or it "
               "waited longer than an hour.  Please post it again.");
}

void CgiLoginToPost(CgiRequest& r) {
  int mark = PostMark(r);
  St action = Cat(StStIntXfm(mark).View(), "@", r.location.View());
  ForumFile path = CgiOpenLocation(r.root, r.location);
  NewPage(r);
  r.noCache = true;
  BufAddTemplateActionPath(r.page, TemplateForPage(kPageLoginToPost, path), r.user, r.cert, path,
                           &r, action);
}

}  // namespace quil
