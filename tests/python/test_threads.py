"""Calls from several Python threads at once: the same results as alone, and no crash.

A call releases the interpreter lock while it computes and takes it back for a Python cost
function (time.sleep(0) below also switches threads inside one), so calls of different threads
interleave in the middle of their sampling and share the worker threads. Each must still see
only its own cost, Lua state, random stream and progress bar.
"""

import math
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import tarvex

THREADS = 6
ROUNDS = 8
GT = [[[0.0, 0.0, 0.0], [3.8, 0.0, 0.0], [3.8, 3.8, 0.0], [7.6, 3.8, 0.0], [7.6, 7.6, 3.8]]]


# Calls under way (entered, not yet returned) and the most ever seen from inside a cost.
inside, peak = [0], [0]


def yielding(score):
    """A cost function that lets other threads run in the middle of every evaluation."""
    def cost(seq, coords):
        peak[0] = max(peak[0], inside[0])
        time.sleep(0)
        return score(seq, coords)
    return cost


def counted(call):
    inside[0] += 1
    try:
        return call()
    finally:
        inside[0] -= 1


def spread(seq, coords):
    return -sum(abs(c) for p in coords for c in p) + (ord(seq[0]) % 3)


# Deterministic calls: (id, call). Each thread's results must equal the single-threaded ones.
DETERMINISTIC = [
    ("enumerate", lambda: tarvex.sample_solutions(4, method="enumerate", lattice="cubic")),
    ("minimize-cost-python", lambda: tarvex.minimize_cost("ACDE", yielding(spread),
                                                          lattice="cubic")),
    ("minimize-cost-lua", lambda: tarvex.minimize_cost(
        "ACDE", ("f", "n = 0\nfunction f(s, c) n = n + 1; return (n * 7919) % 101 end"),
        lattice="tetrahedral")),
    ("minimize-rmsd", lambda: tarvex.minimize_rmsd(GT, lattice="fcc")),
    ("stats-enumerate", lambda: tarvex.stats("ACDEF", GT, yielding(spread), method="enumerate",
                                             lattice="tetrahedral")),
    ("stats-contact", lambda: tarvex.stats("ACDAC", GT, {a: {b: -1.0 for b in "ACDEF"}
                                                          for a in "ACDEF"},
                                           method="enumerate", lattice="cubic")),
    ("rmsd", lambda: tarvex.rmsd(GT[0][::-1], GT)),
]


def self_avoiding(walk, n):
    return len(walk) == n and len({tuple(p) for p in walk}) == n and all(
        math.dist(a, b) == pytest.approx(3.8) for a, b in zip(walk, walk[1:]))


def run_in_threads(work):
    """Runs work(thread_index) in THREADS threads released together; returns their results
    and re-raises the first exception any of them met."""
    barrier = threading.Barrier(THREADS)
    results, errors = [None] * THREADS, []

    def body(i):
        try:
            barrier.wait()
            results[i] = work(i)
        except BaseException as error:  # noqa: BLE001 - reported below, whatever it is
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads)
    if errors:
        raise errors[0]
    return results


