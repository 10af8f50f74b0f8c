// The per-thread random generator: a ChaCha20 keystream read in blocks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "tarvex/fail.hpp"

namespace tarvex {

// Draws are on the innermost loop of dimerization, so the common case is an
// inline read from a buffered block of keystream; only refills leave the header.
class Rng {
 public:
  // Keyed from the operating system's entropy and rekeyed from it every
  // kReseedBytes of output.
  Rng();

  // A reproducible stream for tests and benchmarks; never rekeyed from the OS.
  static Rng seeded(std::uint64_t seed);

  // The reproducible stream of a seed of any length (the bytes of a caller's
  // integer): the key is a hash of them, so every seed gives its own stream,
  // the same on every machine. Never rekeyed from the OS.
  static Rng keyed(std::span<const unsigned char> seed);

  std::uint64_t next() {
    if (pos_ == kWords) [[unlikely]]
      refill();
    return block_[pos_++];
  }

  // Uniform on [low, high) without modulo bias: Lemire's multiply-shift, with
  // the rare rejection that makes every value equally likely.
  std::uint64_t uniform(std::uint64_t low, std::uint64_t high) {
    if (high <= low) [[unlikely]]
      fail("cannot sample empty range");
    const std::uint64_t range = high - low;
    unsigned __int128 product = static_cast<unsigned __int128>(next()) * range;
    auto fraction = static_cast<std::uint64_t>(product);
    if (fraction < range) [[unlikely]] {
      const std::uint64_t threshold = (0 - range) % range;
      while (fraction < threshold) {
        product = static_cast<unsigned __int128>(next()) * range;
        fraction = static_cast<std::uint64_t>(product);
      }
    }
    return low + static_cast<std::uint64_t>(product >> 64);
  }

  static constexpr std::size_t kWords = 512;  // one 4 KiB block of keystream
  static constexpr std::uint64_t kReseedBytes = std::uint64_t(4) << 20;

 private:
  struct Deterministic {};
  explicit Rng(Deterministic) {}

  [[gnu::noinline]] void refill();

  std::array<std::uint64_t, kWords> block_{};
  std::size_t pos_ = kWords;
  std::array<unsigned char, 32> key_{};
  std::uint64_t nonce_ = 0;
  std::uint64_t since_reseed_ = 0;
  bool from_os_ = false;
};

// The calling thread's generator, keyed from the OS on the thread's first draw.
Rng& thread_rng();

// Replaces the calling thread's generator by the stream of the seed, or by a
// fresh one keyed from the OS when there is none.
void seed_thread_rng(std::optional<std::span<const unsigned char>> seed);

}  // namespace tarvex
