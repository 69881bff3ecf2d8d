#!/usr/bin/python3
"""The whole Modbus map read by two independent clients, mbpoll and
pymodbus (Debian's python3-pymodbus: run with /usr/bin/python3), and every
value checked against the HTTP API of the same round.

The runner polls the example site's simulator paced at 9600 baud with its
Modbus-TCP and HTTP servers on. Each attempt reads the API, the whole map
with mbpoll (every contiguous range of the generated CSV, input registers
and discrete inputs), the whole map with pymodbus, and the API again; when
the two API reads are of one round the words are decoded by the CSV (float32
high word first, int16 x 10^precision, int32 x 10^precision, status) and
compared with the API's units and battery figures. Prints what was read,
what was compared and every difference. A manual figure, not a ctest.

usage: /usr/bin/python3 bench/modbus_clients.py [BUILD_DIR]"""
import csv
import io
import json
import math
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request

from pymodbus.client import ModbusTcpClient

from benchutil import free_port, paced_example, stop_all, wait_for

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")

# Battery figures in map order and where the battery API keeps them.
FIGURES = {
    "load_power": ("power_w",), "load_energy": ("total", "load_kwh"),
    "load_energy_today": ("today", "load_kwh"), "load_energy_month": ("month", "load_kwh"),
    "rectifier_energy": ("total", "rectifier_kwh"), "charge_ah": ("total", "charge_ah"),
    "discharge_ah": ("total", "discharge_ah"), "charge_energy": ("total", "charge_kwh"),
    "discharge_energy": ("total", "discharge_kwh"), "state_of_charge": ("soc",),
    "autonomy": ("autonomy", "minutes"), "autonomy_low": ("autonomy", "low_min"),
    "autonomy_high": ("autonomy", "high_min"),
}


def ranges(rows, table, most):
    addrs = sorted({int(r["address"]) + w for r in rows if r["table"] == table
                    for w in range(int(r["words"]))})
    out, start, prev = [], addrs[0], addrs[0]
    for a in addrs[1:] + [None]:
        if a is not None and a == prev + 1 and a - start < most:
            prev = a
            continue
        out.append((start, prev - start + 1))
        if a is not None:
            start = prev = a
    return out


def read_mbpoll(port, regs, bits):
    words, flags, calls = {}, {}, 0
    for table, spans, store in (("3:hex", regs, words), ("1", bits, flags)):
        for start, count in spans:
            out = subprocess.run(
                ["mbpoll", "-m", "tcp", "-a", "1", "-0", "-t", table, "-r", str(start), "-c",
                 str(count), "-1", "-p", str(port), "127.0.0.1"],
                capture_output=True, text=True, timeout=10).stdout
            calls += 1
            for m in re.finditer(r"^\[(\d+)\]:\s+(\S+)", out, re.M):
                store[int(m.group(1))] = int(m.group(2), 0)
    return words, flags, calls


def read_pymodbus(port, regs, bits):
    c = ModbusTcpClient("127.0.0.1", port=port)
    c.connect()
    words, flags = {}, {}
    for start, count in regs:
        r = c.read_input_registers(start, count, slave=1)
        if not r.isError():
            words.update({start + i: w for i, w in enumerate(r.registers)})
    for start, count in bits:
        r = c.read_discrete_inputs(start, count, slave=1)
        if not r.isError():
            flags.update({start + i: int(b) for i, b in enumerate(r.bits[:count])})
    c.close()
    return words, flags


def api(http, path):
    with urllib.request.urlopen("http://127.0.0.1:%d%s" % (http, path), timeout=5) as r:
        return json.load(r)


def decode(row, words):
    a, ty = int(row["address"]), row["type"]
    if ty in ("float32", "int32", "uint32"):
        hi, lo = words[a], words[a + 1]
        if ty == "float32":
            return struct.unpack(">f", struct.pack(">HH", hi, lo))[0]
        n = hi << 16 | lo
        return n - (1 << 32) if ty == "int32" and n >= 1 << 31 else n
    w = words[a]
    return w - 65536 if ty == "int16" and w >= 32768 else w


