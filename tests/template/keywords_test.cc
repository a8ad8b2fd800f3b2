// The keyword table: counts, codes, aliases, kinds and look-up.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "Expr.h"
#include "render.h"

using namespace quil;

TEST(KeywordTable, HoldsEveryNameAndCode) {
  auto table = ExprKeywords();
  ASSERT_EQ(table.size(), size_t(kExprKeywordNames));
  EXPECT_EQ(kExprKeywordNames, 814);
  std::set<int> codes;
  std::set<std::string> names;
  for (const ExprKeyword& k : table) {
    codes.insert(k.code);
    std::string upper;
    for (const char* p = k.name; *p; ++p) upper += char(toupper(*p));
    EXPECT_TRUE(names.insert(upper).second) << "duplicate name " << k.name;
  }
  EXPECT_EQ(codes.size(), size_t(kExprKeywordCodes));
  EXPECT_EQ(*codes.begin(), 0);
  EXPECT_EQ(*codes.rbegin(), 803);
}

TEST(KeywordTable, CodesRiseInTableOrderAndAliasesShare) {
  std::map<int, std::vector<std::string>> byCode;
  int last = -1;
  for (const ExprKeyword& k : ExprKeywords()) {
    if (byCode.count(k.code) == 0) {
      EXPECT_EQ(k.code, last + 1) << k.name;
      last = k.code;
    }
    byCode[k.code].push_back(k.name);
  }
  std::set<std::pair<std::string, std::string>> aliases;
  for (auto& [code, names] : byCode)
    if (names.size() > 1) {
      ASSERT_EQ(names.size(), 2u);
      aliases.insert({names[0], names[1]});
    }
  std::set<std::pair<std::string, std::string>> want = {
      {"noop", "nop"},
      {"userIsHostOrSysop", "userIsSysopOrHost"},
      {"authorName", "pathCreatorName"},
      {"authorLine2", "pathCreatorLine2"},
      {"authorInfoUrl", "pathCreatorUrl"},
      {"pathIsMessage", "pathIsResponse"},
      {"form", "getValue"},
      {"dateObj", "dateObject"},
      {".head", ".split"},
      {".substr", ".substring"},
  };
  EXPECT_EQ(aliases, want);
  EXPECT_EQ(ExprKeywordLookup("nop")->code, 0);
}

TEST(KeywordTable, MethodsAreTheDottedNames) {
  for (const ExprKeyword& k : ExprKeywords())
    EXPECT_EQ(k.kind == kKwMethod, k.name[0] == '.') << k.name;
}

TEST(KeywordTable, SplitOffCodesStartAt526) {
  // The string, date, user and container methods and the named page
  // fragments footer and editPreferences come from code 526 on.
  EXPECT_GE(ExprKeywordLookup("footer")->code, 526);
  EXPECT_GE(ExprKeywordLookup("editPreferences")->code, 526);
  EXPECT_GE(ExprKeywordLookup(".toURL")->code, 526);
  EXPECT_GE(ExprKeywordLookup(".dateFormat")->code, 526);
  EXPECT_GE(ExprKeywordLookup(".userName")->code, 526);
  EXPECT_GE(ExprKeywordLookup(".scAddField")->code, 526);
  EXPECT_EQ(ExprKeywordLookup(".scGetNameError")->code, 803);
}

TEST(KeywordTable, LookupIgnoresCaseAndNeedsTheDotForMethods) {
  EXPECT_EQ(ExprKeywordLookup("USERNAME"), ExprKeywordLookup("userName"));
  EXPECT_EQ(ExprKeywordLookup(".TOurl"), ExprKeywordLookup(".toURL"));
  EXPECT_EQ(ExprKeywordLookup("toURL"), nullptr);
  EXPECT_EQ(ExprKeywordLookup("notAKeyword"), nullptr);
  EXPECT_EQ(ExprKeywordLookup(""), nullptr);
  EXPECT_STREQ(ExprKeywordByCode(ExprKeywordLookup("getValue")->code).name,
               "form");
}

TEST(KeywordTable, ArgumentKinds) {
  auto kind = [](const char* n) { return ExprKeywordLookup(n)->kind; };
  EXPECT_EQ(kind("use"), kKwText);
  EXPECT_EQ(kind("setPathTitle"), kKwText);
  EXPECT_EQ(kind("setPathMessageId"), kKwText);
  EXPECT_EQ(kind("setPathAddSubfolders"), kKwValue);
  EXPECT_EQ(kind("setPathNoSubfolders"), kKwValue);
  EXPECT_EQ(kind("scTimeOutFlag"), kKwText);
  EXPECT_EQ(kind("pageIs"), kKwWord);
  EXPECT_EQ(kind("lastLogin"), kKwWord);
  EXPECT_EQ(kind("pad"), kKwWord);
  EXPECT_EQ(kind("date"), kKwDate);
  EXPECT_EQ(kind("mostRecentNewMessage"), kKwDate);
  EXPECT_EQ(kind("userField"), kKwScope);
  EXPECT_EQ(kind("session"), kKwScope);
  const ExprKeyword* log = ExprKeywordLookup(".emailLog");
  EXPECT_EQ(log->maxArgs, 2);
  EXPECT_STREQ(log->defaults, "web|warning");
}

TEST(KeywordTable, PackageEntriesBuildAndReleaseIt) {
  EXPECT_EQ(ExprInitRtns(1, 19), 0);
  EXPECT_EQ(ExprInitRtns(2, 19), 0);  // table and local names released
  EXPECT_EQ(TemplateLocalCount(), 0);
  // The next use builds the table again, with the built-in handlers.
  EXPECT_EQ(ExprKeywordLookup("userName")->code,
            ExprKeywordLookup("USERNAME")->code);
  EXPECT_EQ(quiltest::Value("\"ab\".toUpper"), "AB");
}
