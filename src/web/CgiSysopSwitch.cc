// The sysop's switches (90, 92, 93, 96, 201, 205, 206, 210, 211) and the
// reset of queues and file cache (99).
//
// Decisions:
//   - A switch is set by its argument, the location "on" or "off" (also
//     "1"/"0", or a form field "state" with one of these); without one it
//     turns the setting over.  Either way the answer is the page stating
//     the new state ("The log file has been turned on.").
//   - Template use (96) reloads the site's template file at once, since
//     whether quil.tpl is read depends on it.
//   - Post tracking (211, "RebuildUserPostInfo") only records the switch:
//     the posts of each user are collected as they are made from then on.
//   - The backup status (219) lists the backups and logs that exist
//     beside the database (the working directory), newest generation first.
//   - The reset (99) forgets the saved posts waiting for a log-in, makes the
//     HTTP server read changed files again (ResetFileCache), and reloads the
//     template file with its caches and timed actions (TemplateReset).
#include <chrono>
#include <filesystem>
#include <string>

#include "Auth.h"
#include "CgiSysopInt.h"
#include "ForumUser.h"
#include "FrmBk.h"
#include "Template.h"
#include "Web.h"

namespace quil {

namespace {

struct Switch {
  int command;
  const char* what;  // starts the sentence of the state page
  bool (*get)(ForumRoot);
  void (*set)(ForumRoot, bool);
};

const Switch kSwitches[] = {
    {90, "The log file", ForumSysopLogFile, FrmBkSysopSetLogFile},
    {92, "Request logging", ForumSysopLogRequest, FrmBkSysopSetLogRequest},
    {93, "Post logging", ForumSysopLogPost, FrmBkSysopSetLogPost},
    {96, "Template use", ForumSysopUseTemplates, FrmBkSysopSetUseTemplates},
    {201, "Request-time logging", ForumSysopShowTimes, FrmBkSysopSetShowTimes},
    {205, "TCP session recording", ForumSysopSessRecord, FrmBkSysopSetSessRecord},
    {206, "TCP stream recording", ForumSysopSessRecordData, FrmBkSysopSetSessRecordData},
    {210, "Mirror-synchronisation logging", ForumSysopLogSynch, FrmBkSysopSetLogSynch},
    {211, "Post tracking", ForumSysopTrackUserPosts, FrmBkSysopSetTrackUserPosts},
};

// The argument: 1 on, 0 off, -1 none (turn over).
int SwitchArgument(const CgiRequest& r) {
  St arg = r.location;
  if (CkHasValue(r.form, "state")) arg = GetValueFromName(r.form, "state");
  std::string v = arg.IsNil() ? std::string() : std::string(StStripBlanks(arg).View());
  if (!v.empty() && v[0] == '/') v.erase(0, 1);
  for (char& c : v)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  if (v == "on" || v == "1") return 1;
  if (v == "off" || v == "0") return 0;
  return -1;
}

}  // namespace

void CgiActSysopSwitch(CgiRequest& r) {
  const Switch* sw = nullptr;
  for (const Switch& s : kSwitches)
    if (s.command == r.command) sw = &s;
  if (SysopRefused(r)) return;
  if (!sw) {
    CgiErrorPage(r, "Unable to process", "This switch does not exist.");
    return;
  }
  int arg = SwitchArgument(r);
  bool on = arg < 0 ? !sw->get(r.root) : arg == 1;
  if (sw->get(r.root) != on) sw->set(r.root, on);
  if (sw->command == 96) TemplateReset(TemplateMainSite());
  std::string sentence = std::string(sw->what) + " has been turned " + (on ? "on." : "off.");
  SysopPageBegin(r, sw->what);
  SysopPageNote(r, sentence);
  SysopPageAdd(r, std::string("<p><a href=\"?") + std::to_string(sw->command) + "@@" +
                      (on ? "off" : "on") + "\">Turn it " + (on ? "off" : "on") + "</a></p>\n");
  SysopPageBackLink(r);
}

void CgiActSysopReset(CgiRequest& r) {
  if (SysopRefused(r)) return;
  int32_t posts = PostCount();
  PostClearAll();
  ResetFileCache();
  TemplateReset(TemplateMainSite());
  SysopPageBegin(r, "Reset");
  SysopPageNote(r, "The queues and the file cache have been reset.");
  SysopPageAdd(r, "<p>Posts that were waiting for a log-in and have been forgotten: " +
                      std::to_string(posts) +
                      ". Files of the web server are read again when next asked for, and the "
                      "template file has been loaded again.</p>\n");
  SysopPageBackLink(r);
}

// ---------------------------------------------------------------------------
// Backup status (219): whether a backup runs, the schedule, and the backups
// and roll-forward logs beside the database with their sizes and times.

void CgiActSysopBackupStatus(CgiRequest& r) {
  if (SysopRefused(r)) return;
  SysopPageBegin(r, "Backup status");
  auto text = [](const St& s, const char* none) {
    return s.Empty() ? std::string(none) : SysopEsc(s);
  };
  std::string h = "<dl class=\"sysop-status\">\n";
  h += std::string("<dt>Backup</dt><dd>") +
       (FrmBkBackupRunning() ? "A backup is running or waiting to start." : "No backup is running.") +
       "</dd>\n";
  h += "<dt>Roll-forward log</dt><dd>" +
       std::string(ForumSysopRollForwardLog(r.root) ? "kept" : "not kept") + "</dd>\n";
  h += "<dt>Days between backups</dt><dd>" + text(ForumSysopBackupPeriod(r.root), "none") +
       "</dd>\n";
  h += "<dt>Time of day</dt><dd>" + text(ForumSysopBackupTime(r.root), "3:00") + "</dd>\n";
  h += "<dt>Last backup</dt><dd>" + text(ForumSysopBackupLastDate(r.root), "none yet") +
       "</dd>\n";
  h += "<dt>Backups kept</dt><dd>" + std::to_string(ForumSysopBackupCount(r.root)) + "</dd>\n";
  h += "</dl>\n<table class=\"sysop-files\">\n<thead><tr><th scope=\"col\">File</th>"
       "<th scope=\"col\">Bytes</th><th scope=\"col\">Changed</th></tr></thead>\n<tbody>\n";
  int rows = 0;
  for (int g = 1; g <= kFrmBkGenerations; ++g) {
    for (const std::string& name :
         {FrmBkDbName(std::to_string(g)), FrmBkRollName(std::to_string(g))}) {
      std::error_code ec;
      auto size = std::filesystem::file_size(name, ec);
      if (ec) continue;
      auto when = std::filesystem::last_write_time(name, ec);
      std::string changed;
      if (!ec) {
        auto secs = std::chrono::duration_cast<std::chrono::seconds>(
                        when - std::filesystem::file_time_type::clock::now() +
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
        changed = std::string(CgiHttpDate(secs).View());
      }
      h += "<tr><td>" + SysopEsc(std::filesystem::path(name).filename().string()) + "</td><td>" +
           std::to_string(size) + "</td><td>" + SysopEsc(changed) + "</td></tr>\n";
      ++rows;
    }
  }
  if (rows == 0) h += "<tr><td colspan=\"3\">No backups yet.</td></tr>\n";
  h += "</tbody></table>\n<p><a href=\"?186@@\">Backup settings</a></p>\n";
  SysopPageAdd(r, h);
  SysopPageBackLink(r);
}

// ---------------------------------------------------------------------------
// Test page (100): what the server made of this request -- the request
// text, the parsed command, certificate and location, the addresses, the
// browser flags, the form fields (password values left out) and the
// session counts -- for a sysop tracing a proxy, a template link or a form.

void CgiActSysopTest(CgiRequest& r) {
  if (SysopRefused(r)) return;
  SysopPageBegin(r, "Test");
  auto row = [](const char* name, const St& value) {
    return std::string("<tr><th scope=\"row\">") + name + "</th><td>" + SysopEsc(value) +
           "</td></tr>\n";
  };
  std::string h = "<table class=\"sysop-test\">\n";
  h += row("Request", r.requestText);
  h += row("Command", StStIntXfm(r.command));
  h += row("Certificate", r.cert);
  h += row("Location", r.location);
  h += row("Remote address", r.remote);
  h += row("Server name", r.serverName);
  h += row("Script", r.scriptName);
  h += row("Browser flags", StStIntXfm(r.browser));
  h += row("User", ForumUserName(r.root, r.user));
  h += row("Sessions", StStIntXfm(AuthSessionCount()));
  h += row("Most sessions", StStIntXfm(AuthSessionHighWater()));
  h += row("Posts waiting for a log-in", StStIntXfm(PostCount()));
  h += "</table>\n";
  if (!r.form.empty()) {
    h += "<h2>Form</h2>\n<table class=\"sysop-test\">\n";
    for (const CgiPair& p : r.form) {
      std::string name(p.name.View());
      std::string lower = name;
      for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
      St value = lower.find("password") != std::string::npos ? StCreate() : p.value;
      h += "<tr><th scope=\"row\">" + SysopEsc(name) + "</th><td>" + SysopEsc(value) +
           "</td></tr>\n";
    }
    h += "</table>\n";
  }
  SysopPageAdd(r, h);
  SysopPageBackLink(r);
}

}  // namespace quil
