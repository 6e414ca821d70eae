#include "supervise/process.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "supervise/spawn_test_util.h"
#include "supervise/stop.h"

namespace supervise {
namespace {

using testsupport::Sleeping;
using ProcessTest = SpawnTest;

// What real children cannot show (the registry's tests run some).
TEST(ExitStatusErrorTest, CoreDumpsAndUndescribedSignals) {
  EXPECT_EQ(exitStatusError(SIGSEGV | 0x80).Error(),
            "signal: segmentation fault (core dumped)");
  EXPECT_EQ(exitStatusError(SIGSYS).Error(), "signal: bad system call");
  EXPECT_EQ(exitStatusError(34).Error(), "signal: signal 34");
}

// Once finished, a handle answers from itself: its number may be anyone's
// by then. Here the number is this live test process's, so any probe or
// signal that reached the system would find it.
TEST(ProcessHandleTest, FinishedHandleReachesNobody) {
  ProcessHandle self(::getpid(), "the test");
  EXPECT_TRUE(self.Alive());
  EXPECT_FALSE(self.finished());
  self.Finish(0);
  EXPECT_TRUE(self.finished());
  EXPECT_EQ(self.Wait(), 0);
  EXPECT_FALSE(self.Alive());
  EXPECT_FALSE(self.SignalGroup(0));
}

TEST_F(ProcessTest, ChildGetsOnlyItsSetup) {
  // Our own standard input is a pipe while the child starts, and one more
  // descriptor lacks O_CLOEXEC: the child must get neither.
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  const int savedStdin = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
  ::dup2(pipeFds[0], 0);
  const int inheritable = ::open("/dev/null", O_RDONLY);
  Command cmd = started("exec sleep 1000");
  ::dup2(savedStdin, 0);
  for (int fd : {savedStdin, inheritable, pipeFds[0], pipeFds[1]}) ::close(fd);
  ASSERT_NE(cmd.process(), nullptr);
  const pid_t pid = cmd.process()->pid();
  EXPECT_EQ(::getpgid(pid), pid);

  // What bash hands on to the program it runs, once that program has set
  // itself up (the loader and the locale open descriptors of their own
  // meanwhile) and sleeps.
  const std::string proc = "/proc/" + std::to_string(pid);
  ASSERT_TRUE(eventually([&] {
    return testsupport::ReadFileText(proc + "/comm") == "sleep\n" && Sleeping(pid, pid);
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
  EXPECT_NE(testsupport::ReadFileText(proc + "/environ")
                .find(std::string("PATH=") + ::getenv("PATH") + '\0'),
            std::string::npos);
  EXPECT_TRUE(interruptGroup(*cmd.process(), SIGINT).ok());
  EXPECT_EQ(waitBounded(cmd).Error(), "signal: interrupt");
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
    Command cmd = started("sleep 1000 && : > after");
    if (parentIgnores) {
      ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
      ::sigaction(SIGINT, &oldAction, nullptr);
    }
    ASSERT_NE(cmd.process(), nullptr);
    const std::string children =
        "/proc/" + std::to_string(cmd.process()->pid()) + "/task/" +
        std::to_string(cmd.process()->pid()) + "/children";
    ASSERT_TRUE(eventually([&] { return !testsupport::ReadFileText(children).empty(); }));
    EXPECT_TRUE(interruptGroup(*cmd.process(), SIGINT).ok());
    EXPECT_EQ(waitBounded(cmd).Error(), "signal: interrupt");
    EXPECT_FALSE(exists("after"));
  }
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
  Command cmd = started("exec sleep 1000");
  ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  ::sigaction(SIGUSR1, &oldUsr1, nullptr);
  ::sigaction(SIGTERM, &oldTerm, nullptr);
  ASSERT_NE(cmd.process(), nullptr);

  sigset_t probe;
  EXPECT_EQ(sigemptyset(&probe), 0);
  EXPECT_EQ(sigaddset(&probe, 32), -1) << "the C library now takes 32";
  const std::string proc = "/proc/" + std::to_string(cmd.process()->pid());
  ASSERT_TRUE(eventually([&] { return testsupport::ReadFileText(proc + "/comm") == "sleep\n"; }));
  const std::string status = testsupport::ReadFileText(proc + "/status");
  EXPECT_NE(status.find("\nSigBlk:\t0000000000000000\n"), std::string::npos)
      << status;
  // Bits 31 and 32: signals 32 and 33.
  EXPECT_NE(status.find("\nSigIgn:\t0000000180000000\n"), std::string::npos)
      << status;
  EXPECT_TRUE(interruptGroup(*cmd.process(), SIGINT).ok());
  EXPECT_EQ(waitBounded(cmd).Error(), "signal: interrupt");
}

// An ignored SIGCHLD is inherited across exec and would let the kernel
// reap the children before the wait sees them.
TEST_F(ProcessTest, WaitsWhenStartedWithSigchldIgnored) {
  struct sigaction ignore = {}, old;
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGCHLD, &ignore, &old);
  Command cmd = started("exit 3");
  ::sigaction(SIGCHLD, &old, nullptr);
  EXPECT_EQ(waitBounded(cmd).Error(), "exit status 3");
}

}  // namespace
}  // namespace supervise
