#include "supervise/stop.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <utility>

#include "base/mutex.h"
#include "base/thread.h"
#include "base/thread_annotations.h"
#include "supervise/reaper.h"

namespace supervise {
namespace {

std::atomic<bool> stopping{false};

int millisUntil(StopClock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - StopClock::now());
  if (left.count() <= 0) return 0;
  return static_cast<int>(std::min<int64_t>(left.count(), 1 << 30));
}

enum class Woke { kDeadline, kChange, kWakeFd };

// Waits until one of `fds` turns readable (a pidfd: its process ended),
// `reapedFd` does (a child was reaped; it is read here), `wakeFd` does, or
// `deadline` passes.
Woke pollUntil(const std::vector<int>& fds, int reapedFd, int wakeFd,
               StopClock::time_point deadline) {
  std::vector<pollfd> p;
  p.reserve(fds.size() + 2);
  for (int fd : fds) p.push_back({fd, POLLIN, 0});
  if (reapedFd >= 0) p.push_back({reapedFd, POLLIN, 0});
  if (wakeFd >= 0) p.push_back({wakeFd, POLLIN, 0});
  for (;;) {
    const int n = ::poll(p.data(), p.size(), millisUntil(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Woke::kDeadline;
    if (wakeFd >= 0 && (p.back().revents & POLLIN) != 0) return Woke::kWakeFd;
    if (reapedFd >= 0) {
      uint64_t count;
      (void)!::read(reapedFd, &count, sizeof count);
    }
    return Woke::kChange;
  }
}

// Sends SIGKILL to what is left of interrupted groups once their members
// had their time. One thread for the process, started when first needed.
class Sweeper {
 public:
  static Sweeper& Get() {
    static Sweeper* const sweeper = new Sweeper;
    return *sweeper;
  }

  // Schedules SIGKILL for the group `pgid` at `when`. False when it is
  // already scheduled (its members have had their SIGTERM).
  bool Schedule(pid_t pgid, StopClock::time_point when) EXCLUDES(mu_) {
    base::MutexLock lock(&mu_);
    if (!due_.emplace(pgid, when).second) return false;
    // Without the thread the members are killed at the controller's end
    // instead.
    if (!started_) {
      started_ = base::StartDetachedThread("stop-sweeper", [this] {
                   loop();
                 }).ok();
    }
    wake_.NotifyAll();
    return true;
  }

 private:
  void loop() EXCLUDES(mu_) {
    base::MutexLock lock(&mu_);
    for (;;) {
      if (due_.empty()) {
        wake_.Wait(&mu_);
        continue;
      }
      const auto next = std::min_element(
          due_.begin(), due_.end(),
          [](const auto& a, const auto& b) { return a.second < b.second; });
      if (StopClock::now() < next->second) {
        (void)wake_.WaitUntil(&mu_, next->second);
        continue;
      }
      const pid_t pgid = next->first;
      due_.erase(next);
      lock.Unlock();
      (void)Reaper::Get().SignalGroup(pgid, SIGKILL);
      lock.Lock();
    }
  }

  // Never held while the reaper's lock is taken.
  base::Mutex mu_;
  base::CondVar wake_;
  std::map<pid_t, StopClock::time_point> due_ GUARDED_BY(mu_);
  bool started_ GUARDED_BY(mu_) = false;
};

// Whether descendants can be listed and held by pid descriptors.
bool canList() {
  return proc::ProcIsOurs() && proc::PidFdsWork();
}

// The live descendants of the controller, each opened as a pidfd; none
// when they cannot be listed and held.
std::vector<std::pair<proc::ProcessInfo, proc::PidFd>> liveDescendants() {
  std::vector<std::pair<proc::ProcessInfo, proc::PidFd>> out;
  if (!canList()) return out;
  for (const proc::ProcessInfo& p :
       proc::Descendants(proc::ListProcesses(), ::getpid())) {
    if (p.ended()) continue;
    proc::PidFd fd = proc::PidFd::OpenSame(p);
    if (fd.valid()) out.emplace_back(p, std::move(fd));
  }
  return out;
}

// Sends `sig`, then SIGCONT, to the group `pgid` while it is ours.
bool tellGroup(pid_t pgid, int sig) {
  if (!Reaper::Get().SignalGroup(pgid, sig)) return false;
  (void)Reaper::Get().SignalGroup(pgid, SIGCONT);
  return true;
}

}  // namespace

StopClock::time_point DeadlineAfter(StopClock::time_point from,
                                    StopClock::duration timeout) {
  StopClock::rep sum;
  if (__builtin_add_overflow(from.time_since_epoch().count(), timeout.count(),
                             &sum)) {
    return timeout.count() > 0 ? StopClock::time_point::max()
                               : StopClock::time_point::min();
  }
  return StopClock::time_point(StopClock::duration(sum));
}

bool Stopping() {
  return stopping.load();
}

base::Status interruptGroup(ProcessHandle& leader, int sig) {
  // While the leader is unreaped this goes through its handle; after that,
  // to what is left of its group, if that is still ours.
  return tellGroup(leader.pid(), sig) ? base::Status() : base::Status(base::ErrnoText(ESRCH));
}

void waitStopped(const std::vector<std::shared_ptr<ProcessHandle>>& leaders,
                 StopClock::duration timeout, StopClock::time_point deadline,
                 const std::function<void(const ProcessHandle&)>& killed) {
  for (const auto& leader : leaders) {
    if (!leader->WaitUntil(deadline)) {
      if (leader->KillGroupOnce() && killed) killed(*leader);
      // SIGKILL is not refused; a process stuck in the kernel is waited
      // for only briefly, so one bad mount cannot stall every later run.
      (void)leader->WaitUntil(StopClock::now() + std::chrono::seconds(5));
    }
  }
  // The leaders are gone; what is left of their groups gets SIGTERM once,
  // and its SIGKILL later.
  Reaper& reaper = Reaper::Get();
  for (const auto& leader : leaders) {
    const pid_t pgid = leader->pid();
    if (!reaper.HasLeftovers(pgid)) continue;
    if (Sweeper::Get().Schedule(pgid,
                                DeadlineAfter(StopClock::now(), timeout))) {
      (void)tellGroup(pgid, SIGTERM);
    }
    uint64_t seen = 0;
    while (reaper.HasLeftovers(pgid) && reaper.WaitForReap(&seen, deadline)) {
    }
  }
}

StackStop::StackStop(int sig) : sig_(sig) {
  Reaper& reaper = Reaper::Get();
  reaper.Close();
  stopping.store(true);
  // Listed before anything is signalled: what a signal makes a process
  // start (a stop handler's helper) is not in the list.
  for (auto& [info, fd] : liveDescendants()) {
    seen_.push_back({info, std::move(fd)});
  }
  // Each process hears the stop once: the members of a group through the
  // group, every other descendant by itself.
  std::set<pid_t> told;
  for (const auto& h : reaper.Live()) {
    if (h->SignalGroup(sig)) {
      h->SignalGroup(SIGCONT);
      running_.insert(h->pid());
      told.insert(h->pid());
    }
  }
  for (const pid_t pgid : reaper.Groups()) {
    if (!told.contains(pgid) && tellGroup(pgid, SIGTERM)) told.insert(pgid);
  }
  for (Seen& s : seen_) {
    if (running_.contains(s.info.pgrp)) {
      s.heardTerm = sig == SIGTERM;
      continue;
    }
    if (!told.contains(s.info.pgrp)) {
      s.fd.Signal(SIGTERM);
      s.fd.Signal(SIGCONT);
    }
    s.heardTerm = true;
  }
}

bool StackStop::left(std::vector<int>* fds) {
  Reaper& reaper = Reaper::Get();
  std::set<pid_t> runningNow;
  for (const auto& h : reaper.Live()) runningNow.insert(h->pid());
  // What a leader leaves behind when it ends gets SIGTERM: a job that
  // ignored the stop's SIGINT (bash starts `cmd &` jobs so) hears it now.
  for (const pid_t pgid : running_) {
    if (sig_ == SIGTERM || runningNow.contains(pgid) ||
        !followedUp_.insert(pgid).second) {
      continue;
    }
    if (!canList()) {
      (void)tellGroup(pgid, SIGTERM);
      continue;
    }
    for (Seen& s : seen_) {
      if (s.info.pgrp != pgid || s.heardTerm) continue;
      s.fd.Signal(SIGTERM);
      s.fd.Signal(SIGCONT);
      s.heardTerm = true;
    }
  }
  waitingOn_.clear();
  for (auto& [info, fd] : liveDescendants()) {
    fds->push_back(fd.fd());
    waitingOn_.push_back(std::move(fd));
  }
  return !runningNow.empty() || !fds->empty() || !reaper.Groups().empty();
}

bool StackStop::Finish(StopClock::time_point deadline, int wakeFd,
                       const std::function<bool()>& forced) {
  const int reapedFd = Reaper::Get().ReapedFd();
  for (;;) {
    std::vector<int> fds;
    if (!left(&fds)) return false;
    const Woke woke = pollUntil(fds, reapedFd, wakeFd, deadline);
    if (woke == Woke::kDeadline || (woke == Woke::kWakeFd && forced())) break;
  }
  // SIGKILL takes effect at once but for processes stuck in the kernel;
  // wait briefly so the caller's exit does not race their ends.
  const auto until = StopClock::now() + std::chrono::seconds(2);
  for (;;) {
    killDescendants();
    std::vector<int> fds;
    if (!left(&fds) || pollUntil(fds, reapedFd, -1, until) == Woke::kDeadline) {
      return true;
    }
  }
}

void killDescendants() {
  Reaper& reaper = Reaper::Get();
  for (const auto& h : reaper.Live()) h->SignalGroup(SIGKILL);
  for (const pid_t pgid : reaper.Groups()) {
    (void)reaper.SignalGroup(pgid, SIGKILL);
  }
  for (auto& [info, fd] : liveDescendants()) fd.Signal(SIGKILL);
}

}  // namespace supervise
