#!/usr/bin/env bash
# The npm tarball (scripts/dist.sh node puts it in dist/) as a Node project takes it:
#   - npm install of the tarball into a fresh project, offline and with no compiler on PATH, uses the prebuilt
#     addon and the library it carries; the examples run there: the progress-bar script, and the upload server
#     answering an upload; without the prebuilt addon, npm rebuild builds it from the packed sources, offline;
#     a TypeScript user script type-checks against the package's types;
#   - in Debian 12 with its own Node 18 and no FFmpeg, the installed package extracts (skipped with
#     AE_SKIP_CHROOT=1).
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(belmarun-audioextract VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
tarball=$PWD/dist/belmarun-audioextract-$version.tgz
work=$(mktemp -d)
server=
trap '[ -z "$server" ] || kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "node_package_test: $*" >&2; exit 1; }

echo "== npm install of the tarball: offline, no compiler"
mkdir -p "$work/bin" "$work/project"
ln -s "$(command -v node)" "$work/bin/node"
ln -s "$(command -v npm)" "$work/bin/npm"
ln -s /bin/sh "$work/bin/sh"  # npm runs install scripts with it
(cd "$work/project" && env -i HOME="$work" PATH="$work/bin" npm init -y >/dev/null &&
    env -i HOME="$work" PATH="$work/bin" npm install --offline --no-audit --no-fund "$tarball" >"$work/install.txt" 2>&1) ||
    fail "install: $(cat "$work/install.txt")"
pkg=$work/project/node_modules/belmarun-audioextract
[ ! -e "$pkg/build" ] || fail "the addon was built from source; the prebuilt one should have loaded"
cp examples/node/extract.js examples/node/upload-server.js "$work/project/"
ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=440:duration=3" -f lavfi -i "testsrc=duration=3:size=160x120" \
    -c:a aac -c:v mpeg4 -shortest "$work/in.mp4"

echo "== the example script, run from the project with an empty environment"
(cd "$work/project" && env -i PATH="$work/bin" node extract.js "$work/in.mp4" "$work/out.mka") >"$work/ex.txt" 2>&1 ||
    fail "example: $(cat "$work/ex.txt")"
grep -q "stream 1: aac" "$work/ex.txt" && grep -q "^wrote .*out.mka: aac" "$work/ex.txt" || fail "example said: $(cat "$work/ex.txt")"
[ "$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$work/out.mka")" = aac ] || fail "example's output"
(cd "$work/project" && env -i PATH="$work/bin" node extract.js "$work/none.mp4") >"$work/ex.txt" 2>&1 &&
    fail "a missing input succeeded"
grep -q "ENOENT" "$work/ex.txt" || fail "a missing input said: $(cat "$work/ex.txt")"

echo "== the upload server example"
(cd "$work/project" && exec env -i PATH="$work/bin" TMPDIR="$work" node upload-server.js 0 >"$work/server.txt" 2>&1) &
server=$!
for _ in $(seq 100); do grep -q listening "$work/server.txt" && break; sleep 0.1; done
url=$(sed -n 's/^listening on //p' "$work/server.txt")
[ -n "$url" ] || fail "the server did not start: $(cat "$work/server.txt")"
node -e '
  const [url, file] = process.argv.slice(1);
  (async () => {
    const r = await fetch(url + "?ext=mka", { method: "POST", body: require("fs").readFileSync(file) });
    const body = await r.json();
    if (r.status !== 200 || body.result.codec !== "aac" || !(body.result.packetsWritten > 0)) {
      console.error(r.status, JSON.stringify(body)); process.exit(1);
    }
    const bad = await fetch(url, { method: "POST", body: "not media at all" });
    if (bad.status !== 422 || (await bad.json()).code !== "ERR_AE_OPEN_INPUT") process.exit(1);
  })();' "$url" "$work/in.mp4" || fail "the upload server's answers"
ls -d "$work"/upload-* 2>/dev/null && fail "the server left an upload folder behind"
kill "$server" && server=

echo "== without a prebuilt addon for the platform, the install script builds it from source, offline"
cp -r "$work/project" "$work/source-project"
rm -rf "$work/source-project/node_modules/belmarun-audioextract/prebuilds"
(cd "$work/source-project" && npm rebuild --offline belmarun-audioextract >"$work/rebuild.txt" 2>&1) ||
    fail "source build: $(tail -20 "$work/rebuild.txt")"
[ -f "$work/source-project/node_modules/belmarun-audioextract/build/Release/audioextract.node" ] ||
    fail "the source build made no addon: $(tail -20 "$work/rebuild.txt")"
(cd "$work/source-project" && env -i PATH="$work/bin" node extract.js "$work/in.mp4" "$work/source.mka") \
    >"$work/ex.txt" 2>&1 || fail "the source-built addon: $(cat "$work/ex.txt")"

echo "== a TypeScript user script against the package's types"
cat > "$work/project/user.ts" <<'TS'
import * as ae from 'belmarun-audioextract';
async function main(): Promise<number> {
  const p: ae.Probe = await ae.probe('in.mp4');
  const ac = new AbortController();
  const r = await ae.extract('in.mp4', Buffer.from('out.m4a'), { stream: p.audioStreams[0].index, signal: ac.signal,
    onProgress: (x: ae.Progress) => console.log(x.percent) });
  const name: Buffer = r.outPath;
  const all: ae.Result[] = await ae.extractAll('in.mkv', 'out', { overwrite: true, onProgress: (x, stream) => stream });
  try { await ae.probe('x'); } catch (e) { if (e instanceof ae.ProbeError) return e.code.length; }
  return name.length + all.length;
}
void main();
TS
node node/node_modules/typescript/bin/tsc --noEmit --strict --types node --typeRoots node/node_modules/@types \
    --baseUrl "$work/project" "$work/project/user.ts" || fail "the TypeScript check"

if [ "${AE_SKIP_CHROOT:-0}" != 1 ]; then
    echo "== Debian 12, its own Node 18, no FFmpeg and no compiler: the installed package extracts"
    mkdir "$work/chroot-project"
    cp -r "$work/project/node_modules" "$work/in.mp4" "$work/project/extract.js" "$work/chroot-project/"
    AE_CHROOT_BIND=$work/chroot-project AE_CHROOT_COMMAND='
        ! ls /usr/lib/x86_64-linux-gnu/libavformat* 2>/dev/null
        ! command -v cc
        node --version
        cd /bind && node extract.js in.mp4 /bind/out.m4a && test -s /bind/out.m4a' scripts/chroot.sh bookworm-bare \
        > "$work/chroot.txt" 2>&1 || fail "in Debian 12: $(tail -20 "$work/chroot.txt")"
    grep -q "^wrote /bind/out.m4a: aac" "$work/chroot.txt" || fail "in Debian 12: $(cat "$work/chroot.txt")"
fi
echo "node_package_test: ok"
