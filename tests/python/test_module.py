"""The module's face: entry, function table, argument binding and keyword parsing."""

import inspect
import subprocess
import sys

import pytest

import tarvex

FUNCTIONS = ["stats", "correlation", "sample_solutions", "minimize_rmsd", "minimize_cost", "rmsd"]

STATS_PARAMS = [("seq", None), ("gt", None), ("cost", None), ("sample_size", 10000),
                ("method", None), ("thermalization_factor", 100), ("autocorrelation_factor", 10),
                ("lattice", "tetrahedral"), ("arc_length", 3.8), ("kmin", 1), ("dmax", 7.8),
                ("pbar", False)]
SIGNATURES = {
    "stats": STATS_PARAMS,
    "correlation": STATS_PARAMS,
    "sample_solutions": [("len", None), ("sample_size", 10000), ("method", "pivot"),
                         ("thermalization_factor", 10), ("autocorrelation_factor", 10),
                         ("lattice", "tetrahedral"), ("arc_length", 3.8), ("pbar", False)],
    "minimize_rmsd": [("gt", None), ("lattice", "tetrahedral"), ("arc_length", 3.8),
                      ("pbar", False)],
    "minimize_cost": [("seq", None), ("cost", None), ("lattice", "tetrahedral"),
                      ("arc_length", 3.8), ("kmin", 1), ("dmax", 7.8), ("pbar", False)],
    "rmsd": [("sol", None), ("gt", None)],
}
REQUIRED = {"stats": 3, "correlation": 3, "sample_solutions": 1, "minimize_rmsd": 1,
            "minimize_cost": 2, "rmsd": 2}

SOL = [[0.0, 0.0, 0.0], [3.8, 0.0, 0.0], [3.8, 3.8, 0.0]]


def test_all_lists_the_six_functions_in_order():
    assert tarvex.__all__ == FUNCTIONS
    assert "PanicException" not in tarvex.__all__


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_builtins_bound_to_the_module(name):
    function = getattr(tarvex, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__self__ is tarvex
    assert function.__module__ == "tarvex"
    assert function.__name__ == name


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signatures_and_docstrings(name):
    function = getattr(tarvex, name)
    signature = inspect.signature(function)
    got = [(p.name, None if p.default is inspect.Parameter.empty else p.default)
           for p in signature.parameters.values()]
    assert got == SIGNATURES[name]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
               for p in signature.parameters.values())
    assert function.__text_signature__.startswith("(")
    assert function.__doc__.startswith("This function") or function.__doc__.startswith("A function")
    assert not function.__doc__.endswith("\n")


def test_reimport_gives_the_same_module_object():
    first = sys.modules.pop("tarvex")
    try:
        import tarvex as again
        assert again is first
        assert again.PanicException is first.PanicException
    finally:
        sys.modules["tarvex"] = first


def test_panic_exception_is_a_base_exception():
    assert issubclass(tarvex.PanicException, BaseException)
    assert not issubclass(tarvex.PanicException, Exception)
    assert tarvex.PanicException.__module__ == "tarvex"
    assert "BaseException" in tarvex.PanicException.__doc__


def test_panic_escapes_except_exception_and_module_stays_usable():
    with pytest.raises(tarvex.PanicException) as info:
        try:
            tarvex.rmsd(SOL, [])
        except Exception:  # noqa: BLE001 - the point is that this does not catch it
            pytest.fail("PanicException was caught by 'except Exception'")
    assert info.value.args == ("The ground truth must have at least one model !",)
    assert tarvex.rmsd(SOL, [SOL]) == pytest.approx(0.0, abs=1e-12)


