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
#include <condition_variable>
#include <mutex>
#include <string>


namespace supervise {

// Thread-safe. Shared by the command record that started the child, the
// registry, the reaper and whoever stops the child.
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
  bool SignalGroup(int sig);

  // Sends SIGKILL to the group, as SignalGroup, the first time only: true
  // when this call sent it.
  bool KillGroupOnce();

  // The liveness probe: false once finished or when the system says the
  // process does not exist. A process we may not signal (another user's)
  // exists.
  bool Alive();

  // True once the reaper has seen the child end.
  bool finished();

  // Blocks until the child has ended and returns its wait status.
  int Wait();

  // As Wait, but gives up at `deadline`: false when the child still runs.
  bool WaitUntil(Clock::time_point deadline);

  // For the reaper only: records that the child ended with `waitStatus`
  // and wakes the waiters. Called before the child is reaped.
  void Finish(int waitStatus);

 private:
  const pid_t pid_;
  const std::string command_;
  std::mutex mu_;  // held across every signal, so Finish waits for them
  std::condition_variable ended_;
  bool finished_ = false;  // guarded by mu_
  bool killed_ = false;    // guarded by mu_
  int waitStatus_ = 0;     // guarded by mu_; valid once finished_
};

}  // namespace supervise

#endif  // ZORVANE_SUPERVISE_HANDLE_H_
