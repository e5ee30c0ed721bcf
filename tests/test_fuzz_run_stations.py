"""Property-based fuzzing of Simulator.run_stations.

Each example builds a small scenario (1-2 segments of at most 3 x 3 subfaults, 1-4
layers, at most 3 ray codes, at most 800 samples), often with one or two values
poisoned (NaN, an infinity, a signed zero, the smallest subnormal, the largest
float, or a wrong but ordinary value such as -1 or 1e6), runs a batch of 0-3
stations whose five arrays take any values, dtype and layout, and requires a
well-formed float32 array (reproducible byte for byte), or the documented
exception: TypeError for arguments, PanicException with one of the core's stop
messages, MemoryError.

How the work is bounded. A run allocates and transforms at most about twice the
record length per ray (however long a subfault's window, its ray plans are cut to
the samples left in the record), walks at most 2^20 legs per ray, and writes
3 x n_station x n_time samples. The plain ranges keep n_time = duration / dt at
most 800; a poison of the duration or of dt is always extreme (or NaN, zero,
negative), so it drives n_time to 0 or to saturation, a documented stop found
before anything is allocated. Everything else may take any poison.
"""
import re

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

import _quelmar as q
from strategies import (F32, RUN_LAYOUTS, Raises, arrays, array_ok, call, check_outcome,
                        flat_run_ok, fmt32, is_panic, not_instance)

KEYS = ("latitude_deg", "longitude_deg", "station_seed", "kappa_s", "q_frequency_exponent")
DTYPES = (np.float32, np.float32, np.uint64, np.float32, np.float32)

MAX_F32 = float(np.finfo(np.float32).max)
TINY = float(np.float32(1e-45))
NAN, INF = float("nan"), float("inf")
EXTREME = [NAN, INF, -INF, 0.0, -0.0, TINY, MAX_F32, -MAX_F32]  # for the duration and dt
POISONS = EXTREME + [-1.0, -TINY, 1e-6, 1e6, -1e6, 1e30]
STRESS = [TINY, 1e-6, 1e6, MAX_F32]  # FaultSegment takes only positive finite stress drops

# The stops a run may end with.
STOPS = [re.escape(s) for s in (
    "a transform length that overflows usize is not a real request",
    "attempt to add with overflow", "attempt to subtract with overflow",
    "ndarray: Shape too large, product of non-zero axis lengths overflows isize",
    "capacity overflow", "build_ray_path needs at least one ray segment")] + [
    r"ray type -\d+ is negative; th1 would be undefined",
    r"ray type \d+ needs \d+ legs, more than the 1048576 a ray may have",
    r"a record of \d+ samples is longer than the 2147483647 samples a run can index",
    r"index out of bounds: the len is \d+ but the index is \d+"]


def f(lo, hi):
    return st.floats(float(F32(lo)), float(F32(hi)), width=32)


