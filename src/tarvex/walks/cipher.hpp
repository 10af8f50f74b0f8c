// The random generator's primitives: the ChaCha20 keystream, the BLAKE2b hash, the OS's entropy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tarvex::cipher {

using Key = std::array<unsigned char, 32>;

// One 64-byte ChaCha20 block (RFC 8439, section 2.3) of the key, with the last
// four words of the input state given: the block counter and the nonce, as
// either form of ChaCha20 lays them out.
void chacha20_block(const Key& key, const std::array<std::uint32_t, 4>& counter_nonce,
                    std::span<unsigned char, 64> out);

// ChaCha20's keystream in its original form: a 64-bit nonce, a 64-bit block
// counter from 0 (words 12-13 the counter, 14-15 the nonce, little-endian).
// out.size() is a multiple of 64.
void chacha20_stream(std::span<unsigned char> out, std::uint64_t nonce, const Key& key);

// BLAKE2b (RFC 7693) of out_bytes (1 to 64) bytes, keyed with up to 64 bytes.
class Blake2b {
 public:
  explicit Blake2b(std::size_t out_bytes, std::span<const unsigned char> key = {});
  void update(std::span<const unsigned char> data);
  // The digest, out_bytes long; the hash takes no input after it.
  void final(std::span<unsigned char> out);

 private:
  void compress(bool last);

  std::array<std::uint64_t, 8> h_{};
  std::array<unsigned char, 128> block_{};
  std::size_t filled_ = 0;
  std::uint64_t count_[2] = {0, 0};
  std::size_t out_bytes_;
};

// Fills out from the operating system's entropy (getrandom, /dev/urandom,
// arc4random_buf); fails rather than give fewer bytes.
void os_entropy(std::span<unsigned char> out);

}  // namespace tarvex::cipher
