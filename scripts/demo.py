#!/usr/bin/env python3
"""The demo after set-up (scripts/demo runs it): the five custom actions of
ostrel_ca at work, and a short report of what each did.

1. In the Linux installer host (build/linux-release/ostrel-ca-run), on a copy of
   examples/install: CASetRegDateTime, CACreateURN, CAQueryWMI (the sample
   package's inventory statement), CAUpdateOfflineReg (the page before and after
   the merge), then CASendServiceTag against the local registration service
   (tests/support/registration_service.py, a test CA made here; the page's host is
   sent to it on 127.0.0.1), with a recorder standing in for the browser.
2. In a real installer: the sample package examples/ostrel_desk.wxs, built with
   wixl around build/mingw-i686/ostrel_ca.dll, installed by Wine's
   `msiexec /i ... REGISTRATIONCONSENT=1 /qn /l*v LOG` in a throwaway 32-bit
   WINEPREFIX (64-bit, with the x86_64 DLL, where this machine cannot run 32-bit
   Windows code), against the same service on 127.0.0.1:443 (the prefix trusts
   the test CA; its open verbs record the browser's target).
   Before installing, ostrel-ca-check reads the built package (no findings) and a
   mis-authored copy of it (its findings shown).

Every step's files and logs stay under build/demo/. The exit status is 0 when
every action did what it should, 1 otherwise (the report says what went wrong).
"""
import base64
import html
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import wine_install as wi  # noqa: E402  (tests/e2e/wine_install.py)

WORK = os.path.join(ROOT, "build", "demo")
HOST = os.path.join(ROOT, "build", "linux-release", "ostrel-ca-run")
CHECKER = os.path.join(ROOT, "build", "linux-release", "ostrel-ca-check")
SAMPLE_HOST = "register.example.com"
PROPERTY_LINE = re.compile(r"^Property\(S\): (\S+) = (.*)$")
EXPORTS = ("CASetRegDateTime", "CACreateURN", "CAQueryWMI", "CAUpdateOfflineReg",
           "CASendServiceTag")
# How long the Wine part waits for 127.0.0.1:443 when another run holds it.
PORT_WAIT = 60

problems = []


def rel(path):
    return os.path.relpath(path, ROOT)


def say(text=""):
    print(text, flush=True)


def expect(ok, what):
    """Notes a problem (shown at once and in the summary) when `ok` is false."""
    if not ok:
        problems.append(what)
        say(f"    !! {what}")
    return ok


def show_text(text, head=64, tail=24):
    """A long or multi-line value on one line: line breaks as \\n, the middle cut."""
    flat = text.replace("\r", "\\r").replace("\n", "\\n")
    return flat if len(flat) <= head + tail + 5 else f"{flat[:head]} ... {flat[-tail:]}"


def sample_inventory_statement():
    """The WMIQuery of the sample package, as the package sets it."""
    with open(wi.SAMPLE_WXS, encoding="utf-8") as f:
        match = re.search(r'<Property Id="WMIQuery" Value="([^"]*)"', f.read())
    return html.unescape(match.group(1))


def placeholder_spots(page):
    """[(placeholder, text before it on its line, text after it on its line)]."""
    spots = []
    for mark in ("WXYZ", "TUVW"):
        at = page.index(mark)
        start = page.rfind("\n", 0, at) + 1
        end = page.find("\n", at)
        spots.append((mark, page[start:at], page[at + 4 : end if end >= 0 else len(page)]))
    return spots


def show_merge(before, after, service_tag):
    """Prints each placeholder's line before the merge and what stands there after."""
    expect(b"WXYZ" not in after and b"TUVW" not in after, "a placeholder is left in the page")
    before, after = before.decode("utf-8"), after.decode("utf-8")
    position = 0
    for mark, lead, rest in placeholder_spots(before):
        say(f"      before: {(lead + mark + rest).strip()}")
        start = after.find(lead, position)
        end = after.find(rest, start + len(lead)) if start >= 0 else -1
        if start < 0 or end < 0:
            expect(False, f"the line of {mark} is not found in the merged page")
            continue
        inserted = after[start + len(lead) : end]
        position = end
        say(f"      after:  {(lead + show_text(inserted) + rest).strip()}")
        if mark == "TUVW":
            quotes = service_tag.count(b'"')
            encoded = service_tag.replace(b'"', b"%22").decode("utf-8")
            expect(inserted == encoded, "the service tag spot does not hold svctag.xml with "
                   "quotes as %22")
            say(f"              ({len(inserted.encode())} bytes in place of TUVW: svctag.xml, its "
                f"{quotes} double quotes written as %22)")
        else:
            say("              (the registry URN of svctag.xml in place of WXYZ)")


