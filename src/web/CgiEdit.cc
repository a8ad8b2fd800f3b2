// What the handlers that change the conference share: rights, the guest who
// posts under a name, the text rules of posts and the pages.
#include <string>

#include "Auth.h"
#include "CgiEditInt.h"
#include "Ec.h"
#include "Eval.h"
#include "FrmBk.h"
#include "ForumUser.h"
#include "Template.h"

namespace quil {

// ---------------------------------------------------------------------------
// Rights.

bool CgiCan(const CgiRequest& r, const ForumFile& item, uint32_t mask) {
  if (!item) return false;
  return ForumAccOpCk(item, r.user != 0 ? r.user : kForumAccAllGuests, mask);
}

bool CgiIsHost(const CgiRequest& r, const ForumFile& item) {
  if (r.root && r.user != 0 && ForumUserGetSysop(r.root, r.user)) return true;
  return CgiCan(r, item, kForumAccHost);
}

bool CgiIsOwnMessage(const CgiRequest& r, const ForumFile& discussion, int32_t index) {
  if (r.user == 0 || r.guest) return false;
  return ForumItemRec(discussion, index) != 0 && ForumItemAuthor(discussion, index) == r.user;
}

bool CgiEmailSyntaxOk(std::string_view a) {
  if (a.empty() || a.size() > 254) return false;
  for (char c : a)
    if (uint8_t(c) <= ' ' || c == 127 || c == '<' || c == '>' || c == '"' || c == ',') return false;
  size_t at = a.find('@');
  if (at == 0 || at == std::string_view::npos || a.find('@', at + 1) != std::string_view::npos)
    return false;
  std::string_view domain = a.substr(at + 1);
  size_t dot = domain.find('.');
  return dot != std::string_view::npos && dot > 0 && domain.back() != '.';
}

CgiGuestStep CgiGuestAdd(CgiRequest& r, const ForumFile& item, uint32_t mask,
                         const CgiGuestTexts& texts, const St& name, const St& email,
                         St* message) {
  if (!r.guest) return CgiGuestStep::kProceed;
  ChHandle named = name.Empty() ? 0 : ForumUserLookup(r.root, name);
  if (named != 0 && ForumUserGetType(r.root, named) == kForumUserRegistered)
    return CgiGuestStep::kLoginToPost;
  if (!ForumAccOpCk(item, kForumAccAllGuests, mask)) return CgiGuestStep::kLogin;
  if (!ForumSysopAllowGuests(r.root)) {
    *message = StCStrXfm(texts.mustRegister);
    return CgiGuestStep::kError;
  }
  if (!email.Empty() && !CgiEmailSyntaxOk(email.View())) {
    *message = StCStrXfm(texts.badEmail);
    return CgiGuestStep::kError;
  }
  if (name.Empty()) {
    *message = StCStrXfm(texts.mustName);
    return CgiGuestStep::kError;
  }
  ChHandle guest = named;
  if (guest == 0) {
    uint16_t ec = FrmBkUserCreate(r.root, kForumUserGuest, name, email, St(), &guest);
    if (ec != 0) {
      *message = EcToSt(ec);
      return CgiGuestStep::kError;
    }
    if (texts.secondLine) FrmBkUserSet2ndLine(r.root, guest, StCStrXfm(texts.secondLine));
  } else if (!email.Empty() && ForumUserEmail(r.root, guest).View() != email.View()) {
    FrmBkUserSetEmail(r.root, guest, email);
  }
  // A guest session switches to the guest record; without one the record is
  // installed for this visit only.
  AuthInstallUser(guest, r.remote, &r.cert, r.user == 0, StCStrXfm(texts.reason));
  CgiSetUser(r, guest);
  return CgiGuestStep::kProceed;
}

// ---------------------------------------------------------------------------
// The text of posts.

namespace {

bool NameIs(std::string_view tag, size_t at, std::string_view name) {
  if (tag.size() - at < name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = tag[at + i];
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (c != name[i]) return false;
  }
  size_t end = at + name.size();
  return end == tag.size() || !((tag[end] >= 'a' && tag[end] <= 'z') ||
                                (tag[end] >= 'A' && tag[end] <= 'Z') ||
                                (tag[end] >= '0' && tag[end] <= '9'));
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

constexpr const char* kActiveElements[] = {"script", "style", "iframe", "frame", "frameset",
                                           "object", "embed", "applet", "form",  "meta",
                                           "link",   "base"};

// The end of the tag that begins at text[from] ("<"): the index after ">",
// quotes respected; npos when it never ends.
size_t TagEnd(std::string_view text, size_t from) {
  char quote = 0;
  for (size_t i = from + 1; i < text.size(); ++i) {
    char c = text[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

// One tag of a non-host's post: event attributes and script addresses out.
std::string CleanTag(std::string_view tag) {
  std::string out;
  size_t i = 0;
  // The "<" and the name.
  while (i < tag.size() && tag[i] != ' ' && tag[i] != '\t' && tag[i] != '\n' && tag[i] != '\r' &&
         tag[i] != '>' && !(tag[i] == '/' && i > 1))
    out += tag[i++];
  while (i < tag.size()) {
    char c = tag[i];
    if (c == '>' || c == '/') {
      out += c;
      ++i;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      ++i;
      continue;
    }
    // An attribute: name [= value].
    size_t nameStart = i;
    while (i < tag.size() && tag[i] != '=' && tag[i] != ' ' && tag[i] != '>' && tag[i] != '\t' &&
           tag[i] != '\n' && tag[i] != '\r')
      ++i;
    std::string_view name = tag.substr(nameStart, i - nameStart);
    std::string_view value;
    if (i < tag.size() && tag[i] == '=') {
      size_t vStart = ++i;
      if (i < tag.size() && (tag[i] == '"' || tag[i] == '\'')) {
        char q = tag[i++];
        while (i < tag.size() && tag[i] != q) ++i;
        if (i < tag.size()) ++i;
      } else {
        while (i < tag.size() && tag[i] != ' ' && tag[i] != '>' && tag[i] != '\t' &&
               tag[i] != '\n' && tag[i] != '\r')
          ++i;
      }
      value = tag.substr(vStart, i - vStart);
    }
    std::string lname = Lower(name);
    if (lname.size() > 2 && lname[0] == 'o' && lname[1] == 'n') continue;
    std::string lvalue;
    for (char v : value)
      if (v != ' ' && v != '\t' && v != '\n' && v != '\r' && v != '"' && v != '\'')
        lvalue += (v >= 'A' && v <= 'Z') ? char(v - 'A' + 'a') : v;
    if (lvalue.starts_with("javascript:") || lvalue.starts_with("vbscript:")) continue;
    out += ' ';
    out.append(name);
    if (!value.empty()) {
      out += '=';
      out.append(value);
    }
  }
  return out;
}

}  // namespace

St CgiStripTags(const St& text) {
  std::string_view t = text.View();
  std::string out;
  out.reserve(t.size());
  size_t i = 0;
  while (i < t.size()) {
    if (t[i] == '<' && i + 1 < t.size() &&
        (t[i + 1] == '/' || t[i + 1] == '!' || (t[i + 1] >= 'a' && t[i + 1] <= 'z') ||
         (t[i + 1] >= 'A' && t[i + 1] <= 'Z'))) {
      size_t end = t.substr(i, 4) == "<!--" ? t.find("-->", i + 4) : std::string_view::npos;
      if (end != std::string_view::npos) {
        i = end + 3;
        continue;
      }
      end = TagEnd(t, i);
      if (end == std::string_view::npos) break;
      i = end;
      continue;
    }
    out += t[i++];
  }
  return text.IsNil() ? St() : StFromView(out);
}

St HtmlIn(const St& body, bool host) {
  if (host || body.IsNil()) return body;
  std::string_view t = body.View();
  std::string out;
  out.reserve(t.size());
  size_t i = 0;
  while (i < t.size()) {
    if (t[i] != '<' || i + 1 >= t.size()) {
      out += t[i++];
      continue;
    }
    size_t nameAt = i + 1 + (t[i + 1] == '/' ? 1 : 0);
    const char* active = nullptr;
    for (const char* e : kActiveElements)
      if (NameIs(t, nameAt, e)) active = e;
    bool isTag = nameAt < t.size() && ((t[nameAt] >= 'a' && t[nameAt] <= 'z') ||
                                       (t[nameAt] >= 'A' && t[nameAt] <= 'Z'));
    if (!isTag) {
      out += t[i++];
      continue;
    }
    size_t end = TagEnd(t, i);
    if (end == std::string_view::npos) {
      // A tag never closed: written as text.
      out += "&lt;";
      ++i;
      continue;
    }
    if (active) {
      // The element goes with everything up to its end tag (the void ones,
      // meta, link and base, are the tag alone).
      bool opening = t[i + 1] != '/';
      i = end;
      std::string_view name = active;
      if (opening && name != "meta" && name != "link" && name != "base") {
        std::string lower = Lower(t.substr(i));
        size_t at = lower.find("</" + std::string(name));
        if (at == std::string::npos) {
          i = t.size();
        } else {
          size_t closeEnd = TagEnd(t, i + at);
          i = closeEnd == std::string_view::npos ? t.size() : closeEnd;
        }
      }
      continue;
    }
    out += CleanTag(t.substr(i, end - i));
    i = end;
  }
  return StFromView(out);
}

St CgiCutText(const St& text, int32_t max) {
  if (max <= 0 || text.Length() <= max) return text;
  int32_t n = max;
  // Back off over continuation bytes so that no character is split.
  while (n > 0 && (uint8_t(text[n]) & 0xC0) == 0x80) --n;
  return StSubstr(text, 0, n);
}

bool CgiMustModerate(const CgiRequest& r, const ForumFile& item, const St& title, const St& body) {
  if (r.user != 0 && !r.guest && ForumUserGetSysop(r.root, r.user)) return false;
  if (CgiCan(r, item, kForumAccModerated)) return true;
  St words = ForumSysopObjectionable(r.root);
  bool phone = ForumSysopObjectionablePhone(r.root);
  if (words.Empty() && !phone) return false;
  St list = StObjectionableListXfm(words);
  return StObjectionable(title, list, phone) || StObjectionable(body, list, phone);
}

// ---------------------------------------------------------------------------
// Pages.

bool CgiHasPage(int pageType, const ForumFile& folder) {
  if (TemplateStandardText(pageType)) return true;
  TemplateRef found;
  const char* name = TemplatePageTypeName(pageType);
  return name && TemplateFileLookup(StCStrXfm(name), folder, &found);
}

void CgiRenderPage(CgiRequest& r, int pageType, const ForumFile& path,
                   const CgiPageValues& values) {
  TemplateRef t = TemplateForPage(pageType, path);
  if (!t) return;
  std::unique_ptr<ExprContext> ctx = ExprContextCreate(r.user, r.cert, path, &r);
  ExprContextSetPageType(*ctx, pageType);
  if (!values.error.IsNil()) ExprContextSetErrMsg(*ctx, values.error);
  if (!values.actionPath.IsNil()) ExprContextSetActionPath(*ctx, values.actionPath);
  if (values.hasForm) ExprContextSetAddMessage(*ctx, values.form);
  if (!values.title.IsNil()) ExprContextSetTitle(*ctx, values.title);
  if (!values.message.IsNil()) ExprContextSetMessage(*ctx, values.message);
  BufEvalTemplate(r.page, t, *ctx);
}

namespace {

// The shared head of the built-in pages, in two parts around the title.
TemplateRef& HeadTemplate(int which) {
  static TemplateRef parts[2];
  if (!parts[which])
    parts[which] = TemplateParse(StFromView(
        which == 0 ? std::string(TemplateHeadOpen()) + "%% siteTitle.toSGML %% - "
                   : std::string(TemplateHeadClose())));
  return parts[which];
}

}  // namespace

void CgiBuiltinPage(CgiRequest& r, const ForumFile& path, std::string_view title,
                    std::string_view body) {
  BufAddTemplate(r.page, HeadTemplate(0), r.user, r.cert, path, &r);
  BufAddSt(r.page, StToSgml(StFromView(title)));
  BufAddTemplate(r.page, HeadTemplate(1), r.user, r.cert, path, &r);
  BufAddView(r.page, "<h1>");
  BufAddSt(r.page, StToSgml(StFromView(title)));
  BufAddView(r.page, "</h1>\n");
  BufAddView(r.page, body);
  BufAddView(r.page, "</main>\n");
}

void CgiPageOr(CgiRequest& r, int pageType, const ForumFile& path, const CgiPageValues& values,
               std::string_view title, std::string_view body) {
  if (CgiHasPage(pageType, path)) {
    CgiRenderPage(r, pageType, path, values);
    return;
  }
  CgiBuiltinPage(r, path, title, body);
}

std::string CgiLink(int command, const St& location) {
  std::string s = "?" + std::to_string(command) + "@@";
  s.append(StToSgml(CgiLocationQuote(location)).View());
  return s;
}

std::string CgiHidden(std::string_view name, const St& value) {
  std::string s = "<input type=\"hidden\" name=\"";
  s.append(name);
  s += "\" value=\"";
  s.append(StToSgml(value.IsNil() ? StCreate() : value).View());
  s += "\">\n";
  return s;
}

void CgiShowAfter(CgiRequest& r, const ForumFile& item) {
  St path = item ? StFromUrlQuote(ForumFilePath(item)) : StCreate();
  ForwardAction(r, kCgiCmdShow, path);
}

bool CgiFilterAnswers(CgiRequest& r, const char* name) {
  St response;
  if (!FilterCheck(name, &response)) return false;
  BufOpen(r.page);
  BufAddSt(r.page, response);
  r.pageComplete = true;
  return true;
}

void CgiNotFound(CgiRequest& r, std::string_view title) {
  std::string m = "\"";
  m.append(StToSgml(r.location).View());
  m += "\" not found";
  CgiErrorPage(r, title, m);
}

void CgiAccessError(CgiRequest& r, std::string_view what) {
  CgiErrorPage(r, "Access Denied", what);
}

void CgiRefuseRight(CgiRequest& r, std::string_view what) {
  if (r.guest) CgiKeepAndLogin(r);
  else CgiAccessError(r, what);
}

}  // namespace quil
