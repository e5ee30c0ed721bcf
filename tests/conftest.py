# The test kit: builders for every input, one station batch, the refusal check, the environment
# guard and a child-interpreter runner.
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _quelmar as q

F32 = np.float32
# Set by scripts/check-sanitize.sh when the module runs under a sanitizer: its allocator keeps
# freed memory in quarantine (RSS grows) and aborts instead of failing an allocation.
not_under_sanitizer = pytest.mark.skipif(bool(os.environ.get("QUELMAR_SANITIZER")), reason="RSS or allocation failure")


@pytest.fixture(autouse=True)
def default_generator(monkeypatch):
    # Every test starts with the production generator (the fixture one is opt-in).
    monkeypatch.delenv("KORVANE_FIXTURE_RNG", raising=False)


def check_error(call, exc_type, message, note=None):
    # `call()` raises exactly `exc_type` (or "module.Name") with `message` and the note naming `note`.
    with pytest.raises(BaseException) as info:
        call()
    err, t = info.value, type(info.value)
    assert t is exc_type or f"{t.__module__}.{t.__name__}" == exc_type, repr(err)
    assert str(err) == message
    assert getattr(err, "__notes__", None) == (None if note is None else [f"while processing '{note}'"])
    return err


class Odd:
    # Fails every protocol a conversion may use (float, index, items) with an error of its own.
    __float__ = __index__ = __getitem__ = lambda self, *index: 1 // 0
    __len__ = lambda self: 2


SEGMENT_NUMBERS = dict(longitude_deg=1.0, latitude_deg=2.0, strike_deg=3.0, dip_deg=4.0, rake_deg=5.0,
                       top_depth_km=6.0, subfault_length_km=7.0, subfault_width_km=8.0,
                       hypocentre_along_strike_km=9.0, hypocentre_down_dip_km=10.0)
GRIDS = ("slip", "rise_time_s", "rupture_time_s", "stress_drop_bars")


def segment_kwargs(shape=(2, 3), **overrides):
    return {**SEGMENT_NUMBERS, **dict.fromkeys(GRIDS, np.ones(shape, F32)), **overrides}


def make_segment(shape=(2, 3), **overrides):
    return q.FaultSegment(**segment_kwargs(shape, **overrides))


def velocity_kwargs(vs=(3.0, 3.5, 4.6, 4.7), vs_moho=4.5, **overrides):
    n = len(vs)
    return {**dict(thickness_km=np.full(n, 2.0, F32), vp_km_s=np.full(n, 6.0), vsh_km_s=np.array(vs, np.float64),
                   density_g_cm3=np.full(n, 2.7), quality_factor_p=np.full(n, 600.0, F32),
                   quality_factor_s=np.full(n, 300.0, F32), vs_moho_km_s=vs_moho), **overrides}


def make_velocity(vs=(3.0, 3.5, 4.6, 4.7), vs_moho=4.5, **overrides):
    return q.VelocityModel1D(**velocity_kwargs(vs, vs_moho, **overrides))


SOURCE = dict(corner_frequency_constant=1.5, corner_frequency_alpha=0.5, rupture_velocity_fraction=0.8,
              rupture_velocity_shallow=0.6, rupture_velocity_deep=1.1, rupture_velocity_sigma=0.1)


def make_config(rayset=(1, 2), path_duration_model=0, fmax_hz=25.0, duration_s=10.0, dt=0.01):
    return q.HfConfig(source=q.SourceParameters(**SOURCE), site=q.SiteParameters(fmax_hz=fmax_hz),
                      path=q.PathParameters(rayset=list(rayset), path_duration_model=path_duration_model),
                      record=q.RecordParameters(duration_s=duration_s, dt=dt))


# One valid object of each kind, for the tests that need any.
SEG, VEL, CFG = make_segment(), make_velocity(), make_config()
SLIP = q.SlipModel([SEG])
SIM = q.Simulator(make_config(duration_s=1.0, dt=0.05), SLIP, VEL)
PARTS = dict(source=q.SourceParameters(**SOURCE), path=q.PathParameters(rayset=[1, 2], path_duration_model=11),
             site=q.SiteParameters(fmax_hz=25.0), record=q.RecordParameters(duration_s=1.0, dt=0.1))


def stations(n=4, seed0=0):
    # n stations due east of the segment, seeds seed0, seed0 + 1, ...
    return dict(latitude_deg=np.full(n, 2.0, F32), longitude_deg=np.linspace(1.1, 1.4, n).astype(F32),
                station_seed=np.arange(seed0, seed0 + n, dtype=np.uint64), kappa_s=np.full(n, 0.04, F32),
                q_frequency_exponent=np.full(n, 0.6, F32))


def run_child(script, timeout=120):
    # The words `script` prints in a fresh interpreter (a crash there leaves this one standing).
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          env=env, timeout=timeout)
    assert done.returncode == 0, f"child died ({done.returncode}):\n{done.stderr[-3000:]}"
    return done.stdout.split()
