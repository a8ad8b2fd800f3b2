// Self-referring links: found in literal text at parse time, filled with the
// certificate at evaluation (Template.h explains the rules).
#include <cstring>

#include "Template.h"
#include "TemplateInt.h"

namespace quil {

namespace {

constexpr int kUrlBaseCode = 168;  // the keyword urlBase

// Ranges of text in which no link is taken: HTML comments, <textarea> and
// <script> elements (the skip list).
using Ranges = std::vector<std::pair<size_t, size_t>>;

bool StartsNoCase(std::string_view s, size_t at, std::string_view word) {
  return s.size() - at >= word.size() &&
         ExprEqualNoCase(s.substr(at, word.size()), word);
}

Ranges SkipRanges(std::string_view text) {
  Ranges out;
  size_t i = 0;
  while (i < text.size()) {
    const void* hit = memchr(text.data() + i, '<', text.size() - i);
    if (!hit) break;
    i = size_t(static_cast<const char*>(hit) - text.data());
    std::string_view close;
    if (StartsNoCase(text, i, "<!--")) close = "-->";
    else if (StartsNoCase(text, i, "<textarea")) close = "</textarea";
    else if (StartsNoCase(text, i, "<script")) close = "</script";
    if (close.empty()) {
      ++i;
      continue;
    }
    size_t end = i + 1;
    while (end < text.size() && !StartsNoCase(text, end, close)) {
      const void* lt = memchr(text.data() + end + 1, close[0],
                              text.size() - end - 1);
      end = lt ? size_t(static_cast<const char*>(lt) - text.data())
               : text.size();
    }
    end = end < text.size() ? end + close.size() : text.size();
    out.emplace_back(i, end);
    i = end;
  }
  return out;
}

bool Skipped(const Ranges& ranges, size_t pos) {
  for (const auto& [from, to] : ranges)
    if (pos >= from && pos < to) return true;
  return false;
}

// At text[at]: a command of 1 to 3 digits and "@@"; the offset of the
// second "@" (where the certificate goes), or npos.
size_t CommandAt(std::string_view text, size_t at) {
  size_t k = at;
  int value = 0;
  while (k < text.size() && k - at < 3 && text[k] >= '0' && text[k] <= '9')
    value = value * 10 + (text[k++] - '0');
  if (k == at || k + 1 >= text.size() || text[k] != '@' || text[k + 1] != '@')
    return std::string_view::npos;
  if (!TemplateCommandTakesCertificate(value)) return std::string_view::npos;
  return k + 1;
}

// The self-referring links of text[from, to) of whole, skipping ranges.
void Scan(std::string_view whole, size_t from, size_t to, const St& siteString,
          const St& urlBase, bool afterUrlBase, const Ranges& skip,
          std::vector<int32_t>* offsets) {
  std::string_view text = whole.substr(0, to);
  if (afterUrlBase && !Skipped(skip, from)) {
    size_t at = CommandAt(text, from);
    if (at != std::string_view::npos) offsets->push_back(int32_t(at - from));
  }
  size_t i = from;
  while (i + 1 < to) {
    const void* hit = memchr(text.data() + i, '=', to - i - 1);
    if (!hit) break;
    i = size_t(static_cast<const char*>(hit) - text.data());
    char q = text[i + 1];
    if (q != '"' && q != '\'') {
      ++i;
      continue;
    }
    size_t j = i + 2;
    std::string_view rest = text.substr(j);
    if (!siteString.Empty() && rest.substr(0, size_t(siteString.Length())) ==
                                   siteString.View())
      j += size_t(siteString.Length());
    else if (!urlBase.Empty() &&
             rest.substr(0, size_t(urlBase.Length())) == urlBase.View())
      j += size_t(urlBase.Length());
    else if (j < to && text[j] == '?')
      ++j;
    else {
      ++i;
      continue;
    }
    size_t at = CommandAt(text, j);
    if (at != std::string_view::npos && !Skipped(skip, i))
      offsets->push_back(int32_t(at - from));
    i = j;
  }
}

void BuildOne(Template& t, std::string_view text, const St& siteString,
              const St& urlBase, const Ranges& skip,
              std::vector<int32_t>* refs,
              std::vector<std::pair<size_t, std::pair<int32_t, int32_t>>>* out) {
  const std::vector<TemplatePiece>& pieces = t.Pieces();
  const std::vector<ExprItem>& items = t.Items();
  for (size_t i = 0; i < pieces.size(); ++i) {
    const TemplatePiece& p = pieces[i];
    if (p.litLen <= 0) continue;
    const Expr& e = p.expr;
    bool afterUrlBase = e.kind == kExprPlain && e.count == 1 &&
                        items[size_t(e.first)].kind == kItemKeyword &&
                        items[size_t(e.first)].code == kUrlBaseCode;
    size_t first = refs->size();
    Scan(text, size_t(p.litOff), size_t(p.litOff + p.litLen), siteString,
         urlBase, afterUrlBase, skip, refs);
    if (refs->size() > first)
      out->push_back({i, {int32_t(first), int32_t(refs->size() - first)}});
  }
}

}  // namespace

bool TemplateCommandTakesCertificate(int command) {
  if (command < 1 || command > 300) return false;
  for (int c : kTemplateNoCertCommands)
    if (c == command) return false;
  return true;
}

void TemplateSelfRefScan(std::string_view text, const St& siteString,
                         const St& urlBase, bool afterUrlBase,
                         std::vector<int32_t>* offsets) {
  Ranges skip = SkipRanges(text);
  Scan(text, 0, text.size(), siteString, urlBase, afterUrlBase, skip, offsets);
}

St TemplateSelfRefInsert(std::string_view page, const St& certificate,
                         const St& siteString, const St& urlBase) {
  std::vector<int32_t> offsets;
  TemplateSelfRefScan(page, siteString, urlBase, false, &offsets);
  St out = StReserve(St(), int32_t(page.size() + offsets.size() *
                                                   size_t(certificate.Length())));
  size_t at = 0;
  for (int32_t off : offsets) {
    out = StAppendView(std::move(out), page.substr(at, size_t(off) - at));
    out = StAppendView(std::move(out), certificate.View());
    at = size_t(off);
  }
  return StAppendView(std::move(out), page.substr(at));
}

void TemplateSelfRefBuild(Template& root, const St& siteString,
                          const St& urlBase) {
  std::string_view text = root.Text().View();
  Ranges skip = SkipRanges(text);
  std::vector<Template*> todo{&root};
  while (!todo.empty()) {
    Template* t = todo.back();
    todo.pop_back();
    std::vector<std::pair<size_t, std::pair<int32_t, int32_t>>> found;
    std::vector<int32_t> refs;
    BuildOne(*t, text, siteString, urlBase, skip, &refs, &found);
    t->selfRefs_ = std::move(refs);
    for (const auto& [piece, range] : found) {
      t->pieces_[piece].selfFirst = range.first;
      t->pieces_[piece].selfCount = range.second;
    }
    t->ForEachMacro([&](const TemplateRef& m) { todo.push_back(m.get()); });
  }
}

}  // namespace quil
