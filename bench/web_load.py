#!/usr/bin/env python3
"""The HTTP server under load (not a test): one runner polls a paced simulator
(9600 baud) with --http; 50 clients on 127.0.0.1 each ask in a loop for what
the page asks (device list, device values, events, history, /metrics) for a
fixed time. Prints request latency (median, 99th percentile, worst), the
runner's CPU before and under load (per client), and the rounds' duration
over their wire limit without and with the load.

usage: bench/web_load.py [RUNNER] [CLIENTS] [SECONDS]"""
import http.client
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from benchutil import cpu_seconds, free_port, wire_ratio

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNNER = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "k417t-run")
CLIENTS = int(sys.argv[2]) if len(sys.argv) > 2 else 50
SECONDS = float(sys.argv[3]) if len(sys.argv) > 3 else 20


def ratios(lines, since):
    out = []
    for line in lines:
        v = json.loads(line)
        if v.get("kind") == "round" and v["round"] > 2 and v["round"] >= since:
            out.append(wire_ratio(v))
    return out


def main():
    work = tempfile.mkdtemp(prefix="k417t-webload-")
    with open(os.path.join(ROOT, "examples/scenario.json")) as f:
        scen = json.load(f)
    scen["baud"] = 9600  # answers paced as on the wire
    with open(os.path.join(work, "scenario.json"), "w") as f:
        json.dump(scen, f)
    port = free_port()
    out_path = os.path.join(work, "out.jsonl")
    out = open(out_path, "w")
    p = subprocess.Popen([RUNNER, "--site", os.path.join(ROOT, "examples/site.json"),
                          "--simulate", os.path.join(work, "scenario.json"), "--pace",
                          "--db", os.path.join(work, "h.db"), "--http", f"127.0.0.1:{port}",
                          "--json", "--log", os.path.join(work, "log")], stdout=out)
    try:
        time.sleep(3)
        # Quiet phase.
        with open(out_path) as f:
            start_round = sum(1 for _ in f)
        c0, t0 = cpu_seconds(p.pid), time.time()
        time.sleep(SECONDS / 2)
        quiet_cpu = (cpu_seconds(p.pid) - c0) / (time.time() - t0)
        with open(out_path) as f:
            lines = f.readlines()
        quiet = ratios(lines[start_round:], 0)
        mark = len(lines)
        # Loaded phase.
        lat, errors, stop, kinds = [], [0], threading.Event(), {}
        lock = threading.Lock()

        def client(k):
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            paths = ["/api/devices", "/api/devices/100", "/api/events?device=100", "/metrics",
                     "/api/history?unit=21"]
            n = k
            while not stop.is_set():
                path = paths[n % len(paths)]
                n += 1
                t = time.perf_counter()
                try:
                    conn.request("GET", path)
                    r = conn.getresponse()
                    r.read()
                    ok = r.status == 200
                    kind = r.status
                except OSError as e:
                    ok = False
                    kind = type(e).__name__
                    conn.close()
                    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                d = time.perf_counter() - t
                with lock:
                    lat.append(d)
                    if not ok:
                        errors[0] += 1
                        kinds[kind] = kinds.get(kind, 0) + 1

        threads = [threading.Thread(target=client, args=(k,)) for k in range(CLIENTS)]
        c0, t0 = cpu_seconds(p.pid), time.time()
        for t in threads:
            t.start()
        time.sleep(SECONDS)
        stop.set()
        for t in threads:
            t.join()
        span = time.time() - t0
        load_cpu = (cpu_seconds(p.pid) - c0) / span
        with open(out_path) as f:
            loaded = ratios(f.readlines()[mark:], 0)
        lat.sort()
        print(f"{CLIENTS} clients for {SECONDS:.0f} s: {len(lat)} requests ({len(lat) / span:.0f}/s), "
              f"{errors[0]} not 200: {kinds}")
        print(f"latency: median {statistics.median(lat) * 1000:.1f} ms, "
              f"p99 {lat[int(len(lat) * 0.99)] * 1000:.1f} ms, worst {lat[-1] * 1000:.1f} ms")
        print(f"runner CPU: {quiet_cpu * 100:.1f}% quiet, {load_cpu * 100:.1f}% under load "
              f"({(load_cpu - quiet_cpu) * 100 / CLIENTS:.2f}% of a core per client)")
        for name, r in (("quiet", quiet), ("loaded", loaded)):
            if r:
                print(f"round/wire limit {name}: median {statistics.median(r):.3f}, worst {max(r):.3f} "
                      f"({len(r)} rounds)")
    finally:
        p.terminate()
        p.wait()


main()
