#include "text/quote.h"

#include "text/printable.h"
#include "text/utf8.h"

namespace text {
namespace {

void AppendHex(std::string* out, const char* prefix, char32_t v, int digits) {
  static const char kHex[] = "0123456789abcdef";
  out->append(prefix);
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    out->push_back(kHex[(v >> shift) & 0xF]);
  }
}

// The short escape of a control character, or nullptr.
const char* ShortEscape(char32_t r) {
  switch (r) {
    case '\a':
      return "\\a";
    case '\b':
      return "\\b";
    case '\f':
      return "\\f";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    case '\v':
      return "\\v";
    default:
      return nullptr;
  }
}

}  // namespace

std::string Quote(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out.push_back('"');
  while (!s.empty()) {
    std::size_t size;
    const char32_t r = DecodeRune(s, &size);
    // A one-byte kRuneError is a bad byte; a real U+FFFD takes three bytes
    // and is printable.
    if (r == kRuneError && size == 1) {
      AppendHex(&out, "\\x", static_cast<unsigned char>(s[0]), 2);
    } else if (r == '"' || r == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(r));
    } else if (IsPrintable(r)) {
      out.append(s.substr(0, size));
    } else if (const char* escape = ShortEscape(r)) {
      out.append(escape);
    } else if (r < 0x80) {
      AppendHex(&out, "\\x", r, 2);
    } else if (r < 0x10000) {
      AppendHex(&out, "\\u", r, 4);
    } else {
      AppendHex(&out, "\\U", r, 8);
    }
    s.remove_prefix(size);
  }
  out.push_back('"');
  return out;
}

}  // namespace text
