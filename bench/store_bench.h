// Shared by the store benchmarks: the store initialised in a scratch
// directory (under the current one, or QUIL_BENCH_DIR) for the life of a
// Scratch object, so that the transient file and any database files of a
// benchmark use the disk it is meant to measure.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Ch.h"
#include "Ut.h"

namespace storebench {

inline std::string BenchDir() {
  const char* env = getenv("QUIL_BENCH_DIR");
  std::string base = env ? env : std::filesystem::current_path().string();
  std::string tmpl = base + "/quil-bench-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) abort();
  return name.data();
}

class Scratch {
 public:
  explicit Scratch(uint32_t cachePages) : dir_(BenchDir()), old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir_);
    if (quil::ChInit(19, cachePages) != 0) abort();
  }
  ~Scratch() {
    quil::ChTerm();
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

 private:
  std::string dir_;
  std::filesystem::path old_;
};

inline double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The baseline of the save benchmarks: pages pages of 4,096 bytes written at
// the start of fd, one fdatasync per 15 pages and one at the end.
inline void WriteSequential(int fd, uint32_t pages) {
  std::vector<char> page(quil::kChPageSize, 'b');
  for (uint32_t i = 0; i < pages; ++i) {
    if (pwrite(fd, page.data(), quil::kChPageSize, off_t(i) * quil::kChPageSize) !=
        ssize_t(quil::kChPageSize))
      abort();
    if ((i + 1) % 15 == 0) (void)fdatasync(fd);
  }
  (void)fdatasync(fd);
}

// Fills a new part to pages pages: pages - 1 chunks of 4,000 bytes, each on
// a page of its own.
inline std::vector<quil::ChHandle> FillPages(quil::ChPart part, uint32_t pages) {
  std::vector<quil::ChHandle> chunks;
  for (uint32_t i = 1; i < pages; ++i) {
    quil::ChHandle h;
    void* data = quil::ChCreate(quil::kUtTypeRaw, 4000, quil::ChPartNear(part), &h);
    memset(data, int(i), 4000);
    quil::ChUnlockMod(data);
    chunks.push_back(h);
  }
  return chunks;
}

// Changes one byte of every chunk and the part information, so that every
// page of a part filled by FillPages is changed.
inline void ChangeAll(quil::ChPart part, const std::vector<quil::ChHandle>& chunks) {
  for (quil::ChHandle h : chunks) {
    quil::ChLocked c(h);
    c.Data()[7] ^= 1;
    c.MarkModified();
  }
  quil::ChMarkModified(quil::ChPartInfoHandle(part));
}

}  // namespace storebench
