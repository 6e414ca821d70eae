#include "bench/proc_stats.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <memory>

#include "bench/number.h"

namespace bench {

namespace {

// Reads a whole /proc file; false with errno set on failure.
bool ReadFile(const std::string& path, std::string* out) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      close(fd);
      errno = err;
      return false;
    }
    if (n == 0) break;
    out->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}

// Splits `text` at blanks.
std::vector<std::string_view> Fields(std::string_view text) {
  std::vector<std::string_view> fields;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsBlank(text[i])) ++i;
    const size_t start = i;
    while (i < text.size() && !IsBlank(text[i])) ++i;
    if (i > start) fields.push_back(text.substr(start, i - start));
  }
  return fields;
}

}  // namespace

bool ParseProcStat(std::string_view text, ProcStat* out) {
  const size_t close = text.rfind(')');
  if (close == std::string_view::npos) return false;
  // After the name: state(3) ppid(4) pgrp(5) session tty_nr tpgid flags
  // minflt cminflt majflt cmajflt utime(14) stime(15), numbered as in proc(5).
  const std::vector<std::string_view> f = Fields(text.substr(close + 1));
  if (f.size() < 13 || f[0].size() != 1) return false;
  int64_t utime = 0;
  int64_t stime = 0;
  if (!ParseNumber(f[1], &out->ppid) || !ParseNumber(f[2], &out->pgrp) ||
      !ParseNumber(f[11], &utime) || !ParseNumber(f[12], &stime)) {
    return false;
  }
  out->state = f[0][0];
  out->cpuTicks = utime + stime;
  return true;
}

std::string ReadProcStat(pid_t pid, ProcStat* out) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  std::string text;
  if (!ReadFile(path, &text)) return "read " + path + ": " + strerror(errno);
  if (!ParseProcStat(text, out)) return "unexpected contents of " + path;
  return "";
}

bool ParsePeakResident(std::string_view text, int64_t* bytes) {
  constexpr std::string_view kKey = "VmHWM:";
  size_t at = 0;
  if (!text.starts_with(kKey)) {
    at = text.find("\nVmHWM:");
    if (at == std::string_view::npos) return false;
    ++at;
  }
  std::string_view line = text.substr(at + kKey.size());
  line = line.substr(0, line.find('\n'));
  const std::vector<std::string_view> f = Fields(line);
  int64_t kib = 0;
  if (f.size() != 2 || f[1] != "kB" || !ParseNumber(f[0], &kib)) return false;
  *bytes = kib * 1024;
  return true;
}

std::string ReadPeakResident(pid_t pid, int64_t* bytes) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  std::string text;
  if (!ReadFile(path, &text)) return "read " + path + ": " + strerror(errno);
  if (!ParsePeakResident(text, bytes)) return "no VmHWM line in " + path;
  return "";
}

std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> children;
  std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
  if (!proc) return children;
  std::string text;
  while (const dirent* e = readdir(proc.get())) {
    pid_t pid = 0;
    if (!ParseNumber(std::string_view(e->d_name), &pid)) continue;
    ProcStat st;
    // A process that ended since the directory was read is no child now.
    if (!ReadFile("/proc/" + std::string(e->d_name) + "/stat", &text) ||
        !ParseProcStat(text, &st)) {
      continue;
    }
    if (st.ppid == parent) children.push_back(pid);
  }
  return children;
}

double TicksToSeconds(int64_t ticks) {
  static const double perSecond = static_cast<double>(sysconf(_SC_CLK_TCK));
  return static_cast<double>(ticks) / perSecond;
}

}  // namespace bench
