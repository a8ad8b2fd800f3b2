// The seams of request processing to the template layer, the journaling
// setters and the counters of other layers (see CgiInt.h).
#include "CgiInt.h"
#include "Ec.h"
#include "FrmBk.h"

namespace quil {

namespace {

CgiTemplateSeam& TemplateSeam() {
  static CgiTemplateSeam seam = [] {
    CgiTemplateSeam s;
    s.runNamed = CgiTemplateRunNamed;
    s.footer = CgiTemplateFooter;
    s.macroPage = CgiTemplateMacroPage;
    s.errorPage = CgiTemplateErrorPage;
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
  s.runNamed = seam.runNamed ? std::move(seam.runNamed) : CgiTemplateRunNamed;
  s.footer = seam.footer ? std::move(seam.footer) : CgiTemplateFooter;
  s.macroPage = seam.macroPage ? std::move(seam.macroPage) : CgiTemplateMacroPage;
  s.errorPage = seam.errorPage ? std::move(seam.errorPage) : CgiTemplateErrorPage;
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

// The URL base is a sysop setting: it goes through the journaling setter so
// that the change reaches the roll-forward log and the mirrors.
void CgiStoreSetUrlPreQuery(ForumRoot root, St value) {
  FrmBkSysopSetUrlPreQuery(root, std::move(value));
}

// SEAM (counters): the store's file time, the queue's background time and
// the HTTP front end's queued requests are not counted by those layers yet;
// the request-times line shows 0 for them until they are installed here.
void CgiSetTimesSeam(CgiTimesSeam seam) { TimesSeam() = std::move(seam); }
const CgiTimesSeam& CgiTimes() { return TimesSeam(); }

}  // namespace quil
