// The caller's cost function in its three forms, and its evaluation on a conformation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "tarvex/cost/lua_cost.hpp"
#include "tarvex/point.hpp"
#include "tarvex/walks/lattice_point.hpp"

namespace tarvex {

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
};

// Looks up every pair of seq_utf8's code points in the table, in pair order,
// failing on the first residue without a row or pair without an entry.
ContactEnergyCost build_contact_energy_cost(const EnergyTable& table, std::string_view seq_utf8,
                                            std::uint64_t kmin, double dmax);

// A cost computed by the host (a Python callable); the module derives from it.
// Evaluations run on the thread that owns the call, one at a time, in order.
class HostCost {
 public:
  virtual ~HostCost() = default;
  virtual double evaluate(std::span<const Point> conformation) = 0;
  // out[c] for conformation c at points[c * n, (c + 1) * n); the host may
  // take its lock once for the whole batch.
  virtual void evaluate_batch(std::span<const Point> points, std::size_t n, std::span<double> out) {
    for (completed_ = 0; completed_ < out.size(); ++completed_)
      out[completed_] = evaluate(points.subspan(completed_ * n, n));
  }
  // Conformations of the last batch whose cost is in out, also after the
  // batch failed: those before the failing one.
  std::size_t completed() const noexcept { return completed_; }

 protected:
  std::size_t completed_ = 0;
};

struct PythonCost {
  std::unique_ptr<HostCost> host;
};

using CostFunction = std::variant<PythonCost, LuaCost, ContactEnergyCost>;

double evaluate_cost(CostFunction& cost, std::span<const Point> conformation);

// out[c] = evaluate_cost(cost, conformation c) for the conformations of n
// points stored one after the other in points, evaluated in order. A Lua cost
// takes the whole batch in one handoff to its thread.
void evaluate_costs(CostFunction& cost, std::span<const Point> points, std::size_t n, std::span<double> out);

// Ends what a cost keeps running: a Lua cost's state is closed (its
// finalisers run, waiting as evaluations do). Called once a call has
// succeeded; on a failure the cost's destructor closes it without waiting long.
void close_cost(CostFunction& cost);

// Contact energies are a pure function of the conformation and may be
// evaluated on any thread in any order. Lua and host costs keep state between
// evaluations (globals, the caller's objects), so theirs run one at a time in
// sample order.
inline bool evaluates_anywhere(const CostFunction& cost) {
  return std::holds_alternative<ContactEnergyCost>(cost);
}

}  // namespace tarvex
