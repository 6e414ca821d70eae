#include "controller/runner.h"

#include <sys/stat.h>

#include "controller/child_test_util.h"

namespace controller {
namespace {

using RunnerTest = ChildTest;

// The exact lines of a server run, its directory shown as DIR and pids as
// PID.
TEST_F(RunnerTest, ServerPathLines) {
  configuration().zorvanePREP = "test ! -e ran";
  runCommands(": > ran; exit 5", server, false);
  std::string text = log();
  for (size_t at; (at = text.find(dir_)) != std::string::npos;) {
    text.replace(at, dir_.size(), "DIR");
  }
  for (size_t at = 0; (at = text.find("pid ", at)) != std::string::npos;) {
    at += 4;
    text.replace(at, text.find('\n', at) - at, "PID");
  }
  EXPECT_EQ(text,
            "[Debug] ENTRY Running command:  : > ran; exit 5\n"
            "[Debug] Mutex Locked\n"
            "Running Install: test ! -e ran\n"
            "[Debug] Set workdir:  DIR\n"
            "[Debug] Install complete\n"
            "Running: : > ran; exit 5\n"
            "[Debug] Set workdir:  DIR\n"
            "[Debug] New process created with pid PID\n"
            "[Debug] Started Server process\n"
            "[Debug] mutex unlocked\n"
            "[Debug] waitProcess ENTRY\n"
            "Wait received error:exit status 5\n"
            "[Debug] waitProces EXIT\n"
            "Wait received error on server start exit status 5\n"
            "[Debug] runCommands EXIT\n");

  configuration().zorvanePREP.clear();
  configuration().workDir = dir_ + "/gone";
  runCommands("true", server, false);
  EXPECT_TRUE(logged(
      "[Warning] ERROR start server (ZORVANE_RUN) received error fork/exec "
      "/bin/bash: no such file or directory"));
  EXPECT_TRUE(logged("Wait received error on server start exec: not started"));
}

struct FileChangeCase {
  bool killServer;
  bool serverAlive;
  const char* started;  // marker file of the command the change ran
  const char* line;     // logged by the change's run; PID: the old server's
};

class FileChangeTest : public ChildTest,
                       public ::testing::WithParamInterface<FileChangeCase> {};

TEST_P(FileChangeTest, InterruptsProbesAndStarts) {
  const FileChangeCase& c = GetParam();
  configuration().startCommand = ": > restart";
  spawnThread([&] {
    runCommands(c.serverAlive ? "exec sleep 1000" : "true", server, false);
  });
  ASSERT_TRUE(waitFor([&] { return pidOf(server) != 0; }));
  const int64_t serverPid = pidOf(server);
  if (!c.serverAlive) {
    ASSERT_TRUE(waitFor([&] { return logged("[Debug] runCommands EXIT"); }));
  }

  runCommands(": > change", fileWatcher, c.killServer);

  EXPECT_TRUE(exists(c.started));
  EXPECT_EQ(exists("change") + exists("restart"), 1);
  std::string line = c.line;
  if (size_t at = line.find("PID"); at != std::string::npos) {
    line.replace(at, 3, std::to_string(serverPid));
  }
  EXPECT_TRUE(waitFor([&] { return logged(line); })) << line;
  if (!c.killServer && c.serverAlive) {
    EXPECT_EQ(pidOf(server), serverPid);
    EXPECT_EQ(::kill(static_cast<pid_t>(serverPid), 0), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    KillSettingByServerState, FileChangeTest,
    ::testing::Values(
        FileChangeCase{true, true, "change",
                       "Wait received error on server start signal: "
                       "interrupt"},
        FileChangeCase{true, false, "change",
                       "[Warning] killProcess received error no such process"},
        FileChangeCase{false, true, "change", "Running: : > change"},
        FileChangeCase{
            false, false, "restart",
            "[Debug] The server process with pid:PIDwas not found, and "
            "ZORVANE_<action>_KILL is set to false. The server will be "
            "restarted."}),
    [](const ::testing::TestParamInfo<FileChangeCase>& info) {
      return std::string(info.param.killServer ? "Kill" : "NoKill") +
             (info.param.serverAlive ? "ServerAlive" : "ServerEnded");
    });

TEST_F(RunnerTest, LaterChangeInterruptsEarlierOne) {
  spawnThread([] { runCommands("exec sleep 1000", fileWatcher, true); });
  ASSERT_TRUE(waitFor([&] { return pidOf(fileWatcher) != 0; }));
  runCommands(": > second", fileWatcher, true);
  EXPECT_TRUE(exists("second"));
  EXPECT_TRUE(
      waitFor([&] { return logged("Wait received error signal: interrupt"); }));
}

// A stop timeout as long as a duration holds leaves an interrupted command
// all that time: its deadline saturates, it does not wrap into the past.
TEST_F(RunnerTest, LongestStopTimeoutDoesNotKillAtOnce) {
  configuration().zorvaneSTOPTIMEOUT = Duration{9223372036 * kSecond};
  spawnThread([] {
    runCommands(
        "trap 'sleep 0.2; : > ended; exit 0' INT; : > ready; "
        "while :; do sleep 0.05; done",
        fileWatcher, true);
  });
  ASSERT_TRUE(waitFor([&] { return exists("ready"); }));
  runCommands(": > second", fileWatcher, true);
  EXPECT_TRUE(exists("ended"));
  EXPECT_TRUE(exists("second"));
  EXPECT_EQ(log().find("did not stop within"), std::string::npos) << log();
}

// An interrupted command that ignores SIGINT is killed at the stop
// timeout, and the Warning names the timeout and the command.
TEST_F(RunnerTest, CommandIgnoringInterruptIsKilledWithAWarning) {
  configuration().zorvaneSTOPTIMEOUT = Duration{kSecond / 10};
  spawnThread([] {
    runCommands("trap '' INT; : > ready; sleep 1000", fileWatcher, true);
  });
  ASSERT_TRUE(waitFor([&] { return exists("ready"); }));
  runCommands(": > second", fileWatcher, true);
  EXPECT_TRUE(exists("second"));
  EXPECT_TRUE(
      logged("[Warning] Command did not stop within 100ms, killing it: trap '' "
             "INT; : > ready; sleep 1000"));
}

// The main flow starts the server's run and goes on to watch at once: a
// change found in the first cycle must still come after the server.
TEST_F(RunnerTest, ServerRunStartedDetachedComesBeforeAnyChange) {
  startRunCommands("exec sleep 1000", server, false);
  runCommands(": > change", fileWatcher, true);
  // The change found the server started, and interrupted it.
  ASSERT_TRUE(waitFor([&] {
    return logged("Wait received error on server start signal: interrupt");
  })) << log();
  const std::string text = log();
  EXPECT_LT(text.find("Running: exec sleep 1000"),
            text.find("Running: : > change"));
  // The detached run has ended before the test's teardown.
  EXPECT_TRUE(waitFor([&] {
    const std::string t = log();
    return t.find("runCommands EXIT") != t.rfind("runCommands EXIT");
  }));
}

// The server path holds the lock through the preparation command, so a
// change arriving meanwhile finds the server started.
TEST_F(RunnerTest, ChangeDuringPreparationWaitsForServer) {
  ASSERT_EQ(::mkfifo((dir_ + "/gate").c_str(), 0600), 0);
  configuration().zorvanePREP = ": > preparing; read line < gate";
  spawnThread([] { runCommands("exec sleep 1000", server, false); });
  ASSERT_TRUE(waitFor([&] { return exists("preparing"); }));
  spawnThread([] { runCommands(": > change", fileWatcher, false); });
  ASSERT_TRUE(waitFor(
      [&] { return logged("[Debug] ENTRY Running command:  : > change"); }));

  int gate = -1;
  ASSERT_TRUE(waitFor([&] {
    gate = ::open((dir_ + "/gate").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    return gate >= 0;
  }));
  EXPECT_EQ(::write(gate, "go\n", 3), 3);
  ::close(gate);

  ASSERT_TRUE(waitFor([&] { return exists("change"); }));
  const std::string text = log();
  EXPECT_LT(text.find("Running: exec sleep 1000"),
            text.find("Running: : > change"));
}

}  // namespace
}  // namespace controller
