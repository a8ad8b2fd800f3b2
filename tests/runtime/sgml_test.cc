// The SGML tag reader: every state on exact inputs, input that arrives in
// pieces (down to one byte at a time) against the same input whole, line and
// character counts, ISO-2022 text, an exception from the source, and the
// debug checks.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "Ex.h"
#include "Sgml.h"
#include "halt_text.h"

namespace quil {
namespace {

// One step's outputs in a form that compares and prints.
struct Step {
  std::string text;  // "<nil>" for nil
  std::string tag;   // "<nil>" for nil
  int isStart = 255;
  int ends = 255;
  std::vector<std::string> attrs;  // "<nil>" for a nil value
  bool operator==(const Step&) const = default;
};

std::string Show(const St& s) { return s.IsNil() ? "<nil>" : s.Str(); }

std::ostream& operator<<(std::ostream& os, const Step& s) {
  os << "{text=" << s.text << " tag=" << s.tag << " start=" << s.isStart << " ends=" << s.ends
     << " attrs=[";
  for (const auto& a : s.attrs) os << a << ",";
  return os << "]}";
}

bool NextStep(SgmlParser* p, Step* step) {
  St text, tag;
  uint8_t isStart, ends;
  Li<St> attrs;
  bool more = SgmlParseNext(p, &text, &tag, &isStart, &ends, &attrs);
  step->text = Show(text);
  step->tag = Show(tag);
  step->isStart = isStart;
  step->ends = ends;
  step->attrs.clear();
  for (const St& a : attrs) step->attrs.push_back(Show(a));
  return more;
}

// Every step of a whole input until the reader gives false.
std::vector<Step> ParseAll(const std::string& input) {
  SgmlStringSource source(input);
  SgmlReader reader = SgmlParseStart(&source);
  std::vector<Step> steps;
  Step s;
  while (NextStep(reader.get(), &s)) steps.push_back(s);
  return steps;
}

// A source that hands out its bytes in reads of fixed sizes.
class PieceSource : public SgmlSource {
 public:
  PieceSource(std::string bytes, std::vector<int> sizes)
      : bytes_(std::move(bytes)), sizes_(std::move(sizes)) {}
  int32_t Read(uint8_t* buffer, int32_t max) override {
    size_t want = sizes_.empty() ? size_t(max) : size_t(sizes_[next_ % sizes_.size()]);
    ++next_;
    size_t n = std::min({want, size_t(max), bytes_.size() - pos_});
    memcpy(buffer, bytes_.data() + pos_, n);
    pos_ += n;
    return int32_t(n);
  }

 private:
  std::string bytes_;
  std::vector<int> sizes_;
  size_t pos_ = 0, next_ = 0;
};

// Tags (with the text before each joined) of a stream read through source.
std::vector<Step> Merged(SgmlSource* source) {
  SgmlReader reader = SgmlParseStart(source);
  std::vector<Step> out;
  std::string pending;
  Step s;
  while (NextStep(reader.get(), &s)) {
    if (s.text != "<nil>") pending += s.text;
    if (s.tag == "<nil>") continue;
    s.text = pending.empty() ? "<nil>" : pending;
    pending.clear();
    out.push_back(s);
  }
  if (!pending.empty()) out.push_back(Step{pending, "<nil>", 255, 255, {}});
  return out;
}

TEST(SgmlTest, TextThenTagWithQuotedBareAndPlainAttributes) {
  auto steps = ParseAll("a<b c=\"x y\" d e=1>");
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0], (Step{"a", "b", 1, 0, {"c", "x y", "d", "<nil>", "e", "1"}}));
}

TEST(SgmlTest, SelfClosingAndEndTags) {
  auto steps = ParseAll("<x/></x><y a=1/><z a/><w />");
  ASSERT_EQ(steps.size(), 5u);
  EXPECT_EQ(steps[0], (Step{"<nil>", "x", 1, 1, {}}));
  EXPECT_EQ(steps[1], (Step{"<nil>", "x", 0, 1, {}}));
  EXPECT_EQ(steps[2], (Step{"<nil>", "y", 1, 1, {"a", "1"}}));
  EXPECT_EQ(steps[3], (Step{"<nil>", "z", 1, 1, {"a", "<nil>"}}));
  EXPECT_EQ(steps[4], (Step{"<nil>", "w", 1, 1, {}}));
}

TEST(SgmlTest, CommentsAndDeclarationsAreSkippedWhole) {
  auto steps = ParseAll("<!-- a > b -- c -->after<!DOCTYPE x><t><!-- x --->z<u>");
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0], (Step{"after", "t", 1, 0, {}}));
  EXPECT_EQ(steps[1], (Step{"z", "u", 1, 0, {}}));
}

