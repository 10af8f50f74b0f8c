"""Whole-protein lattice fits: exact on short chains, valid walks whose rmsd is tarvex.rmsd's, the
same at any thread count, scored by every cost form, and refused on wrong arguments."""

import json
import math

import numpy as np
import pytest
from conftest import DATA

import tarvex

STEPS = {  # the step vectors of each lattice, for checking walks
    "cubic": [(1, 0, 0), (0, 1, 0), (0, 0, 1), (-1, 0, 0), (0, -1, 0), (0, 0, -1)],
    "fcc": [(a, b, 0) for a in (1, -1) for b in (1, -1)] + [(a, 0, b) for a in (1, -1) for b in (1, -1)]
    + [(0, a, b) for a in (1, -1) for b in (1, -1)],
    "bcc": [(a, b, c) for a in (1, -1) for b in (1, -1) for c in (1, -1)],
    "tetrahedral": [(-1, 1, 1), (1, -1, 1), (1, 1, -1), (-1, -1, -1)],
}
STEP_LENGTH = {"cubic": 1.0, "fcc": math.sqrt(2), "bcc": math.sqrt(3), "tetrahedral": math.sqrt(3)}


def protein(name):
    return json.loads((DATA / "proteins" / f"{name}_ca.json").read_text())["models"]


def lattice_points(conformation, lattice, arc_length):
    """The walk in lattice units, checked to be integer."""
    points = np.asarray(conformation) * STEP_LENGTH[lattice] / arc_length
    rounded = np.rint(points)
    assert np.allclose(points, rounded, atol=1e-9)
    return rounded.astype(int)


def assert_walk(conformation, lattice, arc_length, n):
    assert conformation.dtype == np.float64 and conformation.shape == (n, 3)
    walk = lattice_points(conformation, lattice, arc_length)
    assert (walk[0] == 0).all()
    assert len({tuple(p) for p in walk}) == n
    for i in range(1, n):
        step = tuple(walk[i] - walk[i - 1])
        # On the diamond lattice odd points step along the negated vectors.
        odd = walk[i - 1].sum() % 2 == 1
        allowed = [tuple(-c for c in s) for s in STEPS[lattice]] if odd else STEPS[lattice]
        assert step in allowed, (i, step)
    bonds = np.linalg.norm(np.diff(conformation, axis=0), axis=1)
    assert np.allclose(bonds, abs(arc_length), rtol=1e-12)


# Fragments short enough for minimize_rmsd to enumerate in a moment (fcc has 1.5 million walks
# of 7 points), from a helix, loops and a hairpin, against one model or several.
FRAGMENTS = [
    ("tetrahedral", "1l2y", slice(0, 12), 1), ("tetrahedral", "1lcd", slice(20, 31), 3),
    ("cubic", "1l2y", slice(8, 18), 38), ("cubic", "1a8o", slice(40, 50), 1),
    ("bcc", "1as5", slice(2, 10), 14), ("bcc", "4cup", slice(60, 68), 1),
    ("fcc", "1l2y", slice(10, 17), 5), ("fcc", "7cfn_n", slice(30, 37), 1),
]


@pytest.mark.parametrize("lattice, name, part, models", FRAGMENTS,
                         ids=[f"{f[0]}-{f[1]}-{f[2].start}" for f in FRAGMENTS])
def test_short_chains_match_the_exhaustive_minimum(trpcage, lattice, name, part, models):
    source = trpcage["models"] if name == "1l2y" else protein(name)
    gt = [model[part] for model in source[:models]]
    best = tarvex.rmsd(tarvex.minimize_rmsd(gt, lattice=lattice), gt)
    found = tarvex.fit(gt, lattice=lattice)
    assert best * (1 - 1e-9) <= found.rmsd <= best * 1.01


@pytest.mark.parametrize("lattice", ["tetrahedral", "cubic", "bcc", "fcc"])
def test_a_fit_is_a_walk_of_the_lattice_and_its_rmsd_is_rmsd(lattice):
    models = protein("1lcd")
    # A negative arc_length mirrors every walk through the origin, as to_conformation does;
    # past 150 residues placements resolve their clashes another way.
    i = np.arange(170)
    helix = [np.stack([2.3 * np.cos(1.75 * i), 2.3 * np.sin(1.75 * i), 1.5 * i], axis=1)]
    for gt, arc_length in [(models, 3.8), (np.asarray(models)[:, :30] / 3.8, 1.0), (models[:1], -3.8),
                           (helix, 3.8)]:
        result = tarvex.fit(gt, lattice=lattice, arc_length=arc_length)
        assert isinstance(result, tarvex.Fit) and type(result.rmsd) is float
        assert_walk(result.conformation, lattice, arc_length, len(gt[0]))
        assert result.rmsd == tarvex.rmsd(result.conformation, gt)
    # Far from the sampled walks: a native-like walk of the fold itself.
    closest = min(tarvex.rmsd(w, models) for w in tarvex.sample_array(51, 300, lattice=lattice))
    assert tarvex.fit(models, lattice=lattice).rmsd < closest / 2


