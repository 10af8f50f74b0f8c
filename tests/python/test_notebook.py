"""The README's notebook example in a real Jupyter kernel: the progress line and the figure show in the cells."""

import pathlib
import re

import pytest

nbformat = pytest.importorskip("nbformat", reason="the test extra's Jupyter packages are not installed")
nbclient = pytest.importorskip("nbclient", reason="the test extra's Jupyter packages are not installed")
pytest.importorskip("ipykernel", reason="the test extra's Jupyter packages are not installed")
pytest.importorskip("matplotlib", reason="the examples extra is not installed")

TOP = pathlib.Path(__file__).resolve().parents[2]


def readme_block(containing: str) -> str:
    blocks = re.findall(r"```python\n(.*?)```", (TOP / "README.md").read_text(), re.S)
    return next(block for block in blocks if containing in block)


@pytest.fixture(scope="module")
def cells():
    """The README's first example (the data) and its notebook example, run as two cells."""
    notebook = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(readme_block("import json, tarvex")),
                                               nbformat.v4.new_code_cell(readme_block("plot(result)"))])
    nbclient.NotebookClient(notebook, timeout=600, kernel_name="python3",
                            resources={"metadata": {"path": str(TOP)}}).execute()
    return notebook.cells


def test_the_progress_line_and_the_figure_show_inline(cells):
    outputs = cells[1].outputs
    assert not [out for out in outputs if out.output_type == "error"]
    progress = "".join(out.text for out in outputs if out.output_type == "stream" and out.name == "stderr")
    assert "100%|" in progress
    images = [out for out in outputs if out.output_type == "display_data" and "image/png" in out.data]
    assert len(images) == 1  # shown once, by the inline backend, not also as the cell's value


@pytest.mark.no_asan
def test_a_progress_line_keeps_the_notebook_small(cells):
    # A few seconds of progress should be a handful of stored outputs, not one per redraw.
    assert sum(out.output_type == "stream" for out in cells[1].outputs) <= 15
