#!/usr/bin/env python3
"""How long `get` reads a long pasted text before its first share starts.

A list of N link-and-code pairs ("http://HOST/s/1… 密码:1234", one after the
other on a single line, as a chat program's export of a channel gives them) goes to
`sharefetch-cli get --input FILE` with the share host on a closed port of 127.0.0.1; the time
is taken from the start to the line that announces share 1, and the program is then stopped.
Run at N/4 and N: a reader in linear time takes about four times as long for four times the
text.

Usage: bench/share_text_bench.py [CLI] [N]   (defaults: build/bin/sharefetch-cli, 60000)
Target: N = 60000 (about 2.6 MB) in under 1 s; the ratio of the two times near 4.
"""
import os
import socket
import subprocess
import sys
import tempfile
import time


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def pasted_text(n, host):
    pairs = []
    for i in range(n):
        pairs.append("%s/s/1%07dab 密码:%04d" % (host, i, i % 10000))
    return " ".join(pairs) + "\n"


def time_to_first_share(cli, n, work):
    path = os.path.join(work, "shares-%d.txt" % n)
    host = "http://127.0.0.1:%d" % closed_port()
    with open(path, "w", encoding="utf-8") as f:
        f.write(pasted_text(n, host))
    size = os.path.getsize(path)
    start = time.monotonic()
    proc = subprocess.Popen([cli, "get", "--host", host, "--input", path, "--dir", os.path.join(work, "d")],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        for line in proc.stderr:
            if b"share 1 of" in line:
                return time.monotonic() - start, size, line.decode("utf-8", "replace").strip()
        raise SystemExit("no share started; exit status %s" % proc.wait())
    finally:
        proc.kill()
        proc.wait()


def main():
    cli = sys.argv[1] if len(sys.argv) > 1 else "build/bin/sharefetch-cli"
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 60000
    with tempfile.TemporaryDirectory(prefix="sf-share-text-bench.") as work:
        small, _, _ = time_to_first_share(cli, n // 4, work)
        whole, size, line = time_to_first_share(cli, n, work)
    print("%d pairs (%.1f MB): %.3f s to the first share; %d pairs: %.3f s; ratio %.1f" %
          (n, size / 1e6, whole, n // 4, small, whole / max(small, 1e-6)))
    print("  " + line[:100])
    return 0 if whole < 1.0 else 1


if __name__ == "__main__":
    sys.exit(main())
