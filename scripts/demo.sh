#!/usr/bin/env bash
# Sets up (see setup.sh) and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python scripts/demo.py
