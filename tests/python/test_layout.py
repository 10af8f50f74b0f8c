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
