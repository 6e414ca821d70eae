#include "supervise/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

#include "supervise/reaper.h"

extern char** environ;

namespace supervise {
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

base::Status Command::Start() {
  if (process_ != nullptr) return base::Status("exec: already started");

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
  if (s.err != 0) return base::ErrnoStatus("fork/exec /bin/bash: ", s.err);

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
  if (err != 0) return base::ErrnoStatus("fork/exec /bin/bash: ", err);
  return base::Status();
}

base::Status Command::Wait() {
  if (process_ == nullptr) return base::Status("exec: not started");
  if (waited_) return base::Status("exec: already waited for");
  waited_ = true;
  waitStatus_ = process_->Wait();
  return exitStatusError(*waitStatus_);
}

base::Status exitStatusError(int waitStatus) {
  if (WIFEXITED(waitStatus)) {
    const int code = WEXITSTATUS(waitStatus);
    if (code == 0) return base::Status();
    return base::Status("exit status " + std::to_string(code));
  }
  if (WIFSIGNALED(waitStatus)) {
    std::string text = "signal: " + signalDescription(WTERMSIG(waitStatus));
    if (WCOREDUMP(waitStatus)) text += " (core dumped)";
    return base::Status(std::move(text));
  }
  return base::Status("unexpected wait status " + std::to_string(waitStatus));
}

}  // namespace supervise
