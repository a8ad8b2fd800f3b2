// The page cache of guests' location pages (CgiPageCacheScope, CgiInt.h).
//
// Decisions:
//  - Only guests' pages (users without read marks): a registered user's
//    page marks what it shows as read and differs from one view to the
//    next; a guest's differs only when the conference does.
//  - Kept under every part of the request a page can be made from: the
//    request text and the text after "!", the form fields, the cookies,
//    the certificate (links carry it), the user, the browser flags, the
//    server and script names.
//  - Valid while the store's change count, the templates' generation and
//    the guests' "new" cut-off are those it was rendered at; a rendering
//    that called a keyword not known to be stable (the clock, the
//    session, a counter of views...) is never kept.
//  - Bounded: at most kEntries pages and kBytes of them; a full cache is
//    emptied (pages come back at their next view).
#include <string>
#include <unordered_map>

#include "Ch.h"
#include "CgiInt.h"
#include "Eval.h"
#include "ForumRead.h"

namespace quil {

namespace {

constexpr size_t kEntries = 1024;
constexpr size_t kBytes = size_t(32) << 20;

struct Stamp {
  uint64_t changes = 0;
  int64_t templates = 0;
  LgDbTd cutoff;
  bool operator==(const Stamp&) const = default;
};

struct Kept {
  Stamp stamp;
  St page;
};

struct PageCache {
  ForumRoot root = nullptr;
  CgiPageCacheCounts counts;
  std::unordered_map<std::string, Kept> pages;
  size_t bytes = 0;
};

PageCache& Cache() {
  static PageCache cache;
  return cache;
}

// The templates' state: started again, or a file or the sysop's templates
// read again.
int64_t Templates() {
  return (int64_t(CgiTemplateGeneration()) << 40) + TemplateCurrentSite().changes;
}

void Add(std::string& key, std::string_view part) {
  key.append(std::to_string(part.size()));
  key.push_back(':');
  key.append(part);
}

}  // namespace

CgiPageCacheScope::CgiPageCacheScope(CgiRequest& r) : r_(r) {
  if (!r.root || !r.html || r.pageComplete || !r.uploads.empty() ||
      ForumUserHasMarks(r.root, r.user))
    return;
  Add(key_, std::to_string(r.command));
  Add(key_, r.requestText.View());
  Add(key_, r.bangText.IsNil() ? std::string_view("\x01") : r.bangText.View());
  Add(key_, r.cert.View());
  Add(key_, r.event ? r.event->cookie.View() : std::string_view());
  for (const CgiPair& p : r.form) {
    Add(key_, p.name.View());
    Add(key_, p.value.IsNil() ? std::string_view("\x01") : p.value.View());
  }
  Add(key_, std::to_string(r.user) + "/" + std::to_string(r.guest) + "/" +
                std::to_string(r.browser) + "/" + std::to_string(r.cookieReceived) +
                "/" + std::to_string(r.httpBasic));
  Add(key_, r.serverName.View());
  Add(key_, r.scriptName.View());
  const TemplateSite& site = TemplateCurrentSite();
  Add(key_, site.siteString.View());
  Add(key_, site.urlBase.View());
  stamp_changes_ = ChChangeCount();
  stamp_templates_ = Templates();
  stamp_cutoff_ = ForumGuestNewCutoff(r.root);
  PageCache& c = Cache();
  if (c.root != r.root) {
    c.pages.clear();
    c.bytes = 0;
    c.root = r.root;
  }
  auto it = c.pages.find(key_);
  if (it != c.pages.end()) {
    const Kept& k = it->second;
    if (k.stamp == Stamp{stamp_changes_, stamp_templates_, stamp_cutoff_}) {
      BufAddSt(r.page, k.page);
      hit_ = true;
      ++c.counts.hits;
      return;
    }
    c.bytes -= k.page.Length();
    c.pages.erase(it);
  }
  keeping_ = true;
  from_ = r.page.Position();
  unstable_ = ExprUnstableCalls;
}

CgiPageCacheScope::~CgiPageCacheScope() {
  // Kept only when the rendering ended normally, read nothing unstable and
  // changed nothing in the store.
  if (!keeping_ || std::uncaught_exceptions() > 0 || ExprUnstableCalls != unstable_ ||
      ChChangeCount() != stamp_changes_ || Templates() != stamp_templates_ ||
      r_.pageComplete || r_.page.Position() < from_)
    return;
  St page = StFromView(r_.page.View().substr(size_t(from_)));
  PageCache& c = Cache();
  if (c.pages.size() >= kEntries || c.bytes + page.Length() > kBytes) {
    c.pages.clear();
    c.bytes = 0;
  }
  c.bytes += page.Length();
  ++c.counts.kept;
  c.pages[std::move(key_)] =
      Kept{Stamp{stamp_changes_, stamp_templates_, stamp_cutoff_}, std::move(page)};
}

CgiPageCacheCounts CgiPageCacheCount() { return Cache().counts; }

void CgiPageCacheClear() {
  PageCache& c = Cache();
  c.pages.clear();
  c.bytes = 0;
  c.root = nullptr;
}

}  // namespace quil
