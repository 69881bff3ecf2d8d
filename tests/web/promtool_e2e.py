#!/usr/bin/env python3
"""/metrics of the built runner polling the simulator, checked by Prometheus'
own linter (`promtool check metrics`, Debian's prometheus package): while
the controller answers, and after it stopped answering, when the device's
state, port, line counters and alarms stay and its readings are gone.

Exits 77 (skipped) when promtool is not installed.

usage: promtool_e2e.py RUNNER EXAMPLES WORKDIR"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

from e2e_checks import FAILS, check, free_port

RUNNER, EXAMPLES, WORK = sys.argv[1], sys.argv[2], sys.argv[3]
PROMTOOL = shutil.which("promtool")


def get(port, path):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=15) as r:
        return r.read().decode()


def device(port):
    return json.loads(get(port, "/api/devices"))["devices"][0]


def until(what, pred, seconds):
    end = time.time() + seconds
    while time.time() < end:
        try:
            if pred():
                return True
        except (OSError, KeyError, IndexError, ValueError):
            pass
        time.sleep(0.2)
    check(False, "timed out waiting for " + what)
    return False


def lint(text, what):
    r = subprocess.run([PROMTOOL, "check", "metrics"], input=text.encode(), capture_output=True)
    out = (r.stdout + r.stderr).decode().strip()
    print(f"promtool check metrics ({what}): exit {r.returncode}{': ' + out if out else ''}", flush=True)
    check(r.returncode == 0, f"promtool accepts /metrics {what}: {out}")


def main():
    if PROMTOOL is None:
        print("SKIP: promtool not found (Debian's prometheus package; scripts/install-deps.sh installs it)")
        return 77
    work = tempfile.mkdtemp(dir=WORK)
    with open(os.path.join(EXAMPLES, "site.json")) as f:
        site = json.load(f)
    # Label values with a quote, markup and a line feed.
    site["devices"][0]["name"] = 'power "1" <b>x</b>\n'
    with open(os.path.join(work, "site.json"), "w") as f:
        json.dump(site, f)
    # The example timeline, then the controller stops answering.
    with open(os.path.join(EXAMPLES, "scenario.json")) as f:
        scen = json.load(f)
    scen["changes"].append({"after_rounds": 14, "set": {"faults": {"drop_every": 1}}})
    with open(os.path.join(work, "scenario.json"), "w") as f:
        json.dump(scen, f)
    port = free_port()
    log = open(os.path.join(work, "runner.log"), "w")
    p = subprocess.Popen([RUNNER, "--site", os.path.join(work, "site.json"),
                          "--simulate", os.path.join(work, "scenario.json"),
                          "--db", os.path.join(work, "h.db"), "--http", f"127.0.0.1:{port}", "--json",
                          # A broker nobody runs: the MQTT outbox owes what is stored.
                          "--mqtt", f"mqtt://127.0.0.1:{free_port()}", "--mqtt-client-id", "promtool-e2e"],
                         stdout=subprocess.DEVNULL, stderr=log)
    try:
        if until("10 rounds", lambda: device(port)["rounds"] >= 10, 30):
            d = device(port)
            text = get(port, "/metrics")
            check(d["answering"] and d["rounds"] < 14, f"scraped while answering: {d}")
            lint(text, "while the controller answers")
            check("\nk417t_dc_voltage_volts{" in text, "readings exported while the controller answers")
            # The timeline's alarms came and went by now: the board lists
            # them, cleared and unacknowledged, and the linter saw them.
            states = [s for f in text_string_to_metric_families(text) for s in f.samples
                      if s.name == "k417t_alarm_state"]
            check(len(states) > 0 and all(s.labels["state"] == "cleared_unacknowledged" for s in states),
                  f"the board's alarms on /metrics: {states}")
            # The shipped alerting rules read families this runner writes
            # (a renamed family would leave a rule silent for ever).
            rules = open(os.path.join(EXAMPLES, "..", "data", "prometheus", "k417t-rules.yml")).read()
            used = sorted(set(re.findall(r"\b(k417t_[a-z0-9_]+)", rules)))
            check(len(used) >= 10, f"the rules name the families they read: {used}")
            for family in used:
                check(f"\n# TYPE {family} " in text, f"{family}, read by the shipped rules, on /metrics")
            for family in ("k417t_alarms_annunciated_10min", "k417t_alarm_flood", "k417t_alarms_unacknowledged",
                           "k417t_device_maintenance", "k417t_alarm_transitions_total"):
                check(f"\n# TYPE {family} " in text, f"{family} on /metrics")
            owed = [s for f in text_string_to_metric_families(text) for s in f.samples
                    if s.name == "k417t_outbox_pending_records" and s.labels.get("sink") == "mqtt"]
            check(len(owed) == 1 and owed[0].value > 0, f"the MQTT outbox owes the records stored: {owed}")
        if until("the controller lost", lambda: device(port)["stale"], 60):
            text = get(port, "/metrics")
            lint(text, "after the controller was lost")
            samples = [s for f in text_string_to_metric_families(text) for s in f.samples]
            names = {s.name for s in samples}
            for kept in ["k417t_up", "k417t_values_stale", "k417t_device_info", "k417t_line_timeouts_total",
                         "k417t_alarm_active", "k417t_round_duration_seconds_count"]:
                check(kept in names, f"{kept} kept while lost")
            check(any(s.name == "k417t_up" and s.value == 0 for s in samples), "k417t_up 0")
            check(any(s.name == "k417t_alarm_active" and s.labels.get("key") == "comm" for s in samples),
                  "the communication alarm exported")
            # Energy totals are counters of what was measured, true while
            # lost; readings are not.
            readings = sorted(n for n in names if n.startswith(("k417t_ac_", "k417t_dc_", "k417t_rectifier_"))
                              and not n.endswith("_kwh_total"))
            check(readings == [], f"no reading exported while lost: {readings}")
            for total in ["k417t_dc_load_energy_kwh_total", "k417t_rectifier_energy_kwh_total"]:
                check(total in names, f"{total} kept while lost")
    finally:
        p.terminate()
        check(p.wait(timeout=20) == 0, "runner exits 0 on SIGTERM")
    if FAILS:
        print(f"{len(FAILS)} failures", flush=True)
        return 1
    print("promtool e2e passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
