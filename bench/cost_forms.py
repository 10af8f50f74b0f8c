"""Per-evaluation time of the three cost forms at 20 and 100 residues, through the module.

Each form is timed inside stats (dimerize, one model), minus the same run with a cost that is
never evaluated past its pair table (kmin beyond the chain): what is left is the evaluation. The
Python form is set next to calling the same function with prebuilt arguments from Python, the
floor of its calling path.

Run:  .venv/bin/python bench/cost_forms.py
"""

import json
import math
import pathlib

from timing import best_of

import tarvex

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
SAMPLES = 5000


def radius_of_gyration(seq, coords):
    n = len(coords)
    cx = sum(p[0] for p in coords) / n
    cy = sum(p[1] for p in coords) / n
    cz = sum(p[2] for p in coords) / n
    return math.sqrt(sum((p[0] - cx) ** 2 + (p[1] - cy) ** 2 + (p[2] - cz) ** 2
                         for p in coords) / n)


LUA = ("rg", """
function rg(seq, c)
  local n, x, y, z = #c, 0, 0, 0
  for i = 1, n do x = x + c[i][1]; y = y + c[i][2]; z = z + c[i][3] end
  x, y, z = x / n, y / n, z / n
  local s = 0
  for i = 1, n do
    local p = c[i]
    s = s + (p[1] - x) ^ 2 + (p[2] - y) ^ 2 + (p[3] - z) ^ 2
  end
  return math.sqrt(s / n)
end
""")


def main():
    mj = json.loads((DATA / "mj1996_contact_energies.json").read_text())
    for n in (20, 100):
        seq = ("NLYIQWLKDGGPSSGRPPPS" * 5)[:n]
        gt = [[[3.8 * i, 0.0, 0.0] for i in range(n)]]

        def run(cost, **kw):
            return best_of(5, lambda: tarvex.stats(seq, gt, cost, sample_size=SAMPLES,
                                             method="dimerize", **kw))

        base = run(mj, kmin=2**64 - 1)
        per = {name: (run(cost) - base) / SAMPLES * 1e9
               for name, cost in [("contact", mj), ("lua", LUA), ("python", radius_of_gyration)]}
        coords = [list(p) for p in tarvex.sample_solutions(n, 1, method="dimerize")[0]]
        direct = best_of(5, lambda: [radius_of_gyration(seq, coords) for _ in range(SAMPLES)])
        direct = direct / SAMPLES * 1e9
        print(f"n = {n:3d}: contact {per['contact']:8.0f} ns   lua {per['lua']:8.0f} ns   "
              f"python {per['python']:8.0f} ns (direct call {direct:.0f} ns, "
              f"ratio {per['python'] / direct:.2f})")


if __name__ == "__main__":
    main()
