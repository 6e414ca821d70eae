#include "bench/proc_stats.h"

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace bench {
namespace {

TEST(ProcStatsTest, ParseStat) {
  // A command name may hold blanks and parentheses.
  const std::string tail =
      " S 17 4242 4242 0 -1 4194560 300 0 0 0 250 50 0 0 20 0 3 0 123 0 0\n";
  for (const char* name : {"(sleep)", "(a) b (c)", "(x y)"}) {
    ProcStat st;
    ASSERT_TRUE(ParseProcStat(std::string("4242 ") + name + tail, &st)) << name;
    EXPECT_EQ(st.state, 'S');
    EXPECT_EQ(st.ppid, 17);
    EXPECT_EQ(st.pgrp, 4242);
    EXPECT_EQ(st.cpuTicks, 300);
  }
  ProcStat st;
  for (const char* bad : {"", "4242 (sleep", "4242 (sleep) S 17 4242 0",
                          "4242 (sleep) S x 4242 0 -1 1 0 0 0 0 250 50 0"}) {
    EXPECT_FALSE(ParseProcStat(bad, &st)) << bad;
  }
}

TEST(ProcStatsTest, ParsePeakResident) {
  int64_t bytes = 0;
  EXPECT_TRUE(ParsePeakResident(
      "Name:\tx\nVmPeak:\t  9000 kB\nVmHWM:\t    1234 kB\nVmRSS:\t 1000 kB\n",
      &bytes));
  EXPECT_EQ(bytes, 1234 * 1024);
  EXPECT_TRUE(ParsePeakResident("VmHWM:\t7 kB", &bytes));
  EXPECT_EQ(bytes, 7 * 1024);
  // A kernel thread has none; a look-alike key is not it.
  EXPECT_FALSE(ParsePeakResident("Name:\tkthreadd\n", &bytes));
  EXPECT_FALSE(ParsePeakResident("XVmHWM:\t7 kB\n", &bytes));
  EXPECT_FALSE(ParsePeakResident("VmHWM:\t7 MB\n", &bytes));
}

TEST(ProcStatsTest, ParseStatus) {
  struct Case {
    const char* text;
    bool ok;
    int64_t threads, resident, peak;
  };
  const Case cases[] = {
      {"Name:\tx\nVmHWM:\t  1234 kB\nVmRSS:\t 1000 kB\nThreads:\t7\n", true, 7,
       1000 * 1024, 1234 * 1024},
      // A kernel thread has no memory lines.
      {"Name:\tkthreadd\nThreads:\t1\n", true, 1, -1, -1},
      {"Name:\tx\nVmRSS:\t 1000 kB\n", false, 0, 0, 0},
      {"Threads:\t7 kB\n", false, 0, 0, 0},
      {"Threads:\t7\nVmRSS:\t1000\n", false, 0, 0, 0},
      {"Threads:\tmany\n", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    ProcStatus st;
    ASSERT_EQ(ParseProcStatus(c.text, &st), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(st.threads, c.threads) << c.text;
    EXPECT_EQ(st.resident, c.resident) << c.text;
    EXPECT_EQ(st.peakResident, c.peak) << c.text;
  }
}

TEST(ProcStatsTest, DescendantsOf) {
  auto entry = [](pid_t pid, pid_t ppid) {
    ProcessEntry e;
    e.pid = pid;
    e.stat.ppid = ppid;
    return e;
  };
  const std::vector<ProcessEntry> all = {entry(1, 0),   entry(10, 1),
                                         entry(11, 10), entry(12, 11),
                                         entry(20, 1),  entry(13, 10)};
  std::vector<pid_t> got;
  for (const ProcessEntry& e : DescendantsOf(all, 10)) got.push_back(e.pid);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<pid_t>{11, 12, 13}));
  EXPECT_TRUE(DescendantsOf(all, 12).empty());
  // A scan taken while numbers were reused may hold a loop; it must end.
  const std::vector<ProcessEntry> loop = {entry(5, 6), entry(6, 5)};
  EXPECT_LE(DescendantsOf(loop, 5).size(), 3u);
}

TEST(ProcStatsTest, ReadsThisProcess) {
  ProcStat st;
  ASSERT_EQ(ReadProcStat(getpid(), &st), "");
  EXPECT_EQ(st.ppid, getppid());
  EXPECT_EQ(st.state, 'R');
  int64_t peak = 0;
  ASSERT_EQ(ReadPeakResident(getpid(), &peak), "");
  EXPECT_GT(peak, 0);
  EXPECT_NE(ReadProcStat(-5, &st), "");

  ProcStatus status;
  ASSERT_EQ(ReadProcStatus(getpid(), &status), "");
  EXPECT_GE(status.threads, 1);
  EXPECT_GT(status.resident, 0);
  const int64_t fds = CountDescriptors(getpid());
  const int fd = dup(0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(CountDescriptors(getpid()), fds + 1);
  close(fd);
  EXPECT_EQ(CountDescriptors(-5), -1);

  bool listed = false;
  for (const ProcessEntry& p : ListProcesses()) listed |= p.pid == getpid();
  EXPECT_TRUE(listed);
}

}  // namespace
}  // namespace bench
