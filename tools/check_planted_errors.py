#!/usr/bin/env python3
"""Runs mypy --strict on tests/typecheck/planted_errors.py and checks that every line
marked `# E: <code>` is reported with that code and that no other line is reported.
Exit status 0 when both hold. Needs mypy and the installed module with its stubs."""

import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
PLANTED = ROOT / "tests" / "typecheck" / "planted_errors.py"


def main() -> int:
    expected: dict[int, str] = {}
    for number, line in enumerate(PLANTED.read_text().splitlines(), 1):
        m = re.search(r"#\s*E:\s*([\w-]+)", line)
        if m:
            expected[number] = m.group(1)
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--show-error-codes",
         "--allow-untyped-calls", "--disable-error-code=unused-ignore", str(PLANTED)],
        capture_output=True, text=True, cwd=ROOT,
    )
    reported: dict[int, set[str]] = {}
    for line in run.stdout.splitlines():
        m = re.match(r".*planted_errors\.py:(\d+): error: .*\[([\w-]+)\]$", line)
        if m:
            reported.setdefault(int(m.group(1)), set()).add(m.group(2))
    if run.returncode not in (0, 1) or not run.stdout:
        print(run.stdout + run.stderr, file=sys.stderr)
        return 2
    missed = {n: code for n, code in expected.items() if code not in reported.get(n, set())}
    extra = {n: codes for n, codes in reported.items() if n not in expected}
    for n, code in sorted(missed.items()):
        print("planted error not reported: line %d, expected [%s]" % (n, code))
    for n, codes in sorted(extra.items()):
        print("unexpected error: line %d %s" % (n, sorted(codes)))
    if missed or extra:
        print(run.stdout, file=sys.stderr)
        return 1
    print("planted errors: all %d reported at their lines, nothing else" % len(expected))
    return 0


if __name__ == "__main__":
    sys.exit(main())
