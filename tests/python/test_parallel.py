"""Every core and the interpreter free: the same results at any thread count, failures in
sample order, threads that survive fork(), and other Python threads running during a call."""

import math
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import tarvex

GT = [[[0.0, 0.0, 0.0], [3.8, 0.0, 0.0], [3.8, 3.8, 0.0], [7.6, 3.8, 0.0], [7.6, 7.6, 3.8],
       [7.6, 7.6, 7.6], [3.8, 7.6, 7.6]]]
TABLE = {a: {b: -1.0 - (ord(a) * ord(b)) % 7 for b in "ACDEF"} for a in "ACDEF"}
COUNTER_LUA = ("f", "n = 0\nfunction f(s, c) n = n + 1; return (n * 7919) % 101 + c[3][1] end")


@pytest.fixture
def threads():
    """Sets the thread count for one test and restores the default afterwards."""
    before = tarvex.get_num_threads()
    yield tarvex.set_num_threads
    tarvex.set_num_threads(before)


def same(a, b):
    """Equal results, NaN equal to NaN, nested tuples and lists compared item by item."""
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b))


CALLS = {
    "stats-contact": lambda: tarvex.stats("ACDEFAC", GT, TABLE, method="enumerate",
                                          lattice="cubic"),
    "stats-python": lambda: tarvex.stats("ACDEFAC", GT, lambda s, c: c[2][0] - c[5][1],
                                         method="enumerate", lattice="tetrahedral"),
    "correlation-lua": lambda: tarvex.correlation("ACDEF", [GT[0][:5]], COUNTER_LUA,
                                                  method="enumerate", lattice="fcc"),
    "minimize-rmsd": lambda: tarvex.minimize_rmsd(GT, lattice="cubic"),
    "minimize-cost-contact": lambda: tarvex.minimize_cost("ACDEFACD", TABLE, lattice="cubic"),
    "minimize-cost-lua": lambda: tarvex.minimize_cost("ACDEFA", COUNTER_LUA, lattice="cubic"),
}


def test_results_are_identical_at_one_and_several_threads(threads):
    threads(1)
    expected = {name: call() for name, call in CALLS.items()}
    for count in (2, 5):
        threads(count)
        for name, call in CALLS.items():
            assert same(call(), expected[name]), (name, count)


def test_the_earliest_failing_sample_raises_and_no_later_cost_runs(threads):
    def failing(seen):
        def cost(seq, coords):
            seen.append(coords)
            if len(seen) == 1234:
                raise ValueError(f"failed at {len(seen)}")
            return 0.0
        return cost

    lua = ("f", "n = 0\nfunction f(s, c) n = n + 1; if n == 777 then error('lua at ' .. n) end "
                "return 0 end")
    outcomes = []
    for count in (1, 4):
        threads(count)
        seen = []
        with pytest.raises(tarvex.PanicException, match="failed at 1234") as python_error:
            tarvex.stats("ACDEFAC", GT, failing(seen), method="enumerate", lattice="cubic")
        with pytest.raises(tarvex.PanicException, match="lua at 777") as lua_error:
            tarvex.minimize_cost("ACDEFAC", lua, lattice="cubic")
        outcomes.append((len(seen), seen[-1], str(python_error.value), str(lua_error.value)))
    assert outcomes[0] == outcomes[1]
    assert outcomes[0][0] == 1234


def test_other_python_threads_run_during_a_call(threads):
    threads(1)
    started = threading.Event()

    def long_call():
        started.set()
        tarvex.minimize_rmsd([GT[0] + [[0.0, 7.6, 7.6], [0.0, 3.8, 7.6], [0.0, 3.8, 3.8],
                                        [0.0, 0.0, 3.8]]], lattice="cubic")

    worker = threading.Thread(target=long_call)
    worker.start()
    started.wait()
    # Plain Python work, done while the call is under way: impossible if the call held the
    # interpreter lock until it returned.
    total = sum(range(200000))
    still_running = worker.is_alive()
    worker.join()
    assert total == 199999 * 100000 and still_running


FORK_SCRIPT = textwrap.dedent("""
    import os, sys, tarvex
    gt = [[[3.8 * i, (i % 3) * 1.5, (i % 2) * 2.0] for i in range(9)]]
    tarvex.set_num_threads(3)
    expected = tarvex.minimize_rmsd(gt, lattice="cubic")  # the pool runs now
    pid = os.fork()
    if pid == 0:
        ok = tarvex.minimize_rmsd(gt, lattice="cubic") == expected
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    import concurrent.futures, multiprocessing
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("fork")) as ex:
        results = list(ex.map(tarvex.minimize_rmsd, [gt] * 3, ["cubic"] * 3))
    print(os.waitstatus_to_exitcode(status), all(r == expected for r in results))
""")


def test_a_forked_child_computes_with_threads():
    out = subprocess.run([sys.executable, "-c", FORK_SCRIPT], capture_output=True, text=True,
                         timeout=120)
    assert out.stdout.split() == ["0", "True"], out.stderr


@pytest.mark.parametrize("value, error", [
    (0, ValueError), (-1, ValueError), (4097, ValueError), (10**30, ValueError),
    ("2", TypeError), (2.0, TypeError), (True, TypeError), (None, TypeError),
])
def test_set_num_threads_rejects_what_is_not_a_thread_count(threads, value, error):
    before = tarvex.get_num_threads()
    with pytest.raises(error, match="number of threads"):
        tarvex.set_num_threads(value)
    assert tarvex.get_num_threads() == before


@pytest.mark.no_asan
def test_threads_the_system_refuses_lower_the_count_with_a_warning():
    script = ("import resource, warnings\n"
              "resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))\n"
              "import tarvex\n"
              "with warnings.catch_warnings(record=True) as caught:\n"
              "    warnings.simplefilter('always')\n"
              "    tarvex.set_num_threads(4096)\n"
              "n = tarvex.get_num_threads()\n"
              "gt = [[[3.8 * i, 0.0, 0.0] for i in range(8)]]\n"
              "tarvex.stats('A' * 8, gt, {'A': {'A': -1.0}}, sample_size=500)\n"
              "print(n < 4096, [str(w.message) for w in caught] == [\n"
              "    f'only {n} of the 4096 threads asked for could be started (a limit of this process or '\n"
              "    f'system); using {n}'])\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.stdout.split() == ["True", "True"], out.stderr[-2000:]


@pytest.mark.parametrize("text, expected", [("3", "3 False"), (" 2\n", "2 False"),
                                            ("zero", "default True"), ("0", "default True")])
def test_the_environment_sets_the_thread_count_at_import(text, expected):
    script = ("import os, warnings\n"
              "with warnings.catch_warnings(record=True) as caught:\n"
              "    warnings.simplefilter('always')\n"
              "    import tarvex\n"
              "n = tarvex.get_num_threads()\n"
              "print('default' if n == len(os.sched_getaffinity(0)) and len(caught) else n,"
              " any('TARVEX_NUM_THREADS' in str(w.message) for w in caught))\n")
    env = dict(os.environ, TARVEX_NUM_THREADS=text)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env,
                         timeout=60)
    assert out.stdout.strip() == expected, out.stderr
