// The file layer: statuses, unique names, lengths, and the fault hook.
#include <gtest/gtest.h>

#include <filesystem>
#include <cctype>

#include "Fi.h"
#include "Ec.h"

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

TEST_F(FiTest, HostErrorsHaveABandOfTheirOwn) {
  // The host's numbers no longer collide with the store's codes: ENOENT (2)
  // is not "Attempt to save an untitled file."
  EXPECT_EQ(FiErrnoXfm(ENOENT), kEcNoFile);
  EXPECT_EQ(FiErrnoXfm(EACCES), kEcAccessDenied);
  EXPECT_EQ(FiErrnoXfm(EIO), kEcMediaError);
  EXPECT_EQ(FiErrnoXfm(EROFS), kEcWriteProtected);
  EXPECT_EQ(FiErrnoXfm(EINVAL), 3000 + EINVAL);
  EXPECT_EQ(FiErrnoXfm(ELOOP), 3000 + ELOOP);
  EXPECT_EQ(EcToSt(FiErrnoXfm(EINVAL)), "Invalid argument (host error 22).");
  EXPECT_EQ(EcToSt(FiErrnoXfm(ENOENT)), "No such file.");
  FiFile f;
  EXPECT_EQ(FiOpen(Path("a/b"), kFiReadOnly, f), kEcNoFile);
  ASSERT_EQ(FiCreate(Path("plain"), f), 0);
  FiFile g;
  EXPECT_EQ(FiOpen(Path("plain/x"), kFiReadOnly, g), kEcNoDirectory);
}

TEST_F(FiTest, WholeFilesAreReplacedAllOrNothing) {
  std::string text;
  EXPECT_EQ(FiReadWhole(Path("settings"), &text), kEcNoFile);
  ASSERT_EQ(FiWriteWhole(Path("settings"), "a=1\n"), 0);
  ASSERT_EQ(FiReadWhole(Path("settings"), &text), 0);
  EXPECT_EQ(text, "a=1\n");
  // A failed write leaves the old contents and no temporary file behind.
  FiFaultFailNth(FiCall::kWrite, 1, kEcDiskFull);
  EXPECT_EQ(FiWriteWhole(Path("settings"), "a=2\n"), kEcDiskFull);
  FiFaultFailNth(FiCall::kRename, 1, kEcAccessDenied);
  EXPECT_EQ(FiWriteWhole(Path("settings"), "a=3\n"), kEcAccessDenied);
  ASSERT_EQ(FiReadWhole(Path("settings"), &text), 0);
  EXPECT_EQ(text, "a=1\n");
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir_)) files += e.is_regular_file();
  EXPECT_EQ(files, 1);
}

TEST_F(FiTest, EachKindOfCallCanBeMadeToFailOnce) {
  FiFile f;
  ASSERT_EQ(FiCreate(Path("a"), f), 0);
  FiFaultFailNth(FiCall::kSync, 2, kEcMediaError);
  EXPECT_EQ(FiSync(f), 0);
  EXPECT_EQ(FiSync(f), kEcMediaError);
  EXPECT_EQ(FiSync(f), 0);
  FiFaultFailNth(FiCall::kRead, 1, kEcMediaError);
  char c;
  uint16_t status;
  EXPECT_EQ(FiRead(f, &c, 0, 1, status), 0);
  EXPECT_EQ(status, kEcMediaError);
  FiFaultFailNth(FiCall::kTruncate, 1, kEcDiskFull);
  EXPECT_EQ(FiSetLength(f, 100), kEcDiskFull);
  EXPECT_EQ(FiGetEOF(f), 0);
  FiFaultFailNth(FiCall::kRename, 1, kEcAccessDenied);
  EXPECT_EQ(FiRename(f, Path("b")), kEcAccessDenied);
  EXPECT_EQ(f.Path(), Path("a"));
  FiFaultFailNth(FiCall::kDelete, 1, kEcAccessDenied);
  EXPECT_EQ(FiDelete(Path("a")), kEcAccessDenied);
  FiFaultFailNth(FiCall::kOpen, 1, kEcTooManyOpen);
  FiFile g;
  EXPECT_EQ(FiOpen(Path("a"), kFiReadOnly, g), kEcTooManyOpen);
  EXPECT_EQ(FiOpen(Path("a"), kFiReadOnly, g), 0);
}

