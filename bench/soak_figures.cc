#include "bench/soak_figures.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace bench {

RunCoverage CoverChanges(const std::vector<ChangeSpan>& changes,
                         const std::vector<double>& runs, double window) {
  RunCoverage c;
  for (const ChangeSpan& change : changes) {
    // A run that started while the change was being made may have missed
    // its last part: only a later one counts.
    const auto next = std::upper_bound(runs.begin(), runs.end(), change.end);
    if (next == runs.end() || *next - change.end > window) {
      ++c.missed;
      continue;
    }
    c.delays.push_back(*next - change.end);
  }
  return c;
}

CycleCount CountCycles(const std::vector<ChangeSpan>& changes,
                       const std::vector<double>& taken, double window,
                       double slack) {
  CycleCount c;
  double previous = -std::numeric_limits<double>::infinity();
  for (double t : taken) {
    const bool explained =
        std::any_of(changes.begin(), changes.end(), [&](const ChangeSpan& x) {
          return x.start < t && x.end > previous - slack;
        });
    ++(explained ? c.explained : c.unexplained);
    previous = t;
  }
  for (const ChangeSpan& change : changes) {
    const auto next = std::upper_bound(taken.begin(), taken.end(), change.end);
    if (next == taken.end() || *next - change.end > window) ++c.unseen;
  }
  return c;
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
  std::sort(values.begin(), values.end());
  const double rank = std::ceil(fraction * static_cast<double>(values.size()));
  const size_t i = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return values[std::min(i, values.size() - 1)];
}

void ZombieWatch::Sample(double t, const std::vector<pid_t>& zombies) {
  std::map<pid_t, Span> now;
  for (pid_t pid : zombies) {
    const auto it = open_.find(pid);
    now[pid] = it == open_.end() ? Span{t, t} : Span{it->second.first, t};
  }
  for (const auto& [pid, span] : open_) {
    if (!now.contains(pid)) closed_.push_back(span.last - span.first);
  }
  open_ = std::move(now);
  if (!zombies.empty()) ++samplesWith_;
}

double ZombieWatch::longest() const {
  double longest = 0;
  for (double d : closed_) longest = std::max(longest, d);
  for (const auto& [pid, span] : open_) {
    longest = std::max(longest, span.last - span.first);
  }
  return longest;
}

void Track::Add(int64_t v) {
  if (v < 0) return;
  if (count_++ == 0) first_ = v;
  peak_ = std::max(peak_, v);
  last_ = v;
}

}  // namespace bench
