#include "bench/soak_figures.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace bench {
namespace {

TEST(SoakFiguresTest, CoverChanges) {
  struct Case {
    const char* name;
    std::vector<ChangeSpan> changes;
    std::vector<double> runs;
    int64_t missed;
    std::vector<double> delays;
  };
  const Case cases[] = {
      {"no change", {}, {1, 2}, 0, {}},
      {"no run", {{1, 1}, {5, 5}}, {}, 2, {}},
      {"run after each", {{1, 1}, {5, 5.5}}, {2, 7}, 0, {1, 1.5}},
      // Two changes in one cycle share the run that follows them.
      {"shared run", {{1, 1}, {1.5, 1.5}}, {2}, 0, {1, 0.5}},
      // A run that started while a folder was being written again may have
      // missed its end.
      {"run during the change", {{1, 3}}, {2}, 1, {}},
      {"run during, then one after", {{1, 3}}, {2, 4}, 0, {1}},
      {"run too late", {{1, 1}}, {5.5}, 1, {}},
      {"run at the window's end", {{1, 1}}, {5}, 0, {4}},
      {"run before the change only", {{3, 3}}, {2}, 1, {}},
  };
  for (const Case& c : cases) {
    const RunCoverage got = CoverChanges(c.changes, c.runs, 4);
    EXPECT_EQ(got.missed, c.missed) << c.name;
    EXPECT_EQ(got.delays, c.delays) << c.name;
  }
}

TEST(SoakFiguresTest, CountCycles) {
  struct Case {
    const char* name;
    std::vector<ChangeSpan> changes;
    std::vector<double> taken;
    int64_t explained, unexplained, unseen;
  };
  const Case cases[] = {
      {"nothing", {}, {}, 0, 0, 0},
      {"one cycle each", {{1, 1}, {3, 3}}, {1.5, 3.5}, 2, 0, 0},
      {"two changes, one cycle", {{1, 1}, {1.2, 1.2}}, {1.5}, 1, 0, 0},
      // Nothing was changed between the two cycles.
      {"a cycle with no change", {{1, 1}}, {1.5, 2.5}, 1, 1, 0},
      // Made while the first cycle listed: the second cycle took it.
      {"made during the listing", {{1, 1}, {1.4, 1.4}}, {1.5, 2.5}, 2, 0, 0},
      // A folder written again across a cycle: both cycles took part.
      {"seen half done", {{1, 1.8}}, {1.5, 2.5}, 2, 0, 0},
      {"no cycle line", {{1, 1}, {8, 8}}, {1.5}, 1, 0, 1},
      {"cycle line too late", {{1, 1}}, {4}, 1, 0, 1},
  };
  for (const Case& c : cases) {
    const CycleCount got = CountCycles(c.changes, c.taken, 2, 0.25);
    EXPECT_EQ(got.explained, c.explained) << c.name;
    EXPECT_EQ(got.unexplained, c.unexplained) << c.name;
    EXPECT_EQ(got.unseen, c.unseen) << c.name;
  }
}

TEST(SoakFiguresTest, Percentile) {
  EXPECT_TRUE(std::isnan(Percentile({}, 0.5)));
  EXPECT_EQ(Percentile({3, 1, 2}, 0.5), 2);
  EXPECT_EQ(Percentile({4, 3, 1, 2}, 0.5), 2);
  EXPECT_EQ(Percentile({5, 1, 9}, 1), 9);
  EXPECT_EQ(Percentile({5, 1, 9}, 0), 1);
  std::vector<double> hundred;
  for (int i = 1; i <= 100; ++i) hundred.push_back(i);
  EXPECT_EQ(Percentile(hundred, 0.95), 95);
}

TEST(SoakFiguresTest, ZombieWatch) {
  ZombieWatch w;
  w.Sample(0, {});
  EXPECT_EQ(w.seen(), 0);
  EXPECT_EQ(w.longest(), 0);
  w.Sample(1, {10, 11});
  w.Sample(2, {10});
  w.Sample(3, {10});
  w.Sample(4, {});
  // 11 was back after a gap: another process with the same number.
  w.Sample(5, {11});
  EXPECT_EQ(w.seen(), 3);
  EXPECT_EQ(w.samplesWithZombies(), 4);
  EXPECT_EQ(w.longest(), 2);
  // A zombie still there at the last sample counts as far as it was seen.
  w.Sample(6, {11});
  w.Sample(9, {11});
  EXPECT_EQ(w.longest(), 4);
}

TEST(SoakFiguresTest, Track) {
  Track t;
  EXPECT_EQ(t.peak(), -1);
  for (int64_t v : {5, -1, 9, 7}) t.Add(v);
  EXPECT_EQ(t.first(), 5);
  EXPECT_EQ(t.peak(), 9);
  EXPECT_EQ(t.last(), 7);
  // Values that could not be read are not counted.
  EXPECT_EQ(t.count(), 3);
}

}  // namespace
}  // namespace bench
