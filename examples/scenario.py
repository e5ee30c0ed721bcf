"""The built-in demo scenario: a Mw 6.7 blind reverse rupture recorded by 160 stations.

`scenario_inputs()` returns the whole scenario as plain, picklable Python data (dicts of
NumPy arrays, floats, ints and lists), so that it can be shipped to worker processes;
`build_simulator(inputs)` turns it into a `_quelmar.Simulator` wherever it runs. The
`Simulator` itself is not picklable: every process builds its own from these inputs.

Source: one segment striking N120E, dipping 40 degrees, rake 90 (pure reverse), top edge
2 km deep, diced into 16 x 9 subfaults of 2 x 2 km (32 x 18 km). The slip field is a
smooth random field (fixed seed) tapered towards the edges and scaled so that the moment,
summed with the rigidity of each subfault's layer, matches Mw 6.7. Rupture times grow with
the distance on the fault plane from a hypocentre 13 km along strike and 13 km down dip,
at 0.8 times the S velocity of the hypocentre's layer. Stress drop 50 bars everywhere.

Crust: 6 crustal layers over the mantle; an 8th, deeper mantle layer lies below the Moho
(vs_moho 4.4 km/s) and is dropped by the model's Moho cut.

Stations: 8 profiles at 45 degree steps from the centre of the fault's surface
projection, 20 stations each at 1 to 110 km, kappa 0.04 s, Q frequency exponent 0.6.
"""
import hashlib
import os
import pickle
import threading

import numpy as np

MW = 6.7
LONGITUDE_DEG = 20.0   # centre of the segment's top edge
LATITUDE_DEG = 38.0
STRIKE_DEG = 120.0
DIP_DEG = 40.0
RAKE_DEG = 90.0
TOP_DEPTH_KM = 2.0
SUBFAULT_KM = 2.0
N_ALONG, N_DOWN = 16, 9
HYPOCENTRE_ALONG_KM = 13.0  # from the segment's start (column 0 edge)
HYPOCENTRE_DOWN_KM = 13.0   # from the top edge
STRESS_DROP_BARS = 50.0
SLIP_SEED = 2026

# thickness km, vp km/s, vs km/s, density g/cm^3, Qp, Qs; the last two reach vs_moho.
CRUST = np.array([
    [1.0, 3.60, 2.00, 2.30, 200.0, 100.0],
    [3.0, 5.20, 3.00, 2.50, 400.0, 200.0],
    [6.0, 6.00, 3.45, 2.70, 600.0, 300.0],
    [8.0, 6.30, 3.60, 2.80, 800.0, 400.0],
    [10.0, 6.60, 3.80, 2.90, 1000.0, 500.0],
    [6.0, 7.00, 3.95, 3.00, 1200.0, 600.0],
    [20.0, 8.00, 4.60, 3.30, 1500.0, 750.0],
    [30.0, 8.20, 4.70, 3.40, 1600.0, 800.0],
])
VS_MOHO_KM_S = 4.4

N_PROFILES = 8
N_PER_PROFILE = 20
PROFILE_KM = (1.0, 110.0)
KAPPA_S = 0.04
Q_FREQUENCY_EXPONENT = 0.6
SEED_BASE = 1_000_003

CONFIG = dict(
    source=dict(corner_frequency_constant=1.68, corner_frequency_alpha=0.0,
                rupture_velocity_fraction=0.8, rupture_velocity_shallow=0.6,
                rupture_velocity_deep=1.0, rupture_velocity_sigma=0.1),
    path=dict(rayset=[1, 2], path_duration_model=0),
    site=dict(fmax_hz=20.0),
    record=dict(duration_s=80.0, dt=0.01),
)

KM_PER_DEG = 111.19  # mean-radius degree; used only to place stations and measure distances
STATION_KEYS = ("latitude_deg", "longitude_deg", "station_seed", "kappa_s",
                "q_frequency_exponent")


def moment_dyne_cm(mw):
    """Seismic moment of magnitude `mw` (Hanks and Kanamori), dyne cm."""
    return 10.0 ** (1.5 * mw + 16.05)


def _layer_of(depth_km):
    """Index of the crustal layer holding `depth_km` (the first whose bottom is at or below)."""
    bottoms = np.cumsum(CRUST[:, 0])
    return np.minimum(np.searchsorted(bottoms, depth_km), len(CRUST) - 1)


def _cell_geometry():
    """Along-strike and down-dip positions (km) and depths of the subfault centres,
    all shaped (N_DOWN, N_ALONG)."""
    along = (np.arange(N_ALONG) + 0.5) * SUBFAULT_KM
    down = (np.arange(N_DOWN) + 0.5) * SUBFAULT_KM
    a, d = np.meshgrid(along, down)
    depth = TOP_DEPTH_KM + d * np.sin(np.radians(DIP_DEG))
    return a, d, depth


