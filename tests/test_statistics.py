"""Moments, extrema, percentiles, crossings and the derivative family."""

import functools
import itertools
import math
import time

import numpy as np
import pytest
import scipy.stats
from hypothesis import given, settings, strategies as st

from helpers import NAN, INF, arr, assert_stops_on_ctrl_c, layouts, in_order_sum, same
from nuvra import _rust as nv

rng = np.random.default_rng(20240611)


DOCS = {  # name: (text signature, doc string)
    "mean": ("(signal)", "Compute mean."), "std": ("(signal, ddof)", "Compute standard deviation."),
    "variance": ("(signal, ddof)", "Compute variance."), "min_max": ("(signal)", "Compute min and max."),
    "rms": ("(signal)", "Compute RMS."), "peak_to_peak": ("(signal)", "Compute peak-to-peak."),
    "skewness": ("(signal)", "Compute skewness."), "kurtosis": ("(signal, fisher)", "Compute kurtosis."),
    "crest_factor": ("(signal)", "Compute crest factor."),
    "pulsation_index": ("(signal)", "Compute pulsation index."),
    "derivative": ("(signal, dt)", "Compute derivative."),
    "integral": ("(signal, dt)", "Compute integral (trapezoidal)."),
    "curvature": ("(signal, dt)", "Compute curvature."), "rate_of_change": ("(signal)", "Compute rate of change."),
    "zero_crossings": ("(signal)", "Count zero crossings."), "mean_crossings": ("(signal)", "Count mean crossings."),
    "percentiles": ("(signal, q)", "Compute percentiles."),
    "first_derivative": ("(signal, dt, method)", "Compute first derivative."),
    "second_derivative": ("(signal, dt, method)", "Compute second derivative."),
    "gradient": ("(signal, dt)", "Compute gradient."),
    "finite_difference": ("(signal, order, dt)", "Compute finite difference."),
    "jerk": ("(signal, dt)", "Compute jerk (third derivative)."),
}


def test_docs_and_signatures():
    for name, (sig, doc) in DOCS.items():
        assert (getattr(nv, name).__text_signature__, getattr(nv, name).__doc__) == (sig, doc)


# ---------------------------------------------------------------- moments

NOISY = rng.normal(3.0, 2.0, 501) ** 3
NOISY[[0, 7, 100, 500]] = [NAN, INF, -INF, NAN]
FINITE = NOISY[np.isfinite(NOISY)]
MOMENTS = {  # (call, textbook or SciPy reference on the finite samples)
    "mean": (nv.mean, lambda f: in_order_sum(f) / len(f)), "rms": (nv.rms, lambda f: np.sqrt(np.mean(f * f))),
    "std": (lambda a: nv.std(a, 1), lambda f: np.std(f, ddof=1)), "peak_to_peak": (nv.peak_to_peak, np.ptp),
    "variance": (lambda a: nv.variance(a, ddof=1), lambda f: np.var(f, ddof=1)),
    "skewness": (nv.skewness, lambda f: scipy.stats.skew(f, bias=True)),
    "kurtosis": (lambda a: nv.kurtosis(a, True), lambda f: scipy.stats.kurtosis(f, bias=True)),
    "kurtosis_pearson": (lambda a: nv.kurtosis(a, np.bool_(False)),
                         lambda f: scipy.stats.kurtosis(f, fisher=False, bias=True)),
    "crest_factor": (nv.crest_factor, lambda f: np.max(np.abs(f)) / np.sqrt(np.mean(f * f))),
    "pulsation_index": (nv.pulsation_index, lambda f: np.ptp(f) / abs(np.mean(f))),
    "min_max": (nv.min_max, lambda f: (f.min(), f.max())),
}


@pytest.mark.parametrize("name", list(MOMENTS))
def test_moments_against_references(name):  # layouts: test_fast_paths_match_plain_loops
    call, ref = MOMENTS[name]
    got = call(layouts(NOISY)["strided"])
    assert got == call(np.ascontiguousarray(FINITE)) and got == pytest.approx(ref(FINITE), rel=1e-12)


