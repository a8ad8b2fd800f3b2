// Cutting template texts into pieces and statements into expressions, and
// every parse error text.
#include <gtest/gtest.h>

#include <string>

#include "Template.h"
#include "render.h"

using namespace quil;
using quiltest::ErrorOut;
using quiltest::Render;
using quiltest::Value;

namespace {

std::string Literals(const TemplateRef& t) {
  std::string out;
  for (const TemplatePiece& p : t->Pieces()) {
    out += "[";
    out += t->Literal(p);
    out += "]";
  }
  return out;
}

}  // namespace

// --- Brackets ---------------------------------------------------------------

TEST(Brackets, EachPieceHoldsAStatementAndTheTextAfterIt) {
  TemplateRef t = TemplateParse(StFromView("T0%% 1 %%T1%% 2 %%T2"));
  ASSERT_EQ(t->Pieces().size(), 3u);
  EXPECT_EQ(t->Pieces()[0].expr.kind, kExprNone);
  EXPECT_EQ(t->Pieces()[1].expr.kind, kExprPlain);
  EXPECT_EQ(Literals(t), "[T0][T1][T2]");
  EXPECT_EQ(t->RefCount(), 1);
}

TEST(Brackets, OneLineBreakAfterABracketIsSwallowed) {
  EXPECT_EQ(Render("a%%1%%\r\nb"), "a1b");
  EXPECT_EQ(Render("a%%1%%\nb"), "a1b");
  EXPECT_EQ(Render("a%%1%%\rb"), "a1b");
  EXPECT_EQ(Render("a%%1%%\r\n\r\nb"), "a1\r\nb");
  EXPECT_EQ(Render("a%%1%%\n\nb"), "a1\nb");
  EXPECT_EQ(Render("a%%1%%\n\r\nb"), "a1\r\nb");
}

TEST(Brackets, SinglePercentIsLiteral) {
  EXPECT_EQ(Render("50% off %%1%% 100%"), "50% off 1 100%");
  EXPECT_EQ(Render("%"), "%");
  EXPECT_EQ(Render("a%b%c"), "a%b%c");
}

TEST(Brackets, UnclosedBracketTakesTheRest) {
  TemplateRef t = TemplateParse(StFromView("x %% \"a\" & \"b\" y z"));
  ASSERT_EQ(t->Pieces().size(), 2u);
  EXPECT_EQ(Render("x %% \"a\" & \"b\"  "), "x ab");
  // The rest, text and all, is one statement: here a broken one.
  EXPECT_EQ(Render("x %% 1 y z"), "x " + ErrorOut("Missing operator", "1 ", "y z"));
  EXPECT_EQ(Render("x %%"), "x ");
}

TEST(Brackets, EmptyBracketWritesNothing) {
  EXPECT_EQ(Render("a%%%%b%%  %%c"), "abc");
}

TEST(Brackets, FindNextReportsPositions) {
  St text = StFromView("ab%%x%%\r\ncd%%y");
  TemplateBracket b;
  ASSERT_TRUE(TemplateParseNext(text, 0, false, &b));
  EXPECT_EQ(b.litEnd, 2);
  EXPECT_EQ(b.stmtOff, 4);
  EXPECT_EQ(b.stmtLen, 1);
  EXPECT_EQ(b.next, 9);
  ASSERT_TRUE(TemplateParseNext(text, b.next, false, &b));
  EXPECT_EQ(b.litEnd, 11);
  EXPECT_EQ(b.stmtLen, 1);
  EXPECT_EQ(b.next, text.Length());
  EXPECT_FALSE(TemplateParseNext(text, b.next, false, &b));
  EXPECT_FALSE(TemplateParseNext(StFromView("a % b %"), 0, false, &b));
}

TEST(Brackets, JapaneseScanSkipsDoubleByteCharacters) {
  // In JIS the two bytes "%%" can be halves of characters.
  std::string jis = "\x1b$B%%%%\x1b(B%%1%%";
  TemplateRef t = TemplateParse(StFromView(jis), St(), St(), true);
  ExprContext ctx;
  EXPECT_EQ(TemplateProcess(t, ctx).Str(), "\x1b$B%%%%\x1b(B1");
  TemplateBracket b;
  ASSERT_TRUE(TemplateParseNext(StFromView(jis), 0, false, &b));
  EXPECT_EQ(b.litEnd, 3);  // without the japanese scan
  // EUC and Shift-JIS bytes are never "%": text right before a bracket stays.
  std::string euc = "\xa4\xe0%%1%%\x82\xa0%%2%%";
  t = TemplateParse(StFromView(euc), St(), St(), true);
  ExprContext ctx2;
  EXPECT_EQ(TemplateProcess(t, ctx2).Str(), "\xa4\xe0" "1\x82\xa0" "2");
}

