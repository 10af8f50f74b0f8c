"""What the examples share: the bundled data, loading a protein, reproducible seeds."""

from __future__ import annotations

import json
import pathlib
import sys
from typing import NamedTuple

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
TRPCAGE_PDB = DATA / "1l2y.pdb"
TRPCAGE_JSON = DATA / "1l2y_ca.json"
MJ_ENERGIES = DATA / "mj1996_contact_energies.json"

LATTICES = ("tetrahedral", "fcc", "bcc", "cubic")

# Contacts as the examples count them: residues i < j with j - i >= KMIN whose C-alpha atoms are
# at most DMAX apart. At 3.8 angstrom steps every i, i+1 and i, i+2 pair of a lattice walk lies
# within 7.8 angstrom (7.6 at most), so kmin=1 (tarvex's default) adds the same bonded pairs to
# every walk; kmin=3 counts the non-bonded contacts alone, as the potentials were fitted.
KMIN, DMAX = 3, 7.8

# What the structure reader does with a gap in a chain: stop, keep the longest piece, or join them.
GAP_CHOICES = ("stop", "split", "bridge")


class Protein(NamedTuple):
    """A protein as the examples analyse it: one chain's sequence, models and residue names."""

    name: str
    sequence: str
    models: list[list[list[float]]]
    residues: list[str]  # the file's name and number of each residue ("HSD 12"), for messages
    chain: str | None = None


def plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}" if count == 1 else f"{count:,} {noun}s"


def note(message: str) -> None:
    print(f"note: {message}", file=sys.stderr)


def load_energies(path: str | pathlib.Path = MJ_ENERGIES) -> dict[str, dict[str, float]]:
    """A contact-energy table (the Miyazawa-Jernigan one by default)."""
    return json.loads(pathlib.Path(path).read_text())


def load_protein(path: str | pathlib.Path = TRPCAGE_JSON, chain: str | None = None, gaps: str = "stop") -> Protein:
    """One chain of a structure file, or a trace saved as JSON like data/1l2y_ca.json.

    The reader's notes about the file (left-out residues, non-standard ones...) go to stderr; a file
    it cannot use raises ValueError (or OSError) with a message that says what to do.
    """
    path = pathlib.Path(path)
    name = path.name.split(".")[0]
    if len(name) == 4 and name[0].isdigit():
        name = name.upper()  # a PDB entry's identifier
    if path.suffix == ".json":
        trace = json.loads(path.read_text())
        if "sequence" in trace:  # else mmJSON, a structure file
            sequence = trace["sequence"]
            return Protein(name, sequence, trace["models"], [f"{letter} {i + 1}" for i, letter in enumerate(sequence)])
    from structures import read_trace  # gemmi is needed only for structure files

    trace = read_trace(path, chain, gaps=gaps, warn=note)
    return Protein(name, trace.sequence, trace.models, trace.residues, trace.chain)


def require_energies(protein: Protein, energies: dict[str, dict[str, float]]) -> None:
    """Stops with a message naming the residues the table has no energy for, and what to do."""
    missing = [i for i, letter in enumerate(protein.sequence) if letter not in energies]
    if missing:
        chain = f" of chain {protein.chain}" if protein.chain else ""
        named = ", ".join(f"{protein.residues[i]}{chain} (residue {i + 1} of {len(protein.sequence)}, "
                          f"read as {protein.sequence[i]})" for i in missing[:8])
        more = f" and {len(missing) - 8} more" if len(missing) > 8 else ""
        sys.exit(f"error: {protein.name}: the contact energies have no entry for {named}{more}. Give the "
                 "residue its parent amino acid's name in the file, add its letter to the table, or choose "
                 "another chain")


def read_protein(structure: str, chain: str | None, gaps: str) -> tuple[Protein, dict[str, dict[str, float]]]:
    """A command line's protein and the Miyazawa-Jernigan table, stopping with the reader's message."""
    try:
        protein = load_protein(structure, chain, gaps)
    except (OSError, ValueError) as error:
        sys.exit(f"error: {error}")
    energies = load_energies()
    require_energies(protein, energies)
    return protein, energies


def spawn_seeds(master: int, count: int, stream: int = 0) -> list[int]:
    """count independent seeds for tarvex.seed, derived from one master seed.

    Each task seeds its own thread with its own seed, so the results depend neither on which
    worker runs which task nor on the order they run in. Different streams of one master seed
    are independent of each other (a sweep's tasks and a large sample's chains).
    """
    import numpy as np

    children = np.random.SeedSequence(master, spawn_key=(stream,)).spawn(count)
    return [int.from_bytes(child.generate_state(8, np.uint32).tobytes(), "little") for child in children]
