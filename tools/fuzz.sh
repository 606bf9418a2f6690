#!/usr/bin/env bash
# Fuzzes the module with coverage feedback for a bounded time: FUZZ_SECONDS (default 120).
#
# The module and the stand-in library are built with Debian's clang 14 (installed if
# missing) with libFuzzer's coverage instrumentation (-fsanitize=fuzzer-no-link),
# AddressSanitizer and UndefinedBehaviorSanitizer into build/fuzz/<version>/site. The
# harness fuzz/fuzz_main.cpp embeds the interpreter and runs the Python target
# fuzz/fuzz_c_sdk.py under libFuzzer, which sees the branches of the module and the
# stand-in that each input reaches and keeps the inputs that reach new ones.
#
# Each committed reproducer (fuzz/regressions) is replayed first, in a process of its own;
# if any fails, the run stops there. Then the seeds (fuzz/corpus), the reproducers and
# the inputs kept by earlier runs (build/fuzz/corpus, where new ones collect) start the
# fuzzing. Findings go to build/fuzz/artifacts; the exit status is non-zero on a finding.
# Extra arguments go to libFuzzer (for example -max_len=512). The whole libFuzzer log is
# kept in build/fuzz/fuzz.log; the terminal gets it without the lines per new input.
# tools/fuzz.sh --replay FILE... runs only those inputs, through the same build.
#
# FUZZ_PYTHON: the interpreter, as a pyenv version ("3.13": the newest 3.13.x pyenv has)
# or a path; it needs a shared libpython. Default 3.12: the first with dict watchers,
# which the namespace_watcher scenario needs. FUZZ_SCENARIOS=a,b narrows the run to
# some scenarios (see fuzz/fuzz_c_sdk.py).
set -euo pipefail
cd "$(dirname "$0")/.."
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
seconds="${FUZZ_SECONDS:-120}"
wanted="${FUZZ_PYTHON:-3.12}"

# ---- clang 14, its sanitizer and libFuzzer runtimes, and the symbolizer
if ! command -v clang++-14 >/dev/null || ! command -v llvm-symbolizer-14 >/dev/null ||
    [ ! -f "$(clang-14 -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null)" ]; then
    echo "fuzz: installing clang 14 and its runtimes"
    export DEBIAN_FRONTEND=noninteractive
    if ! { apt-get update -qq && apt-get install -y -qq clang-14 libclang-rt-14-dev llvm-14; } >/dev/null; then
        echo "fuzz: clang-14, libclang-rt-14-dev and llvm-14 could not be installed" >&2
        exit 2
    fi
fi
asan_runtime="$(clang-14 -print-file-name=libclang_rt.asan-x86_64.so)"