std::string Contents(const std::string& path) {
  std::string text;
  EXPECT_EQ(FiReadWhole(path, &text), 0);
  return text;
}

TEST_F(FiTest, APowerCutKeepsOnlyWhatWasSynced) {
  FiFile f;
  ASSERT_EQ(FiCreate(Path("a"), f), 0);
  ASSERT_EQ(FiWriteAt(f, "old!", 0, 4), 0);
  ASSERT_EQ(FiSync(f), 0);
  ASSERT_EQ(FiSyncDir(Path("a")), 0);
  FiFaultTrack(true);
  ASSERT_EQ(FiWriteAt(f, "NEW!", 0, 4), 0);
  ASSERT_EQ(FiWriteAt(f, "more", 4, 4), 0);
  FiFile fresh;
  ASSERT_EQ(FiCreate(Path("fresh"), fresh), 0);  // its name never synced
  ASSERT_EQ(FiWriteAt(fresh, "x", 0, 1), 0);
  ASSERT_EQ(FiSync(fresh), 0);
  FiFaultPowerCut(FiCut::kDropAll, 1);
  EXPECT_EQ(Contents(Path("a")), "old!");
  EXPECT_FALSE(FiExists(Path("fresh")));
  // A synced write survives; the writes after the sync do not.
  ASSERT_EQ(FiWriteAt(f, "NEW!", 0, 4), 0);
  ASSERT_EQ(FiSync(f), 0);
  ASSERT_EQ(FiSetLength(f, 2), 0);
  FiFaultPowerCut(FiCut::kDropAll, 2);
  EXPECT_EQ(Contents(Path("a")), "NEW!");
  FiFaultReset();
}

TEST_F(FiTest, APowerCutMayKeepOrTearUnsyncedWrites) {
  // Over many seeds, an unsynced write of three sectors is lost, kept or
  // torn into some of its sectors, never anything else.
  FiFile f;
  ASSERT_EQ(FiCreate(Path("a"), f), 0);
  ASSERT_EQ(FiWriteAt(f, std::string(1536, 'o').data(), 0, 1536), 0);
  ASSERT_EQ(FiSync(f), 0);
  bool lost = false, kept = false, torn = false;
  for (uint32_t seed = 1; seed <= 64; ++seed) {
    FiFaultTrack(true);
    ASSERT_EQ(FiWriteAt(f, std::string(1536, 'n').data(), 0, 1536), 0);
    FiFaultPowerCut(FiCut::kKeepSome, seed);
    FiFaultTrack(false);
    std::string now = Contents(Path("a"));
    ASSERT_EQ(now.size(), 1536u);
    int fresh = 0;
    for (int s = 0; s < 3; ++s) {
      std::string sector = now.substr(size_t(s) * 512, 512);
      ASSERT_TRUE(sector == std::string(512, 'o') || sector == std::string(512, 'n')) << seed;
      fresh += sector[0] == 'n';
    }
    lost |= fresh == 0;
    kept |= fresh == 3;
    torn |= fresh == 1 || fresh == 2;
    ASSERT_EQ(FiWriteAt(f, std::string(1536, 'o').data(), 0, 1536), 0);
    ASSERT_EQ(FiSync(f), 0);
  }
  EXPECT_TRUE(lost && kept && torn);
}

TEST_F(FiTest, ACutAtASyncLeavesTheLayerDeadUntilReset) {
  FiFile f;
  ASSERT_EQ(FiCreate(Path("a"), f), 0);
  ASSERT_EQ(FiSyncDir(Path("a")), 0);
  FiFaultTrack(true);
  FiFaultCutAtSync(2, FiCut::kDropAll, 1);
  ASSERT_EQ(FiWriteAt(f, "one", 0, 3), 0);
  ASSERT_EQ(FiSync(f), 0);
  ASSERT_EQ(FiWriteAt(f, "two", 3, 3), 0);
  EXPECT_EQ(FiSync(f), kEcMediaError);  // EIO: the power went
  EXPECT_TRUE(FiFaultDead());
  EXPECT_EQ(FiWriteAt(f, "three", 6, 5), kEcMediaError);
  std::string text;
  EXPECT_EQ(FiReadWhole(Path("a"), &text), kEcMediaError);
  FiFaultReset();
  EXPECT_FALSE(FiFaultDead());
  EXPECT_EQ(Contents(Path("a")), "one");
}

}  // namespace
