// ChaCha20 blocks, eight side by side on 32-bit lane vectors, compiled once per instruction set.
//
// cipher.cpp compiles it for any machine, cipher_avx2.cpp for AVX2, in the way
// simd.hpp describes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tarvex/simd.hpp"

namespace tarvex::cipher::detail {

// kLanes blocks side by side, one vector per state word, so that a quarter
// round is a handful of vector instructions on any target (GCC and clang
// lower the vectors to what the target has); one lane is one block.
inline constexpr std::size_t kLanes = 8;
using Lanes = std::uint32_t[16][kLanes];

// Blocks of the given input states (one per lane) into out, 64 bytes each.
using BlocksFunction = void (*)(const Lanes input, unsigned char* out);
void blocks_portable(const Lanes input, unsigned char* out);
// The AVX2 build; null when the build has none.
const BlocksFunction* blocks_avx2();

namespace {

void store32(unsigned char* p, std::uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, 4);
  } else {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
  }
}

}  // namespace
}  // namespace tarvex::cipher::detail

TARVEX_KERNEL_BEGIN("avx2")

namespace tarvex::cipher::detail {
namespace {

using Vec = simd::U8;
static_assert(sizeof(Vec) == 4 * kLanes);

// In place: a vector passed by value would change the ABI between targets.
template <int N>
[[gnu::always_inline]] inline void rotl_xor(Vec& v, const Vec& by) {
  v ^= by;
  v = (v << N) | (v >> (32 - N));
}

template <int A, int B, int C, int D>
[[gnu::always_inline]] inline void quarter(Vec* x) {
  x[A] += x[B];
  rotl_xor<16>(x[D], x[A]);
  x[C] += x[D];
  rotl_xor<12>(x[B], x[C]);
  x[A] += x[B];
  rotl_xor<8>(x[D], x[A]);
  x[C] += x[D];
  rotl_xor<7>(x[B], x[C]);
}

// Blocks of the given input states (one per lane) into out, 64 bytes each.
[[gnu::always_inline]] inline void blocks_of(const Lanes input, unsigned char* out) {
  Vec start[16], x[16];
  std::memcpy(start, input, sizeof start);
  for (int w = 0; w < 16; ++w) x[w] = start[w];
  for (int round = 0; round < 10; ++round) {
    quarter<0, 4, 8, 12>(x);
    quarter<1, 5, 9, 13>(x);
    quarter<2, 6, 10, 14>(x);
    quarter<3, 7, 11, 15>(x);
    quarter<0, 5, 10, 15>(x);
    quarter<1, 6, 11, 12>(x);
    quarter<2, 7, 8, 13>(x);
    quarter<3, 4, 9, 14>(x);
  }
  alignas(32) Lanes words;
  for (int w = 0; w < 16; ++w) {
    x[w] += start[w];
    std::memcpy(words[w], &x[w], sizeof x[w]);
  }
  for (std::size_t l = 0; l < kLanes; ++l) {
    for (int w = 0; w < 16; ++w) store32(out + 64 * std::size_t(l) + 4 * std::size_t(w), words[w][l]);
  }
}

}  // namespace
}  // namespace tarvex::cipher::detail

TARVEX_KERNEL_END
