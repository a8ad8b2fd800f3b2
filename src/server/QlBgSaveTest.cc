// The background-save self-test, a development aid of the start-up
// self-tests: when a file "bgsavetest" exists in the working directory, the
// serving pass keeps changing the conference and saving it in the
// background, so that a crash test can kill the process at any moment and
// check what the next start finds.
//
// The file holds "seed S discussions D": the seed of the changes and the
// number of discussions the conference has besides the test's own.  The
// state lives in the conference itself: the discussion titled "bgsavetest"
// in the top folder (created on first use) holds one ledger message per
// batch, "bgsavetest batch N"; batch N also gives kRetitles messages of
// the other discussions, chosen from the seed and N, the title
// "bgsavetest N".
//
// When the serving pass starts, the conference must hold exactly the end of
// some batch B: the last ledger messages in order, every message batch B
// retitled carrying "bgsavetest B", no message that a later batch will
// retitle already carrying a later title, and D other discussions.
// Anything else is an assertion failure ("QlBgSaveTest-- ...").  Then the
// event log gets
//   "* bgsavetest opened revision R batches B"
// and every tick in which no save is in flight runs one batch and starts the
// save of the conference as it is then:
//   "* bgsavetest save batches B"            when a save starts,
//   "* bgsavetest saved revision R batches B" once it has completed,
//   "* bgsavetest save failed"               when it did not.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "Ch.h"
#include "Fi.h"
#include "Forum.h"
#include "Ht.h"
#include "Ma.h"
#include "Ql.h"
#include "Qu.h"

