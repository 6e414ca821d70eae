#!/usr/bin/env bash
# Builds the project and runs every test: a plain build, then the same
# tests under AddressSanitizer with UndefinedBehaviorSanitizer, then under
# ThreadSanitizer; then a short run of every fuzz target (scripts/fuzz.sh,
# 15 s each); then the static release builds for amd64 and arm64 with their
# checks (scripts/check-release.sh) and the lint checks (scripts/lint.sh).
# Name kinds to run only those: scripts/test.sh plain
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=(plain address thread fuzz release lint)

# The arm64 release build needs the cross tools and the emulator; only the
# release kind asks for them. Without them it is skipped, and says so.
cross_tools() {
  command -v aarch64-linux-gnu-g++ >/dev/null &&
    command -v qemu-aarch64-static >/dev/null &&
    [ -f /usr/lib/aarch64-linux-gnu/libre2.a ]
}
if [[ " ${builds[*]} " == *" release "* ]]; then
  ./scripts/setup.sh --cross arm64 ||
    echo "test: the arm64 cross tools could not be installed" >&2
fi

for kind in "${builds[@]}"; do
  case "$kind" in
    release)
      echo "== release build: build-release"
      cmake --preset release >/dev/null
      cmake --build --preset release
      ./scripts/check-release.sh
      if cross_tools; then
        echo "== release build for arm64: build-release-arm64"
        cmake --preset release-arm64 >/dev/null
        cmake --build --preset release-arm64
        ./scripts/check-release.sh arm64
      else
        echo "== release build for arm64: SKIPPED: no cross tools" \
          "(scripts/setup.sh --cross arm64 installs them)"
      fi
      continue ;;
    lint)
      echo "== lint"
      ./scripts/lint.sh
      continue ;;
    fuzz)
      # Works on copies of the seeds in build-fuzz; the repository's corpus
      # is only read.
      echo "== fuzz targets: build-fuzz, 15 s each"
      ./scripts/fuzz.sh 15
      continue ;;
    plain)   dir=build;      sanitize="";      bench=ON ;;
    address) dir=build-asan; sanitize=address; bench=OFF ;;
    thread)  dir=build-tsan; sanitize=thread;  bench=OFF ;;
    *) echo "unknown kind '$kind'" \
         "(plain, address, thread, fuzz, release or lint)" >&2
       exit 2 ;;
  esac
  echo "== $kind build: $dir"
  # The plain build builds the benchmarks too: their own tests run, and the
  # micro-benchmarks keep compiling against the watcher.
  cmake -S . -B "$dir" -G Ninja -DZORVANE_SANITIZE="$sanitize" \
    -DZORVANE_BENCHMARKS="$bench" >/dev/null
  cmake --build "$dir"
  # halt_on_error keeps a sanitizer report from passing as a green test.
  ASAN_OPTIONS=abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$dir" --output-on-failure -j2
done
