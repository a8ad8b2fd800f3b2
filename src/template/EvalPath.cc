// Keywords of the current path: queries (pathTitle, pathIsFolder,
// pathMessageCount ...), moves of the current path (setPath,
// setPathToParent ...), lists of its items (pathItems ...), selection,
// search and sorting (pathSelect, pathSearch, .pathSort), and the creation
// and change of items (folderCreate, messageCreate, setPathTitle,
// pathDestroy ...), which go through the TplStore seam.
//
// Items in templates are named by their unique paths ("." and hexadecimal):
// the creation keywords give the new item's, pathSelect and pathSearch give
// lists of them separated by single blanks, and setPath takes one (or a
// name path).  A creation moves the current path to the new item; a
// deletion to the parent.
#include <algorithm>
#include <climits>

#include "ForumAcc.h"
#include "ForumUser.h"
#include "Ma.h"
#include "Td.h"
#include "TemplateInt.h"

namespace quil {

namespace {

constexpr int kCmdShow = 14;

ForumFile& Path(ExprCall& c) { return c.Context().path; }

// The item whose flags and folder settings a message uses: its discussion.
ForumFile FlagItem(const ForumFile& item) {
  if (item && ForumFileIsMessage(item)) return ForumFileParent(item);
  return item;
}

// The discussion of the path (itself, or a message's), empty otherwise.
ForumFile DiscussionOf(const ForumFile& item) {
  if (!item) return ForumFile();
  if (ForumFileIsForum(item)) return item;
  if (ForumFileIsMessage(item)) return ForumFileParent(item);
  return ForumFile();
}

// The folder of the path (itself, or the folder holding it).
ForumFile FolderOf(const ForumFile& item) {
  ForumFile f = item;
  while (f && !ForumFileIsCategory(f)) f = ForumFileParent(f);
  return f;
}

St ItemTextGet(const ForumFile& f, TplItemText which) {
  switch (which) {
    case TplItemText::kTitle: return ForumFileTitle(f);
#define GET_TEXT(name, field) \
  case TplItemText::k##name:  \
    return ForumFile##name(f);
      FORUM_FILE_TEXTS(GET_TEXT)
#undef GET_TEXT
  }
  return St();
}

int32_t ItemIntGet(const ForumFile& f, TplItemInt which) {
  switch (which) {
#define GET_INT(name, field, dflt) \
  case TplItemInt::k##name:  \
    return ForumFile##name(f);
    FORUM_FILE_INTS(GET_INT)
#undef GET_INT
  }
  return 0;
}

St EscapedTitle(const ForumFile& item) {
  return StToSgml(TemplateItemTitle(item));
}

// A link to item with its title.  An item without a title (the top folder
// has none) is named by the site's title, or "Top level", so that the link
// always has text to read and to click.
St AnchorTo(ExprContext& ctx, const ForumFile& item) {
  St out = StCStrXfm("<a href=\"");
  out = StCat(std::move(out),
              TemplateLink(ctx, kCmdShow, TemplateLocation(item).View()));
  out = StAppendView(std::move(out), "\">");
  St title = EscapedTitle(item);
  if (StStripBlanks(title).Empty()) {
    St site = ForumSysopHtmlTitle(ForumFileRoot(item));
    title = StStripBlanks(site).Empty() ? StCStrXfm("Top level") : StToSgml(site);
  }
  out = StCat(std::move(out), std::move(title));
  return StAppendView(std::move(out), "</a>");
}

// ---------------------------------------------------------------------------
// Kinds and simple queries.

enum KindSel { kNone, kTop, kFolder, kDiscussion, kMessage, kLink, kContainer,
               kDocument, kChat };

void KwPathIs(ExprCall& c) {
  if (!KwRoot(c)) return;
  const ForumFile& p = Path(c);
  int kind = p ? ForumFileKind(p) : kForumKindNone;
  switch (c.Selector()) {
    case kNone: return c.ReturnBool(!p);
    case kTop: return c.ReturnBool(p && ForumFileUniqueId(p) == kForumTopId);
    case kFolder: return c.ReturnBool(p && ForumFileIsCategory(p));
    case kDiscussion: return c.ReturnBool(p && ForumFileIsForum(p));
    case kMessage: return c.ReturnBool(p && ForumFileIsMessage(p));
    case kLink: return c.ReturnBool(p && ForumFileIsLink(p));
    case kContainer: return c.ReturnBool(kind == kForumKindShipCon);
    case kDocument: return c.ReturnBool(kind == kForumKindDocument);
    default: return c.ReturnBool(kind == kForumKindLive);
  }
}

enum QuerySel {
  kTitle, kTitleUrl, kUrl, kParentTitle, kParentTitleUrl, kParentUrl, kFull,
  kLocation, kIcon, kBody, kBodyFormatted, kBodyRaw, kContentType, kDepth,
  kItemNumber, kIsDeleted, kHasReply, kTreeLabel, kTreeTitle, kHier,
  kMessageId, kIsNew, kMarkAsRead, kHasTables,
};

// The message a message answers (-1: the discussion itself).
int32_t ReplyTo(const ForumFile& d, int32_t i) {
  int32_t r = ForumItemReplyTo(d, i);
  return r >= 0 && r < i && ForumItemRec(d, r) ? r : -1;
}

void KwPathQuery(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ExprContext& ctx = c.Context();
  const ForumFile& p = ctx.path;
  const TemplateFacts& facts = TemplateFactsOf(ctx, p);
  bool msg = facts.message;
  ForumFile d = facts.discussion;
  int32_t i = facts.index;
  switch (c.Selector()) {
    case kTitle: return c.Return(TemplateFactTitle(ctx, p));
    case kTitleUrl: return c.Return(p ? AnchorTo(ctx, p) : StCreate());
    case kUrl:
      return c.Return(TemplateLink(ctx, kCmdShow, TemplateLocation(p).View()));
    case kParentTitle: return c.Return(TemplateItemTitle(p ? ForumFileParent(p) : p));
    case kParentTitleUrl: {
      ForumFile up = p ? ForumFileParent(p) : ForumFile();
      return c.Return(up ? AnchorTo(ctx, up) : StCreate());
    }
    case kParentUrl: {
      ForumFile up = p ? ForumFileParent(p) : ForumFile();
      return c.Return(
          up ? TemplateLink(ctx, kCmdShow, TemplateLocation(up).View()) : StCreate());
    }
    case kFull: return c.Return(p ? TemplateFactPath(ctx, p) : StCreate());
    case kLocation: {
      if (ctx.request) return c.Return(ctx.request->Location());
      return c.Return(p ? TemplateFactPath(ctx, p) : StCreate());
    }
    case kIcon: {
      static const char* const kIcons[] = {
          "folder.svg", "discussion.svg", "message.svg", "link.svg",
          "chat.svg", "container.svg", "document.svg"};
      int kind = p ? ForumFileKind(p) : kForumKindNone;
      int n = kind == kForumKindFolder       ? 0
              : kind == kForumKindDiscussion ? 1
              : kind == kForumKindMessage    ? 2
              : kind == kForumKindLink       ? 3
              : kind == kForumKindLive       ? 4
              : kind == kForumKindShipCon    ? 5
                                             : 6;
      St images = ForumSysopImagesDir(root);
      St out = images.Empty() ? StCStrXfm("/Images") : images;
      out = StAppend(std::move(out), '/');
      return c.Return(StAppendView(std::move(out), kIcons[n]));
    }
    case kBody:
    case kBodyRaw: return c.Return(p ? TemplateFactBody(ctx, p) : StCreate());
    case kBodyFormatted: {
      St body = p ? TemplateFactBody(ctx, p) : StCreate();
      St type = msg ? ForumItemContentType(d, i) : St();
      if (!StIsPrefixCNoCase(type, "text/plain")) return c.Return(std::move(body));
      St html = StToSgml(std::move(body));
      return c.Return(StReplace(std::move(html), StCStrXfm("\n"),
                                StCStrXfm("<br>\n")));
    }
    case kContentType: {
      St type = msg ? ForumItemContentType(d, i) : St();
      return c.Return(type.Empty() ? StCStrXfm("text") : type);
    }
    case kDepth: {
      if (!p) return c.Return(0);
      St path = ForumFilePath(p);
      int32_t n = 0;
      for (char ch : path.View()) n += ch == '/';
      return c.Return(path.View() == "/" ? 0 : n);
    }
    case kItemNumber: {
      // The message's number: MessageNumber when stored, else its index.
      if (!msg) return c.Return(0);
      int32_t n;
      return c.Return(TemplateFactNumber(ctx, p, &n) ? n : i);
    }
    case kIsDeleted:
      if (msg) return c.ReturnBool(ForumItemRec(d, i) == 0);
      return c.ReturnBool(p && ForumFileType(p).View().starts_with("deleted-"));
    case kHasReply: {
      if (!msg) return c.Return(0);
      int32_t n = ForumFileCount(d);
      for (int32_t k = i + 1; k < n; ++k)
        if (ForumItemRec(d, k) && ForumItemReplyTo(d, k) == i) return c.Return(1);
      return c.Return(0);
    }
    case kTreeLabel: {
      if (!msg) return c.Return(StCreate());
      std::vector<int32_t> chain;
      for (int32_t k = i; k >= 0 && chain.size() < 1000; k = ReplyTo(d, k))
        chain.push_back(ForumItemNumber(d, k));
      St out = StCreate();
      for (size_t k = chain.size(); k-- > 0;) {
        out = StCat(std::move(out), StStIntXfm(chain[k]));
        if (k) out = StAppend(std::move(out), '.');
      }
      return c.Return(std::move(out));
    }
    case kTreeTitle: {
      St title = TemplateItemTitle(p);
      if (!title.Empty() || !msg) return c.Return(std::move(title));
      // No title: the start of the text, without its markup.
      St body = ForumItemData(d, i);
      std::string plain;
      bool tag = false;
      for (char ch : body.View()) {
        if (plain.size() >= 60) break;
        if (tag) tag = ch != '>';
        else if (ch == '<') tag = true;
        else plain += StCharIsWhiteSpace(uint8_t(ch)) ? ' ' : ch;
      }
      return c.Return(StStripBlanks(StFromView(plain)));
    }
    case kHier: {
      St sep = c.Written(0) ? c.ArgSt(0) : StCStrXfm(" / ");
      std::vector<ForumFile> chain;
      for (ForumFile f = p; f && chain.size() < 256; f = ForumFileParent(f))
        chain.push_back(f);
      St out = StCreate();
      for (size_t k = chain.size(); k-- > 0;) {
        out = StCat(std::move(out), k ? AnchorTo(ctx, chain[k])
                                      : EscapedTitle(chain[k]));
        if (k) out = StAppendView(std::move(out), sep.View());
      }
      return c.Return(std::move(out));
    }
    case kMessageId:
      return c.Return(msg ? TemplateRecText(ForumItemRec(d, i), "MessageId")
                          : StCreate());
    case kIsNew:
      if (msg) return c.ReturnBool(TplMarkMessageIsNew(root, ctx.user, d, i));
      return c.ReturnBool(p && TplMarkIsNew(root, ctx.user, p));
    case kMarkAsRead:
      if (msg) TplMarkRead(root, ctx.user, d, i);
      else if (p) TplMarkRead(root, ctx.user, p, -1);
      return;
    case kHasTables:
      return c.Return(0);
  }
}

// ---------------------------------------------------------------------------
// Counts.

enum CountSel {
  kHasItems, kHasFolders, kHasOneFolder, kFolderCount, kHasDiscussions,
  kHasOneDiscussion, kDiscussionCount, kChatCount, kLinkCount, kHasMessages,
  kHasOneMessage, kMessageCount, kHasNewMessages, kHasOneNewMessage,
  kNewMessageCount,
};

int32_t CountChildren(ForumRoot root, const ForumFile& folder,
                      std::string_view type) {
  if (!folder || !ForumFileIsCategory(folder)) return 0;
  int32_t n = 0;
  uint32_t count = ForumCatItemCount(folder);
  for (uint32_t ix = 0; ix < count; ++ix) {
    ChHandle e = ForumCatItemOpen(folder, ix);
    if (e && ForumCatItemType(root, e).View() == type) ++n;
  }
  return n;
}

int32_t NewMessages(ForumRoot root, ChHandle user, const ForumFile& d,
                    int32_t stopAt) {
  if (!d) return 0;
  int32_t n = 0, count = ForumFileCount(d);
  for (int32_t i = 0; i < count && n < stopAt; ++i)
    if (TplMarkMessageIsNew(root, user, d, i)) ++n;
  return n;
}

void KwPathCount(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ExprContext& ctx = c.Context();
  const ForumFile& p = ctx.path;
  ForumFile d = DiscussionOf(p);
  bool folder = p && ForumFileIsCategory(p);
  switch (c.Selector()) {
    case kHasItems:
      return c.ReturnBool(folder ? ForumFileSize(p) > 0
                                 : d && ForumMessageCount(d) > 0);
    case kHasFolders: return c.ReturnBool(folder && ForumFileCategoryCount(p) > 0);
    case kHasOneFolder: return c.ReturnBool(folder && ForumFileCategoryCount(p) == 1);
    case kFolderCount: return c.Return(folder ? ForumFileCategoryCount(p) : 0);
    case kHasDiscussions:
      return c.ReturnBool(CountChildren(root, p, "forum-topic") > 0);
    case kHasOneDiscussion:
      return c.ReturnBool(CountChildren(root, p, "forum-topic") == 1);
    case kDiscussionCount: return c.Return(CountChildren(root, p, "forum-topic"));
    case kChatCount: return c.Return(CountChildren(root, p, "forum-live"));
    case kLinkCount: return c.Return(CountChildren(root, p, "forum-link"));
    case kHasMessages: return c.ReturnBool(d && ForumMessageCount(d) > 0);
    case kHasOneMessage: return c.ReturnBool(d && ForumMessageCount(d) == 1);
    case kMessageCount: return c.Return(d ? ForumMessageCount(d) : 0);
    case kHasNewMessages:
      return c.ReturnBool(NewMessages(root, ctx.user, d, 1) > 0);
    case kHasOneNewMessage:
      return c.ReturnBool(NewMessages(root, ctx.user, d, 2) == 1);
    case kNewMessageCount:
      return c.Return(NewMessages(root, ctx.user, d, INT32_MAX));
  }
}

// ---------------------------------------------------------------------------
// Attributes: one table row per getter and setter of an item attribute.

enum AttrKind : uint8_t { kAText, kAInt, kAFlag, kAFlagLocal, kAField };

struct PathAttr {
  const char* getter;  // may be null
  const char* setter;  // may be null
  AttrKind kind;
  int32_t which;       // TplItemText, TplItemInt or a flag bit
  const char* field;   // kAField: the record field
};

constexpr PathAttr kAttrs[] = {
    {"pathNewsgroup", "setPathNewsgroup", kAText, int(TplItemText::kNewsgroup), nullptr},
    {"pathTemplate", "setPathTemplate", kAText, int(TplItemText::kTemplate), nullptr},
    {"pathBanner", "setPathBanner", kAText, int(TplItemText::kHtmlBanner), nullptr},
    {"pathFooter", "setPathFooter", kAText, int(TplItemText::kHtmlFooter), nullptr},
    {"pathMessage", "setPathMessage", kAText, int(TplItemText::kHtml), nullptr},
    {"linkDescription", "setLinkDescription", kAText, int(TplItemText::kHtml), nullptr},
    {"pathArchiveFolder", "setPathArchiveFolder", kAText, int(TplItemText::kArchiveTo), nullptr},
    {"pathEmailMirror", "setPathEmailMirror", kAText, int(TplItemText::kFolderEmail), nullptr},
    {"pathArchiveDays", "setPathArchiveDays", kAInt, int(TplItemInt::kArchiveDays), nullptr},
    {"pathSortSeq", "setPathSortSeq", kAInt, int(TplItemInt::kSortSeq), nullptr},
    {"pathHits", nullptr, kAInt, int(TplItemInt::kHits), nullptr},
    {"pathPosts", nullptr, kAInt, int(TplItemInt::kPosts), nullptr},
    {"pathNestedHits", nullptr, kAInt, int(TplItemInt::kChildrenHits), nullptr},
    {"pathNestedPosts", nullptr, kAInt, int(TplItemInt::kChildrenPosts), nullptr},
    {"pathShowAuthor", "setPathShowAuthor", kAFlag, int(kForumFlagShowAuthor), nullptr},
    {"authorShow", nullptr, kAFlag, int(kForumFlagShowAuthor), nullptr},
    {"pathIsAnonymous", "setPathIsAnonymous", kAFlag, int(kForumFlagAnonymous), nullptr},
    {"pathIsPermanent", "setPathPermanent", kAFlag, int(kForumFlagPermanent), nullptr},
    {"pathPermanent", nullptr, kAFlagLocal, int(kForumFlagPermanent), nullptr},
    {"pathShowByUserPreferences", "setPathShowByUserPreferences", kAFlag,
     int(kForumFlagUserPrefs), nullptr},
    {"pathShowsReplyTo", "setPathShowsReplyTo", kAFlag, int(kForumFlagShowReplyTo), nullptr},
    {"pathShowsReplyToLocal", nullptr, kAFlagLocal, int(kForumFlagShowReplyTo), nullptr},
    {"pathShowsTitle", "setPathShowsTitle", kAFlag, int(kForumFlagShowTitles), nullptr},
    {"pathShowsTitleLocal", nullptr, kAFlagLocal, int(kForumFlagShowTitles), nullptr},
    {"pathShowsThreaded", "setPathShowsThreaded", kAFlag, int(kForumFlagShowTree), nullptr},
    {"pathShowsThreadedLocal", nullptr, kAFlagLocal, int(kForumFlagShowTree), nullptr},
    {"pathShowsLinkToParent", "setPathShowsLinkToParent", kAFlag,
     int(kForumFlagShowParent), nullptr},
    {"pathShowsLinkToParentLocal", nullptr, kAFlagLocal, int(kForumFlagShowParent), nullptr},
    {"pathShowsLinkToPrevious", "setPathShowsLinkToPrevious", kAFlag,
     int(kForumFlagShowPrevious), nullptr},
    {"pathShowsLinkToPreviousLocal", nullptr, kAFlagLocal, int(kForumFlagShowPrevious),
     nullptr},
    {"pathShowsSummaryButton", "setPathShowsSummaryButton", kAFlag,
     int(kForumFlagShowSummary), nullptr},
    {"pathShowsSummaryButtonLocal", nullptr, kAFlagLocal, int(kForumFlagShowSummary),
     nullptr},
    {"pathHttpUploads", "setPathHttpUploads", kAFlag, int(kForumFlagUploads), nullptr},
    {"pathHttpUploadsLocal", nullptr, kAFlagLocal, int(kForumFlagUploads), nullptr},
    {"pathHttpDownloads", "setPathHttpDownloads", kAFlag, int(kForumFlagDownloads), nullptr},
    {"pathHttpDownloadsLocal", nullptr, kAFlagLocal, int(kForumFlagDownloads), nullptr},
    {"linkShowDescription", "setLinkShowDescription", kAFlag,
     int(kForumFlagLinkDescription), nullptr},
    {"pathBackground", "setPathBackground", kAField, 0, "Background"},
    {"pathSource", "setPathSource", kAField, 0, "Source"},
    {"pathListItems", "setPathListItems", kAField, 0, "ListItems"},
    {"pathAddSubfoldersOnce", nullptr, kAField, 0, "SubfoldersOnce"},
    {"pathEmailPW", "setPathEmailPW", kAField, 0, "FolderEmailPW"},
    {"pathEmailStripSig", "setPathEmailStripSig", kAField, 0, "FolderEmailStripSig"},
    {"pathEmailPostThru", "setPathEmailPostThru", kAField, 0, "FolderEmailPostThru"},
    {"pathEmailReply", "setPathEmailReply", kAField, 0, "FolderEmailReply"},
    {"pathEmailReplyTo", "setPathEmailReplyTo", kAField, 0, "FolderEmailReplyTo"},
    {"pathEmailFrom", "setPathEmailFrom", kAField, 0, "FolderEmailFrom"},
    {"pathInheritsEnclosures", "setPathInheritsEnclosures", kAField, 0,
     "InheritsEnclosures"},
    {"pathNewsMode", "setPathNewsMode", kAField, 0, "NewsMode"},
    {"pathNewsSendTo", "setPathNewsSendTo", kAField, 0, "NewsSendTo"},
    {"pathNewsSendUsername", "setPathNewsSendUsername", kAField, 0, "NewsSendUsername"},
    {"pathNewsSendPassword", "setPathNewsSendPassword", kAField, 0, "NewsSendPassword"},
    {"pathNewsGetFrom", "setPathNewsGetFrom", kAField, 0, "NewsGetFrom"},
    {"pathNewsGetFromMode", "setPathNewsGetMode", kAField, 0, "NewsGetMode"},
    {"pathNewsGetUsername", "setPathNewsGetUsername", kAField, 0, "NewsGetUsername"},
    {"pathNewsGetPassword", "setPathNewsGetPassword", kAField, 0, "NewsGetPassword"},
    {"pathMaxUsers", "setPathMaxUsers", kAField, 0, "MaxUsers"},
    {"pathMainRoom", "setPathMainRoom", kAField, 0, "MainRoom"},
    {"pathRecordFile", "setPathRecordFile", kAField, 0, "RecordFile"},
    {"pathPlayFile", "setPathPlayFile", kAField, 0, "PlayFile"},
    {"pathIsPlayLoopback", "setPathIsPlayLoopback", kAField, 0, "PlayLoopback"},
    {"pathPlayMillisecs", "setPathPlayMillisecs", kAField, 0, "PlayMillisecs"},
    {"pathMimeFrom", nullptr, kAField, 0, "From"},
    {"pathMimeReplyTo", nullptr, kAField, 0, "ReplyTo"},
    {"pathMimeReplyToNet", nullptr, kAField, 0, "ReplyToNet"},
    {"pathMimeTo", nullptr, kAField, 0, "To"},
};

void KwAttrGet(ExprCall& c) {
  if (!KwRoot(c)) return;
  const PathAttr& a = kAttrs[size_t(c.Selector())];
  const ForumFile& p = Path(c);
  if (!p) return;
  ForumFile f = FlagItem(p);
  switch (a.kind) {
    case kAText: return c.Return(ItemTextGet(f, TplItemText(a.which)));
    case kAInt: return c.Return(ItemIntGet(f, TplItemInt(a.which)));
    case kAFlag: return c.ReturnBool(ForumFileFlags(f) & uint32_t(a.which));
    case kAFlagLocal:
      return c.ReturnBool(ForumFileStoredFlags(f) & uint32_t(a.which));
    case kAField: return c.Return(TemplateRecText(TemplateItemRecord(p), a.field));
  }
}

void KwAttrSet(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  const PathAttr& a = kAttrs[size_t(c.Selector())];
  const ForumFile& p = Path(c);
  if (!p) return c.Return(0);
  ForumFile f = FlagItem(p);
  St value = c.ArgSt(0);
  switch (a.kind) {
    case kAText:
      TplStoreItemText(f, TplItemText(a.which),
                       value.Empty() ? St() : std::move(value));
      break;
    case kAInt: TplStoreItemInt(f, TplItemInt(a.which), c.ArgInt(0)); break;
    case kAFlag:
    case kAFlagLocal: TplStoreItemFlags(f, uint32_t(a.which), c.ArgTruth(0)); break;
    case kAField: {
      ChHandle rec = TemplateItemRecord(p);
      if (!rec) return c.Return(0);
      TplStoreRecordField(root, rec, StCStrXfm(a.field),
                          value.Empty() ? St() : std::move(value));
      break;
    }
  }
  c.Return(1);
}

// setPathTitle, setPathBody, setPathAuthor, setPathDate ...: messages have
// their own setters.
enum MsgSetSel { kSetTitle, kSetBody, kSetAuthor, kSetDate, kSetCreated,
                 kSetContentType, kSetMessageId, kSetLinkUrl };

void KwPathSet(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  const ForumFile& p = Path(c);
  if (!p) return c.Return(0);
  ForumFile d;
  int32_t i;
  bool msg = TemplateMessageOf(p, &d, &i);
  St value = c.ArgSt(0);
  switch (c.Selector()) {
    case kSetTitle:
      if (msg) TplStoreMessageTitle(d, i, std::move(value));
      else TplStoreItemText(p, TplItemText::kTitle, std::move(value));
      break;
    case kSetBody:
      if (msg) TplStoreMessageBody(d, i, value);
      else TplStoreItemText(p, TplItemText::kHtml, std::move(value));
      break;
    case kSetAuthor: {
      ChHandle u = TemplatePrincipalById(root, TemplateIdFromText(value.View()));
      if (!ForumIsRecordPrincipal(u)) u = 0;
      if (msg) TplStoreMessageAuthor(d, i, u);
      else TplStoreItemUser(p, u);
      break;
    }
    case kSetDate:
    case kSetCreated: {
      Td when;
      if (!TdParse(value.View(), &when)) return c.Return(0);
      if (msg) TplStoreMessageDate(d, i, LgDbTdFromTd(when));
      else TplStoreItemDate(p, c.Selector() == kSetCreated, LgDbTdFromTd(when));
      break;
    }
    case kSetContentType:
      if (!msg) return c.Return(0);
      TplStoreRecordField(root, ForumItemRec(d, i), StCStrXfm("ContentType"),
                          value.Empty() || value.View() == "text" ? St()
                                                                  : std::move(value));
      break;
    case kSetMessageId:
      if (!msg) return c.Return(0);
      TplStoreMessageId(d, i, value);
      break;
    case kSetLinkUrl:
      if (!ForumFileIsLink(p)) return c.Return(0);
      TplStoreLinkUrl(p, std::move(value));
      break;
  }
  c.Return(1);
}

// Folder structure: what all registered users may add here, read from and
// written to the all-users entry of the item's access list.
enum StructSel { kAddSubfolders, kNoSubfolders, kAddDiscussions, kAddLinks,
                 kAddSubfoldersOnce };

uint32_t StructBit(int sel) {
  return sel == kAddDiscussions ? kForumAccAddDiscussion : kForumAccAddFolder;
}

void KwPathStructure(ExprCall& c) {
  if (!KwRoot(c)) return;
  const ForumFile& p = Path(c);
  bool on = p && ForumAccOpCk(p, kForumAccAllUsers, StructBit(c.Selector()));
  c.ReturnBool(c.Selector() == kNoSubfolders ? !on : on);
}

void KwSetPathStructure(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  const ForumFile& p = Path(c);
  if (!p || !ForumFileIsCategory(p)) return c.Return(0);
  int sel = c.Selector();
  bool on = sel != kNoSubfolders && (c.Argc() == 0 || c.ArgTruth(0));
  uint32_t given, taken;
  if (!ForumAccGet(p, kForumAccAllUsers, &given, &taken))
    given = ForumAccResolve(p, kForumAccAllUsers);
  uint32_t bit = StructBit(sel);
  TplStoreAccEnable(p, kForumAccAllUsers, on ? given | bit : given & ~bit);
  if (sel == kAddSubfolders || sel == kNoSubfolders || sel == kAddSubfoldersOnce)
    TplStoreRecordField(root, ForumFileRecord(p), StCStrXfm("SubfoldersOnce"),
                        sel == kAddSubfoldersOnce ? StCStrXfm("1") : St());
  c.Return(1);
}

// Counters.
enum CounterSel { kHitsInc, kHitsDec, kPostsInc, kPostsDec, kClear };

void KwPathCounter(ExprCall& c) {
  if (!KwRoot(c)) return;
  ForumFile f = FlagItem(Path(c));
  if (!f) return;
  switch (c.Selector()) {
    case kHitsInc: return TplStoreItemInt(f, TplItemInt::kHits, ForumFileHits(f) + 1);
    case kHitsDec: return TplStoreItemInt(f, TplItemInt::kHits, ForumFileHits(f) - 1);
    case kPostsInc:
      return TplStoreItemInt(f, TplItemInt::kPosts, ForumFilePosts(f) + 1);
    case kPostsDec:
      return TplStoreItemInt(f, TplItemInt::kPosts, ForumFilePosts(f) - 1);
    default:
      TplStoreItemInt(f, TplItemInt::kHits, 0);
      TplStoreItemInt(f, TplItemInt::kPosts, 0);
      TplStoreItemInt(f, TplItemInt::kChildrenHits, 0);
      TplStoreItemInt(f, TplItemInt::kChildrenPosts, 0);
  }
}

// The font sizes of list entries: the user's preferences.
void KwPathFontSize(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ChHandle u = c.Context().user;
  if (!ForumIsRecordPrincipal(u)) return c.Return(0);
  switch (c.Selector()) {
    case 0: return c.Return(ForumUserRespNameSize(root, u));
    case 1: return c.Return(ForumUserRespInfoSize(root, u));
    default: return c.Return(ForumUserRespBodySize(root, u));
  }
}

// pathNet...: the effective display choice for this user: the item's flag,
// or the user's preference where the item lets users choose.
void KwPathNet(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ForumFile f = FlagItem(Path(c));
  if (!f) return c.Return(0);
  static const uint32_t kItemBits[] = {kForumFlagShowTree, kForumFlagShowReplyTo,
                                       kForumFlagShowSummary, kForumFlagShowTitles};
  static const uint32_t kUserBits[] = {kForumUserThreading, kForumUserReplyTo,
                                       kForumUserSummaryButton, 0};
  int sel = c.Selector();
  uint32_t flags = ForumFileFlags(f);
  ChHandle u = c.Context().user;
  if ((flags & kForumFlagUserPrefs) && kUserBits[sel] &&
      ForumUserGetType(root, u) == kForumUserRegistered)
    return c.ReturnBool(ForumUserFlags(root, u) & kUserBits[sel]);
  c.ReturnBool(flags & kItemBits[sel]);
}

void KwPathInheritsPrefs(ExprCall& c) {
  if (!KwRoot(c)) return;
  ForumFile f = FlagItem(Path(c));
  c.ReturnBool(f && (ForumFileInherits(f) & kForumFlagUserPrefs));
}

// pathHosts, pathParticipants ...: the names of the principals of the
// path's access list (its own, or the one it uses) in an access class,
// joined by the argument (", " by default).
void KwPathClassMembers(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  static const char* const kClasses[] = {"host", "participant", "moderated",
                                         "readOnly"};
  const char* want = kClasses[c.Selector()];
  St sep = c.Written(0) ? c.ArgSt(0) : StCStrXfm(", ");
  ForumFile f = FlagItem(Path(c));
  while (f && !ForumAccHasList(f)) f = ForumFileParent(f);
  St out = StCreate();
  if (!f) return c.Return(std::move(out));
  ForumAccIter it = ForumAccStart(f);
  ChHandle principal;
  uint32_t given, taken;
  bool first = true;
  while (ForumAccNext(it, &principal, &given, &taken)) {
    if (!ExprEqualNoCase(ForumAccClassOf(given, taken), want)) continue;
    St name = principal == kForumAccAllUsers    ? StCStrXfm("users")
              : principal == kForumAccAllGuests ? StCStrXfm("guests")
              : TemplateDisplayName(root, principal);
    if (!first) out = StAppendView(std::move(out), sep.View());
    out = StCat(std::move(out), std::move(name));
    first = false;
  }
  ForumAccStop(it);
  c.Return(std::move(out));
}

// ---------------------------------------------------------------------------
// Moving the current path.  Each gives 1 when the path moved, 0 otherwise.

void Move(ExprCall& c, ForumFile to) {
  if (!to) return c.Return(0);
  c.Context().path = std::move(to);
  c.Return(1);
}

ForumFile OpenPath(ForumRoot root, const St& text) {
  if (text.Empty() || text.Length() > 4096) return ForumFile();
  return ForumFileOpen(root, text);
}

enum MoveSel { kToStart, kToParent, kToTreeParent, kToLink, kFollowLink,
               kToFirstNew, kFromMessageId };

void KwSetPath(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ExprContext& ctx = c.Context();
  const ForumFile& p = ctx.path;
  ForumFile d;
  int32_t i;
  switch (c.Selector()) {
    case kToStart:
      if (c.Written(0)) return Move(c, OpenPath(root, c.ArgSt(0)));
      return Move(c, ctx.startPath);
    case kToParent: return Move(c, p ? ForumFileParent(p) : ForumFile());
    case kToTreeParent: {
      if (!TemplateMessageOf(p, &d, &i)) return Move(c, p ? ForumFileParent(p) : p);
      int32_t up = ReplyTo(d, i);
      return Move(c, up < 0 ? d : ForumFileOpenMessage(d, up));
    }
    case kToLink:
      return Move(c, p && ForumFileIsLink(p) ? ForumLinkOpen(p) : ForumFile());
    case kFollowLink: {
      ForumFile f = p;
      for (int hops = 0; f && ForumFileIsLink(f) && hops < kForumMaxLinks; ++hops)
        f = ForumLinkOpen(f);
      return Move(c, f && !ForumFileIsLink(f) ? f : ForumFile());
    }
    case kToFirstNew: {
      ForumFile disc = DiscussionOf(p);
      if (!disc) return c.Return(0);
      int32_t n = ForumFileCount(disc);
      for (int32_t k = 0; k < n; ++k)
        if (TplMarkMessageIsNew(root, ctx.user, disc, k))
          return Move(c, ForumFileOpenMessage(disc, k));
      return c.Return(0);
    }
    case kFromMessageId: {
      ChHandle rec = ForumMessageIdLookup(root, c.ArgSt(0));
      if (!rec) return c.Return(0);
      return Move(c, ForumFileOpenUnique(root, ForumUniqueIdFromRec(root, rec)));
    }
  }
}

// ---------------------------------------------------------------------------
// Dates.

enum DateSel { kDateModified, kDateCreated };

void KwPathDate(ExprCall& c) {
  if (!KwRoot(c)) return;
  ExprContext& ctx = c.Context();
  St format = c.Written(0) ? c.ArgSt(0) : TemplateFactTimeFormat(ctx);
  c.Return(TemplateFactDateText(ctx, ctx.path, c.Selector() == kDateCreated, format));
}

// ---------------------------------------------------------------------------
// Item lists.
//
// pathItems writes the items of the current path through the sysop-setting
// templates: for a folder the entries the user may read, in the user's
// listing order, through folderListBefore, folderListItem per entry and
// folderListAfter (folderListEmpty when there is none); for a discussion
// (or a message's discussion) its messages through messageListBefore,
// messageListItem per message, messageListBetween between two and
// messageListAfter.  While an entry is written the current path is the
// entry and the item... keywords describe it.  Of a discussion, pathItems
// writes the last page (the user's maximum messages, else 50),
// pathItemsPrevious the page before it, pathItemsInContext the page around
// the message the rendering started at, and pathItemsAll every message (at
// most 32,000).

constexpr int32_t kDefaultPage = 50;
constexpr int32_t kAllMessages = 32000;

enum ListSel { kItemsPage, kItemsAll, kItemsPrevious, kItemsInContext };

// Puts the current path and the list-entry values back when the list ends.
class ListScope {
 public:
  explicit ListScope(ExprContext& ctx)
      : ctx_(ctx), path_(ctx.path), item_(ctx.msgItem), list_(ctx.msgList) {}
  ~ListScope() {
    ctx_.path = std::move(path_);
    ctx_.msgItem = item_;
    ctx_.msgList = std::move(list_);
  }
  ListScope(const ListScope&) = delete;
  ListScope& operator=(const ListScope&) = delete;

