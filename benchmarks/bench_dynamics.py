"""Side-by-side timings of the dynamics functions against nolds and NumPy/SciPy.

Run: PYTHONPATH=<build dir> python benchmarks/bench_dynamics.py
Prints, per case, the best time of nuvra and of the alternative and their
ratio (alternative / nuvra: above 1 means nuvra is faster). nolds keeps an
n x n distance matrix for lyap_r and corr_dim and runs lyap_e point by point
in Python, so those cases use sizes that fit in memory and in a minute.
"""

import math
import os
import warnings

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # NumPy's BLAS threads spin otherwise

import nolds  # noqa: E402
import numpy as np  # noqa: E402
from scipy.spatial.distance import cdist

from nuvra import _rust as nv
from timing import best_time

warnings.filterwarnings("ignore")


def logistic(n, x0=0.3):
    x = np.empty(n)
    x[0] = x0
    for i in range(1, n):
        x[i] = 3.99 * x[i - 1] * (1.0 - x[i - 1])
    return x


def embed(x, dim, tau=1):
    return np.lib.stride_tricks.sliding_window_view(x, (dim - 1) * tau + 1)[:, ::tau].copy()


def ours_lyap_r(x, dim, sep, traj):
    div, _ = nv.largest_lyapunov_core(x, dim, 1, sep, traj)
    ok = np.isfinite(div)
    return np.polyfit(np.arange(traj)[ok], div[ok], 1)[0]


def numpy_rqa(x, eps, lmin=2):
    """Recurrence matrix by cdist, then DET and LAM by NumPy diagonal/column runs."""
    m = (cdist(x, x) <= eps).astype(np.float64)
    n = len(m)

    def runs(seq):
        b = np.concatenate(([0], (seq > 0.5).astype(np.int8), [0]))
        d = np.diff(b)
        return np.flatnonzero(d == -1) - np.flatnonzero(d == 1)

    diag = np.concatenate([runs(np.diagonal(m, k)) for k in range(-(n - 1), n) if k != 0])
    vert = np.concatenate([runs(m[:, j]) for j in range(n)])
    det = diag[diag >= lmin].sum() / diag.sum()
    lam = vert[vert >= lmin].sum() / vert.sum()
    return m, det, lam


def ours_rqa(x, eps, lmin=2):
    m = nv.recurrence_matrix_rust(x, eps)
    return m, nv.determinism_rust(m, lmin), nv.laminarity_rust(m, lmin)


def numpy_maximal(x, max_iter, sep):
    n = len(x)
    idx = np.arange(n)
    nn = np.empty(n, dtype=int)
    for i in range(n):
        d = np.linalg.norm(x - x[i], axis=1)
        d[np.abs(idx - i) < sep] = np.inf
        nn[i] = np.argmin(d)
    out = []
    for k in range(max_iter):
        ok = (idx + k < n) & (nn + k < n)
        d = np.linalg.norm(x[idx[ok] + k] - x[nn[ok] + k], axis=1)
        out.append(np.log(d[d > 0]).mean())
    return np.array(out)


def numpy_ftle(x, dt=1):
    """Forward and backward FTLE: least-squares Jacobian, then eigenvalues of J^T J."""
    out = []
    for t in (x, x[::-1]):
        xs, ys = t[:-dt] - t[:-dt].mean(0), t[dt:] - t[dt:].mean(0)
        j = np.linalg.lstsq(xs, ys, rcond=None)[0]
        out.append(math.log(math.sqrt(np.linalg.eigvalsh(j.T @ j).max())))
    return out


def main():
    rows = []

    def case(name, n, ours, theirs, repeat=3):
        t_ours, t_theirs = best_time(ours, repeat), best_time(theirs, repeat)
        rows.append((name, n, t_ours, t_theirs))
        print(f"{name:<44} {n:>7} {t_ours * 1e3:10.2f} ms {t_theirs * 1e3:10.2f} ms "
              f"{t_theirs / t_ours:9.1f}x", flush=True)

    print(f"{'case':<44} {'n':>7} {'nuvra':>13} {'other':>13} {'ratio':>10}")
    for n in (2_000, 10_000):
        x = logistic(n)
        case("lyap_r (core + fit) vs nolds.lyap_r", n, lambda: ours_lyap_r(x, 10, 10, 20),
             lambda: nolds.lyap_r(x, emb_dim=10, lag=1, min_tsep=10, trajectory_len=20,
                                  fit="poly"), repeat=1 if n > 5000 else 3)
    for n in (1_000, 4_000):
        x = logistic(n)
        case("lyapunov_spectrum vs nolds.lyap_e", n,
             lambda: nv.lyapunov_spectrum(nv.attractor_reconstruction_rust(x, 4, 1)),
             lambda: nolds.lyap_e(x, emb_dim=4, matrix_dim=4), repeat=1)
    for n in (2_000, 8_000):
        x = logistic(n)
        case("correlation_dimension vs nolds.corr_dim", n,
             lambda: nv.correlation_dimension_rust(nv.attractor_reconstruction_rust(x, 2, 1)),
             lambda: nolds.corr_dim(x, 2, fit="poly"), repeat=1)
    for n in (1_000, 3_000):
        e = embed(logistic(n), 3)
        case("recurrence matrix + DET + LAM vs NumPy RQA", n, lambda: ours_rqa(e, 0.1),
             lambda: numpy_rqa(e, 0.1), repeat=1)
        m = nv.recurrence_matrix_rust(e, 0.1)
        case("recurrence_rate vs NumPy sum", n, lambda: nv.recurrence_rate_rust(m),
             lambda: (m.sum() - np.trace(m)) / (n * (n - 1)))
        case("recurrence_matrix (percentile) vs cdist+percentile", n,
             lambda: nv.recurrence_matrix_rust(e, -1.0, 10.0),
             lambda: (lambda d: (d <= np.sort(d[np.triu_indices(len(d), 1)])[
                 int(0.1 * len(d) * (len(d) - 1) / 2)]).astype(float))(cdist(e, e)))
    for n in (2_000, 5_000):
        e = embed(logistic(n), 3)
        case("maximal_lyapunov vs NumPy brute force", n, lambda: nv.maximal_lyapunov(e, 20, 10),
             lambda: numpy_maximal(e, 20, 10), repeat=1)
    for n in (10_000, 100_000):
        e = embed(logistic(n), 3)
        case("ftle vs NumPy lstsq+eigvalsh (both directions)", n, lambda: nv.ftle(e),
             lambda: numpy_ftle(e))
        x = logistic(n)
        case("attractor_reconstruction vs NumPy windows", n,
             lambda: nv.attractor_reconstruction_rust(x, 5, 3), lambda: embed(x, 5, 3))
    return rows


if __name__ == "__main__":
    main()
