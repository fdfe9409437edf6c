#!/usr/bin/env bash
# Debian roots, for interpreters this machine does not have: CPython 3.13 (a later patch release
# than pyenv's), 3.14 and 3.15 from unstable on this machine's architecture, and the arm64
# interpreters the aarch64 wheels are tested on (bookworm: 3.11; unstable: 3.13, 3.14, 3.15), run
# through qemu-user-static.
#
#   tools/debian-root.sh SUITE ARCH ensure         make the root (once) and refresh its network
#                                                   and pip configuration
#   tools/debian-root.sh SUITE ARCH run CMD [ARG]  run CMD inside the root, in the project mounted
#                                                   at /project
#
# SUITE ARCH: sid amd64 | bookworm arm64 | sid arm64. Roots live under ~/.cache/mirtal/
# (sid-root, arm64-bookworm, arm64-sid; $SID_ROOT still overrides the first).
#
# The native root is made by debootstrap. The arm64 roots are only unpacked (mmdebstrap's extract
# variant): their packages' maintainer scripts would run under emulation, which took 9-20 minutes
# per root, and nothing they set up is needed by an interpreter, pip, cmake or ninja. Unpacking
# takes seconds. Needs root privileges (chroot, mount, binfmt_misc).
set -euo pipefail

usage() { echo "usage: $0 SUITE ARCH ensure | run CMD [ARG...]" >&2; exit 2; }
[ $# -ge 3 ] || usage
SUITE=$1 ARCH=$2
shift 2
CACHE=$HOME/.cache/mirtal
PROJECT=$(cd "$(dirname "$0")/.." && pwd)
# The arm64 roots build with Debian's own cmake and ninja (installing PyPI's under emulation, for
# every wheel, would take minutes); the compiler is the zig program of the release environment.
# ninja runs its commands through /bin/sh (dash), the README's examples run in bash, and `env -C`
# is coreutils'.
ARM_TOOLS=cmake,ninja-build,dash,bash,coreutils
pythons() { for v in "$@"; do printf 'python%s,python%s-dev,python%s-venv,' "$v" "$v" "$v"; done; }
case "$SUITE $ARCH" in
    "sid amd64")
        ROOT=${SID_ROOT:-$CACHE/sid-root}
        PYTHONS="3.13 3.14 3.15"
        PACKAGES=$(pythons 3.13 3.14 3.15)g++,make,git,ca-certificates ;;
    "bookworm arm64")
        ROOT=$CACHE/arm64-bookworm
        PYTHONS="3.11"
        PACKAGES=$(pythons 3.11)$ARM_TOOLS ;;
    "sid arm64")
        ROOT=$CACHE/arm64-sid
        PYTHONS="3.13 3.14 3.15"
        PACKAGES=$(pythons 3.13 3.14 3.15)$ARM_TOOLS ;;
    *) echo "$0: no root for $SUITE $ARCH" >&2; usage ;;
esac
FOREIGN=$([ "$ARCH" = "$(dpkg --print-architecture)" ] && echo no || echo yes)

# A foreign architecture's programs run through qemu-user-static, registered with binfmt_misc
# (with the F flag, so that the emulator is found inside the root too).
binfmt() {
    [ $FOREIGN = yes ] || return 0
    local name=qemu-aarch64
    if [ ! -x /usr/bin/qemu-aarch64-static ] || ! command -v update-binfmts >/dev/null; then
        apt_install qemu-user-static binfmt-support
    fi
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    fi
    if [ "$(head -n 1 /proc/sys/fs/binfmt_misc/$name 2>/dev/null)" != enabled ]; then
        update-binfmts --enable $name 2>/dev/null || true
    fi
    if [ "$(head -n 1 /proc/sys/fs/binfmt_misc/$name 2>/dev/null)" != enabled ]; then
        { service binfmt-support restart || /usr/sbin/update-binfmts --import $name; } \
            >/dev/null 2>&1 || true
    fi
    if [ "$(head -n 1 /proc/sys/fs/binfmt_misc/$name 2>/dev/null)" != enabled ]; then
        echo "$0: $name is not registered with binfmt_misc" >&2
        exit 1
    fi
}

