"""Concurrency stress: eight threads run batches of their own seeds on one shared
Simulator while other threads build, run and drop objects of their own, and
short-lived threads come and go (each building and then destroying its FFT plan
table). Every batch equals, byte for byte, the same batch run alone."""
import gc
import threading
import time

import numpy as np

import _quelmar as q
from conftest import F32, SOURCE, make_config, make_segment, make_velocity

RUNNERS = 8
CHURNERS = 3
ROUNDS = 6
DEADLINE_S = 300  # generous for sanitizer builds; a clean run takes about a second


def batch(worker, round_):
    n = 3
    return dict(latitude_deg=np.full(n, 2.0, F32),
                longitude_deg=np.linspace(1.1, 1.3 + 0.02 * worker, n).astype(F32),
                station_seed=np.array([((1000 * worker + round_) * 0x9E3779B97F4A7C15 + i)
                                       % 2**64 for i in range(n)], np.uint64),
                kappa_s=np.full(n, 0.03 + 0.002 * round_, F32),
                q_frequency_exponent=np.full(n, 0.6, F32))


def run_tolerating_fault(sim, args):
    try:
        return sim.run_stations(**args)
    except BaseException as e:  # noqa: BLE001 - only the core's fault is expected
        if type(e).__name__ != "PanicException":
            raise
        return None


def churn(stop, errors, k):
    """Builds and drops every kind of object, runs tiny simulators (one with a
    fault), and starts short-lived threads, until told to stop."""
    i = 0
    try:
        while not stop.is_set():
            i += 1
            seg = make_segment((1, 2), rake_deg=float(i % 180))
            sim = q.Simulator(make_config(rayset=(1, 2) if i % 3 else (1, -1), duration_s=5.0),
                              q.SlipModel([seg, seg]), make_velocity())
            q.PathParameters(rayset=list(range(i % 7)), path_duration_model=11)
            q.SourceParameters(**SOURCE)
            args = batch(9 + k, i)
            out = run_tolerating_fault(sim, args)
            assert out is None or out.shape == (3, 3, 500)
            if i % 4 == 0:
                t = threading.Thread(target=run_tolerating_fault, args=(sim, args))
                t.start()
                t.join(timeout=60)
                assert not t.is_alive()
            del sim, seg
            if i % 10 == 0:
                gc.collect()
    except BaseException as e:  # noqa: BLE001 - reported by the test
        errors.append(e)


def test_shared_simulator_under_load_matches_lone_runs():
    sim = q.Simulator(make_config(rayset=(1, 2, 3), duration_s=20.0, dt=0.01),
                      q.SlipModel([make_segment()]), make_velocity())
    expected = {(w, r): sim.run_stations(**batch(w, r)).tobytes()
                for w in range(RUNNERS) for r in range(ROUNDS)}
    assert len(set(expected.values())) == len(expected)  # every batch differs

    got, errors = {}, []
    barrier = threading.Barrier(RUNNERS + CHURNERS)
    stop = threading.Event()

    def run(w):
        try:
            barrier.wait(timeout=60)
            for r in range(ROUNDS):
                got[w, r] = sim.run_stations(**batch(w, r)).tobytes()
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    def churner(k):
        try:
            barrier.wait(timeout=60)
        except threading.BrokenBarrierError as e:
            errors.append(e)
            return
        churn(stop, errors, k)

    runners = [threading.Thread(target=run, args=(w,)) for w in range(RUNNERS)]
    churners = [threading.Thread(target=churner, args=(k,)) for k in range(CHURNERS)]
    for t in runners + churners:
        t.start()
    deadline = time.monotonic() + DEADLINE_S
    for t in runners:
        t.join(timeout=max(0.0, deadline - time.monotonic()))
    stop.set()
    for t in churners:
        t.join(timeout=max(0.0, deadline - time.monotonic()))
    assert not [t for t in runners + churners if t.is_alive()], "threads missed the deadline"
    assert not errors, errors
    assert got.keys() == expected.keys()
    for key, value in expected.items():
        assert got[key] == value, f"worker {key[0]} round {key[1]} differs from the lone run"


def test_hundreds_of_short_lived_threads():
    # Each thread builds its own FFT plan table at its first transform and destroys
    # it at exit, under the planner lock the others are using; 256 threads, 32 at a
    # time, every record equal to the lone run.
    sim = q.Simulator(make_config(rayset=(1, 2), duration_s=5.0), q.SlipModel([make_segment()]),
                      make_velocity())
    expected = [sim.run_stations(**batch(w % 5, w)).tobytes() for w in range(256)]
    got, errors = [None] * 256, []

    def run(w):
        try:
            got[w] = sim.run_stations(**batch(w % 5, w)).tobytes()
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    deadline = time.monotonic() + DEADLINE_S
    for start in range(0, 256, 32):
        wave = [threading.Thread(target=run, args=(w,)) for w in range(start, start + 32)]
        for t in wave:
            t.start()
        for t in wave:
            t.join(timeout=max(0.0, deadline - time.monotonic()))
        assert not [t for t in wave if t.is_alive()], "threads missed the deadline"
    assert not errors, errors
    assert got == expected
