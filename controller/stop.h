// Stopping managed processes: interrupting a group for a change, waiting
// for it with a deadline, sweeping what outlives the group's leader, and
// stopping every descendant when the controller ends.
//
// A group is signalled only while it can still be ours. While its leader
// is not reaped, the leader holds the group's number, and a signal to the
// group goes through the leader's handle. Once the leader is reaped, the
// number is free as soon as the group is empty, and a stranger may lead a
// group of that number: the members still left are then found in /proc
// and signalled one by one through pidfds, and nothing is sent when a
// process with the group's number exists (it is not our leader).
//
// Every function here is thread-safe and takes no lock of the registry.

#ifndef ZORVANE_CONTROLLER_STOP_H_
#define ZORVANE_CONTROLLER_STOP_H_

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <vector>

#include "controller/handle.h"
#include "controller/proc.h"
#include "controller/status.h"

namespace controller {

using StopClock = std::chrono::steady_clock;

// Sends `sig`, then SIGCONT (a stopped process acts on nothing else), to
// the process group that `leader` leads, if anything of it is left: "no
// such process" otherwise.
Status interruptGroup(ProcessHandle& leader, int sig);

// The processes other than its leader still in the group `pgid`, whose
// leader has been reaped, opened so that signals reach exactly them.
std::vector<proc::PidFd> groupMembers(pid_t pgid);

// Waits until each of the interrupted groups `leaders` lead has stopped,
// but not past `deadline`. A leader still running at the deadline gets its
// whole group killed (SIGKILL) and a Warning naming its command. Members
// that outlive their leader (a background job ignores SIGINT) get SIGTERM
// and SIGCONT, and SIGKILL `timeout` later from a sweeping thread; they are
// waited for only until `deadline`. Never blocks much past `deadline`.
void waitStopped(const std::vector<std::shared_ptr<ProcessHandle>>& leaders,
                 StopClock::duration timeout, StopClock::time_point deadline);

// Stops every descendant of the controller for its end: refuses new
// children (Reaper::Close), sends `sig` and SIGCONT to every managed group
// and to every other descendant, waits until none is left, `timeout` has
// passed or `abortFd` (when not -1) turns readable, then sends SIGKILL to
// what remains and waits briefly for it to go. Returns whether SIGKILL was
// needed.
bool stopDescendants(int sig, StopClock::duration timeout, int abortFd);

// Sends SIGKILL to every descendant of the controller now.
void killDescendants();

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_STOP_H_
