#include "text/printable.h"

#include <algorithm>
#include <iterator>

namespace text {
namespace {

struct PrintableRange {
  char32_t first;
  char32_t last;
};

#include "text/printable_ranges.inc"

}  // namespace

bool IsPrintable(char32_t r) {
  // Most of what gets quoted is ASCII: answer it without the search.
  if (r < 0x80) return r >= 0x20 && r < 0x7F;
  // The last range whose first code point is not above r is the only one
  // that can hold it.
  const auto* after = std::upper_bound(
      std::begin(kPrintableRanges), std::end(kPrintableRanges), r,
      [](char32_t v, const PrintableRange& range) { return v < range.first; });
  return after != std::begin(kPrintableRanges) && r <= std::prev(after)->last;
}

}  // namespace text
