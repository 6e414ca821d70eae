// The arithmetic of the soak run: which changes were followed by a run,
// which polling cycles took a change, and what the samples of the
// controller's process show over the run. Pure: times are seconds since
// the start of the run, as the harness measured them with one clock.

#ifndef ZORVANE_BENCH_SOAK_FIGURES_H_
#define ZORVANE_BENCH_SOAK_FIGURES_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <vector>

namespace bench {

/// One change to the tree: from its first write to its last (a folder
/// replaced takes many); the two are equal for a single write.
struct ChangeSpan {
  double start = 0;
  double end = 0;
};

/// How soon a run followed each change.
struct RunCoverage {
  int64_t missed = 0;          // no run started within the window
  std::vector<double> delays;  // per change covered: end to the next run
};

/// For each change, the first run that started after it ended (`runs`
/// sorted). A change is missed when that run came later than `window`
/// seconds after the change's end, or never.
RunCoverage CoverChanges(const std::vector<ChangeSpan>& changes,
                         const std::vector<double>& runs, double window);

/// The polling cycles that took a change, from the times the controller
/// said so (one line per cycle that took a matching change).
struct CycleCount {
  int64_t explained = 0;    // cycles after which a change had been made
  int64_t unexplained = 0;  // cycles with no change made since the last one
  int64_t unseen = 0;       // changes no cycle took within the window
};

/// Places the cycles `taken` (sorted) against `changes` (sorted by end).
/// A cycle is explained when some change started before it and ended after
/// the previous cycle, less `slack`: a cycle writes its line once its
/// whole listing is done, so a change made while it listed may have been
/// seen by it or be left to the next one. A change is unseen when no cycle
/// line came within `window` seconds after its end.
CycleCount CountCycles(const std::vector<ChangeSpan>& changes,
                       const std::vector<double>& taken, double window,
                       double slack);

/// The value of the nearest rank at `fraction` (0.5 the median, 1 the
/// largest) of `values`; NaN for none.
double Percentile(std::vector<double> values, double fraction);

/// Processes that stayed zombies, each followed from the first sample
/// that showed it to the last.
class ZombieWatch {
 public:
  /// Records the zombies one sample, taken at `t`, showed.
  void Sample(double t, const std::vector<pid_t>& zombies);

  int64_t seen() const {
    return static_cast<int64_t>(open_.size() + closed_.size());
  }
  /// Samples that showed at least one zombie.
  int64_t samplesWithZombies() const { return samplesWith_; }
  /// The longest time between the first and the last sample that showed
  /// one zombie: 0 for a zombie seen once (it lasted less than about two
  /// sampling periods); 0 when none was seen.
  double longest() const;

 private:
  struct Span {
    double first = 0;
    double last = 0;
  };
  // The zombies of the latest sample that showed any, by process id. A
  // number that is a zombie again after a sample without it is another
  // process: its span starts anew.
  std::map<pid_t, Span> open_;
  std::vector<double> closed_;  // lengths of the spans that ended
  int64_t samplesWith_ = 0;
};

/// A figure followed over the samples: first, largest and last value.
/// Negative values (could not be read) are left out.
class Track {
 public:
  void Add(int64_t v);
  int64_t first() const { return first_; }
  int64_t peak() const { return peak_; }
  int64_t last() const { return last_; }
  int64_t count() const { return count_; }

 private:
  int64_t first_ = -1;
  int64_t peak_ = -1;
  int64_t last_ = -1;
  int64_t count_ = 0;
};

}  // namespace bench

#endif  // ZORVANE_BENCH_SOAK_FIGURES_H_
