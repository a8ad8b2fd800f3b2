// The filter of objectionable words: the compiled word list, matching with
// word boundaries and prefixes, the telephone-number rule, and covering.
#include <algorithm>
#include <string>

#include "St.h"

namespace quil {

namespace {

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// Letters and digits, the Latin-1 letters included.
bool IsWordByte(uint8_t c) {
  return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= 0xC0 && c != 0xD7 && c != 0xF7);
}

uint8_t Fold(uint8_t c) { return StLatinUpper[c]; }

bool IsPhoneSeparator(uint8_t c) {
  return c == ' ' || c == '-' || c == '.' || c == '(' || c == ')';
}

// End of a telephone number starting at i, or -1.
int32_t PhoneEnd(const uint8_t* p, int32_t n, int32_t i) {
  if (i > 0 && (IsWordByte(p[i - 1]) || p[i - 1] == '+')) return -1;
  int32_t j = i;
  if (p[j] == '+' || p[j] == '(') ++j;
  if (j >= n || !IsDigit(p[j])) return -1;
  int digits = 0, lastGroup = 0;
  int32_t end = j;
  while (j < n) {
    if (IsDigit(p[j])) {
      ++digits;
      ++lastGroup;
      end = ++j;
      continue;
    }
    int32_t k = j;
    while (k < n && k - j < 2 && IsPhoneSeparator(p[k])) ++k;
    if (k == j || k >= n || !IsDigit(p[k])) break;
    lastGroup = 0;
    j = k;
  }
  if (end < n && IsWordByte(p[end])) return -1;
  if (digits < 7 || digits > 15 || lastGroup < 4) return -1;
  return end;
}

// End of a match of the compiled word w at i, or -1.
int32_t WordEnd(const uint8_t* p, int32_t n, int32_t i, std::string_view w) {
  bool prefix = !w.empty() && w.back() == '*';
  if (prefix) w.remove_suffix(1);
  if (w.empty() || size_t(n - i) < w.size()) return -1;
  bool anywhere =
      std::any_of(w.begin(), w.end(), [](char c) { return uint8_t(c) >= 128; });
  for (size_t k = 0; k < w.size(); ++k)
    if (Fold(p[i + int32_t(k)]) != uint8_t(w[k])) return -1;
  int32_t end = i + int32_t(w.size());
  if (anywhere) return end;
  if (IsWordByte(uint8_t(w.front())) && i > 0 && IsWordByte(p[i - 1]))
    return -1;
  if (prefix) {
    while (end < n && IsWordByte(p[end])) ++end;
    return end;
  }
  if (IsWordByte(uint8_t(w.back())) && end < n && IsWordByte(p[end])) return -1;
  return end;
}

// Calls found(start, end) for each match, left to right, not overlapping.
// Stops early when found returns false.
template <class Found>
void ForEachMatch(const St& text, const St& list, bool phone, Found found) {
  const uint8_t* p = text.Bytes();
  int32_t n = text.Length();
  std::string_view l = list.View();
  // The first bytes of the words, so that most positions are passed over
  // without walking the list.
  bool first[256] = {};
  for (size_t k = 0; k + 1 < l.size(); k += 1 + uint8_t(l[k]))
    if (uint8_t(l[k]) > 0) first[uint8_t(l[k + 1])] = true;
  for (int32_t i = 0; i < n;) {
    int32_t best = -1;
    for (size_t k = 0; first[Fold(p[i])] && k < l.size();) {
      size_t len = uint8_t(l[k]);
      std::string_view w = l.substr(k + 1, len);
      k += 1 + len;
      best = std::max(best, WordEnd(p, n, i, w));
    }
    if (phone && best < 0 && (IsDigit(p[i]) || p[i] == '+' || p[i] == '('))
      best = PhoneEnd(p, n, i);
    if (best > i) {
      if (!found(i, best)) return;
      i = best;
    } else {
      ++i;
    }
  }
}

}  // namespace

St StObjectionableListXfm(const St& words) {
  StCheck(words, "StObjectionableListXfm-- words");
  std::string list;
  std::string_view v = words.View();
  size_t i = 0;
  while (i < v.size()) {
    while (i < v.size() && (StCharIsWhiteSpace(uint8_t(v[i])) || v[i] == ','))
      ++i;
    size_t start = i;
    while (i < v.size() && !StCharIsWhiteSpace(uint8_t(v[i])) && v[i] != ',')
      ++i;
    if (i == start) continue;
    size_t len = std::min<size_t>(i - start, 255);
    list += char(len);
    for (size_t k = start; k < start + len; ++k)
      list += char(Fold(uint8_t(v[k])));
  }
  return StFromView(list);
}

bool StObjectionable(const St& text, const St& list, bool phone) {
  StCheck(text, "StObjectionable-- text");
  StCheck(list, "StObjectionable-- list");
  bool any = false;
  ForEachMatch(text, list, phone, [&](int32_t, int32_t) {
    any = true;
    return false;
  });
  return any;
}

St StObjectionableCover(St text, const St& list, bool phone,
                        std::string_view before, std::string_view after) {
  StCheck(text, "StObjectionableCover-- text");
  StCheck(list, "StObjectionableCover-- list");
  std::string out;
  int32_t copied = 0;
  ForEachMatch(text, list, phone, [&](int32_t start, int32_t end) {
    out.append(text.CStr() + copied, size_t(start - copied));
    out += before;
    out.append(text.CStr() + start, size_t(end - start));
    out += after;
    copied = end;
    return true;
  });
  if (copied == 0 && out.empty()) return text;
  out.append(text.CStr() + copied, size_t(text.Length() - copied));
  return StFromView(out);
}

}  // namespace quil
