#!/usr/bin/env python3
"""make install's rules and the Debian package, from the configured build tree:
a DESTDIR install lays out the programs, web root, error pages and the unit and
leaves existing settings files alone (also when run again); the unit passes
systemd-analyze verify; the package shows its files and dependencies and installs
into a throw-away root, creating the service user there."""
import os
import shutil
import subprocess
import sys
import tempfile

build = os.path.abspath(sys.argv[1])
failures = []


def check(cond, message):
    if not cond:
        failures.append(message)


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=300, **kw)


def cache_value(name):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    return ""


prefix = cache_value("CMAKE_INSTALL_PREFIX")
work = tempfile.mkdtemp(prefix="install-", dir=os.path.join(build, "testtmp")
                        if os.path.isdir(os.path.join(build, "testtmp")) else None)
dest = os.path.join(work, "dest")
home = dest + prefix + "/share/kvoomx"
os.makedirs(home)
mine = {"kvoomxsvr.conf": "<root>\n    <configport>1f90</configport>\n</root>\n",
        "kvoomxemail.conf": "<email>administrator's own</email>\n"}
for name, text in mine.items():
    with open(os.path.join(home, name), "w") as f:
        f.write(text)

expected = ["/sbin/kvoomxsvr", "/bin/kvoctlsim", "/share/kvoomx/HTML/fnf.html",
            "/share/kvoomx/HTML/mna.html", "/share/kvoomx/webguiroot/xsl/controllers.xsl",
            "/share/kvoomx/webguiroot/images/logo.gif", "/lib/systemd/system/kvoomxsvr.service",
            "/lib/sysusers.d/kvoomx.conf", "/lib/tmpfiles.d/kvoomx.conf",
            "/lib/udev/rules.d/60-kvoomx-sg.rules"]
for attempt in (1, 2):
    p = run(["cmake", "--install", build], env=dict(os.environ, DESTDIR=dest))
    check(p.returncode == 0, "install %d: %s" % (attempt, p.stdout))
for rel in expected:
    check(os.path.isfile(dest + prefix + rel), "not installed: " + prefix + rel)
check(os.access(dest + prefix + "/sbin/kvoomxsvr", os.X_OK), "kvoomxsvr not executable")
for name, text in mine.items():
    with open(os.path.join(home, name)) as f:
        check(f.read() == text, name + " was overwritten")

# The unit, as installed, with its program looked up inside DESTDIR.
unit = dest + prefix + "/lib/systemd/system/kvoomxsvr.service"
with open(unit) as f:
    unit_text = f.read()
for line in ("ExecStart=%s/sbin/kvoomxsvr -NODAEMON" % prefix, "Restart=on-failure",
             "NoNewPrivileges=yes", "ProtectSystem=strict", "PrivateTmp=yes", "ProtectHome=yes",
             "RestrictAddressFamilies=", "User=kvoomx", "WorkingDirectory=",
             "Environment=KVOOMX_HOME=%s/share/kvoomx" % prefix, "DevicePolicy=closed",
             "DeviceAllow=char-sg rw"):
    check(line in unit_text, "unit lacks " + line)
check_dir = os.path.join(work, "unit")
os.makedirs(check_dir)
with open(os.path.join(check_dir, "kvoomxsvr.service"), "w") as f:
    f.write(unit_text.replace("ExecStart=" + prefix, "ExecStart=" + dest + prefix))
p = run(["systemd-analyze", "verify", "--man=no", os.path.join(check_dir, "kvoomxsvr.service")])
check(p.returncode == 0 and p.stdout.strip() == "", "systemd-analyze verify: %s" % p.stdout)

# The Debian package.
pkg_dir = os.path.join(work, "pkg")
p = run(["cpack", "-G", "DEB", "-B", pkg_dir], cwd=build)
debs = [f for f in os.listdir(pkg_dir) if f.endswith(".deb")] if os.path.isdir(pkg_dir) else []
check(p.returncode == 0 and len(debs) == 1, "cpack: %s" % p.stdout)
if debs:
    deb = os.path.join(pkg_dir, debs[0])
    contents = run(["dpkg-deb", "-c", deb]).stdout
    for rel in expected:
        check(("." + prefix + rel) in contents, "package lacks " + prefix + rel)
    check("kvoomxsvr.conf" not in contents.replace("tmpfiles.d/kvoomx.conf", ""),
          "package ships a settings file")
    depends = run(["dpkg-deb", "-f", deb, "Depends"]).stdout
    for dep in ("systemd", "libsnmp", "libtinyxml", "libc6"):
        check(dep in depends, "Depends lacks %s: %s" % (dep, depends))
    scripts = run(["dpkg-deb", "-I", deb]).stdout
    check("postinst" in scripts, "no postinst")

    if os.geteuid() == 0:
        root = os.path.join(work, "root")
        rp = prefix.lstrip("/")  # the build's prefix, /usr unless configured otherwise
        for d in ("etc", "var/lib/dpkg/info", "var/lib/dpkg/updates", "var/log", rp + "/share/kvoomx"):
            os.makedirs(os.path.join(root, d), exist_ok=True)
        for f in ("status", "available"):
            open(os.path.join(root, "var/lib/dpkg", f), "w").close()
        with open(os.path.join(root, rp, "share/kvoomx/kvoomxsvr.conf"), "w") as f:
            f.write(mine["kvoomxsvr.conf"])
        # Dependencies are the host's business here; the scripts act on this root only.
        p = run(["dpkg", "--root=" + root, "--force-depends", "--force-script-chrootless",
                 "-i", deb])
        check(p.returncode == 0, "dpkg -i into a throw-away root: %s" % p.stdout)
        status = run(["dpkg", "--root=" + root, "-s", "kvoomxsvr"]).stdout
        check("Status: install ok installed" in status, status)
        check(os.path.isfile(os.path.join(root, rp, "sbin/kvoomxsvr")), "not unpacked")
        with open(os.path.join(root, "etc/passwd")) as f:
            check(any(l.startswith("kvoomx:") for l in f), "no kvoomx user in the root")
        with open(os.path.join(root, rp, "share/kvoomx/kvoomxsvr.conf")) as f:
            check(f.read() == mine["kvoomxsvr.conf"], "package install replaced the settings")
        p = run(["dpkg", "--root=" + root, "--force-script-chrootless", "-r", "kvoomxsvr"])
        check(p.returncode == 0, "dpkg -r: %s" % p.stdout)
        check(os.path.isfile(os.path.join(root, rp, "share/kvoomx/kvoomxsvr.conf")),
              "removal took the settings file")

shutil.rmtree(work, ignore_errors=True)
if failures:
    print("\n".join("FAIL: " + f for f in failures))
    sys.exit(1)
print("install and package: passed")
