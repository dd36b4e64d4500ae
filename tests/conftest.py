import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code, env=None, timeout=120):
    """Runs `code` in a fresh interpreter with this test run's import path."""
    pool_vars = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "RUST_MIN_STACK", "RUST_BACKTRACE")
    full_env = {**{k: v for k, v in os.environ.items() if k not in pool_vars},
                "PYTHONPATH": os.pathsep.join(p for p in sys.path if p), **(env or {})}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full_env,
                          capture_output=True, text=True, timeout=timeout)


@pytest.fixture
def python_subprocess():
    return run_python