# ---- the interpreter
if [[ "$wanted" == */* ]]; then
    python="$wanted"
else
    pyenv_root="${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}"
    version=$(ls "$pyenv_root/versions" 2>/dev/null | grep -E "^${wanted//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)
    if [ -z "$version" ]; then
        echo "fuzz: no CPython $wanted under $pyenv_root/versions (set FUZZ_PYTHON)" >&2
        exit 2
    fi
    python="$pyenv_root/versions/$version/bin/python3"
fi
read -r minor shared include libdir ldversion < <("$python" -c 'import sys, sysconfig as s
print("%d.%d" % sys.version_info[:2], s.get_config_var("Py_ENABLE_SHARED") or 0, s.get_paths()["include"],
      s.get_config_var("LIBDIR"), s.get_config_var("LDVERSION"))')
if [ "$shared" != 1 ]; then
    echo "fuzz: $python has no shared libpython to embed" >&2
    exit 2
fi
echo "fuzz: CPython $("$python" -c 'import platform; print(platform.python_version())') ($python)"

# ---- the instrumented build
work="build/fuzz/$minor"
site="$work/site"
venv="$work/venv"
started=$SECONDS
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check scikit-build-core cmake ninja
instrument="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -gline-tables-only"
rm -rf "$site"
# The sanitizer runtime is one shared library for the whole process (the harness and
# both shared objects), so that the stand-in links with -Wl,--no-undefined.
CC=clang-14 CXX=clang++-14 CFLAGS="$instrument" CXXFLAGS="$instrument" \
    LDFLAGS="-fsanitize=address,undefined -shared-libasan" C_SDK_WERROR=ON \
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    --config-settings=build-dir="build/fuzz-$minor" --config-settings=install.strip=false \
    --target "$site" --upgrade . ./standin
harness="$work/fuzz_main"
clang++-14 -std=c++20 -O1 -gline-tables-only -Wall -Wextra -Werror \
    -fsanitize=fuzzer,address,undefined -shared-libasan -rdynamic -I"$include" \
    fuzz/fuzz_main.cpp -L"$libdir" -l"python$ldversion" -Wl,-rpath,"$libdir" -o "$harness"
echo "fuzz: built in $((SECONDS - started)) s"

# run_fuzzer ARGS...: the harness with the sanitizer runtime first in the process (the
# linker puts the C++ library before it) and the instrumented build on the import path.
# Leak checking is off: the interpreter keeps memory alive until exit.
run_fuzzer() {
    LD_PRELOAD="$asan_runtime" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1 \
    ASAN_SYMBOLIZER_PATH="$(command -v llvm-symbolizer-14)" \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    PYTHONPATH="$site:fuzz" \
        "$harness" -detect_leaks=0 "$@"
}

mkdir -p build/fuzz/corpus build/fuzz/artifacts
# The interpreter's limit on nested C calls (3.13: 10000) is set for its own frames, and
# sanitizer-instrumented frames are several times larger: a record storing itself then
# runs out of the default 8 MiB stack before that limit stops it.
ulimit -s 65536 2>/dev/null || true

# tools/fuzz.sh --replay FILE...: only run those inputs (FUZZ_TRACE=1 shows their steps).
if [ "${1:-}" = --replay ]; then
    shift
    run_fuzzer "$@"
    exit
fi

# ---- the committed reproducers, each on its own
failed=()
for input in fuzz/regressions/*; do
    # With every scenario, whatever FUZZ_SCENARIOS says: a reproducer's first byte picks one.
    if FUZZ_SCENARIOS='' run_fuzzer -artifact_prefix=build/fuzz/artifacts/ "$input" >"$work/replay.log" 2>&1; then
        echo "fuzz: replayed $input: no finding"
    else
        cat "$work/replay.log"
        echo "fuzz: replayed $input: FINDING"
        failed+=("$input")
    fi
done
if [ "${#failed[@]}" -gt 0 ]; then
    echo "fuzz: ${#failed[@]} committed reproducer(s) fail: ${failed[*]}" >&2
    exit 1
fi

# ---- fuzzing
set +e
run_fuzzer -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
    -artifact_prefix=build/fuzz/artifacts/ -print_final_stats=1 "$@" \
    build/fuzz/corpus fuzz/corpus fuzz/regressions 2>&1 |
    tee build/fuzz/fuzz.log | grep --line-buffered -v -E '^(#[0-9]+[[:space:]]+(NEW|REDUCE) |[[:space:]]NEW_FUNC)'
status="${PIPESTATUS[0]}"
set -e
# Coverage when the seeds had run, and at the end (the libFuzzer status lines).
awk '/INITED/ { for (i = 1; i < NF; i++) if ($i == "cov:") start = $(i + 1) }
     /^#[0-9]+/ { for (i = 1; i < NF; i++) if ($i == "cov:") end = $(i + 1) }
     /stat::new_units_added/ { added = $2 }
     END { if (start != "") printf "fuzz: coverage %s after the seeds, %s at the end; %s new inputs kept\n", start, end, added }' \
    build/fuzz/fuzz.log
exit "$status"
