// Form fields: the URL's "!" fields, urlencoded bodies and multipart/
// form-data bodies with their files, and the readers of the form list.
#include <strings.h>

#include <algorithm>
#include <string>
#include <unordered_map>

#include "Cgi.h"

namespace quil {

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool ContainsNoCase(std::string_view text, std::string_view word) {
  if (word.size() > text.size()) return false;
  for (size_t i = 0; i + word.size() <= text.size(); ++i)
    if (strncasecmp(text.data() + i, word.data(), word.size()) == 0) return true;
  return false;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Adds one field unless the form is full or the name is unusable.
bool AddField(CgiPairList* form, std::string_view name, St value) {
  if (int32_t(form->size()) >= kCgiMaxFields) return false;
  if (name.empty() || name.size() > size_t(kCgiMaxNameLength)) return true;
  if (value.Length() > kCgiMaxValueLength) value = StSubstr(value, 0, kCgiMaxValueLength);
  if (value.Empty()) value = St();
  form->push_back({StFromView(name), std::move(value)});
  return true;
}

}  // namespace

int32_t GetNameValuePairsX(const St& text, CgiPairList* form) {
  std::string_view rest = text.View();
  int32_t added = 0;
  while (!rest.empty()) {
    size_t amp = rest.find('&');
    std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    if (pair.empty()) continue;
    size_t eq = pair.find('=');
    std::string_view name = Trim(pair.substr(0, eq));
    St value;
    if (eq != std::string_view::npos) {
      // Decoding never lengthens a value: cut the raw text first so that a
      // huge value costs no more than the limit.
      std::string_view raw = pair.substr(eq + 1);
      if (raw.size() > size_t(kCgiMaxValueLength) * 3) raw = raw.substr(0, size_t(kCgiMaxValueLength) * 3);
      value = StFromUrlQuote(StFromView(raw));
    }
    size_t before = form->size();
    if (!AddField(form, name, std::move(value))) break;
    added += int32_t(form->size() - before);
  }
  return added;
}

St ConvertPlusSymbols(St text) {
  if (StIndex(text, 0, '+') < 0) return text;
  return StTranslateC(std::move(text), "+", " ");
}

// ---------------------------------------------------------------------------
// multipart/form-data (RFC 7578 on RFC 2046).

namespace {

// The value of parameter name in a header value ("form-data; name=\"a\"";
// parameters compared without regard to case).  Quoted values run to the
// closing quote; a backslash escapes only a quote, because browsers send
// Windows paths unescaped ("C:\dir\a.gif").  False when absent.
bool HeaderParam(std::string_view value, std::string_view name, std::string_view* out) {
  size_t i = value.find(';');
  while (i != std::string_view::npos && i < value.size()) {
    ++i;  // past ";"
    while (i < value.size() && IsBlank(value[i])) ++i;
    size_t eq = i;
    while (eq < value.size() && value[eq] != '=' && value[eq] != ';') ++eq;
    std::string_view key = Trim(value.substr(i, eq - i));
    if (eq >= value.size() || value[eq] == ';') {
      i = eq;
      continue;
    }
    size_t v = eq + 1;
    while (v < value.size() && IsBlank(value[v])) ++v;
    size_t end;
    std::string_view got;
    if (v < value.size() && value[v] == '"') {
      size_t q = v + 1;
      while (q < value.size() && !(value[q] == '"' && value[q - 1] != '\\')) ++q;
      got = value.substr(v + 1, q - v - 1);
      end = q < value.size() ? q + 1 : q;
    } else {
      end = value.find(';', v);
      if (end == std::string_view::npos) end = value.size();
      got = Trim(value.substr(v, end - v));
    }
    if (EqualNoCase(key, name)) {
      *out = got;
      return true;
    }
    i = value.find(';', end);
  }
  return false;
}

// A quoted parameter with its escaped quotes resolved.
St ParamText(std::string_view raw) {
  std::string s;
  s.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\\' && i + 1 < raw.size() && raw[i + 1] == '"') continue;
    s.push_back(raw[i]);
  }
  return StFromView(s);
}

// The value of header name in a part's head (lines ending in LF or CR LF,
// continuation lines joined), trimmed.  False when absent.
bool PartHeader(std::string_view head, std::string_view name, std::string* out) {
  bool found = false;
  size_t pos = 0;
  while (pos < head.size()) {
    size_t nl = head.find('\n', pos);
    std::string_view line = head.substr(pos, nl == std::string_view::npos ? nl : nl - pos);
    pos = nl == std::string_view::npos ? head.size() : nl + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      if (found) *out += std::string(" ") + std::string(Trim(line));
      continue;
    }
    if (found) return true;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    if (EqualNoCase(Trim(line.substr(0, colon)), name)) {
      found = true;
      *out = std::string(Trim(line.substr(colon + 1)));
    }
  }
  return found;
}

