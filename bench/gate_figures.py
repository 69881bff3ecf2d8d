#!/usr/bin/env python3
"""The HTTP front line under held connections (not a test): one runner on the
simulator with --http; time to first byte of GET /api/devices quiet, with 16
clients dripping their request bodies, and with 512 connections held open
from 127.0.0.2..127.0.0.33 (16 each, the per-address cap); the runner's open
descriptors under that load, and how the held ones were answered.

usage: bench/gate_figures.py [BUILD_DIR]"""
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from benchutil import free_port, stop_all

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")
GET = b"GET /api/devices HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"


def ttfb(port, n=20):
    out = []
    for _ in range(n):
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        t = time.perf_counter()
        s.sendall(GET)
        first = s.recv(1)
        out.append((time.perf_counter() - t) * 1000 if first else float("inf"))
        s.close()
        time.sleep(0.05)
    return "median %.1f ms, max %.1f ms" % (statistics.median(out), max(out))


def fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def main():
    procs = []
    with tempfile.TemporaryDirectory() as tmp:
        port = free_port()
        runner = subprocess.Popen(
            [os.path.join(BUILD, "k417t-run"), "--site", os.path.join(ROOT, "examples/site.json"),
             "--simulate", os.path.join(ROOT, "examples/scenario.json"), "--quiet",
             "--db", os.path.join(tmp, "h.db"), "--http", "127.0.0.1:%d" % port],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(runner)
        try:
            time.sleep(4)
            print("quiet:              ttfb " + ttfb(port) + ", descriptors %d" % fds(runner.pid))

            stop = threading.Event()

            def drip(src):
                s = socket.socket()
                s.bind((src, 0))
                s.connect(("127.0.0.1", port))
                s.sendall(b"POST /api/devices/100/control HTTP/1.1\r\nHost: localhost\r\n"
                          b"Content-Type: application/json\r\nContent-Length: 4000\r\n\r\n")
                while not stop.is_set():
                    try:
                        s.send(b" ")
                    except OSError:
                        # Dropped at its deadline: reconnect, as a slowloris would.
                        s.close()
                        s = socket.socket()
                        s.bind((src, 0))
                        s.connect(("127.0.0.1", port))
                        s.sendall(b"POST /x HTTP/1.1\r\nHost: localhost\r\nContent-Length: 4000\r\n\r\n")
                    time.sleep(0.1)
                s.close()

            ts = [threading.Thread(target=drip, args=("127.0.0.%d" % (2 + i % 4),)) for i in range(16)]
            for t in ts:
                t.start()
            time.sleep(1)
            print("16 dripping bodies: ttfb " + ttfb(port) + ", descriptors %d" % fds(runner.pid))
            stop.set()
            for t in ts:
                t.join()

            held, answers = [], {}
            for i in range(512):
                s = socket.socket()
                s.bind(("127.0.0.%d" % (2 + i // 16), 0))
                s.settimeout(5)
                try:
                    s.connect(("127.0.0.1", port))
                    s.sendall(b"GET /api/devices HTTP/1.1\r\nHost: localhost\r\n")  # no end
                    held.append(s)
                except OSError:
                    s.close()
            time.sleep(0.3)
            print("512 held open:      ttfb " + ttfb(port, 10) + ", descriptors %d" % fds(runner.pid))
            for s in held:
                s.setblocking(False)
                try:
                    a = s.recv(64)
                    key = a.split(b"\r\n")[0].decode() if a else "closed"
                except BlockingIOError:
                    key = "held"
                except OSError:
                    key = "reset"
                answers[key] = answers.get(key, 0) + 1
                s.close()
            print("the 512:            " + ", ".join("%s: %d" % kv for kv in sorted(answers.items())))
        finally:
            stop_all(procs)


if __name__ == "__main__":
    main()
