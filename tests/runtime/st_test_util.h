// Helpers for the string tests: a fixture that checks for leaked string
// blocks, a deliberately broken string for the debug argument checks, and
// short constructors.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

#include "St.h"

namespace quiltest {

// Every test built on StTest must release every string block it creates.
class StTest : public ::testing::Test {
 protected:
  void SetUp() override { live_ = quil::StrStats; }
  void TearDown() override {
    EXPECT_EQ(quil::StrStats, live_) << "string blocks leaked";
  }

 private:
  int64_t live_ = 0;
};

inline quil::St S(std::string_view text) { return quil::StFromView(text); }

// True when conv hands back the very block it was given for text, as
// conversions do when nothing needs changing.
template <class Conv>
bool KeepsBlock(std::string_view text, Conv conv) {
  quil::St s = S(text);
  quil::StRep* rep = s.Rep();
  return conv(std::move(s)).Rep() == rep;
}

inline std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += char(rng() & 255);
  return s;
}

// A string value whose block does not carry the string heap type, as a stale
// or foreign pointer would.  The block is static storage: the value gives it
// up on destruction instead of freeing it.
class BadString {
 public:
  BadString() {
    rep_.refs = 1;
    rep_.len = 3;
    rep_.cap = 3;
    rep_.heapType = 7;
    rep_.unused = 0;
    str_ = quil::St::Adopt(&rep_);
  }
  ~BadString() { (void)str_.ReleaseRep(); }
  BadString(const BadString&) = delete;
  BadString& operator=(const BadString&) = delete;
  const quil::St& get() const { return str_; }

 private:
  struct alignas(quil::StRep) Block {
    quil::StRep rep;
    char chars[8] = "abc";
  };
  Block block_;
  quil::StRep& rep_ = block_.rep;
  quil::St str_;
};

}  // namespace quiltest
