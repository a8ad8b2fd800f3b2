// Fuzz harness for the template parser and the evaluator with the whole
// vocabulary, on a real database.
//
// At start the harness makes a scratch directory, opens a database there
// with a few folders, discussions, messages, users and a group, and binds
// the template package's main site to it, with the site's document
// directory ("html") inside the scratch directory: the file keywords, the
// site template file and the program keywords (which find no executable
// there) all stay inside it.  Events go to quil.log in the scratch
// directory, mail to a callback that drops it.
//
// Each input is parsed as a template (in japanese scan mode when it starts
// with ESC) and evaluated, the whole text and then each top-level macro,
// for a user, certificate and path picked by the input's first bytes, with
// limits that keep one run short: a small while budget, a step limit and a
// size limit.  Queued timed actions run after each input.  Every 25 inputs
// the database and the document directory are made afresh, so that what
// the inputs create does not pile up (a search over a tree that inputs grew
// is what makes a run slow).  The input is also used as a
// date format and, split at its first NUL, as a number and a number format.
//
// The check for an unknown sort key of .pathSort is a designed consistency
// failure (a halt); the harness turns the template package's checks off so
// that such inputs run on, and keeps the expression checks on.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "Auth.h"
#include "Ch.h"
#include "Eval.h"
#include "ForumAcc.h"
#include "ForumUser.h"
#include "Ht.h"
#include "Qu.h"
#include "Store.h"
#include "Td.h"
#include "Template.h"
#include "TemplateInt.h"
#include "Ut.h"

using namespace quil;

