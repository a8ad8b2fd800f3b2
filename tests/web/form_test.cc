// Form fields: the "!" and urlencoded forms, multipart/form-data with its
// files, duplicates, the readers, and the password blanking of logs.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "Cgi.h"

using namespace quil;

namespace {

St S(std::string_view s) { return StFromView(s); }

std::string Dump(const CgiPairList& form) {
  std::string out;
  for (const CgiPair& p : form) {
    if (!out.empty()) out += " | ";
    out += p.name.Str() + "=" + (p.value.IsNil() ? "(none)" : p.value.Str());
  }
  return out;
}

CgiPairList Parse(std::string_view text) {
  CgiPairList form;
  (void)GetNameValuePairsX(S(text), &form);
  return form;
}

TEST(CgiForm, PairsSplitTrimAndDecode) {
  EXPECT_EQ(Dump(Parse("a=1&b=two%20words&c=%26%3D")), "a=1 | b=two words | c=&=");
  // Names lose outer blanks; values keep theirs; "+" stays in a "!" form.
  EXPECT_EQ(Dump(Parse(" name =  x + y ")), "name=  x + y ");
  // Empty values are none; a pair without "=" is a name with none.
  EXPECT_EQ(Dump(Parse("empty=&flag&x=%")), "empty=(none) | flag=(none) | x=%");
  // Empty pairs and empty names are skipped.
  EXPECT_EQ(Dump(Parse("&&=v& =w&ok=1&")), "ok=1");
  EXPECT_EQ(Dump(Parse("")), "");
  // Only the first "=" splits.
  EXPECT_EQ(Dump(Parse("q=a=b")), "q=a=b");
  CgiPairList form;
  EXPECT_EQ(GetNameValuePairsX(S("a=1&&b"), &form), 2);
}

TEST(CgiForm, PostedBodiesTurnPlusIntoBlankBeforeSplitting) {
  CgiPairList form;
  (void)GetNameValuePairsX(ConvertPlusSymbols(S("newresponse=Hello+world%2B1&t=a+b")), &form);
  EXPECT_EQ(Dump(form), "newresponse=Hello world+1 | t=a b");
  EXPECT_EQ(ConvertPlusSymbols(S("++")).Str(), "  ");
  EXPECT_TRUE(ConvertPlusSymbols(St()).IsNil());
}

TEST(CgiForm, LimitsBoundFieldsNamesAndValues) {
  std::string many;
  for (int i = 0; i < kCgiMaxFields + 50; ++i) many += "f" + std::to_string(i) + "=v&";
  CgiPairList form;
  EXPECT_EQ(GetNameValuePairsX(S(many), &form), kCgiMaxFields);
  EXPECT_EQ(int32_t(form.size()), kCgiMaxFields);
  // A full form takes nothing more.
  EXPECT_EQ(GetNameValuePairsX(S("more=1"), &form), 0);

  std::string longName(size_t(kCgiMaxNameLength) + 1, 'n');
  EXPECT_EQ(Dump(Parse(longName + "=1&ok=2")), "ok=2");
  std::string exact(size_t(kCgiMaxNameLength), 'n');
  EXPECT_EQ(Parse(exact + "=1").size(), 1u);

  std::string big = "v=" + std::string(size_t(kCgiMaxValueLength) + 10, 'x');
  CgiPairList one = Parse(big);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].value.Length(), kCgiMaxValueLength);
}

TEST(CgiForm, DuplicatesKeepTheLastValueAtItsPlace) {
  CgiPairList form = Parse("a=1&b=2&a=3&c=4&b=&d=5");
  RemoveNameValueDuplicates(&form);
  EXPECT_EQ(Dump(form), "a=3 | c=4 | b=(none) | d=5");
  CgiPairList none = Parse("x=1&y=2");
  RemoveNameValueDuplicates(&none);
  EXPECT_EQ(Dump(none), "x=1 | y=2");
}

