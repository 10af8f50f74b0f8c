"""minimize_cost and minimize_rmsd: the first best conformation over every walk."""

import math
import subprocess
import sys

import pytest

import tarvex


def walks(n, lattice="cubic"):
    return tarvex.sample_solutions(n, method="enumerate", lattice=lattice)


def score_by_index(scores):
    """A cost function giving the i-th walk the score scores(i)."""
    calls = []

    def cost(seq, coords):
        calls.append(coords)
        return scores(len(calls) - 1)

    return cost, calls


def test_constant_cost_gives_the_first_walk():
    assert tarvex.minimize_cost("AAA", lambda s, c: 1.0, lattice="cubic") == walks(3)[0]
    assert walks(3)[0] == [[0.0, 0.0, 0.0], [0.0, 0.0, -3.8], [0.0, 0.0, -7.6]]


@pytest.mark.parametrize("scores, winner", [
    (lambda i: -0.0 if i == 7 else 0.0, 7),
    (lambda i: math.nan if i == 0 else 1.0, 1),
    (lambda i: math.nan if i < 29 else math.inf, 29),
    (lambda i: -math.nan if i == 4 else -math.inf, 4),
    (lambda i: float(abs(i - 12)), 12),
    (lambda i: float(i % 5 == 3) * -1.0, 3),
], ids=["negative-zero", "nan-never-wins", "inf-beats-nan", "negative-nan-wins", "valley",
        "tie-keeps-first"])
def test_total_order_and_ties(scores, winner):
    cost, calls = score_by_index(scores)
    best = tarvex.minimize_cost("AAA", cost, lattice="cubic")
    assert len(calls) == 30
    assert best == walks(3)[winner] == calls[winner]


@pytest.mark.parametrize("lattice", ["tetrahedral", "fcc", "bcc", "cubic"])
def test_minimize_rmsd_recovers_a_lattice_conformation(lattice):
    target = tarvex.sample_solutions(6, 1, method="dimerize", lattice=lattice)[0]
    best = tarvex.minimize_rmsd([target], lattice=lattice)
    assert tarvex.rmsd(best, [target]) == pytest.approx(0.0, abs=1e-9)


def test_minimize_rmsd_of_trpcage_fragment(trpcage):
    models = [m[:5] for m in trpcage["models"]]
    best = tarvex.minimize_rmsd(models, lattice="fcc")
    scores = [tarvex.rmsd(w, models) for w in walks(5, "fcc")]
    assert tarvex.rmsd(best, models) == min(scores)
    assert best == walks(5, "fcc")[scores.index(min(scores))]


@pytest.mark.parametrize("call, expected", [
    (lambda: tarvex.minimize_cost("A", lambda s, c: 0.0), [[0.0, 0.0, 0.0]]),
    (lambda: tarvex.minimize_cost("", lambda s, c: 0.0), []),
    (lambda: tarvex.minimize_rmsd([[[1.0, 2.0, 3.0]]]), [[0.0, 0.0, 0.0]]),
    (lambda: tarvex.minimize_rmsd([[]]), []),
], ids=["one-residue", "empty-sequence", "one-point-gt", "empty-gt-structure"])
def test_short_inputs(call, expected):
    assert call() == expected


def test_non_ascii_sequence_uses_byte_length():
    assert len(tarvex.minimize_cost("é", lambda s, c: 0.0)) == 2


def test_memory_stays_flat_over_a_large_minimization():
    # 387,966 cubic walks of 9 points: kept all at once they would need ~80 MB.
    code = ("import resource, tarvex\n"
            "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
            "tarvex.minimize_rmsd([[[float(i), 0.0, 0.0] for i in range(9)]], lattice='cubic')\n"
            "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert int(out.stdout) < 20_000  # KiB
