// Names of people: canonical form, the two orders, and the suffix and
// particle tables.
#include <gtest/gtest.h>

#include "St.h"
#include "st_test_util.h"

namespace quil {
namespace {

using quiltest::S;
using StNameTest = quiltest::StTest;

TEST_F(StNameTest, Canonical) {
  EXPECT_EQ(StNameCanonical(S("  John \t Smith ,Jr. ")), "John Smith, Jr.");
  EXPECT_EQ(StNameCanonical(S("Smith,John")), "Smith, John");
  EXPECT_EQ(StNameCanonical(S("Smith ,  ")), "Smith,");
  EXPECT_EQ(StNameCanonical(S("\r\n")), "");
  EXPECT_TRUE(quiltest::KeepsBlock("Smith, John", StNameCanonical));
}

TEST_F(StNameTest, ToFirstLast) {
  EXPECT_EQ(StNameToFirstLast(S("Smith, John")), "John Smith");
  EXPECT_EQ(StNameToFirstLast(S("Smith, Jr., John")), "John Smith, Jr.");
  EXPECT_EQ(StNameToFirstLast(S("Smith,Jr.,John  Paul")),
            "John Paul Smith, Jr.");
  EXPECT_EQ(StNameToFirstLast(S("Smith, Jr.")), "Smith, Jr.")
      << "only suffixes after commas";
  EXPECT_EQ(StNameToFirstLast(S("Smith, III, PhD")), "Smith, III, PhD");
  EXPECT_EQ(StNameToFirstLast(S("Smith, jr, John")), "jr, John Smith")
      << "suffixes are compared exactly";
  EXPECT_EQ(StNameToFirstLast(S("  John   Smith ")), "John Smith");
  EXPECT_EQ(StNameToFirstLast(S("Yamada, Taro"), true), "Yamada Taro");
  EXPECT_EQ(StNameToFirstLast(St()), "");
}

TEST_F(StNameTest, ToLastCommaFirst) {
  EXPECT_EQ(StNameToLastCommaFirst(S("John Smith")), "Smith, John");
  EXPECT_EQ(StNameToLastCommaFirst(S("John Paul Smith")), "Smith, John Paul");
  EXPECT_EQ(StNameToLastCommaFirst(S("Ludwig van Beethoven")),
            "van Beethoven, Ludwig");
  EXPECT_EQ(StNameToLastCommaFirst(S("Karl von Van Dyke")),
            "von Van Dyke, Karl");
  EXPECT_EQ(StNameToLastCommaFirst(S("von Neumann")), "Neumann, von")
      << "at least one given name stays";
  EXPECT_EQ(StNameToLastCommaFirst(S("John Smith, Jr.")), "Smith, Jr., John");
  EXPECT_EQ(StNameToLastCommaFirst(S("John Smith Jr")), "Smith Jr, John");
  EXPECT_EQ(StNameToLastCommaFirst(S("Smith, John")), "Smith, John");
  EXPECT_EQ(StNameToLastCommaFirst(S("Madonna")), "Madonna");
  EXPECT_EQ(StNameToLastCommaFirst(S("Yamada Taro"), true), "Yamada, Taro");
}

TEST_F(StNameTest, OrdersRoundTrip) {
  for (const char* name :
       {"John Smith", "John Paul Smith", "Ludwig van Beethoven",
        "John Smith, Jr.", "John Smith III, PhD", "John Smith Jr", "Madonna"}) {
    St lastFirst = StNameToLastCommaFirst(S(name));
    EXPECT_EQ(StNameToFirstLast(lastFirst), name) << lastFirst.Str();
  }
}

TEST_F(StNameTest, FirstAndLastName) {
  EXPECT_EQ(StFirstName(S("John Smith, Jr.")), "John");
  EXPECT_EQ(StLastName(S("John Smith, Jr.")), "Smith");
  EXPECT_EQ(StLastName(S("Smith, Jr., John")), "Smith");
  EXPECT_EQ(StLastName(S("Smith Jr, John")), "Smith");
  EXPECT_EQ(StFirstName(S("van Beethoven, Ludwig")), "Ludwig");
  EXPECT_EQ(StLastName(S("Ludwig van Beethoven")), "van Beethoven");
  EXPECT_EQ(StFirstName(S("Madonna")), "");
  EXPECT_EQ(StLastName(S("Madonna")), "Madonna");
  EXPECT_EQ(StLastName(S("Yamada Taro"), true), "Yamada");
  EXPECT_EQ(StFirstName(S("Yamada Taro"), true), "Taro");
}

TEST_F(StNameTest, IndexTests) {
  St name = S("Ludwig van Beethoven, PhD");
  EXPECT_TRUE(StNameIxIsPrefix(name, 7));
  EXPECT_FALSE(StNameIxIsPrefix(name, 0));
  EXPECT_FALSE(StNameIxIsPrefix(S("John van"), 5)) << "nothing follows";
  EXPECT_TRUE(StNameIxIsSuffix(name, 22));
  EXPECT_FALSE(StNameIxIsSuffix(name, 21)) << "the blank is part of the field";
  EXPECT_TRUE(StNameIxIsSuffix(S("Smith, Jr, John"), 7));
  EXPECT_FALSE(StNameIxIsSuffix(S("Smith, Jrx"), 7));
  EXPECT_FALSE(StNameIxIsSuffix(name, 99));
}

}  // namespace
}  // namespace quil
