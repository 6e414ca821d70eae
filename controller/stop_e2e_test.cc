// How the built controller stops under hard conditions: a log reader that
// stalls, stop handlers that start helpers, no /proc of its own or no pid
// descriptors, every terminating signal, leftovers of ended commands, a
// duplicated Ctrl-C, a stop during the preparation command.

#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "controller/lifecycle_e2e_fixture.h"

namespace controller::e2e {
namespace {

// A server that writes `file` when SIGTERM reaches it and then exits, and
// `ready` once its trap is set.
std::string ServerNoting(const std::string& file) {
  return "trap ': > " + file +
         "; exit 0' TERM; : > ready; while :; do sleep 0.05; done";
}

// With standard error a pipe nobody reads, the stop still reaches the
// stack at once and the controller ends.
TEST_F(LifecycleTest, StalledLogReaderDoesNotHoldUpTheStop) {
  env_["ZORVANE_RUN"] =
      "trap ': > stopped; exit 0' TERM; : > ready; "
      "while [ ! -e fill ]; do sleep 0.05; done; "
      "head -c 1000000 /dev/zero >&2 & wait";
  auto c = StartUntilReady(Opts());
  // From here on nobody reads: the server fills the pipe.
  Touch(root_ / "fill");
  // Full, but for less than a page: the server's writer now blocks.
  ASSERT_TRUE(Eventually([&] { return c->UnreadBytes() >= 60 * 1024; }));
  c->Signal(SIGTERM);
  EXPECT_TRUE(Eventually([&] { return Exists("stopped"); }))
      << "the server never heard the stop";
  EXPECT_TRUE(c->ExitsUnread(std::chrono::seconds(20)));
  EXPECT_EQ(c->Wait().status, 128 + SIGTERM);
}

// A stop handler that starts helpers (a flush, a client that deregisters)
// must see them run: only what exists when the stop begins hears it.
TEST_F(LifecycleTest, HelpersOfStopHandlersAreLeftToRun) {
  // The background subshell's own handler ends after 0.2 s, while the
  // server's helper still runs: anything that ends makes the controller
  // look at the processes again.
  env_["ZORVANE_RUN"] =
      "trap 'sleep 0.5 & h=$!; wait $h; echo helper:$? >> got; exit 0' TERM; "
      "(trap 'sleep 0.2; exit 0' TERM; while :; do sleep 0.05; done) & "
      ": > ready; while :; do sleep 0.05; done";
  env_["ZORVANE_STOP_TIMEOUT"] = "5";
  auto c = StartUntilReady(Opts());
  c->Signal(SIGTERM);
  const RunResult r = c->Wait();
  EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
  EXPECT_EQ(Read("got"), "helper:0\n") << r.err;
}

// What the controller cannot lean on: a /proc of its own (a PID namespace
// under its parent's /proc), or pid descriptors (old kernels, emulators).
struct Handicap {
  const char* name;
  bool ownProc;
  bool pidfds;
};
const Handicap kHandicaps[] = {{"no /proc of its own", false, true},
                               {"no pid descriptors", true, false}};

Options Handicapped(Options o, const Handicap& h,
                    std::vector<std::string> wrapper = {}) {
  o.ownProc = h.ownProc;
  if (!h.pidfds) {
    wrapper.push_back(kHelper);
    wrapper.push_back("no-pidfd");
  }
  o.wrapper = std::move(wrapper);
  return o;
}

const char kForeignProcWarning[] =
    "[Warning] /proc is not this PID namespace's own: the stop reaches the "
    "commands and their process groups, not processes that left them "
    "(setsid)\n";

// As process 1, the server still gets its grace period.
TEST_F(LifecycleTest, HandicappedStopKeepsTheGracePeriod) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs a PID namespace (root)";
  env_["ZORVANE_RUN"] =
      "trap 'sleep 1; : > cleaned; exit 0' TERM; : > ready; "
      "while :; do sleep 0.05; done";
  for (const Handicap& h : kHandicaps) {
    SCOPED_TRACE(h.name);
    fs::remove(root_ / "ready");
    fs::remove(root_ / "cleaned");
    auto c = StartUntilReady(Handicapped(Opts(), h));
    c->Signal(SIGTERM);
    const RunResult r = c->Wait();
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    EXPECT_TRUE(Exists("cleaned")) << r.err;
    EXPECT_EQ(Count(r.err, kForeignProcWarning), h.ownProc ? 0 : 1) << r.err;
  }
}

// Not as process 1 (the namespace's first process outlives the
// controller), a server that ignores SIGTERM is killed at the deadline.
TEST_F(LifecycleTest, HandicappedStopKillsAServerThatIgnoresIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs a PID namespace (root)";
  env_["ZORVANE_RUN"] =
      "trap '' INT TERM; echo $$ > server.pid; exec sleep 600";
  env_["ZORVANE_STOP_TIMEOUT"] = "1";
  for (const Handicap& h : kHandicaps) {
    SCOPED_TRACE(h.name);
    fs::remove(root_ / "server.pid");
    fs::remove(root_ / "survived");
    const std::vector<std::string> firstProcess = {
        "/bin/sh", "-c",
        "\"$@\"; s=$?; kill -0 \"$(cat server.pid)\" && : > survived; "
        "exit $s",
        "sh"};
    auto c = StartWatching(Handicapped(Opts(), h, firstProcess));
    ASSERT_TRUE(Eventually([&] { return Exists("server.pid"); }));
    c->Signal(SIGTERM);
    const RunResult r = c->Wait();
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    EXPECT_FALSE(Exists("survived")) << r.err;
  }
}

// Background jobs of interrupted on-change commands end: after four
// changes only the running command's job is left.
TEST_F(LifecycleTest, HandicappedChangesLeaveNoJobsBehind) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs a PID namespace (root)";
  env_["ZORVANE_RUN_ON_CHANGE"] = "sleep 1000 & exec sleep 1001";
  env_["ZORVANE_STOP_TIMEOUT"] = "1";
  for (const Handicap& h : kHandicaps) {
    SCOPED_TRACE(h.name);
    auto c = StartWatching(Handicapped(Opts(), h));
    for (int i = 1; i <= 4; ++i) {
      Touch(root_ / "src/app.js");
      ASSERT_TRUE(c->WaitForCount("] Running: sleep 1000 &", i)) << c->err();
    }
    const auto jobs = [&] {
      int n = 0;
      for (const ProcEntry& p : DescendantsOf(c->pid())) {
        n += p.cmdline == "sleep 1000" && p.state != 'Z';
      }
      return n;
    };
    EXPECT_TRUE(Eventually([&] { return jobs() == 1; })) << jobs();
  }
}

