"""Installing packages that call ostrel_ca.dll with Wine's msiexec, shared by the
end-to-end harness (run_e2e.py) and the demo (scripts/demo).

- Wine: a throwaway WINEPREFIX (64-bit with 32-bit support, or a plain 32-bit one)
  and the loaders this host can run; msiexec, attrib, wineboot and wineserver in it.
- decode_log and Log: what a verbose install log (msiexec /l*v) says: each
  action's "Return value", the lines the library wrote ("CAName:  ...") and the
  closing "Property(S): NAME = VALUE" dump.
- The upload's surroundings inside a prefix: the local registration service
  (tests/support/registration_service.py) on 127.0.0.1:443, the test CA trusted in
  the prefix's own Root store as a registry Blob, and the prefix's "open" verbs
  running tools/record_open.c, which notes what the browser was asked to open.
- localhost_page: the sample page with its form action sent to https://localhost/.
  Wine resolves names through the machine's resolver, not the prefix's hosts file,
  and its certificate check matches DNS names, not IP addresses; the test
  certificates carry "localhost".
"""
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SERVICE = os.path.join(ROOT, "tests", "support", "registration_service.py")
RECORDER_SOURCE = os.path.join(HERE, "tools", "record_open.c")
EXAMPLE_INSTALL = os.path.join(ROOT, "examples", "install")
SAMPLE_WXS = os.path.join(ROOT, "examples", "ostrel_desk.wxs")

MSIEXEC_TIMEOUT = 180
WINEBOOT_TIMEOUT = 300

FAILURE_LINE = re.compile(r"^(CA[A-Za-z]+):  Error 0x[0-9a-f]+: ")
LIBRARY_LINE = re.compile(r"^(CASetRegDateTime|CACreateURN|CAQueryWMI|CASendServiceTag|CAUpdateOfflineReg):  ")
ACTION_ENDED = re.compile(r"^Action ended [^:]*:\d\d:\d\d: (\S+)\. Return value (\d+)\.")
ACTION_START = re.compile(r"^Action start [^:]*:\d\d:\d\d: (\S+)\.")
PROPERTY = re.compile(r"^Property\(S\): (\S+) = (.*)$")
LOG_STARTED = re.compile(r"=== Logging started: \d+/\d+/\d+\s+(\d+):(\d\d):(\d\d) ===")

MACHINES = {0x014C: "i686", 0x8664: "x86_64"}
# msidbCustomActionTypeInScript: the action is deferred, run from the install script.
CA_IN_SCRIPT = 1024

# The sample page's form action, and the same address on localhost.
SAMPLE_DESTINATION = "https://register.example.com/reg/svctag?product=ostrel-desk&v=4.2"
LOCAL_DESTINATION = "https://localhost/reg/svctag?product=ostrel-desk&v=4.2"
SERVICE_PATH = "/reg/svctag?product=ostrel-desk&v=4.2"
SERVICE_LISTEN = "127.0.0.1:443"
SERVICE_START_LIMIT = 60
# The prefix's folder of the recorder and its record, as Windows sees it.
PREFIX_TOOLS = r"C:\ostrel-e2e"
OPENED_RECORD = PREFIX_TOOLS + r"\opened.txt"
# CERT_CERT_PROP_ID: a serialized certificate element is this id, 1 and the length
# of the DER bytes that follow, each a 32-bit little-endian number.
CERT_CERT_PROP_ID = 32


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

    @classmethod
    def read(cls, path):
        with open(path, "rb") as f:
            return cls(decode_log(f.read()))

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


