#!/usr/bin/env python3
"""ostrel-ca-check against a table of small packages built here with wixl.

Each row of CASES is a package: the sample's product (its two files, so the
standard actions InstallFiles and InstallFinalize stand where they do in a real
package) with the row's properties, custom actions and InstallExecuteSequence,
the library stored in the Binary table. The row gives the exit status and the
findings expected, exactly: (code, severity, row, table) of every finding line.
Besides the table: examples/ostrel_desk.wxs as it stands has none; a damaged
file, an empty file, a text file and a missing file give 2 with one line; a
package whose Binary row holds another file gives 0; --format json and --quiet
say the same as the lines.

Every package is checked by the Linux program and by ostrel-ca-check.exe under
64-bit Wine, and the two outputs must agree line for line. Where Wine or the .exe
is missing, the Windows checks are SKIP lines.

Prints one line per check, then "N passed, N failed" (with "(N skipped)" before
it when something was skipped); exits non-zero on a failure.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from wine_install import Wine  # noqa: E402

LINE = re.compile(
    r"^(?P<package>.*?): (?P<code>OCA\d{3}) (?P<severity>error|warning|note): "
    r"(?P<kind>Action|Property) '(?P<name>[^']*)' \((?P<table>\w+) row\): .+ Fix: .+$")
COUNT = re.compile(r"^.*: (\d+) errors?, (\d+) warnings?, (\d+) notes?$")

PRODUCT = """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="checker case" Language="1033" Version="1.0.0" Manufacturer="ostrel_ca tests"
           UpgradeCode="5A1F0C3E-8B27-4D96-A4E1-0F3B6C9D2E75">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="case.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFilesFolder">
        <Directory Id="INSTALLDIR" Name="Case">
          <Component Id="RegistrationFiles" Guid="2C7B4E19-6D30-4A8F-B5E2-91F0A3C6D847">
            <File Id="ServiceTag" Name="svctag.xml" Source="install/svctag.xml" KeyPath="yes"/>
            <File Id="OfflinePage" Name="register.htm" Source="install/register.htm"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="RegistrationFiles"/></Feature>
    <Binary Id="OstrelCa" SourceFile="{binary}"/>
{body}
    <InstallExecuteSequence>
{sequence}
    </InstallExecuteSequence>
  </Product>
