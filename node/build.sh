#!/usr/bin/env bash
# Builds the addon from source into node/build/Release, against the headers of the Node installed here (nothing
# is downloaded for them), after fetching the package's development dependencies when they are missing.
#   node/build.sh --prebuild   also the addon the npm tarball carries, in node/prebuilds (prebuildify)
set -euo pipefail
cd "$(dirname "$0")"
npm_config_nodedir=$(dirname "$(dirname "$(readlink -f "$(command -v node)")")")
export npm_config_nodedir
if [ ! -d node_modules/node-addon-api ] || [ package.json -nt node_modules/.ae-installed ]; then
    npm install --no-save --ignore-scripts >/dev/null
    touch node_modules/.ae-installed
fi
gyp=$(npm prefix -g)/lib/node_modules/npm/node_modules/node-gyp/bin/node-gyp.js  # the one npm carries
[ -f build/Makefile ] && [ build/Makefile -nt binding.gyp ] || node "$gyp" configure
node "$gyp" build
if [ "${1:-}" = --prebuild ]; then
    rm -rf prebuilds
    npx --no-install prebuildify --napi --strip
fi
