"""Arbitrary arguments to every function: only the documented exceptions, well-shaped results.

What may come out of a call, decided here and checked on every generated call:

* a result of the documented shape (a float; a 4-tuple of a float and tuples of 3, 3 and 2
  floats; a list of walks, each a list of n [x, y, z] lists of floats);
* TypeError, ValueError, OverflowError or UnicodeEncodeError for wrong arguments;
* tarvex.PanicException for everything the computation cannot go on with;
* an exception that an argument object raised itself from its own __len__, __getitem__,
  __iter__, __float__ or __index__, passed through unchanged. The hostile objects below raise only
  Planted (a RuntimeError) or Short (an IndexError, from a sequence shorter than its __len__
  claims), so any other exception type is a fault of the module. (A TypeError raised by an
  argument is renamed "argument '...': ..." and stays a TypeError.)

After every call the module must still compute a known RMSD, so a corrupted interpreter shows
up at once even when the call itself appeared to succeed.
"""

import math
import operator
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import tarvex

DOCUMENTED = (TypeError, ValueError, OverflowError, UnicodeEncodeError, tarvex.PanicException)


class Planted(RuntimeError):
    """Raised by the hostile argument objects themselves."""


class Short(IndexError):
    """Raised by a sequence asked for an item beyond the length it really has."""


class HostileNumber:
    """A number-like object whose conversions raise, lie or behave."""

    def __init__(self, mode, value):
        self.mode, self.value = mode, value

    def __float__(self):
        if self.mode == "raise":
            raise Planted("__float__")
        if self.mode == "wrong-type":
            return "1.0"
        return float(self.value)

    def __index__(self):
        if self.mode == "raise":
            raise Planted("__index__")
        if self.mode == "wrong-type":
            return 1.5
        return int(self.value)

    def __repr__(self):
        return f"HostileNumber({self.mode!r}, {self.value!r})"


