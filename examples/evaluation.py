"""How well an energy recognises a native fold, beside the contact-count baseline, with error bars.

    from evaluation import evaluate
    result = evaluate(seq, models, mj, lattice="fcc", sample_size=20000, pbar=True)
    print(result.table())

evaluate() samples lattice walks of the sequence in independent chains, scores every walk with
the energy and with the baseline that every contact energy has to beat - the plain count of
contacts (-1 per contact) at the same kmin and dmax, which rewards compactness alone - and
gives for each, over the samples:

- Spearman's coefficient of energy against RMSD to the native models (1: perfect ranking),
- the enrichment E10 = |lowest 10 % by energy AND lowest 10 % by RMSD| / (0.1^2 N): 1 for an
  energy that knows nothing, 10 at most,
- the lowest energy sampled and the RMSD of its walk,

each coefficient with a 95 % confidence interval; and for each labelled set of conformations
(the native models themselves, and whatever else is passed in `extra`: a lattice fit, a
search's minimum...), under both energies: its energy, its Z-score among the samples
((energy - mean) / standard deviation) and its rank (1 + the number of samples of lower energy).

Error bars: pivot samples are correlated, so the spread of a coefficient cannot be read from one
chain as if its samples were independent. The samples are drawn as `chains` independent chains
(each separately seeded and thermalized), and the interval is the delete-one-chain jackknife's:
the coefficient over all samples, plus or minus Student's t (chains - 1 degrees of freedom)
times the jackknife's standard error. Unlike a blocked bootstrap it needs no block length chosen
from an estimated autocorrelation time (which a slowly mixing chain underestimates), and chains
that disagree because one got stuck widen the interval instead of hiding in it. The same holds
for dimerization, whose samples are independent anyway.
"""

from __future__ import annotations

import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

import numpy as np
from common import DMAX, KMIN, plural, spawn_seeds

import tarvex

BASELINE = "contact count"
CONFIDENCE = 0.95
ENRICHMENT_FRACTION = 0.1
# tarvex.stats' defaults for the pivot chain (sample_array's own thermalization is shorter).
THERMALIZATION, AUTOCORRELATION = 100, 10


@dataclass(frozen=True)
class Interval:
    """A coefficient and its confidence interval."""

    value: float
    low: float
    high: float

    def __format__(self, spec: str) -> str:
        return f"{self.value:{spec}} [{self.low:{spec}}, {self.high:{spec}}]"


@dataclass(frozen=True)
class SampleMeasures:
    """What the samples say about one energy."""

    spearman: Interval
    e10: Interval
    min_cost: float
    rmsd_at_min_cost: float  # the mean over the walks that share the lowest energy
    walks_at_min_cost: int
    mean_cost: float
    std_cost: float


@dataclass(frozen=True)
class Placement:
    """Where a labelled set of conformations stands among the samples under one energy."""

    energy: float  # the median over the set
    z: float
    rank: int


@dataclass(frozen=True)
class Reference:
    """A labelled set of conformations (the native models, a lattice fit...) and its measures."""

    label: str
    rmsds: np.ndarray  # to the native models (for the models themselves: to the nearest other model)
    costs: dict[str, np.ndarray]
    placements: dict[str, Placement]


@dataclass(frozen=True)
class Tempered:
    """Boltzmann samples of one energy at a temperature (in that energy's units)."""

    temperature: float
    costs: np.ndarray
    rmsds: np.ndarray


