#!/usr/bin/env python3
"""The configuration pages in a real browser.

Runs kvoomxsvr against two simulated controllers, opens its configuration
server in headless Chromium (driven over --remote-debugging-pipe), checks that
the transformed controllers page shows each controller's ports, changes one
port with the keyboard and checks that the stored setting changed. On the
SNMP page it sets two trap receivers and the level boxes, sees them again
after a reload and sends a test trap to snmptrapd; on the e-mail page it sets
the SMTP account of the postfix test peer, adds two recipients, deletes one
and sends test mails (accepted, and refused for a wrong password). Then the
SNMP and e-mail stylesheets render sample documents of their pages. Fields
are found by name and forms submitted with their buttons, so the checks hold
whether the browser or the service applies the stylesheet. Every socket is
on 127.0.0.1; screenshots are kept in the artefact folder.

usage: pages_browser_test.py BIN_DIR SOURCE_DIR ARTEFACT_DIR SCRATCH_DIR
"""
import base64
import ctypes
import functools
import http.server
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET

LIMIT = 20.0  # seconds for any single awaited condition


def die_with_parent():
    """In a child before exec: end when this test ends, however it ends."""
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(cond, what, limit=LIMIT):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if cond():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


class Check:
    def __init__(self):
        self.failures = []
        self.passed = 0
        self.start = time.monotonic()

    def __call__(self, ok, what):
        stamp = "[%5.1fs] " % (time.monotonic() - self.start)
        if ok:
            self.passed += 1
            print(stamp + "ok   " + what)
        else:
            self.failures.append(what)
            print(stamp + "FAIL " + what)


class Chromium:
    """A headless Chromium driven through the DevTools protocol on a pipe."""

    def __init__(self, profile):
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()
        args = [
            "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--no-default-browser-check", "--disable-domain-reliability",
            "--disable-client-side-phishing-detection", "--hide-scrollbars",
            # Nothing but the loopback address can be reached by name.
            "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1",
            "--user-data-dir=" + profile, "--remote-debugging-pipe", "--window-size=1200,900",
            "about:blank",
        ]

        def wire_pipes():
            die_with_parent()
            os.dup2(to_browser_r, 3)
            os.dup2(from_browser_w, 4)

        self.proc = subprocess.Popen(args, preexec_fn=wire_pipes, pass_fds=(3, 4),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     close_fds=True)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buffer = b""
        self.next_id = 0
        self.events = []
        self.session = None

    def _read_message(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("the browser did not answer in time")
            ready, _, _ = select.select([self.from_browser], [], [], left)
            if ready:
                chunk = os.read(self.from_browser, 65536)
                if not chunk:
                    raise AssertionError("the browser closed its pipe")
                self.buffer += chunk
        raw, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(raw)

    def call(self, method, params=None, session=True):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            msg["sessionId"] = self.session
        os.write(self.to_browser, json.dumps(msg).encode() + b"\0")
        deadline = time.monotonic() + LIMIT
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise AssertionError("%s failed: %s" % (method, reply["error"]))
                return reply.get("result", {})
            self.events.append(reply)

    def wait_event(self, method):
        deadline = time.monotonic() + LIMIT
        while True:
            for i, ev in enumerate(self.events):
                if ev.get("method") == method:
                    del self.events[i]
                    return ev.get("params", {})
            self.events.append(self._read_message(deadline))

    def open_page(self):
        target = self.call("Target.createTarget", {"url": "about:blank"}, session=False)
        attached = self.call("Target.attachToTarget",
                             {"targetId": target["targetId"], "flatten": True}, session=False)
        self.session = attached["sessionId"]
        self.call("Page.enable")
        self.call("Runtime.enable")

    def navigate(self, url):
        self.events = [e for e in self.events if e.get("method") != "Page.loadEventFired"]
        self.call("Page.navigate", {"url": url})
        self.wait_event("Page.loadEventFired")

    def js(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in result:
            raise AssertionError("script failed: %s" % result["exceptionDetails"])
        return result["result"].get("value")

    def screenshot(self, path, width=None):
        if width:
            self.call("Emulation.setDeviceMetricsOverride",
                      {"width": width, "height": 900, "deviceScaleFactor": 1, "mobile": False})
        shot = self.call("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True})
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))
        if width:
            self.call("Emulation.clearDeviceMetricsOverride")

    def press_tab(self):
        for kind in ("rawKeyDown", "keyUp"):
            self.call("Input.dispatchKeyEvent", {"type": kind, "key": "Tab", "code": "Tab",
                                                 "windowsVirtualKeyCode": 9})

    def click(self, selector):
        """A real mouse click in the middle of the element."""
        box = self.js("(() => { const e = document.querySelector(%s); if (!e) return null;"
                      " e.scrollIntoView({block: 'center'}); const r = e.getBoundingClientRect();"
                      " return [r.left + r.width / 2, r.top + r.height / 2]; })()" % json.dumps(selector))
        if box is None:
            raise AssertionError("nothing to click at " + selector)
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", {"type": kind, "x": box[0], "y": box[1],
                                                   "button": "left", "clickCount": 1})

    def click_and_load(self, selector):
        self.events = [e for e in self.events if e.get("method") != "Page.loadEventFired"]
        self.click(selector)
        self.wait_event("Page.loadEventFired")

    def type_into(self, name, text):
        """Focuses the field named `name` and replaces its text as typed."""
        found = self.js("(() => { const e = document.getElementById('%s') ||"
                        " document.querySelector('[name=\"%s\"]'); if (!e) return false;"
                        " e.focus(); e.select(); return true; })()" % (name, name))
        if not found:
            raise AssertionError("no field named " + name)
        self.call("Input.insertText", {"text": text})

    def press_enter(self):
        for kind in ("keyDown", "keyUp"):
            params = {"type": kind, "key": "Enter", "code": "Enter", "windowsVirtualKeyCode": 13}
            if kind == "keyDown":
                params["text"] = "\r"
            self.call("Input.dispatchKeyEvent", params)

    def close(self):
        try:
            self.session = None
            self.call("Browser.close", session=False)
        except (AssertionError, OSError):
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        for fd in (self.to_browser, self.from_browser):
            try:
                os.close(fd)
            except OSError:
                pass


