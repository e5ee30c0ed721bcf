"""Shared builders and checks for the _quelmar test suite.

The `peek_*` helpers read an instance's core value through ctypes mirrors of
the core structs (korvane/include/korvane/*.hpp, libstdc++ vectors as three
pointers). The objects expose nothing else, and these reads are the only way
to check that each keyword lands in its field. Each mirror is checked
against the type's basic size before use.
"""
import ctypes
import os
import subprocess
import sys
import textwrap
from ctypes import c_float, c_double, c_size_t, c_uint8, c_int32, c_void_p

import numpy as np
import pytest

import _quelmar as q

F32 = np.float32

# Set by scripts/check-sanitize.sh when the module runs under AddressSanitizer: its
# allocator keeps freed memory in quarantine (RSS grows) and aborts instead of failing
# an allocation, so the tests that measure either are skipped there.
SANITIZER = os.environ.get("QUELMAR_SANITIZER")
not_under_sanitizer = pytest.mark.skipif(
    bool(SANITIZER), reason="measures RSS or allocation failure, which the sanitizer changes")


def check_error(call, exc_type, message, note=None):
    """Calls `call`, which must raise exactly `exc_type` with `message` and
    the note naming `note` (or no note at all)."""
    with pytest.raises(BaseException) as info:
        call()
    err = info.value
    assert type(err) is exc_type, repr(err)
    assert str(err) == message
    expected = [f"while processing '{note}'"] if note is not None else None
    assert getattr(err, "__notes__", None) == expected
    return err


SEGMENT_NUMBERS = dict(
    longitude_deg=1.0, latitude_deg=2.0, strike_deg=3.0, dip_deg=4.0, rake_deg=5.0,
    top_depth_km=6.0, subfault_length_km=7.0, subfault_width_km=8.0,
    hypocentre_along_strike_km=9.0, hypocentre_down_dip_km=10.0)


def segment_kwargs(shape=(2, 3), **overrides):
    grid = np.ones(shape, F32)
    kw = dict(SEGMENT_NUMBERS, slip=grid, rise_time_s=grid, rupture_time_s=grid,
              stress_drop_bars=grid)
    kw.update(overrides)
    return kw


def make_segment(shape=(2, 3), **overrides):
    return q.FaultSegment(**segment_kwargs(shape, **overrides))


def velocity_kwargs(vs=(3.0, 3.5, 4.6, 4.7), vs_moho=4.5, **overrides):
    n = len(vs)
    kw = dict(thickness_km=np.full(n, 2.0, F32), vp_km_s=np.full(n, 6.0),
              vsh_km_s=np.array(vs, np.float64), density_g_cm3=np.full(n, 2.7),
              quality_factor_p=np.full(n, 600.0, F32), quality_factor_s=np.full(n, 300.0, F32),
              vs_moho_km_s=vs_moho)
    kw.update(overrides)
    return kw


def make_velocity(vs=(3.0, 3.5, 4.6, 4.7), vs_moho=4.5, **overrides):
    return q.VelocityModel1D(**velocity_kwargs(vs, vs_moho, **overrides))


SOURCE = dict(corner_frequency_constant=1.5, corner_frequency_alpha=0.5,
              rupture_velocity_fraction=0.8, rupture_velocity_shallow=0.6,
              rupture_velocity_deep=1.1, rupture_velocity_sigma=0.1)


def make_config(rayset=(1, 2), path_duration_model=0, fmax_hz=25.0, duration_s=10.0, dt=0.01):
    return q.HfConfig(source=q.SourceParameters(**SOURCE),
                      path=q.PathParameters(rayset=list(rayset),
                                            path_duration_model=path_duration_model),
                      site=q.SiteParameters(fmax_hz=fmax_hz),
                      record=q.RecordParameters(duration_s=duration_s, dt=dt))


# ---- ctypes mirrors of the core values ------------------------------------------

class Vec(ctypes.Structure):
    _fields_ = [("begin", c_void_p), ("end", c_void_p), ("cap", c_void_p)]

    def items(self, ctype):
        n = ((self.end or 0) - (self.begin or 0)) // ctypes.sizeof(ctype)
        return list((ctype * n).from_address(self.begin)) if n else []


def _floats(*names):
    return [(n, c_float) for n in names]


class Subfault(ctypes.Structure):
    _fields_ = _floats("slip", "rise_time_s", "rupture_time_s", "stress_drop_bars")

    def astuple(self):
        return (self.slip, self.rise_time_s, self.rupture_time_s, self.stress_drop_bars)


