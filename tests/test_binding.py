"""Argument binding and the shared conversions, through the classes that use them."""
import numpy as np
import pytest

import _quelmar as q
from conftest import check_error, make_segment, make_velocity, peek, rayset_of, segment_kwargs


@pytest.mark.parametrize("call, message", [
    (lambda: q.SiteParameters(1.0),
     "SiteParameters.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: q.HfConfig(1, 2),
     "HfConfig.__new__() takes 0 positional arguments but 2 were given"),
    (lambda: q.SlipModel([], []),
     "SlipModel.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: q.Simulator(1, 2, 3, 4),
     "Simulator.__new__() takes 3 positional arguments but 4 were given"),
    (lambda: q.SiteParameters(fmax=1.0),
     "SiteParameters.__new__() got an unexpected keyword argument 'fmax'"),
    (lambda: q.SiteParameters(fmax_hz=1.0, **{"fmax\u00e9": 1}),
     "SiteParameters.__new__() got an unexpected keyword argument 'fmax\u00e9'"),
    (lambda: q.SlipModel([], segments=[]),
     "SlipModel.__new__() got multiple values for argument 'segments'"),
    (lambda: q.Simulator(1, config=2),
     "Simulator.__new__() got multiple values for argument 'config'"),
    (lambda: q.SiteParameters(),
     "SiteParameters.__new__() missing 1 required keyword argument: 'fmax_hz'"),
    (lambda: q.HfConfig(source=1, path=2),
     "HfConfig.__new__() missing 2 required keyword arguments: 'site' and 'record'"),
    (lambda: q.SourceParameters(corner_frequency_constant=1, corner_frequency_alpha=1,
                                rupture_velocity_fraction=1),
     "SourceParameters.__new__() missing 3 required keyword arguments: "
     "'rupture_velocity_shallow', 'rupture_velocity_deep', and 'rupture_velocity_sigma'"),
    (lambda: q.Simulator(velocity_model=1),
     "Simulator.__new__() missing 2 required positional arguments: 'config' and 'slip_model'"),
    (lambda: q.SlipModel(),
     "SlipModel.__new__() missing 1 required positional argument: 'segments'"),
    (lambda: q.FaultSegment(**{k: v for k, v in segment_kwargs().items()
                               if k != "stress_drop_bars"}),
     "FaultSegment.__new__() missing 1 required keyword argument: 'stress_drop_bars'"),
    (lambda: q.VelocityModel1D(),
     "VelocityModel1D.__new__() missing 7 required keyword arguments: 'thickness_km', "
     "'vp_km_s', 'vsh_km_s', 'density_g_cm3', 'quality_factor_p', 'quality_factor_s', and "
     "'vs_moho_km_s'"),
])
def test_binding_messages(call, message):
    check_error(call, TypeError, message)


def test_binding_comes_before_conversion():
    # Positional arguments are refused before any keyword is looked at.
    check_error(lambda: q.HfConfig(1, source=None, path=None, site=None, record=None),
                TypeError, "HfConfig.__new__() takes 0 positional arguments but 1 was given")
    # An unknown keyword is reported even when a known one holds a bad value.
    check_error(lambda: q.RecordParameters(duration_s="x", dt=1, extra=1), TypeError,
                "RecordParameters.__new__() got an unexpected keyword argument 'extra'")
    # A missing keyword is reported before the given ones are converted.
    check_error(lambda: q.RecordParameters(duration_s="x"), TypeError,
                "RecordParameters.__new__() missing 1 required keyword argument: 'dt'")


def test_f32_conversion():
    def stored(value):
        seg = make_segment(dip_deg=value)
        return peek(seg).dip_deg

    assert stored(90) == 90.0
    assert stored(1e39) == float("inf") and stored(-1e39) == float("-inf")
    assert np.isnan(stored(float("nan")))
    assert stored(0.1) == float(np.float32(0.1))
    assert stored(np.float64(2.5)) == 2.5

    class Floaty:
        def __float__(self):
            return 3.25
    assert stored(Floaty()) == 3.25
    check_error(lambda: make_segment(dip_deg="x"), TypeError, "must be real number, not str",
                note="dip_deg")

    class Broken:
        def __float__(self):
            raise KeyError("inner")
    err = check_error(lambda: make_segment(dip_deg=Broken()), KeyError, "'inner'",
                      note="dip_deg")
    assert err.args == ("inner",)


def test_f64_conversion_keeps_double_precision():
    # 3.2 printed back from f64 is "3.2"; rounded to f32 it would not be.
    check_error(lambda: make_velocity(vs=(3.2,), vs_moho=3.2), ValueError,
                "the first layer already reaches vs_moho = 3.2 km/s, so there is no model "
                "above the Moho to simulate")
    check_error(lambda: make_velocity(vs_moho="4"), TypeError, "must be real number, not str",
                note="vs_moho_km_s")


@pytest.mark.parametrize("value, exc, message", [
    (2**31, OverflowError, "number too large to fit in target type"),
    (-2**31 - 1, OverflowError, "number too small to fit in target type"),
    (2**64, OverflowError, "Python int too large to convert to C long"),
    (1.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("1", TypeError, "'str' object cannot be interpreted as an integer"),
])
def test_i32_conversion_errors(value, exc, message):
    check_error(lambda: q.PathParameters(rayset=[], path_duration_model=value), exc, message,
                note="path_duration_model")
    check_error(lambda: q.PathParameters(rayset=[0, value], path_duration_model=0), exc,
                message, note="rayset")


def test_i32_conversion_accepts_index_objects():
    class Index:
        def __index__(self):
            return 11
    p = q.PathParameters(rayset=[np.int64(-2**31), 2**31 - 1, Index()],
                         path_duration_model=Index())
    assert rayset_of(peek(p).rayset) == [-2**31, 2**31 - 1, 11]
    assert peek(p).path_duration_model == 3


@pytest.mark.parametrize("value, message", [
    (None, "'None' is not an instance of 'SourceParameters'"),
    (q.SiteParameters(fmax_hz=1), "'SiteParameters' object is not an instance of "
                                  "'SourceParameters'"),
    (3, "'int' object is not an instance of 'SourceParameters'"),
])
def test_instance_check(value, message):
    cfg = dict(source=value, path=q.PathParameters(rayset=[], path_duration_model=0),
               site=q.SiteParameters(fmax_hz=1), record=q.RecordParameters(duration_s=1, dt=1))
    check_error(lambda: q.HfConfig(**cfg), TypeError, message, note="source")


def test_array_conversion_names_the_type():
    check_error(lambda: make_segment(slip=None), TypeError,
                "'None' is not an instance of 'ndarray'", note="slip")
    check_error(lambda: make_velocity(vp_km_s=(1.0,) * 4), TypeError,
                "'tuple' object is not an instance of 'ndarray'", note="vp_km_s")
