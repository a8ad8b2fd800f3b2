// Name spaces: names interned in name chunks, found through a segment-list
// map from their hash.
#include "NmSp.h"

#include <cstring>

#include "ChInt.h"
#include "ChLi.h"
#include "Ma.h"
#include "Sl.h"
#include "Ut.h"

namespace quil {

bool NmSpDebugFlag = true;

namespace {

constexpr uint32_t kHead = 8;  // object and length words
constexpr uint32_t kLastKey = 0xFFFFFFFEu;

uint32_t NextKey(uint32_t key) { return key == kLastKey ? 0 : key + 1; }

bool SameName(ChHandle id, const St& name) {
  const auto* p = static_cast<const uint8_t*>(ChDeref(id));
  uint32_t n = Ld32(p + 4);
  return n == uint32_t(name.Length()) &&
         StArrayEqual(p + kHead, name.Bytes(), int32_t(n), StASCIIUpper);
}

// The name at key (0 for an empty key).  Every name holds exactly one key;
// a longer interval, or more names met than the space holds, is a damaged
// name space (read from a damaged file), which halts instead of probing on
// for ever.
ChHandle NameAt(ChHandle nmsp, uint32_t key, uint32_t* probes) {
  uint32_t start = 0, length = 0;
  ChHandle id = SlGetInterval(nmsp, key, &start, &length);
  if (id == 0) return 0;
  if (length != 1 || ++*probes > SlGetApproxCount(nmsp))
    MaAssertFailure("NmSpIdGet-- name space " + std::to_string(nmsp) + " is damaged");
  return id;
}

// Probes from the name's hash: the identifier of the name (0 when absent)
// and the first empty key met in *empty.
ChHandle Probe(ChHandle nmsp, const St& name, uint32_t* empty) {
  uint32_t probes = 0;
  for (uint32_t key = NmSpNameHash(name);; key = NextKey(key)) {
    ChHandle id = NameAt(nmsp, key, &probes);
    if (id == 0) {
      if (empty) *empty = key;
      return 0;
    }
    if (SameName(id, name)) return id;
  }
}

void CheckName(const St& name, const char* nilMessage) {
  MA_CHECK(NmSpDebugFlag, !name.IsNil(), nilMessage);
  if (name.Length() > kNmSpMaxName) MaAssertFailure("NmSpAddName-- Name is too long");
}

ChHandle AddAt(ChHandle nmsp, const St& name, uint32_t key) {
  ChHandle id;
  auto* p = static_cast<uint8_t*>(
      ChCreate(kNmSpNameType, kHead + uint32_t(name.Length()), nmsp, &id));
  St32(p + 4, uint32_t(name.Length()));
  if (name.Length()) memcpy(p + kHead, name.Bytes(), size_t(name.Length()));
  ChUnlockMod(p);
  SlReplaceSeg(nmsp, id, key, 1, 1);
  return id;
}

const uint8_t* NameChunk(ChHandle id, const char* fn) {
  MA_CHECK(NmSpDebugFlag, ChType(id) == kNmSpNameType, std::string(fn) + "-- Id");
  return static_cast<const uint8_t*>(ChDeref(id));
}

}  // namespace

uint32_t NmSpNameHash(const St& name) {
  const uint8_t* p = name.Bytes();
  const int32_t n = name.Length();
  uint32_t hash = 0;
  int shift = 0;
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    uint32_t group = uint32_t(StASCIIUpper[p[i]]) << 24 |
                     uint32_t(StASCIIUpper[p[i + 1]]) << 16 |
                     uint32_t(StASCIIUpper[p[i + 2]]) << 8 | StASCIIUpper[p[i + 3]];
    hash ^= group << shift;
    shift = (shift + 1) % 3;
  }
  if (i < n) {
    uint32_t tail = 0;
    for (; i < n; ++i) tail = tail << 8 | StASCIIUpper[p[i]];
    hash ^= tail << shift;
  }
  return hash == 0xFFFFFFFFu ? 0 : hash;
}

