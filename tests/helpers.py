"""Small helpers shared by the test modules."""

import math

import numpy as np

NAN, INF = float("nan"), float("inf")
LAYOUTS = ["contiguous", "strided", "reversed", "unaligned"]


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
