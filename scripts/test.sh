#!/usr/bin/env bash
# Builds the project and runs every test: a plain build, then the same
# tests under AddressSanitizer with UndefinedBehaviorSanitizer, then under
# ThreadSanitizer; then a short run of every fuzz target (scripts/fuzz.sh,
# 15 s each); then the static release builds for amd64 and arm64 with their
# checks (scripts/check-release.sh) and the lint checks (scripts/lint.sh). A
# test run fails too when a process of a test outlives it
# (scripts/run-ctest.sh).
# Name kinds to run only those: scripts/test.sh plain
#
# The kind `stress`, not run by default, runs the plain build's tests five
# times in a row and each sanitizer build's once, while two busy loops keep
# both cores loaded: a test that depends on scheduling fails there.
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

# Configures and builds the tests of one kind (plain, address or thread)
# and sets `dir` to its build directory.
build_tests() {
  local sanitize bench
  case "$1" in
    plain)   dir=build;      sanitize="";      bench=ON ;;
    address) dir=build-asan; sanitize=address; bench=OFF ;;
    thread)  dir=build-tsan; sanitize=thread;  bench=OFF ;;
  esac
  echo "== $1 build: $dir"
  # The plain build builds the benchmarks too: their own tests run, and the
  # micro-benchmarks keep compiling against the watcher.
  cmake -S . -B "$dir" -G Ninja -DZORVANE_SANITIZE="$sanitize" \
    -DZORVANE_BENCHMARKS="$bench" >/dev/null
  cmake --build "$dir"
}

# Runs the plain build's tests five times and each sanitizer build's once
# while both cores are kept busy, and reports how many runs passed.
stress() {
  local kind runs=()
  for kind in plain address thread; do
    build_tests "$kind"
    runs+=("$dir")
    [ "$kind" != plain ] || runs+=("$dir" "$dir" "$dir" "$dir")
  done
  # Not local: the trap below may run after this function has gone.
  busy=()
  yes >/dev/null &
  busy+=($!)
  yes >/dev/null &
  busy+=($!)
  # Ended by their numbers, also when the script is interrupted.
  trap 'kill "${busy[@]}" 2>/dev/null || true' EXIT
  local passed=0 failed=() i=0 d
  for d in "${runs[@]}"; do
    i=$((i + 1))
    echo "== stress run $i of ${#runs[@]}: $d, both cores busy"
    if ./scripts/run-ctest.sh "$d"; then
      passed=$((passed + 1))
    else
      failed+=("$i ($d)")
    fi
  done
  kill "${busy[@]}"
  wait "${busy[@]}" 2>/dev/null || true
  trap - EXIT
  echo "== stress: $passed of ${#runs[@]} runs passed" \
    "(build 5, build-asan 1, build-tsan 1)"
  if [ ${#failed[@]} -gt 0 ]; then
    echo "stress: failed runs: ${failed[*]}" >&2
    return 1
  fi
}

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
    stress)
      stress
      continue ;;
    plain | address | thread)
      build_tests "$kind"
      ./scripts/run-ctest.sh "$dir" ;;
    *) echo "unknown kind '$kind'" \
         "(plain, address, thread, fuzz, release, lint or stress)" >&2
       exit 2 ;;
  esac
done
