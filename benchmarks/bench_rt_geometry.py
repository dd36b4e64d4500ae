"""rt_geometry_batch against the per-cohort NumPy loop a user would write, the
batch's speed-up from one worker thread to all cores (and its efficiency,
speed-up / cores), and find_stable_baseline_1d against the NumPy
sliding-window standard deviation.

    PYTHONPATH=<build dir> python benchmarks/bench_rt_geometry.py [n_cohorts]

The thread scaling is only meaningful on an otherwise idle machine.
"""

import os
import subprocess
import sys
import time

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

from nuvra import _rust as r

N_SIGNALS = 8


def make_batch(n_cohorts, seed=0):
    rng = np.random.default_rng(seed)
    counts = rng.integers(200, 400, size=n_cohorts).astype(np.int64)
    width = int(counts.max()) * N_SIGNALS
    flat = np.zeros((n_cohorts, width))
    for c, n in enumerate(counts):
        amp = 1.0 + 3.0 * np.abs(np.sin(np.arange(n) / rng.uniform(5, 20)))[:, None]
        flat[c, :n * N_SIGNALS] = (rng.normal(size=(n, N_SIGNALS)) * amp + rng.normal(size=N_SIGNALS)).ravel()
    return flat, counts


def numpy_cohort(x, min_baseline_cycles=3):
    """The same five series for one complete cohort, written with NumPy."""
    n, k = x.shape
    norms = np.sqrt((x * x).sum(axis=1))
    w = max(int(0.2 * n), min_baseline_cycles)
    if n < min_baseline_cycles or int(0.2 * n) > n:
        start, w = 0, n
    else:
        stride = max(int(0.05 * n), 1)
        sd = sliding_window_view(norms, w)[::stride].std(axis=1)
        start = int(np.argmin(sd)) * stride
    base = x[start:start + w]
    mu, sd = base.mean(axis=0), base.std(axis=0)
    sd[sd < 1e-10] = 1.0
    z = (x - mu) / sd
    _, s, vt = np.linalg.svd(z[start:start + w], full_matrices=False)
    kk = min(len(s), 5)
    dirs = vt[:kk].copy()
    m = k - 1 - np.argmax(np.abs(dirs[:, ::-1]), axis=1)
    dirs *= np.where(dirs[np.arange(kk), m] < 0, -1.0, 1.0)[:, None]
    lam = np.maximum(s[:kk] ** 2 / max(w - 1, 1), 1e-10)
    proj = z @ dirs.T
    dist = np.sqrt((z * z).sum(axis=1))
    return dist, dist / np.sqrt(k), proj[:, 0], proj[:, 1], np.sqrt((proj ** 2 / lam).sum(axis=1))


def numpy_batch(flat, counts):
    parts = [numpy_cohort(flat[c, :n * N_SIGNALS].reshape(n, N_SIGNALS)) for c, n in enumerate(counts)]
    return tuple(np.concatenate([p[f] for p in parts]) for f in range(5))


def best_of(fn, repeat):
    """Best wall time of one call; the result is freed after the clock stops."""
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t)
        del result
    return min(times)


def child(n_cohorts):
    flat, counts = make_batch(n_cohorts)
    r.rt_geometry_batch(flat, counts, N_SIGNALS)  # pool start-up outside the timing
    print(best_of(lambda: r.rt_geometry_batch(flat, counts, N_SIGNALS), 15))


def run_child(n_cohorts, threads):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    # NumPy's own OpenBLAS starts a thread per core that spins for a while;
    # the child uses no NumPy BLAS, so one thread keeps them off the cores
    # the measured pool needs.
    env["OPENBLAS_NUM_THREADS"] = "1"
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, __file__, "--child", str(n_cohorts)], env=env,
                         capture_output=True, text=True, check=True)
    return float(out.stdout.strip())


def baseline_numpy(x, wf=0.2, mw=3, sf=0.05):
    n = len(x)
    w, stride = max(int(wf * n), mw), max(int(sf * n), 1)
    sd = sliding_window_view(x, w)[::stride].std(axis=1)
    start = int(np.argmin(sd)) * stride
    return start, start + w


def bench_baseline():
    rng = np.random.default_rng(1)
    print("find_stable_baseline_1d vs sliding_window_view(...)[::stride].std(axis=1)")
    for n in (10**4, 10**5, 10**6):
        x = rng.normal(size=n) * (1 + np.abs(np.sin(np.arange(n) / (n / 7))))
        assert r.find_stable_baseline_1d(x, 0.2, 3, 0.05) == baseline_numpy(x)
        t_ours = best_of(lambda: r.find_stable_baseline_1d(x, 0.2, 3, 0.05), 15)
        t_np = best_of(lambda: baseline_numpy(x), 15)
        print(f"  n = {n:>8d}   ratio {t_np / t_ours:6.2f}")


def main(n_cohorts):
    bench_baseline()
    flat, counts = make_batch(n_cohorts)
    print(f"{n_cohorts} cohorts, {counts.min()}-{counts.max()} cycles x {N_SIGNALS} signals, "
          f"{counts.sum()} cycles in all; {os.cpu_count()} CPUs")

    ours = r.rt_geometry_batch(flat, counts, N_SIGNALS)
    ref = numpy_batch(flat, counts)
    for f in range(5):
        np.testing.assert_allclose(ours[f], ref[f], rtol=1e-7, atol=1e-9)

    t_batch = best_of(lambda: r.rt_geometry_batch(flat, counts, N_SIGNALS), 7)
    t_single = best_of(lambda: [r.rt_geometry_single(flat[c, :n * N_SIGNALS].reshape(n, N_SIGNALS))
                                for c, n in enumerate(counts)], 3)
    t_numpy = best_of(lambda: numpy_batch(flat, counts), 3)
    print(f"rt_geometry_batch (all threads)    {t_batch * 1e3:9.2f} ms")
    print(f"rt_geometry_single, Python loop    {t_single * 1e3:9.2f} ms   ({t_single / t_batch:6.1f}x the batch)")
    print(f"NumPy loop over cohorts            {t_numpy * 1e3:9.2f} ms   ({t_numpy / t_batch:6.1f}x the batch)")
    print(f"NumPy loop / rt_geometry_single    {t_numpy / t_single:9.2f}x")

    cpus = os.cpu_count()
    t1 = tn = float("inf")
    for _ in range(3):  # alternating, best of each: the clock of one busy core varies
        t1 = min(t1, run_child(n_cohorts, 1))
        tn = min(tn, run_child(n_cohorts, None))
    print(f"batch, RAYON_NUM_THREADS=1         {t1 * 1e3:9.2f} ms")
    print(f"batch, RAYON_NUM_THREADS unset     {tn * 1e3:9.2f} ms   (speed-up {t1 / tn:.2f}x, "
          f"efficiency {t1 / tn / cpus:.2f} on {cpus} cores)")


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        child(int(sys.argv[2]))
    else:
        main(int(sys.argv[1]) if len(sys.argv) > 1 else 1000)
