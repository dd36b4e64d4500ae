"""Mean principal angle between two column spans."""

import math

import numpy as np
import pytest
from scipy.linalg import subspace_angles

from nuvra import _rust as r

E = np.eye(4)


def basis(rng, n, k):
    return np.linalg.qr(rng.normal(size=(n, k)))[0]


def test_doc():
    assert r.subspace_angle.__doc__ is None
    assert r.subspace_angle.__text_signature__ == "(v1, v2)"


@pytest.mark.parametrize("seed", range(5))
@pytest.mark.parametrize("n, k1, k2", [(6, 2, 2), (10, 3, 3), (8, 4, 2), (9, 1, 5), (30, 7, 7), (5, 5, 5)])
def test_against_scipy(seed, n, k1, k2):
    rng = np.random.default_rng(seed)
    a, b = basis(rng, n, k1), basis(rng, n, k2)
    assert r.subspace_angle(a, b) == pytest.approx(subspace_angles(a, b).mean(), abs=1e-7)


@pytest.mark.parametrize("v1, v2, want", [
    (E[:2, [0]], E[:2, [1]], math.pi / 2),            # orthogonal lines in the plane
    (E[:, :2], E[:, :2], 0.0),                        # identical
    (E[:, :3], E[:, [2, 0]], 0.0),                    # [e1,e2,e3] vs [e3,e1]
    (E[:, :3], E[:, [2, 3]], math.pi / 4),            # all three columns of v1 count
    (E[:, [2, 3]], E[:, :3], math.pi / 4),
    (2.0 * E[:, :1], E[:, :1], 0.0),                  # cosine above 1 is clamped
    (E[:, :2], E[:, 2:], math.pi / 2),
])
def test_known_answers(v1, v2, want):
    assert r.subspace_angle(v1, v2) == pytest.approx(want, abs=1e-15)


def test_column_signs_do_not_matter():
    rng = np.random.default_rng(7)
    a, b = basis(rng, 7, 3), basis(rng, 7, 3)
    flipped = a * np.array([1.0, -1.0, -1.0])
    assert r.subspace_angle(flipped, b) == pytest.approx(r.subspace_angle(a, b), abs=1e-14)


@pytest.mark.parametrize("v1, v2", [
    (np.ones((3, 2)), np.ones((4, 2))),     # different row counts
    (np.ones((3, 0)), np.ones((3, 2))),     # no columns
    (np.ones((3, 2)), np.ones((3, 0))),
    (np.ones((0, 2)), np.ones((0, 3))),     # no rows
])
def test_shape_problems_give_nan(v1, v2):
    assert math.isnan(r.subspace_angle(v1, v2))


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_gives_nan(bad):
    a = E[:, :2].copy()
    a[3, 1] = bad
    assert math.isnan(r.subspace_angle(a, E[:, :2]))
    assert math.isnan(r.subspace_angle(E[:, 1:3], a))


def test_fortran_and_reversed_rows():
    rng = np.random.default_rng(3)
    a, b = basis(rng, 12, 4), basis(rng, 12, 3)
    want = r.subspace_angle(a, b)
    assert r.subspace_angle(np.asfortranarray(a), np.asfortranarray(b)) == want
    assert r.subspace_angle(a[::-1], b[::-1]) == pytest.approx(want, abs=1e-14)

