# Every numeric argument of every constructor and of run_stations, drawn from plausible and
# implausible values alike: each call is refused naming an argument, or gives finite records.
# Calls run in a long-lived child interpreter under an address-space limit, fed cases over a
# pipe and restarted when it dies, so a crash or a runaway allocation cannot take the suite down.
import json
import math
import os
import re
import select
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, Phase, given, settings, strategies as st

from conftest import not_under_sanitizer

EXAMPLES = int(os.environ.get("KORVANE_PROPERTY_EXAMPLES", "400"))
ADDRESS_SPACE = 3 << 30  # bytes the child may map
TIMEOUT_S = 20.0  # per call, worker start-up included
# Plausible ranges (units of the field). Arrays of a layer or station take one value per entry.
SEGMENT = dict(longitude_deg=(-180, 180), latitude_deg=(-90, 90), strike_deg=(0, 360), dip_deg=(10, 90),
               rake_deg=(-180, 180), top_depth_km=(0, 20), subfault_length_km=(0.5, 5), subfault_width_km=(0.5, 5),
               hypocentre_along_strike_km=(0, 50), hypocentre_down_dip_km=(0, 20))
GRIDS = dict(slip=(1, 500), rise_time_s=(0.5, 5), rupture_time_s=(0, 20), stress_drop_bars=(10, 200))
LAYERS = dict(thickness_km=(0.5, 20), vp_km_s=(4, 8), vsh_km_s=(2, 3.4), density_g_cm3=(2, 3.3),
              quality_factor_p=(100, 1000), quality_factor_s=(50, 600))
SOURCE = dict(corner_frequency_constant=(1, 2), corner_frequency_alpha=(0, 1), rupture_velocity_fraction=(0.6, 0.95),
              rupture_velocity_shallow=(0.5, 1), rupture_velocity_deep=(0.8, 1.3), rupture_velocity_sigma=(0, 0.3))
STATION = dict(kappa_s=(0, 0.08), q_frequency_exponent=(0, 1))
FLOAT64 = ("vp_km_s", "vsh_km_s", "density_g_cm3")
FIELDS = [f"{g}.{n}" for g, names in [("segment", [*SEGMENT, *GRIDS]), ("velocity", [*LAYERS, "vs_moho_km_s"]),
                                      ("source", SOURCE), ("station", ["latitude_deg", "longitude_deg", *STATION]),
                                      ("path", ["rayset", "path_duration_model"]), ("site", ["fmax_hz"]),
                                      ("record", ["duration_s", "dt"])] for n in names]
# Edge values, and factors that turn a value into a wrong unit (m for km, Pa or MPa for bar, ms for s,
# radians for degrees, m for cm).
WILD = [0.0, -0.0, -1.0, 5e-324, 1e-45, 1e-40, 1e-20, 1e20, 3.4e38, 1e39, 1e300, math.nan, math.inf, -math.inf]
UNITS = [1e-6, 1e-3, 0.01, 0.1, math.pi / 180, 10.0, 100.0, 1e3, 1e5, 1e6]
WILD_CODES = [-1, -2**31, 9, 101, 2**20, 2**31 - 1, 2**31, 2**40]
ALLOWED = ("ValueError", "TypeError", "OverflowError", "MemoryError")
NAMED = r"\b(%s)\b" % "|".join([f.split(".")[1] for f in FIELDS] + ["segment", "layer", "output array"])


@st.composite
def cases(draw):
    wild = draw(st.sets(st.sampled_from(FIELDS), max_size=3))  # the fields this case takes off their range

    def num(field, lo, hi):
        v = draw(st.floats(lo, hi))
        return draw(st.sampled_from(WILD) | st.sampled_from(UNITS).map(v.__mul__) | st.just(-v)) if field in wild else v

    def column(field, lo, hi, n):  # n plausible entries, one of them wild when the field is
        out, k = [draw(st.floats(lo, hi)) for _ in range(n)], draw(st.integers(0, n - 1))
        out[k] = num(field, lo, hi)
        return out

    def code(field, plausible):
        return draw(st.sampled_from(WILD_CODES if field in wild else plausible))

    shape = draw(st.tuples(st.integers(1, 3), st.integers(1, 3)))
    segments = [{**{n: num("segment." + n, *r) for n, r in SEGMENT.items()},
                 **{n: np.reshape(column("segment." + n, *r, shape[0] * shape[1]), shape).tolist()
                    for n, r in GRIDS.items()}} for _ in range(draw(st.integers(1, 2)))]
    for n in ("subfault_length_km", "subfault_width_km"):  # one subfault size for all, unless drawn wild
        segments[-1][n] = segments[-1][n] if "segment." + n in wild else segments[0][n]
    layers = draw(st.integers(1, 4))
    velocity = {n: column("velocity." + n, *r, layers) for n, r in LAYERS.items()}
    velocity["vsh_km_s"] = [v + 0.5 * i for i, v in enumerate(velocity["vsh_km_s"])]  # faster downwards
    n_station, seg = draw(st.integers(1, 2)), segments[0]
    near = [float(np.clip(np.nan_to_num(seg[n]), 0.5 - m, m - 0.5))
            for n, m in (("latitude_deg", 90), ("longitude_deg", 180))]
    return dict(segments=segments, velocity=dict(velocity, vs_moho_km_s=num("velocity.vs_moho_km_s", 3.5, 4.6)),
                source={n: num("source." + n, *r) for n, r in SOURCE.items()},
                path=dict(rayset=[code("path.rayset", [0, 1, 2, 3, 4]) for _ in range(draw(st.integers(0, 3)))],
                          path_duration_model=code("path.path_duration_model", [0, 1, 2, 11, 12])),
                site=dict(fmax_hz=num("site.fmax_hz", 5, 50)),
                record=dict(duration_s=num("record.duration_s", 1, 30), dt=num("record.dt", 0.005, 0.05)),
                stations=dict({n: column("station." + n, c - 0.5, c + 0.5, n_station)
                               for n, c in zip(("latitude_deg", "longitude_deg"), near)},
                              station_seed=[draw(st.integers(0, 2**64 - 1)) for _ in range(n_station)],
                              **{n: column("station." + n, *r, n_station) for n, r in STATION.items()}))


