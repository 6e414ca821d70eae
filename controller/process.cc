#include "controller/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

#include "controller/config.h"
#include "controller/logger.h"
#include "controller/reaper.h"
#include "controller/stop.h"

extern char** environ;

namespace controller {
namespace {

constexpr char kShell[] = "/bin/bash";

const char* const kSignalDescriptions[] = {
    nullptr,
    "hangup",
    "interrupt",
    "quit",
    "illegal instruction",
    "trace/breakpoint trap",
    "aborted",
    "bus error",
    "floating point exception",
    "killed",
    "user defined signal 1",
    "segmentation fault",
    "user defined signal 2",
    "broken pipe",
    "alarm clock",
    "terminated",
    "stack fault",
    "child exited",
    "continued",
    "stopped (signal)",
    "stopped",
    "stopped (tty input)",
    "stopped (tty output)",
    "urgent I/O condition",
    "CPU time limit exceeded",
    "file size limit exceeded",
    "virtual timer expired",
    "profiling timer expired",
    "window changed",
    "I/O possible",
    "power failure",
    "bad system call",
};
constexpr int kDescribedSignals =
    sizeof kSignalDescriptions / sizeof kSignalDescriptions[0];

std::string signalDescription(int sig) {
  if (sig >= 1 && sig < kDescribedSignals) return kSignalDescriptions[sig];
  return "signal " + std::to_string(sig);
}

// Spawn attributes and file actions, destroyed with the scope.
struct SpawnSetup {
  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  int err = 0;  // the first failure of a set-up call