// Position of the next delimiter line "--" boundary at or after from that
// starts the body or follows a line break; *lineStart is where the line
// break before it begins (the end of the previous part).
size_t FindDelimiter(std::string_view body, std::string_view delim, size_t from, size_t* lineStart) {
  while (from <= body.size()) {
    size_t at = body.find(delim, from);
    if (at == std::string_view::npos) return at;
    if (at == 0) {
      *lineStart = 0;
      return at;
    }
    if (body[at - 1] == '\n') {
      *lineStart = at >= 2 && body[at - 2] == '\r' ? at - 2 : at - 1;
      return at;
    }
    from = at + 1;
  }
  return std::string_view::npos;
}

}  // namespace

bool GetPartNameValuePairs(const St& body, const St& contentType, CgiPairList* form,
                           CgiUploadList* files) {
  std::string_view type = contentType.View();
  std::string_view raw;
  if (!HeaderParam(type, "boundary", &raw)) return false;
  St boundary = ParamText(raw);
  if (boundary.Empty() || boundary.Length() > 200) return false;
  std::string delim = "--" + boundary.Str();
  std::string_view b = body.View();
  size_t lineStart = 0;
  size_t at = FindDelimiter(b, delim, 0, &lineStart);
  int32_t parts = 0;
  while (at != std::string_view::npos) {
    size_t p = at + delim.size();
    if (b.substr(p, 2) == "--") break;  // the closing delimiter
    // Transport padding, then the line break that ends the delimiter line.
    while (p < b.size() && (b[p] == ' ' || b[p] == '\t')) ++p;
    if (p < b.size() && b[p] == '\r') ++p;
    if (p < b.size() && b[p] == '\n') ++p;
    // The head ends at the first empty line, looked for within the longest
    // head allowed (so that a body of many parts is read in linear time).
    size_t headEnd, dataStart;
    std::string_view window = b.substr(p, size_t(kCgiMaxPartHead) + 4);
    size_t crlf = window.find("\r\n\r\n"), lf = window.find("\n\n");
    if (crlf != std::string_view::npos) crlf += p;
    if (lf != std::string_view::npos) lf += p;
    if (b.substr(p, 2) == "\r\n") {
      headEnd = p, dataStart = p + 2;
    } else if (b.substr(p, 1) == "\n") {
      headEnd = p, dataStart = p + 1;
    } else if (crlf != std::string_view::npos && (lf == std::string_view::npos || crlf < lf)) {
      headEnd = crlf + 2, dataStart = crlf + 4;
    } else if (lf != std::string_view::npos) {
      headEnd = lf + 1, dataStart = lf + 2;
    } else {
      break;  // no head end (or one too far): nothing more to read
    }
    if (headEnd - p > size_t(kCgiMaxPartHead)) break;
    std::string_view head = b.substr(p, headEnd - p);
    size_t next = FindDelimiter(b, delim, dataStart, &lineStart);
    size_t dataEnd = next == std::string_view::npos ? b.size() : std::max(lineStart, dataStart);
    std::string_view data = b.substr(dataStart, dataEnd - dataStart);
    at = next;
    if (++parts > kCgiMaxFields || int32_t(form->size()) >= kCgiMaxFields) break;

    std::string disposition, partType;
    if (!PartHeader(head, "Content-Disposition", &disposition)) continue;
    std::string_view nameRaw, fileRaw;
    if (!HeaderParam(disposition, "name", &nameRaw)) continue;
    St name = ParamText(nameRaw);
    if (!HeaderParam(disposition, "filename", &fileRaw)) {
      (void)AddField(form, name.View(), StFromView(data));
      continue;
    }
    St fileName = ParamText(fileRaw);
    (void)AddField(form, name.View(), fileName);
    if (fileName.Empty() && data.empty()) continue;  // no file chosen
    CgiUpload up;
    up.name = name;
    up.fileName = fileName;
    if (PartHeader(head, "Content-Type", &partType)) up.contentType = StFromView(partType);
    up.data = StFromView(data);
    files->push_back(std::move(up));
  }
  return true;
}

