// The shared-string table of a database file: equal chunk strings kept once
// with a count of owners (see ChSt.h for the layout).
#include <set>

#include "ChInt.h"
#include "ChLi.h"
#include "ChSt.h"
#include "Ma.h"
#include "Sl.h"

namespace quil {

bool ShrDebugFlag = true;

namespace {

PkgState shrPkg{false, true, false};

constexpr uint16_t kNode = kChLiNodeType;
constexpr uint16_t kTableCapacity = 56;

// Keys run to 0xFFFFFFFE (a segment list covers at most 0xFFFFFFFF
// positions), so the one hash above shares key 0.
uint32_t KeyOf(uint32_t hash) { return hash == 0xFFFFFFFFu ? 0 : hash; }

ChHandle Bucket(ChHandle table, uint32_t key) {
  return SlGetInterval(table, key, nullptr, nullptr);
}

// Points key at bucket (0: no bucket).
void SetBucket(ChHandle table, uint32_t key, ChHandle bucket) {
  SlReplaceSeg(table, bucket, key, 1, 1);
}

// Where a shared string sits: its table, key, bucket and node.
struct Place {
  ChHandle table = 0;
  uint32_t key = 0;
  ChHandle bucket = 0;
  ChHandle node = 0;
  uint32_t count = 0;
};

Place Find(ChHandle h) {
  Place at;
  at.table = ShrGetChRoot(ChPartOf(h), false);
  if (!at.table) return at;
  at.key = KeyOf(ChStHash(h));
  at.bucket = Bucket(at.table, at.key);
  if (!at.bucket) return at;
  ChLiGenIter it = ChLiGenStart(at.bucket, kNode);
  while (ChHandle node = ChLiGenNextEntry(it, kNode)) {
    uint32_t str, count;
    ChLiGenGetDataEntry(node, &str, &count, kNode);
    if (str == h) {
      at.node = node;
      at.count = count;
      break;
    }
  }
  return at;
}

Place FindOrHalt(ChHandle h, const char* fn) {
  Place at = Find(h);
  if (!at.node) MaAssertFailure(std::string(fn) + "-- string not in the shared table");
  return at;
}

// Takes a string out of the table; it becomes private.
void Remove(const Place& at, ChHandle h) {
  ChHandle bucket = ChLiGenDeleteEntry(at.bucket, at.node, kNode);
  if (ChLiGenIsEmpty(bucket, kNode)) {
    SetBucket(at.table, at.key, 0);
  } else if (bucket != at.bucket) {
    SetBucket(at.table, at.key, bucket);
  }
  ChSetRefCount(h, 0);
}

}  // namespace

ChHandle ShrGetChRoot(ChPart part, bool create) {
  uint32_t v = ChGetRootExtra(part);
  if (v) return ChHandleFromFile(v, part);
  if (!create) return 0;
  ChHandle table = SlCreate(kSlNoBackPointer, 0, 0, ChPartNear(part), kTableCapacity,
                            kSlHandleLeaf);
  ChSetRootExtra(part, ChHandleToFile(table));
  return table;
}

bool ShrIsShared(ChHandle h) { return Find(h).node != 0; }

uint32_t ShrCount(ChHandle h) { return Find(h).count; }

void ShrIncShared(ChHandle h) {
  Place at = FindOrHalt(h, "ShrIncShared");
  ChLiGenSetDataEntry(at.bucket, at.node, h, at.count + 1, kNode);
}

void ShrDestroy(ChHandle h) {
  Place at = FindOrHalt(h, "ShrDestroy");
  if (at.count > 1) {
    ChLiGenSetDataEntry(at.bucket, at.node, h, at.count - 1, kNode);
    return;
  }
  Remove(at, h);
  ChStDestroy(h);
}

ChHandle ShrPrivCvt(ChHandle h) {
  MA_CHECK(ShrDebugFlag, ChStIsShared(h), "ShrPrivCvt-- already shared");
  Place at = FindOrHalt(h, "ShrPrivCvt");
  if (at.count == 1) {
    Remove(at, h);
    return h;
  }
  ChLiGenSetDataEntry(at.bucket, at.node, h, at.count - 1, kNode);
  return ChStCopy(h, h);
}

ChHandle PrivShrCvt(ChHandle h) {
  MA_CHECK(ShrDebugFlag, !ChStIsShared(h), "PrivShrCvt-- not shared");
  ChHandle table = ShrGetChRoot(ChPartOf(h), true);
  uint32_t key = KeyOf(ChStHash(h));
  ChHandle bucket = Bucket(table, key);
  if (bucket) {
    ChLiGenIter it = ChLiGenStart(bucket, kNode);
    while (ChHandle node = ChLiGenNextEntry(it, kNode)) {
      uint32_t str, count;
      ChLiGenGetDataEntry(node, &str, &count, kNode);
      if (ChStCompare(str, h)) {
        ChLiGenSetDataEntry(bucket, node, str, count + 1, kNode);
        ChStDestroy(h);
        return str;
      }
    }
  }
  ChHandle grown = ChLiGenAppend(bucket ? bucket : ChLiGenCreate(table, kNode), h, 1, kNode);
  if (grown != bucket) SetBucket(table, key, grown);
  ChSetRefCount(h, 1);
  return h;
}

uint32_t ShrTableSize(ChPart part) {
  ChHandle table = ShrGetChRoot(part, false);
  if (!table) return 0;
  uint32_t total = 0;
  SlSegIter it = SlSegStart(table, 0);
  uint32_t bucket;
  while (SlSegNext(it, &bucket, nullptr, nullptr))
    if (bucket) total += uint32_t(ChLiGenCount(bucket, kNode));
  return total;
}

bool ShrConsistency(ChPart part, std::string* report) {
  std::string scratch;
  if (!report) report = &scratch;
  ChHandle table = ShrGetChRoot(part, false);
  if (!table) return true;
  if (!SlConsistency(table, report)) return false;
  bool ok = true;
  auto problem = [&](uint32_t key, const std::string& what) {
    *report += "key " + std::to_string(key) + ": " + what + "\n";
    ok = false;
  };
  std::set<ChHandle> seen;
  SlSegIter it = SlSegStart(table, 0);
  uint32_t bucket, key, len;
  while (SlSegNext(it, &bucket, &key, &len)) {
    if (!bucket) continue;
    if (len != 1) problem(key, "bucket segment longer than 1");
    if (!ChLiGenIsLegal(bucket, kNode)) {
      problem(key, "bucket is not a legal chunk list");
      continue;
    }
    std::vector<ChHandle> strings;
    ChLiGenIter bi = ChLiGenStart(bucket, kNode);
    uint32_t str, count;
    while (ChLiGenNext(bi, &str, &count, kNode)) {
      if (!ChLiChunkIsLive(str)) {
        problem(key, "string is not a chunk");
        continue;
      }
      if (count == 0) problem(key, "count 0");
      if (ChGetRefCount(str) != 1) problem(key, "string not marked shared");
      if (KeyOf(ChStHash(str)) != key) problem(key, "string hashes elsewhere");
      if (!seen.insert(str).second) problem(key, "string entered twice");
      for (ChHandle other : strings)
        if (ChStCompare(other, str)) problem(key, "equal strings entered twice");
      strings.push_back(str);
    }
  }
  return ok;
}

uint16_t ShrInitRtns(int selector, int32_t value) {
  PkgSteps steps;
  steps.init = [] {
    ChStRegisterTypes();
    return uint16_t(0);
  };
  uint16_t result = PkgDispatch(shrPkg, "ShrInitRtns", selector, value, steps);
  if (selector == kPkgDebug) ShrDebugFlag = shrPkg.debug;
  return result;
}

}  // namespace quil
