"""Inputs that used to crash the interpreter or come back as records that look real
but are not: each must now give a clear error, or identical records."""
import re

import numpy as np
import pytest

import _quelmar as q
from conftest import (F32, SOURCE, check_error, make_config, make_segment, make_velocity,
                      not_under_sanitizer, run_child, stations, velocity_kwargs)

PANIC = "pyo3_runtime.PanicException"


@pytest.fixture(scope="module")
def sim():
    return q.Simulator(make_config(duration_s=10.0), q.SlipModel([make_segment()]), make_velocity())


# ---- crashes: caller code that changes what was checked ---------------------------------

def test_dtype_rebound_by_float_conversion_is_checked_again():
    # vs_moho_km_s's __float__ runs after the six arrays were checked and rebinds their
    # dtypes to half the element size: read as before, that is twice the bytes there are.
    out = run_child("""
        import numpy as np, _quelmar as q
        from conftest import velocity_kwargs
        n = 10**6
        kw = velocity_kwargs(vs=np.full(n, 3.0))
        class Sneaky:
            def __float__(self):
                for k in ("thickness_km", "vp_km_s", "vsh_km_s", "density_g_cm3",
                          "quality_factor_p", "quality_factor_s"):
                    kw[k].dtype = np.float16 if kw[k].dtype == np.float32 else np.float32
                return 4.5
        kw["vs_moho_km_s"] = Sneaky()
        try:
            q.VelocityModel1D(**kw)
        except TypeError as e:
            print(type(e).__name__, e.__notes__[0].replace(" ", "_"))
    """)
    assert out == ["TypeError", "while_processing_'thickness_km'"]


def test_batch_reads_nothing_a_thread_can_change_after_the_lock_is_released():
    # One thread flips the dtype of a short seed array (uint64 <-> uint32, doubling its
    # length) and toggles KORVANE_FIXTURE_RNG while batches of identical stations run.
    # Every call must be refused, or give rows of one generator only.
    out = run_child("""
        import os, threading, numpy as np, _quelmar as q
        from conftest import make_config, make_segment, make_velocity
        sim = q.Simulator(make_config(duration_s=4.0), q.SlipModel([make_segment()]),
                          make_velocity())
        n = 4
        same = dict(latitude_deg=np.full(n, 2.0, np.float32),
                    longitude_deg=np.full(n, 1.2, np.float32),
                    station_seed=np.full(n, 7, np.uint64), kappa_s=np.full(n, 0.04, np.float32),
                    q_frequency_exponent=np.full(n, 0.6, np.float32))
        short = dict(same, station_seed=np.full(n // 2, 7, np.uint64))
        done = threading.Event()
        def meddle():
            while not done.is_set():
                seeds = short["station_seed"]
                seeds.dtype = np.uint32 if seeds.dtype == np.uint64 else np.uint64
                if "KORVANE_FIXTURE_RNG" in os.environ:
                    del os.environ["KORVANE_FIXTURE_RNG"]
                else:
                    os.environ["KORVANE_FIXTURE_RNG"] = ""
        t = threading.Thread(target=meddle)
        t.start()
        outcomes = set()
        for _ in range(300):
            try:
                sim.run_stations(**short)
                outcomes.add("short-ran")
            except (TypeError, ValueError):
                pass
            rows = sim.run_stations(**same)
            outcomes.add("mixed" if any((rows[:, i] != rows[:, 0]).any() for i in range(n))
                         else "same")
        done.set()
        t.join()
        print(*sorted(outcomes))
    """)
    assert out == ["same"]


