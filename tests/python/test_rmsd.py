"""rmsd: the smallest RMSD of a structure against ground-truth models after superposition."""

import math

import numpy as np
import pytest
from conftest import kabsch_rmsd, random_rotation

import tarvex


def test_agrees_with_independent_kabsch_on_trpcage(trpcage):
    models = trpcage["models"]
    for reference in models:
        for mobile in models[:10]:
            expected = kabsch_rmsd(reference, mobile)
            assert tarvex.rmsd(reference, [mobile]) == pytest.approx(expected, rel=1e-9, abs=1e-12)


@pytest.mark.parametrize("seed", range(5))
def test_rotation_and_translation_give_zero(trpcage, seed):
    rng = np.random.default_rng(seed)
    model = np.array(trpcage["models"][seed])
    moved = model @ random_rotation(rng).T + rng.normal(scale=50.0, size=3)
    size = np.abs(model).max()
    assert tarvex.rmsd(model.tolist(), [moved.tolist()]) <= 1e-12 * size
    assert tarvex.rmsd(moved.tolist(), [model.tolist()]) <= 1e-12 * size


def test_reference_and_mobile_swap(trpcage):
    a, b = trpcage["models"][0], trpcage["models"][7]
    assert tarvex.rmsd(a, [b]) == pytest.approx(tarvex.rmsd(b, [a]), rel=1e-12)


def test_mirror_image_is_not_superposable(trpcage):
    model = np.array(trpcage["models"][0])
    mirror = model * np.array([-1.0, 1.0, 1.0])
    assert tarvex.rmsd(model.tolist(), [mirror.tolist()]) > 1.0
    assert tarvex.rmsd(model.tolist(), [mirror.tolist()]) == pytest.approx(
        kabsch_rmsd(model, mirror), rel=1e-9)


def test_minimum_over_models_and_ties(trpcage):
    models = trpcage["models"]
    sol = models[3]
    others = models[:3] + models[4:]
    assert tarvex.rmsd(sol, others) == min(tarvex.rmsd(sol, [m]) for m in others)
    # Equal values: the first model's value is kept (identical copies give identical values).
    assert tarvex.rmsd(sol, [models[5], models[5]]) == tarvex.rmsd(sol, [models[5]])


@pytest.mark.parametrize("sol, gt, expected", [
    ([[1.0, 2.0, 3.0]], [[[5.0, 5.0, 5.0]]], 0.0),
    ([], [[]], None),
    ([], [[], [], []], None),
], ids=["single-point", "empty", "empty-several-models"])
def test_degenerate_structures(sol, gt, expected):
    value = tarvex.rmsd(sol, gt)
    if expected is None:
        assert math.isnan(value)
    else:
        assert value == pytest.approx(expected, abs=1e-12)


def test_coordinates_near_the_underflow_limit_give_a_finite_rmsd():
    # One point 100 away in each structure, dust of 1e-154 and below elsewhere.
    h = float.fromhex
    a = [[h("0x1.9090909p-879"), 0.0, h("0x1p-1022")],
         [h("0x1.573d68f903ea2p-512"), h("0x1.9000909090909p-879"), h("0x1.9090909090909p-879")],
         [h("0x1.90909p-879"), 0.0, 0.0]] + [[0.0, 0.0, 0.0]] * 5 + [[0.0, 0.0, -99.99999999999]]
    b = [[h("0x1.9090909090909p-879"), h("0x1.90909090101p-879"), -99.5557],
         [-99.99999, h("0x1.9090000005e09p-879"), h("0x0.000000909e553p-1022")]] + [[0.0, 0.0, 0.0]] * 7
    for sol, model in [(a, b), (b, a)]:
        assert tarvex.rmsd(sol, [model]) == pytest.approx(kabsch_rmsd(model, sol), rel=1e-12)


def test_nan_coordinates_give_nan():
    sol = [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [float("nan"), 1.0, 0.0]]
    assert math.isnan(tarvex.rmsd(sol, [[[0, 0, 0], [1, 0, 0], [1, 1, 0]]]))


def test_longer_models_are_truncated_and_shorter_ones_fail(trpcage):
    models = trpcage["models"]
    first = models[0]
    longer = models[1] + [[99.0, 99.0, 99.0]]
    assert tarvex.rmsd(first, [first, longer]) == tarvex.rmsd(first, [first, models[1]])
    with pytest.raises(tarvex.PanicException, match="index out of bounds"):
        tarvex.rmsd(first, [first, models[1][:-1]])


def test_length_mismatch_fails(trpcage):
    models = trpcage["models"]
    with pytest.raises(tarvex.PanicException) as info:
        tarvex.rmsd(models[0][:-1], models)
    assert info.value.args[0].startswith("assertion failed")
    assert "19" in info.value.args[0] and "20" in info.value.args[0]


def test_empty_ground_truth_fails():
    with pytest.raises(tarvex.PanicException) as info:
        tarvex.rmsd([[0, 0, 0]], [])
    assert info.value.args == ("The ground truth must have at least one model !",)
