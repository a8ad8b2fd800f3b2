// The SGML tag reader: the state machine of Sgml.h over a 512-byte
// look-ahead buffer.
#include "Sgml.h"

#include <cstring>

#include "Ex.h"
#include "Ma.h"

namespace quil {

bool SgmlDebugFlag = true;

namespace {

constexpr uint32_t kSgmlMagic = 0x53674d6cu;  // "SgMl"
int sgmlInits = 0;

// States of the machine (see Sgml.h).
enum : int {
  kText = 0,
  kAfterLt = 1,
  kAfterBang = 2,
  kDeclaration = 3,
  kBeforeName = 4,
  kTagName = 5,
  kEndTagRest = 6,
  kBetweenAttrs = 7,
  kAttrName = 8,
  kAfterAttrName = 9,
  kAfterEquals = 10,
  kBareValue = 11,
  kQuotedValue = 12,
  kComment = 13,
  kCommentDash = 14,
  kCommentDashDash = 15,
};

// Escape-sequence progress of ISO-2022 text.
enum : uint8_t {
  kEscNone = 0,
  kEscStart = 1,      // after ESC
  kEscDollar = 2,     // after ESC $
  kEscDollarParen = 3,  // after ESC $ (
  kEscParen = 4,      // after ESC (
};

inline bool IsWhite(uint8_t b) { return b == ' ' || b == '\t' || b == '\n' || b == '\r'; }
inline bool EndsName(uint8_t b) { return b == '=' || b == '>' || IsWhite(b); }

}  // namespace

struct SgmlParser {
  uint32_t magic = kSgmlMagic;
  SgmlSource* source = nullptr;
  uint8_t buffer[kSgmlBufferSize];
  int32_t pos = 0;
  int32_t count = 0;
  int state = kText;
  std::string text;  // raw text collected in state 0
  std::string name;  // raw name or value being read
  St tagName;
  uint8_t isStart = kSgmlNotSet;
  uint8_t endsElement = kSgmlNotSet;
  bool slashBetweenAttrs = false;  // the "/" of "/>" was read in state 7
  uint8_t prev = 0;
  Li<St> attributes;
  int64_t offset = 0;  // bytes consumed
  int32_t line = 0;
  int64_t lineStart = 0;
  int32_t tagLine = 0;
  int32_t tagCharacter = 0;
  uint8_t esc = kEscNone;
  bool twoByte = false;

  // Counts one consumed byte.
  void Count(uint8_t b) {
    ++offset;
    if (b == '\r' || (b == '\n' && prev != '\r')) {
      ++line;
      lineStart = offset;
    } else if (b == '\n') {
      lineStart = offset;
    }
    prev = b;
  }
  uint8_t Take() {
    uint8_t b = buffer[pos++];
    Count(b);
    return b;
  }

  // True when b belongs to an escape sequence or a two-byte character and
  // so is no markup; updates the escape state.  Only called for a byte that
  // will be consumed when the answer is true.
  bool Jis(uint8_t b) {
    switch (esc) {
      case kEscStart:
        esc = b == '$' ? kEscDollar : b == '(' ? kEscParen : kEscNone;
        return true;
      case kEscDollar:
        if (b == '@' || b == 'B') {
          twoByte = true;
          esc = kEscNone;
        } else {
          esc = b == '(' ? kEscDollarParen : kEscNone;
        }
        return true;
      case kEscDollarParen:
        twoByte = true;
        esc = kEscNone;
        return true;
      case kEscParen:
        twoByte = false;
        esc = kEscNone;
        return true;
      default:
        break;
    }
    if (b == 27) {
      esc = kEscStart;
      return true;
    }
    if (twoByte) {
      if (b >= 0x21 && b <= 0x7E) return true;
      twoByte = false;
    }
    return false;
  }