class HostileSequence:
    """A sequence over items whose __len__, __getitem__ or __iter__ raises or lies."""

    def __init__(self, mode, items):
        self.mode, self.items = mode, list(items)

    def __len__(self):
        match self.mode:
            case "len-raises":
                raise Planted("__len__")
            case "len-long":
                return len(self.items) + 2
            case "len-short":
                return max(len(self.items) - 1, 0)
            case "len-negative":
                return -1
            case "len-huge":
                return 2**70
            case "len-not-int":
                return "3"
        return len(self.items)

    def __getitem__(self, i):
        if self.mode == "getitem-raises":
            raise Planted("__getitem__")
        if not isinstance(i, int):
            raise TypeError("indices must be integers")
        if i >= len(self.items):
            raise Short(i)
        return self.items[i]

    def __iter__(self):
        match self.mode:
            case "iter-raises":
                raise Planted("__iter__")
            case "iter-not-iterator":
                return 5
            case "iter-raises-midway":
                return self._midway()
            case "iter-extra":
                return iter(self.items + self.items[:1])
        return iter(self.items)

    def _midway(self):
        yield from self.items[: len(self.items) // 2]
        raise Planted("__next__")


SEQUENCE_MODES = ["honest", "len-raises", "len-long", "len-short", "len-negative", "len-huge",
                  "len-not-int", "getitem-raises", "iter-raises", "iter-not-iterator",
                  "iter-raises-midway", "iter-extra"]

# --- values -----------------------------------------------------------------------------------

finite = st.floats(-1e6, 1e6, allow_nan=False)
any_float = st.floats(allow_nan=True, allow_infinity=True)
huge_int = st.one_of(st.integers(2**64, 2**200), st.integers(-(2**200), -1),
                     st.just(10**400), st.just(-(10**400)))
junk = st.one_of(st.none(), st.text(max_size=3), st.binary(max_size=3), st.just(object()),
                 st.just({}), st.just(1j), st.just(float))


def hostile_number(values):
    return st.builds(HostileNumber, st.sampled_from(["raise", "wrong-type", "ok"]), values)


def numpy_scalar(values):
    def scalar(v, kind):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                return kind(v)
        except OverflowError:
            return np.float64(v)
    return st.builds(scalar, values, st.sampled_from([np.float64, np.float32, np.int64, np.int8,
                                                      np.bool_]))


coordinate = st.one_of(finite, finite, finite, any_float, st.integers(-10**6, 10**6), huge_int,
                       hostile_number(finite), junk)


def arrayish(items):
    """The items as a list, a tuple, a numpy array of some dtype, or a hostile sequence."""
    def as_array(xs, dtype):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                return np.array(xs, dtype=dtype)
        except Exception:  # noqa: BLE001 - items numpy cannot take stay a list
            return xs
    return st.one_of(
        items.map(list), items.map(list), items.map(tuple),
        st.builds(as_array, items, st.sampled_from([float, np.float32, np.int16, complex, object,
                                                    str, bool])),
        st.builds(HostileSequence, st.sampled_from(SEQUENCE_MODES), items))


point = arrayish(st.one_of(st.lists(finite, min_size=3, max_size=3),
                           st.lists(coordinate, min_size=3, max_size=3),
                           st.lists(coordinate, max_size=5)))
MAX_POINTS = 5  # every function enumerates at most this many points (fcc: 14,700 walks)
structure = st.one_of(arrayish(st.lists(point, max_size=MAX_POINTS)),
                      st.builds(lambda shape: np.zeros(shape), st.lists(st.integers(0, 4),
                                                                        max_size=4).map(tuple)),
                      junk)
structures = st.one_of(arrayish(st.lists(structure, max_size=3)),
                       st.builds(lambda n, m: np.ones((m, n, 3)), st.integers(0, MAX_POINTS),
                                 st.integers(0, 3)),
                       junk)

# A sequence of at most MAX_POINTS bytes of UTF-8; a lone surrogate cannot be encoded.
seq_text = st.text(alphabet=st.sampled_from("ACDEFGHIKLMNPQRSTVWYé\udc80"), max_size=MAX_POINTS)
seq_text = seq_text.filter(lambda s: len(s.encode("utf-8", "surrogatepass")) <= MAX_POINTS)
seq_arg = st.one_of(seq_text, seq_text, junk, st.just(HostileNumber("ok", 2)))

small_count = st.integers(0, 4)
count_arg = st.one_of(small_count, small_count, huge_int, st.just(True), numpy_scalar(small_count),
                      hostile_number(small_count), st.just(3.0), junk)
length_arg = st.one_of(st.integers(0, MAX_POINTS), count_arg)
factor_arg = st.one_of(st.integers(0, 30), st.integers(0, 30), huge_int,
                       hostile_number(st.integers(0, 30)), junk)
unsigned_arg = st.one_of(st.integers(0, 8), st.just(2**64 - 1), huge_int,
                         hostile_number(st.integers(0, 8)), junk)
real_arg = st.one_of(any_float, finite, st.integers(-10**6, 10**6), huge_int,
                     hostile_number(any_float), numpy_scalar(finite), junk)
flag_arg = st.one_of(st.booleans(), st.just(np.bool_(True)), st.integers(0, 1), junk)
lattice_arg = st.one_of(st.sampled_from(["tetrahedral", "fcc", "bcc", "cubic"]),
                        st.sampled_from(["FCC", "", "cubic ", "\udc80"]), junk)
method_arg = st.one_of(st.sampled_from(["pivot", "dimerize", "enumerate"]),
                       st.sampled_from(["Pivot", "", "\udc80"]), junk)
method_or_none_arg = st.one_of(st.none(), method_arg)

LUA = ["function f(s, c) return #c + c[1][1] end", "function f(s, c) return #s end",
       "function f() error('boom') end", "function f() return {} end", "f = 1",
       "function f() return '2.5' end", "function f(", "error('at load')",
       "function f() local t = {} for i = 1, 1000 do t[i] = i end return #t end"]


def reentrant(seq, coords):
    return tarvex.rmsd(coords, [coords]) if coords else 0.0


def nested_panic(seq, coords):
    return tarvex.rmsd(coords, [])


PYTHON_COSTS = [lambda s, c: 1.0, lambda s, c: math.nan, lambda s, c: -math.inf, lambda s, c: 3,
                lambda s, c: None, lambda s, c: "1.0", lambda s: 1.0, lambda s, c: 1 / 0,
                lambda s, c: HostileNumber("raise", 0.0), lambda s, c: HostileNumber("ok", 2.0),
                lambda s, c: float(len(c)), reentrant, nested_panic, operator.ne]
energy = st.one_of(finite, st.integers(-5, 5), st.text(max_size=1), hostile_number(finite),
                   st.none())
residue = st.sampled_from(["A", "C", "G", "é", "AB", "", 1])
contact_table = st.dictionaries(residue, st.one_of(st.dictionaries(residue, energy, max_size=4),
                                                   energy), max_size=4)
cost_arg = st.one_of(st.sampled_from(PYTHON_COSTS),
                     st.tuples(st.sampled_from(["f", "g", ""]), st.sampled_from(LUA)),
                     st.tuples(st.text(max_size=3), st.text(max_size=12)),
                     contact_table,
                     st.just({"A": {"A": -1.0, "C": 0.5}, "C": {"A": 0.25, "C": 2.0}}),
                     st.just(("a", "b", "c")), junk)

# Arguments a call accepts, given the walk length n the call will share: a sequence of n bytes,
# models of n points (or more: longer ones are truncated), costs that evaluate.
def good_seq(n):
    return st.text(alphabet=st.sampled_from("ACDEFGHIKLMNPQRSTVWY"), min_size=n, max_size=n)


def good_structure(n, extra=0):
    points = st.lists(st.lists(finite, min_size=3, max_size=3).map(list), min_size=n,
                      max_size=n + extra)
    return st.one_of(points, points.map(tuple), points.map(np.array),
                     st.builds(HostileSequence, st.just("honest"), points))


def good_structures(n):
    models = st.lists(good_structure(n, extra=2), min_size=1, max_size=3)
    return st.one_of(models, models.map(tuple),
                     st.builds(lambda m, k: np.ones((k, n, 3)) * m, finite, st.integers(1, 3)))


def good_cost(n):
    return st.one_of(st.sampled_from([lambda s, c: 1.0, lambda s, c: float(len(c)), reentrant,
                                      lambda s, c: HostileNumber("ok", -2.0),
                                      lambda s, c: np.float32(sum(p[0] for p in c)),
                                      lambda s, c: math.nan]),
                     st.just(("f", LUA[0] if n else LUA[1])), st.just(("f", LUA[1])),
                     st.just(CONTACTS))


CONTACTS = {a: {b: -float(ord(a) * ord(b) % 7) for b in "ACDEFGHIKLMNPQRSTVWY"}
            for a in "ACDEFGHIKLMNPQRSTVWY"}


def just(values):
    return lambda n: st.sampled_from(values)


def flags(n):
    return st.one_of(st.just(False), st.just(np.bool_(False)))


small_factor = lambda n: st.integers(0, 30)  # noqa: E731
small_unsigned = lambda n: st.one_of(st.integers(0, 8), st.just(2**64 - 1))  # noqa: E731
real = lambda n: st.one_of(finite, st.integers(-10, 10), numpy_scalar(finite))  # noqa: E731
lattices = just(["tetrahedral", "fcc", "bcc", "cubic"])

# (name, accepted values given n, wild values)
STATS = [("seq", good_seq, seq_arg), ("gt", good_structures, structures),
         ("cost", good_cost, cost_arg), ("sample_size", lambda n: st.integers(1, 4), count_arg),
         ("method", just([None, "pivot", "dimerize", "enumerate"]), method_or_none_arg),
         ("thermalization_factor", small_factor, factor_arg),
         ("autocorrelation_factor", small_factor, factor_arg), ("lattice", lattices, lattice_arg),
         ("arc_length", real, real_arg), ("kmin", small_unsigned, unsigned_arg),
         ("dmax", real, real_arg), ("pbar", flags, flag_arg)]
PARAMETERS = {
    "stats": (3, STATS),
    "correlation": (3, STATS),
    "sample_solutions": (1, [("len", st.just, length_arg),
                             ("sample_size", lambda n: st.integers(0, 4), count_arg),
                             ("method", just(["pivot", "dimerize", "enumerate"]), method_arg),
                             ("thermalization_factor", small_factor, factor_arg),
                             ("autocorrelation_factor", small_factor, factor_arg),
                             ("lattice", lattices, lattice_arg), ("arc_length", real, real_arg),
                             ("pbar", flags, flag_arg)]),
    "minimize_rmsd": (1, [("gt", good_structures, structures), ("lattice", lattices, lattice_arg),
                          ("arc_length", real, real_arg), ("pbar", flags, flag_arg)]),
    "minimize_cost": (2, [("seq", good_seq, seq_arg), ("cost", good_cost, cost_arg),
                          ("lattice", lattices, lattice_arg), ("arc_length", real, real_arg),
                          ("kmin", small_unsigned, unsigned_arg), ("dmax", real, real_arg),
                          ("pbar", flags, flag_arg)]),
    "rmsd": (2, [("sol", good_structure, structure), ("gt", good_structures, structures)]),
}


@st.composite
def calls(draw, name):
    """(positional, keywords): accepted values with none, one or a few replaced by wild ones,
    split between position and keyword in any order, sometimes with a required argument
    missing, one too many, a duplicate or a stranger."""
    required, params = PARAMETERS[name]
    n = draw(st.integers(0, MAX_POINTS))
    wild = set(draw(st.lists(st.integers(0, len(params) - 1), max_size=3))
               if draw(st.booleans()) else [])
    # The default sample of 10,000 walks would make the calls slow: the size is always given.
    present = [i < required or i in wild or params[i][0] == "sample_size" or draw(st.booleans())
               for i in range(len(params))]
    if draw(st.integers(0, 9)) == 0:
        present[draw(st.integers(0, len(params) - 1))] = False
    values = {pname: draw(bad if i in wild else good(n))
              for i, ((pname, good, bad), here) in enumerate(zip(params, present)) if here}
    names = [pname for pname, _, _ in params]
    # Positional arguments form an unbroken prefix of the present parameters.
    prefix = 0
    while prefix < len(names) and names[prefix] in values:
        prefix += 1
    cut = draw(st.integers(0, prefix))
    positional = [values[pname] for pname in names[:cut]]
    keyword_names = draw(st.permutations([pname for pname in names[cut:] if pname in values]))
    keywords = {pname: values[pname] for pname in keyword_names}
    match draw(st.sampled_from(["as drawn"] * 12 + ["extra", "stranger", "duplicate"])):
        case "extra":
            positional.append(0.0)  # one too many when every parameter is given
        case "stranger":
            keywords["Lattice"] = "fcc"
        case "duplicate" if positional:
            keywords[names[0]] = positional[0]
    return positional, keywords


# --- checking the outcome ---------------------------------------------------------------------

def is_float(x):
    return type(x) is float


def check_walk(walk, n):
    assert type(walk) is list
    if n is not None:
        assert len(walk) == n
    for p in walk:
        assert type(p) is list and len(p) == 3 and all(map(is_float, p))


def expected_points(name, bound):
    """The walk length a successful call implies, when it can be told from its arguments."""
    if name in ("stats", "correlation", "minimize_cost"):
        return len(bound["seq"].encode())
    if name == "sample_solutions":
        return operator.index(bound["len"])
    return None


def check_result(name, result, bound):
    if name in ("correlation", "rmsd"):
        assert is_float(result)
    elif name == "stats":
        assert type(result) is tuple and len(result) == 4
        assert is_float(result[0])
        for part, size in zip(result[1:], (3, 3, 2)):
            assert type(part) is tuple and len(part) == size and all(map(is_float, part))
    elif name == "sample_solutions":
        assert type(result) is list
        if bound.get("method", "pivot") != "enumerate":
            assert len(result) == operator.index(bound.get("sample_size", 10000))
        for walk in result:
            check_walk(walk, expected_points(name, bound))
    else:
        check_walk(result, expected_points(name, bound))


def call_and_check(name, positional, keywords):
    function = getattr(tarvex, name)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = function(*positional, **keywords)
    except (*DOCUMENTED, Planted, Short) as error:
        assert type(error) is not IndexError  # only Short, which a hostile sequence raised
        event(type(error).__name__)
    else:
        # The call bound its arguments, so the positional ones are a prefix of the parameters.
        names = [pname for pname, _, _ in PARAMETERS[name][1]]
        check_result(name, result, dict(zip(names, positional)) | keywords)
        event("result")
    assert tarvex.rmsd([[0, 0, 0], [1, 0, 0]], [[[5, 5, 5], [5, 6, 5]]]) == 0.0


FUZZ = settings(max_examples=250, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much,
                                       HealthCheck.data_too_large])


