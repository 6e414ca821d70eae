// The controller's lifecycle through the built executable: how it stops,
// what it leaves behind, which signals reach whom, and its exit status.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "controller/lifecycle_e2e_fixture.h"

namespace controller::e2e {
namespace {

// Ctrl-C, SIGTERM or SIGHUP stop the whole stack, a background job that
// ignores SIGINT and its own child included, and the controller then dies
// by that signal.
TEST_F(LifecycleTest, StopSignalsLeaveNothingBehindAndEndByThatSignal) {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    fs::remove(root_ / "started");
    // The job tells it has set itself up: interrupted before, it would
    // just die.
    env_["ZORVANE_RUN"] =
        "(trap '' INT; sleep 1000 & : > started; wait) & exec sleep 1001";
    env_["ZORVANE_STOP_TIMEOUT"] = "1";
    auto c = StartWatching(Opts(/*pidNamespace=*/false));
    ASSERT_TRUE(Eventually([&] { return Exists("started"); }));
    const RunResult r = EndsBy(*c, sig);
    EXPECT_EQ(Commands(c->LeftBehind()), "") << r.err;
  }
}

// The stack hears SIGINT and SIGTERM as they came. Many servers reload on
// SIGHUP and dump threads on SIGQUIT: both reach the stack as SIGTERM, and
// the controller still ends by the signal it got.
TEST_F(LifecycleTest, StackHearsTheSignalOrTerminateForHangupAndQuit) {
  const std::pair<int, std::string> cases[] = {
      {SIGINT, "INT\n"},
      {SIGTERM, "TERM\n"},
      {SIGHUP, "TERM\n"},
      {SIGQUIT, "TERM\n"},
  };
  for (const auto& [sig, heard] : cases) {
    SCOPED_TRACE(sig);
    fs::remove(root_ / "got");
    fs::remove(root_ / "ready");
    env_["ZORVANE_RUN"] =
        "for s in TERM HUP QUIT INT; do trap \"echo $s >> got; exit 0\" $s; "
        "done; : > ready; while :; do sleep 0.05; done";
    auto c = StartWatching(Opts(/*pidNamespace=*/false));
    ASSERT_TRUE(Eventually([&] { return Exists("ready"); }));
    EndsBy(*c, sig);
    EXPECT_EQ(Read("got"), heard);
  }
}

// A second stop signal does not wait for the stop timeout: another signal
// forces at once, the same one once it is no copy of the first (later than
// half a second after it).
TEST_F(LifecycleTest, SecondStopSignalKillsAtOnce) {
  env_["ZORVANE_RUN"] = "trap '' TERM INT; : > ready; exec sleep 1000";
  env_["ZORVANE_STOP_TIMEOUT"] = "60";
  for (const int second : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(second);
    fs::remove(root_ / "ready");
    auto c = StartWatching(Opts(/*pidNamespace=*/false));
    ASSERT_TRUE(Eventually([&] { return Exists("ready"); }));
    c->Signal(SIGTERM);
    ASSERT_TRUE(c->WaitForText("Stopping the controller on signal: terminated"))
        << c->err();
    // Sent again until it ends: a copy within the window changes nothing.
    for (int tries = 0; tries < 100; ++tries) {
      c->Signal(second);
      if (c->ExitsUnread(std::chrono::milliseconds(200))) break;
    }
    const RunResult r = c->Wait();
    // Well within the stop timeout of 60 s.
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    EXPECT_NE(r.err.find("[Warning] Processes still running after the stop "
                         "were killed"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Commands(c->LeftBehind()), "");
  }
}

// As process 1 of a container, orphans of commands are reaped and SIGTERM
// ends the controller.
TEST_F(LifecycleTest, AsProcessOneReapsOrphansAndEndsOnSigterm) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs a PID namespace (root)";
  env_["ZORVANE_RUN_ON_CHANGE"] = "sleep 0.2 & echo on-change-ran >&2";
  auto c = StartWatching(Opts());
  for (int i = 1; i <= 3; ++i) {
    Touch(root_ / "src/app.js");
    ASSERT_TRUE(c->WaitForCount("\non-change-ran\n", i)) << c->err();
  }
  const pid_t controller = c->ControllerPid();
  ASSERT_GT(controller, 0);
  EXPECT_TRUE(Eventually([&] {
    for (const ProcEntry& p : ChildrenOf(controller)) {
      if (p.state == 'Z' || p.cmdline == "sleep 0.2") return false;
    }
    return true;
  })) << "zombies or orphans left under process 1";
  c->Signal(SIGTERM);
  const RunResult r = c->Wait();
  // An exit with that status, not a death: unshare passes a death on.
  EXPECT_FALSE(r.signaled) << r.err;
  EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
}

// A configuration the watch loop refuses starts no command at all.
TEST_F(LifecycleTest, RefusedWatchSettingsStartNothing) {
  env_["ZORVANE_PREP"] = ": > prepared";
  env_["ZORVANE_RUN"] = ": > started; exec sleep 1000";
  const std::pair<std::string, std::string> cases[] = {
      {"ZORVANE_WATCH_INTERVAL", "0"},
      {"ZORVANE_WATCH_INTERVAL", "-1"},
      {"ZORVANE_WATCH_REGEX", "(unclosed"},
  };
  for (const auto& [name, value] : cases) {
    SCOPED_TRACE(name + "=" + value);
    Env env = env_;
    env[name] = value;
    const RunResult r = RunToEnd({}, env, root_.string());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[Fatal] Error running watcher "), std::string::npos)
        << r.err;
    EXPECT_FALSE(Exists("prepared"));
    EXPECT_FALSE(Exists("started"));
  }
}

// A failed preparation ends the controller, but not before what it left
// running has been stopped (a background job ignores SIGINT: it gets
// SIGKILL after the stop timeout).
TEST_F(LifecycleTest, FatalEndStopsWhatIsStillRunning) {
  const RunResult r = [&] {
    Controller c({},
                 {{"ZORVANE_PREP",
                   "(trap '' INT; : > job; exec sleep 1000) & "
                   "while [ ! -e job ]; do sleep 0.01; done; exit 1"},
                  {"ZORVANE_RUN", ": > started"},
                  {"ZORVANE_STOP_TIMEOUT", "1"}},
                 Opts(/*pidNamespace=*/false));
    RunResult result = c.Wait();
    EXPECT_EQ(Commands(c.LeftBehind()), "");
    return result;
  }();
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_FALSE(Exists("started"));
}

// A log reader that goes away costs lines, not the controller.
TEST_F(LifecycleTest, ClosedStandardErrorDoesNotEndTheController) {
  env_["ZORVANE_RUN_ON_CHANGE"] = ": > changed";
  auto c = StartWatching(Opts(/*pidNamespace=*/false));
  c->CloseStandardError();
  Touch(root_ / "src/app.js");
  EXPECT_TRUE(Eventually([&] { return Exists("changed"); }));
  c->Signal(SIGTERM);
  EXPECT_EQ(c->Wait().status, 128 + SIGTERM);
}

// A child that makes the shared standard error non-blocking and full must
// not make the controller lose its lines.
TEST_F(LifecycleTest, NonBlockingFullStandardErrorLosesNoLine) {
  const std::string server = kHelper + " fill-stderr; : > filled; exit 3";
  Controller c({}, {{"ZORVANE_RUN", server}}, Opts(/*pidNamespace=*/false));
  ASSERT_TRUE(Eventually([&] { return Exists("filled"); }));
  // The controller's first line must now wait for room rather than fail.
  // Once it waits, the controller is stopped while the pipe is read, so
  // that its patience (two seconds a line) cannot run out meanwhile.
  ASSERT_TRUE(Eventually([&] { return Polling(c.pid()); })) << c.err();
  ::kill(c.pid(), SIGSTOP);
  c.WaitFor([](const std::string& e) { return e.size() >= 16384; });
  ::kill(c.pid(), SIGCONT);
  const RunResult r = c.Wait();
  EXPECT_EQ(r.status, 3);
  // The first line follows the filler, which ends in no line feed.
  for (const char* line : {"Wait received error:exit status 3\n",
                           "\nWait received error on server start exit "
                           "status 3\n",
                           "\nWatcher is not running.\n"}) {
    EXPECT_NE(r.err.find(line), std::string::npos) << line;
  }
}

// Once an on-change process has been reaped, its number may go to anyone;
// the next change must not interrupt a stranger that took it.
TEST_F(LifecycleTest, ReusedNumberOfAnEndedCommandIsNotSignalled) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs a PID namespace (root)";
  env_["ZORVANE_RUN_ON_CHANGE"] = "echo $$ > oc.pid";
  auto c = StartWatching(Opts());
  Touch(root_ / "src/app.js");
  ASSERT_TRUE(c->WaitForCount("[Debug] waitProces EXIT", 1)) << c->err();
  const std::string ended = ReadTextFile((root_ / "oc.pid").string());
  const int number = std::atoi(ended.c_str());
  ASSERT_GT(number, 1);

