"""Boltzmann samples and fold: the energy law against all walks (lattice x table x T), time to
the proven ground states of the Harvard 48-mers, the Unger-Moult sequences' listed energies,
Trp-cage's fold against the lowest of uniform samples, and the chain's moves per second against
the plain pivot chain.

Run:  .venv/bin/python bench/fold.py [--threads 2] [--parts law,harvard,unger,trpcage,rate]
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
    rows = []
    grid = [
        ("cubic", "HP", "HPHHPPHPHH", HP, HP_MODEL, (0.3, 1.0)),
        ("fcc", "HP", "HPHHPPHP", HP, dict(lattice="fcc", arc_length=1.0, kmin=2, dmax=1.5), (0.3, 1.0)),
        ("tetrahedral", "HP", "HPHHPPHPHH", HP, dict(lattice="tetrahedral"), (0.3, 1.0)),
        ("cubic", "MJ", "MKVLAGWEDI", mj, dict(lattice="cubic"), (1.0, 2.0)),
        ("fcc", "MJ", "MKVLAGWE", mj, dict(lattice="fcc"), (1.0, 2.0)),
        ("tetrahedral", "MJ", "MKVLAGWEDI", mj, dict(lattice="tetrahedral"), (1.0, 2.0)),
    ]
    # The yardstick: the same distance for 10^5 independent draws from the exact law, the least
    # any sampler can show with so many samples (it grows with the number of energy levels).
    import numpy as np

    print("\n| lattice | table | n | walks | T | TVD (10^5 samples) | TVD of 10^5 exact draws |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for lattice, name, seq, table, settings, temperatures in grid:
        gt = [[[float(i), 0.0, 0.0] for i in range(len(seq))]]
        every = tarvex.sample_scores(seq, gt, table, method="enumerate", **settings).costs
        for t in temperatures:
            tarvex.seed(3)
            s = tarvex.sample_scores(seq, gt, table, sample_size=100_000, autocorrelation_factor=40,
                                     temperature=t, **settings).costs
            exact = law(every, t)
            d = tvd(law(s), exact)
            levels = list(exact)
            draws = np.random.default_rng(3).choice(len(levels), size=100_000, p=[exact[e] for e in levels])
            floor = tvd(law([levels[i] for i in draws]), exact)
            rows.append(d)
            print(f"| {lattice} | {name} | {len(seq)} | {len(every)} | {t} | {d:.4f} | {floor:.4f} |", flush=True)


def harvard(seed):
    print("\n| sequence | ground state | found | time to it (s) | CPU seconds |")
    print("|---|---:|---:|---:|---:|")
    times = []
    for cid, seq, moves, energy in cases("S1."):
        listed = listed_fold(moves)
        check = tarvex.score(seq, [listed], [listed], HP, kmin=2, dmax=1.0).costs[0]
        assert check == energy, (cid, check, energy)
        tarvex.seed(seed)
        start, cpu = time.perf_counter(), time.process_time()
        got = tarvex.fold(seq, HP, target=energy, **HP_MODEL)
        took, cpu = time.perf_counter() - start, time.process_time() - cpu
        times.append(took if got.cost <= energy else math.inf)
        print(f"| {cid} | {energy} | {got.cost:g} | {took:.1f} | {cpu:.1f} |", flush=True)
    print(f"\nmedian {statistics.median(times):.1f} s, longest {max(times):.1f} s")


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
        harvard(a.seed)
    if "unger" in parts:
        unger(a.seed)
    if "trpcage" in parts:
        trpcage(a.seed)


if __name__ == "__main__":
    main()
