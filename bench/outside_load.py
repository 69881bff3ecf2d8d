#!/usr/bin/env python3
"""What outside load does to polling (not a test): one runner polls a paced
simulator (9600 baud) with the page and the MQTT export on; first quiet, then
a flood of 10,000 control requests on the broker in 10 s, then 100 slow HTTP
clients that send their request a byte a second and reconnect, then 512 TCP
connections held from 127.0.0.10..127.0.0.41 (16 each) that drip a byte a
second and reconnect when dropped. A second runner, with a users file and
--http-users-required, is quiet and then takes 1,000 wrong logins a minute
for 60 s (Basic on /api/devices and POST /api/login) from 127.0.0.2..127.0.0.9
while one client on 127.0.0.1 reads with the right password. Prints the
rounds' duration over their wire limit in each phase, the commands the
controller really got, the results sent back, the API's latency under the
slow and the held clients, the answers by status and the runner's open
descriptors. Starts its own mosquitto on 127.0.0.1.

usage: bench/outside_load.py [BUILD_DIR]"""
import base64
import errno
import http.client
import json
import os
import selectors
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


def runner_cmd(tmp, site, db, log, hport):
    return [os.path.join(BUILD, "k417t-run"), "--site", site, "--simulate",
            os.path.join(tmp, "scen.json"), "--pace", "--json", "--db", db, "--log", log,
            "--http", "127.0.0.1:%d" % hport]


def fds(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return -1


def ms(values):
    """median and worst of the finite values, in ms."""
    ok = [x for x in values if x != float("inf")]
    if not ok:
        return "no answer"
    return "median %.0f ms, worst %.0f ms" % (1000 * statistics.median(ok), 1000 * max(ok))


def get(port, path, headers=None, source="127.0.0.1", method="GET", body=None, timeout=10):
    """One request on a new connection from `source`: (status or the error's
    name, seconds)."""
    a = time.time()
    try:
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout, source_address=(source, 0))
        c.request(method, path, body=body, headers=headers or {})
        r = c.getresponse()
        r.read()
        c.close()
        return r.status, time.time() - a
    except (OSError, http.client.HTTPException) as e:
        return type(e).__name__, float("inf")


def count_dict(d):
    return ", ".join("%s: %d" % kv for kv in sorted(d.items()))


def count(items):
    out = {}
    for k in items:
        out[k] = out.get(k, 0) + 1
    return ", ".join("%s: %d" % (k, n) for k, n in sorted(out.items(), key=lambda kv: str(kv[0])))


