#include "testsupport/proc.h"

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "testsupport/eventually.h"

namespace testsupport {

namespace proc = supervise::proc;

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool ReadProcStat(pid_t pid, ProcEntry* out) {
  return proc::ReadProcess(pid, out);
}

std::vector<ProcEntry> ListProcs() {
  std::vector<ProcEntry> out;
  for (const proc::ProcessInfo& info : proc::ListProcesses()) {
    ProcEntry p;
    static_cast<proc::ProcessInfo&>(p) = info;
    p.cmdline = ReadFileText("/proc/" + std::to_string(p.pid) + "/cmdline");
    for (char& c : p.cmdline) {
      if (c == '\0') c = ' ';
    }
    if (!p.cmdline.empty()) p.cmdline.pop_back();
    out.push_back(std::move(p));
  }
  return out;
}

std::vector<ProcEntry> ChildrenOf(pid_t parent) {
  std::vector<ProcEntry> out;
  for (ProcEntry& p : ListProcs()) {
    if (p.ppid == parent) out.push_back(std::move(p));
  }
  return out;
}

std::vector<ProcEntry> DescendantsOf(pid_t root) {
  std::vector<ProcEntry> all = ListProcs();
  std::vector<proc::ProcessInfo> infos(all.begin(), all.end());
  std::vector<ProcEntry> out;
  // The program's walk decides who descends; the command lines come along.
  for (const proc::ProcessInfo& d : proc::Descendants(infos, root)) {
    for (const ProcEntry& p : all) {
      if (p.pid == d.pid) out.push_back(p);
    }
  }
  return out;
}

std::string StatusField(pid_t pid, const std::string& field) {
  const std::string text =
      ReadFileText("/proc/" + std::to_string(pid) + "/status");
  const std::string key = field + ":";
  size_t at = 0;
  if (!text.starts_with(key)) {
    at = text.find("\n" + key);
    if (at == std::string::npos) return "";
    ++at;
  }
  const size_t start = text.find_first_not_of(" \t", at + key.size());
  if (start == std::string::npos) return "";
  return text.substr(start, text.find('\n', start) - start);
}

bool IgnoresSignal(pid_t pid, int sig) {
  const std::string mask = StatusField(pid, "SigIgn");
  if (mask.empty()) return false;
  return (std::strtoull(mask.c_str(), nullptr, 16) >> (sig - 1)) & 1;
}

long BlockedSyscall(pid_t pid, pid_t tid) {
  const std::string text =
      ReadFileText("/proc/" + std::to_string(pid) + "/task/" +
                   std::to_string(tid) + "/syscall");
  char* end = nullptr;
  const long nr = std::strtol(text.c_str(), &end, 10);
  return end == text.c_str() ? -1 : nr;
}

bool Sleeping(pid_t pid, pid_t tid) {
  const long nr = BlockedSyscall(pid, tid);
  return nr == SYS_clock_nanosleep || nr == SYS_restart_syscall
#ifdef SYS_nanosleep
         || nr == SYS_nanosleep
#endif
      ;
}

bool Polling(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = ::opendir(tasks.c_str());
  if (d == nullptr) return false;
  bool polling = false;
  while (const dirent* e = ::readdir(d)) {
    const pid_t tid = std::atoi(e->d_name);
    if (tid <= 0) continue;
    const long nr = BlockedSyscall(pid, tid);
#ifdef SYS_poll
    if (nr == SYS_poll) polling = true;
#endif
    if (nr == SYS_ppoll) polling = true;
  }
  ::closedir(d);
  return polling;
}

void BecomeSubreaper() {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

bool IsSubreaper() {
  int subreaper = 0;
  return ::prctl(PR_GET_CHILD_SUBREAPER, &subreaper) == 0 && subreaper != 0;
}

void KillSame(const ProcEntry& seen) {
  const proc::PidFd fd = proc::PidFd::OpenSame(seen);
  if (fd.valid()) fd.Signal(SIGKILL);
}

bool EndDescendants(std::chrono::milliseconds timeout) {
  return Eventually(
      [] {
        bool alive = false;
        for (const ProcEntry& p : DescendantsOf(::getpid())) {
          if (p.ended()) continue;
          alive = true;
          KillSame(p);
        }
        return !alive;
      },
      timeout);
}

}  // namespace testsupport
