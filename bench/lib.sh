# What the benchmarks share; sourced, with `work` set to the run's temporary directory.
#
# start_nginx WORK ROOT LOCATIONS starts nginx on a free port of 127.0.0.1 with a temporary
# configuration of its own under WORK, run as the current user, serving ROOT with LOCATIONS
# (nginx location blocks) in its server, and sets `port` and `nginx_pid`; the caller stops it.
#
# fixture ID COUNT MIN MAX FOLDERS writes WORK/ID.json for share-sim; differing ID DIR counts the
# files of a share resolved into WORK/ID.resolved.json whose bytes under DIR are not those nginx
# serves from WORK/www.
#
# timed NAME CMD... runs CMD (its output dropped, the end of its errors shown if it fails, which
# ends the benchmark) and sets `secs` (wall time) and `peak_kb` (maximum resident set size).

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

start_nginx() {
  local work=$1 root=$2 locations=$3
  mkdir -p "$work/tmp"
  nginx_pid=""
  for _ in $(seq 50); do
    port=$((20000 + RANDOM % 40000))
    port_free "$port" || continue
    # Workers keep the current user, so they can read the private temporary directory.
    local user_line=""
    [ "$(id -u)" -eq 0 ] && user_line="user root;"
    cat > "$work/nginx.conf" <<CONF
$user_line
daemon off;
worker_processes 2;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/tmp;
  proxy_temp_path $work/tmp;
  fastcgi_temp_path $work/tmp;
  uwsgi_temp_path $work/tmp;
  scgi_temp_path $work/tmp;
  sendfile on;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port;
    root $root;
    $locations
  }
}
CONF
    nginx -c "$work/nginx.conf" -p "$work" -e "$work/error.log" &
    nginx_pid=$!
    for _ in $(seq 50); do
      port_free "$port" || break
      sleep 0.1
    done
    if kill -0 "$nginx_pid" 2>/dev/null && ! port_free "$port"; then return 0; fi
    nginx_pid=""
  done
  echo "could not start nginx" >&2
  exit 1
}

timed() {
  local name=$1; shift
  sync
  local start end
  start=$(date +%s.%N)
  /usr/bin/time -f '%M' -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" ||
    { echo "$name failed:" >&2; tail -5 "$work/stderr.txt" >&2; exit 1; }
  end=$(date +%s.%N)
  secs=$(echo "$end - $start" | bc -l)
  peak_kb=$(tail -1 "$work/time.txt")
}

# fixture ID COUNT MIN MAX FOLDERS: COUNT files of MIN to MAX bytes dealt round FOLDERS folders
# nested three deep (none over the 100 items a listing gives). Fixed seed.
fixture() {
  python3 - "$work/$1.json" "$@" <<'PY'
import json, random, sys
out, sid, count, lo, hi, nfolders = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:7])
rng = random.Random(20261209)
paths = []
for i in range(nfolders):
    depth = 1 + i % 3
    paths.append("/".join("d%d-%d" % (k, (i // (3 ** k)) % 40) for k in range(depth)) + "/f%d" % i)
tree = {"children": {}, "files": []}
def node(path):
    at = tree
    for seg in path.split("/"):
        at = at["children"].setdefault(seg, {"children": {}, "files": []})
    return at
for i in range(count):
    node(paths[i % nfolders])["files"].append(
        {"name": "file-%06d.bin" % i, "size": rng.randint(lo, hi)})
def items(at):
    return at["files"] + [{"name": k, "children": items(v)} for k, v in at["children"].items()]
json.dump({"shares": [{"id": sid, "items": items(tree)}]}, open(out, "w"))
PY
}

# Files of a share under DIR that differ from what nginx served (missing ones count).
differing() {
  python3 - "$work/$1.resolved.json" "$work" "$2" <<'PY'
import hashlib, json, os, sys
resolved, work, got = json.load(open(sys.argv[1])), sys.argv[2], sys.argv[3]
def digest(path):
    try:
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    except OSError:
        return None
bad = 0
for e in resolved["entries"]:
    if e["isdir"] != "0":
        continue
    sid, fsid = e["dlink"].split("/file/")[1].split("/")[:2]
    bad += digest(os.path.join(got, e["path"].lstrip("/"))) != digest(os.path.join(work, "www", sid, fsid))
print(bad)
PY
}