  // Hand the freed number to an unrelated group leader in the namespace.
  const std::string ns = std::to_string(c->ControllerPid());
  bool handedOver = false;
  for (int attempt = 0; attempt < 5 && !handedOver; ++attempt) {
    const std::string script =
        "echo " + std::to_string(number - 1) +
        " > /proc/sys/kernel/ns_last_pid; setsid sleep 1003 & echo $! > "
        "stranger.pid";
    ASSERT_EQ(std::system(("cd " + root_.string() + " && nsenter -t " + ns +
                           " -p -- /bin/sh -c '" + script + "'")
                              .c_str()),
              0);
    handedOver =
        std::atoi(ReadTextFile((root_ / "stranger.pid").string()).c_str()) ==
        number;
  }
  ASSERT_TRUE(handedOver) << "could not give the number to a stranger";
  // The stranger is started in the background: wait until it runs.
  ASSERT_TRUE(Eventually([] { return RunningAs("sleep 1003"); }));

  Touch(root_ / "src/app.js");
  ASSERT_TRUE(c->WaitForCount("[Debug] waitProces EXIT", 2)) << c->err();
  EXPECT_TRUE(RunningAs("sleep 1003")) << c->err();
  // The ended command's group was found gone, which is no error.
  EXPECT_NE(c->err().find("[Debug] Process has ended: nothing to interrupt"),
            std::string::npos)
      << c->err();
  EXPECT_EQ(c->err().find("[Error]"), std::string::npos) << c->err();
}

