#!/usr/bin/env python3
"""Keeps docs/reference.md and the library's log lines in step.

The reference lists, in tables whose first column is headed "Line", every line the
actions can write to the installer log, as its format string (`failed to get %S`).
This script reads those tables and the format strings of runtime/ and actions/
(the formats of LogFailure calls, and the one verbose line) and checks:

  1. every line of the tables is a format the code writes, character for character;
  2. every format the code writes is in the tables;
  3. no trace line (LogTrace, never written) is listed as a log line;
  4. every line of the library in the reference's example blocks
     ("CAName:  Error 0x...: text") is one of the listed formats with its blanks
     filled in, and names one of the five actions.

Prints one line per check, then "N passed, N failed"; exits non-zero on a failure.
"""
import glob
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
REFERENCE = os.path.join(ROOT, "docs", "reference.md")
SOURCES = sorted(glob.glob(os.path.join(ROOT, "runtime", "*.cpp")) +
                 glob.glob(os.path.join(ROOT, "actions", "*.cpp")))
ACTIONS = ("CASetRegDateTime", "CACreateURN", "CAQueryWMI", "CAUpdateOfflineReg",
           "CASendServiceTag")

# One or more adjacent C string literals (the compiler joins them).
LITERALS = r'((?:"(?:[^"\\]|\\.)*"\s*)+)'
FAILURE_CALL = re.compile(r"LogFailure\(\s*[^,;]+,\s*" + LITERALS)
TRACE_CALL = re.compile(r"LogLine\(\s*LogTrace\s*,\s*" + LITERALS)
LEVEL_CALL = re.compile(r"LogLine\(\s*(LogVerbose|LogStandard)\s*,\s*(\w+|" + LITERALS + ")")
NAMED_TEXT = re.compile(r"constexpr\s+char\s+(\w+)\[\]\s*=\s*" + LITERALS + ";")
# A written line in an example block: the action's name, two blanks, then the
# status of a failure line, or nothing (the verbose line).
EXAMPLE_LINE = re.compile(r"^(CA[A-Za-z]+):  (?:Error 0x[0-9a-f]{8}: )?(.*)$")
# The conversions of the log's formats and what each can print.
CONVERSION = re.compile(r"%(?:wS|S|s|d|u|x)")


def join_literals(text):
    parts = re.findall(r'"((?:[^"\\]|\\.)*)"', text)
    joined = "".join(parts)
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "t": "\t"}.get(m.group(1), m.group(1)), joined)


def code_formats():
    """(formats written to the log, trace formats) of runtime/ and actions/."""
    written, traces = set(), set()
    for path in SOURCES:
        with open(path, encoding="utf-8") as f:
            source = f.read()
        named = {m.group(1): join_literals(m.group(2)) for m in NAMED_TEXT.finditer(source)}
        for m in FAILURE_CALL.finditer(source):
            written.add(join_literals(m.group(1)))
        for m in LEVEL_CALL.finditer(source):
            argument = m.group(2)
            if argument.startswith('"'):
                written.add(join_literals(argument))
            elif argument in named:
                written.add(named[argument])
        for m in TRACE_CALL.finditer(source):
            traces.add(join_literals(m.group(1)))
    return written, traces


def reference_lines(text):
    """The first cells of the tables headed "Line", without their backquotes."""
    lines = []
    in_table = False
    for row in text.splitlines():
        if not row.startswith("|"):
            in_table = False
            continue
        cells = [cell.strip() for cell in row.strip().strip("|").split("|")]
        if not in_table:
            in_table = cells[0] == "Line"
            continue
        if set(cells[0]) <= set("-: "):
            continue  # the separator row
        m = re.fullmatch(r"`(.*)`", cells[0])
        lines.append(m.group(1) if m else cells[0])
    return lines


def example_lines(text):
    """The library's lines in the reference's fenced blocks."""
    found, in_block = [], False
    for line in text.splitlines():
        if line.lstrip().startswith("```"):
            in_block = not in_block
            continue
        m = EXAMPLE_LINE.match(line.strip()) if in_block else None
        if m:
            found.append(m)
    return found


def as_pattern(fmt):
    pattern, at = "", 0
    for m in CONVERSION.finditer(fmt):
        pattern += re.escape(fmt[at:m.start()])
        pattern += r"-?\d+" if m.group(0) in ("%d", "%u") else (
            "[0-9a-f]+" if m.group(0) == "%x" else ".*")
        at = m.end()
    return re.compile(pattern + re.escape(fmt[at:]) + r"\Z")


def main():
    results = []

    def check(ok, what, detail=""):
        results.append(ok)
        print(("PASS " if ok else "FAIL ") + what + ("" if ok or not detail else ": " + detail))

    with open(REFERENCE, encoding="utf-8") as f:
        text = f.read()
    written, traces = code_formats()
    listed = reference_lines(text)
    examples = example_lines(text)
    unknown = sorted(set(listed) - written)
    check(bool(listed) and not unknown,
          f"each of the {len(set(listed))} lines in the reference's tables is a format "
          "the library writes", "; ".join(unknown) or "no table headed 'Line' found")
    missing = sorted(written - set(listed))
    check(bool(written) and not missing,
          f"each of the {len(written)} formats the library writes is in the reference's tables",
          "; ".join(missing) or "no LogFailure format found in runtime/ or actions/")
    traced = sorted(set(listed) & (traces - written))
    check(not traced, "no trace line is listed as a log line", "; ".join(traced))
    patterns = [as_pattern(fmt) for fmt in set(listed)]
    wrong = [m.group(0) for m in examples
             if m.group(1) not in ACTIONS or not any(p.match(m.group(2)) for p in patterns)]
    check(bool(examples) and not wrong,
          f"each of the {len(examples)} library lines in the examples names an action and "
          "reads as a listed line", "; ".join(wrong) or "no example line found")

    failed = results.count(False)
    print(f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
