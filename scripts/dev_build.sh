#!/usr/bin/env bash
# Developer build into a private folder, without touching the .venv install:
#   bash scripts/dev_build.sh /tmp/mybuild [extra cmake -D options]
# then run tests with PYTHONPATH=/tmp/mybuild .venv/bin/python -m pytest ...
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:?usage: dev_build.sh OUTDIR}")
shift
py="$PWD/.venv/bin/python"
mkdir -p "$out/nuvra"
.venv/bin/cmake -S . -B "$out/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$py" "$@" >/dev/null
.venv/bin/cmake --build "$out/build" -j 4
cp src/nuvra/*.py "$out/nuvra/"
cp "$out"/build/_rust*.so "$out/nuvra/"
