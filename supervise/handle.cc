#include "supervise/handle.h"

#include <errno.h>
#include <signal.h>

namespace supervise {

bool ProcessHandle::SignalGroup(int sig) {
  std::lock_guard lock(mu_);
  if (finished_) return false;
  // The leader is not reaped, so it still holds the group's number: the
  // group is ours.
  return ::kill(-pid_, sig) == 0;
}

bool ProcessHandle::KillGroupOnce() {
  std::lock_guard lock(mu_);
  if (finished_ || killed_) return false;
  killed_ = true;
  return ::kill(-pid_, SIGKILL) == 0;
}

bool ProcessHandle::Alive() {
  std::lock_guard lock(mu_);
  if (finished_) return false;
  return ::kill(pid_, 0) == 0 || errno != ESRCH;
}

bool ProcessHandle::finished() {
  std::lock_guard lock(mu_);
  return finished_;
}

int ProcessHandle::Wait() {
  std::unique_lock lock(mu_);
  ended_.wait(lock, [&] { return finished_; });
  return waitStatus_;
}

bool ProcessHandle::WaitUntil(Clock::time_point deadline) {
  std::unique_lock lock(mu_);
  return ended_.wait_until(lock, deadline, [&] { return finished_; });
}

void ProcessHandle::Finish(int waitStatus) {
  std::lock_guard lock(mu_);
  finished_ = true;
  waitStatus_ = waitStatus;
  ended_.notify_all();
}

}  // namespace supervise
