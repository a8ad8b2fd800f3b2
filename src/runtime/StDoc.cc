// Documents and mail: lines, heads and header fields (RFC 5322), structured
// field values, address lists, MIME parts and multipart bodies (RFC 2045,
// RFC 2046), boundaries and the tag names of HTML text.
#include <cctype>
#include <cstring>

#include "St.h"
#include "StInt.h"

namespace quil {

namespace {

constexpr bool IsBlank(uint8_t c) { return c == ' ' || c == '\t'; }

uint8_t AsciiLower(uint8_t c) { return StASCIILower[c]; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(uint8_t(a[i])) != AsciiLower(uint8_t(b[i]))) return false;
  return true;
}

// One line of a byte range: [start, end) without the break, next after it.
struct Line {
  int32_t start, end, next;
};

// The line at ix.  REQUIRES: ix < n.
Line LineAt(const uint8_t* p, int32_t n, int32_t ix) {
  int32_t e = ix;
  while (e < n && p[e] != '\n' && p[e] != '\r') ++e;
  int32_t next = e;
  if (next < n && p[next] == '\r') ++next;
  if (next < n && p[next] == '\n' && (next == e || p[e] == '\r')) ++next;
  return {ix, e, next};
}

std::string_view Trim(std::string_view v) {
  while (!v.empty() && StCharIsWhiteSpace(uint8_t(v.front())))
    v.remove_prefix(1);
  while (!v.empty() && StCharIsWhiteSpace(uint8_t(v.back())))
    v.remove_suffix(1);
  return v;
}

// Length of the field name of a line ("Subject: x" gives 7), or -1 when the
// line is not a field: a name is one or more printable bytes other than
// blank and colon (RFC 5322 ftext), followed by optional blanks and a colon.
int32_t FieldNameLength(const uint8_t* p, const Line& line) {
  int32_t i = line.start;
  while (i < line.end && p[i] > 32 && p[i] < 127 && p[i] != ':') ++i;
  int32_t nameEnd = i;
  if (nameEnd == line.start) return -1;
  while (i < line.end && IsBlank(p[i])) ++i;
  if (i == line.end || p[i] != ':') return -1;
  return nameEnd - line.start;
}

// The extent of a field: from its name to the end of its last continuation
// line (without the final break).
struct Field {
  int32_t start = -1, end = -1, valueStart = -1;
};

// Finds the first field called name in the head of [p, p+n).
Field FindField(const uint8_t* p, int32_t n, std::string_view name) {
  if (!name.empty() && name.back() == ':') name.remove_suffix(1);
  Field found;
  int32_t ix = 0;
  while (ix < n) {
    Line line = LineAt(p, n, ix);
    if (line.start == line.end) break;  // the empty line ends the head
    ix = line.next;
    int32_t nameLength = FieldNameLength(p, line);
    if (nameLength < 0 ||
        !EqualNoCase(
            std::string_view(reinterpret_cast<const char*>(p) + line.start,
                             size_t(nameLength)),
            name))
      continue;
    found.start = line.start;
    found.valueStart =
        int32_t(static_cast<const uint8_t*>(std::memchr(
                    p + line.start, ':', size_t(line.end - line.start))) -
                p) +
        1;
    found.end = line.end;
    while (ix < n) {
      Line more = LineAt(p, n, ix);
      if (more.start == more.end || !IsBlank(p[more.start])) break;
      found.end = more.end;
      ix = more.next;
    }
    return found;
  }
  return found;
}

}  // namespace

// ---------------------------------------------------------------------------
// Lines, heads and bodies.

St StDocGetLine(const St& doc, int32_t* ix) {
  StCheck(doc, "StDocGetLine-- doc");
  if (*ix < 0 || *ix >= doc.Length()) return St();
  Line line = LineAt(doc.Bytes(), doc.Length(), *ix);
  *ix = line.next;
  return StCreateLen(doc.CStr() + line.start, line.end - line.start);
}

int32_t StBytesDocBodyIx(const void* bytes, int32_t length) {
  auto* p = static_cast<const uint8_t*>(bytes);
  int32_t ix = 0;
  while (ix < length) {
    Line line = LineAt(p, length, ix);
    if (line.start == line.end) return line.next;
    ix = line.next;
  }
  return length;
}

