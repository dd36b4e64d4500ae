"""Hostile arguments for every function of nuvra._rust, and a runner that survives crashes.

Parameter names come from ``__text_signature__`` and have a kind (PARAM_KINDS, OVERRIDES)
with one value table for corner and random cases; results have a documented shape (RESULTS).
Modes: "main" (corner values, then random cases), "absurd" (huge numbers), "leak" (small
arrays, for tests/test_leaks.py).  Cases come from a fixed seed; a failure replays with
``python tests/fuzz_support.py --replay FUNCTION MODE INDEX``.  nuvra is imported late:
the borrow child installs its registry first.
"""

from __future__ import annotations

import ast, collections, ctypes, functools, gc, glob, itertools, json, math, os  # noqa: E401
import pathlib, re, resource, shutil, signal, subprocess, sys, tempfile, threading  # noqa: E401
import time, types, weakref, zlib  # noqa: E401

import numpy as np

SEED = int(os.environ.get("NUVRA_FUZZ_SEED", "20240611"))


def _table(text):
    """{name: value} from lines "value | names" (a Python literal; indented lines: more names)."""
    out = {}
    for line in text.strip("\n").splitlines():
        if not line.startswith(" "):
            value, _, line = line.partition(" | ")
            value = ast.literal_eval(value)
        out.update(dict.fromkeys(line.split(), value))
    return out


# Parameter kinds by name: arr1/arr2 float64 arrays of 1/2 dimensions, iarr1 an int64
# array of counts, float, int (does not scale the work: its whole range is tried), size
# (scales work or memory: small in "main", absurd in "absurd"), int32, bool, str,
# floatseq (a sequence of floats).  A parameter name missing here fails the suite.
PARAM_KINDS = _table("""
"arr1" | signal x y z values data p q source target spectrum communities
"arr2" | matrix v1 v2 matrices_flat embedded trajectory signals adjacency correlation_matrix points
  birth_death pairs_a pairs_b x_batch y_batch
"iarr1" | cycles_per_cohort
"float" | dt window_fraction stride_fraction integration_time threshold threshold_percentile r_threshold
  a_threshold tol resolution fs alpha base r
"int" | ddof min_window min_baseline_cycles min_line_length min_line delay min_separation min_time_sep
  max_points kernel_fraction window
"size" | order n_signals max_iter n_reference n_bins m m_max max_scale min_scale n_scales nperseg noverlap
  dim tau max_dim max_lag window_size stride segment_size n_harmonics lag history
"bool" | fisher normalize forward backward
"str" | method
""")
OVERRIDES = {  # parameters whose kind differs from the one their name has elsewhere
    ("percentiles", "q"): "floatseq", ("tsallis_entropy", "q"): "float", ("spectral_bandwidth", "p"): "int",
    **{("dfa", p): "int32" for p in ("min_scale", "max_scale", "order")},
    **{(f, "dt"): "size" for f in ("ftle", "lyapunov_spectrum", "rolling_ftle",
                                   "rolling_lyapunov_spectrum", "estimate_jacobian_py")},
    **{(f + "_rust", "r"): "arr2" for f in ("recurrence_rate", "determinism", "laminarity",
                                            "trapping_time", "entropy_recurrence", "max_diagonal_line")},
}
# Values that let a call do real work while another parameter is under test (a tuple:
# the shape of a standard normal array), per function where the generic one exits early.
TYPICAL = {"arr1": (64,), "arr2": (24, 3), "iarr1": np.array([4, 6, 0], np.int64), "float": 0.5,
           "int": 2, "size": 3, "int32": 4, "bool": True, "str": "rs", "floatseq": [10.0, 50.0, 90.0]}
TYPICAL_OVERRIDES = {("rt_geometry_batch", "n_signals"): 2, ("rt_geometry_batch", "matrices_flat"): (3, 40),
                     ("find_stable_baseline_1d", "window_fraction"): 0.2,
                     ("find_stable_baseline_1d", "stride_fraction"): 0.05}

# Documented result shapes: "f" float, "i" int, "a1"/"a2" float64 arrays of that many
# dimensions, a tuple of shapes, or [shape] for a list of them.
RESULTS = _table("""
"f" | mean std variance rms peak_to_peak skewness kurtosis crest_factor pulsation_index euclidean_distance
  cosine_distance manhattan_distance dtw_distance earth_movers_distance cosine_similarity subspace_angle
  sample_entropy permutation_entropy approximate_entropy lempel_ziv_complexity entropy_rate hurst_exponent
  dfa hurst_r2 rescaled_range autocorrelation correlation covariance acf_decay_time partial_correlation
  spearman_correlation kendall_tau kaplan_yorke_dimension_rust correlation_dimension_rust
  recurrence_rate_rust determinism_rust laminarity_rust trapping_time_rust entropy_recurrence_rust density
  average_path_length modularity wasserstein_distance mutual_information transfer_entropy
  cond_mutual_information shannon_entropy renyi_entropy tsallis_entropy conditional_entropy joint_entropy
  kl_divergence js_divergence information_gain cross_entropy hellinger_distance total_variation_distance
  dominant_frequency spectral_entropy spectral_centroid spectral_bandwidth spectral_rolloff
  spectral_flatness harmonic_ratio total_harmonic_distortion spectral_slope
"i" | zero_crossings mean_crossings lag_at_max_xcorr max_diagonal_line_rust mutual_information_delay
  optimal_embedding_dimension
"a1" | derivative integral curvature rate_of_change first_derivative second_derivative gradient
  finite_difference jerk multiscale_entropy autocorrelation_function partial_autocorrelation
  cross_correlation lyapunov_spectrum maximal_lyapunov degree_centrality betweenness_centrality
  closeness_centrality eigenvector_centrality clustering_coefficient louvain label_propagation
  rolling_spearman
"a2" | estimate_jacobian_py recurrence_matrix_rust delay_embedding multivariate_embedding
  attractor_reconstruction_rust adjacency_from_correlation persistent_homology pairwise_distance_matrix
  mutual_information_matrix transfer_entropy_matrix batch_rolling_spearman
("a1", "a1") | largest_lyapunov_core coherence wavelet_coherence power_spectral_density fft_magnitude
  hilbert_transform
("a1", "a1", "a1") | rolling_ftle cross_spectral_density
("a1", "a1", "a1", "a1", "a1") | rt_geometry_single rt_geometry_batch
("a1", "f") | variance_growth long_range_correlation
("f", "f") | min_max ftle
("f", "f", "f", "f") | signal_to_noise
("f", "f", "f", "f", "i") | persistence_statistics
("i", "i") | find_stable_baseline_1d
("a1", "a1", "f") | detrended_fluctuation_analysis
("a1", ["a1"]) | rolling_lyapunov_spectrum
("a1", "i") | false_nearest_neighbors
("a2", "a2") | granger_matrix
["f"] | percentiles
[["i"]] | connected_components
[["f"]] | batch_transfer_entropy_py
""")

