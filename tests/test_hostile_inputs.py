# Caller code that changes what the module checked, and foreign FFTW planners: each can take an
# interpreter down if mishandled, so each runs in a child interpreter.
from conftest import run_child

PREAMBLE = """
        import os, threading, time, ctypes, numpy as np, _quelmar as q
        from conftest import make_config, make_segment, make_velocity, stations, velocity_kwargs
        def sim(**kw): return q.Simulator(make_config(**kw), q.SlipModel([make_segment((1, 2))]), make_velocity())
"""


def test_dtype_rebound_by_float_conversion_is_checked_again():
    # vs_moho_km_s's __float__ runs after the arrays were checked and halves their element size.
    assert run_child(PREAMBLE + """
        kw = velocity_kwargs(vs=np.full(10**6, 3.0))
        class Sneaky:
            def __float__(self):
                for a in list(kw.values())[:6]:
                    a.dtype = np.float16 if a.dtype == np.float32 else np.float32
                return 4.5
        try:
            q.VelocityModel1D(**dict(kw, vs_moho_km_s=Sneaky()))
        except TypeError as e:
            print(e.__notes__[0].replace(" ", "_"))
    """) == ["while_processing_'thickness_km'"]


def test_batch_reads_nothing_a_thread_changes_after_the_lock_is_released():
    # A thread flips a short seed array's dtype (uint64 <-> uint32: twice the length) and
    # KORVANE_FIXTURE_RNG while batches run: each is refused, or its rows (one seed, one place)
    # come from one generator.
    assert run_child(PREAMBLE + """
        s, done, same_rows = sim(duration_s=4.0), threading.Event(), set()
        same = dict(stations(4), longitude_deg=np.full(4, 1.2, np.float32), station_seed=np.full(4, 7, np.uint64))
        short = dict(same, station_seed=np.full(2, 7, np.uint64))
        def meddle():
            while not done.is_set():
                short["station_seed"].dtype = np.uint32 if short["station_seed"].dtype == np.uint64 else np.uint64
                os.environ["KORVANE_FIXTURE_RNG"] = ""
                del os.environ["KORVANE_FIXTURE_RNG"]
        threading.Thread(target=meddle).start()
        for _ in range(300):
            try:
                s.run_stations(**short)
            except (TypeError, ValueError):
                pass
            same_rows.add(len({r.tobytes() for r in s.run_stations(**same).transpose(1, 0, 2)}) == 1)
        done.set()
        print(*same_rows)
    """) == ["True"]


def test_fftw_planner_is_shared_safely_with_other_planners():
    # Another library plans FFTW transforms on its threads while ours build and drop their plan
    # tables (a new thread per pass): every planner call of the process must be serialised.
    assert run_child(PREAMBLE + """
        f, v = ctypes.CDLL("libfftw3f.so.3"), ctypes.c_void_p
        f.fftwf_malloc.restype = f.fftwf_plan_dft_1d.restype = v
        f.fftwf_plan_dft_1d.argtypes = [ctypes.c_int, v, v, ctypes.c_int, ctypes.c_uint]
        f.fftwf_destroy_plan.argtypes = [v]
        buf, stop, bad = f.fftwf_malloc(ctypes.c_size_t(8 * 30000)), time.monotonic() + 4, []
        sims = [sim(rayset=(1,), duration_s=d, dt=0.05) for d in (3, 5, 7, 11, 13)]
        ref = [s.run_stations(**stations(1)).tobytes() for s in sims]
        def foreign():
            for i in range(10**9):
                f.fftwf_destroy_plan(f.fftwf_plan_dft_1d(2 + 2 * (i % 3000), buf, buf, -1, 64))
                if time.monotonic() > stop: break
        def ours():
            while time.monotonic() < stop:
                t = threading.Thread(target=lambda: bad.extend(s.run_stations(**stations(1)).tobytes() != r
                                                               for s, r in zip(sims, ref)))
                t.start(), t.join()
        threads = [threading.Thread(target=g) for g in (foreign, foreign, ours, ours)]
        [t.start() for t in threads], [t.join() for t in threads]
        print("mismatches", sum(bad))
    """, timeout=60) == ["mismatches", "0"]