 private:
  ExprContext& ctx_;
  ForumFile path_;
  ExprMsgItem item_;
  ExprMsgList list_;
};

int32_t PageSize(ForumRoot root, ChHandle user) {
  int32_t n = ForumIsRecordPrincipal(user) ? ForumUserMaxMessages(root, user) : 0;
  return n > 0 ? n : kDefaultPage;
}

// The messages of one page of d: handles in posting order with their
// records, and the numbers of live messages before and after the page.
struct MessagePage {
  struct Item {
    int32_t index;
    ForumFile handle;
    ChHandle rec;
  };
  std::vector<Item> items;
  int32_t before = 0, after = 0;
};

// The last take live messages of d, walking back from the end (a page of
// the end needs no scan of the whole discussion).
void LastMessages(ExprContext& ctx, const ForumFile& d, int32_t take,
                  MessagePage* out) {
  int32_t live = ForumMessageCount(d);
  for (int32_t k = ForumFileCount(d) - 1; k >= 0 && int32_t(out->items.size()) < take;
       --k) {
    ChHandle rec;
    if (ForumFile m = TemplateCachedMessage(ctx, d, k, &rec))
      out->items.push_back({k, std::move(m), rec});
  }
  std::reverse(out->items.begin(), out->items.end());
  out->before = live - int32_t(out->items.size());
}

// The live messages from position from to to (of the live ones).
void RangeOfMessages(ExprContext& ctx, const ForumFile& d,
                     const std::vector<int32_t>& live, int32_t from, int32_t to,
                     MessagePage* out) {
  for (int32_t k = from; k < to; ++k) {
    ChHandle rec;
    if (ForumFile m = TemplateCachedMessage(ctx, d, live[size_t(k)], &rec))
      out->items.push_back({live[size_t(k)], std::move(m), rec});
  }
  out->before = from;
  out->after = int32_t(live.size()) - to;
}

void ListMessages(ExprCall& c, ForumRoot root, const ForumFile& d) {
  ExprContext& ctx = c.Context();
  int32_t page = PageSize(root, ctx.user);
  MessagePage msgs;
  int sel = c.Selector();
  if (sel == kItemsPage || sel == kItemsAll) {
    LastMessages(ctx, d, sel == kItemsAll ? kAllMessages : page, &msgs);
  } else {
    int32_t end = ForumFileCount(d);
    std::vector<int32_t> live;
    live.reserve(size_t(end));
    for (int32_t k = 0; k < end; ++k)
      if (ForumItemRec(d, k)) live.push_back(k);
    int32_t n = int32_t(live.size()), from = 0, to = n;
    ForumFile sd;
    int32_t at = 0;
    if (sel == kItemsPrevious) {
      to = n > page ? n - page : 0;
      from = to > page ? to - page : 0;
    } else if (TemplateMessageOf(ctx.startPath, &sd, &at) && sd == d) {
      int32_t pos =
          int32_t(std::lower_bound(live.begin(), live.end(), at) - live.begin());
      from = pos > page / 2 ? pos - page / 2 : 0;
      to = from + page < n ? from + page : n;
    } else {
      from = n > page ? n - page : 0;
    }
    RangeOfMessages(ctx, d, live, from, to, &msgs);
  }
  ForumFile folder = FolderOf(d);
  ListScope scope(ctx);
  ctx.msgList = ExprMsgList();
  ctx.msgList.countPrevious = msgs.before;
  ctx.msgList.countFollowing = msgs.after;
  ctx.msgList.empty = msgs.items.empty();
  ctx.msgList.threaded = ForumFileShowTreeView(d);
  St location = TemplateLocation(d);
  if (msgs.before > 0) ctx.msgList.previous = TemplateLink(ctx, 7, location.View());
  if (msgs.after > 0)
    ctx.msgList.following = TemplateLink(ctx, kCmdShow, location.View());
  TemplateRenderFragment(ctx, HtmlMessagePreTemplate(folder),
                         "Recursive calls to messageListBefore nested too deeply");
  TemplateRef item = HtmlMessageTemplate(folder);
  TemplateRef between = HtmlMessageBetweenTemplate(folder);
  bool host = ForumAccOpCk(d, ctx.user, kForumAccHost);
  int32_t count = int32_t(msgs.items.size());
  for (int32_t k = 0; k < count && !ctx.Stopped(); ++k) {
    MessagePage::Item& m = msgs.items[size_t(k)];
    if (k > 0)
      TemplateRenderFragment(ctx, between,
                             "Recursive calls to msgListBetween nested too deeply");
    ctx.path = std::move(m.handle);
    TemplateFactsPrime(ctx, ctx.path, d, m.index, m.rec);
    ExprMsgItem& it = ctx.msgItem;
    it = ExprMsgItem();
    it.date = TemplateFactDate(ctx, ctx.path, false);
    it.number = k + 1;
    it.count = count;
    it.threaded = ctx.msgList.threaded;
    bool own = ForumIsRecordPrincipal(ctx.user) &&
               TemplateFactAuthor(ctx, ctx.path) == ctx.user;
    it.canEdit = it.canDelete = host || own;
    it.showOperations = it.canEdit;
    TemplateRenderFragment(ctx, item,
                           "Recursive calls to messageListItem nested too deeply");
  }
  TemplateRenderFragment(ctx, HtmlMessagePostTemplate(folder),
                         "Recursive calls to messageListAfter nested too deeply");
}

int FolderOrder(ForumRoot root, ChHandle user) {
  int seq = ForumIsRecordPrincipal(user) &&
                    ForumUserGetType(root, user) == kForumUserRegistered
                ? ForumUserCatForumSeq(root, user)
                : kForumSeqDefault;
  return seq == kForumSeqDefault ? ForumSysopCatForumSeq(root) : seq;
}

void ListFolder(ExprCall& c, ForumRoot root, const ForumFile& folder) {
  ExprContext& ctx = c.Context();
  std::vector<ChHandle> entries =
      CreateCatList(folder, FolderOrder(root, ctx.user));
  ListScope scope(ctx);
  std::vector<ForumFile> readable;
  for (ChHandle e : entries) {
    ForumFile child = ForumFileHasChild(folder, ForumCatItemName(root, e));
    if (child && ForumAccOpCk(child, ctx.user, kForumAccRead))
      readable.push_back(std::move(child));
  }
  if (readable.empty())
    return TemplateRenderFragment(ctx, HtmlCatBodyEmptyTemplate(folder),
                                  "Recursive calls to folderListEmpty nested too deeply");
  TemplateRenderFragment(ctx, HtmlCatBodyPreTemplate(folder),
                         "Recursive calls to folderListBefore nested too deeply");
  TemplateRef item = HtmlCatBodyItemTemplate(folder);
  int32_t number = 0;
  for (ForumFile& child : readable) {
    if (ctx.Stopped()) break;
    ctx.path = std::move(child);
    ctx.msgItem = ExprMsgItem();
    ctx.msgItem.date = ForumFileDate(ctx.path);
    ctx.msgItem.number = ++number;
    ctx.msgItem.count = int32_t(readable.size());
    TemplateRenderFragment(ctx, item,
                           "Recursive calls to folderListItem nested too deeply");
  }
  TemplateRenderFragment(ctx, HtmlCatBodyPostTemplate(folder),
                         "Recursive calls to folderListAfter nested too deeply");
}

void KwPathItems(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  const ForumFile& p = Path(c);
  if (!p) return;
  if (ForumFileIsCategory(p)) return ListFolder(c, root, p);
  ForumFile d = DiscussionOf(p);
  if (d) ListMessages(c, root, d);
}

// messageListItem: the list-item template for the current path (a message
// shown on its own); messageListItemLinks the same with the operations.
void KwMessageListItem(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ExprContext& ctx = c.Context();
  ForumFile folder = FolderOf(ctx.path);
  ExprMsgItem saved = ctx.msgItem;
  ForumFile d;
  int32_t i;
  if (TemplateMessageOf(ctx.path, &d, &i)) {
    ctx.msgItem.date = ForumItemDate(d, i);
    if (c.Selector() == 1) {
      bool own = ForumIsRecordPrincipal(ctx.user) && ForumItemAuthor(d, i) == ctx.user;
      ctx.msgItem.canEdit = ctx.msgItem.canDelete =
          own || ForumAccOpCk(d, ctx.user, kForumAccHost);
      ctx.msgItem.showOperations = true;
    }
  }
  if (c.Written(0)) ctx.msgItem.depth = c.ArgInt(0);
  struct Back {
    ExprContext& x;
    ExprMsgItem v;
    ~Back() { x.msgItem = v; }
  } back{ctx, saved};
  TemplateRenderFragment(ctx, HtmlMessageTemplate(folder),
                         "Recursive calls to messageListItem nested too deeply");
}

// ---------------------------------------------------------------------------
// Creating and deleting items.

enum CreateSel { kCreateFolder, kCreateDiscussion, kCreateLink, kCreateChat,
                 kCreateContainer };

void KwCreate(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ExprContext& ctx = c.Context();
  ForumFile folder = ctx.path && ForumFileIsCategory(ctx.path)
                         ? ctx.path
                         : ForumFile();
  St arg = StStripBlanks(c.ArgSt(0));
  if (!folder || arg.Empty()) return c.Return(StCreate());
  static const char* const kTypes[] = {"forum-category", "forum-topic",
                                       "forum-link", "forum-live",
                                       "forum-shipcon"};
  int sel = c.Selector();
  ChHandle author = ForumIsRecordPrincipal(ctx.user) ? ctx.user : 0;
  St finalName;
  if (TplStoreCatItemCreate(folder, StCStrXfm(kTypes[sel]), arg, arg, author,
                            &finalName) != 0)
    return c.Return(StCreate());
  ForumFile made = ForumFileHasChild(folder, finalName);
  if (!made) return c.Return(StCreate());
  if (sel == kCreateLink) {
    ForumFile target = arg.View()[0] == '.' || arg.View()[0] == '/'
                           ? OpenPath(root, arg)
                           : ForumFile();
    if (target && (ForumFileIsCategory(target) || ForumFileIsForum(target))) {
      TplStoreLinkType(made, ForumFileIsCategory(target) ? kForumLinkFolder
                                                         : kForumLinkDiscussion);
      TplStoreLinkUrl(made, ForumFileUniquePath(target));
      TplStoreItemText(made, TplItemText::kTitle, ForumFileTitle(target));
    } else {
      TplStoreLinkUrl(made, arg);
    }
  }
  ctx.path = std::move(made);
  c.Return(ForumFileUniquePath(ctx.path));
}

// messageCreate(body): a message of the current discussion (a reply when
// the current path is a message) by the current user.
void KwMessageCreate(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ExprContext& ctx = c.Context();
  ForumFile d = DiscussionOf(ctx.path);
  St body = c.ArgSt(0);
  if (!d || body.Empty()) return c.Return(StCreate());
  int32_t replyTo = -1;
  ForumFile md;
  int32_t mi;
  if (TemplateMessageOf(ctx.path, &md, &mi)) replyTo = mi;
  ChHandle author = ForumIsRecordPrincipal(ctx.user) ? ctx.user : 0;
  int32_t index = -1;
  TplStoreMessageCreate(d, author, St(), StCStrXfm("text"), body, replyTo, &index);
  if (index < 0) return c.Return(StCreate());
  ctx.path = ForumFileOpenMessage(d, index);
  c.Return(ctx.path ? ForumFileUniquePath(ctx.path) : StCreate());
}

void KwPathDestroy(ExprCall& c) {
  if (!KwRoot(c)) return;
  ExprContext& ctx = c.Context();
  const ForumFile& p = ctx.path;
  if (!p || ForumFileUniqueId(p) == kForumTopId) return c.Return(0);
  ForumFile d;
  int32_t i;
  if (TemplateMessageOf(p, &d, &i)) {
    ForumFile parent = d;
    ctx.path = ForumFile();
    if (!TplStoreMessageDestroy(parent, i)) {
      ctx.path = ForumFileOpenMessage(parent, i);
      return c.Return(0);
    }
    ctx.path = std::move(parent);
    return c.Return(1);
  }
  ForumFile parent = ForumFileParent(p);
  St name = ForumFileName(p);
  if (!parent) return c.Return(0);
  ForumFile self = std::move(ctx.path);
  bool wasStart = ctx.startPath == self;
  if (wasStart) ctx.startPath = ForumFile();
  self = ForumFile();
  uint16_t code = TplStoreCatItemDestroy(parent, name);
  if (code != 0) {
    ctx.path = ForumFileHasChild(parent, name);
    if (wasStart) ctx.startPath = ctx.path;
    return c.Return(0);
  }
  if (wasStart) ctx.startPath = parent;
  ctx.path = std::move(parent);
  c.Return(1);
}

void KwPathClearAccess(ExprCall& c) {
  if (!KwRoot(c)) return;
  ForumFile f = FlagItem(Path(c));
  if (!f || !ForumAccHasList(f) || ForumFileUniqueId(f) == kForumTopId)
    return c.Return(0);
  TplStoreAccClear(f);
  c.Return(1);
}

// ---------------------------------------------------------------------------
// Selection, search and sorting.

struct SelectOptions {
  bool kinds[16] = {};
  bool anyKind = true;
  LgDbTd since;
  int32_t skip = 0;
  int32_t count = 10000;
  bool deleted = false;
  bool allAccess = false;
  bool treeOrder = false;
  St keywords;
  St in;
};

constexpr int32_t kSelectMax = 10000;
constexpr int32_t kSearchVisitMax = 200000;

int KindOfName(std::string_view name) {
  static const std::pair<const char*, int> kNames[] = {
      {"folder", kForumKindFolder}, {"discussion", kForumKindDiscussion},
      {"message", kForumKindMessage}, {"link", kForumKindLink},
      {"chat", kForumKindLive}, {"container", kForumKindShipCon},
      {"document", kForumKindDocument}};
  for (const auto& [n, k] : kNames)
    if (ExprEqualNoCase(n, name)) return k;
  return -1;
}

// Options: "name=value" pairs separated by "&" or ";".  type takes a
// comma-separated list of folder, discussion, message, link, chat,
// container, document; date a date (items changed at or after it); skip
// and count numbers; deleted, allAccess and treeOrder 1 or 0; keywords the
// words that title or text must all hold; in the path to start from.
SelectOptions ParseOptions(const St& text) {
  SelectOptions o;
  std::string_view rest = text.View();
  while (!rest.empty()) {
    size_t end = rest.find_first_of("&;");
    std::string_view pair = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    size_t eq = pair.find('=');
    std::string_view name = pair.substr(0, eq);
    std::string_view value =
        eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
    while (!name.empty() && StCharIsWhiteSpace(uint8_t(name.front())))
      name.remove_prefix(1);
    while (!name.empty() && StCharIsWhiteSpace(uint8_t(name.back())))
      name.remove_suffix(1);
    int32_t n = 0;
    St v = StStripBlanks(StFromView(value));
    bool num = StIntStXfm(v, &n);
    if (ExprEqualNoCase(name, "type")) {
      o.anyKind = false;
      std::string_view list = v.View();
      while (!list.empty()) {
        size_t comma = list.find(',');
        std::string_view one = list.substr(0, comma);
        list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
        while (!one.empty() && one.front() == ' ') one.remove_prefix(1);
        while (!one.empty() && one.back() == ' ') one.remove_suffix(1);
        int k = KindOfName(one);
        if (k >= 0) o.kinds[k] = true;
      }
    } else if (ExprEqualNoCase(name, "date")) {
      Td when;
      if (TdParse(v.View(), &when)) o.since = LgDbTdFromTd(when);
    } else if (ExprEqualNoCase(name, "skip")) {
      o.skip = num && n > 0 ? n : 0;
    } else if (ExprEqualNoCase(name, "count")) {
      o.count = num && n >= 0 ? std::min(n, kSelectMax) : kSelectMax;
    } else if (ExprEqualNoCase(name, "deleted")) {
      o.deleted = num && n != 0;
    } else if (ExprEqualNoCase(name, "allAccess")) {
      o.allAccess = num && n != 0;
    } else if (ExprEqualNoCase(name, "treeOrder")) {
      o.treeOrder = num && n != 0;
    } else if (ExprEqualNoCase(name, "keywords")) {
      o.keywords = std::move(v);
    } else if (ExprEqualNoCase(name, "in")) {
      o.in = std::move(v);
    }
  }
  return o;
}

class Selector {
 public:
  Selector(ExprContext& ctx, ForumRoot root, const SelectOptions& o)
      : ctx_(ctx), root_(root), o_(o) {
    if (!o.keywords.Empty()) words_ = StKeywordsCreate(o.keywords);
  }
  ~Selector() { StKeywordsDestroy(words_); }
  Selector(const Selector&) = delete;
  Selector& operator=(const Selector&) = delete;

