#!/usr/bin/env python3
"""Resolves generated shares of growing size on the local share service and prints, for
each, the number of requests, the wall time, requests per second and the peak memory of
sharefetch-cli. Time should grow in proportion to the requests.

Usage: bench/resolve_bench.py [BUILD_DIR]   (default: build)
"""
import json
import os
import subprocess
import sys
import tempfile
import time

build = sys.argv[1] if len(sys.argv) > 1 else "build"
sim_bin = os.path.join(build, "bin", "share-sim")
cli_bin = os.path.join(build, "bin", "sharefetch-cli")


def fixture(files_per_folder):
    # Ten folders, each with its files and ten subfolders holding files of their own:
    # 110 folders and 110 * files_per_folder files, all walked and linked.
    return {"shares": [{"id": "bench", "items": [
        {"tree": {"depth": 2, "folders": 10, "files": files_per_folder,
                  "name": "目录-{i}", "fileName": "文件-{i}.bin", "size": 4096}}]}]}


def run(files_per_folder):
    with tempfile.TemporaryDirectory() as tmp:
        fix = os.path.join(tmp, "fixture.json")
        log = os.path.join(tmp, "requests.jsonl")
        with open(fix, "w") as f:
            json.dump(fixture(files_per_folder), f, ensure_ascii=False)
        sim = subprocess.Popen([sim_bin, "--fixture", fix, "--log", log], stdout=subprocess.PIPE, text=True)
        try:
            url = sim.stdout.readline().split()[-1]
            start = time.monotonic()
            proc = subprocess.Popen([cli_bin, "resolve", "--host", url, "--json", url + "/s/bench"],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            out = proc.stdout.read()
            _, status, usage = os.wait4(proc.pid, 0)
            seconds = time.monotonic() - start
        finally:
            sim.terminate()
            sim.wait()
        result = json.loads(out)
        if result["result"] != 0:
            raise SystemExit("resolution failed: %s" % result["message"])
        requests = sum(1 for _ in open(log))
        files = sum(1 for e in result["entries"] if e["isdir"] == "0")
        return files, requests, seconds, usage.ru_maxrss / 1024.0


print("%8s %9s %9s %10s %12s" % ("files", "requests", "seconds", "req/s", "peak MiB"))
rows = []
for per_folder in (3, 9, 27):
    files, requests, seconds, peak = run(per_folder)
    rows.append((requests, seconds))
    print("%8d %9d %9.2f %10.0f %12.1f" % (files, requests, seconds, requests / seconds, peak))
base = rows[0][1] / rows[0][0]
print("time per request relative to the smallest share: " +
      ", ".join("%.2f" % ((s / r) / base) for r, s in rows))
