"""Graph measures against networkx, known answers and direct transcriptions.
Rows are out-edges: closeness equals networkx's on the reversed graph
(wf_improved=False); average path length leaves unreachable pairs out;
eigenvector centrality retries A + I only when A does not converge.
"""

import math

import networkx as nx
import numpy as np
import pytest

from helpers import assert_stops_on_ctrl_c, in_order_sum as in_order, panics
from nuvra import _rust as r

ONE_ARG = ("degree_centrality betweenness_centrality closeness_centrality clustering_coefficient "
           "average_path_length density connected_components label_propagation").split()
CALLS = {**{f: (lambda f: lambda a: getattr(r, f)(a))(f) for f in ONE_ARG},
         "eigenvector_centrality": lambda a: r.eigenvector_centrality(a, 50, 1e-9),
         "adjacency_from_correlation": lambda a: r.adjacency_from_correlation(a, 0.5),
         "modularity": lambda a: r.modularity(a, np.arange(a.shape[0]) % 2 * 1.0, 1.0),
         "louvain": lambda a: r.louvain(a, 1.0)}


def random_graph(seed, n=14, p=0.3, directed=False):
    a = (np.random.default_rng(seed).random((n, n)) < p) * (1.0 - np.eye(n))
    return a if directed else np.maximum(a, a.T)


PATH3 = np.array([[0, 1, 0], [1, 0, 1], [0, 1, 0.]])


@pytest.mark.parametrize("f, a, want", [
    ("density", np.zeros((0, 0)), 0.0), ("degree_centrality", np.zeros((0, 0)), [1.0]),
    ("average_path_length", np.zeros((0, 0)), 0.0), ("closeness_centrality", np.zeros((0, 0)), [1.0]),
    ("connected_components", np.zeros((0, 0)), []), ("betweenness_centrality", np.zeros((0, 0)), []),
    ("density", np.ones((1, 1)), 0.0), ("connected_components", np.ones((1, 1)), [[0]]),
    ("connected_components", np.zeros((1, 0)), [[0]]), ("clustering_coefficient", np.zeros((1, 0)), [0.0]),
    ("betweenness_centrality", np.ones((1, 1)), [0.0]), ("average_path_length", np.ones((1, 1)), 0.0),
    ("density", np.ones((2, 2)), 2.0), ("degree_centrality", np.ones((2, 2)), [2.0, 2.0]),
    ("average_path_length", np.ones((2, 2)), 1.0), ("closeness_centrality", np.ones((2, 2)), [1.0, 1.0]),
    ("betweenness_centrality", PATH3, [0.0, 1.0, 0.0]), ("average_path_length", PATH3, 8 / 6),
    ("closeness_centrality", PATH3, [2 / 3, 1.0, 2 / 3]), ("average_path_length", np.zeros((4, 4)), math.inf),
    ("connected_components", np.zeros((3, 3)), [[0], [1], [2]]),
    ("connected_components", np.array([[0, 1], [0, 0.]]), [[0, 1]]),
    ("connected_components", np.array([[0, 0], [1, 0.]]), [[0], [1]]),
    ("density", np.array([[0, np.nan], [np.inf, 0]]), 0.5), ("clustering_coefficient", 1 - np.eye(3), [1.0] * 3),
    ("clustering_coefficient", nx.to_numpy_array(nx.star_graph(3)), [0.0] * 4),
    ("eigenvector_centrality", np.zeros((3, 3)), [0.0] * 3), ("eigenvector_centrality", np.ones((1, 1)), [1.0]),
    ("eigenvector_centrality", np.zeros((0, 0)), []), ("louvain", np.ones((1, 1)), [0.0]),
    ("label_propagation", np.ones((1, 1)), [0.0]), ("louvain", np.zeros((3, 3)), [0.0, 1.0, 2.0]),
    ("louvain", np.array([[0, 1], [1, np.nan]]), [0.0, 1.0]),
    ("modularity", np.zeros((0, 0)), math.nan), ("modularity", np.zeros((3, 3)), 0.0),
])
def test_known_answers(f, a, want):
    np.testing.assert_equal(CALLS[f](a), want)


TWO_EDGES = np.zeros((4, 4))
TWO_EDGES[0, 1] = TWO_EDGES[1, 0] = TWO_EDGES[2, 3] = TWO_EDGES[3, 2] = 1.0


