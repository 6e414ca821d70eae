#include "text/utf8.h"

namespace text {

char32_t DecodeRune(std::string_view s, std::size_t* size) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  *size = 1;
  if (b0 < 0x80) return b0;
  std::size_t n;
  char32_t r, min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2, r = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3, r = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4, r = b0 & 0x07, min = 0x10000;
  } else {
    return kRuneError;
  }
  if (s.size() < n) return kRuneError;
  for (std::size_t i = 1; i < n; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if ((b & 0xC0) != 0x80) return kRuneError;
    r = (r << 6) | (b & 0x3F);
  }
  if (r < min || r > 0x10FFFF || (r >= 0xD800 && r <= 0xDFFF)) {
    return kRuneError;
  }
  *size = n;
  return r;
}

char32_t DecodeLastRune(std::string_view s, std::size_t* size) {
  // A sequence is at most four bytes: try the longest start that decodes
  // to exactly the bytes up to the end.
  const std::size_t limit = s.size() < 4 ? s.size() : 4;
  for (std::size_t back = 1; back <= limit; ++back) {
    const std::size_t start = s.size() - back;
    const auto b = static_cast<unsigned char>(s[start]);
    if ((b & 0xC0) == 0x80 && back < limit) continue;  // continuation byte
    std::size_t n;
    const char32_t r = DecodeRune(s.substr(start), &n);
    if (n == back) {
      *size = n;
      return r;
    }
    break;
  }
  *size = 1;
  return kRuneError;
}

}  // namespace text
