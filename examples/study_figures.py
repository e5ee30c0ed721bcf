"""Measures the figures that docs/reference.md quotes for studies and calibration.

    PYTHONPATH=build/module /usr/bin/python3 examples/study_figures.py WHAT [--threads N]

WHAT is one of
  trend      a two-segment Mw 6.5 strike-slip rupture, 150 stations x 3 seeds, brought to
             Vs30 760 m/s by a quarter-wavelength site term, against the BSSA14 median (PGA
             and PSA at 1 s) per Joyner-Boore distance band, with the ray sets [1, 2] and [1],
             at 50 bars (or --bars)
  doubling   the demo scenario (examples/scenario.py), all 160 stations x 4 seeds, at 25, 50,
             100 and 200 bars (or --stress-drops): PGA and PSA per band of distance to the
             nearest subfault centre, the exponent b and the factor of each doubling
  mistakes   the median PGA per distance band with a stress drop in MPa and in Pa (the demo
             scenario's 56 stations at seven distances: every third of the twenty of each
             profile) and with the subfault length alone in metres (the trend's rupture)
  corners    the corner frequencies of the demo scenario's subfault rows by the reference's
             formula (without the random factor), with their depths and layers

Every figure is a log-mean or a median over records of the geometric mean of the two
horizontals, in g, unless the output says otherwise.
"""
import argparse
import os
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scenario as sc  # noqa: E402

G = 980.665                       # cm/s^2 per g

# The BSSA14 median (Boore, Stewart, Seyhan and Atkinson 2014, Earthquake Spectra 30(3)) with
# its global coefficients (regional delta c3 = 0) and no basin term:
#   ln Y = F_E(M, mechanism) + F_P(Rjb, M) + F_S(Vs30, PGAr),
#   F_E = e_mech + e4 (M - Mh) + e5 (M - Mh)^2 for M <= Mh, e_mech + e6 (M - Mh) above,
#   F_P = (c1 + c2 (M - 4.5)) ln(R) + c3 (R - 1), R = sqrt(Rjb^2 + h^2),
#   F_S = clin ln(min(Vs30, Vc) / 760) + f4 (exp(f5 (min(Vs30, 760) - 360))
#         - exp(f5 (760 - 360))) ln((PGAr + 0.1) / 0.1), PGAr the median PGA at 760 m/s.
# Columns: e0 (unspecified), e1 (strike-slip), e2 (normal), e3 (reverse), e4, e5, e6, Mh,
# c1, c2, c3, h (km), clin, Vc (m/s), f4, f5.
BSSA14 = {
    0.0: (0.4473, 0.4856, 0.2459, 0.4539, 1.431, 0.05053, -0.1662, 5.5,
          -1.134, 0.1917, -0.008088, 4.5, -0.6, 1500.0, -0.15, -0.00701),
    1.0: (0.3932, 0.4218, 0.207, 0.4124, 1.5004, -0.18983, 0.17895, 6.2,
          -1.193, 0.10248, -0.00121, 5.74, -1.05, 1109.95, -0.1052, -0.00844),
}
MECHANISM = {"unspecified": 0, "strike-slip": 1, "normal": 2, "reverse": 3}


def bssa14_median_g(period, mw, rjb_km, vs30, mechanism="strike-slip"):
    """BSSA14 median PGA (period 0) or 5 %-damped PSA, in g."""
    def rock(p):
        c = BSSA14[p]
        e, (e4, e5, e6, mh) = c[MECHANISM[mechanism]], c[4:8]
        fe = e + (e4 * (mw - mh) + e5 * (mw - mh) ** 2 if mw <= mh else e6 * (mw - mh))
        r = np.hypot(rjb_km, c[11])
        return fe + (c[8] + c[9] * (mw - 4.5)) * np.log(r) + c[10] * (r - 1.0)
    clin, vc, f4, f5 = BSSA14[period][12:]
    f2 = f4 * (np.exp(f5 * (min(vs30, 760.0) - 360.0)) - np.exp(f5 * 400.0))
    pga_rock = np.exp(rock(0.0))
    return np.exp(rock(period) + clin * np.log(min(vs30, vc) / 760.0)
                  + f2 * np.log((pga_rock + 0.1) / 0.1))


def km_per_degree(lat_deg):
    """WGS84 kilometres per degree of longitude and of latitude at `lat_deg`."""
    a, f = 6378.137, 1 / 298.257223563
    e2 = f * (2 - f)
    s2 = np.sin(np.radians(lat_deg)) ** 2
    return (a * np.cos(np.radians(lat_deg)) / np.sqrt(1 - e2 * s2) * np.pi / 180,
            a * (1 - e2) / (1 - e2 * s2) ** 1.5 * np.pi / 180)


