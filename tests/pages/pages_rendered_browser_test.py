#!/usr/bin/env python3
"""The configuration pages as the service renders them, in a real browser.

Runs kvoomxsvr against two simulated controllers and opens its pages in
headless Chromium (driven over --remote-debugging-pipe, with the helpers of
pages_browser_test.py). Checks that every page arrives as HTML rendered by the
service (no XSLT banner; screenshots kept), that its text equals what
Chromium's own XSLT makes of the XML document (while Chromium still has it),
that the forms still work, that another site's form and image are refused
without changing a setting, and that with an administrator password the
browser gets the 401 page without credentials and completes a form with them.
Every socket is on 127.0.0.1.

usage: pages_rendered_browser_test.py BIN_DIR SOURCE_DIR ARTEFACT_DIR SCRATCH_DIR
"""
import functools
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pages_browser_test import (BANNER_JS, CLOSE_BANNER_JS, FIELD_VALUES_JS, LIMIT, Check,  # noqa: E402
                                Chromium, die_with_parent, free_port, port_open, stop,
                                stored_port, wait_until, write_config)

PAGES = ("controllers.cgi", "snmp.cgi", "email.cgi", "hooks.cgi")
TEXT_JS = "document.body ? document.body.innerText.split(/\\s+/).filter(Boolean).join(' ') : ''"
TITLE_JS = "document.title"