def test_second_interpreter_is_refused():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no run_in_subinterp")
    code = ("import tarvex, _testcapi\n"
            "_testcapi.run_in_subinterp('try:\\n import tarvex\\nexcept ImportError as e:\\n"
            " print(\"refused:\", e)\\nelse:\\n print(\"imported\")')\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert "refused:" in out.stdout and "subinterpreters" in out.stdout, out.stdout + out.stderr


# --- binding -------------------------------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda: tarvex.stats(),
     "stats() missing 3 required positional arguments: 'seq', 'gt', and 'cost'"),
    (lambda: tarvex.stats("A", cost=None),
     "stats() missing 1 required positional argument: 'gt'"),
    (lambda: tarvex.minimize_cost(),
     "minimize_cost() missing 2 required positional arguments: 'seq' and 'cost'"),
    (lambda: tarvex.rmsd(SOL), "rmsd() missing 1 required positional argument: 'gt'"),
    (lambda: tarvex.rmsd(SOL, [SOL], 3), "rmsd() takes 2 positional arguments but 3 were given"),
    (lambda: tarvex.minimize_rmsd([SOL], "cubic", 3.8, False, 5),
     "minimize_rmsd() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda: tarvex.sample_solutions(*range(9)),
     "sample_solutions() takes from 1 to 8 positional arguments but 9 were given"),
    (lambda: tarvex.stats("A", [SOL], None, seq="A"),
     "stats() got multiple values for argument 'seq'"),
    (lambda: tarvex.stats("A", [SOL], None, lattices="fcc"),
     "stats() got an unexpected keyword argument 'lattices'"),
    (lambda: tarvex.rmsd(sol=SOL, gt=[SOL], Gt=1),
     "rmsd() got an unexpected keyword argument 'Gt'"),
], ids=["stats-none", "stats-one-missing", "two-missing", "rmsd-missing", "rmsd-too-many",
        "minimize-rmsd-too-many", "sample-too-many", "multiple", "unexpected", "case-sensitive"])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_bind_in_any_order():
    assert tarvex.rmsd(gt=[SOL], sol=SOL) == tarvex.rmsd(SOL, [SOL])


def test_binding_precedes_conversion():
    # The unexpected keyword is reported although 'sol' cannot be converted.
    with pytest.raises(TypeError, match="unexpected keyword"):
        tarvex.rmsd("x", [SOL], z=1)


# --- keywords -----------------------------------------------------------------------------

@pytest.mark.parametrize("method, shown", [
    ("Pivot", '"Pivot"'), ("dimerise", '"dimerise"'), ("iterate", '"iterate"'),
    ("", '""'), ('a"b\\c\td\n', '"a\\"b\\\\c\\td\\n"'), ("é\x07", '"é\\u{7}"'),
])
def test_unrecognised_method(method, shown):
    with pytest.raises(tarvex.PanicException) as sample_info:
        tarvex.sample_solutions(3, 1, method=method)
    assert sample_info.value.args[0] == f"Method {shown} is not recognized !"
    with pytest.raises(tarvex.PanicException) as stats_info:
        tarvex.stats("AAA", [SOL], lambda s, c: 0.0, method=method)
    assert stats_info.value.args[0] == f"Method Some({shown}) is not recognized !"


@pytest.mark.parametrize("lattice, shown", [("FCC", '"FCC"'), ("", '""'), ("cubic ", '"cubic "')])
def test_unrecognised_lattice(lattice, shown):
    for call in (lambda: tarvex.sample_solutions(3, 1, lattice=lattice),
                 lambda: tarvex.minimize_rmsd([SOL], lattice=lattice),
                 lambda: tarvex.minimize_cost("AAA", lambda s, c: 0.0, lattice=lattice),
                 lambda: tarvex.correlation("AAA", [SOL], lambda s, c: 0.0, lattice=lattice)):
        with pytest.raises(tarvex.PanicException) as info:
            call()
        assert info.value.args[0] == f"Lattice {shown} is not recognized !"


def test_method_none_is_refused_by_sample_solutions():
    with pytest.raises(TypeError) as info:
        tarvex.sample_solutions(5, method=None)
    assert str(info.value) == "argument 'method': 'NoneType' object cannot be cast as 'str'"


@pytest.mark.parametrize("call, message", [
    (lambda: tarvex.minimize_rmsd([], lattice="FCC"), "assertion failed: gt.len() > 0"),
    (lambda: tarvex.stats("AAA", [SOL], [1.0], method="Pivot"), "Cannot recognize [1.0] !"),
    (lambda: tarvex.stats("AAA", [], lambda s, c: 0.0, lattice="bad"),
     'Lattice "bad" is not recognized !'),
    (lambda: tarvex.stats("AAA", [], lambda s, c: 0.0),
     "The ground truth must have at least one model !"),
    (lambda: tarvex.minimize_cost("AAA", [1.0], lattice="bad"), "Cannot recognize [1.0] !"),
], ids=["empty-gt-before-lattice", "cost-before-method", "lattice-before-gt", "empty-gt",
        "cost-before-lattice"])
def test_check_order(call, message):
    with pytest.raises(tarvex.PanicException) as info:
        call()
    assert info.value.args[0] == message
