#!/usr/bin/env python3
"""Batteries end to end: the built runner polls the simulator's plant with a
battery string (examples/scenarios/mains_loss.json) and serves HTTP (and Modbus) with
control on. A mains loss gives one discharge record of cause "mains loss"
with its Ah and voltages, raised and cleared as the "Battery discharge"
alarm, counted in /metrics and listed by `k417t-run history --discharges`.
Then an operator starts a battery test: refused by the controller first (no
test runs, the stop goes out in case), then taken: the plant's test command goes out,
the strings carry the load (a record of cause "test"), and a rectifier
module fault trips the interlock: the stop command goes out and the record
ends "aborted: ...". Every step is in the audit.

usage: battery_e2e.py RUNNER EXAMPLES WORKDIR"""
import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

from e2e_checks import FAILS, check, free_port

RUNNER, EXAMPLES, WORK = sys.argv[1], sys.argv[2], sys.argv[3]
TOKEN = "battery-e2e-token-0123456789"
HDR = {"Content-Type": "application/json", "Authorization": "Bearer " + TOKEN}


def request(port, path, method="GET", body=None, headers=None):
    req = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=body, method=method,
                                 headers=headers or {})
    try:
        with urllib.request.urlopen(req, timeout=15) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


def get_json(port, path, headers=None):
    code, body = request(port, path, headers=headers)
    return json.loads(body) if code == 200 else None


def wait_for(what, ok, seconds):
    end = time.time() + seconds
    while time.time() < end:
        try:
            v = ok()
            if v:
                return v
        except (OSError, KeyError, IndexError, TypeError, ValueError):
            pass
        time.sleep(0.3)
    check(False, f"within {seconds} s: {what}")
    return None


def site(work):
    s = {"devices": [{
        "name": "plant-1", "data_id": 100,
        "setting": {"address": 1, "timeout_ms": 1500, "acSetting": [{"data_id": 11}],
                    "dcSetting": [{"data_id": 21, "labels": {
                        "m": [{"name": "Battery current", "unit": "A"}],
                        "user": [{"name": "Battery temperature", "unit": "°C"}]}}],
                    "rcSetting": {}},
        "battery": {
            "strings": [{"name": "String 1", "current": {"unit": 21, "list": "m", "index": 0},
                         "discharge": "negative", "capacity_ah": 100, "rate_h": 10,
                         "end_v": 42.0, "peukert": 1.15}],
            "temperatures": [{"unit": 21, "list": "user", "index": 0}],
            "discharge_threshold_a": 2, "discharge_rounds": 2,
            "test": {"allowed": True, "start": {"code": 104}, "stop": {"code": 100},
                     "max_s": 600}}}]}
    path = os.path.join(work, "site.json")
    with open(path, "w") as f:
        json.dump(s, f)
    return path


def scenario(work):
    with open(os.path.join(EXAMPLES, "scenarios", "mains_loss.json")) as f:
        s = json.load(f)
    # Mains goes after 3 rounds and is back after 9; a module fails after 26
    # rounds, while the test runs.
    s["battery"]["mains_lost_after_rounds"] = 3
    s["battery"]["mains_back_after_rounds"] = 9
    # The controller refuses the test command (return code 4) until round 16.
    s["control_rtn"]["11"] = 4
    s["changes"] = [{"after_rounds": 16, "set": {"control_rtn": {"11": 0}}},
                    {"after_rounds": 26, "set": {"data_flags": {"rc": 17},
                                                 "rectifier": {"modules": [{"fault": 1}]}}}]
    path = os.path.join(work, "scenario.json")
    with open(path, "w") as f:
        json.dump(s, f)
    return path


def metric(port, name, labels=None):
    code, body = request(port, "/metrics")
    for fam in text_string_to_metric_families(body.decode()):
        for s in fam.samples:
            if s.name == name and all(s.labels.get(k) == v for k, v in (labels or {}).items()):
                return s.value
    return None


