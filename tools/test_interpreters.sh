#!/usr/bin/env bash
# Builds the module and the stand-in and runs the whole test suite on every supported
# CPython: 3.9 to 3.13 from pyenv, 3.14 and 3.15 from the Debian unstable root of
# tools/sid_root.sh (made first when it is missing, which takes about a minute).
#
#   tools/test_interpreters.sh              all seven
#   tools/test_interpreters.sh 3.13 3.15    only those
#
# Each interpreter gets a venv of its own: build/interpreters/<X.Y> for pyenv's,
# build/sid/<X.Y> (usable only inside the root) for the root's. Venvs and build trees
# (build/<wheel tag>) are kept, so later runs rebuild only what changed. Each
# interpreter's output goes to the terminal and to build/interpreters/<X.Y>.log.
# The summary names, for each interpreter asked for, the exact version and what pytest
# reported, or why it did not run.
# Exit status: 0 when the suite passed on every one, 1 when it failed (or could not be
# installed) on any, 2 when none failed but some could not be found.
set -uo pipefail
cd "$(dirname "$0")/.."
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

pyenv_minors=(3.9 3.10 3.11 3.12 3.13)
root_minors=(3.14 3.15)
minors=("$@")
[ ${#minors[@]} -gt 0 ] || minors=("${pyenv_minors[@]}" "${root_minors[@]}")

pyenv_root="${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}"
mkdir -p build/interpreters
summary=() failed=0 missing=0

# The suite in a venv: $1 the minor version, $2 the venv, $3... the command prefix that
# runs a program where the venv lives ("" on the host, tools/sid_root.sh run in the root),
# with the build tools the venv needs before the module and the stand-in are installed.
# Prints the interpreter's version on the first line of its log.
suite() {
    local minor="$1" venv="$2" log="build/interpreters/$1.log"
    shift 2
    local -a run=() tools=()
    while [ "$1" != "--" ]; do run+=("$1"); shift; done
    shift
    tools=("$@")
    {
        "${run[@]}" "$venv/bin/python" -c 'import platform, sys; print("== CPython %s (%s) at %s" % (platform.python_version(), sys.executable, sys.base_prefix))' &&
            "${run[@]}" "$venv/bin/python" -m pip install -q --disable-pip-version-check "${tools[@]}" pytest &&
            "${run[@]}" "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation . ./standin ./tap ||
            { echo "== install failed"; return 3; }
        "${run[@]}" "$venv/bin/python" -m pytest tests -q -p no:cacheprovider
    } 2>&1 | tee "$log"
    return "${PIPESTATUS[0]}"
}

# One line of the summary from the run's log and exit status.
record() {    # record MINOR STATUS WHERE
    local minor="$1" status="$2" where="$3" log="build/interpreters/$1.log" version result
    version="$(sed -n 's/^== CPython \([^ ]*\) .*/\1/p' "$log" | head -n 1)"
    # pytest's closing line, such as "1093 passed, 1 skipped in 33.63s".
    result="$(grep -E '^=* ?[0-9]+ [a-z]+.* in [0-9.]+s( \([0-9:]+\))?( =*)?$' "$log" | tail -n 1 | sed 's/^=* *//;s/ *=*$//')"
    if [ "$status" -eq 0 ]; then
        summary+=("passed   $minor (${version:-?}, $where): pytest tests: $result")
    elif [ "$status" -eq 3 ]; then
        summary+=("FAILED   $minor (${version:-?}, $where): could not build or install, see $log")
        failed=1
    else
        summary+=("FAILED   $minor (${version:-?}, $where): pytest tests: ${result:-exit status $status}, see $log")
        failed=1
    fi
}

for minor in "${minors[@]}"; do
    if [[ " ${root_minors[*]} " == *" $minor "* ]]; then
        venv="build/sid/$minor"
        echo "== CPython $minor: Debian's python$minor in the root of tools/sid_root.sh, venv $venv"
        if ! tools/sid_root.sh run sh -c "[ -x $venv/bin/python ] || python$minor -m venv $venv"; then
            summary+=("FAILED   $minor: the Debian unstable root or its venv could not be made")
            failed=1
            continue
        fi
        # The root has CMake and Ninja from Debian, so only the build backend comes from PyPI.
        suite "$minor" "$venv" tools/sid_root.sh run -- scikit-build-core
        record "$minor" $? "Debian unstable root"
    elif [[ " ${pyenv_minors[*]} " == *" $minor "* ]]; then
        # The newest X.Y.Z pyenv has of this minor version (no free-threaded or dev builds).
        version=$(ls "$pyenv_root/versions" 2>/dev/null | grep -E "^${minor//./\\.}\.[0-9]+$" | sort -V | tail -n 1)
        if [ -z "$version" ] || [ ! -x "$pyenv_root/versions/$version/bin/python" ]; then
            echo "== CPython $minor: not installed under $pyenv_root/versions, NOT RUN"
            summary+=("NOT RUN  $minor: no CPython $minor under $pyenv_root/versions")
            missing=1
            continue
        fi
        venv="build/interpreters/$minor"
        echo "== CPython $version from pyenv, venv $venv"
        if [ ! -x "$venv/bin/python" ] && ! "$pyenv_root/versions/$version/bin/python" -m venv "$venv"; then
            summary+=("FAILED   $minor ($version): the venv could not be made")
            failed=1
            continue
        fi
        suite "$minor" "$venv" -- scikit-build-core cmake ninja
        record "$minor" $? pyenv
    else
        summary+=("NOT RUN  $minor: not a supported version (${pyenv_minors[*]} ${root_minors[*]})")
        missing=1
    fi
done

echo "== the whole suite, by interpreter:"
printf '   %s\n' "${summary[@]}"
[ "$failed" -eq 0 ] || exit 1
[ "$missing" -eq 0 ] || exit 2