TEST(SgmlTest, EntitySplitAcrossReadsIsReturnedOnce) {
  PieceSource source("x&l" "t;y<t>", {3, 100});
  SgmlReader reader = SgmlParseStart(&source);
  Step s;
  ASSERT_TRUE(NextStep(reader.get(), &s));
  EXPECT_EQ(s, (Step{"x", "<nil>", 255, 255, {}}));  // "&l" held back
  ASSERT_TRUE(NextStep(reader.get(), &s));
  EXPECT_EQ(s, (Step{"<y", "t", 1, 0, {}}));
  EXPECT_FALSE(NextStep(reader.get(), &s));
}

TEST(SgmlTest, QuotedValueEndsAtLessThan) {
  auto steps = ParseAll("<a b=\"x<c d=1>");
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0], (Step{"<nil>", "a", 1, 0, {"b", "x"}}));
  EXPECT_EQ(steps[1], (Step{"<nil>", "c", 1, 0, {"d", "1"}}));
}

TEST(SgmlTest, NamesAndValuesAreDecoded) {
  auto steps = ParseAll("t&amp;u<a&amp;b x=&lt; y=\"&quot;q&#09;\" z=\"\">");
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0], (Step{"t&u", "a&b", 1, 0, {"x", "<", "y", "\"q\t", "z", ""}}));
}

TEST(SgmlTest, OddShapes) {
  // An empty name drops the "<"; the blank read before it goes too.
  EXPECT_EQ(ParseAll("a< >b<t>")[0], (Step{"a>b", "t", 1, 0, {}}));
  // An empty attribute name ends the tag; what follows is text.
  auto steps = ParseAll("<a =x><b>");
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0], (Step{"<nil>", "a", 1, 0, {}}));
  EXPECT_EQ(steps[1], (Step{"=x>", "b", 1, 0, {}}));
  // "=" followed by ">" or white space gives a nil value.
  EXPECT_EQ(ParseAll("<a b=>")[0], (Step{"<nil>", "a", 1, 0, {"b", "<nil>"}}));
  EXPECT_EQ(ParseAll("<a b= c=2>")[0], (Step{"<nil>", "a", 1, 0, {"b", "<nil>", "c", "2"}}));
  // White space of every kind between attributes and before the name.
  EXPECT_EQ(ParseAll("<\r\n a\tb\r\nc=3>")[0],
            (Step{"<nil>", "a", 1, 0, {"b", "<nil>", "c", "3"}}));
  // The rest of an end tag is skipped.
  EXPECT_EQ(ParseAll("</a junk=1>")[0], (Step{"<nil>", "a", 0, 1, {}}));
}

TEST(SgmlTest, LongTextComesInPiecesOfOneBuffer) {
  std::string text(1200, 'q');
  SgmlStringSource source(text + "<t>");
  SgmlReader reader = SgmlParseStart(&source);
  Step s;
  size_t got = 0;
  int pieces = 0;
  while (NextStep(reader.get(), &s) && s.tag == "<nil>") {
    got += s.text.size();
    ++pieces;
  }
  EXPECT_EQ(s.tag, "t");
  EXPECT_EQ(got + (s.text == "<nil>" ? 0 : s.text.size()), 1200u);
  EXPECT_EQ(pieces, 2);  // 512 and 512; the last 176 come with the tag
}

TEST(SgmlTest, InputThatArrivesLaterResumesTheSameTag) {
  SgmlStringSource source("pre<tag a=\"one tw");
  SgmlReader reader = SgmlParseStart(&source);
  Step s;
  EXPECT_FALSE(NextStep(reader.get(), &s));
  EXPECT_EQ(s.tag, "<nil>");
  source.Append("o\" b=3");
  EXPECT_FALSE(NextStep(reader.get(), &s));
  source.Append("/>post");
  ASSERT_TRUE(NextStep(reader.get(), &s));
  EXPECT_EQ(s, (Step{"pre", "tag", 1, 1, {"a", "one two", "b", "3"}}));
  ASSERT_TRUE(NextStep(reader.get(), &s));
  EXPECT_EQ(s, (Step{"post", "<nil>", 255, 255, {}}));
}

TEST(SgmlTest, PiecesOfEverySizeGiveTheSameTags) {
  std::string doc =
      "head &amp; text\r\n<!-- c > -->"
      "<item id=\"a b\" flag x=1 y=&lt;v&gt;>body&#65;&copy;</item>\n"
      "<!DOCTYPE q><e/><f g=\"h<i j=k>tail &l";
  for (int i = 0; i < 4; ++i) doc += doc;  // over several buffers
  std::vector<Step> whole = Merged(std::make_unique<PieceSource>(doc, std::vector<int>{}).get());
  ASSERT_GT(whole.size(), 40u);
  unsigned seed = std::random_device{}();
  printf("seed %u\n", seed);
  std::mt19937 rng(seed);
  for (int size : {1, 2, 3, 7, 511, 512}) {
    PieceSource source(doc, {size});
    EXPECT_EQ(Merged(&source), whole) << "reads of " << size;
  }
  for (int round = 0; round < 20; ++round) {
    std::vector<int> sizes;
    for (int i = 0; i < 50; ++i) sizes.push_back(1 + int(rng() % 40));
    PieceSource source(doc, sizes);
    EXPECT_EQ(Merged(&source), whole) << "round " << round;
  }
}

