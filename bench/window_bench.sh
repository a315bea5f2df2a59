#!/usr/bin/env bash
# The window on a share of many files: share-sim serves a generated share of FILES tiny files
# (200 000 by default) in 2 550 folders nested two deep. First the terminal's `get` downloads
# the share for GET_SECONDS (60 by default): its best files per second over 10 s is the peer
# figure. Then the window, under Xvfb, parses it as a user does (URL typed, 解析 pressed) and
# chooses 全部下载. Printed: the time to the first rows in the result list, the parse's time,
# the longest the window stopped answering while it ran, the window's memory once parsed, the
# time 全部下载 takes to return, to its first rows and to its last, the longest the window
# stops answering meanwhile, the files per second while downloading, the CPU the window uses
# with them all paused, 删除任务 on 10 000 rows, tab switches and the close; then a second
# start on the unfinished downloads the close left: the time to the window on screen, 全部继续
# and its close. The downloads go to a temporary directory and are dropped unfinished. Each
# figure with a target is then printed beside it, "ok" or "MISSED".
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

# The peer: get's files per second, the best 10 s of its run (its resolution streams the links,
# so the best comes once they are all known, as in the window after its parse).
mkdir -p "$work/get"
timeout -s INT "${GET_SECONDS:-60}" build/bin/sharefetch-cli get --host "$host" --dir "$work/get" \
  "$host/s/many" > "$work/get.txt" 2>/dev/null &
get_pid=$!
counts=()
while kill -0 "$get_pid" 2>/dev/null; do
  counts+=("$(wc -l < "$work/get.txt")")
  sleep 1
done
wait "$get_pid" || true
get_rate=0
for ((i = 10; i < ${#counts[@]}; i++)); do
  r=$(( (counts[i] - counts[i - 10]) / 10 ))
  (( r > get_rate )) && get_rate=$r
done
echo "get: ${counts[-1]:-0} files in ${#counts[@]} s, best $get_rate files/s over 10 s"
rm -rf "$work/get"

mkdir -p "$work/program"
TMPDIR=$work xvfb-run -a -s "-screen 0 1024x768x24" "$driver" "$host" "$host/s/many" \
  "$work/program" | tee "$work/first.txt"
TMPDIR=$work xvfb-run -a -s "-screen 0 1024x768x24" "$driver" --start "$work/program" |
  tee "$work/second.txt"
echo "load afterwards $(cut -d' ' -f1-3 /proc/loadavg)"

# Each figure against its target.
figure() { grep -m1 "$2" "$1" | sed -n "s/.*$3.*/\1/p"; }
check() {  # NAME VALUE LIMIT (VALUE < LIMIT passes)
  [ -n "$2" ] || { echo "  $1: not measured"; return; }
  awk -v n="$1" -v v="$2" -v l="$3" 'BEGIN { printf "  %-52s %10s  target < %-8s %s\n", n, v, l, (v + 0 < l + 0 ? "ok" : "MISSED") }'
}
f=$work/first.txt s=$work/second.txt
echo "targets:"
check "全部下载 returns (s)" "$(figure "$f" '^全部下载 returned' 'after \([0-9.]*\) s')" 0.5
check "全部下载 first rows (s)" "$(figure "$f" 'first download rows' 'after \([0-9.]*\) s, all')" 0.5
check "longest stall while the rows come (ms)" "$(figure "$f" 'first download rows' 'meanwhile: \([0-9]*\) ms')" 500
check "longest stall while downloading (ms)" "$(figure "$f" '^files per second' 'answer: \([0-9]*\) ms')" 500
check "暂停 on every row returns (s)" "$(figure "$f" '^暂停' 'after \([0-9.]*\) s')" 0.5
check "CPU with all paused (% of a core)" "$(figure "$f" '^CPU with all paused' 'paused: \([0-9.e-]*\) %')" 2
check "删除任务 on 10 000 rows returns (s)" "$(figure "$f" '^删除任务' 'after \([0-9.]*\) s')" 0.5
check "longest stall after 删除任务 (ms)" "$(figure "$f" '^删除任务' 'after: \([0-9]*\) ms')" 500
check "tab switch to 第一种模式 (s)" "$(figure "$f" '^tab switch to 第一种模式' '模式: \([0-9.]*\) s')" 0.5
check "tab switch to 正在下载 (s)" "$(figure "$f" '^tab switch to 第一种模式' '正在下载: \([0-9.]*\) s')" 0.5
check "memory with every file queued (MiB)" "$(figure "$f" '^memory with the downloads' 'VmRSS \([0-9]*\) MiB')" 600
check "close (s)" "$(figure "$f" '^close' 'close: \([0-9.]*\) s')" 2
check "start with the remembered rows (s)" "$(figure "$s" '^start' 'start: \([0-9.]*\) s')" 3
check "tab switch to 未完成的下载 (s)" "$(figure "$s" '^tab switch to 未完成' '下载: \([0-9.]*\) s')" 0.5
check "全部继续 returns (s)" "$(figure "$s" '^全部继续' 'after \([0-9.]*\) s')" 0.5
check "longest stall after 全部继续 (ms)" "$(figure "$s" '^longest the window did not answer in the 5 s' 'after: \([0-9]*\) ms')" 500
check "close after 全部继续 (s)" "$(figure "$s" '^close' 'close: \([0-9.]*\) s')" 2
window_rate=$(figure "$f" '^files per second' 'downloading: \([0-9.]*\);')
if [ -n "$window_rate" ] && [ "$get_rate" -gt 0 ]; then
  awk -v w="$window_rate" -v g="$get_rate" 'BEGIN { printf "  %-52s %10.2f  target > 0.8      %s (window %.0f, get %d files/s)\n", "files/s, window to get", w / g, (w / g > 0.8 ? "ok" : "MISSED"), w, g }'
fi
