// Helpers of the record-database and name-space tests: a store fixture with
// every store type registered and a database file open, field names, and
// the count of live chunks.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "Ch.h"
#include "LgDb.h"
#include "Store.h"
#include "store_test_util.h"

namespace lgdbtest {

// The chunks of a part, by chunk type.
inline std::map<uint16_t, int> LiveChunks(quil::ChPart part) {
  std::map<uint16_t, int> count;
  quil::ChIter it;
  quil::ChStartFID(it, part);
  for (quil::ChHandle h; (h = quil::ChNext(it)) != quil::kChNil;) ++count[quil::ChType(h)];
  quil::ChStop(it);
  return count;
}

inline int LiveChunkTotal(quil::ChPart part) {
  int n = 0;
  for (auto [type, k] : LiveChunks(part)) n += k;
  return n;
}

class LgDbTest : public storetest::StoreTest {
 protected:
  void SetUp() override {
    quil::StoreRegisterTypes();
    storetest::StoreTest::SetUp();
    part_ = NewPart();
    near_ = quil::ChPartNear(part_);
  }

  quil::ChHandle Field(const std::string& name) const {
    return quil::LgDbFieldIdGet(near_, quil::StFromView(name));
  }

  quil::ChPart part_ = 0;
  quil::ChHandle near_ = 0;
};

}  // namespace lgdbtest
