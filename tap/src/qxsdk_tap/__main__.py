"""python3 -m qxsdk_tap summary FILE [--json] [--success N]"""

from __future__ import annotations

import argparse
import json
import sys
from typing import List, Optional

from ._recording import Recording
from ._summary import render, summarise


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m qxsdk_tap", description="Read qxsdk tap recordings.")
    commands = parser.add_subparsers(dest="command", required=True)
    summary = commands.add_parser(
        "summary",
        help="per function: calls, failures, latency; per event text: count and rate",
    )
    summary.add_argument("file")
    summary.add_argument("--json", action="store_true", help="print the summary as JSON")
    summary.add_argument("--success", type=int, default=0, help="the status that means success (default 0)")
    args = parser.parse_args(argv)
    try:
        recording = Recording(args.file)
        result = summarise(recording, success=args.success)
    except (OSError, ValueError) as error:
        print("qxsdk_tap: %s" % error, file=sys.stderr)
        return 1
    print(json.dumps(result, indent=2) if args.json else render(result))
    return 0


if __name__ == "__main__":
    sys.exit(main())
