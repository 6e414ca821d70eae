// Runs the built controller executable for process-level tests.
//
// Each run gets a clean environment (only what the test gives, plus PATH),
// its standard error captured, and a deadline. When the tests run as root
// the controller runs in a PID namespace of its own (unshare), so that
// every process it starts, in whatever process group, dies with it; the
// tests then never leave processes behind. Otherwise its process group is
// killed at the end.

#ifndef ZORVANE_CONTROLLER_E2E_UTIL_H_
#define ZORVANE_CONTROLLER_E2E_UTIL_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace controller::e2e {

using Env = std::map<std::string, std::string>;

struct RunResult {
  int status = -1;  // exit status, or -1 when killed at the deadline
  std::string err;  // everything written to standard error
  bool timed_out = false;
};

// A running controller. Destroying it kills it and everything it started.
class Controller {
 public:
  Controller(const std::vector<std::string>& args, const Env& env,
             const std::string& cwd = "") {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    read_fd_ = fds[0];
    std::vector<std::string> argv;
    const bool root =
        ::geteuid() == 0 && ::access("/usr/bin/unshare", X_OK) == 0;
    if (root) {
      argv = {"/usr/bin/unshare", "-pf", "--kill-child", "--"};
    }
    argv.push_back(ZORVANE_CONTROLLER_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envs = {"PATH=/usr/local/bin:/usr/bin:/bin"};
    // Sanitizer builds: the controller reports with the tests' settings.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
      if (const char* v = std::getenv(name))
        envs.push_back(name + ("=" + std::string(v)));
    }
    for (const auto& [k, v] : env) envs.push_back(k + "=" + v);
    if (!cwd.empty()) envs.push_back("PWD=" + cwd);

    std::vector<char*> cargv, cenv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (auto& e : envs) cenv.push_back(e.data());
    cenv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    if (::posix_spawn(&pid_, cargv[0], &fa, &attr, cargv.data(), cenv.data()) !=
        0) {
      pid_ = -1;
    }
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
  }

  ~Controller() {
    for (const char* report :
         {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
          "ERROR: LeakSanitizer", "runtime error:"}) {
      if (err_.find(report) != std::string::npos) {
        ADD_FAILURE() << "sanitizer report from the controller:\n" << err_;
        break;
      }
    }
    if (pid_ > 0 && !reaped_) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (read_fd_ >= 0) ::close(read_fd_);
  }

  pid_t pid() const { return pid_; }

  // Standard error read so far.
  const std::string& err() const { return err_; }

  // Reads standard error until `pred(err())` holds or the deadline passes.
  bool WaitFor(const std::function<bool(const std::string&)>& pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred(err_)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) {
        return pred(err_);
      }
    }
    return true;
  }

  // Waits until standard error contains `text`.
  bool WaitForText(const std::string& text, std::chrono::milliseconds timeout =
                                                std::chrono::seconds(20)) {
    return WaitFor(
        [&](const std::string& e) { return e.find(text) != std::string::npos; },
        timeout);
  }

  // Waits for the controller to end (reading all of standard error).
  RunResult Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    RunResult r;
    WaitFor([](const std::string&) { return false; }, timeout);
    int st = 0;
    // At end of file the controller has exited, or is about to: wait for
    // it. Otherwise the deadline passed and the destructor kills it.
    if (eof_ && ::waitpid(pid_, &st, 0) == pid_) {
      reaped_ = true;
      r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    } else {
      r.timed_out = true;
    }
    r.err = err_;
    return r;
  }

 private:
  // One read; false at end of file or on the deadline.
  bool ReadSome(int timeout_ms) {
    pollfd p{read_fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return false;
    char buf[4096];
    const ssize_t n = ::read(read_fd_, buf, sizeof buf);
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    err_.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int read_fd_ = -1;
  bool reaped_ = false;
  bool eof_ = false;
  std::string err_;
};

// Runs the controller to its end.
inline RunResult RunToEnd(const std::vector<std::string>& args, const Env& env,
                          const std::string& cwd = "") {
  Controller c(args, env, cwd);
  return c.Wait();
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

// Sets the modification time of `path` (creating it) a given number of
// seconds in the past, so each change differs from the last whatever the
// file system's timestamp granularity.
inline void Touch(const std::filesystem::path& path) {
  static int tick = 0;
  std::ofstream(path, std::ios::app).flush();
  const timespec times[2] = {{1000000 + ++tick, 0}, {1000000 + tick, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

}  // namespace controller::e2e

#endif  // ZORVANE_CONTROLLER_E2E_UTIL_H_
