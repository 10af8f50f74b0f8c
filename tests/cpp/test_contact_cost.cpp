// Tests of the contact-energy cost: the pair table, its failures and the contact rule.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "contact_reference.hpp"
#include "panic_message.hpp"
#include "tarvex/cost/contact_delta.hpp"
#include "tarvex/cost/contact_sum.hpp"
#include "tarvex/cost/cost.hpp"
#include "tarvex/fail.hpp"
#include "tarvex/walks/lattice.hpp"
#include "walk_helpers.hpp"

namespace tarvex {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

// Residues on a line, `step` apart (3.8 is the default arc length).
Conformation chain(std::size_t n, double step = 3.8) {
  Conformation c;
  for (std::size_t i = 0; i < n; ++i) c.push_back({step * static_cast<double>(i), 0.0, 0.0});
  return c;
}

using testing::panic_message;

// --- The table is used as given, in pair order --------------------------------

struct CostCase {
  const char* name;
  EnergyTable table;
  std::string seq;
  std::uint64_t kmin;
  double dmax;
  Conformation points;
  double expected;
};

class ContactCost : public ::testing::TestWithParam<CostCase> {};

TEST_P(ContactCost, SumsTheEnergiesOfThePairsInContact) {
  const CostCase& c = GetParam();
  const std::unique_ptr<Cost> cost = make_contact_cost(build_contact_energy_cost(c.table, c.seq, c.kmin, c.dmax));
  EXPECT_EQ(cost->score_one(c.points), c.expected);
}

const EnergyTable kAsymmetric = {{U'A', {{U'B', 1.0}}}, {U'B', {{U'A', 5.0}}}};
const EnergyTable kSelf = {{U'A', {{U'A', 10.0}, {U'B', 1.0}}}, {U'B', {{U'B', 100.0}}}};
const EnergyTable kThree = {{U'A', {{U'B', 1.0}, {U'C', 10.0}}}, {U'B', {{U'C', 100.0}}}};
// Cancels exactly only when added in pair order: (1e16 + 1) - 1e16 == 0.
const EnergyTable kOrderSensitive = {{U'A', {{U'B', 1e16}, {U'C', 1.0}}}, {U'B', {{U'C', -1e16}}}};

INSTANTIATE_TEST_SUITE_P(
    Examples, ContactCost,
    ::testing::Values(
        CostCase{"a_then_b_reads_row_a", kAsymmetric, "AB", 1, 7.8, chain(2), 1.0},
        CostCase{"b_then_a_reads_row_b", kAsymmetric, "BA", 1, 7.8, chain(2), 5.0},
        CostCase{"row_a_alone_serves_a_then_b", {{U'A', {{U'B', 2.5}}}}, "AB", 1, 7.8, chain(2), 2.5},
        CostCase{"kmin_0_adds_every_self_pair", kSelf, "AB", 0, 7.8, chain(2), 111.0},
        CostCase{"kmin_0_self_pairs_count_at_dmax_0", kSelf, "AB", 0, 0.0, chain(2), 110.0},
        CostCase{"kmin_1_neighbours_count", kSelf, "AB", 1, 7.8, chain(2), 1.0},
        CostCase{"kmin_equal_to_n_gives_nothing", {}, "AB", 2, 7.8, chain(2), 0.0},
        CostCase{"kmin_above_n_gives_nothing", {}, "ABC", 7, 7.8, chain(3), 0.0},
        CostCase{"kmin_2_pow_64_minus_1_gives_nothing", {}, "ABC", kMax64, 7.8, chain(3), 0.0},
        CostCase{"kmin_2_pow_64_minus_2_gives_nothing", {}, "ABC", kMax64 - 1, 7.8, chain(3), 0.0},
        CostCase{"empty_sequence", {}, "", 0, 7.8, {}, 0.0},
        CostCase{"pair_beyond_dmax_is_skipped", kThree, "ABC", 1, 5.0, chain(3, 4.0), 101.0},
        CostCase{"energies_added_in_pair_order", kOrderSensitive, "ABC", 1, kInf, chain(3), 0.0},
        CostCase{
            "non_ascii_residues", {{U'\u00e9', {{U'\U0001F600', 4.0}}}}, "\u00e9\U0001F600", 1, 7.8, chain(2), 4.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ContactCostTable, KeepsOneEnergyPerPairInPairOrder) {
  // n = 4, kmin = 2: pairs (0, 2), (0, 3), (1, 3).
  const EnergyTable table = {{U'A', {{U'C', 1.0}, {U'D', 2.0}}}, {U'B', {{U'D', 3.0}}}};
  const ContactEnergyCost cost = build_contact_energy_cost(table, "ABCD", 2, 7.8);
  EXPECT_EQ(cost.pair_energies, (std::vector<double>{1.0, 2.0, 3.0}));
  EXPECT_EQ(cost.residues, 4u);
  // Only residues 0 and 3 close: pair (0, 3) alone counts.
  const Conformation points = {{0, 0, 0}, {10, 0, 0}, {20, 0, 0}, {1, 0, 0}};
  EXPECT_EQ(cost.evaluate(points), 2.0);
}

// --- Failures ------------------------------------------------------------------

struct FailureCase {
  const char* name;
  EnergyTable table;
  std::string seq;
  std::uint64_t kmin;
  std::string message;
};

class ContactCostFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ContactCostFailure, ReportsTheFirstMissingEntryInPairOrder) {
  const FailureCase& c = GetParam();
  EXPECT_EQ(panic_message([&] { build_contact_energy_cost(c.table, c.seq, c.kmin, 7.8); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ContactCostFailure,
    ::testing::Values(FailureCase{"empty_table", {}, "AB", 1, "Contact energies for amino acid A could not be found !"},
                      FailureCase{"b_then_a_without_row_b",
                                  {{U'A', {{U'B', 1.0}}}},
                                  "BA",
                                  1,
                                  "Contact energies for amino acid B could not be found !"},
                      FailureCase{"missing_pair",
                                  {{U'A', {{U'B', 1.0}}}, {U'B', {{U'A', 1.0}}}},
                                  "ABA",
                                  1,
                                  "Contact energy for amino acid's pair A-A could not be found !"},
                      // Pair (0, 2) A-C comes before pair (1, 2) B-C, which is missing too.
                      FailureCase{"earlier_pair_wins",
                                  {{U'A', {{U'B', 1.0}}}, {U'B', {}}},
                                  "ABC",
                                  1,
                                  "Contact energy for amino acid's pair A-C could not be found !"},
                      FailureCase{"missing_self_pair_at_kmin_0",
                                  {{U'A', {{U'B', 1.0}}}},
                                  "AB",
                                  0,
                                  "Contact energy for amino acid's pair A-A could not be found !"},
                      FailureCase{"bare_non_ascii_character",
                                  {},
                                  "\u00e9A",
                                  1,
                                  "Contact energies for amino acid \u00e9 could not be found !"},
                      FailureCase{"non_ascii_pair",
                                  {{U'A', {}}},
                                  "A\u4e2d",
                                  1,
                                  "Contact energy for amino acid's pair A-\u4e2d could not be found !"},
                      FailureCase{"invalid_utf8", {}, "A\xff", 1, "The sequence is not valid UTF-8 (byte 1) !"},
                      FailureCase{"truncated_utf8", {}, "A\xc3", 1, "The sequence is not valid UTF-8 (byte 1) !"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ContactCostFailure, ConformationOfAnotherLengthNamesBothCounts) {
  const EnergyTable table = {{U'A', {{U'A', 1.0}}}};
  // "A\u00e9" would be walked with its 3 bytes as 3 points but has 2 residues.
  const ContactEnergyCost cost = build_contact_energy_cost({{U'A', {{U'\u00e9', 1.0}}}}, "A\u00e9", 1, 7.8);
  for (std::size_t m : {0u, 1u, 3u, 40u}) {
    EXPECT_EQ(panic_message([&] { cost.evaluate(chain(m)); }),
              "The conformation has " + std::to_string(m) +
                  " points but the contact energies were built for 2 residues !");
  }
  // No pairs at all does not excuse a mismatch either.
  const ContactEnergyCost none = build_contact_energy_cost(table, "AA", 5, 7.8);
  EXPECT_THROW(none.evaluate(chain(3)), Panic);
}

// --- The contact rule: d = sqrt((dx*dx + dy*dy) + dz*dz) <= dmax ------------------

struct DmaxCase {
  const char* name;
  double dmax;
  Conformation points;
  bool counts;
};

class ContactDistance : public ::testing::TestWithParam<DmaxCase> {};

TEST_P(ContactDistance, CountsExactlyTheDistancesUpToDmax) {
  const DmaxCase& c = GetParam();
  const ContactEnergyCost cost = build_contact_energy_cost({{U'A', {{U'B', 1.0}}}}, "AB", 1, c.dmax);
  EXPECT_EQ(cost.evaluate(c.points), c.counts ? 1.0 : 0.0);
}

const Conformation kThreeFourFive = {{0, 0, 0}, {3, 4, 0}};  // distance exactly 5

INSTANTIATE_TEST_SUITE_P(
    Examples, ContactDistance,
    ::testing::Values(DmaxCase{"equal_counts", 5.0, kThreeFourFive, true},
                      DmaxCase{"one_ulp_below_does_not", std::nextafter(5.0, 0.0), kThreeFourFive, false},
                      DmaxCase{"one_ulp_above_counts", std::nextafter(5.0, 9.0), kThreeFourFive, true},
                      DmaxCase{"negative_counts_nothing", -1.0, {{0, 0, 0}, {0, 0, 0}}, false},
                      DmaxCase{"negative_zero_admits_distance_zero", -0.0, {{0, 0, 0}, {0, 0, 0}}, true},
                      DmaxCase{"infinite_counts_far_pairs", kInf, {{0, 0, 0}, {1e300, 1e300, 0}}, true},
                      DmaxCase{"nan_counts_nothing", kNaN, {{0, 0, 0}, {0, 0, 0}}, false},
                      DmaxCase{"nan_distance_never_counts", kInf, {{0, 0, 0}, {kNaN, 0, 0}}, false},
                      DmaxCase{"zero_excludes_tiny_distance", 0.0, {{0, 0, 0}, {1e-150, 0, 0}}, false},
                      // The square underflows to 0, and so does the formula's distance.
                      DmaxCase{"zero_admits_distance_whose_square_underflows", 0.0, {{0, 0, 0}, {1e-300, 0, 0}}, true},
                      DmaxCase{"tiny_dmax_admits_equal_tiny_distance", 1e-150, {{0, 0, 0}, {1e-150, 0, 0}}, true},
                      DmaxCase{"subnormal_square_dmax_excludes_twice_it", 1e-160, {{0, 0, 0}, {2e-160, 0, 0}}, false},
                      DmaxCase{"huge_dmax_below_huge_distance", 1e200, {{0, 0, 0}, {2e200, 0, 0}}, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Distances near dmax are where a shortcut on squared distances could go
// wrong: compare against the formula itself with dmax taken from the
// distances (and their neighbours) of random walks.
TEST(ContactDistance, DecidesLikeTheSquareRootFormulaAtTheBoundary) {
  std::mt19937_64 random(12345);
  std::uniform_real_distribution<double> coordinate(-8.0, 8.0);
  const std::size_t n = 12;
  EnergyTable table;
  std::string seq;
  for (std::size_t i = 0; i < n; ++i) {
    seq += static_cast<char>('A' + i);
    for (std::size_t j = 0; j < n; ++j) table[U'A' + i][U'A' + j] = std::ldexp(1.0, static_cast<int>(i + j));
  }
  for (int round = 0; round < 200; ++round) {
    Conformation points;
    for (std::size_t i = 0; i < n; ++i) points.push_back({coordinate(random), coordinate(random), coordinate(random)});
    const Point& a = points[round % n];
    const Point& b = points[(round + 5) % n];
    const double dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
    const double d = std::sqrt((dx * dx + dy * dy) + dz * dz);
    for (double dmax :
         {d, std::nextafter(d, 0.0), std::nextafter(d, 99.0), std::nextafter(std::nextafter(d, 0.0), 0.0)}) {
      for (std::uint64_t kmin : {0u, 1u, 3u}) {
        const ContactEnergyCost cost = build_contact_energy_cost(table, seq, kmin, dmax);
        double expected = 0.0;
        for (std::size_t i = 0; i < n; ++i)
          for (std::size_t j = i + kmin; j < n; ++j) {
            const double ex = points[i].x - points[j].x, ey = points[i].y - points[j].y, ez = points[i].z - points[j].z;
            if (std::sqrt((ex * ex + ey * ey) + ez * ez) <= dmax) expected += table[U'A' + i][U'A' + j];
          }
        ASSERT_EQ(cost.evaluate(points), expected) << "round " << round << " kmin " << kmin;
      }
    }
  }
}

// --- The fast sums against the pair-by-pair loop, bit for bit -------------------------

// Energies of very different sizes, so that any change in which pairs count
// or in the order they are added shows in the sum.
ContactEnergyCost spread_cost(std::size_t n, std::uint64_t kmin, double dmax, Rng& rng) {
  EnergyTable table;
  std::string seq;
  for (std::size_t i = 0; i < n; ++i) seq += char('A' + rng.uniform(0, 20));
  for (char32_t a = U'A'; a < U'A' + 20; ++a)
    for (char32_t b = U'A'; b < U'A' + 20; ++b)
      table[a][b] = std::ldexp(double(rng.uniform(1, 1000)) / 7.0, int(rng.uniform(0, 40)) - 20);
  return build_contact_energy_cost(table, seq, kmin, dmax);
}

// Every entry and kernel gives the pair-by-pair sum of the conformation the
// driver builds from the walk.
void expect_same_sums(const ContactEnergyCost& cost, const LatticeWalk& walk, double scale, const std::string& what) {
  const Conformation points = to_conformation(walk, scale);
  const double want = reference::contact_energy(cost, points);
  const ContactPairs pairs{cost.pair_energies.data(), cost.kmin, cost.dmax};
  const LatticeContactRule rule = lattice_contact_rule(scale, cost.dmax);
  const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
  ASSERT_EQ(bits(cost.evaluate(points)), bits(want)) << what;
  double from_walk = 0.0;
  cost.evaluate_batch(walk, walk.size(), scale, std::span(&from_walk, 1));
  ASSERT_EQ(bits(from_walk), bits(want)) << what;
  if (cost.dmax >= 0.0 && cost.kmin < walk.size()) {
    ASSERT_EQ(bits(contact_sum(points, pairs, ContactKernel::portable)), bits(want)) << what;
    ASSERT_EQ(bits(contact_sum(walk, rule, pairs, ContactKernel::portable)), bits(want)) << what;
  }
}

class ContactSumOnLattice : public ::testing::TestWithParam<LatticeKind> {};

TEST_P(ContactSumOnLattice, EqualsThePairByPairSumBitForBit) {
  const Lattice lattice(GetParam());
  Rng rng = Rng::seeded(7 + std::uint64_t(GetParam()));
  const double scale = lattice_scale(lattice, 3.8);
  // Lattice distances in space, where the integers must defer to the doubles.
  const double on_lattice[] = {3.8, scale * std::sqrt(2.0), scale * 2.0, scale * std::sqrt(8.0),
                               scale * std::sqrt(11.0)};
  for (std::size_t n : {1u, 2u, 9u, 20u, 23u, 24u, 64u, 105u, 300u}) {
    for (int round = 0; round < 6; ++round) {
      // Self-avoiding samples, and free random walks whose repeated points give pairs at distance 0.
      const LatticeWalk walk = round % 3 == 2 ? random_walk(lattice, n, rng) : dimerize(lattice, n, rng);
      for (std::uint64_t kmin : {0u, 1u, 3u}) {
        for (double dmax : {7.8, 5.0, 0.0, kInf, on_lattice[round % 5], std::nextafter(on_lattice[round % 5], 0.0),
                            std::nextafter(on_lattice[round % 5], kInf)}) {
          const ContactEnergyCost cost = spread_cost(n, kmin, dmax, rng);
          expect_same_sums(cost, walk, scale,
                           "n " + std::to_string(n) + " kmin " + std::to_string(kmin) + " dmax " +
                               std::to_string(dmax));
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllLattices, ContactSumOnLattice,
                         ::testing::Values(LatticeKind::tetrahedral, LatticeKind::fcc, LatticeKind::bcc,
                                           LatticeKind::cubic),
                         [](const auto& info) { return std::to_string(int(info.param)); });

// Scales and walks outside the range where lattice integers decide: the sum
// falls back to the doubles and must still agree.
TEST(ContactSumOnLattice, ExtremeScalesDmaxAndFarWalksAgree) {
  const Lattice lattice(LatticeKind::cubic);
  Rng rng = Rng::seeded(99);
  LatticeWalk walk = dimerize(lattice, 40, rng);
  LatticeWalk far = walk;
  for (LatticePoint& p : far) p = p + LatticePoint{1 << 14, -(1 << 20), 5};
  for (double scale : {3.8, -3.8, 0.0, -0.0, 1e-300, 1e-160, 1e150, 1e300, kInf, kNaN}) {
    for (double dmax : {7.8, 1e-300, 1e-160, 1e150, 1e300, kInf, -1.0, kNaN, -0.0}) {
      for (const LatticeWalk* w : {&walk, &far}) {
        const ContactEnergyCost cost = spread_cost(w->size(), 1, dmax, rng);
        expect_same_sums(cost, *w, scale, "scale " + std::to_string(scale) + " dmax " + std::to_string(dmax));
      }
    }
  }
}

// Coordinates that are not on a lattice: NaN and infinities disable the
// boxes, huge and tiny ones stress the band around dmax².
TEST(ContactSumOnPoints, AnyCoordinatesAgreeWithThePairByPairSum) {
  Rng rng = Rng::seeded(5);
  for (double spread : {1.0, 10.0, 1e-160, 1e160}) {
    for (std::size_t n : {5u, 30u, 77u}) {
      Conformation points;
      for (std::size_t i = 0; i < n; ++i) {
        const auto coordinate = [&] { return spread * (double(rng.uniform(0, 20001)) / 1000.0 - 10.0); };
        points.push_back({coordinate(), coordinate(), coordinate()});
      }
      for (int special = 0; special < 3; ++special) {
        if (special == 1) points[n / 2].y = kNaN;
        if (special == 2) points[n / 3].z = -kInf;
        for (double dmax : {spread * 3.0, spread * 7.8, kInf, 0.0}) {
          const ContactEnergyCost cost = spread_cost(n, 1, dmax, rng);
          const double want = reference::contact_energy(cost, points);
          EXPECT_EQ(cost.evaluate(points), want);
          EXPECT_EQ(contact_sum(points, {cost.pair_energies.data(), 1, dmax}, ContactKernel::portable), want);
        }
      }
    }
  }
}

TEST(ContactSumOnLattice, BatchesGiveEachConformationsSum) {
  const Lattice lattice(LatticeKind::fcc);
  Rng rng = Rng::seeded(3);
  const std::size_t n = 50;
  const double scale = lattice_scale(lattice, 3.8);
  const ContactEnergyCost cost = spread_cost(n, 2, 7.8, rng);
  LatticeWalk walks;
  Conformation points;
  std::vector<double> want;
  for (int c = 0; c < 5; ++c) {
    const LatticeWalk walk = dimerize(lattice, n, rng);
    walks.insert(walks.end(), walk.begin(), walk.end());
    const Conformation conformation = to_conformation(walk, scale);
    points.insert(points.end(), conformation.begin(), conformation.end());
    want.push_back(reference::contact_energy(cost, conformation));
  }
  std::vector<double> out(5, -1.0);
  cost.evaluate_batch(points, n, out);
  EXPECT_EQ(out, want);
  out.assign(5, -1.0);
  cost.evaluate_batch(walks, n, scale, out);
  EXPECT_EQ(out, want);
  // An empty batch evaluates nothing, so it checks no length either.
  cost.evaluate_batch(std::span<const Point>(), n + 1, {});
  EXPECT_EQ(panic_message([&] { cost.evaluate_batch(walks, n + 1, scale, std::span(out).first(1)); }),
            "The conformation has 51 points but the contact energies were built for 50 residues !");
}

// The table behind the cost interface: scored anywhere on the walks'
// integers with the table's own sums, and the only form with a delta, which
// refuses a walk of another length as scoring would.
TEST(ContactCostInterface, ScoresWalksAsTheTableAndOffersItsDelta) {
  Rng rng = Rng::seeded(4);
  const std::size_t n = 30;
  const double scale = lattice_scale(Lattice(LatticeKind::bcc), 3.8);
  const ContactEnergyCost table = spread_cost(n, 1, 7.8, rng);
  const std::unique_ptr<Cost> cost = make_contact_cost(table);
  EXPECT_EQ(cost->runs(), CostRuns::anywhere);
  EXPECT_FALSE(cost->reads_points());
  EXPECT_FALSE(cost->accepts(n + 1));
  const LatticeWalk walk = dimerize(Lattice(LatticeKind::bcc), n, rng);
  double got = -1.0;
  cost->score_walks({walk, {}, n, scale}, {&got, 1});
  EXPECT_EQ(got, table.evaluate(to_conformation(walk, scale)));
  ASSERT_TRUE(cost->offers_delta());
  EXPECT_EQ(cost->delta_energies().size(), table.pair_energies.size());
  const std::unique_ptr<ContactField> field = cost->delta(n, scale, LatticeKind::bcc);
  EXPECT_NEAR(field->cross(walk, 0, 0, nullptr) + field->internal(0, n, walk.data(), false), got, 1e-9);
  EXPECT_EQ(panic_message([&] { cost->delta(n + 1, scale, LatticeKind::bcc); }),
            "The conformation has 31 points but the contact energies were built for 30 residues !");
  const std::unique_ptr<Cost> lua = make_lua_cost("f", "function f() return 1 end", "A");
  EXPECT_FALSE(lua->offers_delta());
  EXPECT_TRUE(lua->delta_energies().empty());
}

}  // namespace
}  // namespace tarvex
