#!/usr/bin/env python3
"""Writes the files the stand-in's quick start (standin/README.md) tells a reader to create.

    python3 tools/quick_start.py FOLDER

Each fenced block of the section "Quick start for a host-package author" goes under the
last file name quoted before it. tests/test_standin.py runs them against the installed
packages, and tools/check_wheel.sh against the stand-in's wheel on other interpreters.
"""

import os
import re
import sys
from typing import Dict

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "standin", "README.md")


def files(readme: str = README) -> Dict[str, str]:
    """File name -> text, as the section shows them."""
    with open(readme) as f:
        text = f.read()
    section = text[text.index("## Quick start") : text.index("## Activation")]
    found, start = {}, 0
    for block in re.finditer(r"```\w*\n(.*?)```", section, re.S):
        names = re.findall(r"`([\w/]+\.(?:py|ini))`", section[start : block.start()])
        found[names[-1]] = block.group(1)
        start = block.end()
    return found


def write(folder: str) -> Dict[str, str]:
    written = files()
    for name, text in written.items():
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
    return written


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: quick_start.py FOLDER")
    for name in write(sys.argv[1]):
        print(name)
