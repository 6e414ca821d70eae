#!/usr/bin/env bash
# The soak run: builds the controller and the harness in release mode, then
# runs the controller for MINUTES (30 by default) on a 20,000-entry tree
# at a 1 s interval while the tree changes every 0.3-3 s, and prints what
# the run showed: changes missed, runs, threads, descriptors, memory,
# zombies and processes left. The controller's log is kept in build-bench/.
# Further arguments go to the harness (for example --seed=N).
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=30
if [ $# -gt 0 ] && [[ "$1" != --* ]]; then
  minutes=$1
  shift
fi
./scripts/setup.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DZORVANE_BENCHMARKS=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench -j2 --target soak_bench

# The harness removes its tree and ends what the controller left, also on
# Ctrl-C; this covers a harness that was killed outright.
work=$(mktemp -d /tmp/zorvane-soak.XXXXXX)
trap 'rm -rf "$work"' EXIT
log=build-bench/soak-$(date +%Y%m%d-%H%M%S).log
echo "== controller at $(git rev-parse --short HEAD 2>/dev/null || echo '?')" \
  "$(git diff --quiet HEAD 2>/dev/null || echo '(with uncommitted changes)')"
./build-bench/bench/soak_bench --minutes="$minutes" --workdir="$work" \
  --log="$log" "$@"
