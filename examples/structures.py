"""C-alpha traces of structure files, read with gemmi, in the form tarvex takes.

    from structures import read_ca_trace, read_trace
    sequence, models = read_ca_trace("data/1l2y.pdb")            # the first protein chain
    sequence, models = read_ca_trace("1abc.cif.gz", chain="B")
    trace = read_trace("model.pdb", gaps="split")                  # .residues names each residue

`sequence` holds one-letter codes and `models` one list of [x, y, z] points (angstrom, as in
the file) per model, one point per residue of `sequence`. Any PDB, mmCIF (.cif, .pdbx),
mmJSON or BinaryCIF (.bcif) file is read, whatever its name or extension, compressed with
gzip, bzip2 or xz or not. What a reader has to decide on a real file is decided as a
structural biologist expects, and every such decision is reported as a StructureWarning
naming the residues, so that no residue is ever shifted silently:

- Only the chain's amino acids count: waters (HOH, WAT, TIP3, SOL...), ions and ligands are
  left out without a note, wherever they stand in the chain; capping groups (ACE, FOR, NME,
  NMA, NH2, NHE) are left out with one.
- A non-standard amino acid takes the code of its parent (MSE -> M, HYP -> P, SEP -> S), and
  so do force-field names (HSD, HSE, HSP, HID, HIE, HIP -> H, CYX, CYM -> C, ASH -> D, GLH ->
  E, LYN -> K...); one without a known parent becomes X (a contact-energy table has no X:
  give it an energy, or use a cost function).
- A residue without a C-alpha atom in some model is left out of every model.
- Consecutive C-alpha atoms more than 4.2 angstrom apart (in any model) are a gap in the chain,
  which a lattice walk cannot represent: reading stops with an error naming the residues
  unless gaps="split" (keep the longest piece without a gap) or gaps="bridge" (join the
  pieces as if they were bonded) is asked for.
- Of alternate locations of a C-alpha, the one of highest occupancy is kept; so is the residue
  of highest occupancy among alternative residues at one position (microheterogeneity); the
  first on a tie. Of C-alpha atoms without labels in one residue (a residue number used
  twice), the first.
- Insertion codes (52, 52A, 52B) are separate residues, in the order of the file.
- Old PDB files whose columns 73-80 hold card numbers are read without those columns.

Run as a script, it prints what it reads: python examples/structures.py FILE [--chain A].
"""

from __future__ import annotations

import argparse
import bz2
import gzip
import lzma
import math
import pathlib
import sys
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import gemmi
from binarycif import is_binary_cif, read_binary_cif
from common import GAP_CHOICES, plural

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"

# Consecutive C-alpha atoms of a chain are 3.8 angstrom apart (2.9 for a cis peptide); NMR
# models stretch that a little, a missing residue leaves at least ~5.5.
CHAIN_BREAK = 4.2

# Names that molecular-dynamics force fields (CHARMM, AMBER, GROMACS, OPLS) give to protonation
# and bonding states of the standard amino acids; the PDB's component dictionary knows none of them.
FORCE_FIELD_NAMES = {
    **dict.fromkeys(["HSD", "HSE", "HSP", "HID", "HIE", "HIP", "HIN", "HISD", "HISE", "HISH", "HISA", "HISB",
                     "HIS1", "HIS2"], "H"),
    **dict.fromkeys(["CYX", "CYM", "CYN", "CYS1", "CYS2", "CYSH"], "C"),
    **dict.fromkeys(["ASH", "ASPH", "ASPP"], "D"),
    **dict.fromkeys(["GLH", "GLUH", "GLUP"], "E"),
    **dict.fromkeys(["LYN", "LSN", "LYSN", "LYSH", "LYP"], "K"),
    "ARN": "R", "TYM": "Y",
}
CAPPING_GROUPS = {"ACE", "FOR", "NME", "NMA", "NH2", "NHE"}
WATERS = {"HOH", "DOD", "H2O", "D2O", "WAT", "SOL", "TIP", "TIP3", "TIP4", "TIP5", "T3P", "T4P", "T5P", "SPC",
          "SPCE", "OPC"}