def held_connections(port, pid, seconds, n=512, sources=32):
    """n TCP connections from 127.0.0.10.. (n/sources each), each sending a
    request head a byte a second and opened again 100 ms after it is dropped;
    meanwhile one client on 127.0.0.1 reads /api/devices every 0.2 s and the
    runner's open descriptors are counted every 0.5 s."""
    head = b"GET /api/devices HTTP/1.1\r\nHost: 127.0.0.1\r\n"
    per = n // sources
    slots = [{"src": "127.0.0.%d" % (10 + i // per), "sock": None, "pos": 0, "next": 0.0,
              "reopen": 0.0, "answer": b""} for i in range(n)]
    sel = selectors.DefaultSelector()
    stop = threading.Event()
    stats = {"opens": 0, "connect_errors": 0, "ends": {}}

    def end(slot, how):
        stats["ends"][how] = stats["ends"].get(how, 0) + 1
        try:
            sel.unregister(slot["sock"])
        except (KeyError, ValueError):
            pass
        slot["sock"].close()
        slot["sock"], slot["reopen"], slot["answer"] = None, time.time() + 0.1, b""

    def drive():
        while not stop.is_set():
            now = time.time()
            for slot in slots:
                if slot["sock"] is None and now >= slot["reopen"]:
                    sk = socket.socket()
                    sk.setblocking(False)
                    try:
                        sk.bind((slot["src"], 0))
                        err = sk.connect_ex(("127.0.0.1", port))
                    except OSError as e:
                        err = e.errno
                    if err not in (0, errno.EINPROGRESS):
                        sk.close()
                        stats["connect_errors"] += 1
                        slot["reopen"] = now + 0.5
                        continue
                    stats["opens"] += 1
                    slot["sock"], slot["pos"], slot["next"] = sk, 0, now
                    sel.register(sk, selectors.EVENT_READ, slot)
                elif slot["sock"] is not None and now >= slot["next"]:
                    try:
                        slot["sock"].send(head[slot["pos"] % len(head):][:1])
                        slot["pos"] += 1
                        slot["next"] = now + 1
                    except (BlockingIOError, InterruptedError):
                        slot["next"] = now + 0.1  # still connecting
                    except OSError:
                        end(slot, "send failed")
            for key, _ in sel.select(0.05):
                slot = key.data
                try:
                    data = slot["sock"].recv(4096)
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    end(slot, "reset" if not slot["answer"]
                        else slot["answer"].split(b"\r\n")[0][:12].decode(errors="replace"))
                    continue
                if data:
                    slot["answer"] += data[:64]
                    continue
                end(slot, "closed unanswered" if not slot["answer"]
                    else slot["answer"].split(b"\r\n")[0][:12].decode(errors="replace"))
        for slot in slots:
            if slot["sock"] is not None:
                slot["sock"].close()

    t = threading.Thread(target=drive, daemon=True)
    t.start()
    time.sleep(3)  # all open, the first drops come back
    t0 = time.time()
    lat, statuses, descriptors, held = [], [], [], []
    last_fd = 0.0
    while time.time() < t0 + seconds:
        if time.time() - last_fd >= 0.5:
            descriptors.append(fds(pid))
            held.append(sum(1 for s in slots if s["sock"] is not None))
            last_fd = time.time()
        status, dt = get(port, "/api/devices")
        statuses.append(status)
        lat.append(dt if status == 200 else float("inf"))
        time.sleep(0.2)
    t1 = time.time()
    stop.set()
    t.join()
    return t0, t1, lat, statuses, descriptors, held, stats


def wrong_logins(port, user, password, seconds=60, per_minute=1000, sources=8):
    """per_minute wrong logins spread over 127.0.0.2..: Basic with a wrong
    password on /api/devices and POST /api/login in turn, on an even clock;
    meanwhile one client on 127.0.0.1 reads /api/devices with the right
    password every 0.5 s."""
    interval = 60.0 * sources / per_minute
    t0 = time.time() + 0.5
    end = t0 + seconds
    answers, lock = [], threading.Lock()

    def attacker(k):
        src = "127.0.0.%d" % (2 + k)
        i = 0
        while True:
            due = t0 + k * interval / sources + i * interval
            if due >= end:
                return
            time.sleep(max(0.0, due - time.time()))
            pw = "wrong-%d-%d" % (k, i)
            if i % 2 == 0:
                auth = base64.b64encode(("%s:%s" % (user, pw)).encode()).decode()
                status, dt = get(port, "/api/devices", {"Authorization": "Basic " + auth}, src)
                what = "basic"
            else:
                status, dt = get(port, "/api/login", {"Content-Type": "application/json"}, src,
                                 "POST", json.dumps({"user": user, "password": pw}))
                what = "login"
            with lock:
                answers.append((what, status, dt))
            i += 1

    threads = [threading.Thread(target=attacker, args=(k,), daemon=True) for k in range(sources)]
    for th in threads:
        th.start()
    good = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
    lat, statuses = [], []
    time.sleep(max(0.0, t0 - time.time()))
    while time.time() < end:
        status, dt = get(port, "/api/devices", {"Authorization": "Basic " + good})
        statuses.append(status)
        lat.append(dt if status == 200 else float("inf"))
        time.sleep(0.5)
    for th in threads:
        th.join()
    return t0, end, answers, lat, statuses


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
            runner_cmd(tmp, os.path.join(tmp, "site.json"), os.path.join(tmp, "h.db"),
                       os.path.join(tmp, "log"), hport) + ["--mqtt-client-id", "bench"],
            stdout=subprocess.PIPE, text=True)
        procs.append(runner)
        rounds = Rounds(runner)
        time.sleep(12)
        t0 = time.time()
        time.sleep(20)
        quiet = rounds.between(t0, time.time())
        print("quiet:      " + summary(quiet))
        quiet_fds = fds(runner.pid)

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

        # 512 connections held from 32 addresses (16 each, the per-address cap).
        time.sleep(3)
        t4, t5, lat, statuses, descriptors, held, st = held_connections(hport, runner.pid, 30)
        print("512 held:   " + summary(rounds.between(t4, t5)))
        print("            API beside them: %d requests (%s), %s" % (len(lat), count(statuses), ms(lat)))
        print("            runner's descriptors: quiet %d, under the load median %d, most %d; "
              "connections open on the clients' side median %d" % (
                  quiet_fds, statistics.median(descriptors), max(descriptors), statistics.median(held)))
        print("            the held connections: %d opened in %.0f s, %d connect errors; ended: %s" % (
            st["opens"], t5 - t4 + 3, st["connect_errors"], count_dict(st["ends"])))
        stop_all([runner], 20)
        procs.remove(runner)

        # A second runner that wants a user for every read: 1,000 wrong logins a minute.
        users = os.path.join(tmp, "users")
        password = "bench-password-1"
        made = subprocess.run([os.path.join(BUILD, "k417t-run"), "user", "add", "bench", "--role", "viewer",
                               "--users", users], input=password + "\n", text=True, capture_output=True)
        if made.returncode != 0:
            raise SystemExit("user add failed: " + made.stderr)
        site2 = json.load(open(os.path.join(ROOT, "examples/site.json")))
        json.dump(site2, open(os.path.join(tmp, "site2.json"), "w"))
        hport2 = free_port()
        log2 = os.path.join(tmp, "log2")
        runner2 = subprocess.Popen(
            runner_cmd(tmp, os.path.join(tmp, "site2.json"), os.path.join(tmp, "h2.db"), log2, hport2) +
            ["--http-users", users, "--http-users-required"], stdout=subprocess.PIPE, text=True)
        procs.append(runner2)
        rounds2 = Rounds(runner2)
        time.sleep(12)
        t6 = time.time()
        time.sleep(20)
        print("quiet (users required, users file mode %o): %s" % (
            os.stat(users).st_mode & 0o777, summary(rounds2.between(t6, time.time()))))
        t7, t8, answers, lat, statuses = wrong_logins(hport2, "bench", password)
        print("wrong logins: " + summary(rounds2.between(t7, t8)))
        for what in ("basic", "login"):
            mine = [a for a in answers if a[0] == what]
            print("            %s: %d sent, answers %s; %s" % (
                "Basic on /api/devices" if what == "basic" else "POST /api/login     ", len(mine),
                count(a[1] for a in mine), ms([a[2] for a in mine])))
        print("            %d wrong logins in %.0f s (%.0f a minute)" % (
            len(answers), t8 - t7, 60 * len(answers) / (t8 - t7)))
        print("            the right password from 127.0.0.1: %d requests (%s), %s" % (
            len(lat), count(statuses), ms(lat)))
        log = open(log2, errors="replace").read().splitlines()
        print("            log lines: %d 'failed credentials too often', %d 'login ... refused', %d in all" % (
            sum(1 for l in log if "failed credentials too often" in l),
            sum(1 for l in log if "http: login of" in l and "refused" in l), len(log)))
    finally:
        stop_all(procs, 20)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
