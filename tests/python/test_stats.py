"""stats and correlation: exact statistics of cost against RMSD."""

import math

import numpy as np
import pytest
from conftest import kabsch_rmsd
from scipy import stats as scipy_stats

import tarvex


def contact_energy(seq, coords, table, kmin=1, dmax=7.8):
    total = 0.0
    for i in range(len(coords)):
        for j in range(i + kmin, len(coords)):
            if math.dist(coords[i], coords[j]) <= dmax:
                total += table[seq[i]][seq[j]]
    return total


@pytest.mark.parametrize("lattice", ["tetrahedral", "fcc", "cubic"])
def test_stats_equals_an_independent_computation(trpcage, mj_energies, lattice):
    n = 6 if lattice != "fcc" else 4
    seq = trpcage["sequence"][:n]
    models = [m[:n] for m in trpcage["models"]]
    walks = tarvex.sample_solutions(n, method="enumerate", lattice=lattice)
    costs = np.array([contact_energy(seq, w, mj_energies) for w in walks])
    rmsds = np.array([tarvex.rmsd(w, models) for w in walks])
    # Mirror-image walks have equal RMSDs up to rounding: the ranks are compared on the
    # module's own values, which are checked against an independent Kabsch here.
    independent = np.array([min(kabsch_rmsd(w, m) for m in models) for w in walks[::7]])
    assert rmsds[::7] == pytest.approx(independent, rel=1e-9)

    corr, (cmin, cavg, cmax), (rmin, ravg, rmax), (cmin_r, cmax_r) = tarvex.stats(
        seq, models, mj_energies, method="enumerate", lattice=lattice)
    assert corr == pytest.approx(scipy_stats.spearmanr(costs, rmsds).statistic, rel=1e-9)
    assert (cmin, cmax) == pytest.approx((costs.min(), costs.max()), rel=1e-12)
    assert cavg == pytest.approx(costs.mean(), rel=1e-12)
    assert (rmin, ravg, rmax) == pytest.approx((rmsds.min(), rmsds.mean(), rmsds.max()), rel=1e-9)
    assert cmin_r == pytest.approx(rmsds[np.argmin(costs)], rel=1e-9)
    assert cmax_r == pytest.approx(rmsds[np.argmax(costs)], rel=1e-9)
    assert tarvex.correlation(seq, models, mj_energies, method="enumerate",
                              lattice=lattice) == corr


def scripted(values):
    calls = []

    def cost(seq, coords):
        calls.append(coords)
        return values[len(calls) - 1] if len(calls) <= len(values) else 0.0

    return cost, calls


GT = [[[0.0, 0.0, 0.0], [3.8, 0.0, 0.0], [7.6, 0.0, 0.0]]]


def enumerated_rmsds():
    return [tarvex.rmsd(w, GT) for w in tarvex.sample_solutions(3, method="enumerate",
                                                              lattice="cubic")]


@pytest.mark.parametrize("values, i_min, i_max", [
    ([2.0, 1.0, 1.0, 3.0], 1, 3),
    ([3.0, 1.0, 3.0], 1, 0),
    ([math.nan, 1.0, 5.0], 0, 0),
    ([4.0, math.nan, 1.0, 9.0], 2, 3),
], ids=["ties-2113", "ties-313", "nan-first", "nan-later"])
def test_min_max_ties_and_nans(values, i_min, i_max):
    values = values + [2.0] * (30 - len(values))
    cost, _ = scripted(values)
    rmsds = enumerated_rmsds()
    _, (cmin, cavg, cmax), _, (cmin_r, cmax_r) = tarvex.stats("AAA", GT, cost, method="enumerate",
                                                             lattice="cubic")
    assert cmin_r == rmsds[i_min] and cmax_r == rmsds[i_max]
    if math.isnan(values[0]):
        assert math.isnan(cmin) and math.isnan(cmax)
    else:
        assert (cmin, cmax) == (values[i_min], values[i_max])
    assert math.isnan(cavg) == any(math.isnan(v) for v in values)


def test_single_sample_and_constant_cost_give_nan_correlation():
    corr, (cmin, cavg, cmax), (rmin, ravg, rmax), (a, b) = tarvex.stats(
        "AAAA", [[[float(i), 0, 0] for i in range(4)]], lambda s, c: 1.0, sample_size=1,
        method="dimerize")
    assert math.isnan(corr) and cmin == cavg == cmax == 1.0 and rmin == ravg == rmax == a == b
    corr, _, _, (a, b) = tarvex.stats("AAA", GT, lambda s, c: 2.0, method="enumerate",
                                      lattice="cubic")
    assert math.isnan(corr) and a == b == enumerated_rmsds()[0]


@pytest.mark.parametrize("function", [tarvex.stats, tarvex.correlation])
@pytest.mark.parametrize("method", ["pivot", "dimerize"])
def test_empty_sample_fails(function, method):
    with pytest.raises(tarvex.PanicException) as info:
        function("AAAA", [[[float(i), 0, 0] for i in range(4)]], lambda s, c: 0.0,
                 sample_size=0, method=method)
    assert info.value.args[0] == "Cannot calculate the mean of an empty Vec !"


def test_cost_is_called_once_per_walk_after_its_rmsd():
    order = []
    real_models = [[[float(i), 0, 0] for i in range(4)]]

    def cost(seq, coords):
        # The RMSD of this walk has been computed already; we can only observe the count.
        order.append(coords)
        return float(len(order))

    corr, (cmin, _, cmax), _, _ = tarvex.stats("AAAA", real_models, cost, sample_size=50,
                                              method="dimerize")
    assert len(order) == 50 and (cmin, cmax) == (1.0, 50.0)


def test_rmsd_failure_comes_before_the_cost():
    calls = []
    with pytest.raises(tarvex.PanicException) as info:
        tarvex.stats("AAAA", [[[0, 0, 0]] * 3], lambda s, c: calls.append(1) or 0.0,
                     sample_size=5, method="dimerize")
    assert info.value.args[0].startswith("assertion failed") and calls == []


def test_headline_workload_runs(trpcage, mj_energies):
    corr, costs, rmsds, _ = tarvex.stats(trpcage["sequence"], trpcage["models"], mj_energies,
                                         sample_size=2000)
    assert -1.0 <= corr <= 1.0
    assert costs[0] <= costs[1] <= costs[2] and 0.0 < rmsds[0] <= rmsds[1] <= rmsds[2]
