#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs ./test.sh as a new contributor would: from a clean clone of one commit, in a fresh
# Debian 12 root made with debootstrap, with nothing installed beforehand but Debian's own
# base system. What the suite needs must come from tools/install-deps.sh.
#   tools/fresh-machine-test.sh [COMMIT]      COMMIT defaults to HEAD
# Runs as root. TAMBORO_TEST_PORT, TAMBORO_SKIP_SANITIZERS and TAMBORO_SKIP_FUZZ are passed
# through to test.sh. The base system is made once and kept as a tarball in
# $TAMBORO_FRESH_CACHE (default /var/tmp/tamboro-fresh), with the downloaded .deb files;
# every run unpacks a new root from it and removes that root at the end, however it ends.
# The packages are installed with the network; the tests run in a network namespace of
# their own, so their services cannot meet anything listening on this machine.
set -euo pipefail

suite=bookworm
mirror=${TAMBORO_FRESH_MIRROR:-http://deb.debian.org/debian}
cache=${TAMBORO_FRESH_CACHE:-/var/tmp/tamboro-fresh}
source=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)

# Each phase runs in a mount and PID namespace of its own: its mounts and its processes
# (the tests' X servers, D-Bus daemons, services) end with it even when this script is killed.
if [ "${1:-}" = --inside ]; then
    root=$2
    shift 2
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --bind /dev "$root/dev"
    mount --bind /dev/pts "$root/dev/pts"
    mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
    mount --bind "$cache/archives" "$root/var/cache/apt/archives"
    if [ "$1" = --offline ]; then
        shift
        ip link set lo up
    fi
    env=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb LANG=C.UTF-8)
    for v in TAMBORO_TEST_PORT TAMBORO_SKIP_SANITIZERS TAMBORO_SKIP_FUZZ; do
        [ -z "${!v:-}" ] || env+=("$v=${!v}")
    done
    exec chroot "$root" /usr/bin/env -i "${env[@]}" /bin/bash -c "cd /root/tamboro && $1"
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "$0: needs root (debootstrap, chroot, mount); try: sudo $0 $*" >&2
    exit 2
fi
commit=$(git -C "$source" rev-parse --verify "${1:-HEAD}^{commit}")

command -v debootstrap >/dev/null || { apt-get update -qq && apt-get install -y -qq debootstrap; }
mkdir -p "$cache/archives/partial"
base="$cache/$suite-$(dpkg --print-architecture).tar"
if [ ! -e "$base" ]; then
    started=$SECONDS
    work=$(mktemp -d "$cache/debootstrap.XXXXXX")
    debootstrap "$suite" "$work" "$mirror"
    tar --numeric-owner -C "$work" -cf "$base.part" .
    rm -rf --one-file-system "$work"
    mv "$base.part" "$base"
    echo "== base system made in $((SECONDS - started)) s"
fi

root=$(mktemp -d /var/tmp/tamboro-fresh-root.XXXXXX)
phase=
cleanup() {
    # A phase ended early takes its namespaces' processes and mounts with it (unshare ignores
    # SIGTERM while it waits for its child; its child dies with it).
    [ -z "$phase" ] || { kill -KILL "$phase" 2>/dev/null; wait "$phase" 2>/dev/null || true; }
    # Nothing is mounted here (the mounts lived in the phases' namespaces), but a root
    # with a mount still under it is left alone rather than emptied through it.
    if findmnt -rn -o TARGET | grep -q "^$root/"; then
        echo "$0: $root still has mounts; left in place" >&2
    else
        rm -rf --one-file-system "$root"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

tar --numeric-owner -C "$root" -xpf "$base"
chmod 755 "$root" # the new machine's / (the tarball's is debootstrap's private folder)
# The host's mirror and its own apt settings for it (a snapshot mirror's Release files
# may have passed their Valid-Until), as a machine installed from that mirror has them.
cp /etc/resolv.conf "$root/etc/resolv.conf"
if [ -e /etc/apt/sources.list.d/debian.sources ]; then
    cp /etc/apt/sources.list.d/debian.sources "$root/etc/apt/sources.list.d/"
    : >"$root/etc/apt/sources.list"
fi
grep -l 'Check-Valid-Until' /etc/apt/apt.conf.d/* 2>/dev/null | xargs -r cp -t "$root/etc/apt/apt.conf.d/"

git clone -q --no-hardlinks "$(git -C "$source" rev-parse --path-format=absolute --git-common-dir)" "$root/root/tamboro"
git -C "$root/root/tamboro" -c advice.detachedHead=false checkout -q "$commit"
echo "== fresh Debian 12 root $root, commit $commit"

# A phase runs in the background so that a signal reaches the trap at once; it dies with this
# script even when the script is killed outright.
run_phase() {
    setpriv --pdeathsig KILL -- unshare --mount --propagation private --pid --fork --kill-child "$@" &
    phase=$!
    wait "$phase"
}
started=$SECONDS
run_phase "$0" --inside "$root" tools/install-deps.sh
echo "== packages installed in $((SECONDS - started)) s"
started=$SECONDS
status=0
run_phase --net "$0" --inside "$root" --offline ./test.sh || status=$?
phase=
echo "== ./test.sh ended with status $status in $((SECONDS - started)) s"
exit $status
