"""No leaks on any path, and allocation failures surface as MemoryError."""
import os
import sys
import textwrap

import numpy as np
import pytest

import _quelmar as q
from conftest import (F32, SOURCE, make_config, make_segment, not_under_sanitizer, run_child,
                      segment_kwargs, velocity_kwargs)

ROUNDS = 100_000


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _scenarios():
    seg_kw = segment_kwargs()
    vel_kw = velocity_kwargs()
    segs = [q.FaultSegment(**seg_kw)]
    cfg, slip, vel = make_config(), q.SlipModel(segs), q.VelocityModel1D(**vel_kw)
    parts = dict(source=q.SourceParameters(**SOURCE),
                 path=q.PathParameters(rayset=[1, 2, 3], path_duration_model=12),
                 site=q.SiteParameters(fmax_hz=25.0),
                 record=q.RecordParameters(duration_s=10.0, dt=0.01))
    bad_grid = dict(seg_kw, stress_drop_bars=-np.ones((2, 3), F32))
    bad_vel = dict(vel_kw, quality_factor_s=np.ones(3, F32))
    diced = q.SlipModel([segs[0], make_segment(subfault_length_km=1.0)])
    keep = (seg_kw, vel_kw, segs, cfg, slip, vel, parts, bad_grid, bad_vel, diced)
    return keep, {
        "FaultSegment": (lambda: q.FaultSegment(**seg_kw), lambda: q.FaultSegment(**bad_grid)),
        "SlipModel": (lambda: q.SlipModel(segs), lambda: q.SlipModel(segs + [1])),
        "VelocityModel1D": (lambda: q.VelocityModel1D(**vel_kw),
                            lambda: q.VelocityModel1D(**bad_vel)),
        "SourceParameters": (lambda: q.SourceParameters(**SOURCE),
                             lambda: q.SourceParameters(**dict(SOURCE, rupture_velocity_deep=""))),
        "PathParameters": (lambda: q.PathParameters(rayset=[1, 2, 3], path_duration_model=11),
                           lambda: q.PathParameters(rayset=[1, 2, 2**40], path_duration_model=0)),
        "SiteParameters": (lambda: q.SiteParameters(fmax_hz=25.0),
                           lambda: q.SiteParameters(fmax_hz=25.0, extra=1)),
        "RecordParameters": (lambda: q.RecordParameters(duration_s=1.0, dt=0.1),
                             lambda: q.RecordParameters(duration_s=1.0)),
        "HfConfig": (lambda: q.HfConfig(**parts), lambda: q.HfConfig(**dict(parts, site=None))),
        "Simulator": (lambda: q.Simulator(cfg, slip, vel), lambda: q.Simulator(cfg, diced, vel)),
    }


def _run(make, rounds):
    for _ in range(rounds):
        try:
            make()
        except (TypeError, ValueError, OverflowError):
            pass


@not_under_sanitizer
@pytest.mark.parametrize("name", ["FaultSegment", "SlipModel", "VelocityModel1D",
                                  "SourceParameters", "PathParameters", "SiteParameters",
                                  "RecordParameters", "HfConfig", "Simulator"])
def test_construct_and_drop_keeps_memory_and_references_flat(name):
    keep, scenarios = _scenarios()
    valid, invalid = scenarios[name]
    watched = [o for o in keep for o in (o.values() if isinstance(o, dict) else
                                         (o if isinstance(o, list) else [o]))]
    for make in (valid, invalid):
        _run(make, 2_000)  # warm caches and the allocator
        refs = [sys.getrefcount(o) for o in watched]
        before = rss_bytes()
        _run(make, ROUNDS)
        grown = rss_bytes() - before
        assert grown < 4 * 2**20, f"{name}: RSS grew by {grown} bytes"
        assert [sys.getrefcount(o) for o in watched] == refs


@not_under_sanitizer
def test_allocation_failure_is_a_memory_error():
    # Under an address-space limit, a broadcast grid of 64 Mi cells passes
    # every check but its 1 GiB subfault list cannot be allocated.
    script = textwrap.dedent("""
        import resource, numpy as np, _quelmar as q
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 256 * 2**20, resource.RLIM_INFINITY))
        big = np.broadcast_to(np.float32(1.0), (8192, 8192))
        numbers = dict(longitude_deg=0, latitude_deg=0, strike_deg=0, dip_deg=0, rake_deg=0,
                       top_depth_km=0, subfault_length_km=1, subfault_width_km=1,
                       hypocentre_along_strike_km=0, hypocentre_down_dip_km=0)
        try:
            q.FaultSegment(slip=big, rise_time_s=big, rupture_time_s=big, stress_drop_bars=big,
                           **numbers)
        except MemoryError:
            print("MemoryError")
        one = np.ones((1, 1), np.float32)
        q.FaultSegment(slip=one, rise_time_s=one, rupture_time_s=one, stress_drop_bars=one,
                       **numbers)
        print("alive")
    """)
    assert run_child(script) == ["MemoryError", "alive"]
