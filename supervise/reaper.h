// The reaper: the table of managed children and the one thread that reaps
// every child of the process.
//
// The controller is its descendants' reaper (a child subreaper, or process
// 1 in a container), so orphans of its commands become its children too. A
// wait per child cannot see those, and leaves them as zombies; one thread
// blocked in waitid(P_ALL) sees every child end. For a managed child it
// finishes the handle (waking whoever waits on it) and then reaps it; any
// other child (an adopted orphan) it simply reaps.
//
// A child may end before posix_spawn returns, so a spawn holds the table's
// lock until the handle is registered, and the reaper takes the same lock
// before it decides what a pid is.
//
// The reaper also keeps the process groups its managed children lead, for
// as long as they may hold anything. A group's number is the controller's
// while its leader is unreaped; after that, while a child of the
// controller is still in it (an unreaped process keeps its group's number
// from being given out again). Orphans of a group come to the controller,
// its descendants' reaper, so what outlives a leader is reached through
// its group without /proc, and never a stranger that took the number. A
// member that is not the controller's child (its parent still runs) is
// reached only while such a child remains.
//
// With SIGCHLD blocked in every thread (prepareProcess), the reaping thread
// also sees orphans that arrive while the controller has no child at all
// (process 1 of a container, after a `docker exec`).
//
// The reaper reaps every child of the process: code that links this must
// not start and wait for children of its own.

#ifndef ZORVANE_SUPERVISE_REAPER_H_
#define ZORVANE_SUPERVISE_REAPER_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "supervise/handle.h"

namespace supervise {

class Reaper {
 public:
  // The one reaper. Never destroyed: detached threads use it while the
  // process ends. Its thread starts with the first Spawn.
  static Reaper& Get();

  // Starts a child by calling `spawn`, which returns 0 and sets *pid, or
  // returns an error number (as posix_spawn does). On success *handle is
  // the new child's handle, registered before the reaper can see the child
  // end. Returns the error number. After Close, never returns: the process
  // is ending, and nothing new may start.
  int Spawn(const std::function<int(pid_t*)>& spawn, const std::string& command,
            std::shared_ptr<ProcessHandle>* handle) EXCLUDES(mu_);

  // The handles of the managed children that have not ended.
  std::vector<std::shared_ptr<ProcessHandle>> Live() EXCLUDES(mu_);

  // The process groups of managed children that may still hold processes:
  // the leader runs, or a child of the controller is left in the group.
  std::vector<pid_t> Groups() EXCLUDES(mu_);

  // Sends `sig` to the group `pgid` of a managed child while it is still
  // the controller's (see above). False, sending nothing, otherwise.
  bool SignalGroup(pid_t pgid, int sig) EXCLUDES(mu_);

  // Whether the group `pgid` of a managed child whose leader has been
  // reaped still holds a child of the controller.
  bool HasLeftovers(pid_t pgid) EXCLUDES(mu_);

  // Waits until a child is reaped after `*seen` (a count this returns
  // through *seen) or `deadline`. False on the deadline.
  bool WaitForReap(uint64_t* seen,
                   std::chrono::steady_clock::time_point deadline)
      EXCLUDES(mu_);

  // A descriptor that turns readable when a child has been reaped; read it
  // (8 bytes) to wait again. For one waiter at a time, the controller's own
  // stop; -1 when it cannot be made.
  int ReapedFd() EXCLUDES(mu_);

  // Refuses further spawns for good (see Spawn). Reaping goes on.
  void Close() EXCLUDES(mu_);

  // The reaper's lock, for the lock order of the callers' own locks (their
  // ACQUIRED_BEFORE): a caller may hold its lock while it calls in here.
  // Only the reaper takes it.
  const base::Mutex& mutex() const RETURN_CAPABILITY(mu_) { return mu_; }

 private:
  Reaper() = default;
  void loop() EXCLUDES(mu_);
  // Whether the reaping thread runs; starts it if not.
  bool ensureThread() REQUIRES(mu_);
  // Whether `pgid`, whose leader has been reaped, holds a child of ours
  // (and is not a stranger's group of the same number); forgets the group
  // when it holds none.
  bool leftoversLocked(pid_t pgid) REQUIRES(mu_);
  // Waits for the next SIGCHLD, or spawn when SIGCHLD is not blocked.
  // Gives mu_ up while it waits.
  void waitForChildren() REQUIRES(mu_);

  // Taken before a handle's (it finishes and signals handles under it);
  // held across a spawn, never across a wait for a child to end.
  base::Mutex mu_ ACQUIRED_BEFORE(ProcessHandle::mu_);
  base::CondVar spawned_;  // signalled on every new child
  base::CondVar reaped_;   // signalled on every reap
  std::unordered_map<pid_t, std::shared_ptr<ProcessHandle>> children_
      GUARDED_BY(mu_);
  std::set<pid_t> groups_ GUARDED_BY(mu_);
  uint64_t spawns_ GUARDED_BY(mu_) = 0;
  uint64_t reaps_ GUARDED_BY(mu_) = 0;
  int reapedFd_ GUARDED_BY(mu_) = -1;
  bool closed_ GUARDED_BY(mu_) = false;
  bool threadRunning_ GUARDED_BY(mu_) = false;
};

}  // namespace supervise

#endif  // ZORVANE_SUPERVISE_REAPER_H_