</Wix>
"""

# Authoring pieces the rows share. Standard actions stand at InstallInitialize
# 1500, InstallFiles 4000 and InstallFinalize 6600.
CA = '<CustomAction Id="{id}" BinaryKey="OstrelCa" DllEntry="{entry}" {extra}/>'
SETTER = '<CustomAction Id="Set{id}" Property="{id}" Value="{value}" Impersonate="yes"/>'
STEP = '<Custom Action="{id}" Sequence="{seq}">{cond}</Custom>'
SEND_OK = 'Execute="immediate" Impersonate="yes" Return="ignore"'
CONSENT = 'NOT Installed AND REGISTRATIONCONSENT = "1"'
SECURE = '<Property Id="SecureCustomProperties" Value="REGISTRATIONCONSENT"/>'
POST = '<Property Id="PostRegistration" Value="[INSTALLDIR]"/>'


def merge(entry="CAUpdateOfflineReg", extra='Execute="deferred" Impersonate="no"'):
    return CA.format(id="Merge", entry=entry, extra=extra)


def send(extra=SEND_OK):
    return CA.format(id="Send", entry="CASendServiceTag", extra=extra)


def step(action, seq, cond=""):
    return STEP.format(id=action, seq=seq, cond=cond)


# The row whose Binary holds svctag.xml rather than the library.
FOREIGN_BINARY = "the five names called from a Binary row that holds another file (clean)"

# (title, body, sequence, exit status, findings as (code, severity, row, table))
CASES = [
    ("deferred merge with its CustomActionData set after it (OCA101)",
     [merge(), SETTER.format(id="Merge", value="[INSTALLDIR]")],
     [step("Merge", 4002, "NOT Installed"), step("SetMerge", 4003, "NOT Installed")],
     1, [("OCA101", "error", "Merge", "InstallExecuteSequence")]),
    ("deferred merge before InstallFiles (OCA201)",
     [merge(), SETTER.format(id="Merge", value="[INSTALLDIR]")],
     [step("SetMerge", 2999, "NOT Installed"), step("Merge", 3000, "NOT Installed")],
     1, [("OCA201", "error", "Merge", "InstallExecuteSequence")]),
    ("immediate merge inside the install script (OCA202)",
     [merge(extra='Execute="immediate" Impersonate="yes"'),
      '<Property Id="UpdateRegistration" Value="[INSTALLDIR]"/>'],
     [step("Merge", 4002, "NOT Installed")],
     1, [("OCA202", "error", "Merge", "InstallExecuteSequence")]),
    ("merge conditioned on the installer's VersionNT only (OCA203)",
     [merge(), SETTER.format(id="Merge", value="[INSTALLDIR]")],
     [step("SetMerge", 4001, "VersionNT"), step("Merge", 4002, "VersionNT")],
     0, [("OCA203", "warning", "Merge", "InstallExecuteSequence")]),
    ("merge kept to a first run by a product property (clean)",
     [merge(), SETTER.format(id="Merge", value="[INSTALLDIR]")],
     [step("SetMerge", 4001), step("Merge", 4002, "NOT PAGEMERGED")],
     0, []),
    ("merge condition that cannot be read (OCA203 note)",
     [merge(), SETTER.format(id="Merge", value="[INSTALLDIR]")],
     [step("SetMerge", 4001), step("Merge", 4002, "NOT Installed AND (VersionNT")],
     0, [("OCA203", "note", "Merge", "InstallExecuteSequence")]),
    ("deferred send (OCA301, and so before InstallFinalize)",
     [SECURE, send('Execute="deferred" Impersonate="yes" Return="ignore"'),
      SETTER.format(id="Send", value="[INSTALLDIR]")],
     [step("SetSend", 6500, CONSENT), step("Send", 6501, CONSENT)],
     1, [("OCA301", "error", "Send", "CustomAction"),
         ("OCA304", "warning", "Send", "InstallExecuteSequence")]),
    ("send left to wixl's default impersonation (OCA302)",
     [SECURE, POST, send('Execute="immediate" Return="ignore"')],
     [step("Send", 6602, CONSENT)],
     1, [("OCA302", "error", "Send", "CustomAction")]),
    ("send with its return value checked (OCA303)",
     [SECURE, POST, send('Execute="immediate" Impersonate="yes" Return="check"')],
     [step("Send", 6602, CONSENT)],
     1, [("OCA303", "error", "Send", "CustomAction")]),
    ("send before InstallFinalize (OCA304)",
     [SECURE, POST, send()], [step("Send", 6500, CONSENT)],
     0, [("OCA304", "warning", "Send", "InstallExecuteSequence")]),
    ("send without a condition (OCA305)",
     [SECURE, POST, send()], [step("Send", 6602)],
     0, [("OCA305", "warning", "Send", "InstallExecuteSequence")]),
    ("send on a consent SecureCustomProperties does not list (OCA306)",
     ['<Property Id="SecureCustomProperties" Value="OTHERPROPERTY; ANOTHER"/>', POST, send()],
     [step("Send", 6602, CONSENT)],
     0, [("OCA306", "warning", "Send", "InstallExecuteSequence")]),
    ("immediate WMI query without WMIQuery (OCA401)",
     [CA.format(id="Query", entry="CAQueryWMI", extra='Execute="immediate" Impersonate="yes"')],
     [step("Query", 1003, "NOT Installed")],
     1, [("OCA401", "error", "Query", "InstallExecuteSequence")]),
    ("WMIQuery with a lower-case class (OCA402)",
     ['<Property Id="WMIQuery" Value="SELECT Name FROM win32_processor"/>',
      CA.format(id="Query", entry="CAQueryWMI", extra='Execute="immediate" Impersonate="yes"')],
     [step("Query", 1003, "NOT Installed")],
     1, [("OCA402", "error", "WMIQuery", "Property")]),
    ("WMIQuery set before the query from another property (OCA402 note)",
     ['<CustomAction Id="SetQuery" Property="WMIQuery" Value="[INVENTORYQUERY]"/>',
      CA.format(id="Query", entry="CAQueryWMI", extra='Execute="immediate" Impersonate="yes"')],
     [step("SetQuery", 1002), step("Query", 1003, "NOT Installed")],
     0, [("OCA402", "note", "SetQuery", "CustomAction")]),
    ("entry point the library does not export (OCA501)",
     [merge(entry="CAUpdateOfflineRegistration"),
      SETTER.format(id="Merge", value="[INSTALLDIR]")],
     [step("SetMerge", 4001, "NOT Installed"), step("Merge", 4002, "NOT Installed")],
     1, [("OCA501", "error", "Merge", "CustomAction")]),
    ("several mistakes at once",
     [merge(extra='Execute="immediate" Impersonate="yes"'),
      send('Execute="deferred" Return="check"'),
      '<Property Id="WMIQuery" Value="SELECT * FROM Processor"/>',
      CA.format(id="Query", entry="CAQueryWMI", extra='Execute="deferred" Impersonate="yes"'),
      CA.format(id="Stamp", entry="CASetRegDateTime", extra='Impersonate="yes"')],
     [step("Stamp", 1001), step("Query", 1600), step("Merge", 3000), step("Send", 6500)],
     1, [("OCA201", "error", "Merge", "InstallExecuteSequence"),
         ("OCA202", "error", "Merge", "InstallExecuteSequence"),
         ("OCA203", "warning", "Merge", "InstallExecuteSequence"),
         ("OCA101", "error", "Query", "InstallExecuteSequence"),
         ("OCA101", "error", "Send", "InstallExecuteSequence"),
         ("OCA301", "error", "Send", "CustomAction"),
         ("OCA302", "error", "Send", "CustomAction"),
         ("OCA303", "error", "Send", "CustomAction"),
         ("OCA304", "warning", "Send", "InstallExecuteSequence"),
         ("OCA305", "warning", "Send", "InstallExecuteSequence")]),
    (FOREIGN_BINARY,
     [merge(), send('Execute="deferred" Return="check"')],
     [step("Merge", 3000), step("Send", 6500)],
     0, []),
]


class Report:
    def __init__(self):
        self.passed = self.failed = self.skipped = 0

    def check(self, ok, title, detail=""):
        if ok:
            self.passed += 1
            print(f"PASS {title}")
        else:
            self.failed += 1
            print(f"FAIL {title}" + (f": {detail}" if detail else ""))
        return ok

    def skip(self, title, why):
        self.skipped += 1
        print(f"SKIP {title}: {why}")


def findings(output):
    """(code, severity, row, table) of each finding line; None when a line is of
    neither the finding nor the count form."""
    found = []
    for line in output.splitlines():
        m = LINE.match(line)
        if m:
            found.append((m["code"], m["severity"], m["name"], m["table"]))
        elif not COUNT.match(line):
            return None
    return found


def run_exe(wine, work, package):
    """(exit status, stdout, stderr) of ostrel-ca-check.exe on `package` under Wine.
    The output goes to files, not pipes: the prefix's own processes (services,
    explorer) stay with the persistent wine server and would hold a pipe open."""
    with open(os.path.join(work, "exe.out"), "w+b") as out, \
            open(os.path.join(work, "exe.err"), "w+b") as err:
        try:
            status = subprocess.run([wine.loader_for("x86_64"), "ostrel-ca-check.exe", package],
                                    cwd=work, stdout=out, stderr=err, env=wine.env,
                                    timeout=120).returncode
        except subprocess.TimeoutExpired:
            status = "timed out"
        out.seek(0)
        err.seek(0)
        return (status, out.read().decode("utf-8", "replace").replace("\r\n", "\n"),
                err.read().decode("utf-8", "replace").replace("\r\n", "\n"))


def build(work, name, wxs_text, binary, arch="x64"):
    path = os.path.join(work, name + ".wxs")
    with open(path, "w", encoding="utf-8") as f:
        f.write(wxs_text.replace("{binary}", binary))
    result = subprocess.run(["wixl", "-a", arch, "-o", name + ".msi", name + ".wxs"],
                            cwd=work, capture_output=True, text=True, timeout=120)
    return name + ".msi" if result.returncode == 0 else None, result.stderr


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--checker", default=os.path.join(ROOT, "build/linux-release/ostrel-ca-check"))
    parser.add_argument("--exe", default=os.path.join(ROOT, "build/mingw-x86_64/ostrel-ca-check.exe"))
    parser.add_argument("--dll", default=os.path.join(ROOT, "build/mingw-x86_64/ostrel_ca.dll"))
    parser.add_argument("--dll32", default=os.path.join(ROOT, "build/mingw-i686/ostrel_ca.dll"))
    args = parser.parse_args()
    report = Report()
    work = tempfile.mkdtemp(prefix="ostrel-checker-")
    try:
        run(args, work, report)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if report.skipped:
        print(f"({report.skipped} skipped)")
    print(f"{report.passed} passed, {report.failed} failed")
    return 1 if report.failed else 0


def run(args, work, report):
    if not report.check(os.access(args.checker, os.X_OK) and os.path.isfile(args.dll),
                        "the Linux checker and the x86_64 DLL are built",
                        f"{args.checker}, {args.dll}"):
        return
    shutil.copy(args.dll, os.path.join(work, "ostrel_ca.dll"))
    shutil.copytree(os.path.join(ROOT, "examples", "install"), os.path.join(work, "install"))

    wine = Wine(os.path.join(work, "wineprefix"))
    why_not = ""
    if not os.path.isfile(args.exe):
        why_not = f"{args.exe} is not built"
    elif not wine.can_run("x86_64"):
        why_not = f"64-bit Wine cannot start here ({wine.last_error[:120]})"
    elif not wine.boot()[0]:
        why_not = "no Wine prefix could be made"
    if not why_not:
        shutil.copy(args.exe, os.path.join(work, "ostrel-ca-check.exe"))
        # One wine server for all the runs, rather than one started for each; it
        # goes 30 s after the last run should the test stop before wine.stop().
        subprocess.run([wine.wineserver, "-p30"], env=wine.env, timeout=60)

    def check_both(title, package, status, expected, one_line=None):
        """Runs both programs on `package` (relative to the work folder)."""
        linux = subprocess.run([args.checker, package], cwd=work, capture_output=True,
                               text=True, timeout=60)
        if one_line is not None:
            lines = linux.stderr.splitlines()
            ok = (linux.returncode == status and not linux.stdout and len(lines) == 1 and
                  lines[0].startswith(f"{package}: cannot read the package: {one_line}"))
        else:
            ok = (linux.returncode == status and findings(linux.stdout) is not None and
                  sorted(findings(linux.stdout)) == sorted(expected) and
                  COUNT.match(linux.stdout.splitlines()[-1]) is not None)
        report.check(ok, f"{title}: exit {status}, " +
                     (f"'{one_line}'" if one_line is not None else f"{len(expected)} findings"),
                     f"exit {linux.returncode}: {linux.stdout}{linux.stderr}".strip())
        if why_not:
            report.skip(f"{title}: the .exe under Wine agrees", why_not)
            return
        status, out, err = run_exe(wine, work, package)
        same = status == linux.returncode and out == linux.stdout and err == linux.stderr
        report.check(same, f"{title}: the .exe under Wine agrees line for line",
                     f"exit {status}: {out}{err}".strip())

    for number, (title, body, sequence, status, expected) in enumerate(CASES):
        binary = "install/svctag.xml" if title == FOREIGN_BINARY else "ostrel_ca.dll"
        text = PRODUCT.format(binary="{binary}", body="\n".join("    " + b for b in body),
                              sequence="\n".join("      " + s for s in sequence))
        package, error = build(work, f"case{number:02}", text, binary)
        if report.check(package is not None, f"{title}: wixl builds the package", error[-300:]):
            check_both(title, package, status, expected)

    # The sample as it stands, and the same findings as JSON and --quiet.
    with open(os.path.join(ROOT, "examples", "ostrel_desk.wxs"), encoding="utf-8") as f:
        sample = f.read().replace("$(var.OstrelCaDll)", "{binary}").replace(
            "$(var.InstallSource)", "install")
    package, error = build(work, "ostrel_desk", sample, "ostrel_ca.dll")
    if report.check(package is not None, "examples/ostrel_desk.wxs: wixl builds it", error[-300:]):
        check_both("examples/ostrel_desk.wxs", package, 0, [])

    # The product's own 32-bit DLL (a PE32 image) is found as the library too.
    if os.path.isfile(args.dll32):
        shutil.copy(args.dll32, os.path.join(work, "ostrel_ca32.dll"))
        package, error = build(work, "ostrel_desk32",
                               sample.replace('Return="ignore"', 'Return="check"'),
                               "ostrel_ca32.dll", arch="x86")
        if report.check(package is not None, "the sample with the 32-bit DLL: wixl builds it",
                        error[-300:]):
            check_both("the sample with the 32-bit DLL, its return value checked", package, 1,
                       [("OCA303", "error", "SendServiceTag", "CustomAction")])
    else:
        report.skip("the sample with the 32-bit DLL", f"{args.dll32} is not built")

    several = "case%02d.msi" % next(i for i, c in enumerate(CASES) if c[0] == "several mistakes at once")
    text_run = subprocess.run([args.checker, several], cwd=work, capture_output=True, text=True)
    json_run = subprocess.run([args.checker, "--format=json", several], cwd=work,
                              capture_output=True, text=True)
    try:
        document = json.loads(json_run.stdout)
        listed = [(f["code"], f["severity"], f["name"], f["table"]) for f in document["findings"]]
        ok = (json_run.returncode == 1 and listed == findings(text_run.stdout) and
              document["errors"] == sum(1 for f in listed if f[1] == "error") and
              document["warnings"] == sum(1 for f in listed if f[1] == "warning"))
    except (ValueError, KeyError, TypeError):
        ok = False
    report.check(ok, "--format json lists the findings of the lines, with their counts",
                 json_run.stdout[-300:])
    quiet_run = subprocess.run([args.checker, "--quiet", several], cwd=work,
                               capture_output=True, text=True)
    errors = [line for line in text_run.stdout.splitlines() if " error: " in line]
    report.check(quiet_run.returncode == 1 and quiet_run.stdout.splitlines() == errors,
                 f"--quiet prints the {len(errors)} error lines alone", quiet_run.stdout[-300:])

    # Files that are not packages: one line naming the path and why, exit 2.
    with open(os.path.join(work, "case00.msi"), "rb") as f:
        head = f.read(5000)
    with open(os.path.join(work, "damaged.msi"), "wb") as f:
        f.write(head)
    open(os.path.join(work, "empty.msi"), "wb").close()
    with open(os.path.join(work, "text.msi"), "w") as f:
        f.write("not a package\n")
    check_both("a damaged package (its first 5000 bytes)", "damaged.msi", 2, [],
               one_line="the installer cannot open it")
    check_both("an empty file", "empty.msi", 2, [], one_line="the file is empty")
    check_both("a text file", "text.msi", 2, [], one_line="not a Windows Installer package")
    check_both("a missing file", "missing.msi", 2, [], one_line="no such file")
    if not why_not:
        wine.stop()


if __name__ == "__main__":
    sys.exit(main())
