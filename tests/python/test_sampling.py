"""sample_solutions: valid walks from every method on every lattice, and Ctrl-C."""

import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from conftest import interrupted_child

import tarvex

LATTICES = ["tetrahedral", "fcc", "bcc", "cubic"]
METHODS = ["pivot", "dimerize", "enumerate"]
STEPS = {
    "tetrahedral": [(-1, 1, 1), (1, -1, 1), (1, 1, -1), (-1, -1, -1)],
    "fcc": [(1, 1, 0), (1, -1, 0), (1, 0, 1), (1, 0, -1), (-1, 1, 0), (-1, -1, 0), (-1, 0, 1),
            (-1, 0, -1), (0, 1, 1), (0, 1, -1), (0, -1, 1), (0, -1, -1)],
    "bcc": [(x, y, z) for x in (1, -1) for y in (1, -1) for z in (1, -1)],
    "cubic": [(1, 0, 0), (0, 1, 0), (0, 0, 1), (-1, 0, 0), (0, -1, 0), (0, 0, -1)],
}
COUNTS = {"tetrahedral": [1, 4, 12, 36, 108, 324], "fcc": [1, 12, 132, 1404, 14700],
          "bcc": [1, 8, 56, 392, 2648], "cubic": [1, 6, 30, 150, 726, 3534]}


def lattice_walk(conformation, lattice):
    """Back to integer lattice coordinates (default arc_length)."""
    scale = 3.8 / math.sqrt(sum(c * c for c in STEPS[lattice][0]))
    return [tuple(round(c / scale) for c in p) for p in conformation]


def assert_valid(conformation, n, lattice):
    assert len(conformation) == n
    walk = lattice_walk(conformation, lattice)
    if n:
        assert walk[0] == (0, 0, 0)
    assert len(set(walk)) == n
    steps = set(STEPS[lattice])
    for i in range(1, n):
        step = tuple(b - a for a, b in zip(walk[i - 1], walk[i]))
        if lattice == "tetrahedral" and sum(walk[i - 1]) % 2:
            step = tuple(-c for c in step)  # from the odd sublattice the steps are negated
        assert step in steps
        assert math.dist(conformation[i - 1], conformation[i]) == pytest.approx(3.8, rel=1e-12)


@pytest.mark.parametrize("lattice", LATTICES)
@pytest.mark.parametrize("method", ["pivot", "dimerize"])
@pytest.mark.parametrize("n", [0, 1, 2, 50, 51, 100])
def test_random_methods_give_valid_walks(method, lattice, n):
    sample = tarvex.sample_solutions(n, 20, method=method, lattice=lattice)
    assert len(sample) == 20
    for conformation in sample:
        assert_valid(conformation, n, lattice)


@pytest.mark.parametrize("lattice", LATTICES)
def test_enumeration_counts_and_validity(lattice):
    for n, count in enumerate(COUNTS[lattice], start=1):
        sample = tarvex.sample_solutions(n, 3, method="enumerate", lattice=lattice)
        assert len(sample) == count
        assert len({tuple(map(tuple, w)) for w in sample}) == count
        for conformation in sample:
            assert_valid(conformation, n, lattice)


def test_enumeration_order_on_cubic():
    sample = tarvex.sample_solutions(2, method="enumerate", lattice="cubic", arc_length=1.0)
    assert [w[1] for w in sample] == [[0.0, 0.0, -1.0], [0.0, -1.0, 0.0], [-1.0, 0.0, 0.0],
                                      [0.0, 0.0, 1.0], [0.0, 1.0, 0.0], [1.0, 0.0, 0.0]]


def test_enumeration_of_zero_points_is_one_empty_walk():
    assert tarvex.sample_solutions(0, method="enumerate") == [[]]


@pytest.mark.parametrize("lattice, second", [("tetrahedral", (1, -1, 1)), ("fcc", (1, 1, 0)),
                                             ("bcc", (1, 1, 1)), ("cubic", (1, 0, 0))])
def test_unthermalized_pivot_gives_the_straight_walk(lattice, second):
    sample = tarvex.sample_solutions(5, 3, thermalization_factor=0, lattice=lattice)
    walk = lattice_walk(sample[0], lattice)
    assert walk[1] == second
    assert all(s == sample[0] for s in sample)


def test_pivot_without_spacing_repeats_the_thermalized_walk():
    sample = tarvex.sample_solutions(30, 5, autocorrelation_factor=0, lattice="cubic")
    assert all(s == sample[0] for s in sample)


@pytest.mark.parametrize("n", [1, 2])
def test_short_pivot_chains_return_promptly(n):
    sample = tarvex.sample_solutions(n, 100)
    assert len(sample) == 100 and all(len(w) == n for w in sample)


