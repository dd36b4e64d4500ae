"""Rolling Spearman correlation, single and batched on the worker pool."""

import math

import numpy as np
import pandas as pd
import pytest

from helpers import NAN, INF, arr, assert_stops_on_ctrl_c
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


def test_docs():
    assert {n: (getattr(nv, n).__text_signature__, getattr(nv, n).__doc__) for n in DOCS} == DOCS


def ref_rolling(x, y, w):
    """Per window: ordinal ranks (ties by position), Pearson of the ranks."""
    out = np.full(len(x), NAN)
    for i in range(w - 1, len(x)) if w >= 2 else ():
        a, b = x[i - w + 1:i + 1], y[i - w + 1:i + 1]
        if np.isnan(a).any() or np.isnan(b).any():
            keep = np.isfinite(a) & np.isfinite(b)
            a, b = a[keep], b[keep]
            if len(a) < 3:
                continue
        rx, ry = (np.argsort(np.argsort(v, kind="stable"), kind="stable").astype(float) for v in (a, b))
        dx, dy = rx - rx.sum() / len(a), ry - ry.sum() / len(a)
        den = math.sqrt(float((dx * dx).sum()) * float((dy * dy).sum()))
        out[i] = NAN if den < 1e-14 else float((dx * dy).sum()) / den
    return out


def test_against_pandas_rank_correlation():
    x, w = rng.normal(size=400), 25
    y = 0.5 * x + rng.normal(size=400)
    ranks = [pd.DataFrame({"x": x[i - w + 1:i + 1], "y": y[i - w + 1:i + 1]}).rank().corr().iloc[0, 1]
             for i in range(w - 1, 400)]
    np.testing.assert_allclose(nv.rolling_spearman(x, y, w), [NAN] * (w - 1) + ranks, rtol=1e-12)


def hostile(n, seed, nan):
    """Ties, signed zeros, infinities and (with `nan`) NaNs, in runs and alone."""
    r = np.random.default_rng(seed)
    x, y = r.integers(0, 4, n).astype(float), r.normal(size=n).round(1)
    x[r.random(n) < 0.1] = -0.0
    for v, p in ((NAN, 0.03 if nan else 0.0), (INF, 0.02), (-INF, 0.02)):
        x[r.random(n) < p], y[r.random(n) < p] = v, v
    x[100:140] = NAN if nan else INF  # windows with fewer than 3 finite pairs, or infinities only
    return x, y


@pytest.mark.parametrize("w", [2, 3, 4, 7, 31, 150])
@pytest.mark.parametrize("seed, nan", [(0, True), (1, True), (2, False)])
def test_exact_against_reference(w, seed, nan):
    x, y = hostile(400, seed, nan)
    assert np.array_equal(nv.rolling_spearman(x, y, w), ref_rolling(x, y, w), equal_nan=True)


def test_known_answers_and_degenerate_windows():
    x = rng.permutation(50).astype(float)
    assert (nv.rolling_spearman(x, x, 5)[4:] == 1.0).all() and (nv.rolling_spearman(x, -x, 5)[4:] == -1.0).all()
    assert set(np.abs(nv.rolling_spearman(x, rng.normal(size=50), 2)[1:])) == {1.0}
    got = nv.rolling_spearman(np.ones(10), np.arange(10.0), 3)
    assert np.isnan(got[:2]).all() and np.isfinite(got[2:]).all()
    assert all(np.isnan(nv.rolling_spearman(x, x, w)).all() for w in (0, 1, 51, 2**64 - 1))
    assert nv.rolling_spearman(arr([]), arr([]), 3).shape == (0,)
    y = rng.normal(size=50)
    a, b = nv.rolling_spearman(x, np.where(np.arange(50) == 20, NAN, y), 6), nv.rolling_spearman(x, y, 6)
    # only the windows holding position 20 change
    assert np.flatnonzero((a != b) & ~np.isnan(b)).tolist() == list(range(20, 26))


def test_large_window_sums_in_position_order():
    n, w, x = 200_004, 200_001, rng.normal(size=200_004)
    y = x + rng.normal(size=n)
    want = [ref_rolling(x[i - w + 1:i + 1], y[i - w + 1:i + 1], w)[-1] for i in range(w - 1, n)]
    np.testing.assert_allclose(nv.rolling_spearman(x, y, w)[w - 1:], want, rtol=1e-12)


def test_errors():
    x, layout = np.arange(10.0), "^The given array is not contiguous or is misaligned.$"
    for call, text in [(lambda: nv.rolling_spearman(np.arange(20.0)[::2], x, 3), layout),
                       (lambda: nv.rolling_spearman(x, np.arange(40.0)[::2], 3), layout),  # before the lengths
                       (lambda: nv.rolling_spearman(x, x[:9], 3), "^x and y must have the same length$"),
                       (lambda: nv.batch_rolling_spearman(np.zeros((3, 10)), np.zeros((3, 11)), 3),
                        "^x_batch and y_batch must have identical shapes$")]:
        with pytest.raises(ValueError, match=text):
            call()
    assert nv.rolling_spearman(np.arange(20.0)[::20], arr([1.0]), 1).shape == (1,)


def test_batch_matches_single():
    xb, yb = rng.normal(size=(9, 120)), rng.normal(size=(9, 120))
    xb[2, 30], yb[4, 3:50] = NAN, INF
    want = np.array([nv.rolling_spearman(a, b, 8) for a, b in zip(xb, yb)])
    assert np.array_equal(nv.batch_rolling_spearman(xb, yb, 8), want, equal_nan=True)
    for shape in ((0, 7), (4, 0)):
        assert nv.batch_rolling_spearman(np.zeros(shape), np.zeros(shape), 3).shape == shape


def test_long_calls_stop_on_ctrl_c():
    big = "g = np.random.default_rng(0); x = g.normal(size={}); y = g.normal(size={})"
    assert_stops_on_ctrl_c({
        "rolling_spearman": (big.format(10**6, 10**6), "nv.rolling_spearman(x, y, 10**5)"),
        "batch_rolling_spearman": (big.format((6, 10**6), (6, 10**6)), "nv.batch_rolling_spearman(x, y, 10**5)"),
    })


SCRIPT = """
import hashlib, numpy as np
from nuvra import _rust as r
g = np.random.default_rng(5)
x, y = g.integers(0, 20, (64, 3000)).astype(float), g.normal(size=(64, 3000))
x[::7, ::13] = np.nan
print(hashlib.sha256(r.batch_rolling_spearman(x, y, 40).tobytes()).hexdigest())
"""


def test_batch_identical_for_any_thread_count(python_subprocess):
    outs = {python_subprocess(SCRIPT, env={"RAYON_NUM_THREADS": t}).stdout.strip() for t in ("1", "2", "7", "0")}
    ns = {}
    exec(SCRIPT.replace("print(", "digest = ("), ns)
    assert outs == {ns["digest"]}
