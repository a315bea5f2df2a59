#!/usr/bin/env python3
"""The API calls and measurements of bench/service_bench.sh, one subcommand each.

Every call goes to sharefetchd on 127.0.0.1:PORT with an API key (`key` makes one). Figures
go to standard output as NAME=VALUE lines for the shell to read; progress to standard error.
"""
import http.client
import json
import os
import select
import socket
import statistics
import sys
import time


class Api:
    def __init__(self, port, key=None):
        self.port = port
        self.key = key
        self.conn = None

    def call(self, method, path, body=None, headers=None):
        """One exchange on a kept connection (made again if the service closed it)."""
        sent = dict(headers or {})
        if self.key:
            sent["Authorization"] = "Bearer " + self.key
        data = json.dumps(body).encode() if body is not None else None
        for attempt in range(2):
            if self.conn is None:
                self.conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=600)
            try:
                self.conn.request(method, "/api/v1" + path, body=data, headers=sent)
                reply = self.conn.getresponse()
                text = reply.read()
                return reply.status, reply, json.loads(text) if text else None
            except (ConnectionError, http.client.HTTPException):
                self.conn.close()
                self.conn = None
                if attempt:
                    raise
        raise RuntimeError("unreachable")

    def ok(self, method, path, body=None, expect=(200, 201, 202)):
        status, _, answer = self.call(method, path, body)
        if status not in expect:
            sys.exit("%s %s: %d %s" % (method, path, status, answer))
        return answer


def wait_for(check, limit, what):
    deadline = time.monotonic() + limit
    while True:
        got = check()
        if got:
            return got
        if time.monotonic() > deadline:
            sys.exit("gave up waiting for " + what)
        time.sleep(0.05)


def cmd_key(port, password):
    api = Api(port)
    status, reply, answer = api.call("POST", "/login", {"password": password})
    if status != 200:
        sys.exit("login: %d %s" % (status, answer))
    cookie = reply.getheader("Set-Cookie").split(";")[0]
    status, _, made = api.call("POST", "/keys", {"name": "bench"},
                               {"Cookie": cookie, "X-CSRF-Token": answer["csrfToken"]})
    if status != 201:
        sys.exit("key: %d %s" % (status, made))
    print(made["key"])


def add_share(api, url):
    """Adds the share and waits until it is resolved; its id and the seconds it took."""
    start = time.monotonic()
    share = api.ok("POST", "/shares", {"text": url})["shares"][0]["id"]
    def resolved():
        state = api.ok("GET", "/shares/%d" % share)["state"]
        if state in ("failed", "incomplete"):
            sys.exit("the share ended %s" % state)
        return state == "resolved"
    wait_for(resolved, 1800, "the share's resolution")
    return share, time.monotonic() - start


def total(api, query=""):
    return api.ok("GET", "/downloads?limit=1" + query)["total"]


