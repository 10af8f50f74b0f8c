"""Seeded streams: seed(s) gives the draws stored in seeded_streams.json, bit for bit, for good.

Users store seeds and compare results across versions, so any change to the generator, its keying
or the way the samplers consume draws shows here. `python tests/python/test_seeded_streams.py
--record` rewrites the file; do so only for a change meant to alter every seeded result.
"""

import json
import pathlib
import sys

import pytest

import tarvex

FIXTURE = pathlib.Path(__file__).with_name("seeded_streams.json")
DATA = pathlib.Path(__file__).resolve().parents[2] / "data"
SEEDS = [0, 2024, 2**70 + 3]
LATTICES = ["tetrahedral", "fcc", "bcc", "cubic"]
METHODS = ["pivot", "dimerize"]


def cases():
    """Each case: its name and a call giving plain JSON data (floats are exact in JSON's repr)."""
    trpcage = json.loads((DATA / "1l2y_ca.json").read_text())
    seq, models = trpcage["sequence"], trpcage["models"][:3]
    mj = json.loads((DATA / "mj1996_contact_energies.json").read_text())
    for seed in SEEDS:
        for method in METHODS:
            for lattice in LATTICES:
                key = f"{seed}/{method}/{lattice}"
                common = dict(method=method, lattice=lattice, thermalization_factor=2,
                              autocorrelation_factor=2)
                yield f"sample_solutions/{key}", seed, lambda c=common: tarvex.sample_solutions(
                    9, sample_size=2, **c)
                yield f"sample_array/{key}", seed, lambda c=common: tarvex.sample_array(
                    13, sample_size=2, **c).tolist()
                yield f"stats/{key}", seed, lambda c=common: tarvex.stats(
                    seq, models, mj, sample_size=30, **c)
                yield f"sample_scores/{key}", seed, lambda c=common: [
                    a.tolist() for a in tarvex.sample_scores(seq, models, mj, sample_size=6, **c)]


def run(seed, call):
    tarvex.seed(seed)
    try:
        return json.loads(json.dumps(call()))
    finally:
        tarvex.seed(None)


def record():
    FIXTURE.write_text(json.dumps({name: run(seed, call) for name, seed, call in cases()},
                                  separators=(",", ":")) + "\n")


@pytest.fixture(scope="module")
def stored():
    return json.loads(FIXTURE.read_text())


def same(found, expected):
    """Equal, but for floats within 1e-12 relative: RMSDs may differ in their last bits between
    builds (vector kernels, fused multiply-add), the walks and the contact sums never do."""
    if isinstance(expected, list):
        return isinstance(found, list) and len(found) == len(expected) and all(map(same, found, expected))
    if isinstance(expected, float) and isinstance(found, float):
        return found == pytest.approx(expected, rel=1e-12, abs=0.0, nan_ok=True)
    return found == expected


def test_every_seeded_result_is_the_stored_one(stored):
    pytest.importorskip("numpy")
    names = []
    for name, seed, call in cases():
        names.append(name)
        found = run(seed, call)
        if name.startswith(("sample_solutions/", "sample_array/")):
            assert found == stored[name], name  # the walks themselves: bit for bit
        elif name.startswith("sample_scores/"):
            assert found[0] == stored[name][0], name  # the costs: bit for bit
            assert same(found[1], stored[name][1]), name
        else:
            assert same(found, stored[name]), name
    assert sorted(names) == sorted(stored)


if __name__ == "__main__" and sys.argv[1:] == ["--record"]:
    record()
