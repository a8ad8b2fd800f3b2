// Links in folders: the add form (136), adding (137), the edit form (138),
// storing the edit (139) and deleting (140).
//
// A link's address is either a web address, kept as typed, or the path of
// a folder or discussion of this conference, which is stored as the
// target's unique path (so that the link follows the target when it moves
// or is renamed) with the link's kind set to folder or discussion.
#include <string>

#include "CgiEditInt.h"
#include "Ec.h"
#include "FrmBk.h"

namespace quil {

namespace {

St Field(const CgiRequest& r, std::string_view name) {
  St v = GetValueFromName(r.form, name);
  return v.IsNil() ? StCreate() : v;
}

ExprEditForm LinkForm(const St& title, const St& url, const St& description, bool show) {
  ExprEditForm f;
  f[size_t(ExprEdit::kTitle)] = title;
  f[size_t(ExprEdit::kUrl)] = url;
  f[size_t(ExprEdit::kMessage)] = description;
  if (show) f[size_t(ExprEdit::kShowDescription)] = StCStrXfm("1");
  return f;
}

void FormPage(CgiRequest& r, int pageType, const ForumFile& item, ExprEditForm form,
              const St& error) {
  CgiPageValues v;
  v.error = error;
  v.hasForm = true;
  v.form = std::move(form);
  CgiRenderPage(r, pageType, item, v);
}

// Stores the address, kind, description and its flag of a link.
void StoreLink(const CgiRequest& r, const ForumFile& link, const St& url, bool host) {
  St stored = url;
  int kind = 0;
  ForumFile target = url.Empty() || url[0] == '.' || url[0] == '/' ? ForumFileOpen(r.root, url)
                                                                   : ForumFile();
  if (ForumFileIsCategory(target) || ForumFileIsForum(target)) {
    stored = ForumFileUniquePath(target);
    kind = ForumFileIsCategory(target) ? kForumLinkFolder : kForumLinkDiscussion;
  }
  if (ForumLinkUrl(link).View() != stored.View()) FrmBkLinkSetUrl(link, stored);
  FrmBkLinkSetType(link, kind);
  if (CkHasName(r.form, "description")) {
    St d = HtmlIn(Field(r, "description"), host);
    if (ForumFileHtml(link).View() != d.View()) FrmBkFileSetHtml(link, d.Empty() ? St() : d);
  }
  bool show = CkIsChecked(r.form, "showdescription");
  if (ForumLinkShowDescription(link) != show) {
    uint32_t flags = ForumFileStoredFlags(link);
    FrmBkFileSetFlags(link, show ? flags | kForumFlagLinkDescription
                                 : flags & ~kForumFlagLinkDescription);
  }
}

ForumFile OpenLink(CgiRequest& r) {
  ForumFile link = CgiOpenLocation(r.root, r.location);
  if (!ForumFileIsLink(link)) {
    // Following a link opens its target: look for the link itself by its
    // folder and name.
    int32_t slash = int32_t(r.location.View().rfind('/'));
    if (slash >= 0) {
      ForumFile folder = CgiOpenLocation(r.root, StSubstr(r.location, 0, slash));
      if (slash == 0) folder = ForumTopFolder(r.root);
      ForumFile child = ForumFileIsCategory(folder)
                            ? ForumFileHasChild(folder, StSubstr(r.location, slash + 1,
                                                                 r.location.Length() - slash - 1))
                            : ForumFile();
      if (ForumFileIsLink(child)) return child;
    }
    CgiErrorPage(r, "Link Pathname Not Found",
                 "\"" + StToSgml(r.location).Str() + "\" not found");
    return ForumFile();
  }
  return link;
}

// The folder a link is added to (136, 137); empty when the request is
// answered (no such folder, or no right to add links there).
ForumFile LinkFolder(CgiRequest& r) {
  ForumFile folder = r.location.Empty() ? ForumTopFolder(r.root) : CgiOpenLocation(r.root, r.location);
  if (!ForumFileIsCategory(folder)) {
    CgiErrorPage(r, "Folder Pathname Not Found", EcToSt(2403).View());
    return ForumFile();
  }
  if (!CgiCan(r, folder, kForumAccAddLink)) {
    CgiRefuseRight(r, "You do not have access to add links here");
    return ForumFile();
  }
  return folder;
}

}  // namespace

// 136: the form to add a link.
void CgiActAddLinkForm(CgiRequest& r) {
  ForumFile folder = LinkFolder(r);
  if (!folder) return;
  FormPage(r, 35, folder, ExprEditForm(), St());
}

// 137: adds a link.
void CgiActAddLink(CgiRequest& r) {
  ForumFile folder = LinkFolder(r);
  if (!folder) return;
  bool host = CgiIsHost(r, folder);
  St title = Field(r, "title");
  St url = Field(r, "url");
  if (!host && ForumSysopUserIsText(r.root)) title = CgiStripTags(title);
  ExprEditForm typed = LinkForm(title, url, Field(r, "description"),
                                CkIsChecked(r.form, "showdescription"));
  if (title.Empty()) {
    FormPage(r, 35, folder, typed, StCStrXfm("You must specify a title for the link"));
    return;
  }
  if (url.Empty()) {
    FormPage(r, 35, folder, typed, StCStrXfm("You must specify an address for the link"));
    return;
  }
  if (!host) title = CgiCutText(title, ForumSysopTitleMax(r.root));
  St made;
  uint16_t ec = FrmBkFileItemCreate(folder, StCStrXfm("forum-link"), St(), title, r.user, false,
                                    &made);
  if (ec != 0) {
    CgiErrorPage(r, "New Link Not Posted", "Error posting new link: " + EcToSt(ec).Str());
    return;
  }
  ForumFile link = ForumFileHasChild(folder, made);
  StoreLink(r, link, url, host);
  CgiShowAfter(r, folder);
}

// 138: the form to edit a link.
void CgiActEditLinkForm(CgiRequest& r) {
  ForumFile link = OpenLink(r);
  if (!link) return;
  if (!CgiCan(r, link, kForumAccEdit)) {
    CgiRefuseRight(r, "You do not have edit access for this link");
    return;
  }
  St url = ForumLinkUrl(link);
  if (ForumFile target = ForumLinkOpen(link)) url = StFromUrlQuote(ForumFilePath(target));
  FormPage(r, 36, link,
           LinkForm(ForumFileTitle(link), url, ForumFileHtml(link), ForumLinkShowDescription(link)),
           St());
}

// 139: stores a link's edit.
void CgiActEditLink(CgiRequest& r) {
  ForumFile link = OpenLink(r);
  if (!link) return;
  if (!CgiCan(r, link, kForumAccEdit)) {
    CgiRefuseRight(r, "You do not have edit access for this link");
    return;
  }
  bool host = CgiIsHost(r, link);
  St title = Field(r, "title");
  St url = Field(r, "url");
  if (!host && ForumSysopUserIsText(r.root)) title = CgiStripTags(title);
  if (title.Empty() || url.Empty()) {
    FormPage(r, 36, link,
             LinkForm(title, url, Field(r, "description"), CkIsChecked(r.form, "showdescription")),
             StCStrXfm(title.Empty() ? "You must specify a title for the link"
                                     : "You must specify an address for the link"));
    return;
  }
  if (!host) title = CgiCutText(title, ForumSysopTitleMax(r.root));
  if (ForumFileTitle(link).View() != title.View()) FrmBkFileSetTitle(link, title);
  StoreLink(r, link, url, host);
  CgiShowAfter(r, ForumFileParent(link));
}

// 140: deletes a link.
void CgiActDeleteLink(CgiRequest& r) {
  ForumFile link = OpenLink(r);
  if (!link) return;
  if (!CgiCan(r, link, kForumAccDelete)) {
    CgiErrorPage(r, "Delete Link", "You do not have delete access for this link");
    return;
  }
  ForumFile folder = ForumFileParent(link);
  uint16_t ec = FrmBkFileDestroy(link);
  link = ForumFile();
  std::string b = ec == 0 ? "<p role=\"status\">The link has been deleted.</p>\n"
                          : "<p role=\"alert\">The link could not be deleted.</p>\n";
  b += "<p><a class=\"button\" href=\"" + CgiLink(14, StFromUrlQuote(ForumFilePath(folder))) +
       "\">Back</a></p>\n";
  CgiPageOr(r, 37, folder, CgiPageValues(), "Delete Link", b);
}

}  // namespace quil
