"""A picture of an energy landscape: energy against RMSD of sampled lattice conformations.

Samples conformations of a protein's sequence on a lattice in independent chains, scores each
with the Miyazawa-Jernigan contact energies and with the contact-count baseline (-1 per contact:
compactness alone) at kmin=3 (non-bonded contacts), and plots energy against C-alpha RMSD to the
file's models in two panels, one per energy, each with its Spearman coefficient and enrichment
E10 (95 % confidence intervals over the chains), the native models' own energies with their
Z-score and rank among the samples, the lattice fit (the walk closest to the models), the
lowest-energy walk tarvex.fold finds, any other labelled conformations, the sample of lowest
energy marked, and Boltzmann samples of each energy at a low temperature (its own low-energy
region, where an energy that knows the fold puts native-like walks).

    python examples/landscape.py                                  # the bundled Trp-cage
    python examples/landscape.py protein.pdb --out protein.png    # your own structure file
    python examples/landscape.py protein.cif --chain B --lattice fcc --sample-size 200000

In a notebook, plot() returns the figure and it shows inline (only this script chooses a
matplotlib backend):

    from evaluation import evaluate
    from landscape import plot
    plot(evaluate(seq, models, mj, lattice="fcc", sample_size=20000, pbar=True))
"""

from __future__ import annotations

import argparse
import sys

import numpy as np
from common import GAP_CHOICES, LATTICES, TRPCAGE_PDB, plural, read_protein
from evaluation import Evaluation, evaluate, landmarks

# Boltzmann samples at this temperature (RT) show the energy's own low-energy region: at 1 RT
# a 20-residue chain hardly leaves the first deep minimum it finds, at 5 RT it wanders among them.
TEMPERATURE = 5.0

# The native models first, then whatever else was placed among the samples, each its own marker.
MARKERS = [("^", "#d62728"), ("D", "#e377c2"), ("P", "#17becf"), ("X", "#bcbd22"), ("s", "#8c564b")]


