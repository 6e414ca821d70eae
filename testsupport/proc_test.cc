#include "testsupport/proc.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/child.h"

namespace testsupport {
namespace {

namespace proc = supervise::proc;

// The fields the tests and the benchmark read, counted from the last ")"
// whatever the command name holds.
TEST(ProcTest, ParseProcessStat) {
  const std::string tail =
      " S 17 4242 4242 0 -1 4194560 300 0 0 0 250 50 0 0 20 0 3 0 123 0 0\n";
  for (const char* name : {"(sleep)", "(a) b (c)", "(x y)", "())"}) {
    proc::ProcessInfo p;
    ASSERT_TRUE(proc::ParseProcessStat(std::string("4242 ") + name + tail,
                                       4242, &p))
        << name;
    EXPECT_EQ(p.pid, 4242);
    EXPECT_EQ(p.state, 'S');
    EXPECT_EQ(p.ppid, 17);
    EXPECT_EQ(p.pgrp, 4242);
    EXPECT_EQ(p.utime, 250u);
    EXPECT_EQ(p.stime, 50u);
    EXPECT_EQ(p.startTime, 123u);
  }
  for (const char* bad :
       {"", "4242 (sleep", "4242 (sleep) ", "4242 (sleep) S 17 4242 0",
        "4242 (sleep) S x 4242 0 -1 1 0 0 0 0 250 50 0 0 20 0 3 0 123",
        "4242 (sleep) S 17 4242 0 -1 1 0 0 0 0 x 50 0 0 20 0 3 0 123"}) {
    proc::ProcessInfo p;
    p.ppid = 99;
    EXPECT_FALSE(proc::ParseProcessStat(bad, 4242, &p)) << bad;
    EXPECT_EQ(p.ppid, 99) << bad;
  }
}

TEST(ProcTest, ReadsLiveProcesses) {
  ProcEntry self;
  ASSERT_TRUE(ReadProcStat(getpid(), &self));
  EXPECT_EQ(self.ppid, getppid());
  EXPECT_EQ(self.state, 'R');
  EXPECT_EQ(self.pgrp, getpgrp());
  ProcEntry none;
  EXPECT_FALSE(ReadProcStat(-5, &none));

  bool listed = false;
  for (const ProcEntry& p : ListProcs()) {
    if (p.pid == getpid()) {
      listed = true;
      EXPECT_NE(p.cmdline.find("testsupport_test"), std::string::npos)
          << p.cmdline;
      EXPECT_NE(p.cmdline.back(), ' ');
    }
  }
  EXPECT_TRUE(listed);

  EXPECT_NE(StatusField(getpid(), "Threads"), "");
  EXPECT_EQ(StatusField(getpid(), "Name").find(' '), std::string::npos);
  EXPECT_EQ(StatusField(getpid(), "NoSuchField"), "");
  EXPECT_EQ(StatusField(-5, "Threads"), "");
}

// A tree of processes below this one is found whole, a signal ignored is
// seen, and EndDescendants leaves nothing of it alive.
TEST(ProcTest, DescendantsAndCleanup) {
  BecomeSubreaper();
  Child c;
  ASSERT_EQ(c.Start({"/bin/sh", "-c",
                     "trap '' USR1; setsid sh -c 'echo grand $$; exec sleep "
                     "1000' & wait"},
                    {"PATH=/usr/bin:/bin"}),
            "");
  ASSERT_TRUE(c.WaitFor(
      [](const std::string& out) {
        const size_t at = out.find("grand ");
        return at != std::string::npos && out.find('\n', at) != out.npos;
      },
      Clock::now() + std::chrono::seconds(10)));
  const std::string out = c.output();
  const pid_t grand = std::stoi(out.substr(out.find("grand ") + 6));
  std::vector<pid_t> below;
  for (const ProcEntry& p : DescendantsOf(getpid())) below.push_back(p.pid);
  EXPECT_NE(std::find(below.begin(), below.end(), c.pid()), below.end());
  EXPECT_NE(std::find(below.begin(), below.end(), grand), below.end());
  EXPECT_TRUE(IgnoresSignal(c.pid(), SIGUSR1));
  EXPECT_FALSE(IgnoresSignal(c.pid(), SIGUSR2));
  EXPECT_FALSE(IgnoresSignal(-5, SIGUSR1));

  ASSERT_TRUE(EndDescendants());
  for (const ProcEntry& p : DescendantsOf(getpid())) {
    EXPECT_TRUE(p.ended()) << p.pid << " " << p.cmdline;
  }
}

}  // namespace
}  // namespace testsupport