  void ResetTag() {
    name.clear();
    tagName = St();
    isStart = kSgmlNotSet;
    endsElement = kSgmlNotSet;
    slashBetweenAttrs = false;
    attributes.Clear();
  }
  void AppendValue(St value) { LiAppend(attributes, std::move(value)); }
};

namespace {

St Decode(const std::string& raw) {
  return StFromSgml(StFromView(raw));
}

// Removes a final "/" from s.
void StripSlash(St& s) {
  if (!s.IsNil() && s.Length() > 0 && s[s.Length() - 1] == '/')
    s = StSubstr(s, 0, s.Length() - 1);
}

void DestroyParser(SgmlParser* p) {
  if (!p) return;
  p->magic = 0;
  delete p;
}

}  // namespace

void SgmlParseInit() { ++sgmlInits; }
void SgmlParseTerm() {
  if (sgmlInits > 0) --sgmlInits;
}

uint16_t SgmlInitRtns(int selector, int32_t value) {
  switch (selector) {
    case kPkgInit: SgmlParseInit(); return 0;
    case kPkgTerm: SgmlParseTerm(); return 0;
    case kPkgDebug: SgmlDebugFlag = value != 0; return 0;
    default: return 0;
  }
}

int32_t SgmlStringSource::Read(uint8_t* buffer, int32_t max) {
  size_t n = std::min(bytes_.size() - pos_, size_t(max < 0 ? 0 : max));
  memcpy(buffer, bytes_.data() + pos_, n);
  pos_ += n;
  return int32_t(n);
}

SgmlReader SgmlParseStart(SgmlSource* source) {
  SgmlReader reader(new SgmlParser, DestroyParser);
  reader->source = source;
  return reader;
}

void SgmlParseStop(SgmlReader& reader) { reader.reset(); }

void SgmlParseTagInfo(const SgmlParser* p, int32_t* line, int32_t* character) {
  *line = p->tagLine;
  *character = p->tagCharacter;
}

void SgmlParseCountInfo(const SgmlParser* p, int32_t* line, int32_t* character) {
  *line = p->line;
  *character = int32_t(p->offset - p->lineStart);
}

int64_t SgmlParseOffset(const SgmlParser* p) { return p->offset; }

bool HtmlNeedQuotes(std::string_view value) {
  if (value.empty() || value.back() == '/') return true;
  for (unsigned char c : value)
    if (EndsName(c) || c == '<' || c == '"') return true;
  return false;
}

namespace {

// Reads bytes of a name (state 5, 8 or 11) into p.name; true when the name
// ended (at a byte left unread), false when the buffer ran out first.
bool ReadName(SgmlParser& p) {
  while (p.pos < p.count) {
    if (p.esc == kEscNone && !p.twoByte) {
      // The plain run: bytes that neither end a name nor start an escape
      // sequence (none of them counts a line).
      const uint8_t* start = p.buffer + p.pos;
      const uint8_t* end = p.buffer + p.count;
      const uint8_t* q = start;
      while (q < end && !EndsName(*q) && *q != 27) ++q;
      if (q > start) {
        p.name.append(reinterpret_cast<const char*>(start), size_t(q - start));
        p.offset += q - start;
        p.prev = q[-1];
        p.pos += int32_t(q - start);
      }
      if (p.pos == p.count) return false;
    }
    uint8_t b = p.buffer[p.pos];
    if (!p.Jis(b) && EndsName(b)) return true;
    p.name.push_back(char(p.Take()));
  }
  return false;
}

// Reads bytes of a quoted value into p.name up to '"' or "<" (left unread
// for state 12 to act on); true there, false when the buffer ran out.
bool ReadQuoted(SgmlParser& p) {
  while (p.pos < p.count) {
    if (p.esc == kEscNone && !p.twoByte) {
      const uint8_t* start = p.buffer + p.pos;
      const uint8_t* end = p.buffer + p.count;
      const uint8_t* q = start;
      while (q < end && *q != '"' && *q != '<' && *q != 27) {
        p.Count(*q);
        ++q;
      }
      p.name.append(reinterpret_cast<const char*>(start), size_t(q - start));
      p.pos += int32_t(q - start);
      if (p.pos == p.count) return false;
    }
    uint8_t b = p.buffer[p.pos];
    if (!p.Jis(b) && (b == '"' || b == '<')) return true;
    p.name.push_back(char(p.Take()));
  }
  return false;
}

// Collects text in state 0 up to a "<" (left unread); true at the "<".
bool ReadText(SgmlParser& p) {
  while (p.pos < p.count) {
    if (p.esc == kEscNone && !p.twoByte) {
      // The plain run: every byte up to "<" or an escape byte is text.
      const uint8_t* start = p.buffer + p.pos;
      const uint8_t* end = p.buffer + p.count;
      const uint8_t* q = start;
      while (q < end && *q != '<' && *q != 27) {
        p.Count(*q);
        ++q;
      }
      p.text.append(reinterpret_cast<const char*>(start), size_t(q - start));
      p.pos += int32_t(q - start);
      if (p.pos == p.count) return false;
    }
    uint8_t b = p.buffer[p.pos];
    if (!p.Jis(b) && b == '<') return true;
    p.text.push_back(char(p.Take()));
  }
  return false;
}

}  // namespace

bool SgmlParseNext(SgmlParser* reader, St* text, St* tagName, uint8_t* isStart,
                   uint8_t* endsElement, Li<St>* attributes) {
  MA_CHECK(SgmlDebugFlag, reader != nullptr && reader->magic == kSgmlMagic,
           "SgmlParseNext-Parse");
  SgmlParser& p = *reader;
  *text = St();
  *tagName = St();
  *isStart = kSgmlNotSet;
  *endsElement = kSgmlNotSet;
  attributes->Clear();

  // Hands the completed tag over.  beforeGt is the byte before the ">"
  // that ended it (0 when no ">" did).
  auto complete = [&](uint8_t beforeGt) {
    if (beforeGt == '/' && !p.slashBetweenAttrs) {
      p.endsElement = 1;
      if (LiIsEmpty(p.attributes)) {
        StripSlash(p.tagName);
      } else {
        LiEntry<St> last = p.attributes.Last();
        if (!last->data.IsNil()) {
          StripSlash(last->data);
        } else if (LiCount(p.attributes) >= 2) {
          StripSlash(last->prev->data);
        }
      }
    }
    if (!p.text.empty()) *text = Decode(p.text);
    p.text.clear();
    *tagName = std::move(p.tagName);
    *isStart = p.isStart;
    *endsElement = p.endsElement;
    *attributes = std::move(p.attributes);
    p.ResetTag();
    p.state = kText;
  };

  // Consumes the ">" that ends a tag and completes it.
  auto takeGt = [&]() {
    uint8_t before = p.prev;
    p.Take();
    complete(before);
  };

  bool ok = false;
  bool done = false;
  // An exception from the source drops what was half read.
  struct Release {
    SgmlParser& p;
    bool& ok;
    ~Release() {
      if (ok) return;
      p.text.clear();
      p.ResetTag();
      p.state = kText;
    }
  } release{p, ok};

  while (!done) {
    if (p.pos == p.count) {
      if (p.state == kText && !p.text.empty()) {
        St collected = StFromView(p.text);
        St tail = StSplitSgmlTail(collected);
        if (!collected.Empty()) {
          p.text.assign(tail.View());
          *text = StFromSgml(std::move(collected));
          ok = true;
          return true;
        }
      }
      int32_t n = p.source->Read(p.buffer, kSgmlBufferSize);
      if (n <= 0) {
        ok = true;
        return false;
      }
      p.pos = 0;
      p.count = std::min(n, kSgmlBufferSize);
    }
    while (p.pos < p.count && !done) {
      uint8_t b = p.buffer[p.pos];
      switch (p.state) {
        case kText:
          if (ReadText(p)) {
            p.tagLine = p.line;
            p.tagCharacter = int32_t(p.offset - p.lineStart);
            p.ResetTag();
            p.isStart = 1;
            p.endsElement = 0;
            p.Take();
            p.state = kAfterLt;
          }
          break;
        case kAfterLt:
          if (b == '!') {
            p.Take();
            p.state = kAfterBang;
          } else if (b == '/') {
            p.Take();
            p.isStart = 0;
            p.endsElement = 1;
            p.state = kBeforeName;
          } else {
            p.state = kBeforeName;
          }
          break;
        case kAfterBang:
          if (b == '-') {
            p.Take();
            p.state = kComment;
          } else {
            p.state = kDeclaration;
          }
          break;
        case kDeclaration:
          if (!p.Jis(b) && b == '>') p.state = kText;
          p.Take();
          break;
        case kBeforeName:
          if (IsWhite(b)) {
            p.Take();
          } else {
            p.state = kTagName;
          }
          break;
        case kTagName:
          if (ReadName(p)) {
            if (p.name.empty()) {
              p.ResetTag();
              p.state = kText;  // the "<" is dropped
            } else {
              p.tagName = Decode(p.name);
              p.name.clear();
              p.state = p.isStart == 1 ? kBetweenAttrs : kEndTagRest;
            }
          }
          break;
        case kEndTagRest:
          if (!p.Jis(b) && b == '>') {
            takeGt();
            done = true;
          } else {
            p.Take();
          }
          break;
        case kBetweenAttrs:
          if (b == '>') {
            takeGt();
            done = true;
          } else if (b == '/') {
            p.Take();
            p.endsElement = 1;
            p.slashBetweenAttrs = true;
            p.state = kEndTagRest;
          } else if (IsWhite(b)) {
            p.Take();
          } else if (b == '<') {
            complete(0);
            done = true;
          } else {
            p.state = kAttrName;
          }
          break;
        case kAttrName:
          if (ReadName(p)) {
            if (p.name.empty()) {
              complete(0);
              done = true;
            } else {
              p.AppendValue(Decode(p.name));
              p.name.clear();
              p.state = kAfterAttrName;
            }
          }
          break;
        case kAfterAttrName:
          if (b == '>') {
            p.AppendValue(St());
            takeGt();
            done = true;
          } else if (b == '=') {
            p.Take();
            p.state = kAfterEquals;
          } else {
            p.AppendValue(St());
            p.state = kBetweenAttrs;
          }
          break;
        case kAfterEquals:
          if (b == '>') {
            p.AppendValue(St());
            takeGt();
            done = true;
          } else if (b == '"') {
            p.Take();
            p.state = kQuotedValue;
          } else if (IsWhite(b)) {
            p.AppendValue(St());
            p.state = kBetweenAttrs;
          } else {
            p.state = kBareValue;
          }
          break;
        case kBareValue:
          if (ReadName(p)) {
            if (p.name.empty()) {
              p.AppendValue(St());
              complete(0);
              done = true;
            } else {
              p.AppendValue(Decode(p.name));
              p.name.clear();
              p.state = kBetweenAttrs;
            }
          }
          break;
        case kQuotedValue:
          if (ReadQuoted(p)) {
            if (p.buffer[p.pos] == '"') p.Take();
            St value = Decode(p.name);
            if (value.IsNil()) value = StCreate();
            p.AppendValue(std::move(value));
            p.name.clear();
            p.state = kBetweenAttrs;
          }
          break;
        case kComment:
          if (!p.Jis(b) && b == '-') p.state = kCommentDash;
          p.Take();
          break;
        case kCommentDash:
          p.state = !p.Jis(b) && b == '-' ? kCommentDashDash : kComment;
          p.Take();
          break;
        case kCommentDashDash:
          if (!p.Jis(b) && b == '>') {
            p.state = kText;
          } else if (b != '-') {
            p.state = kComment;
          }
          p.Take();
          break;
        default:
          MaAssertFailure("SgmlParseNext--Parse->SgpState");
      }
    }
  }
  ok = true;
  return true;
}

}  // namespace quil