@dataclass
class Evaluation:
    """One lattice's samples, scored with an energy and the baseline, and the measures of both."""

    name: str
    sequence: str
    lattice: str
    method: str
    chains: int
    kmin: int
    dmax: float
    rmsds: np.ndarray  # of every sample, chain after chain
    costs: dict[str, np.ndarray]  # the energy's first, then the baseline's
    measures: dict[str, SampleMeasures]
    references: list[Reference] = field(default_factory=list)
    seconds: float = 0.0
    tempered: dict[str, Tempered] = field(default_factory=dict)  # energy -> its low-temperature samples

    def table(self) -> str:
        """The measures as text: the samples' coefficients, then the labelled conformations."""
        width = max(len(name) for name in self.costs) + 2
        lines = [f"{self.lattice} lattice: {plural(len(self.rmsds), self.method + ' sample')} in "
                 f"{plural(self.chains, 'chain')} ({self.seconds:.1f} s); closest sample "
                 f"{self.rmsds.min():.2f} A",
                 f"  {'energy':<{width}}{'Spearman [95% CI]':<24}{'E10 [95% CI]':<22}{'lowest E':>9}"
                 f"{'RMSD there':>12}"]
        for name, m in self.measures.items():
            ties = f" ({m.walks_at_min_cost} walks)" if m.walks_at_min_cost > 1 else ""
            lines.append(f"  {name:<{width}}{format(m.spearman, '.3f'):<24}{format(m.e10, '.2f'):<22}{m.min_cost:>9.1f}"
                         f"{m.rmsd_at_min_cost:>12.2f}{ties}")
        for name, t in self.tempered.items():
            lowest = t.costs == t.costs.min()
            lines.append(f"  {name:<{width}}{plural(len(t.costs), 'sample')} at T = {t.temperature:.3g}: median RMSD "
                         f"{np.median(t.rmsds):.2f}, lowest E {t.costs.min():.1f} at {t.rmsds[lowest].mean():.2f}")
        label_width = max([len(self._label(r)) for r in self.references] + [13]) + 2
        heading = "".join(f"  {name + ': E':>{width + 2}}{'Z':>7}{'rank':>8}" for name in self.costs)
        lines.append(f"  {'conformations':<{label_width}}{'RMSD':>6}{heading}")
        for reference in self.references:
            cells = "".join(f"  {p.energy:>{width + 2}.1f}{p.z:>7.2f}{p.rank:>8,}"
                            for p in reference.placements.values())
            lines.append(f"  {self._label(reference):<{label_width}}{np.median(reference.rmsds):>6.2f}{cells}")
        return "\n".join(lines)

    @staticmethod
    def _label(reference: Reference) -> str:
        count = len(reference.rmsds)
        return reference.label if count == 1 else f"{reference.label} ({count})"


def average_ranks(values: np.ndarray) -> np.ndarray:
    """1-based ranks, tied values sharing the mean of their ranks."""
    _, inverse, counts = np.unique(values, return_inverse=True, return_counts=True)
    return (np.cumsum(counts) - (counts - 1) / 2.0)[inverse.reshape(-1)]


def spearman(x: np.ndarray, y: np.ndarray) -> float:
    """Spearman's coefficient as tarvex computes it: Pearson's of the average ranks (NaN for a constant)."""
    with np.errstate(invalid="ignore", divide="ignore"):
        return float(np.corrcoef(average_ranks(x), average_ranks(y))[0, 1])


def _lowest_weights(values: np.ndarray, count: int) -> np.ndarray:
    """Membership of each value in the lowest `count` values, ties at the cut sharing what is left.

    Energies tie often (a contact count is an integer), so "the lowest 10 %" is a set only up to
    the order of equal values; each tied value gets its chance of being in it under a random order.
    """
    cut = np.partition(values, count - 1)[count - 1]
    below = values < cut
    at = values == cut
    weights = below.astype(np.float64)
    weights[at] = (count - below.sum()) / at.sum()
    return weights


def enrichment(costs: np.ndarray, rmsds: np.ndarray, fraction: float = ENRICHMENT_FRACTION) -> float:
    """E10 for fraction 0.1: |lowest m by energy AND lowest m by RMSD| / (m^2 / N), m = fraction N rounded.

    1 when energy and RMSD are unrelated, N / m (10) when they order the walks alike.
    """
    count = max(1, round(fraction * len(costs)))
    overlap = float(np.dot(_lowest_weights(costs, count), _lowest_weights(rmsds, count)))
    return overlap * len(costs) / count**2


