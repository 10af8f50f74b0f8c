"""Every example run as CI runs it, and the README's Python blocks."""

import json
import pathlib
import re
import subprocess
import sys

import pytest

gemmi = pytest.importorskip("gemmi", reason="the examples extra is not installed")

TOP = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = TOP / "examples"
sys.path.insert(0, str(EXAMPLES))

def run_example(name, *args, cwd=TOP):
    out = subprocess.run([sys.executable, str(EXAMPLES / f"{name}.py"), "--quick", *args], cwd=cwd,
                         capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr[-3000:]
    return out


def test_main_job_reports_every_lattice():
    out = run_example("trpcage")
    rows = [line.split() for line in out.stdout.splitlines()]
    assert sorted(row[0] for row in rows if row and row[0] in {"tetrahedral", "fcc", "bcc", "cubic"}) == \
        ["bcc", "cubic", "fcc", "tetrahedral"]
    assert "100%|" in out.stderr  # the progress line


def test_landscape_writes_a_png_from_a_pdb_file(tmp_path):
    run_example("landscape", str(TOP / "data" / "1l2y.pdb"), "--out", "picture.png", cwd=tmp_path)
    png = (tmp_path / "picture.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and len(png) > 10_000


def test_the_three_cost_forms_agree():
    out = run_example("cost_forms")
    verdicts = [line.split()[-1] for line in out.stdout.splitlines() if line.split()[:1] in (["lua"], ["python"])]
    assert verdicts == ["identical", "identical"]


def test_sweep_on_two_workers_equals_the_same_tasks_run_here(tmp_path):
    import sweep

    run_example("sweep", "--workers", "2", "--lattice", "tetrahedral", "cubic", "--cost", "mj", "hp",
                "--json", str(tmp_path / "sweep.json"))
    found = json.loads((tmp_path / "sweep.json").read_text())
    assert abs(found["union_spearman"] - found["scipy_spearman"]) <= 1e-12
    # The same plan run in this process, in reverse order: each task's seed is its own, so
    # neither the worker nor the order may change a number.
    tasks = sweep.plan_tasks([str(TOP / "data" / "1l2y.pdb")], ["tetrahedral", "cubic"], ["mj", "hp"],
                             300, 2024)
    here = [sweep.run_task(task) for task in reversed(tasks)][::-1]
    drop_time = [{k: v for k, v in r.items() if k != "seconds"} for r in here]
    assert [{k: v for k, v in r.items() if k != "seconds"} for r in found["tasks"]] == drop_time


PAGES = ["README.md", *sorted(p.relative_to(TOP).as_posix() for p in (TOP / "docs").glob("*.md"))]


@pytest.mark.parametrize("page", PAGES)
def test_the_documentation_examples_run(tmp_path, page):
    # A page's Python blocks, in order, as one script run from the top of the repository; the
    # pages in docs/ start from the README's first block, which loads the data they use.
    blocks = re.findall(r"```python\n(.*?)```", (TOP / page).read_text(), re.S)
    if page != "README.md":
        blocks.insert(0, re.findall(r"```python\n(.*?)```", (TOP / "README.md").read_text(), re.S)[0])
    script = tmp_path / "page.py"
    script.write_text("\n".join(blocks))
    out = subprocess.run([sys.executable, str(script)], cwd=TOP, capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr[-3000:]


def test_sweep_reads_once_skips_the_large_sample_and_names_an_unreachable_scheduler(tmp_path):
    # A missing residue makes the reader note it (and the gap it leaves) while reading.
    structure = TOP / "tests" / "data" / "two_models.cif"
    out = run_example("sweep", str(structure), "--gaps", "bridge", "--workers", "1", "--lattice", "cubic",
                      "--cost", "hp", "--no-large-sample", "--json", str(tmp_path / "hp.json"))
    assert out.stderr.count("no C-alpha") == 1 and out.stderr.count("joined as if bonded") == 1
    found = json.loads((tmp_path / "hp.json").read_text())
    assert [task["cost"] for task in found["tasks"]] == ["hp"] and "union_spearman" not in found
    wrong = subprocess.run([sys.executable, str(EXAMPLES / "sweep.py"), "--quick", "--scheduler", "tcp://127.0.0.1:1",
                            "--connect-timeout", "1"], capture_output=True, text=True, timeout=60)
    assert wrong.returncode == 1 and "Traceback" not in wrong.stderr
    assert wrong.stderr.startswith("error: no Dask scheduler reached at 'tcp://127.0.0.1:1' within 1 s")
