"""Moments, extrema, percentiles, crossings and the derivative family."""

import math
import time

import numpy as np
import pytest
import scipy.stats
from hypothesis import given, settings, strategies as st

from helpers import NAN, INF, LAYOUTS, arr, layouts, in_order_sum, same
from nuvra import _rust as nv

rng = np.random.default_rng(20240611)


DOCS = {
    "mean": ("(signal)", "Compute mean."),
    "std": ("(signal, ddof)", "Compute standard deviation."),
    "variance": ("(signal, ddof)", "Compute variance."),
    "min_max": ("(signal)", "Compute min and max."),
    "rms": ("(signal)", "Compute RMS."),
    "peak_to_peak": ("(signal)", "Compute peak-to-peak."),
    "skewness": ("(signal)", "Compute skewness."),
    "kurtosis": ("(signal, fisher)", "Compute kurtosis."),
    "crest_factor": ("(signal)", "Compute crest factor."),
    "pulsation_index": ("(signal)", "Compute pulsation index."),
    "derivative": ("(signal, dt)", "Compute derivative."),
    "integral": ("(signal, dt)", "Compute integral (trapezoidal)."),
    "curvature": ("(signal, dt)", "Compute curvature."),
    "rate_of_change": ("(signal)", "Compute rate of change."),
    "zero_crossings": ("(signal)", "Count zero crossings."),
    "mean_crossings": ("(signal)", "Count mean crossings."),
    "percentiles": ("(signal, q)", "Compute percentiles."),
    "first_derivative": ("(signal, dt, method)", "Compute first derivative."),
    "second_derivative": ("(signal, dt, method)", "Compute second derivative."),
    "gradient": ("(signal, dt)", "Compute gradient."),
    "finite_difference": ("(signal, order, dt)", "Compute finite difference."),
    "jerk": ("(signal, dt)", "Compute jerk (third derivative)."),
}


def test_add_order_docs_and_signatures():
    for name, (sig, doc) in DOCS.items():
        fn = getattr(nv, name)
        assert (fn.__text_signature__, fn.__doc__, fn.__self__) == (sig, doc, None)


# ---------------------------------------------------------------- moments

