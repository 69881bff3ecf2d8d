#!/usr/bin/env python3
"""The example Alertmanager configuration against the shipped rules.

amtool accepts the configuration, and every alert the rules can raise is
routed where the configuration's comment says: critical and major to the
pager, the rest to mail; an alert whose severity no route expects, or a rule
without a severity, fails.

usage: alert_routes.py AMTOOL RULES ALERTMANAGER_YML"""
import subprocess
import sys

import yaml

AMTOOL, RULES, CONFIG = sys.argv[1:4]
PAGER = {"critical", "major"}
SEVERITIES = PAGER | {"minor", "warning"}
fails = []


def amtool(*args):
    return subprocess.run([AMTOOL, *args], capture_output=True, text=True)


r = amtool("check-config", CONFIG)
if r.returncode != 0:
    fails.append(f"amtool check-config: {r.stdout}{r.stderr}")

with open(RULES) as f:
    rules = [rule for g in yaml.safe_load(f)["groups"] for rule in g["rules"] if "alert" in rule]
if len(rules) < 10:
    fails.append(f"only {len(rules)} alerts in {RULES}")
for rule in rules:
    severity = rule.get("labels", {}).get("severity")
    if severity not in SEVERITIES:
        fails.append(f"{rule['alert']}: severity {severity!r} is none of {sorted(SEVERITIES)}")
        continue
    want = "noc-pager" if severity in PAGER else "noc-mail"
    r = amtool("config", "routes", "test", f"--config.file={CONFIG}", f"--verify.receivers={want}",
               f"alertname={rule['alert']}", f"severity={severity}", "instance=gw1:8080", "device=100")
    print(f"{rule['alert']} ({severity}) -> {r.stdout.strip()}", flush=True)
    if r.returncode != 0:
        fails.append(f"{rule['alert']} ({severity}) goes to {r.stdout.strip()!r}, not {want}")

for f in fails:
    print("FAIL:", f)
sys.exit(1 if fails else 0)
