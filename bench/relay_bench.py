#!/usr/bin/env python3
"""Web relay benchmark: the real service (kvoomxsvr -NODAEMON) in front of
kvoctlsim with one controller, everything on 127.0.0.1.

Prints, for one run, over the socket driver bridge and then over the SCSI
generic one (kvoctlsim in SCSI-target mode, the sg stand-in library preloaded):
  * round trip of a small page through the relay port over a few hundred
    requests on one kept-alive browser connection (median, p95), and over
    fresh connections (each pays the connect message and the first poll);
  * MB/s of /bench/16777216 through the relay;
  * beside it, the raw readIO ceiling (bench_kvoio_read, same machine, same
    run) and the ratio of the two.

Usage: bench/relay_bench.py [BUILD_DIR] [--requests N] [--fresh N] [--bytes N]
                            [--bridge socket|sg|both]
"""
import argparse
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
from benchnet import free_port, port_open, program_dir, stop_all, wait_for


def read_answer(sock):
    """Reads one HTTP answer with Content-Length; returns (head, body length)."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            raise SystemExit("benchmark: the relay closed the connection")
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    m = re.search(rb"Content-Length: (\d+)", head)
    length = int(m.group(1)) if m else 0
    got = len(rest)
    while got < length:
        chunk = sock.recv(1 << 20)
        if not chunk:
            raise SystemExit("benchmark: the relay closed the connection mid-answer")
        got += len(chunk)
    if got != length:
        raise SystemExit("benchmark: more bytes than one answer arrived")
    return head, length


def request(path, keep_alive=True):
    conn = "keep-alive" if keep_alive else "close"
    return ("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: %s\r\n\r\n" % (path, conn)).encode()


def percentile(values, p):
    ordered = sorted(values)
    k = max(0, min(len(ordered) - 1, int(round(p / 100.0 * len(ordered) + 0.5)) - 1))
    return ordered[k]


def kept_alive_round_trips(port, count, path):
    times = []
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.sendall(request(path))  # warm-up: connect message and first poll
        read_answer(s)
        for _ in range(count):
            t0 = time.perf_counter()
            s.sendall(request(path))
            read_answer(s)
            times.append((time.perf_counter() - t0) * 1000.0)
    return times


def fresh_connection_round_trips(port, count, path):
    times = []
    for _ in range(count):
        t0 = time.perf_counter()
        with socket.create_connection(("127.0.0.1", port)) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            s.sendall(request(path))
            read_answer(s)
        times.append((time.perf_counter() - t0) * 1000.0)
    return times


def relay_throughput(port, size, runs):
    rates = []
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(request("/bench/16"))
        read_answer(s)
        for _ in range(runs):
            t0 = time.perf_counter()
            s.sendall(request("/bench/%d" % size))
            _, length = read_answer(s)
            rates.append(length / (time.perf_counter() - t0) / 1e6)
    return rates


def raw_readio_ceiling(bin_dir, size):
    exe = os.path.join(bin_dir, "bench_kvoio_read")
    if not os.access(exe, os.X_OK):
        return None, "bench_kvoio_read is not built"
    out = subprocess.run([exe, str(size)], capture_output=True, text=True, timeout=300).stdout
    m = re.search(r"data-carrying:.*?([\d.]+) MB/s", out)
    return (float(m.group(1)) if m else None), out.strip()


def measure(bin_dir, args, scsi_generic):
    """Starts the simulator and the service over one bridge; returns the figures."""
    scratch_base = os.path.join(os.path.abspath(args.build), "benchtmp")
    os.makedirs(scratch_base, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="relay-", dir=scratch_base if len(scratch_base) < 60 else "/tmp")
    driver = os.path.join(scratch, "driver")
    home = os.path.join(scratch, "home")
    sg = os.path.join(scratch, "sg")
    os.makedirs(driver)
    os.makedirs(home)
    config_port, relay_port = free_port(), free_port()
    bridge = ""
    sim_args = [os.path.join(bin_dir, "kvoctlsim"), "--dir", driver, "--controllers", "1"]
    env = dict(os.environ, KVOOMX_HOME=home, KVOOMX_DRIVER_DIR=driver)
    if scsi_generic:
        sim_args += ["--sg", sg]
        bridge = ("<driverbridge>sg</driverbridge>\n<scsigeneric><sysfs>%s/sys</sysfs>"
                  "<devdir>%s/dev</devdir></scsigeneric>\n" % (sg, sg))
        env["LD_PRELOAD"] = os.path.join(os.path.dirname(bin_dir), "lib", "libkvosgstub.so")
        if not os.path.exists(env["LD_PRELOAD"]):
            raise SystemExit("benchmark: %s is missing; build the tests first" % env["LD_PRELOAD"])
    with open(os.path.join(home, "kvoomxsvr.conf"), "w") as f:
        f.write("<root>\n<configport>%x</configport>\n"
                "<controller0><httpport>%x</httpport></controller0>\n%s</root>\n"
                % (config_port, relay_port, bridge))

    procs = []
    try:
        sim = subprocess.Popen(sim_args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(sim)
        wait_for(lambda: os.path.exists(os.path.join(driver, "control")), 10, "simulator start")
        log = open(os.path.join(scratch, "kvoomxsvr.log"), "w")
        svc = subprocess.Popen([os.path.join(bin_dir, "kvoomxsvr"), "-NODAEMON"], cwd=scratch, env=env,
                               stdout=log, stderr=subprocess.STDOUT)
        procs.append(svc)
        wait_for(lambda: port_open(relay_port), 15, "relay port open")

        small = "/overview.html"
        kept = kept_alive_round_trips(relay_port, args.requests, small)
        fresh = fresh_connection_round_trips(relay_port, args.fresh, small)
        relay_rates = relay_throughput(relay_port, args.bytes, args.runs)
    finally:
        stop_all(procs)
    shutil.rmtree(scratch, ignore_errors=True)
    return small, kept, fresh, relay_rates


def report(name, args, figures):
    small, kept, fresh, relay_rates = figures
    print("  %s:" % name)
    print("    small page %s, %d requests on one kept-alive connection:" % (small, len(kept)))
    print("      median %.2f ms   p95 %.2f ms   min %.2f ms   max %.2f ms"
          % (statistics.median(kept), percentile(kept, 95), min(kept), max(kept)))
    print("    same page, %d fresh connections (connect message + first poll each):" % len(fresh))
    print("      median %.2f ms   p95 %.2f ms" % (statistics.median(fresh), percentile(fresh, 95)))
    print("    /bench/%d through the relay, %d runs: best %.1f MB/s, median %.1f MB/s"
          % (args.bytes, len(relay_rates), max(relay_rates), statistics.median(relay_rates)))
    return max(relay_rates)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    ap.add_argument("--requests", type=int, default=400)
    ap.add_argument("--fresh", type=int, default=50)
    ap.add_argument("--bytes", type=int, default=16777216)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--bridge", choices=("socket", "sg", "both"), default="both")
    args = ap.parse_args()
    bin_dir = program_dir(args.build)

    bridges = [("socket bridge (driver sockets)", False), ("SCSI generic bridge (SG_IO, sg stand-in)", True)]
    if args.bridge != "both":
        bridges = [b for b in bridges if b[1] == (args.bridge == "sg")]
    results = [(name, measure(bin_dir, args, scsi)) for name, scsi in bridges]
    raw, raw_text = raw_readio_ceiling(bin_dir, args.bytes)

    print("Web relay benchmark (kvoomxsvr + kvoctlsim, 1 controller, loopback)")
    best = 0.0
    for name, figures in results:
        best = report(name, args, figures)
        if raw is not None:
            print("    relay / raw readIO: %.2f" % (best / raw))
    if raw is None:
        print("  raw readIO ceiling: not available (%s)" % raw_text)
    else:
        print("  raw readIO ceiling over the socket bridge (bench_kvoio_read %d): %.1f MB/s" % (args.bytes, raw))
    return 0


if __name__ == "__main__":
    sys.exit(main())
