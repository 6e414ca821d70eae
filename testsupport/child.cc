#include "testsupport/child.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "testsupport/proc.h"

namespace testsupport {

namespace {

volatile sig_atomic_t interrupted = 0;

void OnInterrupt(int) {
  interrupted = 1;
}

// Time left until `deadline`, never negative.
timespec Left(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
      deadline - Clock::now());
  const int64_t ns = left.count() < 0 ? 0 : left.count();
  return {static_cast<time_t>(ns / 1000000000),
          static_cast<long>(ns % 1000000000)};
}

void Reaped(pid_t pid) {
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Ends `pid`, a child of this process, with everything it started. It is
// stopped first: a stopped parent can neither start nor reap a child, so
// the list of its children stays true and no listed process id is freed
// for reuse before its group is killed.
void End(pid_t pid) {
  kill(pid, SIGSTOP);
  int status = 0;
  pid_t got;
  do {
    got = waitpid(pid, &status, WUNTRACED);
  } while (got < 0 && errno == EINTR);
  // Reaped already when it had ended: its children, if any, went to the
  // nearest subreaper.
  if (got == pid && !WIFSTOPPED(status)) return;
  for (const ProcEntry& c : ChildrenOf(pid)) {
    // Its own group, as a supervisor makes it; else the child alone.
    if (kill(-c.pid, SIGKILL) != 0) kill(c.pid, SIGKILL);
  }
  if (kill(-pid, SIGKILL) != 0) kill(pid, SIGKILL);
  Reaped(pid);
}

}  // namespace

void CatchInterrupts() {
  struct sigaction sa = {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: a wait in poll must wake up and look at the flag.
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

bool Interrupted() {
  return interrupted != 0;
}

Child::~Child() {
  Kill();
}

std::string Child::Start(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env) {
  ChildOptions options;
  options.argv = argv;
  options.env = env;
  return Start(options);
}

std::string Child::Start(const ChildOptions& options) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return std::string("pipe: ") + strerror(errno);
  }
  std::vector<char*> cargv, cenv;
  for (const std::string& a : options.argv)
    cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const std::string& e : options.env)
    cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (options.closeStdinStdout) {
    posix_spawn_file_actions_addclose(&fa, 0);
    posix_spawn_file_actions_addclose(&fa, 1);
  } else {
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (options.captureStdout) {
      posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    }
  }
  posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
  if (!options.cwd.empty()) {
    posix_spawn_file_actions_addchdir_np(&fa, options.cwd.c_str());
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Its own group: a terminal's interrupt meant for us does not reach it,
  // and Kill can end it by group. Default dispositions and no blocked
  // signal, whatever we were started with: a background job of a script
  // ignores SIGINT and SIGQUIT, and an ignored signal stays ignored across
  // exec.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP |
                                      POSIX_SPAWN_SETSIGMASK |
                                      POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  const int err =
      posix_spawn(&pid_, cargv[0], &fa, &attr, cargv.data(), cenv.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  if (err != 0) {
    pid_ = -1;
    close(fds[0]);
    return "start " + options.argv[0] + ": " + strerror(err);
  }
  out_ = fds[0];
  started_ = true;
  endOrphans_ = options.endOrphans;
  return "";
}

bool Child::ReadSome(Clock::time_point deadline) {
  if (eof_ || out_ < 0) return false;
  for (;;) {
    if (Interrupted()) return false;
    pollfd p = {out_, POLLIN, 0};
    const timespec left = Left(deadline);
    const int ready = ppoll(&p, 1, &left, nullptr);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buf[65536];
    const ssize_t n = read(out_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    output_.append(buf, static_cast<size_t>(n));
    return true;
  }
}

bool Child::WaitForLine(std::string_view text, Clock::time_point deadline,
                        Clock::time_point* at) {
  for (;;) {
    // Whole lines only: a line read in two pieces is looked at once.
    for (size_t end;
         (end = output_.find('\n', lookedAt_)) != std::string::npos;) {
      const std::string_view line(output_.data() + lookedAt_, end - lookedAt_);
      lookedAt_ = end + 1;
      if (line.find(text) != std::string_view::npos) {
        *at = Clock::now();
        return true;
      }
    }
    if (!ReadSome(deadline)) return false;
  }
}

bool Child::WaitFor(const std::function<bool(const std::string&)>& pred,
                    Clock::time_point deadline) {
  while (!pred(output_)) {
    if (!ReadSome(deadline)) return pred(output_);
  }
  return true;
}

bool Child::ReadUntil(Clock::time_point deadline) {
  while (ReadSome(deadline)) {
  }
  const size_t end = output_.rfind('\n');
  if (end != std::string::npos && end + 1 > lookedAt_) lookedAt_ = end + 1;
  return !Interrupted();
}

bool Child::NextLine(Clock::time_point deadline, std::string* line,
                     Clock::time_point* at) {
  for (;;) {
    const size_t end = output_.find('\n', lookedAt_);
    if (end != std::string::npos) {
      line->assign(output_, lookedAt_, end - lookedAt_);
      lookedAt_ = end + 1;
      *at = Clock::now();
      // A long run's output would grow without end: drop what has been
      // looked at, keeping enough for Tail.
      constexpr size_t kKeep = 1 << 16;
      if (lookedAt_ > 16 * kKeep) {
        const size_t cut = output_.rfind('\n', lookedAt_ - kKeep);
        if (cut != std::string::npos) {
          output_.erase(0, cut + 1);
          lookedAt_ -= cut + 1;
        }
      }
      return true;
    }
    if (!ReadSome(deadline)) return false;
  }
}

int Child::UnreadBytes() const {
  int n = 0;
  if (out_ < 0 || ioctl(out_, FIONREAD, &n) != 0) return -1;
  return n;
}

void Child::CloseOutput() {
  if (out_ >= 0) close(out_);
  out_ = -1;
}

bool Child::Reap(Clock::time_point deadline, int* status) {
  if (pid_ <= 0) return false;
  const bool block = deadline == Clock::time_point::max();
  for (;;) {
    const pid_t got = waitpid(pid_, status, block ? 0 : WNOHANG);
    if (got == pid_) {
      pid_ = -1;
      return true;
    }
    if (got < 0 && errno != EINTR) return false;
    if (got < 0) continue;
    if (Clock::now() >= deadline || Interrupted()) return false;
    const timespec pause = Left(
        std::min(deadline, Clock::now() + std::chrono::milliseconds(10)));
    nanosleep(&pause, nullptr);
  }
}

bool Child::Stop(int sig, Clock::time_point deadline, int* status) {
  if (pid_ <= 0) return false;
  kill(pid_, sig);
  for (;;) {
    const pid_t got = waitpid(pid_, status, WNOHANG);
    if (got == pid_) {
      pid_ = -1;
      return true;
    }
    if (got < 0 && errno != EINTR) return false;
    if (Clock::now() >= deadline || Interrupted()) return false;
    // Its output keeps coming while it stops. What it left running may
    // hold the pipe open, so the end of output is no sign of its end; once
    // the output has ended, look again after a short pause.
    const Clock::time_point soon = Clock::now() + std::chrono::milliseconds(20);
    if (!ReadSome(std::min(deadline, soon)) && eof_) {
      const timespec pause = Left(std::min(deadline, soon));
      nanosleep(&pause, nullptr);
    }
  }
}

std::string Child::Tail(size_t lines) const {
  size_t start = output_.size();
  if (start > 0 && output_[start - 1] == '\n') --start;
  for (size_t n = 0; start > 0; --start) {
    if (output_[start - 1] == '\n' && ++n == lines) break;
  }
  return output_.substr(start);
}

void Child::Kill() {
  if (!started_) return;
  started_ = false;
  if (pid_ > 0) End(pid_);
  pid_ = -1;
  if (endOrphans_ && IsSubreaper()) {
    // Orphans came to this process: the children just killed, or what a
    // program that ended by itself left running.
    for (const ProcEntry& orphan : ChildrenOf(getpid())) End(orphan.pid);
  }
  // Once every writer is gone the pipe ends; a straggler gets two seconds.
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
  while (ReadSome(deadline)) {
  }
  CloseOutput();
}

}  // namespace testsupport
