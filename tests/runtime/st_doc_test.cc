// Documents and mail: lines, heads, header fields with folding, field value
// items, address lists, MIME parts and nested multipart bodies, byte for
// byte, with CR LF and LF line breaks.
#include "St.h"

#include <gtest/gtest.h>

#include <string>

#include "st_test_util.h"

namespace quil {
namespace {

using quiltest::S;
using StDocTest = quiltest::StTest;

std::string Lf(std::string crlf) {
  std::string out;
  for (char c : crlf)
    if (c != '\r') out += c;
  return out;
}

TEST_F(StDocTest, GetLineAcceptsEveryLineBreak) {
  St doc = S("a\r\nb\nc\rd\r\n\r\ne");
  int32_t ix = 0;
  std::vector<std::string> lines;
  for (St line = StDocGetLine(doc, &ix); !line.IsNil();
       line = StDocGetLine(doc, &ix))
    lines.push_back(line.Str());
  EXPECT_EQ(lines, (std::vector<std::string>{"a", "b", "c", "d", "", "e"}));
  EXPECT_EQ(ix, doc.Length());
  ix = 0;
  EXPECT_TRUE(StDocGetLine(St(), &ix).IsNil());
}

TEST_F(StDocTest, BodyIndexAndMissingBody) {
  EXPECT_EQ(StDocBodyIx(S("A: 1\r\nB: 2\r\n\r\nbody")), 14);
  EXPECT_EQ(StDocBodyIx(S("A: 1\nB: 2\n\nbody")), 11);
  EXPECT_EQ(StDocBodyIx(S("\r\nbody")), 2);           // no head
  EXPECT_EQ(StDocBodyIx(S("A: 1\r\nB: 2\r\n")), 12);  // body missing
  EXPECT_EQ(StToBodyXfm(S("A: 1\r\n\r\nthe body\r\n")), "the body\r\n");
  EXPECT_TRUE(StToBodyXfm(S("A: 1\r\nB: 2")).IsNil());
  EXPECT_TRUE(StToBodyXfm(S("A: 1\r\n\r\n")).IsNil());
  EXPECT_TRUE(StToBodyXfm(St()).IsNil());
  EXPECT_TRUE(StToBodyXfm(S("")).IsNil());
}

const char kMail[] =
    "Received: from a by b;\r\n"
    "\tSat, 5 Dec 2026 10:00:00 +0000\r\n"
    "Subject: a folded\r\n"
    "  subject line\r\n"
    "From: Ann <ann@example.com>\r\n"
    "X-Empty:\r\n"
    "Message-Id: <1@x>\r\n"
    "Subject: second subject\r\n"
    "\r\n"
    "Body-Field: not a header\r\n";

TEST_F(StDocTest, HeaderFieldsUnfoldAndStopAtTheBody) {
  for (std::string mail : {std::string(kMail), Lf(kMail)}) {
    St doc = S(mail);
    SCOPED_TRACE(mail);
    EXPECT_EQ(StDocFieldValue(doc, "subject"), "a folded  subject line");
    EXPECT_EQ(StDocFieldValue(doc, "Received"),
              "from a by b;\tSat, 5 Dec 2026 10:00:00 +0000");
    EXPECT_EQ(StDocFieldValue(doc, "Message-Id:"), "<1@x>");
    St empty = StDocFieldValue(doc, "X-Empty");
    EXPECT_FALSE(empty.IsNil());
    EXPECT_TRUE(empty.Empty());
    EXPECT_TRUE(StDocFieldValue(doc, "Body-Field").IsNil());
    EXPECT_TRUE(StDocFieldValue(doc, "Subj").IsNil());
  }
  EXPECT_EQ(StGetHeader(S(kMail), "SUBJECT"),
            "Subject: a folded\r\n  subject line");
  EXPECT_EQ(StGetHeader(S(Lf(kMail)), "subject"),
            "Subject: a folded\n  subject line");
  EXPECT_EQ(StGetHeader(S("From: x"), "from"), "From: x");  // no line break
  EXPECT_EQ(StBytesDocFieldValue("To : b@c\r\n", 10, "to"), "b@c");
  EXPECT_TRUE(StDocFieldValue(S("\r\nSubject: x\r\n"), "Subject").IsNil());
  EXPECT_TRUE(StGetHeader(St(), "Subject").IsNil());
}

TEST_F(StDocTest, FieldValueItems) {
  St ct =
      S("Multipart/Mixed; boundary=\"a;b \\\"c\\\"\"; charset = iso-8859-1 ;x");
  EXPECT_EQ(StFieldValueItem(ct, ""), "multipart/mixed");
  EXPECT_EQ(StFieldValueItem(ct, "BOUNDARY"), "a;b \"c\"");
  EXPECT_EQ(StFieldValueItem(ct, "charset"), "iso-8859-1");
  EXPECT_TRUE(StFieldValueItem(ct, "x").IsNil());
  EXPECT_TRUE(StFieldValueItem(ct, "name").IsNil());
  EXPECT_EQ(StFieldValueItem(S("attachment; filename=\"a b.gif\""), "filename"),
            "a b.gif");
  EXPECT_EQ(StFieldValueItem(S("  text/PLAIN  "), ""), "text/plain");
  EXPECT_EQ(StFieldValueItem(St(), ""), "");
}

std::vector<std::string> PopAll(std::string list,
                                std::vector<std::string>* names) {
  std::vector<std::string> out;
  St rest = S(list);
  for (;;) {
    St name;
    St a = StEmailPop(&rest, &name);
    if (a.IsNil()) break;
    out.push_back(a.Str());
    names->push_back(name.IsNil() ? "(nil)" : name.Str());
  }
  EXPECT_TRUE(rest.IsNil());
  return out;
}

TEST_F(StDocTest, EmailPopSplitsAddressLists) {
  std::vector<std::string> names;
  EXPECT_EQ(PopAll("a@b.c, Ann Lee <d@e.f>,, \"Doe, J\" <g@h.i> (work, home),"
                   " k@l.m (Kim)",
                   &names),
            (std::vector<std::string>{"a@b.c", "d@e.f", "g@h.i", "k@l.m"}));
  EXPECT_EQ(names,
            (std::vector<std::string>{"(nil)", "Ann Lee", "Doe, J", "(nil)"}));
  names.clear();
  EXPECT_EQ(PopAll("team: x@y.z, <w@v.u>;, last@one", &names),
            (std::vector<std::string>{"x@y.z", "w@v.u", "last@one"}));
  names.clear();
  EXPECT_TRUE(PopAll(" , ;", &names).empty());
  St rest;
  EXPECT_TRUE(StEmailPop(&rest).IsNil());
}

TEST_F(StDocTest, SgmlTagNames) {
  StList tags = StGetSGMLTags(
      S("<P>a <b>bold</B> <!-- <i> --> <!DOCTYPE html> 1 < 2 <a href=x>"
        "<br/><img\nsrc=y></p>"));
  std::vector<std::string> names;
  for (const St& t : tags) names.push_back(t.Str());
  EXPECT_EQ(names, (std::vector<std::string>{"p", "b", "a", "br", "img"}));
  EXPECT_TRUE(StGetSGMLTags(S("<!-- unterminated <b>")).empty());
}

TEST_F(StDocTest, BoundaryIsStableAndAbsentFromContent) {
  St a = StMakeBoundary(S("hello"));
  EXPECT_EQ(a, StMakeBoundary(S("hello")));
  EXPECT_EQ(a.Length(), 7 + 24);
  EXPECT_TRUE(StIsPrefixC(a, "=_Quil_"));
  EXPECT_NE(a, StMakeBoundary(S("hullo")));
  // Content that holds the first attempt's delimiter gets another boundary.
  St trap = S("x\r\n--" + StMakeBoundary(S("")).Str());
  St b = StMakeBoundary(trap);
  EXPECT_EQ(trap.View().find("--" + b.Str()), std::string::npos);
}

TEST_F(StDocTest, BinaryAndMimePartTests) {
  EXPECT_FALSE(StDocIsBinary(S("text\twith\r\nbreaks\f\x1b$B\xe9")));
  EXPECT_TRUE(StDocIsBinary(S(std::string("a\0b", 3))));
  EXPECT_TRUE(StDocIsBinary(S("\x7f")));
  EXPECT_TRUE(StDocIsBinary(S("\x01")));
  EXPECT_TRUE(StDocIsMimePart(S("Content-Type: text/plain\r\n\r\nx")));
  EXPECT_TRUE(StDocIsMimePart(
      S("X-A: 1\n folded\ncontent-transfer-encoding: base64\n")));
  EXPECT_FALSE(StDocIsMimePart(S("Subject: x\r\n\r\nContent-Type: a/b")));
  EXPECT_FALSE(StDocIsMimePart(S("Dear Ann,\r\nContent-Type: a/b\r\n")));
  EXPECT_FALSE(StDocIsMimePart(S("\r\nContent-Type: a/b")));
}

TEST_F(StDocTest, MimePartsByteForByteAndBack) {
  EXPECT_EQ(StDocToMimePartXfm(S("line 1\nline 2"), "text/plain"),
            "Content-Type: text/plain\r\n"
            "Content-Transfer-Encoding: 7bit\r\n\r\n"
            "line 1\r\nline 2");
  EXPECT_EQ(
      StDocToMimePartXfm(S("caf\xe9\r\n"), "text/plain; charset=iso-8859-1"),
      "Content-Type: text/plain; charset=iso-8859-1\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
      "caf=E9\r\n");
  EXPECT_EQ(
      StDocToMimePartXfm(S(std::string("GIF\0", 4)), "image/gif",
                         "a \"b\".gif"),
      "Content-Type: image/gif; name=\"a \\\"b\\\".gif\"\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "Content-Disposition: attachment; filename=\"a \\\"b\\\".gif\"\r\n\r\n"
      "R0lGAA==");
  std::string binary;
  for (int i = 0; i < 300; ++i) binary += char(i * 7);
  St part = StDocToMimePartXfm(S(binary), "application/octet-stream", "x.bin");
  EXPECT_TRUE(StDocIsMimePart(part));
  EXPECT_EQ(StDocToBinaryXfm(part), binary);
  EXPECT_EQ(StDocToBinaryXfm(StDocToMimePartXfm(S("\xe9t\xe9"), "text/plain")),
            "\xe9t\xe9");
  St plain = S("not a part");
  StRep* rep = plain.Rep();
  EXPECT_EQ(StDocToBinaryXfm(std::move(plain)).Rep(), rep);
  EXPECT_EQ(StDocToBinaryXfm(S("Content-Transfer-Encoding: x-uuencode\r\n\r\n" +
                               StUuEncode(S("uu!"), "f").Str())),
            "uu!");
}

const char kNested[] =
    "From: a@b\r\n"
    "Content-Type: multipart/mixed; boundary=\"outer\"\r\n"
    "\r\n"
    "This is a multi-part message in MIME format.\r\n"
    "--outer\r\n"
    "Content-Type: multipart/alternative; boundary=inner\r\n"
    "\r\n"
    "--inner\r\n"
    "\r\n"
    "plain text\r\n"
    "--inner\r\n"
    "Content-Type: text/html; charset=\"utf-8\"\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n"
    "<p>caf=C3=A9</p>\r\n"
    "--inner--\r\n"
    "--outer  \r\n"
    "Content-Type: image/gif; name=pic.gif\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "R0lG\r\n"
    "ODlh\r\n"
    "--outer\r\n"
    "Content-Type: text/plain\r\n"
    "Content-Disposition: attachment; filename=\"notes.txt\"\r\n"
    "\r\n"
    "\r\n"
    "--outer--\r\n"
    "epilogue\r\n";

struct PartView {
  std::string type, charset, name, body;
  int32_t alternative;
  bool operator==(const PartView&) const = default;
};

std::vector<PartView> Parse(const std::string& doc) {
  StEncList parts;
  int32_t n = StEncParse(S(doc), &parts);
  EXPECT_EQ(size_t(n), parts.size());
  std::vector<PartView> out;
  for (const StEncPart& p : parts)
    out.push_back({p.contentType.Str(),
                   p.charset.IsNil() ? "(nil)" : p.charset.Str(),
                   p.fileName.IsNil() ? "(nil)" : p.fileName.Str(),
                   p.body.Str(), p.alternative});
  StEncLiDestroy(parts);
  return out;
}

TEST_F(StDocTest, NestedMultipartWithCrLfAndLf) {
  std::vector<PartView> want = {
      {"text/plain", "(nil)", "(nil)", "plain text", 0},
      {"text/html", "utf-8", "(nil)", "<p>caf\xc3\xa9</p>", 1},
      {"image/gif", "(nil)", "pic.gif", "GIF89a", -1},
      {"text/plain", "(nil)", "notes.txt", "", -1},
  };
  EXPECT_EQ(Parse(kNested), want);
  EXPECT_EQ(Parse(Lf(kNested)), want);
  EXPECT_EQ(StEncBoundary(S(kNested)), "outer");
  EXPECT_TRUE(StEncBoundary(S("Content-Type: text/plain\r\n\r\n")).IsNil());
}

TEST_F(StDocTest, MultipartEdgeCases) {
  // No close delimiter: the last part runs to the end.  A line that only
  // starts with the boundary is content.
  std::vector<PartView> open = Parse(
      "Content-Type: multipart/mixed; boundary=b\n\n--b\n\nx\n--bc\n--b\n\ny\n");
  ASSERT_EQ(open.size(), 2u);
  EXPECT_EQ(open[0].body, "x\n--bc");
  EXPECT_EQ(open[1].body, "y\n");
  // Digest parts default to message/rfc822; a part right after the
  // delimiter with an empty body.
  std::vector<PartView> digest = Parse(
      "Content-Type: multipart/digest; boundary=d\r\n\r\n--d\r\n\r\nSubject: s\r\n"
      "--d\r\n--d--\r\n");
  ASSERT_EQ(digest.size(), 2u);
  EXPECT_EQ(digest[0].type, "message/rfc822");
  EXPECT_EQ(digest[0].body, "Subject: s");
  EXPECT_EQ(digest[1].body, "");
  // A multipart without boundary, a single part, and a missing body.
  EXPECT_EQ(Parse("Content-Type: multipart/mixed\r\n\r\nbody")[0].body, "body");
  EXPECT_EQ(Parse("Subject: x\r\n\r\nhello")[0].type, "text/plain");
  EXPECT_EQ(Parse("Subject: x")[0].body, "");
  // Nesting deeper than the limit stops descending instead of recursing on.
  std::string deep;
  for (int i = 0; i < kStEncMaxDepth + 5; ++i)
    deep += "Content-Type: multipart/mixed; boundary=z" + std::to_string(i) +
            "\r\n\r\n--z" + std::to_string(i) + "\r\n";
  std::vector<PartView> deepParts = Parse(deep);
  ASSERT_EQ(deepParts.size(), 1u);
  EXPECT_EQ(deepParts[0].type, "multipart/mixed");
}

TEST_F(StDocTest, EnclosureClassification) {
  StEncPart part;
  part.contentType = S("text/plain");
  EXPECT_FALSE(StEncIsEnclosure(part));
  part.fileName = S("a.txt");
  EXPECT_TRUE(StEncIsEnclosure(part));
  part.fileName = St();
  part.contentType = S("image/png");
  EXPECT_TRUE(StEncIsEnclosure(part));
}

using StDocDeathTest = StDocTest;

TEST_F(StDocDeathTest, ArgumentChecks) {
  quiltest::BadString bad;
  EXPECT_DEATH(StDocFieldValue(bad.get(), "To"), "StDocFieldValue-- doc");
  EXPECT_DEATH(StEncParse(bad.get(), nullptr), "StEncParse-- doc");
  EXPECT_DEATH(StToJis(bad.get()), "DetectCodeType-- text");
  EXPECT_DEATH(StObjectionable(S("x"), bad.get(), false),
               "StObjectionable-- list");
  char out[80];
  EXPECT_DEATH(UuEncodeLine("", kUuLineBytes + 1, out), "UuEncodeLine-- length");
}

}  // namespace
}  // namespace quil
