// MD5 against the RFC 1321 test suite, fed whole and in pieces.
#include <gtest/gtest.h>

#include <string>

#include "St.h"
#include "st_test_util.h"

namespace quil {
namespace {

using quiltest::S;
using Md5Test = quiltest::StTest;

std::string Hex(const uint8_t* digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < kMd5DigestSize; ++i) {
    out += kDigits[digest[i] >> 4];
    out += kDigits[digest[i] & 15];
  }
  return out;
}

std::string Md5Hex(std::string_view data) {
  uint8_t digest[kMd5DigestSize];
  HashMd5(data.data(), data.size(), digest);
  return Hex(digest);
}

const char* const kSuite[][2] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"1234567890123456789012345678901234567890123456789012345678901234567890"
     "1234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST_F(Md5Test, Rfc1321Suite) {
  for (auto& v : kSuite) EXPECT_EQ(Md5Hex(v[0]), v[1]) << '"' << v[0] << '"';
}

TEST_F(Md5Test, MillionAs) {
  EXPECT_EQ(Md5Hex(std::string(1000000, 'a')),
            "7707d6ae4e027c70eea2a935c2296f21");
}

// Padding crosses a block boundary at 56 bytes; lengths around it and around
// 64 exercise both paths.
TEST_F(Md5Test, LengthsAroundTheBlockBoundary) {
  EXPECT_EQ(Md5Hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(Md5Hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(Md5Hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
}

TEST_F(Md5Test, UpdatesInPiecesGiveTheSameDigest) {
  std::string data = kSuite[6][0];
  data += data + "tail bytes beyond two blocks";
  std::string whole = Md5Hex(data);
  for (size_t cut1 = 0; cut1 <= data.size(); cut1 += 7) {
    for (size_t cut2 = cut1; cut2 <= data.size(); cut2 += 13) {
      MD5Context ctx;
      MD5Init(&ctx);
      MD5Update(&ctx, data.data(), cut1);
      MD5Update(&ctx, data.data() + cut1, cut2 - cut1);
      MD5Update(&ctx, data.data() + cut2, data.size() - cut2);
      uint8_t digest[kMd5DigestSize];
      MD5Final(digest, &ctx);
      ASSERT_EQ(Hex(digest), whole) << cut1 << " " << cut2;
    }
  }
}

TEST_F(Md5Test, StHashMd5GivesTheRawDigest) {
  St digest = StHashMd5(S("abc"));
  ASSERT_EQ(digest.Length(), kMd5DigestSize);
  EXPECT_EQ(Hex(digest.Bytes()), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Hex(StHashMd5(St()).Bytes()), kSuite[0][1]);
  EXPECT_EQ(StToHex(StHashMd5(S("message digest"))), kSuite[3][1]);
}

}  // namespace
}  // namespace quil
