#!/usr/bin/env bash
# Whole-share benchmark against a peer measured in the same run. share-sim serves a generated
# share of 200 files (10 KiB to 64 MiB, about 1 GiB, in nested folders) whose direct links point
# at a local nginx that limits each connection to 4 MB/s, as the service does. Then
#   sharefetch-cli get --jobs 5 SHARE_URL                      (resolution included)
#   aria2c -i LIST -j 5 -x16 -s16 -k1M                         (links resolved beforehand)
# each download the whole share into a fresh directory, and every file is checked against the
# bytes nginx served.
#
# Usage: bench/share_bench.sh
# Targets: wall time ratio aria2c / sharefetch-cli at least 1.0; sharefetch-cli's peak memory
# under 64 MiB; no file whose SHA-256 differs.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh nginx-light aria2 time bc python3
[ -x build/bin/sharefetch-cli ] && [ -x build/bin/share-sim ] && [ -f build/bin/libsfengine.so ] ||
  tools/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cli=$PWD/build/bin/sharefetch-cli
sim=$PWD/build/bin/share-sim

work=$(mktemp -d /tmp/sf-share-bench.XXXXXX)
nginx_pid=""
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/www"

# The share: sizes spread evenly on a log scale from 10 KiB to 64 MiB, the spread bent so that
# they add up to about 1 GiB; files dealt round nested folders (none over the 100 items a
# listing gives). Fixed seed: every run serves the same share.
python3 - "$work/fixture.json" <<'PY'
import json, random, sys
rng = random.Random(20240611)
n, lo, hi, target = 200, 10 * 1024, 64 << 20, 1 << 30
r = [0.0] + sorted(rng.random() for _ in range(n - 2)) + [1.0]
sizes = lambda p: [int(lo * (hi / lo) ** (x ** p)) for x in r]
a, b = 0.2, 8.0
for _ in range(60):
    m = (a + b) / 2
    a, b = (m, b) if sum(sizes(m)) > target else (a, m)
s = sizes((a + b) / 2)
rng.shuffle(s)
folders = ["", "资料", "资料/2023", "资料/2023/一月", "media", "media/raw", "media/raw/cam-1",
           "media/raw/cam-2", "docs", "docs/a/b/c"]
tree = {"children": {}, "files": []}
def node(path):
    at = tree
    for seg in filter(None, path.split("/")):
        at = at["children"].setdefault(seg, {"children": {}, "files": []})
    return at
for i, size in enumerate(s):
    name = ("文件-%03d.dat" if i % 7 == 3 else "file-%03d.bin") % i
    node(folders[i % len(folders)])["files"].append({"name": name, "size": size})
def items(at):
    return at["files"] + [{"name": k, "children": items(v)} for k, v in at["children"].items()]
json.dump({"shares": [{"id": "bench", "items": items(node(""))}]},
          open(sys.argv[1], "w"), ensure_ascii=False)
PY
echo "Writing the share's files..." >&2
"$sim" --fixture "$work/fixture.json" --write-files "$work/www"
total_bytes=$(du -sb "$work/www" | cut -f1)

# /file/<shareid>/<fs_id>/<name>?... is the file <shareid>/<fs_id> that share-sim wrote.
source bench/lib.sh
start_nginx "$work" "$work/www" \
  'location /file/ { rewrite ^/file/([0-9]+)/([0-9]+)/ /$1/$2 break; limit_rate 4m; }'

"$sim" --fixture "$work/fixture.json" --file-host "http://127.0.0.1:$port" > "$work/sim.txt" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q '^listening on ' "$work/sim.txt" && break
  sleep 0.05
done
host=$(sed -n 's/^listening on //p' "$work/sim.txt")
[ -n "$host" ] || { echo "could not start share-sim" >&2; cat "$work/sim.txt" >&2; exit 1; }
share="$host/s/bench"

echo "sharefetch-cli get --jobs 5..." >&2
timed "sharefetch-cli get" "$cli" get --jobs 5 --host "$host" --dir "$work/get" "$share"
get_secs=$secs get_kb=$peak_kb

# The same links for aria2c, resolved before its clock starts, each with its folder and name.
"$cli" resolve --host "$host" --json "$share" > "$work/resolved.json" 2>/dev/null
python3 - "$work/resolved.json" "$work/aria2" > "$work/aria2.list" <<'PY'
import json, os, sys
doc = json.load(open(sys.argv[1]))
for e in doc["entries"]:
    if e["isdir"] == "0":
        folder = os.path.dirname(e["path"]).lstrip("/")
        print(e["dlink"])
        print("  dir=" + os.path.join(sys.argv[2], folder))
        print("  out=" + e["server_filename"])
PY
echo "aria2c -j 5 -x16 -s16 -k1M..." >&2
timed "aria2c" aria2c -i "$work/aria2.list" -j 5 -x16 -s16 -k1M -q
aria2_secs=$secs aria2_kb=$peak_kb

# Every file of the share, by its path, against the bytes nginx served.
read -r files get_bad aria2_bad < <(python3 - "$work/resolved.json" "$work" <<'PY'
import hashlib, json, os, sys
resolved, work = json.load(open(sys.argv[1])), sys.argv[2]
def digest(path):
    h = hashlib.sha256()
    try:
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                h.update(block)
    except OSError:
        return None
    return h.hexdigest()
files = bad_get = bad_aria2 = 0
for e in resolved["entries"]:
    if e["isdir"] != "0":
        continue
    files += 1
    sid, fsid = e["dlink"].split("/file/")[1].split("/")[:2]
    want = digest(os.path.join(work, "www", sid, fsid))
    rel = e["path"].lstrip("/")
    bad_get += digest(os.path.join(work, "get", rel)) != want
    bad_aria2 += digest(os.path.join(work, "aria2", rel)) != want
print(files, bad_get, bad_aria2)
PY
)

mib() { echo "scale=1; $1 / 1024" | bc -l; }
rate() { echo "scale=1; $total_bytes / 1048576 / $1" | bc -l; }
echo
printf 'Share: %d files, %.1f MiB, nested folders; nginx on 127.0.0.1, 4 MB/s per connection\n' \
  "$files" "$(echo "$total_bytes / 1048576" | bc -l)"
printf '  %-40s %8.2f s  %7s MiB/s  peak %6s MiB  SHA-256 differs: %d\n' \
  "sharefetch-cli get --jobs 5" "$get_secs" "$(rate "$get_secs")" "$(mib "$get_kb")" "$get_bad"
printf '  %-40s %8.2f s  %7s MiB/s  peak %6s MiB  SHA-256 differs: %d\n' \
  "aria2c -j 5 -x16 -s16 -k1M" "$aria2_secs" "$(rate "$aria2_secs")" "$(mib "$aria2_kb")" "$aria2_bad"
ratio=$(echo "$aria2_secs / $get_secs" | bc -l)
printf '  wall time ratio aria2c / sharefetch-cli: %.2f (above 1: faster; get includes resolving)\n' "$ratio"

ok=1
(( $(echo "$ratio >= 1.0" | bc -l) )) || { echo "MISSED: slower than aria2c"; ok=0; }
(( get_kb < 65536 )) || { echo "MISSED: peak memory 64 MiB or more"; ok=0; }
(( get_bad == 0 )) || { echo "MISSED: $get_bad files differ"; ok=0; }
[ $ok = 1 ] && echo "All targets met."
