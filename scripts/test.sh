#!/usr/bin/env bash
# Builds the project and runs every test: a plain build, then the same
# tests under AddressSanitizer with UndefinedBehaviorSanitizer, then under
# ThreadSanitizer. Name builds to run only those: scripts/test.sh plain
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=(plain address thread)

for kind in "${builds[@]}"; do
  case "$kind" in
    plain)   dir=build;      sanitize="" ;;
    address) dir=build-asan; sanitize=address ;;
    thread)  dir=build-tsan; sanitize=thread ;;
    *) echo "unknown build '$kind' (plain, address or thread)" >&2; exit 2 ;;
  esac
  echo "== $kind build: $dir"
  # The benchmarks are built too: their own tests run, and the
  # micro-benchmarks keep compiling against the watcher.
  cmake -S . -B "$dir" -G Ninja -DZORVANE_SANITIZE="$sanitize" \
    -DZORVANE_BENCHMARKS=ON >/dev/null
  cmake --build "$dir"
  # halt_on_error keeps a sanitizer report from passing as a green test.
  ASAN_OPTIONS=abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$dir" --output-on-failure -j2
done