int32_t StDocBodyIx(const St& doc) {
  StCheck(doc, "StDocBodyIx-- doc");
  return StBytesDocBodyIx(doc.CStr(), doc.Length());
}

St StToBodyXfm(St doc) {
  StCheck(doc, "StToBodyXfm-- doc");
  int32_t ix = StDocBodyIx(doc);
  if (ix >= doc.Length()) return St();
  return StSubstr(doc, ix, doc.Length() - ix);
}

// ---------------------------------------------------------------------------
// Header fields.

St StBytesGetHeader(const void* bytes, int32_t length, std::string_view name) {
  auto* p = static_cast<const uint8_t*>(bytes);
  Field f = FindField(p, length, name);
  if (f.start < 0) return St();
  return StCreateLen(p + f.start, f.end - f.start);
}

St StGetHeader(const St& doc, std::string_view name) {
  StCheck(doc, "StGetHeader-- doc");
  return StBytesGetHeader(doc.CStr(), doc.Length(), name);
}

St StBytesDocFieldValue(const void* bytes, int32_t length,
                        std::string_view name) {
  auto* p = static_cast<const uint8_t*>(bytes);
  Field f = FindField(p, length, name);
  if (f.start < 0) return St();
  std::string value;
  for (int32_t i = f.valueStart; i < f.end; ++i)
    if (p[i] != '\r' && p[i] != '\n') value += char(p[i]);
  return StFromView(Trim(value));
}

St StDocFieldValue(const St& doc, std::string_view name) {
  StCheck(doc, "StDocFieldValue-- doc");
  return StBytesDocFieldValue(doc.CStr(), doc.Length(), name);
}

St StFieldValueItem(const St& value, std::string_view item) {
  StCheck(value, "StFieldValueItem-- value");
  std::string_view v = value.View();
  size_t i = 0;
  // The main value runs to the first ";" outside quotes.
  auto skipSegment = [&](std::string* out) {
    bool quoted = false;
    for (; i < v.size(); ++i) {
      char c = v[i];
      if (quoted && c == '\\' && i + 1 < v.size()) {
        if (out) *out += v[i + 1];
        ++i;
        continue;
      }
      if (c == '"') {
        quoted = !quoted;
        continue;
      }
      if (!quoted && c == ';') break;
      if (out) *out += c;
    }
  };
  std::string main;
  skipSegment(&main);
  if (item.empty()) {
    std::string lower(Trim(main));
    for (char& c : lower) c = char(AsciiLower(uint8_t(c)));
    return StFromView(lower);
  }
  while (i < v.size()) {
    ++i;  // the ";"
    size_t eq = v.find('=', i);
    size_t semi = v.find(';', i);
    if (eq == std::string_view::npos ||
        (semi != std::string_view::npos && semi < eq)) {
      i = semi == std::string_view::npos ? v.size() : semi;
      continue;
    }
    std::string_view pname = Trim(v.substr(i, eq - i));
    i = eq + 1;
    std::string pvalue;
    size_t valueStart = i;
    skipSegment(&pvalue);
    if (EqualNoCase(pname, item)) {
      // Unquoted values lose outer blanks; quoted ones keep what the quotes
      // hold.
      std::string_view raw = Trim(v.substr(valueStart, i - valueStart));
      if (!raw.empty() && raw.front() == '"') {
        std::string inner;
        for (size_t k = 1; k < raw.size() && raw[k] != '"'; ++k) {
          if (raw[k] == '\\' && k + 1 < raw.size()) ++k;
          inner += raw[k];
        }
        return StFromView(inner);
      }
      return StFromView(Trim(pvalue));
    }
  }
  return St();
}

// ---------------------------------------------------------------------------
// Address lists.