ALLOWED_ERRORS = (TypeError, OverflowError, ValueError, MemoryError)
# the functions that raise ValueError on their own (the last two for counts or overlaps
# that leave no valid computation); a str conversion raises UnicodeEncodeError anywhere
VALUE_ERROR_FUNCTIONS = ("find_stable_baseline_1d", "rolling_spearman", "batch_rolling_spearman",
                         "rt_geometry_batch", "power_spectral_density")
MAX_HARD_FAILURES = 3  # crashes or hangs per function before its fuzz stops
N_RANDOM = {"main": int(os.environ.get("NUVRA_FUZZ_CASES", "250")), "leak": 60}


def sanitized():
    """True under scripts/sanitize_tests.sh (the AddressSanitizer runtime is preloaded)."""
    from helpers import sanitized as check
    return check()


# ---------------------------------------------------------------------------
# Hostile helper objects

class FuzzSentinelError(Exception):
    """Raised by the helper objects' own conversion methods; it must pass through."""


def _fail(self, *args):  # (raised here, not passed around: no reference cycle keeps `self` alive)
    raise FuzzSentinelError(type(self).__name__)


def _three_items(self, i):
    if i >= 3:
        raise IndexError(i)
    return 25.0 * i


def _iter_then_fail(self):
    yield 1.0
    _fail(self)


def _obj(name, **methods):
    """A class `name` with these special methods, made with the value they use (or none)."""
    return type(name, (), {"__init__": lambda self, v=None: setattr(self, "v", v), **methods,
                           "__repr__": lambda self: f"{name}({'' if self.v is None else repr(self.v)})"})


IndexOf = _obj("IndexOf", __index__=lambda self: self.v)
FloatOf = _obj("FloatOf", __float__=lambda self: self.v)
RaisingNumber = _obj("RaisingNumber", __index__=_fail, __float__=_fail, __bool__=_fail)
# its length fails, and so does iterating or indexing past two items
RaisingSequence = _obj("RaisingSequence", __len__=_fail, __iter__=_iter_then_fail,
                       __getitem__=lambda self, i: float(i) if i < 2 else _fail(self))
NotASequence = _obj("NotASequence", __iter__=lambda self: iter(self.v))  # an iterable of no length
# claims a huge length but has three items
LyingSequence = _obj("LyingSequence", __len__=lambda self: sys.maxsize, __getitem__=_three_items)


class SubArray(np.ndarray):
    pass


# ---------------------------------------------------------------------------
# Value tables, each used by both the corner and the random cases of its kind

SPECIAL_FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 5e-324, -5e-324, 2.2250738585072014e-308,
                  1e-300, 1e308, -1e308, 1.7976931348623157e308, math.inf, -math.inf, math.nan]
_INT_SPECIALS = np.array([0, 1, 2, 3, 5, 8, -1, -2**63, 2**61, 2**62, 2**63 - 1], np.int64)