// A stopped group cannot act on SIGINT until it is continued.
TEST_F(LifecycleTest, StoppedCommandIsInterruptedAll) {
  env_["ZORVANE_RUN_ON_CHANGE"] =
      "echo $$ > oc.pid; kill -STOP $$; exec sleep 1000";
  auto c = StartWatching(Opts(/*pidNamespace=*/false));
  Touch(root_ / "src/app.js");
  const std::string pidFile = (root_ / "oc.pid").string();
  ASSERT_TRUE(
      Eventually([&] { return ReadTextFile(pidFile).ends_with('\n'); }));
  // Interrupted before it has stopped, it would just end.
  ASSERT_TRUE(Eventually([&] {
    ProcEntry p;
    return ReadProcStat(std::atoi(ReadTextFile(pidFile).c_str()), &p) &&
           p.state == 'T';
  })) << c->err();
  Touch(root_ / "src/sentinel.js");
  EXPECT_TRUE(c->WaitForText("Wait received error signal: interrupt\n"))
      << c->err();
}

// A background job of a command ignores SIGINT; it must not outlive the
// command, even when it ignores SIGTERM too.
TEST_F(LifecycleTest, BackgroundJobsOfAnInterruptedCommandEnd) {
  const struct {
    std::string job;
    std::vector<int> ignored;  // once it has set itself up
  } cases[] = {
      {"sleep 1000 &", {SIGINT}},
      // A trap in the job's subshell undoes the ignored SIGINT of a
      // background job: it ignores both itself.
      {"(trap '' INT TERM; exec sleep 1000) &", {SIGINT, SIGTERM}},
  };
  for (const auto& [job, ignored] : cases) {
    SCOPED_TRACE(job);
    fs::remove(root_ / "jobs");
    // Each run's job writes its number: the first run's must go.
    env_["ZORVANE_RUN_ON_CHANGE"] = job + " echo $! >> jobs; exec sleep 1001";
    env_["ZORVANE_STOP_TIMEOUT"] = "1";
    auto c = StartWatching(Opts(/*pidNamespace=*/false));
    Touch(root_ / "src/app.js");
    const std::string jobs = (root_ / "jobs").string();
    ASSERT_TRUE(Eventually([&] { return ReadTextFile(jobs).ends_with('\n'); }));
    const pid_t first = std::atoi(ReadTextFile(jobs).c_str());
    ASSERT_TRUE(Alive(first));
    // Interrupted before its shell has set it up, it would just die.
    for (const int sig : ignored) {
      ASSERT_TRUE(Eventually([&] { return IgnoresSignal(first, sig); })) << sig;
    }
    Touch(root_ / "src/sentinel.js");
    ASSERT_TRUE(c->WaitForText("Wait received error signal: interrupt\n"))
        << c->err();
    EXPECT_TRUE(
        Eventually([&] { return !Alive(first); }, std::chrono::seconds(10)))
        << c->err();
  }
}

// A server that takes a moment to close has ended before its successor
// starts.
TEST_F(LifecycleTest, SuccessorStartsOnlyOnceTheInterruptedOneEnded) {
  const std::string server =
      "trap 'sleep 0.5; echo stop >> events; exit 1' INT; echo start >> "
      "events; while :; do sleep 0.05; done";
  env_["ZORVANE_RUN"] = server;
  env_["ZORVANE_RUN_ON_CHANGE"] = server;
  env_["ZORVANE_RUN_KILL"] = "true";
  auto c = StartWatching(Opts());
  ASSERT_TRUE(Eventually(
      [&] { return ReadTextFile((root_ / "events").string()) == "start\n"; }));
  Touch(root_ / "src/app.js");
  ASSERT_TRUE(Eventually([&] {
    return Count(ReadTextFile((root_ / "events").string()), "start") == 2;
  })) << c->err();
  EXPECT_EQ(ReadTextFile((root_ / "events").string()), "start\nstop\nstart\n");
}

