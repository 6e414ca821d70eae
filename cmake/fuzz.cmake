# ZORVANE_FUZZ=ON builds the libFuzzer targets (clang only; build them with
# scripts/fuzz.sh). Everything in such a build is compiled with coverage
# instrumentation, AddressSanitizer and UndefinedBehaviorSanitizer, so a
# fault in a library shows up as a crash of the target that drives it.
# Undefined behaviour aborts instead of printing and going on: a report
# that lets the run continue would pass as a clean run.
option(ZORVANE_FUZZ "Build the libFuzzer targets (clang only)" OFF)

if(ZORVANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "ZORVANE_FUZZ needs clang: -DCMAKE_CXX_COMPILER=clang++")
  endif()
  if(NOT ZORVANE_SANITIZE STREQUAL "" OR ZORVANE_STATIC)
    message(FATAL_ERROR
      "ZORVANE_FUZZ brings its own sanitizers: no ZORVANE_SANITIZE or ZORVANE_STATIC")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                      -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  # clang 14 with GCC 12's library has no std::source_location, which the
  # logging core takes its call sites from.
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS -std=c++20)
  check_cxx_source_compiles([[
    #include <source_location>
    int main() { return std::source_location::current().line() > 0 ? 0 : 1; }
  ]] ZORVANE_HAVE_SOURCE_LOCATION)
  unset(CMAKE_REQUIRED_FLAGS)
  if(NOT ZORVANE_HAVE_SOURCE_LOCATION)
    add_compile_options(
      -include ${PROJECT_SOURCE_DIR}/fuzz/source_location_compat.h)
  endif()
  add_link_options(-fsanitize=address,undefined)
  add_custom_target(fuzz_targets)
endif()

# zorvane_fuzz_target(NAME SOURCES file... [LIBS target...])
# A libFuzzer executable build-dir/fuzz/NAME. Its seed corpus is
# fuzz/corpus/NAME/; scripts/fuzz.sh finds it through the list
# build-dir/fuzz/targets.txt written by zorvane_fuzz_write_list().
function(zorvane_fuzz_target name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBS")
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE ${arg_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  add_dependencies(fuzz_targets ${name})
  set_property(GLOBAL APPEND PROPERTY ZORVANE_FUZZ_TARGETS ${name})
endfunction()

# Writes the names of all targets made by zorvane_fuzz_target, one a line.
# Call once, after every component's directory has been added.
function(zorvane_fuzz_write_list)
  get_property(names GLOBAL PROPERTY ZORVANE_FUZZ_TARGETS)
  list(JOIN names "\n" text)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/fuzz/targets.txt
       CONTENT "${text}\n" @ONLY)
endfunction()