// Every signal whose default action would end the controller stops the
// stack as SIGTERM does, and the controller then ends by that signal.
TEST_F(LifecycleTest, EveryTerminatingSignalStopsTheStack) {
  env_["ZORVANE_RUN"] = ServerNoting("got-term");
  for (const int sig :
       {SIGALRM, SIGPWR, SIGVTALRM, SIGPROF, SIGXCPU, SIGRTMIN + 1}) {
    SCOPED_TRACE(sig);
    fs::remove(root_ / "ready");
    fs::remove(root_ / "got-term");
    auto c = StartUntilReady(Opts(/*pidNamespace=*/false));
    const RunResult r = EndsBy(*c, sig);
    EXPECT_TRUE(Exists("got-term")) << r.err;
    EXPECT_TRUE(c->LeftBehind().empty()) << c->LeftBehind().front().cmdline;
  }
}

// SIGUSR1 and SIGUSR2 reach the server's group as they came, and the
// controller keeps running.
TEST_F(LifecycleTest, UserSignalsArePassedOnToTheServer) {
  env_["ZORVANE_RUN"] =
      "trap 'echo USR1 >> got' USR1; trap 'echo USR2 >> got' USR2; "
      ": > ready; while :; do sleep 0.05; done";
  auto c = StartUntilReady(Opts());
  c->Signal(SIGUSR1);
  ASSERT_TRUE(Eventually([&] { return Read("got") == "USR1\n"; })) << c->err();
  c->Signal(SIGUSR2);
  ASSERT_TRUE(Eventually([&] { return Read("got") == "USR1\nUSR2\n"; }))
      << c->err();
  c->Signal(SIGTERM);
  EXPECT_EQ(c->Wait().status, 128 + SIGTERM);
}

// A signal ignored when the controller started (nohup, a job control
// shell) stays ignored: the SIGTERM sent after it is the one that stops.
TEST_F(LifecycleTest, SignalsIgnoredAtStartStayIgnored) {
  for (const int sig : {SIGHUP, SIGALRM}) {
    SCOPED_TRACE(sig);
    Options o = Opts();
    o.wrapper = {"/bin/sh", "-c",
                 "trap '' " + std::to_string(sig) + "; exec \"$@\"", "sh"};
    auto c = StartWatching(o);
    c->Signal(sig);
    c->Signal(SIGTERM);
    const RunResult r = c->Wait();
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
  }
}

