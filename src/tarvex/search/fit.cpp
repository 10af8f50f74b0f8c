// Whole-protein lattice fits: placements from many frames, re-superposed until they settle, the best refined.
#include "tarvex/search/fit.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <numbers>
#include <optional>
#include <vector>

#include "tarvex/fail.hpp"
#include "tarvex/memory.hpp"
#include "tarvex/messages.hpp"
#include "tarvex/sampling/progress.hpp"
#include "tarvex/search/placement.hpp"
#include "tarvex/search/prefix.hpp"
#include "tarvex/search/refine.hpp"
#include "tarvex/search/superpose.hpp"
#include "tarvex/thread_pool.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/point_set.hpp"
#include "tarvex/walks/straight_walk.hpp"

namespace tarvex {
namespace {

using search::kUnreachable;
using search::Target;

// Rotation i of count spread evenly over all rotations: a super-Fibonacci
// spiral of unit quaternions (Alexa, CVPR 2022), deterministic and uniform.
Mat3 spread_rotation(std::size_t i, std::size_t count) {
  constexpr double phi = std::numbers::sqrt2, psi = 1.533751168755204288118041;
  const double s = double(i) + 0.5, t = s / double(count);
  const double r = std::sqrt(t), big = std::sqrt(1 - t);
  const double alpha = 2 * std::numbers::pi * s / phi, beta = 2 * std::numbers::pi * s / psi;
  const double w = r * std::sin(alpha), x = r * std::cos(alpha), y = big * std::sin(beta), z = big * std::cos(beta);
  return {{{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
           {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
           {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}}};
}

// Offset i of a low-discrepancy sequence over the cube of side `cell` (the
// R3 sequence, Roberts 2018): the target's centre at evenly spread positions
// relative to the lattice's sites.
Point spread_offset(std::size_t i, double cell) {
  constexpr double g = 1.22074408460575947536;
  const double k = double(i);
  const auto frac = [](double v) { return v - std::floor(v); };
  return {frac(0.5 + k / g) * cell, frac(0.5 + k / (g * g)) * cell, frac(0.5 + k / (g * g * g)) * cell};
}

// The side of a cube whose translations map the lattice onto itself.
constexpr double cell_side(LatticeKind kind) {
  return kind == LatticeKind::cubic ? 1 : kind == LatticeKind::tetrahedral ? 4 : 2;
}

// The frames one width explores, shared among the models.
std::size_t frames_for(std::size_t width) { return std::max<std::size_t>(8, width / 16); }

// The beam's work grows with its width times the square of the length (each
// extension is checked against the whole prefix), so past kFullWidthLength
// the width shrinks in proportion to keep the time linear in the length.
// Cubic and bcc gain most from width (their prefixes tie often); the
// diamond lattice gains more from the wider refinement, fcc from neither.
constexpr std::size_t kFullWidthLength = 150, kLeastWidth = 100;
constexpr std::size_t full_width(LatticeKind kind) {
  return kind == LatticeKind::cubic || kind == LatticeKind::bcc ? 2000 : 1000;
}
std::size_t default_width(LatticeKind kind, std::size_t n) {
  if (n <= kFullWidthLength) return full_width(kind);
  return std::max(kLeastWidth, full_width(kind) * kFullWidthLength / n);
}

// The second, wider radius, when the first gives no walk.
constexpr double kFarRadius = 1.5;

// The beam ranks against this many models at most.
constexpr std::size_t kBeamModels = 2;

// Chains this short are solved exactly; the bound from the heuristic fit
// keeps the search small (milliseconds up to about a second on fcc).
constexpr std::size_t kExactLength = 12;
constexpr std::uint64_t kExactBudget = 200'000'000;

// The radius of the candidate sites around each target point, in units of
// arc_length: a little past the largest deviation of good fits, wider on
// the coarser lattices.
constexpr double radius_for(LatticeKind kind) {
  return kind == LatticeKind::tetrahedral ? 1.5 : kind == LatticeKind::cubic ? 1.4 : 1.3;
}

// Diversity pays on the lattices of few directions with many turns of
// equal angle (cubic, bcc); the diamond lattice's prefixes are few enough
// that it only displaces good ones, and fcc's many directions leave little
// crowding.
search::BeamDiversity diversity_for(LatticeKind kind, const FitSettings& settings) {
  const bool wanted = kind == LatticeKind::cubic || kind == LatticeKind::bcc;
  search::BeamDiversity d;
  const std::size_t tail = kind == LatticeKind::cubic ? 5 : 4;
  d.tail = settings.tail != FitSettings::kByLattice ? settings.tail : wanted ? tail : 0;
  d.per_tail = settings.per_tail != FitSettings::kByLattice ? settings.per_tail : 2;
  return d;
}

bool repeats(const LatticeWalk& walk, PointSet& seen) {
  seen.reset(walk.size());
  for (const LatticePoint& p : walk)
    if (!seen.insert(p)) return true;
  return false;
}

struct Outcome {
  double residual = kUnreachable;  // sum of squares after superposition, lattice units
  LatticeWalk walk;
};

// Everything one thread needs to follow placements.
template <LatticeKind K>
struct Follower {
  // Near each target point first, then further out when the sites near the
  // points do not join into a walk (the frame turns the target against the
  // lattice's directions), or when every self-avoiding prefix was trapped.
  search::Placement<K> near, far;
  std::vector<Point> u;
  LatticeWalk walk, next;

  explicit Follower(double radius) : near(radius), far(kFarRadius * radius) {}

  // The closest self-avoiding walk to u; false when none was found.
  bool place(LatticeWalk& out, const FitSettings& settings) {
    for (search::Placement<K>* p : {&near, &far}) {
      const double cost = p->place(u, out);
      if (cost < search::kClashes) return true;
      if (cost == search::kClashes && p->place_avoiding(u, settings.repair_width, out) < kUnreachable) return true;
    }
    return false;
  }

  // The placement from one frame, re-superposed until the walk no longer
  // changes: each round's walk is the closest to the target where the last
  // one put it, so the residual only falls while it moves.
  void follow(const Target& target, const Mat3& rotation, Point offset, const FitSettings& settings, Outcome& best) {
    search::place_target(target, rotation, offset, u);
    if (!place(walk, settings)) return;
    for (std::size_t round = 0;; ++round) {
      const search::Superposition s = search::superpose(walk, target);
      if (s.residual < best.residual) {
        best.residual = s.residual;
        best.walk = walk;
      }
      if (round + 1 >= settings.rounds) return;
      search::place_target(target, s.rotation, s.offset, u);
      if (!place(next, settings) || next == walk) return;
      std::swap(walk, next);
    }
  }
};

// The walk moved to start at the origin. A diamond walk that starts on the
// odd sublattice is turned by (x, y, z) -> (-y, -x, -z), a proper rotation
// that exchanges the sublattices' step sets, so it starts on the even one.
template <LatticeKind K>
LatticeWalk from_origin(LatticeWalk walk) {
  if (walk.empty()) return walk;
  const LatticePoint start = walk[0];
  for (LatticePoint& p : walk) p = p - start;
  if constexpr (K == LatticeKind::tetrahedral) {
    if (is_odd(start))
      for (LatticePoint& p : walk) p = {-p.y, -p.x, -p.z};
  }
  return walk;
}

template <LatticeKind K>
bool is_walk(const LatticeWalk& walk) {
  if (walk.empty()) return true;
  if (walk[0] != kOrigin) return false;
  for (std::size_t i = 1; i < walk.size(); ++i) {
    bool step = false;
    for (std::size_t k = 0; k < coordination(K); ++k) step = step || neighbour<K>(walk[i - 1], k) == walk[i];
    if (!step) return false;
  }
  PointSet seen;
  return !repeats(walk, seen);
}

template <LatticeKind K>
LatticeWalk fit_on(const std::vector<Target>& targets, std::size_t n, double arc, const FitSettings& settings,
                   Poll& host) {
  const std::size_t width = settings.beam != 0 ? settings.beam : default_width(K, n);
  const std::size_t models = targets.size();
  const std::size_t per_model =
      settings.frames != 0 ? settings.frames : std::max<std::size_t>(4, frames_for(width) / models);
  const std::size_t total = settings.placements ? per_model * models : 0;
  const double radius = radius_for(K) * arc;
  // Frames, then the beams' lengths.
  SharedProgress progress(host, settings.pbar, total + (settings.prefix ? (settings.both_ends ? 2 : 1) * (n - 1) : 0));
  std::atomic<std::uint64_t>& done = progress.done();
  Poll& poll = progress.poll();

  // Frames in chunks, each chunk's best per model kept; the chunks' bests
  // compared in chunk order make the result independent of who ran what.
  constexpr std::size_t kChunk = 4;
  const std::size_t chunks = (total + kChunk - 1) / kChunk;
  std::vector<Outcome> bests(chunks * models);
  {
    TaskGroup group(worker_count(), poll);
    for (std::size_t c = 0; c < chunks; ++c) {
      group.submit([&, c](Poll& task_poll) {
        Follower<K> follower(radius);
        for (std::size_t f = c * kChunk; f < std::min(total, (c + 1) * kChunk); ++f) {
          task_poll.check_now();
          const std::size_t model = f / per_model, k = f % per_model;
          follower.follow(targets[model], spread_rotation(k, per_model), spread_offset(k, cell_side(K)), settings,
                          bests[c * models + model]);
          done.fetch_add(1, std::memory_order_relaxed);
        }
      });
    }
    group.wait();
  }
  // The best placement of each model, and the models in order of it.
  std::vector<Outcome> by_model(models);
  for (std::size_t c = 0; c < chunks; ++c)
    for (std::size_t m = 0; m < models; ++m)
      if (bests[c * models + m].residual < by_model[m].residual) by_model[m] = std::move(bests[c * models + m]);
  std::vector<std::size_t> ranked(models);
  for (std::size_t m = 0; m < models; ++m) ranked[m] = m;
  std::stable_sort(ranked.begin(), ranked.end(),
                   [&](std::size_t a, std::size_t b) { return by_model[a].residual < by_model[b].residual; });
  Outcome best = by_model[ranked[0]];

  // A beam over prefix RMSDs against the models that placed best (few,
  // since its cost grows with them), its walk then followed as a placement.
  if (settings.prefix) {
    const std::size_t kept = std::min<std::size_t>(models, kBeamModels);
    std::vector<Target> chosen;
    for (std::size_t k = 0; k < kept; ++k) chosen.push_back(targets[ranked[k]]);
    const std::function<void()> tick = [&] { done.fetch_add(1, std::memory_order_relaxed); };
    const search::BeamDiversity diversity = diversity_for(K, settings);
    // The beam's first points are chosen on little evidence; grown from the
    // other end the chain is decided there last, so the two beams fail in
    // different places and the better walk is kept.
    std::vector<Target> reversed = chosen;
    for (Target& t : reversed) std::reverse(t.points.begin(), t.points.end());
    for (int end = 0; end < (settings.both_ends ? 2 : 1); ++end) {
      std::optional<LatticeWalk> walk =
          search::prefix_beam<K>(end == 0 ? chosen : reversed, width, poll, tick, diversity);
      if (!walk) continue;
      if (end == 1) std::reverse(walk->begin(), walk->end());
      Follower<K> follower(radius);
      for (const Target& t : chosen) {
        Outcome o;
        o.walk = *walk;
        o.residual = search::superpose(*walk, t).residual;
        if (settings.polish) {
          const search::Superposition s = search::superpose(*walk, t);
          follower.follow(t, s.rotation, s.offset, settings, o);
        }
        if (o.residual < best.residual) best = std::move(o);
      }
    }
  }
  progress.catch_up();
  LatticeWalk walk = best.residual < kUnreachable ? from_origin<K>(best.walk) : straight_walk(Lattice(K), n);
  // Regrowing the first points moves the start off the origin.
  if (settings.refine && best.residual < kUnreachable) {
    // The diamond lattice's three turns per point make long windows cheap.
    const std::size_t window = settings.window != FitSettings::kByLattice ? settings.window
                               : K == LatticeKind::tetrahedral            ? 6
                                                                          : 3;
    search::refine<K>(targets, walk, window, 4, poll);
    walk = from_origin<K>(std::move(walk));
  }
  if (settings.exact && n <= kExactLength) {
    double bound = kUnreachable;
    if (best.residual < kUnreachable) bound = search::refine<K>(targets, walk, 0, 0, poll) * (1 + 1e-9);
    const search::ExactResult exact = search::exact_fit<K>(targets, bound, kExactBudget, poll);
    if (exact.walk) walk = *exact.walk;
  }
  progress.close();
  if (!is_walk<K>(walk)) fail("assertion failed: the fit is a self-avoiding walk from the origin");
  return walk;
}

}  // namespace

void require_fit_memory(LatticeKind lattice, std::size_t beam, std::size_t n) {
  const std::uint64_t width = beam != 0 ? beam : full_width(lattice);
  const double step = with_lattice(lattice, [](auto kc) { return lattice_scale(Lattice(decltype(kc)::value), 1.0); });
  std::uint64_t cells = 0;
  for (double r : {radius_for(lattice) / step, kFarRadius * radius_for(lattice) / step}) {
    const std::uint64_t side = 2 * (std::uint64_t(std::ceil(r)) + 1) + 1;
    cells += side * side * side;
  }
  // Two rows of points per beam entry; per thread the cells and some sites.
  require_memory(n, 2 * width * sizeof(LatticePoint) + thread_count() * (4 * cells + 512),
                 "a lattice fit of that many points");
  // Every extension of a length: its sums against each model the beam uses.
  require_memory(width, coordination(lattice) * (kBeamModels * sizeof(search::PrefixSums) + 16),
                 "a beam of that width");
}

LatticeWalk fit_walk(std::span<const Conformation> models, LatticeKind lattice, double arc_length,
                     const FitSettings& settings, Poll& poll) {
  if (models.empty()) fail(messages::kNoModels);
  const std::size_t n = models[0].size();
  for (const Conformation& m : models)
    if (m.size() < n) fail(messages::kShortModel, m.size(), m.size());
  return with_lattice(lattice, [&](auto kc) {
    constexpr LatticeKind K = decltype(kc)::value;
    const double scale = lattice_scale(Lattice(K), arc_length);
    // Models that cannot be compared (non-finite coordinates) guide nothing;
    // without a usable model or scale every walk is as good as another.
    std::vector<Target> targets;
    if (n >= 2 && std::isfinite(scale) && scale != 0) {
      for (const Conformation& m : models) {
        Target t = search::make_target(std::span<const Point>(m).first(n), scale);
        if (std::isfinite(t.norm)) targets.push_back(std::move(t));
      }
    }
    if (targets.empty()) return straight_walk(Lattice(K), n);
    return fit_on<K>(targets, n, std::fabs(arc_length) / std::fabs(scale), settings, poll);
  });
}

}  // namespace tarvex
