#!/usr/bin/env bash
# The whole-process benchmark: builds the controller and the floor walker in
# release mode, then runs both on the same generated trees at a 1 s interval
# and prints one table of CPU per polling cycle, peak memory, start-up and
# change-to-run latency against the performance goals. Takes a few minutes.
# Arguments go to the harness (for example --window=20 --edits=7);
# --million adds a tree of a million entries, whose cycle outlasts the
# interval (some minutes more; kept out of CI).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DZORVANE_BENCHMARKS=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench -j2 --target process_bench

# The harness removes each tree after its runs; this covers a harness that
# was killed outright.
work=$(mktemp -d /tmp/zorvane-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
echo "== controller at $(git rev-parse --short HEAD 2>/dev/null || echo '?')" \
  "$(git diff --quiet HEAD 2>/dev/null || echo '(with uncommitted changes)')"
./build-bench/bench/process_bench --workdir="$work" "$@"
