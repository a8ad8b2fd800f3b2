// Evaluating templates: values, statements, limits, macros and the hooks of
// the layers above.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "Eval.h"
#include "render.h"

using namespace quil;
using quiltest::ErrorOut;
using quiltest::Render;
using quiltest::Value;

// --- Values -----------------------------------------------------------------

TEST(Values, TruthOfIntegersAndStrings) {
  EXPECT_EQ(Render("%% if 0 %%t%% else %%f%% endif %%"), "f");
  EXPECT_EQ(Render("%% if -1 %%t%% else %%f%% endif %%"), "t");
  EXPECT_EQ(Render("%% if \"\" %%t%% else %%f%% endif %%"), "f");
  EXPECT_EQ(Render("%% if \"0\" %%t%% else %%f%% endif %%"), "t");
  EXPECT_EQ(Render("%% if unset %%t%% else %%f%% endif %%"), "f");
  EXPECT_EQ(Value("!\"\""), "1");
}

TEST(Values, Comparisons) {
  EXPECT_EQ(Value("10 > 9"), "1");
  EXPECT_EQ(Value("\"10\" > \"9\""), "0");  // two strings: bytewise
  EXPECT_EQ(Value("10 > \"9\""), "1");      // converts entirely: numeric
  EXPECT_EQ(Value("\"09\" == 9"), "1");
  EXPECT_EQ(Value("9 == \"9x\""), "0");     // does not convert: as text
  EXPECT_EQ(Value("10 < \"9x\""), "1");
  EXPECT_EQ(Value("\"abc\" < \"abd\""), "1");
  EXPECT_EQ(Value("\"ab\" < \"abc\""), "1");
  EXPECT_EQ(Value("\"ABC\" == \"abc\""), "0");
  EXPECT_EQ(Value("\"\" == unset"), "1");
  EXPECT_EQ(Value("2 >= 2 && 2 <= 2 && 1 != 2"), "1");
}

TEST(Values, ArithmeticOnStringsAndEdges) {
  EXPECT_EQ(Value("\"12\" + 3"), "15");
  EXPECT_EQ(Value("\"12x\" + 3"), "3");
  EXPECT_EQ(Value("7 / 0"), "0");
  EXPECT_EQ(Value("7 % 0"), "0");
  EXPECT_EQ(Value("-7 % 3"), "-1");
  EXPECT_EQ(Value("2147483647 + 1"), "-2147483648");
  EXPECT_EQ(Value("(0 - 2147483647 - 1) / -1"), "-2147483648");
  EXPECT_EQ(Value("65536 * 65536"), "0");
  EXPECT_EQ(Value("1 & 2 + 3"), "15");
}

// --- Statements -------------------------------------------------------------

TEST(Statements, IfChainRunsExactlyOneBranch) {
  const std::string chain =
      "<%% if x == 1 %%one%% elseif x == 2 %%two%% else %%other%% endif %%>";
  EXPECT_EQ(Render("%% set x 1 %%" + chain), "<one>");
  EXPECT_EQ(Render("%% set x 2 %%" + chain), "<two>");
  EXPECT_EQ(Render("%% set x 3 %%" + chain), "<other>");
  EXPECT_EQ(Render("%% set x 2 %%%% if x == 1 %%a%% else if x == 2 %%b%% endif %%"),
            "b");
  EXPECT_EQ(Render("%% if 0 %%a%% elsif 0 %%b%% endif %%."), ".");
}

TEST(Statements, NestedIfs) {
  const std::string t =
      "%% if a %%A%% if b %%B%% else %%b%% endif %%%% else %%-%% endif %%";
  EXPECT_EQ(Render("%% set a 1 %%%% set b 1 %%" + t), "AB");
  EXPECT_EQ(Render("%% set a 1 %%%% set b 0 %%" + t), "Ab");
  EXPECT_EQ(Render("%% set a 0 %%%% set b 1 %%" + t), "-");
}

TEST(Statements, EndifWithoutIf) {
  EXPECT_EQ(Render("x %% endif %% y"),
            "x <b>%% Missing IF for ENDIF: endif</b><b> %%</b> y");
}

TEST(Statements, WhileBreakContinue) {
  EXPECT_EQ(Render("%% set i 0 %%%% while i < 5 %%%% set i i + 1 %%"
                   "%% if i == 2 %%%% continue %%%% endif %%"
                   "%% if i == 4 %%%% break %%%% endif %%%% i %%,%% endwhile %%."),
            "1,3,.");
}