def test_docs_and_examples():
    assert r.eigenvector_centrality.__text_signature__ == "(adjacency, max_iter, tol)"
    assert r.modularity.__text_signature__ == "(adjacency, communities, resolution)"
    assert r.betweenness_centrality.__doc__ == "Betweenness centrality (Brandes algorithm)."
    assert r.adjacency_from_correlation.__doc__ == "Create adjacency from correlation matrix."
    for comm in ([0, 0, 1, 1], [0.0, 0.7, 1.2, 1.9]):
        assert r.modularity(TWO_EDGES, np.array(comm, float), 1.0) == 0.5
    assert r.modularity(TWO_EDGES, np.array([5, 5, 7, 7, 9.]), 1.0) == 0.5  # 9 has no members
    assert r.modularity(TWO_EDGES, np.array([]), 1.0) == 0.0
    np.testing.assert_array_equal(r.louvain(TWO_EDGES, 1.0), [0, 0, 1, 1])
    np.testing.assert_array_equal(r.label_propagation(TWO_EDGES), [0, 0, 1, 1])
    for t, want in ((0.5, [[0, 1], [1, 0]]), (0.6, [[0, 0], [1, 0]])):
        np.testing.assert_array_equal(r.adjacency_from_correlation(np.array([[1, 0.5], [-0.7, 1]]), t), want)
    assert r.adjacency_from_correlation(np.zeros((1, 0)), 0.5).tolist() == [[0.0]]
    assert panics(r.modularity, TWO_EDGES, np.array([0.0, 1.0]), 1.0) == "ndarray: index out of bounds"


@pytest.mark.parametrize("n", [0, 1, 2, 7, 9, 40])
@pytest.mark.parametrize("t", [0.3, 0.0, -1.0, math.nan, math.inf])
def test_adjacency_from_correlation(n, t):
    c = np.random.default_rng(n).uniform(-1, 1, (n, n + 3))[:, :n]
    c.flat[::5] = np.resize([math.nan, -0.0, math.inf, -math.inf, 0.3], c.flat[::5].size)
    got = r.adjacency_from_correlation(c, t)  # a new C-ordered array that NumPy owns
    assert got.flags.owndata and got.flags.c_contiguous and got.base is None and got.shape == (n, n)
    want = (np.abs(c) >= t).astype(float)
    np.fill_diagonal(want, 0.0)
    assert got.tobytes() == want.tobytes()


@pytest.mark.parametrize("seed, n, p", [(0, 14, 0.3), (1, 14, 0.3), (2, 14, 0.1), (3, 150, 0.02),
                                         (4, 200, 0.006), (5, 64, 0.05)])
@pytest.mark.parametrize("directed", [False, True])
def test_against_networkx(seed, n, p, directed):
    a = random_graph(seed, n, p, directed=directed)
    G = nx.from_numpy_array(a, create_using=nx.DiGraph if directed else nx.Graph)
    assert r.density(a) == pytest.approx(nx.density(G), rel=1e-15)
    for f, want, tol in (("degree_centrality", (nx.out_degree_centrality if directed else nx.degree_centrality)(G), 0),
                         ("closeness_centrality", nx.closeness_centrality(G.reverse() if directed else G,
                                                                          wf_improved=False), 0),
                         ("betweenness_centrality", nx.betweenness_centrality(G, normalized=True), 1e-14)):
        np.testing.assert_allclose(getattr(r, f)(a), [want[i] for i in range(n)], rtol=1e-14, atol=tol)
    d = [l for s, row in nx.all_pairs_shortest_path_length(G) for t, l in row.items() if t != s]
    assert r.average_path_length(a) == pytest.approx(np.mean(d), rel=1e-14)
    comps = r.connected_components(a)
    seen = set()
    for comp in comps:  # each starts at its smallest free node, nodes in BFS order
        tree = [comp[0]] + [v for _, v in nx.bfs_edges(G, comp[0], sort_neighbors=sorted) if v not in seen]
        assert comp == tree and comp[0] == min(set(range(n)) - seen)
        seen |= set(comp)
    assert seen == set(range(n))
    if not directed:
        assert sorted(map(sorted, comps)) == sorted(map(sorted, nx.connected_components(G)))
        cc = nx.clustering(G)
        np.testing.assert_allclose(r.clustering_coefficient(a), [cc[i] for i in range(n)], rtol=1e-15)
        w = a * np.random.default_rng(seed).uniform(0.5, 2.0, a.shape)
        w, part = w + w.T, np.random.default_rng(seed).integers(0, 3, n)
        want = nx.community.modularity(nx.from_numpy_array(w), [set(np.flatnonzero(part == c)) for c in range(3)],
                                       resolution=0.8)
        assert r.modularity(w, part.astype(float), 0.8) == pytest.approx(want, abs=1e-13)