def compare(rows, words, device, battery):
    """(compared, numbers, none, differences) of the unit and battery values."""
    by_slot, seen = {}, {}
    for u in device["units"]:
        seen[u["kind"]] = seen.get(u["kind"], 0) + 1
        name = u["kind"] if u["kind"] == "rectifier" else u["kind"] + str(seen[u["kind"]])
        by_slot[name] = u["values"]
    stale = device.get("stale", False)
    compared = numbers = none = 0
    diffs = []
    for r in rows:
        kind, key, ty = r["kind"], r["key"], r["type"]
        if r["table"] != "input_register" or kind == "controller":
            continue
        if ty == "uint16" and not key.endswith(".status"):
            continue  # state codes: the API gives their words
        base = key[:-len(".status")] if key.endswith(".status") else key
        slot, _, vkey = base.partition(".")
        if kind == "battery":
            if vkey not in FIGURES:
                continue
            v = battery
            for part in FIGURES[vkey]:
                v = v.get(part) if isinstance(v, dict) else None
            if vkey == "state_of_charge" and v is not None:
                v = v * 100 if battery.get("configured") else None
            if not battery.get("configured") and vkey in (
                    "charge_ah", "discharge_ah", "charge_energy", "discharge_energy"):
                v = None
            lost_counts = False  # counters stay valid when lost
        else:
            v = by_slot.get(slot, {}).get(vkey)
            lost_counts = stale
        if isinstance(v, str):
            continue
        got = decode(r, words)
        compared += 1
        prec = int(round(-math.log10(float(r["scale"])))) if r["scale"] not in ("", "1") else 0
        if key.endswith(".status"):
            want = 2 if lost_counts else (0 if v is not None else 1)
            ok = got == want
        elif v is None:
            none += 1
            ok = (math.isnan(got) if ty == "float32" else
                  got == -32768 if ty == "int16" else got == -(1 << 31))
            want = "no value"
        else:
            numbers += 1
            if ty == "float32":
                want = v
                ok = abs(got - v) <= abs(v) * 2e-7
            else:
                lim = 32767 if ty == "int16" else 2147483647
                want = max(-lim, min(lim, round(v * 10 ** prec)))
                ok = got == want
        if not ok:
            diffs.append("%s %s: API %r Modbus %r" % (key, ty, want, got))
    return compared, numbers, none, diffs


def main():
    tmp = tempfile.mkdtemp(prefix="k417t-mbclients-")
    procs = []
    try:
        port, http = free_port(), free_port()
        site, scen = paced_example(tmp, ROOT, modbus={"listen": "127.0.0.1:%d" % port})
        runner = subprocess.Popen(
            [os.path.join(BUILD, "k417t-run"), "--site", site, "--simulate", scen, "--pace",
             "--quiet",
             "--http", "127.0.0.1:%d" % http,
             "--db", os.path.join(tmp, "h.db"), "--log", os.path.join(tmp, "log")])
        procs.append(runner)
        map_csv = subprocess.run([os.path.join(BUILD, "k417t-run"), "modbus-map"],
                                 capture_output=True, text=True, check=True).stdout
        rows = list(csv.DictReader(io.StringIO(map_csv)))
        regs = ranges(rows, "input_register", 125)
        bits = ranges(rows, "discrete_input", 125)  # mbpoll reads at most 125 values

        def ready():
            try:
                return api(http, "/api/devices/100")["rounds"] >= 2
            except (OSError, ValueError, KeyError):
                return False
        if not wait_for(ready, 60, 0.2):
            print("the runner did not complete two rounds")
            return 1
        for attempt in range(10):
            before = (api(http, "/api/devices/100"), api(http, "/api/devices/100/battery"))
            t0 = time.time()
            mb_words, mb_bits, calls = read_mbpoll(port, regs, bits)
            t1 = time.time()
            py_words, py_bits = read_pymodbus(port, regs, bits)
            t2 = time.time()
            after = (api(http, "/api/devices/100"), api(http, "/api/devices/100/battery"))
            if before[0]["rounds"] != after[0]["rounds"] or before[1] != after[1]:
                continue
            print("round %d, attempt %d" % (before[0]["rounds"], attempt + 1))
            print("map: %d entries, %d input registers in %d reads, %d discrete inputs in %d reads"
                  % (len(rows), len(mb_words), len(regs), len(mb_bits), len(bits)))
            print("mbpoll:   %d calls, %.2f s" % (calls, t1 - t0))
            print("pymodbus: %d requests, %.3f s" % (len(regs) + len(bits), t2 - t1))
            # Seconds since the last round (registers 2-3) move on by themselves.
            moving = {2, 3}
            differ = sorted(a for a in set(mb_words) | set(py_words)
                            if a not in moving and mb_words.get(a) != py_words.get(a))
            differ_bits = sorted(a for a in set(mb_bits) | set(py_bits)
                                 if mb_bits.get(a) != py_bits.get(a))
            same = not differ and not differ_bits
            print("mbpoll and pymodbus read the same words and bits (but the seconds since the "
                  "round): %s%s" % (same, "" if same else " registers %s bits %s" % (
                      differ[:10], differ_bits[:10])))
            for name, words in (("mbpoll", mb_words), ("pymodbus", py_words)):
                c, n, none, diffs = compare(rows, words, before[0], before[1])
                print("%-9s against the API: %d compared (%d numbers, %d no value), %d differ"
                      % (name + ":", c, n, none, len(diffs)))
                for d in diffs[:20]:
                    print("  " + d)
            return 0 if same else 1
        print("no two API reads of one round in 10 attempts")
        return 1
    finally:
        stop_all(procs)


if __name__ == "__main__":
    sys.exit(main())
