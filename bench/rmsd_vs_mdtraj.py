"""Benchmark: ns per (conformation, model) pair of mdtraj.rmsd against bench_rmsd.

Usage: python bench/rmsd_vs_mdtraj.py [path/to/bench_rmsd]

mdtraj runs single-threaded (OMP_NUM_THREADS=1) with its centring included
(precentered=False), on the workload of bench_rmsd: 10,000 noisy, randomly
moved copies of the Trp-cage models against each of the 38 models as the
reference (380,000 pairs of 20 points), and 10,000 random 100-point chains
against 38 others. The C++ figures come from running bench_rmsd (given as the
argument, or the newest one found under build/) right after, in the same run:
its batched kernel (ground_truth_rmsds, batches of 1,024 conformations).
"""

import os

os.environ["OMP_NUM_THREADS"] = "1"

import glob
import json
import pathlib
import re
import subprocess
import sys
import time

import mdtraj
import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
FRAMES = 10_000


def random_rotations(rng, count):
    q = rng.normal(size=(count, 4))
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    w, x, y, z = q.T
    return np.stack(
        [
            np.stack([1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)], axis=-1),
            np.stack([2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)], axis=-1),
            np.stack([2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)], axis=-1),
        ],
        axis=1,
    )


def random_chains(rng, count, points):
    steps = rng.normal(size=(count, points - 1, 3))
    steps *= 3.8 / np.linalg.norm(steps, axis=2, keepdims=True)
    return np.concatenate([np.zeros((count, 1, 3)), np.cumsum(steps, axis=1)], axis=1)


def topology(points):
    top = mdtraj.Topology()
    chain = top.add_chain()
    for _ in range(points):
        top.add_atom("CA", mdtraj.element.carbon, top.add_residue("ALA", chain))
    return top


def ns_per_pair(models, frames):
    """Best of three runs of mdtraj.rmsd of every frame against every model.

    CPU time of the thread, like bench_rmsd: the machine may be shared.
    """
    top = topology(models.shape[1])
    # mdtraj works in nanometres and single precision; the scale does not
    # change the work done.
    trajectory = mdtraj.Trajectory((frames / 10).astype(np.float32), top)
    reference = mdtraj.Trajectory((models / 10).astype(np.float32), top)
    best = float("inf")
    for _ in range(3):
        start = time.thread_time()
        for k in range(len(models)):
            mdtraj.rmsd(trajectory, reference, k, precentered=False)
        best = min(best, time.thread_time() - start)
    return best / (len(models) * len(frames)) * 1e9


def find_bench():
    if len(sys.argv) > 1:
        return sys.argv[1]
    found = sorted(glob.glob(str(ROOT / "build" / "*" / "bench_rmsd")), key=os.path.getmtime)
    if not found:
        sys.exit("bench_rmsd not found under build/; pass its path as the argument")
    return found[-1]


def main():
    rng = np.random.default_rng(2024)
    trp = np.array(json.loads((ROOT / "data" / "1l2y_ca.json").read_text())["models"])
    picks = trp[rng.integers(0, len(trp), FRAMES)] + rng.normal(scale=1.5, size=(FRAMES, 20, 3))
    noisy = np.einsum("fij,fpj->fpi", random_rotations(rng, FRAMES), picks) + rng.normal(scale=10, size=(FRAMES, 1, 3))
    md20 = ns_per_pair(trp, noisy)
    md100 = ns_per_pair(random_chains(rng, len(trp), 100), random_chains(rng, FRAMES, 100))

    bench = find_bench()
    output = subprocess.run([bench], check=True, capture_output=True, text=True).stdout
    ours = {int(m[1]): float(m[2]) for m in re.finditer(r"ns_per_pair (\d+) ([\d.]+)", output)}

    print(f"C++ binary: {bench}")
    for points, md in ((20, md20), (100, md100)):
        print(
            f"{points:3d} points: mdtraj.rmsd {md:8.2f} ns/pair, tarvex {ours[points]:8.2f} ns/pair, "
            f"tarvex/mdtraj = {ours[points] / md:.3f}"
        )


if __name__ == "__main__":
    main()
