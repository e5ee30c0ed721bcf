"""One `Simulator` shared by the threads of Dask's threaded scheduler.

Each chunk of stations is a `dask.delayed` call of `run_stations` on the same simulator;
`dask.array` stacks the chunks along the station axis and `compute(scheduler="threads")`
runs them on a thread pool (the interpreter lock is released inside `run_stations`). The
result is compared byte for byte with a single-threaded run.

    PYTHONPATH=build/module python3 examples/dask_threads.py [--stations N] [--threads N]
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scenario as sc  # noqa: E402


def run_dask_threads(sim, stations, threads, chunk):
    import dask
    import dask.array as da

    n = len(stations["latitude_deg"])
    empty = sim.run_stations(**sc.subset(stations, slice(0, 0)))
    if n == 0:
        return empty
    n_time = empty.shape[2]
    blocks = [da.from_delayed(dask.delayed(sim.run_stations, pure=False)(
                  **sc.subset(stations, s)),
              shape=(3, s.stop - s.start, n_time), dtype=np.float32)
              for s in sc.chunk_slices(n, chunk)]
    return da.concatenate(blocks, axis=1).compute(scheduler="threads", num_workers=threads)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stations", type=int, default=None, help="first N stations only")
    parser.add_argument("--threads", type=int, default=sc.usable_cores())
    parser.add_argument("--chunk", type=int, default=4, help="stations per task")
    args = parser.parse_args(argv)

    inputs = sc.scenario_inputs()
    stations = sc.subset(inputs["stations"], slice(0, args.stations))
    n = len(stations["latitude_deg"])
    sim = sc.build_simulator(inputs)

    t0 = time.perf_counter()
    threaded = run_dask_threads(sim, stations, args.threads, args.chunk)
    t1 = time.perf_counter()
    serial = sim.run_stations(**stations)
    t2 = time.perf_counter()

    print(f"dask threaded scheduler: {n} stations on {args.threads} threads in {t1 - t0:.2f} s; "
          f"single thread {t2 - t1:.2f} s")
    sc.check_same_as_serial(threaded, serial)
    return threaded, serial


if __name__ == "__main__":
    main()
