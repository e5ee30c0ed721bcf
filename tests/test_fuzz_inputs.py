"""Property-based fuzzing of every constructor: whatever the arguments, the call
returns a valid object holding exactly the converted values, or raises the one
documented exception type with its note. Never another type, never a crash, and
the arguments' reference counts come out as they went in."""
import numpy as np
from hypothesis import given
from hypothesis import strategies as st

import _quelmar as q
from conftest import SOURCE, cells, make_config, make_segment, make_velocity, peek, rayset_of
from strategies import (F32, LAYOUTS, RUN_LAYOUTS, CustomSeq, Raises, arrays, array_ok, bits32,
                        call, check_outcome, expect_f32, expect_float, expect_i32, expect_list,
                        flat_run_ok, float_like, fmt32, fmt64, int_like, junk_containers,
                        not_instance, sequences_of)

# ---- the four parameter classes and HfConfig ----------------------------------------


def first_failure(expected):
    return next((e for e in expected if isinstance(e, Raises)), None)


def make_parts(source=None, rayset=(1,), site=25.0, record=(10.0, 0.01)):
    return dict(source=q.SourceParameters(**(source or SOURCE)),
                path=q.PathParameters(rayset=list(rayset), path_duration_model=0),
                site=q.SiteParameters(fmax_hz=site),
                record=q.RecordParameters(duration_s=record[0], dt=record[1]))


def refused(field, rule, value, where=""):
    return Raises(ValueError, f"{field} must be {rule}; got {fmt32(value)}{where}")


def expect_source(expected):
    failure = first_failure(expected)
    if failure:
        return failure
    for k, v in list(zip(SOURCE, expected))[2:]:  # rupture-velocity factors and spread
        if not (np.isfinite(v) and v >= 0):
            return refused(k, "finite and not negative", v)
    return None


@given(st.lists(float_like, min_size=6, max_size=6))
def test_source_parameters(values):
    kw = dict(zip(SOURCE, values))
    expected = [expect_f32(v, k) for k, v in kw.items()]
    obj = check_outcome(call(lambda: q.SourceParameters(**kw), list(kw.values())),
                        expect_source(expected))
    if obj is not None:
        held = peek(q.HfConfig(**dict(make_parts(), source=obj))).source
        assert [bits32(getattr(held, k)) for k in SOURCE] == [bits32(e) for e in expected]


@given(float_like, float_like, float_like)
def test_site_and_record_parameters(fmax, duration, dt):
    expected_fmax = expect_f32(fmax, "fmax_hz")
    if not isinstance(expected_fmax, Raises) and expected_fmax <= 0:
        expected_fmax = refused("fmax_hz", "positive", expected_fmax)
    site = check_outcome(call(lambda: q.SiteParameters(fmax_hz=fmax)),
                         first_failure([expected_fmax]))
    expected = [expect_f32(duration, "duration_s"), expect_f32(dt, "dt")]
    record = check_outcome(call(lambda: q.RecordParameters(duration_s=duration, dt=dt)),
                           first_failure(expected))
    if site is not None and record is not None:
        held = peek(q.HfConfig(**dict(make_parts(), site=site, record=record)))
        assert bits32(held.site) == bits32(expect_f32(fmax, "fmax_hz"))
        assert [bits32(v) for v in held.record] == [bits32(e) for e in expected]


VARIANTS = {0: 0, 1: 1, 2: 2, 11: 3, 12: 4}

rayset_containers = st.one_of(
    sequences_of(int_like), junk_containers(),
    st.lists(st.integers(-2**31, 2**31 - 1), max_size=4).flatmap(lambda xs: st.sampled_from([
        (np.array(xs, np.int64), "seq"), (np.array(xs, np.float64), "seq"),
        (range(len(xs)), "seq"), (bytes(len(xs)), "seq"), (bytearray(b"\x01" * len(xs)), "seq"),
    ])),
)


@given(rayset_containers, int_like)
def test_path_parameters(rayset, code):
    container, kind = rayset
    codes = expect_list(container, kind, "rayset", expect_i32)
    model = expect_i32(code, "path_duration_model")
    if isinstance(codes, Raises):
        expected = codes
    elif isinstance(model, Raises):
        expected = model
    elif model not in VARIANTS:
        expected = Raises(ValueError, f"path_duration_model {model} is not one of 0, 1, 2, 11, 12")
    else:
        expected = None
    obj = check_outcome(call(lambda: q.PathParameters(rayset=container, path_duration_model=code),
                             [container, code]), expected)
    if obj is not None:
        held = peek(obj)
        assert rayset_of(held.rayset) == codes
        assert held.path_duration_model == VARIANTS[model]


