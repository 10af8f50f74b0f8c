// Per-conformation time of the contact-energy sum against the pair-by-pair loop it replaced, on pivot samples.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "contact_reference.hpp"
#include "tarvex/cost/contact_sum.hpp"
#include "tarvex/cost/cost.hpp"
#include "tarvex/poll.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/pivot.hpp"
#include "tarvex/walks/random.hpp"

namespace {

using namespace tarvex;
using Clock = std::chrono::steady_clock;

volatile double sink;

// Nanoseconds per conformation of each path, the best of 9 rounds; the paths
// take turns within a round, so a busy spell of the machine hits them alike.
// Each round runs enough conformations for some 10^7 pairs.
std::vector<double> ns_per_conformation(std::size_t count, std::size_t pairs,
                                        const std::vector<std::function<double(std::size_t)>>& paths) {
  std::vector<double> best(paths.size(), 1e300);
  const std::size_t rounds = std::max<std::size_t>(1, 10'000'000 / (count * std::max<std::size_t>(pairs, 1)));
  for (int repeat = 0; repeat < 9; ++repeat) {
    for (std::size_t p = 0; p < paths.size(); ++p) {
      double s = 0.0;
      const auto start = Clock::now();
      for (std::size_t r = 0; r < rounds; ++r)
        for (std::size_t c = 0; c < count; ++c) s += paths[p](c);
      const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
      best[p] = std::min(best[p], ns / double(rounds * count));
      sink = s;
    }
  }
  return best;
}

// Workloads to run, from the command line as "label n" (all when empty).
std::vector<std::string> chosen;
std::string mode;  // "today", "points", "walk" or "portable": that path alone

template <LatticeKind K>
void workload(const char* label, std::size_t n, std::size_t samples, std::uint64_t thermalization) {
  if (!chosen.empty() &&
      std::find(chosen.begin(), chosen.end(), std::string(label) + " " + std::to_string(n)) == chosen.end())
    return;
  Rng rng = Rng::seeded(n * 31 + std::size_t(K));
  Poll poll;
  PivotSampler<K> sampler(n, rng, thermalization, 10, poll);
  std::vector<LatticeWalk> walks;
  std::vector<Conformation> conformations;
  const double scale = lattice_scale(Lattice(K), 3.8);
  for (std::size_t s = 0; s < samples; ++s) {
    walks.push_back(sampler.next_sample());
    conformations.push_back(to_conformation(walks.back(), scale));
  }
  // Random energies over the twenty amino acids (the values do not change the work).
  const std::string alphabet = "ACDEFGHIKLMNPQRSTVWY";
  EnergyTable table;
  for (char a : alphabet)
    for (char b : alphabet) table[char32_t(a)][char32_t(b)] = -double(rng.uniform(0, 1000)) / 137.0;
  std::string seq;
  for (std::size_t i = 0; i < n; ++i) seq += alphabet[rng.uniform(0, alphabet.size())];
  const ContactEnergyCost cost = build_contact_energy_cost(table, seq, 1, 7.8);
  const ContactPairs pairs{cost.pair_energies.data(), cost.kmin, cost.dmax};
  const LatticeContactRule rule = lattice_contact_rule(scale, cost.dmax);

  std::size_t contacts = 0;
  for (std::size_t c = 0; c < samples; ++c) {
    const double want = reference::contact_energy(cost, conformations[c]);
    if (cost.evaluate(conformations[c]) != want || contact_sum(walks[c], rule, pairs) != want)
      std::printf("MISMATCH\n");
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = i + 1; j < n; ++j) {
        const double dx = conformations[c][i].x - conformations[c][j].x,
                     dy = conformations[c][i].y - conformations[c][j].y,
                     dz = conformations[c][i].z - conformations[c][j].z;
        contacts += (dx * dx + dy * dy) + dz * dz <= 7.8 * 7.8;
      }
  }

  if (!mode.empty()) {  // one path for a profiler, for a few seconds
    double s = 0.0;
    for (int r = 0; r < 10; ++r)
      s += ns_per_conformation(samples, cost.pair_energies.size(), {[&](std::size_t c) {
                                 if (mode == "today") return reference::contact_energy(cost, conformations[c]);
                                 if (mode == "points") return contact_sum(conformations[c], pairs);
                                 return contact_sum(walks[c], rule, pairs,
                                                    mode == "portable" ? ContactKernel::portable : ContactKernel::best);
                               }})[0];
    std::printf("%s %s n=%zu: %.0f ns\n", label, mode.c_str(), n, s / 10);
    return;
  }
  const std::vector<double> ns =
      ns_per_conformation(samples, cost.pair_energies.size(),
                          {[&](std::size_t c) { return reference::contact_energy(cost, conformations[c]); },
                           [&](std::size_t c) { return cost.evaluate(conformations[c]); },
                           [&](std::size_t c) { return contact_sum(walks[c], rule, pairs); },
                           [&](std::size_t c) { return contact_sum(walks[c], rule, pairs, ContactKernel::portable); }});
  const double today = ns[0], points = ns[1], lattice = ns[2], portable = ns[3];
  const double pair_count = double(cost.pair_energies.size());
  std::printf(
      "%-12s n=%5zu  %5.1f contacts/residue  pair-by-pair %9.0f ns (%.2f ns/pair)  points %8.0f ns (x%.3f)  "
      "walk %8.0f ns (x%.3f)  walk, portable %8.0f ns (x%.3f)\n",
      label, n, double(contacts) / double(samples * n), today, today / pair_count, points, points / today, lattice,
      lattice / today, portable, portable / today);
}

}  // namespace

int main(int argc, char** argv) {
  // bench_contact [label n [path]]: one workload, or one path of it for a profiler.
  if (argc >= 3) chosen.push_back(std::string(argv[1]) + " " + argv[2]);
  if (argc >= 4) mode = argv[3];
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf(
      "per conformation, best of 9 interleaved rounds; (xR) = time / pair-by-pair time, measured side by side\n");
  workload<LatticeKind::tetrahedral>("tetrahedral", 20, 1000, 100);
  workload<LatticeKind::fcc>("fcc", 105, 500, 100);
  workload<LatticeKind::cubic>("cubic", 105, 500, 100);
  workload<LatticeKind::fcc>("fcc", 300, 200, 20);
  workload<LatticeKind::tetrahedral>("tetrahedral", 300, 200, 20);
  workload<LatticeKind::fcc>("fcc", 1000, 50, 10);
  workload<LatticeKind::cubic>("cubic", 3000, 10, 5);
}
