#!/usr/bin/env python3
"""The release checks: both DLLs' version resource (pefile, then under Wine through
version_probe.exe); two more builds of the 32-bit DLL from copies of the sources,
without the compiler cache, byte-identical to the checkout's (the 64-bit build
takes the same options from the same file); scripts/sign with a throwaway CA;
the archive of scripts/release, unpacked, summed and its sample built by wixl;
the signed DLLs in the end-to-end stamp package. A DLL whose machine this host's
Wine cannot run is SKIP (a failure with --require-all).

Usage: release_test.py [--build DIR] [--work DIR] [--require-all]
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

try:
    import pefile
except ImportError:  # Debian's python3-pefile, seen from a python3 not Debian's own
    sys.path.append("/usr/lib/python3/dist-packages")
    import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path[:0] = [os.path.join(ROOT, "tests", "e2e"), os.path.join(ROOT, "tests", "support")]
from check_report import Report  # noqa: E402
from wine_install import Wine  # noqa: E402
from emulated_workers import SessionWine, emulated_i686  # noqa: E402
import run_e2e  # noqa: E402

ARCHES = {"i686": "x86", "x86_64": "x64"}
ARCHIVE_FILES = {"README.md", "SHA256SUMS", "docs/reference.md", "examples/ostrel_desk.wxs",
                 "examples/install/register.htm", "examples/install/svctag.xml",
                 *(f"{d}/ostrel_ca.dll{x}" for d in ARCHES.values() for x in ("", ".debug"))}


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, errors="replace", timeout=900,
                          **kwargs)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def file_resource(dll):
    """The version resource as pefile reads it, in version_probe.exe's names."""
    pe = pefile.PE(dll)
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        return {}
    fixed = pe.VS_FIXEDFILEINFO[0]
    dotted = lambda ms, ls: f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"  # noqa: E731
    got = {"#FileVersion": dotted(fixed.FileVersionMS, fixed.FileVersionLS),
           "#ProductVersion": dotted(fixed.ProductVersionMS, fixed.ProductVersionLS)}
    for info in pe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            got.update({k.decode(): v.decode() for k, v in table.entries.items()})
        for var in getattr(info, "Var", []):
            got["#Translation"] = "%04x %04x" % tuple(
                int(x, 16) for x in var.entry[b"Translation"].split())
    return got


def first_difference(a, b):
    """Where two PE files first differ: "headers", a section, or neither."""
    pa, pb = pefile.PE(a, fast_load=True), pefile.PE(b, fast_load=True)
    strings = pa.FILE_HEADER.PointerToSymbolTable + 18 * pa.FILE_HEADER.NumberOfSymbols
    regions = [("headers", 0, pa.OPTIONAL_HEADER.SizeOfHeaders)]
    for s in pa.sections:
        name = s.Name.rstrip(b"\0").decode()
        if re.fullmatch(r"/\d+", name):  # a long name, in the COFF string table
            start = strings + int(name[1:])
            name = pa.__data__[start:pa.__data__.find(b"\0", start)].decode(errors="replace")
        regions.append((name, s.PointerToRawData, s.SizeOfRawData))
    for name, start, size in regions:
        if pa.__data__[start:start + size] != pb.__data__[start:start + size]:
            return name
    return "no section (padding, or data after the last section)"


