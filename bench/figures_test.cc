#include "bench/figures.h"

#include <cmath>

#include <gtest/gtest.h>

namespace bench {
namespace {

TEST(FiguresTest, CpuPerCycle) {
  // 12 cycles of 20 ms and 12 sleeps of 1 s: 12.24 s.
  EXPECT_NEAR(CpuPerCycle(0.24, 12.24, 1), 0.02, 1e-12);
  // 2 cycles of 1 s and 2 sleeps of 0.5 s.
  EXPECT_NEAR(CpuPerCycle(2, 3, 0.5), 1, 1e-12);
  EXPECT_EQ(CpuPerCycle(0, 10, 1), 0);
  // Never slept: no cycle count can be had.
  EXPECT_TRUE(std::isnan(CpuPerCycle(10, 10, 1)));
  EXPECT_TRUE(std::isnan(CpuPerCycle(NAN, 10, 1)));
}

TEST(FiguresTest, MedianAndBytesPerEntry) {
  EXPECT_EQ(Median({0.9, 0.1, 0.5}), 0.5);
  EXPECT_EQ(Median({4, 1, 3, 2}), 2.5);
  EXPECT_TRUE(std::isnan(Median({})));
  EXPECT_EQ(BytesPerEntry(3'000'000, 1'000'000, 10'000), 200);
  EXPECT_TRUE(std::isnan(BytesPerEntry(-1, 1'000'000, 10'000)));
  EXPECT_TRUE(std::isnan(BytesPerEntry(3'000'000, -1, 10'000)));
  EXPECT_TRUE(std::isnan(BytesPerEntry(3'000'000, 1'000'000, 0)));
}

TEST(FiguresTest, Texts) {
  const std::pair<std::string, std::string> cases[] = {
      {SecondsText(0.0161), "16.1 ms"},
      {SecondsText(0.5), "0.50 s"},
      {SecondsText(NAN), "n/a"},
      {BytesText(467), "467 B"},
      {BytesText(-20), "-20 B"},
      {BytesText(12.5 * 1024), "12.5 KiB"},
      {BytesText(4.25 * 1048576), "4.2 MiB"},
      {RatioText(1.6789), "1.68x"},
      {DifferenceText(0.02), "+0.02 s"},
      {DifferenceText(-0.1), "-0.10 s"},
      {CountText(0), "0"},
      {CountText(999), "999"},
      {CountText(1000), "1,000"},
      {CountText(100000), "100,000"},
      {CountText(-1234567), "-1,234,567"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

TEST(FiguresTest, Goals) {
  using U = Goal::Unit;
  const struct {
    Goal goal;
    double value;
    const char* text;
    const char* verdict;
  } cases[] = {
      {{U::kRatio, 1.15}, 1.68, "<= 1.15x", "missed by 0.53x (1.68x)"},
      {{U::kRatio, 1.15}, 1.15, "<= 1.15x", "met (1.15x)"},
      {{U::kBytes, 150}, 467, "<= 150 B", "missed by 317 B (467 B)"},
      {{U::kBytes, 150}, 42, "<= 150 B", "met (42 B)"},
      {{U::kSecondsDifference, 0.15}, 0.02, "<= +0.15 s", "met (+0.02 s)"},
      {{U::kSecondsDifference, 0.15}, -0.3, "<= +0.15 s", "met (-0.30 s)"},
      {{U::kSecondsDifference, 0.15},
       0.4,
       "<= +0.15 s",
       "missed by 0.25 s (+0.40 s)"},
      {{U::kRatio, 0.2}, NAN, "<= 0.20x", "n/a"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.goal.Text(), c.text);
    EXPECT_EQ(c.goal.Verdict(c.value), c.verdict);
    EXPECT_EQ(c.goal.Met(c.value), std::string(c.verdict).starts_with("met"));
  }
}

TEST(FiguresTest, TableColumnsLineUp) {
  Table t({"tree", "figure"});
  t.Add({"a much longer name", "1"});
  t.Add({"µs"});  // counted as two characters, not three bytes
  EXPECT_EQ(t.Markdown(),
            "| tree               | figure |\n"
            "|--------------------|--------|\n"
            "| a much longer name | 1      |\n"
            "| µs                 |        |\n");
}

}  // namespace
}  // namespace bench
