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
           [--work DIR] [--require-all]
A DLL whose machine type this host cannot run under Wine (a 32-bit DLL on a
kernel without 32-bit support) is reported as skipped, or as a failure with
--require-all.
"""
import argparse
import datetime
import html
import os
import re
import shutil
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGES_DIR = os.path.join(HERE, "packages")

# POSIX TZ for UTC+05:45: the minutes differ from UTC as well as the hours.
INSTALL_TZ = "OST-5:45"
INSTALL_TZ_OFFSET = datetime.timedelta(hours=5, minutes=45)

MSIEXEC_TIMEOUT = 180
WINEBOOT_TIMEOUT = 300

SYS_DATE_TIME = re.compile(r"^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2}) UTC$")
URN = re.compile(r"^urn:st:uuid:[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
FAILURE_LINE = re.compile(r"^(CA[A-Za-z]+):  Error 0x[0-9a-f]+: ")
LIBRARY_LINE = re.compile(r"^(CASetRegDateTime|CACreateURN|CAQueryWMI|CASendServiceTag|CAUpdateOfflineReg):  ")
ACTION_ENDED = re.compile(r"^Action ended [^:]*:\d\d:\d\d: (\S+)\. Return value (\d+)\.")
ACTION_START = re.compile(r"^Action start [^:]*:\d\d:\d\d: (\S+)\.")
PROPERTY = re.compile(r"^Property\(S\): (\S+) = (.*)$")
LOG_STARTED = re.compile(r"=== Logging started: \d+/\d+/\d+\s+(\d+):(\d\d):(\d\d) ===")

MACHINES = {0x014C: "i686", 0x8664: "x86_64"}

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
    "wmi_immediate.wxs": {
        **{action: False for action, _ in WMI_QUERIES["wmi_immediate.wxs"]},
        "QueryRefused": False,
    },
    "wmi_deferred.wxs": {action: True for action, _ in WMI_QUERIES["wmi_deferred.wxs"]},
}
# Actions whose failure the package ignores (Return="ignore").
IGNORED_ACTIONS = {"QueryRefused"}

# CustomAction types: a DLL stored in the Binary table, run from the install
# script when deferred. The installer takes the DLL's bitness from its PE header,
# so both builds use the same types. (wixl adds msidbCustomActionTypeNoImpersonate,
# 2048, unless an action says Impersonate="yes"; the packages say so.)
CA_DLL_IN_BINARY = 1
CA_CONTINUE = 64
CA_IN_SCRIPT = 1024
CA_TYPE_51 = 51


class Report:
    def __init__(self):
        self.passed = 0
        self.failed = 0
        self.skipped = 0

    def check(self, ok, what, detail=""):
        if ok:
            self.passed += 1
            print(f"PASS {what}", flush=True)
        else:
            self.failed += 1
            print(f"FAIL {what}" + (f": {detail}" if detail else ""), flush=True)
        return ok

    def skip(self, what, reason):
        self.skipped += 1
        print(f"SKIP {what}: {reason}", flush=True)

    def note(self, text):
        print(f"  .. {text}", flush=True)


def pe_machine(path):
    """The machine of a PE file ('i686', 'x86_64'), or None when it is not one."""
    with open(path, "rb") as f:
        head = f.read(4096)
    if len(head) < 0x40 or head[:2] != b"MZ":
        return None
    (pe_offset,) = struct.unpack_from("<I", head, 0x3C)
    if pe_offset + 6 > len(head) or head[pe_offset : pe_offset + 4] != b"PE\0\0":
        return None
    (machine,) = struct.unpack_from("<H", head, pe_offset + 4)
    return MACHINES.get(machine)


def decode_log(raw):
    """Wine writes the verbose log as UTF-16 (with or without BOM), or as narrow
    text: UTF-8, or the prefix's ANSI code page (1252), in which a property value
    with a character beyond ASCII arrives."""
    if raw.startswith(b"\xff\xfe"):
        return raw[2:].decode("utf-16-le", errors="replace")
    if raw.startswith(b"\xfe\xff"):
        return raw[2:].decode("utf-16-be", errors="replace")
    if len(raw) >= 4 and raw[1] == 0 and raw[3] == 0:
        return raw.decode("utf-16-le", errors="replace")
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("cp1252", errors="replace")


class Log:
    """What a verbose install log says about one install."""

    def __init__(self, text):
        self.lines = [line.rstrip("\r") for line in text.splitlines()]
        self.properties = {}
        for line in self.lines:
            match = PROPERTY.match(line)
            if match:
                self.properties[match.group(1)] = match.group(2)

    def results(self, action, after=None):
        """Return values logged for `action`, only those after the first start of
        the action `after` when given (the install script runs in InstallFinalize)."""
        values = []
        armed = after is None
        for line in self.lines:
            start = ACTION_START.match(line)
            if not armed and start and start.group(1) == after:
                armed = True
                continue
            ended = ACTION_ENDED.match(line)
            if armed and ended and ended.group(1) == action:
                values.append(int(ended.group(2)))
        return values

    def failure_lines(self):
        return [line for line in self.lines if FAILURE_LINE.match(line)]

    def library_lines(self):
        return [line for line in self.lines if LIBRARY_LINE.match(line)]

    def failed_actions(self):
        return [
            m.group(1)
            for m in (ACTION_ENDED.match(line) for line in self.lines)
            if m and m.group(2) != "1"
        ]

    def local_start_seconds(self):
        """Seconds into the 12-hour cycle of the log's first local start time."""
        for line in self.lines:
            match = LOG_STARTED.search(line)
            if match:
                hour, minute, second = (int(g) for g in match.groups())
                return ((hour % 12) * 3600 + minute * 60 + second) % 43200
        return None


