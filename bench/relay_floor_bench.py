#!/usr/bin/env python3
"""The relay against its floor, side by side in one run: the same exchange
made through the relay port (kvoomxsvr -NODAEMON in front of kvoctlsim) and
directly through kvoIO with no sleeps (bench_kvoio_exchange, its own
simulator). Sizes alternate between the two so the machine's load cancels
out of the ratios.

Prints, per answer size, the median exchange time on a kept-alive connection
for both and relay/floor as a throughput ratio (the round with the median
ratio of three); then the same for a small
answer with the firmware answering 3 ms late, with the driver reads the relay
made per request (and how many of them found nothing ready).

Usage: bench/relay_floor_bench.py [BUILD_DIR] [--count N]
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchnet import start_service, stop_all  # noqa: E402
import relay_bench as rb  # noqa: E402

SIZES = (262144, 2097152, 16777216)


def control(driver, command):
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(os.path.join(driver, "control"))
        s.sendall(command.encode() + b"\n")
        return s.recv(4096).decode()


def web_reads(driver):
    answer = control(driver, "stats 0")
    reads = re.search(r"web_reads=(\d+)", answer)
    empty = re.search(r"empty_web_reads=(\d+)", answer)
    if not reads:
        return None, None
    return int(reads.group(1)), int(empty.group(1))


def relay_exchanges(port, path, count):
    """Median ms of `count` exchanges on one kept-alive connection (after one warm-up)."""
    times = []
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(rb.request(path))
        rb.read_answer(s)
        for _ in range(count):
            t0 = time.perf_counter()
            s.sendall(rb.request(path))
            rb.read_answer(s)
            times.append((time.perf_counter() - t0) * 1000.0)
    return statistics.median(times)


def floor_exchange(bin_dir, size, count, delay_ms=0):
    exe = os.path.join(bin_dir, "bench_kvoio_exchange")
    out = subprocess.run([exe, str(size), str(count), str(delay_ms)], capture_output=True, text=True,
                         timeout=600).stdout
    m = re.search(r"floor .* median ([\d.]+) ms .* reads/exchange ([\d.]+)", out)
    if not m:
        raise SystemExit("benchmark: bench_kvoio_exchange printed no figure:\n" + out[-2000:])
    return float(m.group(1)), float(m.group(2))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build", nargs="?", default=os.path.join(rb.ROOT, "build"))
    ap.add_argument("--count", type=int, default=20)
    ap.add_argument("--small-count", type=int, default=200)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    bin_dir = rb.program_dir(args.build, ("kvoomxsvr", "kvoctlsim", "bench_kvoio_exchange"))

    scratch = tempfile.mkdtemp(prefix="floor-", dir="/tmp")
    driver = os.path.join(scratch, "driver")
    home = os.path.join(scratch, "home")
    os.makedirs(driver)
    os.makedirs(home)
    config_port, relay_port = rb.free_port(), rb.free_port()
    with open(os.path.join(home, "kvoomxsvr.conf"), "w") as f:
        f.write("<root>\n<configport>%x</configport>\n"
                "<controller0><httpport>%x</httpport></controller0>\n</root>\n" % (config_port, relay_port))
    procs = []
    rows = []
    try:
        svc = start_service(bin_dir, scratch, driver, home, 1, procs)
        rb.wait_for(lambda: rb.port_open(relay_port), 15, "relay port open")

        for size in SIZES:
            count = max(3, args.count if size < 16777216 else args.count // 4)
            # Alternating rounds; the median ratio is reported.
            pairs = []
            for _ in range(args.rounds):
                floor, _ = floor_exchange(bin_dir, size, count)
                relay = relay_exchanges(relay_port, "/bench/%d" % size, count)
                pairs.append((floor / relay, relay, floor))
            rows.append(("/bench/%d" % size,) + sorted(pairs)[len(pairs) // 2][1:])

        control(driver, "delay 0 3")
        reads0, empty0 = web_reads(driver)
        relay = relay_exchanges(relay_port, "/bench/1024", args.small_count)
        reads1, empty1 = web_reads(driver)
        floor, _ = floor_exchange(bin_dir, 1024, args.small_count, 3)
        per_request = None
        if reads0 is not None:
            n = args.small_count + 1
            per_request = ((reads1 - reads0) / n, (empty1 - empty0) / n)
    finally:
        stop_all(procs)
        shutil.rmtree(scratch, ignore_errors=True)

    print("Relay against its floor (kvoIO with no sleeps), one run, loadavg %.2f" % os.getloadavg()[0])
    for path, relay_ms, floor_ms in rows:
        print("  %-18s relay %9.2f ms  floor %9.2f ms  relay/floor throughput %.2f"
              % (path, relay_ms, floor_ms, floor_ms / relay_ms))
    print("  /bench/1024, firmware 3 ms late: relay %.2f ms  floor %.2f ms  relay/floor time %.2fx"
          % (relay, floor, relay / floor))
    if per_request:
        print("  driver reads per relayed request: %.1f, of them empty %.1f" % per_request)
    return 0


if __name__ == "__main__":
    sys.exit(main())
