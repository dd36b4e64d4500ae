#!/usr/bin/env bash
# Sets up (see setup.sh), installs the peers the benchmarks compare against
# (benchmarks/requirements.txt) and runs every benchmark against the
# installed extension:
#   bash scripts/bench.sh
# Each line prints nuvra's time, the peer's and their ratio (peer / nuvra:
# above 1 means nuvra is faster). Benchmarks are not tests and gate nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python -m pip install -q --disable-pip-version-check -r benchmarks/requirements.txt
# Some machines set these to work around old OpenBLAS builds; they slow a
# current NumPy, which would flatter the ratios.
unset OPENBLAS_CORETYPE OPENBLAS_L2_SIZE
cd benchmarks
for b in bench_*.py; do
    echo "== ${b%.py}"
    ../.venv/bin/python "$b"
done
