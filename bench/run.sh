#!/usr/bin/env bash
# The whole benchmark: natively against Debian 12's FFmpeg 5.1, then in the Debian unstable chroot against
# FFmpeg 9 (the host built against each generation, the ffmpeg command line of the same generation).
# Writes bench/results.md. Needs about 7 GB of disk in build-bench/ and a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --bench
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAE_BUILD_TESTS=OFF >/dev/null
cmake --build build -j2 >/dev/null
python3 bench/run.py --runs "${AE_BENCH_RUNS:-5}" --out build-bench/results-native.md
AE_CHROOT_COMMAND="python3 bench/run.py --runs ${AE_BENCH_RUNS:-5} --build build-sid --out build-bench/results-sid.md" \
    scripts/chroot.sh unstable
# Cold storage needs root (dropping the page cache, throttling reads); it says so and skips otherwise.
/usr/bin/python3 bench/cold.py --runs "${AE_BENCH_RUNS:-3}" --section build-bench/results-cold.md
/usr/bin/python3 bench/batch.py --runs "${AE_BENCH_RUNS:-3}" --section build-bench/results-batch.md
# The release build on the bundled FFmpeg against the system build, warm and cold.
scripts/dist.sh linux >/dev/null
/usr/bin/python3 bench/builds.py --runs "${AE_BENCH_RUNS:-3}" --section build-bench/results-builds.md
# The Node package against spawning the ffmpeg command line from Node.
node/build.sh >/dev/null 2>&1
node bench/node.js --runs "${AE_BENCH_RUNS:-3}" --section build-bench/results-node.md
{
    echo "# Benchmark results"
    echo
    echo "Repeat with \`bench/run.sh\`. Ratios are the host's whole process against the ffmpeg command line's"
    echo "(\`ffmpeg -i IN -map 0:a:0 -c copy OUT.m4a\`), measured side by side in the same run; below 1 means faster."
    echo
    cat build-bench/results-native.md
    echo
    cat build-bench/results-sid.md
    echo
    [ -f build-bench/results-cold.md ] && cat build-bench/results-cold.md && echo
    cat build-bench/results-batch.md
    echo
    cat build-bench/results-builds.md
    echo
    cat build-bench/results-node.md
} > bench/results.md
cat bench/results.md