def cmd_big(port, key, url, files, pid, run_limit):
    """The big share added and started, its files left to download: the service's peak memory
    over the whole run, then its rows' window, sorted by name."""
    api = Api(port, key)
    api.ok("PUT", "/settings", {"speedLimit": 0, "jobs": 5})
    share, resolve_secs = add_share(api, url)
    print("resolve_s=%.2f" % resolve_secs)
    start = time.monotonic()
    ids = api.ok("POST", "/shares/%d/downloads" % share, {"all": True})["ids"]
    print("start_s=%.2f" % (time.monotonic() - start))
    if len(ids) != files:
        sys.exit("%d rows started of %d files" % (len(ids), files))
    # Every file stays started while the share is asked for the links: the peak covers all of
    # them waiting, the links coming, and the files downloading, to the last one or RUN_LIMIT s.
    wait_for(lambda: total(api, "&state=downloading,finished") > 0, 1800, "the first file to start")
    print("launch_s=%.2f" % (time.monotonic() - start))
    peak_at, peak_rss, ended = 0.0, 0, 0
    while True:
        rss = vm(pid, "VmRSS")
        if rss > peak_rss:
            peak_rss, peak_at = rss, time.monotonic() - start
        ended = total(api, "&state=finished,failed")
        if ended == files or time.monotonic() - start > run_limit:
            break
        time.sleep(0.5)
    print("run_s=%.1f" % (time.monotonic() - start))
    print("ended=%d" % ended)
    print("failed=%d" % total(api, "&state=failed"))
    print("peak_at_s=%.1f" % peak_at)
    print("hwm_kb=%d" % vm(pid, "VmHWM"))
    # Whatever is left is paused: the window and what follows see the list at rest.
    acted = api.ok("POST", "/downloads/pause",
                   {"filter": {"state": ["queued", "downloading"]}})["acted"]
    print("paused=%d" % acted)
    times = []
    offset = min(150000, files * 3 // 4)
    for _ in range(20):
        begin = time.perf_counter()
        page = api.ok("GET", "/downloads?sort=name&offset=%d&limit=100" % offset)
        times.append((time.perf_counter() - begin) * 1000)
        names = [row["path"] for row in page["downloads"]]
        if len(names) != 100 or names != sorted(names):
            sys.exit("the window is not 100 rows in order")
    print("window_ms=%.1f" % statistics.median(times))
    print("window_max_ms=%.1f" % max(times))
    times = []
    for _ in range(20):
        begin = time.perf_counter()
        if api.ok("GET", "/shares")["shares"][0]["files"] != files:
            sys.exit("GET /shares miscounts the files")
        times.append((time.perf_counter() - begin) * 1000)
    print("shares_ms=%.1f" % statistics.median(times))
    begin = time.monotonic()
    wait_for(lambda: busy_pct(pid, 2) < 5, 1800, "the service to come to rest")
    print("rest_s=%.1f" % (time.monotonic() - begin))
    print("end_hwm_kb=%d" % vm(pid, "VmHWM"))


def busy_pct(pid, seconds):
    """The service's CPU over the next SECONDS, in percent of a core."""
    before, begin = cpu_ticks(pid), time.monotonic()
    time.sleep(seconds)
    return 100 * (cpu_ticks(pid) - before) / os.sysconf("SC_CLK_TCK") / (time.monotonic() - begin)


def vm(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def cmd_streams(port, key, count, pid):
    """COUNT event streams open; plain calls timed and the service's CPU measured meanwhile."""
    streams = []
    # At most 64 connections per address: the streams come from 127.0.0.2 and up, 50 each, and
    # the plain calls from 127.0.0.1.
    for i in range(count):
        s = socket.socket()
        s.bind(("127.0.0.%d" % (2 + i // 50), 0))
        s.connect(("127.0.0.1", port))
        s.sendall(("GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                   "Authorization: Bearer %s\r\n\r\n" % key).encode())
        streams.append(s)
    for s in streams:
        s.settimeout(10)
        head = b""
        while b"\r\n\r\n" not in head:
            got = s.recv(4096)
            if not got:
                sys.exit("an event stream was refused")
            head += got
        if not head.startswith(b"HTTP/1.1 200"):
            sys.exit("an event stream was refused: " + head.split(b"\r\n")[0].decode())
        s.setblocking(False)

    def drain(seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            ready, _, _ = select.select(streams, [], [], max(0.0, end - time.monotonic()))
            for s in ready:
                if not s.recv(65536):
                    sys.exit("an event stream ended")

    drain(1)
    api = Api(port, key)
    times = []
    for _ in range(20):
        begin = time.perf_counter()
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        conn.request("GET", "/api/v1/version", headers={"Authorization": "Bearer " + key})
        reply = conn.getresponse()
        reply.read()
        conn.close()
        times.append((time.perf_counter() - begin) * 1000)
        if reply.status != 200:
            sys.exit("GET /version: %d" % reply.status)
        drain(0.05)
    print("version_ms=%.2f" % statistics.median(times))
    tick = os.sysconf("SC_CLK_TCK")
    before, begin = cpu_ticks(pid), time.monotonic()
    drain(10)
    used = (cpu_ticks(pid) - before) / tick
    print("idle_cpu_pct=%.2f" % (100 * used / (time.monotonic() - begin)))
    print("streams=%d" % len(streams))
    del api
    for s in streams:
        s.close()


def cmd_many(port, key, url, files, jobs):
    """The share resolved, then all its files downloaded: seconds from the start of the
    downloads (their links asked again, as every start does) to the last file finished."""
    api = Api(port, key)
    api.ok("PUT", "/settings", {"speedLimit": 0, "jobs": jobs})
    share, resolve_secs = add_share(api, url)
    start = time.monotonic()
    ids = api.ok("POST", "/shares/%d/downloads" % share, {"all": True})["ids"]
    if len(ids) != files:
        sys.exit("%d rows started of %d files" % (len(ids), files))
    wait_for(lambda: total(api, "&state=finished,failed") == files, 1800, "the downloads")
    secs = time.monotonic() - start
    failed = total(api, "&state=failed")
    print("resolve_s=%.3f" % resolve_secs)
    print("download_s=%.3f" % secs)
    print("failed=%d" % failed)


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "key":
        cmd_key(int(args[0]), args[1])
    elif cmd == "big":
        cmd_big(int(args[0]), args[1], args[2], int(args[3]), int(args[4]), float(args[5]))
    elif cmd == "streams":
        cmd_streams(int(args[0]), args[1], int(args[2]), int(args[3]))
    elif cmd == "many":
        cmd_many(int(args[0]), args[1], args[2], int(args[3]), int(args[4]))
    else:
        sys.exit("unknown command " + cmd)


if __name__ == "__main__":
    main()