def subfault_quads(seg):
    """(n, 4, 2) longitude and latitude of the four corners of every subfault with slip,
    projected to the surface, placed from the segment's top-edge centre as the module
    places its grid."""
    rows, cols = np.shape(seg["slip"])
    length, width = seg["subfault_length_km"], seg["subfault_width_km"]
    a0 = np.arange(cols) * length - cols * length / 2
    d0 = np.arange(rows) * width
    a, d = np.meshgrid(a0, d0)
    keep = np.asarray(seg["slip"]) > 0
    a, d = a[keep], d[keep]
    corner_a = np.stack([a, a + length, a + length, a], axis=-1)
    corner_d = np.stack([d, d, d + width, d + width], axis=-1) * np.cos(np.radians(seg["dip_deg"]))
    strike = np.radians(seg["strike_deg"])
    east = corner_a * np.sin(strike) + corner_d * np.cos(strike)
    north = corner_a * np.cos(strike) - corner_d * np.sin(strike)
    kx, ky = km_per_degree(seg["latitude_deg"])
    return np.stack([seg["longitude_deg"] + east / kx, seg["latitude_deg"] + north / ky], axis=-1)


def joyner_boore_km(segments, lon, lat):
    """Distance (km) from each station to the nearest point of the surface projection of the
    subfaults with slip; 0 above the rupture."""
    quads = np.concatenate([subfault_quads(s) for s in segments])
    out = np.empty(len(lon))
    for i, (x0, y0) in enumerate(zip(lon, lat)):
        kx, ky = km_per_degree(float(y0))
        p = np.stack([(quads[..., 0] - x0) * kx, (quads[..., 1] - y0) * ky], axis=-1)
        edge = np.roll(p, -1, axis=1) - p
        cross = edge[..., 0] * -p[..., 1] - edge[..., 1] * -p[..., 0]
        inside = (cross >= 0).all(axis=1) | (cross <= 0).all(axis=1)
        t = np.clip(-(p * edge).sum(-1) / np.maximum((edge ** 2).sum(-1), 1e-30), 0.0, 1.0)
        gap = np.hypot(p[..., 0] + t * edge[..., 0], p[..., 1] + t * edge[..., 1]).min(axis=1)
        out[i] = np.where(inside, 0.0, gap).min()
    return out


def psa(acc, dt, period, damping=0.05):
    """5 %-damped PSA at one period (s), time on the last axis, in the unit of `acc`."""
    n = acc.shape[-1] + int(20 * period / dt)
    w = 2 * np.pi * np.fft.rfftfreq(n, dt)
    wn = 2 * np.pi / period
    u = np.fft.irfft(np.fft.rfft(acc, n) / (w ** 2 - wn ** 2 - 2j * damping * wn * w), n)
    return wn ** 2 * np.abs(u).max(axis=-1)


def horizontal(acc, dt, period):
    """Geometric mean of the two horizontals' PGA (period 0) or PSA, in g, per station."""
    def peak(x):
        return np.abs(x).max(axis=-1) if period == 0 else psa(x, dt, period)
    return np.sqrt(peak(acc[0]) * peak(acc[1])) / G


def run(sim, stations, threads, chunk=5):
    n = len(stations["latitude_deg"])
    with ThreadPoolExecutor(threads) as pool:
        parts = pool.map(lambda s: sim.run_stations(**sc.subset(stations, s)),
                         sc.chunk_slices(n, chunk))
        return np.concatenate(list(parts), axis=1)


def with_seeds(stations, seeds, base):
    """The stations repeated `seeds` times, each copy with its own seeds."""
    out = {k: np.tile(v, seeds) for k, v in stations.items()}
    out["station_seed"] = base + np.arange(out["station_seed"].size, dtype=np.uint64)
    return out


# -- trend -----------------------------------------------------------------------------------

# Section 15's crust of the reference: thickness km, vp, vs km/s, density g/cm^3, Qp, Qs.
LAYERS = np.array([
    [1.0, 3.6, 2.0, 2.30, 200.0, 100.0],
    [4.0, 5.5, 3.2, 2.60, 500.0, 250.0],
    [10.0, 6.1, 3.5, 2.75, 800.0, 400.0],
    [15.0, 6.6, 3.8, 2.90, 1000.0, 500.0],
    [0.0, 8.0, 4.6, 3.30, 1500.0, 750.0]])