PART_CLASSES = dict(source=q.SourceParameters, path=q.PathParameters, site=q.SiteParameters,
                    record=q.RecordParameters)


@given(st.one_of(st.just(["right"] * 4), st.lists(
    st.sampled_from(["right", "wrong", "none", "int", "sim"]), min_size=4, max_size=4)))
def test_hf_config(kinds):
    good = make_parts(rayset=(2, 1))
    pool = dict(wrong=q.SiteParameters(fmax_hz=1.0), none=None, int=7,
                sim=q.SlipModel([make_segment()]))
    kw = {}
    for (name, cls), kind in zip(PART_CLASSES.items(), kinds):
        kw[name] = good[name] if kind == "right" else pool[kind]
        if kind == "wrong" and name == "site":
            kw[name] = good["record"]
    expected = next((Raises(TypeError, not_instance(kw[n], c.__name__), n)
                     for n, c in PART_CLASSES.items() if type(kw[n]) is not c), None)
    obj = check_outcome(call(lambda: q.HfConfig(**kw), list(kw.values())), expected)
    if obj is not None:
        assert rayset_of(peek(obj).path.rayset) == [2, 1]


# ---- FaultSegment ------------------------------------------------------------------------

NUMBER_KEYS = ("longitude_deg", "latitude_deg", "strike_deg", "dip_deg", "rake_deg", "top_depth_km",
               "subfault_length_km", "subfault_width_km", "hypocentre_along_strike_km",
               "hypocentre_down_dip_km")
GRID_KEYS = ("slip", "rise_time_s", "rupture_time_s", "stress_drop_bars")


def expect_segment(kw):
    numbers = [expect_f32(kw[k], k) for k in NUMBER_KEYS]
    failure = first_failure(numbers)
    if failure:
        return failure
    grids = [kw[k] for k in GRID_KEYS]
    for k, g in zip(GRID_KEYS, grids):
        if not array_ok(g, 2, np.float32):
            return Raises(TypeError, not_instance(g, "ndarray"), k)
    shapes = [g.shape for g in grids]
    if any(s != shapes[0] for s in shapes):
        return Raises(ValueError, "slip {}, rise_time_s {}, rupture_time_s {} and stress_drop_bars "
                      "{} must have the same shape -- they describe the same subfaults".format(
                          *[f"({r}, {c})" for r, c in shapes]))
    for s in np.asarray(grids[3]).reshape(-1):  # logical row-major order
        if not (s > 0 and np.isfinite(s)):
            return Raises(ValueError, "stress_drop_bars must be positive and finite everywhere; "
                          f"got {fmt32(s)}")
    if 0 in shapes[0]:
        return Raises(ValueError, "a segment needs at least one subfault; got an empty grid")
    field = dict(zip(NUMBER_KEYS, numbers))
    if not (np.isfinite(field["top_depth_km"]) and field["top_depth_km"] >= 0):
        return refused("top_depth_km", "finite and not negative", field["top_depth_km"])
    for k in ("subfault_length_km", "subfault_width_km"):
        if not (np.isfinite(field[k]) and field[k] > 0):
            return refused(k, "positive and finite", field[k])
    times = np.asarray(grids[2])
    for (r, c), t in np.ndenumerate(times):
        if not np.isfinite(t):
            return refused("rupture_time_s", "finite everywhere", t, f" at row {r}, column {c}")
    return numbers


positive_f32 = st.floats(min_value=float(np.float32(1e-45)),
                         max_value=float(np.finfo(np.float32).max), width=32)


@st.composite
def segment_arguments(draw):
    # Mostly plain numbers, so that the grids are reached.
    nums = {k: draw(float_like if draw(st.integers(0, 12)) == 0 else st.floats(width=32))
            for k in NUMBER_KEYS}
    shape = (draw(st.integers(0, 3)), draw(st.integers(0, 3)))
    same = draw(st.integers(0, 5)) > 0
    bad = draw(st.one_of(st.none(), st.sampled_from(GRID_KEYS)))  # at most one wrong grid
    grids = {}
    for k in GRID_KEYS:
        elements = positive_f32 if k == "stress_drop_bars" and draw(st.integers(0, 3)) else None
        grids[k] = draw(arrays(2, np.float32, elements=elements, max_side=3,
                               dims=shape if same else None, mutate=k == bad,
                               layouts=LAYOUTS[:-1]))
    if draw(st.integers(0, 6)) == 0:  # one array for all four grids
        grids = dict.fromkeys(GRID_KEYS, grids["stress_drop_bars"])
    return {**nums, **grids}


