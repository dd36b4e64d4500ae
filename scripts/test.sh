#!/usr/bin/env bash
# Sets up (see setup.sh) and runs the whole test suite twice: against the
# normal build, then against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (scripts/sanitize_tests.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python -m pytest -q -p no:cacheprovider tests "$@"
bash scripts/sanitize_tests.sh "$@"