Point = list[float]


class StructureWarning(UserWarning):
    """A decision the reader took about the residues of a file."""


class ChainBreak(ValueError):
    """The chain has a gap that a lattice walk cannot bridge, and no way of going on was chosen."""


@dataclass(frozen=True)
class Trace:
    """The C-alpha trace of one chain: what tarvex takes, and which residue each point is."""

    sequence: str
    models: list[list[Point]]
    residues: list[str]  # "HSD 12", "LYS 52A": the file's name and number of each residue
    chain: str

    def where(self, index: int) -> str:
        """Where residue `index` (0-based) of the trace is, in the file's terms."""
        return f"{self.residues[index]} of chain {self.chain} (residue {index + 1} of {len(self.sequence)})"


def residue_label(residue: Any) -> str:
    return f"{residue.name} {residue.seqid.num}{residue.seqid.icode.strip()}"


def listing(labels: list[str], limit: int = 8) -> str:
    shown = ", ".join(labels[:limit])
    return shown if len(labels) <= limit else f"{shown} and {len(labels) - limit} more"


def one_letter_code(name: str) -> tuple[str | None, str | None]:
    """The one-letter code of a residue name (None: not an amino acid), and why it is not the plain one."""
    info = gemmi.find_tabulated_residue(name)
    if info is not None and info.is_amino_acid() and info.is_standard():
        code = info.one_letter_code.upper()
        return code, "unknown amino acid, read as X" if code == "X" else None
    if name in FORCE_FIELD_NAMES:
        return FORCE_FIELD_NAMES[name], f"force-field name, read as {FORCE_FIELD_NAMES[name]}"
    if info is None or info.kind == gemmi.ResidueKind.UNKNOWN:
        return "X", "unknown residue, read as X"
    if not info.is_amino_acid():
        return None, None
    # gemmi writes the parent's code in lower case for a modified amino acid,
    # and a space when it has none.
    code = info.one_letter_code
    if code.strip():
        return code.upper(), f"non-standard, read as its parent {code.upper()}"
    return "X", "non-standard without a parent amino acid, read as X"


def _decompressed(data: bytes) -> bytes:
    # Recognised by content, not by name: a file called .pdb may well be gzipped.
    if data[:2] == b"\x1f\x8b":
        return gzip.decompress(data)
    if data[:3] == b"BZh":
        return bz2.decompress(data)
    if data[:6] == b"\xfd7zXZ\x00":
        return lzma.decompress(data)
    return data


def load_structure(path: str | pathlib.Path, report: Callable[[str], None]) -> gemmi.Structure:
    """Any coordinate file gemmi or BinaryCIF can hold, whatever its name says."""
    data = _decompressed(pathlib.Path(path).read_bytes())
    if is_binary_cif(data):
        structure = gemmi.make_structure_from_block(read_binary_cif(data).sole_block())
        structure.merge_chain_parts()
        return structure
    try:
        return gemmi.read_structure_string(data, format=gemmi.CoorFormat.Detect)
    except RuntimeError as error:
        if data.lstrip()[:5].lower() == b"data_" or data.lstrip()[:1] == b"{":
            raise ValueError(f"{path}: {error}") from None
        # PDB files from before 1996 number their lines in columns 73-80, where the element
        # and charge now stand; the coordinates and names all lie in the first 72 columns.
        try:
            structure = gemmi.read_pdb_string(data, max_line_length=72)
        except RuntimeError:
            raise ValueError(f"{path}: {error}") from None
        report(f"{path}: read as an old-format PDB file, columns 73-80 (card numbers) ignored ({error})")
        return structure


@dataclass
class _Residue:
    """What the reader decided about one residue of the chosen chain (in the first model)."""

    key: tuple[int, str, str]
    label: str
    code: str
    note: str | None


