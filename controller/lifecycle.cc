#include "controller/lifecycle.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>

#include "base/thread.h"
#include "controller/config.h"
#include "controller/logger.h"
#include "controller/registry.h"
#include "klog/klog.h"
#include "supervise/proc.h"
#include "supervise/stop.h"

namespace controller {

using supervise::DeadlineAfter;
using supervise::exitStatusError;
using supervise::killDescendants;
using supervise::StackStop;
using supervise::StopClock;
namespace proc = supervise::proc;
namespace {

// The signals whose default action ends a process (and the real-time
// ones, SIGRTMIN to SIGRTMAX), which the signal thread takes instead. Left
// out: SIGKILL, which nobody can take; SIGPIPE, ignored; and the faults of
// the controller's own code (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP,
// SIGSYS): blocked, a real fault would kill without the report that
// sanitizers and debuggers give.
constexpr int kTerminating[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGABRT,   SIGUSR1,
                                SIGUSR2, SIGALRM,   SIGTERM, SIGSTKFLT, SIGXCPU,
                                SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,     SIGPWR};

// A repeat of the stop signal within this window is the same request (a
// wrapper that passes Ctrl-C on sends a second copy); a later one forces.
constexpr auto kSameRequestWindow = std::chrono::milliseconds(500);

// How long the end of the process waits for its last log lines to get out
// while none does (a full standard error whose reader pauses).
constexpr auto kFlushIdle = std::chrono::seconds(1);

// The signals the signal thread takes: written by prepareProcess before
// any thread exists, read-only afterwards.
sigset_t caught;

// Set by whichever comes first, a stop signal or ExitProcess; that one
// ends the process, everyone else waits for it.
std::atomic<bool> ending{false};

[[noreturn]] void waitForTheEnd() {
  for (;;) ::pause();
}

StopClock::duration stopTimeout() {
  return std::chrono::nanoseconds(configuration().zorvaneSTOPTIMEOUT.ns);
}

void openStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is `fd` itself. Not close-on-exec: these are
    // the standard streams children inherit.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

// Ends the process by `sig`, so that its parent sees that death (a shell
// reports 128 + n). Process 1 cannot be ended by its own signal.
[[noreturn]] void endBySignal(int sig) {
  (void)klog::Flush(kFlushIdle);
  if (::getpid() != 1) {
    if (sig == SIGQUIT || sig == SIGABRT || sig == SIGXCPU || sig == SIGXFSZ) {
      // Their default action writes a core of the controller, which no one
      // asked for by stopping the stack.
      const rlimit none = {0, 0};
      ::setrlimit(RLIMIT_CORE, &none);
    }
    ::signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(sig);
  }
  std::_Exit(128 + sig);
}

// The next signal from the signal descriptor `fd`; 0 when none was read.
int readSignal(int fd) {
  signalfd_siginfo info;
  const ssize_t n = ::read(fd, &info, sizeof info);
  if (n != static_cast<ssize_t>(sizeof info)) return 0;  // EINTR
  return static_cast<int>(info.ssi_signo);
}

// SIGUSR1 and SIGUSR2 are the server's, as a container's init passes them
// on: a log reopen, a reload.
bool forTheServer(int sig) {
  return sig == SIGUSR1 || sig == SIGUSR2;
}

void passToTheServer(int sig) {
  const std::shared_ptr<ProcessHandle> serving = servingProcess();
  if (serving != nullptr && serving->SignalGroup(sig)) {
    Debug.log("Passed on to the server's process group: ",
              exitStatusError(sig));
  } else {
    Debug.log("No server to pass this on to: ", exitStatusError(sig));
  }
}

// Stops the stack on `sig` and ends the controller by it. `fd` gives the
// signals that come meanwhile.
[[noreturn]] void stopOn(int sig, int fd) {
  const StopClock::time_point began = StopClock::now();
  // Servers often reload on SIGHUP or dump threads on SIGQUIT; those and
  // every other signal mean stop here.
  StackStop stop(sig == SIGINT || sig == SIGTERM ? sig : SIGTERM);
  Info.log("Stopping the controller on ", exitStatusError(sig));
  const bool killed = stop.Finish(DeadlineAfter(began, stopTimeout()), fd, [&] {
    const int again = readSignal(fd);
    if (again == 0) return false;
    if (forTheServer(again)) {
      passToTheServer(again);
      return false;
    }
    if (again == sig && StopClock::now() - began < kSameRequestWindow) {
      Debug.log("The same stop request again: ", exitStatusError(again));
      return false;
    }
    return true;
  });
  if (killed) {
    Warning.log("Processes still running after the stop were killed");
  }
  endBySignal(sig);
}

void takeSignals(int fd) {
  for (;;) {
    const int sig = readSignal(fd);
    if (sig == 0) continue;
    if (forTheServer(sig)) {
      passToTheServer(sig);
    } else if (ending.exchange(true)) {
      // The controller is already ending (a fatal error): a stop signal
      // now means do not wait.
      killDescendants();
    } else {
      stopOn(sig, fd);
    }
  }
}

}  // namespace

void reportStopReach() {
  constexpr std::string_view kCost =
      ": the stop reaches the commands and their process groups, not "
      "processes that left them (setsid)";
  int err = 0;
  if (!proc::ProcIsOurs()) {
    Warning.log("/proc is not this PID namespace's own", kCost);
  } else if (!proc::PidFdsWork(&err)) {
    Warning.log("Pid descriptors are not available (pidfd_open: " +
                    ErrnoText(err) + ")",
                kCost);
  }
}

void prepareProcess() {
  openStandardDescriptors();
  ::signal(SIGPIPE, SIG_IGN);
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  sigemptyset(&caught);
  const auto take = [](int sig) {
    struct sigaction sa;
    if (::sigaction(sig, nullptr, &sa) == 0 &&
        (sa.sa_flags & SA_SIGINFO) == 0 && sa.sa_handler == SIG_IGN) {
      return;  // ignored at start (nohup): it stays ignored
    }
    sigaddset(&caught, sig);
  };
  for (const int sig : kTerminating) take(sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) take(sig);
  // SIGCHLD is the reaper's to wait for (reaper.h).
  sigset_t blocked = caught;
  sigaddset(&blocked, SIGCHLD);
  ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
}

void startSignalThread() {
  const int fd = ::signalfd(-1, &caught, SFD_CLOEXEC);
  if (fd < 0) {
    Warning.log("Stop signals cannot be taken: signalfd: " + ErrnoText(errno));
    return;
  }
  if (const Status err =
          base::StartDetachedThread("signals", [fd] { takeSignals(fd); });
      !err.ok()) {
    Warning.log("Stop signals cannot be taken: " + ThreadStartReason(err));
  }
}

void ExitProcess(int status) {
  if (ending.exchange(true)) waitForTheEnd();
  StackStop stop(SIGTERM);
  (void)stop.Finish(DeadlineAfter(StopClock::now(), stopTimeout()), -1,
                    nullptr);
  (void)klog::Flush(kFlushIdle);
  std::_Exit(status);
}

}  // namespace controller
