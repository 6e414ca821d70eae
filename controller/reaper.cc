#include "controller/reaper.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <system_error>
#include <thread>

namespace controller {
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
  try {
    std::thread([this] { loop(); }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  threadRunning_ = true;
  return true;
}

int Reaper::Spawn(const std::function<int(pid_t*)>& spawn,
                  const std::string& command,
                  std::shared_ptr<ProcessHandle>* handle) {
  keepChildrenReapable();
  std::unique_lock lock(mu_);
  if (closed_) {
    lock.unlock();
    parkForever();
  }
  if (!ensureThread()) return EAGAIN;
  pid_t pid = 0;
  if (const int err = spawn(&pid); err != 0) return err;
  *handle = std::make_shared<ProcessHandle>(pid, command);
  children_[pid] = *handle;
  ++spawns_;
  spawned_.notify_all();
  return 0;
}

std::vector<std::shared_ptr<ProcessHandle>> Reaper::Live() {
  std::lock_guard lock(mu_);
  std::vector<std::shared_ptr<ProcessHandle>> live;
  live.reserve(children_.size());
  for (const auto& [pid, h] : children_) live.push_back(h);
  return live;
}

void Reaper::Close() {
  std::lock_guard lock(mu_);
  closed_ = true;
}

void Reaper::loop() {
  for (;;) {
    uint64_t spawnsBefore;
    {
      std::lock_guard lock(mu_);
      spawnsBefore = spawns_;
    }
    // Learn which child ended without reaping it: until it is reaped its
    // number stays its own, so the handle can still be finished first.
    siginfo_t info = {};
    if (::waitid(P_ALL, 0, &info, WEXITED | WNOWAIT) != 0) {
      if (errno == ECHILD) {
        // No children at all: orphans only come from children, so wait
        // for the next spawn.
        std::unique_lock lock(mu_);
        spawned_.wait(lock, [&] { return spawns_ != spawnsBefore; });
      }
      continue;  // EINTR
    }
    const pid_t pid = info.si_pid;
    std::lock_guard lock(mu_);
    if (auto it = children_.find(pid); it != children_.end()) {
      it->second->Finish(waitStatusOf(info));
      children_.erase(it);
    }
    while (::waitpid(pid, nullptr, WNOHANG) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace controller
