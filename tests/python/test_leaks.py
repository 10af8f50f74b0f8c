"""Thousands of calls, succeeding and failing every way: memory and reference counts stay flat.

Three gauges, each blind where another sees: resident memory (/proc/self/statm) catches native
leaks (a Lua state or C++ buffer left behind), tracemalloc catches Python objects allocated and
never freed (it traces the allocators the C API uses too), and sys.getrefcount of the objects
passed in catches a reference taken and never given back, which neither of the others sees
because the object itself stays alive. AddressSanitizer's quarantine grows resident memory by
design, so the sanitizer run leaves these tests out.
"""

import gc
import os
import sys
import tracemalloc

import pytest

import tarvex

pytestmark = pytest.mark.no_asan

PAGE = os.sysconf("SC_PAGE_SIZE")
CALLS = 2000
WARM_UP = 300

GT = [[[0.0, 0.0, 0.0], [3.8, 0.0, 0.0], [3.8, 3.8, 0.0]]]
SOL = [[0.0, 0.0, 0.0], [0.0, 3.8, 0.0], [3.8, 3.8, 0.0]]
TABLE = {"A": {"A": -1.0, "C": 0.5}, "C": {"A": 0.5, "C": -2.0}}


class Planted(RuntimeError):
    pass


class LenRaises(list):
    def __len__(self):
        raise Planted("__len__")


class FloatRaises:
    def __float__(self):
        raise Planted("__float__")


def lua(body, prelude=""):
    return ("f", f"{prelude}\nfunction f(seq, c) {body} end")


def stats(cost, **kw):
    kw = {"sample_size": 2, "method": "dimerize", "lattice": "cubic"} | kw
    return lambda: tarvex.stats("AAA", GT, cost, **kw)


def minimize(cost):
    return lambda: tarvex.minimize_cost("AC", cost, lattice="cubic")


def raise_keyboard_interrupt(seq, coords):
    raise KeyboardInterrupt


# (id, call, exception it ends with or None). Every path a call can leave by.
CASES = [
    # success, each function and each cost form
    ("stats-python", stats(lambda s, c: float(len(c))), None),
    ("stats-lua", stats(lua("return c[2][1]")), None),
    ("stats-contact", stats({"A": {"A": 1.0}}), None),
    ("correlation-pivot", lambda: tarvex.correlation("AAA", GT, lambda s, c: 1.0, sample_size=2,
                                                     thermalization_factor=2), None),
    ("sample-pivot", lambda: tarvex.sample_solutions(4, 3, thermalization_factor=2), None),
    ("sample-dimerize", lambda: tarvex.sample_solutions(4, 3, method="dimerize"), None),
    ("sample-enumerate", lambda: tarvex.sample_solutions(3, method="enumerate",
                                                         lattice="cubic"), None),
    ("minimize-cost-python", minimize(lambda s, c: c[1][0]), None),
    ("minimize-cost-lua", minimize(lua("return c[2][2]")), None),
    ("minimize-cost-contact", minimize(TABLE), None),
    ("minimize-rmsd", lambda: tarvex.minimize_rmsd([SOL[:2]], lattice="cubic"), None),
    ("rmsd", lambda: tarvex.rmsd(SOL, GT + GT), None),
    # Lua failures
    ("lua-syntax", stats(("f", "function f(")), tarvex.PanicException),
    ("lua-error-at-load", stats(("f", "error('at load')")), tarvex.PanicException),
    ("lua-missing-function", stats(("g", "function f() return 1 end")), tarvex.PanicException),
    ("lua-runtime-error", stats(lua("error('boom')")), tarvex.PanicException),
    ("lua-not-a-number", stats(lua("return {}")), tarvex.PanicException),
    ("lua-minimize-error", minimize(lua("error('boom')")), tarvex.PanicException),
    # Python-callable failures
    ("python-raises", stats(lambda s, c: 1 / 0), tarvex.PanicException),
    ("python-returns-none", stats(lambda s, c: None), tarvex.PanicException),
    ("python-wrong-arity", stats(lambda s: 1.0), tarvex.PanicException),
    ("python-float-raises", stats(lambda s, c: FloatRaises()), tarvex.PanicException),
    ("python-minimize-raises", minimize(lambda s, c: 1 / 0), tarvex.PanicException),
    ("python-keyboard-interrupt", stats(raise_keyboard_interrupt), KeyboardInterrupt),
    # conversion and binding errors
    ("binding", lambda: tarvex.rmsd(SOL), TypeError),
    ("unknown-keyword", lambda: tarvex.rmsd(SOL, GT, Gt=1), TypeError),
    ("gt-not-a-sequence", lambda: tarvex.rmsd(SOL, [SOL, 5]), TypeError),
    ("point-of-two", lambda: tarvex.rmsd(SOL, [SOL[:2] + [[1.0, 2.0]]]), ValueError),
    ("count-negative", lambda: tarvex.sample_solutions(-1), OverflowError),
    ("huge-coordinate", lambda: tarvex.rmsd(SOL, [[[10**400, 0, 0]] * 3]), OverflowError),
    ("surrogate", lambda: tarvex.stats("A\udc80", GT, TABLE), UnicodeEncodeError),
    ("late-argument", lambda: tarvex.stats("AAA", GT, TABLE, pbar=1), TypeError),
    ("len-raises", lambda: tarvex.rmsd([LenRaises([0, 0, 0])] * 3, GT), Planted),
    # internal failures
    ("empty-gt", lambda: tarvex.rmsd(SOL, []), tarvex.PanicException),
    ("short-model", lambda: tarvex.rmsd(SOL, [SOL[:2]]), tarvex.PanicException),
    ("bad-lattice", lambda: tarvex.sample_solutions(3, 2, lattice="FCC"), tarvex.PanicException),
    ("bad-method", stats(TABLE, method="Pivot"), tarvex.PanicException),
    ("unrecognised-cost", stats([1.0]), tarvex.PanicException),
    ("missing-energy", stats({"C": {"C": 1.0}}), tarvex.PanicException),
    ("empty-sample", stats(TABLE | {"A": {"A": 1.0}}, sample_size=0), tarvex.PanicException),
]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def run(call, expected, times):
    for _ in range(times):
        if expected is None:
            call()
        else:
            try:
                call()
            except expected:
                pass
            else:
                pytest.fail("the call did not fail")


