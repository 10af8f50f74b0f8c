// Tests of the Boltzmann chain: its site table, its running energy, and its law against all walks.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <unordered_map>

#include "tarvex/cost/contact_sum.hpp"
#include "tarvex/cost/cost.hpp"
#include "tarvex/sampling/boltzmann.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/point_set.hpp"
#include "tarvex/walks/random.hpp"
#include "tarvex/walks/site_table.hpp"
#include "tarvex/walks/walk_enumerator.hpp"

namespace tarvex {
namespace {

// A table with energies of both signs and distinct magnitudes, so that a pair
// counted twice or missed shows in the sum.
ContactEnergyCost mixed_cost(const std::string& seq, std::uint64_t kmin, double dmax) {
  EnergyTable table;
  const std::string letters = "HPKE";
  for (std::size_t a = 0; a < letters.size(); ++a)
    for (std::size_t b = 0; b < letters.size(); ++b)
      table[char32_t(letters[a])][char32_t(letters[b])] = -1.0 + 0.37 * double(a * b) - 0.11 * double(a + b);
  return build_contact_energy_cost(table, seq, kmin, dmax);
}

double exact(const ContactEnergyCost& cost, const LatticeWalk& walk, double scale) {
  return contact_sum(std::span<const LatticePoint>(walk), lattice_contact_rule(scale, cost.dmax),
                     {cost.pair_energies.data(), std::size_t(cost.kmin), cost.dmax});
}

TEST(SiteTable, FollowsPutsAndErasesLikeAMap) {
  SiteTable table;
  table.reset(40);
  std::unordered_map<std::uint64_t, std::uint32_t> reference;
  const auto key = [](LatticePoint p) {
    return std::uint64_t(p.x + 8) * 256 + std::uint64_t(p.y + 8) * 16 + std::uint64_t(p.z + 8);
  };
  Rng rng = Rng::seeded(7);
  for (int round = 0; round < 20000; ++round) {
    const LatticePoint p{int(rng.uniform(0, 5)) - 2, int(rng.uniform(0, 5)) - 2, int(rng.uniform(0, 5)) - 2};
    if (rng.uniform(0, 2) == 0 && reference.size() < 40) {
      table.put(p, std::uint32_t(round));
      reference[key(p)] = std::uint32_t(round);
    } else {
      table.erase(p);
      reference.erase(key(p));
    }
    // Every point of the little cube, present or not, answers as the map does.
    if (round % 97 == 0) {
      for (int x = -2; x <= 2; ++x)
        for (int y = -2; y <= 2; ++y)
          for (int z = -2; z <= 2; ++z) {
            const auto it = reference.find(key({x, y, z}));
            ASSERT_EQ(table.at({x, y, z}), it == reference.end() ? SiteTable::kEmpty : it->second);
          }
    }
  }
}

class CostOfWalks : public WalkEnergy {
 public:
  CostOfWalks(const ContactEnergyCost& cost, double scale) : cost_(&cost), scale_(scale) {}
  double operator()(std::span<const LatticePoint> walk) override {
    return exact(*cost_, LatticeWalk(walk.begin(), walk.end()), scale_);
  }

 private:
  const ContactEnergyCost* cost_;
  double scale_;
};

// After many moves the walk is self-avoiding and connected and the running
// energy is the full sum, at kmin 1 and 3, with a dmax that reaches second
// neighbours (the walk scanned) and one of first neighbours only (the sites
// within reach looked up), with pull moves and without.
template <LatticeKind K>
void check_running_energy() {
  const std::string seq = "HPKEHHPPKEHKPEHHPKEHPPKEHHKE";
  const double scale = lattice_scale(Lattice(K), 3.8);
  for (const std::uint64_t kmin : {1, 3}) {
    const double dmax = kmin == 1 ? 7.8 : 3.8;
    const ContactEnergyCost cost = mixed_cost(seq, kmin, dmax);
    const ContactField field(cost, scale, K);
    Rng rng = Rng::seeded(11 + kmin);
    BoltzmannChain<K> chain(seq.size(), 0.8, &field, nullptr, rng);
    if (kmin == 3) chain.allow_pulls();
    std::size_t accepted = 0;
    for (int s = 0; s < 10000; ++s) accepted += chain.step();
    EXPECT_GT(accepted, 300u);
    const LatticeWalk& walk = chain.walk();
    PointSet seen;
    seen.reset(walk.size());
    for (std::size_t i = 0; i < walk.size(); ++i) {
      ASSERT_TRUE(seen.insert(walk[i])) << lattice_name(K) << " point " << i;
      if (i > 0) {
        bool step = false;
        for (std::size_t d = 0; d < coordination(K); ++d) step = step || neighbour<K>(walk[i - 1], d) == walk[i];
        ASSERT_TRUE(step) << lattice_name(K) << " point " << i;
      }
    }
    EXPECT_NEAR(chain.energy(), exact(cost, walk, scale), 1e-9) << lattice_name(K) << " kmin " << kmin;
  }
}

TEST(BoltzmannChain, RunningEnergyIsTheContactSum) {
  check_running_energy<LatticeKind::tetrahedral>();
  check_running_energy<LatticeKind::fcc>();
  check_running_energy<LatticeKind::bcc>();
  check_running_energy<LatticeKind::cubic>();
}

// The law of the energy, sampled every few moves, against the Boltzmann
// weights of every walk of the length: both the table's heat bath and the
// whole-walk Metropolis path.
template <LatticeKind K>
void check_law(const std::string& seq, double temperature, double arc, double dmax, std::uint64_t kmin) {
  const double scale = lattice_scale(Lattice(K), arc);
  const ContactEnergyCost cost = mixed_cost(seq, kmin, dmax);
  std::map<double, double> boltzmann;
  double z = 0.0;
  WalkEnumerator<K> all(seq.size());
  while (const LatticeWalk* walk = all.next()) {
    const double e = std::round(exact(cost, *walk, scale) * 1e9) / 1e9;
    const double w = std::exp(-e / temperature);
    boltzmann[e] += w;
    z += w;
  }
  const ContactField field(cost, scale, K);
  CostOfWalks whole(cost, scale);
  for (const bool use_field : {true, false}) {
    Rng rng = Rng::seeded(5);
    BoltzmannChain<K> chain(seq.size(), temperature, use_field ? &field : nullptr, use_field ? nullptr : &whole, rng);
    for (int s = 0; s < 2000; ++s) chain.step();
    std::map<double, double> seen;
    const int samples = 40000;
    for (int s = 0; s < samples; ++s) {
      for (int k = 0; k < 6; ++k) chain.step();
      seen[std::round(chain.energy() * 1e9) / 1e9] += 1.0 / samples;
    }
    double tvd = 0.0;
    for (const auto& [e, w] : boltzmann) tvd += std::abs(w / z - seen[e]);
    for (const auto& [e, p] : seen)
      if (!boltzmann.count(e)) tvd += p;
    EXPECT_LT(tvd / 2, 0.02) << lattice_name(K) << (use_field ? " table" : " whole walk");
  }
}

TEST(BoltzmannChain, EnergyLawIsBoltzmann) {
  check_law<LatticeKind::cubic>("HPHKEHPH", 0.6, 1.0, 1.0, 2);
  check_law<LatticeKind::tetrahedral>("HPHKEHPHE", 0.5, 3.8, 7.8, 1);
}

}  // namespace
}  // namespace tarvex
