#include "controller/registry.h"

#include "controller/child_test_util.h"

namespace controller {
namespace {

using ProcessTest = ChildTest;

TEST_F(ProcessTest, OutcomesOfRealChildren) {
  const struct {
    const char* command;
    const char* text;
  } cases[] = {
      {"exit 0", "<nil>"},
      {"exit 3", "exit status 3"},
      {"kill -INT $$", "signal: interrupt"},
      {"kill -KILL $$", "signal: killed"},
      // The text reaches the shell as one argument.
      {"X=7; echo x | grep -q x && exit $X", "exit status 7"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(runPrep(c.command).err.Error(), c.text) << c.command;
  }
  EXPECT_TRUE(logged("Running Install: exit 3"));
  EXPECT_TRUE(logged("[Debug] Install complete"));
}

TEST_F(ProcessTest, StartFailureAndTheWaitAfterIt) {
  configuration().workDir = dir_ + "/removed";
  CommandResult r = started("true", server);
  EXPECT_EQ(r.err.Error(), "fork/exec /bin/bash: no such file or directory");
  EXPECT_EQ(r.cmd.process(), nullptr);
  EXPECT_EQ(pidOf(server), 0);
  EXPECT_EQ(waitProcess(r.cmd, server).Error(), "exec: not started");
  EXPECT_TRUE(logged("Wait received error:exec: not started"));
  EXPECT_EQ(runPrep("true").err.Error(),
            "fork/exec /bin/bash: no such file or directory");
}

TEST_F(ProcessTest, KillByKind) {
  EXPECT_TRUE(killed(fileWatcher).ok());  // never started: nothing to send
  EXPECT_TRUE(logged("[Debug] Process pid is: 0"));

  CommandResult running = started("exec sleep 1000", fileWatcher);
  ASSERT_TRUE(running.err.ok());
  EXPECT_TRUE(running.cmd.process()->Alive());
  EXPECT_TRUE(killed(fileWatcher).ok());
  EXPECT_EQ(pidOf(fileWatcher), 0);
  EXPECT_TRUE(killed(fileWatcher).ok());  // already forgotten
  EXPECT_EQ(waitBounded(running.cmd).Error(), "signal: interrupt");
  // Reaped: the probe answers from the handle, not from a pid that may be
  // reused.
  EXPECT_TRUE(running.cmd.process()->finished());
  EXPECT_FALSE(running.cmd.process()->Alive());

  // A process that ended on its own stays recorded until the kill, which
  // finds its group gone.
  CommandResult ended = started("exit 0", server);
  ASSERT_TRUE(ended.err.ok());
  EXPECT_TRUE(waitBounded(ended.cmd).ok());
  EXPECT_EQ(pidOf(server), ended.cmd.process()->pid());
  EXPECT_EQ(killed(server).Error(), "no such process");
  EXPECT_TRUE(logged(
      "[Error] Killing process returned an error SIGINT received error no "
      "such process"));
  EXPECT_EQ(pidOf(server), 0);
}

// For a kind whose end is no news, a process that ended by itself leaves
// nothing to interrupt: no error, no Error line, and the kind is cleared
// all the same. One still running is interrupted as ever.
TEST_F(ProcessTest, EndedProcessIsNoErrorWhenItsEndIsNoNews) {
  const auto killQuietly = [] {
    base::MutexLock lock(&controllerManagedProcesses::mu);
    return killProcess(fileWatcher, /*reportEnded=*/false);
  };
  CommandResult ended = started("exit 0", fileWatcher);
  ASSERT_TRUE(ended.err.ok());
  EXPECT_TRUE(waitBounded(ended.cmd).ok());
  EXPECT_TRUE(killQuietly().ok());
  EXPECT_EQ(pidOf(fileWatcher), 0);
  EXPECT_EQ(log().find("[Error]"), std::string::npos) << log();
  EXPECT_TRUE(logged("[Debug] Process has ended: nothing to interrupt"));

  CommandResult running = started("exec sleep 1000", fileWatcher);
  ASSERT_TRUE(running.err.ok());
  EXPECT_TRUE(killQuietly().ok());
  EXPECT_EQ(waitBounded(running.cmd).Error(), "signal: interrupt");
}

}  // namespace
}  // namespace controller
