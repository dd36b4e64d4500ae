#!/usr/bin/env bash
# Sets up (see setup.sh) and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python -m pytest -q -p no:cacheprovider tests "$@"