@pytest.mark.parametrize("G", [nx.star_graph(5), nx.path_graph(6), nx.balanced_tree(2, 3),
                               nx.complete_bipartite_graph(3, 4), nx.karate_club_graph(),
                               nx.cycle_graph(7), nx.petersen_graph()], ids=lambda g: str(g)[:20])
def test_eigenvector_centrality(G):
    # On bipartite graphs A alternates; the retry on A + I converges as networkx does.
    a, want = nx.to_numpy_array(G, weight=None), nx.eigenvector_centrality_numpy(G)
    want = np.array([want[i] for i in range(len(a))])
    for max_iter in (1000, 1001):  # no dependence on the parity of max_iter
        np.testing.assert_allclose(r.eigenvector_centrality(a, max_iter, 1e-12), want, atol=1e-8)


def ref_power(a, max_iter, tol):
    """The power iteration on A as written: row sums in order, Euclidean norm."""
    n, x = len(a), [1.0 / len(a)] * len(a)
    for t in range(max(max_iter, 1)):
        y = [in_order(a[i, j] * x[j] for j in range(n)) for i in range(n)]
        norm = math.sqrt(in_order(v * v for v in y))
        y = [v / norm for v in y]
        d, x = math.sqrt(in_order((u - v) * (u - v) for u, v in zip(x, y))), y
        if d < tol:
            return x, True
    return x, False


@pytest.mark.parametrize("max_iter, sign", [(1, -1), (4, 1), (2**64 - 1, -1), (2**64 - 2, 1)])
def test_eigenvector_iteration(max_iter, sign):
    a = np.random.default_rng(max_iter % 4).uniform(0.0, 1.0, (9, 9)) if max_iter > 1 else 1 - np.eye(3)
    want, converged = ref_power(a, 200, 1e-10)
    assert converged
    np.testing.assert_array_equal(r.eigenvector_centrality(a, 200, 1e-10), want)
    np.testing.assert_array_equal(r.eigenvector_centrality(np.full((2, 2), np.nan), 7, 1e-6), [np.nan] * 2)
    # -3 I alternates between x and -x on A and A + I: the state of step max_iter, at once.
    want, _ = ref_power(-2 * np.eye(2), max_iter if max_iter < 10 else 100 + max_iter % 2, 1e-6)
    assert np.sign(want).tolist() == [sign] * 2
    np.testing.assert_array_equal(r.eigenvector_centrality(-3 * np.eye(2), max_iter, 1e-6), want)
    # tol 0 never converges: the run ends in an exact cycle, found without iterating on.
    a = np.random.default_rng(3).uniform(0.0, 1.0, (6, 6))
    want, _ = ref_power(a + np.eye(6), 300, 0.0)
    np.testing.assert_allclose(r.eigenvector_centrality(a, max(max_iter, 300), 0.0), want, rtol=1e-15)


def ref_louvain(a, gamma):
    """Local moving of single nodes, transcribed step by step."""
    n, lab = len(a), list(range(len(a)))
    k = [in_order(row) for row in a.tolist()]
    m = in_order(a.ravel().tolist()) * 0.5
    for _ in range(100 if m != 0.0 else 0):
        changed = False
        for i in range(n):
            cand = []
            for j in range(n):
                if a[i, j] > 0 and lab[j] != lab[i] and lab[j] not in cand:
                    cand.append(lab[j])
            own = [j for j in range(n) if j != i and lab[j] == lab[i]]
            w_own, t_own = in_order(a[i, j] for j in own), in_order(k[j] for j in own)
            best, bg = lab[i], 0.0
            for c in cand:
                mem = [j for j in range(n) if lab[j] == c]
                gain = ((in_order(a[i, j] for j in mem) - w_own) / m
                        - (in_order(k[j] for j in mem) - t_own) * (gamma * k[i]) / (m * (m + m)))
                best, bg = (c, gain) if gain > bg else (best, bg)
            changed |= best != lab[i]
            lab[i] = best
        if not changed:
            break
    return lab


