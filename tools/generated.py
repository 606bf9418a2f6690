"""The command line the generators share: write the generated file, or with --check
compare it with the committed one, show the difference and fail while they differ."""

from __future__ import annotations

import argparse
import difflib
import pathlib
import sys
from typing import Callable, Tuple, Type


def main(tool: str, description: str, path: pathlib.Path, generate: Callable[[], str],
         errors: Tuple[Type[Exception], ...] = ()) -> int:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--check", action="store_true", help="compare with the committed file, write nothing")
    args = parser.parse_args()
    try:
        text = generate()
    except errors as error:
        print("%s: %s" % (tool, error), file=sys.stderr)
        return 2
    if args.check:
        current = path.read_text() if path.exists() else ""
        if current != text:
            sys.stdout.writelines(
                difflib.unified_diff(current.splitlines(True), text.splitlines(True), str(path), "generated"))
            print("%s: %s is stale; run python3 tools/%s.py" % (tool, path, tool), file=sys.stderr)
            return 1
        return 0
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return 0
