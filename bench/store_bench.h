// Shared by the store benchmarks: the store initialised in a scratch
// directory (under the current one, or QUIL_BENCH_DIR) for the life of a
// Scratch object, so that the transient file and any database files of a
// benchmark use the disk it is meant to measure.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Ch.h"

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

}  // namespace storebench
