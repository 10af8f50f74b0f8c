// Keying, rekeying and block generation of the per-thread random generator.
#include "tarvex/walks/random.hpp"

#include <pthread.h>

#include <atomic>
#include <bit>

#include "tarvex/walks/cipher.hpp"

namespace tarvex {

Rng::Rng() : from_os_(true) { cipher::os_entropy(key_); }

Rng Rng::seeded(std::uint64_t seed) {
  Rng rng{Deterministic{}};
  for (std::size_t i = 0; i < 8; ++i) rng.key_[i] = static_cast<unsigned char>(seed >> (8 * i));
  return rng;
}

Rng Rng::keyed(std::span<const unsigned char> seed) {
  Rng rng{Deterministic{}};
  // A name of the purpose first: these keys are never those of another use of the hash.
  static constexpr unsigned char kDomain[] = "tarvex seed, ChaCha20 key, v1";
  cipher::Blake2b hash(rng.key_.size());
  hash.update(kDomain);
  hash.update(seed);
  hash.final(rng.key_);
  return rng;
}

void Rng::refill() {
  if (from_os_ && since_reseed_ >= kReseedBytes) {
    cipher::os_entropy(key_);
    nonce_ = 0;
    since_reseed_ = 0;
  }
  // A fresh nonce per block: every block is the start of a distinct stream
  // under the same key, so no keystream is ever reused.
  cipher::chacha20_stream({reinterpret_cast<unsigned char*>(block_.data()), sizeof block_}, nonce_, key_);
  ++nonce_;
  // Words are the keystream's bytes in little-endian order on every machine,
  // so that a seed gives the same draws everywhere.
  if constexpr (std::endian::native == std::endian::big) {
    for (std::uint64_t& word : block_) {
      std::uint64_t swapped = 0;
      for (int b = 0; b < 8; ++b) swapped |= ((word >> (8 * b)) & 0xFF) << (56 - 8 * b);
      word = swapped;
    }
  }
  since_reseed_ += sizeof block_;
  pos_ = 0;
}

namespace {

// Counts the fork()s this process descends from. A child inherits its
// parent's generators, key and buffered block alike: one keyed from the OS
// must be keyed again there, or parent and children draw the same walks. A
// seeded one goes on with its stream, so a seeded run stays reproducible.
std::atomic<unsigned> fork_generation{0};

void count_fork() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

struct ThreadGenerator {
  Rng rng;
  bool from_os = true;
  unsigned generation = 0;
};

ThreadGenerator& thread_generator() {
  static const bool registered = pthread_atfork(nullptr, nullptr, count_fork) == 0;
  (void)registered;
  thread_local ThreadGenerator own{Rng(), true, fork_generation.load(std::memory_order_relaxed)};
  return own;
}

}  // namespace

Rng& thread_rng() {
  ThreadGenerator& own = thread_generator();
  const unsigned generation = fork_generation.load(std::memory_order_relaxed);
  if (own.generation != generation) [[unlikely]] {
    own.generation = generation;
    if (own.from_os) own.rng = Rng();
  }
  return own.rng;
}

void seed_thread_rng(std::optional<std::span<const unsigned char>> seed) {
  ThreadGenerator& own = thread_generator();
  own.rng = seed ? Rng::keyed(*seed) : Rng();
  own.from_os = !seed;
  own.generation = fork_generation.load(std::memory_order_relaxed);
}

}  // namespace tarvex