VS_MOHO = 4.4
# 30 m at 760 m/s over 70 m at 1200 m/s in place of the crust's top 100 m: Vs30 760 m/s.
SOIL = np.array([[0.03, 1.6, 0.76, 2.1, 100.0, 50.0], [0.07, 2.4, 1.2, 2.2, 100.0, 50.0]])
BANDS = [(0, 5), (5, 10), (10, 20), (20, 40), (40, 70), (70, 100)]


def quarter_wavelength_log_impedance(thickness_km, vs_km_s, density, freqs_hz):
    """ln of the S impedance averaged over a quarter wavelength below the surface."""
    h = np.append(np.asarray(thickness_km, float)[:-1], np.inf)
    top_time = np.concatenate([[0.0], np.cumsum(h / vs_km_s)[:-1]])
    out = []
    for f in freqs_hz:
        t = 0.25 / f
        k = np.searchsorted(top_time, t, side="right") - 1
        rest = t - top_time[k]
        depth = h[:k].sum() + rest * vs_km_s[k]
        mass = (density[:k] * h[:k] / vs_km_s[:k]).sum() + rest * density[k]
        out.append(np.log(depth / t) + np.log(mass / t))
    return np.array(out)


def site_760(acc, dt):
    """`acc` with its Fourier amplitudes multiplied by the quarter-wavelength gain of SOIL
    over the bare crust."""
    site = np.vstack([SOIL, LAYERS])
    site[len(SOIL), 0] -= SOIL[:, 0].sum()
    freqs = np.geomspace(0.05, 50.0, 60)
    gain = np.exp(0.5 * (quarter_wavelength_log_impedance(LAYERS[:, 0], LAYERS[:, 2], LAYERS[:, 3], freqs)
                         - quarter_wavelength_log_impedance(site[:, 0], site[:, 2], site[:, 3], freqs)))
    f = np.fft.rfftfreq(acc.shape[-1], dt)
    log_gain = np.interp(np.log(np.maximum(f, freqs[0])), np.log(freqs), np.log(gain))
    return np.fft.irfft(np.fft.rfft(acc, axis=-1) * np.exp(log_gain), acc.shape[-1], axis=-1)


def two_segment_rupture(mw=6.5, stress_drop=50.0):
    """FaultSegment keywords of a vertical right-lateral rupture on two segments: 16 km
    striking N100E, then 14 km striking N120E from its end, 12 km wide from 1 km down."""
    sub, rows, top = 2.0, 6, 1.0
    parts = [(8, 100.0), (7, 120.0)]
    lon, lat = 20.0, 38.0                         # centre of the first segment's top edge
    along = np.concatenate([(np.arange(8) + 0.5) * sub, 16.0 + (np.arange(7) + 0.5) * sub])
    down = (np.arange(rows) + 0.5) * sub
    bottoms = np.cumsum(LAYERS[:, 0])
    layer = np.minimum(np.searchsorted(bottoms, top + down), len(LAYERS) - 1)
    rigidity = LAYERS[layer, 2] ** 2 * LAYERS[layer, 3]
    pattern = np.outer(np.sin(np.pi * (down + sub) / (rows * sub + 2 * sub)),
                       np.sin(np.pi * along / 30.0) ** 0.5)
    slip = pattern * 10.0 ** (1.5 * mw + 16.05) / (1e20 * (pattern * rigidity[:, None]).sum() * sub ** 2)
    time = 5.0 + np.hypot(along - 6.0, down[:, None] - 9.0) / 2.8
    segments, start, first = [], 0, None
    for cols, strike in parts:
        half = cols * sub / 2
        if first is None:
            ref = (lon, lat)
        else:                                     # from the end of the previous top edge
            kx, ky = km_per_degree(first[1])
            prev_end = (first[0] + first[2] * np.sin(np.radians(first[3])) / kx,
                        first[1] + first[2] * np.cos(np.radians(first[3])) / ky)
            ref = prev_end
            for _ in range(3):
                kx, ky = km_per_degree(ref[1])
                ref = (prev_end[0] + half * np.sin(np.radians(strike)) / kx,
                       prev_end[1] + half * np.cos(np.radians(strike)) / ky)
        cut = slice(start, start + cols)
        shape = (rows, cols)
        segments.append(dict(
            longitude_deg=float(np.float32(ref[0])), latitude_deg=float(np.float32(ref[1])),
            strike_deg=strike, dip_deg=90.0, rake_deg=180.0, top_depth_km=top,
            subfault_length_km=sub, subfault_width_km=sub, hypocentre_along_strike_km=6.0,
            hypocentre_down_dip_km=9.0, slip=slip[:, cut].astype(np.float32),
            rise_time_s=np.ones(shape, np.float32), rupture_time_s=time[:, cut].astype(np.float32),
            stress_drop_bars=np.full(shape, stress_drop, np.float32)))
        first = (float(np.float32(ref[0])), float(np.float32(ref[1])), half, strike)
        start += cols
    return segments


