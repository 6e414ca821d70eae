#include "supervise/stop.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "supervise/proc.h"
#include "supervise/reaper.h"
#include "supervise/spawn_test_util.h"

namespace supervise {
namespace {

using testsupport::IgnoresSignal;
using StopTest = SpawnTest;

// Deadlines saturate: a stop timeout too long for the clock is no deadline
// at all, never one in the past (a signed overflow, besides).
TEST(DeadlineAfterTest, Saturates) {
  using std::chrono::nanoseconds;
  const StopClock::time_point max = StopClock::time_point::max();
  const StopClock::time_point now = StopClock::now();
  const struct {
    StopClock::time_point from;
    StopClock::duration timeout;
    StopClock::time_point want;
  } cases[] = {
      {now, std::chrono::seconds(10), now + std::chrono::seconds(10)},
      {now, nanoseconds(0), now},
      {now, nanoseconds(9223372036000000000), max},
      {now, StopClock::duration::max(), max},
      {max, nanoseconds(1), max},
      {StopClock::time_point(nanoseconds(-5)), nanoseconds(3),
       StopClock::time_point(nanoseconds(-2))},
      {StopClock::time_point::min(), nanoseconds(-1),
       StopClock::time_point::min()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DeadlineAfter(c.from, c.timeout), c.want)
        << c.from.time_since_epoch().count() << " + " << c.timeout.count();
  }
}

TEST(ProcTest, ReadsItselfAndTellsDescendants) {
  proc::ProcessInfo self;
  ASSERT_TRUE(proc::ReadProcess(::getpid(), &self));
  EXPECT_EQ(self.ppid, ::getppid());
  EXPECT_EQ(self.pgrp, ::getpgrp());
  EXPECT_GT(self.startTime, 0u);

  const std::vector<proc::ProcessInfo> all = {
      {10, 1, 10}, {11, 10, 10}, {12, 11, 12}, {13, 1, 13}, {14, 13, 13}};
  std::vector<pid_t> below;
  for (const auto& p : proc::Descendants(all, 10)) below.push_back(p.pid);
  std::sort(below.begin(), below.end());
  EXPECT_EQ(below, (std::vector<pid_t>{11, 12}));
}

// A descriptor opened from stale information must not pin whatever process
// holds the number now.
TEST(ProcTest, PidFdOpensOnlyTheProcessSeen) {
  proc::ProcessInfo self;
  ASSERT_TRUE(proc::ReadProcess(::getpid(), &self));
  const proc::PidFd same = proc::PidFd::OpenSame(self);
  ASSERT_TRUE(same.valid());
  EXPECT_TRUE(same.Signal(0));
  // Readable once the process has ended: the stop waits on that.
  pollfd p = {same.fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0);
  proc::ProcessInfo older = self;
  older.startTime -= 1;
  EXPECT_FALSE(proc::PidFd::OpenSame(older).valid());
}

// Once a command's shell has ended, what is left of its group (a
// background job, which ignores SIGINT) is still reached, through the
// group while a child of ours holds it, and goes on SIGTERM.
TEST_F(StopTest, MembersOutlivingTheirLeaderAreStopped) {
  Command cmd = started("sleep 1000 & echo $! > job");
  ASSERT_NE(cmd.process(), nullptr);
  EXPECT_TRUE(waitBounded(cmd).ok());
  ASSERT_TRUE(eventually(
      [&] { return testsupport::ReadFileText(dir_ + "/job").ends_with('\n'); }));
  const pid_t job = std::stoi(testsupport::ReadFileText(dir_ + "/job"));
  const pid_t group = cmd.process()->pid();
  ASSERT_EQ(::getpgid(job), group);
  // The job's shell ignores SIGINT only some time after its number is known.
  ASSERT_TRUE(eventually([&] { return IgnoresSignal(job, SIGINT); }));
  Reaper& reaper = Reaper::Get();

  EXPECT_TRUE(interruptGroup(*cmd.process(), SIGINT).ok());
  EXPECT_TRUE(reaper.HasLeftovers(group));  // SIGINT is ignored
  // Its SIGKILL would come after a stop timeout longer than the test: only
  // the SIGTERM can end the job in time.
  waitStopped({cmd.process()}, std::chrono::hours(1),
              StopClock::now() + std::chrono::seconds(5), nullptr);
  EXPECT_FALSE(reaper.HasLeftovers(group));
  EXPECT_EQ(interruptGroup(*cmd.process(), SIGINT).Error(),
            "no such process");
  (void)reaper.SignalGroup(group, SIGKILL);
}

// A leader that ignores SIGINT is killed with its group at the deadline,
// and the caller hears of that leader (the program logs a Warning then).
TEST_F(StopTest, LeaderStillRunningAtTheDeadlineIsKilled) {
  Command cmd = started("trap '' INT; : > ready; sleep 1000");
  ASSERT_NE(cmd.process(), nullptr);
  ASSERT_TRUE(eventually([&] { return exists("ready"); }));
  EXPECT_TRUE(interruptGroup(*cmd.process(), SIGINT).ok());
  std::vector<std::string> killed;
  waitStopped({cmd.process()}, std::chrono::milliseconds(100),
              StopClock::now() + std::chrono::milliseconds(100),
              [&](const ProcessHandle& leader) {
                killed.push_back(leader.command());
              });
  EXPECT_TRUE(cmd.process()->finished());
  EXPECT_EQ(waitBounded(cmd).Error(), "signal: killed");
  EXPECT_EQ(killed, (std::vector<std::string>{
                        "trap '' INT; : > ready; sleep 1000"}));
}

}  // namespace
}  // namespace supervise
