// Keywords that reach outside the conference: files of the site's document
// directory, outside programs, mail, timed actions, the objectionable-word
// list, the script binding's entry points, and the record log.
//
// Files: the name (the receiver of the .file... methods, the argument of
// file and fileDelete) is resolved against the site's document directory
// and refused when it leads out of it (TemplateSiteFilePath); a refused or
// failed operation gives 0 or nothing and leaves its reason in fileError.
// Files read are cut at kFileReadMax bytes; .fileWrite replaces the file
// (mode 0644) and .fileRename keeps both names inside the directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Ht.h"
#include "TemplateInt.h"

namespace quil {

namespace {

constexpr int64_t kFileReadMax = 16 << 20;

struct FileState : ExprContextExt {
  St error;
};

void SetFileError(ExprContext& ctx, std::string_view text) {
  auto* s = static_cast<FileState*>(ctx.FamilyState(kFamilyFiles));
  if (!s) {
    auto made = std::make_unique<FileState>();
    s = made.get();
    ctx.SetFamilyState(kFamilyFiles, std::move(made));
  }
  s->error = StFromView(text);
}

const TemplateSite& SiteOf(ExprContext& ctx) {
  return ctx.site ? *ctx.site : TemplateCurrentSite();
}

// The full path of a file name, or false with fileError set.
bool Resolve(ExprCall& c, const St& name, std::string* full) {
  if (TemplateSiteFilePath(SiteOf(c.Context()), name.View(), full)) return true;
  SetFileError(c.Context(), "File name refused: " + name.Str());
  return false;
}

void SystemError(ExprContext& ctx, const char* what, const St& name) {
  SetFileError(ctx, std::string(what) + " " + name.Str() + ": " + strerror(errno));
}

bool ReadFile(ExprCall& c, const St& name, St* out) {
  std::string full;
  if (!Resolve(c, name, &full)) return false;
  int fd = open(full.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    SystemError(c.Context(), "Cannot open", name);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    SetFileError(c.Context(), "Not a file: " + name.Str());
    return false;
  }
  int64_t size = st.st_size < kFileReadMax ? st.st_size : kFileReadMax;
  St data = StAlloc(int32_t(size));
  int64_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, data.MutableChars() + got, size_t(size - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += n;
  }
  close(fd);
  data.SetLength(int32_t(got));
  *out = std::move(data);
  return true;
}

// file(name): writes the file's contents.
void KwFile(ExprCall& c) {
  St data;
  if (ReadFile(c, c.ArgSt(0), &data)) c.Context().Write(data.View());
}

void KwFileError(ExprCall& c) {
  auto* s = static_cast<FileState*>(c.Context().FamilyState(kFamilyFiles));
  c.Return(s ? s->error : StCreate());
}

void KwFileRead(ExprCall& c) {
  St data;
  if (ReadFile(c, c.ReceiverSt(), &data)) c.Return(std::move(data));
}

void KwFileExists(ExprCall& c) {
  std::string full;
  struct stat st;
  c.ReturnBool(Resolve(c, c.ReceiverSt(), &full) &&
               lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode));
}

void KwFileLength(ExprCall& c) {
  std::string full;
  struct stat st;
  if (!Resolve(c, c.ReceiverSt(), &full) || lstat(full.c_str(), &st) != 0)
    return c.Return(-1);
  c.Return(int32_t(st.st_size > INT32_MAX ? INT32_MAX : st.st_size));
}

bool Delete(ExprCall& c, const St& name) {
  std::string full;
  if (!Resolve(c, name, &full)) return false;
  if (unlink(full.c_str()) == 0) return true;
  SystemError(c.Context(), "Cannot delete", name);
  return false;
}

void KwFileDelete(ExprCall& c) { c.ReturnBool(Delete(c, c.ReceiverSt())); }
void KwFileDeleteKeyword(ExprCall& c) { c.ReturnBool(Delete(c, c.ArgSt(0))); }

void KwFileRename(ExprCall& c) {
  std::string from, to;
  St name = c.ReceiverSt(), target = c.ArgSt(0);
  if (!Resolve(c, name, &from) || !Resolve(c, target, &to)) return c.Return(0);
  if (rename(from.c_str(), to.c_str()) == 0) return c.Return(1);
  SystemError(c.Context(), "Cannot rename", name);
  c.Return(0);
}

void KwFileWrite(ExprCall& c) {
  std::string full;
  St name = c.ReceiverSt();
  if (!Resolve(c, name, &full)) return c.Return(0);
  St text = c.ArgSt(0);
  int fd = open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                0644);
  if (fd < 0) {
    SystemError(c.Context(), "Cannot write", name);
    return c.Return(0);
  }
  const char* p = text.CStr();
  int64_t left = text.Length();
  bool ok = true;
  while (left > 0) {
    ssize_t n = write(fd, p, size_t(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    p += n;
    left -= n;
  }
  if (close(fd) != 0) ok = false;
  if (!ok) SystemError(c.Context(), "Cannot write", name);
  c.ReturnBool(ok);
}

// ---------------------------------------------------------------------------
// Programs.

void KwExec(ExprCall& c) {
  ExprContext& ctx = c.Context();
  St output;
  std::vector<St> env;
  const std::vector<St>* envp = nullptr;
  if (c.Selector() == 1) {  // cgi: the CGI variables
    static const char* const kNames[] = {
        "request_method", "query_string", "remote_addr", "server_name",
        "http_cookie", "content_type", "remote_user", "http_user_agent",
        "http_from", "script_name"};
    for (const char* n : kNames) {
      St v = ctx.request ? ctx.request->CgiVariable(n) : St();
      if (v.IsNil()) continue;
      env.push_back(StCStrXfm(n));
      env.push_back(std::move(v));
    }
    envp = &env;
  }
  int32_t status = TemplateRunProgram(SiteOf(ctx), c.ArgSt(0), envp, &output);
  if (status != 0) {
    SetFileError(ctx, "Program failed: " + c.ArgSt(0).Str());
    return c.Return(StCreate());
  }
  c.Return(output.IsNil() ? StCreate() : std::move(output));
}

// ---------------------------------------------------------------------------
// Mail and logs.

// email(text): the first line (to CR or LF) is the recipient list, "To:"
// before it allowed; the rest after the line break is the message.
void KwEmail(ExprCall& c) {
  St text = c.ArgSt(0);
  std::string_view v = text.View();
  size_t eol = v.find_first_of("\r\n");
  std::string_view to = v.substr(0, eol);
  std::string_view body;
  if (eol != std::string_view::npos) {
    size_t start = eol + 1;
    if (v[eol] == '\r' && start < v.size() && v[start] == '\n') ++start;
    body = v.substr(start);
  }
  if (to.size() >= 3 && ExprEqualNoCase(to.substr(0, 3), "To:")) to.remove_prefix(3);
  St recipients = StStripBlanks(StFromView(to));
  if (recipients.Empty()) return c.Return(0);
  c.ReturnBool(TemplateEmailSend(c.Context().root, recipients, StFromView(body)));
}

// .emailLog(facility, level): logs the receiver (defaults "web", "warning").
void KwEmailLog(ExprCall& c) {
  TemplateEmailLog(c.ArgSt(0), c.ArgSt(1), c.ReceiverSt());
}

// .log: one line of the event log.
void KwLog(ExprCall& c) {
  St text = c.ReceiverSt();
  std::string line(text.View().substr(0, 4000));
  for (char& ch : line)
    if (ch == '\r' || ch == '\n') ch = ' ';
  Wf_log_write("%s", line.c_str());
}

// record(text): a line of the server's record log ("* " and the text).
void KwRecord(ExprCall& c) {
  St text = c.ArgSt(0);
  std::string line(text.View().substr(0, 4000));
  for (char& ch : line)
    if (ch == '\r' || ch == '\n') ch = ' ';
  Wf_log_write("* %s", line.c_str());
}

// ---------------------------------------------------------------------------
// Timed actions.
//
// MACRO.queue(seconds, user, param1, param2): runs the site-file macro
// MACRO after seconds (default 0) for user (a user identifier; default the
// current user), with qParam1 and qParam2 reading the parameters.  Gives
// the action's id (0 when the site has no template file loaded).

void KwQueue(ExprCall& c) {
  ExprContext& ctx = c.Context();
  TemplateSite& site = ctx.site ? *ctx.site : TemplateCurrentSite();
  ChHandle user = ctx.user;
  if (c.Written(1) && ctx.root)
    user = TemplatePrincipalById(ctx.root, TemplateIdFromText(c.ArgSt(1).View()));
  c.Return(TplQueue(site, c.ReceiverSt(), user, c.Written(0) ? c.ArgInt(0) : 0,
                    c.ArgSt(2), c.ArgSt(3)));
}

void KwQueueClear(ExprCall& c) {
  ExprContext& ctx = c.Context();
  TplQueueClear(ctx.site ? *ctx.site : TemplateCurrentSite());
}

void KwQParam(ExprCall& c) {
  c.Return(c.Selector() == 0 ? c.Context().qParam1 : c.Context().qParam2);
}

// ---------------------------------------------------------------------------
// Objectionable words.

void KwIsObjectionable(ExprCall& c) {
  const TemplateSite& site = SiteOf(c.Context());
  c.ReturnBool(!site.objectionable.Empty() &&
               StObjectionable(c.ReceiverSt(), site.objectionable, false));
}

void KwMarkObjectionable(ExprCall& c) {
  const TemplateSite& site = SiteOf(c.Context());
  St text = c.ReceiverSt();
  if (site.objectionable.Empty()) return c.Return(std::move(text));
  c.Return(StObjectionableCover(std::move(text), site.objectionable, false,
                                "<mark class=\"objectionable\">", "</mark>"));
}

// ---------------------------------------------------------------------------
// The script binding is not built yet: its entry points write an error
// expression and never fail the page.

constexpr char kNoScripts[] = "Server-side scripts are not available";

void KwJsEval(ExprCall& c) {
  ExprContext& ctx = c.Context();
  ctx.Write("<b>%% ");
  ctx.Write(kNoScripts);
  ctx.Write(" %%</b>");
}
void KwJsEvalOrError(ExprCall& c) { c.Return(StCStrXfm(kNoScripts)); }

// .selfRef: the receiver with the certificate put into its links to this
// server.
void KwSelfRef(ExprCall& c) {
  ExprContext& ctx = c.Context();
  St text = c.ReceiverSt();
  if (ctx.certificate.Empty()) return c.Return(std::move(text));
  const TemplateSite& site = SiteOf(ctx);
  c.Return(TemplateSelfRefInsert(text.View(), ctx.certificate, site.siteString,
                                 site.urlBase));
}

constexpr KwEntry kIoEntries[] = {
    {"file", KwFile, 0},
    {"fileError", KwFileError, 0},
    {"fileDelete", KwFileDeleteKeyword, 0},
    {".fileRead", KwFileRead, 0},
    {".fileExists", KwFileExists, 0},
    {".fileLength", KwFileLength, 0},
    {".fileDelete", KwFileDelete, 0},
    {".fileRename", KwFileRename, 0},
    {".fileWrite", KwFileWrite, 0},
    {"exec", KwExec, 0},
    {"cgi", KwExec, 1},
    {"email", KwEmail, 0},
    {".emailLog", KwEmailLog, 0},
    {".log", KwLog, 0},
    {"record", KwRecord, 0},
    {".queue", KwQueue, 0},
    {"queueClear", KwQueueClear, 0},
    {"qParam1", KwQParam, 0},
    {"qParam2", KwQParam, 1},
    {".isObjectionable", KwIsObjectionable, 0},
    {".markObjectionable", KwMarkObjectionable, 0},
    {".jsEval", KwJsEval, 0},
    {".jsEvalOrError", KwJsEvalOrError, 0},
    {"jsError", KwJsEvalOrError, 0},
    {".selfRef", KwSelfRef, 0},
};

}  // namespace

void ExprInstallIoBuiltins() { KwInstall(kIoEntries); }

}  // namespace quil
