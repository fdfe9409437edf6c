#!/usr/bin/env bash
# CPython 3.13 (its current patch release), 3.14 and 3.15 come from Debian unstable, in a root of
# their own made with debootstrap.
#
#   tools/sid-root.sh ensure          make the root (about a minute, once) and refresh its network
#                                     and pip configuration from this machine
#   tools/sid-root.sh run CMD [ARG]   run CMD inside the root, in the project mounted at /project
#
# Root: $SID_ROOT (default ~/.cache/mirtal/sid-root). Needs root privileges (chroot, mount).
# The arm64 roots are entered the same way (tools/debian-root.sh), but only unpacked, not installed.
set -euo pipefail
case "${1:-}" in
    ensure | run) exec "$(dirname "$0")/debian-root.sh" sid amd64 "$@" ;;
    *) echo "usage: $0 ensure | run CMD [ARG...]" >&2; exit 2 ;;
esac