  // The children of item (one level), or its whole subtree (search).
  void Walk(const ForumFile& item, bool deep) {
    if (!item || Full()) return;
    if (ForumFileIsCategory(item)) {
      if (!o_.allAccess && !ForumAccOpCk(item, ctx_.user, kForumAccRead)) return;
      uint32_t n = ForumCatItemCount(item);
      for (uint32_t ix = 0; ix < n && !Full(); ++ix) {
        ChHandle e = ForumCatItemOpen(item, ix);
        if (!e) continue;
        ForumFile child = ForumFileHasChild(item, ForumCatItemName(root_, e));
        if (!child) continue;
        Consider(child);
        if (deep && (ForumFileIsCategory(child) || ForumFileIsForum(child)))
          Walk(child, true);
      }
    } else if (ForumFileIsForum(item)) {
      if (!o_.allAccess && !ForumAccOpCk(item, ctx_.user, kForumAccRead)) return;
      std::vector<int32_t> order = Messages(item);
      for (int32_t i : order) {
        if (Full()) break;
        ForumFile m = ForumFileOpenMessage(item, i);
        if (m) Consider(m);
      }
    }
  }

  St Result() const { return out_.IsNil() ? StCreate() : out_; }

 private:
  bool Full() const { return taken_ >= o_.count || visited_ >= kSearchVisitMax; }

