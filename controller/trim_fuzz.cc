// Fuzzes trimming (TrimSpace) and the kill setting's reading
// (computeSigInt: upper-casing, then trimming) on arbitrary bytes.
// The input is handed over as an exact-size heap copy, so a read past its
// end is an AddressSanitizer report.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "controller/config.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  auto copy = std::make_unique<char[]>(size);
  if (size > 0) std::memcpy(copy.get(), data, size);
  const std::string_view in(copy.get(), size);

  const std::string_view t = controller::TrimSpace(in);
  // A view into the input, never a copy or a view past it.
  FUZZ_CHECK(t.data() >= in.data() && t.data() + t.size() <= in.data() + size,
             "result outside the input");
  FUZZ_CHECK(t == fuzz::ReferenceTrim(in), "trimmed %s to %s",
             fuzz::Show(in).c_str(), fuzz::Show(t).c_str());
  const std::string_view again = controller::TrimSpace(t);
  FUZZ_CHECK(again.data() == t.data() && again.size() == t.size(),
             "trimming %s again gave %s", fuzz::Show(t).c_str(),
             fuzz::Show(again).c_str());

  const bool kill = controller::computeSigInt(in);
  if (fuzz::IsAscii(in)) {
    FUZZ_CHECK(kill == fuzz::ReferenceKillForAscii(in), "%s read as %d",
               fuzz::Show(in).c_str(), kill);
  } else if (kill) {
    // Beyond ASCII only the blanks around may differ from ASCII's: no
    // other character may pass for a letter of "true".
    const std::string_view word = fuzz::ReferenceTrim(in);
    FUZZ_CHECK(!word.empty() && fuzz::ReferenceKillForAscii(word),
               "%s read as true", fuzz::Show(in).c_str());
  }
  return 0;
}
