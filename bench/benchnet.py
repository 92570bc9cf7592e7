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


def start_service(bin_dir, scratch, driver, home, controllers, procs):
    """kvoctlsim with `controllers` controllers in `driver`, then kvoomxsvr -NODAEMON
    with KVOOMX_HOME=`home`, run from `scratch`; both appended to `procs` (for
    stop_all). Returns the service's process; its ports are the caller's to await."""
    sim = subprocess.Popen([os.path.join(bin_dir, "kvoctlsim"), "--dir", driver, "--controllers", str(controllers)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    procs.append(sim)
    wait_for(lambda: os.path.exists(os.path.join(driver, "control")), 10, "simulator start")
    env = dict(os.environ, KVOOMX_HOME=home, KVOOMX_DRIVER_DIR=driver)
    svc = subprocess.Popen([os.path.join(bin_dir, "kvoomxsvr"), "-NODAEMON"], cwd=scratch, env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    procs.append(svc)
    return svc
