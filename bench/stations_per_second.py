"""Stations per second of the demo scenario on 1, 2, 4, 8 threads and the core count.

One Simulator is shared by a thread pool; every task runs one station (dynamic load
balancing, since stations near the fault cost less than distant ones). Each pool is warmed
up first (every thread builds its FFT plans on its first transform), then the station set
is timed `--repeat` times and the best run is kept. Scaling = speed-up / threads; the
target is >= 0.85 up to the core count. Then, per thread count, the peak memory of one
batch in a fresh process: it should stay within the output arrays plus a few MB per thread.

    PYTHONPATH=build/module python3 bench/stations_per_second.py [--stations N] [--repeat N]
"""
import argparse
import json
import os
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "examples"))
import scenario as sc  # noqa: E402


def timed_run(pool, sim, tasks):
    """(wall seconds, process CPU seconds) of running every task on the pool."""
    c0, t0 = time.process_time(), time.perf_counter()
    for future in [pool.submit(sim.run_stations, **t) for t in tasks]:
        future.result()
    return time.perf_counter() - t0, time.process_time() - c0


def proc_status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def memory_probe(threads):
    """Runs in a fresh process: peak RSS growth of one batch of every station, split into
    `threads` chunks on a pool, against the bytes of the output arrays."""
    inputs = sc.scenario_inputs()
    sim = sc.build_simulator(inputs)
    st = inputs["stations"]
    n = len(st["latitude_deg"])
    sim.run_stations(**sc.subset(st, slice(0, 1)))  # first-use costs: NumPy API, WGS84, plans
    with open("/proc/self/clear_refs", "w") as f:  # resets the peak (VmHWM) to the current RSS
        f.write("5")
    base = proc_status_kb("VmRSS")
    bounds = [n * i // threads for i in range(threads + 1)]
    with ThreadPoolExecutor(max_workers=threads) as pool:
        outs = list(pool.map(lambda i: sim.run_stations(**sc.subset(st, slice(bounds[i], bounds[i + 1]))),
                             range(threads)))
    peak = proc_status_kb("VmHWM")
    print(json.dumps({"growth_mb": (peak - base) / 1024.0,
                      "output_mb": sum(o.nbytes for o in outs) / 2.0**20}))


def peak_memory(threads):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-probe",
                          str(threads)], check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stations", type=int, default=None,
                        help="stations per timed run (default: all 160, repeated to fill "
                             "every thread)")
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--threads", type=int, nargs="*", default=None)
    parser.add_argument("--memory-probe", type=int, default=None, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_probe:
        memory_probe(args.memory_probe)
        return

    cores = sc.usable_cores()
    counts = args.threads or sorted({1, 2, 4, 8, cores})
    inputs = sc.scenario_inputs()
    sim = sc.build_simulator(inputs)
    n_all = len(inputs["stations"]["latitude_deg"])
    n = args.stations or n_all
    tasks = [sc.subset(inputs["stations"], slice(i % n_all, i % n_all + 1)) for i in range(n)]

    print(f"demo scenario: {n} stations per run, one station per task, best of "
          f"{args.repeat}; {cores} cores available")
    print(f"load average before: {os.getloadavg()[0]:.2f} (other processes skew the numbers)")
    print(f"{'threads':>7} {'stations/s':>11} {'ms/station':>11} {'cpu ms/st':>10} "
          f"{'speed-up':>9} {'scaling':>8}")
    base = None
    for threads in counts:
        with ThreadPoolExecutor(max_workers=threads) as pool:
            timed_run(pool, sim, tasks[:4 * threads])  # warm-up: threads and FFT plans
            best, cpu = min(timed_run(pool, sim, tasks) for _ in range(args.repeat))
        rate = n / best
        base = base or rate
        speedup = rate / base
        flag = "" if threads > cores or speedup / threads >= 0.85 else "  below 0.85"
        print(f"{threads:7d} {rate:11.2f} {1e3 * threads / rate:11.1f} {1e3 * cpu / n:10.1f} "
              f"{speedup:9.2f} {speedup / threads:8.2f}{flag}")
    print(f"load average after: {os.getloadavg()[0]:.2f}")
    print()
    print("peak memory of one batch of every station (fresh process per row; peak RSS over "
          "the RSS before the batch; output pages count once written)")
    print(f"{'threads':>7} {'output MB':>10} {'growth MB':>10} {'extra MB/thread':>16}")
    for threads in counts:
        m = peak_memory(threads)
        extra = (m["growth_mb"] - m["output_mb"]) / threads
        print(f"{threads:7d} {m['output_mb']:10.1f} {m['growth_mb']:10.1f} {extra:16.1f}")
    print("ms/station = threads / rate (wall time one thread spends per station); cpu ms/st = "
          "process CPU time per station: if it grows with threads the threads slow each other "
          "down (memory bandwidth, locks, allocator), if it stays flat while ms/station grows "
          "the threads were waiting for a core")


if __name__ == "__main__":
    main()
