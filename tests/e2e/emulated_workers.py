"""The i686 suites where 32-bit Wine runs under qemu-i386 user-mode emulation
(scripts/setup_i386_emulation, turned on by scripts/test_windows with
OSTREL_I386_EMULATION=1 and OSTREL_WINE32 naming the emulated loader).

Emulated Wine cannot join a 64-bit prefix (its loader has no 64-bit twin), and it
is CPU bound, so the i686 DLL's suites run in WORKERS processes of run_e2e.py at
once, each in a 32-bit prefix of its own (WINEARCH=win32). The workers share the
suite list: each takes the next suite no worker has claimed (a file created with
O_EXCL), and the suites that serve on 127.0.0.1:443 hold a lock around their run,
so only one of them listens at a time. Each worker's lines are printed when it
ends, in order, and its counts added to the run's own.

Starting Wine's session (wineboot --init, services, device drivers, RPC) takes
some 15 s of emulated code, which a prefix's first program pays whenever the
session has ended. A worker's prefix therefore keeps one program open while the
suites run (SessionWine), and waiting for the prefix's programs means waiting for
every one of them but that program and the session's own services.
"""
import fcntl
import os
import re
import subprocess
import sys
import time

from wine_install import Wine

WORKERS = 2
# Suites whose local registration service listens on 127.0.0.1:443.
PORT_443_SUITES = ("run_send_service_tag", "run_sample_authoring")
SUMMARY = re.compile(r"^(\d+) passed, (\d+) failed$")
SKIPPED = re.compile(r"^\((\d+) skipped\)$")


# The programs of Wine's session that stay while any program runs in the prefix.
SESSION_PROGRAMS = {"services.exe", "winedevice.exe", "plugplay.exe", "svchost.exe",
                    "rpcss.exe", "explorer.exe", "wineserver", "wineserver64"}
WAIT_LIMIT = 120


def emulated_i686():
    return os.environ.get("OSTREL_I386_EMULATION") == "1"


def claim(claims, suite):
    """True for the one worker that takes `suite` first."""
    try:
        os.close(os.open(os.path.join(claims, suite.__name__), os.O_CREAT | os.O_EXCL))
        return True
    except FileExistsError:
        return False


def run_claimed(claims, suites, run):
    """Runs, through run(suite), every suite this worker claims; the port 443
    suites one at a time across the workers."""
    for suite in suites:
        if not claim(claims, suite):
            continue
        if suite.__name__ not in PORT_443_SUITES:
            run(suite)
            continue
        with open(os.path.join(claims, "port-443.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            run(suite)


def run_workers(report, script, dll, work, suite_names, require_all):
    """Starts the workers on `dll`, waits for them, prints their lines and adds
    their counts to `report`."""
    claims = os.path.join(work, "i686-claims")
    os.makedirs(claims, exist_ok=True)
    for name in os.listdir(claims):
        os.remove(os.path.join(claims, name))
    started = time.monotonic()
    workers = []
    for number in range(1, WORKERS + 1):
        command = [sys.executable, script, "--dll", dll,
                   "--work", os.path.join(work, f"i686-worker-{number}"),
                   "--win32-worker", claims]
        command += [arg for name in suite_names for arg in ("--suite", name)]
        if require_all:
            command.append("--require-all")
        output = open(os.path.join(work, f"i686-worker-{number}.txt"), "w+")
        workers.append((subprocess.Popen(command, stdout=output, stderr=subprocess.STDOUT,
                                         stdin=subprocess.DEVNULL), output))
    for number, (process, output) in enumerate(workers, 1):
        code = process.wait()
        output.seek(0)
        summary = None
        for line in output.read().splitlines():
            match = SUMMARY.match(line)
            skipped = SKIPPED.match(line)
            if match:
                summary = (int(match.group(1)), int(match.group(2)))
            elif skipped:
                report.skipped += int(skipped.group(1))
            else:
                print(line, flush=True)
        output.close()
        if summary is None:
            report.check(False, f"[i686] emulated worker {number} ends with its counts",
                         f"exit {code}")
            continue
        report.passed += summary[0]
        report.failed += summary[1]
    report.note(f"[i686] {WORKERS} emulated workers took {time.monotonic() - started:.1f} s")


class SessionWine(Wine):
    """A 32-bit prefix whose session stays up between the programs run in it."""

    def __init__(self, prefix, tz=None):
        super().__init__(prefix, tz=tz, win32=True)
        self.keepers = []
        self.session = set()

    def boot(self):
        booted = super().boot()
        if not booted[0]:
            return booted
        # cmd /k waits on its input, which stays open until stop(). A first
        # program then waits until the session is up, and the desktop program is
        # started here too: a session program that a test's program started would
        # hold that program's output pipes open.
        quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "env": self.env}
        self.keepers = [subprocess.Popen([self.wine32, "cmd.exe", "/k"], stdin=subprocess.PIPE,
                                         **quiet)]
        try:
            subprocess.run([self.wine32, "cmd.exe", "/c", "exit"], stdin=subprocess.DEVNULL,
                           timeout=WAIT_LIMIT, **quiet)
        except subprocess.TimeoutExpired:
            pass
        self.keepers.append(subprocess.Popen([self.wine32, "explorer.exe", "/desktop"],
                                             stdin=subprocess.DEVNULL, **quiet))
        limit = time.monotonic() + WAIT_LIMIT
        while not self.desktop_runs() and time.monotonic() < limit:
            time.sleep(0.1)
        self.session = set(self.programs())
        return booted

    def desktop_runs(self):
        return any("explorer.exe" in arg.lower() for command in self.programs().values()
                   for arg in command[:3])

    def programs(self):
        """{pid: command line} of the host's processes that run in the prefix."""
        marker = b"WINEPREFIX=" + os.fsencode(self.prefix)
        found = {}
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/environ", "rb") as f:
                    if marker not in f.read().split(b"\0"):
                        continue
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    found[int(entry)] = f.read().decode(errors="replace").split("\0")
            except OSError:
                continue  # ended meanwhile
        return found

    def waited_for(self, programs):
        """The pids of `programs` that belong neither to the session nor to the
        program that keeps it."""
        waited = set()
        for pid, command in programs.items():
            names = {arg.replace("\\", "/").rsplit("/", 1)[-1].lower() for arg in command[:3]}
            if pid not in self.session and not names & SESSION_PROGRAMS:
                waited.add(pid)
        return waited

    def wait(self):
        if not self.keepers or self.keepers[0].poll() is not None:
            return super().wait()
        limit = time.monotonic() + WAIT_LIMIT
        while self.waited_for(self.programs()) and time.monotonic() < limit:
            time.sleep(0.1)

    def stop(self):
        if self.keepers:
            self.keepers[0].stdin.close()
        super().stop()
        for keeper in self.keepers:
            try:
                keeper.wait(timeout=30)
            except subprocess.TimeoutExpired:
                keeper.kill()
                keeper.wait()
        self.keepers = []