def ref_modularity(a, comm, gamma):
    """Modularity as written: dense sums in order over every member pair."""
    n, lab = len(a), [int(c) for c in comm]  # truncation toward zero
    m = in_order(a.ravel().tolist()) * 0.5
    k = [in_order(row) for row in a.tolist()]
    q = 0.0
    for c in sorted(set(lab)):
        mem = [i for i in range(n) if lab[i] == c]
        lc, dc = in_order(a[i, j] for i in mem for j in mem), in_order(k[i] for i in mem)
        q += lc / (m + m) - gamma * (dc / (m + m)) ** 2
    return q


def ref_label_propagation(a):
    n, lab = len(a), list(range(len(a)))
    for _ in range(100):
        changed = False
        for i in range(n):
            votes = {}
            for j in np.flatnonzero(a[i] > 0):
                votes[lab[j]] = votes.get(lab[j], 0.0) + a[i, j]
            if votes:
                choice = min(l for l, v in votes.items() if v == max(votes.values()))
                changed, lab[i] = changed or choice != lab[i], choice
        if not changed:
            return lab
    return lab


def numbered(lab):
    order = sorted(set(lab))
    return [float(order.index(l)) for l in lab]


@pytest.mark.parametrize("seed, n", [(0, 24), (1, 24), (2, 24), (3, 24), (4, 24), (5, 24), (6, 70), (7, 70)])
def test_communities_against_transcriptions(seed, n):
    g = np.random.default_rng(seed)
    a = random_graph(seed, n=n, p=5.0 / n, directed=seed % 2 == 1)
    if seed >= 2:
        a = a * g.uniform(-0.3, 2.0, a.shape)  # weights, some negative
    for gamma in (1.0, 0.3):
        np.testing.assert_array_equal(r.louvain(a, gamma), numbered(ref_louvain(a, gamma)))
    np.testing.assert_array_equal(r.label_propagation(a), numbered(ref_label_propagation(a)))
    comm = g.uniform(-1.0, 4.0, n + 3)  # fractions truncate; labels past n have no members
    np.fill_diagonal(a, g.uniform(-1.0, 1.0, n))
    assert r.modularity(a, comm, 0.7) == ref_modularity(a, comm, 0.7)
    ring = nx.to_numpy_array(nx.cycle_graph(6))  # every vote ties: the smallest label wins
    np.testing.assert_array_equal(r.label_propagation(ring), numbered(ref_label_propagation(ring)))


@pytest.mark.parametrize("f", list(CALLS))
def test_wide_reads_leading_block_narrow_panics(f):
    a = random_graph(3, n=6) * np.random.default_rng(1).uniform(0.1, 1.0, (6, 6))
    got, want = (np.asarray(CALLS[f](m), dtype=object) for m in (np.hstack([a, np.ones((6, 3))]), a))
    np.testing.assert_array_equal(got, want)
    panics(CALLS[f], a[:, :5])


ROTATION = "c, s = np.cos(1.0), np.sin(1.0); a = np.array([[c, -s, 0], [s, c, 0], [0, 0, 0.5]])"


def test_long_calls_stop_on_ctrl_c():
    # A power iteration that neither converges nor repeats, all-pairs searches
    # and community passes over a dense graph.
    assert_stops_on_ctrl_c({
        "eigenvector rotation": (ROTATION, "nv.eigenvector_centrality(a, 2**62, -1.0)"),
        "eigenvector random": ("a = np.random.default_rng(0).normal(size=(64, 64))",
                               "nv.eigenvector_centrality(a, 2**31, 0.0)"),
        "betweenness": ("a = (np.random.default_rng(0).random((3000, 3000)) < 0.5) * 1.0",
                        "nv.betweenness_centrality(a)"),
        "louvain": ("a = np.random.default_rng(0).random((3000, 3000)) - 0.5", "nv.louvain(a, 1.0)"),
    })