@st.composite
def scenarios(draw):
    n_layers = draw(st.integers(1, 4))
    s = dict(
        source=dict(corner_frequency_constant=draw(f(0.5, 3)), corner_frequency_alpha=draw(f(0, 2)),
                    rupture_velocity_fraction=draw(f(0.5, 1)),
                    rupture_velocity_shallow=draw(f(0.3, 1)),
                    rupture_velocity_deep=draw(f(0.8, 1.3)),
                    rupture_velocity_sigma=draw(st.one_of(st.just(0.0), f(0.01, 0.5)))),
        rayset=draw(st.lists(st.integers(0, 8), max_size=3)),
        path_duration_model=draw(st.sampled_from([0, 1, 2, 11, 12])),
        site=dict(fmax_hz=draw(f(1, 50))),
        record=dict(duration_s=draw(st.one_of(st.just(0.0), f(0.5, 4))), dt=draw(f(0.005, 0.1))),
        segments=[], layers={},
        vs_moho_km_s=draw(st.floats(3.5, 5.0)),
    )
    length, width = draw(f(0.5, 10)), draw(f(0.5, 10))
    for _ in range(draw(st.integers(1, 2))):
        shape = (draw(st.integers(1, 3)), draw(st.integers(1, 3)))
        grid = lambda lo, hi: np.array(draw(st.lists(f(lo, hi), min_size=shape[0] * shape[1],
                                                     max_size=shape[0] * shape[1])),
                                       F32).reshape(shape)
        slip = grid(0.1, 5)
        quiet = draw(st.lists(st.integers(0, 3), min_size=slip.size, max_size=slip.size))
        slip[np.array(quiet).reshape(shape) == 0] = 0.0  # some subfaults without slip
        s["segments"].append(dict(
            longitude_deg=draw(f(-1, 1)), latitude_deg=draw(f(-1, 1)), strike_deg=draw(f(0, 360)),
            dip_deg=draw(f(10, 90)), rake_deg=draw(f(-180, 180)), top_depth_km=draw(f(1, 20)),
            subfault_length_km=length, subfault_width_km=width,
            hypocentre_along_strike_km=draw(f(0, 10)), hypocentre_down_dip_km=draw(f(0, 10)),
            slip=slip, rise_time_s=grid(0.5, 3), rupture_time_s=grid(0, 5),
            stress_drop_bars=grid(10, 200)))
    vs = [draw(f(1, 3.4))] + draw(st.lists(f(1, 4.5), min_size=n_layers - 1,
                                           max_size=n_layers - 1))  # the first above the Moho
    s["layers"] = dict(
        thickness_km=np.array(draw(st.lists(f(0.5, 20), min_size=n_layers, max_size=n_layers)),
                              F32),
        vp_km_s=np.array(vs) * 1.7, vsh_km_s=np.array(vs, np.float64),
        density_g_cm3=np.array(draw(st.lists(st.floats(2, 3.3), min_size=n_layers,
                                             max_size=n_layers))),
        quality_factor_p=np.array(draw(st.lists(f(50, 1000), min_size=n_layers,
                                                max_size=n_layers)), F32),
        quality_factor_s=np.array(draw(st.lists(f(25, 500), min_size=n_layers,
                                                max_size=n_layers)), F32))
    s["poison"] = draw(st.lists(st.sampled_from(
        ["source", "site", "record", "segment", "cell", "layer", "vs_moho", "ray"]), max_size=2))
    for poison in s["poison"]:
        if poison in ("source", "site", "record"):
            key = draw(st.sampled_from(sorted(s[poison])))
            s[poison][key] = draw(st.sampled_from(EXTREME if poison == "record" else POISONS))
        elif poison == "segment":
            seg = draw(st.sampled_from(s["segments"]))
            key = draw(st.sampled_from(sorted(k for k, v in seg.items() if isinstance(v, float))))
            seg[key] = draw(st.sampled_from(POISONS))
        elif poison == "cell":
            seg = draw(st.sampled_from(s["segments"]))
            key = draw(st.sampled_from(["slip", "rise_time_s", "rupture_time_s",
                                        "stress_drop_bars"]))
            index = tuple(draw(st.integers(0, n - 1)) for n in seg[key].shape)
            seg[key] = seg[key].copy()
            seg[key][index] = draw(st.sampled_from(STRESS if key == "stress_drop_bars"
                                                   else POISONS))
        elif poison == "layer":
            key = draw(st.sampled_from(sorted(s["layers"])))
            s["layers"][key][draw(st.integers(0, n_layers - 1))] = draw(st.sampled_from(POISONS))
        elif poison == "vs_moho":
            s["vs_moho_km_s"] = draw(st.sampled_from(POISONS))
        elif poison == "ray":
            s["rayset"].insert(draw(st.integers(0, len(s["rayset"]))),
                               draw(st.integers(-2**31, 2**31 - 1)))
    return s


def build(s):
    """The Simulator of scenario `s`, or None when its inputs are refused (with
    the documented ValueError: a poisoned value, or no slip anywhere)."""
    def make():
        config = q.HfConfig(source=q.SourceParameters(**s["source"]),
                            path=q.PathParameters(rayset=s["rayset"],
                                                  path_duration_model=s["path_duration_model"]),
                            site=q.SiteParameters(**s["site"]),
                            record=q.RecordParameters(**s["record"]))
        slip = q.SlipModel([q.FaultSegment(**seg) for seg in s["segments"]])
        velocity = q.VelocityModel1D(**s["layers"], vs_moho_km_s=s["vs_moho_km_s"])
        return q.Simulator(config, slip, velocity)
    kind, value = call(make)
    if kind == "raised":
        assert type(value) is ValueError, value
        no_slip = not any(seg["slip"].any() for seg in s["segments"])
        assert s["poison"] or (no_slip and "no slip anywhere" in str(value)), value
        return None
    return value


sane_station = dict(latitude_deg=f(-1.5, 1.5), longitude_deg=f(-1.5, 1.5),
                    station_seed=st.integers(0, 2**64 - 1), kappa_s=f(0, 0.08),
                    q_frequency_exponent=f(0, 1))


@st.composite
def batches(draw):
    n = draw(st.integers(0, 3))
    bad = draw(st.one_of(st.none(), st.none(), st.sampled_from(KEYS)))  # at most one odd array
    wild = draw(st.booleans())  # any values at all, not just stations near the fault
    out = {}
    for key, dtype in zip(KEYS, DTYPES):
        length = n if draw(st.integers(0, 4)) else draw(st.integers(0, 4))
        elements = None if wild and dtype is np.float32 else sane_station[key]
        out[key] = draw(arrays(1, dtype, elements=elements, dims=(length,), mutate=key == bad,
                               layouts=RUN_LAYOUTS))
    return out, wild


