#!/usr/bin/env bash
# Runs the tests of one build directory, and fails when a process started
# by a test outlives the run.
#
#   scripts/run-ctest.sh BUILD_DIR
#
# As root the tests run in a PID namespace of their own (unshare), whose
# process 1 is this script: every process a test leaves behind ends up
# below it, whatever it did (a new session, a dead parent). After ctest
# the processes of the namespace are listed once more; any but this
# script is a leftover, printed with its command line. Leftovers end with
# the namespace. Without root the tests run directly, unchecked.
set -euo pipefail
dir=$1

# halt_on_error keeps a sanitizer report from passing as a green test.
export ASAN_OPTIONS=abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

if [ "${2:-}" != --in-namespace ]; then
  if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null; then
    echo "run-ctest: not root: no check for processes left behind" >&2
    exec ctest --test-dir "$dir" --output-on-failure -j2
  fi
  status=0
  unshare --pid --fork --mount-proc --kill-child -- \
    "$0" "$dir" --in-namespace || status=$?
  # Process 1 of the namespace outlives an interrupt (Ctrl-C) and exits:
  # end by the interrupt here, so that the caller stops too.
  if [ "$status" -eq 130 ]; then
    trap - INT
    kill -INT $$
  fi
  exit "$status"
fi

# The processes of this namespace but this script, the subshell that
# lists and zombies, read with builtins only, so that the listing starts
# nothing that it would list.
others() {
  local d line state
  for d in /proc/[0-9]*; do
    case ${d#/proc/} in 1 | "$BASHPID") continue ;; esac
    read -r line 2>/dev/null <"$d/stat" || continue
    state=${line##*) }
    [ "${state%% *}" = Z ] && continue
    echo "${d#/proc/}"
  done
}

# An interrupt (Ctrl-C) reaches process 1 of a namespace only through a
# trap, and a trap only runs while the shell waits in `wait`: ctest runs in
# the background, given back the default SIGINT and SIGQUIT that a
# background job lacks (the controller keeps a signal ignored at its
# start). Interrupted, this script ends at once, and the namespace with it.
trap 'exit 130' INT
# A test whose output a leftover holds open would keep ctest waiting for
# its default 25 minutes.
(
  trap - INT QUIT
  exec ctest --test-dir "$dir" --output-on-failure -j2 --timeout 300
) &
status=0
wait $! || status=$?
trap - INT

# A process killed at the end of its test may take a moment to go.
left=$(others)
for _ in $(seq 100); do
  [ -z "$left" ] && break
  sleep 0.1
  left=$(others)
done
if [ -n "$left" ]; then
  echo "run-ctest: processes of the tests outlived them:" >&2
  # shellcheck disable=SC2086 # one pid a word
  ps -o pid,ppid,etime,args -p "$(echo $left | tr ' ' ,)" >&2
  exit 1
fi
echo "run-ctest: no process of the tests is left"
exit $status
