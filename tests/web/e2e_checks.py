"""What the web end-to-end scripts share: failures collected as they come
(a script reports them all, then exits 1), a free loopback port."""
import socket

FAILS = []


def check(cond, what):
    if not cond:
        FAILS.append(what)
        print("FAIL:", what, flush=True)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port
