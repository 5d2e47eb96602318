#!/usr/bin/env bash
# Makes CPython 3.11 or 3.12 available to scripts/find-python.sh.
#
#   scripts/older-pythons.sh 3.12
#
# Nothing to do when the host has that version already (pyenv's versions,
# a python3.12 on PATH, /usr/bin/python3.12). Otherwise, in this order:
# pyenv installs its newest release of that version (it builds from the
# source archive it downloads from python.org, so it needs that site and
# about five minutes); Debian's package, where this system has one (3.11 on
# Debian 12; needs root). Fails, saying why, when neither can.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
v=${1:-}
case "$v" in
    3.11|3.12) ;;
    *) echo "usage: $0 3.11|3.12" >&2; exit 2 ;;
esac

found() { PYVER=$v "$ROOT/scripts/find-python.sh" >/dev/null 2>&1; }

found && exit 0

tried=()
if command -v pyenv >/dev/null 2>&1; then
    echo "older-pythons: pyenv install $v (builds from source)" >&2
    if pyenv install --skip-existing "$v" >&2 && found; then
        exit 0
    fi
    tried+=("pyenv could not install $v (it downloads the source from python.org)")
else
    tried+=("no pyenv on this machine")
fi

if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq >&2 || true
    if apt-cache show "python$v-dev" >/dev/null 2>&1; then
        echo "older-pythons: apt-get install python$v-dev python$v-venv" >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "python$v-dev" "python$v-venv" >&2
        found && exit 0
        tried+=("Debian's python$v-dev installed, but its interpreter is not usable")
    else
        tried+=("Debian has no python$v-dev package for this system")
    fi
else
    tried+=("no apt-get as root to install Debian's python$v-dev")
fi

echo "error: no CPython $v for the suite:" >&2
printf '  - %s\n' "${tried[@]}" >&2
exit 1