def show_request(service, service_tag):
    """Prints the one request the service received."""
    requests = service.events("request")
    if not expect(len(requests) == 1, f"the service received {len(requests)} requests, not 1"):
        return
    request = requests[0]
    body = base64.b64decode(request["body_base64"])
    say(f"      {request['method']} {request['path']} {request['http_version']} "
        f"over {request['tls_version']}")
    for name, value in request["headers"]:
        say(f"      {name}: {value}")
    same = body == service_tag
    say(f"      (body: {len(body)} bytes, " + ("svctag.xml byte for byte)" if same else
                                                "NOT svctag.xml)"))
    expect(request["method"] == "POST", "the request is not a POST")
    expect(same, "the body is not svctag.xml")


# ------------------------------------------------------------ the Linux host


def host(*args):
    """Runs the host; (exit status, {property: value}, output)."""
    result = subprocess.run([HOST, *args], capture_output=True, text=True, timeout=120)
    properties = {}
    for line in result.stdout.splitlines():
        match = PROPERTY_LINE.match(line)
        if match:
            properties[match.group(1)] = match.group(2)
    return result.returncode, properties, result.stdout + result.stderr


def host_step(what, args):
    """Runs one action in the host, keeps its output in build/demo/host/ACTION.txt,
    says what it returned and did; the properties it set."""
    code, properties, output = host(*args)
    action = args[-1]
    log = os.path.join(WORK, "host", action + ".txt")
    with open(log, "w", encoding="utf-8") as f:
        f.write(output)
    say(f"  {action} returned {code}, {what}")
    expect(code == 0, f"{action} returned {code} in the host (see {rel(log)})")
    return properties


