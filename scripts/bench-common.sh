# shellcheck shell=bash
# What the benchmark scripts share; sourced from the repository's root by
# bench-process.sh and soak.sh, not run on its own.

# bench_prepare TARGET PREFIX
# Builds TARGET of the benchmark build (release mode, no tests) in
# build-bench/, makes a working directory /tmp/PREFIX.XXXXXX in $work that
# goes when the script exits (the harness removes its trees itself; this
# covers a harness that was killed outright), and says which controller is
# measured.
bench_prepare() {
  ./scripts/setup.sh
  cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DZORVANE_BENCHMARKS=ON -DBUILD_TESTING=OFF >/dev/null
  cmake --build build-bench -j2 --target "$1"
  work=$(mktemp -d "/tmp/$2.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  echo "== controller at $(git rev-parse --short HEAD 2>/dev/null || echo '?')" \
    "$(git diff --quiet HEAD 2>/dev/null || echo '(with uncommitted changes)')"
}
