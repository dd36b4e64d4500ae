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


if __name__ == "__main__":
    main()
