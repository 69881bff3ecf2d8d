#!/usr/bin/env python3
"""A fleet's outage (not a test): N gateways lose their broker and their
Prometheus for a while, get them back, and the history of each delivers what
it stored meanwhile. Does everything arrive, in order, and what does waiting
cost the gateways?

It starts one mosquitto (127.0.0.1, a free port), one Prometheus with its
remote-write receiver and an out_of_order_time_window, an observer
(mosquitto_sub -F '%U %t %p' on '#', QoS 1) and N runners (k417t-run), each in
a folder of its own under the build tree (site file, scenario, history,
log): device gwNN on the simulator paced at 9600 baud, its first DC unit
raising and clearing low voltage regularly, alarm events to the broker
(QoS 1, client id gwNN) and remote write with the label site=gwNN. Phases:

  warm-up   --warmup s, links up
  quiet     --quiet s, links up: the runners' CPU and bytes written
  outage    --outage s, broker and Prometheus stopped; a share of the runners
            (--restart-share) is stopped with SIGTERM and started again in it
  drain     both back; until every runner's outbox cursors (table
            outbox_cursor of its history) reach the newest ids its history
            held when the links came back, or --drain-deadline

and prints, per run:

  events    alarm events in the histories, those owed at the outage (past the
            MQTT cursor before it), distinct ids that arrived, lost (in the
            history, never arrived: goal 0), duplicates, out of order
  records   records stored after the broker's stop, replayed on
            <dev>/history (distinct ids), missing
  drain     time from the links' return until each cursor reached its target
            (the cursor is written with the history's commits: up to
            --commit s late) and until the last owed event reached the observer
  broker    peak messages a second at the observer (1-s buckets): all topics,
            and the outbox's own (events and history)
  cost      per runner, CPU seconds (utime + stime) and bytes written
            (/proc/PID/io write_bytes; the folders are on the build tree's
            disk) in the outage against the quiet period of equal length
            (runners not restarted)
  polling   the rounds' duration over their wire limit (from --json), per
            phase: above 1.5 the machine does not keep up with N paced lines
  remote    for a few sites, the widest gap between samples of
            k417t_dc_voltage_volts{unit="21"} (instant query over a range
            vector: nothing interpolated), and the DC unit's records the
            drain waited for that have no sample in Prometheus

The broker keeps a persistence file for one reason: the observer's own
session (clean session off, QoS 1) survives the broker's restart, so what a
gateway sends in the instant between the broker's return and the observer's
reconnection is queued for the observer instead of being counted as lost.
Runners connect with a clean session; nothing of theirs is kept.

--check (the short form ctest runs) exits 1 when an event or a record is
lost, an event arrives out of order or with another time, an outbox does not
drain before the deadline, a checked site's samples do not span the outage
or have a gap wider than the heartbeat plus --gap-slack seconds, or the
outage saw nothing to deliver.

usage: bench/fleet_outage.py [BUILD_DIR] [--gateways N] [--outage S] [--quiet S]
         [--warmup S] [--restart-share F] [--heartbeat S] [--commit S]
         [--alarm-every ROUNDS] [--replay-rate R] [--drain-deadline S]
         [--gap-slack S] [--keep] [--check]"""
import argparse
import json
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

from benchutil import cpu_seconds, free_port, wait_for, wire_ratio

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERIES = "k417t_dc_voltage_volts"
UNIT = 21  # the example site's first DC unit: the one whose alarm comes and goes


def find_program(name, *places):
    for p in places:
        if os.access(p, os.X_OK):
            return p
    return shutil.which(name)


