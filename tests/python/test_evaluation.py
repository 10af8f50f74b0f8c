"""The examples' measures: enrichment with ties, the chains' jackknife interval, and their tie to tarvex."""

import pathlib
import sys

import numpy as np
import pytest

import tarvex

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))

from common import spawn_seeds  # noqa: E402
from evaluation import BASELINE, contact_count, enrichment, evaluate, jackknife_interval  # noqa: E402

pytest.importorskip("scipy")


@pytest.mark.parametrize("costs, expected", [
    (np.arange(100.0), 10.0),              # energy orders the walks as RMSD does: all of the lowest 10 %
    (-np.arange(100.0), 0.0),              # the reverse: none
    (np.zeros(100), 1.0),                  # one energy for all: exactly chance, whatever the tie order
    # 5 walks surely among the lowest 10, the 95 tied ones sharing the other 5 places.
    (np.repeat([0.0, 1.0], [5, 95]), 5 + 5 * 5 / 95),
], ids=["same order", "reversed", "all tied", "ties at the cut"])
def test_enrichment_counts_ties_at_the_cut_by_their_chance(costs, expected):
    assert enrichment(costs, np.arange(100.0)) == pytest.approx(expected, rel=1e-12)


def test_jackknife_of_a_mean_is_the_spread_of_the_chain_means():
    from scipy.stats import t

    chains = [np.random.default_rng(k).normal(size=50) for k in range(6)]
    found = jackknife_interval(np.mean, [(chain,) for chain in chains])
    means = np.array([chain.mean() for chain in chains])
    half = t.ppf(0.975, 5) * means.std(ddof=1) / np.sqrt(6)
    assert (found.low, found.value, found.high) == pytest.approx((means.mean() - half, means.mean(),
                                                                  means.mean() + half), rel=1e-12)


def test_one_chain_gives_tarvex_own_coefficients_and_extra_conformations_are_placed(trpcage, mj_energies):
    seq, models = trpcage["sequence"], trpcage["models"]
    result = evaluate(seq, models, mj_energies, lattice="fcc", sample_size=300, chains=1, seed=5,
                      extra={"first model": models[:1]})
    [chain_seed] = spawn_seeds(5, 1, stream=2)
    for name, table in [("Miyazawa-Jernigan", mj_energies), (BASELINE, contact_count(seq))]:
        tarvex.seed(chain_seed)
        rho = tarvex.correlation(seq, models, table, sample_size=300, lattice="fcc", kmin=3)
        assert result.measures[name].spearman.value == pytest.approx(rho, abs=1e-12)
    native, first = result.references
    assert native.label == "native models" and len(native.rmsds) == len(models) and native.rmsds.min() > 0
    mj = result.costs["Miyazawa-Jernigan"]
    assert first.rmsds[0] == pytest.approx(0.0, abs=1e-9)
    assert first.placements["Miyazawa-Jernigan"].rank == 1 + int((mj < first.costs["Miyazawa-Jernigan"][0]).sum())
    with pytest.raises(ValueError, match="at least one sample per chain"):
        evaluate(seq, models, mj_energies, sample_size=5, chains=10)
