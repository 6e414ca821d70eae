// Processes as /proc shows them, and descriptors that pin one process.
//
// A process number is freed when its process is reaped and may then be
// given to an unrelated process at any moment. Signals sent by number can
// therefore reach a stranger. A PidFd refers to one process for as long as
// it is open: a signal through it reaches that process or nobody.

#ifndef ZORVANE_SUPERVISE_PROC_H_
#define ZORVANE_SUPERVISE_PROC_H_

#include <sys/types.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace supervise::proc {

// One process (a thread group) as its /proc/<pid>/stat shows it.
struct ProcessInfo {
  pid_t pid = 0;
  pid_t ppid = 0;
  pid_t pgrp = 0;
  char state = '?';        // 'R', 'S', 'Z', 'T'... ('Z': ended, not reaped)
  uint64_t utime = 0;      // user CPU of all its threads, in clock ticks
  uint64_t stime = 0;      // system CPU of all its threads, in clock ticks
  uint64_t startTime = 0;  // clock ticks after boot; with pid, unique

  bool ended() const { return state == 'Z' || state == 'X'; }
};

// Reads /proc/<pid>/stat into *out. False when the process is gone.
bool ReadProcess(pid_t pid, ProcessInfo* out);

// Parses the text of a /proc/<pid>/stat for the process `pid` into *out.
// The command name may hold blanks and parentheses: the fields are counted
// from the last ")". False, *out untouched, when the text is cut short or
// malformed.
bool ParseProcessStat(std::string_view text, pid_t pid, ProcessInfo* out);

// Every process that /proc lists now; none when /proc belongs to another
// pid namespace (its numbers would not be ours).
std::vector<ProcessInfo> ListProcesses();

// Whether /proc shows this process's own pid namespace: /proc/self names
// the number getpid() gives. False when /proc is missing, or mounted for
// another namespace (a PID namespace made without mounting /proc anew).
// Decided once.
bool ProcIsOurs();

// Whether pid descriptors work here; when they do not, ENOSYS (an old
// kernel, a user-mode emulator) or the like goes to *err. Decided once.
bool PidFdsWork(int* err = nullptr);

// The processes of `all` that descend from `root` (children, their
// children...), not `root` itself, ended ones included.
std::vector<ProcessInfo> Descendants(const std::vector<ProcessInfo>& all,
                                     pid_t root);

// An open pidfd: a descriptor for one process. Move-only; closes on
// destruction. Thread-compatible (one owner).
class PidFd {
 public:
  PidFd() = default;
  ~PidFd();
  PidFd(PidFd&& other) noexcept;
  PidFd& operator=(PidFd&& other) noexcept;
  PidFd(const PidFd&) = delete;
  PidFd& operator=(const PidFd&) = delete;

  // Opens the process `seen` describes, if it is still that process (same
  // number and start time) once the descriptor holds it; else an invalid
  // PidFd. `seen` may be stale by any amount of time.
  static PidFd OpenSame(const ProcessInfo& seen);

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Sends `sig` to the process; false when it has ended (or on failure).
  bool Signal(int sig) const;

 private:
  explicit PidFd(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace supervise::proc

#endif  // ZORVANE_SUPERVISE_PROC_H_
