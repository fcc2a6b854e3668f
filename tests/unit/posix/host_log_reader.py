#!/usr/bin/env python3
"""Reads a log written by `ostrel-ca-run --log` with the code that reads the real
msiexec verbose logs of the end-to-end tests (tests/e2e/wine_install.py: decode_log and
Log), and prints what that code finds as one JSON object, for the host's tests:

    host_log_reader.py E2E_DIR LOG_FILE

{"results": {ACTION: [return values]}, "properties": {NAME: VALUE},
 "failure_lines": [...], "library_lines": [...], "failed_actions": [...],
 "local_start_seconds": N or null}
Actions are those with an "Action start" line, in order.
"""
import json
import sys


def main():
    e2e_dir, log_path = sys.argv[1], sys.argv[2]
    sys.path.insert(0, e2e_dir)
    # No __pycache__ left in the harness's folder.
    sys.dont_write_bytecode = True
    import wine_install

    with open(log_path, "rb") as f:
        log = wine_install.Log(wine_install.decode_log(f.read()))
    actions = []
    for line in log.lines:
        start = wine_install.ACTION_START.match(line)
        if start and start.group(1) not in actions:
            actions.append(start.group(1))
    json.dump(
        {
            "results": {action: log.results(action) for action in actions},
            "properties": log.properties,
            "failure_lines": log.failure_lines(),
            "library_lines": log.library_lines(),
            "failed_actions": log.failed_actions(),
            "local_start_seconds": log.local_start_seconds(),
        },
        sys.stdout,
    )


if __name__ == "__main__":
    main()
