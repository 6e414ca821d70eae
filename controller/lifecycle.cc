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
#include <system_error>
#include <thread>

#include "controller/config.h"
#include "controller/logger.h"
#include "controller/process.h"
#include "controller/stop.h"

namespace controller {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The stop signals the signal thread takes: written by prepareProcess
// before any thread exists, read-only afterwards.
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
  if (::getpid() != 1) {
    if (sig == SIGQUIT) {
      // Its default action writes a core of the controller, which no one
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

void takeSignals(int fd) {
  for (;;) {
    signalfd_siginfo info;
    const ssize_t n = ::read(fd, &info, sizeof info);
    if (n != static_cast<ssize_t>(sizeof info)) continue;  // EINTR
    const int sig = static_cast<int>(info.ssi_signo);
    if (ending.exchange(true)) {
      // The controller is already ending (a fatal error): a stop signal
      // now means do not wait.
      killDescendants();
      continue;
    }
    Info.log("Stopping the controller on ", exitStatusError(sig));
    // Servers often reload on SIGHUP or dump threads on SIGQUIT; both
    // mean stop here.
    const int passOn = sig == SIGHUP || sig == SIGQUIT ? SIGTERM : sig;
    if (stopDescendants(passOn, stopTimeout(), fd)) {
      Warning.log("Processes still running after the stop were killed");
    }
    endBySignal(sig);
  }
}

}  // namespace

void prepareProcess() {
  openStandardDescriptors();
  ::signal(SIGPIPE, SIG_IGN);
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  sigemptyset(&caught);
  for (int sig : kStopSignals) {
    struct sigaction sa;
    if (::sigaction(sig, nullptr, &sa) == 0 &&
        (sa.sa_flags & SA_SIGINFO) == 0 && sa.sa_handler == SIG_IGN) {
      continue;
    }
    sigaddset(&caught, sig);
  }
  ::pthread_sigmask(SIG_BLOCK, &caught, nullptr);
}

void startSignalThread() {
  const int fd = ::signalfd(-1, &caught, SFD_CLOEXEC);
  if (fd < 0) {
    Warning.log("Stop signals cannot be taken: signalfd: " + ErrnoText(errno));
    return;
  }
  try {
    std::thread(takeSignals, fd).detach();
  } catch (const std::system_error& e) {
    Warning.log("Stop signals cannot be taken: " + std::string(e.what()));
  }
}

void ExitProcess(int status) {
  if (ending.exchange(true)) waitForTheEnd();
  (void)stopDescendants(SIGINT, stopTimeout(), -1);
  std::_Exit(status);
}

}  // namespace controller
