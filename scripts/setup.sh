#!/usr/bin/env bash
# Installs the Debian packages the build and the tools need (as root), or prints the command to run.
#   scripts/setup.sh          what building and running the host needs
#   scripts/setup.sh --test   also what the tests, sanitizers, fuzzers and the FFmpeg 9 chroot need
#   scripts/setup.sh --bench  also what the benchmarks need (Dask, tqdm, the chroot's mmdebstrap)
set -euo pipefail
. "$(dirname "$0")/toolchain.sh"
PACKAGES=(g++ cmake make pkg-config libavformat-dev libavcodec-dev libavutil-dev ffmpeg
          nlohmann-json3-dev libcli11-dev)
if [ "${1:-}" = "--test" ]; then
    PACKAGES+=(libgtest-dev python3 python3-pytest tmux time "clang-$AE_CLANG_VERSION" "libclang-rt-$AE_CLANG_VERSION-dev" mmdebstrap
               python3-distributed python3-tqdm python3-venv python3-setuptools python3-wheel mypy
               g++-mingw-w64-x86-64-posix mingw-w64-tools nasm libz-mingw-w64-dev wine wine64
               libssl-dev zlib1g-dev)  # the last two: the bundled FFmpeg (scripts/ffmpeg.sh linux)
fi
if [ "${1:-}" = "--bench" ]; then
    PACKAGES+=(python3 python3-distributed python3-tqdm mmdebstrap)
fi
missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "install ok installed" >/dev/null || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages; run as root:" >&2
    echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
fi
echo "setup: installing ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
