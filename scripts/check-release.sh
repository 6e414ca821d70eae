#!/usr/bin/env bash
# Checks the release build (cmake --preset release && cmake --build --preset
# release): the binary is static and stripped; it runs in an empty
# environment inside a root that holds nothing but itself and /bin/bash;
# `cmake --install` puts exactly the binary and the manual page in place;
# the package target makes a .tar.gz and a .deb with the right contents and
# metadata. The run in the minimal root needs root (chroot, mknod), as CI
# has; elsewhere those checks are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build-release
exe=$dir/zorvane-controller
manpage=docs/zorvane-controller.1
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
[ -n "$version" ] || { echo "check-release: no version in $dir" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
skipped=0
ok() { echo "check-release: ok: $1"; passed=$((passed + 1)); }
fail() { echo "check-release: FAILED: $1" >&2; failed=$((failed + 1)); }
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}

# Whether $1 holds the line $2.
has_line() { grep -qxF -- "$2" <<<"$1"; }

check "ldd finds no dynamic dependency" \
  grep -qF "not a dynamic executable" <<<"$(ldd "$exe" 2>&1 || true)"
check "the binary is stripped" \
  test -z "$(readelf --syms "$exe" 2>/dev/null)"

# A root with the binary, /bin/bash and what bash loads, and /dev/null (the
# standard input of every command).
make_root() {
  local root=$work/root lib
  mkdir -p "$root/bin" "$root/dev"
  cp "$exe" "$root/zorvane-controller"
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
  local chroot vars=()
  chroot=$(command -v chroot)
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    vars+=("$1")
    shift
  done
  [ $# -eq 0 ] || shift
  status=0
  env -i "${vars[@]}" timeout 20 "$chroot" "$work/root" /zorvane-controller \
    "$@" >"$work/out" 2>"$work/err" || status=$?
  out=$(<"$work/out")
  err=$(<"$work/err")
}

if [ "$(id -u)" -eq 0 ]; then
  make_root
  run_in_root
  check "no variables: the one Fatal line and status 1" test \
    "$status:$out:$err" = "1::[Fatal] Warning: setup did not find all environment variables ZORVANE_DEBUG and ZORVANE_RUN and ZORVANE_TEST can not be empty."
  run_in_root ZORVANE_RUN='echo started'
  check "ZORVANE_RUN alone: the server runs through /bin/bash, status 0" \
    test "$status:$out" = "0:started"
  run_in_root ZORVANE_RUN=true -- -v
  check "the banner names version $version" \
    grep -qF "[Debug] Controller main ENTRY $version" "$work/err"
else
  echo "check-release: skipped: the run in a minimal root (needs root)"
  skipped=$((skipped + 3))
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
cmake --build --preset release --target package >/dev/null
deb=$(find "$dir" -maxdepth 1 -name "zorvane-controller_${version}_*.deb")
tgz=$dir/zorvane-controller-$version-Linux.tar.gz
check "the package target makes the .deb" test -n "$deb" -a -f "$deb"
check "the package target makes the .tar.gz" test -f "$tgz"
if [ -n "$deb" ]; then
  info=$(dpkg-deb -I "$deb")
  check "the .deb is zorvane-controller $version" has_line "$info" \
    " Package: zorvane-controller"
  check "the .deb has version $version" has_line "$info" " Version: $version"
  check "the .deb depends on bash" has_line "$info" " Depends: bash"
  check "the .deb has a maintainer and a description" \
    grep -qE '^ (Maintainer|Description): .+' <<<"$info"
  files=$(dpkg-deb -c "$deb" | awk '!/^d/ {print $NF}' | sort | tr '\n' ' ')
  check "the .deb holds the binary and the manual page" test "$files" = \
    "./usr/bin/zorvane-controller ./usr/share/man/man1/zorvane-controller.1.gz "
fi
if [ -f "$tgz" ]; then
  files=$(tar tzf "$tgz" | grep -v '/$' | sort | tr '\n' ' ')
  top=zorvane-controller-$version-Linux
  check "the .tar.gz holds the binary and the manual page" test "$files" = \
    "$top/bin/zorvane-controller $top/share/man/man1/zorvane-controller.1.gz "
fi

echo "check-release: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
