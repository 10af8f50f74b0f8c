"""The main job: how well the Miyazawa-Jernigan contact energies recognise the Trp-cage fold.

Uses the bundled data: the 38 NMR models of Trp-cage (PDB 1L2Y, C-alpha only) and the
Miyazawa-Jernigan 1996 contact energies.
"""

import argparse
import json
import pathlib
import time

import tarvex

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sample-size", type=int, default=10000)
    parser.add_argument("--lattice", default="tetrahedral")
    parser.add_argument("--method", default="pivot")
    parser.add_argument("--pbar", action="store_true")
    args = parser.parse_args()

    trpcage = json.loads((DATA / "1l2y_ca.json").read_text())
    energies = json.loads((DATA / "mj1996_contact_energies.json").read_text())
    seq, models = trpcage["sequence"], trpcage["models"]
    print(f"Trp-cage: {seq} ({len(seq)} residues, {len(models)} models)")

    spread = [tarvex.rmsd(model, models[:i] + models[i + 1:]) for i, model in enumerate(models)]
    print(f"RMSD of each model to the closest other model: min {min(spread):.3f}, "
          f"max {max(spread):.3f} angstrom")

    start = time.perf_counter()
    correlation, costs, rmsds, cost_rmsds = tarvex.stats(
        seq, models, energies, sample_size=args.sample_size, method=args.method,
        lattice=args.lattice, pbar=args.pbar)
    elapsed = time.perf_counter() - start
    print(f"stats: {args.sample_size} {args.method} samples on the {args.lattice} lattice "
          f"in {elapsed:.3f} s")
    print(f"  Spearman correlation of MJ energy and RMSD: {correlation:.4f}")
    print("  energy min/mean/max: {:.3f} / {:.3f} / {:.3f}".format(*costs))
    print("  RMSD   min/mean/max: {:.3f} / {:.3f} / {:.3f} angstrom".format(*rmsds))
    print("  RMSD of the lowest-energy / highest-energy conformation: {:.3f} / {:.3f}".format(
        *cost_rmsds))


if __name__ == "__main__":
    main()
