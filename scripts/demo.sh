#!/usr/bin/env bash
# Runs the controller in the foreground on the built-in demo stack: a tiny
# HTTP server on a loopback port, rebuilt and restarted on every change to
# its sources. Arguments go to the controller (for example -v).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
./scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target zorvane-controller

# The stack's working copy, so that editing it leaves the repository clean.
stack=$repo/build/demo-stack
mkdir -p "$stack/src" "$stack/out"
for f in server.cc page.html; do
  [ -e "$stack/src/$f" ] || cp "demo/app/$f" "$stack/src/$f"
done

port=${DEMO_PORT:-8765}
build="c++ -std=c++17 -O1 -o out/demo-server.new src/server.cc && mv out/demo-server.new out/demo-server"
serve="exec ./out/demo-server $port src/page.html"

# What a stack image would set.
export ZORVANE_PREP="echo 'demo: building the server' && $build"
export ZORVANE_RUN="$serve"
export ZORVANE_RUN_ON_CHANGE="echo 'demo: change seen, rebuilding' && $build && $serve"
export ZORVANE_RUN_KILL=true
export ZORVANE_WATCH_DIR="$stack"
export ZORVANE_WATCH_IGNORE_DIR="$stack/out/"
export ZORVANE_WATCH_REGEX='\.(cc|html)$'
export ZORVANE_WATCH_INTERVAL=1

cat <<MSG
== Demo stack in $stack
   page:     curl http://127.0.0.1:$port/
   a change: edit $stack/src/page.html, or: touch $stack/src/server.cc
   ignored:  touch $stack/out/x.cc (no rebuild)
   stop:     Ctrl-C
MSG

# In the foreground, as a stack image runs it: Ctrl-C reaches the
# controller, which stops the server and the on-change command itself.
cd "$stack"
exec "$repo/build/zorvane-controller" "$@"
