// Fixture for tests that start real children through the registry.
//
// Each test gets a fresh working directory, an empty registry and its log
// lines (debug included) in a file. The test process is its descendants'
// subreaper, so at the end, pass or fail, every process the test started
// is killed, background jobs of ended commands included, until the test's
// threads have returned and nothing of it is left running.

#ifndef ZORVANE_CONTROLLER_CHILD_TEST_UTIL_H_
#define ZORVANE_CONTROLLER_CHILD_TEST_UTIL_H_

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "controller/config.h"
#include "controller/registry.h"
#include "gtest/gtest.h"
#include "klog/flagset.h"
#include "klog/klog.h"
#include "testsupport/eventually.h"
#include "testsupport/klog_capture.h"
#include "testsupport/proc.h"

namespace controller {

using testsupport::IgnoresSignal;
using testsupport::Sleeping;

inline std::string readFile(const std::string& path) {
  return testsupport::ReadFileText(path);
}

// Polls `done` until it holds or ten seconds have passed.
template <typename Pred>
bool waitFor(Pred done) {
  return testsupport::Eventually(done, std::chrono::seconds(10));
}

class ChildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Kept for the whole run: the logging core's settings live on it.
    static klog::FlagSet* const flags = [] {
      auto* f = new klog::FlagSet("klog", klog::ErrorHandling::kExitOnError);
      klog::InitFlags(f);
      return f;
    }();
    // As in the controller, orphans of the children's groups come here,
    // where their groups stay reachable.
    testsupport::BecomeSubreaper();
    ASSERT_EQ(flags->SetByName("v", "4"), "");
    ASSERT_EQ(flags->SetByName("skip_headers", "true"), "");
    char dirTemplate[] = "/tmp/zorvane-child-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    dir_ = dirTemplate;
    ASSERT_TRUE(log_.ok());
    configuration().workDir = dir_;
    configuration().zorvanePREP.clear();
    configuration().zorvaneSTOPTIMEOUT = Duration{kDefaultStopTimeout};
    clearRegistry();
  }

  void TearDown() override {
    // A run may start a child after any one pass: kill until the runs'
    // threads have returned, then once more.
    EXPECT_TRUE(waitFor([&] {
      testsupport::EndDescendants(std::chrono::seconds(1));
      return running_ == 0;
    }));
    EXPECT_TRUE(testsupport::EndDescendants())
        << "processes of the test still run";
    for (std::thread& t : threads_) t.join();
    clearRegistry();
    std::filesystem::remove_all(dir_);
  }

  // Registry access as the runner does it: under the lock.
  static void clearRegistry() {
    controllerManagedProcesses& r = zorvaneControllerManagedProcesses();
    base::MutexLock lock(&controllerManagedProcesses::mu);
    r.pids.clear();
    r.processes.clear();
  }
  static int64_t pidOf(ProcessType t) {
    controllerManagedProcesses& r = zorvaneControllerManagedProcesses();
    base::MutexLock lock(&controllerManagedProcesses::mu);
    return r.pids.contains(t) ? r.pids[t] : 0;
  }
  static CommandResult started(const std::string& command, ProcessType t) {
    base::MutexLock lock(&controllerManagedProcesses::mu);
    return startProcess(command, t);
  }
  static Status killed(ProcessType t) {
    base::MutexLock lock(&controllerManagedProcesses::mu);
    return killProcess(t);
  }

  // waitProcess, but a child still running after ten seconds fails the
  // test and is killed, so a signal gone astray cannot hang the run.
  static Status waitBounded(Command& cmd) {
    std::packaged_task<Status()> task([&] { return waitProcess(cmd, server); });
    std::future<Status> result = task.get_future();
    std::thread waiter(std::move(task));
    if (result.wait_for(std::chrono::seconds(10)) !=
        std::future_status::ready) {
      ADD_FAILURE() << "child " << cmd.process()->pid() << " did not end";
      ::kill(-cmd.process()->pid(), SIGKILL);
    }
    waiter.join();
    return result.get();
  }

  std::string log() const { return log_.Written(); }
  bool logged(const std::string& line) const {
    return log().find(line + "\n") != std::string::npos;
  }
  bool exists(const std::string& name) const {
    return std::filesystem::exists(dir_ + "/" + name);
  }

  // Runs `fn` on a thread that TearDown joins.
  template <typename Fn>
  void spawnThread(Fn fn) {
    ++running_;
    threads_.emplace_back([this, fn = std::move(fn)] {
      fn();
      --running_;
    });
  }

  std::string dir_;

 private:
  testsupport::KlogCapture log_;
  std::vector<std::thread> threads_;
  std::atomic<int> running_{0};
};

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_CHILD_TEST_UTIL_H_