@given(segment_arguments())
def test_fault_segment(kw):
    expected = expect_segment(kw)
    obj = check_outcome(call(lambda: q.FaultSegment(**kw), list(kw.values())),
                        expected if isinstance(expected, Raises) else None)
    if obj is None:
        return
    held = peek(obj)
    rows, cols = kw["slip"].shape
    assert (held.n_down, held.n_along) == (rows, cols)
    logical = [np.asarray(kw[k], F32).reshape(-1) for k in GRID_KEYS]
    got = [[bits32(v) for v in cell] for cell in cells(held)]
    assert got == [[bits32(g[i]) for g in logical] for i in range(rows * cols)]
    field = dict(zip(NUMBER_KEYS, expected))
    assert bits32(held.dip_deg) == bits32(field["dip_deg"])
    assert bits32(held.hypocentre_down_dip_km) == bits32(field["hypocentre_down_dip_km"])


# ---- SlipModel ---------------------------------------------------------------------------

SEGMENTS = [make_segment((1, 2)), make_segment((2, 2)), make_segment((3, 1))]

segment_items = st.one_of(st.sampled_from(SEGMENTS), st.sampled_from(
    [None, 1, "seg", make_config(), [SEGMENTS[0]]]))


def expect_segment_item(item, param):
    if isinstance(item, q.FaultSegment):
        return item
    return Raises(TypeError, not_instance(item, "FaultSegment"), param)


@given(st.one_of(sequences_of(segment_items), junk_containers(),
                 st.just((SEGMENTS[0], "not-seq"))))
def test_slip_model(segments):
    container, kind = segments
    items = expect_list(container, kind, "segments", expect_segment_item)
    if isinstance(items, Raises):
        expected = items
    elif not items:
        expected = Raises(ValueError, "a slip model needs at least one segment")
    else:
        expected = None
    watch = [container] + (list(container.items) if isinstance(container, CustomSeq) else [])
    obj = check_outcome(call(lambda: q.SlipModel(container), watch), expected)
    if obj is not None:
        assert obj.subfault_count == sum(peek(s).n_along * peek(s).n_down for s in items)


# ---- VelocityModel1D ------------------------------------------------------------------------

LAYER_KEYS = ("thickness_km", "vp_km_s", "vsh_km_s", "density_g_cm3", "quality_factor_p",
              "quality_factor_s")
LAYER_TYPES = (np.float32, np.float64, np.float64, np.float64, np.float32, np.float32)
f64_values = st.one_of(st.floats(), st.sampled_from([np.nan, np.inf, -np.inf, 0.0, -0.0, 5e-324]))


@st.composite
def velocity_arguments(draw):
    n = draw(st.integers(0, 4))
    same = draw(st.integers(0, 4)) > 0
    bad = draw(st.one_of(st.none(), st.sampled_from(LAYER_KEYS)))  # at most one wrong array
    kw = {}
    for k, t in zip(LAYER_KEYS, LAYER_TYPES):
        elements = f64_values if t is np.float64 else None
        kw[k] = draw(arrays(1, t, elements=elements, max_side=4, dims=(n,) if same else None,
                            mutate=k == bad, layouts=RUN_LAYOUTS))
    kw["vs_moho_km_s"] = draw(st.one_of(float_like, st.floats(0, 10)))
    return kw


