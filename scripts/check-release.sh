#!/usr/bin/env bash
# Checks a release build:
#
#   scripts/check-release.sh          the amd64 build (cmake --preset release)
#   scripts/check-release.sh arm64    the arm64 build (--preset release-arm64)
#
# The binary is static, stripped and built for the right machine; it runs
# in an empty environment inside a root that holds nothing but itself and
# /bin/bash; a watching run starts its server, runs the on-change command
# on a change and ends on SIGINT with status 130, leaving nothing behind; a
# server's exit status becomes the controller's; `cmake --install` puts
# exactly the binary and the manual page in place; the package target makes
# a .tar.gz and a .deb with the right names, contents and metadata.
#
# The arm64 binary runs through qemu-aarch64-static (scripts/setup.sh
# --cross arm64). The commands it starts are the build machine's own
# /bin/bash and programs, which the emulator runs natively. The runs need
# root (chroot, mknod, a pid namespace), as CI has; elsewhere they are
# skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:-amd64}
case "$arch" in
  amd64)
    preset=release
    machine="Advanced Micro Devices X86-64"
    system=Linux
    emulator=() ;;
  arm64)
    preset=release-arm64
    machine=AArch64
    system=Linux-aarch64
    emulator=(qemu-aarch64-static) ;;
  *) echo "usage: scripts/check-release.sh [amd64|arm64]" >&2; exit 2 ;;
esac

