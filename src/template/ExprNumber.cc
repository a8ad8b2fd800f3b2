// Number formats of .numberFormat.
//
// A format is read left to right: a literal prefix; an integer part of "#"
// and "0" (the "0"s count the required digits) in which any "," switches on
// grouping by thousands; an optional "." and a fraction part whose "0"s are
// required digits and "#"s optional ones; an optional exponent "E" or "e",
// an optional "+" (always show the exponent's sign) or "-", and "0"s (the
// exponent's least digits); a literal suffix.  A "%" in the prefix or suffix
// is written as it stands and multiplies the number by 100.  "E" and "e" in
// the prefix are literal.  The format must hold exactly one number field.
//
// The number is decimal text (sign, digits, fraction, exponent), so rounding
// is exact on its decimal digits: half away from zero.  A negative number
// that rounds to zero shows no sign; the sign goes before the prefix.
#include <string>

#include "Eval.h"

namespace quil {

namespace {

struct Format {
  std::string prefix, suffix;
  int intZeros = 0;
  int intPlaces = 0;
  bool grouping = false;
  bool point = false;
  int minFrac = 0;
  int maxFrac = 0;
  bool exponent = false;
  char expLetter = 'E';
  bool expPlus = false;
  int expDigits = 0;
  bool percent = false;
};

bool ParseFormat(std::string_view f, Format* out) {
  size_t i = 0, n = f.size();
  while (i < n && f[i] != '#' && f[i] != '0' && f[i] != ',' && f[i] != '.') {
    if (f[i] == '%') out->percent = true;
    out->prefix += f[i++];
  }
  while (i < n && (f[i] == '#' || f[i] == '0' || f[i] == ',')) {
    if (f[i] == ',') out->grouping = true;
    else ++out->intPlaces;
    if (f[i] == '0') ++out->intZeros;
    ++i;
  }
  if (i < n && f[i] == '.') {
    out->point = true;
    ++i;
    while (i < n && (f[i] == '0' || f[i] == '#')) {
      if (f[i] == '0') ++out->minFrac;
      ++out->maxFrac;
      ++i;
    }
  }
  if (out->intPlaces == 0 && out->maxFrac == 0) return false;
  if (i < n && (f[i] == 'E' || f[i] == 'e')) {
    size_t j = i + 1;
    bool plus = false;
    if (j < n && (f[j] == '+' || f[j] == '-')) plus = f[j++] == '+';
    size_t z = j;
    while (z < n && f[z] == '0') ++z;
    if (z > j) {
      out->exponent = true;
      out->expLetter = f[i];
      out->expPlus = plus;
      out->expDigits = int(z - j);
      i = z;
    }
  }
  for (; i < n; ++i) {
    if (f[i] == '#' || f[i] == '0') return false;  // a second number field
    if (f[i] == '%') out->percent = true;
    out->suffix += f[i];
  }
  return true;
}

// Splits decimal text into integer digits (no leading zeros) and fraction
// digits.  Empty text is zero.
bool ParseNumber(std::string_view s, bool* negative, std::string* ip,
                 std::string* fp) {
  size_t i = 0, n = s.size();
  while (i < n && uint8_t(s[i]) < 33) ++i;
  while (n > i && uint8_t(s[n - 1]) < 33) --n;
  *negative = false;
  if (i < n && (s[i] == '-' || s[i] == '+')) *negative = s[i++] == '-';
  std::string digits;
  int point = -1;
  for (; i < n && ((s[i] >= '0' && s[i] <= '9') || s[i] == '.'); ++i) {
    if (s[i] == '.') {
      if (point >= 0) return false;
      point = int(digits.size());
    } else {
      digits += s[i];
    }
  }
  if (point < 0) point = int(digits.size());
  if (digits.empty() && i < n) return false;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool neg = false;
    if (i < n && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
    int e = 0;
    size_t start = i;
    for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i) {
      e = e * 10 + (s[i] - '0');
      if (e > 400) return false;
    }
    if (i == start) return false;
    point += neg ? -e : e;
  }
  if (i != n) return false;
  if (point < 0) {
    digits.insert(0, size_t(-point), '0');
    point = 0;
  }
  if (size_t(point) > digits.size()) digits.append(size_t(point) - digits.size(), '0');
  *ip = digits.substr(0, size_t(point));
  *fp = digits.substr(size_t(point));
  size_t nz = ip->find_first_not_of('0');
  ip->erase(0, nz == std::string::npos ? ip->size() : nz);
  return true;
}

// Cuts the fraction to keep digits, rounding half away from zero; a carry
// may lengthen the integer digits.
void Round(std::string* ip, std::string* fp, int keep) {
  if (int(fp->size()) <= keep) return;
  bool up = (*fp)[size_t(keep)] >= '5';
  fp->resize(size_t(keep));
  if (!up) return;
  for (size_t k = fp->size(); k-- > 0;) {
    if ((*fp)[k] != '9') {
      ++(*fp)[k];
      return;
    }
    (*fp)[k] = '0';
  }
  for (size_t k = ip->size(); k-- > 0;) {
    if ((*ip)[k] != '9') {
      ++(*ip)[k];
      return;
    }
    (*ip)[k] = '0';
  }
  ip->insert(ip->begin(), '1');
}

bool AllZero(const std::string& s) {
  return s.find_first_not_of('0') == std::string::npos;
}

}  // namespace

