// Keywords of the site and the page: site values and sysop settings
// (siteTitle, urlBase ...), the page fragments that render named templates
// (footer, banner, toolbar, editPreferences ...), the page values set by the
// page handlers (edit..., item..., msgList..., prefs...), and the request
// and environment (envir, addResponseHttp, userAgent ...).
#include "ForumUser.h"
#include "TemplateInt.h"

namespace quil {

namespace {

constexpr char kProgram[] = "Quillmoot";
constexpr char kVersion[] = "3.1";

// ---------------------------------------------------------------------------
// Sysop flags and texts as site values.

struct FlagRow {
  const char* name;
  bool (*get)(ForumRoot);
};

constexpr FlagRow kSiteFlags[] = {
    {"siteEmailValidate", ForumSysopEmailValidate},
    {"servePictures", ForumSysopServePictures},
    {"serveInfoPictures", ForumSysopServeUserInfoPictures},
    {"siteCanAutoRegister", ForumSysopAllowAutoRegister},
    {"siteCanSearchTop", ForumSysopTopSearchEnabled},
    {"siteCanSearch", ForumSysopSearchEnabled},
    {"siteOneSearch", ForumSysopForumOneSearch},
    {"siteShowDeleted", ForumSysopShowDeletedMsg},
    {"siteUseCookies", ForumSysopUseCookies},
    {"siteShowGetInfoTop", ForumSysopShowGetInfoTop},
    {"siteShowGetInfo", ForumSysopShowGetInfo},
    {"siteIsSecure", ForumSysopSecureServer},
    {"siteFolderShowSysop", ForumSysopTopicShowSysop},
    {"siteFolderShowAuthor", ForumSysopTopicShowAuthor},
    {"siteDiscussionShowSysop", ForumSysopConvShowSysop},
    {"siteDiscussionShowAuthor", ForumSysopConvShowAuthor},
    {"siteHttpUploads", ForumSysopHttpUploads},
    {"siteHttpDownloads", ForumSysopHttpDownloads},
    {"siteUserDefaultThreading", ForumSysopUserDefaultThreading},
    {"siteUserDefaultReplyTo", ForumSysopUserDefaultReplyTo},
    {"siteUserDefaultSummaryButton", ForumSysopUserDefaultSummaryButton},
    {"siteUseEmailScript", ForumSysopUseEmailScript},
    {"siteAllowsGuests", ForumSysopAllowGuests},
    {"multiHomed", ForumSysopVirtualForums},
};

void KwSiteFlag(ExprCall& c) {
  if (ForumRoot root = KwRoot(c)) c.ReturnBool(kSiteFlags[c.Selector()].get(root));
}

// Switches of the settings file "quil.set".
constexpr const char* kFileSwitches[] = {
    "webEmail", "emailBoxes", "usePop3", "useImap", "useSmtp",
    "smtpForwarding", "useNntp", "searchIx", "httpBasic", "useChat",
};
constexpr const char* kFileSwitchKeywords[] = {
    "siteCanWebEmail", "siteEmailBoxes", "sitePop3", "siteImap", "siteSmtp",
    "siteSmtpForwarding", "siteHasNews", "siteIndexSearch",
    "siteAllowsHttpBasic", "useChatService",
};

void KwFileSwitch(ExprCall& c) {
  c.ReturnBool(wfQuilSettings.GetInt(kFileSwitches[c.Selector()], 0) != 0);
}

void KwSiteHasEmailServices(ExprCall& c) {
  for (const char* k : {"emailPush", "emailPull", "useSmtp", "usePop3", "useImap"})
    if (wfQuilSettings.GetInt(k, 0) != 0) return c.Return(1);
  c.Return(0);
}

// The password form is offered unless the site takes HTTP basic
// authorization only.
void KwSiteHasPasswordForm(ExprCall& c) {
  c.ReturnBool(wfQuilSettings.GetInt("httpBasic", 0) != 2);
}

enum TextSel {
  kSiteName, kSiteTitle, kSiteUrl, kSiteImages, kSiteHelp, kSysopEmail,
  kNewDiscuss, kSiteHost, kSiteCharset, kUrlBase, kBackupPeriod, kBackupTime,
};

St Or(St value, const char* dflt) {
  return value.Empty() ? StCStrXfm(dflt) : value;
}

void KwSiteText(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ExprContext& ctx = c.Context();
  switch (c.Selector()) {
    case kSiteName: {
      St site = ForumSysopSite(root);
      return c.Return(site.Empty() ? Or(ForumSysopServerName(root), kProgram) : site);
    }
    case kSiteTitle: return c.Return(Or(ForumSysopHtmlTitle(root), kProgram));
    case kSiteUrl: {
      St base = ForumSysopUrlBase(root);
      if (!base.Empty()) return c.Return(std::move(base));
      return c.Return(ctx.site && !ctx.site->urlBase.Empty()
                          ? ctx.site->urlBase
                          : ForumSysopUrlPreQuery(root));
    }
    case kSiteImages: return c.Return(Or(ForumSysopImagesDir(root), "/Images"));
    case kSiteHelp: return c.Return(Or(ForumSysopHelpDir(root), "/Help"));
    case kSysopEmail: return c.Return(ForumSysopEmailAddress(root));
    case kNewDiscuss: return c.Return(StStripBlanks(ForumSysopRecent(root)));
    case kSiteHost: {
      St host = ctx.request ? ctx.request->CgiVariable("server_name") : St();
      return c.Return(host.Empty() ? ForumSysopServerName(root) : host);
    }
    case kSiteCharset:
      return c.Return(Or(wfQuilSettings.Get("siteCharset"), "utf-8"));
    case kUrlBase:
      if (ctx.site && !ctx.site->urlBase.Empty()) return c.Return(ctx.site->urlBase);
      return c.Return(ForumSysopUrlPreQuery(root));
    case kBackupPeriod: return c.Return(TemplateRecText(ForumRootSysopRec(root), "BackupPeriod"));
    case kBackupTime: return c.Return(TemplateRecText(ForumRootSysopRec(root), "BackupTime"));
  }
}

void KwSetSiteBackup(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  St value = StStripBlanks(c.ArgSt(0));
  TplStoreSysopField(root, c.Selector() == 0 ? "BackupPeriod" : "BackupTime",
                     value.Empty() ? St() : std::move(value));
}

void KwProgramText(ExprCall& c) {
  static const char* const kTexts[] = {
      kVersion, "Linux", kProgram, kProgram, kProgram,
      "Copyright (c) the Quillmoot developers", "Quillmoot web conferencing server",
      "Powered by Quillmoot"};
  c.Return(StCStrXfm(kTexts[c.Selector()]));
}

// pictSize...: the sysop's PictSizes setting holds one size per kind of
// picture, blank-separated, in the order of the keywords; a missing one is
// empty.
void KwPictSize(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  St sizes = ForumSysopPictSizes(root);
  std::string_view v = sizes.View();
  for (int n = 0;; ++n) {
    size_t b = v.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos) return c.Return(StCreate());
    v.remove_prefix(b);
    size_t e = v.find_first_of(" \t\r\n");
    if (n == c.Selector()) return c.Return(StFromView(v.substr(0, e)));
    if (e == std::string_view::npos) return c.Return(StCreate());
    v.remove_prefix(e);
  }
}

// ---------------------------------------------------------------------------
// Page fragments.

// The template of a sysop-setting row rendered for the current path.
void KwFragment(ExprCall& c) {
  if (!KwRoot(c)) return;
  ExprContext& ctx = c.Context();
  TemplateSysop which = TemplateSysop(c.Selector());
  std::string tooDeep = std::string("Recursive calls to ") +
                        c.Keyword().name + " nested too deeply";
  TemplateRenderFragment(ctx, TemplateSysopTemplate(which, ctx.path),
                         tooDeep.c_str());
}

void KwBanner(ExprCall& c) {
  if (!KwRoot(c)) return;
  ExprContext& ctx = c.Context();
  TemplateRenderFragment(ctx, HtmlBannerTemplate(ctx.path),
                         "Recursive call to banner nested too deeply");
}

// footer: "<p>", then the folder's own footer text (evaluated as a template)
// or the footer template.
void KwFooter(ExprCall& c) {
  if (!KwRoot(c)) return;
  ExprContext& ctx = c.Context();
  ctx.Write("<p>");
  ForumFile folder = ctx.path;
  while (folder && !ForumFileIsCategory(folder)) folder = ForumFileParent(folder);
  St own = folder ? ForumFileHtmlFooter(folder) : St();
  TemplateRef t;
  if (!own.Empty()) {
    const TemplateSite& site = ctx.site ? *ctx.site : TemplateCurrentSite();
    t = TemplateParse(std::move(own), site.siteString, site.urlBase);
  } else {
    t = HtmlFooterTemplate(ctx.path);
  }
  TemplateRenderFragment(ctx, t, "Recursive calls to footer nested too deeply");
}

void KwEditPreferences(ExprCall& c) {
  if (!KwRoot(c)) return;
  ExprContext& ctx = c.Context();
  TemplateRef t = TemplateForPage(kTemplatePageEditPreferences, ctx.path);
  TemplateRenderFragment(ctx, t,
                         "Recursive calls to editPreferences nested too deeply");
}

void KwMsgListBetween(ExprCall& c) {
  if (!KwRoot(c)) return;
  ExprContext& ctx = c.Context();
  TemplateRenderFragment(ctx, HtmlMessageBetweenTemplate(ctx.path),
                         "Recursive calls to msgListBetween nested too deeply");
}

// toolbar: the site file's "toolbar" macro, else the toolbar templates
// before and after.
void KwToolbar(ExprCall& c) {
  if (!KwRoot(c)) return;
  ExprContext& ctx = c.Context();
  TemplateRef t;
  const TemplateSite& site = ctx.site ? *ctx.site : TemplateCurrentSite();
  if (TemplateFileLookup(site, StCStrXfm("toolbar"), ctx.path, &t))
    return TemplateRenderFragment(ctx, t,
                                  "Recursive calls to toolbar nested too deeply");
  TemplateRenderFragment(ctx, ToolbarPreTemplate(ctx.path),
                         "Recursive calls to toolbar nested too deeply");
  TemplateRenderFragment(ctx, ToolbarPostTemplate(ctx.path),
                         "Recursive calls to toolbar nested too deeply");
}

// folderListItem(path): the list-item template for an item (the current
// path when no argument is given).
void KwFolderListItem(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ExprContext& ctx = c.Context();
  ForumFile saved = ctx.path;
  if (c.Written(0)) {
    St where = c.ArgSt(0);
    ForumFile f = where.Empty() || where.Length() > 4096 ? ForumFile()
                                                         : ForumFileOpen(root, where);
    if (!f) return;
    ctx.path = std::move(f);
  }
  struct Back {
    ExprContext& x;
    ForumFile p;
    ~Back() { x.path = std::move(p); }
  } back{ctx, std::move(saved)};
  TemplateRenderFragment(ctx, HtmlCatBodyItemTemplate(back.p),
                         "Recursive calls to folderListItem nested too deeply");
}

// background: "bgcolor=" and a colour, or "background=" and a picture, from
// the folder's own setting or else the site's.
void KwBackground(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ExprContext& ctx = c.Context();
  St value;
  for (ForumFile f = ctx.path; f && value.Empty(); f = ForumFileParent(f))
    if (!ForumFileIsMessage(f)) value = TemplateRecText(TemplateItemRecord(f), "Background");
  if (value.Empty()) value = ForumSysopBackgroundPattern(root);
  if (value.Empty()) return;
  ctx.Write(value.View()[0] == '#' ? "bgcolor=" : "background=");
  ctx.Write(value.View());
}

void KwShowPreparedFor(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ChHandle u = c.Context().user;
  bool userWants = ForumIsRecordPrincipal(u) &&
                   (ForumUserFlags(root, u) & kForumUserShowPrepared);
  c.ReturnBool(ForumSysopShowPrepared(root) || userWants);
}

void KwPreparedFor(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ExprContext& ctx = c.Context();
  ChHandle u = ctx.user;
  int type = ForumIsRecordPrincipal(u) ? ForumUserGetType(root, u) : kForumUserNone;
  if (type == kForumUserRegistered && ForumUserGetSysop(root, u)) {
    ctx.Write("This page prepared for <b>Sysop access.</b><p>");
  } else if (type == kForumUserRegistered) {
    ctx.Write("This page prepared for <b>");
    ctx.Write(StToSgml(TemplateDisplayName(root, u)).View());
    ctx.Write(".</b><p>");
  } else {
    ctx.Write("This page prepared for <b>Guest access.</b><p>");
  }
}

// treeIndent(depth): indentation for a thread depth.
void KwTreeIndent(ExprCall& c) {
  int32_t depth = c.Written(0) ? c.ArgInt(0) : c.Context().msgItem.depth;
  if (depth <= 0) return c.Return(StCreate());
  if (depth > 50) depth = 50;
  St out = StCStrXfm("<span class=\"indent\" style=\"padding-left:");
  out = StCat(std::move(out), StStIntXfm(int64_t(depth) * 3 / 2));
  out = StAppendView(std::move(out), "em\"></span>");
  c.Return(std::move(out));
}

// backPath: a link to the parent of the current path; backPathThis: to the
// current path.
void KwBackPath(ExprCall& c) {
  if (!KwRoot(c)) return;
  ExprContext& ctx = c.Context();
  ForumFile f = ctx.path;
  if (c.Selector() == 0 && f) f = ForumFileParent(f);
  c.Return(TemplateLink(ctx, 14, TemplateLocation(f).View()));
}

void KwCmdIs(ExprCall& c) {
  ExprContext& ctx = c.Context();
  c.ReturnBool(ctx.request && ctx.request->Command() == c.Selector());
}

// ---------------------------------------------------------------------------
// Page values.

void KwEdit(ExprCall& c) { c.Return(c.Context().edit[size_t(c.Selector())]); }
void KwPrefs(ExprCall& c) { c.Return(c.Context().prefs[size_t(c.Selector())]); }

enum PageSel { kMessage, kRegisterError, kChatTextGroup, kSearchToContinue,
               kSearchItems, kAtEnd };

void KwPageValue(ExprCall& c) {
  ExprContext& ctx = c.Context();
  switch (c.Selector()) {
    case kMessage: return c.Return(ctx.message);
    case kRegisterError: return c.Return(ctx.errMsg);
    case kChatTextGroup: return c.Return(ctx.chatTextGroup);
    case kSearchToContinue: return c.Return(ctx.searchToContinue);
    case kSearchItems: return c.Return(ctx.searchItems);
    default: return c.ReturnBool(ctx.atEnd);
  }
}

enum ItemSel { kItemShowPictures, kItemShowPictBorder, kItemShowDateTime,
               kItemNameFontSize, kItemInfoFontSize, kItemBodyFontSize,
               kItemShowOperations, kItemCanEdit, kItemCanDelete, kItemNumber,
               kItemCount, kItemIsThreaded, kItemBaseDepth };

void KwItem(ExprCall& c) {
  ExprContext& ctx = c.Context();
  const ExprMsgItem& it = ctx.msgItem;
  ForumRoot root = ctx.root;
  ChHandle u = ForumIsRecordPrincipal(ctx.user) ? ctx.user : 0;
  switch (c.Selector()) {
    case kItemShowPictures:
      return c.ReturnBool(root && (!u || (ForumUserFlags(root, u) &
                                          kForumUserShowPictures)) &&
                          ForumSysopServePictures(root));
    case kItemShowPictBorder:
      return c.ReturnBool(root && u &&
                          (ForumUserFlags(root, u) & kForumUserPictureBorders));
    case kItemShowDateTime:
      return c.ReturnBool(!root || !ForumSysopHideTimeDate(root));
    case kItemNameFontSize:
      return c.Return(root && u ? ForumUserRespNameSize(root, u) : 0);
    case kItemInfoFontSize:
      return c.Return(root && u ? ForumUserRespInfoSize(root, u) : 0);
    case kItemBodyFontSize:
      return c.Return(root && u ? ForumUserRespBodySize(root, u) : 0);
    case kItemShowOperations: return c.ReturnBool(it.showOperations);
    case kItemCanEdit: return c.ReturnBool(it.canEdit);
    case kItemCanDelete: return c.ReturnBool(it.canDelete);
    case kItemNumber: return c.Return(it.number);
    case kItemCount: return c.Return(it.count);
    case kItemIsThreaded: return c.ReturnBool(it.threaded);
    default: return c.Return(it.baseDepth);
  }
}

void KwItemDate(ExprCall& c) {
  ExprContext& ctx = c.Context();
  St format = c.Written(0) ? c.ArgSt(0) : TemplateTimeFormat(ctx.root);
  c.Return(TemplateDate(ctx.msgItem.date, format.View()));
}

enum ListSel { kPrevious, kCountPrevious, kFollowing, kCountFollowing,
               kEmpty, kThreaded };

void KwMsgList(ExprCall& c) {
  const ExprMsgList& l = c.Context().msgList;
  switch (c.Selector()) {
    case kPrevious: return c.Return(l.previous);
    case kCountPrevious: return c.Return(l.countPrevious);
    case kFollowing: return c.Return(l.following);
    case kCountFollowing: return c.Return(l.countFollowing);
    case kEmpty: return c.ReturnBool(l.empty);
    default: return c.ReturnBool(l.threaded);
  }
}

// ---------------------------------------------------------------------------
// Request and environment.

constexpr const char* kCgiNames[] = {
    "request_method", "query_string", "remote_addr", "server_name",
    "http_cookie", "content_type", "remote_user", "http_user_agent",
    "http_from", "script_name"};

void KwEnvir(ExprCall& c) {
  ExprContext& ctx = c.Context();
  if (!ctx.request) return;
  St name = StTranslate(c.ArgSt(0), StASCIILower);
  c.Return(ctx.request->CgiVariable(name.View()));
}

void KwEnvirCookie(ExprCall& c) {
  ExprContext& ctx = c.Context();
  if (ctx.request) c.Return(ctx.request->Cookie(c.ArgSt(0).View()));
}

// envirList: the CGI variables as "name=value" lines.
void KwEnvirList(ExprCall& c) {
  ExprContext& ctx = c.Context();
  St out = StCreate();
  if (ctx.request)
    for (const char* name : kCgiNames) {
      St v = ctx.request->CgiVariable(name);
      if (v.IsNil()) continue;
      out = StAppendView(std::move(out), name);
      out = StAppend(std::move(out), '=');
      out = StAppendView(std::move(out), v.View());
      out = StAppendView(std::move(out), "\r\n");
    }
  c.Return(std::move(out));
}

// addResponseHttp(line): one header line; line breaks inside it are cut
// off so that a template cannot split the response header.
void KwAddResponseHttp(ExprCall& c) {
  ExprContext& ctx = c.Context();
  if (!ctx.request) return;
  St line = c.ArgSt(0);
  std::string_view v = line.View();
  size_t cut = v.find_first_of("\r\n");
  if (cut != std::string_view::npos) line = StSubstr(line, 0, int32_t(cut));
  if (line.Empty()) return;
  ctx.request->AddResponseHeader(StAppendView(std::move(line), "\r\n"));
}

enum AgentSel { kUserAgent, kImgButton, kCanUseLabels, kWindows, kMacintosh };

void KwAgent(ExprCall& c) {
  ExprContext& ctx = c.Context();
  St agent = ctx.request ? ctx.request->CgiVariable("http_user_agent") : St();
  int flags = ctx.request ? ctx.request->BrowserFlags() : 0;
  switch (c.Selector()) {
    case kUserAgent: return c.Return(std::move(agent));
    case kImgButton: return c.ReturnBool(flags & 1);
    case kCanUseLabels: return c.ReturnBool((flags & 1) && !(flags & 4));
    case kWindows:
      return c.ReturnBool(StLookup(agent, StCStrXfm("Win"), StLiteral) >= 0);
    default:
      return c.ReturnBool(StLookup(agent, StCStrXfm("Mac"), StLiteral) >= 0);
  }
}

void KwSessionByName(ExprCall& c) {
  c.Return(TemplateSessionGet(c.Context(), c.ArgSt(0)));
}

constexpr KwEntry kSiteEntries[] = {
    {"siteName", KwSiteText, kSiteName},
    {"siteTitle", KwSiteText, kSiteTitle},
    {"siteUrl", KwSiteText, kSiteUrl},
    {"siteImages", KwSiteText, kSiteImages},
    {"siteHelp", KwSiteText, kSiteHelp},
    {"sysopEmail", KwSiteText, kSysopEmail},
    {"newDiscuss", KwSiteText, kNewDiscuss},
    {"siteHost", KwSiteText, kSiteHost},
    {"siteDefaultCharset", KwSiteText, kSiteCharset},
    {"urlBase", KwSiteText, kUrlBase},
    {"siteBackupPeriod", KwSiteText, kBackupPeriod},
    {"siteBackupTime", KwSiteText, kBackupTime},
    {"setSiteBackupPeriod", KwSetSiteBackup, 0},
    {"setSiteBackupTime", KwSetSiteBackup, 1},
    {"siteHasEmailServices", KwSiteHasEmailServices, 0},
    {"siteHasPasswordForm", KwSiteHasPasswordForm, 0},
    {"version", KwProgramText, 0},
    {"platform", KwProgramText, 1},
    {"program", KwProgramText, 2},
    {"programName", KwProgramText, 3},
    {"programNameReg", KwProgramText, 4},
    {"copyright", KwProgramText, 5},
    {"programDesc", KwProgramText, 6},
    {"programPromo", KwProgramText, 7},
    {"pictSizeSite", KwPictSize, 0},
    {"pictSizeDivider", KwPictSize, 1},
    {"pictSizeFolder", KwPictSize, 2},
    {"pictSizeLink", KwPictSize, 3},
    {"pictSizeLive", KwPictSize, 4},
    {"pictSizeConversation", KwPictSize, 5},
    {"pictSizeButton", KwPictSize, 6},
    {"pictSizeInlineButton", KwPictSize, 7},
    {"pictSizeIndent", KwPictSize, 8},
    {"pictSizeTop", KwPictSize, 9},
    {"pictSizeNewBurst", KwPictSize, 10},
    {"pictSizeContainer", KwPictSize, 11},
    {"pictSizeOutline", KwPictSize, 12},
    // Page fragments.
    {"loginNews", KwFragment, int(TemplateSysop::kHtmlLogin)},
    {"passwordNews", KwFragment, int(TemplateSysop::kHtmlPassword)},
    {"greetingNews", KwFragment, int(TemplateSysop::kHtmlGreeting)},
    {"registerHeading", KwFragment, int(TemplateSysop::kHtmlRegister)},
    {"registeredHeading", KwFragment, int(TemplateSysop::kHtmlRegisterComplete)},
    {"editHelp", KwFragment, int(TemplateSysop::kHtmlEditHelp)},
    {"unknownUserHelp", KwFragment, int(TemplateSysop::kUnknownUserHelp)},
    {"toolbarBefore", KwFragment, int(TemplateSysop::kToolbarPre)},
    {"toolbarAfter", KwFragment, int(TemplateSysop::kToolbarPost)},
    {"toolbarBetween", KwFragment, int(TemplateSysop::kToolbarNL)},
    {"folderListBefore", KwFragment, int(TemplateSysop::kHtmlCatBodyPre)},
    {"folderListAfter", KwFragment, int(TemplateSysop::kHtmlCatBodyPost)},
    {"folderListEmpty", KwFragment, int(TemplateSysop::kHtmlCatBodyEmpty)},
    {"pathStandardHeading", KwFragment, int(TemplateSysop::kHtmlCategory)},
    {"folderListItem", KwFolderListItem, 0},
    {"banner", KwBanner, 0},
    {"footer", KwFooter, 0},
    {"editPreferences", KwEditPreferences, 0},
    {"msgListBetween", KwMsgListBetween, 0},
    {"toolbar", KwToolbar, 0},
    {"background", KwBackground, 0},
    {"showPreparedFor", KwShowPreparedFor, 0},
    {"preparedFor", KwPreparedFor, 0},
    {"treeIndent", KwTreeIndent, 0},
    {"backPath", KwBackPath, 0},
    {"backPathThis", KwBackPath, 1},
    {"cmdIsShowPrevious", KwCmdIs, 7},
    {"cmdIsShowInContext", KwCmdIs, 13},
    {"cmdIsShowAll", KwCmdIs, 128},
    // Page values.
    {"message", KwPageValue, kMessage},
    {"responsePost", KwPageValue, kMessage},
    {"registerError", KwPageValue, kRegisterError},
    {"chatTextGroup", KwPageValue, kChatTextGroup},
    {"searchToContinue", KwPageValue, kSearchToContinue},
    {"searchItems", KwPageValue, kSearchItems},
    {"pathItemsAreAtEnd", KwPageValue, kAtEnd},
    {"itemDate", KwItemDate, 0},
    {"itemShowPictures", KwItem, kItemShowPictures},
    {"itemShowPictBorder", KwItem, kItemShowPictBorder},
    {"itemShowDateTime", KwItem, kItemShowDateTime},
    {"itemShowTimeDate", KwItem, kItemShowDateTime},
    {"itemNameFontSize", KwItem, kItemNameFontSize},
    {"itemInfoFontSize", KwItem, kItemInfoFontSize},
    {"itemBodyFontSize", KwItem, kItemBodyFontSize},
    {"itemShowOperations", KwItem, kItemShowOperations},
    {"itemCanEdit", KwItem, kItemCanEdit},
    {"itemCanDelete", KwItem, kItemCanDelete},
    {"itemNumber", KwItem, kItemNumber},
    {"itemCount", KwItem, kItemCount},
    {"itemIsThreaded", KwItem, kItemIsThreaded},
    {"itemBaseDepth", KwItem, kItemBaseDepth},
    {"msgListPrevious", KwMsgList, kPrevious},
    {"msgListCountPrevious", KwMsgList, kCountPrevious},
    {"msgListFollowing", KwMsgList, kFollowing},
    {"msgListCountFollowing", KwMsgList, kCountFollowing},
    {"msgListEmpty", KwMsgList, kEmpty},
    {"msgListThreaded", KwMsgList, kThreaded},
    // Request and environment.
    {"envir", KwEnvir, 0},
    {"envirCookie", KwEnvirCookie, 0},
    {"envirList", KwEnvirList, 0},
    {"addResponseHttp", KwAddResponseHttp, 0},
    {"userAgent", KwAgent, kUserAgent},
    {"imgButton", KwAgent, kImgButton},
    {"browserCanUseLabels", KwAgent, kCanUseLabels},
    {"clientIsWindows", KwAgent, kWindows},
    {"clientIsMacintosh", KwAgent, kMacintosh},
    {"sessionByName", KwSessionByName, 0},
};

}  // namespace