@pytest.mark.parametrize("name", list(PARAMETERS))
@FUZZ
@given(data=st.data())
def test_arbitrary_arguments_give_documented_outcomes(name, data):
    call_and_check(name, *data.draw(calls(name)))


@FUZZ
@given(positional=st.lists(st.one_of(small_count, finite, junk, structure, seq_arg), max_size=14),
       keywords=st.dictionaries(st.sampled_from(["seq", "gt", "sol", "cost", "len", "lattice",
                                                 "pbar", "kmin", "x", "sample_size"]),
                                st.one_of(small_count, finite, junk, structure), max_size=4))
def test_any_argument_count_gives_documented_outcomes(positional, keywords):
    for name in PARAMETERS:
        call_and_check(name, positional, keywords)


# --- sizes no machine can hold ----------------------------------------------------------------

IMPOSSIBLE = textwrap.dedent("""
    import resource, sys, tarvex
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
    class Liar(list):
        def __len__(self):
            return sys.maxsize
    gt = [[[0, 0, 0], [3.8, 0, 0], [3.8, 3.8, 0]]]
    calls = [
        lambda: tarvex.sample_solutions(2**40, method="enumerate"),
        lambda: tarvex.sample_solutions(2**40, 1, method="dimerize"),
        lambda: tarvex.sample_solutions(2**64 - 1, 1, method="dimerize"),
        lambda: tarvex.sample_solutions(2**40, 1, thermalization_factor=0),
        lambda: tarvex.sample_solutions(2**63, 1),
        lambda: tarvex.sample_solutions(3, 2**64 - 1, method="dimerize"),
        lambda: tarvex.sample_solutions(3, 2**64 - 1),
        lambda: tarvex.stats("AAA", gt, lambda s, c: 0.0, sample_size=2**64 - 1),
        # Within the machine's memory but not the process's limit: the allocation fails.
        lambda: tarvex.sample_solutions(3 * 10**8, 1, method="dimerize"),
        lambda: tarvex.minimize_rmsd([Liar([[0, 0, 0]])]),
        lambda: tarvex.rmsd(Liar([[0, 0, 0]]), [[[0, 0, 0]]]),
    ]
    for call in calls:
        try:
            call()
        except (tarvex.PanicException, MemoryError) as error:
            print(type(error).__name__)
        else:
            print("returned")
    print(tarvex.rmsd([[0, 0, 0]], [[[1, 1, 1]]]))
""")


@pytest.mark.no_asan  # an address-space limit of a few GiB leaves no room for its shadow memory
def test_sizes_beyond_memory_fail_cleanly():
    # Walks longer than memory can hold and samples too many to keep: under a 2 GiB
    # address-space limit each call must give up at once, with the module intact.
    out = subprocess.run([sys.executable, "-c", IMPOSSIBLE], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.split()
    assert lines[-1] == "0.0"
    # Requests beyond the machine's memory fail before any work, as MemoryError.
    assert lines[:9] == ["MemoryError"] * 9, lines
    # A length is only a hint for the conversion: a structure claiming more items than memory
    # can hold is converted from the items it really has.
    assert lines[9:11] == ["returned"] * 2, lines
