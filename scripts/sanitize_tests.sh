#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into build/asan and runs the whole test suite against it:
#   bash scripts/sanitize_tests.sh [pytest args]
# Any sanitizer report fails the run, also one from a child process (the fuzz
# and leak tests run their calls in children, which inherit this environment).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/dev_build.sh build/asan -DNUVRA_SANITIZE=ON

asan=$(g++ -print-file-name=libasan.so)
stdcxx=$(g++ -print-file-name=libstdc++.so)
for lib in "$asan" "$stdcxx"; do
    [ -f "$lib" ] || { echo "sanitize: $lib not found" >&2; exit 1; }
done
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# The ASan runtime must be the first library of the process. libstdc++ is
# preloaded right after it because python is not a C++ program: otherwise the
# runtime cannot find the real __cxa_throw when it sets up its interceptors,
# and the first C++ exception aborts with "CHECK failed ... real___cxa_throw".
# The UBSan runtime comes in as a dependency of the extension.
export LD_PRELOAD="$asan $stdcxx"
# No leak check: the interpreter deliberately keeps its objects at exit.
# ASan reports go to files, one per process, so that none is lost in a child
# whose output a test swallows; the fuzz runner puts them into its failures.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$logs/asan"
# UBSan writes to stderr whatever log_path says (beside ASan it does not
# honour it); it stops the process at the first report, so the test or the
# fuzz worker fails, and the fuzz runner quotes the report from its stderr.
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
# Python objects through malloc too, so that a reference-count error that
# frees an object early shows up as a use after free.
export PYTHONMALLOC=malloc
export PYTHONPATH="$PWD/build/asan"
# Tells tests that need a failing allocation to raise MemoryError to skip:
# the sanitizer's operator new reports a failed allocation and aborts instead
# of throwing std::bad_alloc.
export NUVRA_SANITIZED=1

status=0
.venv/bin/python -m pytest -q -p no:cacheprovider tests "$@" || status=$?
if compgen -G "$logs/*" >/dev/null; then
    echo "sanitize: sanitizer reports were written:" >&2
    for f in "$logs"/*; do
        echo "== $f" >&2
        cat "$f" >&2
    done
    status=1
fi
exit "$status"
