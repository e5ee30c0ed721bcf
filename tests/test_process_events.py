# Threads at the process's exit and forks while calls run, each in a child interpreter, since
# what goes wrong there aborts or hangs the process.
from conftest import run_child

# Four daemon threads repeat a call while the main thread runs `main` and exits cleanly. At the exit a
# thread is ended where its call takes the interpreter lock back: writing the text of an internal
# stop, or inside a __float__ that sleeps. A fork copies the locks the threads hold at that moment,
# FFTW's planner lock among them while the threads plan (each batch on a fresh thread); the
# forked workers then plan lengths of their own. Ten children a row: 20 pools in all. The row's
# name goes to standard error, which the message of a child that dies shows.
# Under a sanitizer no pool is opened: a fork copies its allocator's lock too, held or not.
CASES = {
    "internal stop": ("q.Simulator(cfg(rayset=(1, -1), dt=0.05), SLIP, VEL).run_stations(**st(2))", "time.sleep(0.2)"),
    "__float__ that sleeps": ("q.RecordParameters(duration_s=1, dt=Slow())", "time.sleep(0.2)"),
    "fork while planning": ("(t := threading.Thread(target=work, args=(10,))).start() or t.join()",
                            "for r in range(0 if os.environ.get('QUELMAR_SANITIZER') else 2):\n"
                            "    with mp.get_context('fork').Pool(2) as p: "
                            "p.map_async(work, [3.3 + r, 4.7 + r]).get(20)")}


def test_threads_ended_at_exit_and_forks_while_planning():
    for name, (call, main) in CASES.items():
        for run in range(10):
            run_child(f"""
import contextlib, os, sys, threading, time, multiprocessing as mp, _quelmar as q
from conftest import SLIP, VEL, make_config as cfg, stations as st
class Slow: __float__ = lambda self: time.sleep(1e-3) or 0.1
def work(d): return q.Simulator(cfg(duration_s=d), SLIP, VEL).run_stations(**st(1)).size
def loop():
    while True:
        with contextlib.suppress(BaseException): {call}
[threading.Thread(target=loop, daemon=True).start() for _ in range(4)], print({name!r}, {run}, file=sys.stderr)
{main}""", timeout=120)
