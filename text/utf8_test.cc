#include "text/utf8.h"

#include <gtest/gtest.h>

namespace text {
namespace {

struct RuneCase {
  std::string text;
  char32_t first;
  std::size_t first_size;
  char32_t last;
  std::size_t last_size;
};

TEST(Utf8Test, DecodesBothEndsAndNeverOverreads) {
  const RuneCase cases[] = {
      {"a", 'a', 1, 'a', 1},
      {"\xc3\xa9x", 0xE9, 2, 'x', 1},
      {"x\xe3\x80\x80", 'x', 1, 0x3000, 3},
      {"\xf0\x9f\x99\x82", 0x1F642, 4, 0x1F642, 4},
      {"\xff", kRuneError, 1, kRuneError, 1},
      {"\xe3\x80", kRuneError, 1, kRuneError, 1},      // truncated
      {"\xc0\xaf", kRuneError, 1, kRuneError, 1},      // overlong
      {"\xed\xa0\x80", kRuneError, 1, kRuneError, 1},  // surrogate
      {"\x80\x80\x80\x80\x80", kRuneError, 1, kRuneError, 1},
      {"\xef\xbf\xbd", kRuneError, 3, kRuneError, 3},  // a real U+FFFD
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::size_t size = 0;
    EXPECT_EQ(DecodeRune(c.text, &size), c.first);
    EXPECT_EQ(size, c.first_size);
    EXPECT_EQ(DecodeLastRune(c.text, &size), c.last);
    EXPECT_EQ(size, c.last_size);
  }
}

}  // namespace
}  // namespace text
