#!/usr/bin/env python3
"""Figures of the alarm board (not a test): what the controller's transitions
become on every front end. Starts a mosquitto broker, Debian's snmpd and
snmptrapd on free 127.0.0.1 ports in a temporary folder, and the runner on
the built-in simulator with HTTP, MQTT and SNMP, for three scenarios:

  chatter   a DC voltage alarm raised and cleared every other round
            (examples/scenarios/chatter.json), for CHATTER_S seconds
  mains     one AC input losing its three phases (examples/scenario.json)
  lost      three alarms standing, then the controller stops answering
            (examples/scenarios/lost_with_alarms.json), for LOST_S seconds

and, on the lost scenario's board, an acknowledgement from the API and the
time until MQTT and SNMP show it.

usage: bench/alarm_figures.py [BUILD_DIR] [CHATTER_S] [LOST_S]"""
import base64
import json
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

from benchutil import free_port, stop_all, wait_for

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
CHATTER_S = int(sys.argv[2]) if len(sys.argv) > 2 else 120
LOST_S = int(sys.argv[3]) if len(sys.argv) > 3 else 60
MIBS = [os.path.join(ROOT, "tests/snmp/mibs"), os.path.join(ROOT, "host/src/snmp")]
PASSWORD = "bench-operator-pass"


class Sub:
    """mosquitto_sub -v on every k417t topic, lines timestamped."""

    def __init__(self, port):
        self.lines = []
        self.p = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-v",
                                   "-t", "k417t/#", "-q", "1"], stdout=subprocess.PIPE, text=True)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.p.stdout:
            self.lines.append((time.time(), line.rstrip("\n")))

    def topic(self, name):
        out = []
        for t, line in list(self.lines):
            top, _, payload = line.partition(" ")
            if top == name:
                out.append((t, payload))
        return out


def http(port, path, body=None):
    req = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path))
    req.add_header("Authorization",
                   "Basic " + base64.b64encode(("bench:" + PASSWORD).encode()).decode())
    if body is not None:
        req.data = json.dumps(body).encode()
        req.add_header("Content-Type", "application/json")
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def metric(text, name):
    total = 0.0
    found = False
    for line in text.splitlines():
        if line.startswith(name + " ") or line.startswith(name + "{"):
            total += float(line.rsplit(" ", 1)[1])
            found = True
    return total if found else None


