#!/usr/bin/env bash
# Runs the test suite on every supported CPython (3.9 to 3.13) that pyenv provides on
# this machine: for each, a venv under build/interpreters/, the module installed into
# it, then pytest. Absent versions are skipped with a message; the build trees
# (build/<wheel tag>) and venvs are kept, so later runs rebuild only what changed.
# Exit status 1 when the suite fails on any interpreter, 2 when none was found.
set -uo pipefail
cd "$(dirname "$0")/.."
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

# What goes into each venv besides the build tools.
packages=(. ./standin ./tap pytest)

pyenv_root="${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}"
failed=() passed=() found=0
for minor in 3.9 3.10 3.11 3.12 3.13; do
    # The newest X.Y.Z pyenv has of this minor version (no free-threaded or dev builds).
    version=$(ls "$pyenv_root/versions" 2>/dev/null | grep -E "^${minor//./\\.}\.[0-9]+$" | sort -V | tail -n 1)
    if [ -z "$version" ] || [ ! -x "$pyenv_root/versions/$version/bin/python" ]; then
        echo "== CPython $minor: not installed under $pyenv_root/versions, skipped"
        continue
    fi
    found=$((found + 1))
    venv="build/interpreters/$minor"
    echo "== CPython $version ($venv)"
    if [ ! -x "$venv/bin/python" ]; then
        "$pyenv_root/versions/$version/bin/python" -m venv "$venv" || { failed+=("$minor (venv)"); continue; }
    fi
    if ! "$venv/bin/python" -m pip install -q --disable-pip-version-check scikit-build-core cmake ninja ||
        ! "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation "${packages[@]}"; then
        failed+=("$minor (install)")
        continue
    fi
    if "$venv/bin/python" -m pytest tests -q -p no:cacheprovider; then
        passed+=("$version")
    else
        failed+=("$minor")
    fi
done

echo "== passed on: ${passed[*]:-none}"
if [ "$found" -eq 0 ]; then
    echo "no supported CPython found under $pyenv_root/versions"
    exit 2
fi
if [ "${#failed[@]}" -gt 0 ]; then
    echo "== FAILED on: ${failed[*]}"
    exit 1
fi
