#!/usr/bin/env bash
# Installs the build into a scratch root and imports every installed module
# from there, so that the install rules stay in step with what the build
# produces.
# Usage: install_check.sh BUILD_DIR SITE_PACKAGES PYTHON EXT_SUFFIX WITH_PARCEL(0|1)
#                         MODULE,MODULE,... [VAR=value ...]
set -euo pipefail
build=$1 site=$2 python=$3 suffix=$4 with_parcel=$5 modules=$6
shift 6
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" cmake --install "$build" >/dev/null
[ -e "$root$site/orvex/parcel$suffix" ] && installed=1 || installed=0
if [ "$installed" != "$with_parcel" ]; then
    echo "orvex/parcel$suffix installed: $installed, expected: $with_parcel" >&2
    exit 1
fi
cd "$root"
env "$@" PYTHONPATH="$root$site" ORVEX_ROOT="$root" ORVEX_INSTALLED="$modules" "$python" -c '
import os, sys
for name in filter(None, os.environ["ORVEX_INSTALLED"].split(",")):
    __import__(name)
    module = sys.modules[name]
    assert module.__file__.startswith(os.environ["ORVEX_ROOT"]), module.__file__
print("installed modules import")
'
