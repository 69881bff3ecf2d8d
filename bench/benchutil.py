"""What the Python benchmarks share: free loopback ports, waiting, a process's
own figures from /proc, and a round's ratio to the wire limit."""

import json
import os
import socket
import subprocess
import time

TICK = os.sysconf("SC_CLK_TCK")


def free_port(udp=False):
    """A port on 127.0.0.1 that nothing listens on (TCP, or UDP)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM if udp else socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_for(pred, seconds, step=0.005):
    end = time.time() + seconds
    while time.time() < end:
        if pred():
            return True
        time.sleep(step)
    return pred()


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def wire_ratio(rnd):
    """A --json round's duration over its wire limit: its bytes at 9600 baud
    (10 bits a byte) and 20 ms of turnaround per exchange."""
    limit = (rnd["bytes_in"] + rnd["bytes_out"]) * 10 * 1000 / 9600 + 20 * rnd["exchanges"]
    return rnd["duration_ms"] / limit if limit else 0


def stop_all(procs, seconds=20):
    """SIGTERM to every process, SIGKILL to those still there after `seconds`."""
    for p in procs:
        p.terminate()
        try:
            p.wait(seconds)
        except subprocess.TimeoutExpired:
            p.kill()


def paced_example(tmp, root, **members):
    """The example site (with `members` set at its top level) and scenario
    at 9600 baud, written into `tmp`: their paths."""
    site = json.load(open(os.path.join(root, "examples/site.json")))
    site.update(members)
    site_path, scen_path = os.path.join(tmp, "site.json"), os.path.join(tmp, "scen.json")
    json.dump(site, open(site_path, "w"))
    scen = json.load(open(os.path.join(root, "examples/scenario.json")))
    scen["baud"] = 9600
    json.dump(scen, open(scen_path, "w"))
    return site_path, scen_path
