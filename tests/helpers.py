"""Small helpers shared by the test modules."""

import math
import os

import numpy as np
import pytest

NAN, INF = float("nan"), float("inf")
LAYOUTS = ["contiguous", "strided", "reversed", "unaligned"]


def sanitized():
    """True under scripts/sanitize_tests.sh (the AddressSanitizer runtime is preloaded)."""
    return os.environ.get("NUVRA_SANITIZED") == "1" or "libasan" in os.environ.get("LD_PRELOAD", "")


# The sanitizer's allocator aborts on a failed allocation instead of raising.
needs_memory_error = pytest.mark.skipif(sanitized(), reason="the sanitizer aborts on a failed allocation")


def arr(values):
    return np.array(values, dtype=np.float64)


def layouts(a):
    """The same values as contiguous, strided, reversed and unaligned arrays."""
    strided = np.full(2 * len(a), 1e300)
    strided[::2] = a
    unaligned = np.zeros(len(a) * 8 + 1, dtype=np.uint8)[1:].view(np.float64)
    unaligned[:] = a
    return dict(zip(LAYOUTS, [a, strided[::2], np.ascontiguousarray(a[::-1])[::-1], unaligned]))


def in_order_sum(values):
    """Sum in index order from -0.0, one addition per term."""
    s = -0.0
    for v in values:
        s += v
    return s


def same(a, b):
    """Equal floats with equal signs of zero, NaN equal to NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def panics(fn, *args):
    """Calls fn(*args), which must raise the PanicException; returns its message."""
    try:
        fn(*args)
    except BaseException as e:  # noqa: BLE001
        assert (type(e).__module__, type(e).__name__) == ("pyo3_runtime", "PanicException"), repr(e)
        return e.args[0]
    raise AssertionError("expected a panic")


_INTERRUPT_CHILD = """
import sys, time
import numpy as np
from nuvra import _rust as nv
{setup}
inputs = [(v, v.copy()) for v in list(globals().values()) if isinstance(v, np.ndarray)]
print("go", time.monotonic(), flush=True)
try:
    {call}
except KeyboardInterrupt:
    caught = time.monotonic()
    assert all(np.array_equal(a, b, equal_nan=True) for a, b in inputs), "an input changed"
    nv.mean(np.arange(3.0))  # the module is still usable
    print("interrupted", caught, flush=True)
else:
    print("finished", flush=True)
"""


def assert_stops_on_ctrl_c(cases, delay=1.0, within=1.0):
    """Each case, {name: (setup code, call)}, runs in its own interpreter; SIGINT
    comes `delay` seconds into the call, which must then end in KeyboardInterrupt
    within `within` seconds, leaving its input arrays as they were."""
    import os, signal, subprocess, sys, time
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    names = list(cases)
    batch = max(2, os.cpu_count() or 2)
    problems = []
    for start in range(0, len(names), batch):
        procs = {n: subprocess.Popen(
            [sys.executable, "-c", _INTERRUPT_CHILD.format(setup=cases[n][0], call=cases[n][1])],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            for n in names[start:start + batch]}
        sent = {}
        for n, p in procs.items():
            line = p.stdout.readline().split()
            if line[:1] != ["go"]:
                problems.append(f"{n}: did not start: {p.communicate()[1][-2000:]}")
                continue
            time.sleep(max(0.0, float(line[1]) + delay - time.monotonic()))
            p.send_signal(signal.SIGINT)
            sent[n] = time.monotonic()
        for n, p in procs.items():
            try:
                out, err = p.communicate(timeout=within + 30)
            except subprocess.TimeoutExpired:
                p.kill()
                out, err = p.communicate()
            if n not in sent:
                continue
            words = out.split()
            if words[:1] != ["interrupted"]:
                problems.append(f"{n}: {words[:1] or 'no answer'} (exit {p.returncode}): {err[-2000:]}")
            elif float(words[1]) - sent[n] > within:
                problems.append(f"{n}: stopped {float(words[1]) - sent[n]:.2f} s after SIGINT")
    assert not problems, "\n".join(problems)
