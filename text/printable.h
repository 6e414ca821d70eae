// Which code points a quoted text may show as they are.

#ifndef ZORVANE_TEXT_PRINTABLE_H_
#define ZORVANE_TEXT_PRINTABLE_H_

namespace text {

// True for the Unicode letters, marks, numbers, punctuation and symbols
// (general categories L, M, N, P and S) and for the ASCII space U+0020;
// false for everything else: other separators (U+00A0, U+2028), controls,
// format characters (U+200B, U+FEFF), surrogates, private use, unassigned
// code points and non-characters (U+FFFF), and values above U+10FFFF.
// The table behind it is generated from one Unicode version (named in
// printable_ranges.inc). Pure: call it from any thread.
bool IsPrintable(char32_t r);

}  // namespace text

#endif  // ZORVANE_TEXT_PRINTABLE_H_
