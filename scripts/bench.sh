#!/usr/bin/env bash
# Builds the micro-benchmarks in release mode and runs them. Each compares
# against a baseline measured in the same run; quote the ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DZORVANE_BENCHMARKS=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench --target klog_bench watcher_bench
./build-bench/klog/klog_bench "$@"
./build-bench/watcher/watcher_bench "$@"