// A server that runs as another user cannot be signalled by the
// controller, yet it is alive: no second copy may be started.
TEST_F(LifecycleTest, ServerOfAnotherUserIsNotDuplicated) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to set up the users";
  const fs::path helper = root_ / "become-root";
  fs::copy_file(kHelper, helper);
  ASSERT_EQ(::chown(helper.c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(helper.c_str(), 04755), 0);
  for (const fs::path& p : {root_, root_ / "src"}) {
    ASSERT_EQ(::chmod(p.c_str(), 0777), 0);
  }
  env_["ZORVANE_RUN"] = helper.string() + " become-root sleep 1000";
  env_["ZORVANE_RUN_ON_CHANGE"] = ": > changed";
  Options o = Opts();
  o.wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
               "--clear-groups", "--"};
  auto c = StartWatching(o);
  ASSERT_TRUE(Eventually([&] { return RunningAs("sleep 1000"); }));
  Touch(root_ / "src/app.js");
  // The server started before any change could be handled.
  EXPECT_TRUE(c->WaitForText("] Running: : > changed\n")) << c->err();
  EXPECT_TRUE(Eventually([&] { return Exists("changed"); })) << c->err();
  EXPECT_EQ(Count(c->err(), "] Running: " + env_["ZORVANE_RUN"] + "\n"), 1)
      << c->err();
}

// Changes made while the preparation command holds the registry fold into
// one run.
TEST_F(LifecycleTest, BurstOfChangesDuringPreparationStartsOneRun) {
  // The preparation ends when the test says so, once every change has been
  // handled while it ran.
  env_["ZORVANE_PREP"] = "while [ ! -e prepared ]; do sleep 0.05; done";
  auto c = StartWatching(Opts());
  const std::string seen =
      "Full path is:  " + (root_ / "src/app.js").string() + "\n";
  for (int i = 1; i <= 3; ++i) {
    Touch(root_ / "src/app.js");
    ASSERT_TRUE(c->WaitForCount(seen, i)) << c->err();
  }
  // The first change's run waits for the registry; the others fold into it.
  EXPECT_TRUE(c->WaitForCount("change folded in\n", 2)) << c->err();
  Touch(root_ / "prepared");
  ASSERT_TRUE(c->WaitForText("\non-change-ran\n")) << c->err();
  // A change after the preparation starts a run of its own; runs of the
  // burst that were not folded would have started before it.
  Touch(root_ / "src/sentinel.js");
  const std::string sentinel =
      "Full path is:  " + (root_ / "src/sentinel.js").string() + "\n";
  const std::string run = "] Running: echo on-change-ran >&2\n";
  ASSERT_TRUE(c->WaitFor([&](const std::string& e) {
    const size_t at = e.find(sentinel);
    return at != std::string::npos && e.find(run, at) != std::string::npos;
  })) << c->err();
  EXPECT_EQ(Count(c->err(), run), 2) << c->err();
}

// Without an on-change command the controller reports the server's end.
TEST_F(LifecycleTest, ExitStatusFollowsTheServer) {
  fs::create_directories(root_ / "gone");
  const struct {
    Env env;
    std::string cwd;
    int status;
  } cases[] = {
      {{{"ZORVANE_RUN", "exit 0"}}, root_.string(), 0},
      {{{"ZORVANE_RUN", "exit 3"}}, root_.string(), 3},
      {{{"ZORVANE_RUN", "kill -SEGV $$"}}, root_.string(), 128 + SIGSEGV},
      // The preparation removes the working directory: the server cannot
      // be started.
      {{{"ZORVANE_PREP", "rmdir \"$PWD\""}, {"ZORVANE_RUN", "true"}},
       (root_ / "gone").string(),
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.env.rbegin()->second);
    Options o = Opts(/*pidNamespace=*/false);
    o.cwd = c.cwd;
    Controller controller({}, c.env, o);
    const RunResult r = controller.Wait();
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_FALSE(r.signaled);
  }
}

// Started with standard input and output closed, the controller still
// hands its children all three standard descriptors.
TEST_F(LifecycleTest, ClosedStandardDescriptorsAreReopened) {
  Options o = Opts(/*pidNamespace=*/false);
  o.closeStdinStdout = true;
  // Looked at before any redirection of the shell's own.
  const std::string server =
      "o=; for f in 0 1 2; do [ -e /proc/$$/fd/$f ] && o=$o$f; done; "
      "echo $o > fds";
  Controller c({}, {{"ZORVANE_RUN", server}}, o);
  EXPECT_EQ(c.Wait().status, 0);
  EXPECT_EQ(ReadTextFile((root_ / "fds").string()), "012\n");
}

}  // namespace
}  // namespace controller::e2e
