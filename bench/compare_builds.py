"""The same calls timed through two builds of the module, in turn, as ratios (new / old).

For a refactor that must not change speed: build the old revision's module into a folder of its
own, then

    .venv/bin/python bench/compare_builds.py OLD_DIR [NEW_DIR] [--rounds 3]

where each folder holds a built tarvex*.so (NEW_DIR defaults to the installed one). Each round runs
every case in a fresh process per build, the builds alternating, and keeps each case's best time;
a ratio near 1.0 is no change. Times are the processes' CPU time, which other work on the
machine disturbs less than the wall clock. Processes run one at a time, on one thread unless --threads says
otherwise (a loaded machine makes the pool's timings noisy).
"""

import argparse
import json
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE.parent / "data"

CASES = ["stats_contact_20", "stats_contact_100", "stats_lua_20", "stats_python_20", "minimize_cost_contact_9",
         "minimize_cost_lua_7", "sample_scores_temperature_30", "fold_contact_20", "sample_solutions_50"]

LUA = ("f", "function f(seq, c) local s = 0 for i = 1, #c do s = s + c[i][1] end return s end")


def run_cases(repeats, threads):
    """In the child: every case's best time in seconds, as JSON on stdout."""
    import time
    import timeit

    import tarvex

    mj = json.loads((DATA / "mj1996_contact_energies.json").read_text())
    seq = "NLYIQWLKDGGPSSGRPPPS" * 5

    def gt(n):
        return [[[3.8 * i, 0.0, 0.0] for i in range(n)]]

    def python_cost(s, c):
        return sum(p[0] for p in c)

    calls = {
        "stats_contact_20": lambda: tarvex.stats(seq[:20], gt(20), mj, sample_size=20000, method="dimerize"),
        "stats_contact_100": lambda: tarvex.stats(seq, gt(100), mj, sample_size=3000, method="pivot"),
        "stats_lua_20": lambda: tarvex.stats(seq[:20], gt(20), LUA, sample_size=5000, method="dimerize"),
        "stats_python_20": lambda: tarvex.stats(seq[:20], gt(20), python_cost, sample_size=5000, method="dimerize"),
        "minimize_cost_contact_9": lambda: tarvex.minimize_cost(seq[:9], mj, lattice="cubic"),
        "minimize_cost_lua_7": lambda: tarvex.minimize_cost(seq[:7], LUA, lattice="cubic"),
        "sample_scores_temperature_30": lambda: tarvex.sample_scores(seq[:30], gt(30), mj, sample_size=2000,
                                                                     temperature=1.0),
        "fold_contact_20": lambda: tarvex.fold(seq[:20], mj, sweeps=300),
        "sample_solutions_50": lambda: tarvex.sample_solutions(50, sample_size=2000),
    }
    tarvex.set_num_threads(threads)
    out = {}
    for name in CASES:
        tarvex.seed(7)
        out[name] = min(timeit.repeat(calls[name], number=1, repeat=repeats, timer=time.process_time))
    print(json.dumps(out))


def time_build(folder, repeats, threads):
    env_path = str(folder)
    result = subprocess.run([sys.executable, __file__, "--child", str(repeats), str(threads)], capture_output=True,
                            text=True, check=True, env={"PYTHONPATH": env_path, "PATH": "/usr/bin:/bin"})
    return json.loads(result.stdout)


def main():
    if sys.argv[1:2] == ["--child"]:
        run_cases(int(sys.argv[2]), int(sys.argv[3]))
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("old")
    parser.add_argument("new", nargs="?")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads", type=int, default=1, help="set_num_threads in both (1: least noise)")
    args = parser.parse_args()
    import importlib.util
    new = pathlib.Path(args.new) if args.new else pathlib.Path(importlib.util.find_spec("tarvex").origin).parent
    best = {"old": {}, "new": {}}
    for _ in range(args.rounds):
        for label, folder in (("old", pathlib.Path(args.old)), ("new", new)):
            for name, t in time_build(folder, args.repeats, args.threads).items():
                best[label][name] = min(best[label].get(name, t), t)
    print(f"{'case':32} {'old ms':>10} {'new ms':>10} {'new/old':>8}")
    for name in CASES:
        o, n = best["old"][name], best["new"][name]
        print(f"{name:32} {o * 1e3:10.2f} {n * 1e3:10.2f} {n / o:8.3f}")


if __name__ == "__main__":
    main()
