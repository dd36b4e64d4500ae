"""The calling convention every function shares: registration, argument
parsing and conversion, array intake, result arrays and panics."""

import math
import os

import numpy as np
import pytest

from helpers import needs_memory_error
from nuvra import _rust as nv

ADD_ORDER = """
sample_entropy permutation_entropy approximate_entropy lempel_ziv_complexity multiscale_entropy
entropy_rate hurst_exponent dfa hurst_r2 detrended_fluctuation_analysis rescaled_range
long_range_correlation variance_growth mean std variance min_max rms peak_to_peak skewness kurtosis
crest_factor pulsation_index derivative integral curvature rate_of_change zero_crossings
mean_crossings percentiles first_derivative second_derivative gradient finite_difference jerk
autocorrelation partial_autocorrelation correlation covariance autocorrelation_function
acf_decay_time cross_correlation lag_at_max_xcorr partial_correlation spearman_correlation
kendall_tau coherence cross_spectral_density wavelet_coherence euclidean_distance cosine_distance
manhattan_distance dtw_distance earth_movers_distance cosine_similarity delay_embedding
optimal_embedding_dimension mutual_information_delay false_nearest_neighbors multivariate_embedding
rolling_spearman batch_rolling_spearman
find_stable_baseline_1d rt_geometry_single rt_geometry_batch
largest_lyapunov_core ftle lyapunov_spectrum maximal_lyapunov estimate_jacobian_py rolling_ftle
rolling_lyapunov_spectrum recurrence_matrix_rust recurrence_rate_rust determinism_rust
laminarity_rust trapping_time_rust entropy_recurrence_rust max_diagonal_line_rust
correlation_dimension_rust kaplan_yorke_dimension_rust attractor_reconstruction_rust
pairwise_distance_matrix persistent_homology persistence_statistics wasserstein_distance
mutual_information transfer_entropy batch_transfer_entropy_py cond_mutual_information
shannon_entropy renyi_entropy tsallis_entropy conditional_entropy joint_entropy kl_divergence
js_divergence information_gain cross_entropy hellinger_distance total_variation_distance
degree_centrality betweenness_centrality closeness_centrality eigenvector_centrality
clustering_coefficient average_path_length density connected_components adjacency_from_correlation
modularity louvain label_propagation
power_spectral_density dominant_frequency spectral_entropy spectral_centroid spectral_bandwidth
spectral_rolloff spectral_flatness harmonic_ratio total_harmonic_distortion fft_magnitude
hilbert_transform spectral_slope signal_to_noise
mutual_information_matrix transfer_entropy_matrix granger_matrix
subspace_angle
""".split()

SIG = np.array([1.0, 2.0, 4.0, 8.0])


def panic_type():
    try:
        nv.rt_geometry_batch(np.zeros((1, 4)), np.array([1, 1], dtype=np.int64), 2)
    except BaseException as e:  # noqa: BLE001
        return type(e)
    raise AssertionError("expected a panic")


# ----------------------------------------------------------------- registration


def test_add_order_and_all():
    assert len(ADD_ORDER) == 130 and len(set(ADD_ORDER)) == 130
    assert ADD_ORDER[60] == "rolling_spearman"
    assert nv.__all__ == ADD_ORDER
    for name in nv.__all__:
        fn = getattr(nv, name)
        assert fn.__name__ == name
        assert fn.__self__ is None
        assert fn.__module__ == nv.__name__ == "nuvra._rust"


def test_module_doc_and_signatures():
    assert nv.__doc__ == ""
    assert nv.mean.__text_signature__ == "(signal)"
    assert nv.mean.__doc__ == "Compute mean."
    assert nv.rt_geometry_single.__text_signature__ == "(matrix, min_baseline_cycles=3)"
    assert nv.subspace_angle.__doc__ is None


