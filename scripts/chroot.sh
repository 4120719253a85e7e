#!/usr/bin/env bash
# Builds and tests the project inside a Debian chroot, against that release's FFmpeg.
#   scripts/chroot.sh unstable          FFmpeg 9: make or reuse the chroot, then build and run the suite in it
#   scripts/chroot.sh trixie            FFmpeg 7.1 (Debian 13), the same way
#   scripts/chroot.sh bookworm-bare     Debian 12 with Python, Node and no FFmpeg (where a self-contained wheel
#                                       and npm package must work): made or reused; run something in it with
#                                       AE_CHROOT_COMMAND
#   scripts/chroot.sh SUITE --create    only make (or refresh) the chroot
#   AE_CHROOT_COMMAND="..." scripts/chroot.sh SUITE   run that command in the checkout (/src) instead of the
#                                       suite (a full chroot builds first; AE_CHROOT_BIND=DIR is bound at /bind)
# Each chroot lives outside the checkout (/var/tmp/belmarun-audioextract-NAME, or AE_CHROOT_ROOT) so a clean
# clone reuses it; it is rebuilt when its package list below changes.
set -euo pipefail

SUITE=${1:?usage: scripts/chroot.sh unstable|trixie|bookworm-bare [--create]}
SRC=$(cd "$(dirname "$0")/.." && pwd)
FULL="g++ cmake make pkg-config libavformat-dev libavcodec-dev libavutil-dev ffmpeg libgtest-dev \
nlohmann-json3-dev libcli11-dev python3 python3-pytest tmux ca-certificates python3-distributed python3-tqdm \
python3-venv python3-setuptools python3-wheel time mypy"
case $SUITE in
unstable) NAME=sid; DIST=unstable; PACKAGES=$FULL ;;
trixie) NAME=trixie; DIST=trixie; PACKAGES=$FULL ;;
bookworm-bare) NAME=bookworm-bare; DIST=bookworm; PACKAGES="python3 python3-venv nodejs" ;;
*) echo "chroot.sh: unknown suite $SUITE" >&2; exit 2 ;;
esac
ROOT=${AE_CHROOT_ROOT:-/var/tmp/belmarun-audioextract-$NAME}
STAMP="$ROOT/.ae-packages"
. "$SRC/scripts/apt-mirror.sh"

if [ "$(id -u)" -ne 0 ]; then
    echo "chroot.sh: needs root (chroot, mount); run: sudo $0 $*" >&2
    exit 2
fi

unmount_all() {
    # Unmount whatever is below the chroot, deepest first.
    local m
    for m in $(awk -v r="$ROOT" '$2 ~ "^"r"/" {print $2}' /proc/mounts | sort -r); do
        umount -l "$m" 2>/dev/null || true
    done
}

create() {
    if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$PACKAGES" ]; then
        return 0
    fi
    if ! command -v mmdebstrap >/dev/null; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap
    fi
    unmount_all
    if grep -q " $ROOT/" /proc/mounts; then
        echo "chroot.sh: something is still mounted below $ROOT; not deleting it" >&2
        exit 1
    fi
    rm -rf "$ROOT"
    mkdir -p "$(dirname "$ROOT")"
    echo "chroot.sh: creating a Debian $DIST chroot in $ROOT"
    mmdebstrap --variant=minbase \
        --aptopt='Acquire::Check-Valid-Until "false"' \
        --aptopt='Dpkg::Use-Pty "0"' \
        --aptopt='APT::Install-Recommends "false"' \
        --include="$(echo $PACKAGES | tr ' ' ',')" \
        "$DIST" "$ROOT" "$(apt_mirror)"
    echo "$PACKAGES" > "$STAMP"
}

run() {
    trap unmount_all EXIT
    mkdir -p "$ROOT/proc" "$ROOT/src" "$ROOT/dev" "$ROOT/bind"
    mount -t proc proc "$ROOT/proc"
    # Terminals for the host's progress-bar test.
    mount --bind /dev "$ROOT/dev"
    mount --bind /dev/pts "$ROOT/dev/pts"
    mount --bind "$SRC" "$ROOT/src"
    [ -z "${AE_CHROOT_BIND:-}" ] || mount --bind "$AE_CHROOT_BIND" "$ROOT/bind"
    local build=
    # A separate build directory per toolchain: this one belongs to the chroot's FFmpeg.
    [ "$PACKAGES" = "$FULL" ] && build=build-$NAME
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 AE_COMMAND="${AE_CHROOT_COMMAND:-}" \
        AE_BUILD="$build" chroot "$ROOT" /bin/sh -euc '
            cd /src
            if [ -n "$AE_BUILD" ]; then
                cmake -S . -B "$AE_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAE_WERROR=ON -DAE_BUILD_TESTS=ON >/dev/null
                cmake --build "$AE_BUILD" -j2
            fi
            if [ -n "$AE_COMMAND" ]; then eval "$AE_COMMAND"; else cd "$AE_BUILD" && ctest --output-on-failure -j2; fi'
}

create
[ "${2:-}" = "--create" ] && exit 0
run