def jackknife_interval(statistic, groups: Sequence[tuple[np.ndarray, ...]],
                       confidence: float = CONFIDENCE) -> Interval:
    """statistic over all groups, with the delete-one-group jackknife's Student-t interval.

    groups: independent groups of samples (chains), each a tuple of arrays that statistic takes.
    """
    from scipy.special import stdtrit  # Student's t quantile; scipy.stats takes seconds to import

    def over(parts):
        return statistic(*(np.concatenate(arrays) for arrays in zip(*parts)))

    value = over(groups)
    k = len(groups)
    if k < 2:
        return Interval(value, float("nan"), float("nan"))
    left_out = np.array([over(groups[:i] + groups[i + 1:]) for i in range(k)])
    error = np.sqrt((k - 1) / k * np.sum((left_out - left_out.mean()) ** 2))
    half = stdtrit(k - 1, 0.5 + confidence / 2) * error
    return Interval(value, value - half, value + half)


def sample_measures(costs: np.ndarray, rmsds: np.ndarray, sizes: Sequence[int]) -> SampleMeasures:
    """The measures of one energy over samples drawn as consecutive chains of the given sizes."""
    bounds = np.cumsum([0, *sizes])
    groups = [(costs[a:b], rmsds[a:b]) for a, b in zip(bounds, bounds[1:])]
    lowest = costs == costs.min()
    return SampleMeasures(jackknife_interval(spearman, groups), jackknife_interval(enrichment, groups),
                          float(costs.min()), float(rmsds[lowest].mean()), int(lowest.sum()),
                          float(costs.mean()), float(costs.std()))


def place(energies: np.ndarray, sample_costs: np.ndarray) -> Placement:
    """Z-score and rank of a set of conformations' median energy among the samples' energies."""
    energy = float(np.median(energies))
    spread = sample_costs.std()
    z = (energy - sample_costs.mean()) / spread if spread > 0 else float("nan")
    return Placement(energy, float(z), int(np.count_nonzero(sample_costs < energy)) + 1)


def contact_count(seq: str) -> dict[str, dict[str, float]]:
    """The baseline as a contact-energy table: -1 for every pair of residues, whatever they are."""
    letters = sorted(set(seq))
    return {a: {b: -1.0 for b in letters} for a in letters}


