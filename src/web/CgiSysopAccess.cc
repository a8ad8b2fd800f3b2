// Groups and access lists (115-121, 123, 239, 240) and the site's
// statistics (131, 132).
//
// Decisions:
//   - The "+L" location of the access-list pages (115, 116, 117) is the
//     path of the folder, discussion or chat room whose list they show and
//     edit, as the showing commands take it; the empty location is the top
//     level.  The group pages (120, 121, 123) name their group by the form
//     field "groupName", or else by the location, so that "120@@" + name
//     opens a group.
//   - The access-list pages belong to the sysop and to the hosts of the
//     item (host right 0x1000000 there); the pages of the groups and of
//     their access lists (118, 119, 239, 240) to the sysop.
//   - A group's access list says who may use and who may change the group:
//     a user with the host right there manages its members (120, 121,
//     123) as the sysop does, and a host of an item who is not the sysop
//     may name a group in the item's list only with the read right in the
//     group's list.  A group without a list of its own uses the one of the
//     list of groups, and failing that the top level's (moved down one
//     level: its hosts host every group).  The group's access-list pages
//     name the group as the group pages do; 240 takes the edit forms and,
//     with the field "Import", the import form.
//   - A name typed into the list that is already in it gets the class
//     chosen ("addAs"), so that the same field adds and changes entries.
//   - Every change goes through the journaling setters.  An import reads
//     its text with the store's reader (ForumAccImport) into the item's own
//     list, created through the journal first; the entries the list then
//     holds are written to the journal again with their values, so that a
//     roll-forward rebuilds the same list.
//   - The statistics are the site's hit and post counters and those of the
//     top level; clearing sets them to zero.  The counters are not carried
//     by the journal (a crash may bring back counts from the last save),
//     so the clear uses their plain setters.
#include <string>

#include "CgiSysopInt.h"
#include "ForumAcc.h"
#include "ForumUser.h"
#include "FrmBk.h"

