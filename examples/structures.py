"""C-alpha traces of PDB and mmCIF files, read with gemmi, in the form tarvex takes.

    from structures import read_ca_trace
    sequence, models = read_ca_trace("data/1l2y.pdb")            # the first protein chain
    sequence, models = read_ca_trace("1abc.cif.gz", chain="B")

`sequence` holds one-letter codes and `models` one list of [x, y, z] points (angstrom, as in
the file) per model, one point per residue of `sequence`. What a reader has to decide on a
real file is decided as a structural biologist expects, and every such decision is reported
as a StructureWarning naming the residues, so that no residue is ever shifted silently:

- Only the chain's polymer residues count: waters and ligands are left out.
- A non-standard amino acid takes the code of its parent (MSE -> M, HYP -> P, SEP -> S);
  one that gemmi's table does not know becomes X (a contact-energy table has no X: give it
  an energy, or use a cost function).
- A residue without a C-alpha atom in some model is left out of every model; the trace then
  has a gap there, and so does any pair of consecutive C-alpha atoms further apart than a
  peptide bond allows.
- Of alternate locations of a C-alpha, the one of highest occupancy is kept (the first on a
  tie); of alternative residues at one position (microheterogeneity), the first; of C-alpha
  atoms without labels in one residue (a residue number used twice), the first.
- Insertion codes (52, 52A, 52B) are separate residues, in the order of the file.

Run as a script, it prints what it reads: python examples/structures.py FILE [--chain A].
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys
import warnings
from collections.abc import Callable
from typing import Any

import gemmi

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"

# Consecutive C-alpha atoms of a chain are 3.8 angstrom apart (2.9 for a cis
# peptide); anything beyond this is a break in the chain.
CHAIN_BREAK = 4.3

Point = list[float]


class StructureWarning(UserWarning):
    """A decision the reader took about the residues of a file."""


def _residue_label(residue: Any) -> str:
    return f"{residue.name} {residue.seqid.num}{residue.seqid.icode.strip()}"


def _listing(labels: list[str], limit: int = 8) -> str:
    shown = ", ".join(labels[:limit])
    return shown if len(labels) <= limit else f"{shown} and {len(labels) - limit} more"


def one_letter_code(name: str) -> tuple[str, str | None]:
    """The one-letter code of a residue name, and why it is not the plain one (or None)."""
    info = gemmi.find_tabulated_residue(name)
    if info is None or not info.is_amino_acid():
        return "X", "unknown residue, read as X"
    code = info.one_letter_code
    if info.is_standard():
        return code.upper(), None
    # gemmi writes the parent's code in lower case for a modified amino acid,
    # and a space when it has none.
    if code.strip():
        return code.upper(), f"non-standard, read as its parent {code.upper()}"
    return "X", "non-standard without a parent amino acid, read as X"


def _ca_position(residue: Any) -> tuple[Point | None, str | None]:
    """The C-alpha of a residue (the highest-occupancy alternate location) and a note."""
    atoms = [atom for atom in residue if atom.name == "CA"]
    if not atoms:
        return None, None
    if len(atoms) == 1:
        return atoms[0].pos.tolist(), None
    label = _residue_label(residue)
    if any(atom.altloc == "\0" for atom in atoms):
        # gemmi merges atoms of one residue number into one residue: two C-alpha
        # atoms without labels are two residues numbered alike, not two locations.
        return atoms[0].pos.tolist(), (f"{label} ({len(atoms)} C-alpha atoms without alternate-location "
                                       "labels, a residue number used twice? kept the first)")
    best = max(atoms, key=lambda atom: atom.occ)  # max keeps the first of equal values
    return best.pos.tolist(), f"{label} ({len(atoms)} locations, kept {best.altloc} at occupancy {best.occ:.2f})"


def _polymer_residues(chain: Any) -> tuple[list[Any], list[str]]:
    """The chain's polymer residues, first conformers only, and the alternatives left out."""
    kept: list[Any] = []
    dropped: list[str] = []
    for residue in chain.get_polymer():
        if kept and residue.seqid == kept[-1].seqid:
            dropped.append(f"{_residue_label(residue)} (alternative to {kept[-1].name})")
        else:
            kept.append(residue)
    return kept, dropped


def _protein_chains(model: Any) -> list[str]:
    """The chains with a polymer residue that has a C-alpha atom."""
    return [chain.name for chain in model
            if any(_ca_position(residue)[0] is not None for residue in chain.get_polymer())]