// --- Macros -----------------------------------------------------------------

TEST(Macros, RegisteredInTheEnclosingTemplate) {
  TemplateRef t = TemplateParse(StFromView(
      "top%% macro Outer %%o1%% macro inner %%i%% endmacro %%o2"
      "%% endmacro %%after"));
  EXPECT_EQ(Literals(t), "[top][after]");
  TemplateRef outer, inner;
  ASSERT_TRUE(TemplateLookup(t, StFromView("OUTER"), &outer));
  EXPECT_EQ(outer->Name(), "Outer");
  EXPECT_EQ(outer->Parent(), t.get());
  EXPECT_EQ(Literals(outer), "[o1][o2]");
  EXPECT_FALSE(TemplateLookup(t, StFromView("inner"), &inner));
  ASSERT_TRUE(TemplateLookup(outer, StFromView("Inner"), &inner));
  EXPECT_EQ(Literals(inner), "[i]");
  EXPECT_EQ(inner->Text().Rep(), t->Text().Rep());  // one shared text
}

TEST(Macros, ALaterDefinitionReplacesAnEarlierOne) {
  EXPECT_EQ(Render("%% macro m %%one%% endmacro %%%% macro M %%two%% endmacro %%"
                   "%% use m %%"),
            "two");
}

TEST(Macros, EndmacroOutsideAMacroIsIgnored) {
  EXPECT_EQ(Render("a%% endmacro %%b"), "ab");
}

TEST(Macros, MacroOutlivesItsParent) {
  TemplateRef m;
  {
    TemplateRef t = TemplateParse(StFromView("%% macro m %%text%% endmacro %%"));
    ASSERT_TRUE(TemplateLookup(t, StFromView("m"), &m));
  }
  EXPECT_EQ(m->Parent(), nullptr);
  ExprContext ctx;
  EXPECT_EQ(TemplateProcess(m, ctx).Str(), "text");
}

TEST(Macros, DeepNestingIsFreedWithoutRecursion) {
  std::string text;
  for (int i = 0; i < 200000; ++i) text += "%%macro m%%";
  TemplateRef t = TemplateParse(StFromView(text));
  EXPECT_TRUE(t->HasMacros());
  TemplateDestroy(t);
  EXPECT_FALSE(t);
}

TEST(Macros, IsEmpty) {
  EXPECT_TRUE(TemplateIsEmpty(TemplateRef()));
  EXPECT_TRUE(TemplateIsEmpty(TemplateParse(StCreate())));
  EXPECT_FALSE(TemplateIsEmpty(TemplateParse(StFromView(" "))));
  EXPECT_FALSE(TemplateIsEmpty(TemplateParse(StFromView("%%1%%"))));
}

// --- Lexical rules and operators --------------------------------------------

TEST(Lexical, Literals) {
  EXPECT_EQ(Value("\"say \"\"hi\"\"\""), "say \"hi\"");
  EXPECT_EQ(Value("'A'"), "65");
  EXPECT_EQ(Value("'AB'"), std::to_string(65 * 256 + 66));
  EXPECT_EQ(Value("''''"), "39");
  EXPECT_EQ(Value("007"), "7");
  EXPECT_EQ(Value("\"unterminated"), "unterminated");
  EXPECT_EQ(Value("\"no \\n escapes\""), "no \\n escapes");
}

TEST(Lexical, CommentsEndTheStatement) {
  EXPECT_EQ(Value("1 + 2 # three"), "3");
  EXPECT_EQ(Value("1 + 2 // three"), "3");
  EXPECT_EQ(Value("\"a#b//c\""), "a#b//c");
  EXPECT_EQ(Value("# nothing"), "");
}

TEST(Lexical, WordsThatAreNotKeywordsAreVariables) {
  EXPECT_EQ(Value("someName"), "");
  EXPECT_EQ(Value("123abc"), "");  // does not convert: a variable
  EXPECT_EQ(Value("99999999999"), "");
}

TEST(Operators, PrecedenceAndAssociativity) {
  EXPECT_EQ(Value("1 + 2 * 3"), "7");
  EXPECT_EQ(Value("(1 + 2) * 3"), "9");
  EXPECT_EQ(Value("10 - 4 - 3"), "3");
  EXPECT_EQ(Value("100 / 10 / 5"), "2");
  // "&" binds as tightly as "*": 1 + ("2" & "3").
  EXPECT_EQ(Value("1 + \"2\" & \"3\""), "24");
  EXPECT_EQ(Value("2 * 3 & 4"), "64");
  EXPECT_EQ(Value("-2 * 3"), "-6");
  EXPECT_EQ(Value("- -2"), "2");
  EXPECT_EQ(Value("!0 + 1"), "2");
  EXPECT_EQ(Value("1 < 2 == 1"), "1");
  EXPECT_EQ(Value("1 || 0 && 0"), "1");
  EXPECT_EQ(Value("\" x \".trim & \"y\""), "xy");
  EXPECT_EQ(Value("-\"5\".toUpper"), "-5");
}

