# The end of the process and forks while calls run: each in a child interpreter, since what
# goes wrong there aborts or hangs the process. QUELMAR_PROCESS_RUNS scales the repeats.
import os

import pytest

from conftest import run_child

RUNS = int(os.environ.get("QUELMAR_PROCESS_RUNS", "10"))
CHILD = """
        import os, sys, threading, time, multiprocessing, numpy as np, _quelmar as q
        from conftest import SLIP, VEL, make_config, stations
"""

# A call that daemon threads repeat while the main thread exits, each ending where the
# interpreter lock is taken back inside the call (its text reaches standard error).
ENDED_INSIDE_A_CALL = {
    "internal stop": """
        bad = q.Simulator(make_config(rayset=(1, -1), duration_s=1.0, dt=0.05), SLIP, VEL)
        call = lambda: bad.run_stations(**stations(2))""",
    "__float__ that sleeps": """
        class Slow:
            __float__ = lambda self: time.sleep(0.001) or 0.01
        call = lambda: q.RecordParameters(duration_s=1.0, dt=Slow())""",
}


@pytest.mark.parametrize("name", ENDED_INSIDE_A_CALL)
def test_daemon_threads_ended_inside_a_call_at_exit(name):
    for run in range(RUNS):
        words = run_child(CHILD + ENDED_INSIDE_A_CALL[name] + """
        os.dup2(1, 2)
        def loop():
            while True:
                try:
                    call()
                except BaseException:
                    pass
        [threading.Thread(target=loop, daemon=True).start() for _ in range(4)]
        time.sleep(0.2)
        """, timeout=30)
        assert not {"terminate", "FATAL:"} & set(words), f"{name}, run {run}: {' '.join(words)[-500:]}"


def test_fork_while_threads_plan_transforms():
    # Four threads run batches on fresh threads (so they plan again and again) while pools of
    # forked workers build simulators with plan lengths the parent never made.
    assert run_child(CHILD + f"""
        sims, stop = [q.Simulator(make_config(duration_s=d, dt=0.02), SLIP, VEL) for d in (2, 3, 5)], []
        def churn():
            while not stop:
                (t := threading.Thread(target=lambda: [s.run_stations(**stations(1)) for s in sims])).start()
                t.join()
        def work(d):
            return q.Simulator(make_config(duration_s=d), SLIP, VEL).run_stations(**stations(1)).shape[2]
        [threading.Thread(target=churn).start() for _ in range(4)]
        hung = 0
        for r in range({2 * RUNS}):
            with multiprocessing.get_context("fork").Pool(2) as pool:
                try:
                    pool.map_async(work, [3.3 + r, 4.7 + r]).get(timeout=20)
                except multiprocessing.TimeoutError:
                    hung += 1
        stop.append(1)
        print("hung", hung)
    """, timeout=600) == ["hung", "0"]
