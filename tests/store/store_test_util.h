// Test helpers of the store tests: a fresh working directory per test with
// the store initialised in it, and raw file access.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "Ch.h"
#include "ChInt.h"
#include "Store.h"

namespace storetest {

inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

inline uint32_t Be32At(const std::string& bytes, size_t at) {
  return quil::LdBe32(reinterpret_cast<const uint8_t*>(bytes.data()) + at);
}

inline void PutBe32At(std::string& bytes, size_t at, uint32_t v) {
  quil::StBe32(reinterpret_cast<uint8_t*>(bytes.data()) + at, v);
}

inline uint32_t Le32At(const std::string& bytes, size_t at) {
  return quil::Ld32(reinterpret_cast<const uint8_t*>(bytes.data()) + at);
}

inline void Touch(const std::string& path) { WriteFileBytes(path, ""); }

// Runs a shell command; returns its exit status, its output in *out.
inline int RunCommand(const std::string& command, std::string* out) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  char buf[4096];
  size_t n;
  out->clear();
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The running test binary, for running one of its tests in a new process.
inline std::string SelfPath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return std::string(buf, size_t(n > 0 ? n : 0));
}

// The operator tool built next to the tests.
inline std::string DbToolPath() { return std::string(QUIL_BINARY_DIR) + "/quil-dbtool"; }

// Each test runs in its own empty directory (the store puts its transient
// file and looks for marker files there) with the store initialised.
class StoreTest : public ::testing::Test {
 protected:
  virtual uint32_t CachePages() const { return 64; }

  void SetUp() override {
    char tmpl[] = "/tmp/quil-store-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    oldDir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    quil::ChDebugFlag = true;
    ASSERT_EQ(quil::ChInit(19, CachePages()), 0);
  }

  void TearDown() override {
    // Close what a failed test left open so that ChTerm's checks pass.
    quil::FiFaultReset();
    while (!quil::ChState.files.empty()) {
      quil::ChFiRec* f = quil::ChState.files.back().get();
      f->opens = 1;
      f->save.state = quil::ChSaveState::kIdle;
      for (auto& cp : quil::ChState.cache) cp.locks = 0;
      (void)quil::ChFiClose(f->handle);
    }
    for (auto& cp : quil::ChState.cache) cp.locks = 0;
    quil::ChTerm();
    std::filesystem::current_path(oldDir_);
    std::filesystem::remove_all(dir_);
  }

  // A new file with its master part.
  quil::ChPart NewPart(const std::string& name = "quil.db") {
    quil::ChFi f = nullptr;
    EXPECT_EQ(quil::ChFiCreate(name, &f), 0);
    quil::ChPart part = 0;
    EXPECT_EQ(quil::ChFiPartCreate(f, &part), 0);
    return part;
  }

  // Creates a raw chunk holding bytes.
  static quil::ChHandle NewChunk(quil::ChHandle near, const std::string& bytes,
                                 uint16_t type = quil::kUtTypeRaw) {
    quil::ChHandle h;
    void* data = quil::ChCreate(type, uint32_t(bytes.size()), near, &h);
    memcpy(data, bytes.data(), bytes.size());
    quil::ChUnlockMod(data);
    return h;
  }

  static std::string ChunkBytes(quil::ChHandle h) {
    return std::string(static_cast<const char*>(quil::ChDeref(h)), quil::ChSize(h));
  }

  std::string dir_;
  std::filesystem::path oldDir_;
};

// A store test with every chunk type of the store registered and a new
// database file's master part as part_ (near_ places chunks in it).
class PartTest : public StoreTest {
 protected:
  void SetUp() override {
    quil::StoreRegisterTypes();
    StoreTest::SetUp();
    part_ = NewPart();
    near_ = quil::ChPartNear(part_);
  }

  quil::ChPart part_ = 0;
  quil::ChHandle near_ = 0;
};

}  // namespace storetest
