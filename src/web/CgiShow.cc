// Showing a location (commands 1, 2, 5 to 8, 13, 14, 37, 56, 128): the top
// level, a folder, a discussion or a message.
//
// A page comes from the site file's macro of its page type when the site
// defines one ("toplevel", "folder", "discussion", "discussionTree",
// "view"), else from the built-in page builder below.  The built-in pages
// share the head of the standard pages (the one stylesheet "/quil.css"),
// use the sysop's heading, list and toolbar templates where the sysop set
// them, and built-in list items where not.
//
// The commands differ only in which messages of a discussion they show
// (the choice was ours to make):
//   14 and 1, 2, 5, 6, 8, 37, 56  the last page: the user's MaxMessages
//                                 (kCgiShowPage when none), and no more
//                                 text than the site's TopicMax bytes
//   7                             the page before the last (paging back);
//                                 "!before=N" the page that ends before
//                                 position N
//   13                            the page around a message (the location
//                                 names a message, as e-mail links do)
//   128                           every message, up to kCgiShowAllMessages
//                                 messages and kCgiShowAllBytes bytes of
//                                 text, the latest kept
// A message location shows the message page for every command but 13 and
// 128, which show its discussion.
#include <algorithm>
#include <string>
#include <vector>

#include "CgiInt.h"
#include "Ec.h"
#include "ForumAcc.h"
#include "ForumRead.h"
#include "ForumUser.h"
#include "FrmBk.h"
#include "LgDb.h"

