// The sysop's user administration: pick a user and edit the user's
// preferences (129, 130), set a user's password (70, 71), remove a user
// (72, 73), clear a user's picture (74, 75).
//
// Decisions:
//   - The user is named by the form field "userName" (the name as users
//     write it; it is normalised for the look-up); the forms take a first
//     value from the location, so that a link "70@@" + name opens the form
//     for that user.
//   - 130 serves both steps of its page: with "userName" alone it shows
//     the user's preferences, with "save" it checks every field and stores
//     them (nothing when one is refused).
//   - Removing a user asks for the check box "confirm"; the sysop cannot be
//     removed.  Clearing a picture stores an empty picture and moves the
//     user's picture revision on, so that cached copies are not shown.
#include <string>

#include "Auth.h"
#include "CgiSysopInt.h"
#include "ForumUser.h"
#include "FrmBk.h"

namespace quil {

namespace {

// The name the form starts with: the posted one, else the location.
std::string ChosenName(const CgiRequest& r) {
  std::string name = SysopTrimmed(r, "userName");
  if (name.empty() && !r.location.Empty()) {
    std::string_view loc = r.location.View();
    if (!loc.empty() && loc[0] == '/') loc.remove_prefix(1);
    name = std::string(loc);
  }
  return name;
}

// The live user (registered or guest) named by the form, or 0 with the
// message in *error.
ChHandle FindUser(CgiRequest& r, std::string* error) {
  std::string name = ChosenName(r);
  if (name.empty()) {
    *error = "You must give a user's name";
    return 0;
  }
  ChHandle user = ForumUserLookup(r.root, StFromView(name));
  if (!user || !ForumUserIsLegal(r.root, user)) {
    *error = "No user named \"" + name + "\"";
    return 0;
  }
  return user;
}

std::string UserName(CgiRequest& r, ChHandle user) {
  St n = ForumUserName(r.root, user);
  return n.IsNil() ? std::string() : std::string(n.View());
}

std::string NameField(const std::string& value) {
  return "<label for=\"userName\">User's name</label>\n"
         "<input id=\"userName\" name=\"userName\" required value=\"" +
         SysopEsc(value) + "\">\n";
}

void SimpleForm(CgiRequest& r, const char* title, int process, std::string_view intro,
                std::string_view extra, const char* button, std::string_view error) {
  SysopPageBegin(r, title);
  if (!error.empty()) SysopPageError(r, error);
  std::string h = "<p>" + std::string(intro) + "</p>\n<form class=\"form\" method=\"post\" action=\"?" +
                  std::to_string(process) + "@@\">\n" + NameField(ChosenName(r)) +
                  std::string(extra) + "<div class=\"actions\"><button type=\"submit\">" + button +
                  "</button></div>\n</form>\n";
  SysopPageAdd(r, h);
  SysopPageBackLink(r);
}

void Done(CgiRequest& r, const char* title, const std::string& sentence) {
  SysopPageBegin(r, title);
  SysopPageNote(r, sentence);
  SysopPageBackLink(r);
}

// ---------------------------------------------------------------------------
// Preferences.

constexpr char kPwFields[] =
    "<label for=\"password\">New password</label>\n"
    "<input id=\"password\" name=\"password\" type=\"password\" autocomplete=\"new-password\" "
    "required>\n<label for=\"password2\">The new password again</label>\n"
    "<input id=\"password2\" name=\"password2\" type=\"password\" autocomplete=\"new-password\">\n";

struct PrefText {
  const char* name;
  const char* label;
  St (*get)(ForumRoot, ChHandle);
  void (*set)(ForumRoot, ChHandle, St);
};
const PrefText kPrefTexts[] = {
    {"email", "E-mail address", ForumUserEmail, FrmBkUserSetEmail},
    {"homePage", "Home page", ForumUserHomePage, FrmBkUserSetHomePage},
    {"secondLine", "Second line under the name", ForumUser2ndLine, FrmBkUserSet2ndLine},
    {"bio", "About the user", ForumUserBio, FrmBkUserSetBio},
};
struct PrefInt {
  const char* name;
  const char* label;
  int32_t (*get)(ForumRoot, ChHandle);
  void (*set)(ForumRoot, ChHandle, int32_t);
  int32_t min, max;
};
const PrefInt kPrefInts[] = {
    {"logoutTime", "Idle seconds before the session ends", ForumUserLogoutTime,
     FrmBkUserSetLogoutTime, 60, 31536000},
    {"maxData", "Largest post (bytes)", ForumUserMaxData, FrmBkUserSetMaxData, 100, 100000000},
    {"maxMessages", "Messages shown at once (0: the site's)", ForumUserMaxMessages,
     FrmBkUserSetMaxMessages, 0, 32000},
};
struct PrefFlag {
  const char* name;
  const char* label;
  uint32_t bit;
};
const PrefFlag kPrefFlags[] = {
    {"showPictures", "Sees pictures", kForumUserShowPictures},
    {"showPrepared", "Sees prepared text", kForumUserShowPrepared},
    {"threading", "Sees discussions threaded", kForumUserThreading},
    {"noRemoteCheck", "The session is not bound to an address", kForumUserNoRemoteCheck},
};

void PrefsPage(CgiRequest& r, ChHandle user, std::string_view error, std::string_view note,
               bool fromPost) {
  std::string name = UserName(r, user);
  SysopPageBegin(r, "Preferences of " + name);
  if (!error.empty()) SysopPageError(r, error);
  if (!note.empty()) SysopPageNote(r, note);
  auto shown = [&](const char* field, std::string stored) {
    if (fromPost && CkHasName(r.form, field)) {
      St v = GetValueFromName(r.form, field);
      return v.IsNil() ? std::string() : std::string(v.View());
    }
    return stored;
  };
  std::string h = "<form class=\"form\" method=\"post\" action=\"?130@@\">\n"
                  "<input type=\"hidden\" name=\"userName\" value=\"" +
                  SysopEsc(name) + "\">\n<input type=\"hidden\" name=\"save\" value=\"1\">\n";
  for (const PrefText& t : kPrefTexts) {
    St v = t.get(r.root, user);
    std::string value = shown(t.name, v.IsNil() ? std::string() : std::string(v.View()));
    h += "<label for=\"" + std::string(t.name) + "\">" + t.label + "</label>\n<input id=\"" +
         t.name + "\" name=\"" + t.name + "\" value=\"" + SysopEsc(value) + "\">\n";
  }
  for (const PrefInt& t : kPrefInts) {
    std::string value = shown(t.name, std::to_string(t.get(r.root, user)));
    h += "<label for=\"" + std::string(t.name) + "\">" + t.label + " (" + std::to_string(t.min) +
         " to " + std::to_string(t.max) + ")</label>\n<input id=\"" + t.name + "\" name=\"" +
         t.name + "\" inputmode=\"numeric\" value=\"" + SysopEsc(value) + "\">\n";
  }
  uint32_t flags = ForumUserFlags(r.root, user);
  for (const PrefFlag& f : kPrefFlags) {
    bool on = (flags & f.bit) != 0;
    if (fromPost && CkHasName(r.form, f.name)) on = CkIsChecked(r.form, f.name);
    h += "<input type=\"hidden\" name=\"" + std::string(f.name) +
         "\" value=\"0\">\n<label class=\"check\"><input type=\"checkbox\" name=\"" + f.name +
         "\" value=\"1\"" + (on ? " checked" : "") + "> " + f.label + "</label>\n";
  }
  h += "<div class=\"actions\"><button type=\"submit\">Store</button></div>\n</form>\n";
  SysopPageAdd(r, h);
  SysopPageBackLink(r);
}

}  // namespace

void CgiActSysopPickUser(CgiRequest& r) {
  if (SysopRefused(r)) return;
  SimpleForm(r, "Edit a user's preferences", 130, "Which user's preferences to edit.", {},
             "Edit", {});
}

void CgiActSysopPickUserProcess(CgiRequest& r) {
  if (SysopRefused(r)) return;
  std::string error;
  ChHandle user = FindUser(r, &error);
  if (!user) {
    SimpleForm(r, "Edit a user's preferences", 130, "Which user's preferences to edit.", {},
               "Edit", error);
    return;
  }
  if (!CkHasName(r.form, "save")) return PrefsPage(r, user, {}, {}, false);
  // Everything checked first.
  for (const PrefInt& t : kPrefInts) {
    if (!CkHasName(r.form, t.name)) continue;
    int64_t n = 0;
    if (!SysopReadInt(GetValueFromName(r.form, t.name), &n) || n < t.min || n > t.max)
      return PrefsPage(r, user,
                       "\"" + std::string(t.label) + "\" must be a whole number between " +
                           std::to_string(t.min) + " and " + std::to_string(t.max) + ".",
                       {}, true);
  }
  for (const PrefText& t : kPrefTexts) {
    St v = GetValueFromName(r.form, t.name);
    if (!v.IsNil() && v.Length() > kSysopLineMax)
      return PrefsPage(r, user,
                       "\"" + std::string(t.label) + "\" is too long (at most " +
                           std::to_string(kSysopLineMax) + " characters).",
                       {}, true);
  }
  if (CkHasValue(r.form, "email")) {
    std::string e = SysopTrimmed(r, "email");
    size_t at = e.find('@');
    if (at == 0 || at == std::string::npos || at + 1 == e.size() ||
        e.find_first_of(" \t<>\"") != std::string::npos)
      return PrefsPage(r, user, "Invalid e-mail address", {}, true);
  }
  for (const PrefText& t : kPrefTexts) {
    if (!CkHasName(r.form, t.name)) continue;
    St v = GetValueFromName(r.form, t.name);
    if (!v.IsNil()) v = StStripBlanks(v);
    if (v.Empty()) v = St();
    St old = t.get(r.root, user);
    bool same = old.IsNil() ? v.IsNil() : (!v.IsNil() && old.View() == v.View());
    if (!same) t.set(r.root, user, std::move(v));
  }
  for (const PrefInt& t : kPrefInts) {
    int64_t n = 0;
    if (!CkHasName(r.form, t.name) || !SysopReadInt(GetValueFromName(r.form, t.name), &n)) continue;
    if (t.get(r.root, user) != int32_t(n)) t.set(r.root, user, int32_t(n));
  }
  uint32_t flags = ForumUserFlags(r.root, user), updated = flags;
  for (const PrefFlag& f : kPrefFlags) {
    if (!CkHasName(r.form, f.name)) continue;
    updated = CkIsChecked(r.form, f.name) ? (updated | f.bit) : (updated & ~f.bit);
  }
  if (updated != flags) FrmBkUserSetFlags(r.root, user, updated);
  PrefsPage(r, user, {}, "The preferences have been stored.", false);
}

void CgiActSysopSetPasswordForm(CgiRequest& r) {
  if (SysopRefused(r)) return;
  SimpleForm(r, "Set a user's password", 71, "The user's new password.", kPwFields,
             "Set the password", {});
}

void CgiActSysopSetPassword(CgiRequest& r) {
  if (SysopRefused(r)) return;
  auto again = [&](const std::string& error) {
    SimpleForm(r, "Set a user's password", 71, "The user's new password.", kPwFields,
               "Set the password", error);
  };
  std::string error;
  ChHandle user = FindUser(r, &error);
  if (!user) return again(error);
  St pwSt = GetValueFromName(r.form, "password");
  std::string pw = pwSt.IsNil() ? std::string() : std::string(pwSt.View());
  if (pw.empty()) return again("You must give a password");
  if (CkHasName(r.form, "password2")) {
    St p2 = GetValueFromName(r.form, "password2");
    if (p2.IsNil() || p2.View() != pw) return again("The two passwords are not the same");
  }
  std::string name = UserName(r, user);
  if (SysopEqualNoCase(pw, name) || SysopEqualNoCase(pw, ChosenName(r)))
    return again("The password cannot be the same as the user's name");
  FrmBkUserSetPassword(r.root, user, StHashMd5(StFromView(pw)));
  Done(r, "Set a user's password", "The password of " + name + " has been set.");
}

void CgiActSysopRemoveUserForm(CgiRequest& r) {
  if (SysopRefused(r)) return;
  SimpleForm(r, "Remove a user", 73, "The user is removed with the user's sessions.",
             "<label class=\"check\"><input type=\"checkbox\" name=\"confirm\" value=\"1\"> "
             "Yes, remove this user</label>\n",
             "Remove", {});
}

void CgiActSysopRemoveUser(CgiRequest& r) {
  if (SysopRefused(r)) return;
  auto again = [&](const std::string& error) {
    SimpleForm(r, "Remove a user", 73, "The user is removed with the user's sessions.",
               "<label class=\"check\"><input type=\"checkbox\" name=\"confirm\" value=\"1\"> "
               "Yes, remove this user</label>\n",
               "Remove", error);
  };
  std::string error;
  ChHandle user = FindUser(r, &error);
  if (!user) return again(error);
  if (!CkIsChecked(r.form, "confirm")) return again("Check the box to confirm the removal");
  if (ForumUserGetSysop(r.root, user)) return again("The sysop cannot be removed");
  std::string name = UserName(r, user);
  uint16_t status = FrmBkUserDestroy(r.root, user);
  if (status != 0) return again("The user could not be removed.");
  AuthRemoveUser(user);
  Done(r, "Remove a user", "The user " + name + " has been removed.");
}

void CgiActSysopClearPictureForm(CgiRequest& r) {
  if (SysopRefused(r)) return;
  SimpleForm(r, "Clear a user's picture", 75, "The user's picture is removed.", {},
             "Clear the picture", {});
}

void CgiActSysopClearPicture(CgiRequest& r) {
  if (SysopRefused(r)) return;
  std::string error;
  ChHandle user = FindUser(r, &error);
  if (!user) {
    SimpleForm(r, "Clear a user's picture", 75, "The user's picture is removed.", {},
               "Clear the picture", error);
    return;
  }
  LgDbPicture none;
  none.data = StCreate();
  FrmBkUserSetPicture(r.root, user, none);
  FrmBkUserSetPictureRev(r.root, user, ForumUserPictureRev(r.root, user) + 1);
  Done(r, "Clear a user's picture", "The picture of " + UserName(r, user) + " has been cleared.");
}

}  // namespace quil
