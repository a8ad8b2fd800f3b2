// Dispatching: TakeAction, forwards within a request, the login gates and
// the replay of saved posts.
#include "Auth.h"
#include "CgiInt.h"
#include "Ec.h"
#include "ForumUser.h"

namespace quil {

namespace {

// The live table, indexed by command (entry 0 unused).
CgiAction liveTable[kCgiLastDispatched + 1];

St Cat(std::string_view a, std::string_view b, std::string_view c = {}) {
  std::string s;
  s.reserve(a.size() + b.size() + c.size());
  s.append(a).append(b).append(c);
  return StFromView(s);
}

void UnableToProcess(CgiRequest& r) {
  St text = Cat(kEcProductName, " server is unable to process \"",
                StToSgml(r.requestText).View());
  CgiErrorPage(r, "Unable to process", Cat(text.View(), "\"").View());
}

// Step 2 of dispatching: "http:" or "https:", "//", the server name and the
// script path, stored when it changed.
void StoreUrlBase(CgiRequest& r) {
  if (!r.root || r.serverName.Empty()) return;
  St base = Cat(ForumSysopSecureServer(r.root) ? "https://" : "http://", r.serverName.View(),
                r.scriptName.View());
  if (ForumSysopUrlPreQuery(r.root).View() != base.View()) CgiStoreSetUrlPreQuery(r.root, base);
}

// Whether the request may run as it is for the user it has (the gates of a
// request that has no user, or needs one).
bool GatePasses(const CgiRequest& r) {
  if (r.command == kCgiCmdLogin || r.command == kCgiCmdSysopLogin) return true;
  if (r.user != 0) return true;
  if (r.needsLogin) return false;
  // A malformed command is answered as such, whoever sends it.
  if (r.command == kCgiCmdBadUrl) return true;
  if (r.command == kCgiCmdMacro) {
    if (!r.root || !ForumSysopAllowGuests(r.root)) return false;
  } else if (!CgiSeHas(CgiNoLoginSe, r.command)) {
    return false;
  }
  if (r.root && ForumSysopLoginOnce(r.root) && r.madeGuest &&
      (r.command == kCgiCmdMacro || !CgiSeHas(CgiNoOnceSe, r.command)))
    return false;
  return true;
}

// Rewrites a refused request into the login form with the request kept.
void KeepRequest(CgiRequest& r) {
  St commandText = r.command == kCgiCmdMacro ? r.commandText : StStIntXfm(r.command);
  if (CgiSeHas(CgiPostSe, r.command)) commandText = StStIntXfm(PostMark(r));
  bool sysop = CgiSeHas(CgiSysopSe, r.command);
  r.location = Cat(commandText.View(), "@", r.location.View());
  r.command = sysop ? kCgiCmdSysopLoginForm : kCgiCmdLoginForm;
  r.commandText = StStIntXfm(r.command);
  r.needsLogin = false;
  r.form.clear();
  r.uploads.clear();
  r.noCache = true;
}

void ResetPage(CgiRequest& r) {
  BufOpen(r.page);
  r.html = true;
  r.pageComplete = false;
  r.contentType = St();
  r.extraHeaders = St();
  r.lastModified = LgDbTd();
  r.footerFolder = ForumFile();
}

}  // namespace

void CgiActionsInit() {
  for (int c = 0; c <= kCgiLastDispatched; ++c) liveTable[c] = CgiAction{c, nullptr, 0};
  for (int i = 0; i < kCgiActionTableSize; ++i) {
    const CgiAction& a = kCgiActionTable[i];
    MA_CHECK(CgiDebugFlag, a.command >= 1 && a.command <= kCgiLastDispatched,
             "CgiActionsInit--command out of range");
    liveTable[a.command] = a;
  }
}

const CgiAction* CgiActionFind(int command) {
  if (command < 1 || command > kCgiLastDispatched) return nullptr;
  return &liveTable[command];
}

CgiAction CgiActionSet(int command, CgiActionFn handler, uint32_t flags) {
  MA_CHECK(true, command >= 1 && command <= kCgiLastDispatched, "CgiActionSet--command");
  CgiAction old = liveTable[command];
  liveTable[command] = CgiAction{command, handler, flags};
  return old;
}

void TakeAction(CgiRequest& r) {
  if (!r.page.IsOpen()) BufOpen(r.page);
  if (r.root && ForumSysopLogAuthentication(r.root))
    (void)AuthLogAuthenticated(r.root, StCStrXfm(" Authenticate TakeAction "), r.user);
  StoreUrlBase(r);

  if (r.command == kCgiCmdMacro) {
    ForumFile folder = CgiOpenLocation(r.root, r.location);
    if (!CgiTemplates().macroPage(r, r.commandText, folder)) {
      CgiErrorPage(r, "Missing template",
                   Cat("The template \"", StToSgml(r.commandText).View(), "\" is not defined.").View());
    }
    return;
  }
  if (CgiSeHas(CgiSysopSe, r.command) && !(r.root && ForumUserGetSysop(r.root, r.user))) {
    CgiErrorPage(r, "Sysop Function", "Only a system operator may use this request");
    return;
  }
  if (CgiIsPostMark(r.command)) {
    CgiActPostLookup(r);
    return;
  }
  const CgiAction* action = CgiActionFind(r.command);
  if (!action || !action->handler) {
    UnableToProcess(r);
    return;
  }
  if (action->flags & kCgiActNoCache) r.noCache = true;
  if (action->flags & kCgiActBinary) r.html = false;
  action->handler(r);
}

void ForwardAction(CgiRequest& r, int command, St location) {
  r.command = command;
  if (command != kCgiCmdMacro) r.commandText = StStIntXfm(command);
  r.location = location.IsNil() ? StCreate() : std::move(location);
  ResetPage(r);
  if (r.forwardDepth >= kCgiMaxForwards) {
    UnableToProcess(r);
    return;
  }
  ++r.forwardDepth;
  if (!GatePasses(r)) KeepRequest(r);
  TakeAction(r);
  --r.forwardDepth;
}

bool CgiForwardKept(CgiRequest& r) {
  St commandText, rest;
  if (!CgiKeptRequest(r.location, &commandText, &rest)) return false;
  int command = 0;
  int32_t n = 0;
  if (StIntStXfm(commandText, &n) && CgiIsPostMark(n)) {
    command = n;
  } else {
    bool needsLogin = false;
    command = CgiCommandNumber(&commandText, &needsLogin);
    r.needsLogin = r.needsLogin || needsLogin;
  }
  r.commandText = commandText;
  ForwardAction(r, command, std::move(rest));
  return true;
}

void CgiKeepAndLogin(CgiRequest& r) {
  KeepRequest(r);
  ForwardAction(r, r.command, r.location);
}

void CgiGates(CgiRequest& r) {
  if (!GatePasses(r)) KeepRequest(r);
}

void CgiActPostLookup(CgiRequest& r) {
  int mark = r.command;
  if (mark == kCgiCmdPostLookup) {
    // "44@@mark" or "44@@mark@location": the mark leads the location.
    int32_t digits = 0;
    while (digits < r.location.Length() && digits < 9 && r.location[digits] >= '0' &&
           r.location[digits] <= '9')
      ++digits;
    int32_t n = 0;
    mark = digits > 0 && StIntStXfm(StSubstr(r.location, 0, digits), &n) ? n : 0;
  }
  if (!CgiIsPostMark(mark) || !PostLookup(r, mark)) {
    ForwardAction(r, kCgiCmdPostFailed, r.location);
    return;
  }
  ForwardAction(r, r.command, r.location);
}

}  // namespace quil
