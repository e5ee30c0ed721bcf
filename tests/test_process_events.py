# The end of the process while calls run: each in a child interpreter, since what
# goes wrong there aborts or hangs the process. QUELMAR_PROCESS_RUNS scales the repeats.
import os

import pytest

from conftest import run_child

RUNS = int(os.environ.get("QUELMAR_PROCESS_RUNS", "10"))
CHILD = """
        import os, sys, threading, time, numpy as np, _quelmar as q
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

