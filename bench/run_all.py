"""Runs bench/bench_floor.py on every CPython 3.9-3.15 found, one after another.

    python3 bench/run_all.py [--python PATH ...] [--only X.Y ...] [--install] [-- bench options]

Without --python, the interpreters are those of pyenv (`$PYENV_ROOT/versions`, by
default ~/.pyenv/versions), newest patch release of each minor version 3.9-3.13, each
run through a venv under build/bench-venvs/<X.Y> (made with --system-site-packages),
then Debian's 3.14 and 3.15 inside the Debian unstable root of tools/sid_root.sh (when
it has been made), each through a venv build/sid/bench-<X.Y> used only inside the root.
--only keeps the named minor versions. --install (re)installs the module from this
source tree into those venvs first (a venv made here gets it anyway). Prints each
interpreter's table, then all summary lines together, with a line for each
interpreter that could not be run.
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
SID_MINORS = ("3.14", "3.15")
SID_ROOT_TOOL = os.path.join(ROOT, "tools", "sid_root.sh")


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


def sid_root_made():
    root = os.environ.get("C_SDK_SID_ROOT", "/var/tmp/c_sdk-sid-root").rstrip("/")
    return os.path.exists(os.path.join(root, ".c_sdk-sid-root"))  # written when it is complete


def sid_python(minor, install):
    """The command that runs bench_floor.py with a bench venv's python of the root's
    CPython `minor` inside the root (paths relative to this source tree, which must be
    the working folder)."""
    run = [SID_ROOT_TOOL, "run"]
    venv = "build/sid/bench-%s" % minor
    python = venv + "/bin/python"
    if not os.path.exists(os.path.join(ROOT, python)):
        subprocess.check_call(run + ["python" + minor, "-m", "venv", venv], cwd=ROOT)
        install = True
    if install:
        pip = run + [python, "-m", "pip", "install", "-q"]
        subprocess.check_call(pip + ["scikit-build-core"], cwd=ROOT)  # CMake and Ninja are the root's
        if subprocess.call(pip + ["cffi"], cwd=ROOT):
            print("cffi could not be installed for CPython %s: its row is left out" % minor, flush=True)
        subprocess.check_call(pip + ["--no-build-isolation", "."], cwd=ROOT)
    return run + [python, os.path.join("bench", "bench_floor.py")]


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
    parser.add_argument("--only", action="append", metavar="X.Y", help="only this minor version (repeatable)")
    args = parser.parse_args(argv)

    # (label, command running bench_floor.py, or None and why not) for each interpreter.
    bench = os.path.join(HERE, "bench_floor.py")
    runs = []
    if args.python:
        runs = [(python, [python, bench]) for python in args.python]
    else:
        wanted = args.only or MINORS + SID_MINORS
        found = {}
        for interpreter in pyenv_interpreters():
            minor = re.search(r"/(3\.\d+)\.\d+/bin/python$", interpreter).group(1)
            found[minor] = interpreter
        for minor in wanted:
            if minor in found:
                runs.append((found[minor], [venv_python(found[minor], args.install), bench]))
            elif minor in SID_MINORS and sid_root_made():
                runs.append(("CPython %s of the Debian unstable root" % minor, sid_python(minor, args.install)))
            elif minor in SID_MINORS:
                runs.append(("CPython " + minor, None, "no Debian unstable root (make it: tools/sid_root.sh create)"))
            else:
                runs.append(("CPython " + minor, None, "not found under pyenv"))
    summaries = []
    for label, command, *why_not in runs:
        if command is None:
            summaries.append("NOT RUN %s: %s" % (label, why_not[0]))
            continue
        # The root's commands name paths in this source tree relative to it.
        cwd = ROOT if command[0] == SID_ROOT_TOOL else None
        out = subprocess.run(command + bench_args, text=True, stdout=subprocess.PIPE, cwd=cwd)
        print(out.stdout, end="", flush=True)
        summaries += [line for line in out.stdout.splitlines() if line.startswith("SUMMARY")]
        if out.returncode:
            summaries.append("FAILED %s (exit %d)" % (label, out.returncode))
    print()
    print("\n".join(summaries))


if __name__ == "__main__":
    main()
