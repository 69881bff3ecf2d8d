#!/usr/bin/env python3
"""Polling under Modbus load: the runner on the simulator paced at 9600 baud
with its Modbus-TCP server on; the rounds' duration over their wire limit
while no client reads (quiet), then while N clients (default 100) each read
the whole map (every mapped input register and discrete input, in reads of
at most 125 registers / 2000 bits) once a second. Prints both ratios and
the requests' latency (median, 99th percentile, worst) and any exception or
error. A manual figure, not a ctest: it runs about a minute.

usage: bench/modbus_load.py [BUILD_DIR] [CLIENTS] [SECONDS]"""
import csv
import json
import os
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

from benchutil import free_port, paced_example, stop_all, wire_ratio

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")
CLIENTS = int(sys.argv[2]) if len(sys.argv) > 2 else 100
SECONDS = int(sys.argv[3]) if len(sys.argv) > 3 else 30


def reads_of_map():
    """(function, address, count) covering every mapped address."""
    taken = {"input_register": set(), "discrete_input": set()}
    with open(os.path.join(ROOT, "data/modbus-map.csv")) as f:
        for row in csv.DictReader(f):
            if row["table"] in taken:
                for w in range(int(row["words"])):
                    taken[row["table"]].add(int(row["address"]) + w)
    reads = []
    for table, fc, most in (("input_register", 4, 125), ("discrete_input", 2, 2000)):
        addrs = sorted(taken[table])
        start = prev = addrs[0]
        for a in addrs[1:] + [None]:
            if a is not None and a == prev + 1 and a - start < most:
                prev = a
                continue
            reads.append((fc, start, prev - start + 1))
            if a is not None:
                start = prev = a
    return reads


def recv_exact(s, n):
    data = b""
    while len(data) < n:
        part = s.recv(n - len(data))
        if not part:
            raise ConnectionError("closed")
        data += part
    return data


def client(port, reads, until, latencies, problems, lock):
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=5)
    except OSError as e:
        with lock:
            problems.append("connect: %s" % e)
        return
    tid = 0
    while time.time() < until:
        t_pass = time.time()
        for fc, addr, count in reads:
            tid = (tid + 1) & 0xFFFF
            t0 = time.perf_counter()
            try:
                s.sendall(struct.pack(">HHHBBHH", tid, 0, 6, 1, fc, addr, count))
                head = recv_exact(s, 7)
                body = recv_exact(s, struct.unpack(">H", head[4:6])[0] - 1)
            except OSError as e:
                with lock:
                    problems.append("read: %s" % e)
                return
            dt = (time.perf_counter() - t0) * 1000
            with lock:
                latencies.append(dt)
                if body[0] & 0x80:
                    problems.append("exception %d at %d" % (body[1], addr))
        time.sleep(max(0, 1 - (time.time() - t_pass)))
    s.close()


def main():
    tmp = tempfile.mkdtemp(prefix="k417t-modbus-")
    procs = []
    try:
        port = free_port()
        site, scen = paced_example(
            tmp, ROOT, modbus={"listen": "127.0.0.1:%d" % port, "max_clients": max(16, CLIENTS + 4)})
        runner = subprocess.Popen(
            [os.path.join(BUILD, "k417t-run"), "--site", site, "--simulate", scen, "--pace",
             "--json",
             "--db", os.path.join(tmp, "h.db"), "--log", os.path.join(tmp, "log")],
            stdout=subprocess.PIPE, text=True)
        procs.append(runner)
        ratios, lock = [], threading.Lock()

        def read_rounds():
            for line in runner.stdout:
                try:
                    v = json.loads(line)
                except ValueError:
                    continue
                if v.get("kind") == "round":
                    with lock:
                        ratios.append((time.time(), wire_ratio(v)))

        threading.Thread(target=read_rounds, daemon=True).start()

        def between(a, b):
            with lock:
                return [r for t, r in ratios if a <= t <= b]

        def summary(rs):
            if not rs:
                return "no round"
            return "%d rounds, ratio median %.3f, worst %.3f" % (
                len(rs), statistics.median(rs), max(rs))

        time.sleep(10)
        t0 = time.time()
        time.sleep(SECONDS)
        quiet = between(t0, time.time())
        print("quiet:          " + summary(quiet))

        reads = reads_of_map()
        latencies, problems = [], []
        until = time.time() + SECONDS
        threads = [threading.Thread(target=client,
                                    args=(port, reads, until, latencies, problems, lock))
                   for _ in range(CLIENTS)]
        t1 = time.time()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        loaded = between(t1 + 2, time.time())
        print("%3d clients:    %s" % (CLIENTS, summary(loaded)))
        print("map: %d reads a pass; %d requests, %.0f a second" %
              (len(reads), len(latencies), len(latencies) / (time.time() - t1)))
        if latencies:
            lat = sorted(latencies)
            print("latency ms:     median %.2f, p99 %.2f, worst %.2f" %
                  (statistics.median(lat), lat[int(len(lat) * 0.99) - 1], lat[-1]))
        print("problems:       %d %s" % (len(problems), sorted(set(problems))[:5]))
        if quiet and loaded:
            print("loaded/quiet median ratio: %.3f" %
                  (statistics.median(loaded) / statistics.median(quiet)))
    finally:
        stop_all(procs)


if __name__ == "__main__":
    main()