def stop(proc, limit=10):
    if proc and proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def write_config(path, config_port, ports):
    lines = ["<root>", "    <configport>%x</configport>" % config_port]
    for i, (http, cli) in enumerate(ports):
        lines += ["    <controller%d>" % i, "        <httpport>%x</httpport>" % http,
                  "        <cliport>%x</cliport>" % cli, "    </controller%d>" % i]
    # Events are polled every 500 ms instead of every 10 s.
    lines += ["    <events>", "        <sweeppause>1f4</sweeppause>", "    </events>"]
    lines.append("</root>")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def stored_port(path, controller, key):
    root = ET.parse(path).getroot()
    node = root.find("controller%d/%s" % (controller, key))
    return int(node.text, 16) if node is not None and node.text else None


FIELD_VALUES_JS = """(() => {
  const v = {};
  for (const el of document.querySelectorAll('form input')) {
    if (el.name in v) continue;  // the first form's field of a name (each form has its own "func")
    v[el.name] = el.type === 'checkbox' ? (el.checked ? el.value : null) : el.value;
  }
  return v;
})()"""

BANNER_JS = """(() => {
  const b = document.querySelector('xslt-warning-banner');
  if (!b) return null;
  const text = (b.shadowRoot ? b.shadowRoot.textContent : '') || b.textContent || '';
  return text.replace(/\\s+/g, ' ').trim() || '(banner element present)';
})()"""


CLOSE_BANNER_JS = """(() => {
  const b = document.querySelector('xslt-warning-banner');
  const close = b && b.shadowRoot && b.shadowRoot.querySelector('button');
  if (close) close.click(); else if (b) b.remove();
  return !!b;
})()"""