namespace {

constexpr int kRunsPerDatabase = 25;

struct World {
  std::string dir;
  ForumRoot root = nullptr;
  std::vector<ChHandle> users;
  std::vector<std::string> paths;
  int runs = 0;
};

World& W() {
  static World w;
  return w;
}

St S(const char* text) { return StCStrXfm(text); }

void Write(const std::string& name, const std::string& text) {
  std::ofstream("html/" + name, std::ios::binary) << text;
}

void OpenWorld() {
  World& w = W();
  std::filesystem::remove_all("html");
  std::filesystem::remove("quil.db");
  std::filesystem::remove("quil.log");
  mkdir("html", 0755);
  ForumDbOpenOptions options;
  w.root = ForumDbOpenI("quil.db", &options);
  ForumFile top = ForumTopFolder(w.root);
  (void)ForumCatItemCreate(top, S("forum-category"), S("Cafe"), S("The Cafe"), 0, true,
                           nullptr);
  ForumFile cafe = ForumFileOpen(w.root, S("/Cafe"));
  (void)ForumCatItemCreate(cafe, S("forum-category"), S("Inner"), S("Inner"), 0, true,
                           nullptr);
  (void)ForumCatItemCreate(cafe, S("forum-topic"), S("x"), S("Coffee"), 0, true, nullptr);
  (void)ForumCatItemCreate(cafe, S("forum-link"), S("x"), S("A link"), 0, true, nullptr);
  ForumSetTemplate(cafe, S("cafeSet"));
  w.users.clear();
  w.users.push_back(0);
  w.users.push_back(ForumUserLookup(w.root, S("sysop")));
  for (const char* name : {"Ann Lee", "Bob Ray"}) {
    ChHandle u = 0;
    (void)ForumUserCreate(w.root, kForumUserRegistered, S(name), S("a@example.org"),
                          StHashMd5(S("pw")), &u);
    w.users.push_back(u);
  }
  ChHandle g = 0;
  (void)ForumGroupCreate(w.root, S("Editors"), &g);
  ForumFile coffee = ForumFileOpen(w.root, S("/Cafe/1"));
  int32_t index = 0;
  for (int i = 0; i < 4; ++i)
    ForumItemCreate(coffee, w.users[size_t(2 + i % 2)], S(i ? "" : "First"), S("text"),
                    S("Some <b>text</b> with http://example.org/ and 14@@ links"),
                    i - 1, true, &index);
  w.paths = {"", "/", "/Cafe", "/Cafe/Inner", "/Cafe/1", "/Cafe/1/0", "/Cafe/1/2", "/Cafe/2"};
  ForumSysopSetUseTemplates(w.root, true);
  ForumSysopSetWhileLimit(w.root, 60);
  ForumSysopSetMessage(w.root, S("<li>%% pathTitle %% %% authorName %%</li>"));
  ForumSysopSetHtmlFooter(w.root, S("<footer>%% siteTitle %%</footer>"));
  ForumSysopSetObjectionable(w.root, S("darn heck"));
  Write("quil.tpl",
        "%% macro banner %%B%% endmacro %%"
        "%% macro cafeSet %%%% macro messageListItem %%[%% pathTitle %%]%% endmacro %%"
        "%% endmacro %%"
        "%% macro box %%%% set r scCreateContainer %%%% set x scResponse(r) %%%% endmacro %%");
  Write("quilextn.tpl", "%% macro extnMarker %%%% endmacro %%%% macro later %%L%% endmacro %%");
  Write("note.txt", "a note");
  TemplateSite& site = TemplateMainSite();
  site.root = w.root;
  site.docDir = "html";
  site.siteString = S("/quil?");
  ForumTemplateCache(site);
  TemplateFileRefresh(site);
}

void CloseWorld() {
  World& w = W();
  TemplateSite& site = TemplateMainSite();
  TemplateFileClose(site);
  TemplateCacheTerm(site);
  site.mailboxes.clear();
  site.root = nullptr;
  AuthRemoveAll();
  ForumDbCloseI(w.root);
  w.root = nullptr;
}

bool Init() {
  char tmpl[] = "/tmp/quil-fuzz-template-XXXXXX";
  if (!mkdtemp(tmpl)) abort();
  W().dir = tmpl;
  if (chdir(tmpl) != 0) abort();
  WfConfigure().daemon = true;  // events to quil.log here
  (void)UtInitRtns(kPkgInit, kPkgVersion);
  StoreRegisterTypes();
  (void)QuInitRtns(kPkgInit, kPkgVersion);
  if (ChInit(kPkgVersion, 512) != 0) abort();
  (void)ForumInitRtns(kPkgInit, kPkgVersion);
  ExprParseInit();
  StandardTemplateInit();
  TemplateDebugFlag = false;  // see the note at the top
  TemplateOnEmail([](ForumRoot, const St&, const St&) { return true; });
  TemplateOnEmailLog([](const St&, const St&, const St&) {});
  OpenWorld();
  atexit([] {
    CloseWorld();
    std::filesystem::remove_all(W().dir);
  });
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = Init();
  (void)ready;
  World& w = W();
  if (++w.runs % kRunsPerDatabase == 0) {
    CloseWorld();
    OpenWorld();
    // Names are process-wide; forget them with the templates that used them.
    ExprLocalNamesClear();
  }
  std::string_view input(reinterpret_cast<const char*>(data), size);
  uint8_t pick = size > 0 ? data[0] : 0;
  {
    bool japanese = pick == 27;
    TemplateSimpleRequest request;
    request.AddForm("name", "value");
    request.AddForm("username", "Ann Lee");
    request.cgi.push_back({S("remote_addr"), S("127.0.0.1")});
    request.command = pick & 7 ? 14 : 7;
    TemplateRef t = TemplateParse(StFromView(input), S("/quil?"), St(), japanese);
    ChHandle user = w.users[pick % w.users.size()];
    St cert = (pick & 16) ? S("abc.def-t^3") : St();
    ForumFile path;
    const std::string& where = w.paths[(pick >> 2) % w.paths.size()];
    if (!where.empty()) path = ForumFileOpen(w.root, StFromView(where));
    std::unique_ptr<ExprContext> ctx = ExprContextCreate(user, cert, path, &request);
    ctx->SetWhileLimit(10);
    ctx->SetSizeLimit(int64_t(1) << 16);
    ctx->SetStepLimit(500);
    ExprContextSetPageType(*ctx, 1);
    St page = TemplateProcess(t, *ctx);
    t->ForEachMacro([&](const TemplateRef& m) {
      St part = TemplateProcess(m, *ctx);
    });
  }
  QuProcess(5, 0);

  Td when;
  when.year = 2001, when.month = 3, when.day = 5, when.hour = 13;
  when.minute = 4, when.second = 9, when.millisecond = 250;
  St date = TdToSt(when, input.substr(0, 4096));
  Td parsed;
  if (TdParse(input, &parsed)) date = TdToSt(parsed, "Y4-M2-D2-H4.I2.S2");

  size_t nul = input.find('\0');
  if (nul != std::string_view::npos) {
    St number;
    ExprNumberFormat(input.substr(0, nul), input.substr(nul + 1), &number);
  }
  return 0;
}