dir=build-$preset
exe=$dir/zorvane-controller
manpage=docs/zorvane-controller.1
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
[ -n "$version" ] || { echo "check-release: no version in $dir" >&2; exit 1; }
if [ ${#emulator[@]} -gt 0 ] && ! command -v "${emulator[0]}" >/dev/null; then
  echo "check-release: ${emulator[0]} is missing" \
    "(scripts/setup.sh --cross $arch installs it)" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
skipped=0
ok() { echo "check-release: ok: $arch: $1"; passed=$((passed + 1)); }
fail() { echo "check-release: FAILED: $arch: $1" >&2; failed=$((failed + 1)); }
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}

# Whether $1 holds the line $2.
has_line() { grep -qxF -- "$2" <<<"$1"; }

# A static executable asks for no loader and has no dynamic section; unlike
# ldd this also holds for a binary of another machine.
is_static() {
  ! readelf -lW "$1" | grep -q INTERP &&
    readelf -d "$1" | grep -qF "There is no dynamic section"
}

check "the binary is static" is_static "$exe"
check "the binary is stripped" \
  test -z "$(readelf --syms "$exe" 2>/dev/null)"
check "the binary is built for $machine" has_line \
  "$(readelf -h "$exe" | sed -n 's/^ *Machine: *//p')" "$machine"

# A root with the binary (and the emulator, which is static too), /bin/bash
# and what bash loads, and /dev/null (the standard input of every command).
# No library of the binary's machine is in it.
make_root() {
  local root=$work/root lib
  mkdir -p "$root/bin" "$root/dev"
  cp "$exe" "$root/zorvane-controller"
  if [ ${#emulator[@]} -gt 0 ]; then
    cp "$(command -v "${emulator[0]}")" "$root/${emulator[0]}"
  fi
  cp /bin/bash "$root/bin/bash"
  for lib in $(ldd /bin/bash | grep -o '/[^ ]*'); do
    cp -L --parents "$lib" "$root"
  done
  mknod -m 666 "$root/dev/null" c 1 3
}

# run_in_root [NAME=VALUE...] [-- ARG...]: runs the controller in the
# minimal root with only the given variables and arguments; sets status,
# out and err.
run_in_root() {
  local chroot vars=() start=()
  chroot=$(command -v chroot)
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    vars+=("$1")
    shift
  done
  [ $# -eq 0 ] || shift
  [ ${#emulator[@]} -eq 0 ] || start=("/${emulator[0]}")
  status=0
  env -i "${vars[@]}" timeout 20 "$chroot" "$work/root" \
    "${start[@]}" /zorvane-controller "$@" >"$work/out" 2>"$work/err" ||
    status=$?
  out=$(<"$work/out")
  err=$(<"$work/err")
}

# watching_run DIR COMMAND...: runs as process 1 of a pid namespace of its
# own, with its own /proc, so that whatever the stack leaves behind is
# found here. Starts the controller (COMMAND) on a stack whose commands
# write to DIR/events, changes a watched file once the first listing is
# done, sends SIGINT once the on-change command ran, and writes the
# controller's status to DIR/status and the processes left to DIR/left.
watching_run() {
  local w=$1 pid status=0 p line left=""
  shift
  # Job control: the controller gets a group of its own and SIGINT at its
  # default. A script's background job would start with SIGINT ignored,
  # and an ignored stop signal stays ignored.
  set -m
  # wait_for FILE TEXT: true once FILE holds TEXT, false after 30 s.
  wait_for() {
    local i
    for ((i = 0; i < 300; i++)); do
      grep -qF -- "$2" "$1" 2>/dev/null && return 0
      sleep 0.1
    done
    return 1
  }
  mkdir -p "$w/src"
  echo one >"$w/src/app.js"
  : >"$w/events"
  env -i PATH=/usr/bin:/bin \
    ZORVANE_RUN="echo started >>$w/events; exec sleep 1000" \
    ZORVANE_RUN_ON_CHANGE="echo changed >>$w/events; exec sleep 1000" \
    ZORVANE_WATCH_DIR="$w/src" ZORVANE_WATCH_REGEX='\.js$' \
    ZORVANE_WATCH_INTERVAL=1 ZORVANE_STOP_TIMEOUT=5 \
    "$@" -v 2>"$w/log" &
  pid=$!
  if wait_for "$w/log" "Watch interval is:" && wait_for "$w/events" started
  then
    echo two >>"$w/src/app.js"
    wait_for "$w/events" changed || true
  fi
  kill -INT "$pid"
  # A controller that does not end is killed, and its status tells so.
  for ((p = 0; p < 300; p++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" || status=$?
  echo "$status" >"$w/status"
  # Everything in the namespace but this shell; builtins only, so that the
  # listing itself starts no process.
  # An ended orphan this shell has not reaped yet is not left running.
  for p in /proc/[0-9]*; do
    p=${p#/proc/}
    [ "$p" != 1 ] || continue
    read -r line 2>/dev/null <"/proc/$p/stat" || continue
    [[ ${line##*) } != Z* ]] || continue
    left+="${line%% "${line#* * * * }"}"$'\n'  # pid (name) state parent
  done
  printf '%s' "$left" >"$w/left"
}

if [ "$(id -u)" -eq 0 ]; then
  make_root
  run_in_root
  check "no variables: the one Fatal line and status 1" test \
    "$status:$out:$err" = "1::[Fatal] Warning: setup did not find all environment variables ZORVANE_DEBUG and ZORVANE_RUN and ZORVANE_TEST can not be empty."
  run_in_root ZORVANE_RUN='echo started'
  check "ZORVANE_RUN alone: the server runs through /bin/bash, status 0" \
    test "$status:$out" = "0:started"
  run_in_root ZORVANE_RUN='exit 3'
  check "a server that exits 3 without watching: status 3" \
    test "$status" = 3
  run_in_root ZORVANE_RUN=true -- -v
  check "the banner names version $version" \
    grep -qF "[Debug] Controller main ENTRY $version" "$work/err"

  w=$work/watch
  mkdir -p "$w"
  export -f watching_run
  timeout 90 unshare --pid --fork --kill-child --mount-proc \
    bash -c 'watching_run "$@"' watching_run "$w" \
    "${emulator[@]}" "$(pwd)/$exe" 2>"$w/shell" || true
  events=$(tr '\n' ' ' <"$w/events" 2>/dev/null || true)
  status=$(cat "$w/status" 2>/dev/null || true)
  check "a watching run starts the server" test "${events%% *}" = started
  check "a file change starts the on-change command" \
    test "$events" = "started changed "
  check "SIGINT ends a watching run with status 130" test "$status" = 130
  check "nothing of the stack is left after SIGINT" \
    test -f "$w/left" -a ! -s "$w/left"
  if [ "$events:$status" != "started changed :130" ] || [ -s "$w/left" ]
  then
    echo "check-release: the watching run: events: $events status: $status" \
      "left: $(cat "$w/left" 2>/dev/null)" >&2
    cat "$w/log" "$w/shell" >&2 2>/dev/null || true
  fi
else
  echo "check-release: skipped: $arch: the runs (need root)"
  skipped=$((skipped + 8))
fi

prefix=$work/prefix
cmake --install "$dir" --prefix "$prefix" >/dev/null
check "cmake --install puts exactly the binary and the manual page" test \
  "$(cd "$prefix" && find . -type f | sort | tr '\n' ' ')" = \
  "./bin/zorvane-controller ./share/man/man1/zorvane-controller.1.gz "
check "the installed binary is the built one" \
  cmp -s "$exe" "$prefix/bin/zorvane-controller"
check "the installed manual page is the source's" \
  cmp -s "$manpage" <(gzip -dc "$prefix/share/man/man1/zorvane-controller.1.gz")

rm -f "$dir"/zorvane-controller*.deb "$dir"/zorvane-controller*.tar.gz
cmake --build --preset "$preset" --target package >/dev/null
deb=$dir/zorvane-controller_${version}_$arch.deb
top=zorvane-controller-$version-$system
tgz=$dir/$top.tar.gz
check "the package target makes $(basename "$deb")" test -f "$deb"
check "the package target makes $(basename "$tgz")" test -f "$tgz"
check "the package target makes nothing else" test \
  "$(find "$dir" -maxdepth 1 -name 'zorvane-controller*' \
    \( -name '*.deb' -o -name '*.tar.gz' \) | wc -l)" = 2
if [ -f "$deb" ]; then
  info=$(dpkg-deb -I "$deb")
  check "the .deb is zorvane-controller $version" has_line "$info" \
    " Package: zorvane-controller"
  check "the .deb has version $version" has_line "$info" " Version: $version"
  check "the .deb is for $arch" has_line "$info" " Architecture: $arch"
  check "the .deb depends on bash" has_line "$info" " Depends: bash"
  check "the .deb has a maintainer and a description" \
    grep -qE '^ (Maintainer|Description): .+' <<<"$info"
  files=$(dpkg-deb -c "$deb" | awk '!/^d/ {print $NF}' | sort | tr '\n' ' ')
  check "the .deb holds the binary and the manual page" test "$files" = \
    "./usr/bin/zorvane-controller ./usr/share/man/man1/zorvane-controller.1.gz "
  dpkg-deb -x "$deb" "$work/deb"
  check "the .deb's binary is the built one" \
    cmp -s "$exe" "$work/deb/usr/bin/zorvane-controller"
fi
if [ -f "$tgz" ]; then
  files=$(tar tzf "$tgz" | grep -v '/$' | sort | tr '\n' ' ')
  check "the .tar.gz holds the binary and the manual page" test "$files" = \
    "$top/bin/zorvane-controller $top/share/man/man1/zorvane-controller.1.gz "
fi

echo "check-release: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