St StEmailPop(St* rest, St* name) {
  StCheck(*rest, "StEmailPop-- rest");
  if (name) *name = St();
  std::string_view v = rest->View();
  size_t i = 0;
  while (i < v.size()) {
    // One entry: up to a "," or ";" outside quotes, comments and brackets.
    // A ":" outside them ends a group's name, which is dropped.
    std::string display, bare, angle;
    bool inAngle = false, sawAngle = false;
    int comment = 0;
    for (; i < v.size(); ++i) {
      char c = v[i];
      if (comment > 0) {
        if (c == '\\' && i + 1 < v.size())
          ++i;
        else if (c == '(')
          ++comment;
        else if (c == ')')
          --comment;
        continue;
      }
      if (c == '"') {
        for (++i; i < v.size() && v[i] != '"'; ++i) {
          if (v[i] == '\\' && i + 1 < v.size()) ++i;
          display += v[i];
        }
        continue;
      }
      if (inAngle) {
        if (c == '>')
          inAngle = false;
        else if (!StCharIsWhiteSpace(uint8_t(c)))
          angle += c;
        continue;
      }
      if (c == '(') {
        ++comment;
      } else if (c == '<') {
        inAngle = sawAngle = true;
        angle.clear();
      } else if (c == ',' || c == ';') {
        break;
      } else if (c == ':' && !sawAngle) {
        display.clear();
        bare.clear();
      } else {
        display += c;
        if (!StCharIsWhiteSpace(uint8_t(c))) bare += c;
      }
    }
    if (i < v.size()) ++i;  // the separator
    std::string address = sawAngle ? angle : bare;
    if (address.empty()) continue;
    if (name && sawAngle) {
      std::string_view d = Trim(display);
      if (!d.empty()) *name = StFromView(d);
    }
    *rest = i < v.size() ? StFromView(v.substr(i)) : St();
    return StFromView(address);
  }
  *rest = St();
  return St();
}

// ---------------------------------------------------------------------------
// Markup.

StList StGetSGMLTags(const St& text) {
  StCheck(text, "StGetSGMLTags-- text");
  StList tags;
  std::string_view v = text.View();
  size_t i = 0;
  while ((i = v.find('<', i)) != std::string_view::npos) {
    ++i;
    if (i < v.size() && v[i] == '!') {
      size_t end =
          v.compare(i, 3, "!--") == 0 ? v.find("-->", i + 3) : v.find('>', i);
      if (end == std::string_view::npos) break;
      i = end + 1;
      continue;
    }
    if (i < v.size() && v[i] == '/') ++i;
    size_t nameStart = i;
    while (i < v.size() && (std::isalnum(uint8_t(v[i])) || v[i] == '-' ||
                            v[i] == '_' || v[i] == ':' || v[i] == '.'))
      ++i;
    if (i == nameStart || !std::isalpha(uint8_t(v[nameStart]))) continue;
    std::string tag(v.substr(nameStart, i - nameStart));
    for (char& c : tag) c = char(AsciiLower(uint8_t(c)));
    bool seen = false;
    for (const St& t : tags) seen = seen || t.View() == tag;
    if (!seen) tags.push_back(StFromView(tag));
  }
  return tags;
}

// ---------------------------------------------------------------------------
// MIME parts.

St StMakeBoundary(const St& content) {
  StCheck(content, "StMakeBoundary-- content");
  for (uint32_t attempt = 0;; ++attempt) {
    MD5Context md5;
    MD5Init(&md5);
    MD5Update(&md5, content.CStr(), size_t(content.Length()));
    uint8_t a[4] = {uint8_t(attempt >> 24), uint8_t(attempt >> 16),
                    uint8_t(attempt >> 8), uint8_t(attempt)};
    MD5Update(&md5, a, 4);
    uint8_t digest[kMd5DigestSize];
    MD5Final(digest, &md5);
    std::string b = "=_Quil_";
    for (int k = 0; k < 12; ++k) {
      b += st_internal::kLowerHex[digest[k] >> 4];
      b += st_internal::kLowerHex[digest[k] & 15];
    }
    if (content.View().find("--" + b) == std::string_view::npos)
      return StFromView(b);
  }
}

bool StDocIsBinary(const St& doc) {
  StCheck(doc, "StDocIsBinary-- doc");
  for (uint8_t c : doc.View()) {
    if (c == 127) return true;
    if (c < 32 && c != '\t' && c != '\n' && c != '\f' && c != '\r' && c != 27)
      return true;
  }
  return false;
}