def band_stations(segments, per_band=25, seed=11):
    """`per_band` stations in each Joyner-Boore band of BANDS, at random places around the
    rupture: a point of its surface trace, then a random direction and distance."""
    rng = np.random.default_rng(seed)
    trace = np.concatenate([subfault_quads(s)[:, :2].reshape(-1, 2) for s in segments])
    lon, lat = [], []
    for lo, hi in BANDS:
        kept = 0
        while kept < per_band:
            base = trace[rng.integers(len(trace))]
            r, az = rng.uniform(lo, hi), rng.uniform(0, 2 * np.pi)
            kx, ky = km_per_degree(base[1])
            x, y = base[0] + r * np.sin(az) / kx, base[1] + r * np.cos(az) / ky
            rjb = joyner_boore_km(segments, [np.float32(x)], [np.float32(y)])[0]
            if lo <= rjb < hi:
                lon.append(x)
                lat.append(y)
                kept += 1
    n = len(lon)
    return dict(latitude_deg=np.array(lat, np.float32), longitude_deg=np.array(lon, np.float32),
                station_seed=np.arange(n, dtype=np.uint64), kappa_s=np.full(n, 0.04, np.float32),
                q_frequency_exponent=np.full(n, 0.6, np.float32))


def build(segments, layers, vs_moho, rayset=(1, 2), duration_s=90.0, dt=0.01):
    import _quelmar as q
    f32 = np.float32
    config = q.HfConfig(
        source=q.SourceParameters(corner_frequency_constant=1.68, corner_frequency_alpha=0.0,
                                  rupture_velocity_fraction=0.8, rupture_velocity_shallow=0.6,
                                  rupture_velocity_deep=1.0, rupture_velocity_sigma=0.1),
        path=q.PathParameters(rayset=list(rayset), path_duration_model=0),
        site=q.SiteParameters(fmax_hz=20.0),
        record=q.RecordParameters(duration_s=duration_s, dt=dt))
    crust = q.VelocityModel1D(
        thickness_km=layers[:, 0].astype(f32), vp_km_s=layers[:, 1].copy(),
        vsh_km_s=layers[:, 2].copy(), density_g_cm3=layers[:, 3].copy(),
        quality_factor_p=layers[:, 4].astype(f32), quality_factor_s=layers[:, 5].astype(f32),
        vs_moho_km_s=vs_moho)
    return q.Simulator(config, q.SlipModel([q.FaultSegment(**s) for s in segments]), crust)


def trend(args):
    segments = two_segment_rupture(stress_drop=args.bars)
    stations = band_stations(segments)
    rjb = joyner_boore_km(segments, stations["longitude_deg"], stations["latitude_deg"])
    runs = with_seeds(stations, 3, 5000)
    rjb3 = np.tile(rjb, 3)
    dt = float(np.float32(0.01))
    print(f"Mw 6.5, two vertical right-lateral segments, {args.bars:g} bar, kappa 0.04 s, Vs30 760 m/s; "
          f"{rjb.size} stations x 3 seeds; ratio = log-mean of simulated / BSSA14 median")
    print(f"{'Rjb km':>10} {'records':>8}" + "".join(
        f"{f'{w} {s}':>14}" for s in ("[1, 2]", "[1]") for w in ("PGA", "PSA1s")))
    table = {}
    for rayset in ((1, 2), (1,)):
        acc = site_760(run(build(segments, LAYERS, VS_MOHO, rayset), runs, args.threads), dt)
        for period in (0.0, 1.0):
            ratio = np.log(horizontal(acc, dt, period) / bssa14_median_g(period, 6.5, rjb3, 760.0))
            table[rayset, period] = [np.exp(ratio[(rjb3 >= lo) & (rjb3 < hi)].mean()) for lo, hi in BANDS]
        table[rayset, "all"] = [np.exp(np.log(horizontal(acc, dt, 0.0)
                                              / bssa14_median_g(0.0, 6.5, rjb3, 760.0)).mean())]
    for i, (lo, hi) in enumerate(BANDS):
        n = int(((rjb3 >= lo) & (rjb3 < hi)).sum())
        print(f"{f'{lo}-{hi}':>10} {n:>8}" + "".join(
            f"{table[r, p][i]:>14.2f}" for r in ((1, 2), (1,)) for p in (0.0, 1.0)))
    print("PGA ratio over all records: [1, 2] {:.2f}, [1] {:.2f}".format(
        table[(1, 2), "all"][0], table[(1,), "all"][0]))


