// The exhaustive enumeration of self-avoiding walks, depth-first, whole or one subtree at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tarvex/fail.hpp"
#include "tarvex/walks/lattice.hpp"

namespace tarvex {

// Every self-avoiding walk of n points from the origin, each once, depth-first
// with the highest step index tried first at every point. Equivalent to a
// stack of visit entries pushed in step order, but kept as one "next step to
// try" counter per point, so an extension costs no stack traffic.
namespace testing {
struct Peer;  // the tests' access to internals
}  // namespace testing

template <LatticeKind K>
class WalkEnumerator {
 public:
  explicit WalkEnumerator(std::size_t n) : n_(n) {
    walk_.reserve(n);
    remaining_.reserve(n);
  }

  // Every walk of n points that begins with `prefix` (a walk of this lattice,
  // 1 <= prefix.size() < n), in the order the full enumeration yields them:
  // one subtree of the enumeration, so that disjoint prefixes split it into
  // independent parts whose concatenation in prefix order is the whole.
  WalkEnumerator(std::size_t n, std::span<const LatticePoint> prefix) : n_(n), floor_(prefix.size() - 1) {
    if (prefix.empty() || prefix.size() >= n) fail("assertion failed: 1 <= prefix.len() < n");
    walk_.reserve(n);
    walk_.assign(prefix.begin(), prefix.end());
    remaining_.reserve(n);
    remaining_.assign(prefix.size() - 1, 0);
    remaining_.push_back(std::uint8_t(coordination(K)));
  }

  // The next walk (valid until the following call), or nullptr once the
  // enumeration is exhausted, and from then on.
  const LatticeWalk* next() {
    if (done_) return nullptr;
    if (!started_) {
      started_ = true;
      // A subtree starts from its prefix; the whole enumeration from the origin.
      if (walk_.empty()) {
        // A walk of no points is the one walk of length 0.
        if (n_ == 0) {
          done_ = true;
          return &walk_;
        }
        walk_.push_back(kOrigin);
        if (n_ == 1) {
          done_ = true;
          return &walk_;
        }
        remaining_.push_back(std::uint8_t(coordination(K)));
      }
    } else {
      walk_.pop_back();
    }
    return advance();
  }

 private:
  friend struct testing::Peer;

  const LatticeWalk* advance() {
    for (;;) {
      const std::size_t tip = walk_.size() - 1;
      if (remaining_[tip] == 0) {
        remaining_.pop_back();
        if (tip == floor_) {
          done_ = true;
          walk_.clear();
          return nullptr;
        }
        walk_.pop_back();
        continue;
      }
      const std::size_t step = --remaining_[tip];
      const LatticePoint p = neighbour<K>(walk_[tip], step);
      if (!is_new_at<K>(walk_.data(), tip + 1, p)) continue;
      walk_.push_back(p);
      if (walk_.size() == n_) return &walk_;
      remaining_.push_back(std::uint8_t(coordination(K)));
    }
  }

  std::size_t n_;
  std::size_t floor_ = 0;  // the last point of the fixed prefix; the origin for the whole
  LatticeWalk walk_;
  std::vector<std::uint8_t> remaining_;
  bool started_ = false;
  bool done_ = false;
};

}  // namespace tarvex
