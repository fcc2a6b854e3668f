#!/usr/bin/env python3
"""The merged offline registration page in a real browser (headless Chromium).

CAUpdateOfflineReg (the Linux host, build/linux-release/ostrel-ca-run) merges a copy of
examples/install. CASendServiceTag then runs on the merged folder against the local
registration service, with a recorder standing in for the browser: after status 200
it opens the payload destination, so the recorder learns the address the product
reads from the page. Chromium, driven through chromedriver's W3C WebDriver HTTP API,
opens the merged register.htm from disk and reads from the page's own DOM the
form's action attribute and the value of the hidden field that held "TUVW".

- The action must equal the payload destination, character for character. The
  product takes the raw bytes between the quotes, the DOM the attribute after HTML
  decoding; the sample's action holds "&v=", which is no character reference, so
  the two agree (a page that wrote "&amp;" would not: the product would post to
  "&amp;v=").
- The field must hold the service tag as the merge wrote it: svctag.xml's text with
  each double quote as %22, read the way an HTML parser reads a double-quoted
  attribute: line breaks CR LF and CR become LF, and character references are
  resolved, while "<", ">" and "%22" stay as they are (the DOM does not
  percent-decode). The sample service tag has LF line breaks and no "&", so its
  field holds exactly the bytes the merge wrote. A second service tag with "&amp;",
  "&lt;", a numeric reference, CR LF line breaks, non-ASCII text and a literal
  "%22" shows what the browser makes of those: the field then differs from
  svctag.xml's bytes exactly by those decodings, and a quote and a literal "%22"
  read the same.

One line per check (PASS, FAIL or SKIP), then "N passed, N failed". Where Chromium
or chromedriver cannot start, the browser checks are one SKIP line.

Usage: merged_page_test.py [--work DIR] (default build/browser-test)
"""
import argparse
import html
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
from html.parser import HTMLParser
from xml.etree import ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from wine_install import EXAMPLE_INSTALL, LocalService, make_certificates  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from check_report import Report  # noqa: E402

HOST = os.path.join(ROOT, "build", "linux-release", "ostrel-ca-run")
# OSTREL_CHROMIUM names another Chromium binary.
CHROMIUM = os.environ.get("OSTREL_CHROMIUM", "/usr/bin/chromium")
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
CHROMIUM_ARGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync"]
# The sample page's service host; the test certificates are made for it.
SAMPLE_HOST = "register.example.com"
HOST_TIMEOUT = 60
DRIVER_START_LIMIT = 30
SESSION_TIMEOUT = 90
REQUEST_TIMEOUT = 30

# A service tag holding what an HTML attribute decodes: XML's own references, a
# numeric one, CR LF line breaks, non-ASCII text, a quote and a literal "%22".
AWKWARD_URN = "urn:st:7b1e4c2a-9d3f-4e6a-8c5b-2f0a1d9e3c47"
AWKWARD_TAG = (
    '<?xml version="1.0" encoding="UTF-8"?>\r\n'
    '<registration_data version="1.0">\r\n'
    f'  <registry urn="{AWKWARD_URN}" version="1.0">\r\n'
    "    <service_tag>\r\n"
    "      <product_name>Ostrel Desk &amp; Tools &lt;beta&gt; 5 > 4</product_name>\r\n"
    '      <product_parent>Ostrel "Workplace" Suite, 100%22 sure</product_parent>\r\n'
    "      <site>Z\u00fcrich \u4e2d\u6587 caf&#233;</site>\r\n"
    "    </service_tag>\r\n"
    "  </registry>\r\n"
    "</registration_data>\r\n"
).encode("utf-8")

# Reads the form's action and the two merged fields from the DOM.
READ_PAGE_SCRIPT = """
const form = document.forms[0];
const field = name => document.querySelector('input[name="' + name + '"]');
return {
  title: document.title,
  action: form ? form.getAttribute('action') : null,
  urnField: field(arguments[0]) ? field(arguments[0]).value : null,
  tagField: field(arguments[1]) ? field(arguments[1]).value : null,
  tagAttribute: field(arguments[1]) ? field(arguments[1]).getAttribute('value') : null,
};
"""


class PlaceholderFields(HTMLParser):
    """Names the input fields of a page whose value is a placeholder."""

    def __init__(self):
        super().__init__()
        self.by_value = {}

    def handle_starttag(self, tag, attrs):
        values = dict(attrs)
        if tag == "input" and values.get("value") in ("WXYZ", "TUVW"):
            self.by_value.setdefault(values["value"], []).append(values.get("name"))


def placeholder_fields(page):
    parser = PlaceholderFields()
    parser.feed(page.decode("utf-8"))
    return parser.by_value


def as_attribute_reads(text):
    """What an HTML parser makes of `text` inside a double-quoted attribute: CR LF
    and CR become LF, character references are resolved. (In an attribute a named
    reference without ';' before '=' or a letter stays as written; a service tag is
    well-formed XML, whose references all end in ';', so html.unescape, which
    resolves those alike everywhere, gives the same.)"""
    return html.unescape(text.replace("\r\n", "\n").replace("\r", "\n"))


