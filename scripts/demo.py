"""A short tour of nuvra on a realistic signal: a noisy 8-channel oscillation
cut into cycles, with a drift that starts half-way through."""

import time

import numpy as np

from nuvra import _rust as nv


def table(title, rows):
    print(f"\n{title}")
    width = max(len(name) for name, _ in rows)
    for name, value in rows:
        print(f"  {name:<{width}}  {value}")


def fmt(v):
    if isinstance(v, float):
        return f"{v: .6g}"
    if isinstance(v, tuple):
        return "(" + ", ".join(fmt(x) for x in v) + ")"
    if isinstance(v, list):
        return "[" + ", ".join(fmt(x) for x in v) + "]"
    if isinstance(v, np.ndarray):
        head = ", ".join(f"{x:.4g}" for x in v[:4])
        return f"array(len={v.size}: {head}{', ...' if v.size > 4 else ''})"
    return str(v)


def main():
    rng = np.random.default_rng(7)
    fs, seconds, channels = 250.0, 40, 8
    t = np.arange(int(fs * seconds)) / fs
    phase = rng.uniform(0, 2 * np.pi, channels)
    signals = np.stack([np.sin(2 * np.pi * 1.2 * t + p) for p in phase], axis=1)
    signals += 0.15 * rng.standard_normal(signals.shape)
    signals[len(t) // 2 :] *= np.linspace(1.0, 1.8, len(t) - len(t) // 2)[:, None]
    signals[123, 3] = np.nan  # one dropped sample
    x = signals[:, 0]

    all_names = nv.__all__
    print(f"nuvra._rust: {len(all_names)} functions")

    table(
        "Statistics of channel 0 (NaN samples are dropped)",
        [
            ("mean", fmt(nv.mean(x))),
            ("std (ddof=1)", fmt(nv.std(x, 1))),
            ("min_max", fmt(nv.min_max(x))),
            ("rms", fmt(nv.rms(x))),
            ("skewness", fmt(nv.skewness(x))),
            ("kurtosis (Fisher)", fmt(nv.kurtosis(x, True))),
            ("crest_factor", fmt(nv.crest_factor(x))),
            ("percentiles 5/50/95", fmt(nv.percentiles(x, [5, 50, 95]))),
            ("zero_crossings", fmt(nv.zero_crossings(x))),
        ],
    )
    table(
        "Derivatives of channel 0",
        [
            ("gradient", fmt(nv.gradient(x, 1 / fs))),
            ("first_derivative fwd", fmt(nv.first_derivative(x, 1 / fs, "forward"))),
            ("integral", fmt(nv.integral(x, 1 / fs))),
        ],
    )
    a, b = signals[:2000, 1], signals[:2000, 2]
    table(
        "Distances between channels 1 and 2 (first 2000 samples)",
        [
            ("euclidean", fmt(nv.euclidean_distance(a, b))),
            ("manhattan", fmt(nv.manhattan_distance(a, b))),
            ("cosine_similarity", fmt(nv.cosine_similarity(a, b))),
            ("dtw (band 50)", fmt(nv.dtw_distance(a, b, 50))),
            ("earth_movers", fmt(nv.earth_movers_distance(a, b))),
        ],
    )

    # One value per channel per cycle: the per-cycle RMS of each channel.
    samples_per_cycle = int(fs / 1.2)
    n_cycles = len(t) // samples_per_cycle
    cyc = signals[: n_cycles * samples_per_cycle].reshape(n_cycles, samples_per_cycle, channels)
    cycles = np.sqrt(np.nanmean(cyc**2, axis=1))
    dist, norm, pc1, pc2, maha = nv.rt_geometry_single(cycles)
    start, end = nv.find_stable_baseline_1d(np.linalg.norm(cycles, axis=1), 0.2, 3, 0.05)
    table(
        f"Cohort geometry: {n_cycles} cycles x {channels} signals",
        [
            ("stable baseline (norms)", f"cycles {start}..{end - 1}"),
            ("distance, first half", fmt(float(np.nanmean(dist[: n_cycles // 2])))),
            ("distance, second half", fmt(float(np.nanmean(dist[n_cycles // 2 :])))),
            ("mahalanobis, last cycle", fmt(float(maha[-1]))),
        ],
    )

    cohorts, per = 2000, 200
    flat = rng.standard_normal((cohorts, per * channels))
    counts = np.full(cohorts, per, dtype=np.int64)
    t0 = time.perf_counter()
    out = nv.rt_geometry_batch(flat, counts, channels)
    dt = time.perf_counter() - t0
    table(
        "Batch cohort geometry on the worker pool",
        [
            ("cohorts x cycles x signals", f"{cohorts} x {per} x {channels}"),
            ("result length", str(out[0].size)),
            ("time", f"{dt * 1e3:.1f} ms"),
        ],
    )
    basis = np.linalg.qr(rng.standard_normal((channels, 2)))[0]
    table(
        "Subspace angle",
        [
            ("identical bases", fmt(nv.subspace_angle(basis, basis))),
            ("orthogonal complement", fmt(nv.subspace_angle(basis, np.linalg.svd(basis)[0][:, 2:4]))),
        ],
    )

    entropy_and_correlation(rng)
    fractal_and_embedding(x, signals, rng)
    information(signals)
    dynamics()
    spectra_and_coupling(rng)
    graphs_and_topology(rng)


def entropy_and_correlation(rng):
    t = np.arange(5000) / 250.0  # 20 s sampled at 250 Hz
    x = np.sin(2 * np.pi * 1.2 * t) + 0.3 * rng.standard_normal(t.size)
    y = np.roll(x, 25) + 0.3 * rng.standard_normal(t.size)  # a delayed, noisier copy
    r = 0.2 * np.std(x)  # the tolerance is absolute, in the signal's units
    f, coh = nv.coherence(x, y, 256)
    scales, wc = nv.wavelet_coherence(x, y, 6)
    table("Entropy and complexity of a noisy 1.2 Hz oscillation", [
        ("sample / approximate entropy", fmt((nv.sample_entropy(x, 2, r),
                                              nv.approximate_entropy(x, 2, r)))),
        ("multiscale entropy, scales 1-5", fmt(nv.multiscale_entropy(x, 2, r, 5))),
        ("entropy rate (m up to 4)", fmt(nv.entropy_rate(x, 4, r))),
        ("permutation entropy (normalised)", fmt(nv.permutation_entropy(x, 4, 1, True))),
        ("Lempel-Ziv complexity", fmt(nv.lempel_ziv_complexity(x, float(np.median(x))))),
    ])
    table("Correlation with a copy delayed by 25 samples", [
        ("Pearson / Spearman / Kendall", fmt((nv.correlation(x, y), nv.spearman_correlation(x, y),
                                              nv.kendall_tau(x, y)))),
        ("lag_at_max_xcorr", fmt(nv.lag_at_max_xcorr(x, y, 100))),
        ("acf_decay_time (r < 0.5)", fmt(nv.acf_decay_time(x, 0.5))),
        ("partial autocorrelation, lags 0-3", fmt(nv.partial_autocorrelation(x, 3))),
        ("coherence near 1.2 Hz", fmt(float(coh[np.argmin(np.abs(f * 250 - 1.2))]))),
        ("wavelet coherence, block sizes", fmt(scales)),
        ("wavelet coherence, values", fmt(wc)),
    ])


def fractal_and_embedding(x, signals, rng):
    walk = np.cumsum(rng.standard_normal(len(x)))  # a random walk: DFA about 1.5
    scales, fluct, alpha = nv.detrended_fluctuation_analysis(x, 4, -1, 12)
    table("Fractal scaling of channel 0 and of a random walk", [
        ("dfa(x) / dfa(walk)", fmt((nv.dfa(x, 4, -1, 1), nv.dfa(walk, 4, -1, 1)))),
        ("hurst_exponent(x, 'rs'), hurst_r2", fmt((nv.hurst_exponent(x, "rs"), nv.hurst_r2(x)))),
        ("rescaled_range(x, 1000)", fmt(nv.rescaled_range(x, 1000))),
        ("detrended_fluctuation_analysis", f"{len(scales)} scales, alpha {alpha:.4g}"),
        ("variance_growth slope (noise: -1)", fmt(nv.variance_growth(np.diff(walk), 64)[1])),
        ("long_range_correlation(walk, 200)", fmt(nv.long_range_correlation(walk, 200)[1])),
    ])
    tau = nv.mutual_information_delay(x, 100, 16)
    pct, dim = nv.false_nearest_neighbors(x[:3000], tau, 5, 10.0, 2.0)
    table("Delay embedding of channel 0", [
        ("mutual_information_delay", fmt(tau)),
        ("delay_embedding(x, 3, tau)", f"shape {nv.delay_embedding(x, 3, tau).shape}"),
        ("false_nearest_neighbors", f"{fmt(pct)} -> dimension {dim}"),
        ("optimal_embedding_dimension", fmt(nv.optimal_embedding_dimension(x[:3000], tau, 5, 0.9))),
        ("multivariate_embedding(3 ch)",
         f"shape {nv.multivariate_embedding(signals[:, :3], 2, tau).shape}"),
    ])


def information(signals):
    # Channel 5 is driven by channel 4 one sample late.
    drive = signals.copy()
    drive[1:, 5] = 0.7 * drive[:-1, 4] + 0.3 * drive[1:, 5]
    # The information functions read 1-D arrays in place: columns are strided.
    u, v = np.ascontiguousarray(drive[:, 4]), np.ascontiguousarray(drive[:, 5])
    table("Information measures (bits), channels 4 and 5", [
        ("shannon_entropy (auto bins)", fmt(nv.shannon_entropy(u, -1))),
        ("mutual_information", fmt(nv.mutual_information(u, v))),
        ("conditional_entropy H(4|5)", fmt(nv.conditional_entropy(u, v))),
        ("transfer_entropy 4 -> 5", fmt(nv.transfer_entropy(u, v, 8, 1))),
        ("transfer_entropy 5 -> 4", fmt(nv.transfer_entropy(v, u, 8, 1))),
        ("js_divergence first/second half", fmt(nv.js_divergence(u[:5000], u[5000:]))),
        ("hellinger first/second half", fmt(nv.hellinger_distance(u[:5000], u[5000:]))),
    ])
    mi = nv.mutual_information_matrix(drive, 10)
    te = nv.transfer_entropy_matrix(drive, 0, 8)
    f_stat, p_val = nv.granger_matrix(drive[:, 3:6], 3)
    table("Pairwise matrices over the 8 channels", [
        ("MI matrix diagonal (entropies)", fmt(np.diag(mi))),
        ("MI[4][5] / TE[4][5] / TE[5][4]",
         fmt((float(mi[4, 5]), float(te[4, 5]), float(te[5, 4])))),
        ("Granger F[4->5], p (cols 3..5)", fmt((float(f_stat[1, 2]), float(p_val[1, 2])))),
    ])


def dynamics():
    # The Henon map and the logistic map at r = 4 (largest exponent ln 2).
    h, (a, b) = np.empty((3000, 2)), (0.1, 0.1)
    for i in range(3100):
        a, b = 1.0 - 1.4 * a * a + b, 0.3 * a
        if i >= 100:
            h[i - 100] = a, b
    s = np.empty(3000)
    s[0] = 0.3
    for i in range(1, 3000):
        s[i] = 4.0 * s[i - 1] * (1.0 - s[i - 1])
    div = nv.maximal_lyapunov(h, 10, 10)
    d, _ = nv.largest_lyapunov_core(s, 1, 1, 10, 6)
    rm = nv.recurrence_matrix_rust(nv.attractor_reconstruction_rust(s[:1000], 2, 1), -1.0, 10.0)
    table("Nonlinear dynamics", [
        ("Henon largest exponent (slope)", fmt(float(np.polyfit(np.arange(5), div[:5], 1)[0]))),
        ("Henon correlation dimension", fmt(nv.correlation_dimension_rust(h))),
        ("logistic exponent (ln 2 = 0.693)", fmt(float(np.polyfit(np.arange(4), d[:4], 1)[0]))),
        ("FTLE fwd/bwd of its embedding", fmt(nv.ftle(nv.attractor_reconstruction_rust(s, 2, 1)))),
        ("Kaplan-Yorke, Lorenz spectrum",
         fmt(nv.kaplan_yorke_dimension_rust(np.array([0.906, 0.0, -14.572])))),
        ("RQA: RR / DET / LAM / L_max", fmt((nv.recurrence_rate_rust(rm), nv.determinism_rust(rm),
                                            nv.laminarity_rust(rm), nv.max_diagonal_line_rust(rm)))),
    ])


def spectra_and_coupling(rng):
    # A 50 Hz hum with two harmonics in noise, sampled at 1 kHz, with dropouts.
    fs = 1000.0
    t = np.arange(20_000) / fs
    hum = (np.sin(2 * np.pi * 50 * t) + 0.2 * np.sin(2 * np.pi * 100 * t)
           + 0.1 * np.sin(2 * np.pi * 150 * t))
    sig = hum + 0.3 * rng.normal(size=t.size)
    sig[::997] = np.nan  # dropouts are skipped, not zeroed
    freqs, psd = nv.power_spectral_density(sig, fs, 256, -1)
    re, im = nv.hilbert_transform(hum)
    y = np.roll(sig, 3) + 0.5 * rng.normal(size=sig.size)
    batch = nv.batch_rolling_spearman(rng.normal(size=(8, 5000)), rng.normal(size=(8, 5000)), 50)
    table("Spectra of a 50 Hz hum, rolling rank correlation", [
        ("Welch PSD bins / peak (Hz)", fmt((len(freqs), float(freqs[np.argmax(psd)])))),
        ("dominant / centroid / rolloff 85%", fmt((nv.dominant_frequency(sig, fs),
                                                   nv.spectral_centroid(sig, fs),
                                                   nv.spectral_rolloff(sig, fs, 0.85)))),
        ("THD / flatness / entropy (norm.)", fmt((nv.total_harmonic_distortion(sig, fs, 5),
                                                  nv.spectral_flatness(sig, fs),
                                                  nv.spectral_entropy(sig, fs, True)))),
        ("Hilbert envelope, median", fmt(float(np.median(np.hypot(re, im))))),
        ("moving-average SNR (dB)", fmt(nv.signal_to_noise(sig, 4000)[0])),
        ("rolling_spearman(w=100), median", fmt(float(np.nanmedian(nv.rolling_spearman(sig, y, 100))))),
        ("batch_rolling_spearman shape", str(batch.shape)),
    ])


def graphs_and_topology(rng):
    # A functional network of 8 channels: 0-3 follow one driver, 4-7 another.
    t = np.arange(2000) / 100.0
    drivers = np.vstack([np.sin(2 * np.pi * 1.1 * t), np.sin(2 * np.pi * 0.4 * t + 1.0)])
    channels = np.repeat(np.eye(2), 4, axis=0) @ drivers + 0.6 * rng.normal(size=(8, t.size))
    adj = nv.adjacency_from_correlation(np.corrcoef(channels), 0.3)
    labels = nv.louvain(adj, 1.0)
    x = channels[0]
    cloud = np.column_stack([x[:-20], x[10:-10], x[20:]])
    h0 = nv.persistent_homology(cloud, 300)
    noise = nv.persistent_homology(rng.normal(size=cloud.shape), 300)
    table("Graph measures and zero-dimensional persistence", [
        ("density / components", f"{nv.density(adj):.3f} / {nv.connected_components(adj)}"),
        ("eigenvector centrality", fmt(nv.eigenvector_centrality(adj, 200, 1e-9))),
        ("louvain labels / modularity", f"{labels.tolist()} / {nv.modularity(adj, labels, 1.0):.3f}"),
        ("label_propagation", str(nv.label_propagation(adj).tolist())),
        ("H0 pairs of an embedded channel", str(h0.shape)),
        ("persistence statistics", fmt(nv.persistence_statistics(h0)[:4])),
        ("wasserstein to noise", fmt(nv.wasserstein_distance(h0, noise))),
    ])


if __name__ == "__main__":
    main()