// --- Errors -----------------------------------------------------------------

TEST(ParseErrors, ExpressionMessagesShowThePositionInBold) {
  EXPECT_EQ(Value("1 2"), ErrorOut("Missing operator", "1 ", "2"));
  EXPECT_EQ(Value("1 +"), ErrorOut("Missing operand", "1 +", ""));
  EXPECT_EQ(Value("1 + * 2"), ErrorOut("Missing operand", "1 + ", "* 2"));
  EXPECT_EQ(Value("x = 1"), ErrorOut("Missing operator", "x ", "= 1"));
  EXPECT_EQ(Value("1 | 2"), ErrorOut("Missing operator", "1 ", "| 2"));
  EXPECT_EQ(Value("(1 + 2"), ErrorOut("Missing right paren", "(1 + 2", ""));
  EXPECT_EQ(Value("1 + 2)"), ErrorOut("Missing left paren", "1 + 2", ")"));
  EXPECT_EQ(Value("\"a\".nosuch"), ErrorOut("Missing function", "&quot;a&quot;", ".nosuch"));
  EXPECT_EQ(Value("\"a\".toURL2"), ErrorOut("Missing function", "&quot;a&quot;", ".toURL2"));
  EXPECT_EQ(Value("()"), ErrorOut("Missing operand", "(", ")"));
  EXPECT_EQ(Value("1, 2"), ErrorOut("Missing operator", "1", ", 2"));
  EXPECT_EQ(Value("\"a\".substr(1,,2)"),
            ErrorOut("Missing operand", "&quot;a&quot;.substr(1,", ",2)"));
}

TEST(ParseErrors, StatementMessages) {
  EXPECT_EQ(Render("%% else %%"), ErrorOut("Missing IF for ELSE", "else", ""));
  EXPECT_EQ(Render("%% elseif 1 %%"),
            ErrorOut("Missing IF for ELSE", "elseif", " 1"));
  EXPECT_EQ(Render("%% endif %%"), ErrorOut("Missing IF for ENDIF", "endif", ""));
  EXPECT_EQ(Render("%% break %%"), ErrorOut("Missing WHILE for BREAK", "break", ""));
  EXPECT_EQ(Render("%% continue %%"),
            ErrorOut("Missing WHILE for CONTINUE", "continue", ""));
  EXPECT_EQ(Render("%% endwhile %%"),
            ErrorOut("Missing WHILE for ENDWHILE", "endwhile", ""));
  EXPECT_EQ(Render("%% set %%"), ErrorOut("No variable to set", "set", ""));
  EXPECT_EQ(Render("%% set userName 1 %%"),
            ErrorOut("Illegal variable", "set ", "userName 1"));
  EXPECT_EQ(Render("%% set user 1 %%"), ErrorOut("Illegal variable", "set ", "user 1"));
  EXPECT_EQ(Render("%% set x %%"), ErrorOut("Missing operand", "set x", ""));
  EXPECT_EQ(Render("%% if %%"), ErrorOut("Missing operand", "if", ""));
}

TEST(ParseErrors, TheStatementIsEscaped) {
  EXPECT_EQ(Value("\"<b>\" \"&\""),
            ErrorOut("Missing operator", "&quot;&lt;b&gt;&quot; ", "&quot;&amp;&quot;"));
}

TEST(ParseErrors, ErrorsDoNotStopTheRestOfTheTemplate) {
  EXPECT_EQ(Render("a%% 1 + %%b%% 2 %%c"),
            "a" + ErrorOut("Missing operand", "1 +", "") + "b2c");
}

TEST(ParseErrors, WordArguments) {
  EXPECT_EQ(Value("pageIs nowhere"), ErrorOut("Unknown page type", "pageIs ", "nowhere"));
  EXPECT_EQ(Value("pageIs"), ErrorOut("Unknown page type", "pageIs", ""));
  EXPECT_EQ(Value("loginIs odd"), ErrorOut("Unknown login type", "loginIs ", "odd"));
  EXPECT_EQ(Value("registerIs odd"),
            ErrorOut("Unknown register type", "registerIs ", "odd"));
  EXPECT_EQ(Value("userFolderSortBy odd"),
            ErrorOut("Unknown folder sort sequence", "userFolderSortBy ", "odd"));
  EXPECT_EQ(Value("pad x"),
            ErrorOut("Must be \"pad toColumn\" (e.g. \"pad 50\")",
                     "pad ", "x"));
  EXPECT_EQ(Value("lastLogin > 1/1/2000"),
            ErrorOut("Must be \"lastLogin < MM/DD/YYYY.HH:MM:SS\"",
                     "lastLogin ", "&gt; 1/1/2000"));
  EXPECT_EQ(Value("lastLogin < 13/40/2000"),
            ErrorOut("Must be \"lastLogin < MM/DD/YYYY.HH:MM:SS\"",
                     "lastLogin &lt; ", "13/40/2000"));
}

