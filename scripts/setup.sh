#!/usr/bin/env bash
# Sets up a fresh machine (idempotent): the Debian libraries the extension
# links, a .venv on CPython 3.12 with the build and test packages, and the
# extension itself built into that venv.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for pkg in libopenblas-dev liblapacke-dev libfftw3-dev g++ pkg-config; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "setup: installing ${missing[*]}" >&2
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

is_312() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; }
find_python() {
    local c roots=()
    command -v pyenv >/dev/null 2>&1 && roots+=("$(pyenv root)")
    roots+=("$HOME/.pyenv" /root/.pyenv /opt/pyenv)
    for c in python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12; do
        if command -v "$c" >/dev/null 2>&1 && is_312 "$(command -v "$c")"; then command -v "$c"; return 0; fi
    done
    for r in "${roots[@]}"; do
        for c in "$r"/versions/3.12*/bin/python3.12; do
            if [ -x "$c" ] && is_312 "$c"; then echo "$c"; return 0; fi
        done
    done
    return 1
}

if [ ! -x .venv/bin/python ] || ! is_312 .venv/bin/python; then
    py=$(find_python) || { echo "setup: no CPython 3.12 found (looked on PATH and in pyenv versions); install one, e.g. 'pyenv install 3.12'" >&2; exit 1; }
    rm -rf .venv
    "$py" -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check -r scripts/requirements.txt
NUVRA_SANITIZE="${NUVRA_SANITIZE:-OFF}" .venv/bin/python -m pip install -q --disable-pip-version-check \
    --no-build-isolation --no-deps . 
