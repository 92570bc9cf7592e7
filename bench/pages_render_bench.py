#!/usr/bin/env python3
"""Configuration pages as HTML (rendered by the service with libxslt) and as
XML documents: the real service (kvoomxsvr -NODAEMON) in front of kvoctlsim
with two controllers, everything on 127.0.0.1.

Prints, for each page (controllers, snmp, email), the median and 95th
percentile of a request on a kept-alive connection (as a browser keeps one),
as HTML (a browser's Accept) and as XML (no Accept); then requests per second
for the controllers page both ways, from four kept-alive clients for a few
seconds. (Fresh connections measure the server's connection slots instead:
each closed connection keeps its slot for about a second.)

Usage: bench/pages_render_bench.py [BUILD_DIR] [--requests N] [--seconds S]
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
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
from benchnet import free_port, port_open, wait_for
BROWSER_ACCEPT = ("text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,"
                  "image/webp,image/apng,*/*;q=0.8")


class Connection:
    """One kept-alive connection, as a browser keeps one to the pages."""

    def __init__(self, port):
        self.port = port
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.buffer = b""

    def close(self):
        self.sock.close()

    def fetch(self, target, html):
        """One request; returns (seconds, content type)."""
        accept = "Accept: %s\r\n" % BROWSER_ACCEPT if html else ""
        request = ("GET /%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: Keep-Alive\r\n%s\r\n"
                   % (target, self.port, accept)).encode()
        start = time.perf_counter()
        self.sock.sendall(request)
        while b"\r\n\r\n" not in self.buffer:
            self.buffer += self._recv()
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        head = head.decode(errors="replace")
        length = int([l for l in head.split("\r\n") if l.startswith("Content-Length:")][0].split(":")[1])
        while len(self.buffer) < length:
            self.buffer += self._recv()
        self.buffer = self.buffer[length:]
        took = time.perf_counter() - start
        if not head.startswith("HTTP/1.0 200"):
            raise SystemExit("benchmark: %s answered %s" % (target, head.splitlines()[:1]))
        ctype = [l for l in head.split("\r\n") if l.startswith("Content-Type:")]
        return took, ctype[0] if ctype else ""

    def _recv(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise SystemExit("benchmark: the server closed the connection")
        return chunk


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def throughput(port, html, seconds, threads=4):
    return throughput_of(port, "controllers.cgi", html, seconds, threads)


def throughput_of(port, target, html, seconds, threads=4):
    """Requests per second for `target` from `threads` kept-alive clients."""
    count = [0] * threads
    end = time.monotonic() + seconds

    def worker(i):
        conn = Connection(port)
        while time.monotonic() < end:
            conn.fetch(target, html)
            count[i] += 1
        conn.close()

    pool = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    start = time.monotonic()
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    return sum(count) / (time.monotonic() - start)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--requests", type=int, default=300)
    parser.add_argument("--seconds", type=float, default=5.0)
    args = parser.parse_args()
    bin_dir = os.path.join(os.path.abspath(args.build), "bin")

    scratch = tempfile.mkdtemp(prefix="kvo-pages-bench-")
    home, work, driver = (os.path.join(scratch, n) for n in ("home", "work", "driver"))
    shutil.copytree(os.path.join(ROOT, "share", "webguiroot"), os.path.join(home, "webguiroot"))
    shutil.copytree(os.path.join(ROOT, "share", "HTML"), os.path.join(work, "HTML"))
    os.makedirs(driver)
    port = free_port()
    with open(os.path.join(home, "kvoomxsvr.conf"), "w") as f:
        f.write("<root>\n    <configport>%x</configport>\n</root>\n" % port)
    sim = service = None
    try:
        sim = subprocess.Popen([os.path.join(bin_dir, "kvoctlsim"), "--dir", driver, "--controllers", "2"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(os.path.join(driver, "control")), 10, "the simulator")
        env = dict(os.environ, KVOOMX_HOME=home, KVOOMX_DRIVER_DIR=driver)
        service = subprocess.Popen([os.path.join(bin_dir, "kvoomxsvr"), "-NODAEMON"], cwd=work, env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: port_open(port), 15, "the configuration server")

        print("pages on one kept-alive connection, %d requests each (ms)" % args.requests)
        print("%-16s %-5s %8s %8s  %s" % ("page", "as", "median", "p95", "content type"))
        conn = Connection(port)
        for page in ("controllers.cgi", "snmp.cgi", "email.cgi"):
            for html in (True, False):
                conn.fetch(page, html)  # warm: stylesheet compiled, files cached
                times, ctype = [], ""
                for _ in range(args.requests):
                    took, ctype = conn.fetch(page, html)
                    times.append(took * 1000)
                print("%-16s %-5s %8.2f %8.2f  %s" % (page, "HTML" if html else "XML",
                                                    statistics.median(times), percentile(times, 95),
                                                    ctype.split(":", 1)[1].strip()))
        conn.close()
        for html in (True, False):
            rate = throughput(port, html, args.seconds)
            print("controllers.cgi as %-4s: %7.1f requests/s (4 clients, %.0f s)" %
                  ("HTML" if html else "XML", rate, args.seconds))
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