KNOWN = [  # (function, signal, further arguments, expected): floats and tuples bit for bit, lists as arrays
    ("mean", [1, NAN, 3, INF], (), 2.0), ("min_max", [NAN, 5, -INF, 2], (), (2.0, 5.0)),
    ("std", [2, 4, 4, 4, 5, 5, 7, 9], (0,), 2.0), ("std", [5], (0,), 0.0), ("variance", [5], (0,), 0.0),
    ("std", [5], (1,), NAN), ("variance", [5], (1,), NAN), ("std", [1, 2], (2**64 - 1,), NAN),
    ("skewness", [1, 2, 3], (), 0.0), ("skewness", [0, 0, 1], (), pytest.approx(0.7071067811865475)),
    ("skewness", [1, 2], (), NAN), ("skewness", [4, 4, 4, 4], (), NAN), ("kurtosis", [1, 2, 3], (True,), NAN),
    ("kurtosis", [1, 2, 3, 4], (False,), pytest.approx(1.64)), ("kurtosis", [2] * 4, (False,), NAN),
    ("kurtosis", [1, 2, 3, 4], (True,), pytest.approx(-1.36)),
    ("crest_factor", [1, -1, 1, -1], (), 1.0), ("crest_factor", [0.0, -0.0], (), NAN),
    ("crest_factor", [3, 4], (), pytest.approx(1.1313708498984762)), ("pulsation_index", [1, 3], (), 1.0),
    ("pulsation_index", [-1, 1], (), NAN), ("pulsation_index", [-1, -3], (), 1.0), ("peak_to_peak", [7.5], (), 0.0),
    ("rms", [1e300, 1e300], (), INF), ("mean", [-0.0], (), -0.0), ("mean", [-0.0, -0.0], (), -0.0),
    ("min_max", [0.0, -0.0], (), (-0.0, 0.0)), ("min_max", [-0.0, 0.0], (), (-0.0, 0.0)),
    ("gradient", [1, 4, 9, 16], (1.0,), [3, 4, 6, 7]), ("gradient", [2], (1.0,), [NAN]),
    ("gradient", [1, NAN, 3, 4], (1.0,), [NAN, 1, NAN, 1]), ("gradient", [1, 2, 4], (0.0,), [INF, INF, INF]),
    ("gradient", [], (1.0,), [NAN]), ("derivative", [1, 4, 9], (0.5,), [6, 10]), ("derivative", [1], (0.5,), [NAN]),
    ("derivative", [1, 1], (0.0,), [NAN]),
    ("rate_of_change", [2, 3, 0, 5], (), [0.5, -1.0, NAN]), ("rate_of_change", [-0.0, 5], (), [NAN]),
    ("rate_of_change", [-2, -1], (), [0.5]), ("integral", [1, 2, 3], (1.0,), [0.0, 1.5, 4.0]),
    ("integral", [1], (1.0,), [0.0]), ("integral", [], (1.0,), [0.0]), ("curvature", [1, 3, 5, 7], (0.5,), [0] * 4),
    ("curvature", [0, 1, 4, 9, 16], (1.0,), [2 / (g * g + 1) ** 1.5 for g in [1, 2, 4, 6, 7]]),
    ("curvature", [1, 2], (1.0,), [NAN]), ("first_derivative", [1, 4, 9], (1.0, "forward"), [3, 5, 5]),
    ("first_derivative", [1, 4, 9], (1.0, "backward"), [3, 3, 5]),
    ("first_derivative", [1, 4, 9], (1.0, "Forward"), [3, 4, 5]), ("first_derivative", [1, 4, 9], (1.0, ""), [3, 4, 5]),
    ("first_derivative", [1], (1.0, "forward"), [NAN]),
    ("second_derivative", [1, 4, 9, 16], (1.0, "finite_difference"), [2, 2, 2, 2]),
    ("second_derivative", [1, 4, 9, 16], (1.0, "central"), [1, 1.5, 1.5, 1]),
    ("second_derivative", [1, 4], (1.0, "central"), [NAN, NAN]), ("second_derivative", [], (1.0, "central"), []),
    ("jerk", [0, 1, 8, 27, 64, 125], (1.0,), [3, 4.5, 6, 2.25, -3, -4.5]), ("jerk", [0, 1, 8], (1.0,), [NAN] * 3),
    ("jerk", [], (1.0,), []), *[("finite_difference", [1, 4, 9, 16], (o, 1.0), e) for o, e in [(0, [1, 4, 9, 16]),
                                (1, [3, 5, 7, 7]), (2, [2, 2, 0, 0]), (3, [0, -2, 0, 0]), (4, [-2, 2, 0, 0])]],
    ("finite_difference", [], (1, 1.0), [NAN]), ("finite_difference", [], (0, 1.0), []),
    ("finite_difference", [2.5], (1, 1.0), [NAN]), ("finite_difference", [2.5], (0, 1.0), [2.5]),
]