def check_rebuilds(report, build):
    files = run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                cwd=ROOT).stdout.split("\0")
    env = {k: v for k, v in os.environ.items() if not k.endswith("_COMPILER_LAUNCHER")}
    env["CCACHE_DISABLE"] = "1"
    trees = [os.path.join(build, "mingw-i686")]
    with tempfile.TemporaryDirectory(prefix="ostrel-rebuild-") as scratch:
        # One rebuild, at another depth and without the compiler cache, against the
        # checkout's build (made through the cache where it is installed): folders,
        # time and cache hits must not show in the bytes.
        for source in (os.path.join(scratch, "two", "deeper", "src"),):
            for name in (n for n in files if os.path.isfile(os.path.join(ROOT, n))):
                os.makedirs(os.path.dirname(os.path.join(source, name)), exist_ok=True)
                shutil.copy2(os.path.join(ROOT, name), os.path.join(source, name))
            built = run(["cmake", "--preset", "mingw-i686", "-DOSTREL_BUILD_TESTS=OFF"],
                        cwd=source, env=env)
            if built.returncode == 0:
                built = run(["cmake", "--build", "--preset", "mingw-i686", "--target", "ostrel_ca"],
                            cwd=source, env=env)
            if not report.check(built.returncode == 0, f"i686 DLL builds in {source}",
                                (built.stdout + built.stderr)[-800:]):
                return
            trees.append(os.path.join(source, "build", "mingw-i686"))
        for name in ("ostrel_ca.dll", "ostrel_ca.dll.debug"):
            first, *others = [os.path.join(tree, name) for tree in trees]
            differ = [f"{p} differs from {first} first in {first_difference(first, p)}"
                      for p in others if read(p) != read(first)]
            report.check(not differ, f"i686 {name}: builds in two folders, with and without "
                         "the compiler cache, are byte-identical", "; ".join(differ))


