"""Hostile-argument generation and a crash-proof runner for every function of nuvra._rust.

The functions are discovered from ``_rust.__all__`` and their parameter names
from ``__text_signature__``.  Each parameter NAME maps to a kind of value
(``PARAM_KINDS``, with a few per-function exceptions in ``OVERRIDES``); a new
family only has to add its new parameter names there, and the shape of each
new function's result to ``RESULTS``.  Every call must either return a value
of that shape or raise one of TypeError, OverflowError, ValueError,
MemoryError or PanicException; it must leave its input arrays untouched, and
a result computed from an array with an unusual layout (reversed, strided,
unaligned, zero strides, read-only, a subclass) must equal the result for a
contiguous copy.

Modes: "main" (corner values of every parameter, then random hostile cases
with work-scaling integers kept small), "absurd" (huge sizes, counts and
floats, one parameter at a time) and "leak" (small arrays, used by the leak
and borrow checks of tests/test_leaks.py).

``run_fuzz`` runs the calls in worker processes: a worker that crashes or
stops answering is killed and replaced, the failure names the function and
the arguments, and the remaining cases still run.  Cases are numbered and
built from a fixed seed, so every failure can be replayed on its own:

    python tests/fuzz_support.py --replay FUNCTION MODE INDEX

This module does not import nuvra at import time: the borrow-registry child
must install its registry before the extension is first loaded.
"""

from __future__ import annotations

import collections
import ctypes
import gc
import json
import math
import os
import re
import resource
import selectors
import signal
import subprocess
import sys
import tempfile
import time
import weakref
import zlib

import numpy as np

SEED = int(os.environ.get("NUVRA_FUZZ_SEED", "20240611"))
HERE = os.path.dirname(os.path.abspath(__file__))

# ---------------------------------------------------------------------------
# Parameter kinds, by parameter name.
#
#   arr1      1-D float64 array            arr2   2-D float64 array
#   iarr1     1-D int64 array (small counts; huge and negative ones as well)
#   float     a float
#   int       an integer whose size does not scale the work (a degree of
#             freedom, a minimum length, a delay): the full range is tried
#   size      an integer that scales work or memory (an order, a count of
#             scales, bins or iterations, a dimension): bounded in the main
#             fuzz, probed separately with absurd values
#   int32     a signed 32-bit integer
#   bool, str, floatseq (a sequence of floats)
#
# An unknown parameter name fails the suite: add it here (one line per name).
PARAM_KINDS = {
    # one-dimensional signals
    "signal": "arr1", "x": "arr1", "y": "arr1", "z": "arr1", "values": "arr1",
    "data": "arr1", "p": "arr1", "q": "arr1", "source": "arr1", "target": "arr1",
    "spectrum": "arr1", "communities": "arr1",
    # two-dimensional arrays
    "matrix": "arr2", "v1": "arr2", "v2": "arr2", "matrices_flat": "arr2",
    "embedded": "arr2", "trajectory": "arr2", "signals": "arr2", "adjacency": "arr2",
    "correlation_matrix": "arr2", "points": "arr2", "birth_death": "arr2",
    "pairs_a": "arr2", "pairs_b": "arr2", "x_batch": "arr2", "y_batch": "arr2",
    # int64 arrays
    "cycles_per_cohort": "iarr1",
    # floats
    "dt": "float", "window_fraction": "float", "stride_fraction": "float",
    "integration_time": "float", "threshold": "float", "threshold_percentile": "float",
    "r_threshold": "float", "a_threshold": "float", "tol": "float", "resolution": "float",
    "fs": "float", "alpha": "float", "base": "float", "r": "float",
    # integers that do not scale the work
    "ddof": "int", "min_window": "int", "min_baseline_cycles": "int",
    "min_line_length": "int", "min_line": "int", "delay": "int", "min_separation": "int",
    "min_time_sep": "int", "max_points": "int", "kernel_fraction": "int", "window": "int",
    # integers that scale work or memory
    "order": "size", "n_signals": "size", "max_iter": "size", "n_reference": "size",
    "n_bins": "size", "m": "size", "m_max": "size", "max_scale": "size",
    "min_scale": "size", "n_scales": "size", "nperseg": "size", "noverlap": "size",
    "dim": "size", "tau": "size", "max_dim": "size", "max_lag": "size",
    "window_size": "size", "stride": "size", "segment_size": "size",
    "n_harmonics": "size", "lag": "size", "history": "size",
    # others
    "fisher": "bool", "normalize": "bool", "forward": "bool", "backward": "bool",
    "method": "str",
}

# Parameters whose kind differs from the one their name has elsewhere.
OVERRIDES = {
    ("percentiles", "q"): "floatseq",
    ("tsallis_entropy", "q"): "float",
    ("spectral_bandwidth", "p"): "int",
    ("dfa", "min_scale"): "int32", ("dfa", "max_scale"): "int32", ("dfa", "order"): "int32",
    **{(f, "dt"): "size" for f in ("ftle", "lyapunov_spectrum", "rolling_ftle",
                                   "rolling_lyapunov_spectrum", "estimate_jacobian_py")},
    **{(f, "r"): "arr2" for f in ("recurrence_rate_rust", "determinism_rust",
                                  "laminarity_rust", "trapping_time_rust",
                                  "entropy_recurrence_rust", "max_diagonal_line_rust")},
}

# Values that make a call do meaningful work (used while another parameter is
# the one under test).  Per-function entries where the generic one would only
# ever reach an early exit.
TYPICAL_OVERRIDES = {
    ("rt_geometry_batch", "n_signals"): 2,
    ("find_stable_baseline_1d", "window_fraction"): 0.2,
    ("find_stable_baseline_1d", "stride_fraction"): 0.05,
}

# Documented result shapes: "f" float, "i" int, "a1"/"a2" float64 arrays of
# that many dimensions, a tuple of shapes, or [shape] for a list of them.
# A function missing here is checked structurally (only those atoms, tuples
# and lists).
_F = "f"
RESULTS = {
    **dict.fromkeys(
        "mean std variance rms peak_to_peak skewness kurtosis crest_factor pulsation_index "
        "euclidean_distance cosine_distance manhattan_distance dtw_distance "
        "earth_movers_distance cosine_similarity subspace_angle sample_entropy "
        "permutation_entropy approximate_entropy lempel_ziv_complexity entropy_rate "
        "hurst_exponent dfa hurst_r2 rescaled_range autocorrelation correlation covariance "
        "acf_decay_time partial_correlation spearman_correlation kendall_tau "
        "kaplan_yorke_dimension_rust correlation_dimension_rust recurrence_rate_rust "
        "determinism_rust laminarity_rust trapping_time_rust entropy_recurrence_rust "
        "density average_path_length modularity wasserstein_distance mutual_information "
        "transfer_entropy cond_mutual_information shannon_entropy renyi_entropy "
        "tsallis_entropy conditional_entropy joint_entropy kl_divergence js_divergence "
        "information_gain cross_entropy hellinger_distance total_variation_distance "
        "dominant_frequency spectral_entropy spectral_centroid spectral_bandwidth "
        "spectral_rolloff spectral_flatness harmonic_ratio total_harmonic_distortion "
        "spectral_slope".split(), _F),
    **dict.fromkeys(
        "zero_crossings mean_crossings lag_at_max_xcorr max_diagonal_line_rust "
        "mutual_information_delay optimal_embedding_dimension".split(), "i"),
    **dict.fromkeys(
        "derivative integral curvature rate_of_change first_derivative second_derivative "
        "gradient finite_difference jerk multiscale_entropy autocorrelation_function "
        "partial_autocorrelation cross_correlation lyapunov_spectrum maximal_lyapunov "
        "degree_centrality betweenness_centrality closeness_centrality "
        "eigenvector_centrality clustering_coefficient louvain label_propagation "
        "rolling_spearman".split(), "a1"),
    **dict.fromkeys(
        "estimate_jacobian_py recurrence_matrix_rust delay_embedding multivariate_embedding "
        "attractor_reconstruction_rust adjacency_from_correlation persistent_homology "
        "pairwise_distance_matrix mutual_information_matrix transfer_entropy_matrix "
        "batch_rolling_spearman".split(), "a2"),
    **dict.fromkeys(
        "largest_lyapunov_core coherence wavelet_coherence power_spectral_density "
        "fft_magnitude hilbert_transform".split(), ("a1", "a1")),
    **dict.fromkeys("rolling_ftle cross_spectral_density".split(), ("a1", "a1", "a1")),
    **dict.fromkeys("rt_geometry_single rt_geometry_batch".split(), ("a1",) * 5),
    **dict.fromkeys("variance_growth long_range_correlation".split(), ("a1", "f")),
    "min_max": ("f", "f"),
    "ftle": ("f", "f"),
    "percentiles": ["f"],
    "find_stable_baseline_1d": ("i", "i"),
    "detrended_fluctuation_analysis": ("a1", "a1", "f"),
    "rolling_lyapunov_spectrum": ("a1", ["a1"]),
    "false_nearest_neighbors": ("a1", "i"),
    "persistence_statistics": ("f", "f", "f", "f", "i"),
    "signal_to_noise": ("f", "f", "f", "f"),
    "connected_components": [["i"]],
    "batch_transfer_entropy_py": [["f"]],
    "granger_matrix": ("a2", "a2"),
}

