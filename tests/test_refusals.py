# Every refusal of the nine classes and of run_stations: exception type, exact message and the note
# naming the argument, and which check wins when several fail. Then values with a meaning of their
# own, which must stay accepted.
from functools import partial as call

import numpy as np
import pytest

import _quelmar as q
from conftest import (CFG, F32, GRIDS, PARTS, SEG, SIM, SLIP, SOURCE, VEL, Odd, check_error, make_config, make_segment,
                      make_velocity, stations)

T, V, O, P = TypeError, ValueError, OverflowError, "pyo3_runtime.PanicException"
NAN, INF = float("nan"), float("inf")


def src(**kw): return call(q.SourceParameters, **{**SOURCE, **kw})
def path(rayset=(1,), code=0): return call(q.PathParameters, rayset=rayset, path_duration_model=code)
def config(**kw): return call(q.HfConfig, **{**PARTS, **kw})
def run(sim=SIM, n=4, **kw): return call(sim.run_stations, **{**stations(n), **kw})
def grid(value, at, base=1.0): return np.where(np.arange(4).reshape(2, 2) == at, F32(value), F32(base))
def with_slip(g): return call(q.Simulator, CFG, q.SlipModel([make_segment((2, 2), slip=g)]), VEL)
def long_sim(duration, dt): return q.Simulator(make_config(duration_s=duration, dt=dt), SLIP, VEL)
def diced(key, *x): return call(q.Simulator, CFG, q.SlipModel([make_segment(**{key: v}) for v in x]), VEL)
def placed(shape, **kw): return call(q.Simulator, CFG,
                                     q.SlipModel([make_segment(shape, strike_deg=0, dip_deg=90, **kw)]), VEL)
def alpha(a): return call(q.Simulator, config(source=src(corner_frequency_alpha=a)())(),
                          q.SlipModel([make_segment(dip_deg=30, rake_deg=90)]), VEL)  # dip and rake factors 1


NI = "'{}' object is not an instance of '{}'".format
NOT_REAL, NOT_INT = "must be real number, not {}".format, "'{}' object cannot be interpreted as an integer".format
MISSING = "{}.__new__() missing {} required {} argument{}: {}".format
SHAPES = "slip {}, rise_time_s {}, rupture_time_s {} and stress_drop_bars {} must have the same shape -- they " \
         "describe the same subfaults".format
DICING = "segment {} has {} = {} km, but segment 0 has {} km; every segment must be diced the same way because the " \
         "subfault size is one quantity for the whole run".format
STRESS = "stress_drop_bars must be positive and finite everywhere; got {}".format
RUPTURE = "rupture_time_s must be finite everywhere; got {} at row {}, column {}".format
NON_NEGATIVE = "{} must be finite and not negative; got {}".format
POSITIVE = "{} must be positive and finite; got {}".format
SILENT = "no subfault radiates: every moment weight (slip x rigidity x subfault area) is 0.001 or less, so every " \
         "record would be zero; a subfault needs slip (in cm) and a centre below the surface (one within 0.0001 km " \
         "of the datum or above it lies in the air layer, whose rigidity is almost nil)"
OFF = "segment 0 puts the centre of the subfault at row 0, column {} at latitude {}, longitude {}, off the globe; " \
      "subfault sizes are in km".format
CORNER = "segment 0 has a corner-frequency factor of {} with corner_frequency_alpha = {}; the factor " \
         "corner_frequency_constant x (1 + dip factor x rake factor x corner_frequency_alpha) must be positive " \
         "and finite".format
FLAT = "The given array is not contiguous or is misaligned."
TOO_LARGE, DIV = "number too large to fit in target type", "integer division or modulo by zero"