def make_signer(work):
    """A throwaway CA and a code-signing certificate of it in a PKCS#12 file with a
    password, made by openssl in `work`; (ca.pem, signer.p12, password file)."""
    with open(os.path.join(work, "openssl.cnf"), "w") as f:
        f.write("[req]\ndistinguished_name=dn\nprompt=no\n[dn]\nCN=Throwaway Code Signing CA\n"
                "[ca]\nbasicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign\n"
                "[leaf]\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
    with open(os.path.join(work, "password"), "w") as f:
        f.write("release-test\n")
    for command in (
        "req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -config openssl.cnf "
        "-extensions ca",
        "req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr -subj /CN=Signer",
        "x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -set_serial 2 -days 2 -out leaf.pem "
        "-extfile openssl.cnf -extensions leaf",
        "pkcs12 -export -inkey leaf.key -in leaf.pem -certfile ca.pem -out signer.p12 "
        "-passout file:password",
    ):
        if run(["openssl", *command.split()], cwd=work).returncode != 0:
            raise RuntimeError(f"openssl {command}")
    return tuple(os.path.join(work, n) for n in ("ca.pem", "signer.p12", "password"))


def verifies(dll, ca):
    return run(["osslsigncode", "verify", "-CAfile", ca, "-in", dll]).returncode == 0


def check_signing(report, dll, work, ca, p12, password):
    sign = [os.path.join(ROOT, "scripts", "sign")]
    signed, flipped = os.path.join(work, "signed.dll"), os.path.join(work, "flipped.dll")
    shutil.copyfile(dll, signed)
    result = run([*sign, signed, "--pkcs12", p12, "--password-file", password, "--ca-file", ca])
    report.check(result.returncode == 0 and read(signed) != read(dll) and verifies(signed, ca),
                 "scripts/sign signs the i686 DLL; it verifies against the throwaway CA",
                 result.stderr[-600:])
    data = bytearray(read(signed))
    data[len(data) // 3] ^= 0x01
    with open(flipped, "wb") as f:
        f.write(data)
    report.check(not verifies(flipped, ca), "one flipped byte makes the verification fail")

    with open(os.path.join(work, "wrong"), "w") as f:
        f.write("not-the-password\n")
    with open(os.path.join(work, "notes.txt"), "w") as f:
        f.write("MZ, but no PE file\n")
    for what, name, options, words in (  # the refused input, the words of the message
        ("a file that is not a PE", "notes.txt", ["--password-file", password, "--ca-file", ca],
         "is not a PE file"),
        ("a wrong password", None, ["--password-file", os.path.join(work, "wrong")],
         "wrong password"),
        ("a root the signature does not reach", None, ["--password-file", password],
         "does not verify"),
    ):
        source = os.path.join(work, name) if name else dll
        target = os.path.join(work, "input")
        shutil.copyfile(source, target)
        result = run([*sign, target, "--pkcs12", p12, *options])
        left = [n for n in os.listdir(work) if n.startswith(".signing-")]
        report.check(result.returncode != 0 and words in result.stderr
                     and read(target) == read(source) and not left,
                     f"scripts/sign refuses {what}: says so, leaves the input as it was",
                     f"exit {result.returncode}, left {left}: {result.stderr[-300:]}")


def check_archive(report, work, version, ca, p12, password):
    """scripts/release, signed by the throwaway signer; the unpacked folder, or None."""
    result = run([os.path.join(ROOT, "scripts", "release"), "--output-dir", work, "--pkcs12",
                  p12, "--password-file", password, "--ca-file", ca], cwd=ROOT)
    stem = f"ostrel_ca-{version}-windows"
    archive = (result.stdout.strip().splitlines() or [""])[-1]
    if not report.check(result.returncode == 0 and archive == os.path.join(work, stem + ".zip"),
                        f"scripts/release makes {stem}.zip", result.stderr[-800:]):
        return None
    unpacked = os.path.join(work, "unpacked")
    os.makedirs(unpacked)
    with zipfile.ZipFile(archive) as z:
        z.extractall(unpacked)
    top = os.path.join(unpacked, stem)
    found = {os.path.relpath(os.path.join(d, n), top) for d, _, ns in os.walk(top) for n in ns}
    report.check(os.listdir(unpacked) == [stem] and found == ARCHIVE_FILES,
                 f"the archive holds {stem}/ with the release's files and no other",
                 f"missing {sorted(ARCHIVE_FILES - found)}, extra {sorted(found - ARCHIVE_FILES)}")
    with open(os.path.join(top, "SHA256SUMS"), encoding="ascii") as f:
        sums = dict(reversed(line.rstrip("\n").split("  ", 1)) for line in f)
    wrong = sorted(n for n in found - {"SHA256SUMS"}
                   if sums.get(n) != hashlib.sha256(read(os.path.join(top, n))).hexdigest())
    report.check(not wrong and set(sums) == found - {"SHA256SUMS"},
                 "SHA256SUMS holds every other file of the archive with its sum", f"{wrong}")
    for folder in ARCHES.values():
        dll = os.path.join(top, folder, "ostrel_ca.dll")
        report.check(verifies(dll, ca), f"{folder}/ostrel_ca.dll is signed and verifies")
        built = run(["wixl", "-a", folder, "-D", f"OstrelCaDll={folder}/ostrel_ca.dll", "-D",
                     "InstallSource=examples/install", "-o", f"{folder}.msi",
                     "examples/ostrel_desk.wxs"], cwd=top)
        stream = subprocess.run(["msiinfo", "extract", f"{folder}.msi", "Binary.OstrelCa"],
                                cwd=top, capture_output=True, timeout=120).stdout
        report.check(built.returncode == 0 and stream == read(dll),
                     f"wixl -a {folder} builds the sample from the unpacked files alone, around "
                     f"{folder}/ostrel_ca.dll", built.stderr[-400:])
    return top


def check_under_wine(report, work, dlls, from_file, signed, require_all):
    wine = Wine(os.path.join(work, "wineprefix"), tz=run_e2e.INSTALL_TZ)
    runnable = []
    for machine in ARCHES:
        if wine.can_run(machine):
            runnable.append(machine)
            continue
        what = f"[{machine}] version probe and signed install under Wine"
        why = f"this host's Wine cannot run {machine} code (" + (
            (wine.loader_for(machine) and wine.last_error) or "no loader") + ")"
        report.check(False, what, why) if require_all else report.skip(what, why)
    # Emulated 32-bit Wine runs the i686 DLL in a 32-bit prefix of its own, whose
    # session stays up between programs (see tests/e2e/emulated_workers.py).
    emulated = [m for m in runnable if m == "i686" and emulated_i686()]
    prefixes = [(wine, [m for m in runnable if m not in emulated])]
    if emulated:
        prefixes.append((SessionWine(os.path.join(work, "wineprefix-i686"),
                                     tz=run_e2e.INSTALL_TZ), emulated))
    for wine, machines in prefixes:
        if machines:
            check_in_prefix(report, work, wine, machines, dlls, from_file, signed)


def check_in_prefix(report, work, wine, machines, dlls, from_file, signed):
    booted, result = wine.boot()
    if not report.check(booted, f"throwaway WINEPREFIX in {wine.prefix}", result.stderr[-400:]):
        return
    try:
        for machine in machines:
            folder = os.path.join(work, "wine", machine)
            os.makedirs(folder)
            exe = os.path.join(folder, "version_probe.exe")
            built = run([f"{machine}-w64-mingw32-g++-posix", "-std=c++17", "-Wall", "-Werror",
                         "-static", "-municode", "-D__USE_MINGW_ANSI_STDIO=0", "-o", exe,
                         os.path.join(HERE, "version_probe.cpp"), "-lversion"])
            report.check(built.returncode == 0, f"[{machine}] version_probe.exe builds",
                         built.stderr[-400:])
            # The 64-bit probe reads the 32-bit DLL as well, as a 64-bit Explorer does.
            targets = [] if built.returncode else list(ARCHES) if machine == "x86_64" else [machine]
            for target in targets:
                shutil.copyfile(dlls[target], os.path.join(folder, "probed.dll"))
                ran = wine.run(machine, folder, [exe, "probed.dll", "version.txt"])
                got = {}
                if ran.returncode == 0:
                    with open(os.path.join(folder, "version.txt"), encoding="ascii") as f:
                        got = dict(line.split("\t", 1) for line in f.read().splitlines())
                report.check(got == from_file[target], f"[{machine}] GetFileVersionInfoW and "
                             f"VerQueryValueW read the {target} DLL's resource as pefile does",
                             f"{ran.stderr[-300:]} {got} != {from_file[target]}")
            if signed:
                report.note(f"[{machine}] the stamp package around the signed {signed[machine]}")
                run_e2e.run_stamp_immediate(report, wine, machine, signed[machine], folder)
    finally:
        wine.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"),
                        help="folder of the mingw-i686 and mingw-x86_64 build trees")
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "release-test"))
    parser.add_argument("--require-all", action="store_true",
                        help="a DLL this host's Wine cannot run fails")
    args = parser.parse_args()
    report = Report()
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        version = re.search(r"project\(ostrel_ca VERSION ([0-9.]+)", f.read()).group(1)
    four = ".".join((version.split(".") + ["0"] * 4)[:4])
    dlls = {m: os.path.join(args.build, f"mingw-{m}", "ostrel_ca.dll") for m in ARCHES}
    if not report.check(all(map(os.path.isfile, dlls.values())), "both DLLs are built"):
        return report.summary()

    from_file = {m: file_resource(dll) for m, dll in dlls.items()}
    for machine, got in from_file.items():
        tag = f"[{machine}] version resource (pefile)"
        report.check({got.get(k) for k in ("#FileVersion", "#ProductVersion", "FileVersion",
                                           "ProductVersion")} == {four},
                     f"{tag}: file and product version {four}, as numbers and as text", f"{got}")
        report.check(got.get("ProductName") == "ostrel_ca" and got.get("FileDescription")
                     and got.get("OriginalFilename") == got.get("InternalName") == "ostrel_ca.dll"
                     and "Copyright" in got.get("LegalCopyright", "")
                     and got.get("#Translation") == "0000 04b0",
                     f"{tag}: names, description, copyright; language neutral, Unicode", f"{got}")
    check_rebuilds(report, args.build)
    ca, p12, password = make_signer(work)
    check_signing(report, dlls["i686"], work, ca, p12, password)
    top = check_archive(report, work, version, ca, p12, password)
    signed = {m: os.path.join(top, f, "ostrel_ca.dll") for m, f in ARCHES.items()} if top else {}
    check_under_wine(report, work, dlls, from_file, signed, args.require_all)
    return report.summary()


if __name__ == "__main__":
    sys.exit(main())