# ----------------------------------------------------------------- argument parsing


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: nv.mean(), "mean() missing 1 required positional argument: 'signal'"),
        (lambda: nv.dtw_distance(SIG),
         "dtw_distance() missing 2 required positional arguments: 'y' and 'window'"),
        (lambda: nv.find_stable_baseline_1d(SIG),
         "find_stable_baseline_1d() missing 3 required positional arguments: "
         "'window_fraction', 'min_window', and 'stride_fraction'"),
        (lambda: nv.mean(SIG, SIG), "mean() takes 1 positional arguments but 2 were given"),
        (lambda: nv.rt_geometry_single(SIG, 1, 2),
         "rt_geometry_single() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: nv.mean(SIG, signal=SIG), "mean() got multiple values for argument 'signal'"),
        (lambda: nv.mean(SIG, x=SIG), "mean() got an unexpected keyword argument 'x'"),
        (lambda: nv.std(signal=SIG, ddof=0, ddof2=1), "std() got an unexpected keyword argument 'ddof2'"),
        (lambda: nv.std(ddof=0), "std() missing 1 required positional argument: 'signal'"),
    ],
)
def test_parse_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_keywords_in_any_order():
    assert nv.std(ddof=0, signal=SIG) == pytest.approx(np.std(SIG))
    assert nv.rt_geometry_single(min_baseline_cycles=3, matrix=np.ones((4, 2)))[0].shape == (4,)


# ----------------------------------------------------------------- scalar converters


class Floaty:
    def __float__(self):
        return 0.5


class Indexy:
    def __index__(self):
        return 2


class BadIndex:
    def __index__(self):
        raise ValueError("no index here")


FOUR = np.array([1.0, 2.0, 3.0, 4.0])


