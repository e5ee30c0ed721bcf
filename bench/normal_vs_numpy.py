#!/usr/bin/python3
"""Cost of one standard-normal f32 draw: ours (bench_rng) next to NumPy's.

Usage: normal_vs_numpy.py [path/to/bench_rng]   (default build/bench/bench_rng)

Runs the normal benchmarks of bench_rng (per draw and block fills, the fill
that the noise synthesis uses), then times NumPy's
default_rng().standard_normal(dtype=np.float32) on this machine in the same
run, filling blocks of the same size, and prints ns per draw and the ratio
ours / NumPy (below 1 means our draw is cheaper).
"""
import json
import subprocess
import sys
import timeit

import numpy as np

BLOCK = 4096  # draws per benchmark iteration, as in bench_rng.cpp


def ours(binary):
    out = subprocess.run(
        [binary, "--benchmark_filter=^(fill_)?normal/", "--benchmark_format=json",
         "--benchmark_repetitions=5", "--benchmark_report_aggregates_only=true"],
        check=True, capture_output=True, text=True).stdout
    result = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            result[b["run_name"]] = 1e9 / b["items_per_second"]
    return result


def numpy_ns():
    rng = np.random.default_rng()
    out = np.empty(BLOCK, dtype=np.float32)
    number = 2000
    best = min(timeit.repeat(lambda: rng.standard_normal(out=out, dtype=np.float32),
                             number=number, repeat=7))
    return best / number / BLOCK * 1e9


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else "build/bench/bench_rng"
    mine = ours(binary)
    theirs = numpy_ns()
    print(f"numpy {np.__version__} default_rng().standard_normal(float32): {theirs:6.2f} ns/draw")
    for name, ns in sorted(mine.items()):
        print(f"korvane {name:<24} {ns:6.2f} ns/draw   ratio ours/numpy = {ns / theirs:.2f}")


if __name__ == "__main__":
    main()
