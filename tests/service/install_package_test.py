#!/usr/bin/env python3
"""make install's rules and the Debian packages, from the configured build tree:
a DESTDIR install lays out the programs, their manual pages, the read-only web
root and error pages, the unit and its rules, and writes no settings file; the
unit passes systemd-analyze verify; both packages pass lintian without errors or
warnings, with stripped programs; as root, the packages install into a
throw-away root (user and state folder created there, older settings moved out
of /usr), and removal keeps the settings while purge removes them, the user
staying; a reinstall after the purge works."""
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


def read(path):
    with open(path) as f:
        return f.read()


prefix = cache_value("CMAKE_INSTALL_PREFIX")
state = "/var/lib/kvoomx" if prefix == "/usr" else prefix + "/var/lib/kvoomx"
work = tempfile.mkdtemp(prefix="install-", dir=os.path.join(build, "testtmp")
                        if os.path.isdir(os.path.join(build, "testtmp")) else None)
dest = os.path.join(work, "dest")

service_files = ["/sbin/kvoomxsvr", "/share/kvoomx/HTML/fnf.html", "/share/kvoomx/HTML/mna.html",
                 "/share/kvoomx/webguiroot/xsl/controllers.xsl",
                 "/share/kvoomx/webguiroot/images/logo.gif", "/lib/systemd/system/kvoomxsvr.service",
                 "/lib/sysusers.d/kvoomx.conf", "/lib/tmpfiles.d/kvoomx.conf",
                 "/share/man/man8/kvoomxsvr.8.gz", "/share/doc/kvoomxsvr/copyright",
                 "/share/doc/kvoomxsvr/changelog.Debian.gz", "/lib/udev/rules.d/60-kvoomx-sg.rules"]
simulator_files = ["/bin/kvoctlsim", "/share/man/man1/kvoctlsim.1.gz",
                   "/share/doc/kvoctlsim/copyright", "/share/doc/kvoctlsim/changelog.Debian.gz"]
for attempt in (1, 2):
    p = run(["cmake", "--install", build], env=dict(os.environ, DESTDIR=dest))
    check(p.returncode == 0, "install %d: %s" % (attempt, p.stdout))
for rel in service_files + simulator_files:
    check(os.path.isfile(dest + prefix + rel), "not installed: " + prefix + rel)
check(os.access(dest + prefix + "/sbin/kvoomxsvr", os.X_OK), "kvoomxsvr not executable")
for top, _, names in os.walk(dest):
    for name in names:
        check(name not in ("kvoomxsvr.conf", "kvoomxemail.conf") or "sysusers" in top
              or "tmpfiles" in top, "a settings file was installed: " + os.path.join(top, name))

# The unit, as installed, with its program looked up inside DESTDIR.
unit = dest + prefix + "/lib/systemd/system/kvoomxsvr.service"
unit_text = read(unit)
for line in ("ExecStart=%s/sbin/kvoomxsvr -NODAEMON --journal" % prefix, "Restart=on-failure",
             "NoNewPrivileges=yes", "ProtectSystem=strict", "PrivateTmp=yes", "ProtectHome=yes",
             "RestrictAddressFamilies=", "User=kvoomx", "StateDirectory=kvoomx",
             "WorkingDirectory=" + state, "Environment=KVOOMX_HOME=" + state,
             "DevicePolicy=closed", "DeviceAllow=char-sg rw"):
    check(line in unit_text, "unit lacks " + line)
check("ReadWritePaths=" + prefix not in unit_text, "the unit lets the service write under " + prefix)
tmpfiles = read(dest + prefix + "/lib/tmpfiles.d/kvoomx.conf")
rules = [l for l in tmpfiles.splitlines() if l and not l.startswith("#")]
check(not any(l.split()[0] in ("z", "Z") for l in rules), "tmpfiles sets file modes: " + tmpfiles)
check(not any(prefix + "/share" in l for l in rules), "tmpfiles touches " + prefix + "/share")
check_dir = os.path.join(work, "unit")
os.makedirs(check_dir)
with open(os.path.join(check_dir, "kvoomxsvr.service"), "w") as f:
    f.write(unit_text.replace("ExecStart=" + prefix, "ExecStart=" + dest + prefix))
p = run(["systemd-analyze", "verify", "--man=no", os.path.join(check_dir, "kvoomxsvr.service")])
check(p.returncode == 0 and p.stdout.strip() == "", "systemd-analyze verify: %s" % p.stdout)

