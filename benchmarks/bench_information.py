"""Side-by-side timings of the information and matrix families.

Run: PYTHONPATH=<build dir> python benchmarks/bench_information.py
Prints, per case and size, the best time of nuvra and of the alternative and
their ratio (alternative / nuvra: above 1 means nuvra is faster). The
alternatives are what a user would write: NumPy histograms with SciPy or
scikit-learn entropies, and statsmodels' Granger test per pair.
"""

import math
import warnings

import numpy as np
import scipy.spatial.distance as ssd
import scipy.stats
from sklearn.metrics import mutual_info_score

from nuvra import _rust as nv
from timing import best_time


def codes(x, nb):
    lo, hi = x.min(), x.max()
    return np.minimum(((x - lo) / (hi - lo) * nb).astype(np.int64), nb - 1)


def np_entropy_bits(labels):
    return scipy.stats.entropy(np.unique(labels, return_counts=True)[1], base=2)


def np_transfer_entropy(x, y, nb):
    """Plug-in TE with history 1 from NumPy counts (np.unique over packed states)."""
    s, t = codes(x, nb), codes(y, nb)
    nxt, hy, hx = t[1:], t[:-1], s[:-1]
    h = np_entropy_bits
    return (h(nxt * nb + hy) - h(hy)) - (h((nxt * nb + hy) * nb + hx) - h(hy * nb + hx))


def js_scipy(p, q, nb):
    lo, hi = min(p.min(), q.min()), max(p.max(), q.max())
    cp = np.histogram(p, nb, (lo, hi))[0] + 1e-10
    cq = np.histogram(q, nb, (lo, hi))[0] + 1e-10
    return ssd.jensenshannon(cp, cq, base=2) ** 2


def kl_scipy(p, q, nb):
    lo, hi = min(p.min(), q.min()), max(p.max(), q.max())
    cp = np.histogram(p, nb, (lo, hi))[0] + 1e-10
    cq = np.histogram(q, nb, (lo, hi))[0] + 1e-10
    return scipy.stats.entropy(cp, cq)


def two_hist(p, q, nb):
    lo, hi = min(p.min(), q.min()), max(p.max(), q.max())
    return np.histogram(p, nb, (lo, hi))[0] / len(p), np.histogram(q, nb, (lo, hi))[0] / len(q)


def hellinger_np(p, q, nb):
    P, Q = two_hist(p, q, nb)
    return math.sqrt(0.5 * ((np.sqrt(P) - np.sqrt(Q)) ** 2).sum())


def tv_np(p, q, nb):
    P, Q = two_hist(p, q, nb)
    return 0.5 * np.abs(P - Q).sum()


def cross_np(p, q, nb):
    P, Q = two_hist(p, q, nb)
    m = P > 0
    return -(P[m] * np.log2(np.maximum(Q[m], 1e-12))).sum()


def cmi_np(x, y, z, nb):
    bx, by, bz = codes(x, nb), codes(y, nb), codes(z, nb)
    h = np_entropy_bits
    return h(bx * nb + bz) + h(by * nb + bz) - h((bx * nb + by) * nb + bz) - h(bz)


def granger_statsmodels(s, max_lag):
    from statsmodels.tsa.stattools import grangercausalitytests
    n = s.shape[1]
    out = np.zeros((n, n))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for i in range(n):
            for j in range(n):
                if i != j:
                    r = grangercausalitytests(s[:, [j, i]], maxlag=max_lag)
                    out[i, j] = min(r[lag][0]["ssr_ftest"][1] for lag in r)
    return out


