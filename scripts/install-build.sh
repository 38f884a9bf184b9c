#!/usr/bin/env bash
# Installs a build under PREFIX, into DESTDIR when it is set, as `make install`
# does. Only this copy runs as root: through sudo when the destination is not
# the caller's to write, or as it is under `sudo make install`; the manifest
# cmake writes into the build is then handed back to the build's owner, so no
# file in the build belongs to root.
# Usage: [DESTDIR=STAGE] scripts/install-build.sh BUILD_DIR PREFIX
set -euo pipefail
build=$1 prefix=$2
# The nearest folder that exists decides; cmake makes the rest.
existing=${DESTDIR:-}$prefix
while [ ! -e "$existing" ]; do existing=$(dirname "$existing"); done
as_root=()
[ -w "$existing" ] || as_root=(sudo)
"${as_root[@]}" env DESTDIR="${DESTDIR:-}" cmake --install "$build" --prefix "$prefix"
"${as_root[@]}" chown --reference="$build" "$build/install_manifest.txt"