TEST(ParseErrors, WordArgumentsThatParse) {
  TemplateRef t = TemplateParse(StFromView(
      "%% pageIs noNewMesssages %%%% loginIs(noSlots) %%"
      "%% lastLogin < 12/31/1999.23:59:59 %%%% userFolderSortBy alphabetically %%"));
  for (const TemplatePiece& p : t->Pieces())
    EXPECT_NE(p.expr.kind, kExprError);
  const ExprItem& page = t->Items()[0];
  EXPECT_EQ(page.value, TemplatePageTypeFromName("noNewMesssages"));
  EXPECT_EQ(page.value, 50);
  EXPECT_EQ(t->Items()[1].value, 2);  // noSlots
  EXPECT_EQ(t->Items()[2].text, "1999-12-31-23.59.59");
}

// --- Set --------------------------------------------------------------------

TEST(SetParse, FieldPrefixesAreAddedOnce) {
  TemplateRef t = TemplateParse(StFromView(
      "%% set user.colour 1 %%%% set userField.user_colour 1 %%"
      "%% set path.x 1 %%%% set site.GLOBAL_x 1 %%%% set author.y 1 %%"
      "%% set session.z 1 %%"));
  const auto& p = t->Pieces();
  ASSERT_EQ(p.size(), 7u);
  EXPECT_EQ(p[1].expr.kind, kExprSetUser);
  EXPECT_EQ(p[1].expr.text, "user_colour");
  EXPECT_EQ(p[2].expr.text, "user_colour");
  EXPECT_EQ(p[3].expr.kind, kExprSetPath);
  EXPECT_EQ(p[3].expr.text, "path_x");
  EXPECT_EQ(p[4].expr.kind, kExprSetSite);
  EXPECT_EQ(p[4].expr.text, "GLOBAL_x");
  EXPECT_EQ(p[5].expr.kind, kExprSetAuthor);
  EXPECT_EQ(p[5].expr.text, "user_y");
  EXPECT_EQ(p[6].expr.kind, kExprSetSession);
  EXPECT_EQ(p[6].expr.text, "z");
}

TEST(SetParse, AppendToItselfIsRecognised) {
  TemplateRef t = TemplateParse(StFromView(
      "%% set s s & \"x\" %%%% set s s & \"x\" & \"y\" %%%% set s t & \"x\" %%"
      "%% set s s & (\"x\" & s) %%"));
  const auto& p = t->Pieces();
  EXPECT_TRUE(p[1].expr.appendInPlace);
  EXPECT_FALSE(p[2].expr.appendInPlace);
  EXPECT_FALSE(p[3].expr.appendInPlace);
  EXPECT_TRUE(p[4].expr.appendInPlace);
}

// --- Script functions -------------------------------------------------------

TEST(Functions, TextIsCollectedUntilTheBracesBalance) {
  TemplateRef t = TemplateParse(StFromView(
      "a%% function f(x) { %%<i>\"q\"</i>%% if (x) { %%%%= x + 1 %%%% } } %%b"
      "%% function g() { return '}'; } %%c"));
  EXPECT_EQ(t->ScriptSource(),
            "function f(x) {\n"
            "response.append(\"\\x3ci>\\\"q\\\"\\x3c/i>\");\n"
            "if (x) {\n"
            "response.append(\"\"+( x + 1));\n"
            "} }\n"
            "function g() { return '}'; }\n");
  // Without the script binding each function's place says so in the page.
  ExprContext ctx;
  const std::string none = "<b>%% Server-side scripts are not available %%</b>";
  EXPECT_EQ(TemplateProcess(t, ctx).Str(), "a" + none + "b" + none + "c");
}

TEST(Functions, OpenFunctionIsClosedAtTheEnd) {
  TemplateRef t = TemplateParse(StFromView("%% function f() { { %%text"));
  EXPECT_EQ(t->ScriptSource(),
            "function f() { {\nresponse.append(\"text\");\n}\n}\n");
  // "function" not followed by a blank or brace is a variable.
  EXPECT_EQ(Render("%% function %%"), "");
}
