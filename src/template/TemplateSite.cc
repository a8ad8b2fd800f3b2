// Virtual sites, template files, folder template sets and the sysop-setting
// templates.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Eval.h"
#include "ForumUser.h"
#include "Ma.h"
#include "Qu.h"
#include "Template.h"
#include "TemplateInt.h"
#include "Thread.h"

namespace quil {

namespace {

std::vector<TemplateSite*>& Sites() {
  static std::vector<TemplateSite*> sites;
  return sites;
}

std::unique_ptr<TemplateSite>& MainSitePtr() {
  Sites();  // built first, so that it outlives the main site at exit
  static std::unique_ptr<TemplateSite> site;
  return site;
}

TemplateSite* currentSite = nullptr;

PkgState templateState;

}  // namespace

// ---------------------------------------------------------------------------
// Sites.

TemplateSite::TemplateSite() : status(StCStrXfm("off")) {
  Sites().push_back(this);
}

TemplateSite::~TemplateSite() {
  if (resetId) QuRamKill(resetId);
  if (refreshId) QuRamKill(refreshId);
  for (int32_t id : queued) QuRamKill(id);
  auto& sites = Sites();
  for (size_t i = 0; i < sites.size(); ++i)
    if (sites[i] == this) sites.erase(sites.begin() + long(i));
  if (currentSite == this) currentSite = nullptr;
}

ForumRoot TemplateSite::Root() const { return root ? root : wfForumRoot; }

TemplateSite& TemplateMainSite() {
  auto& site = MainSitePtr();
  if (!site) {
    site = std::make_unique<TemplateSite>();
    site->isMain = true;
  }
  return *site;
}

TemplateSite& TemplateCurrentSite() {
  return currentSite ? *currentSite : TemplateMainSite();
}

void TemplateSetCurrentSite(TemplateSite* site) { currentSite = site; }

namespace {

// Makes site the current one for its lifetime.
class SiteScope {
 public:
  explicit SiteScope(TemplateSite& site) : saved_(currentSite) {
    currentSite = &site;
  }
  ~SiteScope() { currentSite = saved_; }
  SiteScope(const SiteScope&) = delete;
  SiteScope& operator=(const SiteScope&) = delete;

 private:
  TemplateSite* saved_;
};

// The canonical form of an existing path, or "" when it does not exist.
std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (!realpath(path.c_str(), buf)) return std::string();
  return buf;
}

}  // namespace

