// Tests of the generator's primitives against the test vectors of RFC 8439 (ChaCha20) and RFC 7693 (BLAKE2b).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tarvex/walks/cipher.hpp"

namespace tarvex {
namespace {

std::vector<unsigned char> hex(const std::string& text) {
  std::vector<unsigned char> bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

TEST(ChaCha20, BlockOfRfc8439Section232) {
  cipher::Key key;
  for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(i);
  // Counter 1, nonce 00:00:00:09:00:00:00:4a:00:00:00:00, as little-endian words.
  std::array<unsigned char, 64> out;
  cipher::chacha20_block(key, {1, 0x09000000, 0x4a000000, 0}, out);
  EXPECT_EQ(std::vector(out.begin(), out.end()),
            hex("10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
                "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"));
}

TEST(ChaCha20, StreamIsTheBlocksOfCounterZeroOnward) {
  // RFC 8439 A.1, test vector 1: zero key, zero nonce, counter 0.
  cipher::Key zero{};
  std::vector<unsigned char> stream(64 * 11);
  cipher::chacha20_stream(stream, 0, zero);
  EXPECT_EQ(std::vector(stream.begin(), stream.begin() + 64),
            hex("76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
                "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"));
  // Every block, past the first group computed side by side and in the
  // partial group after it, is the block of its own counter and the nonce.
  cipher::Key key;
  for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(7 * i + 3);
  const std::uint64_t nonce = 0x0123456789abcdefULL;
  cipher::chacha20_stream(stream, nonce, key);
  for (std::uint32_t b = 0; b < 11; ++b) {
    std::array<unsigned char, 64> block;
    cipher::chacha20_block(key, {b, 0, 0x89abcdefU, 0x01234567U}, block);
    EXPECT_EQ(std::vector(block.begin(), block.end()),
              std::vector(stream.begin() + 64 * b, stream.begin() + 64 * (b + 1)))
        << "block " << b;
  }
}

std::vector<unsigned char> blake2b(std::size_t out_bytes, const std::vector<unsigned char>& key,
                                   const std::vector<unsigned char>& data) {
  cipher::Blake2b hash(out_bytes, key);
  hash.update(data);
  std::vector<unsigned char> digest(out_bytes);
  hash.final(digest);
  return digest;
}

TEST(Blake2b, AbcOfRfc7693AppendixA) {
  EXPECT_EQ(blake2b(64, {}, {'a', 'b', 'c'}), hex("ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
                                                  "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923"));
}

// The self-test of RFC 7693 Appendix E: digests of 20 to 64 bytes, keyed and
// not, of inputs from empty to eight blocks, hashed together.
std::vector<unsigned char> selftest_sequence(std::size_t length, std::uint32_t seed) {
  std::vector<unsigned char> out(length);
  std::uint32_t a = 0xDEAD4BAD * seed, b = 1;
  for (auto& byte : out) {
    const std::uint32_t t = a + b;
    a = b;
    b = t;
    byte = static_cast<unsigned char>(t >> 24);
  }
  return out;
}

TEST(Blake2b, SelfTestOfRfc7693AppendixE) {
  cipher::Blake2b all(32);
  for (std::size_t out_bytes : {20, 32, 48, 64}) {
    for (std::size_t length : {0, 3, 128, 129, 255, 1024}) {
      const auto input = selftest_sequence(length, static_cast<std::uint32_t>(length));
      all.update(blake2b(out_bytes, {}, input));
      all.update(blake2b(out_bytes, selftest_sequence(out_bytes, static_cast<std::uint32_t>(out_bytes)), input));
    }
  }
  std::vector<unsigned char> digest(32);
  all.final(digest);
  EXPECT_EQ(digest, hex("c23a7800d98123bd10f506c61e29da5603d763b8bbad2e737f5e765a7bccd475"));
}

}  // namespace
}  // namespace tarvex
