// Keying, rekeying and block generation of the per-thread random generator.
#include "tarvex/walks/random.hpp"

#include <sodium.h>

namespace tarvex {

namespace {

void ensure_sodium() {
  // sodium_init is thread-safe and idempotent; the static makes it run once.
  static const bool ready = [] {
    if (sodium_init() < 0) fail("cannot initialise the random generator");
    return true;
  }();
  (void)ready;
}

}  // namespace

Rng::Rng() : from_os_(true) {
  ensure_sodium();
  randombytes_buf(key_.data(), key_.size());
}

Rng Rng::seeded(std::uint64_t seed) {
  ensure_sodium();
  Rng rng{Deterministic{}};
  for (std::size_t i = 0; i < 8; ++i) rng.key_[i] = static_cast<unsigned char>(seed >> (8 * i));
  return rng;
}

void Rng::refill() {
  if (from_os_ && since_reseed_ >= kReseedBytes) {
    randombytes_buf(key_.data(), key_.size());
    nonce_ = 0;
    since_reseed_ = 0;
  }
  // A fresh nonce per block: every block is the start of a distinct stream
  // under the same key, so no keystream is ever reused.
  unsigned char nonce[crypto_stream_chacha20_NONCEBYTES] = {};
  for (std::size_t i = 0; i < sizeof nonce && i < 8; ++i) nonce[i] = static_cast<unsigned char>(nonce_ >> (8 * i));
  ++nonce_;
  crypto_stream_chacha20(reinterpret_cast<unsigned char*>(block_.data()), sizeof block_, nonce, key_.data());
  since_reseed_ += sizeof block_;
  pos_ = 0;
}

Rng& thread_rng() {
  thread_local Rng rng;
  return rng;
}

}  // namespace tarvex