@pytest.mark.parametrize(
    "got, want",
    [
        (lambda: nv.derivative(SIG, 1), lambda: nv.derivative(SIG, 1.0)),
        (lambda: nv.derivative(SIG, Floaty()), lambda: nv.derivative(SIG, 0.5)),
        (lambda: nv.derivative(SIG, np.float32(0.5)), lambda: nv.derivative(SIG, 0.5)),
        (lambda: nv.std(SIG, True), lambda: nv.std(SIG, 1)),
        (lambda: nv.std(SIG, Indexy()), lambda: nv.std(SIG, 2)),
        (lambda: nv.std(SIG, 2**64 - 1), lambda: math.nan),
        (lambda: nv.dtw_distance(SIG, SIG, -1), lambda: 0.0),
        (lambda: nv.dtw_distance(SIG, SIG, 2**63 - 1), lambda: 0.0),
        (lambda: nv.kurtosis(FOUR, np.bool_(True)), lambda: nv.kurtosis(FOUR, True)),
    ],
)
def test_converters_accept(got, want):
    assert np.array_equal(got(), want(), equal_nan=True)
    assert nv.kurtosis(FOUR, np.True_) != nv.kurtosis(FOUR, False)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: nv.derivative(SIG, None), TypeError, "argument 'dt': must be real number, not NoneType"),
        (lambda: nv.derivative(SIG, "1.0"), TypeError, "argument 'dt': must be real number, not str"),
        (lambda: nv.std(SIG, 1.5), TypeError,
         "argument 'ddof': 'float' object cannot be interpreted as an integer"),
        (lambda: nv.std(SIG, BadIndex()), ValueError, "no index here"),
        (lambda: nv.std(SIG, -1), OverflowError, None),
        (lambda: nv.std(SIG, 2**64), OverflowError, None),
        (lambda: nv.dtw_distance(SIG, SIG, 2**63), OverflowError, None),
        (lambda: nv.dtw_distance(SIG, SIG, -(2**63) - 1), OverflowError, None),
        (lambda: nv.dtw_distance(SIG, SIG, 1.0), TypeError,
         "argument 'window': 'float' object cannot be interpreted as an integer"),
        (lambda: nv.kurtosis(FOUR, 1), TypeError,
         "argument 'fisher': 'int' object is not an instance of 'bool'"),
        (lambda: nv.kurtosis(FOUR, None), TypeError, "argument 'fisher': 'None' is not an instance of 'bool'"),
        (lambda: nv.first_derivative(SIG, 1.0, None), TypeError,
         "argument 'method': 'None' is not an instance of 'str'"),
        (lambda: nv.first_derivative(SIG, 1.0, b"forward"), TypeError,
         "argument 'method': 'bytes' object is not an instance of 'str'"),
        (lambda: nv.first_derivative(SIG, 1.0, "\ud800"), UnicodeEncodeError, None),
        (lambda: nv.percentiles(SIG, "50"), TypeError, "argument 'q': Can't extract `str` to `Vec`"),
        (lambda: nv.percentiles(SIG, 50), TypeError,
         "argument 'q': 'int' object is not an instance of 'Sequence'"),
        (lambda: nv.percentiles(SIG, {1.0: 2}), TypeError,
         "argument 'q': 'dict' object is not an instance of 'Sequence'"),
        (lambda: nv.percentiles(SIG, [1.0, "a"]), TypeError, "argument 'q': must be real number, not str"),
    ],
)
def test_converters_refuse(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    else:  # the interpreter's own text, without the argument prefix
        assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("q", [[50], (50, 50.0), np.array([50.0]), range(0, 101, 50), []])
def test_float_sequence_accepts(q):
    assert nv.percentiles(SIG, q) == [np.percentile(SIG, v) for v in q]


def test_reworded_error_keeps_the_cause():
    class Chained:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("outer") from e

    class MyTypeError(TypeError):
        pass

    class Odd:
        def __float__(self):
            raise MyTypeError("mine")

    with pytest.raises(TypeError) as info:
        nv.derivative(SIG, Chained())
    assert str(info.value) == "argument 'dt': outer"
    assert isinstance(info.value.__cause__, KeyError)
    with pytest.raises(MyTypeError, match="^mine$"):  # a subclass is not reworded
        nv.derivative(SIG, Odd())


# ----------------------------------------------------------------- array intake


@pytest.mark.parametrize(
    "arg, message",
    [
        ([1.0, 2.0], "'list' object is not an instance of 'ndarray'"),
        (None, "'None' is not an instance of 'ndarray'"),
        (np.zeros((2, 2)), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros(3, dtype=np.float32), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros(3, dtype=np.int64), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros(3, dtype=">f8"), "'ndarray' object is not an instance of 'ndarray'"),
        (np.float64(1.0), "'float64' object is not an instance of 'ndarray'"),
        (np.ma.masked_array(np.zeros((2, 2))), "'MaskedArray' object is not an instance of 'ndarray'"),
    ],
)
def test_array_refusals(arg, message):
    with pytest.raises(TypeError) as info:
        nv.mean(arg)
    assert str(info.value) == "argument 'signal': " + message


def test_odd_layouts_read_correctly():
    # Misaligned data and byte strides that are not whole doubles.
    mis = np.zeros(8 * 11 + 1, dtype=np.uint8)[1:].view(np.float64)
    mis[:] = np.arange(11.0)
    assert np.array_equal(nv.gradient(mis, 1.0), np.gradient(np.arange(11.0)))
    rec = np.zeros(5, dtype=[("a", "u1"), ("b", "<f8")])
    rec["b"] = [1.0, 2.0, 4.0, 8.0, 16.0]
    assert rec["b"].strides == (9,) and nv.mean(rec["b"]) == 6.2
    with pytest.raises(ValueError, match="^The given array is not contiguous or is misaligned.$"):
        nv.find_stable_baseline_1d(mis, 0.2, 1, 0.05)
    assert nv.euclidean_distance(SIG, SIG) == 0.0  # the same array twice


# ----------------------------------------------------------------- results


def test_result_array_owner():
    out = nv.gradient(SIG, 1.0)
    assert out.dtype == np.float64 and type(out) is np.ndarray
    assert out.flags.writeable and not out.flags.owndata
    assert out.flags.c_contiguous and out.flags.aligned
    base = out.base
    assert type(base).__name__ == "PySliceContainer" and type(base).__module__ == "builtins"
    with pytest.raises(TypeError):
        type(base)()
    out[:] = 7.0
    assert np.array_equal(nv.gradient(SIG, 1.0), np.gradient(SIG))
    tail = nv.gradient(np.arange(1000.0), 1.0)[10:20]
    import gc

    gc.collect()
    assert np.array_equal(tail, np.ones(10))
    assert nv.derivative(np.array([]), 1.0).shape == (1,)
    empty = nv.jerk(np.array([]), 1.0)
    assert empty.shape == (0,) and empty.dtype == np.float64


_M = np.random.default_rng(3).standard_normal((40, 3))
_C = np.corrcoef(_M.T)
# Every function with a 2-D result: the computed block is taken over
# (PySliceContainer base) or the rows are written into an array NumPy owns.
TWO_D_RESULTS = [
    ("taken", lambda: nv.estimate_jacobian_py(_M, 1)),
    ("taken", lambda: nv.recurrence_matrix_rust(_M, 1.0)),
    ("taken", lambda: nv.attractor_reconstruction_rust(_M[:, 0], 2, 1)),
    ("taken", lambda: nv.pairwise_distance_matrix(_M)),
    ("taken", lambda: nv.persistent_homology(_M)),
    ("taken", lambda: nv.batch_rolling_spearman(_M.T, _M.T, 5)),
    ("owned", lambda: nv.delay_embedding(_M[:, 0], 3, 2)),
    ("owned", lambda: nv.delay_embedding(_M[:3, 0], 9, 2)),  # [[nan]]
    ("owned", lambda: nv.multivariate_embedding(_M, 2, 1)),
    ("owned", lambda: nv.adjacency_from_correlation(_C, 0.1)),
    ("owned", lambda: nv.mutual_information_matrix(_M)),
    ("owned", lambda: nv.transfer_entropy_matrix(_M)),
    ("owned", lambda: nv.granger_matrix(_M, 2)[0]),
    ("owned", lambda: nv.granger_matrix(_M, 2)[1]),
]


@pytest.mark.parametrize("form, call", TWO_D_RESULTS)
def test_two_d_result_forms(form, call):
    out = call()
    assert type(out) is np.ndarray and out.dtype == np.float64 and out.ndim == 2
    assert out.flags.writeable and out.flags.aligned
    if form == "owned":
        assert out.flags.owndata and out.base is None and out.flags.c_contiguous
    else:
        assert not out.flags.owndata and type(out.base).__name__ == "PySliceContainer"


# ----------------------------------------------------------------- panics


def test_panic_exception_class():
    with pytest.raises(BaseException) as info:
        nv.rt_geometry_batch(np.zeros((1, 4)), np.array([1, 1], dtype=np.int64), 2)
    e = info.value
    t = type(e)
    assert not isinstance(e, Exception)
    assert t.__name__ == "PanicException" and t.__module__ == "pyo3_runtime"
    assert t.__bases__ == (BaseException,)
    assert e.args == ("assertion failed: index < dim",)
    assert len(t.__doc__) == 235 and "BaseException" in t.__doc__
    assert panic_type() is t
    assert not hasattr(nv, "PanicException")


def test_borrows_released_after_panic_and_error():
    m = np.zeros((1, 4))
    counts = np.array([1, 1], dtype=np.int64)
    with pytest.raises(panic_type()):
        nv.rt_geometry_batch(m, counts, 2)
    with pytest.raises(TypeError):
        nv.rt_geometry_batch(m, counts, "2")
    assert len(nv.rt_geometry_batch(m, counts[:1], 2)[0]) == 1


def test_panic_report_and_note(python_subprocess):
    code = """
        import numpy as np
        from nuvra import _rust as nv
        for _ in range(2):
            try:
                nv.rt_geometry_batch(np.zeros((1, 4)), np.array([1, 1], dtype=np.int64), 2)
            except BaseException as e:
                print(type(e).__name__, e)
    """
    r = python_subprocess(code)
    assert r.stdout.splitlines() == ["PanicException assertion failed: index < dim"] * 2
    err = r.stderr
    assert err.count("panicked at src/") == 2
    assert err.count("\nthread '<unnamed>' (") == 2
    assert err.count("note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace") == 1
    assert "assertion failed: index < dim\n" in err

    r = python_subprocess(code, env={"RUST_BACKTRACE": "1"})
    assert r.stderr.count("stack backtrace:") == 2
    assert "RUST_BACKTRACE=full" in r.stderr
    r = python_subprocess(code, env={"RUST_BACKTRACE": "full"})
    assert r.stderr.count("stack backtrace:") == 2
    assert "RUST_BACKTRACE=full" not in r.stderr


def test_panic_resumed_from_python(capfd):
    pt = panic_type()

    class Boom:
        def __float__(self):
            raise pt("from inside")

    with pytest.raises(pt) as info:
        nv.derivative(SIG, Boom())
    assert info.value.args == ("from inside",)
    err = capfd.readouterr().err
    assert "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---" in err
    assert "Python stack trace below:" in err


@needs_memory_error
def test_memory_error_leaves_process_running(python_subprocess):
    code = """
        import resource, numpy as np
        from nuvra import _rust as nv
        x = np.ones(40_000_000)
        limit = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 + (200 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit * 4, limit * 4))
        try:
            while True:
                keep = [nv.gradient(x, 1.0) for _ in range(100)]
        except MemoryError:
            print("MemoryError")
        keep = None
        print(nv.mean(np.array([1.0, 3.0])))
    """
    r = python_subprocess(code)
    assert r.stdout.split() == ["MemoryError", "2.0"], r.stderr


# ----------------------------------------------------------------- worker pool

POOL_PROBE = """
    import os, numpy as np
    from nuvra import _rust as nv
    before = len(os.listdir("/proc/self/task"))
    m = np.random.default_rng(1).random((400, 40 * 4))
    nv.rt_geometry_batch(m, np.full(400, 40, dtype=np.int64), 4)
    nv.rt_geometry_batch(m, np.full(400, 40, dtype=np.int64), 4)
    print(len(os.listdir("/proc/self/task")) - before)
"""


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "+3"}, 3),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "2"}, None),
        ({"RAYON_NUM_THREADS": "two", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_NUM_THREADS": "-1", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_NUM_THREADS": " 3", "RAYON_RS_NUM_CPUS": "0"}, None),
        ({"RAYON_RS_NUM_CPUS": "3"}, 3),
        ({}, None),
    ],
)
def test_pool_size_from_environment(python_subprocess, env, expected):
    r = python_subprocess(POOL_PROBE, env=env)
    assert r.returncode == 0, r.stderr
    started = int(r.stdout)
    assert started == (expected if expected is not None else os.cpu_count())


