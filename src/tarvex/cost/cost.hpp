// The caller's cost behind one interface: what it scores, where that may run, and its change when points move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "tarvex/cost/contact_energy.hpp"
#include "tarvex/cost/lua_cost.hpp"
#include "tarvex/point.hpp"
#include "tarvex/walks/lattice_point.hpp"

namespace tarvex {

class ContactField;

// A batch of walks to score: walk c is walks[c * n, (c + 1) * n), and its
// conformation, the walk's points times scale, is points[c * n, (c + 1) * n)
// when the cost reads points (it may be empty otherwise).
struct WalkBatch {
  std::span<const LatticePoint> walks;
  std::span<const Point> points;
  std::size_t n;
  double scale;
};

// Where a cost's evaluations may run.
enum class CostRuns : std::uint8_t {
  // A pure function of the conformation: any thread, any order, several
  // threads at once (contact tables).
  anywhere,
  // One at a time, in order, on a thread of the cost's own; start() and
  // wait() let the caller work meanwhile (Lua, whose globals persist).
  own_thread,
  // One at a time, in order, on the thread that owns the call, which the
  // cost may make take the host's lock (a Python callable).
  caller,
};

// The caller's cost in whichever form it came: a contact table, Lua or the
// host's callable. Callers ask it rather than its form; the hot loops stay
// behind one virtual call per batch (or per walk for a chain's whole-walk
// energy), never per pair.
class Cost {
 public:
  virtual ~Cost() = default;

  virtual CostRuns runs() const = 0;

  // False when a conformation of n points fails whatever its points (a table
  // built for another length): it is then scored alone, in order.
  virtual bool accepts(std::size_t /*n*/) const { return true; }

  virtual double score_one(std::span<const Point> conformation) = 0;

  // out[c] for the conformation c of n points at points[c * n, (c + 1) * n),
  // in order of c. On a failure out[0, completed()) holds the results before
  // the failing conformation.
  virtual void score_points(std::span<const Point> points, std::size_t n, std::span<double> out) = 0;

  // Whether score_walks reads the batch's points (else only its walks).
  virtual bool reads_points() const { return true; }
  // out[c] for walk c of the batch, the same as its conformation's score.
  virtual void score_walks(const WalkBatch& batch, std::span<double> out) { score_points(batch.points, batch.n, out); }

  // Results the last batch delivered to out, also after it failed.
  virtual std::size_t completed() const = 0;

  // score_points in two halves for a cost that runs on its own thread: start
  // returns at once (out stays valid until wait), wait waits and rethrows the
  // batch's failure. One batch at a time. Elsewhere start scores at once.
  virtual void start(std::span<const Point> points, std::size_t n, std::span<double> out) {
    score_points(points, n, out);
  }
  virtual void wait() {}

  // The change of the cost when a few points of a lattice walk move, without
  // the whole sum: offered by the costs made of pair energies. delta fails as
  // scoring a conformation of n points would when the cost cannot take one,
  // and otherwise reads the cost, which must outlive it.
  virtual bool offers_delta() const { return false; }
  virtual std::unique_ptr<ContactField> delta(std::size_t n, double scale, LatticeKind lattice) const;
  // The pair energies a delta adds up (empty without a delta): their
  // finiteness and typical magnitude tell how a chain at a temperature behaves.
  virtual std::span<const double> delta_energies() const { return {}; }

  // Ends what the cost keeps running: a Lua state is closed (its finalisers
  // run, waiting as evaluations do). Called once a call has succeeded; on a
  // failure the destructor closes without waiting long.
  virtual void close() {}
};

// A cost computed by the host (a Python callable); the module derives from it.
// Evaluations run on the thread that owns the call, one at a time, in order.
class HostCost : public Cost {
 public:
  CostRuns runs() const final { return CostRuns::caller; }
  // The host may take its lock once for the whole batch.
  void score_points(std::span<const Point> points, std::size_t n, std::span<double> out) override {
    for (completed_ = 0; completed_ < out.size(); ++completed_)
      out[completed_] = score_one(points.subspan(completed_ * n, n));
  }
  std::size_t completed() const final { return completed_; }

 protected:
  std::size_t completed_ = 0;
};

// A Lua cost (see LuaCost) as a Cost: on its own thread, one batch per handoff.
std::unique_ptr<Cost> make_lua_cost(std::string_view function_name, std::string_view source, std::string sequence,
                                    Check check = {});

}  // namespace tarvex
