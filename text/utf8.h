// UTF-8 decoding, tolerant of invalid input. The functions are pure: call
// them from any thread.

#ifndef ZORVANE_TEXT_UTF8_H_
#define ZORVANE_TEXT_UTF8_H_

#include <cstddef>
#include <string_view>

namespace text {

// Replacement for a byte that does not start a valid UTF-8 sequence.
inline constexpr char32_t kRuneError = 0xFFFD;

// Decodes the character at the start of `s` (which must not be empty).
// Sets *size to the bytes it takes. An invalid or truncated sequence, an
// overlong form or a surrogate gives kRuneError with *size 1, so a caller
// that steps by *size never skips or crashes on bad input.
char32_t DecodeRune(std::string_view s, std::size_t* size);

// Decodes the character that ends `s` (which must not be empty), with the
// same rules as DecodeRune.
char32_t DecodeLastRune(std::string_view s, std::size_t* size);

}  // namespace text

#endif  // ZORVANE_TEXT_UTF8_H_
