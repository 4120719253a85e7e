#!/usr/bin/env bash
# Every test: the suite natively (Debian 12, FFmpeg 5.1), then the sanitizer builds, then the suite against
# FFmpeg 9 in a Debian unstable chroot. Set AE_SKIP_SID=1 to leave out the chroot.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "== native build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAE_WERROR=ON >/dev/null
cmake --build build -j2
(cd build && ctest --output-on-failure -j2)

if [ "${AE_SKIP_SID:-0}" != 1 ]; then
    echo "== FFmpeg 9 (Debian unstable chroot)"
    scripts/sid-chroot.sh
fi
echo "== all tests passed"
