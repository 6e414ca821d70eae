// The registry of managed processes: the last process the controller
// started of each kind, and running, starting, waiting for and
// interrupting them.
//
// Every command runs in configuration().workDir (supervise/process.h says
// what else a child gets).
//
// Locking: the registry's `mu` is taken only by the command runner.
// startProcess and killProcess read and write the registry and REQUIRE
// that the caller holds `mu`. runPrep and waitProcess do not touch the
// registry and block for a child's whole life; waitProcess must be called
// without `mu` held (the runner holds it across runPrep on purpose: file
// changes wait until the server has started).

#ifndef ZORVANE_CONTROLLER_REGISTRY_H_
#define ZORVANE_CONTROLLER_REGISTRY_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "controller/status.h"
#include "supervise/handle.h"
#include "supervise/process.h"
#include "supervise/reaper.h"

namespace controller {

using supervise::Command;
using supervise::ProcessHandle;

// The kind of a managed process.
enum ProcessType : int64_t {
  server = 0,       // the mode's start command
  fileWatcher = 1,  // the on-change command of a file change
};

// The last process the controller started of each kind. There is exactly
// one, reached through zorvaneControllerManagedProcesses(); it is never
// destroyed.
struct controllerManagedProcesses {
  // Taken only by the command runner, never across a wait for a child.
  // Not re-entrant: nothing run under it takes it again. First in the lock
  // order: a start or a kill under it takes the reaper's lock, and that one
  // a handle's. One lock for the one registry: name it by the type
  // (controllerManagedProcesses::mu), so that the analysis sees one lock.
  static inline base::Mutex mu
      ACQUIRED_BEFORE(supervise::Reaper::Get().mutex());
  // Pid (and so process group id) of each kind; a missing kind reads as
  // 0, which means nothing is recorded.
  std::unordered_map<ProcessType, int64_t> pids GUARDED_BY(mu);
  // Handle of each kind, shared with the Command of the run waiting on
  // it; a missing kind reads as none. After the process ends on its own,
  // its finished handle and its pid stay until the next start or kill of
  // the kind.
  std::unordered_map<ProcessType, std::shared_ptr<ProcessHandle>> processes
      GUARDED_BY(mu);
  // The groups killProcess has interrupted that no run has waited for yet
  // (waitStopped): a file-change run starts its command only once they
  // have stopped.
  std::vector<std::shared_ptr<ProcessHandle>> stopping GUARDED_BY(mu);
  // Counts file-change runs that took mu; a run that finds a later count
  // after its wait leaves the start to that later run.
  uint64_t changeGeneration GUARDED_BY(mu) = 0;
};

// The one registry, created empty on the first call (exactly once, even
// when first calls race). Never destroyed: detached runs use it until the
// process ends.
controllerManagedProcesses& zorvaneControllerManagedProcesses();

// The process that serves in the server's place: the last server started,
// or an on-change command that took its place (the kill setting on). Null
// before the first. Kept apart from the registry, under a lock of its own
// that is never held across anything else, so that the signal thread can
// read it while a run holds the registry. Any thread.
std::shared_ptr<ProcessHandle> servingProcess();
void setServingProcess(std::shared_ptr<ProcessHandle> handle);

// What runPrep and startProcess return: the record, and the start (or,
// for runPrep, the run's) error.
struct [[nodiscard]] CommandResult {
  Command cmd;
  Status err;
};

// Runs `commandString` to completion and returns its outcome: a start
// failure, or exitStatusError of its wait status. Records nothing in the
// registry and logs no failure itself (the caller decides).
CommandResult runPrep(const std::string& commandString);

// Starts `commandString` without waiting and records it under
// `theProcessType`, replacing what was recorded (the earlier process is
// not signalled); a server also becomes the serving process. The child
// gets `environment` ("NAME=value" entries), or the controller's own when
// none is given. On a start failure the kind is left with no handle and
// pid 0.
CommandResult startProcess(
    const std::string& commandString, ProcessType theProcessType,
    std::optional<std::vector<std::string>> environment = std::nullopt)
    REQUIRES(controllerManagedProcesses::mu);

// Waits for the child of `cmd` (a record returned by startProcess) to end
// and returns its outcome; logs a failure through Info, unless the
// controller is stopping (the stop ended it). Leaves the registry
// untouched. `theProcessType` is not used. Must be called without
// the registry's mu held.
Status waitProcess(Command& cmd, ProcessType theProcessType)
    EXCLUDES(controllerManagedProcesses::mu);

// Sends SIGINT, then SIGCONT (a stopped group acts on nothing else), to
// the recorded process group of `theProcessType`, adds its handle to
// `stopping`, and forgets the kind (no handle, pid 0) whatever the send
// reported. No error when nothing is recorded; "no such process", logged
// through Error, when nothing of the group is left. With `reportEnded`
// false, a recorded process that has ended by itself (its handle is
// finished) and left nothing of its group running is no error: there was
// nothing to interrupt, and nothing is logged but a Debug line. Only
// signals a group that is still ours (stop.h). Does not wait for the
// group.
Status killProcess(ProcessType theProcessType, bool reportEnded = true)
    REQUIRES(controllerManagedProcesses::mu);

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_REGISTRY_H_