void RemoveNameValueDuplicates(CgiPairList* form) {
  std::unordered_map<std::string_view, size_t> last;
  for (size_t i = 0; i < form->size(); ++i) last[(*form)[i].name.View()] = i;
  if (last.size() == form->size()) return;
  CgiPairList kept;
  kept.reserve(last.size());
  for (size_t i = 0; i < form->size(); ++i) {
    if (last[(*form)[i].name.View()] == i) kept.push_back(std::move((*form)[i]));
  }
  *form = std::move(kept);
}

// ---------------------------------------------------------------------------
// Readers.

namespace {
const CgiPair* FindField(const CgiPairList& form, std::string_view name) {
  for (auto it = form.rbegin(); it != form.rend(); ++it)
    if (it->name.View() == name) return &*it;
  return nullptr;
}
}  // namespace

St GetValueFromName(const CgiPairList& form, std::string_view name) {
  const CgiPair* f = FindField(form, name);
  return f ? f->value : St();
}

bool CkHasName(const CgiPairList& form, std::string_view name) {
  return FindField(form, name) != nullptr;
}

bool CkHasValue(const CgiPairList& form, std::string_view name) {
  const CgiPair* f = FindField(form, name);
  return f && !f->value.Empty();
}

bool CkGetValueFromName(const CgiPairList& form, std::string_view name, St* value) {
  const CgiPair* f = FindField(form, name);
  if (!f || f->value.Empty()) return false;
  *value = f->value;
  return true;
}

bool CkGetIntFromName(const CgiPairList& form, std::string_view name, int32_t* value) {
  const CgiPair* f = FindField(form, name);
  if (!f) return false;
  int32_t n = 0;
  if (!StIntStXfm(StStripBlanks(f->value), &n)) return false;
  *value = n;
  return true;
}

int32_t GetIntFromName(const CgiPairList& form, std::string_view name, int32_t dflt) {
  int32_t n = dflt;
  (void)CkGetIntFromName(form, name, &n);
  return n;
}

bool CkIsChecked(const CgiPairList& form, std::string_view name) {
  const CgiPair* f = FindField(form, name);
  if (!f) return false;
  std::string_view v = Trim(f->value.View());
  return !(v == "0" || EqualNoCase(v, "off") || EqualNoCase(v, "no"));
}

St DotPasswords(St text) {
  if (!ContainsNoCase(text.View(), "password")) return text;
  std::string_view in = text.View();
  std::string out;
  out.reserve(in.size());
  size_t pos = 0;
  while (pos <= in.size()) {
    size_t amp = in.find('&', pos);
    std::string_view pair = in.substr(pos, amp == std::string_view::npos ? amp : amp - pos);
    size_t eq = pair.find('=');
    if (eq != std::string_view::npos && ContainsNoCase(pair.substr(0, eq), "password"))
      pair = pair.substr(0, eq + 1);
    out += pair;
    if (amp == std::string_view::npos) break;
    out += '&';
    pos = amp + 1;
  }
  return StFromView(out);
}

}  // namespace quil
