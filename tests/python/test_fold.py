"""Boltzmann samples (their energy law against all walks) and fold (ground states, the same at any
thread count, the target), with the refusals of both."""

import math
from collections import defaultdict

import numpy as np
import pytest

import tarvex

HP = {"H": {"H": -1.0, "P": 0.0}, "P": {"H": 0.0, "P": 0.0}}
HP_MODEL = dict(lattice="cubic", arc_length=1.0, kmin=2, dmax=1.0)


def straight(n):
    return [[[float(i), 0.0, 0.0] for i in range(n)]]


def law(costs, temperature=None):
    """The distribution of the costs (rounded), weighted by exp(-cost / T) when T is given."""
    weights = defaultdict(float)
    low = min(costs)
    for c in costs:
        weights[round(float(c), 9)] += 1.0 if temperature is None else math.exp(-(c - low) / temperature)
    total = sum(weights.values())
    return {e: w / total for e, w in weights.items()}


def tvd(p, q):
    return 0.5 * sum(abs(p.get(e, 0.0) - q.get(e, 0.0)) for e in set(p) | set(q))


@pytest.mark.parametrize(
    "seq, table, settings, temperature, spacing",
    [
        ("HPHHPPHPHH", "hp", HP_MODEL, 0.5, 40),
        # Hundreds of energy levels, and compact basins that a single chain at T = 1
        # hardly leaves: the copies at higher temperatures must carry it between them.
        ("MKVLAGWEDI", "mj", dict(lattice="tetrahedral"), 1.0, 40),
    ],
)
def test_energy_law_is_boltzmann_over_all_walks(seq, table, settings, temperature, spacing, mj_energies):
    energies = HP if table == "hp" else mj_energies
    gt = straight(len(seq))
    every = tarvex.sample_scores(seq, gt, energies, method="enumerate", **settings).costs
    tarvex.seed(3)
    sampled = tarvex.sample_scores(seq, gt, energies, sample_size=100_000, autocorrelation_factor=spacing,
                                   temperature=temperature, **settings).costs
    assert tvd(law(sampled), law(every, temperature)) <= 0.01


def test_temperature_none_and_costs_of_every_form(mj_energies):
    seq, gt = "MKVLAGWEDIHKLV", straight(14)
    tarvex.seed(9)
    plain = tarvex.sample_scores(seq, gt, mj_energies, sample_size=300)
    tarvex.seed(9)
    none = tarvex.sample_scores(seq, gt, mj_energies, sample_size=300, temperature=None)
    assert np.array_equal(plain.costs, none.costs) and np.array_equal(plain.rmsds, none.rmsds)
    # A Python cost at a temperature: its values are the costs score gives, and colder is lower.
    calls = []

    def contacts(_, conformation):
        calls.append(1)
        c = np.asarray(conformation)
        d = np.linalg.norm(c[:, None] - c[None], axis=2)
        return -float(np.sum(np.triu(d <= 7.8, 2)))

    tarvex.seed(2)
    cold = tarvex.sample_scores(seq, gt, contacts, sample_size=200, thermalization_factor=20, temperature=0.3)
    tarvex.seed(2)
    hot = tarvex.sample_scores(seq, gt, contacts, sample_size=200, thermalization_factor=20, temperature=30.0)
    assert np.mean(cold.costs) < np.mean(hot.costs) - 2
    assert len(cold.costs) == 200 and len(calls) > 400
    with pytest.raises(ValueError, match="temperature"):
        tarvex.sample_scores(seq, gt, mj_energies, temperature=0.0)
    with pytest.raises(ValueError, match="temperature"):
        tarvex.sample_scores(seq, gt, mj_energies, temperature=float("nan"))
    with pytest.raises(ValueError, match="pivot"):
        tarvex.sample_scores(seq, gt, mj_energies, method="dimerize", temperature=1.0)
    broken = {a: dict(row) for a, row in mj_energies.items()}
    broken["K"]["V"] = float("nan")
    with pytest.raises(ValueError, match="finite"):
        tarvex.sample_scores(seq, gt, broken, temperature=1.0)
    with pytest.raises(ValueError, match="finite"):
        tarvex.fold(seq, broken)
    with pytest.raises(tarvex.PanicException, match="NaN"):
        tarvex.sample_scores(seq, gt, lambda s, c: float("nan"), temperature=1.0)


def test_fold_reaches_the_ground_state_found_by_enumeration():
    seq = "HHPHPPHPHH"
    every = tarvex.sample_scores(seq, straight(10), HP, method="enumerate", **HP_MODEL).costs
    tarvex.seed(4)
    folded = tarvex.fold(seq, HP, sweeps=1000, **HP_MODEL)
    assert folded.cost == min(every) < -2
    c = folded.conformation
    assert c.shape == (10, 3) and c.dtype == np.float64 and np.array_equal(c[0], [0, 0, 0])
    assert np.allclose(np.linalg.norm(np.diff(c, axis=0), axis=1), 1.0)
    assert len({tuple(p) for p in c}) == 10
    assert tarvex.score(seq, [c], [c], HP, kmin=2, dmax=1.0).costs[0] == folded.cost


def test_fold_is_the_same_at_any_thread_count_and_stops_at_the_target(mj_energies):
    seq = "NLYIQWLKDGGPSSGRPPPS"
    results = []
    for threads in (1, 2):
        tarvex.set_num_threads(threads)
        tarvex.seed(12)
        results.append(tarvex.fold(seq, mj_energies, lattice="fcc", sweeps=300))
    tarvex.set_num_threads(2)
    assert np.array_equal(results[0].conformation, results[1].conformation)
    assert results[0].cost == results[1].cost
    assert results[0].cost == tarvex.score(seq, [results[0].conformation], straight(20), mj_energies).costs[0]
    # A target already met ends a run that would otherwise take hours.
    tarvex.seed(12)
    quick = tarvex.fold(seq, mj_energies, lattice="fcc", sweeps=10**9, target=results[0].cost + 5)
    assert quick.cost <= results[0].cost + 5
    with pytest.raises(ValueError, match="sweeps"):
        tarvex.fold(seq, mj_energies, sweeps=0)
