// The seams of request processing to the template layer, the journaling
// setters and the counters of other layers (see CgiInt.h).  Integration
// replaces the defaults here and nothing else.
#include "CgiInt.h"
#include "Ec.h"

namespace quil {

namespace {

// SEAM (templates): a site without a template layer defines no named
// template, so logFilter, logFilterReply and the filters of Auth.h are
// absent and every macro named in a URL is missing.  The integration
// installs the template layer's TemplateFileLookup / BufAddTemplate calls.
bool DefaultRunNamed(CgiRequest&, const char*, St*) { return false; }
bool DefaultMacroPage(CgiRequest&, const St&, const ForumFile&) { return false; }
// SEAM (templates): the footer template (HtmlFooterTemplate) is evaluated
// by the template layer; without it a page ends without a footer.
St DefaultFooter(CgiRequest&, const ForumFile&) { return StCreate(); }

CgiTemplateSeam& TemplateSeam() {
  static CgiTemplateSeam seam = [] {
    CgiTemplateSeam s;
    s.runNamed = DefaultRunNamed;
    s.footer = DefaultFooter;
    s.macroPage = DefaultMacroPage;
    s.errorPage = CgiBuiltinErrorPage;
    return s;
  }();
  return seam;
}

CgiTimesSeam& TimesSeam() {
  static CgiTimesSeam seam;
  return seam;
}

}  // namespace

void CgiSetTemplateSeam(CgiTemplateSeam seam) {
  CgiTemplateSeam& s = TemplateSeam();
  s.runNamed = seam.runNamed ? std::move(seam.runNamed) : DefaultRunNamed;
  s.footer = seam.footer ? std::move(seam.footer) : DefaultFooter;
  s.macroPage = seam.macroPage ? std::move(seam.macroPage) : DefaultMacroPage;
  s.errorPage = seam.errorPage ? std::move(seam.errorPage) : CgiBuiltinErrorPage;
}

const CgiTemplateSeam& CgiTemplates() { return TemplateSeam(); }

void CgiBuiltinErrorPage(CgiRequest& r, const St& title, const St& message) {
  Buf& b = r.page;
  if (!b.IsOpen()) BufOpen(b);
  BufAddC(b, "<HTML><HEAD><TITLE>");
  BufAddC(b, kEcProductName);
  BufAddC(b, " - ");
  BufAddS(b, StToSgml(title));
  BufAddC(b, "</TITLE></HEAD><BODY>\n<h3>");
  BufAddSt(b, message);
  BufAddC(b, "</h3>\n");
  BufAddS(b, CgiTemplates().footer(r, r.footerFolder));
  BufAddC(b, "</BODY></HTML>");
  r.pageComplete = true;
}

// SEAM (journaling): the URL base is a sysop setting; once the exchange
// layer's journaling setters land this becomes FrmBkSysopSetUrlPreQuery so
// that the change reaches the roll-forward log and the mirrors.
void CgiStoreSetUrlPreQuery(ForumRoot root, St value) {
  ForumSysopSetUrlPreQuery(root, std::move(value));
}

// SEAM (counters): the store's file time, the queue's background time and
// the HTTP front end's queued requests are not counted by those layers yet;
// the request-times line shows 0 for them until they are installed here.
void CgiSetTimesSeam(CgiTimesSeam seam) { TimesSeam() = std::move(seam); }
const CgiTimesSeam& CgiTimes() { return TimesSeam(); }

}  // namespace quil