class Rig:
    def __init__(self, tmp):
        self.tmp = tmp
        self.procs = []
        self.mqtt_port = free_port()
        self.snmp_port, self.trap_port = free_port(udp=True), free_port(udp=True)
        self.sock = os.path.join(tmp, "agentx")
        with open(os.path.join(tmp, "mosquitto.conf"), "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\n" % self.mqtt_port)
        self.procs.append(subprocess.Popen(["mosquitto", "-c", os.path.join(tmp, "mosquitto.conf")],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        with open(os.path.join(tmp, "snmpd.conf"), "w") as f:
            f.write("master agentx\nagentXSocket %s\nagentXPerms 0600 0700\n"
                    "rocommunity public 127.0.0.1\n"
                    "trap2sink 127.0.0.1:%d public\n" % (self.sock, self.trap_port))
        with open(os.path.join(tmp, "snmptrapd.conf"), "w") as f:
            f.write("disableAuthorization yes\n")
        self.traps = os.path.join(tmp, "traps.log")
        self.procs.append(subprocess.Popen(
            ["/usr/sbin/snmpd", "-f", "-C", "-c", os.path.join(tmp, "snmpd.conf"), "-Lf",
             os.path.join(tmp, "snmpd.log"), "--persistentDir=" + os.path.join(tmp, "persist"),
             "udp:127.0.0.1:%d" % self.snmp_port]))
        self.procs.append(subprocess.Popen(
            ["/usr/sbin/snmptrapd", "-f", "-C", "-c", os.path.join(tmp, "snmptrapd.conf"), "-On",
             "-Lf", self.traps, "udp:127.0.0.1:%d" % self.trap_port]))
        assert wait_for(lambda: os.path.exists(self.sock), 10), "snmpd did not start"
        self.users = os.path.join(tmp, "users")
        subprocess.run([os.path.join(BUILD, "k417t-run"), "user", "add", "bench", "--role",
                        "operator", "--users", self.users], input=PASSWORD + "\n" + PASSWORD + "\n",
                       text=True, check=True, capture_output=True)
        self.runner = None

    def start(self, name, scenario):
        site = json.load(open(os.path.join(ROOT, "examples/site.json")))
        site["snmp"] = {"agentx": "agentx:" + self.sock}
        path = os.path.join(self.tmp, name + "-site.json")
        json.dump(site, open(path, "w"))
        open(self.traps, "w").close()
        self.http_port = free_port()
        self.db = os.path.join(self.tmp, name + ".db")
        self.log = os.path.join(self.tmp, name + ".log")
        self.sub = Sub(self.mqtt_port)
        time.sleep(0.5)
        self.runner = subprocess.Popen(
            [os.path.join(BUILD, "k417t-run"), "--site", path, "--simulate", scenario, "--quiet",
             "--db", self.db, "--log", self.log, "--http", "127.0.0.1:%d" % self.http_port,
             "--http-users", self.users, "--mqtt", "mqtt://127.0.0.1:%d" % self.mqtt_port,
             "--mqtt-client-id", "bench"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.started = time.time()

    def stop(self):
        stop_all([self.runner], 20)
        self.sub.p.terminate()

    def history_events(self):
        con = sqlite3.connect(self.db)
        try:
            return con.execute("SELECT count(*), sum(raised) FROM alarm_event").fetchone()
        except sqlite3.Error:
            return con.execute("SELECT count(*), 0 FROM alarm_event").fetchone()
        finally:
            con.close()

    def notices(self, kinds):
        n = 0
        for line in open(self.log, errors="replace"):
            m = re.match(r".*alarm notice: (\w+) ", line)
            if m and m.group(1) in kinds:
                n += 1
        return n

    def mqtt_notices(self, kinds):
        n = 0
        for _, p in self.sub.topic("k417t/power-1/notices"):
            try:
                n += json.loads(p).get("kind") in kinds
            except ValueError:
                pass
        return n

    def traps_count(self):
        text = open(self.traps, errors="replace").read()
        return text.count("SNMPv2-MIB::snmpTrapOID.0") + text.count(".1.3.6.1.6.3.1.1.4.1.0")

    def walk(self, column):
        return subprocess.run(["snmpwalk", "-v2c", "-c", "public", "-M", ":".join(MIBS), "-m",
                               "K417T-MIB", "-OQs", "127.0.0.1:%d" % self.snmp_port, column],
                              capture_output=True, text=True).stdout


def chatter(rig):
    rig.start("chatter", os.path.join(ROOT, "examples/scenarios/chatter.json"))
    time.sleep(CHATTER_S)
    elapsed = time.time() - rig.started
    status, metrics = http(rig.http_port, "/metrics")
    events, raised = rig.history_events()
    per_h = 3600.0 / elapsed
    print("chatter, %.0f s: history %d transitions (%d raised, %.0f an hour)" % (
        elapsed, events, raised or 0, events * per_h))
    print("  annunciated (raised + chattering): log %d, MQTT notices %d, /metrics %s; SNMP traps "
          "of every kind (raise, clear, chattering) %d"
          % (rig.notices({"raised", "chattering"}), rig.mqtt_notices({"raised", "chattering"}),
             metric(metrics, "k417t_alarm_annunciations_total"), rig.traps_count()))
    print("  MQTT: %d messages on the events topic (every transition), %d on the retained alarms "
          "topic" % (len(rig.sub.topic("k417t/power-1/events")),
                     len(rig.sub.topic("k417t/power-1/alarms"))))
    _, board = http(rig.http_port, "/api/alarm-board")
    try:
        for a in json.loads(board)["alarms"]:
            print("  board: %s %s (%s, %s)" % (a["id"], a["state"], a.get("name_en"),
                                              a.get("place_en")))
    except (ValueError, KeyError):
        print("  board: " + board[:200])
    rig.stop()


def mains(rig):
    rig.start("mains", os.path.join(ROOT, "examples/scenario.json"))
    time.sleep(20)
    events, raised = rig.history_events()
    print("mains input lost (3 phases) and a fuse: history %d raised; annunciated raised: log %d, "
          "MQTT %d; SNMP traps of every kind %d" % (raised or 0, rig.notices({"raised"}),
                                      rig.mqtt_notices({"raised"}), rig.traps_count()))
    for line in open(rig.log, errors="replace"):
        if "alarm notice: raised" in line:
            print("  " + line.strip())
    rig.stop()


def lost(rig):
    rig.start("lost", os.path.join(ROOT, "examples/scenarios/lost_with_alarms.json"))
    time.sleep(LOST_S)
    print("controller lost with 3 alarms standing, after %.0f s:" % (time.time() - rig.started))
    _, board = http(rig.http_port, "/api/alarm-board")
    try:
        doc = json.loads(board)
        for a in doc["alarms"]:
            print("  API: %-14s %-22s annunciated=%s" % (a["id"], a["state"], a["annunciated"]))
        print("  API kpis: %s" % json.dumps(doc.get("kpis")))
    except (ValueError, KeyError):
        print("  API: " + board[:200])
    _, metrics = http(rig.http_port, "/metrics")
    for line in metrics.splitlines():
        if line.startswith("k417t_alarm_state{"):
            print("  /metrics: " + line)
    retained = rig.sub.topic("k417t/power-1/alarms")
    if retained:
        doc = json.loads(retained[-1][1])
        for k, v in sorted(doc.get("listed", doc.get("active", {})).items()):
            print("  MQTT: %-14s %s" % (k, v.get("state")))
    for line in rig.walk("K417T-MIB::k417tAlarmState").splitlines():
        print("  SNMP: " + line)
    for line in open(rig.log, errors="replace"):
        if "alarm notice" in line:
            print("  log: " + line.strip())

    # An acknowledgement from the API, seen on MQTT and SNMP.
    try:
        target = [a for a in json.loads(board)["alarms"] if a["key"] == "comm"][0]
    except (ValueError, KeyError, IndexError):
        target = None
    if target:
        t0 = time.time()
        status, answer = http(rig.http_port, "/api/alarm-action",
                              {"device": target["device"], "alarm": target["id"],
                               "action": "acknowledge", "comment": "bench"})
        t_api = time.time() - t0

        def mqtt_acked():
            for t, p in rig.sub.topic("k417t/power-1/alarms"):
                if t >= t0 and '"active_acknowledged"' in p:
                    return t
            return None

        def snmp_acked():
            return "activeAcknowledged" in rig.walk("K417T-MIB::k417tAlarmState")

        wait_for(lambda: mqtt_acked() is not None, 10, 0.01)
        t_mqtt = (mqtt_acked() or float("nan")) - t0
        wait_for(snmp_acked, 10, 0.05)
        t_snmp = time.time() - t0
        print("acknowledge from the API: answered %d in %.0f ms (%s); MQTT retained alarms shows it "
              "after %.0f ms; SNMP k417tAlarmState after %.0f ms (walk polled)" % (
                  status, 1000 * t_api, answer.strip()[:60], 1000 * t_mqtt, 1000 * t_snmp))
    rig.stop()


def main():
    tmp = tempfile.mkdtemp(prefix="k417t-alarmfig-")
    rig = Rig(tmp)
    try:
        for part in (mains, lost, chatter):
            part(rig)
    finally:
        if rig.runner:
            stop_all([rig.runner], 10)
        stop_all(rig.procs, 10)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
