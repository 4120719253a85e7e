#!/usr/bin/env bash
# Builds and tests the project against FFmpeg 9 (Debian unstable) inside a chroot.
#   scripts/sid-chroot.sh            make or reuse the chroot, then build and run the suite in it
#   scripts/sid-chroot.sh --create   only make (or refresh) the chroot
#   AE_SID_COMMAND="..." scripts/sid-chroot.sh   build, then run that command in the checkout instead of the suite
# The chroot lives outside the checkout (AE_SID_ROOT, default /var/tmp/belmarun-audioextract-sid) so a clean
# clone reuses it; it is rebuilt when the package list below changes.
set -euo pipefail

ROOT=${AE_SID_ROOT:-/var/tmp/belmarun-audioextract-sid}
SRC=$(cd "$(dirname "$0")/.." && pwd)
PACKAGES="g++ cmake make pkg-config libavformat-dev libavcodec-dev libavutil-dev ffmpeg libgtest-dev \
nlohmann-json3-dev libcli11-dev python3 python3-pytest tmux ca-certificates python3-distributed python3-tqdm \
python3-venv python3-setuptools python3-wheel time mypy"
STAMP="$ROOT/.ae-packages"
. "$SRC/scripts/apt-mirror.sh"

need_root() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "sid-chroot: needs root (chroot, mount); run: sudo $0 $*" >&2
        exit 2
    fi
}

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
        echo "sid-chroot: something is still mounted below $ROOT; not deleting it" >&2
        exit 1
    fi
    rm -rf "$ROOT"
    mkdir -p "$(dirname "$ROOT")"
    echo "sid-chroot: creating Debian unstable chroot in $ROOT"
    mmdebstrap --variant=minbase \
        --aptopt='Acquire::Check-Valid-Until "false"' \
        --aptopt='Dpkg::Use-Pty "0"' \
        --aptopt='APT::Install-Recommends "false"' \
        --include="$(echo $PACKAGES | tr ' ' ',')" \
        unstable "$ROOT" "$(apt_mirror)"
    echo "$PACKAGES" > "$STAMP"
}

run_suite() {
    trap unmount_all EXIT
    mkdir -p "$ROOT/proc" "$ROOT/src" "$ROOT/dev"
    mount -t proc proc "$ROOT/proc"
    # Terminals for the host's progress-bar test.
    mount --bind /dev "$ROOT/dev"
    mount --bind /dev/pts "$ROOT/dev/pts"
    mount --bind "$SRC" "$ROOT/src"
    # A separate build directory per toolchain: this one belongs to the chroot's FFmpeg 9.
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 AE_SID_COMMAND="${AE_SID_COMMAND:-}" \
        chroot "$ROOT" /bin/sh -euc '
            cd /src
            cmake -S . -B build-sid -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAE_WERROR=ON -DAE_BUILD_TESTS=ON >/dev/null
            cmake --build build-sid -j2
            if [ -n "$AE_SID_COMMAND" ]; then eval "$AE_SID_COMMAND"; else cd build-sid && ctest --output-on-failure -j2; fi'
}

need_root "$@"
create
[ "${1:-}" = "--create" ] && exit 0
run_suite
