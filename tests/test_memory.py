# Memory: nothing grows over repeated calls on any path, and running out of memory is a
# MemoryError, never an abort.
import ctypes
import sys

import numpy as np
import pytest

import _quelmar as q
from conftest import (F32, make_config, make_segment, make_velocity, not_under_sanitizer,
                      run_child, stations)


_mallinfo2 = ctypes.CDLL(None).mallinfo2  # glibc's: a struct of ten size_t
_mallinfo2.restype = type("MallInfo2", (ctypes.Structure,), {"_fields_": [
    ("fields", ctypes.c_size_t * 10)]})


def heap():
    # Bytes malloc has handed out and not had back, to the byte (unlike the RSS), in
    # mmapped blocks (hblkhd) and arenas (uordblks); and the interpreter's small blocks.
    info = _mallinfo2().fields
    return info[4] + info[7], sys.getallocatedblocks()


@not_under_sanitizer
def test_repeated_calls_leave_the_heap_and_reference_counts_flat():
    cfg, vel, seg = make_config(rayset=(1,), duration_s=20.0), make_velocity(), make_segment((1, 1))
    slip, args = q.SlipModel([seg]), stations(2)
    sim, bad = q.Simulator(cfg, slip, vel), q.Simulator(make_config(rayset=(1, -1)), slip, vel)
    diced = q.SlipModel([seg, make_segment(subfault_length_km=1.0)])
    with pytest.raises(BaseException) as stop:  # the core's stops are not Exceptions
        bad.run_stations(**args)
    watched = [cfg, vel, seg, slip, diced, sim, bad, *args.values()]
    calls = {  # the valid and the refused calls of every kind of object
        "records": lambda: sim.run_stations(**args), "stop": lambda: bad.run_stations(**args),
        "long record": lambda: q.RecordParameters(duration_s=2.0**40, dt=1.0),
        "segment": make_segment,
        "bad segment": lambda: make_segment(stress_drop_bars=-np.ones((2, 3), F32)),
        "velocity": make_velocity, "bad velocity": lambda: make_velocity(vs_moho=-1.0),
        "config": make_config, "bad config": lambda: make_config(rayset=(1, 2**40)),
        "slip model": lambda: q.SlipModel([seg, seg]), "bad slip": lambda: q.SlipModel([seg, 1]),
        "simulator": lambda: q.Simulator(cfg, slip, vel),
        "bad simulator": lambda: q.Simulator(cfg, diced, vel)}
    for name, call in calls.items():
        for rounds in (300, 1000):  # the first warms the allocator, the plan caches and NumPy
            refs, before = [sys.getrefcount(o) for o in watched], heap()
            for _ in range(rounds):
                try:
                    call()
                except (Exception, stop.type):
                    pass
        grown = [a - b for a, b in zip(heap(), before)]
        # A leak of one block per call shows as 1000 or more; CPython's small-object allocator
        # alone moves the count by up to about 150, depending on the tests run before.
        assert grown[0] < 4096 and grown[1] < 500, f"{name}: grew by {grown} (bytes, blocks)"
        assert [sys.getrefcount(o) for o in watched] == refs, name


@not_under_sanitizer
def test_small_address_space():
    # Under a 256 MiB address-space allowance, each case runs (finite records, not all zero) or
    # raises MemoryError with these texts, the peak RSS growing by less than 64 MiB: a nearly flat
    # segment at the surface, whose top row lies in the air layer with a window of tens of
    # millions of samples that is never synthesised, and a cell at 1e-8 bar that ruptures after
    # the record, run (neither sizes the buffers); a 64 Mi-cell grid that passes every check but
    # not its allocation, a record whose transforms do not fit, and that cell in time, are each a
    # MemoryError naming what made the window long, raised before any of it is touched.
    transform = "cannot allocate the working set of segment 0, row {}, column {}, a {}-sample transform ("
    assert run_child(f"""
        import resource, numpy as np, _quelmar as q
        from conftest import F32, make_config, make_segment, make_velocity, stations
        low = np.array([[1, 1, 1], [1, 1e-8, 1]], F32)
        big = np.broadcast_to(np.float32(1.0), (8192, 8192))
        simulate = lambda cfg, seg, **st: q.Simulator(cfg, q.SlipModel([seg]), make_velocity()).run_stations(
            **dict(stations(1), **st))
        cases = [
            (lambda: simulate(make_config(duration_s=8.0, dt=0.0001), make_segment((3, 1), top_depth_km=0.0,
             dip_deg=0.001), longitude_deg=np.full(1, 1.05, F32)), []),
            (lambda: simulate(make_config(), make_segment(stress_drop_bars=low,
                                                          rupture_time_s=np.where(low < 1, F32(1e9), F32(0)))), []),
            (lambda: make_segment(slip=big, rise_time_s=big, rupture_time_s=big, stress_drop_bars=big), [""]),
            (lambda: simulate(make_config(duration_s=1.0, dt=2e-7), make_segment()),
             [{transform.format(0, 0, 201326592)!r}, " samples at dt 0.0000002 s, is 2.12 x (path duration "]),
            (lambda: simulate(make_config(), make_segment(stress_drop_bars=low)),
             [{transform.format(1, 1, 29360128)!r}, " and stress drop 0.00000001 bar); more than "])]
        used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 256 * 2**20, resource.RLIM_INFINITY))
        for i, (call, texts) in enumerate(cases):
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            try:
                out = call()
                ok = not texts and bool(np.isfinite(out).all() and np.abs(out).max() > 0)
            except MemoryError as e:
                ok = bool(texts) and all(t in str(e) for t in texts) or str(e)
            print(i, ok if ok is not True else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak < 64 << 10)
    """) == "0 True 1 True 2 True 3 True 4 True".split()


@not_under_sanitizer
def test_threads_do_not_keep_a_long_window():
    # Four pool threads that stay alive each run a cell at 1e-6 bar, whose transforms run to 3 Mi
    # samples: their plans and the allocator's pages go with the run, not with the thread, so the
    # RSS comes back (it kept 365 MB when they stayed with the threads).
    assert run_child("""
        import concurrent.futures, resource, numpy as np, _quelmar as q
        from conftest import F32, make_config, make_segment, make_velocity, stations
        rss = lambda: int(open("/proc/self/statm").read().split()[1]) * resource.getpagesize() >> 20
        sim = q.Simulator(make_config(), q.SlipModel([make_segment(
            stress_drop_bars=np.array([[1, 1, 1], [1, 1e-6, 1]], F32))]), make_velocity())
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            sim.run_stations(**stations(1))
            before = rss()
            list(pool.map(lambda i: sim.run_stations(**stations(1, i)), range(4)))
            print(rss() - before < 32)
    """) == ["True"]
