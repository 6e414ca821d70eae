// Processes as /proc shows them, for tests and benchmarks: what lies below
// a test, the means to leave none of it behind, and what a process does at
// a moment (which signals it ignores, which system call it waits in).
//
// A test process that is a child subreaper (BecomeSubreaper) receives the
// orphans of everything it started, instead of process 1: a background job
// whose shell has ended, a daemon that called setsid. Every process the
// test started therefore stays below it for as long as it lives, and
// EndDescendants can find and end all of them, whether the test passed or
// failed.
//
// The fields of /proc/<pid>/stat come from the program's own reader, so
// that the tests read processes as the program does.

#ifndef ZORVANE_TESTSUPPORT_PROC_H_
#define ZORVANE_TESTSUPPORT_PROC_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "supervise/proc.h"

namespace testsupport {

/// A process as /proc shows it: its stat fields and its command line.
struct ProcEntry : supervise::proc::ProcessInfo {
  std::string cmdline;  // arguments joined by blanks; filled by ListProcs
};

/// The whole text of a file (of /proc or any other); "" when it cannot be
/// read.
std::string ReadFileText(const std::string& path);

/// /proc/<pid>/stat into *out (not the command line); false once the
/// process is gone.
bool ReadProcStat(pid_t pid, ProcEntry* out);

/// Every process /proc lists now, with its command line. A process that
/// ends while the scan runs may be missing or shown as a zombie.
std::vector<ProcEntry> ListProcs();

/// The children of `parent`. Only a stopped parent's list stays true after
/// the call: a running one may start or reap children at any time.
std::vector<ProcEntry> ChildrenOf(pid_t parent);

/// The processes below `root`: its children, their children...
std::vector<ProcEntry> DescendantsOf(pid_t root);

/// The value on the line "`field`:" of /proc/<pid>/status ("Threads",
/// "SigIgn"), blanks before it taken off; "" when there is none or the
/// process is gone.
std::string StatusField(pid_t pid, const std::string& field);

/// Whether `pid` ignores `sig` (SigIgn of /proc/<pid>/status); false once
/// it is gone. A shell sets up its dispositions after it starts: a test
/// that needs a signal ignored waits for this.
bool IgnoresSignal(pid_t pid, int sig);

/// The system call the thread `tid` of `pid` is blocked in (SYS_...
/// numbers), or -1 while it runs or is not in one, or when it is gone. A
/// thread stopped by SIGSTOP while it waited still shows that call.
long BlockedSyscall(pid_t pid, pid_t tid);

/// Whether the thread `tid` of `pid` sleeps for a time (nanosleep,
/// clock_nanosleep, or one of them resumed after a stop).
bool Sleeping(pid_t pid, pid_t tid);

/// Whether a thread of `pid` waits for a descriptor (poll or ppoll).
bool Polling(pid_t pid);

/// Makes this process the reaper of its descendants' orphans.
void BecomeSubreaper();

/// Whether this process is a subreaper (BecomeSubreaper).
bool IsSubreaper();

/// Sends SIGKILL to the process `seen` describes, if it is still that
/// process: the signal goes through a pid descriptor opened before the
/// start time is checked, so a number freed and given to a stranger
/// meanwhile is never signalled.
void KillSame(const ProcEntry& seen);

/// Kills every descendant of this process, and waits until none is left
/// alive or `timeout` has passed; true when none is. A zombie counts as
/// gone: its parent, or this process's reaper, reaps it. Without
/// BecomeSubreaper, orphans escape to process 1 and are not found.
bool EndDescendants(
    std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace testsupport

#endif  // ZORVANE_TESTSUPPORT_PROC_H_
