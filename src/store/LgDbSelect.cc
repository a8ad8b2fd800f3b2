// Selection of records: ranges over a database's index walked together,
// and field conditions applied to each candidate.
#include <utility>
#include <vector>

#include "Bt.h"
#include "LgDbInt.h"
#include "Sl.h"

namespace quil {

using namespace lgdb;

namespace {

bool NeedsValue(int32_t op) { return op != kLgDbOpPresent && op != kLgDbOpAbsent; }

// The outcome of an ordering operator for a comparison result.
bool Ordered(int32_t op, int c) {
  switch (op) {
    case kLgDbOpEq:
      return c == kStEqual;
    case kLgDbOpNe:
      return c != kStEqual;
    case kLgDbOpLt:
      return c == kStBefore;
    case kLgDbOpGt:
      return c == kStAfter;
    case kLgDbOpLe:
      return c != kStAfter;
    case kLgDbOpGe:
      return c != kStBefore;
    default:  // checked by Condition
      MaAssertFailure("LgDbSelectField-- Op");
  }
}

int Compare3(int64_t a, int64_t b) { return a < b ? kStBefore : a > b ? kStAfter : kStEqual; }

bool TextCondition(ChHandle h, int32_t op, const St& want) {
  St held;
  const uint8_t* bytes;
  int32_t length;
  if (!TextView(h, &bytes, &length)) {  // long forms: read the whole text
    held = LgDbHndToText(h);
    bytes = held.Bytes();
    length = held.Length();
  }
  switch (op) {
    case kLgDbOpPrefix:
      return length >= want.Length() &&
             StArrayEqual(bytes, want.Bytes(), want.Length(), StASCIIUpper);
    case kLgDbOpContains:
      if (held.IsNil()) held = StCreateLen(bytes, length);
      return StLookup(held, want, StASCIIUpper) >= 0;
    default:
      return Ordered(op, StArrayCompare(bytes, length, want.Bytes(), want.Length(), StASCIIUpper));
  }
}

// One condition, resolved against the value handle of the field.
bool Condition(ChHandle fieldValue, int32_t op, const LgDbValue& want) {
  uint16_t kind = want.kind == LgDbValueKind::kInt    ? kLgDbIntType
                  : want.kind == LgDbValueKind::kText ? kLgDbTextType
                                                      : kLgDbTdType;
  if (op < kLgDbOpEq || op > kLgDbOpAbsent) MaAssertFailure("LgDbSelectField-- Op");
  if ((op == kLgDbOpPrefix || op == kLgDbOpContains) && kind != kLgDbTextType)
    MaAssertFailure("LgDbSelectField-- Op needs a text");
  ChHandle h = ValueOfKind(fieldValue, kind);
  if (op == kLgDbOpPresent) return h != 0;
  if (op == kLgDbOpAbsent) return h == 0;
  if (!h) return false;
  const uint8_t* p = Deref(h);
  switch (want.kind) {
    case LgDbValueKind::kInt:
      return Ordered(op, Compare3(int32_t(Ld32(p)), want.integer));
    case LgDbValueKind::kTd:
      return Ordered(op, LgDbTdCompare(LgDbTd{int32_t(Ld32(p)), int32_t(Ld32(p + 4))}, want.td));
    default:
      return TextCondition(h, op, want.text);
  }
}

struct Cond {
  ChHandle field;
  int32_t op;
  const LgDbValue* value;
};

const LgDbValue kNoValue;

// The conditions of three parallel lists.  missingOp and missingValue are
// the halt texts of the caller.
std::vector<Cond> Conditions(const Li<ChHandle>& fields, const Li<int32_t>& ops,
                             const Li<LgDbValue>& values, const char* missingOp,
                             const char* missingValue) {
  std::vector<Cond> conds;
  auto op = ops.begin();
  auto value = values.begin();
  for (ChHandle field : fields) {
    if (op == ops.end()) MaAssertFailure(missingOp);
    const LgDbValue* v = value != values.end() ? &*value : nullptr;
    if (!v && NeedsValue(*op)) MaAssertFailure(missingValue);
    conds.push_back(Cond{field, *op, v ? v : &kNoValue});
    ++op;
    if (value != values.end()) ++value;
  }
  return conds;
}

bool Satisfies(ChHandle rec, const std::vector<Cond>& conds) {
  for (const Cond& c : conds) {
    if (!Condition(FindField(rec, c.field, "LgDbSelectRec-- RecH").value, c.op, *c.value))
      return false;
  }
  return true;
}

}  // namespace

LgDbValue LgDbIntValue(int32_t v) {
  LgDbValue value;
  value.kind = LgDbValueKind::kInt;
  value.integer = v;
  return value;
}

LgDbValue LgDbTextValue(St text) {
  LgDbValue value;
  value.kind = LgDbValueKind::kText;
  value.text = text.IsNil() ? StCreate() : std::move(text);
  return value;
}

LgDbValue LgDbTdValue(LgDbTd td) {
  LgDbValue value;
  value.kind = LgDbValueKind::kTd;
  value.td = td;
  return value;
}

bool LgDbSelectField(ChHandle rec, ChHandle field, int32_t op, const LgDbValue& value) {
  return Condition(FindField(rec, field, "LgDbSelectField-- RecH").value, op, value);
}

bool LgDbSelectRec(ChHandle rec, const Li<ChHandle>& fields, const Li<int32_t>& ops,
                   const Li<LgDbValue>& values) {
  return Satisfies(rec, Conditions(fields, ops, values, "LgDbSelectRec--missing Op",
                                   "LgDbSelectRec--missing Value"));
}

Li<ChHandle> LgDbSelect(ChHandle db, LgDbRange range, Li<ChHandle> fields, Li<int32_t> ops,
                        Li<LgDbValue> values, uint32_t maxCount) {
  if (LiCount(ops) < LiCount(fields)) MaAssertFailure("LgDbSelect--missing Op");
  std::vector<Cond> conds = Conditions(fields, ops, values, "LgDbSelect--missing Op",
                                       "LgDbSelectRec--missing Value");
  Li<ChHandle> out;
  uint32_t found = 0;
  // False once maxCount records are collected.
  auto take = [&](ChHandle rec) {
    if (!rec || !Satisfies(rec, conds)) return true;
    LiAppend(out, rec);
    return maxCount == 0 || ++found < maxCount;
  };

  ChHandle index = range.index ? range.index : LgDbIndex(db);
  bool ranged = !range.first.IsNil() || !range.last.IsNil() || !range.emailName.IsNil() ||
                range.byForum;
  if (!ranged && !index) {  // every record, by position
    SlSegIter it = SlSegStart(db, 0);
    uint32_t rec;
    while (SlSegNext(it, &rec, nullptr, nullptr)) {
      if (!take(rec)) break;
    }
    return out;
  }
  if (!index) MaAssertFailure("LgDbSelect--no index");

  // One iteration per range, tagged by the range it walks.  The walk is
  // carried by a forward iteration, so the records come in index order.
  enum : int32_t { kFirstId = 1, kLastId, kEmailId, kForumId };
  BtDbIter iters[5];
  BtDbIter* walk[5];
  int n = 0;
  if (!range.first.IsNil())
    BtDbStartFirst(iters[n++], index, kFirstId, std::move(range.first), range.firstInclusive);
  if (!range.emailName.IsNil())
    BtDbStartEmailName(iters[n++], index, kEmailId, std::move(range.emailName));
  if (range.byForum) BtDbStartForum(iters[n++], index, kForumId, range.forum);
  if (!range.last.IsNil())
    BtDbStartLast(iters[n++], index, kLastId, std::move(range.last), range.lastInclusive);
  if (n == 0 || (n == 1 && BtDbIterIsLast(iters[0])))  // walk forward from the start
    BtDbStartFirst(iters[n++], index, kFirstId, StCreate(), true);
  for (int k = 0; k < n; ++k) walk[k] = &iters[k];
  // The narrowest forward range leads; the others bound it.
  for (int k = 1; k < n; ++k) {
    if (!BtDbIterIsLast(*walk[k]) &&
        (BtDbIterIsLast(*walk[0]) || BtDbIterMaxCount(*walk[k]) < BtDbIterMaxCount(*walk[0])))
      std::swap(walk[0], walk[k]);
  }
  ChHandle rec;
  while (BtDbNextCommon(walk, n, nullptr, &rec, nullptr)) {
    if (!take(rec)) break;
  }
  for (int k = 0; k < n; ++k) BtDbStop(iters[k]);
  return out;
}

}  // namespace quil
