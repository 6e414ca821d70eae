// Fuzzes Quote on arbitrary bytes. Properties: a small unquoter written
// here from Quote's documented rules (fixed-width lower-case escapes, \u
// and \U only for what is not printable) gives back the input exactly, so
// the quoting loses nothing and is unambiguous; and the quoted text is
// valid UTF-8 made of printable code points only (an escape is printable
// ASCII).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_util.h"
#include "text/printable.h"
#include "text/quote.h"

namespace {

void AppendUtf8(std::string* out, char32_t r) {
  if (r < 0x80) {
    out->push_back(static_cast<char>(r));
  } else if (r < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (r >> 6)));
    out->push_back(static_cast<char>(0x80 | (r & 0x3F)));
  } else if (r < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (r >> 12)));
    out->push_back(static_cast<char>(0x80 | ((r >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (r & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (r >> 18)));
    out->push_back(static_cast<char>(0x80 | ((r >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((r >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (r & 0x3F)));
  }
}

// Reads `digits` lower-case hex digits from the front of *s.
std::optional<char32_t> TakeHex(std::string_view* s, int digits) {
  if (s->size() < static_cast<std::size_t>(digits)) return std::nullopt;
  char32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    const char c = (*s)[i];
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else {
      return std::nullopt;
    }
    v = v * 16 + static_cast<char32_t>(d);
  }
  s->remove_prefix(static_cast<std::size_t>(digits));
  return v;
}

// The byte a one-letter escape stands for.
std::optional<char> ShortEscaped(char letter) {
  // Pairs of an escape's letter and its byte.
  static constexpr std::string_view kPairs = "\"\"\\\\a\ab\bf\fn\nr\rt\tv\v";
  for (std::size_t i = 0; i < kPairs.size(); i += 2) {
    if (kPairs[i] == letter) return kPairs[i + 1];
  }
  return std::nullopt;
}

// The bytes a quoted text stands for, or nothing when it is not one.
std::optional<std::string> Unquote(std::string_view q) {
  if (q.size() < 2 || q.front() != '"' || q.back() != '"') return std::nullopt;
  q = q.substr(1, q.size() - 2);
  std::string out;
  while (!q.empty()) {
    const char c = q.front();
    q.remove_prefix(1);
    if (c == '"') return std::nullopt;  // a quote inside must be escaped
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (q.empty()) return std::nullopt;
    const char e = q.front();
    q.remove_prefix(1);
    if (const std::optional<char> byte = ShortEscaped(e)) {
      out.push_back(*byte);
      continue;
    }
    std::optional<char32_t> v;
    if (e == 'x') {
      if (!(v = TakeHex(&q, 2))) return std::nullopt;
      out.push_back(static_cast<char>(*v));  // a byte, whatever it is
      continue;
    }
    if (e == 'u') {
      v = TakeHex(&q, 4);
    } else if (e == 'U') {
      v = TakeHex(&q, 8);
    }
    if (!v) return std::nullopt;
    // \u and \U stand for a code point: its UTF-8 bytes. Only the
    // shortest form is accepted, and only for what is not printable.
    if (*v < 0x80 || (e == 'U') != (*v >= 0x10000) || *v > 0x10FFFF ||
        (*v >= 0xD800 && *v <= 0xDFFF) || text::IsPrintable(*v)) {
      return std::nullopt;
    }
    AppendUtf8(&out, *v);
  }
  return out;
}

// The code point at the front of *s, strictly decoded (no overlong form,
// no surrogate, nothing above U+10FFFF), or nothing.
std::optional<char32_t> TakeRune(std::string_view* s) {
  const auto b0 = static_cast<unsigned char>(s->front());
  std::size_t n;
  char32_t r;
  if (b0 < 0x80) {
    n = 1, r = b0;
  } else if ((b0 & 0xE0) == 0xC0) {
    n = 2, r = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3, r = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4, r = b0 & 0x07;
  } else {
    return std::nullopt;
  }
  if (s->size() < n) return std::nullopt;
  for (std::size_t i = 1; i < n; ++i) {
    const auto b = static_cast<unsigned char>((*s)[i]);
    if ((b & 0xC0) != 0x80) return std::nullopt;
    r = (r << 6) | (b & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (r < kMin[n] || r > 0x10FFFF || (r >= 0xD800 && r <= 0xDFFF)) {
    return std::nullopt;
  }
  s->remove_prefix(n);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view in = fuzz::AsText(data, size);
  const std::string q = text::Quote(in);

  const std::optional<std::string> back = Unquote(q);
  FUZZ_CHECK(back.has_value(), "not a quoted text: %s", fuzz::Show(q).c_str());
  FUZZ_CHECK(*back == in, "%s unquotes to %s, not %s", fuzz::Show(q).c_str(),
             fuzz::Show(*back).c_str(), fuzz::Show(in).c_str());

  std::string_view rest = q;
  while (!rest.empty()) {
    const std::size_t at = q.size() - rest.size();
    const std::optional<char32_t> r = TakeRune(&rest);
    FUZZ_CHECK(r.has_value(), "invalid UTF-8 at byte %zu of %s", at,
               fuzz::Show(q).c_str());
    FUZZ_CHECK(text::IsPrintable(*r), "U+%04X at byte %zu of %s",
               static_cast<unsigned>(*r), at, fuzz::Show(q).c_str());
  }
  return 0;
}
