// quil-tpl: evaluates a template without a running server.
//
// Reads a template file (or standard input), parses it, evaluates either the
// whole text or the macros named with -m, and prints the page on standard
// output.  Form values are given as NAME=VALUE arguments.  With -d the
// template is evaluated against a database file, opened read-only: the
// current path (-a), the user (-u) and the site's document directory (-s,
// where the site template file and the files of the file keywords are) make
// the page what the server would show; changes that keywords make are
// applied to the open copy only and never saved.  Without -d, keywords that
// need the conference store have no value; the tool names them on standard
// error.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Ch.h"
#include "Eval.h"
#include "Forum.h"
#include "ForumUser.h"
#include "Qu.h"
#include "Store.h"
#include "Template.h"
#include "Ut.h"

namespace {

constexpr char kUsage[] =
    "usage: quil-tpl [-h] [-d DATABASE [-a PATH] [-u USER] [-s DIR] [-f]]\n"
    "                [-m MACRO]... [-w LIMIT] [-p PAGE] [FILE | -] [NAME=VALUE]...\n"
    "\n"
    "Evaluates a template and prints the page on standard output.\n"
    "\n"
    "  FILE        the template file; standard input when absent or \"-\"\n"
    "  NAME=VALUE  a form value (form, getValue, hasValue read it)\n"
    "  -m MACRO    evaluate the macro MACRO of the file instead of the whole\n"
    "              text; may be repeated, the macros run in order\n"
    "  -w LIMIT    while-loop budget for the page (default: the sysop's\n"
    "              setting with -d, else 1000)\n"
    "  -p PAGE     the page type that pageIs tests (a name such as \"login\")\n"
    "  -d DATABASE evaluate against this database file (opened read-only;\n"
    "              nothing the template changes is saved)\n"
    "  -a PATH     the current path: a name path (\"/Cafe/1\") or a unique\n"
    "              path (\".ee6b2801\"); default the top level\n"
    "  -u USER     the user the page is prepared for (a name); default a guest\n"
    "  -s DIR      the site's document directory (default \"html\" beside the\n"
    "              database); its quil.tpl and quilextn.tpl are loaded as the\n"
    "              server loads them, so that `use` finds the site's macros\n"
    "  -f          look the macros of -m up as the server does: in the site\n"
    "              template file, through the folder template sets of PATH\n"
    "  -h          print this text\n"
    "\n"
    "Exit status: 0 done, 1 the file could not be read, 2 bad arguments,\n"
    "3 a macro named with -m does not exist, 4 the database, path or user\n"
    "could not be opened.\n";

bool ReadAll(FILE* f, std::string* out) {
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  return !ferror(f);
}

int Usage(const char* problem) {
  fprintf(stderr, "quil-tpl: %s\n%s", problem, kUsage);
  return 2;
}

struct Options {
  std::vector<std::string> macros;
  std::vector<std::pair<std::string, std::string>> form;
  const char* file = nullptr;
  int32_t whileLimit = 0;  // 0: the default
  int pageType = 0;
  std::string database, path, user, docDir;
  bool fileLookup = false;
};

// Returns -1 when the options are fine, else the exit status.
int ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "-f") {
      o->fileLookup = true;
      continue;
    }
    if (arg == "-m" || arg == "-w" || arg == "-p" || arg == "-d" || arg == "-a" ||
        arg == "-u" || arg == "-s") {
      if (i + 1 >= argc) return Usage(("missing value after " + arg).c_str());
      std::string value = argv[++i];
      if (arg == "-m") {
        o->macros.push_back(value);
      } else if (arg == "-w") {
        char* end;
        long v = strtol(value.c_str(), &end, 10);
        if (*end || v < 1 || v > 2147483647L)
          return Usage("-w needs a positive number");
        o->whileLimit = int32_t(v);
      } else if (arg == "-p") {
        o->pageType = quil::TemplatePageTypeFromName(value);
        if (o->pageType == 0) return Usage(("unknown page type " + value).c_str());
      } else if (arg == "-d") {
        o->database = value;
      } else if (arg == "-a") {
        o->path = value;
      } else if (arg == "-u") {
        o->user = value;
      } else {
        o->docDir = value;
      }
      continue;
    }
    size_t eq = arg.find('=');
    if (arg.size() > 1 && arg[0] == '-' && eq == std::string::npos)
      return Usage(("unknown option " + arg).c_str());
    if (eq != std::string::npos && eq > 0) {
      o->form.emplace_back(arg.substr(0, eq), arg.substr(eq + 1));
    } else if (!o->file) {
      o->file = argv[i];
    } else {
      return Usage("more than one template file");
    }
  }
  if (o->database.empty() &&
      (!o->path.empty() || !o->user.empty() || !o->docDir.empty() || o->fileLookup))
    return Usage("-a, -u, -s and -f need -d");
  return -1;
}

