// Child processes of the controller: starting one and the record of its
// wait.
//
// Every child runs `/bin/bash -c <command>` in the directory its starter
// gives, with standard input from /dev/null, the controller's standard
// output, standard error and environment (or the environment its starter
// gives), no other open descriptor, an empty signal mask, default
// dispositions but for the two signals the C library keeps ignored for its
// own use (32 and 33: it refuses to name them), and as the leader of a new
// process group (pgid == pid) that already exists when the start returns.
// The one reaper (reaper.h) reaps every child; a wait here waits on the
// handle.
//
// Ownership: a Command belongs to the run that started it and is used from
// that run's thread only. Its ProcessHandle may be shared with other
// threads; the handle is thread-safe.

#ifndef ZORVANE_SUPERVISE_PROCESS_H_
#define ZORVANE_SUPERVISE_PROCESS_H_

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/status.h"
#include "supervise/handle.h"

namespace supervise {

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
  base::Status Start();

  // Waits for the started child to end (the reaper reaps it). No error
  // for exit status 0; else exitStatusError's text, or "exec: not started"
  // when Start did not succeed.
  base::Status Wait();

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
base::Status exitStatusError(int waitStatus);

}  // namespace supervise

#endif  // ZORVANE_SUPERVISE_PROCESS_H_
