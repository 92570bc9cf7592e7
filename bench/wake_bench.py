#!/usr/bin/env python3
"""Latency, connection rate and idle cost of the relay and the configuration
server, side by side with their references, in one run:

  * relay small page, kept-alive and on new connections (median, p95);
  * relay /bench/16777216 against the raw readIO ceiling (bench_kvoio_read);
  * configuration server static file (a stylesheet) with and without
    keep-alive at 1 and 4 clients, against lighttpd serving the same file
    (both driven by ab; lighttpd and apache2-utils are installed here if
    missing, never by the tests);
  * a two-field POST of the controllers page against a GET of it;
  * wake-ups and CPU per second of the service with four open idle relay
    connections, against the controller reads the idle schedule makes.

Everything runs on 127.0.0.1: kvoomxsvr -NODAEMON in front of kvoctlsim.
Usage: bench/wake_bench.py [BUILD_DIR] [--requests N] [--ab N] [--idle-window S]
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
from benchnet import stop_all  # noqa: E402
import relay_bench as rb  # noqa: E402

ROOT = rb.ROOT
STATIC = "common.xsl"


def ensure_tools():
    """ab and lighttpd from Debian, installed on first use."""
    missing = [pkg for tool, pkg in (("ab", "apache2-utils"), ("lighttpd", "lighttpd"))
               if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool)]
    if missing:
        sudo = [] if os.geteuid() == 0 else ["sudo"]
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(sudo + ["apt-get", "install", "-y", "--no-install-recommends"] + missing,
                       check=True, env=env)
    lighttpd = shutil.which("lighttpd") or "/usr/sbin/lighttpd"
    return shutil.which("ab"), lighttpd


def ab_rate(ab, url, requests, clients, keep_alive):
    args = [ab, "-q", "-n", str(requests), "-c", str(clients)] + (["-k"] if keep_alive else []) + [url]
    out = subprocess.run(args, capture_output=True, text=True, timeout=600).stdout
    rate = re.search(r"Requests per second:\s+([\d.]+)", out)
    failed = re.search(r"Failed requests:\s+(\d+)", out)
    if not rate:
        raise SystemExit("benchmark: ab gave no rate for %s:\n%s" % (url, out))
    return float(rate.group(1)), int(failed.group(1)) if failed else 0


def start_lighttpd(lighttpd, scratch, docroot, port):
    conf = os.path.join(scratch, "lighttpd.conf")
    with open(conf, "w") as f:
        f.write('server.document-root = "%s"\nserver.port = %d\nserver.bind = "127.0.0.1"\n'
                'server.errorlog = "%s/lighttpd.err"\n'
                'mimetype.assign = (".xsl" => "text/xml", ".gif" => "image/gif")\n'
                % (docroot, port, scratch))
    proc = subprocess.Popen([lighttpd, "-D", "-f", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    rb.wait_for(lambda: rb.port_open(port), 10, "lighttpd start")
    return proc


def page_exchange(port, payload):
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.sendall(payload)
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    return data


def timed_pages(port, payloads, rounds):
    times = []
    for i in range(rounds):
        t0 = time.perf_counter()
        answer = page_exchange(port, payloads[i % len(payloads)])
        times.append((time.perf_counter() - t0) * 1000.0)
        if not answer.startswith(b"HTTP/1.0 200"):
            raise SystemExit("benchmark: page answer was %r" % answer[:60])
    return times


def post(path, body):
    return ("POST %s HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
            "Content-Length: %d\r\n\r\n%s" % (path, len(body), body)).encode()


def process_counters(pid):
    """({thread: context switches}, CPU seconds) of a process."""
    switches = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        switches[tid] = switches.get(tid, 0) + int(line.split()[1])
        except FileNotFoundError:
            pass
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return switches, cpu


def sim_transfers(driver):
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(os.path.join(driver, "control"))
        s.sendall(b"stats 0\n")
        answer = s.recv(4096).decode()
    return int(re.search(r"transfers=(\d+)", answer).group(1))


def idle_cost(pid, relay_port, driver, window):
    """Four idle relay connections, measured once their reads are 800 ms apart."""
    conns = []
    for _ in range(4):
        s = socket.create_connection(("127.0.0.1", relay_port))
        s.sendall(rb.request("/bench/16"))
        rb.read_answer(s)
        conns.append(s)
    # 61 polls of 20 ms, then 40 ms up to 800 ms: about 17.6 s of ramp.
    time.sleep(19.0)
    sw0, cpu0 = process_counters(pid)
    tr0 = sim_transfers(driver)
    t0 = time.monotonic()
    time.sleep(window)
    elapsed = time.monotonic() - t0
    sw1, cpu1 = process_counters(pid)
    tr1 = sim_transfers(driver)
    for s in conns:
        s.close()
    per_thread = sorted(((sw1[t] - sw0.get(t, 0)) / elapsed for t in sw1), reverse=True)
    per_thread = [r for r in per_thread if r > 0.05]
    return sum(per_thread), (tr1 - tr0) / elapsed, (cpu1 - cpu0) / elapsed * 100.0, per_thread


def slot_wait(relay_port):
    """Five browsers keep their relay connections open and idle; how long a
    sixth waits for its answer, counted from the five's last answers."""
    held = []
    for _ in range(5):
        s = socket.create_connection(("127.0.0.1", relay_port))
        s.sendall(rb.request("/bench/16"))
        rb.read_answer(s)
        held.append(s)
    t0 = time.perf_counter()
    with socket.create_connection(("127.0.0.1", relay_port)) as s:
        s.sendall(rb.request("/bench/16"))
        rb.read_answer(s)
    waited = time.perf_counter() - t0
    for s in held:
        s.close()
    return waited


