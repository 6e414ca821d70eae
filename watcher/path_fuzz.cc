// Fuzzes cleanPath on arbitrary bytes: the result is clean (cleaning it
// again changes nothing, and it has no empty, "." or misplaced ".."
// element), keeps the input's kind (absolute or relative), and is never
// longer than the input plus one (an empty path cleans to ".").

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_util.h"
#include "watcher/path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view in = fuzz::AsText(data, size);
  const std::string c = watcher::cleanPath(in);
  const std::string shownText = fuzz::Show(in);
  const char* shown = shownText.c_str();

  FUZZ_CHECK(watcher::cleanPath(c) == c,
             "%s cleans to %s, and that again to %s", shown,
             fuzz::Show(c).c_str(), fuzz::Show(watcher::cleanPath(c)).c_str());
  FUZZ_CHECK(c.size() <= in.size() + 1, "%s cleans to the longer %s", shown,
             fuzz::Show(c).c_str());
  const bool rooted = !in.empty() && in.front() == '/';
  FUZZ_CHECK(!c.empty() && (c.front() == '/') == rooted, "%s cleans to %s",
             shown, fuzz::Show(c).c_str());
  if (c == "/" || c == ".") return 0;

  FUZZ_CHECK(c.back() != '/', "%s cleans to %s, with a trailing separator",
             shown, fuzz::Show(c).c_str());
  std::string_view rest = c;
  if (rooted) rest.remove_prefix(1);
  // A relative path may begin by climbing; after its first real element,
  // or anywhere below a root, ".." would have been resolved.
  bool climbing = !rooted;
  for (;;) {
    const auto slash = rest.find('/');
    const std::string_view elem = rest.substr(0, slash);
    FUZZ_CHECK(!elem.empty() && elem != ".", "%s cleans to %s", shown,
               fuzz::Show(c).c_str());
    if (elem == "..") {
      FUZZ_CHECK(climbing, "%s cleans to %s, with a \"..\" left in it", shown,
                 fuzz::Show(c).c_str());
    } else {
      climbing = false;
    }
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return 0;
}
