"""Runs bench/bench_floor.py on every CPython 3.9-3.13 found, one after another.

    python3 bench/run_all.py [--python PATH ...] [--install] [-- bench options]

Without --python, the interpreters are those of pyenv (`$PYENV_ROOT/versions`, by
default ~/.pyenv/versions), newest patch release of each minor version. Each is run
through a venv under build/bench-venvs/<X.Y> (made with --system-site-packages);
--install (re)installs the module from this source tree into those venvs first.
Prints each interpreter's table, then all summary lines together.
"""

import argparse
import glob
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
MINORS = ("3.9", "3.10", "3.11", "3.12", "3.13")


def pyenv_interpreters():
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    found = {}
    for path in glob.glob(os.path.join(root, "versions", "3.*", "bin", "python")):
        m = re.match(r"(3\.\d+)\.(\d+)$", os.path.basename(os.path.dirname(os.path.dirname(path))))
        if m and m.group(1) in MINORS:
            key, patch = m.group(1), int(m.group(2))
            if key not in found or patch > found[key][0]:
                found[key] = (patch, path)
    return [found[k][1] for k in MINORS if k in found]


def venv_python(interpreter, install):
    minor = subprocess.check_output(
        [interpreter, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"], text=True).strip()
    venv = os.path.join(ROOT, "build", "bench-venvs", minor)
    python = os.path.join(venv, "bin", "python")
    if not os.path.exists(python):
        subprocess.check_call([interpreter, "-m", "venv", "--system-site-packages", venv])
        install = True
    if install:
        pip = [python, "-m", "pip", "install", "-q"]
        subprocess.check_call(pip + ["scikit-build-core", "cmake", "ninja", "cffi"])
        subprocess.check_call(pip + ["--no-build-isolation", ROOT])
    return python


def main():
    argv = sys.argv[1:]
    bench_args = []
    if "--" in argv:
        cut = argv.index("--")
        argv, bench_args = argv[:cut], argv[cut + 1:]
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", action="append", help="an interpreter that can import c_sdk (repeatable)")
    parser.add_argument("--install", action="store_true", help="install the module into the bench venvs first")
    args = parser.parse_args(argv)

    pythons = args.python or [venv_python(p, args.install) for p in pyenv_interpreters()]
    summaries = []
    for python in pythons:
        out = subprocess.run([python, os.path.join(HERE, "bench_floor.py")] + bench_args, text=True,
                             stdout=subprocess.PIPE)
        print(out.stdout, end="", flush=True)
        summaries += [line for line in out.stdout.splitlines() if line.startswith("SUMMARY")]
        if out.returncode:
            summaries.append("FAILED %s (exit %d)" % (python, out.returncode))
    print()
    print("\n".join(summaries))


if __name__ == "__main__":
    main()
