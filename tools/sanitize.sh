#!/usr/bin/env bash
# Builds the module, the stand-in distribution (qxsdk-standin) and the tap (qxsdk-tap)
# with AddressSanitizer and UndefinedBehaviorSanitizer into a private folder and runs the
# whole test suite against that build.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/sanitizer-env.sh
site="${SANITIZE_SITE:-build/sanitize-site}"
build_sanitized "$site"
run_sanitized "$site" python3 -m pytest tests -q -p no:cacheprovider "$@"
