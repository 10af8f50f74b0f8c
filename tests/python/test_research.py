"""The research functions: seeded runs, per-sample arrays, scoring decoys, the cause of a failing
cost, the version and the types."""

import importlib.metadata
import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from conftest import kabsch_rmsd
from scipy.stats import rankdata

import tarvex

LATTICES = ["tetrahedral", "fcc", "bcc", "cubic"]


@pytest.fixture
def threads():
    before = tarvex.get_num_threads()
    yield tarvex.set_num_threads
    tarvex.set_num_threads(before)


@pytest.mark.parametrize("lattice", LATTICES)
@pytest.mark.parametrize("method", ["pivot", "dimerize"])
def test_a_seed_repeats_walks_and_results_at_any_thread_count(threads, trpcage, mj_energies,
                                                              method, lattice):
    seq, models = trpcage["sequence"], trpcage["models"]

    def run(count, value):
        threads(count)
        tarvex.seed(value)
        walks = tarvex.sample_array(12, 30, method=method, lattice=lattice)
        result = tarvex.stats(seq, models, mj_energies, sample_size=200, method=method,
                              lattice=lattice, thermalization_factor=5)
        return walks, result

    walks, result = run(1, 2**70 + 5)
    for count in (1, 3):
        again_walks, again = run(count, 2**70 + 5)
        assert np.array_equal(walks, again_walks) and again == result
    other, _ = run(1, 2**70 + 6)
    assert not np.array_equal(walks, other)
    with pytest.raises(TypeError, match="not bool"):
        tarvex.seed(True)  # as set_num_threads(True): a flag is not a number


@pytest.mark.parametrize("method, size", [("pivot", 40), ("dimerize", 40), ("enumerate", 0)])
def test_sample_array_equals_the_list_of_sample_solutions(method, size):
    tarvex.seed(99)
    array = tarvex.sample_array(7, size, method=method, lattice="bcc", arc_length=2.5)
    tarvex.seed(99)
    listed = tarvex.sample_solutions(7, size, method=method, lattice="bcc", arc_length=2.5)
    assert array.dtype == np.float64 and array.flags.c_contiguous
    assert np.array_equal(array, np.asarray(listed))
    assert tarvex.sample_array(0, 3, method="dimerize").shape == (3, 0, 3)


def reduction(costs, rmsds):
    """stats from the arrays, in the order and arithmetic tarvex documents."""
    costs, rmsds = list(costs), list(rmsds)

    def pearson(x, y):
        mx, my = sum(x) / len(x), sum(y) / len(y)
        num = sxx = syy = 0.0
        for a, b in zip(x, y):
            num += (b - my) * (a - mx)
            sxx += (a - mx) ** 2
            syy += (b - my) ** 2
        return num / (math.sqrt(sxx) * math.sqrt(syy))

    first_min = min(range(len(costs)), key=lambda i: (costs[i], i))
    first_max = min(range(len(costs)), key=lambda i: (-costs[i], i))
    return (pearson(list(rankdata(costs) - 1), list(rankdata(rmsds) - 1)),
            (costs[first_min], sum(costs) / len(costs), costs[first_max]),
            (min(rmsds), sum(rmsds) / len(rmsds), max(rmsds)),
            (rmsds[first_min], rmsds[first_max]))


@pytest.mark.parametrize("method", ["pivot", "dimerize", "enumerate"])
def test_stats_is_the_reduction_of_sample_scores(trpcage, mj_energies, method):
    seq, models = trpcage["sequence"][:9], [m[:9] for m in trpcage["models"]]
    kw = dict(sample_size=3000, method=method, lattice="fcc" if method != "enumerate" else "tetrahedral")
    tarvex.seed(5)
    scores = tarvex.sample_scores(seq, models, mj_energies, **kw)
    tarvex.seed(5)
    result = tarvex.stats(seq, models, mj_energies, **kw)
    tarvex.seed(5)
    assert tarvex.correlation(seq, models, mj_energies, **kw) == result[0]
    assert isinstance(scores, tarvex.Scores) and scores.costs.dtype == np.float64
    assert result == reduction(scores.costs, scores.rmsds)


def test_score_agrees_with_an_independent_computation_on_decoys(trpcage, mj_energies):
    seq, models = trpcage["sequence"], trpcage["models"]
    rng = np.random.default_rng(3)
    # Off-lattice decoys: the models, shuffled in space and perturbed, and a random coil.
    decoys = [np.asarray(m) + rng.normal(scale=1.5, size=(20, 3)) for m in models[:10]]
    decoys.append(np.cumsum(rng.normal(size=(20, 3)) * 2.2, axis=0))
    result = tarvex.score(seq, np.asarray(decoys), models, mj_energies, kmin=2, dmax=8.0)
    listed = tarvex.score(seq, [d.tolist() for d in decoys], models, mj_energies, kmin=2, dmax=8.0)
    assert np.array_equal(result.costs, listed.costs)
    for k, decoy in enumerate(decoys):
        energy = 0.0
        for i in range(20):
            for j in range(i + 2, 20):
                dx, dy, dz = (float(decoy[i][c] - decoy[j][c]) for c in range(3))
                if math.sqrt((dx * dx + dy * dy) + dz * dz) <= 8.0:
                    energy += mj_energies[seq[i]][seq[j]]
        assert result.costs[k] == energy
        expected = min(kabsch_rmsd(model, decoy) for model in models)
        assert result.rmsds[k] == pytest.approx(expected, rel=1e-9, abs=1e-12)


