// Managed child processes: the registry, and starting, waiting for and
// interrupting children.
//
// Every child runs `/bin/bash -c <command>` in configuration().workDir,
// with standard input from /dev/null, the controller's standard output,
// standard error and environment (or the environment its starter gives),
// no other open descriptor, an empty signal mask, default dispositions but
// for the two signals the C library keeps ignored for its own use (32 and
// 33: it refuses to name them), and as the leader of a new process group
// (pgid == pid) that already exists when the start returns. The one
// reaper (reaper.h) reaps every child; a wait here waits on the handle.
//
// Ownership: a Command belongs to the run that started it and is used from
// that run's thread only. Its ProcessHandle is shared with the registry,
// which may hand it to another run's thread; the handle is thread-safe.
//
// Locking: the registry's `mu` is taken only by the command runner, only
// exclusively. startProcess and killProcess read and write the registry
// and REQUIRE that the caller holds `mu`. runPrep and waitProcess do not
// touch the registry and block for a child's whole life; waitProcess must
// be called without `mu` held (the runner holds it across runPrep on
// purpose: file changes wait until the server has started).

#ifndef ZORVANE_CONTROLLER_PROCESS_H_
#define ZORVANE_CONTROLLER_PROCESS_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "controller/handle.h"
#include "controller/status.h"

namespace controller {

// The kind of a managed process.
enum ProcessType : int64_t {
  server = 0,       // the mode's start command
  fileWatcher = 1,  // the on-change command of a file change
};

// The record of one child: its setup and, once started, its handle. It is
// started at most once and waited on at most once, by one thread.
class Command {
 public:
  // `/bin/bash -c commandString`, to be run in `dir` with `environment`
  // ("NAME=value" entries), or with the controller's own when none.
  Command(std::string commandString, std::string dir,
          std::optional<std::vector<std::string>> environment = std::nullopt);

  // Starts the child and returns once it runs /bin/bash. A failure, the
  // working directory included, reads "fork/exec /bin/bash: " and the
  // system's message ("no such file or directory").
  Status Start();

  // Waits for the started child to end (the reaper reaps it). No error
  // for exit status 0; else exitStatusError's text, or "exec: not started"
  // when Start did not succeed.
  Status Wait();

  // The wait status once Wait has returned for a started child.
  std::optional<int> waitStatus() const { return waitStatus_; }

  const std::vector<std::string>& args() const { return args_; }
  const std::string& dir() const { return dir_; }
  // Null until Start succeeds.
  const std::shared_ptr<ProcessHandle>& process() const { return process_; }

 private:
  std::vector<std::string> args_;
  std::string dir_;
  std::optional<std::vector<std::string>> environment_;
  std::shared_ptr<ProcessHandle> process_;
  bool waited_ = false;
  std::optional<int> waitStatus_;
};

// The error for a wait status from waitpid: none for exit status 0;
// "exit status N"; "signal: <description>" ("signal: interrupt") with
// " (core dumped)" when a core was written.
Status exitStatusError(int waitStatus);

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

#endif  // ZORVANE_CONTROLLER_PROCESS_H_