ROWS = [  # call, exception, message[, the parameter the note names]
    # binding: positional count, unknown and repeated keywords, missing ones (positional listed first)
    (call(q.FaultSegment, 1.0), T, "FaultSegment.__new__() takes 0 positional arguments but 1 was given"),
    (call(q.Simulator, 1, 2, 3, 4), T, "Simulator.__new__() takes 3 positional arguments but 4 were given"),
    (call(SIM.run_stations, *range(5)), T, "Simulator.run_stations() takes 0 positional arguments but 5 were given"),
    (call(q.RecordParameters, duration_s="x", dt=1, extra=1), T,
     "RecordParameters.__new__() got an unexpected keyword argument 'extra'"),
    (run(seed=1), T, "Simulator.run_stations() got an unexpected keyword argument 'seed'"),
    (call(q.SlipModel, [], segments=[]), T, "SlipModel.__new__() got multiple values for argument 'segments'"),
    (call(q.RecordParameters, duration_s="x"), T, MISSING("RecordParameters", 1, "keyword", "", "'dt'")),
    (call(q.HfConfig, source=1, path=2), T, MISSING("HfConfig", 2, "keyword", "s", "'site' and 'record'")),
    (call(q.SourceParameters, corner_frequency_constant=1, corner_frequency_alpha=1, rupture_velocity_fraction=1), T,
     MISSING("SourceParameters", 3, "keyword", "s",
             "'rupture_velocity_shallow', 'rupture_velocity_deep', and 'rupture_velocity_sigma'")),
    (call(q.Simulator, velocity_model=1), T, MISSING("Simulator", 2, "positional", "s", "'config' and 'slip_model'")),
    (call(SIM.run_stations, latitude_deg=np.ones(1, F32)), T, "Simulator.run_stations() missing 4 required keyword "
     "arguments: 'longitude_deg', 'station_seed', 'kappa_s', and 'q_frequency_exponent'"),
    # numbers (float32, vs_moho_km_s float64); conversion errors keep their type; the first bad one wins
    (call(make_segment, dip_deg="x"), T, NOT_REAL("str"), "dip_deg"),
    (call(make_segment, dip_deg=Odd()), ZeroDivisionError, DIV, "dip_deg"),
    (src(rupture_velocity_deep="x", rupture_velocity_sigma=None), T, NOT_REAL("str"), "rupture_velocity_deep"),
    (call(make_velocity, thickness_km=np.ones(8, F32)[::2], vs_moho=b"4"), T, NOT_REAL("bytes"), "vs_moho_km_s"),
    (call(make_velocity, vs=(3.2,), vs_moho=3.2), V, "the first layer already reaches vs_moho = 3.2 km/s, so "
     "there is no model above the Moho to simulate"),  # as float32 it would not print as 3.2
    # 32-bit integers: the duration code and the ray codes
    (path(code=2**31), O, TOO_LARGE, "path_duration_model"),
    (path(code=-2**31 - 1), O, "number too small to fit in target type", "path_duration_model"),
    (path(rayset=[0, "1"]), T, NOT_INT("str"), "rayset"),
    (path(rayset=[2**31], code=99), O, TOO_LARGE, "rayset"),
    *[(path(code=c), V, f"path_duration_model {c} is not one of 0, 1, 2, 11, 12") for c in (3, -1, 10, 13, 2**31 - 1)],
    # sequences
    (path(rayset="12"), T, "Can't extract `str` to `Vec`", "rayset"),
    (path(rayset=(x for x in [1])), T, NI("generator", "Sequence"), "rayset"),
    (path(rayset=Odd()), ZeroDivisionError, DIV, "rayset"),
    (path(rayset=type("NoIter", (list,), {"__iter__": lambda s: 1 // 0})([1])), ZeroDivisionError, DIV, "rayset"),
    (call(q.SlipModel, SEG), T, NI("FaultSegment", "Sequence"), "segments"),
    (call(q.SlipModel, [SEG, 1, None]), T, NI("int", "FaultSegment"), "segments"),
    (call(q.SlipModel, ()), V, "a slip model needs at least one segment"),
    # instances (the first wrong one is named)
    (config(source=PARTS["path"]), T, NI("PathParameters", "SourceParameters"), "source"),
    (config(site=PARTS["record"], record=None), T, NI("RecordParameters", "SiteParameters"), "site"),
    (config(record=1.0), T, NI("float", "RecordParameters"), "record"),
    (call(q.Simulator, SLIP, CFG, VEL), T, NI("SlipModel", "HfConfig"), "config"),
    (call(q.Simulator, CFG, [SLIP], None), T, NI("list", "SlipModel"), "slip_model"),
    (call(q.Simulator, CFG, SLIP, [VEL]), T, NI("list", "VelocityModel1D"), "velocity_model"),
    # arrays: exactly the dtype (byte order included) and number of dimensions, nothing converted
    (call(make_segment, slip=None), T, "'None' is not an instance of 'ndarray'", "slip"),
    (call(make_segment, slip=np.ones((2, 3)), stress_drop_bars=None), T, NI("ndarray", "ndarray"), "slip"),
    (call(make_segment, rupture_time_s=np.ones(6, F32)), T, NI("ndarray", "ndarray"), "rupture_time_s"),
    (call(make_segment, stress_drop_bars=np.ones((2, 3), ">f4")), T, NI("ndarray", "ndarray"), "stress_drop_bars"),
    (run(station_seed=np.zeros(4, np.int64)), T, NI("ndarray", "ndarray"), "station_seed"),
    # 1-D arrays are one flat run: checked after every dtype, before the lengths
    (call(make_velocity, quality_factor_s=np.ones(6, F32)[::2]), T, FLAT),
    (run(latitude_deg=np.zeros(8, F32)[::2], kappa_s=np.zeros(4)), T, NI("ndarray", "ndarray"), "kappa_s"),
    (run(n=2, q_frequency_exponent=np.frombuffer(bytes(9), F32, offset=1)), T, FLAT),
    # shapes and lengths
    (call(make_segment, **{k: np.ones(s, F32) for k, s in zip(GRIDS, [(1, 2), (3, 4), (5, 6), (7, 8)])}), V,
     SHAPES("(1, 2)", "(3, 4)", "(5, 6)", "(7, 8)")),
    (call(make_segment, stress_drop_bars=-np.ones((3, 2), F32)), V, SHAPES("(2, 3)", "(2, 3)", "(2, 3)", "(3, 2)")),
    *[(call(make_segment, s), V, "a segment needs at least one subfault; got an empty grid") for s in [(0, 5), (4, 0)]],
    (call(make_velocity, vs=range(6), thickness_km=np.ones(1, F32), vp_km_s=np.ones(2), vsh_km_s=np.ones(3),
          density_g_cm3=np.ones(4), quality_factor_p=np.ones(5, F32)), V, "every layer property must have one entry "
     "per layer. Got lengths [1, 2, 3, 4, 5, 6] for (thickness_km, vp_km_s, vsh_km_s, density_g_cm3, "
     "quality_factor_p, quality_factor_s)"),
    (call(make_velocity, vs=()), V, "velocity model has no layers"),
    (diced("subfault_length_km", 2, 2, 0.1), V, DICING(2, "subfault_length_km", "0.1", "2")),
    (diced("subfault_width_km", 8, 1.5), V, DICING(1, "subfault_width_km", "1.5", "8")),
    # values that would give records that look real but are not (the first bad one, in row-major order)
    (call(make_segment, (2, 2), stress_drop_bars=np.array([[1, -1], [0, 2]], F32, order="F")), V, STRESS("-1")),
    (call(make_segment, (2, 2), stress_drop_bars=grid(NAN, 2)), V, STRESS("NaN")),
    (call(make_segment, (2, 2), rupture_time_s=grid(NAN, 2, 0.0)), V, RUPTURE("NaN", 1, 0)),
    (call(make_segment, (2, 2), rupture_time_s=grid(-INF, 1)), V, RUPTURE("-inf", 0, 1)),
    *[(call(make_segment, top_depth_km=x), V, f"top_depth_km must be finite; got {t}") for x, t in [(NAN, "NaN"),
                                                                                             (-INF, "-inf")]],
    *[(call(make_segment, **{k: x}), V, f"{k} must {rule}; got {t}") for k, x, rule, t in [
        ("longitude_deg", 1e39, "be finite", "inf"), ("latitude_deg", -90.5, "be within [-90, 90]", "-90.5"),
        ("latitude_deg", NAN, "be within [-90, 90]", "NaN"), ("strike_deg", NAN, "be finite", "NaN"),
        ("dip_deg", -INF, "be finite", "-inf"), ("rake_deg", INF, "be finite", "inf")]],
    (call(make_segment, subfault_length_km=0.0), V, POSITIVE("subfault_length_km", "0")),
    (call(make_segment, subfault_width_km=NAN), V, POSITIVE("subfault_width_km", "NaN")),
    (call(make_velocity, thickness_km=np.array([2, -1, 2, 2], F32)), V, NON_NEGATIVE("thickness_km", "-1 in layer 1")),
    (call(make_velocity, vs=(3.0, -3.5, 4.6, 4.7)), V, POSITIVE("vsh_km_s", "-3.5 in layer 1")),
    (call(make_velocity, density_g_cm3=np.array([2.7, 2.7, 0.0, 2.7])), V, POSITIVE("density_g_cm3", "0 in layer 2")),
    (call(make_velocity, density_g_cm3=np.array([1e-40, 2.7, 2.7, 2.7])), V,
     f"density_g_cm3 must lie within the 32-bit float range; got 0.{'0' * 39}1 in layer 0"),
    (call(make_velocity, density_g_cm3=np.array([2.7, 1e38, 2.7, 2.7])), V, "density_g_cm3 must keep vsh_km_s x "
     f"density_g_cm3 within the 32-bit float range; got 1{'0' * 38} in layer 1"),
    (call(q.RecordParameters, duration_s=-1.5, dt=-0.005), V, "dt must not be negative; got -0.005"),
    (call(q.Simulator, config(source=src(rupture_velocity_sigma=300)())(), SLIP, VEL), V,
     "segment 0 can reach a corner frequency of 0 Hz with a corner-frequency factor of 1.5416666: "
     "rupture_velocity_sigma or the rupture_velocity factors scale the rupture velocity below the float range"),
    (call(make_velocity, quality_factor_s=np.array([300, 0, 300, 300], F32)), V,
     "quality_factor_s must be positive; got 0 in layer 1"),
    *[(src(**{k: x}), V, POSITIVE(k, t)) for k, x, t in [("rupture_velocity_fraction", INF, "inf"),
                                                        ("rupture_velocity_shallow", 0.0, "0"),
                                                        ("rupture_velocity_deep", -0.0, "-0")]],
    (src(rupture_velocity_sigma=NAN), V, NON_NEGATIVE("rupture_velocity_sigma", "NaN")),
    *[(src(corner_frequency_constant=x), V, POSITIVE("corner_frequency_constant", t)) for x, t in [
        (0.0, "0"), (-1.5, "-1.5"), (NAN, "NaN"), (INF, "inf")]],
    (src(corner_frequency_alpha=-INF), V, "corner_frequency_alpha must be finite; got -inf"),
    *[(alpha(a), V, CORNER(f, a)) for a, f in [(-5, "-6"), (-1, "0")]],  # 1.5 / (1 / (1 - 5)), 1.5 / (1 / 0)
    (placed((1, 2), latitude_deg=80, subfault_length_km=3000), V, OFF(1, "93.43325", 1)),  # 1500 km north: metres
    (placed((1, 1), latitude_deg=-90), V, OFF(0, "-90", "-inf")),  # on the pole no east step has a length
    (placed((1, 1), top_depth_km=6371), V, "segment 0 puts the centre of the subfault at row 0, column 0 at a depth of "
     "6375 km, below the Earth's radius of 6371 km; top_depth_km and subfault sizes are in km"),
    (call(q.Simulator, make_config(rayset=(1, 2**20)), SLIP, VEL), V, "ray code 1048576 of rayset needs up to 2097152 "
     "legs in this velocity model, more than the 1048576 a ray may have: each pair of the code above 2 adds a "
     "reverberation between the surface and the Moho"),
    (call(q.Simulator, make_config(rayset=(1, 0)), q.SlipModel([make_segment(top_depth_km=1)]),
          make_velocity(vp_km_s=np.array([0.01, 6, 6, 6]))), V, "ray code 0 cannot start at the subfault at row 0, "
     "column 0 of segment 0: its centre, 1.2790259 km deep, lies in layer 0, above the receivers on that layer's "
     "bottom (a velocity model whose top layer has vp_km_s 0.01 or less, or is 0.001 km thick or less, gets no air "
     "layer)"),
    (call(q.Simulator, make_config(rayset=(0, 1, 3)), SLIP, make_velocity(vs=(3.0,))), V,
     "ray code 3 reflects from the Moho, but the velocity model has none: its only layer is the half-space, which "
     "carries ray codes 0 and 1 only"),
    *[(call(q.SiteParameters, fmax_hz=x), V, f"fmax_hz must be positive; got {t}") for x, t in [
        (0.0, "0"), (NAN, "NaN")]],
    (with_slip(grid(NAN, 2)), V, "segment 0 has slip = NaN at row 1, column 0; every slip must be finite"),
    *[(call(q.Simulator, CFG, q.SlipModel([make_segment((2, 2), **kw)]), VEL), V, SILENT) for kw in [
        dict(slip=np.zeros((2, 2), F32)), dict(top_depth_km=-1.2)]],  # no slip; every cell centre above the surface
    (with_slip(np.full((2, 2), 1e30, F32)), V,
     "the total moment of the slip model is inf dyne-cm, beyond the float range; slips are in cm"),
    (with_slip(np.array([[1, 1], [1, -3]], F32)), V, "the total moment of the slip model is 0 dyne-cm; "
     "it must be positive: the negative slips outweigh the positive ones"),
    (call(q.Simulator, CFG, q.SlipModel([make_segment((2, 2), stress_drop_bars=grid(1e18, 2))]), VEL), V,
     "segment 0 has stress_drop_bars = 1000000000000000000 at row 1, column 0, which gives a subfault moment of inf "
     "dyne-cm and a shape factor of 0; both must be positive and finite (stress drops are in bars)"),
    (call(q.Simulator, config(source=src(rupture_velocity_sigma=0, rupture_velocity_fraction=1e30)())(), SLIP, VEL), V,
     "segment 0 reaches a corner frequency of 331815800000000000000000000000 Hz with a corner-frequency factor of "
     "1.5416666; its square is beyond the float range: corner_frequency_constant, corner_frequency_alpha or the "
     "rupture_velocity factors are far too large"),
    (run(q_frequency_exponent=np.array([0.6, NAN, 0.6, -INF], F32)), V,
     "q_frequency_exponent must be finite; got NaN at index 1"),
    *[(run(**{k: np.array([0, 0, x, 0], F32)}), V, f"{k} must {rule}; got {t} at index 2") for k, x, rule, t in [
        ("latitude_deg", 90.5, "be within [-90, 90]", "90.5"), ("latitude_deg", NAN, "be within [-90, 90]", "NaN"),
        ("longitude_deg", -INF, "be finite", "-inf"), ("kappa_s", NAN, "not be inf or NaN", "NaN")]],
    # records a run cannot index
    *[(call(long_sim, d, dt), V, f"duration_s = {t} s and dt = {dt:g} s give a record of {n} samples; a run can "
       "index at most 2147483647") for d, dt, t, n in [(10.0, 0.0, 10, "inf"), (2.0**31, 1.0, *["2147483600"] * 2)]],
    *[(call(long_sim, d, dt), V, f"duration_s = {t} s and dt = {dt:g} s give no record length; dt must not be 0")
      for d, dt, t in [(-1.0, 0.0, "-1"), (NAN, -0.0, "NaN")]],
]


@pytest.mark.parametrize("row", ROWS, ids=[f"{i}:{r[2][:50]}" for i, r in enumerate(ROWS)])
def test_refused(row):
    check_error(*row)


ACCEPTED = [  # Q = inf (no attenuation), NaN Moho (no cut), no perturbation, no fmax filter, unused fields, ...
    call(make_velocity, vs=(3.0, 3.5, 4.6, NAN, -1), density_g_cm3=np.array([2.7, 2.7, 2.7, 0, NAN]),
         quality_factor_s=np.full(5, INF, F32), thickness_km=np.array([2, 0, 2, 2, 2], F32)),
    call(make_segment, top_depth_km=-0.25), call(make_segment, top_depth_km=-1e30),  # top edges above the datum
    call(make_segment, top_depth_km=0.0, hypocentre_along_strike_km=-1.0, hypocentre_down_dip_km=-INF, dip_deg=-3,
         rise_time_s=np.full((2, 3), NAN, F32), slip=np.array([[-1, NAN, INF]] * 2, F32)),  # slip: the Simulator's
    src(rupture_velocity_sigma=0, rupture_velocity_deep=1e-45, corner_frequency_alpha=-1e30),  # Simulator: per segment
    call(q.SiteParameters, fmax_hz=INF), call(q.RecordParameters, duration_s=-1e40, dt=NAN),
    call(q.RecordParameters, duration_s=2.0**31 - 128, dt=1), call(q.RecordParameters, duration_s=0, dt=0),
    path(rayset=[-2**31, 2**31 - 1, 0], code=np.int8(12)),
]


@pytest.mark.parametrize("build", ACCEPTED)
def test_accepted(build):
    assert type(build()).__module__ == "builtins"
