"""The Lua path: tarvex.correlation on Trp-cage with the MJ contact energies written in Lua.

correlation(seq, models, cost, sample_size=10000) with the pivot method on the tetrahedral lattice,
the cost being the MJ contact-energy sum (pairs j - i >= 1 within 7.8) as a Lua function. The
same call with the MJ table itself (the native contact-energy cost) is the yardstick measured
beside it. Given several builds of the module (directories holding the extension), each runs in
child processes, the builds taking turns, and the best time of each is kept, so that the ratios
between builds come from the same run.

Run:  .venv/bin/python bench/lua_cost.py [--build before=DIR --build after=DIR] [--rounds 3]
"""

import argparse
import json
import pathlib
import subprocess
import sys

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"

# A Lua MJ cost as a user would write it: the energy rows of the sequence
# looked up once, then every pair.
LUA_MJ = """
local energies = {TABLE}
local rows, last_seq
function mj(seq, c)
  if seq ~= last_seq then
    rows = {}
    for i = 1, #seq do rows[i] = energies[seq:sub(i, i)] end
    last_seq = seq
  end
  local n, sum, limit = #c, 0.0, 7.8 * 7.8
  for i = 1, n do
    local p, row = c[i], rows[i]
    local x, y, z = p[1], p[2], p[3]
    for j = i + 1, n do
      local q = c[j]
      local dx, dy, dz = x - q[1], y - q[2], z - q[3]
      if dx * dx + dy * dy + dz * dz <= limit then sum = sum + row[seq:sub(j, j)] end
    end
  end
  return sum
end
"""

CHILD = """
import json, sys, time
sys.path.insert(0, sys.argv[1])
import tarvex
seq, models, table, source, samples, repeat = json.loads(sys.stdin.read())
def best(cost):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        tarvex.correlation(seq, models, cost, sample_size=samples)
        times.append(time.perf_counter() - start)
    return min(times)
lua = best(("mj", source))
native = best(table)
print(json.dumps({"lua": lua, "native": native, "module": tarvex.__file__}))
"""


def lua_table(mj):
    rows = ", ".join(
        f"{a} = {{" + ", ".join(f"{b} = {v!r}" for b, v in row.items()) + "}"
        for a, row in mj.items())
    return "{" + rows + "}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", action="append", default=[],
                        help="NAME=DIR: a directory holding a built tarvex module (default: the one "
                             "installed)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--sample-size", type=int, default=10000)
    args = parser.parse_args()

    trpcage = json.loads((DATA / "1l2y_ca.json").read_text())
    mj = json.loads((DATA / "mj1996_contact_energies.json").read_text())
    source = LUA_MJ.replace("{TABLE}", lua_table(mj))
    payload = json.dumps([trpcage["sequence"], trpcage["models"], mj, source, args.sample_size,
                          args.repeat])
    builds = [b.split("=", 1) for b in args.build] or [["installed", ""]]

    best = {name: {"lua": float("inf"), "native": float("inf")} for name, _ in builds}
    for _ in range(args.rounds):
        for name, directory in builds:
            out = subprocess.run([sys.executable, "-c", CHILD, directory], input=payload,
                                 capture_output=True, text=True, check=True)
            result = json.loads(out.stdout)
            for key in ("lua", "native"):
                best[name][key] = min(best[name][key], result[key])

    print(f"correlation, Trp-cage, {args.sample_size} pivot samples (best of "
          f"{args.rounds * args.repeat}):")
    for name, _ in builds:
        b = best[name]
        print(f"  {name:>10}: Lua MJ {b['lua'] * 1e3:8.1f} ms   native MJ {b['native'] * 1e3:8.1f} ms"
              f"   Lua / native {b['lua'] / b['native']:.2f}")
    first = builds[0][0]
    for name, _ in builds[1:]:
        print(f"  {name} / {first}: Lua {best[name]['lua'] / best[first]['lua']:.2f}   "
              f"native {best[name]['native'] / best[first]['native']:.2f}")


if __name__ == "__main__":
    main()
