#include "text/printable.h"

#include <gtest/gtest.h>

namespace text {
namespace {

struct CodePoint {
  char32_t r;
  const char* category;  // as UnicodeData.txt gives it, for the failure text
  bool printable;
};

// Checked by hand against the Unicode code charts, one or more per
// category, with the ends of the generated blocks and of the whole range.
TEST(IsPrintableTest, AgreesWithHandCheckedCodePoints) {
  const CodePoint cases[] = {
      {0x0020, "Zs space", true},
      {0x0041, "Lu", true},
      {0x00E9, "Ll", true},
      {0x01C5, "Lt", true},
      {0x02B0, "Lm", true},
      {0x05D0, "Lo", true},
      {0x0301, "Mn", true},
      {0x0903, "Mc", true},
      {0x20DD, "Me", true},
      {0x0661, "Nd", true},
      {0x2160, "Nl", true},
      {0x00BD, "No", true},
      {0x00BF, "Po", true},
      {0x005F, "Pc", true},
      {0x2014, "Pd", true},
      {0x0028, "Ps", true},
      {0x00AB, "Pi", true},
      {0x20AC, "Sc", true},
      {0x002B, "Sm", true},
      {0x005E, "Sk", true},
      {0x1F600, "So", true},
      {0xFFFD, "So", true},
      {0x4E00, "Lo, first of a block", true},
      {0x9FA5, "Lo, inside a block", true},
      {0x9FFF, "Lo, last of a block", true},
      {0xAC00, "Lo, Hangul block", true},
      {0x187F7, "Lo, Tangut block", true},
      {0x323AF, "Lo, last CJK block", true},
      {0xE01EF, "Mn, last printable", true},
      {0x00A0, "Zs", false},
      {0x3000, "Zs", false},
      {0x2028, "Zl", false},
      {0x2029, "Zp", false},
      {0x0000, "Cc", false},
      {0x0007, "Cc", false},
      {0x001F, "Cc", false},
      {0x007F, "Cc", false},
      {0x0085, "Cc", false},
      {0x009F, "Cc", false},
      {0x00AD, "Cf", false},
      {0x0600, "Cf", false},
      {0x200B, "Cf", false},
      {0xFEFF, "Cf", false},
      {0xE0001, "Cf", false},
      {0xD800, "Cs", false},
      {0xDFFF, "Cs", false},
      {0xE000, "Co", false},
      {0xF8FF, "Co", false},
      {0xF0000, "Co", false},
      {0x10FFFD, "Co", false},
      {0x0378, "Cn", false},
      {0x2A6E0, "Cn, between two blocks", false},
      {0xE01F0, "Cn, after the last printable", false},
      {0x323B0, "Cn, after the last CJK block", false},
      {0xFDD0, "Cn, non-character", false},
      {0xFFFE, "Cn, non-character", false},
      {0xFFFF, "Cn, non-character", false},
      {0x1FFFF, "Cn, non-character", false},
      {0x10FFFF, "Cn, last code point", false},
      {0x110000, "beyond Unicode", false},
      {0xFFFFFFFF, "beyond Unicode", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsPrintable(c.r), c.printable)
        << std::hex << "U+" << static_cast<uint32_t>(c.r) << " " << c.category;
  }
}

}  // namespace
}  // namespace text
