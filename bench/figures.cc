#include "bench/figures.h"

#include <sched.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>

namespace bench {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string Format(const char* format, double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, value);
  return buf;
}

// Counts characters rather than bytes, so that "≤" or "µ" pad right.
size_t Width(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xc0) != 0x80;
  return n;
}

}  // namespace

double CpuPerCycle(double cpu, double window, double interval) {
  if (!(window > cpu) || std::isnan(interval)) return kNaN;
  return cpu * interval / (window - cpu);
}

double Median(std::vector<double> values) {
  if (values.empty()) return kNaN;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  if (values.size() % 2 == 1) return values[mid];
  return (values[mid - 1] + values[mid]) / 2;
}

double BytesPerEntry(int64_t peak, int64_t baseline, int64_t entries) {
  if (peak < 0 || baseline < 0 || entries <= 0) return kNaN;
  return static_cast<double>(peak - baseline) / static_cast<double>(entries);
}

std::string SecondsText(double seconds) {
  if (std::isnan(seconds)) return "n/a";
  if (std::fabs(seconds) < 0.1) return Format("%.1f ms", seconds * 1e3);
  return Format("%.2f s", seconds);
}

std::string BytesText(double bytes) {
  if (std::isnan(bytes)) return "n/a";
  const double size = std::fabs(bytes);
  if (size < 10 * 1024) return Format("%.0f B", bytes);
  if (size < 1024 * 1024) return Format("%.1f KiB", bytes / 1024);
  return Format("%.1f MiB", bytes / (1024 * 1024));
}

std::string RatioText(double ratio) {
  if (std::isnan(ratio)) return "n/a";
  return Format("%.2fx", ratio);
}

std::string DifferenceText(double seconds) {
  if (std::isnan(seconds)) return "n/a";
  return Format("%+.2f s", seconds);
}

std::string CountText(int64_t n) {
  const std::string digits = std::to_string(n < 0 ? -n : n);
  std::string out = n < 0 ? "-" : "";
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string Goal::ValueText(double value) const {
  switch (unit) {
    case Unit::kRatio:
      return RatioText(value);
    case Unit::kBytes:
      return BytesText(value);
    case Unit::kSecondsDifference:
      return DifferenceText(value);
  }
  return "";
}

std::string Goal::Text() const {
  return "<= " + ValueText(limit);
}

bool Goal::Met(double value) const {
  return !std::isnan(value) && value <= limit;
}

std::string Goal::Verdict(double value) const {
  if (std::isnan(value)) return "n/a";
  if (Met(value)) return "met (" + ValueText(value) + ")";
  std::string by = ValueText(value - limit);
  // A difference carries its sign; "missed by" says which way already.
  if (unit == Unit::kSecondsDifference) by.erase(0, 1);
  return "missed by " + by + " (" + ValueText(value) + ")";
}

std::string Table::Markdown() const {
  std::vector<size_t> widths(header_.size(), 3);
  auto measure = [&](const std::vector<std::string>& row) {
    for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
      widths[i] = std::max(widths[i], Width(row[i]));
    }
  };
  measure(header_);
  for (const auto& row : rows_) measure(row);

  std::string out;
  auto line = [&](const std::vector<std::string>& row) {
    out += "|";
    for (size_t i = 0; i < widths.size(); ++i) {
      const std::string cell = i < row.size() ? row[i] : "";
      out += " " + cell + std::string(widths[i] - Width(cell), ' ') + " |";
    }
    out += "\n";
  };
  line(header_);
  out += "|";
  for (size_t w : widths) out += std::string(w + 2, '-') + "|";
  out += "\n";
  for (const auto& row : rows_) line(row);
  return out;
}

std::string MachineText() {
  cpu_set_t set;
  CPU_ZERO(&set);
  const int cores =
      sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
  std::string model = "unknown processor";
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.starts_with("model name")) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  utsname u;
  const std::string kernel =
      uname(&u) == 0 ? std::string(u.sysname) + " " + u.release : "unknown";
  return std::to_string(cores) + " cores (nproc), " + model + ", " + kernel;
}

}  // namespace bench
