// What /proc tells about a running process: its CPU time, its peak
// resident memory and its children. Linux only.

#ifndef ZORVANE_BENCH_PROC_STATS_H_
#define ZORVANE_BENCH_PROC_STATS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

/// The fields of /proc/<pid>/stat the benchmark uses.
struct ProcStat {
  char state = 0;  // 'R', 'S', 'T', 'Z', ...
  pid_t ppid = 0;
  pid_t pgrp = 0;
  // User plus system CPU of every thread, ended threads included, in clock
  // ticks (sysconf(_SC_CLK_TCK) a second).
  int64_t cpuTicks = 0;
};

/// Parses the text of /proc/<pid>/stat. The command name in parentheses may
/// hold blanks and parentheses itself; the fields are counted from the last
/// ")". False when the text is cut short or malformed.
bool ParseProcStat(std::string_view text, ProcStat* out);

/// Reads /proc/<pid>/stat. Returns an empty text, or what failed.
[[nodiscard]] std::string ReadProcStat(pid_t pid, ProcStat* out);

/// Parses the "VmHWM:" line of /proc/<pid>/status (peak resident set size)
/// into bytes. False when there is none.
bool ParsePeakResident(std::string_view text, int64_t* bytes);

/// Reads the peak resident set size of `pid` in bytes. Returns an empty
/// text, or what failed.
[[nodiscard]] std::string ReadPeakResident(pid_t pid, int64_t* bytes);

/// The fields of /proc/<pid>/status a long run samples; -1 for a field the
/// text lacks (a kernel thread has no memory lines).
struct ProcStatus {
  int64_t threads = -1;
  int64_t resident = -1;      // VmRSS, bytes
  int64_t peakResident = -1;  // VmHWM, bytes
};

/// Parses the text of /proc/<pid>/status. False when it has no "Threads:"
/// line or a field above is malformed.
bool ParseProcStatus(std::string_view text, ProcStatus* out);

/// Reads /proc/<pid>/status. Returns an empty text, or what failed.
[[nodiscard]] std::string ReadProcStatus(pid_t pid, ProcStatus* out);

/// The descriptors `pid` holds open (entries of /proc/<pid>/fd), or -1 when
/// they cannot be listed.
int64_t CountDescriptors(pid_t pid);

/// One process of a /proc scan.
struct ProcessEntry {
  pid_t pid = 0;
  ProcStat stat;
};

/// Every process /proc lists, as one scan saw them: a process that ends
/// while the scan runs may be missing or shown as a zombie.
std::vector<ProcessEntry> ListProcesses();

/// The processes of `all` below `root` (children, their children, ...),
/// `root` excluded.
std::vector<ProcessEntry> DescendantsOf(const std::vector<ProcessEntry>& all,
                                        pid_t root);

/// The processes whose parent is `parent`, found by scanning /proc. Only a
/// stopped parent's list stays true after the call: a running one may start
/// or reap children at any time.
std::vector<pid_t> ChildrenOf(pid_t parent);

/// CPU ticks in seconds.
double TicksToSeconds(int64_t ticks);

}  // namespace bench

#endif  // ZORVANE_BENCH_PROC_STATS_H_
