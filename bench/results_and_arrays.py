"""Large results and array inputs, each against its yardstick in the same run.

- sample_solutions(10, method="enumerate", lattice="cubic") (1,853,886 walks): the call with the
  caller's collector on, against the same call with the collector off for the whole call and
  against building lists of the same shape in Python. The collection the new lists cost later
  (the first tracked allocations after the call) is shown apart.
- rmsd(walk, models) on Trp-cage (38 models of 20 points): models as a float64 or float32 NumPy
  array against the same models as lists.

Run:  .venv/bin/python bench/results_and_arrays.py [--repeat 3]
"""

import argparse
import gc
import json
import pathlib
import time

import numpy as np
from timing import best_of

import tarvex

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"


def enumerate_walks():
    return tarvex.sample_solutions(10, method="enumerate", lattice="cubic")


def timed_with_aftermath():
    """Seconds of the call, and of the tracked allocations right after it."""
    start = time.perf_counter()
    walks = enumerate_walks()
    middle = time.perf_counter()
    after = [[] for _ in range(1000)]
    end = time.perf_counter()
    del walks, after
    return middle - start, end - middle


def without_collector():
    gc.disable()
    try:
        enumerate_walks()
    finally:
        gc.enable()


def python_lists():
    return [[[0.0, 3.8, -3.8] for _ in range(10)] for _ in range(1_853_886)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    repeat = parser.parse_args().repeat

    runs = [timed_with_aftermath() for _ in range(repeat)]
    call, aftermath = min(runs)
    off = best_of(repeat, without_collector)
    python = best_of(repeat, python_lists)
    print(f"sample_solutions(10, enumerate, cubic): {call:.2f} s (collection after it {aftermath:.2f} s); "
          f"collector off for the call {off:.2f} s (ratio {call / off:.2f}); "
          f"same lists built in Python {python:.2f} s (ratio {call / python:.2f})")

    models = json.loads((DATA / "1l2y_ca.json").read_text())["models"]
    walk = [list(p) for p in tarvex.sample_solutions(len(models[0]), 1, method="dimerize", lattice="cubic")[0]]
    as_float64 = np.array(models)
    as_float32 = as_float64.astype(np.float32)
    calls = 2000
    lists = best_of(repeat * 3, lambda: [tarvex.rmsd(walk, models) for _ in range(calls)]) / calls
    f64 = best_of(repeat * 3, lambda: [tarvex.rmsd(walk, as_float64) for _ in range(calls)]) / calls
    f32 = best_of(repeat * 3, lambda: [tarvex.rmsd(walk, as_float32) for _ in range(calls)]) / calls
    print(f"rmsd(walk, 38 x 20 models): lists {lists * 1e6:.1f} us; float64 array {f64 * 1e6:.1f} us "
          f"(ratio {f64 / lists:.2f}); float32 array {f32 * 1e6:.1f} us (ratio {f32 / lists:.2f})")


if __name__ == "__main__":
    main()