bool TemplateSiteFilePath(const TemplateSite& site, std::string_view name,
                          std::string* full) {
  if (name.empty() || name.size() > 1024 || name[0] == '/') return false;
  if (name.find('\0') != std::string_view::npos) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    if (name.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  std::string path = site.docDir + "/" + std::string(name);
  // A symbolic link inside the directory must not lead out of it: the
  // longest existing part of the path must resolve inside the directory.
  std::string base = RealPath(site.docDir);
  if (!base.empty()) {
    std::string probe = path;
    std::string real = RealPath(probe);
    while (real.empty()) {
      size_t slash = probe.rfind('/');
      if (slash == std::string::npos || slash == 0) break;
      probe.resize(slash);
      real = RealPath(probe);
    }
    if (!real.empty() && real != base && real.compare(0, base.size() + 1,
                                                      base + "/") != 0)
      return false;
  }
  *full = std::move(path);
  return true;
}

namespace {

// Reads the whole file at path.  False when it cannot be opened; a read
// error after opening sets *readError.
bool ReadWhole(const std::string& path, std::string* out, bool* readError) {
  *readError = false;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  out->clear();
  out->reserve(size_t(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *readError = true;
      break;
    }
    if (n == 0) break;
    out->append(buf, size_t(n));
  }
  close(fd);
  return true;
}

bool SiteIsJapanese() {
  St charset = wfQuilSettings.Get("siteCharset");
  std::string_view v = charset.View();
  for (std::string_view jp : {"shift_jis", "euc-jp", "iso-2022-jp", "sjis"})
    if (ExprEqualNoCase(v, jp)) return true;
  return false;
}

// Renders t for nobody at no path and drops the output (the "init" and
// "term" macros).
void RunDiscarded(TemplateSite& site, const TemplateRef& t) {
  if (!t) return;
  SiteScope scope(site);
  St out = TemplateProcess(t, 0, St(), ForumFile(), nullptr);
}

}  // namespace

// ---------------------------------------------------------------------------
// Includes.

St TemplateIncludes(const TemplateSite& site, St text,
                    std::vector<std::pair<int32_t, int32_t>>* inserted) {
  const std::string_view prefix = kTemplateIncludePrefix;
  std::string buf(text.View());
  size_t i = 0;
  while (i < buf.size()) {
    size_t lt = buf.find('<', i);
    if (lt == std::string::npos) break;
    i = lt;
    if (buf.size() - i < prefix.size() ||
        !ExprEqualNoCase(std::string_view(buf).substr(i, prefix.size()),
                         prefix)) {
      ++i;
      continue;
    }
    size_t nameStart = i + prefix.size();
    size_t quote = buf.find('"', nameStart);
    size_t gt = quote == std::string::npos ? std::string::npos
                                           : buf.find('>', quote);
    if (gt == std::string::npos) {
      ++i;
      continue;
    }
    std::string name = buf.substr(nameStart, quote - nameStart);
    std::string contents;
    bool readError = false, opened = false;
    std::string full;
    if (TemplateSiteFilePath(site, name, &full))
      opened = ReadWhole(full, &contents, &readError);
    if (!opened && !site.isMain && name == kTemplateExtnFileName &&
        TemplateSiteFilePath(TemplateMainSite(), name, &full))
      opened = ReadWhole(full, &contents, &readError);
    if (readError) MaAssertFailure("File read error on " + name);
    if (!opened) {
      ++i;  // the directive stays: it is an HTML comment
      continue;
    }
    buf.replace(i, gt + 1 - i, contents);
    if (inserted) inserted->emplace_back(int32_t(i), int32_t(contents.size()));
    i += contents.size();  // an included file's own directives stay
  }
  return StFromView(buf);
}

// ---------------------------------------------------------------------------
// Template files.

void TemplateFileClose(TemplateSite& site) {
  if (site.file) {
    TemplateRef term = site.file->FindMacro("term");
    RunDiscarded(site, term);
  }
  site.file = TemplateRef();
  site.status = StCStrXfm("off");
  site.extnStart = -1;
  TplQueueTerm(site);
}

void TemplateFileRefresh() { TemplateFileRefresh(TemplateCurrentSite()); }

void TemplateFileRefresh(TemplateSite& site) {
  struct Counter {
    int32_t& n;
    explicit Counter(int32_t& count) : n(count) { ++n; }
    ~Counter() { --n; }
  } counter(site.refreshCount);
  ++site.changes;
  TemplateFileClose(site);
  ForumRoot root = site.Root();
  std::string text;
  bool read = false;
  if (root && ForumSysopUseTemplates(root)) {
    std::string full;
    bool readError = false;
    if (TemplateSiteFilePath(site, kTemplateFileName, &full))
      read = ReadWhole(full, &text, &readError);
    if (readError) MaAssertFailure("File read error on quil.tpl");
  }
  site.status = StCStrXfm(read ? "on" : "not found");
  if (!read) text.clear();
  text += "\n";
  size_t directive = text.size();
  text += kTemplateIncludePrefix;
  text += kTemplateExtnFileName;
  text += kTemplateIncludeSuffix;
  size_t directiveLen = text.size() - directive;
  text += "\n";
  std::vector<std::pair<int32_t, int32_t>> inserted;
  St whole = TemplateIncludes(site, StFromView(text), &inserted);
  // The extension part is the tail after the last include: the extension
  // file's contents when it was found, else the directive left in place.
  int32_t len = whole.Length();
  if (!inserted.empty() &&
      inserted.back().first + inserted.back().second == len - 1)
    site.extnStart = inserted.back().first;
  else
    site.extnStart = len - 1 - int32_t(directiveLen);
  site.file = TemplateParse(std::move(whole), site.siteString, site.urlBase,
                            SiteIsJapanese());
  // Extension macros: those of the extension part, and (for a file that
  // marks the place itself) those at or after the macro extnMarker.
  int32_t marker = INT32_MAX;
  TemplateRef mark = site.file->FindMacro("extnMarker");
  if (mark && !mark->Pieces().empty()) marker = mark->Pieces()[0].litOff;
  site.file->ForEachMacro([&](const TemplateRef& m) {
    if (m->Pieces().empty()) return;
    int32_t at = m->Pieces()[0].litOff;
    if (at >= site.extnStart || at >= marker) m->SetExtn(true);
  });
  TplQueueInit(site);
  RunDiscarded(site, site.file->FindMacro("init"));
}

bool TemplateFileIsPresent() { return TemplateFileIsPresent(TemplateCurrentSite()); }

bool TemplateFileIsPresent(const TemplateSite& site) {
  return bool(site.file);
}

St TemplateFileStatus(const TemplateSite& site) { return site.status; }

namespace {

void RefreshWhenIdle(intptr_t argument, int32_t) {
  TemplateSite* site = reinterpret_cast<TemplateSite*>(argument);
  site->refreshId = 0;
  TemplateFileRefresh(*site);
}

}  // namespace

void TemplateFileRefreshQueued(TemplateSite& site) {
  if (ForumWaiting == 0) return TemplateFileRefresh(site);
  if (site.refreshId == 0)
    site.refreshId = QuRamBlock(RefreshWhenIdle, reinterpret_cast<intptr_t>(&site),
                                kQuBlockRequest);
}

namespace {

// The first folder-like item at or above item whose template sets apply: a
// message looks from its discussion.
ForumFile LookupStart(const ForumFile& item) {
  if (item && ForumFileIsMessage(item)) return ForumFileParent(item);
  return item;
}

bool FileLookup(const TemplateSite& site, std::string_view name,
                const ForumFile& folder, TemplateRef* found) {
  if (!site.file) return false;
  for (ForumFile f = LookupStart(folder); f; f = ForumFileParent(f)) {
    St set = ForumFileTemplate(f);
    if (set.Empty()) continue;
    TemplateRef macros = site.file->FindMacro(set.View());
    if (!macros) continue;
    TemplateRef m = macros->FindMacro(name);
    if (m) {
      *found = std::move(m);
      return true;
    }
  }
  TemplateRef m = site.file->FindMacro(name);
  if (!m) return false;
  *found = std::move(m);
  return true;
}

}  // namespace

bool TemplateFileLookup(const St& name, const ForumFile& folder,
                        TemplateRef* found) {
  return FileLookup(TemplateCurrentSite(), name.View(), folder, found);
}

bool TemplateFileLookup(const TemplateSite& site, const St& name,
                        const ForumFile& folder, TemplateRef* found) {
  return FileLookup(site, name.View(), folder, found);
}

// ---------------------------------------------------------------------------
// Sysop-setting templates.

namespace {

enum Rule { kPlain, kExtn, kFooter };

struct SysopRow {
  const char* macro;
  Rule rule;
  St (*setting)(ForumRoot root);  // null: read the named field below
  const char* field;
};

// The settings the forum store has no accessor for are read by field name
// from the settings record.
St SysopField(ForumRoot root, const char* field) {
  ChHandle rec = ForumRootSysopRec(root);
  if (!rec) return St();
  ChHandle id = LgDbFieldIdLookup(rec, StCStrXfm(field));
  return id ? LgDbRecGetText(rec, id) : St();
}

// The default texts: the sysop settings that hold them.
constexpr SysopRow kSysopRows[kTemplateSysopCount] = {
    {"greetingHeading", kPlain, ForumSysopGreeting, nullptr},
    {"folderHeadingBefore", kPlain, nullptr, "HtmlHeadPre"},
    {"folderHeadingAfter", kExtn, nullptr, "HtmlHeadPost"},
    {"topLevelHeading", kPlain, ForumSysopHtmlTopLevel, nullptr},
    {"banner", kPlain, ForumSysopHtmlBanner, nullptr},
    {"registerHeading", kPlain, ForumSysopHtmlRegister, nullptr},
    {"registerCompleteHeading", kPlain, ForumSysopHtmlRegisterComplete, nullptr},
    {"defaultFolderHeading", kPlain, ForumSysopHtmlCategory, nullptr},
    {"defaultDiscussionHeading", kPlain, ForumSysopHtmlTopic, nullptr},
    {"editHelp", kPlain, ForumSysopEditHelp, nullptr},
    {"loginHeading", kPlain, ForumSysopHtmlLogin, nullptr},
    {"passwordHeading", kPlain, ForumSysopHtmlPassword, nullptr},
    {"toolbarBefore", kPlain, ForumSysopToolbarPre, nullptr},
    {"toolbarBetween", kPlain, ForumSysopToolbarNL, nullptr},
    {"toolbarAfter", kPlain, ForumSysopToolbarPost, nullptr},
    {"footer", kFooter, ForumSysopHtmlFooter, nullptr},
    {"discussionHeadingBefore", kPlain, ForumSysopHtmlDiscussPre, nullptr},
    {"discussionHeadingAfter", kExtn, ForumSysopHtmlDiscussPost, nullptr},
    {"folderListBefore", kPlain, ForumSysopHtmlBodyPre, nullptr},
    {"folderListItem", kPlain, ForumSysopHtmlBodyItem, nullptr},
    {"folderListAfter", kPlain, ForumSysopHtmlBodyPost, nullptr},
    {"folderListEmpty", kPlain, ForumSysopHtmlBodyEmpty, nullptr},
    {"postHelp", kPlain, ForumSysopPostHelp, nullptr},
    {"messageListBefore", kExtn, ForumSysopMessagePre, nullptr},
    {"messageListItem", kExtn, ForumSysopMessage, nullptr},
    {"messageListBetween", kExtn, ForumSysopMessageBetween, nullptr},
    {"messageListAfter", kExtn, ForumSysopMessagePost, nullptr},
    {"unknownUserPostHelp", kPlain, ForumSysopUnknownUserHelp, nullptr},
    {"title", kPlain, ForumSysopHtmlTitle, nullptr},
};

#define TEMPLATE_SYSOP_CHECK(stem, name, how)                                 \
  static_assert(std::string_view(name) ==                                    \
                kSysopRows[int(TemplateSysop::k##stem)].macro);              \
  static_assert(Rule::how == kSysopRows[int(TemplateSysop::k##stem)].rule);
TEMPLATE_SYSOP_TEMPLATES(TEMPLATE_SYSOP_CHECK)
#undef TEMPLATE_SYSOP_CHECK

// The folder whose record decides the footer rule: the item itself when it
// is a folder, else the folder that holds it.
ForumFile FooterFolder(const ForumFile& item) {
  ForumFile f = item;
  while (f && !ForumFileIsCategory(f)) f = ForumFileParent(f);
  return f;
}

}  // namespace

const char* TemplateSysopMacroName(TemplateSysop which) {
  return kSysopRows[int(which)].macro;
}

TemplateRef TemplateSysopTemplate(TemplateSysop which, const ForumFile& folder) {
  const TemplateSite& site = TemplateCurrentSite();
  const SysopRow& row = kSysopRows[int(which)];
  const TemplateRef& cached = site.cached[size_t(which)];
  TemplateRef found;
  switch (row.rule) {
    case kPlain:
      if (FileLookup(site, row.macro, folder, &found)) return found;
      return cached;
    case kExtn:
      if (FileLookup(site, row.macro, folder, &found) &&
          (!found->IsExtn() || TemplateIsEmpty(cached)))
        return found;
      return cached;
    case kFooter: {
      ForumFile f = FooterFolder(folder);
      if (f && !(ForumFileFlags(f) & kTemplateFolderSysopFooter) &&
          FileLookup(site, row.macro, folder, &found))
        return found;
      return cached;
    }
  }
  return cached;
}

#define TEMPLATE_SYSOP_DEFINE(stem, name, how)                  \
  TemplateRef stem##Template(const ForumFile& folder) {         \
    return TemplateSysopTemplate(TemplateSysop::k##stem, folder); \
  }
TEMPLATE_SYSOP_TEMPLATES(TEMPLATE_SYSOP_DEFINE)
#undef TEMPLATE_SYSOP_DEFINE

void ForumTemplateCache(TemplateSite& site) {
  ++site.changes;
  site.messages.reset();
  ForumRoot root = site.Root();
  for (int i = 0; i < kTemplateSysopCount; ++i) {
    const SysopRow& row = kSysopRows[i];
    TemplateRef parsed;
    if (root) {
      St text = row.setting ? row.setting(root) : SysopField(root, row.field);
      if (i == int(TemplateSysop::kHtmlCatBodyItem))
        text = StStripBlanks(std::move(text));
      if (!(i == int(TemplateSysop::kHtmlCatBodyItem) && text.Empty()))
        parsed = TemplateParse(std::move(text), site.siteString, site.urlBase,
                               SiteIsJapanese());
    }
    site.cached[size_t(i)] = std::move(parsed);
  }
  site.objectionable =
      root ? StObjectionableListXfm(ForumSysopObjectionable(root)) : St();
  site.maxCols = root ? StStIntXfm(ForumSysopMaxCols(root)) : St();
}

void TemplateCacheTerm(TemplateSite& site) {
  site.messages.reset();
  for (TemplateRef& t : site.cached) t = TemplateRef();
  site.objectionable = St();
  site.maxCols = St();
}

namespace {

void CacheWhenIdle(intptr_t argument, int32_t) {
  TemplateSite* site = reinterpret_cast<TemplateSite*>(argument);
  site->resetId = 0;
  ForumTemplateCache(*site);
}

void ResetWhenIdle(intptr_t argument, int32_t) {
  TemplateSite* site = reinterpret_cast<TemplateSite*>(argument);
  site->resetId = 0;
  TemplateFileRefresh(*site);
  ForumTemplateCache(*site);
}

// Runs fn for site now when no request thread waits (templates that a
// waiting request walks must not be replaced under it), else queues it as
// a block for when none does; the id goes to the site's resetId.
void WhenIdle(TemplateSite& site, QuRamFn fn) {
  if (ForumWaiting == 0) return fn(reinterpret_cast<intptr_t>(&site), 0);
  if (site.resetId) QuRamKill(site.resetId);
  site.resetId =
      QuRamBlock(fn, reinterpret_cast<intptr_t>(&site), kQuBlockRequest);
}

}  // namespace

void ForumTemplateChange(ForumRoot root) {
  std::vector<TemplateSite*> sites = Sites();
  for (TemplateSite* site : sites)
    if (site->Root() == root) WhenIdle(*site, CacheWhenIdle);
}

void TemplateReset(TemplateSite& site) { WhenIdle(site, ResetWhenIdle); }

// ---------------------------------------------------------------------------
// Package entry.

uint16_t TemplateInitRtns(int selector, int32_t value) {
  if (selector == kPkgDebug) TemplateDebugFlag = value != 0;
  PkgSteps steps;
  steps.init = [] {
    TemplateMainSite();
    StandardTemplateInit();
    // The message caches keep what they read of messages between requests
    // but not the open messages themselves: those are closed when the
    // server goes idle, where the forum counts what requests left open.
    ForumOnIdleRelease([](ForumRoot root) {
      for (TemplateSite* site : Sites())
        if (site->messages && site->messages->root == root) site->messages->positions.clear();
    });
    return uint16_t(0);
  };
  steps.term = [] {
    TemplateSite& main = TemplateMainSite();
    if (main.file) TemplateFileClose(main);
    TemplateCacheTerm(main);
    StandardTemplateTerm();
    TemplateMailHooksClear();
  };
  return PkgDispatch(templateState, "TemplateInitRtns", selector, value, steps);
}

}  // namespace quil
