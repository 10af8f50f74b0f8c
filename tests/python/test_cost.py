"""The three forms of cost function, observed through deterministic enumeration."""

import math
import operator
import sys

import pytest

import tarvex

GT3 = [[[0.0, 0.0, 0.0], [3.8, 0.0, 0.0], [3.8, 3.8, 0.0]]]


def costs(seq, cost, **kw):
    """(min, mean, max) of the cost over every cubic walk of the sequence."""
    n = len(seq.encode())
    gt = [[[float(i), 0.0, 0.0] for i in range(n)]]
    return tarvex.stats(seq, gt, cost, method="enumerate", lattice="cubic", **kw)[1]


def panic_message(call):
    with pytest.raises(tarvex.PanicException) as info:
        call()
    return info.value.args[0]


# --- recognition ----------------------------------------------------------------------------

class CallableDict(dict):
    def __call__(self, seq, coords):
        return 7.0


class CallableTuple(tuple):
    def __call__(self, seq, coords):
        return 8.0


@pytest.mark.parametrize("cost, expected", [
    (CallableDict(), 7.0),
    (CallableTuple(("f", "function f() return 1 end")), 8.0),
    (("f", "function f() return 1 end"), 1.0),
    ({"A": {"A": 2.5}}, 2.5 * 2),
], ids=["callable-dict", "callable-tuple", "lua", "contact"])
def test_recognition_order(cost, expected):
    assert costs("AAA", cost, kmin=1, dmax=4.0)[0] == expected


@pytest.mark.parametrize("cost, shown", [
    ([1.0], "[1.0]"),
    (("a", "b", "c"), "('a', 'b', 'c')"),
    ((1, "x"), "(1, 'x')"),
    ({"AB": {"A": 1.0}}, "{'AB': {'A': 1.0}}"),
    ({"A": {"AB": 1.0}}, "{'A': {'AB': 1.0}}"),
    ({"A": 1.0}, "{'A': 1.0}"),
    ({"A": {"A": "x"}}, "{'A': {'A': 'x'}}"),
    (None, "None"),
], ids=["list", "three-tuple", "non-str-pair", "outer-key", "inner-key", "flat", "text-energy",
        "none"])
def test_unrecognised_forms(cost, shown):
    assert panic_message(lambda: costs("AA", cost)) == f"Cannot recognize {shown} !"


def test_ctrl_c_while_the_table_is_read_passes_through():
    class Interrupting:
        def __float__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        costs("AA", {"A": {"A": Interrupting()}})


# --- contact energies -----------------------------------------------------------------------

ASYMMETRIC = {"A": {"B": 1.0}, "B": {"A": 5.0}}


@pytest.mark.parametrize("seq, table, kw, expected", [
    ("AB", ASYMMETRIC, {}, 1.0),
    ("BA", ASYMMETRIC, {}, 5.0),
    ("AB", {"A": {"A": 1.0, "B": 2.0}, "B": {"B": 4.0}}, {"kmin": 0}, 7.0),
    ("AAA", {}, {"kmin": 3}, 0.0),
    ("AAA", {}, {"kmin": 2**64 - 1}, 0.0),
    ("AAA", {"A": {"A": 1.0}}, {"dmax": -0.1}, 0.0),
    ("AAA", {"A": {"A": 1.0}}, {"dmax": math.inf}, 3.0),
    ("AAA", {"A": {"A": 1.0}}, {"dmax": math.nan}, 0.0),
], ids=["A-then-B", "B-then-A", "kmin-0", "kmin-n", "kmin-huge", "dmax-negative", "dmax-inf",
        "dmax-nan"])
def test_contact_energy_is_constant_over_walks(seq, table, kw, expected):
    assert costs(seq, table, **kw) == (expected, expected, expected)


def test_distance_exactly_dmax_counts():
    # Cubic walks of 3 points: the ends are 7.6 apart (straight) or 3.8 * sqrt(2) (bent).
    table = {"A": {"A": 1.0}}
    low, _, high = costs("AAA", table, kmin=2, dmax=7.6)
    assert (low, high) == (1.0, 1.0)
    low, _, high = costs("AAA", table, kmin=2, dmax=math.nextafter(7.6, 0.0))
    assert (low, high) == (0.0, 1.0)


@pytest.mark.parametrize("seq, table, message", [
    ("BA", {"A": {"B": 1.0}}, "Contact energies for amino acid B could not be found !"),
    ("AB", {"A": {"A": 1.0}}, "Contact energy for amino acid's pair A-B could not be found !"),
    ("AB", {}, "Contact energies for amino acid A could not be found !"),
    ("éA", {"A": {"A": 1.0}}, "Contact energies for amino acid é could not be found !"),
])
def test_missing_energies(seq, table, message):
    assert panic_message(lambda: costs(seq, table)) == message


def test_non_ascii_sequence_with_contact_table_fails_cleanly():
    table = {"é": {"A": 1.0}, "A": {"A": 1.0}}
    message = panic_message(lambda: costs("éA", table))
    assert "3" in message and "2" in message  # walk of 3 points, table for 2 residues


