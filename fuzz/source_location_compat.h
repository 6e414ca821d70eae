// std::source_location for clang builds (the fuzz build, and any clang
// build through klog/CMakeLists.txt). clang 14 lacks the
// builtin that GCC 12's library needs for it, so <source_location> there
// declares nothing; this fills the gap with the builtins clang 14 has,
// which, in a default argument, give the position of the call that uses
// it, as std::source_location::current() does. It is included ahead of
// every source (cmake/fuzz.cmake, klog/CMakeLists.txt) and defines nothing
// where the library already has std::source_location.

#ifndef ZORVANE_FUZZ_SOURCE_LOCATION_COMPAT_H_
#define ZORVANE_FUZZ_SOURCE_LOCATION_COMPAT_H_

#include <cstdint>
#include <source_location>

#ifndef __cpp_lib_source_location
namespace std {

struct source_location {
  static constexpr source_location current(
      const char* file = __builtin_FILE(),
      const char* function = __builtin_FUNCTION(),
      uint_least32_t line = __builtin_LINE(),
      uint_least32_t column = __builtin_COLUMN()) noexcept {
    source_location where;
    where.file_ = file;
    where.function_ = function;
    where.line_ = line;
    where.column_ = column;
    return where;
  }
  constexpr source_location() noexcept = default;
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr const char* function_name() const noexcept { return function_; }
  constexpr uint_least32_t line() const noexcept { return line_; }
  constexpr uint_least32_t column() const noexcept { return column_; }

 private:
  const char* file_ = "";
  const char* function_ = "";
  uint_least32_t line_ = 0;
  uint_least32_t column_ = 0;
};

}  // namespace std
#endif

#endif  // ZORVANE_FUZZ_SOURCE_LOCATION_COMPAT_H_
