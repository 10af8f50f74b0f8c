// The IEEE 754 total order on doubles, by which minima over models and over walks are chosen.
#pragma once

#include <bit>
#include <cstdint>

namespace tarvex {

// The key of a double as an unsigned integer whose order is the total order:
// -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN.
constexpr std::uint64_t total_order_key(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

constexpr bool total_order_less(double a, double b) { return total_order_key(a) < total_order_key(b); }

}  // namespace tarvex
