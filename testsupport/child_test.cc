#include "testsupport/child.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/eventually.h"
#include "testsupport/proc.h"

namespace testsupport {
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

// In a subreaper, starts a shell that leaves a process in a session of its
// own running, then goes on with `then`; the number of that process, or -1.
pid_t StartWithOrphan(Child* c, const std::string& then) {
  BecomeSubreaper();
  StartShell(c, "setsid sh -c 'echo \"orphan $$\"; exec sleep 1000' &" + then);
  return PidAfter(c, "orphan ");
}

// Gone, or a zombie about to be reaped by whoever adopted it.
bool Dead(pid_t pid) {
  return Eventually(
      [&] {
        ProcEntry p;
        return !ReadProcStat(pid, &p) || p.ended();
      },
      std::chrono::seconds(10));
}

// Gone altogether, not even a zombie.
bool Gone(pid_t pid) {
  ProcEntry p;
  return !ReadProcStat(pid, &p);
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
  ProcEntry st;
  ASSERT_TRUE(ReadProcStat(child, &st));
  EXPECT_EQ(st.pgrp, child);
  const pid_t shell = c.pid();
  c.Kill();
  EXPECT_TRUE(Dead(child));
  EXPECT_TRUE(Dead(shell));
  EXPECT_EQ(c.pid(), -1);
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

// A program that ends, by itself or stopped, leaves its children to the
// subreaper; they outlive it until Kill, which reaps them here, so not even
// a zombie is left.
TEST(ChildTest, OrphansOutliveTheProgramUntilKill) {
  for (const bool stopped : {false, true}) {
    Child c;
    const pid_t orphan = StartWithOrphan(&c, stopped ? " exec sleep 1000" : "");
    ASSERT_GT(orphan, 0);
    if (stopped) {
      int status = 0;
      ASSERT_TRUE(c.Stop(SIGTERM, In(10000), &status));
      EXPECT_TRUE(WIFSIGNALED(status));
      EXPECT_EQ(WTERMSIG(status), SIGTERM);
      EXPECT_EQ(c.pid(), -1);
      ProcEntry st;
      ASSERT_TRUE(ReadProcStat(orphan, &st));
      EXPECT_EQ(st.ppid, getpid());
    }
    c.Kill();
    EXPECT_TRUE(Gone(orphan)) << "stopped " << stopped;
  }
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

// Which streams are read, where the program runs, and what a test sees of
// its output as a whole.
TEST(ChildTest, Options) {
  struct Case {
    const char* name;
    bool captureStdout;
    std::string cwd;
    std::string want;  // the output, once it ended
  };
  const Case cases[] = {
      {"both streams", true, "", "out\nerr\n"},
      {"standard error alone", false, "", "err\n"},
      {"in a directory", true, "/tmp", "out\nerr\n/tmp\n"},
  };
  for (const Case& k : cases) {
    ChildOptions o;
    o.argv = {"/bin/sh", "-c",
              std::string("echo out; echo err >&2") +
                  (k.cwd.empty() ? "" : "; pwd >&2")};
    o.env = kEnv;
    o.cwd = k.cwd;
    o.captureStdout = k.captureStdout;
    Child c;
    ASSERT_EQ(c.Start(o), "") << k.name;
    EXPECT_FALSE(c.WaitFor([](const std::string&) { return false; },
                           In(10000)))
        << k.name;
    EXPECT_TRUE(c.OutputEnded()) << k.name;
    EXPECT_EQ(c.output(), k.want) << k.name;
  }
}

TEST(ChildTest, WaitForSeesTextAcrossLines) {
  Child c;
  StartShell(&c, "printf 'a\nb'; sleep 0.1; echo c; exec sleep 1000");
  EXPECT_TRUE(c.WaitFor(
      [](const std::string& out) {
        return out.find("a\nbc\n") != std::string::npos;
      },
      In(10000)));
  EXPECT_FALSE(c.OutputEnded());
}

// A program whose output nobody reads still ends and is reaped; what it
// wrote waits in the pipe.
TEST(ChildTest, ReapWithoutReading) {
  Child c;
  StartShell(&c, "echo unread; exit 3");
  int status = 0;
  ASSERT_TRUE(c.Reap(In(10000), &status));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(c.pid(), -1);
  EXPECT_EQ(c.UnreadBytes(), 7);
  c.CloseOutput();
  EXPECT_EQ(c.UnreadBytes(), -1);
  EXPECT_FALSE(c.Reap(In(100), &status));
}

// Without endOrphans, Kill leaves the orphans that came to this process to
// whoever runs beside it; with it, nothing of the test is left.
TEST(ChildTest, EndOrphansDecidesWhoSweeps) {
  BecomeSubreaper();
  for (const bool endOrphans : {false, true}) {
    ChildOptions o;
    o.argv = {"/bin/sh", "-c",
              "setsid sh -c 'echo \"orphan $$\"; exec sleep 1000' &"};
    o.env = kEnv;
    o.endOrphans = endOrphans;
    Child c;
    ASSERT_EQ(c.Start(o), "");
    const pid_t orphan = PidAfter(&c, "orphan ");
    ASSERT_GT(orphan, 0);
    int status = 0;
    ASSERT_TRUE(c.Reap(In(10000), &status));
    c.Kill();
    EXPECT_EQ(Gone(orphan), endOrphans) << "endOrphans " << endOrphans;
    EXPECT_TRUE(EndDescendants());
    EXPECT_TRUE(Dead(orphan));
  }
}

}  // namespace
}  // namespace testsupport