def _slip_field():
    """Heterogeneous slip (cm) scaled to the moment of MW."""
    rng = np.random.default_rng(SLIP_SEED)
    # Smooth random field: white noise filtered to correlation lengths of about 8 km along
    # strike and 5 km down dip, on a padded grid to avoid wrap-around.
    ny, nx = 2 * N_DOWN, 2 * N_ALONG
    noise = rng.standard_normal((ny, nx))
    ky = np.fft.fftfreq(ny, d=SUBFAULT_KM)[:, None]
    kx = np.fft.fftfreq(nx, d=SUBFAULT_KM)[None, :]
    k2 = (kx * 8.0) ** 2 + (ky * 5.0) ** 2
    field = np.fft.ifft2(np.fft.fft2(noise) / (1.0 + 4.0 * np.pi ** 2 * k2)).real
    field = field[:N_DOWN, :N_ALONG]
    field = (field - field.mean()) / field.std()
    slip = np.clip(1.0 + 0.6 * field, 0.05, None)
    # Taper towards the sides and the bottom; the top edge (2 km deep) keeps some slip.
    along = (np.arange(N_ALONG) + 0.5) / N_ALONG
    down = (np.arange(N_DOWN) + 0.5) / N_DOWN
    taper_a = np.sin(np.pi * along) ** 0.5
    taper_d = np.sin(np.pi * (0.5 + 0.5 * down)) ** 0.5 * np.minimum(1.0, 0.6 + 2.0 * down)
    slip *= taper_d[:, None] * taper_a[None, :]
    # Moment with each subfault's rigidity (dyne/cm^2 from g/cm^3 and km/s).
    _, _, depth = _cell_geometry()
    layer = _layer_of(depth)
    mu = CRUST[layer, 3] * CRUST[layer, 2] ** 2 * 1e10
    area_cm2 = (SUBFAULT_KM * 1e5) ** 2
    scale = moment_dyne_cm(MW) / float((slip * mu * area_cm2).sum())
    return slip * scale


def _rupture_times():
    a, d, _ = _cell_geometry()
    hypo_depth = TOP_DEPTH_KM + HYPOCENTRE_DOWN_KM * np.sin(np.radians(DIP_DEG))
    vr = 0.8 * CRUST[_layer_of(hypo_depth), 2]
    return np.hypot(a - HYPOCENTRE_ALONG_KM, d - HYPOCENTRE_DOWN_KM) / vr


def _fault_to_enu():
    """East and north offsets (km) from the top-edge centre, and depth (km), of every
    subfault centre."""
    a, d, depth = _cell_geometry()
    s = np.radians(STRIKE_DEG)
    along = a - 0.5 * N_ALONG * SUBFAULT_KM
    horiz = d * np.cos(np.radians(DIP_DEG))  # towards strike + 90 degrees
    east = along * np.sin(s) + horiz * np.cos(s)
    north = along * np.cos(s) - horiz * np.sin(s)
    return east, north, depth


def _stations():
    east_f, north_f, depth_f = _fault_to_enu()
    e0, n0 = east_f.mean(), north_f.mean()  # centre of the surface projection
    dist = np.geomspace(*PROFILE_KM, N_PER_PROFILE)
    az = np.radians(np.arange(N_PROFILES) * 360.0 / N_PROFILES + 15.0)
    east = (e0 + dist[None, :] * np.sin(az)[:, None]).ravel()
    north = (n0 + dist[None, :] * np.cos(az)[:, None]).ravel()
    n = east.size
    rrup = np.sqrt((east[:, None] - east_f.ravel()) ** 2 + (north[:, None] - north_f.ravel()) ** 2
                   + depth_f.ravel() ** 2).min(axis=1)
    lat = LATITUDE_DEG + north / KM_PER_DEG
    lon = LONGITUDE_DEG + east / (KM_PER_DEG * np.cos(np.radians(LATITUDE_DEG)))
    arrays = dict(latitude_deg=lat.astype(np.float32), longitude_deg=lon.astype(np.float32),
                  station_seed=SEED_BASE + np.arange(n, dtype=np.uint64),
                  kappa_s=np.full(n, KAPPA_S, np.float32),
                  q_frequency_exponent=np.full(n, Q_FREQUENCY_EXPONENT, np.float32))
    return arrays, rrup