# Strings worth trying for str parameters (all known method names).
METHOD_NAMES = ["rs", "dfa", "central", "forward", "backward", "finite_difference"]

ALLOWED_ERRORS = (TypeError, OverflowError, ValueError, MemoryError)
MAX_HARD_FAILURES = 3  # crashes or hangs per function before its fuzz stops


def xfail_params(names, known):
    """Test parameters for `names`, those in `known` (name -> reason) marked as non-strict xfails."""
    import pytest
    return [pytest.param(n, marks=pytest.mark.xfail(reason=known[n], strict=False))
            if n in known else n for n in names]


class UnknownParameter(Exception):
    pass


def sanitized():
    """True under scripts/sanitize_tests.sh (the AddressSanitizer runtime is preloaded)."""
    return os.environ.get("NUVRA_SANITIZED") == "1" or "libasan" in os.environ.get("LD_PRELOAD", "")


def call_timeout():
    default = 20.0 if sanitized() else 5.0
    return float(os.environ.get("NUVRA_FUZZ_TIMEOUT", default))


# ---------------------------------------------------------------------------
# Hostile helper objects

class FuzzSentinelError(Exception):
    """Raised by the helper objects' own conversion methods; it must pass through."""


class IndexOf:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    def __repr__(self):
        return f"IndexOf({self.v!r})"


class FloatOf:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v

    def __repr__(self):
        return f"FloatOf({self.v!r})"


class RaisingNumber:
    def __index__(self):
        raise FuzzSentinelError("__index__")

    def __float__(self):
        raise FuzzSentinelError("__float__")

    def __bool__(self):
        raise FuzzSentinelError("__bool__")

    def __repr__(self):
        return "RaisingNumber()"


class RaisingSequence:
    """A sequence whose length fails and whose iteration fails half way."""

    def __len__(self):
        raise FuzzSentinelError("__len__")

    def __getitem__(self, i):
        if i >= 2:
            raise FuzzSentinelError("__getitem__")
        return float(i)

    def __iter__(self):
        yield 1.0
        raise FuzzSentinelError("__iter__")

    def __repr__(self):
        return "RaisingSequence()"


class LyingSequence:
    """Claims a huge length but yields three items."""

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return 25.0 * i

    def __repr__(self):
        return "LyingSequence()"


class SubArray(np.ndarray):
    pass


# ---------------------------------------------------------------------------
# Values

SPECIAL_FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 5e-324, -5e-324, 2.2250738585072014e-308,
                  1e-300, 1e308, -1e308, 1.7976931348623157e308, math.inf, -math.inf, math.nan]
FILL_PATTERNS = ["normal", "normal", "normal", "integers", "nan_mix", "all_nan", "inf_mix",
                 "all_inf", "signed_zero", "subnormal", "huge", "tiny", "constant",
                 "constant_runs", "ramp", "alternating", "zero_one", "everything"]