def test_pool_absurd_sizes_do_not_crash(python_subprocess):
    r = python_subprocess(POOL_PROBE, env={"RAYON_NUM_THREADS": "70000", "RUST_MIN_STACK": str(2**62)})
    assert r.returncode == 0, r.stderr
    assert 1 <= int(r.stdout) <= 1024


def test_pool_environment_read_once(python_subprocess):
    code = POOL_PROBE.replace(
        'print(len(os.listdir("/proc/self/task")) - before)',
        'os.environ["RAYON_NUM_THREADS"] = "6"\n'
        '    nv.rt_geometry_batch(m, np.full(400, 40, dtype=np.int64), 4)\n'
        '    print(len(os.listdir("/proc/self/task")) - before)',
    )
    r = python_subprocess(code, env={"RAYON_NUM_THREADS": "2"})
    assert int(r.stdout) == 2, r.stderr


def test_registry_capsule_created_when_absent(python_subprocess):
    code = """
        import numpy as np
        from numpy._core import multiarray
        assert not hasattr(multiarray, "_RUST_NUMPY_BORROW_CHECKING_API")
        from nuvra import _rust as nv
        nv.mean(np.ones(3))
        cap = multiarray._RUST_NUMPY_BORROW_CHECKING_API
        print(type(cap).__name__, "_RUST_NUMPY_BORROW_CHECKING_API" in repr(cap))
        nv.mean(np.ones(3))
        print(multiarray._RUST_NUMPY_BORROW_CHECKING_API is cap)
    """
    r = python_subprocess(code)
    assert r.stdout.split() == ["PyCapsule", "True", "True"], r.stderr


