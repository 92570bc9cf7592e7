#!/usr/bin/env python3
"""scripts/install-deps.sh on a machine where nothing is installed, with the package
tools (dpkg-query, apt-get, sudo, debconf-set-selections) replaced by recorders on
PATH: as root it runs apt-get itself, as a normal user through sudo; `run` installs
only what building and running need, `test` adds the test peers with postfix's
debconf answers preseeded; nothing missing means no apt-get at all."""
import os
import shutil
import stat
import subprocess
import sys
import tempfile

root = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
failures = []


def check(cond, message):
    if not cond:
        failures.append(message)


RECORDER = r"""#!/bin/sh
# Records its name, arguments and standard input (debconf answers) in $REC_LOG.
name=$(basename "$0")
{ printf '%s uid=%s' "$name" "$(id -u)"; for a in "$@"; do printf ' %s' "$a"; done; echo; } >> "$REC_LOG"
case "$name" in
  debconf-set-selections) sed 's/^/  stdin: /' >> "$REC_LOG" ;;
  dpkg-query)
    pkg=$(eval echo \${$#})
    for p in $FAKE_INSTALLED; do [ "$p" = "$pkg" ] && { printf 'install ok installed'; exit 0; }; done
    echo "dpkg-query: no packages found matching $pkg" >&2; exit 1 ;;
  sudo)
    while [ $# -gt 0 ]; do case "$1" in -*) shift ;; *) break ;; esac; done
    exec "$@" ;;
esac
exit 0
"""


def make_sandbox():
    """A copy of the script and its lists, readable by anyone, and the recorders."""
    top = tempfile.mkdtemp(prefix="install-deps-")
    os.chmod(top, 0o755)
    tree = os.path.join(top, "tree")
    shutil.copytree(os.path.join(root, "scripts"), os.path.join(tree, "scripts"))
    tools = os.path.join(top, "tools")
    os.makedirs(tools)
    for tool in ("dpkg-query", "apt-get", "sudo", "debconf-set-selections"):
        path = os.path.join(tools, tool)
        with open(path, "w") as f:
            f.write(RECORDER)
        os.chmod(path, 0o755)
    for dirpath, dirs, files in os.walk(top):
        for d in dirs:
            os.chmod(os.path.join(dirpath, d), 0o755)
        for f in files:
            p = os.path.join(dirpath, f)
            os.chmod(p, os.stat(p).st_mode | stat.S_IROTH | stat.S_IRGRP)
    return top, tree, tools


def run_installer(mode, as_user, installed=""):
    top, tree, tools = make_sandbox()
    log = os.path.join(top, "record.log")
    open(log, "w").close()
    os.chmod(log, 0o666)
    env = {"PATH": tools + ":/usr/bin:/bin", "REC_LOG": log, "FAKE_INSTALLED": installed,
           "HOME": "/tmp", "LANG": "C"}
    cmd = ["bash", os.path.join(tree, "scripts", "install-deps.sh"), mode]
    if as_user:
        cmd = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + cmd
    p = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       text=True, timeout=60)
    with open(log) as f:
        lines = f.read().splitlines()
    shutil.rmtree(top)
    return p.returncode, p.stdout, lines


def installed_packages(lines):
    pkgs = set()
    for line in lines:
        words = line.split()
        if words and words[0] == "apt-get" and "install" in words:
            pkgs.update(w for w in words[words.index("install") + 1:] if not w.startswith("-"))
    return pkgs


def list_packages(name):
    with open(os.path.join(root, "scripts", "deps.d", name)) as f:
        return {w for line in f for w in line.split("#")[0].split()}


run_set = list_packages("build.list")
peers = {"postfix", "chromium", "snmptrapd", "googletest"}
is_root = os.geteuid() == 0
cases = [(False, "root")] if is_root else []
cases.append((True, "user") if is_root else (False, "user"))

for as_user, who in cases:
    user = who == "user"
    for mode in ("run", "test"):
        code, out, lines = run_installer(mode, as_user)
        tag = "%s/%s" % (who, mode)
        check(code == 0, "%s: exit %d\n%s" % (tag, code, out))
        check("command not found" not in out, "%s: %s" % (tag, out))
        pkgs = installed_packages(lines)
        check(run_set <= pkgs, "%s: missing run packages %s" % (tag, run_set - pkgs))
        if mode == "run":
            check(not (pkgs & peers), "%s: run installs test packages %s" % (tag, pkgs & peers))
        else:
            check(peers <= pkgs, "%s: test lacks %s" % (tag, peers - pkgs))
            answers = [l for l in lines if "stdin: postfix postfix/main_mailer_type" in l]
            check(answers, "%s: postfix not preseeded\n%s" % (tag, "\n".join(lines)))
            first_debconf = next((i for i, l in enumerate(lines) if "debconf-set-selections" in l), None)
            first_install = next((i for i, l in enumerate(lines)
                                  if l.startswith("apt-get") and " install " in l), None)
            check(None not in (first_debconf, first_install) and first_debconf < first_install,
                  "%s: no preseeding before the install" % tag)
        root_tools = [l for l in lines if l.split()[0] in ("apt-get", "debconf-set-selections")]
        check(root_tools, "%s: no package tool ran" % tag)
        sudo_calls = [l for l in lines if l.startswith("sudo ")]
        if user:
            # Every root tool is reached through sudo, which the recorder logged first.
            check(len(sudo_calls) == len(root_tools), "%s: tools not through sudo\n%s" % (tag, "\n".join(lines)))
            check(all("apt-get" in l or "debconf-set-selections" in l for l in sudo_calls), tag)
        else:
            check(not sudo_calls, "%s: root used sudo\n%s" % (tag, "\n".join(lines)))
            check(all(" uid=0" in l for l in root_tools), tag)
        check(any("DEBIAN_FRONTEND=noninteractive" in l for l in sudo_calls) or not user,
              "%s: sudo loses the non-interactive front end" % tag)

    # Everything already there: nothing is installed, nothing asks for sudo.
    everything = " ".join(sorted(set().union(*(list_packages(n) for n in
                                  os.listdir(os.path.join(root, "scripts", "deps.d")) if n.endswith(".list")))))
    code, out, lines = run_installer("test", as_user, installed=everything)
    check(code == 0, "%s/installed: exit %d %s" % (who, code, out))
    check(not [l for l in lines if not l.startswith("dpkg-query")], "%s/installed: %s" % (who, lines))

code, out, _ = run_installer("bogus", False)
check(code != 0 and "unknown mode" in out, "bogus mode accepted: %s" % out)

if failures:
    print("\n".join("FAIL: " + f for f in failures))
    sys.exit(1)
print("install-deps: %d cases passed" % (len(cases) * 3 + 1))
