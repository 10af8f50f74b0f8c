// Contact energies: the pair table built from the caller's energies, and its sums over conformations and walks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tarvex/point.hpp"
#include "tarvex/walks/lattice_point.hpp"

namespace tarvex {

class Cost;

// Contact energies as the caller gives them: first residue -> second residue
// -> energy. Residues are Unicode code points. Used once, when the cost is built.
using EnergyRow = std::unordered_map<char32_t, double>;
using EnergyTable = std::unordered_map<char32_t, EnergyRow>;

// A pairwise contact potential with every pair's energy looked up in advance.
// Pair order: i = 0, 1, ... and within each i, j = i + kmin, ..., n - 1.
struct ContactEnergyCost {
  std::vector<double> pair_energies;  // one per pair, in pair order
  std::uint64_t kmin = 1;             // smallest sequence separation that counts
  double dmax = 7.8;                  // largest distance that is still a contact
  std::size_t residues = 0;           // the n the pairs were formed over

  // Sum, in pair order, of the energies of the pairs at distance <= dmax.
  double evaluate(std::span<const Point> conformation) const;

  // out[c] for the conformation (or walk) c of n points at [c * n, (c + 1) * n).
  // A walk's sum is the same, bit for bit, as that of its conformation
  // double(p) * scale, and faster: the walk's integers decide most pairs.
  void evaluate_batch(std::span<const Point> points, std::size_t n, std::span<double> out) const;
  void evaluate_batch(std::span<const LatticePoint> walks, std::size_t n, double scale, std::span<double> out) const;

  // Fails as an evaluation of a conformation of n points would when n is not
  // the number of residues.
  void check_length(std::size_t n) const;
};

// Looks up every pair of seq_utf8's code points in the table, in pair order,
// failing on the first residue without a row or pair without an entry.
ContactEnergyCost build_contact_energy_cost(const EnergyTable& table, std::string_view seq_utf8, std::uint64_t kmin,
                                            double dmax);

// The table as a Cost: scored anywhere, walks on their integers, with the
// change of energy when points move (a ContactField).
std::unique_ptr<Cost> make_contact_cost(ContactEnergyCost table);

}  // namespace tarvex
