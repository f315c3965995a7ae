// Counter-based random draws: a draw is a pure function of a fixed seed and
// the draw's coordinates (which graph, which vertex, which neighbour), so the
// same factorization comes out whatever the thread count or the order in
// which independent pieces are built.
#pragma once

#include <cstdint>

namespace kestrel {

// splitmix64's finalizer: a bijection of 64-bit words that spreads every
// input bit over the output.
inline std::uint64_t counter_rng_mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A uniform double in [0, 1) keyed by (seed, a, b, c); 53 random bits.
inline double counter_rng_uniform(std::uint64_t seed, std::uint64_t a, std::uint64_t b,
                                  std::uint64_t c) {
  const std::uint64_t h =
      counter_rng_mix(counter_rng_mix(counter_rng_mix(seed ^ a) ^ b) ^ c);
  return static_cast<double>(h >> 11) * 0x1.0p-53;
}

}  // namespace kestrel