def relay_works(relay_port):
    try:
        with socket.create_connection(("127.0.0.1", relay_port), timeout=2) as s:
            s.settimeout(2)
            s.sendall(rb.request("/bench/16", keep_alive=False))
            head = s.recv(64)
            return head.startswith(b"HTTP/1.") and b" 200 " in head
    except OSError:
        return False


def driver_comeback(sim_cmd, sim, relay_port, gone):
    """Kills the simulator under a relay request, brings it back after `gone`
    seconds and times how long the relay then takes to serve again."""
    sim.kill()
    sim.wait()
    relay_works(relay_port)  # fails: "Failed to reset driver port."
    time.sleep(gone)
    new_sim = subprocess.Popen(sim_cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    t0 = time.perf_counter()
    rb.wait_for(lambda: relay_works(relay_port), 30, "relay back after the driver returned")
    return time.perf_counter() - t0, new_sim


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    ap.add_argument("--requests", type=int, default=400)
    ap.add_argument("--fresh", type=int, default=100)
    ap.add_argument("--bytes", type=int, default=16777216)
    ap.add_argument("--ab", type=int, default=4000)
    ap.add_argument("--pages", type=int, default=60)
    ap.add_argument("--idle-window", type=float, default=20.0)
    args = ap.parse_args()
    bin_dir = rb.program_dir(args.build)
    ab, lighttpd = ensure_tools()

    scratch = tempfile.mkdtemp(prefix="wake-", dir="/tmp")
    driver = os.path.join(scratch, "driver")
    home = os.path.join(scratch, "home")
    os.makedirs(driver)
    os.makedirs(home)
    shutil.copytree(os.path.join(ROOT, "share", "webguiroot"), os.path.join(home, "webguiroot"))
    shutil.copytree(os.path.join(ROOT, "share", "HTML"), os.path.join(scratch, "HTML"))
    config_port, relay_port, lighttpd_port = rb.free_port(), rb.free_port(), rb.free_port()
    with open(os.path.join(home, "kvoomxsvr.conf"), "w") as f:
        f.write("<root>\n<configport>%x</configport>\n"
                "<controller0><httpport>%x</httpport></controller0>\n</root>\n" % (config_port, relay_port))

    procs = []
    results = {}
    try:
        sim_cmd = [os.path.join(bin_dir, "kvoctlsim"), "--dir", driver, "--controllers", "1"]
        sim = subprocess.Popen(sim_cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(sim)
        rb.wait_for(lambda: os.path.exists(os.path.join(driver, "control")), 10, "simulator start")
        env = dict(os.environ, KVOOMX_HOME=home, KVOOMX_DRIVER_DIR=driver)
        log = open(os.path.join(scratch, "kvoomxsvr.log"), "w")
        svc = subprocess.Popen([os.path.join(bin_dir, "kvoomxsvr"), "-NODAEMON"], cwd=scratch, env=env,
                               stdout=log, stderr=subprocess.STDOUT)
        procs.append(svc)
        rb.wait_for(lambda: rb.port_open(relay_port) and rb.port_open(config_port), 15, "service ports open")
        light = start_lighttpd(lighttpd, scratch, os.path.join(home, "webguiroot", "xsl"), lighttpd_port)
        procs.append(light)

        small = "/overview.html"
        results["kept"] = rb.kept_alive_round_trips(relay_port, args.requests, small)
        results["fresh"] = rb.fresh_connection_round_trips(relay_port, args.fresh, small)
        results["bulk"] = rb.relay_throughput(relay_port, args.bytes, 3)

        for keep in (False, True):
            for clients in (1, 4):
                for name, port in (("svc", config_port), ("lighttpd", lighttpd_port)):
                    url = "http://127.0.0.1:%d/%s" % (port, STATIC)
                    results[(name, keep, clients)] = ab_rate(ab, url, args.ab, clients, keep)

        get = b"GET /controllers.cgi HTTP/1.0\r\n\r\n"
        posts = [post("/controllers.cgi", "controller_httpport_0=%d&controller_cliport_0=%d" % (relay_port, p))
                 for p in (7413, 7414)]
        timed_pages(config_port, [get] + posts, 6)  # warm-up
        results["get"] = timed_pages(config_port, [get], args.pages)
        results["post"] = timed_pages(config_port, posts, args.pages)

        results["slot"] = slot_wait(relay_port)
        results["idle"] = idle_cost(svc.pid, relay_port, driver, args.idle_window)
        results["comeback"], new_sim = driver_comeback(sim_cmd, sim, relay_port, 8.0)
        procs.append(new_sim)
    finally:
        stop_all(procs)
    raw, raw_text = rb.raw_readio_ceiling(bin_dir, args.bytes)
    shutil.rmtree(scratch, ignore_errors=True)

    kept, fresh = results["kept"], results["fresh"]
    print("Wake-up benchmark (kvoomxsvr + kvoctlsim, 1 controller, loopback, one run)")
    print("relay, small page %s:" % small)
    print("  kept-alive, %d requests:   median %.2f ms  p95 %.2f ms   (goal < 1 ms median)"
          % (len(kept), statistics.median(kept), rb.percentile(kept, 95)))
    print("  new connections, %d:       median %.2f ms  p95 %.2f ms   (goal < 3 ms median)"
          % (len(fresh), statistics.median(fresh), rb.percentile(fresh, 95)))
    best = max(results["bulk"])
    if raw is None:
        print("relay /bench/%d: %.1f MB/s; raw readIO ceiling not available (%s)" % (args.bytes, best, raw_text))
    else:
        print("relay /bench/%d: %.1f MB/s, raw readIO ceiling %.1f MB/s, ratio %.2f   (goal >= 0.9)"
              % (args.bytes, best, raw, best / raw))
    print("configuration server /%s vs lighttpd, ab -n %d (requests/s):" % (STATIC, args.ab))
    for keep in (False, True):
        for clients in (1, 4):
            svc, svc_failed = results[("svc", keep, clients)]
            ref, ref_failed = results[("lighttpd", keep, clients)]
            goal = "" if clients != 4 else ("   (goal >= 0.5)" if keep else "   (goal >= 0.1)")
            print("  %-13s %d client%s: service %8.0f  lighttpd %8.0f  ratio %.2f%s%s"
                  % ("keep-alive" if keep else "no keep-alive", clients, " " if clients == 1 else "s",
                     svc, ref, svc / ref, goal,
                     "  [failed: %d/%d]" % (svc_failed, ref_failed) if svc_failed or ref_failed else ""))
    g, p = statistics.median(results["get"]), statistics.median(results["post"])
    print("controllers page: GET median %.2f ms, two-field POST median %.2f ms, POST/GET %.1f"
          % (g, p, p / g))
    print("a sixth relay browser behind five idle keep-alive connections waited %.2f s"
          % results["slot"])
    print("relay serving again %.2f s after the driver came back (it was gone 8 s)" % results["comeback"])
    wakeups, reads, cpu, per_thread = results["idle"]
    print("four idle relay connections (after the ramp), %.0f s window:" % args.idle_window)
    print("  wake-ups (context switches) %.1f/s, controller transfers %.2f/s, CPU %.2f %% of a core"
          % (wakeups, reads, cpu))
    print("  scheduled reads at 800 ms: %.2f/s; each read is 3 driver round trips (selector 0, 2, 1)"
          % (4 / 0.8))
    print("  wake-ups per transfer %.1f (a read costs its timer wake-up plus 3 driver replies)"
          % (wakeups / reads if reads else float("nan")))
    print("  per thread (/s): " + ", ".join("%.2f" % r for r in per_thread))
    return 0


if __name__ == "__main__":
    sys.exit(main())