NOISY = rng.normal(3.0, 2.0, 501) ** 3
NOISY[[0, 7, 100, 500]] = [NAN, INF, -INF, NAN]
FINITE = NOISY[np.isfinite(NOISY)]
MOMENTS = {  # (call, textbook or SciPy reference on the finite samples)
    "mean": (nv.mean, lambda f: in_order_sum(f) / len(f)),
    "std": (lambda a: nv.std(a, 1), lambda f: np.std(f, ddof=1)),
    "variance": (lambda a: nv.variance(a, ddof=1), lambda f: np.var(f, ddof=1)),
    "rms": (nv.rms, lambda f: np.sqrt(np.mean(f * f))),
    "peak_to_peak": (nv.peak_to_peak, np.ptp),
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
    assert got == call(np.ascontiguousarray(FINITE))  # non-finite samples are dropped
    assert got == pytest.approx(ref(FINITE), rel=1e-12)


KNOWN = [
    (lambda: nv.mean(arr([1.0, NAN, 3.0, INF])), 2.0),
    (lambda: nv.min_max(arr([NAN, 5.0, -INF, 2.0])), (2.0, 5.0)),
    (lambda: nv.std(arr([2, 4, 4, 4, 5, 5, 7, 9]), 0), 2.0),
    (lambda: (nv.std(arr([5.0]), 0), nv.variance(arr([5.0]), 0)), (0.0, 0.0)),
    (lambda: (nv.std(arr([5.0]), 1), nv.variance(arr([5.0]), 1)), (NAN, NAN)),
    (lambda: nv.std(arr([1.0, 2.0]), 2**64 - 1), NAN),
    (lambda: nv.skewness(arr([1, 2, 3])), 0.0),
    (lambda: nv.skewness(arr([0, 0, 1])), pytest.approx(0.7071067811865475)),
    (lambda: (nv.skewness(arr([1, 2])), nv.skewness(arr([4, 4, 4, 4]))), (NAN, NAN)),
    (lambda: nv.kurtosis(arr([1, 2, 3, 4]), False), pytest.approx(1.64)),
    (lambda: nv.kurtosis(arr([1, 2, 3, 4]), True), pytest.approx(-1.36)),
    (lambda: (nv.kurtosis(arr([1, 2, 3]), True), nv.kurtosis(arr([2] * 4), False)), (NAN, NAN)),
    (lambda: nv.crest_factor(arr([1, -1, 1, -1])), 1.0),
    (lambda: nv.crest_factor(arr([3, 4])), pytest.approx(1.1313708498984762)),
    (lambda: nv.crest_factor(arr([0.0, -0.0])), NAN),
    (lambda: nv.pulsation_index(arr([1, 3])), 1.0),
    (lambda: nv.pulsation_index(arr([-1, 1])), NAN),
    (lambda: nv.pulsation_index(arr([-1, -3])), 1.0),
    (lambda: nv.peak_to_peak(arr([7.5])), 0.0),
    (lambda: nv.rms(arr([1e300, 1e300])), INF),
    (lambda: (nv.mean(arr([-0.0])), nv.mean(arr([-0.0, -0.0]))), (-0.0, -0.0)),
    (lambda: nv.min_max(arr([0.0, -0.0])), (-0.0, 0.0)),
    (lambda: nv.min_max(arr([-0.0, 0.0])), (-0.0, 0.0)),
]


@pytest.mark.parametrize("call, expected", KNOWN)
def test_known_answers(call, expected):
    got = call()
    if isinstance(expected, tuple):
        assert len(got) == len(expected) and all(same(g, e) for g, e in zip(got, expected))
    elif isinstance(expected, float):
        assert same(got, expected)
    else:
        assert got == expected


@pytest.mark.parametrize("a", [arr([]), arr([NAN, INF, -INF])])
def test_no_finite_sample(a):
    for name in ["mean", "rms", "peak_to_peak", "skewness", "crest_factor", "pulsation_index"]:
        assert math.isnan(getattr(nv, name)(a))
    assert all(math.isnan(v) for v in [nv.std(a, 0), nv.variance(a, 0), nv.kurtosis(a, True)])
    assert all(math.isnan(v) for v in nv.min_max(a) + tuple(nv.percentiles(a, [10, 90])))
    assert nv.zero_crossings(a) == 0 and nv.mean_crossings(a) == 0


# ---------------------------------------------------------------- percentiles


def stable_percentiles(values, qs):
    """Linear interpolation over Python's stable sort of the finite values."""
    s = sorted(v for v in values if math.isfinite(v))
    out = []
    for q in qs:
        if not s or not 0.0 <= q <= 100.0:
            out.append(NAN)
            continue
        pos = (q / 100.0) * (len(s) - 1)
        lo = int(math.floor(pos))
        frac = pos - lo
        out.append((1.0 - frac) * s[lo] + frac * s[min(len(s) - 1, lo + 1)])
    return out


def assert_stable(values, qs):
    got = nv.percentiles(arr(values), qs)
    assert len(got) == len(qs) and all(same(g, w) for g, w in zip(got, stable_percentiles(values, qs)))


@pytest.mark.parametrize("layout", LAYOUTS)
def test_percentiles_against_numpy(layout):
    data = np.round(rng.normal(0, 5, 2001), 1)  # many ties
    data[::97] = NAN
    qs = list(rng.uniform(0, 100, 40)) + [0, 1, 50, 99, 100]
    got = nv.percentiles(layouts(data)[layout], qs)
    want = np.percentile(data[np.isfinite(data)], qs, method="linear")
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12)
    assert got == stable_percentiles(list(data), qs)


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


# ---------------------------------------------------------------- crossings


@pytest.mark.parametrize("values, zero, mean_", [
    ([1, -1, 1, -1], 3, 3), ([-1, 0, 1], 1, 1), ([1, 0, -1], 1, 1), ([1, 0, 1], 0, 2),
    ([1, NAN, -1], 1, 1), ([4], 0, 0), ([1, 2, 3, 4], 0, 1), ([2, 2, 2], 0, 0), ([1, 3, NAN, 1], 0, 2),
])
def test_crossings_known(values, zero, mean_):
    assert (nv.zero_crossings(arr(values)), nv.mean_crossings(arr(values))) == (zero, mean_)


# ---------------------------------------------------------------- derivatives

SIG = rng.normal(0, 1, 300).cumsum()


