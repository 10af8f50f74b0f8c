"""A picture of an energy landscape: energy against RMSD of sampled lattice conformations.

Samples conformations of a protein's sequence on a lattice, scores each with the
Miyazawa-Jernigan contact energies, and plots energy against C-alpha RMSD to the file's models,
with the Spearman coefficient in the title, the native models' own energies and the sample of
lowest energy marked.

    python examples/landscape.py                                  # the bundled Trp-cage
    python examples/landscape.py protein.pdb --out protein.png    # your own PDB or mmCIF file
    python examples/landscape.py protein.cif --chain B --lattice fcc --sample-size 200000
"""

from __future__ import annotations

import argparse
import sys

import numpy as np

import tarvex
from common import LATTICES, TRPCAGE_PDB, load_energies, load_protein, require_energies


def native_scores(seq, models, energies):
    """The native models' energies, and each model's RMSD to the other models (0 for a lone model)."""
    costs = tarvex.score(seq, models, models, energies).costs
    if len(models) == 1:
        return costs, np.zeros(1)
    rmsds = np.array([tarvex.rmsd(model, models[:i] + models[i + 1:]) for i, model in enumerate(models)])
    return costs, rmsds


def plot(path, title, costs, rmsds, native_costs, native_rmsds, rho):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FormatStrFormatter, LogLocator, NullFormatter

    fig, ax = plt.subplots(figsize=(7.5, 5.6), dpi=100, layout="constrained")
    cells = ax.hexbin(rmsds, costs, gridsize=60, bins="log", cmap="viridis", mincnt=1, linewidths=0.2)
    bar = fig.colorbar(cells, ax=ax, label="sampled conformations per cell")
    bar.ax.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
    bar.ax.yaxis.set_major_formatter(FormatStrFormatter("%g"))
    bar.ax.yaxis.set_minor_formatter(NullFormatter())
    lone = len(native_costs) == 1
    ax.scatter(native_rmsds, native_costs, marker="^", s=48, color="#d62728", edgecolor="white", linewidth=0.6,
               zorder=3, clip_on=False, label="native structure" if lone else
               f"native models ({len(native_costs)}), each against the others")
    ax.axhline(float(np.median(native_costs)), color="#d62728", linestyle="--", linewidth=1, zorder=2,
               label=f"native {'energy' if lone else 'median energy'}: {np.median(native_costs):.1f} RT")
    lowest = int(np.argmin(costs))  # the first of equal minima
    ax.scatter([rmsds[lowest]], [costs[lowest]], marker="*", s=260, color="#ff7f0e", edgecolor="black",
               linewidth=0.8, zorder=4,
               label=f"lowest energy sampled: {costs[lowest]:.1f} RT at {rmsds[lowest]:.2f} \u00c5")
    ax.set_xlim(left=0)
    ax.set_xlabel("C-alpha RMSD to the native models (\u00c5)")
    ax.set_ylabel("Miyazawa-Jernigan contact energy (RT)")
    ax.set_title(f"{title}\nSpearman \u03c1 (energy, RMSD) = {rho:.3f}")
    fig.legend(loc="outside lower center", ncols=2, fontsize=9, frameon=False)
    ax.grid(alpha=0.25)
    fig.savefig(path)
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("structure", nargs="?", default=str(TRPCAGE_PDB),
                        help="PDB or mmCIF file, or a C-alpha trace as JSON (default: the bundled Trp-cage)")
    parser.add_argument("--out", default="landscape.png", help="the PNG to write (default landscape.png)")
    parser.add_argument("--chain", help="chain to read (default: the first protein chain)")
    parser.add_argument("--lattice", default="tetrahedral", choices=LATTICES)
    parser.add_argument("--method", default="pivot", choices=["pivot", "dimerize"])
    parser.add_argument("--sample-size", type=int, help="conformations to sample (default 50000, --quick 2000)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the sampling (default 1)")
    parser.add_argument("--quick", action="store_true", help="small sizes (what CI runs)")
    args = parser.parse_args()
    sample_size = args.sample_size or (2000 if args.quick else 50000)

    try:
        protein = load_protein(args.structure, args.chain)
        name, seq, models = protein.name, protein.sequence, protein.models
    except (OSError, ValueError, RuntimeError) as error:
        sys.exit(f"error: {error}")
    energies = load_energies()
    require_energies(protein, energies)
    print(f"{name}: {seq} ({len(seq)} residues, {len(models)} models); "
          f"{sample_size} {args.method} samples on the {args.lattice} lattice")

    tarvex.seed(args.seed)
    costs, rmsds = tarvex.sample_scores(seq, models, energies, sample_size=sample_size, method=args.method,
                                        lattice=args.lattice, pbar=True)
    native_costs, native_rmsds = native_scores(seq, models, energies)

    from scipy.stats import spearmanr

    rho = float(spearmanr(costs, rmsds).statistic)
    title = f"{name} ({len(seq)} residues): {sample_size:,} {args.method} samples, {args.lattice} lattice"
    plot(args.out, title, costs, rmsds, native_costs, native_rmsds, rho)
    print(f"Spearman {rho:.3f}; native energies {native_costs.min():.1f} to {native_costs.max():.1f} RT; "
          f"wrote {args.out}")


if __name__ == "__main__":
    main()