@pytest.mark.parametrize("name, signal, args, expected", KNOWN)
def test_known_answers(name, signal, args, expected):
    got = getattr(nv, name)(arr(signal), *args)
    if isinstance(expected, tuple):
        assert len(got) == len(expected) and all(same(g, e) for g, e in zip(got, expected))
    elif isinstance(expected, list):
        np.testing.assert_allclose(got, arr(expected), rtol=1e-15, atol=0)
    elif isinstance(expected, float):
        assert same(got, expected)
    else:
        assert got == expected


@pytest.mark.parametrize("a", [arr([]), arr([NAN, INF, -INF])])
def test_no_finite_sample(a):
    names = ["mean", "rms", "peak_to_peak", "skewness", "crest_factor", "pulsation_index"]
    assert all(math.isnan(v) for v in [*(getattr(nv, name)(a) for name in names), nv.std(a, 0), nv.variance(a, 0),
                                       nv.kurtosis(a, True), *nv.min_max(a), *nv.percentiles(a, [10, 90])])
    assert nv.zero_crossings(a) == 0 and nv.mean_crossings(a) == 0


def finite_difference_reference(x, order, dt):
    v = [float(t) for t in x]
    for _ in range(order):  # each pass repeats its last difference
        d = [(b - a) / dt for a, b in zip(v, v[1:])]
        v = d + d[-1:]
    return v


@pytest.mark.parametrize("dt", [1.0, -1.0, 0.5, 3.0])
def test_finite_difference_repeats_the_last_difference_every_pass(dt):
    x = np.random.default_rng(5).integers(-9, 9, 7).astype(float)
    for order in range(40):
        assert np.array_equal(nv.finite_difference(x, order, dt), finite_difference_reference(x, order, dt))
    if abs(dt) != 1.0:  # the values reach 0 or infinity, then repeat with period 1 or 2:
        start = time.perf_counter()  # an absurd order ends at once, by its parity
        for big in (2**64 - 1, 2**64 - 2):
            assert np.array_equal(nv.finite_difference(x, big, dt),
                                  finite_difference_reference(x, 4000 + big % 2, dt), equal_nan=True)
        assert time.perf_counter() - start < 1.0
    assert not np.shares_memory(nv.finite_difference(x, 0, 1.0), x)  # order 0: a copy


def test_long_calls_stop_on_ctrl_c():  # order n - 1: n - 1 passes, quadratic in the length
    assert_stops_on_ctrl_c({"finite_difference": (
        "x = np.random.default_rng(0).random(1_000_000)", "nv.finite_difference(x, 999_999, 1.0)")})


# ---------------------------------------------------------------- percentiles

