#!/usr/bin/env bash
# A Debian unstable root in a folder, for the interpreters this machine's Debian release
# cannot install (CPython 3.14 and 3.15 with their headers, venv support, g++, CMake and
# Ninja). It lives outside any clone, at ${C_SDK_SID_ROOT:-/var/tmp/c_sdk-sid-root}, is
# made once (one to three minutes) and then shared by every clone on the machine. Needs
# root (for debootstrap, chroot and mounts).
#
#   tools/sid_root.sh create         make the root, or reuse it when it is complete
#   tools/sid_root.sh run CMD ...    run CMD inside the root against this clone
#   tools/sid_root.sh remove         delete the root
#   tools/sid_root.sh install PKG... add Debian packages for a task of your own
#                                    (valgrind, say); CI needs none
#
# `run` creates the root first when it is missing, then runs CMD under chroot with this
# clone (the one holding this script) mounted at /src and the working folder set to the
# same place in the clone as the caller's (/src when the caller is outside the clone).
# For example, from the top of a clone:
#
#   tools/sid_root.sh run python3.15 -m venv build/sid/3.15
#   tools/sid_root.sh run build/sid/3.15/bin/python -m pip install scikit-build-core pytest
#   tools/sid_root.sh run build/sid/3.15/bin/python -m pip install --no-build-isolation . ./standin
#   tools/sid_root.sh run build/sid/3.15/bin/python -m pytest tests -q
#   tools/sid_root.sh run bash       # a shell inside the root
#
# Venvs made inside the root hold paths under /src, so they work only through `run`;
# keep them in the clone's build/ folder, apart from the host's (build/sid/<X.Y> above).
# CMake and Ninja are the root's own, so the build needs only scikit-build-core from PyPI.
#
# Several clones may use the root at once. Everything a command changes is in its clone:
# HOME is the clone's build/sid/home (pip's cache) and /tmp a fresh tmpfs, so nothing in
# the root is written after it is made. Each command runs in a mount namespace of its
# own, where /proc, the clone and /tmp are mounted and, on every way out, unmounted; the
# namespace ends with the command, so no mount outlives it, even when the command is
# killed, and none is visible to other users of the root. The caller's environment
# passes through, except what names the host's folders (PATH, HOME, TMPDIR, a venv,
# PYTHONPATH, preloads and pip's find-links); LANG is C.UTF-8.
#
# create and remove take ${root}.lock exclusively and run holds it shared, so the root
# is never removed or rebuilt while a command runs in it; neither is done to a folder
# that has anything mounted in it.
set -euo pipefail

root="${C_SDK_SID_ROOT:-/var/tmp/c_sdk-sid-root}"
root="${root%/}"
clone="$(cd "$(dirname "$0")/.." && pwd -P)"
self="$clone/tools/$(basename "$0")"
lock="$root.lock"
log="$root.log"    # what making the root printed
complete="$root/.c_sdk-sid-root"    # written last, holds the package list
building="$root/.c_sdk-sid-root-building"
packages=(python3.14-dev python3.14-venv python3.15-dev python3.15-venv g++ cmake ninja-build)
# The host's system-wide pip configuration; copied with the files its settings name.
pip_configs=(/etc/pip.conf /etc/xdg/pip/pip.conf)
ca_bundle=/etc/ssl/certs/ca-certificates.crt

say() { echo "sid-root: $*" >&2; }
die() { say "$*"; exit 1; }

case "$root" in
/?*) ;;
*) die "C_SDK_SID_ROOT must be an absolute path other than /, not '${C_SDK_SID_ROOT:-}'" ;;
esac

mkdir -p "$(dirname "$root")"