bool StDocIsMimePart(const St& doc) {
  StCheck(doc, "StDocIsMimePart-- doc");
  const uint8_t* p = doc.Bytes();
  int32_t n = doc.Length();
  bool mime = false, any = false;
  int32_t ix = 0;
  while (ix < n) {
    Line line = LineAt(p, n, ix);
    if (line.start == line.end) break;
    ix = line.next;
    if (IsBlank(p[line.start]) && any) continue;
    int32_t nameLength = FieldNameLength(p, line);
    if (nameLength < 0) return false;
    any = true;
    std::string_view fname(doc.CStr() + line.start, size_t(nameLength));
    mime = mime || EqualNoCase(fname, "Content-Type") ||
           EqualNoCase(fname, "Content-Transfer-Encoding");
  }
  return mime;
}

namespace {

// The body of a part decoded by its transfer encoding.
St DecodeBody(St body, const St& encoding) {
  std::string enc(Trim(encoding.View()));
  for (char& c : enc) c = char(AsciiLower(uint8_t(c)));
  if (enc == "base64") return StFromBase64(std::move(body));
  if (enc == "quoted-printable") return StFromQuotedPrintable(std::move(body));
  if (enc == "x-uuencode" || enc == "uuencode" || enc == "x-uue") {
    St name;
    St data = StUuDecode(body, &name);
    return data.IsNil() ? body : data;
  }
  return body;
}

}  // namespace

St StDocToBinaryXfm(St doc) {
  StCheck(doc, "StDocToBinaryXfm-- doc");
  if (!StDocIsMimePart(doc)) return doc;
  St encoding = StDocFieldValue(doc, "Content-Transfer-Encoding");
  int32_t ix = StDocBodyIx(doc);
  St body =
      ix < doc.Length() ? StSubstr(doc, ix, doc.Length() - ix) : StCreate();
  return DecodeBody(std::move(body), encoding);
}

namespace {

// A parameter value as a quoted string.
std::string Quoted(std::string_view v) {
  std::string q = "\"";
  for (char c : v) {
    if (c == '"' || c == '\\') q += '\\';
    if (c != '\r' && c != '\n') q += c;
  }
  return q + "\"";
}

}  // namespace

St StDocToMimePartXfm(St doc, std::string_view contentType,
                      std::string_view fileName) {
  StCheck(doc, "StDocToMimePartXfm-- doc");
  bool text =
      contentType.size() >= 5 && EqualNoCase(contentType.substr(0, 5), "text/");
  std::string head = "Content-Type: ";
  head += contentType;
  if (!fileName.empty()) head += "; name=" + Quoted(fileName);
  head += "\r\nContent-Transfer-Encoding: ";
  St body;
  if (text && !StDocIsBinary(doc) && StIsStandardText(doc)) {
    head += "7bit";
    std::string out;
    const uint8_t* p = doc.Bytes();
    int32_t n = doc.Length();
    for (int32_t ix = 0; ix < n;) {
      Line line = LineAt(p, n, ix);
      out.append(doc.CStr() + line.start, size_t(line.end - line.start));
      if (line.next > line.end) out += "\r\n";
      ix = line.next;
    }
    body = StFromView(out);
  } else if (text && !StDocIsBinary(doc)) {
    head += "quoted-printable";
    body = StToQuotedPrintable(std::move(doc));
  } else {
    head += "base64";
    body = StToBase64(std::move(doc), 76);
  }
  head += "\r\n";
  if (!fileName.empty())
    head += "Content-Disposition: attachment; filename=" + Quoted(fileName) +
            "\r\n";
  head += "\r\n";
  return StCat(StFromView(head), std::move(body));
}

// ---------------------------------------------------------------------------
// Multipart bodies.

St StEncBoundary(const St& doc) {
  St type = StDocFieldValue(doc, "Content-Type");
  if (type.IsNil()) return St();
  St main = StFieldValueItem(type, "");
  if (!StIsPrefixC(main, "multipart/")) return St();
  St boundary = StFieldValueItem(type, "boundary");
  return boundary.Empty() ? St() : boundary;
}