class Wine:
    """A throwaway prefix and the loaders this host can run.

    By default the prefix is 64-bit and runs 32-bit programs beside 64-bit ones;
    with win32=True it is a 32-bit prefix (WINEARCH=win32) run by the 32-bit
    loader alone. `tz` is the time zone of everything run in it."""

    def __init__(self, prefix, tz=None, win32=False):
        self.prefix = prefix
        self.win32 = win32
        self.wine64 = os.environ.get("OSTREL_WINE64") or shutil.which("wine64")
        if not self.wine64 and os.access("/usr/lib/wine/wine64", os.X_OK):
            self.wine64 = "/usr/lib/wine/wine64"
        self.wine32 = os.environ.get("OSTREL_WINE32")
        if not self.wine32 and os.access("/usr/lib/wine/wine", os.X_OK):
            self.wine32 = "/usr/lib/wine/wine"
        self.wineserver = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
        self.last_error = ""
        self.env = dict(os.environ)
        self.env.update(
            {"WINEPREFIX": prefix, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
        )
        if tz is not None:
            self.env["TZ"] = tz
        if win32:
            self.env["WINEARCH"] = "win32"
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
            if not self.wine32:
                self.last_error = wine32_unavailable_reason() or "32-bit Wine is not installed"
                return False
            return self.runs(self.wine32)
        return False

    def loader(self):
        if self.win32:
            return self.wine32
        return self.wine64 if self.runs(self.wine64) else self.wine32

    def loader_for(self, machine):
        return self.wine64 if machine == "x86_64" else self.wine32

    def run(self, machine, cwd, args, timeout=120):
        """Runs a Windows program of `machine` in the prefix, with the prefix's
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
        """Makes the prefix anew; (True when it has a Windows folder, wineboot's result)."""
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

    def msiexec(self, cwd, package, log, properties=()):
        """Installs `package`; `properties` are NAME=VALUE arguments for its
        command line."""
        return subprocess.run(
            [self.loader(), "msiexec", "/i", package, "/qn", "/l*v", log, *properties],
            cwd=cwd,
            capture_output=True,
            text=True,
            timeout=MSIEXEC_TIMEOUT,
            env=self.env,
        )

    def attrib(self, *args):
        """Runs Wine's attrib (for example "+h", path) and gives its output."""
        result = subprocess.run(
            [self.loader(), "attrib", *args],
            capture_output=True,
            text=True,
            timeout=120,
            env=self.env,
        )
        return result.stdout

    def wait(self):
        subprocess.run([self.wineserver, "-w"], env=self.env, timeout=120)

    def stop(self):
        subprocess.run([self.wineserver, "-k"], env=self.env, timeout=60)


def wine32_unavailable_reason():
    """Why the set-up could not install 32-bit Wine (scripts/setup keeps apt's
    reason in build/wine32-unavailable.txt), or None."""
    try:
        with open(os.path.join(ROOT, "build", "wine32-unavailable.txt")) as f:
            return f.read().strip() or None
    except OSError:
        return None


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


def package_properties(msi):
    """{name: value} from the package's Property table."""
    result = subprocess.run(
        ["msiinfo", "export", msi, "Property"], capture_output=True, text=True, timeout=60
    )
    rows = {}
    for line in result.stdout.splitlines()[3:]:
        name, _, value = line.partition("\t")
        rows[name] = value
    return rows


def unix_path(prefix, windows_path):
    """A C:\\ path of the prefix as a Unix path."""
    drive, rest = windows_path.split(":", 1)
    assert drive.upper() == "C"
    return os.path.join(prefix, "drive_c", *[part for part in rest.split("\\") if part])


def localhost_page(page):
    """The bytes of the sample page with its form action on localhost."""
    if SAMPLE_DESTINATION.encode() not in page:
        raise RuntimeError(f"the sample page no longer names {SAMPLE_DESTINATION}")
    return page.replace(SAMPLE_DESTINATION.encode(), LOCAL_DESTINATION.encode())


def copy_install_for_localhost(target):
    """A copy of examples/install in `target` whose page posts to localhost."""
    if os.path.exists(target):
        shutil.rmtree(target)
    shutil.copytree(EXAMPLE_INSTALL, target)
    page = os.path.join(target, "register.htm")
    with open(page, "rb") as f:
        text = f.read()
    with open(page, "wb") as f:
        f.write(localhost_page(text))
    return target


class LocalService:
    """registration_service.py serving on `listen` (127.0.0.1:443 by default) for
    one install; what it received is read from its record file."""

    def __init__(self, work, cert_dir, name, *options, listen=SERVICE_LISTEN, max_requests=4):
        self.record = os.path.join(work, f"{name}.jsonl")
        self.ready = os.path.join(work, f"{name}.ready")
        self.stderr_path = os.path.join(work, f"{name}.stderr")
        for path in (self.record, self.ready):
            if os.path.exists(path):
                os.remove(path)
        self.args = [sys.executable, SERVICE, "serve", "--cert-dir", cert_dir,
                     "--listen", listen, "--record", self.record,
                     "--ready-file", self.ready, "--max-requests", str(max_requests),
                     "--timeout", "300", *options]
        self.process = None

    def start(self):
        """True once it listens; False (and stopped) when it did not come up."""
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen(self.args, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=stderr)
        limit = time.monotonic() + SERVICE_START_LIMIT
        while not os.path.exists(self.ready):
            if self.process.poll() is not None or time.monotonic() > limit:
                self.stop()
                return False
            time.sleep(0.05)
        return True

    def port(self):
        with open(self.ready, encoding="ascii") as f:
            return json.load(f)["port"]

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def events(self, kind):
        if not os.path.exists(self.record):
            return []
        with open(self.record, encoding="ascii") as f:
            return [event for event in map(json.loads, f) if event["event"] == kind]

    def wait_for(self, kind, seconds):
        limit = time.monotonic() + seconds
        while not self.events(kind) and time.monotonic() < limit:
            time.sleep(0.05)
        return bool(self.events(kind))

    def stderr(self):
        with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
            return f.read().strip()


def make_certificates(cert_dir):
    """Makes the test certificates (registration_service.py certs); its result."""
    return subprocess.run([sys.executable, SERVICE, "certs", "--cert-dir", cert_dir],
                          capture_output=True, text=True, timeout=300)


def machine_store_verdict(cert_dir):
    """openssl's verdict on the test server certificate against the machine's own
    trust store; a non-zero exit status means the machine does not trust it."""
    return subprocess.run(["openssl", "verify", "-CApath", "/etc/ssl/certs",
                           os.path.join(cert_dir, "server.pem")],
                          capture_output=True, text=True, timeout=60)


def build_recorder(wine, compiler):
    """Builds tools/record_open.c with the mingw-w64 C compiler `compiler` into the
    prefix's tools folder; (built, detail)."""
    tools = unix_path(wine.prefix, PREFIX_TOOLS)
    os.makedirs(tools, exist_ok=True)
    recorder = os.path.join(tools, "record_open.exe")
    found = shutil.which(compiler)
    if not found:
        return False, f"no {compiler}"
    built = subprocess.run([found, "-municode", "-Os", "-Wall", "-Werror", "-o", recorder,
                            RECORDER_SOURCE], capture_output=True, text=True, timeout=120)
    return built.returncode == 0, built.stderr[-400:]


def registry_file_text(der, thumbprint, recorder):
    """REGEDIT4 text: the test CA in the machine's Root store and the open verbs."""
    blob = struct.pack("<III", CERT_CERT_PROP_ID, 1, len(der)) + der
    command = f'"{recorder}" "{OPENED_RECORD}" "%1"'.replace("\\", "\\\\").replace('"', '\\"')
    lines = [
        "REGEDIT4",
        "",
        "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\"
        f"{thumbprint}]",
        '"Blob"=hex:' + ",".join(f"{b:02x}" for b in blob),
        "",
        "[HKEY_CLASSES_ROOT\\.htm]",
        '@="htmlfile"',
    ]
    for key in ("http", "https", "htmlfile"):
        lines += ["", f"[HKEY_CLASSES_ROOT\\{key}\\shell\\open\\command]", f'@="{command}"']
    return "\r\n".join(lines) + "\r\n"


def trust_ca_and_set_open_verbs(wine, cert_dir):
    """Imports the test CA into the prefix's Root store and points its open verbs
    at the recorder (built beforehand); (done, detail)."""
    tools = unix_path(wine.prefix, PREFIX_TOOLS)
    os.makedirs(tools, exist_ok=True)
    with open(os.path.join(cert_dir, "ca.der"), "rb") as f:
        der = f.read()
    with open(os.path.join(cert_dir, "ca.sha1"), encoding="ascii") as f:
        thumbprint = f.read().strip()
    reg_file = os.path.join(tools, "upload.reg")
    with open(reg_file, "w", encoding="ascii", newline="") as f:
        f.write(registry_file_text(der, thumbprint, PREFIX_TOOLS + r"\record_open.exe"))
    imported = subprocess.run([wine.loader(), "reg", "import", "upload.reg"], cwd=tools,
                              capture_output=True, text=True, timeout=120, env=wine.env)
    wine.wait()
    query = subprocess.run([wine.loader(), "reg", "query",
                            "HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\"
                            + thumbprint, "/v", "Blob"],
                           capture_output=True, text=True, timeout=120, env=wine.env)
    return (imported.returncode == 0 and thumbprint in query.stdout,
            (imported.stderr + query.stderr)[-400:])


def clear_opened(wine):
    path = unix_path(wine.prefix, OPENED_RECORD)
    if os.path.exists(path):
        os.remove(path)


def opened_targets(wine):
    """What the prefix's browser was asked to open, in order."""
    path = unix_path(wine.prefix, OPENED_RECORD)
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\r\n") for line in f if line.strip()]