TEST(Statements, NestedLoops) {
  EXPECT_EQ(Render("%% set i 0 %%%% while i < 3 %%%% set i i + 1 %%%% set j 0 %%"
                   "%% while j < i %%%% set j j + 1 %%%% j %%%% endwhile %%;"
                   "%% endwhile %%"),
            "1;12;123;");
}

TEST(Statements, NeverEndingWhileStopsAtTheBudget) {
  EXPECT_EQ(Render("%% while 1 %%.%% endwhile %%after", 5),
            "....<b>While loop limit reached</b><br>after");
  // The budget is the page's, not the loop's: the first loop spent four.
  EXPECT_EQ(Render("%% set i 0 %%%% while i < 3 %%%% set i i + 1 %%%% endwhile %%"
                   "%% while 1 %%.%% endwhile %%",
                   6),
            ".<b>While loop limit reached</b><br>");
}

TEST(Statements, WhileLimitResetLetsTheLoopRunOn) {
  EXPECT_EQ(Render("%% set i 0 %%%% while i < 10 %%%% set i i + 1 %%"
                   "%% whileLimitReset %%%% endwhile %%%% i %%",
                   3),
            "10");
}

TEST(Statements, ReturnEndsOnlyTheCurrentTemplate) {
  EXPECT_EQ(Render("%% macro m %%a%% return %%b%% endmacro %%"
                   "<%% use m %%>%% return %%never"),
            "<a>");
  EXPECT_EQ(Render("%% if 1 %%x%% return %%%% endif %%y"), "x");
}

TEST(Statements, LocalsAreSharedByMacrosOfOneContext) {
  EXPECT_EQ(Render("%% macro inc %%%% set n n + 1 %%%% endmacro %%"
                   "%% set n 5 %%%% use inc %%%% use inc %%%% n %%"),
            "7");
}

TEST(Statements, SetCopiesValues) {
  EXPECT_EQ(Render("%% set a \"x\" %%%% set b a %%%% set a a & \"y\" %%"
                   "%% b %%/%% a %%"),
            "x/xy");
  EXPECT_EQ(Render("%% set a 3 %%%% set a a %%%% a %%"), "3");
  EXPECT_EQ(Render("%% set a 1 %%%% set a a & a & a %%%% a %%"), "111");
  EXPECT_EQ(Render("%% set a 1 %%%% set a a & (\"-\" & a) %%%% a %%"), "1-1");
}

// --- Macros -----------------------------------------------------------------

TEST(MacroCalls, UseFindsMacrosOfTheTemplateAndItsParents) {
  const std::string t =
      "%% macro page %%[%% use part %%]%% macro part %%inner%% endmacro %%"
      "%% endmacro %%%% macro part %%outer%% endmacro %%"
      "%% macro other %%(%% use part %%)%% endmacro %%"
      "%% use page %%%% use other %%%% use missing %%.";
  EXPECT_EQ(Render(t), "[inner](outer).");
}

TEST(MacroCalls, NestingPast50Stops) {
  std::string out = Render("%% macro r %%<%% use r %%>%% endmacro %%%% use r %%");
  EXPECT_EQ(out, std::string(50, '<') +
                     "<b>%% Macro calls nested too deep %%</b>" +
                     std::string(50, '>'));
}

TEST(MacroCalls, OtherLayersShareTheNestingCount) {
  ExprContext ctx;
  for (int i = 0; i < 49; ++i) ASSERT_TRUE(ctx.EnterNesting());
  EXPECT_EQ(quiltest::Render("%% macro m %%in%% endmacro %%[%% use m %%]", ctx),
            "[in]");
  ASSERT_TRUE(ctx.EnterNesting());
  EXPECT_FALSE(ctx.EnterNesting());
  EXPECT_EQ(quiltest::Render("%% macro m %%in%% endmacro %%[%% use m %%]", ctx),
            "[<b>%% Macro calls nested too deep %%</b>]");
  ctx.LeaveNesting();
  EXPECT_EQ(ctx.MacroDepth(), 49);
}

TEST(MacroCalls, EvalCountsAsNesting) {
  std::string out = Render("%% set s \"s.eval\" %%%% s.eval %%");
  EXPECT_EQ(out, "<b>%% Macro calls nested too deep %%</b>");
}

TEST(MacroCalls, HookFindsSiteMacros) {
  static TemplateRef site;
  site = TemplateParse(StFromView("%% macro banner %%BANNER%% endmacro %%"));
  ExprHooks hooks;
  hooks.macroLookup = [](ExprContext&, const St& name) {
    return site->FindMacro(name.View());
  };
  ExprSetHooks(hooks);
  EXPECT_EQ(Render("%% use banner %%|%% use (\"ban\" & \"ner\") %%"),
            "BANNER|BANNER");
  ExprSetHooks(ExprHooks());
  site = TemplateRef();
}