@pytest.mark.parametrize("call, expected", [(c, e) for _, c, e in CASES],
                         ids=[i for i, _, _ in CASES])
def test_repeated_calls_leave_memory_and_references_flat(call, expected):
    # Every object the call reaches through its closure: their counts must come back.
    watched = [GT, GT[0], SOL, SOL[0][0], TABLE, TABLE["A"]]
    watched += [cell.cell_contents for cell in call.__closure__ or ()]
    run(call, expected, WARM_UP)
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    tracemalloc.start()
    try:
        rss = resident_bytes()
        traced, _ = tracemalloc.get_traced_memory()
        run(call, expected, CALLS)
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced
        rss_growth = resident_bytes() - rss
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(obj) for obj in watched] == counts
    # A leaked float is 24 bytes: 2000 of them would be 48 KB.
    assert traced_growth < 16 * 1024, f"{traced_growth} bytes of Python objects kept"
    # The smallest Lua state is tens of KB; a leaked conformation buffer hundreds of bytes.
    assert rss_growth < 512 * 1024, f"resident memory grew by {rss_growth} bytes"


BIG = "t = {} for i = 1, 200000 do t[i] = i end"


@pytest.mark.parametrize("cost, expected", [
    (("f", BIG + "\nfunction f() return #t end"), None),
    (("f", BIG + "\nerror('after the table')"), tarvex.PanicException),
    (("f", BIG + "\nfunction f() error('in the call') end"), tarvex.PanicException),
    (("f", BIG + "\nfunction f() return t end"), tarvex.PanicException),
    (("g", BIG + "\nfunction f() return 1 end"), tarvex.PanicException),
], ids=["success", "load-error", "call-error", "not-a-number", "missing-function"])
def test_lua_state_with_a_big_table_is_closed_on_every_path(cost, expected):
    # Each state holds a few MB; 150 calls that kept theirs would hold hundreds of MB.
    call = stats(cost)
    run(call, expected, 10)
    rss = resident_bytes()
    run(call, expected, 150)
    assert resident_bytes() - rss < 8 * 2**20

