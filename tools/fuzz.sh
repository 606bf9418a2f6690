#!/usr/bin/env bash
# Fuzzes the module against a sanitizer build (tools/sanitizer-env.sh) for a bounded
# time: FUZZ_SECONDS (default 120). The committed seeds (fuzz/corpus) and crash
# reproducers (fuzz/regressions) are replayed first; new inputs collect in
# build/fuzz/corpus, findings in build/fuzz/artifacts. Exits non-zero on a finding.
# Extra arguments go to libFuzzer (for example -max_len=512). The RSS limit is
# raised: the sanitizer's quarantine alone holds about a gigabyte after a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/sanitizer-env.sh
site="${FUZZ_SITE:-build/fuzz-site}"
seconds="${FUZZ_SECONDS:-120}"
python3 -c "import atheris" 2>/dev/null || python3 -m pip install -q atheris
build_sanitized "$site"
mkdir -p build/fuzz/corpus build/fuzz/artifacts
run_sanitized "$site" python3 fuzz/fuzz_c_sdk.py -max_total_time="$seconds" -timeout=30 \
    -rss_limit_mb=4096 -artifact_prefix=build/fuzz/artifacts/ -print_final_stats=1 "$@" \
    build/fuzz/corpus fuzz/corpus fuzz/regressions
