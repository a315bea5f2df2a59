#!/usr/bin/env bash
# Download benchmark against peers measured in the same run. Serves a file from a local nginx
# on 127.0.0.1 (its own temporary config, run as the current user) and downloads it with curl,
# aria2c -x16 -s16, aria2c -x16 -s16 -k1M and sharefetch-cli, once as fast as the loopback
# goes and once with nginx limiting each connection to 4 MB/s, the way cloud drives throttle.
# Then it measures the rate sharefetch-cli keeps under a 1024 KB/s limit.
#
# Usage: bench/download_bench.sh [SIZE_MIB]   (default 512)
# Targets: throttled at least as fast as aria2 at its best setting; unthrottled at least 1.0x
# curl's speed, the file synced to disk before it is reported (curl's is not); peak memory
# under 64 MB; the limit held within 5 %.
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-512}
limit_kb=1024
limit_mib=24   # at 1 MiB/s about 24 s: many 10-second windows

tools/deps.sh nginx-light aria2 time curl bc
[ -x build/bin/sharefetch-cli ] && [ -f build/bin/libsfengine.so ] ||
  tools/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cli=$PWD/build/bin/sharefetch-cli

work=$(mktemp -d /tmp/sf-bench.XXXXXX)
nginx_pid=""
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/www" "$work/out"

echo "Preparing a ${size_mib} MiB file..." >&2
head -c $((size_mib * 1048576)) /dev/urandom > "$work/www/file.bin"
head -c $((limit_mib * 1048576)) /dev/urandom > "$work/www/limit.bin"
sum=$(sha256sum "$work/www/file.bin" | cut -d' ' -f1)

source bench/lib.sh
load=$(cut -d" " -f1-3 /proc/loadavg)
start_nginx "$work" "$work/www" "location /slow/ { alias $work/www/; limit_rate 4m; }"
base="http://127.0.0.1:$port"

# run NAME CMD...: runs the download into a fresh directory, checks the file, and sets
# `secs` (wall time) and `peak_kb` (maximum resident set size).
run() {
  local name=$1
  rm -rf "$work/out"; mkdir -p "$work/out"
  timed "$@"
  local got
  got=$(sha256sum "$work/out/"* | head -1 | cut -d' ' -f1)
  [ "$got" = "$sum" ] || { echo "$name: wrong file" >&2; exit 1; }
}

declare -A T M
measure() {
  local label=$1 url=$2
  run "curl $label" curl -fsS -o "$work/out/file.bin" "$url"
  T[curl_$label]=$secs; M[curl_$label]=$peak_kb
  run "aria2 $label" aria2c -x16 -s16 -q --allow-overwrite=true -d "$work/out" -o file.bin "$url"
  T[aria2_$label]=$secs; M[aria2_$label]=$peak_kb
  run "aria2 -k1M $label" aria2c -x16 -s16 -k1M -q --allow-overwrite=true -d "$work/out" -o file.bin "$url"
  T[aria2k_$label]=$secs; M[aria2k_$label]=$peak_kb
  run "sharefetch $label" "$cli" download --dir "$work/out" "$url"
  T[sf_$label]=$secs; M[sf_$label]=$peak_kb
}

echo "Unthrottled..." >&2
measure fast "$base/file.bin"
echo "Throttled to 4 MB/s per connection..." >&2
measure slow "$base/slow/file.bin"

echo "Speed limit ${limit_kb} KB/s..." >&2
# The bytes the program has written (/proc/PID/io "wchar"), sampled four times a second, give
# the rate over every 10-second window of the run.
rm -rf "$work/out"; mkdir -p "$work/out"
"$cli" download --limit "$limit_kb" --dir "$work/out" "$base/limit.bin" >/dev/null 2>&1 &
sf_pid=$!
: > "$work/samples.txt"
while kill -0 "$sf_pid" 2>/dev/null; do
  w=$(awk '/^wchar/ {print $2}' "/proc/$sf_pid/io" 2>/dev/null) || true
  [ -n "$w" ] && echo "$(date +%s.%N) $w" >> "$work/samples.txt"
  sleep 0.25