# Packages of this machine (not of a root) are installed only when asked: SYSTEM_PACKAGES=install,
# as make passes it on; otherwise the script names them and stops.
apt_install() {
    if [ "${SYSTEM_PACKAGES:-}" != install ]; then
        echo "$0 needs the Debian packages: $*. Install them (as root: apt-get install $*)," \
            "or run again with SYSTEM_PACKAGES=install in the environment" >&2
        exit 2
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

# The root in $ROOT.partial. A snapshot mirror's Release files may be past their Valid-Until date;
# debootstrap does not check it, apt (inside mmdebstrap) is told not to.
make_root() {
    rm -rf "$ROOT.partial"
    if [ $FOREIGN = no ]; then
        command -v debootstrap >/dev/null || apt_install debootstrap
        if ! debootstrap --arch="$ARCH" --variant=minbase --include="$PACKAGES" "$SUITE" \
            "$ROOT.partial" >/dev/null; then
            tail -n 30 "$ROOT.partial/debootstrap/debootstrap.log" >&2 || true
            exit 1
        fi
        return
    fi
    command -v mmdebstrap >/dev/null || apt_install mmdebstrap
    mmdebstrap --quiet --variant=extract --architectures="$ARCH" \
        --aptopt='Acquire::Check-Valid-Until "false"' --include="$PACKAGES" "$SUITE" "$ROOT.partial"
    # No maintainer script ran: the merged-/usr links of an unstable root are made here (bookworm's
    # packages still ship /bin and /lib themselves).
    local dir
    for dir in bin sbin lib; do
        [ -e "$ROOT.partial/$dir" ] || ln -s "usr/$dir" "$ROOT.partial/$dir"
    done
    mkdir -p "$ROOT.partial/proc" "$ROOT.partial/root"
}

made() {
    local v
    for v in $PYTHONS; do [ -e "$ROOT/usr/bin/python$v" ] || return 1; done
    case $PACKAGES in *cmake*) [ -e "$ROOT/usr/bin/cmake" ] && [ -e "$ROOT/usr/bin/ninja" ] ;; esac &&
        case $PACKAGES in *bash*) [ -e "$ROOT/bin/bash" ] ;; esac
}

ensure() {
    # One maker at a time: CI makes the release wheels while other jobs use the same roots.
    mkdir -p "$(dirname "$ROOT")"
    exec 8>"$ROOT.make-lock"
    flock 8
    binfmt
    if [ -d "$ROOT" ] && ! made && [ $FOREIGN = no ]; then
        # A root made before a package was added to its list: the missing ones installed in it.
        chroot "$ROOT" apt-get update -qq
        chroot "$ROOT" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ${PACKAGES//,/ } \
            >/dev/null
    fi
    if ! made; then
        # (an unpacked root is simply made again: that takes seconds)
        make_root
        rm -rf "$ROOT"
        mv "$ROOT.partial" "$ROOT"
    fi
    # The same name server, CA bundle and package index settings as this machine's pip.
    cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf"
    mkdir -p "$ROOT/etc/ssl/certs"
    cp -L /etc/ssl/certs/ca-certificates.crt "$ROOT/etc/ssl/certs/ca-certificates.crt"
    for conf in /etc/pip.conf /etc/xdg/pip /root/.config/pip /root/.pip; do
        if [ -e "$conf" ]; then
            mkdir -p "$ROOT$(dirname "$conf")"
            rm -rf "${ROOT:?}$conf"
            cp -rL "$conf" "$ROOT$conf"
        fi
    done
    exec 8>&-
}

# Local package directories that the pip configuration points to, seen read-only inside.
local_indexes() {
    pip3 config list 2>/dev/null | grep -oE '(file://)?/[^ "'"'"']+' | sed 's|^file://||' |
        while read -r path; do
            path=${path%/simple}
            [ -d "$path" ] && echo "$path"
        done | sort -u
    [ -n "${PIP_FIND_LINKS:-}" ] && [ -d "$PIP_FIND_LINKS" ] && echo "$PIP_FIND_LINKS"
    return 0
}

mounted=()
cleanup() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
}

bind() {
    mkdir -p "$2"
    mountpoint -q "$2" && return 0
    mount --bind "$1" "$2"
    [ "${3:-}" = ro ] && mount -o remount,bind,ro "$2" 2>/dev/null || true
    mounted+=("$2")
}

run() {
    ensure
    exec 9>"$ROOT.lock"
    flock 9  # one user of /project at a time
    trap cleanup EXIT
    mountpoint -q "$ROOT/proc" || { mount -t proc proc "$ROOT/proc" && mounted+=("$ROOT/proc"); }
    bind /dev "$ROOT/dev"
    while read -r dir; do bind "$dir" "$ROOT$dir" ro; done < <(local_indexes)
    bind "$PROJECT" "$ROOT/project"
    # Under emulation compiling a module costs seconds, so an arm64 root keeps the byte code its
    # interpreters write (its packages' scripts, which would have compiled the standard library,
    # never ran), whatever the caller's PYTHONDONTWRITEBYTECODE.
    local keep=()
    [ $FOREIGN = yes ] && keep=(-u PYTHONDONTWRITEBYTECODE)
    chroot "$ROOT" /usr/bin/env "${keep[@]}" -C /project HOME=/root \
        PATH=/usr/local/bin:/usr/bin:/bin "$@"
}

case "${1:-}" in
    ensure) ensure; echo "$ROOT" ;;
    run) shift; [ $# -ge 1 ] || usage; run "$@" ;;
    *) usage ;;
esac
