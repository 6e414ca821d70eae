#include "supervise/reaper.h"

#include <errno.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/thread.h"

namespace supervise {
namespace {

// An ignored SIGCHLD survives exec and lets the kernel reap children
// itself: the reaper would never see them end, and their handles would
// never finish while their numbers were free for reuse.
void keepChildrenReapable() {
  struct sigaction sa;
  if (::sigaction(SIGCHLD, nullptr, &sa) != 0) return;
  const bool ignored =
      (sa.sa_flags & SA_SIGINFO) == 0 && sa.sa_handler == SIG_IGN;
  if (!ignored && (sa.sa_flags & SA_NOCLDWAIT) == 0) return;
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(SIGCHLD, &dfl, nullptr);
}

// The wait status that waitpid would give for what waitid reported.
int waitStatusOf(const siginfo_t& info) {
  switch (info.si_code) {
    case CLD_EXITED:
      return (info.si_status & 0xff) << 8;
    case CLD_DUMPED:
      return (info.si_status & 0x7f) | 0x80;
    default:  // CLD_KILLED
      return info.si_status & 0x7f;
  }
}

[[noreturn]] void parkForever() {
  for (;;) ::pause();
}

}  // namespace

Reaper& Reaper::Get() {
  static Reaper* const reaper = new Reaper;
  return *reaper;
}

bool Reaper::ensureThread() {
  if (threadRunning_) return true;
  if (!base::StartDetachedThread("reaper", [this] { loop(); }).ok()) {
    return false;
  }
  threadRunning_ = true;
  return true;
}

int Reaper::Spawn(const std::function<int(pid_t*)>& spawn,
                  const std::string& command,
                  std::shared_ptr<ProcessHandle>* handle) {
  keepChildrenReapable();
  base::MutexLock lock(&mu_);
  if (closed_) {
    lock.Unlock();
    parkForever();
  }
  if (!ensureThread()) return EAGAIN;
  pid_t pid = 0;
  if (const int err = spawn(&pid); err != 0) return err;
  *handle = std::make_shared<ProcessHandle>(pid, command);
  children_[pid] = *handle;
  groups_.insert(pid);
  ++spawns_;
  spawned_.NotifyAll();
  return 0;
}

std::vector<std::shared_ptr<ProcessHandle>> Reaper::Live() {
  base::MutexLock lock(&mu_);
  std::vector<std::shared_ptr<ProcessHandle>> live;
  live.reserve(children_.size());
  for (const auto& [pid, h] : children_) live.push_back(h);
  return live;
}

std::vector<pid_t> Reaper::Groups() {
  base::MutexLock lock(&mu_);
  std::vector<pid_t> groups;
  for (auto it = groups_.begin(); it != groups_.end();) {
    const pid_t pgid = *it++;  // leftoversLocked may erase it
    if (children_.contains(pgid) || leftoversLocked(pgid)) {
      groups.push_back(pgid);
    }
  }
  return groups;
}

bool Reaper::SignalGroup(pid_t pgid, int sig) {
  base::MutexLock lock(&mu_);
  if (const auto it = children_.find(pgid); it != children_.end()) {
    return it->second->SignalGroup(sig);
  }
  // Checked and sent under mu_: the child that keeps the number ours
  // cannot be reaped in between.
  return leftoversLocked(pgid) && ::kill(-pgid, sig) == 0;
}

bool Reaper::HasLeftovers(pid_t pgid) {
  base::MutexLock lock(&mu_);
  return !children_.contains(pgid) && leftoversLocked(pgid);
}

bool Reaper::leftoversLocked(pid_t pgid) {
  if (!groups_.contains(pgid)) return false;
  siginfo_t info = {};
  // A child of ours that has the group's number as its own pid is not our
  // leader (that one is reaped): the number went to a stranger that leads a
  // group of its own.
  const int options = WEXITED | WNOHANG | WNOWAIT;
  const bool stranger = ::waitid(P_PID, pgid, &info, options) == 0;
  if (!stranger && ::waitid(P_PGID, pgid, &info, options) == 0) return true;
  // Nothing of ours is left in it, and nothing can join a group that is
  // gone: forget it.
  groups_.erase(pgid);
  return false;
}

bool Reaper::WaitForReap(uint64_t* seen,
                         std::chrono::steady_clock::time_point deadline) {
  base::MutexLock lock(&mu_);
  while (reaps_ == *seen && reaped_.WaitUntil(&mu_, deadline)) {
  }
  const bool reaped = reaps_ != *seen;
  *seen = reaps_;
  return reaped;
}

int Reaper::ReapedFd() {
  base::MutexLock lock(&mu_);
  if (reapedFd_ < 0) reapedFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return reapedFd_;
}

void Reaper::Close() {
  base::MutexLock lock(&mu_);
  closed_ = true;
}

void Reaper::waitForChildren() {
  sigset_t blocked;
  if (::pthread_sigmask(SIG_BLOCK, nullptr, &blocked) == 0 &&
      sigismember(&blocked, SIGCHLD) == 1) {
    // An orphan can arrive without any spawn: it is reparented here while
    // alive, and its end raises SIGCHLD, which stays pending while blocked,
    // so none is missed between the failed wait and this one.
    mu_.Unlock();
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    while (::sigwaitinfo(&chld, nullptr) < 0 && errno == EINTR) {
    }
    mu_.Lock();
    return;
  }
  // SIGCHLD is not ours to take: orphans only come from children, so
  // wait for the next spawn.
  const uint64_t before = spawns_;
  while (spawns_ == before) spawned_.Wait(&mu_);
}

void Reaper::loop() {
  for (;;) {
    // Learn which child ended without reaping it: until it is reaped its
    // number stays its own, so the handle can still be finished first.
    siginfo_t info = {};
    const uint64_t spawnsBefore = [&] {
      base::MutexLock lock(&mu_);
      return spawns_;
    }();
    if (::waitid(P_ALL, 0, &info, WEXITED | WNOWAIT) != 0) {
      if (errno == ECHILD) {
        base::MutexLock lock(&mu_);
        // A spawn between the failed wait and the lock has a child to wait
        // for already.
        if (spawns_ == spawnsBefore) waitForChildren();
      }
      continue;  // EINTR
    }
    const pid_t pid = info.si_pid;
    base::MutexLock lock(&mu_);
    const auto it = children_.find(pid);
    const bool managed = it != children_.end();
    if (managed) {
      it->second->Finish(waitStatusOf(info));
      children_.erase(it);
    }
    while (::waitpid(pid, nullptr, WNOHANG) < 0 && errno == EINTR) {
    }
    // Groups that hold nothing any more are forgotten as leaders end, so
    // the set stays as small as what may still be running.
    if (managed) {
      for (auto g = groups_.begin(); g != groups_.end();) {
        const pid_t pgid = *g++;  // leftoversLocked may erase it
        if (!children_.contains(pgid)) (void)leftoversLocked(pgid);
      }
    }
    ++reaps_;
    reaped_.NotifyAll();
    if (reapedFd_ >= 0) {
      const uint64_t one = 1;
      (void)!::write(reapedFd_, &one, sizeof one);
    }
  }
}

}  // namespace supervise
