// Runs the built controller executable for process-level tests.
//
// Each run gets a clean environment (only what the test gives, plus PATH),
// its standard error captured, and a deadline. By default, when the tests
// run as root, the controller runs as process 1 of a PID namespace of its
// own with its own /proc (unshare), so that every process it starts dies
// with it and the tests never leave processes behind. A test that needs the
// controller to be an ordinary process runs it directly instead; the test
// process is then its descendants' reaper, so whatever the controller
// leaves behind becomes the test's child, can be seen (LeftBehind), and is
// killed when the Controller object goes.

#ifndef ZORVANE_CONTROLLER_E2E_UTIL_H_
#define ZORVANE_CONTROLLER_E2E_UTIL_H_

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/child.h"
#include "testsupport/eventually.h"
#include "testsupport/proc.h"

namespace controller::e2e {

using testsupport::ChildrenOf;
using testsupport::DescendantsOf;
using testsupport::Eventually;
using testsupport::IgnoresSignal;
using testsupport::Polling;
using testsupport::ProcEntry;
using testsupport::ReadProcStat;
using testsupport::Sleeping;

using Env = std::map<std::string, std::string>;

struct RunResult {
  int status = -1;        // exit status, 128 + n for signal n, -1 on timeout
  bool signaled = false;  // the controller died by a signal
  std::string err;        // everything written to standard error
  bool timed_out = false;
};

// How a controller is started.
struct Options {
  std::string cwd;  // its working directory (and $PWD); "" for ours
  // As root: process 1 of a new PID namespace with its own /proc.
  // Otherwise a direct child of the test.
  bool pidNamespace = true;
  // With pidNamespace: false leaves the namespace with the test's /proc,
  // whose numbers are not the namespace's (some sandboxes and CI runners).
  bool ownProc = true;
  // Put before the controller's path, e.g. a tool that drops privileges.
  std::vector<std::string> wrapper;
  // Start it with standard input and standard output closed.
  bool closeStdinStdout = false;
};

inline std::string ReadTextFile(const std::string& path) {
  return testsupport::ReadFileText(path);
}

// How often `what` occurs in `text`.
inline int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto pos = text.find(what); pos != std::string::npos;
       pos = text.find(what, pos + what.size())) {
    ++n;
  }
  return n;
}