ChHandle NmSpCreate(ChHandle near) {
  return SlCreate(kSlNoBackPointer, 0, 0, near, kNmSpCapacity, kSlHandleLeaf);
}

void NmSpDestroy(ChHandle nmsp) {
  SlSegIter it = SlSegStart(nmsp, 0);
  uint32_t id;
  while (SlSegNext(it, &id, nullptr, nullptr))
    if (id) ChDestroy(id);
  SlDestroy(nmsp);
}

uint32_t NmSpCount(ChHandle nmsp) { return SlGetApproxCount(nmsp); }

ChHandle NmSpNameAdd(ChHandle nmsp, const St& name) {
  CheckName(name, "NmSpNameAdd-- Name");
  uint32_t key = NmSpNameHash(name);
  uint32_t probes = 0;
  while (NameAt(nmsp, key, &probes) != 0) key = NextKey(key);
  return AddAt(nmsp, name, key);
}

ChHandle NmSpLookup(ChHandle nmsp, const St& name) { return Probe(nmsp, name, nullptr); }

ChHandle NmSpIdGet(ChHandle nmsp, const St& name) {
  CheckName(name, "NmSpIdGet-- Name");
  uint32_t empty = 0;
  ChHandle id = Probe(nmsp, name, &empty);
  return id ? id : AddAt(nmsp, name, empty);
}

St NmSpIdText(ChHandle id) {
  const uint8_t* p = NameChunk(id, "NmSpIdText");
  return StCreateLen(p + kHead, int32_t(Ld32(p + 4)));
}

St NmSpNameGet(ChHandle nmsp, ChHandle id) {
  MA_CHECK(NmSpDebugFlag, ChGetFile(nmsp) == ChGetFile(id), "NmSpNameGet-- Id");
  const uint8_t* p = NameChunk(id, "NmSpNameGet");
  return StCreateLen(p + kHead, int32_t(Ld32(p + 4)));
}

bool NmSpIdIsLegal(ChHandle id) {
  return ChLiChunkIsLive(id) && ChType(id) == kNmSpNameType && ChSize(id) >= kHead &&
         Ld32(static_cast<const uint8_t*>(ChDeref(id)) + 4) == ChSize(id) - kHead;
}

ChHandle NmSpObject(ChHandle id) { return Ld32(NameChunk(id, "NmSpObject")); }

void NmSpSetObject(ChHandle id, ChHandle object) {
  (void)NameChunk(id, "NmSpSetObject");
  ChLocked p(id);
  St32(p.Data(), object);
  p.MarkModified();
}

bool NmSpCheck(ChHandle nmsp, std::string* report) {
  bool sound = true;
  auto problem = [&](uint32_t key, const std::string& what) {
    sound = false;
    *report += "NmSp key " + std::to_string(key) + ": " + what + "\n";
  };
  SlSegIter it = SlSegStart(nmsp, 0);
  uint32_t id, start, length;
  while (SlSegNext(it, &id, &start, &length)) {
    if (!id) continue;
    if (length != 1) problem(start, "segment of length " + std::to_string(length));
    if (!NmSpIdIsLegal(id)) {
      problem(start, "not a name chunk");
      continue;
    }
    St name = NmSpIdText(id);
    if (name.Length() > kNmSpMaxName) problem(start, "name too long");
    // Every key from the hash to this one must be taken.
    for (uint32_t key = NmSpNameHash(name); key != start; key = NextKey(key)) {
      if (SlGetInterval(nmsp, key, nullptr, nullptr) == 0) {
        problem(start, "empty key " + std::to_string(key) + " before it");
        break;
      }
    }
  }
  return sound;
}

void NmSpRegisterTypes() {
  UtRegisterBuiltin(kNmSpNameType, UtLayout().Op(kUtHandle).Op(kUtInt32).Done());
}

}  // namespace quil
