"""Property-based fuzzing of argument binding: any number of positional arguments
and any set of keywords, known or not, in any order, to every constructor and to
run_stations. Binding fails with exactly the TypeError its rules give; once it
succeeds, the junk values fail their first conversion (a TypeError with a note)."""
from hypothesis import given
from hypothesis import strategies as st

import _quelmar as q
from conftest import make_config, make_segment, make_velocity
from strategies import Raises, call, check_outcome

KW = {
    q.FaultSegment: ((), ("longitude_deg", "latitude_deg", "strike_deg", "dip_deg", "rake_deg",
                          "top_depth_km", "subfault_length_km", "subfault_width_km",
                          "hypocentre_along_strike_km", "hypocentre_down_dip_km", "slip",
                          "rise_time_s", "rupture_time_s", "stress_drop_bars")),
    q.SlipModel: (("segments",), ()),
    q.VelocityModel1D: ((), ("thickness_km", "vp_km_s", "vsh_km_s", "density_g_cm3",
                             "quality_factor_p", "quality_factor_s", "vs_moho_km_s")),
    q.SourceParameters: ((), ("corner_frequency_constant", "corner_frequency_alpha",
                              "rupture_velocity_fraction", "rupture_velocity_shallow",
                              "rupture_velocity_deep", "rupture_velocity_sigma")),
    q.PathParameters: ((), ("rayset", "path_duration_model")),
    q.SiteParameters: ((), ("fmax_hz",)),
    q.RecordParameters: ((), ("duration_s", "dt")),
    q.HfConfig: ((), ("source", "path", "site", "record")),
    q.Simulator: (("config", "slip_model", "velocity_model"), ()),
}
RUN = ((), ("latitude_deg", "longitude_deg", "station_seed", "kappa_s", "q_frequency_exponent"))
STRANGERS = ["seed", "fmax", "Segments", "config_", "latitude", "x", "\u00e9t\u00e9", "self"]


def names(missing):
    quoted = [f"'{n}'" for n in missing]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def expect_binding(display, params, n_pos, keywords):
    positional, keyword_only = params
    if n_pos > len(positional):
        return Raises(TypeError, f"{display} takes {len(positional)} positional arguments but "
                      f"{n_pos} {'was' if n_pos == 1 else 'were'} given")
    filled = set(positional[:n_pos])
    for k in keywords:
        if k not in positional and k not in keyword_only:
            return Raises(TypeError, f"{display} got an unexpected keyword argument '{k}'")
        if k in filled:
            return Raises(TypeError, f"{display} got multiple values for argument '{k}'")
        filled.add(k)
    for kind, group in (("positional", positional), ("keyword", keyword_only)):
        missing = [p for p in group if p not in filled]
        if missing:
            return Raises(TypeError, f"{display} missing {len(missing)} required {kind} "
                          f"argument{'s' if len(missing) > 1 else ''}: {names(missing)}")
    return None


@st.composite
def calls(draw, params):
    positional, keyword_only = params
    n_pos = draw(st.integers(0, len(positional) + 1))
    known = list(positional) + list(keyword_only)
    chosen = draw(st.lists(st.sampled_from(known), unique=True)) if known else []
    # Mostly complete calls, so that binding also succeeds.
    if draw(st.booleans()):
        chosen = [k for k in known if k not in positional[:n_pos]]
        chosen = draw(st.permutations(chosen))
    if draw(st.integers(0, 3)) == 0:
        chosen.insert(draw(st.integers(0, len(chosen))), draw(st.sampled_from(STRANGERS)))
    return n_pos, list(chosen)


def check(target, display, params, n_pos, keywords):
    junk = object()
    args, kwargs = [junk] * n_pos, dict.fromkeys(keywords, junk)
    expected = expect_binding(display, params, n_pos, kwargs)
    result = call(lambda: target(*args, **kwargs), [junk])
    if expected is not None:
        check_outcome(result, expected)
    else:  # bound: the first conversion refuses the junk, naming its parameter
        kind, value = result
        assert kind == "raised" and type(value) is TypeError, value
        assert len(getattr(value, "__notes__", [])) == 1


@given(st.sampled_from(list(KW)).flatmap(lambda cls: st.tuples(st.just(cls), calls(KW[cls]))))
def test_constructor_binding(case):
    cls, (n_pos, keywords) = case
    check(cls, f"{cls.__name__}.__new__()", KW[cls], n_pos, keywords)


SIM = q.Simulator(make_config(), q.SlipModel([make_segment()]), make_velocity())


@given(calls(RUN))
def test_run_stations_binding(case):
    n_pos, keywords = case
    check(SIM.run_stations, "Simulator.run_stations()", RUN, n_pos, keywords)