def stable_percentiles(values, qs):
    """Linear interpolation over Python's stable sort of the finite values."""
    s, out = sorted(v for v in values if math.isfinite(v)), []
    for q in qs:
        if not s or not 0.0 <= q <= 100.0:
            out.append(NAN)
            continue
        pos = (q / 100.0) * (len(s) - 1)
        lo = int(math.floor(pos))
        out.append((1.0 - (pos - lo)) * s[lo] + (pos - lo) * s[min(len(s) - 1, lo + 1)])
    return out


def assert_stable(values, qs):
    got = nv.percentiles(arr(values), qs)
    assert len(got) == len(qs) and all(same(g, w) for g, w in zip(got, stable_percentiles(values, qs)))


def test_percentiles_against_numpy():
    data = np.round(rng.normal(0, 5, 2001), 1)  # many ties
    data[::97] = NAN
    qs = list(rng.uniform(0, 100, 40)) + [0, 1, 50, 99, 100]
    got = nv.percentiles(layouts(data)["reversed"], qs)
    np.testing.assert_allclose(got, np.percentile(data[np.isfinite(data)], qs), rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("make", [
    lambda: rng.choice(arr([-0.0, 0.0, 3.0, -2.0, 1e-310, -1e300]), 5000),  # heavy ties
    lambda: rng.normal(0, 1, 20000) * 10.0 ** rng.integers(-300, 300, 20000),  # wide exponents
    lambda: np.concatenate([np.full(3000, 2.5), rng.normal(2.5, 1e-12, 3000)]),  # near-equal
    *[(lambda v=v: arr(v)) for v in [[5, -0.0, -0.0, 0.0, -1], [5, 0.0, -0.0, -0.0, -1], [0.0, -0.0],
                                       [-0.0, 0.0], [-0.0, 1.0, -0.0, -0.0]]],  # signed zeros
])
def test_percentiles_against_stable_sort(make):
    qs = list(np.linspace(0, 100, 37)) + list(rng.uniform(0, 100, 20)) + [25, 50, 75, 12.5, 62.5]
    assert_stable(list(make()), qs)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from([-0.0, 0.0, 1.0, -1.5, 2.0, NAN, INF, 1e-300]), max_size=40),
       st.lists(st.floats(-10, 110) | st.sampled_from([0, 25, 50, 100, NAN]), max_size=12))
def test_percentiles_match_stable_sort(values, qs):
    assert_stable(values, qs)


def test_percentiles_known_answers_and_out_of_range():
    a = arr([1, 2, 3, 4, 5])
    assert nv.percentiles(a, [0, 25, 50, 100]) == [1.0, 2.0, 3.0, 5.0]
    assert nv.percentiles(a, (10,)) == [pytest.approx(1.4)]
    assert nv.percentiles(a, np.array([50.0])) == [3.0] and nv.percentiles(a, []) == []
    assert nv.percentiles(arr([3, NAN, 1, 2]), [50]) == [2.0]
    assert nv.percentiles(arr([7.0]), [0, 37.5, 100]) == [7.0, 7.0, 7.0]
    got = nv.percentiles(arr([1, 2, 3]), [-50, 120, 150, 1e300, INF, -INF, NAN, 50, -1e-300, 100.0000001])
    assert got[7] == 2.0 and all(math.isnan(v) for i, v in enumerate(got) if i != 7)
    assert all(math.isnan(v) for v in nv.percentiles(arr([4.0]), [-20, 500]))


@pytest.mark.parametrize("values, zero, mean_", [
    ([1, -1, 1, -1], 3, 3), ([-1, 0, 1], 1, 1), ([1, 0, -1], 1, 1), ([1, 0, 1], 0, 2),
    ([1, NAN, -1], 1, 1), ([4], 0, 0), ([1, 2, 3, 4], 0, 1), ([2, 2, 2], 0, 0), ([1, 3, NAN, 1], 0, 2),
])
def test_crossings_known(values, zero, mean_):
    assert (nv.zero_crossings(arr(values)), nv.mean_crossings(arr(values))) == (zero, mean_)


# ---------------------------------------------------------------- fast paths
#
# The kernels run four lanes wide and fold the finite filter into their
# passes; each must give, bit for bit, what the plain loop gives in the same
# order of operations (NaN compared as NaN).

