#!/usr/bin/env bash
# Every test: the suite natively (Debian 12, FFmpeg 5.1); the Windows DLL under Wine; again under AddressSanitizer with
# UndefinedBehaviorSanitizer and under ThreadSanitizer; the fuzzers for a bounded time; the suite against
# FFmpeg 9 in a Debian unstable chroot and against FFmpeg 7.1 in a Debian 13 chroot; then against the bundled
# FFmpeg 9 natively, and the release artifacts built on it (the Linux folder, the wheel, the npm package), as
# hosts take them. The Node package's tests run in the native and bundled suites when Node is installed.
#   AE_SKIP_WINDOWS=1, AE_SKIP_SANITIZERS=1, AE_SKIP_FUZZ=1, AE_SKIP_CHROOTS=1, AE_SKIP_BUNDLED=1 leave a stage
#   out; AE_FUZZ_SECONDS sets the fuzz time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --test

suite() {  # suite BUILD_DIR [cmake options...]
    local dir=$1; shift
    cmake -S . -B "$dir" -DAE_WERROR=ON -DAE_BUILD_TESTS=ON "$@" >/dev/null
    cmake --build "$dir" -j2
    (cd "$dir" && ctest --output-on-failure -j2)
}

echo "== native build and tests"
suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo

if [ "${AE_SKIP_WINDOWS:-0}" = 1 ]; then  # the Windows stage builds them for real
    echo "== the library's sources compile for Windows (MinGW; FFmpeg's headers from this machine)"
    for f in src/*.cpp; do
        [ "$f" = src/platform_posix.cpp ] && continue
        x86_64-w64-mingw32-g++-posix -std=c++20 -Wall -Wextra -Wshadow -Wconversion -Wno-sign-conversion -Werror \
            -DAE_BUILDING_LIBRARY -DAE_VERSION='"0"' -Isrc -Iinclude -idirafter "/usr/include/$(gcc -dumpmachine)" \
            -fsyntax-only "$f"
    done
fi

if [ "${AE_SKIP_WINDOWS:-0}" != 1 ]; then
    echo "== the Windows DLL: cross-built, its exports and imports checked, loaded by a C host under Wine"
    scripts/windows.sh
fi

if [ "${AE_SKIP_SANITIZERS:-0}" != 1 ]; then
    echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
    ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        suite build-asan -DCMAKE_BUILD_TYPE=Debug -DAE_SANITIZE=address,undefined
    echo "== ThreadSanitizer"
    # FFmpeg is not instrumented; findings inside it are suppressed with their reasons (tests/tsan.supp).
    TSAN_OPTIONS="halt_on_error=1:suppressions=$PWD/tests/tsan.supp" AE_CHURN_CYCLES=400 \
        suite build-tsan -DCMAKE_BUILD_TYPE=Debug -DAE_SANITIZE=thread
fi

if [ "${AE_SKIP_FUZZ:-0}" != 1 ]; then
    echo "== fuzzing"
    fuzz/run.sh
fi

if [ "${AE_SKIP_CHROOTS:-0}" != 1 ]; then
    echo "== FFmpeg 9 (Debian unstable chroot)"
    scripts/chroot.sh unstable
    echo "== FFmpeg 7.1 (Debian 13 chroot)"
    scripts/chroot.sh trixie
fi

if [ "${AE_SKIP_BUNDLED:-0}" != 1 ]; then
    echo "== the bundled FFmpeg 9 (scripts/ffmpeg.sh linux), natively; its ffprobe is the oracle"
    prefix=$(scripts/ffmpeg.sh linux)
    PATH="$prefix/bin:$PATH" suite build-bundled -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAE_FFMPEG=bundled \
        -DAE_FFMPEG_PREFIX="$prefix"
    if [ "${AE_SKIP_CHROOTS:-0}" != 1 ]; then
        tests/lean_fidelity_test.sh build-bundled "$prefix"
    fi
    echo "== the release artifacts (scripts/dist.sh), as hosts take them"
    scripts/dist.sh linux
    AE_SKIP_CHROOT=${AE_SKIP_CHROOTS:-0} tests/dist_test.sh
    echo "== the npm package (scripts/dist.sh node), installed as a Node project takes it"
    scripts/dist.sh node
    AE_SKIP_CHROOT=${AE_SKIP_CHROOTS:-0} tests/node_package_test.sh
fi
echo "== all tests passed"
