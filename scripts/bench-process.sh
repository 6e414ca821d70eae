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
# shellcheck source=scripts/bench-common.sh
. ./scripts/bench-common.sh
bench_prepare process_bench zorvane-bench
./build-bench/bench/process_bench --workdir="$work" "$@"
