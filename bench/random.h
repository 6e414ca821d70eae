// A small seeded random source for the benchmarks: the same seed gives the
// same numbers on any machine and with any standard library.

#ifndef ZORVANE_BENCH_RANDOM_H_
#define ZORVANE_BENCH_RANDOM_H_

#include <cstdint>

namespace bench {

// SplitMix64: fixed arithmetic, unlike the standard distributions, whose
// results differ between library implementations. Not thread-safe.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}

  uint64_t Next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }

  /// A number from `lo` to `hi`, both included; `lo` <= `hi`.
  int Between(int lo, int hi) {
    return lo + static_cast<int>(Next() % static_cast<uint64_t>(hi - lo + 1));
  }

  /// A number from `lo` up to `hi`, evenly spread.
  double Uniform(double lo, double hi) {
    // The top 53 bits fill a double's mantissa exactly.
    const double unit = static_cast<double>(Next() >> 11) * 0x1.0p-53;
    return lo + unit * (hi - lo);
  }

 private:
  uint64_t state_;
};

}  // namespace bench

#endif  // ZORVANE_BENCH_RANDOM_H_