// --- Methods and arguments --------------------------------------------------

TEST(Methods, SurplusArgumentsAreDroppedAndDefaultsFilled) {
  EXPECT_EQ(Value("\"abcdef\".substr(2)"), "cdef");
  EXPECT_EQ(Value("\"abcdef\".substr(2, 3, 99, 100)"), "cde");
  EXPECT_EQ(Value("\"a,b\".head"), "a");        // default separator ","
  EXPECT_EQ(Value("\"a b\".head(\" \")"), "a");
  EXPECT_EQ(Value("\"a,b\".split"), "a");       // alias
  EXPECT_EQ(Value("\"abc\".substring(1,1)"), "b");
  EXPECT_EQ(Value("\"x\".toUpper(1, 2, 3) & \"y\""), "Xy");
}

TEST(Methods, ChainsAndReceiversFromExpressions) {
  EXPECT_EQ(Value("\" a \".trim.toUpper.count"), "1");
  EXPECT_EQ(Value("(\"ab\" & \"cd\").substr(1,2)"), "bc");
  EXPECT_EQ(Value("12345.intWithCommas"), "12,345");
  EXPECT_EQ(Value("\"abc\".substr( )"), "abc");
}

TEST(Methods, DeepExpressionsGrowTheStack) {
  // Forty pending operands, then a keyword without arguments on top.
  std::string expr, want;
  for (int i = 0; i < 40; ++i) expr += "\"a\" & (", want += "a";
  expr += "lf";
  for (int i = 0; i < 40; ++i) expr += ")";
  EXPECT_EQ(Value(expr), want + "\n");
}

TEST(Methods, ArgumentsSurviveNestedEvaluation) {
  // The argument is read after the receiver's own evaluation grew the stack.
  EXPECT_EQ(Render("%% set e \"1+2\" %%%% e.eval.substr(0, 1 + 0) %%"), "3");
}

// --- Keywords without a handler ---------------------------------------------

TEST(Unavailable, KeywordsOfOtherLayersGiveNothingAndAreNoted) {
  ExprContext ctx;
  EXPECT_EQ(quiltest::Render("[%% userName %%][%% \"x\".userName(1) & 1 %%]"
                             "[%% user.colour %%]%% set site.x 1 %%",
                             ctx),
            "[][1][]");
  std::vector<std::string> names;
  for (int16_t code : ctx.Unavailable()) names.push_back(ExprKeywordByCode(code).name);
  EXPECT_EQ(names, (std::vector<std::string>{"userName", ".userName", "user", "site"}));
}

TEST(Unavailable, RegisteredHandlersAndFieldHooksTakeOver) {
  static std::map<std::string, std::string> fields;
  ExprHooks hooks;
  hooks.fieldGet = [](ExprContext&, ExprKwArg, const St& name) {
    return StFromView(fields[name.Str()]);
  };
  hooks.fieldSet = [](ExprContext&, ExprKwArg, const St& name, St value) {
    fields[name.Str()] = value.Str();
  };
  ExprSetHooks(hooks);
  const int code = ExprKeywordLookup("userName")->code;
  ExprKeywordFn saved = ExprKeywordHandler(code);
  int32_t savedSelector = ExprKeywordSelector(code);
  ASSERT_TRUE(ExprKeywordRegister("userName", [](ExprCall& c) {
    c.Return(StFromView("Ann"));
  }));
  EXPECT_FALSE(ExprKeywordRegister("noSuchKeyword", nullptr));
  EXPECT_EQ(Render("%% set user.colour \"red\" %%%% userName %%:"
                   "%% userField.user_colour %%"),
            "Ann:red");
  EXPECT_EQ(fields["user_colour"], "red");
  ExprKeywordRegisterArg("userName", saved, savedSelector);
  ExprSetHooks(ExprHooks());
}

TEST(Unavailable, BroadcastAndScriptsGoToTheirHooks) {
  static std::string said, compiled;
  said.clear();
  compiled.clear();
  EXPECT_EQ(Render("a%% broadcast \"hi\" & 1 %%b"), "ab");  // no chat: dropped
  ExprHooks hooks;
  hooks.broadcast = [](ExprContext&, St text) { said += text.Str() + ";"; };
  hooks.scriptCompile = [](Template&, St source) { compiled += source.Str(); };
  ExprSetHooks(hooks);
  EXPECT_EQ(Render("a%% broadcast \"hi\" & 1 %%b%% function f() { } %%c"), "abc");
  ExprSetHooks(ExprHooks());
  EXPECT_EQ(said, "hi1;");
  EXPECT_EQ(compiled, "function f() { }\n");
  EXPECT_EQ(Render("%% broadcast %%"), ErrorOut("Missing operand", "broadcast", ""));
}

