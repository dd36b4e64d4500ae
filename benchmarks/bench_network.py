"""Side-by-side timings of the graph and topology functions.

Run: PYTHONPATH=<build dir> python benchmarks/bench_network.py
Prints, per case, the best time of nuvra and of the alternative and their
ratio (alternative / nuvra: above 1 means nuvra is faster). Graph sizes are
given as the number of matrix entries (10^4 and 10^5: n = 100 and 316 nodes);
networkx works on a graph built beforehand (the build is not timed).
"""

import os
import warnings

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # single-threaded BLAS, as nuvra's

import networkx as nx
import numpy as np
import scipy.sparse as sp
import scipy.sparse.csgraph as csg
from scipy.cluster.hierarchy import linkage
from scipy.spatial.distance import pdist, squareform

from nuvra import _rust as nv
from timing import best_time

warnings.filterwarnings("ignore")


def row(name, size, ours, theirs, peer):
    t0, t1 = best_time(ours), best_time(theirs)
    print(f"{name:28s} {size:>10s} {t0 * 1e3:10.3f} {t1 * 1e3:11.3f} {t1 / t0:9.1f}  {peer}")


def graph(n, p, seed=0):
    g = np.random.default_rng(seed)
    a = (g.random((n, n)) < p).astype(float)
    np.fill_diagonal(a, 0.0)
    return np.maximum(a, a.T)


def np_threshold(c, t):
    a = (np.abs(c) >= t).astype(float)
    np.fill_diagonal(a, 0.0)
    return a


def ripser_h0(x):
    from ripser import ripser
    return ripser(x, maxdim=0)["dgms"][0]


def main():
    print(f"{'case':28s} {'size':>10s} {'nuvra ms':>10s} {'other ms':>11s} {'ratio':>9s}  peer")
    for n in (100, 316):
        a = graph(n, 8.0 / n)
        G = nx.from_numpy_array(a)
        size = f"n={n}"
        part = np.arange(n) % 4 * 1.0
        comms = [set(np.flatnonzero(part == k)) for k in range(4)]
        row("density", size, lambda: nv.density(a),
            lambda: np.count_nonzero(a > 0) / (n * (n - 1)), "numpy")
        row("degree_centrality", size, lambda: nv.degree_centrality(a),
            lambda: (a > 0).sum(1) / (n - 1), "numpy")
        row("degree_centrality", size, lambda: nv.degree_centrality(a),
            lambda: nx.degree_centrality(G), "networkx")
        row("closeness_centrality", size, lambda: nv.closeness_centrality(a),
            lambda: nx.closeness_centrality(G, wf_improved=False), "networkx")
        row("closeness_centrality", size, lambda: nv.closeness_centrality(a),
            lambda: csg.shortest_path(sp.csr_matrix(a), unweighted=True), "scipy csgraph (distances only)")
        row("betweenness_centrality", size, lambda: nv.betweenness_centrality(a),
            lambda: nx.betweenness_centrality(G), "networkx")
        row("average_path_length", size, lambda: nv.average_path_length(a),
            lambda: nx.average_shortest_path_length(G), "networkx")
        row("connected_components", size, lambda: nv.connected_components(a),
            lambda: list(nx.connected_components(G)), "networkx")
        row("connected_components", size, lambda: nv.connected_components(a),
            lambda: list(nx.connected_components(nx.from_numpy_array(a))), "networkx incl. graph build")
        row("connected_components", size, lambda: nv.connected_components(a),
            lambda: csg.connected_components(sp.csr_matrix(a)), "scipy csgraph")
        row("clustering_coefficient", size, lambda: nv.clustering_coefficient(a),
            lambda: nx.clustering(G), "networkx")
        row("eigenvector_centrality", size, lambda: nv.eigenvector_centrality(a, 1000, 1e-9),
            lambda: nx.eigenvector_centrality(G, 1000, 1e-9), "networkx")
        row("eigenvector_centrality", size, lambda: nv.eigenvector_centrality(a, 1000, 1e-9),
            lambda: np.linalg.eigh(a), "numpy eigh")
        row("modularity", size, lambda: nv.modularity(a, part, 1.0),
            lambda: nx.community.modularity(G, comms), "networkx")
        row("louvain", size, lambda: nv.louvain(a, 1.0),
            lambda: nx.community.louvain_communities(G, seed=0), "networkx")
        row("label_propagation", size, lambda: nv.label_propagation(a),
            lambda: list(nx.community.label_propagation_communities(G)), "networkx")

    for n in (100, 316, 1000):
        c = np.corrcoef(np.random.default_rng(1).normal(size=(n, 3 * n)))
        row("adjacency_from_correlation", f"n={n}", lambda: nv.adjacency_from_correlation(c, 0.1),
            lambda: np_threshold(c, 0.1), "numpy")

    for npts in (100, 316):
        x = np.random.default_rng(2).normal(size=(npts, 3))
        size = f"{npts}x3"
        row("pairwise_distance_matrix", size, lambda: nv.pairwise_distance_matrix(x),
            lambda: squareform(pdist(x)), "scipy squareform(pdist)")
    ripser_h0(np.zeros((3, 2)))  # first call loads and compiles
    for npts in (500, 2000, 5000):
        x = np.random.default_rng(3).normal(size=(npts, 3))
        size = f"{npts}x3"
        row("persistent_homology", size, lambda: nv.persistent_homology(x, npts),
            lambda: ripser_h0(x), "ripser maxdim=0")
        row("persistent_homology", size, lambda: nv.persistent_homology(x, npts),
            lambda: np.sort(linkage(x, "single")[:, 2]), "scipy linkage single")
    for rows in (10_000, 100_000):
        g = np.random.default_rng(4)
        d1 = np.column_stack([g.random(rows), g.random(rows) + 1])
        d2 = np.column_stack([g.random(rows // 2), g.random(rows // 2) + 2])
        size = f"{rows} rows"

        def np_wasserstein():
            pa, pb = (d[np.isfinite(d[:, 1]), 1] - d[np.isfinite(d[:, 1]), 0] for d in (d1, d2))
            m = max(len(pa), len(pb))
            pa = -np.sort(-np.concatenate([pa, np.zeros(m - len(pa))]))
            pb = -np.sort(-np.concatenate([pb, np.zeros(m - len(pb))]))
            return np.abs(pa - pb).sum()

        def np_stats():
            p = d1[np.isfinite(d1[:, 1]), 1] - d1[np.isfinite(d1[:, 1]), 0]
            return p.mean(), p.min(), p.max(), p.std(), len(p)

        row("wasserstein_distance", size, lambda: nv.wasserstein_distance(d1, d2), np_wasserstein, "numpy")
        row("persistence_statistics", size, lambda: nv.persistence_statistics(d1), np_stats, "numpy")


if __name__ == "__main__":
    main()
