"""Boltzmann samples and fold: the energy law against all walks (lattice x table x T), time to
the proven ground states of the Harvard 48-mers, the Unger-Moult sequences' listed energies,
Trp-cage's fold against the lowest of uniform samples, and the chain's moves per second against
the plain pivot chain.

Run:  .venv/bin/python bench/fold.py [--threads 2] [--seeds 1,2,3,4,5] [--parts law,harvard,unger,trpcage,rate]
The rates come from the C++ benchmark bench_fold (cmake -S . -B build/bench -G Ninja
-DTARVEX_PYTHON=OFF -DTARVEX_BENCH=ON && cmake --build build/bench --target bench_fold); without
it they are left out. The machine is shared: times are those of a loaded machine.
"""

import argparse
import json
import math
import pathlib
import statistics
import subprocess
import time
from collections import defaultdict

import tarvex

ROOT = pathlib.Path(__file__).resolve().parent.parent
HP = {"H": {"H": -1.0, "P": 0.0}, "P": {"H": 0.0, "P": 0.0}}
HP_MODEL = dict(lattice="cubic", arc_length=1.0, kmin=2, dmax=1.0)
MOVES = {"F": (1, 0, 0), "B": (-1, 0, 0), "L": (0, 1, 0), "R": (0, -1, 0), "U": (0, 0, 1), "D": (0, 0, -1)}


def cases(prefix):
    data = json.loads((ROOT / "data" / "hp_benchmarks.json").read_text())
    return [c for c in data["cases"] if c[0].startswith(prefix)]


def listed_fold(moves):
    p = [(0, 0, 0)]
    for m in moves[1:]:
        p.append(tuple(a + b for a, b in zip(p[-1], MOVES[m])))
    return [list(map(float, q)) for q in p]


def law(costs, temperature=None):
    weights = defaultdict(float)
    low = min(costs)
    for c in costs:
        weights[round(float(c), 9)] += 1.0 if temperature is None else math.exp(-(c - low) / temperature)
    total = sum(weights.values())
    return {e: w / total for e, w in weights.items()}


def tvd(p, q):
    return 0.5 * sum(abs(p.get(e, 0.0) - q.get(e, 0.0)) for e in set(p) | set(q))


