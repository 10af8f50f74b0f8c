"""Conversion of arguments and results: which values are accepted, refused, and how."""

import gc
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tarvex

SOL = [[0.0, 0.0, 0.0], [3.8, 0.0, 0.0], [3.8, 3.8, 0.0]]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 2.5


class BadLength(list):
    def __len__(self):
        raise RuntimeError("no length")


class Sub(str):
    pass


@pytest.mark.parametrize("value, expected", [
    (True, 1), (3, 3), (Index(4), 4), (np.int64(5), 5),
], ids=["bool", "int", "index", "numpy-int"])
def test_unsigned_accepted(value, expected):
    # sample_size counts the samples: a dimerize run returns exactly that many walks.
    assert len(tarvex.sample_solutions(2, sample_size=value, method="dimerize")) == expected


def test_all_ones_is_a_valid_unsigned():
    # kmin = 2**64 - 1 means no pairs: even an empty table is accepted.
    assert len(tarvex.minimize_cost("AA", {}, kmin=2**64 - 1)) == 2


@pytest.mark.parametrize("value, error, message", [
    (-1, OverflowError, None),
    (2**64, OverflowError, None),
    (3.0, TypeError, "argument 'sample_size': 'float' object cannot be interpreted as an integer"),
    ("3", TypeError, "argument 'sample_size': 'str' object cannot be interpreted as an integer"),
    (None, TypeError, "argument 'sample_size': 'NoneType' object cannot be interpreted as an integer"),
], ids=["negative", "too-big", "float", "str", "none"])
def test_unsigned_refused(value, error, message):
    with pytest.raises(error) as info:
        tarvex.sample_solutions(2, sample_size=value)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    else:
        assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("value, scale", [(4, 4.0), (Floaty(), 2.5), (np.float32(2.0), 2.0),
                                          (True, 1.0), (-1.0, -1.0)])
def test_float_accepted(value, scale):
    walk = tarvex.sample_solutions(2, 1, method="enumerate", lattice="cubic", arc_length=value)[0]
    assert walk[0] == [0.0, 0.0, 0.0]
    assert sorted(abs(c) for c in walk[1]) == [0.0, 0.0, abs(scale)]


def test_float_refused():
    with pytest.raises(TypeError) as info:
        tarvex.sample_solutions(2, arc_length="4")
    assert str(info.value).startswith("argument 'arc_length': ")


@pytest.mark.parametrize("value", [True, False, np.bool_(True), np.bool_(False)])
def test_flag_accepted(value):
    tarvex.sample_solutions(2, 1, method="dimerize", pbar=value)


@pytest.mark.parametrize("value, type_name", [(1, "int"), (0, "int"), (None, "NoneType"),
                                              ("yes", "str"), (np.int64(1), "int64")])
def test_flag_refused(value, type_name):
    with pytest.raises(TypeError) as info:
        tarvex.sample_solutions(2, pbar=value)
    assert str(info.value) == f"argument 'pbar': '{type_name}' object cannot be cast as 'bool'"


@pytest.mark.parametrize("value, type_name", [(5, "int"), (None, "NoneType"), (b"cubic", "bytes")])
def test_text_refused(value, type_name):
    with pytest.raises(TypeError) as info:
        tarvex.sample_solutions(2, lattice=value)
    assert str(info.value) == f"argument 'lattice': '{type_name}' object cannot be cast as 'str'"


def test_text_subclass_accepted_and_surrogates_refused():
    assert len(tarvex.sample_solutions(2, 1, lattice=Sub("cubic"), method="dimerize")) == 1
    with pytest.raises(UnicodeEncodeError):
        tarvex.sample_solutions(2, lattice="\udc80")


@pytest.mark.parametrize("gt, message", [
    ("abc", "argument 'gt': Can't extract `str` to `Vec`"),
    (["abc"], "argument 'gt': Can't extract `str` to `Vec`"),
    ({1, 2}, "argument 'gt': 'set' object cannot be cast as 'Sequence'"),
    ([{"a": 1}], "argument 'gt': 'dict' object cannot be cast as 'Sequence'"),
    ([[1.0]], "argument 'gt': 'float' object cannot be cast as 'Sequence'"),
    ([["xyz"]], "argument 'gt': must be real number, not str"),
    ((x for x in [SOL]), "argument 'gt': 'generator' object cannot be cast as 'Sequence'"),
], ids=["str", "str-structure", "set", "dict-structure", "number-point", "xyz-point", "generator"])
def test_structure_list_refused(gt, message):
    with pytest.raises(TypeError) as info:
        tarvex.rmsd(SOL, gt)
    assert str(info.value) == message


def test_point_of_wrong_length_is_a_value_error_without_prefix():
    with pytest.raises(ValueError) as info:
        tarvex.rmsd([[1.0, 2.0]], [SOL])
    assert str(info.value) == "expected a sequence of length 3 (got 2)"


def test_conversion_error_keeps_its_cause():
    class Bad:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("no float") from e

    with pytest.raises(TypeError) as info:
        tarvex.rmsd([[Bad(), 0, 0]], [SOL])
    assert str(info.value) == "argument 'sol': no float"
    assert isinstance(info.value.__cause__, KeyError)


def test_other_errors_pass_through_unchanged():
    with pytest.raises(RuntimeError, match="no length"):
        tarvex.rmsd([BadLength([0, 0, 0])], [[[0, 0, 0]]])


