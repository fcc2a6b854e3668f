#!/usr/bin/env python3
"""End-to-end tests of ostrel_ca.dll in real MSI packages under Wine's msiexec.

For each DLL given, the harness builds the packages in tests/e2e/packages/ around
it with msitools' wixl, installs each with `msiexec /i PKG /qn /l*v LOG` in a
throwaway WINEPREFIX, and reads the verbose log: every custom action's result
("Action ended ...: NAME. Return value 1."), the lines the library wrote (a
failure line reads "CAName:  Error 0x...: message") and the closing
"Property(S): NAME = VALUE" dump. One line per check, then "N passed, N failed";
the exit status is non-zero when a check failed.

The install runs in a time zone 5 h 45 min east of UTC, so a timestamp taken in
local time instead of UTC cannot pass.

The WMI packages run CAQueryWMI immediately and deferred against Wine's own WMI.
What the properties must hold is computed independently by wmi_probe.exe
(probe/wmi_probe.cpp), built with mingw-w64 in the same run and run in the same
prefix before and after the install: a property both probe runs agree on must
equal it exactly; one that moved in between (free memory, the local time) must
have the same shape.

Usage: run_e2e.py --dll build/mingw-i686/ostrel_ca.dll --dll build/mingw-x86_64/ostrel_ca.dll
           [--work DIR] [--require-all] [--jobs N] [--suite NAME ...]
With --jobs N the suites are shared out into N groups that run at once, each in
a prefix of its own (the suites that use the local service's port together).
A DLL whose machine type this host cannot run under Wine (a 32-bit DLL on a
kernel without 32-bit support) is reported as skipped, or as a failure with
--require-all.
"""
import argparse
import base64
import datetime
import html
import os
import re
import shutil
import subprocess
import sys
import time
from xml.etree import ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from wine_install import (  # noqa: E402  (lives beside this file)
    EXAMPLE_INSTALL, LOCAL_DESTINATION, MSIEXEC_TIMEOUT, SAMPLE_WXS, SERVICE_LISTEN,
    SERVICE_PATH, LocalService, Log, Wine, build_recorder, clear_opened,
    copy_install_for_localhost, custom_action_types, decode_log, localhost_page,
    machine_store_verdict, make_certificates, opened_targets, package_properties, pe_machine,
    trust_ca_and_set_open_verbs, unix_path,
)
from emulated_workers import SessionWine, emulated_i686, run_claimed, run_workers  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "tests", "support"))
from check_report import Report  # noqa: E402
PACKAGES_DIR = os.path.join(HERE, "packages")

# POSIX TZ for UTC+05:45: the minutes differ from UTC as well as the hours.
INSTALL_TZ = "OST-5:45"
INSTALL_TZ_OFFSET = datetime.timedelta(hours=5, minutes=45)