def read_ca_trace(path: str | pathlib.Path, chain: str | None = None,
                  warn: Callable[[str], None] | None = None) -> tuple[str, list[list[Point]]]:
    """The one-letter sequence and the C-alpha coordinates of every model of one chain.

    chain: the chain's name (author chain id); by default the first chain with amino acids.
    warn: called with each report; by default warnings.warn(..., StructureWarning).
    Raises ValueError when the chain does not exist or holds no C-alpha atom.
    """
    report = warn if warn is not None else (
        lambda message: warnings.warn(message, StructureWarning, stacklevel=3))
    structure = gemmi.read_structure(str(path))
    # PDB files carry no polymer/ligand/water labels; gemmi infers them.
    structure.setup_entities()
    if len(structure) == 0:
        raise ValueError(f"{path}: no model")
    first = structure[0]
    proteins = _protein_chains(first)
    if chain is None:
        if not proteins:
            raise ValueError(f"{path}: no chain with amino acids")
        chain = proteins[0]
        if len(proteins) > 1:
            report(f"{path}: chain {chain} read; the file also has chains {', '.join(proteins[1:])} "
                   "(choose one with chain=)")
    elif first.find_chain(chain) is None:
        raise ValueError(f"{path}: no chain {chain!r}; its chains are "
                         f"{', '.join(c.name for c in first) or 'none'}")

    # Residues are matched between models by number, insertion code and name.
    per_model: list[dict[tuple[int, str, str], Point]] = []
    order: list[tuple[int, str, str]] = []
    labels: dict[tuple[int, str, str], str] = {}
    names: dict[tuple[int, str, str], str] = {}
    altlocs: list[str] = []
    alternatives: list[str] = []
    for index, model in enumerate(structure):
        found = model.find_chain(chain)
        residues, dropped = _polymer_residues(found) if found is not None else ([], [])
        positions: dict[tuple[int, str, str], Point] = {}
        for residue in residues:
            key = (residue.seqid.num, residue.seqid.icode, residue.name)
            position, note = _ca_position(residue)
            if index == 0:
                order.append(key)
                labels[key] = _residue_label(residue)
                names[key] = residue.name
                if note:
                    altlocs.append(note)
            if position is not None:
                positions[key] = position
        if index == 0:
            alternatives = dropped
        per_model.append(positions)

    missing = [key for key in order if any(key not in positions for positions in per_model)]
    kept = [key for key in order if all(key in positions for positions in per_model)]
    if not kept:
        raise ValueError(f"{path}: chain {chain} has no residue with a C-alpha atom in every model")

    where = f"{path} chain {chain}"
    if missing:
        report(f"{where}: no C-alpha (in at least one model) for {_listing([labels[k] for k in missing])}: "
               "left out of every model, so the trace has a gap there")
    if alternatives:
        report(f"{where}: alternative residues left out: {_listing(alternatives)}")
    if altlocs:
        report(f"{where}: several C-alpha atoms in a residue: {_listing(altlocs)}")
    inserted = [labels[k] for k in kept if k[1].strip()]
    if inserted:
        report(f"{where}: residues with insertion codes, taken in file order: {_listing(inserted)}")

    letters = []
    unusual: list[str] = []
    for key in kept:
        letter, note = one_letter_code(names[key])
        letters.append(letter)
        if note:
            unusual.append(f"{labels[key]} ({note})")
    if unusual:
        report(f"{where}: {_listing(unusual)}")

    models = [[positions[key] for key in kept] for positions in per_model]
    breaks = [f"{labels[a]}-{labels[b]} ({math.dist(p, q):.1f} A)"
              for a, b, p, q in zip(kept, kept[1:], models[0], models[0][1:])
              if math.dist(p, q) > CHAIN_BREAK]
    if breaks:
        report(f"{where}: chain breaks (consecutive C-alpha atoms more than {CHAIN_BREAK} A apart) in the "
               f"first model: {_listing(breaks)}")
    return "".join(letters), models


def main() -> None:
    parser = argparse.ArgumentParser(description="Print the C-alpha trace tarvex would get from a structure file.")
    parser.add_argument("structure", nargs="?", default=str(DATA / "1l2y.pdb"),
                        help="PDB or mmCIF file (default: the bundled Trp-cage, 1L2Y)")
    parser.add_argument("--chain", help="chain name (default: the first chain with amino acids)")
    parser.add_argument("--quick", action="store_true", help="accepted like every example's; changes nothing here")
    args = parser.parse_args()
    try:
        sequence, models = read_ca_trace(args.structure, args.chain,
                                         warn=lambda message: print(f"note: {message}", file=sys.stderr))
    except (OSError, ValueError, RuntimeError) as error:
        sys.exit(f"error: {error}")
    print(f"{args.structure}: {len(sequence)} residues, {len(models)} models")
    print(sequence)


if __name__ == "__main__":
    main()
