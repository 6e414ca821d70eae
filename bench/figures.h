// The arithmetic and the texts of the whole-process benchmark's table.
//
// CPU per polling cycle is derived the same way for every program, from
// what a window of wall-clock time shows: a program that works `c` seconds
// per cycle and then sleeps the interval `i` runs n = W / (i + c) cycles in
// a window of W seconds, in which it uses C = n * c seconds of CPU. So
// n = (W - C) / i and c = C * i / (W - C), with no help from the program:
// the controller writes nothing per cycle. This holds for a cycle that
// keeps one core busy throughout (a walk of a cached tree); time spent
// waiting for a core makes n smaller than computed and `c` come out low.

#ifndef ZORVANE_BENCH_FIGURES_H_
#define ZORVANE_BENCH_FIGURES_H_

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

/// CPU seconds per cycle of a program that used `cpu` seconds in a window
/// of `window` seconds, polling every `interval` seconds (see above). NaN
/// when the program never slept (`cpu` >= `window`) or a figure is NaN.
double CpuPerCycle(double cpu, double window, double interval);

/// The median; NaN for no values.
double Median(std::vector<double> values);

/// (`peak` - `baseline`) / `entries`: peak memory per entry above the
/// footprint with an empty tree. NaN when a byte count is unknown (< 0) or
/// `entries` is 0.
double BytesPerEntry(int64_t peak, int64_t baseline, int64_t entries);

/// The texts of figures; "n/a" for NaN.
std::string SecondsText(double seconds);     // "16.0 ms", "1.23 s"
std::string BytesText(double bytes);         // "467 B", "12.3 KiB", "4.2 MiB"
std::string RatioText(double ratio);         // "1.68x"
std::string DifferenceText(double seconds);  // "+0.02 s", "-0.10 s"
std::string CountText(int64_t n);            // "100,000"

/// The machine in one line: cores this process may use, processor model
/// and kernel.
std::string MachineText();

/// A goal: a figure of some unit at most a limit.
struct Goal {
  enum class Unit { kRatio, kBytes, kSecondsDifference };
  Unit unit = Unit::kRatio;
  double limit = 0;

  /// "<= 1.15x", "<= 150 B", "<= +0.15 s".
  std::string Text() const;
  /// Whether `value` meets the goal, with the value: "met (1.02x)",
  /// "missed by 0.53x (1.68x)"; "n/a" for NaN.
  std::string Verdict(double value) const;
  /// True when `value` is a number within the limit.
  bool Met(double value) const;

 private:
  std::string ValueText(double value) const;
};

/// A table printed in Markdown with its columns padded, readable as it is
/// in a terminal and in the README.
class Table {
 public:
  explicit Table(std::vector<std::string> header)
      : header_(std::move(header)) {}

  /// Appends a row; missing cells are empty.
  void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }

  std::string Markdown() const;

 private:
  std::vector<std::string> header_;
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace bench

#endif  // ZORVANE_BENCH_FIGURES_H_
