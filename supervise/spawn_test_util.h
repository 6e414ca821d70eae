// Real children for the tests of the supervision library: a directory of
// the test's own to run them in, and none of them left behind.
//
// The test process becomes its descendants' reaper (as the controller
// does), so orphans of a command's group stay below it and TearDown ends
// every process the test started, passed or failed.

#ifndef ZORVANE_SUPERVISE_SPAWN_TEST_UTIL_H_
#define ZORVANE_SUPERVISE_SPAWN_TEST_UTIL_H_

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "supervise/process.h"
#include "testsupport/eventually.h"
#include "testsupport/proc.h"

namespace supervise {

class SpawnTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::BecomeSubreaper();
    char dirTemplate[] = "/tmp/zorvane-spawn-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    dir_ = dirTemplate;
  }

  void TearDown() override {
    EXPECT_TRUE(testsupport::EndDescendants())
        << "processes of the test still run";
    std::filesystem::remove_all(dir_);
  }

  // `command` started in the test's directory; a failed start fails the
  // test and leaves the record without a handle.
  Command started(const std::string& command) const {
    Command cmd(command, dir_);
    const base::Status err = cmd.Start();
    EXPECT_TRUE(err.ok()) << command << ": " << err.Error();
    return cmd;
  }

  // Command::Wait, but a child still running after ten seconds fails the
  // test and is killed with its group, so a lost signal cannot hang it.
  static base::Status waitBounded(Command& cmd) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    if (cmd.process() != nullptr && !cmd.process()->WaitUntil(deadline)) {
      ADD_FAILURE() << "child " << cmd.process()->pid() << " did not end";
      ::kill(-cmd.process()->pid(), SIGKILL);
    }
    return cmd.Wait();
  }

  // Whether `done` comes to hold within ten seconds.
  template <typename Pred>
  static bool eventually(Pred done) {
    return testsupport::Eventually(done, std::chrono::seconds(10));
  }

  bool exists(const std::string& name) const {
    return std::filesystem::exists(dir_ + "/" + name);
  }

  std::string dir_;
};

}  // namespace supervise

#endif  // ZORVANE_SUPERVISE_SPAWN_TEST_UTIL_H_
