"""Sample, multiscale and approximate entropy, entropy rate, permutation entropy, Lempel-Ziv."""

import math
from collections import Counter

import nolds
import numpy as np
import pytest

from helpers import NAN, INF, arr, assert_stops_on_ctrl_c, in_order_sum, same
from nuvra import _rust as nv

rng = np.random.default_rng(8)

DOCS = {"sample_entropy": ("(signal, m, r)", "Compute sample entropy."),
        "permutation_entropy": ("(signal, order, delay, normalize)", "Compute permutation entropy."),
        "approximate_entropy": ("(signal, m, r)", "Compute approximate entropy."),
        "lempel_ziv_complexity": ("(signal, threshold)", "Compute Lempel-Ziv complexity."),
        "multiscale_entropy": ("(signal, m, r, max_scale)", "Compute multiscale entropy."),
        "entropy_rate": ("(signal, m_max, r)", "Estimate entropy rate from sample entropy convergence.")}


def test_add_order_docs_and_signatures():
    assert nv.__all__[:6] == list(DOCS)  # the first functions of the module
    for name, (sig, doc) in DOCS.items():
        assert (getattr(nv, name).__text_signature__, getattr(nv, name).__doc__) == (sig, doc)


# ---------------------------------------------------------------- textbook references

def match_matrix(x, L, count, r):
    """Chebyshev matches of the first `count` templates of length L (NaN differences skipped)."""
    t = np.array([np.asarray(x)[i:i + L] for i in range(count)]).reshape(count, L)
    with np.errstate(invalid="ignore"):
        d = np.abs(t[:, None, :] - t[None, :, :])
        return np.max(np.where(np.isnan(d), 0.0, d), axis=2, initial=0.0) < r


def ref_sampen(x, m, r):
    n = len(x)
    if r == 0 or n < m + 2:
        return NAN
    b = np.triu(match_matrix(x, m, n - m, r), 1).sum()
    a = np.triu(match_matrix(x, m + 1, n - m - 1, r), 1).sum()
    return NAN if a == 0 or b == 0 else -math.log(a / b)


def ref_apen(x, m, r):
    n = len(x)
    if not r > 0 or n < m + 2:
        return NAN
    phi = [in_order_sum([math.log(c / (n - L + 1)) if c else -36.04365338911715
                         for c in match_matrix(x, L, n - L + 1, r).sum(axis=1)]) / (n - L + 1)
           for L in (m, m + 1)]
    return phi[0] - phi[1]


def signal(kind, n):
    x = rng.integers(-2, 3, n) * 0.5 if kind == "ties" else rng.standard_normal(n)
    if kind == "non_finite":
        x[rng.integers(0, n, 3)] = [NAN, INF, -INF]
    return x


