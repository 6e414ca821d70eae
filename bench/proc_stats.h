// What /proc tells about a running process: its CPU time, its threads,
// memory and descriptors. Linux only. The processes themselves, and the
// fields of their stat files, come from testsupport/proc.h.

#ifndef ZORVANE_BENCH_PROC_STATS_H_
#define ZORVANE_BENCH_PROC_STATS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace bench {

/// The user plus system CPU of every thread of `pid`, ended threads
/// included, in clock ticks (sysconf(_SC_CLK_TCK) a second). Returns an
/// empty text, or what failed.
[[nodiscard]] std::string ReadCpuTicks(pid_t pid, int64_t* ticks);

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

/// CPU ticks in seconds.
double TicksToSeconds(int64_t ticks);

}  // namespace bench

#endif  // ZORVANE_BENCH_PROC_STATS_H_