def _ca_atoms(residue: Any) -> list[Any]:
    return [atom for atom in residue if atom.name == "CA"]


def _ca_position(residue: Any) -> tuple[Point | None, str | None, float]:
    """The C-alpha of a residue (the highest-occupancy alternate location), a note, its occupancy."""
    atoms = _ca_atoms(residue)
    if not atoms:
        return None, None, 0.0
    if len(atoms) == 1:
        return atoms[0].pos.tolist(), None, atoms[0].occ
    label = residue_label(residue)
    if any(atom.altloc == "\0" for atom in atoms):
        # gemmi merges atoms of one residue number into one residue: two C-alpha
        # atoms without labels are two residues numbered alike, not two locations.
        return atoms[0].pos.tolist(), (f"{label} ({len(atoms)} C-alpha atoms without alternate-location "
                                       "labels, a residue number used twice? kept the first)"), atoms[0].occ
    best = max(atoms, key=lambda atom: atom.occ)  # max keeps the first of equal values
    return (best.pos.tolist(), f"{label} ({len(atoms)} locations, kept {best.altloc} at occupancy {best.occ:.2f})",
            best.occ)


def _occupancy(residue: Any) -> float:
    return _ca_position(residue)[2]


def _is_water(residue: Any) -> bool:
    return residue.is_water() or residue.name in WATERS


def _amino_acids(chain: Any) -> tuple[list[tuple[Any, str, str | None]], list[str], list[str]]:
    """The chain's amino acids in file order (residue, code, note), the capping groups left out, and
    the alternative residues left out.

    Waters and ligands may stand anywhere in a chain (an MD snapshot, a file without TER records),
    so each residue is judged by its own name and atoms rather than by where gemmi's polymer ends.
    """
    candidates: list[tuple[Any, str, str | None]] = []
    named: list[bool] = []  # whether each candidate's name is a known amino acid's
    caps: list[str] = []
    for residue in chain:
        if _is_water(residue):
            continue
        if residue.name in CAPPING_GROUPS:
            caps.append(residue_label(residue))
            continue
        code, note = one_letter_code(residue.name)
        if code is None:
            continue  # an ion, a sugar, a ligand
        candidates.append((residue, code, note))
        info = gemmi.find_tabulated_residue(residue.name)
        named.append(residue.name in FORCE_FIELD_NAMES or (info is not None and info.is_amino_acid()))
    # After the last residue gemmi counts as polymer, a HETATM amino acid is a ligand (a free
    # amino acid beside the chain); before it, even one gemmi split off behind a water is chain.
    polymer = [i for i, entry in enumerate(candidates) if entry[0].entity_type == gemmi.EntityType.Polymer]
    end = polymer[-1] + 1 if polymer else len(candidates)
    ligand = [i >= end and entry[0].het_flag == "H" for i, entry in enumerate(candidates)]
    # An unknown name is an amino acid only with a C-alpha and within the chain: a ligand that
    # happens to have an atom called CA sits after it.
    known = [i for i, is_named in enumerate(named) if is_named and not ligand[i]]
    span = range(known[0], known[-1] + 1) if known else range(0)
    kept = [entry for i, entry in enumerate(candidates) if not ligand[i] and (
            named[i] or (_ca_atoms(entry[0]) and (i in span or entry[0].entity_type == gemmi.EntityType.Polymer)))]
    # Alternative residues at one position (microheterogeneity): the one whose C-alpha has the
    # highest occupancy, the first on a tie.
    chosen: list[tuple[Any, str, str | None]] = []
    alternatives: list[str] = []
    for entry in kept:
        if not chosen or entry[0].seqid != chosen[-1][0].seqid:
            chosen.append(entry)
            continue
        dropped = entry
        if _occupancy(entry[0]) > _occupancy(chosen[-1][0]):
            chosen[-1], dropped = entry, chosen[-1]
        alternatives.append(f"{residue_label(dropped[0])} (occupancy {_occupancy(dropped[0]):.2f}; kept "
                            f"{residue_label(chosen[-1][0])} at {_occupancy(chosen[-1][0]):.2f})")
    return chosen, caps, alternatives