def fill(g, n, pattern):
    """n float64 values following `pattern` (contiguous, freshly allocated)."""
    if pattern == "normal":
        return g.standard_normal(n) * float(g.choice([1.0, 1e-3, 1e3]))
    if pattern == "integers":
        return g.integers(-3, 4, n).astype(np.float64)
    if pattern == "nan_mix":
        a = g.standard_normal(n)
        a[g.random(n) < 0.3] = np.nan
        return a
    if pattern == "all_nan":
        return np.full(n, np.nan)
    if pattern == "inf_mix":
        a = g.standard_normal(n)
        a[g.random(n) < 0.2] = np.inf
        a[g.random(n) < 0.2] = -np.inf
        return a
    if pattern == "all_inf":
        return np.where(g.random(n) < 0.5, np.inf, -np.inf)
    if pattern == "signed_zero":
        return np.where(g.random(n) < 0.5, 0.0, -0.0)
    if pattern == "subnormal":
        return g.choice([5e-324, -5e-324, 1e-310, -2e-315, 0.0], n)
    if pattern == "huge":
        return g.choice([1e308, -1e308, 1.7976931348623157e308, 8.9e307], n)
    if pattern == "tiny":
        return g.standard_normal(n) * 1e-300
    if pattern == "constant":
        return np.full(n, float(g.choice(SPECIAL_FLOATS[:6] + [3.25, 1e308])))
    if pattern == "constant_runs":
        vals = g.standard_normal(max(1, n // 5 + 1))
        return np.repeat(vals, 5)[:n].copy() if n else np.empty(0)
    if pattern == "ramp":
        return np.arange(n, dtype=np.float64) * float(g.choice([1.0, -0.5, 1e-9]))
    if pattern == "alternating":
        return np.where(np.arange(n) % 2 == 0, 1.0, -1.0)
    if pattern == "zero_one":
        return g.integers(0, 2, n).astype(np.float64)
    if pattern == "everything":
        a = g.choice(np.array(SPECIAL_FLOATS), n)
        mask = g.random(n) < 0.3
        a[mask] = g.standard_normal(int(mask.sum()))
        return a
    raise AssertionError(pattern)


LAYOUTS_1D = ["c", "c", "c", "reversed", "strided", "negstrided", "column", "readonly",
              "unaligned", "packed", "zero_stride", "subclass", "bigendian"]


def layout_1d(base, layout):
    n = base.shape[0]
    if layout == "c":
        return base
    if layout == "reversed":
        return base[::-1].copy()[::-1]
    if layout == "strided":
        big = np.full(n * 3, np.nan)
        big[::3] = base
        return big[::3]
    if layout == "negstrided":
        big = np.full(n * 2, np.nan)
        big[1::2] = base[::-1]
        return big[::-2]
    if layout == "column":
        m = np.full((n, 3), np.nan)
        m[:, 1] = base
        return m[:, 1]
    if layout == "readonly":
        a = base.copy()
        a.flags.writeable = False
        return a
    if layout == "unaligned":
        raw = np.zeros(n * 8 + 1, np.uint8)
        a = raw[1:].view(np.float64)
        a[:] = base
        return a
    if layout == "packed":
        s = np.zeros(n, np.dtype([("a", "<f8"), ("b", "<f4")]))
        s["a"] = base
        return s["a"]
    if layout == "zero_stride":
        return np.broadcast_to(base[:1] if n else base, (n,))
    if layout == "subclass":
        return base.view(SubArray)
    if layout == "bigendian":
        return base.astype(">f8")
    raise AssertionError(layout)


LAYOUTS_2D = ["C", "C", "C", "F", "T", "rev", "rowrev", "strided", "block", "readonly",
              "broadcast", "unaligned", "matrix", "bigendian"]


def layout_2d(base, layout):
    r, c = base.shape
    if layout == "C":
        return base
    if layout == "F":
        return np.asfortranarray(base)
    if layout == "T":
        return base.T.copy().T
    if layout == "rev":
        return base[::-1, ::-1].copy()[::-1, ::-1]
    if layout == "rowrev":
        return base[::-1].copy()[::-1]
    if layout == "strided":
        big = np.full((r * 2, c * 3), np.nan)
        big[::2, ::3] = base
        return big[::2, ::3]
    if layout == "block":
        big = np.full((r + 2, c + 3), np.nan)
        big[1:r + 1, 2:c + 2] = base
        return big[1:r + 1, 2:c + 2]
    if layout == "readonly":
        a = base.copy()
        a.flags.writeable = False
        return a
    if layout == "broadcast":
        return np.broadcast_to(base[:1] if r else base, (r, c))
    if layout == "unaligned":
        raw = np.zeros(r * c * 8 + 1, np.uint8)
        a = raw[1:].view(np.float64).reshape(r, c)
        a[...] = base
        return a
    if layout == "matrix":
        return np.asmatrix(base)
    if layout == "bigendian":
        return base.astype(">f8")
    raise AssertionError(layout)


def _wrong_1d_options(base):
    """Values that are not a 1-D float64 array, built from `base`."""
    return [
        (base.tolist(), "list"), (tuple(base.tolist()), "tuple"), (None, "None"),
        (np.float64(1.5), "np.float64 scalar"), (1.5, "float"), (np.array(1.5), "0-d array"),
        (base.reshape(-1, 1), "2-D (n,1) array"), (base.astype(np.float32), "float32 array"),
        (base.astype(np.int64), "int64 array"), (base.astype(np.complex128), "complex128 array"),
        (base.astype(object), "object array"), (base > 0, "bool array"), ("1,2,3", "str"),
        (b"\x00" * 16, "bytes"), (memoryview(base), "memoryview"), ({"a": 1}, "dict"),
        (np.empty((0, 0)), "2-D empty array"),
        (np.ma.masked_array(base, mask=np.arange(len(base)) % 3 == 1), "masked array"),
    ]


def _wrong_2d_options(base):
    """Values that are not a 2-D float64 array, built from `base`."""
    return [
        (base.ravel(), "1-D array"), (base[None], "3-D array"), (base.tolist(), "list of lists"),
        (base.astype(np.float32), "float32 array"), (base.astype(np.int64), "int64 array"),
        (None, "None"), (np.array(0.0), "0-d array"), (0.0, "float"),
        (base.astype(object), "object array"),
    ]


def _wrong(options, k):
    v, d = options[k]
    return v, (f"<subclass: {d}>" if d == "masked array" else f"<wrong: {d}>")


def wrong_array_1d(g, n):
    options = _wrong_1d_options(fill(g, max(n, 1), "normal"))
    return _wrong(options, int(g.integers(len(options))))


def wrong_array_2d(g, r, c):
    options = _wrong_2d_options(fill(g, max(r, 1) * max(c, 1), "normal").reshape(max(r, 1), max(c, 1)))
    return _wrong(options, int(g.integers(len(options))))


def array_1d(g, n, pattern, layout):
    a = layout_1d(fill(g, n, pattern), layout)
    return a, f"A1(n={n}, {pattern}, {layout})"


def array_2d(g, r, c, pattern, layout):
    base = fill(g, r * c, pattern).reshape(r, c)
    if pattern == "zero_one" and r == c and r > 0:
        base = np.maximum(base, base.T)  # an undirected adjacency now and then
    return layout_2d(base, layout), f"A2(shape=({r},{c}), {pattern}, {layout})"


# Scalar value sets: (valid-looking values, values that must fail conversion or be hostile)
INT_VALID = [0, 1, 2, 3, 5, 10, 100, 2**31 - 1, 2**31, 2**32, 2**63 - 1, 2**63, 2**64 - 1,
             -1, -2**31 - 1, -2**63, True, False]
SIZE_VALID = [0, 1, 2, 3, 4, 5, 8, 10, 16, 32, -1, -2]
INT32_VALID = [-2**31, -1, 0, 1, 2, 3, 4, 8, 16, 100, 2**31 - 1]
INT_HOSTILE = [2**64, 2**100, -2**64, -2**63 - 1, 1.5, 2.0, math.nan, None, "3", b"3",
               np.int64(3), np.uint64(2**64 - 1), np.int32(-1), np.float64(2.0),
               IndexOf(2), IndexOf(-5), IndexOf(2**70), RaisingNumber(), [1], 3 + 0j,
               math.inf, 1e308]
FLOAT_VALID = SPECIAL_FLOATS + [0.2, 0.05, 10.0, 100.0, 1e-10]
FLOAT_HOSTILE = [None, "1.0", b"1", 2**64, 2**1100, -2**1100, 7, True, np.float32(0.5),
                 np.float64(np.nan), FloatOf(0.25), FloatOf("x"), RaisingNumber(), 1 + 2j,
                 [1.0], np.array([1.0, 2.0])]
BOOL_VALID = [True, False, np.True_, np.False_]
BOOL_HOSTILE = [0, 1, None, "True", 1.0, RaisingNumber(), np.array([True, False])]
STR_VALID = METHOD_NAMES + ["", "RS", "DFA", "x" * 10000, "\x00dfa", "é", "rs "]
STR_HOSTILE = [None, b"dfa", 1, "\ud800", ["rs"], np.str_("dfa")]
SEQ_VALID = [[], [50], [0, 25, 50, 75, 100], (10, 90), [-50], [150], [100.0], [99.999],
             [math.nan], [math.inf], [-math.inf], [1e308], [-1e308], [5e-324],
             list(range(0, 101, 1)), range(0, 101, 10), np.array([10.0, 90.0]),
             [True, 50], [np.float32(12.5)], LyingSequence()]
SEQ_HOSTILE = ["50", 50, None, [None], ["a"], [1, "b"], {10, 20}, {"a": 1},
               (x for x in [10.0]), RaisingSequence(), [RaisingNumber()],
               np.array([[1.0, 2.0], [3.0, 4.0]]), b"50"]


def _pick(g, seq):
    return seq[int(g.integers(len(seq)))]


def scalar_value(g, kind, hostile_p):
    """A random scalar-ish value of `kind` and its description."""
    hostile = g.random() < hostile_p
    if kind in ("int", "size", "int32"):
        if hostile:
            v = _pick(g, INT_HOSTILE)
        elif kind == "int":
            v = _pick(g, INT_VALID) if g.random() < 0.5 else int(g.integers(0, 12))
        elif kind == "size":
            v = _pick(g, SIZE_VALID) if g.random() < 0.5 else int(g.integers(0, 12))
        else:
            v = _pick(g, INT32_VALID) if g.random() < 0.5 else int(g.integers(0, 12))
    elif kind == "float":
        if hostile:
            v = _pick(g, FLOAT_HOSTILE)
        else:
            v = _pick(g, FLOAT_VALID) if g.random() < 0.6 else float(g.standard_normal())
    elif kind == "bool":
        v = _pick(g, BOOL_HOSTILE if hostile else BOOL_VALID)
    elif kind == "str":
        v = _pick(g, STR_HOSTILE if hostile else STR_VALID)
    elif kind == "floatseq":
        v = _pick(g, SEQ_HOSTILE if hostile else SEQ_VALID)
    else:
        raise AssertionError(kind)
    return _fresh(v), _short_repr(v)


def _short_repr(v):
    if isinstance(v, np.ndarray):
        return f"np.array({v.tolist()!r})" if v.size <= 8 else f"<ndarray shape={v.shape}>"
    r = repr(v)
    if len(r) <= 60:
        return r
    if isinstance(v, (list, tuple)):
        return f"<{type(v).__name__} of {len(v)} items>"
    if isinstance(v, str):
        return f"<str of {len(v)} characters starting {v[:10]!r}>"
    return r[:50] + "..."


# Array sizes per mode: the main fuzz goes to a few hundred, the leak and
# borrow checks stay small so that thousands of calls are quick.
SIZES = {
    "main": {"long": (100, 301), "side": 40, "long2d": (60, 201)},
    "leak": {"long": (20, 65), "side": 12, "long2d": (16, 41)},
}


def random_array(g, kind, mode, hostile_p):
    sizes = SIZES["leak" if mode == "leak" else "main"]
    if kind == "arr1":
        n = int(_pick(g, [0, 1, 2, 3, 4, 5, 8, 16])) if g.random() < 0.6 else int(
            g.integers(*sizes["long"]))
        if g.random() < hostile_p:
            return wrong_array_1d(g, n)
        return array_1d(g, n, _pick(g, FILL_PATTERNS), _pick(g, LAYOUTS_1D))
    if kind == "arr2":
        side = sizes["side"]
        shape = _pick(g, ["empty", "row", "col", "small", "square", "tall", "wide", "random"])
        if shape == "empty":
            r, c = _pick(g, [(0, 0), (0, 3), (3, 0), (0, 1), (1, 0)])
        elif shape == "row":
            r, c = 1, int(g.integers(1, side))
        elif shape == "col":
            r, c = int(g.integers(1, side)), 1
        elif shape == "small":
            r, c = int(g.integers(1, 5)), int(g.integers(1, 5))
        elif shape == "square":
            r = c = int(g.integers(1, side))
        elif shape == "tall":
            r, c = int(g.integers(*sizes["long2d"])), int(g.integers(1, 6))
        elif shape == "wide":
            r, c = int(g.integers(1, 6)), int(g.integers(*sizes["long2d"]))
        else:
            r, c = int(g.integers(1, side)), int(g.integers(1, side))
        if g.random() < hostile_p:
            return wrong_array_2d(g, r, c)
        return array_2d(g, r, c, _pick(g, FILL_PATTERNS), _pick(g, LAYOUTS_2D))
    if kind == "iarr1":
        n = int(g.integers(0, 6))
        if g.random() < hostile_p:
            options = [
                (lambda: np.arange(n, dtype=np.float64), "float64 array"),
                (lambda: np.arange(n, dtype=np.int32), "int32 array"),
                (lambda: np.arange(n, dtype=np.uint64), "uint64 array"),
                (lambda: list(range(n)), "list"),
                (lambda: None, "None"),
                (lambda: np.zeros((n, 1), np.int64), "2-D int64 array"),
                (lambda: np.ones(n, bool), "bool array"),
            ]
            make, desc = _pick(g, options)
            return make(), f"<wrong: {desc}>"
        special = [0, 1, 2, 3, 5, 8, -1, -2**63, 2**61, 2**62, 2**63 - 1]
        vals = [int(g.integers(0, 9)) if g.random() < 0.85 else _pick(g, special)
                for _ in range(n)]
        a = np.array(vals, dtype=np.int64)
        layout = _pick(g, ["c", "c", "reversed", "strided", "readonly", "bigendian"])
        if layout == "reversed":
            a = a[::-1].copy()[::-1]
        elif layout == "strided":
            big = np.full(max(3 * n, 1), 7, np.int64)
            big[::3][:n] = a
            a = big[::3][:n]
        elif layout == "readonly":
            a.flags.writeable = False
        elif layout == "bigendian":
            a = a.astype(">i8")
        return a, f"I1({vals}, {layout})"
    raise AssertionError(kind)


def typical_value(fname, pname, kind):
    """A value that lets the call get past its early exits."""
    if (fname, pname) in TYPICAL_OVERRIDES:
        v = TYPICAL_OVERRIDES[(fname, pname)]
        return v, repr(v)
    g = np.random.default_rng([SEED, 7])
    if kind == "arr1":
        return g.standard_normal(64), "A1(n=64, normal, c)"
    if kind == "arr2":
        if fname == "rt_geometry_batch":
            return g.standard_normal((3, 40)), "A2(shape=(3,40), normal, C)"
        return g.standard_normal((24, 3)), "A2(shape=(24,3), normal, C)"
    if kind == "iarr1":
        return np.array([4, 6, 0], np.int64), "I1([4, 6, 0], c)"
    v = {"float": 0.5, "int": 2, "size": 3, "int32": 4, "bool": True,
         "str": "rs", "floatseq": [10.0, 50.0, 90.0]}[kind]
    return v, repr(v)


# ---------------------------------------------------------------------------
# Signatures and cases

def parameters(fn):
    """[(name, optional)] from the function's __text_signature__."""
    sig = fn.__text_signature__
    if not sig or not (sig.startswith("(") and sig.endswith(")")):
        raise UnknownParameter(f"{fn.__name__}: no usable __text_signature__ ({sig!r})")
    inner = sig[1:-1].strip()
    out = []
    for part in filter(None, (p.strip() for p in inner.split(","))):
        name, _, default = part.partition("=")
        if name in ("$module", "$self", "/", "*"):
            continue
        out.append((name.strip(), bool(default)))
    return out


def kind_of(fname, pname):
    if (fname, pname) in OVERRIDES:
        return OVERRIDES[(fname, pname)]
    if pname in PARAM_KINDS:
        return PARAM_KINDS[pname]
    raise UnknownParameter(
        f"parameter '{pname}' of {fname}() has no kind: add it to PARAM_KINDS "
        f"(or OVERRIDES for this function) in tests/fuzz_support.py")


class Case:
    __slots__ = ("args", "kwargs", "desc")

    def __init__(self, args, kwargs, desc):
        self.args, self.kwargs, self.desc = args, kwargs, desc


def _assemble(fname, params, chosen, omit, g, structural):
    """Builds positional and keyword arguments from per-parameter values."""
    args, kwargs, parts = [], {}, []
    as_keywords = g.random() < 0.25 if g is not None else False
    for (pname, optional), (value, desc) in zip(params, chosen):
        if optional and pname in omit:
            continue
        if as_keywords or kwargs:
            kwargs[pname] = value
            parts.append(f"{pname}={desc}")
        else:
            args.append(value)
            parts.append(desc)
    if structural == "missing" and (args or kwargs):
        if kwargs:
            k = next(iter(kwargs))
            del kwargs[k]
            parts = [p for p in parts if not p.startswith(k + "=")]
        else:
            args.pop()
            parts.pop()
    elif structural == "extra":
        args_extra = 1.0
        if kwargs:  # positional after keywords is not possible: add a keyword instead
            kwargs["__extra__"] = args_extra
            parts.append("__extra__=1.0")
        else:
            args.extend([args_extra] * (len(params) + 1 - len(args)))
            parts.append("<extra positional 1.0 ...>")
    elif structural == "unknown_kw":
        kwargs["bogus"] = 1
        parts.append("bogus=1")
    elif structural == "dup" and args:
        kwargs[params[0][0]] = args[0]
        parts.append(f"{params[0][0]}=<same as first>")
    return tuple(args), kwargs, f"{fname}({', '.join(parts)})"


def corner_cases(fname, params):
    """Deterministic cases: each special value of each parameter with the others typical."""
    kinds = [kind_of(fname, p) for p, _ in params]
    typical = [typical_value(fname, p, k) for (p, _), k in zip(params, kinds)]
    out = []
    for i, kind in enumerate(kinds):
        out.extend((i, maker) for maker in _corner_values(kind))
    return kinds, typical, out


def _corner_values(kind):
    """Makers (g -> (value, desc)) of the special values of one kind."""
    makers = []
    if kind == "arr1":
        for n in (0, 1, 2, 3, 4, 7, 300):
            for pat in ("normal", "all_nan", "everything", "constant", "signed_zero"):
                makers.append(lambda g, n=n, pat=pat: array_1d(g, n, pat, "c"))
        for layout in LAYOUTS_1D:
            makers.append(lambda g, layout=layout: array_1d(g, 50, "normal", layout))
            makers.append(lambda g, layout=layout: array_1d(g, 2, "nan_mix", layout))
        for k in range(len(_wrong_1d_options(np.zeros(1)))):
            makers.append(lambda g, k=k: _wrong(_wrong_1d_options(np.linspace(-1.0, 1.0, 5)), k))
    elif kind == "arr2":
        shapes = [(0, 0), (0, 3), (3, 0), (1, 1), (1, 40), (40, 1), (2, 2), (3, 3), (5, 5),
                  (30, 3), (3, 30), (200, 2)]
        for shp in shapes:
            for pat in ("normal", "all_nan", "everything", "zero_one"):
                makers.append(lambda g, shp=shp, pat=pat: array_2d(g, *shp, pat, "C"))
        for layout in LAYOUTS_2D:
            makers.append(lambda g, layout=layout: array_2d(g, 12, 4, "normal", layout))
            makers.append(lambda g, layout=layout: array_2d(g, 1, 3, "normal", layout))
        for k in range(len(_wrong_2d_options(np.zeros((1, 1))))):
            makers.append(lambda g, k=k: _wrong(_wrong_2d_options(np.arange(6.0).reshape(2, 3)), k))
    elif kind == "iarr1":
        for vals in ([], [0], [1], [3, 4], [0, 0, 0], [-1], [-2**63], [2**63 - 1], [2**61],
                     [2**62], [5, -1], [2, 2**62]):
            makers.append(lambda g, vals=vals: (np.array(vals, np.int64), f"I1({vals}, c)"))
        makers.append(lambda g: (np.arange(3, dtype=np.float64), "<wrong: float64 array>"))
        makers.append(lambda g: (np.arange(3, dtype=np.int32), "<wrong: int32 array>"))
        makers.append(lambda g: ([1, 2], "<wrong: list>"))
        makers.append(lambda g: (None, "None"))
    else:
        values = {"int": INT_VALID + INT_HOSTILE, "size": SIZE_VALID + INT_HOSTILE,
                  "int32": INT32_VALID + INT_HOSTILE, "float": FLOAT_VALID + FLOAT_HOSTILE,
                  "bool": BOOL_VALID + BOOL_HOSTILE, "str": STR_VALID + STR_HOSTILE,
                  "floatseq": SEQ_VALID + SEQ_HOSTILE}[kind]
        for v in values:
            makers.append(lambda g, v=v: (_fresh(v), _short_repr(v)))
    return makers


def _fresh(v):
    # generators are single-use; arrays could be mutated by a faulty callee
    if isinstance(v, type(x for x in ())):
        return (x for x in [10.0])
    if isinstance(v, np.ndarray):
        return v.copy()
    return v


_CASE_CACHE = {}


def _function_plan(fname, fn):
    plan = _CASE_CACHE.get(fname)
    if plan is None:
        params = parameters(fn)
        kinds, typical, corners = corner_cases(fname, params)
        plan = (params, kinds, typical, corners)
        _CASE_CACHE[fname] = plan
    return plan


N_RANDOM = {"main": int(os.environ.get("NUVRA_FUZZ_CASES", "250")), "leak": 60}
ABSURD_INTS = [2**63 - 1, 2**64 - 1, 2**62, 2**40, 2**32, 2**31 - 1, -2**63, -1]
ABSURD_FLOATS = [1e308, -1e308, math.inf, -math.inf, math.nan, 9.223372036854776e18,
                 1.8446744073709552e19]


def case_count(fname, fn, mode):
    params, kinds, typical, corners = _function_plan(fname, fn)
    if mode == "absurd":
        return len(_absurd_plan(params, kinds))
    if mode == "leak":
        return len(corners) + N_RANDOM["leak"]
    return len(corners) + N_RANDOM["main"]


def _absurd_plan(params, kinds):
    plan = []
    numeric = [i for i, k in enumerate(kinds) if k in ("int", "size", "int32", "float")]
    for i in numeric:
        values = ABSURD_FLOATS if kinds[i] == "float" else ABSURD_INTS
        plan.extend((i, v) for v in values)
    if len(numeric) > 1:
        for v in (2**63 - 1, 2**64 - 1, 2**31 - 1):
            plan.append((-1, v))  # every integer parameter at once
    return plan


def build_case(fname, fn, mode, index):
    """Case number `index` of function `fname` (deterministic)."""
    params, kinds, typical, corners = _function_plan(fname, fn)
    g = np.random.default_rng([SEED, zlib.crc32(fname.encode()), ("main", "leak", "absurd").index(mode), index])
    if mode == "absurd":
        i, v = _absurd_plan(params, kinds)[index]
        chosen = [(_fresh(t), d) for t, d in typical]
        for j, k in enumerate(kinds):
            if j == i or (i == -1 and k in ("int", "size", "int32")):
                chosen[j] = (v, repr(v))
        args, kwargs, desc = _assemble(fname, params, chosen, set(), None, None)
        return Case(args, kwargs, desc)
    if index < len(corners):
        i, maker = corners[index]
        chosen = [(_fresh(v), d) for v, d in typical]
        chosen[i] = maker(g)
        args, kwargs, desc = _assemble(fname, params, chosen, set(), None, None)
        return Case(args, kwargs, desc)
    hostile_p = 0.12
    chosen = []
    for (pname, _), kind in zip(params, kinds):
        if kind in ("arr1", "arr2", "iarr1"):
            chosen.append(random_array(g, kind, mode, hostile_p))
        else:
            chosen.append(scalar_value(g, kind, hostile_p))
    # the same array object for two parameters now and then
    arr_idx = [i for i, k in enumerate(kinds) if k in ("arr1", "arr2")]
    if len(arr_idx) >= 2 and g.random() < 0.15:
        a, b = arr_idx[0], arr_idx[1]
        if kinds[a] == kinds[b]:
            chosen[b] = (chosen[a][0], f"<same object as {params[a][0]}>")
    omit = {p for p, opt in params if opt and g.random() < 0.3}
    structural = None
    if g.random() < 0.08:
        structural = _pick(g, ["missing", "extra", "unknown_kw", "dup"])
    args, kwargs, desc = _assemble(fname, params, chosen, omit, g, structural)
    return Case(args, kwargs, desc)


# ---------------------------------------------------------------------------
# Checking one call

def is_panic(e):
    t = type(e)
    return t.__name__ == "PanicException" and t.__module__ == "pyo3_runtime"


def check_shape(value, shape, path="result"):
    """None when `value` matches the documented shape, else a description."""
    if shape == "f":
        return None if type(value) is float else f"{path} is {type(value).__name__}, expected float"
    if shape == "i":
        return None if type(value) is int else f"{path} is {type(value).__name__}, expected int"
    if shape in ("a1", "a2"):
        if type(value) is not np.ndarray:
            return f"{path} is {type(value).__name__}, expected numpy.ndarray"
        if value.dtype != np.float64 or value.dtype.byteorder not in ("=", "<", "|"):
            return f"{path} has dtype {value.dtype}, expected float64"
        want = 1 if shape == "a1" else 2
        if value.ndim != want:
            return f"{path} has {value.ndim} dimensions, expected {want}"
        return None
    if isinstance(shape, tuple):
        if type(value) is not tuple:
            return f"{path} is {type(value).__name__}, expected a tuple of {len(shape)}"
        if len(value) != len(shape):
            return f"{path} has {len(value)} items, expected {len(shape)}"
        for k, (v, s) in enumerate(zip(value, shape)):
            err = check_shape(v, s, f"{path}[{k}]")
            if err:
                return err
        return None
    if isinstance(shape, list):
        if type(value) is not list:
            return f"{path} is {type(value).__name__}, expected a list"
        for k, v in enumerate(value):
            err = check_shape(v, shape[0], f"{path}[{k}]")
            if err:
                return err
        return None
    if shape == "any":
        if type(value) in (float, int):
            return None
        if type(value) is np.ndarray:
            return None if value.dtype == np.float64 else f"{path} has dtype {value.dtype}"
        if type(value) in (tuple, list):
            for k, v in enumerate(value):
                err = check_shape(v, "any", f"{path}[{k}]")
                if err:
                    return err
            return None
        return f"{path} is {type(value).__name__}, not float/int/tuple/list/ndarray"
    raise AssertionError(shape)


def _snapshot(case):
    snaps = []
    for v in list(case.args) + list(case.kwargs.values()):
        if isinstance(v, np.ndarray):
            snaps.append((v, v.tobytes()))
    return snaps


def _plain(v):
    """A C-contiguous, aligned, writeable base-class copy of an accepted array."""
    if isinstance(v, np.ndarray) and v.dtype.kind in "fi" and v.dtype.isnative:
        return np.array(v, dtype=v.dtype, order="C", subok=False)
    return v


def _is_plain(v):
    return (type(v) is np.ndarray and v.flags.c_contiguous and v.flags.aligned
            and v.flags.writeable and v.flags.owndata)


def _close(a, b):
    """Equal, or equal up to the last bits (BLAS kernels may round differently
    with the buffer's alignment); NaN and infinities must match exactly."""
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    if not np.array_equal(np.isnan(a), np.isnan(b)):
        return False
    finite = np.isfinite(a) & np.isfinite(b)
    if not np.array_equal(a[~finite & ~np.isnan(a)], b[~finite & ~np.isnan(b)]):
        return False
    fa, fb = a[finite], b[finite]
    scale = max(1.0, float(np.max(np.abs(fa), initial=0.0)))
    return bool(np.all(np.abs(fa - fb) <= 1e-9 * np.maximum(np.abs(fa), np.abs(fb)) + 1e-12 * scale))


def same_result(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return _close(a, b)
    if isinstance(a, np.ndarray):
        return a.shape == b.shape and a.dtype == b.dtype and _close(a, b)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same_result(x, y) for x, y in zip(a, b))
    return a == b


def _summary(v):
    if isinstance(v, np.ndarray):
        return np.array2string(v, threshold=8, edgeitems=3, precision=17)
    if isinstance(v, (tuple, list)):
        inner = ", ".join(_summary(x) for x in v[:6])
        return ("(" + inner + ")") if isinstance(v, tuple) else ("[" + inner + "]")
    return repr(v)


def _call(fn, args, kwargs):
    """(outcome label, result or None, exception or None)."""
    try:
        return "returned", fn(*args, **kwargs), None
    except BaseException as e:  # PanicException derives from BaseException
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        if is_panic(e):
            return "PanicException", None, e
        return type(e).__name__, None, e


def run_case(fn, fname, case):
    """Calls once; returns (outcome label, problem or None).

    When an argument is an array with an unusual layout (reversed, strided,
    unaligned, read-only, zero strides, a subclass) and the call returns, the
    call is repeated with contiguous copies: the result must not depend on
    the layout.
    """
    snaps = _snapshot(case)
    outcome, result, exc = _call(fn, case.args, case.kwargs)
    problem = None
    if outcome == "returned":
        problem = check_shape(result, RESULTS.get(fname, "any"))
    elif outcome == "PanicException":
        if not (len(exc.args) == 1 and isinstance(exc.args[0], str)):
            problem = f"PanicException args are {exc.args!r}, expected one message string"
    elif isinstance(exc, FuzzSentinelError):
        outcome = "own-conversion-error"
    elif isinstance(exc, ALLOWED_ERRORS):
        if isinstance(exc, ValueError) and not isinstance(exc, UnicodeError) and fname not in (
                "find_stable_baseline_1d", "rolling_spearman", "batch_rolling_spearman"):
            # allowed, but only three functions document a ValueError of their own
            outcome = "ValueError(undocumented)"
    else:
        problem = f"raised {type(exc).__module__}.{type(exc).__qualname__}: {exc}"
    del exc
    for arr, before in snaps:
        if arr.tobytes() != before:
            problem = (problem + "; " if problem else "") + "an input array was modified"
    values = list(case.args) + list(case.kwargs.values())
    if outcome == "returned" and not problem and any(
            isinstance(v, np.ndarray) and not _is_plain(v) for v in values):
        args2 = tuple(_plain(v) for v in case.args)
        kwargs2 = {k: _plain(v) for k, v in case.kwargs.items()}
        if any(v is case.args[0] for v in case.args[1:]) if case.args else False:
            # keep an aliased argument aliased
            args2 = tuple(args2[0] if v is case.args[0] else w for v, w in zip(case.args, args2))
        outcome2, result2, exc2 = _call(fn, args2, kwargs2)
        if outcome2 != "returned":
            problem = (f"returned for these arrays but {outcome2} ({exc2}) for contiguous "
                       "copies of them")
        elif not same_result(result, result2):
            problem = (f"result depends on the array layout: {_summary(result)} for these "
                       f"arrays, {_summary(result2)} for contiguous copies")
        del exc2, result2
    del result
    return outcome, problem


# ---------------------------------------------------------------------------
# Worker process

def _memory_limit():
    """Caps the worker's address space so that absurd allocations fail fast."""
    if sanitized():
        return  # the sanitizer runtime reserves terabytes of shadow address space
    try:
        with open("/proc/self/statm") as f:
            vm_pages = int(f.read().split()[0])
    except OSError:
        return
    # Room for every thread's stack, malloc arena and BLAS buffer besides the
    # headroom; anything that asks for 2**31 elements or more still fails.
    # OpenBLAS spins instead of failing when its per-thread buffer cannot be
    # mapped, so this must stay generous.
    threads = 2 * (os.cpu_count() or 2) + 4
    limit = vm_pages * resource.getpagesize() + (6 << 30) + threads * (256 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))


def worker_main():
    out = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)  # nothing but the protocol may reach the parent's pipe
    sys.stdout = sys.stderr
    if not sanitized():
        import faulthandler
        faulthandler.enable()
    from nuvra import _rust
    _memory_limit()
    selftest = os.environ.get("NUVRA_FUZZ_SELFTEST")
    for line in sys.stdin:
        job = json.loads(line)
        fname, mode, start = job["fn"], job["mode"], job["start"]
        stats = collections.Counter()
        try:
            fn = getattr(_rust, fname)
            total = case_count(fname, fn, mode)
        except Exception as e:  # noqa: BLE001 - reported to the parent
            out.write("F " + json.dumps([-1, f"cannot fuzz {fname}: {e}"]) + "\n")
            out.write("E " + json.dumps([fname, {}]) + "\n")
            continue
        for idx in range(start, total):
            try:
                case = build_case(fname, fn, mode, idx)
            except Exception as e:  # noqa: BLE001 - a fault of this harness, not of the callee
                out.write("F " + json.dumps([idx, f"harness error building the case: {e!r}"]) + "\n")
                continue
            out.write(f"S {idx}\n")
            if selftest and idx in (1, 3):  # the runner's own test: a crash, then a hang
                if idx == 1 and selftest == "overflow":
                    libc = ctypes.CDLL(None)  # a heap overflow through an intercepted memmove
                    libc.malloc.restype = ctypes.c_void_p
                    ctypes.memmove(libc.malloc(8), b"x" * 64, 64)
                if idx == 1:
                    os.abort()  # what a sanitizer report ends in
                time.sleep(3600)
            outcome, problem = run_case(fn, fname, case)
            stats[outcome] += 1
            if problem:
                out.write("F " + json.dumps([idx, problem]) + "\n")
            del case
        out.write("E " + json.dumps([fname, stats]) + "\n")