def test_fftw_planner_is_safe_against_other_planners_in_the_process():
    # Another library planning single-precision FFTW transforms on its own threads
    # (here ctypes, which releases the lock) while our threads build and drop their
    # plan tables: FFTW's planner must serialise both, or the heap is corrupted.
    out = run_child("""
        import ctypes, threading, time, numpy as np, _quelmar as q
        from conftest import make_config, make_segment, make_velocity
        fftw = ctypes.CDLL("libfftw3f.so.3")
        fftw.fftwf_malloc.restype = ctypes.c_void_p
        fftw.fftwf_malloc.argtypes = [ctypes.c_size_t]
        fftw.fftwf_plan_dft_1d.restype = ctypes.c_void_p
        fftw.fftwf_plan_dft_1d.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p,
                                           ctypes.c_int, ctypes.c_uint]
        fftw.fftwf_destroy_plan.argtypes = [ctypes.c_void_p]
        buf = fftw.fftwf_malloc(8 * 30000)
        sims = [q.Simulator(make_config(rayset=(1,), duration_s=d, dt=0.05),
                            q.SlipModel([make_segment((1, 2))]), make_velocity())
                for d in (3.0, 5.0, 7.0, 11.0, 13.0)]
        st = dict(latitude_deg=np.full(1, 2.0, np.float32), longitude_deg=np.full(1, 1.1, np.float32),
                  station_seed=np.ones(1, np.uint64), kappa_s=np.full(1, 0.04, np.float32),
                  q_frequency_exponent=np.full(1, 0.6, np.float32))
        ref = [s.run_stations(**st) for s in sims]
        stop = time.monotonic() + 4.0
        bad = []
        def foreign():
            i = 0
            while time.monotonic() < stop:
                plan = fftw.fftwf_plan_dft_1d(2 * (1 + i % 3000), buf, buf, -1, 1 << 6)
                fftw.fftwf_destroy_plan(plan)
                i += 1
        def ours():
            def fresh_thread():  # a new plan table, built and destroyed
                bad.extend(s for s, r in zip(sims, ref) if not np.array_equal(s.run_stations(**st), r))
            while time.monotonic() < stop:
                t = threading.Thread(target=fresh_thread)
                t.start()
                t.join()
        threads = [threading.Thread(target=f) for f in (foreign, foreign, ours, ours)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print("mismatches", len(bad))
    """, timeout=60)
    assert out == ["mismatches", "0"]


# ---- records that looked real: refused with the field and position named ----------------

def source(**kw):
    return q.SourceParameters(**dict(SOURCE, **kw))


def slip_sim(slip):
    return q.Simulator(make_config(), q.SlipModel([make_segment((2, 2), slip=slip)]),
                       make_velocity())


def cell(value, at=(1, 0), base=1.0):
    grid = np.full((2, 2), base, F32)
    grid[at] = value
    return grid


NAN, INF = float("nan"), float("inf")
REFUSED = [
    ("slip NaN", lambda: slip_sim(cell(NAN)),
     "segment 0 has slip = NaN at row 1, column 0; every slip must be finite"),
    ("slip inf", lambda: slip_sim(cell(INF, at=(0, 1))),
     "segment 0 has slip = inf at row 0, column 1; every slip must be finite"),
    ("slip zero", lambda: slip_sim(np.zeros((2, 2), F32)),
     "the slip model has no slip anywhere: no subfault's slip is large enough to count, so "
     "every record would be zero"),
    ("slip huge", lambda: slip_sim(np.full((2, 2), 1e30, F32)),
     "the total moment of the slip model is inf dyne-cm, beyond the float range; slips are in cm"),
    ("rupture time NaN", lambda: make_segment((2, 2), rupture_time_s=cell(NAN, base=0.0)),
     "rupture_time_s must be finite everywhere; got NaN at row 1, column 0"),
    ("rupture time -inf", lambda: make_segment((2, 2), rupture_time_s=cell(-INF, at=(0, 1))),
     "rupture_time_s must be finite everywhere; got -inf at row 0, column 1"),
    ("top depth", lambda: make_segment(top_depth_km=-1.0),
     "top_depth_km must be finite and not negative; got -1"),
    ("subfault length", lambda: make_segment(subfault_length_km=0.0),
     "subfault_length_km must be positive and finite; got 0"),
    ("subfault width", lambda: make_segment(subfault_width_km=NAN),
     "subfault_width_km must be positive and finite; got NaN"),
    ("thickness", lambda: make_velocity(thickness_km=np.array([2, -1, 2, 2], F32)),
     "thickness_km must be finite and not negative; got -1 in layer 1"),
    ("vsh", lambda: make_velocity(vs=(3.0, -3.5, 4.6, 4.7)),
     "vsh_km_s must be positive and finite; got -3.5 in layer 1"),
    ("density", lambda: make_velocity(density_g_cm3=np.array([2.7, 2.7, 0.0, 2.7])),
     "density_g_cm3 must be positive and finite; got 0 in layer 2"),
    ("Qs", lambda: make_velocity(quality_factor_s=np.array([300, 0, 300, 300], F32)),
     "quality_factor_s must be positive; got 0 in layer 1"),
    ("rupture velocity fraction", lambda: source(rupture_velocity_fraction=INF),
     "rupture_velocity_fraction must be finite and not negative; got inf"),
    ("rupture velocity shallow", lambda: source(rupture_velocity_shallow=-1.0),
     "rupture_velocity_shallow must be finite and not negative; got -1"),
    ("rupture velocity sigma", lambda: source(rupture_velocity_sigma=NAN),
     "rupture_velocity_sigma must be finite and not negative; got NaN"),
    ("fmax", lambda: q.SiteParameters(fmax_hz=0.0), "fmax_hz must be positive; got 0"),
]