// What is left of a command whose leader has ended gets SIGTERM, at a
// normal end and at a stop (bash starts `cmd &` jobs with SIGINT ignored),
// and nothing is left afterwards.
TEST_F(LifecycleTest, LeftoversOfEndedCommandsGetSigterm) {
  // The command goes on once the job's trap is set.
  const std::string job =
      "(trap ': > got-term; exit 0' TERM; : > job-ready; "
      "while :; do sleep 0.05; done) & "
      "while [ ! -e job-ready ]; do sleep 0.01; done; ";
  const struct {
    const char* name;
    Env env;
    int stopSignal;  // 0: the server's own end ends the controller
    int status;
  } cases[] = {
      {"normal end", {{"ZORVANE_RUN", job + "exit 0"}}, 0, 0},
      {"Ctrl-C",
       {{"ZORVANE_RUN", job + ": > ready; exec sleep 1000"},
        {"ZORVANE_RUN_ON_CHANGE", ":"},
        {"ZORVANE_WATCH_DIR", (root_ / "src").string()}},
       SIGINT,
       128 + SIGINT},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    for (const char* f : {"ready", "job-ready", "got-term"}) {
      fs::remove(root_ / f);
    }
    Env env = k.env;
    env["ZORVANE_STOP_TIMEOUT"] = "5";
    Controller c({}, env, Opts(/*pidNamespace=*/false));
    if (k.stopSignal != 0) {
      ASSERT_TRUE(Eventually([&] { return Exists("ready"); }));
      c.Signal(k.stopSignal);
    }
    const RunResult r = c.Wait();
    EXPECT_EQ(r.status, k.status) << r.err;
    EXPECT_TRUE(Exists("got-term")) << r.err;
    EXPECT_TRUE(c.LeftBehind().empty()) << c.LeftBehind().front().cmdline;
  }
}

// As process 1, an orphan adopted from outside (a `docker exec` that left a
// job behind) is reaped although the controller has no child of its own.
TEST_F(LifecycleTest, AsProcessOneReapsAdoptedOrphansWithoutChildren) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs a PID namespace (root)";
  env_["ZORVANE_RUN"] = "exit 0";
  auto c = StartWatching(Opts());
  ASSERT_TRUE(c->WaitForText("[Debug] runCommands EXIT")) << c->err();
  const pid_t controller = c->ControllerPid();
  ASSERT_GT(controller, 0);
  const std::string enter = "nsenter -t " + std::to_string(controller) +
                            " -p -- /bin/sh -c 'sleep 0.1 & exit 0'";
  ASSERT_EQ(std::system(enter.c_str()), 0);
  ASSERT_TRUE(Eventually([&] { return !ChildrenOf(controller).empty(); }));
  EXPECT_TRUE(Eventually([&] { return ChildrenOf(controller).empty(); }))
      << "left as a zombie: " << ChildrenOf(controller).front().state;
}

// While an interrupted command refuses to stop, further changes fold into
// the one run that waits for it: no thread per change.
TEST_F(LifecycleTest, ChangesWhileAnInterruptedCommandRefusesFoldIntoOneRun) {
  const std::string refuses = "trap '' INT; exec sleep 1000";
  env_["ZORVANE_RUN_ON_CHANGE"] = refuses;
  env_["ZORVANE_STOP_TIMEOUT"] = "60";
  auto c = StartWatching(Opts());
  const std::string accepted = "[Debug] About to restart watcher\n";
  for (int i = 1; i <= 6; ++i) {
    Touch(root_ / (i % 2 ? "src/app.js" : "src/sentinel.js"));
    ASSERT_TRUE(c->WaitForCount(accepted, i)) << c->err();
  }
  // The first change ran the command, the second waits for it to stop.
  EXPECT_TRUE(c->WaitForCount("change folded in", 4)) << c->err();
  EXPECT_EQ(Count(c->err(), "] [Debug] ENTRY Running command:  " + refuses), 2)
      << c->err();
}

// `npm run dev` and other wrappers pass Ctrl-C on: the controller gets
// SIGINT twice, milliseconds apart. That is one request, and the server's
// graceful shutdown runs.
TEST_F(LifecycleTest, DuplicatedCtrlCIsOneGracefulStop) {
  env_["ZORVANE_RUN"] =
      "trap 'sleep 0.3; : > graceful; exit 0' INT; : > ready; "
      "while :; do sleep 0.05; done";
  auto c = StartUntilReady(Opts());
  c->Signal(SIGINT);
  // The second copy comes once the first has been taken, so the two are
  // not merged into one pending signal.
  ASSERT_TRUE(Eventually([&] { return !c->Pending(SIGINT); }));
  c->Signal(SIGINT);
  const RunResult r = c->Wait();
  EXPECT_EQ(r.status, 128 + SIGINT) << r.err;
  EXPECT_TRUE(Exists("graceful")) << r.err;
  EXPECT_EQ(r.err.find("were killed"), std::string::npos) << r.err;
}

// A preparation command ended by the stop is no failure of its own.
TEST_F(LifecycleTest, StopDuringPreparationIsNotItsFailure) {
  // The job keeps the stop going for a while after the command has ended.
  const Env env = {
      {"ZORVANE_PREP",
       "(trap 'sleep 0.5; exit 0' TERM; while :; do sleep 0.05; done) & "
       ": > preparing; exec sleep 1000"},
      {"ZORVANE_RUN", ": > started"}};
  Controller c({}, env, Opts());
  ASSERT_TRUE(Eventually([&] { return Exists("preparing"); }));
  c.Signal(SIGTERM);
  const RunResult r = c.Wait();
  EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
  EXPECT_EQ(r.err.find("FATAL"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists("started"));
}

}  // namespace
}  // namespace controller::e2e
