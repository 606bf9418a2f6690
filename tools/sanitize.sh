#!/usr/bin/env bash
# Builds the module and the stand-in distribution (qxsdk-standin) with
# AddressSanitizer and UndefinedBehaviorSanitizer into a private folder and runs the
# whole test suite against that build.
set -euo pipefail
cd "$(dirname "$0")/.."
site="${SANITIZE_SITE:-build/sanitize-site}"
rm -rf "$site"
# build-dir is relative to each project, so the two builds stay apart.
C_SDK_SANITIZE=ON C_SDK_WERROR=ON python3 -m pip install --no-build-isolation --no-deps \
    --config-settings=build-dir=build/sanitize --target "$site" --upgrade . ./standin -q
runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
# The interpreter itself is not instrumented and keeps memory alive at exit, so
# leak checking is off; every other error aborts the run.
LD_PRELOAD="$runtime" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONPATH="$site" PYTHONMALLOC=malloc \
    python3 -m pytest tests -q -p no:cacheprovider "$@"
