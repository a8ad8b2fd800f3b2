// Chunk types: the registry of templates and the template interpreter.
#include "Ut.h"

#include <array>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "Ma.h"

namespace quil {

bool UtDebugFlag = true;

namespace {

PkgState utPkg{false, true, false};

constexpr int kUtMaxDepth = 16;
constexpr size_t kUtTableSize = 0x8000;

struct UtRegistry {
  // Entries never move once created, so a pointer handed out stays valid.
  std::array<std::unique_ptr<std::string>, kUtTableSize> builtin;
  std::array<std::unique_ptr<UtDefinition>, kUtTableSize> registered;
  std::unordered_map<std::string, uint16_t> byName;
  int count = 0;
};

std::string UtStoreLayout(uint16_t type);

// The store's own built-in types are present from the first use on, so that
// the store works before UtInitRtns (as the operator tool does).
UtRegistry& Registry() {
  static std::unique_ptr<UtRegistry> registry = [] {
    auto r = std::make_unique<UtRegistry>();
    for (uint16_t type : {kUtTypeRaw, kUtTypeChSt, kUtTypeListHead,
                          kUtTypePartInfo})
      r->builtin[type] = std::make_unique<std::string>(UtStoreLayout(type));
    return r;
  }();
  return *registry;
}

// Length of a command's arguments in the template.
int UtArgBytes(uint8_t cmd) {
  switch (cmd) {
    case kUtGroupN:
    case kUtGroupCount8:
    case kUtGroupCount16:
    case kUtGroupCount32:
    case kUtSkip:
      return 2;
    case kUtIfEqual:
      return 6;
    case kUtEnd:
    case kUtByte:
    case kUtInt16:
    case kUtInt32:
    case kUtReal:
    case kUtHandle:
    case kUtType:
    case kUtGroupEnd:
      return 0;
    default:
      return -1;
  }
}

uint16_t Arg16(std::string_view t, size_t at) {
  return uint16_t((uint8_t(t[at]) << 8) | uint8_t(t[at + 1]));
}

// From pc (just after a group's opening command and its argument), finds
// the position after the matching end of group.  Returns 0 when unbalanced.
size_t UtSkipGroup(std::string_view t, size_t pc) {
  int depth = 1;
  while (pc < t.size()) {
    uint8_t cmd = uint8_t(t[pc++]);
    int args = UtArgBytes(cmd);
    if (args < 0 || cmd == kUtEnd) return 0;
    pc += size_t(args);
    if (cmd >= kUtGroupN && cmd <= kUtGroupCount32) ++depth;
    if (cmd == kUtGroupEnd && --depth == 0) return pc;
  }
  return 0;
}

template <class T>
T LoadField(const uint8_t* p, bool swapped) {
  T v;
  memcpy(&v, p, sizeof v);
  if (swapped) {
    if constexpr (sizeof(T) == 2) v = T(__builtin_bswap16(uint16_t(v)));
    if constexpr (sizeof(T) == 4) v = T(__builtin_bswap32(uint32_t(v)));
  }
  return v;
}

template <class T>
void StoreField(uint8_t* p, T v, bool swapped) {
  if (swapped) {
    if constexpr (sizeof(T) == 2) v = T(__builtin_bswap16(uint16_t(v)));
    if constexpr (sizeof(T) == 4) v = T(__builtin_bswap32(uint32_t(v)));
  }
  memcpy(p, &v, sizeof v);
}

int RealWidth(uint8_t format) {
  switch (format) {
    case kUtRealDouble: return 8;
    case kUtRealExtended: return 10;
    case kUtRealQuad: return 16;
    default: MaAssertFailure("UtRealXfm-- unknown real format");
  }
}

// Decodes a real of any format (host order) to a double.
double RealDecode(const uint8_t* p, uint8_t format) {
  if (format == kUtRealDouble) {
    double d;
    memcpy(&d, p, 8);
    return d;
  }
  uint64_t mant;
  uint16_t se;
  bool negative;
  int exp;
  if (format == kUtRealExtended) {
    memcpy(&mant, p, 8);
    memcpy(&se, p + 8, 2);
    negative = (se & 0x8000) != 0;
    exp = se & 0x7FFF;
    if (exp == 0x7FFF) {
      if ((mant << 1) == 0) return negative ? -INFINITY : INFINITY;
      return NAN;
    }
    // The integer bit is explicit: value = mant * 2^(exp - 16383 - 63).
    double v = std::ldexp(double(mant), (exp == 0 ? 1 : exp) - 16383 - 63);
    return negative ? -v : v;
  }
  uint64_t lo, hi;
  memcpy(&lo, p, 8);
  memcpy(&hi, p + 8, 8);
  negative = (hi >> 63) != 0;
  exp = int((hi >> 48) & 0x7FFF);
  uint64_t fracHi = hi & 0xFFFFFFFFFFFFull;  // top 48 of 112 fraction bits
  if (exp == 0x7FFF) {
    if (fracHi == 0 && lo == 0) return negative ? -INFINITY : INFINITY;
    return NAN;
  }
  // The top 63 fraction bits with the implicit bit in front (none when
  // subnormal).
  uint64_t top = (fracHi << 15) | (lo >> 49);
  if (exp != 0) top |= 1ull << 63;
  double v = std::ldexp(double(top), (exp == 0 ? 1 : exp) - 16383 - 63);
  return negative ? -v : v;
}

// Encodes a double into format (host order), zero-padding to 16 bytes.
void RealEncode(double d, uint8_t* p, uint8_t format) {
  memset(p, 0, 16);
  if (format == kUtRealDouble) {
    memcpy(p, &d, 8);
    return;
  }
  bool negative = std::signbit(d);
  uint16_t expField = 0;
  uint64_t mant = 0;  // significand with the leading bit at bit 63
  if (std::isnan(d)) {
    expField = 0x7FFF;
    mant = 0xC000000000000000ull;
  } else if (std::isinf(d)) {
    expField = 0x7FFF;
    mant = 0x8000000000000000ull;
  } else if (d != 0) {
    int e;
    double m = std::frexp(std::fabs(d), &e);  // m in [0.5, 1)
    mant = uint64_t(std::ldexp(m, 64));       // exact: 53 bits
    expField = uint16_t(e - 1 + 16383);
  }
  uint16_t signExp = uint16_t((negative ? 0x8000 : 0) | expField);
  if (format == kUtRealExtended) {
    memcpy(p, &mant, 8);
    memcpy(p + 8, &signExp, 2);
    return;
  }
  // Quad: the implicit bit is dropped, the next 112 bits are the fraction.
  uint64_t frac63 = mant << 1;  // fraction bits, most significant first
  if (std::isnan(d)) frac63 = 1ull << 63;
  if (std::isinf(d)) frac63 = 0;
  uint64_t hi = (uint64_t(signExp) << 48) | (frac63 >> 16);
  uint64_t lo = frac63 << 48;
  memcpy(p, &lo, 8);
  memcpy(p + 8, &hi, 8);
}

}  // namespace

void UtRealXfm(const uint8_t* src, uint8_t srcFormat, bool srcSwapped,
               uint8_t* dst, uint8_t dstFormat, bool dstSwapped) {
  uint8_t tmp[16];
  memcpy(tmp, src, 16);
  int srcWidth = RealWidth(srcFormat);
  if (srcSwapped) std::reverse(tmp, tmp + srcWidth);
  if (srcFormat == dstFormat) {
    memset(tmp + srcWidth, 0, size_t(16 - srcWidth));
  } else {
    RealEncode(RealDecode(tmp, srcFormat), tmp, dstFormat);
  }
  if (dstSwapped) std::reverse(tmp, tmp + RealWidth(dstFormat));
  memcpy(dst, tmp, 16);
}

// ---------------------------------------------------------------------------
// Template builder.

void UtLayout::Put16(uint16_t v) {
  bytes_.push_back(char(v >> 8));
  bytes_.push_back(char(v & 0xFF));
}

UtLayout& UtLayout::Op(uint8_t cmd) {
  bytes_.push_back(char(cmd));
  if (cmd == kUtHandle) bytes_[0] = char(uint8_t(bytes_[0]) | kUtFlagHandles);
  if (cmd == kUtType) bytes_[0] = char(uint8_t(bytes_[0]) | kUtFlagTypes);
  if (cmd == kUtReal) bytes_[0] = char(uint8_t(bytes_[0]) | kUtFlagReals);
  return *this;
}

UtLayout& UtLayout::Op(uint8_t cmd, uint16_t a) {
  bytes_.push_back(char(cmd));
  Put16(a);
  return *this;
}

UtLayout& UtLayout::Op(uint8_t cmd, uint16_t a, uint16_t b, uint16_t c) {
  bytes_.push_back(char(cmd));
  Put16(a);
  Put16(b);
  Put16(c);
  return *this;
}

UtLayout& UtLayout::Times(int count, uint8_t cmd) {
  for (int i = 0; i < count; ++i) Op(cmd);
  return *this;
}

std::string UtLayout::Done() {
  bytes_.push_back(char(kUtEnd));
  return bytes_;
}

// ---------------------------------------------------------------------------
// Interpreter.

const char* UtXlateResultText(int result) {
  switch (result) {
    case kUtOk: return "ok";
    case kUtNoFlags: return "template without flags";
    case kUtUnknownCommand: return "unknown template command";
    case kUtOverrun: return "template field past the end of the chunk";
    case kUtBadGroup: return "unbalanced template group";
    case kUtBadType: return "unknown chunk type in a type field";
    default: return "unknown template error";
  }
}

void UtXlateHalt(int result, const std::string& where) {
  if (result == kUtNoFlags) MaAssertFailure("UtCReloc-- No flags");
  if (result == kUtUnknownCommand) MaAssertFailure("UTCReloc-- Unknown parse command.");
  MaAssertFailure(where + UtXlateResultText(result));
}

int UtLayoutCheck(std::string_view t) {
  if (t.empty() || !(uint8_t(t[0]) & kUtFlagValid)) return kUtNoFlags;
  int depth = 0;
  size_t pc = 1;
  while (pc < t.size()) {
    uint8_t cmd = uint8_t(t[pc++]);
    int args = UtArgBytes(cmd);
    if (args < 0) return kUtUnknownCommand;
    if (pc + size_t(args) > t.size()) return kUtBadGroup;
    pc += size_t(args);
    if (cmd == kUtEnd) return depth == 0 ? kUtOk : kUtBadGroup;
    if (cmd >= kUtGroupN && cmd <= kUtGroupCount32) ++depth;
    if (cmd == kUtGroupEnd && --depth < 0) return kUtBadGroup;
  }
  return kUtBadGroup;
}

int UtXlateChunk(std::string_view t, const uint8_t* src, uint8_t* dst,
                 uint32_t length, UtDir dir, const UtXlateOps& ops) {
  if (t.empty() || !(uint8_t(t[0]) & kUtFlagValid)) return kUtNoFlags;
  memcpy(dst, src, length);
  uint8_t flags = uint8_t(t[0]);
  bool realsDiffer = (flags & kUtFlagReals) && ops.realFormat != kUtRealDouble;
  if (!(flags & (kUtFlagReals | kUtFlagHandles | kUtFlagTypes)) && !ops.swap &&
      !realsDiffer)
    return kUtOk;

  // Values are read from src in its order and written to dst in its order.
  const bool srcSwapped = ops.swap && dir == UtDir::kIn;
  const bool dstSwapped = ops.swap && dir == UtDir::kOut;
  const uint8_t srcReal = dir == UtDir::kIn ? ops.realFormat : kUtRealDouble;
  const uint8_t dstReal = dir == UtDir::kIn ? kUtRealDouble : ops.realFormat;

  struct Frame {
    size_t start;   // template position of the group's first command
    uint32_t left;  // repetitions still to run, this one included
    uint32_t pos;   // data position when this repetition began
  };
  Frame stack[kUtMaxDepth];
  int depth = 0;
  size_t pc = 1;
  uint32_t pos = 0;

  auto need = [&](uint32_t n) { return uint64_t(pos) + n <= length; };
  // Copies an integer field of the type of zero; false when it does not fit.
  auto copyInt = [&](auto zero) {
    using T = decltype(zero);
    if (!need(sizeof(T))) return false;
    StoreField(dst + pos, LoadField<T>(src + pos, srcSwapped), dstSwapped);
    pos += sizeof(T);
    return true;
  };

  for (;;) {
    if (pc >= t.size()) return kUtBadGroup;
    uint8_t cmd = uint8_t(t[pc++]);
    int args = UtArgBytes(cmd);
    if (args < 0) return kUtUnknownCommand;
    if (pc + size_t(args) > t.size()) return kUtBadGroup;
    switch (cmd) {
      case kUtEnd:
        return depth == 0 ? kUtOk : kUtBadGroup;
      case kUtByte:
        if (!need(1)) return kUtOverrun;
        pos += 1;
        break;
      case kUtInt16:
        if (!copyInt(uint16_t())) return kUtOverrun;
        break;
      case kUtInt32:
        if (!copyInt(uint32_t())) return kUtOverrun;
        break;
      case kUtReal:
        if (!need(16)) return kUtOverrun;
        UtRealXfm(src + pos, srcReal, srcSwapped, dst + pos, dstReal,
                  dstSwapped);
        pos += 16;
        break;
      case kUtHandle: {
        if (!need(4)) return kUtOverrun;
        uint32_t v = LoadField<uint32_t>(src + pos, srcSwapped);
        if (ops.handleXfm) v = ops.handleXfm(v, dir, ops.arg);
        StoreField(dst + pos, v, dstSwapped);
        pos += 4;
        break;
      }
      case kUtType: {
        if (!need(2)) return kUtOverrun;
        uint16_t v = LoadField<uint16_t>(src + pos, srcSwapped);
        if (ops.typeXfm && !ops.typeXfm(v, dir, ops.arg, &v)) return kUtBadType;
        StoreField(dst + pos, v, dstSwapped);
        pos += 2;
        break;
      }
      case kUtGroupN:
      case kUtGroupCount8:
      case kUtGroupCount16:
      case kUtGroupCount32: {
        uint16_t a = Arg16(t, pc);
        pc += 2;
        uint32_t count;
        if (cmd == kUtGroupN) {
          count = a;
        } else {
          uint32_t width = cmd == kUtGroupCount8 ? 1 : cmd == kUtGroupCount16 ? 2 : 4;
          if (uint64_t(a) + width > length) return kUtOverrun;
          if (width == 1) {
            count = uint32_t(std::max<int8_t>(int8_t(src[a]), 0));
          } else if (width == 2) {
            count = LoadField<uint16_t>(src + a, srcSwapped);
          } else {
            count = LoadField<uint32_t>(src + a, srcSwapped);
          }
        }
        if (count == 0) {
          pc = UtSkipGroup(t, pc);
          if (pc == 0) return kUtBadGroup;
          break;
        }
        if (depth == kUtMaxDepth) return kUtBadGroup;
        stack[depth++] = Frame{pc, count, pos};
        break;
      }
      case kUtGroupEnd: {
        if (depth == 0) return kUtBadGroup;
        Frame& f = stack[depth - 1];
        // A repetition that consumed no data would repeat forever.
        if (--f.left == 0 || f.pos == pos) {
          --depth;
        } else {
          f.pos = pos;
          pc = f.start;
        }
        break;
      }
      case kUtIfEqual: {
        uint16_t off = Arg16(t, pc);
        int16_t value = int16_t(Arg16(t, pc + 2));
        uint16_t len = Arg16(t, pc + 4);
        pc += 6;
        if (uint64_t(off) + 2 > length) return kUtOverrun;
        if (LoadField<int16_t>(src + off, srcSwapped) != value) pc += len;
        break;
      }
      case kUtSkip:
        pc += 2 + Arg16(t, pc);
        break;
    }
  }
}

// ---------------------------------------------------------------------------
// Registry.

void UtRegisterBuiltin(uint16_t type, std::string layout) {
  if (type == 0 || (type & kUtRegisteredBit))
    MaAssertFailure("UtRegisterBuiltin-- bad type");
  if (int r = UtLayoutCheck(layout); r != kUtOk)
    UtXlateHalt(r, "UtRegisterBuiltin-- ");
  auto& slot = Registry().builtin[type];
  if (slot && *slot == layout) return;
  // A replaced template stays allocated: pointers to it may be held.
  if (slot) {
    static std::vector<std::unique_ptr<std::string>> retired;
    retired.push_back(std::move(slot));
  }
  slot = std::make_unique<std::string>(std::move(layout));
}

uint16_t UtCreate(const UtDefinition& def) {
  UtRegistry& r = Registry();
  auto it = r.byName.find(def.name);
  if (it != r.byName.end())
    return *r.registered[it->second & 0x7FFF] == def ? it->second : 0;
  if (int r = def.layout.empty() ? kUtOk : UtLayoutCheck(def.layout); r != kUtOk)
    UtXlateHalt(r, "UtCreate-- ");
  for (uint16_t c : def.components) {
    if ((c & kUtRegisteredBit) && !UtGetDefinition(c))
      MaAssertFailure("UtCreate-- component not registered");
  }
  MA_CHECK(UtDebugFlag, size_t(r.count) + 1 < kUtTableSize,
           "UtCreate-- too many types");
  uint16_t type = uint16_t(kUtRegisteredBit | ++r.count);
  r.registered[type & 0x7FFF] = std::make_unique<UtDefinition>(def);
  r.byName.emplace(def.name, type);
  return type;
}

const std::string* UtLayoutOf(uint16_t type) {
  UtRegistry& r = Registry();
  if (type & kUtRegisteredBit) {
    const auto& d = r.registered[type & 0x7FFF];
    return d && !d->layout.empty() ? &d->layout : nullptr;
  }
  return r.builtin[type].get();
}

const UtDefinition* UtGetDefinition(uint16_t type) {
  if (!(type & kUtRegisteredBit)) return nullptr;
  return Registry().registered[type & 0x7FFF].get();
}

int UtRegisteredCount() { return Registry().count; }

namespace {

std::string UtStoreLayout(uint16_t type) {
  switch (type) {
    case kUtTypeChSt:
      return UtLayout()
          .Op(kUtInt16)
          .Op(kUtGroupCount16, 0)
          .Op(kUtByte)
          .Op(kUtGroupEnd)
          .Done();
    case kUtTypeListHead:
      return UtLayout().Times(3, kUtHandle).Op(kUtInt32).Done();
    case kUtTypePartInfo:
      return UtLayout()
          .Times(5, kUtInt32)
          .Op(kUtHandle)
          .Times(16, kUtInt32)
          .Op(kUtGroupN, 50)
          .Op(kUtInt32)
          .Op(kUtGroupEnd)
          .Done();
    default:
      return UtLayout().Done();
  }
}

}  // namespace

uint16_t UtInitRtns(int selector, int32_t value) {
  PkgSteps steps;
  steps.init = [] {
    Registry();
    return uint16_t(0);
  };
  uint16_t result = PkgDispatch(utPkg, "UtInitRtns", selector, value, steps);
  if (selector == kPkgDebug) UtDebugFlag = utPkg.debug;
  return result;
}

}  // namespace quil
