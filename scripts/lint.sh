#!/usr/bin/env bash
# Checks what the compiler does not: the C++ sources with clang-tidy (the
# checks in .clang-tidy), the shell scripts with shellcheck, and the manual
# page with groff's warnings (what `man` would complain about).
#
#   scripts/lint.sh [--all] [BUILD_DIR]
#
# clang-tidy reads BUILD_DIR's compile_commands.json (default: build,
# configured here when missing). Without --all it checks the program's own
# sources; --all adds the tests and benchmarks (slower).
set -euo pipefail
cd "$(dirname "$0")/.."

all=false
if [ "${1:-}" = "--all" ]; then
  all=true
  shift
fi
dir=${1:-build}

if [ ! -f "$dir/compile_commands.json" ]; then
  cmake -S . -B "$dir" -G Ninja >/dev/null
fi
# Generated headers and the like must exist for the sources to parse.
cmake --build "$dir" >/dev/null

if $all; then
  sources="$(pwd)/(base|klog|text|watcher|supervise|controller|testsupport|bench)/[a-z_]+\.cc$"
else
  sources="$(pwd)/(base|klog|text|watcher|supervise|controller)/[a-z_]+(?<!_test)(?<!_bench)\.cc$"
fi
# clang 14 with GCC 12's library lacks std::source_location, which the
# logging core needs; the fuzz build's stand-in fills the gap here too.
compat="$(pwd)/fuzz/source_location_compat.h"
out=$(run-clang-tidy-14 -p "$dir" -quiet -j "$(nproc)" \
      -extra-arg=-include -extra-arg="$compat" "$sources" 2>&1) || {
  echo "$out" >&2
  echo "lint: clang-tidy failed" >&2
  exit 1
}
if grep -qE "(warning|error):" <<<"$out"; then
  grep -E -A3 "(warning|error):" <<<"$out" >&2
  echo "lint: clang-tidy has findings" >&2
  exit 1
fi
echo "lint: clang-tidy finds nothing"

shellcheck scripts/*.sh .ci/run
echo "lint: scripts are shellcheck-clean"

manpage=docs/zorvane-controller.1
warnings=$(groff -man -ww -z -K utf8 "$manpage" 2>&1)
if [ -n "$warnings" ]; then
  echo "$warnings" >&2
  echo "lint: $manpage has warnings" >&2
  exit 1
fi
echo "lint: $manpage renders without warnings"
