# Simulator.run_stations: record layout, refused batches, stops, reproducibility, threads (those
# that could take the interpreter down run in a child interpreter).
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import _quelmar as q
from conftest import F32, check_error, make_config, make_segment, make_velocity, run_child, stations

DTYPES = (F32, F32, np.uint64, F32, F32)  # of the arrays of stations(), in order


def make_sim(rayset=(1, 2), **rec):  # 2 x 3 subfaults; 1000 samples unless `rec` says otherwise
    return q.Simulator(make_config(rayset, **rec), q.SlipModel([make_segment()]), make_velocity())


@pytest.fixture(scope="module")
def sim():
    return make_sim()


def test_each_row_is_its_station_alone(sim):
    args = stations(4)
    args["longitude_deg"][:3] = 1.2
    args["station_seed"][:] = [5, 5, 6, 5]
    out = sim.run_stations(**args)
    assert out.shape == (3, 4, 1000) and out.strides == (16000, 4000, 4) and out.dtype == F32
    assert out.flags.writeable and not out.flags.owndata  # its base object frees the buffer
    assert np.isfinite(out).all() and (np.abs(out).max(axis=2) > 0).all()
    assert np.array_equal(out[:, 0], out[:, 1])  # same place, same seed
    assert not np.array_equal(out[:, 0], out[:, 2]) and not np.array_equal(out[:, 0], out[:, 3])
    backwards = sim.run_stations(**{k: v[::-1].copy() for k, v in args.items()})
    assert backwards.tobytes() == out[:, ::-1].tobytes()
    out[...] = 7.0  # each call returns a buffer of its own
    assert sim.run_stations(**args).tobytes() == backwards[:, ::-1].tobytes()
    for empty, shape in [(sim.run_stations(**{k: v[:0] for k, v in args.items()}), (3, 0, 1000)),
                         (make_sim(duration_s=0.0).run_stations(**args), (3, 4, 0))]:
        assert empty.shape == shape and empty.strides == (0, 0, 0), shape


@pytest.mark.parametrize("key, value, message", [  # in a batch of three; None: same records
    ("latitude_deg", np.full(4, 2.0, F32), "longitude_deg has 3 entries, but latitude_deg has 4"),
    ("longitude_deg", np.full(2, 1.2, F32), "longitude_deg has 2 entries, but latitude_deg has 3"),
    ("station_seed", np.ones(1, np.uint64), "station_seed has 1 entry, but latitude_deg has 3"),
    ("kappa_s", np.zeros(0, F32), "kappa_s has 0 entries, but latitude_deg has 3"),
    ("q_frequency_exponent", np.ones(2, F32),
     "q_frequency_exponent has 2 entries, but latitude_deg has 3"),
    ("kappa_s", F32([0.04, np.inf, 0.04]), "kappa_s must not be inf or NaN; got inf at index 1"),
    ("q_frequency_exponent", F32([0.6, 0.6, -np.inf]),
     "q_frequency_exponent must be finite; got -inf at index 2"),
    ("q_frequency_exponent", F32([0.6, 0.6, 0.6, np.nan]), None),  # extra entries unread
    ("kappa_s", F32([0.04, 0.04, 0.04, np.inf]), None),
])
def test_odd_array_out(sim, key, value, message):
    args = dict(stations(3), **{key: value})
    before = {k: v.copy() for k, v in args.items()}
    if message is None:
        assert sim.run_stations(**args).tobytes() == sim.run_stations(**stations(3)).tobytes()
    else:
        check_error(lambda: sim.run_stations(**args), ValueError, message)
    assert all(np.array_equal(before[k], v, equal_nan=True) for k, v in args.items()), key


def test_a_stop_and_a_silent_batch():
    bad_code = make_sim(rayset=(1, -1))  # a core stop is a PanicException, not an Exception
    check_error(lambda: bad_code.run_stations(**stations(2)), "pyo3_runtime.PanicException",
                "ray type -1 is negative; th1 would be undefined")
    far = dict(stations(2), longitude_deg=np.full(2, 30.0, F32))  # arrivals after the record
    assert not bad_code.run_stations(**far).any()


def test_fixture_generator_is_read_at_each_call(sim, monkeypatch):
    monkeypatch.delenv("KORVANE_FIXTURE_RNG", raising=False)
    pcg = sim.run_stations(**stations(2)).tobytes()
    monkeypatch.setenv("KORVANE_FIXTURE_RNG", "")
    fixture = sim.run_stations(**stations(2)).tobytes()
    assert fixture != pcg and fixture == sim.run_stations(**stations(2)).tobytes()


