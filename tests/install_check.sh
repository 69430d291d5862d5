#!/usr/bin/env bash
# Installs the build into a scratch root and imports every module from there,
# so that the install rules stay in step with what the build produces.
# Usage: install_check.sh BUILD_DIR SITE_PACKAGES PYTHON WITH_PARCEL(0|1) [VAR=value ...]
set -euo pipefail
build=$1 site=$2 python=$3 with_parcel=$4
shift 4
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" cmake --install "$build" >/dev/null
[ -e "$root$site/orvex/parcel.so" ] && installed=1 || installed=0
if [ "$installed" != "$with_parcel" ]; then
    echo "orvex/parcel.so installed: $installed, expected: $with_parcel" >&2
    exit 1
fi
cd "$root"
env "$@" PYTHONPATH="$root$site" ORVEX_ROOT="$root" "$python" -c '
import os, cipherel, orvex.ordinex, orvex.digestra, orvex._addrix
for m in (cipherel, orvex.ordinex, orvex.digestra, orvex._addrix):
    assert m.__file__.startswith(os.environ["ORVEX_ROOT"]), m.__file__
print("installed modules import")
'
