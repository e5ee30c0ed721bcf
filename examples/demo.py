"""Demo: the built-in Mw 6.7 reverse-fault scenario at 160 stations on a thread pool.

One `Simulator` is shared by every thread of a pool; each task runs a chunk of stations
(`run_stations` releases the interpreter lock, so the chunks run in parallel). Prints a
table of peak ground acceleration per distance bin and component and writes a figure with
records at a few distances and PGA against distance.

    PYTHONPATH=build/module python3 examples/demo.py [--threads N] [--figure demo.png]
"""
import argparse
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor, as_completed

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scenario as sc  # noqa: E402

COMPONENTS = ("090", "000", "vertical")
BIN_EDGES_KM = (0.0, 5.0, 10.0, 20.0, 40.0, 80.0, 160.0)
G_CM_S2 = 980.665


def run_threaded(sim, stations, threads, chunk, progress=None):
    """Acceleration (3, n_station, n_time) of `stations`, run in chunks of `chunk` stations
    on a pool of `threads` threads sharing `sim`; `progress(k)` is called as k stations
    complete."""
    n = len(stations["latitude_deg"])
    parts = sc.chunk_slices(n, chunk)
    out = None
    with ThreadPoolExecutor(max_workers=threads) as pool:
        futures = {pool.submit(sim.run_stations, **sc.subset(stations, s)): s for s in parts}
        for future in as_completed(futures):
            s, acc = futures[future], future.result()
            if out is None:
                out = np.empty((3, n, acc.shape[2]), np.float32)
            out[:, s] = acc
            if progress is not None:
                progress(s.stop - s.start)
    return out if out is not None else sim.run_stations(**stations)


def geometric_mean(values):
    return float(np.exp(np.log(values).mean())) if len(values) else float("nan")


def pga_table(pga, rrup):
    """Lines of a table of PGA (cm/s^2) per distance bin: geometric mean and maximum per
    component."""
    head = f"{'Rrup km':>11} {'n':>4} " + " ".join(f"{c + ' gm':>12} {c + ' max':>12}"
                                                for c in COMPONENTS)
    lines = [head, "-" * len(head)]
    for lo, hi in zip(BIN_EDGES_KM[:-1], BIN_EDGES_KM[1:]):
        sel = (rrup >= lo) & (rrup < hi)
        if not sel.any():
            continue
        cells = " ".join(f"{geometric_mean(pga[c, sel]):12.1f} {pga[c, sel].max():12.1f}"
                         for c in range(3))
        lines.append(f"{lo:5.0f}-{hi:<5.0f} {int(sel.sum()):4d} {cells}")
    return lines


def write_figure(path, acc, pga, rrup, dt, title):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax_rec, ax_pga) = plt.subplots(1, 2, figsize=(13, 6.0), gridspec_kw=dict(
        width_ratios=(1.25, 1.0)))
    t = np.arange(acc.shape[2]) * dt
    targets = (3.0, 10.0, 30.0, 80.0)
    picks = []
    for r in targets:
        i = int(np.argmin(np.abs(rrup - r)))
        if i not in picks:
            picks.append(i)
    spacing = 1.0
    for k, i in enumerate(picks):
        trace = acc[0, i]
        peak = np.abs(trace).max()
        offset = -k * 2.2 * spacing
        ax_rec.plot(t, trace / peak * spacing + offset, lw=0.5, color="k")
        ax_rec.text(t[-1], offset + 0.55 * spacing,
                    f"Rrup {rrup[i]:.1f} km, PGA {peak:.0f} cm/s$^2$",
                    ha="right", va="bottom", fontsize=9)
    ax_rec.set_yticks([])
    ax_rec.set_xlim(0.0, t[-1])
    ax_rec.set_xlabel("time after origin (s)")
    ax_rec.set_title("090 acceleration, each trace scaled to its own peak")

    colours = ("tab:blue", "tab:orange", "tab:green")
    for c in range(3):
        ax_pga.loglog(rrup, pga[c], ".", ms=4, alpha=0.55, color=colours[c],
                      label=f"{COMPONENTS[c]}")
        centres, means = [], []
        for lo, hi in zip(BIN_EDGES_KM[:-1], BIN_EDGES_KM[1:]):
            sel = (rrup >= lo) & (rrup < hi)
            if sel.any():
                centres.append(geometric_mean(rrup[sel]))
                means.append(geometric_mean(pga[c, sel]))
        ax_pga.loglog(centres, means, "-o", color=colours[c], lw=1.5, ms=5)
    ax_pga.set_xlabel("Rrup, distance to the nearest subfault centre (km)")
    ax_pga.set_ylabel("PGA (cm/s$^2$)")
    ax_pga.set_title("PGA against distance (lines: bin geometric means)")
    ax_pga.grid(True, which="both", alpha=0.3)
    g_axis = ax_pga.secondary_yaxis("right", functions=(lambda a: a / G_CM_S2,
                                                        lambda g: g * G_CM_S2))
    g_axis.set_ylabel("PGA (g)")
    ax_pga.legend(loc="lower left")
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=sc.usable_cores())
    parser.add_argument("--chunk", type=int, default=2, help="stations per task")
    parser.add_argument("--stations", type=int, default=None,
                        help="run only the first N stations")
    parser.add_argument("--figure", default="demo.png", help="PNG file to write")
    parser.add_argument("--no-progress", action="store_true")
    args = parser.parse_args(argv)

    t0 = time.perf_counter()
    inputs = sc.scenario_inputs()
    stations, rrup = inputs["stations"], inputs["rrup_km"]
    if args.stations is not None:
        stations, rrup = sc.subset(stations, slice(0, args.stations)), rrup[:args.stations]
    n = len(stations["latitude_deg"])
    sim = sc.build_simulator(inputs)
    seg = inputs["segments"][0]
    cfg = inputs["config"]
    print(f"scenario: Mw {inputs['mw']} reverse, {seg['slip'].shape[1]} x {seg['slip'].shape[0]}"
          f" subfaults of {seg['subfault_length_km']:g} km, slip {seg['slip'].min():.0f}-"
          f"{seg['slip'].max():.0f} cm, rayset {cfg['path']['rayset']}, "
          f"dt {cfg['record']['dt']} s, {cfg['record']['duration_s']:g} s records")
    print(f"running {n} stations on {args.threads} threads, {args.chunk} stations per task")

    t1 = time.perf_counter()
    if args.no_progress:
        acc = run_threaded(sim, stations, args.threads, args.chunk)
    else:
        from tqdm import tqdm
        with tqdm(total=n, unit="station", file=sys.stderr) as bar:
            acc = run_threaded(sim, stations, args.threads, args.chunk, bar.update)
    t2 = time.perf_counter()

    pga = np.abs(acc).max(axis=2)
    print()
    print("PGA (cm/s^2) per distance bin: geometric mean and maximum")
    for line in pga_table(pga, rrup):
        print(line)
    dt = float(np.float32(cfg["record"]["dt"]))
    write_figure(args.figure, acc, pga, rrup, dt,
                 f"Mw {inputs['mw']} reverse rupture, {n} stations, kappa "
                 f"{sc.KAPPA_S} s: simulated acceleration")
    t3 = time.perf_counter()
    print()
    print(f"stations: {t2 - t1:.2f} s ({n / (t2 - t1):.1f} stations/s on {args.threads} "
          f"threads); total {t3 - t0:.2f} s; figure: {args.figure}")
    return acc


if __name__ == "__main__":
    main()