def test_eight_threads_share_one_simulator_without_the_lock(sim):
    # With a switch interval far longer than any call, a thread keeps the interpreter
    # lock from its entry in `inside` into the call: another thread sees it there only
    # if the call released the lock.
    args, interval = stations(6, seed0=100), sys.getswitchinterval()
    expected = sim.run_stations(**args).tobytes()
    inside, overlaps, barrier = [], [], threading.Barrier(8)

    def work(i):
        barrier.wait()
        inside.append(i)
        overlaps.append(len(inside))
        out = sim.run_stations(**args).tobytes()
        inside.remove(i)
        return out

    sys.setswitchinterval(100.0)
    try:
        with ThreadPoolExecutor(8) as pool:
            results = list(pool.map(work, range(8)))
    finally:
        sys.setswitchinterval(interval)
    assert results == [expected] * 8 and max(overlaps) > 1, "lock held or records differ"


@settings(max_examples=80, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck))
@given(st.data())
def test_any_arrays_give_records_or_a_documented_error(sim, data):
    # Arrays of any values, and one of them perhaps of another dtype, layout or length.
    n, odd = data.draw(st.integers(1, 3)), data.draw(st.sampled_from(list(stations(0))))
    args = {k: data.draw(hnp.arrays(d, n), k) for k, d in zip(stations(0), DTYPES)}
    a, fault = args[odd], data.draw(st.sampled_from(
        ["", "strided", "short", "long", np.float64, np.int64, np.dtype(">f4")]))
    args[odd] = np.zeros(n, fault) if not isinstance(fault, str) else {
        "": a, "strided": np.repeat(a, 2)[::2], "short": a[:-1], "long": np.append(a, a[:1])}[fault]
    lat = len(args["latitude_deg"])
    fine = all(a.dtype == d and a.flags.c_contiguous and len(a) >= lat
               for a, d in zip(args.values(), DTYPES))
    fine = fine and np.isfinite(args["q_frequency_exponent"][:lat]).all() and all(
        args["kappa_s"][:lat] < np.inf) and (np.abs(args["latitude_deg"][:lat]) <= 90).all() and np.isfinite(
        args["longitude_deg"][:lat]).all()
    refs = [sys.getrefcount(a) for a in args.values()]
    try:
        out = sim.run_stations(**args)
    except (TypeError, ValueError) as err:
        assert not fine, err
    else:
        assert fine and out.shape == (3, lat, 1000) and out.dtype == F32
        assert out.tobytes() == sim.run_stations(**args).tobytes()
    assert [sys.getrefcount(a) for a in args.values()] == refs


# The start of the scripts run in a child interpreter.
CHILD = """
        import os, sys, threading, time, numpy as np, _quelmar as q
        from conftest import SIM, SLIP, VEL, make_config, stations
"""


def test_a_batch_runs_on_the_values_its_arrays_held_when_called():
    # Once the batch has released the lock (with this switch interval, the only way the thread
    # gets it), a thread spoils all five arrays: inf kappa, NaN exponent, another place and seed,
    # and latitude_deg's buffer freed by a resize (a use-after-free if the batch still read it).
    # The records must be the unspoiled ones, and the spoiling must land in mid-batch.
    assert run_child(CHILD + """
        s, args = q.Simulator(make_config(duration_s=30.0), SLIP, VEL), stations(64)
        expected, called, order = s.run_stations(**args).tobytes(), threading.Event(), []
        def spoil():
            called.wait()
            args["kappa_s"][:], args["q_frequency_exponent"][:] = np.inf, np.nan
            args["longitude_deg"][:], args["station_seed"][:] = 9.0, 0
            args["latitude_deg"].resize(2**20, refcheck=False)
            order.append("spoiled")
        sys.setswitchinterval(100.0)
        (spoiler := threading.Thread(target=spoil)).start(), called.set()
        same = s.run_stations(**args).tobytes() == expected
        order.append("returned"), spoiler.join()
        print(*order, same)
    """) == ["spoiled", "returned", "True"]


def test_daemon_threads_in_a_batch_when_the_interpreter_exits():
    # Four daemon threads run batches while the main thread ends: each must stay parked, the
    # process exit quietly with status 0. An object dropped from sys.modules during finalization
    # runs a batch on the finalizing thread (which must get the lock back) and keeps finalization
    # going while the daemons finish theirs. Anything on standard error shows among the words.
    assert run_child(CHILD + """
        os.dup2(1, 2)
        loop = lambda: [SIM.run_stations(**stations(2)) for _ in iter(int, 1)]
        [threading.Thread(target=loop, daemon=True).start() for _ in range(4)]
        class AtExit:
            def __del__(self, run=SIM.run_stations, args=stations(2), print=print, sleep=time.sleep):
                print(*run(**args).shape)
                sleep(0.05)
        sys.modules["at_exit"] = AtExit()
        time.sleep(0.2)
    """, timeout=30) == ["3", "2", "20"]
