// The status pages of services that later work brings: mirror
// synchronisation (190), the chat services (207) and the search spider
// (237).
//
// Decisions:
//   - Each page says what runs and what is configured, from the state
//     that exists: the stored settings of the sysop's forms (mirror
//     servers 188/189, chat services 197/198 and 208/209, search) and the
//     server switches of "quil.set".  No mirror, chat or indexing service
//     runs in this server yet, and the pages say so rather than show
//     counters that nothing keeps.
//   - SEAM: when the mirror service, the chat service and the search index
//     arrive, each replaces the "not running" part of its page with its
//     own state (the synchronisation in progress, the chat connections,
//     the indexing progress); the settings parts stay.
//   - The spider status page asks the browser to fetch it again every 20
//     seconds (a "Refresh: 20" header line), so that it can be left open
//     while an index is built.
#include <filesystem>
#include <string>

#include "CgiSysopInt.h"
#include "ForumSet.h"

namespace quil {

namespace {

std::string Row(std::string_view name, std::string_view value) {
  return "<dt>" + SysopEsc(name) + "</dt><dd>" + SysopEsc(value) + "</dd>\n";
}

std::string YesNo(bool on) { return on ? "yes" : "no"; }

std::string TextOr(const St& value, const char* none) {
  return value.IsNil() || value.Empty() ? std::string(none) : std::string(value.View());
}

// A switch of quil.set as written there, "(not set)" when absent.
std::string ServerSwitch(const char* keyword) {
  return TextOr(wfQuilSettings.Get(keyword), "(not set)");
}

std::string ServerSwitches(std::initializer_list<const char*> keywords) {
  std::string h = "<h2>Server switches (quil.set)</h2>\n<dl class=\"sysop-status\">\n";
  for (const char* k : keywords) h += Row(k, ServerSwitch(k));
  return h + "</dl>\n";
}

}  // namespace

// 190: mirror synchronisation.
void CgiActSysopSynch(CgiRequest& r) {
  if (SysopRefused(r)) return;
  SysopPageBegin(r, "Mirror synchronisation");
  std::string h =
      "<p role=\"status\">No mirror server is running: this server neither sends its changes "
      "to mirrors nor takes them from a source, and nothing is waiting for a "
      "synchronisation.</p>\n<h2>Stored settings</h2>\n<dl class=\"sysop-status\">\n";
  h += Row("This server is the source of mirrors", YesNo(ForumSysopIsNameServer(r.root)));
  h += Row("This server mirrors a source", YesNo(ForumSysopIsNameServerClient(r.root)));
  h += Row("Address of the source", TextOr(ForumSysopNameServer(r.root), "(none)"));
  h += Row("Port of the source", std::to_string(ForumSysopNameServerPort(r.root)));
  h += Row("Address of the master", TextOr(ForumSysopMaster(r.root), "(none)"));
  h += Row("Mirror threads", std::to_string(ForumSysopMirrorThreads(r.root)));
  h += Row("Keep the synchronisation records of mirrors", YesNo(ForumSysopSaveSlaveSynch(r.root)));
  h += Row("Log mirror synchronisation", YesNo(ForumSysopLogSynch(r.root)));
  h += "</dl>\n";
  h += ServerSwitches({"isMaster", "isSlave", "masterIp", "slaveIps", "masterSlavePort"});
  h += "<p><a href=\"?188@@\">Source and mirror servers</a></p>\n";
  SysopPageAdd(r, h);
  SysopPageBackLink(r);
}

// 207: the chat services.
void CgiActSysopChatStatus(CgiRequest& r) {
  if (SysopRefused(r)) return;
  SysopPageBegin(r, "Chat status");
  // No chat role runs in this server (the chat service arrives later).
  std::string h = "<h3>Chat services are not installed</h3>\n<h2>Stored roles</h2>\n"
                  "<dl class=\"sysop-status\">\n";
  h += Row("Control room", YesNo(ForumSysopIsLiveControl(r.root)));
  h += Row("Fan-out server", YesNo(ForumSysopIsLiveFanout(r.root)));
  h += Row("Uses a control room", YesNo(ForumSysopUseLiveControl(r.root)));
  h += Row("Address of the control room", TextOr(ForumSysopLiveCtrlIp(r.root), "(none)"));
  h += Row("Chat clients of a fan-out server", std::to_string(ForumSysopFanoutClientsMax(r.root)));
  h += "</dl>\n";
  h += ServerSwitches({"useChat", "isChatControlRoom", "isChatFanout", "controlRoomIp"});
  h += "<p><a href=\"?208@@\">Basic chat services</a> &middot; <a href=\"?197@@\">Chat "
       "services</a></p>\n";
  SysopPageAdd(r, h);
  SysopPageBackLink(r);
}

// 237: the search spider.
void CgiActSysopSpiderStatus(CgiRequest& r) {
  if (SysopRefused(r)) return;
  r.AddResponseHeader(StCStrXfm("Refresh: 20"));
  r.noCache = true;
  SysopPageBegin(r, "Spider status");
  std::string h = "<p role=\"status\">No indexing is running: the search spider does not run "
                  "in this server.</p>\n<dl class=\"sysop-status\">\n";
  std::error_code ec;
  auto size = std::filesystem::file_size("quil.idx", ec);
  h += Row("Index file quil.idx", ec ? std::string("none") : std::to_string(size) + " bytes");
  h += Row("Search in folders", YesNo(ForumSysopSearchEnabled(r.root)));
  h += Row("Search at the top level", YesNo(ForumSysopTopSearchEnabled(r.root)));
  h += Row("Search within one discussion", YesNo(ForumSysopForumOneSearch(r.root)));
  h += "</dl>\n" + ServerSwitches({"searchIx"}) +
       "<p>This page is fetched again every 20 seconds.</p>\n";
  SysopPageAdd(r, h);
  SysopPageBackLink(r);
}

}  // namespace quil
