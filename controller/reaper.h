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
// The reaper reaps every child of the process: code that links this must
// not start and wait for children of its own.

#ifndef ZORVANE_CONTROLLER_REAPER_H_
#define ZORVANE_CONTROLLER_REAPER_H_

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "controller/handle.h"

namespace controller {

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
            std::shared_ptr<ProcessHandle>* handle);

  // The handles of the managed children that have not ended.
  std::vector<std::shared_ptr<ProcessHandle>> Live();

  // Refuses further spawns for good (see Spawn). Reaping goes on.
  void Close();

 private:
  Reaper() = default;
  void loop();
  // Whether the reaping thread runs; starts it if not. REQUIRES: mu_.
  bool ensureThread();

  std::mutex mu_;
  std::condition_variable spawned_;  // signalled on every new child
  // Guarded by mu_.
  std::unordered_map<pid_t, std::shared_ptr<ProcessHandle>> children_;
  uint64_t spawns_ = 0;
  bool closed_ = false;
  bool threadRunning_ = false;
};

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_REAPER_H_
