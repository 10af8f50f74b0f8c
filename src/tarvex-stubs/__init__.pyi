"""Type information for tarvex, an extension module: its functions, settings and exception."""

from collections.abc import Callable, Sequence
from typing import Any, Literal, NamedTuple, SupportsFloat, TypeAlias

import numpy as np
import numpy.typing as npt

__version__: str
__all__: list[str]

# A structure: one point (x, y, z) per residue, in the unit of arc_length (angstrom by default).
Structure: TypeAlias = Sequence[Sequence[float]] | npt.NDArray[np.floating[Any]]
# Several structures of the same length: the models of a ground truth, or decoys.
Structures: TypeAlias = Sequence[Sequence[Sequence[float]]] | npt.NDArray[np.floating[Any]]
# A Python callable cost(seq, coordinates), Lua as (function name, source), or contact energies.
Cost: TypeAlias = (
    Callable[[str, list[list[float]]], SupportsFloat] | tuple[str, str] | dict[str, dict[str, float]]
)
# The four lattices and the three ways of drawing walks, by the names the functions accept.
Lattice: TypeAlias = Literal["tetrahedral", "fcc", "bcc", "cubic"]
Method: TypeAlias = Literal["pivot", "dimerize", "enumerate"]
Statistics: TypeAlias = tuple[
    float, tuple[float, float, float], tuple[float, float, float], tuple[float, float]
]

class PanicException(BaseException):
    """Raised when a call fails for a reason other than its arguments' types."""

class Scores(NamedTuple):
    """The cost and the RMSD of every conformation, in order."""

    costs: npt.NDArray[np.float64]
    rmsds: npt.NDArray[np.float64]

def stats(
    seq: str,
    gt: Structures,
    cost: Cost,
    sample_size: int = 10000,
    method: Method | None = None,
    thermalization_factor: int = 100,
    autocorrelation_factor: int = 10,
    lattice: Lattice = "tetrahedral",
    arc_length: float = 3.8,
    kmin: int = 1,
    dmax: float = 7.8,
    pbar: bool = False,
) -> Statistics: ...
def correlation(
    seq: str,
    gt: Structures,
    cost: Cost,
    sample_size: int = 10000,
    method: Method | None = None,
    thermalization_factor: int = 100,
    autocorrelation_factor: int = 10,
    lattice: Lattice = "tetrahedral",
    arc_length: float = 3.8,
    kmin: int = 1,
    dmax: float = 7.8,
    pbar: bool = False,
) -> float: ...
def sample_solutions(
    len: int,
    sample_size: int = 10000,
    method: Method = "pivot",
    thermalization_factor: int = 10,
    autocorrelation_factor: int = 10,
    lattice: Lattice = "tetrahedral",
    arc_length: float = 3.8,
    pbar: bool = False,
) -> list[list[list[float]]]: ...
def minimize_rmsd(
    gt: Structures, lattice: Lattice = "tetrahedral", arc_length: float = 3.8, pbar: bool = False
) -> list[list[float]]: ...
def minimize_cost(
    seq: str,
    cost: Cost,
    lattice: Lattice = "tetrahedral",
    arc_length: float = 3.8,
    kmin: int = 1,
    dmax: float = 7.8,
    pbar: bool = False,
) -> list[list[float]]: ...
def rmsd(sol: Structure, gt: Structures) -> float: ...

# Research functions and settings, beside the six (not in __all__).
def seed(value: int | None = None) -> None: ...
def sample_array(
    len: int,
    sample_size: int = 10000,
    method: Method = "pivot",
    thermalization_factor: int = 10,
    autocorrelation_factor: int = 10,
    lattice: Lattice = "tetrahedral",
    arc_length: float = 3.8,
    pbar: bool = False,
) -> npt.NDArray[np.float64]: ...
def sample_scores(
    seq: str,
    gt: Structures,
    cost: Cost,
    sample_size: int = 10000,
    method: Method | None = None,
    thermalization_factor: int = 100,
    autocorrelation_factor: int = 10,
    lattice: Lattice = "tetrahedral",
    arc_length: float = 3.8,
    kmin: int = 1,
    dmax: float = 7.8,
    pbar: bool = False,
    temperature: float | None = None,
) -> Scores: ...
def score(
    seq: str,
    conformations: Structures,
    gt: Structures,
    cost: Cost,
    kmin: int = 1,
    dmax: float = 7.8,
    pbar: bool = False,
) -> Scores: ...
class Fit(NamedTuple):
    """A lattice walk close to the ground truth and its RMSD to it."""

    conformation: npt.NDArray[np.float64]
    rmsd: float

def fit(
    gt: Structures,
    lattice: Lattice = "tetrahedral",
    arc_length: float = 3.8,
    beam: int | None = None,
    pbar: bool = False,
) -> Fit: ...
class Folded(NamedTuple):
    """The lowest-cost lattice walk found for a sequence and its cost."""

    conformation: npt.NDArray[np.float64]
    cost: float

def fold(
    seq: str,
    cost: Cost,
    lattice: Lattice = "tetrahedral",
    arc_length: float = 3.8,
    kmin: int = 1,
    dmax: float = 7.8,
    sweeps: int | None = None,
    target: float | None = None,
    pbar: bool = False,
) -> Folded: ...
def set_num_threads(n: int) -> None: ...
def get_num_threads() -> int: ...