def controllers_page(browser, check, url, config_path, ports, artefacts):
    browser.navigate(url + "controllers.cgi")
    check(browser.js("document.documentElement.tagName") == "HTML",
          "the controllers document was transformed into HTML")
    check(browser.js("document.title").startswith("Controller Management"),
          "the page title comes from the document")
    banner = browser.js(BANNER_JS)
    print("note: Chromium's XSLT banner: %s" % (banner or "none shown"))
    fields = browser.js(FIELD_VALUES_JS)
    for i, (http, cli) in enumerate(ports):
        check(fields.get("controller_httpport_%x" % i) == str(http),
              "controller %d shows its web GUI port %d" % (i, http))
        check(fields.get("controller_cliport_%x" % i) == str(cli),
              "controller %d shows its CLI port %d" % (i, cli))
    links = browser.js("[...document.querySelectorAll('td a')].map(a => a.getAttribute('href'))")
    check(links == ["http://127.0.0.1:%d/" % http for http, _ in ports],
          "each controller links to its relayed web GUI")
    check(browser.js("document.querySelector('nav a[aria-current=page]').textContent") == "Controllers",
          "the navigation marks the current page")
    # As first shown (with Chromium's banner), then as the user sees it after closing it.
    browser.screenshot(os.path.join(artefacts, "controllers-with-xslt-banner.png"))
    browser.js(CLOSE_BANNER_JS)
    browser.screenshot(os.path.join(artefacts, "controllers.png"))
    browser.screenshot(os.path.join(artefacts, "controllers-narrow.png"), width=380)

    # The keyboard reaches the page: the first stop is the skip link, which leads
    # past the navigation; every port field can take the focus.
    browser.press_tab()
    check(browser.js("document.activeElement.textContent") == "Skip to content",
          "the first Tab stop is the skip link")
    focusable = browser.js("[...document.querySelectorAll('form input')].every(e => e.tabIndex >= 0)")
    check(focusable, "every form field is in the Tab order")

    # Keyboard only: focus the field, type the new port, press Enter to submit.
    new_port = ports[1][0] + 1000 if ports[1][0] < 60000 else ports[1][0] - 1000
    browser.js("(() => { const e = document.getElementById('controller_httpport_1');"
               " e.focus(); e.select(); })()")
    browser.call("Input.insertText", {"text": str(new_port)})
    browser.events = [e for e in browser.events if e.get("method") != "Page.loadEventFired"]
    browser.press_enter()
    browser.wait_event("Page.loadEventFired")
    check(stored_port(config_path, 1, "httpport") == new_port,
          "submitting the form stored web GUI port %d for controller 1" % new_port)
    check(stored_port(config_path, 0, "httpport") == ports[0][0],
          "the other controller's port is unchanged")
    fields = browser.js(FIELD_VALUES_JS)
    check(fields.get("controller_httpport_1") == str(new_port),
          "the page after the submit shows the new port")
    messages = page_messages(browser)
    check(len(messages) == 1 and messages[0]["kind"] == "info"
          and "takes effect at the next start" in messages[0]["text"],
          "the save is confirmed and says when the port takes effect: %s" % messages)
    links = browser.js("[...document.querySelectorAll('td a')].map(a => a.getAttribute('href'))")
    check(links == ["http://127.0.0.1:%d/" % http for http, _ in ports],
          "the Open links keep pointing at the ports in use until the next start: %s" % links)
    check(port_open(ports[1][0]), "the relay still answers on its old port")
    rows = browser.js("[...document.querySelectorAll('tbody tr')].map(r => [r.querySelector('th').textContent.trim(),"
                      " r.querySelector('input[name^=controller_httpport_]').name])")
    check(rows == [["Controller 1", "controller_httpport_0"], ["Controller 2", "controller_httpport_1"]],
          "controllers are labelled from 1 as the alerts name them, fields keep the index: %s" % rows)
    browser.js(CLOSE_BANNER_JS)
    browser.screenshot(os.path.join(artefacts, "controllers-after-submit.png"))

    # A refused form keeps what was typed: a port another controller has.
    browser.type_into("controller_httpport_0", str(new_port))
    browser.click_and_load("form#ports-form button[type=submit]")
    messages = page_messages(browser)
    check(messages == [{"kind": "error", "text": "Port %d is given to both Controller 1 and Controller 2; "
                                                 "each controller needs a port of its own." % new_port}],
          "a port given twice is refused: %s" % messages)
    check(browser.js(FIELD_VALUES_JS).get("controller_httpport_0") == str(new_port),
          "the refused value stays in the form")
    check(stored_port(config_path, 0, "httpport") == ports[0][0], "the refused port was not stored")
    browser.js(CLOSE_BANNER_JS)
    browser.screenshot(os.path.join(artefacts, "controllers-refused-typed.png"))

    # A refused port: the message is shown prominently, as an alert.
    browser.navigate(url + "controllers.cgi?controller_cliport_0=65535")
    alert = browser.js("(() => { const a = document.querySelector('.messages [role=alert]');"
                       " return a ? a.textContent.replace(/\\s+/g, ' ').trim() : null; })()")
    check(alert is not None and "Port number should be in the range 1 to 65535." in alert,
          "a refused port is reported in an alert")
    check(stored_port(config_path, 0, "cliport") == ports[0][1], "the refused port was not stored")
    browser.js(CLOSE_BANNER_JS)
    browser.screenshot(os.path.join(artefacts, "controllers-error.png"))

    # Static files the page uses come from the web root.
    ok = browser.js("(() => { const i = document.querySelector('.brand img');"
                    " return i.complete && i.naturalWidth > 0; })()")
    check(ok, "the logo image was served from the web root")


SNMP_SAMPLE = """<?xml version="1.0" encoding="UTF-8" standalone="no" ?>
<?xml-stylesheet type="text/xsl" href="snmp.xsl" ?>
<kvo_omx_page title="SNMP Management">
    <snmp>
        <client id="1"><ip>10.0.0.5</ip><port>162</port></client>
        <client id="2"><ip /><port>0</port></client>
        <client id="3"><ip /><port>162</port></client>
        <information> Information</information>
        <error> Error</error>
    </snmp>
    <messages><message type="error">Invalid IP address.</message></messages>
</kvo_omx_page>
"""

EMAIL_SAMPLE = """<?xml version="1.0" encoding="UTF-8" standalone="no" ?>
<?xml-stylesheet type="text/xsl" href="email.xsl" ?>
<kvo_omx_page title="EMAIL Management">
    <setting>
        <smtp enabled="0"><server>mail.example.org</server><from>raid@example.org</from>
            <logname>raid</logname><port>587</port></smtp>
        <recipients>
            <recipient><email>ops@example.org</email><name>ops-team</name>
                <warning> Warning</warning><error> Error</error></recipient>
            <recipient><email>night@example.org</email><name>night</name>
                <information> Information</information></recipient>
        </recipients>
    </setting>
    <messages><message type="confirm" yeshref="email.cgi?yes" nohref="email.cgi">Delete?</message></messages>
</kvo_omx_page>
"""


MESSAGES_JS = """(() => [...document.querySelectorAll('.messages .msg')].map(m => ({
  kind: m.className.replace(/.*msg-/, ''), text: m.querySelector('p').textContent.trim()})))()"""