_r = np.random.default_rng(7)
_noisy, _big = _r.normal(0.2, 1.5, 203), np.full(609, NAN)  # 203: vector blocks and a scalar tail
_noisy[_r.integers(0, 203, 25)] = _r.choice([NAN, -NAN, INF, -INF], 25)
_big[::-3] = _r.normal(0.3, 2.0, 203)
KINDS = {"finite_strided_reversed": _big[::-3], "nan": _noisy,
         "zeros": _r.choice(arr([0.0, -0.0, NAN]), 203)}  # a zero minimum and maximum
DT = 0.1


def _div(a, b):
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def _moments(f):
    m = _div(in_order_sum(f), len(f))
    m2 = _div(in_order_sum((v - m) * (v - m) for v in f), len(f))
    return m, m2, [(v - m) / math.sqrt(m2) for v in f] if m2 else []


def _grad(v):
    inner = [(v[i + 1] - v[i - 1]) / (DT + DT) for i in range(1, len(v) - 1)]
    return [(v[1] - v[0]) / DT] + inner + [(v[-1] - v[-2]) / DT]


def _stencil(v):
    s = [(v[i - 1] + (v[i + 1] - (v[i] + v[i]))) / (DT * DT) for i in range(1, len(v) - 1)]
    return s[:1] + s + s[-1:]


def _fdiff(v, order):
    for k in range(order):
        d = [(v[i + 1] - v[i]) / DT for i in range(len(v) - 1 - k)]
        v = d + [d[-1]] * (k + 1)
    return list(v)


def _crossings(f, m):
    return sum((a - m >= 0.0) != (b - m >= 0.0) for a, b in zip(f, f[1:]))


def _pairs(x, y):
    return [(a, b) for a, b in zip(x, y) if math.isfinite(a) and math.isfinite(b)]


def _cosine(x, y):
    p = _pairs(x, y)
    dot, sxx, syy = (in_order_sum(a * b for a, b in p), in_order_sum(a * a for a, _ in p),
                     in_order_sum(b * b for _, b in p))
    return NAN if sxx == 0.0 or syy == 0.0 else min(max(dot / (math.sqrt(sxx) * math.sqrt(syy)), -1.0), 1.0)


def _lo(f):  # minimum and maximum with -0.0 below +0.0
    return functools.reduce(lambda a, b: a if a < b else b if b < a else a if math.copysign(1, a) < 0 else b, f, INF)


def _hi(f):
    return functools.reduce(lambda a, b: a if a > b else b if b > a else b if math.copysign(1, a) < 0 else a, f, -INF)


def _integral(v):  # the running sum from +0.0
    return list(itertools.accumulate((DT * ((v[i] + v[i - 1]) * 0.5) for i in range(1, len(v))), initial=0.0))