@pytest.mark.parametrize("call, expected", [
    (lambda: nv.gradient(arr([1, 4, 9, 16]), 1.0), [3, 4, 6, 7]),
    (lambda: nv.gradient(arr([2.0]), 1.0), [NAN]),
    (lambda: nv.gradient(arr([]), 1.0), [NAN]),
    (lambda: nv.gradient(arr([1, NAN, 3, 4]), 1.0), [NAN, 1, NAN, 1]),
    (lambda: nv.derivative(arr([1, 4, 9]), 0.5), [6, 10]),
    (lambda: nv.derivative(arr([1]), 0.5), [NAN]),
    (lambda: nv.rate_of_change(arr([2, 3, 0, 5])), [0.5, -1.0, NAN]),
    (lambda: nv.rate_of_change(arr([-0.0, 5])), [NAN]),
    (lambda: nv.rate_of_change(arr([-2, -1])), [0.5]),
    (lambda: nv.integral(arr([1, 2, 3]), 1.0), [0.0, 1.5, 4.0]),
    (lambda: nv.integral(arr([1]), 1.0), [0.0]),
    (lambda: nv.integral(arr([]), 1.0), [0.0]),
    (lambda: nv.curvature(arr([1, 3, 5, 7]), 0.5), [0, 0, 0, 0]),
    (lambda: nv.curvature(arr([0, 1, 4, 9, 16]), 1.0)[:1], [2 / 2**1.5]),
    (lambda: nv.curvature(arr([1, 2]), 1.0), [NAN]),
    (lambda: nv.first_derivative(arr([1, 4, 9]), 1.0, "forward"), [3, 5, 5]),
    (lambda: nv.first_derivative(arr([1, 4, 9]), 1.0, "backward"), [3, 3, 5]),
    (lambda: nv.first_derivative(arr([1, 4, 9]), 1.0, "Forward"), [3, 4, 5]),
    (lambda: nv.first_derivative(arr([1, 4, 9]), 1.0, ""), [3, 4, 5]),
    (lambda: nv.first_derivative(arr([1]), 1.0, "forward"), [NAN]),
    (lambda: nv.second_derivative(arr([1, 4, 9, 16]), 1.0, "finite_difference"), [2, 2, 2, 2]),
    (lambda: nv.second_derivative(arr([1, 4, 9, 16]), 1.0, "central"), [1, 1.5, 1.5, 1]),
    (lambda: nv.second_derivative(arr([1, 4]), 1.0, "central"), [NAN, NAN]),
    (lambda: nv.second_derivative(arr([]), 1.0, "central"), []),
    (lambda: nv.jerk(arr([0, 1, 8, 27, 64, 125]), 1.0), [3, 4.5, 6, 2.25, -3, -4.5]),
    (lambda: nv.jerk(arr([0, 1, 8]), 1.0), [NAN, NAN, NAN]),
    (lambda: nv.jerk(arr([]), 1.0), []),
    (lambda: nv.gradient(arr([1, 2, 4]), 0.0), [INF, INF, INF]),
    (lambda: nv.derivative(arr([1, 1]), 0.0), [NAN]),
])
def test_derivative_known_answers(call, expected):
    got = call()
    assert isinstance(got, np.ndarray) and got.dtype == np.float64 and got.flags.writeable
    np.testing.assert_allclose(got, arr(expected), rtol=1e-15, atol=0)


@pytest.mark.parametrize("order, expected", [
    (0, [1, 4, 9, 16]), (1, [3, 5, 7, 7]), (2, [2, 2, 2, 2]), (3, [0, 0, 0, 0]),
    (4, [NAN] * 4), (2**64 - 1, [NAN] * 4),
])
def test_finite_difference_known(order, expected):
    np.testing.assert_array_equal(nv.finite_difference(arr([1, 4, 9, 16]), order, 1.0), arr(expected))


def test_finite_difference_short_and_huge_order():
    assert nv.finite_difference(arr([]), 1, 1.0).shape == (0,) == nv.finite_difference(arr([]), 0, 1.0).shape
    np.testing.assert_array_equal(nv.finite_difference(arr([2.5]), 1, 1.0), [NAN])
    np.testing.assert_array_equal(nv.finite_difference(arr([2.5]), 0, 1.0), [2.5])
    x = arr([1, 2, 4])
    nv.finite_difference(x, 0, 1.0)[0] = 99.0
    assert x[0] == 1.0  # order 0 returns a copy
    start = time.perf_counter()
    assert np.isnan(nv.finite_difference(np.arange(100_000.0), 2**64 - 1, 1.0)).all()
    assert time.perf_counter() - start < 1.0


# ---------------------------------------------------------------- fast paths
#
# The kernels run four lanes wide and fold the finite filter into their
# passes; each must give, bit for bit, what the plain loop gives in the same
# order of operations (NaN compared as NaN).


def _kinds():
    r = np.random.default_rng(7)
    n = 203  # vector blocks and a scalar tail
    noisy = r.normal(0.2, 1.5, n)
    noisy[r.integers(0, n, 25)] = r.choice([NAN, -NAN, INF, -INF], 25)
    big = np.full(3 * n, NAN)
    big[::-3] = r.normal(0.3, 2.0, n)
    return {
        "finite_strided_reversed": big[::-3],
        "nan": noisy,
        "zeros": r.choice(arr([0.0, -0.0, NAN]), n),  # a zero minimum and maximum
    }


KINDS = _kinds()
DT = 0.1


def _div(a, b):
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def _min_sz(a, b):
    return a if a < b else b if b < a else a if math.copysign(1, a) < 0 else b


