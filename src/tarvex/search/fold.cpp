// The lowest-cost walk of a sequence by replica exchange over a ladder of temperatures.
#include "tarvex/search/fold.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "tarvex/cost/contact_delta.hpp"
#include "tarvex/fail.hpp"
#include "tarvex/sampling/boltzmann.hpp"
#include "tarvex/sampling/progress.hpp"
#include "tarvex/thread_pool.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/random.hpp"

namespace tarvex {
namespace {

// Sweeps between exchanges: short enough that a target ends the run soon
// after it is reached, long enough that the threads' hand-offs cost little.
constexpr std::uint64_t kRoundSweeps = 4;
// The ladder in units of the cost's scale (the mean magnitude of a contact):
// the coldest replica keeps a compact fold, the hottest unfolds it. With pull
// moves (a table, not the diamond lattice) a narrower ladder of fewer copies
// finds compact folds sooner; without them the hot copies must do the
// unfolding, up to a wider top.
constexpr std::size_t kReplicas = 8, kReplicasWithoutPulls = 10;
constexpr double kLow = 0.22, kHigh = 0.9, kLowWithoutPulls = 0.12, kHighWithoutPulls = 1.6;

template <LatticeKind K>
struct Replica {
  Rng rng;
  BoltzmannChain<K> chain;
  LatticeWalk best;
  double best_energy;

  Replica(std::size_t n, double t, const ContactField* field, WalkEnergy* whole, std::uint64_t seed)
      : rng(Rng::seeded(seed)), chain(n, t, field, whole, rng), best(chain.walk()), best_energy(chain.energy()) {
    chain.allow_pulls();
  }

