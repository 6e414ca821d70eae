// Managed child processes: the registry, and starting, waiting for and
// interrupting children.
//
// Every child runs `/bin/bash -c <command>` in configuration().workDir,
// with standard input from /dev/null, the controller's standard output,
// standard error and environment, no other open descriptor, the default
// signal mask and dispositions, and as the leader of a new process group
// (pgid == pid) that already exists when the start returns. SIGINT to that
// group is the only signal the controller sends to a managed process.
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
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "controller/status.h"

namespace controller {

// The kind of a managed process.
enum ProcessType : int64_t {
  server = 0,       // the mode's start command
  fileWatcher = 1,  // the on-change command of a file change
};

// One started child: its pid and whether a wait has seen it end.
// Thread-safe. Shared by the Command that started the child and by the
// registry.
class ProcessHandle {
 public:
  explicit ProcessHandle(pid_t pid) : pid_(pid) {}
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;

  pid_t pid() const { return pid_; }

  // Sends `sig` to the process itself (not its group); 0 only tests that
  // it exists. Fails without reaching the system once the handle is
  // finished ("process already finished"), so it never signals a pid that
  // has been reaped and perhaps reused; otherwise fails with the system's
  // error ("no such process").
  Status Signal(int sig);

  // Blocks until the process has ended, marks the handle finished, then
  // reaps it and stores its wait status in *waitStatus. A Signal already
  // under way completes before the reap. Only one thread may wait.
  Status Wait(int* waitStatus);

 private:
  const pid_t pid_;
  std::mutex mu_;
  bool finished_ = false;  // guarded by mu_
};

// The record of one child: its setup and, once started, its handle. It is
// started at most once and waited on at most once, by one thread.
class Command {
 public:
  // `/bin/bash -c commandString`, to be run in `dir`.
  Command(std::string commandString, std::string dir);

  // Starts the child and returns once it runs /bin/bash. A failure, the
  // working directory included, reads "fork/exec /bin/bash: " and the
  // system's message ("no such file or directory").
  Status Start();

  // Waits for the started child to end and reaps it. No error for exit
  // status 0; else exitStatusError's text, or "exec: not started" when
  // Start did not succeed.
  Status Wait();

  const std::vector<std::string>& args() const { return args_; }
  const std::string& dir() const { return dir_; }
  // Null until Start succeeds.
  const std::shared_ptr<ProcessHandle>& process() const { return process_; }

 private:
  std::vector<std::string> args_;
  std::string dir_;
  std::shared_ptr<ProcessHandle> process_;
  bool waited_ = false;
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
  // Taken only by the command runner, only exclusively, never across a
  // wait for a child. Not re-entrant: nothing run under it takes it again.
  std::shared_mutex mu;
};

// The one registry, created empty on the first call (exactly once, even
// when first calls race). Never destroyed: detached runs use it until the
// process ends.
controllerManagedProcesses& zorvaneControllerManagedProcesses();

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
// not signalled). On a start failure the kind is left with no handle and
// pid 0. REQUIRES: the caller holds the registry's mu.
CommandResult startProcess(const std::string& commandString,
                           ProcessType theProcessType);

// Waits for the child of `cmd` (a record returned by startProcess) to end
// and returns its outcome; logs a failure through Info. Leaves the
// registry untouched. `theProcessType` is not used. Must be called without
// the registry's mu held.
Status waitProcess(Command& cmd, ProcessType theProcessType);

// Sends SIGINT to the recorded process group of `theProcessType` and
// forgets the kind (no handle, pid 0) whatever the send reported. No
// error when nothing is recorded; "no such process" when the group is
// gone. Does not wait for the group. REQUIRES: the caller holds the
// registry's mu.
Status killProcess(ProcessType theProcessType);

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_PROCESS_H_