bool ReadTemplate(const char* file, std::string* text) {
  if (!file || strcmp(file, "-") == 0) {
    if (ReadAll(stdin, text)) return true;
    fprintf(stderr, "quil-tpl: cannot read standard input\n");
    return false;
  }
  FILE* f = fopen(file, "rb");
  if (!f) {
    fprintf(stderr, "quil-tpl: cannot open %s: %s\n", file, strerror(errno));
    return false;
  }
  bool ok = ReadAll(f, text);
  fclose(f);
  if (!ok) fprintf(stderr, "quil-tpl: cannot read %s\n", file);
  return ok;
}

// The packages the store needs, started and stopped in order.
class Store {
 public:
  Store() {
    (void)quil::UtInitRtns(quil::kPkgInit, quil::kPkgVersion);
    quil::StoreRegisterTypes();
    (void)quil::QuInitRtns(quil::kPkgInit, quil::kPkgVersion);
    ok_ = quil::ChInit(quil::kPkgVersion, 1024) == 0;
    if (ok_) (void)quil::ForumInitRtns(quil::kPkgInit, quil::kPkgVersion);
  }
  ~Store() {
    if (root) quil::ForumDbCloseReadOnly(root);
    if (ok_) {
      (void)quil::ForumInitRtns(quil::kPkgTerm, 0);
      quil::ChTerm();
    }
    (void)quil::QuInitRtns(quil::kPkgTerm, 0);
    (void)quil::UtInitRtns(quil::kPkgTerm, 0);
  }
  bool Ok() const { return ok_; }
  quil::ForumRoot root = nullptr;

 private:
  bool ok_ = false;
};

std::string DirOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quil;
  Options o;
  int status = ParseArgs(argc, argv, &o);
  if (status >= 0) return status;
  std::string text;
  if (!ReadTemplate(o.file, &text)) return 1;

  Store store;
  ForumFile path;
  ChHandle user = 0;
  TemplateSite& site = TemplateMainSite();
  if (!o.database.empty()) {
    uint16_t code = 0;
    if (store.Ok()) store.root = ForumDbOpenReadOnly(o.database, &code);
    if (!store.root) {
      fprintf(stderr, "quil-tpl: cannot open the database %s (status %u)\n",
              o.database.c_str(), unsigned(code));
      return 4;
    }
    site.root = store.root;
    site.docDir = o.docDir.empty() ? DirOf(o.database) + "/html" : o.docDir;
    ForumTemplateCache(site);
    TemplateFileRefresh(site);
    path = o.path.empty() ? ForumTopFolder(store.root)
                          : ForumFileOpen(store.root, StFromView(o.path));
    if (!path) {
      fprintf(stderr, "quil-tpl: no item at %s\n", o.path.c_str());
      return 4;
    }
    if (!o.user.empty()) {
      user = ForumUserLookup(store.root, StFromView(o.user));
      if (!user) {
        fprintf(stderr, "quil-tpl: no user named %s\n", o.user.c_str());
        return 4;
      }
    }
  }

  TemplateRef t = TemplateParse(StFromView(text), site.siteString, site.urlBase);
  TemplateSimpleRequest request;
  for (auto& [name, value] : o.form) request.AddForm(name, value);
  std::unique_ptr<ExprContext> ctx = ExprContextCreate(user, St(), path, &request);
  if (o.whileLimit > 0) ctx->SetWhileLimit(o.whileLimit);
  ExprContextSetPageType(*ctx, o.pageType);

  Buf page;
  BufOpen(page);
  status = 0;
  if (o.macros.empty()) {
    BufEvalTemplate(page, t, *ctx);
  } else {
    for (const std::string& name : o.macros) {
      TemplateRef m = t->FindMacro(name);
      if (!m && o.fileLookup) TemplateFileLookup(site, StFromView(name), path, &m);
      if (!m) {
        fprintf(stderr, "quil-tpl: no macro %s\n", name.c_str());
        status = 3;
        continue;
      }
      BufEvalTemplate(page, m, *ctx);
    }
  }
  St out = BufClose(page);
  fwrite(out.CStr(), 1, size_t(out.Length()), stdout);
  fflush(stdout);
  for (const St& line : request.responseHeaders)
    fprintf(stderr, "quil-tpl: response header: %.*s\n", int(line.Length()) - 2,
            line.CStr());

  if (!ctx->Unavailable().empty()) {
    std::string names;
    for (int16_t code : ctx->Unavailable()) {
      if (!names.empty()) names += ", ";
      names += ExprKeywordByCode(code).name;
    }
    fprintf(stderr, "quil-tpl: not available %s: %s\n",
            o.database.empty() ? "without a database (-d)" : "outside the server",
            names.c_str());
  }
  ctx.reset();
  TemplateFileClose(site);
  TemplateCacheTerm(site);
  site.root = nullptr;
  path = ForumFile();
  return status;
}
