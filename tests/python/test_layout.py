"""The layering of src/tarvex: only module/ touches Python, and the core never reaches into it."""

import pathlib
import re

SOURCE = pathlib.Path(__file__).resolve().parents[2] / "src" / "tarvex"
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.MULTILINE)


def test_only_module_includes_python_or_module_headers():
    core = [path for path in SOURCE.rglob("*")
            if path.suffix in {".cpp", ".hpp", ".h"} and path.relative_to(SOURCE).parts[0] != "module"]
    assert len(core) > 10, "the core sources were not found"
    offenders = [f"{path.relative_to(SOURCE)}: {name}"
                 for path in core for name in INCLUDE.findall(path.read_text())
                 if pathlib.PurePosixPath(name).name == "Python.h" or "module/" in name]
    assert offenders == []


# Each folder may include only the folders below it; the top-level headers are at the bottom.
LAYER = {"": 0, "walks": 1, "compare": 1, "stats": 1, "cost": 2, "sampling": 3, "search": 4, "module": 5}


def test_every_include_goes_down_the_layer_order():
    sources = [path for path in SOURCE.rglob("*") if path.suffix in {".cpp", ".hpp", ".h"}]
    offenders = []
    for path in sources:
        here = path.relative_to(SOURCE).parent.as_posix().strip(".")
        assert here in LAYER, f"{path}: a folder without a place in the layer order"
        for name in INCLUDE.findall(path.read_text()):
            if not name.startswith("tarvex/"):
                continue
            there = pathlib.PurePosixPath(name).parent.as_posix().removeprefix("tarvex").strip("/")
            if there != here and LAYER.get(there, 99) >= LAYER[here]:
                offenders.append(f"{path.relative_to(SOURCE)} includes {name}")
    assert offenders == []


def test_the_stub_signatures_are_the_functions_signatures():
    import ast
    import inspect

    import tarvex

    stub = ast.parse((SOURCE.parent / "tarvex-stubs" / "__init__.pyi").read_text())
    declared = {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}
    functions = {name for name in dir(tarvex)
                 if callable(getattr(tarvex, name)) and not isinstance(getattr(tarvex, name), type)}
    assert set(declared) == functions
    for name, node in declared.items():
        args = node.args
        defaults = [None] * (len(args.args) - len(args.defaults)) + args.defaults
        stubbed = [(a.arg, "required" if d is None else ast.literal_eval(d)) for a, d in zip(args.args, defaults)]
        actual = [(p.name, "required" if p.default is inspect.Parameter.empty else p.default)
                  for p in inspect.signature(getattr(tarvex, name)).parameters.values()]
        assert stubbed == actual, name


def test_cmake_lists_every_source_and_nothing_else():
    # The build names its sources; a file added without being listed (or listed after being
    # removed) would silently leave the build or break it.
    top = SOURCE.parents[1]
    cmake = (top / "CMakeLists.txt").read_text()
    listed = set(re.findall(r"((?:src|tests|bench)/[\w/]+\.cpp)", cmake))
    on_disk = {path.relative_to(top).as_posix() for folder in ("src/tarvex", "tests/cpp", "tests/fuzz", "bench")
               for path in (top / folder).rglob("*.cpp")}
    assert "GLOB" not in cmake
    assert sorted(on_disk - listed) == [] and sorted(listed - on_disk) == []