@pytest.mark.parametrize("name, build, message", REFUSED, ids=[r[0] for r in REFUSED])
def test_inputs_that_would_give_meaningless_records_are_refused(name, build, message):
    check_error(build, ValueError, message)


def test_values_with_a_meaning_of_their_own_stay_accepted(sim):
    # No attenuation, no truncation, no perturbation, no fmax filter, a zero-thickness
    # reflector, NaN layers below the Moho: accepted as before.
    q.VelocityModel1D(**velocity_kwargs(quality_factor_s=np.full(4, np.inf, F32)))
    assert make_velocity(vs_moho=float("nan")).layer_count == 4
    assert make_velocity(vs=(3.0, 3.5, 4.6, np.nan)).layer_count == 3
    make_velocity(thickness_km=np.array([2, 0, 2, 2], F32))
    source(rupture_velocity_sigma=0.0)
    q.SiteParameters(fmax_hz=INF)
    q.SiteParameters(fmax_hz=NAN)
    out = sim.run_stations(**dict(stations(2), kappa_s=np.array([np.nan, -np.inf], F32)))
    assert np.isnan(out[:, 0]).any() and np.isfinite(out[:, 1]).all()


def test_station_arrays_shorter_than_the_batch_or_meaningless_values_are_refused(sim):
    rows = [
        ("longitude_deg", np.zeros(2, F32), "longitude_deg has 2 entries, but latitude_deg has 4"),
        ("station_seed", np.zeros(1, np.uint64), "station_seed has 1 entry, but latitude_deg has 4"),
        ("kappa_s", np.zeros(0, F32), "kappa_s has 0 entries, but latitude_deg has 4"),
        ("q_frequency_exponent", np.zeros(3, F32),
         "q_frequency_exponent has 3 entries, but latitude_deg has 4"),
        ("kappa_s", np.array([0.04, 0.04, np.inf, np.inf], F32),
         "kappa_s must not be inf; got inf at index 2"),
        ("q_frequency_exponent", np.array([0.6, np.nan, 0.6, 0.6], F32),
         "q_frequency_exponent must be finite; got NaN at index 1"),
    ]
    for key, value, message in rows:
        check_error(lambda: sim.run_stations(**dict(stations(4), **{key: value})), ValueError,
                    message)


@pytest.mark.parametrize("n_station", [0, 1])
def test_record_too_long_for_numpy_fails_alike_for_any_batch(n_station):
    long = q.Simulator(make_config(duration_s=1e18, dt=1.0), q.SlipModel([make_segment()]),
                       make_velocity())
    with pytest.raises(BaseException) as info:
        long.run_stations(**stations(n_station))
    assert f"{type(info.value).__module__}.{type(info.value).__name__}" == PANIC
    assert str(info.value) == "capacity overflow"


def test_memory_error_says_what_could_not_be_allocated():
    huge = q.Simulator(make_config(duration_s=2.0**40, dt=1.0), q.SlipModel([make_segment()]),
                       make_velocity())
    check_error(lambda: huge.run_stations(**stations(2)), MemoryError,
                "cannot allocate the (3, 2, 1099511627776) float32 output array "
                "(26388279066624 bytes)")


@not_under_sanitizer
def test_memory_error_inside_a_station_run_names_the_buffers():
    # 5 million samples at dt = 0.2 us: the 60 MB output fits a 256 MB address-space
    # allowance, a ray's working buffers (about 60 bytes per sample of a 10-million
    # sample transform) do not.
    out = run_child("""
        import resource, numpy as np, _quelmar as q
        from conftest import make_config, make_segment, make_velocity
        sim = q.Simulator(make_config(duration_s=1.0, dt=2e-7), q.SlipModel([make_segment()]),
                          make_velocity())
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 2**28, resource.RLIM_INFINITY))
        try:
            sim.run_stations(latitude_deg=np.full(1, 2.0, np.float32),
                             longitude_deg=np.full(1, 1.1, np.float32),
                             station_seed=np.ones(1, np.uint64), kappa_s=np.full(1, 0.04, np.float32),
                             q_frequency_exponent=np.full(1, 0.6, np.float32))
        except MemoryError as e:
            print(str(e).replace(" ", "_"))
    """)
    assert len(out) == 1, out
    match = re.fullmatch(r"cannot_allocate_the_working_buffers_of_a_(\d+)-sample_transform_"
                         r"\((\d+)_bytes\)", out[0])
    assert match, out
    n, size = map(int, match.groups())
    # At least three complex spectrum rows and three time rows: 36 bytes a sample.
    assert n >= 5_000_000 and 36 * n <= size <= 80 * n, out
