#include "controller/process.h"

#include <pthread.h>

#include <set>

#include "controller/child_test_util.h"

namespace controller {
namespace {

using ProcessTest = ChildTest;

// What real children below cannot show.
TEST(ExitStatusErrorTest, CoreDumpsAndUndescribedSignals) {
  EXPECT_EQ(exitStatusError(SIGSEGV | 0x80).Error(),
            "signal: segmentation fault (core dumped)");
  EXPECT_EQ(exitStatusError(SIGSYS).Error(), "signal: bad system call");
  EXPECT_EQ(exitStatusError(34).Error(), "signal: signal 34");
}

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

TEST_F(ProcessTest, ChildGetsOnlyItsSetup) {
  // Our own standard input is a pipe while the child starts, and one more
  // descriptor lacks O_CLOEXEC: the child must get neither.
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  const int savedStdin = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
  ::dup2(pipeFds[0], 0);
  const int inheritable = ::open("/dev/null", O_RDONLY);
  CommandResult r = started("exec sleep 1000", fileWatcher);
  ::dup2(savedStdin, 0);
  for (int fd : {savedStdin, inheritable, pipeFds[0], pipeFds[1]}) ::close(fd);
  ASSERT_TRUE(r.err.ok()) << r.err.Error();
  const pid_t pid = r.cmd.process()->pid();
  EXPECT_EQ(pidOf(fileWatcher), pid);
  EXPECT_EQ(::getpgid(pid), pid);

  // What bash hands on to the program it runs, once that program has set
  // itself up (the loader and the locale open descriptors of their own
  // meanwhile) and sleeps.
  const std::string proc = "/proc/" + std::to_string(pid);
  ASSERT_TRUE(waitFor([&] {
    return readFile(proc + "/comm") == "sleep\n" && Sleeping(pid, pid);
  }));
  std::set<std::string> fds;
  for (const auto& e : std::filesystem::directory_iterator(proc + "/fd")) {
    fds.insert(e.path().filename());
  }
  EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2"}));
  EXPECT_EQ(std::filesystem::read_symlink(proc + "/fd/0"), "/dev/null");
  for (const char* fd : {"1", "2"}) {
    EXPECT_EQ(std::filesystem::read_symlink(proc + "/fd/" + fd),
              std::filesystem::read_symlink(std::string("/proc/self/fd/") + fd))
        << fd;
  }
  EXPECT_EQ(std::filesystem::read_symlink(proc + "/cwd"), dir_);
  EXPECT_NE(readFile(proc + "/environ")
                .find(std::string("PATH=") + ::getenv("PATH") + '\0'),
            std::string::npos);
  EXPECT_TRUE(killed(fileWatcher).ok());
  EXPECT_EQ(waitBounded(r.cmd).Error(), "signal: interrupt");
}

// SIGINT to the group ends both halves of `a && b`, also when the
// controller runs with SIGINT ignored and blocked (a shell's background
// job), which the child would otherwise inherit.
TEST_F(ProcessTest, GroupSigintEndsWholeCommand) {
  for (const bool parentIgnores : {false, true}) {
    SCOPED_TRACE(parentIgnores ? "SIGINT ignored and blocked" : "defaults");
    struct sigaction ignore = {}, oldAction;
    ignore.sa_handler = SIG_IGN;
    sigset_t intOnly, oldMask;
    sigemptyset(&intOnly);
    sigaddset(&intOnly, SIGINT);
    if (parentIgnores) {
      ::sigaction(SIGINT, &ignore, &oldAction);
      ::pthread_sigmask(SIG_BLOCK, &intOnly, &oldMask);
    }
    CommandResult r = started("sleep 1000 && : > after", fileWatcher);
    if (parentIgnores) {
      ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
      ::sigaction(SIGINT, &oldAction, nullptr);
    }
    ASSERT_TRUE(r.err.ok()) << r.err.Error();
    const std::string children =
        "/proc/" + std::to_string(r.cmd.process()->pid()) + "/task/" +
        std::to_string(r.cmd.process()->pid()) + "/children";
    ASSERT_TRUE(waitFor([&] { return !readFile(children).empty(); }));
    EXPECT_TRUE(killed(fileWatcher).ok());
    EXPECT_EQ(waitBounded(r.cmd).Error(), "signal: interrupt");
    EXPECT_FALSE(exists("after"));
  }
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
  EXPECT_TRUE(running.cmd.process()->Signal(0).ok());
  EXPECT_TRUE(killed(fileWatcher).ok());
  EXPECT_EQ(pidOf(fileWatcher), 0);
  EXPECT_TRUE(killed(fileWatcher).ok());  // already forgotten
  EXPECT_EQ(waitBounded(running.cmd).Error(), "signal: interrupt");
  // Reaped: the probe must not reach a pid that may be reused.
  EXPECT_EQ(running.cmd.process()->Signal(0).Error(),
            "process already finished");

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
    std::lock_guard<std::shared_mutex> lock(
        zorvaneControllerManagedProcesses().mu);
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

// Children start with every signal at its default disposition and none
// blocked, whatever the controller ignores or blocks; but for signals 32
// and 33, which the C library's spawn keeps ignored for its own use (it
// refuses to put them in a signal set, so they cannot be asked for).
TEST_F(ProcessTest, ChildSignalsAreDefaultButTheCLibrarysOwn) {
  struct sigaction ignore = {}, oldTerm, oldUsr1;
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGTERM, &ignore, &oldTerm);
  ::sigaction(SIGUSR1, &ignore, &oldUsr1);
  sigset_t usr2, oldMask;
  sigemptyset(&usr2);
  sigaddset(&usr2, SIGUSR2);
  ::pthread_sigmask(SIG_BLOCK, &usr2, &oldMask);
  CommandResult r = started("exec sleep 1000", fileWatcher);
  ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  ::sigaction(SIGUSR1, &oldUsr1, nullptr);
  ::sigaction(SIGTERM, &oldTerm, nullptr);
  ASSERT_TRUE(r.err.ok()) << r.err.Error();

  sigset_t probe;
  EXPECT_EQ(sigemptyset(&probe), 0);
  EXPECT_EQ(sigaddset(&probe, 32), -1) << "the C library now takes 32";
  const std::string proc = "/proc/" + std::to_string(r.cmd.process()->pid());
  ASSERT_TRUE(waitFor([&] { return readFile(proc + "/comm") == "sleep\n"; }));
  const std::string status = readFile(proc + "/status");
  EXPECT_NE(status.find("\nSigBlk:\t0000000000000000\n"), std::string::npos)
      << status;
  // Bits 31 and 32: signals 32 and 33.
  EXPECT_NE(status.find("\nSigIgn:\t0000000180000000\n"), std::string::npos)
      << status;
  EXPECT_TRUE(killed(fileWatcher).ok());
  EXPECT_EQ(waitBounded(r.cmd).Error(), "signal: interrupt");
}

// An ignored SIGCHLD is inherited across exec and would let the kernel
// reap the children before the wait sees them.
TEST_F(ProcessTest, WaitsWhenStartedWithSigchldIgnored) {
  struct sigaction ignore = {}, old;
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGCHLD, &ignore, &old);
  const Status err = runPrep("exit 3").err;
  ::sigaction(SIGCHLD, &old, nullptr);
  EXPECT_EQ(err.Error(), "exit status 3");
}

}  // namespace
}  // namespace controller