def chain_sizes(sample_size: int, chains: int) -> list[int]:
    if not 1 <= chains <= sample_size:
        raise ValueError(f"{plural(chains, 'chain')} cannot share {plural(sample_size, 'sample')}: "
                         "ask for at least one sample per chain")
    return [sample_size // chains + (k < sample_size % chains) for k in range(chains)]


def draw_walks(length: int, lattice: str, method: str, sizes: Sequence[int], seed: int) -> np.ndarray:
    """Independent chains of walks, each from its own seed, one after the other in one array."""
    walks = np.empty((sum(sizes), length, 3))
    start = 0
    for size, chain_seed in zip(sizes, spawn_seeds(seed, len(sizes), stream=2)):
        tarvex.seed(chain_seed)
        walks[start:start + size] = tarvex.sample_array(length, size, method=method, lattice=lattice,
                                                        thermalization_factor=THERMALIZATION,
                                                        autocorrelation_factor=AUTOCORRELATION)
        start += size
    tarvex.seed(None)  # the caller's later calls draw from the OS again, as without this function
    return walks


def landmarks(models, *, lattice: str = "tetrahedral", fit: bool = True, seq: str | None = None, energy=None,
              energy_name: str = "Miyazawa-Jernigan", kmin: int = KMIN, dmax: float = DMAX, seed: int = 1,
              pbar: bool = False) -> dict[str, list[np.ndarray]]:
    """Conformations worth placing among the samples (evaluate's extra), label -> conformations.

    The lattice fit is the walk closest to the native models on this lattice: what the energy
    gives the native fold itself once it is on the lattice, and where that ranks among the decoys.
    With a sequence and an energy, also the lowest-energy walk tarvex.fold finds: is the energy's
    minimum native-like?
    """
    found: dict[str, list[np.ndarray]] = {}
    if fit:
        found["lattice fit"] = [tarvex.fit(models, lattice=lattice).conformation]
    if seq is not None and energy is not None:
        tarvex.seed(spawn_seeds(seed, 1, stream=3)[0])
        try:
            folded = tarvex.fold(seq, energy, lattice=lattice, kmin=kmin, dmax=dmax, pbar=pbar)
        finally:
            tarvex.seed(None)
        found[f"{energy_name} minimum (fold)"] = [folded.conformation]
    return found


def tempered(seq: str, models, energy, temperature: float, *, lattice: str = "tetrahedral", sample_size: int = 10000,
             seed: int = 1, stream: int = 4, kmin: int = KMIN, dmax: float = DMAX, pbar: bool = False) -> Tempered:
    """Samples of an energy's own low-energy region: walks drawn from exp(-energy / temperature)."""
    tarvex.seed(spawn_seeds(seed, 1, stream=stream)[0])
    try:
        costs, rmsds = tarvex.sample_scores(seq, models, energy, sample_size=sample_size, lattice=lattice, kmin=kmin,
                                            dmax=dmax, temperature=temperature, pbar=pbar)
    finally:
        tarvex.seed(None)
    return Tempered(temperature, np.asarray(costs), np.asarray(rmsds))


def evaluate(seq: str, models, energy, *, energy_name: str = "Miyazawa-Jernigan", name: str = "",
             lattice: str = "tetrahedral", method: str = "pivot", sample_size: int = 10000, chains: int = 10,
             seed: int = 1, kmin: int = KMIN, dmax: float = DMAX, pbar: bool = False,
             extra: Mapping[str, object] | None = None, temperature: float | None = None,
             tempered_size: int | None = None) -> Evaluation:
    """Samples, scores and measures one lattice; see the module's documentation.

    energy: any cost tarvex takes (a contact-energy table, Lua source, a Python callable).
    extra: more labelled conformations to place among the samples, label -> a list or (k, n, 3)
    array of conformations ({"lattice fit": [fit.conformation]}); the native models come first.
    temperature: also draw Boltzmann samples (tempered_size, by default a tenth of sample_size) of
    the energy at this temperature, in its units, and of the baseline at the same temperature
    relative to its spread over the uniform samples.
    """
    start = time.perf_counter()
    models = list(models)
    sizes = chain_sizes(sample_size, chains)
    walks = draw_walks(len(seq), lattice, method, sizes, seed)
    baseline = contact_count(seq)
    costs, rmsds = tarvex.score(seq, walks, models, energy, kmin=kmin, dmax=dmax, pbar=pbar)
    # The baseline scores the same walks; their RMSDs are known, so one model is enough there.
    costs = {energy_name: costs,
             BASELINE: tarvex.score(seq, walks, models[:1], baseline, kmin=kmin, dmax=dmax, pbar=pbar).costs}
    measures = {label: sample_measures(values, rmsds, sizes) for label, values in costs.items()}
    energies = {energy_name: energy, BASELINE: baseline}

    def reference(label, conformations, own_rmsds=None):
        scored = {e: tarvex.score(seq, conformations, models, cost, kmin=kmin, dmax=dmax)
                  for e, cost in energies.items()}
        found = scored[energy_name].rmsds if own_rmsds is None else own_rmsds
        return Reference(label, np.asarray(found), {e: s.costs for e, s in scored.items()},
                         {e: place(s.costs, costs[e]) for e, s in scored.items()})

    # Each native model is measured against the others: against all it would be 0.
    native = (np.zeros(1) if len(models) == 1 else
              np.array([tarvex.rmsd(model, models[:i] + models[i + 1:]) for i, model in enumerate(models)]))
    references = [reference("native models" if len(models) > 1 else "native structure", models, native)]
    references += [reference(label, conformations) for label, conformations in (extra or {}).items()]
    warm: dict[str, Tempered] = {}
    if temperature is not None:
        size = tempered_size or max(1, sample_size // 10)
        spread = costs[energy_name].std()
        for stream, (label, cost) in enumerate(energies.items(), start=4):
            t = temperature if label == energy_name or spread == 0 else temperature * costs[label].std() / spread
            warm[label] = tempered(seq, models, cost, t, lattice=lattice, sample_size=size, seed=seed, stream=stream,
                                   kmin=kmin, dmax=dmax, pbar=pbar)
    return Evaluation(name, seq, lattice, method, len(sizes), kmin, dmax, rmsds, costs, measures, references,
                      time.perf_counter() - start, warm)
