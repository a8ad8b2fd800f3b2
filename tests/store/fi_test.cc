// The file layer: statuses, unique names, lengths, and the fault hook.
#include <gtest/gtest.h>

#include <filesystem>
#include <cctype>

#include "Fi.h"

using namespace quil;

namespace {

// True when the file name of path is prefix followed by six letters or
// digits.
bool NamedLike(const std::string& path, const std::string& prefix) {
  std::string name = std::filesystem::path(path).filename();
  if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
    return false;
  for (size_t i = prefix.size(); i < name.size(); ++i)
    if (!isalnum(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

class FiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quil-fi-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    FiFaultFailNth(FiCall::kWrite, 0, kFiStatusDiskFull);
    std::filesystem::remove_all(dir_);
  }
  std::string Path(const char* name) const { return dir_ + "/" + name; }
  std::string dir_;
};

TEST_F(FiTest, ReadWriteAtPositionsAndTheRecordedEnd) {
  FiFile f;
  ASSERT_EQ(FiCreate(Path("a"), f), 0);
  EXPECT_EQ(FiGetEOF(f), 0);
  uint16_t status;
  EXPECT_EQ(FiWrite(f, "hello", 10, 5, status), 5);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(FiGetEOF(f), 15);
  EXPECT_EQ(FiGetLength(f, status), 15);
  char buf[32] = {};
  EXPECT_EQ(FiRead(f, buf, 8, 32, status), 7);  // short read at the end: no error
  EXPECT_EQ(status, 0);
  EXPECT_EQ(std::string(buf, 7), std::string("\0\0hello", 7));
  EXPECT_EQ(FiRead(f, buf, 15, 4, status), 0);
  EXPECT_EQ(status, kFiStatusEof);
  ASSERT_EQ(FiSetLength(f, 4096), 0);
  EXPECT_EQ(FiGetEOF(f), 4096);
  EXPECT_EQ(FiSync(f), 0);
  EXPECT_EQ(FiClose(f), 0);
}

TEST_F(FiTest, StatusesOfClosedAndMissingFiles) {
  FiFile f;
  uint16_t status;
  char c;
  FiRead(f, &c, 0, 1, status);
  EXPECT_EQ(status, kFiStatusNotOpen);
  FiWrite(f, &c, 0, 1, status);
  EXPECT_EQ(status, kFiStatusNotOpen);
  EXPECT_EQ(FiSync(f), kFiStatusNotOpen);
  EXPECT_EQ(FiClose(f), kFiStatusNotOpen);
  EXPECT_EQ(FiOpen(Path("missing"), kFiReadOnly, f), kEcNoFile);
  ASSERT_EQ(FiCreate(Path("a"), f), 0);
  FiFile g;
  EXPECT_EQ(FiCreate(Path("a"), g), kFiStatusExists);
  EXPECT_TRUE(FiExists(Path("a")));
  EXPECT_EQ(FiRename(f, Path("b")), 0);
  EXPECT_EQ(f.Path(), Path("b"));
  EXPECT_FALSE(FiExists(Path("a")));
  EXPECT_EQ(FiDelete(Path("b")), 0);
  EXPECT_EQ(FiDelete(Path("b")), kEcNoFile);
  // A read-only file refuses writes with the host's error.
  FiFile made;
  ASSERT_EQ(FiCreate(Path("ro"), made), 0);
  ASSERT_EQ(FiOpen(Path("ro"), kFiReadOnly, g), 0);
  FiWrite(g, "x", 0, 1, status);
  EXPECT_EQ(status, kFiStatusNotOpen);  // EBADF
}

TEST_F(FiTest, UniqueNamesFollowThePattern) {
  FiFile a, b;
  ASSERT_EQ(FiCreateUnique(dir_, a), 0);
  ASSERT_EQ(FiCreateUnique(dir_, b), 0);
  EXPECT_TRUE(NamedLike(a.Path(), "AU")) << a.Path();
  EXPECT_NE(a.Path(), b.Path());
  FiFile t;
  ASSERT_EQ(FiCreateUnique(dir_, "AU000000", t), 0);
  EXPECT_TRUE(NamedLike(t.Path(), "AU000000")) << t.Path();
}

TEST_F(FiTest, HookFailsTheNthWriteOnce) {
  FiFile f;
  ASSERT_EQ(FiCreate(Path("a"), f), 0);
  int64_t before = FiFaultCalls(FiCall::kWrite);
  FiFaultFailNth(FiCall::kWrite, 3, 28);  // ENOSPC would be 211; any status passes through
  uint16_t status;
  for (int i = 1; i <= 5; ++i) {
    int64_t n = FiWrite(f, "abcd", 4 * (i - 1), 4, status);
    if (i == 3) {
      EXPECT_EQ(status, 28);
      EXPECT_EQ(n, 0);
    } else {
      EXPECT_EQ(status, 0) << i;
    }
  }
  EXPECT_EQ(FiFaultCalls(FiCall::kWrite) - before, 5);
  std::string bytes(20, '\0');
  FiRead(f, bytes.data(), 0, 20, status);
  EXPECT_EQ(bytes, std::string("abcdabcd\0\0\0\0abcdabcd", 20));
  int64_t syncs = FiFaultCalls(FiCall::kSync);
  EXPECT_EQ(FiSync(f), 0);
  EXPECT_EQ(FiFaultCalls(FiCall::kSync), syncs + 1);
  EXPECT_EQ(FiErrnoXfm(ENOSPC), kFiStatusDiskFull);
}

}  // namespace
