// The value forms of the tagged text format.
#include "ForumEi.h"

#include "Sgml.h"
#include "Td.h"

namespace quil {

St ForumEiTdToSt(const LgDbTd& date) { return TdToSt(LgDbTdToTd(date), ForumEiTdFormat); }

bool ForumEiStToTd(std::string_view text, LgDbTd* date) {
  Td t;
  if (!TdParse(text, &t)) return false;
  *date = LgDbTdFromTd(t);
  return true;
}

St ForumEiHex(uint32_t value) { return StHexNoZerosIntXfm(value); }

bool ForumEiParseHex(std::string_view text, uint32_t* value) {
  if (text.empty() || text.size() > 8) return false;
  uint32_t v = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return false;
    }
    v = v * 16 + uint32_t(d);
  }
  *value = v;
  return true;
}

bool ForumEiParseInt(std::string_view text, int32_t* value) {
  int32_t v = 0;
  if (!StIntStXfm(StFromView(text), &v)) return false;
  *value = v;
  return true;
}

St ForumEiValue(St value) {
  if (value.IsNil()) value = StCreate();
  St escaped = StToSgml(std::move(value));
  if (!HtmlNeedQuotes(escaped.View())) return escaped;
  std::string quoted;
  quoted.reserve(size_t(escaped.Length()) + 2);
  quoted.push_back('"');
  quoted.append(escaped.View());
  quoted.push_back('"');
  return StFromView(quoted);
}

}  // namespace quil
