// Options and numbers read from command lines and /proc files.

#ifndef ZORVANE_BENCH_NUMBER_H_
#define ZORVANE_BENCH_NUMBER_H_

#include <algorithm>
#include <charconv>
#include <initializer_list>
#include <string>
#include <string_view>
#include <system_error>

namespace bench {

/// Parses all of `s` as a number (decimal; a leading "-" only for signed
/// and floating types). False, with `*out` not to be relied on, when `s` is
/// empty, holds anything else, or is out of range.
template <typename T>
bool ParseNumber(std::string_view s, T* out) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec == std::errc() && end == s.data() + s.size();
}

/// Splits a command-line option "--key=value" into its key and value.
/// False for anything else ("--key", "-k=v", "value").
inline bool SplitOption(std::string_view arg, std::string_view* key,
                        std::string_view* value) {
  const size_t eq = arg.find('=');
  if (!arg.starts_with("--") || eq == std::string_view::npos) return false;
  *key = arg.substr(2, eq - 2);
  *value = arg.substr(eq + 1);
  return true;
}

/// Reads argv[1..] as "--key=value" options, handing each key and value to
/// `take(key, value)`, which returns false for a key it does not know or a
/// value it refuses. An argument listed in `flags` ("--million") goes to
/// `take` by its key with an empty value. False at the first argument that
/// is malformed, refused, or an option with an empty value.
template <typename Take>
bool ParseOptionList(int argc, char** argv,
                     std::initializer_list<std::string_view> flags,
                     Take take) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (std::find(flags.begin(), flags.end(), arg) != flags.end()) {
      if (!take(arg.substr(2), std::string())) return false;
      continue;
    }
    std::string_view key, text;
    if (!SplitOption(arg, &key, &text)) return false;
    if (text.empty() || !take(key, std::string(text))) return false;
  }
  return true;
}

}  // namespace bench

#endif  // ZORVANE_BENCH_NUMBER_H_
