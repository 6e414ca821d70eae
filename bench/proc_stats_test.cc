#include "bench/proc_stats.h"

#include <unistd.h>

#include <string>

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

TEST(ProcStatsTest, ReadsThisProcess) {
  ProcStat st;
  ASSERT_EQ(ReadProcStat(getpid(), &st), "");
  EXPECT_EQ(st.ppid, getppid());
  EXPECT_EQ(st.state, 'R');
  int64_t peak = 0;
  ASSERT_EQ(ReadPeakResident(getpid(), &peak), "");
  EXPECT_GT(peak, 0);
  EXPECT_NE(ReadProcStat(-5, &st), "");
}

}  // namespace
}  // namespace bench