class Service:
    """kvoomxsvr in the foreground with its own home, work folder, log and simulator."""

    def __init__(self, bin_dir, source_dir, scratch, driver, artefacts, name):
        self.home = os.path.join(scratch, name, "home")
        self.work = os.path.join(scratch, name, "work")
        shutil.copytree(os.path.join(source_dir, "share", "webguiroot"),
                        os.path.join(self.home, "webguiroot"))
        shutil.copytree(os.path.join(source_dir, "share", "HTML"), os.path.join(self.work, "HTML"))
        self.port = free_port()
        self.ports = [(free_port(), free_port()), (free_port(), free_port())]
        self.config = os.path.join(self.home, "kvoomxsvr.conf")
        self.bin_dir = bin_dir
        self.driver = os.path.join(driver, name)
        os.makedirs(self.driver)
        self.log_path = os.path.join(artefacts, "kvoomxsvr-%s.log" % name)
        self.proc = self.sim = None
        self.url = "http://127.0.0.1:%d/" % self.port

    def start(self, extra_root_xml=""):
        self.sim = subprocess.Popen([os.path.join(self.bin_dir, "kvoctlsim"), "--dir", self.driver,
                                     "--controllers", "2"], stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
        wait_until(lambda: os.path.exists(os.path.join(self.driver, "control")), "the simulator")
        write_config(self.config, self.port, self.ports)
        if extra_root_xml:
            with open(self.config) as f:
                text = f.read()
            with open(self.config, "w") as f:
                f.write(text.replace("<root>\n", "<root>\n" + extra_root_xml, 1))
        env = dict(os.environ, KVOOMX_HOME=self.home, KVOOMX_DRIVER_DIR=self.driver,
                   KVOOMX_TEST_TIMINGS="startpause=0,shutdownround=200")
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen([os.path.join(self.bin_dir, "kvoomxsvr"), "-NODAEMON"],
                                         cwd=self.work, env=env, stdout=log,
                                         stderr=subprocess.STDOUT, preexec_fn=die_with_parent)
        wait_until(lambda: port_open(self.port), "the configuration server")

    def stop(self):
        stop(self.proc)
        stop(self.sim)

    def config_bytes(self):
        with open(self.config, "rb") as f:
            return f.read()

    def xml_of(self, target):
        """The page document as a script gets it (no Accept header)."""
        with urllib.request.urlopen(urllib.request.Request(self.url + target), timeout=10) as r:
            return r.headers.get("Content-Type"), r.read().decode()


def banner(browser):
    return browser.js(BANNER_JS)


def send_nowait(browser, method, params):
    """A DevTools command whose reply is not awaited (it is dropped later)."""
    browser.next_id += 1
    msg = {"id": browser.next_id, "method": method, "params": params, "sessionId": browser.session}
    os.write(browser.to_browser, json.dumps(msg).encode() + b"\0")


def pump_until_load(browser, accept=None, credentials=None):
    """Serves intercepted requests (Fetch domain) until the page has loaded.

    accept: the Accept header for document requests; credentials: (user,
    password) for an authentication challenge, None to cancel it as a user
    closing the dialog would."""
    end = time.monotonic() + LIMIT
    while True:
        ev = browser.events.pop(0) if browser.events else browser._read_message(end)
        method = ev.get("method")
        params = ev.get("params", {})
        if method == "Fetch.requestPaused":
            answer = {"requestId": params["requestId"]}
            if accept and params.get("resourceType") == "Document":
                headers = [{"name": k, "value": v} for k, v in params["request"]["headers"].items()
                           if k.lower() != "accept"]
                answer["headers"] = headers + [{"name": "Accept", "value": accept}]
            send_nowait(browser, "Fetch.continueRequest", answer)
        elif method == "Fetch.authRequired":
            # Like a user: type the password once; when it is refused, give up.
            reply = {"response": "CancelAuth"}
            if credentials:
                reply = {"response": "ProvideCredentials", "username": credentials[0],
                         "password": credentials[1]}
                credentials = None
            send_nowait(browser, "Fetch.continueWithAuth",
                        {"requestId": params["requestId"], "authChallengeResponse": reply})
        elif method == "Page.loadEventFired":
            return


def navigate_intercepted(browser, url, accept=None, credentials=None):
    browser.events = [e for e in browser.events if e.get("method") != "Page.loadEventFired"]
    send_nowait(browser, "Page.navigate", {"url": url})
    pump_until_load(browser, accept, credentials)


def rendered_pages(browser, check, service, artefacts):
    """Every page as server-rendered HTML, and its text against Chromium's own XSLT."""
    targets = list(PAGES) + ["controllers.cgi?controller_cliport_0=65535"]
    for target in targets:
        ctype, xml = service.xml_of(target)
        check(ctype == "application/xml" and xml.startswith("<?xml"),
              "%s: a script still gets the XML document" % target)
        title = ET.fromstring(xml.encode()).get("title")

        browser.navigate(service.url + target)
        check(browser.js("document.contentType") == "text/html",
              "%s: the browser got HTML" % target)
        check(banner(browser) is None, "%s: no XSLT banner" % target)
        check(browser.js(TITLE_JS).startswith(title), "%s: the title is the page's (%s)" % (target, title))
        server_text = browser.js(TEXT_JS)
        name = target.split(".")[0] + ("-error" if "?" in target else "")
        browser.screenshot(os.path.join(artefacts, "rendered-%s.png" % name))

        # The same document transformed by Chromium itself, as long as it can:
        # the navigation asks for XML, as a client without HTML would.
        browser.call("Fetch.enable", {"patterns": [{"urlPattern": "*", "resourceType": "Document"}]})
        try:
            navigate_intercepted(browser, service.url + target, accept="application/xml")
            client_side = browser.js("document.documentElement.tagName") == "HTML"
            had_banner = banner(browser) is not None
            browser.js(CLOSE_BANNER_JS)
            client_text = browser.js(TEXT_JS)
        finally:
            browser.call("Fetch.disable")
        if not client_side:
            print("note: %s: this Chromium no longer applies XSLT; text comparison skipped" % target)
            continue
        check(had_banner, "%s: Chromium's own XSLT still shows its banner (the comparison used it)" % target)
        check(server_text == client_text,
              "%s: the text rendered by the service equals Chromium's own XSLT" % target)
        if server_text != client_text:
            print("  service: %s\n  chromium: %s" % (server_text[:400], client_text[:400]))
    check("Port number should be in the range 1 to 65535." in server_text,
          "the message of a failed action is in the rendered page")


def submit(browser, form_js):
    """Runs a script that fills and submits a form; waits for the next page."""
    browser.events = [e for e in browser.events if e.get("method") != "Page.loadEventFired"]
    browser.js(form_js)
    browser.wait_event("Page.loadEventFired")


def forms_work(browser, check, service, artefacts):
    """The controllers, SNMP and e-mail forms through the rendered HTML."""
    browser.navigate(service.url + "controllers.cgi")
    new_port = service.ports[0][0] + 7 if service.ports[0][0] < 60000 else service.ports[0][0] - 7
    submit(browser, "(() => { document.getElementById('controller_httpport_0').value = '%d';"
                    " document.querySelector('#ports-form button[type=submit]').click(); })()" % new_port)
    check(stored_port(service.config, 0, "httpport") == new_port,
          "the controllers form (same-origin POST from Chromium) stored the port")
    check(browser.js(FIELD_VALUES_JS).get("controller_httpport_0") == str(new_port)
          and banner(browser) is None, "the answer is the rendered page with the new port")

    browser.navigate(service.url + "snmp.cgi")
    if not browser.js(TITLE_JS).startswith("SNMP"):
        print("note: snmp.cgi shows no SNMP page in this build; its form is not tried")
    else:
        submit(browser, """(() => { const f = document.querySelector('form');
            f.elements.trap_client_1.value = '127.0.0.1'; f.elements.trap_port_1.value = '1162';
            f.elements.check_error.checked = true; f.requestSubmit ? f.requestSubmit() : f.submit(); })()""")
        root = ET.parse(service.config).getroot()
        node = root.find("snmp/trap/trap1/ip")
        check(node is not None and node.text == "127.0.0.1", "the SNMP form stored receiver 1")
        check(banner(browser) is None and browser.js(FIELD_VALUES_JS).get("trap_port_1") == "1162",
              "the SNMP answer is rendered with the new receiver")
        browser.screenshot(os.path.join(artefacts, "rendered-snmp-after-submit.png"))

    browser.navigate(service.url + "email.cgi")
    if not browser.js(TITLE_JS).startswith("EMAIL"):
        print("note: email.cgi shows no e-mail page in this build; its forms are not tried")
    else:
        submit(browser, """(() => { const f = [...document.forms].find(f => f.elements.func &&
              f.elements.func.value === 'SetSmtp');
            f.elements.smtpadd.value = 'mail.example.org'; f.elements.fromadd.value = 'raid@example.org';
            f.elements.lognamedd.value = ''; f.elements.passdd.value = '';
            f.elements.port.value = '25'; f.submit(); })()""")
        check(banner(browser) is None and "mail.example.org" in browser.js("document.body.innerHTML"),
              "the SMTP form was applied and the answer is rendered")
        submit(browser, """(() => { const f = [...document.forms].find(f => f.elements.func &&
              f.elements.func.value === 'AddRecipient');
            f.elements.email.value = 'ops@example.org'; f.elements.name.value = 'ops-team';
            f.elements.check_error.checked = true; f.submit(); })()""")
        check("ops@example.org" in browser.js("document.body.innerText"),
              "the add-recipient form was applied and the answer is rendered")
        browser.screenshot(os.path.join(artefacts, "rendered-email-after-submit.png"))


def events_work(browser, check, service, artefacts):
    """The events page in Chromium: linked from every page, its test event listed after the submit."""
    browser.navigate(service.url + "controllers.cgi")
    check(browser.js("!!document.querySelector('nav a[href=\"events.cgi\"]')"),
          "the navigation links to the events page")
    browser.navigate(service.url + "events.cgi")
    check(browser.js(TITLE_JS).startswith("Events") and banner(browser) is None,
          "the events page is rendered")
    submit(browser, """(() => { const f = document.getElementById('test-event-form');
        f.elements.level.value = 'W'; f.submit(); })()""")
    text = browser.js("document.body.innerText")
    check("TEST: a test event of level warning" in text, "the test event is listed after the submit")
    check("Controller 1" in text, "the controllers' polling is shown")
    browser.screenshot(os.path.join(artefacts, "rendered-events.png"))


def other_site(browser, check, service, scratch, artefacts):
    """Another site's form and image aimed at the service change nothing."""
    site = os.path.join(scratch, "evil")
    os.makedirs(site)
    with open(os.path.join(site, "index.html"), "w") as f:
        f.write("<!DOCTYPE html><title>Other site</title>"
                "<form id=f method=post enctype=text/plain action=\"%scontrollers.cgi\">"
                "<input name=controller_httpport_0 value=1></form>"
                "<form id=g method=post action=\"%scontrollers.cgi\">"
                "<input name=controller_httpport_0 value=2></form>" % (service.url, service.url))

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=site))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        before = service.config_bytes()
        base = "http://127.0.0.1:%d/" % server.server_address[1]
        # A text/plain body ends in a line break its length counts, which the
        # parser refuses as malformed: nothing is applied either way.
        for form, what in (("g", "form"), ("f", "text/plain form")):
            browser.navigate(base + "index.html")
            submit(browser, "document.getElementById('%s').submit()" % form)
            if form == "g":
                check(browser.js(TITLE_JS).startswith("Request refused"),
                      "another site's form gets the 403 page")
            check(service.config_bytes() == before,
                  "another site's %s leaves the settings file byte-identical" % what)
        browser.screenshot(os.path.join(artefacts, "rendered-403.png"))
        browser.navigate(base + "index.html")
        result = browser.call("Runtime.evaluate", {"awaitPromise": True, "returnByValue": True,
                              "expression": """new Promise(done => { const i = new Image();
            i.onload = () => done('load'); i.onerror = () => done('error');
            i.src = '%s?controller_httpport_0=3'; })""" % service.url})
        loaded = result["result"].get("value")
        check(loaded == "error" and service.config_bytes() == before,
              "an image from another site with fields changes nothing")
        browser.navigate(service.url + "controllers.cgi")
        check(browser.js(TITLE_JS).startswith("Controller Management"),
              "a link from anywhere still shows the page")
    finally:
        server.shutdown()
        server.server_close()


