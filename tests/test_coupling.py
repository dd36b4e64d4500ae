"""Rolling Spearman correlation, single and batched on the worker pool."""

import math

import numpy as np
import pandas as pd
import pytest

from helpers import NAN, INF, arr
from nuvra import _rust as nv

rng = np.random.default_rng(11)

DOCS = {
    "rolling_spearman": (
        "(x, y, window)",
        "Rolling Spearman \u03c1 for a single (x, y) pair.\n\n"
        "Returns array of length n; first (window-1) entries are NaN.\n"
        "NaN inputs are handled: windows with <3 valid pairs produce NaN output.\n"
        "Numerically equivalent to scipy.stats.spearmanr applied per window."),
    "batch_rolling_spearman": (
        "(x_batch, y_batch, window)",
        "Batch rolling Spearman \u03c1 \u2014 Rayon parallel across pairs.\n\n"
        "x_batch: shape (n_pairs, n_samples) \u2014 each row is one time series\n"
        "y_batch: shape (n_pairs, n_samples) \u2014 paired with x_batch rows\n"
        "window:  rolling window size\n\n"
        "Returns: shape (n_pairs, n_samples), each row is rolling_spearman(x_batch[i], y_batch[i])\n"
        "Rayon distributes pairs across available CPU cores."),
}


def test_add_order_and_docs():
    for name, (sig, doc) in DOCS.items():
        assert (getattr(nv, name).__text_signature__, getattr(nv, name).__doc__) == (sig, doc)


def ref_rolling(x, y, w):
    """Per window: ordinal ranks (ties by position), Pearson of the ranks."""
    n = len(x)
    out = np.full(n, NAN)
    if w < 2 or n < w:
        return out
    for i in range(w - 1, n):
        a, b = x[i - w + 1:i + 1], y[i - w + 1:i + 1]
        if np.isnan(a).any() or np.isnan(b).any():
            keep = np.isfinite(a) & np.isfinite(b)
            a, b = a[keep], b[keep]
            if len(a) < 3:
                continue
        k = len(a)
        rx, ry = np.empty(k), np.empty(k)
        rx[np.argsort(a, kind="stable")] = np.arange(k)
        ry[np.argsort(b, kind="stable")] = np.arange(k)
        dx, dy = rx - rx.sum() / k, ry - ry.sum() / k
        den = math.sqrt(float((dx * dx).sum()) * float((dy * dy).sum()))
        out[i] = NAN if den < 1e-14 else float((dx * dy).sum()) / den
    return out


def test_against_pandas_rank_correlation():
    x, y = rng.normal(size=400), rng.normal(size=400)
    y += 0.5 * x
    w = 25
    ranks = [pd.DataFrame({"x": x[i - w + 1:i + 1], "y": y[i - w + 1:i + 1]}).rank().corr().iloc[0, 1]
             for i in range(w - 1, 400)]
    got = nv.rolling_spearman(x, y, w)
    assert np.isnan(got[:w - 1]).all()
    np.testing.assert_allclose(got[w - 1:], ranks, rtol=1e-12)


def hostile(n, seed):
    """Ties, signed zeros, NaNs and infinities in runs and alone."""
    r = np.random.default_rng(seed)
    x = r.integers(0, 4, n).astype(float)
    x[r.random(n) < 0.1] = -0.0
    y = r.normal(size=n).round(1)
    for v, p in ((NAN, 0.03), (INF, 0.02), (-INF, 0.02)):
        x[r.random(n) < p] = v
        y[r.random(n) < p] = v
    x[100:140] = NAN  # a long run: windows with fewer than 3 finite pairs
    return x, y


@pytest.mark.parametrize("w", [2, 3, 4, 7, 31, 150])
@pytest.mark.parametrize("seed", [0, 1])
def test_exact_against_reference(w, seed):
    x, y = hostile(400, seed)
    got = nv.rolling_spearman(x, y, w)
    want = ref_rolling(x, y, w)
    assert np.array_equal(got, want, equal_nan=True)
    clean_x, clean_y = rng.normal(size=300), rng.normal(size=300)
    clean_x[[50, 51, 52]] = [INF, -INF, INF]  # no NaN: infinities rank as extremes
    assert np.array_equal(nv.rolling_spearman(clean_x, clean_y, w), ref_rolling(clean_x, clean_y, w),
                          equal_nan=True)