  SpawnSetup() {
    attr_ok = ::posix_spawnattr_init(&attr) == 0;
    actions_ok = ::posix_spawn_file_actions_init(&actions) == 0;
    if (!attr_ok || !actions_ok) err = ENOMEM;
  }
  ~SpawnSetup() {
    if (attr_ok) ::posix_spawnattr_destroy(&attr);
    if (actions_ok) ::posix_spawn_file_actions_destroy(&actions);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Records `rc`, the error number a set-up call returned, if it is the
  // first failure.
  void check(int rc) {
    if (err == 0) err = rc;
  }

 private:
  bool attr_ok = false;
  bool actions_ok = false;
};

}  // namespace

Command::Command(std::string commandString, std::string dir,
                 std::optional<std::vector<std::string>> environment)
    : args_{kShell, "-c", std::move(commandString)},
      dir_(std::move(dir)),
      environment_(std::move(environment)) {}

Status Command::Start() {
  if (process_ != nullptr) return Status("exec: already started");

  SpawnSetup s;
  // The child leads a new group, which exists before posix_spawn returns,
  // so a SIGINT to the group cannot miss it; and a signal to our own
  // group (a terminal's ^C) does not reach it.
  s.check(::posix_spawnattr_setflags(&s.attr, POSIX_SPAWN_SETPGROUP |
                                                  POSIX_SPAWN_SETSIGMASK |
                                                  POSIX_SPAWN_SETSIGDEF));
  s.check(::posix_spawnattr_setpgroup(&s.attr, 0));
  // Ignored and blocked signals survive exec. The controller may have been
  // started with SIGINT ignored (a shell's background job) or call this
  // from a thread that blocks signals; the child must still be
  // interruptible. (The full set leaves out signals 32 and 33: the C
  // library keeps them for itself, refuses to add them to a set, and starts
  // every child with them ignored. Harmless: a C library that uses them
  // sets its own handlers first.)
  sigset_t none;
  sigemptyset(&none);
  s.check(::posix_spawnattr_setsigmask(&s.attr, &none));
  sigset_t all;
  sigfillset(&all);
  s.check(::posix_spawnattr_setsigdefault(&s.attr, &all));

  // The child enters the directory itself, so a missing one is reported
  // by posix_spawn like a failed exec.
  if (!dir_.empty()) {
    s.check(::posix_spawn_file_actions_addchdir_np(&s.actions, dir_.c_str()));
  }
  s.check(::posix_spawn_file_actions_addopen(&s.actions, STDIN_FILENO,
                                             "/dev/null", O_RDONLY, 0));
  // Descriptors are opened close-on-exec everywhere; this also covers any
  // a library opened without it.
  s.check(::posix_spawn_file_actions_addclosefrom_np(&s.actions, 3));
  if (s.err != 0) return ErrnoStatus("fork/exec /bin/bash: ", s.err);

  std::vector<char*> argv;
  for (std::string& a : args_) argv.push_back(a.data());
  argv.push_back(nullptr);
  // A given environment is handed over as it is: the controller's own is
  // never changed (setenv is not safe while other threads read it).
  std::vector<char*> envp;
  if (environment_.has_value()) {
    for (std::string& e : *environment_) envp.push_back(e.data());
    envp.push_back(nullptr);
  }
  char** const childEnv = environment_.has_value() ? envp.data() : environ;

  // posix_spawn returns the error number; it does not set errno.
  const int err = Reaper::Get().Spawn(
      [&](pid_t* pid) {
        return ::posix_spawn(pid, kShell, &s.actions, &s.attr, argv.data(),
                             childEnv);
      },
      args_[2], &process_);
  if (err != 0) return ErrnoStatus("fork/exec /bin/bash: ", err);
  return Status();
}

Status Command::Wait() {
  if (process_ == nullptr) return Status("exec: not started");
  if (waited_) return Status("exec: already waited for");
  waited_ = true;
  waitStatus_ = process_->Wait();
  return exitStatusError(*waitStatus_);
}

Status exitStatusError(int waitStatus) {
  if (WIFEXITED(waitStatus)) {
    const int code = WEXITSTATUS(waitStatus);
    if (code == 0) return Status();
    return Status("exit status " + std::to_string(code));
  }
  if (WIFSIGNALED(waitStatus)) {
    std::string text = "signal: " + signalDescription(WTERMSIG(waitStatus));
    if (WCOREDUMP(waitStatus)) text += " (core dumped)";
    return Status(std::move(text));
  }
  return Status("unexpected wait status " + std::to_string(waitStatus));
}

controllerManagedProcesses& zorvaneControllerManagedProcesses() {
  // Created once even when first calls race; leaked, because detached
  // runs may still use it while the process ends.
  static controllerManagedProcesses* const cmps =
      new controllerManagedProcesses();
  return *cmps;
}

namespace {

struct ServingSlot {
  std::mutex mu;
  std::shared_ptr<ProcessHandle> handle;  // guarded by mu
};

// Never destroyed: the signal thread reads it while the process ends.
ServingSlot& servingSlot() {
  static ServingSlot* const slot = new ServingSlot;
  return *slot;
}

}  // namespace

std::shared_ptr<ProcessHandle> servingProcess() {
  ServingSlot& slot = servingSlot();
  std::lock_guard lock(slot.mu);
  return slot.handle;
}

void setServingProcess(std::shared_ptr<ProcessHandle> handle) {
  ServingSlot& slot = servingSlot();
  std::lock_guard lock(slot.mu);
  slot.handle = std::move(handle);
}

CommandResult runPrep(const std::string& commandString) {
  Info.log("Running Install: ", commandString);
  Command cmd(commandString, configuration().workDir);
  Debug.log("Set workdir:  ", cmd.dir());
  Status err = cmd.Start();
  if (err.ok()) err = cmd.Wait();
  Debug.log("Install complete");
  return {std::move(cmd), std::move(err)};
}

CommandResult startProcess(
    const std::string& commandString, ProcessType theProcessType,
    std::optional<std::vector<std::string>> environment) {
  Info.log("Running: ", commandString);
  Command cmd(commandString, configuration().workDir, std::move(environment));
  Debug.log("Set workdir:  ", cmd.dir());
  controllerManagedProcesses& cmps = zorvaneControllerManagedProcesses();
  if (Status err = cmd.Start(); !err.ok()) {
    cmps.processes.erase(theProcessType);
    cmps.pids.erase(theProcessType);
    return {std::move(cmd), std::move(err)};
  }
  const pid_t pid = cmd.process()->pid();
  cmps.processes[theProcessType] = cmd.process();
  cmps.pids[theProcessType] = pid;
  if (theProcessType == server) setServingProcess(cmd.process());
  Debug.log("New process created with pid ", static_cast<int64_t>(pid));
  return {std::move(cmd), Status()};
}

Status waitProcess(Command& cmd, ProcessType /*theProcessType*/) {
  Debug.log("waitProcess ENTRY");
  Status err = cmd.Wait();
  if (!err.ok() && !Stopping()) Info.log("Wait received error:", err);
  Debug.log("waitProces EXIT");
  return err;
}

Status killProcess(ProcessType theProcessType, bool reportEnded) {
  Debug.log("killProcess Entry");
  controllerManagedProcesses& cmps = zorvaneControllerManagedProcesses();
  const auto it = cmps.pids.find(theProcessType);
  const int64_t pid = it == cmps.pids.end() ? 0 : it->second;
  Debug.log("Process pid is: ", pid);
  if (pid == 0) return Status();

  Debug.log("Killing pid:  ", pid);
  // Decided from the handle, not by sending to a number that may have been
  // reused since the process ended.
  Status status("no such process");
  bool ended = false;
  if (const auto h = cmps.processes.find(theProcessType);
      h != cmps.processes.end() && h->second != nullptr) {
    status = interruptGroup(*h->second, SIGINT);
    if (status.ok()) cmps.stopping.push_back(h->second);
    // The group's leader holds the group's number until it is reaped, so
    // a group found empty means the leader had ended: its handle says so.
    ended = !status.ok() && h->second->finished();
  }
  cmps.processes.erase(theProcessType);
  cmps.pids.erase(theProcessType);
  if (!status.ok() && ended && !reportEnded) {
    Debug.log("Process has ended: nothing to interrupt");
    return Status();
  }
  if (!status.ok()) {
    Error.log("Killing process returned an error SIGINT received error ",
              status);
    return status;
  }
  return Status();
}

}  // namespace controller
