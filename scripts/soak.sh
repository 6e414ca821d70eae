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
# shellcheck source=scripts/bench-common.sh
. ./scripts/bench-common.sh
bench_prepare soak_bench zorvane-soak
log=build-bench/soak-$(date +%Y%m%d-%H%M%S).log
./build-bench/bench/soak_bench --minutes="$minutes" --workdir="$work" \
  --log="$log" "$@"
