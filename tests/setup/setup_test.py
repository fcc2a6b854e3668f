#!/usr/bin/env python3
"""scripts/setup against a stand-in package manager: apt-get, dpkg and dpkg-query
first on PATH, answering from a list of installed packages and failing where a
case says. Nothing is installed for real and nothing is built (--packages-only).

Each case gives the exit status, lines the set-up must print (each exactly once),
what it must not print, the apt-get calls it must make, and the reason kept for
the test command when 32-bit Wine is missing."""
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from check_report import Report  # noqa: E402

# The stand-ins. STATE lists the installed packages; FAIL_UPDATE and FAIL_INSTALL
# (a package and apt's error text) script the failures; CALLS records each call.
APT_GET = r'''#!/usr/bin/env bash
echo "apt-get $*" >>"$CALLS"
case $1 in
update)
    if [[ -n ${FAIL_UPDATE:-} ]]; then
        echo "Err:6 http://deb.example/debian-security bookworm-security/main i386 Packages"
        echo "E: $FAIL_UPDATE"
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
        exit 100
    fi ;;
install)
    shift
    names=()
    for a in "$@"; do [[ $a == -* ]] || names+=("$a"); done
    for a in "${names[@]}"; do
        if [[ $a == "${FAIL_INSTALL%%=*}" ]]; then
            echo "Some packages could not be installed."
            echo "E: ${FAIL_INSTALL#*=}"
            exit 100
        fi
    done
    printf '%s\n' "${names[@]}" >>"$STATE" ;;
esac
'''
DPKG_QUERY = r'''#!/usr/bin/env bash
grep -qxF "${!#}" "$STATE" && printf 'install ok installed' || exit 1
'''
DPKG = r'''#!/usr/bin/env bash
case $1 in
--print-foreign-architectures) grep -qxF '(i386)' "$STATE" && echo i386 ;;
--add-architecture) echo '(i386)' >>"$STATE" ;;
esac
exit 0
'''

PACKAGES64 = ["cmake", "wixl", "wine64", "ccache", "chromium-driver"]  # a sample of them
UPDATE_ERROR = ("Failed to fetch http://deb.example/dists/bookworm-security/main/binary-i386/"
                "Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?")
HELD = "Unable to correct problems, you have held broken packages."

# name, installed beforehand (None: nothing), environment, exit status,
# lines printed once, texts never printed, apt-get calls (prefixes, in order),
# the reason kept for the tests (None: no file).
CASES = [
    ("an update that fails one index is a warning", None, {"FAIL_UPDATE": UPDATE_ERROR}, 0,
     ["setup: warning: apt-get update failed for some package indexes; going on with what can "
      "be had: " + UPDATE_ERROR],
     ["cannot be installed", "stopping"],
     ["apt-get update", "apt-get install -y -qq --no-remove cmake", "apt-get install -y -qq "
      "--no-remove wine32:i386"], None),
    ("a 32-bit Wine that cannot be installed is skipped with apt's reason", None,
     {"FAIL_INSTALL": "wine32:i386=" + HELD}, 0,
     ["setup: wine32:i386 cannot be installed: " + HELD + "; the i686 DLL is still built and "
      "checked, and the tests run it under their own emulated 32-bit Wine where that starts, "
      "else skip its runs"],
     ["warning", "stopping"],
     ["apt-get update", "apt-get install -y -qq --no-remove cmake",
      "apt-get install -y -qq --no-remove wine32:i386"], "wine32:i386 cannot be installed: " + HELD),
    ("a 64-bit package that cannot be installed stops the set-up, named", None,
     {"FAIL_INSTALL": "wixl=Unable to locate package wixl"}, 1,
     ["setup: cannot install wixl: Unable to locate package wixl",
      "setup: nothing can be built without the 64-bit packages; stopping"],
     ["wine32"],
     ["apt-get update", "apt-get install -y -qq --no-remove cmake"], None),
    ("a machine that has everything asks apt for nothing", "all", {}, 0, [],
     ["setup:"], [], None),
]


def run_case(report, name, before, env_extra, status, printed, absent, calls, reason):
    with tempfile.TemporaryDirectory() as tmp:
        bin_dir = os.path.join(tmp, "bin")
        os.mkdir(bin_dir)
        for tool, text in (("apt-get", APT_GET), ("dpkg-query", DPKG_QUERY), ("dpkg", DPKG)):
            path = os.path.join(bin_dir, tool)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        state = os.path.join(tmp, "state")
        with open(state, "w") as f:
            if before == "all":
                f.write("\n".join(read_setup_packages() + ["wine32:i386", "(i386)"]) + "\n")
        build = os.path.join(tmp, "build")
        reason_file = os.path.join(build, "wine32-unavailable.txt")
        os.makedirs(build)
        with open(reason_file, "w") as f:
            f.write("left by an earlier run\n")
        env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"], STATE=state,
                   CALLS=os.path.join(tmp, "calls"), OSTREL_BUILD_DIR=build, **env_extra)
        result = subprocess.run([os.path.join(ROOT, "scripts", "setup"), "--packages-only"],
                                env=env, capture_output=True, text=True, timeout=60)
        out = result.stdout + result.stderr
        lines = out.splitlines()
        report.check(result.returncode == status, f"{name}: exit status {status}",
                     f"exit {result.returncode}\n{out}")
        for line in printed:
            report.check(lines.count(line) == 1, f"{name}: prints once: {line}", out)
        for text in absent:
            report.check(text not in out, f"{name}: does not print {text!r}", out)
        made = open(env["CALLS"]).read().splitlines() if os.path.exists(env["CALLS"]) else []
        order_ok = len(made) == len(calls) and all(
            call.startswith(prefix) for call, prefix in zip(made, calls))
        report.check(order_ok, f"{name}: apt-get calls {calls}", f"made {made}")
        report.check(not any("--allow-downgrades" in c or "hold" in c for c in made),
                     f"{name}: nothing downgraded or held", f"{made}")
        kept = open(reason_file).read().strip() if os.path.exists(reason_file) else None
        if status == 0:
            report.check(kept == reason, f"{name}: reason kept for the tests: {reason}",
                         f"kept {kept!r}")


def read_setup_packages():
    """The 64-bit package list, read from the script itself."""
    text = open(os.path.join(ROOT, "scripts", "setup")).read()
    block = text.split("packages64=(", 1)[1].split(")", 1)[0]
    return block.split()


def main():
    report = Report()
    listed = read_setup_packages()
    report.check(all(p in listed for p in PACKAGES64) and "wine32:i386" not in listed,
                 "the 64-bit list holds the build's packages and not the 32-bit Wine", f"{listed}")
    for case in CASES:
        run_case(report, *case)
    return report.summary()


if __name__ == "__main__":
    sys.exit(main())
