// The sysop's log-in (94, 95), the control panel (59) and the first-start
// wizard (78, 81, 84, 85).
//
// Decisions:
//   - A site is new while the sysop's password is still the factory one
//     (SysopOnFactoryPassword).  The sysop's log-in on such a site leads to
//     the wizard (unless the log-in keeps a request, which comes first), and
//     the control panel says that the wizard is not finished.  The wizard's
//     password step refuses the factory password, so that finishing it is
//     what ends the "new" state.
//   - The wizard's steps: welcome (78, with the images form), images and
//     e-mail (both posted to 81, told apart by the field "step"), general
//     settings (the page type "startupGeneral", posted to 85), the sysop's
//     password (84) and the conclusion.
//   - A failed sysop log-in answers the log-in form again with the request
//     it keeps, and the message "The name or password is not correct."; a
//     user who is not the sysop gets "Only a system operator may log in
//     here." on the same form.
#include <string>

#include "Auth.h"
#include "CgiSysopInt.h"
#include "Ec.h"
#include "ForumUser.h"
#include "FrmBk.h"
#include "Template.h"

namespace quil {

namespace {

std::string Field(const CgiRequest& r, std::string_view name) {
  St v = GetValueFromName(r.form, name);
  return v.IsNil() ? std::string() : std::string(v.View());
}

// The location as written into a link of this script: "/" and "@" stay
// readable (a kept request is command "@" location); what would end or
// split the request text is encoded.
std::string LinkLocation(const St& location) {
  if (location.Empty()) return std::string();
  return SysopEsc(StToUrlQuoteC(location, " #?&+!\"<>'"));
}

void LoginForm(CgiRequest& r, std::string_view error) {
  SysopPageBegin(r, "Sysop log-in");
  St heading = r.root ? ForumSysopHtmlPassword(r.root) : St();
  if (!heading.Empty()) SysopPageAdd(r, std::string(heading.View()) + "\n");
  if (!error.empty()) SysopPageError(r, error);
  std::string h = "<form class=\"form\" method=\"post\" action=\"?95@@" + LinkLocation(r.location) +
                  "\">\n<label for=\"username\">Sysop name</label>\n"
                  "<input id=\"username\" name=\"username\" autocomplete=\"username\" required "
                  "value=\"" +
                  SysopEsc(GetValueFromName(r.form, "username")) +
                  "\">\n<label for=\"password\">Password</label>\n"
                  "<input id=\"password\" name=\"password\" type=\"password\" "
                  "autocomplete=\"current-password\" required>\n"
                  "<div class=\"actions\"><button type=\"submit\">Log in</button></div>\n"
                  "</form>\n</main>\n";
  SysopPageAdd(r, h);
}

void WizardSteps(CgiRequest& r, int current) {
  static const char* const kSteps[] = {"Welcome", "Images", "E-mail", "General settings",
                                       "Sysop password", "Done"};
  std::string h = "<ol class=\"steps\" aria-label=\"Setting up\">";
  for (int i = 0; i < 6; ++i) {
    h += i == current ? "<li aria-current=\"step\"><strong>" : "<li>";
    h += kSteps[i];
    h += i == current ? "</strong></li>" : "</li>";
  }
  h += "</ol>\n";
  SysopPageAdd(r, h);
}

void ImagesPage(CgiRequest& r, std::string_view error, const std::string& posted) {
  SysopPageBegin(r, "Setting up: images");
  WizardSteps(r, 1);
  if (!error.empty()) SysopPageError(r, error);
  St dir = ForumSysopImagesDir(r.root);
  std::string value = !posted.empty() ? posted : dir.Empty() ? "/Images" : std::string(dir.View());
  SysopPageAdd(r,
               "<p>The pictures of the site's buttons are served from this directory of the web "
               "server (a URL path).</p>\n"
               "<form class=\"form\" method=\"post\" action=\"?81@@\">\n"
               "<input type=\"hidden\" name=\"step\" value=\"images\">\n"
               "<label for=\"imagesDir\">Images directory</label>\n"
               "<input id=\"imagesDir\" name=\"imagesDir\" required value=\"" +
                   SysopEsc(value) +
                   "\">\n<div class=\"actions\"><button type=\"submit\">Continue</button></div>\n"
                   "</form>\n</main>\n");
}

void EmailPage(CgiRequest& r, std::string_view error, const std::string& posted) {
  SysopPageBegin(r, "Setting up: e-mail");
  WizardSteps(r, 2);
  if (!error.empty()) SysopPageError(r, error);
  St email = ForumSysopEmailAddress(r.root);
  std::string value = !posted.empty() ? posted : email.IsNil() ? std::string() : std::string(email.View());
  SysopPageAdd(r,
               "<p>The address that the site's mail comes from, and where mail for the sysop "
               "goes.</p>\n"
               "<form class=\"form\" method=\"post\" action=\"?81@@\">\n"
               "<input type=\"hidden\" name=\"step\" value=\"email\">\n"
               "<label for=\"sysopEmail\">The sysop's e-mail address</label>\n"
               "<input id=\"sysopEmail\" name=\"sysopEmail\" type=\"email\" value=\"" +
                   SysopEsc(value) +
                   "\">\n<div class=\"actions\"><button type=\"submit\">Continue</button></div>\n"
                   "</form>\n</main>\n");
}

void GeneralPage(CgiRequest& r, std::string_view error) {
  BufOpen(r.page);
  r.html = true;
  r.pageComplete = false;
  r.noCache = true;
  if (error.empty()) {
    BufAddTemplatePage(r.page, 64, r.user, r.cert, ForumFile(), &r);
  } else {
    BufAddTemplateErrMsg(r.page, TemplateForPage(64, ForumFile()), r.user, r.cert, ForumFile(),
                         &r, StFromView(error));
  }
}

void PasswordPage(CgiRequest& r, std::string_view error) {
  SysopPageBegin(r, "Setting up: the sysop's password");
  WizardSteps(r, 4);
  if (!error.empty()) SysopPageError(r, error);
  SysopPageAdd(r,
               "<p>A new site starts with a password that everybody knows. Choose the sysop's "
               "own password now.</p>\n"
               "<form class=\"form\" method=\"post\" action=\"?84@@\">\n"
               "<label for=\"password\">New password</label>\n"
               "<input id=\"password\" name=\"password\" type=\"password\" "
               "autocomplete=\"new-password\" required>\n"
               "<label for=\"password2\">The new password again</label>\n"
               "<input id=\"password2\" name=\"password2\" type=\"password\" "
               "autocomplete=\"new-password\" required>\n"
               "<div class=\"actions\"><button type=\"submit\">Continue</button></div>\n"
               "</form>\n</main>\n");
}

bool LooksLikeEmail(std::string_view v) {
  size_t at = v.find('@');
  return at != 0 && at != std::string_view::npos && at + 1 < v.size() &&
         v.find_first_of(" \t<>\"") == std::string_view::npos;
}

}  // namespace

// ---------------------------------------------------------------------------
// Log-in.

void CgiActSysopLoginForm(CgiRequest& r) { LoginForm(r, {}); }

void CgiActSysopLogin(CgiRequest& r) {
  r.noCache = true;
  // A request without the form (a bookmark of the form's address) gets the
  // form itself.
  if (!CkHasName(r.form, "username") && !CkHasName(r.form, "password")) return LoginForm(r, {});
  std::string name = SysopTrimmed(r, "username");
  std::string password = Field(r, "password");
  bool found = false;
  ChHandle user = 0;
  if (!name.empty() && !password.empty() && r.root)
    user = ForumUserCheckPassword(r.root, StFromView(name), StFromView(password), &found);
  if (!user) {
    LoginForm(r, "The name or password is not correct.");
    return;
  }
  if (!ForumUserGetSysop(r.root, user)) {
    LoginForm(r, "Only a system operator may log in here.");
    return;
  }
  AuthInstallUser(user, r.remote, &r.cert, false, StCStrXfm(" sysopLogin"));
  CgiSetUser(r, user);
  r.form.clear();
  r.uploads.clear();
  if (CgiForwardKept(r)) return;
  ForwardAction(r, SysopOnFactoryPassword(r.root, user) ? 78 : 59, St());
}

// ---------------------------------------------------------------------------
// The control panel.

void CgiActSysopControls(CgiRequest& r) {
  if (SysopRefused(r)) return;
  SysopPageBegin(r, "Control panel");
  if (SysopOnFactoryPassword(r.root, r.user))
    SysopPageAdd(r,
                 "<p class=\"error\" role=\"alert\">The sysop still has the password that every "
                 "new site starts with. <a href=\"?78@@\">Finish setting up the site</a>.</p>\n");
  auto onOff = [](bool on) { return on ? "on" : "off"; };
  auto switchRow = [&](int command, const char* what, bool on) {
    return std::string("<li>") + what + " is " + onOff(on) + ". <a href=\"?" +
           std::to_string(command) + "@@" + (on ? "off" : "on") + "\">Turn it " +
           (on ? "off" : "on") + "</a></li>\n";
  };
  std::string h = "<section><h2>Settings</h2>\n<ul class=\"sysop-links\">\n";
  static const int kShow[] = {63, 46, 62, 105, 107, 109, 111, 113, 101, 228,
                              226, 186, 188, 231, 245, 247, 197, 208, 133};
  for (int command : kShow) {
    const SysopForm* form = SysopFormFind(command);
    if (!form) continue;
    h += "<li><a href=\"?" + std::to_string(command) + "@@\">" + SysopEsc(form->title) +
         "</a></li>\n";
  }
  h += "</ul></section>\n<section><h2>Switches</h2>\n<ul class=\"sysop-switches\">\n";
  h += switchRow(90, "The log file", ForumSysopLogFile(r.root));
  h += switchRow(92, "Request logging", ForumSysopLogRequest(r.root));
  h += switchRow(93, "Post logging", ForumSysopLogPost(r.root));
  h += switchRow(96, "Template use", ForumSysopUseTemplates(r.root));
  h += switchRow(201, "Request-time logging", ForumSysopShowTimes(r.root));
  h += switchRow(205, "TCP session recording", ForumSysopSessRecord(r.root));
  h += switchRow(206, "TCP stream recording", ForumSysopSessRecordData(r.root));
  h += switchRow(210, "Mirror-synchronisation logging", ForumSysopLogSynch(r.root));
  h += switchRow(211, "Post tracking", ForumSysopTrackUserPosts(r.root));
  h += "<li><a href=\"?99@@\">Reset the queues and the file cache</a></li>\n";
  h += "</ul></section>\n<section><h2>Users</h2>\n<ul class=\"sysop-links\">\n"
       "<li><a href=\"?129@@\">Edit a user's preferences</a></li>\n"
       "<li><a href=\"?70@@\">Set a user's password</a></li>\n"
       "<li><a href=\"?72@@\">Remove a user</a></li>\n"
       "<li><a href=\"?74@@\">Clear a user's picture</a></li>\n"
       "<li><a href=\"?118@@\">User groups</a></li>\n"
       "<li><a href=\"?115@@\">Access list of the top level</a></li>\n"
       "<li><a href=\"?131@@\">Statistics</a></li>\n"
       "<li><a href=\"?214@@\">Look up users</a></li>\n"
       "<li><a href=\"?212@@\">Export the users</a></li>\n"
       "<li><a href=\"?216@@\">Index of e-mail addresses</a></li>\n"
       "</ul></section>\n<section><h2>Site</h2>\n<ul class=\"sysop-links\">\n"
       "<li><a href=\"?219@@\">Backup status</a></li>\n"
       "<li><a href=\"?190@@\">Mirror synchronisation</a></li>\n"
       "<li><a href=\"?207@@\">Chat status</a></li>\n"
       "<li><a href=\"?237@@\">Spider status</a></li>\n"
       "<li><a href=\"?78@@\">First-start wizard</a></li>\n"
       "<li><a href=\"?14@@\">The top level</a></li>\n</ul></section>\n</main>\n";
  SysopPageAdd(r, h);
}

// ---------------------------------------------------------------------------
// The first-start wizard.

void CgiActSysopStartupWelcome(CgiRequest& r) {
  if (SysopRefused(r)) return;
  SysopPageBegin(r, std::string("Welcome to ") + kEcProductName);
  WizardSteps(r, 0);
  SysopPageAdd(r,
               "<p>These pages set up the new site one step at a time: where the button "
               "pictures are, the sysop's e-mail address, the site's title and who may use it, "
               "and the sysop's own password. Each page stores its step when you continue; "
               "everything can be changed later in the control panel.</p>\n");
  SysopPageAdd(r, "<p><a class=\"button\" href=\"?81@@\">Begin</a></p>\n</main>\n");
}

void CgiActSysopStartupImages(CgiRequest& r) {
  if (SysopRefused(r)) return;
  std::string step = SysopTrimmed(r, "step");
  if (step == "images") {
    std::string dir = SysopTrimmed(r, "imagesDir");
    if (dir.empty()) return ImagesPage(r, "You must give the images directory.", dir);
    if (dir.size() > size_t(kSysopLineMax))
      return ImagesPage(r, "The images directory is too long.", {});
    if (dir.find_first_of(" \t\r\n<>\"") != std::string::npos)
      return ImagesPage(r, "The images directory must not contain blanks, quotes or angle brackets.",
                        dir);
    if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (ForumSysopImagesDir(r.root).View() != dir) FrmBkSysopSetImagesDir(r.root, StFromView(dir));
    return EmailPage(r, {}, {});
  }
  if (step == "email") {
    std::string email = SysopTrimmed(r, "sysopEmail");
    if (email.size() > size_t(kSysopLineMax) || (!email.empty() && !LooksLikeEmail(email)))
      return EmailPage(r, "Invalid e-mail address", {});
    St value = email.empty() ? St() : StFromView(email);
    St old = ForumSysopEmailAddress(r.root);
    if (old.IsNil() != value.IsNil() || (!old.IsNil() && old.View() != value.View()))
      FrmBkSysopSetEmailAddress(r.root, std::move(value));
    return GeneralPage(r, {});
  }
  ImagesPage(r, {}, {});
}

void CgiActSysopStartupGeneral(CgiRequest& r) {
  if (SysopRefused(r)) return;
  if (!CkHasName(r.form, "siteTitle")) return GeneralPage(r, {});
  std::string title = SysopTrimmed(r, "siteTitle");
  std::string server = SysopTrimmed(r, "serverName");
  std::string email = SysopTrimmed(r, "sysopEmail");
  if (title.empty()) return GeneralPage(r, "You must give the site a title");
  if (title.size() > size_t(kSysopLineMax) || server.size() > size_t(kSysopLineMax) ||
      email.size() > size_t(kSysopLineMax))
    return GeneralPage(r, "A value is too long");
  if (!email.empty() && !LooksLikeEmail(email)) return GeneralPage(r, "Invalid e-mail address");
  if (server.find_first_of(" \t\r\n<>\"/") != std::string::npos)
    return GeneralPage(r, "The server name must be a host name");
  FrmBkSysopSetHtmlTitle(r.root, StFromView(title));
  if (!server.empty()) FrmBkSysopSetServerName(r.root, StFromView(server));
  if (!email.empty()) FrmBkSysopSetEmailAddress(r.root, StFromView(email));
  bool guests = CkIsChecked(r.form, "allowGuests");
  bool reg = CkIsChecked(r.form, "autoRegister");
  if (ForumSysopAllowGuests(r.root) != guests) FrmBkSysopSetAllowGuests(r.root, guests);
  if (ForumSysopAllowAutoRegister(r.root) != reg) FrmBkSysopSetAllowAutoRegister(r.root, reg);
  ForumTemplateChange(r.root);
  PasswordPage(r, {});
}

void CgiActSysopStartupPassword(CgiRequest& r) {
  if (SysopRefused(r)) return;
  if (!CkHasName(r.form, "password")) return PasswordPage(r, {});
  std::string pw = Field(r, "password");
  std::string again = Field(r, "password2");
  St name = ForumUserName(r.root, r.user);
  if (pw.empty()) return PasswordPage(r, "You must give a password");
  if (CkHasName(r.form, "password2") && pw != again)
    return PasswordPage(r, "The two passwords are not the same");
  if (!name.IsNil() && SysopEqualNoCase(pw, name.View()))
    return PasswordPage(r, "The password cannot be the same as the user's name");
  if (SysopEqualNoCase(pw, kForumSysopDefaultPassword))
    return PasswordPage(r, "The sysop's password cannot stay the one every new site starts with");
  FrmBkUserSetPassword(r.root, r.user, StHashMd5(StFromView(pw)));
  SysopPageBegin(r, "The site is set up");
  WizardSteps(r, 5);
  SysopPageNote(r, "The sysop's password has been changed.");
  SysopPageAdd(r,
               "<p>Everything the wizard asked can be changed in the control panel, along with "
               "everything else about the site.</p>\n"
               "<p><a class=\"button\" href=\"?59@@\">Control panel</a> "
               "<a class=\"button secondary\" href=\"?14@@\">The top level</a></p>\n</main>\n");
}

}  // namespace quil
