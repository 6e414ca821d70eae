#include "bench/proc_stats.h"

#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace bench {
namespace {

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

TEST(ProcStatsTest, ReadsThisProcess) {
  int64_t ticks = -1;
  ASSERT_EQ(ReadCpuTicks(getpid(), &ticks), "");
  EXPECT_GE(ticks, 0);
  int64_t peak = 0;
  ASSERT_EQ(ReadPeakResident(getpid(), &peak), "");
  EXPECT_GT(peak, 0);
  EXPECT_NE(ReadCpuTicks(-5, &ticks), "");

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
}

}  // namespace
}  // namespace bench
