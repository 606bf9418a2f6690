# Sourced by tools/sanitize.sh: how to build the module, the stand-in library and the tap
# with AddressSanitizer and UndefinedBehaviorSanitizer (GCC's) into a private folder, and
# how to run Python against that build. tools/fuzz.sh makes a clang build of its own.

# need_python_packages NAME...: installs into python3's environment those of the given
# PyPI distributions (import name: the distribution's with "-" as "_") it lacks, saying so.
need_python_packages() {
    local missing=()
    for package in "$@"; do
        python3 -c "import ${package//-/_}" 2>/dev/null || missing+=("$package")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "installing ${missing[*]} into $(python3 -c 'import sys; print(sys.prefix)')"
        python3 -m pip install -q "${missing[@]}"
    fi
}

# build_sanitized SITE: installs the instrumented module, stand-in and tap distributions
# into SITE (build-dir is relative to each project, so the builds stay apart). The build
# runs in python3's environment, without build isolation, so it needs the build backend,
# CMake and Ninja there (installed when missing).
build_sanitized() {
    need_python_packages scikit-build-core cmake ninja
    rm -rf "$1"
    C_SDK_SANITIZE=ON C_SDK_WERROR=ON python3 -m pip install --no-build-isolation \
        --no-deps \
        --config-settings=build-dir=build/sanitize --target "$1" --upgrade . ./standin ./tap -q
}

# run_sanitized SITE COMMAND...: runs COMMAND with the sanitizer runtimes loaded and
# the build in SITE first on the import path.
run_sanitized() {
    local site="$1"
    shift
    local runtime
    runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
    # The interpreter itself is not instrumented and keeps memory alive at exit, so
    # leak checking is off; every other error aborts the run.
    LD_PRELOAD="$runtime" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    PYTHONPATH="$site" PYTHONMALLOC=malloc \
        "$@"
}
