"""The examples: the structure reader on real and awkward files, and every example run as CI runs it."""

import json
import re
import pathlib
import subprocess
import sys

import pytest

gemmi = pytest.importorskip("gemmi", reason="the examples extra is not installed")

TOP = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = TOP / "examples"
sys.path.insert(0, str(EXAMPLES))

from structures import read_ca_trace  # noqa: E402

# Chain A: alternate locations (ALA 51), an insertion code (52A), a residue without a C-alpha
# (TRP 53), non-standard residues with and without a parent (MSE, HYP, ZZQ), two residues at
# one position (LEU/ILE 57), a chain break before GLU 58, a ligand and a water. Chain B: a
# second protein chain.
AWKWARD_PDB = """\
ATOM      1  N   GLY A  50       0.000   0.000   0.000  1.00 10.00           N
ATOM      2  CA  GLY A  50       1.000   0.000   0.000  1.00 10.00           C
ATOM      3  CA AALA A  51       4.800   0.000   0.000  0.40 10.00           C
ATOM      4  CA BALA A  51       4.800   1.000   0.000  0.60 10.00           C
ATOM      5  CA  SER A  52       8.600   0.000   0.000  1.00 10.00           C
ATOM      6  CA  LYS A  52A     12.400   0.000   0.000  1.00 10.00           C
ATOM      7  N   TRP A  53      13.000   0.000   0.000  1.00 10.00           N
ATOM      8  C   TRP A  53      14.000   0.000   0.000  1.00 10.00           C
HETATM    9  CA  MSE A  54      16.200   0.000   0.000  1.00 10.00           C
HETATM   10  CA  HYP A  55      20.000   0.000   0.000  1.00 10.00           C
HETATM   11  CA  ZZQ A  56      23.800   0.000   0.000  1.00 10.00           C
ATOM     12  CA ALEU A  57      27.600   0.000   0.000  0.50 10.00           C
ATOM     13  CA BILE A  57      27.600   1.000   0.000  0.50 10.00           C
ATOM     14  CA  GLU A  58      36.000   0.000   0.000  1.00 10.00           C
TER
HETATM   15  C1  NAG A 101      40.000   0.000   0.000  1.00 10.00           C
HETATM   16  O   HOH A 201      50.000   0.000   0.000  1.00 10.00           O
ATOM     17  CA  ALA B   1       0.000   5.000   0.000  1.00 10.00           C
ATOM     18  CA  CYS B   2       3.800   5.000   0.000  1.00 10.00           C
END
"""

# Two models; the second has no C-alpha for LYS 2.
TWO_MODELS_CIF = """\
data_TWO
loop_
_atom_site.group_PDB
_atom_site.id
_atom_site.type_symbol
_atom_site.label_atom_id
_atom_site.label_alt_id
_atom_site.label_comp_id
_atom_site.label_asym_id
_atom_site.label_entity_id
_atom_site.label_seq_id
_atom_site.pdbx_PDB_ins_code
_atom_site.Cartn_x
_atom_site.Cartn_y
_atom_site.Cartn_z
_atom_site.occupancy
_atom_site.B_iso_or_equiv
_atom_site.auth_seq_id
_atom_site.auth_comp_id
_atom_site.auth_asym_id
_atom_site.auth_atom_id
_atom_site.pdbx_PDB_model_num
ATOM 1 C CA . MET A 1 1 ? 0.0 0.0 0.0 1.0 0.0 1 MET A CA 1
ATOM 2 C CA . LYS A 1 2 ? 3.8 0.0 0.0 1.0 0.0 2 LYS A CA 1
ATOM 3 C CA . PHE A 1 3 ? 7.6 0.0 0.0 1.0 0.0 3 PHE A CA 1
ATOM 4 C CA . MET A 1 1 ? 0.0 0.5 0.0 1.0 0.0 1 MET A CA 2
ATOM 5 N N . LYS A 1 2 ? 3.8 0.5 0.0 1.0 0.0 2 LYS A N 2
ATOM 6 C CA . PHE A 1 3 ? 7.6 0.5 0.0 1.0 0.0 3 PHE A CA 2
"""


def read(path, chain=None):
    notes = []
    sequence, models = read_ca_trace(path, chain, warn=notes.append)
    return sequence, models, "\n".join(notes)


def test_trpcage_is_read_exactly_as_bundled(trpcage):
    sequence, models, notes = read(TOP / "data" / "1l2y.pdb")
    assert (sequence, models) == (trpcage["sequence"], trpcage["models"])
    assert notes == ""


def test_awkward_residues_are_handled_and_reported(tmp_path):
    path = tmp_path / "awkward.pdb"
    path.write_text(AWKWARD_PDB)
    sequence, [model], notes = read(path)
    # TRP 53 (no C-alpha) is left out; MSE and HYP take their parents' codes, ZZQ is X; ILE 57 is
    # the alternative to LEU 57 and is left out.
    assert sequence == "GASKMPXLE"
    assert model[1] == [4.8, 1.0, 0.0]  # the location of higher occupancy
    assert model[7] == [27.6, 0.0, 0.0]
    for reported in ["chain A read", "chains B", "TRP 53", "ALA 51", "kept B", "LYS 52A", "ILE 57",
                     "MSE 54", "HYP 55", "ZZQ 56", "LEU 57-GLU 58"]:
        assert reported in notes, reported
    assert "NAG" not in notes and "HOH" not in notes
    assert read(path, chain="B")[:2] == ("AC", [[[0.0, 5.0, 0.0], [3.8, 5.0, 0.0]]])
    with pytest.raises(ValueError, match="no chain 'Z'; its chains are A, B"):
        read(path, chain="Z")


def test_a_residue_missing_in_one_model_is_left_out_of_all(tmp_path):
    path = tmp_path / "two.cif"
    path.write_text(TWO_MODELS_CIF)
    sequence, models, notes = read(path)
    assert sequence == "MF"
    assert models == [[[0.0, 0.0, 0.0], [7.6, 0.0, 0.0]], [[0.0, 0.5, 0.0], [7.6, 0.5, 0.0]]]
    assert "LYS 2" in notes and "MET 1-PHE 3 (7.6 A)" in notes


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


def test_the_readme_examples_run(tmp_path):
    # The README's Python blocks, in order, as one script run from the top of the repository.
    blocks = re.findall(r"```python\n(.*?)```", (TOP / "README.md").read_text(), re.S)
    script = tmp_path / "readme.py"
    script.write_text("\n".join(blocks))
    out = subprocess.run([sys.executable, str(script)], cwd=TOP, capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr[-3000:]