namespace quil {

namespace {

constexpr char kBgSaveTestFile[] = "bgsavetest";
constexpr char kTitle[] = "bgsavetest";
constexpr int32_t kTickMs = 10;
constexpr int kRetitles = 50;
// Batches after the saved one whose choices the start-up check looks at.
// A batch runs only while no save is in flight, so an image mixed from two
// saves can hold the titles of one batch after its ledger at most.
constexpr int32_t kLookAhead = 4;
constexpr int32_t kLedgerChecked = 64;

struct BgSaveTest {
  ForumRoot root = nullptr;
  uint32_t seed = 0;
  int32_t ledger = 0;                // unique id of the test's discussion
  std::vector<int32_t> discussions;  // unique ids of the others
  std::vector<int32_t> counts;       // their message counts
  int32_t batches = 0;               // batches done (ledger messages)
  int32_t savingBatches = -1;        // batches of the save in flight
  uint32_t savedRevision = 0;
  int32_t ramId = 0;
};

BgSaveTest* running = nullptr;

St LedgerBody(int32_t batch) { return StFromView("bgsavetest batch " + std::to_string(batch)); }
St BatchTitle(int32_t batch) { return StFromView("bgsavetest " + std::to_string(batch)); }

// The batch whose title a message carries, 0 for any other title.
int32_t TitleBatch(const St& title) {
  std::string_view t = title.View();
  std::string_view lead = "bgsavetest ";
  if (t.substr(0, lead.size()) != lead) return 0;
  return int32_t(atol(std::string(t.substr(lead.size())).c_str()));
}

// The messages batch retitles: (discussion position, message index).
std::vector<std::pair<size_t, int32_t>> Choices(const BgSaveTest& t, int32_t batch) {
  std::mt19937 rng(t.seed * 1000003u + uint32_t(batch));
  std::vector<std::pair<size_t, int32_t>> out;
  for (int i = 0; i < kRetitles; ++i) {
    size_t d = rng() % t.discussions.size();
    out.emplace_back(d, int32_t(rng() % uint32_t(t.counts[d])));
  }
  return out;
}

// The discussions below the top folder (depth first, in name order) and
// the test's ledger.
void Collect(BgSaveTest& t, const ForumFile& folder) {
  ForumRoot root = t.root;
  for (uint32_t ix = 0; ix < ForumCatItemCount(folder); ++ix) {
    ChHandle entry = ForumCatItemOpen(folder, ix);
    ForumFile child = ForumFileHasChild(folder, ForumCatItemName(root, entry));
    if (!child) continue;
    if (ForumFileIsCategory(child)) {
      Collect(t, child);
    } else if (ForumFileIsForum(child)) {
      if (ForumCatItemTitle(root, entry) == kTitle) {
        t.ledger = ForumFileUniqueId(child);
      } else if (ForumMessageCount(child) > 0) {
        t.discussions.push_back(ForumFileUniqueId(child));
        t.counts.push_back(ForumMessageCount(child));
      }
    }
  }
}

void Check(bool ok, const std::string& what) {
  if (!ok) MaAssertFailure("QlBgSaveTest-- " + what);
}

void Verify(BgSaveTest& t) {
  ForumFile ledger = ForumFileOpenUnique(t.root, t.ledger);
  t.batches = ForumMessageCount(ledger);
  for (int32_t i = std::max(0, t.batches - kLedgerChecked); i < t.batches; ++i)
    Check(ForumItemData(ledger, i) == LedgerBody(i + 1),
          "ledger message " + std::to_string(i) + " is not batch " + std::to_string(i + 1));
  auto titleOf = [&](const std::pair<size_t, int32_t>& c) {
    ForumFile d = ForumFileOpenUnique(t.root, t.discussions[c.first]);
    return ForumItemTitle(d, c.second);
  };
  if (t.batches > 0) {
    for (const auto& c : Choices(t, t.batches))
      Check(TitleBatch(titleOf(c)) == t.batches,
            "a message of batch " + std::to_string(t.batches) + " lacks its title");
  }
  for (int32_t b = t.batches + 1; b <= t.batches + kLookAhead; ++b) {
    for (const auto& c : Choices(t, b))
      Check(TitleBatch(titleOf(c)) <= t.batches,
            "a message carries a batch after " + std::to_string(t.batches));
  }
}

void Batch(BgSaveTest& t) {
  int32_t batch = t.batches + 1;
  St title = BatchTitle(batch);
  for (const auto& c : Choices(t, batch)) {
    ForumFile d = ForumFileOpenUnique(t.root, t.discussions[c.first]);
    (void)ForumItemSetTitle(d, c.second, title);
  }
  ForumFile ledger = ForumFileOpenUnique(t.root, t.ledger);
  int32_t index = 0;
  (void)ForumItemCreate(ledger, 0, St(), StCStrXfm("text"), LedgerBody(batch), -1, true, &index);
  Check(index == batch - 1, "ledger out of step");
  t.batches = batch;
}

// Logs the end of the save of batches in flight (savingBatches).
void SaveEnded(BgSaveTest& t, ChPart part) {
  uint32_t revision = ChGetRev(part);
  if (revision != t.savedRevision) {
    Wf_log_write("* bgsavetest saved revision %u batches %d", revision, t.savingBatches);
    t.savedRevision = revision;
  } else {
    Wf_log_write("* bgsavetest save failed");
  }
  t.savingBatches = -1;
}

// One batch and the start of its save, while no save is in flight: the
// save always starts in the callback that made the changes, so it holds a
// whole batch (and the forum's own save timer, armed by the changes, is
// disarmed by it before it can fire).
void Tick(intptr_t, int32_t) {
  BgSaveTest& t = *running;
  t.ramId = 0;
  ChPart part = ForumRootPart(t.root);
  ChFi file = ChGetChFi(part);
  if (!ChBgSaveActive(file)) {
    if (t.savingBatches >= 0) SaveEnded(t, part);
    Batch(t);
    if (ForumRootSave(t.root) == 0) {
      t.savingBatches = t.batches;
      Wf_log_write("* bgsavetest save batches %d", t.batches);
      if (!ChBgSaveActive(file)) SaveEnded(t, part);  // saved in this thread
    }
  }
  t.ramId = QuRamAdd(kTickMs, Tick, 0);
}

}  // namespace

void QlBgSaveTestStart(ForumRoot root) {
  std::string text;
  if (FiReadWhole(kBgSaveTestFile, &text) != 0) return;
  auto t = std::make_unique<BgSaveTest>();
  t->root = root;
  unsigned seed = 0;
  int expected = -1;
  Check(sscanf(text.c_str(), "seed %u discussions %d", &seed, &expected) == 2,
        "the file bgsavetest does not say \"seed S discussions D\"");
  t->seed = seed;
  ForumFile top = ForumTopFolder(root);
  Collect(*t, top);
  Check(int(t->discussions.size()) == expected,
        std::to_string(t->discussions.size()) + " discussions, not " + std::to_string(expected));
  if (t->ledger == 0) {
    St name;
    Check(ForumCatItemCreate(top, StCStrXfm("forum-topic"), St(), StCStrXfm(kTitle), 0, true,
                             &name) == 0,
          "cannot create the ledger");
    t->ledger = ForumFileUniqueId(ForumFileHasChild(top, name));
  }
  Verify(*t);
  t->savedRevision = ChGetRev(ForumRootPart(root));
  Wf_log_write("* bgsavetest opened revision %u batches %d", t->savedRevision, t->batches);
  running = t.release();
  running->ramId = QuRamAdd(kTickMs, Tick, 0);
}

void QlBgSaveTestStop() {
  if (!running) return;
  std::unique_ptr<BgSaveTest> t(running);
  running = nullptr;
  if (t->ramId != 0) QuRamKill(t->ramId);
}

}  // namespace quil
