#!/usr/bin/env bash
# Installs the build into a scratch prefix and uses it as a host would: the installed command-line host,
# and a C program built from the installed header and pkg-config file.
set -euo pipefail
build=$1
version=$2  # the project version the build was configured with
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name belmarun-audioextract.so -not -path "*-packages/*")")
test -f "$prefix/include/audioextract.h"
test -f "$libdir/pkgconfig/belmarun-audioextract.pc"

"$prefix/bin/audioextract" --version | grep "^audioextract $version (libavformat " >/dev/null

cat > "$prefix/host.c" <<C
#include <stdio.h>
#include <string.h>
#include "audioextract.h"
int main(void)
{
    const char *v = audioextract_version();
    printf("%s\\n", v);
    return strncmp(v, "$version (", strlen("$version (")) != 0 || audioextract_status(0) != -1;
}
C
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -std=c99 -Wall -Werror "$prefix/host.c" -o "$prefix/host" $(pkg-config --cflags --libs belmarun-audioextract)
LD_LIBRARY_PATH="$libdir" "$prefix/host"
# The Python package, installed beside them, loads the module it carries.
pydir=$(dirname "$(find "$prefix" -path '*dist-packages/audioextract/__init__.py')")
(cd / && PYTHONPATH=$(dirname "$pydir") /usr/bin/python3 -c 'import audioextract; print(audioextract.version())') |
    grep "^$version (libavformat " >/dev/null
echo "install: ok"
