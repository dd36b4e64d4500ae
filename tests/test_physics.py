"""Mean principal angle between two column spans."""

import math

import numpy as np
import pytest
from scipy.linalg import subspace_angles

from nuvra import _rust as r

E = np.eye(4)


def basis(rng, n, k):
    return np.linalg.qr(rng.normal(size=(n, k)))[0]


@pytest.mark.parametrize("seed", range(5))
@pytest.mark.parametrize("n, k1, k2", [(6, 2, 2), (10, 3, 3), (8, 4, 2), (9, 1, 5), (30, 7, 7), (5, 5, 5)])
def test_against_scipy(seed, n, k1, k2):
    rng = np.random.default_rng(seed)
    a, b = basis(rng, n, k1), basis(rng, n, k2)
    want = subspace_angles(a, b).mean()
    assert r.subspace_angle(a, b) == pytest.approx(want, abs=1e-7)
    flipped = a * np.where(np.arange(k1) % 2, -1.0, 1.0)  # column signs do not matter
    assert r.subspace_angle(flipped, b) == pytest.approx(want, abs=1e-7)


@pytest.mark.parametrize("v1, v2, want", [
    (E[:2, [0]], E[:2, [1]], math.pi / 2),            # orthogonal lines in the plane
    (E[:, :2], E[:, :2], 0.0),                        # identical
    (E[:, :3], E[:, [2, 0]], 0.0),                    # [e1,e2,e3] vs [e3,e1]
    (E[:, :3], E[:, [2, 3]], math.pi / 4),            # all three columns of v1 count
    (E[:, [2, 3]], E[:, :3], math.pi / 4),
    (2.0 * E[:, :1], E[:, :1], 0.0),                  # cosine above 1 is clamped
    (E[:, :2], E[:, 2:], math.pi / 2),
    (np.ones((3, 2)), np.ones((4, 2)), math.nan),     # different row counts
    (np.ones((3, 0)), np.ones((3, 2)), math.nan),     # no columns
    (np.ones((3, 2)), np.ones((3, 0)), math.nan),
    (np.ones((0, 2)), np.ones((0, 3)), math.nan),     # no rows
    *[(np.where(np.arange(8).reshape(4, 2) == 7, bad, E[:, :2]), E[:, 1:3])[::s] + (math.nan,)
      for bad, s in ((np.nan, 1), (np.inf, -1), (-np.inf, 1))],  # non-finite values give NaN
])
def test_known_answers(v1, v2, want):
    assert r.subspace_angle.__text_signature__ == "(v1, v2)"
    assert r.subspace_angle(v1, v2) == pytest.approx(want, abs=1e-15, nan_ok=True)
