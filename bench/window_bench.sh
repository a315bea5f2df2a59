#!/usr/bin/env bash
# The window on a share of many files: share-sim serves a generated share of FILES tiny files
# (200 000 by default) in 2 550 folders nested two deep, and the window, under Xvfb, parses it
# as a user does (URL typed, 解析 pressed) and then chooses 全部下载. Printed: the time to the
# first rows in the result list, the parse's time, the longest the window stopped answering
# while it ran, the window's memory once parsed, the time 全部下载 takes to return and the
# longest the window stops answering in the 5 s after it (the downloads go to a temporary
# directory and are dropped unfinished), then the CPU the window uses with them all paused.
# Figures only; nothing is compared against a target.
#
# Usage: bench/window_bench.sh [FILES]
set -euo pipefail
cd "$(dirname "$0")/.."

files=${1:-200000}
tools/deps.sh xvfb xauth python3
[ -x build/bin/sharefetch-window-bench ] && [ -x build/bin/share-sim ] &&
  [ -f build/bin/libsfengine.so ] || {
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build --target sharefetch-window-bench share-sim sfengine
}
sim=$PWD/build/bin/share-sim
driver=$PWD/build/bin/sharefetch-window-bench

work=$(mktemp -d /tmp/sf-window-bench.XXXXXX)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# 50 folders, each with 50 subfolders: 2 550 folders, the files spread evenly over them.
per_folder=$(( (files + 2549) / 2550 ))
cat > "$work/share.json" <<JSON
{"shares": [{"id": "many", "items": [{"tree": {"depth": 2, "folders": 50, "files": $per_folder,
  "name": "dir-{i}", "fileName": "file-{i}.bin", "size": 16}}]}]}
JSON
"$sim" --fixture "$work/share.json" > "$work/sim.txt" 2>&1 &
sim_pid=$!
host=""
for _ in $(seq 200); do
  host=$(sed -n 's/^listening on //p' "$work/sim.txt")
  [ -n "$host" ] && break
  sleep 0.05
done
[ -n "$host" ] || { echo "could not start share-sim" >&2; cat "$work/sim.txt" >&2; exit 1; }

echo "share of $((per_folder * 2550)) files in 2550 folders; load $(cut -d' ' -f1-3 /proc/loadavg)"
TMPDIR=$work xvfb-run -a -s "-screen 0 1024x768x24" "$driver" "$host" "$host/s/many"
echo "load afterwards $(cut -d' ' -f1-3 /proc/loadavg)"
