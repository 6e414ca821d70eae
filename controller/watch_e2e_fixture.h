// A fixture for the tests that run the controller with file watching: a
// fresh directory with src/ and out/, an environment that watches src/ at a
// 1-second interval with an on-change command that logs, and waits on the
// controller's log.

#ifndef ZORVANE_CONTROLLER_WATCH_E2E_FIXTURE_H_
#define ZORVANE_CONTROLLER_WATCH_E2E_FIXTURE_H_

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "controller/e2e_util.h"

namespace controller::e2e {

inline const std::string kOnChange = "echo on-change-ran >&2";
// The line that shows an on-change run starting.
inline const std::string kRunLine = "Running: " + kOnChange + "\n";

// Creates `path` with an old modification time in one step (through a name
// that does not match the watch pattern), so that no cycle sees it between
// its creation and the setting of its time.
inline void Create(const std::filesystem::path& path) {
  const std::filesystem::path tmp = path.string() + ".tmp";
  Touch(tmp);
  std::filesystem::rename(tmp, path);
}

class WatchFixture : public ::testing::Test {
 protected:
  // Makes the directory with src/ and out/ and the files `files` (paths
  // relative to it), each with its own old modification time.
  void MakeTree(const std::vector<std::string>& files) {
    char tmpl[] = "/tmp/watch_e2e_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    std::filesystem::create_directories(root_ / "src");
    std::filesystem::create_directories(root_ / "out");
    for (const std::string& f : files) Touch(root_ / f);
    env_ = {{"ZORVANE_RUN", "sleep 1000"},
            {"ZORVANE_RUN_ON_CHANGE", kOnChange},
            {"ZORVANE_RUN_KILL", "false"},
            {"ZORVANE_WATCH_DIR", (root_ / "src").string()},
            {"ZORVANE_WATCH_INTERVAL", "1"}};
  }
  void TearDown() override {
    controller_.reset();
    if (!root_.empty()) std::filesystem::remove_all(root_);
  }

  // Makes the folder `dir` of the test's directory holding `file`, and
  // watches it beside src/.
  void WatchAlso(const std::string& dir, const std::string& file) {
    std::filesystem::create_directories(root_ / dir);
    Touch(root_ / dir / file);
    env_["ZORVANE_WATCH_DIR"] =
        (root_ / "src").string() + ";" + (root_ / dir).string();
  }

  // Starts the controller with debug output in `cwd` (the test's directory
  // when empty) and waits until it polls.
  Controller& Start(const std::filesystem::path& cwd = {}) {
    return StartWith(WithCwd((cwd.empty() ? root_ : cwd).string()));
  }

  // Starts the controller with debug output as `options` say and waits
  // until it polls.
  Controller& StartWith(const Options& options) {
    controller_ = std::make_unique<Controller>(std::vector<std::string>{"-v"},
                                               env_, options);
    EXPECT_TRUE(controller_->WaitForText("[Debug] Watch interval is: 1s"))
        << controller_->err();
    return *controller_;
  }

  // The text of the file `name` of the test's directory.
  std::string Read(const std::string& name) const {
    return ReadTextFile((root_ / name).string());
  }

  // Waits until the log holds `text` `n` times.
  bool WaitForCount(const std::string& text, int n) {
    return controller_->WaitForCount(text, n);
  }
  // Waits until the log holds `n` on-change runs.
  bool WaitForRuns(int n) { return WaitForCount(kRunLine, n); }

  // Waits until the log, from offset `from` on, shows the change of `path`
  // (which may be "old -> new") handled, and an on-change run started
  // after it: the run of that change. A check that other changes started
  // no run counts runs only after this, once the cycles that could have
  // started them have passed.
  bool WaitForRunOf(const std::string& path, size_t from = 0) {
    const std::string seen = "Full path is:  " + path + "\n";
    return controller_->WaitFor([&](const std::string& e) {
      const size_t at = e.find(seen, from);
      return at != std::string::npos &&
             e.find(kRunLine, at) != std::string::npos;
    });
  }

  std::filesystem::path root_;
  Env env_;
  std::unique_ptr<Controller> controller_;
};

}  // namespace controller::e2e

#endif  // ZORVANE_CONTROLLER_WATCH_E2E_FIXTURE_H_
