#!/usr/bin/env python3
"""make run's script end to end: scripts/run.sh starts kvoctlsim and the
service, announces the addresses to open, the relay ports serve the simulated
controllers, and Ctrl-C (SIGINT to the terminal's process group) stops both.
The settings file is written beforehand with free ports; run.sh keeps it."""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

build = os.path.abspath(sys.argv[1])
root = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fail(message, output=""):
    print("FAIL:", message)
    print(output)
    sys.exit(1)


def get(port, path):
    with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=10) as r:
        return r.status, r.read().decode("utf-8", "replace")


os.makedirs(os.path.join(build, "testtmp"), exist_ok=True)
run_dir = tempfile.mkdtemp(prefix="run-", dir=os.path.join(build, "testtmp"))
home = os.path.join(run_dir, "home")
os.makedirs(home)
config_port, port0, port1 = free_port(), free_port(), free_port()
with open(os.path.join(home, "kvoomxsvr.conf"), "w") as f:
    f.write("<root>\n<configport>%x</configport>\n"
            "<controller0><httpport>%x</httpport></controller0>\n"
            "<controller1><httpport>%x</httpport></controller1>\n</root>\n" % (config_port, port0, port1))

log_path = os.path.join(run_dir, "run.log")
log = open(log_path, "w")
env = dict(os.environ, KVO_RUN_DIR=run_dir)
# Its own session and process group, like a terminal's foreground job.
proc = subprocess.Popen(["bash", os.path.join(root, "scripts", "run.sh"), build], stdout=log,
                        stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env, start_new_session=True)


def output():
    with open(log_path) as f:
        return f.read()


try:
    deadline = time.monotonic() + 30
    while "-> Controller1 web UI: http://127.0.0.1:%d/" % port1 not in output():
        if proc.poll() is not None or time.monotonic() > deadline:
            fail("run.sh did not announce the relay ports", output())
        time.sleep(0.05)
    out = output()
    if "-> configuration pages: http://127.0.0.1:%d/" % config_port not in out:
        fail("no configuration server address", out)
    if "-> Controller0 web UI: http://127.0.0.1:%d/" % port0 not in out:
        fail("no address for controller 0", out)
    for port, name in ((port0, "QZQRMController #0"), (port1, "QZQRMController #1")):
        status, body = get(port, "/")
        if status != 200 or name not in body:
            fail("relay port %d did not serve %s" % (port, name), body[:500])
    status, _ = get(config_port, "/common.xsl")
    if status != 200:
        fail("configuration server did not serve the web root")
    if not os.path.isfile(os.path.join(run_dir, "work", "HTML", "fnf.html")):
        fail("error pages were not copied into the working directory")
    if not os.path.isfile(os.path.join(home, "webguiroot", "xsl", "common.xsl")):
        fail("web root was not copied into KVOOMX_HOME")

    os.killpg(proc.pid, signal.SIGINT)  # Ctrl-C
    try:
        rc = proc.wait(timeout=60)
    except subprocess.TimeoutExpired:
        fail("run.sh did not stop after Ctrl-C", output())
    out = output()
    if rc != 0:
        fail("run.sh ended with status %d" % rc, out)
    if "Service and simulator stopped." not in out or "Server is shutting down..." not in out:
        fail("no orderly shutdown", out)
    for port in (config_port, port0, port1):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            fail("port %d still accepts after the stop" % port, out)
        except OSError:
            pass
    if os.path.exists(os.path.join(run_dir, "driver", "control")):
        fail("the simulator is still running", out)
    # The user's settings survive: the ports written beforehand are kept.
    with open(os.path.join(home, "kvoomxsvr.conf")) as f:
        if "%x" % port0 not in f.read():
            fail("settings file was replaced")
    print("run.sh: started, served and stopped cleanly")
finally:
    if proc.poll() is None:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
    try:  # the simulator has its own session: stop it even when run.sh could not
        with open(os.path.join(run_dir, "kvoctlsim.pid")) as f:
            sim_pid = int(f.read())
        with open("/proc/%d/cmdline" % sim_pid, "rb") as f:
            if run_dir.encode() in f.read():
                os.kill(sim_pid, signal.SIGTERM)
    except (OSError, ValueError):
        pass
    subprocess.run(["rm", "-rf", run_dir])
