"""Side-by-side timings of statistics and distance functions against NumPy/SciPy.

Run: PYTHONPATH=<build dir> python benchmarks/bench_statistics.py
Prints, per case, the best time of nuvra and of the alternative and their
ratio (alternative / nuvra: above 1 means nuvra is faster).
"""

import math
import time

import numpy as np
import scipy.spatial.distance as ssd
import scipy.stats

from nuvra import _rust as nv


def best_time(fn, repeat=5, number=1):
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def dtw_python(x, y):
    """Textbook O(nm) DTW with the full table in pure Python."""
    n, m = len(x), len(y)
    inf = math.inf
    d = [[inf] * (m + 1) for _ in range(n + 1)]
    d[0][0] = 0.0
    for i in range(1, n + 1):
        xi, row, up = x[i - 1], d[i], d[i - 1]
        for j in range(1, m + 1):
            row[j] = abs(xi - y[j - 1]) + min(up[j], row[j - 1], up[j - 1])
    return d[n][m]


def dtw_numpy(x, y):
    """Cost matrix by broadcasting, then a loop over anti-diagonals in NumPy."""
    n, m = len(x), len(y)
    cost = np.abs(x[:, None] - y[None, :])
    d = np.full((n + 1, m + 1), np.inf)
    d[0, 0] = 0.0
    for s in range(2, n + m + 1):  # cells with i + j == s
        i = np.arange(max(1, s - m), min(n, s - 1) + 1)
        j = s - i
        best = np.minimum(np.minimum(d[i - 1, j], d[i, j - 1]), d[i - 1, j - 1])
        d[i, j] = cost[i - 1, j - 1] + best
    return d[n, m]


def main():
    rng = np.random.default_rng(0)
    big = rng.normal(0, 1, 1_000_000)
    other = rng.normal(0.5, 2, 1_000_000)
    mid = rng.normal(0, 1, 100_000)
    short_x, short_y = rng.normal(0, 1, 2000), rng.normal(0, 1, 2000)
    qs = [5, 25, 50, 75, 95]

    cases = [
        ("mean 1e6", lambda: nv.mean(big), lambda: np.mean(big)),
        ("std 1e6", lambda: nv.std(big, 1), lambda: np.std(big, ddof=1)),
        ("skewness 1e6", lambda: nv.skewness(big), lambda: scipy.stats.skew(big, bias=True)),
        ("percentiles 1e6 (5 q)", lambda: nv.percentiles(big, qs), lambda: np.percentile(big, qs)),
        ("gradient 1e6", lambda: nv.gradient(big, 0.1), lambda: np.gradient(big, 0.1)),
        ("cosine_distance 1e6", lambda: nv.cosine_distance(big, other),
         lambda: ssd.cosine(big, other)),
        ("earth_movers_distance 1e5", lambda: nv.earth_movers_distance(mid, other[:100_000]),
         lambda: scipy.stats.wasserstein_distance(mid, other[:100_000])),
        ("earth_movers_distance 1e6", lambda: nv.earth_movers_distance(big, other),
         lambda: scipy.stats.wasserstein_distance(big, other)),
        ("dtw_distance 2000 vs NumPy", lambda: nv.dtw_distance(short_x, short_y, -1),
         lambda: dtw_numpy(short_x, short_y)),
    ]
    print(f"{'case':32s} {'nuvra':>12s} {'other':>12s} {'ratio':>8s}")
    for name, ours, theirs in cases:
        t_ours, t_theirs = best_time(ours), best_time(theirs, repeat=3)
        print(f"{name:32s} {t_ours * 1e3:10.3f}ms {t_theirs * 1e3:10.3f}ms {t_theirs / t_ours:8.2f}")

    xs, ys = list(short_x), list(short_y)
    t_ours = best_time(lambda: nv.dtw_distance(short_x, short_y, -1))
    t_py = best_time(lambda: dtw_python(xs, ys), repeat=1)
    print(f"{'dtw_distance 2000 vs pure Python':32s} {t_ours * 1e3:10.3f}ms {t_py * 1e3:10.3f}ms "
          f"{t_py / t_ours:8.2f}")
    assert nv.dtw_distance(short_x, short_y, -1) == dtw_python(xs, ys)


if __name__ == "__main__":
    main()