def expect_velocity(kw):
    for k, t in zip(LAYER_KEYS, LAYER_TYPES):
        if not array_ok(kw[k], 1, t):
            return Raises(TypeError, not_instance(kw[k], "ndarray"), k)
    vs_moho = expect_float(kw["vs_moho_km_s"], "vs_moho_km_s")
    if isinstance(vs_moho, Raises):
        return vs_moho
    arrays_ = [kw[k] for k in LAYER_KEYS]
    if not all(flat_run_ok(a) for a in arrays_):
        return Raises(TypeError, "The given array is not contiguous or is misaligned.")
    lengths = [a.shape[0] for a in arrays_]
    if any(n != lengths[0] for n in lengths):
        return Raises(ValueError, "every layer property must have one entry per layer. Got lengths "
                      f"[{', '.join(map(str, lengths))}] for (thickness_km, vp_km_s, vsh_km_s, "
                      "density_g_cm3, quality_factor_p, quality_factor_s)")
    vs = kw["vsh_km_s"]
    if lengths[0] == 0:
        return Raises(ValueError, "velocity model has no layers")
    if vs[0] >= vs_moho:
        return Raises(ValueError, f"the first layer already reaches vs_moho = {fmt64(vs_moho)} "
                      "km/s, so there is no model above the Moho to simulate")
    count = next((i + 1 for i in range(1, lengths[0]) if vs[i] >= vs_moho), lengths[0])
    thickness = list(kw["thickness_km"][:count - 1]) + [F32(0.0)]  # the half-space has none
    for i, h in enumerate(thickness):
        if not (np.isfinite(h) and h >= 0):
            return refused("thickness_km", "finite and not negative", h, f" in layer {i}")
    for k in ("vsh_km_s", "density_g_cm3"):
        for i, v in enumerate(kw[k][:count]):
            if not (np.isfinite(v) and v > 0):
                return Raises(ValueError, f"{k} must be positive and finite; got {fmt64(v)} in "
                              f"layer {i}")
    for i, v in enumerate(kw["quality_factor_s"][:count]):
        if not v > 0:
            return refused("quality_factor_s", "positive", v, f" in layer {i}")
    return count


@given(velocity_arguments())
def test_velocity_model(kw):
    expected = expect_velocity(kw)
    obj = check_outcome(call(lambda: q.VelocityModel1D(**kw), list(kw.values())),
                        expected if isinstance(expected, Raises) else None)
    if obj is not None:
        assert obj.layer_count == expected
        layers = peek(obj)
        assert [bits32(l.quality_factor_s) for l in layers] == \
            [bits32(v) for v in kw["quality_factor_s"][:expected]]
        assert layers[-1].thickness_km == 0.0


# ---- Simulator -------------------------------------------------------------------------------

@given(st.one_of(st.sampled_from([["config", "slip", "vel"], ["config", "diced", "vel"]]),
                 st.lists(st.sampled_from([None, "config", "slip", "vel", "diced"]), min_size=3,
                          max_size=3)),
       st.lists(float_like, min_size=4, max_size=4))
def test_simulator(kinds, numbers):
    # Inputs of any accepted values run through the whole construction; the
    # only reported failure of these is a dicing difference.
    length, width, duration, dt = (expect_f32(v, "") for v in numbers)
    def usable(size):  # a size that FaultSegment accepts and whose moment stays finite, else 2
        ok = not isinstance(size, Raises) and 0.01 < size < 1e6
        return size if ok else F32(2.0)
    length, width = usable(length), usable(width)
    record = tuple(float(v) if not isinstance(v, Raises) else 1.0 for v in (duration, dt))
    seg = make_segment(subfault_length_km=float(length), subfault_width_km=float(width))
    pool = dict(config=q.HfConfig(**make_parts(record=record)), slip=q.SlipModel([seg, seg]),
                vel=make_velocity(), diced=q.SlipModel([seg, make_segment()]))
    args = [pool[k] if k else None for k in kinds]
    expected = None
    for arg, cls, name in zip(args, (q.HfConfig, q.SlipModel, q.VelocityModel1D),
                              ("config", "slip_model", "velocity_model")):
        if type(arg) is not cls:
            expected = Raises(TypeError, not_instance(arg, cls.__name__), name)
            break
    if expected is None:
        other = (length, width) if args[1] is pool["slip"] else (F32(7.0), F32(8.0))  # conftest's
        for field, value, reference in zip(("subfault_length_km", "subfault_width_km"), other,
                                           (length, width)):
            if not value == reference:  # exact f32 equality: NaN differs from everything
                expected = Raises(ValueError, f"segment 1 has {field} = {fmt32(value)} km, but "
                                  f"segment 0 has {fmt32(reference)} km; every segment must be "
                                  "diced the same way because the subfault size is one quantity "
                                  "for the whole run")
                break
    obj = check_outcome(call(lambda: q.Simulator(*args), args), expected)
    if obj is not None:
        assert peek(obj).subfault_count == 12
