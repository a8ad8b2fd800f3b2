// Fuzz harness for the template parser and evaluator core.
//
// The input is parsed as a template (in japanese scan mode when it starts
// with ESC) and evaluated, the whole text and then each top-level macro,
// with limits that keep one run short: a small while budget, a step limit
// (whileLimitReset would otherwise let a loop run for ever) and a size limit.
// The input is also used as a date format and, split at its first NUL, as a
// number and a number format.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Eval.h"
#include "Td.h"
#include "Template.h"
#include "TemplateInt.h"

using namespace quil;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    ExprParseInit();
    return true;
  }();
  (void)ready;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  {
    bool japanese = size > 0 && data[0] == 27;
    TemplateRef t = TemplateParse(StFromView(input), St(), St(), japanese);
    ExprContext ctx(50);
    ctx.SetSizeLimit(int64_t(1) << 16);
    ctx.SetStepLimit(3000);
    ExprContextSetPageType(ctx, 1);
    ExprContextAddFormValue(ctx, StFromView("name"), StFromView("value"));
    St page = TemplateProcess(t, ctx);
    t->ForEachMacro([&](const TemplateRef& m) {
      St part = TemplateProcess(m, ctx);
    });
  }
  // Names are process-wide; forget them so that they do not pile up over
  // millions of runs (no template is alive here).
  ExprLocalNamesClear();

  Td when;
  when.year = 2001, when.month = 3, when.day = 5, when.hour = 13;
  when.minute = 4, when.second = 9, when.millisecond = 250;
  St date = TdToSt(when, input.substr(0, 4096));
  Td parsed;
  if (TdParse(input, &parsed)) date = TdToSt(parsed, "Y4-M2-D2-H4.I2.S2");

  size_t nul = input.find('\0');
  if (nul != std::string_view::npos) {
    St number;
    ExprNumberFormat(input.substr(0, nul), input.substr(nul + 1), &number);
  }
  return 0;
}