# -- the demo scenario -----------------------------------------------------------------------

BANDS_DEMO = [(3, 7), (8, 13), (16, 25), (64, 100)]


def demo_run(inputs, stations, threads, segment=None, velocity=None, config=None):
    """Records of the demo scenario with some of its inputs replaced."""
    changed = dict(inputs, segments=[dict(inputs["segments"][0], **(segment or {}))],
                   velocity=dict(inputs["velocity"], **(velocity or {})),
                   config={k: dict(v, **(config or {}).get(k, {})) for k, v in inputs["config"].items()})
    return run(sc.build_simulator(changed), stations, threads)


def doubling(args):
    inputs = sc.scenario_inputs()
    stations = with_seeds(inputs["stations"], 4, 20000)
    r = np.tile(inputs["rrup_km"], 4)
    dt = float(np.float32(0.01))
    levels = {}
    shape = inputs["segments"][0]["slip"].shape
    for sd in args.stress_drops:
        acc = demo_run(inputs, stations, args.threads,
                       segment=dict(stress_drop_bars=np.full(shape, sd, np.float32)))
        levels[sd] = np.array([[np.exp(np.log(horizontal(acc[:, (r >= lo) & (r < hi)], dt, p)).mean())
                                for p in (0.0, 0.2, 1.0, 2.0)] for lo, hi in BANDS_DEMO])
    sds = np.log(list(levels))
    for i, (lo, hi) in enumerate(BANDS_DEMO):
        print(f"{lo}-{hi} km, {int(((r >= lo) & (r < hi)).sum())} records "
              "(PGA, PSA 0.2 s, PSA 1 s, PSA 2 s, g)")
        for sd, level in levels.items():
            print(f"  {sd:5.0f} bar " + " ".join(f"{v:8.4f}" for v in level[i]))
        if len(levels) < 2:
            continue
        logs = np.log([levels[sd][i] for sd in levels])
        b = np.polyfit(sds, logs, 1)[0]
        print("  exponent b " + " ".join(f"{v:8.2f}" for v in b))
        steps = np.exp(np.diff(logs, axis=0))
        print("  doubling x " + " ".join(f"{a:.2f}-{z:.2f}" for a, z in zip(steps.min(0), steps.max(0))))


def mistakes(args):
    inputs = sc.scenario_inputs()
    keep = np.isin(np.arange(160) % 20, np.arange(0, 20, 3))
    stations = sc.subset(inputs["stations"], np.flatnonzero(keep))
    r = inputs["rrup_km"][keep]
    shape = inputs["segments"][0]["slip"].shape
    dt = float(np.float32(0.01))

    def show(name, acc, r, base):
        pga = horizontal(acc, dt, 0.0)
        med = [np.median(pga[m]) for m in (r < 10, (r >= 10) & (r < 40), r >= 40)]
        base = med if base is None else base
        print(f"{name:44s} PGA {med[0]:.3g} / {med[1]:.3g} / {med[2]:.3g} g (x"
              + " / x".join(f"{m / b:.3g}" for m, b in zip(med, base))
              + f"); all finite: {np.isfinite(acc).all()}")
        return base

    print("demo scenario, 56 stations; median PGA within 10 km / 10-40 km / beyond 40 km of "
          "the nearest subfault centre")
    base = show("correct", demo_run(inputs, stations, args.threads), r, None)
    for value, unit in ((5.0, "MPa"), (5e6, "Pa")):
        acc = demo_run(inputs, stations, args.threads,
                       segment=dict(stress_drop_bars=np.full(shape, value, np.float32)))
        show(f"stress_drop_bars in {unit} ({value:g})", acc, r, base)
    # The demo's strike (N120E) puts centres past the pole with lengths in metres; the
    # two-segment rupture strikes near east.
    segments = two_segment_rupture()
    stations = band_stations(segments, per_band=8)
    lon, lat = stations["longitude_deg"], stations["latitude_deg"]
    print("two-segment rupture of `trend`, 48 stations; the same bands of the distance to the "
          "nearest subfault centre")
    metres = [dict(s, subfault_length_km=1000.0 * s["subfault_length_km"]) for s in segments]
    base, r = None, rupture_km(segments, lon, lat)
    for name, segs in (("correct", segments), ("subfault_length_km alone in metres", metres)):
        base = show(name, run(build(segs, LAYERS, VS_MOHO), stations, args.threads), r, base)
        print(f"{'':44s} Mw {moment_magnitude(segs):.2f}")


