#!/usr/bin/env bash
# Type checks: the committed stubs are what the binding tables generate, stubtest finds
# them consistent with the installed module, mypy --strict passes the example strategy and
# the stand-in's control package, and every planted error in tests/typecheck/planted_errors.py
# is reported at its line.
# Needs the module installed in the environment of python3; installs mypy there.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install -q mypy

python3 tools/gen_stubs.py --check

# stubtest imports the module, which needs the host package and a library. The
# stand-in, when installed as its own distribution, is activated first.
PYTHONPATH="$PWD/standin${PYTHONPATH:+:$PYTHONPATH}" python3 - <<'PY'
import sys

try:
    import qxsdk_standin
except ImportError:
    pass
else:
    qxsdk_standin.activate()
from mypy.stubtest import main

sys.argv = ["stubtest", "c_sdk", "--allowlist", "tools/stubtest-allowlist.txt"]
status = main()
print("stubtest: %s" % ("clean" if status == 0 else "FAILED"))
sys.exit(status)
PY

python3 -m mypy --strict --no-incremental examples/strategy.py
# The stand-in's control API is typed too (it ships py.typed); checked from its sources.
(cd standin/src && python3 -m mypy --strict --no-incremental -p qxsdk_standin)
python3 tools/check_planted_errors.py
