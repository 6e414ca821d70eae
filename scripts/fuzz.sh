#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UBSan) in
# build-fuzz and runs each for SECONDS (default 60), as many at a time as
# the machine has cores. With target names, runs only those.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# Each target starts from its seeds in fuzz/corpus/TARGET/, copied into
# build-fuzz/corpus/TARGET/; new inputs the run finds go there, never into
# the repository, and the next run goes on from them. A crash, a sanitizer
# report or a broken property ends that target's run with its input in
# build-fuzz/crashes/TARGET/ (crash-*, timeout-*, oom-*); replay it with
# build-fuzz/fuzz/TARGET FILE. The log of each run is
# build-fuzz/logs/TARGET.log. Fails when any target failed.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

seconds=${1:-60}
[ $# -eq 0 ] || shift
case "$seconds" in
  '' | *[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS] [TARGET...]" >&2
                 exit 2 ;;
esac

dir=build-fuzz
cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DZORVANE_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$dir" -j2 --target fuzz_targets

mapfile -t all <"$dir/fuzz/targets.txt"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
for t in "${targets[@]}"; do
  if ! printf '%s\n' "${all[@]}" | grep -qxF -- "$t"; then
    echo "fuzz: unknown target '$t' (${all[*]})" >&2
    exit 2
  fi
done

mkdir -p "$dir/logs"
# -timeout: an input taking more than 10 s is a hang, reported like a
# crash. UBSan's report aborts (the build has no recovery); its stack helps.
export UBSAN_OPTIONS=print_stacktrace=1
start() {
  local t=$1
  mkdir -p "$dir/corpus/$t" "$dir/crashes/$t"
  if [ -d "fuzz/corpus/$t" ]; then cp -rn "fuzz/corpus/$t/." "$dir/corpus/$t/"; fi
  "$dir/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$dir/crashes/$t/" \
    "$dir/corpus/$t" >"$dir/logs/$t.log" 2>&1
}

# What one run did, from libFuzzer's final lines.
report() {
  local t=$1 status=$2 log=$dir/logs/$1.log runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$status" -eq 0 ]; then
    echo "fuzz: ok: $t: ${runs:-?} inputs in ${seconds} s," \
      "corpus of $(find "$dir/corpus/$t" -type f | wc -l)"
    passed=$((passed + 1))
  else
    echo "fuzz: FAILED: $t (status $status); the end of $log:" >&2
    tail -n 40 "$log" >&2
    grep -h 'Test unit written to' "$log" >&2 || true
    failed=$((failed + 1))
  fi
}

passed=0
failed=0
jobs_max=$(nproc)
declare -A running=()  # pid -> target
for t in "${targets[@]}"; do
  if [ ${#running[@]} -ge "$jobs_max" ]; then
    status=0
    wait -n -p done_pid "${!running[@]}" || status=$?
    report "${running[$done_pid]}" "$status"
    unset "running[$done_pid]"
  fi
  start "$t" &
  running[$!]=$t
done
while [ ${#running[@]} -gt 0 ]; do
  status=0
  wait -n -p done_pid "${!running[@]}" || status=$?
  report "${running[$done_pid]}" "$status"
  unset "running[$done_pid]"
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
