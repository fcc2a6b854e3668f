"""The checks of a test script: one line per check (PASS, FAIL or SKIP, and "  .."
notes), then the summary that scripts/test adds up: "(N skipped)" when some were,
and "N passed, N failed" last."""


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

    def summary(self):
        """Prints the summary lines; the exit status of the script."""
        if self.skipped:
            print(f"({self.skipped} skipped)")
        print(f"{self.passed} passed, {self.failed} failed")
        return 0 if self.failed == 0 else 1
