"""A small scenario for memcheck over the extension module (scripts/check-sanitize.sh
valgrind): every class built and dropped, batches run on the valid path and on
each failure path (refused arguments and values, an internal fault, an unallocatable
output)."""
import gc
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import numpy as np  # noqa: E402

import _quelmar as q  # noqa: E402
from conftest import F32, make_config, make_segment, make_velocity  # noqa: E402

args = dict(latitude_deg=np.full(2, 2.0, F32), longitude_deg=np.full(2, 1.2, F32),
            station_seed=np.arange(2, dtype=np.uint64), kappa_s=np.full(2, 0.04, F32),
            q_frequency_exponent=np.full(2, 0.6, F32))
# 2^19 stations of the longest record a run can index: 2^52 bytes of output, beyond any address space.
many = {k: np.resize(v, 2**19) for k, v in args.items()}
segments = q.SlipModel([make_segment((1, 2)), make_segment((2, 1))])
for rayset, duration, outcome in (((1, 2), 5.0, "ok"), ((1, -1), 5.0, "PanicException"),
                                  ((1,), 2.0**31 - 128, "MemoryError")):
    sim = q.Simulator(make_config(rayset=rayset, duration_s=duration, dt=0.02 if duration < 10
                                  else 1.0), segments, make_velocity())
    for _ in range(2):
        try:
            out = sim.run_stations(**(many if outcome == "MemoryError" else args))
            got = "ok"
            assert np.isfinite(out).all() and out.shape == (3, 2, 250)
        except BaseException as e:  # noqa: BLE001
            got = type(e).__name__
        assert got == outcome, (got, outcome)
    for bad in (dict(args, kappa_s=np.zeros(4, F32)[::2]), dict(args, station_seed=[1, 2]),
                dict(args, kappa_s=np.zeros(1, F32)), dict(args, kappa_s=np.full(2, np.inf, F32))):
        try:
            sim.run_stations(**bad)
        except (TypeError, ValueError):
            pass
for bad in (dict(rayset="x", path_duration_model=0), dict(rayset=[2**40], path_duration_model=0)):
    try:
        q.PathParameters(**bad)
    except (TypeError, OverflowError):
        pass
for refused in (lambda: make_segment(rupture_time_s=np.full((2, 3), np.nan, F32)),
                lambda: make_velocity(quality_factor_s=np.zeros(4, F32)),
                lambda: q.Simulator(make_config(), q.SlipModel([make_segment(
                    slip=np.full((2, 3), np.nan, F32))]), make_velocity())):
    try:
        refused()
    except ValueError:
        pass
del sim, segments
gc.collect()
print("valgrind scenario done")
