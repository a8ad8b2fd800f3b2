// Names of people: canonical form and the conversions between "First Last"
// and "Last, First" used for user names and sorting by last name.
#include <algorithm>
#include <string>
#include <vector>

#include "St.h"

namespace quil {

namespace {

bool IsSuffix(std::string_view word) {
  return std::find(LastNameSuffix.begin(), LastNameSuffix.end(), word) !=
         LastNameSuffix.end();
}

bool IsParticle(std::string_view word) {
  return std::find(LastNamePrefix.begin(), LastNamePrefix.end(), word) !=
         LastNamePrefix.end();
}

// The field of a canonical name that starts at ix: up to the next comma or
// the end.
std::string_view FieldAt(std::string_view name, size_t ix) {
  if (ix > name.size()) return {};
  size_t end = name.find(',', ix);
  return name.substr(ix, end == std::string_view::npos ? end : end - ix);
}

// Position of the first comma of a canonical name that is followed by a field
// other than a suffix, or npos.
size_t FirstNameComma(std::string_view name) {
  for (size_t pos = name.find(','); pos != std::string_view::npos;
       pos = name.find(',', pos + 1)) {
    if (pos + 2 <= name.size() && !IsSuffix(FieldAt(name, pos + 2))) return pos;
  }
  return std::string_view::npos;
}

std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(' ', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

std::string Join(const std::vector<std::string_view>& words, size_t from,
                 size_t to) {
  std::string out;
  for (size_t i = from; i < to; ++i) {
    if (i > from) out += ' ';
    out += words[i];
  }
  return out;
}

// A name split into its last name (without suffixes), its suffix part as
// written after the last name (", Jr." or " Jr"), and its given names.
struct NameParts {
  std::string last, suffix, first;
  bool split = false;  // false: a one-word name or no name at all
};

NameParts SplitName(std::string_view name, bool familyFirst) {
  NameParts parts;
  size_t comma = FirstNameComma(name);
  if (comma != std::string_view::npos) {
    // Already "Last, First": the last name runs to its first comma.
    std::string_view lastPart = name.substr(0, comma);
    size_t suffixComma = lastPart.find(',');
    parts.last = std::string(lastPart.substr(0, suffixComma));
    if (suffixComma != std::string_view::npos)
      parts.suffix = std::string(lastPart.substr(suffixComma));
    parts.first = std::string(name.substr(comma + 2));
    parts.split = true;
  } else {
    size_t suffixComma = name.find(',');
    std::string_view main = name.substr(0, suffixComma);
    if (suffixComma != std::string_view::npos)
      parts.suffix = std::string(name.substr(suffixComma));
    std::vector<std::string_view> words = Words(main);
    // Suffix words written without a comma ("John Smith Jr").
    while (words.size() > 2 && IsSuffix(words.back())) {
      parts.suffix = " " + std::string(words.back()) + parts.suffix;
      words.pop_back();
    }
    if (words.size() < 2) {
      parts.last = std::string(main);
      return parts;
    }
    if (familyFirst) {
      parts.last = std::string(words[0]);
      parts.first = Join(words, 1, words.size());
    } else {
      size_t k = words.size() - 1;
      while (k > 1 && IsParticle(words[k - 1])) --k;
      parts.last = Join(words, k, words.size());
      parts.first = Join(words, 0, k);
    }
    parts.split = true;
  }
  // Trailing suffix words inside a "Last Jr, First" last name.
  std::vector<std::string_view> lastWords = Words(parts.last);
  size_t keep = lastWords.size();
  while (keep > 1 && IsSuffix(lastWords[keep - 1])) --keep;
  if (keep < lastWords.size()) {
    parts.suffix = " " + Join(lastWords, keep, lastWords.size()) + parts.suffix;
    parts.last = Join(lastWords, 0, keep);
  }
  return parts;
}

}  // namespace

St StNameCanonical(St name) {
  StCheck(name, "StNameCanonical-- name");
  std::string out;
  out.reserve(size_t(name.Length()));
  bool pendingBlank = false;
  for (uint8_t c : name.View()) {
    if (StCharIsWhiteSpace(c)) {
      pendingBlank = !out.empty();
    } else if (c == ',') {
      out += ',';
      pendingBlank = true;
    } else {
      if (pendingBlank) out += ' ';
      out += char(c);
      pendingBlank = false;
    }
  }
  if (name.View() == out) return name;
  return StFromView(out);
}

St StNameToFirstLast(St name, bool familyFirst) {
  StCheck(name, "StNameToFirstLast-- name");
  St canonical = StNameCanonical(std::move(name));
  std::string_view v = canonical.View();
  size_t comma = FirstNameComma(v);
  if (comma == std::string_view::npos) return canonical;
  std::string_view before = v.substr(0, comma), after = v.substr(comma + 2);
  std::string out = familyFirst ? std::string(before) + " " + std::string(after)
                                : std::string(after) + " " + std::string(before);
  return StFromView(out);
}

St StNameToLastCommaFirst(St name, bool familyFirst) {
  StCheck(name, "StNameToLastCommaFirst-- name");
  St canonical = StNameCanonical(std::move(name));
  std::string_view v = canonical.View();
  if (FirstNameComma(v) != std::string_view::npos) return canonical;
  NameParts parts = SplitName(v, familyFirst);
  if (!parts.split) return canonical;
  return StFromView(parts.last + parts.suffix + ", " + parts.first);
}

St StFirstName(St name, bool familyFirst) {
  StCheck(name, "StFirstName-- name");
  St canonical = StNameCanonical(std::move(name));
  return StFromView(SplitName(canonical.View(), familyFirst).first);
}

St StLastName(St name, bool familyFirst) {
  StCheck(name, "StLastName-- name");
  St canonical = StNameCanonical(std::move(name));
  return StFromView(SplitName(canonical.View(), familyFirst).last);
}

bool StNameIxIsPrefix(const St& name, int32_t ix) {
  StCheck(name, "StNameIxIsPrefix-- name");
  std::string_view v = name.View();
  if (ix < 0 || size_t(ix) >= v.size()) return false;
  size_t end = v.find(' ', size_t(ix));
  if (end == std::string_view::npos || end + 1 >= v.size()) return false;
  return IsParticle(v.substr(size_t(ix), end - size_t(ix)));
}

bool StNameIxIsSuffix(const St& name, int32_t ix) {
  StCheck(name, "StNameIxIsSuffix-- name");
  if (ix < 0 || ix > name.Length()) return false;
  return IsSuffix(FieldAt(name.View(), size_t(ix)));
}

}  // namespace quil
