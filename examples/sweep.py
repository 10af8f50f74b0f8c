"""Sweeps on a Dask cluster: proteins x lattices x cost models, and one very large sample.

Every (protein, lattice, cost model) is an independent task on dask.distributed; so is each
of the separately thermalized pivot chains that together make one very large sample, merged
exactly: the chains' arrays are concatenated and one Spearman coefficient is computed over
the union (and checked against scipy.stats.spearmanr on the same arrays). Each task's seed is
derived from one master seed, so a sweep gives the same numbers on any cluster, whichever
worker runs which task.

    python examples/sweep.py                                  # a LocalCluster on this machine
    python examples/sweep.py --scheduler tcp://HOST:8786      # a running cluster
    python examples/sweep.py a.pdb b.cif --lattice fcc cubic --cost mj hp --quick
    python examples/sweep.py --cost hp --no-large-sample

The cost models (contact-energy tables, all over pairs i < j with j - i >= kmin, 3 by default,
whose C-alpha atoms are at most dmax = 7.8 A apart, walks at 3.8 A steps):

  mj        the Miyazawa-Jernigan (1996) contact energies.
  hp        the HP model's energies on the amino-acid sequence: each residue is H (hydrophobic:
            A, V, I, L, M, F, W, C) or P (every other), and the table is {H: {H: -1, P: 0},
            P: {H: 0, P: 0}}: -1 per contact of two hydrophobic residues. The Harvard HP model
            itself is that table on a sequence of H and P with kmin=2, arc_length=1.0, dmax=1.0
            on the cubic lattice (only lattice neighbours touch); here contacts reach 7.8 A, so
            on every lattice more than nearest neighbours count.
  contacts  -1 per contact whatever the residues: compactness alone, the baseline an energy
            has to beat.

The large sample is scored with the first of --cost.

A real cluster's workers need tarvex and NumPy installed; the proteins are read here and sent
to them as data.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import sys
import time
from dataclasses import dataclass

import numpy as np
from common import (
    DMAX,
    GAP_CHOICES,
    KMIN,
    LATTICES,
    TRPCAGE_PDB,
    Protein,
    load_energies,
    load_protein,
    plural,
    require_energies,
    spawn_seeds,
)
from distributed import Client, LocalCluster, WorkerPlugin
from evaluation import spearman

import tarvex

# Residues counted as hydrophobic by the HP model.
HYDROPHOBIC = set("AVILMFWC")
COST_MODELS = {
    "mj": "Miyazawa-Jernigan contact energies",
    "hp": "HP model: -1 per contact of two hydrophobic residues (AVILMFWC), 0 otherwise",
    "contacts": "-1 per contact: compactness alone, the baseline an energy has to beat",
}


def cost_table(model: str, energies: dict[str, dict[str, float]]) -> dict[str, dict[str, float]]:
    """The contact-energy table of a cost model, over the residues of the MJ table."""
    if model == "mj":
        return energies
    if model == "hp":
        return {a: {b: -1.0 if a in HYDROPHOBIC and b in HYDROPHOBIC else 0.0 for b in energies} for a in energies}
    if model == "contacts":
        return {a: {b: -1.0 for b in energies} for a in energies}
    raise ValueError(f"unknown cost model {model!r}; the models are {', '.join(COST_MODELS)}")


@dataclass(frozen=True)
class Task:
    """One sample_scores call: everything a worker needs, sent as plain data."""

    protein: str
    lattice: str
    cost_model: str
    seq: str
    models: list
    table: dict
    sample_size: int
    seed: int
    chain: int = -1  # the chain's number when the task is a part of the large sample
    kmin: int = KMIN
    dmax: float = DMAX


def sample(task: Task) -> tarvex.Scores:
    # The generator is per thread: seeding here, in the task, is what makes the
    # result independent of the worker and of the tasks it ran before.
    tarvex.seed(task.seed)
    return tarvex.sample_scores(task.seq, task.models, task.table, sample_size=task.sample_size,
                                method="pivot", lattice=task.lattice, kmin=task.kmin, dmax=task.dmax)


def run_task(task: Task) -> dict:
    """A sweep task: the summary of one scored sample."""
    start = time.perf_counter()
    costs, rmsds = sample(task)
    lowest = int(costs.argmin())
    return {"protein": task.protein, "lattice": task.lattice, "cost": task.cost_model,
            "samples": task.sample_size, "spearman": spearman(costs, rmsds),
            "best_rmsd": float(rmsds.min()), "rmsd_at_min_cost": float(rmsds[lowest]),
            "seconds": time.perf_counter() - start}


def run_chain(task: Task) -> tuple[np.ndarray, np.ndarray]:
    """One pivot chain of the large sample: its costs and RMSDs, in sampling order."""
    costs, rmsds = sample(task)
    return costs, rmsds


def _proteins(structures, chain=None, gaps="stop") -> list[Protein]:
    """Proteins as given, or read from their files (the reader's notes then go to stderr, once)."""
    return [s if isinstance(s, Protein) else load_protein(s, chain, gaps) for s in structures]


def plan_tasks(structures, lattices, cost_models, sample_size, master_seed, chain=None, kmin=KMIN):
    """The sweep's tasks in a fixed order, each with its own seed from master_seed.

    structures: files to read, or proteins already read (common.Protein).
    """
    energies = load_energies()
    proteins = _proteins(structures, chain)
    for protein in proteins:
        require_energies(protein, energies)
    grid = [(protein, lattice, model) for protein in proteins for lattice in lattices for model in cost_models]
    seeds = spawn_seeds(master_seed, len(grid), stream=0)
    return [Task(protein.name, lattice, model, protein.sequence, protein.models, cost_table(model, energies),
                 sample_size, seed, kmin=kmin)
            for (protein, lattice, model), seed in zip(grid, seeds)]


def plan_chains(structure, lattice, chains, chain_samples, master_seed, chain=None, cost_model="mj", kmin=KMIN):
    """The large sample as separately thermalized pivot chains, each with its own seed."""
    [protein] = _proteins([structure], chain)
    table = cost_table(cost_model, load_energies())
    seeds = spawn_seeds(master_seed, chains, stream=1)
    return [Task(protein.name, lattice, cost_model, protein.sequence, protein.models, table, chain_samples, seed,
                 chain=k, kmin=kmin)
            for k, seed in enumerate(seeds)]


class TarvexThreads(WorkerPlugin):
    """A worker plugin: each worker's tarvex uses this many threads per call.

    One per Dask worker thread by default: the cluster already runs a task on every thread
    it has, and tarvex's results do not depend on its thread count.
    """

    def __init__(self, threads: int):
        self.threads = threads

    def setup(self, worker) -> None:
        tarvex.set_num_threads(self.threads)


def connect(args) -> Client:
    if args.scheduler:
        try:
            return Client(args.scheduler, timeout=args.connect_timeout)
        except (OSError, ValueError, TimeoutError) as error:
            sys.exit(f"error: no Dask scheduler reached at {args.scheduler!r} within {args.connect_timeout:g} s "
                     f"({error}). Start one (dask scheduler, then dask worker ADDRESS on each machine) and give its "
                     "address as tcp://HOST:PORT, or leave out --scheduler to run on this machine")
    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=None, silence_logs=logging.ERROR)
    return Client(cluster)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("structures", nargs="*", default=[str(TRPCAGE_PDB)],
                        help="structure files or C-alpha traces as JSON (default: the bundled Trp-cage)")
    parser.add_argument("--chain", help="chain to read from each structure file (default: the first protein chain)")
    parser.add_argument("--gaps", choices=GAP_CHOICES, default="stop",
                        help="a gap in a chain: stop (default), split (keep the longest piece) or bridge")
    parser.add_argument("--lattice", nargs="+", default=list(LATTICES), choices=LATTICES)
    parser.add_argument("--cost", nargs="+", default=list(COST_MODELS), choices=list(COST_MODELS),
                        help="cost models (default all; see above)")
    parser.add_argument("--kmin", type=int, default=KMIN,
                        help=f"smallest sequence separation of a contact (default {KMIN}: non-bonded contacts)")
    parser.add_argument("--sample-size", type=int, help="samples per sweep task (default 20000, --quick 300)")
    parser.add_argument("--no-large-sample", action="store_true", help="skip the large sample split into chains")
    parser.add_argument("--chains", type=int, help="pivot chains of the large sample (default 8, --quick 2)")
    parser.add_argument("--chain-samples", type=int, help="samples per chain (default 125000, --quick 1000)")
    parser.add_argument("--seed", type=int, default=2024, help="the master seed (default 2024)")
    parser.add_argument("--scheduler", help="address of a running scheduler, tcp://HOST:PORT "
                                            "(default: a LocalCluster on this machine)")
    parser.add_argument("--connect-timeout", type=float, default=10,
                        help="seconds to wait for the scheduler (default 10)")
    parser.add_argument("--workers", type=int, default=min(4, len(os.sched_getaffinity(0))),
                        help="LocalCluster worker processes (default: the CPUs, at most 4)")
    parser.add_argument("--tarvex-threads", type=int, default=1, help="tarvex threads per task (default 1)")
    parser.add_argument("--json", help="also write the results to this file")
    parser.add_argument("--quick", action="store_true", help="small sizes (what CI runs)")
    args = parser.parse_args()
    sample_size = args.sample_size or (300 if args.quick else 20000)
    chains = 0 if args.no_large_sample else args.chains or (2 if args.quick else 8)
    chain_samples = args.chain_samples or (1000 if args.quick else 125000)

    try:
        proteins = _proteins(args.structures, args.chain, args.gaps)
    except (OSError, ValueError) as error:
        sys.exit(f"error: {error}")
    tasks = plan_tasks(proteins, args.lattice, args.cost, sample_size, args.seed, kmin=args.kmin)
    parts = plan_chains(proteins[0], args.lattice[0], chains, chain_samples, args.seed, cost_model=args.cost[0],
                        kmin=args.kmin)

    with connect(args) as client:
        client.register_plugin(TarvexThreads(args.tarvex_threads))
        where = args.scheduler or f"a LocalCluster of {args.workers} worker processes"
        large = f" and {plural(chains, 'chain')} of {chain_samples:,}" if chains else ""
        print(f"{plural(len(tasks), 'task')} of {sample_size:,} samples{large} on {where}, master seed {args.seed}; "
              f"contacts j - i >= {args.kmin} within {DMAX} A\n")
        start = time.perf_counter()
        results = client.gather(client.map(run_task, tasks, pure=False))
        sweep_seconds = time.perf_counter() - start
        start = time.perf_counter()
        arrays = client.gather(client.map(run_chain, parts, pure=False))
        chain_seconds = time.perf_counter() - start

    print(f"{'protein':<10} {'lattice':<12} {'cost':<9} {'Spearman':>8} {'best RMSD':>9} {'RMSD at min E':>13}")
    for r in results:
        print(f"{r['protein']:<10} {r['lattice']:<12} {r['cost']:<9} {r['spearman']:>8.3f} "
              f"{r['best_rmsd']:>9.2f} {r['rmsd_at_min_cost']:>13.2f}")
    print(f"({sweep_seconds:.1f} s)")
    found = {"tasks": results}
    agrees = True
    if arrays:
        # Ranks are global: the union's coefficient is computed over the concatenated arrays,
        # never averaged from the chains' own coefficients.
        costs = np.concatenate([c for c, _ in arrays])
        rmsds = np.concatenate([r for _, r in arrays])
        union = spearman(costs, rmsds)
        from scipy.stats import spearmanr

        reference = float(spearmanr(costs, rmsds).statistic)
        agrees = abs(union - reference) <= 1e-12
        per_chain = [spearman(c, r) for c, r in arrays]
        print(f"\nlarge sample: {parts[0].protein}, {COST_MODELS[parts[0].cost_model]}, {parts[0].lattice} lattice, "
              f"{plural(chains, 'pivot chain')} x {chain_samples:,} = {len(costs):,} samples ({chain_seconds:.1f} s)")
        print(f"  Spearman over the union:             {union:.12f}")
        print(f"  scipy.stats.spearmanr on the arrays: {reference:.12f} ({'agrees' if agrees else 'DIFFERS'})")
        print(f"  the chains' own coefficients:        {', '.join(f'{rho:.4f}' for rho in per_chain)}")
        found.update(union_spearman=union, scipy_spearman=reference, chain_spearman=per_chain)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(found, out, indent=1)
    if not agrees:
        sys.exit("the union's Spearman coefficient differs from scipy's")


if __name__ == "__main__":
    main()