def run_in_host():
    say("1. The Linux installer host, build/linux-release/ostrel-ca-run: each action in a fresh")
    say("   installer session, the way msiexec would call it.")
    os.makedirs(os.path.join(WORK, "host"))
    folder = os.path.join(WORK, "host", "install")
    shutil.copytree(wi.EXAMPLE_INSTALL, folder)
    say(f"   Installation folder: {rel(folder)}/ (a copy of examples/install)")
    say()

    props = host_step("setting", ["CASetRegDateTime"])
    say(f"      SysDateTime = {props.get('SysDateTime')}")
    expect(re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC", props.get("SysDateTime", "")),
           "SysDateTime is not a UTC date and time")

    props = host_step("setting", ["CACreateURN"])
    say(f"      NewURN = {props.get('NewURN')}")
    expect(re.fullmatch(r"urn:st:uuid:[0-9a-f-]{36}", props.get("NewURN", "")),
           "NewURN is not urn:st:uuid:<uuid>")

    statement = sample_inventory_statement()
    props = host_step(f'setting from this machine\'s inventory\n    (WMIQuery = "{statement}")',
                      ["--property", f"WMIQuery={statement}", "CAQueryWMI"])
    inventory = {k: v for k, v in props.items() if k.startswith("OperatingSystem_")}
    for name, value in sorted(inventory.items()):
        say(f"      {name} = {value}")
    expect(len(inventory) == 3, f"CAQueryWMI set {len(inventory)} OperatingSystem_ properties")

    page_path = os.path.join(folder, "register.htm")
    before = read(page_path)
    service_tag = read(os.path.join(folder, "svctag.xml"))
    host_step("merging svctag.xml into register.htm:",
              ["--property", f"UpdateRegistration={folder}/", "CAUpdateOfflineReg"])
    merged = read(page_path)
    show_merge(before, merged, service_tag)
    code, _, output = host("--property", f"UpdateRegistration={folder}/", "CAUpdateOfflineReg")
    say("    A second merge finds the placeholders used up; the failure lines it writes:")
    lines = [line for line in output.splitlines() if line.startswith("CAUpdateOfflineReg:  ")]
    for line in lines:
        say(f"      {line}")
    expect(code != 0 and lines, "a second merge did not fail with its failure lines")
    expect(read(page_path) == merged, "the failed second merge changed the page")

    cert_dir = os.path.join(WORK, "certs")
    made = wi.make_certificates(cert_dir)
    if not expect(made.returncode == 0, "the test certificates could not be made"):
        return
    service = wi.LocalService(os.path.join(WORK, "host"), cert_dir, "service", "--status", "200",
                              listen="127.0.0.1:0", max_requests=1)
    if not expect(service.start(), "the local registration service did not start: "
                  + service.stderr()[-200:]):
        return
    opened = os.path.join(WORK, "host", "opened.txt")
    browser = os.path.join(WORK, "host", "browser")
    with open(browser, "w", encoding="ascii") as f:
        f.write(f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{opened}"\n')
    os.chmod(browser, 0o755)
    port = service.port()
    try:
        host_step(f"posting svctag.xml to the page's form action; the local\n"
                  f"    service (test CA, {SAMPLE_HOST}:443 sent to 127.0.0.1:{port}) received:",
                  ["--trust-ca", os.path.join(cert_dir, "ca.pem"),
                   "--connect-to", f"{SAMPLE_HOST}:443:127.0.0.1:{port}",
                   "--open-with", browser, "--property", f"PostRegistration={folder}/",
                   "CASendServiceTag"])
        service.wait_for("request", 10)
    finally:
        service.stop()
    show_request(service, service_tag)
    targets = wait_for_lines(opened)
    say(f"    and the browser was asked to open: {', '.join(targets) or '(nothing)'}")
    expect(targets == [wi.SAMPLE_DESTINATION], "the browser was not sent to the form action")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def wait_for_lines(path, seconds=10):
    """The lines of a file a started (not awaited) program writes."""
    limit = time.monotonic() + seconds
    while not os.path.exists(path) and time.monotonic() < limit:
        time.sleep(0.05)
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return f.read().splitlines()


# ------------------------------------------------------------ Wine's msiexec


def build_x86_64_dll():
    """The 64-bit DLL, built when this machine cannot run 32-bit Windows code."""
    log = os.path.join(WORK, "mingw-x86_64-build.log")
    with open(log, "w") as out:
        ok = all(subprocess.run(command, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT)
                 .returncode == 0 for command in (["cmake", "--preset", "mingw-x86_64"],
                                                  ["cmake", "--build", "--preset",
                                                   "mingw-x86_64"]))
    expect(ok, f"the x86_64 DLL did not build (see {rel(log)})")
    return os.path.join(ROOT, "build", "mingw-x86_64", "ostrel_ca.dll") if ok else None


def start_service_on_443(work, cert_dir):
    """The service on 127.0.0.1:443; waits a while when another run holds the port."""
    limit = time.monotonic() + PORT_WAIT
    while True:
        service = wi.LocalService(work, cert_dir, "service", "--status", "200", max_requests=1)
        if service.start():
            return service
        if time.monotonic() > limit:
            expect(False, f"the service could not listen on {wi.SERVICE_LISTEN}: "
                   + service.stderr()[-200:])
            return None
        time.sleep(2)


def run_in_wine():
    say("2. A real installer: the sample package examples/ostrel_desk.wxs, installed by")
    say("   Wine's msiexec in a throwaway Wine prefix.")
    work = os.path.join(WORK, "wine")
    os.makedirs(work)
    # A 32-bit prefix only when one really starts: the loader's --version can
    # answer where wineboot then fails.
    started = time.monotonic()
    wine = wi.Wine(os.path.join(work, "prefix"), win32=True)
    booted = False
    if wine.can_run("i686"):
        try:
            booted, result = wine.boot()
            why = "wineboot -i of a 32-bit prefix failed: " + (
                result.stderr.strip().splitlines() or [f"exit {result.returncode}"])[-1]
        except subprocess.TimeoutExpired:
            wine.stop()
            why = "wineboot -i of a 32-bit prefix did not finish"
    else:
        why = (wine.last_error.splitlines() or ["no 32-bit loader"])[0]
    if booted:
        machine, arch, compiler = "i686", "x86", "i686-w64-mingw32-gcc"
        dll = os.path.join(ROOT, "build", "mingw-i686", "ostrel_ca.dll")
        say("   Prefix: 32-bit (WINEARCH=win32); this machine runs 32-bit Windows code.")
    else:
        wine = wi.Wine(os.path.join(work, "prefix"))
        machine, arch, compiler = "x86_64", "x64", "x86_64-w64-mingw32-gcc"
        why = why[:160]
        say("   Prefix: 64-bit; this machine's Wine cannot run 32-bit Windows code")
        say(f"   ({why}), so the x86_64 DLL stands in.")
        dll = build_x86_64_dll()
        if dll is None:
            return
    if not expect(os.path.exists(dll) and wi.pe_machine(dll) == machine,
                  f"{rel(dll)} is missing or not a {machine} DLL"):
        return
    say(f"   DLL:    {rel(dll)} ({machine}, {os.path.getsize(dll):,} bytes)")

    source = wi.copy_install_for_localhost(os.path.join(work, "install"))
    msi = os.path.join(work, "ostrel_desk.msi")
    build_log = os.path.join(work, "wixl.log")
    with open(build_log, "w") as out:
        built = subprocess.run(["wixl", "-a", arch, "-D", f"OstrelCaDll={os.path.relpath(dll, work)}",
                                "-D", "InstallSource=install", "-o", "ostrel_desk.msi",
                                os.path.relpath(wi.SAMPLE_WXS, work)],
                               cwd=work, stdout=out, stderr=subprocess.STDOUT, timeout=120)
    if not expect(built.returncode == 0 and os.path.exists(msi),
                  f"wixl could not build the package (see {rel(build_log)})"):
        return
    say(f"   Package: {rel(msi)} (wixl -a {arch}); it installs {rel(source)}/,")
    say("            a copy of examples/install whose form action names https://localhost/...")
    say("            (Wine resolves names without the prefix's hosts file)")

    check_packages(work, arch, dll)

    say("   Preparing the prefix (wineboot, the test CA in its Root store, a recorder as")
    say("   its browser) ...")
    if not booted:
        started = time.monotonic()
        booted, result = wine.boot()
        if not expect(booted, "wineboot did not make the prefix: " + result.stderr[-300:]):
            return
    try:
        run_install(wine, work, msi, compiler, started)
    finally:
        wine.stop()


def check_packages(work, arch, dll):
    """ostrel-ca-check on the sample package, then on a copy with two mistakes: the
    browser action's return value checked, and the merge run on every repair."""
    say("   $ build/linux-release/ostrel-ca-check ostrel_desk.msi")
    clean = subprocess.run([CHECKER, "ostrel_desk.msi"], cwd=work, capture_output=True,
                           text=True, timeout=60)
    for line in (clean.stdout + clean.stderr).splitlines():
        say(f"     {line}")
    expect(clean.returncode == 0 and clean.stdout.startswith("ostrel_desk.msi: 0 errors, 0 warnings"),
           f"ostrel-ca-check found something in the sample package (exit {clean.returncode})")
    with open(wi.SAMPLE_WXS, encoding="utf-8") as f:
        sample = f.read()
    broken = sample.replace('Return="ignore"', 'Return="check"').replace(
        '<Custom Action="UpdateOfflineRegistration" Sequence="4002">NOT Installed</Custom>',
        '<Custom Action="UpdateOfflineRegistration" Sequence="4002"/>')
    with open(os.path.join(work, "mis_authored.wxs"), "w", encoding="utf-8") as f:
        f.write(broken)
    built = subprocess.run(["wixl", "-a", arch, "-D", f"OstrelCaDll={os.path.relpath(dll, work)}",
                            "-D", "InstallSource=install", "-o", "mis_authored.msi",
                            "mis_authored.wxs"], cwd=work, capture_output=True, text=True,
                           timeout=120)
    if not expect(built.returncode == 0, "wixl could not build the mis-authored copy"):
        return
    say("   A copy with Return=\"check\" on SendServiceTag and no condition on")
    say("   UpdateOfflineRegistration:")
    say("   $ build/linux-release/ostrel-ca-check mis_authored.msi")
    found = subprocess.run([CHECKER, "mis_authored.msi"], cwd=work, capture_output=True,
                           text=True, timeout=60)
    for line in (found.stdout + found.stderr).splitlines():
        say(f"     {line}")
    expect(found.returncode == 1 and " OCA303 error: " in found.stdout and
           " OCA203 warning: " in found.stdout,
           f"ostrel-ca-check missed the copy's mistakes (exit {found.returncode})")
    say()


def run_install(wine, work, msi, compiler, started):
    cert_dir = os.path.join(WORK, "certs")
    built, detail = wi.build_recorder(wine, compiler)
    if not expect(built, "the recorder did not build: " + detail):
        return
    done, detail = wi.trust_ca_and_set_open_verbs(wine, cert_dir)
    if not expect(done, "the prefix could not be prepared: " + detail):
        return
    say(f"   ... ready in {time.monotonic() - started:.0f} s: {rel(wine.prefix)}")
    service = start_service_on_443(work, cert_dir)
    if service is None:
        return
    say(f"   Registration service: {wi.SERVICE_LISTEN} (the test CA is trusted in the prefix only)")
    say()
    log_path = os.path.join(work, "ostrel_desk.log")
    say("   $ msiexec /i ostrel_desk.msi REGISTRATIONCONSENT=1 /qn /l*v ostrel_desk.log")
    wi.clear_opened(wine)
    began = time.monotonic()
    try:
        code = wine.msiexec(work, "ostrel_desk.msi", "ostrel_desk.log",
                            ["REGISTRATIONCONSENT=1"]).returncode
    except subprocess.TimeoutExpired:
        code = "a time-out"
    finally:
        wine.wait()
        service.wait_for("request", 5)
        service.stop()
    say(f"     exit status {code} after {time.monotonic() - began:.1f} s; "
        f"log: {rel(log_path)}")
    expect(code == 0, f"msiexec ended with {code}")
    if not expect(os.path.exists(log_path), "msiexec wrote no log"):
        return
    log = wi.Log.read(log_path)
    show_library_lines(log, log_path, msi)
    show_wine_results(wine, log)
    say("  CASendServiceTag posted svctag.xml; the registration service received")
    show_request(service, read(os.path.join(work, "install", "svctag.xml")))
    targets = wi.opened_targets(wine)
    say(f"    and the browser was asked to open: {', '.join(targets) or '(nothing)'}")
    expect(targets == [wi.LOCAL_DESTINATION], "the browser was not sent to the form action")


def show_library_lines(log, log_path, msi):
    """The verbose log's lines about the library: how each action that calls it
    ended (a deferred one twice: scheduled, then run in the install script), and
    the library's own lines."""
    rows = {action: row for action, row in wi.custom_action_types(msi).items()
            if row[1] == "OstrelCa"}
    expect(sorted(row[2] for row in rows.values()) == sorted(EXPORTS),
           "the package does not call all five exports")
    say(f"  The verbose log's lines for the library ({rel(log_path)}):")
    seen = {}
    for line in log.lines:
        match = wi.ACTION_ENDED.match(line)
        if not match or match.group(1) not in rows:
            continue
        action = match.group(1)
        export, deferred = rows[action][2], rows[action][0] & wi.CA_IN_SCRIPT
        seen[action] = seen.get(action, 0) + 1
        where = ""
        if deferred:
            where = ", scheduled" if seen[action] == 1 else ", run in the install script"
        say(f"      {line:<66} [{export}{where}]")
    for action, (kind, _, export) in rows.items():
        script = "InstallFinalize" if kind & wi.CA_IN_SCRIPT else None
        expect(log.results(action, after=script) == [1],
               f"{action} ({export}) did not end with Return value 1")
    own = log.library_lines()
    for line in own:
        say(f"      {line}")
    if not own:
        say("      (no line of the library's own: it writes to the log only when a step")
        say("       fails, as in the host's second merge above)")
    expect(not log.failure_lines(), "the library wrote failure lines")


def show_wine_results(wine, log):
    say("  Properties the actions set (the log's closing property dump):")
    shown = ["SysDateTime", "NewURN"] + sorted(
        k for k in log.properties if k.startswith("OperatingSystem_"))
    for name in shown:
        say(f"      {name} = {log.properties.get(name)}")
    expect(all(log.properties.get(name) for name in shown) and len(shown) == 5,
           "a property is missing from the log")
    install_dir = log.properties.get("INSTALLDIR", "")
    say(f"  CAUpdateOfflineReg (deferred, as LocalSystem) merged {install_dir}register.htm:")
    if not expect(install_dir.startswith("C:\\"), "INSTALLDIR is not in the log"):
        return
    installed = wi.unix_path(wine.prefix, install_dir)
    source = os.path.join(os.path.dirname(wine.prefix), "install")
    show_merge(read(os.path.join(source, "register.htm")),
               read(os.path.join(installed, "register.htm")),
               read(os.path.join(installed, "svctag.xml")))


def main():
    began = time.monotonic()
    if os.path.exists(WORK):
        shutil.rmtree(WORK)
    os.makedirs(WORK)
    say()
    say("ostrel_ca demo: the five custom actions of the library at work.")
    say(f"Every file and log of this run is under {rel(WORK)}/.")
    say()
    run_in_host()
    say()
    run_in_wine()
    say()
    took = time.monotonic() - began
    if problems:
        say(f"Demo FAILED after {took:.0f} s; what went wrong:")
        for problem in problems:
            say(f"  - {problem}")
        return 1
    say(f"All five actions did their work in the Linux host and in Wine's msiexec "
        f"({took:.0f} s).")
    return 0


if __name__ == "__main__":
    sys.exit(main())
