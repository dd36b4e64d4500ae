"""Side-by-side timings of statistics, distances and subspace_angle against
NumPy/SciPy, and of the fixed-order sums against the floor.

Run: PYTHONPATH=<build dir> python benchmarks/bench_statistics.py
Prints, per case and size, the ratio alternative time / nuvra time (above 1
means nuvra is faster). The fixed-order sums (mean, rms, euclidean and
manhattan distance) are set against the floor instead: a bare in-order sum
loop over the same samples in C (compiled here with the module's flags and
loaded through ctypes), printed as ns per sample and as our time / floor
time (the target is at most 1.15).
"""

import ctypes
import math
import os
import subprocess
import sys
import tempfile

import numpy as np
import scipy.spatial.distance as ssd
import scipy.stats

from nuvra import _rust as nv
from timing import best_time

FLOOR_C = """
double floor_sum(const double* x, long n) {
    double s = -0.0;
    for (long i = 0; i < n; ++i) s += x[i];
    return s;
}
"""


def load_floor():
    """The bare in-order sum loop, built with the module's floating-point flags."""
    tmp = tempfile.mkdtemp()
    src, lib = os.path.join(tmp, "floor.c"), os.path.join(tmp, "floor.so")
    with open(src, "w") as f:
        f.write(FLOOR_C)
    subprocess.run(["cc", "-O3", "-ffp-contract=off", "-fno-fast-math", "-shared", "-fPIC", src,
                    "-o", lib], check=True)
    fn = ctypes.CDLL(lib).floor_sum
    fn.restype = ctypes.c_double
    fn.argtypes = [ctypes.c_void_p, ctypes.c_long]
    return fn


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


def subspace_numpy(a, b):
    s = np.linalg.svd(a.T @ b, compute_uv=False)
    return np.arccos(np.minimum(np.abs(s), 1.0)).mean()


def elementwise_cases(x, dt=0.1):
    g = np.gradient
    return [
        ("min_max", lambda: nv.min_max(x), lambda: (np.min(x), np.max(x))),
        ("peak_to_peak", lambda: nv.peak_to_peak(x), lambda: np.ptp(x)),
        ("zero_crossings", lambda: nv.zero_crossings(x),
         lambda: np.count_nonzero(np.diff(x >= 0))),
        ("mean_crossings", lambda: nv.mean_crossings(x),
         lambda: np.count_nonzero(np.diff(x - x.mean() >= 0))),
        ("derivative", lambda: nv.derivative(x, dt), lambda: np.diff(x) / dt),
        ("finite_difference (order 2)", lambda: nv.finite_difference(x, 2, dt),
         lambda: np.diff(x, 2) / dt**2),
        ("gradient", lambda: nv.gradient(x, dt), lambda: g(x, dt)),
        ("first_derivative", lambda: nv.first_derivative(x, dt, "central"), lambda: g(x, dt)),
        ("second_derivative", lambda: nv.second_derivative(x, dt, "central"),
         lambda: g(g(x, dt), dt)),
        ("jerk", lambda: nv.jerk(x, dt), lambda: g(g(g(x, dt), dt), dt)),
        ("pulsation_index", lambda: nv.pulsation_index(x),
         lambda: (x.max() - x.min()) / abs(x.mean())),
        ("crest_factor", lambda: nv.crest_factor(x),
         lambda: np.abs(x).max() / np.sqrt(np.mean(x * x))),
        ("std", lambda: nv.std(x, 1), lambda: np.std(x, ddof=1)),
        ("skewness", lambda: nv.skewness(x), lambda: scipy.stats.skew(x, bias=True)),
        ("percentiles (5 q)", lambda: nv.percentiles(x, [5, 25, 50, 75, 95]),
         lambda: np.percentile(x, [5, 25, 50, 75, 95])),
    ]


def main():
    rng = np.random.default_rng(0)
    sizes = (10**4, 10**5, 10**6)
    data = {n: (rng.normal(0, 1, n), rng.normal(0.5, 2, n)) for n in sizes}

    print("ratio = alternative time / nuvra time (> 1: nuvra faster)")
    print(f"{'function':30s}" + "".join(f"{'n=' + format(n, '.0e'):>12s}" for n in sizes))
    names = [c[0] for c in elementwise_cases(data[sizes[0]][0])]
    table = {n: {name: (ours, theirs) for name, ours, theirs in elementwise_cases(data[n][0])}
             for n in sizes}
    for name in names:
        ratios = []
        for n in sizes:
            ours, theirs = table[n][name]
            ratios.append(best_time(theirs) / best_time(ours))
        print(f"{name:30s}" + "".join(f"{r:12.2f}" for r in ratios))
    for n in sizes[1:]:
        x, y = data[n]
        r = best_time(lambda: ssd.cosine(x, y)) / best_time(lambda: nv.cosine_distance(x, y))
        print(f"{'cosine_distance n=' + format(n, '.0e'):30s}{r:12.2f}   (scipy.spatial.distance.cosine)")

    print("\nsubspace_angle vs np.linalg.svd(A.T @ B) + arccos")
    for rows, k in ((10_000, 8), (100_000, 16)):
        a, b = rng.normal(size=(rows, k)), rng.normal(size=(rows, k))
        r = best_time(lambda: subspace_numpy(a, b)) / best_time(lambda: nv.subspace_angle(a, b))
        print(f"{f'{rows} x {k}':30s}{r:12.2f}")

    floor = load_floor()
    print("\nfixed-order sums: ns per sample, and our time / floor time (target <= 1.15)")
    for n in sizes[1:]:
        x, y = data[n]
        t_floor = best_time(lambda: floor(x.ctypes.data, n))
        print(f"{'floor: bare in-order sum':30s} n={n:.0e} {t_floor / n * 1e9:7.3f} ns")
        for name, fn in (("mean", lambda: nv.mean(x)), ("rms", lambda: nv.rms(x)),
                         ("euclidean_distance", lambda: nv.euclidean_distance(x, y)),
                         ("manhattan_distance", lambda: nv.manhattan_distance(x, y))):
            t = best_time(fn)
            print(f"{name:30s} n={n:.0e} {t / n * 1e9:7.3f} ns   {t / t_floor:6.2f}x floor")

    print("\nother peers")
    mid, other = data[10**5][0], data[10**5][1]
    short_x, short_y = rng.normal(0, 1, 2000), rng.normal(0, 1, 2000)
    for name, ours, theirs in (
        ("earth_movers_distance 1e5", lambda: nv.earth_movers_distance(mid, other),
         lambda: scipy.stats.wasserstein_distance(mid, other)),
        ("dtw_distance 2000 vs NumPy", lambda: nv.dtw_distance(short_x, short_y, -1),
         lambda: dtw_numpy(short_x, short_y)),
    ):
        print(f"{name:30s}{best_time(theirs, repeat=3) / best_time(ours):12.2f}")
    xs, ys = list(short_x), list(short_y)
    t_ours = best_time(lambda: nv.dtw_distance(short_x, short_y, -1))
    t_py = best_time(lambda: dtw_python(xs, ys), repeat=1)
    print(f"{'dtw_distance 2000 vs Python':30s}{t_py / t_ours:12.2f}")
    assert nv.dtw_distance(short_x, short_y, -1) == dtw_python(xs, ys)


if __name__ == "__main__":
    sys.exit(main())
