"""What the examples share: the bundled data, loading a protein, reproducible seeds."""

from __future__ import annotations

import json
import pathlib
import sys

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
TRPCAGE_PDB = DATA / "1l2y.pdb"
TRPCAGE_JSON = DATA / "1l2y_ca.json"
MJ_ENERGIES = DATA / "mj1996_contact_energies.json"

LATTICES = ("tetrahedral", "fcc", "bcc", "cubic")


def note(message: str) -> None:
    print(f"note: {message}", file=sys.stderr)


def load_energies(path: str | pathlib.Path = MJ_ENERGIES) -> dict[str, dict[str, float]]:
    """A contact-energy table (the Miyazawa-Jernigan one by default)."""
    return json.loads(pathlib.Path(path).read_text())


def load_protein(path: str | pathlib.Path = TRPCAGE_JSON,
                 chain: str | None = None) -> tuple[str, str, list[list[list[float]]]]:
    """(name, sequence, models) of a structure file, or of a trace saved as JSON like data/1l2y_ca.json.

    The reader's notes about the file (left-out residues, non-standard ones...) go to stderr.
    """
    path = pathlib.Path(path)
    name = path.name.split(".")[0]
    if len(name) == 4 and name[0].isdigit():
        name = name.upper()  # a PDB entry's identifier
    if path.suffix == ".json":
        trace = json.loads(path.read_text())
        return name, trace["sequence"], trace["models"]
    from structures import read_ca_trace  # gemmi is needed only for structure files

    sequence, models = read_ca_trace(path, chain, warn=note)
    return name, sequence, models


def require_energies(seq: str, energies: dict[str, dict[str, float]]) -> None:
    """Stops with a clear message when the table has no energy for a residue of seq."""
    unknown = sorted(set(seq) - set(energies))
    if unknown:
        sys.exit(f"error: the contact energies have no entry for {', '.join(unknown)} "
                 "(a residue the structure reader could not name is X; see its notes)")


def spawn_seeds(master: int, count: int, stream: int = 0) -> list[int]:
    """count independent seeds for tarvex.seed, derived from one master seed.

    Each task seeds its own thread with its own seed, so the results depend neither on which
    worker runs which task nor on the order they run in. Different streams of one master seed
    are independent of each other (a sweep's tasks and a large sample's chains).
    """
    import numpy as np

    children = np.random.SeedSequence(master, spawn_key=(stream,)).spawn(count)
    return [int.from_bytes(child.generate_state(8, np.uint32).tobytes(), "little") for child in children]