def _protein_chains(model: Any) -> list[str]:
    """The chains with an amino acid that has a C-alpha atom."""
    return [chain.name for chain in model
            if any(_ca_atoms(residue) for residue, _, _ in _amino_acids(chain)[0])]


def _breaks(models: list[list[Point]]) -> list[tuple[int, float]]:
    """(i, distance) for each pair i, i + 1 of points further apart than a peptide bond in some model."""
    found = []
    for i in range(len(models[0]) - 1):
        distance = max(math.dist(model[i], model[i + 1]) for model in models)
        if distance > CHAIN_BREAK:
            found.append((i, distance))
    return found


def read_trace(path: str | pathlib.Path, chain: str | None = None, *, gaps: str = "stop",
               warn: Callable[[str], None] | None = None) -> Trace:
    """The C-alpha trace of every model of one chain, with the name of each residue.

    chain: the chain's name (author chain id); by default the first chain with amino acids.
    gaps: what to do when the chain has a gap: "stop" (raise ChainBreak, the default), "split"
    (keep the longest piece without one) or "bridge" (join the pieces).
    warn: called with each report; by default warnings.warn(..., StructureWarning).
    Raises ValueError when the file cannot be read or the chain does not exist or holds no C-alpha atom.
    """
    if gaps not in GAP_CHOICES:
        raise ValueError(f"gaps={gaps!r}: choose one of {', '.join(GAP_CHOICES)}")
    report = warn if warn is not None else (
        lambda message: warnings.warn(message, StructureWarning, stacklevel=3))
    structure = load_structure(path, report)
    # PDB files carry no polymer/ligand/water labels; gemmi infers them.
    structure.setup_entities()
    if len(structure) == 0:
        raise ValueError(f"{path}: no model (is it a structure file?)")
    first = structure[0]
    proteins = _protein_chains(first)
    if chain is None:
        if not proteins:
            raise ValueError(f"{path}: no chain with amino acids (is it a protein structure?)")
        chain = proteins[0]
        if len(proteins) > 1:
            report(f"{path}: chain {chain} read; the file also has {plural(len(proteins) - 1, 'chain')} "
                   f"{', '.join(proteins[1:])} (choose one with chain=, --chain)")
    elif first.find_chain(chain) is None:
        raise ValueError(f"{path}: no chain {chain!r}; its chains are "
                         f"{', '.join(c.name for c in first) or 'none'} (choose one of them with chain=, --chain)")
    where = f"{path} chain {chain}"

    # Residues are matched between models by number, insertion code and name.
    order: list[_Residue] = []
    per_model: list[dict[tuple[int, str, str], Point]] = []
    altlocs: list[str] = []
    for index, model in enumerate(structure):
        found = model.find_chain(chain)
        residues, caps, alternatives = _amino_acids(found) if found is not None else ([], [], [])
        positions: dict[tuple[int, str, str], Point] = {}
        for residue, code, note in residues:
            key = (residue.seqid.num, residue.seqid.icode, residue.name)
            position, location_note, _ = _ca_position(residue)
            if index == 0:
                order.append(_Residue(key, residue_label(residue), code, note))
                if location_note:
                    altlocs.append(location_note)
            if position is not None:
                positions[key] = position
        if index == 0:
            if caps:
                report(f"{where}: {plural(len(caps), 'capping group')} left out (not amino acids): {listing(caps)}")
            if alternatives:
                report(f"{where}: alternative residues at one position left out: {listing(alternatives)}")
        per_model.append(positions)

    missing = [r.label for r in order if any(r.key not in positions for positions in per_model)]
    kept = [r for r in order if all(r.key in positions for positions in per_model)]
    if not kept:
        raise ValueError(f"{where} has no residue with a C-alpha atom in every model (choose another chain "
                         "with chain=, --chain)")
    if missing:
        report(f"{where}: no C-alpha (in at least one model) for {listing(missing)}: left out of every model")
    if altlocs:
        report(f"{where}: several C-alpha atoms in a residue: {listing(altlocs)}")
    inserted = [r.label for r in kept if r.key[1].strip()]
    if inserted:
        report(f"{where}: {plural(len(inserted), 'residue')} with insertion codes, taken in file order: "
               f"{listing(inserted)}")
    unusual = [f"{r.label} ({r.note})" for r in kept if r.note]
    if unusual:
        report(f"{where}: {listing(unusual)}")

    models = [[positions[r.key] for r in kept] for positions in per_model]
    breaks = _breaks(models)
    if breaks:
        named = [f"{kept[i].label} and {kept[i + 1].label} ({distance:.1f} A)" for i, distance in breaks]
        found = (f"{where}: {plural(len(breaks), 'gap')} in the chain (consecutive C-alpha atoms more than "
                 f"{CHAIN_BREAK} A apart in some model): between {listing(named)}")
        if gaps == "stop":
            raise ChainBreak(f"{found}. A lattice walk is one unbroken chain: pass gaps='split' (--gaps split) to "
                             "keep the longest piece without a gap, gaps='bridge' (--gaps bridge) to join the pieces "
                             "as if bonded, or choose another chain")
        if gaps == "bridge":
            report(f"{found}; joined as if bonded (gaps='bridge')")
        else:
            starts = [0] + [i + 1 for i, _ in breaks]
            pieces = list(zip(starts, starts[1:] + [len(kept)]))
            start, end = max(pieces, key=lambda piece: piece[1] - piece[0])  # the first of equal lengths
            described = [f"{kept[a].label}-{kept[b - 1].label} ({plural(b - a, 'residue')})" for a, b in pieces]
            report(f"{found}; split into {listing(described)}: kept the longest, "
                   f"{kept[start].label}-{kept[end - 1].label} (gaps='split')")
            kept, models = kept[start:end], [model[start:end] for model in models]
    return Trace("".join(r.code for r in kept), models, [r.label for r in kept], chain)