  void run(std::uint64_t moves, Poll& poll) {
    for (std::uint64_t m = 0; m < moves; ++m) {
      poll();
      chain.step();
      if (chain.energy() < best_energy) {
        best_energy = chain.energy();
        best = chain.walk();
      }
    }
  }
};

// For a cost without a table: the spread of its values along a chain at
// infinite temperature (uniform walks), or 1 when it does not spread.
template <LatticeKind K>
double spread_of(std::size_t n, WalkEnergy& whole, std::uint64_t seed, Poll& poll) {
  Rng rng = Rng::seeded(seed);
  BoltzmannChain<K> chain(n, std::numeric_limits<double>::infinity(), nullptr, &whole, rng);
  double sum = 0.0, square = 0.0;
  const std::size_t count = 64;
  for (std::size_t s = 0; s < count; ++s) {
    for (std::size_t m = 0; m < n; ++m) {
      poll();
      chain.step();
    }
    sum += chain.energy();
    square += chain.energy() * chain.energy();
  }
  const double mean = sum / double(count);
  const double spread = std::sqrt(std::max(0.0, square / double(count) - mean * mean));
  return std::isfinite(spread) && spread > 0.0 ? spread : 1.0;
}

template <LatticeKind K>
Folded fold_on(std::size_t n, double arc_length, Cost& cost, const FoldSettings& settings, Poll& poll, Rng& rng) {
  const double scale = lattice_scale(Lattice(K), arc_length);
  Rng master = Rng::seeded(rng.next());
  std::unique_ptr<ContactField> field;
  std::unique_ptr<CostOfWalk> whole;
  double unit;
  if (cost.offers_delta()) {
    field = cost.delta(n, scale, K);
    if (!field->finite()) fail("assertion failed: finite contact energies to fold");
    unit = contact_scale(cost.delta_energies());
  } else {
    whole = std::make_unique<CostOfWalk>(cost, scale);
    unit = spread_of<K>(n, *whole, master.next(), poll);
  }
  const bool pulls = field != nullptr && K != LatticeKind::tetrahedral;
  const std::size_t r = settings.replicas != 0 ? settings.replicas : pulls ? kReplicas : kReplicasWithoutPulls;
  const double low = (settings.low > 0 ? settings.low : pulls ? kLow : kLowWithoutPulls) * unit;
  const double high = (settings.high > 0 ? settings.high : pulls ? kHigh : kHighWithoutPulls) * unit;
  std::vector<double> ladder(r);
  for (std::size_t i = 0; i < r; ++i) ladder[i] = r == 1 ? low : low * std::pow(high / low, double(i) / double(r - 1));
  std::vector<std::unique_ptr<Replica<K>>> replicas;
  // at[t]: the replica at temperature t.
  std::vector<std::size_t> at(r);
  for (std::size_t i = 0; i < r; ++i) {
    replicas.push_back(std::make_unique<Replica<K>>(n, ladder[i], field.get(), whole.get(), master.next()));
    at[i] = i;
  }
  // The cost of the walk moved to the origin, as the result is: on the doubles
  // a pair near the contact distance may be decided differently elsewhere.
  LatticeWalk moved_home;
  const auto exact = [&](const LatticeWalk& walk) {
    if (field) {
      moved_home.resize(walk.size());
      for (std::size_t i = 0; i < walk.size(); ++i) moved_home[i] = walk[i] - walk[0];
      double sum = 0.0;
      cost.score_walks({moved_home, {}, n, scale}, {&sum, 1});
      return sum;
    }
    return (*whole)(walk);
  };
  LatticeWalk best = replicas[0]->chain.walk();
  double best_cost = exact(best);
  const std::uint64_t sweeps =
      settings.sweeps != 0 ? settings.sweeps : default_fold_sweeps(n, field != nullptr, settings.target.has_value());
  const std::uint64_t rounds = (sweeps + kRoundSweeps - 1) / kRoundSweeps;
  const bool parallel = field != nullptr && n >= 2;
  OptionalProgressBar bar(settings.pbar, sweeps);
  const auto reached = [&] { return settings.target && best_cost <= *settings.target; };
  std::uint64_t done = 0;
  for (std::uint64_t round = 0; round < rounds && !reached(); ++round) {
    const std::uint64_t these = std::min(kRoundSweeps, sweeps - done);
    const std::uint64_t moves = these * n;
    {
      TaskGroup group(parallel ? std::min(worker_count(), r - 1) : 0, poll);
      for (auto& replica : replicas) {
        Replica<K>* p = replica.get();
        group.submit([p, moves](Poll& task_poll) { p->run(moves, task_poll); });
      }
      group.wait();
    }
    done += these;
    // The best of the round by exact cost, the lowest replica first on ties;
    // the running sums restart from the exact energies.
    for (auto& replica : replicas) {
      if (field) replica->chain.resync(exact(replica->chain.walk()));
      if (replica->best_energy < best_cost + 1e-9 * std::max(1.0, std::abs(best_cost))) {
        const double c = exact(replica->best);
        if (c < best_cost) {
          best_cost = c;
          best = replica->best;
        }
      }
      replica->best_energy = replica->chain.energy();
      replica->best = replica->chain.walk();
    }
    // Exchanges between neighbouring temperatures, even pairs and odd pairs by turns.
    for (std::size_t t = round % 2; t + 1 < r; t += 2) {
      Replica<K>& a = *replicas[at[t]];
      Replica<K>& b = *replicas[at[t + 1]];
      const double delta = (1.0 / ladder[t] - 1.0 / ladder[t + 1]) * (a.chain.energy() - b.chain.energy());
      const double u = double(master.next() >> 11) * 0x1p-53;
      if (delta >= 0.0 || u < std::exp(delta)) {
        std::swap(at[t], at[t + 1]);
        a.chain.set_temperature(ladder[t + 1]);
        b.chain.set_temperature(ladder[t]);
      }
    }
    bar.tick(these);
  }
  bar.close();
  const LatticePoint o = best[0];
  for (auto& p : best) p = p - o;
  return {std::move(best), best_cost, done};
}

}  // namespace

std::uint64_t default_fold_sweeps(std::size_t n, bool table, bool target) {
  // The ground states of the 48-point HP benchmarks take up to about 110 n^2
  // sweeps to find at this ladder over five seeds, one (S1.9 at seed 2) about
  // 190 n^2. Without a target the whole budget is run: 120 n^2, room over
  // most. With a target the run ends there, so the budget is only a bound:
  // twice that. A cost without a table scores a whole walk per move: a tenth.
  const std::uint64_t per = std::uint64_t(table ? 120 : 12) * (target ? 2u : 1u);
  return std::max<std::uint64_t>(1000, per * n * n);
}

Folded fold_walk(std::size_t n, LatticeKind lattice, double arc_length, Cost& cost, const FoldSettings& settings,
                 Poll& poll, Rng& rng) {
  if (n == 0) fail("assertion failed: a sequence to fold");
  return with_lattice(lattice,
                      [&](auto kc) { return fold_on<decltype(kc)::value>(n, arc_length, cost, settings, poll, rng); });
}

}  // namespace tarvex