# The Debian packages.
pkg_dir = os.path.join(work, "pkg")
p = run(["cpack", "-G", "DEB", "-B", pkg_dir], cwd=build)
files = os.listdir(pkg_dir) if os.path.isdir(pkg_dir) else []
debs = {f.split("_")[0]: os.path.join(pkg_dir, f) for f in files if f.endswith(".deb")}
check(p.returncode == 0 and set(debs) == {"kvoomxsvr", "kvoctlsim"}, "cpack: %s %s" % (files, p.stdout))
check(any(f.startswith("kvoomxsvr-dbgsym_") for f in files), "no debug symbols package: %s" % files)
for name, deb in debs.items():
    p = run(["lintian", "--fail-on", "error,warning", "--no-tag-display-limit", deb])
    check(p.returncode == 0 and not any(l[:2] in ("E:", "W:") for l in p.stdout.splitlines()),
          "lintian %s:\n%s" % (name, p.stdout))
if "kvoomxsvr" in debs:
    deb = debs["kvoomxsvr"]
    contents = run(["dpkg-deb", "-c", deb]).stdout
    for rel in service_files:
        check(("." + prefix + rel) in contents, "package lacks " + prefix + rel)
    check("kvoctlsim" not in contents.replace("kvoctlsim(1)", ""), "the service package ships the simulator")
    depends = run(["dpkg-deb", "-f", deb, "Depends"]).stdout
    for dep in ("systemd", "libsnmp", "libtinyxml", "libc6"):
        check(dep in depends, "Depends lacks %s: %s" % (dep, depends))
    maintainer = run(["dpkg-deb", "-f", deb, "Maintainer"]).stdout
    check("localhost" not in maintainer, "maintainer: " + maintainer)

if os.geteuid() == 0 and set(debs) == {"kvoomxsvr", "kvoctlsim"}:
    root = os.path.join(work, "root")
    rp = prefix.lstrip("/")
    for d in ("etc", "var/lib/dpkg/info", "var/lib/dpkg/updates", "var/log", rp + "/share/kvoomx"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    for f in ("status", "available"):
        open(os.path.join(root, "var/lib/dpkg", f), "w").close()
    # Settings an earlier version wrote under /usr: moved to the state folder.
    old = "<root>\n    <configport>1f90</configport>\n</root>\n"
    with open(os.path.join(root, rp, "share/kvoomx/kvoomxsvr.conf"), "w") as f:
        f.write(old)
    host_link = "/etc/systemd/system/multi-user.target.wants/kvoomxsvr.service"
    host_had_link = os.path.lexists(host_link)
    dpkg = ["dpkg", "--root=" + root, "--force-depends", "--force-script-chrootless"]
    state_dir = root + state
    wants = root + "/etc/systemd/system/multi-user.target.wants/kvoomxsvr.service"

    def installed(what):
        status = run(["dpkg", "--root=" + root, "-s", what]).stdout
        return "Status: install ok installed" in status

    for round_ in ("first install", "reinstall after purge"):
        p = run(dpkg + ["-i", debs["kvoomxsvr"], debs["kvoctlsim"]])
        check(p.returncode == 0, "%s: dpkg -i: %s" % (round_, p.stdout))
        check(installed("kvoomxsvr") and installed("kvoctlsim"), round_ + ": not installed")
        check(os.path.isfile(os.path.join(root, rp, "sbin/kvoomxsvr")), round_ + ": not unpacked")
        check(any(l.startswith("kvoomx:") for l in read(root + "/etc/passwd").splitlines()),
              round_ + ": no kvoomx user in the root")
        check(os.path.isdir(state_dir), round_ + ": no state folder " + state)
        check(os.path.lexists(wants), round_ + ": the unit is not enabled in the root")
        if round_ == "first install":
            check(os.path.isfile(state_dir + "/kvoomxsvr.conf")
                  and read(state_dir + "/kvoomxsvr.conf") == old, "old settings not moved")
            check(not os.path.exists(os.path.join(root, rp, "share/kvoomx/kvoomxsvr.conf")),
                  "old settings left under /usr")
        with open(state_dir + "/kvoomxemail.conf", "w") as f:
            f.write("<root/>\n")
        p = run(dpkg + ["-r", "kvoomxsvr"])
        check(p.returncode == 0, "%s: dpkg -r: %s" % (round_, p.stdout))
        check(os.path.isfile(state_dir + "/kvoomxemail.conf"), round_ + ": removal took the settings")
        p = run(dpkg + ["-P", "kvoomxsvr"])
        check(p.returncode == 0, "%s: dpkg -P: %s" % (round_, p.stdout))
        check(not os.path.exists(state_dir), round_ + ": purge left " + state)
        check(not os.path.lexists(wants), round_ + ": purge left the unit enabled")
        check(any(l.startswith("kvoomx:") for l in read(root + "/etc/passwd").splitlines()),
              round_ + ": purge removed the user")
        check(installed("kvoctlsim"), round_ + ": the simulator went with the service")
    check(os.path.lexists(host_link) == host_had_link, "the host's systemd state was changed")

shutil.rmtree(work, ignore_errors=True)
if failures:
    print("\n".join("FAIL: " + f for f in failures))
    sys.exit(1)
print("install and packages: passed")