def run_host(*args):
    return subprocess.run([HOST, *args], capture_output=True, text=True, timeout=HOST_TIMEOUT)


def merge(report, folder, label):
    """CAUpdateOfflineReg on `folder`; True when it returned 0."""
    result = run_host("--property", f"UpdateRegistration={folder}/", "CAUpdateOfflineReg")
    return report.check(result.returncode == 0,
                        f"{label}: CAUpdateOfflineReg merges the page (host returns 0)",
                        f"exit {result.returncode}: {result.stdout.strip()[-300:]}")


def payload_destination(report, work, folder):
    """The address CASendServiceTag posts to and, after status 200, opens: what the
    product reads from the merged page's form action. None when it was not had."""
    cert_dir = os.path.join(work, "certs")
    made = make_certificates(cert_dir)
    if not report.check(made.returncode == 0, "test certificates made", made.stderr[-300:]):
        return None
    service = LocalService(work, cert_dir, "service", "--status", "200",
                           listen="127.0.0.1:0", max_requests=1)
    if not report.check(service.start(), "local registration service listens on 127.0.0.1",
                        service.stderr()[-300:]):
        return None
    opened = os.path.join(work, "opened.txt")
    if os.path.exists(opened):
        os.remove(opened)
    browser = os.path.join(work, "record-open")
    with open(browser, "w", encoding="ascii") as f:
        f.write(f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{opened}"\n')
    os.chmod(browser, 0o755)
    try:
        result = run_host("--trust-ca", os.path.join(cert_dir, "ca.pem"),
                          "--connect-to", f"{SAMPLE_HOST}:443:127.0.0.1:{service.port()}",
                          "--open-with", browser,
                          "--property", f"PostRegistration={folder}/", "CASendServiceTag")
        service.wait_for("request", 10)
    finally:
        service.stop()
    requests = service.events("request")
    ok = report.check(result.returncode == 0 and len(requests) == 1,
                      "CASendServiceTag posts to the local service (status 200, host returns 0)",
                      f"exit {result.returncode}, {len(requests)} request(s): "
                      f"{result.stdout.strip()[-300:]}")
    # The recorder is started, not waited for.
    limit = time.monotonic() + 10
    while not os.path.exists(opened) and time.monotonic() < limit:
        time.sleep(0.05)
    lines = []
    if os.path.exists(opened):
        with open(opened, encoding="utf-8") as f:
            lines = f.read().splitlines()
    if not report.check(ok and len(lines) == 1,
                        "the browser is asked to open one address after status 200",
                        f"opened {lines}"):
        return None
    report.note(f"payload destination: {lines[0]}")
    return lines[0]


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Browser:
    """Chromium through chromedriver, on a loopback port, with its own profile."""

    def __init__(self, work):
        self.work = work
        self.profile = os.path.join(work, "chromium-profile")
        self.port = free_port()
        self.driver = None
        self.session = None

    def call(self, method, path, body=None, timeout=REQUEST_TIMEOUT):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(
            f"http://127.0.0.1:{self.port}{path}", data=data, method=method,
            headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=timeout) as answer:
                return json.load(answer)["value"]
        except urllib.error.HTTPError as error:
            value = json.load(error)["value"]
            raise RuntimeError(f"{value.get('error')}: {value.get('message', '')[:300]}")

    def start(self):
        """Starts chromedriver and a Chromium session; None, or why it could not."""
        if not os.access(CHROMIUM, os.X_OK) or not os.access(CHROMEDRIVER, os.X_OK):
            return f"{CHROMIUM} or {CHROMEDRIVER} is not installed"
        shutil.rmtree(self.profile, ignore_errors=True)
        with open(os.path.join(self.work, "chromedriver.log"), "wb") as log:
            self.driver = subprocess.Popen(
                [CHROMEDRIVER, f"--port={self.port}"], stdin=subprocess.DEVNULL,
                stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        limit = time.monotonic() + DRIVER_START_LIMIT
        while True:
            try:
                if self.call("GET", "/status", timeout=2).get("ready"):
                    break
            except (OSError, RuntimeError, ValueError):
                pass
            if self.driver.poll() is not None or time.monotonic() > limit:
                return f"chromedriver did not come up (see {self.work}/chromedriver.log)"
            time.sleep(0.1)
        options = {"binary": CHROMIUM, "args": CHROMIUM_ARGS + [f"--user-data-dir={self.profile}"]}
        try:
            answer = self.call("POST", "/session", {"capabilities": {"alwaysMatch": {
                "browserName": "chrome", "goog:chromeOptions": options}}}, SESSION_TIMEOUT)
        except (OSError, RuntimeError, ValueError) as error:
            return f"Chromium did not start: {error}"
        self.session = answer["sessionId"]
        self.call("POST", f"/session/{self.session}/timeouts",
                  {"pageLoad": 20000, "script": 10000})
        return None

    def read_page(self, path, urn_field, tag_field):
        base = f"/session/{self.session}"
        self.call("POST", f"{base}/url", {"url": "file://" + urllib.parse.quote(path)})
        return self.call("POST", f"{base}/execute/sync",
                         {"script": READ_PAGE_SCRIPT, "args": [urn_field, tag_field]})

    def stop(self):
        if self.session is not None:
            try:
                self.call("DELETE", f"/session/{self.session}")
            except (OSError, RuntimeError, ValueError):
                pass
        if self.driver is not None:
            self.driver.terminate()
            try:
                self.driver.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.driver.kill()
                self.driver.wait()
        # Whatever Chromium left of this profile's processes.
        for pid in profile_processes(self.profile):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass


def profile_processes(profile):
    """Ids of the processes started with this test's Chromium profile."""
    mark = f"--user-data-dir={profile}".encode()
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    if mark in f.read().split(b"\0"):
                        pids.append(int(entry))
            except OSError:
                pass
    return pids


def check_page(report, browser, label, folder, fields, service_tag, destination):
    """Reads the merged page in Chromium and holds its DOM to the product's values."""
    urn_field, tag_field = fields["WXYZ"][0], fields["TUVW"][0]
    try:
        dom = browser.read_page(os.path.join(folder, "register.htm"), urn_field, tag_field)
    except (OSError, RuntimeError, ValueError) as error:
        report.check(False, f"{label}: Chromium reads the merged page's DOM", str(error))
        return None
    report.check(dom.get("title") == "Register Ostrel Desk",
                 f"{label}: Chromium shows the merged page", repr(dom.get("title")))
    report.check(dom.get("action") == destination,
                 f"{label}: the form's action in the DOM is the payload destination the "
                 "product posts to", f"DOM {dom.get('action')!r}, product {destination!r}")
    urn = registry_urn(service_tag)
    report.check(dom.get("urnField") == urn,
                 f"{label}: the field that held \"WXYZ\" ({urn_field}) holds the registry URN",
                 f"{dom.get('urnField')!r}, want {urn!r}")
    written = service_tag.split(b"\0", 1)[0].replace(b'"', b"%22").decode("utf-8")
    want = as_attribute_reads(written)
    got = dom.get("tagField")
    report.check(got == want and dom.get("tagAttribute") == want,
                 f"{label}: the field that held \"TUVW\" ({tag_field}) holds the service tag "
                 "as the merge wrote it, as an HTML attribute reads", first_difference(got, want))
    return got, written


def registry_urn(service_tag):
    """The urn attribute of the service tag's registry element."""
    for parent in ElementTree.fromstring(service_tag).iter("registration_data"):
        registry = parent.find("registry")
        if registry is not None:
            return registry.get("urn")
    return None


def first_difference(got, want):
    if got is None:
        return "no such field"
    at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    return (f"{len(got)} characters, want {len(want)}; first difference at {at}: "
            f"{got[at:at + 40]!r} / {want[at:at + 40]!r}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "browser-test"))
    args = parser.parse_args()
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    report = Report()

    sample = os.path.join(work, "sample")
    shutil.copytree(EXAMPLE_INSTALL, sample)
    with open(os.path.join(sample, "register.htm"), "rb") as f:
        fields = placeholder_fields(f.read())
    report.check(len(fields.get("WXYZ", [])) == 1 and len(fields.get("TUVW", [])) == 1,
                 "the sample page has one field for each placeholder", f"{fields}")
    with open(os.path.join(sample, "svctag.xml"), "rb") as f:
        sample_tag = f.read()
    awkward = os.path.join(work, "awkward")
    shutil.copytree(EXAMPLE_INSTALL, awkward)
    with open(os.path.join(awkward, "svctag.xml"), "wb") as f:
        f.write(AWKWARD_TAG)

    ready = len(fields.get("TUVW", [])) == 1 and len(fields.get("WXYZ", [])) == 1
    ready = merge(report, sample, "sample") and ready
    ready = merge(report, awkward, "awkward service tag") and ready
    destination = payload_destination(report, work, sample) if ready else None

    if destination is not None:
        browser = Browser(work)
        try:
            why = browser.start()
            if why:
                report.skip("the merged page in Chromium", why)
            else:
                check_page(report, browser, "sample", sample, fields, sample_tag, destination)
                read = check_page(report, browser, "awkward service tag", awkward, fields,
                                  AWKWARD_TAG, destination)
                if read and read[0] is not None:
                    got, written = read
                    report.note(f"awkward service tag: the merge wrote {len(written)} "
                                f"characters, the DOM holds {len(got)}: CR LF read as LF, "
                                "&amp; &lt; &gt; &#233; resolved, '<' '>' and %22 kept")
                    report.check(got != written and "&amp;" not in got and "\r" not in got
                                 and "Desk & Tools <beta>" in got and "100%22 sure" in got
                                 and "Ostrel %22Workplace%22 Suite" in got,
                                 "awkward service tag: the browser resolves the tag's XML "
                                 "references and line breaks; a quote and a literal %22 read "
                                 "alike", repr(got[:200]))
        finally:
            browser.stop()

    return report.summary()


if __name__ == "__main__":
    sys.exit(main())
