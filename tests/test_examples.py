"""The examples: thread pools and Dask give the bytes of a single-threaded run."""
import os
import sys

import numpy as np
import pytest

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
sys.path.insert(0, EXAMPLES)
import scenario as sc  # noqa: E402


@pytest.fixture(scope="module")
def inputs():
    return sc.scenario_inputs()


@pytest.fixture(scope="module")
def sim(inputs):
    return sc.build_simulator(inputs)


# A few stations from the fault outwards, not consecutive in the scenario's order.
PICK = np.array([0, 7, 19, 45, 83, 131])


@pytest.fixture(scope="module")
def serial(inputs, sim):
    return sim.run_stations(**sc.subset(inputs["stations"], PICK))


def test_scenario_is_plain_data_and_realistic(inputs, serial):
    import pickle
    again = pickle.loads(pickle.dumps(inputs))
    assert sc.token(again) == sc.token(inputs)
    seg = inputs["segments"][0]
    # Moment of the slip field, with each cell's layer rigidity, matches the magnitude.
    assert seg["slip"].shape == (9, 16) and seg["slip"].min() > 0
    _, _, depth = sc._cell_geometry()
    layer = sc._layer_of(depth)
    mu = sc.CRUST[layer, 3] * sc.CRUST[layer, 2] ** 2 * 1e10  # dyne/cm^2
    moment = (seg["slip"] * mu * (seg["subfault_length_km"] * 1e5) ** 2).sum()
    assert moment == pytest.approx(10 ** (1.5 * 6.7 + 16.05), rel=1e-5)
    # Rupture starts at the hypocentre cell and spreads outwards.
    assert seg["rupture_time_s"].min() < 0.5 and seg["rupture_time_s"].max() < 12
    assert len(inputs["stations"]["latitude_deg"]) == 160
    pga = np.abs(serial).max(axis=2)
    assert serial.shape == (3, len(PICK), 8000) and np.isfinite(serial).all()
    # Horizontal PGA of a few tens to a few hundred cm/s^2 near the fault, decaying outwards.
    near, far = pga[:2, 0], pga[:2, 2]  # Rrup 5 km and 101 km on one profile
    assert (near > 50).all() and (near < 1500).all() and (far < near / 4).all()
    # Records are long enough for the farthest stations: the last 5 s are quiet.
    assert (np.abs(serial[:, :, -500:]).max(axis=2) < 0.05 * pga).all()


def test_threads_and_dask_threads_match_a_single_thread(inputs, sim, serial):
    import dask_threads
    import demo
    stations = sc.subset(inputs["stations"], PICK)
    for threads, chunk in ((3, 1), (4, 4)):
        out = demo.run_threaded(sim, stations, threads, chunk)
        assert out.tobytes() == serial.tobytes()
        out = dask_threads.run_dask_threads(sim, stations, threads, chunk)
        assert out.dtype == np.float32 and out.tobytes() == serial.tobytes()
    assert dask_threads.run_dask_threads(sim, sc.subset(stations, slice(0, 0)), 2, 2).shape \
        == (3, 0, 8000)


def test_distributed_workers_match_a_single_thread(inputs, sim):
    import dask_distributed
    index = slice(40, 45)
    serial = sim.run_stations(**sc.subset(inputs["stations"], index))
    out = dask_distributed.run_distributed(inputs, index, workers=2, chunk=2, timeout_s=180.0)
    assert out.shape == serial.shape and out.tobytes() == serial.tobytes()


def test_demo_writes_table_and_figure(tmp_path, capsys):
    import demo
    figure = tmp_path / "demo.png"
    acc = demo.main(["--stations", "4", "--threads", "2", "--figure", str(figure),
                     "--no-progress"])
    text = capsys.readouterr().out
    assert acc.shape == (3, 4, 8000)
    assert "PGA (cm/s^2) per distance bin" in text and "vertical gm" in text
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