def write_bytes(pid):
    try:
        with open("/proc/%d/io" % pid) as f:
            for line in f:
                if line.startswith("write_bytes:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def terminate(procs, seconds=20):
    """SIGTERM to all at once, then wait; SIGKILL to those still there."""
    for p in procs:
        if p.poll() is None:
            p.terminate()
    end = time.time() + seconds
    for p in procs:
        try:
            p.wait(max(0.1, end - time.time()))
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


class Broker:
    def __init__(self, folder):
        self.dir = folder
        self.port = free_port()
        self.proc = None
        self.conf = os.path.join(folder, "mosquitto.conf")
        with open(self.conf, "w") as f:
            # Run by root, mosquitto would drop to its own user, which cannot
            # write the persistence file here.
            f.write("user root\nlistener %d 127.0.0.1\nallow_anonymous true\n"
                    "persistence true\npersistence_location %s/\nautosave_interval 0\n"
                    "max_queued_messages 0\nmax_inflight_messages 0\n" % (self.port, folder))

    def start(self):
        log = open(os.path.join(self.dir, "mosquitto.log"), "a")
        self.proc = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=log, stderr=log)
        log.close()
        if not wait_for(self.listening, 10, 0.02):
            raise RuntimeError("mosquitto does not listen; see " + self.dir)

    def listening(self):
        import socket
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
            return True
        except OSError:
            return False

    def stop(self):
        if self.proc:
            terminate([self.proc])  # SIGTERM: the observer's session is saved
            self.proc = None


class Prometheus:
    def __init__(self, folder, binary, window):
        self.dir = folder
        self.bin = binary
        self.port = free_port()
        self.proc = None
        self.starts = 0
        self.conf = os.path.join(folder, "prometheus.yml")
        with open(self.conf, "w") as f:
            f.write("global:\n  scrape_interval: 1h\nstorage:\n  tsdb:\n"
                    "    out_of_order_time_window: %s\n" % window)

    def base(self):
        return "http://127.0.0.1:%d" % self.port

    def start(self):
        self.starts += 1
        out = open(os.path.join(self.dir, "prometheus.out.%d" % self.starts), "w")
        self.proc = subprocess.Popen(
            [self.bin, "--config.file=" + self.conf,
             "--storage.tsdb.path=" + os.path.join(self.dir, "data"),
             "--web.listen-address=127.0.0.1:%d" % self.port, "--web.enable-remote-write-receiver"],
            stdout=out, stderr=out)
        out.close()
        if not wait_for(lambda: self.get("/-/ready") is not None, 60, 0.1):
            raise RuntimeError("Prometheus is not ready; see " + self.dir)

    def stop(self):
        if self.proc:
            terminate([self.proc], 60)
            self.proc = None

    def get(self, path):
        try:
            with urllib.request.urlopen(self.base() + path, timeout=10) as r:
                return r.read() if r.status == 200 else None
        except OSError:
            return None

    def samples(self, selector, seconds):
        """Times (ms) of every raw sample of `selector` in the last `seconds`."""
        q = urllib.parse.quote("%s[%ds]" % (selector, seconds))
        body = self.get("/api/v1/query?query=" + q)
        if body is None:
            return None
        out = []
        for series in json.loads(body)["data"]["result"]:
            out += [round(float(t) * 1000) for t, _ in series["values"]]
        return sorted(out)


