#!/usr/bin/env bash
# sharefetchd under load, driven over its API as a script would (bench/service_client.py).
#
# 1. A share of 201 450 tiny files (share-sim, 2 550 folders two deep) added and all its files
#    started, without a speed limit, 5 at once: the time the start takes; every file stays
#    started while the share is asked for their links and downloads as its link comes; the
#    service's peak memory (VmHWM) over that run, to the last file ended or SF_BENCH_RUN_S
#    seconds (default 900) after the start, whichever comes first (the report says which).
#    Then whatever is left is paused, and the window of 100 rows sorted by name at offset
#    150 000 (median of 20) is taken.
# 2. With those 201 450 rows ended or paused, 200 event streams open: GET /version (median of 20, a
#    fresh connection each) and the service's CPU over 10 s (/proc/PID/stat).
# 3. The 5 000 small files of bench/many_files_bench.sh served by nginx: the service's files per
#    second (from the start of the downloads, whose links it asks again, to the last file
#    finished) against `sharefetch-cli get --jobs 5` (resolution included) in turns, medians of
#    SF_BENCH_ROUNDS (default 3), a fresh service each round; every file checked by SHA-256.
#
# Usage: bench/service_bench.sh   (SF_BENCH_BIG=N: N files per folder in 1, instead of 79;
#        SF_BENCH_PARTS=big or many: only 1 and 2, or only 3)
# Targets: peak memory under 300 MiB; the window under 50 ms; /version under 20 ms with 200
# streams; idle CPU under 2 % of a core; the service at least 0.9x get's files per second.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh nginx-light time bc python3 curl
[ -x build/bin/sharefetchd ] && [ -x build/bin/sharefetch-cli ] && [ -x build/bin/share-sim ] &&
  [ -f build/bin/libsfengine.so ] ||
  cmake --build build --target sharefetchd sharefetch-cli share-sim sfengine
daemon=$PWD/build/bin/sharefetchd
cli=$PWD/build/bin/sharefetch-cli
sim=$PWD/build/bin/share-sim
client="python3 $PWD/bench/service_client.py"
export PATH=$PATH:/usr/sbin