  std::vector<int32_t> Messages(const ForumFile& d) {
    int32_t n = ForumFileCount(d);
    std::vector<int32_t> order;
    for (int32_t i = 0; i < n; ++i)
      if (o_.deleted || ForumItemRec(d, i)) order.push_back(i);
    if (!o_.treeOrder) return order;
    // Thread order: each message followed by its answers, depth first.
    std::vector<std::vector<int32_t>> kids(size_t(n) + 1);
    for (int32_t i : order) {
      int32_t r = ForumItemRec(d, i) ? ReplyTo(d, i) : -1;
      kids[size_t(r + 1)].push_back(i);
    }
    std::vector<int32_t> out, stack;
    for (size_t k = kids[0].size(); k-- > 0;) stack.push_back(kids[0][k]);
    while (!stack.empty()) {
      int32_t i = stack.back();
      stack.pop_back();
      out.push_back(i);
      const auto& ch = kids[size_t(i + 1)];
      for (size_t k = ch.size(); k-- > 0;) stack.push_back(ch[k]);
    }
    return out;
  }

  void Consider(const ForumFile& item) {
    ++visited_;
    int kind = ForumFileKind(item);
    if (!o_.anyKind && (kind < 0 || kind >= 16 || !o_.kinds[kind])) return;
    if (o_.since.date != 0 &&
        LgDbTdCompare(TemplateItemDate(item, false), o_.since) == kStBefore)
      return;
    if (!o_.allAccess && kind != kForumKindMessage &&
        !ForumAccOpCk(item, ctx_.user, kForumAccRead))
      return;
    if (!words_.empty()) {
      St text = TemplateItemTitle(item);
      text = StAppend(std::move(text), ' ');
      ForumFile d;
      int32_t i;
      text = StCat(std::move(text), TemplateMessageOf(item, &d, &i)
                                        ? ForumItemData(d, i)
                                        : ForumFileHtml(item));
      if (!StKeywordsAll(words_, text)) return;
    }
    if (skipped_ < o_.skip) {
      ++skipped_;
      return;
    }
    if (!out_.IsNil()) out_ = StAppend(std::move(out_), ' ');
    out_ = StCat(std::move(out_), ForumFileUniquePath(item));
    ++taken_;
  }

