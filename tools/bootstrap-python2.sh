#!/usr/bin/env bash
# Unpacks Debian bullseye's Python 2.7 into a private prefix, without touching
# the system's apt configuration. Usage: bootstrap-python2.sh PREFIX [dbg]
# With "dbg" the debug interpreter (python2.7-dbg, sys.gettotalrefcount) is
# added to the same prefix.
set -euo pipefail

prefix=$1
flavour=${2:-}
stamp="$prefix/.complete${flavour:+-$flavour}"
[ -f "$stamp" ] && exit 0

# The mirror is whatever this machine's Debian source already uses.
mirror_uri() {
    local uri=""
    if compgen -G '/etc/apt/sources.list.d/*.sources' >/dev/null; then
        uri=$(awk '/^URIs:/ {print $2}' /etc/apt/sources.list.d/*.sources \
              | grep -v -- '-security' | grep -i debian | head -n 1 || true)
    fi
    if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
        uri=$(awk '$1 == "deb" && $0 !~ /security/ {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' \
              /etc/apt/sources.list)
    fi
    [ -n "$uri" ] || { echo "bootstrap: no Debian mirror in the apt sources" >&2; exit 1; }
    echo "$uri"
}

cache="${XDG_CACHE_HOME:-$HOME/.cache}/orvex-bullseye"
mkdir -p "$cache/lists/partial" "$cache/archives/partial" "$cache/debs"
echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(mirror_uri) bullseye main" > "$cache/sources.list"

packages=(python2.7 python2.7-minimal libpython2.7 libpython2.7-minimal
          libpython2.7-stdlib libpython2.7-dev python2.7-dev libffi7 libssl1.1)
if [ "$flavour" = dbg ]; then
    packages+=(python2.7-dbg libpython2.7-dbg)
fi

apt_opts=(-o "Dir::Etc::sourcelist=$cache/sources.list" -o Dir::Etc::sourceparts=-
          -o "Dir::State::Lists=$cache/lists" -o "Dir::Cache=$cache"
          -o Debug::NoLocking=1 -o APT::Sandbox::User=root -o APT::Get::List-Cleanup=0)

missing=()
for p in "${packages[@]}"; do
    compgen -G "$cache/debs/${p}_*.deb" >/dev/null || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    apt-get "${apt_opts[@]}" -qq update
    (cd "$cache/debs" && apt-get "${apt_opts[@]}" -qq download "${missing[@]}")
fi

mkdir -p "$prefix"
for p in "${packages[@]}"; do
    dpkg -x "$(compgen -G "$cache/debs/${p}_*.deb" | head -n 1)" "$prefix"
done
touch "$stamp"
