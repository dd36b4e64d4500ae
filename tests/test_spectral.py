"""Welch spectra, spectral features, magnitude spectrum, harmonics, SNR and the Hilbert transform."""

import math

import numpy as np
import pytest
import scipy.signal

from helpers import NAN, INF, arr, assert_stops_on_ctrl_c, layouts, panics, same
from nuvra import _rust as nv

rng = np.random.default_rng(7)
SIGS = {
    "power_spectral_density": ("(signal, fs, nperseg, noverlap)", "Compute PSD using Welch's method."),
    "dominant_frequency": ("(signal, fs)", "Dominant frequency."),
    "spectral_entropy": ("(signal, fs, normalize)", "Spectral entropy."),
    "spectral_centroid": ("(signal, fs)", "Spectral centroid."),
    "spectral_bandwidth": ("(signal, fs, p)", "Spectral bandwidth."),
    "spectral_rolloff": ("(signal, fs, threshold)", "Spectral rolloff."),
    "spectral_flatness": ("(signal, fs)", "Spectral flatness."),
    "harmonic_ratio": ("(signal, fs, n_harmonics)", "Harmonic ratio."),
    "total_harmonic_distortion": ("(signal, fs, n_harmonics)", "Total harmonic distortion."),
    "fft_magnitude": ("(signal, fs)", "FFT magnitude spectrum."),
    "hilbert_transform": ("(signal)", "Hilbert transform (returns real and imaginary parts separately)."),
    "spectral_slope": ("(signal, fs)", "Spectral slope."),
    "signal_to_noise": ("(signal, kernel_fraction)", "Signal-to-noise ratio estimation."),
}
FEATURES = ["dominant_frequency", "spectral_entropy", "spectral_centroid", "spectral_bandwidth",
            "spectral_rolloff", "spectral_flatness", "harmonic_ratio", "total_harmonic_distortion"]
EXTRA = {"spectral_entropy": (True,), "spectral_bandwidth": (2,), "spectral_rolloff": (0.85,),
         "harmonic_ratio": (5,), "total_harmonic_distortion": (5,)}


def feature(name, x, fs=100.0):
    return getattr(nv, name)(x, fs, *EXTRA.get(name, ()))


def test_docs():
    assert {n: (getattr(nv, n).__text_signature__, getattr(nv, n).__doc__) for n in SIGS} == SIGS


