#!/usr/bin/env bash
# The Node.js package's tests: the addon built from source, then `node --test` against $AUDIOEXTRACT_MODULE.
set -euo pipefail
cd "$(dirname "$0")/../node"
./build.sh > build.log 2>&1 || { cat build.log; exit 1; }
exec node --test test/*.test.js
