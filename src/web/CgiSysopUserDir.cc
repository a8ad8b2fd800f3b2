// The sysop's user directory: export of the registered users (212, 213)
// and look-up of users by name or address (214, 215).
//
// Decisions:
//   - The export is plain text, one user a line, fields separated by tabs,
//     the first line naming the fields: name, e-mail address, home page,
//     second line, login count.  Tabs and line ends inside a value become
//     blanks, so that every line splits the same way.  It is served as
//     "text/plain" with the file name "users.txt", for a spreadsheet or a
//     script to read.
//   - The look-up finds registered users whose name (as stored, family
//     name first) or e-mail address contains the text given, ignoring ASCII
//     case; it lists at most kLookupMax of them, each with the links of the
//     user administration.
//   - The field index of the user directory is the index of registered
//     users by e-mail address (the one field the directory indexes).  216
//     checks it: every registered user's address must find a user (the
//     index keeps one user an address, so a shared address finds one of
//     them); 217 lists the addresses that find nobody and asks to repair
//     them; 218 stores each such address again through the journaling
//     setter, which enters it in the index.
#include <string>
#include <vector>

#include "CgiSysopInt.h"
#include "ForumUser.h"
#include "FrmBk.h"

namespace quil {

namespace {

constexpr int kLookupMax = 200;

std::string Plain(const St& value) {
  std::string out = value.IsNil() ? std::string() : std::string(value.View());
  for (char& c : out)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return out;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

void LookupForm(CgiRequest& r, std::string_view error) {
  SysopPageBegin(r, "Look up users");
  if (!error.empty()) SysopPageError(r, error);
  SysopPageAdd(r, "<form class=\"form\" method=\"post\" action=\"?215@@\">\n"
                  "<label for=\"find\">Part of a name or an e-mail address</label>\n"
                  "<input id=\"find\" name=\"find\" required value=\"" +
                      SysopEsc(SysopTrimmed(r, "find")) +
                      "\">\n<div class=\"actions\"><button type=\"submit\">Look up</button>"
                      "</div>\n</form>\n");
  SysopPageBackLink(r);
}

// Registered users whose address finds nobody in the index.
std::vector<ChHandle> Unindexed(CgiRequest& r, uint32_t* withAddress) {
  std::vector<ChHandle> out;
  *withAddress = 0;
  ChHandle users = ForumGroupUsers(r.root);
  for (uint32_t i = 0;; ++i) {
    ChHandle u = ForumGroupMemberAt(r.root, users, i);
    if (!u) break;
    St email = ForumUserEmail(r.root, u);
    if (email.IsNil() || email.Empty()) continue;
    ++*withAddress;
    if (ForumUserLookupEmail(r.root, email, false) == 0) out.push_back(u);
  }
  return out;
}

void IndexPage(CgiRequest& r, bool confirm, std::string_view note) {
  uint32_t withAddress = 0;
  std::vector<ChHandle> missing = Unindexed(r, &withAddress);
  SysopPageBegin(r, "Index of e-mail addresses");
  if (!note.empty()) SysopPageNote(r, note);
  std::string h = "<p>" + std::to_string(withAddress) +
                  " registered users have an e-mail address; " + std::to_string(missing.size()) +
                  (missing.size() == 1 ? " address is" : " addresses are") +
                  " missing from the index.</p>\n";
  if (confirm && !missing.empty()) {
    h += "<ul>\n";
    for (ChHandle u : missing)
      h += "<li>" + SysopEsc(ForumUserName(r.root, u)) + " &lt;" +
           SysopEsc(ForumUserEmail(r.root, u)) + "&gt;</li>\n";
    h += "</ul>\n<form method=\"post\" action=\"?218@@\"><button type=\"submit\">Enter "
         "these addresses in the index</button></form>\n";
  } else if (!missing.empty()) {
    h += "<p><a href=\"?217@@\">Repair the index</a></p>\n";
  }
  SysopPageAdd(r, h);
  SysopPageBackLink(r);
}

}  // namespace

void CgiActSysopIndexShow(CgiRequest& r) {
  if (SysopRefused(r)) return;
  IndexPage(r, false, {});
}

void CgiActSysopIndexConfirm(CgiRequest& r) {
  if (SysopRefused(r)) return;
  IndexPage(r, true, {});
}

void CgiActSysopIndexProcess(CgiRequest& r) {
  if (SysopRefused(r)) return;
  uint32_t withAddress = 0;
  std::vector<ChHandle> missing = Unindexed(r, &withAddress);
  for (ChHandle u : missing) FrmBkUserSetEmail(r.root, u, ForumUserEmail(r.root, u));
  IndexPage(r, false, std::to_string(missing.size()) +
                          (missing.size() == 1 ? " address has" : " addresses have") +
                          " been entered in the index.");
}

void CgiActSysopExportUsersForm(CgiRequest& r) {
  if (SysopRefused(r)) return;
  SysopPageBegin(r, "Export the users");
  uint32_t count = ForumGroupSize(r.root, ForumGroupUsers(r.root));
  SysopPageAdd(r, "<p>The " + std::to_string(count) +
                      " registered users as text, one a line, with their names, e-mail "
                      "addresses, home pages, second lines and login counts separated by "
                      "tabs.</p>\n<form method=\"post\" action=\"?213@@\"><button "
                      "type=\"submit\">Export</button></form>\n");
  SysopPageBackLink(r);
}

void CgiActSysopExportUsers(CgiRequest& r) {
  if (SysopRefused(r)) return;
  BufOpen(r.page);
  r.html = false;
  r.pageComplete = true;
  r.noCache = true;
  r.contentType = StCStrXfm("text/plain; charset=utf-8");
  BufAddView(r.page, "name\temail\thomePage\tsecondLine\tloginCount\n");
  ChHandle users = ForumGroupUsers(r.root);
  for (uint32_t i = 0;; ++i) {
    ChHandle u = ForumGroupMemberAt(r.root, users, i);
    if (!u) break;
    BufAddView(r.page, Plain(ForumUserName(r.root, u)) + '\t' + Plain(ForumUserEmail(r.root, u)) +
                           '\t' + Plain(ForumUserHomePage(r.root, u)) + '\t' +
                           Plain(ForumUser2ndLine(r.root, u)) + '\t' +
                           std::to_string(ForumUserLoginCount(r.root, u)) + '\n');
  }
}

void CgiActSysopLookupUsersForm(CgiRequest& r) {
  if (SysopRefused(r)) return;
  LookupForm(r, {});
}

void CgiActSysopLookupUsers(CgiRequest& r) {
  if (SysopRefused(r)) return;
  std::string find = SysopTrimmed(r, "find");
  if (find.empty()) return LookupForm(r, "You must give part of a name or an address");
  if (find.size() > size_t(kSysopLineMax)) return LookupForm(r, "The text is too long");
  std::string needle = Lower(find);
  SysopPageBegin(r, "Look up users");
  std::string h = "<ul>\n";
  int found = 0;
  bool more = false;
  ChHandle users = ForumGroupUsers(r.root);
  for (uint32_t i = 0;; ++i) {
    ChHandle u = ForumGroupMemberAt(r.root, users, i);
    if (!u) break;
    std::string name = Plain(ForumUserName(r.root, u)), email = Plain(ForumUserEmail(r.root, u));
    if (Lower(name).find(needle) == std::string::npos &&
        Lower(email).find(needle) == std::string::npos)
      continue;
    if (found == kLookupMax) {
      more = true;
      break;
    }
    ++found;
    std::string q = SysopEsc(name);
    h += "<li>" + SysopEsc(name) + (email.empty() ? "" : " &lt;" + SysopEsc(email) + "&gt;") +
         " <a href=\"?130@@" + q + "\">preferences</a> <a href=\"?70@@" + q +
         "\">password</a> <a href=\"?72@@" + q + "\">remove</a></li>\n";
  }
  h += "</ul>\n";
  SysopPageNote(r, found == 0 ? std::string("No user matches \"") + find + "\"."
                              : std::to_string(found) + (found == 1 ? " user" : " users") +
                                    (more ? " shown (there are more)." : " found."));
  SysopPageAdd(r, h);
  SysopPageBackLink(r);
}

}  // namespace quil