def modbus(port, fc, address, count):
    """One Modbus-TCP read of unit 1: the registers (FC 4) or bits (FC 2)."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(struct.pack(">HHHBBHH", 1, 0, 6, 1, fc, address, count))
        data = b""
        while len(data) < 9 or len(data) < 6 + struct.unpack(">H", data[4:6])[0]:
            part = s.recv(512)
            if not part:
                raise OSError("closed")
            data += part
    if data[7] & 0x80:
        raise OSError(f"exception {data[8]}")
    body = data[9:]
    if fc == 4:
        return list(struct.unpack(f">{count}H", body[:2 * count]))
    return [(body[i // 8] >> (i % 8)) & 1 for i in range(count)]


def modbus_float(port, address):
    hi, lo = modbus(port, 4, address, 2)
    return struct.unpack(">f", struct.pack(">HH", hi, lo))[0]


def run(work):
    token = os.path.join(work, "token")
    with open(token, "w") as f:
        f.write(TOKEN + "\n")
    os.chmod(token, 0o600)
    db = os.path.join(work, "h.db")
    port, mport = free_port(), free_port()
    log = os.path.join(work, "runner.log")
    p = subprocess.Popen([RUNNER, "--site", site(work), "--simulate", scenario(work), "--db", db,
                          "--modbus", f"127.0.0.1:{mport}", "--http", f"127.0.0.1:{port}", "--http-control", "--http-token-file", token,
                          "--log", log], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        # The mains loss: one discharge going on, the alarm raised.
        going = wait_for("a discharge going on", lambda: get_json(port, "/api/devices/100/battery")
                         ["discharging"], 40)
        if going:
            check(going["cause"] == "mains loss", f"cause: {going}")
        alarms = get_json(port, "/api/alarms") or {}
        texts = [a.get("text") for a in alarms.get("alarms", [])]
        check("Battery discharge" in texts, f"the discharge is an active alarm: {texts}")
        check((metric(port, "k417t_battery_discharging", {"device": "100"}) or 0) == 1,
              "k417t_battery_discharging 1 during the discharge")
        # Modbus says the same: configured and discharging (input registers
        # 300-301, discrete input 200), a state of charge with status 0.
        # The server rebuilds its registers after the round: wait for it.
        wait_for("Modbus registers 300-301 and discrete input 200 say discharging",
                 lambda: modbus(mport, 4, 300, 2) == [1, 1] and modbus(mport, 2, 200, 1) == [1], 10)
        soc_status = modbus(mport, 4, 289, 1)[0]
        check(soc_status == 0 and 0 < modbus_float(mport, 218) <= 100,
              f"Modbus state of charge valid: status {soc_status}")
        # Mains back: the record ends.
        rec = wait_for("the discharge ended", lambda: [d for d in get_json(port, "/api/discharges")
                                                       ["discharges"] if d["end"] is not None], 40)
        if rec:
            check(len(rec) == 1, f"one record: {rec}")
            d = rec[0]
            check(d["cause"] == "mains loss" and d["ah"] > 0 and d["kwh"] > 0, f"record: {d}")
            check(d["min_v"] is not None and 40 < d["min_v"] < 53, f"the bus fell: {d}")
            check(d["min_temp_c"] == 25, f"the string's temperature: {d}")
        wait_for("the alarm cleared", lambda: "Battery discharge" not in
                 [a.get("text") for a in get_json(port, "/api/alarms")["alarms"]], 20)
        load = metric(port, "k417t_dc_load_energy_kwh_total", {"device": "100"})
        dis = metric(port, "k417t_battery_discharge_ah_total", {"device": "100"})
        check(load is not None and load > 0, f"load energy counted: {load}")
        check(dis is not None and rec and abs(dis - rec[0]["ah"]) < 0.01,
              f"the discharge counter holds the record's Ah: {dis}")
        wait_for(f"Modbus discharge Ah (212) equal to the metric's {dis}, discrete input 200 clear",
                 lambda: dis is not None and abs(modbus_float(mport, 212) - dis) < 0.001
                 and modbus(mport, 2, 200, 1) == [0], 10)

        # A start the controller refuses: no test runs.
        rounds = get_json(port, "/api/devices")["devices"][0]["rounds"]
        check(rounds < 16, f"the refusing rounds are not over yet: {rounds}")
        code, body = request(port, "/api/devices/100/battery-test", "POST",
                             json.dumps({"action": "start", "request_id": "t-0"}).encode(), HDR)
        answer = json.loads(body) if code == 200 else {}
        check(answer.get("result") == -1 and "return code 4" in answer.get("reason", ""),
              f"a start the controller refuses fails: {code} {body!r}")
        check(get_json(port, "/api/devices/100/battery")["test"]["running"] is False,
              "no test runs after a refused start")

        # A battery test on demand, then a module fault trips it.
        wait_for("the controller takes the test command",
                 lambda: get_json(port, "/api/devices")["devices"][0]["rounds"] >= 17, 30)
        code, body = request(port, "/api/devices/100/battery-test", "POST",
                             json.dumps({"action": "start", "request_id": "t-1"}).encode(), HDR)
        answer = json.loads(body) if code == 200 else {}
        check(answer.get("result") == 0, f"the test starts: {code} {body!r}")
        wait_for("the test's discharge", lambda: get_json(port, "/api/devices/100/battery")
                 ["discharging"]["cause"] == "test", 30)
        check((metric(port, "k417t_battery_test_running", {"device": "100"}) or 0) == 1,
              "k417t_battery_test_running 1")
        tested = wait_for("the test ended", lambda: [d for d in get_json(port, "/api/discharges")
                                                     ["discharges"] if d["cause"] == "test" and
                                                     d["ah"] > 0 and d["end"] is not None], 60)
        if tested:
            check(tested[0]["result"].startswith("aborted: ") and "refused" not in tested[0]["result"],
                  f"the interlock tripped: {tested[0]}")
        audit = (get_json(port, "/api/audit", HDR) or {}).get("audit", [])
        rows = [(r["via"], r["code"], r["result"], r["reason"]) for r in audit]
        starts = [r for r in rows if r[1] == 104]
        check([r[2] for r in starts] == [4, 0], f"both starts audited with the plant's answer: {rows}")
        stops = [r for r in rows if r[1] == 100 and "battery test" in r[3]]
        check(len(stops) == 2 and stops[-1][0] == "battery test",
              f"the stop after the refused start and the interlock's own stop audited: {rows}")
    finally:
        p.terminate()
        check(p.wait(timeout=20) == 0, "runner exits 0 on SIGTERM")
    r = subprocess.run([RUNNER, "history", "--discharges", "--db", db, "--json"],
                       capture_output=True, text=True)
    rows = [json.loads(l) for l in r.stdout.splitlines() if l.strip()]
    for d in rows:
        print("discharge record:", json.dumps(d, sort_keys=True), flush=True)
    # The refused start is kept too: a test record of 0 Ah, aborted.
    check(r.returncode == 0 and sorted(d["cause"] for d in rows) == ["mains loss", "test", "test"],
          f"history --discharges: {r.stdout!r} {r.stderr!r}")
    r = subprocess.run([RUNNER, "history", "--discharges", "--db", db, "--device", "100", "--limit", "1"],
                       capture_output=True, text=True)
    lines = r.stdout.splitlines()
    check(r.returncode == 0 and len(lines) == 2 and lines[0].split()[:5] == ["id", "device", "start", "end", "cause"]
          and " test " in lines[1], f"history --discharges table, newest first: {r.stdout!r}")
    r = subprocess.run([RUNNER, "history", "--discharges", "--db", db, "--device", "7"],
                       capture_output=True, text=True)
    check(r.returncode == 0 and len(r.stdout.splitlines()) == 1, f"another device has none: {r.stdout!r}")
    r = subprocess.run([RUNNER, "history", "--discharges", "--db", db, "--limit", "x"],
                       capture_output=True, text=True)
    check(r.returncode == 2 and "--limit" in r.stderr, f"a bad option: {r.returncode} {r.stderr!r}")
    commands = [l for l in open(log).read().splitlines() if l.startswith("control: ")]
    check(any("battery test" in l and "code 100" in l for l in commands),
          f"the stop command in the log: {commands}")


with tempfile.TemporaryDirectory(dir=WORK) as work:
    run(work)
if FAILS:
    print(f"{len(FAILS)} checks failed")
    sys.exit(1)
print("all battery checks passed")
