// The watcher at its edges, through the built executable: a descriptor
// limit below the tree's depth, and a folder that cannot be read for a
// while.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "controller/e2e_util.h"
#include "controller/watch_e2e_fixture.h"

namespace controller::e2e {
namespace {

namespace fs = std::filesystem;

class WatcherEdgesTest : public WatchFixture {
 protected:
  void SetUp() override { MakeTree({"src/app.js"}); }

  // Starts the controller with debug output through `wrapper` and waits
  // until it polls.
  Controller& StartThrough(const std::vector<std::string>& wrapper) {
    Options o = WithCwd(root_.string());
    o.wrapper = wrapper;
    return StartWith(o);
  }
};

// With `ulimit -n 24` a tree 40 folders deep is still watched to the
// bottom: the walk gives descriptors back and takes them again.
TEST_F(WatcherEdgesTest, DeepTreeUnderALowDescriptorLimitIsWatched) {
  fs::path bottom = root_ / "src";
  for (int i = 0; i < 40; ++i) bottom /= "d" + std::to_string(i);
  fs::create_directories(bottom);
  Touch(bottom / "deep.js");
  Controller& c = StartThrough({"/usr/bin/prlimit", "--nofile=24", "--"});
  Touch(bottom / "deep.js");
  ASSERT_TRUE(WaitForRuns(1)) << c.err();
  EXPECT_NE(c.err().find("Full path is:  " + (bottom / "deep.js").string()),
            std::string::npos)
      << c.err();
  EXPECT_EQ(c.err().find("An error occured in the watcher"), std::string::npos)
      << c.err();
}

// A folder the controller cannot read is reported once, not every cycle;
// when it can be read again an Info line says so, and what it holds counts
// as new.
TEST_F(WatcherEdgesTest, UnreadableFolderIsReportedOnceAndWhenReadable) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to set up the users";
  const fs::path locked = root_ / "src/locked";
  fs::create_directories(locked);
  Touch(locked / "inside.js");
  for (const fs::path& p : {root_, root_ / "src"}) {
    ASSERT_EQ(::chmod(p.c_str(), 0755), 0);
  }
  ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
  Controller& c = StartThrough({"/usr/bin/setpriv", "--reuid=65534",
                                "--regid=65534", "--clear-groups", "--"});
  const std::string warning =
      "[Warning] An error occured in the watcher open " + locked.string() +
      ": permission denied\n";
  ASSERT_TRUE(c.WaitForText(warning)) << c.err();
  // Two runs, so two more cycles have looked at the folder.
  for (int run = 1; run <= 2; ++run) {
    Touch(root_ / "src/app.js");
    ASSERT_TRUE(WaitForRuns(run)) << c.err();
  }
  EXPECT_EQ(Count(c.err(), warning), 1) << c.err();

  ASSERT_EQ(::chmod(locked.c_str(), 0755), 0);
  EXPECT_TRUE(c.WaitForText("] Error cleared in the watcher: " +
                            locked.string() + "\n"))
      << c.err();
  ASSERT_TRUE(WaitForRuns(3)) << c.err();
  EXPECT_EQ(Count(c.err(), warning), 1) << c.err();
}

}  // namespace
}  // namespace controller::e2e
