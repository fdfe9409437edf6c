#!/usr/bin/env bash
# CPython 3.14 and 3.15 come from Debian unstable, in a root of their own made with debootstrap.
#
#   tools/sid-root.sh ensure          make the root (about a minute, once) and refresh its network
#                                     and pip configuration from this machine
#   tools/sid-root.sh run CMD [ARG]   run CMD inside the root, in the project mounted at /project
#
# Root: $SID_ROOT (default ~/.cache/mirtal/sid-root). Needs root privileges (chroot, mount).
set -euo pipefail

ROOT=${SID_ROOT:-$HOME/.cache/mirtal/sid-root}
PROJECT=$(cd "$(dirname "$0")/.." && pwd)
PACKAGES=python3.14,python3.14-dev,python3.14-venv,python3.15,python3.15-dev,python3.15-venv,g++,make,git,ca-certificates

ensure() {
    if [ ! -x "$ROOT/usr/bin/python3.15" ]; then
        command -v debootstrap >/dev/null || {
            apt-get update -qq
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
        }
        rm -rf "$ROOT.partial"
        mkdir -p "$(dirname "$ROOT")"
        debootstrap --variant=minbase --include="$PACKAGES" sid "$ROOT.partial" >/dev/null
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
    chroot "$ROOT" /usr/bin/env -C /project HOME=/root PATH=/usr/local/bin:/usr/bin:/bin "$@"
}

case "${1:-}" in
    ensure) ensure; echo "$ROOT" ;;
    run) shift; run "$@" ;;
    *) echo "usage: $0 ensure | run CMD [ARG...]" >&2; exit 2 ;;
esac
