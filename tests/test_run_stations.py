"""Simulator.run_stations: argument checks, output layout, faults, reproducibility."""
import threading

import numpy as np
import pytest

import _quelmar as q
from conftest import F32, check_error, make_config, make_segment, make_velocity, stations

KEYS = ("latitude_deg", "longitude_deg", "station_seed", "kappa_s", "q_frequency_exponent")
PANIC = "pyo3_runtime.PanicException"


def make_sim(rayset=(1, 2), duration_s=20.0, dt=0.01):
    # 2 x 3 subfaults of 7 x 8 km at 1 E, 2 N (conftest's segment).
    return q.Simulator(make_config(rayset=rayset, duration_s=duration_s, dt=dt),
                       q.SlipModel([make_segment()]), make_velocity())


@pytest.fixture(scope="module")
def sim():
    return make_sim()


def test_output_layout(sim):
    out = sim.run_stations(**stations(3))
    assert out.shape == (3, 3, 2000) and out.dtype == np.float32
    assert out.strides == (4 * 3 * 2000, 4 * 2000, 4)
    assert out.flags["C_CONTIGUOUS"] and out.flags["WRITEABLE"] and not out.flags["OWNDATA"]
    assert np.isfinite(out).all() and np.abs(out).max() > 0
    out[...] = 7.0  # writing into one result leaves later calls alone
    again = sim.run_stations(**stations(3))
    assert not np.shares_memory(out, again) and (again != 7.0).any()


def test_empty_and_short_batches(sim):
    empty = sim.run_stations(**{k: v[:0] for k, v in stations(3).items()})
    assert empty.shape == (3, 0, 2000) and empty.strides == (0, 0, 0)

    longer = stations(4)
    longer["kappa_s"] = np.full(9, 0.04, F32)
    assert np.array_equal(sim.run_stations(**longer), sim.run_stations(**stations(4)))

    zero_len = make_sim(duration_s=0.0)
    assert zero_len.run_stations(**stations(2)).shape == (3, 2, 0)


def test_saturated_record_length_stops_before_running():
    sim = make_sim(dt=0.0)  # n_time saturates to 2**64 - 1
    for n in (0, 2):
        with pytest.raises(BaseException) as info:
            sim.run_stations(**stations(n))
        assert type(info.value).__module__ + "." + type(info.value).__name__ == PANIC
        assert str(info.value) == ("ndarray: Shape too large, product of non-zero axis lengths "
                                   "overflows isize")


def test_unallocatable_output_raises_memory_error():
    sim = make_sim(duration_s=2.0**40, dt=1.0)  # 3 x 2^40 float32 per station
    with pytest.raises(MemoryError):
        sim.run_stations(**stations(1))


@pytest.mark.parametrize("key, value, type_name", [
    ("latitude_deg", [2.0, 2.0], "list"),
    ("latitude_deg", np.zeros((2, 2), F32), "ndarray"),
    ("latitude_deg", np.zeros(2, np.float64), "ndarray"),
    ("station_seed", np.zeros(2, np.int64), "ndarray"),
    ("station_seed", np.zeros(2, F32), "ndarray"),
    ("kappa_s", np.zeros(2, ">f4"), "ndarray"),
    ("q_frequency_exponent", None, "None"),
])
def test_array_type_errors(sim, key, value, type_name):
    args = stations(2)
    args[key] = value
    text = ("'None' is not an instance of 'ndarray'" if value is None
            else f"'{type_name}' object is not an instance of 'ndarray'")
    check_error(lambda: sim.run_stations(**args), TypeError, text, note=key)


def test_layout_checks(sim):
    args = stations(4)
    args["latitude_deg"] = np.zeros(8, F32)[::2]
    check_error(lambda: sim.run_stations(**args), TypeError,
                "The given array is not contiguous or is misaligned.")
    # Every dtype check runs before any layout check.
    args["kappa_s"] = np.zeros(4, np.float64)
    check_error(lambda: sim.run_stations(**args), TypeError,
                "'ndarray' object is not an instance of 'ndarray'", note="kappa_s")
    # A strided view of length 0 passes; so does a read-only array.
    args = {k: v[:0] for k, v in stations(2).items()}
    args["longitude_deg"] = np.zeros(8, F32)[::2][:0]
    assert sim.run_stations(**args).shape == (3, 0, 2000)
    args = stations(2)
    for v in args.values():
        v.flags.writeable = False
    assert sim.run_stations(**args).shape == (3, 2, 2000)


def test_binding_errors(sim):
    a = stations(1)
    check_error(lambda: sim.run_stations(*a.values()), TypeError,
                "Simulator.run_stations() takes 0 positional arguments but 5 were given")
    check_error(lambda: sim.run_stations(**a, seed=1), TypeError,
                "Simulator.run_stations() got an unexpected keyword argument 'seed'")
    check_error(lambda: sim.run_stations(latitude_deg=a["latitude_deg"]), TypeError,
                "Simulator.run_stations() missing 4 required keyword arguments: 'longitude_deg', "
                "'station_seed', 'kappa_s', and 'q_frequency_exponent'")
    assert q.Simulator.run_stations.__text_signature__ == (
        "($self, *, latitude_deg, longitude_deg, station_seed, kappa_s, q_frequency_exponent)")
    assert q.Simulator.run_stations.__doc__ == (
        "Simulate a batch of stations.\n\nReturns acceleration in cm/s^2, shaped "
        "`(3, n_station, n_time)` with components\nordered 090/000/vertical.")


def test_negative_ray_code_panics_and_simulator_survives(capfd):
    bad = make_sim(rayset=(1, -1))
    with pytest.raises(BaseException) as info:
        bad.run_stations(**stations(2))
    assert type(info.value).__name__ == "PanicException"
    assert type(info.value).__module__ == "pyo3_runtime"
    assert isinstance(info.value, BaseException) and not isinstance(info.value, Exception)
    assert str(info.value) == "ray type -1 is negative; th1 would be undefined"
    assert "ray type -1 is negative; th1 would be undefined" in capfd.readouterr().err
    # Far stations start after the record ends: nothing reaches the bad code.
    far = stations(2)
    far["longitude_deg"] = np.full(2, 30.0, F32)
    assert not bad.run_stations(**far).any()


def test_reproducible_rows(sim):
    args = stations(4)
    args["longitude_deg"][:] = 1.2
    args["station_seed"][:] = [5, 5, 6, 5]
    out = sim.run_stations(**args)
    assert np.array_equal(out[:, 0], out[:, 1]) and np.array_equal(out[:, 0], out[:, 3])
    assert not np.array_equal(out[:, 0], out[:, 2])


def test_threads_share_one_simulator(sim):
    args = stations(6, seed0=100)
    expected = sim.run_stations(**args)
    results = [None] * 8
    barrier = threading.Barrier(8)

    def work(i):
        barrier.wait()
        results[i] = sim.run_stations(**args)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert all(not t.is_alive() for t in threads)
    for r in results:
        assert r is not None and r.tobytes() == expected.tobytes()


def test_fixture_generator_is_read_per_run(sim, monkeypatch):
    monkeypatch.delenv("KORVANE_FIXTURE_RNG", raising=False)
    pcg = sim.run_stations(**stations(2))
    monkeypatch.setenv("KORVANE_FIXTURE_RNG", "")
    fixture = sim.run_stations(**stations(2))
    assert not np.array_equal(pcg, fixture)
    assert np.array_equal(fixture, sim.run_stations(**stations(2)))
    monkeypatch.delenv("KORVANE_FIXTURE_RNG")
    assert np.array_equal(pcg, sim.run_stations(**stations(2)))
