"""The headline workload: stats on Trp-cage with the MJ energies, against mdtraj's RMSD alone.

stats(seq, models, mj, sample_size=10000) on the tetrahedral lattice with the pivot method does
everything: sampling, RMSD of every conformation against the 38 models, contact energies and the
rank correlation. The yardstick is mdtraj.rmsd (single-threaded, centring included) computing
only the 380,000 RMSDs of the same number of conformations against the same models.

Run:  OMP_NUM_THREADS=1 .venv/bin/python bench/headline.py [--repeat 5]
"""

import argparse
import json
import os
import pathlib

os.environ.setdefault("OMP_NUM_THREADS", "1")

import mdtraj  # noqa: E402
import numpy as np  # noqa: E402
from timing import best_of  # noqa: E402

import tarvex  # noqa: E402

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--sample-size", type=int, default=10000)
    args = parser.parse_args()

    trpcage = json.loads((DATA / "1l2y_ca.json").read_text())
    mj = json.loads((DATA / "mj1996_contact_energies.json").read_text())
    seq, models = trpcage["sequence"], trpcage["models"]
    n = args.sample_size

    t_stats = best_of(args.repeat, lambda: tarvex.stats(seq, models, mj, sample_size=n))

    conformations = np.array(tarvex.sample_solutions(len(seq), n), dtype=np.float32)
    topology = mdtraj.Topology()
    chain = topology.add_chain()
    for _ in seq:
        topology.add_atom("CA", mdtraj.element.carbon, topology.add_residue("ALA", chain))
    # mdtraj works in nanometres; the RMSD only scales, the work is the same.
    traj = mdtraj.Trajectory(conformations / 10.0, topology)
    reference = mdtraj.Trajectory(np.array(models, dtype=np.float32) / 10.0, topology)

    def yardstick():
        for k in range(len(models)):
            mdtraj.rmsd(traj, reference, frame=k, precentered=False)

    t_mdtraj = best_of(args.repeat, yardstick)
    pairs = n * len(models)
    print(f"stats (sampling + {pairs} RMSDs + MJ costs + ranking): {t_stats * 1e3:8.1f} ms")
    print(f"mdtraj.rmsd, {pairs} RMSDs only:                  {t_mdtraj * 1e3:8.1f} ms "
          f"({t_mdtraj / pairs * 1e9:.0f} ns/pair)")
    print(f"ratio stats / mdtraj: {t_stats / t_mdtraj:.2f}")


if __name__ == "__main__":
    main()