# ---------------------------------------------------------------------------
# Parent side: a pool of workers with crash and hang detection

def _sanitizer_log(pid):
    """The sanitizer report files of process `pid`, when reports go to files."""
    texts = []
    for var in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        m = re.search(r"(?:^|:)log_path=([^:]+)", os.environ.get(var, ""))
        if m:
            base = m.group(1)
            d, prefix = os.path.dirname(base) or ".", os.path.basename(base) + "."
            try:
                for name in os.listdir(d):
                    if name.startswith(prefix) and name[len(prefix):].split(".")[0] == str(pid):
                        with open(os.path.join(d, name), errors="replace") as f:
                            texts.append(f.read()[-4000:])
            except OSError:
                pass
    return "\n".join(texts)


def _native_stacks(pid):
    """The hung worker's thread stacks, when gdb is at hand (best effort)."""
    import shutil
    if not shutil.which("gdb") or sanitized():  # gdb takes ages over the shadow memory
        return ""
    try:
        out = subprocess.run(["gdb", "-p", str(pid), "-batch", "-nx", "-ex", "thread apply all bt 30"],
                             capture_output=True, text=True, timeout=30).stdout
    except (subprocess.TimeoutExpired, OSError):
        return ""
    # the main thread and the threads running the extension's code
    blocks, cur = [], []
    for line in out.splitlines():
        if line.startswith("Thread "):
            cur = [line]
            blocks.append(cur)
        elif line.startswith("#") and cur:
            cur.append(line)
    keep = [b for b in blocks if " 1 (" in b[0][:12] or any("nuvra" in l or "_rust" in l for l in b)]
    lines = [l for b in keep for l in b]
    return "\n".join("    " + l[:160] for l in lines[:80])