def ref_welch(x, L, overlap, fs):
    """The estimate written out: symmetric Hann, no detrending, every bin doubled."""
    w = (1.0 - np.cos(np.arange(L) * 2 * np.pi / (L - 1))) * 0.5
    starts = range(0, len(x) - L + 1, L - overlap)
    p = np.mean([np.abs(np.fft.rfft(x[s:s + L] * w)) ** 2 for s in starts], axis=0)
    return fs * np.arange(L // 2 + 1) / L, p * 2 / (fs * np.sum(w * w))


@pytest.mark.parametrize("n, nperseg, noverlap", [(1000, 256, -1), (1000, 256, 0), (1000, 100, 99),
                                                   (777, 255, 17), (300, 256, 128), (64, 1000, -5)])
def test_welch_against_scipy(n, nperseg, noverlap):
    x, L = rng.normal(size=n), min(n, nperseg)
    f, p = nv.power_spectral_density(x, 50.0, nperseg, noverlap)
    sf, sp = scipy.signal.welch(x, 50.0, window=scipy.signal.windows.hann(L, sym=True), nperseg=L,
                                noverlap=L // 2 if noverlap < 0 else noverlap, detrend=False)
    sp[[0, -1] if L % 2 == 0 else [0]] *= 2  # SciPy leaves DC and (even L) Nyquist undoubled
    np.testing.assert_allclose(f, sf, rtol=1e-12)
    np.testing.assert_allclose(p, sp, rtol=1e-9, atol=1e-15)


def test_welch_worked_examples():
    f, p = nv.power_spectral_density(arr([1, 1, 1, 1]), 1.0, 4, -1)
    assert f.tolist() == [0.0, 0.25, 0.5] and p == pytest.approx([4.0, 2.0, 0.0], abs=1e-12)
    x = rng.normal(size=10)  # starts 0, 2, 4, 6 and 0, 4: NaN removed, not zeroed
    for ov in (2, 0):
        np.testing.assert_allclose(nv.power_spectral_density(np.insert(x, 3, NAN), 2.0, 4, ov)[1],
                                   ref_welch(x, 4, ov, 2.0)[1], rtol=1e-12)
    assert np.array_equal(np.concatenate(nv.power_spectral_density(x, 1.0, 1, -1)), [0.0, NAN], equal_nan=True)
    assert {len(v) for a in (arr([]), arr([3.0]), arr([NAN, 1.0, INF])) for v in nv.power_spectral_density(a, 1.0, 8, -1)} == {0}
    assert "out of range" in panics(nv.power_spectral_density, x, 1.0, 0, -1)
    for nperseg, noverlap in [(64, 64), (64, 65), (64, 200), (100, 100), (64, 2**62)]:
        with pytest.raises(ValueError, match="^noverlap must be less than nperseg$"):
            nv.power_spectral_density(rng.normal(size=100), 1.0, nperseg, noverlap)
    x = rng.normal(size=10)  # shorter than nperseg: one segment whatever the overlap
    for noverlap in (-1, 0, 9, 10, 11, 30, 10**12):
        np.testing.assert_allclose(nv.power_spectral_density(x, 3.0, 64, noverlap)[1], ref_welch(x, 10, 0, 3.0)[1],
                                   rtol=1e-12)


def feature_refs(x, fs):
    L = min(len(x), 256)
    f, p = ref_welch(x, L, L // 2, fs)
    t, c = p.sum(), (f * p).sum() / p.sum()
    q = p[p > 0] / t
    return f, p, {"spectral_centroid": c,
                  "spectral_bandwidth": np.sqrt((p * (f - c) ** 2).sum() / t),
                  "spectral_entropy": -(q * np.log2(q)).sum() / np.log2(len(p)),
                  "spectral_flatness": np.exp(np.mean(np.log(p))) / np.mean(p),
                  "spectral_rolloff": f[np.argmax(np.cumsum(p) >= 0.85 * t)],
                  "dominant_frequency": f[len(p) - 1 - np.argmax(p[::-1])]}


@pytest.mark.parametrize("n", [5, 200, 256, 1000, 5000])
def test_features_against_numpy(n):
    x = np.sin(np.arange(n) * 0.7) + rng.normal(size=n)
    f, p, refs = feature_refs(x, 80.0)
    for name, want in refs.items():
        assert feature(name, x, 80.0) == pytest.approx(want, rel=1e-9), name
    for p_exp in (0, 1, 3):
        c = refs["spectral_centroid"]
        want = ((p * np.abs(f - c) ** p_exp).sum() / p.sum()) ** (1 / p_exp) if p_exp else 1.0
        assert nv.spectral_bandwidth(x, 80.0, p_exp) == pytest.approx(want, rel=1e-9)


def test_known_answers():
    fs, t = 1000.0, np.arange(4096) / 1000.0
    tone = np.sin(2 * np.pi * 125.0 * t)  # bin 32 of 256-sample segments
    assert nv.dominant_frequency(tone, fs) == 125.0 == pytest.approx(nv.spectral_centroid(tone, fs), rel=1e-3)
    assert nv.spectral_flatness(tone, fs) < 0.01 < 0.95 < nv.spectral_flatness(rng.normal(size=100000), fs)
    distorted = tone + 0.1 * np.sin(2 * np.pi * 250.0 * t) + 0.05 * np.sin(2 * np.pi * 375.0 * t)
    assert nv.total_harmonic_distortion(distorted, fs, 5) == pytest.approx(math.hypot(0.1, 0.05), rel=1e-4)
    assert nv.total_harmonic_distortion(distorted, fs, 1) == nv.harmonic_ratio(distorted, fs, 0) == 0.0
    _, p, _ = feature_refs(distorted, fs)
    h = p[32] + p[64] + p[96]
    assert nv.harmonic_ratio(distorted, fs, 3) == pytest.approx(h / (p.sum() - h), rel=1e-9)
    assert nv.harmonic_ratio(distorted, fs, 10**18) == nv.harmonic_ratio(distorted, fs, 7)
    assert [nv.spectral_entropy(arr([0, 0, 1, 0, 0]), 1.0, nrm) for nrm in (False, True)] == pytest.approx([math.log2(3), 1])
    assert (nv.spectral_rolloff(tone, fs, -1.0), nv.spectral_rolloff(tone, fs, 2.0)) == (0.0, 500.0)
    assert nv.spectral_rolloff(arr(range(9)), 8.0, NAN) == 8.0 * 4 / 9  # odd L: below fs/2
    g = np.random.default_rng(0)  # brown noise: -2, flattened near Nyquist by the sampling
    assert nv.spectral_slope(np.cumsum(g.normal(size=2**14)), 1.0) == pytest.approx(-2.0, abs=0.25)
    assert nv.spectral_slope(g.normal(size=2**14), 1.0) == pytest.approx(0.0, abs=0.1)
    x = rng.normal(size=1001).cumsum()
    w = np.abs(np.fft.rfft(x - x.mean())[1:]) ** 2
    a, b = np.log(7.0 * np.arange(1, 501) / 1001 + 1e-30), np.log(w + 1e-30)
    assert nv.spectral_slope(x, 7.0) == pytest.approx(np.polyfit(a, b, 1)[0], rel=1e-9)
    assert [math.isnan(nv.spectral_slope(v, 1.0)) for v in (arr([1, 2, 3]), np.ones(50))] == [True, True]


@pytest.mark.parametrize("name", FEATURES + ["spectral_slope"])
def test_degenerate_features(name):
    for x in (arr([]), arr([2.0]), arr([1.0, 3.0]), arr([NAN, 1.0, 3.0, INF]), np.zeros(300)):
        assert math.isnan(got := feature(name, x)) or (name == "harmonic_ratio" and len(x) == 300 and got == INF)
    x = rng.normal(size=40)
    assert feature(name, np.insert(x, [3, 9], [NAN, -INF])) == feature(name, x)


def test_nan_fs_and_degenerate_fs():
    x = rng.normal(size=500)
    for name in ("dominant_frequency", "harmonic_ratio", "total_harmonic_distortion"):
        assert "on a `None` value" in panics(feature, name, x, NAN)  # NaN densities
        assert same(feature(name, x, 0.0), 0.0 if name == "dominant_frequency" else NAN)  # fs 0: densities +inf
    assert all(math.isnan(nv.spectral_entropy(x, fs, False)) for fs in (NAN, -3.0))  # no positive density
    assert all(same(getattr(nv, n)(x, fs, 2**64 - 1), getattr(nv, n)(x, fs, 129))  # the walk ends at the last bin
               for fs in (INF, -INF, -5.0) for n in ("harmonic_ratio", "total_harmonic_distortion"))
    assert (nv.spectral_bandwidth(x, 1000.0, 2**32 + 2), nv.spectral_bandwidth(x, 1e-3, 2**32 + 2)) == (INF, 0.0)  # not 2


def test_fft_magnitude_against_numpy():
    assert [v.tolist() for a in (arr([-3.0]), arr([NAN])) for v in nv.fft_magnitude(a, 2.0)] == [[0.0], [6.0], [], []]
    for n in (5, 1000, 4097, 40000, 33001):  # the last two reuse one recycled buffer
        x = rng.normal(size=n)
        f, a = nv.fft_magnitude(layouts(x)["reversed"], 3.0)
        np.testing.assert_allclose(a, 2 * np.abs(np.fft.rfft(x)) / n, rtol=1e-10, atol=1e-13)
        np.testing.assert_allclose(f, np.fft.rfftfreq(n, 1 / 3.0), rtol=1e-13)
    assert nv.fft_magnitude(arr([1e200, -1e200, 3e199]), 1.0)[1][0] == pytest.approx(2 * 3e199 / 3)


@pytest.mark.parametrize("n", [1, 2, 5, 64, 1000, 997, 4096, 20000, 17001])  # 17001 reuses 20000's buffer
def test_hilbert_against_scipy(n):
    x = rng.normal(size=n)
    re, im = nv.hilbert_transform(layouts(x)["strided"])
    np.testing.assert_allclose(re + 1j * im, scipy.signal.hilbert(x), atol=1e-12)


def test_hilbert_and_fft_known_answers():
    np.testing.assert_allclose(np.column_stack(nv.hilbert_transform(arr([1.0, 0.0, -1.0, 0.0]))),
                               [[1, 0], [0, 1], [-1, 0], [0, -1]], atol=1e-15)  # the cosine's transform is the sine
    assert [v.tolist() for v in nv.hilbert_transform(arr([2.5]))] == [[2.5], [0.0]]
    assert [len(v) for a in (arr([1.0, NAN, 2.0]), arr([])) for v in nv.hilbert_transform(a)] == [2, 2, 0, 0]
    assert [v.tolist() for v in nv.fft_magnitude(arr([1, 1, 1, 1]), 4.0)] == [[0.0, 1.0, 2.0], [2.0, 0.0, 0.0]]


def ref_snr(x, kf):
    m, w = len(x), max(len(x) // kf, 3) // 2
    s = np.array([x[max(0, i - w):min(m, i + w + 1)].mean() for i in range(m)])
    return np.mean(s * s), np.mean((x - s) ** 2)


@pytest.mark.parametrize("n, kf", [(10, 100), (11, 1), (1000, 10), (1001, 1), (5000, 3), (300, 7)])
def test_signal_to_noise(n, kf):
    x = np.sin(np.arange(n) / 9.0) + 0.3 * rng.normal(size=n)
    ps, pn = ref_snr(x, kf)
    np.testing.assert_allclose(nv.signal_to_noise(x, kf), [10 * np.log10(ps / pn), ps / pn, ps, pn], rtol=1e-10)


def test_signal_to_noise_edges():
    assert nv.signal_to_noise(np.ones(20), 4) == (100.0, 1e10, 1.0, 0.0)
    assert all(math.isnan(v) for v in nv.signal_to_noise(np.arange(9.0), 0))
    assert "attempt to divide by zero" in panics(nv.signal_to_noise, np.arange(10.0), 0)


def test_long_calls_stop_on_ctrl_c():
    big = "x = np.random.default_rng(0).normal(size=10**6)"
    assert_stops_on_ctrl_c({"welch_one_sample_steps": (big, "nv.power_spectral_density(x, 1.0, 4096, 4095)"),
                            "snr_widest_kernel": (big, "nv.signal_to_noise(x, 1)")})
