#include "supervise/proc.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <string>
#include <string_view>
#include <unordered_map>

namespace supervise::proc {
namespace {

// Reads a small /proc file whole; false when it cannot be opened.
bool readSmallFile(const char* path, std::string* out) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[1024];
  out->clear();
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out->append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  ::close(fd);
  return !out->empty();
}

template <typename T>
bool parseField(std::string_view* rest, T* out) {
  while (!rest->empty() && rest->front() == ' ') rest->remove_prefix(1);
  const auto [end, ec] =
      std::from_chars(rest->data(), rest->data() + rest->size(), *out);
  if (ec != std::errc()) return false;
  rest->remove_prefix(static_cast<size_t>(end - rest->data()));
  return true;
}

bool skipFields(std::string_view* rest, int n) {
  for (int i = 0; i < n; ++i) {
    while (!rest->empty() && rest->front() == ' ') rest->remove_prefix(1);
    const size_t blank = rest->find(' ');
    if (blank == std::string_view::npos) return false;
    rest->remove_prefix(blank);
  }
  return true;
}

}  // namespace

bool ProcIsOurs() {
  // A controller that is process 1 of a namespace under the parent's /proc
  // sees other numbers there than its own: the processes it would find are
  // not what it thinks.
  static const bool ours = [] {
    char link[32] = {};
    const ssize_t n = ::readlink("/proc/self", link, sizeof link - 1);
    return n > 0 && std::string_view(link, static_cast<size_t>(n)) ==
                        std::to_string(::getpid());
  }();
  return ours;
}

bool PidFdsWork(int* err) {
  static const int error = [] {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0));
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
  }();
  if (err != nullptr) *err = error;
  return error == 0;
}

bool ReadProcess(pid_t pid, ProcessInfo* out) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  std::string text;
  return readSmallFile(path.c_str(), &text) &&
         ParseProcessStat(text, pid, out);
}

bool ParseProcessStat(std::string_view text, pid_t pid, ProcessInfo* out) {
  // "pid (comm) state ppid pgrp ..."; comm may hold blanks and ")", so the
  // fields start after the last ")".
  const size_t close = text.rfind(')');
  if (close == std::string_view::npos || close + 2 >= text.size()) {
    return false;
  }
  std::string_view rest = text.substr(close + 2);
  ProcessInfo p;
  p.pid = pid;
  p.state = rest.front();
  rest.remove_prefix(1);
  // Fields 4 and 5, 8 more to utime and stime (14, 15), then 6 more to the
  // start time (22).
  if (!parseField(&rest, &p.ppid) || !parseField(&rest, &p.pgrp) ||
      !skipFields(&rest, 8) || !parseField(&rest, &p.utime) ||
      !parseField(&rest, &p.stime) || !skipFields(&rest, 6) ||
      !parseField(&rest, &p.startTime)) {
    return false;
  }
  *out = p;
  return true;
}

std::vector<ProcessInfo> ListProcesses() {
  std::vector<ProcessInfo> all;
  if (!ProcIsOurs()) return all;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return all;
  while (const dirent* e = ::readdir(dir)) {
    pid_t pid = 0;
    const std::string_view name = e->d_name;
    const auto [end, ec] =
        std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec != std::errc() || end != name.data() + name.size()) continue;
    ProcessInfo p;
    if (ReadProcess(pid, &p)) all.push_back(p);
  }
  ::closedir(dir);
  return all;
}

std::vector<ProcessInfo> Descendants(const std::vector<ProcessInfo>& all,
                                     pid_t root) {
  std::unordered_multimap<pid_t, const ProcessInfo*> byParent;
  for (const ProcessInfo& p : all) byParent.emplace(p.ppid, &p);
  std::vector<ProcessInfo> out;
  std::vector<pid_t> todo = {root};
  while (!todo.empty()) {
    const pid_t parent = todo.back();
    todo.pop_back();
    const auto [first, last] = byParent.equal_range(parent);
    for (auto it = first; it != last; ++it) {
      // A pid of 0 is the kernel's; a cycle cannot occur, but do not loop.
      if (it->second->pid == root || it->second->pid == 0) continue;
      out.push_back(*it->second);
      todo.push_back(it->second->pid);
    }
  }
  return out;
}

PidFd::~PidFd() {
  if (fd_ >= 0) ::close(fd_);
}

PidFd::PidFd(PidFd&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

PidFd& PidFd::operator=(PidFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

PidFd PidFd::OpenSame(const ProcessInfo& seen) {
  // pidfds are close-on-exec from birth.
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, seen.pid, 0));
  if (fd < 0) return PidFd();
  PidFd pidfd(fd);
  // The descriptor holds whatever process had the number when it was
  // opened. If that process is the one we saw, it had the number all
  // along, so /proc still shows its start time now; a process that took
  // over a freed number started later.
  ProcessInfo now;
  if (!ReadProcess(seen.pid, &now) || now.startTime != seen.startTime) {
    return PidFd();
  }
  return pidfd;
}

bool PidFd::Signal(int sig) const {
  if (fd_ < 0) return false;
  return ::syscall(SYS_pidfd_send_signal, fd_, sig, nullptr, 0) == 0;
}

}  // namespace supervise::proc