def test_pivot_and_dimerize_agree_on_end_to_end_distance():
    def mean_r2(method):
        sample = np.array(tarvex.sample_solutions(40, 4000, method=method, lattice="cubic",
                                                  arc_length=1.0))
        r2 = ((sample[:, -1] - sample[:, 0]) ** 2).sum(axis=1)
        return r2.mean(), r2.std() / math.sqrt(len(r2))

    (pivot, pivot_err), (dimer, dimer_err) = mean_r2("pivot"), mean_r2("dimerize")
    # Pivot samples are correlated; allow a generous multiple of the independent error.
    assert abs(pivot - dimer) < 6 * math.hypot(pivot_err * 3, dimer_err)


SIGINT_SCRIPT = textwrap.dedent("""
    import math, sys, tarvex
    calls = {
        "enumerate": lambda: tarvex.stats("A" * 12, [[[float(i), 0, 0] for i in range(12)]],
                                          {"A": {"A": -1.0}}, method="enumerate", lattice="cubic"),
        "dimerize": lambda: tarvex.sample_solutions(2000, 10**4, method="dimerize"),
        "thermalize": lambda: tarvex.sample_solutions(3000, 1, thermalization_factor=10**9),
        "minimize": lambda: tarvex.minimize_rmsd([[[float(i), 0, 0] for i in range(16)]],
                                                 lattice="fcc"),
        "stats": lambda: tarvex.stats("A" * 30, [[[float(i), 0, 0] for i in range(30)]],
                                      lambda s, c: 0.0, sample_size=10**7),
        "lua-cost": lambda: tarvex.minimize_cost("A" * 16, ("f", "function f() return 1 end"),
                                                 lattice="fcc"),
        "pivot-samples": lambda: tarvex.sample_solutions(300, 10**5, thermalization_factor=1,
                                                           autocorrelation_factor=1000),
        "fit": lambda: tarvex.fit([[[2.3 * math.cos(1.75 * i), 2.3 * math.sin(1.75 * i), 1.5 * i]
                                    for i in range(300)]], lattice="fcc", beam=5000),
        "pbar": lambda: tarvex.correlation("A" * 30, [[[float(i), 0, 0] for i in range(30)]],
                                           {"A": {"A": 1.0}}, sample_size=10**7,
                                           method="dimerize", pbar=True),
    }
    print("started", flush=True)
    try:
        calls[sys.argv[1]]()
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    print(tarvex.rmsd([[0, 0, 0]], [[[1, 1, 1]]]), flush=True)
""")


@pytest.mark.parametrize("call", ["enumerate", "dimerize", "thermalize", "minimize", "stats",
                                  "lua-cost", "pivot-samples", "fit", "pbar"])
def test_ctrl_c_ends_a_long_call(call):
    # The signal comes from outside, as Ctrl-C does. (The sizes are long to compute but fit in
    # memory: a request beyond it fails at once with MemoryError.)
    with interrupted_child(SIGINT_SCRIPT, call) as proc:
        assert proc.stdout.readline() == "0.0\n"
        assert proc.wait(timeout=10) == 0
        err = proc.stderr.read()
        # Nothing but the progress line, and that one ended.
        assert err.endswith("\n") and "Traceback" not in err if call == "pbar" else err == ""


DEGENERATE_SCRIPT = textwrap.dedent("""
    import tarvex
    most = 2**64 - 1
    two = [[[0.0, 0.0, 0.0], [3.8, 0.0, 0.0]]]
    calls = [
        lambda: len(tarvex.sample_solutions(0)),
        lambda: len(tarvex.sample_solutions(0, 100, thermalization_factor=most,
                                            autocorrelation_factor=most)),
        lambda: len(tarvex.sample_solutions(1, 100, thermalization_factor=most,
                                            autocorrelation_factor=most)),
        lambda: len(tarvex.sample_solutions(2)),
        lambda: tarvex.stats("AA", two, lambda s, c: 1.0)[1],
        lambda: repr(tarvex.correlation("AA", two, {"A": {"A": 1.0}})),
        lambda: tarvex.stats("", [[]], lambda s, c: 1.0, sample_size=3,
                             thermalization_factor=most, autocorrelation_factor=most)[1],
        lambda: tarvex.stats("", [[]], lambda s, c: 2.0, method="enumerate")[1],
        lambda: tarvex.minimize_cost("", ("f", "function f() return 1 end")),
    ]
    for call in calls:
        print(call())
""")


def test_zero_and_two_point_chains_return_promptly():
    # Zero and one point have no pivot site, so no factor, however large, makes them draw; two
    # points accept every move, and the spacing counts their rejections as one. The timeout
    # only guards against a hang: the whole script takes a few seconds.
    out = subprocess.run([sys.executable, "-c", DEGENERATE_SCRIPT], capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["10000", "100", "100", "10000", "(1.0, 1.0, 1.0)", "nan",
                                       "(1.0, 1.0, 1.0)", "(2.0, 2.0, 2.0)", "[]"]