class Gateway:
    def __init__(self, a, i, folder, broker, prom):
        self.a = a
        self.name = "gw%02d" % (i + 1)
        self.dir = os.path.join(folder, self.name)
        os.mkdir(self.dir)
        self.db = os.path.join(self.dir, "h.db")
        self.proc = None
        self.starts = 0
        self.rounds = []  # (time, ratio to the wire limit)
        self.lock = threading.Lock()
        with open(os.path.join(ROOT, "examples", "site.json")) as f:
            site = json.load(f)
        site["devices"][0]["name"] = self.name
        site["mqtt"] = {"replay_rate": a.replay_rate}
        site["remote_write"] = {"batch_records": a.batch_records,
                                "max_requests_per_second": a.max_requests}
        self.site = os.path.join(self.dir, "site.json")
        with open(self.site, "w") as f:
            json.dump(site, f, indent=1)
        with open(os.path.join(ROOT, "examples", "scenario.json")) as f:
            scen = json.load(f)
        scen["baud"] = 9600
        scen["changes"] = []
        scen["alarms"] = {"every_rounds": a.alarm_every, "rounds": max(1, a.alarm_every // 2)}
        self.scen = os.path.join(self.dir, "scenario.json")
        with open(self.scen, "w") as f:
            json.dump(scen, f)
        self.cmd = [os.path.join(a.build, "k417t-run"), "--site", self.site, "--simulate", self.scen,
                    "--pace", "--json", "--traces", "/dev/null", "--db", self.db,
                    "--history-heartbeat", str(a.heartbeat), "--history-commit", str(a.commit),
                    "--mqtt", "mqtt://127.0.0.1:%d" % broker.port, "--mqtt-client-id", self.name,
                    "--remote-write", prom.base() + "/api/v1/write",
                    "--remote-write-label", "site=" + self.name]

    def start(self):
        self.starts += 1
        self.proc = subprocess.Popen(
            self.cmd + ["--log", os.path.join(self.dir, "log.%d" % self.starts)],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        threading.Thread(target=self.read, args=(self.proc,), daemon=True).start()

    def read(self, proc):
        for line in proc.stdout:
            if '"kind":"round"' not in line:
                continue
            try:
                v = json.loads(line)
            except ValueError:
                continue
            if v.get("kind") == "round" and v.get("exchanges", 0):
                with self.lock:
                    self.rounds.append((time.time(), wire_ratio(v)))

    def ratios(self, t0, t1):
        with self.lock:
            return [r for t, r in self.rounds if t0 <= t <= t1]

    def figures(self):
        return cpu_seconds(self.proc.pid), write_bytes(self.proc.pid)

    def query(self, sql):
        for _ in range(20):
            try:
                c = sqlite3.connect("file:%s?mode=ro" % self.db, uri=True, timeout=5)
                try:
                    return c.execute(sql).fetchall()
                finally:
                    c.close()
            except sqlite3.OperationalError:
                time.sleep(0.1)
        return []

    def heads(self):
        r = self.query("SELECT (SELECT IFNULL(MAX(id), 0) FROM alarm_event),"
                       " (SELECT IFNULL(MAX(id), 0) FROM round_record)")
        return r[0] if r else (0, 0)

    def cursors(self):
        return {s: (e, r) for s, e, r in
                self.query("SELECT sink, event_id, record_id FROM outbox_cursor")}

    def logs(self):
        text = ""
        for n in range(1, self.starts + 1):
            try:
                with open(os.path.join(self.dir, "log.%d" % n), errors="replace") as f:
                    text += f.read()
            except OSError:
                pass
        return text


def observed(path):
    """The observer's lines: (arrival epoch s, topic, payload)."""
    out = []
    with open(path, errors="replace") as f:
        for line in f:
            parts = line.rstrip("\n").split(" ", 2)
            if len(parts) == 3:
                try:
                    out.append((float(parts[0]), parts[1], parts[2]))
                except ValueError:
                    pass
    return out


def spread(xs, fmt="%.2f"):
    if not xs:
        return "-"
    return ("median " + fmt + ", max " + fmt) % (statistics.median(xs), max(xs))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    ap.add_argument("--gateways", type=int, default=50)
    ap.add_argument("--outage", type=float, default=600)
    ap.add_argument("--quiet", type=float, default=None, help="default: as long as the outage")
    ap.add_argument("--warmup", type=float, default=60)
    ap.add_argument("--restart-share", type=float, default=0.2)
    ap.add_argument("--heartbeat", type=int, default=60)
    ap.add_argument("--commit", type=int, default=5)
    ap.add_argument("--alarm-every", type=int, default=10, help="rounds between low-voltage alarms")
    ap.add_argument("--replay-rate", type=int, default=20)
    ap.add_argument("--batch-records", type=int, default=200)
    ap.add_argument("--max-requests", type=float, default=5)
    ap.add_argument("--ooo-window", default="2h")
    ap.add_argument("--drain-deadline", type=float, default=None,
                    help="default: 120 s or half the outage, the longer")
    ap.add_argument("--gap-slack", type=float, default=5)
    ap.add_argument("--sites", type=int, default=3, help="sites whose samples are checked")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    ap.add_argument("--check", action="store_true", help="exit 1 on a loss (the ctest form)")
    a = ap.parse_args()
    a.build = os.path.abspath(a.build)
    if a.quiet is None:
        a.quiet = a.outage
    if a.drain_deadline is None:
        a.drain_deadline = max(120.0, a.outage / 2)

    prom_bin = find_program("prometheus", os.path.join(ROOT, "build-tools", "bin", "prometheus"))
    for need, what in ((shutil.which("mosquitto"), "mosquitto"),
                       (shutil.which("mosquitto_sub"), "mosquitto_sub"), (prom_bin, "prometheus"),
                       (find_program("k417t-run", os.path.join(a.build, "k417t-run")), "k417t-run")):
        if not need:
            print("%s is needed (scripts/install-deps.sh; build k417t-run)" % what, file=sys.stderr)
            return 2

    work = tempfile.mkdtemp(prefix="fleet-outage-", dir=a.build)
    failures = run(a, work, prom_bin)
    if failures:
        print("FAILED: " + "; ".join(failures))
        print("work folder kept: " + work)
        return 1
    if a.keep:
        print("work folder: " + work)
    else:
        shutil.rmtree(work, ignore_errors=True)
    return 0


def run(a, work, prom_bin):
    n = a.gateways
    print("fleet outage: %d gateways, warm-up %.0f s, quiet %.0f s, outage %.0f s, "
          "heartbeat %d s, commit %d s, alarm every %d rounds, replay %d msg/s, "
          "remote write %d records/request at %.0f requests/s, %d cores"
          % (n, a.warmup, a.quiet, a.outage, a.heartbeat, a.commit, a.alarm_every,
             a.replay_rate, a.batch_records, a.max_requests, os.cpu_count()), flush=True)
    broker = Broker(work)
    prom = Prometheus(work, prom_bin, a.ooo_window)
    sub, gws = None, []
    try:
        broker.start()
        prom.start()
        sub_out = os.path.join(work, "observed.txt")
        with open(sub_out, "w") as out:
            sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port),
                                    "-c", "-i", "fleet-observer", "-q", "1", "-t", "#",
                                    "-F", "%U %t %p"], stdout=out, stderr=subprocess.DEVNULL)
        log = os.path.join(work, "mosquitto.log")
        if not wait_for(lambda: b"fleet-observer" in open(log, "rb").read(), 10, 0.05):
            raise RuntimeError("the observer did not connect")
        time.sleep(0.3)  # its subscription
        gws = [Gateway(a, i, work, broker, prom) for i in range(n)]
        return phases(a, work, gws, broker, prom, sub, sub_out)
    finally:
        terminate([g.proc for g in gws if g.proc] + ([sub] if sub else []))
        broker.stop()
        prom.stop()


