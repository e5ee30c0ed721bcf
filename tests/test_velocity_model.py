"""VelocityModel1D: dtypes, contiguity, lengths, Moho truncation and layer_count."""
import numpy as np
import pytest

import _quelmar as q
from conftest import F32, check_error, make_velocity, peek, velocity_kwargs

LENGTH_TEXT = ("every layer property must have one entry per layer. Got lengths {} for "
               "(thickness_km, vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, "
               "quality_factor_s)")
MOHO_TEXT = ("the first layer already reaches vs_moho = {} km/s, so there is no model above "
             "the Moho to simulate")
CONTIGUITY_TEXT = "The given array is not contiguous or is misaligned."


@pytest.mark.parametrize("vs, vs_moho, count", [
    ((3.0, 3.5, 4.6, 4.7), 4.5, 3),
    ((3.0, 3.5, 4.6, 4.7), 5.0, 4),
    ((3.0,), 4.5, 1),
    ((3.0, 3.5, 4.6, 4.7), float("nan"), 4),
    ((3.0, 3.5), 4, 2),
])
def test_layer_count(vs, vs_moho, count):
    model = make_velocity(vs=vs, vs_moho=vs_moho)
    assert model.layer_count == count and type(model.layer_count) is int
    with pytest.raises(AttributeError):
        model.layer_count = 1


def test_layers_keep_their_values_and_widths():
    kw = velocity_kwargs(vs=(3.0, 3.5, 4.6, 4.7), vs_moho=4.5,
                         thickness_km=np.array([1.5, 2.25, 3.0, 9.0], F32),
                         vp_km_s=np.array([5.1, 6.1, 7.1, 8.1]),
                         density_g_cm3=np.array([2.1, 2.2, 2.3, 2.4]),
                         quality_factor_p=np.array([10, 20, 30, 40], F32),
                         quality_factor_s=np.array([1, 2, 3, 4], F32))
    layers = peek(q.VelocityModel1D(**kw))
    assert [l.vp_km_s for l in layers] == [5.1, 6.1, 7.1]  # f64 kept exactly
    assert [l.density_g_cm3 for l in layers] == [2.1, 2.2, 2.3]
    assert [l.vsh_km_s for l in layers] == [3.0, 3.5, 4.6]
    assert [l.thickness_km for l in layers] == [1.5, 2.25, 0.0]
    assert [l.bottom_depth_km for l in layers] == [1.5, 3.75, 3.75]
    assert [(l.quality_factor_p, l.quality_factor_s) for l in layers] == [
        (10, 1), (20, 2), (30, 3)]


def test_model_errors():
    check_error(lambda: make_velocity(vs=()), ValueError, "velocity model has no layers")
    check_error(lambda: make_velocity(vs=(3.2, 2.0), vs_moho=3.0), ValueError,
                MOHO_TEXT.format("3"))
    check_error(lambda: make_velocity(vs=(3.2,), vs_moho=3.2), ValueError,
                MOHO_TEXT.format("3.2"))


@pytest.mark.parametrize("name, value, type_name", [
    ("thickness_km", np.ones(4), "ndarray"),
    ("vp_km_s", np.ones(4, F32), "ndarray"),
    ("vp_km_s", np.ones((1, 4)), "ndarray"),
    ("density_g_cm3", np.ones(4, ">f8"), "ndarray"),
    ("quality_factor_s", [1.0] * 4, "list"),
])
def test_dtype_and_dimension_checks(name, value, type_name):
    check_error(lambda: make_velocity(**{name: value}), TypeError,
                f"'{type_name}' object is not an instance of 'ndarray'", note=name)


def test_contiguity():
    strided = np.ones(8)[::2]
    check_error(lambda: make_velocity(vp_km_s=strided), TypeError, CONTIGUITY_TEXT)
    misaligned = np.frombuffer(b"\0" + np.ones(4).tobytes(), np.float64, offset=1)
    check_error(lambda: make_velocity(vsh_km_s=misaligned), TypeError, CONTIGUITY_TEXT)
    assert make_velocity(vs=(3.0,), vp_km_s=np.ones(4)[::2][:1]).layer_count == 1
    readonly = np.full(4, 6.0)
    readonly.flags.writeable = False
    assert make_velocity(vp_km_s=readonly).layer_count == 3
    # Empty strided views are accepted; the model is then empty.
    empty = dict(thickness_km=np.ones(4, F32)[::2][:0], vp_km_s=np.ones(4)[::2][:0],
                 vsh_km_s=np.ones(0), density_g_cm3=np.ones(0), quality_factor_p=np.ones(0, F32),
                 quality_factor_s=np.ones(0, F32))
    check_error(lambda: make_velocity(vs=(), **empty), ValueError,
                "velocity model has no layers")


def test_order_of_checks():
    strided = np.ones(8, F32)[::2]
    # All conversions (vs_moho_km_s last) run before any contiguity check ...
    check_error(lambda: make_velocity(thickness_km=strided, vs_moho="x"), TypeError,
                "must be real number, not str", note="vs_moho_km_s")
    # ... and contiguity comes before the length check.
    check_error(lambda: make_velocity(quality_factor_s=np.ones(6, F32)[::2]), TypeError,
                CONTIGUITY_TEXT)
    check_error(lambda: make_velocity(vsh_km_s=np.array([3.0, 3.5])), ValueError,
                LENGTH_TEXT.format("[4, 4, 2, 4, 4, 4]"))
    check_error(lambda: make_velocity(vs=(3.0, 3.5, 2.0), vp_km_s=np.ones(3),
                                      vsh_km_s=np.array([3.0, 3.5]), density_g_cm3=np.ones(3),
                                      quality_factor_p=np.ones(3, F32),
                                      quality_factor_s=np.ones(3, F32),
                                      thickness_km=np.ones(3, F32)),
                ValueError, LENGTH_TEXT.format("[3, 3, 2, 3, 3, 3]"))