// --- Guards -----------------------------------------------------------------

TEST(Guards, SizeLimitStopsRunawayGrowth) {
  ExprContext ctx(100000);
  ctx.SetSizeLimit(1 << 16);
  std::string out = quiltest::Render(
      "%% set s \"ab\" %%%% while 1 %%%% set s s & s %%%% endwhile %%x", ctx);
  EXPECT_EQ(out, "<b>%% Output limit reached %%</b>");
  EXPECT_TRUE(ctx.Stopped());
}

TEST(Guards, StepLimitStopsTheWalk) {
  ExprContext ctx(1 << 30);
  ctx.SetStepLimit(1000);
  std::string out = quiltest::Render(
      "%% while 1 %%%% whileLimitReset %%%% endwhile %%after", ctx);
  EXPECT_EQ(out, "");
  EXPECT_TRUE(ctx.Stopped());
}

TEST(Guards, QuitHookStopsTheWalk) {
  ExprHooks hooks;
  hooks.quit = [] { return true; };
  ExprSetHooks(hooks);
  EXPECT_EQ(Render("a%% 1 %%b%% 2 %%c"), "a");
  ExprSetHooks(ExprHooks());
}

TEST(Guards, YieldEveryHundredBytes) {
  static int yields;
  yields = 0;
  ExprHooks hooks;
  hooks.yield = [] { ++yields; };
  ExprSetHooks(hooks);
  Render("%% set i 0 %%%% while i < 100 %%%% set i i + 1 %%0123456789%% endwhile %%",
         1000);
  ExprSetHooks(ExprHooks());
  EXPECT_GE(yields, 9);
  EXPECT_LE(yields, 11);
}

// --- Output and the context -------------------------------------------------

TEST(Context, ClearOutputAndBuffers) {
  EXPECT_EQ(Render("gone%% clearOutput %%kept"), "kept");
  TemplateRef t = TemplateParse(StFromView("x%% 1 %%"));
  ExprContext ctx;
  Buf buf;
  BufOpenSmall(buf);
  BufAddC(buf, "head:");
  BufEvalTemplate(buf, t, ctx);
  EXPECT_EQ(buf.View(), "head:x1");
  BufEvalTemplate(buf, TemplateRef(), ctx);
  EXPECT_EQ(buf.View(), "head:x1");
  // clearOutput takes back only what the template wrote.
  BufEvalTemplate(buf, TemplateParse(StFromView("gone%% clearOutput %%kept")), ctx);
  EXPECT_EQ(BufClose(buf), "head:x1kept");
}

TEST(Context, PageValuesAndForm) {
  ExprContext ctx;
  ExprContextSetErrTitle(ctx, StFromView("T"));
  ExprContextSetErrMsg(ctx, StFromView("M"));
  ExprContextSetActionPath(ctx, StFromView("/p"));
  ExprContextSetPageType(ctx, TemplatePageTypeFromName("login"));
  ExprContextSetLoginType(ctx, 1);
  ExprContextSetRegisterType(ctx, 6);
  ExprContextAddFormValue(ctx, StFromView("name"), StFromView("Bob"));
  ExprContextAddFormValue(ctx, StFromView("c"), StFromView("1"));
  ExprContextAddFormValue(ctx, StFromView("c"), StFromView("2"));
  EXPECT_EQ(quiltest::Render(
                "%% errorTitle %%/%% error %%/%% actionPath %%/%% pageIs login %%"
                "%% pageIs greeting %%%% loginIs failure %%%% registerIs badEmail %%/"
                "%% form name %%%% getValue(\"na\" & \"me\") %%%% form nope %%/"
                "%% hasValue name %%%% hasValue nope %%/%% getAllValues c %%",
                ctx),
            "T/M//p/1011/BobBob/10/1,2");
}

TEST(Context, CrLfAndPad) {
  EXPECT_EQ(Render("%% cr & lf & crlf %%"), "\r\n\r\n");
  EXPECT_EQ(Render("ab%% pad 5 %%|\nx%% pad 3 %%|%% pad 1 %%|"), "ab   |\nx  ||");
}
