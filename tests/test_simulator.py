"""The Simulator constructor."""
import gc

import pytest

import _quelmar as q
from conftest import check_error, make_config, make_segment, make_velocity, peek, rayset_of

SIM_TEXT = ("segment {} has {} = {} km, but segment 0 has {} km; every segment must be diced the "
            "same way because the subfault size is one quantity for the whole run")


def test_builds_and_owns_its_copies():
    cfg, slip, vel = make_config(rayset=(3, -1)), q.SlipModel([make_segment()]), make_velocity()
    by_keyword = q.Simulator(velocity_model=vel, config=cfg, slip_model=slip)
    sim = q.Simulator(cfg, slip, velocity_model=vel)
    for s in (sim, by_keyword):
        v = peek(s)
        assert v.n_time == 1000 and v.dt == pytest.approx(0.01)
        assert v.subfault_count == 6
        assert rayset_of(v.rayset) == [3, -1]
        assert v.rupture_velocity_fraction == pytest.approx(0.8)
        assert v.corner_frequency_constant == 1.5
        # The air layer sits on top of the three Moho-truncated layers.
        assert (v.ray_layers.end - v.ray_layers.begin) // 48 == 4
    del cfg, slip, vel, by_keyword
    gc.collect()
    assert peek(sim).subfault_count == 6 and rayset_of(peek(sim).rayset) == [3, -1]


@pytest.mark.parametrize("args, message, note", [
    (lambda c, s, v: (s, c, v), "'SlipModel' object is not an instance of 'HfConfig'", "config"),
    (lambda c, s, v: (c, None, v), "'None' is not an instance of 'SlipModel'", "slip_model"),
    (lambda c, s, v: (c, s, [v]), "'list' object is not an instance of 'VelocityModel1D'",
     "velocity_model"),
    (lambda c, s, v: (c, [s], None), "'list' object is not an instance of 'SlipModel'",
     "slip_model"),
])
def test_argument_checks(args, message, note):
    parts = args(make_config(), q.SlipModel([make_segment()]), make_velocity())
    check_error(lambda: q.Simulator(*parts), TypeError, message, note=note)


@pytest.mark.parametrize("second, third, text", [
    (dict(subfault_length_km=2.5), None, SIM_TEXT.format(1, "subfault_length_km", "2.5", "2")),
    (dict(subfault_width_km=1.5), None, SIM_TEXT.format(1, "subfault_width_km", "1.5", "2")),
    ({}, dict(subfault_length_km=0.1), SIM_TEXT.format(2, "subfault_length_km", "0.1", "2")),
])
def test_dicing_error(second, third, text):
    base = dict(subfault_length_km=2.0, subfault_width_km=2.0)
    segments = [make_segment(**base), make_segment(**{**base, **second})]
    if third is not None:
        segments.append(make_segment(**{**base, **third}))
    check_error(lambda: q.Simulator(make_config(), q.SlipModel(segments), make_velocity()),
                ValueError, text)


def test_record_length_saturates_without_failing():
    sim = q.Simulator(make_config(duration_s=10.0, dt=0.0), q.SlipModel([make_segment()]),
                      make_velocity())
    assert peek(sim).n_time == 2**64 - 1
