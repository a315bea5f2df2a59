#!/usr/bin/env bash
# Many-small-files benchmark against a peer measured in the same run. share-sim serves a
# generated share of 5 000 files of 1-2 KiB in 112 nested folders whose direct links point at a
# local nginx (no rate limit). Then
#   sharefetch-cli resolve --json SHARE_URL                    (resolution alone, timed apart)
#   sharefetch-cli get --jobs 5 SHARE_URL                      (resolution included)
#   sharefetch-cli download --jobs 5 URL...                    (links resolved beforehand)
#   aria2c -i LIST -j 5 -x16 -s16 -k1M                         (links resolved beforehand)
#   curl --parallel --parallel-max 5 --create-dirs -K LIST     (links resolved beforehand)
# each into a fresh directory; every file of get, aria2c and curl is checked against the bytes
# nginx served. curl writes no file to disk before it is done with it but never syncs one; get
# and download sync every file and its folder before they report it. Files per second of each,
# their ratios, peak memory, the machine's load, and get's time from its start to the first
# byte on disk while share-sim answers every link request 40 ms late. Then one 1 KiB file:
# `sharefetch-cli download` against curl, the median wall time of 20 runs each.
#
# With --huge, a second share of 200 000 files of 0-64 bytes: `get --dry-run`, `get --jobs 5`
# and aria2c the same way (slow: writing and fetching that many files takes minutes).
#
# resolve, get and curl run SF_BENCH_ROUNDS times (default 3) in turns, and their medians
# count: on a shared machine one run of each moves by seconds.
#
# Usage: bench/many_files_bench.sh [--huge]   (SF_BENCH_FILES=N: N files instead of 5 000)
# Targets: get's download phase at least 1.0x curl's files per second, and download (links
# resolved beforehand) at least 1.0x aria2c's and curl's; one 1 KiB file at most 2x curl's wall time; no
# file whose SHA-256 differs. Run it twice on a quiet machine: the load is printed beside.
set -euo pipefail
cd "$(dirname "$0")/.."

huge=0
[ "${1:-}" = "--huge" ] && huge=1

tools/deps.sh nginx-light aria2 time bc python3 curl
[ -x build/bin/sharefetch-cli ] && [ -x build/bin/share-sim ] && [ -f build/bin/libsfengine.so ] ||
  tools/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cli=$PWD/build/bin/sharefetch-cli
sim=$PWD/build/bin/share-sim
export PATH=$PATH:/usr/sbin