class Segment(ctypes.Structure):
    _fields_ = [("subfaults", Vec), ("n_along", c_size_t), ("n_down", c_size_t)] + _floats(
        "longitude_deg", "latitude_deg", "subfault_length_km", "subfault_width_km", "strike_deg",
        "dip_deg", "rake_deg", "top_depth_km", "hypocentre_along_strike_km",
        "hypocentre_down_dip_km", "half_length")


class StochModel(ctypes.Structure):
    _fields_ = [("segments", Vec), ("subfault_count", c_size_t)] + _floats(
        "total_area_km2", "deepest_hypocentre_km")


class InputLayer(ctypes.Structure):
    _fields_ = [("vp_km_s", c_double), ("vsh_km_s", c_double), ("density_g_cm3", c_double)] + \
        _floats("bottom_depth_km", "thickness_km", "quality_factor_p", "quality_factor_s")


class PathParameters(ctypes.Structure):
    _fields_ = [("rayset", Vec), ("path_duration_model", c_uint8)]


class SourceParameters(ctypes.Structure):
    _fields_ = _floats("rupture_velocity_fraction", "rupture_velocity_shallow",
                       "rupture_velocity_deep", "rupture_velocity_sigma",
                       "corner_frequency_constant", "corner_frequency_alpha")


class HfConfig(ctypes.Structure):
    _fields_ = [("path", PathParameters), ("source", SourceParameters),
                ("record", ctypes.c_float * 2), ("site", c_float)]


class Simulator(ctypes.Structure):
    _fields_ = [("segments", Vec), ("subfault_count", c_size_t)] + _floats(
        "total_area_km2", "deepest_hypocentre_km") + [
        ("moment_weights", Vec), ("source_strengths", Vec), ("ray_layers", Vec),
        ("duration_table", Vec), ("segment_mechanisms", Vec), ("rayset", Vec),
        ("ln_grid", c_float * 20), ("n_deviates", c_size_t), ("n_grid", c_size_t),
        ("n_time", c_size_t)] + _floats(
        "dt", "fmax_hz", "eps", "eta", "corner_frequency_constant", "corner_frequency_alpha",
        "rupture_velocity_sigma", "dx", "vs_max", "rupture_velocity_fraction",
        "rupture_velocity_shallow", "rupture_velocity_deep", "shallow_ramp_top_km",
        "shallow_ramp_bottom_km", "deep_ramp_top_km", "deep_ramp_bottom_km")


_VALUE_TYPES = {q.FaultSegment: Segment, q.SlipModel: StochModel,
                q.PathParameters: PathParameters, q.SourceParameters: SourceParameters,
                q.HfConfig: HfConfig, q.Simulator: Simulator}


def peek(obj):
    """The core value held by `obj`: a view into the object, which it keeps alive."""
    if type(obj) is q.VelocityModel1D:
        layers = Vec.from_address(id(obj) + object.__basicsize__).items(InputLayer)
        return [InputLayer.from_buffer_copy(layer) for layer in layers]
    mirror = _VALUE_TYPES[type(obj)]
    size = type(obj).__basicsize__ - object.__basicsize__
    assert ctypes.sizeof(mirror) == size, "mirror out of date with the core struct"
    view = mirror.from_address(id(obj) + object.__basicsize__)
    view.owner = obj
    return view


def cells(segment_value):
    return [c.astuple() for c in segment_value.subfaults.items(Subfault)]


def rayset_of(vec):
    return [int(v) for v in vec.items(c_int32)]


def stations(n=4, seed0=0):
    """A batch of n stations due east of conftest's segment, seeds seed0, seed0 + 1, ..."""
    return dict(latitude_deg=np.full(n, 2.0, F32),
                longitude_deg=np.linspace(1.1, 1.4, n).astype(F32),
                station_seed=np.arange(seed0, seed0 + n, dtype=np.uint64),
                kappa_s=np.full(n, 0.04, F32),
                q_frequency_exponent=np.full(n, 0.6, F32))


def run_child(script, timeout=120):
    """Runs `script` in a fresh interpreter that sees the tests' modules and
    returns its standard output split into words, after checking that it ended
    normally (a crash there leaves this interpreter standing)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                          text=True, env=env, timeout=timeout)
    assert done.returncode == 0, f"child died ({done.returncode}):\n{done.stderr[-3000:]}"
    return done.stdout.split()
