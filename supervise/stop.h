// Stopping managed processes: interrupting a group for a change, waiting
// for it with a deadline, ending what outlives the group's leader, and
// stopping the whole stack when the controller ends.
//
// A group is signalled only while it is still the controller's (reaper.h):
// its leader unreaped, or a child of the controller still in it. That
// needs no /proc, so a change and a stop reach every command and its group
// even in a PID namespace under its parent's /proc. Processes that left
// their command's group (setsid) are found only through /proc and pid
// descriptors, when both work.
//
// Nothing here logs: the stop signals first and its caller logs after,
// or hears through a callback. Every function is thread-safe and takes no
// lock of its caller's.

#ifndef ZORVANE_SUPERVISE_STOP_H_
#define ZORVANE_SUPERVISE_STOP_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "base/status.h"
#include "supervise/handle.h"
#include "supervise/proc.h"

namespace supervise {

using StopClock = std::chrono::steady_clock;

// `from` plus `timeout`, saturating at the clock's last point: a timeout
// too long for the clock means no deadline, never one in the past.
StopClock::time_point DeadlineAfter(StopClock::time_point from,
                                    StopClock::duration timeout);

// Sends `sig`, then SIGCONT (a stopped process acts on nothing else), to
// the process group that `leader` leads, while anything of it is left and
// it is still the controller's: "no such process" otherwise.
base::Status interruptGroup(ProcessHandle& leader, int sig);

// Waits until each of the interrupted groups `leaders` lead has stopped,
// but not past `deadline`. A leader still running at the deadline gets its
// whole group killed (SIGKILL), and `killed` hears of it (with the leader)
// at once, before the wait for the kill to take. What is left of a group
// once its leader has ended (a background job ignores SIGINT) gets SIGTERM
// and SIGCONT, and SIGKILL `timeout` later from a sweeping thread; it is
// waited for only until `deadline`. Never blocks much past `deadline`.
void waitStopped(const std::vector<std::shared_ptr<ProcessHandle>>& leaders,
                 StopClock::duration timeout, StopClock::time_point deadline,
                 const std::function<void(const ProcessHandle&)>& killed);

// Whether the controller is stopping its stack to end: a command that
// ends now was ended by the controller, not by a failure of its own.
bool Stopping();

// The stop of the whole stack when the controller ends. One per process.
class StackStop {
 public:
  // Refuses new children (Reaper::Close), makes Stopping() true, and
  // signals, once each, what exists now: `sig` and SIGCONT to the groups of
  // the commands still running; SIGTERM and SIGCONT to what is left of
  // groups whose leader has ended, and to every other descendant. Processes
  // born afterwards (a stop handler's helpers) hear nothing until the kill.
  explicit StackStop(int sig);
  StackStop(const StackStop&) = delete;
  StackStop& operator=(const StackStop&) = delete;

  // Waits until nothing of the stack is left, `deadline` passes, or
  // `wakeFd` (when not -1) turns readable and `forced()` says not to wait.
  // Meanwhile, what a command's group holds once its leader has ended, of
  // what existed at the start, gets SIGTERM and SIGCONT unless it had
  // SIGTERM already. Then SIGKILL to whatever is left, and a short wait for
  // it to go. Returns whether SIGKILL was needed.
  bool Finish(StopClock::time_point deadline, int wakeFd,
              const std::function<bool()>& forced);

 private:
  // A descendant seen at the start, held by its pid descriptor.
  struct Seen {
    proc::ProcessInfo info;
    proc::PidFd fd;
    bool heardTerm = false;
  };

  // Whether anything of the stack is left; sends the SIGTERM that
  // follows a leader's end. Fills *fds with what to wait on.
  bool left(std::vector<int>* fds);

  const int sig_;
  std::vector<Seen> seen_;
  std::set<pid_t> running_;             // groups whose leader ran at the start
  std::set<pid_t> followedUp_;          // of those, the ones told to terminate
  std::vector<proc::PidFd> waitingOn_;  // descendants now, for the wait
};

// Sends SIGKILL now to every group of the controller's commands and to
// every descendant it can reach.
void killDescendants();

}  // namespace supervise

#endif  // ZORVANE_SUPERVISE_STOP_H_