def read_ca_trace(path: str | pathlib.Path, chain: str | None = None,
                  warn: Callable[[str], None] | None = None, *, gaps: str = "stop") -> tuple[str, list[list[Point]]]:
    """(sequence, models) of read_trace: the one-letter sequence and the C-alpha coordinates of every model."""
    trace = read_trace(path, chain, gaps=gaps, warn=warn)
    return trace.sequence, trace.models


def main() -> None:
    parser = argparse.ArgumentParser(description="Print the C-alpha trace tarvex would get from a structure file.")
    parser.add_argument("structure", nargs="?", default=str(DATA / "1l2y.pdb"),
                        help="PDB, mmCIF or BinaryCIF file, compressed or not (default: the bundled Trp-cage, 1L2Y)")
    parser.add_argument("--chain", help="chain name (default: the first chain with amino acids)")
    parser.add_argument("--gaps", choices=GAP_CHOICES, default="stop",
                        help="a gap in the chain: stop with an error (default), split (keep the longest piece) "
                             "or bridge (join the pieces)")
    parser.add_argument("--quick", action="store_true", help="accepted like every example's; changes nothing here")
    args = parser.parse_args()
    try:
        trace = read_trace(args.structure, args.chain, gaps=args.gaps,
                           warn=lambda message: print(f"note: {message}", file=sys.stderr))
    except (OSError, ValueError) as error:
        sys.exit(f"error: {error}")
    print(f"{args.structure} chain {trace.chain}: {plural(len(trace.sequence), 'residue')}, "
          f"{plural(len(trace.models), 'model')}")
    print(trace.sequence)


if __name__ == "__main__":
    main()
