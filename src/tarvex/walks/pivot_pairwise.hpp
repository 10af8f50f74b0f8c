// The pivot chain on short walks: every moved point against every fixed one, eight at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tarvex/poll.hpp"
#include "tarvex/walks/lattice_point.hpp"
#include "tarvex/walks/random.hpp"
#include "tarvex/walks/signed_permutation.hpp"

namespace tarvex {

namespace detail {

// The walk as frame(points[i]) + offset, in columns: x, y, z and a key per
// point. A move that turns the part after the pivot by g may instead turn
// the part before it by g^-1 and fold g into the frame: the delivered walk
// is the same, point for point, and only the shorter side is touched.
// Coordinates wrap like 32-bit machine integers, so the stored ones may
// drift without bound and the delivered ones still come out exact.
//
// The key is the low 30 bits of x + 2^10 y + 2^20 z in wrapping arithmetic.
// Two points whose coordinates differ by at most 1023 each have equal keys
// only when they are equal, and a moved point and a fixed one are never
// further apart than the chain between them (every lattice step changes
// each coordinate by at most one), so below kMaxPoints a clash is an equal
// key. Columns have spare entries before and after the walk, so that a
// group of eight read around either end stays in the buffer; spare keys
// have the top bits set, which no point's key has, so they match nothing.
struct PairwiseWalk {
  static constexpr std::size_t kMaxPoints = 1024;
  static constexpr std::size_t kPad = 8;
  static constexpr std::uint32_t kKeyBits = (std::uint32_t{1} << 30) - 1;
  static constexpr std::int32_t kNoKey = -1;
  enum Column : std::size_t { kX, kY, kZ, kKey, kColumns };

  // What a pivot at one site moves and tests, fixed by n: the moving side
  // [lo, hi) in blocks of eight from `first` outward (the tail when it is
  // the shorter side), and the fixed side's keys in whole groups of eight
  // from `fixed`, the last reaching into the pad on the far side.
  struct Plan {
    std::int32_t first, lo, hi, fixed, blocks, groups;
    bool tail;
  };

  std::size_t n = 0;
  std::size_t stride = 0;  // entries per column, pads included
  std::vector<std::int32_t> buffer;
  std::vector<Plan> plans;  // by site
  SignedPermutation frame = 0;
  LatticePoint offset{0, 0, 0};

  std::int32_t* column(std::size_t c) { return buffer.data() + c * stride + kPad; }
  const std::int32_t* column(std::size_t c) const { return buffer.data() + c * stride + kPad; }
};

// One instruction set's build of the kernel: a single move, and `count`
// moves drawn as PivotSampler draws them (a pivot site below n - 1, then an
// index into `codes`), with a poll before each.
struct PairwiseKernel {
  bool (*attempt)(PairwiseWalk&, std::size_t site, SignedPermutation g);
  void (*run)(PairwiseWalk&, std::uint64_t count, Rng&, Poll&, std::span<const SignedPermutation> codes);
};

PairwiseKernel portable_pairwise_kernel();
// The AVX2 build; null when the build has none.
const PairwiseKernel* avx2_pairwise_kernel();

}  // namespace detail

// On walks of a few hundred points, testing each moved point against every
// fixed one with vector compares costs less than looking each up in a hash
// table, and nothing branches on the data but the verdict and the lengths.
class PivotPairwise {
 public:
  static constexpr std::size_t kMaxPoints = detail::PairwiseWalk::kMaxPoints;
  enum class Kernel : std::uint8_t { best, portable };

  // A self-avoiding walk of at most kMaxPoints points. Tests ask for the
  // portable kernel to check it where the best one is another.
  explicit PivotPairwise(std::span<const LatticePoint> walk, Kernel kernel = Kernel::best);

  // Applies g about point `site` (site + 1 < size) to every later point of
  // the delivered walk, when the result is self-avoiding; otherwise leaves
  // the walk as it was and returns false.
  bool try_pivot(std::size_t site, SignedPermutation g) { return kernel_.attempt(walk_, site, g); }

  // `count` moves from the generator.
  void run(std::uint64_t count, Rng& rng, Poll& poll, std::span<const SignedPermutation> codes) {
    kernel_.run(walk_, count, rng, poll, codes);
  }

  // The delivered walk, into a buffer the caller reuses.
  void write(LatticeWalk& out) const;

 private:
  detail::PairwiseWalk walk_;
  detail::PairwiseKernel kernel_;
};

}  // namespace tarvex