def test_a_fit_is_the_same_at_any_thread_count_and_wider_beams_do_no_worse():
    before = tarvex.get_num_threads()
    models = protein("1a8o")
    try:
        results = []
        for count in (1, 2, 3):
            tarvex.set_num_threads(count)
            results.append(tarvex.fit(models, lattice="bcc", beam=300))
    finally:
        tarvex.set_num_threads(before)
    for other in results[1:]:
        assert np.array_equal(other.conformation, results[0].conformation)
        assert other.rmsd == results[0].rmsd
    assert tarvex.fit(models, lattice="bcc", beam=3000).rmsd <= results[0].rmsd * 1.02


def test_score_takes_a_fit_with_every_cost_form(trpcage, mj_energies):
    seq, models = trpcage["sequence"], trpcage["models"]
    result = tarvex.fit(models, lattice="cubic")
    lua = ("mj", "function mj(s, c) local e = 0\n"
           "for i = 1, #c do for j = i + 1, #c do\n"
           "local dx, dy, dz = c[i][1] - c[j][1], c[i][2] - c[j][2], c[i][3] - c[j][3]\n"
           "if math.sqrt(dx * dx + dy * dy + dz * dz) <= 7.8 then\n"
           "e = e + MJ[s:sub(i, i)][s:sub(j, j)] end end end return e end\nMJ = " +
           "{" + ",".join(f"{a}={{" + ",".join(f"{b}={v!r}" for b, v in row.items()) + "}"
                          for a, row in mj_energies.items()) + "}")

    def python(s, c):
        return sum(mj_energies[s[i]][s[j]] for i in range(len(c)) for j in range(i + 1, len(c))
                   if math.dist(c[i], c[j]) <= 7.8)

    scores = [tarvex.score(seq, result.conformation[None], models, cost)
              for cost in (mj_energies, lua, python)]
    for s in scores:
        assert s.rmsds[0] == result.rmsd
        assert s.costs[0] == pytest.approx(scores[0].costs[0], abs=1e-9)
    assert scores[0].costs[0] < 0


@pytest.mark.parametrize("call, error, message", [
    (lambda: tarvex.fit([]), tarvex.PanicException, "assertion failed: gt.len() > 0"),
    (lambda: tarvex.fit([[[0, 0, 0]]], lattice="FCC"), tarvex.PanicException,
     'Lattice "FCC" is not recognized !'),
    (lambda: tarvex.fit([[[0, 0, 0], [1, 0, 0]], [[0, 0, 0]]]), tarvex.PanicException,
     "index out of bounds"),
    (lambda: tarvex.fit([[[0, 0, 0]]], beam=0), ValueError, "positive int, not 0"),
    (lambda: tarvex.fit([[[0, 0, 0]]], beam=-3), ValueError, "positive int, not -3"),
    (lambda: tarvex.fit([[[0, 0, 0]]], beam=2.5), TypeError, "positive int or None, not float"),
    (lambda: tarvex.fit([[[0, 0, 0]]], beam=True), TypeError, "not bool"),
    (lambda: tarvex.fit([[[0, 0, 0]]], beam=10**30), OverflowError, None),
    (lambda: tarvex.fit([[[0.0, 0.0, float(i)] for i in range(10**5)]], beam=10**9), MemoryError,
     "a lattice fit of that many points would need"),
], ids=["empty", "lattice", "short-model", "beam-0", "beam-negative", "beam-float", "beam-bool",
        "beam-huge", "memory"])
def test_wrong_arguments_are_refused(call, error, message):
    with pytest.raises(error, match=None if message is None else
                       message.replace("(", r"\(").replace(")", r"\)")):
        call()


def test_degenerate_chains_give_walks():
    # Nothing to fit: no point, one point, models at one place or with no finite coordinate.
    assert tarvex.fit([[]]).conformation.shape == (0, 3)
    assert math.isnan(tarvex.fit([[]]).rmsd)
    one = tarvex.fit([[[5.0, 5.0, 5.0]]], lattice="fcc")
    assert one.conformation.tolist() == [[0.0, 0.0, 0.0]] and one.rmsd == 0.0
    for gt in ([[[1.0, 2.0, 3.0]] * 15], [[[math.nan, 0.0, 0.0]] * 15]):
        result = tarvex.fit(gt, lattice="cubic")
        assert_walk(result.conformation, "cubic", 3.8, 15)