def login(browser, check, service, artefacts):
    """With adminpassword: 401 without credentials, a completed form with them."""
    browser.call("Fetch.enable", {"patterns": [{"urlPattern": "*"}], "handleAuthRequests": True})
    try:
        navigate_intercepted(browser, service.url + "controllers.cgi")
        title = browser.js(TITLE_JS)
        check(title.startswith("Login required"), "without credentials the 401 page shows (%r)" % title)
        browser.screenshot(os.path.join(artefacts, "rendered-401.png"))
        navigate_intercepted(browser, service.url + "controllers.cgi", credentials=("admin", "wrong"))
        check(browser.js(TITLE_JS).startswith("Login required"), "a wrong password gets the 401 page")

        # The browser's own login: it answers the challenge and keeps the credentials.
        secret = ("admin", "browser secret")
        navigate_intercepted(browser, service.url + "controllers.cgi", credentials=secret)
        check(browser.js(TITLE_JS).startswith("Controller Management") and banner(browser) is None,
              "with the password the rendered page shows")
        check(browser.js("(() => { const i = document.querySelector('.brand img');"
                         " return i.complete && i.naturalWidth > 0; })()"),
              "the logo loads with the same credentials")
        new_port = service.ports[1][1] + 3 if service.ports[1][1] < 60000 else service.ports[1][1] - 3
        browser.events = [e for e in browser.events if e.get("method") != "Page.loadEventFired"]
        browser.js("(() => { document.getElementById('controller_cliport_1').value = '%d';"
                   " document.querySelector('#ports-form button[type=submit]').click(); })()" % new_port)
        pump_until_load(browser, credentials=secret)
        check(stored_port(service.config, 1, "cliport") == new_port,
              "Chromium with credentials completed the controllers form")
        browser.screenshot(os.path.join(artefacts, "rendered-after-login.png"))
    finally:
        browser.call("Fetch.disable")