work=$(mktemp -d /tmp/sf-service-bench.XXXXXX)
nginx_pid="" sim_pids=() sfd_pid="" wrap_pid=""
cleanup() {
  [ -n "$sfd_pid" ] && kill "$sfd_pid" 2>/dev/null && wait "$sfd_pid" 2>/dev/null
  for p in "${sim_pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/www"
source bench/lib.sh
password=bench-password-1

# start_sim FIXTURE_FILE [OPTIONS...]: sets `host`.
start_sim() {
  local f=$1; shift
  "$sim" --fixture "$f" "$@" > "$f.out" 2>&1 &
  sim_pids+=($!)
  host=""
  for _ in $(seq 200); do
    host=$(sed -n 's/^listening on //p' "$f.out")
    [ -n "$host" ] && return 0
    sleep 0.05
  done
  echo "could not start share-sim" >&2; cat "$f.out" >&2; exit 1
}

# start_service NAME: a fresh state and download folder under WORK/NAME; sets `sfd_pid`,
# `sfd_port` and `key`. With SF_BENCH_HEAPTRACK=PREFIX the service runs under heaptrack, its
# profile written to PREFIX.NAME.* (its memory figures are then heaptrack's too).
start_service() {
  local dir=$work/$1 wrap=()
  [ -n "${SF_BENCH_HEAPTRACK:-}" ] && wrap=(heaptrack -o "$SF_BENCH_HEAPTRACK.$1")
  mkdir -p "$dir"
  printf '%s\n' "$password" | "$daemon" password --state-dir "$dir/state" 2>/dev/null
  for _ in $(seq 50); do
    sfd_port=$((20000 + RANDOM % 40000))
    port_free "$sfd_port" || continue
    "${wrap[@]}" "$daemon" --state-dir "$dir/state" --port "$sfd_port" --share-host "$host" \
      --download-dir "$dir/downloads" 2> "$dir/err.txt" > "$dir/out.txt" &
    sfd_pid=$! wrap_pid=""
    for _ in $(seq 100); do
      grep -q '^sharefetchd: listening' "$dir/err.txt" && break
      kill -0 "$sfd_pid" 2>/dev/null || break
      sleep 0.05
    done
    if grep -q '^sharefetchd: listening' "$dir/err.txt"; then
      if ((${#wrap[@]})); then wrap_pid=$sfd_pid sfd_pid=$(pgrep -P "$wrap_pid" -x sharefetchd); fi
      key=$($client key "$sfd_port" "$password")
      return 0
    fi
    wait "$sfd_pid" 2>/dev/null || true
    sfd_pid=""
  done
  echo "could not start sharefetchd" >&2; cat "$dir/err.txt" >&2; exit 1
}

stop_service() {
  kill "$sfd_pid" && wait "${wrap_pid:-$sfd_pid}" || true
  sfd_pid="" wrap_pid=""
}

# figures FILE: the NAME=VALUE lines of the client as shell variables prefixed `f_`.
figures() { eval "$(sed -n 's/^\([a-z_]*\)=\([0-9.]*\)$/f_\1=\2/p' "$1")"; }
mib() { echo "scale=1; $1 / 1024" | bc -l; }
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
below() { (( $(echo "$1 < $2" | bc -l) )); }
ok=1
load=$(cut -d' ' -f1-3 /proc/loadavg)

parts=${SF_BENCH_PARTS:-big many}

# 1 and 2: the big share.
if [[ " $parts " == *" big "* ]]; then
per_folder=${SF_BENCH_BIG:-79}
big_files=$((per_folder * 2550))
cat > "$work/big.json" <<JSON
{"shares": [{"id": "big", "items": [{"tree": {"depth": 2, "folders": 50, "files": $per_folder,
  "name": "dir-{i}", "fileName": "file-{i}.bin", "size": 16}}]}]}
JSON
start_sim "$work/big.json"
start_service big
echo "the big share: $big_files files added and started..." >&2
$client big "$sfd_port" "$key" "$host/s/big" "$big_files" "$sfd_pid" "${SF_BENCH_RUN_S:-900}" | tee "$work/big.txt" >&2
figures "$work/big.txt"
echo "200 event streams..." >&2
$client streams "$sfd_port" "$key" 200 "$sfd_pid" | tee "$work/streams.txt" >&2
figures "$work/streams.txt"
stop_service

echo
printf 'sharefetchd: a share of %d files, all started (no limit, 5 at once); load average before: %s\n' \
  "$big_files" "$load"
printf '  resolved in %.1f s; POST downloads %.1f s; first file under way %.1f s after\n' \
  "$f_resolve_s" "$f_start_s" "$f_launch_s"
printf '  %d of %d files ended (%d failed) %.0f s after the start%s\n' "$f_ended" "$big_files" \
  "$f_failed" "$f_run_s" "$( ((f_ended == big_files)) && echo ': all' || echo ', then the rest paused')"
printf '  peak memory (VmHWM) over that run %s MiB (target < 300; RSS highest %.0f s in); at the end %s MiB\n' \
  "$(mib "$f_hwm_kb")" "$f_peak_at_s" "$(mib "$f_end_hwm_kb")"
printf '  window of 100 sorted by name at 150 000: median %.1f ms (max %.1f) of 20 (target < 50)\n' \
  "$f_window_ms" "$f_window_max_ms"
printf '  GET /shares (the share and its counts): median %.1f ms of 20\n' "$f_shares_ms"
printf '  %d rows paused at the end; 200 event streams: GET /version median %.2f ms (target < 20), ' \
  "$f_paused" "$f_version_ms"
printf 'CPU %.2f %% of a core over 10 s (target < 2)\n' "$f_idle_cpu_pct"
below "$f_end_hwm_kb" $((300 * 1024)) || { echo "MISSED: peak memory"; ok=0; }
below "$f_window_ms" 50 || { echo "MISSED: the window"; ok=0; }
below "$f_version_ms" 20 || { echo "MISSED: /version with 200 streams"; ok=0; }
below "$f_idle_cpu_pct" 2 || { echo "MISSED: idle CPU"; ok=0; }
fi

# 3: the 5 000 small files against get.
if [[ " $parts " == *" many "* ]]; then
count=5000
start_nginx "$work" "$work/www" 'location /file/ { rewrite ^/file/([0-9]+)/([0-9]+)/ /$1/$2 break; }'
fixture many "$count" 1024 2048 112
echo "Writing the $count files..." >&2
"$sim" --fixture "$work/many.json" --write-files "$work/www"
start_sim "$work/many.json" --file-host "http://127.0.0.1:$port"
"$cli" resolve --host "$host" --json "$host/s/many" > "$work/many.resolved.json" 2>/dev/null
gets=() svcs=() bad=0 failed=0
for r in $(seq "${SF_BENCH_ROUNDS:-3}"); do
  echo "round $r: get --jobs 5, the service with 5 jobs..." >&2
  timed "get" "$cli" get --jobs 5 --host "$host" --dir "$work/get$r" "$host/s/many"
  gets+=("$secs")
  bad=$((bad + $(differing many "$work/get$r")))
  start_service "svc$r"
  $client many "$sfd_port" "$key" "$host/s/many" "$count" 5 > "$work/many$r.txt"
  figures "$work/many$r.txt"
  svcs+=("$f_download_s")
  failed=$((failed + f_failed))
  stop_service
  bad=$((bad + $(differing many "$work/svc$r/downloads")))
done
get_s=$(median "${gets[@]}") svc_s=$(median "${svcs[@]}")
ratio=$(echo "$get_s / $svc_s" | bc -l)
echo
printf 'The %d small files (nginx); rounds (s): get %s; service %s\n' "$count" "${gets[*]}" \
  "${svcs[*]}"
printf '  sharefetch-cli get --jobs 5 (resolution incl.)  %6.2f s  %5.0f files/s\n' "$get_s" \
  "$(echo "$count / $get_s" | bc -l)"
printf '  sharefetchd, 5 jobs (links asked incl.)         %6.2f s  %5.0f files/s\n' "$svc_s" \
  "$(echo "$count / $svc_s" | bc -l)"
printf '  ratio service/get %.2f (target >= 0.9); failed rows %d; SHA-256 differs %d\n' \
  "$ratio" "$failed" "$bad"
below "$ratio" 0.9 && { echo "MISSED: the service below 0.9x get"; ok=0; }
(( bad == 0 && failed == 0 )) || { echo "MISSED: files failed or differ"; ok=0; }
fi
[ $ok = 1 ] && echo "All targets met."
exit 0
