"""The structure reader of the examples: every kind of file, force-field and awkward residues, gaps."""

import bz2
import gzip
import pathlib
import subprocess
import sys

import pytest

gemmi = pytest.importorskip("gemmi", reason="the examples extra is not installed")

TOP = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(TOP / "examples"))

from common import Protein, load_protein, require_energies  # noqa: E402
from structures import ChainBreak, read_ca_trace, read_trace  # noqa: E402

TRPCAGE_PDB = TOP / "data" / "1l2y.pdb"
# The C-alpha atoms of data/1l2y.pdb as BinaryCIF, written by another library's encoder
# (biotite 1.6.0, with its size-minimizing choice of encodings) and gzipped.
TRPCAGE_BCIF_GZ = TOP / "tests" / "data" / "1l2y_ca.bcif.gz"

# Chain A: alternate locations (ALA 51), an insertion code (52A), a residue without a C-alpha
# (TRP 53), non-standard residues with and without a parent (MSE, HYP, ZZQ), two residues at
# one position (LEU/ILE 57), a gap before GLU 58, ligands (one a free lysine) and a water.
# Chain B: a second protein chain.
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
HETATM   16  CA  LYS A 301      60.000   0.000   0.000  1.00 10.00           C
ATOM     17  CA  ALA B   1       0.000   5.000   0.000  1.00 10.00           C
ATOM     18  CA  CYS B   2       3.800   5.000   0.000  1.00 10.00           C
END
"""

# What molecular dynamics writes: caps, force-field names, waters and an ion inside the chain
# with no TER record, and a point mutation as alternative residues (SER 0.20, PRO 0.60).
SIMULATION_PDB = """\
ATOM      1  CH3 ACE A   0      -1.500   0.000   0.000  1.00  0.00           C
ATOM      2  CA  HSD A   1       0.000   0.000   0.000  1.00  0.00           C
ATOM      3  CA  HIE A   2       3.800   0.000   0.000  1.00  0.00           C
ATOM      4  O   HOH A 901      30.000   0.000   0.000  1.00  0.00           O
ATOM      5  CA ASER A   3       7.600   0.000   0.000  0.20  0.00           C
ATOM      6  CA BPRO A   3       7.600   0.500   0.000  0.60  0.00           C
ATOM      7  CA  CYX A   4      11.400   0.000   0.000  1.00  0.00           C
ATOM      8  O   WAT A 902      40.000   0.000   0.000  1.00  0.00           O
ATOM      9  CA  ASH A   5      15.200   0.000   0.000  1.00  0.00           C
ATOM     10  CA  GLH A   6      19.000   0.000   0.000  1.00  0.00           C
ATOM     11 NA   SOD A 903      50.000   0.000   0.000  1.00  0.00          NA
ATOM     12  CA  LYN A   7      22.800   0.000   0.000  1.00  0.00           C
ATOM     13  CA  HIP A   8      26.600   0.000   0.000  1.00  0.00           C
ATOM     14  CH3 NME A   9      28.000   0.000   0.000  1.00  0.00           C
END
"""

# Two models; the second has no C-alpha for LYS 2.
TWO_MODELS_CIF = (TOP / "tests" / "data" / "two_models.cif").read_text()


def read(path, chain=None, gaps="stop"):
    notes = []
    sequence, models = read_ca_trace(path, chain, warn=notes.append, gaps=gaps)
    return sequence, models, "\n".join(notes)


def old_format_pdb():
    """1L2Y's C-alpha atoms as a PDB file of the 1980s: card numbers in columns 73-80."""
    lines = [line[:72].ljust(72) for line in TRPCAGE_PDB.read_text().splitlines()
             if line.startswith(("MODEL", "ENDMDL")) or (line.startswith("ATOM") and line[12:16] == " CA ")]
    return "".join(f"{line}1L2Y{number:4d}\n" for number, line in enumerate(lines, 1)) + "END\n"


FILES = {
    "gzipped BinaryCIF": ("trace.bcif.gz", lambda: TRPCAGE_BCIF_GZ.read_bytes()),
    "BinaryCIF": ("trace.bcif", lambda: gzip.decompress(TRPCAGE_BCIF_GZ.read_bytes())),
    "bzip2 PDB": ("1l2y.pdb.bz2", lambda: bz2.compress(TRPCAGE_PDB.read_bytes())),
    "mmCIF as .pdbx": ("1l2y.pdbx",
                       lambda: gemmi.read_structure(str(TRPCAGE_PDB)).make_mmcif_document().as_string().encode()),
    "mmJSON": ("1l2y.json", lambda: gemmi.read_structure(str(TRPCAGE_PDB)).make_mmcif_document()
               .as_json(mmjson=True).encode()),
    "PDB as .txt": ("1l2y.txt", lambda: TRPCAGE_PDB.read_bytes()),
    "old PDB, no extension": ("1l2y", lambda: old_format_pdb().encode()),
}