def main():
    bin_dir, source_dir, artefacts, scratch_base = map(os.path.abspath, sys.argv[1:5])
    os.makedirs(artefacts, exist_ok=True)
    os.makedirs(scratch_base, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="pages-rendered-", dir=scratch_base)
    driver = tempfile.mkdtemp(prefix="kvo-drv-", dir=scratch if len(scratch) < 60 else "/tmp")
    check = Check()
    browser = None
    services = []
    try:
        browser = Chromium(os.path.join(scratch, "profile"))
        browser.open_page()

        open_service = Service(bin_dir, source_dir, scratch, driver, artefacts, "open")
        services.append(open_service)
        open_service.start()
        rendered_pages(browser, check, open_service, artefacts)
        forms_work(browser, check, open_service, artefacts)
        events_work(browser, check, open_service, artefacts)
        other_site(browser, check, open_service, scratch, artefacts)
        open_service.stop()

        hashed = subprocess.run(["mkpasswd", "-m", "yescrypt", "browser secret"], check=True,
                                capture_output=True, text=True).stdout.strip()
        locked = Service(bin_dir, source_dir, scratch, driver, artefacts, "login")
        services.append(locked)
        locked.start("    <adminpassword>%s</adminpassword>\n" % hashed)
        login(browser, check, locked, artefacts)
        with open(locked.log_path, errors="replace") as f:
            check(hashed not in f.read(), "the hash never appears in the service's output")
    except (AssertionError, OSError, subprocess.CalledProcessError) as e:
        check(False, str(e))
    finally:
        if browser:
            browser.close()
        for service in services:
            service.stop()
        shutil.rmtree(scratch, ignore_errors=True)
        shutil.rmtree(driver, ignore_errors=True)

    print("screenshots in " + artefacts)
    print("%d passed, %d failed" % (check.passed, len(check.failures)))
    return 1 if check.failures else 0


if __name__ == "__main__":
    sys.exit(main())
