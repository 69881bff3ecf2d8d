#!/usr/bin/env python3
"""The example Alertmanager configuration's inhibitions, by Alertmanager
itself: started on loopback (no cluster, a temporary data folder) with the
shipped example, given alerts as the shipped rules raise them, and asked
which it holds back.

- a lost controller holds back its own device's other alerts, not another
  device's, and not the loss itself;
- batteries discharging hold back the "Battery discharge" point's major
  alarm, not another major alarm of the device, and not the autonomy alarm;
- a gateway Prometheus cannot scrape holds back everything of that gateway.

usage: alert_inhibit.py ALERTMANAGER CONFIG"""
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
from e2e_checks import free_port  # noqa: E402

ALERTMANAGER, CONFIG = sys.argv[1:3]


def alert(name, **labels):
    return {"labels": {"alertname": name, "job": "k417t", **labels},
            "annotations": {"summary": name}}


# name -> (alert, held back?)
CASES = {
    "lost 100": (alert("K417TControllerLost", instance="gw1:9100", device="100",
                       severity="critical"), False),
    "dc bus 100": (alert("K417TDcBusUndervoltage", instance="gw1:9100", device="100", unit="21",
                         severity="critical"), True),
    "alarm 100 while lost": (alert("K417TAlarmMinor", instance="gw1:9100", device="100",
                                   code="01002", severity="minor"), True),
    "dc bus 200": (alert("K417TDcBusUndervoltage", instance="gw1:9100", device="200", unit="31",
                         severity="critical"), False),
    "discharging 300": (alert("K417TBatteryDischarging", instance="gw1:9100", device="300",
                              severity="major"), False),
    "battery point 300": (alert("K417TAlarmMajor", instance="gw1:9100", device="300",
                                code="battery_discharge", severity="major"), True),
    "other major 300": (alert("K417TAlarmMajor", instance="gw1:9100", device="300",
                              code="06017", severity="major"), False),
    "autonomy 300": (alert("K417TAlarmCritical", instance="gw1:9100", device="300",
                           code="battery_autonomy_low", severity="critical"), False),
    "battery point 400": (alert("K417TAlarmMajor", instance="gw1:9100", device="400",
                                code="battery_discharge", severity="major"), False),
    "gw2 down": (alert("K417TServiceDown", instance="gw2:9100", severity="critical"), False),
    "gw2 device": (alert("K417TRectifierModuleFault", instance="gw2:9100", device="100",
                         module="2", severity="major"), True),
}


def key(labels):
    return json.dumps({k: v for k, v in labels.items()}, sort_keys=True)


def main(work):
    port = free_port()
    log = open(os.path.join(work, "alertmanager.log"), "w")
    am = subprocess.Popen(
        [ALERTMANAGER, "--config.file=" + CONFIG, "--storage.path=" + os.path.join(work, "data"),
         "--web.listen-address=127.0.0.1:%d" % port, "--cluster.listen-address="],
        stdout=log, stderr=subprocess.STDOUT)
    base = "http://127.0.0.1:%d/api/v2" % port
    try:
        end = time.time() + 30
        while True:
            try:
                urllib.request.urlopen(base + "/status", timeout=2).read()
                break
            except OSError:
                if time.time() > end or am.poll() is not None:
                    print("FAIL: Alertmanager did not start:")
                    print(open(log.name).read()[-2000:])
                    return 1
                time.sleep(0.2)
        body = json.dumps([a for a, _ in CASES.values()]).encode()
        req = urllib.request.Request(base + "/alerts", data=body, method="POST",
                                     headers={"Content-Type": "application/json"})
        urllib.request.urlopen(req, timeout=5).read()
        # Inhibitions are worked out as alerts arrive; ask until every alert
        # is there and the answer holds still.
        want = {key(a["labels"]): (name, held) for name, (a, held) in CASES.items()}
        fails = []
        for _ in range(50):
            got = json.load(urllib.request.urlopen(base + "/alerts", timeout=5))
            seen = {key(a["labels"]): bool(a["status"]["inhibitedBy"]) for a in got}
            fails = []
            for k, (name, held) in want.items():
                if k not in seen:
                    fails.append("%s: not in Alertmanager" % name)
                elif seen[k] != held:
                    fails.append("%s: %s, should be %s" % (
                        name, "held back" if seen[k] else "sent",
                        "held back" if held else "sent"))
            if not fails:
                break
            time.sleep(0.2)
        for f in fails:
            print("FAIL: " + f)
        if not fails:
            print("%d alerts, %d held back as the example says" % (
                len(CASES), sum(held for _, held in CASES.values())))
        return 1 if fails else 0
    finally:
        am.terminate()
        try:
            am.wait(10)
        except subprocess.TimeoutExpired:
            am.kill()


if __name__ == "__main__":
    with tempfile.TemporaryDirectory(prefix="k417t-alertmanager-") as tmp:
        sys.exit(main(tmp))