void ExprInstallSiteBuiltins() {
  KwInstall(kSiteEntries);
  for (size_t i = 0; i < std::size(kSiteFlags); ++i)
    ExprKeywordRegisterArg(kSiteFlags[i].name, KwSiteFlag, int32_t(i));
  for (size_t i = 0; i < std::size(kFileSwitches); ++i)
    ExprKeywordRegisterArg(kFileSwitchKeywords[i], KwFileSwitch, int32_t(i));
  static const char* const kEditNames[kExprEditCount] = {
      "editName", "editNewsgroup", "editPassword", "editEmail", "editTitle",
      "editHeading", "editMessage", "editBanner", "editFooter",
      "editBackground", "editTemplate", "moderatedMessage",
      "moderatedDiscussion", "moderatedFolder", "editShowAuthor", "editUrl",
      "editFolderIcon", "editShowDescription", "editSortSeq",
      "editEmailMirror", "editEmailPW", "editEmailStripSig",
      "editEmailPostThru", "editEmailReply", "editEmailReplyTo",
      "editEmailFrom"};
  for (int i = 0; i < kExprEditCount; ++i)
    ExprKeywordRegisterArg(kEditNames[i], KwEdit, i);
  static const char* const kPrefsNames[kExprPrefsCount] = {
      "prefsRenameMessage", "prefsNewName", "prefsEmailError",
      "prefsNewEmail", "prefsSubscrUpdated", "prefsSysopCertificate",
      "prefsPasswordError", "prefsPasswordMessage"};
  for (int i = 0; i < kExprPrefsCount; ++i)
    ExprKeywordRegisterArg(kPrefsNames[i], KwPrefs, i);
}

}  // namespace quil
