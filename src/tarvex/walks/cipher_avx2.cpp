// ChaCha20 blocks compiled for processors with AVX2.
#define TARVEX_SIMD_AVX2 1
#include "tarvex/walks/cipher_kernel.hpp"

namespace tarvex::cipher::detail {

#if TARVEX_SIMD_AVX2
namespace {

[[gnu::target("avx2")]] void blocks_on_avx2(const Lanes input, unsigned char* out) { blocks_of(input, out); }

constexpr BlocksFunction kBlocksAvx2 = &blocks_on_avx2;

}  // namespace
#endif

const BlocksFunction* blocks_avx2() { return TARVEX_IF_AVX2(&kBlocksAvx2); }

}  // namespace tarvex::cipher::detail