def test_real_energy_table(mj_energies, trpcage):
    seq = trpcage["sequence"][:6]
    low, mean, high = costs(seq, mj_energies)
    assert low <= mean <= high < 0.0


# --- Lua --------------------------------------------------------------------------------------

@pytest.mark.parametrize("body, expected", [
    ("return #c", 3.0),
    ("return '2.5'", 2.5),
    ("return 1.5, 'ignored'", 1.5),
    ("return c[1][1] + c[1][2] + c[1][3] + (c[0] == nil and 10 or 0)", 10.0),
    ("return (debug == nil and 1 or 0) + (ffi == nil and 2 or 0)", 3.0),
    ("return #seq", 3.0),
    ("return tonumber(jit.version ~= nil and 1 or 0) + math.floor(2.7) + #string.rep('x', 2)", 5.0),
])
def test_lua_results(body, expected):
    cost = ("f", f"function f(seq, c) {body} end")
    assert costs("AAA", cost) == (expected, expected, expected)


@pytest.mark.parametrize("cost, start", [
    (("f", "function f() return true end"), "Lua function did not return a floating number !: "),
    (("f", "function f() return {} end"), "Lua function did not return a floating number !: "),
    (("f", "function f() end"), "Lua function did not return a floating number !: "),
    (("f", "function f() return 'abc' end"), "Lua function did not return a floating number !: "),
    (("g", "function f() return 1 end"), "Lua function g cannot be found !: "),
    (("f", "f = 3"), "Lua function f cannot be found !: "),
    (("function f() return 1 end", "f"), "Lua code returned an error when run:\nsyntax error: "),
    (("f", "error('at load')"), "Lua code returned an error when run:\nruntime error: "),
    (("f", "function f("), "Lua code returned an error when run:\nsyntax error: "),
])
def test_lua_failures(cost, start):
    assert panic_message(lambda: costs("AAA", cost)).startswith(start)


def test_lua_runtime_error_carries_traceback():
    message = panic_message(lambda: costs("AAA", ("f", "function f() error('boom') end")))
    assert "boom" in message and "stack traceback" in message


def test_lua_global_state_lives_for_one_call():
    cost = ("f", "n = 0\nfunction f() n = n + 1; return n end")
    first = costs("AAA", cost)  # 30 cubic walks of 3 points
    assert first == (1.0, 15.5, 30.0)
    assert costs("AAA", cost) == first


def test_lua_cannot_load_native_modules():
    message = panic_message(lambda: costs("AAA", ("f", "function f() require('nosuchmod') end")))
    assert "can't load C modules in safe mode" in message
    message = panic_message(lambda: costs("AAA", ("f", "function f() package.loadlib('x', 'y') end")))
    assert "package.loadlib is disabled in safe mode" in message


# --- Python callables -------------------------------------------------------------------------

class Scorer:
    def __init__(self):
        self.calls = 0

    def __call__(self, seq, coords):
        self.calls += 1
        return float(len(coords))

    def method(self, seq, coords):
        return 2.0


@pytest.mark.parametrize("cost, expected", [
    (lambda s, c: 3, 3.0),
    (lambda s, c: True, 1.0),
    (lambda s, c: math.inf, math.inf),
    (Scorer(), 3.0),
    (Scorer().method, 2.0),
    (operator.ne, 1.0),
    (lambda s, c: len(s) * 10 + len(c) + sum(len(p) for p in c) / 100, 33.09),
], ids=["int", "bool", "inf", "call-instance", "bound-method", "builtin", "arguments"])
def test_python_callables(cost, expected):
    assert costs("AAA", cost) == pytest.approx((expected, expected, expected))


@pytest.mark.parametrize("cost, start, fragment", [
    (lambda s, c: None, "Python function did not return a float !: ", "TypeError"),
    (lambda s, c: "1.0", "Python function did not return a float !: ", "TypeError"),
    (lambda s: 1.0, "Python function failed to run !: ", "TypeError"),
    (lambda s, c: 1 / 0, "Python function failed to run !: ", "ZeroDivisionError: division by zero"),
])
def test_python_callable_failures(cost, start, fragment):
    message = panic_message(lambda: costs("AAA", cost))
    assert message.startswith(start)
    assert fragment in message


def test_python_callable_failure_shows_traceback():
    def cost(seq, coords):
        raise ValueError("bad fold")

    message = panic_message(lambda: costs("AAA", cost))
    assert "Traceback" in message and "ValueError: bad fold" in message and "cost" in message


def test_python_callable_sees_the_sequence_and_byte_length_walks():
    seen = []

    def cost(seq, coords):
        seen.append((seq, len(coords), {len(p) for p in coords}))
        return 0.0

    costs("Aé", cost)
    assert seen and all(s == ("Aé", 3, {3}) for s in seen)


def test_cost_object_reference_count_is_unchanged():
    good = Scorer()
    bad = lambda s, c: None  # noqa: E731
    lua = ("f", "function f() return 1 end")
    table = {"A": {"A": 1.0}}
    for cost in (good, bad, lua, table):
        before = sys.getrefcount(cost)
        for _ in range(20):
            try:
                costs("AAA", cost)
            except tarvex.PanicException:
                pass
        assert sys.getrefcount(cost) == before