namespace quil {

namespace {

std::string LocText(const CgiRequest& r) {
  return r.location.IsNil() ? std::string() : std::string(r.location.View());
}

std::string LocLink(const CgiRequest& r, int command) {
  return "?" + std::to_string(command) + "@@" + SysopEsc(LocText(r));
}

std::string NameOf(ForumRoot root, ChHandle principal) {
  if (principal == kForumAccAllUsers) return "All other registered users";
  if (principal == kForumAccAllGuests) return "Guests";
  St n = ForumUserName(root, principal);
  return n.IsNil() ? std::string("(unnamed)") : std::string(n.View());
}

constexpr const char* kClasses[] = {"host", "participant", "moderated", "readOnly", "noAccess"};
constexpr const char* kClassLabels[] = {"Host", "Participant", "Moderated", "Read only",
                                        "No access"};

std::string ClassSelect(const char* name, const char* label, std::string_view current) {
  std::string h = "<label for=\"" + std::string(name) + "\">" + label + "</label>\n<select id=\"" +
                  name + "\" name=\"" + name + "\">\n";
  if (current.empty()) h += "<option value=\"\" selected>(unchanged)</option>\n";
  for (size_t i = 0; i < std::size(kClasses); ++i)
    h += std::string("<option value=\"") + kClasses[i] + "\"" +
         (current == kClasses[i] ? " selected" : "") + ">" + kClassLabels[i] + "</option>\n";
  return h + "</select>\n";
}

// A group opened as an item, for its access list (empty when it is gone).
ForumFile GroupFile(ForumRoot root, ChHandle group) {
  return ForumFileOpenUnique(root, ForumUserUniqueId(root, group));
}

// Whether r's user may name principal in an access list: any user or
// group for the sysop; a group only with the read right in the group's
// own access list (or the one it uses).
bool MayUseGroup(CgiRequest& r, ChHandle principal) {
  if (ForumUserGetSysop(r.root, r.user)) return true;
  if (!ForumIsRecordPrincipal(principal) ||
      ForumUserGetType(r.root, principal) != kForumUserGroup)
    return true;
  ForumFile g = GroupFile(r.root, principal);
  return g && ForumAccOpCk(g, r.user, kForumAccRead);
}

// What an access-list page works on: a folder, discussion or chat room
// (115-117) or a user group (239, 240).
struct AccTarget {
  ForumFile item;
  std::string where;    // for the heading: "the top level", a title, "the group X"
  std::string process;  // where the edit forms post
  std::string import;   // where the import form posts
  std::string hidden;   // hidden fields naming the target
  const char* inherits = "";  // shown while the item has no list of its own
};

// The item the access-list pages work on, or a target without an item
// when the page was answered (not found, or not allowed).
AccTarget AccItem(CgiRequest& r) {
  AccTarget t;
  t.inherits = "This item uses the access list of its parent folder.";
  ForumFile item = CgiOpenLocation(r.root, r.location);
  if (!item) {
    CgiErrorPage(r, "Pathname not found", "\"" + LocText(r) + "\" not found");
    return t;
  }
  if (!ForumUserGetSysop(r.root, r.user) &&
      !(r.user != 0 && ForumAccOpCk(item, r.user, kForumAccHost))) {
    if (r.user == 0) {
      CgiKeepAndLogin(r);
    } else {
      CgiErrorPage(r, "Access List", "Only a host of this item or the system operator may "
                                     "change its access list");
    }
    return t;
  }
  St title = ForumFileTitle(item);
  t.where = LocText(r).empty() ? std::string("the top level")
                               : (title.IsNil() ? LocText(r) : std::string(title.View()));
  t.process = LocLink(r, 116);
  t.import = LocLink(r, 117);
  t.item = std::move(item);
  return t;
}

// Sets principal's class in item's own list through the journal; the
// message of a refusal, empty when done.
std::string SetClass(CgiRequest& r, const ForumFile& item, ChHandle principal,
                     std::string_view access) {
  const ForumAccessClass* c = ForumGetAccessClass(access);
  if (!c) return "Unknown access class \"" + std::string(access) + "\"";
  if (principal != kForumAccAllUsers && principal != kForumAccAllGuests &&
      ForumUserGetSysop(r.root, principal) && c->formValue != "host")
    return std::string(kAccMsgSysopHost) + NameOf(r.root, principal);
  FrmBkAccEnable(item, principal, c->given);
  FrmBkAccInhibit(item, principal, c->taken);
  return std::string();
}

ChHandle PrincipalNamed(CgiRequest& r, const St& name, std::string* refusal) {
  ChHandle p = ForumUserLookup(r.root, name);
  if (p == 0) p = ForumGroupLookup(r.root, name);
  if (p == ForumGroupUsers(r.root)) *refusal = kAccMsgWholeUsers;
  else if (p == ForumGroupList(r.root)) *refusal = kAccMsgWholeGroups;
  else if (p == ForumGroupGuests(r.root)) *refusal = kAccMsgGuests;
  else if (p == 0) *refusal = std::string(kAccMsgNoSuchName) + std::string(name.View()) + "\"";
  else if (!MayUseGroup(r, p))
    *refusal = "You may not use the group \"" + std::string(name.View()) + "\"";
  else return p;
  return 0;
}

void AccessPage(CgiRequest& r, const AccTarget& t, const std::string& error,
                const std::string& note) {
  const ForumFile& item = t.item;
  SysopPageBegin(r, "Access list of " + t.where);
  if (!error.empty()) SysopPageError(r, error);
  if (!note.empty()) SysopPageNote(r, note);
  std::string h;
  auto form = [&](const std::string& action) {
    return "<form class=\"form\" method=\"post\" action=\"" + action + "\">\n" + t.hidden;
  };
  if (!ForumAccHasList(item)) {
    h += std::string("<p>") + t.inherits + "</p>\n" + form(t.process) +
         "<input type=\"hidden\" name=\"createAccess\" value=\"1\">\n"
         "<div class=\"actions\"><button type=\"submit\">Give it a list of its own</button>"
         "</div>\n</form>\n";
    SysopPageAdd(r, h);
    SysopPageBackLink(r);
    return;
  }
  ForumAccPageAsk ask;
  ask.showAll = CkIsChecked(r.form, "showAll");
  ask.count = 1000;
  St prefix = GetValueFromName(r.form, "prefix");
  if (!prefix.IsNil() && !prefix.Empty()) ask.prefix = prefix;
  ForumAccPage page = ForumAccFormPage(item, ask);
  uint32_t gg = 0, gt = 0, ug = 0, ut = 0;
  bool hasGuests = ForumAccGet(item, kForumAccAllGuests, &gg, &gt);
  bool hasUsers = ForumAccGet(item, kForumAccAllUsers, &ug, &ut);
  h += "<table class=\"access\">\n<thead><tr><th scope=\"col\">Name</th><th scope=\"col\">Kind"
       "</th><th scope=\"col\">Access</th></tr></thead>\n<tbody>\n";
  auto row = [&](const std::string& name, const char* kind, std::string_view cls) {
    h += "<tr><td>" + SysopEsc(name) + "</td><td>" + kind + "</td><td>" +
         SysopEsc(cls.empty() ? std::string_view("(other rights)") : cls) + "</td></tr>\n";
  };
  if (hasUsers) row(NameOf(r.root, kForumAccAllUsers), "general", ForumAccClassOf(ug, ut));
  if (hasGuests) row(NameOf(r.root, kForumAccAllGuests), "general", ForumAccClassOf(gg, gt));
  for (const ForumAccRow& a : page.rows) {
    if (!a.inList) continue;
    row(a.name.IsNil() ? std::string() : std::string(a.name.View()), a.group ? "group" : "user",
        a.access);
  }
  h += "</tbody>\n</table>\n";
  h += form(t.process) +
       "<label for=\"userName\">Users or groups to add or change (one a line)</label>\n"
       "<textarea id=\"userName\" name=\"userName\" rows=\"4\"></textarea>\n" +
       ClassSelect("addAs", "With the access", "participant") +
       ClassSelect("newUsers", "All other registered users", {}) +
       ClassSelect("guests", "Guests", {}) +
       "<div class=\"actions\"><button type=\"submit\">Store</button></div>\n</form>\n";
  h += form(t.process) + "<p>" + std::string(kAccMsgClearConfirm) + "</p>\n"
       "<input type=\"hidden\" name=\"clear\" value=\"1\">\n"
       "<label class=\"check\"><input type=\"checkbox\" name=\"confirmClear\" value=\"1\"> "
       "Yes, clear this list</label>\n"
       "<div class=\"actions\"><button type=\"submit\">Clear the list</button></div>\n</form>\n";
  h += form(t.import) + "<label for=\"Import\">Import an access list</label>\n"
       "<textarea id=\"Import\" name=\"Import\" rows=\"6\">" + SysopEsc(ForumAccExport(item)) +
       "</textarea>\n<div class=\"actions\"><button type=\"submit\">Import</button></div>\n"
       "</form>\n";
  SysopPageAdd(r, h);
  SysopPageBackLink(r);
}

// The edit forms of an access list (116, 240): a list of its own, clearing,
// names added or changed by hand, the general principals.
void AccessProcess(CgiRequest& r, const AccTarget& t) {
  const ForumFile& item = t.item;
  if (CkHasName(r.form, "createAccess")) {
    if (!FrmBkAccCreateList(item)) return AccessPage(r, t, kAccMsgHasList, {});
    return AccessPage(r, t, {}, "The item has an access list of its own.");
  }
  if (CkHasName(r.form, "clear")) {
    if (!CkIsChecked(r.form, "confirmClear")) return AccessPage(r, t, kAccMsgClearConfirm, {});
    if (ForumAccHasList(item)) FrmBkAccClear(item);
    return AccessPage(r, t, {}, "The access list has been cleared.");
  }
  std::string messages;
  auto say = [&](const std::string& line) {
    if (line.empty()) return;
    if (!messages.empty()) messages += '\n';
    messages += line;
  };
  std::string addAs = SysopTrimmed(r, "addAs");
  if (addAs.empty()) addAs = SysopTrimmed(r, "access");
  St names = GetValueFromName(r.form, "userName");
  if (!names.IsNil() && !StStripBlanks(names).Empty()) {
    if (!ForumGetAccessClass(addAs)) {
      say("Unknown access class \"" + addAs + "\"");
    } else {
      std::string_view rest = names.View();
      int count = 0;
      while (!rest.empty() && count < 10000) {
        size_t end = rest.find('\n');
        St name = StStripBlanks(StFromView(rest.substr(0, end)));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (name.Empty()) continue;
        ++count;
        std::string refusal;
        ChHandle p = PrincipalNamed(r, name, &refusal);
        if (!p) {
          say(refusal);
          continue;
        }
        if (!ForumAccHasList(item)) (void)FrmBkAccCreateList(item);
        say(SetClass(r, item, p, addAs));
      }
    }
  }
  std::string newUsers = SysopTrimmed(r, "newUsers");
  if (!newUsers.empty()) {
    if (!ForumAccHasList(item)) (void)FrmBkAccCreateList(item);
    say(SetClass(r, item, kForumAccAllUsers, newUsers));
  }
  std::string guests = SysopTrimmed(r, "guests");
  if (!guests.empty()) {
    if (!ForumAccHasList(item)) (void)FrmBkAccCreateList(item);
    say(SetClass(r, item, kForumAccAllGuests, guests));
  }
  AccessPage(r, t, messages, messages.empty() ? "The access list has been stored." : "");
}

// The import form (117, 240 with "Import").
void AccessImport(CgiRequest& r, const AccTarget& t) {
  const ForumFile& item = t.item;
  St text = GetValueFromName(r.form, "Import");
  if (text.IsNil() || StStripBlanks(text).Empty())
    return AccessPage(r, t, "You must give an access list to import", {});
  if (text.Length() > kForumAccImportMax) return AccessPage(r, t, "Access list too long", {});
  if (!ForumAccHasList(item)) (void)FrmBkAccCreateList(item);
  St report = ForumAccImport(item, text);
  // The entries as the import left them, written to the journal again.
  ForumAccIter it = ForumAccStart(item);
  ChHandle p = 0;
  uint32_t given = 0, taken = 0;
  while (ForumAccNext(it, &p, &given, &taken)) {
    FrmBkAccEnable(item, p, given);
    FrmBkAccInhibit(item, p, taken);
  }
  ForumAccStop(it);
  AccessPage(r, t, {}, report.IsNil() || report.Empty()
                           ? std::string("The access list has been imported.")
                           : std::string(report.View()));
}

// ---------------------------------------------------------------------------
// Groups.

std::string GroupNameChosen(const CgiRequest& r) {
  std::string name = SysopTrimmed(r, "groupName");
  if (name.empty()) {
    name = LocText(r);
    if (!name.empty() && name[0] == '/') name.erase(0, 1);
  }
  return name;
}

bool BuiltIn(ForumRoot root, ChHandle g) {
  return g == ForumGroupUsers(root) || g == ForumGroupGuests(root) || g == ForumGroupList(root);
}

void GroupsPage(CgiRequest& r, const std::string& error, const std::string& note) {
  SysopPageBegin(r, "User groups");
  if (!error.empty()) SysopPageError(r, error);
  if (!note.empty()) SysopPageNote(r, note);
  std::string h = "<ul class=\"sysop-links\">\n";
  for (uint32_t i = 0;; ++i) {
    ChHandle g = ForumGroupAt(r.root, i);
    if (!g) break;
    if (BuiltIn(r.root, g)) continue;
    std::string name = NameOf(r.root, g);
    h += "<li><a href=\"?120@@" + SysopEsc(name) + "\">" + SysopEsc(name) + "</a> (" +
         std::to_string(ForumGroupSize(r.root, g)) + " members)</li>\n";
  }
  h += "</ul>\n<form class=\"form\" method=\"post\" action=\"?119@@\">\n"
       "<label for=\"groupName\">Group's name</label>\n"
       "<input id=\"groupName\" name=\"groupName\" required>\n"
       "<div class=\"actions\"><button type=\"submit\" name=\"create\" value=\"1\">Create the "
       "group</button> <button type=\"submit\" name=\"destroy\" value=\"1\">Remove the group"
       "</button></div>\n</form>\n";
  SysopPageAdd(r, h);
  SysopPageBackLink(r);
}

void GroupPage(CgiRequest& r, ChHandle g, const std::string& error, const std::string& note) {
  std::string name = NameOf(r.root, g);
  SysopPageBegin(r, "Group " + name);
  if (!error.empty()) SysopPageError(r, error);
  if (!note.empty()) SysopPageNote(r, note);
  std::string h = "<ul>\n";
  for (uint32_t i = 0;; ++i) {
    ChHandle u = ForumGroupMemberAt(r.root, g, i);
    if (!u) break;
    h += "<li>" + SysopEsc(NameOf(r.root, u)) + "</li>\n";
  }
  h += "</ul>\n<form class=\"form\" method=\"post\" action=\"?121@@\">\n"
       "<input type=\"hidden\" name=\"groupName\" value=\"" + SysopEsc(name) + "\">\n"
       "<label for=\"userName\">User's name</label>\n"
       "<input id=\"userName\" name=\"userName\" required>\n"
       "<div class=\"actions\"><button type=\"submit\" name=\"add\" value=\"1\">Add</button> "
       "<button type=\"submit\" name=\"remove\" value=\"1\">Remove</button></div>\n</form>\n"
       "<form class=\"form\" method=\"post\" action=\"?123@@\">\n"
       "<input type=\"hidden\" name=\"groupName\" value=\"" + SysopEsc(name) + "\">\n"
       "<label for=\"names\">Users to add (one a line)</label>\n"
       "<textarea id=\"names\" name=\"names\" rows=\"6\"></textarea>\n"
       "<div class=\"actions\"><button type=\"submit\">Import</button></div>\n</form>\n";
  if (ForumUserGetSysop(r.root, r.user))
    h += "<p><a href=\"?239@@" + SysopEsc(name) + "\">Access list of the group</a> &middot; "
         "<a href=\"?118@@\">All groups</a></p>\n";
  SysopPageAdd(r, h);
  SysopPageBackLink(r);
}

// The group the page names, 0 (and the groups page answered) when none.
ChHandle GroupChosen(CgiRequest& r) {
  std::string name = GroupNameChosen(r);
  ChHandle g = name.empty() ? 0 : ForumGroupLookup(r.root, StFromView(name));
  if (!g || BuiltIn(r.root, g)) {
    GroupsPage(r, name.empty() ? std::string("You must give a group's name")
                               : "No group named \"" + name + "\"",
               {});
    return 0;
  }
  return g;
}

// The group a page names when r's user may manage its members: the sysop,
// or a registered user with the host right in the group's access list.
// Everybody else is answered as by SysopRefused (a group the user may not
// manage is not told apart from one that does not exist).
ChHandle GroupManaged(CgiRequest& r) {
  if (ForumUserGetSysop(r.root, r.user)) return GroupChosen(r);
  if (r.user != 0) {
    std::string name = GroupNameChosen(r);
    ChHandle g = name.empty() ? 0 : ForumGroupLookup(r.root, StFromView(name));
    if (g && !BuiltIn(r.root, g)) {
      ForumFile f = GroupFile(r.root, g);
      if (f && ForumAccOpCk(f, r.user, kForumAccHost)) return g;
    }
  }
  (void)SysopRefused(r);
  return 0;
}

// The access list of a group (239, 240): the sysop's.
AccTarget GroupTarget(CgiRequest& r) {
  AccTarget t;
  if (SysopRefused(r)) return t;
  ChHandle g = GroupChosen(r);
  if (!g) return t;
  std::string name = NameOf(r.root, g);
  ForumFile item = GroupFile(r.root, g);
  if (!item) {
    GroupsPage(r, "No group named \"" + name + "\"", {});
    return t;
  }
  t.where = "the group " + name;
  t.process = t.import = "?240@@";
  t.hidden = "<input type=\"hidden\" name=\"groupName\" value=\"" + SysopEsc(name) + "\">\n";
  t.inherits = "This group uses the access list that the list of groups gives every group "
               "without one of its own.";
  t.item = std::move(item);
  return t;
}

std::string GroupFailure(uint16_t status, const std::string& who) {
  switch (status) {
    case 2305:
    case 2314: return "A user named \"" + who + "\" exists";
    case 2310: return "A group named \"" + who + "\" exists";
    case 2308: return who + " is in the group already";
    case 2311: return who + " is not in the group";
    case 2309: return "No user named \"" + who + "\"";
    default: return "The change could not be made (" + std::to_string(status) + ")";
  }
}

// Adds (or removes) the user named name; the message of a failure.
std::string Membership(CgiRequest& r, ChHandle g, const std::string& name, bool add) {
  ChHandle u = ForumUserLookup(r.root, StFromView(name));
  if (!u || !ForumUserIsLegal(r.root, u)) return "No user named \"" + name + "\"";
  uint16_t s = add ? FrmBkGroupAddUser(r.root, g, u) : FrmBkGroupRemoveUser(r.root, g, u);
  return s == 0 ? std::string() : GroupFailure(s, NameOf(r.root, u));
}

}  // namespace

void CgiActAccessShow(CgiRequest& r) {
  AccTarget t = AccItem(r);
  if (t.item) AccessPage(r, t, {}, {});
}

void CgiActAccessProcess(CgiRequest& r) {
  AccTarget t = AccItem(r);
  if (t.item) AccessProcess(r, t);
}

void CgiActAccessImport(CgiRequest& r) {
  AccTarget t = AccItem(r);
  if (t.item) AccessImport(r, t);
}

void CgiActGroupsShow(CgiRequest& r) {
  if (SysopRefused(r)) return;
  GroupsPage(r, {}, {});
}

void CgiActGroupsProcess(CgiRequest& r) {
  if (SysopRefused(r)) return;
  std::string name = SysopTrimmed(r, "groupName");
  if (name.empty()) return GroupsPage(r, "You must give a group's name", {});
  if (name.size() > size_t(kSysopLineMax)) return GroupsPage(r, "The group's name is too long", {});
  if (CkHasName(r.form, "destroy")) {
    ChHandle g = ForumGroupLookup(r.root, StFromView(name));
    if (!g || BuiltIn(r.root, g)) return GroupsPage(r, "No group named \"" + name + "\"", {});
    uint16_t s = FrmBkGroupDestroy(r.root, g);
    if (s != 0) return GroupsPage(r, GroupFailure(s, name), {});
    return GroupsPage(r, {}, "The group " + name + " has been removed.");
  }
  ChHandle g = 0;
  uint16_t s = FrmBkGroupCreate(r.root, StFromView(name), &g);
  if (s != 0) return GroupsPage(r, GroupFailure(s, name), {});
  GroupsPage(r, {}, "The group " + name + " has been created.");
}

void CgiActGroupShow(CgiRequest& r) {
  ChHandle g = GroupManaged(r);
  if (g) GroupPage(r, g, {}, {});
}

void CgiActGroupProcess(CgiRequest& r) {
  ChHandle g = GroupManaged(r);
  if (!g) return;
  std::string user = SysopTrimmed(r, "userName");
  if (user.empty()) return GroupPage(r, g, "You must give a user's name", {});
  bool add = !CkHasName(r.form, "remove");
  std::string failure = Membership(r, g, user, add);
  if (!failure.empty()) return GroupPage(r, g, failure, {});
  GroupPage(r, g, {}, user + (add ? " has been added." : " has been removed."));
}

void CgiActGroupImport(CgiRequest& r) {
  ChHandle g = GroupManaged(r);
  if (!g) return;
  St names = GetValueFromName(r.form, "names");
  std::string messages;
  int added = 0, count = 0;
  std::string_view rest = names.IsNil() ? std::string_view() : names.View();
  while (!rest.empty() && count < 10000) {
    size_t end = rest.find('\n');
    std::string name(StStripBlanks(StFromView(rest.substr(0, end))).View());
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (name.empty()) continue;
    ++count;
    std::string failure = Membership(r, g, name, true);
    if (failure.empty()) {
      ++added;
    } else {
      if (!messages.empty()) messages += '\n';
      messages += failure;
    }
  }
  GroupPage(r, g, messages, std::to_string(added) + (added == 1 ? " user" : " users") +
                                " added to the group.");
}

void CgiActGroupAccessShow(CgiRequest& r) {
  AccTarget t = GroupTarget(r);
  if (t.item) AccessPage(r, t, {}, {});
}

void CgiActGroupAccessProcess(CgiRequest& r) {
  AccTarget t = GroupTarget(r);
  if (!t.item) return;
  if (CkHasName(r.form, "Import")) return AccessImport(r, t);
  // Nothing to change (240 is also reached by a plain link): the page.
  bool change = false;
  for (const char* field : {"createAccess", "clear", "userName", "newUsers", "guests"})
    change = change || CkHasName(r.form, field);
  if (!change) return AccessPage(r, t, {}, {});
  AccessProcess(r, t);
}

void CgiActSysopStats(CgiRequest& r) {
  if (SysopRefused(r)) return;
  ForumFile top = CgiOpenLocation(r.root, St());
  SysopPageBegin(r, "Statistics");
  std::string h = "<table class=\"stats\">\n<tbody>\n";
  auto row = [&](const char* what, int64_t n) {
    h += std::string("<tr><th scope=\"row\">") + what + "</th><td>" + std::to_string(n) +
         "</td></tr>\n";
  };
  row("Hits on the site", ForumSiteHits(r.root));
  row("Posts on the site", ForumSitePosts(r.root));
  if (top) {
    row("Hits on the top level", ForumFileHits(top));
    row("Hits below the top level", ForumFileChildrenHits(top));
    row("Posts below the top level", ForumFileChildrenPosts(top));
  }
  h += "</tbody>\n</table>\n<form method=\"post\" action=\"?132@@\"><button type=\"submit\">"
       "Clear the statistics</button></form>\n";
  SysopPageAdd(r, h);
  SysopPageBackLink(r);
}

void CgiActSysopStatsClear(CgiRequest& r) {
  if (SysopRefused(r)) return;
  ForumSiteSetHits(r.root, 0);
  ForumSiteSetPosts(r.root, 0);
  ForumFile top = CgiOpenLocation(r.root, St());
  if (top) {
    ForumSetHits(top, 0);
    ForumSetPosts(top, 0);
    ForumSetChildrenHits(top, 0);
    ForumSetChildrenPosts(top, 0);
  }
  SysopPageBegin(r, "Statistics");
  SysopPageNote(r, "The statistics have been cleared.");
  SysopPageBackLink(r);
}

}  // namespace quil