@pytest.mark.parametrize("name, make", FILES.values(), ids=FILES.keys())
def test_every_format_reads_as_the_bundled_trace(tmp_path, trpcage, name, make):
    path = tmp_path / name
    path.write_bytes(make())
    sequence, models, notes = read(path)
    assert (sequence, models) == (trpcage["sequence"], trpcage["models"])
    assert ("old-format PDB" in notes) == (name == "1l2y")
    assert load_protein(path).models == trpcage["models"]  # a .json that is no trace goes to the reader too


def test_awkward_residues_are_handled_and_reported(tmp_path):
    path = tmp_path / "awkward.pdb"
    path.write_text(AWKWARD_PDB)
    sequence, [model], notes = read(path, gaps="bridge")
    # TRP 53 (no C-alpha) is left out; MSE and HYP take their parents' codes, ZZQ is X; ILE 57 is
    # the alternative to LEU 57 (equal occupancy: the first) and is left out.
    assert sequence == "GASKMPXLE"
    assert model[1] == [4.8, 1.0, 0.0]  # the location of higher occupancy
    assert model[7] == [27.6, 0.0, 0.0]
    for reported in ["chain A read", "1 chain B", "TRP 53", "ALA 51", "kept B", "LYS 52A", "ILE 57",
                     "MSE 54", "HYP 55", "ZZQ 56", "LEU 57 and GLU 58 (8.4 A)"]:
        assert reported in notes, reported
    assert "NAG" not in notes and "HOH" not in notes and "LYS 301" not in notes
    assert read(path, chain="B")[:2] == ("AC", [[[0.0, 5.0, 0.0], [3.8, 5.0, 0.0]]])
    with pytest.raises(ValueError, match="no chain 'Z'; its chains are A, B"):
        read(path, chain="Z")
    # The table has no X: the refusal names the residue, where it is, and what to do.
    trace = read_trace(path, gaps="bridge", warn=lambda message: None)
    with pytest.raises(SystemExit, match=r"ZZQ 56 of chain A \(residue 7 of 9, read as X\)\. Give the residue"):
        require_energies(Protein("awkward", trace.sequence, trace.models, trace.residues, trace.chain),
                         {a: {b: -1.0 for b in "ACDEFGHIKLMNPQRSTVWY"} for a in "ACDEFGHIKLMNPQRSTVWY"})


def test_simulation_names_caps_waters_and_point_mutations(tmp_path):
    path = tmp_path / "md_frame.pdb"
    path.write_text(SIMULATION_PDB)
    sequence, [model], notes = read(path)
    assert sequence == "HHPCDEKH"
    assert model[2] == [7.6, 0.5, 0.0]  # PRO 3 at occupancy 0.60 over SER 3 at 0.20
    for reported in ["2 capping groups left out (not amino acids): ACE 0, NME 9",
                     "SER 3 (occupancy 0.20; kept PRO 3 at 0.60)", "HSD 1 (force-field name, read as H)",
                     "CYX 4", "ASH 5", "GLH 6", "LYN 7", "HIP 8"]:
        assert reported in notes, reported
    assert not any(word in notes for word in ("HOH", "WAT", "SOD", "gap", "C-alpha"))


def test_a_gap_stops_unless_split_or_bridged(tmp_path):
    # A residue missing in one model leaves MET 1 and PHE 3 7.6 A apart.
    path = tmp_path / "two.cif"
    path.write_text(TWO_MODELS_CIF)
    with pytest.raises(ChainBreak, match=r"1 gap in the chain .* between MET 1 and PHE 3 \(7\.6 A\)\. .*"
                                         r"gaps='split' .*gaps='bridge'"):
        read(path)
    sequence, models, notes = read(path, gaps="bridge")
    assert sequence == "MF"
    assert models == [[[0.0, 0.0, 0.0], [7.6, 0.0, 0.0]], [[0.0, 0.5, 0.0], [7.6, 0.5, 0.0]]]
    assert "LYS 2" in notes and "joined as if bonded" in notes
    awkward = tmp_path / "awkward.pdb"
    awkward.write_text(AWKWARD_PDB)
    sequence, [model], notes = read(awkward, gaps="split")
    assert sequence == "GASKMPXL" and len(model) == 8
    assert "GLY 50-LEU 57 (8 residues), GLU 58-GLU 58 (1 residue): kept the longest, GLY 50-LEU 57" in notes


def test_the_script_counts_in_words_and_refuses_clearly(tmp_path):
    path = tmp_path / "two.cif"
    path.write_text(TWO_MODELS_CIF)
    script = [sys.executable, str(TOP / "examples" / "structures.py"), str(path)]
    out = subprocess.run([*script, "--gaps", "bridge"], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0 and "2 residues, 2 models" in out.stdout
    one = tmp_path / "one.pdb"
    one.write_text(AWKWARD_PDB.replace("ATOM     18", "REMARK   18"))
    out = subprocess.run([sys.executable, str(TOP / "examples" / "structures.py"), str(one), "--chain", "B"],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0 and "1 residue, 1 model\n" in out.stdout
    out = subprocess.run(script, capture_output=True, text=True, timeout=120)
    assert out.returncode == 1 and out.stderr.splitlines()[-1].startswith("error: ") and "--gaps split" in out.stderr
    assert "Traceback" not in out.stderr
