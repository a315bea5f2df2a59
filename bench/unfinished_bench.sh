#!/usr/bin/env bash
# The "未完成的下载" tab over ROWS remembered downloads (200 000 by default), under Xvfb: the
# time until the rows show, 继续下载 on every row selected and 全部继续 (the time each takes
# to return, the longest the window stops answering while the rows go to the download list a
# batch at a time, and the time until all are there), and a delete of 10 000 scattered rows
# until the list is drawn again. Each run also times the peer beside it: the same rows in a
# list filled item by item, as the tab was before. Figures and ratios only.
#
# Usage: bench/unfinished_bench.sh [ROWS]
set -euo pipefail
cd "$(dirname "$0")/.."

rows=${1:-200000}
tools/deps.sh xvfb xauth
[ -x build/bin/sharefetch-unfinished-bench ] && [ -f build/bin/libsfengine.so ] || {
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build --target sharefetch-unfinished-bench sfengine
}
driver=$PWD/build/bin/sharefetch-unfinished-bench
work=$(mktemp -d /tmp/sf-unfinished-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

echo "$rows remembered downloads; load $(cut -d' ' -f1-3 /proc/loadavg)"
for mode in delete resume resume-all; do
  echo "== $mode"
  TMPDIR=$work xvfb-run -a -s "-screen 0 1024x768x24" "$driver" "$rows" "$mode" | tee "$work/$mode.txt"
done
# Ours against the peer's, from the lines above.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a > 0) printf "%.1f", b / a; else print "-" }'; }
shown=$(sed -n 's/^rows shown after \([0-9.e-]*\) s.*/\1/p' "$work/delete.txt")
peer_shown=$(sed -n 's/^peer (item list): rows shown after \([0-9.e-]*\) s.*/\1/p' "$work/delete.txt")
deleted=$(sed -n 's/^delete of .* drawn after \([0-9.e-]*\) s.*/\1/p' "$work/delete.txt" | head -1)
peer_deleted=$(sed -n 's/^peer (item list): delete of .* drawn after \([0-9.e-]*\) s.*/\1/p' "$work/delete.txt")
echo "rows shown: ${shown} s against the peer's ${peer_shown} s (peer/ours $(ratio "$shown" "$peer_shown"))"
echo "delete: ${deleted} s against the peer's ${peer_deleted} s (peer/ours $(ratio "$deleted" "$peer_deleted"))"
echo "load afterwards $(cut -d' ' -f1-3 /proc/loadavg)"