def test_pool_works_in_a_forked_child(python_subprocess):
    code = """
        import os, numpy as np
        from nuvra import _rust as nv
        m = np.random.default_rng(2).random((50, 30 * 3))
        counts = np.full(50, 30, dtype=np.int64)
        expect = nv.rt_geometry_batch(m, counts, 3)
        pid = os.fork()
        if pid == 0:
            got = nv.rt_geometry_batch(m, counts, 3)
            same = all(np.array_equal(a, b, equal_nan=True) for a, b in zip(got, expect))
            os._exit(0 if same else 3)
        print(os.waitpid(pid, 0)[1])
    """
    r = python_subprocess(code, timeout=60)
    assert r.stdout.split() == ["0"], r.stderr


def test_batch_started_while_a_batch_waits(python_subprocess):
    """A signal handler runs while a batch waits for the pool; a batch it
    starts runs on the calling thread and both give their normal results."""
    code = """
        import signal, numpy as np
        from nuvra import _rust as nv
        g = np.random.default_rng(4)
        small = g.standard_normal((3, 50))
        big = g.standard_normal((64, 200_000))
        expect_small = nv.batch_rolling_spearman(small, small[::-1], 7)
        expect_big = nv.batch_rolling_spearman(big, big[::-1], 40)
        inner = []
        signal.signal(signal.SIGALRM,
                      lambda *_: inner.append(nv.batch_rolling_spearman(small, small[::-1], 7)))
        signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
        got = nv.batch_rolling_spearman(big, big[::-1], 40)
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(len(inner) > 0, np.array_equal(got, expect_big, equal_nan=True),
              all(np.array_equal(a, expect_small, equal_nan=True) for a in inner))
    """
    r = python_subprocess(code)
    assert r.stdout.split() == ["True", "True", "True"], r.stderr
