#!/usr/bin/env bash
# Builds the module, the stand-in distribution (qxsdk-standin) and the tap (qxsdk-tap)
# with AddressSanitizer and UndefinedBehaviorSanitizer into a private folder and runs the
# whole test suite against that build.
#
# Needs GCC's sanitizer runtimes (libasan, libubsan: they come with g++), and in the
# environment of python3 scikit-build-core, cmake, ninja and pytest, which it installs
# there when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/sanitizer-env.sh
need_python_packages pytest
site="${SANITIZE_SITE:-build/sanitize-site}"
build_sanitized "$site"
run_sanitized "$site" python3 -m pytest tests -q -p no:cacheprovider "$@"