def _max_sz(a, b):
    return a if a > b else b if b > a else b if math.copysign(1, a) < 0 else a


def _fold(f, fn, start):
    for v in f:
        start = fn(start, v)
    return start


def _moments(f):
    n = len(f)
    m = _div(in_order_sum(f), n)
    m2 = _div(in_order_sum((v - m) * (v - m) for v in f), n)
    sd = math.sqrt(m2)
    z = [(v - m) / sd for v in f] if m2 else []
    return m, m2, z


def _grad(v):
    return [(v[1] - v[0]) / DT] + [(v[i + 1] - v[i - 1]) / (DT + DT) for i in range(1, len(v) - 1)] + [
        (v[-1] - v[-2]) / DT]


def _stencil(v):
    s = [(v[i - 1] + (v[i + 1] - (v[i] + v[i]))) / (DT * DT) for i in range(1, len(v) - 1)]
    return s[:1] + s + s[-1:]


def _fdiff(v, order):
    v = list(v)
    for k in range(order):
        d = [(v[i + 1] - v[i]) / DT for i in range(len(v) - 1 - k)]
        v = d + [d[-1]] * (k + 1)
    return v


def _integral(v):
    out, acc = [0.0], 0.0
    for i in range(1, len(v)):
        acc += DT * ((v[i] + v[i - 1]) * 0.5)
        out.append(acc)
    return out


def _crossings(f, m):
    return sum((a - m >= 0.0) != (b - m >= 0.0) for a, b in zip(f, f[1:]))


def _pairs(x, y):
    return [(a, b) for a, b in zip(x, y) if math.isfinite(a) and math.isfinite(b)]


def _cosine(x, y):
    p = _pairs(x, y)
    dot, sxx, syy = in_order_sum(a * b for a, b in p), in_order_sum(a * a for a, _ in p), in_order_sum(b * b for _, b in p)
    if sxx == 0.0 or syy == 0.0:
        return NAN
    return min(max(dot / (math.sqrt(sxx) * math.sqrt(syy)), -1.0), 1.0)


def _baseline(v, wf=0.2, mw=3, sf=0.05):
    n = len(v)
    w, stride = max(int(wf * n), mw), max(int(sf * n), 1)
    best, best_score = 0, -INF
    for s in range(0, n - w + 1, stride):
        f = [t for t in v[s:s + w] if math.isfinite(t)]
        if len(f) >= 2:
            m = in_order_sum(f) / len(f)
            score = 1.0 / (math.sqrt(in_order_sum((t - m) * (t - m) for t in f) / len(f)) + 1e-12)
            if score > best_score:
                best, best_score = s, score
    return (best, best + w)


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
    "min_max": (nv.min_max, lambda v, f, w: (_fold(f, _min_sz, INF), _fold(f, _max_sz, -INF))),
    "peak_to_peak": (nv.peak_to_peak, lambda v, f, w: _fold(f, _max_sz, -INF) - _fold(f, _min_sz, INF)),
    "crest_factor": (nv.crest_factor, lambda v, f, w: _div(
        _fold((abs(t) for t in f), max, 0.0), math.sqrt(_div(in_order_sum(t * t for t in f), len(f))))),
    "pulsation_index": (nv.pulsation_index, lambda v, f, w: _div(
        _fold(f, _max_sz, -INF) - _fold(f, _min_sz, INF), abs(_moments(f)[0]))
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
                          lambda v, f, w: sum((_fdiff(v, k) for k in (1, 2, 3, 7)), [])),
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
    "find_stable_baseline_1d": (lambda x: nv.find_stable_baseline_1d(np.ascontiguousarray(x), 0.2, 3, 0.05),
                                lambda v, f, w: _baseline(v)),
}


def _bits_equal(got, want):
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    if got.shape != want.shape:
        return False
    both_nan = np.isnan(got) & np.isnan(want)
    return bool(np.all(both_nan | (got.view(np.int64) == want.view(np.int64))))


@pytest.mark.parametrize("kind", list(KINDS))
@pytest.mark.parametrize("name", list(PLAIN))
def test_fast_paths_match_plain_loops(name, kind):
    call, plain = PLAIN[name]
    x = KINDS[kind]
    y = KINDS["nan" if kind != "nan" else "finite_strided_reversed"][::-1]
    v, w = [float(t) for t in x], [float(t) for t in y]
    f = [t for t in v if math.isfinite(t)]
    got = call(x, y) if name.endswith(("_distance", "_similarity")) else call(x)
    want = plain(v, f, w)
    if isinstance(got, tuple) and all(isinstance(t, int) for t in got):
        assert got == want
    else:
        assert _bits_equal(got, want), (got, want)