def parse_sys_date_time(value):
    match = SYS_DATE_TIME.match(value or "")
    if not match:
        return None
    try:
        return datetime.datetime(*(int(g) for g in match.groups()), tzinfo=datetime.timezone.utc)
    except ValueError:
        return None


class Wine:
    """A throwaway prefix and the loaders this host can run."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.wine64 = os.environ.get("OSTREL_WINE64") or shutil.which("wine64")
        if not self.wine64 and os.access("/usr/lib/wine/wine64", os.X_OK):
            self.wine64 = "/usr/lib/wine/wine64"
        self.wine32 = os.environ.get("OSTREL_WINE32")
        if not self.wine32 and os.access("/usr/lib/wine/wine", os.X_OK):
            self.wine32 = "/usr/lib/wine/wine"
        self.wineserver = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
        self.env = dict(os.environ)
        self.env.update(
            {
                "WINEPREFIX": prefix,
                "WINEDEBUG": "-all",
                "WINEDLLOVERRIDES": "mscoree,mshtml=",
                "TZ": INSTALL_TZ,
            }
        )
        self.env.pop("DISPLAY", None)

    def runs(self, loader):
        """True when the loader starts on this host (a 32-bit one does not where
        the kernel cannot run 32-bit x86 code)."""
        if not loader:
            return False
        try:
            result = subprocess.run(
                [loader, "--version"], capture_output=True, text=True, timeout=60, env=self.env
            )
        except OSError as error:
            self.last_error = str(error)
            return False
        self.last_error = (result.stderr or result.stdout).strip()
        return result.returncode == 0

    def can_run(self, machine):
        if machine == "x86_64":
            return self.runs(self.wine64)
        if machine == "i686":
            return self.runs(self.wine32)
        return False

    def loader(self):
        return self.wine64 if self.runs(self.wine64) else self.wine32

    def loader_for(self, machine):
        return self.wine64 if machine == "x86_64" else self.wine32

    def run(self, machine, cwd, args, timeout=120):
        """Runs a Windows program of `machine` in the prefix, with the install's
        environment (time zone included)."""
        return subprocess.run(
            [self.loader_for(machine), *args],
            cwd=cwd,
            capture_output=True,
            text=True,
            timeout=timeout,
            env=self.env,
        )

    def boot(self):
        if os.path.exists(self.prefix):
            shutil.rmtree(self.prefix)
        os.makedirs(os.path.dirname(self.prefix), exist_ok=True)
        result = subprocess.run(
            [self.loader(), "wineboot", "-i"],
            capture_output=True,
            text=True,
            timeout=WINEBOOT_TIMEOUT,
            env=self.env,
        )
        self.wait()
        return os.path.isdir(os.path.join(self.prefix, "drive_c", "windows")), result

    def msiexec(self, cwd, package, log):
        result = subprocess.run(
            [self.loader(), "msiexec", "/i", package, "/qn", "/l*v", log],
            cwd=cwd,
            capture_output=True,
            text=True,
            timeout=MSIEXEC_TIMEOUT,
            env=self.env,
        )
        return result

    def wait(self):
        subprocess.run([self.wineserver, "-w"], env=self.env, timeout=120)

    def stop(self):
        subprocess.run([self.wineserver, "-k"], env=self.env, timeout=60)


def build_package(wxs_name, dll, machine, out_dir):
    """Builds the package with wixl around a copy of the DLL beside it (wixl wants
    source files named relative to its working directory)."""
    shutil.copyfile(dll, os.path.join(out_dir, "ostrel_ca.dll"))
    with open(os.path.join(PACKAGES_DIR, wxs_name), encoding="utf-8") as f:
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
    result = subprocess.run(
        ["wixl", "-a", arch, "-o", os.path.basename(msi), os.path.basename(wxs)],
        cwd=out_dir,
        capture_output=True,
        text=True,
        timeout=120,
    )
    return (msi if result.returncode == 0 and os.path.exists(msi) else None), result


def custom_action_types(msi):
    """{action: (type, source, target)} from the package's CustomAction table."""
    result = subprocess.run(
        ["msiinfo", "export", msi, "CustomAction"], capture_output=True, text=True, timeout=60
    )
    rows = {}
    # Two header lines (column names, column types) and the table's key line.
    for line in result.stdout.splitlines()[3:]:
        fields = line.split("\t")
        if len(fields) >= 4 and fields[1].isdigit():
            rows[fields[0]] = (int(fields[1]), fields[2], fields[3])
    return rows


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
        want |= CA_CONTINUE if action in IGNORED_ACTIONS else 0
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
            if earlier.get(name) == (vt, value):
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


SUITES = [run_stamp_immediate, run_stamp_deferred, run_wmi_immediate, run_wmi_deferred]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dll", action="append", required=True, help="a built ostrel_ca.dll")
    parser.add_argument(
        "--work", default=os.path.join(os.getcwd(), "build", "e2e"), help="scratch directory"
    )
    parser.add_argument(
        "--require-all", action="store_true", help="a DLL this host cannot run fails"
    )
    args = parser.parse_args()

    report = Report()
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    wine = Wine(os.path.join(work, "wineprefix"))

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

    if runnable:
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

    if report.skipped:
        print(f"({report.skipped} skipped)")
    print(f"{report.passed} passed, {report.failed} failed")
    return 0 if report.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
