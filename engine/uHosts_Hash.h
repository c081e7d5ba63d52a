// uHosts: the bit mixer of the engine's hashes (addresses, names). (Inside the engine only.)
#pragma once

#include <cstdint>

// Spreads the bits of x over the whole word: every bit of the result depends on every bit of x.
inline uint64_t MixBits(uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x;
}