def phases(a, work, gws, broker, prom, sub, sub_out):
    n = len(gws)
    t_start = time.time()
    for g in gws:
        g.start()
        time.sleep(0.05)

    def alive():
        return [g.proc for g in gws if g.proc]

    time.sleep(a.warmup)
    dead = [g.name for g in gws if g.proc.poll() is not None]
    if dead:
        terminate(alive())
        return ["runners exited in the warm-up: " + ", ".join(dead)]

    t_quiet = time.time()
    q0 = {g.name: g.figures() for g in gws}
    time.sleep(a.quiet)
    q1 = {g.name: g.figures() for g in gws}

    # The outage.
    before = {g.name: g.cursors().get("mqtt", (0, 0)) for g in gws}
    broker.stop()
    prom.stop()
    t_out = time.time()
    o0 = {g.name: g.figures() for g in gws}
    k = 0 if a.restart_share <= 0 else max(1, round(a.restart_share * n))
    restarted = [gws[min(n - 1, 1 + (j * n) // k)] for j in range(k)] if k else []
    restarted = list({g.name: g for g in restarted}.values())
    time.sleep(a.outage / 3)
    for g in restarted:
        g.proc.terminate()
    restart_codes = {}
    for g in restarted:
        restart_codes[g.name] = g.proc.wait(30)
        g.start()
    time.sleep(max(0.0, t_out + a.outage - time.time()))
    o1 = {g.name: g.figures() for g in gws if g not in restarted}
    owed_heads = {g.name: g.heads() for g in gws}

    broker.start()
    prom.start()
    t_back = time.time()
    targets = {g.name: g.heads() for g in gws}
    drained = {}  # name -> {sink: seconds}
    deadline = t_back + a.drain_deadline
    while time.time() < deadline:
        for g in gws:
            d = drained.setdefault(g.name, {})
            c = g.cursors()
            ev, rec = targets[g.name]
            now = time.time() - t_back
            if "mqtt" not in d and "mqtt" in c and c["mqtt"][0] >= ev and c["mqtt"][1] >= rec:
                d["mqtt"] = now
            if "remote_write" not in d and "remote_write" in c and c["remote_write"][1] >= rec:
                d["remote_write"] = now
        if all(len(d) == 2 for d in drained.values()):
            break
        time.sleep(1)
    t_drained = time.time()
    time.sleep(2)

    # Prometheus: the raw samples of a few sites.
    span = int(time.time() - t_start) + 120
    checked = [gws[0]] + [g for g in restarted[:1]] + [gws[-1]]
    checked = list({g.name: g for g in checked}.values())[:max(1, a.sites)]
    remote = {}
    for g in checked:
        remote[g.name] = prom.samples('%s{site="%s",unit="%d"}' % (SERIES, g.name, UNIT), span)

    terminate(alive())
    stop_codes = {g.name: g.proc.returncode for g in gws}
    time.sleep(1)
    terminate([sub])
    return report(a, work, gws, restarted, restart_codes, stop_codes, sub_out, before, owed_heads,
                  targets, drained, remote, q0, q1, o0, o1,
                  (t_start, t_quiet, t_out, t_back, t_drained))


def report(a, work, gws, restarted, restart_codes, stop_codes, sub_out, before, owed_heads, targets,
           drained, remote, q0, q1, o0, o1, times):
    t_start, t_quiet, t_out, t_back, t_drained = times
    failures = []
    msgs = observed(sub_out)
    events = {}  # name -> [(arrival, id, time)]
    history = {}  # name -> set of record ids replayed
    for t, topic, payload in msgs:
        parts = topic.split("/")
        if len(parts) != 3 or parts[0] != "k417t" or parts[2] not in ("events", "history"):
            continue
        try:
            v = json.loads(payload)
        except ValueError:
            continue
        if parts[2] == "events":
            events.setdefault(parts[1], []).append((t, v.get("id"), v.get("time")))
        else:
            history.setdefault(parts[1], set()).add(v.get("id"))

    total = owed = arrived = lost = dups = disorder = early = 0
    wrong_time = 0
    rec_owed = rec_missing = 0
    last_owed_arrival = 0.0
    per_gw_loss = []
    for g in gws:
        held = g.query("SELECT id, t FROM alarm_event ORDER BY id")
        total += len(held)
        got = events.get(g.name, [])
        first = {}
        order = []
        for t, i, tm in got:
            if i in first:
                dups += 1
                continue
            first[i] = (t, tm)
            order.append(i)
        top = 0
        for i in order:
            disorder += i < top
            top = max(top, i)
        cut = before[g.name][0]
        ev_target = targets[g.name][0]
        missing = [i for i, _ in held if i not in first]
        gone = [i for i in missing if i > cut]
        owed += sum(1 for i, _ in held if i > cut)
        arrived += len(first)
        lost += len(gone)
        early += len(missing) - len(gone)
        wrong_time += sum(1 for i, tm in held if i in first and first[i][1] != tm)
        if gone:
            per_gw_loss.append("%s: %d (ids %s)" % (g.name, len(gone), gone[:8]))
        late = [first[i][0] for i, _ in held if cut < i <= ev_target and i in first]
        if late:
            last_owed_arrival = max(last_owed_arrival, max(late) - t_back)
        # Records stored while the broker was away, offered on <dev>/history.
        # The cursor read before the outage may lag (it follows the head
        # every few seconds and is written with the next commit): records
        # from before the broker's stop went out live on the state topics.
        rec_cut = before[g.name][1]
        stored = [r for (r,) in g.query(
            "SELECT id FROM round_record WHERE id > %d AND id <= %d AND t > %d"
            % (rec_cut, owed_heads[g.name][1], int(t_out)))]
        rec_owed += len(stored)
        rec_missing += sum(1 for r in stored if r not in history.get(g.name, set()))
    print("events:   %d in the histories, %d owed at the outage (past the MQTT cursor), "
          "%d distinct ids arrived; lost %d, duplicates %d, out of order %d, time changed %d"
          % (total, owed, arrived, lost, dups, disorder, wrong_time))
    if per_gw_loss:
        print("          lost: " + "; ".join(per_gw_loss))
    if early:
        print("          %d events acknowledged before the outage never reached the observer" % early)
    print("records:  %d stored while the broker was away, %d never replayed on <dev>/history"
          % (rec_owed, rec_missing))
    if owed == 0 or rec_owed == 0:
        failures.append("the outage saw no alarm event or no record: nothing was measured")
    if lost:
        failures.append("%d alarm events lost" % lost)
    if disorder:
        failures.append("%d events out of order" % disorder)
    if wrong_time:
        failures.append("%d events arrived with another time" % wrong_time)
    if rec_missing:
        failures.append("%d records not replayed" % rec_missing)

    mq = [d["mqtt"] for d in drained.values() if "mqtt" in d]
    rw = [d["remote_write"] for d in drained.values() if "remote_write" in d]
    undrained = [name for name, d in drained.items() if len(d) < 2]
    print("drain:    MQTT cursor %s s, remote-write cursor %s s (%d of %d drained within %.0f s); "
          "last owed event at the observer %.1f s after the links came back"
          % (spread(mq, "%.1f"), spread(rw, "%.1f"), len(gws) - len(undrained), len(gws),
             a.drain_deadline, last_owed_arrival))
    if undrained:
        failures.append("outboxes not drained: " + ", ".join(undrained))

    buckets, outbox_buckets = {}, {}
    for t, topic, _ in msgs:
        s = int(t)
        buckets[s] = buckets.get(s, 0) + 1
        if topic.endswith("/events") or topic.endswith("/history"):
            outbox_buckets[s] = outbox_buckets.get(s, 0) + 1
    after = [c for s, c in buckets.items() if s >= t_back]
    quiet = [c for s, c in buckets.items() if t_quiet <= s < t_out]
    print("broker:   peak %d msg/s after the return (events and history %d msg/s), "
          "%.0f msg/s on average in the quiet period; %d messages observed"
          % (max(after, default=0),
             max((c for s, c in outbox_buckets.items() if s >= t_back), default=0),
             sum(quiet) / max(1.0, a.quiet), len(msgs)))

    kept = [g for g in gws if g not in restarted]
    cpu_q = [q1[g.name][0] - q0[g.name][0] for g in kept]
    cpu_o = [o1[g.name][0] - o0[g.name][0] for g in kept]
    wr_q = [(q1[g.name][1] - q0[g.name][1]) / 1024 for g in kept]
    wr_o = [(o1[g.name][1] - o0[g.name][1]) / 1024 for g in kept]
    print("cost:     per runner over %.0f s (%d not restarted): CPU quiet %s s, outage %s s; "
          "written quiet %s KiB, outage %s KiB"
          % (a.outage, len(kept), spread(cpu_q), spread(cpu_o), spread(wr_q, "%.0f"),
             spread(wr_o, "%.0f")))

    def phase(t0, t1):
        xs = [r for g in gws for r in g.ratios(t0, t1)]
        if not xs:
            return "no round", 0
        xs.sort()
        return ("%d rounds, median %.2f, p95 %.2f, worst %.2f"
                % (len(xs), statistics.median(xs), xs[int(0.95 * (len(xs) - 1))], xs[-1]),
                statistics.median(xs))
    worst_median = 0
    for label, t0, t1 in (("quiet", t_quiet, t_out), ("outage", t_out, t_back),
                          ("drain", t_back, t_drained)):
        text, med = phase(t0, t1)
        worst_median = max(worst_median, med)
        print("polling:  %-6s round / wire limit: %s" % (label, text))
    if worst_median > 1.5:
        print("polling:  the machine does not keep up with %d paced lines: rounds take %.1f times "
              "their wire limit (median)" % (len(gws), worst_median))

    for name, times_ms in remote.items():
        g = next(x for x in gws if x.name == name)
        # The records the drain waited for (a runner's stop stores one more
        # after the query).
        rec = sorted({t for (t,) in g.query("SELECT t FROM round_record WHERE data_id = %d AND id <= %d"
                                             % (UNIT, targets[name][1]))})
        if times_ms is None:
            print("remote:   %s: Prometheus did not answer" % name)
            failures.append("no answer from Prometheus")
            continue
        got = {t // 1000 for t in times_ms}
        missing = [t for t in rec if t not in got]
        widest, at = 0, 0
        for j in range(1, len(times_ms)):
            if times_ms[j] - times_ms[j - 1] > widest:
                widest, at = times_ms[j] - times_ms[j - 1], times_ms[j - 1]
        inside = at < t_back * 1000 and at + widest > t_out * 1000
        print("remote:   %s%s: %d samples, %d record times owed by the drain, %d without a sample; "
              "widest gap %.1f s (%s the outage)"
              % (name, " (restarted)" if any(x.name == name for x in restarted) else "",
                 len(times_ms), len(rec), len(missing), widest / 1000,
                 "across" if inside else "outside"))
        if missing:
            failures.append("%s: %d records without a sample" % (name, len(missing)))
        if not times_ms or times_ms[0] > t_out * 1000 or times_ms[-1] < t_back * 1000:
            failures.append("%s: the samples do not span the outage" % name)
        if widest > (a.heartbeat + a.gap_slack) * 1000:
            failures.append("%s: a gap of %.1f s" % (name, widest / 1000))
    print('PromQL:   raw samples across the outage: %s{site="gw01",unit="%d"}[2h] (table view);'
          % (SERIES, UNIT))
    print('          a graph that holds each value to the next record: '
          'last_over_time(%s{site="gw01"}[%ds])' % (SERIES, 2 * a.heartbeat))

    bad_codes = {k: v for k, v in list(restart_codes.items()) + list(stop_codes.items()) if v != 0}
    if bad_codes:
        failures.append("runners stopped with status %s" % bad_codes)
    left = sum(g.logs().count("wait in the history for the next connection") for g in restarted)
    print("restarts: %d runners stopped with SIGTERM in the outage and started again; "
          "%d of their logs say what waits in the history" % (len(restarted), left))
    with open(os.path.join(work, "mosquitto.log"), errors="replace") as f:
        if "dropped" in f.read():
            print("broker:   the broker dropped messages (see its log): the figures above miss them")
            failures.append("broker dropped messages for the observer")
    print("load:     %.2f %.2f %.2f (1, 5, 15 min)" % os.getloadavg())
    return failures if a.check else []


if __name__ == "__main__":
    sys.exit(main())
