"""Station chunks spread over `dask.distributed` worker processes on this machine.

A `LocalCluster` of a few worker processes listens on the loopback interface only, without
a dashboard. The `Simulator` cannot be pickled, so the scenario's plain inputs are sent to
every worker once and each worker process builds its own `Simulator` on its first task
(`scenario.cached_simulator`), then shares it among its threads. The result is compared
byte for byte with a single-threaded run in this process.

    PYTHONPATH=build/module python3 examples/dask_distributed.py [--stations N] [--workers N]
"""
import argparse
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import scenario as sc  # noqa: E402


def _worker_path():
    """PYTHONPATH for the worker processes: this directory (for `scenario`) and the
    directory `_quelmar` was loaded from."""
    import _quelmar
    parts = [HERE, os.path.dirname(os.path.abspath(_quelmar.__file__))]
    if os.environ.get("PYTHONPATH"):
        parts.append(os.environ["PYTHONPATH"])
    return os.pathsep.join(parts)


def run_distributed(inputs, stations_index, workers=2, threads_per_worker=1, chunk=4,
                    timeout_s=120.0):
    """Acceleration (3, n, n_time) of the scenario stations `stations_index` (a slice),
    computed on a fresh LocalCluster that is closed before returning. Every step has a
    time limit of `timeout_s` seconds; the workers also exit on their own if the scheduler
    goes away or after 30 minutes."""
    start, stop, step = stations_index.indices(len(inputs["stations"]["latitude_deg"]))
    assert step == 1, "a slice of consecutive stations"
    parts = [slice(start + s.start, start + s.stop) for s in sc.chunk_slices(stop - start, chunk)]
    if stop <= start:  # nothing to spread: no cluster
        return sc.build_simulator(inputs).run_stations(**sc.subset(inputs["stations"],
                                                                  slice(0, 0)))
    saved = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = _worker_path()  # inherited by the spawned workers
    try:
        return _run_on_cluster(inputs, parts, workers, threads_per_worker, timeout_s)
    finally:
        if saved is None:
            del os.environ["PYTHONPATH"]
        else:
            os.environ["PYTHONPATH"] = saved


def _run_on_cluster(inputs, parts, workers, threads_per_worker, timeout_s):
    from distributed import Client, LocalCluster, wait

    with LocalCluster(n_workers=workers, threads_per_worker=threads_per_worker,
                      processes=True, host="127.0.0.1", dashboard_address=None,
                      protocol="tcp", timeout=timeout_s, death_timeout=timeout_s,
                      lifetime="30 minutes", silence_logs=40) as cluster, \
            Client(cluster, timeout=timeout_s) as client:
        client.wait_for_workers(workers, timeout=timeout_s)
        shared = client.scatter(inputs, broadcast=True, timeout=timeout_s)
        futures = [client.submit(sc.run_chunk, shared, p, pure=False) for p in parts]
        wait(futures, timeout=timeout_s)
        results = client.gather(futures)
    return np.concatenate(results, axis=1)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stations", type=int, default=None, help="first N stations only")
    parser.add_argument("--workers", type=int, default=min(4, sc.usable_cores()))
    parser.add_argument("--threads-per-worker", type=int, default=1)
    parser.add_argument("--chunk", type=int, default=4, help="stations per task")
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds per step")
    args = parser.parse_args(argv)

    inputs = sc.scenario_inputs()
    index = slice(0, args.stations)
    t0 = time.perf_counter()
    spread = run_distributed(inputs, index, args.workers, args.threads_per_worker,
                             args.chunk, args.timeout)
    t1 = time.perf_counter()
    serial = sc.build_simulator(inputs).run_stations(**sc.subset(inputs["stations"], index))
    t2 = time.perf_counter()

    n = serial.shape[1]
    print(f"dask.distributed: {n} stations on {args.workers} worker processes x "
          f"{args.threads_per_worker} threads in {t1 - t0:.2f} s (cluster start-up included); "
          f"single thread {t2 - t1:.2f} s")
    sc.check_same_as_serial(spread, serial)
    return spread, serial


if __name__ == "__main__":
    main()