work=$(mktemp -d /tmp/sf-many-bench.XXXXXX)
nginx_pid=""
sim_pids=()
cleanup() {
  for p in "${sim_pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/www"
source bench/lib.sh

# start_sim FIXTURE [OPTIONS...]: sets `host`.
start_sim() {
  local f=$1; shift
  "$sim" --fixture "$work/$f.json" --file-host "http://127.0.0.1:$port" "$@" \
    > "$work/sim-$f-$#.txt" 2>&1 &
  sim_pids+=($!)
  host=""
  for _ in $(seq 200); do
    host=$(sed -n 's/^listening on //p' "$work/sim-$f-$#.txt")
    [ -n "$host" ] && return 0
    sleep 0.05
  done
  echo "could not start share-sim" >&2; cat "$work/sim-$f-$#.txt" >&2; exit 1
}

# The aria2c input file, curl's config file and the plain URL list of a resolved share.
lists() {
  python3 - "$work/$1.resolved.json" "$work/$1.aria2" "$work/$1.aria2.list" "$work/$1.urls" \
    "$work/$1.curl" "$work/$1.curl.list" <<'PY'
import json, os, sys
doc = json.load(open(sys.argv[1]))
def quoted(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')
with open(sys.argv[3], "w") as lst, open(sys.argv[4], "w") as urls, open(sys.argv[6], "w") as cl:
    for e in doc["entries"]:
        if e["isdir"] == "0":
            folder = os.path.dirname(e["path"]).lstrip("/")
            lst.write("%s\n  dir=%s\n  out=%s\n" % (e["dlink"], os.path.join(sys.argv[2], folder),
                                                  e["server_filename"]))
            urls.write(e["dlink"] + "\n")
            cl.write("url = %s\noutput = %s\n" % (quoted(e["dlink"]), quoted(
                os.path.join(sys.argv[5], folder, e["server_filename"]))))
PY
}

# Seconds from the start of CMD to the first byte of any file under DIR; CMD is then stopped.
first_byte() {
  local dir=$1; shift
  python3 - "$dir" "$@" <<'PY'
import os, signal, subprocess, sys, time
dir, cmd = sys.argv[1], sys.argv[2:]
start = time.monotonic()
p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
found = None
while found is None and time.monotonic() - start < 120:
    for root, _, files in os.walk(dir):
        for f in files:
            try:
                if os.path.getsize(os.path.join(root, f)) > 0 and not f.endswith(".sfctl"):
                    found = time.monotonic() - start
            except OSError:
                pass
    if p.poll() is not None and found is None:
        break
    time.sleep(0.002)
p.send_signal(signal.SIGINT)
p.wait()
print("%.3f" % found if found is not None else "none")
PY
}

mib() { echo "scale=1; $1 / 1024" | bc -l; }
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
rounds=${SF_BENCH_ROUNDS:-3}
per_sec() { echo "scale=0; $1 / $2" | bc -l; }
row() {  # LABEL FILES SECS PEAK_KB [NOTE]
  local peak=-
  [ "$4" -gt 0 ] && peak=$(mib "$4")
  printf '  %-46s %8.2f s  %7s files/s  peak %6s MiB  %s\n' "$1" "$3" "$(per_sec "$2" "$3")" \
    "$peak" "${5:-}"
}
ok=1

# share ID COUNT MIN MAX FOLDERS TITLE: the whole comparison on one generated share.
share() {
  local id=$1 count=$2 load
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  fixture "$@"
  echo "Writing the $count files of share $id..." >&2
  "$sim" --fixture "$work/$id.json" --write-files "$work/www"
  start_sim "$id"
  local url="$host/s/$id"

  "$cli" resolve --host "$host" --json "$url" > "$work/$id.resolved.json" 2>/dev/null
  lists "$id"

  # get's download phase is what it takes beyond the resolution alone, on a machine whose other
  # work moves both by seconds: resolve, get and curl take turns, and the medians count.
  local resolves=() gets=() curls=() get_kb=0 curl_kb=0 get_bad=0 curl_bad=0 r
  for r in $(seq "$rounds"); do
    echo "round $r of $rounds: resolve, get --jobs 5, curl --parallel --parallel-max 5..." >&2
    timed "resolve" "$cli" resolve --host "$host" --json "$url"
    resolves+=("$secs")
    timed "get" "$cli" get --jobs 5 --host "$host" --dir "$work/$id.get$r" "$url"
    gets+=("$secs")
    (( peak_kb > get_kb )) && get_kb=$peak_kb
    get_bad=$(( get_bad + $(differing "$id" "$work/$id.get$r") ))
    sed "s#$work/$id.curl/#$work/$id.curl$r/#" "$work/$id.curl.list" > "$work/$id.curl$r.list"
    timed "curl" curl -s --parallel --parallel-max 5 --create-dirs -K "$work/$id.curl$r.list"
    curls+=("$secs")
    (( peak_kb > curl_kb )) && curl_kb=$peak_kb
    curl_bad=$(( curl_bad + $(differing "$id" "$work/$id.curl$r") ))
  done
  local resolve_secs get_secs curl_secs
  resolve_secs=$(median "${resolves[@]}")
  get_secs=$(median "${gets[@]}")
  curl_secs=$(median "${curls[@]}")

  echo "get --dry-run..." >&2
  timed "get --dry-run" "$cli" get --dry-run --host "$host" --dir "$work/$id.dry" "$url"
  local dry_secs=$secs dry_kb=$peak_kb

  echo "download --jobs 5..." >&2
  mkdir -p "$work/$id.dl"
  timed "download" xargs -a "$work/$id.urls" -s 1900000 -x "$cli" download --jobs 5 \
    --dir "$work/$id.dl"
  local dl_secs=$secs dl_kb=$peak_kb dl_files
  dl_files=$(find "$work/$id.dl" -type f ! -name '*.sf*' | wc -l)

  echo "aria2c -j 5 -x16 -s16 -k1M..." >&2
  timed "aria2c" aria2c -i "$work/$id.aria2.list" -j 5 -x16 -s16 -k1M -q
  local aria2_secs=$secs aria2_kb=$peak_kb aria2_bad
  aria2_bad=$(differing "$id" "$work/$id.aria2")

  local ttfb="" delay_sim
  if [ "$count" -le 10000 ]; then
    echo "first byte with link requests answered 40 ms late..." >&2
    start_sim "$id" --link-delay 40
    ttfb=$(first_byte "$work/$id.first" "$cli" get --jobs 5 --host "$host" --dir \
      "$work/$id.first" "$host/s/$id")
  fi

  echo
  printf '%s: %d files, nginx on 127.0.0.1; load average before: %s\n' "$6" "$count" "$load"
  printf '  rounds (s): resolve %s; get %s; curl %s\n' "${resolves[*]}" "${gets[*]}" "${curls[*]}"
  row "sharefetch-cli resolve --json" "$count" "$resolve_secs" 0 "(resolution alone, median)"
  row "sharefetch-cli get --dry-run" "$count" "$dry_secs" "$dry_kb"
  row "sharefetch-cli get --jobs 5 (resolution incl.)" "$count" "$get_secs" "$get_kb" \
    "SHA-256 differs: $get_bad in $rounds runs"
  local phase
  phase=$(echo "$get_secs - $resolve_secs" | bc -l)
  (( $(echo "$phase > 0.01" | bc -l) )) || phase=0.01
  row "  get less resolve (download phase, estimate)" "$count" "$phase" 0
  row "sharefetch-cli download --jobs 5 (resolved)" "$count" "$dl_secs" "$dl_kb" \
    "files saved: $dl_files"
  row "aria2c -i -j5 -x16 -s16 -k1M (resolved)" "$count" "$aria2_secs" "$aria2_kb" \
    "SHA-256 differs: $aria2_bad"
  row "curl --parallel --parallel-max 5 (resolved)" "$count" "$curl_secs" "$curl_kb" \
    "SHA-256 differs: $curl_bad in $rounds runs (no sync)"
  local ratio_dl ratio_phase curl_phase
  ratio_dl=$(echo "$aria2_secs / $dl_secs" | bc -l)
  ratio_phase=$(echo "$aria2_secs / $phase" | bc -l)
  curl_phase=$(echo "$curl_secs / $phase" | bc -l)
  printf '  files/s ratio to aria2c: download %.2f, get download phase %.2f, get whole %.2f\n' \
    "$ratio_dl" "$ratio_phase" "$(echo "$aria2_secs / $get_secs" | bc -l)"
  printf '  files/s ratio to curl:   download %.2f, get download phase %.2f, get whole %.2f\n' \
    "$(echo "$curl_secs / $dl_secs" | bc -l)" "$curl_phase" "$(echo "$curl_secs / $get_secs" | bc -l)"
  (( $(echo "$get_secs - $resolve_secs > 0.01" | bc -l) )) ||
    echo "  NOTE: get ended no later than the resolution alone: its download phase hides behind it"
  [ "$ttfb" = none ] && ttfb="none within 120"
  [ -n "$ttfb" ] && printf '  get: first byte on disk %s s after start (link requests 40 ms late)\n' "$ttfb"
  (( $(echo "$ratio_dl >= 1.0" | bc -l) )) || { echo "MISSED: download phase slower than aria2c"; ok=0; }
  (( $(echo "$curl_phase >= 1.0" | bc -l) )) || { echo "MISSED: get's download phase slower than curl"; ok=0; }
  (( $(echo "$curl_secs / $dl_secs >= 1.0" | bc -l) )) ||
    { echo "MISSED: download (links resolved beforehand) slower than curl"; ok=0; }
  (( get_bad == 0 )) || { echo "MISSED: $get_bad files of get differ"; ok=0; }
  (( curl_bad == 0 )) || { echo "NOTE: $curl_bad files of curl differ"; }
  (( dl_files == count )) || { echo "MISSED: download saved $dl_files files of $count"; ok=0; }
  return 0
}

start_nginx "$work" "$work/www" 'location /file/ { rewrite ^/file/([0-9]+)/([0-9]+)/ /$1/$2 break; }'
share many "${SF_BENCH_FILES:-5000}" 1024 2048 112 "Share of small files (1-2 KiB, 112 nested folders)"
[ $huge = 1 ] && share huge 200000 0 64 2500 "Share of tiny files (0-64 bytes, 2 500 nested folders)"

# One 1 KiB file, fetched 20 times by each; medians.
head -c 1024 /dev/urandom > "$work/www/one.bin"
one="http://127.0.0.1:$port/one.bin"
now_us() { echo $(( $(date +%s%N) / 1000 )); }
curl_us=() dl_us=()
for i in $(seq 20); do
  s=$(now_us); curl -s -o "$work/curl-$i.bin" "$one"; curl_us+=($(( $(now_us) - s )))
  s=$(now_us); "$cli" download --dir "$work/one-$i" "$one" >/dev/null 2>&1; dl_us+=($(( $(now_us) - s )))
  cmp -s "$work/www/one.bin" "$work/one-$i/one.bin" || { echo "MISSED: 1 KiB file differs"; ok=0; }
done
c=$(median "${curl_us[@]}") d=$(median "${dl_us[@]}")
echo
printf 'One 1 KiB file, median of 20: sharefetch-cli download %.1f ms, curl %.1f ms, ratio %.2f\n' \
  "$(echo "$d / 1000" | bc -l)" "$(echo "$c / 1000" | bc -l)" "$(echo "$d / $c" | bc -l)"
(( $(echo "$d <= 2 * $c" | bc -l) )) || { echo "MISSED: more than 2x curl's wall time"; ok=0; }
[ $ok = 1 ] && echo "All targets met."
exit 0