namespace quil {

namespace {

constexpr int32_t kCgiShowPage = 50;
// Items of a folder shown on one page (the choice was ours: as many as a
// discussion's messages; "!page=N" after the location names the page).
constexpr int32_t kCgiShowFolderPage = 50;
constexpr int32_t kCgiShowAllMessages = 32000;
constexpr int32_t kCgiShowAllBytes = 200000;

// ---------------------------------------------------------------------------
// The built-in pieces, in the template language.  Links back to this
// server are written "?" command "@@" location so that the rendering puts
// the certificate in.

// The heads of the pages: the head and header every built-in page shares
// (TemplateHeadOpen, the title, TemplateHeadClose), then where am I (the
// folder path) and the page's heading.
constexpr char kSiteTitle[] = "%% siteTitle.toSGML %%";
constexpr char kItemTitle[] = "%% siteTitle.toSGML %% - %% pathTitle.toSGML %%";
constexpr char kMessageTitle[] =
    "%% siteTitle.toSGML %% - %% if pathTitle != \"\" %%%% pathTitle.toSGML %%%% else "
    "%%Message %% pathItemNumber %%%% endif %%";

#define SHOW_CRUMBS "<nav class=\"crumbs\" aria-label=\"Location\">%% pathHier %%</nav>\n"

constexpr char kTopHead[] = "<h1>%% siteTitle.toSGML %%</h1>\n";

constexpr char kFolderHead[] = SHOW_CRUMBS "<h1>%% pathTitle.toSGML %%</h1>\n";

constexpr char kDiscussionHead[] = SHOW_CRUMBS
    "<h1>%% pathTitle.toSGML %%</h1>\n"
    "<p class=\"meta\">%% if authorUniqueID %%<span class=\"author\">%% authorName.toSGML "
    "%%</span>, %% endif %%<time>%% pathCreatedDate %%</time> &middot; %% pathMessageCount "
    "%% messages</p>\n";

// The body of a folder or discussion: the item's own text, else the
// sysop's default heading of its kind.
constexpr char kItemBody[] =
    "%% if pathBody != \"\" %%<div class=\"heading\">%% pathBodyFormatted %%</div>\n"
    "%% else %%%% pathStandardHeading %%%% endif %%";

constexpr char kFolderItem[] =
    "<li><img src=\"%% pathIcon %%\" width=\"24\" height=\"24\" alt=\"%% if pathIsFolder "
    "%%Folder%% elseif pathIsDiscussion %%Discussion%% elseif pathIsLink %%Link%% else "
    "%%Item%% endif %%\"> <div><a href=\"%% pathUrl %%\">%% "
    "pathTitle.toSGML %%</a>%% if pathIsNew %% <mark>new</mark>%% endif %%<br><span "
    "class=\"meta\">%% if pathIsFolder %%%% pathFolderCount %% folder%% if pathFolderCount "
    "!= 1 %%s%% endif %%, %% pathDiscussionCount %% discussion%% if pathDiscussionCount != 1 "
    "%%s%% endif %%%% elseif pathIsDiscussion %%%% pathMessageCount %% "
    "message%% if pathMessageCount != 1 %%s%% endif %%%% if pathHasNewMessages %%, %% pathNewMessageCount %% new%% endif %%%% endif "
    "%% &middot; <time>%% pathDate %%</time></span></div></li>\n";

// A message of the list, after its opening (written by ShowDiscussion: the
// anchor and the link by position, which the page knows): its head, then
// the "new" mark (the one part that depends on who reads it, written by
// the page), then its title and text.  Head and body depend on the message
// alone and are kept rendered with it (TemplateMessageRun::AddStable).
constexpr char kMessageItemHead[] =
    " <span class=\"author\">%% authorName.toSGML %%</span> "
    "<time>%% pathDate %%</time>";
constexpr char kMessageItemBody[] =
    "</header>\n"
    "%% if pathTitle != \"\" %%<h2>%% pathTitle.toSGML %%</h2>\n%% endif %%"
    "<div class=\"body\">%% pathBodyFormatted %%</div></li>\n";

constexpr char kMessagePage[] = SHOW_CRUMBS
    "<article class=\"message\"><header><span class=\"author\">%% if authorUniqueID %%<a "
    "href=\"%% authorInfoUrl %%\">%% authorName.toSGML %%</a>%% else %%%% authorName.toSGML "
    "%%%% endif %%</span> <time>%% pathDate %%</time></header>\n"
    "<h1>%% if pathTitle != \"\" %%%% pathTitle.toSGML %%%% else %%Message %% pathItemNumber "
    "%%%% endif %%</h1>\n<div class=\"body\">%% pathBodyFormatted %%</div></article>\n"
    "<p><a class=\"button secondary\" href=\"?13@@%% pathFull.toURL %%\">The discussion "
    "around it</a></p>\n";

// The toolbar: the sysop's (or the site file's "toolbar" macro), then the
// operations of the page.  Logging in and out, registering and the
// preferences are in the shared header (who is reading).
constexpr char kToolbar[] =
    "%% toolbar %%<nav class=\"actions\" aria-label=\"Actions\">\n"
    "%% if pathIsFolder %%%% if userCanAddFolders %%<a class=\"button\" href=\"?3@@%% "
    "pathFull.toURL %%\">New folder</a>\n%% endif %%%% if userCanAddDiscussions %%<a "
    "class=\"button\" href=\"?9@@%% pathFull.toURL %%\">New discussion</a>\n%% endif %%%% "
    "endif %%"
    "%% if pathIsDiscussion || pathIsMessage %%%% if userCanAddMessages %%<a class=\"button\" "
    "href=\"?229@@%% pathFull.toURL %%\">Reply</a>\n%% endif %%<a class=\"button secondary\" "
    "href=\"?230@@%% pathFull.toURL %%\">Outline</a>\n<a class=\"button secondary\" "
    "href=\"?128@@%% pathFull.toURL %%\">All messages</a>\n%% endif %%"
    "%% if !pathIsTop %%<a class=\"button secondary\" href=\"%% parentUrl %%\">Up</a>\n%% "
    "endif %%"
    "%% if pathIsTop && siteShowGetInfoTop || !pathIsTop && siteShowGetInfo %%<a "
    "class=\"button secondary\" href=\"?225@@%% pathFull.toURL %%\">Information</a>\n%% "
    "endif %%"
    "</nav>\n</main>\n";

#undef SHOW_CRUMBS

enum Piece {
  kPTopHead,
  kPFolderHead,
  kPDiscussionHead,
  kPMessagePage,
  kPItemBody,
  kPFolderItem,
  kPMessageItemHead,
  kPMessageItemBody,
  kPToolbar,
  kPItems,
  kPItemsAll,
  kPItemsPrevious,
  kPItemsInContext,
  kPieces
};
constexpr int kHeadPieces = kPMessagePage + 1;  // the pieces that open a page
constexpr const char* kPieceTitle[kHeadPieces] = {kSiteTitle, kItemTitle, kItemTitle,
                                                  kMessageTitle};
constexpr const char* kPieceText[kPieces] = {
    kTopHead,      kFolderHead,   kDiscussionHead,        kMessagePage,
    kItemBody,     kFolderItem,   kMessageItemHead,       kMessageItemBody,
    kToolbar,
    "%% pathItems %%", "%% pathItemsAll %%", "%% pathItemsPrevious %%",
    "%% pathItemsInContext %%"};

// The template text of a piece: a page's opening begins with the shared
// head.
std::string PieceText(int piece) {
  std::string text;
  if (piece < kHeadPieces) {
    text += TemplateHeadOpen();
    text += kPieceTitle[piece];
    text += TemplateHeadClose();
  }
  return text + kPieceText[piece];
}

// The pieces parsed with the current site's link strings (parsed again when
// they change).
const TemplateRef& ShowPiece(Piece piece) {
  struct Parsed {
    St siteString, urlBase;
    int32_t generation = -1;
    TemplateRef t[kPieces];
  };
  static Parsed parsed;
  const TemplateSite& site = TemplateCurrentSite();
  if (parsed.generation != CgiTemplateGeneration() ||
      parsed.siteString.View() != site.siteString.View() ||
      parsed.urlBase.View() != site.urlBase.View()) {
    for (int i = 0; i < kPieces; ++i)
      parsed.t[i] = TemplateParse(StFromView(PieceText(i)), site.siteString, site.urlBase);
    parsed.siteString = site.siteString;
    parsed.urlBase = site.urlBase;
    parsed.generation = CgiTemplateGeneration();
  }
  return parsed.t[piece];
}

void Render(CgiRequest& r, const TemplateRef& t, const ForumFile& path) {
  BufAddTemplate(r.page, t, r.user, r.cert, path, &r);
}
void Render(CgiRequest& r, Piece piece, const ForumFile& path) {
  Render(r, ShowPiece(piece), path);
}

// The site file's page of pageType for folder, when it defines one.
bool SitePage(CgiRequest& r, int pageType, const ForumFile& path) {
  TemplateRef t;
  ForumFile folder = path;
  while (folder && !ForumFileIsCategory(folder)) folder = ForumFileParent(folder);
  if (!TemplateFileLookup(StCStrXfm(TemplatePageTypeName(pageType)), folder, &t)) return false;
  BufAddTemplatePage(r.page, pageType, r.user, r.cert, path, &r);
  return true;
}

// A folder lists its items unless its "ListItems" field says "0".
bool ListsItems(const ForumFile& folder) {
  ChHandle rec = ForumFileRecord(folder);
  if (rec == 0) return true;
  ChHandle field = LgDbFieldIdLookup(rec, StCStrXfm("ListItems"));
  if (field == 0) return true;
  St value = StStripBlanks(LgDbRecGetText(rec, field));
  return !(value.View() == "0" || value.View() == "off");
}

// ---------------------------------------------------------------------------
// The pages.

// The listing order: a registered user's own, else the sysop's.
int FolderOrder(ForumRoot root, ChHandle user) {
  int seq = ForumIsRecordPrincipal(user) && ForumUserGetType(root, user) == kForumUserRegistered
                ? ForumUserCatForumSeq(root, user)
                : kForumSeqDefault;
  return seq == kForumSeqDefault ? ForumSysopCatForumSeq(root) : seq;
}

// ---------------------------------------------------------------------------
// Paging of long folders and discussions, one markup for both: a nav
// "paging" with the links to other pages and the current page marked
// aria-current="page".  Links are written "?" command "@@" location: the
// page's certificate goes into them as into every other link.

void PagingLink(Buf& page, std::string_view href, std::string_view text, const char* rel) {
  BufAddC(page, "<a href=\"");
  BufAddView(page, href);
  if (rel) {
    BufAddC(page, "\" rel=\"");
    BufAddC(page, rel);
  }
  BufAddC(page, "\">");
  BufAddView(page, text);
  BufAddC(page, "</a>\n");
}

void PagingCurrent(Buf& page, std::string_view text) {
  BufAddC(page, "<span aria-current=\"page\">");
  BufAddView(page, text);
  BufAddC(page, "</span>\n");
}

// The numbered pages of a folder: the first, the last, two on either side
// of the current one, and the previous and next.
void FolderPaging(CgiRequest& r, const ForumFile& folder, int32_t current, int32_t pages) {
  if (pages <= 1) return;
  std::string base = "?14@@" + CgiLocationQuote(ForumFilePath(folder)).Str();
  auto href = [&](int32_t n) { return n == 1 ? base : base + "!page=" + std::to_string(n); };
  auto number = [&](int32_t n) {
    if (n == current)
      PagingCurrent(r.page, std::to_string(n));
    else
      PagingLink(r.page, href(n), std::to_string(n), nullptr);
  };
  BufAddC(r.page, "<nav class=\"paging\" aria-label=\"Pages of the folder\">\n");
  if (current > 1) PagingLink(r.page, href(current - 1), "Previous", "prev");
  int32_t from = std::max<int32_t>(current - 2, 1), to = std::min<int32_t>(current + 2, pages);
  if (from > 1) number(1);
  if (from > 2) BufAddC(r.page, "<span class=\"gap\">&hellip;</span>\n");
  for (int32_t n = from; n <= to; ++n) number(n);
  if (to < pages - 1) BufAddC(r.page, "<span class=\"gap\">&hellip;</span>\n");
  if (to < pages) number(pages);
  if (current < pages) PagingLink(r.page, href(current + 1), "Next", "next");
  BufAddC(r.page, "</nav>\n");
}

void FolderList(CgiRequest& r, const ForumFile& folder) {
  // The sysop's list templates, when set, make the list (the template
  // layer's listing); else the built-in list, a page of it.
  if (!TemplateIsEmpty(HtmlCatBodyItemTemplate(folder))) {
    Render(r, kPItems, folder);
    return;
  }
  int32_t current = std::max<int32_t>(GetIntFromName(r.form, "page", 1), 1);
  int32_t total = 0;
  std::vector<ChHandle> entries =
      ForumCatListPage(folder, r.user, FolderOrder(r.root, r.user),
                       (current - 1) * kCgiShowFolderPage, kCgiShowFolderPage, &total);
  int32_t pages = (total + kCgiShowFolderPage - 1) / kCgiShowFolderPage;
  if (entries.empty() && total > 0) {
    // A page past the end shows the last.
    current = pages;
    entries = ForumCatListPage(folder, r.user, FolderOrder(r.root, r.user),
                               (current - 1) * kCgiShowFolderPage, kCgiShowFolderPage, nullptr);
  }
  if (entries.empty()) {
    if (!TemplateIsEmpty(HtmlCatBodyEmptyTemplate(folder)))
      Render(r, HtmlCatBodyEmptyTemplate(folder), folder);
    else
      BufAddC(r.page, "<p class=\"notice\">This folder is empty.</p>\n");
    return;
  }
  Render(r, HtmlCatBodyPreTemplate(folder), folder);
  BufAddC(r.page, "<ul class=\"folder-list\">\n");
  const TemplateRef& item = ShowPiece(kPFolderItem);
  for (ChHandle e : entries) {
    ForumFile child = ForumFileHasChild(folder, ForumCatItemName(r.root, e));
    if (child) Render(r, item, child);
  }
  BufAddC(r.page, "</ul>\n");
  Render(r, HtmlCatBodyPostTemplate(folder), folder);
  FolderPaging(r, folder, current, pages);
}

void ShowFolder(CgiRequest& r, const ForumFile& folder, bool top) {
  if (SitePage(r, top ? 9 : 10, folder)) return;  // "toplevel", "folder"
  CgiPageCacheScope cached(r);
  if (cached.Hit()) return;
  if (top) {
    Render(r, kPTopHead, folder);
    Render(r, HtmlTopLevelTemplate(folder), folder);
  } else {
    Render(r, kPFolderHead, folder);
    Render(r, HtmlHeadPreTemplate(folder), folder);
    Render(r, kPItemBody, folder);
    Render(r, HtmlHeadPostTemplate(folder), folder);
  }
  if (top || ListsItems(folder)) FolderList(r, folder);
  Render(r, kPToolbar, folder);
}

// Every live position of d, in order.
std::vector<int32_t> LivePositions(const ForumFile& d) {
  std::vector<int32_t> live;
  int32_t end = ForumFileCount(d);
  live.reserve(size_t(std::max<int32_t>(end, 0)));
  for (int32_t k = 0; k < end; ++k)
    if (ForumItemRec(d, k)) live.push_back(k);
  return live;
}

// The messages a command shows of d: positions in posting order, and
// whether live messages come before and after them.
struct Shown {
  std::vector<int32_t> positions;
  bool earlier = false, later = false;
};

// The page that ends before position end: at most page live messages, and
// no more than limit bytes of text (one message at least; a limit of 0 or
// less: none), walking back from end.
Shown WalkBack(const ForumFile& d, int32_t end, int32_t page, int64_t limit) {
  Shown s;
  int64_t bytes = 0;
  for (int32_t k = end - 1; k >= 0; --k) {
    if (!ForumItemRec(d, k)) continue;
    int32_t size = std::max<int32_t>(ForumResponseSize(d, k), 0);
    if (int32_t(s.positions.size()) >= page ||
        (!s.positions.empty() && limit > 0 && bytes + size > limit)) {
      s.earlier = true;
      break;
    }
    bytes += size;
    s.positions.push_back(k);
  }
  std::reverse(s.positions.begin(), s.positions.end());
  return s;
}

Shown ChooseMessages(CgiRequest& r, const ForumFile& d, int32_t around) {
  Shown s;
  int32_t page = ForumIsRecordPrincipal(r.user) ? ForumUserMaxMessages(r.root, r.user) : 0;
  if (page <= 0) page = kCgiShowPage;
  int64_t limit = ForumSysopTopicMax(r.root);
  // 128: the latest messages up to its own limits.
  if (r.command == 128)
    return WalkBack(d, ForumFileCount(d), kCgiShowAllMessages, kCgiShowAllBytes);
  if (around < 0) {
    // The last page (14), or the page that ends before position "before"
    // (7; a number the earlier page's link carries), else the page before
    // the last: walking back from its end, with no scan of the whole of a
    // long discussion.
    int32_t end = ForumFileCount(d);
    if (r.command == 7) {
      int32_t before = GetIntFromName(r.form, "before", -1);
      if (before >= 0 && before < end) {
        end = before;
      } else {
        Shown last = WalkBack(d, end, page, limit);
        end = last.positions.empty() ? 0 : last.positions.front();
      }
      s = WalkBack(d, end, page, limit);
      s.later = end < ForumFileCount(d);
      return s;
    }
    return WalkBack(d, end, page, limit);
  }
  std::vector<int32_t> live = LivePositions(d);
  int32_t n = int32_t(live.size());
  int32_t pos = int32_t(std::lower_bound(live.begin(), live.end(), around) - live.begin());
  int32_t from = std::max<int32_t>(pos - page / 2, 0);
  int32_t to = std::min<int32_t>(from + page, n);
  s.positions.assign(live.begin() + from, live.begin() + to);
  s.earlier = from > 0;
  s.later = to < n;
  return s;
}

// The shown positions in thread order (each reply after the message it
// answers, in posting order), with their depths.
void ThreadOrder(const ForumFile& d, std::vector<int32_t>* positions,
                 std::vector<int32_t>* depths) {
  std::vector<int32_t> in = *positions;
  std::vector<std::vector<int32_t>> children(in.size());
  std::vector<int32_t> roots;
  for (size_t k = 0; k < in.size(); ++k) {
    int32_t parent = ForumItemReplyTo(d, in[k]);
    auto it = std::lower_bound(in.begin(), in.end(), parent);
    if (parent >= 0 && it != in.end() && *it == parent && it - in.begin() < int32_t(k))
      children[size_t(it - in.begin())].push_back(int32_t(k));
    else
      roots.push_back(int32_t(k));
  }
  positions->clear();
  depths->clear();
  // Depth first without recursion (a long chain of replies is deep).
  std::vector<std::pair<int32_t, int32_t>> stack;
  for (auto it = roots.rbegin(); it != roots.rend(); ++it) stack.push_back({*it, 0});
  while (!stack.empty()) {
    auto [k, depth] = stack.back();
    stack.pop_back();
    positions->push_back(in[size_t(k)]);
    depths->push_back(depth);
    const std::vector<int32_t>& c = children[size_t(k)];
    for (auto it = c.rbegin(); it != c.rend(); ++it) stack.push_back({*it, depth + 1});
  }
}

// The pages of a discussion are ranges of messages: the earlier page ends
// where this one begins ("!before=" its first position, command 7), the
// current one names its first and last message, and the latest is the
// page of command 14.
void DiscussionPaging(CgiRequest& r, const ForumFile& d, const Shown& shown) {
  if ((!shown.earlier && !shown.later) || shown.positions.empty()) return;
  std::string loc = CgiLocationQuote(ForumFilePath(d)).Str();
  std::string first = std::to_string(shown.positions.front());
  BufAddC(r.page, "<nav class=\"paging\" aria-label=\"Pages of the discussion\">\n");
  if (shown.earlier) PagingLink(r.page, "?7@@" + loc + "!before=" + first, "Earlier messages", "prev");
  PagingCurrent(r.page, "Messages " + first + " to " + std::to_string(shown.positions.back()));
  if (shown.later) PagingLink(r.page, "?14@@" + loc, "Latest messages", nullptr);
  BufAddC(r.page, "</nav>\n");
}

// around: the position of the message the page centres on (command 13),
// -1 for none.
void ShowDiscussion(CgiRequest& r, const ForumFile& d, const ForumFile& message,
                    int32_t around) {
  bool tree = ForumFileShowTreeView(d);
  const ForumFile& at = message ? message : d;
  // The newest message shown is read now; with none, the discussion's own
  // text is.  (Marks only grow: an earlier page leaves a later mark as it
  // is.)  A user without read marks (a guest) marks nothing, and the
  // messages are chosen only when the page is not kept.
  Shown shown;
  bool marks = ForumUserHasMarks(r.root, r.user);
  if (marks) {
    shown = ChooseMessages(r, d, around);
    FrmBkSetHighwater(r.user, d, shown.positions.empty() ? -1 : shown.positions.back());
  }
  if (SitePage(r, tree ? 18 : 17, at)) return;  // "discussionTree", "discussion"
  CgiPageCacheScope cached(r);
  if (cached.Hit()) return;
  if (!marks) shown = ChooseMessages(r, d, around);
  ForumFile folder = ForumFileParent(d);
  Render(r, kPDiscussionHead, d);
  Render(r, HtmlDiscussPreTemplate(folder), d);
  Render(r, kPItemBody, d);
  Render(r, HtmlDiscussPostTemplate(folder), d);
  if (!TemplateIsEmpty(HtmlMessageTemplate(folder))) {
    // The sysop's list templates make the list.
    Piece list = r.command == 128 ? kPItemsAll
                 : r.command == 7 ? kPItemsPrevious
                 : around >= 0    ? kPItemsInContext
                                  : kPItems;
    Render(r, list, at);
  } else {
    std::vector<int32_t> positions = shown.positions, depths(positions.size(), 0);
    if (tree) ThreadOrder(d, &positions, &depths);
    BufAddC(r.page, "<ol class=\"messages\">\n");
    const TemplateRef& head = ShowPiece(kPMessageItemHead);
    const TemplateRef& body = ShowPiece(kPMessageItemBody);
    St link = StCat(StCStrXfm("\"?14@@"), CgiLocationQuote(ForumFilePath(d)));
    // The items in one evaluation context (a context per message, each
    // looking up the record's field identifiers again, made up most of a
    // page's time), each message's head and body kept rendered with it;
    // the bytes are those of rendering each on its own.
    TemplateMessageRun run(r.user, r.cert, &r);
    for (size_t k = 0; k < positions.size(); ++k) {
      ForumFile m = run.Message(d, positions[k]);
      if (!m) continue;
      if (depths[k] > 0) {
        BufAddC(r.page, "<li style=\"margin-left:");
        BufAddInt(r.page, std::min<int32_t>(depths[k], 12) * 2);
        BufAddC(r.page, "rem;list-style:none\"><ol class=\"messages\">");
      }
      BufAddC(r.page, "<li class=\"message\" id=\"m");
      BufAddInt(r.page, positions[k]);
      BufAddC(r.page, "\"><header><a href=");
      BufAddSt(r.page, link);
      BufAddC(r.page, "/");
      BufAddInt(r.page, positions[k]);
      BufAddC(r.page, "\">");
      BufAddInt(r.page, positions[k]);
      BufAddC(r.page, ".</a>");
      run.AddStable(r.page, head, m);
      if (TplMarkMessageIsNew(r.root, r.user, d, positions[k])) BufAddC(r.page, " <mark>new</mark>");
      run.AddStable(r.page, body, m);
      if (depths[k] > 0) BufAddC(r.page, "</ol></li>\n");
    }
    BufAddC(r.page, "</ol>\n");
    DiscussionPaging(r, d, shown);
  }
  Render(r, kPToolbar, at);
}

void ShowMessage(CgiRequest& r, const ForumFile& message) {
  FrmBkSetHighwater(r.user, message, 0);
  if (SitePage(r, 7, message)) return;  // "view"
  CgiPageCacheScope cached(r);
  if (cached.Hit()) return;
  Render(r, kPMessagePage, message);
  Render(r, kPToolbar, message);
}

// Step 2 of showing: the item the location names.  A location that does
// not open is tried as a message of its parent by the message's number.
ForumFile OpenShown(CgiRequest& r) {
  if (r.location.Empty()) return ForumTopFolder(r.root);
  ForumFile item = CgiOpenLocation(r.root, r.location);
  if (item) return item;
  std::string_view loc = r.location.View();
  while (loc.size() > 1 && loc.back() == '/') loc.remove_suffix(1);
  size_t slash = loc.rfind('/');
  if (slash == std::string_view::npos) return ForumFile();
  std::string_view last = loc.substr(slash + 1);
  ForumFile parent = CgiOpenLocation(r.root, StFromView(loc.substr(0, slash)));
  int32_t number = 0;
  if (!parent || !ForumFileIsForum(parent) || last.empty() || last.size() > 9 ||
      !std::all_of(last.begin(), last.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
      !StIntStXfm(StFromView(last), &number))
    return ForumFile();
  int32_t end = ForumFileCount(parent);
  for (int32_t k = 0; k < end; ++k)
    if (ForumItemRec(parent, k) && ForumItemNumber(parent, k) == number)
      return ForumFileOpenMessage(parent, k);
  return ForumFile();
}

}  // namespace

void CgiActShowLocation(CgiRequest& r) {
  // 1: a request kept over a login goes on as it was.
  if (CgiForwardKept(r)) return;
  // 2 and 3: the item.
  ForumFile item = OpenShown(r);
  if (!item) {
    CgiErrorPage(r, "Pathname not found",
                 StCat(StCat(StCStrXfm("\""), StToSgml(r.location)), StCStrXfm("\" not found"))
                     .View());
    return;
  }
  int kind = ForumFileKind(item);
  if (kind == kForumKindLive || kind == kForumKindShipCon || kind == kForumKindLink ||
      kind == kForumKindDocument || kind == kForumKindNone) {
    // A chat room, a container item or a link shows the folder that holds
    // it; an attachment its message or discussion.
    ForumFile up = ForumFileParent(item);
    while (up && !ForumFileIsCategory(up) && !ForumFileIsForum(up) && !ForumFileIsMessage(up))
      up = ForumFileParent(up);
    item = up ? up : ForumTopFolder(r.root);
  }
  // 4: counted, then the read right.
  ForumFileCountHit(item);
  if (!ForumAccOpCk(item, r.user, kForumAccRead)) {
    // A guest may log in as someone who may read it; a user who has
    // logged in is told.
    if (r.guest) {
      CgiKeepAndLogin(r);
      return;
    }
    CgiErrorPage(r, "No access", StToSgml(EcToSt(2407)).View());
    return;
  }
  r.footerFolder = ForumFileIsCategory(item) ? item : ForumFile();
  // 5: the page of the item's kind.
  if (ForumFileIsCategory(item)) {
    ShowFolder(r, item, !ForumFileParent(item));
  } else if (ForumFileIsForum(item)) {
    ShowDiscussion(r, item, ForumFile(), -1);
  } else if (ForumFileIsMessage(item)) {
    ForumFile d = ForumFileParent(item);
    if (r.command == 13 || r.command == 128) {
      int32_t position = -1;
      int32_t number = 0;
      if (StIntStXfm(ForumFileName(item), &number)) position = number;
      ShowDiscussion(r, d, r.command == 13 ? item : ForumFile(), r.command == 13 ? position : -1);
    } else {
      ShowMessage(r, item);
    }
  } else {
    ShowFolder(r, ForumTopFolder(r.root), true);
  }
  // 6: the item's date.
  r.lastModified = ForumFileDate(item);
}

}  // namespace quil