@pytest.mark.parametrize("kind", ["normal", "ties", "non_finite"])
@pytest.mark.parametrize("m", [0, 1, 2, 3, 9])
def test_template_entropies_against_textbook(kind, m):
    x = signal(kind, 70)
    for r in [0.3, 1.0, INF]:
        assert same(nv.sample_entropy(x, m, r), ref_sampen(x, m, r))
        assert same(nv.approximate_entropy(x, m, r), ref_apen(x, m, r))
    mse = nv.multiscale_entropy(x, m, 0.8, 4)
    expected = [ref_sampen([in_order_sum(x[j * s:(j + 1) * s].tolist()) / s for j in range(70 // s)], m, 0.8)
                for s in range(1, min(4, 70 // (m + 2)) + 1)]
    assert all(same(a, b) for a, b in zip(mse, expected)) and len(mse) == len(expected)


def test_entropy_rate_is_last_finite_sample_entropy():
    x = rng.standard_normal(300)
    values = [nv.sample_entropy(x, m, 0.5) for m in range(1, 9)]
    stop = next(i for i, v in enumerate(values) if not math.isfinite(v))
    assert stop >= 2 and nv.entropy_rate(x, 8, 0.5) == values[stop - 1]
    assert nv.entropy_rate(x, 2, 0.5) == values[1] and all(math.isnan(nv.entropy_rate(x, m, 0.5)) for m in (0, 1))


def test_sample_entropy_against_nolds_and_white_noise():
    # nolds (like antropy) counts the length-(m+1) templates over the same n - m starts as the
    # length-m ones; here only the template that ends on the last sample differs,
    # and an outlier there keeps it from matching anything, so the counts coincide.
    x = rng.standard_normal(1500)
    x[-1] = 1e6
    r = 0.2 * np.std(x[:-1])
    assert nv.sample_entropy(x, 2, r) == pytest.approx(nolds.sampen(x, emb_dim=2, tolerance=r), rel=1e-14)
    x[-1] = x[-3]  # now the last template may match: nolds counts more length-3 pairs
    assert nv.sample_entropy(x, 2, r) >= nolds.sampen(x, emb_dim=2, tolerance=r)
    x = rng.standard_normal(4000)
    se = nv.sample_entropy(x, 2, 0.2)
    assert 2.0 < se < 2.4  # -ln P(|a - b| < 0.2) for unit Gaussian samples is about 2.18
    assert nv.sample_entropy(x * 10, 2, 2.0) == se != nv.sample_entropy(x * 10, 2, 0.2)  # r is absolute


# ---------------------------------------------------------------- permutation entropy

def ref_perm(x, order, delay, normalize):
    N = len(x) - delay * (order - 1)
    counts = Counter(tuple(np.argsort(x[i:i + delay * order:delay], kind="stable")) for i in range(N))
    h = 0.0
    for key in sorted(counts):  # ascending pattern order
        h = h - counts[key] / N * math.log2(counts[key] / N)
    if normalize and order > 1:
        h = h / (math.log2(math.factorial(order)) if order <= 20 else sum(math.log2(k) for k in range(2, order + 1)))
    return h


@pytest.mark.parametrize("order, delay", [(2, 1), (3, 1), (4, 2), (6, 1), (9, 3), (21, 1), (30, 2), (45, 1)])
def test_permutation_entropy_exact_with_ties(order, delay):
    x = rng.integers(0, 4, 300).astype(float)
    x[rng.integers(0, 300, 6)] = NAN  # after every number
    periodic = np.tile(rng.standard_normal(7), 50)  # few patterns, each many times
    for v in (x, periodic, -np.abs(x)):
        for normalize in (False, True):
            assert nv.permutation_entropy(v, order, delay, normalize) == ref_perm(v, order, delay, normalize)


# ---------------------------------------------------------------- Lempel-Ziv

def ref_lz(bits):
    n, c, start, length, s = len(bits), 1, 0, 1, "".join(map(str, bits))
    while True:
        h = start + length - 1
        if length <= h and s[start:start + length] in s[:h]:
            length += 1
            if start + length > n:
                break
        else:
            c, start, length = c + 1, start + length, 1
            if start + 1 > n:
                break
    return c / (n / math.log2(n))


@pytest.mark.parametrize("p_one", [0.5, 0.05])
def test_lempel_ziv_against_naive_parsing(p_one):
    for n in [2, 3, 17, 64, 400]:
        x = rng.random(n) - (0.5 - p_one)
        assert nv.lempel_ziv_complexity(x, 0.5 - p_one) == ref_lz((x > 0.5 - p_one).astype(int).tolist())
    assert nv.lempel_ziv_complexity(np.zeros(1000), 0.5) == 2 / (1000 / math.log2(1000))
    assert nv.lempel_ziv_complexity(np.arange(1000) % 2.0, 0.5) == 3 / (1000 / math.log2(1000))


# ---------------------------------------------------------------- worked examples and mends

SE, AE, PE, LZ, P7, A3, A4 = (nv.sample_entropy, nv.approximate_entropy, nv.permutation_entropy,
                              nv.lempel_ziv_complexity, arr([4, 7, 9, 10, 6, 11, 3]), arr([1, 2, 3]), arr([1, 2, 3, 4]))
KNOWN = [
    (SE, (arr([1, 2, 1, 2, 1, 2]), 1, 0.5), 0.6931471805599453), (SE, (np.full(10, 3.0), 2, 0.1), 0.2876820724517809),
    (SE, (np.full(4, 3.0), 2, 0.1), NAN), (SE, (rng.standard_normal(50), 2, -1.0), NAN),
    (SE, (arr([1, 2, 1, 2, NAN, 2, 1, 2]), 1, 0.5), ref_sampen([1, 2, 1, 2, NAN, 2, 1, 2], 1, 0.5)),
    (SE, (arr([1, 2, 3]), 2**64 - 1, 1.0), NAN), (AE, (arr([1, 2, 3, 4, 5, 6]), 1, 0.5), pytest.approx(-0.1823215568)),
    (AE, (np.full(10, 3.0), 2, 0.1), 0.0), (AE, (arr([1, 2, 1, 2, 1, 2]), 1, 0.5), pytest.approx(-0.0201355136)),
    (AE, (arr([1, 2, 3]), 2, 0.5), NAN), (AE, (A4, 1, 0.0), NAN),
    (AE, (A4, 1, -1.0), NAN), (AE, (A4, 1, NAN), NAN),  # mended: were about 0
    (PE, (P7, 3, 1, False), pytest.approx(1.5219280949)), (PE, (P7, 3, 1, True), pytest.approx(0.5887621559)),
    (PE, (arr([1, 2, 1, 2, 1]), 2, 1, True), 1.0), (PE, (np.arange(20.0), 4, 2, True), 0.0),
    (PE, (np.tile([0.0, 1, 2], 99)[:-1], 3, 1, False), pytest.approx(math.log2(3), rel=1e-15)),
    (PE, (arr([1, 2]), 3, 1, False), NAN), (PE, (arr([1, 2]), 0, 5, True), 0.0),
    (PE, (arr([1, 2, 3]), 2**64 - 1, 0, True), 0.0),  # delay 0 at once
    (PE, (arr([]), 3, 0, False), 0.0), (PE, (A3, 1, 3, False), 0.0), (PE, (A3, 1, 4, False), NAN),
    (PE, (arr([1, 2, 3]), 2**63, 2, False), NAN), (LZ, (arr([0.5, 1, 0.5, 1]), 0.5), 1.5),
    (LZ, (arr([1.0]), 0.5), NAN), (LZ, (A4, NAN), 1.0), (nv.entropy_rate, (arr([1, 2]), 0, 1.0), NAN),
] + [(LZ, (arr(bits), 0.5), want) for bits, want in [
    ([0, 1], 1.5), ([0, 0, 0, 0], 1.0), ([0, 0, 0, 1], 1.5), ([0, 1, 0, 1], 1.5), ([0] * 8, 0.75),
    ([0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0], 1.75)]]


@pytest.mark.parametrize("fn, args, expected", KNOWN)
def test_known_answers(fn, args, expected):
    got = fn(*args)
    assert same(got, expected) if isinstance(expected, float) else got == expected


@pytest.mark.parametrize("args, expected", [
    ((np.arange(10.0), 2, 0.5, 5), 2), ((np.arange(10.0), 2, 0.0, 5), [NAN, NAN]),
    ((np.arange(10.0), 2, 0.5, 0), [NAN]), ((arr([1, 2, 3]), 2, 0.5, 5), [NAN]),
    ((arr([1, 2, 3]), 2**64 - 1, 0.5, 5), [NAN])])
def test_multiscale_scale_count(args, expected):
    got = nv.multiscale_entropy(*args)
    assert len(got) == expected if isinstance(expected, int) else all(map(same, got, expected))


def test_long_calls_stop_on_ctrl_c():
    sine = "x = np.sin(np.arange(400000.0) * 1e-4)"  # every pair matches: honest quadratic work
    noise = "x = np.random.default_rng(0).standard_normal({})"
    assert_stops_on_ctrl_c({
        "sample entropy, sorted sweep": (sine, "nv.sample_entropy(x, 2, 10.0)"),
        "sample entropy, diagonal walk": (sine + "; x[5] = np.nan", "nv.sample_entropy(x, 2, 10.0)"),
        "approximate entropy": (sine, "nv.approximate_entropy(x, 2, 10.0)"),
        "multiscale entropy, scales": (noise.format(500_000), "nv.multiscale_entropy(x, 0, 1e-300, 10**9)"),
        "entropy rate, template lengths": ("x = np.zeros(6000)", "nv.entropy_rate(x, 5998, 1.0)"),
        "permutation entropy, long order": (noise.format(200_000), "nv.permutation_entropy(x, 20000, 1, True)"),
    })