def _describe_exit(code):
    if code is None:
        return "killed"
    if code < 0:
        try:
            return f"died from {signal.Signals(-code).name}"
        except ValueError:
            return f"died from signal {-code}"
    return f"exited with code {code}"


class _Worker:
    def __init__(self, env, tmpdir, serial):
        self.err_path = os.path.join(tmpdir, f"worker{serial}.stderr")
        self.err = open(self.err_path, "wb")
        code = (f"import sys; sys.path.insert(0, {HERE!r}); "
                "import fuzz_support; fuzz_support.worker_main()")
        self.proc = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.err, env=env)
        os.set_blocking(self.proc.stdout.fileno(), False)
        self.buf = b""
        self.job = None       # (fname, mode)
        self.history = []     # every job this worker was given
        self.current = None   # index of the case being called
        self.started = None   # when that call started (or the job was sent)

    def send(self, fname, mode, start):
        self.job = (fname, mode)
        self.history.append(self.job)
        self.current, self.started = None, time.monotonic()
        self.proc.stdin.write((json.dumps({"fn": fname, "mode": mode, "start": start}) + "\n").encode())
        self.proc.stdin.flush()

    def stderr_tail(self, limit=3000):
        """The end of the worker's stderr, or the sanitizer report in it."""
        try:
            with open(self.err_path, "rb") as f:
                f.seek(0, 2)
                size = f.tell()
                f.seek(max(0, size - 200000))
                text = f.read().decode(errors="replace")
        except OSError:
            return ""
        for marker in SANITIZER_MARKERS:
            at = text.rfind(marker)
            if at >= 0:
                start = text.rfind("\n", 0, at) + 1
                return "\n".join(text[start:].splitlines()[:40])
        return text[-limit:]

    def close(self):
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.err.close()


SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer",
                     "AddressSanitizer: CHECK failed", "WARNING: AddressSanitizer")


def _scan_sanitizer_reports(text):
    for marker in SANITIZER_MARKERS:
        if marker in text:
            return marker
    return None


def run_fuzz(jobs, workers=None):
    """Runs (fname, mode) jobs; returns {(fname, mode): {"failures": [...], "stats": {...}}}."""
    from nuvra import _rust
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    workers = workers or int(os.environ.get("NUVRA_FUZZ_WORKERS", "0")) or min(cores or 2, 8)
    workers = max(1, min(workers, len(jobs) or 1))
    env = dict(os.environ)
    timeout = call_timeout()
    results = {job: {"failures": [], "stats": collections.Counter(), "hard": 0, "calls": 0}
               for job in jobs}
    pending = collections.deque((fname, mode, 0) for fname, mode in jobs)
    sel = selectors.DefaultSelector()
    tmpdir = tempfile.mkdtemp(prefix="nuvra-fuzz-")
    serial = 0
    live = []
    histories = {}  # stderr file -> the jobs of its worker
    reported = set()  # stderr files already quoted in a crash or hang failure

    def spawn():
        nonlocal serial
        serial += 1
        w = _Worker(env, tmpdir, serial)
        histories[os.path.basename(w.err_path)] = w.history
        sel.register(w.proc.stdout, selectors.EVENT_READ, w)
        live.append(w)
        return w

    def describe(fname, mode, idx):
        try:
            return build_case(fname, getattr(_rust, fname), mode, idx).desc
        except Exception as e:  # noqa: BLE001
            return f"<case {idx}: {e}>"

    def replay(fname, mode, idx):
        return f"python tests/fuzz_support.py --replay {fname} {mode} {idx}"

    def retire(w, problem):
        """The worker died or hung in its current job: record and resubmit the rest."""
        sel.unregister(w.proc.stdout)
        live.remove(w)
        stacks = _native_stacks(w.proc.pid) if "hang" in problem else ""
        if "hang" not in problem:
            try:  # the pipe closed: let the process finish dying to learn how it ended
                w.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        if w.proc.poll() is None:
            w.proc.kill()
        w.proc.wait()
        fname, mode = w.job
        res = results[(fname, mode)]
        idx = w.current
        detail = w.stderr_tail()
        san = _sanitizer_log(w.proc.pid)
        msg = (f"{fname}: {problem} ({_describe_exit(w.proc.returncode) if 'hang' not in problem else 'killed'})\n"
               f"  call: {describe(fname, mode, idx) if idx is not None else '<between calls>'}\n"
               f"  replay: {replay(fname, mode, idx)}")
        if stacks:
            msg += "\n  native stacks of the hung worker:\n" + stacks
        if san:
            msg += "\n  sanitizer report:\n" + san
        elif detail:
            msg += "\n  stderr:\n" + "\n".join("    " + l for l in detail.splitlines()[-40:])
        res["failures"].append(msg)
        reported.add(os.path.basename(w.err_path))
        res["hard"] += 1
        w.close()
        nxt = (idx + 1) if idx is not None else 0
        if res["hard"] >= MAX_HARD_FAILURES:
            res["failures"].append(f"{fname}: stopped after {res['hard']} crashes/hangs; "
                                   "its remaining cases did not run")
        elif nxt < case_count(fname, getattr(_rust, fname), mode):
            pending.appendleft((fname, mode, nxt))

    try:
        idle = collections.deque(spawn() for _ in range(workers))
        while pending or any(w.job for w in live):
            while pending and idle:
                idle.popleft().send(*pending.popleft())
            for key, _ in sel.select(timeout=0.2):
                w = key.data
                try:
                    chunk = os.read(w.proc.stdout.fileno(), 1 << 16)
                except BlockingIOError:
                    continue
                if not chunk:  # the worker is gone
                    if w.job:
                        retire(w, "worker crashed")
                    else:  # died while idle
                        sel.unregister(w.proc.stdout)
                        live.remove(w)
                        if w in idle:
                            idle.remove(w)
                        w.close()
                    idle.append(spawn())
                    continue
                w.buf += chunk
                *lines, w.buf = w.buf.split(b"\n")
                for line in lines:
                    tag, _, rest = line.decode().partition(" ")
                    if tag == "S":
                        w.current, w.started = int(rest), time.monotonic()
                        results[w.job]["calls"] += 1
                    elif tag == "F":
                        idx, problem = json.loads(rest)
                        fname, mode = w.job
                        results[w.job]["failures"].append(
                            f"{fname}: {problem}\n  call: {describe(fname, mode, idx)}\n"
                            f"  replay: {replay(fname, mode, idx)}")
                    elif tag == "E":
                        _, stats = json.loads(rest)
                        results[w.job]["stats"].update(stats)
                        w.job = w.current = None
                        idle.append(w)
            now = time.monotonic()
            for w in list(live):
                if w.job and now - w.started > timeout:
                    retire(w, f"hang: no answer within {timeout:g} s")
                    idle.append(spawn())
    finally:
        for w in list(live):
            w.close()
        # reports written by a sanitizer without ending the process still fail the run
        for name in sorted(os.listdir(tmpdir)):
            with open(os.path.join(tmpdir, name), errors="replace") as f:
                text = f.read()
            marker = _scan_sanitizer_reports(text)
            jobs_run = histories.get(name) or [next(iter(results))]
            if marker and name not in reported:
                at = text.find(marker)
                report = text[text.rfind("\n", 0, at) + 1:][:4000]
                results[jobs_run[-1]]["failures"].append(
                    f"{jobs_run[-1][0]}: sanitizer report ({marker}) in a fuzz worker that ran "
                    f"{[j[0] for j in jobs_run]}:\n{report}")
            os.unlink(os.path.join(tmpdir, name))
        os.rmdir(tmpdir)
    for res in results.values():
        res["stats"] = dict(res["stats"])
    return results


