"""Lattice fits of real proteins: the accuracy table (protein x lattice, RMSD and time), the
means against the published marks, time against length, the exact path against minimize_rmsd,
and what each ingredient of the search adds.

Run:  .venv/bin/python bench/fit.py [--rounds 3] [--threads 2] [--past-exact]
The ingredient figures come from the C++ benchmark bench_fit (built with
cmake -S . -B build/bench -G Ninja -DTARVEX_PYTHON=OFF -DTARVEX_BENCH=ON && cmake --build build/bench);
without it they are left out. Times are the best of --rounds runs (the machine is shared).
"""

import argparse
import json
import pathlib
import statistics
import subprocess
import tempfile

import numpy as np
from timing import best_of

import tarvex

ROOT = pathlib.Path(__file__).resolve().parent.parent
LATTICES = ["tetrahedral", "cubic", "bcc", "fcc"]
# Park & Levitt's accuracy law through LatFit's fcc figure, and 10 % under it.
MARKS = {"tetrahedral": 2.8, "cubic": 2.1, "bcc": 1.8, "fcc": 1.45}


def proteins():
    files = [ROOT / "data" / "1l2y_ca.json", *sorted((ROOT / "data" / "proteins").glob("*_ca.json"))]
    out = []
    for f in files:
        d = json.loads(f.read_text())
        # Two chains of one entry are told apart by their file names (7cfn_g, 7cfn_n).
        name = d["pdb_id"] + (f" {d['chain']}" if f.stem.count("_") == 2 else "")
        out.append((name, d["models"]))
    return sorted(out, key=lambda p: len(p[1][0]))


def joined(parts):
    """One long chain of the first models of several proteins, each placed after the last at a
    C-alpha distance: a chain of realistic local shape, for timing lengths past the data's."""
    chain = []
    for models in parts:
        piece = np.asarray(models[0], dtype=float)
        if chain:
            last = np.asarray(chain[-1])
            piece = piece - piece[0] + last + np.array([3.8, 0.0, 0.0])
        chain.extend(piece.tolist())
    return [chain]


def accuracy(data, rounds):
    print("RMSD of the fit (angstrom) and its time (s), default width, best of", rounds, "runs")
    print(f"{'protein':10} {'n':>4} {'models':>6}  " + "  ".join(f"{l:>18}" for l in LATTICES))
    means = {l: [] for l in LATTICES}
    per_100 = {l: [] for l in LATTICES}
    for name, models in data:
        cells = []
        for lattice in LATTICES:
            result = tarvex.fit(models, lattice=lattice)
            seconds = best_of(rounds, lambda: tarvex.fit(models, lattice=lattice))
            means[lattice].append(result.rmsd)
            per_100[lattice].append(100 * seconds / len(models[0]))
            cells.append(f"{result.rmsd:7.3f} {seconds:8.3f} s")
        print(f"{name:10} {len(models[0]):4d} {len(models):6d}  " + "  ".join(f"{c:>18}" for c in cells))
    print(f"{'mean':10} {'':4} {'':6}  " + "  ".join(
        f"{statistics.mean(means[l]):7.3f} {statistics.mean(per_100[l]):6.3f} /100" for l in LATTICES))
    print("mark (10 % under)     " + "  ".join(
        f"{MARKS[l]:7.2f} ({0.9 * MARKS[l]:.2f})     " for l in LATTICES))
    print()


def lengths(data, rounds):
    print("time per 100 residues against length (fcc and tetrahedral, default width; the two "
          "longest chains are proteins joined end to end)")
    chains = [(name, models[:1]) for name, models in data]
    long_parts = [models for _, models in data[2:]]
    chains.append(("joined", joined(long_parts[:3])))
    chains.append(("joined", joined(long_parts)))
    for name, models in chains:
        n = len(models[0])
        row = []
        for lattice in ("fcc", "tetrahedral"):
            seconds = best_of(rounds, lambda: tarvex.fit(models, lattice=lattice))
            row.append(f"{lattice} {seconds:7.3f} s = {100 * seconds / n:6.3f} s/100")
        print(f"  {name:8} n={n:4d}  " + "   ".join(row))
    print()


def exact_path(trpcage, rounds):
    print("chains of up to 12 residues: fit / minimize_rmsd (the yardstick) on the same fragment")
    for lattice, n in [("tetrahedral", 12), ("cubic", 10), ("bcc", 8), ("fcc", 7)]:
        gt = [m[:n] for m in trpcage[:1]]
        best = tarvex.rmsd(tarvex.minimize_rmsd(gt, lattice=lattice), gt)
        found = tarvex.fit(gt, lattice=lattice).rmsd
        t_fit = best_of(rounds, lambda: tarvex.fit(gt, lattice=lattice))
        t_min = best_of(rounds, lambda: tarvex.minimize_rmsd(gt, lattice=lattice))
        print(f"  {lattice:11} n={n:2d}: RMSD {found:.4f} vs {best:.4f} (optimum), "
              f"time ratio {t_fit / t_min:.4f} ({t_fit * 1e3:.1f} ms / {t_min * 1e3:.0f} ms)")
    print()


def beyond_the_exact_path(data):
    """On the diamond lattice, 18-residue pieces (three helical, one of the hairpin) are still small
    enough for minimize_rmsd to try every walk: the heuristic path's walk against the optimum tells
    whether the search, or the lattice, sets the tetrahedral figures."""
    print("past the exact path: fit / minimize_rmsd over every walk, 18-residue pieces of first models, "
          "tetrahedral")
    chains = dict(data)
    for name, first in [("1L2Y", 0), ("1A8O", 10), ("4CUP", 20), ("7CFN N", 30)]:
        gt = [chains[name][0][first:first + 18]]
        seconds = best_of(1, lambda: tarvex.minimize_rmsd(gt, lattice="tetrahedral"))
        best = tarvex.rmsd(tarvex.minimize_rmsd(gt, lattice="tetrahedral"), gt)
        found = tarvex.fit(gt, lattice="tetrahedral").rmsd
        print(f"  {name:7} {first:3d}-{first + 17:3d}: RMSD {found:.4f} vs {best:.4f} (optimum, {seconds:.0f} s)")
    print()


def ingredients(data, threads):
    binary = ROOT / "build" / "bench" / "bench_fit"
    if not binary.exists():
        print("ingredients: build bench_fit (see the docstring) for these figures")
        return
    print("what each ingredient adds: mean RMSD per lattice and s/100 residues (bench_fit)")
    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for name, models in data:
            path = pathlib.Path(tmp) / (name.replace(" ", "_") + ".txt")
            lines = [f"{name.replace(' ', '_')} {len(models[0])} {len(models)}"]
            lines += [f"{x!r} {y!r} {z!r}" for model in models for x, y, z in model[:len(models[0])]]
            path.write_text("\n".join(lines) + "\n")
            paths.append(str(path))
        subprocess.run([str(binary), "--threads", str(threads), *paths], check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--skip-ingredients", action="store_true")
    parser.add_argument("--past-exact", action="store_true",
                        help="also compare with minimize_rmsd on 18-residue pieces (about a minute each)")
    args = parser.parse_args()
    tarvex.set_num_threads(args.threads)
    data = proteins()
    print(f"{len(data)} proteins, {tarvex.get_num_threads()} threads\n")
    accuracy(data, args.rounds)
    lengths(data, args.rounds)
    exact_path(json.loads((ROOT / "data" / "1l2y_ca.json").read_text())["models"], args.rounds)
    if args.past_exact:
        beyond_the_exact_path(data)
    if not args.skip_ingredients:
        ingredients(data, args.threads)


if __name__ == "__main__":
    main()