TEST(CgiForm, Readers) {
  CgiPairList form = Parse("title=Hi&empty=&n=+42 &bad=4x&box=on&off=0&no=No");
  EXPECT_EQ(GetValueFromName(form, "title").Str(), "Hi");
  EXPECT_TRUE(GetValueFromName(form, "empty").IsNil());
  EXPECT_TRUE(GetValueFromName(form, "missing").IsNil());
  EXPECT_TRUE(GetValueFromName(form, "Title").IsNil());  // names compare exactly
  EXPECT_TRUE(CkHasName(form, "empty"));
  EXPECT_FALSE(CkHasValue(form, "empty"));
  EXPECT_TRUE(CkHasValue(form, "title"));
  St v;
  EXPECT_FALSE(CkGetValueFromName(form, "empty", &v));
  EXPECT_TRUE(CkGetValueFromName(form, "title", &v));
  EXPECT_EQ(v.Str(), "Hi");
  int32_t n = -1;
  EXPECT_TRUE(CkGetIntFromName(form, "n", &n));
  EXPECT_EQ(n, 42);
  EXPECT_EQ(GetIntFromName(form, "bad", 7), 7);
  EXPECT_EQ(GetIntFromName(form, "missing", 9), 9);
  EXPECT_TRUE(CkIsChecked(form, "box"));
  EXPECT_TRUE(CkIsChecked(form, "empty"));  // a box sent without a value
  EXPECT_FALSE(CkIsChecked(form, "off"));
  EXPECT_FALSE(CkIsChecked(form, "no"));
  EXPECT_FALSE(CkIsChecked(form, "missing"));
}

TEST(CgiForm, DotPasswordsRemovesEveryPasswordValue) {
  EXPECT_EQ(DotPasswords(S("username=ann&password=secret&x=1")).Str(), "username=ann&password=&x=1");
  EXPECT_EQ(DotPasswords(S("newPASSWORD=a&oldPassword2=b")).Str(), "newPASSWORD=&oldPassword2=");
  // Only names count; a value that says "password" stays.
  EXPECT_EQ(DotPasswords(S("hint=password&pw=x")).Str(), "hint=password&pw=x");
  EXPECT_EQ(DotPasswords(S("password")).Str(), "password");
  EXPECT_EQ(DotPasswords(S("a=1&&password=2&")).Str(), "a=1&&password=&");
}

// ---------------------------------------------------------------------------
// multipart/form-data.

std::string Part(const std::string& head, const std::string& data) { return head + "\r\n\r\n" + data; }

std::string Multipart(const std::string& boundary, const std::vector<std::string>& parts,
                      bool close = true) {
  std::string body = "preamble to ignore\r\n";
  for (const std::string& p : parts) body += "--" + boundary + "\r\n" + p + "\r\n";
  if (close) body += "--" + boundary + "--\r\nepilogue";
  return body;
}

TEST(CgiMultipart, FieldsAndFilesAsBrowsersSendThem) {
  static const char kGif[] = "GIF89a\x01\x00\x01\x00\x00\x00\x00;\r\n--not-it\r\n";
  std::string gif(kGif, sizeof kGif - 1);
  std::string body = Multipart(
      "----WebKitFormBoundaryAbC",
      {Part("Content-Disposition: form-data; name=\"messageTitle\"", "Hello\r\nthere"),
       Part("Content-Disposition: form-data; name=\"pic\"; filename=\"C:\\My Pictures\\a.gif\"\r\n"
            "Content-Type: image/gif",
            gif),
       Part("Content-Disposition: form-data; name=\"none\"; filename=\"\"\r\n"
            "Content-Type: application/octet-stream",
            ""),
       Part("Content-Disposition: form-data; name=\"empty\"", "")});
  CgiPairList form;
  CgiUploadList files;
  ASSERT_TRUE(GetPartNameValuePairs(
      S(body), S("multipart/form-data; boundary=----WebKitFormBoundaryAbC"), &form, &files));
  EXPECT_EQ(Dump(form), "messageTitle=Hello\r\nthere | pic=C:\\My Pictures\\a.gif | none=(none) | "
                        "empty=(none)");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].name.Str(), "pic");
  EXPECT_EQ(files[0].fileName.Str(), "C:\\My Pictures\\a.gif");
  EXPECT_EQ(files[0].contentType.Str(), "image/gif");
  EXPECT_EQ(files[0].data.Str(), gif);  // bytes kept exactly, CR LF and zeros too
}