def call(q, c):
    f32, arrays = np.float32, lambda kw, f: {n: np.array(v, f(n)) for n, v in kw.items()}
    segments = [q.FaultSegment(**{n: np.array(v, f32) if n in GRIDS else v for n, v in s.items()})
                for s in c["segments"]]
    crust = dict(c["velocity"])
    moho = crust.pop("vs_moho_km_s")
    velocity = q.VelocityModel1D(**arrays(crust, lambda n: np.float64 if n in FLOAT64 else f32), vs_moho_km_s=moho)
    config = q.HfConfig(source=q.SourceParameters(**c["source"]), path=q.PathParameters(**c["path"]),
                        site=q.SiteParameters(**c["site"]), record=q.RecordParameters(**c["record"]))
    sim = q.Simulator(config, q.SlipModel(segments), velocity)
    return sim.run_stations(**arrays(c["stations"], lambda n: np.uint64 if n == "station_seed" else f32))


def serve():
    # The child: one JSON case per line in, one JSON outcome per line out.
    import resource
    import _quelmar as q
    resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))
    for line in sys.stdin:
        try:
            # A float64 sum is finite exactly when every float32 sample is, and allocates nothing.
            out = ["finite" if math.isfinite(call(q, json.loads(line)).sum(dtype=np.float64)) else "NaN or inf samples"]
        except BaseException as e:
            out = [f"{type(e).__module__}.{type(e).__name__}".replace("builtins.", ""), str(e),
                   getattr(e, "__notes__", [])]
        print(json.dumps(out), flush=True)


class Worker:
    proc = None

    def ask(self, case):
        if self.proc is None:
            path = os.pathsep.join([os.path.dirname(__file__), *sys.path])
            self.proc = subprocess.Popen([sys.executable, "-c", "import test_property as t; t.serve()"], text=True,
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                         env=dict(os.environ, PYTHONPATH=path))
        self.proc.stdin.write(json.dumps(case) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline() if select.select([self.proc.stdout], [], [], TIMEOUT_S)[0] else None
        if line:
            return json.loads(line)
        self.proc.kill()
        code, self.proc = self.proc.wait(), None
        return [f"no answer within {TIMEOUT_S} s" if line is None else f"child died ({code})"]


def fault(case, outcome):
    # None when the outcome is sound, else what is wrong with it.
    kind, text, crust, record = outcome[0], " ".join(map(str, outcome[1:])), case["velocity"], case["record"]
    with np.errstate(over="ignore"):
        no_record = np.float32(record["dt"]) == 0 == np.float32(record["duration_s"])
    # The stops kept for their own cases: a negative ray code; dt 0 with duration 0; a source in the
    # top layer of a crust without an air layer (top vp 0.01 km/s or below, or top layer 1 m or thinner).
    no_air = crust["vp_km_s"][0] <= 0.01 or len(crust["vp_km_s"]) > 1 and crust["thickness_km"][0] <= 0.001
    stops = ["is negative; th1" in text and min(case["path"]["rayset"], default=0) < 0, no_record,
             "build_ray_path needs at least one" in text and no_air]
    if kind == "finite" or kind in ALLOWED and re.search(NAMED, text):
        return None
    return None if kind == "pyo3_runtime.PanicException" and any(stops) else f"{kind} {text}"


WORKER = Worker()


@not_under_sanitizer
@settings(max_examples=EXAMPLES, derandomize=True, database=None, deadline=None, phases=[Phase.generate],
          suppress_health_check=list(HealthCheck))
@given(cases())
def test_every_call_is_refused_by_name_or_gives_finite_records(case):
    assert fault(case, WORKER.ask(case)) is None, json.dumps(case)
