// Quoting of arbitrary bytes for messages: one line, unambiguous, and safe
// to show on a terminal.

#ifndef ZORVANE_TEXT_QUOTE_H_
#define ZORVANE_TEXT_QUOTE_H_

#include <string>
#include <string_view>

namespace text {

// Returns `s` in double quotes. Rules, applied one UTF-8 sequence at a time:
//   - '"' and '\' get a backslash in front;
//   - BEL, BS, FF, LF, CR, TAB and VT become \a \b \f \n \r \t \v;
//   - a byte that does not begin a valid UTF-8 sequence (invalid, truncated,
//     overlong or an encoded surrogate) becomes \xNN, and decoding goes on
//     at the next byte;
//   - a printable code point (IsPrintable) is copied as its original bytes;
//   - any other code point becomes \xNN below U+0080, \uXXXX below U+10000
//     and \UXXXXXXXX above.
// Hex digits are lower case and of fixed width. The result is valid UTF-8
// and holds no control or invisible character. Pure: call it from any
// thread.
std::string Quote(std::string_view s);

}  // namespace text

#endif  // ZORVANE_TEXT_QUOTE_H_
