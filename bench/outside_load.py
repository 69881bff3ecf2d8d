#!/usr/bin/env python3
"""What outside load does to polling (not a test): one runner polls a paced
simulator (9600 baud) with the page and the MQTT export on; first quiet, then
a flood of 10,000 control requests on the broker in 10 s, then 100 slow HTTP
clients that send their request a byte a second and reconnect. Prints the
rounds' duration over their wire limit in each phase, the commands the
controller really got, the results sent back, and the API's latency under
the slow clients. Starts its own mosquitto on 127.0.0.1.

usage: bench/outside_load.py [BUILD_DIR]"""
import http.client
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from benchutil import free_port, stop_all, wire_ratio

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")


def mqtt_packet(kind, body):
    n, length = len(body), b""
    while True:
        b, n = n % 128, n // 128
        length += bytes([b | (0x80 if n else 0)])
        if not n:
            return bytes([kind]) + length + body


def mqtt_str(s):
    b = s.encode()
    return len(b).to_bytes(2, "big") + b


class Rounds:
    """Reads the runner's --json lines: round ratios and control results."""

    def __init__(self, proc):
        self.ratios, self.lock = [], threading.Lock()
        threading.Thread(target=self.read, args=(proc,), daemon=True).start()

    def read(self, proc):
        for line in proc.stdout:
            try:
                v = json.loads(line)
            except ValueError:
                continue
            if v.get("kind") == "round":
                with self.lock:
                    self.ratios.append((time.time(), wire_ratio(v)))

    def between(self, a, b):
        with self.lock:
            return [r for t, r in self.ratios if a <= t <= b]


def summary(ratios):
    if not ratios:
        return "no round"
    return "%d rounds, ratio median %.3f, worst %.3f" % (len(ratios), statistics.median(ratios), max(ratios))


def main():
    tmp = tempfile.mkdtemp(prefix="k417t-outside-")
    procs = []
    try:
        mport, hport = free_port(), free_port()
        open(os.path.join(tmp, "m.conf"), "w").write(
            "listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % mport)
        procs.append(subprocess.Popen(["mosquitto", "-c", os.path.join(tmp, "m.conf")],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        time.sleep(0.5)
        site = json.load(open(os.path.join(ROOT, "examples/site.json")))
        site["mqtt"] = {"url": "mqtt://127.0.0.1:%d" % mport, "control": {"power-1": [106]}}
        json.dump(site, open(os.path.join(tmp, "site.json"), "w"))
        scen = json.load(open(os.path.join(ROOT, "examples/scenario.json")))
        scen["baud"] = 9600
        json.dump(scen, open(os.path.join(tmp, "scen.json"), "w"))
        runner = subprocess.Popen(
            [os.path.join(BUILD, "k417t-run"), "--site", os.path.join(tmp, "site.json"), "--simulate",
             os.path.join(tmp, "scen.json"), "--pace", "--json", "--db", os.path.join(tmp, "h.db"),
             "--log", os.path.join(tmp, "log"), "--http", "127.0.0.1:%d" % hport,
             "--mqtt-client-id", "bench"], stdout=subprocess.PIPE, text=True)
        procs.append(runner)
        rounds = Rounds(runner)
        time.sleep(12)
        t0 = time.time()
        time.sleep(20)
        quiet = rounds.between(t0, time.time())
        print("quiet:      " + summary(quiet))

        # 10,000 control requests in 10 s, QoS 0, from one client.
        s = socket.create_connection(("127.0.0.1", mport))
        s.sendall(mqtt_packet(0x10, mqtt_str("MQTT") + bytes([4, 2, 0, 60]) + mqtt_str("flood")))
        s.recv(4)
        results = []

        def listen():
            r = socket.create_connection(("127.0.0.1", mport))
            r.sendall(mqtt_packet(0x10, mqtt_str("MQTT") + bytes([4, 2, 0, 60]) + mqtt_str("watch")))
            r.recv(4)
            r.sendall(mqtt_packet(0x82, (1).to_bytes(2, "big") + mqtt_str("k417t/power-1/control/result") + b"\x00"))
            r.settimeout(1)
            data = b""
            end = time.time() + 40
            while time.time() < end:
                try:
                    chunk = r.recv(65536)
                except socket.timeout:
                    continue
                if not chunk:
                    break
                data += chunk
            results.append((data.count(b"k417t/power-1/control/result"), data.count(b'"result":0')))

        watcher = threading.Thread(target=listen)
        watcher.start()
        time.sleep(1)
        t1 = time.time()
        for k in range(10000):
            body = mqtt_str("k417t/power-1/control/set") + json.dumps({"code": 106, "byte": 3, "id": k}).encode()
            s.sendall(mqtt_packet(0x30, body))
            if k % 100 == 99:
                time.sleep(max(0.0, t1 + (k + 1) / 1000.0 - time.time()))
        t2 = time.time()
        time.sleep(10)
        flood = rounds.between(t1, time.time())
        s.close()
        print("flood:      %s (10,000 requests in %.1f s)" % (summary(flood), t2 - t1))
        with rounds.lock:
            print("            round ends, seconds from the flood's start: " +
                  " ".join("%.1f" % (t - t1) for t, _ in rounds.ratios if t >= t1 - 5))
        log = open(os.path.join(tmp, "log"), errors="replace").read()
        watcher.join()
        print("            control results on the broker in 40 s: %d, of them executed by the "
              "controller (result 0): %d" % results[0])

        # 100 slow clients, a byte a second, reconnecting when dropped.
        stop = threading.Event()

        def slow():
            while not stop.is_set():
                try:
                    c = socket.create_connection(("127.0.0.1", hport), timeout=5)
                    for ch in b"GET /api/devices HTTP/1.1\r\nHost: x\r\n":
                        if stop.is_set():
                            break
                        c.send(bytes([ch]))
                        time.sleep(1)
                    c.close()
                except OSError:
                    time.sleep(0.2)

        threads = [threading.Thread(target=slow, daemon=True) for _ in range(100)]
        for th in threads:
            th.start()
        time.sleep(3)
        t3 = time.time()
        lat = []
        while time.time() < t3 + 30:
            a = time.time()
            try:
                c = http.client.HTTPConnection("127.0.0.1", hport, timeout=10)
                c.request("GET", "/api/devices")
                c.getresponse().read()
                lat.append(time.time() - a)
            except OSError:
                lat.append(float("inf"))
            time.sleep(0.2)
        slow_rounds = rounds.between(t3, time.time())
        stop.set()
        ok = [x for x in lat if x != float("inf")]
        print("slowloris:  " + summary(slow_rounds))
        print("            API under 100 slow clients: %d requests, %d failed, median %.0f ms, worst %.0f ms" % (
            len(lat), len(lat) - len(ok), 1000 * statistics.median(ok) if ok else -1,
            1000 * max(ok) if ok else -1))
        print("            log lines about control: %d" % sum(1 for l in log.splitlines() if "control" in l))
    finally:
        stop_all(procs, 20)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
