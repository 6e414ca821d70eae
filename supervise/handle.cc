#include "supervise/handle.h"

#include <errno.h>
#include <signal.h>

namespace supervise {

bool ProcessHandle::SignalGroup(int sig) {
  base::MutexLock lock(&mu_);
  if (finished_) return false;
  // The leader is not reaped, so it still holds the group's number: the
  // group is ours.
  return ::kill(-pid_, sig) == 0;
}

bool ProcessHandle::KillGroupOnce() {
  base::MutexLock lock(&mu_);
  if (finished_ || killed_) return false;
  killed_ = true;
  return ::kill(-pid_, SIGKILL) == 0;
}

bool ProcessHandle::Alive() {
  base::MutexLock lock(&mu_);
  if (finished_) return false;
  return ::kill(pid_, 0) == 0 || errno != ESRCH;
}

bool ProcessHandle::finished() {
  base::MutexLock lock(&mu_);
  return finished_;
}

int ProcessHandle::Wait() {
  base::MutexLock lock(&mu_);
  while (!finished_) ended_.Wait(&mu_);
  return waitStatus_;
}

bool ProcessHandle::WaitUntil(Clock::time_point deadline) {
  base::MutexLock lock(&mu_);
  while (!finished_) {
    if (!ended_.WaitUntil(&mu_, deadline)) return finished_;
  }
  return true;
}

void ProcessHandle::Finish(int waitStatus) {
  base::MutexLock lock(&mu_);
  finished_ = true;
  waitStatus_ = waitStatus;
  ended_.NotifyAll();
}

}  // namespace supervise