@pytest.mark.parametrize("form", [
    lambda s: [list(p) for p in s],
    lambda s: tuple(tuple(p) for p in s),
    lambda s: np.array(s),
    lambda s: [np.array(p, dtype=np.float32) for p in s],
    lambda s: [[int(c) for c in p] for p in s],
], ids=["lists", "tuples", "ndarray", "float32-rows", "ints"])
def test_sequence_forms_give_the_same_result(form):
    sol = [[0, 0, 0], [4, 0, 0], [4, 3, 0], [1, 2, 5]]
    gt = [[[1, 0, 0], [5, 1, 0], [4, 4, 1], [0, 2, 6]]]
    expected = tarvex.rmsd(sol, gt)
    assert tarvex.rmsd(form(sol), [form(g) for g in gt]) == expected
    assert tarvex.rmsd(form(sol), tuple(form(g) for g in gt)) == expected
    assert tarvex.rmsd(np.array(sol), np.array(gt)) == expected


TRP = [[0.0, 0.0, 0.0], [4.0, 0.0, 0.0], [4.0, 3.0, 0.0], [1.0, 2.0, 5.0], [-1.5, 2.5, 6.0]]
MODELS = np.array([TRP, [[y, -x, z + 1.0] for x, y, z in TRP], [[x * 1.1, y, z] for x, y, z in TRP]])


@pytest.mark.parametrize("form", [
    lambda a: a,
    lambda a: a.astype(np.float32),
    lambda a: np.asfortranarray(a),
    lambda a: a[..., ::-1, :],
    lambda a: np.repeat(a, 2, axis=-1)[..., ::2],
    lambda a: a.astype(">f8"),
    lambda a: a.astype(np.int64),
    lambda a: a.astype(object),
], ids=["float64", "float32", "fortran", "reversed", "strided", "big-endian", "int64", "object"])
def test_arrays_read_as_their_lists(form):
    sol, models = form(MODELS[0]), form(MODELS)
    expected = tarvex.rmsd(sol.tolist(), models.tolist())
    assert tarvex.rmsd(sol, models) == expected
    assert tarvex.rmsd(sol, list(models)) == expected


def test_memoryviews_of_floats_read_as_their_lists():
    expected = tarvex.rmsd(MODELS[0].tolist(), MODELS.tolist())
    assert tarvex.rmsd(memoryview(MODELS[0]), memoryview(MODELS.astype(np.float32))) == pytest.approx(expected)
    assert tarvex.rmsd(memoryview(MODELS[0]), memoryview(MODELS)) == expected


@pytest.mark.parametrize("sol, gt, error, message", [
    (TRP, np.zeros((2, 5, 4)), ValueError, "expected a sequence of length 3 (got 4)"),
    (TRP, np.zeros((5, 3)), TypeError, "argument 'gt': 'float64' object cannot be cast as 'Sequence'"),
    (np.zeros((1, 5, 3)), [TRP], ValueError, "expected a sequence of length 3 (got 5)"),
    (np.zeros((5, 3, 1)), [TRP], TypeError,
     "argument 'sol': only 0-dimensional arrays can be converted to Python scalars"),
    (memoryview(np.zeros((5, 3), dtype=np.int64)), [TRP], TypeError,
     "argument 'sol': a memoryview of coordinates must hold float64 or float32 values in 2 dimensions, "
     "the last of length 3"),
    (np.array(TRP, dtype=complex), [TRP], TypeError, "argument 'sol': must be real number, not numpy.complex128"),
], ids=["points-of-4", "structure-as-gt", "structures-as-sol", "rank-3-points", "memoryview", "complex"])
def test_arrays_of_other_shapes_fail_as_sequences_do(sol, gt, error, message):
    with pytest.raises(error) as info:
        tarvex.rmsd(sol, gt)
    assert str(info.value) == message


def test_results_are_fresh_lists_of_floats():
    gc.enable()
    walks = tarvex.sample_solutions(3, 2, method="dimerize", lattice="cubic")
    assert gc.isenabled()
    assert type(walks) is list and len(walks) == 2
    for walk in walks:
        assert type(walk) is list and len(walk) == 3
        assert all(type(p) is list and len(p) == 3 for p in walk)
        assert all(type(c) is float for p in walk for c in p)
    assert len({id(p) for walk in walks for p in walk}) == 6
    assert tarvex.sample_solutions(0, 2, method="dimerize") == [[], []]
    # NaN coordinates stay distinct objects, so the walks compare unequal.
    nan_walks = tarvex.sample_solutions(2, 2, method="dimerize", arc_length=float("nan"))
    assert nan_walks[0] != nan_walks[1]
    gc.disable()
    try:
        tarvex.sample_solutions(3, 2, method="enumerate")
        assert not gc.isenabled()
    finally:
        gc.enable()


RESULT_BEYOND_MEMORY = textwrap.dedent("""
    import gc, resource, tarvex
    resource.setrlimit(resource.RLIMIT_AS, (320 << 20, 320 << 20))
    for enabled in (True, False):
        gc.enable() if enabled else gc.disable()
        try:
            tarvex.sample_solutions(9, method="enumerate", lattice="cubic")
        except MemoryError as error:
            print("bytes" in str(error), gc.isenabled())
""")


@pytest.mark.no_asan  # an address-space limit leaves no room for the sanitizer's shadow memory
def test_collector_setting_survives_a_failed_result():
    # 400,000 walks fit as walks but not as lists under the limit: the call fails with MemoryError.
    out = subprocess.run([sys.executable, "-c", RESULT_BEYOND_MEMORY], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["True True", "True False"]
