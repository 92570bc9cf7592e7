#!/usr/bin/env python3
"""How long SIGTERM waits for open connections: the real service in front of
kvoctlsim with one controller. For each case it prints how long after SIGTERM
the client's connection was cut and when the process ended:
  * a relay download in progress that the client stops reading (a stalled browser);
  * an idle keep-alive connection to the configuration server;
  * an idle relay connection.

Usage: bench/shutdown_bench.py [BUILD_DIR]
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
from benchnet import free_port, port_open, wait_for


def cut_after(sock, start, limit=120):
    """Seconds from `start` until the peer ends the connection (reading and
    dropping whatever arrives), or None."""
    sock.settimeout(0.05)
    end = start + limit
    got = 0
    while time.monotonic() < end:
        try:
            chunk = sock.recv(1 << 16)
            if not chunk:
                return time.monotonic() - start, got
            got += len(chunk)
        except socket.timeout:
            continue
        except OSError:
            return time.monotonic() - start, got
    return None, got


def run_case(bin_dir, name, connect):
    scratch = tempfile.mkdtemp(prefix="kvo-shutdown-")
    home, driver = os.path.join(scratch, "home"), os.path.join(scratch, "driver")
    os.makedirs(os.path.join(home, "webguiroot"))
    os.makedirs(driver)
    config_port, relay_port = free_port(), free_port()
    with open(os.path.join(home, "kvoomxsvr.conf"), "w") as f:
        f.write("<root>\n<configport>%x</configport>\n"
                "<controller0><httpport>%x</httpport></controller0>\n</root>\n" % (config_port, relay_port))
    sim = subprocess.Popen([os.path.join(bin_dir, "kvoctlsim"), "--dir", driver, "--controllers", "1"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    svc = None
    try:
        wait_for(lambda: os.path.exists(os.path.join(driver, "control")), 10, "the simulator")
        env = dict(os.environ, KVOOMX_HOME=home, KVOOMX_DRIVER_DIR=driver)
        svc = subprocess.Popen([os.path.join(bin_dir, "kvoomxsvr"), "-NODAEMON"], cwd=scratch, env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: port_open(config_port) and port_open(relay_port), 15, "the service's ports")
        sock = connect(config_port, relay_port)
        time.sleep(0.5)
        start = time.monotonic()
        svc.send_signal(signal.SIGTERM)
        cut, got = cut_after(sock, start)
        svc.wait(timeout=180)
        ended = time.monotonic() - start
        sock.close()
        print("%-44s connection cut after %s s (%d bytes still delivered), process ended after %.1f s"
              % (name, "%.1f" % cut if cut is not None else "never", got, ended))
    finally:
        for p in (svc, sim):
            if p and p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(scratch, ignore_errors=True)


def stalled_download(config_port, relay_port):
    s = socket.create_connection(("127.0.0.1", relay_port))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.sendall(b"GET /bench/268435456 HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n")
    s.recv(4096)  # the download has begun; from now on nothing is read
    return s


def idle_config(config_port, relay_port):
    s = socket.create_connection(("127.0.0.1", config_port))
    s.sendall(b"GET /xsl/none.xsl HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n"[:10])  # half a request
    return s


def idle_relay(config_port, relay_port):
    return socket.create_connection(("127.0.0.1", relay_port))


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
    bin_dir = os.path.join(build, "bin")
    run_case(bin_dir, "relay download, client stopped reading:", stalled_download)
    run_case(bin_dir, "configuration server, request half sent:", idle_config)
    run_case(bin_dir, "relay connection, idle:", idle_relay)
    run_case(bin_dir, "both servers, one idle client each:",
             lambda c, r: (idle_config(c, r), idle_relay(c, r))[1])


if __name__ == "__main__":
    main()