# The documents' own messages when the browser was given the XML untransformed.
RAW_MESSAGES_JS = """(() => [...document.getElementsByTagName('message')].map(m => ({
  kind: m.getAttribute('type'), text: m.textContent.trim()})))()"""


def page_messages(browser):
    return browser.js(MESSAGES_JS) or browser.js(RAW_MESSAGES_JS) or []


def start_trapd(scratch):
    """snmptrapd on a free UDP port, printing one line per trap."""
    folder = os.path.join(scratch, "trapd")
    os.makedirs(os.path.join(folder, "persist"))
    conf = os.path.join(folder, "snmptrapd.conf")
    with open(conf, "w") as f:
        f.write("disableAuthorization yes\n[snmp] persistentDir %s\n" % os.path.join(folder, "persist"))
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    out = os.path.join(folder, "trapd.out")
    env = {"SNMP_PERSISTENT_DIR": os.path.join(folder, "persist"), "SNMPCONFPATH": folder,
           "HOME": folder, "PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}
    with open(out, "wb") as log:
        proc = subprocess.Popen(["/usr/sbin/snmptrapd", "-f", "-Lo", "-C", "-c", conf, "-n", "-m", "",
                                 "-M", folder, "-On", "-F", "TRAP|%P|%V\t%v|END\n",
                                 "udp:127.0.0.1:%d" % port],
                                env=env, stdout=log, stderr=subprocess.STDOUT, preexec_fn=die_with_parent)
    read = lambda: open(out, errors="replace").read()
    wait_until(lambda: "NET-SNMP version" in read(), "snmptrapd")
    return proc, port, read


def stored_text(path, node_path):
    node = ET.parse(path).getroot().find(node_path)
    return node.text if node is not None and node.text else ""


def sim_command(driver, command):
    """One line to the simulator's control socket; its answer."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(LIMIT)
        s.connect(os.path.join(driver, "control"))
        s.sendall(command.encode() + b"\n")
        return s.recv(4096).decode(errors="replace")


def snmp_page(browser, check, url, config_path, scratch, artefacts, driver):
    trapd, trap_port, trapd_output = start_trapd(scratch)
    try:
        browser.navigate(url + "snmp.cgi")
        browser.js(CLOSE_BANNER_JS)
        # Keyboard: type both receivers; mouse: tick the level boxes and save.
        browser.type_into("trap_client_1", "127.0.0.1")
        browser.type_into("trap_port_1", str(trap_port))
        browser.type_into("trap_client_2", "127.0.0.1")
        browser.type_into("trap_port_2", str(trap_port))
        for box in ("check_warn", "check_error"):
            browser.click("input[name=%s]" % box)
        browser.click_and_load("form#snmp-form button[type=submit]")
        messages = page_messages(browser)
        check(messages == [{"kind": "info", "text": "The SNMP settings were saved; traps are sent with them from now on."}],
              "the SNMP form's save is confirmed: %s" % messages)
        browser.navigate(url + "snmp.cgi")  # a fresh look, as after a reload
        fields = browser.js(FIELD_VALUES_JS)
        check(fields.get("trap_client_1") == "127.0.0.1" and fields.get("trap_port_1") == str(trap_port)
              and fields.get("trap_client_2") == "127.0.0.1" and fields.get("trap_port_2") == str(trap_port),
              "both receivers are shown again after a reload")
        check(fields.get("check_info") is None and fields.get("check_warn") and fields.get("check_error"),
              "the level boxes are shown as saved")
        check(stored_text(config_path, "snmp/trap/trap2/port") == "%x" % trap_port
              and stored_text(config_path, "snmp/trap/levelflag") == "6",
              "the receivers and the level mask are in the settings file")
        browser.js(CLOSE_BANNER_JS)
        browser.screenshot(os.path.join(artefacts, "snmp.png"))

        browser.click_and_load("form#test-trap-form button")
        messages = page_messages(browser)
        receiver = "127.0.0.1:%d" % trap_port
        check(messages == [{"kind": "info", "text": "Test trap sent to %s, %s." % (receiver, receiver)}],
              "the page says which receivers the test trap went to: %s" % messages)
        wait_until(lambda: trapd_output().count("Test trap from the RAID service") >= 2,
                   "two test traps at snmptrapd")
        check(True, "snmptrapd received the test trap for each receiver")
        browser.js(CLOSE_BANNER_JS)
        browser.screenshot(os.path.join(artefacts, "snmp-test-trap.png"))

        # An event of the second controller is named as the page names that controller.
        sim_command(driver, "event 1 E now Drive 3 failed")
        wait_until(lambda: "Drive 3 failed" in trapd_output(), "the event's trap", limit=40)
        check("Controller 2:" in trapd_output(), "the trap names the second controller \"Controller 2\"")
        browser.navigate(url + "controllers.cgi")
        label = browser.js("document.getElementById('controller_httpport_1').closest('tr')"
                           ".querySelector('th').textContent.trim()")
        check(label == "Controller 2", "the page calls the same controller \"Controller 2\": %s" % label)
        browser.navigate(url + "snmp.cgi")

        # A refused address is shown as an alert and not stored.
        browser.navigate(url + "snmp.cgi?func=SetSnmp&trap_port_3=162&trap_client_3=300.1.2.3")
        messages = page_messages(browser)
        check(messages == [{"kind": "error", "text": "Invalid IP address."}],
              "an address the trap sender refuses is reported: %s" % messages)
        browser.js(CLOSE_BANNER_JS)
        browser.screenshot(os.path.join(artefacts, "snmp-error.png"))
    finally:
        stop(trapd)


def postfix_peer():
    """Port, account and domain of the postfix test peer, or None when it is not set up."""
    try:
        with open("/var/lib/kvoomx-test/smtp.port") as f:
            port = int(f.read().strip())
        auth = dict(line.strip().split("=", 1) for line in open("/var/lib/kvoomx-test/smtp.auth") if "=" in line)
    except (OSError, ValueError):
        return None
    if os.geteuid() != 0 or not port_open(port):
        return None
    return {"port": port, "user": auth.get("user", ""), "password": auth.get("password", ""),
            "domain": auth.get("domain", "")}


def held_mail_ids(address):
    """Queue ids of the mails postfix holds for `address`."""
    out = subprocess.run(["postqueue", "-j"], capture_output=True, text=True).stdout
    ids = []
    for line in out.splitlines():
        entry = json.loads(line)
        if entry.get("queue_name") == "hold" and any(r.get("address") == address for r in entry.get("recipients", [])):
            ids.append(entry["queue_id"])
    return ids


# The delete form's boxes (the level boxes in the same rows belong to their own forms).
DELETE_BOXES_JS = """[...document.querySelectorAll('input[name^=check_]')]
  .filter(e => e.form && e.form.id === 'delete-form').map(e => e.value)"""


def stored_password(home):
    """The password kept in the e-mail settings file, decoded."""
    node = ET.parse(os.path.join(home, "kvoomxemail.conf")).getroot().find("szPassword")
    return base64.b64decode(node.text or "").decode() if node is not None else None


def email_page(browser, check, url, scratch, artefacts, home):
    peer = postfix_peer()
    if not peer:
        print("note: postfix test peer not set up (scripts/setup.d/postfix.sh); e-mail flow skipped")
        return
    token = "pages%d" % os.getpid()
    first = "%s-ops@%s" % (token, peer["domain"])
    second = "%s-night@%s" % (token, peer["domain"])
    email_file = os.path.join(home, "kvoomxemail.conf")

    browser.navigate(url + "email.cgi")
    browser.js(CLOSE_BANNER_JS)
    for name, value in (("smtpadd", "127.0.0.1"), ("port", str(peer["port"])),
                        ("fromadd", "raid@" + peer["domain"]), ("lognamedd", peer["user"]),
                        ("passdd", peer["password"])):
        browser.type_into(name, value)
    if not browser.js("document.querySelector('input[name=enable]').checked"):
        browser.click("input[name=enable]")
    browser.click_and_load("form#smtp-form button[type=submit]")
    check(page_messages(browser) == [{"kind": "info", "text": "The mail server settings were saved."}],
          "the SMTP account's save is confirmed")
    fields = browser.js(FIELD_VALUES_JS)
    check(fields.get("smtpadd") == "127.0.0.1" and fields.get("port") == str(peer["port"])
          and fields.get("lognamedd") == peer["user"] and fields.get("passdd") == "",
          "the account is shown again, the password is not")
    check(browser.js("[document.getElementById('lognamedd').autocomplete,"
                     " document.getElementById('passdd').autocomplete]") == ["off", "new-password"],
          "the login fields ask the browser not to fill in a saved login")

    # Only the sender changes; the password field is left empty as shown.
    browser.type_into("fromadd", "raid-alerts@" + peer["domain"])
    browser.click_and_load("form#smtp-form button[type=submit]")
    check(stored_password(home) == peer["password"], "a save without retyping the password keeps it")

    # A pasted key longer than the field is refused whole, never cut.
    before = open(email_file, "rb").read()
    browser.type_into("passdd", "k" * 69)
    check(browser.js("document.getElementById('passdd').value.length") == 69,
          "the password field takes a 69-character key as pasted")
    browser.click_and_load("form#smtp-form button[type=submit]")
    messages = page_messages(browser)
    check(len(messages) == 1 and messages[0]["kind"] == "error" and "longer than 63" in messages[0]["text"],
          "a too long password is refused with a message: %s" % messages)
    check(open(email_file, "rb").read() == before, "the settings file is unchanged byte for byte")
    check(browser.js(FIELD_VALUES_JS).get("fromadd") == "raid-alerts@" + peer["domain"],
          "the refused form keeps the typed values")
    browser.js(CLOSE_BANNER_JS)
    browser.screenshot(os.path.join(artefacts, "email-password-refused.png"))

    for address, name in ((first, "ops-team"), (second, "night")):
        browser.type_into("email", address)
        browser.type_into("name", name)
        browser.click_and_load("form#add-form button[type=submit]")
        check(page_messages(browser) == [{"kind": "info", "text": "Recipient %s was added." % address}],
              "adding %s is confirmed" % address)
    shown = browser.js(DELETE_BOXES_JS)
    check(shown == [first, second], "both recipients are listed: %s" % shown)

    # The same address in capitals is refused, and what was typed stays.
    browser.type_into("email", first.upper())
    browser.type_into("name", "again")
    browser.click_and_load("form#add-form button[type=submit]")
    messages = page_messages(browser)
    check(messages == [{"kind": "error", "text": "Failed to add new recipient. %s is already listed as %s."
                        % (first.upper(), first)}], "another letter case counts as listed: %s" % messages)
    check(browser.js("document.getElementById('email').value") == first.upper(), "the typed address stays")

    # A recipient's levels change in place: tick Information with the mouse, save that row.
    browser.click("input[form='levels-1'][name=check_info]")
    browser.click_and_load("button[form='levels-1']")
    messages = page_messages(browser)
    check(messages == [{"kind": "info", "text": "%s now gets mails of level Information, Warning, Error." % first}],
          "the changed levels are confirmed: %s" % messages)
    levels = ET.parse(email_file).getroot().find("Rcpt/recipient/byLevel").text
    check(levels == "7", "the first recipient's levels are stored as 7")
    browser.js(CLOSE_BANNER_JS)
    browser.screenshot(os.path.join(artefacts, "email-levels-changed.png"))

    browser.click("#delete-form input[value='%s']" % second)
    browser.click_and_load("form#delete-form button.danger")
    shown = browser.js(DELETE_BOXES_JS)
    check(shown == [first], "the deleted recipient is gone, the other stays: %s %s" % (shown, page_messages(browser)))
    check(page_messages(browser) == [{"kind": "info", "text": "Deleted recipient %s." % second}],
          "the delete names what was deleted")
    browser.js(CLOSE_BANNER_JS)
    browser.screenshot(os.path.join(artefacts, "email.png"))

    browser.click_and_load("form#test-mail-form button")
    messages = page_messages(browser)
    check(messages == [{"kind": "info", "text": "Test mail sent to %s through 127.0.0.1:%d." % (first, peer["port"])}],
          "the test mail goes out with the password kept from the first save: %s" % messages)
    wait_until(lambda: held_mail_ids(first), "the test mail at the postfix peer")
    check(True, "the postfix peer holds the test mail")
    for queue_id in held_mail_ids(first):
        subprocess.run(["postsuper", "-d", queue_id, "hold"], capture_output=True)
    browser.js(CLOSE_BANNER_JS)
    browser.screenshot(os.path.join(artefacts, "email-test-mail.png"))

    # A wrong password: the server's own refusal is on the page.
    browser.type_into("passdd", "wrong-" + peer["password"])
    browser.click_and_load("form#smtp-form button[type=submit]")
    browser.click_and_load("form#test-mail-form button")
    messages = page_messages(browser)
    refused = len(messages) == 1 and messages[0]["kind"] == "error" and \
        "the server refused the login" in messages[0]["text"] and "535" in messages[0]["text"]
    check(refused, "a wrong password shows the server's refusal: %s" % messages)
    browser.js(CLOSE_BANNER_JS)
    browser.screenshot(os.path.join(artefacts, "email-test-mail-refused.png"))


# Contrast of text and controls from computed styles (WCAG relative luminance).
CONTRAST_JS = """(() => {
  const parse = c => { const m = /rgba?\\(([^)]+)\\)/.exec(c || ''); if (!m) return null;
    const p = m[1].split(',').map(parseFloat); return {r: p[0], g: p[1], b: p[2], a: p.length > 3 ? p[3] : 1}; };
  const lum = c => { const f = v => { v /= 255; return v <= 0.03928 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * f(c.r) + 0.7152 * f(c.g) + 0.0722 * f(c.b); };
  const ratio = (a, b) => { const x = lum(a), y = lum(b); return (Math.max(x, y) + 0.05) / (Math.min(x, y) + 0.05); };
  const ground = e => { for (; e; e = e.parentElement) { const c = parse(getComputedStyle(e).backgroundColor);
    if (c && c.a > 0.5) return c; } return {r: 255, g: 255, b: 255, a: 1}; };
  return %s.map(([what, selector, kind, need]) => {
    const e = document.querySelector(selector);
    if (!e) return {what, missing: true};
    const style = getComputedStyle(e);
    const r = kind === 'text' ? ratio(parse(style.color), ground(e))
                              : ratio(parse(style.borderTopColor), ground(e.parentElement));
    return {what, ratio: Math.round(r * 100) / 100, need};
  });
})()"""

CONTRAST_ITEMS = {
    "email.cgi": [
        ["primary button text", "button.btn.primary", "text", 4.5],
        ["notification state text", ".state", "text", 4.5],
        ["delete button text", "button.btn.danger", "text", 4.5],
        ["delete button border", "button.btn.danger", "border", 3],
        ["secondary button border", "button[type=reset].btn", "border", 3],
        ["text field border", "input#smtpadd", "border", 3],
        ["hint text", ".hint", "text", 4.5],
        ["field note text", ".field .note", "text", 4.5],
        ["label text", ".field label", "text", 4.5],
        ["current page in the navigation", ".topbar nav a[aria-current=page]", "text", 4.5],
        ["other navigation links", ".topbar nav a:not([aria-current])", "text", 4.5],
    ],
    "controllers.cgi?controller_cliport_0=65535": [
        ["error message text", ".msg-error p", "text", 4.5],
        ["error message kind", ".msg-error .msg-kind", "text", 4.5],
        ["error icon", ".msg-error .msg-icon", "text", 4.5],
        ["link to a web GUI", "td a", "text", 4.5],
        ["port field border", "input[type=number]", "border", 3],
    ],
    "snmp.cgi?func=SetSnmp&check_warn=on": [
        ["information message text", ".msg-info p", "text", 4.5],
        ["information icon", ".msg-info .msg-icon", "text", 4.5],
    ],
}


def contrast(browser, check, url, artefacts):
    """Every measured text and control meets WCAG AA in the dark and the light scheme."""
    for scheme in ("dark", "light"):
        browser.call("Emulation.setEmulatedMedia",
                     {"features": [{"name": "prefers-color-scheme", "value": scheme}]})
        for page, items in CONTRAST_ITEMS.items():
            browser.navigate(url + page)
            browser.js(CLOSE_BANNER_JS)
            results = browser.js(CONTRAST_JS % json.dumps(items))
            print("contrast %s %s: %s" % (scheme, page.split("?")[0],
                  ", ".join("%s %s" % (r["what"], "missing" if r.get("missing") else r["ratio"]) for r in results)))
            low = [r for r in results if r.get("missing") or r["ratio"] < r["need"]]
            check(not low, "%s scheme, %s: every text 4.5:1 and control 3:1 or more (short: %s)"
                  % (scheme, page.split("?")[0], low))
            browser.screenshot(os.path.join(artefacts, "%s-%s.png" % (page.split(".")[0], scheme)))
    browser.call("Emulation.setEmulatedMedia", {"features": []})


def email_security_suggestions(browser, check, url):
    """Port 587/465 suggest their encryption and back; a typed port is kept; the check is on by default."""
    browser.navigate(url + "email.cgi")
    browser.js(CLOSE_BANNER_JS)
    pick = ("(() => { const e = document.getElementById('%s'); e.value = '%s';"
            " e.dispatchEvent(new Event('change')); return true; })()")
    value = "document.getElementById('%s').value"
    browser.js(pick % ("port", "465"))
    check(browser.js(value % "security") == "tls", "port 465 suggests TLS from the start")
    browser.js(pick % ("security", "starttls"))
    check(browser.js(value % "port") == "587", "STARTTLS suggests port 587")
    browser.js(pick % ("port", "2525"))
    browser.js(pick % ("security", "tls"))
    check(browser.js(value % "port") == "2525" and browser.js(value % "security") == "tls",
          "a port the administrator typed is kept")
    check(browser.js(value % "tlsverify") == "on", "the certificate check is on unless turned off")
    note = browser.js("document.getElementById('tlsverify-note').textContent")
    check("pose as the mail server" in note, "the page says what not verifying means")


def sample_pages(browser, check, webroot, scratch, artefacts):
    site = os.path.join(scratch, "samples")
    os.makedirs(site)
    for name in os.listdir(os.path.join(webroot, "xsl")):
        shutil.copy(os.path.join(webroot, "xsl", name), site)
    for name in os.listdir(os.path.join(webroot, "images")):
        shutil.copy(os.path.join(webroot, "images", name), site)
    for name, text in (("snmp.xml", SNMP_SAMPLE), ("email.xml", EMAIL_SAMPLE)):
        with open(os.path.join(site, name), "w") as f:
            f.write(text)

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Quiet, directory=site))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        base = "http://127.0.0.1:%d/" % server.server_address[1]
        browser.navigate(base + "snmp.xml")
        fields = browser.js(FIELD_VALUES_JS)
        check(fields.get("func") == "SetSnmp", "SNMP form posts func=SetSnmp")
        check(fields.get("trap_client_1") == "10.0.0.5" and fields.get("trap_port_1") == "162",
              "SNMP receiver 1 shows its address and port")
        check(fields.get("trap_port_2") == "" and "trap_client_3" in fields,
              "SNMP receivers 2 and 3 are there; port 0 shows empty")
        check(fields.get("check_info") and fields.get("check_warn") is None and fields.get("check_error"),
              "SNMP level boxes follow the document")
        check(browser.js("document.querySelector('form').getAttribute('action')") == "snmp.cgi",
              "SNMP form posts to snmp.cgi")
        browser.js(CLOSE_BANNER_JS)
        browser.screenshot(os.path.join(artefacts, "snmp-sample.png"))

        browser.navigate(base + "email.xml")
        forms = browser.js("""[...document.forms].map(f => ({action: f.getAttribute('action'),
            method: f.method, fields: [...f.elements].filter(e => e.name).map(e => e.name)}))""")
        by_func = {}
        for form in forms:
            func = [n for n in form["fields"] if n == "func"]
            if func:
                value = browser.js("[...document.forms][%d].elements.func.value" % forms.index(form))
                by_func[value] = form
        check(set(by_func) == {"SetSmtp", "DeleteRecipient", "AddRecipient", "SendTestMail", "SetRecipientLevels"},
              "e-mail page has the three forms, the levels forms and the test mail")
        check(sorted(by_func["SetRecipientLevels"]["fields"]) ==
              sorted(["func", "email", "check_info", "check_warn", "check_error"]),
              "a levels form sends its recipient's address and level boxes only")
        check(all(f["action"] == "email.cgi" and f["method"] == "post" for f in forms),
              "every e-mail form posts to email.cgi")
        check(sorted(by_func["SendTestMail"]["fields"]) == ["func", "testaddr", "testrcpt"],
              "the test-mail form offers the recipients and a typed address")
        check(sorted(by_func["SetSmtp"]["fields"]) ==
              sorted(["func", "smtpadd", "port", "fromadd", "lognamedd", "passdd", "enable",
                      "security", "tlsverify", "cafile"]),
              "SMTP form sends exactly its fields")
        check(sorted(by_func["AddRecipient"]["fields"]) ==
              sorted(["func", "email", "name", "check_info", "check_warn", "check_error"]),
              "add-recipient form sends exactly its fields")
        deletes = browser.js("""[...document.querySelectorAll('input[name^=check_]')]
            .filter(e => e.form.elements.func.value === 'DeleteRecipient').map(e => e.value)""")
        check(deletes == ["ops@example.org", "night@example.org"],
              "delete boxes carry the recipients' addresses")
        check(browser.js("document.getElementById('passdd').value") == "",
              "no password is put into the page")
        check(browser.js("document.querySelector('input[name=enable]').checked") is False,
              "a disabled notification shows unchecked")
        links = browser.js("[...document.querySelectorAll('.msg-confirm a')].map(a => a.getAttribute('href'))")
        check(links == ["email.cgi?yes", "email.cgi"], "a question offers its yes and no links")
        browser.js(CLOSE_BANNER_JS)
        browser.screenshot(os.path.join(artefacts, "email-sample.png"))
        browser.screenshot(os.path.join(artefacts, "email-sample-narrow.png"), width=380)
    finally:
        server.shutdown()
        server.server_close()


def main():
    bin_dir, source_dir, artefacts, scratch_base = map(os.path.abspath, sys.argv[1:5])
    os.makedirs(artefacts, exist_ok=True)
    os.makedirs(scratch_base, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="pages-browser-", dir=scratch_base)
    # Unix socket paths are short: the driver directory goes to /tmp if needed.
    driver = tempfile.mkdtemp(prefix="kvo-drv-", dir=scratch if len(scratch) < 60 else "/tmp")
    home = os.path.join(scratch, "home")
    work = os.path.join(scratch, "work")
    shutil.copytree(os.path.join(source_dir, "share", "webguiroot"), os.path.join(home, "webguiroot"))
    shutil.copytree(os.path.join(source_dir, "share", "HTML"), os.path.join(work, "HTML"))

    config_port = free_port()
    ports = [(free_port(), free_port()), (free_port(), free_port())]
    config_path = os.path.join(home, "kvoomxsvr.conf")
    write_config(config_path, config_port, ports)

    check = Check()
    sim = service = browser = None
    service_log = os.path.join(artefacts, "kvoomxsvr.log")
    try:
        sim = subprocess.Popen([os.path.join(bin_dir, "kvoctlsim"), "--dir", driver,
                                "--controllers", "2"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               preexec_fn=die_with_parent)
        wait_until(lambda: os.path.exists(os.path.join(driver, "control")), "the simulator")

        env = dict(os.environ, KVOOMX_HOME=home, KVOOMX_DRIVER_DIR=driver,
                   KVOOMX_TEST_TIMINGS="startpause=0,shutdownround=200")
        with open(service_log, "wb") as log:
            service = subprocess.Popen([os.path.join(bin_dir, "kvoomxsvr"), "-NODAEMON"], cwd=work,
                                       env=env, stdout=log, stderr=subprocess.STDOUT,
                                       preexec_fn=die_with_parent)
        wait_until(lambda: port_open(config_port), "the configuration server")

        browser = Chromium(os.path.join(scratch, "profile"))
        browser.open_page()
        url = "http://127.0.0.1:%d/" % config_port
        controllers_page(browser, check, url, config_path, ports, artefacts)
        snmp_page(browser, check, url, config_path, scratch, artefacts, driver)
        email_page(browser, check, url, scratch, artefacts, home)
        email_security_suggestions(browser, check, url)
        contrast(browser, check, url, artefacts)
        sample_pages(browser, check, os.path.join(home, "webguiroot"), scratch, artefacts)
        leftovers = [n for n in os.listdir(work) if n != "HTML"]
        check(leftovers == [], "no page file is left in the working directory")
    except AssertionError as e:
        check(False, str(e))
    finally:
        if browser:
            browser.close()
        stop(service)
        stop(sim)
        shutil.rmtree(scratch, ignore_errors=True)
        shutil.rmtree(driver, ignore_errors=True)

    print("screenshots in " + artefacts)
    print("%d passed, %d failed" % (check.passed, len(check.failures)))
    return 1 if check.failures else 0


if __name__ == "__main__":
    sys.exit(main())