  ExprContext& ctx_;
  ForumRoot root_;
  const SelectOptions& o_;
  StList words_;
  St out_;
  int32_t skipped_ = 0, taken_ = 0, visited_ = 0;
};

void KwPathSelect(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ExprContext& ctx = c.Context();
  SelectOptions o = ParseOptions(c.ArgSt(0));
  ForumFile start = o.in.Empty() ? ctx.path : OpenPath(root, o.in);
  if (!start) start = ForumTopFolder(root);
  Selector sel(ctx, root, o);
  sel.Walk(start, c.Selector() == 1);
  c.Return(sel.Result());
}

// .pathSort(keys): sorts a blank-separated list of paths by the keys,
// comma-separated, each ascending or, with a leading "-", descending; the
// sort is stable.  An unknown key is a consistency failure.
enum SortKey { kKSortSeq, kKConversation, kKTree, kKTreeLevel, kKTitle,
               kKParentTitle, kKLevel, kKMessageNumber, kKAuthorName,
               kKAuthorFirst, kKAuthorLast, kKDate, kKCreated };

constexpr const char* kSortKeys[] = {
    "sortSeq", "conversation", "tree", "treeLevel", "title", "parentTitle",
    "level", "messageNumber", "author.userName", "author.userFirst",
    "author.userLast", "date", "created"};

struct SortEntry {
  St path;
  std::vector<int64_t> nums;
  std::vector<St> texts;
};

// Position of message i in its discussion's thread order, and its depth.
void TreePlace(const ForumFile& d, int32_t i, int64_t* pos, int64_t* depth) {
  std::vector<int32_t> chain;
  for (int32_t k = i; k >= 0 && chain.size() < 1000; k = ReplyTo(d, k))
    chain.push_back(k);
  *depth = int64_t(chain.size()) - 1;
  // The thread order key: the indexes from the thread's first message down,
  // packed so that a parent sorts before its answers.
  int64_t key = 0;
  for (size_t k = chain.size(); k-- > 0 && chain.size() - k <= 3;)
    key = key * 65536 + (chain[k] + 1);
  for (size_t k = std::min<size_t>(chain.size(), 3); k < 3; ++k) key *= 65536;
  *pos = key;
}

void KwPathSort(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  St list = c.ReceiverSt();
  St keysText = c.ArgSt(0);
  struct Key {
    SortKey key;
    bool desc;
  };
  std::vector<Key> keys;
  std::string_view rest = keysText.View();
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string_view k = rest.substr(0, comma);
    rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
    while (!k.empty() && StCharIsWhiteSpace(uint8_t(k.front()))) k.remove_prefix(1);
    while (!k.empty() && StCharIsWhiteSpace(uint8_t(k.back()))) k.remove_suffix(1);
    if (k.empty()) continue;
    bool desc = k[0] == '-';
    if (k[0] == '-' || k[0] == '+') k.remove_prefix(1);
    int found = -1;
    for (int i = 0; i < int(std::size(kSortKeys)); ++i)
      if (ExprEqualNoCase(kSortKeys[i], k)) found = i;
    MA_CHECK(TemplateDebugFlag, found >= 0, "ExprPathSort--unknown sort key");
    if (found < 0) continue;
    keys.push_back({SortKey(found), desc});
  }
  std::vector<SortEntry> entries;
  std::string_view v = list.View();
  while (!v.empty() && entries.size() < size_t(kSelectMax)) {
    size_t b = v.find_first_not_of(' ');
    if (b == std::string_view::npos) break;
    v.remove_prefix(b);
    size_t e = v.find(' ');
    SortEntry entry;
    entry.path = StFromView(v.substr(0, e));
    v.remove_prefix(e == std::string_view::npos ? v.size() : e);
    ForumFile f = OpenPath(root, entry.path);
    ForumFile d;
    int32_t i = -1;
    bool msg = TemplateMessageOf(f, &d, &i);
    for (const Key& k : keys) {
      int64_t num = 0;
      St text;
      switch (k.key) {
        case kKSortSeq: num = f ? ForumFileSortSeq(FlagItem(f)) : 0; break;
        case kKConversation:
          num = (int64_t(msg ? ForumFileUniqueId(d) : f ? ForumFileUniqueId(f) : 0)
                 << 24) + (msg ? i + 1 : 0);
          break;
        case kKTree:
        case kKTreeLevel: {
          int64_t pos = 0, depth = 0;
          if (msg) TreePlace(d, i, &pos, &depth);
          num = k.key == kKTree ? pos : depth;
          break;
        }
        case kKTitle:
          text = StTranslate(TemplateItemTitle(f), StLatinUpper);
          break;
        case kKParentTitle:
          text = StTranslate(TemplateItemTitle(f ? ForumFileParent(f) : f),
                             StLatinUpper);
          break;
        case kKLevel: {
          St path = f ? ForumFilePath(f) : St();
          for (char ch : path.View()) num += ch == '/';
          break;
        }
        case kKMessageNumber: num = msg ? ForumItemNumber(d, i) : 0; break;
        case kKAuthorName:
        case kKAuthorFirst:
        case kKAuthorLast: {
          St name = TemplateDisplayName(root, TemplateItemAuthor(f));
          if (k.key == kKAuthorFirst) name = StFirstName(std::move(name));
          if (k.key == kKAuthorLast) name = StLastName(std::move(name));
          text = StTranslate(std::move(name), StLatinUpper);
          break;
        }
        case kKDate:
        case kKCreated: {
          LgDbTd td = TemplateItemDate(f, k.key == kKCreated);
          num = int64_t(td.date) * 1000000 + td.time;
          break;
        }
      }
      entry.nums.push_back(num);
      entry.texts.push_back(std::move(text));
    }
    entries.push_back(std::move(entry));
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [&](const SortEntry& a, const SortEntry& b) {
                     for (size_t k = 0; k < keys.size(); ++k) {
                       int r;
                       if (!a.texts[k].IsNil() || !b.texts[k].IsNil()) {
                         int cmp = StCompare(a.texts[k], b.texts[k], StLiteral);
                         r = cmp == kStBefore ? -1 : cmp == kStAfter ? 1 : 0;
                       } else {
                         r = a.nums[k] < b.nums[k] ? -1 : a.nums[k] > b.nums[k];
                       }
                       if (r != 0) return keys[k].desc ? r > 0 : r < 0;
                     }
                     return false;
                   });
  St out = StCreate();
  for (size_t k = 0; k < entries.size(); ++k) {
    if (k) out = StAppend(std::move(out), ' ');
    out = StCat(std::move(out), entries[k].path);
  }
  c.Return(std::move(out));
}

constexpr KwEntry kPathEntries[] = {
    {"pathIsNone", KwPathIs, kNone},
    {"pathIsTop", KwPathIs, kTop},
    {"pathIsFolder", KwPathIs, kFolder},
    {"pathIsDiscussion", KwPathIs, kDiscussion},
    {"pathIsMessage", KwPathIs, kMessage},
    {"pathIsLink", KwPathIs, kLink},
    {"pathIsContainer", KwPathIs, kContainer},
    {"pathIsDocument", KwPathIs, kDocument},
    {"pathIsChat", KwPathIs, kChat},
    {"pathTitle", KwPathQuery, kTitle},
    {"pathTitleUrl", KwPathQuery, kTitleUrl},
    {"pathUrl", KwPathQuery, kUrl},
    {"parentTitle", KwPathQuery, kParentTitle},
    {"parentTitleUrl", KwPathQuery, kParentTitleUrl},
    {"parentUrl", KwPathQuery, kParentUrl},
    {"pathFull", KwPathQuery, kFull},
    {"location", KwPathQuery, kLocation},
    {"pathIcon", KwPathQuery, kIcon},
    {"pathBody", KwPathQuery, kBody},
    {"pathBodyFormatted", KwPathQuery, kBodyFormatted},
    {"pathBodyRaw", KwPathQuery, kBodyRaw},
    {"pathContentType", KwPathQuery, kContentType},
    {"pathDepth", KwPathQuery, kDepth},
    {"pathItemNumber", KwPathQuery, kItemNumber},
    {"pathIsDeleted", KwPathQuery, kIsDeleted},
    {"pathHasReply", KwPathQuery, kHasReply},
    {"pathTreeLabel", KwPathQuery, kTreeLabel},
    {"pathTreeTitle", KwPathQuery, kTreeTitle},
    {"pathHier", KwPathQuery, kHier},
    {"pathMessageId", KwPathQuery, kMessageId},
    {"pathIsNew", KwPathQuery, kIsNew},
    {"pathMarkAsRead", KwPathQuery, kMarkAsRead},
    {"pathHasTables", KwPathQuery, kHasTables},
    {"pathHasItems", KwPathCount, kHasItems},
    {"pathHasFolders", KwPathCount, kHasFolders},
    {"pathHasOneFolder", KwPathCount, kHasOneFolder},
    {"pathFolderCount", KwPathCount, kFolderCount},
    {"pathHasDiscussions", KwPathCount, kHasDiscussions},
    {"pathHasOneDiscussion", KwPathCount, kHasOneDiscussion},
    {"pathDiscussionCount", KwPathCount, kDiscussionCount},
    {"pathChatCount", KwPathCount, kChatCount},
    {"pathLinkCount", KwPathCount, kLinkCount},
    {"pathHasMessages", KwPathCount, kHasMessages},
    {"pathHasOneMessage", KwPathCount, kHasOneMessage},
    {"pathMessageCount", KwPathCount, kMessageCount},
    {"pathHasNewMessages", KwPathCount, kHasNewMessages},
    {"pathHasOneNewMessage", KwPathCount, kHasOneNewMessage},
    {"pathNewMessageCount", KwPathCount, kNewMessageCount},
    {"setPathTitle", KwPathSet, kSetTitle},
    {"setPathBody", KwPathSet, kSetBody},
    {"setPathAuthor", KwPathSet, kSetAuthor},
    {"setPathDate", KwPathSet, kSetDate},
    {"setPathCreatedDate", KwPathSet, kSetCreated},
    {"setPathContentType", KwPathSet, kSetContentType},
    {"setPathMessageId", KwPathSet, kSetMessageId},
    {"setLinkUrl", KwPathSet, kSetLinkUrl},
    {"pathAddSubfolders", KwPathStructure, kAddSubfolders},
    {"pathNoSubfolders", KwPathStructure, kNoSubfolders},
    {"pathAddDiscussions", KwPathStructure, kAddDiscussions},
    {"pathAddLinks", KwPathStructure, kAddLinks},
    {"setPathAddSubfolders", KwSetPathStructure, kAddSubfolders},
    {"setPathAddSubfoldersOnce", KwSetPathStructure, kAddSubfoldersOnce},
    {"setPathNoSubfolders", KwSetPathStructure, kNoSubfolders},
    {"setPathAddDiscussions", KwSetPathStructure, kAddDiscussions},
    {"setPathAddLinks", KwSetPathStructure, kAddLinks},
    {"pathHitsInc", KwPathCounter, kHitsInc},
    {"pathHitsDec", KwPathCounter, kHitsDec},
    {"pathPostsInc", KwPathCounter, kPostsInc},
    {"pathPostsDec", KwPathCounter, kPostsDec},
    {"pathClearCounts", KwPathCounter, kClear},
    {"pathNameFontSize", KwPathFontSize, 0},
    {"pathInfoFontSize", KwPathFontSize, 1},
    {"pathBodyFontSize", KwPathFontSize, 2},
    {"pathNetTreeView", KwPathNet, 0},
    {"pathNetReplyTo", KwPathNet, 1},
    {"pathNetSummaryButton", KwPathNet, 2},
    {"pathNetMessageTitle", KwPathNet, 3},
    {"pathInheritsByUserPreferences", KwPathInheritsPrefs, 0},
    {"pathHosts", KwPathClassMembers, 0},
    {"pathParticipants", KwPathClassMembers, 1},
    {"pathModeratedUsers", KwPathClassMembers, 2},
    {"pathReadOnlyUsers", KwPathClassMembers, 3},
    {"setPath", KwSetPath, kToStart},
    {"setPathToParent", KwSetPath, kToParent},
    {"setPathToTreeParent", KwSetPath, kToTreeParent},
    {"setPathToLink", KwSetPath, kToLink},
    {"setPathFollowLink", KwSetPath, kFollowLink},
    {"setPathToFirstNew", KwSetPath, kToFirstNew},
    {"setPathFromMessageId", KwSetPath, kFromMessageId},
    {"pathDate", KwPathDate, kDateModified},
    {"pathModifiedDate", KwPathDate, kDateModified},
    {"pathCreatedDate", KwPathDate, kDateCreated},
    {"pathItems", KwPathItems, kItemsPage},
    {"pathItemsAll", KwPathItems, kItemsAll},
    {"pathItemsPrevious", KwPathItems, kItemsPrevious},
    {"pathItemsInContext", KwPathItems, kItemsInContext},
    {"messageListItem", KwMessageListItem, 0},
    {"messageListItemLinks", KwMessageListItem, 1},
    {"threadedMessageListItem", KwMessageListItem, 0},
    {"threadedMessageListItemLinks", KwMessageListItem, 1},
    {"folderCreate", KwCreate, kCreateFolder},
    {"discussionCreate", KwCreate, kCreateDiscussion},
    {"linkCreate", KwCreate, kCreateLink},
    {"chatCreate", KwCreate, kCreateChat},
    {"pathAddContainer", KwCreate, kCreateContainer},
    {"messageCreate", KwMessageCreate, 0},
    {"pathDestroy", KwPathDestroy, 0},
    {"pathDelete", KwPathDestroy, 0},
    {"pathClearAccess", KwPathClearAccess, 0},
    {"pathSelect", KwPathSelect, 0},
    {"pathSearch", KwPathSelect, 1},
    {".pathSort", KwPathSort, 0},
};

}  // namespace

void ExprInstallPathBuiltins() {
  KwInstall(kPathEntries);
  for (size_t i = 0; i < std::size(kAttrs); ++i) {
    const PathAttr& a = kAttrs[i];
    if (a.getter && !ExprKeywordRegisterArg(a.getter, KwAttrGet, int32_t(i)))
      MaAssertFailure(std::string("ExprInstallPathBuiltins--") + a.getter);
    if (a.setter && !ExprKeywordRegisterArg(a.setter, KwAttrSet, int32_t(i)))
      MaAssertFailure(std::string("ExprInstallPathBuiltins--") + a.setter);
  }
}

}  // namespace quil
