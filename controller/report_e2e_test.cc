// What the controller says about the commands it interrupts and the trees
// it watches, through the built executable: no error for an on-change
// command that simply ended, the server's end still reported, and a
// Warning for a watch list with no entry.

#include <cstdlib>

#include <gtest/gtest.h>

#include "controller/e2e_util.h"
#include "controller/watch_e2e_fixture.h"

namespace controller::e2e {
namespace {

const std::string kKillError =
    "[Error] Killing process returned an error SIGINT received error no such "
    "process\n";
const std::string kWatcherKillWarning =
    "[Warning] Watcher killProcess received error no such process\n";
const std::string kServerKillWarning =
    "[Warning] killProcess received error no such process\n";

class ReportTest : public WatchFixture {
 protected:
  void SetUp() override {
    MakeTree({"src/app.js", "src/lib.js", "src/sentinel.js"});
  }

  // Starts the controller as a direct child of the test (not in a PID
  // namespace), so that the numbers its commands write are ours too.
  Controller& StartDirect() {
    Options o = WithCwd(root_.string());
    o.pidNamespace = false;
    return StartWith(o);
  }
};

// Whether `pid` is a live (not zombie) descendant of this test.
bool LiveDescendant(pid_t pid) {
  for (const ProcEntry& p : DescendantsOf(::getpid())) {
    if (p.pid == pid) return p.state != 'Z';
  }
  return false;
}

// Tests on every change, the server kept: each test run ends by itself
// before the next change, which finds nothing to interrupt. That is no
// error.
TEST_F(ReportTest, OnChangeCommandThatEndedIsNoError) {
  Controller& c = Start();
  for (const char* file : {"src/app.js", "src/lib.js", "src/sentinel.js"}) {
    const int runs = Count(c.err(), "\non-change-ran\n");
    Touch(root_ / file);
    ASSERT_TRUE(c.WaitFor([&](const std::string& e) {
      return Count(e, "\non-change-ran\n") > runs;
    })) << c.err();
  }
  EXPECT_TRUE(WaitForRuns(3)) << c.err();
  EXPECT_EQ(Count(c.err(), kKillError), 0) << c.err();
  EXPECT_EQ(Count(c.err(), kWatcherKillWarning), 0) << c.err();
  EXPECT_TRUE(c.WaitForText("[Debug] Process has ended: nothing to interrupt"))
      << c.err();
}

// An on-change command that ended has nothing to interrupt, but what it
// left running in its group is still stopped at the next change.
TEST_F(ReportTest, JobLeftByAnEndedCommandIsStillStopped) {
  env_["ZORVANE_RUN_ON_CHANGE"] = "sleep 1000 & echo $! >> jobs";
  env_["ZORVANE_STOP_TIMEOUT"] = "1";
  Controller& c = StartDirect();
  Touch(root_ / "src/app.js");
  ASSERT_TRUE(Eventually([&] { return !Read("jobs").empty(); })) << c.err();
  const pid_t job = std::atoi(Read("jobs").c_str());
  ASSERT_TRUE(LiveDescendant(job));
  Touch(root_ / "src/lib.js");
  EXPECT_TRUE(Eventually([&] { return !LiveDescendant(job); }))
      << c.err();
  EXPECT_EQ(Count(c.err(), kKillError), 0) << c.err();
  EXPECT_EQ(Count(c.err(), kWatcherKillWarning), 0) << c.err();
}

// With the kill setting on, a server that ended by itself is news: the
// first change says that it is gone, and runs the on-change command.
TEST_F(ReportTest, ServerThatEndedIsStillReported) {
  env_["ZORVANE_RUN"] = "exit 0";
  env_["ZORVANE_RUN_KILL"] = "true";
  Controller& c = Start();
  ASSERT_TRUE(c.WaitForText("[Debug] runCommands EXIT")) << c.err();
  Touch(root_ / "src/app.js");
  ASSERT_TRUE(WaitForRuns(1)) << c.err();
  EXPECT_EQ(Count(c.err(), kKillError), 1) << c.err();
  EXPECT_EQ(Count(c.err(), kServerKillWarning), 1) << c.err();
  EXPECT_EQ(Count(c.err(), kWatcherKillWarning), 0) << c.err();
}

// A watch list that comes out blank is said once, and the server runs.
TEST_F(ReportTest, WatchListWithNoEntryIsAWarning) {
  const struct {
    const char* variable;
    const char* value;
    const char* warning;
  } cases[] = {
      {"ZORVANE_WATCH_DIR", ";",
       "[Warning] Nothing to watch: ZORVANE_WATCH_DIR has no entry\n"},
      {"ZORVANE_WATCH_DIR", " ",
       "[Warning] Nothing to watch: ZORVANE_WATCH_DIR has no entry\n"},
      {"ZORVANE_MOUNTS", "/host:",
       "[Warning] Nothing to watch: ZORVANE_MOUNTS has no entry\n"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(std::string(test.variable) + "=" + test.value);
    env_.erase("ZORVANE_WATCH_DIR");
    env_[test.variable] = test.value;
    Controller& c = Start();
    ASSERT_TRUE(c.WaitForText("] Running: sleep 1000\n")) << c.err();
    EXPECT_EQ(Count(c.err(), test.warning), 1) << c.err();
    EXPECT_EQ(Count(c.err(), "Nothing to watch"), 1) << c.err();
    env_.erase(test.variable);
  }
  // A list with an entry says nothing of the kind.
  env_["ZORVANE_WATCH_DIR"] = (root_ / "src").string() + ";";
  Controller& c = Start();
  Touch(root_ / "src/app.js");
  ASSERT_TRUE(WaitForRuns(1)) << c.err();
  EXPECT_EQ(Count(c.err(), "Nothing to watch"), 0) << c.err();
}

}  // namespace
}  // namespace controller::e2e
