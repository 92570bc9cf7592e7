#!/usr/bin/env python3
"""/metrics and /healthz response times: the real service (kvoomxsvr -NODAEMON)
in front of kvoctlsim with four controllers, everything on 127.0.0.1, after
every controller has been polled and some events and relay traffic counted.

Prints the median and 95th percentile of a request on a kept-alive connection
(as a scraper keeps one) for /metrics, /healthz and, for scale, the XML
controllers page; then /metrics requests per second from four clients.

Usage: bench/metrics_bench.py [BUILD_DIR] [--requests N] [--seconds S]
"""
import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.dirname(os.path.abspath(__file__))
from benchnet import free_port, port_open, wait_for, program_dir
from pages_render_bench import Connection, percentile, throughput_of


def healthy(port):
    try:
        return urllib.request.urlopen("http://127.0.0.1:%d/healthz" % port, timeout=5).status == 200
    except Exception:
        return False


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
        f.write("</root>\n")
    sim = service = None
    try:
        sim = subprocess.Popen([os.path.join(bin_dir, "kvoctlsim"), "--dir", driver, "--controllers", "4",
                                "--events-every", "1"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(os.path.join(driver, "control")), 10, "the simulator")
        env = dict(os.environ, KVOOMX_HOME=home, KVOOMX_DRIVER_DIR=driver)
        service = subprocess.Popen([os.path.join(bin_dir, "kvoomxsvr"), "-NODAEMON"], cwd=work, env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: port_open(port), 15, "the configuration server")
        wait_for(lambda: healthy(port), 30, "every controller's first poll")
        for p in relay:
            relay_traffic(p)

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
        for proc in (service, sim):
            if proc and proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=15)
                except subprocess.TimeoutExpired:
                    proc.kill()
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