def test_score_fails_as_stats_does(trpcage):
    seq, models = trpcage["sequence"], trpcage["models"]
    with pytest.raises(tarvex.PanicException, match="conformation has 19 points"):
        tarvex.score(seq, [models[0], models[1][:19]], models, lambda s, c: 0.0)
    with pytest.raises(tarvex.PanicException, match="Cannot recognize"):
        tarvex.score(seq, [models[0]], models, [1.0])


GT3 = [[[0, 0, 0], [1, 0, 0], [2, 0, 0]]]


# Every way a call scores with the cost: batches on the calling thread, the minimisation in order,
# the chain at a temperature and the fold's whole-walk energy.
@pytest.mark.parametrize("call", [
    lambda cost: tarvex.stats("AAA", GT3, cost, sample_size=5),
    lambda cost: tarvex.minimize_cost("AAA", cost),
    lambda cost: tarvex.sample_scores("AAA", GT3, cost, sample_size=5, temperature=1.0),
    lambda cost: tarvex.fold("AAA", cost, sweeps=1),
], ids=["stats", "minimize_cost", "sample_scores_at_a_temperature", "fold"])
def test_a_failing_cost_is_the_cause_of_the_panic(call):
    planted = ValueError("planted")

    def cost(seq, coords):
        raise planted

    with pytest.raises(tarvex.PanicException) as caught:
        call(cost)
    assert caught.value.__cause__ is planted
    assert str(caught.value).startswith("Python function failed to run !: Traceback")
    assert str(caught.value).startswith("Python function failed to run !: Traceback")


def test_the_version_is_the_package_metadata():
    assert tarvex.__version__ == importlib.metadata.version("tarvex")


def test_without_numpy_only_the_array_functions_fail():
    script = textwrap.dedent("""
        import sys
        sys.modules["numpy"] = None
        import tarvex
        print(len(tarvex.sample_solutions(5, 3)))
        try:
            tarvex.sample_array(5, 3)
        except ImportError as error:
            print("pip install numpy" in str(error))
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=60)
    assert out.stdout.split() == ["3", "True"], out.stderr


USES_EVERYTHING = textwrap.dedent("""
    import numpy as np
    import tarvex

    models = [[[0.0, 0.0, 0.0], [3.8, 0.0, 0.0], [3.8, 3.8, 0.0]]]
    table = {"A": {"A": -1.0}}

    def cost(seq: str, coords: list[list[float]]) -> float:
        return float(len(coords))

    tarvex.seed(7)
    tarvex.set_num_threads(tarvex.get_num_threads())
    corr, costs, rmsds, cost_rmsds = tarvex.stats("AAA", models, table, sample_size=10)
    value: float = tarvex.correlation("AAA", models, ("f", "function f() return 1 end"))
    walks = tarvex.sample_solutions(3, 10, method="dimerize")
    best = tarvex.minimize_cost("AAA", cost, lattice=LATTICE)
    fit = tarvex.minimize_rmsd(models, lattice="cubic")
    r: float = tarvex.rmsd(walks[0], models)
    array: np.ndarray = tarvex.sample_array(3, 10)
    scores = tarvex.sample_scores("AAA", models, cost, sample_size=SIZE)
    decoys = tarvex.score("AAA", array, models, table)
    fitted = tarvex.fit(models, lattice="cubic", beam=10)
    closest: float = fitted.rmsd + float(fitted.conformation.sum())
    total: float = float(scores.costs.sum() + decoys.rmsds.mean())
    version: str = tarvex.__version__
    try:
        tarvex.rmsd(fit, models)
    except tarvex.PanicException as error:
        print(error)
""")


@pytest.mark.parametrize("size, lattice, clean", [("sample_size=10", '"cubic"', True),
                                                 ("sampel_size=10", '"cubik"', False)])
def test_the_stubs_type_check_every_function_and_catch_a_misspelt_keyword(tmp_path, size, lattice, clean):
    pytest.importorskip("mypy")
    script = tmp_path / "uses_tarvex.py"
    script.write_text(USES_EVERYTHING.replace("sample_size=SIZE", size).replace("LATTICE", lattice))
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(script)],
                         capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert (out.returncode == 0) == clean, out.stdout
    if not clean:
        assert 'Unexpected keyword argument "sampel_size"' in out.stdout
        assert '"Literal[\'cubik\']"' in out.stdout
