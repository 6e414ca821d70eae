// The fixture of the tests that run the built controller to see how it
// lives and ends: a fresh directory with src/ holding two .js files, and an
// environment whose server sleeps and whose on-change command logs.

#ifndef ZORVANE_CONTROLLER_LIFECYCLE_E2E_FIXTURE_H_
#define ZORVANE_CONTROLLER_LIFECYCLE_E2E_FIXTURE_H_

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "controller/e2e_util.h"
#include "testsupport/temp_dir.h"

namespace controller::e2e {

namespace fs = std::filesystem;

inline const std::string kHelper = ZORVANE_STACK_HELPER_PATH;

// Whether a live descendant of this test runs `cmdline`. Only our own
// descendants count: other tests may run the same commands meanwhile.
inline bool RunningAs(const std::string& cmdline) {
  for (const ProcEntry& p : DescendantsOf(::getpid())) {
    if (p.cmdline == cmdline && p.state != 'Z') return true;
  }
  return false;
}

// The command lines of `procs`, one a line: "" for none.
inline std::string Commands(const std::vector<ProcEntry>& procs) {
  std::string out;
  for (const ProcEntry& p : procs) out += p.cmdline + "\n";
  return out;
}

// Whether `pid` is a live descendant of this test.
inline bool Alive(pid_t pid) {
  for (const ProcEntry& p : DescendantsOf(::getpid())) {
    if (p.pid == pid && p.state != 'Z') return true;
  }
  return false;
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(root_, "");
    fs::create_directories(root_ / "src");
    Touch(root_ / "src/app.js");
    Touch(root_ / "src/sentinel.js");
    env_ = {{"ZORVANE_RUN", "exec sleep 999"},
            {"ZORVANE_RUN_ON_CHANGE", "echo on-change-ran >&2"},
            {"ZORVANE_RUN_KILL", "false"},
            {"ZORVANE_WATCH_DIR", (root_ / "src").string()},
            {"ZORVANE_WATCH_INTERVAL", "1"}};
  }

  Options Opts(bool pidNamespace = true) const {
    Options o;
    o.cwd = root_.string();
    o.pidNamespace = pidNamespace;
    return o;
  }

  // Starts a controller with debug output and waits until it polls.
  std::unique_ptr<Controller> StartWatching(const Options& o) {
    auto c =
        std::make_unique<Controller>(std::vector<std::string>{"-v"}, env_, o);
    EXPECT_TRUE(c->WaitForText("[Debug] Watch interval is: 1s")) << c->err();
    return c;
  }

  // As StartWatching, then waits until the server has written "ready".
  std::unique_ptr<Controller> StartUntilReady(const Options& o) {
    auto c = StartWatching(o);
    EXPECT_TRUE(Eventually([&] { return Exists("ready"); })) << c->err();
    return c;
  }

  // Sends `sig` to the controller and waits for its end, which must be by
  // that signal.
  static RunResult EndsBy(Controller& c, int sig) {
    c.Signal(sig);
    const RunResult r = c.Wait();
    EXPECT_TRUE(r.signaled) << r.err;
    EXPECT_EQ(r.status, 128 + sig) << r.err;
    return r;
  }

  bool Exists(const std::string& name) const {
    return fs::exists(root_ / name);
  }
  std::string Read(const std::string& name) const {
    return ReadTextFile((root_ / name).string());
  }

  testsupport::TempDir tmp_{"zorvane-life-"};
  fs::path root_ = tmp_.path();
  Env env_;
};

}  // namespace controller::e2e

#endif  // ZORVANE_CONTROLLER_LIFECYCLE_E2E_FIXTURE_H_