def expect_batch(batch):
    for key, dtype in zip(KEYS, DTYPES):
        if not array_ok(batch[key], 1, dtype):
            return Raises(TypeError, not_instance(batch[key], "ndarray"), key)
    if not all(flat_run_ok(batch[k]) for k in KEYS):
        return Raises(TypeError, "The given array is not contiguous or is misaligned.")
    n = batch["latitude_deg"].shape[0]
    for key in KEYS[1:]:
        m = batch[key].shape[0]
        if m < n:
            return Raises(ValueError, f"{key} has {m} {'entry' if m == 1 else 'entries'}, but "
                          f"latitude_deg has {n}")
    for i, kappa in enumerate(batch["kappa_s"][:n]):
        if kappa == np.inf:
            return Raises(ValueError, f"kappa_s must not be inf; got inf at index {i}")
    for i, x in enumerate(batch["q_frequency_exponent"][:n]):
        if not np.isfinite(x):
            return Raises(ValueError, f"q_frequency_exponent must be finite; got {fmt32(x)} at "
                          f"index {i}")
    return None


@given(scenarios(), batches())
def test_run_stations_returns_a_record_or_a_documented_error(s, batch_and_wild):
    batch, wild = batch_and_wild
    sim = build(s)
    if sim is None:
        return
    result = call(lambda: sim.run_stations(**batch), [sim, *batch.values()])
    expected = expect_batch(batch)
    if expected is not None:
        check_outcome(result, expected)
        return
    kind, value = result
    if kind == "raised":
        check_outcome(result, Raises(type(value), str(value)))  # records the outcome
        if isinstance(value, MemoryError):
            return
        assert is_panic(value), repr(value)
        assert any(re.fullmatch(p, str(value)) for p in STOPS), str(value)
        return
    check_outcome(result, None)
    n_station = batch["latitude_deg"].shape[0]
    assert type(value) is np.ndarray and value.dtype == np.float32
    assert value.shape[:2] == (3, n_station) and value.flags.c_contiguous
    assert value.flags.writeable
    # The same batch again gives the same bytes, NaN payloads included.
    assert sim.run_stations(**batch).tobytes() == value.tobytes()
    if not s["poison"] and not wild:
        assert np.isfinite(value).all()


@given(st.lists(st.integers(-2**31, 2**31 - 1), min_size=1, max_size=3))
def test_any_ray_code_ends_in_a_record_or_a_stop(rayset):
    # Every 32-bit code, however long its reverberating path would be, comes back
    # at once: a record, or the stop for a negative or an overlong code.
    sim = q.Simulator(
        q.HfConfig(source=q.SourceParameters(
            corner_frequency_constant=2.0, corner_frequency_alpha=0.5,
            rupture_velocity_fraction=0.8, rupture_velocity_shallow=0.6,
            rupture_velocity_deep=1.1, rupture_velocity_sigma=0.1),
            path=q.PathParameters(rayset=rayset, path_duration_model=0),
            site=q.SiteParameters(fmax_hz=20.0),
            record=q.RecordParameters(duration_s=4.0, dt=0.02)),
        q.SlipModel([q.FaultSegment(
            longitude_deg=0.0, latitude_deg=0.0, strike_deg=0.0, dip_deg=60.0, rake_deg=90.0,
            top_depth_km=3.0, subfault_length_km=2.0, subfault_width_km=2.0,
            hypocentre_along_strike_km=1.0, hypocentre_down_dip_km=1.0,
            **dict.fromkeys(["slip", "rise_time_s", "rupture_time_s", "stress_drop_bars"],
                            np.ones((1, 1), F32)))]),
        q.VelocityModel1D(thickness_km=np.array([2.0, 20.0, 0.0], F32),
                          vp_km_s=np.array([3.0, 6.0, 8.0]), vsh_km_s=np.array([1.8, 3.5, 4.6]),
                          density_g_cm3=np.array([2.2, 2.8, 3.3]),
                          quality_factor_p=np.full(3, 200.0, F32),
                          quality_factor_s=np.full(3, 100.0, F32), vs_moho_km_s=4.5))
    stations = dict(latitude_deg=np.zeros(1, F32), longitude_deg=np.full(1, 0.01, F32),
                    station_seed=np.ones(1, np.uint64), kappa_s=np.full(1, 0.03, F32),
                    q_frequency_exponent=np.full(1, 0.5, F32))
    kind, value = call(lambda: sim.run_stations(**stations))
    if any(code < 0 for code in rayset) or any(code > 2**19 for code in rayset):
        # A negative code stops the run; so does one whose path needs more than 2^20
        # legs (here every reverberation takes 4: down and up through two layers),
        # unless an earlier code's stop came first.
        assert kind == "raised" and is_panic(value), value
        assert re.fullmatch(STOPS[-4] + "|" + STOPS[-3], str(value)), str(value)
    else:
        assert kind == "ok" and value.shape == (3, 1, 200)