def law_table():
    mj = json.loads((ROOT / "data" / "mj1996_contact_energies.json").read_text())
    # (lattice, table, sequence, table, settings, temperatures, autocorrelation_factor): the factor
    # is raised where the chain's samples lie close (cubic MJ at T = 2 shows 1.4 times the floor at
    # 40, its floor at 200) and lowered on fcc, whose moves are accepted so often that 40 takes
    # five to ten minutes a row; fcc MJ at T = 2 reaches the floor at 10. The grid takes about
    # twenty minutes.
    grid = [
        ("cubic", "HP", "HPHHPPHPHH", HP, HP_MODEL, (0.3, 1.0), 40),
        ("fcc", "HP", "HPHHPPHP", HP, dict(lattice="fcc", arc_length=1.0, kmin=2, dmax=1.5), (0.3, 1.0), 10),
        ("tetrahedral", "HP", "HPHHPPHPHH", HP, dict(lattice="tetrahedral"), (0.3, 1.0), 40),
        ("cubic", "MJ", "MKVLAGWE", mj, dict(lattice="cubic"), (0.5, 1.0, 2.0), 200),
        ("cubic", "MJ", "MKVLAGWEDI", mj, dict(lattice="cubic"), (1.0, 2.0), 200),
        ("fcc", "MJ", "MKVLAGWE", mj, dict(lattice="fcc"), (1.0, 2.0), 10),
        ("tetrahedral", "MJ", "MKVLAGWEDI", mj, dict(lattice="tetrahedral"), (1.0,), 100),
        ("tetrahedral", "MJ", "MKVLAGWEDI", mj, dict(lattice="tetrahedral"), (2.0,), 400),
    ]
    # The yardstick: the same distance for 10^5 independent draws from the exact law, the least
    # any sampler can show with so many samples (it grows with the number of energy levels).
    import numpy as np

    print("\n| lattice | table | n | walks | levels | T | factor | TVD (10^5 samples) | exact draws (mean of 5) "
          "| ratio |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for lattice, name, seq, table, settings, temperatures, factor in grid:
        gt = [[[float(i), 0.0, 0.0] for i in range(len(seq))]]
        every = tarvex.sample_scores(seq, gt, table, method="enumerate", **settings).costs
        for t in temperatures:
            tarvex.seed(3)
            s = tarvex.sample_scores(seq, gt, table, sample_size=100_000, autocorrelation_factor=factor,
                                     temperature=t, **settings).costs
            exact = law(every, t)
            d = tvd(law(s), exact)
            levels = list(exact)
            p = np.array([exact[e] for e in levels])
            rng = np.random.default_rng(3)
            # Five sets of draws: one set's distance itself varies by a fifth where levels are many.
            floor = statistics.mean(
                0.5 * float(np.abs(np.bincount(rng.choice(len(levels), size=100_000, p=p), minlength=len(levels))
                                   / 100_000 - p).sum())
                for _ in range(5))
            print(f"| {lattice} | {name} | {len(seq)} | {len(every)} | {len(levels)} | {t} | {factor} | {d:.4f} | "
                  f"{floor:.4f} | {d / floor:.2f} |", flush=True)


def harvard(seeds):
    # Wall and CPU seconds to the proven ground state, one column per seed; inf where it is missed.
    runs = defaultdict(dict)
    print("\n| sequence | ground state | " + " | ".join(f"seed {s}: wall / CPU (s)" for s in seeds) + " |")
    print("|---|---:|" + "---:|" * len(seeds))
    for cid, seq, moves, energy in cases("S1."):
        listed = listed_fold(moves)
        check = tarvex.score(seq, [listed], [listed], HP, kmin=2, dmax=1.0).costs[0]
        assert check == energy, (cid, check, energy)
        cells = []
        for seed in seeds:
            tarvex.seed(seed)
            start, cpu = time.perf_counter(), time.process_time()
            got = tarvex.fold(seq, HP, target=energy, **HP_MODEL)
            took, cpu = time.perf_counter() - start, time.process_time() - cpu
            runs[seed][cid] = took if got.cost <= energy else math.inf
            cells.append(f"{took:.1f} / {cpu:.1f}" + ("" if got.cost <= energy else f" (missed: {got.cost:g})"))
        print(f"| {cid} | {energy} | " + " | ".join(cells) + " |", flush=True)
    medians = [statistics.median(runs[s].values()) for s in seeds]
    longest = [max(runs[s].values()) for s in seeds]
    print("| median | | " + " | ".join(f"{m:.1f}" for m in medians) + " |")
    print("| longest | | " + " | ".join(f"{m:.1f}" for m in longest) + " |")
    every = [t for s in seeds for t in runs[s].values()]
    print(f"\nover {len(every)} runs: median {statistics.median(every):.1f} s, longest {max(every):.1f} s, "
          f"over 60 s: {sum(t > 60 for t in every)}")


def unger(seed):
    print("\n| sequence | n | listed | found | time (s) |")
    print("|---|---:|---:|---:|---:|")
    for cid, seq, moves, energy in cases("S3."):
        listed = listed_fold(moves)
        assert tarvex.score(seq, [listed], [listed], HP, kmin=2, dmax=1.0).costs[0] == energy
        tarvex.seed(seed)
        start = time.perf_counter()
        got = tarvex.fold(seq, HP, target=energy, **HP_MODEL)
        print(f"| {cid} | {len(seq)} | {energy} | {got.cost:g} | {time.perf_counter() - start:.1f} |", flush=True)


def trpcage(seed):
    d = json.loads((ROOT / "data" / "1l2y_ca.json").read_text())
    mj = json.loads((ROOT / "data" / "mj1996_contact_energies.json").read_text())
    seq, models = d["sequence"], d["models"]
    print("\n| lattice | lowest of 10^5 uniform | fold | fold's RMSD (A) | fold time (s) |")
    print("|---|---:|---:|---:|---:|")
    for lattice in ("tetrahedral", "cubic", "bcc", "fcc"):
        tarvex.seed(seed)
        uniform = tarvex.sample_scores(seq, models, mj, sample_size=100_000, lattice=lattice)
        tarvex.seed(seed)
        start = time.perf_counter()
        got = tarvex.fold(seq, mj, lattice=lattice)
        took = time.perf_counter() - start
        print(f"| {lattice} | {uniform.costs.min():.2f} | {got.cost:.2f} | "
              f"{tarvex.rmsd(got.conformation, models):.2f} | {took:.1f} |", flush=True)


def rates():
    exe = ROOT / "build" / "bench" / "bench_fold"
    if not exe.exists():
        print("\n(bench_fold not built: rates left out)")
        return
    print("\nMoves per second on one core, table cost (ratio against the plain pivot chain's attempts):")
    print(subprocess.run([str(exe), "rate"], check=True, capture_output=True, text=True).stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--seeds", default="1,2,3,4,5", help="the seeds of the Harvard runs")
    parser.add_argument("--parts", default="law,harvard,unger,trpcage,rate")
    a = parser.parse_args()
    tarvex.set_num_threads(a.threads)
    parts = a.parts.split(",")
    print(f"threads {a.threads}; figures from a machine shared with other work")
    if "rate" in parts:
        rates()
    if "law" in parts:
        law_table()
    if "harvard" in parts:
        harvard([int(s) for s in a.seeds.split(",")])
    if "unger" in parts:
        unger(a.seed)
    if "trpcage" in parts:
        trpcage(a.seed)


if __name__ == "__main__":
    main()
