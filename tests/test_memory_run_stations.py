"""run_stations leaks nothing on any path: valid batches, refused arguments,
internal faults and unallocatable outputs keep memory and reference counts flat."""
import sys
import textwrap

import numpy as np
import pytest

import _quelmar as q
from conftest import F32, make_config, make_segment, make_velocity, not_under_sanitizer, run_child
from test_memory import rss_bytes


def tiny_sim(rayset=(1,), duration_s=20.0, dt=0.01):
    # One subfault and one ray: a run takes well under a millisecond, and its
    # output of 2 x 2000 samples per component (48 KB) would show at once if it leaked.
    return q.Simulator(make_config(rayset=rayset, duration_s=duration_s, dt=dt),
                       q.SlipModel([make_segment((1, 1))]), make_velocity())


def batch(n=2):
    return dict(latitude_deg=np.full(n, 2.0, F32), longitude_deg=np.full(n, 1.2, F32),
                station_seed=np.arange(n, dtype=np.uint64), kappa_s=np.full(n, 0.04, F32),
                q_frequency_exponent=np.full(n, 0.6, F32))


def _scenarios():
    good, bad_code = tiny_sim(), tiny_sim(rayset=(1, -1))
    huge = tiny_sim(duration_s=2.0**40, dt=1.0)
    args = batch()
    strided = dict(args, kappa_s=np.zeros(8, F32)[::4])
    wrong = dict(args, station_seed=args["station_seed"].astype(np.int64))
    keep = [good, bad_code, huge, *args.values(), strided["kappa_s"], wrong["station_seed"]]
    return keep, {
        "valid": (lambda: good.run_stations(**args), None, 3_000),
        "panic": (lambda: bad_code.run_stations(**args), BaseException, 1_000),
        "memory": (lambda: huge.run_stations(**args), MemoryError, 3_000),
        "layout": (lambda: good.run_stations(**strided), TypeError, 20_000),
        "dtype": (lambda: good.run_stations(**wrong), TypeError, 20_000),
        "binding": (lambda: good.run_stations(*args.values()), TypeError, 20_000),
    }


@not_under_sanitizer
@pytest.mark.parametrize("path", ["valid", "panic", "memory", "layout", "dtype", "binding"])
def test_run_stations_keeps_memory_and_references_flat(path, capfd):
    keep, scenarios = _scenarios()
    run, raises, rounds = scenarios[path]

    def loop(n):
        for _ in range(n):
            if raises is None:
                out = run()
                assert out.shape == (3, 2, 2000)
            else:
                with pytest.raises(raises):
                    run()
        capfd.readouterr()  # the fault path writes each message to stderr

    loop(rounds // 10)  # warm the allocator, the plan cache and NumPy
    refs = [sys.getrefcount(o) for o in keep]
    before = rss_bytes()
    loop(rounds)
    grown = rss_bytes() - before
    assert grown < 4 * 2**20, f"{path}: RSS grew by {grown} bytes over {rounds} calls"
    assert [sys.getrefcount(o) for o in keep] == refs


def test_output_buffer_lives_exactly_as_long_as_its_arrays():
    # The array does not own its buffer; its base does, held by the array and by
    # every view of it, and released with the last of them.
    out = tiny_sim().run_stations(**batch())
    owner = out.base
    assert owner is not None and not out.flags["OWNDATA"]
    view = out[0]
    del out
    assert sys.getrefcount(owner) == 3  # `owner`, the array kept alive by `view`, the call
    assert view.shape == (2, 2000) and np.isfinite(view).all()
    del view
    assert sys.getrefcount(owner) == 2


@not_under_sanitizer
def test_surface_subfault_runs_in_a_small_address_space():
    # A nearly flat segment at the surface puts its top row in the air layer: a
    # window of tens of millions of samples that is never synthesised. The run must
    # not size its buffers by it (it took gigabytes and seconds; the process could be
    # killed for it). Under a 256 MB address-space allowance it must simply work.
    script = textwrap.dedent("""
        import resource, sys, numpy as np, _quelmar as q
        from conftest import F32, make_config, make_segment, make_velocity
        sim = q.Simulator(make_config(rayset=(1, 2), duration_s=8.0, dt=0.0001),
                          q.SlipModel([make_segment((3, 1), top_depth_km=0.0, dip_deg=0.001)]),
                          make_velocity())
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 256 * 2**20, resource.RLIM_INFINITY))
        out = sim.run_stations(latitude_deg=np.full(1, 2.0, F32),
                               longitude_deg=np.full(1, 1.05, F32),
                               station_seed=np.ones(1, np.uint64), kappa_s=np.full(1, 0.04, F32),
                               q_frequency_exponent=np.full(1, 0.6, F32))
        print(out.shape, bool(np.isfinite(out).all()), bool(np.abs(out).max() > 0))
    """)
    assert run_child(script) == ["(3,", "1,", "80000)", "True", "True"]
