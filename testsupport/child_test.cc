#include "bench/child.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bench/proc_stats.h"

namespace bench {
namespace {

const std::vector<std::string> kEnv = {"PATH=/usr/bin:/bin"};

Clock::time_point In(int ms) {
  return Clock::now() + std::chrono::milliseconds(ms);
}

// Starts `script` under /bin/sh.
void StartShell(Child* c, const std::string& script) {
  ASSERT_EQ(c->Start({"/bin/sh", "-c", script}, kEnv), "");
}

// The number after `key` in the first line that holds it.
pid_t PidAfter(Child* c, const std::string& key) {
  Clock::time_point at;
  if (!c->WaitForLine(key, In(10000), &at)) return -1;
  const std::string tail = c->Tail(20);
  const size_t pos = tail.find(key);
  return pos == std::string::npos ? -1
                                  : std::stoi(tail.substr(pos + key.size()));
}

// Gone, or a zombie about to be reaped by whoever adopted it.
bool Dead(pid_t pid) {
  for (const Clock::time_point deadline = In(10000); Clock::now() < deadline;) {
    ProcStat st;
    if (!ReadProcStat(pid, &st).empty() || st.state == 'Z') return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(ChildTest, Lines) {
  Child c;
  StartShell(&c,
             "echo one; echo two; printf par; sleep 0.1; echo tial; echo end");
  Clock::time_point at;
  EXPECT_TRUE(c.WaitForLine("two", In(10000), &at));
  // A line written in two pieces is one line.
  EXPECT_TRUE(c.WaitForLine("partial", In(10000), &at));
  // Lines looked at once are not looked at again: this wait reads to the
  // end of the output and finds nothing.
  EXPECT_FALSE(c.WaitForLine("one", In(10000), &at));
  EXPECT_EQ(c.Tail(2), "partial\nend\n");
}

TEST(ChildTest, ReadUntilSkipsWhatCameMeanwhile) {
  Child c;
  StartShell(&c, "echo early; exec sleep 1000");
  for (const auto deadline = In(10000);
       c.Tail(1).find("early") == std::string::npos &&
       Clock::now() < deadline;) {
    ASSERT_TRUE(c.ReadUntil(In(50)));
  }
  Clock::time_point at;
  EXPECT_FALSE(c.WaitForLine("early", In(100), &at));
}

TEST(ChildTest, StartFailure) {
  Child c;
  EXPECT_NE(c.Start({"/nonexistent/program"}, kEnv), "");
  c.Kill();  // nothing to do
}

// A supervisor's children live in process groups of their own; ending the
// supervisor alone would leave them running.
TEST(ChildTest, KillEndsChildrenInOtherGroups) {
  Child c;
  StartShell(&c,
             "setsid sh -c 'echo \"child $$\"; exec sleep 1000' & "
             "sleep 1000 & wait");
  const pid_t child = PidAfter(&c, "child ");
  ASSERT_GT(child, 0);
  ProcStat st;
  ASSERT_EQ(ReadProcStat(child, &st), "");
  EXPECT_EQ(st.pgrp, child);
  const pid_t shell = c.pid();
  c.Kill();
  EXPECT_TRUE(Dead(child));
  EXPECT_TRUE(Dead(shell));
  EXPECT_EQ(c.pid(), -1);
}

// A program that ends by itself leaves its children to the subreaper.
TEST(ChildTest, SubreaperEndsOrphans) {
  AdoptOrphans();
  Child c;
  StartShell(&c, "setsid sh -c 'echo \"orphan $$\"; exec sleep 1000' &");
  const pid_t orphan = PidAfter(&c, "orphan ");
  ASSERT_GT(orphan, 0);
  c.Kill();
  // Reaped here, so not even a zombie is left.
  ProcStat st;
  EXPECT_NE(ReadProcStat(orphan, &st), "");
}

TEST(ChildTest, NextLine) {
  Child c;
  StartShell(&c, "echo one; printf tw; sleep 0.1; echo o; echo; echo three");
  std::string line;
  Clock::time_point at;
  std::vector<std::string> lines;
  while (c.NextLine(In(10000), &line, &at)) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "", "three"}));
}

TEST(ChildTest, StopReapsAndLeavesOrphansToKill) {
  AdoptOrphans();
  Child c;
  StartShell(&c,
             "setsid sh -c 'echo \"orphan $$\"; exec sleep 1000' & "
             "exec sleep 1000");
  const pid_t orphan = PidAfter(&c, "orphan ");
  ASSERT_GT(orphan, 0);
  int status = 0;
  ASSERT_TRUE(c.Stop(SIGTERM, In(10000), &status));
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(c.pid(), -1);
  // What it started outlives it, until Kill.
  ProcStat st;
  ASSERT_EQ(ReadProcStat(orphan, &st), "");
  EXPECT_EQ(st.ppid, getpid());
  c.Kill();
  EXPECT_NE(ReadProcStat(orphan, &st), "");
}

TEST(ChildTest, StopGivesUpOnAProgramThatIgnoresTheSignal) {
  Child c;
  StartShell(&c, "trap '' TERM; echo ready; while :; do sleep 0.05; done");
  Clock::time_point at;
  ASSERT_TRUE(c.WaitForLine("ready", In(10000), &at));
  const pid_t pid = c.pid();
  int status = 0;
  EXPECT_FALSE(c.Stop(SIGTERM, In(300), &status));
  EXPECT_EQ(c.pid(), pid);
  c.Kill();
  EXPECT_TRUE(Dead(pid));
}

}  // namespace
}  // namespace bench