def test_known_answers_and_degenerate_windows():
    x = rng.permutation(50).astype(float)
    assert (nv.rolling_spearman(x, x, 5)[4:] == 1.0).all()
    assert (nv.rolling_spearman(x, -x, 5)[4:] == -1.0).all()
    assert set(np.abs(nv.rolling_spearman(x, rng.normal(size=50), 2)[1:])) == {1.0}
    got = nv.rolling_spearman(np.ones(10), np.arange(10.0), 3)
    assert np.isnan(got[:2]).all() and np.isfinite(got[2:]).all()
    for w in (0, 1, 51, 2**64 - 1):
        assert np.isnan(nv.rolling_spearman(x, x, w)).all()
    assert nv.rolling_spearman(arr([]), arr([]), 3).shape == (0,)
    y = rng.normal(size=50)
    a, b = nv.rolling_spearman(x, np.where(np.arange(50) == 20, NAN, y), 6), nv.rolling_spearman(x, y, 6)
    # only the windows holding position 20 change
    assert np.flatnonzero((a != b) & ~np.isnan(b)).tolist() == list(range(20, 26))


def test_large_window_sums_in_position_order():
    n, w = 200_004, 200_001
    x = rng.normal(size=n)
    y = x + rng.normal(size=n)
    got = nv.rolling_spearman(x, y, w)
    want = [ref_rolling(x[i - w + 1:i + 1], y[i - w + 1:i + 1], w)[-1] for i in range(w - 1, n)]
    np.testing.assert_allclose(got[w - 1:], want, rtol=1e-12)


def test_errors():
    x = np.arange(10.0)
    msg = "^The given array is not contiguous or is misaligned.$"
    with pytest.raises(ValueError, match=msg):
        nv.rolling_spearman(np.arange(20.0)[::2], x, 3)
    with pytest.raises(ValueError, match=msg):  # contiguity is checked before the lengths
        nv.rolling_spearman(x, np.arange(40.0)[::2], 3)
    with pytest.raises(ValueError, match="^x and y must have the same length$"):
        nv.rolling_spearman(x, x[:9], 3)
    with pytest.raises(ValueError, match="^x_batch and y_batch must have identical shapes$"):
        nv.batch_rolling_spearman(np.zeros((3, 10)), np.zeros((3, 11)), 3)
    assert nv.rolling_spearman(np.arange(20.0)[::20], arr([1.0]), 1).shape == (1,)


def test_batch_matches_single():
    xb, yb = rng.normal(size=(9, 120)), rng.normal(size=(9, 120))
    xb[2, 30] = NAN
    yb[4, 3:50] = INF
    want = np.array([nv.rolling_spearman(a, b, 8) for a, b in zip(xb, yb)])
    assert np.array_equal(nv.batch_rolling_spearman(xb, yb, 8), want, equal_nan=True)
    assert nv.batch_rolling_spearman(np.zeros((0, 7)), np.zeros((0, 7)), 3).shape == (0, 7)
    assert nv.batch_rolling_spearman(np.zeros((4, 0)), np.zeros((4, 0)), 3).shape == (4, 0)


SCRIPT = """
import hashlib, numpy as np
from nuvra import _rust as r
g = np.random.default_rng(5)
x, y = g.integers(0, 20, (64, 3000)).astype(float), g.normal(size=(64, 3000))
x[::7, ::13] = np.nan
print(hashlib.sha256(r.batch_rolling_spearman(x, y, 40).tobytes()).hexdigest())
"""


def test_batch_identical_for_any_thread_count(python_subprocess):
    digests = set()
    for threads in ("1", "2", "7", "0"):
        out = python_subprocess(SCRIPT, env={"RAYON_NUM_THREADS": threads})
        assert out.returncode == 0, out.stderr
        digests.add(out.stdout.strip())
    ns = {}
    exec(SCRIPT.replace("print(", "digest = ("), ns)
    assert digests == {ns["digest"]}