# name: (nuvra call on (x, y), plain loop on (raw list v, finite list f, raw list of y))
PLAIN = {
    "mean": (nv.mean, lambda v, f, w: _div(in_order_sum(f), len(f))),
    "variance": (lambda x: nv.variance(x, 1),
                 lambda v, f, w: _div(in_order_sum((t - _moments(f)[0]) ** 2 for t in f), len(f) - 1)),
    "std": (lambda x: nv.std(x, 0), lambda v, f, w: math.sqrt(_moments(f)[1])),
    "rms": (nv.rms, lambda v, f, w: math.sqrt(_div(in_order_sum(t * t for t in f), len(f)))),
    "skewness": (nv.skewness, lambda v, f, w: _div(in_order_sum(z * (z * z) for z in _moments(f)[2]), len(f))
                 if _moments(f)[1] else NAN),
    "kurtosis": (lambda x: nv.kurtosis(x, True),
                 lambda v, f, w: _div(in_order_sum((z * z) * (z * z) for z in _moments(f)[2]), len(f)) + -3.0
                 if _moments(f)[1] else NAN),
    "min_max": (nv.min_max, lambda v, f, w: (_lo(f), _hi(f))),
    "peak_to_peak": (nv.peak_to_peak, lambda v, f, w: _hi(f) - _lo(f)),
    "crest_factor": (nv.crest_factor, lambda v, f, w: _div(
        functools.reduce(max, (abs(t) for t in f), 0.0), math.sqrt(_div(in_order_sum(t * t for t in f), len(f))))),
    "pulsation_index": (nv.pulsation_index, lambda v, f, w: _div(_hi(f) - _lo(f), abs(_moments(f)[0]))
                        if _moments(f)[0] != 0.0 else NAN),
    "zero_crossings": (nv.zero_crossings, lambda v, f, w: _crossings(f, 0.0)),
    "mean_crossings": (nv.mean_crossings, lambda v, f, w: _crossings(f, _moments(f)[0])),
    "derivative": (lambda x: nv.derivative(x, DT), lambda v, f, w: _fdiff(v, 1)[:-1]),
    "gradient": (lambda x: nv.gradient(x, DT), lambda v, f, w: _grad(v)),
    "forward": (lambda x: nv.first_derivative(x, DT, "forward"), lambda v, f, w: _fdiff(v, 1)),
    "backward": (lambda x: nv.first_derivative(x, DT, "backward"),
                 lambda v, f, w: _fdiff(v, 1)[:1] + _fdiff(v, 1)[:-1]),
    "second_central": (lambda x: nv.second_derivative(x, DT, "central"), lambda v, f, w: _grad(_grad(v))),
    "second_stencil": (lambda x: nv.second_derivative(x, DT, "finite_difference"),
                       lambda v, f, w: _stencil(v)),
    "jerk": (lambda x: nv.jerk(x, DT), lambda v, f, w: _grad(_grad(_grad(v)))),
    "finite_difference": (lambda x: np.concatenate([nv.finite_difference(x, k, DT) for k in (1, 2, 3, 7)]),
                          lambda v, f, w: sum((finite_difference_reference(v, k, DT) for k in (1, 2, 3, 7)), [])),
    "curvature": (lambda x: nv.curvature(x, DT), lambda v, f, w: [
        abs(s) / (d * d + 1.0) ** 1.5 for s, d in zip(_stencil(v), _grad(v))]),
    "integral": (lambda x: nv.integral(x, DT), lambda v, f, w: _integral(v)),
    "rate_of_change": (nv.rate_of_change, lambda v, f, w: [
        NAN if v[i] == 0.0 else (v[i + 1] - v[i]) / abs(v[i]) for i in range(len(v) - 1)]),
    "euclidean_distance": (nv.euclidean_distance,
                           lambda v, f, w: math.sqrt(in_order_sum((a - b) * (a - b) for a, b in _pairs(v, w)))),
    "manhattan_distance": (nv.manhattan_distance,
                           lambda v, f, w: in_order_sum(abs(a - b) for a, b in _pairs(v, w))),
    "cosine_similarity": (nv.cosine_similarity, lambda v, f, w: _cosine(v, w)),
}


@pytest.mark.parametrize("kind", list(KINDS))
@pytest.mark.parametrize("name", list(PLAIN))
def test_fast_paths_match_plain_loops(name, kind):
    call, plain = PLAIN[name]
    x = KINDS[kind]
    y = KINDS["nan" if kind != "nan" else "finite_strided_reversed"][::-1]
    v, w = [float(t) for t in x], [float(t) for t in y]
    got = call(x, y) if name.endswith(("_distance", "_similarity")) else call(x)
    want = plain(v, [t for t in v if math.isfinite(t)], w)
    if isinstance(got, tuple) and all(isinstance(t, int) for t in got):
        assert got == want
    else:  # same shape, every value bit for bit or both NaN
        got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
        assert got.shape == want.shape and np.all((np.isnan(got) & np.isnan(want))
                                                  | (got.view(np.int64) == want.view(np.int64))), (got, want)
