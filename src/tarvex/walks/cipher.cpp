// ChaCha20 blocks, BLAKE2b compression and the OS's entropy behind the random generator.
#include "tarvex/walks/cipher.hpp"

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tarvex/fail.hpp"
#include "tarvex/walks/cipher_kernel.hpp"

#if defined(__APPLE__)
#include <stdlib.h>
#elif defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace tarvex::cipher {

void detail::blocks_portable(const Lanes input, unsigned char* out) { blocks_of(input, out); }

namespace {

using detail::kLanes;
using detail::Lanes;
using detail::store32;

std::uint32_t load32(const unsigned char* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

std::uint64_t load64(const unsigned char* p) { return std::uint64_t(load32(p)) | std::uint64_t(load32(p + 4)) << 32; }

// "expand 32-byte k"
constexpr std::uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

// The widest kernel the processor runs, chosen once.
void blocks(const Lanes input, unsigned char* out) {
  static const detail::BlocksFunction kernel =
      simd::choose<detail::BlocksFunction>(&detail::blocks_portable, detail::blocks_avx2());
  kernel(input, out);
}

void fill_key(Lanes state, const Key& key) {
  for (int w = 0; w < 4; ++w) {
    for (std::size_t l = 0; l < kLanes; ++l) state[w][l] = kSigma[w];
  }
  for (int w = 0; w < 8; ++w) {
    const std::uint32_t k = load32(key.data() + 4 * std::size_t(w));
    for (std::size_t l = 0; l < kLanes; ++l) state[4 + w][l] = k;
  }
}

}  // namespace

void chacha20_block(const Key& key, const std::array<std::uint32_t, 4>& counter_nonce,
                    std::span<unsigned char, 64> out) {
  alignas(32) Lanes state;
  fill_key(state, key);
  for (int w = 0; w < 4; ++w) {
    for (std::size_t l = 0; l < kLanes; ++l) state[12 + w][l] = counter_nonce[w];
  }
  unsigned char all[64 * kLanes];
  blocks(state, all);
  std::memcpy(out.data(), all, 64);
}

void chacha20_stream(std::span<unsigned char> out, std::uint64_t nonce, const Key& key) {
  if (out.size() % 64 != 0) fail("ChaCha20 keystream of {} bytes is not whole blocks", out.size());
  alignas(32) Lanes state;
  fill_key(state, key);
  for (std::size_t l = 0; l < kLanes; ++l) {
    state[14][l] = static_cast<std::uint32_t>(nonce);
    state[15][l] = static_cast<std::uint32_t>(nonce >> 32);
  }
  std::uint64_t counter = 0;
  unsigned char* at = out.data();
  std::size_t left = out.size() / 64;
  while (left > 0) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      state[12][l] = static_cast<std::uint32_t>(counter + l);
      state[13][l] = static_cast<std::uint32_t>((counter + l) >> 32);
    }
    if (left >= kLanes) {
      blocks(state, at);
      at += 64 * kLanes;
      left -= kLanes;
    } else {
      unsigned char tail[64 * kLanes];
      blocks(state, tail);
      std::memcpy(at, tail, 64 * left);
      left = 0;
    }
    counter += kLanes;
  }
}

namespace {

constexpr std::uint64_t kIv[8] = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
                                  0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};

constexpr unsigned char kSchedule[12][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4}, {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13}, {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11}, {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5}, {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
};

inline void mix(std::uint64_t* v, int a, int b, int c, int d, std::uint64_t x, std::uint64_t y) {
  v[a] += v[b] + x;
  v[d] = std::rotr(v[d] ^ v[a], 32);
  v[c] += v[d];
  v[b] = std::rotr(v[b] ^ v[c], 24);
  v[a] += v[b] + y;
  v[d] = std::rotr(v[d] ^ v[a], 16);
  v[c] += v[d];
  v[b] = std::rotr(v[b] ^ v[c], 63);
}

}  // namespace

Blake2b::Blake2b(std::size_t out_bytes, std::span<const unsigned char> key) : out_bytes_(out_bytes) {
  if (out_bytes < 1 || out_bytes > 64 || key.size() > 64)
    fail("BLAKE2b of {} bytes with a key of {}", out_bytes, key.size());
  for (int i = 0; i < 8; ++i) h_[i] = kIv[i];
  h_[0] ^= 0x01010000 ^ (std::uint64_t(key.size()) << 8) ^ out_bytes;
  if (!key.empty()) {
    // A key is the first block of input, padded with zeros.
    update(key);
    filled_ = block_.size();
  }
}

void Blake2b::compress(bool last) {
  std::uint64_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = load64(block_.data() + 8 * std::size_t(i));
  std::uint64_t v[16];
  for (int i = 0; i < 8; ++i) {
    v[i] = h_[i];
    v[8 + i] = kIv[i];
  }
  v[12] ^= count_[0];
  v[13] ^= count_[1];
  if (last) v[14] = ~v[14];
  for (const auto& s : kSchedule) {
    mix(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
    mix(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
    mix(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
    mix(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
    mix(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
    mix(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
    mix(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
    mix(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
  }
  for (int i = 0; i < 8; ++i) h_[i] ^= v[i] ^ v[8 + i];
}

void Blake2b::update(std::span<const unsigned char> data) {
  for (unsigned char byte : data) {
    // A full block is compressed only once more input follows: the last
    // block, full or not, is compressed by final with its flag set.
    if (filled_ == block_.size()) {
      count_[0] += filled_;
      if (count_[0] < filled_) ++count_[1];
      compress(false);
      filled_ = 0;
    }
    block_[filled_++] = byte;
  }
}

void Blake2b::final(std::span<unsigned char> out) {
  if (out.size() != out_bytes_) fail("BLAKE2b digest of {} bytes asked for {}", out_bytes_, out.size());
  count_[0] += filled_;
  if (count_[0] < filled_) ++count_[1];
  std::memset(block_.data() + filled_, 0, block_.size() - filled_);
  compress(true);
  for (std::size_t i = 0; i < out_bytes_; ++i) out[i] = static_cast<unsigned char>(h_[i / 8] >> (8 * (i % 8)));
}

namespace {

// A file descriptor closed on every path out.
struct File {
  std::FILE* f;
  ~File() {
    if (f) std::fclose(f);
  }
};

void urandom(std::span<unsigned char> out) {
  File file{std::fopen("/dev/urandom", "rb")};
  if (!file.f || std::fread(out.data(), 1, out.size(), file.f) != out.size()) {
    fail("cannot read the operating system's entropy (/dev/urandom)");
  }
}

}  // namespace

void os_entropy(std::span<unsigned char> out) {
#if defined(__APPLE__)
  arc4random_buf(out.data(), out.size());
#elif defined(__linux__) && defined(SYS_getrandom)
  // The system call itself rather than glibc's wrapper (2.25 and later), so
  // the module runs on the older C libraries a portable wheel allows.
  std::size_t done = 0;
  while (done < out.size()) {
    const long got = syscall(SYS_getrandom, out.data() + done, out.size() - done, 0);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else if (got < 0 && (errno == ENOSYS || errno == EPERM)) {
      // Kernels before 3.17, or a sandbox that forbids the call.
      urandom(out.subspan(done));
      return;
    } else {
      fail("cannot read the operating system's entropy (getrandom: {})", std::strerror(errno));
    }
  }
#else
  urandom(out);
#endif
}

}  // namespace tarvex::cipher
