"""Small helpers the benchmark scripts share: free loopback ports and bounded waits."""
import os
import signal
import socket
import subprocess
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(cond, limit, what):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if cond():
            return
        time.sleep(0.02)
    raise SystemExit("benchmark: %s did not happen within %ss" % (what, limit))


def port_open(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
        return True
    except OSError:
        return False


def program_dir(build, programs=("kvoomxsvr", "kvoctlsim")):
    """The build's bin/ folder, after checking that the programs are built."""
    bin_dir = os.path.join(os.path.abspath(build), "bin")
    for exe in programs:
        if not os.access(os.path.join(bin_dir, exe), os.X_OK):
            raise SystemExit("benchmark: %s/%s is missing; build first" % (bin_dir, exe))
    return bin_dir


def stop_all(procs, timeout=30):
    """SIGTERM to each process, the last started first; SIGKILL when one outlasts `timeout`."""
    for p in reversed(procs):
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
