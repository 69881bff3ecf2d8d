#!/usr/bin/env python3
"""Figures of the SNMP sub-agent: a full walk of the K417T subtree over
SNMPv3 for 1 and 32 devices, the delay from a round's alarm (the runner's
--json line) to its notification at snmptrapd, and the resident memory the
sub-agent adds. Starts Debian's snmpd and snmptrapd on free 127.0.0.1 ports
in a temporary folder, and the runner with the built-in simulator.

    bench/snmp_figures.py BUILD_DIR   (e.g. build)
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from benchutil import free_port, stop_all, rss_kb, wait_for

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIBS = [os.path.join(ROOT, "tests/snmp/mibs"), os.path.join(ROOT, "host/src/snmp")]


def site(devices, socket_path):
    out = {"devices": [], "snmp": {"agentx": "agentx:" + socket_path}}
    for k in range(devices):
        base = 1000 * (k + 1)
        out["devices"].append({
            "name": "power-%d" % (k + 1), "data_id": base,
            "setting": {"port": "/dev/ttyBENCH%d" % k, "address": 1, "timeout_ms": 1000,
                        "acSetting": [{"data_id": base + 11}],
                        "dcSetting": [{"data_id": base + 21}, {"data_id": base + 22}],
                        "rcSetting": {}}})
    return out


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    runner = os.path.abspath(os.path.join(build, "k417t-run"))
    tmp = tempfile.mkdtemp(prefix="k417t-snmpfig-")
    procs = []
    try:
        port, trap_port = free_port(udp=True), free_port(udp=True)
        sock = os.path.join(tmp, "agentx")
        with open(os.path.join(tmp, "snmpd.conf"), "w") as f:
            f.write("master agentx\nagentXSocket %s\nagentXPerms 0600 0700\n"
                    "createUser noc SHA \"noc-auth-pass\" AES \"noc-priv-pass\"\n"
                    "view k417t included .1.3.6.1.4.1.32473\nrouser noc priv -V k417t\n"
                    "trap2sink 127.0.0.1:%d public\n" % (sock, trap_port))
        with open(os.path.join(tmp, "snmptrapd.conf"), "w") as f:
            f.write("disableAuthorization yes\n")
        traps = os.path.join(tmp, "traps.log")
        procs.append(subprocess.Popen(
            ["/usr/sbin/snmpd", "-f", "-C", "-c", os.path.join(tmp, "snmpd.conf"), "-Lf",
             os.path.join(tmp, "snmpd.log"), "--persistentDir=" + os.path.join(tmp, "persist"),
             "udp:127.0.0.1:%d" % port]))
        procs.append(subprocess.Popen(
            ["/usr/sbin/snmptrapd", "-f", "-C", "-c", os.path.join(tmp, "snmptrapd.conf"), "-On",
             "-Lf", traps, "udp:127.0.0.1:%d" % trap_port]))
        assert wait_for(lambda: os.path.exists(sock), 10), "snmpd did not start"

        def walk():
            t0 = time.time()
            out = subprocess.run(
                ["snmpwalk", "-v3", "-l", "authPriv", "-u", "noc", "-a", "SHA", "-A", "noc-auth-pass",
                 "-x", "AES", "-X", "noc-priv-pass", "-t", "5", "-r", "1", "-M", ":".join(MIBS),
                 "-m", "K417T-MIB", "-OQs", "127.0.0.1:%d" % port, "K417T-MIB::k417tMIB"],
                capture_output=True, text=True).stdout
            return time.time() - t0, out.count("\n")

        scenario = json.load(open(os.path.join(ROOT, "examples/scenario.json")))
        for devices in (1, 32):
            path = os.path.join(tmp, "site%d.json" % devices)
            json.dump(site(devices, sock), open(path, "w"))
            scen = os.path.join(tmp, "scen.json")
            json.dump(scenario, open(scen, "w"))
            r = subprocess.Popen([runner, "--site", path, "--simulate", scen, "--json", "--db",
                                  os.path.join(tmp, "h%d.db" % devices), "--log",
                                  os.path.join(tmp, "run%d.log" % devices)],
                                 stdout=subprocess.DEVNULL)
            ok = wait_for(lambda: walk()[1] > 100 * devices, 60)
            times = sorted(walk()[0] for _ in range(5))
            lines = walk()[1]
            print("walk of %2d device(s): %d values, median %.0f ms (min %.0f, max %.0f)%s" % (
                devices, lines, 1000 * times[2], 1000 * times[0], 1000 * times[-1],
                "" if ok else " (not every device answered)"))
            r.send_signal(signal.SIGTERM)
            r.wait(30)

        # Alarm to notification: the example's timeline raises an AC alarm after
        # its first rounds; the runner prints the round with the event, and
        # snmptrapd logs the notification.
        open(traps, "w").close()
        path = os.path.join(tmp, "site1.json")
        r = subprocess.Popen([runner, "--site", path, "--simulate", os.path.join(tmp, "scen.json"),
                              "--json", "--quiet", "--db", os.path.join(tmp, "hd.db"), "--log",
                              os.path.join(tmp, "rund.log")], stdout=subprocess.PIPE, text=True)
        raised_at = None
        for line in r.stdout:
            v = json.loads(line)
            if v.get("kind") == "alarm" and v.get("state") == "raised":
                raised_at = time.time()
                break
        got = wait_for(lambda: ".1.3.6.1.4.1.32473.0.1" in open(traps).read(), 10)
        if raised_at and got:
            print("alarm to notification at snmptrapd: %.0f ms (the runner's output line to the "
                  "trap in snmptrapd's log, polled every 5 ms)" % (1000 * (time.time() - raised_at)))
        with_snmp = rss_kb(r.pid)
        r.send_signal(signal.SIGTERM)
        r.wait(30)
        cfg = json.load(open(path))
        del cfg["snmp"]
        plain = os.path.join(tmp, "plain.json")
        json.dump(cfg, open(plain, "w"))
        r = subprocess.Popen([runner, "--site", plain, "--simulate", os.path.join(tmp, "scen.json"),
                              "--quiet", "--db", os.path.join(tmp, "hp.db"), "--log",
                              os.path.join(tmp, "runp.log")], stdout=subprocess.DEVNULL)
        time.sleep(8)
        without = rss_kb(r.pid)
        r.send_signal(signal.SIGTERM)
        r.wait(30)
        print("resident memory, 1 device: %d KiB with the sub-agent, %d KiB without (+%d KiB)" % (
            with_snmp, without, with_snmp - without))
    finally:
        stop_all(procs, 10)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
