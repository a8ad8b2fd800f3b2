// Fuzz harness for what a client sends to request processing: the request
// text, urlencoded and multipart/form-data bodies, cookies, the user agent
// and basic authorization.
//
// The input is cut at NUL bytes into: a selector byte, the query, the
// content type, the body, the cookie header, the user agent and an
// Authorization value.  Each input runs the parsers on their own (form
// pairs, multipart, duplicates, password blanking, the request-text split,
// command numbers, kept requests, certificate insertion, picture sizes)
// and then a whole request through ForumCgiProcessUrl on a database opened
// once in a scratch directory, with handlers installed for a few commands
// so that forwards, kept requests and saved posts are reached.  Every
// response must be a complete HTTP response.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Cgi.h"
#include "CgiInt.h"
#include "Forum.h"
#include "ForumAcc.h"
#include "ForumUser.h"
#include "Img.h"
#include "Ma.h"
#include "Qu.h"
#include "Store.h"
#include "Ut.h"

using namespace quil;

namespace {

void Page(CgiRequest& r) {
  BufAddC(r.page, "<HTML><a href=\"/Quil?14@@");
  BufAddS(r.page, StToSgml(r.location));
  BufAddC(r.page, "\">x</a>");
  for (const CgiPair& p : r.form) BufAddSt(r.page, p.name);
}
void ShowOrForward(CgiRequest& r) {
  if (!CgiForwardKept(r)) Page(r);
}
void PostOrLogin(CgiRequest& r) {
  ForumFile item = CgiOpenLocation(r.root, r.location);
  if (!item || !ForumAccOpCk(item, r.user, kForumAccPost)) {
    CgiKeepAndLogin(r);
    return;
  }
  Page(r);
}
void Login(CgiRequest& r) {
  if (!CgiForwardKept(r)) Page(r);
}

bool Setup() {
  // The database and the documents directory go to a scratch directory;
  // the fuzzer's own directory (its corpus paths are relative) is restored.
  char dir[] = "/tmp/quil-fuzz-web-XXXXXX";
  if (!mkdtemp(dir)) abort();
  std::filesystem::path here = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  (void)UtInitRtns(kPkgInit, kPkgVersion);
  StoreRegisterTypes();
  (void)QuInitRtns(kPkgInit, kPkgVersion);
  if (ChInit(kPkgVersion, 256) != 0) abort();
  (void)ForumInitRtns(kPkgInit, kPkgVersion);
  ForumDbOpenOptions options;
  wfForumRoot = ForumDbOpenI(std::string(dir) + "/quil.db", &options);
  ForumFile top = ForumTopFolder(wfForumRoot);
  St name;
  (void)ForumCatItemCreate(top, StCStrXfm("forum-category"), StCStrXfm("L1Cat"), StCStrXfm("t"), 0,
                           true, &name);
  (void)ForumCatItemCreate(top, StCStrXfm("forum-topic"), StCStrXfm("d"), StCStrXfm("t"), 0, true,
                           &name);
  ForumAccEnable(top, kForumAccAllGuests, kForumAccRead);
  ForumSysopSetLogRequest(wfForumRoot, false);
  St message;
  if (!ForumCgiInit(&message)) abort();
  for (int c : {1, 14, 39, 59, 200}) (void)CgiActionSet(c, ShowOrForward, 0);
  for (int c : {4, 10, 11, 12}) (void)CgiActionSet(c, PostOrLogin, kCgiActNoCache);
  (void)CgiActionSet(kCgiCmdLoginForm, Page, 0);
  (void)CgiActionSet(kCgiCmdLogin, Login, 0);
  (void)CgiActionSet(27, Page, kCgiActBinary);
  std::filesystem::current_path(here);
  return true;
}

std::vector<std::string_view> Fields(std::string_view in, size_t n) {
  std::vector<std::string_view> out;
  while (out.size() + 1 < n) {
    size_t z = in.find('\0');
    if (z == std::string_view::npos) break;
    out.push_back(in.substr(0, z));
    in = in.substr(z + 1);
  }
  out.push_back(in);
  out.resize(n);
  return out;
}

void Parsers(const std::vector<std::string_view>& f) {
  St query = StFromView(f[1]), type = StFromView(f[2]), body = StFromView(f[3]);
  CgiPairList form;
  CgiUploadList files;
  (void)GetNameValuePairsX(query, &form);
  (void)GetNameValuePairsX(ConvertPlusSymbols(body), &form);
  (void)GetPartNameValuePairs(body, type, &form, &files);
  RemoveNameValueDuplicates(&form);
  if (int32_t(form.size()) > kCgiMaxFields) abort();
  St dotted = DotPasswords(body);
  if (dotted.Length() > body.Length()) abort();
  CgiRequestParts parts;
  CgiSplitRequestText(StFromUrlQuote(query), &parts);
  bool login = false;
  St command = parts.commandText;
  int n = CgiCommandNumber(&command, &login);
  if (n < 0 || n > kCgiMaxCommand) abort();
  St kept, rest;
  (void)CgiKeptRequest(parts.location, &kept, &rest);
  (void)CgiLocationQuote(parts.location);
  (void)HtmlSelfRef(body, StCStrXfm("3.abcdefghijk^1"), StCStrXfm("/Quil"), type);
  ImgSize size;
  (void)ImgSizeOf(body, &size);
  (void)CgiBrowserFlags(StFromView(f[5]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = Setup();
  (void)ready;
  std::vector<std::string_view> f =
      Fields(std::string_view(reinterpret_cast<const char*>(data), size), 7);
  Parsers(f);

  uint8_t selector = f[0].empty() ? 0 : uint8_t(f[0][0]);
  CgiEvent e;
  e.frontEnd = CgiFrontEnd(1 + selector % 4);
  e.query = StFromView(f[1]);
  e.contentType = StFromView(f[2]);
  e.method = StCStrXfm(selector & 0x10 ? "GET" : "POST");
  if (!f[3].empty()) e.body = StFromView(f[3]);
  if (!f[4].empty()) e.cookie = StFromView(f[4]);
  e.userAgent = StFromView(f[5]);
  e.serverName = StCStrXfm("fuzz:8080");
  e.scriptName = StCStrXfm("/Quil");
  e.remoteAddr = StCStrXfm(selector & 0x20 ? "10.0.0.2" : "10.0.0.1");
  if (!f[6].empty()) e.cgiPairs.push_back({StCStrXfm("http_Authorization"), StFromView(f[6])});
  bool cookies = (selector & 0x40) != 0, once = (selector & 0x80) != 0;
  if (ForumSysopUseCookies(wfForumRoot) != cookies) ForumSysopSetUseCookies(wfForumRoot, cookies);
  if (ForumSysopLoginOnce(wfForumRoot) != once) ForumSysopSetLoginOnce(wfForumRoot, once);
  CgiProcess(e);
  std::string_view r = e.result.View();
  if (r.find("\r\n\r\n") == std::string_view::npos && r.substr(0, 5) != "HTTP/") abort();
  return 0;
}
