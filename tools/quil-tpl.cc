// quil-tpl: evaluates a template without a running server.
//
// Reads a template file (or standard input), parses it, evaluates either the
// whole text or the macros named with -m, and prints the page on standard
// output.  Form values are given as NAME=VALUE arguments.  Keywords that
// need the conference store, users, mail, files or scripts have no value
// here; the tool names them on standard error.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Eval.h"
#include "Template.h"

namespace {

constexpr char kUsage[] =
    "usage: quil-tpl [-h] [-m MACRO]... [-w LIMIT] [-p PAGE] [FILE | -] "
    "[NAME=VALUE]...\n"
    "\n"
    "Evaluates a template and prints the page on standard output.\n"
    "\n"
    "  FILE        the template file; standard input when absent or \"-\"\n"
    "  NAME=VALUE  a form value (form, getValue, hasValue read it)\n"
    "  -m MACRO    evaluate the macro MACRO of the file instead of the whole\n"
    "              text; may be repeated, the macros run in order\n"
    "  -w LIMIT    while-loop budget for the page (default 1000)\n"
    "  -p PAGE     the page type that pageIs tests (a name such as \"login\")\n"
    "  -h          print this text\n"
    "\n"
    "Exit status: 0 done, 1 the file could not be read, 2 bad arguments,\n"
    "3 a macro named with -m does not exist.\n";

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

}  // namespace

int main(int argc, char** argv) {
  using namespace quil;
  std::vector<std::string> macros;
  std::vector<std::pair<std::string, std::string>> form;
  const char* file = nullptr;
  int32_t whileLimit = kExprDefaultWhileLimit;
  int pageType = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "-m" || arg == "-w" || arg == "-p") {
      if (i + 1 >= argc) return Usage(("missing value after " + arg).c_str());
      std::string value = argv[++i];
      if (arg == "-m") {
        macros.push_back(value);
      } else if (arg == "-w") {
        char* end;
        long v = strtol(value.c_str(), &end, 10);
        if (*end || v < 1 || v > 2147483647L)
          return Usage("-w needs a positive number");
        whileLimit = int32_t(v);
      } else {
        pageType = TemplatePageTypeFromName(value);
        if (pageType == 0) return Usage(("unknown page type " + value).c_str());
      }
      continue;
    }
    size_t eq = arg.find('=');
    if (arg.size() > 1 && arg[0] == '-' && eq == std::string::npos)
      return Usage(("unknown option " + arg).c_str());
    if (eq != std::string::npos && eq > 0) {
      form.emplace_back(arg.substr(0, eq), arg.substr(eq + 1));
    } else if (!file) {
      file = argv[i];
    } else {
      return Usage("more than one template file");
    }
  }

  std::string text;
  if (!file || strcmp(file, "-") == 0) {
    if (!ReadAll(stdin, &text)) {
      fprintf(stderr, "quil-tpl: cannot read standard input\n");
      return 1;
    }
  } else {
    FILE* f = fopen(file, "rb");
    if (!f) {
      fprintf(stderr, "quil-tpl: cannot open %s: %s\n", file, strerror(errno));
      return 1;
    }
    bool ok = ReadAll(f, &text);
    fclose(f);
    if (!ok) {
      fprintf(stderr, "quil-tpl: cannot read %s\n", file);
      return 1;
    }
  }

  TemplateRef t = TemplateParse(StFromView(text));
  ExprContext ctx(whileLimit);
  ExprContextSetPageType(ctx, pageType);
  for (auto& [name, value] : form)
    ExprContextAddFormValue(ctx, StFromView(name), StFromView(value));

  Buf page;
  BufOpen(page);
  int status = 0;
  if (macros.empty()) {
    BufEvalTemplate(page, t, ctx);
  } else {
    for (const std::string& name : macros) {
      TemplateRef m = t->FindMacro(name);
      if (!m) {
        fprintf(stderr, "quil-tpl: no macro %s\n", name.c_str());
        status = 3;
        continue;
      }
      BufEvalTemplate(page, m, ctx);
    }
  }
  St out = BufClose(page);
  fwrite(out.CStr(), 1, size_t(out.Length()), stdout);
  fflush(stdout);

  if (!ctx.Unavailable().empty()) {
    std::string names;
    for (int16_t code : ctx.Unavailable()) {
      if (!names.empty()) names += ", ";
      names += ExprKeywordByCode(code).name;
    }
    fprintf(stderr, "quil-tpl: not available outside the server: %s\n",
            names.c_str());
  }
  return status;
}
