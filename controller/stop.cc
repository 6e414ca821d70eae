#include "controller/stop.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "controller/config.h"
#include "controller/logger.h"
#include "controller/reaper.h"

namespace controller {
namespace {

int millisUntil(StopClock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - StopClock::now());
  if (left.count() <= 0) return 0;
  return static_cast<int>(std::min<int64_t>(left.count(), 1 << 30));
}

// Waits until one of `fds` turns readable (a pidfd: its process ended),
// `extraFd` turns readable, or `deadline`. False on the deadline or when
// `extraFd` fired.
bool pollUntil(const std::vector<int>& fds, int extraFd,
               StopClock::time_point deadline) {
  std::vector<pollfd> p;
  p.reserve(fds.size() + 1);
  for (int fd : fds) p.push_back({fd, POLLIN, 0});
  if (extraFd >= 0) p.push_back({extraFd, POLLIN, 0});
  for (;;) {
    const int n = ::poll(p.data(), p.size(), millisUntil(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    return extraFd < 0 || (p.back().revents & POLLIN) == 0;
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
  bool Schedule(pid_t pgid, StopClock::time_point when) {
    std::lock_guard lock(mu_);
    if (!due_.emplace(pgid, when).second) return false;
    if (!started_) {
      try {
        std::thread([this] { loop(); }).detach();
        started_ = true;
      } catch (const std::system_error&) {
        // Without the thread the members are killed at the controller's
        // end instead.
      }
    }
    wake_.notify_all();
    return true;
  }

 private:
  void loop() {
    std::unique_lock lock(mu_);
    for (;;) {
      if (due_.empty()) {
        wake_.wait(lock);
        continue;
      }
      const auto next = std::min_element(
          due_.begin(), due_.end(),
          [](const auto& a, const auto& b) { return a.second < b.second; });
      if (StopClock::now() < next->second) {
        wake_.wait_until(lock, next->second);
        continue;
      }
      const pid_t pgid = next->first;
      due_.erase(next);
      lock.unlock();
      for (const proc::PidFd& m : groupMembers(pgid)) m.Signal(SIGKILL);
      lock.lock();
    }
  }

  std::mutex mu_;
  std::condition_variable wake_;
  std::map<pid_t, StopClock::time_point> due_;  // guarded by mu_
  bool started_ = false;                        // guarded by mu_
};

// The live descendants of the controller, each opened as a pidfd.
std::vector<std::pair<proc::ProcessInfo, proc::PidFd>> liveDescendants() {
  std::vector<std::pair<proc::ProcessInfo, proc::PidFd>> out;
  for (const proc::ProcessInfo& p :
       proc::Descendants(proc::ListProcesses(), ::getpid())) {
    if (p.ended()) continue;
    proc::PidFd fd = proc::PidFd::OpenSame(p);
    if (fd.valid()) out.emplace_back(p, std::move(fd));
  }
  return out;
}

}  // namespace

std::vector<proc::PidFd> groupMembers(pid_t pgid) {
  const std::vector<proc::ProcessInfo> all = proc::ListProcesses();
  const pid_t self = ::getpid();
  std::vector<proc::PidFd> members;
  for (const proc::ProcessInfo& p : all) {
    // Our own leader may linger a moment as a zombie child between being
    // finished and reaped; any other holder of the number is a stranger,
    // and the group of that number is not ours any more.
    if (p.pid == pgid && !(p.ended() && p.ppid == self)) return {};
  }
  for (const proc::ProcessInfo& p : all) {
    if (p.pgrp != pgid || p.pid == pgid || p.ended()) continue;
    proc::PidFd fd = proc::PidFd::OpenSame(p);
    if (fd.valid()) members.push_back(std::move(fd));
  }
  return members;
}

Status interruptGroup(ProcessHandle& leader, int sig) {
  if (leader.SignalGroup(sig)) {
    leader.SignalGroup(SIGCONT);
    return Status();
  }
  bool reached = false;
  for (const proc::PidFd& m : groupMembers(leader.pid())) {
    if (m.Signal(sig)) reached = true;
    m.Signal(SIGCONT);
  }
  return reached ? Status() : Status(ErrnoText(ESRCH));
}

void waitStopped(const std::vector<std::shared_ptr<ProcessHandle>>& leaders,
                 StopClock::duration timeout, StopClock::time_point deadline) {
  for (const auto& leader : leaders) {
    if (!leader->WaitUntil(deadline)) {
      if (leader->KillGroupOnce()) {
        Warning.log("Command did not stop within ",
                    Duration{std::chrono::nanoseconds(timeout).count()},
                    ", killing it: ", leader->command());
      }
      // SIGKILL is not refused; a process stuck in the kernel is waited
      // for only briefly, so one bad mount cannot stall every later run.
      (void)leader->WaitUntil(StopClock::now() + std::chrono::seconds(5));
    }
  }
  // The leaders are gone; what is left of their groups gets SIGTERM once,
  // and its SIGKILL later.
  for (const auto& leader : leaders) {
    const pid_t pgid = leader->pid();
    std::vector<proc::PidFd> members = groupMembers(pgid);
    if (members.empty()) continue;
    if (Sweeper::Get().Schedule(pgid, StopClock::now() + timeout)) {
      for (const proc::PidFd& m : members) {
        m.Signal(SIGTERM);
        m.Signal(SIGCONT);
      }
    }
    while (!members.empty()) {
      std::vector<int> fds;
      fds.reserve(members.size());
      for (const proc::PidFd& m : members) fds.push_back(m.fd());
      if (!pollUntil(fds, -1, deadline)) break;
      members = groupMembers(pgid);
    }
  }
}

namespace {

using Told = std::set<std::pair<pid_t, uint64_t>>;

// Sends `sig` and SIGCONT to every live descendant not yet in `*told` (and
// notes it there), then waits until one of them ends, `abortFd` turns
// readable or `deadline` passes, and again, until none is left (true) or
// the wait ended otherwise (false). A process that forks while it stops
// has its children told when they are first seen.
bool tellUntilGone(int sig, Told* told, int abortFd,
                   StopClock::time_point deadline) {
  for (;;) {
    auto live = liveDescendants();
    if (live.empty()) return true;
    std::vector<int> fds;
    fds.reserve(live.size());
    for (auto& [info, fd] : live) {
      if (told->emplace(info.pid, info.startTime).second) {
        fd.Signal(sig);
        fd.Signal(SIGCONT);
      }
      fds.push_back(fd.fd());
    }
    if (!pollUntil(fds, abortFd, deadline)) return false;
  }
}

}  // namespace

bool stopDescendants(int sig, StopClock::duration timeout, int abortFd) {
  Reaper::Get().Close();
  // Each process is told once: the members of a managed group through the
  // group, every other descendant by itself.
  Told told;
  const auto before = liveDescendants();
  std::set<pid_t> groups;
  for (const auto& h : Reaper::Get().Live()) {
    if (h->SignalGroup(sig)) {
      h->SignalGroup(SIGCONT);
      groups.insert(h->pid());
    }
  }
  for (const auto& [info, fd] : before) {
    if (groups.contains(info.pgrp)) told.emplace(info.pid, info.startTime);
  }
  if (tellUntilGone(sig, &told, abortFd, StopClock::now() + timeout)) {
    return false;
  }
  killDescendants();
  // SIGKILL takes effect at once but for processes stuck in the kernel;
  // wait briefly so the caller's exit does not race their ends.
  Told killed;
  (void)tellUntilGone(SIGKILL, &killed, -1,
                      StopClock::now() + std::chrono::seconds(2));
  return true;
}

void killDescendants() {
  for (const auto& h : Reaper::Get().Live()) h->SignalGroup(SIGKILL);
  for (auto& [info, fd] : liveDescendants()) fd.Signal(SIGKILL);
}

}  // namespace controller
