import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code, env=None, timeout=120):
    """Runs `code` in a fresh interpreter with this test run's import path."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    for key in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "RUST_MIN_STACK", "RUST_BACKTRACE"):
        full_env.pop(key, None)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.fixture
def python_subprocess():
    return run_python