TEST(SgmlTest, LinesAndCharactersCountFromZero) {
  // CR, LF and CR LF each count one line.
  SgmlStringSource source("ab\r\ncd\nx<t>\rq  <u>");
  SgmlReader reader = SgmlParseStart(&source);
  Step s;
  int32_t line = -1, ch = -1;
  ASSERT_TRUE(NextStep(reader.get(), &s));
  SgmlParseTagInfo(reader.get(), &line, &ch);
  EXPECT_EQ(line, 2);
  EXPECT_EQ(ch, 1);
  SgmlParseCountInfo(reader.get(), &line, &ch);
  EXPECT_EQ(line, 2);
  EXPECT_EQ(ch, 4);
  ASSERT_TRUE(NextStep(reader.get(), &s));
  SgmlParseTagInfo(reader.get(), &line, &ch);
  EXPECT_EQ(line, 3);
  EXPECT_EQ(ch, 3);
  EXPECT_EQ(SgmlParseOffset(reader.get()), 18);
}

TEST(SgmlTest, TwoByteJisCharactersAreNeverMarkup) {
  // ESC $ B switches to two-byte characters: "<>" and "=" inside them are
  // character bytes; ESC ( B switches back.
  std::string jis = "\x1b$B\x3c\x3e\x24\x3d\x1b(B";
  auto steps = ParseAll("a" + jis + "b<t v=\"" + jis + "\" w=" + jis + ">");
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].text, "a" + jis + "b");
  EXPECT_EQ(steps[0].tag, "t");
  EXPECT_EQ(steps[0].attrs, (std::vector<std::string>{"v", jis, "w", jis}));
  // A byte outside the two-byte range (a line end) ends two-byte mode.
  auto again = ParseAll("\x1b$B\x30\x30\n<t>");
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].tag, "t");
}

// Reads its pieces in turn; a piece "!" raises 211 instead.
class RaisingSource : public SgmlSource {
 public:
  explicit RaisingSource(std::vector<std::string> pieces) : pieces_(std::move(pieces)) {}
  int32_t Read(uint8_t* buffer, int32_t max) override {
    if (next_ >= pieces_.size()) return 0;
    const std::string& piece = pieces_[next_++];
    if (piece == "!") ExRaise(211);
    size_t n = std::min(piece.size(), size_t(max));
    memcpy(buffer, piece.data(), n);
    return int32_t(n);
  }

 private:
  std::vector<std::string> pieces_;
  size_t next_ = 0;
};

TEST(SgmlTest, ExceptionFromTheSourceDropsThePartialTagAndPassesOn) {
  RaisingSource source({"text<tag a=1 b=\"half", "!", "<z>"});
  SgmlReader reader = SgmlParseStart(&source);
  Step s;
  EXPECT_FALSE(ExTry([&] { (void)NextStep(reader.get(), &s); }));
  EXPECT_EQ(ExLastError, 211);
  // The text and the half tag are gone; reading starts again in text.
  ASSERT_TRUE(NextStep(reader.get(), &s));
  EXPECT_EQ(s, (Step{"<nil>", "z", 1, 0, {}}));
}

TEST(SgmlTest, DebugChecks) {
  EXPECT_EQ(quiltest::HaltText([] {
              alignas(16) static uint8_t junk[4096] = {};
              St t, n;
              uint8_t a, b;
              Li<St> l;
              (void)SgmlParseNext(reinterpret_cast<SgmlParser*>(junk), &t, &n, &a, &b, &l);
            }),
            "assert:SgmlParseNext-Parse");
}

TEST(SgmlTest, NeedQuotes) {
  EXPECT_TRUE(HtmlNeedQuotes(""));
  EXPECT_TRUE(HtmlNeedQuotes("a b"));
  EXPECT_TRUE(HtmlNeedQuotes("a\tb"));
  EXPECT_TRUE(HtmlNeedQuotes("a\r\nb"));
  EXPECT_TRUE(HtmlNeedQuotes("a=b"));
  EXPECT_TRUE(HtmlNeedQuotes("a>b"));
  EXPECT_TRUE(HtmlNeedQuotes("a/"));
  EXPECT_FALSE(HtmlNeedQuotes("a/b"));
  EXPECT_FALSE(HtmlNeedQuotes(".ee6b28a/3"));
  EXPECT_FALSE(HtmlNeedQuotes("&lt;&amp;"));
}

}  // namespace
}  // namespace quil
