#!/usr/bin/env bash
# Runs the whole test suite under Debian's debug build of the interpreter, where
# sys.gettotalrefcount makes the suite's leak checks count every reference the
# module takes or drops, not just allocated blocks.
set -euo pipefail
cd "$(dirname "$0")/.."
python=/usr/bin/python3.11d
if [ ! -x "$python" ]; then
    export DEBIAN_FRONTEND=noninteractive
    if ! { apt-get update -qq && apt-get install -y -qq python3.11-dbg python3.11-dev python3.11-venv; } >/dev/null; then
        echo "refleak: the debug interpreter could not be installed; skipping this check" >&2
        exit 0
    fi
fi
venv=build/refleak-venv
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q pytest scikit-build-core cmake ninja
# Debian's debug headers are links into the release include folder; passed with
# -isystem, GCC then finds the release pyconfig.h, so Py_DEBUG is set explicitly to
# keep the module's reference counting in step with the interpreter's.
CMAKE_ARGS="-DCMAKE_CXX_FLAGS=-DPy_DEBUG" "$venv/bin/python" -m pip install -q --no-build-isolation \
    --config-settings=build-dir=build/refleak --force-reinstall --no-deps . ./standin ./tap
"$venv/bin/python" -c 'import sys; assert hasattr(sys, "gettotalrefcount"), "not a debug interpreter"'
"$venv/bin/python" -m pytest tests -q -p no:cacheprovider "$@"
