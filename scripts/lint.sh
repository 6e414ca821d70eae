#!/usr/bin/env bash
# Checks what the compiler does not: the shell scripts with shellcheck, and
# the manual page with groff's warnings (what `man` would complain about).
set -euo pipefail
cd "$(dirname "$0")/.."

shellcheck scripts/*.sh .ci/run
echo "lint: scripts are shellcheck-clean"

manpage=docs/zorvane-controller.1
warnings=$(groff -man -ww -z -K utf8 "$manpage" 2>&1)
if [ -n "$warnings" ]; then
  echo "$warnings" >&2
  echo "lint: $manpage has warnings" >&2
  exit 1
fi
echo "lint: $manpage renders without warnings"
