// Picture dimensions on real files written by an image editor (ImageMagick):
// GIF87a, GIF89a, an animated GIF, baseline, progressive and grey JPEGs;
// then the same bytes damaged.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

#include "Img.h"

using namespace quil;

namespace {

St Load(const char* name) {
  std::string path = std::string(QUIL_SOURCE_DIR) + "/tests/web/data/" + name;
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return StFromView(bytes);
}

std::string Size(const St& data) {
  ImgSize s;
  if (!ImgSizeOf(data, &s)) return "none";
  return std::to_string(s.width) + "x" + std::to_string(s.height);
}

TEST(Img, RealFiles) {
  EXPECT_EQ(Size(Load("gradient.gif")), "37x21");
  EXPECT_EQ(Size(Load("g87.gif")), "37x21");
  EXPECT_EQ(Size(Load("anim.gif")), "16x16");
  EXPECT_EQ(Size(Load("one.gif")), "1x1");
  EXPECT_EQ(Size(Load("plasma.jpg")), "123x45");
  EXPECT_EQ(Size(Load("progressive.jpg")), "200x17");
  EXPECT_EQ(Size(Load("gray.jpg")), "9x300");
  EXPECT_EQ(ImgKindOf(Load("g87.gif")), ImgKind::kGif);
  EXPECT_EQ(ImgKindOf(Load("gray.jpg")), ImgKind::kJpeg);
  EXPECT_EQ(ImgKindOf(StFromView(std::string_view("\x89PNG\r\n\x1a\n", 8))), ImgKind::kPng);
  EXPECT_EQ(ImgKindOf(StCStrXfm("BM....")), ImgKind::kBmp);
  EXPECT_EQ(ImgKindOf(StCStrXfm("text")), ImgKind::kUnknown);
}

// A logical screen of 0 by 0 takes the first image's size, found past the
// extension blocks (the animated file has a graphic control and an
// application extension before its first image).
TEST(Img, GifWithoutScreenSizeUsesTheFirstImage) {
  std::string anim = Load("anim.gif").Str();
  for (int i = 6; i < 10; ++i) anim[size_t(i)] = 0;
  EXPECT_EQ(Size(StFromView(anim)), "16x16");
  // Cut before the image descriptor is complete: no size.
  size_t image = anim.find(',', 13);
  ASSERT_NE(image, std::string::npos);
  EXPECT_EQ(Size(StFromView(anim.substr(0, image + 5))), "none");
  EXPECT_EQ(Size(StFromView(anim.substr(0, 12))), "none");
  EXPECT_EQ(Size(StFromView(std::string("GIF90a") + std::string(10, '\1'))), "none");
}

TEST(Img, DamagedJpegsAreRefusedQuietly) {
  std::string jpg = Load("plasma.jpg").Str();
  EXPECT_EQ(Size(StFromView(jpg.substr(0, 3))), "none");
  EXPECT_EQ(Size(StFromView(jpg.substr(0, 40))), "none");  // cut before the frame header
  std::string noFrame = jpg;
  noFrame[2] = '\x01';  // not a marker after SOI
  EXPECT_EQ(Size(StFromView(noFrame)), "none");
  ImgSize s;
  EXPECT_FALSE(ImgJpegSize(StCStrXfm("\xff\xd8\xff\xd9"), &s));  // start and end, nothing between
  EXPECT_FALSE(ImgGifSize(Load("plasma.jpg"), &s));
  EXPECT_FALSE(ImgJpegSize(Load("one.gif"), &s));
}

// Random damage to every real file: the readers always return, and a size
// they give is one a 16-bit header can hold.
TEST(Img, RandomDamageIsAnswered) {
  uint32_t seed = std::random_device()();
  std::printf("seed %u\n", seed);
  std::mt19937 rng(seed);
  for (const char* name : {"gradient.gif", "anim.gif", "plasma.jpg", "progressive.jpg", "gray.jpg"}) {
    std::string base = Load(name).Str();
    for (int round = 0; round < 300; ++round) {
      std::string d = base.substr(0, rng() % (base.size() + 1));
      for (int k = 0; k < 3 && !d.empty(); ++k) d[rng() % d.size()] = char(rng());
      ImgSize s;
      if (ImgSizeOf(StFromView(d), &s)) {
        ASSERT_GE(s.width, 0);
        ASSERT_LE(s.width, 65535);
        ASSERT_LE(s.height, 65535);
      }
    }
  }
}

}  // namespace