SYS_DATE_TIME = re.compile(r"^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2}) UTC$")
URN = re.compile(r"^urn:st:uuid:[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
STAMP_EXPORTS = ("CASetRegDateTime", "CACreateURN")

# The statements of the WMI packages' actions, put in place of @QUERY:Action@.
WMI_QUERIES = {
    "wmi_immediate.wxs": [
        ("QueryOs", "SELECT * FROM Win32_OperatingSystem"),
        ("QuerySystem", "SELECT * FROM Win32_ComputerSystem"),
        ("QueryBios", "SELECT * FROM Win32_BIOS"),
        ("QueryBoard", "SELECT Manufacturer, Product, Tag FROM Win32_BaseBoard"),
        ("QueryDisks", "SELECT * FROM Win32_LogicalDisk WHERE DriveType = 3"),
        ("QueryNetwork", "SELECT * FROM Win32_NetworkAdapterConfiguration"),
    ],
    "wmi_deferred.wxs": [
        ("DeferredCpu", "SELECT * FROM Win32_Processor"),
        ("DeferredOs", "SELECT Caption, Version, OSType FROM Win32_OperatingSystem WHERE Primary = TRUE"),
    ],
}
# Statements the action must refuse, with the line it writes.
WMI_REFUSED = {
    "wmi_immediate.wxs": [
        (
            "QueryRefused",
            "SELECT * FROM win32_bios",
            "CAQueryWMI:  Error 0x80070057: Query must contain a Win32 table name.",
        ),
    ],
}

# The actions of each package that call the DLL: name -> deferred?
PACKAGE_ACTIONS = {
    "stamp_immediate.wxs": {"StampTime": False, "MintUrn": False, "MintUrnAgain": False},
    "stamp_deferred.wxs": {"DeferredStamp": True, "DeferredUrn": True},
    "offline_immediate.wxs": {"UpdateOffline": False},
    "offline_deferred.wxs": {"DeferredOfflineReg": True},
    "wmi_immediate.wxs": {
        **{action: False for action, _ in WMI_QUERIES["wmi_immediate.wxs"]},
        "QueryRefused": False,
    },
    "wmi_deferred.wxs": {action: True for action, _ in WMI_QUERIES["wmi_deferred.wxs"]},
}
PACKAGE_ACTIONS["send_service_tag.wxs"] = {"SendServiceTag": False}
PACKAGE_ACTIONS["send_service_tag_ignore.wxs"] = {"SendServiceTag": False}

# Files a package takes besides the DLL: package -> function(out_dir) that puts
# them beside the .wxs before wixl runs.
PACKAGE_SOURCES = {}
# Packages whose source lives outside packages/: package -> its path.
PACKAGE_PATHS = {}
# Preprocessor variables a package's source takes: package -> {name: value}, given
# to wixl as -D NAME=VALUE (values relative to the package's folder).
PACKAGE_DEFINES = {}

# Type bits an action adds to 1 (or 1025): msidbCustomActionTypeContinue (64) is
# what Return="ignore" gives.
CA_CONTINUE = 64
ACTION_TYPE_EXTRA = {
    ("send_service_tag_ignore.wxs", "SendServiceTag"): CA_CONTINUE,
    ("wmi_immediate.wxs", "QueryRefused"): CA_CONTINUE,
}

# CustomAction types: a DLL stored in the Binary table, run from the install
# script when deferred. The installer takes the DLL's bitness from its PE header,
# so both builds use the same types. (wixl adds msidbCustomActionTypeNoImpersonate,
# 2048, unless an action says Impersonate="yes"; the packages say so.)
CA_DLL_IN_BINARY = 1
CA_IN_SCRIPT = 1024
CA_TYPE_51 = 51


def parse_sys_date_time(value):
    match = SYS_DATE_TIME.match(value or "")
    if not match:
        return None
    try:
        return datetime.datetime(*(int(g) for g in match.groups()), tzinfo=datetime.timezone.utc)
    except ValueError:
        return None


def build_package(wxs_name, dll, machine, out_dir):
    """Builds the package with wixl around a copy of the DLL beside it (wixl wants
    source files named relative to its working directory)."""
    shutil.copyfile(dll, os.path.join(out_dir, "ostrel_ca.dll"))
    if wxs_name in PACKAGE_SOURCES:
        PACKAGE_SOURCES[wxs_name](out_dir)
    path = PACKAGE_PATHS.get(wxs_name, os.path.join(PACKAGES_DIR, wxs_name))
    with open(path, encoding="utf-8") as f:
        source = f.read().replace("@DLL@", "ostrel_ca.dll")
    queries = WMI_QUERIES.get(wxs_name, []) + [q[:2] for q in WMI_REFUSED.get(wxs_name, [])]
    for action, statement in queries:
        source = source.replace(f"@QUERY:{action}@", html.escape(statement, quote=True))
    stem = os.path.splitext(wxs_name)[0]
    wxs = os.path.join(out_dir, stem + ".wxs")
    msi = os.path.join(out_dir, stem + ".msi")
    with open(wxs, "w", encoding="utf-8") as f:
        f.write(source)
    arch = "x64" if machine == "x86_64" else "x86"
    defines = []
    for name, value in PACKAGE_DEFINES.get(wxs_name, {}).items():
        defines += ["-D", f"{name}={value}"]
    result = subprocess.run(
        ["wixl", "-a", arch, *defines, "-o", os.path.basename(msi), os.path.basename(wxs)],
        cwd=out_dir,
        capture_output=True,
        text=True,
        timeout=120,
    )
    return (msi if result.returncode == 0 and os.path.exists(msi) else None), result


def build_and_check_package(report, tag, wxs_name, dll, machine, out_dir):
    """Builds one package and checks how its CustomAction table calls the DLL:
    type 1 (DLL in the Binary table), 1024 added when deferred, and that the
    property-setting actions are plain type 51. Returns the package's path, or None."""
    msi, built = build_package(wxs_name, dll, machine, out_dir)
    if not report.check(msi is not None, f"{tag}: wixl builds the package", built.stderr.strip()):
        return None
    rows = custom_action_types(msi)
    wrong = []
    for action, deferred in PACKAGE_ACTIONS[wxs_name].items():
        want = CA_DLL_IN_BINARY | (CA_IN_SCRIPT if deferred else 0)
        want |= ACTION_TYPE_EXTRA.get((wxs_name, action), 0)
        got = rows.get(action)
        if got is None or got[0] != want or got[1] != "OstrelCa":
            wrong.append(f"{action}: want type {want} from OstrelCa, got {got}")
    for action, (kind, _, _) in rows.items():
        if action not in PACKAGE_ACTIONS[wxs_name] and kind != CA_TYPE_51:
            wrong.append(f"{action}: want type 51, got {kind}")
    report.check(
        not wrong,
        f"{tag}: custom action types are 1 (65 when ignored), 1025 when deferred, 51 to set properties",
        "; ".join(wrong),
    )
    return msi


def install(report, wine, tag, wxs_name, dll, machine, out_dir):
    """Builds and installs one package; returns its Log and the UTC window of the
    install, or None when it did not get that far."""
    msi = build_and_check_package(report, tag, wxs_name, dll, machine, out_dir)
    if msi is None:
        return None
    log_name = os.path.splitext(wxs_name)[0] + ".log"
    log_path = os.path.join(out_dir, log_name)
    if os.path.exists(log_path):
        os.remove(log_path)
    before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    started = time.monotonic()
    try:
        result = wine.msiexec(out_dir, os.path.basename(msi), log_name)
        code = result.returncode
    except subprocess.TimeoutExpired:
        code = "timeout"
    wine.wait()
    after = datetime.datetime.now(datetime.timezone.utc)
    report.note(f"{tag}: msiexec took {time.monotonic() - started:.1f} s, log {log_path}")
    report.check(code == 0, f"{tag}: msiexec /i /qn exits with 0", f"exit {code}")
    if not report.check(os.path.exists(log_path), f"{tag}: verbose log written"):
        return None
    with open(log_path, "rb") as f:
        log = Log(decode_log(f.read()))
    report.check(
        bool(log.properties), f"{tag}: log holds the property dump", "no Property(S) lines"
    )
    return log, before, after


def check_no_failure(report, tag, log, quiet_actions=(), expected_failures=(), ignored=()):
    """No failure line but the `expected_failures`, no failed action but the
    `ignored` ones; the exports named in `quiet_actions` write no other line at
    all (their trace lines stay out of the log)."""
    lines = [line for line in log.failure_lines() if line not in expected_failures]
    report.check(not lines, f"{tag}: no unexpected failure line from the library", "; ".join(lines))
    failed = [action for action in log.failed_actions() if action not in ignored]
    report.check(not failed, f"{tag}: no action ended with a failure", f"failed: {failed}")
    library = log.library_lines()
    for line in library:
        report.note(f"{tag}: library line: {line}")
    if quiet_actions:
        chatty = [
            line
            for line in library
            if line.split(":", 1)[0] in quiet_actions and line not in expected_failures
        ]
        report.check(
            not chatty,
            f"{tag}: {' and '.join(quiet_actions)} write no log line on success",
            "; ".join(chatty),
        )


def check_results(report, tag, log, actions, after=None):
    where = " in the install script" if after else ""
    for action in actions:
        values = log.results(action, after)
        report.check(
            values != [] and all(v == 1 for v in values),
            f"{tag}: {action} returns success (Return value 1){where}",
            f"results {values}",
        )


def check_timestamp(report, tag, log, before, after):
    value = log.properties.get("SysDateTime")
    report.note(f"{tag}: SysDateTime = {value}")
    stamp = parse_sys_date_time(value)
    if not report.check(
        stamp is not None,
        f'{tag}: SysDateTime reads "%04d-%02d-%02d %02d:%02d:%02d UTC" (23 characters)',
        f"got {value!r}",
    ):
        return
    report.check(len(value) == 23, f"{tag}: SysDateTime is 23 characters", f"{len(value)}")
    report.check(
        before <= stamp <= after,
        f"{tag}: SysDateTime is the install's UTC time, to the second",
        f"{stamp} not within {before} .. {after}",
    )


def check_time_zone(report, tag, log, before, after):
    """The install must really run away from UTC, or the UTC check proves nothing."""
    local = log.local_start_seconds()
    if not report.check(local is not None, f"{tag}: log shows its local start time"):
        return
    expected = before + INSTALL_TZ_OFFSET
    low = (expected.hour % 12) * 3600 + expected.minute * 60 + expected.second - 2
    span = int((after - before).total_seconds()) + 4
    report.check(
        (local - low) % 43200 <= span,
        f"{tag}: the install ran in local time UTC+05:45",
        f"log start {local} s into the half-day, expected {low % 43200} + {span}",
    )


def check_urn(report, tag, name, value):
    report.note(f"{tag}: {name} = {value}")
    ok = value is not None and URN.match(value) is not None
    report.check(
        ok,
        f"{tag}: {name} reads urn:st:uuid: and a lower-case 8-4-4-4-12 UUID",
        f"got {value!r}",
    )
    report.check(
        value is not None and len(value) == 48,
        f"{tag}: {name} is 48 characters",
        f"{len(value) if value else None}",
    )


def run_stamp_immediate(report, wine, machine, dll, out_dir):
    tag = f"[{machine}] stamp_immediate"
    got = install(report, wine, tag, "stamp_immediate.wxs", dll, machine, out_dir)
    if not got:
        return
    log, before, after = got
    check_results(report, tag, log, ["StampTime", "MintUrn", "MintUrnAgain"])
    check_no_failure(report, tag, log, STAMP_EXPORTS)
    check_time_zone(report, tag, log, before, after)
    check_timestamp(report, tag, log, before, after)
    first = log.properties.get("FirstURN")
    second = log.properties.get("NewURN")
    check_urn(report, tag, "FirstURN (NewURN of the first action)", first)
    check_urn(report, tag, "NewURN", second)
    report.check(
        first is not None and second is not None and first != second,
        f"{tag}: the two CACreateURN actions of one install set different URNs",
        f"{first} / {second}",
    )


def run_stamp_deferred(report, wine, machine, dll, out_dir):
    tag = f"[{machine}] stamp_deferred"
    got = install(report, wine, tag, "stamp_deferred.wxs", dll, machine, out_dir)
    if not got:
        return
    log, before, after = got
    check_results(report, tag, log, ["DeferredStamp", "DeferredUrn"], after="InstallFinalize")
    check_no_failure(report, tag, log, STAMP_EXPORTS)
    product = log.properties.get("ProductName")
    report.check(
        product is not None and log.properties.get("CustomActionData") == product,
        f"{tag}: the deferred actions got their CustomActionData ([ProductName] expanded)",
        f"CustomActionData = {log.properties.get('CustomActionData')!r}",
    )
    # Wine keeps properties that a deferred action sets; Windows Installer does not.
    check_timestamp(report, tag, log, before, after)
    check_urn(report, tag, "NewURN", log.properties.get("NewURN"))


LINUX_HOST = os.path.join(
    os.path.dirname(os.path.dirname(HERE)), "build", "linux-release", "ostrel-ca-run"
)
OFFLINE_EXPORT = ("CAUpdateOfflineReg",)
# Another file's text that an external entity of a service tag would bring in.
OTHER_FILE_URN = "urn:st:brought-in-from-another-file"
# A folder name in three scripts, for the failure line's path.
UNICODE_FOLDER = "reg 中文 Ελλάδα"


def exits_1603(code):
    """msiexec's exit code 1603 reaches Linux as its low byte, 67."""
    return code in (1603, 1603 & 0xFF)


def windows_dir(path):
    """A Linux folder as Wine reaches it through its Z: drive, ending in a backslash
    as installer folder values do."""
    return "Z:" + os.path.abspath(path).replace("/", "\\") + "\\"


def fresh_install_dir(parent, name):
    """A copy of examples/install in `parent`/`name`."""
    target = os.path.join(parent, name)
    if os.path.exists(target):
        shutil.rmtree(target)
    shutil.copytree(EXAMPLE_INSTALL, target)
    return target


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


_linux_page = {}


def linux_merged_page(report, work):
    """The page the Linux build makes from the sample files (the host on a copy of
    examples/install), once per run; None when the host cannot make it."""
    if "page" not in _linux_page:
        folder = fresh_install_dir(work, "linux-offline")
        page = None
        try:
            result = subprocess.run(
                [LINUX_HOST, "--property", f"UpdateRegistration={folder}/", "CAUpdateOfflineReg"],
                capture_output=True,
                text=True,
                timeout=60,
            )
            if result.returncode == 0:
                page = read_bytes(os.path.join(folder, "register.htm"))
            detail = f"exit {result.returncode}: {result.stdout.strip()[-300:]}"
        except OSError as error:
            detail = str(error)
        report.check(
            page is not None, f"the Linux host ({LINUX_HOST}) merges the sample page", detail
        )
        _linux_page["page"] = page
    return _linux_page["page"]


def offline_install(report, wine, tag, msi, out_dir, folder, log_name):
    """Installs `msi` with REGDIR set to `folder`; returns (exit code, Log or None)."""
    log_path = os.path.join(out_dir, log_name)
    if os.path.exists(log_path):
        os.remove(log_path)
    started = time.monotonic()
    try:
        code = wine.msiexec(
            out_dir, os.path.basename(msi), log_name, [f"REGDIR={windows_dir(folder)}"]
        ).returncode
    except subprocess.TimeoutExpired:
        code = "timeout"
    wine.wait()
    report.note(f"{tag}: msiexec took {time.monotonic() - started:.1f} s, log {log_path}")
    if not report.check(os.path.exists(log_path), f"{tag}: verbose log written"):
        return code, None
    with open(log_path, "rb") as f:
        return code, Log(decode_log(f.read()))


def check_merged_like_linux(report, tag, folder, expected):
    got = read_bytes(os.path.join(folder, "register.htm"))
    report.check(
        expected is not None and got == expected,
        f"{tag}: register.htm is byte for byte the page the Linux build makes",
        f"{len(got)} bytes, Linux {len(expected) if expected else None} bytes",
    )
    return got


def run_offline_immediate(report, wine, machine, dll, out_dir):
    tag = f"[{machine}] offline_immediate"
    msi = build_and_check_package(report, tag, "offline_immediate.wxs", dll, machine, out_dir)
    if msi is None:
        return
    expected = linux_merged_page(report, out_dir)

    folder = fresh_install_dir(out_dir, "offline-immediate")
    page = os.path.join(folder, "register.htm")
    wine.attrib("+h", windows_dir(folder) + "register.htm")
    report.check(
        " H " in wine.attrib(windows_dir(folder) + "register.htm"),
        f"{tag}: the page is hidden before the merge (wine attrib +h)",
    )
    code, log = offline_install(report, wine, tag, msi, out_dir, folder, "offline_immediate.log")
    report.check(code == 0, f"{tag}: msiexec /i /qn exits with 0", f"exit {code}")
    if log is not None:
        check_results(report, tag, log, ["UpdateOffline"])
        check_no_failure(report, tag, log, OFFLINE_EXPORT)
    first = check_merged_like_linux(report, tag, folder, expected)
    shown = wine.attrib(windows_dir(folder) + "register.htm")
    report.check(" H " in shown, f"{tag}: the merged page is still hidden", shown.strip())

    # The placeholders are used up: a second install fails and changes nothing.
    code, log = offline_install(report, wine, tag, msi, out_dir, folder, "offline_again.log")
    report.check(exits_1603(code), f"{tag}: a second install exits with 1603", f"exit {code}")
    report.check(
        read_bytes(page) == first,
        f"{tag}: the second install leaves the page as the first wrote it",
    )
    if log is not None:
        lines = log.failure_lines()
        want = [
            f"CAUpdateOfflineReg:  Error 0x80004005: {windows_dir(folder)}register.htm"
            " is an invalid registration template 1.",
            "CAUpdateOfflineReg:  Error 0x80004005: failed to write offline registration file.",
        ]
        report.check(
            [line for line in lines if "template" in line or "offline registration" in line]
            == want,
            f"{tag}: the second install logs the spent template and the failed write",
            "; ".join(lines),
        )


def folder_files(folder):
    return {name: read_bytes(os.path.join(folder, name)) for name in os.listdir(folder)}


def run_offline_deferred(report, wine, machine, dll, out_dir):
    tag = f"[{machine}] offline_deferred"
    msi = build_and_check_package(report, tag, "offline_deferred.wxs", dll, machine, out_dir)
    if msi is None:
        return
    expected = linux_merged_page(report, out_dir)
    folder = fresh_install_dir(out_dir, "offline-deferred")
    # Files left by killed writers: an earlier release's names, and the first four
    # names of every process id below 0x800 that Wine hands out (multiples of 4).
    names = [f"register.htm.new~{n}" for n in range(10)]
    names += [f"register.htm.new~{pid}-{n}" for pid in range(0, 0x800, 4) for n in range(4)]
    for name in names:
        with open(os.path.join(folder, name), "w") as f:
            f.write(name)
    before = folder_files(folder)
    code, log = offline_install(report, wine, tag, msi, out_dir, folder, "offline_deferred.log")
    report.check(code == 0, f"{tag}: msiexec /i /qn exits with 0", f"exit {code}")
    if log is not None:
        check_results(report, tag, log, ["DeferredOfflineReg"], after="InstallFinalize")
        check_no_failure(report, tag, log, OFFLINE_EXPORT)
        report.check(
            log.properties.get("CustomActionData") == windows_dir(folder),
            f"{tag}: the deferred action got the folder as its CustomActionData",
            f"CustomActionData = {log.properties.get('CustomActionData')!r}",
        )
    before["register.htm"] = check_merged_like_linux(report, tag, folder, expected)
    report.check(
        folder_files(folder) == before,
        f"{tag}: {len(names)} leftover temporary files beside the page stay as they were",
    )


def run_offline_refusals(report, wine, machine, dll, out_dir):
    """Pages that must not be merged: a read-only page, a service tag in UTF-16, a
    service tag that would bring in another file, and a folder in three scripts
    that has no page."""
    tag = f"[{machine}] offline_refusals"
    msi = build_and_check_package(report, tag, "offline_immediate.wxs", dll, machine, out_dir)
    if msi is None:
        return

    # Wine run by root shows a read-only file as writable (root may write it), so
    # the page is also made immutable: not even root may open it for writing.
    folder = fresh_install_dir(out_dir, "offline-read-only")
    page = os.path.join(folder, "register.htm")
    before = read_bytes(page)
    wine.attrib("+r", windows_dir(folder) + "register.htm")
    immutable = os.geteuid() == 0 and subprocess.run(["chattr", "+i", page]).returncode == 0
    try:
        code, log = offline_install(
            report, wine, tag, msi, out_dir, folder, "offline_read_only.log"
        )
    finally:
        if immutable:
            subprocess.run(["chattr", "-i", page])
    report.check(
        exits_1603(code), f"{tag}: a read-only page fails the install (1603)", f"exit {code}"
    )
    report.check(read_bytes(page) == before, f"{tag}: the read-only page is unchanged")
    if log is not None:
        want = (
            "CAUpdateOfflineReg:  Error 0x80070005: Failed to open file: "
            f"{windows_dir(folder)}register.htm"
        )
        report.check(
            want in log.failure_lines(),
            f"{tag}: the read-only page fails at the open with 0x80070005",
            "; ".join(log.failure_lines()),
        )
    wine.attrib("-r", windows_dir(folder) + "register.htm")

    # A service tag saved as UTF-16 (with its byte order mark, as Notepad's
    # "Unicode"): its URN loads, but the page cannot take its zero bytes.
    folder = fresh_install_dir(out_dir, "offline-utf16")
    before = read_bytes(os.path.join(folder, "register.htm"))
    with open(os.path.join(folder, "svctag.xml"), "r+b") as f:
        text = f.read().decode().replace('encoding="UTF-8"', 'encoding="UTF-16"')
        f.seek(0)
        f.write(b"\xff\xfe" + text.encode("utf-16-le"))
    code, log = offline_install(report, wine, tag, msi, out_dir, folder, "offline_utf16.log")
    want = ["CAUpdateOfflineReg:  Error 0x8007000d: service tag has a zero byte at offset 3;"
            " save svctag.xml as UTF-8",
            "CAUpdateOfflineReg:  Error 0x8007000d: failed to encode service tag."]
    lines = log.failure_lines() if log is not None else []
    report.check(
        exits_1603(code) and lines == want
        and read_bytes(os.path.join(folder, "register.htm")) == before,
        f"{tag}: a service tag in UTF-16 fails (1603) at its zero byte at offset 3, the page"
        " keeping its placeholders",
        f"exit {code}; " + "; ".join(lines),
    )

    folder = fresh_install_dir(out_dir, "offline-external")
    page = os.path.join(folder, "register.htm")
    before = read_bytes(page)
    with open(os.path.join(folder, "elsewhere.xml"), "w", encoding="utf-8") as f:
        f.write(f'<registry urn="{OTHER_FILE_URN}"/>')
    with open(os.path.join(folder, "svctag.xml"), "w", encoding="utf-8") as f:
        f.write(
            '<?xml version="1.0"?>\n<!DOCTYPE registration_data [\n'
            '  <!ENTITY registry SYSTEM "elsewhere.xml">\n]>\n'
            "<registration_data>&registry;</registration_data>\n"
        )
    code, log = offline_install(report, wine, tag, msi, out_dir, folder, "offline_external.log")
    report.check(
        exits_1603(code),
        f"{tag}: a service tag whose registry is in another file fails (1603)",
        f"exit {code}",
    )
    merged = read_bytes(page)
    report.check(
        OTHER_FILE_URN.encode() not in merged and merged == before,
        f"{tag}: the other file's text does not reach the page",
    )
    if log is not None:
        report.check(
            not any(OTHER_FILE_URN in line for line in log.lines),
            f"{tag}: the other file's text does not reach the log",
        )
        report.check(
            "CAUpdateOfflineReg:  Error 0x80070490: failed to find Registry info"
            in log.failure_lines(),
            f'{tag}: a service tag without a registry of its own fails with'
            ' "failed to find Registry info"',
            "; ".join(log.failure_lines()),
        )

    # Wine's msi writes its verbose log in the ANSI code page (1252 here), which has
    # no room for these characters; the line itself is checked where msi hands it
    # on as UTF-16, in an external user interface (tools/ui_install.c).
    folder = os.path.join(out_dir, UNICODE_FOLDER)
    if os.path.exists(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    installer = build_ui_installer(report, wine, out_dir)
    if installer is None:
        return
    output = os.path.join(out_dir, "offline_unicode_ui.txt")
    if os.path.exists(output):
        os.remove(output)
    try:
        code = subprocess.run(
            [wine.loader(), installer, output, os.path.basename(msi),
             f'REGDIR="{windows_dir(folder)}"'],
            cwd=out_dir, capture_output=True, timeout=MSIEXEC_TIMEOUT, env=wine.env,
        ).returncode
    except subprocess.TimeoutExpired:
        code = "timeout"
    wine.wait()
    report.check(
        exits_1603(code),
        f"{tag}: a folder without the files fails the install (1603)",
        f"exit {code}",
    )
    lines = []
    if os.path.exists(output):
        with open(output, encoding="utf-8", errors="replace") as f:
            lines = [line.rstrip("\n") for line in f]
    path = windows_dir(folder) + "svctag.xml"
    want = f"CAUpdateOfflineReg:  Error 0x8007006e: failed to load Service Tag file: {path}"
    report.check(
        want in lines,
        f"{tag}: the failure line msi hands on shows the whole path in {UNICODE_FOLDER}",
        "; ".join(line for line in lines if line.startswith("CA")),
    )


UI_INSTALLER_SOURCE = os.path.join(HERE, "tools", "ui_install.c")


def tools_compiler(wine):
    """The mingw-w64 C compiler of the prefix's own programs: 64-bit, or 32-bit in
    a 32-bit prefix."""
    return "i686-w64-mingw32-gcc" if wine.win32 else "x86_64-w64-mingw32-gcc"


def build_ui_installer(report, wine, out_dir):
    """Builds tools/ui_install.c (for the prefix, linked -static) into `out_dir`;
    its path, or None."""
    exe = os.path.join(out_dir, "ui_install.exe")
    compiler = shutil.which(tools_compiler(wine)) or tools_compiler(wine)
    try:
        result = subprocess.run(
            [compiler, "-municode", "-static", "-O1", "-Wall", "-Wextra", "-Werror",
             "-o", exe, UI_INSTALLER_SOURCE, "-lmsi"],
            capture_output=True, text=True, timeout=120,
        )
        built, detail = result.returncode == 0, result.stderr[-400:]
    except (OSError, subprocess.TimeoutExpired) as error:
        built, detail = False, str(error)
    report.check(built, "ui_install.exe builds (mingw-w64)", detail)
    return exe if built else None


SUITES = [run_stamp_immediate, run_stamp_deferred]
SUITES += [run_offline_immediate, run_offline_deferred, run_offline_refusals]


# ---------------------------------------------------------------- CASendServiceTag
#
# The DLL posts to the local registration service on 127.0.0.1 port 443 (root may
# bind it; nothing leaves the machine). The installed page's form action names
# https://localhost/...: Wine resolves names through the machine's resolver and
# does not read the prefix's hosts file, and its certificate check matches a DNS
# name but not an IP address, so the name is localhost, which the test
# certificates carry. The test CA is trusted inside the throwaway prefix only, as a
# serialized certificate in HKLM\Software\Microsoft\SystemCertificates\Root, and
# the prefix's "open" verbs for http, https and .htm files run record_open.exe,
# which writes what it was given to a file instead of starting a browser.

MSIEXEC_FAILED = (1603, 1603 % 256)  # the exit status through wine is modulo 256


def prepare_send_service_tag_sources(out_dir):
    """The sample installation directory, its page's form action sent to localhost."""
    shutil.copyfile(
        os.path.join(EXAMPLE_INSTALL, "svctag.xml"), os.path.join(out_dir, "svctag.xml")
    )
    with open(os.path.join(EXAMPLE_INSTALL, "register.htm"), "rb") as f:
        page = f.read()
    with open(os.path.join(out_dir, "register.htm"), "wb") as f:
        f.write(localhost_page(page))


PACKAGE_SOURCES["send_service_tag.wxs"] = prepare_send_service_tag_sources
PACKAGE_SOURCES["send_service_tag_ignore.wxs"] = prepare_send_service_tag_sources


def prepare_prefix_for_upload(report, wine, machine, work, tag=None):
    """Makes the test certificates, builds the recorder, and trusts the CA and sets
    the open verbs inside the prefix. Returns the certificate directory, or None."""
    tag = tag or f"[{machine}] send_service_tag setup"
    cert_dir = os.path.join(work, "certs")
    made = make_certificates(cert_dir)
    if not report.check(made.returncode == 0, f"{tag}: test certificates made", made.stderr[-400:]):
        return None
    # The machine's own store does not trust the test CA: only the prefix will.
    verdict = machine_store_verdict(cert_dir)
    report.check(verdict.returncode != 0,
                 f"{tag}: the machine's trust store does not trust the test CA",
                 verdict.stdout.strip())
    built, detail = build_recorder(wine, tools_compiler(wine))
    if not report.check(built, f"{tag}: record_open.exe built", detail):
        return None
    done, detail = trust_ca_and_set_open_verbs(wine, cert_dir)
    report.check(done, f"{tag}: test CA in the prefix's Root store and open verbs set", detail)
    return cert_dir


def install_send_package(report, wine, tag, wxs_name, dll, machine, out_dir):
    """Builds and installs one send package with the user's consent; returns the
    msiexec exit status, the Log and the msi path, or None."""
    msi = build_and_check_package(report, tag, wxs_name, dll, machine, out_dir)
    if msi is None:
        return None
    log_name = os.path.splitext(wxs_name)[0] + ".log"
    log_path = os.path.join(out_dir, log_name)
    if os.path.exists(log_path):
        os.remove(log_path)
    clear_opened(wine)
    started = time.monotonic()
    try:
        code = wine.msiexec(out_dir, os.path.basename(msi), log_name,
                            properties=("REGISTRATIONCONSENT=1",)).returncode
    except subprocess.TimeoutExpired:
        code = "timeout"
    wine.wait()  # the recorder too
    report.note(f"{tag}: msiexec took {time.monotonic() - started:.1f} s, log {log_path}")
    if not report.check(os.path.exists(log_path), f"{tag}: verbose log written"):
        return None
    return code, Log.read(log_path), msi


def uninstall(report, wine, tag, out_dir, msi):
    result = subprocess.run([wine.loader(), "msiexec", "/x", os.path.basename(msi), "/qn"],
                            cwd=out_dir, capture_output=True, text=True,
                            timeout=MSIEXEC_TIMEOUT, env=wine.env)
    wine.wait()
    report.check(result.returncode == 0, f"{tag}: msiexec /x removes the product",
                 f"exit {result.returncode}")


def send_lines(log):
    return [line for line in log.lines if line.startswith("CASendServiceTag:  ")]


def run_send_service_tag(report, wine, machine, dll, out_dir):
    work = os.path.join(out_dir, "send-service-tag")
    os.makedirs(work, exist_ok=True)
    cert_dir = prepare_prefix_for_upload(report, wine, machine, work)
    if cert_dir is None:
        return
    with open(os.path.join(EXAMPLE_INSTALL, "svctag.xml"), "rb") as f:
        service_tag = f.read()
    send_failed = re.compile(
        r"^CASendServiceTag:  Error 0x8007[0-9a-f]{4}: failed to send request\.$"
    )

    # name, package, service options (None: nothing listens), expected outcome
    scenarios = [
        ("200", "send_service_tag.wxs", ["--status", "200"], "destination"),
        ("500", "send_service_tag.wxs", ["--status", "500"], "local"),
        ("no listener", "send_service_tag.wxs", None, "local"),
        ("TLS 1.0 only", "send_service_tag.wxs", ["--variant", "tls10"], "local"),
        ("no listener, Return=ignore", "send_service_tag_ignore.wxs", None, "ignored"),
    ]
    for name, wxs_name, options, outcome in scenarios:
        tag = f"[{machine}] send_service_tag ({name})"
        service = None
        if options is not None:
            service = LocalService(work, cert_dir, name.replace(" ", "-"), *options)
            if not report.check(service.start(), f"{tag}: registration service listens on "
                                f"{SERVICE_LISTEN}", service.stderr()[-400:]):
                continue
        try:
            got = install_send_package(report, wine, tag, wxs_name, dll, machine, out_dir)
        finally:
            if service is not None:
                if options == ["--variant", "tls10"]:
                    service.wait_for("tls_error", 10)
                service.stop()
        if not got:
            continue
        code, log, msi = got
        lines = send_lines(log)
        for line in lines:
            report.note(f"{tag}: library line: {line}")
        opened = opened_targets(wine)
        install_dir = log.properties.get("INSTALLDIR", "")
        local_page = install_dir + "register.htm"
        report.note(f"{tag}: opened {opened}")

        if outcome == "destination":
            report.check(code == 0, f"{tag}: CASendServiceTag returns 0 (msiexec exits 0)",
                         f"exit {code}")
            report.check(log.results("SendServiceTag") == [1],
                         f"{tag}: SendServiceTag ends with Return value 1",
                         f"{log.results('SendServiceTag')}")
            report.check(opened == [LOCAL_DESTINATION],
                         f"{tag}: the browser opens the address that received the post",
                         f"opened {opened}")
            report.check(not lines, f"{tag}: no line from CASendServiceTag", "; ".join(lines))
        elif outcome == "local":
            report.check(code in MSIEXEC_FAILED,
                         f"{tag}: CASendServiceTag returns 1603 (msiexec exits 1603)",
                         f"exit {code}")
            report.check(bool(install_dir) and opened == [local_page],
                         f"{tag}: the browser opens the local register.htm",
                         f"opened {opened}, INSTALLDIR {install_dir!r}")
        else:  # Return="ignore": the failure stays the action's own
            report.check(code == 0, f"{tag}: with Return=\"ignore\" the install succeeds "
                         "(msiexec exits 0)", f"exit {code}")
            report.check(bool(install_dir) and opened == [local_page],
                         f"{tag}: the browser opens the local register.htm",
                         f"opened {opened}, INSTALLDIR {install_dir!r}")
            page = unix_path(wine.prefix, local_page) if install_dir else ""
            report.check(bool(page) and os.path.exists(page),
                         f"{tag}: the page the browser was sent to stays installed", page)

        if name in ("no listener", "TLS 1.0 only", "no listener, Return=ignore"):
            want = ("CASendServiceTag:  Error 0x80072efd: failed to send request."
                    if name != "TLS 1.0 only" else None)
            first = lines[0] if lines else ""
            matches = first == want if want else bool(send_failed.match(first))
            ok = len(lines) == 1 and matches
            report.check(ok, f"{tag}: the one line is the send's failure"
                         + (" (12029, cannot connect)" if want else ""), "; ".join(lines))
        elif name == "500":
            report.check(not lines, f"{tag}: no line from CASendServiceTag (a status is a "
                         "trace)", "; ".join(lines))

        if service is not None:
            requests = service.events("request")
            if name == "TLS 1.0 only":
                report.check(not requests, f"{tag}: no request, no body reached the service",
                             f"{len(requests)} request(s)")
                report.check(bool(service.events("tls_error")),
                             f"{tag}: the service saw the TLS handshake fail")
            else:
                ok = len(requests) == 1
                if report.check(ok, f"{tag}: the service got one request",
                                f"{len(requests)} request(s)"):
                    request = requests[0]
                    headers = {n.lower(): v for n, v in request["headers"]}
                    body = base64.b64decode(request["body_base64"])
                    report.note(f"{tag}: {request['tls_version']}, headers {request['headers']}")
                    report.check(request["method"] == "POST" and request["path"] == SERVICE_PATH,
                                 f"{tag}: POST to the form action's path and query",
                                 f"{request['method']} {request['path']}")
                    report.check(body == service_tag,
                                 f"{tag}: the body is svctag.xml byte for byte",
                                 f"{len(body)} bytes, want {len(service_tag)}")
                    report.check(headers.get("user-agent") == "User Interface"
                                 and headers.get("content-type") == "text/xml; charset=utf-8",
                                 f"{tag}: User-Agent and Content-Type as added",
                                 f"{request['headers']}")
                    report.check(request["tls_version"] in ("TLSv1.2", "TLSv1.3"),
                                 f"{tag}: over TLS 1.2 or later", request["tls_version"])

        if code == 0:
            uninstall(report, wine, tag, out_dir, msi)


SUITES.append(run_send_service_tag)


PROBE_SOURCE = os.path.join(HERE, "probe", "wmi_probe.cpp")
PROBE_TIMEOUT = 180
# The probe answer that ends a query's rows normally: WBEM_S_FALSE.
WBEM_S_FALSE = 1
_probes = {}


def build_probe(report, machine, out_dir):
    """Builds wmi_probe.exe for `machine` with mingw-w64, linked -static (once per
    run and machine); its path, or None."""
    if machine in _probes:
        return _probes[machine]
    compiler = os.environ.get(f"OSTREL_MINGW_CXX_{machine.upper()}") or (
        f"{machine}-w64-mingw32-g++-posix"
    )
    exe = os.path.join(out_dir, "wmi_probe.exe")
    if os.path.exists(exe):
        os.remove(exe)
    command = [
        compiler, "-std=c++17", "-O1", "-Wall", "-Wextra", "-Werror", "-static", "-municode",
        "-D__USE_MINGW_ANSI_STDIO=0", PROBE_SOURCE, "-o", exe,
        "-lole32", "-loleaut32", "-lwbemuuid", "-luuid",
    ]
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=300)
        detail = (result.stderr or result.stdout)[-600:]
        built = result.returncode == 0
    except (OSError, subprocess.TimeoutExpired) as error:
        detail, built = str(error), False
    built = built and os.path.exists(exe) and pe_machine(exe) == machine
    report.check(built, f"[{machine}] wmi_probe.exe builds (mingw-w64, linked -static)", detail)
    _probes[machine] = exe if built else None
    return _probes[machine]


def table_name(statement):
    """The action's table name: behind the first "Win32_", cut at the first blank."""
    name = statement[statement.find("Win32_") + len("Win32_") :]
    blank = name.find(" ")
    return name if blank < 0 else name[:blank]


def run_probe(report, wine, machine, probe, out_dir, tag, queries, label):
    """Runs the probe over the queries; ({index: {name: (vt, value)}}, {index: status}),
    or None when it did not run."""
    output = f"probe-{label}.txt"
    path = os.path.join(out_dir, output)
    if os.path.exists(path):
        os.remove(path)
    args = [probe, output]
    for _, statement in queries:
        args += [table_name(statement), statement]
    try:
        result = wine.run(machine, out_dir, args, timeout=PROBE_TIMEOUT)
        ran = result.returncode == 0 and os.path.exists(path)
        detail = result.stderr[-400:]
    except subprocess.TimeoutExpired:
        ran, detail = False, "timeout"
    if not report.check(ran, f"{tag}: the probe queries Wine's WMI {label} the install", detail):
        return None
    values, statuses = {}, {}
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            index, name, vt, value = line.split("\t", 3)
            if name == "#status":
                statuses[int(index)] = int(value, 16)
            else:
                values.setdefault(int(index), {})[name] = (int(vt), value)
    return values, statuses


def shape(value):
    """The value with every run of (hexadecimal) digits made one mark: the form a
    moving number or time keeps."""
    return re.sub(r"[0-9A-Fa-f]+", "#", value)


# Figures the system changes all the time: equal in the two probe runs, they may
# still have been different while the package ran (free memory falls and rises).
ALWAYS_MOVING = re.compile(r"_(Free\w*|LocalDateTime|NumberOfProcesses|NumberOfUsers)$")


def check_wmi_properties(report, tag, log, queries, before, after):
    """Each query's properties in the log against the probe's: the same names, and
    the same values (the same shape for the ones that moved between the probe runs)."""
    for index, (action, statement) in enumerate(queries):
        table = table_name(statement)
        expected = after[0].get(index, {})
        earlier = before[0].get(index, {})
        report.check(
            after[1].get(index) == WBEM_S_FALSE and bool(expected),
            f"{tag}: {action}: the probe reads the rows of {statement!r}",
            f"status {after[1].get(index)}, {len(expected)} properties",
        )
        got = {k: v for k, v in log.properties.items() if k.startswith(table + "_")}
        missing = sorted(set(expected) - set(got))
        extra = sorted(set(got) - set(expected))
        report.check(
            not missing and not extra,
            f"{tag}: {action}: sets exactly the {len(expected)} {table}_ properties the probe computes",
            f"missing {missing}, not expected {extra}",
        )
        wrong, moved = [], []
        for name, (vt, value) in sorted(expected.items()):
            if name not in got:
                continue
            if earlier.get(name) == (vt, value) and not ALWAYS_MOVING.search(name):
                if got[name] != value:
                    wrong.append(f"{name} = {got[name]!r}, probe {value!r}")
            else:
                moved.append(name)
                if shape(got[name]) != shape(value):
                    wrong.append(f"{name} = {got[name]!r}, probe {value!r} (moving)")
        if moved:
            report.note(f"{tag}: {action}: moved between the probe runs: {', '.join(moved)}")
        report.check(
            not wrong,
            f"{tag}: {action}: values equal the probe's "
            f"({len(expected) - len(moved)} exactly, {len(moved)} moving ones in shape)",
            "; ".join(wrong[:6]),
        )


def run_wmi(report, wine, machine, dll, out_dir, wxs_name, deferred):
    tag = f"[{machine}] {os.path.splitext(wxs_name)[0]}"
    queries = WMI_QUERIES[wxs_name]
    probe = build_probe(report, machine, out_dir)
    if probe is None:
        return
    before = run_probe(report, wine, machine, probe, out_dir, tag, queries, "before")
    got = install(report, wine, tag, wxs_name, dll, machine, out_dir)
    after = run_probe(report, wine, machine, probe, out_dir, tag, queries, "after")
    if not got or before is None or after is None:
        return
    log = got[0]
    check_results(
        report, tag, log, [a for a, _ in queries], after="InstallFinalize" if deferred else None
    )
    refused = WMI_REFUSED.get(wxs_name, [])
    check_no_failure(
        report,
        tag,
        log,
        ("CAQueryWMI",),
        expected_failures=[line for _, _, line in refused],
        ignored=[action for action, _, _ in refused],
    )
    for action, statement, line in refused:
        report.check(
            line in log.failure_lines(),
            f"{tag}: {action} ({statement!r}) writes {line!r}",
            "; ".join(log.failure_lines()),
        )
    check_wmi_properties(report, tag, log, queries, before, after)
    if deferred:
        report.check(
            log.properties.get("WMIQuery") == "SELECT * FROM Win32_BIOS"
            and not any(k.startswith("BIOS_") for k in log.properties),
            f"{tag}: deferred, the actions take CustomActionData and leave WMIQuery alone",
            f"WMIQuery = {log.properties.get('WMIQuery')!r}",
        )
    else:
        report.check(
            "WMIQuery" not in log.properties,
            f"{tag}: immediate, each action consumes WMIQuery",
            f"WMIQuery = {log.properties.get('WMIQuery')!r}",
        )


def run_wmi_immediate(report, wine, machine, dll, out_dir):
    run_wmi(report, wine, machine, dll, out_dir, "wmi_immediate.wxs", deferred=False)


def run_wmi_deferred(report, wine, machine, dll, out_dir):
    run_wmi(report, wine, machine, dll, out_dir, "wmi_deferred.wxs", deferred=True)


SUITES += [run_wmi_immediate, run_wmi_deferred]


# ------------------------------------------------------------- sample authoring
#
# examples/ostrel_desk.wxs, the package an author would write, built as it stands
# (wixl -D OstrelCaDll=... -D InstallSource=...) around a copy of examples/install
# whose page posts to localhost, and installed with REGISTRATIONCONSENT=1 against
# the local service on 127.0.0.1:443, then again without consent.

SAMPLE = "ostrel_desk.wxs"
SAMPLE_SOURCE_DIR = "ostrel-desk-install"
CA_NO_IMPERSONATE = 2048
SAMPLE_EXPORTS = ("CASetRegDateTime", "CACreateURN", "CAQueryWMI", "CAUpdateOfflineReg",
                  "CASendServiceTag")
SAMPLE_IMMEDIATE = ["StampRegistrationTime", "MintInstanceUrn", "QueryInventory",
                    "SetUpdateOfflineRegistration"]
SAMPLE_CONSENTED = ["SetPostRegistration", "SendServiceTag"]

PACKAGE_PATHS[SAMPLE] = SAMPLE_WXS
PACKAGE_DEFINES[SAMPLE] = {"OstrelCaDll": "ostrel_ca.dll", "InstallSource": SAMPLE_SOURCE_DIR}
PACKAGE_SOURCES[SAMPLE] = lambda out_dir: copy_install_for_localhost(
    os.path.join(out_dir, SAMPLE_SOURCE_DIR))
PACKAGE_ACTIONS[SAMPLE] = {
    "StampRegistrationTime": False,
    "MintInstanceUrn": False,
    "QueryInventory": False,
    "UpdateOfflineRegistration": True,
    "SendServiceTag": False,
}
# The deferred merge runs as LocalSystem (it rewrites a file in Program Files);
# the upload's failure must not fail the install.
ACTION_TYPE_EXTRA[(SAMPLE, "UpdateOfflineRegistration")] = CA_NO_IMPERSONATE
ACTION_TYPE_EXTRA[(SAMPLE, "SendServiceTag")] = CA_CONTINUE


def merged_sample_page(page, service_tag):
    """What the merge must make of the page: the first "WXYZ" replaced by the
    registry URN, the first "TUVW" after it by the service tag with each double
    quote written as %22 (the tag's bytes up to a zero byte)."""
    urn = ElementTree.fromstring(service_tag).find(".//registry").get("urn").encode("ascii")
    encoded = service_tag.split(b"\0", 1)[0].replace(b'"', b"%22")
    at = page.index(b"WXYZ")
    page = page[:at] + urn + page[at + 4 :]
    second = page.index(b"TUVW", at)
    return page[:second] + encoded + page[second + 4 :]


def sample_install(report, wine, tag, msi, out_dir, log_name, properties):
    """Installs the sample; (exit status, Log or None, UTC before, UTC after)."""
    log_path = os.path.join(out_dir, log_name)
    if os.path.exists(log_path):
        os.remove(log_path)
    clear_opened(wine)
    before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    started = time.monotonic()
    try:
        code = wine.msiexec(out_dir, os.path.basename(msi), log_name, properties).returncode
    except subprocess.TimeoutExpired:
        code = "timeout"
    wine.wait()  # the recorder too
    after = datetime.datetime.now(datetime.timezone.utc)
    report.note(f"{tag}: msiexec took {time.monotonic() - started:.1f} s, log {log_path}")
    if not report.check(os.path.exists(log_path), f"{tag}: verbose log written"):
        return code, None, before, after
    return code, Log.read(log_path), before, after


def check_sample_page(report, tag, wine, log, expected):
    """The installed page is the merge of the installed files; the service tag
    stays as installed."""
    install_dir = log.properties.get("INSTALLDIR", "")
    if not report.check(install_dir.endswith("\\"), f"{tag}: INSTALLDIR in the log",
                        repr(install_dir)):
        return
    page = read_bytes(unix_path(wine.prefix, install_dir + "register.htm"))
    report.check(page == expected,
                 f"{tag}: the installed register.htm holds the registry URN and the service "
                 "tag, quotes as %22", f"{len(page)} bytes, want {len(expected)}")
    report.check(b"WXYZ" not in page and b"TUVW" not in page,
                 f"{tag}: no placeholder is left in the installed page")
    report.check(log.properties.get("CustomActionData") == install_dir,
                 f"{tag}: the deferred merge got INSTALLDIR as its CustomActionData",
                 repr(log.properties.get("CustomActionData")))


def run_sample_authoring(report, wine, machine, dll, out_dir):
    tag = f"[{machine}] ostrel_desk"
    work = os.path.join(out_dir, "sample")
    os.makedirs(work, exist_ok=True)
    cert_dir = prepare_prefix_for_upload(report, wine, machine, work, tag=f"{tag} setup")
    if cert_dir is None:
        return
    msi = build_and_check_package(report, tag, SAMPLE, dll, machine, out_dir)
    if msi is None:
        return
    table = package_properties(msi)
    report.check("REGISTRATIONCONSENT" in table.get("SecureCustomProperties", "").split(";"),
                 f"{tag}: REGISTRATIONCONSENT is a secure property (reaches the install "
                 "script of an elevated install)", repr(table.get("SecureCustomProperties")))
    queries = [("QueryInventory", table.get("WMIQuery", ""))]
    source = os.path.join(out_dir, SAMPLE_SOURCE_DIR)
    service_tag = read_bytes(os.path.join(source, "svctag.xml"))
    expected_page = merged_sample_page(read_bytes(os.path.join(source, "register.htm")),
                                       service_tag)
    probe = build_probe(report, machine, out_dir)

    # With consent: every action runs, the service gets the tag, the browser opens.
    consent = f"{tag} (REGISTRATIONCONSENT=1)"
    before = run_probe(report, wine, machine, probe, out_dir, consent, queries,
                       "before") if probe else None
    service = LocalService(work, cert_dir, "sample-consent", "--status", "200")
    if not report.check(service.start(), f"{consent}: registration service listens on "
                        f"{SERVICE_LISTEN}", service.stderr()[-400:]):
        return
    try:
        code, log, start, end = sample_install(report, wine, consent, msi, out_dir,
                                               "ostrel_desk.log", ["REGISTRATIONCONSENT=1"])
    finally:
        service.stop()
    after = run_probe(report, wine, machine, probe, out_dir, consent, queries,
                      "after") if probe else None
    report.check(code == 0, f"{consent}: msiexec /i /qn exits with 0", f"exit {code}")
    if log is not None:
        check_results(report, consent, log, SAMPLE_IMMEDIATE + SAMPLE_CONSENTED)
        check_results(report, consent, log, ["UpdateOfflineRegistration"],
                      after="InstallFinalize")
        check_no_failure(report, consent, log, SAMPLE_EXPORTS)
        check_timestamp(report, consent, log, start, end)
        check_urn(report, consent, "NewURN", log.properties.get("NewURN"))
        if before is not None and after is not None:
            check_wmi_properties(report, consent, log, queries, before, after)
        report.check("WMIQuery" not in log.properties,
                     f"{consent}: CAQueryWMI consumed WMIQuery",
                     repr(log.properties.get("WMIQuery")))
        check_sample_page(report, consent, wine, log, expected_page)
    requests = service.events("request")
    if report.check(len(requests) == 1, f"{consent}: the service got one request",
                    f"{len(requests)} request(s)"):
        request = requests[0]
        headers = {n.lower(): v for n, v in request["headers"]}
        body = base64.b64decode(request["body_base64"])
        report.check(request["method"] == "POST" and request["path"] == SERVICE_PATH,
                     f"{consent}: POST to the form action's path and query",
                     f"{request['method']} {request['path']}")
        report.check(body == service_tag, f"{consent}: the body is svctag.xml byte for byte",
                     f"{len(body)} bytes, want {len(service_tag)}")
        report.check(headers.get("user-agent") == "User Interface"
                     and headers.get("content-type") == "text/xml; charset=utf-8",
                     f"{consent}: User-Agent and Content-Type as added", f"{request['headers']}")
    opened = opened_targets(wine)
    report.check(opened == [LOCAL_DESTINATION],
                 f"{consent}: the browser opens the address that received the post",
                 f"opened {opened}")
    if code == 0:
        uninstall(report, wine, consent, out_dir, msi)

    # Without consent: the page is still merged; nothing is posted, no browser.
    quiet = f"{tag} (no consent)"
    service = LocalService(work, cert_dir, "sample-no-consent", "--status", "200")
    if not report.check(service.start(), f"{quiet}: registration service listens on "
                        f"{SERVICE_LISTEN}", service.stderr()[-400:]):
        return
    try:
        code, log, _, _ = sample_install(report, wine, quiet, msi, out_dir,
                                         "ostrel_desk_no_consent.log", [])
    finally:
        service.stop()
    report.check(code == 0, f"{quiet}: msiexec /i /qn exits with 0", f"exit {code}")
    if log is not None:
        check_results(report, quiet, log, SAMPLE_IMMEDIATE)
        check_results(report, quiet, log, ["UpdateOfflineRegistration"],
                      after="InstallFinalize")
        check_no_failure(report, quiet, log, SAMPLE_EXPORTS)
        ran = {action: log.results(action) for action in SAMPLE_CONSENTED}
        report.check(not any(ran.values()),
                     f"{quiet}: SetPostRegistration and SendServiceTag do not run", f"{ran}")
        check_sample_page(report, quiet, wine, log, expected_page)
    requests = service.events("request")
    report.check(not requests, f"{quiet}: nothing reaches the service",
                 f"{len(requests)} request(s)")
    report.check(opened_targets(wine) == [], f"{quiet}: no browser is opened",
                 f"opened {opened_targets(wine)}")
    if code == 0:
        uninstall(report, wine, quiet, out_dir, msi)


SUITES.append(run_sample_authoring)


# Suites that bind the local registration service's address (127.0.0.1:443) run
# in one group, one after another.
SERVICE_SUITES = ("send_service_tag", "sample_authoring")
# Rough seconds each suite takes, to share the suites out evenly.
SUITE_WEIGHTS = {"send_service_tag": 40, "sample_authoring": 35, "wmi_immediate": 30,
                 "offline_refusals": 20, "wmi_deferred": 15, "offline_immediate": 12}


def suite_name(suite):
    return suite.__name__[len("run_"):]


def suite_groups(jobs):
    """The suites shared out into at most `jobs` groups, each run in a prefix of
    its own: the service suites together, the rest by weight, heaviest first."""
    names = [suite_name(suite) for suite in SUITES]
    groups = [[name for name in names if name in SERVICE_SUITES]]
    groups += [[] for _ in range(jobs - 1)]
    weight = lambda group: sum(SUITE_WEIGHTS.get(name, 10) for name in group)  # noqa: E731
    for name in sorted((n for n in names if n not in SERVICE_SUITES),
                       key=lambda n: -SUITE_WEIGHTS.get(n, 10)):
        min(groups, key=weight).append(name)
    return [group for group in groups if group]


def run_groups(report, args, dlls, work):
    """Runs the suites in groups, each group a process of this script with its own
    work folder and prefix, `args.jobs` at a time. Each group's lines are printed
    whole when it ends, in group order, and its counts added to the report."""
    groups = suite_groups(args.jobs)
    children = []
    for index, group in enumerate(groups):
        command = [sys.executable, os.path.abspath(__file__), "--work",
                   os.path.join(work, f"group{index + 1}"), "--jobs", "1"]
        for dll in dlls:
            command += ["--dll", dll]
        for name in group:
            command += ["--suite", name]
        if args.require_all:
            command.append("--require-all")
        children.append((group, subprocess.Popen(command, stdout=subprocess.PIPE,
                                                 stderr=subprocess.STDOUT, text=True)))
    for index, (group, child) in enumerate(children):
        output, _ = child.communicate()
        print(f"-- group {index + 1}: {', '.join(group)}", flush=True)
        print(output, end="", flush=True)
        counts = re.findall(r"^(\d+) passed, (\d+) failed$", output, re.M)
        skipped = re.findall(r"^\((\d+) skipped\)$", output, re.M)
        if not report.check(bool(counts), f"group {index + 1} ends with its counts",
                            f"exit {child.returncode}"):
            continue
        report.passed += int(counts[-1][0])
        report.failed += int(counts[-1][1])
        report.skipped += int(skipped[-1]) if skipped else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dll", action="append", required=True, help="a built ostrel_ca.dll")
    parser.add_argument(
        "--work", default=os.path.join(os.getcwd(), "build", "e2e"), help="scratch directory"
    )
    parser.add_argument(
        "--require-all", action="store_true", help="a DLL this host cannot run fails"
    )
    parser.add_argument("--win32-worker", metavar="CLAIMS", help=argparse.SUPPRESS)
    parser.add_argument(
        "--jobs", type=int, default=1,
        help="suites run in this many prefixes at once (default 1)",
    )
    parser.add_argument(
        "--suite",
        action="append",
        help="run only this suite (its function name without run_, e.g. offline_refusals)",
    )
    args = parser.parse_args()
    if args.suite:
        known = {suite_name(suite) for suite in SUITES}
        unknown = sorted(set(args.suite) - known)
        if unknown:
            parser.error(f"unknown suite {', '.join(unknown)} (known: {', '.join(sorted(known))})")
        SUITES[:] = [suite for suite in SUITES if suite_name(suite) in args.suite]

    report = Report()
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    if args.win32_worker:
        return run_as_worker(report, args, work)
    wine = Wine(os.path.join(work, "wineprefix"), tz=INSTALL_TZ)

    runnable = []
    for dll in args.dll:
        dll = os.path.abspath(dll)
        machine = pe_machine(dll) if os.path.exists(dll) else None
        if not report.check(machine is not None, f"{dll} is a PE DLL for i686 or x86_64"):
            continue
        if wine.can_run(machine):
            runnable.append((machine, dll))
        elif args.require_all:
            report.check(False, f"[{machine}] Wine runs {machine} code here", wine.last_error)
        else:
            report.skip(
                f"[{machine}] e2e installs",
                f"this host's Wine cannot run {machine} code ({wine.last_error or 'no loader'})",
            )
            # The packages are still built and their tables checked.
            out_dir = os.path.join(work, machine)
            os.makedirs(out_dir, exist_ok=True)
            for wxs_name in PACKAGE_ACTIONS:
                tag = f"[{machine}] {os.path.splitext(wxs_name)[0]}"
                build_and_check_package(report, tag, wxs_name, dll, machine, out_dir)
            build_probe(report, machine, out_dir)

    # 32-bit Wine under emulation runs the i686 DLL in prefixes of its own.
    emulated = [(machine, dll) for machine, dll in runnable if machine == "i686" and emulated_i686()]
    runnable = [entry for entry in runnable if entry not in emulated]

    if runnable and args.jobs > 1 and len(SUITES) > 1:
        run_groups(report, args, [dll for _, dll in runnable], work)
    elif runnable:
        started = time.monotonic()
        booted, result = wine.boot()
        report.note(f"wineboot -i took {time.monotonic() - started:.1f} s")
        if report.check(booted, f"throwaway WINEPREFIX created in {wine.prefix}", result.stderr[-400:]):
            try:
                for machine, dll in runnable:
                    out_dir = os.path.join(work, machine)
                    os.makedirs(out_dir, exist_ok=True)
                    for suite in SUITES:
                        suite(report, wine, machine, dll, out_dir)
            finally:
                wine.stop()
    for _, dll in emulated:
        run_workers(report, os.path.abspath(__file__), dll, work,
                    [suite.__name__[len("run_"):] for suite in SUITES], args.require_all)

    return report.summary()


def run_as_worker(report, args, work):
    """One worker of emulated_workers.py: the i686 DLL in a 32-bit prefix of its
    own, in the suites it claims."""
    dll = os.path.abspath(args.dll[0])
    out_dir = os.path.join(work, "i686")
    os.makedirs(out_dir, exist_ok=True)
    wine = SessionWine(os.path.join(work, "wineprefix"), tz=INSTALL_TZ)
    started = time.monotonic()
    booted, result = wine.boot()
    report.note(f"[i686] wineboot -i took {time.monotonic() - started:.1f} s")
    if report.check(booted, f"[i686] 32-bit WINEPREFIX created in {wine.prefix}",
                    result.stderr[-400:]):
        try:
            run_claimed(args.win32_worker, SUITES,
                        lambda suite: suite(report, wine, "i686", dll, out_dir))
        finally:
            wine.stop()
    return report.summary()


if __name__ == "__main__":
    sys.exit(main())
