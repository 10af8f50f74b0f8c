"""The main job: how well the Miyazawa-Jernigan contact energies recognise the Trp-cage fold.

For each of the four lattices, samples lattice conformations of the Trp-cage sequence in
independent chains, scores each with the Miyazawa-Jernigan (1996) contact energies and with the
baseline every contact energy has to beat, the plain count of contacts (-1 per contact, which
rewards compactness alone), and measures its C-alpha RMSD to the 38 NMR models of PDB 1L2Y (all
bundled in data/). An energy that recognises the native fold ranks conformations close to it
lower: the Spearman coefficient of energy against RMSD is then positive, the lowest-energy
samples are enriched in low-RMSD ones (E10 > 1), and the native models' own energy lies below
most of the samples (a negative Z-score, a small rank). It does so only where it beats the
contact count.

Contacts are pairs i < j with j - i >= 3 (--kmin) whose C-alpha atoms are at most 7.8 A apart:
at 3.8 A steps every i, i+1 and i, i+2 pair of a walk lies within 7.8 A, so tarvex's default
kmin=1 adds the same bonded pairs to every walk (a constant) and kmin=3 counts the non-bonded
contacts alone. Confidence intervals (95 %) are the delete-one-chain jackknife's over the
independent chains (see examples/evaluation.py for why not a bootstrap).

    python examples/trpcage.py                 # 100,000 samples per lattice, in 10 chains
    python examples/trpcage.py --quick         # 1,000 per lattice
    python examples/trpcage.py my.pdb --chain B --gaps split
"""

from __future__ import annotations

import argparse
import sys

import numpy as np
from common import DMAX, GAP_CHOICES, KMIN, LATTICES, TRPCAGE_JSON, plural, read_protein
from evaluation import BASELINE, evaluate, landmarks

LEGEND = f"""\
Spearman: rank correlation of energy and RMSD over the samples (1: perfect recognition), with
  its 95 % confidence interval. E10: how many times more of the lowest 10 % by energy are among
  the lowest 10 % by RMSD than chance gives (1: no better than chance, 10: all of them).
lowest E, RMSD there: the lowest energy sampled and the RMSD of its walk (the mean over walks
  sharing it). {BASELINE}: -1 per contact, the baseline: an energy that does no better than it
  recognises compactness, not the fold.
conformations: the native models (RMSD to the nearest other model), the lattice fit (the walk
  closest to them: the native fold as the lattice can hold it) and the lowest-energy walk that
  tarvex.fold finds (is the energy's minimum native-like?); E is the median energy over them,
  Z = (E - mean of the samples) / their standard deviation, rank = 1 + the number of samples of
  lower energy. RMSDs in angstrom, energies in RT."""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("structure", nargs="?", default=str(TRPCAGE_JSON),
                        help="PDB/mmCIF/BinaryCIF file or C-alpha trace as JSON (default: the bundled Trp-cage)")
    parser.add_argument("--chain", help="chain of a structure file (default: the first protein chain)")
    parser.add_argument("--gaps", choices=GAP_CHOICES, default="stop",
                        help="a gap in the chain: stop (default), split (keep the longest piece) or bridge")
    parser.add_argument("--sample-size", type=int, help="samples per lattice (default 100000, --quick 1000)")
    parser.add_argument("--chains", type=int, default=10, help="independent chains per lattice (default 10)")
    parser.add_argument("--method", default="pivot", choices=["pivot", "dimerize"])
    parser.add_argument("--lattice", nargs="+", default=list(LATTICES), choices=LATTICES)
    parser.add_argument("--kmin", type=int, default=KMIN,
                        help=f"smallest sequence separation of a contact (default {KMIN}: non-bonded contacts)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the sampling (default 1)")
    parser.add_argument("--no-fit", action="store_true", help="leave out the lattice fit")
    parser.add_argument("--no-search", action="store_true", help="leave out the search for the lowest energy (fold)")
    parser.add_argument("--quick", action="store_true", help="small sizes (what CI runs)")
    args = parser.parse_args()
    sample_size = args.sample_size or (1000 if args.quick else 100000)

    protein, energies = read_protein(args.structure, args.chain, args.gaps)
    name = "Trp-cage (PDB 1L2Y)" if args.structure == str(TRPCAGE_JSON) else protein.name
    seq, models = protein.sequence, protein.models
    print(f"{name}: {seq} ({plural(len(seq), 'residue')}, {plural(len(models), 'model')})")
    print(f"Energies: Miyazawa-Jernigan and the {BASELINE}, over pairs with j - i >= {args.kmin} within {DMAX} A; "
          f"{plural(sample_size, args.method + ' sample')} per lattice in {plural(args.chains, 'chain')}, "
          f"seed {args.seed}; the progress lines are on stderr.\n")

    for lattice in args.lattice:
        # The lattice fit (and the search's minimum) are measured among the samples as the models are.
        extra = landmarks(models, lattice=lattice, fit=not args.no_fit, seq=None if args.no_search else seq,
                          energy=energies, kmin=args.kmin, seed=args.seed, pbar=True)
        result = evaluate(seq, models, energies, name=name, lattice=lattice, method=args.method,
                          sample_size=sample_size, chains=args.chains, seed=args.seed, kmin=args.kmin, pbar=True,
                          extra=extra)
        sys.stderr.flush()
        print(result.table() + "\n", flush=True)
        if np.isnan(result.measures[BASELINE].spearman.low):
            print("(one chain gives no confidence interval: use --chains 2 or more)\n")
    print(LEGEND)


if __name__ == "__main__":
    main()