TEST(CgiMultipart, QuotedBoundaryLineFeedsPaddingAndMissingClose) {
  // Line feeds only, transport padding after the delimiter, a quoted
  // boundary with its parameter in any case, and no closing delimiter.
  std::string body =
      "--b\"q \t\nContent-Disposition: form-data; name=a\n\nfirst\n--b\"q\n"
      "content-disposition: FORM-DATA; NAME=\"b\"; x=\"y;z\"\n\nsecond part";
  CgiPairList form;
  CgiUploadList files;
  ASSERT_TRUE(GetPartNameValuePairs(S(body), S("Multipart/Form-Data; BOUNDARY=\"b\\\"q\""), &form,
                                    &files));
  EXPECT_EQ(Dump(form), "a=first | b=second part");
  EXPECT_TRUE(files.empty());
}

TEST(CgiMultipart, UnusableInputIsSkippedNotFatal) {
  CgiPairList form;
  CgiUploadList files;
  // No boundary: nothing is read.
  EXPECT_FALSE(GetPartNameValuePairs(S("--x\r\n"), S("multipart/form-data"), &form, &files));
  EXPECT_FALSE(GetPartNameValuePairs(S("--x\r\n"), S("multipart/form-data; boundary="), &form, &files));
  // Parts without a disposition or a name are skipped; a part whose head
  // never ends ends the parse.
  std::string body = "--x\r\nContent-Type: text/plain\r\n\r\nnameless\r\n"
                     "--x\r\nContent-Disposition: form-data\r\n\r\nstill nameless\r\n"
                     "--x\r\nContent-Disposition: form-data; name=\"ok\"\r\n\r\nyes\r\n"
                     "--x\r\nContent-Disposition: form-data; name=\"cut\"";
  EXPECT_TRUE(GetPartNameValuePairs(S(body), S("multipart/form-data; boundary=x"), &form, &files));
  EXPECT_EQ(Dump(form), "ok=yes");
  // A head longer than the limit ends the parse.
  std::string huge = "--x\r\nContent-Disposition: form-data; name=\"h\"\r\nX-Pad: " +
                     std::string(size_t(kCgiMaxPartHead), 'p') + "\r\n\r\nv\r\n--x--";
  CgiPairList form2;
  EXPECT_TRUE(GetPartNameValuePairs(S(huge), S("multipart/form-data; boundary=x"), &form2, &files));
  EXPECT_TRUE(form2.empty());
}

TEST(CgiMultipart, PartCountIsBounded) {
  std::string body;
  for (int i = 0; i < kCgiMaxFields + 20; ++i)
    body += "--x\r\nContent-Disposition: form-data; name=\"f" + std::to_string(i) + "\"\r\n\r\nv\r\n";
  body += "--x--";
  CgiPairList form;
  CgiUploadList files;
  EXPECT_TRUE(GetPartNameValuePairs(S(body), S("multipart/form-data; boundary=x"), &form, &files));
  EXPECT_EQ(int32_t(form.size()), kCgiMaxFields);
}

// Random bytes and random cuts of a valid body: the parser always returns,
// and every value it gives lies within the body.
TEST(CgiMultipart, RandomInputAndCutsAreAnsweredWithinBounds) {
  uint32_t seed = std::random_device()();
  std::printf("seed %u\n", seed);
  std::mt19937 rng(seed);
  std::string valid = Multipart(
      "zz", {Part("Content-Disposition: form-data; name=\"a\"", "one"),
             Part("Content-Disposition: form-data; name=\"f\"; filename=\"x.bin\"", "\x01\x02--zz")});
  for (int round = 0; round < 2000; ++round) {
    std::string body = valid.substr(0, rng() % (valid.size() + 1));
    if (round % 2) {
      for (int k = 0; k < 4; ++k)
        if (!body.empty()) body[rng() % body.size()] = char(rng());
    }
    CgiPairList form;
    CgiUploadList files;
    (void)GetPartNameValuePairs(S(body), S("multipart/form-data; boundary=zz"), &form, &files);
    for (const CgiPair& p : form) ASSERT_LE(p.value.Length(), int32_t(body.size()));
    for (const CgiUpload& u : files) ASSERT_LE(u.data.Length(), int32_t(body.size()));
  }
}

}  // namespace