done
wait "$sf_pid"
read -r limit_secs limit_rate win_min win_max < <(awk -v lim="$limit_kb" '
  { t[NR] = $1; w[NR] = $2 }
  END {
    min = 1e18; max = 0
    for (i = 1; i <= NR; i++)
      for (j = i + 1; j <= NR; j++)
        if (t[j] - t[i] >= 10) {
          r = (w[j] - w[i]) / (t[j] - t[i]) / 1024
          if (r < min) min = r
          if (r > max) max = r
          break
        }
    printf "%.2f %.1f %.1f %.1f\n", t[NR] - t[1], (w[NR] - w[1]) / (t[NR] - t[1]) / 1024, min, max
  }' "$work/samples.txt")
[ "$(sha256sum "$work/out/limit.bin" | cut -d' ' -f1)" = \
  "$(sha256sum "$work/www/limit.bin" | cut -d' ' -f1)" ] || { echo "limit run: wrong file" >&2; exit 1; }

mib() { echo "scale=1; $1 / 1024" | bc -l; }
line() {  # tool label
  printf '  %-24s %8.2f s  %8.1f MiB/s  peak %7s MiB\n' "$1" "${T[$2]}" \
    "$(echo "$size_mib / ${T[$2]}" | bc -l)" "$(mib "${M[$2]}")"
}
echo
echo "File: ${size_mib} MiB from nginx on 127.0.0.1; load average before: $load"
for label in fast slow; do
  [ $label = fast ] && echo "Unthrottled:" || echo "Throttled, 4 MB/s per connection:"
  line "curl" curl_$label
  line "aria2c -x16 -s16" aria2_$label
  line "aria2c -x16 -s16 -k1M" aria2k_$label
  line "sharefetch-cli" sf_$label
  printf '  speed vs curl %.2f, vs aria2c %.2f, vs aria2c -k1M %.2f  (above 1: faster)\n' \
    "$(echo "${T[curl_$label]} / ${T[sf_$label]}" | bc -l)" \
    "$(echo "${T[aria2_$label]} / ${T[sf_$label]}" | bc -l)" \
    "$(echo "${T[aria2k_$label]} / ${T[sf_$label]}" | bc -l)"
done
printf 'Speed limit %d KB/s: %.1f KB/s over %.1f s (%+.1f %%); 10-second windows %.1f to %.1f KB/s (%+.1f %% to %+.1f %%)\n' \
  "$limit_kb" "$limit_rate" "$limit_secs" "$(echo "($limit_rate - $limit_kb) * 100 / $limit_kb" | bc -l)" \
  "$win_min" "$win_max" "$(echo "($win_min - $limit_kb) * 100 / $limit_kb" | bc -l)" \
  "$(echo "($win_max - $limit_kb) * 100 / $limit_kb" | bc -l)"
peak=$(( ${M[sf_fast]} > ${M[sf_slow]} ? ${M[sf_fast]} : ${M[sf_slow]} ))
printf 'sharefetch-cli peak memory: %s MiB\n' "$(mib $peak)"

ok=1
(( $(echo "${T[curl_fast]} / ${T[sf_fast]} >= 1.0" | bc -l) )) || { echo "MISSED: unthrottled slower than curl"; ok=0; }
(( $(echo "${T[sf_slow]} <= ${T[aria2k_slow]}" | bc -l) )) || { echo "MISSED: throttled slower than aria2c -k1M"; ok=0; }
(( peak < 65536 )) || { echo "MISSED: peak memory 64 MB or more"; ok=0; }
for r in "$win_min" "$win_max"; do
  (( $(echo "($r - $limit_kb)^2 <= ($limit_kb * 0.05)^2" | bc -l) )) ||
    { echo "MISSED: a 10-second window off the limit by more than 5 %"; ok=0; }
done
[ $ok = 1 ] && echo "All targets met."
