#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time (AE_FUZZ_SECONDS, default 60).
# Fails on any crash, leak, timeout or running out of memory. Findings are kept in build-fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/toolchain.sh
seconds=${AE_FUZZ_SECONDS:-60}
CC=clang-$AE_CLANG_VERSION CXX=clang++-$AE_CLANG_VERSION cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAE_FUZZ=ON \
    -DAE_BUILD_TESTS=OFF -DAE_BUILD_TOOLS=OFF -DAE_SANITIZE=address,undefined >/dev/null
cmake --build build-fuzz -j2 --target probe_fuzz extract_fuzz
fuzz/make_seeds.sh build-fuzz/seeds
mkdir -p build-fuzz/findings
for target in probe_fuzz extract_fuzz; do
    corpus=build-fuzz/corpus-$target
    mkdir -p "$corpus"
    echo "== $target for ${seconds}s"
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    build-fuzz/fuzz/$target "$corpus" build-fuzz/seeds -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=256 \
        -max_len=65536 -print_final_stats=1 -close_fd_mask=3 -artifact_prefix=build-fuzz/findings/$target- \
        2>build-fuzz/$target.log || { tail -60 build-fuzz/$target.log; exit 1; }
    # Executions and the coverage of the library's own code (FFmpeg is not instrumented).
    grep -E '^#[0-9]+.*DONE' build-fuzz/$target.log | tail -1
done
