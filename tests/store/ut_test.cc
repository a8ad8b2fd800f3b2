// Layout templates: the interpreter in both byte orders, groups,
// conditionals, reals, and the type registry.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "Ch.h"
#include "ChInt.h"
#include "Ut.h"
#include "halt_text.h"

using namespace quil;
using quiltest::HaltText;

namespace {

using Bytes = std::vector<uint8_t>;

void PutBe(Bytes& b, size_t at, uint32_t v, int width) {
  for (int i = 0; i < width; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * (width - 1 - i)));
}
void PutLe(Bytes& b, size_t at, uint32_t v, int width) {
  for (int i = 0; i < width; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

uint32_t HandleIn(uint32_t v, UtDir dir, const void*) {
  return dir == UtDir::kIn ? ChHandleFromFile(v, 3) : ChHandleToFile(v);
}

// Converts src by layout and returns the result.
Bytes Xlate(const std::string& layout, const Bytes& src, UtDir dir, bool swap,
            int* result = nullptr) {
  Bytes dst(src.size(), 0xEE);
  UtXlateOps ops;
  ops.swap = swap;
  ops.handleXfm = HandleIn;
  int r = UtXlateChunk(layout, src.data(), dst.data(), uint32_t(src.size()), dir, ops);
  if (result) *result = r;
  else EXPECT_EQ(r, kUtOk) << UtXlateResultText(r);
  return dst;
}

TEST(UtTemplates, StoreBuiltinsAreRegistered) {
  ASSERT_NE(UtLayoutOf(kUtTypeRaw), nullptr);
  EXPECT_EQ(*UtLayoutOf(kUtTypeRaw), std::string("\x80\x00", 2));
  EXPECT_EQ(*UtLayoutOf(kUtTypeChSt), std::string("\x80\x03\x0A\x00\x00\x02\x0C\x00", 8));
  EXPECT_EQ(*UtLayoutOf(kUtTypeListHead), std::string("\x90\x06\x06\x06\x04\x00", 6));
  EXPECT_EQ(UtLayoutOf(kUtTypePartInfo)->size(), 1u + 5 + 1 + 16 + 3 + 1 + 1 + 1);
  EXPECT_EQ(UtLayoutOf(999), nullptr);
}

TEST(UtTemplates, PartInformationFromTheOtherByteOrder) {
  Bytes file(288);
  for (uint32_t i = 0; i < 72; ++i) PutBe(file, 4 * i, i + 1, 4);
  PutBe(file, 20, 5379, 4);  // word 5 is a handle
  Bytes mem = Xlate(*UtLayoutOf(kUtTypePartInfo), file, UtDir::kIn, true);
  Bytes expect(288);
  for (uint32_t i = 0; i < 72; ++i) PutLe(expect, 4 * i, i + 1, 4);
  PutLe(expect, 20, ChHandleMake(3, 5, 48), 4);
  EXPECT_EQ(mem, expect);
  EXPECT_EQ(Xlate(*UtLayoutOf(kUtTypePartInfo), mem, UtDir::kOut, true), file);
  // Same byte order: only the handle changes.
  Bytes same = Xlate(*UtLayoutOf(kUtTypePartInfo), expect, UtDir::kOut, false);
  Bytes sameExpect = expect;
  PutLe(sameExpect, 20, 5379, 4);
  EXPECT_EQ(same, sameExpect);
}

TEST(UtTemplates, ChunkStringCountsItsBytesInTheSourceOrder) {
  Bytes file = {0x00, 0x05, 'h', 'e', 'l', 'l', 'o', 0};
  Bytes mem = Xlate(*UtLayoutOf(kUtTypeChSt), file, UtDir::kIn, true);
  EXPECT_EQ(mem, (Bytes{0x05, 0x00, 'h', 'e', 'l', 'l', 'o', 0}));
  EXPECT_EQ(Xlate(*UtLayoutOf(kUtTypeChSt), mem, UtDir::kOut, true), file);
  Bytes liar = {0x00, 0x09, 'h', 'i', 0};  // the count runs past the chunk
  int r;
  Xlate(*UtLayoutOf(kUtTypeChSt), liar, UtDir::kIn, true, &r);
  EXPECT_EQ(r, kUtOverrun);
}

TEST(UtTemplates, GroupsRepeatByTheirCounts) {
  // byte count, 32-bit count, then a group of 16-bit values per byte count
  // holding a nested group of two bytes per 32-bit count.
  std::string layout = UtLayout()
                           .Op(kUtByte)
                           .Op(kUtInt32)
                           .Op(kUtGroupCount8, 0)
                           .Op(kUtInt16)
                           .Op(kUtGroupCount32, 1)
                           .Op(kUtByte)
                           .Op(kUtByte)
                           .Op(kUtGroupEnd)
                           .Op(kUtGroupEnd)
                           .Op(kUtInt16)
                           .Done();
  Bytes src(5 + 2 * (2 + 3 * 2) + 2, 0);
  src[0] = 2;
  PutBe(src, 1, 3, 4);
  size_t at = 5;
  for (int g = 0; g < 2; ++g) {
    PutBe(src, at, 0x1100u + uint32_t(g), 2);
    at += 2;
    for (int k = 0; k < 6; ++k) src[at++] = uint8_t(k);
  }
  PutBe(src, at, 0xABCD, 2);
  Bytes mem = Xlate(layout, src, UtDir::kIn, true);
  EXPECT_EQ(mem[0], 2);
  EXPECT_EQ(Ld32(mem.data() + 1), 3u);
  EXPECT_EQ(Ld16(mem.data() + 5), 0x1100);
  EXPECT_EQ(Ld16(mem.data() + 13), 0x1101);
  EXPECT_EQ(Ld16(mem.data() + 21), 0xABCD);
  EXPECT_EQ(Xlate(layout, mem, UtDir::kOut, true), src);

  // A negative byte count and a zero count skip the group and everything
  // nested in it.
  Bytes none(5 + 2, 0);
  none[0] = 0xFF;
  PutBe(none, 5, 0x0102, 2);
  Bytes m2 = Xlate(layout, none, UtDir::kIn, true);
  EXPECT_EQ(Ld16(m2.data() + 5), 0x0102);
}

TEST(UtTemplates, ConditionalAndSkip) {
  std::string layout = UtLayout()
                           .Op(kUtInt16)
                           .Op(kUtIfEqual, 0, 1, 1)
                           .Op(kUtInt32)
                           .Op(kUtSkip, 1)
                           .Op(kUtInt32)
                           .Op(kUtInt16)
                           .Done();
  Bytes yes(8, 0), no(8, 0);
  PutBe(yes, 0, 1, 2);
  PutBe(yes, 2, 0x01020304, 4);
  PutBe(yes, 6, 0x0506, 2);
  PutBe(no, 0, 2, 2);
  PutBe(no, 2, 0x0708, 2);
  no[4] = 9;
  Bytes m1 = Xlate(layout, yes, UtDir::kIn, true);
  EXPECT_EQ(Ld32(m1.data() + 2), 0x01020304u);
  EXPECT_EQ(Ld16(m1.data() + 6), 0x0506);
  Bytes m2 = Xlate(layout, no, UtDir::kIn, true);
  EXPECT_EQ(Ld16(m2.data() + 2), 0x0708);
  EXPECT_EQ(m2[4], 9);  // past the template: copied
}

TEST(UtTemplates, TypeFieldsAreTranslated) {
  std::string layout = UtLayout().Op(kUtType).Op(kUtType).Done();
  EXPECT_EQ(uint8_t(layout[0]), kUtFlagValid | kUtFlagTypes);
  UtXlateOps ops;
  ops.typeXfm = [](uint16_t v, UtDir, const void*, uint16_t* out) {
    if (v == 0x8001) {
      *out = 0x8005;
      return true;
    }
    *out = v;
    return !(v & 0x8000);
  };
  Bytes src(4), dst(4);
  PutLe(src, 0, 0x8001, 2);
  PutLe(src, 2, 616, 2);
  EXPECT_EQ(UtXlateChunk(layout, src.data(), dst.data(), 4, UtDir::kIn, ops), kUtOk);
  EXPECT_EQ(Ld16(dst.data()), 0x8005);
  EXPECT_EQ(Ld16(dst.data() + 2), 616);
  PutLe(src, 2, 0x8009, 2);
  EXPECT_EQ(UtXlateChunk(layout, src.data(), dst.data(), 4, UtDir::kIn, ops), kUtBadType);
}

TEST(UtTemplates, RealsBetweenFormatsAndByteOrders) {
  for (double d : {1.0, -1.5, 3.25e100, -7.0e-300, 0.0, 123456789.125}) {
    uint8_t host[16] = {}, other[16], back[16];
    memcpy(host, &d, 8);
    for (uint8_t format : {kUtRealExtended, kUtRealQuad, kUtRealDouble}) {
      for (bool swapped : {false, true}) {
        UtRealXfm(host, kUtRealDouble, false, other, format, swapped);
        UtRealXfm(other, format, swapped, back, kUtRealDouble, false);
        EXPECT_EQ(memcmp(host, back, 16), 0) << d << " format " << int(format);
      }
    }
  }
  double one = 1.0;
  uint8_t host[16] = {}, ext[16];
  memcpy(host, &one, 8);
  UtRealXfm(host, kUtRealDouble, false, ext, kUtRealExtended, false);
  const uint8_t expect[16] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F};
  EXPECT_EQ(memcmp(ext, expect, 16), 0);
  uint8_t swapped[16];
  UtRealXfm(host, kUtRealDouble, false, swapped, kUtRealDouble, true);
  EXPECT_EQ(swapped[0], 0x3F);
  EXPECT_EQ(swapped[1], 0xF0);
  double inf = INFINITY, back;
  uint8_t q[16], h[16] = {};
  memcpy(h, &inf, 8);
  UtRealXfm(h, kUtRealDouble, false, q, kUtRealQuad, false);
  UtRealXfm(q, kUtRealQuad, false, h, kUtRealDouble, false);
  memcpy(&back, h, 8);
  EXPECT_TRUE(std::isinf(back));
  // Template with a real: the flag is set and the field converted.
  std::string layout = UtLayout().Op(kUtReal).Done();
  EXPECT_EQ(uint8_t(layout[0]), kUtFlagValid | kUtFlagReals);
  Bytes file(16, 0);
  memcpy(file.data(), ext, 16);
  UtXlateOps ops;
  ops.realFormat = kUtRealExtended;
  Bytes mem(16);
  ASSERT_EQ(UtXlateChunk(layout, file.data(), mem.data(), 16, UtDir::kIn, ops), kUtOk);
  double got;
  memcpy(&got, mem.data(), 8);
  EXPECT_EQ(got, 1.0);
}

TEST(UtTemplates, MalformedTemplatesAndData) {
  Bytes src(8, 0), dst(8);
  UtXlateOps ops;
  ops.swap = true;
  auto run = [&](const std::string& t, uint32_t len = 8) {
    return UtXlateChunk(t, src.data(), dst.data(), len, UtDir::kIn, ops);
  };
  EXPECT_EQ(run(std::string("\x00\x00", 2)), kUtNoFlags);
  EXPECT_EQ(run(std::string("\x80\x01\x00", 3)), kUtUnknownCommand);
  EXPECT_EQ(run(std::string("\x80\x04\x04\x04\x00", 5)), kUtOverrun);
  EXPECT_EQ(run(std::string("\x80\x0C\x00", 3)), kUtBadGroup);
  EXPECT_EQ(run(std::string("\x80\x08\x00\x02\x04\x00", 6)), kUtBadGroup);
  EXPECT_EQ(run(std::string("\x80\x04", 2)), kUtBadGroup);  // no end
  // A repetition that consumes nothing stops instead of spinning.
  EXPECT_EQ(run(std::string("\x80\x08\xFF\xFF\x10\x00\x00\x0C\x00", 9)), kUtOk);
  EXPECT_EQ(UtLayoutCheck(std::string("\x80\x0F\x00", 3)), kUtUnknownCommand);
  EXPECT_EQ(UtLayoutCheck(UtLayout().Op(kUtGroupN, 2).Op(kUtInt32).Op(kUtGroupEnd).Done()),
            kUtOk);
  EXPECT_EQ(HaltText([] { UtRegisterBuiltin(3000, std::string("\x00\x00", 2)); }),
            "assert:UtCReloc-- No flags");
  EXPECT_EQ(HaltText([] { UtRegisterBuiltin(3000, std::string("\x80\x0D\x00", 3)); }),
            "assert:UTCReloc-- Unknown parse command.");
  EXPECT_EQ(HaltText([] { UtRegisterBuiltin(0x8003, UtLayout().Done()); }),
            "assert:UtRegisterBuiltin-- bad type");
}

TEST(UtRegistry, RegisteredTypesByName) {
  UtDefinition a;
  a.name = "UtRegistry.A";
  a.layout = UtLayout().Op(kUtHandle).Done();
  uint16_t ta = UtCreate(a);
  EXPECT_TRUE(ta & kUtRegisteredBit);
  EXPECT_EQ(UtCreate(a), ta);
  UtDefinition changed = a;
  changed.def1 = 1;
  EXPECT_EQ(UtCreate(changed), 0);
  UtDefinition b;
  b.name = "UtRegistry.B";
  b.components = {ta};
  uint16_t tb = UtCreate(b);
  EXPECT_EQ(tb, ta + 1);
  EXPECT_EQ(UtLayoutOf(tb), nullptr);  // no template: cannot be stored
  EXPECT_EQ(*UtLayoutOf(ta), a.layout);
  EXPECT_EQ(UtGetDefinition(tb)->components, std::vector<uint16_t>{ta});
  UtRegisterBuiltin(3001, UtLayout().Op(kUtInt16).Done());
  EXPECT_EQ(*UtLayoutOf(3001), UtLayout().Op(kUtInt16).Done());
}

}  // namespace