bool ExprNumberFormat(std::string_view number, std::string_view format,
                      St* out) {
  Format f;
  if (!ParseFormat(format, &f)) return false;
  bool negative;
  std::string ip, fp;
  if (!ParseNumber(number, &negative, &ip, &fp)) return false;
  if (f.percent) {
    for (int k = 0; k < 2; ++k) {
      ip += fp.empty() ? '0' : fp[0];
      if (!fp.empty()) fp.erase(0, 1);
    }
    size_t nz = ip.find_first_not_of('0');
    ip.erase(0, nz == std::string::npos ? ip.size() : nz);
  }
  std::string body;
  if (f.exponent) {
    int intDigits = f.intZeros > 0 ? f.intZeros : 1;
    std::string all = ip + fp;
    size_t fz = all.find_first_not_of('0');
    int exp = 0;
    std::string mi, mf;
    if (fz == std::string::npos) {
      mi.assign(size_t(intDigits), '0');
    } else {
      exp = int(ip.size()) - int(fz) - intDigits;
      std::string m = all.substr(fz);
      if (int(m.size()) < intDigits) m.append(size_t(intDigits) - m.size(), '0');
      mi = m.substr(0, size_t(intDigits));
      mf = m.substr(size_t(intDigits));
      Round(&mi, &mf, f.maxFrac);
      if (int(mi.size()) > intDigits) {
        mf.insert(mf.begin(), mi.back());
        mi.pop_back();
        mf.pop_back();
        ++exp;
      }
    }
    while (int(mf.size()) > f.minFrac && mf.back() == '0') mf.pop_back();
    if (int(mf.size()) < f.minFrac) mf.append(size_t(f.minFrac) - mf.size(), '0');
    if (AllZero(mi) && AllZero(mf)) negative = false;
    body = mi;
    if (!mf.empty() || (f.point && f.minFrac > 0)) body += '.' + mf;
    body += f.expLetter;
    if (exp < 0) body += '-';
    else if (f.expPlus) body += '+';
    std::string e = std::to_string(exp < 0 ? -exp : exp);
    if (int(e.size()) < f.expDigits) e.insert(0, size_t(f.expDigits) - e.size(), '0');
    body += e;
  } else {
    Round(&ip, &fp, f.maxFrac);
    size_t nz = ip.find_first_not_of('0');
    ip.erase(0, nz == std::string::npos ? ip.size() : nz);
    while (int(fp.size()) > f.minFrac && fp.back() == '0') fp.pop_back();
    if (int(fp.size()) < f.minFrac) fp.append(size_t(f.minFrac) - fp.size(), '0');
    if (ip.empty() && AllZero(fp)) negative = false;
    if (int(ip.size()) < f.intZeros) ip.insert(0, size_t(f.intZeros) - ip.size(), '0');
    if (f.grouping && ip.size() > 3) {
      std::string g;
      size_t lead = ip.size() % 3;
      for (size_t k = 0; k < ip.size(); ++k) {
        if (k > 0 && k >= lead && (k - lead) % 3 == 0) g += ',';
        g += ip[k];
      }
      ip = g;
    }
    if (ip.empty() && fp.empty()) ip.push_back('0');
    body = ip;
    if (!fp.empty()) body += '.' + fp;
  }
  std::string text;
  if (negative) text += '-';
  text += f.prefix;
  text += body;
  text += f.suffix;
  *out = StFromView(text);
  return true;
}

}  // namespace quil