namespace {

void ParsePart(const St& doc, bool digest, int depth, int32_t alternative,
               StEncList* parts);

// Splits a multipart body at its delimiter lines and parses each part.
void ParseMultipart(const St& body, const St& boundary, bool digest,
                    bool alternative, int32_t inherited, int depth,
                    StEncList* parts) {
  const uint8_t* p = body.Bytes();
  int32_t n = body.Length();
  std::string_view dash = "--";
  std::string_view b = boundary.View();
  int32_t partStart = -1;
  int32_t index = 0;
  auto emit = [&](int32_t end) {
    St part = StCreateLen(p + partStart, end - partStart);
    ParsePart(part, digest, depth + 1, alternative ? index : inherited, parts);
    ++index;
  };
  int32_t prevEnd = 0;  // end of the previous line (before its break)
  for (int32_t ix = 0; ix < n;) {
    Line line = LineAt(p, n, ix);
    std::string_view text(body.CStr() + line.start,
                          size_t(line.end - line.start));
    bool delimiter = false, close = false;
    if (text.size() >= 2 + b.size() && text.substr(0, 2) == dash &&
        text.substr(2, b.size()) == b) {
      std::string_view tail = text.substr(2 + b.size());
      if (tail.substr(0, 2) == dash) {
        close = true;
        tail.remove_prefix(2);
      }
      delimiter = Trim(tail).empty();
    }
    if (delimiter) {
      // The line break before a delimiter belongs to the delimiter.
      if (partStart >= 0) emit(line.start > partStart ? prevEnd : partStart);
      if (close) return;
      partStart = line.next;
    }
    prevEnd = line.end;
    ix = line.next;
  }
  if (partStart >= 0 && partStart < n) emit(n);
}

void ParsePart(const St& doc, bool digest, int depth, int32_t alternative,
               StEncList* parts) {
  St type = StDocFieldValue(doc, "Content-Type");
  St main = type.IsNil() ? St() : StFieldValueItem(type, "");
  int32_t bodyIx = StDocBodyIx(doc);
  if (StIsPrefixC(main, "multipart/") && depth < kStEncMaxDepth) {
    St boundary = StFieldValueItem(type, "boundary");
    if (!boundary.Empty()) {
      St body = StSubstr(doc, bodyIx, doc.Length() - bodyIx);
      ParseMultipart(body, boundary, main == "multipart/digest",
                     main == "multipart/alternative", alternative, depth,
                     parts);
      return;
    }
  }
  StEncPart part;
  // The head without its empty line.
  int32_t headEnd = bodyIx;
  while (headEnd > 0 && (doc[headEnd - 1] == '\n' || doc[headEnd - 1] == '\r'))
    --headEnd;
  part.head = headEnd > 0 ? StSubstr(doc, 0, headEnd) : St();
  part.contentType = main.Empty()
                         ? StFromView(digest ? "message/rfc822" : "text/plain")
                         : main;
  if (!type.IsNil()) part.charset = StFieldValueItem(type, "charset");
  St disposition = StDocFieldValue(doc, "Content-Disposition");
  if (!disposition.IsNil())
    part.fileName = StFieldValueItem(disposition, "filename");
  if (part.fileName.Empty() && !type.IsNil())
    part.fileName = StFieldValueItem(type, "name");
  if (part.fileName.Empty()) part.fileName = St();
  St body = bodyIx < doc.Length() ? StSubstr(doc, bodyIx, doc.Length() - bodyIx)
                                  : StCreate();
  part.body = DecodeBody(std::move(body),
                         StDocFieldValue(doc, "Content-Transfer-Encoding"));
  part.alternative = alternative;
  parts->push_back(std::move(part));
}

}  // namespace

int32_t StEncParse(const St& doc, StEncList* parts) {
  StCheck(doc, "StEncParse-- doc");
  size_t before = parts->size();
  ParsePart(doc, false, 0, -1, parts);
  return int32_t(parts->size() - before);
}

bool StEncIsEnclosure(const StEncPart& part) {
  return !part.fileName.IsNil() ||
         (part.contentType != "text/plain" && part.contentType != "text/html");
}

void StEncLiDestroy(StEncList& parts) noexcept { parts.clear(); }

}  // namespace quil
