// Room to reserve for a list whose final size is only claimed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tarvex {

// A claimed size (an object's length, a sample size) is never trusted with
// more than this: a false or absurd claim must not allocate gigabytes before
// the first item arrives. The list still grows as needed.
constexpr std::size_t reserve_for(std::uint64_t claimed) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(claimed, std::uint64_t{1} << 16));
}

}  // namespace tarvex