def scenario_inputs():
    """The scenario as plain picklable data: `segments` (list of FaultSegment keyword
    dicts), `velocity` (VelocityModel1D keywords), `config` (nested parameter keywords),
    `stations` (the five run_stations arrays), `rrup_km` (distance from each station to the
    nearest subfault centre) and `mw`."""
    slip = _slip_field().astype(np.float32)
    shape = slip.shape
    rise = (0.6 + 1.0 * np.sqrt(slip / slip.max())).astype(np.float32)
    segment = dict(longitude_deg=LONGITUDE_DEG, latitude_deg=LATITUDE_DEG,
                   strike_deg=STRIKE_DEG, dip_deg=DIP_DEG, rake_deg=RAKE_DEG,
                   top_depth_km=TOP_DEPTH_KM, subfault_length_km=SUBFAULT_KM,
                   subfault_width_km=SUBFAULT_KM,
                   hypocentre_along_strike_km=HYPOCENTRE_ALONG_KM,
                   hypocentre_down_dip_km=HYPOCENTRE_DOWN_KM,
                   slip=slip, rise_time_s=rise,
                   rupture_time_s=_rupture_times().astype(np.float32),
                   stress_drop_bars=np.full(shape, STRESS_DROP_BARS, np.float32))
    velocity = dict(thickness_km=CRUST[:, 0].astype(np.float32), vp_km_s=CRUST[:, 1].copy(),
                    vsh_km_s=CRUST[:, 2].copy(), density_g_cm3=CRUST[:, 3].copy(),
                    quality_factor_p=CRUST[:, 4].astype(np.float32),
                    quality_factor_s=CRUST[:, 5].astype(np.float32),
                    vs_moho_km_s=VS_MOHO_KM_S)
    stations, rrup = _stations()
    return dict(segments=[segment], velocity=velocity,
                config={k: dict(v) for k, v in CONFIG.items()},
                stations=stations, rrup_km=rrup, mw=MW)


def _aligned(value):
    """`value` itself, or for an array a C-contiguous, aligned one (arrays rebuilt from
    dask.distributed's network frames can be misaligned, which the module refuses)."""
    if isinstance(value, np.ndarray):
        return np.require(value, requirements=("C", "A"))
    return value


def build_simulator(inputs):
    """A `_quelmar.Simulator` built from `scenario_inputs()`-style data."""
    import _quelmar as q
    c = inputs["config"]
    config = q.HfConfig(source=q.SourceParameters(**c["source"]),
                        path=q.PathParameters(**c["path"]),
                        site=q.SiteParameters(**c["site"]),
                        record=q.RecordParameters(**c["record"]))
    slip_model = q.SlipModel([q.FaultSegment(**{k: _aligned(v) for k, v in s.items()})
                              for s in inputs["segments"]])
    velocity = q.VelocityModel1D(**{k: _aligned(v) for k, v in inputs["velocity"].items()})
    return q.Simulator(config, slip_model, velocity)


def usable_cores():
    """Cores this process may run on (respects taskset and CPU affinity)."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def same_bytes(a, b):
    """True when two result arrays have the same dtype, shape and bytes."""
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def check_same_as_serial(parallel, serial):
    """Prints whether the parallel run's records are the single-threaded run's, byte for
    byte, and exits with status 1 when they are not."""
    same = same_bytes(parallel, serial)
    print(f"identical bytes to the single-threaded run: {same}")
    if not same:
        raise SystemExit(1)


def subset(stations, index):
    """The five station arrays restricted to `index` (a slice or index array), contiguous
    and aligned as `run_stations` requires."""
    return {k: _aligned(stations[k][index]) for k in STATION_KEYS}


def chunk_slices(n, size):
    """Consecutive slices of at most `size` stations covering 0..n."""
    return [slice(i, min(i + size, n)) for i in range(0, n, size)]


def token(inputs):
    """A digest of the source and model inputs (not the stations): equal tokens mean
    equal simulators."""
    parts = (inputs["segments"], inputs["velocity"], inputs["config"])
    return hashlib.sha256(pickle.dumps(parts, protocol=4)).hexdigest()


_cache = {}
_cache_lock = threading.Lock()


def cached_simulator(inputs):
    """This process's `Simulator` for `inputs`, built on first use and then shared by all
    the process's threads."""
    key = token(inputs)
    with _cache_lock:
        sim = _cache.get(key)
        if sim is None:
            sim = _cache[key] = build_simulator(inputs)
        return sim


def run_chunk(inputs, index):
    """Worker-side task: the acceleration of stations `index` of the scenario, computed with
    this process's cached `Simulator`."""
    return cached_simulator(inputs).run_stations(**subset(inputs["stations"], index))
