// Benchmark of the random generator: keystream and draws, beside libsodium's ChaCha20 when it is installed.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tarvex/walks/cipher.hpp"
#include "tarvex/walks/random.hpp"

#ifdef TARVEX_BENCH_SODIUM
#include <sodium.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double best_seconds(F&& f) {
  double best = 1e300;
  for (int rep = 0; rep < 5; ++rep) {
    const auto start = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main() {
  // The generator's refill: 4 KiB of keystream under a fresh nonce, 64 MiB in all.
  constexpr std::size_t kBlock = 4096, kBlocks = 16384;
  std::vector<unsigned char> out(kBlock);
  tarvex::cipher::Key key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(i);
  volatile unsigned char sink = 0;
  const double ours = best_seconds([&] {
    for (std::uint64_t n = 0; n < kBlocks; ++n) {
      tarvex::cipher::chacha20_stream(out, n, key);
      sink = sink ^ out[n % kBlock];
    }
  });
  const double mib = double(kBlock * kBlocks) / (1 << 20);
  std::printf("keystream tarvex ChaCha20  %8.1f MiB/s\n", mib / ours);
#ifdef TARVEX_BENCH_SODIUM
  if (sodium_init() < 0) return EXIT_FAILURE;
  const double sodium = best_seconds([&] {
    for (std::uint64_t n = 0; n < kBlocks; ++n) {
      unsigned char nonce[crypto_stream_chacha20_NONCEBYTES] = {};
      for (int i = 0; i < 8; ++i) nonce[i] = static_cast<unsigned char>(n >> (8 * i));
      crypto_stream_chacha20(out.data(), out.size(), nonce, key.data());
      sink = sink ^ out[n % kBlock];
    }
  });
  std::printf("keystream libsodium        %8.1f MiB/s   (tarvex/libsodium time %.2f)\n", mib / sodium, ours / sodium);
#else
  std::printf("keystream libsodium        not installed: no yardstick\n");
#endif
  // Draws as the samplers make them: uniform on a small range.
  auto rng = tarvex::Rng::seeded(1);
  constexpr std::size_t kDraws = 50'000'000;
  std::uint64_t total = 0;
  const double draws = best_seconds([&] {
    for (std::size_t i = 0; i < kDraws; ++i) total += rng.uniform(0, 12);
  });
  std::printf("draws uniform(0, 12)       %8.1f M/s (sum %llu)\n", double(kDraws) / draws / 1e6,
              static_cast<unsigned long long>(total % 1000));
  return EXIT_SUCCESS;
}
