#include "bench/proc_stats.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <memory>

#include "bench/number.h"
#include "supervise/proc.h"

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

std::string ReadCpuTicks(pid_t pid, int64_t* ticks) {
  supervise::proc::ProcessInfo p;
  if (!supervise::proc::ReadProcess(pid, &p)) {
    return "read /proc/" + std::to_string(pid) + "/stat: gone or malformed";
  }
  *ticks = static_cast<int64_t>(p.utime + p.stime);
  return "";
}

namespace {

enum class Unit { kCount, kKib };

// The number on the line "`key` <number>" (kCount) or "`key` <number> kB"
// (kKib, given in bytes) of a /proc status text. A missing line leaves
// `*value` and `*found` false; a malformed one returns false.
bool StatusField(std::string_view text, std::string_view key, Unit unit,
                 int64_t* value, bool* found) {
  *found = false;
  size_t at = 0;
  if (!text.starts_with(key)) {
    std::string needle(1, '\n');
    needle.append(key);
    at = text.find(needle);
    if (at == std::string_view::npos) return true;
    ++at;
  }
  *found = true;
  std::string_view line = text.substr(at + key.size());
  line = line.substr(0, line.find('\n'));
  const std::vector<std::string_view> f = Fields(line);
  const size_t fields = unit == Unit::kKib ? 2 : 1;
  int64_t n = 0;
  if (f.size() != fields || !ParseNumber(f[0], &n)) return false;
  if (unit == Unit::kKib) {
    if (f[1] != "kB") return false;
    n *= 1024;
  }
  *value = n;
  return true;
}

}  // namespace

bool ParsePeakResident(std::string_view text, int64_t* bytes) {
  bool found = false;
  return StatusField(text, "VmHWM:", Unit::kKib, bytes, &found) && found;
}

bool ParseProcStatus(std::string_view text, ProcStatus* out) {
  ProcStatus st;
  bool threads = false;
  bool found = false;
  if (!StatusField(text, "Threads:", Unit::kCount, &st.threads, &threads) ||
      !threads ||
      !StatusField(text, "VmRSS:", Unit::kKib, &st.resident, &found) ||
      !StatusField(text, "VmHWM:", Unit::kKib, &st.peakResident, &found)) {
    return false;
  }
  *out = st;
  return true;
}

std::string ReadProcStatus(pid_t pid, ProcStatus* out) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  std::string text;
  if (!ReadFile(path, &text)) return "read " + path + ": " + strerror(errno);
  if (!ParseProcStatus(text, out)) return "unexpected contents of " + path;
  return "";
}

int64_t CountDescriptors(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/fd";
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
  if (!dir) return -1;
  int64_t n = 0;
  while (const dirent* e = readdir(dir.get())) {
    if (e->d_name[0] != '.') ++n;
  }
  return n;
}

std::string ReadPeakResident(pid_t pid, int64_t* bytes) {
  ProcStatus st;
  if (std::string err = ReadProcStatus(pid, &st); !err.empty()) return err;
  if (st.peakResident < 0) {
    return "no VmHWM line in /proc/" + std::to_string(pid) + "/status";
  }
  *bytes = st.peakResident;
  return "";
}

double TicksToSeconds(int64_t ticks) {
  static const double perSecond = static_cast<double>(sysconf(_SC_CLK_TCK));
  return static_cast<double>(ticks) / perSecond;
}

}  // namespace bench
