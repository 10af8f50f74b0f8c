"""The same energy three ways: a contact-energy table, Lua source and a Python callable.

tarvex takes a cost in three forms. Here each holds the Miyazawa-Jernigan contact energy
(pairs i < j with j - i >= kmin whose C-alpha atoms are at most dmax apart, their energies
added in pair order), and all three score the same seeded samples of Trp-cage: the costs are
bit-for-bit equal, and the table shows what each form costs in time.

    python examples/cost_forms.py            # 5,000 samples
    python examples/cost_forms.py --quick    # 300
"""

from __future__ import annotations

import argparse
import math
import time

import numpy as np
from common import TRPCAGE_JSON, load_energies, load_protein

import tarvex

KMIN, DMAX = 1, 7.8  # tarvex's defaults for the table form


def lua_source(energies: dict[str, dict[str, float]]) -> tuple[str, str]:
    """The energy as (name, source): a Lua function over 1-based tables, seq a Lua string."""
    rows = ",\n".join(
        f"  {a} = {{{', '.join(f'{b} = {e!r}' for b, e in row.items())}}}" for a, row in energies.items())
    source = f"""
local E = {{
{rows}
}}
local KMIN, DMAX = {KMIN}, {DMAX!r}
-- Globals persist between the evaluations of one call: split the sequence once.
local letters, letters_of = nil, nil
function mj(seq, c)
  if letters_of ~= seq then
    letters, letters_of = {{}}, seq
    for i = 1, #seq do letters[i] = seq:sub(i, i) end
  end
  local n, total = #c, 0.0
  for i = 1, n - KMIN do
    local p, row = c[i], E[letters[i]]
    for j = i + KMIN, n do
      local q = c[j]
      local dx, dy, dz = p[1] - q[1], p[2] - q[2], p[3] - q[3]
      if math.sqrt((dx * dx + dy * dy) + dz * dz) <= DMAX then total = total + row[letters[j]] end
    end
  end
  return total
end
"""
    return "mj", source


def python_cost(energies: dict[str, dict[str, float]]):
    """The energy as a Python callable cost(seq, coordinates) -> float."""

    def mj(seq: str, coords: list[list[float]]) -> float:
        total = 0.0
        n = len(coords)
        for i in range(n - KMIN):
            px, py, pz = coords[i]
            row = energies[seq[i]]
            for j in range(i + KMIN, n):
                qx, qy, qz = coords[j]
                dx, dy, dz = px - qx, py - qy, pz - qz
                if math.sqrt((dx * dx + dy * dy) + dz * dz) <= DMAX:
                    total += row[seq[j]]
        return total

    return mj


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sample-size", type=int, help="samples scored by each form (default 5000, --quick 300)")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--repeat", type=int, default=3, help="timings per form; the best is shown (default 3)")
    parser.add_argument("--quick", action="store_true", help="small sizes (what CI runs)")
    args = parser.parse_args()
    sample_size = args.sample_size or (300 if args.quick else 5000)

    _, seq, models, *_ = load_protein(TRPCAGE_JSON)
    energies = load_energies()
    forms = [
        ("table", "dict of dicts: energies[a][b]", energies),
        ("lua", '("mj", source): mj(seq, c), c[1][1] is x', lua_source(energies)),
        ("python", "mj(seq, coords) -> float", python_cost(energies)),
    ]
    print(f"Trp-cage, {sample_size} pivot samples (seed {args.seed}), scored by each form; "
          f"best of {args.repeat} runs\n")

    def timed(cost, kmin=KMIN):
        best, scores = math.inf, None
        for _ in range(args.repeat):
            # The same seed gives the same walks, so the forms score the same conformations.
            tarvex.seed(args.seed)
            start = time.perf_counter()
            scores = tarvex.sample_scores(seq, models, cost, sample_size=sample_size, kmin=kmin, dmax=DMAX)
            best = min(best, time.perf_counter() - start)
        return best, scores

    # The same call with a table that never finds a pair (kmin beyond the chain): sampling
    # and RMSDs alone. What a form adds to it is the time of its evaluations.
    floor, _ = timed(energies, kmin=2**64 - 1)
    print(f"{'form':<7} {'calling convention':<43} {'call':>8} {'cost per sample':>16} {'vs table':>9}  costs")
    reference = None
    base = None
    for name, convention, cost in forms:
        best, scores = timed(cost)
        per_sample = max(best - floor, 0.0) / sample_size
        if reference is None:
            reference, base, verdict = scores, per_sample, "reference"
        elif not np.array_equal(scores.rmsds, reference.rmsds):
            raise SystemExit(f"{name}: the samples differ from the table's: the seed did not take")
        elif np.array_equal(scores.costs, reference.costs):
            verdict = "identical"
        else:
            diff = np.abs(scores.costs - reference.costs).max()
            raise SystemExit(f"{name}: costs differ from the table's by up to {diff:.3g}")
        ratio = f"{per_sample / base:>8.1f}x" if base > 0 else f"{'-':>9}"
        print(f"{name:<7} {convention:<43} {best:>7.3f}s {per_sample * 1e6:>13.2f} us {ratio}  {verdict}")
    print(f"\ncall: the whole sample_scores call; the same call with no pair to score takes {floor:.3f}s\n"
          "(sampling and RMSDs), and what a form adds to it, per sample, is the cost of its evaluation.\n"
          "The table is evaluated on every thread, Lua on a thread of its own, Python under the\n"
          "interpreter lock.")


if __name__ == "__main__":
    main()