def test_deterministic_results_equal_the_single_threaded_ones():
    expected = {name: call() for name, call in DETERMINISTIC}

    def work(i):
        # Each thread goes through the calls in its own rotation, so different calls overlap.
        out = {}
        for r in range(ROUNDS // 2):
            for k in range(len(DETERMINISTIC)):
                name, call = DETERMINISTIC[(i + r + k) % len(DETERMINISTIC)]
                out.setdefault(name, []).append(counted(call))
        return out

    peak[0] = 0
    outs = run_in_threads(work)
    assert peak[0] > 1  # the calls did run into one another
    for out in outs:
        for name, values in out.items():
            assert all(value == expected[name] or _both_nan(value, expected[name])
                       for value in values), name


def _both_nan(a, b):
    flat = lambda x: [x] if isinstance(x, float) else [y for z in x for y in flat(z)]  # noqa: E731
    fa, fb = flat(a), flat(b)
    return len(fa) == len(fb) and all(x == y or (math.isnan(x) and math.isnan(y))
                                      for x, y in zip(fa, fb))


@pytest.mark.parametrize("method", ["pivot", "dimerize"])
def test_random_walks_from_many_threads_are_valid(method):
    def work(i):
        lattice = ["tetrahedral", "fcc", "bcc", "cubic"][i % 4]
        seen = []
        for _ in range(ROUNDS):
            sample = tarvex.sample_solutions(12, 30, method=method, lattice=lattice)
            assert len(sample) == 30 and all(self_avoiding(w, 12) for w in sample)
            seen.append(sample)
            # A cost that switches threads mid-sample: the other threads' samplers run then.
            calls = []
            stats = tarvex.stats("A" * 12, [sample[0]], yielding(lambda s, c: calls.append(c)
                                                                  or float(len(calls))),
                                 sample_size=20, method=method, lattice=lattice)
            assert stats[1] == (1.0, 10.5, 20.0) and len(calls) == 20
            assert all(self_avoiding(w, 12) for w in calls)
        return seen

    samples = run_in_threads(work)
    # Every thread draws from its own random stream: no two threads return the same sample.
    firsts = [tuple(tuple(map(tuple, w)) for w in s[0]) for s in samples]
    assert len(set(firsts)) == THREADS


def test_failures_in_some_threads_leave_the_others_correct():
    expected = tarvex.minimize_cost("ACD", yielding(spread), lattice="cubic")

    def work(i):
        for _ in range(ROUNDS):
            if i % 2:
                with pytest.raises(tarvex.PanicException):
                    tarvex.stats("ACD", GT, yielding(lambda s, c: 1 / 0), sample_size=5)
                with pytest.raises(tarvex.PanicException):
                    tarvex.stats("ACD", [GT[0][:3]], ("f", "function f() error('x') end"),
                                 sample_size=5)
                with pytest.raises(TypeError):
                    tarvex.rmsd(GT[0], "models")
            else:
                assert tarvex.minimize_cost("ACD", yielding(spread), lattice="cubic") == expected
        return True

    assert all(run_in_threads(work))


PBAR_SCRIPT = textwrap.dedent("""
    import sys, threading, time, tarvex
    THREADS = 4
    barrier = threading.Barrier(THREADS)
    results = [None] * THREADS

    def cost(seq, coords):
        time.sleep(0.0005)  # other threads run, and redraw their bars, meanwhile
        return float(len(coords))

    def work(i):
        barrier.wait()
        results[i] = [
            tarvex.stats("AAAAA", [[[float(k), 0, 0] for k in range(5)]], cost,
                         sample_size=300, method="dimerize", pbar=True),
            len(tarvex.sample_solutions(5, 200, method="pivot", pbar=True)),
            len(tarvex.minimize_cost("AAAA", cost, lattice="cubic", pbar=True)),
        ]
        try:
            tarvex.stats("AAAAA", [[[float(k), 0, 0] for k in range(5)]],
                         lambda s, c: time.sleep(0.001) or 1 / 0, sample_size=50,
                         method="dimerize", pbar=True)
        except tarvex.PanicException:
            results[i].append("panic")

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        print(r[0][1], r[1:])
""")


def test_progress_bars_from_several_threads_share_the_display():
    out = subprocess.run([sys.executable, "-c", PBAR_SCRIPT], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.splitlines() == ["(5.0, 5.0, 5.0) [200, 4, 'panic']"] * 4
    err = out.stderr
    assert err.endswith("\n")
    # Every bar ended with its own newline: 4 threads x 4 bars.
    assert err.count("\n") >= 16
    assert err.count("300/300") >= 4 and err.count("200/200") >= 4
    assert "Traceback" not in err


GIL_SCRIPT = textwrap.dedent("""
    import threading, time, tarvex
    ticks, stop = [], []
    def ticker():
        while not stop:
            ticks.append(time.monotonic())
            time.sleep(0.005)
    thread = threading.Thread(target=ticker)
    thread.start()
    start = time.monotonic()
    tarvex.sample_solutions(9, method="enumerate", lattice="cubic")  # 387,966 walks, built as lists
    end = time.monotonic()
    stop.append(1)
    thread.join()
    inside = [t for t in ticks if start <= t <= end]
    gaps = [b - a for a, b in zip([start] + inside, inside + [end])]
    print(max(gaps) < (end - start) / 2)
""")


def test_other_threads_run_while_a_large_result_is_built():
    # Building the lists holds the interpreter lock; it lets go between chunks.
    out = subprocess.run([sys.executable, "-c", GIL_SCRIPT], capture_output=True, text=True, timeout=120)
    assert out.stdout.split() == ["True"], out.stderr[-2000:]