FILLS = {  # pattern -> (g, n) -> n fresh contiguous values
    "normal": lambda g, n: g.standard_normal(n) * float(g.choice([1.0, 1e-3, 1e3])),
    "integers": lambda g, n: g.integers(-3, 4, n).astype(np.float64),
    "nan_mix": lambda g, n: np.where(g.random(n) < 0.3, np.nan, g.standard_normal(n)),
    "all_nan": lambda g, n: np.full(n, np.nan),
    "inf_mix": lambda g, n: np.where(g.random(n) < 0.2, np.inf, np.where(
        g.random(n) < 0.25, -np.inf, g.standard_normal(n))),
    "all_inf": lambda g, n: np.where(g.random(n) < 0.5, np.inf, -np.inf),
    "signed_zero": lambda g, n: np.where(g.random(n) < 0.5, 0.0, -0.0),
    "subnormal": lambda g, n: g.choice([5e-324, -5e-324, 1e-310, -2e-315, 0.0], n),
    "huge": lambda g, n: g.choice([1e308, -1e308, 1.7976931348623157e308, 8.9e307], n),
    "tiny": lambda g, n: g.standard_normal(n) * 1e-300,
    "constant": lambda g, n: np.full(n, float(g.choice(SPECIAL_FLOATS[:6] + [3.25, 1e308]))),
    "constant_runs": lambda g, n: np.repeat(g.standard_normal(n // 5 + 1), 5)[:n].copy(),
    "ramp": lambda g, n: np.arange(n, dtype=np.float64) * float(g.choice([1.0, -0.5, 1e-9])),
    "alternating": lambda g, n: np.where(np.arange(n) % 2 == 0, 1.0, -1.0),
    "zero_one": lambda g, n: g.integers(0, 2, n).astype(np.float64),
    "everything": lambda g, n: np.where(g.random(n) < 0.3, g.standard_normal(n),
                                        g.choice(np.array(SPECIAL_FLOATS), n)),
    # int64 counts: mostly small, sometimes extreme; all extreme
    "counts": lambda g, n: np.where(g.random(n) < 0.15, g.choice(_INT_SPECIALS, n), g.integers(0, 9, n)),
    "extremes": lambda g, n: g.choice(_INT_SPECIALS, n),
}


def _embed(b, shape, index):
    """`b` written into a bigger array (filled with NaN, or 7) and returned as the view `index`."""
    big = np.full(shape, np.nan if b.dtype.kind == "f" else 7, b.dtype)
    big[index] = b
    return big[index]


_ANY_NDIM = {
    "c": lambda b: b, "reversed": lambda b: b[::-1].copy()[::-1],
    "readonly": lambda b: np.frombuffer(b.tobytes(), b.dtype).reshape(b.shape),
    "unaligned": lambda b: np.frombuffer(bytearray(b"-" + b.tobytes()), b.dtype, offset=1).reshape(b.shape),
    "broadcast": lambda b: np.broadcast_to(b[:1], b.shape),
    "bigendian": lambda b: b.astype(b.dtype.newbyteorder(">"))}
LAYOUTS = {  # dimensions -> layout name -> transform of a contiguous array (same values)
    1: {**_ANY_NDIM, "strided": lambda b: _embed(b, (3 * len(b),), np.s_[::3]),
        "negstrided": lambda b: _embed(b, (2 * len(b),), np.s_[::-2]),
        "column": lambda b: _embed(b, (len(b), 3), np.s_[:, 1]),
        "packed": lambda b: np.rec.fromarrays([b, np.zeros(b.shape, np.float32)])["f0"],
        "subclass": lambda b: b.view(SubArray)},
    2: {**_ANY_NDIM, "F": np.asfortranarray, "T": lambda b: b.T.copy().T,
        "rev": lambda b: b[::-1, ::-1].copy()[::-1, ::-1],
        "strided": lambda b: _embed(b, (2 * b.shape[0], 3 * b.shape[1]), np.s_[::2, ::3]),
        "block": lambda b: _embed(b, (b.shape[0] + 2, b.shape[1] + 3),
                                  np.s_[1:b.shape[0] + 1, 2:b.shape[1] + 2]),
        "matrix": np.asmatrix},
}

_WRONG_ANY = {"list": lambda b: b.tolist(), "None": lambda b: None, "float": lambda b: 1.5,
              "0-d array": lambda b: np.array(1.5), "float32 array": lambda b: b.astype(np.float32),
              "bool array": lambda b: b > 0, "object array": lambda b: b.astype(object)}
WRONG = {  # array kind -> values of a wrong type or shape, built from a valid array b
    "arr1": {**_WRONG_ANY, "tuple": lambda b: tuple(b.tolist()), "np.float64": lambda b: np.float64(1.5),
             "(n,1) array": lambda b: b.reshape(-1, 1), "int64 array": lambda b: b.astype(np.int64),
             "complex array": lambda b: b.astype(complex), "str": lambda b: "1,2,3",
             "bytes": lambda b: b"\0" * 16, "memoryview": memoryview, "dict": lambda b: {"a": 1},
             "2-D empty array": lambda b: np.empty((0, 0)),
             "masked array (a subclass)": lambda b: np.ma.masked_array(b, mask=np.arange(b.size) % 3 == 1)},
    "arr2": {**_WRONG_ANY, "1-D array": np.ravel, "3-D array": lambda b: b[None],
             "int64 array": lambda b: b.astype(np.int64)},
    "iarr1": {**_WRONG_ANY, "(n,1) array": lambda b: b.reshape(-1, 1), "float64 array": np.float64,
              "int32 array": np.int32, "uint64 array": np.uint64},
}

# array kind -> (fill patterns of random cases, corner shapes, corner patterns,
# (shape, pattern) tried in every layout)
ARRAYS = {
    "arr1": (["normal"] * 2 + list(FILLS)[:-2], [(n,) for n in (0, 1, 2, 3, 4, 7, 300)],
             ["normal", "all_nan", "everything", "constant", "signed_zero"],
             [((50,), "normal"), ((2,), "nan_mix")]),
    "arr2": (["normal"] * 2 + list(FILLS)[:-2],
             [(0, 0), (0, 3), (3, 0), (1, 1), (1, 40), (40, 1), (2, 2), (3, 3), (5, 5), (30, 3),
              (3, 30), (200, 2)], ["normal", "all_nan", "everything", "zero_one"],
             [((12, 4), "normal"), ((1, 3), "nan_mix")]),
    "iarr1": (["counts"], [(n,) for n in (0, 1, 2, 3, 7)], ["counts", "extremes"], [((5,), "counts")]),
}

INT_HOSTILE = [2**64, 2**100, -2**64, -2**63 - 1, 1.5, 2.0, math.nan, None, "3", b"3", np.int64(3),
               np.uint64(2**64 - 1), np.int32(-1), np.float64(2.0), IndexOf(2), IndexOf(-5),
               IndexOf(2**70), RaisingNumber(), [1], 3 + 0j, math.inf, 1e308]
SCALARS = {  # kind -> (values a call may accept, hostile values)
    "int": ([0, 1, 2, 3, 5, 10, 100, 2**31 - 1, 2**31, 2**32, 2**63 - 1, 2**63, 2**64 - 1, -1,
             -2**31 - 1, -2**63, True, False], INT_HOSTILE),
    "size": ([0, 1, 2, 3, 4, 5, 8, 10, 16, 32, -1, -2], INT_HOSTILE),
    "int32": ([-2**31, -1, 0, 1, 2, 3, 4, 8, 16, 100, 2**31 - 1], INT_HOSTILE),
    "float": (SPECIAL_FLOATS + [0.2, 0.05, 10.0, 100.0, 1e-10],
              [None, "1.0", b"1", 2**64, 2**1100, -2**1100, 7, True, np.float32(0.5),
               np.float64(np.nan), FloatOf(0.25), FloatOf("x"), RaisingNumber(), 1 + 2j, [1.0],
               np.array([1.0, 2.0])]),
    "bool": ([True, False, np.True_, np.False_],
             [0, 1, None, "True", 1.0, RaisingNumber(), np.array([True, False])]),
    "str": (["rs", "dfa", "central", "forward", "backward", "finite_difference", "", "RS", "DFA",
             "x" * 10000, "\x00dfa", "é", "rs "], [None, b"dfa", 1, "\ud800", ["rs"], np.str_("dfa")]),
    "floatseq": ([[], [50], [0, 25, 50, 75, 100], (10, 90), [-50], [150], [100.0], [99.999],
                  [math.nan], [math.inf], [-math.inf], [1e308], [-1e308], [5e-324],
                  list(range(0, 101)), range(0, 101, 10), np.array([10.0, 90.0]), [True, 50],
                  [np.float32(12.5)], LyingSequence()],
                 ["50", 50, None, [None], ["a"], [1, "b"], {10, 20}, {"a": 1}, NotASequence([10.0]),
                  RaisingSequence(), [RaisingNumber()], np.array([[1.0, 2.0], [3.0, 4.0]]), b"50"]),
}
INTEGER_KINDS = ("int", "size", "int32")
ABSURD_INTS = [2**63 - 1, 2**64 - 1, 2**62, 2**40, 2**32, 2**31 - 1, -2**63, -1]
ABSURD_FLOATS = [1e308, -1e308, math.inf, -math.inf, math.nan, 9.223372036854776e18, 1.8446744073709552e19]


def _pick(g, seq):
    return seq[int(g.integers(len(seq)))]


def _fresh(v):  # arrays in the tables must stay as they are, whatever a call does
    return v.copy() if isinstance(v, np.ndarray) else v


def _short_repr(v):
    r = f"<ndarray shape={v.shape}>" if isinstance(v, np.ndarray) and v.size > 8 else repr(v)
    return r if len(r) <= 60 else f"{r[:50]}... ({len(r)} characters)"


def make_array(g, kind, shape, pattern, layout):
    base = FILLS[pattern](g, math.prod(shape)).reshape(shape).copy()
    if pattern == "zero_one" and len(shape) == 2 and shape[0] == shape[1]:
        base = np.maximum(base, base.T)  # an undirected adjacency now and then
    return LAYOUTS[len(shape)][layout](base), f"{kind}({shape}, {pattern}, {layout})"


def _wrong(kind, name, g, shape):
    valid = make_array(g, kind, tuple(max(s, 1) for s in shape), ARRAYS[kind][0][0], "c")[0]
    return WRONG[kind][name](valid), f"<wrong: {name}>"


def corner_values(kind):
    """Makers (g -> (value, description)) of every corner value of one kind."""
    if kind in SCALARS:
        return [lambda g, v=v: (_fresh(v), _short_repr(v)) for v in sum(SCALARS[kind], [])]
    _, shapes, patterns, per_layout = ARRAYS[kind]
    cases = [(s, p, "c") for s in shapes for p in patterns]
    cases += [(s, p, lay) for lay in LAYOUTS[len(shapes[0])] for s, p in per_layout]
    return ([lambda g, c=c: make_array(g, kind, *c) for c in cases]
            + [lambda g, w=w: _wrong(kind, w, g, (5, 3)[:len(shapes[0])]) for w in WRONG[kind]])


def random_value(g, kind, mode, hostile_p=0.12):
    """A random value of `kind` (hostile with probability hostile_p) and its description."""
    if kind in SCALARS:
        valid, hostile = SCALARS[kind]
        u = g.random()  # hostile, else half the integers and 40% of the floats drawn, else from the table
        v = (_pick(g, hostile) if u < hostile_p
             else int(g.integers(0, 12)) if kind in INTEGER_KINDS and u < 0.56
             else float(g.standard_normal()) if kind == "float" and u < 0.47 else _pick(g, valid))
        return _fresh(v), _short_repr(v)
    long1, side, long2 = ((20, 65), 12, (16, 41)) if mode == "leak" else ((100, 301), 40, (60, 201))
    if kind == "iarr1":
        shape = (int(g.integers(0, 6)),)
    elif kind == "arr1":
        shape = (_pick(g, [0, 1, 2, 3, 4, 5, 8, 16]) if g.random() < 0.6 else int(g.integers(*long1)),)
    else:
        r, c, n = int(g.integers(1, side)), int(g.integers(1, side)), int(g.integers(*long2))
        shape = _pick(g, [_pick(g, [(0, 0), (0, 3), (3, 0), (0, 1), (1, 0)]), (1, c), (r, 1),
                          (r % 4 + 1, c % 4 + 1), (r, r), (n, c % 5 + 1), (r % 5 + 1, n), (r, c)])
    if g.random() < hostile_p:
        return _wrong(kind, _pick(g, list(WRONG[kind])), g, shape)
    layouts = ["c", "c"] + list(LAYOUTS[len(shape)])
    return make_array(g, kind, shape, _pick(g, ARRAYS[kind][0]), _pick(g, layouts))


def typical_value(fname, pname, kind):
    v = TYPICAL_OVERRIDES.get((fname, pname), TYPICAL[kind])
    if isinstance(v, tuple):
        v = np.random.default_rng([SEED, 7]).standard_normal(v)
    return v, _short_repr(v)


# ---------------------------------------------------------------------------
# Signatures and cases

def parameters(fn):
    """[(name, optional)] from the function's __text_signature__."""
    sig = fn.__text_signature__
    assert sig and sig[0] + sig[-1] == "()", f"{fn.__name__}: no usable __text_signature__ ({sig!r})"
    parts = [p.strip().partition("=") for p in sig[1:-1].split(",") if p.strip()]
    return [(n.strip(), bool(d)) for n, _, d in parts if n.strip() not in ("$module", "$self", "/", "*")]


def kind_of(fname, pname):
    return OVERRIDES.get((fname, pname)) or PARAM_KINDS[pname]


Case = collections.namedtuple("Case", "args kwargs desc")


@functools.lru_cache(maxsize=None)
def _plan(fname):
    from nuvra import _rust
    fn = getattr(_rust, fname)
    params = parameters(fn)
    kinds = [kind_of(fname, p) for p, _ in params]
    typical = [typical_value(fname, p, k) for (p, _), k in zip(params, kinds)]
    corners = [(i, maker) for i, k in enumerate(kinds) for maker in corner_values(k)]
    numeric = [i for i, k in enumerate(kinds) if k in INTEGER_KINDS + ("float",)]
    absurd = [(i, v) for i in numeric for v in (ABSURD_FLOATS if kinds[i] == "float" else ABSURD_INTS)]
    if len(numeric) > 1:  # every integer parameter at once
        absurd += [(-1, v) for v in (2**63 - 1, 2**64 - 1, 2**31 - 1)]
    return fn, params, kinds, typical, corners, absurd


def case_count(fname, mode):
    plan = _plan(fname)
    return len(plan[5]) if mode == "absurd" else len(plan[4]) + N_RANDOM[mode]


def _assemble(fname, params, chosen, omit=(), g=None, structural=None):
    """Positional and keyword arguments (and a description) from per-parameter values."""
    args, kwargs, parts = [], {}, []
    as_keywords = g is not None and g.random() < 0.25
    for (pname, optional), (value, desc) in zip(params, chosen):
        if optional and pname in omit:
            continue
        if as_keywords or kwargs:  # after one keyword every later argument is one
            kwargs[pname] = value
            parts.append(f"{pname}={desc}")
        else:
            args.append(value)
            parts.append(desc)
    if structural == "missing" and parts:
        parts.pop()
        kwargs.popitem() if kwargs else args.pop()
    elif structural == "dup" and args:
        kwargs[params[0][0]] = args[0]
        parts.append(f"{params[0][0]}=<same as first>")
    elif structural == "extra" and not kwargs:
        args += [1.0] * (len(params) + 1 - len(args))
        parts.append("<extra positional 1.0 ...>")
    elif structural in ("extra", "unknown_kw"):  # no positional after a keyword: an unknown keyword
        kwargs["bogus"] = 1.0
        parts.append("bogus=1.0")
    return Case(tuple(args), kwargs, f"{fname}({', '.join(parts)})")


def build_case(fname, mode, index):
    """Case number `index` of function `fname` in `mode` (deterministic)."""
    fn, params, kinds, typical, corners, absurd = _plan(fname)
    g = np.random.default_rng([SEED, zlib.crc32(f"{fname} {mode}".encode()), index])
    chosen = [(_fresh(v), d) for v, d in typical]
    if mode == "absurd":
        i, v = absurd[index]  # i == -1: every integer parameter
        chosen = [(v, repr(v)) if j == i or (i == -1 and k in INTEGER_KINDS) else c
                  for j, (k, c) in enumerate(zip(kinds, chosen))]
        return _assemble(fname, params, chosen)
    if index < len(corners):
        i, maker = corners[index]
        chosen[i] = maker(g)
        return _assemble(fname, params, chosen)
    chosen = [random_value(g, k, mode) for k in kinds]
    arrays = [i for i, k in enumerate(kinds) if k in ("arr1", "arr2")]
    if len(arrays) >= 2 and g.random() < 0.15 and kinds[arrays[0]] == kinds[arrays[1]]:
        chosen[arrays[1]] = (chosen[arrays[0]][0], f"<same object as {params[arrays[0]][0]}>")
    omit = {p for p, optional in params if optional and g.random() < 0.3}
    structural = _pick(g, ["missing", "extra", "unknown_kw", "dup"]) if g.random() < 0.08 else None
    return _assemble(fname, params, chosen, omit, g, structural)


# ---------------------------------------------------------------------------
# Checking one call

def check_shape(v, shape, path="result"):
    """None when `v` has the documented shape, else what differs."""
    if isinstance(shape, (tuple, list)):
        if type(v) is not type(shape):
            return f"{path} is {type(v).__name__}, expected a {type(shape).__name__}"
        if isinstance(shape, tuple) and len(v) != len(shape):
            return f"{path} has {len(v)} items, expected {len(shape)}"
        items = shape if isinstance(shape, tuple) else shape * len(v)
        return next((e for k, (x, s) in enumerate(zip(v, items))
                     if (e := check_shape(x, s, f"{path}[{k}]"))), None)
    want = {"f": float, "i": int}.get(shape, np.ndarray)
    if type(v) is not want:
        return f"{path} is {type(v).__name__}, expected {want.__name__}"
    if want is np.ndarray and (v.dtype != np.float64 or not v.dtype.isnative or v.ndim != int(shape[1])):
        return f"{path} is a {v.ndim}-D {v.dtype.str} array, expected {shape[1]}-D float64"
    return None


def _plain(v):
    """`v`, or for an accepted array of another layout a C-contiguous, aligned, writeable,
    owning base-class copy of it."""
    if not isinstance(v, np.ndarray) or v.dtype.kind not in "fi" or not v.dtype.isnative or (
            type(v) is np.ndarray and v.flags.c_contiguous and v.flags.aligned
            and v.flags.writeable and v.flags.owndata):
        return v
    return np.array(v, order="C", subok=False)


def same_result(a, b):
    """Equal, floats up to the last bits (BLAS kernels may round differently with the
    buffer's alignment); NaN and infinities must match exactly."""
    if type(a) is not type(b):
        return False
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(map(same_result, a, b))
    if isinstance(a, np.ndarray) and (a.shape, a.dtype) != (b.shape, b.dtype):
        return False
    if not isinstance(a, (float, np.ndarray)):
        return a == b
    a, b = np.asarray(a), np.asarray(b)
    scale = max(1.0, float(np.max(np.abs(a[np.isfinite(a)]), initial=0.0)))
    return bool(np.isclose(a, b, rtol=1e-9, atol=1e-12 * scale, equal_nan=True).all())


def _summary(v):
    if isinstance(v, (tuple, list)):
        return f"{type(v).__name__}({', '.join(map(_summary, v[:6]))})"
    return repr(v) if not isinstance(v, np.ndarray) else np.array2string(v, threshold=8, precision=17)


def _call(fn, args, kwargs):
    """(outcome label, result or None, exception or None)."""
    try:
        return "returned", fn(*args, **kwargs), None
    except BaseException as e:  # PanicException derives from BaseException
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        panic = (type(e).__module__, type(e).__name__) == ("pyo3_runtime", "PanicException")
        # without its traceback: e -> traceback -> this frame -> e would keep the arguments alive
        return ("PanicException" if panic else type(e).__name__), None, e.with_traceback(None)


def run_case(fn, fname, case):
    """Calls once; returns (outcome label, problem or None).  When an argument has an
    unusual layout and the call returns, it is repeated with contiguous copies."""
    values = list(case.args) + list(case.kwargs.values())
    snaps = [(v, v.tobytes()) for v in values if isinstance(v, np.ndarray)]
    outcome, result, exc = _call(fn, case.args, case.kwargs)
    problem = None
    if outcome == "returned":
        problem = check_shape(result, RESULTS[fname]) if fname in RESULTS else None
    elif outcome == "PanicException":
        if not (len(exc.args) == 1 and isinstance(exc.args[0], str)):
            problem = f"PanicException args are {exc.args!r}, expected one message string"
    elif isinstance(exc, FuzzSentinelError):
        outcome = "own-conversion-error"
    elif not isinstance(exc, ALLOWED_ERRORS) or (isinstance(exc, ValueError) and not isinstance(
            exc, UnicodeError) and fname not in VALUE_ERROR_FUNCTIONS):
        problem = f"raised {type(exc).__module__}.{type(exc).__qualname__}: {exc}"
    del exc
    if any(arr.tobytes() != before for arr, before in snaps):
        problem = (problem + "; " if problem else "") + "an input array was modified"
    copies = {id(v): _plain(v) for v in values}  # an aliased argument stays aliased
    if outcome == "returned" and not problem and any(copies[id(v)] is not v for v in values):
        outcome2, result2, exc2 = _call(fn, tuple(copies[id(v)] for v in case.args),
                                        {k: copies[id(v)] for k, v in case.kwargs.items()})
        if outcome2 != "returned":
            problem = f"returned for these arrays but {outcome2} ({exc2}) for contiguous copies of them"
        elif not same_result(result, result2):
            problem = (f"result depends on the array layout: {_summary(result)} for these "
                       f"arrays, {_summary(result2)} for contiguous copies")
        del exc2, result2
    del result
    return outcome, problem


# ---------------------------------------------------------------------------
# Worker process

def worker_main():
    """Runs jobs [fname, mode, first case] from stdin; writes "S [index]" before a call,
    "F [index, problem]" and at the end "E [outcome counts]"."""
    out = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)  # nothing but the protocol may reach the parent's pipe
    sys.stdout = sys.stderr
    if not sanitized():
        import faulthandler
        faulthandler.enable()
    from nuvra import _rust  # noqa: F401 - loaded before the address space is capped
    if not sanitized():  # (the sanitizer runtime reserves terabytes of shadow address space)
        # Absurd allocations fail fast; every thread's stack, malloc arena and BLAS buffer
        # still fit (OpenBLAS spins instead of failing when its buffer cannot be mapped).
        vm = int(pathlib.Path("/proc/self/statm").read_text().split()[0]) * resource.getpagesize()
        limit = vm + (6 << 30) + (2 * (os.cpu_count() or 2) + 4) * (256 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    selftest = os.environ.get("NUVRA_FUZZ_SELFTEST")
    send = lambda tag, *data: out.write(f"{tag} {json.dumps(data)}\n")  # noqa: E731
    for line in sys.stdin:  # an error of the harness itself ends the worker with a traceback
        fname, mode, start = json.loads(line)
        stats = collections.Counter()
        for idx in range(start, case_count(fname, mode)):
            send("S", idx)
            if selftest and idx in (1, 3):  # the runner's own test: a crash, then a hang
                if idx == 1 and selftest == "overflow":  # a heap overflow in an intercepted memmove
                    libc = ctypes.CDLL(None)
                    libc.malloc.restype = ctypes.c_void_p
                    ctypes.memmove(libc.malloc(8), b"x" * 64, 64)
                os.abort() if idx == 1 else time.sleep(3600)  # abort: how a sanitizer report ends
            outcome, problem = run_case(_plan(fname)[0], fname, build_case(fname, mode, idx))
            stats[outcome] += 1
            if problem:
                send("F", idx, problem)
        send("E", stats)


# ---------------------------------------------------------------------------
# Child processes: the fuzz workers and the one-shot checks

SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer",
                     "AddressSanitizer: CHECK failed", "WARNING: AddressSanitizer")


def _spawn(entry, *args, flags=(), **popen):
    """A fresh interpreter running fuzz_support.<entry>(*args)."""
    here = os.path.dirname(os.path.abspath(__file__))
    code = f"import sys; sys.path.insert(0, {here!r}); import fuzz_support; fuzz_support.{entry}(*{args!r})"
    return subprocess.Popen([sys.executable, *flags, "-c", code], **popen)


def _stderr_report(path):
    """(sanitizer marker or None, the report from its first line, else the end of the file)."""
    with open(path, "rb") as f:
        f.seek(max(0, f.seek(0, 2) - 200000))
        text = f.read().decode(errors="replace")
    for marker in SANITIZER_MARKERS:
        at = text.rfind(marker)
        if at >= 0:
            return marker, "\n".join(text[text.rfind("\n", 0, at) + 1:].splitlines()[:40])
    return None, "\n".join(text.splitlines()[-40:])


def _sanitizer_log(pid):
    """The sanitizer report files of process `pid`, when reports go to files."""
    paths = set()
    for var in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        m = re.search(r"(?:^|:)log_path=([^:]+)", os.environ.get(var, ""))
        if m:
            base = glob.escape(m.group(1))
            paths.update(glob.glob(f"{base}.{pid}") + glob.glob(f"{base}.{pid}.*"))
    return "\n".join(pathlib.Path(p).read_text(errors="replace")[-4000:] for p in sorted(paths))


def _describe_exit(code):
    return f"exited with code {code}" if code >= 0 else f"died from {signal.strsignal(-code)} ({-code})"


def run_child(entry, *args, timeout=900, flags=()):
    """Runs fuzz_support.<entry>(*args) in a fresh interpreter; returns (the JSON report on
    its last stdout line or None, what went wrong, exit code).  Its stderr goes to a file."""
    with tempfile.NamedTemporaryFile() as err:
        proc = _spawn(entry, *args, flags=flags, stdout=subprocess.PIPE, stderr=err, text=True)
        try:
            out = proc.communicate(timeout=timeout)[0]
        except subprocess.TimeoutExpired:
            proc.kill()
            out = proc.communicate()[0]
        marker, text = _stderr_report(err.name)
    lines = out.strip().splitlines()
    detail = (f"{_describe_exit(proc.returncode)}" + (f", sanitizer report ({marker})" if marker else "")
              + f":\n{text}\n{_sanitizer_log(proc.pid)}")
    ok = proc.returncode == 0 and lines and not marker
    return (json.loads(lines[-1]) if ok else None), detail, proc.returncode


def _close(proc):
    try:
        proc.stdin.close()
        proc.wait(timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        proc.kill()
        proc.wait()


def run_fuzz(jobs, workers=None):
    """Runs (fname, mode) jobs; returns {job: {"failures": [...], "stats": {...}, "calls": n}}.

    One thread per worker process feeds it jobs and reads its reports; the main
    thread kills a worker whose call outlives the timeout.  A worker that dies is
    replaced and its job goes on after the case that killed it."""
    timeout = float(os.environ.get("NUVRA_FUZZ_TIMEOUT", 20.0 if sanitized() else 5.0))
    workers = workers or int(os.environ.get("NUVRA_FUZZ_WORKERS", 0)) or min(os.cpu_count(), 8)
    results = {job: {"failures": [], "stats": collections.Counter(), "hard": 0, "calls": 0} for job in jobs}
    pending = collections.deque((fname, mode, 0) for fname, mode in jobs)
    tmpdir, serial, spawned, stop = tempfile.mkdtemp(prefix="nuvra-fuzz-"), itertools.count(), [], []

    def fail(job, idx, problem, extra=""):
        fname, mode = job
        try:
            call = "<between calls>" if idx is None else build_case(fname, mode, idx).desc
        except Exception as e:  # noqa: BLE001
            call = f"<case {idx}: {e}>"
        results[job]["failures"].append(f"{fname}: {problem}\n  call: {call}\n  replay: python "
                                        f"tests/fuzz_support.py --replay {fname} {mode} {idx}{extra}")

    def slot():
        w = None
        while pending and not stop:
            try:
                fname, mode, start = pending.popleft()
            except IndexError:
                break
            job, res = (fname, mode), results[(fname, mode)]
            if w is None:
                err = os.path.join(tmpdir, f"worker{next(serial)}.stderr")
                with open(err, "wb") as f:
                    proc = _spawn("worker_main", stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=f)
                w = types.SimpleNamespace(proc=proc, err=err, jobs=[], hung=False, quoted=False)
                spawned.append(w)
            w.jobs.append(job)
            w.current, w.deadline, lines = None, time.monotonic() + timeout, ()
            try:
                w.proc.stdin.write((json.dumps([fname, mode, start]) + "\n").encode())
                w.proc.stdin.flush()
                lines = w.proc.stdout
            except OSError:  # it died while idle
                pass
            for line in lines:
                tag, data = line[:1], json.loads(line[2:])
                if tag == b"S":
                    w.current, w.deadline = data[0], time.monotonic() + timeout
                    res["calls"] += 1
                elif tag == b"F":
                    fail(job, *data)
                else:  # "E": the job is done
                    res["stats"].update(data[0])
                    w.deadline = None
                    break
            else:  # the worker is gone: it crashed, or the main thread killed it
                _close(w.proc)
                san = _sanitizer_log(w.proc.pid)
                extra = (f"\n  sanitizer report:\n{san}" if san
                         else "\n  stderr:\n" + re.sub("(?m)^", "    ", _stderr_report(w.err)[1]))
                fail(job, w.current, f"hang: no answer within {timeout:g} s (killed)" if w.hung
                     else f"worker crashed ({_describe_exit(w.proc.returncode)})", extra)
                w.quoted, res["hard"] = True, res["hard"] + 1
                nxt = 0 if w.current is None else w.current + 1
                if res["hard"] >= MAX_HARD_FAILURES:
                    res["failures"].append(f"{fname}: stopped after {res['hard']} crashes/hangs; "
                                           "its remaining cases did not run")
                elif nxt < case_count(fname, mode):
                    pending.appendleft((fname, mode, nxt))
                w = None
        if w:
            _close(w.proc)

    threads = [threading.Thread(target=slot) for _ in range(max(1, min(workers, len(jobs))))]
    try:
        for t in threads:
            t.start()
        while any(t.is_alive() for t in threads):
            for w in list(spawned):
                if w.deadline is not None and time.monotonic() > w.deadline and not w.hung:
                    w.hung = True
                    w.proc.kill()
            time.sleep(0.1)
    finally:
        stop.append(True)
        for w in spawned:
            w.proc.kill()  # none is left after a normal end
        for t in threads:
            t.join()
        # reports written by a sanitizer without ending the process still fail the run
        for w in spawned:
            marker, report = _stderr_report(w.err)
            if marker and not w.quoted:
                job = (w.jobs or list(results))[-1]
                results[job]["failures"].append(f"{job[0]}: sanitizer report ({marker}) in a fuzz "
                                                f"worker that ran {[j[0] for j in w.jobs]}:\n{report}")
        shutil.rmtree(tmpdir)
    for res in results.values():
        res["stats"] = dict(res["stats"])
    return results


# ---------------------------------------------------------------------------
# One-shot children: leak check, borrow check, typical calls (a JSON report on stdout)

def _report(obj):
    sys.__stdout__.write(json.dumps(obj) + "\n")


def _malloc_in_use():
    class MallInfo2(ctypes.Structure):  # arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks ...
        _fields_ = [("f", ctypes.c_size_t * 10)]
    mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
    if mallinfo2 is None:
        return 0
    mallinfo2.restype = MallInfo2
    info = mallinfo2().f
    return info[7] + info[4]  # uordblks + hblkhd


def _rss():
    return int(pathlib.Path("/proc/self/statm").read_text().split()[1]) * resource.getpagesize()


def _arrays_in(value):
    if isinstance(value, np.ndarray):
        return [value]
    return [a for v in value for a in _arrays_in(v)] if isinstance(value, (tuple, list)) else []


def leak_child_main(rounds, only=None):
    """Calls every function (or those in `only`) many times; reports growth per function."""
    from nuvra import _rust
    funcs = {f: getattr(_rust, f) for f in only or _rust.__all__}
    if os.environ.get("NUVRA_LEAK_SELFTEST") == "1":
        # the checker's own test: a stand-in for `mean` that leaks in every way watched
        hoard, malloc = [], ctypes.CDLL(None).malloc
        malloc.restype = ctypes.c_void_p
        funcs["mean"] = lambda *args, **kwargs: hoard.extend([args, malloc(4096), np.ones(3)]) or hoard[-1]
    cases = {f: [build_case(f, "leak", i) for i in range(case_count(f, "leak"))] for f in funcs}
    gc.freeze()  # the cases live throughout: collections need not scan them

    def passes(fname, times, problems, collect=True):
        for case in cases[fname] * times:
            inputs = list(case.args) + list(case.kwargs.values())
            refs = [sys.getrefcount(v) for v in inputs]
            result = _call(funcs[fname], case.args, case.kwargs)[1]
            # NumPy arrays are not tracked by the garbage collector: watch them die instead
            watched = [weakref.ref(a) for a in _arrays_in(result)]
            del result
            if alive := sum(r() is not None for r in watched):
                problems.add(f"{alive} result array(s) still alive after the result was dropped "
                             f"in {case.desc}")
            if (after := [sys.getrefcount(v) for v in inputs]) != refs:
                problems.add(f"argument reference counts changed {refs} -> {after} in {case.desc}")
            del inputs
        if collect:
            gc.collect()

    report = {"functions": {}, "calls": 0, "rss_start": None}
    for fname in funcs:
        problems = set()
        passes(fname, 2, problems)  # warm-up: one-time objects, caches, the pool
        report["rss_start"] = report["rss_start"] or _rss()
        m0, b0 = _malloc_in_use(), sys.getallocatedblocks()
        passes(fname, rounds, problems)
        calls = rounds * len(cases[fname])
        report["calls"] += calls
        by_kind = {p.split(" in ")[0].split("[")[0][:40]: p for p in sorted(problems, reverse=True)}
        report["functions"][fname] = {"calls": calls, "malloc_growth": _malloc_in_use() - m0,
                                      "block_growth": sys.getallocatedblocks() - b0,
                                      "problems": sorted(by_kind.values())}
    # everything once more: resident memory must stay where the first pass left it
    gc.collect()
    report["rss_mid"] = _rss()
    for fname in funcs:
        passes(fname, max(1, rounds // 2), set(), collect=False)
    gc.collect()
    _report({**report, "rss_end": _rss()})


class CountingRegistry:
    """A borrow registry of our own that counts and checks every acquire and release.
    The frame may call it with a Python exception pending: it uses operators on plain
    dicts and ints only (no calls), which still work then."""
    NAME = "_RUST_NUMPY_BORROW_CHECKING_API"

    def __init__(self):
        self.acquires = self.releases = self.mut_calls = self.refuse_after = 0
        self.refuse, self.held, self.errors = None, {}, []  # refuse: what acquires answer
        acq, rel = (ctypes.CFUNCTYPE(r, ctypes.c_void_p, ctypes.c_void_p) for r in (ctypes.c_int32, None))
        self._fns = [acq(self._acquire), acq(self._mut), rel(self._release), rel(self._mut)]
        # version, flags, acquire, acquire_mut, release, release_mut
        self.api = (ctypes.c_void_p * 6)(1, None, *(ctypes.cast(f, ctypes.c_void_p) for f in self._fns))
        self._name = ctypes.create_string_buffer(self.NAME.encode())
        new = ctypes.pythonapi.PyCapsule_New
        new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p] * 3
        self.capsule = new(ctypes.addressof(self.api), ctypes.addressof(self._name), None)

    def _acquire(self, flags, arr):
        if self.refuse is not None and self.refuse_after <= 0:
            return self.refuse
        self.refuse_after -= 1
        self.acquires += 1
        self.held[arr] = (self.held[arr] if arr in self.held else 0) + 1
        return 0

    def _release(self, flags, arr):
        self.releases += 1
        if arr not in self.held:
            self.errors += [arr]  # a release without a borrow
        elif self.held[arr] == 1:
            del self.held[arr]
        else:
            self.held[arr] -= 1

    def _mut(self, flags, arr):  # exclusive borrows: counted and refused
        self.mut_calls += 1
        return -2


def borrow_child_main():
    """Runs every function's leak cases under a counting registry installed first."""
    import numpy._core.multiarray as multiarray
    reg = CountingRegistry()
    setattr(multiarray, reg.NAME, reg.capsule)  # before the extension is first imported
    from nuvra import _rust
    report = {"functions": {}}
    for fname in _rust.__all__:
        unbalanced, bad = [], []
        for i in range(case_count(fname, "leak")):
            case = build_case(fname, "leak", i)
            outcome, _, exc = _call(getattr(_rust, fname), case.args, case.kwargs)
            if reg.acquires != reg.releases or reg.held:
                unbalanced.append(f"after {outcome} of {case.desc}: {reg.acquires} acquires, "
                                  f"{reg.releases} releases")
                reg.releases = reg.acquires
                reg.held.clear()
            if outcome not in ("returned", "PanicException") and not isinstance(
                    exc, ALLOWED_ERRORS + (FuzzSentinelError,)):
                bad.append(f"{outcome}: {exc} in {case.desc}")
            del case, exc
        report["functions"][fname] = {"calls": case_count(fname, "leak"), "unbalanced": unbalanced[:5],
                                      "bad_outcomes": bad[:5], "bad_outcome_count": len(bad)}
    report["checks"] = {"acquires": reg.acquires, "mut_calls": reg.mut_calls, "errors": [
                        f"release of an array holding no borrow ({a:#x})" for a in reg.errors[:5]],
                        "capsule_kept": getattr(multiarray, reg.NAME) is reg.capsule}

    def refused(call, code, after=0):
        """[outcome, exception args, [acquires, releases, still held]] of a call whose
        acquires answer `code` after the first `after`."""
        reg.refuse, reg.refuse_after, a0, r0 = code, after, reg.acquires, reg.releases
        outcome, _, exc = _call(call, (), {})
        reg.refuse = None
        counts = [reg.acquires - a0, reg.releases - r0, len(reg.held)]
        return [outcome, exc and list(map(str, exc.args)), counts]

    x, y = np.arange(5.0), np.arange(5.0) * 2
    report["refused"] = {"mean": refused(lambda: _rust.mean(x), -1),
                         "mean_code5": refused(lambda: _rust.mean(x), 5),
                         "second_array": refused(lambda: _rust.euclidean_distance(x, y), -1, after=1),
                         "then_ok": refused(lambda: _rust.mean(x), None)}
    _report(report)


def typical_child_main():
    """Calls every function once with typical arguments; reports the outcomes."""
    from nuvra import _rust
    out = {}
    for fname in _rust.__all__:
        fn, _, _, typical = _plan(fname)[:4]
        outcome, _, exc = _call(fn, tuple(v for v, _ in typical), {})
        out[fname] = f"{outcome}: {exc}"
    _report(out)


if __name__ == "__main__":
    if len(sys.argv) != 5 or sys.argv[1] != "--replay":
        sys.exit("usage: fuzz_support.py --replay FUNCTION MODE INDEX")
    np.set_printoptions(threshold=1000000, precision=17)
    case = build_case(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    print(case.desc)
    for k, v in [*enumerate(case.args), *case.kwargs.items()]:
        layout = f" strides={v.strides} aligned={v.flags.aligned}" if isinstance(v, np.ndarray) else ""
        print(f"  {k}: {type(v).__name__} {v!r}{layout}", flush=True)
    print(run_case(_plan(sys.argv[2])[0], sys.argv[2], case))
