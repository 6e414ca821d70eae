// The handle of one managed child process.
//
// A child's number stays its own until the child is reaped; after that it
// may belong to anyone. The handle therefore signals only while it is not
// finished, and the reaper marks it finished (under the handle's lock)
// before it reaps the child: a signal that is already on its way completes
// first, and no later signal can reach a reused number.

#ifndef ZORVANE_SUPERVISE_HANDLE_H_
#define ZORVANE_SUPERVISE_HANDLE_H_

#include <sys/types.h>

#include <chrono>
#include <string>

#include "base/mutex.h"
#include "base/thread_annotations.h"


namespace supervise {

// Thread-safe. Shared by the command record that started the child, the
// registry, the reaper and whoever stops the child. Its lock is the last
// in the order: the reaper calls in holding its own (Finish, SignalGroup),
// and nothing is called out to while it is held.
class ProcessHandle {
 public:
  using Clock = std::chrono::steady_clock;

  // The child `pid`, which leads its own process group and runs `command`.
  ProcessHandle(pid_t pid, std::string command)
      : pid_(pid), command_(std::move(command)) {}
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;

  pid_t pid() const { return pid_; }
  // The command text the child runs, for messages.
  const std::string& command() const { return command_; }

  // Sends `sig` to the process group the child leads. False, sending
  // nothing, once the handle is finished.
  bool SignalGroup(int sig) EXCLUDES(mu_);

  // Sends SIGKILL to the group, as SignalGroup, the first time only: true
  // when this call sent it.
  bool KillGroupOnce() EXCLUDES(mu_);

  // The liveness probe: false once finished or when the system says the
  // process does not exist. A process we may not signal (another user's)
  // exists.
  bool Alive() EXCLUDES(mu_);

  // True once the reaper has seen the child end.
  bool finished() EXCLUDES(mu_);

  // Blocks until the child has ended and returns its wait status.
  int Wait() EXCLUDES(mu_);

  // As Wait, but gives up at `deadline`: false when the child still runs.
  bool WaitUntil(Clock::time_point deadline) EXCLUDES(mu_);

  // For the reaper only: records that the child ended with `waitStatus`
  // and wakes the waiters. Called before the child is reaped.
  void Finish(int waitStatus) EXCLUDES(mu_);

 private:
  // The reaper names this lock in its lock order (reaper.h).
  friend class Reaper;

  const pid_t pid_;
  const std::string command_;
  base::Mutex mu_;  // held across every signal, so Finish waits for them
  base::CondVar ended_;
  bool finished_ GUARDED_BY(mu_) = false;
  bool killed_ GUARDED_BY(mu_) = false;
  int waitStatus_ GUARDED_BY(mu_) = 0;  // valid once finished_
};

}  // namespace supervise

#endif  // ZORVANE_SUPERVISE_HANDLE_H_
