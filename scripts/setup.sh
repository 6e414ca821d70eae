#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages only.
# Idempotent: packages already present are left alone, and apt is not
# touched at all when nothing is missing.
#
#   scripts/setup.sh [--cross arm64]
#
# --cross arm64 also installs what the arm64 release build and its checks
# need: the aarch64 cross compiler, RE2's arm64 archive (through Debian's
# multiarch) and the user-mode emulator. Without it nothing of that is
# installed, so the demo does not wait for it.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libre2-dev libgtest-dev googletest
          libbenchmark-dev shellcheck groff-base clang libclang-rt-14-dev
          clang-tidy)

foreign=()
while [ $# -gt 0 ]; do
  case "$1" in
    --cross)
      case "${2:-}" in
        arm64)
          foreign+=(arm64)
          packages+=(g++-aarch64-linux-gnu libre2-dev:arm64 qemu-user-static) ;;
        *) echo "setup: --cross takes arm64" >&2; exit 2 ;;
      esac
      shift 2 ;;
    *) echo "usage: scripts/setup.sh [--cross arm64]" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "setup: installing ${missing[*]}" >&2
for arch in "${foreign[@]}"; do
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    $sudo dpkg --add-architecture "$arch"
  fi
done
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
