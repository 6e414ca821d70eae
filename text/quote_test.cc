#include "text/quote.h"

#include <gtest/gtest.h>

namespace text {
namespace {

struct QuoteCase {
  const char* why;
  std::string in;
  std::string want;
};

TEST(QuoteTest, EscapesEverythingButPrintableCodePoints) {
  const QuoteCase cases[] = {
      {"empty", "", R"("")"},
      {"ASCII", "plain text ~", R"("plain text ~")"},
      {"quote and backslash", "a\"b\\c", R"("a\"b\\c")"},
      {"short escapes", "\t\r\a\b\f\v\n", R"("\t\r\a\b\f\v\n")"},
      {"other ASCII controls", std::string("\0\x1b\x7f", 3),
       R"("\x00\x1b\x7f")"},
      // Printable code points keep their bytes.
      {"Ll", "caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"Mn after a letter", "e\xcc\x81", "\"e\xcc\x81\""},
      {"Sc", "\xe2\x82\xac", "\"\xe2\x82\xac\""},
      {"Lo in a generated block", "\xe4\xb8\x80", "\"\xe4\xb8\x80\""},
      {"So beyond the BMP", "\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
      {"a real U+FFFD", "\xef\xbf\xbd", "\"\xef\xbf\xbd\""},
      // Other code points by value, fixed width.
      {"C1 control", "\xc2\x85", R"("\u0085")"},
      {"Zs no-break space", "\xc2\xa0", R"("\u00a0")"},
      {"Zs ideographic space", "\xe3\x80\x80", R"("\u3000")"},
      {"Zl", "\xe2\x80\xa8", R"("\u2028")"},
      {"Cf soft hyphen", "\xc2\xad", R"("\u00ad")"},
      {"Cf", "\xd8\x80", R"("\u0600")"},
      {"Cf zero width space", "\xe2\x80\x8b", R"("\u200b")"},
      {"Cf byte order mark", "\xef\xbb\xbf", R"("\ufeff")"},
      {"Co", "\xee\x80\x80", R"("\ue000")"},
      {"Cn", "\xcd\xb8", R"("\u0378")"},
      {"Cn non-character", "\xef\xbf\xbf", R"("\uffff")"},
      {"Co beyond the BMP", "\xf3\xb0\x80\x80", R"("\U000f0000")"},
      {"Cn last code point", "\xf4\x8f\xbf\xbf", R"("\U0010ffff")"},
      // Bytes that begin no valid sequence, one \xNN each, then decoding
      // goes on at the next byte.
      {"invalid byte", "a\xffz", R"("a\xffz")"},
      {"lone continuation", "\x80", R"("\x80")"},
      {"truncated", "\xe2\x82", R"("\xe2\x82")"},
      {"truncated, then ASCII", "\xe2\x82x", R"("\xe2\x82x")"},
      {"truncated, then a whole sequence", "\xe2\x82\xe2\x82\xac",
       "\"\\xe2\\x82\xe2\x82\xac\""},
      {"overlong", "\xc0\xaf", R"("\xc0\xaf")"},
      {"encoded surrogate", "\xed\xa0\x80", R"("\xed\xa0\x80")"},
      {"beyond U+10FFFF", "\xf4\x90\x80\x80", R"("\xf4\x90\x80\x80")"},
      {"mixed", "x\xef\xbf\xbf\xff\xc3\xa9\n", "\"x\\uffff\\xff\xc3\xa9\\n\""},
  };
  for (const auto& c : cases) EXPECT_EQ(Quote(c.in), c.want) << c.why;
}

}  // namespace
}  // namespace text
