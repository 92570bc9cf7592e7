#!/usr/bin/env python3
"""/metrics and /healthz response times: the real service (kvoomxsvr -NODAEMON)
in front of kvoctlsim with four controllers, everything on 127.0.0.1, after
every controller has been polled and some events and relay traffic counted,
with a full event ledger (10,000 events, every 20th with a mail delivery still
waiting). The ledger is filled before the start, in the tables a first short
run of the service created.

Prints the median and 95th percentile of a request on a kept-alive connection
(as a scraper keeps one) for /metrics, /healthz and, for scale, the XML
controllers page; then /metrics requests per second from four clients.

Usage: bench/metrics_bench.py [BUILD_DIR] [--requests N] [--seconds S] [--events N] [--pending-every K]
"""
import argparse
import os
import shutil
import re
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.dirname(os.path.abspath(__file__))
from benchnet import free_port, port_open, wait_for, program_dir, stop_all
from pages_render_bench import Connection, percentile, throughput_of


def healthy(port):
    try:
        return urllib.request.urlopen("http://127.0.0.1:%d/healthz" % port, timeout=5).status == 200
    except Exception:
        return False


def metrics_value(port, series):
    text = urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=10).read().decode()
    found = re.search("^" + re.escape(series) + r" (\S+)$", text, re.M)
    return float(found.group(1)) if found else None


def create_ledger(bin_dir, scratch, home, port):
    """A first run of the service creates kvoomxevents.db with its schema (before it listens)."""
    env = dict(os.environ, KVOOMX_HOME=home, KVOOMX_DRIVER_DIR=os.path.join(scratch, "nodriver"))
    os.makedirs(env["KVOOMX_DRIVER_DIR"], exist_ok=True)
    svc = subprocess.Popen([os.path.join(bin_dir, "kvoomxsvr"), "-NODAEMON"], cwd=scratch, env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for(lambda: port_open(port), 15, "the first run's configuration server")
    finally:
        stop_all([svc])


def fill_ledger(path, events, pending_every):
    """`events` events over the last hours across four controllers; every
    `pending_every`th with one mail delivery pending, the rest sent."""
    now = int(time.time() * 1000)
    db = sqlite3.connect(path)
    with db:
        db.execute("DELETE FROM deliveries")
        db.execute("DELETE FROM events")
        pending = 0
        for n in range(events):
            received = now - (events - n) * 1000
            level = "IWE"[n % 3]
            text = "Event %d of the benchmark" % n
            cur = db.execute("INSERT INTO events(received, controller, level, event_time, text, message, traps)"
                             " VALUES (?, ?, ?, ?, ?, ?, '')",
                             (received, n % 4, ord(level), "2026-01-01 00:00:00", text,
                              "At 2026-01-01 00:00:00 Controller %d:\r\n %s" % (n % 4 + 1, text)))
            waiting = n % pending_every == 0
            pending += waiting
            db.execute("INSERT INTO deliveries(event_id, kind, target, status, attempts, next_attempt, updated)"
                       " VALUES (?, 'mail', 'ops@example.com', ?, ?, ?, ?)",
                       (cur.lastrowid, 0 if waiting else 1, 0 if waiting else 1, received, received))
    db.close()
    return pending


def relay_traffic(port, requests=20):
    """Whole answers from the controller's web interface through the relay."""
    for _ in range(requests):
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(b"GET / HTTP/1.0\r\n\r\n")
            answer = b""
            while b"\r\n\r\n" not in answer:
                answer += s.recv(65536)
            head, body = answer.split(b"\r\n\r\n", 1)
            length = int([l for l in head.split(b"\r\n") if l.lower().startswith(b"content-length:")][0]
                         .split(b":")[1])
            while len(body) < length:
                body += s.recv(65536)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=os.path.join(os.path.dirname(ROOT), "build"))
    parser.add_argument("--requests", type=int, default=500)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--events", type=int, default=10000)
    parser.add_argument("--pending-every", type=int, default=20)
    args = parser.parse_args()
    bin_dir = program_dir(args.build)

    scratch = tempfile.mkdtemp(prefix="kvo-metrics-bench-")
    home, work, driver = (os.path.join(scratch, n) for n in ("home", "work", "driver"))
    shutil.copytree(os.path.join(os.path.dirname(ROOT), "share", "webguiroot"), os.path.join(home, "webguiroot"))
    os.makedirs(work)
    os.makedirs(driver)
    port = free_port()
    relay = [free_port() for _ in range(4)]
    with open(os.path.join(home, "kvoomxsvr.conf"), "w") as f:
        f.write("<root>\n    <configport>%x</configport>\n" % port)
        for n, p in enumerate(relay):
            f.write("    <controller%d>\n        <httpport>%x</httpport>\n        <cliport>0</cliport>\n"
                    "    </controller%d>\n" % (n, p, n))
        # No mail account: each waiting delivery is tried once and then waits an hour.
        f.write("    <events><firstretry>e10</firstretry></events>\n")
        f.write("</root>\n")
    procs = []
    try:
        create_ledger(bin_dir, work, home, port)
        pending = fill_ledger(os.path.join(home, "kvoomxevents.db"), args.events, args.pending_every)
        sim = subprocess.Popen([os.path.join(bin_dir, "kvoctlsim"), "--dir", driver, "--controllers", "4",
                                "--events-every", "1"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(sim)
        wait_for(lambda: os.path.exists(os.path.join(driver, "control")), 10, "the simulator")
        env = dict(os.environ, KVOOMX_HOME=home, KVOOMX_DRIVER_DIR=driver)
        service = subprocess.Popen([os.path.join(bin_dir, "kvoomxsvr"), "-NODAEMON"], cwd=work, env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(service)
        wait_for(lambda: port_open(port), 15, "the configuration server")
        wait_for(lambda: healthy(port), 30, "every controller's first poll")
        retrying = 'kvoomx_deliveries_total{kind="mail",result="retrying"}'
        wait_for(lambda: (metrics_value(port, retrying) or 0) >= pending, 300, "the first pass over the queue")
        for p in relay:
            relay_traffic(p)

        print("ledger: %d events, %.0f deliveries waiting, the oldest %.0f s old"
              % (args.events, metrics_value(port, "kvoomx_delivery_queue_pending"),
                 metrics_value(port, "kvoomx_delivery_queue_oldest_age_seconds")))
        print("4 controllers, one kept-alive connection, %d requests each (ms)" % args.requests)
        print("%-16s %8s %8s %8s" % ("path", "median", "p95", "bytes"))
        conn = Connection(port)
        for target in ("metrics", "healthz", "controllers.cgi"):
            conn.fetch(target, False)
            times = []
            for _ in range(args.requests):
                took, _ = conn.fetch(target, False)
                times.append(took * 1000)
            size = len(urllib.request.urlopen("http://127.0.0.1:%d/%s" % (port, target)).read())
            print("%-16s %8.3f %8.3f %8d" % (target, statistics.median(times), percentile(times, 95), size))
        conn.close()
        rate = throughput_of(port, "metrics", False, args.seconds)
        print("metrics: %7.1f requests/s (4 clients, %.0f s)" % (rate, args.seconds))
    finally:
        stop_all(procs)
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
