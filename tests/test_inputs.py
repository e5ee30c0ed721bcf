# What the objects keep, seen through the records of a Simulator built from them: every input reaches
# its field (a pinned reference record), inputs in other forms or memory layouts give the same
# records, and the inputs documented as unused change nothing.
import numpy as np
import pytest

import _quelmar as q
from conftest import F32, SOURCE, make_segment, make_velocity, segment_kwargs, stations, velocity_kwargs

NAN = np.nan


def grids(shape, k):
    b = np.arange(1, shape[0] * shape[1] + 1, dtype=F32).reshape(shape)
    return dict(slip=10 * k * b, rise_time_s=b, rupture_time_s=0.3 * b, stress_drop_bars=20 + k * b)


# A shallow segment (the shallow ramp) and a steep deep one whose hypocentre moves the deep ramp.
A = segment_kwargs(top_depth_km=0.5, **grids((2, 3), 1))
B = segment_kwargs(longitude_deg=1.02, top_depth_km=16.0, dip_deg=60.0, strike_deg=200.0, rake_deg=-30.0,
                   hypocentre_along_strike_km=2.0, hypocentre_down_dip_km=1.0, **grids((2, 2), 2))
BATCH = dict(stations(2, seed0=7), kappa_s=np.array([0.04, 0.0], F32))  # kappa 0: the fmax form


def records(a={}, b={}, vel={}, path={}, st={}, model=q.SlipModel):
    cfg = q.HfConfig(source=q.SourceParameters(**SOURCE), site=q.SiteParameters(fmax_hz=20),
                     path=q.PathParameters(**{"rayset": [1, 2, 3], "path_duration_model": 11, **path}),
                     record=q.RecordParameters(duration_s=12.0, dt=0.02))
    slip = model([q.FaultSegment(**{**A, **a}), q.FaultSegment(**{**B, **b})])
    return q.Simulator(cfg, slip, q.VelocityModel1D(**velocity_kwargs(**vel))).run_stations(**{**BATCH, **st})


def test_reference_record():
    out = records()
    assert out.shape == (3, 2, 600) and out.dtype == F32
    assert records(st={k: v[1:] for k, v in BATCH.items()}).tobytes() == out[:, 1:].tobytes()  # alone: its row
    # Sum of squares per (component, station) in (cm/s^2)^2: pinned, not derived.
    energy = (out.astype(np.float64) ** 2).sum(axis=2)
    np.testing.assert_allclose(energy, [[420924.32462817, 8525.35167886], [480529.49744795, 8272.93850334],
                                        [62255.27026973, 1121.04038698]], rtol=1e-5)


class Huge(list): __len__ = lambda self: 2**62  # noqa: E701 - a length is only a hint
class Failing(list): __len__ = lambda self: 1 // 0  # noqa: E701


LAYOUTS = [np.asfortranarray, lambda g: np.repeat(g, 2, axis=1)[:, ::2],
           lambda g: np.ascontiguousarray(g[::-1, ::-1])[::-1, ::-1],
           lambda g: np.frombuffer(b"\0" + g.tobytes(), F32, offset=1).reshape(g.shape),  # unaligned
           lambda g: np.vstack([g, np.full((1, 3), NAN, F32)])[:2]]  # NaN past the end, never read
POISON = dict(longitude_deg=np.inf, station_seed=3, kappa_s=np.inf, q_frequency_exponent=NAN)
SAME = [  # (name, changes, changes): identical records
    ("unused", dict(a=dict(hypocentre_along_strike_km=-5, hypocentre_down_dip_km=0, rise_time_s=-A["rise_time_s"]),
                    b=dict(hypocentre_along_strike_km=1e30),
                    vel=dict(vp_km_s=np.full(4, 9.0), quality_factor_p=np.full(4, -1, F32))), {}),
    ("numbers", dict(a=dict(dip_deg=F32(4), strike_deg=np.float64(3), rake_deg=5, longitude_deg=1.00000001)), {}),
    ("no Moho cut", dict(vel=dict(vs_moho=NAN)), dict(vel=dict(vs_moho=5.0))),
    ("ray codes", dict(path=dict(rayset=(np.uint8(1), np.int32(2), 3), path_duration_model=np.int64(11))),
     dict(path=dict(rayset=range(1, 4)))),
    ("lying lengths", dict(path=dict(rayset=Huge([1, 2, 3]))), dict(path=dict(rayset=Failing([1, 2, 3])))),
    ("segments", dict(model=lambda s: q.SlipModel(segments=tuple(s))), dict(model=lambda s: q.SlipModel(np.array(s)))),
    ("broadcast", dict(a=dict(stress_drop_bars=np.broadcast_to(F32(25), (2, 3)))),
     dict(a=dict(stress_drop_bars=np.full((2, 3), 25, F32)))),
    ("longer arrays", dict(st={k: np.append(BATCH[k], v).astype(BATCH[k].dtype) for k, v in POISON.items()}), {}),
    ("cells in the air", dict(a=dict(top_depth_km=-0.3)),  # row 0's centres 0.021 km above the datum
     dict(a=dict(top_depth_km=-0.3, slip=grids((2, 3), 1)["slip"] * np.array([[0], [1]], F32)))),
    ("one-layer crust", dict(vel=dict(vs=(3.0,)), path=dict(rayset=[0, 1])),  # uniform for every ray it can carry
     dict(vel=dict(vs=(3.0, 4.7), thickness_km=np.array([1000, 2], F32)), path=dict(rayset=[0, 1]))),
    *[(f"layout {i}", dict(a={k: f(v) for k, v in grids((2, 3), 1).items()}), {}) for i, f in enumerate(LAYOUTS)],
]


@pytest.mark.parametrize("name, left, right", SAME, ids=[r[0] for r in SAME])
def test_same_records(name, left, right):
    assert records(**left).tobytes() == records(**right).tobytes(), name


def test_each_duration_code_is_its_own_model():
    assert len({records(path=dict(path_duration_model=c)).tobytes() for c in (0, 1, 2, 11, 12)}) == 5


@pytest.mark.parametrize("vs, vs_moho, count", [((3.0, 3.5, 4.6, 4.7), 4.5, 3), ((3.0, 3.5, 4.6, 4.7), 5.0, 4),
                                                ((3.0,), 4.5, 1), ((3.0, 3.5), NAN, 2), ((3.0, 4.5), 4, 2)])
def test_counts(vs, vs_moho, count):  # the two values an object gives back
    a, b = make_segment((3, 4)), make_segment((2, 5))
    assert (make_velocity(vs=vs, vs_moho=vs_moho).layer_count, q.SlipModel((a, b, a)).subfault_count) == (count, 34)
