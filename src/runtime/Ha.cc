// Hash tables: the package entry, keyword tables and integer tables.
#include "Ha.h"

namespace quil {

bool HaDebugFlag = true;
HaStatsStruct HaStats;

uint16_t HaInitRtns(int selector, int32_t value) {
  static PkgState state;
  state.debug = HaDebugFlag;
  uint16_t result =
      PkgDispatch(state, "HaInitRtns", selector, value, PkgSteps{});
  HaDebugFlag = state.debug;
  return result;
}

// ---------------------------------------------------------------------------
// Keyword tables.

uint32_t KwKeyHash(std::string_view keyword) noexcept {
  if (keyword.size() > 8) keyword.remove_prefix(keyword.size() - 8);
  uint32_t h = 0;
  for (unsigned char c : keyword) h = StASCIIUpper[c] ^ (h * 2);
  return h & 255;
}

KwHash KwHashCreateCount(int32_t buckets, bool caseSensitive) {
  return KwHash(buckets, KwTraits{caseSensitive});
}

KwHash KwHashCreate() { return KwHashCreateCount(kKwHashBuckets, false); }

KwHash KwHashCreateCase() { return KwHashCreateCount(kKwHashBuckets, true); }

void KwHashAdd(KwHash& table, St keyword, int32_t value) {
  if (table.Find(keyword.View())) MaHalt("KwHashAdd--Kw already present");
  table.Insert(KwEntry{std::move(keyword), value});
}

bool KwHashLookup(const KwHash& table, std::string_view keyword,
                  int32_t* value) {
  auto* n = table.Find(keyword);
  *value = n ? n->data.value : 0;
  return n != nullptr;
}

bool KwHashLookupNc(const KwHash& table, std::string_view keyword,
                    int32_t* value) {
  const KwTraits anyCase{false};
  auto* n = table.FindIf(KwKeyHash(keyword), [&](const KwEntry& e) {
    return anyCase.Equal(keyword, e.keyword.View());
  });
  *value = n ? n->data.value : 0;
  return n != nullptr;
}

bool KwHashRemove(KwHash& table, std::string_view keyword) {
  return HaRemove(table, keyword);
}

KwHashIter KwHashStart(KwHash& table) { return KwHashIter(table); }

bool KwHashNext(KwHashIter& iter, St* keyword, int32_t* value) {
  KwEntry* e = iter.Next();
  *keyword = e ? e->keyword : St();
  *value = e ? e->value : 0;
  return e != nullptr;
}

// ---------------------------------------------------------------------------
// Integer tables.

KiHash KiHashCreateCount(int32_t buckets) { return KiHash(buckets); }

KiHash KiHashCreate() { return KiHashCreateCount(kKiHashBuckets); }

void KiHashAdd(KiHash& table, int32_t key, int32_t value) {
  MA_CHECK(HaDebugFlag, !table.Find(key), "KiHashAdd-- key already present");
  table.Insert(KiEntry{key, value});
}

bool KiHashLookup(const KiHash& table, int32_t key, int32_t* value) {
  auto* n = table.Find(key);
  *value = n ? n->data.value : 0;
  return n != nullptr;
}

bool KiHashRemove(KiHash& table, int32_t key) { return HaRemove(table, key); }

}  // namespace quil
