// The real server and the database file: a start in an empty directory
// creates quil.db with its root, a stop and a new start keep it, the file
// passes the operator tool's check, -resetmem stores the minimum memory
// settings.
#include <signal.h>

#include "../server/quil_process.h"
#include "forum_test_util.h"

namespace {

using forumtest::DbTool;
using forumtest::RunCommand;
using quiltest::Quil;
using quiltest::ScratchDir;

// Waits until q is in its run loop.  The lock file appears before the
// server's own signal handlers are in place (a SIGTERM that early ends it
// with status 1), so the lock alone is not enough.
void Serving(Quil& q, const ScratchDir& dir) {
  ASSERT_NE(quiltest::WaitForLock(dir), 0);
  ASSERT_TRUE(q.ErrUntil("select: wait"));
}

std::string Tool(const ScratchDir& dir, const char* command, int* status = nullptr) {
  std::string out;
  int rc = RunCommand(DbTool() + " " + command + " " + dir.File("quil.db"), &out);
  if (status) *status = rc;
  return out;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Starts the server, waits until it serves, stops it with SIGTERM.
void ServeOnce(const ScratchDir& dir) {
  Quil q(dir.path(), {"-server", "-trace"});
  Serving(q, dir);
  quiltest::Ended e = quiltest::Stop(q, dir);
  EXPECT_EQ(e.err.find("ForumDbOpenI"), std::string::npos) << e.err;
}

TEST(ServerDb, NewDirectoryGetsARootThatSurvivesARestart) {
  ScratchDir dir;
  ServeOnce(dir);
  ASSERT_TRUE(dir.Exists("quil.db"));
  int status = -1;
  std::string check = Tool(dir, "check", &status);
  EXPECT_EQ(status, 0) << check;
  std::string tree = Tool(dir, "tree");
  EXPECT_EQ(tree, ".ee6b280\tforum-category\t/\tforums\t0\n");
  std::string settings = Tool(dir, "settings");
  EXPECT_NE(settings.find("AllowGuests=on\n"), std::string::npos);
  EXPECT_NE(settings.find("LogoutTimeout=3600\n"), std::string::npos);
  EXPECT_NE(settings.find("ImagesDir=/Images\n"), std::string::npos);
  EXPECT_NE(settings.find("HtmlBanner=<center><h1>%% siteTitle %%</h1></center><hr>\n"),
            std::string::npos);

  ServeOnce(dir);
  EXPECT_EQ(Tool(dir, "tree"), tree);
  EXPECT_EQ(Tool(dir, "settings"), settings);
  check = Tool(dir, "check", &status);
  EXPECT_EQ(status, 0) << check;
}

TEST(ServerDb, ResetMemStoresTheMinimumAndEnds) {
  ScratchDir dir;
  quiltest::Ended e = quiltest::RunQuil(dir.path(), {"-server", "-resetmem"});
  EXPECT_TRUE(e.exited);
  EXPECT_EQ(e.status, 0) << e.err;
  std::string settings = Tool(dir, "settings");
  EXPECT_NE(settings.find("MemUserSpecified=1\n"), std::string::npos) << settings;
  EXPECT_NE(settings.find("MemChPages=50\n"), std::string::npos);
  EXPECT_NE(settings.find("MemSmallObjHeap=460000\n"), std::string::npos);
}

TEST(ServerDb, ForcedRepairAndNoCheckStillOpen) {
  ScratchDir dir;
  ServeOnce(dir);
  {
    Quil q(dir.path(), {"-server", "-f", "-trace"});
    Serving(q, dir);
    quiltest::Ended e = quiltest::Stop(q, dir);
    // Once: the repair of the first open clears the flag.  It says what it
    // did and that the file itself was not repaired.
    EXPECT_EQ(Count(e.err, "* DB identifier index checked: 0 entries put back, "
                           "file saved and flushed\n"), 1u) << e.err;
    EXPECT_EQ(Count(e.err, "* DB not repaired: a repair was asked for, and only the "
                           "identifier index is repaired\n"), 1u) << e.err;
    EXPECT_EQ(Count(e.err, "* DB repaired"), 0u) << e.err;
  }
  {
    Quil q(dir.path(), {"-server", "-noCheck", "-trace"});
    Serving(q, dir);
    quiltest::Ended e = quiltest::Stop(q, dir);
    EXPECT_EQ(Count(e.err, "* DB "), 0u) << e.err;
  }
  int status = -1;
  std::string check = Tool(dir, "check", &status);
  EXPECT_EQ(status, 0) << check;
  EXPECT_EQ(Tool(dir, "tree"), ".ee6b280\tforum-category\t/\tforums\t0\n");
}

}  // namespace
