"""minimize_rmsd on the first 10 residues of Trp-cage model 1, cubic lattice (1,853,886 walks).

Run:  .venv/bin/python bench/minimize.py
"""

import json
import pathlib
import time

import tarvex

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
WALKS = 1_853_886


def main():
    model = json.loads((DATA / "1l2y_ca.json").read_text())["models"][0][:10]
    start = time.perf_counter()
    best = tarvex.minimize_rmsd([model], lattice="cubic")
    elapsed = time.perf_counter() - start
    print(f"minimize_rmsd, {WALKS} cubic walks of 10 points: {elapsed:.3f} s, "
          f"{WALKS / elapsed / 1e6:.2f} M walks/s, best RMSD {tarvex.rmsd(best, [model]):.3f}")
    start = time.perf_counter()
    tarvex.minimize_cost("A" * 10, {"A": {"A": -1.0}}, lattice="cubic")
    elapsed = time.perf_counter() - start
    print(f"minimize_cost (contact energies), same walks: {elapsed:.3f} s, "
          f"{WALKS / elapsed / 1e6:.2f} M walks/s")


if __name__ == "__main__":
    main()
