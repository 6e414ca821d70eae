// Processes as /proc shows them, for tests: what lies below a test, the
// means to leave none of it behind, and what a process does at a moment
// (which signals it ignores, which system call it waits in).
//
// A test process that is a child subreaper (BecomeSubreaper) receives the
// orphans of everything it started, instead of process 1: a background job
// whose shell has ended, a daemon that called setsid. Every process the
// test started therefore stays below it for as long as it lives, and
// EndDescendants can find and end all of them, whether the test passed or
// failed.
//
// Header-only and free of the program's own code, so that any test binary
// can use it.

#ifndef ZORVANE_CONTROLLER_PROC_TEST_UTIL_H_
#define ZORVANE_CONTROLLER_PROC_TEST_UTIL_H_

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace controller {

// A process as /proc shows it.
struct ProcEntry {
  pid_t pid = 0;
  pid_t ppid = 0;
  char state = '?';        // 'Z' for a zombie
  uint64_t startTime = 0;  // clock ticks after boot; with pid, unique
  std::string cmdline;     // arguments joined by blanks
};

inline std::string ReadProcText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// /proc/<pid>/stat into *out (not the command line); false once it is gone.
inline bool ReadProcStat(pid_t pid, ProcEntry* out) {
  const std::string stat =
      ReadProcText("/proc/" + std::to_string(pid) + "/stat");
  // The command name may hold blanks and parentheses: fields follow the
  // last ')'.
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(stat.substr(close + 1));
  out->pid = pid;
  fields >> out->state >> out->ppid;
  // Fields 5 to 21, then the start time (22).
  std::string skip;
  for (int i = 5; i <= 21; ++i) fields >> skip;
  fields >> out->startTime;
  return !fields.fail();
}

// Every process /proc lists now.
inline std::vector<ProcEntry> ListProcs() {
  std::vector<ProcEntry> out;
  DIR* d = ::opendir("/proc");
  if (d == nullptr) return out;
  while (const dirent* e = ::readdir(d)) {
    const pid_t pid = std::atoi(e->d_name);
    ProcEntry p;
    if (pid <= 0 || !ReadProcStat(pid, &p)) continue;
    p.cmdline = ReadProcText("/proc/" + std::string(e->d_name) + "/cmdline");
    for (char& c : p.cmdline) {
      if (c == '\0') c = ' ';
    }
    if (!p.cmdline.empty()) p.cmdline.pop_back();
    out.push_back(p);
  }
  ::closedir(d);
  return out;
}

// The children of `parent`.
inline std::vector<ProcEntry> ChildrenOf(pid_t parent) {
  std::vector<ProcEntry> out;
  for (const ProcEntry& p : ListProcs()) {
    if (p.ppid == parent) out.push_back(p);
  }
  return out;
}

// The processes below `root`: its children, their children...
inline std::vector<ProcEntry> DescendantsOf(pid_t root) {
  const std::vector<ProcEntry> all = ListProcs();
  std::vector<ProcEntry> out;
  std::vector<pid_t> todo = {root};
  while (!todo.empty()) {
    const pid_t parent = todo.back();
    todo.pop_back();
    for (const ProcEntry& p : all) {
      if (p.ppid == parent && p.pid != root) {
        out.push_back(p);
        todo.push_back(p.pid);
      }
    }
  }
  return out;
}

// Whether `pid` ignores `sig` (SigIgn of /proc/<pid>/status); false once it
// is gone. A shell sets up its dispositions after it starts: a test that
// needs a signal ignored waits for this.
inline bool IgnoresSignal(pid_t pid, int sig) {
  const std::string status =
      ReadProcText("/proc/" + std::to_string(pid) + "/status");
  const auto at = status.find("\nSigIgn:");
  if (at == std::string::npos) return false;
  const uint64_t mask = std::strtoull(status.c_str() + at + 8, nullptr, 16);
  return (mask >> (sig - 1)) & 1;
}

// The system call the thread `tid` of `pid` is blocked in (SYS_...
// numbers), or -1 while it runs or is not in one, or when it is gone.
// A thread stopped by SIGSTOP while it waited still shows that call.
inline long BlockedSyscall(pid_t pid, pid_t tid) {
  const std::string text =
      ReadProcText("/proc/" + std::to_string(pid) + "/task/" +
                   std::to_string(tid) + "/syscall");
  char* end = nullptr;
  const long nr = std::strtol(text.c_str(), &end, 10);
  return end == text.c_str() ? -1 : nr;
}

// Whether the thread `tid` of `pid` sleeps for a time (nanosleep,
// clock_nanosleep, or one of them resumed after a stop).
inline bool Sleeping(pid_t pid, pid_t tid) {
  const long nr = BlockedSyscall(pid, tid);
  return nr == SYS_clock_nanosleep || nr == SYS_restart_syscall
#ifdef SYS_nanosleep
         || nr == SYS_nanosleep
#endif
      ;
}

// Whether a thread of `pid` waits for a descriptor (poll or ppoll).
inline bool Polling(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = ::opendir(tasks.c_str());
  if (d == nullptr) return false;
  bool polling = false;
  while (const dirent* e = ::readdir(d)) {
    const pid_t tid = std::atoi(e->d_name);
    if (tid <= 0) continue;
    const long nr = BlockedSyscall(pid, tid);
#ifdef SYS_poll
    if (nr == SYS_poll) polling = true;
#endif
    if (nr == SYS_ppoll) polling = true;
  }
  ::closedir(d);
  return polling;
}

// Makes this process the reaper of its descendants' orphans.
inline void BecomeSubreaper() {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

// Sends SIGKILL to the process `seen` describes, if it is still that
// process: the signal goes through a pidfd opened before the start time is
// checked, so a number freed and given to a stranger meanwhile is never
// signalled.
inline void KillSame(const ProcEntry& seen) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, seen.pid, 0));
  if (fd < 0) return;
  ProcEntry now;
  if (ReadProcStat(seen.pid, &now) && now.startTime == seen.startTime) {
    ::syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0);
  }
  ::close(fd);
}

// Kills every descendant of this process, and waits until none is left
// alive or `timeout` has passed; true when none is. A zombie counts as
// gone: its parent, or this process's reaper, reaps it. Without
// BecomeSubreaper, orphans escape to process 1 and are not found.
inline bool EndDescendants(
    std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    bool alive = false;
    for (const ProcEntry& p : DescendantsOf(::getpid())) {
      if (p.state == 'Z' || p.state == 'X') continue;
      alive = true;
      KillSame(p);
    }
    if (!alive) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_PROC_TEST_UTIL_H_