def main():
    rng = np.random.default_rng(0)
    rows = []

    def case(name, ours, theirs, size, peer):
        t_ours, t_theirs = best_time(ours), best_time(theirs)
        rows.append((name, size, peer, t_ours, t_theirs))
        print(f"{name:28s} {size:>8} {peer:34s} {t_ours * 1e3:10.3f} ms {t_theirs * 1e3:10.3f} ms "
              f"{t_theirs / t_ours:8.1f}x", flush=True)

    for n in (10_000, 100_000):
        x = rng.normal(size=n)
        y = 0.5 * x + rng.normal(size=n)
        z = rng.normal(size=n)
        nb = 16
        case("shannon_entropy", lambda: nv.shannon_entropy(x, 32), lambda: scipy.stats.entropy(
            np.histogram(x, 32)[0], base=2), n, "np.histogram + scipy entropy")
        case("renyi_entropy", lambda: nv.renyi_entropy(x, 2.0, 32), lambda: -np.log2(
            ((np.histogram(x, 32)[0] / n) ** 2).sum()), n, "np.histogram + numpy")
        case("tsallis_entropy", lambda: nv.tsallis_entropy(x, 2.0, 32), lambda: 1 - (
            (np.histogram(x, 32)[0] / n) ** 2).sum(), n, "np.histogram + numpy")
        case("mutual_information", lambda: nv.mutual_information(x, y, nb), lambda: mutual_info_score(
            codes(x, nb), codes(y, nb)), n, "sklearn mutual_info_score")
        case("joint_entropy", lambda: nv.joint_entropy(x, y, 10), lambda: scipy.stats.entropy(
            np.histogram2d(x, y, 10)[0].ravel(), base=2), n, "np.histogram2d + scipy")
        case("conditional_entropy", lambda: nv.conditional_entropy(x, y, 10), lambda: scipy.stats.entropy(
            np.histogram2d(x, y, 10)[0].ravel(), base=2) - scipy.stats.entropy(
            np.histogram(y, 10)[0], base=2), n, "np.histogram(2d) + scipy")
        case("information_gain", lambda: nv.information_gain(x, y, 10), lambda: scipy.stats.entropy(
            np.histogram(x, 10)[0], base=2) - scipy.stats.entropy(np.histogram2d(x, y, 10)[0].ravel(), base=2)
            + scipy.stats.entropy(np.histogram(y, 10)[0], base=2), n, "np.histogram(2d) + scipy")
        case("cond_mutual_information", lambda: nv.cond_mutual_information(x, y, z, nb),
             lambda: cmi_np(x, y, z, nb), n, "numpy np.unique counts")
        case("transfer_entropy", lambda: nv.transfer_entropy(x, y, nb, 1),
             lambda: np_transfer_entropy(x, y, nb), n, "numpy np.unique counts")
        case("kl_divergence", lambda: nv.kl_divergence(x, z), lambda: kl_scipy(x, z, 10), n,
             "np.histogram + scipy entropy")
        case("js_divergence", lambda: nv.js_divergence(x, z), lambda: js_scipy(x, z, 10), n,
             "np.histogram + scipy jensenshannon")
        case("cross_entropy", lambda: nv.cross_entropy(x, z), lambda: cross_np(x, z, int(math.sqrt(n))),
             n, "np.histogram + numpy")
        case("hellinger_distance", lambda: nv.hellinger_distance(x, z), lambda: hellinger_np(
            x, z, int(math.sqrt(n))), n, "np.histogram + numpy")
        case("total_variation_distance", lambda: nv.total_variation_distance(x, z), lambda: tv_np(
            x, z, int(math.sqrt(n))), n, "np.histogram + numpy")

    for T, k in ((10_000, 8), (100_000, 8)):
        s = rng.normal(size=(T, k))
        s[1:, 1] += 0.5 * s[:-1, 0]
        pairs = [(i, j) for i in range(k) for j in range(k) if i != j]
        case("mutual_information_matrix", lambda: nv.mutual_information_matrix(s, 10),
             lambda: [mutual_info_score(codes(s[:, i], 10), codes(s[:, j], 10))
                      for i in range(k) for j in range(i + 1, k)], f"{T}x{k}", "sklearn per pair")
        case("mutual_information_matrix", lambda: nv.mutual_information_matrix(s, 10),
             lambda: [nv.mutual_information(np.ascontiguousarray(s[:, i]), np.ascontiguousarray(s[:, j]), 10)
                      for i in range(k) for j in range(i + 1, k)], f"{T}x{k}", "nv.mutual_information per pair")
        case("transfer_entropy_matrix", lambda: nv.transfer_entropy_matrix(s, 1, 8),
             lambda: [np_transfer_entropy(s[:, i], s[:, j], 8) for i, j in pairs], f"{T}x{k}",
             "numpy TE per pair")
        rows_s = np.ascontiguousarray(s.T)
        case("batch_transfer_entropy_py", lambda: nv.batch_transfer_entropy_py(rows_s, 16, 1),
             lambda: [nv.transfer_entropy(rows_s[i], rows_s[j], 16, 1) for i, j in pairs], f"{T}x{k}",
             "nv.transfer_entropy per pair")
        case("batch_transfer_entropy_py", lambda: nv.batch_transfer_entropy_py(rows_s, 16, 1),
             lambda: [np_transfer_entropy(rows_s[i], rows_s[j], 16) for i, j in pairs], f"{T}x{k}",
             "numpy TE per pair")
    for T, k in ((10_000, 4), (100_000, 4)):
        s = rng.normal(size=(T, k))
        s[1:, 1] += 0.5 * s[:-1, 0]
        case("granger_matrix", lambda: nv.granger_matrix(s, 5), lambda: granger_statsmodels(s, 5),
             f"{T}x{k}", "statsmodels grangercausalitytests")

    print("\nratios (alternative / nuvra):")
    for name, size, peer, a, b in rows:
        print(f"| {name} | {size} | {peer} | {b / a:.1f} |")


if __name__ == "__main__":
    main()