def plot(evaluation: Evaluation, title: str | None = None):
    """The landscape as a matplotlib figure: one panel per energy (the energy, then the baseline)."""
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FormatStrFormatter, LogLocator, NullFormatter

    names = list(evaluation.costs)
    fig, axes = plt.subplots(1, len(names), figsize=(6.4 * len(names), 5.8), dpi=100, layout="constrained",
                             squeeze=False)
    rmsds = evaluation.rmsds
    for ax, name in zip(axes[0], names):
        costs = evaluation.costs[name]
        measures = evaluation.measures[name]
        cells = ax.hexbin(rmsds, costs, gridsize=50, bins="log", cmap="viridis", mincnt=1, linewidths=0.2)
        bar = fig.colorbar(cells, ax=ax, label="sampled conformations per cell", pad=0.01)
        bar.ax.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
        bar.ax.yaxis.set_major_formatter(FormatStrFormatter("%g"))
        bar.ax.yaxis.set_minor_formatter(NullFormatter())
        warm = evaluation.tempered.get(name)
        if warm is not None:
            ax.scatter(warm.rmsds, warm.costs, s=12, color="#9467bd", alpha=0.5, linewidths=0, zorder=2,
                       label="Boltzmann samples at a low temperature")
        placed = []
        for reference, (marker, colour) in zip(evaluation.references, MARKERS):
            energies = reference.costs[name]
            ax.scatter(reference.rmsds, energies, marker=marker, s=44, color=colour, edgecolor="white",
                       linewidth=0.6, zorder=3, clip_on=False, label=f"{reference.label} ({len(energies)})"
                       if len(energies) > 1 else reference.label)
            where = reference.placements[name]
            placed.append(f"{reference.label}: E {where.energy:.1f}, Z {where.z:.2f}, rank {where.rank:,}")
        if warm is not None:
            placed.append(f"at T = {warm.temperature:.3g}: median RMSD {np.median(warm.rmsds):.2f} \u00c5")
        lowest = int(np.argmin(costs))  # the first of equal minima
        ax.scatter([rmsds[lowest]], [costs[lowest]], marker="*", s=240, color="#ff7f0e", edgecolor="black",
                   linewidth=0.8, zorder=4, label="lowest energy sampled")
        ax.set_xlim(left=0)
        ax.set_xlabel("C-alpha RMSD to the native models (\u00c5)")
        ax.set_ylabel(f"{name} energy (RT)" if name != names[-1] else f"{name} (baseline: -1 per contact)")
        # The numbers go above the panel: no corner of a landscape is sure to be empty.
        heading = name if name != names[-1] else f"{name}, the baseline"
        lines = [f"{heading}: Spearman \u03c1 {measures.spearman:.3f}, E10 {measures.e10:.2f}",
                 f"lowest E {measures.min_cost:.1f} at {measures.rmsd_at_min_cost:.2f} \u00c5", *placed]
        ax.set_title("\n".join(lines), fontsize=9.5, loc="left")
        ax.grid(alpha=0.25)
    handles, labels = axes[0][0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="outside lower center", ncols=len(labels), fontsize=9, frameon=False)
    if title is None:
        title = (f"{evaluation.name or 'protein'} ({plural(len(evaluation.sequence), 'residue')}): "
                 f"{plural(len(rmsds), evaluation.method + ' sample')} in {plural(evaluation.chains, 'chain')}, "
                 f"{evaluation.lattice} lattice, contacts j - i \u2265 {evaluation.kmin} within {evaluation.dmax:g} "
                 "\u00c5; 95 % confidence intervals over the chains")
    fig.suptitle(title, fontsize=10.5)
    return fig


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("structure", nargs="?", default=str(TRPCAGE_PDB),
                        help="PDB/mmCIF/BinaryCIF file, or a C-alpha trace as JSON (default: the bundled Trp-cage)")
    parser.add_argument("--out", default="landscape.png", help="the PNG to write (default landscape.png)")
    parser.add_argument("--chain", help="chain to read (default: the first protein chain)")
    parser.add_argument("--gaps", choices=GAP_CHOICES, default="stop",
                        help="a gap in the chain: stop (default), split (keep the longest piece) or bridge")
    parser.add_argument("--lattice", default="tetrahedral", choices=LATTICES)
    parser.add_argument("--method", default="pivot", choices=["pivot", "dimerize"])
    parser.add_argument("--sample-size", type=int, help="conformations to sample (default 50000, --quick 2000)")
    parser.add_argument("--chains", type=int, default=10, help="independent chains (default 10)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the sampling (default 1)")
    parser.add_argument("--no-fit", action="store_true", help="leave out the lattice fit")
    parser.add_argument("--no-search", action="store_true", help="leave out the search for the lowest energy (fold)")
    parser.add_argument("--temperature", type=float, default=TEMPERATURE,
                        help=f"temperature of the Boltzmann samples, in RT (default {TEMPERATURE:g}; 0: none)")
    parser.add_argument("--quick", action="store_true", help="small sizes (what CI runs)")
    args = parser.parse_args()
    sample_size = args.sample_size or (2000 if args.quick else 50000)

    protein, energies = read_protein(args.structure, args.chain, args.gaps)
    print(f"{protein.name}: {protein.sequence} ({plural(len(protein.sequence), 'residue')}, "
          f"{plural(len(protein.models), 'model')}); {plural(sample_size, args.method + ' sample')} on the "
          f"{args.lattice} lattice")
    result = evaluate(protein.sequence, protein.models, energies, name=protein.name, lattice=args.lattice,
                      method=args.method, sample_size=sample_size, chains=args.chains, seed=args.seed, pbar=True,
                      extra=landmarks(protein.models, lattice=args.lattice, fit=not args.no_fit,
                                      seq=None if args.no_search else protein.sequence, energy=energies,
                                      seed=args.seed, pbar=True),
                      temperature=args.temperature or None)

    # A file, not a window: the command line alone picks the backend, so that plot() shows
    # inline in a notebook.
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure = plot(result)
    figure.savefig(args.out)
    plt.close(figure)
    sys.stderr.flush()
    print(result.table())
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