# ---------------------------------------------------------------------------
# Leak check child

def _malloc_in_use():
    try:
        libc = ctypes.CDLL(None)

        class MallInfo2(ctypes.Structure):
            _fields_ = [(n, ctypes.c_size_t) for n in (
                "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                "uordblks", "fordblks", "keepcost")]
        libc.mallinfo2.restype = MallInfo2
        info = libc.mallinfo2()
        return info.uordblks + info.hblkhd
    except (AttributeError, OSError):
        return 0


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def _arrays_in(value, out):
    if isinstance(value, np.ndarray):
        out.append(value)
    elif isinstance(value, (tuple, list)):
        for v in value:
            _arrays_in(v, out)
    return out


def leak_child_main(rounds):
    """Calls every function many times and reports growth per function as JSON."""
    from nuvra import _rust
    report = {"functions": {}, "calls": 0}
    all_cases = {}
    for fname in _rust.__all__:
        fn = getattr(_rust, fname)
        cases = [build_case(fname, fn, "leak", i) for i in range(case_count(fname, fn, "leak"))]
        all_cases[fname] = (fn, cases)
    if os.environ.get("NUVRA_LEAK_SELFTEST") == "1":
        # the checker's own test: a stand-in for `mean` that leaks in every way watched
        hoard, libc = [], ctypes.CDLL(None)
        libc.malloc.restype = ctypes.c_void_p

        def leaky(*args, **kwargs):
            hoard.append(args)
            libc.malloc(4096)
            out = np.ones(3)
            hoard.append(out)
            return out
        all_cases["mean"] = (leaky, all_cases["mean"][1])

    def one_pass(fname, fn, cases, problems):
        for case in cases:
            inputs = list(case.args) + list(case.kwargs.values())
            refs = [sys.getrefcount(v) for v in inputs]
            try:
                result = fn(*case.args, **case.kwargs)
            except BaseException as e:  # noqa: BLE001 - outcomes are the fuzz's business
                if isinstance(e, (KeyboardInterrupt, SystemExit)):
                    raise
                result = None
                del e
            arrays = _arrays_in(result, [])
            # NumPy arrays are not tracked by the garbage collector: watch them die instead
            watched = [weakref.ref(a) for a in arrays]
            del arrays, result
            alive = sum(r() is not None for r in watched)
            if alive:
                problems.add(f"{alive} result array(s) still alive after the result was dropped "
                             f"in {case.desc}")
            after = [sys.getrefcount(v) for v in inputs]
            if after != refs:
                problems.add(f"argument reference counts changed {refs} -> {after} in {case.desc}")
            del inputs

    start_rss = None
    for fname, (fn, cases) in all_cases.items():
        problems = set()
        one_pass(fname, fn, cases, problems)  # warm-up: one-time objects, caches, the pool
        one_pass(fname, fn, cases, problems)
        gc.collect()
        if start_rss is None:
            start_rss = _rss()
        m0, b0 = _malloc_in_use(), sys.getallocatedblocks()
        for _ in range(rounds):
            one_pass(fname, fn, cases, problems)
        gc.collect()
        m1, b1 = _malloc_in_use(), sys.getallocatedblocks()
        calls = rounds * len(cases)
        report["calls"] += calls
        by_kind = {}
        for p in sorted(problems):  # one example of each kind of problem
            by_kind.setdefault(p.split(" in ")[0].split("[")[0][:40], p)
        report["functions"][fname] = {"calls": calls, "malloc_growth": m1 - m0,
                                      "block_growth": b1 - b0, "problems": list(by_kind.values())}
    # everything once more: resident memory must stay where the first pass left it
    gc.collect()
    mid_rss = _rss()
    for fname, (fn, cases) in all_cases.items():
        for _ in range(max(1, rounds // 2)):
            one_pass(fname, fn, cases, set())
    gc.collect()
    report["rss_start"], report["rss_mid"], report["rss_end"] = start_rss, mid_rss, _rss()
    sys.__stdout__.write(json.dumps(report) + "\n")


# ---------------------------------------------------------------------------
# Borrow registry child

class BorrowApi(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("flags", ctypes.c_void_p),
                ("acquire", ctypes.c_void_p), ("acquire_mut", ctypes.c_void_p),
                ("release", ctypes.c_void_p), ("release_mut", ctypes.c_void_p)]


ACQUIRE_T = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_void_p)
RELEASE_T = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)


class CountingRegistry:
    """A borrow registry of our own that counts and checks every acquire and release."""

    NAME = b"_RUST_NUMPY_BORROW_CHECKING_API"

    def __init__(self):
        self.acquires = self.releases = self.mut_calls = 0
        self.refuse = None          # return code for acquires while set
        self.refuse_after = 0       # let this many acquires through first
        self.outstanding = {}
        self.errors = []
        self._acq = ACQUIRE_T(self._acquire)
        self._acq_mut = ACQUIRE_T(self._acquire_mut)
        self._rel = RELEASE_T(self._release)
        self._rel_mut = RELEASE_T(self._release_mut)
        self.api = BorrowApi(1, None, ctypes.cast(self._acq, ctypes.c_void_p),
                             ctypes.cast(self._acq_mut, ctypes.c_void_p),
                             ctypes.cast(self._rel, ctypes.c_void_p),
                             ctypes.cast(self._rel_mut, ctypes.c_void_p))
        self._name = ctypes.create_string_buffer(self.NAME)
        new = ctypes.pythonapi.PyCapsule_New
        new.restype = ctypes.py_object
        new.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
        self.capsule = new(ctypes.addressof(self.api), ctypes.addressof(self._name), None)

    def install(self):
        import numpy._core.multiarray as multiarray
        setattr(multiarray, self.NAME.decode(), self.capsule)

    # The frame may call these with a Python exception pending; they use
    # operators on plain dicts and ints only (no calls), which still work then.
    def _acquire(self, flags, arr):
        if self.refuse is not None:
            if self.refuse_after <= 0:
                return self.refuse
            self.refuse_after -= 1
        self.acquires += 1
        self.outstanding[arr] = (self.outstanding[arr] if arr in self.outstanding else 0) + 1
        return 0

    def _acquire_mut(self, flags, arr):
        self.mut_calls += 1
        return -2

    def _release(self, flags, arr):
        self.releases += 1
        held = self.outstanding[arr] if arr in self.outstanding else 0
        if held <= 0:
            self.errors += [arr]  # a release without a borrow
        elif held == 1:
            del self.outstanding[arr]
        else:
            self.outstanding[arr] = held - 1

    def _release_mut(self, flags, arr):
        self.mut_calls += 1


def borrow_child_main():
    """Runs every function under a counting registry; prints a JSON report."""
    reg = CountingRegistry()
    reg.install()  # before the extension is first imported
    from nuvra import _rust
    import numpy._core.multiarray as multiarray
    report = {"functions": {}, "checks": {}}
    for fname in _rust.__all__:
        fn = getattr(_rust, fname)
        unbalanced, outcomes = [], []
        n_calls = 0
        for i in range(case_count(fname, fn, "leak")):
            case = build_case(fname, fn, "leak", i)
            outcome, _, exc = _call(fn, case.args, case.kwargs)
            n_calls += 1
            if reg.acquires != reg.releases or reg.outstanding:
                unbalanced.append(f"after {outcome} of {case.desc}: {reg.acquires} acquires, "
                                  f"{reg.releases} releases")
                reg.releases = reg.acquires
                reg.outstanding.clear()
            allowed = (outcome in ("returned", "PanicException")
                       or isinstance(exc, ALLOWED_ERRORS + (FuzzSentinelError,)))
            if not allowed:
                outcomes.append(f"{outcome}: {exc} in {case.desc}")
            del case, exc
        report["functions"][fname] = {"calls": n_calls, "unbalanced": unbalanced[:5],
                                      "bad_outcomes": outcomes[:5],
                                      "bad_outcome_count": len(outcomes)}
    report["checks"]["acquires"] = reg.acquires
    report["checks"]["mut_calls"] = reg.mut_calls
    report["checks"]["errors"] = [f"release of an array holding no borrow ({a:#x})"
                                  for a in reg.errors[:5]]
    report["checks"]["capsule_kept"] = getattr(multiarray, reg.NAME.decode()) is reg.capsule

    def refused(call, code, after=0):
        """Calls with acquires answering `code` (after letting `after` through)."""
        reg.refuse, reg.refuse_after = code, after
        a0, r0 = reg.acquires, reg.releases
        try:
            outcome, _, exc = _call(call, (), {})
        finally:
            reg.refuse = None
        args = list(map(str, exc.args)) if exc is not None else None
        return [outcome, args, [reg.acquires - a0, reg.releases - r0, len(reg.outstanding)]]

    x = np.arange(5.0)
    y = np.arange(5.0) * 2
    report["refused"] = {
        "mean": refused(lambda: _rust.mean(x), -1),
        "mean_code5": refused(lambda: _rust.mean(x), 5),
        "second_array": refused(lambda: _rust.euclidean_distance(x, y), -1, after=1),
        "then_ok": refused(lambda: _rust.mean(x), None),
    }
    sys.__stdout__.write(json.dumps(report) + "\n")


def typical_child_main():
    """Calls every function once with typical arguments; prints the outcomes as JSON."""
    from nuvra import _rust
    out = {}
    for fname in _rust.__all__:
        fn = getattr(_rust, fname)
        params = parameters(fn)
        values = [typical_value(fname, p, kind_of(fname, p))[0] for p, _ in params]
        outcome, result, exc = _call(fn, tuple(values), {})
        out[fname] = outcome + (f": {exc}" if exc is not None else "")
        del result, exc
    sys.__stdout__.write(json.dumps(out) + "\n")


def run_child(entry, *args, timeout=900, flags=()):
    """Runs `entry` of this module in a fresh interpreter; returns (report, detail, code).

    The child's stderr (panic reports, many of them) goes to a file; its end
    is returned when the child fails.
    """
    code = (f"import sys; sys.path.insert(0, {HERE!r}); import fuzz_support; "
            f"fuzz_support.{entry}(*{args!r})")
    with tempfile.TemporaryFile() as err:
        proc = subprocess.Popen([sys.executable, *flags, "-c", code], stdout=subprocess.PIPE,
                                stderr=err, text=True)
        try:
            out, _ = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, _ = proc.communicate()
        err.seek(0, 2)
        err.seek(max(0, err.tell() - 200000))
        text = err.read().decode(errors="replace")
    lines = out.strip().splitlines()
    report = json.loads(lines[-1]) if proc.returncode == 0 and lines else None
    detail = ""
    if proc.returncode != 0:
        for marker in SANITIZER_MARKERS:
            at = text.rfind(marker)
            if at >= 0:
                text = text[text.rfind("\n", 0, at) + 1:]
                break
        detail = (_describe_exit(proc.returncode) + "\n" + "\n".join(text.splitlines()[-40:])
                  + _sanitizer_log(proc.pid))
    marker = _scan_sanitizer_reports(text)
    if marker and proc.returncode == 0:
        report, detail = None, f"sanitizer report ({marker}) in the child:\n{text[-4000:]}"
    return report, detail, proc.returncode


# ---------------------------------------------------------------------------
# Replay from the command line

def _replay(fname, mode, index):
    from nuvra import _rust
    np.set_printoptions(threshold=1000000, precision=17)
    fn = getattr(_rust, fname)
    case = build_case(fname, fn, mode, int(index))
    print(case.desc)
    for k, v in enumerate(case.args):
        print(f"  arg {k}: {type(v).__name__} {v!r}" + (
            f" strides={v.strides} flags={dict(c=v.flags.c_contiguous, f=v.flags.f_contiguous, aligned=v.flags.aligned)}"
            if isinstance(v, np.ndarray) else ""))
    for k, v in case.kwargs.items():
        print(f"  {k}=: {type(v).__name__} {v!r}")
    sys.stdout.flush()
    print(run_case(fn, fname, case))


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--replay":
        _replay(*sys.argv[2:])
    else:
        sys.exit("usage: fuzz_support.py --replay FUNCTION MODE INDEX")
