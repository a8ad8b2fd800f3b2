// The page builder of the sysop's pages and the table-driven settings forms
// (CgiSysopInt.h).
#include <string>

#include "CgiSysopInt.h"
#include "Ec.h"
#include "ForumUser.h"
#include "FrmBk.h"
#include "Template.h"

namespace quil {

std::string SysopEsc(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string SysopEsc(const St& text) { return text.IsNil() ? std::string() : SysopEsc(text.View()); }

void SysopPageBegin(CgiRequest& r, std::string_view title) {
  BufOpen(r.page);
  r.html = true;
  r.pageComplete = false;
  r.contentType = St();
  r.noCache = true;
  St siteTitle = r.root ? ForumSysopHtmlTitle(r.root) : St();
  // The shared head of the built-in pages around the title.
  static TemplateRef headOpen, headClose;
  if (!headOpen) {
    headOpen = TemplateParse(StFromView(TemplateHeadOpen()));
    headClose = TemplateParse(StFromView(TemplateHeadClose()));
  }
  BufAddTemplate(r.page, headOpen, r.user, r.cert, ForumFile(), &r);
  BufAddView(r.page, SysopEsc(siteTitle.Empty() ? std::string_view(kEcProductName)
                                                : siteTitle.View()) +
                         " - " + SysopEsc(title));
  BufAddTemplate(r.page, headClose, r.user, r.cert, ForumFile(), &r);
  BufAddView(r.page, "<h1>" + SysopEsc(title) + "</h1>\n");
}

void SysopPageAdd(CgiRequest& r, std::string_view html) { BufAddView(r.page, html); }

void SysopPageError(CgiRequest& r, std::string_view text) {
  SysopPageAdd(r, "<p class=\"error\" role=\"alert\">" + SysopEsc(text) + "</p>\n");
}

void SysopPageNote(CgiRequest& r, std::string_view text) {
  SysopPageAdd(r, "<p class=\"note\" role=\"status\">" + SysopEsc(text) + "</p>\n");
}

void SysopPageBackLink(CgiRequest& r) {
  SysopPageAdd(r, "<p><a href=\"?59@@\">Back to the control panel</a></p>\n</main>\n");
}

bool SysopEqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string SysopTrimmed(const CgiRequest& r, std::string_view name) {
  St v = GetValueFromName(r.form, name);
  return v.IsNil() ? std::string() : std::string(StStripBlanks(v).View());
}

bool SysopReadInt(const St& value, int64_t* out) {
  if (value.IsNil()) return false;
  std::string_view v = StStripBlanks(value).View();
  if (v.empty() || v.size() > 12) return false;
  size_t i = v[0] == '-' || v[0] == '+' ? 1 : 0;
  if (i == v.size()) return false;
  int64_t n = 0;
  for (; i < v.size(); ++i) {
    if (v[i] < '0' || v[i] > '9') return false;
    n = n * 10 + (v[i] - '0');
  }
  *out = v[0] == '-' ? -n : n;
  return true;
}

bool SysopRefused(CgiRequest& r) {
  if (r.root && ForumUserGetSysop(r.root, r.user)) return false;
  if (r.user == 0) {
    CgiKeepAndLogin(r);
    return true;
  }
  CgiErrorPage(r, "Sysop Function", "Only a system operator may use this request");
  return true;
}

bool SysopOnFactoryPassword(ForumRoot root, ChHandle user) {
  if (!root || !user) return false;
  St stored = ForumUserPassword(root, user);
  if (stored.IsNil()) return true;  // no password at all is no better
  return stored.View() == StHashMd5(StCStrXfm(kForumSysopDefaultPassword)).View();
}

// ---------------------------------------------------------------------------
// Forms.

namespace {

std::string IntText(int64_t v) { return std::to_string(v); }

// The value a field shows: the posted one after a refused post, else the
// stored one.
std::string ShownValue(CgiRequest& r, const SysopField& f, bool fromPost) {
  if (fromPost && CkHasName(r.form, f.name)) {
    St v = GetValueFromName(r.form, f.name);
    return v.IsNil() ? std::string() : std::string(v.View());
  }
  switch (f.kind) {
    case SysopFieldKind::kFlag: return f.getFlag(r.root) ? "1" : "0";
    case SysopFieldKind::kInt: return IntText(f.getInt(r.root));
    case SysopFieldKind::kLine:
    case SysopFieldKind::kText: {
      St v = f.getText(r.root);
      return v.IsNil() ? std::string() : std::string(v.View());
    }
  }
  return std::string();
}

// A posted flag: "1"/"on"/"yes"/"true" or "0"/"off"/"no"/"false" (any
// case); false for anything else.
bool ReadFlag(const St& value, bool* on) {
  std::string v = value.IsNil() ? std::string() : std::string(StStripBlanks(value).View());
  for (char& c : v)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  if (v == "1" || v == "on" || v == "yes" || v == "true") {
    *on = true;
    return true;
  }
  if (v == "0" || v == "off" || v == "no" || v == "false" || v.empty()) {
    *on = false;
    return true;
  }
  return false;
}

}  // namespace

void SysopFormShow(CgiRequest& r, const SysopForm& form, std::string_view error,
                   std::string_view note, bool fromPost) {
  SysopPageBegin(r, form.title);
  if (form.intro) SysopPageAdd(r, std::string("<p>") + form.intro + "</p>\n");
  if (!error.empty()) SysopPageError(r, error);
  if (!note.empty()) SysopPageNote(r, note);
  std::string h = "<form class=\"form\" method=\"post\" action=\"?" +
                  IntText(form.processCommand) + "@@\">\n";
  for (int i = 0; i < form.fieldCount; ++i) {
    const SysopField& f = form.fields[i];
    std::string value = ShownValue(r, f, fromPost);
    std::string name = f.name;
    switch (f.kind) {
      case SysopFieldKind::kFlag: {
        bool on = false;
        (void)ReadFlag(StFromView(value), &on);
        h += "<input type=\"hidden\" name=\"" + name + "\" value=\"0\">\n";
        h += "<label class=\"check\"><input type=\"checkbox\" id=\"" + name + "\" name=\"" + name +
             "\" value=\"1\"" + (on ? " checked" : "") + "> " + SysopEsc(f.label) + "</label>\n";
        break;
      }
      case SysopFieldKind::kInt:
        h += "<label for=\"" + name + "\">" + SysopEsc(f.label) + " (" + IntText(f.min) + " to " +
             IntText(f.max) + ")</label>\n";
        h += "<input id=\"" + name + "\" name=\"" + name +
             "\" inputmode=\"numeric\" value=\"" + SysopEsc(value) + "\" type=\"number\" min=\"" +
             IntText(f.min) + "\" max=\"" + IntText(f.max) + "\">\n";
        break;
      case SysopFieldKind::kLine:
        h += "<label for=\"" + name + "\">" + SysopEsc(f.label) + "</label>\n";
        h += "<input id=\"" + name + "\" name=\"" + name + "\" value=\"" + SysopEsc(value) +
             "\">\n";
        break;
      case SysopFieldKind::kText:
        h += "<label for=\"" + name + "\">" + SysopEsc(f.label) + "</label>\n";
        h += "<textarea id=\"" + name + "\" name=\"" + name + "\" rows=\"5\">" + SysopEsc(value) +
             "</textarea>\n";
        break;
    }
  }
  h += "<div class=\"actions\"><button type=\"submit\">Store</button></div>\n</form>\n";
  SysopPageAdd(r, h);
  SysopPageBackLink(r);
}

bool SysopFormStore(CgiRequest& r, const SysopForm& form, std::string* error) {
  // Everything is checked before anything is stored.
  struct Pending {
    const SysopField* field = nullptr;
    bool flag = false;
    int32_t number = 0;
    St text;
  };
  std::vector<Pending> pending;
  for (int i = 0; i < form.fieldCount; ++i) {
    const SysopField& f = form.fields[i];
    if (!CkHasName(r.form, f.name)) continue;
    St value = GetValueFromName(r.form, f.name);
    Pending p;
    p.field = &f;
    switch (f.kind) {
      case SysopFieldKind::kFlag:
        if (!ReadFlag(value, &p.flag)) {
          *error = std::string("\"") + f.label + "\" must be on or off.";
          return false;
        }
        break;
      case SysopFieldKind::kInt: {
        int64_t n = 0;
        if (!SysopReadInt(value, &n)) {
          *error = std::string("\"") + f.label + "\" must be a whole number.";
          return false;
        }
        if (n < f.min || n > f.max) {
          *error = std::string("\"") + f.label + "\" must be between " + IntText(f.min) +
                   " and " + IntText(f.max) + ".";
          return false;
        }
        p.number = int32_t(n);
        break;
      }
      case SysopFieldKind::kLine:
      case SysopFieldKind::kText: {
        if (!value.IsNil() && f.kind == SysopFieldKind::kLine) value = StStripBlanks(value);
        if (value.Empty()) value = St();
        int32_t most = f.kind == SysopFieldKind::kLine ? kSysopLineMax : kSysopTextMax;
        if (value.Length() > most) {
          *error = std::string("\"") + f.label + "\" is too long (at most " + IntText(most) +
                   " characters).";
          return false;
        }
        std::string why;
        if (!value.IsNil() && f.check && !f.check(value, &why)) {
          *error = std::string("\"") + f.label + "\" " + why;
          return false;
        }
        p.text = value;
        break;
      }
    }
    pending.push_back(std::move(p));
  }
  for (Pending& p : pending) {
    const SysopField& f = *p.field;
    switch (f.kind) {
      case SysopFieldKind::kFlag:
        if (f.getFlag(r.root) != p.flag) f.setFlag(r.root, p.flag);
        break;
      case SysopFieldKind::kInt:
        if (f.getInt(r.root) != p.number) f.setInt(r.root, p.number);
        break;
      case SysopFieldKind::kLine:
      case SysopFieldKind::kText: {
        St old = f.getText(r.root);
        bool same = old.IsNil() ? p.text.IsNil()
                                : (!p.text.IsNil() && old.View() == p.text.View());
        if (!same) f.setText(r.root, std::move(p.text));
        break;
      }
    }
  }
  return true;
}

}  // namespace quil
