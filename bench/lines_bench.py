#!/usr/bin/env python3
"""Many paced lines in one runner: how close each round comes to its wire limit.

For each N (default 1, 8, 32, 64) it starts N simulated K417T controllers
(k417t-sim, each on its own pseudo-terminal, answers paced at 9600 baud), runs
one k417t-run polling all of them for a few rounds, and prints per N:

  first round   each line's first-round duration / its wire limit (median, worst)
  later rounds  the same for rounds 2 and after
  CPU s/line-h  the runner's CPU time (user + system) per line and hour of running
  peak RSS      the runner's maximum resident set

The wire limit of a round is what the wire allows at 9600 baud: its bytes in
both directions at 960 bytes/s, plus the controller's 20 ms pause before it
handles each answer.

--in-process uses the runner's own simulators (--simulate --pace) instead: one
process, so CPU and RSS then include the simulators.

Not a test: run it by hand on an otherwise quiet machine, after building:
    bench/lines_bench.py [--build build] [--counts 1,8,32,64] [--rounds 4]
"""
import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BYTES_PER_S = 960.0
PAUSE_S = 0.020


def site_file(ports, path):
    devices = []
    for i, port in enumerate(ports):
        base = 1000 * (i + 1)
        devices.append({
            "name": f"power-{i + 1}",
            "data_id": base,
            "setting": {
                "port": port, "address": 1, "timeout_ms": 1500, "baud_rate": 9600,
                "acSetting": [{"data_id": base + 11}],
                "dcSetting": [{"data_id": base + 21}, {"data_id": base + 22}],
                "rcSetting": {},
            },
        })
    with open(path, "w") as f:
        json.dump({"devices": devices}, f)


def start_simulators(build, scenario, n):
    sims, ports = [], []
    for _ in range(n):
        p = subprocess.Popen([os.path.join(build, "k417t-sim"), "--scenario", scenario,
                              "--baud", "9600"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
        ports.append(p.stdout.readline().strip())
        sims.append(p)
    return sims, ports


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--scenario", default=os.path.join(ROOT, "examples", "scenario.json"))
    ap.add_argument("--counts", default="1,8,32,64")
    ap.add_argument("--rounds", type=int, default=4)
    ap.add_argument("--in-process", action="store_true")
    a = ap.parse_args()

    print(f"{'lines':>5} | {'first: median':>13} {'worst':>6} | {'later: median':>13} "
          f"{'worst':>6} | {'CPU s/line-h':>12} | {'peak RSS':>9}")
    with tempfile.TemporaryDirectory(prefix="k417t-bench-") as tmp:
        if a.in_process:
            # The runner's simulators pace at the scenario's own "baud".
            with open(a.scenario) as f:
                scen = json.load(f)
            scen["baud"] = 9600
            a.scenario = os.path.join(tmp, "scenario.json")
            with open(a.scenario, "w") as f:
                json.dump(scen, f)
        for n in [int(x) for x in a.counts.split(",")]:
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            sims = []
            if a.in_process:
                ports = [f"/dev/null-{i}" for i in range(n)]
            else:
                sims, ports = start_simulators(a.build, a.scenario, n)
            site = os.path.join(tmp, f"site-{n}.json")
            site_file(ports, site)
            cmd = [os.path.join(a.build, "k417t-run"), "--site", site, "--rounds", str(a.rounds),
                   "--json", "--no-restore", "--db", os.path.join(tmp, f"h-{n}.db"),
                   "--log", os.path.join(tmp, f"log-{n}.txt")]
            if a.in_process:
                cmd += ["--simulate", a.scenario, "--pace"]
            start = time.monotonic()
            runner = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
            out = runner.stdout.read()
            _, status, usage = os.wait4(runner.pid, 0)
            wall = time.monotonic() - start
            for s in sims:
                s.terminate()
                s.wait()
            if status != 0:
                print(f"{n:>5} | runner failed (status {status}); see {tmp}/log-{n}.txt",
                      file=sys.stderr)
                continue
            first, later = [], []
            for line in out.splitlines():
                v = json.loads(line)
                if v.get("kind") != "round" or v.get("exchanges", 0) == 0:
                    continue
                limit = (v["bytes_out"] + v["bytes_in"]) / BYTES_PER_S + PAUSE_S * v["exchanges"]
                (first if v["round"] == 1 else later).append(v["duration_ms"] / 1000.0 / limit)
            cpu = usage.ru_utime + usage.ru_stime
            cpu_per_line_hour = cpu / n / (wall / 3600.0)
            rss_mib = usage.ru_maxrss / 1024.0

            def cell(xs):
                if not xs:
                    return f"{'-':>13} {'-':>6}"
                return f"{statistics.median(xs):>13.3f} {max(xs):>6.3f}"

            print(f"{n:>5} | {cell(first)} | {cell(later)} | {cpu_per_line_hour:>12.1f} | "
                  f"{rss_mib:>6.1f} MiB", flush=True)


if __name__ == "__main__":
    main()