# Mount points (of this namespace) at or below $1.
mounts_under() {
    findmnt -rn -o TARGET | while read -r target; do
        target="$(printf '%b' "$target")"    # findmnt escapes spaces as \x20
        case "$target" in "$1" | "$1"/*) echo "$target" ;; esac
    done
}

refuse_if_mounted() {
    local found
    found="$(mounts_under "$root")"
    [ -z "$found" ] || die "$root has mounts in it, not touching it: $(echo $found)"
}

# The Debian mirror this machine's apt uses (the first non-security archive).
host_mirror() {
    if [ -n "${C_SDK_SID_MIRROR:-}" ]; then echo "$C_SDK_SID_MIRROR"; return; fi
    apt-cache policy | awk '$1 ~ /^[0-9]+$/ && $2 ~ /^https?:\/\// && $2 !~ /security/ && $3 !~ /security/ {print $2; exit}'
}

# Runs "$@" in a private mount namespace with /proc mounted in the root.
in_namespace() {
    unshare --mount --propagation private -- "$self" __namespace "$@"
}

# Only called through in_namespace: mounts, runs, unmounts.
namespace_main() {
    local mode="$1"
    shift
    mounted=()    # global: the EXIT trap runs after this function has returned
    unmount_all() {
        local i
        for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
            umount --recursive --lazy "${mounted[i]}" 2>/dev/null || true
        done
    }
    trap unmount_all EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    mount_at() {    # mount_at TARGET mount-arguments...
        local target="$1"
        shift
        mount "$@" "$target"
        mounted+=("$target")
    }
    case "$mode" in
    debootstrap)
        # debootstrap mounts /proc and /sys in the new root itself; in this namespace
        # they cannot outlast it.
        debootstrap --variant=minbase sid "$root" "$1"
        ;;
    apt)
        mount_at "$root/proc" -t proc proc
        chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
            DEBIAN_FRONTEND=noninteractive HOME=/root "$@"
        ;;
    run)
        local workdir="$1"
        shift
        mkdir -p "$clone/build/sid/home"
        mount_at "$root/proc" -t proc proc
        mount_at "$root/src" --bind "$clone"
        mount_at "$root/tmp" -t tmpfs -o mode=1777 tmpfs
        mount_at "$root/dev/shm" -t tmpfs -o mode=1777 tmpfs
        local keep=()
        while IFS= read -r -d '' entry; do
            case "${entry%%=*}" in
            PATH | HOME | PWD | OLDPWD | TMPDIR | TMP | TEMP | VIRTUAL_ENV | PYTHONHOME | PYTHONPATH | \
                PYENV_* | LD_PRELOAD | LD_LIBRARY_PATH | PIP_FIND_LINKS | LANG | LC_* | LANGUAGE | \
                BASH_FUNC_* | _) ;;
            *) keep+=("$entry") ;;
            esac
        done < <(env -0)
        chroot "$root" /usr/bin/env -i "${keep[@]}" PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
            HOME=/src/build/sid/home LANG=C.UTF-8 \
            /bin/sh -c 'cd "$0" && exec "$@"' "$workdir" "$@"
        ;;
    *) die "unknown namespace mode $mode" ;;
    esac
}

# Copies a host file to the same path in the root, following links.
copy_in() {
    mkdir -p "$root$(dirname "$1")"
    rm -f "$root$1"
    cp -L "$1" "$root$1"
}

# The pip configuration files and every existing file their settings name.
copy_pip_configuration() {
    local config value
    for config in "${pip_configs[@]}"; do
        [ -f "$config" ] || continue
        copy_in "$config"
        say "copied $config"
        while read -r value; do
            if [ -f "$value" ]; then
                copy_in "$value"
                say "copied $value (named in $config)"
            fi
        done < <(sed -n 's/^[^#;=]*=[[:space:]]*\(\/[^[:space:]]*\)[[:space:]]*$/\1/p' "$config")
    done
}

# Runs "$@" with its output appended to the log of the root's making.
logged() {
    "$@" >>"$log" 2>&1 || { tail -n 25 "$log" >&2; die "failed: $* (whole output in $log)"; }
}

install_packages() {
    say "installing ${packages[*]} (output in $log)"
    logged in_namespace apt apt-get -q -o Acquire::Check-Valid-Until=false update
    logged in_namespace apt apt-get -q -y -o Acquire::Check-Valid-Until=false --no-install-recommends \
        install "${packages[@]}"
    logged in_namespace apt apt-get clean
    # Installing ca-certificates writes Debian's bundle: the host's may trust more
    # (a proxy's authority, say), and the copied pip configuration refers to it.
    [ -f "$ca_bundle" ] && copy_in "$ca_bundle"
    copy_pip_configuration
}

create_locked() {
    if [ -f "$complete" ] && [ "$(cat "$complete")" = "${packages[*]}" ]; then
        say "reusing $root ($(chroot "$root" /usr/bin/python3.14 -V) and $(chroot "$root" /usr/bin/python3.15 -V))"
        return
    fi
    refuse_if_mounted
    if [ -f "$complete" ]; then
        say "$root lacks some of: ${packages[*]}; installing them"
        install_packages
        echo "${packages[*]}" >"$complete"
        return
    fi
    if [ -e "$root" ]; then
        # Only a folder this script started, left unfinished, or an empty one.
        if [ -f "$building" ] || [ -z "$(ls -A "$root")" ]; then
            say "removing the unfinished root $root"
            rm -rf --one-file-system "$root"
        else
            die "$root exists and was not made by this script; remove it or set C_SDK_SID_ROOT"
        fi
    fi
    command -v debootstrap >/dev/null || {
        say "installing debootstrap"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    }
    local mirror
    mirror="$(host_mirror)"
    [ -n "$mirror" ] || die "no Debian mirror in 'apt-cache policy'; set C_SDK_SID_MIRROR"
    say "making $root: Debian unstable from $mirror"
    mkdir -p "$root"
    touch "$building"
    : >"$log"
    logged in_namespace debootstrap "$mirror"
    copy_in /etc/resolv.conf
    # The mirror's index of unstable can be older than its validity date.
    echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99c_sdk-no-valid-until"
    mkdir -p "$root/src" "$root/dev/shm"
    install_packages
    echo "${packages[*]}" >"$complete"
    rm -f "$building"
    say "made $root"
}

with_lock() {    # with_lock -s|-x function
    exec {lock_fd}>>"$lock"
    flock "$1" "$lock_fd"
    "$2"
}

remove_locked() {
    [ -e "$root" ] || { say "no root at $root"; return; }
    refuse_if_mounted
    if [ ! -f "$complete" ] && [ ! -f "$building" ] && [ -n "$(ls -A "$root")" ]; then
        die "$root was not made by this script; not removing it"
    fi
    rm -rf --one-file-system "$root"
    rm -f "$log"
    say "removed $root"
}

command="${1:-}"
[ $# -gt 0 ] && shift
case "$command" in
create) with_lock -x create_locked ;;
remove) with_lock -x remove_locked ;;
install)
    [ $# -gt 0 ] || die "usage: $0 install PACKAGE ..."
    extra=("$@")
    install_extra_locked() {
        [ -f "$complete" ] || create_locked
        logged in_namespace apt apt-get -q -o Acquire::Check-Valid-Until=false update
        logged in_namespace apt apt-get -q -y -o Acquire::Check-Valid-Until=false --no-install-recommends \
            install "${extra[@]}"
        logged in_namespace apt apt-get clean
        [ -f "$ca_bundle" ] && copy_in "$ca_bundle"    # in case ca-certificates was upgraded
        say "installed ${extra[*]}"
    }
    with_lock -x install_extra_locked
    ;;
run)
    [ "${1:-}" = "--" ] && shift
    [ $# -gt 0 ] || die "usage: $0 run CMD [ARG ...]"
    if [ "$(cat "$complete" 2>/dev/null)" != "${packages[*]}" ]; then
        (with_lock -x create_locked)
    fi
    here="$(pwd -P)"
    case "$here" in
    "$clone") workdir=/src ;;
    "$clone"/*) workdir="/src/${here#"$clone"/}" ;;
    *) workdir=/src ;;
    esac
    exec {lock_fd}>>"$lock"
    flock -s "$lock_fd"
    [ -f "$complete" ] || die "$root is not complete"
    in_namespace run "$workdir" "$@"
    ;;
__namespace) namespace_main "$@" ;;
*) die "usage: $0 create | run CMD [ARG ...] | remove | install PACKAGE ..." ;;
esac
