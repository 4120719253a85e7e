#!/usr/bin/env bash
# The release artifacts, in dist/, each checked as a host would take it:
#   scripts/dist.sh linux     (the default) the self-contained Linux build, on the bundled FFmpeg:
#     belmarun-audioextract-VERSION-linux-x86_64.tar.gz        module, FFmpeg's libraries, command-line host,
#                                                              header, pkg-config file, licences, README
#     belmarun-audioextract-VERSION-linux-x86_64-debug.tar.gz  their debug information (.debug files)
#     audioextract-VERSION-py3-none-manylinux_*_x86_64.whl     the Python package with module and FFmpeg inside
#   scripts/dist.sh node      the Node.js package, after linux: belmarun-audioextract-VERSION.tgz (npm install takes
#                             it as it is): the prebuilt linux-x64 addon, and the module and FFmpeg it loads
#   scripts/dist.sh windows   the Windows folder and zip, from build-win (scripts/windows.sh builds it and
#                             calls this): belmarun-audioextract-VERSION-windows-x86_64.zip
# Binaries ship stripped; their debug information goes apart, linked back by .gnu_debuglink.
set -euo pipefail
cd "$(dirname "$0")/.."
TARGET=${1:-linux}
VERSION=$(sed -n 's/^project(belmarun-audioextract VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p dist

windows() {
    local ffmpeg_prefix dir=build-win/dist name=belmarun-audioextract-$VERSION-windows-x86_64
    ffmpeg_prefix=$(scripts/ffmpeg.sh windows)
    rm -rf "$dir" && mkdir -p "$dir/bin" "$dir/include" "$dir/lib" "$dir/licenses" "$dir/examples"
    cp build-win/belmarun-audioextract.dll build-win/audioextract.exe "$ffmpeg_prefix"/bin/av{format,codec,util}-*.dll \
        "$dir/bin/"
    cp build-win/belmarun-audioextract.dll.a "$dir/lib/" 2>/dev/null || cp build-win/*.a "$dir/lib/"
    cp include/audioextract.h "$dir/include/"
    cp examples/windows_host.c "$dir/examples/"
    cp "$ffmpeg_prefix"/licenses/* "$dir/licenses/"
    [ ! -f "$ffmpeg_prefix/SOURCE" ] || cp "$ffmpeg_prefix/SOURCE" "$dir/licenses/FFMPEG-SOURCE.txt"
    cp scripts/windows-README.txt "$dir/README.txt"
    x86_64-w64-mingw32-gcc-posix -std=c99 -Wall -Werror -Iinclude examples/windows_host.c -lshell32 \
        -o "$dir/bin/host-example.exe" -static
    (cd build-win && rm -f dist.zip && /usr/bin/python3 -m zipfile -c dist.zip dist >/dev/null)
    cp build-win/dist.zip "dist/$name.zip"
    echo "dist/$name.zip"
}

# strip_apart FILE DEBUGDIR: FILE loses its debug information, which goes to DEBUGDIR/NAME.debug.
strip_apart() {
    local debug
    debug=$2/$(basename "$1").debug
    objcopy --only-keep-debug "$1" "$debug"
    strip --strip-unneeded "$1"
    objcopy --add-gnu-debuglink="$debug" "$1"
}

linux() {
    local build=build-dist name=belmarun-audioextract-$VERSION-linux-x86_64 stage
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAE_FFMPEG=bundled \
        -DAE_FFMPEG_PREFIX="$(scripts/ffmpeg.sh linux)" -DAE_BUILD_TESTS=OFF -DAE_WERROR=ON >/dev/null
    cmake --build "$build" -j2 >/dev/null
    stage=$build/stage
    rm -rf "$stage" && mkdir -p "$stage/$name" "$stage/$name-debug"
    cmake --install "$build" --prefix "$stage/$name" >/dev/null
    # The Python package ships as a wheel of its own, not in the folder.
    rm -rf "$stage/$name"/lib/python3*
    cp scripts/linux-README.txt "$stage/$name/README.txt"
    local f
    while IFS= read -r f; do
        strip_apart "$f" "$stage/$name-debug"
    done < <(find "$stage/$name" -type f \( -name '*.so*' -o -path '*/bin/*' \))
    tar -C "$stage" -czf "dist/$name.tar.gz" "$name"
    tar -C "$stage" -czf "dist/$name-debug.tar.gz" "$name-debug"
    echo "dist/$name.tar.gz"

    # The wheel: the staged package with the stripped module and libraries.
    local py=$build/wheel
    rm -rf "$py" && cp -r "$build/python" "$py"
    rm -rf "$py/build" "$py"/*.egg-info
    cp "$stage/$name/lib/belmarun-audioextract.so" "$stage/$name"/lib/lib*.so.* "$py/audioextract/"
    rm -f dist/audioextract-*.whl
    local out=$PWD/dist
    (cd "$py" && /usr/bin/python3 -c "import setuptools.build_meta as b; b.build_wheel('$out')" >/dev/null)
    ls dist/audioextract-*.whl
}

# The npm tarball: the package's sources (a source build stays possible), the addon prebuilt for linux-x64 by
# prebuildify, the stripped module and FFmpeg libraries from the Linux folder, and node-gyp-build and
# node-addon-api (the headers a source build needs) bundled, so that installing it needs neither a compiler nor
# the network.
node_package() {
    local stage=build-dist/stage name=belmarun-audioextract-$VERSION-linux-x86_64 pkg=build-dist/node
    [ -f "$stage/$name/lib/belmarun-audioextract.so" ] || { echo "dist.sh node: run scripts/dist.sh linux first" >&2; exit 1; }
    node/build.sh --prebuild > build-dist/node-build.log 2>&1 || { cat build-dist/node-build.log; exit 1; }
    rm -rf "$pkg" && mkdir -p "$pkg/native/linux-x64" "$pkg/include" "$pkg/licenses" "$pkg/node_modules"
    cp -r node/package.json node/index.js node/index.d.ts node/install.js node/binding.gyp node/README.md node/lib \
        node/src "$pkg/"
    cp include/audioextract.h tools/module.h src/utf8_wide.h "$pkg/include/"
    cp -r node/node_modules/node-gyp-build node/node_modules/node-addon-api "$pkg/node_modules/"
    cp -r node/prebuilds "$pkg/"
    cp "$stage/$name/lib/belmarun-audioextract.so" "$stage/$name"/lib/lib*_belmarun.so.* "$pkg/native/linux-x64/"
    cp -r "$stage/$name"/share/doc/belmarun-audioextract/* "$pkg/licenses/"
    rm -f dist/belmarun-audioextract-"$VERSION".tgz
    (cd "$pkg" && npm pack --silent --pack-destination ../../dist >/dev/null)
    ls dist/belmarun-audioextract-"$VERSION".tgz
}

case $TARGET in
linux) linux ;;
node) node_package ;;
windows) windows ;;
*) echo "dist.sh: linux, node or windows, not $TARGET" >&2; exit 2 ;;
esac