def rupture_km(segments, lon, lat):
    """Distance (km) from each station to the nearest subfault centre."""
    out = np.full(len(lon), np.inf)
    for seg in segments:
        rows, cols = np.shape(seg["slip"])
        a = (np.arange(cols) + 0.5) * seg["subfault_length_km"] - cols * seg["subfault_length_km"] / 2
        d = (np.arange(rows) + 0.5) * seg["subfault_width_km"]
        a, d = np.meshgrid(a, d)
        strike, dip = np.radians(seg["strike_deg"]), np.radians(seg["dip_deg"])
        kx, ky = km_per_degree(seg["latitude_deg"])
        clon = seg["longitude_deg"] + (a * np.sin(strike) + d * np.cos(dip) * np.cos(strike)) / kx
        clat = seg["latitude_deg"] + (a * np.cos(strike) - d * np.cos(dip) * np.sin(strike)) / ky
        depth = seg["top_depth_km"] + d * np.sin(dip)
        for i, (x, y) in enumerate(zip(lon, lat)):
            sx, sy = km_per_degree(float(y))
            out[i] = min(out[i], np.sqrt(((clon - x) * sx) ** 2 + ((clat - y) * sy) ** 2
                                         + depth ** 2).min())
    return out


def moment_magnitude(segments):
    """Mw of FaultSegment keywords in LAYERS, summed as the module sums the moment."""
    bottoms = np.cumsum(LAYERS[:-1, 0])
    m0 = 0.0
    for seg in segments:
        rows = np.shape(seg["slip"])[0]
        depth = seg["top_depth_km"] + (np.arange(rows) + 0.5) * seg["subfault_width_km"] \
            * np.sin(np.radians(seg["dip_deg"]))
        layer = np.searchsorted(bottoms, depth)
        rigidity = LAYERS[layer, 2] ** 2 * LAYERS[layer, 3]
        m0 += 1e20 * float((seg["slip"] * rigidity[:, None]).sum()) \
            * seg["subfault_length_km"] * seg["subfault_width_km"]
    return (np.log10(m0) - 16.05) / 1.5


def corners(args):
    inputs = sc.scenario_inputs()
    seg = inputs["segments"][0]
    layers = sc.CRUST
    depth = seg["top_depth_km"] + (np.arange(np.shape(seg["slip"])[0]) + 0.5) * seg["subfault_width_km"] \
        * np.sin(np.radians(seg["dip_deg"]))
    layer = np.minimum(np.searchsorted(np.cumsum(layers[:, 0]), depth), len(layers) - 1)
    src = inputs["config"]["source"]
    shallow = src["rupture_velocity_shallow"]
    ramp = np.where(depth < 5, shallow, np.where(depth < 8, shallow + (1 - shallow) * (depth - 5) / 3, 1.0))
    rv = src["rupture_velocity_fraction"] * ramp
    dx = np.sqrt(seg["subfault_length_km"] * seg["subfault_width_km"])
    # Every row lies above 15 km, where the deep ramp of the rupture velocity starts.
    fc = rv * src["corner_frequency_constant"] * layers[layer, 2] / (np.pi * dx)
    for z, k, f in zip(depth, layer, fc):
        print(f"row centre {z:5.2f} km deep, layer {k} (vs {layers[k, 2]:.2f} km/s): fc {f:.2f} Hz")
    print("a 2 km subfault above 5 km in a layer of 2.0 km/s (section 15's top layer): "
          f"{0.8 * 0.6 * 1.68 * 2.0 / (np.pi * 2.0):.2f} Hz")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("what", choices=["trend", "doubling", "mistakes", "corners"])
    parser.add_argument("--threads", type=int, default=3)
    parser.add_argument("--stress-drops", type=float, nargs="+", default=[25.0, 50.0, 100.0, 200.0],
                        help="bars, for doubling (default 25 50 100 200)")
    parser.add_argument("--bars", type=float, default=50.0, help="stress drop for trend")
    args = parser.parse_args(argv)
    globals()[args.what](args)


if __name__ == "__main__":
    main()
