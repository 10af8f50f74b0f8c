// Contact energies: the pair table built from the caller's energies, and its sums over conformations and walks.
#include "tarvex/cost/contact_energy.hpp"

#include <algorithm>
#include <utility>

#include "tarvex/cost/contact_delta.hpp"
#include "tarvex/cost/contact_sum.hpp"
#include "tarvex/cost/cost.hpp"
#include "tarvex/fail.hpp"
#include "tarvex/messages.hpp"

namespace tarvex {
namespace {

// Code points of a UTF-8 text. Surrogate code points are let through: a host
// string may carry them, and a residue is only ever compared for equality.
std::vector<char32_t> code_points(std::string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t extra = 0;
    char32_t value = 0;
    char32_t smallest = 0;
    if (lead < 0x80) {
      value = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, value = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, value = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, value = lead & 0x07, smallest = 0x10000;
    } else {
      fail("The sequence is not valid UTF-8 (byte {}) !", at);
    }
    if (text.size() - at <= extra) fail("The sequence is not valid UTF-8 (byte {}) !", at);
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[at + k]);
      if ((next & 0xC0) != 0x80) fail("The sequence is not valid UTF-8 (byte {}) !", at + k);
      value = (value << 6) | (next & 0x3F);
    }
    if (value < smallest || value > 0x10FFFF) fail("The sequence is not valid UTF-8 (byte {}) !", at);
    out.push_back(value);
    at += extra + 1;
  }
  return out;
}

// The bare character, for the messages.
std::string utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

}  // namespace

ContactEnergyCost build_contact_energy_cost(const EnergyTable& table, std::string_view seq_utf8, std::uint64_t kmin,
                                            double dmax) {
  const std::vector<char32_t> residues = code_points(seq_utf8);
  const std::size_t n = residues.size();
  ContactEnergyCost cost;
  cost.kmin = kmin;
  cost.dmax = dmax;
  cost.residues = n;
  // Written as n - i > kmin so that a kmin near 2^64 means no pairs instead
  // of wrapping i + kmin around.
  std::size_t pairs = 0;
  for (std::size_t i = 0; i < n && n - i > kmin; ++i) pairs += n - i - kmin;
  cost.pair_energies.reserve(pairs);
  for (std::size_t i = 0; i < n && n - i > kmin; ++i) {
    const auto row = table.find(residues[i]);
    if (row == table.end()) fail(messages::kNoContactEnergies, utf8(residues[i]));
    for (std::size_t j = i + kmin; j < n; ++j) {
      const auto entry = row->second.find(residues[j]);
      if (entry == row->second.end()) fail(messages::kNoContactEnergy, utf8(residues[i]), utf8(residues[j]));
      cost.pair_energies.push_back(entry->second);
    }
  }
  return cost;
}

// Pair k of a conformation must be pair k of the table; one of another length
// would misattribute energies or read past them.
void ContactEnergyCost::check_length(std::size_t n) const {
  if (n != residues)
    fail("The conformation has {} points but the contact energies were built for {} residues !", n, residues);
}

namespace {

// A negative or NaN dmax admits no distance (NaN compares false).
bool no_pairs(const ContactEnergyCost& cost, std::size_t n) { return !(cost.dmax >= 0.0) || cost.kmin >= n; }

}  // namespace

double ContactEnergyCost::evaluate(std::span<const Point> conformation) const {
  check_length(conformation.size());
  if (no_pairs(*this, residues)) return 0.0;
  return contact_sum(conformation, {pair_energies.data(), kmin, dmax});
}

namespace {

// The batch entries' common part: one length check and one look at the pair
// table for the whole batch, then sum(conformation c, pairs) for each.
template <class Item, class Sum>
void evaluate_each(const ContactEnergyCost& cost, std::span<const Item> items, std::size_t n, std::span<double> out,
                   Sum&& sum) {
  if (out.empty()) return;  // no conformation, no length to check
  cost.check_length(n);
  if (no_pairs(cost, n)) {
    std::fill(out.begin(), out.end(), 0.0);
    return;
  }
  const ContactPairs pairs{cost.pair_energies.data(), cost.kmin, cost.dmax};
  for (std::size_t c = 0; c < out.size(); ++c) out[c] = sum(items.subspan(c * n, n), pairs);
}

}  // namespace

void ContactEnergyCost::evaluate_batch(std::span<const Point> points, std::size_t n, std::span<double> out) const {
  evaluate_each(*this, points, n, out,
                [](std::span<const Point> c, const ContactPairs& pairs) { return contact_sum(c, pairs); });
}

void ContactEnergyCost::evaluate_batch(std::span<const LatticePoint> walks, std::size_t n, double scale,
                                       std::span<double> out) const {
  const LatticeContactRule rule = lattice_contact_rule(scale, dmax);
  evaluate_each(*this, walks, n, out, [&](std::span<const LatticePoint> w, const ContactPairs& pairs) {
    return contact_sum(w, rule, pairs);
  });
}

namespace {

class ContactCost final : public Cost {
 public:
  explicit ContactCost(ContactEnergyCost table) : table_(std::move(table)) {}

  CostRuns runs() const override { return CostRuns::anywhere; }
  bool accepts(std::size_t n) const override { return n == table_.residues; }
  double score_one(std::span<const Point> conformation) override { return table_.evaluate(conformation); }
  void score_points(std::span<const Point> points, std::size_t n, std::span<double> out) override {
    table_.evaluate_batch(points, n, out);
  }
  bool reads_points() const override { return false; }
  void score_walks(const WalkBatch& batch, std::span<double> out) override {
    table_.evaluate_batch(batch.walks, batch.n, batch.scale, out);
  }
  // A batch is all or nothing: its one failure, the length, comes first.
  std::size_t completed() const override { return 0; }

  bool offers_delta() const override { return true; }
  std::unique_ptr<ContactField> delta(std::size_t n, double scale, LatticeKind lattice) const override {
    table_.check_length(n);
    return std::make_unique<ContactField>(table_, scale, lattice);
  }
  std::span<const double> delta_energies() const override { return table_.pair_energies; }

 private:
  ContactEnergyCost table_;
};

}  // namespace

std::unique_ptr<Cost> make_contact_cost(ContactEnergyCost table) {
  return std::make_unique<ContactCost>(std::move(table));
}

}  // namespace tarvex