// Creates `path` if needed and gives it a modification time unlike any
// earlier one, so that each call is a change the next polling cycle sees,
// whatever the file system's timestamp granularity.
inline void Touch(const std::string& path) {
  static int tick = 0;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  ::close(fd);
  ++tick;
  const timespec times[2] = {{1000000 + tick, 0}, {1000000 + tick, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

inline Options WithCwd(const std::string& cwd) {
  Options o;
  o.cwd = cwd;
  return o;
}

// A running controller. Destroying it kills it and everything it started.
class Controller {
 public:
  Controller(const std::vector<std::string>& args, const Env& env,
             const std::string& cwd = "")
      : Controller(args, env, WithCwd(cwd)) {}

  Controller(const std::vector<std::string>& args, const Env& env,
             const Options& options) {
    testsupport::ChildOptions o;
    namespaced_ = options.pidNamespace && ::geteuid() == 0 &&
                  ::access("/usr/bin/unshare", X_OK) == 0;
    if (namespaced_) {
      o.argv = {"/usr/bin/unshare", "-pf", "--kill-child"};
      if (options.ownProc) o.argv.push_back("--mount-proc");
      o.argv.push_back("--");
      // Everything it starts dies with its namespace.
      o.endOrphans = false;
    } else {
      // Orphans of the controller's stack come to us, where they can be
      // seen and killed.
      testsupport::BecomeSubreaper();
    }
    o.argv.insert(o.argv.end(), options.wrapper.begin(), options.wrapper.end());
    o.argv.push_back(ZORVANE_CONTROLLER_PATH);
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env = {"PATH=/usr/local/bin:/usr/bin:/bin"};
    // Sanitizer builds: the controller reports with the tests' settings.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
      if (const char* v = std::getenv(name))
        o.env.push_back(name + ("=" + std::string(v)));
    }
    for (const auto& [k, v] : env) o.env.push_back(k + "=" + v);
    if (!options.cwd.empty()) o.env.push_back("PWD=" + options.cwd);
    o.cwd = options.cwd;
    // Standard error alone is read; standard output stays the test's.
    o.captureStdout = false;
    o.closeStdinStdout = options.closeStdinStdout;
    (void)child_.Start(o);
    pid_ = child_.pid();
  }

  ~Controller() {
    for (const char* report :
         {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
          "ERROR: LeakSanitizer", "runtime error:"}) {
      if (err().find(report) != std::string::npos) {
        ADD_FAILURE() << "sanitizer report from the controller:\n" << err();
        break;
      }
    }
  }

  // The process started: unshare when in a namespace, else the controller.
  pid_t pid() const { return pid_; }

  // The controller itself, as the system outside its namespace numbers it
  // (the process below unshare and any wrapper that runs the controller's
  // executable); -1 while it cannot be found.
  pid_t ControllerPid() const {
    if (!namespaced_) return pid_;
    for (const ProcEntry& p : DescendantsOf(pid_)) {
      std::error_code ec;
      const std::filesystem::path exe = std::filesystem::read_symlink(
          "/proc/" + std::to_string(p.pid) + "/exe", ec);
      if (!ec && exe == ZORVANE_CONTROLLER_PATH) return p.pid;
    }
    return -1;
  }

  // A line of the controller's /proc/<pid>/status ("Threads", "ShdPnd"),
  // its value; "" when it cannot be read.
  std::string Status(const std::string& field) const {
    return testsupport::StatusField(ControllerPid(), field);
  }

  // Whether `sig` is pending for the controller as a whole (sent, and not
  // yet taken by its signal thread).
  bool Pending(int sig) const {
    const std::string mask = Status("ShdPnd");
    return !mask.empty() &&
           ((std::stoull(mask, nullptr, 16) >> (sig - 1)) & 1) != 0;
  }

  // Bytes written to its standard error that the test has not read yet.
  int UnreadBytes() const { return child_.UnreadBytes(); }

  // Waits for the process started to end without reading its standard
  // error (a log reader that stalls); Wait() then reads what it wrote.
  bool ExitsUnread(std::chrono::milliseconds timeout) {
    reaped_ = reaped_ || child_.Reap(Deadline(timeout), &waitStatus_);
    return reaped_;
  }

  // Sends `sig` to the controller itself.
  void Signal(int sig) const {
    pid_t target = -1;
    Eventually([&] { return (target = ControllerPid()) > 0; });
    if (target > 0) ::kill(target, sig);
  }

  // Makes `change` while the controller is stopped between two polling
  // cycles, so that the next cycle sees all of it. A walk of the trees is
  // not atomic: a file renamed while one runs may be listed under neither
  // name, and a file rewritten in two steps may be seen half done. The
  // polling loop runs on the controller's main thread and sleeps out the
  // interval after each cycle; the controller is stopped only once that
  // thread is seen in its sleep, before and after the stop. False when no
  // such moment came before the deadline.
  bool BetweenCycles(const std::function<void()>& change) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      const pid_t c = ControllerPid();
      if (c > 0 && Sleeping(c, c)) {
        ::kill(c, SIGSTOP);
        ProcEntry p;
        Eventually([&] { return ReadProcStat(c, &p) && p.state == 'T'; });
        const bool between = p.state == 'T' && Sleeping(c, c);
        if (between) change();
        ::kill(c, SIGCONT);
        if (between) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  // Processes of the stack that outlived a direct controller: children
  // of the test other than the controller, zombies excluded.
  std::vector<ProcEntry> LeftBehind() const {
    std::vector<ProcEntry> out;
    for (const ProcEntry& p : ChildrenOf(::getpid())) {
      if (p.pid != pid_ && p.state != 'Z') out.push_back(p);
    }
    return out;
  }

  // Standard error read so far.
  const std::string& err() const { return child_.output(); }

  // Reads standard error until `pred(err())` holds or the deadline passes.
  bool WaitFor(const std::function<bool(const std::string&)>& pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    return child_.WaitFor(pred, Deadline(timeout));
  }

  // Waits until standard error contains `text`.
  bool WaitForText(const std::string& text, std::chrono::milliseconds timeout =
                                                std::chrono::seconds(20)) {
    return WaitFor(
        [&](const std::string& e) { return e.find(text) != std::string::npos; },
        timeout);
  }

  // Waits until standard error holds `text` at least `n` times.
  bool WaitForCount(const std::string& text, int n) {
    return WaitFor(
        [&](const std::string& e) { return Count(e, text) >= n; });
  }

  // Closes our end of its standard error, as a log reader that goes away.
  void CloseStandardError() {
    child_.CloseOutput();
    closed_ = true;
  }

  // Waits for the controller to end (reading all of standard error).
  RunResult Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    RunResult r;
    bool ended = false;
    if (closed_) {
      // Nothing to read: watch the process itself.
      ended = ExitsUnread(timeout);
    } else {
      WaitFor([](const std::string&) { return false; }, timeout);
      ended = child_.OutputEnded();
    }
    // At end of output the controller has exited, or is about to: wait for
    // it. Otherwise the deadline passed and the destructor kills it.
    if (ended && (reaped_ || child_.Reap(testsupport::Clock::time_point::max(),
                                         &waitStatus_))) {
      reaped_ = true;
      const int st = waitStatus_;
      r.signaled = WIFSIGNALED(st);
      r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    } else {
      r.timed_out = true;
    }
    r.err = err();
    return r;
  }

 private:
  static testsupport::Clock::time_point Deadline(
      std::chrono::milliseconds timeout) {
    return testsupport::Clock::now() + timeout;
  }

  // Kills, when it goes, the controller and everything it started (and,
  // for a direct controller, whatever came to the test as an orphan).
  testsupport::Child child_;
  pid_t pid_ = -1;  // the process started, kept once it is reaped
  bool namespaced_ = false;
  bool closed_ = false;  // CloseStandardError was called
  bool reaped_ = false;
  int waitStatus_ = 0;  // valid once reaped_
};

// Runs the controller to its end.
inline RunResult RunToEnd(const std::vector<std::string>& args, const Env& env,
                          const std::string& cwd = "") {
  Controller c(args, env, cwd);
  return c.Wait();
}

}  // namespace controller::e2e

#endif  // ZORVANE_CONTROLLER_E2E_UTIL_H_
