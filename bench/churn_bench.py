#!/usr/bin/env python3
"""Connection churn and idle cost, in one run, with lighttpd beside the service
(kvoomxsvr -NODAEMON in front of kvoctlsim with two controllers):

  * N clients (default 50), each opening a new connection for every request,
    for S seconds (default 5), against the configuration server (a
    stylesheet), against the relay (/bench/64) and against lighttpd serving
    the same stylesheet: requests answered, connections reset or closed
    unread, clients never answered, and the longest wait for one answer;
  * wake-ups (context switches) per second of the idle service, no clients.

Usage: bench/churn_bench.py [BUILD_DIR] [--clients N] [--seconds S] [--idle-window S]
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchnet import start_service, stop_all  # noqa: E402
import relay_bench as rb  # noqa: E402
import wake_bench as wb  # noqa: E402


FAILURES = {}
SLOWEST_CONNECT = [0.0]


def one_exchange(port, payload):
    """True when a whole answer came; False when the connection was reset or closed unread."""
    try:
        t0 = time.perf_counter()
        with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
            connected = time.perf_counter() - t0
            if connected > SLOWEST_CONNECT[0]:
                SLOWEST_CONNECT[0] = connected
            s.settimeout(60)
            s.sendall(payload)
            rb.read_answer(s)
        return True
    except (OSError, SystemExit) as e:
        kind = type(e).__name__
        FAILURES[kind] = FAILURES.get(kind, 0) + 1
        return False


def churn(port, payload, clients, seconds):
    answered = [0] * clients
    failed = [0] * clients
    longest = [0.0] * clients
    stop = time.monotonic() + seconds

    def client(i):
        while time.monotonic() < stop:
            t0 = time.perf_counter()
            ok = one_exchange(port, payload)
            waited = time.perf_counter() - t0
            longest[i] = max(longest[i], waited)
            if ok:
                answered[i] += 1
            else:
                failed[i] += 1

    threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(answered), sum(failed), sum(1 for a in answered if a == 0), max(longest)


def idle_wakeups(pid, window):
    sw0, _ = wb.process_counters(pid)
    t0 = time.monotonic()
    time.sleep(window)
    elapsed = time.monotonic() - t0
    sw1, _ = wb.process_counters(pid)
    per_thread = sorted(((sw1[t] - sw0.get(t, 0)) / elapsed for t in sw1), reverse=True)
    return sum(per_thread), [r for r in per_thread if r > 0.05]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build", nargs="?", default=os.path.join(rb.ROOT, "build"))
    ap.add_argument("--clients", type=int, default=50)
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--idle-window", type=float, default=20.0)
    args = ap.parse_args()
    bin_dir = rb.program_dir(args.build)
    _, lighttpd = wb.ensure_tools()

    scratch = tempfile.mkdtemp(prefix="churn-", dir="/tmp")
    driver = os.path.join(scratch, "driver")
    home = os.path.join(scratch, "home")
    os.makedirs(driver)
    os.makedirs(home)
    shutil.copytree(os.path.join(rb.ROOT, "share", "webguiroot"), os.path.join(home, "webguiroot"))
    shutil.copytree(os.path.join(rb.ROOT, "share", "HTML"), os.path.join(scratch, "HTML"))
    config_port, relay_port, relay1_port, light_port = (rb.free_port() for _ in range(4))
    with open(os.path.join(home, "kvoomxsvr.conf"), "w") as f:
        f.write("<root>\n<configport>%x</configport>\n"
                "<controller0><httpport>%x</httpport></controller0>\n"
                "<controller1><httpport>%x</httpport></controller1>\n</root>\n"
                % (config_port, relay_port, relay1_port))
    procs = []
    results = []
    try:
        svc = start_service(bin_dir, scratch, driver, home, 2, procs)
        rb.wait_for(lambda: rb.port_open(relay_port) and rb.port_open(config_port), 15, "service ports open")
        # Idle first, before any client has come and gone.
        time.sleep(2.0)
        idle = idle_wakeups(svc.pid, args.idle_window)
        light = wb.start_lighttpd(lighttpd, scratch, os.path.join(home, "webguiroot", "xsl"), light_port)
        procs.append(light)

        static = ("GET /%s HTTP/1.0\r\n\r\n" % wb.STATIC).encode()
        relayed = rb.request("/bench/64", keep_alive=False)
        for name, port, payload in (("configuration server", config_port, static),
                                    ("lighttpd, same file", light_port, static),
                                    ("relay /bench/64", relay_port, relayed)):
            results.append((name,) + churn(port, payload, args.clients, args.seconds))
    finally:
        stop_all(procs)
        shutil.rmtree(scratch, ignore_errors=True)

    print("Churn: %d clients, a new connection per request, %.0f s each; loadavg %.2f"
          % (args.clients, args.seconds, os.getloadavg()[0]))
    for name, answered, failed, starved, longest in results:
        print("  %-22s answered %6d  reset/closed unread %4d  clients never answered %2d  longest wait %.3f s"
              % (name, answered, failed, starved, longest))
    total, per_thread = idle
    print("  slowest connect of all: %.3f s (a second or more: a SYN dropped by a full backlog)"
          % SLOWEST_CONNECT[0])
    if FAILURES:
        print("  failures by kind: " + ", ".join("%s %d" % kv for kv in sorted(FAILURES.items())))
    print("idle service, 2 controllers, no clients, %.0f s: %.1f wake-ups/s (per thread: %s)"
          % (args.idle_window, total, ", ".join("%.2f" % r for r in per_thread)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
