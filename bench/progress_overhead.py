"""What the progress line costs: stats with pbar=True against the same call without it.

Two workloads on Trp-cage: the MJ contact table (scored in batches on the workers) and a cheap
Python cost (scored on the calling thread, where the line is drawn). Each pbar=True timing is
divided by the pbar=False timing of the same workload, measured side by side in this run; the
line goes to a pipe (fd 2 redirected) and, for the stream case, through a Python stream as in a
notebook.

Run:  .venv/bin/python bench/progress_overhead.py [--repeat 5] [--sample-size 200000]
"""

import argparse
import contextlib
import io
import json
import os
import pathlib
import sys

from timing import best_of

import tarvex

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--sample-size", type=int, default=200000)
    args = parser.parse_args()
    trp = json.loads((DATA / "1l2y_ca.json").read_text())
    mj = json.loads((DATA / "mj1996_contact_energies.json").read_text())
    seq, models = trp["sequence"], trp["models"]
    n = args.sample_size
    workloads = {"contact table": (mj, n), "Python cost": (lambda s, c: 1.0, n // 10)}
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(2)
    os.dup2(devnull, 2)  # the line's terminal path, written to nothing
    try:
        rows = []
        for name, (cost, size) in workloads.items():
            def call(pbar):
                return tarvex.stats(seq, models, cost, sample_size=size, pbar=pbar)

            def on_stream():
                with contextlib.redirect_stderr(io.StringIO()):
                    call(True)

            plain = best_of(args.repeat, lambda: call(False))
            on_fd = best_of(args.repeat, lambda: call(True))
            stream = best_of(args.repeat, on_stream)
            rows.append((name, on_fd / plain, stream / plain))
    finally:
        os.dup2(saved, 2)
    print(f"{'workload':<14} {'pbar on fd 2 / none':>20} {'pbar on a stream / none':>24}")
    for name, fd_ratio, stream_ratio in rows:
        print(f"{name:<14} {fd_ratio:>20.3f} {stream_ratio:>24.3f}")


if __name__ == "__main__":
    sys.exit(main())
