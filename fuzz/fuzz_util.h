// Helpers shared by the libFuzzer targets (the *_fuzz.cc files beside the
// code they drive). Header-only, for fuzz targets alone.

#ifndef ZORVANE_FUZZ_FUZZ_UTIL_H_
#define ZORVANE_FUZZ_FUZZ_UTIL_H_

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// Ends the run with a message when a property does not hold. abort()
// makes libFuzzer keep the input as a crash, like a sanitizer report.
#define FUZZ_CHECK(cond, ...)                                                  \
  do {                                                                         \
    if (!(cond)) {                                                             \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, \
                   #cond);                                                     \
      std::fprintf(stderr, "  " __VA_ARGS__);                                  \
      std::fprintf(stderr, "\n");                                              \
      std::abort();                                                            \
    }                                                                          \
  } while (0)

// The fuzzer's input as text.
inline std::string_view AsText(const uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The pieces of `s` between the separators; "" is one empty piece.
inline std::vector<std::string_view> Split(std::string_view s, char sep) {
  std::vector<std::string_view> pieces;
  for (;;) {
    const auto at = s.find(sep);
    pieces.push_back(s.substr(0, at));
    if (at == std::string_view::npos) return pieces;
    s.remove_prefix(at + 1);
  }
}

// The input split at NUL bytes, as argument vectors and environment values
// are: neither can hold a NUL.
inline std::vector<std::string> SplitAtNul(std::string_view in) {
  const std::vector<std::string_view> pieces = Split(in, '\0');
  return {pieces.begin(), pieces.end()};
}

// Printable form of a text for a failure message: bytes outside ASCII's
// printable range as \xNN.
inline std::string Show(std::string_view s) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    }
  }
  return out + "\"";
}

// The Unicode white space (the White_Space property), UTF-8 encoded: what
// the controller trims from values and list entries. Written out here, not
// taken from the code under test.
inline constexpr std::array<std::string_view, 25> kSpaces = {
    "\t",           "\n",           "\v",
    "\f",           "\r",           " ",
    "\xc2\x85",     "\xc2\xa0",     "\xe1\x9a\x80",
    "\xe2\x80\x80", "\xe2\x80\x81", "\xe2\x80\x82",
    "\xe2\x80\x83", "\xe2\x80\x84", "\xe2\x80\x85",
    "\xe2\x80\x86", "\xe2\x80\x87", "\xe2\x80\x88",
    "\xe2\x80\x89", "\xe2\x80\x8a", "\xe2\x80\xa8",
    "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f",
    "\xe3\x80\x80",
};

// `s` without the white space at either end, found by comparing bytes
// with the encodings above. No decoder is involved: a UTF-8 encoding is
// never a prefix of another, and none begins with a continuation byte, so
// a match at either end is always a whole character.
inline std::string_view ReferenceTrim(std::string_view s) {
  auto strip = [&s](bool front) {
    for (std::string_view w : kSpaces) {
      if (front ? s.starts_with(w) : s.ends_with(w)) {
        front ? s.remove_prefix(w.size()) : s.remove_suffix(w.size());
        return true;
      }
    }
    return false;
  };
  while (strip(true)) {
  }
  while (strip(false)) {
  }
  return s;
}

inline bool IsAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x80;
  });
}

// The kill setting of an ASCII text, read the simplest way: empty, or
// "true" in any mix of cases with ASCII blanks around it.
inline bool ReferenceKillForAscii(std::string_view s) {
  if (s.empty()) return true;
  const auto first = s.find_first_not_of(" \t\n\v\f\r");
  if (first == std::string_view::npos) return false;
  s = s.substr(first, s.find_last_not_of(" \t\n\v\f\r") - first + 1);
  if (s.size() != 4) return false;
  for (std::size_t i = 0; i < 4; ++i) {
    if ((s[i] & ~0x20) != "TRUE"[i]) return false;
  }
  return true;
}

}  // namespace fuzz

#endif  // ZORVANE_FUZZ_FUZZ_UTIL_H_
