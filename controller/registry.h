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
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "controller/status.h"
#include "supervise/handle.h"
#include "supervise/process.h"

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
  // Pid (and so process group id) of each kind; a missing kind reads as
  // 0, which means nothing is recorded. Guarded by mu.
  std::unordered_map<ProcessType, int64_t> pids;
  // Handle of each kind, shared with the Command of the run waiting on
  // it; a missing kind reads as none. After the process ends on its own,
  // its finished handle and its pid stay until the next start or kill of
  // the kind. Guarded by mu.
  std::unordered_map<ProcessType, std::shared_ptr<ProcessHandle>> processes;
  // The groups killProcess has interrupted that no run has waited for yet
  // (waitStopped): a file-change run starts its command only once they
  // have stopped. Guarded by mu.
  std::vector<std::shared_ptr<ProcessHandle>> stopping;
  // Counts file-change runs that took mu; a run that finds a later count
  // after its wait leaves the start to that later run. Guarded by mu.
  uint64_t changeGeneration = 0;
  // Taken only by the command runner, only exclusively, never across a
  // wait for a child. Not re-entrant: nothing run under it takes it again.
  std::shared_mutex mu;
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
// pid 0. REQUIRES: the caller holds the registry's mu.
CommandResult startProcess(
    const std::string& commandString, ProcessType theProcessType,
    std::optional<std::vector<std::string>> environment = std::nullopt);

// Waits for the child of `cmd` (a record returned by startProcess) to end
// and returns its outcome; logs a failure through Info, unless the
// controller is stopping (the stop ended it). Leaves the registry
// untouched. `theProcessType` is not used. Must be called without
// the registry's mu held.
Status waitProcess(Command& cmd, ProcessType theProcessType);

// Sends SIGINT, then SIGCONT (a stopped group acts on nothing else), to
// the recorded process group of `theProcessType`, adds its handle to
// `stopping`, and forgets the kind (no handle, pid 0) whatever the send
// reported. No error when nothing is recorded; "no such process", logged
// through Error, when nothing of the group is left. With `reportEnded`
// false, a recorded process that has ended by itself (its handle is
// finished) and left nothing of its group running is no error: there was
// nothing to interrupt, and nothing is logged but a Debug line. Only
// signals a group that is still ours (stop.h). Does not wait for the
// group. REQUIRES: the caller holds the registry's mu.
Status killProcess(ProcessType theProcessType, bool reportEnded = true);

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_REGISTRY_H_
